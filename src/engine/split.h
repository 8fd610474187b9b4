#pragma once
// Cutting a file or a folder tree into a chunk set.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/checksums.h"
#include "engine/job_control.h"
#include "engine/sealing.h"
#include "engine/tree.h"
#include "platform/outcome.h"

namespace morvane {

struct SplitRequest {
    std::string sourcePath;      // engine text: a file or a folder
    std::string outputDir;       // engine text: the folder that receives STEM_spt
    std::int64_t totalSize = 0;  // the source's size when it was measured
    std::int64_t chunkSize = 0;
    // Engine bytes; empty for a set in the clear. A set with a password is encrypted, and
    // chunkSize is then the size of its chunk files on disk, their frames' tags included.
    std::string password;
    KdfCost kdf = kDefaultKdfCost;
    // Where the chunks and the manifest are written: a new, empty folder that the caller
    // made, and flushes and renames to the chunk folder. Every file is then created new, so
    // nothing is written through a name that was already there. Required.
    std::string buildFolder;
    // The source as walked before the job started, which the split then completes with what
    // only reading shows (a file's holes); null: the split walks it itself.
    Walk* walk = nullptr;
    // FIFOs, sockets and devices in a folder cannot be stored: without this the split
    // refuses such a folder; with it, it leaves them out.
    bool skipSpecial = false;
    // Recovery chunks to write beside the data chunks: any this many lost or damaged files
    // of the set can then be rebuilt. 0 for none.
    int recovery = 0;
    // Memory for the recovery chunks' parity, coded as the chunks' bytes pass, where the
    // recovery files cannot hold it as it is coded; what does not fit is coded from the
    // chunks, read back after the split.
    std::int64_t parityBudget = std::int64_t{64} << 20;
};

// What a split left on disk, so that the caller can remove exactly that.
struct SplitResult {
    std::string chunkFolder;  // the set's final place
    std::string sourceName;
    std::int32_t chunkCount = 0;
    std::vector<std::string> writtenFiles;  // chunks and manifest, in the order written
    // What the checksum list holds: the manifest, then every chunk, then the tree file.
    std::vector<ChecksumLine> checksums;
    // What the folder held that the set leaves out.
    std::vector<std::string> leftOut;
};

// Runs one split into request.buildFolder. Returns success, the first failure with its
// file and reason, or a cancel; nothing is written after a failure, and what was built is
// the caller's to remove. A request without a build folder, whose paths do not fit, or
// with a chunk size below 1, is refused before anything is written.
Outcome runSplit(const SplitRequest& request, JobControl& control, SplitResult* result);

// The chunk folder that a split of sourcePath into outputDir makes: outputDir/STEM_spt.
// Empty when the source path has no name that fits.
std::string chunkFolderFor(const std::string& sourcePath, const std::string& outputDir);

// The source bytes each chunk of chunkSize bytes holds: all of them in the clear, fewer
// when sealed; 0 when a sealed chunk that small cannot hold any.
std::int64_t dataPerChunkOf(std::int64_t chunkSize, bool sealed);
// Chunk count for a total and a chunk size: the quotient, plus one for a remainder.
std::int64_t chunkCountFor(std::int64_t totalSize, std::int64_t chunkSize);
// The chunk size that cuts total into at most count chunks: total / count rounded up,
// and at least 1.
std::int64_t chunkSizeForCount(std::int64_t totalSize, std::int64_t count);

}  // namespace morvane
