// What is deleted after a job: the split's source, the join's listed chunk files.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>

#include "jobs/cleanup.h"
#include "platform/native.h"
#include "temp_dir.h"

using namespace morvane;
using test::exists;
using test::TempDir;
using test::writeFile;

TEST(Cleanup, ASourceLinkGoesButNotWhatItNames) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoLinks);
    TempDir dir;
    std::filesystem::create_directories(dir / "elsewhere");
    writeFile(dir / "elsewhere/keep", "4");
    ASSERT_TRUE(test::makeSymlink(dir / "elsewhere/keep", dir / "alias"));
    plat::FileIdentity seen;
    ASSERT_TRUE(plat::linkIdentity((dir / "alias").c_str(), &seen));
    std::vector<Kept> kept;
    ASSERT_TRUE(removeSplitSource(dir / "alias", seen, &kept));
    EXPECT_TRUE(kept.empty());
    EXPECT_FALSE(exists(dir / "alias"));
    EXPECT_TRUE(exists(dir / "elsewhere/keep"));
}

TEST(Cleanup, SourceFileAndFailuresNameThePath) {
    TempDir dir;
    writeFile(dir / "f.bin", "x");
    plat::FileIdentity seen;
    ASSERT_TRUE(plat::linkIdentity((dir / "f.bin").c_str(), &seen));
    std::vector<Kept> kept;
    // Another file of the same size under the name: kept, and the outcome says so.
    writeFile(dir / "g.bin", "y");
    std::filesystem::rename(dir / "g.bin", dir / "f.bin");
    const Outcome replaced = removeSplitSource(dir / "f.bin", seen, &kept);
    EXPECT_TRUE(replaced.is(Fault::Changed));
    EXPECT_EQ(replaced.path, dir / "f.bin");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(exists(dir / "f.bin"));

    ASSERT_TRUE(plat::linkIdentity((dir / "f.bin").c_str(), &seen));
    ASSERT_TRUE(removeSplitSource(dir / "f.bin", seen, &kept));
    EXPECT_FALSE(exists(dir / "f.bin"));
    // Already gone: nothing of it is lost by the deletion.
    EXPECT_TRUE(removeSplitSource(dir / "f.bin", seen, &kept));
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
