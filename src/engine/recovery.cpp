#include "engine/recovery.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/digest.h"
#include "engine/manifest.h"
#include "engine/set_names.h"
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

// Calls hash(i) for every i below count, each once, on every core: for files that are each
// hashed whole. hash returns false to stop the thread that runs it.
template <typename Hash>
void hashSideBySide(std::size_t count, Hash hash) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;)
            if (!hash(i)) return;
    };
    std::vector<std::thread> pool;
    const std::size_t threads =
        std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back([&] {
            work();
            endThreadHashing();
        });
    work();
    for (std::thread& t : pool) t.join();
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

// The chunks of the set cut into groups of at most what one header and GF(2^8) allow.
struct Layout {
    int groups = 0;
    int perGroup = 0;
    int metaShards = 0;
    std::int32_t firstOf(int g) const {
        return static_cast<std::int32_t>(std::int64_t{g} * perGroup);
    }
    std::int32_t countOf(int g, std::int32_t chunkCount) const {
        return static_cast<std::int32_t>(
            std::min<std::int64_t>(perGroup, std::int64_t{chunkCount} - firstOf(g)));
    }
};

Layout layoutFor(std::int32_t chunkCount, int parity, int metaShards) {
    Layout l;
    l.metaShards = metaShards;
    const std::int64_t most = std::min(kMaxGroupChunks, 256 - parity - metaShards);
    const std::int64_t count = chunkCount;
    l.groups = static_cast<int>((count + most - 1) / most);
    l.perGroup = l.groups > 0 ? static_cast<int>((count + l.groups - 1) / l.groups) : 0;
    return l;
}

}  // namespace

int recoveryFilesFor(std::int32_t chunkCount, int parity) {
    if (parity <= 0 || chunkCount <= 0) return 0;
    // The most meta shards leave the least room per group, so the most groups.
    return layoutFor(chunkCount, parity, kMaxMetaShards).groups * parity;
}

namespace {

std::int32_t stripeFor(std::int64_t chunkSize, int shards) {
    std::int64_t stripe = std::min<std::int64_t>(1 << 20, kStripeBudget / shards);
    stripe = std::min(stripe, ((chunkSize + 63) / 64) * 64);
    return static_cast<std::int32_t>(std::max<std::int64_t>(64, stripe / 64 * 64));
}

// The layout of the set a sound header belongs to.
Layout layoutOf(const Header& h) {
    for (int m = 0; m <= kMaxMetaShards; ++m) {
        if (h.group == 0 && m != h.metaShards) continue;
        const Layout l = layoutFor(h.chunkCount, h.parity, m);
        if (l.groups == h.groups && l.firstOf(h.group) == h.firstChunk &&
            l.countOf(h.group, h.chunkCount) == h.groupChunks)
            return l;
    }
    return {};
}

// The manifest and tree file are read whole, so a header may not claim more.
constexpr std::int64_t kMaxMetaBytes = std::int64_t{1} << 30;
// No set holds more bytes than a 64-bit offset reaches with room to add a chunk.
constexpr std::int64_t kMaxTotalSize = std::int64_t{1} << 62;

// Every count and size of a header against each other and the layout a split makes,
// in 64-bit arithmetic, so that nothing later can overflow or allocate past a stripe.
bool headerHoldsTogether(const Header& h, std::int32_t stemLength) {
    if (h.parity < 1 || h.parity > kMaxRecovery || h.groupChunks < 1 ||
        h.groupChunks > kMaxGroupChunks || h.metaShards < 0 || h.metaShards > kMaxMetaShards ||
        h.dataShards != h.groupChunks + h.metaShards || h.dataShards + h.parity > 256 ||
        h.index < 0 || h.index >= h.parity || h.groups < 1 || h.group < 0 || h.group >= h.groups ||
        h.chunkSize < 1 || h.chunkSize > kMaxTotalSize || h.chunkCount < 1 || h.firstChunk < 0 ||
        std::int64_t{h.firstChunk} + h.groupChunks > h.chunkCount || h.totalSize < 0 ||
        h.totalSize > kMaxTotalSize || stemLength < 1 || stemLength > 255 || h.manifestSize < 0 ||
        h.treeSize < 0 || h.manifestSize > kMaxMetaBytes || h.treeSize > kMaxMetaBytes ||
        std::int64_t{h.groups} * h.parity > INT32_MAX)
        return false;
    // The chunks hold the set's bytes: all but the last are whole.
    const std::int64_t before = std::int64_t{h.chunkCount - 1};
    if (before > kMaxTotalSize / h.chunkSize || h.totalSize <= before * h.chunkSize ||
        h.totalSize - before * h.chunkSize > h.chunkSize)
        if (!(h.chunkCount == 1 && h.totalSize == 0 && h.chunkSize == 1)) return false;
    // The meta shards hold the manifest and tree bytes, and only group 0 has them.
    const std::int64_t meta = h.manifestSize + h.treeSize;
    if (h.metaShards > 0 &&
        (h.group != 0 || (meta + h.chunkSize - 1) / h.chunkSize != h.metaShards))
        return false;
    if (h.stripe != stripeFor(h.chunkSize, h.dataShards + h.parity)) return false;
    // The groups are those a split of this many chunks makes, for some count of meta shards.
    return layoutOf(h).groups > 0;
}

enum class HeaderRead { Sound, NotAHeader, Malformed };

// A header that is not whole is no header; one whose checksum holds but whose numbers do
// not hold together was made to mislead, and is said so.
HeaderRead decodeHeader(const std::vector<unsigned char>& b, Header* h) {
    if (b.size() != kRecoveryHeaderSize || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0 ||
        get<std::int32_t>(b, 16) != kVersion)
        return HeaderRead::NotAHeader;
    Sha256 self;
    self.update(b.data(), kChecksumOffset);
    if (self.finishHex() != bytesToHex(b.data() + kChecksumOffset, 32))
        return HeaderRead::NotAHeader;
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
    if (!headerHoldsTogether(*h, stemLength)) return HeaderRead::Malformed;
    h->stem.assign(reinterpret_cast<const char*>(b.data() + 192),
                   static_cast<std::size_t>(stemLength));
    h->chunkHashes.resize(static_cast<std::size_t>(h->groupChunks));
    for (std::size_t i = 0; i < h->chunkHashes.size(); ++i)
        std::memcpy(h->chunkHashes[i].data(), b.data() + kHashOffset + 16 * i, 16);
    return HeaderRead::Sound;
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
    *real = 0;
    if (s.memory != nullptr) {
        const std::int64_t start = s.offset + offset;
        const auto size = static_cast<std::int64_t>(s.memory->size());
        if (start < size) {
            *real = std::min<std::int64_t>(static_cast<std::int64_t>(length), size - start);
            std::memcpy(into, s.memory->data() + start, static_cast<std::size_t>(*real));
        }
        std::memset(into + *real, 0, length - static_cast<std::size_t>(*real));
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
    std::memset(into + have, 0, length - have);
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
    void operator()(unsigned char* p) const { plat::alignedFree(p); }
};
using Buffer = std::unique_ptr<unsigned char, FreeBytes>;

Buffer allocate(std::size_t n) {
    return Buffer(static_cast<unsigned char*>(plat::alignedAlloc(64, n)));
}

// Where the CPU has AVX-512, ISA-L picks its AVX-512 kernels, which left the thread that
// ran them slower for the rest of its life: a join after a rebuild copied a quarter slower.
// Its AVX2 kernels give the same bytes as fast, and leave nothing behind.
void encode(int length, int k, int rows, unsigned char* tables, unsigned char** in,
            unsigned char** out) {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return ec_encode_data_avx2(length, k, rows, tables, in, out);
#endif
    ec_encode_data(length, k, rows, tables, in, out);
}

void encodeUpdate(int length, int k, int rows, int shard, unsigned char* tables, unsigned char* in,
                  unsigned char** out) {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return ec_encode_data_update_avx2(length, k, rows, shard, tables, in, out);
#endif
    ec_encode_data_update(length, k, rows, shard, tables, in, out);
}

// The coding matrix of a group: k identity rows, then N Cauchy rows, which stay
// invertible for every choice of k rows where the Vandermonde form does not.
std::vector<unsigned char> matrixFor(int k, int parity) {
    std::vector<unsigned char> a(static_cast<std::size_t>((k + parity) * k));
    gf_gen_cauchy1_matrix(a.data(), k + parity, k);
    return a;
}

// One group's recovery files: its chunks, and in the first group the manifest and tree
// bytes, coded into h.parity files, each listed with its hash once it is whole.
// prefix: the parity of the first prefixLength bytes of every shard, already coded.
Outcome writeGroup(const SetNames& source, const SetNames& target, Header h,
                   const std::vector<char>& meta, JobControl& control,
                   std::vector<ChecksumLine>* lines, std::vector<std::string>* written,
                   unsigned char* const* prefix = nullptr, std::int64_t prefixLength = 0) {
    const int g = h.group;
    const std::int32_t first = h.firstChunk;
    const std::int32_t count = h.groupChunks;
    const int metaHere = h.metaShards;
    const int k = h.dataShards;
    const int n = h.parity;
    const std::int64_t shardSize = h.chunkSize;
    std::vector<Shard> shards(static_cast<std::size_t>(k));
    for (std::int32_t i = 0; i < count; ++i)
        shards[static_cast<std::size_t>(i)].path = source.chunkPath(first + i);
    for (int m = 0; m < metaHere; ++m) {
        shards[static_cast<std::size_t>(count + m)].memory = &meta;
        shards[static_cast<std::size_t>(count + m)].offset = m * shardSize;
    }
    std::vector<plat::File> outs(static_cast<std::size_t>(n));
    std::vector<std::unique_ptr<Sha256>> hashes;
    for (int j = 0; j < n; ++j) {
        const std::string path = target.recoveryPath(g * n + j);
        if (Outcome o =
                outs[static_cast<std::size_t>(j)].open(path.c_str(), plat::File::Mode::CreateNew);
            !o)
            return o;
        written->push_back(path);
        // The header goes in last, once the parity's checksum is known.
        if (Outcome o = outs[static_cast<std::size_t>(j)].seek(kRecoveryHeaderSize); !o) return o;
        hashes.push_back(std::make_unique<Sha256>());
    }

    const std::vector<unsigned char> a = matrixFor(k, n);
    std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * n));
    ec_init_tables(k, n, const_cast<unsigned char*>(a.data()) + k * k, tables.data());
    const auto stripe = static_cast<std::size_t>(h.stripe);
    Buffer data = allocate(stripe * static_cast<std::size_t>(k));
    Buffer parity = allocate(stripe * static_cast<std::size_t>(n));
    if (!data || !parity) return Outcome::systemFailure(source.folder(), ENOMEM);
    std::vector<unsigned char*> in(static_cast<std::size_t>(k));
    std::vector<unsigned char*> out(static_cast<std::size_t>(n));
    for (int i = 0; i < k; ++i) in[static_cast<std::size_t>(i)] = data.get() + i * stripe;
    for (int j = 0; j < n; ++j) out[static_cast<std::size_t>(j)] = parity.get() + j * stripe;

