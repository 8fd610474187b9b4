#pragma once
// The process-wide engine state, the job records and the manifest's records, held byte
// for byte as they stand in the manifest file.

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outcome.h"

namespace morvane {

static_assert(std::endian::native == std::endian::little,
              "records are kept in memory exactly as the little-endian manifest holds them");

constexpr std::int32_t kFormatA = 2014;
constexpr std::int32_t kFormatB = 101;
constexpr std::size_t kPathField = 1024;  // every path buffer, NUL included
constexpr std::size_t kNameField = 256;   // sourceName and relativeName, NUL included
constexpr std::size_t kPasswordField = 32;
constexpr std::size_t kDigestText = 33;  // 32 hexadecimal characters and a NUL

#pragma pack(push, 1)
struct ManifestHeader {
    char reserved[32];
    std::int32_t formatA;
    std::int32_t formatB;
    std::int32_t chunkCount;
    std::int32_t fileCount;
    std::int64_t totalSize;
    char passwordDigest[40];
    char sourceName[kNameField];
};

struct ChunkRecord {
    std::int32_t chunkIndex;
    char fingerprint[kDigestText];
};

struct FileRecord {
    char relativeName[kNameField];
    std::int32_t recordNumber;
    std::int32_t chunkIndex;
    std::int64_t pieceOffset;
    std::int64_t pieceLength;
};
#pragma pack(pop)

static_assert(sizeof(ManifestHeader) == 352);
static_assert(sizeof(ChunkRecord) == 37);
static_assert(sizeof(FileRecord) == 280);

struct SplitJob {
    char sourcePath[kPathField];
    char outputDir[kPathField];
    std::int64_t totalSize;
    std::int64_t chunkSize;
    char password[kPasswordField];
};

struct MergeJob {
    char chunkDir[kPathField];
    char outputDir[kPathField];
};

struct EngineState {
    std::atomic<std::int64_t> jobBytesDone{0};
    std::atomic<std::int64_t> jobBytesTotal{0};
    ManifestHeader header{};
    char manifestPath[kPathField]{};
    std::vector<ChunkRecord> chunkRecords;
    std::vector<FileRecord> fileRecords;
    std::mutex recordGuard;  // serialises appends to chunkRecords
    // True when the last manifest read held fewer record bytes than its counts claim.
    bool recordsCutShort = false;
};

EngineState& engineState();

std::int64_t getBytesDone();
std::int64_t getBytesTotal();
void addBytesDone(std::int64_t bytes);
// Starts a job's progress: done 0, then the total.
void resetProgress(std::int64_t total);

void setChunkCount(std::int32_t count);
void setTotalSize(std::int64_t size);
// Refuses a name of more than 255 bytes rather than cutting it.
Outcome setSourceName(std::string_view name);
void setPasswordDigest(const char* password);

std::int32_t getChunkCount();
std::int32_t getFileCount();
std::int64_t getTotalSize();
// Copies sourceName (up to its NUL or the field's end) with a NUL; out holds kNameField + 1.
void getSourceName(char* out, std::size_t outSize);
// False, with out untouched, when the set has no password digest.
bool getPasswordDigest(char* out, std::size_t outSize);

// Copies text with its NUL into a fixed field; refuses text that does not fit.
Outcome copyToField(char* field, std::size_t fieldSize, std::string_view text, const char* what);

// Refuses a path that would not fit a path field (1023 bytes and a NUL).
Outcome fitsPathField(const std::string& path);

// Length of a text field: up to its first NUL or the field's end.
std::size_t fieldLength(const char* field, std::size_t fieldSize);

}  // namespace morvane
