// A whole join of an arbitrary manifest with a few small chunks; nothing may appear
// outside the output folder.

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/join.h"
#include "engine/manifest.h"
#include "fuzz_util.h"

namespace fs = std::filesystem;

namespace {

const char* const kDepth = "a/b/c/d";

// Every entry below root must be on the way to the set or the output, or lie inside them.
void checkConfined(const fs::path& root) {
    const std::string base = std::string(kDepth) + "/";
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).generic_string();
        const bool onTheWay = std::string(kDepth).rfind(rel, 0) == 0 &&
                              (rel.size() == 7 || kDepth[rel.size()] == '/');
        const std::string below = rel.rfind(base, 0) == 0 ? rel.substr(base.size()) : "";
        const bool allowed = onTheWay || below == "set" || below.rfind("set/", 0) == 0 ||
                             below == "out" || below == "out/inner" ||
                             below.rfind("out/inner/", 0) == 0;
        if (!allowed) {
            std::fprintf(stderr, "written outside the output folder: %s\n", rel.c_str());
            std::abort();
        }
        if (below.rfind("set/", 0) == 0 && it->is_directory()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Deep enough that a climb of a few levels stays inside what is checked.
    const std::string root = morvane::fuzz::freshFolder("join");
    const std::string set = root + "/" + kDepth + "/set";
    const std::string out = root + "/" + kDepth + "/out/inner";
    fs::create_directories(set);
    fs::create_directories(out);
    const std::uint8_t bytes[] = "PAYLOAD-0123456789";
    for (const char* name : {"/x_0.spt", "/x_1.spt", "/x_2.spt", "/x_3.spt"})
        morvane::fuzz::writeBytes(set + name, bytes, sizeof bytes - 1);
    morvane::fuzz::writeBytes(set + "/spt_config.qorvelx", data, size);

    morvane::Manifest manifest;
    if (morvane::readManifest(set, &manifest)) {
        morvane::JobControl control;
        morvane::JoinResult result;
        // Built under a hidden name in the output folder, as a job builds it.
        morvane::runJoin({set, out, out + "/.x.partial"}, manifest, control, &result);
        // Whatever folder the join made, it made inside the output folder.
        for (const std::string& made : result.createdFolders)
            if (made.rfind(out + "/", 0) != 0) std::abort();
    }
    checkConfined(root);
    return 0;
}
