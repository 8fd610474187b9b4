#include "engine/split.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/checksums.h"
#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "engine/recovery.h"
#include "platform/native.h"

namespace morvane {
namespace {

// What both splits share: the names, the checks that refuse a job before anything is
// written, the chunk folder and the manifest.
struct SplitPlan {
    std::int32_t chunkCount = 0;
    bool sealed = false;
    std::int64_t dataPerChunk = 0;   // source bytes in every chunk but the last
    std::int64_t diskChunkSize = 0;  // and its size on disk
    std::string name;
    std::string stem;
    std::string chunkFolder;
};

Outcome planSplit(const SplitRequest& request, SplitPlan* plan) {
    if (request.buildFolder.empty())
        return Outcome::failure(Fault::Invalid, request.sourcePath,
                                "no folder was given to build the chunk set in", EINVAL);
    if (Outcome o = fitsPathField(request.sourcePath); !o) return o;
    if (Outcome o = fitsPathField(request.outputDir); !o) return o;
    if (request.password.size() >= kPasswordField)
        return Outcome::failure(Fault::Invalid, "", "the password is too long (at most 31 bytes)",
                                ENAMETOOLONG);
    if (request.recovery < 0 || request.recovery > kMaxRecovery)
        return Outcome::failure(Fault::Invalid, request.sourcePath, "at most 32 recovery chunks",
                                EINVAL);
    if (request.chunkSize < 1)
        return Outcome::failure(Fault::Invalid, request.sourcePath,
                                "the chunk size must be at least 1 byte", EINVAL);
    if (request.totalSize < 0)
        return Outcome::failure(Fault::Invalid, request.sourcePath, "the source size is unknown",
                                EINVAL);
    plan->sealed = !request.password.empty();
    plan->dataPerChunk = dataPerChunkOf(request.chunkSize, plan->sealed);
    if (plan->dataPerChunk < 1)
        return Outcome::failure(
            Fault::Invalid, request.sourcePath,
            "an encrypted chunk must be larger than " + std::to_string(kFrameOverhead) + " bytes",
            EINVAL);
    plan->diskChunkSize = plan->sealed ? sealedSizeOf(plan->dataPerChunk) : request.chunkSize;
    const std::int64_t count = chunkCountFor(request.totalSize, plan->dataPerChunk);
    if (count > INT32_MAX)
        return Outcome::failure(
            Fault::Invalid, request.sourcePath,
            "the chunk size is too small: more than " + std::to_string(INT32_MAX) + " chunks",
            EINVAL);
    plan->chunkCount = static_cast<std::int32_t>(count);
    plan->name = nameOf(request.sourcePath);
    // Other copies of the program read "\\" in a stored name as a folder separator.
    if (holdsBackslash(plan->name))
        return Outcome::failure(Fault::Invalid, request.sourcePath,
                                "the name holds a \"\\\", which other copies of the program "
                                "read as a folder separator: rename it first",
                                EINVAL);
    plan->stem = stemOf(plan->name);
    plan->chunkFolder = request.outputDir + "/" + plan->stem + "_spt";
    if (Outcome o = fitsPathField(plan->chunkFolder); !o) return o;
    if (Outcome o =
            fitsPathField(chunkPathOf(plan->chunkFolder, plan->stem, count > 0 ? count - 1 : 0));
        !o)
        return o;
    // Every path the split writes fits, in the chunk folder and where it is built.
    for (const std::string& folder : {plan->chunkFolder, request.buildFolder}) {
        if (Outcome o = fitsPathField(folder + "/" + kChecksumListName); !o) return o;
        if (Outcome o = fitsPathField(manifestPathOf(folder)); !o) return o;
        if (Outcome o = fitsPathField(chunkPathOf(folder, plan->stem, count > 0 ? count - 1 : 0));
            !o)
            return o;
    }
    if (plan->name.size() >= kNameField)
        return Outcome::failure(Fault::Invalid, request.sourcePath,
                                "the source name is too long (at most 255 bytes)", ENAMETOOLONG);
    return Outcome::success();
}

// One split's work: the plan, the manifest it builds and what it has written so far.
class Splitter {
public:
    Splitter(const SplitRequest& request, const SplitPlan& plan, JobControl& control,
             SplitResult* result, Walk& walk)
        : request_(request), plan_(plan), control_(control), result_(result), walk_(walk) {}

