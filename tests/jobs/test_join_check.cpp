// A check and a join read a set the same way: what the check passes joins, what the join
// refuses the check fails, and neither is fooled by a lost list, a crafted manifest, a
// chunk grown by a byte or a FIFO in a chunk's place.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <QString>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <set>
#include <thread>

#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/verify.h"
#include "job_util.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::split;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct Joined {
    Outcome outcome;
    std::vector<std::string> rebuilt;
};

Joined join(const std::string& set, const std::string& out) {
    jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), false});
    if (Outcome o = job.prepare(); !o) return {o, {}};
    job.execute();
    return {job.outcome(), job.rebuilt()};
}

// The whole check, as `check` runs it; its verdict and the check itself.
struct Checked {
    bool passed = false;
    ChunkSetCheck check;
};

Checked checkSet(const std::string& set) {
    jobs::VerifyJob job(q(set));
    Checked c;
    if (!job.prepare()) return c;
    job.execute();
    c.check = job.check();
    c.passed = job.outcome().ok && job.check().intact() && !job.check().listLost();
    return c;
}

void flip(const std::string& path, std::int64_t at) {
    std::string bytes = test::readFile(path);
    const auto i =
        static_cast<std::size_t>(at < 0 ? static_cast<std::int64_t>(bytes.size()) + at : at);
    bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    test::writeFile(path, bytes);
}

// Every name in folder, recursively, relative to it.
std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        names.insert(test::fsText(fs::relative(e.path(), folder)));
    return names;
}

// Writes the set's list anew for a changed manifest, so that only the manifest's own
// records can give it away.
void relist(const std::string& set) {
    const std::string list = set + "/spt_checksums.sha256";
    std::string text = test::readFile(list);
    std::string hex;
    ASSERT_TRUE(hashFile(set + "/" + kManifestName, nullptr, &hex));
    const std::string tail = std::string("  ") + kManifestName + "\n";
    const std::size_t at = text.find(tail);
    ASSERT_NE(at, std::string::npos);
    text.replace(at - 64, 64, hex);
    test::writeFile(list, text);
}

}  // namespace

// With the list deleted, a chunk changed anywhere, past its fingerprinted head included,
// is never joined as it is: the recovery headers know it, the check names it, and the
// join rebuilds it byte for byte.
TEST(JoinCheck, ALostListLeavesTheRecoveryHeadersToJudge) {
    const std::int64_t chunk = 8192;
    for (const std::int64_t at : {std::int64_t{0}, std::int64_t{3000}, std::int64_t{-1}}) {
        SCOPED_TRACE(at);
        TempDir dir;
        const std::string source = dir / "data.bin";
        const std::string bytes = test::patternBytes(4 * chunk + 100, 7);
        test::writeFile(source, bytes);
        const std::string set = split(source, chunk, 1);
        fs::remove(set + "/spt_checksums.sha256");
        const std::string damaged = set + "/data_1.spt";
        flip(damaged, at);

        const Checked c = checkSet(set);
        EXPECT_FALSE(c.passed);
        EXPECT_TRUE(c.check.listLost());
        ASSERT_EQ(c.check.entries.size(), 5u);
        for (const ChunkCheckEntry& e : c.check.entries)
            EXPECT_EQ(e.state == ChunkState::Ok, e.chunkIndex != 1) << e.chunkIndex;

        const std::string out = dir / "out";
        const Joined j = join(set, out);
        ASSERT_TRUE(j.outcome) << j.outcome.describe();
        EXPECT_NE(std::find(j.rebuilt.begin(), j.rebuilt.end(), "data_1.spt"), j.rebuilt.end());
        EXPECT_EQ(test::readFile(out + "/data.bin"), bytes);
        EXPECT_EQ(namesIn(out), std::set<std::string>{"data.bin"});
    }
}

