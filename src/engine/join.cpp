#include "engine/join.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/checksums.h"
#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "engine/set_names.h"
#include "engine/sha256.h"
#include "engine/verify.h"
#include "platform/encoding.h"
#include "platform/names.h"
#include "platform/native.h"

namespace morvane {
namespace {

std::string manifestPathIn(const std::string& chunkDir) {
    return manifestPathOf(chunkDir);
}

// A relative name may only lead downwards: no empty, "." or ".." level, no leading
// separator. Both separators count, since other copies write "\\" on their systems.
bool staysInside(std::string_view name) {
    if (name.empty()) return false;
    const char* p = name.data();
    const char* end = p + name.size();
    const char* levelStart = p;
    auto levelOk = [](const char* a, const char* b) {
        const std::string_view level(a, static_cast<std::size_t>(b - a));
        return !level.empty() && level != "." && level != "..";
    };
    while (p < end) {
        const std::size_t n = plat::charLength(p, end);
        if (n == 1 && (*p == '/' || *p == '\\')) {
            if (!levelOk(levelStart, p)) return false;
            levelStart = p + 1;
        }
        p += n;
    }
    return levelOk(levelStart, end);
}

// Tells a file's first piece from those after it, record by record in the manifest's order.
// A file's pieces almost always follow each other: the names are sorted once to find the
// few files taken up again after another file's pieces, and only those are remembered as
// they start, not every name of the set.
class FirstPieces {
public:
    explicit FirstPieces(const std::vector<FileRecord>& files) : files_(files) {
        std::vector<std::string_view> runs;
        for (std::size_t i = 0; i < files.size(); ++i)
            if (startsRun(i)) runs.push_back(files[i].relativeName);
        std::sort(runs.begin(), runs.end());
        for (std::size_t i = 1; i < runs.size(); ++i)
            if (runs[i] == runs[i - 1]) again_.insert(runs[i]);
    }
    // Whether record i, the next in order, is its file's first piece.
    bool first(std::size_t i) {
        if (!startsRun(i)) return false;
        const std::string_view name = files_[i].relativeName;
        return again_.count(name) == 0 || started_.insert(name).second;
    }

private:
    bool startsRun(std::size_t i) const {
        return i == 0 || files_[i].relativeName != files_[i - 1].relativeName;
    }
    const std::vector<FileRecord>& files_;
    std::unordered_set<std::string_view> again_;
    std::unordered_set<std::string_view> started_;
};

// The source name is a single name: it may not name a folder level of its own.
Outcome checkSourceName(const std::string& chunkDir, const std::string& name) {
    if (!staysInside(name) || afterLastSeparator(name.c_str(), name.size()) != 0)
        return Outcome::failure(Fault::Malformed, manifestPathIn(chunkDir),
                                "the manifest's source name is not a plain file name", EINVAL);
    return Outcome::success();
}

// A set made on another system may carry names this one cannot hold (on Windows a device
// name, a stream's ":" or a "\\" that would climb out): the whole join is refused, before
// anything is written, rather than written in part.
Outcome namesFitHere(const std::string& chunkDir, const std::string& sourceName,
                     const std::vector<FileRecord>& files, const Tree* tree) {
    auto check = [&](const std::string& name) {
        // A name that climbs out is refused as such where its file would be made.
        if (!staysInside(name)) return Outcome::success();
        std::size_t start = 0;
        for (;;) {
            // "/" never occurs inside a multi-byte GB18030 character.
            const std::size_t slash = name.find('/', start);
            const std::string level = name.substr(start, slash - start);
            if (const std::string why = plat::nameProblemHere(level); !why.empty()) {
                std::string native;
                if (!plat::toNativeText(name, &native)) native = name;
                return Outcome::failure(Fault::Invalid, manifestPathIn(chunkDir),
                                        "the name \"" + native + "\" " + why, EINVAL);
            }
            if (slash == std::string::npos) return Outcome::success();
            start = slash + 1;
        }
    };
    if (Outcome o = check(sourceName); !o) return o;
    for (const FileRecord& f : files)
        if (Outcome o = check(f.relativeName); !o) return o;
    if (tree != nullptr)
        for (const TreeEntry& e : tree->entries)
            if (e.name != ".")
                if (Outcome o = check(e.name); !o) return o;
    return Outcome::success();
}

Outcome damaged(const std::string& chunkDir, const std::string& what) {
    return Outcome::failure(Fault::Malformed, manifestPathIn(chunkDir),
                            "the manifest is damaged: " + what, EINVAL);
}

// A chunk that cannot be opened: one that is not there is lost, which a rebuild may mend.
Outcome openChunk(plat::File& chunk, const std::string& path) {
    Outcome o = chunk.open(path.c_str(), plat::File::Mode::Read);
    if (o.is(Fault::NotFound)) return Outcome::failure(Fault::Missing, o.path, o.reason, o.error);
    if (o) chunk.adviseSequential();
    return o;
}

// Moves one piece of a file from the chunk to the output. Where the file had holes, the
// zeros the chunk holds for them are passed over (and still hashed), and the output keeps
// its holes.
Outcome copyPiece(plat::File& chunk, plat::File& out, std::int64_t length, std::int64_t fileOffset,
                  const TreeEntry* sparse, Sha256* hash, JobControl& control, std::int64_t* moved) {
    if (sparse == nullptr) return moveBytes(chunk, out, length, moved, control, hash);
    *moved = 0;
    std::int64_t at = fileOffset;
    const std::int64_t end = fileOffset + length;
    std::size_t r = 0;
    while (at < end) {
        while (r < sparse->dataRanges.size() &&
               sparse->dataRanges[r].first + sparse->dataRanges[r].second <= at)
            ++r;
        const bool inData = r < sparse->dataRanges.size() && sparse->dataRanges[r].first <= at;
        const std::int64_t until =
            inData ? sparse->dataRanges[r].first + sparse->dataRanges[r].second
                   : (r < sparse->dataRanges.size() ? sparse->dataRanges[r].first : end);
        const std::int64_t want = std::min(end, until) - at;
        std::int64_t passed = 0;
        Outcome o;
        if (inData) {
            o = out.seek(at);
            if (o) o = moveBytes(chunk, out, want, &passed, control, hash);
        } else {
            o = skipBytes(chunk, want, &passed, control, hash);
        }
        *moved += passed;
        if (!o || passed < want) return o;
        at += passed;
    }
    return Outcome::success();
}

// Modes and times of files, empty folders, links, then the folders' own modes and times,
// deepest first: creating anything inside a folder would change its time again. Links
// come after every file, so that nothing is ever written through a link the join made.
// settled: files whose mode and time their join set already, by entry; null for none.
Outcome restoreTree(const std::string& target, const Tree& tree, const std::vector<char>* settled,
                    JoinResult* result) {
    auto pathOf = [&](const TreeEntry& e) {
        return e.name == "." ? target : target + "/" + e.name;
    };
    for (const TreeEntry& e : tree.entries) {
        if (e.type != TreeEntry::Type::Folder || e.name == ".") continue;
        const std::string path = pathOf(e);
        if (Outcome o = fitsPathField(path); !o) return o;
        if (Outcome o = makeDir(path.c_str()); o)
            result->createdFolders.push_back(path);
        else if (!o.is(Fault::Exists))
            return o;
    }
    for (std::size_t i = 0; i < tree.entries.size(); ++i) {
        const TreeEntry& e = tree.entries[i];
        if (e.type != TreeEntry::Type::File || (settled != nullptr && (*settled)[i])) continue;
        if (Outcome o =
                plat::setModeAndTime(pathOf(e).c_str(), e.mode & 01777, e.modifiedNs, false);
            !o)
            return o;
    }
    for (const TreeEntry& e : tree.entries) {
        if (e.type != TreeEntry::Type::Link) continue;
        const std::string path = pathOf(e);
        if (Outcome o = fitsPathField(path); !o) return o;
        if (Outcome o = plat::makeLink(e.linkTarget, path.c_str()); !o) return o;
        if (Outcome o = plat::setModeAndTime(path.c_str(), 0, e.modifiedNs, true); !o) return o;
    }
    for (auto it = tree.entries.rbegin(); it != tree.entries.rend(); ++it)
        if (it->type == TreeEntry::Type::Folder)
            if (Outcome o = plat::setModeAndTime(pathOf(*it).c_str(), it->mode & 01777,
                                                 it->modifiedNs, false);
                !o)
                return o;
    return Outcome::success();
}

Outcome joinSingleFile(const JoinRequest& request, const Manifest& m, JobControl& control) {
    const std::string& chunkDir = request.chunkDir;
    if (Outcome o = checkSourceName(chunkDir, m.sourceName); !o) return o;
    const std::string stem = stemOf(m.sourceName);
    const std::string& outPath = request.buildPath;
    if (Outcome o = fitsPathField(outPath); !o) return o;
    const std::int32_t count = m.chunkCount;
    if (Outcome o = fitsPathField(chunkPathOf(chunkDir, stem, count > 0 ? count - 1 : 0)); !o)
        return o;
    // Each listed chunk has its record; a count beyond them is a damaged or hostile file,
    // and trying billions of missing chunk names would never end.
    if (m.recordsCutShort && static_cast<std::int64_t>(m.chunks.size()) < count)
        return damaged(chunkDir, "it lists " + std::to_string(count) + " chunks but holds " +
                                     std::to_string(m.chunks.size()) + " chunk records");

    plat::File out;
    if (Outcome o = out.open(outPath.c_str(), plat::File::Mode::CreateNew); !o) return o;
    std::int64_t joined = 0;
    std::unique_ptr<ChunkVerifier> verifier;
    if (request.checksums != nullptr)
        verifier =
            std::make_unique<ChunkVerifier>(chunkDir, stem, count, *request.checksums, control);
    // The file's own entry in the tree, for its holes, mode and time.
    const TreeEntry* entry = nullptr;
    if (request.tree != nullptr && !request.tree->entries.empty() &&
        request.tree->entries.front().type == TreeEntry::Type::File)
        entry = &request.tree->entries.front();
    const TreeEntry* sparse = entry != nullptr && entry->sparse ? entry : nullptr;
    // Without holes, each chunk is hashed as it stands in the output by a pipeline that
    // lives as long as the join: two chunks at once, and the copy never waits at a chunk's
    // end for its hash.
    std::vector<std::string> digests;  // filled by the pipeline's threads: declared first
    std::unique_ptr<HashPipeline> pipeline;
    if (verifier && sparse == nullptr) {
        pipeline = std::make_unique<HashPipeline>();
        digests.resize(static_cast<std::size_t>(std::max(count, 0)));
    }
    for (std::int32_t i = 0; i < count; ++i) {
        if (control.cancelRequested()) return Outcome::cancel();
        plat::File chunk;
        if (Outcome o = openChunk(chunk, chunkPathOf(chunkDir, stem, i)); !o) return o;
        std::int64_t moved = 0;
        std::int64_t chunkSize = 0;
        Outcome o = chunk.size(&chunkSize);
        if (o && pipeline) {
            o = pipeline->begin(outPath, i, joined);
            if (o) {
                o = moveBytes(chunk, out, chunkSize, &moved, control, *pipeline);
                pipeline->end(&digests[static_cast<std::size_t>(i)]);
            }
        } else if (o) {
            Sha256* hash = verifier ? verifier->before(i, 0) : nullptr;
            o = copyPiece(chunk, out, chunkSize, joined, sparse, hash, control, &moved);
            if (o && hash != nullptr) verifier->after(moved);
        }
        if (!o) return o;
        joined += moved;
    }
    if (pipeline) {
        if (Outcome o = pipeline->drain(); !o) return o;
        for (std::int32_t i = 0; i < count; ++i)
            verifier->hashedWhole(i, digests[static_cast<std::size_t>(i)]);
    }
    if (verifier)
        if (Outcome o = verifier->finish(); !o) return o;
    if (sparse != nullptr)
        if (Outcome o = out.truncate(joined); !o) return o;
    if (Outcome o = out.close(); !o) return o;
    if (joined != m.totalSize)
        return Outcome::failure(Fault::Damaged, outPath,
                                "joined " + std::to_string(joined) + " bytes, but the set holds " +
                                    std::to_string(m.totalSize) +
                                    " bytes: a chunk is missing or damaged",
                                EIO);
    if (entry != nullptr)
        return plat::setModeAndTime(outPath.c_str(), entry->mode & 01777, entry->modifiedNs, false);
    return Outcome::success();
}

Outcome joinFolder(const JoinRequest& request, const Manifest& m, JobControl& control,
                   JoinResult* result) {
    const std::string& chunkDir = request.chunkDir;
    if (Outcome o = checkSourceName(chunkDir, m.sourceName); !o) return o;
    const std::string stem = stemOf(m.sourceName);
    const std::string& target = request.buildPath;
    if (Outcome o = fitsPathField(target); !o) return o;
    // The folder is new: nothing in it can be a link planted on the way.
    if (Outcome o = makeDir(target.c_str()); !o) return o;
    result->createdFolders.push_back(target);

    FirstPieces firstPieces(m.files);
    std::int64_t recorded = 0;

    std::unique_ptr<ChunkVerifier> verifier;
    if (request.checksums != nullptr)
        verifier = std::make_unique<ChunkVerifier>(chunkDir, stem, m.chunkCount, *request.checksums,
                                                   control);
    // Files with holes, by their name in the manifest.
    std::unordered_map<std::string, const TreeEntry*> sparseFiles;
    if (request.tree != nullptr)
        for (const TreeEntry& e : request.tree->entries)
            if (e.type == TreeEntry::Type::File && e.sparse) sparseFiles[e.name] = &e;
    // The same output and the same chunk serve many consecutive records.
    plat::File out;
    plat::File chunk;
    std::int32_t chunkIndex = -1;
    std::string lastParent;
    const TreeEntry* sparse = nullptr;  // of the open output
    std::int64_t fileOffset = 0;        // where the next piece goes in the open output
    // A file's mode and time go onto its descriptor as it closes, not by its name after
    // the last file. The tree lists the files in the order the manifest's pieces take
    // them, so one cursor finds each file's entry. Left to restoreTree: a mode without
    // the owner's write bit, which a file taken up again could not be opened under, and
    // every file once any is taken up again, which writes it later.
    const std::size_t noEntry = SIZE_MAX;
    std::vector<char> settled(request.tree != nullptr ? request.tree->entries.size() : 0, 0);
    std::size_t cursor = 0;
    std::size_t openEntry = noEntry;  // of the open output
    bool takenUpAgain = false;
    auto entryOf = [&](const std::string& rel) {
        const std::vector<TreeEntry>& entries = request.tree->entries;
        while (cursor < entries.size() && entries[cursor].type != TreeEntry::Type::File) ++cursor;
        if (cursor == entries.size() || entries[cursor].name != rel) return noEntry;
        return cursor++;
    };
    auto closeOut = [&] {
        Outcome o;
        if (sparse != nullptr && out.isOpen()) o.absorb(out.truncate(sparse->size));
        if (openEntry != noEntry && out.isOpen() && o) {
            const TreeEntry& e = request.tree->entries[openEntry];
            if ((e.mode & 0200) != 0) {
                o.absorb(out.setModeAndTime(e.mode & 01777, e.modifiedNs));
                settled[openEntry] = o.ok;
            }
        }
        o.absorb(out.close());
        sparse = nullptr;
        openEntry = noEntry;
        return o;
    };

    for (std::size_t i = 0; i < m.files.size(); ++i) {
        if (control.cancelRequested()) return Outcome::cancel();
        const FileRecord& r = m.files[i];
        const std::string& rel = r.relativeName;
        if (!staysInside(rel))
            return damaged(chunkDir,
                           "the name \"" + rel + "\" would lead outside the target folder");
        if (r.pieceOffset < 0 || r.pieceLength < 0)
            return damaged(chunkDir, "a negative offset or length for " + rel);
        recorded += r.pieceLength;
        const std::string outPath = target + "/" + rel;
        if (Outcome o = fitsPathField(outPath); !o) return o;

        const bool first = firstPieces.first(i);
        if (first || out.path() != outPath || !out.isOpen()) {
            if (Outcome o = closeOut(); !o) return o;
            // "/" is never part of a two-byte character, so a plain search finds the parent.
            const std::string parent = outPath.substr(0, outPath.rfind('/'));
            if (parent != lastParent) {
                if (Outcome o = makeParentDirs(outPath, &result->createdFolders); !o) return o;
                lastParent = parent;
            }
            // A file's first piece makes it; later pieces go behind it.
            const auto mode = first ? plat::File::Mode::CreateNew : plat::File::Mode::Append;
            if (first) control.setCurrentFile(rel);
            if (Outcome o = out.open(outPath.c_str(), mode); !o) return o;
            // Holes only where the file's pieces follow each other; a file taken up again
            // further on is written whole.
            const auto s = first ? sparseFiles.find(rel) : sparseFiles.end();
            sparse = s != sparseFiles.end() ? s->second : nullptr;
            fileOffset = 0;
            if (!first) takenUpAgain = true;
            if (first && request.tree != nullptr) openEntry = entryOf(rel);
        }
        if (r.pieceLength == 0) continue;  // needs no chunk at all

        if (chunkIndex != r.chunkIndex || !chunk.isOpen()) {
            chunk.close();
            chunkIndex = r.chunkIndex;
            if (Outcome o = openChunk(chunk, chunkPathOf(chunkDir, stem, r.chunkIndex)); !o)
                return o;
        }
        std::int64_t moved = 0;
        Sha256* hash = verifier ? verifier->before(r.chunkIndex, r.pieceOffset) : nullptr;
        Outcome o = chunk.seek(r.pieceOffset);
        if (o) o = copyPiece(chunk, out, r.pieceLength, fileOffset, sparse, hash, control, &moved);
        if (!o) return o;
        if (hash != nullptr) verifier->after(moved);
        fileOffset += moved;
        if (moved < r.pieceLength)
            return Outcome::failure(Fault::Damaged, chunk.path(),
                                    "the chunk is shorter than the manifest needs for " + rel, EIO);
    }
    if (verifier)
        if (Outcome o = verifier->finish(); !o) return o;
    if (Outcome o = closeOut(); !o) return o;
    if (recorded != m.totalSize)
        return damaged(chunkDir, "its pieces hold " + std::to_string(recorded) +
                                     " bytes, but its total is " + std::to_string(m.totalSize));
    if (request.tree != nullptr)
        return restoreTree(target, *request.tree, takenUpAgain ? nullptr : &settled, result);
    return Outcome::success();
}

// The plaintext of a sealed set, in stream order, written out file by file: a single file,
// or the pieces of a folder's files as the sealed manifest lists them.
class StreamWriter {
public:
    StreamWriter(const JoinRequest& request, const SealedContents& contents, JoinResult* result)
        : request_(request), contents_(contents), result_(result) {}