    // Each file's disk write is started as its parity is written, so that the flush before
    // the set's rename finds little left.
    std::int64_t filled = kRecoveryHeaderSize;
    const auto put = [&](int j, const unsigned char* bytes, std::size_t length) {
        hashes[static_cast<std::size_t>(j)]->update(bytes, length);
        plat::File& file = outs[static_cast<std::size_t>(j)];
        Outcome o = file.write(bytes, length);
        if (o) file.startWriteback(filled, static_cast<std::int64_t>(length));
        return o;
    };
    if (prefixLength > 0) {
        for (int j = 0; j < n; ++j)
            if (Outcome o = put(j, prefix[j], static_cast<std::size_t>(prefixLength)); !o) return o;
        filled += prefixLength;
    }
    for (std::int64_t at = prefixLength; at < shardSize; at += h.stripe) {
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
        encode(static_cast<int>(length), k, n, tables.data(), in.data(), out.data());
        for (int j = 0; j < n; ++j)
            if (Outcome o = put(j, out[static_cast<std::size_t>(j)], length); !o) return o;
        filled += static_cast<std::int64_t>(length);
    }
    for (int j = 0; j < n; ++j) {
        h.index = j;
        h.paritySha = hashes[static_cast<std::size_t>(j)]->finishHex();
        if (Outcome o = finishRecoveryFile(outs[static_cast<std::size_t>(j)], h); !o) return o;
        std::string whole;
        if (Outcome o = hashFile(target.recoveryPath(g * n + j), nullptr, &whole); !o) return o;
        lines->push_back({whole, target.recoveryName(g * n + j)});
    }
    return Outcome::success();
}

}  // namespace

const char* fileStateName(FileState state) {
    switch (state) {
        case FileState::Ok:
            return "ok";
        case FileState::Missing:
            return "missing";
        case FileState::Damaged:
            return "damaged";
        case FileState::Foreign:
            return "foreign";
    }
    return "?";
}

bool matchesProven(const RecoveryAssessment& a, const std::string& name, const std::string& hex) {
    const auto p = a.proven.find(name);
    return p != a.proven.end() && !p->second.empty() &&
           hex.compare(0, p->second.size(), p->second) == 0;
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

struct ParityCoder::State {
    struct Group {
        int k = 0;
        std::vector<unsigned char> tables;
        std::vector<Buffer> parity;
        // Where the parity is kept in the recovery files themselves: each file, then its
        // mapping, which must go first.
        std::vector<plat::File> files;
        std::vector<plat::Mapping> maps;
        std::vector<unsigned char*> out;
        // The parity below this is cleared; above, its memory was never touched, so the
        // pages are first faulted in by the hashing thread, not all at the split's start.
        std::int64_t cleared = 0;
    };
    int parity = 0;
    int metaShards = 1;
    std::int32_t chunkCount = 0;
    std::int64_t chunkSize = 0;
    std::int64_t totalSize = 0;
    std::int64_t shardSize = 0;
    std::int64_t coded = 0;
    bool inFiles = false;
    std::vector<std::string> paths;  // of the recovery files, when inFiles
    Layout layout;
    std::vector<Group> groups;

    // The coding runs on a thread of its own, on copies of the blocks: the hashing thread
    // that adds them, the split's slowest, then pays a copy and not the coding.
    struct Block {
        int g = 0;
        int shard = 0;
        std::int64_t offset = 0;
        std::size_t length = 0;
        Buffer bytes;
    };
    static constexpr std::size_t kBlockBytes = 1 << 20;
    static constexpr int kBlocks = 8;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> queue;
    std::vector<Block> spare;
    int allocated = 0;
    bool busy = false;
    bool stop = false;
    std::thread worker;

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || stop; });
            if (stop) return;
            Block b = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            code(b.g, b.shard, b.offset, b.bytes.get(), b.length);
            lock.lock();
            busy = false;
            spare.push_back(std::move(b));
            changed.notify_all();
        }
    }

    // Hands a block to the coding thread; false where it cannot, with no block queued.
    bool hand(int g, int shard, std::int64_t offset, const unsigned char* bytes,
              std::size_t length) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!worker.joinable()) {
            if (std::thread::hardware_concurrency() == 1) return false;
            try {
                worker = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                return false;
            }
        }
        changed.wait(lock, [this] { return !spare.empty() || allocated < kBlocks; });
        Block b;
        if (spare.empty()) {
            b.bytes = allocate(kBlockBytes);
            if (b.bytes) {
                ++allocated;
            } else if (allocated == 0) {
                return false;  // no block is queued, so the caller may code this one itself
            } else {
                changed.wait(lock, [this] { return !spare.empty(); });
            }
        }
        if (!b.bytes) {
            b = std::move(spare.back());
            spare.pop_back();
        }
        lock.unlock();
        b.g = g;
        b.shard = shard;
        b.offset = offset;
        b.length = length;
        std::memcpy(b.bytes.get(), bytes, length);
        lock.lock();
        queue.push_back(std::move(b));
        changed.notify_all();
        return true;
    }

    // Waits until every block handed over is coded, and ends the thread.
    void drain() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return queue.empty() && !busy; });
        stop = true;
        changed.notify_all();
        lock.unlock();
        if (worker.joinable()) worker.join();
    }

    ~State() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (worker.joinable()) worker.join();
    }

    // Two chunks may be hashed at once, and a block the coding thread could not take is
    // coded where it was hashed: one block is added to the parity at a time.
    std::mutex coding;

    void code(int g, int shard, std::int64_t offset, const unsigned char* bytes,
              std::size_t length) {
        if (offset >= coded || length == 0) return;
        std::lock_guard<std::mutex> lock(coding);
        Group& group = groups[static_cast<std::size_t>(g)];
        const auto n = static_cast<int>(
            std::min<std::int64_t>(static_cast<std::int64_t>(length), coded - offset));
        clearUpTo(group, offset + n);
        std::array<unsigned char*, kMaxRecovery> out{};
        for (int j = 0; j < parity; ++j)
            out[static_cast<std::size_t>(j)] = group.out[static_cast<std::size_t>(j)] + offset;
        encodeUpdate(n, group.k, parity, shard, group.tables.data(),
                     const_cast<unsigned char*>(bytes), out.data());
    }

    // A recovery file reads as zeros already: its pages are only readied for writing.
    void clearUpTo(Group& group, std::int64_t end) {
        if (end <= group.cleared) return;
        const std::int64_t from = group.cleared;
        group.cleared = end;
        if (inFiles) {
            for (plat::Mapping& map : group.maps)
                map.prepare(static_cast<std::int64_t>(kRecoveryHeaderSize) + from, end - from);
            return;
        }
        for (unsigned char* p : group.out)
            std::memset(p + from, 0, static_cast<std::size_t>(end - from));
    }

    // Takes the recovery files away again, for the parity to be coded as without them.
    Outcome dropFiles() {
        Outcome first = Outcome::success();
        for (Group& group : groups) {
            group.out.clear();
            group.maps.clear();
            group.files.clear();
        }
        for (const std::string& path : paths)
            if (Outcome o = plat::removeFile(path.c_str()); !o && first) first = o;
        paths.clear();
        inFiles = false;
        coded = 0;
        return first;
    }
};

