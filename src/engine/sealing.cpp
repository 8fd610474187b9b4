#include "engine/sealing.h"

#include <sodium.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/set_names.h"

namespace morvane {
namespace {

static_assert(std::endian::native == std::endian::little, "the header is little-endian");
static_assert(kFrameOverhead == crypto_aead_xchacha20poly1305_ietf_ABYTES);

constexpr std::uint32_t kVersion = 1;
constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "mrvnseal";
constexpr std::uint64_t kDataSubkey = 1;
constexpr std::uint64_t kCheckSubkey = 2;
constexpr std::size_t kCheckedBytes = 104;  // what the key check covers
constexpr std::size_t kHashedBytes = 136;   // what every frame is bound to
// The sealed contents: a name, a manifest of a few records per file and a tree file.
constexpr std::uint64_t kMaxContents = std::uint64_t{1} << 30;

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

template <typename T>
void put(std::vector<char>& b, std::size_t at, T value) {
    std::memcpy(b.data() + at, &value, sizeof value);
}
template <typename T>
T get(const std::string& b, std::size_t at) {
    T value;
    std::memcpy(&value, b.data() + at, sizeof value);
    return value;
}

void appendText(std::string& out, const std::string& text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    out += text;
}
bool takeText(const std::string& in, std::size_t* at, std::string* text) {
    std::uint32_t n = 0;
    if (in.size() - *at < sizeof n) return false;
    std::memcpy(&n, in.data() + *at, sizeof n);
    *at += sizeof n;
    if (in.size() - *at < n) return false;
    *text = in.substr(*at, n);
    *at += n;
    return true;
}

// The nonce is unique per key without being stored: every set has a key of its own, and
// a frame's place in the set is unique. Index 0xFFFFFFFF, never a chunk's, seals the contents.
std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES> nonceOf(
    std::uint32_t chunk, std::uint32_t frame, unsigned char flags) {
    std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES> n{};
    std::memcpy(n.data(), &chunk, 4);
    std::memcpy(n.data() + 4, &frame, 4);
    n[8] = flags;
    return n;
}

struct FrameAd {
    unsigned char bytes[16 + 4 + 4 + 4 + 1 + 32];
};
FrameAd adOf(const SealKey& key, std::uint32_t chunk, std::uint32_t frame, unsigned char flags) {
    FrameAd ad{};
    unsigned char* p = ad.bytes;
    std::memcpy(p, key.setId.data(), 16);
    std::memcpy(p + 16, &chunk, 4);
    std::memcpy(p + 20, &key.chunkCount, 4);
    std::memcpy(p + 24, &frame, 4);
    p[28] = flags;
    std::memcpy(p + 29, key.headerHash.data(), 32);
    return ad;
}

Outcome malformed(const std::string& path, const std::string& what) {
    return Outcome::failure(Fault::Malformed, path, "the sealed header " + what, EINVAL);
}

// The key from the password, the check value and what the frames are bound to.
Outcome deriveKey(const SealedHeader& h, const std::vector<char>& clear,
                  const std::string& password, SealKey* key, std::array<unsigned char, 32>* check) {
    if (!sodiumReady()) return Outcome::failure(Fault::System, "", "libsodium did not start");
    unsigned char master[32];
    if (crypto_pwhash(master, sizeof master, password.data(), password.size(), h.salt.data(),
                      h.cost.opsLimit, static_cast<std::size_t>(h.cost.memLimit),
                      crypto_pwhash_ALG_ARGON2ID13) != 0)
        return Outcome::failure(Fault::System, "", "the key could not be derived (out of memory)",
                                ENOMEM);
    unsigned char checkKey[32];
    crypto_kdf_derive_from_key(key->data(), 32, kDataSubkey, kKdfContext, master);
    crypto_kdf_derive_from_key(checkKey, sizeof checkKey, kCheckSubkey, kKdfContext, master);
    crypto_generichash(check->data(), check->size(),
                       reinterpret_cast<const unsigned char*>(clear.data()), kCheckedBytes,
                       checkKey, sizeof checkKey);
    sodium_memzero(master, sizeof master);
    sodium_memzero(checkKey, sizeof checkKey);
    key->setId = h.setId;
    key->chunkCount = h.chunkCount;
    return Outcome::success();
}

void bindHeader(const std::vector<char>& clear, SealKey* key) {
    crypto_generichash(key->headerHash.data(), key->headerHash.size(),
                       reinterpret_cast<const unsigned char*>(clear.data()), kHashedBytes, nullptr,
                       0);
}

}  // namespace

std::int64_t sealedDataPerChunk(std::int64_t disk) {
    const auto frame = static_cast<std::int64_t>(kFrameBytes + kFrameOverhead);
    const std::int64_t rest = disk % frame;
    return disk / frame * static_cast<std::int64_t>(kFrameBytes) +
           std::max<std::int64_t>(0, rest - static_cast<std::int64_t>(kFrameOverhead));
}

std::int64_t sealedSizeOf(std::int64_t plain) {
    const auto frame = static_cast<std::int64_t>(kFrameBytes);
    const std::int64_t frames = (plain + frame - 1) / frame;
    return plain + frames * static_cast<std::int64_t>(kFrameOverhead);
}

std::int64_t SealedHeader::plainOf(std::int32_t index) const {
    return std::min(dataPerChunk, plainTotal - static_cast<std::int64_t>(index) * dataPerChunk);
}

SealKey::SealKey()
    : key_(static_cast<unsigned char*>(sodiumReady() ? sodium_malloc(32) : nullptr)) {
    if (key_ == nullptr) throw std::bad_alloc();
}

SealKey::~SealKey() {
    sodium_free(key_);
}

Outcome newSealedHeader(const std::string& password, KdfCost cost, std::int64_t diskChunkSize,
                        std::int64_t plainTotal, SealedHeader* header, SealKey* key) {
    SealedHeader h;
    h.cost = cost;
    h.diskChunkSize = diskChunkSize;
    h.dataPerChunk = sealedDataPerChunk(diskChunkSize);
    if (h.dataPerChunk < 1)
        return Outcome::failure(
            Fault::Invalid, "",
            "an encrypted chunk must be larger than " + std::to_string(kFrameOverhead) + " bytes",
            EINVAL);
    h.plainTotal = plainTotal;
    const std::int64_t count = plainTotal / h.dataPerChunk + (plainTotal % h.dataPerChunk != 0);
    if (count > INT32_MAX)
        return Outcome::failure(Fault::Invalid, "", "the chunk size is too small", EINVAL);
    h.chunkCount = static_cast<std::int32_t>(count);
    if (!sodiumReady()) return Outcome::failure(Fault::System, "", "libsodium did not start");
    randombytes_buf(h.salt.data(), h.salt.size());
    randombytes_buf(h.setId.data(), h.setId.size());
    const std::vector<char> clear = encodeSealedHeader(h);
    if (Outcome o = deriveKey(h, clear, password, key, &h.keyCheck); !o) return o;
    bindHeader(encodeSealedHeader(h), key);
    *header = std::move(h);
    return Outcome::success();
}

Outcome sealContents(const SealKey& key, const SealedContents& contents, SealedHeader* header) {
    std::vector<char> manifest;
    if (Outcome o = encodeManifest(contents.manifest, &manifest); !o) return o;
    std::string plain;
    appendText(plain, contents.sourceName);
    appendText(plain, std::string(manifest.begin(), manifest.end()));
    appendText(plain, contents.treeText);
    header->sealedContents.assign(plain.size() + kFrameOverhead, 0);
    const std::vector<char> ad = encodeSealedHeader(*header);
    const auto nonce = nonceOf(0xFFFFFFFFu, 0, 0);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        header->sealedContents.data(), &written,
        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
        reinterpret_cast<const unsigned char*>(ad.data()), kSealedClearBytes, nullptr, nonce.data(),
        key.data());
    sodium_memzero(plain.data(), plain.size());
    return Outcome::success();
}

