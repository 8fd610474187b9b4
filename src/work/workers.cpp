#include "work/workers.h"

#include <cstring>

#include "engine/join.h"
#include "engine/split.h"

namespace morvane {

SplitDoingThread::SplitDoingThread() : QThread(nullptr) {
    std::memset(&job, 0, sizeof job);
}

void SplitDoingThread::run() {
    outcome_ = runSplitJob(job);
}

MergeDoingThread::MergeDoingThread() : QThread(nullptr) {}

void MergeDoingThread::run() {
    outcome_ = runJoinJob(job.chunkDir, job.outputDir);
}

}  // namespace morvane
