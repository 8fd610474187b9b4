#include "platform/native.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "platform/encoding.h"
#include "platform/native_internal.h"

namespace morvane::plat {
namespace {

using detail::escaped;
using detail::injectedFault;

const char* const kUnconvertible = "the name cannot be converted between GB18030 and UTF-8";

Outcome nativePath(const char* path, std::string* native) {
    if (path == nullptr) return Outcome::failure("", "no path given", EINVAL);
    if (!toNativeText(path, native)) return Outcome::failure(path, kUnconvertible, EILSEQ);
    return Outcome::success();
}

int fdOf(NativeHandle handle) {
    return static_cast<int>(handle);
}

Kind kindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return Kind::File;
    if (S_ISDIR(st.st_mode)) return Kind::Folder;
    return Kind::Other;
}

// Blocks for every byte: the file has no hole.
bool holeFreeOf(const struct stat& st) {
    return static_cast<off_t>(st.st_blocks) * 512 >= st.st_size;
}

FileIdentity identityOf(const struct stat& st) {
    FileIdentity id;
    id.size = static_cast<std::int64_t>(st.st_size);
    id.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.changedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    return id;
}

}  // namespace

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
        entry.isLink = S_ISLNK(st.st_mode);
        entry.identity = identityOf(st);
        entry.isSpecial = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode);
        entry.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
        entry.modifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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

Outcome removeTree(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0)
        return errno == ENOENT ? Outcome::success() : Outcome::systemFailure(path, errno);
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(native.c_str()) != 0 && errno != ENOENT)
            return Outcome::systemFailure(path, errno);
        return Outcome::success();
    }
    std::vector<DirEntry> entries;
    if (Outcome o = listDirectory(path, &entries); !o) return o;
    for (const DirEntry& entry : entries) {
        const std::string child = std::string(path) + "/" + entry.name;
        if (Outcome o = removeTree(child.c_str()); !o) return o;
    }
    if (::rmdir(native.c_str()) != 0 && errno != ENOENT) return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

bool pathExists(const char* path) {
    std::string native;
    if (!nativePath(path, &native)) return false;
    struct stat st {};
    return ::lstat(native.c_str(), &st) == 0;
}

Outcome renamePath(const char* from, const char* to) {
    std::string nativeFrom;
    std::string nativeTo;
    if (Outcome o = nativePath(from, &nativeFrom); !o) return o;
    if (Outcome o = nativePath(to, &nativeTo); !o) return o;
    if (int e = injectedFault(Op::Rename, to)) return Outcome::systemFailure(to, e);
    if (::rename(nativeFrom.c_str(), nativeTo.c_str()) != 0)
        return Outcome::systemFailure(to, errno);
    return Outcome::success();
}

Outcome readLink(const char* path, std::string* target) {
    target->clear();
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlink(native.c_str(), buffer.data(), buffer.size());
        if (n < 0) return Outcome::systemFailure(path, errno);
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target->assign(buffer.data(), static_cast<std::size_t>(n));
            return Outcome::success();
        }
        if (buffer.size() >= (1 << 16)) return Outcome::systemFailure(path, ENAMETOOLONG);
        buffer.resize(buffer.size() * 2);
    }
}

Outcome makeLink(const std::string& target, const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::MakeDir, path)) return Outcome::systemFailure(path, e);
    if (::symlink(target.c_str(), native.c_str()) != 0) return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

char* threadBlock(std::size_t size) {
    struct Blocks {
        std::vector<std::pair<std::size_t, void*>> held;
        ~Blocks() {
            for (const auto& [n, block] : held) alignedFree(block);
        }
    };
    thread_local Blocks blocks;
    for (const auto& [n, block] : blocks.held)
        if (n == size) return static_cast<char*>(block);
    void* block = alignedAlloc(4096, size);
    if (block != nullptr) blocks.held.emplace_back(size, block);
    return static_cast<char*>(block);
}

Outcome viewFile(const char* existing, const char* path) {
    std::string target;
    if (Outcome o = nativePath(existing, &target); !o) return o;
    return makeLink(target, path);
}

namespace {

// Floor division, so that times before 1970 come back too.
struct timespec timespecOf(std::int64_t ns) {
    std::int64_t seconds = ns / 1000000000;
    std::int64_t nanos = ns % 1000000000;
    if (nanos < 0) {
        nanos += 1000000000;
        --seconds;
    }
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>(nanos);
    return t;
}

}  // namespace

