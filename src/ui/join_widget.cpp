#include "ui/join_widget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <climits>
#include <map>

#include "engine/checksums.h"
#include "engine/manifest.h"
#include "engine/set_names.h"
#include "jobs/in_the_way.h"
#include "jobs/jobs.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/images.h"
#include "ui/message_box.h"
#include "ui/password_dialog.h"
#include "ui/path_field.h"
#include "ui/progress_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

const char* const kNoChecksumListNote =
    "This set has no checksum list: only sizes and fingerprints can be checked.";

namespace {

constexpr int kPathColumn = ChunkListModel::kPathColumn;
constexpr int kMarkColumn = ChunkListModel::kMarkColumn;
constexpr int kStateColumn = ChunkListModel::kStateColumn;

const QString kOutputKey = QStringLiteral("join/outputDir");

// A split builds its set under a hidden name and renames it only once it is complete.
bool isPartialName(const QString& name) {
    return name.startsWith(QLatin1Char('.')) && name.endsWith(QStringLiteral(".morvane-partial"));
}

// The files of folder whose names end in ending, matched as the system matches names. Not
// through QDir's name filters: they build a regular expression, whose per-thread stack a
// mingw build frees too late, and a reading thread that used one never ends on Windows.
QFileInfoList filesEndingIn(const QString& folder, const QString& ending) {
#ifdef Q_OS_WIN
    constexpr Qt::CaseSensitivity kCase = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity kCase = Qt::CaseSensitive;
#endif
    QFileInfoList found;
    for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files))
        if (file.fileName().endsWith(ending, kCase)) found.append(file);
    return found;
}

// Why folder, which the chunk-set check could not read, holds no set to join.
QString whyNoSet(const QString& folder, const morvane::Outcome& failure) {
    const QString name = QFileInfo(folder).fileName();
    const QDir dir(folder);
    // Chunks beside no manifest are what an older or a killed split leaves.
    const bool partial = isPartialName(name);
    // A split writes its recovery chunks last: a set that has them was finished.
    if (!partial && !filesEndingIn(folder, QStringLiteral(".rec")).isEmpty())
        return folder + QStringLiteral(": the manifest (") +
               QString::fromLatin1(morvane::kManifestName) +
               QStringLiteral(
                   ") is lost or damaged; Repair may bring it back from the recovery chunks");
    const bool unfinished = partial || (!dir.exists(QString::fromLatin1(morvane::kManifestName)) &&
                                        !filesEndingIn(folder, QStringLiteral(".spt")).isEmpty());
    if (unfinished) return folder + QStringLiteral(" looks like a split that did not finish");
    if (!dir.exists(QString::fromLatin1(morvane::kManifestName)))
        return folder + QStringLiteral(" holds no chunk set (no ") +
               QString::fromLatin1(morvane::kManifestName) + QLatin1Char(')');
    return page::describe(failure);
}

// Whether folder, which the chunk-set check could not read, holds a set whose manifest is
// there and cannot be read, or is lost beside recovery chunks that may bring it back: the
// page then lists that one file and why.
bool hasUnreadableManifest(const QString& folder) {
    const QString name = QFileInfo(folder).fileName();
    const bool partial = isPartialName(name);
    const QDir dir(folder);
    return !partial && (dir.exists(QString::fromLatin1(morvane::kManifestName)) ||
                        !filesEndingIn(folder, QStringLiteral(".rec")).isEmpty());
}

// Keeps what a full read of the set found (Verify's, or a failed join's), which a quick
// check cannot see, on a fresh quick check of the same set.
void keepFoundMarks(const morvane::ChunkSetCheck& found, morvane::ChunkSetCheck* fresh) {
    if (found.checksumList == morvane::ChecksumList::NotRead ||
        found.entries.size() != fresh->entries.size())
        return;
    for (std::size_t i = 0; i < fresh->entries.size(); ++i) {
        const morvane::ChunkCheckEntry& was = found.entries[i];
        morvane::ChunkCheckEntry& now = fresh->entries[i];
        if (was.state == morvane::ChunkState::Damaged && now.state == morvane::ChunkState::Ok &&
            was.size == now.size)
            now.state = morvane::ChunkState::Damaged;
    }
    fresh->checksumList = found.checksumList;
    fresh->listProblem = found.listProblem;
    fresh->listedFiles = found.listedFiles;
    // A join may have read the set through a folder of its own.
    const morvane::SetNames names(fresh->chunkDir, {});
    for (morvane::ListedFile& file : fresh->listedFiles) file.path = names.pathOf(file.name);
}

// The number in a recovery file's name "STEM_<n>.rec", or -1.
int recoveryNumber(const std::string& name) {
    const std::size_t cut = name.rfind('_');
    if (cut == std::string::npos || name.size() < cut + 6 ||
        name.compare(name.size() - 4, 4, ".rec") != 0)
        return -1;
    const std::string digits = name.substr(cut + 1, name.size() - cut - 5);
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(digits);
}

