#include "ui/progress_widget.h"

#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "ui/images.h"

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
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    // No key may cancel a job by accident: the button takes neither Enter nor the focus
    // that Space would press it with.
    cancelButton->setAutoDefault(false);
    cancelButton->setFocusPolicy(Qt::NoFocus);
    connect(cancelButton, &QPushButton::clicked, this, &UI_ProgressWidget::cancelNow);
    setWindowIcon(programIcon());
}

void UI_ProgressWidget::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    outline->setGeometry(0, 0, width, height);
    // Centred, and widened where the default font needs more than 120 pixels for the text.
    const int captionWidth = std::max(120, captionLabel->sizeHint().width());
    captionLabel->setGeometry((width - captionWidth) / 2, 0, captionWidth, 20);
    percentLabel->setGeometry((width - 60) / 2, 20, 60, 20);
    progressBar->setGeometry(0, 40, width, 20);
    const int buttonWidth = std::max(100, cancelButton->sizeHint().width());
    cancelButton->setGeometry((width - buttonWidth) / 2, std::max(65, height - 40), buttonWidth,
                              30);
}

void UI_ProgressWidget::setPercent(int percent) {
    percentLabel->setText(QString::number(percent) + QLatin1Char('%'));
    progressBar->setValue(percent);
}

void UI_ProgressWidget::reject() {
    // Escape and the close button come here; hiding would leave the job running unseen.
    emit cancelAsked();
}
