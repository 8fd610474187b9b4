#pragma once
// The dialog shown when a split or join has ended: a message, "Open Folder" and "Finish".

#include <QDialog>
#include <QPoint>
#include <QString>

class QLabel;
class QMouseEvent;
class QPushButton;

class UI_DialogWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_DialogWidget(QWidget* parent = nullptr);

    // Moves the dialog, fixes its size (the pages use 260 x 80) and places its children.
    void placeAt(int x, int y, int width, int height);

    QLabel* messageLabel;  // "Splitting Completed!" or "Joining Completed!", set by the page
    QPushButton* openButton;
    QPushButton* okButton;
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
};
