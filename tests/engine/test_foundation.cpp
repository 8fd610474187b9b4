// Digests, the manifest format and the file-system primitives.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "platform/native.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::TempDir;

namespace {

std::string hexOf(const std::string& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : bytes) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

std::string le32(std::int32_t v) {
    return std::string(reinterpret_cast<char*>(&v), 4);
}
std::string le64(std::int64_t v) {
    return std::string(reinterpret_cast<char*>(&v), 8);
}
std::string field(const std::string& text, std::size_t size) {
    std::string f = text;
    f.resize(size, '\0');
    return f;
}

std::string header(std::int32_t chunks, std::int32_t files, std::int64_t total,
                   const std::string& digest, const std::string& name) {
    return std::string(32, '\0') + le32(2014) + le32(101) + le32(chunks) + le32(files) +
           le64(total) + field(digest, 40) + field(name, 256);
}
std::string chunkRec(std::int32_t i, const std::string& fp) {
    return le32(i) + field(fp, 33);
}
std::string fileRec(const std::string& name, std::int32_t n, std::int32_t chunk, std::int64_t off,
                    std::int64_t len) {
    return field(name, 256) + le32(n) + le32(chunk) + le64(off) + le64(len);
}

std::string fingerprintOf(const std::string& path) {
    char out[kDigestText] = {};
    EXPECT_TRUE(chunkFingerprint(path.c_str(), out));
    return out;
}

}  // namespace

TEST(Digest, KnownVectors) {
    char out[kDigestText];
    md5Hex("", 0, out);
    EXPECT_STREQ(out, "D41D8CD98F00B204E9800998ECF8427E");
    passwordDigestOf("abc", out);
    EXPECT_STREQ(out, "900150983CD24FB0D6963F7D28E17F72");

    TempDir dir;
    test::writeFile(dir / "empty", "");
    test::writeFile(dir / "abc", "abc");
    EXPECT_EQ(fingerprintOf(dir / "empty"), "0F343B0931126A20F133D67C2B018A3B");
    EXPECT_EQ(fingerprintOf(dir / "abc"), "75577E3D93745E332D39336B78DBEF57");
}

TEST(Digest, FingerprintCoversSizeAndFirst1016BytesOnly) {
    TempDir dir;
    std::string a = test::patternBytes(5000, 1);
    std::string b = a;
    b[1016] ^= 0x55;  // beyond the head
    test::writeFile(dir / "a", a);
    test::writeFile(dir / "b", b);
    EXPECT_EQ(fingerprintOf(dir / "a"), fingerprintOf(dir / "b"));
    b[1015] ^= 0x55;
    test::writeFile(dir / "b", b);
    EXPECT_NE(fingerprintOf(dir / "a"), fingerprintOf(dir / "b"));
    test::writeFile(dir / "b", a + "x");
    EXPECT_NE(fingerprintOf(dir / "a"), fingerprintOf(dir / "b"));

    char untouched[kDigestText] = "keep";
    EXPECT_FALSE(chunkFingerprint((dir / "missing").c_str(), untouched));
    EXPECT_STREQ(untouched, "keep");
}

TEST(Digest, CheckPassword) {
    char stored[kDigestText];
    passwordDigestOf("Secret 1", stored);
    EXPECT_EQ(checkPassword("Secret 1", stored), 1);
    EXPECT_EQ(checkPassword("secret 1", stored), 0);
    EXPECT_EQ(checkPassword("Secret 1 ", stored), 0);
    EXPECT_EQ(checkPassword("", stored), 0);
    EXPECT_EQ(checkPassword(nullptr, stored), -1);
    EXPECT_EQ(checkPassword("Secret 1", nullptr), -1);
    std::string lower = stored;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(checkPassword("Secret 1", lower.c_str()), 0);
}