Outcome setModeAndTime(const char* path, std::uint32_t mode, std::int64_t modifiedNs, bool isLink) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Write, path)) return Outcome::systemFailure(path, e);
    if (!isLink && ::fchmodat(AT_FDCWD, native.c_str(), static_cast<mode_t>(mode), 0) != 0)
        return Outcome::systemFailure(path, errno);
    const struct timespec times[2] = {{0, UTIME_OMIT}, timespecOf(modifiedNs)};
    if (::utimensat(AT_FDCWD, native.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return Outcome::systemFailure(path, errno);
    return Outcome::success();
}

Outcome exchangePaths(const char* a, const char* b, bool* supported) {
    *supported = true;
    std::string nativeA;
    std::string nativeB;
    if (Outcome o = nativePath(a, &nativeA); !o) return o;
    if (Outcome o = nativePath(b, &nativeB); !o) return o;
    if (int e = injectedFault(Op::Rename, b)) return Outcome::systemFailure(b, e);
    if (::renameat2(AT_FDCWD, nativeA.c_str(), AT_FDCWD, nativeB.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            *supported = false;
            return Outcome::success();
        }
        return Outcome::systemFailure(b, errno);
    }
    return Outcome::success();
}

Outcome syncFileSystem(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Sync, path)) return Outcome::systemFailure(path, e);
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Outcome::systemFailure(path, errno);
    const int result = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (result != 0) return Outcome::systemFailure(path, err);
    return Outcome::success();
}

Outcome syncDirectory(const char* path) {
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Sync, path)) return Outcome::systemFailure(path, e);
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Outcome::systemFailure(path, errno);
    const int result = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (result != 0) return Outcome::systemFailure(path, err);
    return Outcome::success();
}

Outcome fileSystemRoom(const char* path, Room* room) {
    *room = Room{};
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    struct statvfs fs {};
    if (::statvfs(native.c_str(), &fs) != 0) return Outcome::systemFailure(path, errno);
    const auto fragment = static_cast<std::int64_t>(fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize);
    room->blockSize = fragment > 0 ? fragment : 1;
    room->freeBytes = static_cast<std::int64_t>(fs.f_bavail) * room->blockSize;
    if (const std::int64_t told = detail::hookedRoom(path); told >= 0) room->freeBytes = told;
    return Outcome::success();
}

NameLock::~NameLock() {
    release();
}

Outcome NameLock::acquire(const std::string& lockPath) {
    release();
    std::string native;
    if (Outcome o = nativePath(lockPath.c_str(), &native); !o) return o;
    // The file may be removed by the holder that lets go just before this one locks it;
    // a lock on a name that no longer leads to the same file is no lock, so try again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Outcome::systemFailure(lockPath, errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            return Outcome::systemFailure(lockPath, err);
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::lstat(native.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            handle_ = fd;
            path_ = lockPath;
            return Outcome::success();
        }
        ::close(fd);
    }
    return Outcome::systemFailure(lockPath, EAGAIN);
}

void NameLock::release() {
    if (handle_ < 0) return;
    std::string native;
    if (nativePath(path_.c_str(), &native)) ::unlink(native.c_str());
    ::close(fdOf(handle_));
    handle_ = -1;
}

File::~File() {
    if (handle_ >= 0) ::close(fdOf(handle_));
}

File::File(File&& other) noexcept
    : handle_(other.handle_),
      mode_(other.mode_),
      path_(std::move(other.path_)),
      atOpen_(other.atOpen_),
      holeFreeAtOpen_(other.holeFreeAtOpen_) {
    other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) ::close(fdOf(handle_));
        handle_ = other.handle_;
        mode_ = other.mode_;
        path_ = std::move(other.path_);
        atOpen_ = other.atOpen_;
        holeFreeAtOpen_ = other.holeFreeAtOpen_;
        other.handle_ = -1;
    }
    return *this;
}

