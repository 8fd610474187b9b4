#pragma once
// The two worker threads: each runs one split or one join and keeps its outcome.

#include <QThread>

#include "engine/engine_state.h"
#include "platform/outcome.h"

namespace morvane {

class SplitDoingThread : public QThread {
public:
    SplitDoingThread();
    SplitJob job{};
    // The outcome of the last run; read it after finished().
    const Outcome& outcome() const { return outcome_; }

protected:
    void run() override;

private:
    Outcome outcome_;
};

class MergeDoingThread : public QThread {
public:
    MergeDoingThread();
    MergeJob job{};
    const Outcome& outcome() const { return outcome_; }

protected:
    void run() override;

private:
    Outcome outcome_;
};

}  // namespace morvane