    Outcome start() {
        const Manifest& m = contents_.manifest;
        const std::string& target = request_.buildPath;
        if (Outcome o = fitsPathField(target); !o) return o;
        folder_ = m.isFolderSet() || (request_.tree != nullptr && request_.tree->folderSet);
        std::int64_t recorded = 0;
        if (!folder_) {
            const TreeEntry* e = request_.tree != nullptr && !request_.tree->entries.empty()
                                     ? &request_.tree->entries.front()
                                     : nullptr;
            pieces_.push_back({target, true, e != nullptr && e->sparse ? e : nullptr,
                               contents_.manifest.totalSize});
            recorded = contents_.manifest.totalSize;
        } else {
            if (Outcome o = makeDir(target.c_str()); !o) return o;
            result_->createdFolders.push_back(target);
            std::unordered_map<std::string, const TreeEntry*> sparseFiles;
            if (request_.tree != nullptr)
                for (const TreeEntry& e : request_.tree->entries)
                    if (e.type == TreeEntry::Type::File && e.sparse) sparseFiles[e.name] = &e;
            FirstPieces firstPieces(m.files);
            for (std::size_t i = 0; i < m.files.size(); ++i) {
                const FileRecord& r = m.files[i];
                if (!staysInside(r.relativeName) || r.pieceLength < 0)
                    return damaged(request_.chunkDir, "a sealed record of " + r.relativeName +
                                                          " does not hold together");
                const std::string path = target + "/" + r.relativeName;
                if (Outcome o = fitsPathField(path); !o) return o;
                const bool first = firstPieces.first(i);
                const auto s = first ? sparseFiles.find(r.relativeName) : sparseFiles.end();
                pieces_.push_back(
                    {path, first, s != sparseFiles.end() ? s->second : nullptr, r.pieceLength});
                recorded += r.pieceLength;
            }
        }
        if (recorded != contents_.manifest.totalSize)
            return damaged(request_.chunkDir, "its sealed pieces do not add up to its total");
        return openNext();
    }

