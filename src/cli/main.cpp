// morvane-cli: splits a file or folder into a chunk set, joins a set back, checks a set.

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <string_view>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "platform/console.h"
#include "platform/encoding.h"

using namespace morvane::cli;

int main(int argc, char** argv) {
#ifndef _WIN32
    // Qt would quietly replace bytes that are not UTF-8, and the path would name another file.
    // (Windows hands Qt the command line in UTF-16, which holds every name.)
    for (int i = 1; i < argc; ++i) {
        std::string engine;
        if (!morvane::plat::toEngineText(std::string_view(argv[i]), &engine)) {
            std::fprintf(stderr, "morvane-cli: %s: the argument is not valid UTF-8 text\n",
                         argv[i]);
            return kExitUsage;
        }
    }
#endif
    morvane::plat::useUtf8Console();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("morvane-cli");
    QCoreApplication::setApplicationVersion(MORVANE_VERSION);

    Options options;
    QString error;
    if (!parseCommandLine(QCoreApplication::arguments(), &options, &error)) {
        std::fprintf(stderr, "morvane-cli: %s (see morvane-cli --help)\n",
                     error.toUtf8().constData());
        return kExitUsage;
    }
    switch (options.command) {
        case Command::Help:
            std::fputs(helpText(options.helpAbout).toUtf8().constData(), stdout);
            return kExitOk;
        case Command::Version:
            std::printf("morvane-cli %s\n", MORVANE_VERSION);
            return kExitOk;
        case Command::Split:
            return runSplit(options);
        case Command::Join:
            return runJoin(options);
        case Command::Check:
            return runCheck(options);
        case Command::Repair:
            return runRepair(options);
    }
    return kExitUsage;
}
