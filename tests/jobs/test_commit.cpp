// What the job layer promises around the engine's run: a final name that never holds a
// partial output, flushes before renames before deletes, one job per output, a set
// checked before a join writes, and sources that must not change while they are read.

#include <gtest/gtest.h>

#include <QString>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "engine/digest.h"
#include "engine/manifest.h"
#include "fault_util.h"
#include "jobs/jobs.h"
#include "platform/native.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::FaultGuard;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

jobs::SplitOrder splitOrder(const std::string& source, std::int64_t chunkSize, bool del = false) {
    jobs::SplitOrder order;
    order.source = q(source);
    order.chunkSize = chunkSize;
    order.deleteSource = del;
    return order;
}

Outcome runSplit(jobs::SplitOrder order, bool replace = false) {
    jobs::SplitJob job(std::move(order));
    if (Outcome o = job.prepare(); !o) return o;
    job.allowReplace(replace);
    job.execute();
    return job.outcome();
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every flush, rename and removal the native layer makes, in order.
struct Journal {
    std::mutex guard;
    std::vector<std::string> steps;
    plat::FaultHook hook() {
        return [this](plat::Op op, const std::string& path) {
            const char* what = op == plat::Op::Sync     ? "sync "
                               : op == plat::Op::Rename ? "rename "
                               : op == plat::Op::Remove ? "remove "
                                                        : nullptr;
            if (what) {
                std::lock_guard<std::mutex> lock(guard);
                steps.push_back(what + path);
            }
            return 0;
        };
    }
    std::size_t indexOf(const std::string& step) const {
        const auto it = std::find(steps.begin(), steps.end(), step);
        return it == steps.end() ? SIZE_MAX : static_cast<std::size_t>(it - steps.begin());
    }
};

}  // namespace

TEST(JobCommit, DataIsFlushedBeforeTheRenameAndTheRenameBeforeADelete) {
    TempDir dir;
    test::writeFile(dir / "f.bin", test::patternBytes(5000, 1));
    Journal journal;
    {
        FaultGuard guard(journal.hook());
        ASSERT_TRUE(runSplit(splitOrder(dir / "f.bin", 1000, true)));
    }
    const std::string partial = dir / ".f_spt.morvane-partial";
    const std::size_t flushed = journal.indexOf("sync " + partial);
    const std::size_t renamed = journal.indexOf("rename " + dir / "f_spt");
    const std::size_t durable = journal.indexOf("sync " + dir.path());
    const std::size_t deleted = journal.indexOf("remove " + dir / "f.bin");
    ASSERT_NE(deleted, SIZE_MAX);
    EXPECT_LT(flushed, renamed);
    EXPECT_LT(renamed, durable);
    EXPECT_LT(durable, deleted);
    EXPECT_FALSE(test::exists(dir / "f.bin"));

    journal.steps.clear();
    jobs::JoinJob join(jobs::JoinOrder{q(dir / "f_spt"), q(dir / "out"), true});
    ASSERT_TRUE(join.prepare());
    {
        FaultGuard guard(journal.hook());
        join.execute();
    }
    ASSERT_TRUE(join.outcome()) << join.outcome().describe();
    const std::size_t joinFlushed = journal.indexOf("sync " + dir / "out/.f.bin.morvane-partial");
    const std::size_t joinRenamed = journal.indexOf("rename " + dir / "out/f.bin");
    const std::size_t joinDurable = journal.indexOf("sync " + dir / "out");
    const std::size_t chunkDeleted = journal.indexOf("remove " + dir / "f_spt/f_0.spt");
    ASSERT_NE(chunkDeleted, SIZE_MAX);
    EXPECT_LT(joinFlushed, joinRenamed);
    EXPECT_LT(joinRenamed, joinDurable);
    EXPECT_LT(joinDurable, chunkDeleted);
    EXPECT_EQ(test::readFile(dir / "out/f.bin"), test::patternBytes(5000, 1));
}

