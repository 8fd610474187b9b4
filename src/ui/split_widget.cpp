#include "ui/split_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engine/fs_primitives.h"
#include "engine/split.h"
#include "jobs/jobs.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/message_box.h"
#include "ui/password_dialog.h"
#include "ui/progress_widget.h"
#include "work/workers.h"

namespace {

constexpr std::int64_t kKB = 1024;
constexpr std::int64_t kMB = 1048576;
constexpr std::int64_t kGB = 1073741824;
// The bytes of the units the size list offers, in its order.
constexpr std::int64_t kUnits[] = {kKB, kMB, kGB};

}  // namespace

std::string formatSize(std::int64_t size) {
    char text[60] = {};
    if (size < 0)
        std::snprintf(text, sizeof text, "%" PRId64 " bytes", size);
    else if (size >= kGB)
        std::snprintf(text, sizeof text, "%.02f G", static_cast<double>(size / kMB) / 1024.0);
    else if (size >= kMB)
        std::snprintf(text, sizeof text, "%.02f M", static_cast<double>(size / kKB) / 1024.0);
    else if (size >= kKB)
        std::snprintf(text, sizeof text, "%.02f KB", static_cast<double>(size) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%" PRId64 " bytes", size);
    return text;
}

UI_SplitWidget::UI_SplitWidget(QWidget* parent) : QWidget(parent) {
    QFont pageFont = font();
    pageFont.setFamily(QStringLiteral("arial"));
    pageFont.setPointSize(10);
    setFont(pageFont);

    input_fileButton = new QPushButton(this);
    input_folderButton = new QPushButton(this);
    input_TreeWidget = new QTreeWidget(this);
    input_TreeWidget->setColumnCount(4);
    input_TreeWidget->setRootIsDecorated(false);
    input_TreeWidget->setHeaderLabels(
        {QStringLiteral("Name"), QStringLiteral("Path"), QStringLiteral("Size"), QString()});
    input_TreeWidget->horizontalScrollBar()->setFixedHeight(10);
    input_TreeWidget->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal{height: 10px;}"));

    split_mode_Widget = new QWidget(this);
    split_bysize_RadioButton = new QRadioButton(split_mode_Widget);
    split_bysize_LineEdit = new QLineEdit(split_mode_Widget);
    split_size_ComboBox = new QComboBox(split_mode_Widget);
    split_bycount_RadioButton = new QRadioButton(split_mode_Widget);
    split_bycount_LineEdit = new QLineEdit(split_mode_Widget);
    del_source_CheckBox = new QCheckBox(split_mode_Widget);
    entry_pwd_CheckBox = new QCheckBox(split_mode_Widget);

    output_Label = new QLabel(this);
    output_LineEdit = new QLineEdit(this);
    output_fileButton = new QPushButton(this);
    m_split_Button = new QPushButton(this);

    m_ProgressWidget = new UI_ProgressWidget(nullptr);
    m_ProgressWidget->captionLabel->setText(QStringLiteral("Splitting..."));
    m_ProgressWidget->hide();
    m_ProgressWidget->setModal(true);
    m_DialogWidget = new UI_DialogWidget(nullptr);
    m_DialogWidget->messageLabel->setText(QStringLiteral("Splitting Completed!"));
    m_DialogWidget->hide();
    m_DialogWidget->setModal(true);
    m_inputpwdWidget = new UI_inputpwdWidget(nullptr);
    m_inputpwdWidget->setModal(true);
    m_inputpwdWidget->hide();

    auto* digitsOnly =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]+$")), this);
    split_bysize_LineEdit->setValidator(digitsOnly);
    split_bycount_LineEdit->setValidator(digitsOnly);

    output_Label->setText(QStringLiteral("OutPath"));
    input_fileButton->setText(QStringLiteral("Add File"));
    input_folderButton->setText(QStringLiteral("Add Folder"));
    output_fileButton->setText(QStringLiteral("..."));
    split_bysize_RadioButton->setText(QStringLiteral("Split File Size"));
    split_bycount_RadioButton->setText(QStringLiteral("Split File Count"));
    m_split_Button->setText(QStringLiteral("Split"));
    del_source_CheckBox->setText(QStringLiteral("Delete source file after splitting"));
    entry_pwd_CheckBox->setText(QStringLiteral("Encrypt Data"));

    for (const char* unit : {"KB", "MB", "GB"})
        split_size_ComboBox->addItem(QIcon(), QString::fromLatin1(unit));
    QFont unitFont = font();
    unitFont.setPointSize(9);
    split_size_ComboBox->setFont(unitFont);

    m_split_Timer1 = new QTimer(nullptr);
    connect(m_split_Timer1, &QTimer::timeout, this, &UI_SplitWidget::m_split_Timer1_slots);
    m_SplitDoingThread = new morvane::JobThread;
    connect(m_SplitDoingThread, &QThread::finished, this,
            &UI_SplitWidget::m_SplitDoingThread_Finished);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelAsked, this,
            &UI_SplitWidget::m_ProgressWidget_cancelAsked);
    connect(split_size_ComboBox, &QComboBox::currentIndexChanged, this,
            &UI_SplitWidget::split_size_ComboBox_slots);
    connect(split_bysize_LineEdit, &QLineEdit::textEdited, this,
            &UI_SplitWidget::split_bysize_LineEdit_slots);
    connect(split_bycount_LineEdit, &QLineEdit::textEdited, this,
            &UI_SplitWidget::split_bycount_LineEdit_slots);
    connect(input_fileButton, &QPushButton::clicked, this, &UI_SplitWidget::input_fileButton_slots);
    connect(input_folderButton, &QPushButton::clicked, this,
            &UI_SplitWidget::input_folderButton_slots);
    connect(split_bysize_RadioButton, &QRadioButton::clicked, this,
            &UI_SplitWidget::split_bysize_RadioButton_slots);
    connect(split_bycount_RadioButton, &QRadioButton::clicked, this,
            &UI_SplitWidget::split_bycount_RadioButton_slots);
    connect(output_fileButton, &QPushButton::clicked, this,
            &UI_SplitWidget::output_fileButton_slots);
    connect(entry_pwd_CheckBox, &QCheckBox::stateChanged, this,
            &UI_SplitWidget::entry_pwd_CheckBox_slots);
    connect(m_split_Button, &QPushButton::clicked, this, &UI_SplitWidget::m_split_Button_slots);

    m_sourceSize = 102400;

    split_bysize_RadioButton->setChecked(true);
    split_size_ComboBox->setEnabled(false);
    split_bysize_LineEdit->setEnabled(false);
    split_bycount_LineEdit->setEnabled(false);
    applyModeRule();
    updateSplitButton();
}

