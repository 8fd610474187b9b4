#pragma once
// The "Join File" page: a chunk folder listed chunk by chunk with a mark for each, an output
// folder, and "Join", which rebuilds the file or folder on the page's worker.

#include <QString>
#include <QWidget>
#include <vector>

#include "engine/join.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_Tarnwick;
class UI_inputpwdWidget;
namespace morvane {
class MergeDoingThread;
}

class UI_MergeWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_MergeWidget(QWidget* parent = nullptr);
    ~UI_MergeWidget() override;

    void layoutPage(int x, int y, int width, int height);

    // The main window, not owned; set by it right after construction. Its position and size
    // place the page's pop-ups over the window.
    UI_Tarnwick* m_mainWindow = nullptr;
    // The listed set's password digest, empty when it has none.
    char m_passwordDigest[40];
    morvane::MergeDoingThread* m_MergeDoingThread;
    QString m_chunkFolder;
    QString m_sourceName;
    // The rows of the last listing, kept as the engine gave them: their paths are the ones
    // the chunk files are deleted by. Empty when that listing found no valid manifest.
    std::vector<morvane::ChunkCheckEntry> m_chunkEntries;
    bool m_listingValid = false;

    QPushButton* input_mergefileButton;
    QTreeWidget* input_mergeTreeWidget;
    QCheckBox* del_source_CheckBox;
    QLabel* output_Label;
    QLineEdit* output_LineEdit;
    QPushButton* output_mergefileButton;
    QPushButton* m_merge_Button;
    UI_ProgressWidget* m_ProgressWidget;
    UI_DialogWidget* m_DialogWidget;
    UI_inputpwdWidget* m_inputpwdWidget;
    QTimer* m_merge_Timer1;

private slots:
    void input_mergefileButton_slots();
    void output_mergefileButton_slots();
    void m_merge_Button_slots();
    void m_MergeDoingThread_Finished();
    void m_merge_Timer1_slots();

private:
    QPoint mainWindowPos() const;
    QSize mainWindowSize() const;
    QWidget* messageParent() const;
};
