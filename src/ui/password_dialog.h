#pragma once
// The password dialog. Its set panel asks for a new password twice; its unlock panel checks a
// typed password against the digest stored in a chunk set.

#include <QDialog>
#include <QLineEdit>
#include <QPoint>
#include <QString>

class QLabel;
class QMouseEvent;
class QPushButton;

// A line edit that reports every mouse release, so that a click counts as using the field.
class myLineEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit myLineEdit(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class UI_inputpwdWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_inputpwdWidget(QWidget* parent = nullptr);

    // Moves the dialog, fixes its size (the pages use 260 x 160) and lays out both panels.
    void placeAt(int x, int y, int width, int height);
    // Puts both panels back to their hints and runs the dialog modally on whichever panel is
    // showing. Read m_passwordSet and m_password, or m_unlocked and m_unlockedPassword,
    // afterwards.
    void runDialog();
    // Switches to the unlock panel and runs the dialog; the typed password must match digest
    // (32 upper-case hexadecimal characters; not owned, and read only during the call). True,
    // as m_unlocked says, when it did.
    bool runUnlockDialog(const char* digest);
    // Switches back to the set panel for the next runDialog.
    void showSetPanel();

    QWidget* set_pwd_Widget;
    QLabel* title_Label;
    myLineEdit* pwd1LineEdit;
    myLineEdit* pwd2LineEdit;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QLabel* error_Label;

    QWidget* type2_pwd_Widget;
    QLabel* type2_note_Label;
    myLineEdit* type2_pwdLineEdit;
    QLabel* type2_error_Label;
    QPushButton* type2_okButton;
    QPushButton* type2_cancelButton;

    // The set panel's outcome: the accepted password, which fits a split job in GB18030.
    QString m_password;
    int m_passwordSet = 0;
    // The unlock panel's outcome, and the password that matched, for the join to unlock with.
    int m_unlocked = 0;
    QString m_unlockedPassword;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private slots:
    void okButton_slots();
    void cancelButton_slots();
    void pwd1LineEdit_slots();
    void pwd2LineEdit_slots();
    void type2_pwdLineEdit_slots();
    void type2_okButton_slots();
    void type2_cancelButton_slots();

private:
    // 1 while the field still holds its hint text.
    int m_pwd1Fresh = 0;
    int m_pwd2Fresh = 0;
    int m_type2Fresh = 0;
    const char* m_storedDigest = nullptr;
    bool m_dragging = false;
    QPoint m_pressPos;
};
