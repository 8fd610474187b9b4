// The native layer on Windows. Where Windows lacks what POSIX gives, the safe fallback:
// no atomic swap of two folders (exchangePaths says unsupported), no whole-volume flush
// without administrator rights (every written file is flushed when it is closed instead).

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "platform/encoding.h"
#include "platform/native.h"
#include "platform/native_internal.h"

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace morvane::plat {
namespace {

using detail::escaped;
using detail::injectedFault;

const char* const kUnconvertible = "the name cannot be converted between GB18030 and UTF-16";
const char* const kNoConverter =
    "the name is not ASCII and this system has no GB18030 converter (code page 54936)";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Below the MAX_PATH of a folder, so a path that may still grow by a name keeps the
// ordinary form, which every tool reads.
constexpr std::size_t kLongPathFrom = 240;
// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochTicks = 116444736000000000LL;
// ReadFile and WriteFile take a DWORD count.
constexpr std::size_t kMaxTransfer = 1u << 30;

HANDLE asHandle(NativeHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

NativeHandle asNative(HANDLE h) {
    return reinterpret_cast<NativeHandle>(h);
}

// The errno a system error stands for, which decides the Fault kind.
int errnoOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED:
            return EACCES;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return EBUSY;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return EOPNOTSUPP;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        case ERROR_FILE_TOO_LARGE:
            return EFBIG;
        case ERROR_OPERATION_ABORTED:
            return ECANCELED;
        default:
            return EIO;
    }
}

std::string messageText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text != nullptr) {
        std::wstring_view view(text, n);
        while (!view.empty() && (view.back() == L'\r' || view.back() == L'\n' ||
                                 view.back() == L' ' || view.back() == L'.'))
            view.remove_suffix(1);
        const int size = WideCharToMultiByte(CP_UTF8, 0, view.data(), static_cast<int>(view.size()),
                                             nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            out.resize(static_cast<std::size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, view.data(), static_cast<int>(view.size()), out.data(),
                                size, nullptr, nullptr);
        }
    }
    if (text != nullptr) LocalFree(text);
    if (out.empty()) out = std::strerror(errnoOf(code));
    return out + " (Windows error " + std::to_string(code) + ")";
}

Outcome windowsFailure(const std::string& path, DWORD code) {
    const int err = errnoOf(code);
    return Outcome::failure(faultOfErrno(err), path, messageText(code), err);
}

Outcome lastFailure(const std::string& path) {
    return windowsFailure(path, GetLastError());
}

bool isSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool hasGb18030() {
    static const bool valid = IsValidCodePage(54936) != 0;
    return valid;
}

// Engine text to a path for the wide calls: '\' separators, made absolute, and given the
// \\?\ prefix when long, where the ordinary form stops at MAX_PATH. "/tmp/x" is rooted on
// the current drive; under wine that is the drive mapped to the Unix root.
Outcome widePath(const char* path, std::wstring* wide) {
    if (path == nullptr) return Outcome::failure("", "no path given", EINVAL);
    std::wstring text;
    if (!toWideText(path, &text))
        return Outcome::failure(path, hasGb18030() ? kUnconvertible : kNoConverter, EILSEQ);
    if (text.empty()) return Outcome::failure(path, "an empty path", ENOENT);
    // Converted first: a GB18030 trail byte of 0x5C is no separator.
    for (wchar_t& c : text)
        if (c == L'/') c = L'\\';
    if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0) {
        *wide = std::move(text);
        return Outcome::success();
    }
    DWORD need = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (need == 0) return lastFailure(path);
    std::wstring full(need, L'\0');
    const DWORD n = GetFullPathNameW(text.c_str(), need, full.data(), nullptr);
    if (n == 0 || n >= need) return lastFailure(path);
    full.resize(n);
    if (full.size() >= kLongPathFrom) {
        if (full.rfind(L"\\\\", 0) == 0)
            full = L"\\\\?\\UNC\\" + full.substr(2);
        else if (full.size() >= 3 && full[1] == L':')
            full = L"\\\\?\\" + full;
    }
    *wide = std::move(full);
    return Outcome::success();
}

std::int64_t nsOf(const FILETIME& t) {
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    return (ticks - kEpochTicks) * 100;
}

std::int64_t nsOf(const LARGE_INTEGER& t) {
    return (static_cast<std::int64_t>(t.QuadPart) - kEpochTicks) * 100;
}

FILETIME fileTimeOf(std::int64_t ns) {
    // Floor division, so that times before 1970 come back too.
    std::int64_t ticks = ns / 100;
    if (ns % 100 < 0) --ticks;
    const auto value = static_cast<std::uint64_t>(ticks + kEpochTicks);
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    t.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return t;
}

