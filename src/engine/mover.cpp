#include "engine/mover.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace morvane {
namespace {

constexpr std::size_t kBlock = 1 << 20;
// Progress moves at least this often, so a 500 ms poll sees steady movement,
// and a cancel request is seen within a few milliseconds.
constexpr std::int64_t kKernelStep = 8 << 20;

char* blockBuffer() {
    // Two blocks: the second lets a hash run on one while the other is filled.
    return plat::threadBlock(2 * kBlock);
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

// Starts the disk writing what was just written, without waiting for it: the flush before
// the rename then finds most of the output already on the disk.
void startWriteback(plat::File& to, std::int64_t offset, std::int64_t length) {
    to.startWriteback(offset, length);
}

// Where the last got bytes written to `to` start.
std::int64_t outStartOf(plat::File& to, std::size_t got) {
    std::int64_t at = 0;
    return to.position(&at) ? at - static_cast<std::int64_t>(got) : 0;
}

// Hashes ranges of a file in order on a thread of its own, reading them back from the page
// cache, where the kernel's copy has just put them.
class RangeHasher {
public:
    RangeHasher(Sha256& hash, plat::File& file, char* buffer)
        : hash_(hash), file_(file), buffer_(buffer), thread_([this] { loop(); }) {}
    ~RangeHasher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    RangeHasher(const RangeHasher&) = delete;
    RangeHasher& operator=(const RangeHasher&) = delete;

    // Queues a range; waits while more than kAhead bytes are queued, so the pages are
    // still in the cache when their turn comes.
    void add(std::int64_t offset, std::int64_t length) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queued_ <= kAhead || failed_; });
        ranges_.emplace_back(offset, length);
        queued_ += length;
        changed_.notify_all();
    }
    // Waits until every queued range is hashed.
    Outcome finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queued_ == 0 || failed_; });
        return failed_ ? Outcome::systemFailure(file_.path(), error_) : Outcome::success();
    }

private:
    static constexpr std::int64_t kAhead = 64 << 20;

    int hashRange(std::int64_t offset, std::int64_t length) {
        while (length > 0) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length));
            std::size_t n = 0;
            if (Outcome o = file_.readAt(buffer_, want, offset, &n); !o)
                return o.error != 0 ? o.error : EIO;
            if (n == 0) return EIO;  // the file became shorter under us
            hash_.update(buffer_, n);
            offset += static_cast<std::int64_t>(n);
            length -= static_cast<std::int64_t>(n);
        }
        return 0;
    }
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !ranges_.empty() || stop_; });
            if (stop_) {
                lock.unlock();
                endThreadHashing();
                return;
            }
            const auto [offset, length] = ranges_.front();
            lock.unlock();
            const int error = failed_ ? 0 : hashRange(offset, length);
            lock.lock();
            ranges_.pop_front();
            queued_ -= length;
            if (error != 0 && !failed_) {
                failed_ = true;
                error_ = error;
            }
            changed_.notify_all();
        }
    }

    Sha256& hash_;
    plat::File& file_;
    char* buffer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::int64_t, std::int64_t>> ranges_;
    std::int64_t queued_ = 0;
    bool failed_ = false;
    int error_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// The kernel copies, in steps of kKernelStep; a second thread hashes each step's bytes as
// they stand in the output, so the hash covers exactly what was written. *copied is false
// when the kernel cannot copy between these two files; nothing was moved then.
Outcome moveKernelHashed(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                         JobControl& control, Sha256& hash, bool* copied) {
    *copied = false;
    if (to.appends()) return Outcome::success();
    char* buffer = blockBuffer();
    if (buffer == nullptr) return Outcome::systemFailure(to.path(), ENOMEM);
    std::int64_t outStart = 0;
    if (Outcome o = to.position(&outStart); !o) return o;
    RangeHasher hasher(hash, to, buffer);
    while (*moved < length) {
        if (control.cancelRequested()) return Outcome::cancel();
        const auto want = static_cast<std::size_t>(std::min(kKernelStep, length - *moved));
        std::size_t got = 0;
        bool supported = true;
        if (Outcome o = to.copyFrom(from, want, &got, &supported); !o) return o;
        if (!supported) {
            // Only the first step can meet this: the same two files do not change their mind.
            if (*moved == 0) return Outcome::success();
            return Outcome::systemFailure(to.path(), EINVAL);
        }
        *copied = true;
        if (got == 0) break;
        hasher.add(outStart + *moved, static_cast<std::int64_t>(got));
        startWriteback(to, outStart + *moved, static_cast<std::int64_t>(got));
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    *copied = true;
    return hasher.finish();
}

// Below this a second thread costs more than it saves.
constexpr std::int64_t kThreadedHashFrom = 8 << 20;

Outcome moveHashed(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                   JobControl& control, Sha256& hash, bool threaded) {
    char* buffer = blockBuffer();
    if (buffer == nullptr) return Outcome::systemFailure(to.path(), ENOMEM);
    auto readBlock = [&](char* into, std::size_t* got) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length - *moved));
        *got = 0;
        return want == 0 ? Outcome::success() : from.read(into, want, got);
    };
    if (!threaded) {
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

// How far the copy may run ahead of the hash: the pages must still be in the cache.
constexpr std::int64_t kPipelineAhead = 64 << 20;
// The most one queued range holds: a writer waiting for room, and a job that stops, wait
// for no more than this to be hashed.
constexpr std::int64_t kPipelineRange = kKernelStep;

}  // namespace

