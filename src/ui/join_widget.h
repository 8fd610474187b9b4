#pragma once
// The "Join File" page: a chunk folder listed chunk by chunk with a mark and a state for each,
// "Verify", which reads every byte against the set's checksum list, "Repair", which writes
// lost files back from the recovery chunks, an output folder, and "Join", which rebuilds the
// file or folder. The jobs run on the page's worker; reading the set before a listing or a
// job runs on a thread of its own, so that the window never waits for the disk.

#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "engine/join.h"
#include "engine/recovery.h"
#include "ui/chunk_list_model.h"
#include "ui/page_support.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QThread;
class QTimer;
class QTreeView;
class PathField;
class UI_DialogWidget;
class UI_ProgressWidget;
class UI_Tarnwick;
class UI_inputpwdWidget;
namespace morvane {
class JobThread;
namespace jobs {
class Job;
class JoinJob;
class RepairJob;
class VerifyJob;
}  // namespace jobs
}  // namespace morvane

// What the page says about a set that has no checksum list.
extern const char* const kNoChecksumListNote;

class UI_JoinWidget : public QWidget {
    Q_OBJECT
public:
    explicit UI_JoinWidget(QWidget* parent = nullptr);
    ~UI_JoinWidget() override;

    void layoutPage(int x, int y, int width, int height);

    // True from Join, Verify or Repair until the page has presented how the job ended.
    bool jobActive() const { return currentJob() != nullptr; }
    // True while the page reads a set off the window's thread: for a listing, or for the
    // checks a job makes before it starts.
    bool reading() const { return m_reading; }
    // While held, the end of the job is kept back; the last release presents it.
    void holdJobEnd();
    void releaseJobEnd();
    // Cancels the job, waits for it to end and drops its end unseen: the window is closing.
    void cancelJobAndWait();
    // Holds the job at its next check, and lets it go on.
    void pauseJob();
    void resumeJob();

    // Lists the chunk set in folder, or says why it cannot, once it is read.
    void listFolder(const QString& folder);

    // The main window, not owned; set by it right after construction. Its position and size
    // place the page's pop-ups over the window.
    UI_Tarnwick* m_mainWindow = nullptr;
    morvane::JobThread* m_JoinDoingThread;
    QString m_chunkFolder;
    QString m_sourceName;
    // The set as the page shows it: the quick check of the listing, and after Verify every
    // byte's. A join checks the set again when it starts.
    morvane::ChunkSetCheck m_check;
    // False when no set is listed.
    bool m_listingValid = false;
    // The listed set has recovery chunks: a join rebuilds what it lost, unless Verify found
    // that too much is lost (m_recovery, when m_recoveryAssessed).
    bool m_hasRecovery = false;
    morvane::RecoveryAssessment m_recovery;
    bool m_recoveryAssessed = false;

    QPushButton* input_joinfolderButton;
    QPushButton* verify_Button;
    QPushButton* repair_Button;
    QTreeView* input_joinTreeWidget;
    ChunkListModel* m_rows;
    // The set's checksum list, or what Verify found.
    QLabel* status_Label;
    QCheckBox* delete_chunks_CheckBox;
    QLabel* output_Label;
    PathField* output_LineEdit;
    QPushButton* output_joinfolderButton;
    QPushButton* m_join_Button;
    UI_ProgressWidget* m_ProgressWidget;
    UI_DialogWidget* m_DialogWidget;
    UI_inputpwdWidget* m_inputpwdWidget;
    QTimer* m_join_Timer1;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void input_joinfolderButton_slots();
    void output_joinfolderButton_slots();
    void verify_Button_slots();
    void repair_Button_slots();
    void m_join_Button_slots();
    void m_JoinDoingThread_Finished();
    void m_join_Timer1_slots();
    void m_ProgressWidget_cancelAsked();

private:
    // Runs work on a thread of its own and then, on the window's thread, then. A later read
    // makes an earlier one's then lapse. forJob: the read prepares a job, and the page takes
    // no new folder meanwhile.
    void readInBackground(std::function<void()> work, std::function<void()> then, bool forJob);
    void setReading(bool reading, bool forJob);
    // A job prepared off the window's thread, and what its checks found.
    template <typename J>
    struct Prepared {
        std::unique_ptr<J> job;
        morvane::Outcome outcome;
    };
    // Prepares a verify or a repair of folder off the window's thread, then runs it from slot
    // with the pop-up's caption, or says it failed under the title failed.
    template <typename J>
    void prepareThenStart(std::unique_ptr<J>* slot, const QString& folder, const QString& failed,
                          const QString& caption);
    // Whether Verify or Join may start: no job, no read, and a set listed; says why not.
    bool mayStartJob();
    // What a listing read, once it is read. suggestOutput: a first listing, which puts the
    // folder beside the set into the output field unless the user chose one.
    struct SetListing;
    void showSet(SetListing& listing, bool suggestOutput);
    // Shows m_check row by row, then the set's recovery chunks.
    void showListing();
    void addRecoveryRows(std::vector<ChunkRow>* rows) const;
    QString statusText() const;
    // Whether a join rebuilds the chunks that are lost or damaged.
    bool rebuildsLosses() const;
    void clearListing();
    // Lists the set anew after a job, with what the job's full read found.
    void relistAfterJob(const QString& chunkDir, const morvane::ChunkSetCheck& found);
    // The join's steps once the job's checks, made off the window's thread, are in.
    void joinPrepared(std::unique_ptr<morvane::jobs::JoinJob> job,
                      const morvane::Outcome& prepared);
    // Refuses a set with any fault that nothing rebuilds, naming each; true when the set may
    // be joined.
    bool refuseFaults();
    // Asks what the job needs before it may start: replacing an existing target, the set's
    // password. False when the user declined or the password did not unlock the set.
    bool answerJobQuestions(morvane::jobs::JoinJob& job);
    void startProgress(const QString& caption, morvane::jobs::Job* job);
    morvane::jobs::Job* currentJob() const;
    void presentJobEnd();
    void presentJoinEnd(std::unique_ptr<morvane::jobs::JoinJob> job);
    void presentVerifyEnd(std::unique_ptr<morvane::jobs::VerifyJob> job);
    void presentRepairEnd(std::unique_ptr<morvane::jobs::RepairJob> job);
    // Whether a job's chunk folder is the one the page lists now.
    bool listsFolderOf(const std::string& chunkDir) const;
    bool listsFolder(const QString& chunkDir) const;
    QPoint mainWindowPos() const;
    QWidget* messageParent() const;
    // What takes no input while a job runs.
    QWidget* busyWindow();
    // Whether to replace the target already there, naming what goes with it.
    QString replaceQuestion(const morvane::jobs::JoinJob& job) const;

    // The running job, or the one whose end is not presented yet: a join, a verify or a
    // repair.
    std::unique_ptr<morvane::jobs::JoinJob> m_job;
    std::unique_ptr<morvane::jobs::VerifyJob> m_verifyJob;
    std::unique_ptr<morvane::jobs::RepairJob> m_repairJob;
    // The recovery chunks in the listed folder as the listing found them: number, size.
    std::map<int, std::string> m_recoveryOnDisk;
    std::vector<int> m_recoveryListed;
    // Why the listed folder's manifest cannot be read; empty when it can.
    QString m_manifestProblem;
    bool m_reading = false;
    unsigned m_readGeneration = 0;
    std::vector<QThread*> m_readThreads;
    page::EndGate m_endGate;
    // The output folder was chosen, typed or used by a join: a new set keeps it.
    bool m_outputChosen = false;
};
