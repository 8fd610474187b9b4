#pragma once
// What one running job shares with whoever watches it: its progress, a request to stop, and
// a request to hold still while someone decides whether it should stop.
// Each job owns one; nothing here is shared between jobs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace morvane {

class JobControl {
public:
    // Starts the progress over: nothing done of total, and no file yet.
    void begin(std::int64_t total) {
        done_.store(0, std::memory_order_relaxed);
        total_.store(total, std::memory_order_relaxed);
        setCurrentFile({});
    }
    void advance(std::int64_t bytes) { done_.fetch_add(bytes, std::memory_order_relaxed); }
    // More work than the job first counted on.
    void addToTotal(std::int64_t bytes) { total_.fetch_add(bytes, std::memory_order_relaxed); }
    std::int64_t done() const { return done_.load(std::memory_order_relaxed); }
    std::int64_t total() const { return total_.load(std::memory_order_relaxed); }
    // Not clamped, and 0 of an empty total.
    int percent() const {
        const std::int64_t t = total();
        return t > 0 ? static_cast<int>(done() * 100 / t) : 0;
    }

    // The file the job works on now (engine text, relative to its source or target), for
    // whoever shows the progress; set once per file, read from any thread.
    void setCurrentFile(std::string name) {
        const std::lock_guard<std::mutex> lock(fileMutex_);
        currentFile_ = std::move(name);
    }
    std::string currentFile() const {
        const std::lock_guard<std::mutex> lock(fileMutex_);
        return currentFile_;
    }

    // Safe from any thread. Wakes a job held by a pause.
    void requestCancel() {
        cancel_.store(true, std::memory_order_relaxed);
        wake();
    }
    // The job's check between blocks, and before each step that cannot be undone: while a
    // pause is asked, it waits here until the pause ends or a cancel comes.
    bool cancelRequested() const {
        if (pause_.load(std::memory_order_acquire)) holdWhilePaused();
        return cancel_.load(std::memory_order_relaxed);
    }

    // A paused job goes on to its next check and waits there. Never call from the job's own
    // thread, nor while that thread waits for the caller.
    void requestPause() { pause_.store(true, std::memory_order_release); }
    void resume() {
        pause_.store(false, std::memory_order_release);
        wake();
    }
    bool pauseRequested() const { return pause_.load(std::memory_order_acquire); }
    // The number of the job's threads waiting at a check now.
    int heldThreads() const { return held_.load(std::memory_order_acquire); }

private:
    void wake() {
        // Under the lock, so that a job between its test and its wait cannot miss it.
        const std::lock_guard<std::mutex> lock(mutex_);
        woken_.notify_all();
    }
    void holdWhilePaused() const {
        std::unique_lock<std::mutex> lock(mutex_);
        held_.fetch_add(1, std::memory_order_acq_rel);
        woken_.wait(lock, [this] {
            return !pause_.load(std::memory_order_acquire) ||
                   cancel_.load(std::memory_order_relaxed);
        });
        held_.fetch_sub(1, std::memory_order_acq_rel);
    }

    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> total_{0};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> pause_{false};
    mutable std::atomic<int> held_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable woken_;
    mutable std::mutex fileMutex_;
    std::string currentFile_;
};

}  // namespace morvane