std::vector<char> encodeSealedHeader(const SealedHeader& h) {
    std::vector<char> b(kSealedClearBytes + h.sealedContents.size(), '\0');
    std::memcpy(b.data(), kSealedMagic, 16);
    put(b, 16, kVersion);
    put(b, 20, static_cast<std::uint32_t>(crypto_pwhash_ALG_ARGON2ID13));
    put(b, 24, h.cost.opsLimit);
    put(b, 32, h.cost.memLimit);
    std::memcpy(b.data() + 40, h.salt.data(), 16);
    std::memcpy(b.data() + 56, h.setId.data(), 16);
    put(b, 72, h.frameBytes);
    put(b, 76, h.chunkCount);
    put(b, 80, h.diskChunkSize);
    put(b, 88, h.dataPerChunk);
    put(b, 96, h.plainTotal);
    std::memcpy(b.data() + 104, h.keyCheck.data(), 32);
    put(b, 136, static_cast<std::uint64_t>(h.sealedContents.size()));
    std::copy(h.sealedContents.begin(), h.sealedContents.end(), b.begin() + kSealedClearBytes);
    return b;
}

Outcome parseSealedHeader(const std::string& b, const std::string& path, SealedHeader* out) {
    if (b.size() < kSealedClearBytes || std::memcmp(b.data(), kSealedMagic, 16) != 0)
        return malformed(path, "is not one (wrong magic)");
    if (get<std::uint32_t>(b, 16) != kVersion) return malformed(path, "has an unknown version");
    if (get<std::uint32_t>(b, 20) != crypto_pwhash_ALG_ARGON2ID13)
        return malformed(path, "names an unknown key derivation");
    SealedHeader h;
    h.cost = {get<std::uint64_t>(b, 24), get<std::uint64_t>(b, 32)};
    if (h.cost.opsLimit < crypto_pwhash_OPSLIMIT_MIN || h.cost.opsLimit > kMaxOpsLimit ||
        h.cost.memLimit < crypto_pwhash_MEMLIMIT_MIN || h.cost.memLimit > kMaxMemLimit)
        return malformed(path, "asks more of the key derivation than a reader allows (" +
                                   std::to_string(h.cost.opsLimit) + " passes, " +
                                   std::to_string(h.cost.memLimit >> 20) + " MiB)");
    std::memcpy(h.salt.data(), b.data() + 40, 16);
    std::memcpy(h.setId.data(), b.data() + 56, 16);
    h.frameBytes = get<std::uint32_t>(b, 72);
    h.chunkCount = get<std::int32_t>(b, 76);
    h.diskChunkSize = get<std::int64_t>(b, 80);
    h.dataPerChunk = get<std::int64_t>(b, 88);
    h.plainTotal = get<std::int64_t>(b, 96);
    std::memcpy(h.keyCheck.data(), b.data() + 104, 32);
    const auto sealed = get<std::uint64_t>(b, 136);
    if (h.frameBytes != kFrameBytes) return malformed(path, "has an unknown frame size");
    if (h.chunkCount < 0 || h.dataPerChunk < 1 || h.plainTotal < 0 ||
        h.dataPerChunk != sealedDataPerChunk(h.diskChunkSize) ||
        h.plainTotal / h.dataPerChunk + (h.plainTotal % h.dataPerChunk != 0) != h.chunkCount)
        return malformed(path, "has sizes that do not hold together");
    if (sealed < kFrameOverhead || sealed > kMaxContents || sealed != b.size() - kSealedClearBytes)
        return malformed(path, "has a sealed part of the wrong length");
    h.sealedContents.assign(b.begin() + kSealedClearBytes, b.end());
    *out = std::move(h);
    return Outcome::success();
}

