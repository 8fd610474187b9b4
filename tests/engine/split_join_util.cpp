#include "split_join_util.h"

#include <filesystem>

#include "engine/fs_primitives.h"
#include "engine/join.h"
#include "engine/manifest.h"
#include "temp_dir.h"

namespace morvane::test {

SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const std::string& password, std::int64_t totalSize) {
    SplitRequest request;
    request.sourcePath = source;
    request.outputDir = outDir;
    request.password = password;
    request.totalSize = totalSize >= 0 ? totalSize : pathSize(source.c_str());
    request.chunkSize = chunkSize;
    JobControl control;
    SplitRun run;
    run.outcome = runSplit(request, control, &run.result);
    run.chunkDir = run.result.chunkFolder;
    run.done = control.done();
    run.total = control.total();
    return run;
}

Outcome joinInto(const std::string& chunkDir, const std::string& outDir, JobControl* control) {
    Manifest manifest;
    if (Outcome o = readManifest(chunkDir, &manifest); !o) return o;
    JobControl own;
    JoinResult result;
    return runJoin({chunkDir, outDir, {}}, manifest, control ? *control : own, &result);
}

std::map<std::string, std::string> treeOf(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        tree[std::filesystem::relative(e.path(), root).string()] = readFile(e.path().string());
    }
    return tree;
}

}  // namespace morvane::test
