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

Outcome removeListedChunks(const std::vector<ChunkCheckEntry>& entries) {
    Outcome outcome;
    for (const ChunkCheckEntry& entry : entries)
        outcome.absorb(plat::removeFile(entry.chunkPath.c_str()));
    return outcome;
}

}  // namespace morvane
