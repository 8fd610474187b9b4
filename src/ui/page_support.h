#pragma once
// What both pages need around their job: failures put into words, sizes and chunk states
// in one style, the settings they keep, and the job's end kept back while a question about
// the job is open.

#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>

#include "engine/join.h"
#include "platform/outcome.h"

class QFontMetrics;
class QMimeData;
class QWidget;
namespace morvane {
class JobControl;
}

namespace page {

// The file concerned and the system's reason, for a message box whose title says what failed.
QString describe(const morvane::Outcome& outcome);

// A size as both front ends write it: "512 bytes", "3.00 MiB"; "missing" for -1.
QString sizeText(std::int64_t bytes);

// Why a set cannot be joined, one fault a line; a chunk is named by its file name alone.
QString problemLines(const morvane::ChunkSetCheck& check);

// path cut in the middle to fit width pixels, so that its start and its file name show.
QString elidePath(const QFontMetrics& metrics, const QString& path, int width);

// The one local path of a drag, or an empty text when it carries anything else.
QString droppedPath(const QMimeData* mime);

// The first few names, then how many more: "a, b, c and 12 more".
QString someNames(const QStringList& names, int shown = 5);

// While a job runs, its window takes no input but can still be moved and closed, which a
// modal pop-up would keep from it. The pop-ups have no parent and stay usable.
void setWindowBusy(QWidget* window, bool busy);
// Shows a parentless pop-up in front of window, kept there by the window system.
void showOver(QWidget* popup, QWidget* window);

// Asks whether to stop the job while it is held at its next check, so that it neither
// finishes nor deletes anything under the open question. True when the answer was to
// stop: the job is then cancelled.
bool askStopJob(QWidget* parent, morvane::JobControl& control);

// The program's own settings ("Veltrane", "Morvane"), kept across runs.
QVariant setting(const QString& key, const QVariant& fallback = QVariant());
void setSetting(const QString& key, const QVariant& value);
// Where the file dialogs start: the folder last used in one of them, else the home folder.
QString dialogFolder();
// Remembers the folder of a path chosen in a dialog: a folder itself, a file's folder.
void rememberDialogPath(const QString& path, bool isFolder);

// A job can end while the user is asked whether to cancel it. Its end is then presented
// after the answer, never under the open question.
class EndGate {
public:
    void hold() { ++holds_; }
    bool held() const { return holds_ > 0; }
    // An end arrived while held and is not presented yet.
    bool waiting() const { return waiting_; }
    // The job has ended: true when the end can be presented now.
    bool arrive() {
        waiting_ = held();
        return !waiting_;
    }
    // True when the last hold is gone and an end that arrived meanwhile is due now.
    bool release() {
        if (holds_ > 0) --holds_;
        if (held() || !waiting_) return false;
        waiting_ = false;
        return true;
    }
    // Forgets an end that arrived meanwhile: it will not be presented.
    void drop() { waiting_ = false; }

private:
    int holds_ = 0;
    bool waiting_ = false;
};

}  // namespace page