UI_SplitWidget::~UI_SplitWidget() {
    // A job still running would leave half a chunk set; it removes what it wrote instead.
    if (m_job) m_job->control().requestCancel();
    m_SplitDoingThread->wait();
    delete m_SplitDoingThread;
    delete m_split_Timer1;
    delete m_inputpwdWidget;
    delete m_DialogWidget;
    delete m_ProgressWidget;
}

void UI_SplitWidget::layoutPage(int x, int y, int width, int height) {
    setGeometry(x, y, width, height);
    const int W = this->width();
    const int H = this->height();
    input_fileButton->setGeometry(0, 0, 100, 30);
    input_folderButton->setGeometry(105, 0, 100, 30);
    input_TreeWidget->setGeometry(0, 40, W, 70);
    input_TreeWidget->setColumnWidth(3, 60);
    input_TreeWidget->setColumnWidth(2, 100);
    input_TreeWidget->setColumnWidth(1, input_TreeWidget->width() - 290);
    input_TreeWidget->setColumnWidth(0, 120);
    split_mode_Widget->setGeometry(0, 140, W, 200);
    split_bysize_RadioButton->setGeometry(0, 0, 120, 30);
    split_bysize_LineEdit->setGeometry(120, 0, 60, 24);
    // Wider than 40 pixels, or the arrow leaves only half of "MB" in sight.
    split_size_ComboBox->setGeometry(180, 0, 50, 24);
    split_bycount_RadioButton->setGeometry(0, 40, 120, 30);
    split_bycount_LineEdit->setGeometry(120, 40, 100, 24);
    del_source_CheckBox->setGeometry(0, 80, 300, 24);
    entry_pwd_CheckBox->setGeometry(0, 120, 100, 24);
    output_Label->setGeometry(0, H - 98, 60, 30);
    output_LineEdit->setGeometry(60, H - 100, 360, 26);
    output_fileButton->setGeometry(420, H - 100, 35, 26);
    m_split_Button->setGeometry(500, H - 120, 100, 50);
}

