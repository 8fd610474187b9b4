// What is deleted after a job: the split's source, the join's listed chunk files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "jobs/cleanup.h"
#include "temp_dir.h"

using namespace morvane;
using test::exists;
using test::TempDir;
using test::writeFile;

namespace {
QString q(const std::string& native) {
    return QString::fromStdString(native);
}
}  // namespace

TEST(Cleanup, SourceFolderGoesWholeButLinksAreNotFollowed) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src/a/b");
    std::filesystem::create_directories(dir / "elsewhere");
    writeFile(dir / "src/top", "1");
    writeFile(dir / "src/.hidden", "2");
    writeFile(dir / "src/a/b/deep", "3");
    writeFile(dir / "elsewhere/keep", "4");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "src/a/link").c_str()), 0);

    ASSERT_TRUE(removeSplitSource(q(dir / "src")));
    EXPECT_FALSE(exists(dir / "src"));
    EXPECT_TRUE(exists(dir / "elsewhere/keep"));

    // A link given as the source: only the link goes.
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "alias").c_str()), 0);
    ASSERT_TRUE(removeSplitSource(q(dir / "alias")));
    EXPECT_FALSE(exists(dir / "alias"));
    EXPECT_TRUE(exists(dir / "elsewhere/keep"));
}

TEST(Cleanup, SourceFileAndFailuresNameThePath) {
    TempDir dir;
    writeFile(dir / "f.bin", "x");
    ASSERT_TRUE(removeSplitSource(q(dir / "f.bin")));
    EXPECT_FALSE(exists(dir / "f.bin"));

    const Outcome missing = removeSplitSource(q(dir / "f.bin"));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.path, dir / "f.bin");
    EXPECT_EQ(missing.error, ENOENT);

    writeFile(dir / "plain", "x");
    EXPECT_FALSE(removeFolderTree(q(dir / "plain")));  // a file is not a tree
    EXPECT_TRUE(exists(dir / "plain"));
}

TEST(Cleanup, OnlyListedChunksGoAndEveryFailureCounts) {
    TempDir dir;
    std::vector<ChunkCheckEntry> listed(4);
    for (int i = 0; i < 4; ++i) {
        listed[i].chunkPath = dir / ("s_" + std::to_string(i) + ".spt");
        if (i != 1 && i != 2) writeFile(listed[i].chunkPath, "c");
    }
    // A chunk already gone (one a join rebuilt) is no failure; one that cannot go is.
    std::filesystem::create_directory(listed[2].chunkPath);
    writeFile(dir / "s_4.spt", "leftover");
    writeFile(dir / "spt_config.qorvelx", "m");

    const Outcome outcome = removeListedChunks(listed);
    EXPECT_FALSE(outcome);
    EXPECT_EQ(outcome.path, listed[2].chunkPath);
    EXPECT_EQ(outcome.furtherFailures, 0);
    EXPECT_FALSE(exists(listed[0].chunkPath));
    EXPECT_FALSE(exists(listed[3].chunkPath));
    EXPECT_TRUE(exists(dir / "s_4.spt"));
    EXPECT_TRUE(exists(dir / "spt_config.qorvelx"));
}
