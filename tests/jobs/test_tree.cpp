// Folder trees come back as tar would bring them back: every name, empty folders, links as
// links, modes, times and holes.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QString>
#include <filesystem>
#include <map>

#include "engine/tree.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// What a user would compare after a round trip on Windows, which keeps no modes, links or
// holes there: for every entry below root, its type, modification time and bytes.
std::map<std::string, std::string> describe(const std::string& root, bool withRootTime = true) {
    std::map<std::string, std::string> out;
    auto add = [&](const fs::path& path, const std::string& name) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (ec) return;
        std::string d = std::to_string(static_cast<int>(status.type()));
        d += " ";
        d += std::to_string(fs::last_write_time(path, ec).time_since_epoch().count());
        if (status.type() == fs::file_type::regular) {
            d += " ";
            d += test::readFile(test::fsText(path));
        }
        out[name] = d;
    };
    const fs::path top = test::fsPath(root);
    if (withRootTime) add(top, ".");
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it)
        add(it->path(), test::fsText(fs::relative(it->path(), top)));
    return out;
}
#else
// What a user would compare after a round trip: for every entry below root, its type,
// mode, modification time, link target or bytes, and for sparse files the disk it takes.
std::map<std::string, std::string> describe(const std::string& root, bool withRootTime = true) {
    std::map<std::string, std::string> out;
    auto add = [&](const std::string& path, const std::string& name) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return;
        std::string d = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
        // Appended piece by piece: GCC 12 warns falsely of overlap on " " + a temporary.
        if (S_ISLNK(st.st_mode)) {
            d += " -> ";
            d += fs::read_symlink(path).string();
        } else if (S_ISREG(st.st_mode)) {
            d += ' ';
            d += test::readFile(path);
            d += " blocks ";
            d += std::to_string(st.st_blocks);
        }
        out[name] = d;
    };
    if (withRootTime) add(root, ".");
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it)
        add(it->path().string(), fs::relative(it->path(), root).string());
    return out;
}

void setTime(const std::string& path, std::int64_t seconds, long nanos) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}
#endif

Outcome splitThenJoin(const std::string& source, const std::string& out, bool deleteSource) {
    jobs::SplitOrder split;
    split.source = QString::fromStdString(source);
    split.chunkSize = 64 << 10;
    split.deleteSource = deleteSource;
    jobs::SplitJob s(split);
    if (Outcome o = s.prepare(); !o) return o;
    s.execute();
    if (!s.outcome()) return s.outcome();
    jobs::JoinJob j(jobs::JoinOrder{s.chunkFolder(), QString::fromStdString(out), false});
    if (Outcome o = j.prepare(); !o) return o;
    j.execute();
    return j.outcome();
}

}  // namespace

