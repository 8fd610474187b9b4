#include "jobs/jobs.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <thread>

#include "engine/checksums.h"
#include "engine/digest.h"
#include "engine/fs_primitives.h"
#include "engine/set_names.h"
#include "engine/verify.h"
#include "jobs/cleanup.h"
#include "jobs/in_the_way.h"
#include "jobs/room.h"
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

// The place path stands for with every link resolved, also when its last levels do not
// exist yet: the deepest existing level resolved, the rest as written.
QString resolvedPath(const QString& absolutePath) {
    QString existing = absolutePath;
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) return absolutePath;
        rest = existing.mid(slash) + rest;
        existing = existing.left(slash);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return canonical.isEmpty() ? absolutePath : QDir::cleanPath(canonical + rest);
}

Outcome engineTextOf(const QString& text, const char* what, std::string* out) {
    if (plat::toEngineText(text, out)) return Outcome::success();
    return Outcome::failure(text.toStdString(),
                            std::string(what) + " holds characters the program cannot store",
                            EILSEQ);
}

Outcome busy(const std::string& target) {
    return Outcome::failure(target, "another job is writing there", EBUSY);
}

// Takes the lock on target's side names, then clears what a crashed job left there: the
// lock keeps live jobs away, so only leftovers can be found.
Outcome claimOutput(const SideNames& side, const std::string& target, plat::NameLock* lock) {
    Outcome o = lock->acquire(side.lock);
    if (!o) return o.is(Fault::Busy) ? busy(target) : o;
    if (o = plat::removeTree(side.partial.c_str()); !o) return o;
    // Where the system cannot swap two names in one step, a job that died between its two
    // renames left the only copy of the old output under the old name: it goes back.
    if (plat::pathExists(side.old.c_str()) && !plat::pathExists(target.c_str()))
        return plat::renamePath(side.old.c_str(), target.c_str());
    return plat::removeTree(side.old.c_str());
}

// Makes outputDir and every missing folder above it, recording each one made.
Outcome makeOutputFolder(const std::string& outputDir, std::vector<std::string>* made) {
    if (plat::pathExists(outputDir.c_str())) return Outcome::success();
    return makeParentDirs(outputDir + "/", made);
}

void removeMadeFolders(std::vector<std::string>* made) {
    for (auto it = made->rbegin(); it != made->rend(); ++it) plat::removeDirectory(it->c_str());
    made->clear();
}

// Puts built where final was, in steps that each leave either the old or the new output
// under the final name, and makes the result durable before anything old is removed.
Outcome commitOutput(const std::string& built, const std::string& final, const std::string& old,
                     const std::string& folder) {
    if (!plat::pathExists(final.c_str())) {
        if (Outcome o = plat::renamePath(built.c_str(), final.c_str()); !o) return o;
        return plat::syncDirectory(folder.c_str());
    }
    bool swapped = false;
    if (Outcome o = plat::exchangePaths(built.c_str(), final.c_str(), &swapped); !o) return o;
    if (swapped) {
        // built now names the old output.
        if (Outcome o = plat::syncDirectory(folder.c_str()); !o) return o;
        return plat::removeTree(built.c_str());
    }
    if (Outcome o = plat::renamePath(final.c_str(), old.c_str()); !o) return o;
    if (Outcome o = plat::renamePath(built.c_str(), final.c_str()); !o) {
        plat::renamePath(old.c_str(), final.c_str());
        return o;
    }
    if (Outcome o = plat::syncDirectory(folder.c_str()); !o) return o;
    return plat::removeTree(old.c_str());
}

// The outcome with any of the hidden side names in its path named at final instead: the
// user never asked for those names and will not find them.
Outcome namedAtFinal(Outcome outcome, const SideNames& side, const std::string& final) {
    for (const std::string* hidden : {&side.partial, &side.lock, &side.old})
        outcome = atFinalPlace(std::move(outcome), *hidden, final);
    return outcome;
}

// The problems of a set, in the system's text, as one reason.
std::string problemsText(const std::vector<std::string>& problems) {
    std::string text = "the chunk set cannot be joined: ";
    for (std::size_t i = 0; i < problems.size(); ++i) {
        std::string native;
        if (i > 0) text += "; ";
        text += plat::toNativeText(problems[i], &native) ? native : problems[i];
    }
    return text;
}

}  // namespace

SideNames sideNamesOf(const std::string& folder, const std::string& name) {
    // A long name would not leave room for the suffixes within one name's 255 bytes.
    std::string base = name;
    if (base.size() > 200) {
        char digest[kDigestText] = {};
        md5Hex(name.data(), name.size(), digest);
        base = digest;
    }
    const std::string stem = folder + "/." + base + ".morvane-";
    return {stem + "lock", stem + "partial", stem + "old"};
}

Outcome atFinalPlace(Outcome outcome, const std::string& partial, const std::string& final) {
    if (outcome.path == partial)
        outcome.path = final;
    else if (outcome.path.size() > partial.size() &&
             outcome.path.compare(0, partial.size(), partial) == 0 &&
             outcome.path[partial.size()] == '/')
        outcome.path = final + outcome.path.substr(partial.size());
    return outcome;
}

QString displayText(const std::string& engineText) {
    return plat::fromEngineText(engineText);
}

void Job::execute() {
    struct Ended {
        std::atomic<bool>& flag;
        ~Ended() { flag.store(true, std::memory_order_release); }
    } ended{ended_};
    outcome_ = prepared_ ? run() : Outcome::failure("", "the job was not prepared");
    if (!outcome_ || !wantsDeletion()) return;
    // Held here while someone decides; a stop decided then keeps the sources beside the
    // finished output. A cancel that comes unasked this late undoes nothing.
    if (control_.pauseRequested() && control_.cancelRequested()) {
        removal_ = Outcome::cancel();
        removal_.reason = "the job was stopped before anything was deleted";
        return;
    }
    removal_ = deleteSources();
    sourcesDeleted_ = removal_.ok;
}