QPoint UI_SplitWidget::mainWindowPos() const {
    return m_mainWindow != nullptr ? m_mainWindow->pos() : QPoint();
}

void UI_SplitWidget::addSourceRow(const QString& path, std::int64_t size) {
    const QString name = QDir(path).dirName();
    auto* removeButton = new QPushButton(QStringLiteral("Remove"));
    connect(removeButton, &QPushButton::clicked, this, &UI_SplitWidget::delbutton_slots);
    m_sourcePath = path;
    auto* item = new QTreeWidgetItem(input_TreeWidget);
    item->setText(0, name);
    item->setText(1, path);
    item->setText(2, QString::fromStdString(formatSize(size)));
    input_TreeWidget->setItemWidget(item, 3, removeButton);
    input_TreeWidget->addTopLevelItem(item);
}

void UI_SplitWidget::updateSplitButton() {
    m_split_Button->setEnabled(false);
    if (input_TreeWidget->topLevelItemCount() > 0 && !output_LineEdit->text().isEmpty())
        m_split_Button->setEnabled(true);
}

void UI_SplitWidget::applyModeRule() {
    split_size_ComboBox->setEnabled(false);
    split_bysize_LineEdit->setEnabled(false);
    split_bycount_LineEdit->setEnabled(false);
    if (split_bysize_RadioButton->isChecked()) {
        split_size_ComboBox->setEnabled(true);
        split_bysize_LineEdit->setEnabled(true);
    } else {
        split_bycount_LineEdit->setEnabled(true);
    }
}

void UI_SplitWidget::updateFromSize() {
    if (split_bysize_LineEdit->text().isEmpty())
        split_bysize_LineEdit->setText(QStringLiteral("1"));
    int n = split_bysize_LineEdit->text().toInt();
    if (n <= 0) {
        split_bysize_LineEdit->setText(QStringLiteral("1"));
        n = 1;
    }
    const int unit = std::clamp(split_size_ComboBox->currentIndex(), 0, 2);
    m_chunkSize = n * kUnits[unit];
    split_bycount_LineEdit->setText(
        QString::number(morvane::chunkCountFor(m_sourceSize, m_chunkSize)));
}

void UI_SplitWidget::updateFromCount() {
    if (split_bycount_LineEdit->text().isEmpty())
        split_bycount_LineEdit->setText(QStringLiteral("1"));
    std::int64_t n = split_bycount_LineEdit->text().toInt();
    if (n <= 0) n = 1;
    // No more chunks than the source has started kilobytes, and one for an empty source.
    n = std::min(n, std::max<std::int64_t>(1, morvane::chunkCountFor(m_sourceSize, kKB)));
    m_chunkSize = morvane::chunkSizeForCount(m_sourceSize, n);
    split_bycount_LineEdit->setText(
        QString::number(morvane::chunkCountFor(m_sourceSize, m_chunkSize)));
    showChunkSize(m_chunkSize);
}