TEST(Manifest, FieldsThatDoNotFitAreRefusedNeverCut) {
    Manifest m;
    EXPECT_TRUE(m.setSourceName(std::string(255, 'n')));
    const Outcome tooLong = m.setSourceName(std::string(256, 'n'));
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(tooLong.error, ENAMETOOLONG);
    EXPECT_EQ(m.sourceName, std::string(255, 'n'));  // the refused name changed nothing

    EXPECT_FALSE(m.addFilePiece(std::string(256, 'r'), 0, 0, 0));
    EXPECT_FALSE(m.addFilePiece(std::string("a\0b", 3), 0, 0, 0));
    EXPECT_EQ(m.fileCount, 0);
    EXPECT_TRUE(m.files.empty());
    EXPECT_FALSE(m.isFolderSet());

    m.protectWith("pw");
    char expect[kDigestText];
    passwordDigestOf("pw", expect);
    EXPECT_EQ(m.passwordDigest, expect);
    EXPECT_TRUE(m.isProtected());

    // The writer refuses what the setters would have; an existing manifest stays whole.
    TempDir dir;
    const std::string path = manifestPathOf(dir.path());
    test::writeFile(path, "previous");
    for (int i = 0; i < 4; ++i) {
        Manifest bad = m;
        if (i == 0) bad.sourceName = std::string(256, 'n');
        if (i == 1) bad.passwordDigest = std::string(40, 'F');
        if (i == 2) bad.chunks.push_back({0, std::string(33, 'F')});
        if (i == 3) bad.files.push_back({std::string(256, 'r'), 0, 0, 0, 1});
        const Outcome o = writeManifest(path, bad);
        EXPECT_FALSE(o) << i;
        EXPECT_EQ(o.error, ENAMETOOLONG) << i;
        EXPECT_EQ(test::readFile(path), "previous") << i;
    }

    // The manifest path of a 1004-byte folder is 1023 bytes and fits; one more does not.
    std::string folder = "/no-such-folde";
    while (folder.size() < 1004) folder += "/d";
    ASSERT_EQ(folder.size(), 1004u);
    EXPECT_NE(writeManifest(manifestPathOf(folder), m).error, ENAMETOOLONG);
    EXPECT_EQ(writeManifest(manifestPathOf(folder + "d"), m).error, ENAMETOOLONG);
    Manifest read;
    EXPECT_EQ(readManifest(folder + "d", &read).error, ENAMETOOLONG);
}

TEST(Manifest, WorkedSingleFileExampleByteForByte) {
    TempDir dir;
    const std::string set = dir / "notes_spt";
    ASSERT_TRUE(test::makeFolder(set));
    Manifest m;
    ASSERT_TRUE(m.setSourceName("notes.txt"));
    m.chunkCount = 3;
    m.totalSize = 10;
    const char* parts[] = {"abcd", "efgh", "ij"};
    for (int i = 0; i < 3; ++i) {
        const std::string chunk = chunkPathOf(set, stemOf(m.sourceName), i);
        test::writeFile(chunk, parts[i]);
        m.chunks.push_back({i, fingerprintOf(chunk)});
    }
    ASSERT_EQ(set + "/notes_2.spt", chunkPathOf(set, "notes", 2));
    ASSERT_TRUE(writeManifest(manifestPathOf(set), m));

    const std::string expected = header(3, 0, 10, "", "notes.txt") +
                                 chunkRec(0, "6720C88FC581CC80952964FE24491A34") +
                                 chunkRec(1, "A381384A4F4772634D4E7EC69B85014C") +
                                 chunkRec(2, "4A6D161D6190987283018E510E14B267");
    const std::string written = test::readFile(set + "/spt_config.qorvelx");
    ASSERT_EQ(written.size(), 463u);
    EXPECT_EQ(hexOf(written), hexOf(expected));
}

