#pragma once
// What both pages need around a job: one job or chunk-set listing at a time across the
// pages, the user's text turned into the engine's fixed fields, and failures put into words.

#include <QString>
#include <cstddef>

#include "platform/outcome.h"

class QThread;

namespace page {

// The pages' workers share the one engine state, so each page registers its worker and
// checks every worker before it starts a job or lists a chunk set. GUI thread only.
void registerWorker(const QThread* worker);
void unregisterWorker(const QThread* worker);
bool anyWorkerRunning();

// The running job's progress as the pop-up shows it: not clamped, and 0 of an empty total.
int jobPercent();

// Copies text into a job field as engine text (GB18030). False, with a sentence for the
// user in *refusal, when it cannot be converted or does not fit; the field is then zeroed.
bool fillField(char* field, std::size_t fieldSize, const QString& text, const char* what,
               QString* refusal);

// The file concerned and the system's reason, for a message box whose title says what failed.
QString describe(const morvane::Outcome& outcome);

}  // namespace page
