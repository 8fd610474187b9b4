#include "jobs/cleanup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

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

Outcome removeSplitSource(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) return removeFolderTree(path);
    return plat::removeFile(engineTextOf(path).c_str());
}

Outcome removeSplitTree(const std::string& root, const Tree& tree, std::vector<std::string>* kept) {
    kept->clear();
    auto pathOf = [&](const TreeEntry& e) { return e.name == "." ? root : root + "/" + e.name; };
    for (const TreeEntry& e : tree.entries)
        if (e.type != TreeEntry::Type::Folder)
            if (Outcome o = plat::removeFile(pathOf(e).c_str()); !o && !o.is(Fault::NotFound))
                return o;
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
            for (const plat::DirEntry& d : left)
                if (d.kind != plat::Kind::Folder || d.isLink) kept->push_back(path + "/" + d.name);
    }
    return Outcome::success();
}

Outcome removeListedChunks(const std::vector<ChunkCheckEntry>& entries) {
    Outcome outcome;
    for (const ChunkCheckEntry& entry : entries)
        if (Outcome o = plat::removeFile(entry.chunkPath.c_str()); !o && !o.is(Fault::NotFound))
            outcome.absorb(o);
    return outcome;
}

}  // namespace morvane
