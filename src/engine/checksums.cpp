#include "engine/checksums.h"

#include <cerrno>

#include "engine/set_names.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane {
namespace {

bool isLowerHex(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

Outcome damagedList(const std::string& listPath, std::size_t lineNumber, const std::string& why) {
    return Outcome::failure(
        listPath, "the checksum list is damaged: line " + std::to_string(lineNumber) + " " + why,
        EINVAL);
}

}  // namespace

std::string checksumLineOf(const ChecksumLine& line) {
    // The list holds the file system's names, which is what sha256sum opens.
    std::string name;
    if (!plat::toNativeText(line.name, &name)) name = line.name;
    const bool escape = name.find_first_of("\\\n") != std::string::npos;
    std::string text;
    if (escape) text += '\\';
    text += line.digest;
    text += "  ";
    for (char c : name) {
        if (escape && c == '\\')
            text += "\\\\";
        else if (escape && c == '\n')
            text += "\\n";
        else
            text += c;
    }
    text += '\n';
    return text;
}

std::string checksumListOf(const std::vector<ChecksumLine>& lines) {
    std::string text;
    for (const ChecksumLine& line : lines) text += checksumLineOf(line);
    return text;
}

Outcome parseChecksumList(const std::string& text, const std::string& listPath,
                          std::map<std::string, std::string>* digestByName) {
    digestByName->clear();
    std::map<std::string, std::string> found;
    std::size_t lineNumber = 0;
    for (std::size_t at = 0; at < text.size();) {
        ++lineNumber;
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return damagedList(listPath, lineNumber, "does not end with a newline");
        std::string line = text.substr(at, end - at);
        at = end + 1;
        const bool escaped = !line.empty() && line[0] == '\\';
        if (escaped) line.erase(0, 1);
        // "  " for text mode, " *" for binary mode: both name the same bytes here.
        if (line.size() < 67 || !isLowerHex(line.substr(0, 64)) || line[64] != ' ' ||
            (line[65] != ' ' && line[65] != '*'))
            return damagedList(listPath, lineNumber, "is not a SHA-256 line");
        std::string name;
        for (std::size_t i = 66; i < line.size(); ++i) {
            char c = line[i];
            if (escaped && c == '\\') {
                if (++i == line.size())
                    return damagedList(listPath, lineNumber, "ends inside an escape");
                c = line[i] == 'n' ? '\n' : line[i] == 'r' ? '\r' : line[i] == '\\' ? '\\' : 0;
                if (c == 0) return damagedList(listPath, lineNumber, "holds an unknown escape");
            }
            name += c;
        }
        std::string engineName;
        if (!plat::toEngineText(name, &engineName))
            return damagedList(listPath, lineNumber, "names a file that is not valid UTF-8");
        if (!found.emplace(engineName, line.substr(0, 64)).second)
            return damagedList(listPath, lineNumber, "names a file a second time");
    }
    *digestByName = std::move(found);
    return Outcome::success();
}

Outcome readChecksumList(const std::string& folder, bool* present,
                         std::map<std::string, std::string>* digestByName) {
    *present = false;
    digestByName->clear();
    const std::string path = SetNames(folder, {}).listPath();
    std::string text;
    // A list of a few lines per chunk; a larger file is not one of ours.
    if (Outcome o = plat::readWholeFile(path.c_str(), 64 << 20, &text); !o)
        return o.is(Fault::NotFound) ? Outcome::success() : (*present = true, o);
    *present = true;
    return parseChecksumList(text, path, digestByName);
}

}  // namespace morvane
