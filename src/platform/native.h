#pragma once
// The native file layer. Every path it takes is engine text (GB18030); it converts the
// path to the file system's own bytes before it calls the operating system, and names
// it reads back to engine text. Only this layer talks to the operating system.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/outcome.h"

namespace morvane::plat {

enum class Kind { Missing = -1, File = 0, Folder = 1, Other = 2 };

struct StatInfo {
    Kind kind = Kind::Missing;
    std::int64_t size = 0;
};

// Follows symbolic links. A path that does not exist gives Kind::Missing and a failure.
Outcome statPath(const char* path, StatInfo* info);

// What tells a file's content changed: size, modification and change time; and which file
// a name stands for, which tells a file put in another's place.
struct FileIdentity {
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct DirEntry {
    std::string name;  // engine text
    // File: a regular file, or a link to one. Folder: a real folder, never a link.
    // Other: anything that must not be read or descended (FIFOs, sockets, devices,
    // links to folders, dangling links).
    Kind kind = Kind::Other;
    std::int64_t size = 0;  // of a File entry
    // What the entry itself is, links not followed.
    bool isLink = false;
    bool isSpecial = false;  // a FIFO, socket or device
    std::uint32_t mode = 0;  // permission bits, sticky included
    std::int64_t modifiedNs = 0;
    FileIdentity identity;  // of the entry itself, links not followed
};

// The entries of a folder in the order the system returns them, without "." and "..".
Outcome listDirectory(const char* path, std::vector<DirEntry>* entries);

// Creates one folder level. An existing folder is a failure with EEXIST.
Outcome createDirectory(const char* path);
Outcome removeFile(const char* path);
// Removes an empty folder.
Outcome removeDirectory(const char* path);
// Removes a file, a link or a whole folder tree; links are removed, never followed.
// A path that is not there is no failure.
Outcome removeTree(const char* path);
// True when anything, a dangling link included, stands at path.
bool pathExists(const char* path);
// Renames within one file system; an existing file at to is replaced in one step.
Outcome renamePath(const char* from, const char* to);
// The target text of a symbolic link, as the file system holds it (not engine text).
Outcome readLink(const char* path, std::string* target);
// Makes a symbolic link at path holding target (the file system's own bytes).
Outcome makeLink(const std::string& target, const char* path);
// Makes path show the bytes of the file at existing, to be read only: a symbolic link on
// POSIX; on Windows, where a link needs a privilege and a hard link one volume, a hard
// link, else a symbolic link, else a copy.
Outcome viewFile(const char* existing, const char* path);
// Sets the permission bits (not for a link) and the modification time of what stands at
// path, links not followed.
Outcome setModeAndTime(const char* path, std::uint32_t mode, std::int64_t modifiedNs, bool isLink);

// Swaps two names in one step, whatever each names. False in *supported, with nothing
// changed, where the file system cannot.
Outcome exchangePaths(const char* a, const char* b, bool* supported);
// Makes every file of the file system that holds path durable, with the errors of any
// write to it: one call for a tree of thousands of files, where one fsync each is slow.
Outcome syncFileSystem(const char* path);
// Makes a folder's entries (new names, renames, removals) durable.
Outcome syncDirectory(const char* path);

// The room on the file system that holds path: the bytes an unprivileged writer may still
// use, and the size of its blocks, which every file takes a whole number of.
struct Room {
    std::int64_t freeBytes = 0;
    std::int64_t blockSize = 0;
};
Outcome fileSystemRoom(const char* path, Room* room);

// What stands at path itself, links not followed.
Outcome linkIdentity(const char* path, FileIdentity* id);

// The system's handle of an open file: a descriptor on POSIX, a HANDLE on Windows.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

// An exclusive claim on a name for the time of one job, between processes: a lock file
// beside it, held with flock (LockFileEx on Windows). The system drops the claim when a
// process dies, so a lock file left by a crash never blocks the next job.
class NameLock {
public:
    NameLock() = default;
    ~NameLock();
    NameLock(const NameLock&) = delete;
    NameLock& operator=(const NameLock&) = delete;
    // Fails at once, with EWOULDBLOCK, when another job holds it.
    Outcome acquire(const std::string& lockPath);
    // Removes the lock file and lets go.
    void release();

private:
    NativeHandle handle_ = kNoHandle;
    std::string path_;
};

// An open file. Unbuffered: callers move data in blocks.
class File {
public:
    enum class Mode {
        Read,           // "rb"
        WriteTruncate,  // "w+b": create or empty, read and write
        Append,         // "a+b": create when missing, every write at the end
        CreateNew,      // a new file only: fails on anything already there, links included
    };

    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    Outcome open(const char* path, Mode mode);
    bool isOpen() const { return handle_ != kNoHandle; }
    const std::string& path() const { return path_; }

