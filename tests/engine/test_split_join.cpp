// Splitting files and folders into chunk sets, checking them, and joining them back.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "engine/split.h"
#include "fault_util.h"
#include "platform/native.h"
#include "split_join_util.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::FaultGuard;
using morvane::test::joinInto;
using morvane::test::splitInto;
using morvane::test::TempDir;
using morvane::test::treeOf;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> chunkFilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".spt") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Piece {
    std::string name;
    std::int32_t chunk;
    std::int64_t offset, length;
    bool operator==(const Piece&) const = default;
};

Manifest manifestOf(const std::string& chunkDir) {
    Manifest m;
    EXPECT_TRUE(readManifest(chunkDir, &m));
    return m;
}

std::vector<Piece> piecesOf(const std::string& chunkDir) {
    std::vector<Piece> out;
    for (const FileRecord& r : manifestOf(chunkDir).files)
        out.push_back({r.relativeName, r.chunkIndex, r.pieceOffset, r.pieceLength});
    return out;
}

// The order in which the listing hands out the files of folder, as names below it.
std::vector<std::string> listingOrder(const std::string& folder) {
    std::vector<std::string> files;
    EXPECT_TRUE(listFolderFiles(folder.c_str(), true, &files));
    for (auto& f : files) f = f.substr(folder.size() + 1);
    return files;
}

// Every name in dir, hidden ones too, sorted.
std::vector<std::string> entriesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ChunkSetCheck check(const std::string& chunkDir) {
    ChunkSetCheck c;
    EXPECT_TRUE(checkChunkSet(chunkDir, &c));
    return c;
}

}  // namespace

TEST(SingleFileSplit, ChunksNamesAndRoundTrip) {
    TempDir dir;
    test::writeFile(dir / "notes.txt", "abcdefghij");
    auto run = splitInto(dir / "notes.txt", dir.path(), 3);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    EXPECT_EQ(run.chunkDir, dir / "notes_spt");
    EXPECT_EQ(chunkFilesIn(run.chunkDir), (std::vector<std::string>{"notes_0.spt", "notes_1.spt",
                                                                    "notes_2.spt", "notes_3.spt"}));
    EXPECT_EQ(test::readFile(run.chunkDir + "/notes_3.spt"), "j");
    EXPECT_EQ(fs::file_size(run.chunkDir + "/spt_config.qorvelx"), 352u + 4 * 37);
    EXPECT_EQ(run.done, 10);
    EXPECT_EQ(run.total, 10);
    // Four chunks, the manifest, the tree file and the checksum list; and beside the set,
    // nothing of the name it was built under.
    EXPECT_EQ(entriesIn(run.chunkDir).size(), 7u);
    EXPECT_EQ(entriesIn(dir.path()), (std::vector<std::string>{"notes.txt", "notes_spt"}));

    TempDir out;
    test::Progress progress;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path(), &progress));
    EXPECT_EQ(test::readFile(out / "notes.txt"), "abcdefghij");
    EXPECT_EQ(progress.done, 10);
    EXPECT_EQ(progress.total, 10);
    EXPECT_EQ(entriesIn(out.path()), std::vector<std::string>{"notes.txt"});

    // The worked example at chunk size 4 reproduces its manifest's chunk fingerprints.
    TempDir again;
    test::writeFile(again / "notes.txt", "abcdefghij");
    run = splitInto(again / "notes.txt", again.path(), 4);
    ASSERT_TRUE(run.outcome);
    const Manifest m = manifestOf(run.chunkDir);
    ASSERT_EQ(m.chunks.size(), 3u);
    EXPECT_EQ(m.chunks[2].fingerprint, "4A6D161D6190987283018E510E14B267");
}

TEST(SingleFileSplit, ExactMultiplesEmptySourcesAndDottedNames) {
    TempDir dir;
    test::writeFile(dir / "movie.part1.mkv", test::patternBytes(9000, 3));
    auto run = splitInto(dir / "movie.part1.mkv", dir.path(), 3000);
    ASSERT_TRUE(run.outcome);
    EXPECT_EQ(run.chunkDir, dir / "movie_spt");
    EXPECT_EQ(chunkFilesIn(run.chunkDir).size(), 3u);  // no empty chunk after a full one
    EXPECT_EQ(check(run.chunkDir).manifest.sourceName, "movie.part1.mkv");

    test::writeFile(dir / "empty.bin", "");
    run = splitInto(dir / "empty.bin", dir.path(), 100);
    ASSERT_TRUE(run.outcome);
    EXPECT_TRUE(chunkFilesIn(run.chunkDir).empty());
    EXPECT_EQ(fs::file_size(run.chunkDir + "/spt_config.qorvelx"), 352u);
    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(fs::file_size(out / "empty.bin"), 0u);

    test::writeFile(dir / ".config", "xyz");
    run = splitInto(dir / ".config", dir.path(), 2);
    ASSERT_TRUE(run.outcome);
    EXPECT_EQ(run.chunkDir, dir / "_spt");
    EXPECT_EQ(chunkFilesIn(run.chunkDir), (std::vector<std::string>{"_0.spt", "_1.spt"}));
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(test::readFile(out / ".config"), "xyz");
}

