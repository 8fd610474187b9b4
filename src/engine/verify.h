#pragma once
// Checking the bytes of a chunk set against its checksum list.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/job_control.h"
#include "engine/set_names.h"
#include "engine/sha256.h"
#include "platform/native.h"
#include "platform/outcome.h"

namespace morvane {

// The SHA-256 of a whole file, read once from its start; progress goes to control.
// With fingerprint, also the chunk fingerprint of its size and head (as chunkFingerprint
// gives it) from the same read: the file is opened once for both.
Outcome hashFile(const std::string& path, JobControl* control, std::string* hex,
                 std::int64_t* size = nullptr, char* fingerprint = nullptr);

Outcome checksumMismatch(const std::string& path);

// Checks the chunks of a join as their bytes pass, piece by piece. Pieces that follow each
// other through a chunk are hashed on their way to the output; whatever the pieces leave
// out, or a chunk they visit out of order, is read and hashed separately, so every byte
// of every chunk is checked whatever the manifest says.
class ChunkVerifier {
public:
    // digests: by name relative to chunkDir.
    ChunkVerifier(std::string chunkDir, std::string stem, std::int32_t chunkCount,
                  const std::map<std::string, std::string>& digests, JobControl& control);

    // The hash that the bytes of chunk index from offset on should pass through, or null
    // when they cannot be hashed in passing (the chunk is then checked whole at its end).
    Sha256* before(std::int32_t index, std::int64_t offset);
    // After moved bytes passed through the hash given by before().
    void after(std::int64_t moved) { hashedUpTo_ += moved; }
    // The digest of chunk index, hashed whole from its first byte elsewhere: checked as
    // before() and after() would have checked it. The first failure so far.
    Outcome hashedWhole(std::int32_t index, const std::string& digest);
    // Finishes the last chunk and checks every chunk no piece reached.
    Outcome finish();

private:
    Outcome finishCurrent();
    Outcome check(std::int32_t index, const std::string& digest);

    SetNames names_;
    std::int32_t count_;
    const std::map<std::string, std::string>& digests_;
    JobControl& control_;
    std::vector<bool> done_;
    std::int32_t current_ = -1;
    std::int64_t hashedUpTo_ = 0;
    bool inOrder_ = true;
    Sha256 hash_;
    Outcome failed_;
};

}  // namespace morvane