    // Reads up to size bytes; *got is 0 only at the end of the file.
    Outcome read(void* buffer, std::size_t size, std::size_t* got);
    // Reads up to size bytes at offset, leaving the position alone, from any thread;
    // *got is 0 only at or past the end.
    Outcome readAt(void* buffer, std::size_t size, std::int64_t offset, std::size_t* got);
    // Writes all bytes or fails; a write that makes no progress is a full disk.
    Outcome write(const void* buffer, std::size_t size);
    Outcome seek(std::int64_t offset);
    Outcome position(std::int64_t* offset);
    Outcome size(std::int64_t* bytes);
    // Closing reports the deferred write errors that some file systems keep until then.
    Outcome close();
    // *holeFree, when asked for, becomes true where the file surely has no holes (blocks
    // cover every byte, or it is not marked sparse), so dataRanges need not be asked.
    Outcome identity(FileIdentity* id, bool* holeFree = nullptr);
    // As identity, for a file opened to read: what it was when it was opened, where the open
    // had to look at it anyway, so a folder of small files pays one look a file, not two.
    Outcome identityAtOpen(FileIdentity* id, bool* holeFree);
    // The ranges (offset, length) of a file that hold data; the rest are holes that read
    // as zeros and take no disk. One range covering the file when it has no holes. Called
    // with the position at the start, it leaves it there.
    Outcome dataRanges(std::vector<std::pair<std::int64_t, std::int64_t>>* ranges);
    Outcome truncate(std::int64_t size);
    // As setModeAndTime, on the open file: no name is looked up again. Writes through this
    // handle still work after a mode without write permission.
    Outcome setModeAndTime(std::uint32_t mode, std::int64_t modifiedNs);
    // Makes the file size bytes long with the disk taken for every byte, so that no later
    // write within it, through a Mapping above all, can meet a full disk.
    Outcome reserve(std::int64_t size);

    // Copies up to size bytes from src's position to this file's position inside the
    // kernel; *copied is 0 only when src has ended. *supported becomes false, with nothing
    // copied, when the kernel cannot do it for these two files: move the bytes by hand then.
    Outcome copyFrom(File& src, std::size_t size, std::size_t* copied, bool* supported);
    // The file will be read from start to end once.
    void adviseSequential();
    // Starts the disk on the bytes just written to a range, without waiting for them: the
    // flush before the rename then finds little left. A hint; nothing where unsupported.
    void startWriteback(std::int64_t offset, std::int64_t length);
    bool appends() const { return mode_ == Mode::Append; }

private:
    friend class Mapping;
    NativeHandle handle_ = kNoHandle;
    Mode mode_ = Mode::Read;
    // Where Windows reads and writes next: kept here, since a read at an offset moves the
    // system's own position there, and readAt must leave it alone.
    std::int64_t offset_ = 0;
    std::string path_;
    // What a POSIX open to read saw.
    FileIdentity atOpen_;
    bool holeFreeAtOpen_ = false;
};

// The first bytes of a file open to write, seen as memory and written in place: the pages
// are the system's own cache of the file, so what is written there is what the file holds,
// with no copy. A write through it cannot report a failure, so the file is reserved first;
// the file stays open while it is mapped.
class Mapping {
public:
    Mapping() = default;
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;

    Outcome map(File& file, std::int64_t length);
    unsigned char* data() const { return data_; }
    std::int64_t length() const { return length_; }
    // Readies the pages of a range for writing in one call, where a first write to each
    // would fault on its own, at a far higher cost. A hint: what it leaves, writes do.
    void prepare(std::int64_t offset, std::int64_t length);
    // Hands what was written to the system's writer and lets go of the memory.
    Outcome unmap();

private:
    unsigned char* data_ = nullptr;
    std::int64_t length_ = 0;
    NativeHandle section_ = kNoHandle;  // Windows' mapping object
    std::string path_;
};

// Reads a whole file of at most maxBytes into *bytes; a larger one is refused (EFBIG)
// before anything is read, so a damaged or hostile file cannot cost the memory it claims.
Outcome readWholeFile(const char* path, std::int64_t maxBytes, std::string* bytes);

// Fault seam for tests: a hook that may make an operation fail with the errno it returns.
enum class Op { Open, Read, Write, Close, Seek, MakeDir, Stat, List, Remove, Sync, Rename, Map };
using FaultHook = std::function<int(Op op, const std::string& path)>;
void setFaultHook(FaultHook hook);
// Room seam for tests: a hook that says how many bytes are free on the file system of a
// path, in place of the system; a negative answer leaves it to the system.
using RoomHook = std::function<std::int64_t(const std::string& path)>;
void setRoomHook(RoomHook hook);

// Memory aligned for direct block moves and vector code; size is rounded up to a multiple of
// alignment. Windows' C library has no aligned_alloc, and its aligned blocks need their own free.
void* alignedAlloc(std::size_t alignment, std::size_t size);
void alignedFree(void* p);
// A page-aligned block of size bytes kept for the calling thread, one per size, and freed
// when the thread ends: a folder job moves thousands of small pieces through one. Null when
// memory is short. (mingw runs a thread_local's destructor after the thread's storage is
// gone, so Windows keeps these in fiber storage, whose callback runs in time.)
char* threadBlock(std::size_t size);

}  // namespace morvane::plat

// For an object kept per thread for reuse, whose destructor frees memory: thread_local,
// except with mingw, where the destructor would run too late and the object is a plain
// local instead.
#ifdef _WIN32
#define MORVANE_KEPT_PER_THREAD
#else
#define MORVANE_KEPT_PER_THREAD thread_local
#endif
