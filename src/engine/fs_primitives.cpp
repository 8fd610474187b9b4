#include "engine/fs_primitives.h"

#include <cerrno>
#include <cstring>

#include "engine/limits.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

// Both walks share this, so that they always agree on what belongs to a folder.
template <typename Visit>
Outcome walkFolder(const char* folder, bool recurse, Visit&& visit) {
    std::vector<plat::DirEntry> entries;
    if (Outcome o = plat::listDirectory(folder, &entries); !o) return o;
    const std::string base(folder);
    for (const plat::DirEntry& entry : entries) {
        // Every name is data, dot-names too; links are not followed, and FIFOs, sockets
        // and devices hold nothing a chunk can carry.
        if (entry.isLink || entry.isSpecial || entry.kind == plat::Kind::Other) continue;
        std::string path = base + "/" + entry.name;
        if (Outcome o = fitsPathField(path); !o) return o;
        if (entry.kind == plat::Kind::Folder) {
            if (!recurse) continue;
            if (Outcome o = walkFolder(path.c_str(), recurse, visit); !o) return o;
        } else {
            if (Outcome o = visit(std::move(path), entry.size); !o) return o;
        }
    }
    return Outcome::success();
}

}  // namespace

int pathKind(const char* path) {
    plat::StatInfo info;
    if (!plat::statPath(path, &info)) return -1;
    if (info.kind == plat::Kind::Folder) return 1;
    if (info.kind == plat::Kind::File) return 0;
    return -1;
}

std::int64_t fileSize(const char* path) {
    plat::StatInfo info;
    if (!plat::statPath(path, &info)) return -1;
    return info.size;
}

std::int64_t folderSize(const char* path, Outcome* why) {
    std::int64_t sum = 0;
    Outcome o = walkFolder(path, true, [&](std::string, std::int64_t size) {
        sum += size;
        return Outcome::success();
    });
    if (why) *why = o;
    return o ? sum : -1;
}

std::int64_t pathSize(const char* path, Outcome* why) {
    switch (pathKind(path)) {
        case 0: {
            const std::int64_t size = fileSize(path);
            if (why) *why = size < 0 ? Outcome::failure(path, "cannot be measured") : Outcome();
            return size;
        }
        case 1:
            return folderSize(path, why);
        default: {
            if (why) {
                plat::StatInfo info;
                *why = plat::statPath(path, &info);
                if (*why) *why = Outcome::failure(path, "not a regular file or folder", EINVAL);
            }
            return -1;
        }
    }
}

Outcome listFolderFiles(const char* folder, bool recurse, std::vector<std::string>* list) {
    return walkFolder(folder, recurse, [&](std::string file, std::int64_t) {
        list->push_back(std::move(file));
        return Outcome::success();
    });
}

std::size_t afterLastSeparator(const char* text, std::size_t length) {
    std::size_t after = 0;
    const char* end = text + length;
    for (const char* p = text; p < end;) {
        const std::size_t n = plat::charLength(p, end);
        if (n == 1 && (*p == '/' || *p == '\\')) after = static_cast<std::size_t>(p - text) + 1;
        p += n;
    }
    return after;
}

std::string nameOf(const std::string& path) {
    // "/" is never a byte inside a two- or four-byte GB18030 character.
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool holdsBackslash(const std::string& text) {
    const char* end = text.data() + text.size();
    for (const char* p = text.data(); p < end;) {
        const std::size_t n = plat::charLength(p, end);
        if (n == 1 && *p == '\\') return true;
        p += n;
    }
    return false;
}

int baseName(const char* path, char* out, std::size_t outSize) {
    if (path == nullptr) return -1;
    const std::size_t length = std::strlen(path);
    const std::size_t after = afterLastSeparator(path, length);
    if (after == 0) return 0;
    const std::size_t n = length - after;
    if (n >= outSize) return -1;
    std::memcpy(out, path + after, n + 1);
    return 0;
}

int cutAtFirstDot(char* name) {
    // "." is never a byte inside a two- or four-byte GB18030 character.
    if (char* dot = std::strchr(name, '.')) *dot = '\0';
    return 0;
}

Outcome makeDir(const char* path) {
    return plat::createDirectory(path);
}

Outcome makeParentDirs(const std::string& filePath, std::vector<std::string>* made) {
    if (Outcome o = fitsPathField(filePath); !o) return o;
    const char* begin = filePath.c_str();
    const char* end = begin + filePath.size();
    for (const char* p = begin; p < end;) {
        const std::size_t n = plat::charLength(p, end);
        if (n == 1 && *p == '/' && p != begin) {
            const std::string prefix(begin, static_cast<std::size_t>(p - begin));
            Outcome o = plat::createDirectory(prefix.c_str());
            if (o && made != nullptr)
                made->push_back(prefix);
            else if (!o && !o.is(Fault::Exists))
                return o;
        }
        p += n;
    }
    return Outcome::success();
}

}  // namespace morvane
