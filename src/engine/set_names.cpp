#include "engine/set_names.h"

#include <cstring>

#include "engine/checksums.h"
#include "engine/manifest.h"
#include "engine/tree.h"

namespace morvane {

std::string SetNames::chunkName(std::int64_t index) const {
    return stem_ + "_" + std::to_string(index) + ".spt";
}

std::string SetNames::recoveryName(std::int64_t number) const {
    return stem_ + "_" + std::to_string(number) + ".rec";
}

std::string SetNames::manifestPath() const {
    return pathOf(kManifestName);
}

std::string SetNames::treePath() const {
    return pathOf(kTreeName);
}

std::string SetNames::listPath() const {
    return pathOf(kChecksumListName);
}

std::int64_t SetNames::numberOf(const std::string& name, const char* suffix) const {
    const std::size_t tail = std::strlen(suffix);
    const std::size_t head = stem_.size() + 1;
    if (name.size() <= head + tail || name.compare(0, stem_.size(), stem_) != 0 ||
        name[stem_.size()] != '_' || name.compare(name.size() - tail, tail, suffix) != 0)
        return -1;
    const std::string digits = name.substr(head, name.size() - head - tail);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return -1;
    return std::stoll(digits);
}

}  // namespace morvane
