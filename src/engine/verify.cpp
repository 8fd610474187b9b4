#include "engine/verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/digest.h"

namespace morvane {
namespace {

constexpr std::size_t kBlock = 1 << 20;

// A fingerprint's block: the file's size, then its first bytes.
constexpr std::size_t kFingerprintBlock = 1024;
constexpr std::size_t kFingerprintHead = kFingerprintBlock - 8;

// Hashes file from its position to its end; head, when given, gets its first
// kFingerprintHead bytes, and zeros after a shorter file's end.
Outcome hashRest(plat::File& file, Sha256& hash, JobControl* control,
                 unsigned char* head = nullptr) {
    // Kept for the thread: a check of thousands of small chunks would otherwise map and
    // unmap a block for each, and every unmap stops the other core.
    char* const block = plat::threadBlock(kBlock);
    if (block == nullptr) return Outcome::systemFailure(file.path(), ENOMEM);
    if (head != nullptr) std::memset(head, 0, kFingerprintHead);
    std::size_t headHave = 0;
    bool first = true;
    for (;;) {
        if (control != nullptr && control->cancelRequested()) return Outcome::cancel();
        std::size_t got = 0;
        if (Outcome o = file.read(block, kBlock, &got); !o) return o;
        if (got == 0) return Outcome::success();
        // Read-ahead pays only beyond the first block: most small chunks end within it.
        if (first && got == kBlock) file.adviseSequential();
        first = false;
        if (head != nullptr && headHave < kFingerprintHead) {
            const std::size_t n = std::min(got, kFingerprintHead - headHave);
            std::memcpy(head + headHave, block, n);
            headHave += n;
        }
        hash.update(block, got);
        if (control != nullptr) control->advance(static_cast<std::int64_t>(got));
    }
}

}  // namespace

Outcome hashFile(const std::string& path, JobControl* control, std::string* hex, std::int64_t* size,
                 char* fingerprint) {
    plat::File file;
    if (Outcome o = file.open(path.c_str(), plat::File::Mode::Read); !o) return o;
    // One context per thread, kept, like the block.
    MORVANE_KEPT_PER_THREAD Sha256 hash;
    unsigned char block[kFingerprintBlock];
    const Outcome o = hashRest(file, hash, control, fingerprint != nullptr ? block + 8 : nullptr);
    const std::int64_t length = hash.length();
    hash.finishHex(hex);
    if (!o) return o;
    if (size != nullptr) *size = length;
    if (fingerprint != nullptr) {
        std::memcpy(block, &length, sizeof length);
        md5Hex(block, kFingerprintBlock, fingerprint);
    }
    return file.close();
}

Outcome checksumMismatch(const std::string& path) {
    return Outcome::failure(Fault::Damaged, path, "does not match its checksum", EIO);
}

namespace {
Outcome notListed(const std::string& path) {
    return Outcome::failure(Fault::Malformed, path, "is not in the checksum list", EINVAL);
}
}  // namespace

ChunkVerifier::ChunkVerifier(std::string chunkDir, std::string stem, std::int32_t chunkCount,
                             const std::map<std::string, std::string>& digests, JobControl& control)
    : names_(std::move(chunkDir), std::move(stem)),
      count_(chunkCount),
      digests_(digests),
      control_(control),
      done_(static_cast<std::size_t>(chunkCount > 0 ? chunkCount : 0), false) {}

Sha256* ChunkVerifier::before(std::int32_t index, std::int64_t offset) {
    if (index != current_) {
        failed_.absorb(finishCurrent());
        current_ = index;
        hashedUpTo_ = 0;
        inOrder_ = index >= 0 && index < count_ && !done_[static_cast<std::size_t>(index)];
    }
    if (offset != hashedUpTo_) inOrder_ = false;
    return inOrder_ ? &hash_ : nullptr;
}

Outcome ChunkVerifier::finishCurrent() {
    if (current_ < 0 || current_ >= count_ || done_[static_cast<std::size_t>(current_)])
        return Outcome::success();
    const std::int32_t index = current_;
    current_ = -1;
    done_[static_cast<std::size_t>(index)] = true;
    const std::string path = names_.chunkPath(index);
    const auto digest = digests_.find(names_.chunkName(index));
    if (digest == digests_.end()) return notListed(path);
    if (!inOrder_) {
        hash_.finishHex();
        return check(index, digest->second);
    }
    // The bytes after the last piece still belong to the chunk.
    plat::File file;
    Outcome o = file.open(path.c_str(), plat::File::Mode::Read);
    if (o) o = file.seek(hashedUpTo_);
    if (o) o = hashRest(file, hash_, nullptr);
    if (!o) {
        hash_.finishHex();
        return o;
    }
    return hash_.finishHex() == digest->second ? Outcome::success() : checksumMismatch(path);
}

Outcome ChunkVerifier::hashedWhole(std::int32_t index, const std::string& digest) {
    failed_.absorb(finishCurrent());
    if (index < 0 || index >= count_ || done_[static_cast<std::size_t>(index)]) return failed_;
    done_[static_cast<std::size_t>(index)] = true;
    const std::string path = names_.chunkPath(index);
    const auto listed = digests_.find(names_.chunkName(index));
    if (listed == digests_.end())
        failed_.absorb(notListed(path));
    else if (listed->second != digest)
        failed_.absorb(checksumMismatch(path));
    return failed_;
}

Outcome ChunkVerifier::check(std::int32_t index, const std::string& digest) {
    const std::string path = names_.chunkPath(index);
    std::string hex;
    if (Outcome o = hashFile(path, nullptr, &hex); !o) return o;
    return hex == digest ? Outcome::success() : checksumMismatch(path);
}

Outcome ChunkVerifier::finish() {
    failed_.absorb(finishCurrent());
    for (std::int32_t i = 0; i < count_ && failed_.ok; ++i) {
        if (done_[static_cast<std::size_t>(i)]) continue;
        if (control_.cancelRequested()) return Outcome::cancel();
        done_[static_cast<std::size_t>(i)] = true;
        const std::string path = names_.chunkPath(i);
        const auto digest = digests_.find(names_.chunkName(i));
        failed_.absorb(digest == digests_.end() ? notListed(path) : check(i, digest->second));
    }
    return failed_;
}

}  // namespace morvane
