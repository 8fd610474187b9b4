// The worker thread: it runs a prepared job off the calling thread, finished() arrives,
// and every job keeps its own outcome.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "jobs/jobs.h"
#include "platform/native.h"
#include "temp_dir.h"
#include "work/workers.h"

using namespace morvane;
using morvane::test::TempDir;

namespace {

QString q(const std::string& native) {
    return QString::fromStdString(native);
}

jobs::SplitOrder splitOrder(const std::string& source, const std::string& out) {
    jobs::SplitOrder order;
    order.source = q(source);
    order.outputDir = q(out);
    order.chunkSize = 100000;
    return order;
}

jobs::JoinOrder joinOrder(const std::string& chunkDir, const std::string& out) {
    jobs::JoinOrder order;
    order.chunkDir = q(chunkDir);
    order.outputDir = q(out);
    return order;
}

// As the pages do: finished() reaches a receiver on this thread through the event loop.
// meanwhile runs on this thread while the job runs.
bool runToFinish(JobThread& thread, jobs::Job& job, const std::function<void()>& meanwhile = {}) {
    QEventLoop loop;
    QObject receiver;
    int finished = 0;
    QObject::connect(&thread, &QThread::finished, &receiver, [&] {
        ++finished;
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    thread.startJob(&job);
    if (meanwhile) meanwhile();
    loop.exec();
    return finished == 1 && thread.wait(1000) && thread.job() == &job;
}

}  // namespace

TEST(Workers, JobAfterJobOnOneThreadEachKeepsItsOutcome) {
    TempDir dir;
    const std::string data = test::patternBytes(250000, 11);
    test::writeFile(dir / "w.bin", data);
    JobThread thread;

    jobs::SplitJob split(splitOrder(dir / "w.bin", dir.path()));
    ASSERT_TRUE(split.prepare());
    ASSERT_TRUE(runToFinish(thread, split));
    EXPECT_TRUE(split.outcome()) << split.outcome().describe();
    EXPECT_EQ(split.chunkFolder(), q(dir / "w_spt"));
    EXPECT_EQ(split.control().done(), 250000);

    // An output folder that cannot be made: below a file.
    jobs::SplitJob failing(splitOrder(dir / "w.bin", dir / "w.bin/missing"));
    ASSERT_TRUE(failing.prepare());
    ASSERT_TRUE(runToFinish(thread, failing));
#ifdef _WIN32
    // Windows says only that the path was not found.
    EXPECT_EQ(failing.outcome().error, ENOENT);
#else
    EXPECT_EQ(failing.outcome().error, ENOTDIR);
#endif
    EXPECT_TRUE(split.outcome());

    jobs::JoinJob toMissing(joinOrder(dir / "w_spt", dir / "w.bin/missing"));
    ASSERT_TRUE(toMissing.prepare());
    ASSERT_TRUE(runToFinish(thread, toMissing));
    EXPECT_FALSE(toMissing.outcome());

    std::filesystem::create_directory(dir / "out");
    jobs::JoinJob join(joinOrder(dir / "w_spt", dir / "out"));
    ASSERT_TRUE(join.prepare());
    ASSERT_TRUE(runToFinish(thread, join));
    EXPECT_TRUE(join.outcome()) << join.outcome().describe();
    EXPECT_TRUE(test::readFile(dir / "out/w.bin") == data);
    EXPECT_EQ(join.control().done(), 250000);

    // No manifest at all: the job cannot be prepared, refuses to run, and still finishes.
    jobs::JoinJob noSet(joinOrder(dir.path(), dir / "out"));
    EXPECT_EQ(noSet.prepare().error, ENOENT);
    ASSERT_TRUE(runToFinish(thread, noSet));
    EXPECT_FALSE(noSet.outcome());
}

TEST(Workers, AJobStartedWhileOneRunsIsIgnored) {
    TempDir dir;
    test::writeFile(dir / "w.bin", test::patternBytes(1000, 12));
    jobs::SplitJob running(splitOrder(dir / "w.bin", dir.path()));
    jobs::SplitJob second(splitOrder(dir / "w.bin", dir.path()));
    ASSERT_TRUE(running.prepare());
    ASSERT_TRUE(second.prepare());

    std::atomic<bool> inRun{false};
    std::atomic<bool> release{false};
    plat::setFaultHook([&](plat::Op, const std::string&) {
        inRun = true;
        while (!release) std::this_thread::yield();
        return 0;
    });
    JobThread thread;
    const bool finished = runToFinish(thread, running, [&] {
        while (!inRun) std::this_thread::yield();
        thread.startJob(&second);
        EXPECT_EQ(thread.job(), &running);
        release = true;
    });
    plat::setFaultHook(nullptr);
    ASSERT_TRUE(finished);
    EXPECT_TRUE(running.outcome()) << running.outcome().describe();
    EXPECT_FALSE(second.outcome());  // it never ran
    EXPECT_EQ(second.control().done(), 0);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