// A handle closed when it goes out of scope.
class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (ok()) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// Opens what stands at wide for its attributes alone; a folder too, and with follow false
// a link itself.
HANDLE openForInfo(const std::wstring& wide, bool follow, DWORD access = FILE_READ_ATTRIBUTES) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!follow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return CreateFileW(wide.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

// A link is a reparse point that stands for another name (a symbolic link or a junction);
// other reparse points (deduplicated or cloud files) hold their own data.
bool isLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag);
}

struct HandleInfo {
    BY_HANDLE_FILE_INFORMATION basic{};
    DWORD tag = 0;
    FileIdentity identity;
    bool link() const { return isLinkTag(basic.dwFileAttributes, tag); }
    bool folder() const { return (basic.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

bool infoOf(HANDLE h, HandleInfo* info) {
    if (!GetFileInformationByHandle(h, &info->basic)) return false;
    const BY_HANDLE_FILE_INFORMATION& b = info->basic;
    FileIdentity& id = info->identity;
    id.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(b.nFileSizeHigh) << 32) |
                                        b.nFileSizeLow);
    id.modifiedNs = nsOf(b.ftLastWriteTime);
    id.device = b.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(b.nFileIndexHigh) << 32) | b.nFileIndexLow;
    // The change time is not in the handle's basic information; where the system keeps
    // none, the write time stands in.
    FILE_BASIC_INFO times{};
    id.changedNs = GetFileInformationByHandleEx(h, FileBasicInfo, &times, sizeof times)
                       ? nsOf(times.ChangeTime)
                       : id.modifiedNs;
    if (b.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tagInfo{};
        if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tagInfo, sizeof tagInfo))
            info->tag = tagInfo.ReparseTag;
    }
    return true;
}

Kind kindOf(HANDLE h, const HandleInfo& info) {
    if (info.folder()) return Kind::Folder;
    return GetFileType(h) == FILE_TYPE_DISK ? Kind::File : Kind::Other;
}

// Permission bits for a tree file: Windows keeps only the read-only attribute.
std::uint32_t modeOf(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0755;
    return (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
}

// POSIX removes a read-only file; Windows refuses until the attribute is gone.
bool deleteFile(const std::wstring& wide) {
    if (DeleteFileW(wide.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(wide.c_str())) return true;
    const DWORD error = GetLastError();
    SetFileAttributesW(wide.c_str(), attributes);
    SetLastError(error);
    return false;
}

bool isMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A flush the file system does not offer: NTFS journals its metadata, so a folder's
// entries are safe without one.
bool flushNotOffered(DWORD code) {
    return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_PARAMETER || code == ERROR_ACCESS_DENIED;
}

std::wstring childOf(const std::wstring& folder, const wchar_t* name) {
    std::wstring child = folder;
    if (!child.empty() && !isSlash(child.back())) child += L'\\';
    return child + name;
}

struct ReparseBuffer {
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteOffset;
    USHORT substituteLength;
    USHORT printOffset;
    USHORT printLength;
};

}  // namespace

Outcome statPath(const char* path, StatInfo* info) {
    *info = StatInfo{};
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    Handle h(openForInfo(wide, true));
    if (!h.ok()) return lastFailure(path);
    HandleInfo hi;
    if (!infoOf(h.get(), &hi)) return lastFailure(path);
    info->kind = kindOf(h.get(), hi);
    info->size = hi.identity.size;
    return Outcome::success();
}

Outcome listDirectory(const char* path, std::vector<DirEntry>* entries) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::List, path)) return Outcome::systemFailure(path, e);
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileExW(childOf(wide, L"*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        // A folder that exists yet lists nothing at all (a drive's root can) is empty.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            const DWORD attributes = GetFileAttributesW(wide.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                return Outcome::success();
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        return lastFailure(path);
    }
    struct FindCloser {
        HANDLE h;
        ~FindCloser() { FindClose(h); }
    } closer{find};
    for (;;) {
        const std::wstring_view name(found.cFileName);
        if (name != L"." && name != L"..") {
            DirEntry entry;
            if (!fromWideText(name, &entry.name)) {
                std::string utf8;
                const int n =
                    WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                        nullptr, 0, nullptr, nullptr);
                utf8.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
                if (n > 0)
                    WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                        utf8.data(), n, nullptr, nullptr);
                return Outcome::failure(path,
                                        std::string(hasGb18030() ? kUnconvertible : kNoConverter) +
                                            ": " + escaped(utf8),
                                        EILSEQ);
            }
            const std::wstring child = childOf(wide, found.cFileName);
            Handle self(openForInfo(child, false));
            HandleInfo hi;
            if (!self.ok() || !infoOf(self.get(), &hi)) {
                // Gone since the listing: it holds nothing to take.
                if (isMissing(GetLastError())) {
                    if (!FindNextFileW(find, &found)) break;
                    continue;
                }
                return lastFailure(std::string(path) + "/" + entry.name);
            }
            entry.isLink = hi.link();
            entry.identity = hi.identity;
            entry.isSpecial = false;
            entry.mode = modeOf(hi.basic.dwFileAttributes);
            entry.modifiedNs = hi.identity.modifiedNs;
            if (entry.isLink) {
                // A link counts as the file it names; a link to a folder is not followed,
                // so a link loop can neither hang nor crash a walk.
                Handle target(openForInfo(child, true));
                HandleInfo ti;
                const bool file = target.ok() && infoOf(target.get(), &ti) &&
                                  kindOf(target.get(), ti) == Kind::File;
                entry.kind = file ? Kind::File : Kind::Other;
                entry.size = file ? ti.identity.size : 0;
            } else {
                entry.kind = kindOf(self.get(), hi);
                entry.size = entry.kind == Kind::File ? hi.identity.size : 0;
            }
            entries->push_back(std::move(entry));
        }
        if (!FindNextFileW(find, &found)) break;
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) return lastFailure(path);
    return Outcome::success();
}

