#include "ui/file_dialogs.h"

#include <utility>

namespace {

QString askWithRealDialog(const PathRequest& request) {
    if (request.kind == PathRequest::OpenFile)
        return QFileDialog::getOpenFileName(request.parent, request.caption, request.startDir,
                                            request.filter, nullptr, request.options);
    return QFileDialog::getExistingDirectory(request.parent, request.caption, request.startDir,
                                             request.options);
}

PathAsker& currentAsker() {
    static PathAsker asker;
    return asker;
}

QString ask(const PathRequest& request) {
    const PathAsker& asker = currentAsker();
    return asker ? asker(request) : askWithRealDialog(request);
}

}  // namespace

PathAsker setPathAsker(PathAsker asker) {
    return std::exchange(currentAsker(), std::move(asker));
}

QString askOpenFileName(QWidget* parent, const QString& caption, const QString& startDir,
                        const QString& filter) {
    PathRequest request;
    request.kind = PathRequest::OpenFile;
    request.parent = parent;
    request.caption = caption;
    request.startDir = startDir;
    request.filter = filter;
    return ask(request);
}

QString askExistingDirectory(QWidget* parent, const QString& caption, const QString& startDir,
                             QFileDialog::Options options) {
    PathRequest request;
    request.kind = PathRequest::ExistingFolder;
    request.parent = parent;
    request.caption = caption;
    request.startDir = startDir;
    request.options = options;
    return ask(request);
}
