// The Join page with a set of many thousand chunks: the window goes on turning throughout.
// A timing, so it runs in the plain build only: sanitizers slow the window's thread many fold.

#include <QElapsedTimer>
#include <QTemporaryDir>

#include "jobs/jobs.h"
#include "join_helpers.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

using namespace test;

class JoinManyTest : public QObject {
    Q_OBJECT

private slots:
    // Before, 2,000 rows froze the window for 48 s, and Verify's end froze it again.
    void fiftyThousandChunksListAndVerifyWithoutBlockingTheWindow() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        keepSettingsIn(tmp.filePath(QStringLiteral("settings")));
        const QString base = tmp.path();
        const QString file = base + "/many.bin";
        QVERIFY(writeFile(file, patternBytes(50000, 7)));
        morvane::jobs::SplitOrder order;
        order.source = file;
        order.chunkSize = 1;
        morvane::jobs::SplitJob split(order);
        QVERIFY(split.prepare());
        split.execute();
        QVERIFY(split.outcome());

        UI_Tarnwick window;
        ModalResponder responder;
        UI_JoinWidget* page = window.m_joinWidget;
        // The longest the event loop went without turning, from the listing to Verify's end.
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 longest = 0;
        QTimer beat;
        connect(&beat, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        clock.start();
        beat.start(5);
        listThroughPage(page, base + "/many_spt");
        QCOMPARE(rowCount(page), 50000);
        QCOMPARE(cell(page, 49999, 3), QStringLiteral("size ok"));
        clickAndSettle(page, page->verify_Button);
        QVERIFY(QTest::qWaitFor([&] { return !page->jobActive(); }, kJobTimeoutMs));
        QCOMPARE(cell(page, 49999, 3), QStringLiteral("ok"));
        beat.stop();
        QCOMPARE(responder.messages, QStringList());
        QVERIFY2(longest <= 100, qPrintable(QStringLiteral("blocked %1 ms").arg(longest)));
    }
};

QTEST_MAIN(JoinManyTest)
#include "test_ui_join_many.moc"
