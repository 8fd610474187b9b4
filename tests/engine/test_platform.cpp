// The native layer: text conversion, listing rules, files and the fault seam.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/encoding.h"
#include "platform/names.h"
#include "platform/native.h"
#include "temp_dir.h"

using namespace morvane;
using namespace morvane::plat;
using morvane::test::TempDir;

namespace {

const std::string kNorikae = "\xE4\xB9\x97";  // U+4E57, GB18030 81 5C
const std::string kKou = "\xE5\x8C\xBC";      // U+533C, GB18030 85 5C

// Wine has no GB18030 converter (code page 54936); ASCII still works there.
bool hasGb18030() {
#ifdef _WIN32
    return MultiByteToWideChar(54936, MB_ERR_INVALID_CHARS, "\x81\x5C", 2, nullptr, 0) > 0;
#else
    return true;
#endif
}

}  // namespace

TEST(Encoding, GbkCharactersKeepGbkBytesAndOthersRoundTrip) {
    MORVANE_NEEDS_GB18030();
    std::string gb;
    ASSERT_TRUE(toEngineText(std::string("\xE8\xA1\xA8\xE4\xB8\xAD"), &gb));  // 表中
    EXPECT_EQ(gb, "\xB1\xED\xD6\xD0");
    ASSERT_TRUE(toEngineText(kNorikae + kKou, &gb));
    EXPECT_EQ(gb, "\x81\x5C\x85\x5C");

    // Characters GBK lacks get four-byte codes instead of "?".
    const std::string others =
        "ma\xC3\xB1"
        "ana-\xC3\xB6\xC3\x9F-\xED\x95\x9C-\xF0\x9F\x98\x80";
    ASSERT_TRUE(toEngineText(others, &gb));
    EXPECT_EQ(gb.find('?'), std::string::npos);
    std::string back;
    ASSERT_TRUE(toNativeText(gb, &back));
    EXPECT_EQ(back, others);

    EXPECT_EQ(fromEngineText(gb), QString::fromUtf8(others.c_str()));
    ASSERT_TRUE(toEngineText(QString::fromUtf8(others.c_str()), &back));
    EXPECT_EQ(back, gb);
}

TEST(Encoding, TextThatCannotBeConvertedIsRefused) {
    std::string out = "unchanged";
    EXPECT_FALSE(toEngineText(std::string("bad\xFF\xFEutf8"), &out));
    EXPECT_FALSE(toNativeText(std::string("lone lead \x81"), &out));
    EXPECT_FALSE(toNativeText(std::string("\x80"), &out));
}

TEST(Encoding, CharLengthStepsOverTrailBytes) {
    const std::string s = "a\x81\x5C\x81\x30\x8A\x39/";
    const char* end = s.data() + s.size();
    EXPECT_EQ(charLength(s.data(), end), 1u);
    EXPECT_EQ(charLength(s.data() + 1, end), 2u);
    EXPECT_EQ(charLength(s.data() + 3, end), 4u);
    EXPECT_EQ(charLength(s.data() + 7, end), 1u);
    // A lead byte at the very end never reaches past it.
    const std::string cut = "\x81";
    EXPECT_EQ(charLength(cut.data(), cut.data() + 1), 1u);
}