// A manifest of more records than one block holds goes out in blocks of at most 1 MiB, each
// ending on a record, and together they are the bytes of the format, every record in place.
TEST(Manifest, AManifestOfManyRecordsIsWrittenInBlocksOfWholeRecords) {
    Manifest m;
    ASSERT_TRUE(m.setSourceName("many"));
    m.chunkCount = 1;
    m.totalSize = 5000;
    m.chunks.push_back({0, "63B197E450A5F066EB4D64C3F607F569"});
    std::string expected =
        header(1, 5000, 5000, "", "many") + chunkRec(0, "63B197E450A5F066EB4D64C3F607F569");
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "d/f" + std::to_string(i);
        ASSERT_TRUE(m.addFilePiece(name, 0, i, 1));
        expected += fileRec(name, i, 0, i, 1);
    }
    std::string streamed;
    std::vector<std::size_t> blocks;
    ASSERT_TRUE(encodeManifest(m, [&](const char* bytes, std::size_t size) {
        blocks.push_back(size);
        streamed.append(bytes, size);
        return Outcome::success();
    }));
    ASSERT_GE(blocks.size(), 2u);
    for (std::size_t size : blocks) EXPECT_LE(size, std::size_t{1} << 20);
    EXPECT_EQ(streamed.size(), expected.size());
    EXPECT_TRUE(streamed == expected);
    // A sink that fails stops the encoding with its failure.
    int calls = 0;
    const Outcome stopped = encodeManifest(m, [&](const char*, std::size_t) {
        ++calls;
        return Outcome::systemFailure("sink", ENOSPC);
    });
    EXPECT_TRUE(stopped.is(Fault::NoSpace));
    EXPECT_EQ(calls, 1);

    // Read back, a block of records at a time: every record, and cut short in the middle
    // of a record past the first block, the records before the cut and the one it cuts,
    // read as zeros past the end.
    TempDir dir;
    ASSERT_TRUE(test::makeFolder(dir / "many_spt"));
    for (const std::size_t keep : {expected.size(), expected.size() - 280 * 500 - 100}) {
        SCOPED_TRACE(keep);
        test::writeFile(dir / "many_spt/spt_config.qorvelx", expected.substr(0, keep));
        Manifest read;
        ASSERT_TRUE(readManifest(dir / "many_spt", &read));
        const std::size_t whole = keep == expected.size() ? 5000 : 4499;
        EXPECT_EQ(read.recordsCutShort, whole < 5000);
        ASSERT_EQ(read.files.size(), whole < 5000 ? whole + 1 : whole);
        for (std::size_t i = 0; i < read.files.size(); ++i) {
            ASSERT_EQ(read.files[i].relativeName, "d/f" + std::to_string(i));
            ASSERT_EQ(read.files[i].pieceOffset, i < whole ? static_cast<std::int64_t>(i) : 0);
        }
    }
}

TEST(Manifest, WorkedFolderExampleByteForByte) {
    TempDir dir;
    const std::string set = dir / "box_spt";
    ASSERT_TRUE(test::makeFolder(set));
    Manifest m;
    ASSERT_TRUE(m.setSourceName("box"));
    m.chunkCount = 2;
    m.totalSize = 8;
    test::writeFile(set + "/box_0.spt", "1234");
    ASSERT_TRUE(m.addFilePiece("a", 0, 0, 4));
    m.chunks.push_back({0, fingerprintOf(set + "/box_0.spt")});
    test::writeFile(set + "/box_1.spt", "5678");
    ASSERT_TRUE(m.addFilePiece("a", 1, 0, 1));
    ASSERT_TRUE(m.addFilePiece("b", 1, 1, 3));
    m.chunks.push_back({1, fingerprintOf(set + "/box_1.spt")});
    EXPECT_EQ(m.fileCount, 3);
    EXPECT_EQ(m.distinctFiles(), 2);
    ASSERT_TRUE(writeManifest(manifestPathOf(set), m));

    const std::string expected =
        header(2, 3, 8, "", "box") + chunkRec(0, "63B197E450A5F066EB4D64C3F607F569") +
        chunkRec(1, "6CFA29A6A7BC8E41176256B3724BFD59") + fileRec("a", 0, 0, 0, 4) +
        fileRec("a", 1, 1, 0, 1) + fileRec("b", 2, 1, 1, 3);
    const std::string written = test::readFile(set + "/spt_config.qorvelx");
    ASSERT_EQ(written.size(), 1266u);
    EXPECT_EQ(hexOf(written), hexOf(expected));

    // Reading it back gives the same value.
    Manifest back;
    ASSERT_TRUE(readManifest(set, &back));
    EXPECT_EQ(back.chunkCount, 2);
    EXPECT_EQ(back.fileCount, 3);
    EXPECT_EQ(back.totalSize, 8);
    EXPECT_EQ(back.sourceName, "box");
    EXPECT_FALSE(back.isProtected());
    ASSERT_EQ(back.files.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.files[i].relativeName, m.files[i].relativeName);
        EXPECT_EQ(back.files[i].recordNumber, m.files[i].recordNumber);
        EXPECT_EQ(back.files[i].chunkIndex, m.files[i].chunkIndex);
        EXPECT_EQ(back.files[i].pieceOffset, m.files[i].pieceOffset);
        EXPECT_EQ(back.files[i].pieceLength, m.files[i].pieceLength);
    }
    ASSERT_EQ(back.chunks.size(), 2u);
    EXPECT_EQ(back.chunks[1].chunkIndex, 1);
    EXPECT_EQ(back.chunks[1].fingerprint, "6CFA29A6A7BC8E41176256B3724BFD59");
    EXPECT_FALSE(back.recordsCutShort);
    EXPECT_EQ(back.distinctFiles(), 2);
}

