#include "cli/commands.h"

#include <QElapsedTimer>

#include <csignal>
#include <cstdio>
#include <vector>

#include "engine/join.h"
#include "engine/manifest.h"
#include "engine/recovery.h"
#include "engine/set_names.h"
#include "jobs/jobs.h"
#include "jobs/presentation.h"
#include "platform/console.h"
#include "platform/encoding.h"
#include "work/workers.h"

namespace morvane::cli {
namespace {

std::string nativeOf(const std::string& engine) {
    std::string native;
    return plat::toNativeText(engine, &native) ? native : engine;
}

void fail(const Outcome& outcome) {
    std::fprintf(stderr, "morvane-cli: %s\n", outcome.describe().c_str());
}

void fail(const std::string& path, const std::string& reason) {
    fail(Outcome::failure(path, reason));
}

// Redraws one status line on standard error while a job runs, when someone watches it.
class ProgressDisplay {
public:
    ProgressDisplay(bool wanted, const JobControl& control)
        : enabled_(wanted && plat::stderrIsTerminal()), control_(control) {
        clock_.start();
    }
    void draw() {
        if (!enabled_) return;
        const std::string line = progressLine(control_.done(), control_.total(),
                                              static_cast<double>(clock_.elapsed()) / 1000.0);
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
        std::fflush(stderr);
    }
    void finish() {
        if (!enabled_) return;
        draw();
        std::fputc('\n', stderr);
    }

private:
    bool enabled_;
    const JobControl& control_;
    QElapsedTimer clock_;
};

// Runs a prepared job on a worker thread with the progress line. A stop signal cancels it;
// the job then removes what it wrote. Returns the exit status for a job that did not
// succeed, or kExitOk.
int runJob(jobs::Job& job, bool quiet) {
    ProgressDisplay display(!quiet, job.control());
    plat::StopRequests stopRequests;
    JobThread worker;
    worker.startJob(&job);
    // Short waits, so that a cancel is passed on well within half a second.
    while (!worker.wait(100)) {
        if (plat::StopRequests::received() != 0) job.control().requestCancel();
        display.draw();
    }
    display.finish();
    if (job.outcome().cancelled) {
        std::fprintf(stderr, "morvane-cli: cancelled\n");
        const int signal = plat::StopRequests::received();
        return 128 + (signal != 0 ? signal : SIGINT);
    }
    if (!job.outcome()) {
        fail(job.outcome());
        return kExitFailed;
    }
    return kExitOk;
}

// The password bytes for a new set: asked twice on the terminal, or read once from stdin.
bool newPassword(PasswordSource source, std::string* bytes) {
    std::string typed;
    std::string why;
    if (source == PasswordSource::Terminal) {
        std::string again;
        if (!plat::readTerminalLine("Password: ", &typed, &why) ||
            !plat::readTerminalLine("Password again: ", &again, &why)) {
            std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
            return false;
        }
        if (typed != again) {
            std::fprintf(stderr, "morvane-cli: the passwords do not match\n");
            return false;
        }
    } else if (!plat::readStdinLine(&typed, &why)) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return false;
    }
    if (!passwordBytesOf(typed, bytes, &why)) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return false;
    }
    return true;
}

// The typed password of a protected set in engine bytes; its digest decides, not its length.
bool givenPassword(PasswordSource source, std::string* bytes) {
    std::string typed;
    std::string why;
    const bool read = source == PasswordSource::Terminal
                          ? plat::readTerminalLine("Password: ", &typed, &why)
                          : plat::readStdinLine(&typed, &why);
    if (!read) {
        std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
        return false;
    }
    if (!plat::toEngineText(typed, bytes)) {
        std::fprintf(stderr, "morvane-cli: the password is not valid UTF-8 text\n");
        return false;
    }
    if (bytes->empty()) {
        std::fprintf(stderr, "morvane-cli: the password is empty\n");
        return false;
    }
    return true;
}

std::string utf8Of(const QString& text) {
    return text.toUtf8().toStdString();
}

// What prepare() refused: the order itself is a usage error, anything else a failure.
int refused(const jobs::Job& job, const Outcome& why) {
    fail(why);
    return job.refusedOrder() ? kExitUsage : kExitFailed;
}

}  // namespace

