#include "cli/commands.h"

#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <limits>
#include <vector>

#include "cli/password_input.h"
#include "engine/cleanup.h"
#include "engine/digest.h"
#include "engine/engine_state.h"
#include "engine/fs_primitives.h"
#include "engine/join.h"
#include "engine/split.h"
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

QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

QString parentOf(const QString& absolutePath) {
    QDir dir(absolutePath);
    dir.cdUp();
    return dir.absolutePath();
}

// Same place on disk when both exist, else the same text.
QString realPath(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

bool engineTextOf(const QString& path, std::string* engine) {
    if (plat::toEngineText(path, engine)) return true;
    std::fprintf(stderr, "morvane-cli: %s: the name cannot be written in GB18030\n",
                 path.toUtf8().constData());
    return false;
}

// Redraws one status line on standard error while a job runs, when someone watches it.
class ProgressDisplay {
public:
    explicit ProgressDisplay(bool wanted) : enabled_(wanted && ::isatty(STDERR_FILENO)) {
        clock_.start();
    }
    void draw() {
        if (!enabled_) return;
        const std::string line = progressLine(getBytesDone(), getBytesTotal(),
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
    QElapsedTimer clock_;
};

template <typename Worker>
const Outcome& runWorker(Worker& worker, bool quiet) {
    ProgressDisplay display(!quiet);
    worker.start();
    while (!worker.wait(250)) display.draw();
    display.finish();
    return worker.outcome();
}

// The password bytes for a new set: asked twice on the terminal, or read once from stdin.
bool newPassword(PasswordSource source, std::string* bytes) {
    std::string typed;
    std::string why;
    if (source == PasswordSource::Terminal) {
        std::string again;
        if (!readTerminalLine("Password: ", &typed, &why) ||
            !readTerminalLine("Password again: ", &again, &why)) {
            std::fprintf(stderr, "morvane-cli: %s\n", why.c_str());
            return false;
        }
        if (typed != again) {
            std::fprintf(stderr, "morvane-cli: the passwords do not match\n");
            return false;
        }
    } else if (!readStdinLine(&typed, &why)) {
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
                          ? readTerminalLine("Password: ", &typed, &why)
                          : readStdinLine(&typed, &why);
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

// Reads the set's manifest and fingerprints its chunks; false once it has said why not.
bool listSet(const std::string& chunkDir, std::vector<ChunkCheckEntry>* entries, char* digest,
             char* name) {
    Outcome why;
    if (listChunkSet(chunkDir.c_str(), entries, digest, name, &why) >= 0) return true;
    fail(why.ok ? Outcome::failure(chunkDir, "holds no valid chunk-set manifest") : why);
    return false;
}

std::int32_t fileCountOfSet() {
    const EngineState& state = engineState();
    if (state.header.fileCount <= 0) return 1;
    // A folder set has one record per piece; a file cut by a chunk end has several.
    QSet<QByteArray> names;
    for (const FileRecord& record : state.fileRecords)
        names.insert(QByteArray(
            record.relativeName,
            static_cast<qsizetype>(fieldLength(record.relativeName, sizeof record.relativeName))));
    return static_cast<std::int32_t>(names.size());
}

}  // namespace

int runSplit(const Options& options) {
    const QString source = absoluteClean(options.path);
    const QString output =
        options.outputDir.isEmpty() ? parentOf(source) : absoluteClean(options.outputDir);
    std::string engineSource;
    std::string engineOutput;
    if (!engineTextOf(source, &engineSource) || !engineTextOf(output, &engineOutput))
        return kExitUsage;

    Outcome why;
    const std::int64_t total = pathSize(engineSource.c_str(), &why);
    if (total < 0) {
        fail(why.ok ? Outcome::failure(engineSource, "cannot be measured") : why);
        return kExitFailed;
    }
    if (pathKind(engineSource.c_str()) == 1) {
        const QString inside = realPath(output);
        const QString tree = realPath(source);
        if (inside == tree || inside.startsWith(tree + '/')) {
            fail(engineOutput, "the output folder lies inside the source folder");
            return kExitUsage;
        }
    }
    const std::int64_t chunkSize =
        options.chunkSize > 0 ? options.chunkSize : chunkSizeForCount(total, options.chunkCount);
    if (chunkCountFor(total, chunkSize) > std::numeric_limits<std::int32_t>::max()) {
        fail(engineSource, "chunks of " + std::to_string(chunkSize) +
                               " bytes would be more than 2147483647 chunks");
        return kExitUsage;
    }
    std::string password;
    if (options.password != PasswordSource::None && !newPassword(options.password, &password))
        return kExitUsage;

    SplitDoingThread worker;
    SplitJob& job = worker.job;
    for (Outcome o :
         {copyToField(job.sourcePath, sizeof job.sourcePath, engineSource, "the source path"),
          copyToField(job.outputDir, sizeof job.outputDir, engineOutput, "the output path"),
          copyToField(job.password, sizeof job.password, password, "the password")}) {
        if (!o) {
            fail(o);
            return kExitFailed;
        }
    }
    job.totalSize = total;
    job.chunkSize = chunkSize;

    if (const Outcome& outcome = runWorker(worker, options.quiet); !outcome) {
        fail(outcome);
        return kExitFailed;
    }
    std::printf("%s\n", nativeOf(std::string(job.outputDir,
                                             fieldLength(job.outputDir, sizeof job.outputDir)))
                            .c_str());
    std::fflush(stdout);
    if (options.deleteSource) {
        if (Outcome removed = removeSplitSource(source); !removed) {
            fail(removed);
            return kExitFailed;
        }
    }
    return kExitOk;
}

int runJoin(const Options& options) {
    const QString chunkDir = absoluteClean(options.path);
    const QString output =
        options.outputDir.isEmpty() ? parentOf(chunkDir) : absoluteClean(options.outputDir);
    std::string engineChunkDir;
    std::string engineOutput;
    if (!engineTextOf(chunkDir, &engineChunkDir) || !engineTextOf(output, &engineOutput))
        return kExitUsage;

    std::vector<ChunkCheckEntry> entries;
    char digest[40] = {};
    char name[kPathField] = {};
    if (!listSet(engineChunkDir, &entries, digest, name)) return kExitFailed;

    const std::string engineTarget = engineOutput + "/" + name;
    const QFileInfo target(plat::fromEngineText(engineTarget));
    if ((target.exists() || target.isSymLink()) && !options.force) {
        fail(engineTarget, "already exists; give -f to replace it");
        return kExitFailed;
    }
    if (digest[0] != '\0') {
        if (options.password == PasswordSource::None) {
            fail(engineChunkDir,
                 "the chunk set is protected; give its password with -p or --password-stdin");
            return kExitUsage;
        }
        std::string password;
        if (!givenPassword(options.password, &password)) return kExitUsage;
        if (checkPassword(password.c_str(), digest) != 1) {
            fail(engineChunkDir, "wrong password");
            return kExitFailed;
        }
    }

    MergeDoingThread worker;
    MergeJob& job = worker.job;
    for (Outcome o :
         {copyToField(job.chunkDir, sizeof job.chunkDir, engineChunkDir, "the chunk folder path"),
          copyToField(job.outputDir, sizeof job.outputDir, engineOutput, "the output path")}) {
        if (!o) {
            fail(o);
            return kExitFailed;
        }
    }
    if (const Outcome& outcome = runWorker(worker, options.quiet); !outcome) {
        fail(outcome);
        return kExitFailed;
    }
    std::printf("%s\n", nativeOf(engineTarget).c_str());
    std::fflush(stdout);
    if (options.deleteChunks) {
        if (Outcome removed = removeListedChunks(entries); !removed) {
            fail(removed);
            return kExitFailed;
        }
    }
    return kExitOk;
}

int runCheck(const Options& options) {
    const QString chunkDir = absoluteClean(options.path);
    std::string engineChunkDir;
    if (!engineTextOf(chunkDir, &engineChunkDir)) return kExitUsage;

    std::vector<ChunkCheckEntry> entries;
    char digest[40] = {};
    char name[kPathField] = {};
    if (!listSet(engineChunkDir, &entries, digest, name)) return kExitFailed;
    bool intact = true;
    for (const ChunkCheckEntry& entry : entries) {
        const char* status = "ok";
        if (entry.status != 0) {
            status = entry.size < 0 ? "missing" : "changed";
            intact = false;
        }
        const std::string size = entry.size < 0 ? "-" : std::to_string(entry.size);
        std::printf("%6d  %12s  %-7s  %s\n", entry.chunkIndex, size.c_str(), status,
                    nativeOf(entry.chunkPath).c_str());
    }
    const std::int64_t total = getTotalSize();
    std::printf("source: %s\n", nativeOf(name).c_str());
    std::string size = std::to_string(total) + " bytes";
    if (total >= 1024) size += " (" + formatBytes(total) + ")";
    std::printf("total size: %s\n", size.c_str());
    std::printf("files: %d\n", fileCountOfSet());
    std::printf("protected: %s\n", digest[0] != '\0' ? "yes" : "no");
    std::fflush(stdout);

    const EngineState& state = engineState();
    if (state.recordsCutShort ||
        static_cast<std::int64_t>(entries.size()) != state.header.chunkCount) {
        fail(state.manifestPath, "the manifest holds fewer records than it counts");
        intact = false;
    }
    return intact ? kExitOk : kExitFailed;
}

}  // namespace morvane::cli
