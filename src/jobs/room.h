#pragma once
// Whether the file system that will hold a job's output has the room for it, asked before
// anything is written: a job refused then has cost nothing, where one that meets a full
// disk half way has cost the time it ran.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/join.h"
#include "engine/tree.h"
#include "platform/outcome.h"

namespace morvane::jobs {

// The bytes a file of size bytes takes on a file system of blocks of blockSize.
std::int64_t onDisk(std::int64_t bytes, std::int64_t blockSize);

// Success when the file system that holds folder (or, while folder is not made yet, its
// deepest existing folder) has needed(blockSize) bytes free; otherwise a NoSpace failure
// about concerned that names both numbers. What an output replaces frees its room only once
// the new one is in place, so it is not counted as free. A file system that cannot be
// measured is no refusal: the writes say what they meet.
Outcome checkRoom(const std::string& folder, const std::string& concerned, const char* what,
                  const std::function<std::int64_t(std::int64_t blockSize)>& needed);

// What a split takes: the chunks, the recovery chunks, the manifest, the tree file and the
// checksum list, each in whole blocks.
std::int64_t splitNeeds(const Walk& walk, std::int64_t chunkSize, int recovery,
                        std::size_t stemLength, std::int64_t blockSize);

// What a join of the set in chunkDir takes: each file in whole blocks (only the data of a
// file with holes), and each folder one block. tree: the set's tree file, read by the
// caller; null where it has none, or none that could be read, and the manifest says.
std::int64_t joinNeeds(const ChunkSetCheck& check, const Tree* tree, std::int64_t blockSize);

}  // namespace morvane::jobs
