#include "ui/password_dialog.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <string>

#include "engine/digest.h"
#include "engine/limits.h"
#include "platform/encoding.h"
#include "ui/images.h"

namespace {

// The password as a split job stores it; false when it does not fit the job's field.
bool toJobPassword(const QString& text, std::string* bytes) {
    return morvane::plat::toEngineText(text, bytes) && bytes->size() < morvane::kPasswordField;
}

// The first use of a field takes its hint away. Clearing moves the cursor and calls back here;
// the flag is already down by then.
void takeHint(int* fresh, QLineEdit* field) {
    if (*fresh != 1) return;
    *fresh = 0;
    field->clear();
    field->setEchoMode(QLineEdit::Password);
}

void putHint(QLineEdit* field, const QString& hint) {
    // Restoring the hint is not a use of the field.
    const QSignalBlocker quiet(field);
    field->setEchoMode(QLineEdit::Normal);
    field->setText(hint);
}

void connectUse(myLineEdit* field, UI_inputpwdWidget* dialog, void (UI_inputpwdWidget::*slot)()) {
    QObject::connect(field, &QLineEdit::textEdited, dialog, slot);
    QObject::connect(field, &QLineEdit::cursorPositionChanged, dialog, slot);
    QObject::connect(field, &myLineEdit::clicked, dialog, slot);
}

}  // namespace

myLineEdit::myLineEdit(QWidget* parent) : QLineEdit(parent) {}

void myLineEdit::mouseReleaseEvent(QMouseEvent* event) {
    QLineEdit::mouseReleaseEvent(event);
    emit clicked();
}

UI_inputpwdWidget::UI_inputpwdWidget(QWidget* parent) : QDialog(parent) {
    QFont dialogFont = font();
    dialogFont.setFamily(QStringLiteral("arial"));
    dialogFont.setPointSize(9);
    setFont(dialogFont);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);

    set_pwd_Widget = new QWidget(this);
    title_Label = new QLabel(QStringLiteral("Encrypt Data"), set_pwd_Widget);
    QFont titleFont = dialogFont;
    titleFont.setFamily(QStringLiteral("arial"));
    titleFont.setWeight(QFont::Bold);
    titleFont.setPointSize(10);
    title_Label->setFont(titleFont);
    pwd1LineEdit = new myLineEdit(set_pwd_Widget);
    pwd2LineEdit = new myLineEdit(set_pwd_Widget);
    okButton = new QPushButton(QStringLiteral("OK"), set_pwd_Widget);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), set_pwd_Widget);
    error_Label = new QLabel(set_pwd_Widget);
    error_Label->setStyleSheet(QStringLiteral("QLabel { color: red }"));
    error_Label->setWordWrap(true);
    connect(cancelButton, &QPushButton::clicked, this, &UI_inputpwdWidget::cancelButton_slots);
    connect(okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::okButton_slots);
    connectUse(pwd1LineEdit, this, &UI_inputpwdWidget::pwd1LineEdit_slots);
    connectUse(pwd2LineEdit, this, &UI_inputpwdWidget::pwd2LineEdit_slots);

    type2_pwd_Widget = new QWidget(this);
    type2_note_Label = new QLabel(
        QStringLiteral("Note:The chunks are encrypted. Please\n enter the password here to unlock "
                       "them."),
        type2_pwd_Widget);
    type2_pwdLineEdit = new myLineEdit(type2_pwd_Widget);
    type2_error_Label = new QLabel(type2_pwd_Widget);
    type2_error_Label->setStyleSheet(QStringLiteral("QLabel { color: red }"));
    type2_okButton = new QPushButton(QStringLiteral("OK"), type2_pwd_Widget);
    type2_cancelButton = new QPushButton(QStringLiteral("Cancel"), type2_pwd_Widget);
    connect(type2_cancelButton, &QPushButton::clicked, this,
            &UI_inputpwdWidget::type2_cancelButton_slots);
    connect(type2_okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::type2_okButton_slots);
    connectUse(type2_pwdLineEdit, this, &UI_inputpwdWidget::type2_pwdLineEdit_slots);
    type2_pwd_Widget->hide();

    setWindowIcon(programIcon());
}

