// The native layer: text conversion, listing rules, files and the fault seam.

#include <gtest/gtest.h>
#ifndef _WIN32
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

std::vector<std::string> names(const std::vector<DirEntry>& entries, Kind kind) {
    std::vector<std::string> out;
    for (const auto& e : entries)
        if (e.kind == kind) out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
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
