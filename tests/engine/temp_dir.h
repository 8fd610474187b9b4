#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it.

#include <cstdint>
#include <filesystem>
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
// A path for std::filesystem from native (UTF-8) text: on Windows a narrow path would be read
// in the ANSI code page.
std::filesystem::path fsPath(const std::string& native);
// The other way: native text of a path, with "/" separators.
std::string fsText(const std::filesystem::path& path);
// Copies a file over another, as copy_file with overwrite_existing does.
void copyOver(const std::string& from, const std::string& to);
// One folder level, as mkdir(path, 0755) makes it.
bool makeFolder(const std::string& path);
// A symbolic link at path holding target.
bool makeSymlink(const std::string& target, const std::string& path);
// A FIFO at path; Windows has none, so there it always fails.
bool makeFifo(const std::string& path, unsigned mode);
// Whether engine text outside ASCII converts here: wine 8 lacks the GB18030 code page (54936),
// real Windows and Linux have it.
bool gb18030Here();
// Deterministic pseudo-random bytes.
std::string patternBytes(std::size_t n, std::uint32_t seed);

// Why a case cannot run on Windows or under wine, which runs the Windows tests.
inline constexpr const char* kWhyNoLinks = "wine makes no symbolic links";
inline constexpr const char* kWhyNoFifos = "Windows has no FIFOs or device files";
inline constexpr const char* kWhyNoModes = "Windows files have no POSIX permission bits";
inline constexpr const char* kWhyNoSparse =
    "wine cannot say which ranges of a sparse file hold data";
inline constexpr const char* kWhyNoSignals = "Windows has console control events, not signals";
inline constexpr const char* kWhyNoGb18030 =
    "this system lacks the GB18030 code page (54936), as wine 8 does";

}  // namespace morvane::test

// At the top of a test case: skips it on Windows, saying why; elsewhere it runs.
#ifdef _WIN32
#define MORVANE_SKIP_ON_WINDOWS(why) GTEST_SKIP() << (why)
#else
#define MORVANE_SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif
// At the top of a test case that needs names outside ASCII.
#define MORVANE_NEEDS_GB18030()                                                              \
    do {                                                                                     \
        if (!::morvane::test::gb18030Here()) GTEST_SKIP() << ::morvane::test::kWhyNoGb18030; \
    } while (0)
