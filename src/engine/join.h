#pragma once
// Joining a chunk set back into its file or folder, and checking a set before a join.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/outcome.h"

namespace morvane {

// Rebuilds the file or folder that chunkDir's manifest describes, inside outputDir.
Outcome runJoinJob(const char* chunkDir, const char* outputDir);
Outcome joinSingleFile(const char* chunkDir, const char* outputDir);
Outcome joinFolder(const char* chunkDir, const char* outputDir);

struct ChunkCheckEntry {
    std::int32_t chunkIndex = 0;
    std::int16_t status = -1;       // 0 when the chunk still matches its fingerprint
    std::string storedFingerprint;  // engine text
    std::string chunkPath;          // engine text
    std::int64_t size = -1;         // -1 when it cannot be measured
};

// Reads chunkDir's manifest and fingerprints every chunk. Appends one entry per chunk;
// digestOut (at least 33 bytes) gets the password digest or becomes empty; nameOut
// (1024 bytes) gets the source name. -1, with the buffers untouched, when the folder
// holds no valid manifest (the reason goes to *why).
int listChunkSet(const char* chunkDir, std::vector<ChunkCheckEntry>* entries, char* digestOut,
                 char* nameOut, Outcome* why = nullptr);

}  // namespace morvane
