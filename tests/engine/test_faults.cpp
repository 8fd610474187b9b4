// Faults from the real world: full disks, sources that change, sets that change,
// folders that cannot be written, odd entries, names and paths at their limits.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fs_primitives.h"
#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/split.h"
#include "fault_util.h"
#include "jobs/jobs.h"
#include "platform/encoding.h"
#include "split_join_util.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::FaultGuard;
using morvane::test::joinInto;
using morvane::test::SmallDisk;
using morvane::test::splitInto;
using morvane::test::TempDir;
using morvane::test::treeOf;
namespace fs = std::filesystem;

namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Everything in folder, hidden names too, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A folder path of exactly length bytes below base, made of real folders.
std::string folderOfLength(const std::string& base, std::size_t length) {
    std::string path = base;
    while (path.size() + 1 + 200 < length) path.append("/").append(199, 'p');
    const std::size_t last = length - path.size() - 1;
    path.append("/").append(last, 'q');
    fs::create_directories(path);
    return path;
}

// Whether a folder holds nothing. Through the native layer on Windows, where mingw's
// std::filesystem misreads paths longer than MAX_PATH.
bool emptyFolder(const std::string& folder) {
#ifdef _WIN32
    std::vector<plat::DirEntry> entries;
    return plat::listDirectory(folder.c_str(), &entries) && entries.empty();
#else
    return fs::is_empty(folder);
#endif
}

}  // namespace