QString joinedNames(const std::vector<std::string>& names) {
    QStringList shown;
    for (const std::string& name : names) shown.append(morvane::jobs::displayText(name));
    return shown.join(QStringLiteral(", "));
}

// What Verify says about a set with recovery chunks that lost files.
QString recoveryVerdict(const morvane::RecoveryAssessment& recovery) {
    if (recovery.repairable) return QStringLiteral("The recovery chunks can rebuild them.");
    return QStringLiteral("The recovery chunks cannot rebuild them: %1 more %2 would be needed.")
        .arg(recovery.moreNeeded)
        .arg(recovery.moreNeeded == 1 ? QStringLiteral("file") : QStringLiteral("files"));
}

}  // namespace

struct UI_JoinWidget::SetListing {
    QString folder;  // absolute and clean
    std::string chunkDir;
    bool storable = true;
    morvane::Outcome read;
    morvane::ChunkSetCheck check;
    bool hasRecovery = false;
    std::map<int, std::string> recoveryOnDisk;
    std::vector<int> recoveryListed;
    bool manifestUnreadable = false;
    QString whyNot;

    // Reads it all; touches no widget, so that it runs off the window's thread.
    void gather(const QString& clean) {
        folder = clean;
        if (!morvane::plat::toEngineText(clean, &chunkDir)) {
            storable = false;
            return;
        }
        read = morvane::checkChunkSet(chunkDir, &check);
        hasRecovery = morvane::jobs::hasRecoveryFiles(chunkDir);
        if (!read) {
            manifestUnreadable = hasUnreadableManifest(clean);
            whyNot = whyNoSet(clean, read);
            if (!manifestUnreadable) return;
        }
        const morvane::SetNames names(chunkDir, morvane::stemOf(check.manifest.sourceName));
        for (const std::string& name : morvane::jobs::listedRecoveryFiles(chunkDir))
            if (const int n = recoveryNumber(name); n >= 0) recoveryListed.push_back(n);
        const QFileInfoList files = filesEndingIn(clean, QStringLiteral(".rec"));
        for (const QFileInfo& file : files) {
            std::string engineName;
            if (!morvane::plat::toEngineText(file.fileName(), &engineName)) continue;
            const std::int64_t n =
                read ? names.recoveryNumberOf(engineName) : recoveryNumber(engineName);
            if (n >= 0 && n <= INT_MAX)
                recoveryOnDisk[static_cast<int>(n)] = names.pathOf(engineName);
        }
    }
};

UI_JoinWidget::UI_JoinWidget(QWidget* parent) : QWidget(parent) {
    QFont pageFont = font();
    pageFont.setFamily(QStringLiteral("arial"));
    pageFont.setPointSize(10);
    setFont(pageFont);
    setAcceptDrops(true);

    input_joinfolderButton = new QPushButton(this);
    verify_Button = new QPushButton(this);
    repair_Button = new QPushButton(this);
    m_rows = new ChunkListModel(this);
    input_joinTreeWidget = new QTreeView(this);
    input_joinTreeWidget->setModel(m_rows);
    input_joinTreeWidget->setRootIsDecorated(false);
    // The view then sizes rows without asking each: many thousand rows list at once.
    input_joinTreeWidget->setUniformRowHeights(true);
    // The rows differ at the end of their paths: the middle goes instead.
    input_joinTreeWidget->setTextElideMode(Qt::ElideMiddle);
    input_joinTreeWidget->setSelectionMode(QAbstractItemView::ExtendedSelection);
    input_joinTreeWidget->horizontalScrollBar()->setFixedHeight(10);
    input_joinTreeWidget->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal{height: 10px;}"));
    status_Label = new QLabel(this);
    status_Label->setStyleSheet(QStringLiteral("QLabel { color: #6c6c6c; }"));

    delete_chunks_CheckBox = new QCheckBox(this);
    output_Label = new QLabel(this);
    output_LineEdit = new PathField(this);
    output_joinfolderButton = new QPushButton(this);
    m_join_Button = new QPushButton(this);

    // Without parent: the page is disabled while a job runs, and the pop-up must not be.
    m_ProgressWidget = new UI_ProgressWidget(nullptr);
    m_ProgressWidget->captionLabel->setText(QStringLiteral("Joining..."));
    m_ProgressWidget->hide();
    m_DialogWidget = new UI_DialogWidget(this);
    m_DialogWidget->messageLabel->setText(QStringLiteral("Joining Completed!"));
    m_DialogWidget->hide();
    m_inputpwdWidget = new UI_inputpwdWidget(nullptr);
    m_inputpwdWidget->hide();

    input_joinfolderButton->setText(QStringLiteral("Add Folder"));
    verify_Button->setText(QStringLiteral("Verify"));
    verify_Button->setToolTip(
        QStringLiteral("Reads every byte of the set and checks it against its checksum list."));
    repair_Button->setText(QStringLiteral("Repair"));
    repair_Button->setToolTip(
        QStringLiteral("Writes the set's lost or damaged files back from its recovery chunks."));
    repair_Button->setEnabled(false);
    delete_chunks_CheckBox->setText(QStringLiteral("Delete source files after joining"));
    output_Label->setText(QStringLiteral("OutPath"));
    output_joinfolderButton->setText(QStringLiteral("..."));
    m_join_Button->setText(QStringLiteral("Join"));
    output_LineEdit->setPath(page::setting(kOutputKey).toString());
    m_outputChosen = !output_LineEdit->path().isEmpty();

    connect(input_joinfolderButton, &QPushButton::clicked, this,
            &UI_JoinWidget::input_joinfolderButton_slots);
    connect(verify_Button, &QPushButton::clicked, this, &UI_JoinWidget::verify_Button_slots);
    connect(repair_Button, &QPushButton::clicked, this, &UI_JoinWidget::repair_Button_slots);
    connect(output_joinfolderButton, &QPushButton::clicked, this,
            &UI_JoinWidget::output_joinfolderButton_slots);
    connect(output_LineEdit, &QLineEdit::textEdited, this,
            [this] { m_outputChosen = !output_LineEdit->path().isEmpty(); });
    connect(m_join_Button, &QPushButton::clicked, this, &UI_JoinWidget::m_join_Button_slots);
    m_JoinDoingThread = new morvane::JobThread;
    connect(m_JoinDoingThread, &QThread::finished, this,
            &UI_JoinWidget::m_JoinDoingThread_Finished);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelAsked, this,
            &UI_JoinWidget::m_ProgressWidget_cancelAsked);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelNow, this, [this] {
        if (morvane::jobs::Job* job = currentJob()) job->control().requestCancel();
    });
    m_join_Timer1 = new QTimer(nullptr);
    connect(m_join_Timer1, &QTimer::timeout, this, &UI_JoinWidget::m_join_Timer1_slots);

    // The marks of the listing are compiled images.
    ensureImages();
}