    Outcome write(const unsigned char* bytes, std::int64_t n) {
        while (n > 0) {
            if (next_ > pieces_.size() || left_ == 0)
                return damaged(request_.chunkDir, "its chunks hold more than its pieces");
            const std::int64_t take = std::min(n, left_);
            if (Outcome o = put(bytes, take); !o) return o;
            bytes += take;
            n -= take;
            left_ -= take;
            if (left_ == 0)
                if (Outcome o = openNext(); !o) return o;
        }
        return Outcome::success();
    }

    Outcome finish() {
        if (next_ <= pieces_.size() && left_ > 0)
            return damaged(request_.chunkDir, "its chunks hold less than its pieces");
        if (Outcome o = closeOut(); !o) return o;
        if (folder_)
            return request_.tree != nullptr
                       ? restoreTree(request_.buildPath, *request_.tree, nullptr, result_)
                       : Outcome::success();
        const TreeEntry* e = request_.tree != nullptr && !request_.tree->entries.empty()
                                 ? &request_.tree->entries.front()
                                 : nullptr;
        if (e == nullptr || e->type != TreeEntry::Type::File) return Outcome::success();
        return plat::setModeAndTime(request_.buildPath.c_str(), e->mode & 01777, e->modifiedNs,
                                    false);
    }

private:
    struct Piece {
        std::string path;
        bool first;
        const TreeEntry* sparse;
        std::int64_t length;
    };

