#pragma once
// Running real splits and joins in tests: through the jobs, as users run them, so that
// every round trip is built under its hidden name, flushed and renamed into place.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/outcome.h"

namespace morvane::test {

struct SplitRun {
    Outcome outcome;
    std::string chunkDir;   // the chunk folder the split wrote, or would have
    std::int64_t done = 0;  // the job's own progress at its end
    std::int64_t total = 0;
    std::vector<std::string> leftOut;  // what the folder held that no set can store
};

struct SplitExtras {
    std::string password;  // engine text; empty: not protected
    // Runs after the job measured the source and before it writes: where a test changes
    // the source behind the job's back.
    std::function<void()> afterPrepare;
    bool skipSpecial = false;
};

// Splits source (engine text) into outDir with a SplitJob; an existing chunk folder is
// replaced, as when the user allows it.
SplitRun splitInto(const std::string& source, const std::string& outDir, std::int64_t chunkSize,
                   const SplitExtras& extras = {});
inline SplitRun splitInto(const std::string& source, const std::string& outDir,
                          std::int64_t chunkSize, const std::string& password) {
    SplitExtras extras;
    extras.password = password;
    return splitInto(source, outDir, chunkSize, extras);
}

struct Progress {
    std::int64_t done = 0;
    std::int64_t total = 0;
};

// Joins the set in chunkDir into outDir with a JoinJob, checking every byte against the
// set's checksum list; an existing target is replaced, as when the user allows it.
Outcome joinInto(const std::string& chunkDir, const std::string& outDir,
                 Progress* progress = nullptr);

// Every regular file below root, by path relative to root, with its bytes.
std::map<std::string, std::string> treeOf(const std::string& root);

}  // namespace morvane::test