// Manifests whose file records do not hold together: the check fails each, naming the
// manifest, and the join refuses each without writing a thing.
TEST(JoinCheck, AManifestTheJoinRefusesFailsTheCheck) {
    enum Craft { LongerPiece, NameLeadsOut, PastTheChunk, NoSuchChunk };
    for (const Craft craft : {LongerPiece, NameLeadsOut, PastTheChunk, NoSuchChunk}) {
        SCOPED_TRACE(static_cast<int>(craft));
        TempDir dir;
        fs::create_directories(dir / "proj/sub");
        test::writeFile(dir / "proj/a.txt", test::patternBytes(5000, 1));
        test::writeFile(dir / "proj/sub/b.txt", test::patternBytes(7000, 2));
        const std::string set = split(dir / "proj", 4096, 0);
        ASSERT_TRUE(checkSet(set).passed);

        Manifest m;
        ASSERT_TRUE(readManifest(set, &m));
        ASSERT_GE(m.files.size(), 2u);
        FileRecord& r = m.files.back();
        switch (craft) {
            case LongerPiece:
                r.pieceLength += 1;
                break;
            case NameLeadsOut:
                r.relativeName = "../escaped.txt";
                break;
            case PastTheChunk:
                r.pieceOffset += 4096;
                break;
            case NoSuchChunk:
                r.chunkIndex = m.chunkCount + 3;
                break;
        }
        fs::remove(set + "/" + kManifestName);
        ASSERT_TRUE(writeManifest(set + "/" + kManifestName, m));
        relist(set);

        const Checked c = checkSet(set);
        EXPECT_FALSE(c.passed);
        EXPECT_FALSE(c.check.manifestFaults.empty());

        const std::string out = dir / "out";
        const Joined j = join(set, out);
        EXPECT_FALSE(j.outcome);
        EXPECT_FALSE(fs::exists(out + "/proj"));
        EXPECT_FALSE(fs::exists(dir / "escaped.txt"));
        EXPECT_FALSE(fs::exists(out + "/escaped.txt"));
    }
}

// One chunk made one byte longer, or shorter, is the only one named, by its size.
TEST(JoinCheck, AChunkOfTheWrongSizeIsNamedAlone) {
    for (const int change : {+1, -1}) {
        for (const int index : {0, 2}) {
            SCOPED_TRACE(std::to_string(change) + " at " + std::to_string(index));
            TempDir dir;
            test::writeFile(dir / "f.bin", test::patternBytes(4 * 2048 + 10, 3));
            const std::string set = split(dir / "f.bin", 2048, 0);
            const std::string path = set + "/f_" + std::to_string(index) + ".spt";
            std::string bytes = test::readFile(path);
            if (change > 0)
                bytes.push_back('x');
            else
                bytes.pop_back();
            test::writeFile(path, bytes);

            const Checked c = checkSet(set);
            EXPECT_FALSE(c.passed);
            for (const ChunkCheckEntry& e : c.check.entries)
                if (e.chunkIndex == index)
                    EXPECT_EQ(e.state, change > 0 ? ChunkState::Long : ChunkState::Short);
                else
                    EXPECT_EQ(e.state, ChunkState::Ok) << e.chunkIndex;
            EXPECT_FALSE(join(set, dir / "out").outcome);
        }
    }
}

// A FIFO where a chunk should be is named, never opened: neither the check nor the join
// waits for a writer. With a recovery chunk the join rebuilds the chunk instead.
TEST(JoinCheck, AFifoInAChunksPlaceIsRefusedAtOnce) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoFifos);
    for (const int recovery : {0, 1}) {
        SCOPED_TRACE(recovery);
        TempDir dir;
        const std::string bytes = test::patternBytes(3 * 4096 + 1, 4);
        test::writeFile(dir / "f.bin", bytes);
        const std::string set = split(dir / "f.bin", 4096, recovery);
        const std::string chunk = set + "/f_1.spt";
        fs::remove(chunk);
        ASSERT_TRUE(test::makeFifo(chunk, 0600));

        // Run apart, so that a wait for a writer fails the test rather than hanging it.
        auto task = std::make_shared<std::packaged_task<std::pair<Checked, Joined>()>>(
            [set, out = dir / "out"] { return std::make_pair(checkSet(set), join(set, out)); });
        auto result = task->get_future();
        std::thread([task] { (*task)(); }).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready)
            << "blocked on the FIFO";
        const auto [c, j] = result.get();
        EXPECT_FALSE(c.passed);
        for (const ChunkCheckEntry& e : c.check.entries)
            EXPECT_EQ(e.state, e.chunkIndex == 1 ? ChunkState::Special : ChunkState::Ok);
        if (recovery == 0) {
            ASSERT_FALSE(j.outcome);
            EXPECT_NE(j.outcome.describe().find("f_1.spt"), std::string::npos)
                << j.outcome.describe();
            EXPECT_FALSE(fs::exists(dir / "out/f.bin"));
        } else {
            ASSERT_TRUE(j.outcome) << j.outcome.describe();
            EXPECT_EQ(test::readFile(dir / "out/f.bin"), bytes);
        }
    }
}