    Outcome closeOut() {
        Outcome o;
        if (sparse_ != nullptr && out_.isOpen()) o.absorb(out_.truncate(sparse_->size));
        if (out_.isOpen()) o.absorb(out_.close());
        sparse_ = nullptr;
        return o;
    }

    // Opens the output of the next piece that holds bytes, making every empty file on the way.
    Outcome openNext() {
        while (next_ < pieces_.size()) {
            const Piece& p = pieces_[next_++];
            if (out_.path() != p.path || !out_.isOpen()) {
                if (Outcome o = closeOut(); !o) return o;
                if (Outcome o = makeParentDirs(p.path, &result_->createdFolders); !o) return o;
                const auto mode = p.first ? plat::File::Mode::CreateNew : plat::File::Mode::Append;
                if (Outcome o = out_.open(p.path.c_str(), mode); !o) return o;
                // Holes only in a file written in one run, as the clear join makes them.
                sparse_ = p.first ? p.sparse : nullptr;
                fileOffset_ = 0;
            }
            left_ = p.length;
            if (left_ > 0) return Outcome::success();
        }
        next_ = pieces_.size() + 1;
        left_ = 0;
        return Outcome::success();
    }

    // Where the file has holes, only its data ranges are written.
    Outcome put(const unsigned char* bytes, std::int64_t n) {
        if (sparse_ == nullptr) {
            fileOffset_ += n;
            return out_.write(bytes, static_cast<std::size_t>(n));
        }
        const std::int64_t start = fileOffset_;
        const std::int64_t end = start + n;
        for (const auto& [offset, length] : sparse_->dataRanges) {
            const std::int64_t from = std::max(start, offset);
            const std::int64_t to = std::min(end, offset + length);
            if (from >= to) continue;
            if (Outcome o = out_.seek(from); !o) return o;
            if (Outcome o = out_.write(bytes + (from - start), static_cast<std::size_t>(to - from));
                !o)
                return o;
        }
        fileOffset_ = end;
        return Outcome::success();
    }

