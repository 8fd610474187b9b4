#include "ui/progress_widget.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cmath>

#include "engine/job_control.h"
#include "platform/encoding.h"
#include "ui/images.h"
#include "ui/page_support.h"

namespace {

// The rows: caption, percentage, bar, the detail line, and the button with room below it.
constexpr int kDetailTop = 61;
constexpr int kDetailHeight = 16;
constexpr int kButtonTop = 82;
constexpr int kMinHeight = kButtonTop + 40;
// The rate is what the job did over this long: long enough to pass over a slow file or a
// flush, short enough to follow a real change of pace.
constexpr std::int64_t kRateWindowMs = 10000;
constexpr std::int64_t kFirstRateMs = 1000;

// "about 25 s", "about 4 min", "about 2 h 10 min": rounded up so that it reads steadily.
QString timeLeftText(double seconds) {
    const auto s = static_cast<std::int64_t>(std::ceil(seconds));
    if (s < 60) return QStringLiteral("about %1 s").arg(std::max<std::int64_t>(5, (s + 4) / 5 * 5));
    const std::int64_t minutes = (s + 59) / 60;
    if (minutes < 60) return QStringLiteral("about %1 min").arg(minutes);
    return QStringLiteral("about %1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

}  // namespace

UI_ProgressWidget::UI_ProgressWidget(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    // First, so that everything else is drawn over it.
    outline = new QFrame(this);
    outline->setFrameShape(QFrame::Box);
    captionLabel = new QLabel(this);
    percentLabel = new QLabel(this);
    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAutoFillBackground(true);
    progressBar->setTextVisible(false);
    detailLabel = new QLabel(this);
    QFont small = detailLabel->font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() - 1));
    detailLabel->setFont(small);
    detailLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    detailLabel->setStyleSheet(QStringLiteral("QLabel { color: #6c6c6c; }"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    // No key may cancel a job by accident: the button takes neither Enter nor the focus
    // that Space would press it with.
    cancelButton->setAutoDefault(false);
    cancelButton->setFocusPolicy(Qt::NoFocus);
    connect(cancelButton, &QPushButton::clicked, this, &UI_ProgressWidget::cancelNow);
    setWindowIcon(programIcon());
}

void UI_ProgressWidget::placeAt(int x, int y, int width, int height) {
    const int raised = std::max(height, kMinHeight);
    setGeometry(x, y - (raised - height), width, raised);
    height = raised;
    outline->setGeometry(0, 0, width, height);
    // Centred, and widened where the default font needs more than 120 pixels for the text.
    const int captionWidth = std::max(120, captionLabel->sizeHint().width());
    captionLabel->setGeometry((width - captionWidth) / 2, 0, captionWidth, 20);
    percentLabel->setGeometry((width - 60) / 2, 20, 60, 20);
    progressBar->setGeometry(0, 40, width, 20);
    detailLabel->setGeometry(6, kDetailTop, width - 12, kDetailHeight);
    const int buttonWidth = std::max(100, cancelButton->sizeHint().width());
    cancelButton->setGeometry((width - buttonWidth) / 2, std::max(kButtonTop, height - 40),
                              buttonWidth, 30);
}

void UI_ProgressWidget::setPercent(int percent) {
    percentLabel->setText(QString::number(percent) + QLatin1Char('%'));
    progressBar->setValue(percent);
}

void UI_ProgressWidget::showProgress(const morvane::JobControl& control) {
    if (!m_clock.isValid()) m_clock.start();
    showProgress(control, m_clock.elapsed());
}

void UI_ProgressWidget::showProgress(const morvane::JobControl& control, std::int64_t atMs) {
    setPercent(control.percent());
    const std::int64_t done = control.done();
    // Another job, or this one starting a new pass (a check, then the writing).
    if (&control != m_watched || (!m_samples.empty() && done < m_samples.back().second) ||
        (!m_samples.empty() && atMs < m_samples.back().first))
        forgetRate();
    m_watched = &control;
    m_samples.emplace_back(atMs, done);
    while (m_samples.size() > 2 && atMs - m_samples[1].first >= kRateWindowMs)
        m_samples.pop_front();

    QString head;
    const auto& [sinceMs, sinceDone] = m_samples.front();
    if (atMs - sinceMs >= kFirstRateMs && done > sinceDone) {
        const double rate =
            static_cast<double>(done - sinceDone) * 1000.0 / static_cast<double>(atMs - sinceMs);
        head = page::sizeText(static_cast<std::int64_t>(rate)) + QStringLiteral("/s");
        if (const std::int64_t left = control.total() - done; left > 0)
            head += QStringLiteral(", ") + timeLeftText(static_cast<double>(left) / rate) +
                    QStringLiteral(" left");
    }
    QString text = head;
    if (const std::string file = control.currentFile(); !file.empty()) {
        const QString sep = head.isEmpty() ? QString() : QStringLiteral("   ");
        const QFontMetrics metrics(detailLabel->font());
        const int room = detailLabel->width() - metrics.horizontalAdvance(head + sep);
        text += sep + metrics.elidedText(morvane::plat::fromEngineText(file), Qt::ElideMiddle,
                                         std::max(0, room));
    }
    detailLabel->setText(text);
}

void UI_ProgressWidget::forgetRate() {
    m_samples.clear();
    m_watched = nullptr;
}

void UI_ProgressWidget::showEvent(QShowEvent* event) {
    forgetRate();
    m_clock.start();
    detailLabel->clear();
    QDialog::showEvent(event);
}

void UI_ProgressWidget::reject() {
    // Escape and the close button come here; hiding would leave the job running unseen.
    emit cancelAsked();
}
