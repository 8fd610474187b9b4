#pragma once
// Where the pages ask the user for a path. The program shows the real file dialogs; a test
// installs an asker of its own that answers with a path, or with an empty text for a cancel.

#include <QFileDialog>
#include <QString>
#include <functional>

class QWidget;

struct PathRequest {
    enum Kind { OpenFile, ExistingFolder };
    Kind kind = OpenFile;
    QWidget* parent = nullptr;
    QString caption;
    QString startDir;
    QString filter;  // OpenFile only
    QFileDialog::Options options;
};

// The chosen path, or an empty text when the user cancelled.
using PathAsker = std::function<QString(const PathRequest&)>;

// Installs asker for every later question and returns the one it replaces. An empty asker
// brings the real dialogs back.
PathAsker setPathAsker(PathAsker asker);

// The two questions the pages ask, with QFileDialog's own arguments.
QString askOpenFileName(QWidget* parent, const QString& caption, const QString& startDir,
                        const QString& filter);
QString askExistingDirectory(QWidget* parent, const QString& caption, const QString& startDir,
                             QFileDialog::Options options);
