#include "ui/merge_widget.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <cstring>

#include "engine/cleanup.h"
#include "engine/engine_state.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/images.h"
#include "ui/message_box.h"
#include "ui/page_support.h"
#include "ui/password_dialog.h"
#include "ui/progress_widget.h"
#include "ui/tarnwick.h"
#include "work/workers.h"

UI_MergeWidget::UI_MergeWidget(QWidget* parent) : QWidget(parent) {
    QFont pageFont = font();
    pageFont.setFamily(QStringLiteral("arial"));
    pageFont.setPointSize(10);
    setFont(pageFont);

    input_mergefileButton = new QPushButton(this);
    input_mergeTreeWidget = new QTreeWidget(this);
    input_mergeTreeWidget->setColumnCount(3);
    input_mergeTreeWidget->setRootIsDecorated(false);
    input_mergeTreeWidget->setHeaderLabels({tr("Path"), tr("Size"), tr("")});
    input_mergeTreeWidget->horizontalScrollBar()->setFixedHeight(10);
    input_mergeTreeWidget->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal{height: 10px;}"));

    del_source_CheckBox = new QCheckBox(this);
    output_Label = new QLabel(this);
    output_LineEdit = new QLineEdit(this);
    output_mergefileButton = new QPushButton(this);
    m_merge_Button = new QPushButton(this);

    m_ProgressWidget = new UI_ProgressWidget(this);
    m_ProgressWidget->captionLabel->setText(QStringLiteral("Joining..."));
    m_ProgressWidget->hide();
    m_ProgressWidget->setModal(true);
    m_DialogWidget = new UI_DialogWidget(this);
    m_DialogWidget->messageLabel->setText(QStringLiteral("Joining Completed!"));
    m_DialogWidget->hide();
    m_inputpwdWidget = new UI_inputpwdWidget(nullptr);
    m_inputpwdWidget->hide();

    input_mergefileButton->setText(QStringLiteral("Add Folder"));
    del_source_CheckBox->setText(QStringLiteral("Delete source files after joining"));
    output_Label->setText(QStringLiteral("OutPath"));
    output_mergefileButton->setText(QStringLiteral("..."));
    m_merge_Button->setText(QStringLiteral("Join"));

    connect(input_mergefileButton, &QPushButton::clicked, this,
            &UI_MergeWidget::input_mergefileButton_slots);
    connect(output_mergefileButton, &QPushButton::clicked, this,
            &UI_MergeWidget::output_mergefileButton_slots);
    connect(m_merge_Button, &QPushButton::clicked, this, &UI_MergeWidget::m_merge_Button_slots);
    m_MergeDoingThread = new morvane::MergeDoingThread;
    page::registerWorker(m_MergeDoingThread);
    connect(m_MergeDoingThread, &QThread::finished, this,
            &UI_MergeWidget::m_MergeDoingThread_Finished);
    m_merge_Timer1 = new QTimer(nullptr);
    connect(m_merge_Timer1, &QTimer::timeout, this, &UI_MergeWidget::m_merge_Timer1_slots);

    m_merge_Button->setEnabled(false);
    std::memset(m_passwordDigest, 0, sizeof m_passwordDigest);
    // The marks of the listing are compiled images.
    ensureImages();
}

UI_MergeWidget::~UI_MergeWidget() {
    // A job in progress still owns the engine state and its record; let it end first.
    m_MergeDoingThread->wait();
    page::unregisterWorker(m_MergeDoingThread);
    delete m_MergeDoingThread;
    delete m_merge_Timer1;
    delete m_inputpwdWidget;
}

void UI_MergeWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    const int W = this->width();
    const int H = this->height();
    input_mergefileButton->setGeometry(0, 0, 100, 30);
    input_mergeTreeWidget->setGeometry(0, 40, W, 130);
    input_mergeTreeWidget->setColumnWidth(2, 30);
    input_mergeTreeWidget->setColumnWidth(1, 120);
    input_mergeTreeWidget->setColumnWidth(0, input_mergeTreeWidget->width() - 170);
    del_source_CheckBox->setGeometry(0, 200, 300, 30);
    output_Label->setGeometry(0, H - 98, 60, 30);
    output_LineEdit->setGeometry(60, H - 100, 360, 26);
    output_mergefileButton->setGeometry(420, H - 100, 35, 26);
    m_merge_Button->setGeometry(500, H - 120, 100, 50);
    m_ProgressWidget->placeAt((W - 360) / 2, (H - 80) / 2, 360, 80);
    m_DialogWidget->placeAt((W - 240) / 2, (H - 80) / 2, 260, 80);
}

QPoint UI_MergeWidget::mainWindowPos() const {
    return m_mainWindow != nullptr ? m_mainWindow->pos() : QPoint();
}

QSize UI_MergeWidget::mainWindowSize() const {
    return m_mainWindow != nullptr ? m_mainWindow->size() : size();
}

QWidget* UI_MergeWidget::messageParent() const {
    return m_mainWindow;
}

