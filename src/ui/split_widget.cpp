#include "ui/split_widget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <limits>

#include "engine/fs_primitives.h"
#include "engine/recovery.h"
#include "engine/sealing.h"
#include "engine/split.h"
#include "jobs/in_the_way.h"
#include "jobs/jobs.h"
#include "jobs/presentation.h"
#include "platform/encoding.h"
#include "ui/dialog_widget.h"
#include "ui/file_dialogs.h"
#include "ui/message_box.h"
#include "ui/password_dialog.h"
#include "ui/path_field.h"
#include "ui/progress_widget.h"
#include "work/workers.h"

namespace {

constexpr std::int64_t kKiB = 1024;
// The bytes of the units the size list offers, in its order.
constexpr std::int64_t kUnits[] = {1, kKiB, kKiB* kKiB, kKiB* kKiB* kKiB};
constexpr int kLastUnit = 3;
constexpr int kPathColumn = 1;

const QString kSizeKey = QStringLiteral("split/size");
const QString kUnitKey = QStringLiteral("split/unit");
const QString kOutputKey = QStringLiteral("split/outputDir");
const QString kRecoveryKey = QStringLiteral("split/recovery");
// Names a question or a completion box lists before it says how many more there are.
constexpr int kNamesShown = 8;
// More chunks than this are asked about before they are written.
constexpr std::int64_t kManyChunks = 10000;

// names, relative to folder when they lie in it, joined by commas, the first few only.
QString namesBelow(const QString& folder, const std::vector<std::string>& names) {
    QStringList shown;
    for (const std::string& name : names) {
        if (shown.size() == kNamesShown) {
            shown.append(QStringLiteral("and %1 more").arg(names.size() - kNamesShown));
            break;
        }
        const QString path = morvane::jobs::displayText(name);
        shown.append(path.startsWith(folder + '/') ? path.mid(folder.size() + 1) : path);
    }
    return shown.join(QStringLiteral(", "));
}

}  // namespace

UI_SplitWidget::UI_SplitWidget(QWidget* parent) : QWidget(parent) {
    QFont pageFont = font();
    pageFont.setFamily(QStringLiteral("arial"));
    pageFont.setPointSize(10);
    setFont(pageFont);
    setAcceptDrops(true);

    createWidgets();
    labelWidgets();
    buildSizeControls();
    restoreChoices();
    connectSignals();

    m_sourceSize = 102400;

    split_bysize_RadioButton->setChecked(true);
    applyModeRule();
    if (m_keepSize) updateFromSize();
    updateRecoverySpace();
    updateSplitButton();
}

void UI_SplitWidget::createWidgets() {
    input_fileButton = new QPushButton(this);
    input_folderButton = new QPushButton(this);
    input_hint_Label = new QLabel(this);
    input_hint_Label->setStyleSheet(QStringLiteral("QLabel { color: #6c6c6c; }"));
    input_TreeWidget = new QTreeWidget(this);
    input_TreeWidget->setColumnCount(4);
    input_TreeWidget->setRootIsDecorated(false);
    input_TreeWidget->setTextElideMode(Qt::ElideMiddle);
    input_TreeWidget->setHeaderLabels(
        {QStringLiteral("Name"), QStringLiteral("Path"), QStringLiteral("Size"), QString()});
    input_TreeWidget->horizontalScrollBar()->setFixedHeight(10);
    input_TreeWidget->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal{height: 10px;}"));

    split_mode_Widget = new QWidget(this);
    split_bysize_RadioButton = new QRadioButton(split_mode_Widget);
    split_bysize_LineEdit = new QLineEdit(split_mode_Widget);
    split_size_ComboBox = new QComboBox(split_mode_Widget);
    fit_to_Button = new QToolButton(split_mode_Widget);
    fit_to_Menu = new QMenu(fit_to_Button);
    split_bycount_RadioButton = new QRadioButton(split_mode_Widget);
    split_bycount_LineEdit = new QLineEdit(split_mode_Widget);
    recovery_Label = new QLabel(split_mode_Widget);
    recovery_SpinBox = new QSpinBox(split_mode_Widget);
    recovery_space_Label = new QLabel(split_mode_Widget);
    del_source_CheckBox = new QCheckBox(split_mode_Widget);
    entry_pwd_CheckBox = new QCheckBox(split_mode_Widget);

    output_Label = new QLabel(this);
    output_LineEdit = new PathField(this);
    output_fileButton = new QPushButton(this);
    m_split_Button = new QPushButton(this);

    m_ProgressWidget = new UI_ProgressWidget(nullptr);
    m_ProgressWidget->captionLabel->setText(QStringLiteral("Splitting..."));
    m_ProgressWidget->hide();
    m_DialogWidget = new UI_DialogWidget(nullptr);
    m_DialogWidget->messageLabel->setText(QStringLiteral("Splitting Completed!"));
    m_DialogWidget->hide();
    m_DialogWidget->setModal(true);
    m_inputpwdWidget = new UI_inputpwdWidget(nullptr);
    m_inputpwdWidget->setModal(true);
    m_inputpwdWidget->hide();
    m_split_Timer1 = new QTimer(nullptr);
    m_SplitDoingThread = new morvane::JobThread;
}

