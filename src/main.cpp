// Start-up: the application object, then the main window and the event loop.

#include <QApplication>

#include "ui/tarnwick.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Veltrane"));
    QCoreApplication::setApplicationName(QStringLiteral("Morvane"));
    // Qt plug-ins shipped next to the program are found there too.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    UI_Tarnwick window(nullptr);
    window.show();
    return QApplication::exec();
}