ParityCoder::ParityCoder(std::int32_t chunkCount, std::int64_t chunkSize, std::int64_t totalSize,
                         int parity, std::int64_t metaBound, std::int64_t budget)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.parity = parity;
    s.chunkCount = chunkCount;
    s.chunkSize = chunkSize;
    s.totalSize = totalSize;
    s.shardSize = chunkCount == 1 ? std::max<std::int64_t>(1, totalSize) : chunkSize;
    if (parity < 1 || parity > kMaxRecovery || chunkCount < 1 || chunkSize < 1 ||
        metaBound > s.shardSize)
        return;
    s.layout = layoutFor(chunkCount, parity, s.metaShards);
    const std::int64_t coded = std::min(
        s.shardSize, std::max<std::int64_t>(0, budget) / (std::int64_t{s.layout.groups} * parity));
    for (int g = 0; g < s.layout.groups; ++g) {
        State::Group group;
        group.k = s.layout.countOf(g, chunkCount) + (g == 0 ? s.metaShards : 0);
        const std::vector<unsigned char> a = matrixFor(group.k, parity);
        group.tables.resize(static_cast<std::size_t>(32 * group.k * parity));
        ec_init_tables(group.k, parity, const_cast<unsigned char*>(a.data()) + group.k * group.k,
                       group.tables.data());
        s.groups.push_back(std::move(group));
    }
    for (State::Group& group : s.groups)
        for (int j = 0; coded > 0 && j < parity; ++j) {
            Buffer b = allocate(static_cast<std::size_t>(coded));
            if (!b) return;
            group.out.push_back(b.get());
            group.parity.push_back(std::move(b));
        }
    s.coded = coded;
}

bool ParityCoder::keepInFiles(const std::string& folder, const std::string& stem,
                              std::vector<std::string>* written) {
    State& s = *state_;
    if (s.groups.empty() || s.inFiles) return s.inFiles;
    const SetNames names(folder, stem);
    const std::int64_t length = static_cast<std::int64_t>(kRecoveryHeaderSize) + s.shardSize;
    const std::size_t groups = s.groups.size();
    std::vector<std::vector<plat::File>> files(groups);
    std::vector<std::vector<plat::Mapping>> maps(groups);
    std::vector<std::string> paths;
    const std::size_t writtenBefore = written->size();
    const auto giveUp = [&] {
        maps.clear();
        files.clear();
        for (const std::string& path : paths) plat::removeFile(path.c_str());
        written->resize(writtenBefore);
        return false;
    };
    for (std::size_t g = 0; g < groups; ++g)
        for (int j = 0; j < s.parity; ++j) {
            const std::string path =
                names.recoveryPath(static_cast<std::int64_t>(g) * s.parity + j);
            plat::File file;
            if (!file.open(path.c_str(), plat::File::Mode::CreateNew)) return giveUp();
            paths.push_back(path);
            written->push_back(path);
            plat::Mapping map;
            if (!file.reserve(length) || !map.map(file, length)) return giveUp();
            files[g].push_back(std::move(file));
            maps[g].push_back(std::move(map));
        }
    for (std::size_t g = 0; g < groups; ++g) {
        State::Group& group = s.groups[g];
        group.out.clear();
        for (const plat::Mapping& map : maps[g])
            group.out.push_back(map.data() + kRecoveryHeaderSize);
        group.files = std::move(files[g]);
        group.maps = std::move(maps[g]);
        group.parity.clear();
        group.cleared = 0;
    }
    s.paths = std::move(paths);
    s.inFiles = true;
    s.coded = s.shardSize;
    return true;
}

ParityCoder::~ParityCoder() = default;

std::int64_t ParityCoder::codedLength() const {
    return state_->coded;
}

std::int64_t ParityCoder::readBackBytes() const {
    const State& s = *state_;
    if (s.chunkCount < 1) return 0;
    const std::int64_t last = s.totalSize - std::int64_t{s.chunkCount - 1} * s.chunkSize;
    const std::int64_t full = s.chunkCount > 1 ? s.chunkSize : 0;
    return std::int64_t{s.chunkCount - 1} * std::max<std::int64_t>(0, full - s.coded) +
           std::max<std::int64_t>(0, last - s.coded);
}

void ParityCoder::add(std::int32_t chunk, std::int64_t offset, const unsigned char* bytes,
                      std::size_t length) {
    State& s = *state_;
    if (s.coded == 0 || chunk < 0 || chunk >= s.chunkCount || offset >= s.coded) return;
    const int g = s.layout.perGroup > 0 ? chunk / s.layout.perGroup : 0;
    const int shard = chunk - s.layout.firstOf(g);
    length = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(length), s.coded - offset));
    while (length > 0) {
        const std::size_t part = std::min(length, State::kBlockBytes);
        if (!s.hand(g, shard, offset, bytes, part)) s.code(g, shard, offset, bytes, part);
        offset += static_cast<std::int64_t>(part);
        bytes += part;
        length -= part;
    }
}

namespace {

// The recovery files of a coder that coded all their parity as the split went, one header
// per group: each file gets its header in place and is listed with the hash of what it
// holds. The files are hashed side by side, one per core: they are in memory already.
Outcome finishInFiles(const std::vector<Header>& headers, ParityCoder::State& pass,
                      const SetNames& target, std::vector<ChecksumLine>* lines) {
    struct Item {
        Header h;
        plat::Mapping* map = nullptr;
        std::string whole;
    };
    std::vector<Item> items;
    for (const Header& h : headers)
        for (int j = 0; j < h.parity; ++j) {
            Item item{
                h,
                &pass.groups[static_cast<std::size_t>(h.group)].maps[static_cast<std::size_t>(j)],
                {}};
            item.h.index = j;
            items.push_back(std::move(item));
        }
    hashSideBySide(items.size(), [&](std::size_t i) {
        Item& item = items[i];
        unsigned char* bytes = item.map->data();
        const auto length = static_cast<std::size_t>(item.map->length());
        item.h.paritySha = sha256Hex(bytes + kRecoveryHeaderSize, length - kRecoveryHeaderSize);
        const std::vector<unsigned char> header = encodeHeader(item.h);
        std::memcpy(bytes, header.data(), header.size());
        item.whole = sha256Hex(bytes, length);
        return true;
    });
    for (Item& item : items) {
        const std::int64_t length = item.map->length();
        plat::File& file = pass.groups[static_cast<std::size_t>(item.h.group)]
                               .files[static_cast<std::size_t>(item.h.index)];
        if (Outcome o = item.map->unmap(); !o) return o;
        file.startWriteback(0, length);
        if (Outcome o = file.close(); !o) return o;
        lines->push_back(
            {item.whole,
             target.recoveryName(std::int64_t{item.h.group} * item.h.parity + item.h.index)});
    }
    return Outcome::success();
}

}  // namespace