int runSplit(const Options& options) {
    std::string password;
    if (options.password != PasswordSource::None && !newPassword(options.password, &password))
        return kExitUsage;

    jobs::SplitOrder order;
    order.source = options.path;
    order.outputDir = options.outputDir;
    order.chunkSize = options.chunkSize;
    order.chunkCount = options.chunkCount;
    order.password = plat::fromEngineText(password);
    order.deleteSource = options.deleteSource;
    order.skipSpecial = options.skipSpecial;
    order.recovery = options.recovery;
    jobs::SplitJob job(order);
    if (Outcome o = job.prepare(); !o) return refused(job, o);
    for (const std::string& special : job.leftOut())
        std::fprintf(stderr,
                     "morvane-cli: %s: left out: a FIFO, socket or device cannot be stored\n",
                     nativeOf(special).c_str());
    if (job.targetExists() && !options.force) {
        std::string folder;
        if (!plat::toEngineText(job.chunkFolder(), &folder)) folder = utf8Of(job.chunkFolder());
        std::string what = utf8Of(job.whatIsThere());
        // Said before -f is given: that is when it can still be heeded.
        if (const auto& only = job.onlyInTheSet(); !only.empty()) {
            what +=
                ", which may be the only copy of what the source has lost or changed since "
                "that split: ";
            for (std::size_t i = 0; i < only.size() && i < 5; ++i)
                what += (i > 0 ? ", " : "") + nativeOf(only[i]);
            if (only.size() > 5) what += " and " + std::to_string(only.size() - 5) + " more";
        }
        fail(folder, what + "; give -f to replace it");
        return kExitFailed;
    }
    job.allowReplace(options.force);

    if (int status = runJob(job, options.quiet); status != kExitOk) return status;
    std::printf("%s\n", utf8Of(job.chunkFolder()).c_str());
    std::fflush(stdout);
    for (std::size_t i = 0; i < job.kept().size(); ++i)
        std::fprintf(stderr, "morvane-cli: %s: kept: %s\n", nativeOf(job.kept()[i]).c_str(),
                     job.keptWhy()[i].c_str());
    if (!job.removal()) {
        const Outcome& removal = job.removal();
        // What was kept is named above, each with its reason.
        if (removal.is(Fault::Changed))
            std::fprintf(stderr,
                         "morvane-cli: the source was not deleted whole: what changed after the "
                         "split read it was kept; the chunk set is complete at %s\n",
                         utf8Of(job.chunkFolder()).c_str());
        else
            fail(removal);
        return kExitFailed;
    }
    return kExitOk;
}

int runJoin(const Options& options) {
    jobs::JoinOrder order;
    order.chunkDir = options.path;
    order.outputDir = options.outputDir;
    order.deleteChunks = options.deleteChunks;
    order.verify = !options.noVerify;
    jobs::JoinJob job(order);
    if (Outcome o = job.prepare(); !o) return refused(job, o);

    // The password first: an encrypted set names its target only once it is unlocked.
    if (job.isProtected()) {
        if (options.password == PasswordSource::None) {
            fail(job.check().chunkDir,
                 "the chunk set is protected; give its password with -p or --password-stdin");
            return kExitUsage;
        }
        std::string password;
        if (!givenPassword(options.password, &password)) return kExitUsage;
        if (Outcome o = job.unlock(plat::fromEngineText(password)); !o) {
            fail(o);
            return kExitFailed;
        }
    } else if (job.manifestLost() && options.password != PasswordSource::None) {
        std::string password;
        if (!givenPassword(options.password, &password)) return kExitUsage;
        job.offerPassword(plat::fromEngineText(password));
    }
    std::string target;
    if (!plat::toEngineText(job.target(), &target)) target = utf8Of(job.target());
    if (job.targetExists() && !options.force) {
        fail(target, "already exists; give -f to replace it");
        return kExitFailed;
    }
    job.allowReplace(options.force);

    if (int status = runJob(job, options.quiet); status != kExitOk) return status;
    for (const std::string& name : job.rebuilt())
        std::fprintf(stderr, "morvane-cli: rebuilt %s from recovery data\n",
                     nativeOf(name).c_str());
    if (job.oldProtection())
        std::fprintf(stderr,
                     "morvane-cli: note: this set is protected by the old password check only; "
                     "its chunks are not encrypted\n");
    if (!job.verified())
        std::fprintf(stderr, "morvane-cli: note: %s\n",
                     options.noVerify ? "the bytes were not checked (--no-verify)"
                                      : "the set has no checksum list; its bytes could not be "
                                        "checked");
    std::printf("%s\n", utf8Of(job.target()).c_str());
    std::fflush(stdout);
    if (!job.removal()) {
        fail(job.removal());
        return kExitFailed;
    }
    return kExitOk;
}

