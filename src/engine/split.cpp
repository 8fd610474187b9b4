#include "engine/split.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "platform/native.h"

namespace morvane {
namespace {

const char* const kTooLong = "the path is too long (at most 1023 bytes)";

// What both splits share: the names, the checks that refuse a job before anything is
// written, the chunk folder and the manifest.
struct SplitPlan {
    std::int32_t chunkCount = 0;
    std::string name;
    std::string stem;
    std::string chunkFolder;
};

Outcome planSplit(const SplitRequest& request, SplitPlan* plan) {
    if (Outcome o = fitsPathField(request.sourcePath); !o) return o;
    if (Outcome o = fitsPathField(request.outputDir); !o) return o;
    if (request.password.size() >= kPasswordField)
        return Outcome::failure("", "the password is too long (at most 31 bytes)", ENAMETOOLONG);
    if (request.chunkSize < 1)
        return Outcome::failure(request.sourcePath, "the chunk size must be at least 1 byte",
                                EINVAL);
    if (request.totalSize < 0)
        return Outcome::failure(request.sourcePath, "the source size is unknown", EINVAL);
    const std::int64_t count = chunkCountFor(request.totalSize, request.chunkSize);
    if (count > INT32_MAX)
        return Outcome::failure(request.sourcePath, "the chunk size is too small: more than " +
                                                        std::to_string(INT32_MAX) + " chunks");
    plan->chunkCount = static_cast<std::int32_t>(count);
    char name[kPathField] = {};
    if (baseName(request.sourcePath.c_str(), name, sizeof name) != 0)
        return Outcome::failure(request.sourcePath, kTooLong, ENAMETOOLONG);
    plan->name = name;
    plan->stem = stemOf(plan->name);
    plan->chunkFolder = request.outputDir + "/" + plan->stem + "_spt";
    if (Outcome o = fitsPathField(plan->chunkFolder); !o) return o;
    if (Outcome o =
            fitsPathField(chunkPathOf(plan->chunkFolder, plan->stem, count > 0 ? count - 1 : 0));
        !o)
        return o;
    if (Outcome o = fitsPathField(manifestPathOf(plan->chunkFolder)); !o) return o;
    if (plan->name.size() >= kNameField)
        return Outcome::failure(request.sourcePath,
                                "the source name is too long (at most 255 bytes)", ENAMETOOLONG);
    return Outcome::success();
}

// One split's work: the plan, the manifest it builds and what it has written so far.
class Splitter {
public:
    Splitter(const SplitRequest& request, const SplitPlan& plan, JobControl& control,
             SplitResult* result)
        : request_(request), plan_(plan), control_(control), result_(result) {}

    // Makes the chunk folder (an existing one is reused) and starts the manifest.
    Outcome start() {
        Outcome outcome;
        result_->chunkFolder = plan_.chunkFolder;
        result_->chunkCount = plan_.chunkCount;
        if (Outcome o = makeDir(plan_.chunkFolder.c_str()); o)
            result_->createdChunkFolder = true;
        else if (o.error != EEXIST)
            outcome.absorb(o);
        outcome.absorb(manifest_.setSourceName(plan_.name));
        manifest_.chunkCount = plan_.chunkCount;
        manifest_.totalSize = request_.totalSize;
        if (!request_.password.empty()) manifest_.protectWith(request_.password.c_str());
        return outcome;
    }

    std::string chunkPath(std::int32_t index) const {
        return chunkPathOf(plan_.chunkFolder, plan_.stem, index);
    }

    Outcome openChunk(plat::File& chunk, const std::string& path) {
        Outcome o = chunk.open(path.c_str(), plat::File::Mode::WriteTruncate);
        if (o) result_->writtenFiles.push_back(path);
        return o;
    }

    // A chunk's record is added in every case; its fingerprint failure matters only when
    // the chunk itself was written, or it would repeat the failure already counted.
    void finishChunk(plat::File& chunk, std::int32_t index, const std::string& path, bool written,
                     Outcome* outcome) {
        if (written) outcome->absorb(chunk.close());
        ChunkRecord record;
        record.chunkIndex = index;
        char fingerprint[kDigestText] = {};
        const Outcome o = chunkFingerprint(path.c_str(), fingerprint);
        if (o) record.fingerprint = fingerprint;
        manifest_.chunks.push_back(std::move(record));
        if (written) outcome->absorb(o);
    }

    Outcome finish() {
        const std::string path = manifestPathOf(plan_.chunkFolder);
        Outcome o = writeManifest(path, manifest_);
        // A manifest that was opened counts as written, whole or not.
        if (o || o.error != ENAMETOOLONG) result_->writtenFiles.push_back(path);
        return o;
    }