void UI_inputpwdWidget::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    setMaximumSize(width, height);
    setMinimumSize(width, height);
    set_pwd_Widget->setGeometry(0, 0, width, height);
    type2_pwd_Widget->setGeometry(0, 0, width, height);

    title_Label->setGeometry((width - 120) / 2, 5, 120, 20);
    pwd1LineEdit->setGeometry(20, 40, 220, 20);
    pwd2LineEdit->setGeometry(20, 70, 220, 20);
    // Two rows, so that the length message wraps instead of being cut; a one-line message
    // stays centred on y 105.
    error_Label->setGeometry(20, 90, 220, 30);
    cancelButton->setGeometry(20, 120, 100, 30);
    okButton->setGeometry(140, 120, 100, 30);

    type2_note_Label->setGeometry(10, 5, width - 20, 40);
    type2_pwdLineEdit->setGeometry(20, 70, width - 30, 20);
    type2_error_Label->setGeometry(20, 95, width - 30, 20);
    type2_cancelButton->setGeometry(20, 120, 100, 30);
    type2_okButton->setGeometry(140, 120, width - 150, 30);
}

void UI_inputpwdWidget::runDialog() {
    putHint(pwd1LineEdit, QStringLiteral("Password..."));
    putHint(pwd2LineEdit, QStringLiteral("Confirm Password..."));
    m_pwd1Fresh = 1;
    m_pwd2Fresh = 1;
    m_passwordSet = 0;
    okButton->setEnabled(false);
    error_Label->clear();

    m_unlocked = 0;
    m_unlockedPassword.clear();
    putHint(type2_pwdLineEdit, QStringLiteral("Enter password..."));
    m_type2Fresh = 1;
    type2_error_Label->clear();
    type2_okButton->setEnabled(false);

    exec();
}

bool UI_inputpwdWidget::runUnlockDialog(const char* digest) {
    set_pwd_Widget->hide();
    type2_pwd_Widget->show();
    // Enter confirms on the panel that shows.
    type2_okButton->setDefault(true);
    m_storedDigest = digest;
    runDialog();
    m_storedDigest = nullptr;
    return m_unlocked == 1;
}

void UI_inputpwdWidget::showSetPanel() {
    type2_pwd_Widget->hide();
    set_pwd_Widget->show();
    okButton->setDefault(true);
}

void UI_inputpwdWidget::okButton_slots() {
    m_passwordSet = 0;
    m_password.clear();
    const QString first = pwd1LineEdit->text();
    if (first.isEmpty() || first != pwd2LineEdit->text()) {
        error_Label->setText(QStringLiteral("The passwords entered do not match."));
        return;
    }
    // A split job keeps 31 bytes; a longer password could never be confirmed at the join.
    std::string bytes;
    if (!toJobPassword(first, &bytes)) {
        error_Label->setText(QStringLiteral("The password is too long (at most 31 bytes)."));
        return;
    }
    m_password = first;
    m_passwordSet = 1;
    hide();
}

void UI_inputpwdWidget::cancelButton_slots() {
    m_passwordSet = 0;
    m_password.clear();
    hide();
}

void UI_inputpwdWidget::pwd1LineEdit_slots() {
    takeHint(&m_pwd1Fresh, pwd1LineEdit);
    okButton->setEnabled(true);
}

void UI_inputpwdWidget::pwd2LineEdit_slots() {
    takeHint(&m_pwd2Fresh, pwd2LineEdit);
    okButton->setEnabled(true);
}

void UI_inputpwdWidget::type2_pwdLineEdit_slots() {
    takeHint(&m_type2Fresh, type2_pwdLineEdit);
    type2_okButton->setEnabled(true);
    type2_error_Label->clear();
}

void UI_inputpwdWidget::type2_okButton_slots() {
    // The digest covers exactly the bytes a split job would have stored; a password that
    // could not have been stored cannot match.
    std::string bytes;
    if (toJobPassword(type2_pwdLineEdit->text(), &bytes) &&
        morvane::checkPassword(bytes.c_str(), m_storedDigest) == 1) {
        m_unlocked = 1;
        m_unlockedPassword = type2_pwdLineEdit->text();
        hide();
        return;
    }
    type2_error_Label->setText(QStringLiteral("Sorry, your password is wrong"));
}

void UI_inputpwdWidget::type2_cancelButton_slots() {
    m_unlocked = 0;
    hide();
}

void UI_inputpwdWidget::mousePressEvent(QMouseEvent* event) {
    m_dragging = true;
    m_pressPos = event->position().toPoint();
}

void UI_inputpwdWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return;
    const QPoint to = geometry().topLeft() + event->position().toPoint() - m_pressPos;
    placeAt(to.x(), to.y(), width(), height());
}

void UI_inputpwdWidget::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}
