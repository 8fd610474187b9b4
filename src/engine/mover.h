#pragma once
// The one place where split and join bytes move from one file to another.

#include <atomic>
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
#include "engine/sha256.h"
#include "platform/native.h"

namespace morvane {

// Copies up to length bytes from the current position of from to the current position
// (or the end, for an append) of to, adding every block to the job's progress. *moved
// gets the bytes copied; fewer than length means from ended. Read and write failures
// are returned with their file; a cancel request is seen before every block. With a hash,
// every byte passes through it on its way: the bytes are read once, hashed and written.
Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, Sha256* hash = nullptr);

// Passes over length bytes of from without writing them anywhere: read into the hash when
// there is one, else a seek. *moved gets the bytes passed.
Outcome skipBytes(plat::File& from, std::int64_t length, std::int64_t* moved, JobControl& control,
                  Sha256* hash = nullptr);

// Hashes the outputs of a job as they are written, reading each back from the page cache
// where the copy has just put it, on threads that live as long as the job: the copy of the
// next range, and of the next output, goes on while the last is hashed, and only the digest
// is finished where an output ends. Where there are cores for it, consecutive outputs take
// turns on two threads, so that two are hashed at once where the hash is slower than the
// copy. The hash covers exactly the bytes that stand in the output. Each range hashed is
// then handed to the disk to write.
class HashPipeline {
public:
    // Sees every block hashed, on the thread that hashed it: the tag the output was begun
    // with, the block's offset in it and its bytes. Blocks of one output come in order;
    // those of two outputs may come at once, from two threads.
    using BlockSink = std::function<void(std::int32_t tag, std::int64_t offset,
                                         const unsigned char* bytes, std::size_t length)>;

    explicit HashPipeline(BlockSink sink = {});
    ~HashPipeline();
    HashPipeline(const HashPipeline&) = delete;
    HashPipeline& operator=(const HashPipeline&) = delete;

    // The output at path, just created by the caller, is written from its start (or from
    // the byte at from, for an output that is a range of a file) from now on: the pipeline
    // reads it through a handle of its own.
    Outcome begin(const std::string& path, std::int32_t tag, std::int64_t from = 0);
    // length more bytes were written to the current output. Waits while more than 64 MiB
    // are queued on its thread, so the pages are still in the cache when their turn comes.
    void add(std::int64_t length);
    // The current output is whole: its digest goes to *digest once its bytes are hashed.
    // *digest must stay in place until drain().
    void end(std::string* digest);
    // The first failure so far, without waiting.
    Outcome failure();
    // Waits until every output is hashed.
    Outcome drain();

private:
    struct Item {
        enum class Kind { Begin, Range, End } kind = Kind::Range;
        plat::File file;        // Begin: the pipeline's own handle on the output
        std::int64_t from = 0;  // Begin: where the output starts in its file
        std::int32_t tag = 0;
        std::int64_t length = 0;        // Range
        std::string* digest = nullptr;  // End
    };
    // One hashing thread and the outputs it was given, in order.
    struct Lane {
        std::deque<Item> items;
        std::int64_t queued = 0;
        bool busy = false;
        bool lastIsRange = false;
        std::condition_variable changed;  // wakes the lane's thread
        std::thread thread;
    };
    void loop(Lane& lane);
    // Whether the lane has work worth waking for; under the lock.
    bool ready(const Lane& lane) const;
    bool idle() const;
    void push(Item item);
    Outcome hashRange(plat::File& file, Sha256& hash, std::int32_t tag, std::int64_t from,
                      std::int64_t offset, std::int64_t length);

    BlockSink sink_;
    std::mutex mutex_;
    std::condition_variable progressed_;  // wakes the writer
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::size_t writing_ = 0;  // the lane of the current output
    std::size_t outputs_ = 0;
    bool draining_ = false;
    Outcome failed_;
    bool stop_ = false;
    // stop_, seen between blocks without the lock.
    std::atomic<bool> stopping_{false};
};

// Moves up to length bytes from from's position to the end of to, the current output of
// pipeline, which hashes them as they stand there. As moveBytes otherwise; a failure of
// the pipeline stops the move too.
Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, HashPipeline& pipeline);

// Moves pieces into the outputs of a pipeline, gathering small ones from many files into
// one block that is written in one call: a folder of small files then costs one read per
// file, where a kernel copy and a write-back each cost more than the file's bytes.
class PieceGatherer {
public:
    explicit PieceGatherer(HashPipeline& pipeline) : pipeline_(pipeline) {}
    ~PieceGatherer();
    PieceGatherer(const PieceGatherer&) = delete;
    PieceGatherer& operator=(const PieceGatherer&) = delete;

    // As moveBytes with the pipeline; a small piece may wait in the block until flush().
    Outcome move(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                 JobControl& control);
    // Writes what waits to to, the output it was gathered for.
    Outcome flush(plat::File& to, JobControl& control);

private:
    HashPipeline& pipeline_;
    char* block_ = nullptr;
    std::size_t held_ = 0;
};

}  // namespace morvane