// The room was there when the job began, and another program took it while the job wrote.
TEST(DiskFull, SplitAndJoinSayNoSpaceAndTheSourceStays) {
    SmallDisk disk("512k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    TempDir dir;
    const std::string filler = disk.path() + "/filler";
    bool filled = false;
    // At the job's first write to the disk, all but 64 KiB of it goes to another file.
    FaultGuard fill([&](plat::Op op, const std::string& p) {
        if (op != plat::Op::Write || filled || !startsWith(p, disk.path())) return 0;
        filled = true;
        const auto room = fs::space(disk.path()).available;
        std::ofstream(filler, std::ios::binary) << std::string(room - 65536, '\0');
        return 0;
    });
    const std::string data = test::patternBytes(300000, 8);
    test::writeFile(dir / "s.bin", data);

    // With recovery chunks, the first write is the room taken for their parity.
    for (const int recovery : {0, 1}) {
        SCOPED_TRACE("recovery " + std::to_string(recovery));
        fs::remove(filler);
        filled = false;
        jobs::SplitOrder order;
        order.source = plat::fromEngineText(dir / "s.bin");
        order.outputDir = plat::fromEngineText(disk.path());
        order.chunkSize = 100000;
        order.recovery = recovery;
        order.deleteSource = true;
        jobs::SplitJob split(order);
        ASSERT_TRUE(split.prepare());
        split.execute();
        EXPECT_EQ(split.outcome().error, ENOSPC) << split.outcome().describe();
        EXPECT_TRUE(startsWith(split.outcome().path, disk.path()));
        EXPECT_EQ(test::readFile(dir / "s.bin"), data);
        // Nothing that looks like a set, half or whole.
        EXPECT_EQ(namesIn(disk.path()), std::vector<std::string>{"filler"});
    }

    // A folder join stops at its first failed write instead of making empty files.
    fs::remove(filler);
    filled = false;
    fs::create_directory(dir / "many");
    for (int i = 0; i < 60; ++i)
        test::writeFile(dir / ("many/" + std::to_string(i)), test::patternBytes(4000, i));
    const auto run = splitInto(dir / "many", dir.path(), 1 << 20);
    ASSERT_TRUE(run.outcome);
    const Outcome joined = joinInto(run.chunkDir, disk.path());
    EXPECT_EQ(joined.error, ENOSPC) << joined.describe();
    EXPECT_EQ(joined.furtherFailures, 0);
    EXPECT_TRUE(startsWith(joined.path, disk.path() + "/many/"));
    EXPECT_EQ(namesIn(disk.path()), std::vector<std::string>{"filler"});
    EXPECT_TRUE(test::exists(run.chunkDir + "/many_0.spt"));
}

// Room taken for a file up front is refused at once where the disk lacks it, never later at
// a write that cannot report it; bytes written through a mapping of it are what it holds.
TEST(DiskFull, ReservedRoomIsRefusedAtOnceAndMappedBytesLand) {
    SmallDisk disk("256k");
    TempDir dir;
    const std::string folder = disk.mounted() ? disk.path() : dir.path();
    if (disk.mounted()) {
        plat::File big;
        ASSERT_TRUE(big.open((folder + "/big").c_str(), plat::File::Mode::CreateNew));
        const Outcome o = big.reserve(std::int64_t{1} << 20);
        EXPECT_TRUE(o.is(Fault::NoSpace)) << o.describe();
        big.close();
        fs::remove(folder + "/big");
    }
    const std::string path = folder + "/mapped";
    const std::string bytes = test::patternBytes(100000, 9);
    plat::File file;
    ASSERT_TRUE(file.open(path.c_str(), plat::File::Mode::CreateNew));
    ASSERT_TRUE(file.reserve(static_cast<std::int64_t>(bytes.size())));
    plat::Mapping map;
    const Outcome mapped = map.map(file, static_cast<std::int64_t>(bytes.size()));
    ASSERT_TRUE(mapped) << mapped.describe();
    map.prepare(4096, 50000);
    std::memcpy(map.data(), bytes.data(), bytes.size());
    ASSERT_TRUE(map.unmap());
    ASSERT_TRUE(file.close());
    EXPECT_EQ(test::readFile(path), bytes);
}

// A split that met a full disk at chunk k: none past k was even opened, nothing looks like
// a finished set, and the error names the place the user asked for.
TEST(DiskFull, ASplitStopsAtTheFirstFullChunk) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(10000, 3));
    const std::string f = dir / "f";
    fs::create_directory(f);
    for (int i = 0; i < 5; ++i)
        test::writeFile(f + "/" + std::to_string(i), test::patternBytes(2000, i));
    for (const std::string& source : {dir / "s.bin", f}) {
        const std::string stem = source == f ? "f" : "s";
        const std::string partial = jobs::sideNamesOf(dir.path(), stem + "_spt").partial;
        const std::string full = partial + "/" + stem + "_2.spt";
        std::vector<std::string> opened;
        Outcome outcome;
        {
            FaultGuard g([&](plat::Op op, const std::string& p) {
                // A chunk is opened again for its fingerprint once it is written.
                if (op == plat::Op::Open && startsWith(p, partial + "/") &&
                    (opened.empty() || opened.back() != p))
                    opened.push_back(p);
                return op == plat::Op::Write && p == full ? ENOSPC : 0;
            });
            outcome = splitInto(source, dir.path(), 1000).outcome;
        }
        EXPECT_TRUE(outcome.is(Fault::NoSpace)) << outcome.describe();
        EXPECT_EQ(outcome.path, dir / (stem + "_spt/" + stem + "_2.spt"));
        EXPECT_EQ(opened, (std::vector<std::string>{partial + "/" + stem + "_0.spt",
                                                    partial + "/" + stem + "_1.spt", full}));
        EXPECT_FALSE(test::exists(dir / (stem + "_spt")));
        EXPECT_FALSE(test::exists(partial));
    }
    EXPECT_EQ(fs::file_size(dir / "s.bin"), 10000u);
}

namespace {

// Same size, other bytes, another modification time: only the times tell.
void rewriteInPlace(const std::string& path, const std::string& bytes) {
    test::writeFile(path, bytes);
#ifdef _WIN32
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::hours(24));
#else
    const struct timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), later, 0);
#endif
}

}  // namespace

TEST(ChangingSources, FileShrinksGrowsOrVanishesAfterItWasMeasured) {
    TempDir dir;
    const std::string data = test::patternBytes(5000, 1);
    test::writeFile(dir / "s.bin", data);
    test::SplitExtras change;

    change.afterPrepare = [&] { fs::resize_file(dir / "s.bin", 3000); };
    auto run = splitInto(dir / "s.bin", dir.path(), 1000, change);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_NE(run.outcome.reason.find("ended before"), std::string::npos);
    EXPECT_FALSE(test::exists(dir / "s_spt"));

    change.afterPrepare = [&] { test::writeFile(dir / "s.bin", data + "x"); };
    run = splitInto(dir / "s.bin", dir.path(), 1000, change);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_NE(run.outcome.reason.find("still had bytes"), std::string::npos);

    // Rewritten in place while it is read, size and all: only its times tell.
    test::writeFile(dir / "s.bin", data);
    const std::string chunk1 = jobs::sideNamesOf(dir.path(), "s_spt").partial + "/s_1.spt";
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            if (op == plat::Op::Open && p == chunk1) {
                std::string other = data;
                other[4000] ^= 1;
                rewriteInPlace(dir / "s.bin", other);
            }
            return 0;
        });
        run = splitInto(dir / "s.bin", dir.path(), 1000);
    }
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_FALSE(test::exists(dir / "s_spt"));

    change.afterPrepare = [&] { fs::remove(dir / "s.bin"); };
    run = splitInto(dir / "s.bin", dir.path(), 1000, change);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, ENOENT);
    EXPECT_EQ(run.outcome.path, dir / "s.bin");
}

