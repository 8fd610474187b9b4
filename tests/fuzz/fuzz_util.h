#pragma once
// A scratch folder for the harnesses, kept for the whole process.

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvane::fuzz {

// A fresh folder below the process's scratch folder, empty on return.
std::string freshFolder(const std::string& name);
void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace morvane::fuzz
