#include "engine/split.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "platform/native.h"

namespace morvane {
namespace {

const char* const kTooLong = "the path is too long (at most 1023 bytes)";

// What both splits share: the names, the checks that refuse a job before anything is
// written, the chunk folder and the manifest image.
struct SplitPlan {
    std::int32_t chunkCount = 0;
    char name[kPathField] = {};
    char stem[kPathField] = {};
    std::string chunkFolder;
};

Outcome planSplit(const SplitJob& job, SplitPlan* plan) {
    const std::int64_t count = chunkCountFor(job.totalSize, job.chunkSize);
    if (count > INT32_MAX)
        return Outcome::failure(job.sourcePath, "the chunk size is too small: more than " +
                                                    std::to_string(INT32_MAX) + " chunks");
    plan->chunkCount = static_cast<std::int32_t>(count);
    if (baseName(job.sourcePath, plan->name, sizeof plan->name) != 0)
        return Outcome::failure(job.sourcePath, kTooLong, ENAMETOOLONG);
    std::memcpy(plan->stem, plan->name, sizeof plan->stem);
    cutAtFirstDot(plan->stem);

    plan->chunkFolder = std::string(job.outputDir) + "/" + plan->stem + "_spt";
    const std::string lastChunk =
        chunkPathOf(plan->chunkFolder, plan->stem, count > 0 ? count - 1 : 0);
    char manifest[kPathField];
    if (Outcome o = fitsPathField(plan->chunkFolder); !o) return o;
    if (Outcome o = fitsPathField(lastChunk); !o) return o;
    if (Outcome o = manifestPathOf(plan->chunkFolder.c_str(), manifest); !o) return o;
    if (std::strlen(plan->name) >= kNameField)
        return Outcome::failure(job.sourcePath, "the source name is too long (at most 255 bytes)",
                                ENAMETOOLONG);
    return Outcome::success();
}

// Makes the chunk folder (an existing one is reused) and starts the manifest image.
Outcome startChunkSet(SplitJob& job, const SplitPlan& plan) {
    Outcome result;
    std::memcpy(job.outputDir, plan.chunkFolder.c_str(), plan.chunkFolder.size() + 1);
    if (Outcome o = makeDir(job.outputDir); !o && o.error != EEXIST) result.absorb(o);
    result.absorb(resetManifest(job.outputDir));
    result.absorb(setSourceName(plan.name));
    setChunkCount(plan.chunkCount);
    setTotalSize(job.totalSize);
    if (job.password[0] != '\0') setPasswordDigest(job.password);
    return result;
}

// A chunk's record is added in every case; its fingerprint failure matters only when
// the chunk itself was written, or it would repeat the failure already counted.
void finishChunk(plat::File& chunk, std::int32_t index, const std::string& path, bool written,
                 Outcome* result) {
    if (written) result->absorb(chunk.close());
    const Outcome fingerprint = addChunkRecord(index, path.c_str());
    if (written) result->absorb(fingerprint);
}

Outcome sourceChanged(const char* path, const char* how) {
    return Outcome::failure(path, std::string("the source ") + how +
                                      " its measured size: it changed after it was measured");
}

// True when file still has a byte at its current position.
bool hasMoreBytes(plat::File& file) {
    char byte;
    std::size_t got = 0;
    return file.read(&byte, 1, &got) && got > 0;
}

}  // namespace

std::int64_t chunkCountFor(std::int64_t totalSize, std::int64_t chunkSize) {
    if (chunkSize < 1 || totalSize <= 0) return 0;
    return totalSize / chunkSize + (totalSize % chunkSize != 0 ? 1 : 0);
}

Outcome runSplitJob(SplitJob& job) {
    engineState().jobBytesDone.store(0, std::memory_order_relaxed);
    const int kind = pathKind(job.sourcePath);
    engineState().jobBytesTotal.store(job.totalSize, std::memory_order_relaxed);

    // Fields that lost their NUL would be read past their ends.
    if (fieldLength(job.sourcePath, sizeof job.sourcePath) == sizeof job.sourcePath ||
        fieldLength(job.outputDir, sizeof job.outputDir) == sizeof job.outputDir)
        return Outcome::failure("", kTooLong, ENAMETOOLONG);
    if (fieldLength(job.password, sizeof job.password) == sizeof job.password)
        return Outcome::failure("", "the password is too long (at most 31 bytes)", ENAMETOOLONG);
    if (job.chunkSize < 1)
        return Outcome::failure(job.sourcePath, "the chunk size must be at least 1 byte", EINVAL);
    if (job.totalSize < 0)
        return Outcome::failure(job.sourcePath, "the source size is unknown", EINVAL);
    return kind == 1 ? splitFolder(job) : splitSingleFile(job);
}

Outcome splitSingleFile(SplitJob& job) {
    SplitPlan plan;
    if (Outcome o = planSplit(job, &plan); !o) return o;
    Outcome result = startChunkSet(job, plan);

    plat::File source;
    const Outcome opened = source.open(job.sourcePath, plat::File::Mode::Read);
    result.absorb(opened);
    source.adviseSequential();
    bool sourceEnded = false;
    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        const std::string chunkPath = chunkPathOf(job.outputDir, plan.stem, i);
        plat::File chunk;
        const Outcome created = chunk.open(chunkPath.c_str(), plat::File::Mode::WriteTruncate);
        result.absorb(created);
        if (created && opened) {
            std::int64_t moved = 0;
            Outcome o = source.seek(static_cast<std::int64_t>(i) * job.chunkSize);
            if (o) o = moveBytes(source, chunk, job.chunkSize, &moved);
            result.absorb(o);
            const bool last = i == plan.chunkCount - 1;
            const std::int64_t expected = last ? job.totalSize - i * job.chunkSize : job.chunkSize;
            if (o && moved < expected && !sourceEnded) {
                sourceEnded = true;
                result.absorb(sourceChanged(job.sourcePath, "ended before"));
            }
        }
        finishChunk(chunk, i, chunkPath, created.ok, &result);
    }
    if (opened && !sourceEnded && source.seek(job.totalSize) && hasMoreBytes(source))
        result.absorb(sourceChanged(job.sourcePath, "still had bytes after"));
    result.absorb(writeManifest());
    return result;
}