Outcome readSealedHeader(const std::string& folder, SealedHeader* header) {
    const std::string path = SetNames(folder, {}).treePath();
    std::string bytes;
    if (Outcome o = plat::readWholeFile(path.c_str(), kMaxContents + kSealedClearBytes, &bytes); !o)
        return o.is(Fault::NotFound) ? Outcome::failure(Fault::Missing, o.path, o.reason, o.error)
                                     : o;
    if (Outcome o = parseSealedHeader(bytes, path, header); !o)
        return Outcome::failure(Fault::Damaged, o.path, o.reason, EINVAL);
    return Outcome::success();
}

Outcome unlockSealed(const SealedHeader& h, const std::string& password, SealKey* key) {
    const std::vector<char> clear = encodeSealedHeader(h);
    std::array<unsigned char, 32> check{};
    if (Outcome o = deriveKey(h, clear, password, key, &check); !o) return o;
    if (sodium_memcmp(check.data(), h.keyCheck.data(), check.size()) != 0)
        return Outcome::failure(Fault::WrongPassword, "", "wrong password");
    bindHeader(clear, key);
    return Outcome::success();
}

Outcome openContents(const SealedHeader& h, const SealKey& key, const std::string& path,
                     SealedContents* contents) {
    const std::vector<char> ad = encodeSealedHeader(h);
    std::string plain(h.sealedContents.size() - kFrameOverhead, '\0');
    const auto nonce = nonceOf(0xFFFFFFFFu, 0, 0);
    unsigned long long got = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(plain.data()), &got, nullptr, h.sealedContents.data(),
            h.sealedContents.size(), reinterpret_cast<const unsigned char*>(ad.data()),
            kSealedClearBytes, nonce.data(), key.data()) != 0)
        return Outcome::failure(Fault::Damaged, path,
                                "the sealed header fails authentication: it was changed", EIO);
    SealedContents c;
    std::size_t at = 0;
    std::string manifest;
    if (!takeText(plain, &at, &c.sourceName) || !takeText(plain, &at, &manifest) ||
        !takeText(plain, &at, &c.treeText) || at != plain.size())
        return malformed(path, "holds sealed contents that do not parse");
    if (Outcome o = decodeManifest(manifest, path, &c.manifest); !o) return o;
    if (c.manifest.recordsCutShort || c.manifest.totalSize != h.plainTotal)
        return malformed(path, "holds a manifest that does not fit the set");
    sodium_memzero(plain.data(), plain.size());
    *contents = std::move(c);
    return Outcome::success();
}