Outcome createDirectory(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::MakeDir, path)) return Outcome::systemFailure(path, e);
    if (!CreateDirectoryW(wide.c_str(), nullptr)) return lastFailure(path);
    return Outcome::success();
}

Outcome removeFile(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    if (!deleteFile(wide)) return lastFailure(path);
    return Outcome::success();
}

Outcome removeDirectory(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    if (!RemoveDirectoryW(wide.c_str())) return lastFailure(path);
    return Outcome::success();
}

Outcome removeTree(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Remove, path)) return Outcome::systemFailure(path, e);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return isMissing(GetLastError()) ? Outcome::success() : lastFailure(path);
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A link to a folder is a folder entry that RemoveDirectoryW takes away alone.
    if (!folder || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        const bool gone = folder ? RemoveDirectoryW(wide.c_str()) : deleteFile(wide);
        if (!gone && !isMissing(GetLastError())) return lastFailure(path);
        return Outcome::success();
    }
    std::vector<DirEntry> entries;
    if (Outcome o = listDirectory(path, &entries); !o) return o;
    for (const DirEntry& entry : entries) {
        const std::string child = std::string(path) + "/" + entry.name;
        if (Outcome o = removeTree(child.c_str()); !o) return o;
    }
    if (!RemoveDirectoryW(wide.c_str()) && !isMissing(GetLastError())) return lastFailure(path);
    return Outcome::success();
}

bool pathExists(const char* path) {
    std::wstring wide;
    if (!widePath(path, &wide)) return false;
    // Attributes are the name's own, so a dangling link exists too.
    return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Outcome renamePath(const char* from, const char* to) {
    std::wstring wideFrom;
    std::wstring wideTo;
    if (Outcome o = widePath(from, &wideFrom); !o) return o;
    if (Outcome o = widePath(to, &wideTo); !o) return o;
    if (int e = injectedFault(Op::Rename, to)) return Outcome::systemFailure(to, e);
    if (!MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return lastFailure(to);
    return Outcome::success();
}

Outcome readLink(const char* path, std::string* target) {
    target->clear();
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    Handle h(openForInfo(wide, false));
    if (!h.ok()) return lastFailure(path);
    std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!DeviceIoControl(h.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        // What is no reparse point is no link, as readlink says of a plain file.
        if (GetLastError() == ERROR_NOT_A_REPARSE_POINT)
            return Outcome::failure(path, "is not a symbolic link", EINVAL);
        return lastFailure(path);
    }
    ReparseBuffer head{};
    if (got < sizeof head) return Outcome::failure(path, "an unreadable link", EINVAL);
    std::memcpy(&head, buffer.data(), sizeof head);
    std::size_t pathsAt = sizeof head;
    if (head.tag == IO_REPARSE_TAG_SYMLINK)
        pathsAt += sizeof(ULONG);  // the flags
    else if (head.tag != IO_REPARSE_TAG_MOUNT_POINT)
        return Outcome::failure(path, "is not a symbolic link", EINVAL);
    // The print name is what the link was made with; the substitute name is the system's
    // own form of it (\??\C:\x), which only stands in where no print name was kept.
    USHORT offset = head.printOffset;
    USHORT length = head.printLength;
    if (length == 0) {
        offset = head.substituteOffset;
        length = head.substituteLength;
    }
    if (pathsAt + offset + length > got)
        return Outcome::failure(path, "an unreadable link", EINVAL);
    std::wstring text(length / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), buffer.data() + pathsAt + offset, text.size() * sizeof(wchar_t));
    if (text.rfind(L"\\??\\", 0) == 0) text.erase(0, 4);
    // Targets travel between systems in tree files: '/' separators, UTF-8.
    for (wchar_t& c : text)
        if (c == L'\\') c = L'/';
    if (text.empty()) return Outcome::success();
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return Outcome::failure(path, kUnconvertible, EILSEQ);
    target->resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        target->data(), n, nullptr, nullptr);
    return Outcome::success();
}

