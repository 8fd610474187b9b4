#include "ui/page_support.h"

#include <QList>
#include <QThread>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/engine_state.h"
#include "platform/encoding.h"

namespace page {
namespace {

QList<const QThread*>& workers() {
    static QList<const QThread*> list;
    return list;
}

QString sentence(const std::string& text) {
    QString s = QString::fromStdString(text);
    if (!s.isEmpty()) s[0] = s[0].toUpper();
    return s + QLatin1Char('.');
}

}  // namespace

void registerWorker(const QThread* worker) {
    workers().append(worker);
}

void unregisterWorker(const QThread* worker) {
    workers().removeAll(worker);
}

bool anyWorkerRunning() {
    for (const QThread* worker : workers())
        if (worker->isRunning()) return true;
    return false;
}

int jobPercent() {
    const std::int64_t done = morvane::getBytesDone();
    std::int64_t total = morvane::getBytesTotal();
    if (total <= 0) total = 1;
    return static_cast<int>(done * 100 / total);
}

bool fillField(char* field, std::size_t fieldSize, const QString& text, const char* what,
               QString* refusal) {
    std::memset(field, 0, fieldSize);
    std::string bytes;
    if (!morvane::plat::toEngineText(text, &bytes)) {
        *refusal = sentence(std::string(what) + " holds characters the program cannot store");
        return false;
    }
    const morvane::Outcome copied = morvane::copyToField(field, fieldSize, bytes, what);
    if (!copied) {
        // The text itself is no help here: it is the part that does not fit.
        *refusal = sentence(copied.reason);
        return false;
    }
    return true;
}

QString describe(const morvane::Outcome& outcome) {
    return QString::fromStdString(outcome.describe());
}

}  // namespace page