TEST(SingleFileSplit, ASplitOverAnOldSetReplacesItWholeAndStraysAreIgnored) {
    TempDir dir;
    test::writeFile(dir / "d.bin", "0123456789");
    ASSERT_TRUE(splitInto(dir / "d.bin", dir.path(), 2).outcome);
    const std::string oldChunk = test::readFile(dir / "d_spt/d_4.spt");
    auto run = splitInto(dir / "d.bin", dir.path(), 5);
    ASSERT_TRUE(run.outcome);
    // The new set takes the old one's place: nothing of it stays.
    EXPECT_EQ(chunkFilesIn(run.chunkDir), (std::vector<std::string>{"d_0.spt", "d_1.spt"}));
    EXPECT_TRUE(check(run.chunkDir).strays.empty());

    // A chunk of a longer set dropped in beside it is named, and changes nothing.
    test::writeFile(run.chunkDir + "/d_4.spt", oldChunk);
    const ChunkSetCheck c = check(run.chunkDir);
    EXPECT_EQ(c.entries.size(), 2u);
    EXPECT_EQ(c.strays, std::vector<std::string>{run.chunkDir + "/d_4.spt"});
    EXPECT_TRUE(c.intact());
    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(test::readFile(out / "d.bin"), "0123456789");
}

TEST(FolderSplit, PiecesFollowTheListingOrder) {
    TempDir dir;
    const std::string box = dir / "box";
    fs::create_directory(box);
    test::writeFile(box + "/a", "12345");
    test::writeFile(box + "/b", "678");
    auto run = splitInto(box, dir.path(), 4);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    const auto order = listingOrder(box);
    const std::vector<Piece> expected =
        order[0] == "a" ? std::vector<Piece>{{"a", 0, 0, 4}, {"a", 1, 0, 1}, {"b", 1, 1, 3}}
                        : std::vector<Piece>{{"b", 0, 0, 3}, {"a", 0, 3, 1}, {"a", 1, 0, 4}};
    EXPECT_EQ(piecesOf(run.chunkDir), expected);
    const Manifest m = manifestOf(run.chunkDir);
    ASSERT_EQ(m.files.size(), 3u);
    EXPECT_EQ(m.files[2].recordNumber, 2);
    if (order[0] == "a") {
        // Then it is the worked folder example, byte for byte.
        EXPECT_EQ(fs::file_size(run.chunkDir + "/spt_config.qorvelx"), 1266u);
        EXPECT_EQ(m.chunks[0].fingerprint, "63B197E450A5F066EB4D64C3F607F569");
    }

    // A file that ends exactly where its chunk ends gets an empty piece in the next chunk.
    const std::string even = dir / "even";
    fs::create_directory(even);
    test::writeFile(even + "/a", "AAAA");
    test::writeFile(even + "/b", "BBBB");
    run = splitInto(even, dir.path(), 4);
    ASSERT_TRUE(run.outcome);
    const auto o2 = listingOrder(even);
    EXPECT_EQ(piecesOf(run.chunkDir),
              (std::vector<Piece>{{o2[0], 0, 0, 4}, {o2[0], 1, 0, 0}, {o2[1], 1, 0, 4}}));
}