Outcome File::open(const char* path, Mode mode) {
    if (handle_ >= 0) close();
    path_ = path ? path : "";
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Open, path_)) return Outcome::systemFailure(path_, e);
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::Read:
            // Opening a FIFO for reading would wait for a writer forever.
            flags |= O_RDONLY | O_NONBLOCK;
            break;
        case Mode::WriteTruncate:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case Mode::Append:
            flags |= O_RDWR | O_CREAT | O_APPEND;
            break;
        case Mode::CreateNew:
            flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
            break;
    }
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    // A folder opened for reading fails at its first read, with EISDIR.
    if (fd < 0) return Outcome::systemFailure(path_, errno);
    if (mode == Mode::Read) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int e = errno;
            ::close(fd);
            return Outcome::systemFailure(path_, e);
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            ::close(fd);
            return Outcome::failure(Fault::Invalid, path_,
                                    "is not a regular file (a FIFO, socket or device)", EINVAL);
        }
        // Of the flags it was opened with, only O_NONBLOCK is a status flag: clearing all
        // of them needs no question first.
        ::fcntl(fd, F_SETFL, 0);
        atOpen_ = identityOf(st);
        holeFreeAtOpen_ = holeFreeOf(st);
    }
    handle_ = fd;
    mode_ = mode;
    return Outcome::success();
}

Outcome File::read(void* buffer, std::size_t size, std::size_t* got) {
    *got = 0;
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Read, path_)) return Outcome::systemFailure(path_, e);
    ssize_t n;
    do {
        n = ::read(fdOf(handle_), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Outcome::systemFailure(path_, errno);
    *got = static_cast<std::size_t>(n);
    return Outcome::success();
}

Outcome File::readAt(void* buffer, std::size_t size, std::int64_t offset, std::size_t* got) {
    *got = 0;
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Read, path_)) return Outcome::systemFailure(path_, e);
    ssize_t n;
    do {
        n = ::pread(fdOf(handle_), buffer, size, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Outcome::systemFailure(path_, errno);
    *got = static_cast<std::size_t>(n);
    return Outcome::success();
}

Outcome File::write(const void* buffer, std::size_t size) {
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fdOf(handle_), p, size);
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
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Seek, path_)) return Outcome::systemFailure(path_, e);
    if (::lseek(fdOf(handle_), static_cast<off_t>(offset), SEEK_SET) < 0)
        return Outcome::systemFailure(path_, errno);
    return Outcome::success();
}

Outcome File::position(std::int64_t* offset) {
    *offset = 0;
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    const off_t at = ::lseek(fdOf(handle_), 0, SEEK_CUR);
    if (at < 0) return Outcome::systemFailure(path_, errno);
    *offset = static_cast<std::int64_t>(at);
    return Outcome::success();
}

Outcome File::size(std::int64_t* bytes) {
    *bytes = 0;
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return Outcome::systemFailure(path_, errno);
    *bytes = static_cast<std::int64_t>(st.st_size);
    return Outcome::success();
}

Outcome File::close() {
    if (handle_ < 0) return Outcome::success();
    const int fd = handle_;
    handle_ = -1;
    int e = injectedFault(Op::Close, path_);
    // Linux releases the descriptor even when close fails, so it is never retried.
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e != 0 && e != EINTR) return Outcome::systemFailure(path_, e);
    return Outcome::success();
}

Outcome File::identity(FileIdentity* id, bool* holeFree) {
    *id = FileIdentity{};
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return Outcome::systemFailure(path_, errno);
    *id = identityOf(st);
    if (holeFree != nullptr) *holeFree = holeFreeOf(st);
    return Outcome::success();
}

Outcome File::identityAtOpen(FileIdentity* id, bool* holeFree) {
    if (handle_ < 0 || mode_ != Mode::Read) return identity(id, holeFree);
    *id = atOpen_;
    *holeFree = holeFreeAtOpen_;
    return Outcome::success();
}

Outcome linkIdentity(const char* path, FileIdentity* id) {
    *id = FileIdentity{};
    std::string native;
    if (Outcome o = nativePath(path, &native); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) return Outcome::systemFailure(path, errno);
    *id = identityOf(st);
    return Outcome::success();
}

