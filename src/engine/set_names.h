#pragma once
// The names of a chunk set's own files, built in one place: every path that reads,
// checks, repairs or deletes a file of a set asks this value for its name.

#include <cstdint>
#include <string>

namespace morvane {

class SetNames {
public:
    SetNames() = default;
    // folder: the chunk folder (engine text); stem: the source name up to its first ".".
    SetNames(std::string folder, std::string stem)
        : folder_(std::move(folder)), stem_(std::move(stem)) {}

    const std::string& folder() const { return folder_; }
    const std::string& stem() const { return stem_; }

    // folder + "/" + name.
    std::string pathOf(const std::string& name) const { return folder_ + "/" + name; }
    // "STEM_<index>.spt"
    std::string chunkName(std::int64_t index) const;
    std::string chunkPath(std::int64_t index) const { return pathOf(chunkName(index)); }
    // "STEM_<number>.rec"
    std::string recoveryName(std::int64_t number) const;
    std::string recoveryPath(std::int64_t number) const { return pathOf(recoveryName(number)); }
    std::string manifestPath() const;
    std::string treePath() const;
    std::string listPath() const;

    // The number in a chunk or recovery name of this stem written as this program writes
    // it (no sign, no leading zero, at most 10 digits); -1 for any other name.
    std::int64_t chunkIndexOf(const std::string& name) const { return numberOf(name, ".spt"); }
    std::int64_t recoveryNumberOf(const std::string& name) const { return numberOf(name, ".rec"); }

private:
    std::int64_t numberOf(const std::string& name, const char* suffix) const;

    std::string folder_;
    std::string stem_;
};

}  // namespace morvane
