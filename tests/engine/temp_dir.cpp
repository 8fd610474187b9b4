#include "temp_dir.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/encoding.h"

namespace morvane::test {

#ifdef _WIN32
// Under the user's own temporary folder, as a drive-letter path with "/" separators: the form
// the program's paths take on Windows.
TempDir::TempDir() {
    std::string base = std::filesystem::temp_directory_path().generic_string();
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const std::string candidate = base + "/morvane-test-" + std::to_string(random());
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}
#else
TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvane-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path fsPath(const std::string& native) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(native.begin(), native.end()));
#else
    return std::filesystem::path(native);
#endif
}

std::string fsText(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

void copyOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
    // mingw's libstdc++ refuses overwrite_existing when the target exists.
    std::filesystem::remove(fsPath(to));
#endif
    std::filesystem::copy_file(fsPath(from), fsPath(to),
                               std::filesystem::copy_options::overwrite_existing);
}

#ifdef _WIN32
bool makeFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::create_directory(fsPath(path), ec);
}

bool makeSymlink(const std::string& target, const std::string& path) {
    std::error_code ec;
    std::filesystem::create_symlink(fsPath(target), fsPath(path), ec);
    return !ec;
}

bool makeFifo(const std::string&, unsigned) {
    return false;
}

bool gb18030Here() {
    // A four-byte code, which only the real GB18030 tables take.
    static const bool here =
        ::MultiByteToWideChar(54936, MB_ERR_INVALID_CHARS, "\x81\x30\x81\x30", 4, nullptr, 0) > 0;
    return here;
}
#else
bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0;
}

bool makeSymlink(const std::string& target, const std::string& path) {
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

bool makeFifo(const std::string& path, unsigned mode) {
    return ::mkfifo(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool gb18030Here() {
    return true;
}
#endif

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(fsPath(path), ec));
}

std::string nativeOf(const std::string& engine) {
    std::string out;
    EXPECT_TRUE(plat::toNativeText(engine, &out)) << engine;
    return out;
}

std::string engineOf(const std::string& native) {
    std::string out;
    EXPECT_TRUE(plat::toEngineText(native, &out)) << native;
    return out;
}

std::string patternBytes(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    return s;
}

}  // namespace morvane::test
