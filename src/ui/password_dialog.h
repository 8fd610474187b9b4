#pragma once
// The password dialog. Its set panel asks for a new password twice and says what the
// password does; its unlock panel tries a typed password on the chunk set.

#include <QDialog>
#include <QPoint>
#include <QString>
#include <functional>

#include "platform/outcome.h"

class QFrame;
class QLabel;
class QLineEdit;
class QMouseEvent;
class QPushButton;
class QShowEvent;

// What protecting a set does, and what it does not: the dialog and "Encrypt Data" say it.
extern const char* const kProtectionNote;

class UI_inputpwdWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_inputpwdWidget(QWidget* parent = nullptr);

    // Moves the dialog, fixes its size (the pages use 280 x 220) and lays out both panels.
    void placeAt(int x, int y, int width, int height);
    // Empties both panels' fields and runs the dialog modally on whichever panel is showing,
    // its first field holding the focus. Read m_passwordSet and m_password, or m_unlocked and
    // m_unlockedPassword, afterwards.
    void runDialog();
    // Tries a typed password: success, WrongPassword (the dialog stays open), or another
    // failure, which ends the dialog with m_unlockFailure.
    using Unlocker = std::function<morvane::Outcome(const QString&)>;
    // Switches to the unlock panel and runs the dialog until unlock accepts a password or
    // the user gives up. True, as m_unlocked says, when a password was accepted. encrypted:
    // the set is encrypted, rather than guarded by the old password check alone.
    bool runUnlockDialog(Unlocker unlock, bool encrypted = true);
    // Switches back to the set panel for the next runDialog.
    void showSetPanel();
    // Forgets the set panel's password: protection does not carry over to the next job.
    void forgetPassword();

    QFrame* outline;
    QWidget* set_pwd_Widget;
    QLabel* title_Label;
    QLabel* note_Label;
    QLineEdit* pwd1LineEdit;
    QLineEdit* pwd2LineEdit;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QLabel* error_Label;

    QWidget* type2_pwd_Widget;
    QLabel* type2_note_Label;
    QLineEdit* type2_pwdLineEdit;
    QLabel* type2_error_Label;
    QPushButton* type2_okButton;
    QPushButton* type2_cancelButton;

    // The set panel's outcome: the accepted password, which fits a split job in GB18030.
    QString m_password;
    int m_passwordSet = 0;
    // The unlock panel's outcome, and the password that matched, for the join to unlock with.
    int m_unlocked = 0;
    QString m_unlockedPassword;
    // Why unlocking failed, when not for a wrong password.
    morvane::Outcome m_unlockFailure;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private slots:
    void okButton_slots();
    void cancelButton_slots();
    void type2_okButton_slots();
    void type2_cancelButton_slots();

private:
    Unlocker m_unlock;
    bool m_dragging = false;
    QPoint m_pressPos;
};
