#include "ui/dialog_widget.h"

#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

UI_DialogWidget::UI_DialogWidget(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    messageLabel = new QLabel(this);
    openButton = new QPushButton(QStringLiteral("Open Folder"), this);
    okButton = new QPushButton(QStringLiteral("Finish"), this);
    connect(openButton, &QPushButton::clicked, this, &UI_DialogWidget::openButton_slots);
    connect(okButton, &QPushButton::clicked, this, &UI_DialogWidget::okButton_slots);
}

void UI_DialogWidget::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    setMaximumSize(width, height);
    setMinimumSize(width, height);
    // Centred, and widened where the default font needs more than 120 pixels for the text.
    const int labelWidth = std::max(120, messageLabel->sizeHint().width());
    messageLabel->setGeometry((width - labelWidth) / 2, 0, labelWidth, 20);
    openButton->setGeometry(20, 40, 100, 30);
    okButton->setGeometry(140, 40, 100, 30);
}

void UI_DialogWidget::okButton_slots() {
    hide();
}

void UI_DialogWidget::openButton_slots() {
    folderPath = QDir::toNativeSeparators(folderPath);
    // The desktop's file browser starts on its own; whether it does is not ours to report.
    QDesktopServices::openUrl(QUrl::fromLocalFile(folderPath));
}

void UI_DialogWidget::mousePressEvent(QMouseEvent* event) {
    m_dragging = true;
    m_pressPos = event->position().toPoint();
}

void UI_DialogWidget::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}

void UI_DialogWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return;
    const QPoint to = geometry().topLeft() + event->position().toPoint() - m_pressPos;
    placeAt(to.x(), to.y(), width(), height());
}
