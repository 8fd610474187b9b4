// Which recovery files are a set's own: a file of another set dropped in is named and never
// rebuilds anything, a header made to mislead fails fast, and a join that deletes its
// chunks deletes only the set's own files.

#include <gtest/gtest.h>

#include <QString>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "engine/checksums.h"
#include "engine/sha256.h"
#include "job_util.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::split;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct Repaired {
    Outcome outcome;
    RecoveryAssessment assessment;
};

Repaired repair(const std::string& set) {
    jobs::RepairJob job(q(set));
    if (Outcome o = job.prepare(); !o) return {o, {}};
    job.execute();
    return {job.outcome(), job.assessment()};
}

Outcome join(const std::string& set, const std::string& out, bool deleteChunks = false) {
    jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), deleteChunks});
    if (Outcome o = job.prepare(); !o) return o;
    job.execute();
    return job.outcome();
}

// Two versions of one file: the same name, size and time, bytes apart in chunks 1 and 3
// past what a fingerprint reads, each split in its own folder.
struct TwoVersions {
    TempDir dir;
    std::string a, b;  // the two chunk folders
    std::string dataA;
    TwoVersions(int recovery) {
        dataA = test::patternBytes(5 * 4096, 7);
        std::string dataB = dataA;
        dataB[4096 + 3000] ^= 0x11;
        dataB[3 * 4096 + 2000] ^= 0x22;
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        test::writeFile(dir / "a/v.bin", dataA);
        test::writeFile(dir / "b/v.bin", dataB);
        fs::last_write_time(dir / "b/v.bin", fs::last_write_time(dir / "a/v.bin"));
        a = split(dir / "a/v.bin", 4096, recovery);
        b = split(dir / "b/v.bin", 4096, recovery);
    }
};

// Flips one byte of the file at offset.
void lose(const std::string& path, std::size_t offset) {
    std::string bytes = test::readFile(path);
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5A);
    test::writeFile(path, bytes);
}

