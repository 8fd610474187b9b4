#pragma once
// The tree side file "spt_tree": what the manifest cannot hold. Whether the set is a
// folder, and for every entry its type, mode bits, modification time, a link's target and
// a file's data ranges when it has holes. Other copies of the program ignore it; a set
// without it joins as before.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/native.h"
#include "platform/outcome.h"

namespace morvane {

inline constexpr char kTreeName[] = "spt_tree";
inline constexpr char kTreeMagic[] = "morvane-tree 1";

struct TreeEntry {
    enum class Type { File, Folder, Link };
    Type type = Type::File;
    std::string name;  // engine text, relative to the split folder; "." for the folder itself
    std::uint32_t mode = 0644;
    std::int64_t modifiedNs = 0;
    std::int64_t size = 0;   // a file's
    std::string linkTarget;  // a link's, in the file system's own bytes
    // A file with holes: the ranges (offset, length) that hold data. Empty `sparse` false
    // for a dense file.
    bool sparse = false;
    std::vector<std::pair<std::int64_t, std::int64_t>> dataRanges;
};

struct Tree {
    bool folderSet = false;
    std::vector<TreeEntry> entries;  // in walk order: a folder before what it holds
};

// Regular files go into the chunks, in walk order; the tree records everything else too.
struct Walk {
    Tree tree;
    // For each file, in stream order, its entry in the tree, whose name is its path below
    // the folder walked.
    std::vector<std::size_t> fileEntry;
    std::int64_t totalSize = 0;         // of those files
    std::vector<std::string> specials;  // FIFOs, sockets and devices: not stored
    // For each tree entry, what stood at its name when it was walked, links not followed:
    // a deletion after the split removes only what is still that.
    std::vector<plat::FileIdentity> seen;
};

// Walks a folder depth first, each folder's entries in the order the system returns them,
// dot-names included. Links are recorded, never followed.
Outcome walkFolder(const std::string& root, Walk* walk);
// One file as a single-file set's tree.
Outcome describeFile(const std::string& path, Walk* walk);

std::string encodeTree(const Tree& tree);
// The same text handed to put in blocks of about 1 MiB, each ending on a line, so that a
// tree of many entries is never held whole; a failure of put ends it.
using TreeSink = std::function<Outcome(const char* bytes, std::size_t size)>;
Outcome encodeTree(const Tree& tree, const TreeSink& put);
// The size of that text, without holding it.
std::int64_t encodedTreeSize(const Tree& tree);
// Refuses a damaged or hostile tree: unknown lines, names that climb out or repeat, and
// entries below a link or a file.
Outcome parseTree(const std::string& text, const std::string& path, Tree* tree);
// Reads folder's side file; *present false, with success, when there is none. sha256, when
// given, gets the digest of the very bytes parsed, for the checksum list to vouch for them.
Outcome readTree(const std::string& folder, bool* present, Tree* tree,
                 std::string* sha256 = nullptr);

}  // namespace morvane
