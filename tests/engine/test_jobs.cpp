// The job layer: what prepare() refuses, what a cancelled job leaves behind, and jobs
// that run side by side in one process.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "engine/split.h"
#include "fault_util.h"
#include "jobs/jobs.h"
#include "split_join_util.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::FaultGuard;
using morvane::test::TempDir;
using morvane::test::treeOf;
namespace fs = std::filesystem;

namespace {

QString q(const std::string& native) {
    return QString::fromStdString(native);
}

jobs::SplitOrder splitOrder(const std::string& source, const std::string& out,
                            std::int64_t chunkSize, std::int64_t chunkCount = 0) {
    jobs::SplitOrder order;
    order.source = q(source);
    order.outputDir = q(out);
    order.chunkSize = chunkSize;
    order.chunkCount = chunkCount;
    return order;
}

jobs::JoinOrder joinOrder(const std::string& chunkDir, const std::string& out) {
    return {q(chunkDir), q(out), false};
}

// Files of unlike sizes, an empty one among them, two levels deep; returns their size.
std::int64_t makeTree(const std::string& root, std::size_t scale, std::uint32_t seed) {
    fs::create_directories(root + "/sub/deeper");
    const std::pair<const char*, std::size_t> files[] = {
        {"/a", 3 * scale + 1}, {"/empty", 0}, {"/sub/b", scale + 7}, {"/sub/deeper/c", 2 * scale}};
    std::int64_t total = 0;
    for (const auto& [name, size] : files) {
        test::writeFile(root + name, test::patternBytes(size, seed++));
        total += static_cast<std::int64_t>(size);
    }
    return total;
}

// Prepares and runs a job on the calling thread; the outcome of whichever step ended it.
template <typename Job>
Outcome prepareAndRun(Job& job) {
    if (Outcome o = job.prepare(); !o) return o;
    job.execute();
    return job.outcome();
}

// Joins a finished split back into out, as a user would, for a byte-for-byte comparison.
void joinBack(const std::string& chunkDir, const std::string& out) {
    fs::create_directories(out);
    jobs::JoinJob join(joinOrder(chunkDir, out));
    const Outcome o = prepareAndRun(join);
    ASSERT_TRUE(o) << o.describe();
}

// The number of native calls a job makes while it runs: every moment a cancel can land.
// The native calls a whole run makes before the rename that puts its output in place:
// a cancel at any of them must undo the job. From the rename on, the job is done.
// The split's hashing thread makes native calls too: the count is shared.
// Moments are the native calls of the job's own thread: how the hashing thread's reads
// fall between them depends on timing, and so would the count.
int momentsOf(jobs::Job& job) {
    std::atomic<int> calls{0};
    std::atomic<int> beforeRename{0};
    const std::thread::id own = std::this_thread::get_id();
    FaultGuard g([&](plat::Op op, const std::string&) {
        if (std::this_thread::get_id() != own) return 0;
        const int now = ++calls;
        int none = 0;
        if (op == plat::Op::Rename) beforeRename.compare_exchange_strong(none, now - 1);
        return 0;
    });
    job.execute();
    EXPECT_TRUE(job.outcome()) << job.outcome().describe();
    EXPECT_GT(beforeRename, 0);
    return beforeRename;
}

// Runs the prepared job with a cancel requested at its moment-th native call.
void executeCancelledAt(jobs::Job& job, int moment) {
    std::atomic<int> calls{0};
    const std::thread::id own = std::this_thread::get_id();
    FaultGuard g([&](plat::Op, const std::string&) {
        if (std::this_thread::get_id() == own && ++calls == moment) job.control().requestCancel();
        return 0;
    });
    job.execute();
}

}  // namespace

TEST(JobPreflight, AnOutputFolderInsideTheSourceIsRefusedUnwritten) {
    TempDir dir;
    const std::string src = dir / "src";
    makeTree(src, 100, 1);
    std::vector<std::string> outs{src, src + "/sub"};
#ifndef _WIN32
    // wine makes no links: there the source is reached by its own name only.
    ASSERT_EQ(::symlink(src.c_str(), (dir / "alias").c_str()), 0);
    outs.push_back(dir / "alias/sub/deeper");
#endif
    const auto before = treeOf(src);
    for (const std::string& out : outs) {
        jobs::SplitJob job(splitOrder(src, out, 10));
        const Outcome o = job.prepare();
        EXPECT_FALSE(o) << out;
        EXPECT_EQ(o.error, EINVAL) << out;
        EXPECT_TRUE(job.refusedOrder()) << out;
        job.execute();  // an unprepared job does not run
        EXPECT_FALSE(job.outcome()) << out;
    }
    EXPECT_EQ(treeOf(src), before);
    EXPECT_FALSE(test::exists(dir / "src_spt"));

    // A neighbour whose name only begins like the source is outside it.
    fs::create_directory(dir / "src-out");
    jobs::SplitJob beside(splitOrder(src, dir / "src-out", 10));
    EXPECT_TRUE(prepareAndRun(beside));
    EXPECT_TRUE(test::exists(dir / "src-out/src_spt/spt_config.qorvelx"));
}

