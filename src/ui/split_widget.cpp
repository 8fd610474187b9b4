#include "ui/split_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engine/cleanup.h"
#include "engine/engine_state.h"
#include "engine/fs_primitives.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/message_box.h"
#include "ui/page_support.h"
#include "ui/password_dialog.h"
#include "ui/progress_widget.h"
#include "work/workers.h"

namespace {

constexpr std::int64_t kKB = 1024;
constexpr std::int64_t kMB = 1048576;
constexpr std::int64_t kGB = 1073741824;

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
    split_bysize_LineEidt = new QLineEdit(split_mode_Widget);
    split_size_ComboBox = new QComboBox(split_mode_Widget);
    split_bycount_RadioButton = new QRadioButton(split_mode_Widget);
    split_bycount_LineEidt = new QLineEdit(split_mode_Widget);
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
    split_bysize_LineEidt->setValidator(digitsOnly);
    split_bycount_LineEidt->setValidator(digitsOnly);

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
    m_SplitDoingThread = new morvane::SplitDoingThread;
    page::registerWorker(m_SplitDoingThread);
    connect(m_SplitDoingThread, &QThread::finished, this,
            &UI_SplitWidget::m_SplitDoingThread_Finished);
    connect(split_size_ComboBox, &QComboBox::currentIndexChanged, this,
            &UI_SplitWidget::split_size_ComboBox_slots);
    connect(split_bysize_LineEidt, &QLineEdit::textEdited, this,
            &UI_SplitWidget::split_bysize_LineEidt_slots);
    connect(split_bycount_LineEidt, &QLineEdit::textEdited, this,
            &UI_SplitWidget::split_bycount_LineEidt_slots);
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
    split_bysize_LineEidt->setEnabled(false);
    split_bycount_LineEidt->setEnabled(false);
    applyModeRule();
    updateSplitButton();
}

UI_SplitWidget::~UI_SplitWidget() {
    // A job in progress still owns the engine state and its record; let it end first.
    m_SplitDoingThread->wait();
    page::unregisterWorker(m_SplitDoingThread);
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
    split_bysize_LineEidt->setGeometry(120, 0, 60, 24);
    // Wider than 40 pixels, or the arrow leaves only half of "MB" in sight.
    split_size_ComboBox->setGeometry(180, 0, 50, 24);
    split_bycount_RadioButton->setGeometry(0, 40, 120, 30);
    split_bycount_LineEidt->setGeometry(120, 40, 100, 24);
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
    split_bysize_LineEidt->setEnabled(false);
    split_bycount_LineEidt->setEnabled(false);
    if (split_bysize_RadioButton->isChecked()) {
        split_size_ComboBox->setEnabled(true);
        split_bysize_LineEidt->setEnabled(true);
    } else {
        split_bycount_LineEidt->setEnabled(true);
    }
}

void UI_SplitWidget::updateFromSize() {
    if (split_bysize_LineEidt->text().isEmpty())
        split_bysize_LineEidt->setText(QStringLiteral("1"));
    int n = split_bysize_LineEidt->text().toInt();
    if (n <= 0) {
        split_bysize_LineEidt->setText(QStringLiteral("1"));
        n = 1;
    }
    const QString unit = split_size_ComboBox->currentText();
    std::int64_t chunk = n;
    if (unit == QLatin1String("KB"))
        chunk = n * kKB;
    else if (unit == QLatin1String("MB"))
        chunk = n * kMB;
    else if (unit == QLatin1String("GB"))
        chunk = n * kGB;
    const std::int64_t count = m_sourceSize / chunk + (m_sourceSize % chunk != 0 ? 1 : 0);
    split_bycount_LineEidt->setText(QString::number(static_cast<std::int32_t>(count)));
    m_chunkSize = chunk;
}