void UI_SplitWidget::labelWidgets() {
    output_Label->setText(QStringLiteral("OutPath"));
    input_fileButton->setText(QStringLiteral("Add File"));
    input_folderButton->setText(QStringLiteral("Add Folder"));
    input_hint_Label->setText(QStringLiteral("One source at a time: adding another replaces it."));
    output_fileButton->setText(QStringLiteral("..."));
    split_bysize_RadioButton->setText(QStringLiteral("Split File Size"));
    split_bycount_RadioButton->setText(QStringLiteral("Split File Count"));
    m_split_Button->setText(QStringLiteral("Split"));
    recovery_Label->setText(QStringLiteral("Recovery chunks"));
    recovery_SpinBox->setRange(0, morvane::kMaxRecovery);
    const QString recoveryNote = QStringLiteral(
        "Any this many lost or damaged files of the set can be rebuilt. Each recovery chunk "
        "takes one chunk's size and a 4 KiB header.");
    recovery_Label->setToolTip(recoveryNote);
    recovery_SpinBox->setToolTip(recoveryNote);
    recovery_space_Label->setStyleSheet(QStringLiteral("QLabel { color: #6c6c6c; }"));
    del_source_CheckBox->setText(QStringLiteral("Delete source file after splitting"));
    entry_pwd_CheckBox->setText(QStringLiteral("Encrypt Data"));
    entry_pwd_CheckBox->setToolTip(QString::fromLatin1(kProtectionNote));
}

void UI_SplitWidget::buildSizeControls() {
    // Up to 15 digits: enough for any size in bytes, and never more than an int64 holds.
    auto* digitsOnly =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,15}")), this);
    split_bysize_LineEdit->setValidator(digitsOnly);
    split_bycount_LineEdit->setValidator(digitsOnly);

    for (const char* unit : {"bytes", "KiB", "MiB", "GiB"})
        split_size_ComboBox->addItem(QIcon(), QString::fromLatin1(unit));
    split_size_ComboBox->setCurrentIndex(1);
    QFont unitFont = font();
    unitFont.setPointSize(9);
    split_size_ComboBox->setFont(unitFont);

    fit_to_Button->setText(QStringLiteral("Fit to"));
    fit_to_Button->setPopupMode(QToolButton::InstantPopup);
    fit_to_Button->setMenu(fit_to_Menu);
    for (const morvane::jobs::SizePreset& preset : morvane::jobs::sizePresets()) {
        QAction* action = fit_to_Menu->addAction(QString::fromUtf8(preset.label));
        action->setToolTip(page::sizeText(preset.bytes));
        connect(action, &QAction::triggered, this, [this, &preset] { fitTo(preset); });
    }
}