Outcome makeLink(const std::string& target, const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::MakeDir, path)) return Outcome::systemFailure(path, e);
    std::wstring wideTarget;
    if (!target.empty()) {
        const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, target.data(),
                                          static_cast<int>(target.size()), nullptr, 0);
        if (n <= 0) return Outcome::failure(path, "the link's target is not UTF-8", EILSEQ);
        wideTarget.resize(static_cast<std::size_t>(n));
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, target.data(),
                            static_cast<int>(target.size()), wideTarget.data(), n);
    }
    // Windows resolves only '\' in a relative target.
    for (wchar_t& c : wideTarget)
        if (c == L'/') c = L'\\';
    const bool absolute = (wideTarget.size() >= 2 && wideTarget[1] == L':') ||
                          (!wideTarget.empty() && isSlash(wideTarget[0]));
    std::wstring resolved = wideTarget;
    if (!absolute) {
        const std::size_t cut = wide.find_last_of(L'\\');
        resolved =
            (cut == std::wstring::npos ? std::wstring() : wide.substr(0, cut + 1)) + wideTarget;
    }
    const DWORD attributes = GetFileAttributesW(resolved.c_str());
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    bool made = CreateSymbolicLinkW(wide.c_str(), wideTarget.c_str(), flags) != 0;
    // Systems before developer mode existed refuse the flag itself.
    if (!made && GetLastError() == ERROR_INVALID_PARAMETER)
        made = CreateSymbolicLinkW(
                   wide.c_str(), wideTarget.c_str(),
                   flags & ~static_cast<DWORD>(SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) != 0;
    if (!made) return lastFailure(path);
    // Wine answers yes and makes nothing: a link is made only when it stands there.
    const DWORD standing = GetFileAttributesW(wide.c_str());
    if (standing == INVALID_FILE_ATTRIBUTES || !(standing & FILE_ATTRIBUTE_REPARSE_POINT))
        return Outcome::failure(Fault::System, path, "the system made no symbolic link",
                                EOPNOTSUPP);
    return Outcome::success();
}

namespace {

using Blocks = std::vector<std::pair<std::size_t, void*>>;

void WINAPI freeBlocks(void* data) {
    auto* blocks = static_cast<Blocks*>(data);
    if (blocks == nullptr) return;
    for (const auto& [n, block] : *blocks) alignedFree(block);
    delete blocks;
}

}  // namespace

char* threadBlock(std::size_t size) {
    static const DWORD slot = FlsAlloc(freeBlocks);
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    auto* blocks = static_cast<Blocks*>(FlsGetValue(slot));
    if (blocks == nullptr) {
        blocks = new (std::nothrow) Blocks;
        if (blocks == nullptr) return nullptr;
        if (!FlsSetValue(slot, blocks)) {
            delete blocks;
            return nullptr;
        }
    }
    for (const auto& [n, block] : *blocks)
        if (n == size) return static_cast<char*>(block);
    void* block = alignedAlloc(4096, size);
    if (block == nullptr) return nullptr;
    try {
        blocks->emplace_back(size, block);
    } catch (const std::bad_alloc&) {
        alignedFree(block);
        return nullptr;
    }
    return static_cast<char*>(block);
}

Outcome viewFile(const char* existing, const char* path) {
    std::wstring from, to;
    if (Outcome o = widePath(existing, &from); !o) return o;
    if (Outcome o = widePath(path, &to); !o) return o;
    if (int e = injectedFault(Op::MakeDir, path)) return Outcome::systemFailure(path, e);
    if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) return Outcome::success();
    std::string target;
    if (toNativeText(existing, &target) && makeLink(target, path)) return Outcome::success();
    // Fails where a file already stands, as the links do.
    if (!CopyFileW(from.c_str(), to.c_str(), TRUE)) return lastFailure(path);
    return Outcome::success();
}