void UI_SplitWidget::updateFromCount() {
    if (split_bycount_LineEidt->text().isEmpty())
        split_bycount_LineEidt->setText(QStringLiteral("1"));
    int n = split_bycount_LineEidt->text().toInt();
    if (n <= 0) {
        n = 1;
        split_bycount_LineEidt->setText(QStringLiteral("1"));
    }
    if (m_sourceSize / (static_cast<std::int64_t>(n) * kKB) <= 0) {
        // Chunks under 1 KB: as many chunks as the source has whole or partial kilobytes,
        // and one for an empty source, which has none.
        const std::int64_t kilobytes = m_sourceSize / kKB + (m_sourceSize % kKB != 0 ? 1 : 0);
        n = std::max<std::int32_t>(1, static_cast<std::int32_t>(kilobytes));
    }
    split_bycount_LineEidt->setText(QString::number(n));
    const std::int64_t chunk = m_sourceSize / n;
    // An empty source still needs a chunk size the engine accepts.
    m_chunkSize = std::max<std::int64_t>(1, chunk);

    std::int64_t shown = 1;
    int index = 0;
    if (chunk < 0) {
        shown = 1;
    } else if (chunk >= kGB) {
        shown = chunk / kMB / 1024;
        index = 2;
    } else if (chunk >= kMB) {
        shown = chunk / kMB;
        index = 1;
    } else if (chunk >= kKB) {
        shown = chunk / kKB;
    }
    split_bysize_LineEidt->setText(QString::number(shown));
    split_size_ComboBox->setCurrentIndex(index);
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
    split_bysize_LineEidt->setText(QString::number(v));
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

void UI_SplitWidget::split_bysize_LineEidt_slots() {
    updateFromSize();
}

void UI_SplitWidget::split_bycount_LineEidt_slots() {
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
    split_bycount_LineEidt->setText(QStringLiteral("10"));
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
    if (page::anyWorkerRunning()) return;

    // The record is checked whole before anything shows or starts: nothing is cut to fit.
    morvane::SplitJob job{};
    QString refusal;
    const bool withPassword = entry_pwd_CheckBox->checkState() == Qt::Checked;
    if (!page::fillField(job.sourcePath, sizeof job.sourcePath, m_sourcePath, "the source path",
                         &refusal) ||
        !page::fillField(job.outputDir, sizeof job.outputDir, output_LineEdit->text(),
                         "the output folder", &refusal) ||
        (withPassword &&
         !page::fillField(job.password, sizeof job.password, m_inputpwdWidget->m_password,
                          "the password", &refusal))) {
        showMessage(m_mainWindow, QString(), refusal, true, false);
        return;
    }
    job.totalSize = m_sourceSize;
    job.chunkSize = m_chunkSize;

    const QPoint p = mainWindowPos();
    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2, 360, 80);
    m_ProgressWidget->setPercent(0);
    m_ProgressWidget->show();

    m_SplitDoingThread->job = job;
    m_SplitDoingThread->start(QThread::InheritPriority);
    if (m_split_Timer1->isActive()) m_split_Timer1->stop();
    m_split_Timer1->start(500);
}

void UI_SplitWidget::m_split_Timer1_slots() {
    m_ProgressWidget->setPercent(page::jobPercent());
}

void UI_SplitWidget::m_SplitDoingThread_Finished() {
    const QPoint p = mainWindowPos();
    const morvane::Outcome outcome = m_SplitDoingThread->outcome();
    // Only a split that succeeded may take the source away: it could be the only copy.
    morvane::Outcome removal;
    if (outcome && del_source_CheckBox->checkState() == Qt::Checked)
        removal = morvane::removeSplitSource(m_sourcePath);
    m_DialogWidget->folderPath = output_LineEdit->text();
    m_DialogWidget->placeAt(p.x() + (width() - 240) / 2, p.y() + height() / 2, 260, 80);
    m_ProgressWidget->hide();
    if (!outcome) {
        showMessage(m_mainWindow, QStringLiteral("Splitting failed!"), page::describe(outcome),
                    true, false);
        return;
    }
    if (!removal)
        showMessage(m_mainWindow, QStringLiteral("The source was not deleted."),
                    page::describe(removal), true, false);
    m_DialogWidget->show();
}