namespace {

// One row of the check's table: index, size, state, path.
void printRow(const std::string& index, std::int64_t bytes, const char* state,
              const std::string& path) {
    const std::string size = bytes < 0 ? "-" : std::to_string(bytes);
    std::printf("%6s  %12s  %-7s  %s\n", index.c_str(), size.c_str(), state,
                nativeOf(path).c_str());
}

// Without the manifest only the recovery chunks can say anything.
void printRecoveryAlone(const SetNames& names, const RecoveryAssessment& recovery) {
    for (const std::string& name : recovery.lost) printRow("-", -1, "lost", names.pathOf(name));
    std::printf(
        "repairable: %s\n",
        recovery.repairable
            ? ("yes (" + std::to_string(recovery.lost.size()) + " files lost, " +
               std::to_string(recovery.parity) + " recovery chunks)")
                  .c_str()
            : ("no (" + std::to_string(recovery.moreNeeded) + " more files needed)").c_str());
}

void printFileRows(const SetNames& names, const ChunkSetCheck& check,
                   const RecoveryAssessment& recovery) {
    for (const ChunkCheckEntry& entry : check.entries)
        printRow(std::to_string(entry.chunkIndex), entry.size, chunkStateName(entry.state),
                 entry.chunkPath);
    for (const ListedFile& file : check.listedFiles)
        printRow("-", file.size, chunkStateName(file.state), file.path);
    for (const std::string& stray : check.strays) printRow("-", -1, "stray", stray);
    // Recovery files the list does not already show, and the chunks that only the
    // recovery headers can judge.
    for (const RecoveryFile& file : recovery.recoveryFiles) {
        bool shown = false;
        for (const ListedFile& listed : check.listedFiles)
            shown = shown || listed.name == file.name;
        if (!shown) printRow("-", -1, fileStateName(file.state), names.pathOf(file.name));
    }
}

void printSizes(const ChunkSetCheck& check) {
    const Manifest& manifest = check.manifest;
    const std::int64_t total = manifest.totalSize;
    std::string size = std::to_string(total) + " bytes";
    if (total >= 1024) size += " (" + jobs::formatBytes(total) + ")";
    std::printf("total size: %s\n", size.c_str());
    std::printf("files: %d\n", manifest.distinctFiles());
    if (!check.entries.empty() && check.entries[0].size > 0 && manifest.chunkCount > 1) {
        const std::int64_t chunk = check.entries[0].size;
        std::string text = std::to_string(chunk) + " bytes";
        if (chunk >= 1024) text += " (" + jobs::formatBytes(chunk) + ")";
        if (const jobs::SizePreset* preset = jobs::presetOfSize(chunk))
            text += ", the size for " + std::string(preset->label);
        std::printf("chunk size: %s\n", text.c_str());
    }
}

void printChecksums(const ChunkSetCheck& check, const RecoveryAssessment& recovery) {
    switch (check.checksumList) {
        case ChecksumList::Read:
            std::printf("checksums: every byte checked\n");
            break;
        case ChecksumList::Absent:
            if (check.listLost())
                std::printf("checksums: the list is lost%s\n",
                            recovery.present
                                ? "; the recovery headers' hashes judged the chunks, and a join "
                                  "goes by them (a repair writes the list anew)"
                                : "; only sizes and fingerprints were checked");
            else
                std::printf("checksums: none; only sizes and fingerprints were checked\n");
            break;
        case ChecksumList::Damaged:
            std::printf("checksums: the list is damaged\n");
            break;
        case ChecksumList::NotRead:
            std::printf("checksums: not read (--quick)\n");
            break;
    }
}

void printRecovery(const SetNames& names, const RecoveryAssessment& recovery) {
    for (const std::string& name : recovery.foreign)
        std::printf("foreign: %s is a recovery file of another set\n",
                    nativeOf(names.pathOf(name)).c_str());
    if (!recovery.present) return;
    if (recovery.lost.empty())
        std::printf("repairable: nothing is lost (%d recovery chunk%s)\n", recovery.parity,
                    recovery.parity == 1 ? "" : "s");
    else if (recovery.repairable)
        std::printf("repairable: yes (%zu file%s lost, %d recovery chunk%s)\n",
                    recovery.lost.size(), recovery.lost.size() == 1 ? "" : "s", recovery.parity,
                    recovery.parity == 1 ? "" : "s");
    else
        std::printf("repairable: no (%zu files lost, %d more needed)\n", recovery.lost.size(),
                    recovery.moreNeeded);
}

// Rows already say what is wrong with each file; the rest needs a line.
void printOtherProblems(const SetNames& names, const ChunkSetCheck& check) {
    const std::string ownFilePrefix = names.pathOf(names.stem() + "_");
    for (const std::string& problem : check.problems()) {
        bool shown = problem.rfind(ownFilePrefix, 0) == 0;
        for (const ListedFile& file : check.listedFiles)
            shown = shown || problem.rfind(file.path + ":", 0) == 0;
        if (!shown) std::fprintf(stderr, "morvane-cli: %s\n", nativeOf(problem).c_str());
    }
    if (check.listLost())
        std::fprintf(stderr, "morvane-cli: %s: the checksum list is lost\n",
                     nativeOf(names.listPath()).c_str());
}

}  // namespace