void UI_SplitWidget::restoreChoices() {
    const int unit = page::setting(kUnitKey, -1).toInt();
    const QString size = page::setting(kSizeKey).toString();
    if (unit >= 0 && unit <= kLastUnit && !size.isEmpty()) {
        split_size_ComboBox->setCurrentIndex(unit);
        split_bysize_LineEdit->setText(size);
        m_keepSize = true;
    }
    output_LineEdit->setPath(page::setting(kOutputKey).toString());
    m_outputChosen = !output_LineEdit->path().isEmpty();
    recovery_SpinBox->setValue(page::setting(kRecoveryKey, 0).toInt());
}

void UI_SplitWidget::connectSignals() {
    connect(m_split_Timer1, &QTimer::timeout, this, &UI_SplitWidget::m_split_Timer1_slots);
    connect(m_SplitDoingThread, &QThread::finished, this,
            &UI_SplitWidget::m_SplitDoingThread_Finished);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelAsked, this,
            &UI_SplitWidget::m_ProgressWidget_cancelAsked);
    connect(m_ProgressWidget, &UI_ProgressWidget::cancelNow, this, [this] {
        if (m_job) m_job->control().requestCancel();
    });
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
    connect(output_LineEdit, &QLineEdit::textEdited, this,
            [this] { m_outputChosen = !output_LineEdit->path().isEmpty(); });
    connect(recovery_SpinBox, &QSpinBox::valueChanged, this, &UI_SplitWidget::updateRecoverySpace);
    connect(entry_pwd_CheckBox, &QCheckBox::stateChanged, this,
            &UI_SplitWidget::entry_pwd_CheckBox_slots);
    connect(m_split_Button, &QPushButton::clicked, this, &UI_SplitWidget::m_split_Button_slots);
    connect(input_TreeWidget->header(), &QHeaderView::sectionResized, this, [this](int column) {
        if (column == kPathColumn) elideSourceRow();
    });
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
    // What the page gained over its smallest size goes to the list and the path field.
    const int extra = std::max(0, W - 680);
    input_fileButton->setGeometry(0, 0, 100, 30);
    input_folderButton->setGeometry(105, 0, 100, 30);
    input_hint_Label->setGeometry(215, 0, W - 215, 30);
    input_TreeWidget->setGeometry(0, 40, W, 70);
    input_TreeWidget->setColumnWidth(3, 60);
    input_TreeWidget->setColumnWidth(2, 100);
    input_TreeWidget->setColumnWidth(0, 120);
    input_TreeWidget->setColumnWidth(kPathColumn, input_TreeWidget->width() - 290);
    split_mode_Widget->setGeometry(0, 140, W, 200);
    split_bysize_RadioButton->setGeometry(0, 0, 120, 30);
    split_bysize_LineEdit->setGeometry(120, 0, 100, 24);
    // Wide enough for "bytes" beside the arrow.
    split_size_ComboBox->setGeometry(224, 0, 66, 24);
    fit_to_Button->setGeometry(296, 0, 70, 24);
    split_bycount_RadioButton->setGeometry(0, 40, 120, 30);
    split_bycount_LineEdit->setGeometry(120, 40, 100, 24);
    recovery_Label->setGeometry(240, 40, 110, 24);
    recovery_SpinBox->setGeometry(350, 40, 56, 24);
    recovery_space_Label->setGeometry(414, 40, W - 414, 24);
    del_source_CheckBox->setGeometry(0, 80, 300, 24);
    entry_pwd_CheckBox->setGeometry(0, 120, 120, 24);
    output_Label->setGeometry(0, H - 98, 60, 30);
    output_LineEdit->setGeometry(60, H - 100, 360 + extra, 26);
    output_fileButton->setGeometry(420 + extra, H - 100, 35, 26);
    m_split_Button->setGeometry(500 + extra, H - 120, 100, 50);
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
    item->setToolTip(0, name);
    item->setData(kPathColumn, Qt::UserRole, path);
    item->setToolTip(kPathColumn, path);
    item->setText(2, page::sizeText(size));
    input_TreeWidget->setItemWidget(item, 3, removeButton);
    input_TreeWidget->addTopLevelItem(item);
    elideSourceRow();
}

