// The main window: its size and what grows with it, its tab captions, dragging it by the
// background, and closing it while a job runs.

#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include "mouse.h"
#include "page_helpers.h"
#include "ui/join_widget.h"
#include "ui/progress_widget.h"
#include "ui/split_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

using namespace test;

class WindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir settings;

private slots:
    void initTestCase() {
        QVERIFY(settings.isValid());
        keepSettingsIn(settings.path());
    }

    // Before, the window kept one size, and long paths had no room to show.
    void growsWithTheListsAndPathsAndNoSmallerThanAtFirst() {
        UI_Tarnwick window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(780, 480));
        UI_SplitWidget* split = window.m_splitWidget;
        const QRect list = window.m_joinWidget->input_joinTreeWidget->geometry();
        const QRect path = split->output_LineEdit->geometry();
        const QRect bySize = split->split_bysize_RadioButton->geometry();
        const QRect button = split->m_split_Button->geometry();

        window.resize(1000, 700);
        QCOMPARE(window.m_tabWidget->geometry(), QRect(50, 20, 900, 640));
        QCOMPARE(window.m_joinWidget->input_joinTreeWidget->size(), list.size() + QSize(220, 220));
        QCOMPARE(split->output_LineEdit->width(), path.width() + 220);
        // The rest keeps its place beside what grew.
        QCOMPARE(split->split_bysize_RadioButton->geometry(), bySize);
        QCOMPARE(split->m_split_Button->geometry(), button.translated(220, 220));

        window.resize(300, 200);
        QCOMPARE(window.size(), QSize(780, 480));
        QCOMPARE(split->output_LineEdit->geometry(), path);
        // The icon comes from the compiled resource, which the linker must not have dropped.
        QVERIFY(!window.windowIcon().isNull());
    }

    void tabCaptionsKeepTheirSpaces() {
        UI_Tarnwick window;
        QCOMPARE(window.m_tabWidget->count(), 3);
        QCOMPARE(window.m_tabWidget->tabText(0), QStringLiteral("Split File"));
        QCOMPARE(window.m_tabWidget->tabText(1), QStringLiteral("Join File "));
        QCOMPARE(window.m_tabWidget->tabText(2), QStringLiteral("  About   "));
        QCOMPARE(window.m_aboutLabels[2]->geometry(), QRect(30, 160, 650, 40));
    }

    void backgroundDragMovesTheWindow() {
        UI_Tarnwick window;
        window.move(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();
        // Without a press on the window, not even a held button moves it.
        sendMouse(&window, QEvent::MouseMove, QPoint(40, 40), Qt::LeftButton);
        QCOMPARE(window.pos(), start);

        // The margin left of the tab widget belongs to the window itself.
        sendMouse(&window, QEvent::MouseButtonPress, QPoint(10, 300), Qt::LeftButton);
        sendMouse(&window, QEvent::MouseMove, QPoint(25, 320), Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(15, 20));
        QCOMPARE(window.size(), QSize(780, 480));
        // A move back onto the grabbed point leaves the window where it is.
        sendMouse(&window, QEvent::MouseMove, QPoint(10, 300), Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(15, 20));
    }

    void aLabelPassesThePressOnAndAReleaseOverAChildEndsTheDrag() {
        UI_Tarnwick window;
        window.move(100, 100);
        window.m_tabWidget->setCurrentIndex(2);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();

        QLabel* label = window.m_aboutLabels[1];
        sendMouse(label, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton);
        sendMouse(&window, QEvent::MouseMove, label->mapTo(&window, QPoint(5, 5)) + QPoint(-8, 30),
                  Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(-8, 30));

        sendMouse(label, QEvent::MouseButtonRelease, QPoint(5, 5), Qt::NoButton);
        sendMouse(&window, QEvent::MouseMove, QPoint(300, 300), Qt::LeftButton);
        QCOMPARE(window.pos(), start + QPoint(-8, 30));
    }

    // Closed as the window system closes it, which a modal pop-up would keep from the window:
    // before, the close was swallowed while a job ran.
    void closingWhileASplitRunsAsksFirst() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString small = tmp.filePath("small.bin");
        const QString big = tmp.filePath("big.bin");
        QVERIFY(writeFile(small, patternBytes(5000, 40)));
        QVERIFY(sparseFile(big, 64 * kMiB));
        UI_Tarnwick window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        UI_SplitWidget* page = window.m_splitWidget;
        ModalResponder responder;
        const auto startSplit = [&](const QString& source) {
            PathAnswers answers({source});
            page->input_fileButton->click();
            page->m_split_Button->click();
        };

        const auto systemClose = [&] { return window.windowHandle()->close(); };
        {  // No: the window stays, and the job goes on to its end; held while it was asked.
            CancelAnswers no(false);
            bool held = false;
            no.meanwhile = [&] {
                QTest::qWait(1000);
                held = page->m_SplitDoingThread->isRunning() &&
                       !QFileInfo::exists(tmp.filePath("small_spt")) && QFileInfo::exists(small);
            };
            page->del_source_CheckBox->setChecked(true);
            startSplit(small);
            // No modal pop-up blocks the window, so the window system's close reaches it;
            // only the pop-up and the question take input meanwhile.
            QCOMPARE(QApplication::activeModalWidget(), nullptr);
            QVERIFY(!window.m_tabWidget->isEnabled());
            QVERIFY(!systemClose());
            QCOMPARE(no.asked, 1);
            QVERIFY(held);
            QVERIFY(window.isVisible());
            QVERIFY(
                QTest::qWaitFor([&] { return !responder.completions.isEmpty(); }, kJobTimeoutMs));
            QCOMPARE(responder.completions, QStringList{"Splitting Completed!"});
        }
        {  // Yes: the window closes once the job has ended, and nothing of the job is left.
            CancelAnswers yes(true);
            startSplit(big);
            QVERIFY(systemClose());
            QCOMPARE(yes.asked, 1);
            QVERIFY(!window.isVisible());
            QVERIFY(!page->m_SplitDoingThread->isRunning());
            QVERIFY(!page->m_ProgressWidget->isVisible());
            QVERIFY(!QFileInfo::exists(tmp.filePath("big_spt")));
            QCOMPARE(QFileInfo(big).size(), 64 * kMiB);
        }
        // The dropped end is not presented later, and an idle window closes without asking.
        QTest::qWait(50);
        QCOMPARE(responder.messages.join('|'), QString());
        CancelAnswers unasked(false);
        window.show();
        QVERIFY(window.close());
        QCOMPARE(unasked.asked, 0);
    }
};

QTEST_MAIN(WindowTest)
#include "test_ui_window.moc"