TEST(FolderSplit, NestedTreeWithGb18030NamesRoundTrips) {
    MORVANE_NEEDS_GB18030();
    TempDir dir;
    // Engine text of the folder: 乗 ends in the byte 0x5C, ñ has a four-byte code.
    const std::string root = dir / "data.old";
    fs::create_directories(test::fsPath(root + "/sub/\xE4\xB9\x97"
                                               "deep"));
    fs::create_directories(root + "/empty_dir");
    fs::create_directories(root + "/.git");
    test::writeFile(root + "/.git/HEAD", "hidden");
    test::writeFile(root +
                        "/ma\xC3\xB1"
                        "ana.txt",
                    test::patternBytes(7000, 1));
    test::writeFile(root + "/zero", "");
    test::writeFile(root +
                        "/sub/\xE4\xB9\x97"
                        "deep/x.bin",
                    test::patternBytes(3000, 2));
    test::writeFile(root + "/sub/y", test::patternBytes(10, 3));
    auto run = splitInto(test::engineOf(root), test::engineOf(dir.path()), 1000);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    EXPECT_EQ(run.chunkDir, dir / "data_spt");
    EXPECT_EQ(chunkFilesIn(run.chunkDir).size(), 11u);

    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    auto expected = treeOf(root);  // dot-names are data too
    EXPECT_EQ(treeOf(out / "data.old"), expected);
    EXPECT_TRUE(fs::is_directory(out / "data.old/empty_dir"));  // from the set's tree file

    // Joining again into the same place replaces the folder whole: nothing is extended,
    // and nothing of the folder it replaced stays.
    test::writeFile(out / "data.old/extra", "gone");
    test::writeFile(out / "data.old/zero", "grown");
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(treeOf(out / "data.old"), expected);
    EXPECT_EQ(entriesIn(out.path()), std::vector<std::string>{"data.old"});
}

TEST(FolderSplit, EmptyFilesAfterTheLastByteComeBack) {
    TempDir dir;
    const std::string f = dir / "f";
    fs::create_directory(f);
    test::writeFile(f + "/data", "0123456789AB");  // ends exactly with chunk 2
    for (int i = 0; i < 6; ++i) test::writeFile(f + "/empty" + std::to_string(i), "");
    fs::create_directories(f + "/n/m");
    test::writeFile(f + "/n/m/deep_empty", "");
    auto run = splitInto(f, dir.path(), 4);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();

    const auto order = listingOrder(f);
    const auto pieces = piecesOf(run.chunkDir);
    const auto dataAt = std::find(order.begin(), order.end(), "data") - order.begin();
    // Every file after the data has an empty piece at the end of the last chunk.
    for (std::size_t i = static_cast<std::size_t>(dataAt) + 1; i < order.size(); ++i)
        EXPECT_NE(std::find(pieces.begin(), pieces.end(), Piece{order[i], 2, 4, 0}), pieces.end())
            << order[i];
    EXPECT_EQ(pieces.size(), order.size() + 2);  // data has three pieces

    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(treeOf(out / "f"), treeOf(f));

    // A folder of nothing but empty files has no chunk at all.
    const std::string g = dir / "g";
    fs::create_directories(g + "/a/b");
    test::writeFile(g + "/one", "");
    test::writeFile(g + "/a/b/two", "");
    run = splitInto(g, dir.path(), 4);
    ASSERT_TRUE(run.outcome);
    EXPECT_TRUE(chunkFilesIn(run.chunkDir).empty());
    EXPECT_EQ(piecesOf(run.chunkDir),
              (std::vector<Piece>{{listingOrder(g)[0], 0, 0, 0}, {listingOrder(g)[1], 0, 0, 0}}));
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(treeOf(out / "g"), treeOf(g));

    // A folder with no listed file at all: only its tree file says it was a folder.
    const std::string h = dir / "h";
    fs::create_directories(h + "/only_dirs");
    run = splitInto(h, dir.path(), 4);
    ASSERT_TRUE(run.outcome);
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_TRUE(fs::is_directory(out / "h/only_dirs"));
}

// A second reading of the format, written plainly from its description, must rebuild
// the same tree from our sets: other copies of the program join them this way.
TEST(FolderSplit, IndependentReaderRebuildsOurSets) {
    TempDir dir;
    const std::string f = dir / "tree";
    fs::create_directories(f + "/s");
    test::writeFile(f + "/s/big", test::patternBytes(2500, 9));
    test::writeFile(f + "/small", "12");
    test::writeFile(f + "/last", "1234");
    for (int i = 0; i < 4; ++i) test::writeFile(f + "/e" + std::to_string(i), "");
    auto run = splitInto(f, dir.path(), 506);  // 2506 bytes: five full chunks
    ASSERT_TRUE(run.outcome);

    const std::string m = test::readFile(run.chunkDir + "/spt_config.qorvelx");
    std::int32_t chunks, files;
    std::memcpy(&chunks, &m[40], 4);
    std::memcpy(&files, &m[44], 4);
    TempDir out;
    std::map<std::string, std::string> rebuilt;
    for (std::int32_t i = 0; i < files; ++i) {
        const char* rec = &m[352 + 37 * chunks + 280 * i];
        std::int32_t chunk;
        std::int64_t off, len;
        std::memcpy(&chunk, rec + 260, 4);
        std::memcpy(&off, rec + 264, 8);
        std::memcpy(&len, rec + 272, 8);
        const std::string bytes =
            test::readFile(run.chunkDir + "/tree_" + std::to_string(chunk) + ".spt");
        rebuilt[rec] += bytes.substr(static_cast<std::size_t>(off), static_cast<std::size_t>(len));
    }
    EXPECT_EQ(rebuilt, treeOf(f));
}