UI_JoinWidget::~UI_JoinWidget() {
    // A job still running would leave a half-joined target; it removes what it wrote instead.
    if (morvane::jobs::Job* job = currentJob()) job->control().requestCancel();
    m_JoinDoingThread->wait();
    delete m_JoinDoingThread;
    // A read only reads; it is let finish, and its result goes unseen.
    for (QThread* thread : m_readThreads) {
        thread->wait();
        delete thread;
    }
    delete m_join_Timer1;
    delete m_inputpwdWidget;
    delete m_ProgressWidget;
}

void UI_JoinWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    const int W = this->width();
    const int H = this->height();
    // What the page gained over its smallest size goes to the list and the path field.
    const int wider = std::max(0, W - 680);
    const int taller = std::max(0, H - 420);
    input_joinfolderButton->setGeometry(0, 0, 100, 30);
    verify_Button->setGeometry(105, 0, 100, 30);
    repair_Button->setGeometry(210, 0, 100, 30);
    input_joinTreeWidget->setGeometry(0, 40, W, 130 + taller);
    input_joinTreeWidget->setColumnWidth(kStateColumn, 80);
    input_joinTreeWidget->setColumnWidth(kMarkColumn, 30);
    input_joinTreeWidget->setColumnWidth(1, 100);
    input_joinTreeWidget->setColumnWidth(kPathColumn, input_joinTreeWidget->width() - 230);
    status_Label->setGeometry(0, 172 + taller, W, 24);
    delete_chunks_CheckBox->setGeometry(0, 200 + taller, 300, 30);
    output_Label->setGeometry(0, H - 98, 60, 30);
    output_LineEdit->setGeometry(60, H - 100, 360 + wider, 26);
    output_joinfolderButton->setGeometry(420 + wider, H - 100, 35, 26);
    m_join_Button->setGeometry(500 + wider, H - 120, 100, 50);
    m_DialogWidget->placeAt((W - 400) / 2, (H - 80) / 2, 420, 80);
}

QPoint UI_JoinWidget::mainWindowPos() const {
    return m_mainWindow != nullptr ? m_mainWindow->pos() : QPoint();
}

QWidget* UI_JoinWidget::messageParent() const {
    return m_mainWindow;
}

morvane::jobs::Job* UI_JoinWidget::currentJob() const {
    if (m_job) return m_job.get();
    if (m_repairJob) return m_repairJob.get();
    return m_verifyJob.get();
}

bool UI_JoinWidget::listsFolderOf(const std::string& chunkDir) const {
    return listsFolder(morvane::jobs::displayText(chunkDir));
}

bool UI_JoinWidget::listsFolder(const QString& chunkDir) const {
    return !m_chunkFolder.isEmpty() &&
           QDir::cleanPath(QDir(chunkDir).absolutePath()) == m_chunkFolder;
}

