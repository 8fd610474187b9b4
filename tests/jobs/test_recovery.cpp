// Recovery chunks: any N lost or damaged files of a set with N recovery chunks come back,
// through a join and through a repair.

#include <gtest/gtest.h>

#include <QString>
#include <filesystem>
#include <vector>

#include "job_util.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::split;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

Outcome join(const std::string& set, const std::string& out) {
    jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), false});
    if (Outcome o = job.prepare(); !o) return o;
    job.execute();
    return job.outcome();
}

Outcome repair(const std::string& set) {
    jobs::RepairJob job(q(set));
    if (Outcome o = job.prepare(); !o) return o;
    job.execute();
    return job.outcome();
}

// Deletes the file, or changes one byte in its middle, by turns.
void lose(const std::string& path, bool remove) {
    if (remove) {
        fs::remove(path);
        return;
    }
    std::string bytes = test::readFile(path);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
    test::writeFile(path, bytes);
}

std::vector<std::string> setFiles(const std::string& set) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(set))
        if (e.path().filename() != "spt_checksums.sha256")
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Every combination of up to N lost or damaged files, the short last chunk, the recovery
// chunks and the manifest included, comes back byte for byte through a join and a repair.
TEST(Recovery, AnyNLostFilesComeBack) {
    TempDir dir;
    const std::string data = test::patternBytes(4 * 4096 + 1500, 1);
    test::writeFile(dir / "s.bin", data);
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("recovery " + std::to_string(n));
        const std::string set = split(dir / "s.bin", 4096, n);
        const std::vector<std::string> files = setFiles(set);
        ASSERT_EQ(files.size(), 5u + static_cast<std::size_t>(n) + 2);  // chunks, .rec, meta
        const std::string pristine = dir / "pristine";
        fs::copy(set, pristine);
        int round = 0;
        // Every subset of at most n files, as a bit mask over the set's files.
        for (unsigned mask = 1; mask < (1u << files.size()); ++mask) {
            if (__builtin_popcount(mask) > n) continue;
            std::string lost;
            fs::remove_all(set);
            fs::copy(pristine, set);
            for (std::size_t f = 0; f < files.size(); ++f)
                if (mask & (1u << f)) {
                    lose(set + "/" + files[f], (round + f) % 2 == 0);
                    lost += files[f] + " ";
                }
            ++round;
            SCOPED_TRACE("lost " + lost);
            fs::remove_all(dir / "out");
            ASSERT_TRUE(join(set, dir / "out")) << lost;
            ASSERT_TRUE(test::readFile(dir / "out/s.bin") == data);
            ASSERT_TRUE(repair(set));
            for (const std::string& name : files)
                ASSERT_TRUE(test::readFile(set + "/" + name) ==
                            test::readFile(pristine + "/" + name))
                    << name << " differs after the repair";
        }
        fs::remove_all(pristine);
        fs::remove_all(set);
    }
}

TEST(Recovery, OneLossTooManyFailsBeforeWriting) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(20000, 2));
    const std::string set = split(dir / "s.bin", 4000, 2);
    for (int i : {0, 2, 4}) fs::remove(set + "/s_" + std::to_string(i) + ".spt");
    const Outcome o = join(set, dir / "out");
    EXPECT_FALSE(o);
    EXPECT_NE(o.reason.find("1 more would be needed"), std::string::npos) << o.reason;
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(repair(set));
    EXPECT_FALSE(fs::exists(set + "/s_0.spt"));
}

// GF(2^8) codes at most 256 shards: a larger set is cut into groups, each with its own N
// recovery chunks, and any N losses still come back, in one group or spread over several.
TEST(Recovery, SetsOfManyChunksAreCodedInGroups) {
    TempDir dir;
    const std::string data = test::patternBytes(600 * 64 - 10, 3);
    test::writeFile(dir / "many.bin", data);
    const std::string set = split(dir / "many.bin", 64, 2);
    EXPECT_TRUE(fs::exists(set + "/many_5.rec"));  // three groups of two
    EXPECT_FALSE(fs::exists(set + "/many_6.rec"));
    for (const auto& lost : std::vector<std::vector<int>>{{10, 11}, {3, 450}, {599, 250}}) {
        const std::string copy = dir / "copy";
        fs::remove_all(copy);
        fs::copy(set, copy);
        for (int i : lost) fs::remove(copy + "/many_" + std::to_string(i) + ".spt");
        fs::remove_all(dir / "out");
        ASSERT_TRUE(join(copy, dir / "out"));
        EXPECT_TRUE(test::readFile(dir / "out/many.bin") == data);
    }
}

// A chunk found missing is rebuilt from its group alone; a chunk damaged past its head in
// another group shows only when the join reads it. The join then assesses the set whole,
// rebuilds both, and still gives the file byte for byte, leaving nothing else behind.
TEST(Recovery, AJoinThatMeetsDamageAfterARebuildStillComesBack) {
    TempDir dir;
    const std::string data = test::patternBytes(300 * 4096 - 10, 14);
    test::writeFile(dir / "late.bin", data);
    const std::string set = split(dir / "late.bin", 4096, 2);  // two groups
    ASSERT_TRUE(fs::exists(set + "/late_3.rec"));
    fs::remove(set + "/late_3.spt");
    lose(set + "/late_250.spt", false);
    const std::vector<std::string> before = setFiles(set);
    ASSERT_TRUE(join(set, dir / "out"));
    EXPECT_TRUE(test::readFile(dir / "out/late.bin") == data);
    EXPECT_EQ(setFiles(set), before);
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        out.push_back(e.path().filename().string());
    EXPECT_EQ(out, std::vector<std::string>{"late.bin"});
}

TEST(Recovery, AFolderSetComesBackAndADamagedHeaderIsPassedOver) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub");
    test::writeFile(dir / "tree/a", test::patternBytes(9000, 4));
    test::writeFile(dir / "tree/sub/b", test::patternBytes(5000, 5));
    const std::string set = split(dir / "tree", 4096, 2);
    fs::remove(set + "/tree_1.spt");
    // A recovery file whose header was hit: the other one does the work.
    std::string rec = test::readFile(set + "/tree_0.rec");
    rec[20] = static_cast<char>(rec[20] ^ 1);
    test::writeFile(set + "/tree_0.rec", rec);
    ASSERT_TRUE(join(set, dir / "out"));
    EXPECT_EQ(test::readFile(dir / "out/tree/a"), test::patternBytes(9000, 4));
    EXPECT_EQ(test::readFile(dir / "out/tree/sub/b"), test::patternBytes(5000, 5));
}

TEST(Recovery, NoneAskedNoneWritten) {
    TempDir dir;
    test::writeFile(dir / "z.bin", test::patternBytes(10000, 6));
    const std::string set = split(dir / "z.bin", 4096, 0);
    for (const auto& e : fs::directory_iterator(set)) EXPECT_NE(e.path().extension(), ".rec");
    EXPECT_FALSE(repair(set));
}