SplitJob::SplitJob(SplitOrder order) : order_(std::move(order)) {}

std::int64_t SplitJob::chunkCount() const {
    return chunkCountFor(request_.totalSize,
                         dataPerChunkOf(request_.chunkSize, !request_.password.empty()));
}

QString SplitJob::chunkFolder() const {
    return displayText(finalFolder_);
}

QString SplitJob::whatIsThere() const {
    if (existingSource_.empty()) return QStringLiteral("already exists");
    return QStringLiteral("already holds the chunk set of ") + displayText(existingSource_);
}

Outcome SplitJob::prepare() {
    prepared_ = false;
    refusedForSpecials_ = false;
    sourceGone_ = false;
    measured_ = false;
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

    const int kind = pathKind(request_.sourcePath.c_str());
    if (kind < 0) {
        plat::StatInfo info;
        Outcome why = plat::statPath(request_.sourcePath.c_str(), &info);
        sourceGone_ = why.is(Fault::NotFound);
        return why ? Outcome::failure(request_.sourcePath, "not a regular file or folder", EINVAL)
                   : why;
    }
    // A link's own mode is 0777: the folder's mode comes only from the folder itself.
    if (kind == 1 && resolvedPath(sourcePath_) != sourcePath_) {
        sourcePath_ = resolvedPath(sourcePath_);
        if (Outcome o = engineTextOf(sourcePath_, "the source path", &request_.sourcePath); !o)
            return refuse(o);
    }
    if (Outcome o = kind == 1 ? walkFolder(request_.sourcePath, &walk_)
                              : describeFile(request_.sourcePath, &walk_);
        !o)
        return o;
    request_.totalSize = walk_.totalSize;
    measured_ = true;
    request_.walk = &walk_;
    request_.skipSpecial = order_.skipSpecial;
    if (order_.recovery < 0 || order_.recovery > kMaxRecovery)
        return refuse(Outcome::failure(request_.sourcePath,
                                       "the recovery chunks must number 0 to 32", EINVAL));
    request_.recovery = order_.recovery;
    refusedForSpecials_ = !walk_.specials.empty() && !order_.skipSpecial;
    if (refusedForSpecials_) {
        std::string names;
        for (const std::string& special : walk_.specials) {
            std::string native;
            names += (names.empty() ? "" : ", ") +
                     (plat::toNativeText(special, &native) ? native : special);
        }
        return Outcome::failure(request_.sourcePath,
                                "holds what no chunk set can store (a FIFO, socket or device): " +
                                    names + "; give --skip-special to leave them out",
                                EINVAL);
    }
    // Names the set cannot carry as they are: every one is named, and nothing is written.
    std::string unfit;
    for (std::size_t i = 0; kind == 1 && i < walk_.fileEntry.size(); ++i) {
        const std::string& relative = walk_.tree.entries[walk_.fileEntry[i]].name;
        if (!holdsBackslash(relative) && relative.size() < kNameField) continue;
        const std::string file = request_.sourcePath + "/" + relative;
        std::string native;
        unfit += (unfit.empty() ? "" : ", ") + (plat::toNativeText(file, &native) ? native : file);
    }
    if (!unfit.empty())
        return Outcome::failure(request_.sourcePath,
                                "holds names a chunk set cannot carry (a \"\\\", which other "
                                "copies read as a folder separator, or 256 bytes or more "
                                "below the folder): " +
                                    unfit,
                                EINVAL);
    if (kind == 1) {
        // Through links too: a link in the output path may lead into the source.
        const QString inside = resolvedPath(output);
        const QString tree = resolvedPath(sourcePath_);
        if (inside == tree || inside.startsWith(tree + QLatin1Char('/')))
            return refuse(Outcome::failure(
                request_.outputDir, "the output folder lies inside the source folder", EINVAL));
    }
    if (order_.chunkSize < 0 || (order_.chunkSize == 0 && order_.chunkCount < 1))
        return refuse(Outcome::failure(request_.sourcePath,
                                       "the chunk size must be at least 1 byte", EINVAL));
    const bool sealed = !request_.password.empty();
    request_.kdf = order_.kdf;
    // A count is a count of chunk files: a sealed chunk holds its data and its frames' tags.
    request_.chunkSize =
        order_.chunkSize > 0 ? order_.chunkSize
        : sealed ? sealedSizeOf(chunkSizeForCount(request_.totalSize, order_.chunkCount))
                 : chunkSizeForCount(request_.totalSize, order_.chunkCount);
    if (dataPerChunkOf(request_.chunkSize, sealed) < 1)
        return refuse(Outcome::failure(
            request_.sourcePath,
            "an encrypted chunk must be larger than " + std::to_string(kFrameOverhead) + " bytes",
            EINVAL));
    if (holdsBackslash(nameOf(request_.sourcePath)))
        return Outcome::failure(request_.sourcePath,
                                "the name holds a \"\\\", which other copies of the program "
                                "read as a folder separator: rename it first",
                                EINVAL);
    finalFolder_ = chunkFolderFor(request_.sourcePath, request_.outputDir);
    if (finalFolder_.empty())
        return refuse(Outcome::failure(request_.sourcePath, "the source has no name", EINVAL));
    // Every path the split will write fits, where it is built and where it ends.
    for (const std::string& folder :
         {finalFolder_, sideNamesOf(request_.outputDir, nameOf(finalFolder_)).partial}) {
        const std::string last = chunkPathOf(folder, stemOf(nameOf(request_.sourcePath)),
                                             std::max<std::int64_t>(0, chunkCount() - 1));
        for (const std::string& path :
             {folder, last, manifestPathOf(folder), folder + "/" + kChecksumListName})
            if (Outcome o = fitsPathField(path); !o) return refuse(o);
    }
    noteWhatIsThere();
    if (chunkCount() > INT32_MAX)
        return refuse(Outcome::failure(request_.sourcePath,
                                       "chunks of " + std::to_string(request_.chunkSize) +
                                           " bytes would be more than 2147483647 chunks",
                                       EINVAL));
    if (Outcome o = checkRoom(request_.outputDir, finalFolder_, "the chunk set",
                              [this](std::int64_t block) {
                                  return splitNeeds(walk_, request_.chunkSize, request_.recovery,
                                                    stemOf(nameOf(request_.sourcePath)).size(),
                                                    block);
                              });
        !o)
        return o;
    prepared_ = true;
    return Outcome::success();
}