TEST(ChangingSources, FolderLosesOrGainsBytes) {
    TempDir dir;
    const std::string f = dir / "f";
    fs::create_directory(f);
    test::writeFile(f + "/a", "aaaa");
    test::writeFile(f + "/b", "bbbb");
    test::SplitExtras change;

    change.afterPrepare = [&] { fs::resize_file(f + "/b", 1); };
    auto run = splitInto(f, dir.path(), 3, change);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_FALSE(test::exists(dir / "f_spt"));

    change.afterPrepare = [&] { test::writeFile(f + "/b", "bbbbbbbb"); };
    run = splitInto(f, dir.path(), 3, change);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_FALSE(test::exists(dir / "f_spt"));

    // Rewritten in place while it is read, both with the file cut across chunks and with
    // small files gathered into one chunk.
    test::writeFile(f + "/b", "bbbb");
    for (const std::int64_t chunkSize : {3, 100}) {
        bool rewritten = false;
        {
            FaultGuard g([&](plat::Op op, const std::string& p) {
                if (op == plat::Op::Read && p == f + "/a" && !rewritten) {
                    rewritten = true;
                    rewriteInPlace(f + "/a", "aaab");
                }
                return 0;
            });
            run = splitInto(f, dir.path(), chunkSize);
        }
        EXPECT_TRUE(rewritten);
        EXPECT_TRUE(run.outcome.is(Fault::Changed)) << chunkSize << run.outcome.describe();
        EXPECT_FALSE(test::exists(dir / "f_spt"));
        test::writeFile(f + "/a", "aaaa");
    }

    // A listed file that disappears while the split runs: reported, never read.
    const std::string gone = f + "/b";
    change.afterPrepare = [&] { fs::remove(gone); };
    run = splitInto(f, dir.path(), 3, change);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.path, gone);
    EXPECT_EQ(run.outcome.error, ENOENT);
    EXPECT_EQ(test::readFile(f + "/a"), "aaaa");
    EXPECT_FALSE(test::exists(dir / "f_spt"));
}

TEST(ChunkSetChanges, ChunkDeletedOrChangedBetweenCheckAndJoin) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(6000, 2));
    auto run = splitInto(dir / "s.bin", dir.path(), 2000);
    ASSERT_TRUE(run.outcome);
    ChunkSetCheck check;
    ASSERT_TRUE(checkChunkSet(run.chunkDir, &check));
    ASSERT_TRUE(check.intact());

    const std::string chunk1 = run.chunkDir + "/s_1.spt";
    fs::rename(chunk1, dir / "aside");
    TempDir out;
    Outcome o = joinInto(run.chunkDir, out.path());
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find(chunk1 + ": missing"), std::string::npos) << o.reason;
    fs::rename(dir / "aside", chunk1);

    std::ofstream(chunk1, std::ios::app) << "extra";
    o = joinInto(run.chunkDir, out.path());
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find(chunk1 + ": longer"), std::string::npos) << o.reason;
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(Unwritable, OutputFolderThatRefusesWrites) {
    TempDir dir, out;
    test::writeFile(dir / "s.bin", "some bytes");
    const std::string denied = out.path();
    // Root ignores permissions, so the refusal comes through the native layer.
    FaultGuard g([&](plat::Op op, const std::string& p) {
        return (op == plat::Op::Open || op == plat::Op::MakeDir) && startsWith(p, denied) ? EACCES
                                                                                          : 0;
    });
    auto run = splitInto(dir / "s.bin", denied, 4);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, EACCES);
    EXPECT_EQ(run.outcome.path, denied + "/s_spt");

    run = splitInto(dir / "s.bin", dir.path(), 4);
    ASSERT_TRUE(run.outcome);
    const Outcome o = joinInto(run.chunkDir, denied);
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, EACCES);
    EXPECT_TRUE(fs::is_empty(denied));
}

