#pragma once
// Real faults for tests: a small full file system, and the native layer's fault seam.

#include <string>

#include "platform/native.h"

namespace morvane::test {

// A tmpfs of the given size mounted on a fresh folder, for as long as the object lives.
// Mounting needs root; reason() says why it could not be had.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& reason() const { return reason_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string reason_;
    bool mounted_ = false;
};

// Installs a fault hook for one scope.
class FaultGuard {
public:
    explicit FaultGuard(plat::FaultHook hook) { plat::setFaultHook(std::move(hook)); }
    ~FaultGuard() { plat::setFaultHook(nullptr); }
    FaultGuard(const FaultGuard&) = delete;
    FaultGuard& operator=(const FaultGuard&) = delete;
};

// Says, for one scope, how many bytes are free on the file system of every path: free(path),
// or what the system says where it answers -1.
class RoomGuard {
public:
    explicit RoomGuard(plat::RoomHook hook) { plat::setRoomHook(std::move(hook)); }
    ~RoomGuard() { plat::setRoomHook(nullptr); }
    RoomGuard(const RoomGuard&) = delete;
    RoomGuard& operator=(const RoomGuard&) = delete;
};

}  // namespace morvane::test
