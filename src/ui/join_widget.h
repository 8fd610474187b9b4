#pragma once
// The "Join File" page: a chunk folder listed chunk by chunk with a mark for each, an output
// folder, and "Join", which rebuilds the file or folder on the page's worker.

#include <QString>
#include <QWidget>
#include <memory>

#include "engine/join.h"
#include "ui/page_support.h"

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
class JobThread;
namespace jobs {
class JoinJob;
}
}  // namespace morvane

class UI_JoinWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_JoinWidget(QWidget* parent = nullptr);
    ~UI_JoinWidget() override;

    void layoutPage(int x, int y, int width, int height);

    // True from Join until the page has presented how the job ended.
    bool jobActive() const { return m_job != nullptr; }
    // While held, the end of the job is kept back; the last release presents it.
    void holdJobEnd();
    void releaseJobEnd();
    // Cancels the job, waits for it to end and drops its end unseen: the window is closing.
    void cancelJobAndWait();

    // The main window, not owned; set by it right after construction. Its position and size
    // place the page's pop-ups over the window.
    UI_Tarnwick* m_mainWindow = nullptr;
    morvane::JobThread* m_JoinDoingThread;
    QString m_chunkFolder;
    QString m_sourceName;
    // The last listing as the check found it; a join checks the set again when it starts.
    morvane::ChunkSetCheck m_check;
    // False when the last listing found no valid manifest.
    bool m_listingValid = false;

    QPushButton* input_joinfolderButton;
    QTreeWidget* input_joinTreeWidget;
    QCheckBox* delete_chunks_CheckBox;
    QLabel* output_Label;
    QLineEdit* output_LineEdit;
    QPushButton* output_joinfolderButton;
    QPushButton* m_join_Button;
    UI_ProgressWidget* m_ProgressWidget;
    UI_DialogWidget* m_DialogWidget;
    UI_inputpwdWidget* m_inputpwdWidget;
    QTimer* m_join_Timer1;

private slots:
    void input_joinfolderButton_slots();
    void output_joinfolderButton_slots();
    void m_join_Button_slots();
    void m_JoinDoingThread_Finished();
    void m_join_Timer1_slots();
    void m_ProgressWidget_cancelAsked();

private:
    // Asks what the job needs before it may start: replacing an existing target, the set's
    // password. False when the user declined or the password did not unlock the set.
    bool answerJobQuestions(morvane::jobs::JoinJob& job);
    void presentJobEnd();
    QPoint mainWindowPos() const;
    QSize mainWindowSize() const;
    QWidget* messageParent() const;

    // The running job, or the one whose end is not presented yet.
    std::unique_ptr<morvane::jobs::JoinJob> m_job;
    page::EndGate m_endGate;
};