    const Walk& walk() const { return walk_; }
    // The size the walk measured for a file of the stream.
    std::int64_t measuredSize(std::size_t fileIndex) const {
        return walk_.tree.entries[walk_.fileEntry[fileIndex]].size;
    }

    // Where a file has holes, its data ranges go into the tree, so that the join makes
    // the same holes. The chunks hold the zeros all the same.
    // holeFree: the file is known to have none, and is not asked.
    Outcome noteRanges(std::size_t fileIndex, plat::File& file, bool holeFree = false) {
        std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
        if (!holeFree)
            if (Outcome o = file.dataRanges(&ranges); !o) return o;
        TreeEntry& entry = walk_.tree.entries[walk_.fileEntry[fileIndex]];
        if (holeFree) ranges.assign(1, {0, entry.size});
        const bool dense = entry.size == 0 || (ranges.size() == 1 && ranges[0].first == 0 &&
                                               ranges[0].second >= entry.size);
        entry.sparse = !dense;
        entry.dataRanges = dense ? decltype(ranges){} : std::move(ranges);
        return Outcome::success();
    }

    // Starts the manifest; the caller made the folder it is built in.
    Outcome start() {
        result_->chunkFolder = plan_.chunkFolder;
        result_->sourceName = plan_.name;
        result_->chunkCount = plan_.chunkCount;
        if (Outcome o = manifest_.setSourceName(plan_.name); !o) return o;
        manifest_.chunkCount = plan_.chunkCount;
        manifest_.totalSize = request_.totalSize;
        if (!plan_.sealed) {
            HashPipeline::BlockSink sink;
            if (request_.recovery > 0) {
                // A folder set has a record per file piece, and a chunk boundary adds at
                // most one piece; the tree grows a little by the holes the split finds.
                const auto files = static_cast<std::int64_t>(walk_.fileEntry.size());
                const std::int64_t pieces = walk_.tree.folderSet ? files + plan_.chunkCount : 0;
                const std::int64_t metaBound = manifestSizeFor(plan_.chunkCount, pieces) +
                                               2 * encodedTreeSize(walk_.tree) + 4096;
                coder_ = std::make_unique<ParityCoder>(plan_.chunkCount, plan_.diskChunkSize,
                                                       request_.totalSize, request_.recovery,
                                                       metaBound, request_.parityBudget);
                coder_->keepInFiles(folder(), plan_.stem, &result_->writtenFiles);
                control_.begin(request_.totalSize + coder_->readBackBytes());
                if (coder_->codedLength() > 0)
                    sink = [coder = coder_.get()](std::int32_t chunk, std::int64_t offset,
                                                  const unsigned char* bytes, std::size_t n) {
                        coder->add(chunk, offset, bytes, n);
                    };
            }
            pipeline_ = std::make_unique<HashPipeline>(std::move(sink));
            gatherer_ = std::make_unique<PieceGatherer>(*pipeline_);
            return Outcome::success();
        }
        // The key is derived once for the whole job.
        key_ = std::make_unique<SealKey>();
        if (Outcome o = newSealedHeader(request_.password, request_.kdf, request_.chunkSize,
                                        request_.totalSize, &sealedHeader_, key_.get());
            !o)
            return Outcome::failure(o.fault, request_.sourcePath, o.reason, o.error);
        sealer_ = std::make_unique<ChunkSealer>(*key_);
        return Outcome::success();
    }

    const std::string& folder() const { return request_.buildFolder; }

    std::string chunkPath(std::int32_t index) const {
        return chunkPathOf(folder(), plan_.stem, index);
    }

    Outcome openChunk(plat::File& chunk, std::int32_t index, const std::string& path) {
        // A name already taken, a planted link above all, is never written through.
        Outcome o = chunk.open(path.c_str(), plat::File::Mode::CreateNew);
        if (o) result_->writtenFiles.push_back(path);
        if (o && sealer_) sealer_->beginChunk(chunk, index, &chunkHash_);
        if (o && pipeline_) o = pipeline_->begin(path, index);
        return o;
    }

