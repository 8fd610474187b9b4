#include "split_join_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/fs_primitives.h"
#include "engine/split.h"
#include "temp_dir.h"

namespace morvane::test {

SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const std::string& password, std::int64_t totalSize) {
    SplitJob job;
    std::memset(&job, 0, sizeof job);
    EXPECT_LT(source.size(), sizeof job.sourcePath);
    EXPECT_LT(outDir.size(), sizeof job.outputDir);
    std::strncpy(job.sourcePath, source.c_str(), sizeof job.sourcePath - 1);
    std::strncpy(job.outputDir, outDir.c_str(), sizeof job.outputDir - 1);
    std::strncpy(job.password, password.c_str(), sizeof job.password - 1);
    job.totalSize = totalSize >= 0 ? totalSize : pathSize(source.c_str());
    job.chunkSize = chunkSize;
    SplitRun run;
    run.outcome = runSplitJob(job);
    run.chunkDir = job.outputDir;
    return run;
}

std::map<std::string, std::string> treeOf(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        tree[std::filesystem::relative(e.path(), root).string()] = readFile(e.path().string());
    }
    return tree;
}

}  // namespace morvane::test