void UI_SplitWidget::elideSourceRow() {
    // The view would cut the path at its end, where rows differ; the middle goes instead.
    const QFontMetrics metrics(input_TreeWidget->font());
    const int room = input_TreeWidget->columnWidth(kPathColumn) - 12;
    for (int i = 0; i < input_TreeWidget->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = input_TreeWidget->topLevelItem(i);
        item->setText(
            kPathColumn,
            page::elidePath(metrics, item->data(kPathColumn, Qt::UserRole).toString(), room));
    }
}

void UI_SplitWidget::updateSplitButton() {
    // An empty output folder means the source's own folder.
    m_split_Button->setEnabled(input_TreeWidget->topLevelItemCount() > 0);
}

void UI_SplitWidget::applyModeRule() {
    const bool bySize = split_bysize_RadioButton->isChecked();
    split_size_ComboBox->setEnabled(bySize);
    split_bysize_LineEdit->setEnabled(bySize);
    split_bycount_LineEdit->setEnabled(!bySize);
}

void UI_SplitWidget::updateFromSize() {
    updateChunkFromSize();
    updateRecoverySpace();
}

void UI_SplitWidget::updateChunkFromSize() {
    bool ok = false;
    const std::int64_t n = split_bysize_LineEdit->text().toLongLong(&ok);
    const int unit = std::clamp(split_size_ComboBox->currentIndex(), 0, kLastUnit);
    if (!ok || n <= 0) {
        m_chunkSize = 0;
        split_bycount_LineEdit->clear();
        return;
    }
    if (n > std::numeric_limits<std::int64_t>::max() / kUnits[unit]) {
        m_chunkSize = -1;
        split_bycount_LineEdit->clear();
        return;
    }
    m_chunkSize = n * kUnits[unit];
    split_bycount_LineEdit->setText(QString::number(chunksOf(m_chunkSize)));
}

std::int64_t UI_SplitWidget::chunksOf(std::int64_t chunkSize) const {
    // An encrypted chunk holds a little less than its size: each frame's tag is in it.
    return morvane::chunkCountFor(
        m_sourceSize, morvane::dataPerChunkOf(chunkSize, entry_pwd_CheckBox->isChecked()));
}

void UI_SplitWidget::updateFromCount() {
    updateChunkFromCount();
    updateRecoverySpace();
}

void UI_SplitWidget::updateChunkFromCount() {
    bool ok = false;
    std::int64_t n = split_bycount_LineEdit->text().toLongLong(&ok);
    // An empty source makes no chunk whatever the count.
    if (ok && m_sourceSize == 0) n = 1;
    if (!ok || n <= 0) {
        m_chunkSize = 0;
        split_bysize_LineEdit->clear();
        return;
    }
    // No more chunks than the source has started kibibytes, and one for an empty source.
    n = std::min(n, std::max<std::int64_t>(1, morvane::chunkCountFor(m_sourceSize, kKiB)));
    m_chunkSize = morvane::chunkSizeForCount(m_sourceSize, n);
    // The count is of chunk files: encrypted, each is as much larger as its tags take.
    if (entry_pwd_CheckBox->isChecked()) m_chunkSize = morvane::sealedSizeOf(m_chunkSize);
    split_bycount_LineEdit->setText(QString::number(chunksOf(m_chunkSize)));
    showChunkSize(m_chunkSize);
}

