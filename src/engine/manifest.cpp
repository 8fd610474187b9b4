#include "engine/manifest.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <set>

#include "engine/digest.h"
#include "engine/sealing.h"
#include "engine/set_names.h"
#include "engine/sha256.h"
#include "platform/native.h"

namespace morvane {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the packed records are copied as the little-endian manifest holds them");

#pragma pack(push, 1)
struct PackedHeader {
    char reserved[32];
    std::int32_t formatA;
    std::int32_t formatB;
    std::int32_t chunkCount;
    std::int32_t fileCount;
    std::int64_t totalSize;
    char passwordDigest[kDigestField];
    char sourceName[kNameField];
};

struct PackedChunk {
    std::int32_t chunkIndex;
    char fingerprint[kDigestText];
};

struct PackedFile {
    char relativeName[kNameField];
    std::int32_t recordNumber;
    std::int32_t chunkIndex;
    std::int64_t pieceOffset;
    std::int64_t pieceLength;
};
#pragma pack(pop)

static_assert(sizeof(PackedHeader) == 352);
static_assert(sizeof(PackedChunk) == 37);
static_assert(sizeof(PackedFile) == 280);

// Copies text into a fixed field with its NUL and zeros after; refuses text that does not fit.
Outcome toField(char* field, std::size_t fieldSize, std::string_view text, const char* what) {
    if (text.size() >= fieldSize || text.find('\0') != std::string_view::npos)
        return Outcome::failure(std::string(text),
                                std::string(what) + " is too long (at most " +
                                    std::to_string(fieldSize - 1) + " bytes)",
                                ENAMETOOLONG);
    std::memcpy(field, text.data(), text.size());
    std::memset(field + text.size(), 0, fieldSize - text.size());
    return Outcome::success();
}

// A reader takes a text field only up to its first NUL.
std::string fromField(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, '\0', size);
    return std::string(
        field, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size);
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

Outcome fitsPathField(const std::string& path) {
    if (path.size() < kPathField) return Outcome::success();
    return Outcome::failure(path, "the path is too long (at most 1023 bytes)", ENAMETOOLONG);
}

Outcome Manifest::setSourceName(std::string_view name) {
    char field[kNameField];
    if (Outcome o = toField(field, sizeof field, name, "the source name"); !o) return o;
    sourceName = std::string(name);
    return Outcome::success();
}

bool Manifest::isSealed() const {
    return passwordDigest == kSealedMark;
}

void Manifest::protectWith(const char* password) {
    char digest[kDigestText] = {};
    passwordDigestOf(password, digest);
    passwordDigest = digest;
}

Outcome Manifest::addFilePiece(std::string_view relativeName, std::int32_t chunkIndex,
                               std::int64_t pieceOffset, std::int64_t pieceLength) {
    char field[kNameField];
    if (Outcome o = toField(field, sizeof field, relativeName, "the relative name"); !o) return o;
    files.push_back({std::string(relativeName), fileCount++, chunkIndex, pieceOffset, pieceLength});
    return Outcome::success();
}

std::int32_t Manifest::distinctFiles() const {
    if (fileCount <= 0) return 1;
    // A file cut by a chunk end has several records.
    std::set<std::string_view> names;
    for (const FileRecord& r : files) names.insert(r.relativeName);
    return static_cast<std::int32_t>(names.size());
}

std::string manifestPathOf(const std::string& folder) {
    return SetNames(folder, {}).manifestPath();
}

std::string chunkPathOf(const std::string& folder, const std::string& stem, std::int64_t index) {
    return SetNames(folder, stem).chunkPath(index);
}

std::string stemOf(const std::string& sourceName) {
    // "." is never a byte inside a two- or four-byte GB18030 character.
    return sourceName.substr(0, sourceName.find('.'));
}

std::int64_t manifestSizeFor(std::int64_t chunks, std::int64_t files) {
    return static_cast<std::int64_t>(sizeof(PackedHeader)) +
           chunks * static_cast<std::int64_t>(sizeof(PackedChunk)) +
           files * static_cast<std::int64_t>(sizeof(PackedFile));
}

Outcome encodeManifest(const Manifest& m, const ManifestSink& put) {
    // Records go out a block at a time: a folder of many files has a manifest of many MiB.
    constexpr std::size_t kBlock = 1 << 20;
    std::vector<char> block;
    block.reserve(kBlock);
    const auto append = [&](const void* record, std::size_t size) {
        if (block.size() + size > kBlock) {
            if (Outcome o = put(block.data(), block.size()); !o) return o;
            block.clear();
        }
        const auto* bytes = static_cast<const char*>(record);
        block.insert(block.end(), bytes, bytes + size);
        return Outcome::success();
    };
    PackedHeader h{};
    h.formatA = kFormatA;
    h.formatB = kFormatB;
    h.chunkCount = m.chunkCount;
    h.fileCount = m.fileCount;
    h.totalSize = m.totalSize;
    if (Outcome o = toField(h.passwordDigest, sizeof h.passwordDigest, m.passwordDigest,
                            "the password digest");
        !o)
        return o;
    if (Outcome o = toField(h.sourceName, sizeof h.sourceName, m.sourceName, "the source name"); !o)
        return o;
    if (Outcome o = append(&h, sizeof h); !o) return o;
    for (const ChunkRecord& r : m.chunks) {
        PackedChunk c{};
        c.chunkIndex = r.chunkIndex;
        if (Outcome o =
                toField(c.fingerprint, sizeof c.fingerprint, r.fingerprint, "a fingerprint");
            !o)
            return o;
        if (Outcome o = append(&c, sizeof c); !o) return o;
    }
    for (const FileRecord& r : m.files) {
        PackedFile f{};
        if (Outcome o =
                toField(f.relativeName, sizeof f.relativeName, r.relativeName, "the relative name");
            !o)
            return o;
        f.recordNumber = r.recordNumber;
        f.chunkIndex = r.chunkIndex;
        f.pieceOffset = r.pieceOffset;
        f.pieceLength = r.pieceLength;
        if (Outcome o = append(&f, sizeof f); !o) return o;
    }
    return block.empty() ? Outcome::success() : put(block.data(), block.size());
}

Outcome encodeManifest(const Manifest& m, std::vector<char>* out) {
    out->clear();
    out->reserve(static_cast<std::size_t>(manifestSizeFor(
        static_cast<std::int64_t>(m.chunks.size()), static_cast<std::int64_t>(m.files.size()))));
    return encodeManifest(m, [out](const char* bytes, std::size_t size) {
        out->insert(out->end(), bytes, bytes + size);
        return Outcome::success();
    });
}

Outcome writeManifest(const std::string& path, const Manifest& m, bool createNew) {
    // One write: a manifest of thousands of records should not cost thousands of calls.
    std::vector<char> bytes;
    if (Outcome o = encodeManifest(m, &bytes); !o) return o;
    if (Outcome o = fitsPathField(path); !o) return o;
    plat::File file;
    if (Outcome o = file.open(path.c_str(), createNew ? plat::File::Mode::CreateNew
                                                      : plat::File::Mode::WriteTruncate);
        !o)
        return o;
    if (Outcome o = file.write(bytes.data(), bytes.size()); !o) return o;
    return file.close();
}

Outcome readManifest(const std::string& folder, Manifest* out, std::string* sha256) {
    *out = Manifest{};
    if (sha256 != nullptr) sha256->clear();
    const std::string path = SetNames(folder, {}).manifestPath();
    if (Outcome o = fitsPathField(path); !o) return o;
    plat::File file;
    if (Outcome o = file.open(path.c_str(), plat::File::Mode::Read); !o) return o;
    std::int64_t fileBytes = 0;
    if (Outcome o = file.size(&fileBytes); !o) return o;
    Sha256 hash;
    // Every read goes through the hash, so that its digest is of the bytes decoded.
    const auto take = [&](void* buffer, std::size_t size, std::size_t* got) {
        Outcome o = readFully(file, buffer, size, got);
        if (o && sha256 != nullptr) hash.update(buffer, *got);
        return o;
    };

    PackedHeader h{};
    std::size_t got = 0;
    if (Outcome o = take(&h, sizeof h, &got); !o) return o;
    if (h.formatA != kFormatA || h.formatB != kFormatB)
        return Outcome::failure(path, "not a chunk-set manifest (wrong format constants)", EINVAL);

    Manifest m;
    m.chunkCount = h.chunkCount;
    m.fileCount = h.fileCount;
    m.totalSize = h.totalSize;
    m.passwordDigest = fromField(h.passwordDigest, sizeof h.passwordDigest);
    m.sourceName = fromField(h.sourceName, sizeof h.sourceName);

    // Never allocate more records than the file's bytes can hold: a damaged or hostile
    // count must not cost gigabytes. The slots it cannot reach would only read as zeros.
    std::int64_t left = fileBytes - static_cast<std::int64_t>(sizeof(PackedHeader));
    const std::int64_t chunks = std::max<std::int64_t>(0, h.chunkCount);
    const std::int64_t chunkSlots = std::min(chunks, recordsHeld(left, sizeof(PackedChunk)));
    left -= chunks * static_cast<std::int64_t>(sizeof(PackedChunk));
    const std::int64_t files = std::max<std::int64_t>(0, h.fileCount);
    const std::int64_t fileSlots = std::min(files, recordsHeld(left, sizeof(PackedFile)));
    m.recordsCutShort = chunkSlots < chunks || fileSlots < files ||
                        fileBytes < static_cast<std::int64_t>(sizeof(PackedHeader)) +
                                        chunks * static_cast<std::int64_t>(sizeof(PackedChunk)) +
                                        files * static_cast<std::int64_t>(sizeof(PackedFile));

    // Each kind of record is one read; bytes past the end stay zero.
    std::vector<PackedChunk> packedChunks(static_cast<std::size_t>(chunkSlots), PackedChunk{});
    if (Outcome o = take(packedChunks.data(), packedChunks.size() * sizeof(PackedChunk), &got); !o)
        return o;
    m.chunks.reserve(packedChunks.size());
    for (const PackedChunk& c : packedChunks)
        m.chunks.push_back({c.chunkIndex, fromField(c.fingerprint, sizeof c.fingerprint)});
    // Chunk records that ran past the end leave no room for a file record.
    // File records a block at a time: 100,000 of them take 28 MB as they are stored.
    if (chunkSlots == chunks) {
        m.files.reserve(static_cast<std::size_t>(fileSlots));
        std::vector<PackedFile> block;
        for (std::int64_t done = 0; done < fileSlots;) {
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(4096, fileSlots - done));
            block.assign(n, PackedFile{});
            if (Outcome o = take(block.data(), n * sizeof(PackedFile), &got); !o) return o;
            for (const PackedFile& f : block)
                m.files.push_back({fromField(f.relativeName, sizeof f.relativeName), f.recordNumber,
                                   f.chunkIndex, f.pieceOffset, f.pieceLength});
            done += static_cast<std::int64_t>(n);
        }
    }
    if (sha256 != nullptr) {
        // Whatever lies past the records is the file's too.
        char rest[4096];
        do {
            if (Outcome o = take(rest, sizeof rest, &got); !o) return o;
        } while (got == sizeof rest);
        *sha256 = hash.finishHex();
    }
    *out = std::move(m);
    return Outcome::success();
}

