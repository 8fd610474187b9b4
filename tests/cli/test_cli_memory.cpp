// The real program's peak memory, from the system's count for the finished process: what a
// job holds must not grow with the bytes it moves, and grow only a little with the files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

using morvane::test::makeFolder;
using morvane::test::patternBytes;
using morvane::test::readFile;
using morvane::test::TempDir;
using morvane::test::writeFile;

namespace {

constexpr std::int64_t kKiB = 1024;

// Runs morvane-cli quietly; the peak resident memory of the run in KiB, or -1 when it failed.
// By fork, not posix_spawn: a child that shares this process's memory until it starts the
// program is counted with this process's own peak.
std::int64_t peakOf(std::vector<std::string> args) {
    args.insert(args.begin(), MORVANE_CLI);
    args.emplace_back("-q");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;  // KiB on Linux
}

struct Peaks {
    std::int64_t split = -1;
    std::int64_t join = -1;
};

// Splits source into out/set and joins it back into out/back.
Peaks splitAndJoin(const std::string& source, const TempDir& out, const std::string& chunk) {
    Peaks p;
    makeFolder(out / "set");
    makeFolder(out / "back");
    p.split = peakOf({"split", source, "-s", chunk, "-o", out / "set"});
    // The chunk folder is the only entry the split made.
    std::filesystem::directory_iterator made(out / "set");
    if (made == std::filesystem::directory_iterator()) return p;
    p.join = peakOf({"join", made->path().string(), "-o", out / "back"});
    return p;
}

// A tree of files few bytes long, a hundred to a folder.
std::string treeOf(const TempDir& dir, int files) {
    const std::string root = dir / "tree";
    makeFolder(root);
    for (int f = 0; f < files; ++f) {
        const std::string folder = root + "/d" + std::to_string(f / 100);
        if (f % 100 == 0) makeFolder(folder);
        writeFile(folder + "/file-number-" + std::to_string(f), std::to_string(f));
    }
    return root;
}

}  // namespace

// A file sixteen times larger takes no more memory to split or join: the bytes stream.
TEST(Memory, AFileIsSplitAndJoinedInMemoryThatDoesNotGrowWithItsSize) {
    Peaks small;
    Peaks large;
    for (const auto& [mib, peaks] : {std::pair{16, &small}, std::pair{256, &large}}) {
        TempDir dir;
        const std::string file = dir / "data.bin";
        writeFile(file, patternBytes(static_cast<std::size_t>(mib) << 20, mib));
        *peaks = splitAndJoin(file, dir, "8M");
        ASSERT_GT(peaks->split, 0) << mib << " MiB";
        ASSERT_GT(peaks->join, 0) << mib << " MiB";
        EXPECT_EQ(readFile(dir / "back/data.bin"), readFile(file)) << mib << " MiB";
    }
    RecordProperty("split_kib", std::to_string(small.split) + " " + std::to_string(large.split));
    RecordProperty("join_kib", std::to_string(small.join) + " " + std::to_string(large.join));
    EXPECT_LT(large.split, 32 * kKiB);
    EXPECT_LT(large.join, 32 * kKiB);
    EXPECT_LT(large.split - small.split, 4 * kKiB);
    EXPECT_LT(large.join - small.join, 4 * kKiB);
}

// Five times the files: what each added file costs the split and the join stays below
// 1 KiB, the names, records and tree entries a job cannot yet do without.
TEST(Memory, EachFileOfATreeCostsTheJobsLessThanAKibibyte) {
    constexpr int kFew = 2000;
    constexpr int kMany = 10000;
    Peaks few;
    Peaks many;
    for (const auto& [files, peaks] : {std::pair{kFew, &few}, std::pair{kMany, &many}}) {
        TempDir dir;
        *peaks = splitAndJoin(treeOf(dir, files), dir, "10M");
        ASSERT_GT(peaks->split, 0) << files << " files";
        ASSERT_GT(peaks->join, 0) << files << " files";
        const std::string last =
            "/d" + std::to_string((files - 1) / 100) + "/file-number-" + std::to_string(files - 1);
        EXPECT_EQ(readFile(dir / ("back/tree" + last)), std::to_string(files - 1));
    }
    const double splitPerFile = double(many.split - few.split) * kKiB / (kMany - kFew);
    const double joinPerFile = double(many.join - few.join) * kKiB / (kMany - kFew);
    RecordProperty("split_bytes_per_file", std::to_string(splitPerFile));
    RecordProperty("join_bytes_per_file", std::to_string(joinPerFile));
    EXPECT_LT(splitPerFile, 1024.0);
    EXPECT_LT(joinPerFile, 1024.0);
}
