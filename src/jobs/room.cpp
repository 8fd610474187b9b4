#include "jobs/room.h"

#include <cerrno>
#include <limits>
#include <map>

#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/recovery.h"
#include "engine/split.h"
#include "jobs/presentation.h"
#include "platform/native.h"

namespace morvane::jobs {
namespace {

// "1.20 MiB", with the bytes where two such texts would read alike.
std::string amountText(std::int64_t bytes, std::int64_t other) {
    std::string text = formatBytes(bytes);
    if (text == formatBytes(other) && bytes != other)
        text += " (" + std::to_string(bytes) + " bytes)";
    return text;
}

// The folder itself, or the deepest folder above it that exists.
std::string existingFolderOf(std::string folder) {
    while (!folder.empty() && !plat::pathExists(folder.c_str())) {
        const std::size_t slash = folder.rfind('/');
        if (slash == std::string::npos) return ".";
        folder.resize(slash == 0 ? 1 : slash);
        if (slash == 0) break;
    }
    return folder.empty() ? "." : folder;
}

// A manifest or tree file read before it was checked may claim any size: the sum stops at
// the largest number rather than wrapping round to a small one.
void add(std::int64_t* sum, std::int64_t more) {
    if (more <= 0) return;
    *sum = more > std::numeric_limits<std::int64_t>::max() - *sum
               ? std::numeric_limits<std::int64_t>::max()
               : *sum + more;
}

}  // namespace

std::int64_t onDisk(std::int64_t bytes, std::int64_t blockSize) {
    if (bytes <= 0) return 0;
    if (blockSize <= 1 || bytes > std::numeric_limits<std::int64_t>::max() - blockSize)
        return bytes;
    return (bytes + blockSize - 1) / blockSize * blockSize;
}

Outcome checkRoom(const std::string& folder, const std::string& concerned, const char* what,
                  const std::function<std::int64_t(std::int64_t blockSize)>& needed) {
    plat::Room room;
    if (!plat::fileSystemRoom(existingFolderOf(folder).c_str(), &room)) return Outcome::success();
    const std::int64_t need = needed(room.blockSize);
    if (need <= room.freeBytes) return Outcome::success();
    return Outcome::failure(Fault::NoSpace, concerned,
                            std::string("there is no room for ") + what + ": it needs " +
                                amountText(need, room.freeBytes) + ", and the file system has " +
                                amountText(room.freeBytes, need) + " free",
                            ENOSPC);
}

std::int64_t splitNeeds(const Walk& walk, std::int64_t chunkSize, int recovery,
                        std::size_t stemLength, std::int64_t blockSize) {
    const std::int64_t total = walk.totalSize;
    const std::int64_t count = chunkCountFor(total, chunkSize);
    const int recoveryFiles = recoveryFilesFor(static_cast<std::int32_t>(count), recovery);
    std::int64_t need = blockSize;  // the chunk folder
    if (count > 0) {
        add(&need, (count - 1) * onDisk(chunkSize, blockSize));
        add(&need, onDisk(total - (count - 1) * chunkSize, blockSize));
        add(&need,
            recoveryFiles *
                onDisk(chunkSize + static_cast<std::int64_t>(kRecoveryHeaderSize), blockSize));
    }
    // A file's pieces are at most one each, and one more for every chunk that ends inside it.
    const std::int64_t records =
        walk.tree.folderSet ? static_cast<std::int64_t>(walk.fileEntry.size()) + count : 0;
    add(&need, onDisk(352 + 37 * count + 280 * records, blockSize));
    add(&need, onDisk(encodedTreeSize(walk.tree), blockSize));
    // A list line: 64 digits, two blanks, STEM_<index>.spt or .rec, a newline.
    const auto line = static_cast<std::int64_t>(64 + 2 + stemLength + 1 + 10 + 4 + 1);
    add(&need, onDisk(line * (count + 2 + recoveryFiles), blockSize));
    return need;
}

std::int64_t joinNeeds(const ChunkSetCheck& check, const Tree* tree, std::int64_t blockSize) {
    const Manifest& m = check.manifest;
    std::int64_t need = 0;
    if (tree != nullptr) {
        for (const TreeEntry& e : tree->entries) {
            if (e.type == TreeEntry::Type::Folder) add(&need, blockSize);
            if (e.type != TreeEntry::Type::File) continue;
            if (!e.sparse) {
                add(&need, onDisk(e.size, blockSize));
                continue;
            }
            for (const auto& [offset, length] : e.dataRanges) add(&need, onDisk(length, blockSize));
        }
        return need;
    }
    if (!m.isFolderSet()) return onDisk(m.totalSize, blockSize);
    std::map<std::string, std::int64_t> sizes;
    for (const FileRecord& r : m.files) add(&sizes[r.relativeName], r.pieceLength);
    need = blockSize;  // the folder
    for (const auto& [name, size] : sizes) add(&need, onDisk(size, blockSize));
    return need;
}

}  // namespace morvane::jobs
