#pragma once
// What the engine needs of the file system, on NUL-terminated engine text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/outcome.h"

namespace morvane {

// 0 for a file, 1 for a folder, -1 for anything missing, unreachable or not a regular file.
int pathKind(const char* path);
// -1 when the size cannot be taken.
std::int64_t fileSize(const char* path);
// The sum of the sizes of the files listFolderFiles would list; -1, with the reason in
// *why, when any part of the tree cannot be listed or measured.
std::int64_t folderSize(const char* path, Outcome* why = nullptr);
std::int64_t pathSize(const char* path, Outcome* why = nullptr);
// Appends the regular files below folder, depth-first in the order the system lists them,
// dot-names included. Links are not followed; FIFOs, sockets and devices are left out.
Outcome listFolderFiles(const char* folder, bool recurse, std::vector<std::string>* list);

// The text after the last separator ("/" or "\\") into out; out is left untouched when
// there is none. -1 for a null path or a name that does not fit out.
int baseName(const char* path, char* out, std::size_t outSize);
// The text after the last "/": the name of a path on this system, where "\\" is an
// ordinary character of a name.
std::string nameOf(const std::string& path);
// True when the text holds the character "\\" (not merely a trail byte 0x5C).
bool holdsBackslash(const std::string& text);
// Ends name at its first ".".
int cutAtFirstDot(char* name);
// One folder level; an existing folder is reported as EEXIST.
Outcome makeDir(const char* path);
// Every folder on the way to filePath, not the file itself. Existing folders are fine;
// each folder made is appended to *made, parents first, when it is given. A filePath
// ending in "/" makes the folder it names too.
Outcome makeParentDirs(const std::string& filePath, std::vector<std::string>* made = nullptr);

// Position just after the last "/" or "\\" of text, stepping over two- and four-byte
// characters, so a trail byte 0x5C is never taken for a separator. 0 when there is none.
std::size_t afterLastSeparator(const char* text, std::size_t length);

}  // namespace morvane