// A set whose records take a file up again after another file's pieces, as other copies
// may write it: each file comes back whole, its pieces in the records' order, and a name
// that comes back later is not created twice.
TEST(FolderSplit, AFileTakenUpAgainAfterAnothersPiecesComesBackWhole) {
    TempDir dir;
    const std::string set = dir / "set";
    fs::create_directory(set);
    test::writeFile(set + "/t_0.spt", "0123456789ABCDEF");
    test::writeFile(set + "/t_1.spt", "ghij");
    Manifest m;
    ASSERT_TRUE(m.setSourceName("t"));
    m.chunkCount = 2;
    m.totalSize = 20;
    const struct {
        const char* name;
        std::int32_t chunk;
        std::int64_t offset, length;
    } pieces[] = {{"a", 0, 0, 4},  {"d/b", 0, 4, 4}, {"a", 0, 8, 4},   {"c", 0, 12, 2},
                  {"a", 0, 14, 2}, {"a", 1, 0, 1},   {"d/b", 1, 1, 3}, {"e", 1, 4, 0}};
    for (const auto& p : pieces) ASSERT_TRUE(m.addFilePiece(p.name, p.chunk, p.offset, p.length));
    for (std::int32_t i = 0; i < 2; ++i) {
        char fingerprint[kDigestText] = {};
        const std::string chunk = set + "/t_" + std::to_string(i) + ".spt";
        ASSERT_TRUE(chunkFingerprint(chunk.c_str(), fingerprint));
        m.chunks.push_back({i, fingerprint});
    }
    ASSERT_TRUE(writeManifest(manifestPathOf(set), m));
    TempDir out;
    const Outcome o = joinInto(set, out.path());
    ASSERT_TRUE(o) << o.describe();
    EXPECT_EQ(treeOf(out / "t"),
              (std::map<std::string, std::string>{
                  {"a", "012389ABEFg"}, {"c", "CD"}, {"d/b", "4567hij"}, {"e", ""}}));
}

TEST(ChunkSetCheck, ReportsMatchingChangedAndMissingChunks) {
    TempDir dir;
    test::writeFile(dir / "c.bin", test::patternBytes(5000, 4));
    auto run = splitInto(dir / "c.bin", dir.path(), 2000);
    ASSERT_TRUE(run.outcome);
    ChunkSetCheck c = check(run.chunkDir);
    ASSERT_EQ(c.entries.size(), 3u);
    for (const auto& e : c.entries) EXPECT_TRUE(e.matches);
    EXPECT_TRUE(c.intact());
    EXPECT_EQ(c.chunkDir, run.chunkDir);
    EXPECT_EQ(c.entries[2].size, 1000);
    EXPECT_EQ(c.entries[1].chunkPath, run.chunkDir + "/c_1.spt");

    std::string changed = test::readFile(run.chunkDir + "/c_0.spt");
    changed[10] ^= 1;
    test::writeFile(run.chunkDir + "/c_0.spt", changed);
    fs::remove(run.chunkDir + "/c_2.spt");
    c = check(run.chunkDir);
    EXPECT_FALSE(c.entries[0].matches);
    EXPECT_TRUE(c.entries[1].matches);
    EXPECT_FALSE(c.entries[2].matches);
    EXPECT_EQ(c.entries[2].size, -1);
    EXPECT_FALSE(c.intact());

    // Every chunk matches, but the manifest lost a record it counts.
    test::writeFile(run.chunkDir + "/c_0.spt", test::patternBytes(5000, 4).substr(0, 2000));
    ASSERT_TRUE(splitInto(dir / "c.bin", dir.path(), 2000).outcome);
    const std::string m = manifestPathOf(run.chunkDir);
    fs::resize_file(m, fs::file_size(m) - 1);
    c = check(run.chunkDir);
    for (const auto& e : c.entries) EXPECT_TRUE(e.matches);
    EXPECT_FALSE(c.intact());

    // No manifest: a failure, and nothing of an earlier check stays.
    const Outcome none = checkChunkSet(dir.path(), &c);
    EXPECT_FALSE(none);
    EXPECT_EQ(none.error, ENOENT);
    EXPECT_TRUE(c.entries.empty());
    EXPECT_TRUE(c.manifest.sourceName.empty());
}

