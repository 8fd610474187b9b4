#include "jobs/cleanup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <set>

#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

std::string engineTextOf(const QString& path) {
    std::string text;
    if (!plat::toEngineText(path, &text)) text = path.toStdString();
    return text;
}

// Qt keeps no reason for a failed removal, but the system call it made leaves errno.
Outcome removalFailure(const QString& path) {
    const int err = errno;
    if (err != 0) return Outcome::systemFailure(engineTextOf(path), err);
    return Outcome::failure(engineTextOf(path), "cannot be removed");
}

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

Outcome removeFolderTree(const QString& path) {
    constexpr QDir::Filters kFilter = QDir::Dirs | QDir::Files | QDir::Readable | QDir::Writable |
                                      QDir::Hidden | QDir::NoDotAndDotDot;
    QStringList folders{path};
    for (qsizetype i = 0; i < folders.size(); ++i) {
        QDir folder(folders[i]);
        const QFileInfoList entries = folder.entryInfoList(kFilter, QDir::Name);
        for (const QFileInfo& entry : entries) {
            // A link to a folder leads outside the tree: only the link goes.
            if (entry.isDir() && !entry.isSymLink()) {
                folders.append(entry.filePath());
                continue;
            }
            errno = 0;
            if (!folder.remove(entry.fileName())) return removalFailure(entry.filePath());
        }
    }
    // rmdir(".") inside the folder fails on POSIX systems, so each folder goes by its path.
    for (qsizetype i = folders.size() - 1; i >= 0; --i) {
        errno = 0;
        if (!QDir().rmdir(folders[i])) return removalFailure(folders[i]);
    }
    return Outcome::success();
}

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