Outcome setModeAndTime(const char* path, std::uint32_t mode, std::int64_t modifiedNs, bool isLink) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Write, path)) return Outcome::systemFailure(path, e);
    {
        Handle h(openForInfo(wide, false, FILE_WRITE_ATTRIBUTES));
        if (!h.ok()) return lastFailure(path);
        const FILETIME modified = fileTimeOf(modifiedNs);
        if (!SetFileTime(h.get(), nullptr, nullptr, &modified)) return lastFailure(path);
    }
    if (isLink) return Outcome::success();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return lastFailure(path);
    // A read-only folder means something else on Windows (a customised one), and it would
    // not keep its files from change: only files take the bit.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Outcome::success();
    const DWORD wanted = (mode & 0222) == 0
                             ? (attributes | FILE_ATTRIBUTE_READONLY)
                             : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (wanted != attributes && !SetFileAttributesW(wide.c_str(), wanted)) return lastFailure(path);
    return Outcome::success();
}

Outcome exchangePaths(const char* a, const char* b, bool* supported) {
    *supported = false;
    std::wstring wideA;
    std::wstring wideB;
    if (Outcome o = widePath(a, &wideA); !o) return o;
    if (Outcome o = widePath(b, &wideB); !o) return o;
    return Outcome::success();
}

Outcome syncDirectory(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Sync, path)) return Outcome::systemFailure(path, e);
    Handle h(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.ok()) {
        const DWORD code = GetLastError();
        return flushNotOffered(code) ? Outcome::success() : windowsFailure(path, code);
    }
    if (!FlushFileBuffers(h.get())) {
        const DWORD code = GetLastError();
        if (!flushNotOffered(code)) return windowsFailure(path, code);
    }
    return Outcome::success();
}

// Flushing a whole volume needs administrator rights on Windows. Every file written here
// was flushed when it was closed, so what is left is the folder itself.
Outcome syncFileSystem(const char* path) {
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Sync, path)) return Outcome::systemFailure(path, e);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) return lastFailure(path);
    return syncDirectory(path);
}

Outcome fileSystemRoom(const char* path, Room* room) {
    *room = Room{};
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) return lastFailure(path);
    std::wstring root(wide.size() + 2, L'\0');
    if (!GetVolumePathNameW(wide.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return lastFailure(path);
    root.resize(std::wcslen(root.c_str()));
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExW(root.c_str(), &freeToCaller, nullptr, nullptr))
        return lastFailure(path);
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    std::int64_t cluster = 0;
    if (GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                          &clusters))
        cluster = static_cast<std::int64_t>(sectorsPerCluster) * bytesPerSector;
    room->blockSize = cluster > 0 ? cluster : 4096;
    room->freeBytes = static_cast<std::int64_t>(freeToCaller.QuadPart);
    if (const std::int64_t told = detail::hookedRoom(path); told >= 0) room->freeBytes = told;
    return Outcome::success();
}

NameLock::~NameLock() {
    release();
}

Outcome NameLock::acquire(const std::string& lockPath) {
    release();
    std::wstring wide;
    if (Outcome o = widePath(lockPath.c_str(), &wide); !o) return o;
    // The holder that lets go marks its file for deletion. Until its last handle closes the
    // name refuses new opens, and a lock taken on it is a lock on a file on its way out:
    // both mean try again.
    DWORD lastError = ERROR_ACCESS_DENIED;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (attempt > 0) std::this_thread::yield();
        HANDLE h =
            CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            lastError = GetLastError();
            if (lastError == ERROR_ACCESS_DENIED) continue;
            return windowsFailure(lockPath, lastError);
        }
        HandleInfo hi;
        if (infoOf(h, &hi) && hi.link()) {
            CloseHandle(h);
            return Outcome::failure(lockPath, "the lock file is a link", ELOOP);
        }
        OVERLAPPED whole{};
        if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                        MAXDWORD, &whole)) {
            const DWORD code = GetLastError();
            CloseHandle(h);
            return windowsFailure(lockPath, code == ERROR_IO_PENDING ? ERROR_LOCK_VIOLATION : code);
        }
        FILE_STANDARD_INFO standard{};
        if (GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) &&
            !standard.DeletePending) {
            handle_ = asNative(h);
            path_ = lockPath;
            return Outcome::success();
        }
        CloseHandle(h);
        lastError = ERROR_LOCK_VIOLATION;
    }
    return windowsFailure(lockPath, lastError);
}