TEST(JobPreflight, ASplitByCountGivesAtMostThatManyChunks) {
    // The smallest chunk size that keeps to the count, for totals on both sides of it.
    for (std::int64_t total : {1LL, 2LL, 10LL, 11LL, 1000001LL, (4LL << 30) + 7})
        for (std::int64_t count : {1LL, 2LL, 3LL, 7LL, 10LL, 11LL, 12LL, 1000LL}) {
            const std::int64_t size = chunkSizeForCount(total, count);
            EXPECT_LE(chunkCountFor(total, size), count) << total << " / " << count;
            EXPECT_TRUE(size == 1 || chunkCountFor(total, size - 1) > count) << total;
        }

    TempDir dir;
    const struct {
        std::int64_t total, count, size, chunks;
    } cases[] = {{1000001, 3, 333334, 3}, {11, 10, 2, 6}};
    for (const auto& c : cases) {
        const std::string data = test::patternBytes(static_cast<std::size_t>(c.total), 3);
        test::writeFile(dir / "n.bin", data);
        jobs::SplitJob split(splitOrder(dir / "n.bin", dir.path(), 0, c.count));
        ASSERT_TRUE(prepareAndRun(split));
        EXPECT_EQ(split.chunkSize(), c.size);
        EXPECT_EQ(split.chunkCount(), c.chunks);
        EXPECT_EQ(treeOf(dir / "n_spt").size(), static_cast<std::size_t>(c.chunks) + 3);
        fs::remove(dir / "n.bin");
        joinBack(dir / "n_spt", dir.path());
        EXPECT_TRUE(test::readFile(dir / "n.bin") == data);
        fs::remove_all(dir / "n_spt");
    }
}

TEST(JobPreflight, AProtectedSetJoinsOnlyWithItsPassword) {
    MORVANE_NEEDS_GB18030();
    const std::string password = "ma\xC3\xB1" + std::string("ana");  // not ASCII
    TempDir dir;
    const std::string data = test::patternBytes(5000, 4);
    test::writeFile(dir / "s.bin", data);
    jobs::SplitOrder order = splitOrder(dir / "s.bin", dir.path(), 2000);
    order.password = q(password);
    jobs::SplitJob split(order);
    ASSERT_TRUE(prepareAndRun(split));
    fs::create_directory(dir / "out");

    for (const std::string& given : {std::string(), std::string("wrong"), password}) {
        jobs::JoinJob join(joinOrder(dir / "s_spt", dir / "out"));
        ASSERT_TRUE(join.prepare());
        EXPECT_TRUE(join.isProtected());
        const bool right = given == password;
        if (!given.empty()) {
            EXPECT_EQ(bool(join.unlock(q(given))), right);
        }
        join.execute();
        if (!right) {
            EXPECT_EQ(join.outcome().error, EACCES) << given;
            EXPECT_TRUE(fs::is_empty(dir / "out")) << given;
            continue;
        }
        ASSERT_TRUE(join.outcome()) << join.outcome().describe();
        EXPECT_TRUE(test::readFile(dir / "out/s.bin") == data);
    }
}

TEST(JobPreflight, AnExistingTargetIsReplacedOnlyWhenAllowed) {
    TempDir dir;
    const std::string data = test::patternBytes(3000, 5);
    test::writeFile(dir / "s.bin", data);
    jobs::SplitJob split(splitOrder(dir / "s.bin", dir.path(), 1000));
    ASSERT_TRUE(prepareAndRun(split));
    const std::string set = dir / "s_spt";
    test::writeFile(dir / "s.bin", "the user's own bytes");

    for (bool allow : {false, true}) {
        jobs::JoinOrder order = joinOrder(set, "");  // next to the chunk folder
        order.deleteChunks = true;
        jobs::JoinJob join(order);
        ASSERT_TRUE(join.prepare());
        EXPECT_TRUE(join.targetExists());
        EXPECT_EQ(join.target(), q(dir / "s.bin"));
        join.allowReplace(allow);
        join.execute();
        if (!allow) {
            EXPECT_EQ(join.outcome().error, EEXIST);
            EXPECT_EQ(test::readFile(dir / "s.bin"), "the user's own bytes");
            EXPECT_FALSE(join.sourcesDeleted());
            EXPECT_EQ(treeOf(set).size(), 6u);  // only a success deletes the chunks
            continue;
        }
        ASSERT_TRUE(join.outcome()) << join.outcome().describe();
        EXPECT_TRUE(test::readFile(dir / "s.bin") == data);
        EXPECT_TRUE(join.sourcesDeleted());
        EXPECT_EQ(treeOf(set).size(), 3u);  // the manifest and the side files stay
    }
}

