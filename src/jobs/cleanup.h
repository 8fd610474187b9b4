#pragma once
// Deleting what a finished job no longer needs: the source after a split, the chunk
// files after a join. Call these only after a job whose outcome was a success.

#include <QString>
#include <vector>

#include "engine/join.h"
#include "engine/tree.h"
#include "platform/outcome.h"

namespace morvane {

// Removes a folder and everything in it: every file while the tree is walked level by
// level, then the folders, deepest first. Entries that are not both readable and
// writable are left alone, so the folders holding them stay. A link is removed itself,
// never followed. Ends at the first file or folder that cannot be removed.
Outcome removeFolderTree(const QString& path);

// After a split: the source file, or the source folder with everything in it.
Outcome removeSplitSource(const QString& path);

// After a folder split: exactly the entries the set holds (files and links), then the
// folders left empty, deepest first. Whatever the set does not hold stays where it was;
// *kept gets the path of each such entry (engine text).
Outcome removeSplitTree(const std::string& root, const Tree& tree, std::vector<std::string>* kept);

// After a join: exactly the chunk files the chunk-set check listed, never the manifest
// or the chunk folder. Goes on past a failure; the outcome keeps the first one and
// counts the others.
Outcome removeListedChunks(const std::vector<ChunkCheckEntry>& entries);

}  // namespace morvane
