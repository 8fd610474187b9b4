#include "engine/recovery.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/manifest.h"
#include "engine/sha256.h"
#include "engine/tree.h"
#include "engine/verify.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

constexpr char kMagic[16] = {'M', 'O', 'R', 'V', 'A', 'N', 'E', '-',
                             'R', 'E', 'C', 'O', 'V', 'E', 'R', 'Y'};
constexpr std::int32_t kVersion = 1;
constexpr std::size_t kHashOffset = 448;
constexpr std::size_t kChecksumOffset = kRecoveryHeaderSize - 32;
// One 16-byte hash per data chunk must fit before the header's own checksum.
constexpr int kMaxGroupChunks = static_cast<int>((kChecksumOffset - kHashOffset) / 16);
// The manifest and tree file are coded as extra data shards of the first group while
// they take few shards; a set of tiny chunks and huge manifests leaves them uncoded.
constexpr int kMaxMetaShards = 16;
constexpr std::int64_t kStripeBudget = 64 << 20;  // all stripes of one group in memory

// Everything a recovery file says about the set, as its header holds it.
struct Header {
    std::int32_t dataShards = 0;  // k: the group's chunks, and the meta shards in group 0
    std::int32_t parity = 0;      // N
    std::int32_t stripe = 0;
    std::int32_t group = 0;
    std::int32_t groups = 0;
    std::int32_t index = 0;  // j, 0..N-1, within the group
    std::int32_t chunkCount = 0;
    std::int64_t chunkSize = 0;
    std::int64_t totalSize = 0;
    std::int32_t firstChunk = 0;
    std::int32_t groupChunks = 0;
    std::int32_t metaShards = 0;
    std::int64_t manifestSize = 0;
    std::int64_t treeSize = 0;
    std::string manifestSha;  // hex
    std::string treeSha;
    std::string paritySha;
    std::string stem;  // engine text
    std::vector<std::array<unsigned char, 16>> chunkHashes;
};