void UI_JoinWidget::input_joinfolderButton_slots() {
    const QString folder =
        askExistingDirectory(this, tr("Select Merge source Folder"), page::dialogFolder(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) return;
    page::rememberDialogPath(folder, true);
    listFolder(folder);
}

void UI_JoinWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (!jobActive() && !input_joinfolderButton->isHidden() &&
        input_joinfolderButton->isEnabled() && !page::droppedPath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void UI_JoinWidget::dropEvent(QDropEvent* event) {
    const QString path = page::droppedPath(event->mimeData());
    if (path.isEmpty() || jobActive() || !input_joinfolderButton->isEnabled()) return;
    event->acceptProposedAction();
    // Any file of a set stands for its chunk folder.
    const QFileInfo info(path);
    listFolder(info.isDir() ? path : info.absolutePath());
}

void UI_JoinWidget::readInBackground(std::function<void()> work, std::function<void()> then,
                                     bool forJob) {
    const unsigned generation = ++m_readGeneration;
    setReading(true, forJob);
    QThread* thread = QThread::create(std::move(work));
    m_readThreads.push_back(thread);
    connect(thread, &QThread::finished, this, [this, thread, generation, then = std::move(then)] {
        std::erase(m_readThreads, thread);
        thread->deleteLater();
        if (generation != m_readGeneration) return;
        // Reading still, for the page's buttons, until what follows the read has started.
        then();
        if (generation == m_readGeneration) setReading(false, false);
    });
    thread->start();
}

void UI_JoinWidget::setReading(bool reading, bool forJob) {
    m_reading = reading;
    verify_Button->setEnabled(!reading);
    m_join_Button->setEnabled(!reading);
    repair_Button->setEnabled(!reading && m_hasRecovery);
    // A job's checks are of the folder listed: no other may take its place meanwhile.
    input_joinfolderButton->setEnabled(!(reading && forJob));
    if (reading) status_Label->setText(QStringLiteral("Reading the chunk set..."));
}

void UI_JoinWidget::clearListing() {
    m_rows->clear();
    status_Label->clear();
    m_check = morvane::ChunkSetCheck{};
    m_listingValid = false;
    m_hasRecovery = false;
    m_recovery = morvane::RecoveryAssessment{};
    m_recoveryAssessed = false;
    m_recoveryOnDisk.clear();
    m_recoveryListed.clear();
    m_manifestProblem.clear();
    m_chunkFolder.clear();
    m_sourceName.clear();
    repair_Button->setEnabled(false);
}

void UI_JoinWidget::listFolder(const QString& folder) {
    auto listing = std::make_shared<SetListing>();
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    clearListing();
    readInBackground([listing, clean] { listing->gather(clean); },
                     [this, listing] { showSet(*listing, true); }, false);
}

void UI_JoinWidget::showSet(SetListing& listing, bool suggestOutput) {
    if (!listing.storable) {
        showMessage(messageParent(), QString(),
                    QStringLiteral("The chunk folder holds characters the program cannot store."),
                    true, false);
        return;
    }
    if (!listing.read && !listing.manifestUnreadable) {
        showMessage(messageParent(), QString(), listing.whyNot, true, false);
        return;
    }
    m_chunkFolder = listing.folder;
    m_hasRecovery = listing.hasRecovery;
    m_recoveryOnDisk = std::move(listing.recoveryOnDisk);
    m_recoveryListed = std::move(listing.recoveryListed);
    m_check = std::move(listing.check);
    m_check.chunkDir = listing.chunkDir;
    if (!listing.read) m_manifestProblem = listing.whyNot;
    // A set whose manifest is lost joins when its recovery chunks bring the manifest back.
    m_listingValid = listing.read || m_hasRecovery;
    m_sourceName = morvane::plat::fromEngineText(m_check.manifest.sourceName);
    if (suggestOutput && !m_outputChosen)
        output_LineEdit->setPath(QFileInfo(listing.folder).absolutePath());
    showListing();
}

bool UI_JoinWidget::rebuildsLosses() const {
    return m_hasRecovery && (!m_recoveryAssessed || m_recovery.repairable);
}

void UI_JoinWidget::showListing() {
    std::vector<ChunkRow> rows;
    rows.reserve(m_check.entries.size() + m_recoveryOnDisk.size() + 1);
    const bool rebuilds = rebuildsLosses();
    // Only a read of every byte against the checksum list makes a chunk "ok".
    const bool bytesRead = m_check.checksumList == morvane::ChecksumList::Read;
    const bool manifestFaulty =
        !m_manifestProblem.isEmpty() || m_check.manifest.recordsCutShort ||
        static_cast<std::int64_t>(m_check.entries.size()) != m_check.manifest.chunkCount ||
        !m_check.manifestFaults.empty();
    if (manifestFaulty) {
        ChunkRow row;
        row.path = morvane::SetNames(m_check.chunkDir, {}).manifestPath();
        const QFileInfo info(morvane::plat::fromEngineText(row.path));
        row.size = info.isFile() ? info.size() : -1;
        row.mark = RowMark::Wrong;
        row.state = row.size < 0 ? QStringLiteral("missing") : QStringLiteral("unreadable");
        row.stateTip = statusText();
        rows.push_back(std::move(row));
    }
    // One text each, shared by the rows, however many there are.
    const QString sizeOk = QStringLiteral("size ok");
    const QString unread = m_check.hasChecksumList
                               ? QStringLiteral(
                                     "Its size and start match the manifest; Verify "
                                     "reads every byte.")
                               : QStringLiteral(
                                     "Its size and start match the manifest; the set "
                                     "has no checksum list for its bytes.");
    const QString rebuild = QStringLiteral("rebuild");
    std::map<morvane::ChunkState, std::pair<QString, QString>> words;
    for (const morvane::ChunkCheckEntry& entry : m_check.entries) {
        ChunkRow row;
        row.path = entry.chunkPath;
        row.size = entry.size;
        auto [word, inserted] = words.try_emplace(entry.state);
        if (inserted) {
            word->second.first = QString::fromLatin1(morvane::chunkStateName(entry.state));
            word->second.second = word->second.first +
                                  QStringLiteral(": a join rebuilds it from the recovery chunks");
        }
        if (entry.state == morvane::ChunkState::Ok) {
            row.mark = bytesRead ? RowMark::Right : RowMark::Unchecked;
            row.state = bytesRead ? word->second.first : sizeOk;
            if (!bytesRead) row.stateTip = unread;
        } else if (rebuilds) {
            row.mark = RowMark::Rebuild;
            row.state = rebuild;
            row.stateTip = word->second.second;
        } else {
            row.mark = RowMark::Wrong;
            row.state = word->second.first;
        }
        rows.push_back(std::move(row));
    }
    addRecoveryRows(&rows);
    m_rows->setRows(std::move(rows));
    status_Label->setText(statusText());
    repair_Button->setEnabled(m_hasRecovery && !m_reading);
}

QString UI_JoinWidget::statusText() const {
    if (!m_manifestProblem.isEmpty()) return m_manifestProblem;
    QString text;
    if (m_check.manifest.isSealed())
        text = QStringLiteral("Encrypted: Join asks for its password. ");
    else if (m_check.manifest.isProtected())
        text = QStringLiteral("Protected by a password, not encrypted. ");
    const std::vector<std::string> problems = m_check.problems();
    if (!problems.empty() &&
        (m_check.manifest.recordsCutShort ||
         static_cast<std::int64_t>(m_check.entries.size()) != m_check.manifest.chunkCount ||
         !m_check.manifestFaults.empty()))
        return text + QStringLiteral("The manifest cannot be read whole: ") +
               morvane::plat::fromEngineText(problems.front());
    switch (m_check.checksumList) {
        case morvane::ChecksumList::NotRead:
            return text +
                   (m_check.hasChecksumList
                        ? QStringLiteral("Verify reads every byte against the checksum list.")
                        : QString::fromLatin1(kNoChecksumListNote));
        case morvane::ChecksumList::Absent:
            return text + QString::fromLatin1(kNoChecksumListNote);
        case morvane::ChecksumList::Damaged:
            return text + QStringLiteral("The checksum list is damaged.");
        case morvane::ChecksumList::Read:
            break;
    }
    return text + (m_check.intact() ? QStringLiteral("Every byte matches the checksum list.")
                                    : QStringLiteral("Not every byte matches the checksum list."));
}

void UI_JoinWidget::addRecoveryRows(std::vector<ChunkRow>* rows) const {
    // Every recovery file the set should have: after Verify, as its read found them; before,
    // those its checksum list names and those in the folder, judged by being there.
    const morvane::SetNames names(m_check.chunkDir, morvane::stemOf(m_check.manifest.sourceName));
    std::map<int, morvane::FileState> files;
    if (m_recoveryAssessed) {
        for (const morvane::RecoveryFile& file : m_recovery.recoveryFiles)
            if (const int n = recoveryNumber(file.name); n >= 0) files[n] = file.state;
    } else {
        for (const int n : m_recoveryListed) files[n] = morvane::FileState::Missing;
        for (const auto& [n, path] : m_recoveryOnDisk) files[n] = morvane::FileState::Ok;
    }
    const std::string stem = morvane::stemOf(m_check.manifest.sourceName);
    for (const auto& [number, state] : files) {
        ChunkRow row;
        const auto disk = m_recoveryOnDisk.find(number);
        if (disk != m_recoveryOnDisk.end())
            row.path = disk->second;
        else if (!stem.empty())
            row.path = names.recoveryPath(number);
        else
            continue;
        const QFileInfo info(morvane::plat::fromEngineText(row.path));
        row.size = info.isFile() ? info.size() : -1;
        // Gone since Verify read it.
        const morvane::FileState shown =
            state == morvane::FileState::Ok && !info.isFile() ? morvane::FileState::Missing : state;
        const bool ok = shown == morvane::FileState::Ok;
        row.mark = !ok ? RowMark::Wrong : m_recoveryAssessed ? RowMark::Right : RowMark::Unchecked;
        row.state = ok && !m_recoveryAssessed ? QStringLiteral("present")
                                              : QString::fromLatin1(morvane::fileStateName(shown));
        row.stateTip = QStringLiteral("A recovery chunk");
        rows->push_back(std::move(row));
    }
}

void UI_JoinWidget::output_joinfolderButton_slots() {
    const QString dir =
        askExistingDirectory(this, tr("Select Output Folder"), page::dialogFolder(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty()) return;
    page::rememberDialogPath(dir, true);
    output_LineEdit->setPath(dir);
    m_outputChosen = true;
}

bool UI_JoinWidget::refuseFaults() {
    // A join reads no recovery chunk unless it rebuilds something.
    morvane::ChunkSetCheck needed = m_check;
    std::erase_if(needed.listedFiles,
                  [](const morvane::ListedFile& file) { return recoveryNumber(file.name) >= 0; });
    // Without Verify's word the job itself finds out whether too much is lost, and says so.
    if (needed.intact() || rebuildsLosses()) return true;
    QString text = page::problemLines(m_hasRecovery ? m_check : needed);
    if (m_hasRecovery) text += QLatin1Char('\n') + recoveryVerdict(m_recovery);
    showMessage(messageParent(), QStringLiteral("The chunk set cannot be joined."), text, true,
                false);
    return false;
}

void UI_JoinWidget::startProgress(const QString& caption, morvane::jobs::Job* job) {
    m_ProgressWidget->captionLabel->setText(caption);
    const QPoint p = mainWindowPos();
    // The row of Cancel grows the pop-up upwards: its lower edge stays where it always was,
    // clear of the options below.
    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2 - 30, 360, 110);
    m_ProgressWidget->setPercent(0);
    page::setWindowBusy(busyWindow(), true);
    page::showOver(m_ProgressWidget, m_mainWindow);
    m_JoinDoingThread->startJob(job);
    m_join_Timer1->start(500);
}

bool UI_JoinWidget::mayStartJob() {
    // The pop-up keeps the user away while a job runs; this guards callers that are not users.
    if (jobActive() || m_reading) return false;
    if (m_listingValid) return true;
    showMessage(messageParent(), QString(),
                m_manifestProblem.isEmpty() ? QStringLiteral("Add a chunk folder first")
                                            : m_manifestProblem,
                true, false);
    return false;
}

template <typename J>
void UI_JoinWidget::prepareThenStart(std::unique_ptr<J>* slot, const QString& folder,
                                     const QString& failed, const QString& caption) {
    auto prepared = std::make_shared<Prepared<J>>();
    prepared->job = std::make_unique<J>(folder);
    readInBackground([prepared] { prepared->outcome = prepared->job->prepare(); },
                     [this, prepared, slot, failed, caption] {
                         if (!prepared->outcome) {
                             showMessage(messageParent(), failed, page::describe(prepared->outcome),
                                         true, false);
                             return;
                         }
                         *slot = std::move(prepared->job);
                         startProgress(caption, slot->get());
                     },
                     true);
}

void UI_JoinWidget::verify_Button_slots() {
    if (!mayStartJob()) return;
    prepareThenStart(&m_verifyJob, m_chunkFolder, QStringLiteral("Verifying failed!"),
                     QStringLiteral("Verifying..."));
}

void UI_JoinWidget::repair_Button_slots() {
    if (jobActive() || m_reading || m_chunkFolder.isEmpty()) return;
    prepareThenStart(&m_repairJob, m_chunkFolder, QStringLiteral("Repairing failed!"),
                     QStringLiteral("Repairing..."));
}

void UI_JoinWidget::m_join_Button_slots() {
    if (!mayStartJob()) return;
    // The job takes the page's choices as they are now; later changes on the page are not its.
    morvane::jobs::JoinOrder order;
    order.chunkDir = m_chunkFolder;
    order.outputDir = output_LineEdit->path();
    order.deleteChunks = delete_chunks_CheckBox->checkState() == Qt::Checked;
    auto prepared = std::make_shared<Prepared<morvane::jobs::JoinJob>>();
    prepared->job = std::make_unique<morvane::jobs::JoinJob>(std::move(order));
    readInBackground(
        [prepared] { prepared->outcome = prepared->job->prepare(); },
        [this, prepared] { joinPrepared(std::move(prepared->job), prepared->outcome); }, true);
}

void UI_JoinWidget::joinPrepared(std::unique_ptr<morvane::jobs::JoinJob> job,
                                 const morvane::Outcome& prepared) {
    if (!prepared) {
        showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(prepared),
                    true, false);
        return;
    }
    // The marks show the set as it is now. A set with any red mark is not joined; its
    // recovery chunks, if Verify did not find them short, turn red marks into rebuilds.
    // A set that lost its manifest since it was listed is read through a rebuilt copy; the
    // rows keep naming the set's own files.
    if (job->check().chunkDir == m_check.chunkDir && !job->manifestLost()) {
        morvane::ChunkSetCheck now = job->check();
        keepFoundMarks(m_check, &now);
        m_check = std::move(now);
    }
    m_hasRecovery = job->hasRecovery();
    showListing();
    if (!refuseFaults()) return;
    if (!answerJobQuestions(*job)) return;
    if (!output_LineEdit->path().isEmpty()) {
        page::setSetting(kOutputKey, output_LineEdit->path());
        m_outputChosen = true;
    }
    m_job = std::move(job);
    startProgress(QStringLiteral("Joining..."), m_job.get());
}

bool UI_JoinWidget::answerJobQuestions(morvane::jobs::JoinJob& job) {
    const QPoint p = mainWindowPos();
    // The password first: an encrypted set names its target only once it is unlocked.
    if (job.isProtected()) {
        m_inputpwdWidget->placeAt(p.x() + (width() - 260) / 2, p.y() + height() / 2 - 40, 280, 220);
        const bool unlocked = m_inputpwdWidget->runUnlockDialog(
            [&job](const QString& password) { return job.unlock(password); }, job.isSealed());
        if (!unlocked) {
            if (const morvane::Outcome& why = m_inputpwdWidget->m_unlockFailure; !why)
                showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(why),
                            true, false);
            return false;
        }
    }
    if (job.targetExists()) {
        if (!askQuestion(messageParent(), replaceQuestion(job))) return false;
        job.allowReplace(true);
    }
    return true;
}
void UI_JoinWidget::m_join_Timer1_slots() {
    if (morvane::jobs::Job* job = currentJob()) m_ProgressWidget->showProgress(job->control());
}

