#pragma once
// The "Split File" page: one source file or folder, how to cut it (a chunk size or a chunk
// count), the output folder and the options; "Split" runs the job on the page's worker.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

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
class SplitDoingThread;
}

// The size column's text: "1.50 KB", "3.00 M", "3.00 G" or "1000 bytes".
std::string formatSize(std::int64_t size);

class UI_SplitWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_SplitWidget(QWidget* parent = nullptr);
    ~UI_SplitWidget() override;

    void layoutPage(int x, int y, int width, int height);

    // The worker and the pop-ups have no parent; the page deletes them.
    morvane::SplitDoingThread* m_SplitDoingThread;
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
    QLineEdit* split_bysize_LineEidt;
    QComboBox* split_size_ComboBox;
    QRadioButton* split_bycount_RadioButton;
    QLineEdit* split_bycount_LineEidt;
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
    // Each recomputes the other field from the one the user edited.
    void updateFromSize();
    void updateFromCount();
    void updateSplitButton();
    // A round chunk size of about a ninth of the source.
    void suggestChunkSize();

private slots:
    void split_size_ComboBox_slots();
    void split_bysize_LineEidt_slots();
    void split_bycount_LineEidt_slots();
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

private:
    // The size of a chosen source, or -1 after telling the user why it cannot be measured.
    std::int64_t measureSource(const QString& path);
    // Lists a chosen source with its parent as the output folder; false when it cannot be
    // measured.
    bool takeSource(const QString& path);
    void applyModeRule();
    QPoint mainWindowPos() const;
};