TEST(JobCommit, AFailedFlushLeavesNoSetAndDeletesNothing) {
    TempDir dir;
    test::writeFile(dir / "g.bin", test::patternBytes(3000, 2));
    {
        FaultGuard guard(
            [](plat::Op op, const std::string&) { return op == plat::Op::Sync ? EIO : 0; });
        const Outcome o = runSplit(splitOrder(dir / "g.bin", 1000, true));
        EXPECT_FALSE(o);
        EXPECT_EQ(o.error, EIO);
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"g.bin"});
}

TEST(JobLocks, ASecondJobOnTheSameOutputFailsAtOnce) {
    TempDir dir;
    test::writeFile(dir / "h.bin", test::patternBytes(3000, 3));
    plat::NameLock held;
    ASSERT_TRUE(held.acquire(jobs::sideNamesOf(dir.path(), "h_spt").lock));
    Outcome o = runSplit(splitOrder(dir / "h.bin", 1000));
    EXPECT_EQ(o.reason, "another job is writing there");
    EXPECT_FALSE(test::exists(dir / "h_spt"));
    held.release();
    ASSERT_TRUE(runSplit(splitOrder(dir / "h.bin", 1000)));

    fs::create_directory(dir / "out");
    ASSERT_TRUE(held.acquire(jobs::sideNamesOf(dir / "out", "h.bin").lock));
    jobs::JoinJob join(jobs::JoinOrder{q(dir / "h_spt"), q(dir / "out"), false});
    ASSERT_TRUE(join.prepare());
    join.execute();
    EXPECT_EQ(join.outcome().reason, "another job is writing there");
}

// Prepared while the folder was empty, a split that finds another's finished set at its
// turn refuses and names that set, read then.
TEST(JobLocks, ASetFinishedByAnotherJobMeanwhileIsNamedAndKept) {
    TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    test::writeFile(dir / "a/d.bin", test::patternBytes(3000, 1));
    test::writeFile(dir / "b/d.bin", test::patternBytes(3000, 2));
    jobs::SplitOrder late = splitOrder(dir / "a/d.bin", 1000);
    late.outputDir = q(dir / "usb");
    jobs::SplitJob waiting(late);
    ASSERT_TRUE(waiting.prepare());
    EXPECT_FALSE(waiting.targetExists());

    jobs::SplitOrder early = splitOrder(dir / "b/d.bin", 1000);
    early.outputDir = q(dir / "usb");
    ASSERT_TRUE(runSplit(early));
    const std::string kept = test::readFile(dir / "usb/d_spt/d_0.spt");
    waiting.execute();
    EXPECT_TRUE(waiting.outcome().is(Fault::Exists)) << waiting.outcome().describe();
    EXPECT_EQ(waiting.outcome().reason, "already holds the chunk set of d.bin");
    EXPECT_EQ(test::readFile(dir / "usb/d_spt/d_0.spt"), kept);
}

TEST(JobLocks, ACrashedJobsLeftoversAreRemovedByTheNext) {
    TempDir dir;
    test::writeFile(dir / "k.bin", test::patternBytes(3000, 4));
    const jobs::SideNames side = jobs::sideNamesOf(dir.path(), "k_spt");
    fs::create_directory(side.partial);
    test::writeFile(side.partial + "/k_0.spt", "torn");
    test::writeFile(side.lock, "");
    ASSERT_TRUE(runSplit(splitOrder(dir / "k.bin", 1000)));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"k.bin", "k_spt"}));
}

// A replace without a one-step swap renames the old output aside first; killed right there,
// it has left the only copy of the old set under the hidden name.
TEST(JobLocks, AnOldOutputLeftAsideByACrashComesBackAndIsNotReplacedUnasked) {
    TempDir dir;
    test::writeFile(dir / "k.bin", test::patternBytes(3000, 4));
    ASSERT_TRUE(runSplit(splitOrder(dir / "k.bin", 1000)));
    const std::string before = test::readFile(dir / "k_spt/k_1.spt");
    const jobs::SideNames side = jobs::sideNamesOf(dir.path(), "k_spt");
    fs::rename(dir / "k_spt", side.old);
    test::writeFile(dir / "k.bin", test::patternBytes(3000, 5));

    const Outcome refused = runSplit(splitOrder(dir / "k.bin", 1000));
    EXPECT_TRUE(refused.is(Fault::Exists)) << refused.describe();
    EXPECT_EQ(test::readFile(dir / "k_spt/k_1.spt"), before);
    EXPECT_FALSE(test::exists(side.old));

    // Asked and allowed, the replace goes ahead as usual.
    fs::rename(dir / "k_spt", side.old);
    ASSERT_TRUE(runSplit(splitOrder(dir / "k.bin", 1000), true));
    EXPECT_EQ(test::readFile(dir / "k_spt/k_1.spt").size(), 1000u);
    EXPECT_NE(test::readFile(dir / "k_spt/k_1.spt"), before);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"k.bin", "k_spt"}));
}

