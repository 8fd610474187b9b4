#include "jobs/in_the_way.h"

#include <algorithm>
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

}  // namespace morvane::jobs