void UI_JoinWidget::m_ProgressWidget_cancelAsked() {
    // One question at a time, and none about a job whose end is already due.
    if (currentJob() == nullptr || m_endGate.held()) return;
    holdJobEnd();
    page::askStopJob(messageParent(), currentJob()->control());
    releaseJobEnd();
}

void UI_JoinWidget::pauseJob() {
    if (morvane::jobs::Job* job = currentJob()) job->control().requestPause();
}

void UI_JoinWidget::resumeJob() {
    if (morvane::jobs::Job* job = currentJob()) job->control().resume();
}

QWidget* UI_JoinWidget::busyWindow() {
    if (m_mainWindow != nullptr) return m_mainWindow;
    return this;
}

QString UI_JoinWidget::replaceQuestion(const morvane::jobs::JoinJob& job) const {
    QString question = QStringLiteral(
        "Note: A file with the same name as the output file already exists. Morvane will "
        "overwite it.");
    std::string target;
    if (!morvane::plat::toEngineText(job.target(), &target)) return question;
    const morvane::jobs::InTheWay way = morvane::jobs::inJoinTarget(target, job.check());
    if (!way.exists) return question;
    if (!way.folder) {
        question += QStringLiteral("\nReplaced: %1 (%2).")
                        .arg(job.target(), QStringLiteral("a file of ") + page::sizeText(way.size));
        return question;
    }
    question += QStringLiteral("\nReplaced: %1 (a folder with %2 %3).")
                    .arg(job.target())
                    .arg(way.entries)
                    .arg(way.entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries"));
    QStringList foreign;
    for (const std::string& name : way.foreign) foreign.append(morvane::jobs::displayText(name));
    if (!foreign.isEmpty())
        question += QStringLiteral("\nDeleted with it, not made by this set: ") +
                    page::someNames(foreign) + QLatin1Char('.');
    return question;
}

void UI_JoinWidget::holdJobEnd() {
    m_endGate.hold();
}

void UI_JoinWidget::releaseJobEnd() {
    if (m_endGate.release()) presentJobEnd();
}

void UI_JoinWidget::cancelJobAndWait() {
    morvane::jobs::Job* job = currentJob();
    if (job == nullptr) return;
    job->control().requestCancel();
    // The job is the page's to delete only once its end has come through the finished signal,
    // as every end does; the window holds the end, so it waits here instead of showing.
    m_endGate.hold();
    while (currentJob() != nullptr && !m_endGate.waiting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
    m_endGate.drop();
    m_endGate.release();
    m_join_Timer1->stop();
    m_ProgressWidget->hide();
    page::setWindowBusy(busyWindow(), false);
    m_job.reset();
    m_verifyJob.reset();
    m_repairJob.reset();
    delete_chunks_CheckBox->setChecked(false);
}

void UI_JoinWidget::m_JoinDoingThread_Finished() {
    // A running thread here belongs to a later job, which reports its own end.
    if (currentJob() == nullptr || !currentJob()->ended() || m_JoinDoingThread->isRunning()) return;
    if (m_endGate.arrive()) presentJobEnd();
}

void UI_JoinWidget::presentJobEnd() {
    m_join_Timer1->stop();
    m_ProgressWidget->setPercent(currentJob()->control().percent());
    m_ProgressWidget->hide();
    page::setWindowBusy(busyWindow(), false);
    if (m_job)
        presentJoinEnd(std::move(m_job));
    else if (m_repairJob)
        presentRepairEnd(std::move(m_repairJob));
    else
        presentVerifyEnd(std::move(m_verifyJob));
}

void UI_JoinWidget::presentVerifyEnd(std::unique_ptr<morvane::jobs::VerifyJob> job) {
    const morvane::Outcome& outcome = job->outcome();
    if (outcome.cancelled) {
        showMessage(messageParent(), QString(), QStringLiteral("Verifying cancelled"), true, false);
        return;
    }
    if (!outcome) {
        showMessage(messageParent(), QStringLiteral("Verifying failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    // The page may list another set by now; the marks belong to the set that was read.
    const morvane::RecoveryAssessment& recovery = job->recovery();
    if (listsFolderOf(job->check().chunkDir)) {
        m_check = job->check();
        m_recovery = recovery;
        m_recoveryAssessed = recovery.present;
        showListing();
    }
    if (!job->check().intact()) {
        QString text = page::problemLines(job->check());
        if (recovery.present) text += QLatin1Char('\n') + recoveryVerdict(recovery);
        showMessage(messageParent(), QStringLiteral("The chunk set is damaged."), text, true,
                    false);
    }
}

void UI_JoinWidget::relistAfterJob(const QString& chunkDir, const morvane::ChunkSetCheck& found) {
    if (!listsFolder(chunkDir)) return;
    auto listing = std::make_shared<SetListing>();
    const QString folder = m_chunkFolder;
    // What the page found before the job, and what the job's read found, go on the new rows.
    const morvane::ChunkSetCheck before = m_check;
    readInBackground([listing, folder] { listing->gather(folder); },
                     [this, listing, before, found] {
                         if (!listsFolder(listing->folder)) return;
                         if (listing->read) {
                             keepFoundMarks(before, &listing->check);
                             keepFoundMarks(found, &listing->check);
                         }
                         clearListing();
                         // Gone with the job, or changed into no set: nothing to list.
                         if (listing->read || listing->manifestUnreadable) showSet(*listing, false);
                     },
                     false);
}

void UI_JoinWidget::presentRepairEnd(std::unique_ptr<morvane::jobs::RepairJob> job) {
    const morvane::Outcome& outcome = job->outcome();
    const QString folder = job->chunkFolder();
    relistAfterJob(folder, morvane::ChunkSetCheck{});
    if (outcome.cancelled) {
        showMessage(messageParent(), QString(), QStringLiteral("Repairing cancelled"), true, false);
        return;
    }
    if (!outcome) {
        showMessage(messageParent(), QStringLiteral("Repairing failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    if (job->rebuilt().empty()) {
        showMessage(messageParent(), QStringLiteral("Nothing to repair."),
                    QStringLiteral("Every file of the set is whole."), true, false);
        return;
    }
    showMessage(messageParent(), QStringLiteral("Repairing Completed!"),
                QStringLiteral("Rebuilt from the recovery chunks and checked: ") +
                    joinedNames(job->rebuilt()),
                true, false);
}

void UI_JoinWidget::presentJoinEnd(std::unique_ptr<morvane::jobs::JoinJob> job) {
    // Only the job says what happened: the page may list another set by now.
    delete_chunks_CheckBox->setChecked(false);
    const morvane::Outcome& outcome = job->outcome();
    if (outcome.cancelled) {
        showMessage(messageParent(), QString(), QStringLiteral("Joining cancelled"), true, false);
        return;
    }
    if (!outcome) {
        // The rows show the set as the failure left it, with what the join's read found.
        relistAfterJob(job->order().chunkDir, job->failedCheck());
        showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    // The listing of chunks that were deleted, or partly deleted, can no longer be joined.
    const bool deletionTried = job->sourcesDeleted() || !job->removal();
    if (deletionTried && listsFolder(job->order().chunkDir))
        clearListing();
    else
        relistAfterJob(job->order().chunkDir, job->failedCheck());
    if (!job->removal())
        showMessage(messageParent(), QStringLiteral("Some chunk files were not deleted."),
                    page::describe(job->removal()), true, false);
    QStringList details = {QStringLiteral("Written: ") + job->target()};
    if (!job->rebuilt().empty())
        details.append(QStringLiteral("Rebuilt from recovery data: ") +
                       joinedNames(job->rebuilt()));
    if (job->sourcesDeleted()) details.append(QStringLiteral("The chunk files were deleted."));
    if (!job->verified())
        details.append(
            QStringLiteral("The bytes could not be checked: the set has no checksum list."));
    else if (job->rebuilt().empty())
        details.append(QStringLiteral("Every byte matched the set's checksum list."));
    else
        details.append(
            QStringLiteral("The rebuilt bytes, like all others, matched the set's checksum list."));
    const QPoint p = mainWindowPos();
    m_DialogWidget->folderPath = QFileInfo(job->target()).path();
    // Rebuilt copies of lost chunks go with the job, not when the box is closed.
    job.reset();
    m_DialogWidget->setDetails(details);
    m_DialogWidget->placeAt(p.x() + (width() - 400) / 2, p.y() + height() / 2 - 40, 420, 80);
    m_DialogWidget->exec();
}
