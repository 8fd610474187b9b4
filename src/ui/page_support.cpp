#include "ui/page_support.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMimeData>
#include <QSettings>
#include <QUrl>
#include <QWidget>
#include <QWindow>

#include "engine/job_control.h"
#include "jobs/jobs.h"
#include "jobs/presentation.h"
#include "ui/message_box.h"

namespace page {

QString describe(const morvane::Outcome& outcome) {
    return QString::fromStdString(outcome.describe());
}

QString sizeText(std::int64_t bytes) {
    if (bytes < 0) return QStringLiteral("missing");
    return QString::fromStdString(morvane::jobs::formatBytes(bytes));
}

QString problemLines(const morvane::ChunkSetCheck& check) {
    const QString folder = morvane::jobs::displayText(check.chunkDir) + QLatin1Char('/');
    QStringList lines;
    for (const std::string& problem : check.problems()) {
        QString line = morvane::jobs::displayText(problem);
        if (line.startsWith(folder)) line.remove(0, folder.size());
        lines.append(line);
    }
    return lines.join(QLatin1Char('\n'));
}

QString elidePath(const QFontMetrics& metrics, const QString& path, int width) {
    return metrics.elidedText(path, Qt::ElideMiddle, std::max(0, width));
}

QString someNames(const QStringList& names, int shown) {
    if (names.size() <= shown) return names.join(QStringLiteral(", "));
    return names.mid(0, shown).join(QStringLiteral(", ")) +
           QStringLiteral(" and %1 more").arg(names.size() - shown);
}

void setWindowBusy(QWidget* window, bool busy) {
    if (window == nullptr) return;
    for (QWidget* child : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!child->isWindow()) child->setEnabled(!busy);
}

void showOver(QWidget* popup, QWidget* window) {
    QWindow* over = window != nullptr ? window->windowHandle() : nullptr;
    if (over != nullptr) {
        popup->winId();  // gives it its window handle before it is shown
        popup->windowHandle()->setTransientParent(over);
    }
    popup->show();
    if (over != nullptr) popup->windowHandle()->setTransientParent(over);
    popup->activateWindow();
}

bool askStopJob(QWidget* parent, morvane::JobControl& control) {
    control.requestPause();
    const bool stop = askCancelJob(parent);
    if (stop) control.requestCancel();
    control.resume();
    return stop;
}

QString droppedPath(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return QString();
    const QUrl url = mime->urls().constFirst();
    if (!url.isLocalFile()) return QString();
    const QString path = QDir::cleanPath(url.toLocalFile());
    return QFileInfo::exists(path) ? path : QString();
}

namespace {

// Named here rather than taken from the application object, so that every program that
// shows the pages shares the one place. The format is the system's own unless a program
// chose another: tests keep theirs in files of their own, since on Windows the native
// place is the registry, which every program of a user shares.
class Settings : public QSettings {
public:
    Settings()
        : QSettings(QSettings::defaultFormat(), QSettings::UserScope, QStringLiteral("Veltrane"),
                    QStringLiteral("Morvane")) {}
};

}  // namespace

QVariant setting(const QString& key, const QVariant& fallback) {
    return Settings().value(key, fallback);
}

void setSetting(const QString& key, const QVariant& value) {
    Settings().setValue(key, value);
}

QString dialogFolder() {
    const QString folder = setting(QStringLiteral("dialogs/folder")).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

void rememberDialogPath(const QString& path, bool isFolder) {
    if (path.isEmpty()) return;
    setSetting(QStringLiteral("dialogs/folder"),
               isFolder ? QDir::cleanPath(path) : QFileInfo(path).absolutePath());
}

}  // namespace page
