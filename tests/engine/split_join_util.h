#pragma once
// Running real splits and joins in tests.

#include <map>
#include <string>

#include "engine/engine_state.h"
#include "platform/outcome.h"

namespace morvane::test {

struct SplitRun {
    Outcome outcome;
    std::string chunkDir;  // the job's outputDir after the run
};

// Splits source (engine text) into outDir; totalSize -1 means "measure it now".
SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const std::string& password = "", std::int64_t totalSize = -1);

// Every regular file below root, by path relative to root, with its bytes.
std::map<std::string, std::string> treeOf(const std::string& root);

}  // namespace morvane::test