    // Up to length source bytes into the chunk, sealed or as they are.
    Outcome move(plat::File& from, plat::File& chunk, std::int64_t length, std::int64_t* moved) {
        if (sealer_) return sealer_->feed(from, length, moved, control_);
        return gatherer_->move(from, chunk, length, moved, control_);
    }

    // Closes a chunk written whole and adds its record and checksum.
    Outcome finishChunk(plat::File& chunk, std::int32_t index, const std::string& path) {
        if (sealer_)
            if (Outcome o = sealer_->endChunk(); !o) return o;
        if (gatherer_)
            if (Outcome o = gatherer_->flush(chunk, control_); !o) return o;
        if (Outcome o = chunk.close(); !o) return o;
        const std::string name = path.substr(folder().size() + 1);
        if (pipeline_) {
            // The digest comes once the pipeline has hashed the chunk; finish() waits for it.
            pipelineDigests_.emplace_back();
            pipeline_->end(&pipelineDigests_.back());
            result_->checksums.push_back({{}, name});
        } else {
            result_->checksums.push_back({chunkHash_.finishHex(), name});
            chunkDigests_.push_back(result_->checksums.back().digest);
        }
        ChunkRecord record;
        record.chunkIndex = index;
        char fingerprint[kDigestText] = {};
        if (Outcome o = chunkFingerprint(path.c_str(), fingerprint); !o) return o;
        record.fingerprint = fingerprint;
        manifest_.chunks.push_back(std::move(record));
        return Outcome::success();
    }

    // The manifest, the tree file, then the checksum list of everything: the manifest
    // first, then the chunks in order, then the tree file.
    Outcome finish() {
        if (pipeline_) {
            if (Outcome o = pipeline_->drain(); !o) return o;
            for (std::size_t i = 0; i < pipelineDigests_.size(); ++i)
                result_->checksums[i].digest = pipelineDigests_[i];
            chunkDigests_.assign(pipelineDigests_.begin(), pipelineDigests_.end());
        }
        std::int64_t diskTotal = request_.totalSize;
        std::string manifestSha;
        std::string sealedHeader;  // in place of the tree file
        if (sealer_) {
            sealedHeader = encodeTree(walk_.tree);
            if (Outcome o = seal(&sealedHeader, &diskTotal); !o) return o;
            if (Outcome o = writeManifestFile(clearManifest(diskTotal), &manifestSha); !o) return o;
        } else if (Outcome o = writeManifestFile(manifest_, &manifestSha); !o) {
            return o;
        }
        result_->checksums.insert(result_->checksums.begin(), {manifestSha, kManifestName});
        std::string treeSha;
        if (Outcome t = writeHashed(
                folder() + "/" + kTreeName,
                [&](const TreeSink& put) {
                    return sealer_ ? put(sealedHeader.data(), sealedHeader.size())
                                   : encodeTree(walk_.tree, put);
                },
                &treeSha);
            !t)
            return t;
        result_->checksums.push_back({treeSha, kTreeName});
        // Over the files as they are on disk: a sealed set is checked and repaired without
        // its password.
        if (request_.recovery > 0) {
            RecoverySource source{
                folder(),  plan_.stem,        plan_.chunkCount, plan_.diskChunkSize,
                diskTotal, request_.recovery, chunkDigests_,    {}};
            if (Outcome r = writeRecovery(source, control_, &result_->checksums,
                                          &result_->writtenFiles, coder_.get());
                !r)
                return r;
        }
        result_->leftOut = walk_.specials;
        const std::string list = checksumListOf(result_->checksums);
        return writeNewFile(folder() + "/" + kChecksumListName, list.data(), list.size());
    }

    Manifest& manifest() { return manifest_; }
    JobControl& control() { return control_; }

private:
    const SplitRequest& request_;
    const SplitPlan& plan_;
    JobControl& control_;
    SplitResult* result_;
    Manifest manifest_;
    Sha256 chunkHash_;
    std::vector<std::string> chunkDigests_;
    Walk& walk_;
    SealedHeader sealedHeader_;
    std::unique_ptr<SealKey> key_;
    std::unique_ptr<ChunkSealer> sealer_;
    // Declared before the pipeline, so that they outlive the thread that fills them.
    std::deque<std::string> pipelineDigests_;
    std::unique_ptr<ParityCoder> coder_;
    // A set in the clear: every chunk hashed as it stands on disk, on one thread for the job.
    std::unique_ptr<HashPipeline> pipeline_;
    std::unique_ptr<PieceGatherer> gatherer_;  // on the pipeline: declared after it

