#include "split_join_util.h"

#include <filesystem>

#include "engine/split.h"
#include "jobs/jobs.h"
#include "platform/encoding.h"
#include "temp_dir.h"

namespace morvane::test {

SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const SplitExtras& extras) {
    jobs::SplitOrder order;
    order.source = plat::fromEngineText(source);
    order.outputDir = plat::fromEngineText(outDir);
    order.chunkSize = chunkSize;
    order.password = plat::fromEngineText(extras.password);
    order.skipSpecial = extras.skipSpecial;
    jobs::SplitJob job(order);
    SplitRun run;
    run.chunkDir = chunkFolderFor(source, outDir);
    run.outcome = job.prepare();
    if (run.outcome) {
        job.allowReplace(true);
        if (extras.afterPrepare) extras.afterPrepare();
        job.execute();
        run.outcome = job.outcome();
    }
    run.leftOut = job.leftOut();
    run.done = job.control().done();
    run.total = job.control().total();
    return run;
}

Outcome joinInto(const std::string& chunkDir, const std::string& outDir, Progress* progress) {
    jobs::JoinOrder order;
    order.chunkDir = plat::fromEngineText(chunkDir);
    order.outputDir = plat::fromEngineText(outDir);
    jobs::JoinJob job(order);
    Outcome o = job.prepare();
    if (o) {
        job.allowReplace(true);
        job.execute();
        o = job.outcome();
    }
    if (progress != nullptr) *progress = {job.control().done(), job.control().total()};
    return o;
}

std::map<std::string, std::string> treeOf(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(fsPath(root))) {
        std::error_code ec;  // a link that loops is no file
        if (!e.is_regular_file(ec)) continue;
        tree[fsText(std::filesystem::relative(e.path(), fsPath(root)))] =
            readFile(fsText(e.path()));
    }
    return tree;
}

}  // namespace morvane::test