int runCheck(const Options& options) {
    jobs::VerifyJob job(options.path, !options.quickCheck);
    if (Outcome o = job.prepare(); !o) return refused(job, o);
    if (!options.quickCheck)
        if (int status = runJob(job, options.quiet); status != kExitOk) return status;
    const ChunkSetCheck& check = job.check();
    const Manifest& manifest = check.manifest;
    const RecoveryAssessment& recovery = job.recovery();
    const SetNames names(check.chunkDir, stemOf(manifest.sourceName));
    if (!job.manifestLost().ok) {
        fail(job.manifestLost());
        printRecoveryAlone(names, recovery);
        return kExitFailed;
    }
    printFileRows(names, check, recovery);
    std::printf("source: %s\n", nativeOf(manifest.sourceName).c_str());
    printSizes(check);
    std::printf("protected: %s\n",
                manifest.isSealed()      ? "yes, encrypted (names, sizes and data sealed; the "
                                           "sizes above are of the chunk files)"
                : manifest.isProtected() ? "yes (password needed to join; data not encrypted)"
                                         : "no");
    printChecksums(check, recovery);
    printRecovery(names, recovery);
    std::fflush(stdout);
    printOtherProblems(names, check);
    const bool recoveryWhole = !recovery.present || recovery.lost.empty();
    return check.intact() && recoveryWhole && !check.listLost() ? kExitOk : kExitFailed;
}

int runRepair(const Options& options) {
    jobs::RepairJob job(options.path);
    if (Outcome o = job.prepare(); !o) return refused(job, o);
    const int status = runJob(job, options.quiet);
    // Another set's recovery files are named whatever the repair made of the rest.
    for (const std::string& name : job.assessment().foreign)
        std::printf("foreign %s: a recovery file of another set, not used\n",
                    nativeOf(name).c_str());
    if (status != kExitOk) return status;
    if (job.rebuilt().empty()) {
        std::printf("nothing to repair: every file of the set is whole\n");
        return kExitOk;
    }
    for (const std::string& name : job.rebuilt())
        std::printf("rebuilt %s\n", nativeOf(name).c_str());
    return kExitOk;
}

}  // namespace morvane::cli
