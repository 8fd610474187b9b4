// Encrypted sets through the jobs, as users run them: round trips, wrong passwords, every
// kind of tampering an attacker who may rewrite the clear manifest and checksum list can
// do, and check and repair without the password.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/time.h>
#endif
#include <QString>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "engine/checksums.h"
#include "engine/digest.h"
#include "engine/manifest.h"
#include "engine/sealing.h"
#include "engine/sha256.h"
#include "engine/verify.h"
#include "fault_util.h"
#include "job_util.h"
#include "jobs/jobs.h"
#include "split_join_util.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

// Cheap enough for tests; the format is the same at any cost.
constexpr KdfCost kTestCost{1, 8192};
constexpr std::int64_t kChunk = 1536 * 1024;  // two frames per chunk

std::string sealedSplit(const std::string& source, const std::string& out, std::int64_t chunk,
                        int recovery = 0, const char* password = "tiger") {
    jobs::SplitOrder order;
    order.source = q(source);
    order.outputDir = q(out);
    order.chunkSize = chunk;
    order.password = QString::fromUtf8(password);
    order.kdf = kTestCost;
    order.recovery = recovery;
    jobs::SplitJob job(order);
    EXPECT_TRUE(job.prepare());
    job.allowReplace(true);
    job.execute();
    EXPECT_TRUE(job.outcome()) << job.outcome().describe();
    return job.chunkFolder().toStdString();
}

struct Joined {
    Outcome outcome;
    bool unlocked = false;
    bool oldProtection = false;
};

Joined join(const std::string& set, const std::string& out, const char* password = "tiger") {
    fs::create_directories(out);
    Joined j;
    jobs::JoinJob job(jobs::JoinOrder{q(set), q(out), false});
    if (j.outcome = job.prepare(); !j.outcome) return j;
    j.oldProtection = job.oldProtection();
    if (j.outcome = job.unlock(QString::fromUtf8(password)); !j.outcome) return j;
    j.unlocked = true;
    job.allowReplace(true);
    job.execute();
    j.outcome = job.outcome();
    return j;
}

std::string chunk(const std::string& set, int i) {
    return set + "/s_" + std::to_string(i) + ".spt";
}

// What an attacker can do after changing chunks: make the clear manifest and the checksum
// list agree with them again, so that only the encryption can tell.
void vouchFor(const std::string& set) {
    Manifest m;
    ASSERT_TRUE(readManifest(set, &m));
    m.totalSize = 0;
    for (ChunkRecord& r : m.chunks) {
        char fingerprint[kDigestText] = {};
        std::int64_t size = 0;
        ASSERT_TRUE(chunkFingerprint(chunk(set, r.chunkIndex).c_str(), fingerprint, &size));
        r.fingerprint = fingerprint;
        m.totalSize += size;
    }
    ASSERT_TRUE(writeManifest(manifestPathOf(set), m));
    std::vector<ChecksumLine> lines;
    std::vector<std::string> names{kManifestName};
    for (int i = 0; i < m.chunkCount; ++i) names.push_back("s_" + std::to_string(i) + ".spt");
    names.push_back(kTreeName);
    for (const std::string& name : names) {
        std::string hex;
        ASSERT_TRUE(hashFile(set + "/" + name, nullptr, &hex));
        lines.push_back({hex, name});
    }
    test::writeFile(set + "/" + kChecksumListName, checksumListOf(lines));
}

bool isEmptyFolder(const std::string& path) {
    return !fs::exists(path) || fs::is_empty(path);
}

}  // namespace

