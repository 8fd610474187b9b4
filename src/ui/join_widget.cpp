#include "ui/join_widget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

#include "jobs/jobs.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/images.h"
#include "ui/message_box.h"
#include "ui/password_dialog.h"
#include "ui/progress_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

UI_JoinWidget::UI_JoinWidget(QWidget* parent) : QWidget(parent) {
    QFont pageFont = font();
    pageFont.setFamily(QStringLiteral("arial"));
    pageFont.setPointSize(10);
    setFont(pageFont);

    input_joinfolderButton = new QPushButton(this);
    input_joinTreeWidget = new QTreeWidget(this);
    input_joinTreeWidget->setColumnCount(3);
    input_joinTreeWidget->setRootIsDecorated(false);
    input_joinTreeWidget->setHeaderLabels({tr("Path"), tr("Size"), tr("")});
    input_joinTreeWidget->horizontalScrollBar()->setFixedHeight(10);
    input_joinTreeWidget->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal{height: 10px;}"));

    delete_chunks_CheckBox = new QCheckBox(this);
    output_Label = new QLabel(this);
    output_LineEdit = new QLineEdit(this);
    output_joinfolderButton = new QPushButton(this);
    m_join_Button = new QPushButton(this);

    m_ProgressWidget = new UI_ProgressWidget(this);
    m_ProgressWidget->captionLabel->setText(QStringLiteral("Joining..."));
    m_ProgressWidget->hide();
    m_ProgressWidget->setModal(true);
    m_DialogWidget = new UI_DialogWidget(this);
    m_DialogWidget->messageLabel->setText(QStringLiteral("Joining Completed!"));
    m_DialogWidget->hide();
    m_inputpwdWidget = new UI_inputpwdWidget(nullptr);
    m_inputpwdWidget->hide();

    input_joinfolderButton->setText(QStringLiteral("Add Folder"));
    delete_chunks_CheckBox->setText(QStringLiteral("Delete source files after joining"));
    output_Label->setText(QStringLiteral("OutPath"));
    output_joinfolderButton->setText(QStringLiteral("..."));
    m_join_Button->setText(QStringLiteral("Join"));

    connect(input_joinfolderButton, &QPushButton::clicked, this,
            &UI_JoinWidget::input_joinfolderButton_slots);
    connect(output_joinfolderButton, &QPushButton::clicked, this,
            &UI_JoinWidget::output_joinfolderButton_slots);
    connect(m_join_Button, &QPushButton::clicked, this, &UI_JoinWidget::m_join_Button_slots);
    m_JoinDoingThread = new morvane::JobThread;
    connect(m_JoinDoingThread, &QThread::finished, this,
            &UI_JoinWidget::m_JoinDoingThread_Finished);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelAsked, this,
            &UI_JoinWidget::m_ProgressWidget_cancelAsked);
    m_join_Timer1 = new QTimer(nullptr);
    connect(m_join_Timer1, &QTimer::timeout, this, &UI_JoinWidget::m_join_Timer1_slots);

    m_join_Button->setEnabled(false);
    // The marks of the listing are compiled images.
    ensureImages();
}

UI_JoinWidget::~UI_JoinWidget() {
    // A job still running would leave a half-joined target; it removes what it wrote instead.
    if (m_job) m_job->control().requestCancel();
    m_JoinDoingThread->wait();
    delete m_JoinDoingThread;
    delete m_join_Timer1;
    delete m_inputpwdWidget;
}

void UI_JoinWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    const int W = this->width();
    const int H = this->height();
    input_joinfolderButton->setGeometry(0, 0, 100, 30);
    input_joinTreeWidget->setGeometry(0, 40, W, 130);
    input_joinTreeWidget->setColumnWidth(2, 30);
    input_joinTreeWidget->setColumnWidth(1, 120);
    input_joinTreeWidget->setColumnWidth(0, input_joinTreeWidget->width() - 170);
    delete_chunks_CheckBox->setGeometry(0, 200, 300, 30);
    output_Label->setGeometry(0, H - 98, 60, 30);
    output_LineEdit->setGeometry(60, H - 100, 360, 26);
    output_joinfolderButton->setGeometry(420, H - 100, 35, 26);
    m_join_Button->setGeometry(500, H - 120, 100, 50);
    m_ProgressWidget->placeAt((W - 360) / 2, (H - 110) / 2, 360, 110);
    m_DialogWidget->placeAt((W - 240) / 2, (H - 80) / 2, 260, 80);
}