void UI_SplitWidget::updateRecoverySpace() {
    const int n = recovery_SpinBox->value();
    constexpr auto header = static_cast<std::int64_t>(morvane::kRecoveryHeaderSize);
    // An empty source makes no chunk and so no recovery chunk; a chunk size past any disk
    // has no room to show.
    if (n == 0 || m_chunkSize <= 0 || m_sourceSize == 0 ||
        m_chunkSize > std::numeric_limits<std::int64_t>::max() / n - header) {
        recovery_space_Label->clear();
        return;
    }
    recovery_space_Label->setText(QStringLiteral("+ ") +
                                  page::sizeText(n * (m_chunkSize + header)));
}

void UI_SplitWidget::showChunkSize(std::int64_t chunk) {
    int unit = 1;
    while (unit < kLastUnit && chunk >= kUnits[unit + 1]) ++unit;
    split_bysize_LineEdit->setText(
        QString::number(std::max<std::int64_t>(1, chunk / kUnits[unit])));
    // The shown size is rounded; the unit's change must not turn it into the chunk size.
    const QSignalBlocker quiet(split_size_ComboBox);
    split_size_ComboBox->setCurrentIndex(unit);
}

void UI_SplitWidget::showExactSize(std::int64_t bytes) {
    int unit = kLastUnit;
    while (unit > 0 && bytes % kUnits[unit] != 0) --unit;
    split_bysize_LineEdit->setText(QString::number(bytes / kUnits[unit]));
    const QSignalBlocker quiet(split_size_ComboBox);
    split_size_ComboBox->setCurrentIndex(unit);
}

void UI_SplitWidget::fitTo(const morvane::jobs::SizePreset& preset) {
    // A medium is a size: choosing one in count mode means cutting by size.
    split_bysize_RadioButton->setChecked(true);
    applyModeRule();
    showExactSize(preset.bytes);
    updateFromSize();
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
    // Below a mebibyte the suggestion counts kibibytes; from a tebibyte on, gibibytes.
    split_size_ComboBox->setCurrentIndex(std::clamp(k, 1, kLastUnit));
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
    if (!m_outputChosen) {
        QDir parentDir(path);
        parentDir.cdUp();
        output_LineEdit->setPath(parentDir.absolutePath());
    }
    m_sourceSize = size;
    addSourceRow(path, m_sourceSize);
    return true;
}

void UI_SplitWidget::addSource(const QString& path) {
    if (!takeSource(path)) return;
    if (m_keepSize) {
        // The size the user settled on stays; only the count follows the new source.
        if (split_bysize_RadioButton->isChecked())
            updateFromSize();
        else
            updateFromCount();
    } else if (QFileInfo(path).isDir()) {
        split_bycount_LineEdit->setText(QStringLiteral("10"));
        updateFromCount();
    } else {
        suggestChunkSize();
    }
    updateSplitButton();
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
        askOpenFileName(this, tr("Open File"), page::dialogFolder(), tr("All files (*)"));
    if (path.isEmpty()) return;
    page::rememberDialogPath(path, false);
    addSource(path);
}