// A rebuild is staged beside the output, never in the system's temporary folder, and is
// gone when the job ends: a TMPDIR that cannot be used does not matter.
TEST(JoinCheck, ARebuildNeedsNoTemporaryFolder) {
    TempDir dir;
    const std::string bytes = test::patternBytes(3 * 4096 + 5, 5);
    test::writeFile(dir / "f.bin", bytes);
    const std::string set = split(dir / "f.bin", 4096, 1);
    flip(set + "/f_2.spt", 100);
    const std::string tmp = dir / "tmp";
    fs::create_directory(tmp);
#ifdef _WIN32
    // There the system's temporary folder comes from TMP, else TEMP.
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"TMP", "TEMP"}) {
        const char* before = std::getenv(name);
        saved.emplace_back(name,
                           before != nullptr ? std::optional<std::string>(before) : std::nullopt);
        ASSERT_EQ(::_putenv_s(name, (tmp + "/not-there").c_str()), 0);
    }
    const Joined j = join(set, dir / "out");
    for (const auto& [name, before] : saved) ::_putenv_s(name, before ? before->c_str() : "");
#else
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("TMPDIR", (tmp + "/not-there").c_str(), 1);
    const Joined j = join(set, dir / "out");
    if (before != nullptr)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
#endif
    ASSERT_TRUE(j.outcome) << j.outcome.describe();
    EXPECT_EQ(j.rebuilt, std::vector<std::string>{"f_2.spt"});
    EXPECT_EQ(test::readFile(dir / "out/f.bin"), bytes);
    EXPECT_EQ(namesIn(dir / "out"), std::set<std::string>{"f.bin"});
    EXPECT_TRUE(namesIn(tmp).empty());
}

// Preparing a join of a set whose manifest is lost rebuilds nothing: the run does, under
// the job's own cancel, and only then is the set's name known.
TEST(JoinCheck, TheRebuildRunsInTheJob) {
    TempDir dir;
    const std::string bytes = test::patternBytes(2 * 4096 + 9, 6);
    test::writeFile(dir / "f.bin", bytes);
    const std::string set = split(dir / "f.bin", 4096, 1);
    fs::remove(set + "/" + kManifestName);
    const std::string out = dir / "out";
    fs::create_directory(out);
    {
        jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), false});
        ASSERT_TRUE(job.prepare());
        EXPECT_TRUE(job.hasRecovery());
        EXPECT_TRUE(job.rebuilt().empty());
        EXPECT_TRUE(namesIn(out).empty());
        job.control().requestCancel();
        job.execute();
        EXPECT_TRUE(job.outcome().cancelled);
        EXPECT_TRUE(namesIn(out).empty());
    }
    jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), false});
    ASSERT_TRUE(job.prepare());
    job.execute();
    ASSERT_TRUE(job.outcome()) << job.outcome().describe();
    EXPECT_EQ(job.target().toStdString(), out + "/f.bin");
    EXPECT_EQ(test::readFile(out + "/f.bin"), bytes);
    EXPECT_EQ(namesIn(out), std::set<std::string>{"f.bin"});
}

// A crafted source name never leads the join outside its output folder: the side names
// it would build there are never made, opened or removed.
TEST(JoinCheck, AHostileSourceNameReachesNothingOutside) {
    for (const std::string name : {"../x", "/../x", "./../x", "a/../../x", "..", "."}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string bytes = test::patternBytes(2 * 4096 + 3, 8);
        test::writeFile(dir / "f.bin", bytes);
        const std::string set = split(dir / "f.bin", 4096, 0);
        fs::remove(set + "/spt_checksums.sha256");
        fs::remove(set + "/spt_tree");
        Manifest m;
        ASSERT_TRUE(readManifest(set, &m));
        for (std::int32_t i = 0; i < m.chunkCount; ++i) {
            const fs::path to = chunkPathOf(set, stemOf(name), i);
            fs::create_directories(to.parent_path());
            fs::rename(chunkPathOf(set, "f", i), to);
        }
        m.sourceName = name;
        fs::remove(set + "/" + kManifestName);
        ASSERT_TRUE(writeManifest(set + "/" + kManifestName, m));

        const std::string out = dir / "deep/out";
        fs::create_directories(out);
        // Decoys wherever a side name could land outside the output folder.
        const jobs::SideNames side = jobs::sideNamesOf(out, name);
        for (const std::string& p : {side.partial, side.old}) {
            const fs::path normal = fs::path(p).lexically_normal();
            if (test::fsText(normal).rfind(out + "/", 0) != 0) {
                fs::create_directories(normal / "keep");
            }
        }
        const std::set<std::string> around = namesIn(dir.path());

        const Joined j = join(set, out);
        EXPECT_FALSE(j.outcome);
        EXPECT_EQ(namesIn(dir.path()), around);
    }
}