TEST(TreeRoundTrip, EverythingTarKeepsComesBack) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoLinks);
#ifndef _WIN32
    TempDir dir;
    const std::string p = dir / "proj";
    fs::create_directories(p + "/.git/objects");
    fs::create_directories(p + "/emptydir");
    fs::create_directories(p + "/docs");
    test::writeFile(p + "/main.c", "int main() {}\n");
    test::writeFile(p + "/.env", "PASSWORD=x\n");
    test::writeFile(p + "/.git/HEAD", "ref: main\n");
    test::writeFile(p + "/run.sh", "#!/bin/sh\n");
    test::writeFile(p + "/docs/secret", "s");
    // Read-only, and cut across chunks: each gets its mode and time only when whole.
    test::writeFile(p + "/docs/frozen.txt", "do not touch\n");
    test::writeFile(p + "/docs/long.bin", test::patternBytes(200 << 10, 3));
    ASSERT_EQ(::chmod((p + "/docs/frozen.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((p + "/docs/long.bin").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((p + "/run.sh").c_str(), 0750), 0);
    ASSERT_EQ(::chmod((p + "/.env").c_str(), 0600), 0);
    ASSERT_EQ(::chmod((p + "/docs").c_str(), 0700), 0);
    fs::create_symlink("main.c", p + "/link-to-file");
    fs::create_symlink("docs", p + "/link-to-folder");
    fs::create_symlink("/nowhere/at/all", p + "/dangling");
    // Holes at the start, in the middle and at the end: 8 MiB with two 4 KiB islands.
    {
        std::FILE* f = std::fopen((p + "/disk.img").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (long at : {2L << 20, 5L << 20}) {
            std::fseek(f, at, SEEK_SET);
            const std::string island = test::patternBytes(4096, static_cast<std::uint32_t>(at));
            std::fwrite(island.data(), 1, island.size(), f);
        }
        std::fclose(f);
        fs::resize_file(p + "/disk.img", 8 << 20);
    }
    setTime(p + "/main.c", 981173106, 123456789);
    setTime(p + "/link-to-file", 1000000000, 5);
    setTime(p + "/disk.img", 1234567890, 0);
    setTime(p + "/docs/frozen.txt", 1111111111, 11);
    setTime(p + "/docs/long.bin", 1222222222, 22);
    setTime(p + "/emptydir", 915148800, 42);
    setTime(p + "/docs", 946684800, 1);
    setTime(p, 1500000000, 999999999);
    const auto before = describe(p);
    struct stat sparse {};
    ASSERT_EQ(::stat((p + "/disk.img").c_str(), &sparse), 0);
    ASSERT_LT(sparse.st_blocks * 512, 1 << 20) << "this file system keeps no holes";

    ASSERT_TRUE(splitThenJoin(p, dir / "back", true));
    EXPECT_FALSE(fs::exists(p));  // every entry was stored, so the folder went
    EXPECT_EQ(describe(dir / "back/proj"), before);
#endif
}

TEST(TreeRoundTrip, FoldersWithoutFilesComeBackAsFolders) {
    TempDir dir;
    fs::create_directories(dir / "nothing");
    fs::create_directories(dir / "only-folders/a/b");
    fs::create_directories(dir / "dots");
    test::writeFile(dir / "dots/.hidden", "");
    for (const std::string name : {"nothing", "only-folders", "dots"}) {
        SCOPED_TRACE(name);
        const auto before = describe(dir / name, false);
        ASSERT_TRUE(splitThenJoin(dir / name, dir / "back", false));
        EXPECT_TRUE(fs::is_directory(dir / ("back/" + name)));
        EXPECT_EQ(describe(dir / ("back/" + name), false), before);
    }
}

// A set written before the tree file existed joins as it always did: the files.
TEST(TreeRoundTrip, ASetWithoutTheTreeFileStillJoins) {
    TempDir dir;
    fs::create_directories(dir / "old/sub");
    test::writeFile(dir / "old/sub/a", test::patternBytes(100000, 1));
    test::writeFile(dir / "old/b", "b");
    jobs::SplitOrder split;
    split.source = QString::fromStdString(dir / "old");
    split.chunkSize = 30000;
    jobs::SplitJob s(split);
    ASSERT_TRUE(s.prepare());
    s.execute();
    ASSERT_TRUE(s.outcome());
    fs::remove(dir / ("old_spt/" + std::string(kTreeName)));
    fs::remove(dir / "old_spt/spt_checksums.sha256");
    jobs::JoinJob j(jobs::JoinOrder{s.chunkFolder(), QString::fromStdString(dir / "back"), false});
    ASSERT_TRUE(j.prepare());
    j.execute();
    ASSERT_TRUE(j.outcome()) << j.outcome().describe();
    EXPECT_EQ(test::readFile(dir / "back/old/sub/a"), test::patternBytes(100000, 1));
    EXPECT_EQ(test::readFile(dir / "back/old/b"), "b");
}

// The tree file comes from outside: nothing it says may lead out of the folder, or
// through a link the join made.
TEST(TreeFile, HostileOrDamagedTreesAreRefused) {
    const std::string head = std::string(kTreeMagic) + "\nset\tfolder\nd\t0755\t0\t0\t.\n";
    Tree tree;
    EXPECT_TRUE(parseTree(head + "f\t0644\t0\t1\tname with\\ttab\\\\\n", "t", &tree));
    ASSERT_EQ(tree.entries.size(), 2u);
    EXPECT_EQ(tree.entries[1].name, "name with\ttab\\");
    for (const std::string& bad :
         {head + "f\t0644\t0\t1\t../escape\n", head + "f\t0644\t0\t1\t/abs\n",
          head + "l\t0777\t0\t0\tln\t/etc\nf\t0644\t0\t1\tln/x\n",
          head + "f\t0644\t0\t1\ta\nf\t0644\t0\t1\ta\n", head + "f\t0999\t0\t1\ta\n",
          head + "f\t0644\t0\t10\ta\tdata=5+6\n", head + "x\t0644\t0\t1\ta\n",
          std::string("not a tree\n"), head + "f\t0644\t0\t1\ta"}) {
        EXPECT_FALSE(parseTree(bad, "t", &tree)) << bad;
        EXPECT_TRUE(tree.entries.empty());
    }
    // Names that sort between a file and what lies below it hide nothing, in whatever order
    // the lines come; below a folder they are fine. The line said is the later of the two.
    const std::string near = "f\t0644\t0\t1\ta-b\nf\t0644\t0\t1\ta.c\nf\t0644\t0\t1\ta0\n";
    for (const char* below : {"f\t0644\t0\t1\ta/x\n", "l\t0777\t0\t0\ta/y/z\tt\n"}) {
        for (const std::string& body :
             {"f\t0644\t0\t1\ta\n" + near + below, below + near + "l\t0777\t0\t0\ta\tt\n"}) {
            const Outcome o = parseTree(head + body, "t", &tree);
            EXPECT_FALSE(o) << body;
            EXPECT_NE(o.reason.find("line 8 names an entry below a link or a file"),
                      std::string::npos)
                << o.reason;
        }
        EXPECT_TRUE(parseTree(head + "d\t0755\t0\t0\ta\n" + near + below, "t", &tree)) << below;
        EXPECT_EQ(tree.entries.size(), 6u);
    }
    const Outcome twice =
        parseTree(head + "f\t0644\t0\t1\tb\n" + near + "d\t0755\t0\t0\tb\n", "t", &tree);
    EXPECT_NE(twice.reason.find("line 8 names an entry a second time"), std::string::npos)
        << twice.reason;
    // What a walk records, the parser reads back the same.
    Tree written;
    written.folderSet = true;
    written.entries = {{TreeEntry::Type::Folder, ".", 0700, -5, 0, {}, false, {}},
                       {TreeEntry::Type::Link, "l\n", 0777, 7, 0, "t\xff", false, {}},
                       {TreeEntry::Type::File, "s", 0600, 1, 100, {}, true, {{10, 5}, {50, 50}}}};
    ASSERT_TRUE(parseTree(encodeTree(written), "t", &tree));
    ASSERT_EQ(tree.entries.size(), 3u);
    EXPECT_EQ(tree.entries[0].modifiedNs, -5);
    EXPECT_EQ(tree.entries[1].linkTarget, "t\xff");
    EXPECT_EQ(tree.entries[2].dataRanges, written.entries[2].dataRanges);

    // A tree of many entries goes out in blocks of whole lines, about 1 MiB each, which
    // together are the text written whole; a sink that fails stops it at once.
    for (int i = 0; i < 40000; ++i)
        written.entries.push_back(
            {TreeEntry::Type::File, "d/entry-" + std::to_string(i), 0644, i, i, {}, false, {}});
    const std::string whole = encodeTree(written);
    ASSERT_GT(whole.size(), std::size_t{1} << 20);
    EXPECT_EQ(encodedTreeSize(written), static_cast<std::int64_t>(whole.size()));
    std::string streamed;
    int blocks = 0;
    ASSERT_TRUE(encodeTree(written, [&](const char* bytes, std::size_t size) {
        ++blocks;
        EXPECT_EQ(bytes[size - 1], '\n');
        EXPECT_LT(size, (std::size_t{1} << 20) + 4096);
        streamed.append(bytes, size);
        return Outcome::success();
    }));
    EXPECT_GE(blocks, 2);
    EXPECT_TRUE(streamed == whole);
    int calls = 0;
    EXPECT_TRUE(encodeTree(written, [&](const char*, std::size_t) {
                    ++calls;
                    return Outcome::systemFailure("sink", ENOSPC);
                }).is(Fault::NoSpace));
    EXPECT_EQ(calls, 1);
}
