#pragma once
// Cutting a file or a folder tree into a chunk set.

#include "engine/engine_state.h"
#include "platform/outcome.h"

namespace morvane {

// Runs one split. The job's outputDir is extended in place to name the chunk folder.
// Returns success, or the first failure with its file and reason and the count of
// further failures. A job that cannot fit its paths, or has chunkSize below 1, is refused
// before anything is written.
Outcome runSplitJob(SplitJob& job);
Outcome splitSingleFile(SplitJob& job);
Outcome splitFolder(SplitJob& job);

// Chunk count for a total and a chunk size: the quotient, plus one for a remainder.
std::int64_t chunkCountFor(std::int64_t totalSize, std::int64_t chunkSize);

}  // namespace morvane