void UI_SplitWidget::input_folderButton_slots() {
    const QString path =
        askExistingDirectory(this, tr("Select Split source Folder"), page::dialogFolder(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (path.isEmpty()) return;
    page::rememberDialogPath(path, true);
    addSource(path);
}

void UI_SplitWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (!jobActive() && !page::droppedPath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void UI_SplitWidget::dropEvent(QDropEvent* event) {
    const QString path = page::droppedPath(event->mimeData());
    if (path.isEmpty() || jobActive()) return;
    event->acceptProposedAction();
    addSource(path);
}

void UI_SplitWidget::split_bysize_RadioButton_slots() {
    applyModeRule();
}

void UI_SplitWidget::split_bycount_RadioButton_slots() {
    applyModeRule();
}

void UI_SplitWidget::output_fileButton_slots() {
    const QString dir =
        askExistingDirectory(this, tr("Select Output Folder"), page::dialogFolder(),
                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty()) return;
    page::rememberDialogPath(dir, true);
    output_LineEdit->setPath(dir);
    m_outputChosen = true;
    updateSplitButton();
}

void UI_SplitWidget::delbutton_slots() {
    input_TreeWidget->clear();
    updateSplitButton();
}

void UI_SplitWidget::entry_pwd_CheckBox_slots(int state) {
    const QPoint p = mainWindowPos();
    m_inputpwdWidget->placeAt(p.x() + (width() - 260) / 2, p.y() + height() / 2 - 40, 280, 220);
    if (state != 0) {
        m_inputpwdWidget->runDialog();
        if (m_inputpwdWidget->m_passwordSet != 1) {
            entry_pwd_CheckBox->setCheckState(Qt::Unchecked);
            return;
        }
    }
    // Encryption changes how much a chunk holds.
    if (split_bysize_RadioButton->isChecked())
        updateFromSize();
    else
        updateFromCount();
}

QString UI_SplitWidget::chunkRefusal() const {
    if (m_chunkSize < 0) return QStringLiteral("The chunk size is too large.");
    if (m_chunkSize > 0) return QString();
    return split_bysize_RadioButton->isChecked()
               ? QStringLiteral("The chunk size must be at least 1 byte.")
               : QStringLiteral("The chunk count must be at least 1.");
}

void UI_SplitWidget::rememberChoices(const QString& outputDir) {
    if (split_bysize_RadioButton->isChecked()) {
        page::setSetting(kUnitKey, split_size_ComboBox->currentIndex());
        page::setSetting(kSizeKey, split_bysize_LineEdit->text());
        m_keepSize = true;
    }
    page::setSetting(kRecoveryKey, recovery_SpinBox->value());
    if (!outputDir.isEmpty()) {
        page::setSetting(kOutputKey, outputDir);
        m_outputChosen = true;
    }
}

void UI_SplitWidget::clearJobOptions() {
    del_source_CheckBox->setChecked(false);
    // Unticking asks nothing; the password goes with the tick.
    entry_pwd_CheckBox->setChecked(false);
    m_inputpwdWidget->forgetPassword();
}

std::unique_ptr<morvane::jobs::SplitJob> UI_SplitWidget::makeJob(bool skipSpecial) const {
    // The job takes the page's choices as they are now; later changes on the page are not its.
    morvane::jobs::SplitOrder order;
    order.source = m_sourcePath;
    order.outputDir = output_LineEdit->path();
    order.chunkSize = m_chunkSize;
    if (entry_pwd_CheckBox->checkState() == Qt::Checked)
        order.password = m_inputpwdWidget->m_password;
    order.deleteSource = del_source_CheckBox->checkState() == Qt::Checked;
    order.recovery = recovery_SpinBox->value();
    order.skipSpecial = skipSpecial;
    return std::make_unique<morvane::jobs::SplitJob>(std::move(order));
}

void UI_SplitWidget::takeMeasuredSize(std::int64_t size) {
    m_sourceSize = size;
    if (QTreeWidgetItem* row = input_TreeWidget->topLevelItem(0))
        row->setText(2, page::sizeText(size));
    if (split_bysize_RadioButton->isChecked())
        updateFromSize();
    else
        updateFromCount();
}

std::unique_ptr<morvane::jobs::SplitJob> UI_SplitWidget::prepareJob() {
    auto job = makeJob(false);
    morvane::Outcome prepared = job->prepare();
    // A folder holding what no set can store is split only when the user leaves that out.
    if (!prepared && job->refusedForSpecials()) {
        const QString question =
            m_sourcePath +
            QStringLiteral(" holds what no chunk set can store (a FIFO, socket or device): ") +
            namesBelow(m_sourcePath, job->leftOut()) + QStringLiteral(". Leave them out?");
        if (!askQuestion(m_mainWindow, question)) return nullptr;
        job = makeJob(true);
        prepared = job->prepare();
    }
    // The source as it is now decides, not as it was when it was listed. A few passes: it
    // may change again while it is measured.
    for (int pass = 0; pass < 3; ++pass) {
        if (job->sourceGone()) {
            const QString gone = m_sourcePath;
            delbutton_slots();
            showMessage(m_mainWindow, QStringLiteral("Nothing was split."),
                        gone + QStringLiteral(" is no longer there: it was taken off the list."),
                        true, false);
            return nullptr;
        }
        if (!job->measured() || job->totalSize() == m_sourceSize) break;
        takeMeasuredSize(job->totalSize());
        if (m_chunkSize == job->order().chunkSize) break;
        if (const QString why = chunkRefusal(); !why.isEmpty()) {
            showMessage(m_mainWindow, QString(), why, true, false);
            return nullptr;
        }
        job = makeJob(job->order().skipSpecial);
        prepared = job->prepare();
    }
    if (!prepared) {
        showMessage(m_mainWindow, QStringLiteral("Splitting failed!"), page::describe(prepared),
                    true, false);
        return nullptr;
    }
    return job;
}

void UI_SplitWidget::m_split_Button_slots() {
    // The pop-up keeps the user away while a job runs; this guards callers that are not users.
    if (jobActive()) return;
    if (const QString why = chunkRefusal(); !why.isEmpty()) {
        showMessage(m_mainWindow, QString(), why, true, false);
        return;
    }
    std::unique_ptr<morvane::jobs::SplitJob> job = prepareJob();
    if (!job) return;
    // So many files are more than most media and folders are meant for: likely a size typed
    // in the wrong unit.
    if (job->chunkCount() > kManyChunks &&
        !askQuestion(m_mainWindow, QStringLiteral("This split would write %1 chunks of %2. "
                                                  "Write that many?")
                                       .arg(job->chunkCount())
                                       .arg(page::sizeText(job->chunkSize()))))
        return;
    if (job->targetExists()) {
        if (!askQuestion(m_mainWindow, replaceQuestion(*job))) return;
        job->allowReplace(true);
    }
    rememberChoices(output_LineEdit->path());
    m_job = std::move(job);

    const QPoint p = mainWindowPos();
    // The rows of the rate and of Cancel grow the pop-up upwards: its lower edge stays where
    // it always was, clear of the options below.
    m_ProgressWidget->placeAt(p.x() + (width() - 360) / 2, p.y() + height() / 2 - 42, 360, 122);
    m_ProgressWidget->setPercent(0);
    page::setWindowBusy(busyWindow(), true);
    page::showOver(m_ProgressWidget, m_mainWindow);

    m_SplitDoingThread->startJob(m_job.get());
    m_split_Timer1->start(500);
}

void UI_SplitWidget::m_split_Timer1_slots() {
    if (m_job) m_ProgressWidget->showProgress(m_job->control());
}

void UI_SplitWidget::m_ProgressWidget_cancelAsked() {
    // One question at a time, and none about a job whose end is already due.
    if (!m_job || m_endGate.held()) return;
    holdJobEnd();
    page::askStopJob(m_mainWindow, m_job->control());
    releaseJobEnd();
}

void UI_SplitWidget::pauseJob() {
    if (m_job) m_job->control().requestPause();
}

void UI_SplitWidget::resumeJob() {
    if (m_job) m_job->control().resume();
}

QWidget* UI_SplitWidget::busyWindow() {
    return m_mainWindow != nullptr ? m_mainWindow : this;
}

QString UI_SplitWidget::replaceQuestion(const morvane::jobs::SplitJob& job) const {
    QString question = job.chunkFolder() + QLatin1Char(' ') + job.whatIsThere() + ". Replace it?";
    if (!job.onlyInTheSet().empty()) {
        QStringList only;
        for (const std::string& name : job.onlyInTheSet())
            only.append(morvane::jobs::displayText(name));
        question += QStringLiteral(
                        "\nIt may be the only copy of its data: the source has lost "
                        "or changed ") +
                    page::someNames(only) + QStringLiteral(" since that split.");
    }
    std::string folder;
    if (!morvane::plat::toEngineText(job.chunkFolder(), &folder)) return question;
    // The folder is STEM_spt, where only the set of STEM goes.
    std::string stem = folder.substr(folder.rfind('/') + 1);
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, "_spt") == 0)
        stem.resize(stem.size() - 4);
    const morvane::jobs::InTheWay way = morvane::jobs::inChunkFolder(folder, stem);
    if (!way.folder) return question;
    QStringList foreign;
    for (const std::string& name : way.foreign) foreign.append(morvane::jobs::displayText(name));
    if (!foreign.isEmpty())
        question += QStringLiteral("\nDeleted with it, not part of the set: ") +
                    page::someNames(foreign) + QLatin1Char('.');
    return question;
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
    page::setWindowBusy(busyWindow(), false);
    m_job.reset();
    clearJobOptions();
}

void UI_SplitWidget::m_SplitDoingThread_Finished() {
    // A running thread here belongs to a later job, which reports its own end.
    if (!m_job || !m_job->ended() || m_SplitDoingThread->isRunning()) return;
    if (m_endGate.arrive()) presentJobEnd();
}

namespace {

// "4 chunks of 100.00 MiB", with the medium's name when the size is a preset's, and what the
// last chunk holds when it holds less.
QStringList chunkLines(std::int64_t count, std::int64_t size, std::int64_t total) {
    if (count == 0) return {QStringLiteral("No chunk: the source is empty.")};
    if (count == 1) return {QStringLiteral("1 chunk of ") + page::sizeText(total)};
    QString line = QString::number(count) + QStringLiteral(" chunks of ") + page::sizeText(size);
    if (const morvane::jobs::SizePreset* preset = morvane::jobs::presetOfSize(size))
        line += QStringLiteral(", the size for ") + QString::fromUtf8(preset->label);
    QStringList lines = {line};
    const std::int64_t last = total - (count - 1) * size;
    if (last < size)
        lines.append(QStringLiteral("The last chunk holds ") + page::sizeText(last) +
                     QLatin1Char('.'));
    return lines;
}

}  // namespace

void UI_SplitWidget::presentJobEnd() {
    // Only the job says what happened: the page's fields may name another source by now.
    const std::unique_ptr<morvane::jobs::SplitJob> job = std::move(m_job);
    m_split_Timer1->stop();
    m_ProgressWidget->setPercent(job->control().percent());
    m_ProgressWidget->hide();
    page::setWindowBusy(busyWindow(), false);
    clearJobOptions();
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
    QStringList details = {QStringLiteral("Chunk folder: ") + job->chunkFolder()};
    details += chunkLines(job->chunkCount(), job->chunkSize(), job->totalSize());
    if (const int n = job->order().recovery; n == 1 && job->chunkCount() > 0)
        details.append(QStringLiteral("1 recovery chunk: any one lost file can be rebuilt."));
    else if (n > 1 && job->chunkCount() > 0)
        details.append(
            QStringLiteral("%1 recovery chunks: any %1 lost files can be rebuilt.").arg(n));
    if (!job->order().password.isEmpty())
        details.append(
            QStringLiteral("Encrypted with your password: without it, nobody can "
                           "join the set."));
    // The folder's parent, so that each name starts with the folder's own.
    const QString above = QFileInfo(job->order().source).absolutePath();
    if (!job->leftOut().empty())
        details.append(QStringLiteral("Left out: ") + namesBelow(above, job->leftOut()));
    if (job->sourcesDeleted())
        details.append(job->kept().empty()
                           ? QStringLiteral("The source was deleted.")
                           : QStringLiteral("What the set holds was deleted from the source."));
    if (!job->kept().empty())
        details.append(QStringLiteral("Kept, not part of the set: ") +
                       namesBelow(above, job->kept()));
    const QPoint p = mainWindowPos();
    m_DialogWidget->folderPath = job->chunkFolder();
    m_DialogWidget->setDetails(details);
    m_DialogWidget->placeAt(p.x() + (width() - 400) / 2, p.y() + height() / 2 - 40, 420, 80);
    m_DialogWidget->show();
}
