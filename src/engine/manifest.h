#pragma once
// The chunk set's manifest "spt_config.qorvelx" as a value: header fields, chunk records
// and file records. Only the reader and the writer know the packed file layout.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/limits.h"
#include "platform/outcome.h"

namespace morvane {

inline constexpr char kManifestName[] = "spt_config.qorvelx";
constexpr std::int32_t kFormatA = 2014;
constexpr std::int32_t kFormatB = 101;

struct ChunkRecord {
    std::int32_t chunkIndex = 0;
    std::string fingerprint;  // 32 upper-case hexadecimal characters, or empty
};

// One piece of one file of a folder set.
struct FileRecord {
    std::string relativeName;  // engine text, "/"-separated as written here
    std::int32_t recordNumber = 0;
    std::int32_t chunkIndex = 0;
    std::int64_t pieceOffset = 0;
    std::int64_t pieceLength = 0;
};

struct Manifest {
    std::int32_t chunkCount = 0;
    std::int32_t fileCount = 0;  // as the header says; 0 for a single-file set
    std::int64_t totalSize = 0;
    std::string passwordDigest;  // empty when the set is not protected
    std::string sourceName;      // engine text
    std::vector<ChunkRecord> chunks;
    std::vector<FileRecord> files;
    // Set by the reader: the file held fewer record bytes than its counts claim.
    bool recordsCutShort = false;

    bool isFolderSet() const { return fileCount > 0; }
    bool isProtected() const { return !passwordDigest.empty(); }
    // Encrypted: the chunks are sealed, and the sealed header holds what the set hides.
    bool isSealed() const;
    // Refuses a name of more than 255 bytes rather than cutting it.
    Outcome setSourceName(std::string_view name);
    void protectWith(const char* password);
    // Appends one piece of a file and advances fileCount; refuses a name that does not fit.
    Outcome addFilePiece(std::string_view relativeName, std::int32_t chunkIndex,
                         std::int64_t pieceOffset, std::int64_t pieceLength);
    // The number of distinct files a folder set holds; 1 for a single-file set.
    std::int32_t distinctFiles() const;
};

// folder + "/spt_config.qorvelx".
std::string manifestPathOf(const std::string& folder);
// Chunk file number index of a set: folder + "/" + stem + "_" + index + ".spt".
std::string chunkPathOf(const std::string& folder, const std::string& stem, std::int64_t index);
// The source name up to its first ".": the start of every chunk's name.
std::string stemOf(const std::string& sourceName);

// The manifest's bytes as they stand in the file. Refuses texts that do not fit.
Outcome encodeManifest(const Manifest& manifest, std::vector<char>* bytes);
// The same bytes handed to put in order, a block of at most 1 MiB at a time, so that a
// manifest of many records is never held whole; a failure of put ends the encoding.
using ManifestSink = std::function<Outcome(const char* bytes, std::size_t size)>;
Outcome encodeManifest(const Manifest& manifest, const ManifestSink& put);
// The size of an encoded manifest of so many chunk and file records.
std::int64_t manifestSizeFor(std::int64_t chunks, std::int64_t files);
// Writes the manifest in one write. Refuses texts that do not fit their fields. With
// createNew, only a new file is made: nothing already there is written through.
Outcome writeManifest(const std::string& path, const Manifest& manifest, bool createNew = false);
// The manifest held in bytes, as readManifest reads it from a file; path names it.
Outcome decodeManifest(const std::string& bytes, const std::string& path, Manifest* out);
// Reads the manifest of folder. Missing record bytes read as zero; a text field ends at
// its first NUL. On failure *out is empty and the outcome says why. sha256, when given,
// gets the digest of the whole file as it was read, the very bytes decoded.
Outcome readManifest(const std::string& folder, Manifest* out, std::string* sha256 = nullptr);

}  // namespace morvane