    // The sealed header in place of the tree file: the name, the manifest of the source's
    // bytes and the tree, sealed. *diskTotal gets the bytes the chunks hold on disk.
    Outcome seal(std::string* tree, std::int64_t* diskTotal) {
        SealedContents contents{plan_.name, manifest_, *tree};
        for (ChunkRecord& r : contents.manifest.chunks) r.fingerprint.clear();
        if (Outcome o = sealContents(*key_, contents, &sealedHeader_); !o) return o;
        const std::vector<char> header = encodeSealedHeader(sealedHeader_);
        tree->assign(header.begin(), header.end());
        *diskTotal = 0;
        for (std::int32_t i = 0; i < plan_.chunkCount; ++i)
            *diskTotal += sealedHeader_.diskSizeOf(i);
        return Outcome::success();
    }

    // What a sealed set's manifest shows: its stem, its chunk files, the mark.
    Manifest clearManifest(std::int64_t diskTotal) const {
        Manifest m;
        m.chunkCount = plan_.chunkCount;
        m.totalSize = diskTotal;
        m.passwordDigest = kSealedMark;
        m.sourceName = plan_.stem;
        m.chunks = manifest_.chunks;
        return m;
    }

    // The manifest, written and hashed as it is encoded.
    Outcome writeManifestFile(const Manifest& m, std::string* sha) {
        return writeHashed(
            manifestPathOf(folder()),
            [&](const ManifestSink& put) { return encodeManifest(m, put); }, sha);
    }

    // Creates path with what produce hands its sink, hashed as it is written, a block at a
    // time: neither the manifest nor the tree of a large folder is held whole.
    template <typename Produce>
    Outcome writeHashed(const std::string& path, Produce produce, std::string* sha) {
        if (Outcome o = fitsPathField(path); !o) return o;
        plat::File file;
        Outcome o = file.open(path.c_str(), plat::File::Mode::CreateNew);
        if (!o) return o;
        result_->writtenFiles.push_back(path);
        Sha256 hash;
        if (Outcome e = produce([&](const char* bytes, std::size_t size) {
                hash.update(bytes, size);
                return file.write(bytes, size);
            });
            !e)
            return e;
        *sha = hash.finishHex();
        return file.close();
    }

