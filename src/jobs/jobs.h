#pragma once
// The one job layer that both front ends use. A page or morvane-cli gathers an order,
// makes a job of it, prepares it (every check that can be made before anything is
// written), answers the job's questions (replace? password?), then executes it on a
// worker thread and presents what it reports. The job decides its whole life: the run,
// what is removed after a cancel, and what is deleted after a success.

#include <QString>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/job_control.h"
#include "engine/join.h"
#include "engine/recovery.h"
#include "engine/split.h"
#include "engine/tree.h"
#include "platform/native.h"
#include "platform/outcome.h"

namespace morvane::jobs {

// What the user asked of a split, taken as it stood when the job was made.
struct SplitOrder {
    QString source;
    QString outputDir;            // empty: the folder that holds the source
    std::int64_t chunkSize = 0;   // a chunk size in bytes,
    std::int64_t chunkCount = 0;  // or, when chunkSize is 0, at most this many chunks
    QString password;             // empty: in the clear; otherwise encrypted with it
    KdfCost kdf = kDefaultKdfCost;
    bool deleteSource = false;
    // Leave FIFOs, sockets and devices out of a folder instead of refusing it.
    bool skipSpecial = false;
    // Recovery chunks beside the data chunks: any this many lost files come back.
    int recovery = 0;
};

struct JoinOrder {
    QString chunkDir;
    QString outputDir;  // empty: the folder that holds the chunk folder
    bool deleteChunks = false;
    // Check every byte against the set's checksum list, when it has one.
    bool verify = true;
};

class Job {
public:
    virtual ~Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // The job's own progress and cancel flag; safe to use from any thread.
    JobControl& control() { return control_; }
    const JobControl& control() const { return control_; }

    // Runs the job on the calling thread to its end. Call once, after prepare() succeeded.
    // The output is built under a temporary name beside its place, flushed, and renamed
    // into place; a failed or cancelled job removes it. Only a success, once its rename is
    // durable, deletes what the order asks.
    void execute();

    // After execute(): success, the failure, or a cancel (outcome().cancelled).
    const Outcome& outcome() const { return outcome_; }
    // True once execute() has returned, read from any thread: whoever sees it true sees
    // everything the job wrote (a thread's end seen through Qt alone is hidden from the
    // race checker).
    bool ended() const { return ended_.load(std::memory_order_acquire); }
    // After a success: what deleting the order's sources met; success when nothing was asked.
    const Outcome& removal() const { return removal_; }
    bool sourcesDeleted() const { return sourcesDeleted_; }
    // After a deletion: what it left where it was, because it changed after the job read
    // it or the set does not hold it; and for each, why (engine text).
    const std::vector<std::string>& kept() const { return kept_; }
    const std::vector<std::string>& keptWhy() const { return keptWhy_; }
    // True when prepare() refused the order itself (a usage error), not the files.
    bool refusedOrder() const { return refusedOrder_; }

protected:
    Job() = default;
    Outcome refuse(Outcome why) {
        refusedOrder_ = true;
        return why;
    }
    bool prepared_ = false;

private:
    virtual Outcome run() = 0;
    virtual bool wantsDeletion() const = 0;
    virtual Outcome deleteSources() = 0;

    JobControl control_;
    Outcome outcome_ = Outcome::failure("", "the job has not run");
    std::atomic<bool> ended_{false};
    Outcome removal_;
    bool sourcesDeleted_ = false;

protected:
    std::vector<std::string> kept_;
    std::vector<std::string> keptWhy_;

private:
    bool refusedOrder_ = false;
};

class SplitJob : public Job {
public:
    explicit SplitJob(SplitOrder order);

    // Measures the source and checks the order: names that the set can hold, an output
    // folder outside a source folder, the chunk size or count, the password's length.
    // A folder given through a link is split as the folder it names, under that folder's
    // name and with its mode; without an output folder the set goes beside the link.
    Outcome prepare();

