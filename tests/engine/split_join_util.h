#pragma once
// Running real splits and joins in tests.

#include <cstdint>
#include <map>
#include <string>

#include "engine/job_control.h"
#include "engine/split.h"
#include "platform/outcome.h"

namespace morvane::test {

struct SplitRun {
    Outcome outcome;
    std::string chunkDir;  // the chunk folder the split wrote, or would have
    SplitResult result;
    std::int64_t done = 0;  // the job's own progress at its end
    std::int64_t total = 0;
};

// Splits source (engine text) into outDir; totalSize -1 means "measure it now".
SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const std::string& password = "", std::int64_t totalSize = -1);

// Reads chunkDir's manifest and joins the set into outDir, as the job layer does.
Outcome joinInto(const std::string& chunkDir, const std::string& outDir,
                 JobControl* control = nullptr);

// Every regular file below root, by path relative to root, with its bytes.
std::map<std::string, std::string> treeOf(const std::string& root);

}  // namespace morvane::test
