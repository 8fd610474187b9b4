#pragma once
// The chunk set's checksum list "spt_checksums.sha256": one line per file of the set, in
// the text format of sha256sum, so that `sha256sum -c` checks a set without this program.

#include <map>
#include <string>
#include <vector>

#include "platform/outcome.h"

namespace morvane {

inline constexpr char kChecksumListName[] = "spt_checksums.sha256";

struct ChecksumLine {
    std::string digest;  // 64 lower-case hexadecimal digits
    std::string name;    // relative to the chunk folder, engine text
};

// One line as sha256sum writes it: a name holding "\\" or a newline is escaped and the
// line then starts with "\\".
std::string checksumLineOf(const ChecksumLine& line);
// The whole list, in the order given.
std::string checksumListOf(const std::vector<ChecksumLine>& lines);

// Parses a list. A line that does not parse, or a name given twice, is a failure that says
// which line; the list is never taken in part.
Outcome parseChecksumList(const std::string& text, const std::string& listPath,
                          std::map<std::string, std::string>* digestByName);

// Reads folder's list. *present is false, with success, when there is none.
Outcome readChecksumList(const std::string& folder, bool* present,
                         std::map<std::string, std::string>* digestByName);

}  // namespace morvane
