#include "engine/manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/digest.h"
#include "engine/engine_state.h"
#include "platform/native.h"

namespace morvane {
namespace {

// A reader takes a text field only up to its first NUL: the rest reads as zero.
void clearAfterNul(char* field, std::size_t size) {
    const std::size_t n = fieldLength(field, size);
    if (n < size) std::memset(field + n, 0, size - n);
}

Outcome readFully(plat::File& file, void* buffer, std::size_t size, std::size_t* got) {
    *got = 0;
    auto* p = static_cast<char*>(buffer);
    while (*got < size) {
        std::size_t n = 0;
        if (Outcome o = file.read(p + *got, size - *got, &n); !o) return o;
        if (n == 0) break;
        *got += n;
    }
    return Outcome::success();
}

// Record slots that the bytes after the header can reach, in part at least.
std::int64_t recordsHeld(std::int64_t bytesLeft, std::int64_t recordSize) {
    return bytesLeft <= 0 ? 0 : (bytesLeft + recordSize - 1) / recordSize;
}

}  // namespace

std::string chunkPathOf(const std::string& folder, const char* stem, std::int64_t index) {
    return folder + "/" + stem + "_" + std::to_string(index) + ".spt";
}

Outcome manifestPathOf(const char* folder, char* out) {
    const std::string path = std::string(folder) + "/" + kManifestName;
    return copyToField(out, kPathField, path, "the manifest path");
}

Outcome resetManifest(const char* chunkFolder) {
    EngineState& st = engineState();
    std::memset(st.manifestPath, 0, sizeof st.manifestPath);
    std::memset(&st.header, 0, sizeof st.header);
    st.header.formatA = kFormatA;
    st.header.formatB = kFormatB;
    clearManifestRecords();
    st.recordsCutShort = false;
    return manifestPathOf(chunkFolder, st.manifestPath);
}

Outcome writeManifest() {
    const EngineState& st = engineState();
    // One write: a manifest of thousands of records should not cost thousands of calls.
    std::vector<char> bytes(sizeof(ManifestHeader) + st.chunkRecords.size() * sizeof(ChunkRecord) +
                            st.fileRecords.size() * sizeof(FileRecord));
    char* p = bytes.data();
    std::memcpy(p, &st.header, sizeof st.header);
    p += sizeof st.header;
    if (!st.chunkRecords.empty()) {
        std::memcpy(p, st.chunkRecords.data(), st.chunkRecords.size() * sizeof(ChunkRecord));
        p += st.chunkRecords.size() * sizeof(ChunkRecord);
    }
    if (!st.fileRecords.empty())
        std::memcpy(p, st.fileRecords.data(), st.fileRecords.size() * sizeof(FileRecord));

    plat::File file;
    if (Outcome o = file.open(st.manifestPath, plat::File::Mode::WriteTruncate); !o) return o;
    if (Outcome o = file.write(bytes.data(), bytes.size()); !o) return o;
    return file.close();
}

int readManifest(const char* folder, Outcome* why) {
    EngineState& st = engineState();
    clearManifestRecords();
    std::memset(&st.header, 0, sizeof st.header);
    st.recordsCutShort = false;
    Outcome result;
    auto fail = [&](Outcome o) {
        std::memset(&st.header, 0, sizeof st.header);
        clearManifestRecords();
        if (why) *why = std::move(o);
        return -1;
    };

    char path[kPathField] = {};
    if (Outcome o = manifestPathOf(folder, path); !o) return fail(o);
    plat::File file;
    if (Outcome o = file.open(path, plat::File::Mode::Read); !o) return fail(o);
    std::int64_t fileBytes = 0;
    if (Outcome o = file.size(&fileBytes); !o) return fail(o);

    std::size_t got = 0;
    if (Outcome o = readFully(file, &st.header, sizeof st.header, &got); !o) return fail(o);
    if (st.header.formatA != kFormatA || st.header.formatB != kFormatB)
        return fail(
            Outcome::failure(path, "not a chunk-set manifest (wrong format constants)", EINVAL));
    clearAfterNul(st.header.passwordDigest, sizeof st.header.passwordDigest);
    clearAfterNul(st.header.sourceName, sizeof st.header.sourceName);

    // Never allocate more records than the file's bytes can hold: a damaged or hostile
    // count must not cost gigabytes. The slots it cannot reach would only read as zeros.
    std::int64_t left = fileBytes - static_cast<std::int64_t>(sizeof(ManifestHeader));
    const std::int64_t chunks = std::max<std::int64_t>(0, st.header.chunkCount);
    const std::int64_t chunkSlots = std::min(chunks, recordsHeld(left, sizeof(ChunkRecord)));
    left -= chunks * static_cast<std::int64_t>(sizeof(ChunkRecord));
    const std::int64_t files = std::max<std::int64_t>(0, st.header.fileCount);
    const std::int64_t fileSlots = std::min(files, recordsHeld(left, sizeof(FileRecord)));
    st.recordsCutShort = chunkSlots < chunks || fileSlots < files ||
                         fileBytes < static_cast<std::int64_t>(sizeof(ManifestHeader)) +
                                         chunks * static_cast<std::int64_t>(sizeof(ChunkRecord)) +
                                         files * static_cast<std::int64_t>(sizeof(FileRecord));

    // The records are packed blocks laid out as in the file, so each kind is one read.
    st.chunkRecords.assign(static_cast<std::size_t>(chunkSlots), ChunkRecord{});
    if (Outcome o = readFully(file, st.chunkRecords.data(),
                              st.chunkRecords.size() * sizeof(ChunkRecord), &got);
        !o)
        return fail(o);
    for (ChunkRecord& r : st.chunkRecords) clearAfterNul(r.fingerprint, sizeof r.fingerprint);
    if (chunkSlots < chunks) {
        // The chunk records ran past the end, so no file record can follow.
    } else {
        st.fileRecords.assign(static_cast<std::size_t>(fileSlots), FileRecord{});
        if (Outcome o = readFully(file, st.fileRecords.data(),
                                  st.fileRecords.size() * sizeof(FileRecord), &got);
            !o)
            return fail(o);
        for (FileRecord& r : st.fileRecords) clearAfterNul(r.relativeName, sizeof r.relativeName);
    }
    if (why) *why = result;
    return 0;
}

void clearManifestRecords() {
    EngineState& st = engineState();
    st.chunkRecords.clear();
    st.chunkRecords.shrink_to_fit();
    st.fileRecords.clear();
    st.fileRecords.shrink_to_fit();
}

Outcome addChunkRecord(std::int32_t chunkIndex, const char* chunkPath) {
    EngineState& st = engineState();
    ChunkRecord record{};
    record.chunkIndex = chunkIndex;
    Outcome o = chunkFingerprint(chunkPath, record.fingerprint);
    std::lock_guard<std::mutex> lock(st.recordGuard);
    st.chunkRecords.push_back(record);
    return o;
}

Outcome addFileRecord(const char* relativeName, std::int32_t chunkIndex, std::int64_t pieceOffset,
                      std::int64_t pieceLength) {
    EngineState& st = engineState();
    FileRecord record{};
    if (Outcome o = copyToField(record.relativeName, sizeof record.relativeName, relativeName,
                                "the relative name");
        !o)
        return o;
    record.recordNumber = st.header.fileCount++;
    record.chunkIndex = chunkIndex;
    record.pieceOffset = pieceOffset;
    record.pieceLength = pieceLength;
    st.fileRecords.push_back(record);
    return Outcome::success();
}

}  // namespace morvane