    const JoinRequest& request_;
    const SealedContents& contents_;
    JoinResult* result_;
    bool folder_ = false;
    std::vector<Piece> pieces_;
    std::size_t next_ = 0;
    std::int64_t left_ = 0;
    plat::File out_;
    const TreeEntry* sparse_ = nullptr;
    std::int64_t fileOffset_ = 0;
};

Outcome notAuthentic(const std::string& path) {
    return Outcome::failure(Fault::Damaged, path,
                            "fails authentication: it was changed, or is another chunk, or a "
                            "chunk of another set",
                            EIO);
}

}  // namespace

Outcome runSealedJoin(const JoinRequest& request, const SealedHeader& header, const SealKey& key,
                      const SealedContents& contents, JobControl& control, JoinResult* result) {
    *result = JoinResult{};
    result->target = request.outputDir + "/" + contents.sourceName;
    if (request.buildPath.empty())
        return Outcome::failure(Fault::Invalid, result->target,
                                "no place was given to build the output in", EINVAL);
    control.begin(header.plainTotal);
    if (control.cancelRequested()) return Outcome::cancel();
    if (Outcome o = checkSourceName(request.chunkDir, contents.sourceName); !o) return o;
    if (Outcome o = namesFitHere(request.chunkDir, contents.sourceName, {}, request.tree); !o)
        return o;
    StreamWriter writer(request, contents, result);
    if (Outcome o = writer.start(); !o) return o;
    const SetNames names(request.chunkDir, stemOf(contents.sourceName));
    std::vector<unsigned char> sealed(kFrameBytes + kFrameOverhead);
    // Decrypting on this thread, writing on the other; declared after the writer, so that
    // it has finished with it before the writer goes.
    Handoff output(kFrameBytes);
    auto write = [&writer](const unsigned char* bytes, std::size_t n) {
        return writer.write(bytes, static_cast<std::int64_t>(n));
    };
    for (std::int32_t i = 0; i < header.chunkCount; ++i) {
        const std::string path = names.chunkPath(i);
        plat::File chunk;
        if (Outcome o = openChunk(chunk, path); !o) return o;
        std::int64_t size = 0;
        if (Outcome o = chunk.size(&size); !o) return o;
        // A chunk cut short, or grown, by whole frames would still authenticate frame by frame.
        if (size != header.diskSizeOf(i))
            return Outcome::failure(Fault::Damaged, path,
                                    "holds " + std::to_string(size) +
                                        " bytes, but the set sealed " +
                                        std::to_string(header.diskSizeOf(i)),
                                    EIO);
        std::int64_t left = header.plainOf(i);
        for (std::uint32_t f = 0; left > 0; ++f) {
            if (control.cancelRequested()) return Outcome::cancel();
            if (output.failed()) return output.drain();
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, kFrameBytes));
            std::size_t have = 0;
            while (have < n + kFrameOverhead) {
                std::size_t got = 0;
                if (Outcome o = chunk.read(sealed.data() + have, n + kFrameOverhead - have, &got);
                    !o)
                    return o;
                if (got == 0) return notAuthentic(path);
                have += got;
            }
            left -= static_cast<std::int64_t>(n);
            unsigned char flags = left == 0 ? kLastInChunk : 0;
            if (left == 0 && i == header.chunkCount - 1) flags |= kLastOfSet;
            unsigned char* plain = output.acquire();
            if (!openFrame(key, i, f, flags, sealed.data(), have, plain)) {
                output.submit(plain, 0, nullptr);
                return notAuthentic(path);
            }
            output.submit(plain, n, write);
            control.advance(static_cast<std::int64_t>(n));
        }
    }
    if (Outcome o = output.drain(); !o) return o;
    return writer.finish();
}