// Every native call of a split and of a join up to its final rename is a moment at which
// a cancel may land; at each one the job ends cancelled, and nothing it wrote is left.
TEST(JobCancel, AtAnyMomentNothingOfTheJobStays) {
    TempDir dir, sets;
    const std::string tree = dir / "tree";
    makeTree(tree, 700, 6);
    test::writeFile(dir / "f.bin", test::patternBytes(2500, 7));
    const auto sources = treeOf(dir.path());
    const std::string set = sets / "set";

    for (const std::string& source : {dir / "f.bin", tree}) {
        SCOPED_TRACE(source);
        TempDir out;
        jobs::SplitOrder order = splitOrder(source, out.path(), 1000);
        order.deleteSource = true;
        jobs::SplitJob measure(splitOrder(source, out.path(), 1000));
        ASSERT_TRUE(measure.prepare());
        const int moments = momentsOf(measure);
        ASSERT_GT(moments, 10);
        fs::rename(measure.chunkFolder().toStdString(), set);
        const auto chunks = treeOf(set);

        for (int moment = 1; moment <= moments; ++moment) {
            jobs::SplitJob split(order);
            ASSERT_TRUE(split.prepare());
            executeCancelledAt(split, moment);
            ASSERT_TRUE(split.outcome().cancelled) << moment;
            EXPECT_FALSE(split.sourcesDeleted());
            ASSERT_TRUE(fs::is_empty(out.path())) << moment;
        }
        EXPECT_EQ(treeOf(dir.path()), sources);

        jobs::JoinOrder join = joinOrder(set, out.path());
        join.deleteChunks = true;
        jobs::JoinJob measureJoin(joinOrder(set, out.path()));
        ASSERT_TRUE(measureJoin.prepare());
        const int joinMoments = momentsOf(measureJoin);
        fs::remove_all(measureJoin.target().toStdString());
        for (int moment = 1; moment <= joinMoments; ++moment) {
            jobs::JoinJob job(join);
            ASSERT_TRUE(job.prepare());
            executeCancelledAt(job, moment);
            ASSERT_TRUE(job.outcome().cancelled) << moment;
            ASSERT_TRUE(fs::is_empty(out.path())) << moment;
        }
        EXPECT_EQ(treeOf(set), chunks);
        fs::remove_all(set);
    }
}

// A cancel from another thread, at a random time while bytes move: the job is either
// cancelled with nothing left, or it had already finished and its set is whole.
TEST(JobCancel, FromAnotherThreadAllOrNothing) {
    TempDir dir;
    const std::string data = test::patternBytes(6 << 20, 8);
    test::writeFile(dir / "big.bin", data);
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Cancels land anywhere from the start to a little after the end of a whole run.
    const auto begun = std::chrono::steady_clock::now();
    {
        TempDir out;
        jobs::SplitJob whole(splitOrder(dir / "big.bin", out.path(), 256 << 10));
        ASSERT_TRUE(prepareAndRun(whole));
    }
    const auto whole = std::chrono::steady_clock::now() - begun;
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(whole).count() + 1;
    for (int round = 0; round < 8; ++round) {
        TempDir out;
        jobs::SplitOrder order = splitOrder(dir / "big.bin", out.path(), 256 << 10);
        order.deleteSource = true;
        jobs::SplitJob split(order);
        ASSERT_TRUE(split.prepare());
        const auto delay = std::chrono::microseconds(random() % (span * 6 / 5));
        std::thread canceller([&] {
            std::this_thread::sleep_for(delay);
            split.control().requestCancel();
        });
        split.execute();
        canceller.join();
        if (split.outcome().cancelled) {
            EXPECT_TRUE(fs::is_empty(out.path()));
            EXPECT_TRUE(test::readFile(dir / "big.bin") == data);
            continue;
        }
        ASSERT_TRUE(split.outcome()) << split.outcome().describe();
        EXPECT_TRUE(split.sourcesDeleted());
        joinBack(out / "big_spt", dir.path());
        ASSERT_TRUE(test::readFile(dir / "big.bin") == data);
    }
}