Outcome splitFolder(SplitJob& job) {
    SplitPlan plan;
    if (Outcome o = planSplit(job, &plan); !o) return o;

    // A folder that cannot be listed whole, or a name that does not fit its record,
    // is refused before anything is written: the set could not describe the folder.
    std::vector<std::string> files;
    if (Outcome o = listFolderFiles(job.sourcePath, true, &files); !o) return o;
    const std::size_t prefix = std::strlen(job.sourcePath) + 1;
    for (const std::string& f : files)
        if (f.size() - prefix >= kNameField)
            return Outcome::failure(f, "the name below the folder is too long (at most 255 bytes)",
                                    ENAMETOOLONG);

    Outcome result = startChunkSet(job, plan);
    std::size_t fileIndex = 0;
    std::int64_t offset = 0;  // where the current file goes on in the next chunk
    plat::File current;       // kept open from one chunk to the next
    std::int64_t written = 0;
    std::int64_t lastChunkEnd = 0;

    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        const std::string chunkPath = chunkPathOf(job.outputDir, plan.stem, i);
        plat::File chunk;
        const Outcome created = chunk.open(chunkPath.c_str(), plat::File::Mode::WriteTruncate);
        result.absorb(created);
        std::int64_t count = 0;
        while (created && fileIndex < files.size()) {
            const std::string& file = files[fileIndex];
            if (!current.isOpen()) {
                Outcome o = current.open(file.c_str(), plat::File::Mode::Read);
                if (o && offset != 0) o = current.seek(offset);
                if (!o) {
                    // Never read from a failed open: the file counts as exhausted.
                    result.absorb(o);
                    current.close();
                    ++fileIndex;
                    offset = 0;
                    continue;
                }
            }
            std::int64_t moved = 0;
            const std::int64_t want = job.chunkSize - count;
            const Outcome o = moveBytes(current, chunk, want, &moved);
            result.absorb(o);
            result.absorb(addFileRecord(file.c_str() + prefix, i, count, moved));
            count += moved;
            offset += moved;
            if (!o || moved < want) {
                current.close();
                ++fileIndex;
                offset = 0;
            }
            if (!o || count == job.chunkSize) break;
        }
        written += count;
        lastChunkEnd = count;
        finishChunk(chunk, i, chunkPath, created.ok, &result);
    }

    // The stream can end exactly where the last chunk does; the files after that point
    // (empty ones, unless the folder changed) still need their records.
    bool grew = current.isOpen() && hasMoreBytes(current);
    if (current.isOpen()) ++fileIndex;
    current.close();
    const std::int32_t lastChunk = plan.chunkCount > 0 ? plan.chunkCount - 1 : 0;
    for (; fileIndex < files.size(); ++fileIndex) {
        if (fileSize(files[fileIndex].c_str()) != 0) grew = true;
        result.absorb(addFileRecord(files[fileIndex].c_str() + prefix, lastChunk,
                                    plan.chunkCount > 0 ? lastChunkEnd : 0, 0));
    }
    // Only worth saying when nothing else explains the missing bytes.
    if (result.ok && written < job.totalSize)
        result.absorb(sourceChanged(job.sourcePath, "ended before"));
    if (grew) result.absorb(sourceChanged(job.sourcePath, "still had bytes after"));
    result.absorb(writeManifest());
    return result;
}

}  // namespace morvane