// A split that met a full disk, or whose source shrank, leaves chunks whose stored
// fingerprints describe their short contents. Sizes give them away, and a join refuses.
TEST(JobCheck, ChunksOfTheWrongSizeStopAJoinBeforeItWrites) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(5000, 5));
    ASSERT_TRUE(runSplit(splitOrder(dir / "s.bin", 1000)));
    fs::resize_file(dir / "s_spt/s_1.spt", 0);
    fs::resize_file(dir / "s_spt/s_3.spt", 400);
    Manifest m;
    ASSERT_TRUE(readManifest(dir / "s_spt", &m));
    for (int i : {1, 3}) {
        char fingerprint[kDigestText] = {};
        ASSERT_TRUE(chunkFingerprint((dir / ("s_spt/s_" + std::to_string(i) + ".spt")).c_str(),
                                     fingerprint));
        m.chunks[static_cast<std::size_t>(i)].fingerprint = fingerprint;
    }
    fs::remove(dir / "s_spt/spt_config.qorvelx");
    ASSERT_TRUE(writeManifest(manifestPathOf(dir / "s_spt"), m));

    ChunkSetCheck check;
    ASSERT_TRUE(checkChunkSet(dir / "s_spt", &check));
    EXPECT_EQ(check.entries[1].state, ChunkState::Empty);
    EXPECT_EQ(check.entries[3].state, ChunkState::Short);
    EXPECT_EQ(check.entries[4].state, ChunkState::Ok);
    EXPECT_FALSE(check.intact());

    jobs::JoinJob join(jobs::JoinOrder{q(dir / "s_spt"), q(dir / "out"), true});
    ASSERT_TRUE(join.prepare());
    join.execute();
    ASSERT_FALSE(join.outcome());
    EXPECT_NE(join.outcome().reason.find(dir / "s_spt/s_1.spt"), std::string::npos);
    EXPECT_NE(join.outcome().reason.find(dir / "s_spt/s_3.spt"), std::string::npos);
    EXPECT_FALSE(test::exists(dir / "out"));
    EXPECT_TRUE(test::exists(dir / "s_spt/s_0.spt"));
}

// A file rewritten in place keeps its size; only its times tell. The split must fail
// rather than keep a copy made of two versions.
TEST(JobSources, AFileRewrittenDuringTheSplitFailsIt) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub");
    test::writeFile(dir / "one.bin", test::patternBytes(300000, 6));
    test::writeFile(dir / "tree/sub/two.bin", test::patternBytes(300000, 7));
    for (const std::string& victim : {dir / "one.bin", dir / "tree/sub/two.bin"}) {
        SCOPED_TRACE(victim);
        int reads = 0;
        {
            FaultGuard guard([&](plat::Op op, const std::string& path) {
                if (op == plat::Op::Read && path == victim && ++reads == 2) {
                    std::fstream f(victim, std::ios::in | std::ios::out | std::ios::binary);
                    f.seekp(10);
                    f.put('!');
                }
                return 0;
            });
            const std::string source = victim == dir / "one.bin" ? victim : dir / "tree";
            const Outcome o = runSplit(splitOrder(source, 100000, true));
            EXPECT_FALSE(o);
            EXPECT_EQ(o.reason, "changed while it was being read");
            EXPECT_EQ(o.path, victim);
        }
        EXPECT_GE(reads, 2);
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"one.bin", "tree"}));
    }
}
