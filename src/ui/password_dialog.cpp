#include "ui/password_dialog.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <string>

#include "engine/limits.h"
#include "platform/encoding.h"
#include "ui/images.h"

const char* const kProtectionNote =
    "The chunks are encrypted with this password. A lost password cannot be recovered: "
    "without it, nobody can join the set.";

namespace {

// The password as a split job stores it; false when it does not fit the job's field.
bool toJobPassword(const QString& text, std::string* bytes) {
    return morvane::plat::toEngineText(text, bytes) && bytes->size() < morvane::kPasswordField;
}

// The hint is a placeholder, never text of the field: every key typed is kept, however the
// field got the focus.
QLineEdit* passwordField(const QString& hint, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(hint);
    return field;
}

QLabel* noteLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

UI_inputpwdWidget::UI_inputpwdWidget(QWidget* parent) : QDialog(parent) {
    QFont dialogFont = font();
    dialogFont.setFamily(QStringLiteral("arial"));
    dialogFont.setPointSize(9);
    setFont(dialogFont);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    setAutoFillBackground(true);
    // First, so that both panels are drawn over it: without a title bar the dialog needs an
    // edge of its own.
    outline = new QFrame(this);
    outline->setFrameShape(QFrame::Box);

    set_pwd_Widget = new QWidget(this);
    title_Label = new QLabel(QStringLiteral("Encrypt Data"), set_pwd_Widget);
    title_Label->setAlignment(Qt::AlignCenter);
    QFont titleFont = dialogFont;
    titleFont.setFamily(QStringLiteral("arial"));
    titleFont.setWeight(QFont::Bold);
    titleFont.setPointSize(10);
    title_Label->setFont(titleFont);
    note_Label = noteLabel(QString::fromLatin1(kProtectionNote), set_pwd_Widget);
    pwd1LineEdit = passwordField(QStringLiteral("Password..."), set_pwd_Widget);
    pwd2LineEdit = passwordField(QStringLiteral("Confirm Password..."), set_pwd_Widget);
    okButton = new QPushButton(QStringLiteral("OK"), set_pwd_Widget);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), set_pwd_Widget);
    error_Label = new QLabel(set_pwd_Widget);
    error_Label->setStyleSheet(QStringLiteral("QLabel { color: red }"));
    error_Label->setWordWrap(true);
    connect(cancelButton, &QPushButton::clicked, this, &UI_inputpwdWidget::cancelButton_slots);
    connect(okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::okButton_slots);
    for (QLineEdit* field : {pwd1LineEdit, pwd2LineEdit})
        connect(field, &QLineEdit::textChanged, this, [this] {
            okButton->setEnabled(!pwd1LineEdit->text().isEmpty() ||
                                 !pwd2LineEdit->text().isEmpty());
        });

    type2_pwd_Widget = new QWidget(this);
    type2_note_Label =
        noteLabel(QStringLiteral("This chunk set is protected. Enter its password to join it."),
                  type2_pwd_Widget);
    type2_pwdLineEdit = passwordField(QStringLiteral("Enter password..."), type2_pwd_Widget);
    type2_error_Label = new QLabel(type2_pwd_Widget);
    type2_error_Label->setStyleSheet(QStringLiteral("QLabel { color: red }"));
    type2_okButton = new QPushButton(QStringLiteral("OK"), type2_pwd_Widget);
    type2_cancelButton = new QPushButton(QStringLiteral("Cancel"), type2_pwd_Widget);
    connect(type2_cancelButton, &QPushButton::clicked, this,
            &UI_inputpwdWidget::type2_cancelButton_slots);
    connect(type2_okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::type2_okButton_slots);
    connect(type2_pwdLineEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        type2_okButton->setEnabled(!text.isEmpty());
        type2_error_Label->clear();
    });
    type2_pwd_Widget->hide();

    setWindowIcon(programIcon());
}

void UI_inputpwdWidget::placeAt(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    setMaximumSize(width, height);
    setMinimumSize(width, height);
    outline->setGeometry(0, 0, width, height);
    set_pwd_Widget->setGeometry(0, 0, width, height);
    type2_pwd_Widget->setGeometry(0, 0, width, height);
    const int fieldWidth = width - 40;
    const int buttonsY = height - 40;

    title_Label->setGeometry(10, 5, width - 20, 20);
    note_Label->setGeometry(20, 28, fieldWidth, 50);
    pwd1LineEdit->setGeometry(20, 82, fieldWidth, 22);
    pwd2LineEdit->setGeometry(20, 110, fieldWidth, 22);
    // Two rows, so that the length message wraps instead of being cut.
    error_Label->setGeometry(20, 134, fieldWidth, 32);
    cancelButton->setGeometry(20, buttonsY, 100, 30);
    okButton->setGeometry(width - 120, buttonsY, 100, 30);

    type2_note_Label->setGeometry(20, 10, fieldWidth, 50);
    type2_pwdLineEdit->setGeometry(20, 82, fieldWidth, 22);
    type2_error_Label->setGeometry(20, 110, fieldWidth, 20);
    type2_cancelButton->setGeometry(20, buttonsY, 100, 30);
    type2_okButton->setGeometry(width - 120, buttonsY, 100, 30);
}

void UI_inputpwdWidget::runDialog() {
    pwd1LineEdit->clear();
    pwd2LineEdit->clear();
    m_passwordSet = 0;
    okButton->setEnabled(false);
    error_Label->clear();

    m_unlocked = 0;
    m_unlockedPassword.clear();
    type2_pwdLineEdit->clear();
    type2_error_Label->clear();
    type2_okButton->setEnabled(false);

    exec();
}

void UI_inputpwdWidget::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Typing starts in the first field, also when the dialog was shown before and its
    // window did not lose its activation in between.
    (type2_pwd_Widget->isVisibleTo(this) ? type2_pwdLineEdit : pwd1LineEdit)
        ->setFocus(Qt::ActiveWindowFocusReason);
}

bool UI_inputpwdWidget::runUnlockDialog(Unlocker unlock, bool encrypted) {
    set_pwd_Widget->hide();
    type2_pwd_Widget->show();
    type2_note_Label->setText(
        encrypted ? QStringLiteral("This chunk set is encrypted. Enter its password to join it.")
                  : QStringLiteral("This chunk set is protected by a password, but its chunks "
                                   "are not encrypted. Enter its password to join it."));
    // Enter confirms on the panel that shows.
    type2_okButton->setDefault(true);
    m_unlock = std::move(unlock);
    m_unlockFailure = morvane::Outcome::success();
    runDialog();
    m_unlock = nullptr;
    return m_unlocked == 1;
}

void UI_inputpwdWidget::showSetPanel() {
    type2_pwd_Widget->hide();
    set_pwd_Widget->show();
    okButton->setDefault(true);
}

void UI_inputpwdWidget::forgetPassword() {
    m_password.clear();
    m_passwordSet = 0;
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

void UI_inputpwdWidget::type2_okButton_slots() {
    // A password that a split job could not have stored cannot match.
    std::string bytes;
    const QString typed = type2_pwdLineEdit->text();
    const morvane::Outcome o =
        toJobPassword(typed, &bytes) && m_unlock
            ? m_unlock(typed)
            : morvane::Outcome::failure(morvane::Fault::WrongPassword, "", "wrong password");
    if (o.is(morvane::Fault::WrongPassword)) {
        type2_error_Label->setText(QStringLiteral("Sorry, your password is wrong"));
        return;
    }
    // Anything else ends the dialog: the caller says what went wrong.
    m_unlocked = o ? 1 : 0;
    if (o) m_unlockedPassword = typed;
    m_unlockFailure = o;
    hide();
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