void SplitJob::noteWhatIsThere() {
    targetExists_ = plat::pathExists(finalFolder_.c_str());
    existingSource_.clear();
    onlyInTheSet_.clear();
    Manifest there;
    if (targetExists_ && readManifest(finalFolder_, &there)) {
        existingSource_ = there.sourceName;
        onlyInTheSet_ = heldOnlyBySet(finalFolder_, there, sourceOfSet(there.sourceName));
    }
}

Walk SplitJob::sourceOfSet(const std::string& sourceName) const {
    if (sourceName == nameOf(request_.sourcePath)) return walk_;
    // A set of another name was most likely split from beside this source.
    const std::string path =
        request_.sourcePath.substr(0, request_.sourcePath.rfind('/') + 1) + sourceName;
    Walk walk;
    // Only a plain name: a manifest's text is not trusted to lead anywhere else.
    const bool plain = !sourceName.empty() && sourceName != "." && sourceName != ".." &&
                       sourceName.find('/') == std::string::npos;
    const int kind = plain ? pathKind(path.c_str()) : -1;
    if (kind == 1) walkFolder(path, &walk);
    if (kind == 0) describeFile(path, &walk);
    return walk;
}

Outcome SplitJob::run() {
    // A job cancelled before it began writes nothing at all.
    if (control().cancelRequested()) return Outcome::cancel();
    std::vector<std::string> made;
    if (Outcome o = makeOutputFolder(request_.outputDir, &made); !o) return o;
    const std::string name = finalFolder_.substr(request_.outputDir.size() + 1);
    const SideNames side = sideNamesOf(request_.outputDir, name);
    plat::NameLock lock;
    Outcome outcome = claimOutput(side, finalFolder_, &lock);
    if (outcome && plat::pathExists(finalFolder_.c_str()) && !replaceAllowed_) {
        // Another job may have finished its set there since prepare(): name what is there now.
        noteWhatIsThere();
        outcome = Outcome::failure(finalFolder_, whatIsThere().toStdString(), EEXIST);
    }
    if (outcome) outcome = makeDir(side.partial.c_str());
    if (outcome) {
        request_.buildFolder = side.partial;
        // The first failure ends the split: nothing is written after a full disk.
        outcome = runSplit(request_, control(), &result_);
        // Every chunk and the manifest, then the folder's entries.
        if (outcome) outcome = plat::syncFileSystem(side.partial.c_str());
        if (outcome) outcome = plat::syncDirectory(side.partial.c_str());
        if (outcome && control().cancelRequested()) outcome = Outcome::cancel();
        if (outcome)
            outcome = commitOutput(side.partial, finalFolder_, side.old, request_.outputDir);
        if (!outcome) plat::removeTree(side.partial.c_str());
    }
    outcome = namedAtFinal(std::move(outcome), side, finalFolder_);
    lock.release();  // its file would keep a made folder from going
    if (!outcome) removeMadeFolders(&made);
    return outcome;
}

Outcome SplitJob::deleteSources() {
    std::vector<Kept> kept;
    Outcome o =
        walk_.tree.folderSet
            ? removeSplitTree(request_.sourcePath, walk_, &kept)
            : removeSplitSource(request_.sourcePath,
                                walk_.seen.empty() ? plat::FileIdentity{} : walk_.seen[0], &kept);
    kept_.clear();
    keptWhy_.clear();
    for (const Kept& k : kept) {
        kept_.push_back(k.path);
        keptWhy_.push_back(k.why);
    }
    // The set itself is done: whoever reads this must not take it for lost.
    if (!o) {
        std::string native;
        o.reason += "; the chunk set is complete at " +
                    (plat::toNativeText(finalFolder_, &native) ? native : finalFolder_) +
                    ": only deleting the source failed";
    }
    return o;
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
    originalChunkDir_ = request_.chunkDir;
    const Outcome read = checkChunkSet(request_.chunkDir, &check_);
    hasRecovery_ = hasRecoveryFiles(request_.chunkDir);
    if (!read && !hasRecovery_) return read;
    // Lost or damaged files come back from the recovery chunks, in the run, where the
    // job's progress and cancel reach the rebuild. A set whose manifest is lost has no
    // name until then.
    needsRebuild_ = hasRecovery_ && (!read || !check_.intact());
    // Without its list, only the recovery headers know a chunk changed past its head.
    needsAssessment_ = hasRecovery_ && !needsRebuild_ && check_.listLost();
    // A set that does not hold together is refused for that, in the run.
    if (read && !manifestLost() && check_.problems().empty()) {
        bool present = false;
        Tree tree;
        const bool hasTree = readTree(request_.chunkDir, &present, &tree) && present;
        if (Outcome o = roomForJoin(hasTree ? &tree : nullptr); !o) return o;
    }
    prepared_ = true;
    return Outcome::success();
}

Outcome JoinJob::roomForJoin(const Tree* tree) const {
    return checkRoom(request_.outputDir, request_.outputDir + "/" + check_.manifest.sourceName,
                     "the joined output",
                     [&](std::int64_t block) { return joinNeeds(check_, tree, block); });
}

JoinJob::~JoinJob() {
    dropView();
}

void JoinJob::dropView() {
    listedView_ = false;
    if (!view_.empty()) plat::removeTree(view_.c_str());
    viewLock_.release();
    view_.clear();
    // Folders made for the view alone; one that now holds the output stays.
    removeMadeFolders(&viewMade_);
}

