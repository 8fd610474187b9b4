#pragma once
// What the two implementations of the native layer share; not for callers.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native.h"

namespace morvane::plat::detail {

// The errno the test hook wants op on path to fail with, or 0.
int injectedFault(Op op, const std::string& path);
// The free bytes the room hook tells for path, or a negative number to ask the system.
std::int64_t hookedRoom(const std::string& path);
// A name that has no engine text, shown with its odd bytes as \xNN.
std::string escaped(std::string_view name);
#ifdef _WIN32
// The system's own words for a Windows error code, as UTF-8 like every other reason.
std::string windowsMessage(unsigned long code);
#endif

}  // namespace morvane::plat::detail