void NameLock::release() {
    if (handle_ == kNoHandle) return;
    // Deleted through the held handle, so the name goes with the claim and never takes a
    // newer holder's file with it.
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(asHandle(handle_), FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(asHandle(handle_));
    handle_ = kNoHandle;
}

File::~File() {
    if (handle_ != kNoHandle) CloseHandle(asHandle(handle_));
}

File::File(File&& other) noexcept
    : handle_(other.handle_),
      mode_(other.mode_),
      offset_(other.offset_),
      path_(std::move(other.path_)) {
    other.handle_ = kNoHandle;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) CloseHandle(asHandle(handle_));
        handle_ = other.handle_;
        mode_ = other.mode_;
        offset_ = other.offset_;
        path_ = std::move(other.path_);
        other.handle_ = kNoHandle;
    }
    return *this;
}

Outcome File::open(const char* path, Mode mode) {
    if (handle_ != kNoHandle) close();
    path_ = path ? path : "";
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Open, path_)) return Outcome::systemFailure(path_, e);
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_ALWAYS;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    switch (mode) {
        case Mode::Read:
            access = GENERIC_READ;
            disposition = OPEN_EXISTING;
            break;
        case Mode::WriteTruncate:
            // Emptied after the open: CREATE_ALWAYS would also reset the attributes.
            break;
        case Mode::Append:
            // Every write names the end of the file as its offset (see write), as with
            // O_APPEND; write access stays whole, so truncate works as on POSIX.
            break;
        case Mode::CreateNew:
            disposition = CREATE_NEW;
            flags |= FILE_FLAG_OPEN_REPARSE_POINT;
            break;
    }
    HANDLE h = CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A folder refuses a file's open where POSIX opens it and fails at the first read.
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) && mode != Mode::CreateNew)
            return Outcome::systemFailure(path_, EISDIR);
        return windowsFailure(path_, code);
    }
    // A reserved name (CON, NUL, COM1) opens a device: never a file to read or to fill.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return Outcome::failure(Fault::Invalid, path_, "is not a regular file (a device or pipe)",
                                EINVAL);
    }
    if (mode == Mode::WriteTruncate) {
        FILE_END_OF_FILE_INFO empty{};
        if (!SetFileInformationByHandle(h, FileEndOfFileInfo, &empty, sizeof empty)) {
            const DWORD code = GetLastError();
            CloseHandle(h);
            return windowsFailure(path_, code);
        }
    }
    handle_ = asNative(h);
    mode_ = mode;
    offset_ = 0;
    return Outcome::success();
}

namespace {

OVERLAPPED at(std::int64_t offset) {
    OVERLAPPED o{};
    const auto value = static_cast<std::uint64_t>(offset);
    o.Offset = static_cast<DWORD>(value & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(value >> 32);
    return o;
}

// One read at offset: *got is 0 at the end.
bool readOnce(HANDLE h, void* buffer, std::size_t size, std::int64_t offset, std::size_t* got) {
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    const auto want = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
    if (!ReadFile(h, buffer, want, &n, &where)) {
        if (GetLastError() != ERROR_HANDLE_EOF) return false;
        n = 0;
    }
    *got = n;
    return true;
}

}  // namespace

Outcome File::read(void* buffer, std::size_t size, std::size_t* got) {
    *got = 0;
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Read, path_)) return Outcome::systemFailure(path_, e);
    if (!readOnce(asHandle(handle_), buffer, size, offset_, got)) return lastFailure(path_);
    offset_ += static_cast<std::int64_t>(*got);
    return Outcome::success();
}

Outcome File::readAt(void* buffer, std::size_t size, std::int64_t offset, std::size_t* got) {
    *got = 0;
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Read, path_)) return Outcome::systemFailure(path_, e);
    if (!readOnce(asHandle(handle_), buffer, size, offset, got)) return lastFailure(path_);
    return Outcome::success();
}

Outcome File::write(const void* buffer, std::size_t size) {
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    const char* p = static_cast<const char*>(buffer);
    const bool append = mode_ == Mode::Append;
    while (size > 0) {
        // Both offset words all ones: at the end of the file.
        OVERLAPPED where = at(append ? -1 : offset_);
        DWORD n = 0;
        const auto want = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
        if (!WriteFile(asHandle(handle_), p, want, &n, &where)) return lastFailure(path_);
        if (n == 0) return Outcome::systemFailure(path_, ENOSPC);
        p += n;
        size -= n;
        offset_ += n;
    }
    if (append) {
        LARGE_INTEGER end{};
        if (!GetFileSizeEx(asHandle(handle_), &end)) return lastFailure(path_);
        offset_ = end.QuadPart;
    }
    return Outcome::success();
}

