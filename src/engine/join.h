#pragma once
// Joining a chunk set back into its file or folder, and checking a set before a join.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/job_control.h"
#include "engine/manifest.h"
#include "engine/sealing.h"
#include "engine/tree.h"
#include "platform/outcome.h"

namespace morvane {

struct JoinRequest {
    std::string chunkDir;   // engine text
    std::string outputDir;  // engine text: the folder that receives the file or folder
    // Where the file or folder is built, beside its final place, for the caller to flush
    // and rename into place: every file is then created new, and the first failure ends
    // the join. Required; nothing may stand there yet.
    std::string buildPath;
    // The set's checksum list by name: every byte read from a chunk is checked against it,
    // and a chunk that does not match fails the join. Null: nothing is checked.
    const std::map<std::string, std::string>* checksums = nullptr;
    // The set's tree file: modes, times, empty folders, links and holes come back as they
    // were. Null: the regular files alone, as older sets hold them.
    const Tree* tree = nullptr;
};

// Where a join built, and the folders it made there, for the caller to flush. Everything
// it wrote is inside the build path: no list of files, which would grow with every file.
struct JoinResult {
    std::string target;                       // outputDir + "/" + the set's source name
    std::vector<std::string> createdFolders;  // in the order made, parents first
};

// Rebuilds the file or folder that manifest (read from request.chunkDir) describes at
// request.buildPath, for the caller to put in place inside request.outputDir. The first
// failure ends it; what was built is the caller's to remove.
Outcome runJoin(const JoinRequest& request, const Manifest& manifest, JobControl& control,
                JoinResult* result);

// Rebuilds an encrypted set at request.buildPath from its contents, as unsealed from its
// header with key; request.tree is the contents' tree. Every frame of every chunk is
// authenticated before its bytes are written, and a chunk that fails, or whose size is not
// the one the header sealed, is named. request.checksums plays no part.
Outcome runSealedJoin(const JoinRequest& request, const SealedHeader& header, const SealKey& key,
                      const SealedContents& contents, JobControl& control, JoinResult* result);

enum class ChunkState {
    Ok,
    Missing,  // cannot be read
    Changed,  // does not match its fingerprint
    Empty,    // holds nothing, though the set has bytes for it
    Short,    // smaller than the set's other chunks need it to be
    Long,     // larger than the set's other chunks, or than its total leaves for the last
    Damaged,  // matches its fingerprint, but not its checksum: changed past its head
    Special,  // a FIFO, socket or device where the chunk should be: never opened
};
const char* chunkStateName(ChunkState state);  // "ok", "missing", "changed", "empty", ...

struct ChunkCheckEntry {
    std::int32_t chunkIndex = 0;
    bool matches = false;  // the chunk still matches its fingerprint
    ChunkState state = ChunkState::Missing;
    std::string storedFingerprint;  // engine text
    std::string chunkPath;          // engine text
    std::int64_t size = -1;         // -1 when it cannot be measured
    // The fingerprint is read with the chunk's bytes by verifyChunkSet: the state is Ok
    // only provisionally until then.
    bool fingerprintLater = false;
};

// A file of the set other than a chunk that the checksum list names: the manifest first.
struct ListedFile {
    std::string name;  // relative to the chunk folder
    std::string path;
    ChunkState state = ChunkState::Missing;  // Ok, Damaged or Missing
    std::int64_t size = -1;
};

enum class ChecksumList { NotRead, Absent, Damaged, Read };

struct ChunkSetCheck {
    std::string chunkDir;
    Manifest manifest;
    std::string manifestSha256;            // of the manifest's bytes as they were read and decoded
    std::vector<ChunkCheckEntry> entries;  // one per chunk record
    // Filled by verifyChunkSet: whether the set has a usable checksum list, why not when it
    // is damaged, and the other files it names.
    ChecksumList checksumList = ChecksumList::NotRead;
    // Set by the quick check: whether the folder has a checksum list at all.
    bool hasChecksumList = false;
    std::string listProblem;
    std::vector<ListedFile> listedFiles;
    // Chunk files of the set's stem numbered beyond its count: an older set's leftovers.
    std::vector<std::string> strays;
    // What does not hold together in the manifest's file records: names leading outside,
    // pieces beyond their chunk, pieces that do not add up to the total. A join refuses
    // such a set as surely as a damaged chunk.
    std::vector<std::string> manifestFaults;
    // The set has a tree file or recovery chunks, so its split wrote a checksum list too:
    // without one, only the recovery headers can tell a chunk damaged past its head.
    bool listExpected = false;
    // The folder held a ".rec" file when it was listed.
    bool recoveryFilesSeen = false;
    bool listLost() const { return listExpected && !hasChecksumList; }
    // Every chunk is in state Ok, their sizes add up to the total, and the manifest holds
    // every record it counts.
    bool intact() const;
    // Why the set cannot be joined as it stands: one sentence per fault, each naming the
    // chunk; empty for an intact set.
    std::vector<std::string> problems() const;
};

// Refuses a source name that is not one plain file name: a join builds its output and
// side names from it, and nothing may lead outside the output folder.
Outcome checkSourceNameOf(const std::string& chunkDir, const Manifest& manifest);

// Reads chunkDir's manifest and fingerprints every chunk it lists. A folder without a
// valid manifest, or with a source name that is not a plain file name, is a failure
// that says why.
Outcome checkChunkSet(const std::string& chunkDir, ChunkSetCheck* check);
// The same, without opening a chunk: kinds and sizes from one listing of the folder, the
// fingerprints left to verifyChunkSet, which reads each chunk once for both.
Outcome checkChunkSetForFullRead(const std::string& chunkDir, ChunkSetCheck* check);

// Reads every byte of every file the set's checksum list names, on up to threads threads,
// and marks what does not match. Chunks that failed the quick check keep their state.
// Progress counts the bytes read; a cancel stops it.
Outcome verifyChunkSet(ChunkSetCheck* check, JobControl& control, unsigned threads);

}  // namespace morvane
