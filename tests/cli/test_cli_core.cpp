// The command line's numbers, password bytes and progress text.

#include <gtest/gtest.h>

#include "cli/cli_options.h"
#include "engine/split.h"
#include "jobs/presentation.h"
#include "temp_dir.h"

using namespace morvane::cli;

TEST(CliSize, SuffixesAndRefusals) {
    std::int64_t bytes = 0;
    ASSERT_TRUE(parseSize("100M", &bytes));
    EXPECT_EQ(bytes, 100LL << 20);
    ASSERT_TRUE(parseSize("3k", &bytes));
    EXPECT_EQ(bytes, 3072);
    ASSERT_TRUE(parseSize("2G", &bytes));
    EXPECT_EQ(bytes, 2LL << 30);
    ASSERT_TRUE(parseSize("9223372036854775807", &bytes));
    EXPECT_EQ(bytes, INT64_MAX);
    for (const char* bad : {"", "0", "0K", "K", "-1", "+5", "1.5M", "10 M", "10MB", "5T",
                            "9223372036854775808", "8589934592G"})
        EXPECT_FALSE(parseSize(bad, &bytes)) << bad;
}

TEST(CliCount, RangeAndChunkSize) {
    std::int64_t count = 0;
    ASSERT_TRUE(parseCount("2147483647", &count));
    EXPECT_EQ(count, 2147483647);
    for (const char* bad : {"0", "2147483648", "3K", "x"}) EXPECT_FALSE(parseCount(bad, &count));

    EXPECT_EQ(morvane::chunkSizeForCount(10, 3), 4);  // 4, 4, 2: never more chunks than asked
    EXPECT_EQ(morvane::chunkSizeForCount(9, 3), 3);
    EXPECT_EQ(morvane::chunkSizeForCount(2, 5), 1);
    EXPECT_EQ(morvane::chunkSizeForCount(0, 3), 1);
    EXPECT_EQ(morvane::chunkSizeForCount(INT64_MAX, 2), INT64_MAX / 2 + 1);
}

TEST(CliPassword, BytesAreGb18030AndBounded) {
    MORVANE_NEEDS_GB18030();
    std::string bytes, why;
    // 乗 is three bytes in UTF-8 and two in GB18030 (81 5C): the limit counts the latter.
    std::string typed;
    for (int i = 0; i < 15; ++i) typed += "乗";
    ASSERT_TRUE(passwordBytesOf(typed + "a", &bytes, &why)) << why;
    EXPECT_EQ(bytes.size(), 31u);
    EXPECT_EQ(bytes.substr(0, 2), "\x81\x5C");
    EXPECT_FALSE(passwordBytesOf(typed + "ab", &bytes, &why));
    EXPECT_NE(why.find("at most 31"), std::string::npos) << why;
    EXPECT_FALSE(passwordBytesOf("", &bytes, &why));
    EXPECT_FALSE(passwordBytesOf("\xFF\xFE", &bytes, &why));
}

TEST(CliProgress, LineShowsPercentBytesAndRate) {
    EXPECT_EQ(morvane::jobs::formatBytes(1023), "1023 bytes");
    EXPECT_EQ(morvane::jobs::formatBytes(1536), "1.50 KiB");
    EXPECT_EQ(morvane::jobs::formatBytes(3LL << 30), "3.00 GiB");
    const std::string line = progressLine(1 << 20, 4 << 20, 2.0);
    EXPECT_NE(line.find(" 25%"), std::string::npos) << line;
    EXPECT_NE(line.find("1.00 MiB / 4.00 MiB"), std::string::npos) << line;
    EXPECT_NE(line.find("512.00 KiB/s"), std::string::npos) << line;
    EXPECT_EQ(line.find("######", 0), 1u) << line;
    // Counters read mid-update may overshoot; the bar never does.
    EXPECT_NE(progressLine(INT64_MAX, INT64_MAX / 2, 0).find("100%"), std::string::npos);
}