namespace {

// Makes a file written with gaps keep them as holes, where the file system can; where it
// cannot, the gaps are zeros on the disk, which read the same.
void allowHoles(HANDLE h, std::int64_t beyond) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size) || beyond <= size.QuadPart) return;
    DWORD unused = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
}

}  // namespace

Outcome File::seek(std::int64_t offset) {
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Seek, path_)) return Outcome::systemFailure(path_, e);
    if (offset < 0) return Outcome::systemFailure(path_, EINVAL);
    if (mode_ != Mode::Read) allowHoles(asHandle(handle_), offset);
    offset_ = offset;
    return Outcome::success();
}

Outcome File::position(std::int64_t* offset) {
    *offset = 0;
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    *offset = offset_;
    return Outcome::success();
}

Outcome File::size(std::int64_t* bytes) {
    *bytes = 0;
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(asHandle(handle_), &size)) return lastFailure(path_);
    *bytes = size.QuadPart;
    return Outcome::success();
}

Outcome File::close() {
    if (handle_ == kNoHandle) return Outcome::success();
    HANDLE h = asHandle(handle_);
    handle_ = kNoHandle;
    int e = injectedFault(Op::Close, path_);
    // No flush of a whole volume is open to us later, so what was written goes to the
    // disk now.
    DWORD code = ERROR_SUCCESS;
    if (mode_ != Mode::Read && !FlushFileBuffers(h)) {
        code = GetLastError();
        if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED) code = ERROR_SUCCESS;
    }
    if (!CloseHandle(h) && code == ERROR_SUCCESS) code = GetLastError();
    if (e != 0) return Outcome::systemFailure(path_, e);
    if (code != ERROR_SUCCESS) return windowsFailure(path_, code);
    return Outcome::success();
}

Outcome File::identity(FileIdentity* id, bool* holeFree) {
    *id = FileIdentity{};
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    HandleInfo hi;
    if (!infoOf(asHandle(handle_), &hi)) return lastFailure(path_);
    *id = hi.identity;
    if (holeFree != nullptr)
        *holeFree = (hi.basic.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) == 0;
    return Outcome::success();
}

Outcome File::identityAtOpen(FileIdentity* id, bool* holeFree) {
    return identity(id, holeFree);
}

Outcome linkIdentity(const char* path, FileIdentity* id) {
    *id = FileIdentity{};
    std::wstring wide;
    if (Outcome o = widePath(path, &wide); !o) return o;
    if (int e = injectedFault(Op::Stat, path)) return Outcome::systemFailure(path, e);
    Handle h(openForInfo(wide, false));
    if (!h.ok()) return lastFailure(path);
    HandleInfo hi;
    if (!infoOf(h.get(), &hi)) return lastFailure(path);
    *id = hi.identity;
    return Outcome::success();
}

Outcome File::dataRanges(std::vector<std::pair<std::int64_t, std::int64_t>>* ranges) {
    ranges->clear();
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    HANDLE h = asHandle(handle_);
    HandleInfo hi;
    if (!infoOf(h, &hi)) return lastFailure(path_);
    const std::int64_t size = hi.identity.size;
    offset_ = 0;
    if (size == 0) return Outcome::success();
    // Only a sparse file has holes; a file system that cannot tell (wine) has all data.
    const auto whole = [&] {
        ranges->assign(1, {0, size});
        return Outcome::success();
    };
    if (!(hi.basic.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)) return whole();
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = 0;
    query.Length.QuadPart = size;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> found(64);
    for (;;) {
        DWORD got = 0;
        const BOOL done =
            DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, found.data(),
                            static_cast<DWORD>(found.size() * sizeof found[0]), &got, nullptr);
        const DWORD code = done ? ERROR_SUCCESS : GetLastError();
        if (!done && code != ERROR_MORE_DATA) {
            ranges->clear();
            return whole();
        }
        const std::size_t count = got / sizeof found[0];
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t from = found[i].FileOffset.QuadPart;
            std::int64_t length = found[i].Length.QuadPart;
            if (from >= size) continue;
            if (from + length > size) length = size - from;
            ranges->push_back({from, length});
        }
        if (done) break;
        if (count == 0) {
            ranges->clear();
            return whole();
        }
        const std::int64_t next =
            found[count - 1].FileOffset.QuadPart + found[count - 1].Length.QuadPart;
        query.FileOffset.QuadPart = next;
        query.Length.QuadPart = size - next;
        if (query.Length.QuadPart <= 0) break;
    }
    return Outcome::success();
}

