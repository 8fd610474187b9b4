#pragma once
// The pop-up shown while a split or join runs: a caption, a percentage and a bar.

#include <QDialog>

class QLabel;
class QProgressBar;

class UI_ProgressWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_ProgressWidget(QWidget* parent = nullptr);

    // Moves and sizes the pop-up (the pages use 360 x 80) and places its children.
    void placeAt(int x, int y, int width, int height);
    // Shows percent as given; the bar ignores values outside 0 to 100.
    void setPercent(int percent);

    QProgressBar* progressBar;
    QLabel* captionLabel;  // "Splitting..." or "Joining...", set by the page
    QLabel* percentLabel;
};
