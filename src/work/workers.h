#pragma once
// The worker thread that runs one prepared job at a time off the GUI thread.

#include <QThread>

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

protected:
    void run() override;

private:
    jobs::Job* job_ = nullptr;
};

}  // namespace morvane
