#include "fault_util.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace morvane::test {

#ifdef _WIN32
// A Windows process cannot mount a file system; the Windows package's check fills a real small
// one from outside instead.
SmallDisk::SmallDisk(const std::string&) {
    reason_ = "a small file system cannot be mounted from a Windows program";
}

SmallDisk::~SmallDisk() = default;
#else
SmallDisk::SmallDisk(const std::string& size) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvane-disk-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        reason_ = "cannot make a folder to mount on";
        return;
    }
    path_ = pattern;
    if (::geteuid() != 0) {
        reason_ = "mounting a small tmpfs needs root";
        return;
    }
    const std::string options = "size=" + size;
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        reason_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

SmallDisk::~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}
#endif

}  // namespace morvane::test