TEST(Sealed, FileAndFolderComeBackByteForByteAndHideWhatTheyHold) {
    TempDir dir;
    const std::string data = test::patternBytes(4 * 1024 * 1024 + 123, 41);
    test::writeFile(dir / "s.tax-return.pdf", data);
    const std::string set = sealedSplit(dir / "s.tax-return.pdf", dir / "a", kChunk);
    // The requested size is the size of the chunk files on disk, tags included.
    EXPECT_EQ(fs::file_size(chunk(set, 0)), static_cast<std::uintmax_t>(kChunk));
    EXPECT_EQ(fs::file_size(chunk(set, 1)), static_cast<std::uintmax_t>(kChunk));
    ASSERT_TRUE(fs::exists(chunk(set, 2)));
    EXPECT_FALSE(fs::exists(chunk(set, 3)));
    EXPECT_EQ(test::readFile(chunk(set, 0)).find(data.substr(0, 32)), std::string::npos);
    // The stem stays, the rest of the name goes.
    for (const auto& e : fs::directory_iterator(set))
        EXPECT_EQ(test::readFile(test::fsText(e.path())).find("tax-return"), std::string::npos)
            << e.path();
    ASSERT_TRUE(join(set, dir / "out").outcome);
    EXPECT_EQ(test::readFile(dir / "out/s.tax-return.pdf"), data);

    // The same source and password give other bytes every time.
    const std::string again = sealedSplit(dir / "s.tax-return.pdf", dir / "b", kChunk);
    EXPECT_NE(test::readFile(chunk(set, 0)), test::readFile(chunk(again, 0)));

    // A folder: names, sizes, links, empty files and folders travel sealed.
    const std::string f = dir / "s.tree";
    fs::create_directories(f + "/secret-folder/empty");
    test::writeFile(f + "/secret-folder/hidden-name.txt", test::patternBytes(3000000, 5));
    test::writeFile(f + "/.env-production", "");
#ifndef _WIN32
    fs::create_symlink("secret-folder/hidden-name.txt", f + "/secret-link");  // none under wine
#endif
    const std::string tree = sealedSplit(f, dir / "c", kChunk);
    for (const auto& e : fs::directory_iterator(tree))
        for (const char* name : {"secret-", "hidden-name", ".env-production"})
            EXPECT_EQ(test::readFile(test::fsText(e.path())).find(name), std::string::npos)
                << e.path() << name;
    ASSERT_TRUE(join(tree, dir / "out").outcome);
    EXPECT_EQ(test::treeOf(dir / "out/s.tree"), test::treeOf(f));
    EXPECT_TRUE(fs::is_directory(dir / "out/s.tree/secret-folder/empty"));
#ifndef _WIN32
    EXPECT_EQ(fs::read_symlink(dir / "out/s.tree/secret-link"), "secret-folder/hidden-name.txt");
#endif
}

TEST(Sealed, AWrongPasswordIsRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(100000, 3));
    const std::string set = sealedSplit(dir / "s.bin", dir.path(), 40000);
    for (const char* wrong : {"Tiger", "tiger ", "x"}) {
        const Joined j = join(set, dir / "out", wrong);
        EXPECT_FALSE(j.unlocked);
        EXPECT_TRUE(j.outcome.is(Fault::WrongPassword)) << j.outcome.describe();
        EXPECT_TRUE(isEmptyFolder(dir / "out"));
    }
    // A copy of the program that knows only the old digest refuses every password, the empty
    // one included: no MD5 text equals the mark.
    Manifest m;
    ASSERT_TRUE(readManifest(set, &m));
    EXPECT_EQ(m.passwordDigest, kSealedMark);
    for (const char* password : {"", "tiger"})
        EXPECT_EQ(checkPassword(password, m.passwordDigest.c_str()), 0);
}

TEST(Sealed, AbsurdKeyDerivationParametersAreRefusedBeforeTheKdfRuns) {
    TempDir dir;
    test::writeFile(dir / "s.bin", "sealed bytes");
    const std::string set = sealedSplit(dir / "s.bin", dir.path(), 4096);
    const std::string header = test::readFile(set + "/" + kTreeName);
    struct Case {
        std::size_t at;
        std::uint64_t value;
    };
    // 2^40 bytes of memory, then 2^32 passes: either would take the machine down for good.
    for (const Case c : {Case{32, std::uint64_t{1} << 40}, Case{24, std::uint64_t{1} << 32}}) {
        std::string hostile = header;
        std::memcpy(hostile.data() + c.at, &c.value, sizeof c.value);
        test::writeFile(set + "/" + kTreeName, hostile);
        SealedHeader parsed;
        const Outcome o = readSealedHeader(set, &parsed);
        EXPECT_FALSE(o);
        EXPECT_NE(o.reason.find("more of the key derivation than a reader allows"),
                  std::string::npos)
            << o.reason;
        EXPECT_FALSE(join(set, dir / "out").outcome);
        EXPECT_TRUE(isEmptyFolder(dir / "out"));
    }
}