Outcome runJoin(const JoinRequest& request, const Manifest& manifest, JobControl& control,
                JoinResult* result) {
    *result = JoinResult{};
    result->target = request.outputDir + "/" + manifest.sourceName;
    if (request.buildPath.empty())
        return Outcome::failure(Fault::Invalid, result->target,
                                "no place was given to build the output in", EINVAL);
    control.begin(manifest.totalSize);
    // Nothing may be opened for writing, least of all a file that the join would replace.
    if (control.cancelRequested()) return Outcome::cancel();
    if (Outcome o =
            namesFitHere(request.chunkDir, manifest.sourceName, manifest.files, request.tree);
        !o)
        return o;
    // A folder of empty folders, or of nothing at all, has no file records: only its tree
    // file tells that it was a folder.
    const bool folder =
        manifest.isFolderSet() || (request.tree != nullptr && request.tree->folderSet);
    return folder ? joinFolder(request, manifest, control, result)
                  : joinSingleFile(request, manifest, control);
}

const char* chunkStateName(ChunkState state) {
    switch (state) {
        case ChunkState::Ok:
            return "ok";
        case ChunkState::Missing:
            return "missing";
        case ChunkState::Changed:
            return "changed";
        case ChunkState::Empty:
            return "empty";
        case ChunkState::Short:
            return "short";
        case ChunkState::Long:
            return "long";
        case ChunkState::Damaged:
            return "damaged";
        case ChunkState::Special:
            return "special";
    }
    return "?";
}

bool ChunkSetCheck::intact() const {
    return problems().empty();
}

std::vector<std::string> ChunkSetCheck::problems() const {
    std::vector<std::string> found;
    const std::string manifestPath = manifestPathOf(chunkDir);
    if (manifest.recordsCutShort ||
        static_cast<std::int64_t>(entries.size()) != manifest.chunkCount)
        found.push_back(manifestPath + ": the manifest holds fewer records than it counts");
    std::int64_t sum = 0;
    for (const ChunkCheckEntry& e : entries) {
        if (e.size > 0) sum += e.size;
        switch (e.state) {
            case ChunkState::Ok:
                break;
            case ChunkState::Missing:
                found.push_back(e.chunkPath + ": missing");
                break;
            case ChunkState::Changed:
                found.push_back(e.chunkPath + ": does not match the manifest");
                break;
            case ChunkState::Empty:
                found.push_back(e.chunkPath + ": empty, though the set has bytes for it");
                break;
            case ChunkState::Short:
                found.push_back(e.chunkPath + ": shorter than the set needs");
                break;
            case ChunkState::Long:
                found.push_back(e.chunkPath + ": longer than the set needs");
                break;
            case ChunkState::Damaged:
                found.push_back(e.chunkPath + ": does not match its checksum");
                break;
            case ChunkState::Special:
                found.push_back(e.chunkPath +
                                ": not a regular file (a FIFO, socket or device), not read");
                break;
        }
    }
    found.insert(found.end(), manifestFaults.begin(), manifestFaults.end());
    if (checksumList == ChecksumList::Damaged) found.push_back(listProblem);
    for (const ListedFile& f : listedFiles)
        if (f.state != ChunkState::Ok)
            found.push_back(f.path + (f.state == ChunkState::Missing
                                          ? ": missing"
                                          : ": does not match its checksum"));
    // Sizes that each look right can still fail to add up, and then no chunk says so.
    if (found.empty() && sum != manifest.totalSize)
        found.push_back(manifestPath + ": the chunks hold " + std::to_string(sum) +
                        " bytes, but the set holds " + std::to_string(manifest.totalSize));
    return found;
}

namespace {

// The size every chunk but the last was cut to. The size most of them share decides, so
// that one chunk grown or cut short is named alone; among equally common sizes, one that
// leaves the last chunk between 1 byte and a full chunk of the total.
std::int64_t fullChunkSize(const Manifest& m, const std::vector<ChunkCheckEntry>& entries) {
    std::map<std::int64_t, std::int64_t> seen;
    for (const ChunkCheckEntry& e : entries)
        if (e.chunkIndex != m.chunkCount - 1 && e.size > 0) ++seen[e.size];
    auto fits = [&](std::int64_t size) {
        const std::int64_t rest = m.totalSize - (m.chunkCount - 1) * size;
        return rest >= 1 && rest <= size;
    };
    std::int64_t best = 0;
    std::int64_t bestCount = 0;
    for (const auto& [size, n] : seen)
        if (n > bestCount || (n == bestCount && fits(size) && !fits(best))) {
            best = size;
            bestCount = n;
        }
    return best;
}

// The manifest checks a join makes as it writes, made before anything is written, so that
// a check passes exactly the sets a join accepts.
void checkFileRecords(const ChunkSetCheck& check, std::vector<std::string>* faults) {
    const Manifest& m = check.manifest;
    if (m.files.empty()) return;
    const std::string manifestPath = manifestPathOf(check.chunkDir);
    auto fault = [&](const std::string& what) {
        faults->push_back(manifestPath + ": the manifest is damaged: " + what);
    };
    std::map<std::int32_t, std::int64_t> sizeOf;
    for (const ChunkCheckEntry& e : check.entries) sizeOf[e.chunkIndex] = e.size;
    std::int64_t recorded = 0;
    bool overflow = false;
    for (const FileRecord& r : m.files) {
        const std::string& rel = r.relativeName;
        if (!staysInside(rel)) {
            fault("the name \"" + rel + "\" would lead outside the target folder");
            continue;
        }
        if (r.pieceOffset < 0 || r.pieceLength < 0) {
            fault("a negative offset or length for " + rel);
            continue;
        }
        if (r.pieceLength > INT64_MAX - recorded) overflow = true;
        if (!overflow) recorded += r.pieceLength;
        if (r.pieceLength == 0) continue;
        if (r.chunkIndex < 0 || r.chunkIndex >= m.chunkCount) {
            fault("a piece of " + rel + " lies in chunk " + std::to_string(r.chunkIndex) +
                  ", which the set does not have");
            continue;
        }
        const auto size = sizeOf.find(r.chunkIndex);
        if (size != sizeOf.end() && size->second >= 0 &&
            (r.pieceOffset > size->second || r.pieceLength > size->second - r.pieceOffset))
            fault("a piece of " + rel + " reaches past the end of chunk " +
                  std::to_string(r.chunkIndex));
    }
    if (overflow || recorded != m.totalSize)
        fault("its pieces hold " + (overflow ? std::string("more") : std::to_string(recorded)) +
              " bytes, but its total is " + std::to_string(m.totalSize));
}

}  // namespace