namespace {

std::vector<std::string> names(const std::vector<DirEntry>& entries, Kind kind) {
    std::vector<std::string> out;
    for (const auto& e : entries)
        if (e.kind == kind) out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace
TEST(Listing, TakesFilesAndFoldersAndSkipsWhatCannotBeRead) {
    TempDir dir;
    test::writeFile(dir / "plain", "abc");
    ASSERT_TRUE(test::makeFolder(dir / "sub"));
#ifdef _WIN32
    // Windows has no FIFOs and wine makes no links: a plain file and a folder only.
    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
    EXPECT_EQ(names(entries, Kind::File), (std::vector<std::string>{"plain"}));
    EXPECT_EQ(names(entries, Kind::Folder), (std::vector<std::string>{"sub"}));
    EXPECT_EQ(names(entries, Kind::Other), (std::vector<std::string>{}));
#else
    ASSERT_EQ(::symlink("plain", (dir / "to_file").c_str()), 0);
    ASSERT_EQ(::symlink(".", (dir / "loop_dir").c_str()), 0);
    ASSERT_EQ(::symlink("self", (dir / "self").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);

    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
    EXPECT_EQ(names(entries, Kind::File), (std::vector<std::string>{"plain", "to_file"}));
    EXPECT_EQ(names(entries, Kind::Folder), (std::vector<std::string>{"sub"}));
    EXPECT_EQ(names(entries, Kind::Other),
              (std::vector<std::string>{"dangling", "fifo", "loop_dir", "self"}));
#endif
    for (const auto& e : entries) {
        if (e.kind == Kind::File) {
            EXPECT_EQ(e.size, 3);
        }
    }
}

TEST(Listing, NamesComeBackAsEngineTextAndUnconvertibleNamesAreErrors) {
    MORVANE_NEEDS_GB18030();
    TempDir dir;
    test::writeFile(dir / (kNorikae + "x"), "1");
    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "\x81\x5Cx");

#ifndef _WIN32
    // Windows names are UTF-16 text: a name that is no text cannot be made there.
    test::writeFile(dir / "latin1-\xE9", "2");  // not UTF-8
    entries.clear();
    const Outcome o = listDirectory(dir.path().c_str(), &entries);
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, EILSEQ);
    EXPECT_NE(o.reason.find("\\xE9"), std::string::npos) << o.reason;
#endif
}

TEST(Files, ReadWriteSeekAndModes) {
    MORVANE_NEEDS_GB18030();
    TempDir dir;
    const std::string gbName = dir.path() + "/\x81\x5C.bin";  // engine text
    File f;
    ASSERT_TRUE(f.open(gbName.c_str(), File::Mode::WriteTruncate));
    ASSERT_TRUE(f.write("hello world", 11));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(test::readFile(dir / (kNorikae + ".bin")), "hello world");

    ASSERT_TRUE(f.open(gbName.c_str(), File::Mode::Append));
    ASSERT_TRUE(f.write("!", 1));
    ASSERT_TRUE(f.close());

    ASSERT_TRUE(f.open(gbName.c_str(), File::Mode::Read));
    ASSERT_TRUE(f.seek(6));
    char buf[16] = {};
    std::size_t got = 0;
    ASSERT_TRUE(f.read(buf, sizeof buf, &got));
    EXPECT_EQ(std::string(buf, got), "world!");
    ASSERT_TRUE(f.read(buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
    std::int64_t size = 0;
    ASSERT_TRUE(f.size(&size));
    EXPECT_EQ(size, 12);

    const Outcome missing = File().open((dir / "none").c_str(), File::Mode::Read);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(missing.path, dir / "none");
    EXPECT_NE(missing.describe().find("No such file"), std::string::npos);

#ifndef _WIN32
    // A folder opens for reading only on POSIX systems.
    File folder;
    ASSERT_TRUE(folder.open(dir.path().c_str(), File::Mode::Read));
    EXPECT_EQ(folder.read(buf, sizeof buf, &got).error, EISDIR);
    EXPECT_EQ(File().open(dir.path().c_str(), File::Mode::WriteTruncate).error, EISDIR);
#endif
    EXPECT_EQ(File().open("bad\x81", File::Mode::Read).error, EILSEQ);
}

TEST(Files, FaultSeamInjectsFailures) {
    TempDir dir;
    const std::string target = dir / "victim";
    setFaultHook([&](Op op, const std::string& path) {
        return (op == Op::Write && path == target) ? ENOSPC : 0;
    });
    File f;
    ASSERT_TRUE(f.open(target.c_str(), File::Mode::WriteTruncate));
    const Outcome o = f.write("x", 1);
    setFaultHook(nullptr);
    EXPECT_FALSE(o);
    EXPECT_EQ(o.error, ENOSPC);
    EXPECT_TRUE(f.write("x", 1));
}

TEST(OutcomeTest, KeepsTheFirstFailureAndCountsTheRest) {
    Outcome all;
    all.absorb(Outcome::success());
    EXPECT_TRUE(all);
    all.absorb(Outcome::systemFailure("/a", ENOENT));
    all.absorb(Outcome::systemFailure("/b", EIO));
    all.absorb(Outcome::systemFailure("/c", EIO));
    EXPECT_FALSE(all);
    EXPECT_EQ(all.path, "/a");
    EXPECT_EQ(all.furtherFailures, 2);
    EXPECT_EQ(all.describe(), "/a: No such file or directory (and 2 more failures)");
}

// Names that travel from Linux to Windows: what Windows would read as a device, a stream, a
// separator, or fold into another name, is named; everything else passes, whatever its bytes.
TEST(Names, WhatWindowsCannotHoldIsNamedAndTheRestPasses) {
    for (const std::string& bad : std::vector<std::string>{
             "CON", "con.txt", "Aux.tar.gz", "NUL", "lpt1.log", "COM9", "a:b", "x\\y", "what?",
             "star*", "pipe|", "<", "q\"", "trailing.", "trailing ", std::string("tab\tname")})
        EXPECT_NE(windowsNameProblem(bad), "") << bad;
    // 乗 and 匼 as engine text, written out: their second byte is "\\".
    for (const std::string& good : std::vector<std::string>{"console", "COM10", "aux_files",
                                                            "nul0.txt", "a.b.c", ".hidden", "x y",
                                                            "\x81\x5C"
                                                            "a",
                                                            "\x85\x5C"})
        EXPECT_EQ(windowsNameProblem(good), "") << good;
#ifndef _WIN32
    // Linux holds every name a set can carry.
    EXPECT_EQ(nameProblemHere("a:b"), "");
#endif
}

// What follows runs against the interface on every system.

TEST(Files, CreateNewRenameAndReadAtKeepTheirPromises) {
    TempDir dir;
    const std::string a = dir / "a";
    const std::string b = dir / "b";
    File f;
    ASSERT_TRUE(f.open(a.c_str(), File::Mode::CreateNew));
    ASSERT_TRUE(f.write("0123456789", 10));
    // A read at an offset leaves the position where the next write goes.
    char buf[8] = {};
    std::size_t got = 0;
    ASSERT_TRUE(f.readAt(buf, 4, 3, &got));
    EXPECT_EQ(std::string(buf, got), "3456");
    ASSERT_TRUE(f.readAt(buf, 4, 10, &got));
    EXPECT_EQ(got, 0u);
    std::int64_t at = 0;
    ASSERT_TRUE(f.position(&at));
    EXPECT_EQ(at, 10);
    ASSERT_TRUE(f.write("!", 1));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(test::readFile(a), "0123456789!");

    const Outcome taken = File().open(a.c_str(), File::Mode::CreateNew);
    EXPECT_TRUE(taken.is(Fault::Exists)) << taken.describe();
    EXPECT_EQ(taken.error, EEXIST);
    EXPECT_EQ(test::readFile(a), "0123456789!");

    test::writeFile(b, "new");
    FileIdentity moved;
    ASSERT_TRUE(linkIdentity(b.c_str(), &moved));
    ASSERT_TRUE(renamePath(b.c_str(), a.c_str()));
    EXPECT_FALSE(pathExists(b.c_str()));
    std::string bytes;
    ASSERT_TRUE(readWholeFile(a.c_str(), 100, &bytes));
    EXPECT_EQ(bytes, "new");
    FileIdentity now;
    ASSERT_TRUE(linkIdentity(a.c_str(), &now));
    EXPECT_EQ(now.device, moved.device);
    EXPECT_EQ(now.inode, moved.inode);

    const Outcome missing = File().open((dir / "none").c_str(), File::Mode::Read);
    EXPECT_TRUE(missing.is(Fault::NotFound)) << missing.describe();
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_FALSE(File().open(dir.path().c_str(), File::Mode::WriteTruncate));
}

TEST(Files, HolesReadBackAsZerosAndRangesCoverTheData) {
    TempDir dir;
    const std::string path = dir / "sparse";
    File f;
    ASSERT_TRUE(f.open(path.c_str(), File::Mode::WriteTruncate));
    ASSERT_TRUE(f.seek(1 << 20));
    ASSERT_TRUE(f.write("x", 1));
    ASSERT_TRUE(f.truncate(3 << 20));
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    ASSERT_TRUE(f.dataRanges(&ranges));
    ASSERT_TRUE(f.close());
    bool covered = false;
    std::int64_t end = 0;
    for (const auto& [offset, length] : ranges) {
        EXPECT_GE(offset, end);
        end = offset + length;
        covered = covered || (offset <= (1 << 20) && (1 << 20) < end);
    }
    EXPECT_TRUE(covered);
    EXPECT_LE(end, 3 << 20);
    std::string expected(3 << 20, '\0');
    expected[1 << 20] = 'x';
    std::string bytes;
    ASSERT_TRUE(readWholeFile(path.c_str(), 4 << 20, &bytes));
    EXPECT_TRUE(bytes == expected);
}

TEST(NameLockTest, BusyWhileHeldAndFreeOnceReleased) {
    TempDir dir;
    const std::string lockPath = dir / ".lock";
    NameLock one;
    NameLock two;
    ASSERT_TRUE(one.acquire(lockPath));
    const Outcome busy = two.acquire(lockPath);
    EXPECT_TRUE(busy.is(Fault::Busy)) << busy.describe();
    EXPECT_EQ(busy.error, EWOULDBLOCK);
    one.release();
    EXPECT_FALSE(pathExists(lockPath.c_str()));
    ASSERT_TRUE(two.acquire(lockPath));
    EXPECT_TRUE(pathExists(lockPath.c_str()));
    EXPECT_FALSE(one.acquire(lockPath));
}

TEST(Attributes, ModeAndTimeComeBackAndReadOnlyFilesStillGo) {
    TempDir dir;
    const std::string sub = dir / "sub";
    const std::string file = sub + "/f";
    ASSERT_TRUE(createDirectory(sub.c_str()));
    EXPECT_TRUE(createDirectory(sub.c_str()).is(Fault::Exists));
    test::writeFile(file, "abc");
    // Before 1970, and whole 100 ns ticks, which Windows keeps.
    const std::int64_t when = -1234567890123456700LL;
    ASSERT_TRUE(setModeAndTime(file.c_str(), 0444, when, false));
    FileIdentity id;
    ASSERT_TRUE(linkIdentity(file.c_str(), &id));
    EXPECT_EQ(id.modifiedNs, when);
    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(sub.c_str(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].mode & 0222, 0u);
    EXPECT_EQ(entries[0].identity, id);
    EXPECT_EQ(entries[0].size, 3);
    ASSERT_TRUE(removeTree(sub.c_str()));
    EXPECT_FALSE(pathExists(sub.c_str()));
    EXPECT_TRUE(removeTree(sub.c_str()));
}

TEST(Links, TargetComesBackOrNothingIsLeft) {
    TempDir dir;
    test::writeFile(dir / "file", "1");
    const std::string link = dir / "link";
    const Outcome made = makeLink("file", link.c_str());
    if (!made) {
        // A system that makes no links (wine) names the failure and leaves nothing.
        EXPECT_FALSE(pathExists(link.c_str()));
        GTEST_SKIP() << made.describe();
    }
    std::string target;
    ASSERT_TRUE(readLink(link.c_str(), &target));
    EXPECT_EQ(target, "file");
    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
    for (const auto& e : entries)
        if (e.name == "link") {
            EXPECT_TRUE(e.isLink);
            EXPECT_EQ(e.kind, Kind::File);
        }
    EXPECT_FALSE(readLink((dir / "file").c_str(), &target));
}

#ifdef _WIN32

TEST(WindowsPaths, SlashesBackslashesAndLongPathsNameTheSameFiles) {
    TempDir dir;
    test::writeFile(dir / "f", "1");
    std::string back = dir.path() + "\\f";
    for (char& c : back)
        if (c == '/') c = '\\';
    EXPECT_TRUE(pathExists(back.c_str()));
    // Past MAX_PATH, where only the \\?\ form reaches.
    std::string deep = dir.path();
    for (int i = 0; i < 5; ++i) {
        deep += "/" + std::string(60, 'd');
        ASSERT_TRUE(createDirectory(deep.c_str()));
    }
    const std::string file = deep + "/file";
    ASSERT_GT(file.size(), 260u);
    File f;
    ASSERT_TRUE(f.open(file.c_str(), File::Mode::CreateNew));
    ASSERT_TRUE(f.write("z", 1));
    ASSERT_TRUE(f.close());
    std::string bytes;
    ASSERT_TRUE(readWholeFile(file.c_str(), 10, &bytes));
    EXPECT_EQ(bytes, "z");
    ASSERT_TRUE(removeTree((dir / std::string(60, 'd')).c_str()));
    EXPECT_FALSE(pathExists(file.c_str()));
}

TEST(WindowsFiles, DevicesAreNoFilesAndErrorsKeepTheSystemsWords) {
    TempDir dir;
    const Outcome device = File().open((dir / "NUL").c_str(), File::Mode::WriteTruncate);
    EXPECT_TRUE(device.is(Fault::Invalid)) << device.describe();
    const Outcome missing = File().open((dir / "none").c_str(), File::Mode::Read);
    EXPECT_NE(missing.reason.find("(Windows error 2)"), std::string::npos) << missing.reason;
    bool swapped = true;
    ASSERT_TRUE(exchangePaths(dir.path().c_str(), dir.path().c_str(), &swapped));
    EXPECT_FALSE(swapped);
}

TEST(WindowsNames, Gb18030NamesRoundTripOrAreRefusedCleanly) {
    TempDir dir;
    const std::string gbName = dir.path() + "/\x81\x5C.bin";  // U+4E57
    File f;
    const Outcome made = f.open(gbName.c_str(), File::Mode::CreateNew);
    if (!hasGb18030()) {
        EXPECT_EQ(made.error, EILSEQ);
        EXPECT_NE(made.reason.find("54936"), std::string::npos) << made.reason;
        std::vector<DirEntry> entries;
        ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
        EXPECT_TRUE(entries.empty());
        GTEST_SKIP() << made.describe();
    }
    ASSERT_TRUE(made);
    ASSERT_TRUE(f.close());
    std::vector<DirEntry> entries;
    ASSERT_TRUE(listDirectory(dir.path().c_str(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "\x81\x5C.bin");
    EXPECT_TRUE(pathExists(gbName.c_str()));
}

#endif
