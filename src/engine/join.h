#pragma once
// Joining a chunk set back into its file or folder, and checking a set before a join.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/job_control.h"
#include "engine/manifest.h"
#include "platform/outcome.h"

namespace morvane {

struct JoinRequest {
    std::string chunkDir;   // engine text
    std::string outputDir;  // engine text: the folder that receives the file or folder
};

// What a join left on disk, so that the caller can remove exactly that.
struct JoinResult {
    std::string target;                       // outputDir + "/" + the set's source name
    std::vector<std::string> writtenFiles;    // every file opened for writing
    std::vector<std::string> createdFolders;  // in the order made, parents first
};

// Rebuilds the file or folder that manifest (read from request.chunkDir) describes,
// inside request.outputDir.
Outcome runJoin(const JoinRequest& request, const Manifest& manifest, JobControl& control,
                JoinResult* result);

struct ChunkCheckEntry {
    std::int32_t chunkIndex = 0;
    bool matches = false;           // the chunk still matches its fingerprint
    std::string storedFingerprint;  // engine text
    std::string chunkPath;          // engine text
    std::int64_t size = -1;         // -1 when it cannot be measured
};

struct ChunkSetCheck {
    std::string chunkDir;
    Manifest manifest;
    std::vector<ChunkCheckEntry> entries;  // one per chunk record
    // Every chunk matches, and the manifest holds every record it counts.
    bool intact() const;
};

// Reads chunkDir's manifest and fingerprints every chunk it lists. A folder without a
// valid manifest is a failure that says why.
Outcome checkChunkSet(const std::string& chunkDir, ChunkSetCheck* check);

}  // namespace morvane
