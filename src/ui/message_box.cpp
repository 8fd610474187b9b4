#include "ui/message_box.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <utility>

#include "ui/images.h"

UI_MyMessageBox::UI_MyMessageBox(QWidget* parent) : QDialog(parent) {
    QFont boxFont = font();
    boxFont.setFamily(QStringLiteral("arial"));
    boxFont.setPointSize(10);
    setFont(boxFont);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    // First, so that everything else is drawn over it: without a title bar the box needs an
    // edge of its own.
    outline = new QFrame(this);
    outline->setFrameShape(QFrame::Box);
    titleLabel = new QLabel(this);
    iconLabel = new QLabel(this);
    textLabel = new QLabel(this);
    textLabel->setWordWrap(true);
    okButton = new QPushButton(QStringLiteral("OK"), this);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    textLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    connect(okButton, &QPushButton::clicked, this, &UI_MyMessageBox::okButton_slots);
    connect(cancelButton, &QPushButton::clicked, this, &UI_MyMessageBox::cancelButton_slots);
    setWindowIcon(programIcon());
}

void UI_MyMessageBox::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    outline->setGeometry(0, 0, width, height);
    setMaximumSize(width, height);
    setMinimumSize(width, height);
}

void UI_MyMessageBox::setContent(const QString& title, const QString& text, bool showOk,
                                 bool showCancel) {
    titleLabel->setText(title);
    textLabel->setText(text);
    okButton->setVisible(showOk);
    cancelButton->setVisible(showCancel);

    const int W = width();
    const int H = height();
    titleLabel->setGeometry(10, 4, W - 20, 20);
    if (iconMode)
        textLabel->setGeometry(50, 40, W - 50, H - 40);
    else
        textLabel->setGeometry(10, 10, W - 20, H - 40);
    iconLabel->setGeometry(10, 25, 30, 30);
    okButton->setGeometry(W - 120, H - 40, 100, 30);
    cancelButton->setGeometry(W - 240, H - 40, 100, 30);
    if (showOk != showCancel) {
        QPushButton* only = showOk ? okButton : cancelButton;
        only->setGeometry((W - 100) / 2, H - 40, 100, 30);
    }
}

void UI_MyMessageBox::setIconPixmap(const QPixmap& pixmap) {
    QPalette iconPalette = palette();
    iconPalette.setBrush(QPalette::All, QPalette::Window, QBrush(pixmap));
    iconLabel->setPalette(iconPalette);
    iconLabel->setAutoFillBackground(true);
}

void UI_MyMessageBox::setButtonTexts(const QString& ok, const QString& cancel) {
    okButton->setText(ok);
    cancelButton->setText(cancel);
}

void UI_MyMessageBox::preferCancel() {
    // OK comes first in the focus chain, and a focused button takes Enter.
    okButton->setAutoDefault(false);
    cancelButton->setDefault(true);
    cancelButton->setFocus();
}

void UI_MyMessageBox::okButton_slots() {
    result = 1;
    close();
}

void UI_MyMessageBox::cancelButton_slots() {
    result = 0;
    close();
}

void UI_MyMessageBox::mousePressEvent(QMouseEvent* event) {
    m_dragging = true;
    m_pressPos = event->position().toPoint();
}

void UI_MyMessageBox::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}

void UI_MyMessageBox::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return;
    const QSize size = this->size();
    setGeometry(QRect(geometry().topLeft() + event->position().toPoint() - m_pressPos, size));
    setMaximumSize(size);
    setMinimumSize(size);
}

namespace {

// Places box across parent, 240 x 140 or larger: wide enough for its longest line, up to a
// limit, and high enough for the text wrapped to that width.
void placeForText(UI_MyMessageBox& box, QWidget* parent, const QString& text) {
    QRect over;
    if (parent != nullptr)
        over = QRect(parent->pos(), parent->size());
    else if (const QScreen* screen = QGuiApplication::primaryScreen())
        over = screen->availableGeometry();
    const int margins = box.iconMode ? 60 : 20;
    const QFontMetrics metrics(box.textLabel->font());
    // Sentences wrap at a comfortable width; a path, which cannot wrap, widens the box.
    int widestLine = 0;
    int widestWord = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        widestLine = std::max(widestLine, metrics.horizontalAdvance(line));
        for (const QString& word : line.split(QLatin1Char(' ')))
            widestWord = std::max(widestWord, metrics.horizontalAdvance(word));
    }
    const int width =
        std::clamp(std::max(std::min(widestLine, 340), widestWord) + margins, 240, 560);
    const int textHeight =
        metrics.boundingRect(QRect(0, 0, width - margins, 4000), Qt::TextWordWrap, text).height();
    // The text starts 40 pixels down and keeps clear of the buttons' row.
    const int height = std::max(140, 40 + textHeight + 50);
    const int y = over.y() + std::min(over.height() / 2, std::max(0, over.height() - height));
    box.placeAt(over.x() + (over.width() - width) / 2, y, width, height);
}

}  // namespace

int showMessage(QWidget* parent, const QString& title, const QString& text, bool showOk,
                bool showCancel) {
    UI_MyMessageBox box(nullptr);
    box.iconMode = true;
    placeForText(box, parent, text);
    box.setContent(title, text, showOk, showCancel);
    // Only the source of the style's warning pixmap.
    QMessageBox warning;
    warning.setIcon(QMessageBox::Warning);
    box.setIconPixmap(warning.iconPixmap());
    box.exec();
    return box.result;
}

namespace {

CancelAsker& currentCancelAsker() {
    static CancelAsker asker;
    return asker;
}

QuestionAsker& currentQuestionAsker() {
    static QuestionAsker asker;
    return asker;
}

bool askQuestionWithBox(QWidget* parent, const QString& question) {
    UI_MyMessageBox box(nullptr);
    placeForText(box, parent, question);
    box.setContent(QString(), question, true, true);
    box.preferCancel();
    box.exec();
    return box.result == 1;
}

bool askCancelWithBox(QWidget* parent) {
    const QPoint at = parent != nullptr ? parent->pos() : QPoint();
    const QSize over = parent != nullptr ? parent->size() : QSize(240, 0);
    UI_MyMessageBox box(nullptr);
    box.placeAt(at.x() + (over.width() - 240) / 2, at.y() + over.height() / 2, 260, 140);
    box.setContent(QString(), QStringLiteral("Cancel the running job?"), true, true);
    box.setButtonTexts(QStringLiteral("Stop the job"), QStringLiteral("Keep running"));
    box.preferCancel();
    box.exec();
    return box.result == 1;
}

}  // namespace

CancelAsker setCancelAsker(CancelAsker asker) {
    return std::exchange(currentCancelAsker(), std::move(asker));
}

bool askCancelJob(QWidget* parent) {
    const CancelAsker& asker = currentCancelAsker();
    return asker ? asker(parent) : askCancelWithBox(parent);
}

QuestionAsker setQuestionAsker(QuestionAsker asker) {
    return std::exchange(currentQuestionAsker(), std::move(asker));
}

bool askQuestion(QWidget* parent, const QString& question) {
    const QuestionAsker& asker = currentQuestionAsker();
    return asker ? asker(parent, question) : askQuestionWithBox(parent, question);
}
