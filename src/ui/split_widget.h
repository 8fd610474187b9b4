#pragma once
// The "Split File" page: one source file or folder, how to cut it (a chunk size, a medium's
// size, or a chunk count), the output folder and the options; "Split" runs the job on the
// page's worker.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/page_support.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimer;
class QToolButton;
class QTreeWidget;
class PathField;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_inputpwdWidget;
namespace morvane {
class JobThread;
namespace jobs {
class SplitJob;
struct SizePreset;
}  // namespace jobs
}  // namespace morvane

class UI_SplitWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_SplitWidget(QWidget* parent = nullptr);
    ~UI_SplitWidget() override;

    void layoutPage(int x, int y, int width, int height);

    // True from Split until the page has presented how the job ended.
    bool jobActive() const { return m_job != nullptr; }
    // While held, the end of the job is kept back; the last release presents it.
    void holdJobEnd();
    void releaseJobEnd();
    // Cancels the job, waits for it to end and drops its end unseen: the window is closing.
    void cancelJobAndWait();
    // Holds the job at its next check, and lets it go on.
    void pauseJob();
    void resumeJob();

    // The worker and the pop-ups have no parent; the page deletes them.
    morvane::JobThread* m_SplitDoingThread;
    // The source's size when it was chosen, and the chunk size in bytes that a split uses:
    // 0 while the field asks for no chunk at all, -1 for more bytes than a size can hold.
    std::int64_t m_sourceSize = 102400;
    std::int64_t m_chunkSize = 0;
    QString m_sourcePath;
    // The main window, not owned; set by it right after construction. Only its pos() is read,
    // to place the page's pop-ups over the window.
    QWidget* m_mainWindow = nullptr;

    QPushButton* input_fileButton;
    QPushButton* input_folderButton;
    QLabel* input_hint_Label;
    QTreeWidget* input_TreeWidget;
    QWidget* split_mode_Widget;
    QRadioButton* split_bysize_RadioButton;
    QLineEdit* split_bysize_LineEdit;
    QComboBox* split_size_ComboBox;
    QToolButton* fit_to_Button;
    QMenu* fit_to_Menu;
    QRadioButton* split_bycount_RadioButton;
    QLineEdit* split_bycount_LineEdit;
    // Recovery chunks, and the room they take beside the set.
    QLabel* recovery_Label;
    QSpinBox* recovery_SpinBox;
    QLabel* recovery_space_Label;
    QCheckBox* del_source_CheckBox;
    QCheckBox* entry_pwd_CheckBox;
    QLabel* output_Label;
    PathField* output_LineEdit;
    QPushButton* output_fileButton;
    QPushButton* m_split_Button;
    UI_ProgressWidget* m_ProgressWidget;
    UI_DialogWidget* m_DialogWidget;
    UI_inputpwdWidget* m_inputpwdWidget;
    QTimer* m_split_Timer1;

    void addSourceRow(const QString& path, std::int64_t size);
    // Each recomputes the other field from the one the user edited. The count shown is the
    // number of chunks the split will write; by count, chunks are at least 1 KiB.
    void updateFromSize();
    void updateFromCount();
    void updateSplitButton();
    // "+ 128.00 MiB": what the recovery chunks add, for the chunk size shown.
    void updateRecoverySpace();
    // A round chunk size of about a ninth of the source.
    void suggestChunkSize();
    // Lists path, a file or a folder, as the source, in place of the one listed before.
    void addSource(const QString& path);
    // Cuts by size, into chunks of the preset's exact size.
    void fitTo(const morvane::jobs::SizePreset& preset);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void split_size_ComboBox_slots();
    void split_bysize_LineEdit_slots();
    void split_bycount_LineEdit_slots();
    void input_fileButton_slots();
    void input_folderButton_slots();
    void split_bysize_RadioButton_slots();
    void split_bycount_RadioButton_slots();
    void output_fileButton_slots();
    void delbutton_slots();
    void entry_pwd_CheckBox_slots(int state);
    void m_SplitDoingThread_Finished();
    void m_split_Button_slots();
    void m_split_Timer1_slots();
    void m_ProgressWidget_cancelAsked();

private:
    // The constructor's steps, in this order.
    void createWidgets();
    void labelWidgets();
    // The unit menu, the "Fit to" presets, and digits only in the size and count fields.
    void buildSizeControls();
    // What the last runs chose; before connectSignals, so the fields report no edit.
    void restoreChoices();
    void connectSignals();
    // The size of a chosen source, or -1 after telling the user why it cannot be measured.
    std::int64_t measureSource(const QString& path);
    // Lists a chosen source, with its parent as the output folder unless the user chose one;
    // false when it cannot be measured.
    bool takeSource(const QString& path);
    void applyModeRule();
    // updateFromSize and updateFromCount without the recovery chunks' space.
    // The number of chunk files of chunkSize the source makes, encrypted or not.
    std::int64_t chunksOf(std::int64_t chunkSize) const;
    void updateChunkFromSize();
    void updateChunkFromCount();
    // Shows chunk in the size field, in the largest unit it reaches, without recomputing it.
    void showChunkSize(std::int64_t chunk);
    // Shows bytes in the size field exactly, in the largest unit that divides it.
    void showExactSize(std::int64_t bytes);
    // Why the chunk size or count cannot be split by, or an empty text.
    QString chunkRefusal() const;
    // The source row's path, cut in the middle to fit its column.
    void elideSourceRow();
    // Keeps the unit, the size, the recovery chunks and the output folder for the next job
    // and the next run.
    void rememberChoices(const QString& outputDir);
    // Unticks what must never carry over to another job: deleting, and protection.
    void clearJobOptions();
    void presentJobEnd();
    QPoint mainWindowPos() const;
    // What takes no input while a job runs.
    QWidget* busyWindow();
    // A job of the page's choices as they stand.
    std::unique_ptr<morvane::jobs::SplitJob> makeJob(bool skipSpecial) const;
    // The job to start, prepared, with the source measured again and the page showing what
    // was measured; null, after telling the user why, when nothing is to start.
    std::unique_ptr<morvane::jobs::SplitJob> prepareJob();
    // Shows a source's new size in its row, and the chunk size or count it now gives.
    void takeMeasuredSize(std::int64_t size);
    // Whether to replace the chunk folder already there, naming what goes with it.
    QString replaceQuestion(const morvane::jobs::SplitJob& job) const;

    // The running job, or the one whose end is not presented yet.
    std::unique_ptr<morvane::jobs::SplitJob> m_job;
    page::EndGate m_endGate;
    // The output folder was chosen, typed or used by a job: a new source keeps it.
    bool m_outputChosen = false;
    // The size was remembered or used by a job: a new source keeps it.
    bool m_keepSize = false;
};
