#pragma once
// Recovery chunks: Reed-Solomon parity over the data chunks (and the manifest and tree
// file), so that any N lost or damaged files of a set with N recovery chunks come back.
// Each recovery file "STEM_<n>.rec" is a 4096-byte header and one chunk's worth of parity;
// every header carries what a repair needs, so any surviving recovery file can drive it.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/checksums.h"
#include "engine/job_control.h"
#include "platform/outcome.h"

namespace morvane {

inline constexpr std::size_t kRecoveryHeaderSize = 4096;
inline constexpr int kMaxRecovery = 32;

// What a split has written, for the recovery chunks to cover.
struct RecoverySource {
    std::string folder;  // where the set is (being built)
    std::string stem;
    std::int32_t chunkCount = 0;
    std::int64_t chunkSize = 0;
    std::int64_t totalSize = 0;
    int parity = 0;  // N
    // SHA-256 of every chunk, lower-case hex, in index order.
    std::vector<std::string> chunkDigests;
    // Where the recovery files go; empty: beside the chunks.
    std::string outFolder;
};

// How many recovery chunks per group a set had, from the number of recovery files its
// checksum list names; 0 when no count fits.
int recoveryPerGroup(std::int32_t chunkCount, std::int64_t chunkSize, std::int64_t metaBytes,
                     int recoveryFiles);

// How many recovery files a split of chunkCount chunks with parity recovery chunks per
// group writes, at most.
int recoveryFilesFor(std::int32_t chunkCount, int parity);

// The recovery chunks of a split coded as its chunks' bytes pass, so that the chunks need
// not be read back: for every group, the parity of every shard, in the recovery files
// themselves, or else of the first bytes of every shard, as far as a memory budget
// reaches. What lies beyond is coded from the chunks once they are written. The first group's
// parity also depends on how many shards the manifest and tree file take, which is known only at
// the end: the coder assumes one, and is not used when that proves wrong.
class ParityCoder {
public:
    // For a split of chunkCount chunks of chunkSize bytes, totalSize in all, with parity
    // recovery chunks per group, whose manifest and tree file take at most metaBound bytes.
    ParityCoder(std::int32_t chunkCount, std::int64_t chunkSize, std::int64_t totalSize, int parity,
                std::int64_t metaBound, std::int64_t budget);
    ~ParityCoder();
    ParityCoder(const ParityCoder&) = delete;
    ParityCoder& operator=(const ParityCoder&) = delete;

    // Keeps the parity in the set's own recovery files instead, created in folder under
    // stem's names and mapped into memory: then every byte of it is coded as the chunks
    // pass, whatever the budget, and no chunk is read back. Their paths go to *written.
    // False, with the coder as it was, where the files cannot be made or mapped.
    bool keepInFiles(const std::string& folder, const std::string& stem,
                     std::vector<std::string>* written);
    // The bytes at the start of every shard that are coded as they pass; 0: none.
    std::int64_t codedLength() const;
    // The chunk bytes writeRecovery still reads back.
    std::int64_t readBackBytes() const;
    // length bytes of a chunk at offset, in order for each chunk; two chunks may be added
    // at once, from two threads.
    void add(std::int32_t chunk, std::int64_t offset, const unsigned char* bytes,
             std::size_t length);

    // What writeRecovery takes over.
    struct State;
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// Writes the recovery files of a finished set: reads the chunks once more, stripe by
// stripe, so memory stays bounded whatever the chunk size; with a coder that saw the
// split's bytes, only what it did not code. Appends a checksum line and the path of each
// file it writes.
Outcome writeRecovery(const RecoverySource& source, JobControl& control,
                      std::vector<ChecksumLine>* lines, std::vector<std::string>* written,
                      ParityCoder* coded = nullptr);

// Foreign: a whole, self-consistent recovery file of another set under this set's name.
enum class FileState { Ok, Missing, Damaged, Foreign };
const char* fileStateName(FileState state);  // "ok", "missing", "damaged", "foreign"

// What decided a file's state.
enum class Witness { None, List, Headers, Manifest, Fingerprint };

struct RecoveryFile {
    std::string name;  // relative to the chunk folder
    FileState state = FileState::Missing;
    Witness witness = Witness::None;
    std::string sha256;  // of the whole file as it was assessed; empty when unread
};

// What a set's recovery files say about it, and whether it can be made whole.
struct RecoveryAssessment {
    bool present = false;  // at least one recovery file with a sound header
    std::string stem;
    int parity = 0;
    int groups = 0;
    std::int32_t chunkCount = 0;
    std::int64_t chunkSize = 0;
    std::int64_t totalSize = 0;
    std::vector<FileState> chunks;  // per data chunk
    FileState manifest = FileState::Ok;
    FileState tree = FileState::Ok;
    bool metaCovered = false;                 // the manifest and tree file are coded too
    std::vector<RecoveryFile> recoveryFiles;  // every one the set should have
    std::vector<std::string> lost;            // every lost or damaged file, by name
    bool repairable = false;
    int moreNeeded = 0;  // how many more files a repair would need
    // Recovery files of another set in the folder, under this set's stem: never used.
    std::vector<std::string> foreign;
    // What decided which recovery files are the set's own.
    Witness decidedBy = Witness::None;
    // The SHA-256 (or, from a recovery header, its first 32 hexadecimal digits) a witness
    // independent of the recovery files vouches for, by file name: what a rebuilt or
    // listed file must match.
    std::map<std::string, std::string> proven;
};

// True when hex begins with, or is, what the witness holds.
bool matchesProven(const RecoveryAssessment& a, const std::string& name, const std::string& hex);

// Reads every byte of the set's data and recovery files. Which recovery files are the
// set's own is decided by the checksum list (each file's SHA-256), else by headers that
// agree with the manifest present, the chunks and each other; the rest are foreign. A
// chunk is judged by the list, else the headers, else the manifest's fingerprint.
// Headers whose counts do not fit the folder fail as Malformed before any allocation.
Outcome assessRecovery(const std::string& folder, const std::map<std::string, std::string>* list,
                       JobControl& control, RecoveryAssessment* out);

// Rebuilds every lost file of a repairable set into outFolder under its own name, each
// checked against a witness before it is kept, from recovery files exactly as assessed
// (a file that changed since is not used). *rebuilt gets their names.
Outcome rebuildLost(const std::string& folder, const RecoveryAssessment& assessment,
                    const std::string& outFolder, JobControl& control,
                    std::vector<std::string>* rebuilt);

// Rebuilds the chunks lost into outFolder, for a set whose checksum list, manifest and
// tree file are whole and whose losses are known without reading a chunk: only the other
// chunks of each lost one's group and its listed recovery files are read, once. Nothing is
// trusted before that: each recovery header must agree with the list, and each rebuilt
// chunk must match it, which fails when any file it came from is damaged. A failure says
// only that this way did not serve; assessRecovery then finds out why.
Outcome rebuildListedChunks(const std::string& folder, const std::string& stem,
                            std::int32_t chunkCount, const std::map<std::string, std::string>& list,
                            const std::vector<std::int32_t>& lost, const std::string& outFolder,
                            JobControl& control, std::vector<std::string>* rebuilt);

}  // namespace morvane
