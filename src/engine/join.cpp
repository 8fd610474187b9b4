#include "engine/join.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "engine/digest.h"
#include "engine/engine_state.h"
#include "engine/fs_primitives.h"
#include "engine/manifest.h"
#include "engine/mover.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

struct SetNames {
    char name[kPathField] = {};
    char stem[kPathField] = {};
};

void setNames(SetNames* names) {
    getSourceName(names->name, sizeof names->name);
    std::memcpy(names->stem, names->name, sizeof names->stem);
    cutAtFirstDot(names->stem);
}

std::string manifestPathIn(const char* chunkDir) {
    return std::string(chunkDir) + "/" + kManifestName;
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

// The source name is a single name: it may not name a folder level of its own.
Outcome checkSourceName(const char* chunkDir, const char* name) {
    const std::size_t n = std::strlen(name);
    if (!staysInside(name) || afterLastSeparator(name, n) != 0)
        return Outcome::failure(manifestPathIn(chunkDir),
                                "the manifest's source name is not a plain file name", EINVAL);
    return Outcome::success();
}

Outcome damaged(const char* chunkDir, const std::string& what) {
    return Outcome::failure(manifestPathIn(chunkDir), "the manifest is damaged: " + what, EINVAL);
}

}  // namespace

Outcome runJoinJob(const char* chunkDir, const char* outputDir) {
    engineState().jobBytesDone.store(0, std::memory_order_relaxed);
    Outcome why;
    if (readManifest(chunkDir, &why) != 0) return why;
    engineState().jobBytesTotal.store(getTotalSize(), std::memory_order_relaxed);
    return getFileCount() > 0 ? joinFolder(chunkDir, outputDir)
                              : joinSingleFile(chunkDir, outputDir);
}

Outcome joinSingleFile(const char* chunkDir, const char* outputDir) {
    SetNames names;
    setNames(&names);
    if (Outcome o = checkSourceName(chunkDir, names.name); !o) return o;
    const std::string outPath = std::string(outputDir) + "/" + names.name;
    if (Outcome o = fitsPathField(outPath); !o) return o;
    const std::int32_t count = getChunkCount();
    if (Outcome o = fitsPathField(chunkPathOf(chunkDir, names.stem, count > 0 ? count - 1 : 0)); !o)
        return o;
    const EngineState& st = engineState();
    // Each listed chunk has its record; a count beyond them is a damaged or hostile file,
    // and trying billions of missing chunk names would never end.
    if (st.recordsCutShort && static_cast<std::int64_t>(st.chunkRecords.size()) < count)
        return damaged(chunkDir, "it lists " + std::to_string(count) + " chunks but holds " +
                                     std::to_string(st.chunkRecords.size()) + " chunk records");

    // Replacing a file the user already has is only worth it when the chunks can rebuild
    // the whole set; a join that is known to come out short keeps that file as it is.
    if (pathKind(outPath.c_str()) == 0) {
        std::int64_t available = 0;
        for (std::int32_t i = 0; i < count; ++i) {
            const std::string chunkPath = chunkPathOf(chunkDir, names.stem, i);
            const std::int64_t size = fileSize(chunkPath.c_str());
            if (size < 0)
                return Outcome::failure(
                    outPath,
                    "was not replaced: chunk " + std::to_string(i) + " of the set is missing",
                    ENOENT);
            available += size;
        }
        if (available != getTotalSize())
            return Outcome::failure(outPath,
                                    "was not replaced: the chunks hold " +
                                        std::to_string(available) + " of the set's " +
                                        std::to_string(getTotalSize()) + " bytes",
                                    EIO);
    }

    plat::File out;
    if (Outcome o = out.open(outPath.c_str(), plat::File::Mode::WriteTruncate); !o) return o;
    Outcome result;
    std::int64_t joined = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string chunkPath = chunkPathOf(chunkDir, names.stem, i);
        plat::File chunk;
        if (Outcome o = chunk.open(chunkPath.c_str(), plat::File::Mode::Read); !o) {
            result.absorb(o);  // skipped, as every copy of the program does, but not in silence
            continue;
        }
        chunk.adviseSequential();
        std::int64_t moved = 0;
        const Outcome o = moveBytes(chunk, out, INT64_MAX, &moved);
        joined += moved;
        result.absorb(o);
    }
    result.absorb(out.close());
    if (result.ok && joined != getTotalSize())
        result.absorb(Outcome::failure(
            outPath, "joined " + std::to_string(joined) + " bytes, but the set holds " +
                         std::to_string(getTotalSize()) + " bytes: a chunk is missing or damaged"));
    return result;
}