    const SplitOrder& order() const { return order_; }
    // True once prepare() has measured the source, also when it then refused the order:
    // totalSize() is what it found.
    bool measured() const { return measured_; }
    std::int64_t totalSize() const { return request_.totalSize; }
    std::int64_t chunkSize() const { return request_.chunkSize; }
    // The number of chunks the split will write.
    std::int64_t chunkCount() const;
    // Where the chunk set goes (before the run) or went (after it), in the system's text.
    QString chunkFolder() const;
    // Whether something already stands where the chunk folder goes, and what it is:
    // "already holds the chunk set of NAME", or "already exists".
    bool targetExists() const { return targetExists_; }
    QString whatIsThere() const;
    // A split over an existing chunk folder happens only when it was allowed; the old
    // folder is replaced once the new set is complete.
    void allowReplace(bool allow) { replaceAllowed_ = allow; }
    // What a folder holds that no chunk set can: FIFOs, sockets and devices (engine text).
    // Left out when the order allows it; otherwise prepare() refuses the folder.
    const std::vector<std::string>& leftOut() const { return walk_.specials; }
    // True when prepare() refused the folder for what it holds that no set can store,
    // and for nothing else: leaving those out would let the split go ahead.
    bool refusedForSpecials() const { return refusedForSpecials_; }
    // True when prepare() failed because nothing stands at the source's path any more.
    bool sourceGone() const { return sourceGone_; }
    // The files of the chunk set in the way whose bytes its source no longer holds as the
    // set does (gone, or changed since that split): the set may be their only copy. Names
    // as the set records them. The source is the one split now, or, for a set of another
    // name, the file or folder of that name beside it.
    const std::vector<std::string>& onlyInTheSet() const { return onlyInTheSet_; }

private:
    Outcome run() override;
    bool wantsDeletion() const override { return order_.deleteSource; }
    Outcome deleteSources() override;
    // What stands now where the source of a set of that name would be.
    void noteWhatIsThere();
    Walk sourceOfSet(const std::string& sourceName) const;

    SplitOrder order_;
    SplitRequest request_;
    QString sourcePath_;  // absolute and clean
    std::string finalFolder_;
    std::string existingSource_;  // the source name of the set already there, if any
    Walk walk_;
    bool refusedForSpecials_ = false;
    bool sourceGone_ = false;
    bool measured_ = false;
    std::vector<std::string> onlyInTheSet_;
    bool targetExists_ = false;
    bool replaceAllowed_ = false;
    SplitResult result_;
};

class JoinJob : public Job {
public:
    explicit JoinJob(JoinOrder order);
    ~JoinJob() override;
    const JoinOrder& order() const { return order_; }

    // Reads the set's manifest and checks every chunk against its fingerprint and the
    // set's sizes. The join itself checks again before it writes, and refuses a set with
    // any fault (check().problems()).
    Outcome prepare();
    const ChunkSetCheck& check() const { return check_; }
    // The file or folder the join writes, in the system's text.
    QString target() const;
    bool targetExists() const;
    // A join over an existing target happens only when it was allowed.
    void allowReplace(bool allow) { replaceAllowed_ = allow; }
    bool isProtected() const { return check_.manifest.isProtected(); }
    // Encrypted, rather than guarded by the old password digest alone.
    bool isSealed() const { return check_.manifest.isSealed(); }
    bool oldProtection() const { return isProtected() && !isSealed(); }
    // A protected set joins only after its password was given; "wrong password" otherwise.
    // An encrypted set's key is derived here, once, and its sealed contents opened: the
    // target's name is known only then.
    Outcome unlock(const QString& password);
    // A set whose manifest is lost says whether it is protected only once the manifest is
    // rebuilt, inside the run: a password given ahead is tried then.
    bool manifestLost() const { return check_.manifest.sourceName.empty(); }
    void offerPassword(const QString& password) { offered_ = password; }
    // After the run: whether every byte was checked against a checksum list. False for a
    // set without one, and when the order said not to.
    bool verified() const { return verified_; }
    // The files of the set that were lost or damaged and were rebuilt from its recovery
    // chunks for this join (the chunk folder itself is left as it is).
    const std::vector<std::string>& rebuilt() const { return rebuilt_; }
    // The set has recovery chunks: what the join finds lost it rebuilds from them first.
    bool hasRecovery() const { return hasRecovery_; }
    // After a join that failed on checksums: every file of the set as the full read found
    // it (entries in state Damaged, listed files not Ok). Empty otherwise.
    const ChunkSetCheck& failedCheck() const { return failedCheck_; }

private:
    Outcome run() override;
    bool wantsDeletion() const override { return order_.deleteChunks; }
    Outcome deleteSources() override;