TEST(OddEntries, LinkLoopsAndFifosInAFolderToSplit) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoFifos);
    TempDir dir;
    const std::string f = dir / "f";
    fs::create_directories(f + "/sub");
    test::writeFile(f + "/sub/data", "data");
    ASSERT_TRUE(test::makeSymlink("..", f + "/sub/loop"));
    ASSERT_TRUE(test::makeSymlink("me", f + "/me"));
    ASSERT_TRUE(test::makeFifo(f + "/pipe", 0600));  // reading it would block for ever
    // A FIFO cannot be stored: the folder is refused, naming it, before anything is written.
    auto run = splitInto(f, dir.path(), 3);
    EXPECT_TRUE(run.outcome.is(Fault::Invalid)) << run.outcome.describe();
    EXPECT_NE(run.outcome.reason.find(f + "/pipe"), std::string::npos) << run.outcome.reason;
    EXPECT_FALSE(test::exists(dir / "f_spt"));

    // Asked to, the split leaves it out; the links are kept as links, never followed.
    test::SplitExtras skip;
    skip.skipSpecial = true;
    run = splitInto(f, dir.path(), 3, skip);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    EXPECT_EQ(run.leftOut, std::vector<std::string>{f + "/pipe"});
    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(treeOf(out / "f"), (std::map<std::string, std::string>{{"sub/data", "data"}}));
    EXPECT_TRUE(fs::is_symlink(out / "f/me"));
    EXPECT_TRUE(fs::is_symlink(out / "f/sub/loop"));
}

TEST(Names, UnconvertibleNamesAreRefusedNeverReplaced) {
    TempDir dir;
#ifndef _WIN32
    // Windows names are UTF-16 text: a name that is no text cannot be made there.
    const std::string f = dir / "f";
    fs::create_directory(f);
    test::writeFile(f + "/ok", "x");
    test::writeFile(f + "/caf\xE9", "latin-1 name");  // not UTF-8: no GB18030 text exists
    auto run = splitInto(f, dir.path(), 3);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, EILSEQ);
    EXPECT_FALSE(test::exists(dir / "f_spt"));
#endif

    // Engine text that is not GB18030 never reaches the file system as "?". No order
    // can hold such text: the engine is handed it directly.
    const std::string build = dir / "build";
    fs::create_directory(build);
    SplitRequest request;
    request.sourcePath = dir.path() + "/\x81";
    request.outputDir = dir.path();
    request.totalSize = 3;
    request.chunkSize = 3;
    request.buildFolder = build;
    JobControl control;
    SplitResult result;
    const Outcome o = runSplit(request, control, &result);
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, EILSEQ);
    EXPECT_TRUE(fs::is_empty(build));
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find('?'), std::string::npos);
}

