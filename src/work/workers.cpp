#include "work/workers.h"

#include "engine/sha256.h"
#include "jobs/jobs.h"

namespace morvane {

JobThread::JobThread() : QThread(nullptr) {}

void JobThread::startJob(jobs::Job* job) {
    if (isRunning()) return;
    job_ = job;
    ended_.store(false, std::memory_order_relaxed);
    start(QThread::InheritPriority);
}

void JobThread::run() {
    if (job_ != nullptr) job_->execute();
    // The hashing library keeps state per thread; this one is about to end.
    endThreadHashing();
    ended_.store(true, std::memory_order_release);
}

}  // namespace morvane
