#pragma once
// The "Split File" page: one source file or folder, how to cut it (a chunk size or a chunk
// count), the output folder and the options; "Split" runs the job on the page's worker.

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
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeWidget;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_inputpwdWidget;
namespace morvane {
class JobThread;
namespace jobs {
class SplitJob;
}
}  // namespace morvane

// The size column's text: "1.50 KB", "3.00 M", "3.00 G" or "1000 bytes".
std::string formatSize(std::int64_t size);

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

    // The worker and the pop-ups have no parent; the page deletes them.
    morvane::JobThread* m_SplitDoingThread;
    // The source's size when it was chosen, and the chunk size in bytes that a split uses.
    std::int64_t m_sourceSize = 102400;
    std::int64_t m_chunkSize = 0;
    QString m_sourcePath;
    // The main window, not owned; set by it right after construction. Only its pos() is read,
    // to place the page's pop-ups over the window.
    QWidget* m_mainWindow = nullptr;

    QPushButton* input_fileButton;
    QPushButton* input_folderButton;
    QTreeWidget* input_TreeWidget;
    QWidget* split_mode_Widget;
    QRadioButton* split_bysize_RadioButton;
    QLineEdit* split_bysize_LineEdit;
    QComboBox* split_size_ComboBox;
    QRadioButton* split_bycount_RadioButton;
    QLineEdit* split_bycount_LineEdit;
    QCheckBox* del_source_CheckBox;
    QCheckBox* entry_pwd_CheckBox;
    QLabel* output_Label;
    QLineEdit* output_LineEdit;
    QPushButton* output_fileButton;
    QPushButton* m_split_Button;
    UI_ProgressWidget* m_ProgressWidget;
    UI_DialogWidget* m_DialogWidget;
    UI_inputpwdWidget* m_inputpwdWidget;
    QTimer* m_split_Timer1;

    void addSourceRow(const QString& path, std::int64_t size);
    // Each recomputes the other field from the one the user edited. The count shown is the
    // number of chunks the split will write; by count, chunks are at least 1 KB.
    void updateFromSize();
    void updateFromCount();
    void updateSplitButton();
    // A round chunk size of about a ninth of the source.
    void suggestChunkSize();

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
    // The size of a chosen source, or -1 after telling the user why it cannot be measured.
    std::int64_t measureSource(const QString& path);
    // Lists a chosen source with its parent as the output folder; false when it cannot be
    // measured.
    bool takeSource(const QString& path);
    void applyModeRule();
    // Shows chunk in the size field, in the largest unit it reaches, without recomputing it.
    void showChunkSize(std::int64_t chunk);
    void presentJobEnd();
    QPoint mainWindowPos() const;

    // The running job, or the one whose end is not presented yet.
    std::unique_ptr<morvane::jobs::SplitJob> m_job;
    page::EndGate m_endGate;
};