    Manifest& manifest() { return manifest_; }
    JobControl& control() { return control_; }

private:
    const SplitRequest& request_;
    const SplitPlan& plan_;
    JobControl& control_;
    SplitResult* result_;
    Manifest manifest_;
};

Outcome sourceChanged(const std::string& path, const char* how) {
    return Outcome::failure(path, std::string("the source ") + how +
                                      " its measured size: it changed after it was measured");
}

// True when file still has a byte at its current position.
bool hasMoreBytes(plat::File& file) {
    char byte;
    std::size_t got = 0;
    return file.read(&byte, 1, &got) && got > 0;
}

Outcome splitSingleFile(const SplitRequest& request, Splitter& s, const SplitPlan& plan) {
    Outcome result = s.start();
    plat::File source;
    const Outcome opened = source.open(request.sourcePath.c_str(), plat::File::Mode::Read);
    result.absorb(opened);
    source.adviseSequential();
    bool sourceEnded = false;
    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        if (s.control().cancelRequested()) return Outcome::cancel();
        const std::string chunkPath = s.chunkPath(i);
        plat::File chunk;
        const Outcome created = s.openChunk(chunk, chunkPath);
        result.absorb(created);
        if (created && opened) {
            std::int64_t moved = 0;
            Outcome o = source.seek(static_cast<std::int64_t>(i) * request.chunkSize);
            if (o) o = moveBytes(source, chunk, request.chunkSize, &moved, s.control());
            if (o.cancelled) return o;
            result.absorb(o);
            const bool last = i == plan.chunkCount - 1;
            const std::int64_t expected =
                last ? request.totalSize - i * request.chunkSize : request.chunkSize;
            if (o && moved < expected && !sourceEnded) {
                sourceEnded = true;
                result.absorb(sourceChanged(request.sourcePath, "ended before"));
            }
        }
        s.finishChunk(chunk, i, chunkPath, created.ok, &result);
    }
    if (opened && !sourceEnded && source.seek(request.totalSize) && hasMoreBytes(source))
        result.absorb(sourceChanged(request.sourcePath, "still had bytes after"));
    result.absorb(s.finish());
    return result;
}

Outcome splitFolder(const SplitRequest& request, Splitter& s, const SplitPlan& plan) {
    // A folder that cannot be listed whole, or a name that does not fit its record,
    // is refused before anything is written: the set could not describe the folder.
    std::vector<std::string> files;
    if (Outcome o = listFolderFiles(request.sourcePath.c_str(), true, &files); !o) return o;
    const std::size_t prefix = request.sourcePath.size() + 1;
    for (const std::string& f : files)
        if (f.size() - prefix >= kNameField)
            return Outcome::failure(f, "the name below the folder is too long (at most 255 bytes)",
                                    ENAMETOOLONG);

    Outcome result = s.start();
    Manifest& manifest = s.manifest();
    std::size_t fileIndex = 0;
    std::int64_t offset = 0;  // where the current file goes on in the next chunk
    plat::File current;       // kept open from one chunk to the next
    std::int64_t written = 0;
    std::int64_t lastChunkEnd = 0;

    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        if (s.control().cancelRequested()) return Outcome::cancel();
        const std::string chunkPath = s.chunkPath(i);
        plat::File chunk;
        const Outcome created = s.openChunk(chunk, chunkPath);
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
            const std::int64_t want = request.chunkSize - count;
            const Outcome o = moveBytes(current, chunk, want, &moved, s.control());
            if (o.cancelled) return o;
            result.absorb(o);
            result.absorb(
                manifest.addFilePiece(std::string_view(file).substr(prefix), i, count, moved));
            count += moved;
            offset += moved;
            if (!o || moved < want) {
                current.close();
                ++fileIndex;
                offset = 0;
            }
            if (!o || count == request.chunkSize) break;
        }
        written += count;
        lastChunkEnd = count;
        s.finishChunk(chunk, i, chunkPath, created.ok, &result);
    }

    // The stream can end exactly where the last chunk does; the files after that point
    // (empty ones, unless the folder changed) still need their records.
    bool grew = current.isOpen() && hasMoreBytes(current);
    if (current.isOpen()) ++fileIndex;
    current.close();
    const std::int32_t lastChunk = plan.chunkCount > 0 ? plan.chunkCount - 1 : 0;
    for (; fileIndex < files.size(); ++fileIndex) {
        if (fileSize(files[fileIndex].c_str()) != 0) grew = true;
        result.absorb(manifest.addFilePiece(std::string_view(files[fileIndex]).substr(prefix),
                                            lastChunk, plan.chunkCount > 0 ? lastChunkEnd : 0, 0));
    }
    // Only worth saying when nothing else explains the missing bytes.
    if (result.ok && written < request.totalSize)
        result.absorb(sourceChanged(request.sourcePath, "ended before"));
    if (grew) result.absorb(sourceChanged(request.sourcePath, "still had bytes after"));
    result.absorb(s.finish());
    return result;
}

}  // namespace

std::int64_t chunkCountFor(std::int64_t totalSize, std::int64_t chunkSize) {
    if (chunkSize < 1 || totalSize <= 0) return 0;
    return totalSize / chunkSize + (totalSize % chunkSize != 0 ? 1 : 0);
}

std::int64_t chunkSizeForCount(std::int64_t totalSize, std::int64_t count) {
    if (count < 1 || totalSize <= 0) return 1;
    return totalSize / count + (totalSize % count != 0 ? 1 : 0);
}

Outcome runSplit(const SplitRequest& request, JobControl& control, SplitResult* result) {
    *result = SplitResult{};
    control.begin(request.totalSize);
    SplitPlan plan;
    if (Outcome o = planSplit(request, &plan); !o) return o;
    // A job cancelled before it began must not even make its chunk folder.
    if (control.cancelRequested()) return Outcome::cancel();
    Splitter splitter(request, plan, control, result);
    return pathKind(request.sourcePath.c_str()) == 1 ? splitFolder(request, splitter, plan)
                                                     : splitSingleFile(request, splitter, plan);
}

}  // namespace morvane
