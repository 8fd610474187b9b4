#include "work/workers.h"

#include "jobs/jobs.h"

namespace morvane {

JobThread::JobThread() : QThread(nullptr) {}

void JobThread::startJob(jobs::Job* job) {
    if (isRunning()) return;
    job_ = job;
    start(QThread::InheritPriority);
}

void JobThread::run() {
    if (job_ != nullptr) job_->execute();
}

}  // namespace morvane
