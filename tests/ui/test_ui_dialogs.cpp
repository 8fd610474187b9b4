// The progress pop-up, the completion dialog and the message box.

#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include "engine/job_control.h"
#include "mouse.h"
#include "page_helpers.h"
#include "ui/dialog_widget.h"
#include "ui/message_box.h"
#include "ui/progress_widget.h"

// Stands in for the desktop's file browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void progressShowsThePercentOnLabelAndBar() {
        UI_ProgressWidget progress;
        progress.placeAt(10, 20, 360, 80);
        progress.setPercent(0);
        QCOMPARE(progress.percentLabel->text(), QStringLiteral("0%"));
        QCOMPARE(progress.progressBar->value(), progress.progressBar->minimum());
        progress.setPercent(100);
        QCOMPARE(progress.percentLabel->text(), QStringLiteral("100%"));
        QCOMPARE(progress.progressBar->value(), progress.progressBar->maximum());
    }

    void progressAsksToCancelInsteadOfClosing() {
        UI_ProgressWidget progress;
        progress.placeAt(10, 20, 360, 110);
        progress.show();
        QSignalSpy asked(&progress, &UI_ProgressWidget::cancelAsked);
        QSignalSpy now(&progress, &UI_ProgressWidget::cancelNow);
        QTest::keyClick(&progress, Qt::Key_Escape);
        QVERIFY(!progress.close());
        // Neither Enter nor Space is a way to cancel.
        QTest::keyClick(&progress, Qt::Key_Return);
        QTest::keyClick(&progress, Qt::Key_Space);
        QCOMPARE(asked.count(), 2);
        QCOMPARE(now.count(), 0);
        // Only the button cancels without a question.
        progress.cancelButton->click();
        QCOMPARE(now.count(), 1);
        QCOMPARE(asked.count(), 2);
        QVERIFY(progress.isVisible());
        QVERIFY(progress.rect().contains(progress.cancelButton->geometry()));
        QVERIFY(!progress.cancelButton->geometry().intersects(progress.progressBar->geometry()));
    }

    // The rate is the job's over the last seconds: a job that writes in uneven bursts shows
    // a steady rate, and the time it has left counts down.
    void progressShowsARateThatHoldsStillTheTimeLeftAndTheFile() {
        UI_ProgressWidget progress;
        progress.placeAt(10, 20, 360, 110);
        // Raised for the rows, upwards: the lower edge stays where the page put it.
        QCOMPARE(progress.geometry().bottom(), 20 + 110 - 1);
        QVERIFY(!progress.detailLabel->geometry().intersects(progress.cancelButton->geometry()));
        QVERIFY(!progress.detailLabel->geometry().intersects(progress.progressBar->geometry()));
        QVERIFY(progress.rect().contains(progress.cancelButton->geometry()));

        morvane::JobControl control;
        control.begin(200 * test::kMiB);
        control.setCurrentFile("photos/img_0001.jpg");
        progress.showProgress(control, 0);
        QCOMPARE(progress.detailLabel->text(), QStringLiteral("photos/img_0001.jpg"));
        QStringList shown;
        for (int t = 500; t <= 12000; t += 500) {
            // 3 MiB, then 7 MiB: 10 MiB a second, in bursts.
            control.advance((t / 500 % 2 == 1 ? 3 : 7) * test::kMiB);
            progress.showProgress(control, t);
            if (t >= 3000) shown.append(progress.detailLabel->text());
        }
        for (const QString& line : shown) {
            const double rate = line.section(QLatin1Char(' '), 0, 0).toDouble();
            QVERIFY2(rate >= 9.0 && rate <= 10.0, qPrintable(line));
            QVERIFY2(line.endsWith(QStringLiteral(" left   photos/img_0001.jpg")),
                     qPrintable(line));
        }
        QCOMPARE(shown.last(),
                 QStringLiteral("10.00 MiB/s, about 10 s left   photos/img_0001.jpg"));

        // Another job starts over: nothing of the last one's rate is kept.
        morvane::JobControl next;
        next.begin(test::kMiB);
        progress.showProgress(next, 12500);
        QCOMPARE(progress.percentLabel->text(), QStringLiteral("0%"));
        QCOMPARE(progress.detailLabel->text(), QString());
    }

    void askCancelJobSaysWhatEachButtonDoes() {
        QString text;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<UI_MyMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            text = box->textLabel->text();
            [&] {
                QCOMPARE(box->okButton->text(), QStringLiteral("Stop the job"));
                QCOMPARE(box->cancelButton->text(), QStringLiteral("Keep running"));
                QVERIFY(box->cancelButton->isDefault());
                QVERIFY(box->rect().contains(box->okButton->geometry()));
                QVERIFY(!box->okButton->geometry().intersects(box->cancelButton->geometry()));
            }();
            box->okButton->click();
        });
        QVERIFY(::askCancelJob(nullptr));
        QCOMPARE(text, QStringLiteral("Cancel the running job?"));
    }

    // Before, Enter stopped the job and confirmed every replace: OK had the focus.
    void keysNeverAnswerYesToAQuestionThatLosesSomething_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("Space") << int(Qt::Key_Space);
        QTest::newRow("Escape") << int(Qt::Key_Escape);
    }

    void keysNeverAnswerYesToAQuestionThatLosesSomething() {
        QFETCH(int, key);
        {
            test::KeyAnswer answer{Qt::Key(key)};
            QVERIFY(!::askCancelJob(nullptr));
            QCOMPARE(answer.texts, QStringList{"Cancel the running job?"});
            QCOMPARE(answer.cancelText, QStringLiteral("Keep running"));
        }
        {
            test::KeyAnswer answer{Qt::Key(key)};
            QVERIFY(!::askQuestion(nullptr, QStringLiteral("Replace it?")));
            QCOMPARE(answer.texts, QStringList{"Replace it?"});
        }
    }

    void completionDialogKeepsItsSizeWhileDragged() {
        UI_DialogWidget done;
        done.messageLabel->setText(QStringLiteral("Splitting Completed!"));
        done.placeAt(200, 150, 260, 80);
        done.show();
        QVERIFY(QTest::qWaitForWindowExposed(&done));
        const QPoint start = done.pos();
        drag(&done, QPoint(250, 10), QPoint(15, 0));
        QCOMPARE(done.pos(), start + QPoint(15, 0));
        QCOMPARE(done.size(), QSize(260, 80));
        QCOMPARE(done.okButton->geometry(), QRect(140, 40, 100, 30));
        // The whole message shows, whatever the default font.
        QVERIFY(done.messageLabel->width() >= done.messageLabel->sizeHint().width());
        done.resize(400, 300);
        QCOMPARE(done.size(), QSize(260, 80));
    }

    void openFolderOpensTheFolderOrSaysItCannot() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        UI_DialogWidget done;
        done.folderPath = tmp.filePath(QStringLiteral("pieces"));
        QVERIFY(QDir().mkpath(done.folderPath));
        done.show();
        UrlRecorder browser;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &browser, "open");
        done.openButton->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(browser.opened, QList<QUrl>{QUrl::fromLocalFile(done.folderPath)});
        QVERIFY(done.isVisible());

        // The offscreen platform has no program to show folders: before, nothing was said.
        QString said;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<UI_MyMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            said = box->textLabel->text();
            box->okButton->click();
        });
        done.openButton->click();
        // The window names paths the way the system writes them.
        QCOMPARE(said, "No program could show the folder " +
                           QDir::toNativeSeparators(done.folderPath) +
                           ". Open it in your file manager.");
    }

    void messageBoxPlacesItsButtons() {
        UI_MyMessageBox box;
        box.placeAt(0, 0, 260, 140);
        box.setContent(QString(), QStringLiteral("A file exists."), true, true);
        QCOMPARE(box.cancelButton->geometry(), QRect(20, 100, 100, 30));
        QCOMPARE(box.okButton->geometry(), QRect(140, 100, 100, 30));
        QCOMPARE(box.textLabel->geometry(), QRect(10, 10, 240, 100));
        box.setContent(QString(), QStringLiteral("x"), false, true);
        QCOMPARE(box.cancelButton->geometry(), QRect(80, 100, 100, 30));
        QVERIFY(box.okButton->isHidden());
        box.resize(500, 500);
        QCOMPARE(box.size(), QSize(260, 140));
    }

    void showMessage_data() {
        QTest::addColumn<int>("key");  // 0: click OK
        QTest::addColumn<int>("answer");
        QTest::newRow("OK") << 0 << 1;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << 0;
    }

    void showMessage() {
        QFETCH(int, key);
        QFETCH(int, answer);
        QWidget parent;
        parent.setGeometry(100, 50, 780, 480);
        bool closed = false;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<UI_MyMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            // Centred across the parent, below its middle; the lone OK centred too. The box
            // is answered even when a check fails, so that the test cannot hang.
            [&] {
                QCOMPARE(box->geometry(), QRect(100 + 270, 50 + 240, 240, 140));
                QCOMPARE(box->okButton->geometry(), QRect(70, 100, 100, 30));
                QCOMPARE(box->textLabel->geometry(), QRect(50, 40, 190, 100));
            }();
            if (key == 0)
                box->okButton->click();
            else
                QTest::keyClick(box, Qt::Key(key));
            closed = !box->isVisible();
        });
        const int result = ::showMessage(&parent, QString(),
                                         QStringLiteral("input path is not valid!"), true, false);
        QVERIFY(closed);
        QCOMPARE(result, answer);
    }
};

QTEST_MAIN(DialogsTest)
#include "test_ui_dialogs.moc"