Outcome File::setModeAndTime(std::uint32_t mode, std::int64_t modifiedNs) {
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(asHandle(handle_), FileBasicInfo, &info, sizeof info))
        return lastFailure(path_);
    // Zero leaves a time as it is; the one set here is kept at close, whatever was written.
    const FILETIME modified = fileTimeOf(modifiedNs);
    info.CreationTime.QuadPart = 0;
    info.LastAccessTime.QuadPart = 0;
    info.ChangeTime.QuadPart = 0;
    info.LastWriteTime.LowPart = modified.dwLowDateTime;
    info.LastWriteTime.HighPart = static_cast<LONG>(modified.dwHighDateTime);
    info.FileAttributes =
        (mode & 0222) == 0 ? (info.FileAttributes | FILE_ATTRIBUTE_READONLY)
                           : (info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(asHandle(handle_), FileBasicInfo, &info, sizeof info))
        return lastFailure(path_);
    return Outcome::success();
}

Outcome File::truncate(std::int64_t size) {
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    allowHoles(asHandle(handle_), size);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(asHandle(handle_), FileEndOfFileInfo, &end, sizeof end))
        return lastFailure(path_);
    return Outcome::success();
}

// Not sparse: a sparse file takes its clusters only as each is written, and a write through
// a mapping then has no way to say the disk is full. Extending a file that is not sparse
// takes its clusters; asking for them first says a full disk before the size changes, where
// the file system can be asked.
Outcome File::reserve(std::int64_t size) {
    if (handle_ == kNoHandle) return Outcome::systemFailure(path_, EBADF);
    if (int e = injectedFault(Op::Write, path_)) return Outcome::systemFailure(path_, e);
    FILE_ALLOCATION_INFO taken{};
    taken.AllocationSize.QuadPart = size;
    if (!SetFileInformationByHandle(asHandle(handle_), FileAllocationInfo, &taken, sizeof taken) &&
        GetLastError() == ERROR_DISK_FULL)
        return lastFailure(path_);
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(asHandle(handle_), FileEndOfFileInfo, &end, sizeof end))
        return lastFailure(path_);
    return Outcome::success();
}

// Windows copies between names, never between two open files: the caller moves the bytes.
Outcome File::copyFrom(File& src, std::size_t size, std::size_t* copied, bool* supported) {
    (void)size;
    *copied = 0;
    *supported = false;
    if (handle_ == kNoHandle || src.handle_ == kNoHandle)
        return Outcome::systemFailure(handle_ == kNoHandle ? path_ : src.path_, EBADF);
    return Outcome::success();
}

// Windows takes the access pattern only when a file is opened; its read-ahead finds a
// sequential reader by itself.
void File::adviseSequential() {}

// Windows has no call to start the disk on a range; its lazy writer starts soon by itself.
void File::startWriteback(std::int64_t offset, std::int64_t length) {
    (void)offset;
    (void)length;
}

Outcome Mapping::map(File& file, std::int64_t length) {
    unmap();
    if (file.handle_ == kNoHandle || length < 1) return Outcome::systemFailure(file.path_, EINVAL);
    if (int e = injectedFault(Op::Map, file.path_)) return Outcome::systemFailure(file.path_, e);
    const auto size = static_cast<std::uint64_t>(length);
    HANDLE section = CreateFileMappingW(asHandle(file.handle_), nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size & 0xffffffffu), nullptr);
    if (section == nullptr) return lastFailure(file.path_);
    void* p = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
    if (p == nullptr) {
        Outcome o = lastFailure(file.path_);
        CloseHandle(section);
        return o;
    }
    data_ = static_cast<unsigned char*>(p);
    length_ = length;
    section_ = reinterpret_cast<NativeHandle>(section);
    path_ = file.path_;
    return Outcome::success();
}

// Windows has no call to ready pages for writing; the first writes fault them in.
void Mapping::prepare(std::int64_t offset, std::int64_t length) {
    (void)offset;
    (void)length;
}

// The flush before the rename (FlushFileBuffers) waits only for the pages a view has given
// back with FlushViewOfFile.
Outcome Mapping::unmap() {
    if (data_ == nullptr) return Outcome::success();
    Outcome o = Outcome::success();
    if (!FlushViewOfFile(data_, 0)) o = lastFailure(path_);
    if (!UnmapViewOfFile(data_) && o) o = lastFailure(path_);
    CloseHandle(reinterpret_cast<HANDLE>(section_));
    data_ = nullptr;
    length_ = 0;
    section_ = kNoHandle;
    return o;
}

std::string detail::windowsMessage(unsigned long code) {
    return messageText(code);
}

}  // namespace morvane::plat
