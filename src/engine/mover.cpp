#include "engine/mover.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

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
    // One page-aligned buffer per worker thread, kept: a folder split moves thousands of
    // small pieces.
    thread_local std::unique_ptr<char, FreeBlock> buffer(
        static_cast<char*>(std::aligned_alloc(4096, kBlock)));
    return buffer.get();
}

}  // namespace

Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control) {
    *moved = 0;
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

}  // namespace morvane
