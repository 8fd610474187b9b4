// What a job finds out before it writes anything: whether the output's file system has the
// room for it, and whether the chunk set it would replace may be the only copy of its data.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fault_util.h"
#include "job_util.h"
#include "jobs/jobs.h"
#include "jobs/presentation.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::RoomGuard;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

jobs::SplitOrder splitOrder(const std::string& source, const std::string& out,
                            std::int64_t chunkSize) {
    jobs::SplitOrder order;
    order.source = q(source);
    order.outputDir = q(out);
    order.chunkSize = chunkSize;
    return order;
}

// A refusal for room says what the job needs and what is free.
bool saysBothNumbers(const Outcome& o, std::int64_t free) {
    return o.reason.find("it needs ") != std::string::npos &&
           o.reason.find("the file system has " + jobs::formatBytes(free) + " free") !=
               std::string::npos;
}

}  // namespace

TEST(JobRoom, ASplitOrJoinWithoutRoomIsRefusedBeforeWritingNamingBothNumbers) {
    TempDir dir;
    const std::string data = test::patternBytes(300000, 5);
    test::writeFile(dir / "s.bin", data);
    const std::string out = dir / "out/deeper";  // not made yet: its parent is measured
    std::int64_t free = 0;
    RoomGuard room([&](const std::string& path) {
        return path.rfind(dir.path(), 0) == 0 ? free : std::int64_t{-1};
    });

    // The chunks alone fit, the two recovery chunks beside them do not.
    jobs::SplitOrder order = splitOrder(dir / "s.bin", out, 65536);
    order.recovery = 2;
    free = 300000 + 65536;
    jobs::SplitJob split(order);
    Outcome o = split.prepare();
    ASSERT_TRUE(o.is(Fault::NoSpace)) << o.describe();
    EXPECT_TRUE(saysBothNumbers(o, free)) << o.reason;
    EXPECT_EQ(o.path, out + "/s_spt");
    EXPECT_FALSE(test::exists(dir / "out"));

    // With the room, the same order goes ahead; replacing that set then needs the room for a
    // whole new one, since the old one frees its room only once the new one is in place.
    free = std::int64_t{1} << 40;
    jobs::SplitJob made(order);
    ASSERT_TRUE(made.prepare());
    made.execute();
    ASSERT_TRUE(made.outcome()) << made.outcome().describe();
    free = 300000;
    jobs::SplitJob again(order);
    EXPECT_TRUE(again.prepare().is(Fault::NoSpace));

    // A join: the joined file's size, in whole blocks.
    free = 299999;
    jobs::JoinOrder join;
    join.chunkDir = q(out + "/s_spt");
    join.outputDir = q(dir / "joined");
    jobs::JoinJob job(join);
    o = job.prepare();
    ASSERT_TRUE(o.is(Fault::NoSpace)) << o.describe();
    EXPECT_TRUE(saysBothNumbers(o, free)) << o.reason;
    EXPECT_EQ(o.path, dir / "joined/s.bin");
    EXPECT_FALSE(test::exists(dir / "joined"));
    free = std::int64_t{1} << 40;
    jobs::JoinJob fits(join);
    ASSERT_TRUE(fits.prepare());
    fits.execute();
    ASSERT_TRUE(fits.outcome()) << fits.outcome().describe();
    EXPECT_EQ(test::readFile(dir / "joined/s.bin"), data);
}

// Before, a folder split with its source deleted, a FIFO left out, was replaced by a set of
// the emptied folder without a word that the set was the only copy of its files.
TEST(OnlyCopy, ASetHoldingWhatItsSourceLostOrChangedSaysSo) {
    TempDir dir;
    const std::string src = dir / "src";
    fs::create_directories(src + "/sub");
    test::writeFile(src + "/a.txt", test::patternBytes(3000, 1));
    test::writeFile(src + "/sub/b.txt", test::patternBytes(2000, 2));
    test::writeFile(src + "/empty", "");
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((src + "/pipe").c_str(), 0600), 0);
#endif
    auto prepared = [&](bool del) {
        jobs::SplitOrder order = splitOrder(src, dir.path(), 1024);
        order.skipSpecial = true;
        order.deleteSource = del;
        auto job = std::make_unique<jobs::SplitJob>(order);
        EXPECT_TRUE(job->prepare());
        return job;
    };

    // The source as it was split: the set holds nothing it lacks.
    auto first = prepared(false);
    first->execute();
    ASSERT_TRUE(first->outcome()) << first->outcome().describe();
    EXPECT_TRUE(prepared(false)->targetExists());
    EXPECT_EQ(prepared(false)->onlyInTheSet(), std::vector<std::string>{});

    // A file rewritten with as many bytes: its time tells.
    test::writeFile(src + "/sub/b.txt", test::patternBytes(2000, 3));
    fs::last_write_time(src + "/sub/b.txt",
                        fs::last_write_time(src + "/sub/b.txt") + std::chrono::seconds(5));
    EXPECT_EQ(prepared(false)->onlyInTheSet(), std::vector<std::string>{"sub/b.txt"});

    // The set's own split deleted its source: the set is all there is.
    auto job = prepared(true);
    job->allowReplace(true);
    job->execute();
    ASSERT_TRUE(job->sourcesDeleted()) << job->removal().describe();
#ifdef _WIN32
    // Windows has no FIFO to keep the folder: an empty one under its name stands in.
    fs::create_directories(src);
#else
    ASSERT_TRUE(fs::is_fifo(src + "/pipe"));
#endif
    EXPECT_EQ(prepared(false)->onlyInTheSet(), (std::vector<std::string>{"a.txt", "sub/b.txt"}));
}