// Each change is made consistent with the clear manifest and the checksum list first: only
// the frames' authentication, and the sizes the header sealed, stand in the way.
TEST(Sealed, EveryTamperingFailsAndNamesTheChunk) {
    TempDir dir;
    const std::string data = test::patternBytes(5 * 1024 * 1024, 17);
    test::writeFile(dir / "s.bin", data);
    const std::string pristine = sealedSplit(dir / "s.bin", dir / "orig", kChunk);
    const std::string foreign = sealedSplit(dir / "s.bin", dir / "other", kChunk);
    std::mt19937 random(std::random_device{}());
    const std::uint32_t seed = random();
    struct Tamper {
        const char* what;
        std::function<void(const std::string& set)> change;
        int named;  // the chunk the failure names
    };
    const std::vector<Tamper> cases = {
        {"swapped",
         [](const std::string& s) {
             fs::rename(chunk(s, 0), s + "/t");
             fs::rename(chunk(s, 1), chunk(s, 0));
             fs::rename(s + "/t", chunk(s, 1));
         },
         0},
        {"reordered",
         [](const std::string& s) {
             fs::rename(chunk(s, 0), s + "/t");
             fs::rename(chunk(s, 2), chunk(s, 0));
             fs::rename(chunk(s, 1), chunk(s, 2));
             fs::rename(s + "/t", chunk(s, 1));
         },
         0},
        {"duplicated", [](const std::string& s) { test::copyOver(chunk(s, 1), chunk(s, 2)); }, 2},
        {"foreign", [&](const std::string& s) { test::copyOver(chunk(foreign, 1), chunk(s, 1)); },
         1},
        {"cut by its last frame",
         [](const std::string& s) { fs::resize_file(chunk(s, 1), kFrameBytes + kFrameOverhead); },
         1},
        {"cut off after a chunk",
         [](const std::string& s) {
             fs::remove(chunk(s, 3));
             Manifest m;
             ASSERT_TRUE(readManifest(s, &m));
             m.chunkCount = 3;
             m.chunks.pop_back();
             ASSERT_TRUE(writeManifest(manifestPathOf(s), m));
         },
         3},
        {"extended",
         [](const std::string& s) {
             std::string last = test::readFile(chunk(s, 3));
             test::writeFile(chunk(s, 3), last + last.substr(0, 100));
         },
         3},
        {"one bit flipped",
         [seed](const std::string& s) {
             std::mt19937 pick(seed);
             const int i = static_cast<int>(pick() % 4);
             std::string bytes = test::readFile(chunk(s, i));
             const std::size_t at = pick() % bytes.size();
             bytes[at] = static_cast<char>(bytes[at] ^ (1 << (pick() % 8)));
             test::writeFile(chunk(s, i), bytes);
         },
         -1},
    };
    for (const Tamper& t : cases) {
        SCOPED_TRACE(std::string(t.what) + ", seed " + std::to_string(seed));
        const std::string set = dir / "set";
        fs::remove_all(set);
        fs::copy(pristine, set);
        t.change(set);
        vouchFor(set);
        const Joined j = join(set, dir / "out");
        EXPECT_TRUE(j.unlocked);
        EXPECT_TRUE(j.outcome.is(Fault::Damaged) || j.outcome.is(Fault::Missing))
            << j.outcome.describe();
        if (t.named >= 0)
            EXPECT_NE(j.outcome.describe().find("s_" + std::to_string(t.named) + ".spt"),
                      std::string::npos)
                << j.outcome.describe();
        else
            EXPECT_NE(j.outcome.describe().find("fails authentication"), std::string::npos)
                << j.outcome.describe();
        EXPECT_TRUE(isEmptyFolder(dir / "out"));
    }
    ASSERT_TRUE(join(pristine, dir / "out").outcome);
    EXPECT_EQ(test::readFile(dir / "out/s.bin"), data);
}

TEST(Sealed, CheckedAndRepairedWithoutThePasswordThenDecrypted) {
    TempDir dir;
    const std::string data = test::patternBytes(4 * 1024 * 1024, 23);
    test::writeFile(dir / "s.bin", data);
    const std::string set = sealedSplit(dir / "s.bin", dir.path(), kChunk, 1);
    std::string bytes = test::readFile(chunk(set, 1));
    bytes[bytes.size() - 7] = static_cast<char>(bytes[bytes.size() - 7] ^ 0x10);
    test::writeFile(chunk(set, 1), bytes);

    jobs::VerifyJob check(q(set));
    ASSERT_TRUE(check.prepare());
    check.execute();
    ASSERT_TRUE(check.outcome());
    EXPECT_EQ(check.check().entries[1].state, ChunkState::Damaged);
    EXPECT_TRUE(check.recovery().repairable);

    jobs::RepairJob repair(q(set));
    ASSERT_TRUE(repair.prepare());
    repair.execute();
    ASSERT_TRUE(repair.outcome()) << repair.outcome().describe();
    ChunkSetCheck after;
    ASSERT_TRUE(checkChunkSet(set, &after));
    JobControl control;
    ASSERT_TRUE(verifyChunkSet(&after, control, 1));
    EXPECT_TRUE(after.intact());

    ASSERT_TRUE(join(set, dir / "out").outcome);
    EXPECT_EQ(test::readFile(dir / "out/s.bin"), data);
}