TEST(Manifest, DamagedAndHostileFiles) {
    TempDir dir;
    const std::string m = dir / "spt_config.qorvelx";
    const std::string full =
        header(2, 1, 8, "", "box") + chunkRec(0, "A") + chunkRec(1, "B") + fileRec("a", 0, 0, 0, 8);
    Manifest read;

    // Missing, and wrong format constants: a failure, and nothing of an earlier read stays.
    test::writeFile(m, full);
    ASSERT_TRUE(readManifest(dir.path(), &read));
    ASSERT_EQ(read.chunks.size(), 2u);
    std::filesystem::remove(m);
    EXPECT_EQ(readManifest(dir.path(), &read).error, ENOENT);
    std::string wrong = full;
    wrong[36] = 102;
    test::writeFile(m, wrong);
    read.chunks.resize(3);
    const Outcome why = readManifest(dir.path(), &read);
    EXPECT_FALSE(why);
    EXPECT_EQ(why.path, m);
    EXPECT_TRUE(read.chunks.empty());
    EXPECT_EQ(read.chunkCount, 0);

    // Cut inside the file record: loads, the rest reads as zeros, and the cut is known.
    test::writeFile(m, full.substr(0, full.size() - 20));
    ASSERT_TRUE(readManifest(dir.path(), &read));
    ASSERT_EQ(read.files.size(), 1u);
    EXPECT_EQ(read.files[0].relativeName, "a");
    EXPECT_EQ(read.files[0].pieceLength, 0);
    EXPECT_TRUE(read.recordsCutShort);

    // Cut inside the header: the counts read as zeros past the cut.
    test::writeFile(m, full.substr(0, 44));
    ASSERT_TRUE(readManifest(dir.path(), &read));
    EXPECT_EQ(read.chunkCount, 2);
    EXPECT_EQ(read.fileCount, 0);

    // Absurd counts allocate only what the file can hold.
    test::writeFile(m, header(0x7FFFFFFF, 0x7FFFFFFF, 8, "", "x") + chunkRec(0, "A"));
    ASSERT_TRUE(readManifest(dir.path(), &read));
    EXPECT_EQ(read.chunks.size(), 1u);
    EXPECT_TRUE(read.files.empty());
    EXPECT_TRUE(read.recordsCutShort);
    test::writeFile(m, header(-5, -1, 8, "", "x"));
    ASSERT_TRUE(readManifest(dir.path(), &read));
    EXPECT_TRUE(read.chunks.empty());
    EXPECT_FALSE(read.isFolderSet());

    // Text fields end at their first NUL, even when garbage follows, or at the field's end.
    std::string garbage = full;
    garbage[96 + 3] = '\0';
    garbage[96 + 4] = 'Z';
    std::memset(&garbage[56], 'F', 40);  // a digest with no NUL at all
    test::writeFile(m, garbage);
    ASSERT_TRUE(readManifest(dir.path(), &read));
    EXPECT_EQ(read.sourceName, "box");
    EXPECT_EQ(read.passwordDigest, std::string(40, 'F'));

    // A second manifest replaces the first one's records entirely.
    test::writeFile(m, header(1, 0, 3, "", "one") + chunkRec(0, "C"));
    ASSERT_TRUE(readManifest(dir.path(), &read));
    ASSERT_EQ(read.chunks.size(), 1u);
    EXPECT_EQ(read.chunks[0].fingerprint, "C");
    EXPECT_TRUE(read.files.empty());
    EXPECT_FALSE(read.recordsCutShort);
}