    Outcome writeNewFile(const std::string& path, const char* bytes, std::size_t size) {
        if (Outcome o = fitsPathField(path); !o) return o;
        plat::File file;
        Outcome o = file.open(path.c_str(), plat::File::Mode::CreateNew);
        if (!o) return o;
        result_->writtenFiles.push_back(path);
        if (Outcome w = file.write(bytes, size); !w) return w;
        return file.close();
    }
};

Outcome sourceChanged(const std::string& path, const char* how) {
    return Outcome::failure(
        Fault::Changed, path,
        std::string("the source ") + how + " its measured size: it changed after it was measured");
}

// A file rewritten in place keeps its size but not its times: either change means the
// bytes read may come from two versions.
Outcome unchangedSince(plat::File& file, const plat::FileIdentity& before) {
    plat::FileIdentity after;
    if (Outcome o = file.identity(&after); !o) return o;
    if (after == before) return Outcome::success();
    return Outcome::failure(Fault::Changed, file.path(), "changed while it was being read");
}

// True when file still has a byte at its current position.
bool hasMoreBytes(plat::File& file) {
    char byte;
    std::size_t got = 0;
    return file.read(&byte, 1, &got) && got > 0;
}

// Every split stops at its first failure: what it built is thrown away by the caller, and
// a full disk must not be met again for every chunk still to come.
Outcome splitSingleFile(const SplitRequest& request, Splitter& s, const SplitPlan& plan) {
    if (Outcome o = s.start(); !o) return o;
    plat::File source;
    if (Outcome o = source.open(request.sourcePath.c_str(), plat::File::Mode::Read); !o) return o;
    source.adviseSequential();
    plat::FileIdentity before;
    if (Outcome o = source.identity(&before); !o) return o;
    if (Outcome o = s.noteRanges(0, source); !o) return o;
    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        if (s.control().cancelRequested()) return Outcome::cancel();
        const std::string chunkPath = s.chunkPath(i);
        plat::File chunk;
        if (Outcome o = s.openChunk(chunk, i, chunkPath); !o) return o;
        std::int64_t moved = 0;
        Outcome o = source.seek(static_cast<std::int64_t>(i) * plan.dataPerChunk);
        if (o) o = s.move(source, chunk, plan.dataPerChunk, &moved);
        if (!o) return o;
        const bool last = i == plan.chunkCount - 1;
        const std::int64_t expected =
            last ? request.totalSize - i * plan.dataPerChunk : plan.dataPerChunk;
        if (moved < expected) return sourceChanged(request.sourcePath, "ended before");
        if (Outcome f = s.finishChunk(chunk, i, chunkPath); !f) return f;
    }
    if (source.seek(request.totalSize) && hasMoreBytes(source))
        return sourceChanged(request.sourcePath, "still had bytes after");
    if (Outcome o = unchangedSince(source, before); !o) return o;
    return s.finish();
}

Outcome splitFolder(const SplitRequest& request, Splitter& s, const SplitPlan& plan) {
    // A folder that cannot be listed whole, or a name that does not fit its record,
    // is refused before anything is written: the set could not describe the folder.
    const Walk& walk = s.walk();
    const std::size_t fileCount = walk.fileEntry.size();
    // Each file's name below the folder; its path is built only where it is opened.
    const auto nameOf = [&walk](std::size_t i) -> const std::string& {
        return walk.tree.entries[walk.fileEntry[i]].name;
    };
    const auto pathOf = [&request](const std::string& name) {
        return request.sourcePath + "/" + name;
    };
    if (!walk.specials.empty() && !request.skipSpecial)
        return Outcome::failure(Fault::Invalid, walk.specials.front(),
                                "a FIFO, socket or device cannot be stored in a chunk set", EINVAL);
    for (std::size_t f = 0; f < fileCount; ++f) {
        const std::string& name = nameOf(f);
        if (name.size() >= kNameField)
            return Outcome::failure(Fault::Invalid, pathOf(name),
                                    "the name below the folder is too long (at most 255 bytes)",
                                    ENAMETOOLONG);
        // Other copies of the program read "\\" in a stored name as a folder separator.
        if (holdsBackslash(name))
            return Outcome::failure(Fault::Invalid, pathOf(name),
                                    "the name holds a \"\\\", which other copies of the "
                                    "program read as a folder separator: rename it first",
                                    EINVAL);
    }

    if (Outcome o = s.start(); !o) return o;
    Manifest& manifest = s.manifest();
    std::size_t fileIndex = 0;
    std::int64_t offset = 0;  // where the current file goes on in the next chunk
    plat::File current;       // kept open from one chunk to the next
    std::string file;         // its path
    plat::FileIdentity currentBefore;
    std::int64_t written = 0;
    std::int64_t lastChunkEnd = 0;

    for (std::int32_t i = 0; i < plan.chunkCount; ++i) {
        if (s.control().cancelRequested()) return Outcome::cancel();
        const std::string chunkPath = s.chunkPath(i);
        plat::File chunk;
        if (Outcome o = s.openChunk(chunk, i, chunkPath); !o) return o;
        std::int64_t count = 0;
        while (fileIndex < fileCount) {
            const std::string& name = nameOf(fileIndex);
            // The walk measured every file, and the chunks' plan rests on those sizes: a
            // file is read up to its measured size, and proves it still has it, so that no
            // read past the end is needed to find it.
            const std::int64_t size = s.measuredSize(fileIndex);
            if (!current.isOpen()) {
                // A file stays open from one chunk to the next, so this is its start.
                file = pathOf(name);
                s.control().setCurrentFile(name);
                bool holeFree = false;
                Outcome o = current.open(file.c_str(), plat::File::Mode::Read);
                if (o) o = current.identityAtOpen(&currentBefore, &holeFree);
                if (o && currentBefore.size != size)
                    o = Outcome::failure(Fault::Changed, file,
                                         "changed size after it was measured");
                if (o) o = s.noteRanges(fileIndex, current, holeFree);
                if (!o) return o;
            }
            std::int64_t moved = 0;
            const std::int64_t want = std::min(plan.dataPerChunk - count, size - offset);
            if (Outcome o = s.move(current, chunk, want, &moved); !o) return o;
            if (moved < want) return sourceChanged(file, "ended before");
            if (Outcome o = manifest.addFilePiece(name, i, count, moved); !o) return o;
            const std::int64_t room = plan.dataPerChunk - count;
            count += moved;
            offset += moved;
            // A file that fills its chunk exactly ends with an empty piece in the next one,
            // as sets have always been cut.
            if (offset == size && moved < room) {
                if (Outcome o = unchangedSince(current, currentBefore); !o) return o;
                current.close();
                ++fileIndex;
                offset = 0;
            }
            if (count == plan.dataPerChunk) break;
        }
        written += count;
        lastChunkEnd = count;
        if (Outcome o = s.finishChunk(chunk, i, chunkPath); !o) return o;
    }

    // The stream can end exactly where the last chunk does; the files after that point
    // (empty ones, unless the folder changed) still need their records.
    if (current.isOpen()) {
        const std::int64_t size = s.measuredSize(fileIndex);
        if (offset != size) return sourceChanged(request.sourcePath, "still had bytes after");
        if (Outcome o = unchangedSince(current, currentBefore); !o) return o;
        current.close();
        ++fileIndex;
    }
    const std::int32_t lastChunk = plan.chunkCount > 0 ? plan.chunkCount - 1 : 0;
    for (; fileIndex < fileCount; ++fileIndex) {
        if (fileSize(pathOf(nameOf(fileIndex)).c_str()) != 0)
            return sourceChanged(request.sourcePath, "still had bytes after");
        if (Outcome o = manifest.addFilePiece(nameOf(fileIndex), lastChunk,
                                              plan.chunkCount > 0 ? lastChunkEnd : 0, 0);
            !o)
            return o;
    }
    if (written < request.totalSize) return sourceChanged(request.sourcePath, "ended before");
    return s.finish();
}

}  // namespace

