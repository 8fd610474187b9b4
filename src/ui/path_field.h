#pragma once
// A line edit for a folder path. While it has no focus it shows the path cut in the middle,
// so that the start and the last folder stay in sight, with the whole path as its tooltip;
// with the focus it holds the whole path for editing.

#include <QLineEdit>
#include <QString>

class PathField : public QLineEdit {
public:
    explicit PathField(QWidget* parent = nullptr);

    void setPath(const QString& path);
    // The whole path, as set or as typed.
    QString path() const { return m_path; }

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showPath();

    QString m_path;
};