TEST(Primitives, BaseNameAndStemWithGb18030Names) {
    char out[kPathField] = {};
    EXPECT_EQ(baseName(nullptr, out, sizeof out), -1);
    EXPECT_EQ(baseName("/data/in/movie.part1.mkv", out, sizeof out), 0);
    EXPECT_STREQ(out, "movie.part1.mkv");
    cutAtFirstDot(out);
    EXPECT_STREQ(out, "movie");

    std::memset(out, 0, sizeof out);
    EXPECT_EQ(baseName("C:/data/", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(baseName("file.txt", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(baseName("C:\\in\\x.bin", out, sizeof out), 0);
    EXPECT_STREQ(out, "x.bin");

    // 乗 and 匼 end in 0x5C; they are not separators.
    EXPECT_EQ(baseName("/in/\x81\x5C\x85\x5C.tar.gz", out, sizeof out), 0);
    EXPECT_STREQ(out, "\x81\x5C\x85\x5C.tar.gz");
    cutAtFirstDot(out);
    EXPECT_STREQ(out, "\x81\x5C\x85\x5C");
    EXPECT_EQ(baseName("/in\\\x81\x5C/\x81\x30\x8A\x39\x81\x5C", out, sizeof out), 0);
    EXPECT_STREQ(out, "\x81\x30\x8A\x39\x81\x5C");

    char dotted[] = ".profile";
    cutAtFirstDot(dotted);
    EXPECT_STREQ(dotted, "");
    char plain[] = "abc";
    cutAtFirstDot(plain);
    EXPECT_STREQ(plain, "abc");

    char tiny[4] = "old";
    EXPECT_EQ(baseName("/x/toolong", tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "old");
}

TEST(Primitives, MakeParentDirsCreatesEveryLevelButTheFile) {
    MORVANE_NEEDS_GB18030();
    TempDir dir;
    const std::string target = dir.path() +
                               "/set/\x81\x5C"
                               "sub/file.bin";
    std::vector<std::string> made;
    ASSERT_TRUE(makeParentDirs(target, &made));
    EXPECT_TRUE(test::exists(dir / ("set/" + test::nativeOf("\x81\x5C") + "sub")));
    EXPECT_FALSE(test::exists(dir / ("set/" + test::nativeOf("\x81\x5C") + "sub/file.bin")));
    // Only the levels this call made, parents first: a caller removes exactly those.
    EXPECT_EQ(made, (std::vector<std::string>{dir / "set", dir.path() + "/set/\x81\x5C"
                                                                        "sub"}));
    made.clear();
    EXPECT_TRUE(makeParentDirs(target, &made));  // existing folders are fine
    EXPECT_TRUE(made.empty());
    // A trailing separator makes the named folder itself.
    ASSERT_TRUE(makeParentDirs(dir / "set/leaf/", &made));
    EXPECT_EQ(made, std::vector<std::string>{dir / "set/leaf"});
    EXPECT_TRUE(std::filesystem::is_directory(dir / "set/leaf"));
    EXPECT_EQ(makeDir((dir / "set").c_str()).error, EEXIST);
    EXPECT_EQ(makeDir((dir / "no/such").c_str()).error, ENOENT);
}

TEST(Primitives, FolderListingOrderSizesAndSkipRules) {
    TempDir dir;
    const std::string f = dir / "F";
    ASSERT_TRUE(test::makeFolder(f));
    test::writeFile(f + "/a", "aaaaa");
    ASSERT_TRUE(test::makeFolder(f + "/sub"));
    test::writeFile(f + "/sub/x", "xx");
    test::writeFile(f + "/sub/y", "");
    ASSERT_TRUE(test::makeFolder(f + "/sub/deeper"));
    test::writeFile(f + "/sub/deeper/z", "zzz");
    test::writeFile(f + "/z", "1");
    ASSERT_TRUE(test::makeFolder(f + "/empty"));
    ASSERT_TRUE(test::makeFolder(f + "/.git"));
    test::writeFile(f + "/.git/config", "hidden");
    test::writeFile(f + "/.profile", "hidden");
#ifndef _WIN32
    // Windows has no FIFOs and wine makes no links: there the rest runs without them.
    ASSERT_EQ(::symlink("..", (f + "/sub/up").c_str()), 0);  // a loop if followed
    ASSERT_EQ(::symlink("a", (f + "/link_a").c_str()), 0);   // a link, not a second a
    ASSERT_EQ(::mkfifo((f + "/pipe").c_str(), 0644), 0);
#endif

    std::vector<std::string> list;
    ASSERT_TRUE(listFolderFiles(f.c_str(), true, &list));
    std::vector<std::string> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    // Every name is data: dot-names are listed; links and the FIFO hold no bytes to store.
    EXPECT_EQ(sorted, (std::vector<std::string>{f + "/.git/config", f + "/.profile", f + "/a",
                                                f + "/sub/deeper/z", f + "/sub/x", f + "/sub/y",
                                                f + "/z"}));
    // Depth-first: the files of sub stand together, where sub stood.
    auto first = std::find_if(list.begin(), list.end(),
                              [&](const std::string& p) { return p.rfind(f + "/sub/", 0) == 0; });
    ASSERT_NE(first, list.end());
    EXPECT_TRUE(std::all_of(first, first + 3,
                            [&](const std::string& p) { return p.rfind(f + "/sub/", 0) == 0; }));

    std::int64_t sum = 0;
    for (const auto& p : list) sum += fileSize(p.c_str());
    EXPECT_EQ(folderSize(f.c_str()), sum);
    EXPECT_EQ(sum, 6 + 6 + 5 + 3 + 2 + 0 + 1);
    EXPECT_EQ(pathSize(f.c_str()), sum);
    EXPECT_EQ(pathSize((f + "/a").c_str()), 5);
#ifndef _WIN32
    EXPECT_EQ(pathSize((f + "/pipe").c_str()), -1);
    EXPECT_EQ(pathKind((f + "/pipe").c_str()), -1);
#endif
    EXPECT_EQ(pathKind(f.c_str()), 1);
    EXPECT_EQ(pathKind((f + "/a").c_str()), 0);
    EXPECT_EQ(pathKind((f + "/none").c_str()), -1);

    std::vector<std::string> flat;
    ASSERT_TRUE(listFolderFiles(f.c_str(), false, &flat));
    EXPECT_EQ(flat.size(), 3u);  // a, z and .profile

    const std::string dots = dir / "dots";
    ASSERT_TRUE(test::makeFolder(dots));
    test::writeFile(dots + "/.only", "x");
    EXPECT_EQ(folderSize(dots.c_str()), 1);
}

TEST(Primitives, UnlistableFolderFailsTheWholeMeasurement) {
    TempDir dir;
    const std::string f = dir / "F";
    ASSERT_TRUE(test::makeFolder(f));
    ASSERT_TRUE(test::makeFolder(f + "/locked"));
    test::writeFile(f + "/a", "abc");
    plat::setFaultHook([&](plat::Op op, const std::string& p) {
        return (op == plat::Op::List && p == f + "/locked") ? EACCES : 0;
    });
    Outcome why;
    testing::internal::CaptureStdout();
    const std::int64_t size = folderSize(f.c_str(), &why);
    std::vector<std::string> list;
    const Outcome listed = listFolderFiles(f.c_str(), true, &list);
    const std::string printed = testing::internal::GetCapturedStdout();
    plat::setFaultHook(nullptr);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(why.path, f + "/locked");
    EXPECT_EQ(why.error, EACCES);
    EXPECT_FALSE(listed);
    EXPECT_EQ(printed, "");  // the engine reports through its outcome, never on stdout
}

TEST(Primitives, PathsLongerThanTheFieldsAreRefused) {
    TempDir dir;
    // Build a real folder whose path is just below the limit, then one name too many.
    std::string deep = dir.path();
    while (deep.size() < 900) {
        deep.append("/").append(100, 'd');
        ASSERT_TRUE(test::makeFolder(deep));
    }
    const std::string name(1023 - deep.size() - 1, 'f');
    test::writeFile(deep + "/" + name, "fits");
    std::vector<std::string> list;
    ASSERT_TRUE(listFolderFiles(dir.path().c_str(), true, &list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].size(), 1023u);

    test::writeFile(deep + "/" + name + "g", "does not fit");
    list.clear();
    const Outcome o = listFolderFiles(dir.path().c_str(), true, &list);
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, ENAMETOOLONG);
    EXPECT_EQ(folderSize(dir.path().c_str()), -1);
    EXPECT_FALSE(makeParentDirs(deep + "/" + std::string(200, 'x')));
}