// The engine writes only where its caller builds: without that place it writes nothing.
TEST(Engine, ASplitOrJoinWithoutABuildPlaceIsRefused) {
    TempDir dir;
    test::writeFile(dir / "s.bin", "0123456789");
    SplitRequest request;
    request.sourcePath = dir / "s.bin";
    request.outputDir = dir.path();
    request.totalSize = 10;
    request.chunkSize = 4;
    JobControl control;
    SplitResult result;
    const Outcome split = runSplit(request, control, &result);
    EXPECT_TRUE(split.is(Fault::Invalid)) << split.describe();
    EXPECT_FALSE(test::exists(dir / "s_spt"));

    ASSERT_TRUE(splitInto(dir / "s.bin", dir.path(), 4).outcome);
    Manifest m;
    ASSERT_TRUE(readManifest(dir / "s_spt", &m));
    TempDir out;
    JoinResult joined;
    const Outcome join = runJoin({dir / "s_spt", out.path(), ""}, m, control, &joined);
    EXPECT_TRUE(join.is(Fault::Invalid)) << join.describe();
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(Limits, PathsAtAndJustOverEveryLimit) {
    TempDir dir;
    test::writeFile(dir / "s.bin", "0123456789");
    // The longest path a split writes: "<out>/.s_spt.morvane-partial/spt_checksums.sha256",
    // where the set is built, at exactly 1023 bytes, then one more.
    const std::size_t tail =
        jobs::sideNamesOf("", "s_spt").partial.size() + std::strlen("/spt_checksums.sha256");
    const std::string fits = folderOfLength(dir / "a", 1023 - tail);
    ASSERT_EQ(fits.size(), 1023 - tail);
    auto run = splitInto(dir / "s.bin", fits, 1);
    EXPECT_TRUE(run.outcome) << run.outcome.describe();
    const std::string over = folderOfLength(dir / "b", 1024 - tail);
    run = splitInto(dir / "s.bin", over, 1);
    EXPECT_EQ(run.outcome.error, ENAMETOOLONG);
    EXPECT_TRUE(emptyFolder(over));

    // A joined file whose build name, "<out>/.s.bin.morvane-partial", is exactly 1023
    // bytes, then one byte more.
    run = splitInto(dir / "s.bin", dir.path(), 4);
    ASSERT_TRUE(run.outcome);
    const std::size_t built = jobs::sideNamesOf("", "s.bin").partial.size();
    const std::string out1 = folderOfLength(dir / "c", 1023 - built);
    EXPECT_TRUE(joinInto(run.chunkDir, out1));
    EXPECT_EQ(test::readFile(out1 + "/s.bin"), "0123456789");
    const std::string out2 = folderOfLength(dir / "d", 1024 - built);
    const Outcome o = joinInto(run.chunkDir, out2);
    EXPECT_EQ(o.error, ENAMETOOLONG);
    EXPECT_EQ(o.path, out2 + "/s.bin");
    EXPECT_TRUE(emptyFolder(out2));

    // Names below a split folder: 255 bytes fit their record, 256 do not.
    const std::string f = dir / "f";
    fs::create_directories(f + "/" + std::string(200, 'n'));
    test::writeFile(f + "/" + std::string(200, 'n') + "/" + std::string(54, 'm'), "x");
    run = splitInto(f, dir.path(), 4);
    EXPECT_TRUE(run.outcome) << run.outcome.describe();
    test::writeFile(f + "/" + std::string(200, 'n') + "/" + std::string(55, 'm'), "y");
    run = splitInto(f, dir.path(), 4);
    EXPECT_TRUE(run.outcome.is(Fault::Invalid)) << run.outcome.describe();
    EXPECT_NE(run.outcome.reason.find(std::string(55, 'm')), std::string::npos);

    // A password of 31 bytes fits its field with its NUL; 32 bytes are refused unwritten.
    fs::create_directory(dir / "e");
    run = splitInto(dir / "s.bin", dir / "e", 40, std::string(31, 'p'));
    EXPECT_TRUE(run.outcome) << run.outcome.describe();
    fs::remove_all(dir / "e/s_spt");
    run = splitInto(dir / "s.bin", dir / "e", 40, std::string(32, 'p'));
    EXPECT_EQ(run.outcome.error, ENAMETOOLONG);
    EXPECT_TRUE(fs::is_empty(dir / "e"));
}

TEST(HostileManifests, ChunkCountsBeyondTheRecordsAreRefusedBeforeWriting) {
    TempDir dir, out;
    test::writeFile(dir / "s.bin", "0123456789");
    auto run = splitInto(dir / "s.bin", dir.path(), 3);
    ASSERT_TRUE(run.outcome);
    const std::string m = run.chunkDir + "/spt_config.qorvelx";
    fs::resize_file(m, 352 + 37 * 2 + 10);  // four chunks listed, not all recorded
    const Outcome o = joinInto(run.chunkDir, out.path());
    EXPECT_FALSE(o);
    EXPECT_NE(o.reason.find(m), std::string::npos) << o.reason;
    EXPECT_TRUE(fs::is_empty(out.path()));

    // A count of two billion chunks neither allocates them nor tries every name.
    std::string bytes = test::readFile(m);
    const std::int32_t huge = 0x7FFFFFFF;
    std::memcpy(&bytes[40], &huge, 4);
    test::writeFile(m, bytes);
    EXPECT_FALSE(joinInto(run.chunkDir, out.path()));
    EXPECT_FALSE(test::exists(out / "s.bin"));
    Manifest read;
    ASSERT_TRUE(readManifest(run.chunkDir, &read));
    EXPECT_LE(read.chunks.size(), 3u);
    EXPECT_TRUE(read.recordsCutShort);
}
