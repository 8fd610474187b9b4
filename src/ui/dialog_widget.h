#pragma once
// The dialog shown when a split or join has ended: a message, what the job did, "Open Folder"
// and "Finish".

#include <QDialog>
#include <QPoint>
#include <QString>
#include <QStringList>

class QFrame;
class QLabel;
class QMouseEvent;
class QPushButton;

class UI_DialogWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_DialogWidget(QWidget* parent = nullptr);

    // Moves the dialog and fixes its size (the pages use 420 x 80), grown downwards as far as
    // the details need, and places its children.
    void placeAt(int x, int y, int width, int height);
    // What the job did, one fact a line; call before placeAt. A line too long for the dialog
    // is cut in the middle; the whole text is the tooltip.
    void setDetails(const QStringList& lines);

    QLabel* messageLabel;  // "Splitting Completed!" or "Joining Completed!", set by the page
    QLabel* detailLabel;
    QPushButton* openButton;
    QPushButton* okButton;
    QFrame* outline;
    // The folder that "Open Folder" shows; the page sets it before showing the dialog.
    QString folderPath;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void okButton_slots();
    void openButton_slots();

private:
    bool m_dragging = false;
    QPoint m_pressPos;
    QStringList m_details;
};