Outcome JoinJob::useRebuiltView(JobControl& control, bool onlyIfLost) {
    std::map<std::string, std::string> digests;
    bool listed = false;
    const bool listRead = readChecksumList(originalChunkDir_, &listed, &digests).ok;
    RecoveryAssessment a;
    if (Outcome o =
            assessRecovery(originalChunkDir_, listRead && listed ? &digests : nullptr, control, &a);
        !o)
        return o;
    if (!a.present)
        return Outcome::failure(Fault::Unrepairable, originalChunkDir_,
                                "its recovery chunks cannot be read", EIO);
    if (onlyIfLost && a.lost.empty()) return Outcome::success();
    if (!a.repairable) {
        std::string names;
        for (const std::string& n : a.lost) names += (names.empty() ? "" : ", ") + n;
        return Outcome::failure(Fault::Unrepairable, originalChunkDir_,
                                "cannot be rebuilt: " + std::to_string(a.lost.size()) +
                                    " files are lost or damaged (" + names + "), and " +
                                    std::to_string(a.moreNeeded) +
                                    " more would be needed to rebuild them",
                                EIO);
    }
    return buildView(listRead, [&](const std::string& into) {
        return rebuildLost(originalChunkDir_, a, into, control, &rebuilt_);
    });
}

Outcome JoinJob::useListedRebuild(JobControl& control) {
    // The set as it is now decides which chunks are lost.
    ChunkSetCheck now;
    if (Outcome o = checkChunkSet(originalChunkDir_, &now); !o) return o;
    std::map<std::string, std::string> digests;
    bool listed = false;
    if (Outcome o = readChecksumList(originalChunkDir_, &listed, &digests); !o) return o;
    std::vector<std::int32_t> lost;
    for (const ChunkCheckEntry& e : now.entries)
        if (e.state != ChunkState::Ok) lost.push_back(e.chunkIndex);
    const Manifest& m = now.manifest;
    if (!listed || lost.empty() || !now.manifestFaults.empty() || m.recordsCutShort ||
        static_cast<std::int64_t>(now.entries.size()) != m.chunkCount)
        return Outcome::failure(Fault::Unrepairable, originalChunkDir_,
                                "only an assessment can say what is lost", EIO);
    Outcome o = buildView(true, [&](const std::string& into) {
        return rebuildListedChunks(originalChunkDir_, stemOf(m.sourceName), m.chunkCount, digests,
                                   lost, into, control, &rebuilt_);
    });
    listedView_ = o.ok;
    if (!o) leaveView();
    return o;
}

template <typename Rebuild>
Outcome JoinJob::buildView(bool listRead, Rebuild rebuild) {
    // Staged beside the output, hidden and locked like a join's own partial output: a
    // killed join leaves it for the next claim to clear, and the system's temporary
    // folder, small or shared, plays no part.
    if (Outcome o = makeOutputFolder(request_.outputDir, &viewMade_); !o) return o;
    std::string folderName = nameOf(originalChunkDir_);
    if (folderName.empty() || folderName == "." || folderName == "..") folderName = "set";
    const SideNames side = sideNamesOf(request_.outputDir, folderName + ".rebuild");
    if (Outcome o = claimOutput(side, side.partial, &viewLock_); !o) return o;
    if (Outcome o = makeDir(side.partial.c_str()); !o) return o;
    view_ = side.partial;
    rebuilt_.clear();
    if (Outcome o = rebuild(view_); !o) return o;
    std::vector<plat::DirEntry> entries;
    if (Outcome o = plat::listDirectory(originalChunkDir_.c_str(), &entries); !o) return o;
    for (const plat::DirEntry& e : entries) {
        if (e.kind != plat::Kind::File || e.isLink ||
            std::find(rebuilt_.begin(), rebuilt_.end(), e.name) != rebuilt_.end())
            continue;
        // A damaged list would only stop a join of bytes the recovery check has read.
        if (e.name == kChecksumListName && !listRead) continue;
        const std::string existing = originalChunkDir_ + "/" + e.name;
        if (Outcome o = plat::viewFile(existing.c_str(), (view_ + "/" + e.name).c_str()); !o)
            return o;
    }
    request_.chunkDir = view_;
    if (Outcome o = checkChunkSet(view_, &check_); !o) return o;
    // The name was not known when the order was answered: a rebuilt manifest may only now
    // say the set is protected.
    if (isProtected() && !unlocked_) {
        if (offered_.isEmpty())
            return Outcome::failure(Fault::Denied, originalChunkDir_,
                                    "the chunk set is protected and its manifest was lost: give "
                                    "its password to the join, or repair the set first",
                                    EACCES);
        return unlock(offered_);
    }
    return Outcome::success();
}

QString JoinJob::target() const {
    // A set whose manifest is lost has no name before its rebuild: its output folder.
    if (check_.manifest.sourceName.empty()) return displayText(request_.outputDir);
    // An encrypted set shows only its stem until it is unlocked.
    if (isSealed() && key_) return displayText(request_.outputDir + "/" + contents_.sourceName);
    return displayText(request_.outputDir + "/" + check_.manifest.sourceName);
}

bool JoinJob::targetExists() const {
    if (check_.manifest.sourceName.empty()) return false;
    const QFileInfo info(target());
    return info.exists() || info.isSymLink();
}

Outcome JoinJob::unlock(const QString& password) {
    std::string bytes;
    if (!plat::toEngineText(password, &bytes) || bytes.empty() ||
        (!isSealed() && checkPassword(bytes.c_str(), check_.manifest.passwordDigest.c_str()) != 1))
        return Outcome::failure(Fault::WrongPassword, originalChunkDir_, "wrong password");
    if (isSealed()) {
        if (Outcome o = unlockSealed(bytes); !o) return o;
        // Unlocked in the run, from the rebuilt header.
        if (!key_) return Outcome::success();
    }
    unlocked_ = true;
    return Outcome::success();
}