TEST(SplitFailures, RefusedBeforeAnythingIsWritten) {
    TempDir dir;
    test::writeFile(dir / "s.bin", "abc");
    auto run = splitInto(dir / "s.bin", dir.path(), 0);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, EINVAL);
    EXPECT_FALSE(test::exists(dir / "s_spt"));

    // A chunk folder path of 1023 bytes fits, but its chunk names would not.
    std::string longOut = dir.path();
    while (longOut.size() < 800) longOut.append("/").append(100, 'o');
    longOut.append("/");
    longOut.append(1000 - longOut.size(), 'o');
    fs::create_directories(longOut);
    run = splitInto(dir / "s.bin", longOut, 1);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, ENAMETOOLONG);
    EXPECT_FALSE(test::exists(longOut + "/s_spt"));

    // A folder whose relative names would not fit their records.
    const std::string deep = dir / "deep";
    fs::create_directories(deep + "/" + std::string(200, 'd'));
    test::writeFile(deep + "/" + std::string(200, 'd') + "/" + std::string(60, 'f'), "x");
    run = splitInto(deep, dir.path(), 10);
    EXPECT_TRUE(run.outcome.is(Fault::Invalid)) << run.outcome.describe();
    EXPECT_NE(run.outcome.reason.find(std::string(60, 'f')), std::string::npos);
    EXPECT_FALSE(test::exists(dir / "deep_spt"));

    // A sub-folder that cannot be listed: the set could not describe the folder, and the
    // reason goes to the caller, never to stdout.
    const std::string locked = deep + "/" + std::string(200, 'd');
    testing::internal::CaptureStdout();
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            return op == plat::Op::List && p == locked ? EACCES : 0;
        });
        run = splitInto(deep, dir.path(), 10);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, EACCES);
    EXPECT_EQ(run.outcome.path, locked);
    EXPECT_FALSE(test::exists(dir / "deep_spt"));
    for (const std::string& name : entriesIn(dir.path())) EXPECT_NE(name[0], '.') << name;
}

TEST(SplitFailures, EveryFailureReachesTheOutcome) {
    TempDir dir;
    const std::string data = test::patternBytes(3000, 5);
    test::writeFile(dir / "s.bin", data);
    const std::vector<std::string> before{"s.bin"};

    auto run = splitInto(dir / "missing.bin", dir.path(), 1000);
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.path, dir / "missing.bin");
    EXPECT_EQ(run.outcome.error, ENOENT);

    // The source changed after it was measured.
    test::SplitExtras shrink;
    shrink.afterPrepare = [&] { fs::resize_file(dir / "s.bin", 2500); };
    run = splitInto(dir / "s.bin", dir.path(), 1000, shrink);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_EQ(run.outcome.path, dir / "s.bin");
    EXPECT_EQ(entriesIn(dir.path()), before);
    test::SplitExtras grow;
    grow.afterPrepare = [&] { test::writeFile(dir / "s.bin", data + "more"); };
    run = splitInto(dir / "s.bin", dir.path(), 1000, grow);
    EXPECT_TRUE(run.outcome.is(Fault::Changed)) << run.outcome.describe();
    EXPECT_EQ(entriesIn(dir.path()), before);
    test::writeFile(dir / "s.bin", data);

    // A manifest that cannot be written.
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            return op == plat::Op::Close && p.find("spt_config") != std::string::npos ? EIO : 0;
        });
        run = splitInto(dir / "s.bin", dir.path(), 1000);
    }
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error, EIO);
    EXPECT_EQ(run.outcome.path, manifestPathOf(dir / "s_spt"));
    EXPECT_EQ(run.outcome.furtherFailures, 0);
    EXPECT_EQ(entriesIn(dir.path()), before);

    // A listed file that cannot be opened is never read, and ends the split.
    const std::string f = dir / "folder";
    fs::create_directory(f);
    test::writeFile(f + "/good", "good bytes");
    test::writeFile(f + "/locked", "secret");
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            return op == plat::Op::Open && p == f + "/locked" ? EACCES : 0;
        });
        run = splitInto(f, dir.path(), 100);
    }
    EXPECT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.path, f + "/locked");
    EXPECT_EQ(run.outcome.error, EACCES);
    EXPECT_EQ(entriesIn(dir.path()), (std::vector<std::string>{"folder", "s.bin"}));

    // An output folder that is not there yet is made.
    run = splitInto(dir / "s.bin", dir / "no/such/folder", 1000);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    EXPECT_EQ(run.chunkDir, dir / "no/such/folder/s_spt");
    EXPECT_TRUE(check(run.chunkDir).intact());
}