std::int64_t dataPerChunkOf(std::int64_t chunkSize, bool sealed) {
    return sealed ? sealedDataPerChunk(chunkSize) : chunkSize;
}

std::int64_t chunkCountFor(std::int64_t totalSize, std::int64_t chunkSize) {
    if (chunkSize < 1 || totalSize <= 0) return 0;
    return totalSize / chunkSize + (totalSize % chunkSize != 0 ? 1 : 0);
}

std::int64_t chunkSizeForCount(std::int64_t totalSize, std::int64_t count) {
    if (count < 1 || totalSize <= 0) return 1;
    return totalSize / count + (totalSize % count != 0 ? 1 : 0);
}

std::string chunkFolderFor(const std::string& sourcePath, const std::string& outputDir) {
    const std::string name = nameOf(sourcePath);
    if (name.empty() || name.size() >= kPathField) return {};
    return outputDir + "/" + stemOf(name) + "_spt";
}

Outcome runSplit(const SplitRequest& request, JobControl& control, SplitResult* result) {
    *result = SplitResult{};
    // Recovery chunks read the data once more, after the split.
    control.begin(request.recovery > 0 ? 2 * request.totalSize : request.totalSize);
    SplitPlan plan;
    if (Outcome o = planSplit(request, &plan); !o) return o;
    // A job cancelled before it began must not even make its chunk folder.
    if (control.cancelRequested()) return Outcome::cancel();
    Walk own;
    Walk& walk = request.walk != nullptr ? *request.walk : own;
    if (request.walk == nullptr) {
        const bool folder = pathKind(request.sourcePath.c_str()) == 1;
        if (Outcome o = folder ? walkFolder(request.sourcePath, &walk)
                               : describeFile(request.sourcePath, &walk);
            !o)
            return o;
    }
    Splitter splitter(request, plan, control, result, walk);
    return walk.tree.folderSet ? splitFolder(request, splitter, plan)
                               : splitSingleFile(request, splitter, plan);
}

}  // namespace morvane
