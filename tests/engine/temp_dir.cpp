#include "temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/encoding.h"

namespace morvane::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
#ifdef _WIN32
    // No mkdtemp: a random name, taken only when the folder is made.
    std::string root =
        base && *base ? std::string(base) : std::filesystem::temp_directory_path().generic_string();
    while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "/morvane-test-%08x", static_cast<unsigned>(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(root + name, ec)) {
            path_ = root + name;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
#else
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvane-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
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
