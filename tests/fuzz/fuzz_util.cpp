#include "fuzz_util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace morvane::fuzz {
namespace {

struct Scratch {
    std::string root;
#ifdef _WIN32
    Scratch() {
        const std::string base = std::filesystem::temp_directory_path().generic_string();
        std::random_device random;
        for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
            const std::string candidate = base + "/morvane-fuzz-" + std::to_string(random());
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) root = candidate;
        }
        if (root.empty()) std::abort();
    }
#else
    Scratch() {
        // tmpfs when there is one: every input makes and removes folders.
        std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/morvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        root = pattern;
    }
#endif
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

}  // namespace

std::string freshFolder(const std::string& name) {
    static Scratch scratch;
    const std::string path = scratch.root + "/" + name;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    std::filesystem::create_directories(path);
    return path;
}

void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace morvane::fuzz
