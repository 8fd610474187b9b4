#include "engine/mover.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace morvane {
namespace {

constexpr std::size_t kBlock = 1 << 20;
// Progress moves at least this often, so a 500 ms poll sees steady movement,
// and a cancel request is seen within a few milliseconds.
constexpr std::int64_t kKernelStep = 8 << 20;

struct FreeBlock {
    void operator()(char* p) const { std::free(p); }
};

char* blockBuffer() {
    // Two page-aligned blocks per worker thread, kept: a folder split moves thousands of
    // small pieces. The second lets a hash run on one block while the other is filled.
    thread_local std::unique_ptr<char, FreeBlock> buffer(
        static_cast<char*>(std::aligned_alloc(4096, 2 * kBlock)));
    return buffer.get();
}

// Hashes blocks on a thread of its own while the caller writes and reads the next one,
// so a verified copy costs the slower of the two, not their sum.
class HashThread {
public:
    explicit HashThread(Sha256& hash) : hash_(hash), thread_([this] { loop(); }) {}
    ~HashThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    HashThread(const HashThread&) = delete;
    HashThread& operator=(const HashThread&) = delete;

    void start(const char* bytes, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ = bytes;
        length_ = length;
        busy_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return busy_ || stop_; });
            if (busy_) {
                lock.unlock();
                hash_.update(bytes_, length_);
                lock.lock();
                busy_ = false;
                changed_.notify_all();
            } else if (stop_) {
                lock.unlock();
                endThreadHashing();
                return;
            }
        }
    }

    Sha256& hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const char* bytes_ = nullptr;
    std::size_t length_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Below this a second thread costs more than it saves.
constexpr std::int64_t kThreadedHashFrom = 8 << 20;

Outcome moveHashed(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                   JobControl& control, Sha256& hash) {
    char* buffer = blockBuffer();
    if (buffer == nullptr) return Outcome::systemFailure(to.path(), ENOMEM);
    auto readBlock = [&](char* into, std::size_t* got) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length - *moved));
        *got = 0;
        return want == 0 ? Outcome::success() : from.read(into, want, got);
    };
    if (length < kThreadedHashFrom) {
        while (*moved < length) {
            if (control.cancelRequested()) return Outcome::cancel();
            std::size_t got = 0;
            if (Outcome o = readBlock(buffer, &got); !o) return o;
            if (got == 0) break;
            hash.update(buffer, got);
            if (Outcome o = to.write(buffer, got); !o) return o;
            *moved += static_cast<std::int64_t>(got);
            control.advance(static_cast<std::int64_t>(got));
        }
        return Outcome::success();
    }
    HashThread hasher(hash);
    char* blocks[2] = {buffer, buffer + kBlock};
    int current = 0;
    std::size_t got = 0;
    if (Outcome o = readBlock(blocks[current], &got); !o) return o;
    while (got > 0) {
        if (control.cancelRequested()) {
            return Outcome::cancel();
        }
        hasher.start(blocks[current], got);
        Outcome o = to.write(blocks[current], got);
        if (o) {
            *moved += static_cast<std::int64_t>(got);
            control.advance(static_cast<std::int64_t>(got));
        }
        std::size_t next = 0;
        if (o) o = readBlock(blocks[1 - current], &next);
        hasher.wait();
        if (!o) return o;
        current = 1 - current;
        got = next;
    }
    return Outcome::success();
}

}  // namespace

Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, Sha256* hash) {
    *moved = 0;
    if (hash != nullptr) return moveHashed(from, to, length, moved, control, *hash);
    // The kernel copies without bringing the bytes up to us; an appending output is
    // something it refuses, so that goes by hand straight away.
    bool kernel = !to.appends();
    while (kernel && *moved < length) {
        if (control.cancelRequested()) return Outcome::cancel();
        const auto want = static_cast<std::size_t>(std::min(kKernelStep, length - *moved));
        std::size_t got = 0;
        bool supported = true;
        if (Outcome o = to.copyFrom(from, want, &got, &supported); !o) return o;
        if (!supported) {
            kernel = false;
            break;
        }
        if (got == 0) return Outcome::success();
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    char* buffer = *moved < length ? blockBuffer() : nullptr;
    if (*moved < length && buffer == nullptr) return Outcome::systemFailure(to.path(), ENOMEM);
    while (*moved < length) {
        if (control.cancelRequested()) return Outcome::cancel();
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length - *moved));
        std::size_t got = 0;
        if (Outcome o = from.read(buffer, want, &got); !o) return o;
        if (got == 0) break;
        if (Outcome o = to.write(buffer, got); !o) return o;
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    return Outcome::success();
}

Outcome skipBytes(plat::File& from, std::int64_t length, std::int64_t* moved, JobControl& control,
                  Sha256* hash) {
    *moved = 0;
    if (hash == nullptr) {
        std::int64_t at = 0;
        std::int64_t size = 0;
        if (Outcome o = from.position(&at); !o) return o;
        if (Outcome o = from.size(&size); !o) return o;
        *moved = std::max<std::int64_t>(0, std::min(length, size - at));
        control.advance(*moved);
        return from.seek(at + *moved);
    }
    char* buffer = blockBuffer();
    if (buffer == nullptr) return Outcome::systemFailure(from.path(), ENOMEM);
    while (*moved < length) {
        if (control.cancelRequested()) return Outcome::cancel();
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length - *moved));
        std::size_t got = 0;
        if (Outcome o = from.read(buffer, want, &got); !o) return o;
        if (got == 0) break;
        hash->update(buffer, got);
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    return Outcome::success();
}

}  // namespace morvane