Outcome JoinJob::unlockSealed(const std::string& password) {
    SealedHeader header;
    if (Outcome o = readSealedHeader(request_.chunkDir, &header); !o) {
        // A lost or damaged header may come back from the recovery chunks, in the run.
        if (o.rebuildMayHelp() && hasRecovery_ && view_.empty()) {
            offered_ = plat::fromEngineText(password);
            needsRebuild_ = true;
            return Outcome::success();
        }
        return o;
    }
    auto key = std::make_unique<SealKey>();
    if (Outcome o = morvane::unlockSealed(header, password, key.get()); !o)
        return Outcome::failure(o.fault, originalChunkDir_, o.reason, o.error);
    const std::string path = SetNames(request_.chunkDir, {}).treePath();
    SealedContents contents;
    if (Outcome o = openContents(header, *key, path, &contents); !o) return o;
    Tree tree;
    if (Outcome o = parseTree(contents.treeText, path, &tree); !o) return o;
    if (Outcome o = checkSourceNameOf(request_.chunkDir, contents.manifest); !o) return o;
    sealedHeader_ = std::move(header);
    key_ = std::move(key);
    contents_ = std::move(contents);
    sealedTree_ = std::move(tree);
    return Outcome::success();
}

// The sealed header the join reads is the one it was unlocked with, and the one the
// checksum list names.
Outcome JoinJob::checkSealedHeader(bool listed, const std::map<std::string, std::string>& digests) {
    const std::string path = SetNames(request_.chunkDir, {}).treePath();
    std::string bytes;
    if (Outcome o = plat::readWholeFile(path.c_str(), std::int64_t{1} << 31, &bytes); !o) return o;
    const std::vector<char> unlocked = encodeSealedHeader(sealedHeader_);
    if (bytes.size() != unlocked.size() ||
        !std::equal(unlocked.begin(), unlocked.end(), bytes.begin()))
        return Outcome::failure(Fault::Changed, path,
                                "the chunk set changed since it was unlocked");
    if (!listed) return Outcome::success();
    const auto digest = digests.find(kTreeName);
    if (digest == digests.end())
        return Outcome::failure(
            request_.chunkDir + "/" + kChecksumListName,
            std::string("the checksum list is damaged: it does not name ") + kTreeName, EINVAL);
    if (sha256Hex(bytes.data(), bytes.size()) != digest->second) return checksumMismatch(path);
    return Outcome::success();
}

Outcome JoinJob::run() {
    Outcome o;
    if (needsRebuild_ || needsAssessment_) {
        if (control().cancelRequested()) return Outcome::cancel();
        bool served = false;
        if (needsRebuild_ && !manifestLost()) {
            o = useListedRebuild(control());
            if (o.cancelled) return o;
            served = o.ok;
        }
        if (!served) o = useRebuiltView(control(), needsAssessment_);
    }
    if (o) {
        o = attempt();
        // A chunk that fails its checksum is as good as lost: recovery chunks bring it back.
        // After the quicker rebuild, the assessment reads the set whole to find what else is.
        if (o.rebuildMayHelp() && listedView_) leaveView();
        if (o.rebuildMayHelp() && view_.empty() && hasRecoveryFiles(originalChunkDir_)) {
            if (Outcome v = useRebuiltView(control(), false); !v)
                o = v.cancelled ? v : o;
            else
                o = attempt();
        }
    }
    leaveView();
    return o;
}

void JoinJob::leaveView() {
    // The rebuilt files served this join alone.
    if (!view_.empty()) {
        request_.chunkDir = originalChunkDir_;
        for (ChunkCheckEntry& e : check_.entries)
            if (e.chunkPath.compare(0, view_.size(), view_) == 0)
                e.chunkPath = originalChunkDir_ + e.chunkPath.substr(view_.size());
        check_.chunkDir = originalChunkDir_;
    }
    dropView();
}