Outcome writeRecovery(const RecoverySource& src, JobControl& control,
                      std::vector<ChecksumLine>* lines, std::vector<std::string>* written,
                      ParityCoder* coded) {
    if (src.parity < 1 || src.chunkCount < 1) return Outcome::success();
    if (src.parity > kMaxRecovery)
        return Outcome::failure(src.folder, "at most 32 recovery chunks", EINVAL);
    // A shard is as long as the longest chunk: a set of one chunk smaller than the chunk
    // size asked for needs no more parity than its bytes.
    const std::int64_t shardSize =
        src.chunkCount == 1 ? std::max<std::int64_t>(1, src.totalSize) : src.chunkSize;

    const SetNames source(src.folder, src.stem);
    const SetNames target(src.outFolder.empty() ? src.folder : src.outFolder, src.stem);
    // The manifest and tree file as the first group's extra shards.
    std::vector<char> meta;
    std::vector<char> manifestBytes;
    std::vector<char> treeBytes;
    if (Outcome o = readWhole(source.manifestPath(), &manifestBytes); !o) return o;
    if (Outcome o = readWhole(source.treePath(), &treeBytes); !o && !o.is(Fault::NotFound))
        return o;
    meta = manifestBytes;
    meta.insert(meta.end(), treeBytes.begin(), treeBytes.end());
    std::int64_t metaShards = (static_cast<std::int64_t>(meta.size()) + shardSize - 1) / shardSize;
    if (metaShards > kMaxMetaShards) metaShards = 0;
    const Layout layout = layoutFor(src.chunkCount, src.parity, static_cast<int>(metaShards));
    // The coder's parity holds only where it coded the same groups with the same matrices.
    ParityCoder::State* pass = coded != nullptr ? &coded->state() : nullptr;
    if (pass != nullptr) pass->drain();
    if (pass != nullptr &&
        (pass->coded == 0 || pass->metaShards != metaShards || pass->parity != src.parity ||
         pass->chunkCount != src.chunkCount || pass->shardSize != shardSize ||
         pass->layout.groups != layout.groups || pass->layout.perGroup != layout.perGroup ||
         (pass->inFiles && target.folder() != source.folder())))
        pass = nullptr;
    // Recovery files the coder made but cannot use are written anew.
    if (pass == nullptr && coded != nullptr && coded->state().inFiles) {
        const std::vector<std::string> made = coded->state().paths;
        if (Outcome o = coded->state().dropFiles(); !o) return o;
        std::erase_if(*written, [&](const std::string& path) {
            return std::find(made.begin(), made.end(), path) != made.end();
        });
    }
    // The manifest and tree bytes, last of the first group's shards.
    for (int m = 0; pass != nullptr && m < metaShards; ++m) {
        const std::int64_t start = m * shardSize;
        const std::int64_t length =
            std::min(shardSize, static_cast<std::int64_t>(meta.size()) - start);
        const int shard = layout.countOf(0, src.chunkCount) + m;
        if (length > 0)
            pass->code(0, shard, 0, reinterpret_cast<const unsigned char*>(meta.data()) + start,
                       static_cast<std::size_t>(length));
    }
    // Parity that no shard reached (a short last chunk, no manifest there) is still zero.
    for (int g = 0; pass != nullptr && g < static_cast<int>(pass->groups.size()); ++g)
        pass->clearUpTo(pass->groups[static_cast<std::size_t>(g)], pass->coded);
    // What the coder did not see is read back, as it is without one.
    if (pass == nullptr && coded != nullptr)
        control.addToTotal(src.totalSize - coded->readBackBytes());

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

    std::vector<Header> inFiles;  // the groups whose parity the coder kept in their files
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

        if (pass != nullptr && pass->inFiles) {
            inFiles.push_back(std::move(h));
            continue;
        }
        const ParityCoder::State::Group* group =
            pass != nullptr ? &pass->groups[static_cast<std::size_t>(g)] : nullptr;
        if (Outcome o = writeGroup(source, target, h, meta, control, lines, written,
                                   group != nullptr ? group->out.data() : nullptr,
                                   group != nullptr ? pass->coded : 0);
            !o)
            return o;
    }
    if (!inFiles.empty()) return finishInFiles(inFiles, *pass, target, lines);
    return Outcome::success();
}

