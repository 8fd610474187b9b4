#include "jobs/jobs.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "jobs/cleanup.h"
#include "platform/encoding.h"
#include "platform/native.h"

namespace morvane::jobs {
namespace {

QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

QString parentOf(const QString& absolutePath) {
    QDir dir(absolutePath);
    dir.cdUp();
    return dir.absolutePath();
}

// The same place on disk when it exists, else the same text.
QString realPath(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

Outcome engineTextOf(const QString& text, const char* what, std::string* out) {
    if (plat::toEngineText(text, out)) return Outcome::success();
    return Outcome::failure(text.toStdString(),
                            std::string(what) + " holds characters the program cannot store",
                            EILSEQ);
}

}  // namespace

QString displayText(const std::string& engineText) {
    return plat::fromEngineText(engineText);
}

void Job::execute() {
    outcome_ = prepared_ ? run() : Outcome::failure("", "the job was not prepared");
    // A cancel that arrives as the run ends still wins: the user asked for nothing to stay.
    if (outcome_ && control_.cancelRequested()) outcome_ = Outcome::cancel();
    if (outcome_.cancelled) {
        discard();
        return;
    }
    if (!outcome_ || !wantsDeletion()) return;
    removal_ = deleteSources();
    sourcesDeleted_ = removal_.ok;
}

SplitJob::SplitJob(SplitOrder order) : order_(std::move(order)) {}

std::int64_t SplitJob::chunkCount() const {
    return chunkCountFor(request_.totalSize, request_.chunkSize);
}

QString SplitJob::chunkFolder() const {
    if (!result_.chunkFolder.empty()) return displayText(result_.chunkFolder);
    char name[kPathField] = {};
    if (baseName(request_.sourcePath.c_str(), name, sizeof name) != 0) return QString();
    return displayText(request_.outputDir + "/" + stemOf(name) + "_spt");
}

Outcome SplitJob::prepare() {
    prepared_ = false;
    if (order_.source.isEmpty()) return refuse(Outcome::failure("", "no source was given", EINVAL));
    sourcePath_ = absoluteClean(order_.source);
    const QString output =
        order_.outputDir.isEmpty() ? parentOf(sourcePath_) : absoluteClean(order_.outputDir);
    if (Outcome o = engineTextOf(sourcePath_, "the source path", &request_.sourcePath); !o)
        return refuse(o);
    if (Outcome o = engineTextOf(output, "the output path", &request_.outputDir); !o)
        return refuse(o);
    if (Outcome o = engineTextOf(order_.password, "the password", &request_.password); !o)
        return refuse(o);
    if (request_.password.size() >= kPasswordField)
        return refuse(
            Outcome::failure("", "the password is too long (at most 31 bytes)", ENAMETOOLONG));

    Outcome why;
    request_.totalSize = pathSize(request_.sourcePath.c_str(), &why);
    if (request_.totalSize < 0)
        return why.ok ? Outcome::failure(request_.sourcePath, "cannot be measured") : why;
    if (pathKind(request_.sourcePath.c_str()) == 1) {
        const QString inside = realPath(output);
        const QString tree = realPath(sourcePath_);
        if (inside == tree || inside.startsWith(tree + QLatin1Char('/')))
            return refuse(Outcome::failure(
                request_.outputDir, "the output folder lies inside the source folder", EINVAL));
    }
    if (order_.chunkSize < 0 || (order_.chunkSize == 0 && order_.chunkCount < 1))
        return refuse(Outcome::failure(request_.sourcePath,
                                       "the chunk size must be at least 1 byte", EINVAL));
    request_.chunkSize = order_.chunkSize > 0
                             ? order_.chunkSize
                             : chunkSizeForCount(request_.totalSize, order_.chunkCount);
    if (chunkCount() > INT32_MAX)
        return refuse(Outcome::failure(request_.sourcePath,
                                       "chunks of " + std::to_string(request_.chunkSize) +
                                           " bytes would be more than 2147483647 chunks",
                                       EINVAL));
    prepared_ = true;
    return Outcome::success();
}

Outcome SplitJob::run() {
    return runSplit(request_, control(), &result_);
}

void SplitJob::discard() {
    for (auto it = result_.writtenFiles.rbegin(); it != result_.writtenFiles.rend(); ++it)
        plat::removeFile(it->c_str());
    if (result_.createdChunkFolder) plat::removeDirectory(result_.chunkFolder.c_str());
}

Outcome SplitJob::deleteSources() {
    return removeSplitSource(sourcePath_);
}

JoinJob::JoinJob(JoinOrder order) : order_(std::move(order)) {}

Outcome JoinJob::prepare() {
    prepared_ = false;
    if (order_.chunkDir.isEmpty())
        return refuse(Outcome::failure("", "no chunk folder was given", EINVAL));
    const QString chunkDir = absoluteClean(order_.chunkDir);
    const QString output =
        order_.outputDir.isEmpty() ? parentOf(chunkDir) : absoluteClean(order_.outputDir);
    if (Outcome o = engineTextOf(chunkDir, "the chunk folder path", &request_.chunkDir); !o)
        return refuse(o);
    if (Outcome o = engineTextOf(output, "the output path", &request_.outputDir); !o)
        return refuse(o);
    if (Outcome o = fitsPathField(request_.chunkDir); !o) return o;
    if (Outcome o = fitsPathField(request_.outputDir); !o) return o;
    if (Outcome o = checkChunkSet(request_.chunkDir, &check_); !o) return o;
    prepared_ = true;
    return Outcome::success();
}

QString JoinJob::target() const {
    return displayText(request_.outputDir + "/" + check_.manifest.sourceName);
}

bool JoinJob::targetExists() const {
    const QFileInfo info(target());
    return info.exists() || info.isSymLink();
}

Outcome JoinJob::unlock(const QString& password) {
    std::string bytes;
    if (!plat::toEngineText(password, &bytes) || bytes.empty() ||
        checkPassword(bytes.c_str(), check_.manifest.passwordDigest.c_str()) != 1)
        return Outcome::failure(request_.chunkDir, "wrong password");
    unlocked_ = true;
    return Outcome::success();
}

Outcome JoinJob::run() {
    const std::string target = request_.outputDir + "/" + check_.manifest.sourceName;
    if (isProtected() && !unlocked_)
        return Outcome::failure(request_.chunkDir,
                                "the chunk set is protected: its password "
                                "is needed",
                                EACCES);
    if (targetExists() && !replaceAllowed_)
        return Outcome::failure(target, "already exists", EEXIST);
    return runJoin(request_, check_.manifest, control(), &result_);
}

void JoinJob::discard() {
    for (auto it = result_.writtenFiles.rbegin(); it != result_.writtenFiles.rend(); ++it)
        plat::removeFile(it->c_str());
    for (auto it = result_.createdFolders.rbegin(); it != result_.createdFolders.rend(); ++it)
        plat::removeDirectory(it->c_str());
}

Outcome JoinJob::deleteSources() {
    return removeListedChunks(check_.entries);
}

}  // namespace morvane::jobs