Outcome joinFolder(const char* chunkDir, const char* outputDir) {
    SetNames names;
    setNames(&names);
    if (Outcome o = checkSourceName(chunkDir, names.name); !o) return o;
    const std::string target = std::string(outputDir) + "/" + names.name;
    if (Outcome o = fitsPathField(target); !o) return o;

    const std::vector<FileRecord> records = engineState().fileRecords;
    Outcome result;
    std::unordered_set<std::string> started;
    std::int64_t recorded = 0;

    // The same output and the same chunk serve many consecutive records.
    plat::File out;
    plat::File chunk;
    std::int32_t chunkIndex = -1;
    std::string lastParent;

    for (const FileRecord& r : records) {
        const std::string_view rel(r.relativeName, fieldLength(r.relativeName, kNameField));
        if (!staysInside(rel)) {
            result.absorb(damaged(chunkDir, "the name \"" + std::string(rel) +
                                                "\" would lead outside the target folder"));
            continue;
        }
        if (r.pieceOffset < 0 || r.pieceLength < 0) {
            result.absorb(damaged(chunkDir, "a negative offset or length for " + std::string(rel)));
            continue;
        }
        recorded += r.pieceLength;
        const std::string outPath = target + "/" + std::string(rel);
        if (Outcome o = fitsPathField(outPath); !o) {
            result.absorb(o);
            continue;
        }

        const bool first = started.insert(outPath).second;
        if (first || out.path() != outPath || !out.isOpen()) {
            result.absorb(out.close());
            // "/" is never part of a two-byte character, so a plain search finds the parent.
            const std::string parent = outPath.substr(0, outPath.rfind('/'));
            if (parent != lastParent) {
                if (Outcome o = makeParentDirs(outPath.c_str()); !o) {
                    result.absorb(o);
                    continue;
                }
                lastParent = parent;
            }
            // A file's first piece replaces what was there; later pieces go behind it.
            const auto mode = first ? plat::File::Mode::WriteTruncate : plat::File::Mode::Append;
            if (Outcome o = out.open(outPath.c_str(), mode); !o) {
                result.absorb(o);
                continue;
            }
        }
        if (r.pieceLength == 0) continue;  // needs no chunk at all

        if (chunkIndex != r.chunkIndex || !chunk.isOpen()) {
            chunk.close();
            chunkIndex = r.chunkIndex;
            const std::string chunkPath = chunkPathOf(chunkDir, names.stem, r.chunkIndex);
            if (Outcome o = chunk.open(chunkPath.c_str(), plat::File::Mode::Read); !o) {
                result.absorb(o);
                continue;
            }
            chunk.adviseSequential();
        }
        std::int64_t moved = 0;
        Outcome o = chunk.seek(r.pieceOffset);
        if (o) o = moveBytes(chunk, out, r.pieceLength, &moved);
        if (o && moved < r.pieceLength)
            o = Outcome::failure(chunk.path(), "the chunk is shorter than the manifest needs for " +
                                                   std::string(rel));
        result.absorb(o);
    }
    result.absorb(out.close());
    if (recorded != getTotalSize())
        result.absorb(damaged(chunkDir, "its pieces hold " + std::to_string(recorded) +
                                            " bytes, but its total is " +
                                            std::to_string(getTotalSize())));
    return result;
}

int listChunkSet(const char* chunkDir, std::vector<ChunkCheckEntry>* entries, char* digestOut,
                 char* nameOut, Outcome* why) {
    engineState().jobBytesDone.store(0, std::memory_order_relaxed);
    if (readManifest(chunkDir, why) != 0) return -1;
    engineState().jobBytesTotal.store(getTotalSize(), std::memory_order_relaxed);

    SetNames names;
    setNames(&names);
    std::memcpy(nameOut, names.name, std::strlen(names.name) + 1);
    std::memset(digestOut, 0, kDigestText);
    getPasswordDigest(digestOut, kDigestText);

    for (const ChunkRecord& r : engineState().chunkRecords) {
        ChunkCheckEntry entry;
        entry.chunkIndex = r.chunkIndex;
        entry.chunkPath = chunkPathOf(chunkDir, names.stem, r.chunkIndex);
        entry.storedFingerprint.assign(r.fingerprint, fieldLength(r.fingerprint, kDigestText));
        char current[kDigestText] = {};
        // A chunk that cannot be read never matches, not even a record whose
        // fingerprint is empty because the split could not write that chunk either.
        const bool readable = chunkFingerprint(entry.chunkPath.c_str(), current, &entry.size).ok;
        entry.status = (readable && entry.storedFingerprint == current) ? 0 : -1;
        if (!readable) entry.size = fileSize(entry.chunkPath.c_str());
        entries->push_back(std::move(entry));
    }
    return 0;
}

}  // namespace morvane