Outcome JoinJob::attempt() {
    if (control().cancelRequested()) return Outcome::cancel();
    if (isProtected() && !unlocked_)
        return Outcome::failure(request_.chunkDir,
                                "the chunk set is protected: its password is needed", EACCES);
    const bool sealed = isSealed();
    const std::string name = sealed ? contents_.sourceName : check_.manifest.sourceName;
    // Every side name below is built from the manifest's name: it must be one plain name.
    if (Outcome o = checkSourceNameOf(request_.chunkDir, check_.manifest); !o)
        return Outcome::failure(Fault::Malformed, o.path, o.reason, EINVAL);
    const std::string target = request_.outputDir + "/" + name;
    // The set as it is now decides, not as it was when it was listed.
    ChunkSetCheck now;
    if (Outcome o = checkChunkSet(request_.chunkDir, &now); !o) return o;
    if (now.manifest.sourceName != check_.manifest.sourceName ||
        now.manifest.passwordDigest != check_.manifest.passwordDigest)
        return Outcome::failure(Fault::Changed, manifestPathOf(request_.chunkDir),
                                "the chunk set changed since it was listed");
    if (const auto problems = now.problems(); !problems.empty())
        return Outcome::failure(Fault::Damaged, request_.chunkDir, problemsText(problems), EIO);
    check_ = std::move(now);
    // The tree file is read once: the bytes parsed are the bytes hashed for the list below.
    Tree tree;
    bool hasTree = false;
    std::string treeDigest;
    const Outcome treeRead =
        sealed ? Outcome::success() : readTree(request_.chunkDir, &hasTree, &tree, &treeDigest);
    // Again for a set whose manifest was rebuilt, and for the room as it is now.
    if (Outcome o = roomForJoin(treeRead && hasTree ? &tree : nullptr); !o) return o;

    // The checksum list, when there is one and it is wanted, guards every byte, the
    // manifest's first: a damaged list is said, never passed over.
    std::map<std::string, std::string> digests;
    verified_ = false;
    if (order_.verify) {
        bool present = false;
        if (Outcome o = readChecksumList(request_.chunkDir, &present, &digests); !o) return o;
        if (present) {
            const std::string listPath = request_.chunkDir + "/" + kChecksumListName;
            const auto manifestDigest = digests.find(kManifestName);
            if (manifestDigest == digests.end())
                return Outcome::failure(listPath,
                                        std::string("the checksum list is damaged: it does not "
                                                    "name ") +
                                            kManifestName,
                                        EINVAL);
            // The manifest the join follows, as it was read, not the file read once more.
            if (check_.manifestSha256 != manifestDigest->second)
                return checksumMismatch(manifestPathOf(request_.chunkDir));
            for (const ChunkCheckEntry& e : check_.entries)
                if (digests.find(e.chunkPath.substr(request_.chunkDir.size() + 1)) == digests.end())
                    return Outcome::failure(listPath,
                                            "the checksum list is damaged: it does not name " +
                                                e.chunkPath.substr(request_.chunkDir.size() + 1),
                                            EINVAL);
            request_.checksums = &digests;
            verified_ = true;
        }
    }

    // The tree file, checked like every other file of the set before it is trusted.
    if (sealed) {
        if (Outcome o = checkSealedHeader(verified_, digests); !o) return o;
        tree = sealedTree_;
        // Every frame is authenticated as it is read, whatever the order said.
        verified_ = true;
        request_.checksums = nullptr;
    } else if (!treeRead) {
        // A tree file that does not parse is damage, which recovery chunks can mend.
        return Outcome::failure(Fault::Damaged, treeRead.path, treeRead.reason, EIO);
    }
    if (hasTree && verified_) {
        const auto digest = digests.find(kTreeName);
        const std::string treePath = request_.chunkDir + "/" + kTreeName;
        if (digest == digests.end())
            return Outcome::failure(request_.chunkDir + "/" + kChecksumListName,
                                    std::string("the checksum list is damaged: it does not "
                                                "name ") +
                                        kTreeName,
                                    EINVAL);
        if (treeDigest != digest->second) return checksumMismatch(treePath);
    }

    std::vector<std::string> made;
    if (Outcome o = makeOutputFolder(request_.outputDir, &made); !o) return o;
    const SideNames side = sideNamesOf(request_.outputDir, name);
    plat::NameLock lock;
    Outcome outcome = claimOutput(side, target, &lock);
    if (outcome && plat::pathExists(target.c_str()) && !replaceAllowed_)
        outcome = Outcome::failure(target, "already exists", EEXIST);
    if (outcome) {
        request_.buildPath = side.partial;
        request_.tree = tree.folderSet || !tree.entries.empty() ? &tree : nullptr;
        outcome =
            sealed ? runSealedJoin(request_, sealedHeader_, *key_, contents_, control(), &result_)
                   : runJoin(request_, check_.manifest, control(), &result_);
        if (outcome.is(Fault::Damaged)) {
            // Name every damaged chunk, not only the first the join met.
            ChunkSetCheck full = check_;
            if (Outcome v = verifyChunkSet(&full, control(),
                                           std::max(1u, std::thread::hardware_concurrency()));
                v.cancelled) {
                outcome = v;
            } else {
                if (const auto problems = full.problems(); problems.size() > 1)
                    outcome = Outcome::failure(Fault::Damaged, request_.chunkDir,
                                               problemsText(problems), EIO);
                failedCheck_ = std::move(full);
            }
        }
        // The rebuilt files have served: gone before the flush, which would write them out.
        if (outcome && !view_.empty())
            for (const std::string& name : rebuilt_) plat::removeFile((view_ + "/" + name).c_str());
        // Every file, then the folders' entries, deepest first.
        if (outcome) outcome = plat::syncFileSystem(side.partial.c_str());
        for (auto it = result_.createdFolders.rbegin();
             outcome && it != result_.createdFolders.rend(); ++it)
            outcome = plat::syncDirectory(it->c_str());
        if (outcome && control().cancelRequested()) outcome = Outcome::cancel();
        if (outcome) outcome = commitOutput(side.partial, target, side.old, request_.outputDir);
        if (!outcome) plat::removeTree(side.partial.c_str());
    }
    outcome = namedAtFinal(std::move(outcome), side, target);
    request_.checksums = nullptr;
    request_.tree = nullptr;
    lock.release();  // its file would keep a made folder from going
    if (!outcome) {
        verified_ = false;
        removeMadeFolders(&made);
    }
    return outcome;
}

Outcome JoinJob::deleteSources() {
    // The set's own recovery files, judged while its chunks are still there to judge by:
    // never a file of another set, nor one that only shares the extension.
    std::vector<std::string> recovery;
    if (hasRecoveryFiles(originalChunkDir_)) {
        std::map<std::string, std::string> digests;
        bool listed = false;
        const bool listRead = readChecksumList(originalChunkDir_, &listed, &digests).ok;
        RecoveryAssessment a;
        if (Outcome o = assessRecovery(originalChunkDir_, listRead && listed ? &digests : nullptr,
                                       control(), &a);
            o.cancelled)
            return o;
        const SetNames names(originalChunkDir_, a.stem);
        for (const RecoveryFile& file : a.recoveryFiles)
            if (file.state == FileState::Ok ||
                (file.state == FileState::Damaged && file.witness != Witness::None))
                recovery.push_back(names.pathOf(file.name));
    }
    // The chunks themselves, never what stands in for them in a rebuilt view.
    std::vector<ChunkCheckEntry> originals = check_.entries;
    for (ChunkCheckEntry& e : originals)
        e.chunkPath = originalChunkDir_ + e.chunkPath.substr(request_.chunkDir.size());
    Outcome o = removeListedChunks(originals);
    for (const std::string& path : recovery)
        if (Outcome r = plat::removeFile(path.c_str()); !r && !r.is(Fault::NotFound)) o.absorb(r);
    return o;
}

bool hasRecoveryFiles(const std::string& chunkDir) {
    std::vector<plat::DirEntry> entries;
    if (!plat::listDirectory(chunkDir.c_str(), &entries)) return false;
    for (const plat::DirEntry& e : entries)
        if (e.kind == plat::Kind::File && e.name.size() > 4 &&
            e.name.compare(e.name.size() - 4, 4, ".rec") == 0)
            return true;
    return false;
}