Outcome File::dataRanges(std::vector<std::pair<std::int64_t, std::int64_t>>* ranges) {
    ranges->clear();
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return Outcome::systemFailure(path_, errno);
    const off_t size = st.st_size;
    // Blocks for every byte: no hole to look for, and no probe to pay for.
    if (holeFreeOf(st)) {
        if (size > 0) ranges->assign(1, {0, static_cast<std::int64_t>(size)});
        return Outcome::success();
    }
    off_t at = 0;
    while (at < size) {
        const off_t data = ::lseek(fdOf(handle_), at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole is left
            if (errno == EINVAL) {      // a file system that cannot tell: all data
                ranges->assign(1, {0, static_cast<std::int64_t>(size)});
                return Outcome::success();
            }
            return Outcome::systemFailure(path_, errno);
        }
        off_t hole = ::lseek(fdOf(handle_), data, SEEK_HOLE);
        if (hole < 0) return Outcome::systemFailure(path_, errno);
        if (hole > size) hole = size;
        ranges->push_back(
            {static_cast<std::int64_t>(data), static_cast<std::int64_t>(hole - data)});
        at = hole;
    }
    if (::lseek(fdOf(handle_), 0, SEEK_SET) < 0) return Outcome::systemFailure(path_, errno);
    return Outcome::success();
}

Outcome File::truncate(std::int64_t size) {
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    if (::ftruncate(fdOf(handle_), static_cast<off_t>(size)) != 0)
        return Outcome::systemFailure(path_, errno);
    return Outcome::success();
}

Outcome File::setModeAndTime(std::uint32_t mode, std::int64_t modifiedNs) {
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    if (::fchmod(fdOf(handle_), static_cast<mode_t>(mode)) != 0)
        return Outcome::systemFailure(path_, errno);
    const struct timespec times[2] = {{0, UTIME_OMIT}, timespecOf(modifiedNs)};
    if (::futimens(fdOf(handle_), times) != 0) return Outcome::systemFailure(path_, errno);
    return Outcome::success();
}

Outcome File::copyFrom(File& src, std::size_t size, std::size_t* copied, bool* supported) {
    *copied = 0;
    *supported = true;
    if (handle_ < 0 || src.handle_ < 0)
        return Outcome::systemFailure(handle_ < 0 ? path_ : src.path_, EBADF);
    if (int e = injectedFault(Op::Read, src.path_)) return Outcome::systemFailure(src.path_, e);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    ssize_t n;
    do {
        n = ::copy_file_range(fdOf(src.handle_), nullptr, fdOf(handle_), nullptr, size, 0);
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

Outcome File::reserve(std::int64_t size) {
    if (handle_ < 0) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    int e;
    do {
        e = ::posix_fallocate(fdOf(handle_), 0, static_cast<off_t>(size));
    } while (e == EINTR);
    return e == 0 ? Outcome::success() : Outcome::systemFailure(path_, e);
}

void File::adviseSequential() {
    if (handle_ >= 0) ::posix_fadvise(fdOf(handle_), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void File::startWriteback(std::int64_t offset, std::int64_t length) {
    if (handle_ >= 0)
        ::sync_file_range(fdOf(handle_), static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
}

Outcome Mapping::map(File& file, std::int64_t length) {
    unmap();
    if (file.handle_ < 0 || length < 1) return Outcome::systemFailure(file.path_, EINVAL);
    if (int e = injectedFault(Op::Map, file.path_)) return Outcome::systemFailure(file.path_, e);
    void* p = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                     fdOf(file.handle_), 0);
    if (p == MAP_FAILED) return Outcome::systemFailure(file.path_, errno);
    data_ = static_cast<unsigned char*>(p);
    length_ = length;
    path_ = file.path_;
    return Outcome::success();
}

void Mapping::prepare(std::int64_t offset, std::int64_t length) {
    static const std::int64_t page = ::sysconf(_SC_PAGESIZE);
    const std::int64_t start = std::max<std::int64_t>(0, offset) / page * page;
    const std::int64_t end = std::min(length_, offset + length);
    if (data_ == nullptr || end <= start) return;
    ::madvise(data_ + start, static_cast<std::size_t>(end - start), MADV_POPULATE_WRITE);
}

// The pages stay in the cache, dirty, for the writer and the flush before the rename.
Outcome Mapping::unmap() {
    if (data_ == nullptr) return Outcome::success();
    const int failed = ::munmap(data_, static_cast<std::size_t>(length_));
    const int e = errno;
    data_ = nullptr;
    length_ = 0;
    return failed == 0 ? Outcome::success() : Outcome::systemFailure(path_, e);
}

}  // namespace morvane::plat