bool named(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

// With the checksum list, without it, and with one recovery file too few: the foreign file
// is named and the lost chunk comes back as its own bytes, or not at all.
TEST(RecoveryWitness, AFileOfAnotherSetNeverRebuildsAnything) {
    for (const bool keepList : {true, false}) {
        SCOPED_TRACE(keepList ? "with the list" : "without the list");
        TwoVersions v(2);
        const std::string chunk1 = test::readFile(v.a + "/v_1.spt");
        const std::string ownRec = test::readFile(v.a + "/v_0.rec");
        ASSERT_NE(ownRec, test::readFile(v.b + "/v_0.rec"));
        test::copyOver(v.b + "/v_0.rec", v.a + "/v_0.rec");
        fs::remove(v.a + "/v_1.spt");
        if (!keepList) fs::remove(v.a + "/spt_checksums.sha256");
        const Repaired r = repair(v.a);
        ASSERT_TRUE(r.outcome) << r.outcome.describe();
        EXPECT_TRUE(named(r.assessment.foreign, "v_0.rec"));
        EXPECT_EQ(r.assessment.recoveryFiles.at(0).state, FileState::Foreign);
        EXPECT_EQ(test::readFile(v.a + "/v_1.spt"), chunk1);
        EXPECT_EQ(test::readFile(v.a + "/v_0.rec"), ownRec);
        ASSERT_TRUE(join(v.a, v.dir / "out"));
        EXPECT_EQ(test::readFile(v.dir / "out/v.bin"), v.dataA);
    }
    {
        SCOPED_TRACE("one recovery file, and it is another set's");
        TwoVersions v(1);
        const std::string list = test::readFile(v.a + "/spt_checksums.sha256");
        test::copyOver(v.b + "/v_0.rec", v.a + "/v_0.rec");
        fs::remove(v.a + "/v_1.spt");
        const Repaired r = repair(v.a);
        EXPECT_FALSE(r.outcome);
        EXPECT_FALSE(fs::exists(v.a + "/v_1.spt"));
        EXPECT_EQ(test::readFile(v.a + "/spt_checksums.sha256"), list);
        EXPECT_FALSE(join(v.a, v.dir / "out"));
        EXPECT_FALSE(fs::exists(v.dir / "out/v.bin"));
    }
}

// A recovery header with a sound checksum and counts past anything the set could hold:
// assess and repair fail at once as malformed, whatever field was made to lie.
TEST(RecoveryWitness, HeadersWithAbsurdCountsAreMalformed) {
    struct Lie {
        const char* what;
        std::size_t at;
        std::int64_t value;
        int bytes;
    };
    const Lie lies[] = {
        {"groups", 36, 0x7fffffff, 4},
        {"chunk count", 44, 0x7fffffff, 4},
        {"chunk size", 48, std::int64_t{1} << 61, 8},
        {"total size", 56, std::int64_t{1} << 62, 8},
        {"first chunk", 64, 0x7ffffff0, 4},
        {"stripe", 28, 0x7fffffc0, 4},
        {"data shards", 20, 0x7fffffff, 4},
        {"manifest size", 80, std::int64_t{1} << 40, 8},
    };
    TempDir dir;
    test::writeFile(dir / "h.bin", test::patternBytes(3 * 4096 + 7, 8));
    const std::string set = split(dir / "h.bin", 4096, 1);
    const std::string pristine = test::readFile(set + "/h_0.rec");
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        std::string rec = pristine;
        std::memcpy(rec.data() + lie.at, &lie.value, static_cast<std::size_t>(lie.bytes));
        Sha256 self;
        self.update(rec.data(), 4096 - 32);
        const std::string hex = self.finishHex();
        for (std::size_t i = 0; i < 32; ++i)
            rec[4096 - 32 + i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        test::writeFile(set + "/h_0.rec", rec);
        fs::remove(set + "/h_2.spt");
        const auto start = std::chrono::steady_clock::now();
        JobControl control;
        RecoveryAssessment a;
        const Outcome o = assessRecovery(set, nullptr, control, &a);
        EXPECT_TRUE(o.is(Fault::Malformed)) << o.describe();
        EXPECT_TRUE(repair(set).outcome.is(Fault::Malformed));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_FALSE(fs::exists(set + "/h_2.spt"));
    }
}

// --delete-chunks takes the set's chunks and its own recovery files, and leaves a
// recording that only shares the extension, a file of another set and a foreign file
// under the set's own stem where they are.
TEST(RecoveryWitness, DeletingChunksLeavesOtherRecFiles) {
    TwoVersions v(2);
    fs::create_directories(v.dir / "c");
    test::writeFile(v.dir / "c/other.bin", test::patternBytes(9000, 9));
    const std::string other = split(v.dir / "c/other.bin", 4096, 1);
    test::writeFile(v.a + "/holiday.rec", test::patternBytes(10000, 10));
    fs::copy_file(other + "/other_0.rec", v.a + "/other_0.rec");
    const std::string foreign = test::readFile(v.b + "/v_1.rec");
    test::copyOver(v.b + "/v_1.rec", v.a + "/v_1.rec");
    ASSERT_TRUE(join(v.a, v.dir / "out", true));
    EXPECT_EQ(test::readFile(v.dir / "out/v.bin"), v.dataA);
    for (const char* gone : {"v_0.spt", "v_4.spt", "v_0.rec"})
        EXPECT_FALSE(fs::exists(v.a + "/" + gone)) << gone;
    EXPECT_EQ(test::readFile(v.a + "/holiday.rec"), test::patternBytes(10000, 10));
    EXPECT_TRUE(fs::exists(v.a + "/other_0.rec"));
    EXPECT_EQ(test::readFile(v.a + "/v_1.rec"), foreign);
}

// A stop asked for is honoured by the assessment and by the rebuild, which then writes
// nothing: the caller's control reaches every loop that reads.
TEST(RecoveryWitness, AStopReachesTheAssessmentAndTheRebuild) {
    TempDir dir;
    test::writeFile(dir / "c.bin", test::patternBytes(6 * 65536, 11));
    const std::string set = split(dir / "c.bin", 65536, 2);
    fs::remove(set + "/c_3.spt");
    JobControl control;
    RecoveryAssessment a;
    ASSERT_TRUE(assessRecovery(set, nullptr, control, &a));
    ASSERT_TRUE(a.repairable);
    control.requestCancel();
    RecoveryAssessment again;
    EXPECT_TRUE(assessRecovery(set, nullptr, control, &again).cancelled);
    fs::create_directories(dir / "built");
    std::vector<std::string> rebuilt;
    EXPECT_TRUE(rebuildLost(set, a, dir / "built", control, &rebuilt).cancelled);
    EXPECT_TRUE(rebuilt.empty());
    EXPECT_TRUE(fs::is_empty(dir / "built"));
}

// A chunk or a checksum list of the other version, dropped in under the set's own name,
// with the list kept or lost: the check never passes the set as it stands, and whatever
// repair does, a join then gives the set's own bytes or nothing.
TEST(RecoveryWitness, AChunkOrListOfAnotherSetIsNeverBlessed) {
    struct Drop {
        const char* name;
        bool keepList;
    };
    for (const Drop drop : {Drop{"v_1.spt", true}, Drop{"v_1.spt", false}, Drop{"v_3.spt", false},
                            Drop{"spt_checksums.sha256", true}}) {
        SCOPED_TRACE(std::string(drop.name) + (drop.keepList ? " with the list" : " alone"));
        TwoVersions v(2);
        const std::string foreign = test::readFile(v.b + "/" + drop.name);
        const std::string own = test::readFile(v.a + "/" + drop.name);
        ASSERT_NE(foreign, own);
        test::copyOver(v.b + "/" + drop.name, v.a + "/" + drop.name);
        if (!drop.keepList) fs::remove(v.a + "/spt_checksums.sha256");

        jobs::VerifyJob check(q(v.a));
        if (check.prepare()) {
            check.execute();
            EXPECT_FALSE(check.outcome().ok && check.check().intact() && !check.check().listLost());
        }
        const Outcome joined = join(v.a, v.dir / "before");
        if (joined) {
            EXPECT_EQ(test::readFile(v.dir / "before/v.bin"), v.dataA);
        }

        repair(v.a);
        if (join(v.a, v.dir / "after")) {
            EXPECT_EQ(test::readFile(v.dir / "after/v.bin"), v.dataA);
        } else {
            EXPECT_FALSE(fs::exists(v.dir / "after/v.bin"));
        }
        // A chunk of the other version is still there, or repair put the set's own
        // bytes in its place.
        const std::string now = test::readFile(v.a + "/" + drop.name);
        if (drop.name[0] == 'v' && now != foreign) {
            EXPECT_EQ(now, own);
        }
    }
}

// The rebuild a join runs for chunks found missing reads only their groups: it brings them
// back byte for byte while a chunk of another group cannot be read at all. It believes no
// file unproven: a damaged chunk or recovery file among its sources, or recovery files of
// another set under the set's names, make it fail and leave no chunk behind.
TEST(RecoveryWitness, TheListedRebuildReadsOnlyTheLostGroupsAndBelievesNothingUnproven) {
    TempDir dir;
    test::writeFile(dir / "g.bin", test::patternBytes(600 * 64 - 10, 12));
    const std::string pristine = split(dir / "g.bin", 64, 2);  // three groups
    fs::create_directories(dir / "other");
    test::writeFile(dir / "other/g.bin", test::patternBytes(600 * 64 - 10, 13));
    const std::string other = split(dir / "other/g.bin", 64, 2);
    auto chunk = [](const std::string& set, int i) {
        return set + "/g_" + std::to_string(i) + ".spt";
    };
    struct Case {
        const char* what;
        std::function<void(const std::string&)> harm;
        bool rebuilds;
    };
    const Case cases[] = {
        {"another group's chunk unreadable",
         [&](const std::string& set) {
             fs::remove(chunk(set, 300));
             fs::create_directory(chunk(set, 300));
         },
         true},
        {"a chunk of the group damaged past its head",
         [&](const std::string& set) { lose(chunk(set, 11), 40); }, false},
        {"the first recovery file's parity damaged",
         [&](const std::string& set) { lose(set + "/g_0.rec", 4096 + 30); }, false},
        {"the group's recovery files of another set",
         [&](const std::string& set) {
             test::copyOver(other + "/g_0.rec", set + "/g_0.rec");
             test::copyOver(other + "/g_1.rec", set + "/g_1.rec");
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string set = dir / "set";
        fs::remove_all(set);
        fs::copy(pristine, set);
        fs::remove(chunk(set, 10));
        fs::remove(chunk(set, 450));
        c.harm(set);
        std::map<std::string, std::string> list;
        bool listed = false;
        ASSERT_TRUE(readChecksumList(set, &listed, &list));
        ASSERT_TRUE(listed);
        const std::string built = dir / "built";
        fs::remove_all(built);
        fs::create_directories(built);
        JobControl control;
        std::vector<std::string> rebuilt;
        const Outcome o =
            rebuildListedChunks(set, "g", 600, list, {10, 450}, built, control, &rebuilt);
        if (c.rebuilds) {
            ASSERT_TRUE(o) << o.describe();
            EXPECT_EQ(rebuilt, (std::vector<std::string>{"g_10.spt", "g_450.spt"}));
            EXPECT_EQ(test::readFile(chunk(built, 10)), test::readFile(chunk(pristine, 10)));
            EXPECT_EQ(test::readFile(chunk(built, 450)), test::readFile(chunk(pristine, 450)));
        } else {
            EXPECT_FALSE(o);
            EXPECT_FALSE(fs::exists(chunk(built, 10)));
        }
    }
}
