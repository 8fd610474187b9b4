#pragma once
// The result of anything that can fail: success, or the first failure with the
// file it concerns, what kind of failure it is, and the system's reason, plus how many
// more failures followed. A cancelled job is its own state: not ok, yet no failure.
// Decisions read the kind; the reason is for people, and errno only for the reason.

#include <string>

namespace morvane {

enum class Fault {
    None,       // success
    Cancelled,  // the user asked the job to stop
    // What the system said.
    NotFound,  // ENOENT, ENOTDIR
    Exists,    // EEXIST: a name is taken
    NotEmpty,  // ENOTEMPTY: a folder still holds something
    Busy,      // another job holds the output's lock
    NoSpace,   // ENOSPC, EDQUOT: the disk is full
    Denied,    // EACCES, EPERM, EROFS
    System,    // any other system failure
    // What the program found.
    Invalid,    // the order itself cannot be carried out (a usage error, a name that
                // does not fit, a special file where a file should be)
    Changed,    // a source or set changed since it was read
    Damaged,    // a file of the set fails its witness, or cannot be read whole: a
                // rebuild from recovery chunks may help
    Missing,    // a file of the set is not there: a rebuild may help
    Foreign,    // a file of the set's name belongs to another set
    Malformed,  // a manifest, list, tree file or header that does not hold together
    WrongPassword,
    Unrepairable,  // too much is lost for the recovery chunks
};

// The kind a system errno stands for.
Fault faultOfErrno(int err);
struct Outcome {
    bool ok = true;
    Fault fault = Fault::None;
    std::string path;    // engine text (GB18030) of the file concerned, may be empty
    std::string reason;  // the system's reason (strerror) or the program's own words
    int error = 0;       // errno of a system failure, 0 otherwise
    int furtherFailures = 0;
    bool cancelled = false;

    static Outcome success() { return {}; }
    // A system failure: the reason is strerror(err), the kind follows from err.
    static Outcome systemFailure(std::string path, int err);
    // A failure the program itself detected; the kind follows from err when given.
    static Outcome failure(std::string path, std::string reason, int err = 0);
    // A failure of a given kind.
    static Outcome failure(Fault fault, std::string path, std::string reason, int err = 0);
    // The user asked the job to stop.
    static Outcome cancel();

    explicit operator bool() const { return ok; }
    bool is(Fault f) const { return !ok && fault == f; }
    // A file of a set is lost or fails its witness: recovery chunks may bring it back.
    bool rebuildMayHelp() const { return is(Fault::Damaged) || is(Fault::Missing); }

    // Keeps the first failure and counts every later one.
    void absorb(const Outcome& later);

    // "path: reason", with the path converted to the file system's text, for people to read.
    std::string describe() const;
};

}  // namespace morvane
