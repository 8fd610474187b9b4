#pragma once
// What one running job shares with whoever watches it: its progress and a request to stop.
// Each job owns one; nothing here is shared between jobs.

#include <atomic>
#include <cstdint>

namespace morvane {

class JobControl {
public:
    // Starts the progress over: nothing done of total.
    void begin(std::int64_t total) {
        done_.store(0, std::memory_order_relaxed);
        total_.store(total, std::memory_order_relaxed);
    }
    void advance(std::int64_t bytes) { done_.fetch_add(bytes, std::memory_order_relaxed); }
    std::int64_t done() const { return done_.load(std::memory_order_relaxed); }
    std::int64_t total() const { return total_.load(std::memory_order_relaxed); }
    // Not clamped, and 0 of an empty total.
    int percent() const {
        const std::int64_t t = total();
        return t > 0 ? static_cast<int>(done() * 100 / t) : 0;
    }

    // Safe from any thread, and from a signal handler's thread of control.
    void requestCancel() { cancel_.store(true, std::memory_order_relaxed); }
    bool cancelRequested() const { return cancel_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> total_{0};
    std::atomic<bool> cancel_{false};
};

}  // namespace morvane
