#include "jobs/presentation.h"

#include <cstdio>

namespace morvane::jobs {

std::string formatBytes(std::int64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
    return text;
}

const std::vector<SizePreset>& sizePresets() {
    static const std::vector<SizePreset> presets = {
        // The largest file FAT32 can hold.
        {"fat32", "FAT32 USB stick", (std::int64_t{4} << 30) - 1},
        {"cd", "CD", std::int64_t{700} << 20},
        {"dvd", "DVD", 4700000000},
        {"bd", "Blu-ray", 25000000000},
        // Stays under a 25 MB attachment limit once base64 makes it a third larger.
        {"mail", "E-mail", std::int64_t{18} << 20},
    };
    return presets;
}

const SizePreset* presetByKey(std::string_view key) {
    for (const SizePreset& p : sizePresets()) {
        const std::string_view k(p.key);
        if (k.size() != key.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < k.size() && same; ++i)
            same = k[i] == (key[i] >= 'A' && key[i] <= 'Z' ? key[i] - 'A' + 'a' : key[i]);
        if (same) return &p;
    }
    return nullptr;
}

const SizePreset* presetOfSize(std::int64_t bytes) {
    for (const SizePreset& p : sizePresets())
        if (p.bytes == bytes) return &p;
    return nullptr;
}

}  // namespace morvane::jobs