void UI_SplitWidget::showChunkSize(std::int64_t chunk) {
    int unit = 0;
    while (unit < 2 && chunk >= kUnits[unit + 1]) ++unit;
    split_bysize_LineEdit->setText(
        QString::number(std::max<std::int64_t>(1, chunk / kUnits[unit])));
    // The shown size is rounded; the unit's change must not turn it into the chunk size.
    const QSignalBlocker quiet(split_size_ComboBox);
    split_size_ComboBox->setCurrentIndex(unit);
}

void UI_SplitWidget::suggestChunkSize() {
    std::int64_t v = m_sourceSize / 9;
    int k = 0;
    while (v > 1024) {
        v /= 1024;
        ++k;
    }
    int steps = 0;
    while (v > 10) {
        v /= 10;
        ++steps;
    }
    for (; steps > 0; --steps) v *= 10;
    if (v < 1) v = 1;
    split_bysize_LineEdit->setText(QString::number(v));
    int index = split_size_ComboBox->currentIndex();
    if (k <= 1)
        index = 0;
    else if (k == 2)
        index = 1;
    else if (k == 3)
        index = 2;
    split_size_ComboBox->setCurrentIndex(index);
    updateFromSize();
}

std::int64_t UI_SplitWidget::measureSource(const QString& path) {
    std::string enginePath;
    if (!morvane::plat::toEngineText(path, &enginePath)) {
        showMessage(m_mainWindow, QString(),
                    QStringLiteral("The source path holds characters the program cannot store."),
                    true, false);
        return -1;
    }
    morvane::Outcome why;
    const std::int64_t size = morvane::pathSize(enginePath.c_str(), &why);
    if (size < 0) {
        if (why) why = morvane::Outcome::failure(enginePath, "cannot be measured");
        showMessage(m_mainWindow, QStringLiteral("Cannot read the source."), page::describe(why),
                    true, false);
    }
    return size;
}

bool UI_SplitWidget::takeSource(const QString& path) {
    // Measured first: a source that cannot be measured is not listed, and the page keeps
    // what it had.
    const std::int64_t size = measureSource(path);
    if (size < 0) return false;
    input_TreeWidget->clear();
    updateSplitButton();
    QDir parentDir(path);
    parentDir.cdUp();
    output_LineEdit->setText(parentDir.absolutePath());
    m_sourceSize = size;
    addSourceRow(path, m_sourceSize);
    return true;
}

void UI_SplitWidget::split_size_ComboBox_slots() {
    updateFromSize();
}

void UI_SplitWidget::split_bysize_LineEdit_slots() {
    updateFromSize();
}

void UI_SplitWidget::split_bycount_LineEdit_slots() {
    updateFromCount();
}

void UI_SplitWidget::input_fileButton_slots() {
    // Every file: the dialog's "*.*" would hide names without a dot here.
    const QString path =
        askOpenFileName(this, tr("Open File"), QDir::homePath(), tr("All files (*)"));
    if (path.isEmpty()) return;
    if (!takeSource(path)) return;
    suggestChunkSize();
    updateSplitButton();
}

