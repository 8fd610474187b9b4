#include "ui/progress_widget.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>

#include "ui/images.h"

UI_ProgressWidget::UI_ProgressWidget(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    captionLabel = new QLabel(this);
    percentLabel = new QLabel(this);
    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setAutoFillBackground(true);
    progressBar->setTextVisible(false);
    setWindowIcon(programIcon());
}

void UI_ProgressWidget::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    // Centred, and widened where the default font needs more than 120 pixels for the text.
    const int captionWidth = std::max(120, captionLabel->sizeHint().width());
    captionLabel->setGeometry((width - captionWidth) / 2, 0, captionWidth, 20);
    percentLabel->setGeometry((width - 60) / 2, 20, 60, 20);
    progressBar->setGeometry(0, 40, width, 20);
}

void UI_ProgressWidget::setPercent(int percent) {
    percentLabel->setText(QString::number(percent) + QLatin1Char('%'));
    progressBar->setValue(percent);
}
