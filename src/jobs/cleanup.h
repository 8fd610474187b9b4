#pragma once
// Deleting what a finished job no longer needs: the source after a split, the chunk
// files after a join. Call these only after a job whose outcome was a success.

#include <string>
#include <vector>

#include "engine/join.h"
#include "engine/tree.h"
#include "platform/outcome.h"

namespace morvane {

// What a deletion left where it was, and why (engine text).
struct Kept {
    std::string path;
    std::string why;
    bool leftOut = false;  // a FIFO, socket or device the order left out: no failure
};

// After a single-file split: the source (a link given as the source: the link), only when
// what stands at its name now is still what the split read, seen; else it is kept, and
// the outcome is a Fault::Changed failure.
Outcome removeSplitSource(const std::string& path, const plat::FileIdentity& seen,
                          std::vector<Kept>* kept);

// After a folder split: exactly the entries the set holds (files and links) that are still
// what the walk saw, each proved again just before it goes, then the folders left empty,
// deepest first. Whatever changed since, or the set does not hold, stays where it was and
// is named in *kept; the outcome is then a Fault::Changed failure naming the first of
// them, unless all that was kept are the FIFOs, sockets and devices the walk left out.
Outcome removeSplitTree(const std::string& root, const Walk& walk, std::vector<Kept>* kept);

// After a join: exactly the chunk files the chunk-set check listed, never the manifest
// or the chunk folder. Goes on past a failure; the outcome keeps the first one and
// counts the others.
Outcome removeListedChunks(const std::vector<ChunkCheckEntry>& entries);

}  // namespace morvane
