#include "platform/native.h"

#ifdef _WIN32
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/native_internal.h"

namespace morvane::plat {
namespace {

std::mutex hookMutex;
FaultHook faultHook;
RoomHook roomHook;

}  // namespace

namespace detail {

int injectedFault(Op op, const std::string& path) {
    std::lock_guard<std::mutex> lock(hookMutex);
    return faultHook ? faultHook(op, path) : 0;
}

std::int64_t hookedRoom(const std::string& path) {
    std::lock_guard<std::mutex> lock(hookMutex);
    return roomHook ? roomHook(path) : -1;
}

std::string escaped(std::string_view name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

}  // namespace detail

void setFaultHook(FaultHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex);
    faultHook = std::move(hook);
}

void setRoomHook(RoomHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex);
    roomHook = std::move(hook);
}

Outcome readWholeFile(const char* path, std::int64_t maxBytes, std::string* bytes) {
    bytes->clear();
    File file;
    if (Outcome o = file.open(path, File::Mode::Read); !o) return o;
    std::int64_t size = 0;
    if (Outcome o = file.size(&size); !o) return o;
    if (size > maxBytes)
        return Outcome::failure(path, "the file is too large to be one of ours", EFBIG);
    bytes->assign(static_cast<std::size_t>(size), '\0');
    std::size_t have = 0;
    while (have < bytes->size()) {
        std::size_t got = 0;
        if (Outcome o = file.read(bytes->data() + have, bytes->size() - have, &got); !o) return o;
        if (got == 0) break;
        have += got;
    }
    bytes->resize(have);
    return file.close();
}

void* alignedAlloc(std::size_t alignment, std::size_t size) {
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
#ifdef _WIN32
    return _aligned_malloc(rounded, alignment);
#else
    return std::aligned_alloc(alignment, rounded);
#endif
}

void alignedFree(void* p) {
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

// The same on every system: each keeps what it needs of a mapping in these members.
Mapping::~Mapping() {
    unmap();
}

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      section_(std::exchange(other.section_, kNoHandle)),
      path_(std::move(other.path_)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
        section_ = std::exchange(other.section_, kNoHandle);
        path_ = std::move(other.path_);
    }
    return *this;
}

}  // namespace morvane::plat
