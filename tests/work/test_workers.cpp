// The worker threads: finished() arrives and the outcome of each run is kept.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstring>
#include <filesystem>

#include "engine/fs_primitives.h"
#include "temp_dir.h"
#include "work/workers.h"

using namespace morvane;
using morvane::test::TempDir;

namespace {

void fillSplit(SplitJob& job, const std::string& source, const std::string& out,
               std::int64_t chunk) {
    std::memset(&job, 0, sizeof job);
    std::strcpy(job.sourcePath, source.c_str());
    std::strcpy(job.outputDir, out.c_str());
    job.totalSize = pathSize(source.c_str());
    job.chunkSize = chunk;
}

// As the pages do: finished() reaches a receiver on this thread through the event loop.
bool runToFinish(QThread& thread) {
    QEventLoop loop;
    QObject receiver;
    int finished = 0;
    QObject::connect(&thread, &QThread::finished, &receiver, [&] {
        ++finished;
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    return finished == 1 && thread.wait(1000);
}

}  // namespace

TEST(Workers, SplitThenJoinOnTheSameObjectsKeepEachOutcome) {
    TempDir dir;
    const std::string data = test::patternBytes(250000, 11);
    test::writeFile(dir / "w.bin", data);

    SplitDoingThread splitter;
    fillSplit(splitter.job, dir / "w.bin", dir.path(), 100000);
    ASSERT_TRUE(runToFinish(splitter));
    EXPECT_TRUE(splitter.outcome()) << splitter.outcome().describe();
    EXPECT_STREQ(splitter.job.outputDir, (dir / "w_spt").c_str());
    EXPECT_EQ(getBytesDone(), 250000);

    // A second, failing run on the same object replaces the kept outcome.
    fillSplit(splitter.job, dir / "w.bin", dir / "missing", 100000);
    ASSERT_TRUE(runToFinish(splitter));
    EXPECT_FALSE(splitter.outcome());
    EXPECT_EQ(splitter.outcome().error, ENOENT);

    MergeDoingThread merger;
    std::memset(&merger.job, 0, sizeof merger.job);
    std::strcpy(merger.job.chunkDir, (dir / "w_spt").c_str());
    std::strcpy(merger.job.outputDir, (dir / "missing").c_str());
    ASSERT_TRUE(runToFinish(merger));
    EXPECT_FALSE(merger.outcome());

    std::filesystem::create_directory(dir / "out");
    std::strcpy(merger.job.outputDir, (dir / "out").c_str());
    ASSERT_TRUE(runToFinish(merger));
    EXPECT_TRUE(merger.outcome()) << merger.outcome().describe();
    EXPECT_EQ(test::readFile(dir / "out/w.bin"), data);

    // No manifest at all: the join ends at once, and still finishes.
    std::strcpy(merger.job.chunkDir, dir.path().c_str());
    ASSERT_TRUE(runToFinish(merger));
    EXPECT_FALSE(merger.outcome());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