TEST(JobCancel, BeforeExecuteNothingIsWritten) {
    TempDir dir, out;
    makeTree(dir / "tree", 500, 9);
    test::writeFile(dir / "s.bin", test::patternBytes(900, 9));
    for (const char* source : {"tree", "s.bin"}) {
        jobs::SplitJob made(splitOrder(dir / source, dir.path(), 400));
        ASSERT_TRUE(prepareAndRun(made));
    }
    test::writeFile(out / "s.bin", "the user's own bytes");
    const auto before = treeOf(dir.path());

    jobs::SplitJob split(splitOrder(dir / "tree", out.path(), 400));
    jobs::JoinJob joinTree(joinOrder(dir / "tree_spt", out.path()));
    jobs::JoinJob replace(joinOrder(dir / "s_spt", out.path()));
    ASSERT_TRUE(split.prepare());
    ASSERT_TRUE(joinTree.prepare());
    ASSERT_TRUE(replace.prepare());
    replace.allowReplace(true);
    std::vector<std::string> touched;
    FaultGuard g([&](plat::Op op, const std::string& p) {
        if (op == plat::Op::MakeDir || op == plat::Op::Open || op == plat::Op::Write)
            if (p.rfind(out.path(), 0) == 0) touched.push_back(p);
        return 0;
    });
    for (jobs::Job* job : {static_cast<jobs::Job*>(&split), static_cast<jobs::Job*>(&joinTree),
                           static_cast<jobs::Job*>(&replace)}) {
        job->control().requestCancel();
        job->execute();
        EXPECT_TRUE(job->outcome().cancelled);
    }
    EXPECT_EQ(touched, std::vector<std::string>{});
    EXPECT_EQ(treeOf(out.path()),
              (std::map<std::string, std::string>{{"s.bin", "the user's own bytes"}}));
    EXPECT_EQ(treeOf(dir.path()), before);
}

// Two splits and a join at once, each on its own thread with its own control: every
// result matches its own source and every progress reaches exactly its own total.
TEST(JobsSideBySide, TwoSplitsAndAJoinInOneProcess) {
    TempDir dir;
    const std::string fileData = test::patternBytes(3000017, 10);
    test::writeFile(dir / "a.bin", fileData);
    const std::int64_t sizes[] = {3000017, makeTree(dir / "t", 300001, 11),
                                  makeTree(dir / "c", 200003, 12)};
    jobs::SplitJob made(splitOrder(dir / "c", dir.path(), 65536));
    ASSERT_TRUE(prepareAndRun(made));
    for (const char* out : {"out_a", "out_t", "out_c"}) fs::create_directory(dir / out);

    jobs::SplitJob splitA(splitOrder(dir / "a.bin", dir / "out_a", 65536));
    jobs::SplitJob splitT(splitOrder(dir / "t", dir / "out_t", 65536));
    jobs::JoinJob joinC(joinOrder(dir / "c_spt", dir / "out_c"));
    const std::function<Outcome()> runs[] = {[&] { return prepareAndRun(splitA); },
                                             [&] { return prepareAndRun(splitT); },
                                             [&] { return prepareAndRun(joinC); }};
    const jobs::Job* watched[] = {&splitA, &splitT, &joinC};
    Outcome outcomes[3];
    // A gate of a mutex and a condition, not std::latch: mingw's libstdc++ 12 waits on an
    // atomic without a futex and can miss the wake-up, which left a thread there for good.
    std::mutex gate;
    std::condition_variable opened;
    int arrived = 0;
    std::atomic<int> running{3};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(gate);
                if (++arrived == 3) opened.notify_all();
                opened.wait(lock, [&] { return arrived == 3; });
            }
            outcomes[i] = runs[i]();
            --running;
        });
    // Whoever watches sees each job's own progress, never going back.
    std::int64_t last[3] = {};
    while (running > 0) {
        for (int i = 0; i < 3; ++i) {
            const std::int64_t done = watched[i]->control().done();
            EXPECT_GE(done, last[i]) << i;
            last[i] = done;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (auto& t : threads) t.join();

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(outcomes[i]) << i << ": " << outcomes[i].describe();
        EXPECT_EQ(watched[i]->control().total(), sizes[i]) << i;
        EXPECT_EQ(watched[i]->control().done(), sizes[i]) << i;
    }
    EXPECT_EQ(treeOf(dir / "out_c/c"), treeOf(dir / "c"));
    joinBack(dir / "out_a/a_spt", dir / "back");
    joinBack(dir / "out_t/t_spt", dir / "back");
    EXPECT_TRUE(test::readFile(dir / "back/a.bin") == fileData);
    EXPECT_EQ(treeOf(dir / "back/t"), treeOf(dir / "t"));
}