void UI_SplitWidget::input_folderButton_slots() {
    const QString path =
        askExistingDirectory(this, tr("Select Split source Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (path.isEmpty()) return;
    if (!takeSource(path)) return;
    split_bycount_LineEdit->setText(QStringLiteral("10"));
    updateFromCount();
    updateSplitButton();
}

void UI_SplitWidget::split_bysize_RadioButton_slots() {
    applyModeRule();
}

void UI_SplitWidget::split_bycount_RadioButton_slots() {
    applyModeRule();
}

void UI_SplitWidget::output_fileButton_slots() {
    const QString dir =
        askExistingDirectory(this, tr("Select Output Folder"), QDir::homePath(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty()) return;
    output_LineEdit->setText(dir);
    updateSplitButton();
}

void UI_SplitWidget::delbutton_slots() {
    input_TreeWidget->clear();
    updateSplitButton();
}

void UI_SplitWidget::entry_pwd_CheckBox_slots(int state) {
    const QPoint p = mainWindowPos();
    m_inputpwdWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 160);
    if (state == 0) return;
    m_inputpwdWidget->runDialog();
    if (m_inputpwdWidget->m_passwordSet != 1) entry_pwd_CheckBox->setCheckState(Qt::Unchecked);
}

void UI_SplitWidget::m_split_Button_slots() {
    // The pop-up keeps the user away while a job runs; this guards callers that are not users.
    if (jobActive()) return;

    // The job takes the page's choices as they are now; later changes on the page are not its.
    morvane::jobs::SplitOrder order;
    order.source = m_sourcePath;
    order.outputDir = output_LineEdit->text();
    order.chunkSize = m_chunkSize;
    if (entry_pwd_CheckBox->checkState() == Qt::Checked)
        order.password = m_inputpwdWidget->m_password;
    order.deleteSource = del_source_CheckBox->checkState() == Qt::Checked;
    auto job = std::make_unique<morvane::jobs::SplitJob>(std::move(order));
    if (const morvane::Outcome prepared = job->prepare(); !prepared) {
        showMessage(m_mainWindow, QStringLiteral("Splitting failed!"), page::describe(prepared),
                    true, false);
        return;
    }
    m_job = std::move(job);

    const QPoint p = mainWindowPos();
    // The row of Cancel grows the pop-up upwards: its lower edge stays where it always was,
    // clear of the options below.
    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2 - 30, 360, 110);
    m_ProgressWidget->setPercent(0);
    m_ProgressWidget->show();

    m_SplitDoingThread->startJob(m_job.get());
    m_split_Timer1->start(500);
}

void UI_SplitWidget::m_split_Timer1_slots() {
    if (m_job) m_ProgressWidget->setPercent(m_job->control().percent());
}

void UI_SplitWidget::m_ProgressWidget_cancelAsked() {
    // One question at a time, and none about a job whose end is already due.
    if (!m_job || m_endGate.held()) return;
    holdJobEnd();
    if (askCancelJob(m_mainWindow) && m_job) m_job->control().requestCancel();
    releaseJobEnd();
}

void UI_SplitWidget::holdJobEnd() {
    m_endGate.hold();
}

void UI_SplitWidget::releaseJobEnd() {
    if (m_endGate.release()) presentJobEnd();
}

void UI_SplitWidget::cancelJobAndWait() {
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
    m_split_Timer1->stop();
    m_ProgressWidget->hide();
    m_job.reset();
}

void UI_SplitWidget::m_SplitDoingThread_Finished() {
    // A running thread here belongs to a later job, which reports its own end.
    if (!m_job || m_SplitDoingThread->isRunning()) return;
    if (m_endGate.arrive()) presentJobEnd();
}

void UI_SplitWidget::presentJobEnd() {
    // Only the job says what happened: the page's fields may name another source by now.
    const std::unique_ptr<morvane::jobs::SplitJob> job = std::move(m_job);
    m_split_Timer1->stop();
    m_ProgressWidget->setPercent(job->control().percent());
    m_ProgressWidget->hide();
    const morvane::Outcome& outcome = job->outcome();
    if (outcome.cancelled) {
        showMessage(m_mainWindow, QString(), QStringLiteral("Splitting cancelled"), true, false);
        return;
    }
    if (!outcome) {
        showMessage(m_mainWindow, QStringLiteral("Splitting failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    if (!job->removal())
        showMessage(m_mainWindow, QStringLiteral("The source was not deleted."),
                    page::describe(job->removal()), true, false);
    const QPoint p = mainWindowPos();
    m_DialogWidget->folderPath = QFileInfo(job->chunkFolder()).path();
    m_DialogWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 80);
    m_DialogWidget->show();
}