QPoint UI_JoinWidget::mainWindowPos() const {
    return m_mainWindow != nullptr ? m_mainWindow->pos() : QPoint();
}

QSize UI_JoinWidget::mainWindowSize() const {
    return m_mainWindow != nullptr ? m_mainWindow->size() : size();
}

QWidget* UI_JoinWidget::messageParent() const {
    return m_mainWindow;
}

void UI_JoinWidget::input_joinfolderButton_slots() {
    m_join_Button->setEnabled(false);
    const QString folder =
        askExistingDirectory(this, tr("Select Merge source Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) return;
    QDir parentDir(folder);
    parentDir.cdUp();
    output_LineEdit->setText(parentDir.absolutePath());
    m_chunkFolder = folder;

    m_check = morvane::ChunkSetCheck{};
    std::string chunkDir;
    if (!morvane::plat::toEngineText(folder, &chunkDir))
        showMessage(messageParent(), QString(),
                    QStringLiteral("The chunk folder holds characters the program cannot store."),
                    true, false);
    m_listingValid = !chunkDir.empty() && morvane::checkChunkSet(chunkDir, &m_check).ok;
    if (!chunkDir.empty() && !m_listingValid)
        showMessage(messageParent(), QString(), tr("input path is not valid!"), true, false);

    input_joinTreeWidget->clear();
    for (const morvane::ChunkCheckEntry& entry : m_check.entries) {
        auto* mark = new QLabel;
        mark->setPixmap(QPixmap(entry.matches ? QStringLiteral(":/image/right.png")
                                              : QStringLiteral(":/image/wrong.png")));
        auto* item = new QTreeWidgetItem(input_joinTreeWidget);
        item->setText(0, morvane::plat::fromEngineText(entry.chunkPath));
        item->setText(1, QString::number(entry.size));
        input_joinTreeWidget->addTopLevelItem(item);
        input_joinTreeWidget->setItemWidget(item, 2, mark);
    }
    m_sourceName = morvane::plat::fromEngineText(m_check.manifest.sourceName);
    m_join_Button->setEnabled(true);
}

void UI_JoinWidget::output_joinfolderButton_slots() {
    const QString dir =
        askExistingDirectory(this, tr("Select Output Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty()) output_LineEdit->setText(dir);
}

void UI_JoinWidget::m_join_Button_slots() {
    const QString outputDir = output_LineEdit->text();
    if (outputDir.isEmpty()) return;
    // The pop-up keeps the user away while a job runs; this guards callers that are not users.
    if (jobActive()) return;
    // Without a manifest there is nothing to join.
    if (!m_listingValid) {
        showMessage(messageParent(), QString(), tr("input path is not valid!"), true, false);
        return;
    }
    // The job takes the page's choices as they are now; later changes on the page are not its.
    morvane::jobs::JoinOrder order;
    order.chunkDir = m_chunkFolder;
    order.outputDir = outputDir;
    order.deleteChunks = delete_chunks_CheckBox->checkState() == Qt::Checked;
    auto job = std::make_unique<morvane::jobs::JoinJob>(std::move(order));
    if (const morvane::Outcome prepared = job->prepare(); !prepared) {
        showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(prepared),
                    true, false);
        return;
    }
    if (!answerJobQuestions(*job)) return;
    m_job = std::move(job);

    const QPoint p = mainWindowPos();
    // The row of Cancel grows the pop-up upwards: its lower edge stays where it always was,
    // clear of the options below.
    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2 - 30, 360, 110);
    m_ProgressWidget->setPercent(0);
    m_ProgressWidget->show();

    m_JoinDoingThread->startJob(m_job.get());
    m_join_Timer1->start(500);
}

bool UI_JoinWidget::answerJobQuestions(morvane::jobs::JoinJob& job) {
    const QPoint p = mainWindowPos();
    if (job.targetExists()) {
        const QSize main = mainWindowSize();
        UI_MyMessageBox note(nullptr);
        note.placeAt(p.x() + (main.width() - 240) / 2, p.y() + main.height() / 2, 260, 140);
        note.setContent(QString(),
                        QStringLiteral("Note: A file with the same name as the output file "
                                       "already exists. Morvane will overwite it."),
                        true, true);
        note.exec();
        if (note.result == 0) return false;
        job.allowReplace(true);
    }
    if (job.isProtected()) {
        m_inputpwdWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 160);
        const std::string digest = job.check().manifest.passwordDigest;
        if (!m_inputpwdWidget->runUnlockDialog(digest.c_str())) return false;
        if (const morvane::Outcome unlocked = job.unlock(m_inputpwdWidget->m_unlockedPassword);
            !unlocked) {
            showMessage(messageParent(), QStringLiteral("Joining failed!"),
                        page::describe(unlocked), true, false);
            return false;
        }
    }
    return true;
}

void UI_JoinWidget::m_join_Timer1_slots() {
    if (m_job) m_ProgressWidget->setPercent(m_job->control().percent());
}

void UI_JoinWidget::m_ProgressWidget_cancelAsked() {
    // One question at a time, and none about a job whose end is already due.
    if (!m_job || m_endGate.held()) return;
    holdJobEnd();
    if (askCancelJob(messageParent()) && m_job) m_job->control().requestCancel();
    releaseJobEnd();
}

void UI_JoinWidget::holdJobEnd() {
    m_endGate.hold();
}

void UI_JoinWidget::releaseJobEnd() {
    if (m_endGate.release()) presentJobEnd();
}

void UI_JoinWidget::cancelJobAndWait() {
    if (!m_job) return;
    m_job->control().requestCancel();
    // The job is the page's to delete only once its end has come through the finished signal,
    // as every end does; the window holds the end, so it waits here instead of showing.
    m_endGate.hold();
    while (m_job && !m_endGate.waiting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
    m_endGate.drop();
    m_endGate.release();
    m_join_Timer1->stop();
    m_ProgressWidget->hide();
    m_job.reset();
}

void UI_JoinWidget::m_JoinDoingThread_Finished() {
    // A running thread here belongs to a later job, which reports its own end.
    if (!m_job || m_JoinDoingThread->isRunning()) return;
    if (m_endGate.arrive()) presentJobEnd();
}

void UI_JoinWidget::presentJobEnd() {
    // Only the job says what happened: the page may list another set by now.
    const std::unique_ptr<morvane::jobs::JoinJob> job = std::move(m_job);
    m_join_Timer1->stop();
    m_ProgressWidget->setPercent(job->control().percent());
    m_ProgressWidget->hide();
    const morvane::Outcome& outcome = job->outcome();
    if (outcome.cancelled) {
        showMessage(messageParent(), QString(), QStringLiteral("Joining cancelled"), true, false);
        return;
    }
    if (!outcome) {
        showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    // The listing of chunks that were deleted, or partly deleted, can no longer be joined.
    const bool deletionTried = job->sourcesDeleted() || !job->removal();
    const QString jobChunkDir = morvane::jobs::displayText(job->check().chunkDir);
    if (deletionTried && m_listingValid &&
        QDir::cleanPath(QDir(m_chunkFolder).absolutePath()) == jobChunkDir) {
        input_joinTreeWidget->clear();
        m_check = morvane::ChunkSetCheck{};
        m_listingValid = false;
        m_join_Button->setEnabled(false);
    }
    if (!job->removal())
        showMessage(messageParent(), QStringLiteral("Some chunk files were not deleted."),
                    page::describe(job->removal()), true, false);
    const QPoint p = mainWindowPos();
    m_DialogWidget->folderPath = QFileInfo(job->target()).path();
    m_DialogWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 80);
    m_DialogWidget->exec();
}