// Frames are written on a second thread: its failure still ends the job at once, with
// nothing left behind.
TEST(Sealed, AFullDiskEndsAnEncryptedSplitAndJoin) {
    TempDir dir;
    const std::string data = test::patternBytes(4 * 1024 * 1024, 29);
    test::writeFile(dir / "s.bin", data);
    {
        test::FaultGuard full([&](plat::Op op, const std::string& path) {
            return op == plat::Op::Write && path.find("s_1.spt") != std::string::npos ? ENOSPC : 0;
        });
        jobs::SplitOrder order;
        order.source = q(dir / "s.bin");
        order.chunkSize = kChunk;
        order.password = QStringLiteral("tiger");
        order.kdf = kTestCost;
        jobs::SplitJob job(order);
        ASSERT_TRUE(job.prepare());
        job.execute();
        EXPECT_TRUE(job.outcome().is(Fault::NoSpace)) << job.outcome().describe();
        EXPECT_FALSE(fs::exists(dir / "s_spt"));
    }
    const std::string set = sealedSplit(dir / "s.bin", dir.path(), kChunk);
    test::FaultGuard full([&](plat::Op op, const std::string& path) {
        return op == plat::Op::Write && path.find("out") != std::string::npos ? ENOSPC : 0;
    });
    const Joined j = join(set, dir / "out");
    EXPECT_TRUE(j.outcome.is(Fault::NoSpace)) << j.outcome.describe();
    EXPECT_TRUE(isEmptyFolder(dir / "out"));
}

// A set protected by the old digest alone, as earlier copies wrote it, joins with its
// password and says that it is not encrypted; a new split never writes the old digest.
TEST(Sealed, OldProtectedSetsStillJoinWithTheirPassword) {
    TempDir dir;
    test::writeFile(dir / "s.bin", "old protected bytes");
    const std::string set = test::split(dir / "s.bin", 5, 0);
    Manifest m;
    ASSERT_TRUE(readManifest(set, &m));
    m.protectWith("tiger");
    ASSERT_TRUE(writeManifest(manifestPathOf(set), m));
    std::string list = test::readFile(set + "/" + kChecksumListName);
    std::string hex;
    ASSERT_TRUE(hashFile(manifestPathOf(set), nullptr, &hex));
    list.replace(0, 64, hex);
    test::writeFile(set + "/" + kChecksumListName, list);

    EXPECT_TRUE(join(set, dir / "out", "lion").outcome.is(Fault::WrongPassword));
    const Joined j = join(set, dir / "out");
    ASSERT_TRUE(j.outcome) << j.outcome.describe();
    EXPECT_TRUE(j.oldProtection);
    EXPECT_EQ(test::readFile(dir / "out/s.bin"), "old protected bytes");
}

// Other copies of the program read sets without a password as they always were: the files
// of this split are the ones the build before encryption wrote from the same file.
TEST(Sealed, ASetWithoutAPasswordIsByteForByteWhatItWas) {
    TempDir dir;
    const std::string file = dir.path() + "/data.bin";
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xff);
    test::writeFile(file, bytes);
#ifdef _WIN32
    // A file that may be written is 0644 there as here: the same split writes the same bytes.
    fs::last_write_time(file, std::chrono::file_clock::from_sys(
                                  std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
#else
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    const timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimes(file.c_str(), times), 0);
#endif
    jobs::SplitOrder order;
    order.source = q(file);
    order.chunkSize = 1000;
    jobs::SplitJob job(order);
    ASSERT_TRUE(job.prepare());
    job.execute();
    ASSERT_TRUE(job.outcome()) << job.outcome().describe();
    const std::string set = dir.path() + "/data_spt/";
    const std::pair<const char*, const char*> before[] = {
        {"data_0.spt", "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
        {"data_1.spt", "f9c7c49dba1f1d80bf08e78c1479fdffc828be83e763bee18260083ece195f01"},
        {"data_2.spt", "154dd3bf7db500f242379e16ccdae9f270ab1d64c82fc164b5d845875918bcb6"},
        {"spt_checksums.sha256",
         "9364105f61e2f37d7b94c497253bfb170777fe4e6768754329bd64d8e32f7dc7"},
        {"spt_config.qorvelx", "df5db0623f6fbd284240b4babe2c1c11e307755c23499acb33d397ada4dd9337"},
        {"spt_tree", "afbe5bf5d88ec378dc11610d8ca659f66b50a8403b6740519f2c090bc83583db"},
    };
    for (const auto& [name, digest] : before) {
        const std::string written = test::readFile(set + name);
        EXPECT_EQ(sha256Hex(written.data(), written.size()), digest) << name;
    }
}