void UI_MergeWidget::input_mergefileButton_slots() {
    // The listing rewrites the engine state that a running job works in.
    if (page::anyWorkerRunning()) {
        showMessage(messageParent(), QString(),
                    QStringLiteral("Wait until the running job has finished."), true, false);
        return;
    }
    m_merge_Button->setEnabled(false);
    const QString folder =
        askExistingDirectory(this, tr("Select Merge source Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) return;
    QDir parentDir(folder);
    parentDir.cdUp();
    output_LineEdit->setText(parentDir.absolutePath());
    m_chunkFolder = folder;

    std::memset(m_passwordDigest, 0, sizeof m_passwordDigest);
    char name[morvane::kPathField] = {};
    std::vector<morvane::ChunkCheckEntry> entries;
    char chunkDir[morvane::kPathField];
    QString refusal;
    int listed = -1;
    if (page::fillField(chunkDir, sizeof chunkDir, folder, "the chunk folder", &refusal)) {
        listed = morvane::listChunkSet(chunkDir, &entries, m_passwordDigest, name);
        if (listed < 0) refusal = tr("input path is not valid!");
    }
    if (listed < 0) showMessage(messageParent(), tr(""), refusal, true, false);

    input_mergeTreeWidget->clear();
    for (const morvane::ChunkCheckEntry& entry : entries) {
        auto* mark = new QLabel;
        mark->setPixmap(QPixmap(entry.status == 0 ? QStringLiteral(":/image/right.png")
                                                  : QStringLiteral(":/image/wrong.png")));
        auto* item = new QTreeWidgetItem(input_mergeTreeWidget);
        item->setText(0, morvane::plat::fromEngineText(entry.chunkPath));
        item->setText(1, QString::number(entry.size));
        input_mergeTreeWidget->addTopLevelItem(item);
        input_mergeTreeWidget->setItemWidget(item, 2, mark);
    }
    m_chunkEntries = std::move(entries);
    m_listingValid = listed >= 0;
    m_sourceName = morvane::plat::fromEngineText(name);
    m_merge_Button->setEnabled(true);
}

void UI_MergeWidget::output_mergefileButton_slots() {
    const QString dir =
        askExistingDirectory(this, tr("Select Output Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty()) output_LineEdit->setText(dir);
}

void UI_MergeWidget::m_merge_Button_slots() {
    const QPoint p = mainWindowPos();
    const QString outputDir = output_LineEdit->text();
    if (outputDir.isEmpty()) return;
    // The pop-up keeps the user away while a job runs; this guards callers that are not users.
    if (page::anyWorkerRunning()) return;
    // Without a manifest there is nothing to join, and the empty name below would make the
    // output folder itself look like the file to overwrite.
    if (!m_listingValid) {
        showMessage(messageParent(), QString(), tr("input path is not valid!"), true, false);
        return;
    }
    morvane::MergeJob job{};
    QString refusal;
    if (!page::fillField(job.chunkDir, sizeof job.chunkDir, m_chunkFolder, "the chunk folder",
                         &refusal) ||
        !page::fillField(job.outputDir, sizeof job.outputDir, outputDir, "the output folder",
                         &refusal)) {
        showMessage(messageParent(), QString(), refusal, true, false);
        return;
    }

    if (QFile::exists(outputDir + QLatin1Char('/') + m_sourceName)) {
        const QSize main = mainWindowSize();
        UI_MyMessageBox note(nullptr);
        note.placeAt(p.x() + (main.width() - 240) / 2, p.y() + main.height() / 2, 260, 140);
        note.setContent(QString(),
                        QStringLiteral("Note: A file with the same name as the output file "
                                       "already exists. Morvane will overwite it."),
                        true, true);
        note.exec();
        if (note.result == 0) return;
    }

    if (m_passwordDigest[0] != '\0') {
        m_inputpwdWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 160);
        if (!m_inputpwdWidget->runUnlockDialog(m_passwordDigest)) return;
    }

    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2, 360, 80);
    m_ProgressWidget->setPercent(0);
    m_ProgressWidget->show();

    m_MergeDoingThread->job = job;
    m_MergeDoingThread->start(QThread::InheritPriority);
    if (m_merge_Timer1->isActive()) m_merge_Timer1->stop();
    m_merge_Timer1->start(500);
}

void UI_MergeWidget::m_merge_Timer1_slots() {
    m_ProgressWidget->setPercent(page::jobPercent());
}

void UI_MergeWidget::m_MergeDoingThread_Finished() {
    const QPoint p = mainWindowPos();
    const morvane::Outcome outcome = m_MergeDoingThread->outcome();
    // The chunk files go only after a join that rebuilt everything from them.
    morvane::Outcome removal;
    if (outcome && del_source_CheckBox->checkState() == Qt::Checked) {
        removal = morvane::removeListedChunks(m_chunkEntries);
        input_mergeTreeWidget->clear();
        m_chunkEntries.clear();
        m_listingValid = false;
        m_merge_Button->setEnabled(false);
    }
    m_ProgressWidget->hide();
    if (!outcome) {
        showMessage(messageParent(), QStringLiteral("Joining failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    if (!removal)
        showMessage(messageParent(), QStringLiteral("Some chunk files were not deleted."),
                    page::describe(removal), true, false);
    m_DialogWidget->folderPath = output_LineEdit->text();
    m_DialogWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 80);
    m_DialogWidget->exec();
}