TEST(JoinFailures, MissingShortAndDamagedChunkSets) {
    TempDir dir;
    test::writeFile(dir / "s.bin", test::patternBytes(3000, 6));
    auto run = splitInto(dir / "s.bin", dir.path(), 1000);
    ASSERT_TRUE(run.outcome);
    TempDir out;

    EXPECT_EQ(joinInto(dir.path(), out.path()).error, ENOENT);  // no manifest

    // The set is checked whole before anything is written, and every fault is named.
    fs::rename(run.chunkDir + "/s_1.spt", dir / "aside");
    fs::resize_file(run.chunkDir + "/s_2.spt", 10);
    Outcome o = joinInto(run.chunkDir, out.path());
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find("s_1.spt"), std::string::npos) << o.reason;
    EXPECT_NE(o.reason.find("s_2.spt"), std::string::npos) << o.reason;
    EXPECT_TRUE(fs::is_empty(out.path()));
    fs::rename(dir / "aside", run.chunkDir + "/s_1.spt");

    // A chunk that is cut short while the join reads it: the join itself finds it.
    ASSERT_TRUE(splitInto(dir / "s.bin", dir.path(), 1000).outcome);
    const std::string chunk1 = run.chunkDir + "/s_1.spt";
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            if (op == plat::Op::Open && p == chunk1) ::truncate(chunk1.c_str(), 500);
            return 0;
        });
        o = joinInto(run.chunkDir, out.path());
    }
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_TRUE(fs::is_empty(out.path()));

    // Folder set: a chunk cut short while the join reads it, then a manifest cut inside
    // its file records.
    const std::string f = dir / "f";
    fs::create_directory(f);
    test::writeFile(f + "/a", test::patternBytes(1500, 1));
    test::writeFile(f + "/b", test::patternBytes(1500, 2));
    run = splitInto(f, dir.path(), 1000);
    ASSERT_TRUE(run.outcome);
    const std::string f1 = run.chunkDir + "/f_1.spt";
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            if (op == plat::Op::Open && p == f1) ::truncate(f1.c_str(), 600);
            return 0;
        });
        o = joinInto(run.chunkDir, out.path());
    }
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find("f_1.spt"), std::string::npos) << o.reason;
    EXPECT_TRUE(fs::is_empty(out.path()));

    ASSERT_TRUE(splitInto(f, dir.path(), 1000).outcome);  // fresh chunks
    const std::string m = run.chunkDir + "/spt_config.qorvelx";
    fs::resize_file(m, fs::file_size(m) - 20);
    o = joinInto(run.chunkDir, out.path());
    EXPECT_FALSE(o);
    EXPECT_TRUE(fs::is_empty(out.path()));

    // A write error on the output.
    ASSERT_TRUE(splitInto(dir / "s.bin", dir.path(), 1000).outcome);
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            return op == plat::Op::Write && p.find(out.path()) == 0 ? EIO : 0;
        });
        o = joinInto(dir / "s_spt", out.path());
    }
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, EIO);
    EXPECT_EQ(o.path, out / "s.bin");
    EXPECT_TRUE(fs::is_empty(out.path()));

    // An output folder that is not there yet is made.
    ASSERT_TRUE(joinInto(dir / "s_spt", out / "missing"));
    EXPECT_EQ(test::readFile(out / "missing/s.bin"), test::readFile(dir / "s.bin"));
}

// A chunk changed past its fingerprint after the join checked the set, just as the join
// opens it: the join's own hash, two chunks at a time, finds it whichever chunk it is, names
// it, and leaves nothing. The others, changed back, join byte for byte.
TEST(JoinFailures, AChunkChangedAsTheJoinReadsItIsFoundWhicheverItIs) {
    TempDir dir;
    const std::size_t mib = 1 << 20;
    const std::string bytes = test::patternBytes(5 * 2 * mib + 12345, 9);
    test::writeFile(dir / "s.bin", bytes);
    const auto run = splitInto(dir / "s.bin", dir.path(), 2 * mib);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    for (const int k : {0, 1, 3, 5}) {
        SCOPED_TRACE("chunk " + std::to_string(k));
        const std::string name = "s_" + std::to_string(k) + ".spt";
        const std::string chunk = run.chunkDir + "/" + name;
        const std::string before = test::readFile(chunk);
        const std::size_t at = std::min<std::size_t>(before.size() - 1, mib + 7);
        TempDir out;
        Outcome o;
        {
            bool changed = false;
            FaultGuard g([&](plat::Op op, const std::string& p) {
                if (op == plat::Op::Open && p == chunk && !changed) {
                    std::string after = before;
                    after[at] = static_cast<char>(after[at] ^ 0x5a);
                    test::writeFile(chunk, after);
                    changed = true;
                }
                return 0;
            });
            o = joinInto(run.chunkDir, out.path());
        }
        EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
        EXPECT_NE((o.path + o.reason).find(name), std::string::npos) << o.describe();
        EXPECT_TRUE(fs::is_empty(out.path()));
        test::writeFile(chunk, before);
    }
    TempDir out;
    ASSERT_TRUE(joinInto(run.chunkDir, out.path()));
    EXPECT_EQ(test::readFile(out / "s.bin"), bytes);
}