HashPipeline::HashPipeline(BlockSink sink) : sink_(std::move(sink)) {
    // A second thread pays only where the hash, not the copy, is the limit: on two cores.
    const std::size_t lanes = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    for (std::size_t i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<Lane>());
    try {
        for (auto& lane : lanes_) lane->thread = std::thread([this, l = lane.get()] { loop(*l); });
    } catch (const std::system_error&) {
        // One thread is enough to be right; none is not.
        if (!lanes_.front()->thread.joinable()) throw;
        lanes_.resize(1);
    }
}

HashPipeline::~HashPipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        stopping_.store(true, std::memory_order_relaxed);
    }
    for (auto& lane : lanes_) {
        lane->changed.notify_all();
        if (lane->thread.joinable()) lane->thread.join();
    }
}

void HashPipeline::push(Item item) {
    Lane& lane = *lanes_[writing_];
    lane.items.push_back(std::move(item));
    lane.lastIsRange = false;
    lane.changed.notify_all();
}

Outcome HashPipeline::begin(const std::string& path, std::int32_t tag, std::int64_t from) {
    Item item;
    item.kind = Item::Kind::Begin;
    item.tag = tag;
    item.from = from;
    if (Outcome o = item.file.open(path.c_str(), plat::File::Mode::Read); !o) return o;
    if (from > 0)
        if (Outcome o = item.file.seek(from); !o) return o;
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = outputs_++ % lanes_.size();
    push(std::move(item));
    return failed_;
}

void HashPipeline::add(std::int64_t length) {
    if (length <= 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    Lane& lane = *lanes_[writing_];
    progressed_.wait(lock, [&] { return lane.queued <= kPipelineAhead || !failed_; });
    // Small pieces one after another (a folder of small files) are read back as one range.
    if (lane.lastIsRange && !lane.items.empty() &&
        lane.items.back().length + length <= kPipelineRange) {
        lane.items.back().length += length;
    } else {
        Item item;
        item.length = length;
        lane.items.push_back(std::move(item));
        lane.lastIsRange = true;
    }
    lane.queued += length;
    // A wake for every small file would cost more than its hash: the thread is woken once a
    // block's worth has gathered, or by what comes next.
    if (lane.items.size() > 1 || lane.items.back().length >= static_cast<std::int64_t>(kBlock))
        lane.changed.notify_all();
}

void HashPipeline::end(std::string* digest) {
    Item item;
    item.kind = Item::Kind::End;
    item.digest = digest;
    std::lock_guard<std::mutex> lock(mutex_);
    push(std::move(item));
}

Outcome HashPipeline::failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

bool HashPipeline::idle() const {
    for (const auto& lane : lanes_)
        if (!lane->items.empty() || lane->busy) return false;
    return true;
}

Outcome HashPipeline::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    draining_ = true;
    for (auto& lane : lanes_) lane->changed.notify_all();
    progressed_.wait(lock, [this] { return idle() || !failed_; });
    draining_ = false;
    return failed_;
}

bool HashPipeline::ready(const Lane& lane) const {
    if (lane.items.empty()) return false;
    // A range still growing waits for a block's worth, unless more follows it.
    return lane.items.size() > 1 || lane.items.front().kind != Item::Kind::Range || draining_ ||
           lane.items.front().length >= static_cast<std::int64_t>(kBlock);
}

Outcome HashPipeline::hashRange(plat::File& file, Sha256& hash, std::int32_t tag, std::int64_t from,
                                std::int64_t offset, std::int64_t length) {
    char* buffer = blockBuffer();
    if (buffer == nullptr) return Outcome::systemFailure(file.path(), ENOMEM);
    const std::int64_t start = offset;
    const std::int64_t total = length;
    while (length > 0) {
        // The job is over, failed or cancelled: what is left of the range is not wanted.
        if (stopping_.load(std::memory_order_relaxed)) return Outcome::cancel();
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length));
        std::size_t have = 0;
        while (have < want) {
            std::size_t got = 0;
            if (Outcome o = file.read(buffer + have, want - have, &got); !o) return o;
            // The output became shorter under us: its bytes are not what was written.
            if (got == 0)
                return Outcome::failure(Fault::Changed, file.path(),
                                        "became shorter while it was being written", EIO);
            have += got;
        }
        hash.update(buffer, want);
        if (sink_) sink_(tag, offset, reinterpret_cast<const unsigned char*>(buffer), want);
        offset += static_cast<std::int64_t>(want);
        length -= static_cast<std::int64_t>(want);
    }
    // Here rather than by the writer: one call for a range that gathered many small pieces.
    startWriteback(file, from + start, total);
    return Outcome::success();
}