namespace {

// One ".rec" file of the folder, as read.
struct RecFile {
    std::string name;
    HeaderRead read = HeaderRead::NotAHeader;
    Header h;
    bool parityIntact = false;
    std::string sha;  // of the whole file, when its header is sound and its length right
    int family = -1;
    std::int64_t number() const { return std::int64_t{h.group} * h.parity + h.index; }
};

struct Scan {
    std::vector<RecFile> files;
    std::size_t entries = 0;  // files in the folder
    const RecFile* byName(const std::string& name) const {
        for (const RecFile& f : files)
            if (f.name == name) return &f;
        return nullptr;
    }
};

// Reads the header of the recovery file r names, open in f; true when it is sound.
bool readRecHeader(plat::File& f, RecFile* r, std::vector<unsigned char>* bytes) {
    bytes->assign(kRecoveryHeaderSize, 0);
    std::size_t have = 0;
    while (have < bytes->size()) {
        std::size_t got = 0;
        if (!f.read(bytes->data() + have, bytes->size() - have, &got) || got == 0) break;
        have += got;
    }
    if (have != bytes->size()) return false;
    r->read = decodeHeader(*bytes, &r->h);
    // A header under another file's name cannot say which file it is.
    if (r->read == HeaderRead::Sound &&
        r->name != SetNames({}, r->h.stem).recoveryName(r->number()))
        r->read = HeaderRead::NotAHeader;
    return r->read == HeaderRead::Sound;
}

Outcome readRecFile(const std::string& path, JobControl& control, RecFile* r) {
    plat::File f;
    if (!f.open(path.c_str(), plat::File::Mode::Read)) return Outcome::success();
    std::vector<unsigned char> bytes;
    if (!readRecHeader(f, r, &bytes)) return Outcome::success();
    Sha256 whole;
    whole.update(bytes.data(), bytes.size());
    Sha256 parity;
    std::int64_t length = 0;
    for (std::vector<char> block(1 << 20); length <= r->h.chunkSize;) {
        if (control.cancelRequested()) return Outcome::cancel();
        std::size_t got = 0;
        if (!f.read(block.data(), block.size(), &got) || got == 0) break;
        parity.update(block.data(), got);
        whole.update(block.data(), got);
        length += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    // The parity itself must be whole, or it would rebuild wrong bytes.
    r->parityIntact = length == r->h.chunkSize && parity.finishHex() == r->h.paritySha;
    if (length == r->h.chunkSize) r->sha = whole.finishHex();
    return Outcome::success();
}

Outcome scanRecovery(const std::string& folder, JobControl& control, Scan* scan) {
    std::vector<plat::DirEntry> names;
    if (Outcome o = plat::listDirectory(folder.c_str(), &names); !o) return o;
    for (const plat::DirEntry& d : names) {
        if (d.kind != plat::Kind::File) continue;
        ++scan->entries;
        const std::string& n = d.name;
        if (n.size() < 6 || n.compare(n.size() - 4, 4, ".rec") != 0) continue;
        RecFile r;
        r.name = n;
        if (Outcome o = readRecFile(folder + "/" + n, control, &r); !o) return o;
        scan->files.push_back(std::move(r));
    }
    return Outcome::success();
}

// Headers of one set agree on everything the set is, and within a group on the group.
bool sameSet(const Header& a, const Header& b) {
    if (a.stem != b.stem || a.parity != b.parity || a.groups != b.groups ||
        a.chunkCount != b.chunkCount || a.chunkSize != b.chunkSize || a.totalSize != b.totalSize ||
        a.manifestSize != b.manifestSize || a.treeSize != b.treeSize ||
        a.manifestSha != b.manifestSha || a.treeSha != b.treeSha)
        return false;
    return a.group != b.group || (a.firstChunk == b.firstChunk && a.groupChunks == b.groupChunks &&
                                  a.metaShards == b.metaShards && a.chunkHashes == b.chunkHashes);
}

// Puts each sound file in the first family all of whose headers it agrees with.
int formFamilies(Scan* scan) {
    std::vector<std::vector<const Header*>> families;
    for (RecFile& r : scan->files) {
        if (r.read != HeaderRead::Sound) continue;
        for (std::size_t f = 0; f < families.size() && r.family < 0; ++f)
            if (std::all_of(families[f].begin(), families[f].end(),
                            [&](const Header* h) { return sameSet(*h, r.h); }))
                r.family = static_cast<int>(f);
        if (r.family < 0) {
            r.family = static_cast<int>(families.size());
            families.emplace_back();
        }
        families[static_cast<std::size_t>(r.family)].push_back(&r.h);
    }
    return static_cast<int>(families.size());
}

// The hashes of the set's other files, each read once whichever witness asks.
class FileHashes {
public:
    FileHashes(const std::string& folder, JobControl& control)
        : folder_(folder), control_(control) {}
    struct Entry {
        bool present = false;
        std::string hex;
        std::int64_t size = -1;
    };
    Outcome get(const std::string& name, const Entry** out) {
        auto it = cache_.find(name);
        if (it == cache_.end()) {
            if (control_.cancelRequested()) return Outcome::cancel();
            Entry e;
            Outcome o = hashFile(folder_ + "/" + name, &control_, &e.hex, &e.size);
            if (o.cancelled) return o;
            e.present = o.ok;
            it = cache_.emplace(name, e).first;
        }
        *out = &it->second;
        return Outcome::success();
    }
    // Hashes those of names not hashed yet side by side, one file per core: judging a
    // set's chunks reads every byte of them.
    Outcome prefetch(const std::vector<std::string>& names) {
        std::vector<const std::string*> todo;
        for (const std::string& n : names)
            if (!cache_.count(n)) todo.push_back(&n);
        std::vector<Entry> entries(todo.size());
        hashSideBySide(todo.size(), [&](std::size_t i) {
            if (control_.cancelRequested()) return false;
            Entry& e = entries[i];
            const Outcome o = hashFile(folder_ + "/" + *todo[i], &control_, &e.hex, &e.size);
            e.present = o.ok;
            return !o.cancelled;
        });
        // A cancel leaves files unread, which must not pass for missing.
        if (control_.cancelRequested()) return Outcome::cancel();
        for (std::size_t i = 0; i < todo.size(); ++i) cache_.emplace(*todo[i], entries[i]);
        return Outcome::success();
    }

private:
    const std::string& folder_;
    JobControl& control_;
    std::map<std::string, Entry> cache_;
};

std::string chunkHashHex(const Header& h, std::int32_t chunk) {
    return bytesToHex(h.chunkHashes[static_cast<std::size_t>(chunk - h.firstChunk)].data(), 16);
}

// True when every file the list vouches for has, in the header, the hash the list gives.
bool agreesWithList(const Header& h, const std::map<std::string, std::string>& list) {
    auto same = [&](const std::string& name, const std::string& hex) {
        const auto l = list.find(name);
        return l == list.end() || l->second.compare(0, hex.size(), hex) == 0;
    };
    if (!same(kManifestName, h.manifestSha)) return false;
    if (h.treeSize > 0 && !same(kTreeName, h.treeSha)) return false;
    const SetNames names({}, h.stem);
    for (std::int32_t i = h.firstChunk; i < h.firstChunk + h.groupChunks; ++i)
        if (!same(names.chunkName(i), chunkHashHex(h, i))) return false;
    return true;
}

// Which family of headers is the set's own, by the strongest witness there is; -1 with
// *decided None when no family is, and a Foreign failure when two fit equally well.
Outcome chooseFamily(const Scan& scan, int families, const std::map<std::string, std::string>* list,
                     FileHashes& hashes, int* chosen, Witness* decided) {
    *chosen = -1;
    *decided = Witness::None;
    std::vector<std::array<std::int64_t, 3>> score(static_cast<std::size_t>(families), {0, 0, 0});
    std::vector<bool> fits(static_cast<std::size_t>(families), true);
    const FileHashes::Entry* manifest = nullptr;
    if (list == nullptr)
        if (Outcome o = hashes.get(kManifestName, &manifest); !o) return o;
    for (const RecFile& r : scan.files) {
        if (r.family < 0) continue;
        const auto f = static_cast<std::size_t>(r.family);
        auto& s = score[f];
        if (list != nullptr) {
            // The list vouches for the whole file, or at least for what the header says.
            const auto l = list->find(r.name);
            if (l != list->end() && l->second == r.sha) s[0] = 1;
            fits[f] = fits[f] && agreesWithList(r.h, *list);
        } else {
            if (manifest->present && manifest->hex == r.h.manifestSha) s[0] = 1;
            const SetNames names({}, r.h.stem);
            for (std::int32_t i = r.h.firstChunk; i < r.h.firstChunk + r.h.groupChunks; ++i) {
                const FileHashes::Entry* e = nullptr;
                if (Outcome o = hashes.get(names.chunkName(i), &e); !o) return o;
                if (e->present && e->hex.compare(0, 32, chunkHashHex(r.h, i)) == 0) ++s[1];
            }
        }
        ++s[2];
    }
    if (list != nullptr)
        for (int f = 0; f < families; ++f)
            if (!fits[static_cast<std::size_t>(f)] && score[static_cast<std::size_t>(f)][0] == 0)
                score[static_cast<std::size_t>(f)] = {-1, 0, 0};
    int second = -1;
    for (int f = 0; f < families; ++f) {
        const auto& s = score[static_cast<std::size_t>(f)];
        if (s[0] < 0) continue;
        if (*chosen < 0 || s > score[static_cast<std::size_t>(*chosen)]) {
            second = *chosen;
            *chosen = f;
        } else if (second < 0 || s > score[static_cast<std::size_t>(second)]) {
            second = f;
        }
    }
    if (*chosen < 0) return Outcome::success();
    const auto& best = score[static_cast<std::size_t>(*chosen)];
    if (second >= 0 && score[static_cast<std::size_t>(second)] == best)
        return Outcome::failure(Fault::Foreign, scan.files.front().name,
                                "recovery files of more than one set are here, and nothing "
                                "tells which belongs to it",
                                EINVAL);
    if (list != nullptr)
        *decided = best[0] > 0 ? Witness::List : Witness::Headers;
    else
        *decided = best[0] > 0 ? Witness::Manifest : Witness::Headers;
    return Outcome::success();
}

// A set only ever holds as many files as a folder could make whole: a header that claims
// more is not believed, before anything is sized by it.
bool fitsFolder(const Header& h, std::size_t entries) {
    const std::int64_t claimed = std::int64_t{h.chunkCount} + std::int64_t{h.groups} * h.parity;
    return claimed <= 2 * static_cast<std::int64_t>(entries) + 64;
}

struct Judged {
    FileState state = FileState::Missing;
    Witness witness = Witness::None;
};

// A chunk by its witness: the list, else its group's header, else the manifest's
// fingerprint of its first bytes.
Outcome judgeChunk(const SetNames& names, RecoveryAssessment& a, std::int32_t i, std::int64_t want,
                   const std::map<int, Header>& groupHeader, const Manifest* manifest,
                   FileHashes& hashes, Judged* out) {
    const std::string name = names.chunkName(i);
    const FileHashes::Entry* e = nullptr;
    if (Outcome o = hashes.get(name, &e); !o) return o;
    if (!a.proven.count(name))
        for (const auto& [g, h] : groupHeader)
            if (i >= h.firstChunk && i < h.firstChunk + h.groupChunks)
                a.proven[name] = chunkHashHex(h, i);
    if (!e->present) return Outcome::success();
    out->state = FileState::Damaged;
    if (a.proven.count(name)) {
        out->witness = Witness::Headers;
        if (e->size == want && matchesProven(a, name, e->hex)) out->state = FileState::Ok;
        return Outcome::success();
    }
    if (manifest != nullptr && static_cast<std::size_t>(i) < manifest->chunks.size() &&
        !manifest->chunks[static_cast<std::size_t>(i)].fingerprint.empty()) {
        out->witness = Witness::Fingerprint;
        char fingerprint[kDigestText] = {};
        if (chunkFingerprint(names.chunkPath(i).c_str(), fingerprint) && e->size == want &&
            manifest->chunks[static_cast<std::size_t>(i)].fingerprint == fingerprint)
            out->state = FileState::Ok;
    }
    return Outcome::success();
}

// What each recovery file of the chosen family's set is: its own, damaged, or another's.
void judgeRecoveryFiles(const Scan& scan, int family,
                        const std::map<std::string, std::string>* list, RecoveryAssessment& a) {
    const SetNames names({}, a.stem);
    for (std::int64_t number = 0; number < std::int64_t{a.groups} * a.parity; ++number) {
        RecoveryFile file;
        file.name = names.recoveryName(number);
        const RecFile* r = scan.byName(file.name);
        const auto listed = list != nullptr ? list->find(file.name) : decltype(list->end()){};
        const bool isListed = list != nullptr && listed != list->end();
        if (r != nullptr && r->family == family) {
            file.witness = isListed ? Witness::List : Witness::Headers;
            file.state = r->parityIntact && (!isListed || listed->second == r->sha)
                             ? FileState::Ok
                             : FileState::Damaged;
            file.sha256 = r->sha;
        } else if (r != nullptr && r->read == HeaderRead::Sound) {
            file.state = FileState::Foreign;
            file.witness = a.decidedBy;
        } else if (r != nullptr) {
            file.state = FileState::Damaged;
        }
        if (isListed) a.proven[file.name] = listed->second;
        a.recoveryFiles.push_back(file);
    }
    for (const RecFile& r : scan.files)
        if (r.read == HeaderRead::Sound && r.family != family &&
            names.recoveryNumberOf(r.name) >= 0)
            a.foreign.push_back(r.name);
}

// Counts per group what is lost against what can rebuild it.
void countLosses(const std::map<int, Header>& groupHeader, RecoveryAssessment& a) {
    const Header& any = groupHeader.begin()->second;
    const SetNames names({}, a.stem);
    int totalMissing = 0;
    bool repairable = true;
    for (int g = 0; g < a.groups; ++g) {
        int lost = 0;
        int spare = 0;
        const auto h = groupHeader.find(g);
        for (int j = 0; j < a.parity; ++j) {
            const RecoveryFile& file = a.recoveryFiles[static_cast<std::size_t>(g * a.parity + j)];
            if (file.state == FileState::Ok)
                ++spare;
            else
                a.lost.push_back(file.name);
        }
        // A group none of whose headers survived lies where the others say it does.
        const Layout layout = layoutOf(any);
        const std::int32_t first =
            h != groupHeader.end() ? h->second.firstChunk : layout.firstOf(g);
        const std::int32_t count = h != groupHeader.end()
                                       ? h->second.groupChunks
                                       : std::max(0, layout.countOf(g, a.chunkCount));
        for (std::int32_t i = first; i < first + count; ++i)
            if (a.chunks[static_cast<std::size_t>(i)] != FileState::Ok) {
                ++lost;
                a.lost.push_back(names.chunkName(i));
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
}

// What every header of a set says about the set.
void describeSet(const Header& h, RecoveryAssessment* a) {
    a->present = true;
    a->stem = h.stem;
    a->parity = h.parity;
    a->groups = h.groups;
    a->chunkCount = h.chunkCount;
    a->chunkSize = h.chunkSize;
    a->totalSize = h.totalSize;
}

FileState judgeMeta(RecoveryAssessment& a, FileHashes& hashes, const char* name, std::int64_t size,
                    const std::string& headerSha, Outcome* failed) {
    if (!a.proven.count(name)) a.proven[name] = headerSha;
    const FileHashes::Entry* e = nullptr;
    if (Outcome o = hashes.get(name, &e); !o) {
        *failed = o;
        return FileState::Missing;
    }
    if (!e->present) return FileState::Missing;
    return e->size == size && matchesProven(a, name, e->hex) ? FileState::Ok : FileState::Damaged;
}

}  // namespace

Outcome assessRecovery(const std::string& folder, const std::map<std::string, std::string>* list,
                       JobControl& control, RecoveryAssessment* out) {
    *out = RecoveryAssessment{};
    Scan scan;
    if (Outcome o = scanRecovery(folder, control, &scan); !o) return o;
    // Counts no folder of this many files could hold are no set's.
    const RecFile* malformed = nullptr;
    for (RecFile& r : scan.files)
        if (r.read == HeaderRead::Sound && !fitsFolder(r.h, scan.entries))
            r.read = HeaderRead::Malformed;
    for (const RecFile& r : scan.files)
        if (r.read == HeaderRead::Malformed && malformed == nullptr) malformed = &r;
    const int families = formFamilies(&scan);
    FileHashes hashes(folder, control);
    RecoveryAssessment& a = *out;
    int family = -1;
    if (Outcome o = chooseFamily(scan, families, list, hashes, &family, &a.decidedBy); !o) return o;
    if (family < 0) {
        if (malformed != nullptr)
            return Outcome::failure(Fault::Malformed, folder + "/" + malformed->name,
                                    "the recovery header's counts do not fit the set", EINVAL);
        // Recovery files, all another set's: said, and none of them used.
        for (const RecFile& r : scan.files)
            if (r.read == HeaderRead::Sound) a.foreign.push_back(r.name);
        return Outcome::success();
    }
    // Per group what its headers say; an intact one first.
    std::map<int, Header> groupHeader;
    for (const RecFile& r : scan.files)
        if (r.family == family && r.parityIntact) groupHeader.emplace(r.h.group, r.h);
    for (const RecFile& r : scan.files)
        if (r.family == family) groupHeader.emplace(r.h.group, r.h);
    const Header& any = groupHeader.begin()->second;
    describeSet(any, &a);
    if (list != nullptr) a.proven = *list;
    const SetNames names(folder, a.stem);

    Manifest manifest;
    const bool manifestRead = readManifest(folder, &manifest).ok;
    Outcome failed;
    a.manifest = judgeMeta(a, hashes, kManifestName, any.manifestSize, any.manifestSha, &failed);
    if (!failed) return failed;
    a.tree = any.treeSize == 0 && !plat::pathExists(names.treePath().c_str())
                 ? FileState::Ok
                 : judgeMeta(a, hashes, kTreeName, any.treeSize, any.treeSha, &failed);
    if (!failed) return failed;
    // A header that agrees with the manifest's bytes must agree with what they say.
    if (a.manifest == FileState::Ok && manifestRead &&
        (manifest.chunkCount != any.chunkCount || manifest.totalSize != any.totalSize))
        return Outcome::failure(
            Fault::Malformed, names.recoveryPath(std::int64_t{any.group} * any.parity + any.index),
            "the recovery header's counts do not fit the manifest", EINVAL);
    const std::int64_t lastSize = any.totalSize - std::int64_t{any.chunkCount - 1} * any.chunkSize;
    a.chunks.assign(static_cast<std::size_t>(any.chunkCount), FileState::Missing);
    std::vector<std::string> chunkNames;
    for (std::int32_t i = 0; i < any.chunkCount; ++i) chunkNames.push_back(names.chunkName(i));
    if (Outcome o = hashes.prefetch(chunkNames); !o) return o;
    for (std::int32_t i = 0; i < any.chunkCount; ++i) {
        Judged j;
        const std::int64_t want = i == any.chunkCount - 1 ? lastSize : any.chunkSize;
        if (Outcome o = judgeChunk(names, a, i, want, groupHeader,
                                   manifestRead ? &manifest : nullptr, hashes, &j);
            !o)
            return o;
        a.chunks[static_cast<std::size_t>(i)] = j.state;
    }
    const auto g0 = groupHeader.find(0);
    a.metaCovered = g0 != groupHeader.end() && g0->second.metaShards > 0;
    judgeRecoveryFiles(scan, family, list, a);
    countLosses(groupHeader, a);
    return Outcome::success();
}

namespace {

// What one group needs from a rebuild.
struct GroupPlan {
    const Header* h = nullptr;
    std::vector<int> spare;       // recovery files to rebuild from, by index in the group
    std::vector<int> lostRecs;    // recovery files to code again
    std::vector<int> lostShards;  // data shards: chunks, then the meta shards
    bool metaLost = false;
};

struct Rebuild {
    SetNames from;  // the set's folder
    SetNames to;    // where rebuilt files go
    const RecoveryAssessment& a;
    JobControl& control;
    std::vector<std::string>* rebuilt;
    std::vector<char> meta;  // the manifest and tree bytes, whole or rebuilt
};

// Codes a group stripe by stripe: its k sources in (parity after its header), the rows of
// tables out, each stripe handed to sink(at, length, outputs) in order. Stripes are read
// and coded on every core, each thread with its own files and buffers; the sink runs on
// whichever thread's stripe is next, while the others code ahead.
template <typename Sink>
Outcome codeStripes(Rebuild& r, const Header& h, const std::vector<Shard>& sources,
                    const std::vector<bool>& isParity, const std::vector<unsigned char>& tables,
                    int outputs, Sink sink) {
    const int k = static_cast<int>(sources.size());
    const int threads = static_cast<int>(std::clamp<std::int64_t>(
        std::thread::hardware_concurrency(), 1, (r.a.chunkSize + h.stripe - 1) / h.stripe));
    // All threads' stripes together stay within the budget one thread's kept to.
    const std::int64_t stripe = std::max<std::int64_t>(
        64, std::min<std::int64_t>(h.stripe, kStripeBudget / threads / (k + outputs)) / 64 * 64);
    std::mutex lock;
    std::condition_variable turn;
    std::int64_t next = 0;  // the stripe whose sink runs next
    Outcome failed;
    const auto work = [&](int t) {
        const auto fail = [&](Outcome o) {
            const std::lock_guard<std::mutex> hold(lock);
            if (failed) failed = std::move(o);
            turn.notify_all();
        };
        std::vector<Shard> own(static_cast<std::size_t>(k));
        for (int i = 0; i < k; ++i) {
            own[static_cast<std::size_t>(i)].path = sources[static_cast<std::size_t>(i)].path;
            own[static_cast<std::size_t>(i)].memory = sources[static_cast<std::size_t>(i)].memory;
            own[static_cast<std::size_t>(i)].offset = sources[static_cast<std::size_t>(i)].offset;
        }
        const auto size = static_cast<std::size_t>(stripe);
        Buffer in = allocate(size * static_cast<std::size_t>(k));
        Buffer out = allocate(size * static_cast<std::size_t>(outputs));
        if (!in || !out) return fail(Outcome::systemFailure(r.from.folder(), ENOMEM));
        std::vector<unsigned char*> inPtr(static_cast<std::size_t>(k));
        std::vector<unsigned char*> outPtr(static_cast<std::size_t>(outputs));
        for (int i = 0; i < k; ++i) inPtr[static_cast<std::size_t>(i)] = in.get() + i * size;
        for (int l = 0; l < outputs; ++l)
            outPtr[static_cast<std::size_t>(l)] = out.get() + l * size;
        for (std::int64_t s = t;; s += threads) {
            const std::int64_t at = s * stripe;
            if (at >= r.a.chunkSize) return;
            if (r.control.cancelRequested()) return fail(Outcome::cancel());
            const auto length =
                static_cast<std::size_t>(std::min<std::int64_t>(stripe, r.a.chunkSize - at));
            for (int i = 0; i < k; ++i) {
                std::int64_t real = 0;
                const std::int64_t offset =
                    isParity[static_cast<std::size_t>(i)]
                        ? at + static_cast<std::int64_t>(kRecoveryHeaderSize)
                        : at;
                if (Outcome o = readStripe(own[static_cast<std::size_t>(i)], offset, length,
                                           inPtr[static_cast<std::size_t>(i)], &real);
                    !o)
                    return fail(o);
                r.control.advance(real);
            }
            encode(static_cast<int>(length), k, outputs, const_cast<unsigned char*>(tables.data()),
                   inPtr.data(), outPtr.data());
            std::unique_lock<std::mutex> hold(lock);
            turn.wait(hold, [&] { return next == s || !failed; });
            if (!failed) return;
            hold.unlock();
            // Only this thread may run the sink now: every other waits for its turn.
            Outcome o = sink(at, length, outPtr);
            hold.lock();
            if (!o && failed) failed = std::move(o);
            ++next;
            turn.notify_all();
            if (!failed) return;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back([&, t] {
            work(t);
            endThreadHashing();
        });
    work(0);
    for (std::thread& t : pool) t.join();
    return failed;
}

GroupPlan planGroup(const Rebuild& r, int g, const std::map<std::int64_t, Header>& headers,
                    const std::map<std::int64_t, bool>& usable) {
    GroupPlan plan;
    const RecoveryAssessment& a = r.a;
    for (int j = 0; j < a.parity; ++j) {
        const std::int64_t number = std::int64_t{g} * a.parity + j;
        const auto f = headers.find(number);
        // A sound header of the set tells the layout even when the parity after it was hit.
        if (f != headers.end()) plan.h = &f->second;
        const auto u = usable.find(number);
        if (u != usable.end() && u->second)
            plan.spare.push_back(j);
        else
            plan.lostRecs.push_back(j);
    }
    if (plan.h == nullptr) return plan;
    const Header& h = *plan.h;
    plan.metaLost =
        g == 0 && h.metaShards > 0 && (a.manifest != FileState::Ok || a.tree != FileState::Ok);
    for (std::int32_t i = 0; i < h.groupChunks; ++i)
        if (a.chunks[static_cast<std::size_t>(h.firstChunk + i)] != FileState::Ok)
            plan.lostShards.push_back(i);
    if (plan.metaLost)
        for (int m = 0; m < h.metaShards; ++m) plan.lostShards.push_back(h.groupChunks + m);
    return plan;
}

// The intact manifest and tree bytes, the first group's meta shards.
Outcome loadMeta(Rebuild& r, const Header& h) {
    std::vector<char> treeBytes;
    if (Outcome o = readWhole(r.from.manifestPath(), &r.meta); !o) return o;
    if (h.treeSize > 0)
        if (Outcome o = readWhole(r.from.treePath(), &treeBytes); !o) return o;
    r.meta.insert(r.meta.end(), treeBytes.begin(), treeBytes.end());
    if (static_cast<std::int64_t>(r.meta.size()) != h.manifestSize + h.treeSize)
        return Outcome::failure(Fault::Changed, r.from.manifestPath(),
                                "changed since the set was assessed", EIO);
    return Outcome::success();
}

// Rebuilt meta bytes are kept only when the witness of each file vouches for them.
Outcome keepRebuiltMeta(Rebuild& r, const Header& h, const std::vector<char>& bytes) {
    const auto m = static_cast<std::size_t>(h.manifestSize);
    const auto t = static_cast<std::size_t>(h.treeSize);
    if (!matchesProven(r.a, kManifestName, sha256Hex(bytes.data(), m)) ||
        (t > 0 && !matchesProven(r.a, kTreeName, sha256Hex(bytes.data() + m, t))))
        return Outcome::failure(Fault::Damaged, r.from.manifestPath(),
                                "the rebuilt manifest does not match its witness", EIO);
    if (r.a.manifest != FileState::Ok) {
        if (Outcome o = writeWhole(r.to.manifestPath(), bytes.data(), m); !o) return o;
        r.rebuilt->push_back(kManifestName);
    }
    if (r.a.tree != FileState::Ok && t > 0) {
        if (Outcome o = writeWhole(r.to.treePath(), bytes.data() + m, t); !o) return o;
        r.rebuilt->push_back(kTreeName);
    }
    r.meta = bytes;
    return Outcome::success();
}

// The k rows that survive a group's losses (intact data shards, then as many spare parity
// rows as needed), and the tables that turn them back into the lost shards.
Outcome decodingFor(const Rebuild& r, const Header& h, const GroupPlan& plan,
                    std::vector<int>* rows, std::vector<unsigned char>* tables) {
    const int k = h.dataShards;
    const std::vector<unsigned char> a0 = matrixFor(k, h.parity);
    auto isLost = [&](int i) {
        return std::find(plan.lostShards.begin(), plan.lostShards.end(), i) !=
               plan.lostShards.end();
    };
    for (int i = 0; i < k; ++i)
        if (!isLost(i)) rows->push_back(i);
    for (std::size_t s = 0; rows->size() < static_cast<std::size_t>(k); ++s)
        rows->push_back(k + plan.spare[s]);
    std::vector<unsigned char> b(static_cast<std::size_t>(k * k));
    std::vector<unsigned char> inverse(static_cast<std::size_t>(k * k));
    for (int row = 0; row < k; ++row)
        std::memcpy(b.data() + row * k, a0.data() + (*rows)[static_cast<std::size_t>(row)] * k,
                    static_cast<std::size_t>(k));
    if (gf_invert_matrix(b.data(), inverse.data(), k) != 0)
        return Outcome::failure(Fault::Unrepairable, r.from.folder(),
                                "the recovery code cannot be inverted", EIO);
    const int lostCount = static_cast<int>(plan.lostShards.size());
    std::vector<unsigned char> decode(static_cast<std::size_t>(lostCount * k));
    for (int l = 0; l < lostCount; ++l)
        std::memcpy(decode.data() + l * k,
                    inverse.data() + plan.lostShards[static_cast<std::size_t>(l)] * k,
                    static_cast<std::size_t>(k));
    tables->assign(static_cast<std::size_t>(32 * k * lostCount), 0);
    ec_init_tables(k, lostCount, decode.data(), tables->data());
    return Outcome::success();
}

// Decodes a group's lost data shards from the k that survive: chunks to files, each
// kept only when its witness vouches for it, and the meta shards to memory.
Outcome decodeLostShards(Rebuild& r, int g, const GroupPlan& plan) {
    const Header& h = *plan.h;
    const RecoveryAssessment& a = r.a;
    const int k = h.dataShards;
    const int n = h.parity;
    const std::int32_t first = h.firstChunk;
    const std::int32_t count = h.groupChunks;
    std::vector<int> rows;
    std::vector<unsigned char> tables;
    if (Outcome o = decodingFor(r, h, plan, &rows, &tables); !o) return o;
    const int lostCount = static_cast<int>(plan.lostShards.size());

    std::vector<Shard> sources(static_cast<std::size_t>(k));
    std::vector<bool> isParity(static_cast<std::size_t>(k), false);
    for (int i = 0; i < k; ++i) {
        const int row = rows[static_cast<std::size_t>(i)];
        Shard& s = sources[static_cast<std::size_t>(i)];
        if (row < count) {
            s.path = r.from.chunkPath(first + row);
        } else if (row < k) {
            s.memory = &r.meta;
            s.offset = (row - count) * a.chunkSize;
        } else {
            s.path = r.from.recoveryPath(g * n + (row - k));
            isParity[static_cast<std::size_t>(i)] = true;
        }
    }
    std::vector<plat::File> outs(static_cast<std::size_t>(lostCount));
    std::vector<std::string> outNames(static_cast<std::size_t>(lostCount));
    std::vector<Sha256> outHashes(static_cast<std::size_t>(lostCount));
    for (int l = 0; l < lostCount; ++l) {
        const int shard = plan.lostShards[static_cast<std::size_t>(l)];
        if (shard >= count) continue;
        outNames[static_cast<std::size_t>(l)] = r.to.chunkName(first + shard);
        const std::string path = r.to.chunkPath(first + shard);
        if (Outcome o =
                outs[static_cast<std::size_t>(l)].open(path.c_str(), plat::File::Mode::CreateNew);
            !o)
            return o;
    }
    // Only the manifest and tree bytes of the meta shards, not their padding.
    std::vector<char> metaRebuilt(
        plan.metaLost ? static_cast<std::size_t>(h.manifestSize + h.treeSize) : 0);
    const std::int64_t lastSize = a.totalSize - std::int64_t{a.chunkCount - 1} * a.chunkSize;
    auto sink = [&](std::int64_t at, std::size_t length, std::vector<unsigned char*>& out) {
        for (int l = 0; l < lostCount; ++l) {
            const int shard = plan.lostShards[static_cast<std::size_t>(l)];
            const unsigned char* bytes = out[static_cast<std::size_t>(l)];
            if (shard >= count) {
                const std::int64_t into = (shard - count) * a.chunkSize + at;
                const auto size = static_cast<std::int64_t>(metaRebuilt.size());
                if (into < size)
                    std::memcpy(metaRebuilt.data() + into, bytes,
                                static_cast<std::size_t>(std::min<std::int64_t>(
                                    static_cast<std::int64_t>(length), size - into)));
                continue;
            }
            const std::int64_t size = first + shard == a.chunkCount - 1 ? lastSize : a.chunkSize;
            if (at >= size) continue;
            const auto keep = static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(length), size - at));
            // Hashed as written: the bytes are in hand, and the file is new and ours.
            outHashes[static_cast<std::size_t>(l)].update(bytes, keep);
            if (Outcome o = outs[static_cast<std::size_t>(l)].write(bytes, keep); !o) return o;
        }
        return Outcome::success();
    };
    if (Outcome o = codeStripes(r, h, sources, isParity, tables, lostCount, sink); !o) return o;
    // Every rebuilt chunk must be the chunk that was lost, byte for byte.
    for (int l = 0; l < lostCount; ++l) {
        const std::string& name = outNames[static_cast<std::size_t>(l)];
        if (name.empty()) continue;
        if (Outcome o = outs[static_cast<std::size_t>(l)].close(); !o) return o;
        const std::string hex = outHashes[static_cast<std::size_t>(l)].finishHex();
        if (!matchesProven(a, name, hex)) {
            // Wrong bytes under a chunk's name must not outlive the failure.
            plat::removeFile(r.to.pathOf(name).c_str());
            return Outcome::failure(Fault::Damaged, r.from.pathOf(name),
                                    "the rebuilt chunk does not match its witness", EIO);
        }
        r.rebuilt->push_back(name);
    }
    if (plan.metaLost) return keepRebuiltMeta(r, h, metaRebuilt);
    return Outcome::success();
}

// Codes a group's lost recovery files again from its whole data, rebuilt chunks included.
Outcome recodeLostRecs(Rebuild& r, int g, const GroupPlan& plan) {
    const Header& h = *plan.h;
    const RecoveryAssessment& a = r.a;
    const int k = h.dataShards;
    const int n = h.parity;
    const int lostCount = static_cast<int>(plan.lostRecs.size());
    const std::vector<unsigned char> a0 = matrixFor(k, n);
    std::vector<unsigned char> rowsOut(static_cast<std::size_t>(lostCount * k));
    for (int l = 0; l < lostCount; ++l)
        std::memcpy(rowsOut.data() + l * k,
                    a0.data() + (k + plan.lostRecs[static_cast<std::size_t>(l)]) * k,
                    static_cast<std::size_t>(k));
    std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * lostCount));
    ec_init_tables(k, lostCount, rowsOut.data(), tables.data());
    std::vector<Shard> sources(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i) {
        Shard& s = sources[static_cast<std::size_t>(i)];
        if (i < h.groupChunks) {
            const std::string name = r.from.chunkName(h.firstChunk + i);
            const bool mended =
                std::find(r.rebuilt->begin(), r.rebuilt->end(), name) != r.rebuilt->end();
            s.path = (mended ? r.to : r.from).pathOf(name);
        } else {
            s.memory = &r.meta;
            s.offset = (i - h.groupChunks) * a.chunkSize;
        }
    }
    std::vector<plat::File> outs(static_cast<std::size_t>(lostCount));
    std::vector<Sha256> hashes(static_cast<std::size_t>(lostCount));
    for (int l = 0; l < lostCount; ++l) {
        const std::string path =
            r.to.recoveryPath(g * n + plan.lostRecs[static_cast<std::size_t>(l)]);
        plat::File& out = outs[static_cast<std::size_t>(l)];
        if (Outcome o = out.open(path.c_str(), plat::File::Mode::CreateNew); !o) return o;
        if (Outcome o = out.seek(kRecoveryHeaderSize); !o) return o;
    }
    auto sink = [&](std::int64_t, std::size_t length, std::vector<unsigned char*>& out) {
        for (int l = 0; l < lostCount; ++l) {
            hashes[static_cast<std::size_t>(l)].update(out[static_cast<std::size_t>(l)], length);
            if (Outcome o = outs[static_cast<std::size_t>(l)].write(
                    out[static_cast<std::size_t>(l)], length);
                !o)
                return o;
        }
        return Outcome::success();
    };
    const std::vector<bool> isParity(static_cast<std::size_t>(k), false);
    if (Outcome o = codeStripes(r, h, sources, isParity, tables, lostCount, sink); !o) return o;
    for (int l = 0; l < lostCount; ++l) {
        Header again = h;
        again.index = plan.lostRecs[static_cast<std::size_t>(l)];
        again.paritySha = hashes[static_cast<std::size_t>(l)].finishHex();
        if (Outcome o = finishRecoveryFile(outs[static_cast<std::size_t>(l)], again); !o) return o;
        r.rebuilt->push_back(r.to.recoveryName(g * n + again.index));
    }
    return Outcome::success();
}

// Rebuilds what each group lost: its data shards and, with recode, its recovery files.
Outcome rebuildGroups(Rebuild& r, const std::map<std::int64_t, Header>& headers,
                      const std::map<std::int64_t, bool>& usable, bool recode) {
    for (int g = 0; g < r.a.groups; ++g) {
        const GroupPlan plan = planGroup(r, g, headers, usable);
        if (plan.h == nullptr) continue;  // nothing lost here then, or the set is not repairable
        if (!recode && plan.lostShards.empty()) continue;
        if (g == 0 && plan.h->metaShards > 0 && !plan.metaLost)
            if (Outcome o = loadMeta(r, *plan.h); !o) return o;
        if (plan.lostShards.size() > plan.spare.size())
            return Outcome::failure(Fault::Unrepairable, r.from.folder(),
                                    "cannot be repaired: too many files are lost", EIO);
        if (!plan.lostShards.empty())
            if (Outcome o = decodeLostShards(r, g, plan); !o) return o;
        if (recode && !plan.lostRecs.empty())
            if (Outcome o = recodeLostRecs(r, g, plan); !o) return o;
    }
    return Outcome::success();
}

}  // namespace

Outcome rebuildLost(const std::string& folder, const RecoveryAssessment& a,
                    const std::string& outFolder, JobControl& control,
                    std::vector<std::string>* rebuilt) {
    rebuilt->clear();
    if (!a.present || !a.repairable)
        return Outcome::failure(Fault::Unrepairable, folder, "cannot be repaired", EIO);
    Scan scan;
    if (Outcome o = scanRecovery(folder, control, &scan); !o) return o;
    // Only the set's own recovery files, exactly as they were assessed, rebuild anything;
    // a damaged one of the set still tells the layout.
    std::map<std::int64_t, Header> headers;
    std::map<std::int64_t, bool> usable;
    for (const RecFile& f : scan.files) {
        if (f.read != HeaderRead::Sound || f.h.stem != a.stem) continue;
        const std::int64_t number = f.number();
        if (number >= static_cast<std::int64_t>(a.recoveryFiles.size())) continue;
        const RecoveryFile& assessed = a.recoveryFiles[static_cast<std::size_t>(number)];
        if (assessed.state == FileState::Ok && f.parityIntact && f.sha == assessed.sha256) {
            headers[number] = f.h;
            usable[number] = true;
        }
    }
    // The set's files whose parity was hit: their headers, when they agree with the rest.
    for (const RecFile& f : scan.files) {
        if (f.read != HeaderRead::Sound || f.h.stem != a.stem || headers.count(f.number()) ||
            f.number() >= static_cast<std::int64_t>(a.recoveryFiles.size()) ||
            a.recoveryFiles[static_cast<std::size_t>(f.number())].state != FileState::Damaged)
            continue;
        if (headers.empty() || sameSet(f.h, headers.begin()->second)) headers[f.number()] = f.h;
    }
    if (headers.empty())
        return Outcome::failure(Fault::Changed, folder,
                                "its recovery files changed since they were assessed", EIO);

    Rebuild r{SetNames(folder, a.stem), SetNames(outFolder, a.stem), a, control, rebuilt, {}};
    return rebuildGroups(r, headers, usable, true);
}

Outcome rebuildListedChunks(const std::string& folder, const std::string& stem,
                            std::int32_t chunkCount, const std::map<std::string, std::string>& list,
                            const std::vector<std::int32_t>& lost, const std::string& outFolder,
                            JobControl& control, std::vector<std::string>* rebuilt) {
    rebuilt->clear();
    const SetNames names(folder, stem);
    // Only headers of files the list names, of this set, that agree with the list and with
    // each other: the list is the witness, and their parity proves itself in what it rebuilds.
    std::map<std::int64_t, Header> headers;
    std::map<std::int64_t, bool> usable;
    for (const auto& entry : list) {
        if (control.cancelRequested()) return Outcome::cancel();
        if (names.recoveryNumberOf(entry.first) < 0) continue;
        RecFile f;
        f.name = entry.first;
        plat::File file;
        std::vector<unsigned char> bytes;
        if (!file.open(names.pathOf(f.name).c_str(), plat::File::Mode::Read) ||
            !readRecHeader(file, &f, &bytes) || f.h.stem != stem || f.h.chunkCount != chunkCount ||
            !agreesWithList(f.h, list))
            continue;
        if (!headers.empty() && !sameSet(f.h, headers.begin()->second))
            return Outcome::failure(Fault::Foreign, names.pathOf(f.name),
                                    "the set's recovery headers do not agree", EIO);
        headers[f.number()] = f.h;
        usable[f.number()] = true;
    }
    if (headers.empty())
        return Outcome::failure(Fault::Unrepairable, folder,
                                "none of the recovery files its list names can be read", EIO);
    RecoveryAssessment a;
    describeSet(headers.begin()->second, &a);
    a.chunks.assign(static_cast<std::size_t>(chunkCount), FileState::Ok);
    for (const std::int32_t i : lost) {
        if (i < 0 || i >= chunkCount)
            return Outcome::failure(Fault::Malformed, folder, "no such chunk", EINVAL);
        a.chunks[static_cast<std::size_t>(i)] = FileState::Missing;
    }
    a.proven = list;
    for (const std::int32_t i : lost)
        if (std::none_of(headers.begin(), headers.end(), [&](const auto& h) {
                return h.second.firstChunk <= i && i < h.second.firstChunk + h.second.groupChunks;
            }))
            return Outcome::failure(Fault::Unrepairable, names.chunkPath(i),
                                    "no recovery file its list names covers it", EIO);
    Rebuild r{names, SetNames(outFolder, stem), a, control, rebuilt, {}};
    // A recovery file the list names but the folder lacks is left for a repair.
    return rebuildGroups(r, headers, usable, false);
}

}  // namespace morvane
