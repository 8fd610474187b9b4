// The password dialog: the set panel's hints, checks and outcome, and the unlock panel.

#include <QApplication>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <string>

#include "engine/digest.h"
#include "mouse.h"
#include "page_helpers.h"
#include "platform/encoding.h"
#include "ui/password_dialog.h"

namespace {

const QString kMismatch = QStringLiteral("The passwords entered do not match.");
const QString kTooLong = QStringLiteral("The password is too long (at most 31 bytes).");
const QString kWrong = QStringLiteral("Sorry, your password is wrong");
// Two bytes in GB18030 (D6 D0).
const QString kZhong = QString::fromUtf8("\u4e2d");

// The old gate: a typed password unlocks when its GB18030 bytes have the stored digest.
UI_inputpwdWidget::Unlocker byDigest(const char* digest) {
    return [digest](const QString& typed) {
        std::string bytes;
        if (morvane::plat::toEngineText(typed, &bytes) &&
            morvane::checkPassword(bytes.c_str(), digest) == 1)
            return morvane::Outcome::success();
        return morvane::Outcome::failure(morvane::Fault::WrongPassword, "", "wrong password");
    };
}

// Runs the dialog with body inside its modal loop. Whatever body leaves open is closed, so a
// failed check cannot hang the test.
void runWith(UI_inputpwdWidget& dialog, const std::function<void()>& run,
             const std::function<void()>& body) {
    QTimer::singleShot(0, &dialog, [&] {
        body();
        if (dialog.isVisible()) dialog.reject();
    });
    run();
}

void runSetPanel(UI_inputpwdWidget& dialog, const std::function<void()>& body) {
    runWith(
        dialog, [&] { dialog.runDialog(); }, body);
}

// Clicks into the field and types text through an input method, the way Chinese arrives.
void enter(QLineEdit* field, const QString& text) {
    QTest::mouseClick(field, Qt::LeftButton);
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(field, &event);
}

}  // namespace

class PasswordDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dialog.placeAt(100, 100, 280, 220);
        dialog.showSetPanel();
    }

    void hintsArePlaceholders() {
        // A second run must look like the first, after the fields were used.
        for (int run = 0; run < 2 && !QTest::currentTestFailed(); ++run) {
            runSetPanel(dialog, [&] {
                QVERIFY(dialog.set_pwd_Widget->isVisible());
                QVERIFY(!dialog.type2_pwd_Widget->isVisible());
                QCOMPARE(dialog.note_Label->text(), QString::fromLatin1(kProtectionNote));
                for (QLineEdit* field : {dialog.pwd1LineEdit, dialog.pwd2LineEdit}) {
                    QVERIFY(field->text().isEmpty());
                    QCOMPARE(field->echoMode(), QLineEdit::Password);
                }
                QCOMPARE(dialog.pwd1LineEdit->placeholderText(), QStringLiteral("Password..."));
                QCOMPARE(dialog.pwd2LineEdit->placeholderText(),
                         QStringLiteral("Confirm Password..."));
                QVERIFY(!dialog.okButton->isEnabled());
                QVERIFY(dialog.error_Label->text().isEmpty());
                QTest::keyClicks(dialog.pwd1LineEdit, QStringLiteral("ab"));
                QVERIFY(dialog.okButton->isEnabled());
                dialog.error_Label->setText(QStringLiteral("left over"));
            });
        }
    }

    // Every key is kept, whichever way the field got the focus: before, the first key into
    // a field reached without a click only took its hint away.
    void everyKeyCountsWhateverTheFocusPath() {
        runSetPanel(dialog, [&] {
            QVERIFY(QTest::qWaitForWindowActive(&dialog));
            QCOMPARE(QApplication::focusWidget(), dialog.pwd1LineEdit);
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret1"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), dialog.pwd2LineEdit);
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret1"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        });
        QCOMPARE(dialog.m_passwordSet, 1);
        QCOMPARE(dialog.m_password, QStringLiteral("secret1"));

        runSetPanel(dialog, [&] {
            QTest::mouseClick(dialog.pwd2LineEdit, Qt::LeftButton);
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret2"));
            QTest::mouseClick(dialog.pwd1LineEdit, Qt::LeftButton);
            QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret2"));
            QTest::mouseClick(dialog.okButton, Qt::LeftButton);
        });
        QCOMPARE(dialog.m_password, QStringLiteral("secret2"));

        char digest[40] = {};
        morvane::passwordDigestOf("secret2", digest);
        // A dialog of its own: the offscreen platform does not activate a window shown again.
        UI_inputpwdWidget unlock;
        unlock.placeAt(100, 100, 280, 220);
        bool unlocked = false;
        runWith(
            unlock, [&] { unlocked = unlock.runUnlockDialog(byDigest(digest), false); },
            [&] {
                QVERIFY(QTest::qWaitForWindowActive(&unlock));
                QCOMPARE(QApplication::focusWidget(), unlock.type2_pwdLineEdit);
                QCOMPARE(unlock.type2_pwdLineEdit->placeholderText(),
                         QStringLiteral("Enter password..."));
                QVERIFY(unlock.type2_note_Label->text().contains(QStringLiteral("not encrypted")));
                QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret2"));
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            });
        QVERIFY(unlocked);
        QCOMPARE(unlock.m_unlockedPassword, QStringLiteral("secret2"));
    }

    void setPanelOutcome_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");   // null: the field is never touched
        QTest::addColumn<QString>("refusal");  // empty: accepted
        QTest::newRow("one character differs") << "secret1"
                                               << "secret2" << kMismatch;
        QTest::newRow("second empty") << "secret"
                                      << "" << kMismatch;
        QTest::newRow("second never touched") << "secret" << QString() << kMismatch;
        QTest::newRow("32 bytes") << QString(32, u'a') << QString(32, u'a') << kTooLong;
        QTest::newRow("16 characters, 32 bytes")
            << kZhong.repeated(16) << kZhong.repeated(16) << kTooLong;
        QTest::newRow("same text") << "s3cret!"
                                   << "s3cret!" << QString();
        QTest::newRow("31 bytes") << QString(31, u'a') << QString(31, u'a') << QString();
        QTest::newRow("16 characters, 31 bytes")
            << kZhong.repeated(15) + "a" << kZhong.repeated(15) + "a" << QString();
    }

    void setPanelOutcome() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, refusal);
        // Without the code page any text outside ASCII is refused, whatever its length.
        if (!test::gb18030Here() && first.contains(kZhong)) QSKIP(test::kWhyNoGb18030);
        // An earlier password must not survive a refused one.
        dialog.m_password = QStringLiteral("earlier");
        bool open = true;
        QString shown;
        runSetPanel(dialog, [&] {
            enter(dialog.pwd1LineEdit, first);
            if (!second.isNull()) enter(dialog.pwd2LineEdit, second);
            QTest::mouseClick(dialog.okButton, Qt::LeftButton);
            open = dialog.isVisible();
            shown = dialog.error_Label->text();
        });
        QCOMPARE(open, !refusal.isEmpty());
        QCOMPARE(shown, refusal);
        QCOMPARE(dialog.m_passwordSet, refusal.isEmpty() ? 1 : 0);
        QCOMPARE(dialog.m_password, refusal.isEmpty() ? first : QString());
    }

    void cancelClearsAnEarlierPasswordAndEscapeKeepsIt() {
        const auto accept = [&](const QString& text) {
            runSetPanel(dialog, [&] {
                enter(dialog.pwd1LineEdit, text);
                enter(dialog.pwd2LineEdit, text);
                QTest::mouseClick(dialog.okButton, Qt::LeftButton);
            });
        };
        accept(QStringLiteral("first"));
        QCOMPARE(dialog.m_password, QStringLiteral("first"));
        runSetPanel(dialog, [&] { QTest::mouseClick(dialog.cancelButton, Qt::LeftButton); });
        QCOMPARE(dialog.m_passwordSet, 0);
        QVERIFY(dialog.m_password.isEmpty());

        accept(QStringLiteral("second"));
        bool closedByEscape = false;
        runSetPanel(dialog, [&] {
            QTest::keyClick(&dialog, Qt::Key_Escape);
            closedByEscape = !dialog.isVisible();
        });
        QVERIFY(closedByEscape);
        QCOMPARE(dialog.m_passwordSet, 0);
        QCOMPARE(dialog.m_password, QStringLiteral("second"));
    }

    void unlockRefusesAWrongPasswordThenTakesTheRightOne() {
        if (!test::gb18030Here()) QSKIP(test::kWhyNoGb18030);
        // What a split stores for 中文pw: the digest of its GB18030 bytes.
        char digest[40] = {};
        morvane::passwordDigestOf("\xD6\xD0\xCE\xC4pw", digest);
        bool unlocked = false;
        bool closedByOk = false;
        runWith(
            dialog, [&] { unlocked = dialog.runUnlockDialog(byDigest(digest), false); },
            [&] {
                QVERIFY(dialog.type2_pwd_Widget->isVisible());
                QVERIFY(!dialog.set_pwd_Widget->isVisible());
                QLineEdit* field = dialog.type2_pwdLineEdit;
                QVERIFY(field->text().isEmpty());
                QCOMPARE(field->echoMode(), QLineEdit::Password);
                QVERIFY(!dialog.type2_okButton->isEnabled());

                enter(field, QStringLiteral("wrong"));
                QTest::mouseClick(dialog.type2_okButton, Qt::LeftButton);
                QVERIFY(dialog.isVisible());
                QCOMPARE(dialog.type2_error_Label->text(), kWrong);
                QCOMPARE(field->text(), QStringLiteral("wrong"));
                QTest::keyClick(field, Qt::Key_Backspace);
                QVERIFY(dialog.type2_error_Label->text().isEmpty());

                field->clear();
                enter(field, QString::fromUtf8("\u4e2d\u6587pw"));
                QTest::mouseClick(dialog.type2_okButton, Qt::LeftButton);
                closedByOk = !dialog.isVisible();
            });
        QVERIFY(closedByOk);
        QCOMPARE(dialog.m_unlocked, 1);
        QVERIFY(unlocked);
    }

    void unlockRefusesWhatASplitCouldNotHaveStored() {
        // A split keeps at most 31 bytes, so a 32-byte password's digest can never match.
        const std::string longPassword(32, 'a');
        char digest[40] = {};
        morvane::passwordDigestOf(longPassword.c_str(), digest);
        const char* const storedDigests[] = {digest, nullptr};
        for (const char* stored : storedDigests) {
            bool refused = false;
            bool unlocked = true;
            runWith(
                dialog, [&] { unlocked = dialog.runUnlockDialog(byDigest(stored), false); },
                [&] {
                    enter(dialog.type2_pwdLineEdit, QString::fromStdString(longPassword));
                    QTest::mouseClick(dialog.type2_okButton, Qt::LeftButton);
                    refused = dialog.isVisible() && dialog.type2_error_Label->text() == kWrong;
                    QTest::mouseClick(dialog.type2_cancelButton, Qt::LeftButton);
                });
            QVERIFY(refused);
            QVERIFY(!unlocked);
            QCOMPARE(dialog.m_unlocked, 0);
        }

        dialog.showSetPanel();
        bool setPanelShown = false;
        runSetPanel(dialog, [&] {
            setPanelShown =
                dialog.set_pwd_Widget->isVisible() && !dialog.type2_pwd_Widget->isVisible();
        });
        QVERIFY(setPanelShown);
    }

    void draggingKeepsSizeAndLayout() {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QPoint start = dialog.pos();
        // The panel's background passes the press on to the dialog.
        drag(dialog.set_pwd_Widget, QPoint(5, 5), QPoint(20, 10));
        QCOMPARE(dialog.pos(), start + QPoint(20, 10));
        QCOMPARE(dialog.size(), QSize(280, 220));
        QCOMPARE(dialog.type2_okButton->geometry(), QRect(160, 180, 100, 30));
        dialog.hide();
    }

private:
    UI_inputpwdWidget dialog;
};

QTEST_MAIN(PasswordDialogTest)
#include "test_ui_password.moc"
