#pragma once
// The worker thread that runs one prepared job at a time off the GUI thread.

#include <QThread>
#include <atomic>

namespace morvane {
namespace jobs {
class Job;
}

class JobThread : public QThread {
public:
    JobThread();
    // Starts job on this thread; the job must outlive the run. Ignored while one runs.
    void startJob(jobs::Job* job);
    jobs::Job* job() const { return job_; }
    // True once the job's execute() has returned: everything it wrote is then visible to
    // the caller (an acquire of the thread's release), which QThread::wait() does not
    // show to ThreadSanitizer.
    bool ended() const { return ended_.load(std::memory_order_acquire); }

protected:
    void run() override;

private:
    jobs::Job* job_ = nullptr;
    std::atomic<bool> ended_{false};
};

}  // namespace morvane