void sealFrame(const SealKey& key, std::int32_t chunk, std::uint32_t frame, unsigned char flags,
               const unsigned char* plain, std::size_t n, unsigned char* out) {
    const auto index = static_cast<std::uint32_t>(chunk);
    const FrameAd ad = adOf(key, index, frame, flags);
    const auto nonce = nonceOf(index, frame, flags);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(out, &written, plain, n, ad.bytes, sizeof ad.bytes,
                                               nullptr, nonce.data(), key.data());
}

bool openFrame(const SealKey& key, std::int32_t chunk, std::uint32_t frame, unsigned char flags,
               const unsigned char* sealed, std::size_t n, unsigned char* out) {
    if (n < kFrameOverhead) return false;
    const auto index = static_cast<std::uint32_t>(chunk);
    const FrameAd ad = adOf(key, index, frame, flags);
    const auto nonce = nonceOf(index, frame, flags);
    unsigned long long got = 0;
    return crypto_aead_xchacha20poly1305_ietf_decrypt(out, &got, nullptr, sealed, n, ad.bytes,
                                                      sizeof ad.bytes, nonce.data(),
                                                      key.data()) == 0;
}

Handoff::Handoff(std::size_t bufferBytes)
    : buffers_(kBuffers, std::vector<unsigned char>(bufferBytes)), thread_([this] { loop(); }) {
    for (std::vector<unsigned char>& b : buffers_) free_.push_back(b.data());
}

