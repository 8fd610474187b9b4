#pragma once
// What replacing an existing output deletes besides what the job writes again: a question
// about a replace names it, so that nobody loses files they put there themselves.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/tree.h"

namespace morvane::jobs {

struct InTheWay {
    bool exists = false;
    bool folder = false;    // a folder stands there; otherwise a file (or a link, a device)
    std::int64_t size = 0;  // a file's bytes
    int entries = 0;        // a folder's entries, at its top
    // The entries at its top that are not the set's own (engine text, names only), sorted.
    std::vector<std::string> foreign;
    // False when the set's own names could not be told: foreign is then empty.
    bool namesKnown = true;
};

// An existing chunk folder that a split replaces: its entries that are no file of a chunk
// set there (the manifest, the tree file, the checksum list, and the chunk and recovery
// files of the stem its manifest names, or else of stem, the new set's).
InTheWay inChunkFolder(const std::string& folder, const std::string& stem);

// An existing target that a join replaces: for a folder, its entries that the set's own
// tree does not have at its top (all of them, when the set is a single file).
InTheWay inJoinTarget(const std::string& target, const ChunkSetCheck& check);

// The files of the chunk set at folder (its manifest is set) whose bytes the source, as
// walked now, no longer holds as the set does: gone, or of another size or modification
// time. The set may be the only copy of them. Names as the set records them; files without
// bytes hold no data and are left out.
std::vector<std::string> heldOnlyBySet(const std::string& folder, const Manifest& set,
                                       const Walk& now);

}  // namespace morvane::jobs
