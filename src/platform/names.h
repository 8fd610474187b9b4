#pragma once
// Names a chunk set carries that the file system here cannot hold. A set travels between
// systems: a name that is fine on Linux may be a device, a stream or a separator on Windows.

#include <string>
#include <string_view>

namespace morvane::plat {

// Why Windows cannot hold one level of a path (engine text), or "" when it can: a reserved
// device name (CON, NUL, COM1, ...: with any extension), a character Windows refuses or reads
// as a separator, drive or stream (\ : * ? " < > | and control characters), or a trailing dot
// or space, which Windows drops so that two names would meet.
std::string windowsNameProblem(std::string_view level);

// The same question for the system this program runs on: "" on Linux, which holds any name.
std::string nameProblemHere(std::string_view level);

}  // namespace morvane::plat
