#include "engine/tree.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "engine/limits.h"
#include "engine/set_names.h"
#include "engine/sha256.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

bool validUtf8(const std::string& s) {
    std::string ignored;
    return plat::toEngineText(s, &ignored);
}

// Appends a field of the side file: "\\", tab, newline, carriage return and other control
// bytes escaped, so one line is one entry whatever a name holds. Bytes that are not UTF-8
// (a link's target may hold any) are escaped too.
void appendField(std::string* to, const std::string& bytes) {
    // Most names need no escape: printable ASCII goes as it is.
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; })) {
        to->append(bytes);
        return;
    }
    static const char digits[] = "0123456789abcdef";
    const bool raw = validUtf8(bytes);
    std::string& out = *to;
    for (unsigned char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !raw)) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

bool unescapeField(std::string_view text, std::string* out) {
    if (text.find('\\') == std::string_view::npos) {
        out->assign(text);
        return true;
    }
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\':
                *out += '\\';
                break;
            case 't':
                *out += '\t';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                const char hex[3] = {text[i + 1], text[i + 2], '\0'};
                char* end = nullptr;
                const long value = std::strtol(hex, &end, 16);
                if (end != hex + 2) return false;
                *out += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// Digits only, a "-" at most in front: nothing the writer does not write.
bool parseInt(std::string_view text, std::int64_t* value, int base = 10) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, *value, base);
    return !text.empty() && error == std::errc() && at == end;
}

// The parts of text between separators, as views into it; at most max of them. False when
// there are more.
bool splitOn(std::string_view text, char separator, std::vector<std::string_view>* parts,
             std::size_t max) {
    parts->clear();
    std::size_t at = 0;
    for (;;) {
        if (parts->size() == max) return false;
        const std::size_t next = text.find(separator, at);
        parts->push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
        if (next == std::string_view::npos) return true;
        at = next + 1;
    }
}

TreeEntry entryOf(const plat::DirEntry& d, const std::string& name) {
    TreeEntry e;
    e.name = name;
    e.mode = d.mode;
    e.modifiedNs = d.modifiedNs;
    if (d.isLink)
        e.type = TreeEntry::Type::Link;
    else if (d.kind == plat::Kind::Folder)
        e.type = TreeEntry::Type::Folder;
    else
        e.type = TreeEntry::Type::File;
    e.size = e.type == TreeEntry::Type::File ? d.size : 0;
    return e;
}

Outcome walkInto(const std::string& folder, const std::string& relative, Walk* walk) {
    std::vector<plat::DirEntry> entries;
    if (Outcome o = plat::listDirectory(folder.c_str(), &entries); !o) return o;
    for (const plat::DirEntry& d : entries) {
        const std::string path = folder + "/" + d.name;
        const std::string name = relative.empty() ? d.name : relative + "/" + d.name;
        if (Outcome o = fitsPathField(path); !o) return o;
        if (d.isSpecial) {
            walk->specials.push_back(path);
            continue;
        }
        walk->tree.entries.push_back(entryOf(d, name));
        walk->seen.push_back(d.identity);
        if (d.isLink) {
            if (Outcome o = plat::readLink(path.c_str(), &walk->tree.entries.back().linkTarget); !o)
                return o;
        } else if (d.kind == plat::Kind::Folder) {
            if (Outcome o = walkInto(path, name, walk); !o) return o;
        } else {
            walk->fileEntry.push_back(walk->tree.entries.size() - 1);
            walk->totalSize += d.size;
        }
    }
    return Outcome::success();
}

// "/" never occurs inside a multi-byte GB18030 character.
bool climbsOut(std::string_view name) {
    if (name.empty() || name[0] == '/') return true;
    for (std::size_t at = 0;;) {
        const std::size_t slash = name.find('/', at);
        const std::string_view level = name.substr(at, slash == name.npos ? slash : slash - at);
        if (level.empty() || level == "." || level == "..") return true;
        if (slash == name.npos) return false;
        at = slash + 1;
    }
}

}  // namespace

Outcome walkFolder(const std::string& root, Walk* walk) {
    *walk = Walk{};
    walk->tree.folderSet = true;
    plat::StatInfo info;
    if (Outcome o = plat::statPath(root.c_str(), &info); !o) return o;
    // The folder itself: its own mode and time come back too.
    const std::size_t slash = root.rfind('/');
    std::vector<plat::DirEntry> parent;
    if (Outcome o = plat::listDirectory(slash == 0 ? "/" : root.substr(0, slash).c_str(), &parent);
        !o)
        return o;
    const std::string own = root.substr(slash + 1);
    for (const plat::DirEntry& d : parent)
        if (d.name == own) {
            walk->tree.entries.push_back(entryOf(d, "."));
            walk->seen.push_back(d.identity);
        }
    if (walk->tree.entries.empty()) {
        walk->tree.entries.push_back(
            TreeEntry{TreeEntry::Type::Folder, ".", 0755, 0, 0, {}, false, {}});
        walk->seen.emplace_back();
    }
    walk->tree.entries.front().type = TreeEntry::Type::Folder;
    return walkInto(root, "", walk);
}

