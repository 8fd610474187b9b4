#include "platform/native.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/encoding.h"

namespace morvane::plat {
namespace {

std::mutex hookMutex;
FaultHook faultHook;

int injectedFault(Op op, const std::string& path) {
    std::lock_guard<std::mutex> lock(hookMutex);
    return faultHook ? faultHook(op, path) : 0;
}

const char* const kUnconvertible = "the name cannot be converted between GB18030 and UTF-8";

Outcome nativePath(const char* path, std::string* native) {
    if (path == nullptr) return Outcome::failure("", "no path given", EINVAL);
    if (!toNativeText(path, native)) return Outcome::failure(path, kUnconvertible, EILSEQ);
    return Outcome::success();
}

// A name that has no engine text, shown with its odd bytes as \xNN.
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

Kind kindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return Kind::File;
    if (S_ISDIR(st.st_mode)) return Kind::Folder;
    return Kind::Other;
}

}  // namespace

void setFaultHook(FaultHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex);
    faultHook = std::move(hook);
}

Outcome statPath(const char* path, StatInfo* info) {
    *info = StatInfo{};
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return Outcome::systemFailure(path, errno);
    info->kind = kindOf(st);
    info->size = static_cast<std::int64_t>(st.st_size);
    return Outcome::success();
}

Outcome listDirectory(const char* path, std::vector<DirEntry>* entries) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::List, path)) return Outcome::systemFailure(path, e);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.c_str()), ::closedir);
    if (!dir) return Outcome::systemFailure(path, errno);
    const int dirFd = ::dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* ent = ::readdir(dir.get());
        if (ent == nullptr) {
            if (errno != 0) return Outcome::systemFailure(path, errno);
            break;
        }
        const std::string_view name(ent->d_name);
        if (name == "." || name == "..") continue;
        DirEntry entry;
        if (!toEngineText(name, &entry.name))
            return Outcome::failure(path, std::string(kUnconvertible) + ": " + escaped(name),
                                    EILSEQ);
        struct stat st {};
        if (::fstatat(dirFd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone since the listing: it holds nothing to take.
            if (errno == ENOENT) continue;
            return Outcome::systemFailure(std::string(path) + "/" + entry.name, errno);
        }
        if (S_ISLNK(st.st_mode)) {
            // A link counts as the file it names; a link to a folder is not followed,
            // so a link loop can neither hang nor crash a walk.
            struct stat target {};
            const bool file =
                ::fstatat(dirFd, ent->d_name, &target, 0) == 0 && S_ISREG(target.st_mode);
            entry.kind = file ? Kind::File : Kind::Other;
            entry.size = file ? static_cast<std::int64_t>(target.st_size) : 0;
        } else {
            entry.kind = kindOf(st);
            entry.size = static_cast<std::int64_t>(st.st_size);
        }
        entries->push_back(std::move(entry));
    }
    return Outcome::success();
}

Outcome createDirectory(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::MakeDir, path)) return Outcome::systemFailure(path, e);
    if (::mkdir(native.c_str(), 0777) != 0) return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

Outcome removeFile(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    if (::unlink(native.c_str()) != 0) return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

Outcome removeDirectory(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    if (::rmdir(native.c_str()) != 0) return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

void sleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept
    : fd_(other.fd_), append_(other.append_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        append_ = other.append_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

Outcome File::open(const char* path, Mode mode) {
    if (fd_ >= 0) close();
    path_ = path ? path : "";
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Open, path_)) return Outcome::systemFailure(path_, e);
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::Read:
            flags |= O_RDONLY;
            break;
        case Mode::WriteTruncate:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case Mode::Append:
            flags |= O_RDWR | O_CREAT | O_APPEND;
            break;
    }
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    // A folder opened for reading fails at its first read, with EISDIR.
    if (fd < 0) return Outcome::systemFailure(path_, errno);
    fd_ = fd;
    append_ = mode == Mode::Append;
    return Outcome::success();
}

Outcome File::read(void* buffer, std::size_t size, std::size_t* got) {
    *got = 0;
    if (fd_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Read, path_)) return Outcome::systemFailure(path_, e);
    ssize_t n;
    do {
        n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Outcome::systemFailure(path_, errno);
    *got = static_cast<std::size_t>(n);
    return Outcome::success();
}

Outcome File::write(const void* buffer, std::size_t size) {
    if (fd_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Outcome::systemFailure(path_, errno);
        }
        if (n == 0) return Outcome::systemFailure(path_, ENOSPC);
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return Outcome::success();
}

Outcome File::seek(std::int64_t offset) {
    if (fd_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Seek, path_)) return Outcome::systemFailure(path_, e);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
        return Outcome::systemFailure(path_, errno);
    return Outcome::success();
}

Outcome File::position(std::int64_t* offset) {
    *offset = 0;
    if (fd_ < 0) return Outcome::systemFailure(path_, EBADF);
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return Outcome::systemFailure(path_, errno);
    *offset = static_cast<std::int64_t>(at);
    return Outcome::success();
}

Outcome File::size(std::int64_t* bytes) {
    *bytes = 0;
    if (fd_ < 0) return Outcome::systemFailure(path_, EBADF);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Outcome::systemFailure(path_, errno);
    *bytes = static_cast<std::int64_t>(st.st_size);
    return Outcome::success();
}

Outcome File::close() {
    if (fd_ < 0) return Outcome::success();
    const int fd = fd_;
    fd_ = -1;
    int e = injectedFault(Op::Close, path_);
    // Linux releases the descriptor even when close fails, so it is never retried.
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e != 0 && e != EINTR) return Outcome::systemFailure(path_, e);
    return Outcome::success();
}

Outcome File::copyFrom(File& src, std::size_t size, std::size_t* copied, bool* supported) {
    *copied = 0;
    *supported = true;
    if (fd_ < 0 || src.fd_ < 0) return Outcome::systemFailure(fd_ < 0 ? path_ : src.path_, EBADF);
    if (int e = injectedFault(Op::Read, src.path_)) return Outcome::systemFailure(src.path_, e);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    ssize_t n;
    do {
        n = ::copy_file_range(src.fd_, nullptr, fd_, nullptr, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        switch (errno) {
            case EXDEV:
            case ENOSYS:
            case EINVAL:
            case EOPNOTSUPP:
            case EBADF:  // an appending output
                *supported = false;
                return Outcome::success();
            case ENOSPC:
            case EDQUOT:
            case EFBIG:
                return Outcome::systemFailure(path_, errno);
            default:
                // The kernel does not say which side failed; the source is read first.
                return Outcome::systemFailure(src.path_ + " -> " + path_, errno);
        }
    }
    *copied = static_cast<std::size_t>(n);
    return Outcome::success();
}

void File::adviseSequential() {
    if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

}  // namespace morvane::plat
