#pragma once
// The sizes of the manifest's fixed fields, and the path limit that follows from them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/outcome.h"

namespace morvane {

constexpr std::size_t kPathField = 1024;    // every path, NUL included
constexpr std::size_t kNameField = 256;     // sourceName and relativeName, NUL included
constexpr std::size_t kPasswordField = 32;  // a password's bytes, NUL included
constexpr std::size_t kDigestText = 33;     // 32 hexadecimal characters and a NUL
constexpr std::size_t kDigestField = 40;    // the header's password digest field

// Refuses a path that would not fit a path field (1023 bytes and a NUL).
Outcome fitsPathField(const std::string& path);

}  // namespace morvane