void HashPipeline::loop(Lane& lane) {
    Sha256 hash;
    plat::File current;
    std::int32_t tag = 0;
    std::int64_t from = 0;
    std::int64_t offset = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        lane.changed.wait(lock, [&] { return ready(lane) || stop_; });
        if (stop_) break;
        Item item = std::move(lane.items.front());
        lane.items.pop_front();
        if (lane.items.empty()) lane.lastIsRange = false;
        lane.busy = true;
        const bool failed = !failed_;
        lock.unlock();
        Outcome o;
        if (!failed && item.kind == Item::Kind::Begin) {
            current = std::move(item.file);
            tag = item.tag;
            from = item.from;
            offset = 0;
        } else if (!failed && item.kind == Item::Kind::Range) {
            o = hashRange(current, hash, tag, from, offset, item.length);
            offset += item.length;
        } else if (!failed) {
            *item.digest = hash.finishHex();
            o = current.close();
        }
        lock.lock();
        lane.busy = false;
        lane.queued -= item.kind == Item::Kind::Range ? item.length : 0;
        if (!o && failed_) failed_ = o;
        progressed_.notify_all();
    }
    lock.unlock();
    current.close();
    endThreadHashing();
}

// Moves up to length bytes, by the kernel's copy where it can, then by blocks; passed(n)
// hears of every n bytes written, before the next are. writeBack: the disk is started on
// each copied step here; else passed sees to it.
template <typename Passed>
Outcome copyThrough(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                    JobControl& control, bool writeBack, Passed passed) {
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
        passed(static_cast<std::int64_t>(got));
        if (writeBack) startWriteback(to, outStartOf(to, got), static_cast<std::int64_t>(got));
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
        passed(static_cast<std::int64_t>(got));
        *moved += static_cast<std::int64_t>(got);
        control.advance(static_cast<std::int64_t>(got));
    }
    return Outcome::success();
}

Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, HashPipeline& pipeline) {
    *moved = 0;
    if (Outcome o = copyThrough(from, to, length, moved, control, false,
                                [&pipeline](std::int64_t n) { pipeline.add(n); });
        !o)
        return o;
    return pipeline.failure();
}

namespace {
constexpr std::size_t kGatherBlock = kBlock;
// Pieces below this are gathered; larger ones go by the kernel's copy.
constexpr std::int64_t kGatherBelow = 256 << 10;
}  // namespace

PieceGatherer::~PieceGatherer() {
    plat::alignedFree(block_);
}

Outcome PieceGatherer::move(plat::File& from, plat::File& to, std::int64_t length,
                            std::int64_t* moved, JobControl& control) {
    *moved = 0;
    if (length >= kGatherBelow) {
        if (Outcome o = flush(to, control); !o) return o;
        return moveBytes(from, to, length, moved, control, pipeline_);
    }
    if (control.cancelRequested()) return Outcome::cancel();
    if (block_ == nullptr) {
        block_ = static_cast<char*>(plat::alignedAlloc(4096, kGatherBlock));
        if (block_ == nullptr) return Outcome::systemFailure(to.path(), ENOMEM);
    }
    if (held_ + static_cast<std::size_t>(length) > kGatherBlock)
        if (Outcome o = flush(to, control); !o) return o;
    while (*moved < length) {
        std::size_t got = 0;
        if (Outcome o = from.read(block_ + held_, static_cast<std::size_t>(length - *moved), &got);
            !o)
            return o;
        if (got == 0) break;
        held_ += got;
        *moved += static_cast<std::int64_t>(got);
    }
    return Outcome::success();
}

Outcome PieceGatherer::flush(plat::File& to, JobControl& control) {
    if (held_ == 0) return Outcome::success();
    const std::size_t n = held_;
    held_ = 0;
    if (Outcome o = to.write(block_, n); !o) return o;
    pipeline_.add(static_cast<std::int64_t>(n));
    control.advance(static_cast<std::int64_t>(n));
    return pipeline_.failure();
}

Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, Sha256* hash) {
    *moved = 0;
    // A folder split asks for the room left in the chunk; what counts is what the file has.
    std::int64_t at = 0;
    std::int64_t size = 0;
    const bool threaded = hash != nullptr && length >= kThreadedHashFrom && from.position(&at) &&
                          from.size(&size) && size - at >= kThreadedHashFrom;
    if (threaded) {
        bool copied = false;
        Outcome o = moveKernelHashed(from, to, length, moved, control, *hash, &copied);
        if (!o || copied) return o;
    }
    if (hash != nullptr) return moveHashed(from, to, length, moved, control, *hash, threaded);
    return copyThrough(from, to, length, moved, control, true, [](std::int64_t) {});
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