// A manifest of the same name with one record changed, put in place of the set's own at any
// moment of the join and put back at the next: the join follows only a manifest whose very
// bytes the checksum list vouches for, so it writes the set's own files or nothing.
TEST(JoinFailures, AManifestSwappedInWhileTheJoinReadsItIsNeverFollowed) {
    TempDir dir;
    const std::string f = dir / "f";
    fs::create_directory(f);
    test::writeFile(f + "/a", test::patternBytes(1500, 1));
    test::writeFile(f + "/b", test::patternBytes(700, 2));
    const auto run = splitInto(f, dir.path(), 1000);
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    const std::string manifest = manifestPathOf(run.chunkDir);
    const std::string own = test::readFile(manifest);
    Manifest other;
    ASSERT_TRUE(readManifest(run.chunkDir, &other));
    // The piece that starts inside a chunk read from the chunk's start, where the other
    // file's bytes lie: sizes, names and the tree all agree, only the bytes would be wrong.
    int moved = 0;
    for (FileRecord& r : other.files)
        if (r.pieceOffset > 0) {
            r.pieceOffset = 0;
            ++moved;
        }
    ASSERT_EQ(moved, 1);
    ASSERT_TRUE(writeManifest(dir / "other", other));
    const std::string swapped = test::readFile(dir / "other");
    ASSERT_NE(swapped, own);
    for (int at = 1; at <= 8; ++at) {
        SCOPED_TRACE("swapped at open " + std::to_string(at));
        TempDir out;
        int opens = 0;
        Outcome o;
        {
            FaultGuard g([&](plat::Op op, const std::string& p) {
                if (op != plat::Op::Open || p != manifest) return 0;
                ++opens;
                if (opens == at) test::writeFile(manifest, swapped);
                if (opens == at + 1) test::writeFile(manifest, own);
                return 0;
            });
            o = joinInto(run.chunkDir, out.path());
        }
        test::writeFile(manifest, own);
        if (o) {
            EXPECT_EQ(treeOf(out / "f"), treeOf(f));
        } else {
            EXPECT_TRUE(fs::is_empty(out.path())) << o.describe();
        }
    }
}

TEST(JoinFailures, AnIncompleteSetNeverReplacesAnExistingFile) {
    TempDir dir;
    const auto bytes = test::patternBytes(3000, 8);
    test::writeFile(dir / "s.bin", bytes);
    auto run = splitInto(dir / "s.bin", dir.path(), 1000);
    ASSERT_TRUE(run.outcome);

    // Joining next to the source, where the original still lies.
    fs::rename(run.chunkDir + "/s_1.spt", dir / "aside");
    Outcome o = joinInto(run.chunkDir, dir.path());
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find("s_1.spt: missing"), std::string::npos) << o.reason;
    EXPECT_EQ(test::readFile(dir / "s.bin"), bytes);
    fs::rename(dir / "aside", run.chunkDir + "/s_1.spt");

    fs::resize_file(run.chunkDir + "/s_2.spt", 999);
    o = joinInto(run.chunkDir, dir.path());
    EXPECT_TRUE(o.is(Fault::Damaged)) << o.describe();
    EXPECT_NE(o.reason.find("s_2.spt"), std::string::npos) << o.reason;
    EXPECT_EQ(test::readFile(dir / "s.bin"), bytes);

    // A join that fails while it writes leaves the file as it was too.
    ASSERT_TRUE(splitInto(dir / "s.bin", dir.path(), 1000).outcome);
    {
        FaultGuard g([&](plat::Op op, const std::string& p) {
            return op == plat::Op::Write && p.find(dir / ".s.bin") == 0 ? ENOSPC : 0;
        });
        o = joinInto(run.chunkDir, dir.path());
    }
    EXPECT_TRUE(o.is(Fault::NoSpace)) << o.describe();
    EXPECT_EQ(o.path, dir / "s.bin");
    EXPECT_EQ(test::readFile(dir / "s.bin"), bytes);
    EXPECT_EQ(entriesIn(dir.path()), (std::vector<std::string>{"s.bin", "s_spt"}));

    // A complete set replaces the file as before.
    test::writeFile(dir / "s.bin", test::patternBytes(10, 9));
    ASSERT_TRUE(joinInto(run.chunkDir, dir.path()));
    EXPECT_EQ(test::readFile(dir / "s.bin"), bytes);
}

