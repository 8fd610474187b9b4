#pragma once
// Encrypted chunk sets. The key comes from the password through Argon2id with a salt of
// the set's own; the data travel in XChaCha20-Poly1305 frames, each bound to the set, its
// chunk, its place in the chunk and the header, so that no frame can move or change
// unnoticed. The sealed header (the set's tree file in an encrypted set) holds the KDF's
// parameters and a key check in the clear, and the names, sizes and tree sealed.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/job_control.h"
#include "engine/manifest.h"
#include "engine/sha256.h"
#include "platform/native.h"
#include "platform/outcome.h"

namespace morvane {

// The password digest field of an encrypted set's manifest. No MD5 text equals it, so a
// copy of the program that only knows the old digest refuses every password.
inline constexpr char kSealedMark[] = "sealed:xchacha20poly1305:argon2id";
inline constexpr std::size_t kFrameBytes = std::size_t{1} << 20;  // plaintext per frame
inline constexpr std::size_t kFrameOverhead = 16;                 // the tag of every frame
inline constexpr std::size_t kSealedClearBytes = 144;             // the header before its seal
inline constexpr char kSealedMagic[] = "MORVANE-SEALED-1";

struct KdfCost {
    std::uint64_t opsLimit = 0;
    std::uint64_t memLimit = 0;  // bytes
};
// What a new set is sealed with: about 0.4 s and 128 MiB on a current two-core machine.
inline constexpr KdfCost kDefaultKdfCost{3, std::uint64_t{128} << 20};
// A reader refuses more before it derives anything: a hostile header must not cost
// minutes or gigabytes.
inline constexpr std::uint64_t kMaxOpsLimit = 16;
inline constexpr std::uint64_t kMaxMemLimit = std::uint64_t{1} << 30;

// The plaintext a chunk of diskChunkSize bytes on disk holds; 0 when it cannot hold any.
std::int64_t sealedDataPerChunk(std::int64_t diskChunkSize);
// The bytes on disk of plainBytes sealed as one chunk.
std::int64_t sealedSizeOf(std::int64_t plainBytes);

// The data key and what every frame is bound to. Wiped when it goes.
class SealKey {
public:
    SealKey();
    ~SealKey();
    SealKey(const SealKey&) = delete;
    SealKey& operator=(const SealKey&) = delete;
    unsigned char* data() { return key_; }
    const unsigned char* data() const { return key_; }

    std::array<unsigned char, 16> setId{};
    std::array<unsigned char, 32> headerHash{};  // of the clear header
    std::int32_t chunkCount = 0;

private:
    unsigned char* key_;  // in guarded memory, never swapped out
};

struct SealedHeader {
    KdfCost cost;
    std::array<unsigned char, 16> salt{};
    std::array<unsigned char, 16> setId{};
    std::uint32_t frameBytes = kFrameBytes;
    std::int32_t chunkCount = 0;
    std::int64_t diskChunkSize = 0;  // of every chunk but the last
    std::int64_t dataPerChunk = 0;   // plaintext of every chunk but the last
    std::int64_t plainTotal = 0;
    std::array<unsigned char, 32> keyCheck{};
    std::vector<unsigned char> sealedContents;

    // The plaintext of chunk index, and its size on disk.
    std::int64_t plainOf(std::int32_t index) const;
    std::int64_t diskSizeOf(std::int32_t index) const { return sealedSizeOf(plainOf(index)); }
};

// What an encrypted set hides: the source's name, the manifest of its plaintext (names,
// sizes and where each piece lies) and its tree file.
struct SealedContents {
    std::string sourceName;
    Manifest manifest;
    std::string treeText;
};

// A fresh header for a set: a random salt and set id, the key derived once, its check.
Outcome newSealedHeader(const std::string& password, KdfCost cost, std::int64_t diskChunkSize,
                        std::int64_t plainTotal, SealedHeader* header, SealKey* key);
// Seals contents into header.
Outcome sealContents(const SealKey& key, const SealedContents& contents, SealedHeader* header);
std::vector<char> encodeSealedHeader(const SealedHeader& header);
// Refuses a header that does not hold together, or asks more of the KDF than its hard
// limits allow, before any key is derived.
Outcome parseSealedHeader(const std::string& bytes, const std::string& path, SealedHeader* header);
Outcome readSealedHeader(const std::string& folder, SealedHeader* header);
// Derives the key and checks it: WrongPassword, before anything is decrypted.
Outcome unlockSealed(const SealedHeader& header, const std::string& password, SealKey* key);
Outcome openContents(const SealedHeader& header, const SealKey& key, const std::string& path,
                     SealedContents* contents);

// Frame flags, bound with every frame.
inline constexpr unsigned char kLastInChunk = 1;
inline constexpr unsigned char kLastOfSet = 2;

// Seals n plaintext bytes into out (n + kFrameOverhead bytes).
void sealFrame(const SealKey& key, std::int32_t chunk, std::uint32_t frame, unsigned char flags,
               const unsigned char* plain, std::size_t n, unsigned char* out);
// Opens a frame of n sealed bytes into out; false when it fails authentication.
bool openFrame(const SealKey& key, std::int32_t chunk, std::uint32_t frame, unsigned char flags,
               const unsigned char* sealed, std::size_t n, unsigned char* out);

// Hands filled buffers to a thread of its own, which works on them in order while the
// caller fills the next: sealing on one core, hashing and writing on the other.
class Handoff {
public:
    using Work = std::function<Outcome(const unsigned char* bytes, std::size_t n)>;
    explicit Handoff(std::size_t bufferBytes);
    // Waits for the work handed over, then stops the thread.
    ~Handoff();
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;

    // A free buffer; waits while every one is taken.
    unsigned char* acquire();
    // The first n bytes of buffer, from acquire(), go to work; a null work only gives the
    // buffer back. After a failure, work handed over is dropped.
    void submit(unsigned char* buffer, std::size_t n, Work work);
    // Waits until everything handed over is done: success or the first failure.
    Outcome drain();
    // True once a work failed: whatever follows is dropped, so the caller may stop early.
    bool failed();

private:
    void loop();
    struct Item {
        unsigned char* buffer;
        std::size_t n;
        Work work;
    };
    static constexpr int kBuffers = 4;
    std::vector<std::vector<unsigned char>> buffers_;
    std::vector<unsigned char*> free_;
    std::deque<Item> queue_;
    bool busy_ = false;
    bool stop_ = false;
    Outcome failed_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

// Seals the plaintext of a split into its chunks, frame by frame; the frames are hashed
// and written on a second thread.
class ChunkSealer {
public:
    explicit ChunkSealer(const SealKey& key);
    void beginChunk(plat::File& out, std::int32_t index, Sha256* hash);
    // Reads up to length bytes of from into the chunk; *moved gets the bytes read. After a
    // failure nothing is left to write.
    Outcome feed(plat::File& from, std::int64_t length, std::int64_t* moved, JobControl& control);
    // Seals what is left as the chunk's last frame and waits until the chunk is written.
    Outcome endChunk();

private:
    void sealBuffered(bool last);

    const SealKey& key_;
    std::vector<unsigned char> plain_;
    std::vector<unsigned char> next_;
    Handoff writer_;
    std::size_t filled_ = 0;
    std::uint32_t frame_ = 0;
    std::int32_t chunk_ = 0;
    plat::File* out_ = nullptr;
    Sha256* hash_ = nullptr;
};

}  // namespace morvane
