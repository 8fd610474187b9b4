#pragma once
// What both pages need around their job: failures put into words, and the job's end kept
// back while a question about the job is open.

#include <QString>

#include "platform/outcome.h"

namespace page {

// The file concerned and the system's reason, for a message box whose title says what failed.
QString describe(const morvane::Outcome& outcome);

// A job can end while the user is asked whether to cancel it. Its end is then presented
// after the answer, never under the open question.
class EndGate {
public:
    void hold() { ++holds_; }
    bool held() const { return holds_ > 0; }
    // An end arrived while held and is not presented yet.
    bool waiting() const { return waiting_; }
    // The job has ended: true when the end can be presented now.
    bool arrive() {
        waiting_ = held();
        return !waiting_;
    }
    // True when the last hold is gone and an end that arrived meanwhile is due now.
    bool release() {
        if (holds_ > 0) --holds_;
        if (held() || !waiting_) return false;
        waiting_ = false;
        return true;
    }
    // Forgets an end that arrived meanwhile: it will not be presented.
    void drop() { waiting_ = false; }

private:
    int holds_ = 0;
    bool waiting_ = false;
};

}  // namespace page