    JoinOrder order_;
    JoinRequest request_;
    ChunkSetCheck check_;
    // Reads the set whole through a folder of links to its intact files and rebuilt copies
    // of its lost ones, hidden and locked beside the output. onlyIfLost: when the recovery
    // headers find nothing lost, the set is read as it is.
    Outcome useRebuiltView(JobControl& control, bool onlyIfLost);
    // The same for chunks the listing alone found lost, in a set whose list, manifest and
    // tree file are whole: only their groups are read, once. It fails, leaving no view,
    // wherever only the assessment can say what is wrong.
    Outcome useListedRebuild(JobControl& control);
    // Fills the hidden, locked view folder beside the output through rebuild, then links in
    // the set's other files (its list only when listRead).
    template <typename Rebuild>
    Outcome buildView(bool listRead, Rebuild rebuild);
    // Refuses a join whose output's file system lacks the room for it.
    // tree: the set's tree file as read, or null.
    Outcome roomForJoin(const Tree* tree) const;
    void dropView();
    // Back to the set's own folder, the view dropped.
    void leaveView();
    Outcome attempt();

    Outcome unlockSealed(const std::string& password);
    Outcome checkSealedHeader(bool listed, const std::map<std::string, std::string>& digests);

    JoinResult result_;
    SealedHeader sealedHeader_;
    std::unique_ptr<SealKey> key_;
    SealedContents contents_;
    Tree sealedTree_;
    bool replaceAllowed_ = false;
    bool unlocked_ = false;
    QString offered_;
    bool verified_ = false;
    std::string originalChunkDir_;
    bool hasRecovery_ = false;
    bool needsRebuild_ = false;
    bool needsAssessment_ = false;
    ChunkSetCheck failedCheck_;
    std::string view_;
    bool listedView_ = false;  // the view came from useListedRebuild
    plat::NameLock viewLock_;
    std::vector<std::string> viewMade_;
    std::vector<std::string> rebuilt_;
};

// Writes the lost or damaged files of a set back into its chunk folder, rebuilt from its
// recovery chunks and checked, and writes the checksum list anew when it was lost.
class RepairJob : public Job {
public:
    explicit RepairJob(QString chunkDir);
    Outcome prepare();
    const QString& chunkFolder() const { return order_; }
    // After execute(): what the set looked like, and what was rebuilt.
    const RecoveryAssessment& assessment() const { return assessment_; }
    const std::vector<std::string>& rebuilt() const { return rebuilt_; }

private:
    Outcome run() override;
    Outcome recodeLostRecovery();
    static Outcome writeList(const std::string& folder, const std::vector<ChecksumLine>& lines);
    // Flushes what was built, renames each rebuilt file into the chunk folder, flushes that.
    Outcome putInPlace(const std::string& built, Outcome outcome);
    bool wantsDeletion() const override { return false; }
    Outcome deleteSources() override { return Outcome::success(); }

    QString order_;
    std::string chunkDir_;
    RecoveryAssessment assessment_;
    std::vector<std::string> rebuilt_;
};

// Reads every byte of a chunk set and checks it against the set's checksum list, on as
// many threads as the machine has cores. Deletes nothing.
class VerifyJob : public Job {
public:
    // wholeRead: the job will be executed, so prepare() leaves the fingerprints to the run,
    // which reads each chunk once for its fingerprint and its hash.
    explicit VerifyJob(QString chunkDir, bool wholeRead = false);
    // The quick check: the manifest, fingerprints and sizes (for a whole read, sizes only).
    Outcome prepare();
    // After prepare(), the quick check; after execute(), every byte's.
    const ChunkSetCheck& check() const { return check_; }
    // After execute(), for a set with recovery chunks: what is lost and whether it can
    // come back.
    const RecoveryAssessment& recovery() const { return recovery_; }

private:
    Outcome run() override;
    bool wantsDeletion() const override { return false; }
    Outcome deleteSources() override { return Outcome::success(); }

    QString chunkDir_;
    bool wholeRead_ = false;
    ChunkSetCheck check_;
    RecoveryAssessment recovery_;
    Outcome manifestLost_;

public:
    // Why the manifest could not be read; success when it could.
    const Outcome& manifestLost() const { return manifestLost_; }
};

// True when the folder holds recovery chunks.
bool hasRecoveryFiles(const std::string& chunkDir);
// The recovery files the set's checksum list names.
std::vector<std::string> listedRecoveryFiles(const std::string& chunkDir);

// The system's text of engine text, for people to read.
QString displayText(const std::string& engineText);

// The hidden names a job uses beside its output NAME in folder: the lock that keeps a
// second job away, and the output while it is built. Plainly temporary; a later job of
// the same kind removes what a crashed one left.
struct SideNames {
    std::string lock;
    std::string partial;
    std::string old;
};
SideNames sideNamesOf(const std::string& folder, const std::string& name);

// The outcome with a path under the hidden folder partial, where an output is built, named
// at final, where the user will look for it.
Outcome atFinalPlace(Outcome outcome, const std::string& partial, const std::string& final);

}  // namespace morvane::jobs