Outcome describeFile(const std::string& path, Walk* walk) {
    *walk = Walk{};
    plat::StatInfo info;
    if (Outcome o = plat::statPath(path.c_str(), &info); !o) return o;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<plat::DirEntry> entries;
    if (Outcome o = plat::listDirectory(folder.c_str(), &entries); !o) return o;
    for (const plat::DirEntry& d : entries) {
        if (d.name != name) continue;
        TreeEntry e = entryOf(d, name);
        // A link given as the source is read as the file it names.
        e.type = TreeEntry::Type::File;
        if (d.isLink) {
            e.mode = 0644;
            e.size = info.size;
        }
        walk->tree.entries.push_back(e);
        walk->seen.push_back(d.identity);
        walk->fileEntry.push_back(0);
        walk->totalSize = e.size;
        return Outcome::success();
    }
    return Outcome::systemFailure(path, ENOENT);
}

std::string encodeTree(const Tree& tree) {
    std::string whole;
    encodeTree(tree, [&whole](const char* bytes, std::size_t size) {
        whole.append(bytes, size);
        return Outcome::success();
    });
    return whole;
}

std::int64_t encodedTreeSize(const Tree& tree) {
    std::int64_t size = 0;
    encodeTree(tree, [&size](const char*, std::size_t n) {
        size += static_cast<std::int64_t>(n);
        return Outcome::success();
    });
    return size;
}

Outcome encodeTree(const Tree& tree, const TreeSink& put) {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::string text = std::string(kTreeMagic) + "\n";
    text += std::string("set\t") + (tree.folderSet ? "folder" : "file") + "\n";
    std::string name;
    for (const TreeEntry& e : tree.entries) {
        text += e.type == TreeEntry::Type::Folder ? "d\t"
                : e.type == TreeEntry::Type::Link ? "l\t"
                                                  : "f\t";
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", e.mode & 07777);
        text.append(mode).push_back('\t');
        text.append(std::to_string(e.modifiedNs)).push_back('\t');
        text.append(std::to_string(e.size)).push_back('\t');
        if (!plat::toNativeText(e.name, &name)) name = e.name;
        appendField(&text, name);
        if (e.type == TreeEntry::Type::Link) {
            text.push_back('\t');
            appendField(&text, e.linkTarget);
        }
        if (e.type == TreeEntry::Type::File && e.sparse) {
            text += "\tdata=";
            for (std::size_t i = 0; i < e.dataRanges.size(); ++i) {
                if (i > 0) text.push_back(',');
                text.append(std::to_string(e.dataRanges[i].first));
                text.push_back('+');
                text.append(std::to_string(e.dataRanges[i].second));
            }
        }
        text += "\n";
        if (text.size() >= kBlock) {
            if (Outcome o = put(text.data(), text.size()); !o) return o;
            text.clear();
        }
    }
    return text.empty() ? Outcome::success() : put(text.data(), text.size());
}

namespace {

// No name twice, and nothing below a file or a link: nothing may be written through a link
// the join made. The names are sorted once with "/" before every other byte, so that
// whatever lies below a name comes right after it. The first entry, in the file's order,
// that is the later of such a pair, and *why; SIZE_MAX when there is none.
std::size_t misnamedEntry(const Tree& t, const char** why) {
    const auto key = [](char c) {
        return c == '/' ? 0 : static_cast<int>(static_cast<unsigned char>(c)) + 1;
    };
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        const std::string& x = t.entries[a].name;
        const std::string& y = t.entries[b].name;
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                            [&](char p, char q) { return key(p) < key(q); });
    };
    std::vector<std::uint32_t> order(t.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), before);
    std::size_t first = SIZE_MAX;
    for (std::size_t k = 1; k < order.size(); ++k) {
        const TreeEntry& a = t.entries[order[k - 1]];
        const TreeEntry& b = t.entries[order[k]];
        const char* wrong = nullptr;
        if (a.name == b.name)
            wrong = "names an entry a second time";
        else if (a.type != TreeEntry::Type::Folder && b.name.size() > a.name.size() &&
                 b.name[a.name.size()] == '/' && b.name.compare(0, a.name.size(), a.name) == 0)
            wrong = "names an entry below a link or a file";
        const std::size_t at = std::max(order[k - 1], order[k]);
        if (wrong != nullptr && at < first) {
            first = at;
            *why = wrong;
        }
    }
    return first;
}

}  // namespace

