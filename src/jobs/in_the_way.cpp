#include "jobs/in_the_way.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/checksums.h"
#include "engine/manifest.h"
#include "engine/set_names.h"
#include "engine/tree.h"
#include "platform/native.h"

namespace morvane::jobs {

namespace {

// What stands at path, and the names at its top when it is a folder.
InTheWay lookAt(const std::string& path, std::vector<plat::DirEntry>* entries) {
    InTheWay way;
    plat::StatInfo info;
    way.exists = plat::pathExists(path.c_str());
    if (!way.exists || !plat::statPath(path.c_str(), &info)) return way;
    way.size = info.size;
    // A link to a folder is replaced as a link: what it points to stays.
    std::string linkText;
    if (info.kind != plat::Kind::Folder || plat::readLink(path.c_str(), &linkText)) return way;
    std::vector<plat::DirEntry> listed;
    way.folder = plat::listDirectory(path.c_str(), &listed).ok;
    if (way.folder) {
        way.entries = static_cast<int>(listed.size());
        *entries = std::move(listed);
    }
    return way;
}

std::string topOf(const std::string& relative) {
    return relative.substr(0, relative.find('/'));
}

}  // namespace

InTheWay inChunkFolder(const std::string& folder, const std::string& stem) {
    std::vector<plat::DirEntry> entries;
    InTheWay way = lookAt(folder, &entries);
    Manifest there;
    const SetNames names(folder, readManifest(folder, &there) && !there.sourceName.empty()
                                     ? stemOf(there.sourceName)
                                     : stem);
    for (const plat::DirEntry& e : entries) {
        const bool own =
            e.kind == plat::Kind::File &&
            (e.name == kManifestName || e.name == kTreeName || e.name == kChecksumListName ||
             names.chunkIndexOf(e.name) >= 0 || names.recoveryNumberOf(e.name) >= 0);
        if (!own) way.foreign.push_back(e.name);
    }
    std::sort(way.foreign.begin(), way.foreign.end());
    return way;
}

InTheWay inJoinTarget(const std::string& target, const ChunkSetCheck& check) {
    std::vector<plat::DirEntry> entries;
    InTheWay way = lookAt(target, &entries);
    if (!way.folder) return way;
    std::set<std::string> own;
    // What an encrypted set holds is sealed: nothing here can say what it would not make.
    if (check.manifest.isSealed()) {
        way.namesKnown = false;
        return way;
    }
    if (check.manifest.isFolderSet()) {
        for (const FileRecord& r : check.manifest.files) own.insert(topOf(r.relativeName));
        // Empty folders and links are only in the tree file.
        bool present = false;
        Tree tree;
        if (readTree(check.chunkDir, &present, &tree) && present)
            for (const TreeEntry& e : tree.entries)
                if (e.name != ".") own.insert(topOf(e.name));
        if (own.empty()) {
            way.namesKnown = false;
            return way;
        }
    }
    for (const plat::DirEntry& e : entries)
        if (own.count(e.name) == 0) way.foreign.push_back(e.name);
    std::sort(way.foreign.begin(), way.foreign.end());
    return way;
}

std::vector<std::string> heldOnlyBySet(const std::string& folder, const Manifest& set,
                                       const Walk& now) {
    struct Held {
        std::int64_t size = 0;
        std::int64_t modifiedNs = 0;
        bool timeKnown = false;
    };
    // What the set holds: its tree file says sizes and times; an older set's manifest says
    // sizes only.
    std::map<std::string, Held> held;
    bool present = false;
    Tree tree;
    if (readTree(folder, &present, &tree) && present) {
        for (const TreeEntry& e : tree.entries)
            if (e.type == TreeEntry::Type::File) held[e.name] = {e.size, e.modifiedNs, true};
    } else if (set.isFolderSet()) {
        for (const FileRecord& r : set.files) held[r.relativeName].size += r.pieceLength;
    } else {
        held[set.sourceName] = {set.totalSize, 0, false};
    }
    std::map<std::string, const TreeEntry*> there;
    for (const TreeEntry& e : now.tree.entries)
        if (e.type == TreeEntry::Type::File) there[e.name] = &e;
    std::vector<std::string> only;
    for (const auto& [name, h] : held) {
        if (h.size <= 0) continue;
        const auto it = there.find(name);
        if (it == there.end() || it->second->size != h.size ||
            (h.timeKnown && it->second->modifiedNs != h.modifiedNs))
            only.push_back(name);
    }
    return only;
}

}  // namespace morvane::jobs
