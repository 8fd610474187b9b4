#pragma once
// The result of anything that can fail: success, or the first failure with the
// file it concerns and the system's reason, plus how many more failures followed.
// A cancelled job is its own state: not ok, yet no failure to report.

#include <string>

namespace morvane {

struct Outcome {
    bool ok = true;
    std::string path;    // engine text (GB18030) of the file concerned, may be empty
    std::string reason;  // the system's reason (strerror) or the program's own words
    int error = 0;       // errno of a system failure, 0 otherwise
    int furtherFailures = 0;
    bool cancelled = false;

    static Outcome success() { return {}; }
    // A system failure: the reason is strerror(err).
    static Outcome systemFailure(std::string path, int err);
    // A failure the program itself detected.
    static Outcome failure(std::string path, std::string reason, int err = 0);
    // The user asked the job to stop.
    static Outcome cancel();

    explicit operator bool() const { return ok; }

    // Keeps the first failure and counts every later one.
    void absorb(const Outcome& later);

    // "path: reason", with the path converted to the file system's text, for people to read.
    std::string describe() const;
};

}  // namespace morvane
