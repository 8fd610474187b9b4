#include "jobs/cleanup.h"

#include <set>

#include "platform/native.h"

namespace morvane {
namespace {

// Why what stands at a name now is not what the split read there, or null when it is.
const char* changeOf(const plat::FileIdentity& seen, const plat::FileIdentity& now) {
    if (now == seen) return nullptr;
    if (now.device != seen.device || now.inode != seen.inode)
        return "another file was put in its place after the split read it";
    if (now.size != seen.size) return "its size changed after the split read it";
    return "it was written to after the split read it";
}

// Checked at the last moment, so that a file changed at any time since the split read it
// stays: its new bytes are in no chunk.
Outcome removeIfUnchanged(const std::string& path, const plat::FileIdentity& seen,
                          std::vector<Kept>* kept) {
    plat::FileIdentity now;
    Outcome o = plat::linkIdentity(path.c_str(), &now);
    if (o.is(Fault::NotFound)) return Outcome::success();
    if (!o) return o;
    if (const char* why = changeOf(seen, now)) {
        kept->push_back({path, why});
        return Outcome::success();
    }
    o = plat::removeFile(path.c_str());
    return o || o.is(Fault::NotFound) ? Outcome::success() : o;
}

// The first of what was kept as the failure, the others counted; entries the order left
// out on purpose are no failure.
Outcome keptOutcome(const std::vector<Kept>& kept) {
    Outcome outcome;
    for (const Kept& k : kept)
        if (!k.leftOut) outcome.absorb(Outcome::failure(Fault::Changed, k.path, "kept: " + k.why));
    return outcome;
}

}  // namespace

Outcome removeSplitSource(const std::string& path, const plat::FileIdentity& seen,
                          std::vector<Kept>* kept) {
    kept->clear();
    if (Outcome o = removeIfUnchanged(path, seen, kept); !o) return o;
    return keptOutcome(*kept);
}

Outcome removeSplitTree(const std::string& root, const Walk& walk, std::vector<Kept>* kept) {
    kept->clear();
    const Tree& tree = walk.tree;
    auto pathOf = [&](const TreeEntry& e) { return e.name == "." ? root : root + "/" + e.name; };
    for (std::size_t i = 0; i < tree.entries.size(); ++i)
        if (tree.entries[i].type != TreeEntry::Type::Folder)
            if (Outcome o = removeIfUnchanged(
                    pathOf(tree.entries[i]),
                    i < walk.seen.size() ? walk.seen[i] : plat::FileIdentity{}, kept);
                !o)
                return o;
    std::set<std::string> named;
    for (const Kept& k : *kept) named.insert(k.path);
    const std::set<std::string> leftOut(walk.specials.begin(), walk.specials.end());
    // Walk order puts a folder before what it holds, so backwards is deepest first.
    for (auto it = tree.entries.rbegin(); it != tree.entries.rend(); ++it) {
        if (it->type != TreeEntry::Type::Folder) continue;
        const std::string path = pathOf(*it);
        Outcome o = plat::removeDirectory(path.c_str());
        if (o || o.is(Fault::NotFound)) continue;
        if (!o.is(Fault::NotEmpty) && !o.is(Fault::Exists)) return o;
        // Left holding what was never stored: say what, once, at the deepest level.
        std::vector<plat::DirEntry> left;
        if (plat::listDirectory(path.c_str(), &left))
            for (const plat::DirEntry& d : left) {
                const std::string child = path + "/" + d.name;
                if ((d.kind == plat::Kind::Folder && !d.isLink) || named.count(child) != 0)
                    continue;
                if (leftOut.count(child) != 0)
                    kept->push_back({child, "left out: a FIFO, socket or device", true});
                else
                    kept->push_back({child,
                                     "it is not part of the set: it came after the "
                                     "split read the folder"});
            }
    }
    return keptOutcome(*kept);
}

Outcome removeListedChunks(const std::vector<ChunkCheckEntry>& entries) {
    Outcome outcome;
    for (const ChunkCheckEntry& entry : entries)
        if (Outcome o = plat::removeFile(entry.chunkPath.c_str()); !o && !o.is(Fault::NotFound))
            outcome.absorb(o);
    return outcome;
}

}  // namespace morvane