RepairJob::RepairJob(QString chunkDir) : order_(std::move(chunkDir)) {}

std::vector<std::string> listedRecoveryFiles(const std::string& chunkDir) {
    std::map<std::string, std::string> digests;
    bool listed = false;
    std::vector<std::string> names;
    if (readChecksumList(chunkDir, &listed, &digests) && listed)
        for (const auto& [name, digest] : digests)
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".rec") == 0)
                names.push_back(name);
    return names;
}

// Every recovery file is lost, and with them every header: the manifest and the checksum
// list still say what the set is, so the recovery chunks are coded again from the chunks.
Outcome RepairJob::recodeLostRecovery() {
    std::map<std::string, std::string> digests;
    bool listed = false;
    if (Outcome o = readChecksumList(chunkDir_, &listed, &digests); !o || !listed)
        return Outcome::failure(Fault::Unrepairable, chunkDir_,
                                "its recovery chunks are all lost, and without the checksum list "
                                "they cannot be made again",
                                EIO);
    ChunkSetCheck check;
    if (Outcome o = checkChunkSet(chunkDir_, &check); !o) return o;
    if (Outcome o =
            verifyChunkSet(&check, control(), std::max(1u, std::thread::hardware_concurrency()));
        !o)
        return o;
    for (ChunkCheckEntry& e : check.entries)
        if (e.state != ChunkState::Ok)
            return Outcome::failure(Fault::Unrepairable, e.chunkPath,
                                    "is lost or damaged, and so are all the recovery chunks", EIO);
    const Manifest& m = check.manifest;
    const std::string stem = stemOf(m.sourceName);
    const std::int64_t chunkSize =
        m.chunkCount > 1 ? check.entries.front().size : std::max<std::int64_t>(1, m.totalSize);
    std::int64_t metaBytes = 0;
    for (const char* name : {kManifestName, kTreeName})
        metaBytes += std::max<std::int64_t>(0, fileSize((chunkDir_ + "/" + name).c_str()));
    const int files = static_cast<int>(listedRecoveryFiles(chunkDir_).size());
    const int parity = recoveryPerGroup(m.chunkCount, chunkSize, metaBytes, files);
    if (parity == 0)
        return Outcome::failure(chunkDir_ + "/" + kChecksumListName,
                                "names recovery files that fit no layout", EINVAL);
    RecoverySource source{chunkDir_, stem, m.chunkCount, chunkSize, m.totalSize, parity, {}, {}};
    for (std::int32_t i = 0; i < m.chunkCount; ++i)
        source.chunkDigests.push_back(digests[SetNames(chunkDir_, stem).chunkName(i)]);
    const SideNames side = sideNamesOf(chunkDir_, "repair");
    plat::NameLock lock;
    if (Outcome o = lock.acquire(side.lock); !o) return o.is(Fault::Busy) ? busy(chunkDir_) : o;
    plat::removeTree(side.partial.c_str());
    Outcome outcome = makeDir(side.partial.c_str());
    source.outFolder = side.partial;
    std::vector<ChecksumLine> lines;
    std::vector<std::string> written;
    if (outcome) outcome = writeRecovery(source, control(), &lines, &written);
    // The list keeps its lines for everything else, and takes the new recovery lines.
    std::vector<ChecksumLine> all;
    for (const auto& [name, digest] : digests)
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".rec") != 0)
            all.push_back({digest, name});
    std::sort(all.begin(), all.end(), [&](const ChecksumLine& a, const ChecksumLine& b) {
        auto rank = [&](const std::string& n) {
            if (n == kManifestName) return std::make_pair(0, std::int64_t{0});
            if (n == kTreeName) return std::make_pair(2, std::int64_t{0});
            const std::size_t underscore = n.rfind('_');
            return std::make_pair(1, std::int64_t{std::atoll(n.c_str() + underscore + 1)});
        };
        return rank(a.name) < rank(b.name);
    });
    all.insert(all.end(), lines.begin(), lines.end());
    if (outcome) outcome = writeList(side.partial, all);
    for (const ChecksumLine& l : lines) rebuilt_.push_back(l.name);
    if (outcome) rebuilt_.push_back(kChecksumListName);
    outcome = putInPlace(side.partial, outcome);
    if (!outcome) rebuilt_.clear();
    return outcome;
}

Outcome RepairJob::writeList(const std::string& folder, const std::vector<ChecksumLine>& lines) {
    const std::string list = checksumListOf(lines);
    plat::File f;
    Outcome o = f.open((folder + "/" + kChecksumListName).c_str(), plat::File::Mode::CreateNew);
    if (o) o = f.write(list.data(), list.size());
    if (o) o = f.close();
    return o;
}

Outcome RepairJob::putInPlace(const std::string& built, Outcome outcome) {
    if (outcome) outcome = plat::syncFileSystem(built.c_str());
    // Each rebuilt file takes the place of the lost one in a single rename.
    for (std::size_t i = 0; outcome && i < rebuilt_.size(); ++i)
        outcome = plat::renamePath((built + "/" + rebuilt_[i]).c_str(),
                                   (chunkDir_ + "/" + rebuilt_[i]).c_str());
    if (outcome) outcome = plat::syncDirectory(chunkDir_.c_str());
    plat::removeTree(built.c_str());
    return outcome;
}

Outcome RepairJob::prepare() {
    prepared_ = false;
    if (order_.isEmpty()) return refuse(Outcome::failure("", "no chunk folder was given", EINVAL));
    if (Outcome o = engineTextOf(absoluteClean(order_), "the chunk folder path", &chunkDir_); !o)
        return refuse(o);
    if (Outcome o = fitsPathField(chunkDir_); !o) return o;
    if (!hasRecoveryFiles(chunkDir_) && listedRecoveryFiles(chunkDir_).empty())
        return Outcome::failure(chunkDir_, "holds no recovery chunks (.rec files)", ENOENT);
    prepared_ = true;
    return Outcome::success();
}

