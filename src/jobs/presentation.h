#pragma once
// How both front ends say sizes, and the chunk sizes people think of as their media.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::jobs {

// "512 bytes", "1 byte", "1.50 KiB", "3.00 MiB", "4.00 GiB": binary units, two decimals.
std::string formatBytes(std::int64_t bytes);

struct SizePreset {
    const char* key;    // what `morvane-cli split -s` takes: "fat32", "cd", ...
    const char* label;  // what the window's "Fit to" menu and the reports show
    std::int64_t bytes;
};

// FAT32 USB stick, CD, DVD, Blu-ray, E-mail, in that order.
const std::vector<SizePreset>& sizePresets();
// The preset of that key (case does not matter), or null.
const SizePreset* presetByKey(std::string_view key);
// The preset whose size this is exactly, or null.
const SizePreset* presetOfSize(std::int64_t bytes);

}  // namespace morvane::jobs
