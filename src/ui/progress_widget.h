#pragma once
// The pop-up shown while a split or join runs: a caption, a percentage, a bar and "Cancel".

#include <QDialog>

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

class UI_ProgressWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_ProgressWidget(QWidget* parent = nullptr);

    // Moves and sizes the pop-up (the pages use 360 x 110) and places its children.
    void placeAt(int x, int y, int width, int height);
    // Shows percent as given; the bar ignores values outside 0 to 100.
    void setPercent(int percent);

    QProgressBar* progressBar;
    QLabel* captionLabel;  // "Splitting..." or "Joining...", set by the page
    QLabel* percentLabel;
    QPushButton* cancelButton;
    // A thin outline: the pop-up has no title bar and the page's colour, and must not look
    // like part of the page it covers.
    QFrame* outline;

signals:
    // "Cancel": the user said so; the page cancels the job at once.
    void cancelNow();
    // Escape or the close button, which can be pressed by mistake: the page asks whether to
    // cancel the job. The pop-up itself stays until the page hides it.
    void cancelAsked();

public slots:
    void reject() override;
};
