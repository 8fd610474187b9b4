// Files larger than 4 GiB: 64-bit offsets all the way through.

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/join.h"
#include "platform/native.h"
#include "split_join_util.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::joinInto;
using morvane::test::splitInto;
using morvane::test::TempDir;
namespace fs = std::filesystem;

// Offsets past 4 GiB: a mostly sparse source with marks at its far end.
TEST(LargeFiles, OffsetsBeyondFourGiB) {
    TempDir dir;
    constexpr std::int64_t kSize = (4LL << 30) + 3 * 1000 * 1000 + 7;
    const auto space = fs::space(dir.path());
    if (space.available < static_cast<std::uintmax_t>(2 * kSize + (1LL << 30)))
        GTEST_SKIP() << "needs " << (2 * kSize >> 30) + 1 << " GiB free in " << dir.path()
                     << ", has " << (space.available >> 30) << " GiB";
    {
        plat::File f;
        ASSERT_TRUE(f.open((dir / "big.img").c_str(), plat::File::Mode::WriteTruncate));
        ASSERT_TRUE(f.write("HEAD", 4));
        ASSERT_TRUE(f.seek((4LL << 30) + 5));
        ASSERT_TRUE(f.write("FAR", 3));
        ASSERT_TRUE(f.seek(kSize - 4));
        ASSERT_TRUE(f.write("TAIL", 4));
        ASSERT_TRUE(f.close());
    }
    auto run = splitInto(dir / "big.img", dir.path(), (3LL << 30));
    ASSERT_TRUE(run.outcome) << run.outcome.describe();
    fs::remove(dir / "big.img");
    const std::string out = dir / "out";
    fs::create_directory(out);
    ASSERT_TRUE(joinInto(run.chunkDir, out));
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(out + "/big.img")), kSize);
    plat::File j;
    ASSERT_TRUE(j.open((out + "/big.img").c_str(), plat::File::Mode::Read));
    char buf[4] = {};
    std::size_t got = 0;
    ASSERT_TRUE(j.seek((4LL << 30) + 5));
    ASSERT_TRUE(j.read(buf, 3, &got));
    EXPECT_EQ(std::string(buf, 3), "FAR");
    ASSERT_TRUE(j.seek(kSize - 4));
    ASSERT_TRUE(j.read(buf, 4, &got));
    EXPECT_EQ(std::string(buf, 4), "TAIL");
}
