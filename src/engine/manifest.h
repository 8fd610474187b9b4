#pragma once
// The chunk set's manifest "spt_config.qorvelx": header, chunk records, file records.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/outcome.h"

namespace morvane {

inline constexpr char kManifestName[] = "spt_config.qorvelx";

// Chunk file number index of a set: folder + "/" + stem + "_" + index + ".spt".
std::string chunkPathOf(const std::string& folder, const char* stem, std::int64_t index);

// folder + "/spt_config.qorvelx" into out (kPathField bytes); refuses a path that does not fit.
Outcome manifestPathOf(const char* folder, char* out);
// Clears the image for a new set in chunkFolder.
Outcome resetManifest(const char* chunkFolder);
Outcome writeManifest();
// Replaces the image with the manifest of folder: 0, or -1 (with *why) when there is
// no valid manifest. Missing bytes read as zero; a text field ends at its first NUL.
int readManifest(const char* folder, Outcome* why = nullptr);
void clearManifestRecords();

// Appends the record of a finished chunk with its fingerprint (zero when the chunk
// cannot be read, which the returned failure then says).
Outcome addChunkRecord(std::int32_t chunkIndex, const char* chunkPath);
// Appends the record of one piece of a file and advances fileCount; refuses a name that
// does not fit its field.
Outcome addFileRecord(const char* relativeName, std::int32_t chunkIndex, std::int64_t pieceOffset,
                      std::int64_t pieceLength);

}  // namespace morvane
