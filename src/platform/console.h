#pragma once
// The console the command line runs in: whether someone watches it, the stop keys, and
// reading a password where no other user can see it (never from an argument).

#include <string>

namespace morvane::plat {

// Makes the console show the UTF-8 text the program prints (Windows' console reads another
// code page unless told); nothing elsewhere.
void useUtf8Console();

// True when standard error is a terminal that draws the progress line's redraws (a carriage
// return, then an erase to the end of the line).
bool stderrIsTerminal();

// While one lives, the stop requests (SIGINT and SIGTERM; on Windows Ctrl-C, Ctrl-Break and
// the console closing) are only recorded, for the running job to cancel itself; before and
// after, they act as usual.
class StopRequests {
public:
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;
    // The signal number of the first request (SIGINT is 2, SIGTERM 15 on both systems), or 0.
    static int received();
};

// One line from the controlling terminal with echo off, after prompt. False, with the
// reason, when there is no terminal or it cannot be read. The line is UTF-8 on Windows,
// whatever the console's code page, so a password gives the same key on both systems.
bool readTerminalLine(const char* prompt, std::string* line, std::string* why);
// The first line of standard input, without its line ending.
bool readStdinLine(std::string* line, std::string* why);

}  // namespace morvane::plat