Outcome RepairJob::run() {
    std::map<std::string, std::string> digests;
    bool listed = false;
    const bool listRead = readChecksumList(chunkDir_, &listed, &digests).ok;
    if (Outcome o = assessRecovery(chunkDir_, listRead && listed ? &digests : nullptr, control(),
                                   &assessment_);
        !o)
        return o;
    if (!assessment_.present) return recodeLostRecovery();
    const bool listLost = !listRead || !listed;
    if (assessment_.lost.empty() && !listLost) return Outcome::success();
    if (!assessment_.repairable)
        return Outcome::failure(Fault::Unrepairable, chunkDir_,
                                "cannot be repaired: " + std::to_string(assessment_.lost.size()) +
                                    " files are lost or damaged, and " +
                                    std::to_string(assessment_.moreNeeded) +
                                    " more would be needed",
                                EIO);
    const SideNames side = sideNamesOf(chunkDir_, "repair");
    plat::NameLock lock;
    if (Outcome o = lock.acquire(side.lock); !o) return o.is(Fault::Busy) ? busy(chunkDir_) : o;
    plat::removeTree(side.partial.c_str());
    Outcome outcome = makeDir(side.partial.c_str());
    if (outcome) outcome = rebuildLost(chunkDir_, assessment_, side.partial, control(), &rebuilt_);
    if (outcome && (listLost || !rebuilt_.empty())) {
        // The list again, of the set as it now stands: only hashes a witness proved.
        std::vector<ChecksumLine> lines;
        const SetNames names(chunkDir_, assessment_.stem);
        auto add = [&](const std::string& name) {
            const bool mended = std::find(rebuilt_.begin(), rebuilt_.end(), name) != rebuilt_.end();
            std::string hex;
            if (Outcome o =
                    hashFile((mended ? side.partial : chunkDir_) + "/" + name, &control(), &hex);
                !o)
                return o;
            // A rebuilt recovery file is coded from proven bytes; every other file must
            // still be what its witness vouched for.
            const bool recoded = mended && names.recoveryNumberOf(name) >= 0;
            if (!recoded && !matchesProven(assessment_, name, hex))
                return Outcome::failure(Fault::Unrepairable, names.pathOf(name),
                                        "nothing vouches for its bytes, so no checksum is written "
                                        "for it",
                                        EIO);
            lines.push_back({hex, name});
            return Outcome::success();
        };
        outcome = add(kManifestName);
        for (std::int32_t i = 0; outcome && i < assessment_.chunkCount; ++i)
            outcome = add(names.chunkName(i));
        if (outcome && plat::pathExists(names.treePath().c_str())) outcome = add(kTreeName);
        for (std::size_t r = 0; outcome && r < assessment_.recoveryFiles.size(); ++r) {
            const RecoveryFile& file = assessment_.recoveryFiles[r];
            if (file.state == FileState::Ok && !assessment_.proven.count(file.name)) {
                // A recovery file of the set whose header agrees with the rest.
                std::string hex;
                outcome = hashFile(names.pathOf(file.name), &control(), &hex);
                if (outcome && hex != file.sha256)
                    outcome = Outcome::failure(Fault::Changed, names.pathOf(file.name),
                                               "changed since it was assessed", EIO);
                if (outcome) lines.push_back({hex, file.name});
                continue;
            }
            outcome = add(file.name);
        }
        if (outcome) outcome = writeList(side.partial, lines);
        if (outcome) rebuilt_.push_back(kChecksumListName);
    }
    return putInPlace(side.partial, outcome);
}

VerifyJob::VerifyJob(QString chunkDir, bool wholeRead)
    : chunkDir_(std::move(chunkDir)), wholeRead_(wholeRead) {}

Outcome VerifyJob::prepare() {
    prepared_ = false;
    if (chunkDir_.isEmpty())
        return refuse(Outcome::failure("", "no chunk folder was given", EINVAL));
    std::string dir;
    if (Outcome o = engineTextOf(absoluteClean(chunkDir_), "the chunk folder path", &dir); !o)
        return refuse(o);
    if (Outcome o = fitsPathField(dir); !o) return o;
    // A set whose manifest is lost can still say, from its recovery chunks, what it lost.
    if (Outcome o =
            wholeRead_ ? checkChunkSetForFullRead(dir, &check_) : checkChunkSet(dir, &check_);
        !o) {
        if (!hasRecoveryFiles(dir)) return o;
        manifestLost_ = o;
    }
    prepared_ = true;
    return Outcome::success();
}

Outcome VerifyJob::run() {
    if (manifestLost_.ok)
        if (Outcome o = verifyChunkSet(&check_, control(),
                                       std::max(1u, std::thread::hardware_concurrency()));
            !o)
            return o;
    // A whole read runs straight after its listing, which saw whether there are any.
    const bool recoveryFiles = wholeRead_ && manifestLost_.ok ? check_.recoveryFilesSeen
                                                              : hasRecoveryFiles(check_.chunkDir);
    if (!recoveryFiles) return Outcome::success();
    std::map<std::string, std::string> digests;
    bool listed = false;
    const bool listRead = readChecksumList(check_.chunkDir, &listed, &digests).ok;
    if (Outcome o = assessRecovery(check_.chunkDir, listRead && listed ? &digests : nullptr,
                                   control(), &recovery_);
        !o)
        return o;
    // Without a list, the recovery headers' hashes judge the chunks, as a join does.
    if (manifestLost_.ok && check_.checksumList == ChecksumList::Absent && recovery_.present)
        for (ChunkCheckEntry& e : check_.entries) {
            const auto i = static_cast<std::size_t>(e.chunkIndex);
            if (e.state != ChunkState::Ok || e.chunkIndex < 0 || i >= recovery_.chunks.size())
                continue;
            if (recovery_.chunks[i] == FileState::Damaged) e.state = ChunkState::Damaged;
            if (recovery_.chunks[i] == FileState::Missing) e.state = ChunkState::Missing;
        }
    return Outcome::success();
}

}  // namespace morvane::jobs
