#include "ui/dialog_widget.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "ui/message_box.h"
#include "ui/page_support.h"

UI_DialogWidget::UI_DialogWidget(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    // First, so that everything else is drawn over it: without a title bar the dialog needs
    // an edge of its own.
    outline = new QFrame(this);
    outline->setFrameShape(QFrame::Box);
    messageLabel = new QLabel(this);
    detailLabel = new QLabel(this);
    detailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    openButton = new QPushButton(QStringLiteral("Open Folder"), this);
    okButton = new QPushButton(QStringLiteral("Finish"), this);
    connect(openButton, &QPushButton::clicked, this, &UI_DialogWidget::openButton_slots);
    connect(okButton, &QPushButton::clicked, this, &UI_DialogWidget::okButton_slots);
}

void UI_DialogWidget::setDetails(const QStringList& lines) {
    m_details = lines;
    detailLabel->setToolTip(lines.join(QLatin1Char('\n')));
}

void UI_DialogWidget::placeAt(int x, int y, int width, int height) {
    const QFontMetrics metrics(detailLabel->font());
    QStringList shown;
    for (const QString& line : m_details) shown.append(page::elidePath(metrics, line, width - 20));
    detailLabel->setText(shown.join(QLatin1Char('\n')));
    const int detailHeight = shown.isEmpty() ? 0 : metrics.lineSpacing() * shown.size() + 10;
    height = std::max(height, 80 + detailHeight);

    setGeometry(x, y, width, height);
    setMaximumSize(width, height);
    setMinimumSize(width, height);
    outline->setGeometry(0, 0, width, height);
    // Centred, and widened where the default font needs more than 120 pixels for the text.
    const int labelWidth = std::max(120, messageLabel->sizeHint().width());
    messageLabel->setGeometry((width - labelWidth) / 2, 0, labelWidth, 20);
    detailLabel->setGeometry(10, 26, width - 20, std::max(0, detailHeight - 6));
    // The buttons stay side by side in the middle, below the details.
    const int left = (width - 220) / 2;
    openButton->setGeometry(left, 40 + detailHeight, 100, 30);
    okButton->setGeometry(left + 120, 40 + detailHeight, 100, 30);
}

void UI_DialogWidget::okButton_slots() {
    hide();
}

void UI_DialogWidget::openButton_slots() {
    const QString shown = QDir::toNativeSeparators(folderPath);
    if (!QFileInfo(folderPath).isDir()) {
        showMessage(this, QString(), shown + QStringLiteral(" is no longer there."), true, false);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folderPath)))
        showMessage(this, QString(),
                    QStringLiteral("No program could show the folder ") + shown +
                        QStringLiteral(". Open it in your file manager."),
                    true, false);
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