template <typename T>
void put(std::vector<unsigned char>& b, std::size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}
template <typename T>
T get(const std::vector<unsigned char>& b, std::size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

bool hexToBytes(const std::string& hex, unsigned char* out, std::size_t n) {
    if (hex.size() < 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        auto nib = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        const int hi = nib(hex[2 * i]);
        const int lo = nib(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

std::string bytesToHex(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::vector<unsigned char> encodeHeader(const Header& h) {
    std::vector<unsigned char> b(kRecoveryHeaderSize, 0);
    std::memcpy(b.data(), kMagic, sizeof kMagic);
    put(b, 16, kVersion);
    put(b, 20, h.dataShards);
    put(b, 24, h.parity);
    put(b, 28, h.stripe);
    put(b, 32, h.group);
    put(b, 36, h.groups);
    put(b, 40, h.index);
    put(b, 44, h.chunkCount);
    put(b, 48, h.chunkSize);
    put(b, 56, h.totalSize);
    put(b, 64, h.firstChunk);
    put(b, 68, h.groupChunks);
    put(b, 72, h.metaShards);
    put(b, 76, static_cast<std::int32_t>(h.stem.size()));
    put(b, 80, h.manifestSize);
    put(b, 88, h.treeSize);
    hexToBytes(h.manifestSha, b.data() + 96, 32);
    hexToBytes(h.treeSha, b.data() + 128, 32);
    hexToBytes(h.paritySha, b.data() + 160, 32);
    std::memcpy(b.data() + 192, h.stem.data(), std::min<std::size_t>(h.stem.size(), 255));
    for (std::size_t i = 0; i < h.chunkHashes.size(); ++i)
        std::memcpy(b.data() + kHashOffset + 16 * i, h.chunkHashes[i].data(), 16);
    Sha256 self;
    self.update(b.data(), kChecksumOffset);
    hexToBytes(self.finishHex(), b.data() + kChecksumOffset, 32);
    return b;
}

// The header goes in last, once the parity's checksum is known, over the room left for it.
Outcome finishRecoveryFile(plat::File& file, const Header& h) {
    const std::vector<unsigned char> header = encodeHeader(h);
    if (Outcome o = file.seek(0); !o) return o;
    if (Outcome o = file.write(header.data(), header.size()); !o) return o;
    return file.close();
}

// A header that is not whole, or whose numbers do not hold together, is no header.
bool decodeHeader(const std::vector<unsigned char>& b, Header* h) {
    if (b.size() != kRecoveryHeaderSize || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0 ||
        get<std::int32_t>(b, 16) != kVersion)
        return false;
    Sha256 self;
    self.update(b.data(), kChecksumOffset);
    if (self.finishHex() != bytesToHex(b.data() + kChecksumOffset, 32)) return false;
    h->dataShards = get<std::int32_t>(b, 20);
    h->parity = get<std::int32_t>(b, 24);
    h->stripe = get<std::int32_t>(b, 28);
    h->group = get<std::int32_t>(b, 32);
    h->groups = get<std::int32_t>(b, 36);
    h->index = get<std::int32_t>(b, 40);
    h->chunkCount = get<std::int32_t>(b, 44);
    h->chunkSize = get<std::int64_t>(b, 48);
    h->totalSize = get<std::int64_t>(b, 56);
    h->firstChunk = get<std::int32_t>(b, 64);
    h->groupChunks = get<std::int32_t>(b, 68);
    h->metaShards = get<std::int32_t>(b, 72);
    const auto stemLength = get<std::int32_t>(b, 76);
    h->manifestSize = get<std::int64_t>(b, 80);
    h->treeSize = get<std::int64_t>(b, 88);
    h->manifestSha = bytesToHex(b.data() + 96, 32);
    h->treeSha = bytesToHex(b.data() + 128, 32);
    h->paritySha = bytesToHex(b.data() + 160, 32);
    if (h->parity < 1 || h->parity > kMaxRecovery || h->groupChunks < 1 ||
        h->groupChunks > kMaxGroupChunks || h->metaShards < 0 || h->metaShards > kMaxMetaShards ||
        h->dataShards != h->groupChunks + h->metaShards || h->dataShards + h->parity > 256 ||
        h->index < 0 || h->index >= h->parity || h->group < 0 || h->group >= h->groups ||
        h->chunkSize < 1 || h->chunkCount < 1 || h->firstChunk < 0 ||
        h->firstChunk + h->groupChunks > h->chunkCount || h->stripe < 64 || h->totalSize < 0 ||
        stemLength < 0 || stemLength > 255 || h->manifestSize < 0 || h->treeSize < 0)
        return false;
    h->stem.assign(reinterpret_cast<const char*>(b.data() + 192),
                   static_cast<std::size_t>(stemLength));
    h->chunkHashes.resize(static_cast<std::size_t>(h->groupChunks));
    for (std::size_t i = 0; i < h->chunkHashes.size(); ++i)
        std::memcpy(h->chunkHashes[i].data(), b.data() + kHashOffset + 16 * i, 16);
    return true;
}

// The chunks of the set cut into groups of at most what one header and GF(2^8) allow.
struct Layout {
    int groups = 0;
    int perGroup = 0;
    int metaShards = 0;
    std::int32_t firstOf(int g) const { return g * perGroup; }
    std::int32_t countOf(int g, std::int32_t chunkCount) const {
        return std::min<std::int32_t>(perGroup, chunkCount - firstOf(g));
    }
};

Layout layoutFor(std::int32_t chunkCount, int parity, int metaShards) {
    Layout l;
    l.metaShards = metaShards;
    const int most = std::min(kMaxGroupChunks, 256 - parity - metaShards);
    l.groups = static_cast<int>((chunkCount + most - 1) / most);
    l.perGroup = static_cast<int>((chunkCount + l.groups - 1) / l.groups);
    return l;
}

std::int32_t stripeFor(std::int64_t chunkSize, int shards) {
    std::int64_t stripe = std::min<std::int64_t>(1 << 20, kStripeBudget / shards);
    stripe = std::min(stripe, ((chunkSize + 63) / 64) * 64);
    return static_cast<std::int32_t>(std::max<std::int64_t>(64, stripe / 64 * 64));
}

// A data shard: a chunk file, or the manifest and tree bytes held in memory.
struct Shard {
    std::string path;  // empty for a memory shard
    const std::vector<char>* memory = nullptr;
    std::int64_t offset = 0;  // where this shard starts in memory
    plat::File file;
};

// Reads length bytes of a shard at offset; what lies past its end reads as zero.
Outcome readStripe(Shard& s, std::int64_t offset, std::size_t length, unsigned char* into,
                   std::int64_t* real) {
    std::memset(into, 0, length);
    *real = 0;
    if (s.memory != nullptr) {
        const std::int64_t start = s.offset + offset;
        const auto size = static_cast<std::int64_t>(s.memory->size());
        if (start < size) {
            *real = std::min<std::int64_t>(static_cast<std::int64_t>(length), size - start);
            std::memcpy(into, s.memory->data() + start, static_cast<std::size_t>(*real));
        }
        return Outcome::success();
    }
    if (!s.file.isOpen())
        if (Outcome o = s.file.open(s.path.c_str(), plat::File::Mode::Read); !o) return o;
    if (Outcome o = s.file.seek(offset); !o) return o;
    std::size_t have = 0;
    while (have < length) {
        std::size_t got = 0;
        if (Outcome o = s.file.read(into + have, length - have, &got); !o) return o;
        if (got == 0) break;
        have += got;
    }
    *real = static_cast<std::int64_t>(have);
    return Outcome::success();
}

Outcome readWhole(const std::string& path, std::vector<char>* bytes) {
    std::string text;
    // The manifest and tree file of a set: a few records per chunk and file.
    if (Outcome o = plat::readWholeFile(path.c_str(), std::int64_t{1} << 30, &text); !o) return o;
    bytes->assign(text.begin(), text.end());
    return Outcome::success();
}

Outcome writeWhole(const std::string& path, const void* bytes, std::size_t size) {
    plat::File f;
    if (Outcome o = f.open(path.c_str(), plat::File::Mode::CreateNew); !o) return o;
    if (Outcome o = f.write(bytes, size); !o) return o;
    return f.close();
}

struct FreeBytes {
    void operator()(unsigned char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<unsigned char, FreeBytes>;

Buffer allocate(std::size_t n) {
    return Buffer(static_cast<unsigned char*>(std::aligned_alloc(64, (n + 63) / 64 * 64)));
}

// The coding matrix of a group: k identity rows, then N Cauchy rows, which stay
// invertible for every choice of k rows where the Vandermonde form does not.
std::vector<unsigned char> matrixFor(int k, int parity) {
    std::vector<unsigned char> a(static_cast<std::size_t>((k + parity) * k));
    gf_gen_cauchy1_matrix(a.data(), k + parity, k);
    return a;
}

std::string chunkName(const std::string& stem, std::int64_t i) {
    return stem + "_" + std::to_string(i) + ".spt";
}

std::string recName(const std::string& stem, int number) {
    return stem + "_" + std::to_string(number) + ".rec";
}

}  // namespace

std::string recoveryPathOf(const std::string& folder, const std::string& stem, int number) {
    return folder + "/" + recName(stem, number);
}

const char* fileStateName(FileState state) {
    switch (state) {
        case FileState::Ok:
            return "ok";
        case FileState::Missing:
            return "missing";
        case FileState::Damaged:
            return "damaged";
    }
    return "?";
}

int recoveryPerGroup(std::int32_t chunkCount, std::int64_t chunkSize, std::int64_t metaBytes,
                     int recoveryFiles) {
    if (chunkCount < 1 || chunkSize < 1) return 0;
    std::int64_t metaShards = (metaBytes + chunkSize - 1) / chunkSize;
    if (metaShards > kMaxMetaShards) metaShards = 0;
    for (int n = 1; n <= kMaxRecovery; ++n)
        if (n * layoutFor(chunkCount, n, static_cast<int>(metaShards)).groups == recoveryFiles)
            return n;
    return 0;
}

Outcome writeRecovery(const RecoverySource& src, JobControl& control,
                      std::vector<ChecksumLine>* lines, std::vector<std::string>* written) {
    if (src.parity < 1 || src.chunkCount < 1) return Outcome::success();
    if (src.parity > kMaxRecovery)
        return Outcome::failure(src.folder, "at most 32 recovery chunks", EINVAL);
    // A shard is as long as the longest chunk: a set of one chunk smaller than the chunk
    // size asked for needs no more parity than its bytes.
    const std::int64_t shardSize =
        src.chunkCount == 1 ? std::max<std::int64_t>(1, src.totalSize) : src.chunkSize;

    // The manifest and tree file as the first group's extra shards.
    std::vector<char> meta;
    std::vector<char> manifestBytes;
    std::vector<char> treeBytes;
    if (Outcome o = readWhole(manifestPathOf(src.folder), &manifestBytes); !o) return o;
    if (Outcome o = readWhole(src.folder + "/" + kTreeName, &treeBytes);
        !o && !o.is(Fault::NotFound))
        return o;
    meta = manifestBytes;
    meta.insert(meta.end(), treeBytes.begin(), treeBytes.end());
    std::int64_t metaShards = (static_cast<std::int64_t>(meta.size()) + shardSize - 1) / shardSize;
    if (metaShards > kMaxMetaShards) metaShards = 0;
    const Layout layout = layoutFor(src.chunkCount, src.parity, static_cast<int>(metaShards));

    Header base;
    base.parity = src.parity;
    base.groups = layout.groups;
    base.chunkCount = src.chunkCount;
    base.chunkSize = shardSize;
    base.totalSize = src.totalSize;
    base.stem = src.stem;
    base.manifestSize = static_cast<std::int64_t>(manifestBytes.size());
    base.treeSize = static_cast<std::int64_t>(treeBytes.size());
    base.manifestSha = sha256Hex(manifestBytes.data(), manifestBytes.size());
    base.treeSha = sha256Hex(treeBytes.data(), treeBytes.size());

    for (int g = 0; g < layout.groups; ++g) {
        const std::int32_t first = layout.firstOf(g);
        const std::int32_t count = layout.countOf(g, src.chunkCount);
        const int metaHere = g == 0 ? layout.metaShards : 0;
        const int k = count + metaHere;
        const int n = src.parity;
        Header h = base;
        h.group = g;
        h.firstChunk = first;
        h.groupChunks = count;
        h.metaShards = metaHere;
        h.dataShards = k;
        h.stripe = stripeFor(shardSize, k + n);
        for (std::int32_t i = first; i < first + count; ++i) {
            std::array<unsigned char, 16> hash{};
            hexToBytes(src.chunkDigests[static_cast<std::size_t>(i)], hash.data(), 16);
            h.chunkHashes.push_back(hash);
        }

        std::vector<Shard> shards(static_cast<std::size_t>(k));
        for (std::int32_t i = 0; i < count; ++i)
            shards[static_cast<std::size_t>(i)].path =
                src.folder + "/" + chunkName(src.stem, first + i);
        for (int m = 0; m < metaHere; ++m) {
            shards[static_cast<std::size_t>(count + m)].memory = &meta;
            shards[static_cast<std::size_t>(count + m)].offset = m * shardSize;
        }
        std::vector<plat::File> outs(static_cast<std::size_t>(n));
        std::vector<std::unique_ptr<Sha256>> hashes;
        const std::string& into = src.outFolder.empty() ? src.folder : src.outFolder;
        for (int j = 0; j < n; ++j) {
            const std::string path = recoveryPathOf(into, src.stem, g * n + j);
            if (Outcome o = outs[static_cast<std::size_t>(j)].open(path.c_str(),
                                                                   plat::File::Mode::CreateNew);
                !o)
                return o;
            written->push_back(path);
            // The header goes in last, once the parity's checksum is known.
            if (Outcome o = outs[static_cast<std::size_t>(j)].seek(kRecoveryHeaderSize); !o)
                return o;
            hashes.push_back(std::make_unique<Sha256>());
        }

        const std::vector<unsigned char> a = matrixFor(k, n);
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * n));
        ec_init_tables(k, n, const_cast<unsigned char*>(a.data()) + k * k, tables.data());
        const auto stripe = static_cast<std::size_t>(h.stripe);
        Buffer data = allocate(stripe * static_cast<std::size_t>(k));
        Buffer parity = allocate(stripe * static_cast<std::size_t>(n));
        if (!data || !parity) return Outcome::systemFailure(src.folder, ENOMEM);
        std::vector<unsigned char*> in(static_cast<std::size_t>(k));
        std::vector<unsigned char*> out(static_cast<std::size_t>(n));
        for (int i = 0; i < k; ++i) in[static_cast<std::size_t>(i)] = data.get() + i * stripe;
        for (int j = 0; j < n; ++j) out[static_cast<std::size_t>(j)] = parity.get() + j * stripe;

        for (std::int64_t at = 0; at < shardSize; at += h.stripe) {
            if (control.cancelRequested()) return Outcome::cancel();
            const std::size_t length =
                static_cast<std::size_t>(std::min<std::int64_t>(h.stripe, shardSize - at));
            for (int i = 0; i < k; ++i) {
                std::int64_t real = 0;
                if (Outcome o = readStripe(shards[static_cast<std::size_t>(i)], at, length,
                                           in[static_cast<std::size_t>(i)], &real);
                    !o)
                    return o;
                if (i < count) control.advance(real);
            }
            ec_encode_data(static_cast<int>(length), k, n, tables.data(), in.data(), out.data());
            for (int j = 0; j < n; ++j) {
                hashes[static_cast<std::size_t>(j)]->update(out[static_cast<std::size_t>(j)],
                                                            length);
                if (Outcome o = outs[static_cast<std::size_t>(j)].write(
                        out[static_cast<std::size_t>(j)], length);
                    !o)
                    return o;
            }
        }
        for (int j = 0; j < n; ++j) {
            h.index = j;
            h.paritySha = hashes[static_cast<std::size_t>(j)]->finishHex();
            if (Outcome o = finishRecoveryFile(outs[static_cast<std::size_t>(j)], h); !o) return o;
            std::string whole;
            if (Outcome o = hashFile(recoveryPathOf(into, src.stem, g * n + j), nullptr, &whole);
                !o)
                return o;
            lines->push_back({whole, recName(src.stem, g * n + j)});
        }
    }
    return Outcome::success();
}

namespace {

// The recovery headers found in a folder, by their file number.
struct Found {
    std::map<int, Header> headers;
    std::map<int, bool> parityIntact;
    Header any;
};

Outcome findRecovery(const std::string& folder, JobControl& control, Found* found) {
    std::vector<plat::DirEntry> names;
    if (Outcome o = plat::listDirectory(folder.c_str(), &names); !o) return o;
    for (const plat::DirEntry& d : names) {
        const std::string& n = d.name;
        if (d.kind != plat::Kind::File || n.size() < 6 || n.compare(n.size() - 4, 4, ".rec") != 0)
            continue;
        const std::string path = folder + "/" + n;
        plat::File f;
        if (!f.open(path.c_str(), plat::File::Mode::Read)) continue;
        std::vector<unsigned char> bytes(kRecoveryHeaderSize);
        std::size_t have = 0;
        while (have < bytes.size()) {
            std::size_t got = 0;
            if (!f.read(bytes.data() + have, bytes.size() - have, &got) || got == 0) break;
            have += got;
        }
        Header h;
        if (have != bytes.size() || !decodeHeader(bytes, &h)) continue;
        const int number = h.group * h.parity + h.index;
        if (n != recName(h.stem, number)) continue;
        // Headers of one set agree on everything the set is.
        if (!found->headers.empty() &&
            (h.parity != found->any.parity || h.chunkCount != found->any.chunkCount ||
             h.chunkSize != found->any.chunkSize || h.stem != found->any.stem ||
             h.groups != found->any.groups || h.totalSize != found->any.totalSize))
            continue;
        // The parity itself must be whole, or it would rebuild wrong bytes.
        Sha256 parity;
        std::int64_t length = 0;
        for (std::vector<char> block(1 << 20);;) {
            if (control.cancelRequested()) return Outcome::cancel();
            std::size_t got = 0;
            if (!f.read(block.data(), block.size(), &got) || got == 0) break;
            parity.update(block.data(), got);
            length += static_cast<std::int64_t>(got);
            control.advance(static_cast<std::int64_t>(got));
        }
        if (found->headers.empty()) found->any = h;
        found->headers[number] = h;
        found->parityIntact[number] = length == h.chunkSize && parity.finishHex() == h.paritySha;
    }
    return Outcome::success();
}

}  // namespace

Outcome assessRecovery(const std::string& folder, const std::map<std::string, std::string>* list,
                       JobControl& control, RecoveryAssessment* out) {
    *out = RecoveryAssessment{};
    Found found;
    if (Outcome o = findRecovery(folder, control, &found); !o) return o;
    if (found.headers.empty()) return Outcome::success();
    const Header& any = found.any;
    RecoveryAssessment& a = *out;
    a.present = true;
    a.stem = any.stem;
    a.parity = any.parity;
    a.groups = any.groups;
    a.chunkCount = any.chunkCount;
    a.chunkSize = any.chunkSize;
    a.totalSize = any.totalSize;

    // Per group what its headers say; any header of the group will do.
    std::map<int, Header> groupHeader;
    for (const auto& [number, h] : found.headers) groupHeader.emplace(h.group, h);

    const std::int64_t lastSize = any.totalSize - (any.chunkCount - 1) * any.chunkSize;
    a.chunks.assign(static_cast<std::size_t>(any.chunkCount), FileState::Missing);
    for (std::int32_t i = 0; i < any.chunkCount; ++i) {
        if (control.cancelRequested()) return Outcome::cancel();
        const std::string name = chunkName(any.stem, i);
        std::string hex;
        std::int64_t size = -1;
        if (!hashFile(folder + "/" + name, &control, &hex, &size)) continue;
        const std::int64_t want = i == any.chunkCount - 1 ? lastSize : any.chunkSize;
        bool good = size == want;
        const auto listed = list != nullptr ? list->find(name) : decltype(list->end()){};
        if (list != nullptr && listed != list->end()) {
            good = good && hex == listed->second;
        } else {
            // No list to go by: the recovery header's hash of the chunk decides.
            bool known = false;
            for (const auto& [g, h] : groupHeader)
                if (i >= h.firstChunk && i < h.firstChunk + h.groupChunks) {
                    known = true;
                    good =
                        good &&
                        bytesToHex(h.chunkHashes[static_cast<std::size_t>(i - h.firstChunk)].data(),
                                   16) == hex.substr(0, 32);
                }
            good = good && known;
        }
        a.chunks[static_cast<std::size_t>(i)] = good ? FileState::Ok : FileState::Damaged;
    }
    auto judge = [&](const std::string& path, std::int64_t size, const std::string& sha) {
        std::string hex;
        std::int64_t got = -1;
        if (!hashFile(path, nullptr, &hex, &got)) return FileState::Missing;
        return got == size && hex == sha ? FileState::Ok : FileState::Damaged;
    };
    a.manifest = judge(manifestPathOf(folder), any.manifestSize, any.manifestSha);
    a.tree = any.treeSize == 0 && !plat::pathExists((folder + "/" + kTreeName).c_str())
                 ? FileState::Ok
                 : judge(folder + "/" + kTreeName, any.treeSize, any.treeSha);
    const auto g0 = groupHeader.find(0);
    a.metaCovered = g0 != groupHeader.end() && g0->second.metaShards > 0;

    int totalMissing = 0;
    bool repairable = true;
    for (int g = 0; g < any.groups; ++g) {
        int lost = 0;
        int spare = 0;
        const auto h = groupHeader.find(g);
        for (int j = 0; j < any.parity; ++j) {
            const int number = g * any.parity + j;
            const auto f = found.headers.find(number);
            FileState state = FileState::Missing;
            if (f != found.headers.end())
                state = found.parityIntact[number] ? FileState::Ok : FileState::Damaged;
            else if (plat::pathExists(recoveryPathOf(folder, any.stem, number).c_str()))
                state = FileState::Damaged;
            a.recoveryFiles.push_back({recName(any.stem, number), state});
            if (state == FileState::Ok)
                ++spare;
            else
                a.lost.push_back(recName(any.stem, number));
        }
        // A group none of whose headers survived lies where the others say it does.
        const std::int32_t perGroup =
            any.group == 0 ? any.groupChunks : any.firstChunk / std::max(1, any.group);
        const std::int32_t first = h != groupHeader.end() ? h->second.firstChunk : g * perGroup;
        const std::int32_t count = h != groupHeader.end()
                                       ? h->second.groupChunks
                                       : std::max(0, std::min(perGroup, any.chunkCount - first));
        for (std::int32_t i = first; i < first + count; ++i)
            if (a.chunks[static_cast<std::size_t>(i)] != FileState::Ok) {
                ++lost;
                a.lost.push_back(chunkName(any.stem, i));
            }
        if (g == 0) {
            const bool metaLost = a.manifest != FileState::Ok || a.tree != FileState::Ok;
            if (a.manifest != FileState::Ok) a.lost.push_back(kManifestName);
            if (a.tree != FileState::Ok) a.lost.push_back(kTreeName);
            // The manifest and tree file share the first group's meta shards: losing
            // either costs all of them.
            if (metaLost && !a.metaCovered) repairable = false;
            if (metaLost && a.metaCovered) lost += h->second.metaShards;
        }
        if (lost > spare) {
            repairable = false;
            totalMissing += lost - spare;
        }
    }
    a.repairable = repairable;
    a.moreNeeded = totalMissing;
    return Outcome::success();
}

Outcome rebuildLost(const std::string& folder, const RecoveryAssessment& a,
                    const std::string& outFolder, JobControl& control,
                    std::vector<std::string>* rebuilt) {
    rebuilt->clear();
    if (!a.present || !a.repairable)
        return Outcome::failure(Fault::Unrepairable, folder, "cannot be repaired", EIO);
    Found found;
    JobControl quiet;
    if (Outcome o = findRecovery(folder, quiet, &found); !o) return o;
    const std::int64_t lastSize = a.totalSize - (a.chunkCount - 1) * a.chunkSize;
    std::vector<char> meta;  // the manifest and tree bytes, whole or rebuilt

    for (int g = 0; g < a.groups; ++g) {
        // Any intact recovery file of the group gives its layout.
        const Header* h = nullptr;
        std::vector<int> spare;
        for (int j = 0; j < a.parity; ++j) {
            const int number = g * a.parity + j;
            const auto f = found.headers.find(number);
            if (f == found.headers.end()) continue;
            // A sound header tells the layout even when the parity after it was hit.
            h = &f->second;
            if (found.parityIntact[number]) spare.push_back(j);
        }
        std::vector<int> lostRecs;
        for (int j = 0; j < a.parity; ++j)
            if (std::find(spare.begin(), spare.end(), j) == spare.end()) lostRecs.push_back(j);
        if (h == nullptr) continue;  // nothing lost here then, or the set is not repairable
        const int k = h->dataShards;
        const int n = h->parity;
        const std::int32_t first = h->firstChunk;
        const std::int32_t count = h->groupChunks;
        const bool metaLost =
            g == 0 && h->metaShards > 0 && (a.manifest != FileState::Ok || a.tree != FileState::Ok);
        if (g == 0 && h->metaShards > 0 && !metaLost) {
            std::vector<char> treeBytes;
            if (Outcome o = readWhole(manifestPathOf(folder), &meta); !o) return o;
            if (h->treeSize > 0)
                if (Outcome o = readWhole(folder + "/" + kTreeName, &treeBytes); !o) return o;
            meta.insert(meta.end(), treeBytes.begin(), treeBytes.end());
        }
        std::vector<int> lostShards;
        for (std::int32_t i = 0; i < count; ++i)
            if (a.chunks[static_cast<std::size_t>(first + i)] != FileState::Ok)
                lostShards.push_back(i);
        if (metaLost)
            for (int m = 0; m < h->metaShards; ++m) lostShards.push_back(count + m);
        if (lostShards.empty() && lostRecs.empty()) continue;
        if (static_cast<int>(lostShards.size()) > static_cast<int>(spare.size()))
            return Outcome::failure(Fault::Unrepairable, folder,
                                    "cannot be repaired: too many files are lost", EIO);

        const std::vector<unsigned char> a0 = matrixFor(k, n);
        const auto stripe = static_cast<std::size_t>(h->stripe);
        Buffer in = allocate(stripe * static_cast<std::size_t>(k));
        Buffer outBuf = allocate(stripe * static_cast<std::size_t>(std::max<std::size_t>(
                                              1, std::max(lostShards.size(), lostRecs.size()))));
        if (!in || !outBuf) return Outcome::systemFailure(folder, ENOMEM);

        // Rebuilt data shards go to files (chunks) or memory (the meta shards).
        std::vector<char> metaRebuilt(
            metaLost ? static_cast<std::size_t>(h->metaShards * a.chunkSize) : 0);
        if (!lostShards.empty()) {
            // The k rows that survive: intact data shards, then as many parity rows as needed.
            std::vector<int> rows;
            for (int i = 0; i < k; ++i)
                if (std::find(lostShards.begin(), lostShards.end(), i) == lostShards.end())
                    rows.push_back(i);
            for (std::size_t s = 0; rows.size() < static_cast<std::size_t>(k); ++s)
                rows.push_back(k + spare[s]);
            std::vector<unsigned char> b(static_cast<std::size_t>(k * k));
            std::vector<unsigned char> inverse(static_cast<std::size_t>(k * k));
            for (int r = 0; r < k; ++r)
                std::memcpy(b.data() + r * k, a0.data() + rows[static_cast<std::size_t>(r)] * k,
                            static_cast<std::size_t>(k));
            if (gf_invert_matrix(b.data(), inverse.data(), k) != 0)
                return Outcome::failure(Fault::Unrepairable, folder,
                                        "the recovery code cannot be inverted", EIO);
            const int lostCount = static_cast<int>(lostShards.size());
            std::vector<unsigned char> decode(static_cast<std::size_t>(lostCount * k));
            for (int l = 0; l < lostCount; ++l)
                std::memcpy(decode.data() + l * k,
                            inverse.data() + lostShards[static_cast<std::size_t>(l)] * k,
                            static_cast<std::size_t>(k));
            std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * lostCount));
            ec_init_tables(k, lostCount, decode.data(), tables.data());

            std::vector<Shard> sources(static_cast<std::size_t>(k));
            for (int r = 0; r < k; ++r) {
                const int row = rows[static_cast<std::size_t>(r)];
                Shard& s = sources[static_cast<std::size_t>(r)];
                if (row < count)
                    s.path = folder + "/" + chunkName(a.stem, first + row);
                else if (row < k) {
                    s.memory = &meta;
                    s.offset = (row - count) * a.chunkSize;
                } else {
                    s.path = recoveryPathOf(folder, a.stem, g * n + (row - k));
                }
            }
            std::vector<plat::File> outs(static_cast<std::size_t>(lostCount));
            std::vector<std::string> outPaths(static_cast<std::size_t>(lostCount));
            for (int l = 0; l < lostCount; ++l) {
                const int shard = lostShards[static_cast<std::size_t>(l)];
                if (shard >= count) continue;
                outPaths[static_cast<std::size_t>(l)] =
                    outFolder + "/" + chunkName(a.stem, first + shard);
                if (Outcome o = outs[static_cast<std::size_t>(l)].open(
                        outPaths[static_cast<std::size_t>(l)].c_str(), plat::File::Mode::CreateNew);
                    !o)
                    return o;
            }
            std::vector<unsigned char*> inPtr(static_cast<std::size_t>(k));
            std::vector<unsigned char*> outPtr(static_cast<std::size_t>(lostCount));
            for (int r = 0; r < k; ++r) inPtr[static_cast<std::size_t>(r)] = in.get() + r * stripe;
            for (int l = 0; l < lostCount; ++l)
                outPtr[static_cast<std::size_t>(l)] = outBuf.get() + l * stripe;
            for (std::int64_t at = 0; at < a.chunkSize; at += h->stripe) {
                if (control.cancelRequested()) return Outcome::cancel();
                const auto length =
                    static_cast<std::size_t>(std::min<std::int64_t>(h->stripe, a.chunkSize - at));
                for (int r = 0; r < k; ++r) {
                    const int row = rows[static_cast<std::size_t>(r)];
                    std::int64_t real = 0;
                    // Parity lies after its header.
                    const std::int64_t offset =
                        row >= k ? at + static_cast<std::int64_t>(kRecoveryHeaderSize) : at;
                    if (Outcome o = readStripe(sources[static_cast<std::size_t>(r)], offset, length,
                                               inPtr[static_cast<std::size_t>(r)], &real);
                        !o)
                        return o;
                    control.advance(real);
                }
                ec_encode_data(static_cast<int>(length), k, lostCount, tables.data(), inPtr.data(),
                               outPtr.data());
                for (int l = 0; l < lostCount; ++l) {
                    const int shard = lostShards[static_cast<std::size_t>(l)];
                    if (shard >= count) {
                        const std::int64_t into = (shard - count) * a.chunkSize + at;
                        std::memcpy(metaRebuilt.data() + into, outPtr[static_cast<std::size_t>(l)],
                                    length);
                        continue;
                    }
                    const std::int64_t size =
                        first + shard == a.chunkCount - 1 ? lastSize : a.chunkSize;
                    if (at >= size) continue;
                    const auto keep = static_cast<std::size_t>(
                        std::min<std::int64_t>(static_cast<std::int64_t>(length), size - at));
                    if (Outcome o = outs[static_cast<std::size_t>(l)].write(
                            outPtr[static_cast<std::size_t>(l)], keep);
                        !o)
                        return o;
                }
            }
            // Every rebuilt chunk must be the chunk that was lost, byte for byte.
            for (int l = 0; l < lostCount; ++l) {
                const int shard = lostShards[static_cast<std::size_t>(l)];
                if (shard >= count) continue;
                if (Outcome o = outs[static_cast<std::size_t>(l)].close(); !o) return o;
                std::string hex;
                if (Outcome o = hashFile(outPaths[static_cast<std::size_t>(l)], nullptr, &hex); !o)
                    return o;
                if (bytesToHex(h->chunkHashes[static_cast<std::size_t>(shard)].data(), 16) !=
                    hex.substr(0, 32))
                    return checksumMismatch(outPaths[static_cast<std::size_t>(l)]);
                rebuilt->push_back(chunkName(a.stem, first + shard));
            }
            if (metaLost) {
                const auto m = static_cast<std::size_t>(h->manifestSize);
                const auto t = static_cast<std::size_t>(h->treeSize);
                if (sha256Hex(metaRebuilt.data(), m) != h->manifestSha ||
                    sha256Hex(metaRebuilt.data() + m, t) != h->treeSha)
                    return Outcome::failure(Fault::Damaged, folder,
                                            "the rebuilt manifest does not match", EIO);
                if (a.manifest != FileState::Ok) {
                    if (Outcome o = writeWhole(manifestPathOf(outFolder), metaRebuilt.data(), m);
                        !o)
                        return o;
                    rebuilt->push_back(kManifestName);
                }
                if (a.tree != FileState::Ok && t > 0) {
                    if (Outcome o =
                            writeWhole(outFolder + "/" + kTreeName, metaRebuilt.data() + m, t);
                        !o)
                        return o;
                    rebuilt->push_back(kTreeName);
                }
                meta.assign(metaRebuilt.begin(), metaRebuilt.begin() + static_cast<long>(m + t));
            }
        }
        if (lostRecs.empty()) continue;

        // Lost recovery files are coded again from the whole data.
        const int lostCount = static_cast<int>(lostRecs.size());
        std::vector<unsigned char> rowsOut(static_cast<std::size_t>(lostCount * k));
        for (int l = 0; l < lostCount; ++l)
            std::memcpy(rowsOut.data() + l * k,
                        a0.data() + (k + lostRecs[static_cast<std::size_t>(l)]) * k,
                        static_cast<std::size_t>(k));
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * lostCount));
        ec_init_tables(k, lostCount, rowsOut.data(), tables.data());
        std::vector<Shard> sources(static_cast<std::size_t>(k));
        for (int i = 0; i < k; ++i) {
            Shard& s = sources[static_cast<std::size_t>(i)];
            if (i < count) {
                const std::string name = chunkName(a.stem, first + i);
                const bool mended =
                    std::find(rebuilt->begin(), rebuilt->end(), name) != rebuilt->end();
                s.path = (mended ? outFolder : folder) + "/" + name;
            } else {
                s.memory = &meta;
                s.offset = (i - count) * a.chunkSize;
            }
        }
        std::vector<plat::File> outs(static_cast<std::size_t>(lostCount));
        std::vector<std::unique_ptr<Sha256>> hashes;
        for (int l = 0; l < lostCount; ++l) {
            const std::string path =
                recoveryPathOf(outFolder, a.stem, g * n + lostRecs[static_cast<std::size_t>(l)]);
            if (Outcome o = outs[static_cast<std::size_t>(l)].open(path.c_str(),
                                                                   plat::File::Mode::CreateNew);
                !o)
                return o;
            if (Outcome o = outs[static_cast<std::size_t>(l)].seek(kRecoveryHeaderSize); !o)
                return o;
            hashes.push_back(std::make_unique<Sha256>());
        }
        std::vector<unsigned char*> inPtr(static_cast<std::size_t>(k));
        std::vector<unsigned char*> outPtr(static_cast<std::size_t>(lostCount));
        for (int i = 0; i < k; ++i) inPtr[static_cast<std::size_t>(i)] = in.get() + i * stripe;
        for (int l = 0; l < lostCount; ++l)
            outPtr[static_cast<std::size_t>(l)] = outBuf.get() + l * stripe;
        for (std::int64_t at = 0; at < a.chunkSize; at += h->stripe) {
            if (control.cancelRequested()) return Outcome::cancel();
            const auto length =
                static_cast<std::size_t>(std::min<std::int64_t>(h->stripe, a.chunkSize - at));
            for (int i = 0; i < k; ++i) {
                std::int64_t real = 0;
                if (Outcome o = readStripe(sources[static_cast<std::size_t>(i)], at, length,
                                           inPtr[static_cast<std::size_t>(i)], &real);
                    !o)
                    return o;
            }
            ec_encode_data(static_cast<int>(length), k, lostCount, tables.data(), inPtr.data(),
                           outPtr.data());
            for (int l = 0; l < lostCount; ++l) {
                hashes[static_cast<std::size_t>(l)]->update(outPtr[static_cast<std::size_t>(l)],
                                                            length);
                if (Outcome o = outs[static_cast<std::size_t>(l)].write(
                        outPtr[static_cast<std::size_t>(l)], length);
                    !o)
                    return o;
            }
        }
        for (int l = 0; l < lostCount; ++l) {
            Header again = *h;
            again.index = lostRecs[static_cast<std::size_t>(l)];
            again.paritySha = hashes[static_cast<std::size_t>(l)]->finishHex();
            if (Outcome o = finishRecoveryFile(outs[static_cast<std::size_t>(l)], again); !o)
                return o;
            rebuilt->push_back(recName(a.stem, g * n + again.index));
        }
    }
    return Outcome::success();
}

}  // namespace morvane
