#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it.

#include <cstdint>
#include <string>

namespace morvane::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path (native text; plain ASCII, so it is engine text as well).
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Native text of an engine (GB18030) text, and the other way; fails the test when impossible.
std::string nativeOf(const std::string& engine);
std::string engineOf(const std::string& native);
// Deterministic pseudo-random bytes.
std::string patternBytes(std::size_t n, std::uint32_t seed);

}  // namespace morvane::test