Outcome decodeManifest(const std::string& bytes, const std::string& path, Manifest* out) {
    *out = Manifest{};
    PackedHeader h{};
    if (bytes.size() < sizeof h)
        return Outcome::failure(Fault::Malformed, path, "the manifest is cut short", EINVAL);
    std::memcpy(&h, bytes.data(), sizeof h);
    if (h.formatA != kFormatA || h.formatB != kFormatB || h.chunkCount < 0 || h.fileCount < 0)
        return Outcome::failure(Fault::Malformed, path, "not a chunk-set manifest", EINVAL);
    const std::size_t need = sizeof h +
                             static_cast<std::size_t>(h.chunkCount) * sizeof(PackedChunk) +
                             static_cast<std::size_t>(h.fileCount) * sizeof(PackedFile);
    if (bytes.size() != need)
        return Outcome::failure(Fault::Malformed, path,
                                "the manifest does not hold the records it counts", EINVAL);
    Manifest m;
    m.chunkCount = h.chunkCount;
    m.fileCount = h.fileCount;
    m.totalSize = h.totalSize;
    m.passwordDigest = fromField(h.passwordDigest, sizeof h.passwordDigest);
    m.sourceName = fromField(h.sourceName, sizeof h.sourceName);
    const char* p = bytes.data() + sizeof h;
    for (std::int32_t i = 0; i < h.chunkCount; ++i, p += sizeof(PackedChunk)) {
        PackedChunk c;
        std::memcpy(&c, p, sizeof c);
        m.chunks.push_back({c.chunkIndex, fromField(c.fingerprint, sizeof c.fingerprint)});
    }
    for (std::int32_t i = 0; i < h.fileCount; ++i, p += sizeof(PackedFile)) {
        PackedFile f;
        std::memcpy(&f, p, sizeof f);
        m.files.push_back({fromField(f.relativeName, sizeof f.relativeName), f.recordNumber,
                           f.chunkIndex, f.pieceOffset, f.pieceLength});
    }
    *out = std::move(m);
    return Outcome::success();
}

}  // namespace morvane