Outcome checkSourceNameOf(const std::string& chunkDir, const Manifest& manifest) {
    return checkSourceName(chunkDir, manifest.sourceName);
}

namespace {

// Where a deferred chunk's fingerprint must still be read: the checksum list cannot vouch.
void settleFingerprint(ChunkCheckEntry& e) {
    if (!e.fingerprintLater) return;
    e.fingerprintLater = false;
    char current[kDigestText] = {};
    const bool readable = chunkFingerprint(e.chunkPath.c_str(), current, &e.size).ok;
    e.matches = readable && e.storedFingerprint == current;
    if (e.state == ChunkState::Ok)
        e.state = !readable    ? ChunkState::Missing
                  : !e.matches ? ChunkState::Changed
                               : ChunkState::Ok;
}

void settleFingerprints(ChunkSetCheck* check) {
    for (ChunkCheckEntry& e : check->entries) settleFingerprint(e);
}

Outcome checkChunkSetReading(const std::string& chunkDir, ChunkSetCheck* check,
                             bool fingerprintsNow) {
    *check = ChunkSetCheck{};
    check->chunkDir = chunkDir;
    check->hasChecksumList = plat::pathExists((chunkDir + "/" + kChecksumListName).c_str());
    if (Outcome o = readManifest(chunkDir, &check->manifest, &check->manifestSha256); !o) return o;
    const Manifest& m = check->manifest;
    if (Outcome o = checkSourceNameOf(chunkDir, m); !o)
        return Outcome::failure(Fault::Malformed, o.path, o.reason, EINVAL);
    const std::string stem = stemOf(m.sourceName);
    const SetNames setNames(chunkDir, stem);
    std::vector<plat::DirEntry> names;
    const bool listed = plat::listDirectory(chunkDir.c_str(), &names).ok;
    // By chunk index, what the listing found under the chunk's name.
    std::vector<const plat::DirEntry*> listedChunk;
    if (!fingerprintsNow && listed) {
        listedChunk.assign(static_cast<std::size_t>(std::max(0, m.chunkCount)), nullptr);
        for (const plat::DirEntry& d : names) {
            const std::int64_t i = setNames.chunkIndexOf(d.name);
            if (i >= 0 && i < m.chunkCount) listedChunk[static_cast<std::size_t>(i)] = &d;
        }
    }
    for (const ChunkRecord& r : m.chunks) {
        ChunkCheckEntry entry;
        entry.chunkIndex = r.chunkIndex;
        entry.chunkPath = setNames.chunkPath(r.chunkIndex);
        entry.storedFingerprint = r.fingerprint;
        if (!listedChunk.empty() && r.chunkIndex >= 0 && r.chunkIndex < m.chunkCount) {
            const plat::DirEntry* d = listedChunk[static_cast<std::size_t>(r.chunkIndex)];
            entry.state = d == nullptr                  ? ChunkState::Missing
                          : d->kind != plat::Kind::File ? ChunkState::Special
                                                        : ChunkState::Ok;
            entry.size = d != nullptr && d->kind == plat::Kind::File ? d->size : -1;
            entry.fingerprintLater = entry.state == ChunkState::Ok;
            entry.matches = entry.fingerprintLater;
            check->entries.push_back(std::move(entry));
            continue;
        }
        // Something other than a file is never opened: a FIFO would wait for a writer.
        plat::StatInfo info;
        const bool present = plat::statPath(entry.chunkPath.c_str(), &info).ok;
        if (present && info.kind != plat::Kind::File) {
            entry.state = ChunkState::Special;
            check->entries.push_back(std::move(entry));
            continue;
        }
        char current[kDigestText] = {};
        // A chunk that cannot be read never matches, not even a record whose
        // fingerprint is empty because the split could not write that chunk either.
        const bool readable =
            present && chunkFingerprint(entry.chunkPath.c_str(), current, &entry.size).ok;
        entry.matches = readable && entry.storedFingerprint == current;
        if (!readable) entry.size = fileSize(entry.chunkPath.c_str());
        entry.state = !readable        ? ChunkState::Missing
                      : !entry.matches ? ChunkState::Changed
                                       : ChunkState::Ok;
        check->entries.push_back(std::move(entry));
    }
    // A split that met a full disk, or a source that shrank, leaves chunks whose stored
    // fingerprints match their short contents: only their sizes give them away. Every
    // chunk but the last has the same size, and the last holds what is left.
    const std::int64_t count = m.chunkCount;
    // An empty chunk is Empty only when its fingerprint says the split wrote it so.
    for (ChunkCheckEntry& e : check->entries)
        if (e.size == 0 && m.totalSize > 0) settleFingerprint(e);
    const std::int64_t fullSize = fullChunkSize(m, check->entries);
    for (ChunkCheckEntry& e : check->entries) {
        // A chunk whose size is wrong is named by its size, even when that changed its
        // fingerprint too.
        if (e.state != ChunkState::Ok && e.state != ChunkState::Changed) continue;
        const bool last = e.chunkIndex == count - 1;
        const std::int64_t lastSize =
            count > 1 ? m.totalSize - (count - 1) * fullSize : m.totalSize;
        if (e.size == 0 && m.totalSize > 0)
            e.state = e.state == ChunkState::Ok ? ChunkState::Empty : e.state;
        else if (!last && e.size < fullSize)
            e.state = ChunkState::Short;
        else if (!last && e.size > fullSize)
            e.state = ChunkState::Long;
        else if (last && e.size < lastSize)
            e.state = ChunkState::Short;
        else if (last && e.size > lastSize)
            e.state = ChunkState::Long;
    }
    // A chunk of the wrong size is not read whole; its fingerprint is read as before.
    for (ChunkCheckEntry& e : check->entries)
        if (e.state != ChunkState::Ok) settleFingerprint(e);
    checkFileRecords(*check, &check->manifestFaults);
    // Leftovers of an older, longer set under the same stem.
    if (listed) {
        for (const plat::DirEntry& d : names)
            if (setNames.chunkIndexOf(d.name) >= count)
                check->strays.push_back(chunkDir + "/" + d.name);
        std::sort(check->strays.begin(), check->strays.end());
        for (const plat::DirEntry& d : names) {
            if (d.name == kTreeName || setNames.recoveryNumberOf(d.name) >= 0)
                check->listExpected = true;
            if (d.kind == plat::Kind::File && d.name.size() > 4 &&
                d.name.compare(d.name.size() - 4, 4, ".rec") == 0)
                check->recoveryFilesSeen = true;
        }
    }
    return Outcome::success();
}

}  // namespace