TEST(JoinFailures, HostileNamesWriteNothingOutside) {
    TempDir dir;
    const std::string set = dir / "set";
    fs::create_directory(set);
    test::writeFile(set + "/x_0.spt", "PAYLOADPAYLOAD");
    const std::string out = dir / "out/inner";
    fs::create_directories(out);

    auto writeSet = [&](const char* source, std::vector<const char*> names) {
        Manifest m;
        ASSERT_TRUE(m.setSourceName(source));
        m.chunkCount = 1;
        m.totalSize = 7;  // what the one good record holds
        for (const char* n : names) ASSERT_TRUE(m.addFilePiece(n, 0, 0, 7));
        char fingerprint[kDigestText] = {};
        ASSERT_TRUE(chunkFingerprint((set + "/x_0.spt").c_str(), fingerprint));
        m.chunks.push_back({0, fingerprint});
        ASSERT_TRUE(writeManifest(manifestPathOf(set), m));
    };

    writeSet("x", {"../esc1", "/tmp/morvane-abs-esc", "a/../../esc2", "ok/fine", "a\\..\\..\\e3",
                   "", "./dot"});
    // The set is refused before anything is written, every hostile name said.
    const Outcome o = joinInto(set, out);
    EXPECT_FALSE(o);
    EXPECT_NE(o.reason.find("../esc1"), std::string::npos) << o.reason;
    EXPECT_NE(o.reason.find("a/../../esc2"), std::string::npos) << o.reason;
    EXPECT_TRUE(fs::is_empty(out));
    // The engine itself, given the set all the same, stops at the first such name.
    Manifest m;
    ASSERT_TRUE(readManifest(set, &m));
    JobControl control;
    JoinResult result;
    const Outcome engine = runJoin({set, out, out + "/.x.build"}, m, control, &result);
    EXPECT_TRUE(engine.is(Fault::Malformed)) << engine.describe();
    EXPECT_EQ(engine.furtherFailures, 0);
    fs::remove_all(out + "/.x.build");
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_FALSE(test::exists("/tmp/morvane-abs-esc"));
    EXPECT_FALSE(test::exists(dir / "out/esc1"));

    for (const char* source : {"../up", "..", "a/b", ""}) {
        writeSet(source, {"f"});
        EXPECT_FALSE(joinInto(set, out)) << source;
        writeSet(source, {});
        EXPECT_FALSE(joinInto(set, out)) << source;
    }
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_FALSE(test::exists(dir / "up"));
}

TEST(Mover, KernelAndBlockCopiesAgreeAndStopAtTheirLength) {
    TempDir dir;
    const std::string data = test::patternBytes((40 << 20) + 123, 21);  // several kernel steps
    test::writeFile(dir / "src", data);
    test::writeFile(dir / "appended", "head:");
    for (auto mode : {plat::File::Mode::WriteTruncate, plat::File::Mode::Append}) {
        const std::string target = dir / (mode == plat::File::Mode::Append ? "appended" : "fresh");
        plat::File from, to;
        ASSERT_TRUE(from.open((dir / "src").c_str(), plat::File::Mode::Read));
        ASSERT_TRUE(to.open(target.c_str(), mode));
        ASSERT_TRUE(from.seek(5));
        JobControl control;
        std::int64_t moved = 0;
        ASSERT_TRUE(moveBytes(from, to, (30 << 20) + 1, &moved, control));
        EXPECT_EQ(moved, (30 << 20) + 1);
        EXPECT_EQ(control.done(), moved);
        ASSERT_TRUE(moveBytes(from, to, 1LL << 40, &moved, control));  // the rest, then the end
        EXPECT_EQ(moved, static_cast<std::int64_t>(data.size()) - 5 - ((30 << 20) + 1));
        EXPECT_EQ(control.done(), static_cast<std::int64_t>(data.size()) - 5);
        ASSERT_TRUE(to.close());
        const std::string prefix = mode == plat::File::Mode::Append ? "head:" : "";
        EXPECT_TRUE(test::readFile(target) == prefix + data.substr(5)) << target;
    }
}