Outcome parseTree(const std::string& text, const std::string& path, Tree* tree) {
    *tree = Tree{};
    Tree t;
    std::size_t lineNumber = 0;
    auto damaged = [&](const std::string& why) {
        return Outcome::failure(
            path, "the tree file is damaged: line " + std::to_string(lineNumber) + " " + why,
            EINVAL);
    };
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    t.entries.reserve(lines);
    std::vector<std::string_view> f;
    std::vector<std::string_view> ranges;
    std::string name;
    std::size_t at = 0;
    bool sawSet = false;
    while (at < text.size()) {
        ++lineNumber;
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return damaged("does not end with a newline");
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        if (lineNumber == 1) {
            if (line != kTreeMagic) return damaged("is not \"" + std::string(kTreeMagic) + "\"");
            continue;
        }
        const bool fits = splitOn(line, '\t', &f, 8);
        if (lineNumber == 2) {
            if (!fits || f.size() != 2 || f[0] != "set" || (f[1] != "folder" && f[1] != "file"))
                return damaged("does not say what kind of set this is");
            t.folderSet = f[1] == "folder";
            sawSet = true;
            continue;
        }
        if (f.size() < 5 || f[0].size() != 1) return damaged("is not an entry");
        TreeEntry e;
        std::int64_t mode = 0;
        if (f[0] == "f")
            e.type = TreeEntry::Type::File;
        else if (f[0] == "d")
            e.type = TreeEntry::Type::Folder;
        else if (f[0] == "l")
            e.type = TreeEntry::Type::Link;
        else
            return damaged("has an unknown type");
        if (!parseInt(f[1], &mode, 8) || mode < 0 || mode > 07777 ||
            !parseInt(f[2], &e.modifiedNs) || !parseInt(f[3], &e.size) || e.size < 0)
            return damaged("has a bad number");
        e.mode = static_cast<std::uint32_t>(mode);
        if (!unescapeField(f[4], &name) || !plat::toEngineText(name, &e.name))
            return damaged("has a bad name");
        const bool root = e.name == ".";
        if (root ? (e.type != TreeEntry::Type::Folder || !t.folderSet) : climbsOut(e.name))
            return damaged("names a place outside the folder");
        std::size_t extra = 5;
        if (e.type == TreeEntry::Type::Link) {
            if (f.size() < 6 || !unescapeField(f[5], &e.linkTarget) || e.linkTarget.empty())
                return damaged("has a bad link target");
            extra = 6;
        }
        if (fits && f.size() == extra + 1 && e.type == TreeEntry::Type::File &&
            f[extra].substr(0, 5) == "data=") {
            e.sparse = true;
            const std::string_view list = f[extra].substr(5);
            std::int64_t last = 0;
            if (!list.empty() && !splitOn(list, ',', &ranges, list.size()))
                return damaged("has a bad data range");
            if (list.empty()) ranges.clear();
            for (const std::string_view range : ranges) {
                const std::size_t plus = range.find('+');
                std::int64_t offset = 0, length = 0;
                if (plus == std::string_view::npos || !parseInt(range.substr(0, plus), &offset) ||
                    !parseInt(range.substr(plus + 1), &length) || offset < last || length <= 0 ||
                    length > e.size - offset)
                    return damaged("has a bad data range");
                e.dataRanges.push_back({offset, length});
                last = offset + length;
            }
        } else if (!fits || f.size() != extra) {
            return damaged("has fields left over");
        }
        t.entries.push_back(std::move(e));
    }
    if (!sawSet) return damaged("ends before it says what kind of set this is");
    const char* why = nullptr;
    if (const std::size_t entry = misnamedEntry(t, &why); why != nullptr) {
        lineNumber = entry + 3;  // the entries start on the third line
        return damaged(why);
    }
    *tree = std::move(t);
    return Outcome::success();
}

Outcome readTree(const std::string& folder, bool* present, Tree* tree, std::string* sha256) {
    *present = false;
    *tree = Tree{};
    if (sha256 != nullptr) sha256->clear();
    const std::string path = SetNames(folder, {}).treePath();
    std::string text;
    if (Outcome o = plat::readWholeFile(path.c_str(), 256 << 20, &text); !o)
        return o.is(Fault::NotFound) ? Outcome::success() : (*present = true, o);
    *present = true;
    if (sha256 != nullptr) *sha256 = sha256Hex(text.data(), text.size());
    return parseTree(text, path, tree);
}

}  // namespace morvane