Handoff::~Handoff() {
    drain();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

unsigned char* Handoff::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    unsigned char* b = free_.back();
    free_.pop_back();
    return b;
}

void Handoff::submit(unsigned char* buffer, std::size_t n, Work work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({buffer, n, std::move(work)});
    }
    changed_.notify_all();
}

Outcome Handoff::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
    Outcome o = failed_;
    failed_ = Outcome::success();
    return o;
}

bool Handoff::failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_.ok;
}

void Handoff::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || stop_; });
        if (queue_.empty()) break;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        const bool skip = !failed_.ok;
        lock.unlock();
        Outcome o = skip || !item.work ? Outcome::success() : item.work(item.buffer, item.n);
        lock.lock();
        if (!o && failed_.ok) failed_ = o;
        free_.push_back(item.buffer);
        busy_ = false;
        changed_.notify_all();
    }
    lock.unlock();
    endThreadHashing();
}

ChunkSealer::ChunkSealer(const SealKey& key)
    : key_(key), plain_(kFrameBytes), next_(kFrameBytes), writer_(kFrameBytes + kFrameOverhead) {}

void ChunkSealer::beginChunk(plat::File& out, std::int32_t index, Sha256* hash) {
    out_ = &out;
    hash_ = hash;
    chunk_ = index;
    frame_ = 0;
    filled_ = 0;
}

void ChunkSealer::sealBuffered(bool last) {
    unsigned char flags = last ? kLastInChunk : 0;
    if (last && chunk_ == key_.chunkCount - 1) flags |= kLastOfSet;
    unsigned char* sealed = writer_.acquire();
    sealFrame(key_, chunk_, frame_, flags, plain_.data(), filled_, sealed);
    plat::File* out = out_;
    Sha256* hash = hash_;
    const auto at =
        static_cast<std::int64_t>(frame_) * static_cast<std::int64_t>(kFrameBytes + kFrameOverhead);
    writer_.submit(sealed, filled_ + kFrameOverhead,
                   [out, hash, at](const unsigned char* bytes, std::size_t n) {
                       if (hash != nullptr) hash->update(bytes, n);
                       Outcome o = out->write(bytes, n);
                       // The disk starts on each frame at once, so the flush before the
                       // rename finds little left.
                       if (o) out->startWriteback(at, static_cast<std::int64_t>(n));
                       return o;
                   });
    ++frame_;
    filled_ = 0;
}

Outcome ChunkSealer::feed(plat::File& from, std::int64_t length, std::int64_t* moved,
                          JobControl& control) {
    // The chunk the frames go to must not close while its frames are being written.
    auto stop = [this](Outcome o) {
        writer_.drain();
        return o;
    };
    *moved = 0;
    while (*moved < length) {
        if (control.cancelRequested()) return stop(Outcome::cancel());
        // A full disk ends the split now, not a chunk later.
        if (writer_.failed()) return writer_.drain();
        // A full frame is sealed only once more plaintext follows it: the chunk's last
        // frame carries its own flag.
        const bool full = filled_ == kFrameBytes;
        unsigned char* into = full ? next_.data() : plain_.data() + filled_;
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
            length - *moved,
            static_cast<std::int64_t>(full ? kFrameBytes : kFrameBytes - filled_)));
        std::size_t got = 0;
        if (Outcome o = from.read(into, want, &got); !o) return stop(o);
        if (got == 0) break;
        if (full) {
            sealBuffered(false);
            plain_.swap(next_);
        }
        filled_ += got;
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    return Outcome::success();
}

Outcome ChunkSealer::endChunk() {
    if (filled_ > 0 || frame_ == 0) sealBuffered(true);
    Outcome o = writer_.drain();
    sodium_memzero(plain_.data(), plain_.size());
    sodium_memzero(next_.data(), next_.size());
    return o;
}

}  // namespace morvane
