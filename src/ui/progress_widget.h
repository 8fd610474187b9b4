#pragma once
// The pop-up shown while a split or join runs: a caption, a percentage, a bar, a line with
// the rate, the time left and the file at hand, and "Cancel".

#include <QDialog>
#include <QElapsedTimer>
#include <cstdint>
#include <deque>
#include <utility>

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
namespace morvane {
class JobControl;
}

class UI_ProgressWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_ProgressWidget(QWidget* parent = nullptr);

    // Moves and sizes the pop-up (the pages use 360 x 122) and places its children. A height
    // too small for every row is raised to what they need, upwards: the lower edge stays.
    void placeAt(int x, int y, int width, int height);
    // Shows percent as given; the bar ignores values outside 0 to 100.
    void setPercent(int percent);
    // Shows how far the job of control is: its percentage, and under the bar its rate, the
    // time it has left and the file it works on. For the pages' timers; the rate is taken
    // over the last seconds, so that neither it nor the time left jumps from one call to
    // the next. The pop-up's own clock, or atMs on it, dates the call.
    void showProgress(const morvane::JobControl& control);
    void showProgress(const morvane::JobControl& control, std::int64_t atMs);

    QProgressBar* progressBar;
    QLabel* captionLabel;  // "Splitting..." or "Joining...", set by the page
    QLabel* percentLabel;
    QLabel* detailLabel;  // "12.40 MiB/s, about 3 min left  photos/2014/img_0031.jpg"
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

protected:
    // Each showing is a new job: what the last one did says nothing of this one's rate.
    void showEvent(QShowEvent* event) override;

private:
    void forgetRate();

    QElapsedTimer m_clock;
    const morvane::JobControl* m_watched = nullptr;
    // (milliseconds, bytes done) of the last calls, oldest first.
    std::deque<std::pair<std::int64_t, std::int64_t>> m_samples;
};