Outcome checkChunkSet(const std::string& chunkDir, ChunkSetCheck* check) {
    return checkChunkSetReading(chunkDir, check, true);
}

Outcome checkChunkSetForFullRead(const std::string& chunkDir, ChunkSetCheck* check) {
    return checkChunkSetReading(chunkDir, check, false);
}

Outcome verifyChunkSet(ChunkSetCheck* check, JobControl& control, unsigned threads) {
    check->listedFiles.clear();
    check->listProblem.clear();
    std::map<std::string, std::string> digests;
    bool present = false;
    if (Outcome o = readChecksumList(check->chunkDir, &present, &digests); !o) {
        check->checksumList = ChecksumList::Damaged;
        check->listProblem = o.path + ": " + o.reason;
        settleFingerprints(check);
        return Outcome::success();
    }
    if (!present) {
        check->checksumList = ChecksumList::Absent;
        settleFingerprints(check);
        return Outcome::success();
    }
    // Work: every chunk that passed the quick check, and every other listed file.
    struct Item {
        const std::string* path;
        const std::string* digest;
        ChunkState* state;
        std::int64_t* size;
        ChunkCheckEntry* later = nullptr;  // a chunk whose fingerprint is read with it
    };
    std::vector<Item> items;
    const std::string listPath = check->chunkDir + "/" + kChecksumListName;
    auto damagedList = [&](const std::string& why) {
        check->checksumList = ChecksumList::Damaged;
        check->listProblem = listPath + ": the checksum list is damaged: " + why;
        settleFingerprints(check);
        return Outcome::success();
    };
    const std::string prefix = check->chunkDir + "/";
    std::set<std::string> chunkNames;
    for (ChunkCheckEntry& e : check->entries) {
        const std::string name = e.chunkPath.substr(prefix.size());
        chunkNames.insert(name);
        const auto d = digests.find(name);
        if (d == digests.end()) return damagedList("it does not name " + name);
        if (e.state == ChunkState::Ok)
            items.push_back(
                {&e.chunkPath, &d->second, &e.state, nullptr, e.fingerprintLater ? &e : nullptr});
    }
    if (digests.find(kManifestName) == digests.end())
        return damagedList(std::string("it does not name ") + kManifestName);
    check->listedFiles.reserve(digests.size());
    check->listedFiles.push_back({kManifestName, prefix + kManifestName, ChunkState::Missing, -1});
    for (const auto& [name, digest] : digests)
        if (name != kManifestName && chunkNames.count(name) == 0)
            check->listedFiles.push_back({name, prefix + name, ChunkState::Missing, -1});
    for (ListedFile& f : check->listedFiles)
        items.push_back({&f.path, &digests[f.name], &f.state, &f.size});
    check->checksumList = ChecksumList::Read;

    // The chunks were measured by the quick check; only the other listed files are not.
    std::int64_t total = 0;
    for (const Item& item : items)
        if (item.size != nullptr) total += std::max<std::int64_t>(0, fileSize(item.path->c_str()));
    for (const ChunkCheckEntry& e : check->entries)
        if (e.state == ChunkState::Ok) total += std::max<std::int64_t>(0, e.size);
    control.begin(total);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        // Kept for the thread's every file: a check of many small chunks allocates nothing
        // per chunk.
        std::string hex;
        char fingerprint[kDigestText] = {};
        for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
            if (control.cancelRequested()) return;
            Item& item = items[i];
            std::int64_t size = -1;
            const Outcome o = hashFile(*item.path, &control, &hex, &size,
                                       item.later != nullptr ? fingerprint : nullptr);
            if (item.size != nullptr) *item.size = o ? size : -1;
            *item.state = !o                    ? ChunkState::Missing
                          : hex == *item.digest ? ChunkState::Ok
                                                : ChunkState::Damaged;
            if (item.later == nullptr) continue;
            // What the quick check would have said of it comes first.
            item.later->fingerprintLater = false;
            item.later->matches = o && item.later->storedFingerprint == fingerprint;
            if (o && !item.later->matches) *item.state = ChunkState::Changed;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::max(1u, threads); ++t)
        pool.emplace_back([&] {
            work();
            endThreadHashing();
        });
    work();
    for (std::thread& t : pool) t.join();
    if (control.cancelRequested()) return Outcome::cancel();
    return Outcome::success();
}

}  // namespace morvane
