#include "platform/console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace morvane::plat {
namespace {

// Echo must come back even when the user breaks off at the prompt.
int g_terminal = -1;
termios g_saved{};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void restoreAndRaise(int signal) {
    if (g_terminal >= 0) tcsetattr(g_terminal, TCSAFLUSH, &g_saved);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void catchSignals() {
    struct sigaction action {};
    action.sa_handler = restoreAndRaise;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &g_previous[i]);
}

void releaseSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &g_previous[i], nullptr);
}

bool readLine(int fd, std::string* line, std::string* why) {
    line->clear();
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *why = std::strerror(errno);
            return false;
        }
        if (got == 0 || c == '\n') break;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

// The signal that asked the running job to stop; 0 while none did.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};

extern "C" void onStopSignal(int signal) {
    g_stopSignal.store(signal);
}

}  // namespace

void useUtf8Console() {}

bool stderrIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

StopRequests::StopRequests() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_oldInt);
    sigaction(SIGTERM, &action, &g_oldTerm);
}

StopRequests::~StopRequests() {
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
}

int StopRequests::received() {
    return g_stopSignal.load();
}

bool readTerminalLine(const char* prompt, std::string* line, std::string* why) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *why = std::string("cannot use the terminal /dev/tty: ") + std::strerror(errno);
        return false;
    }
    termios quiet{};
    if (tcgetattr(fd, &g_saved) != 0) {
        *why = std::string("cannot use the terminal /dev/tty: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    g_terminal = fd;
    catchSignals();
    // Echo goes off before the prompt shows, so nothing typed after it can appear.
    bool ok = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    if (!ok) *why = std::string("cannot turn the terminal's echo off: ") + std::strerror(errno);
    if (ok && ::write(fd, prompt, std::strlen(prompt)) < 0) {
        *why = std::string("cannot write to the terminal: ") + std::strerror(errno);
        ok = false;
    }
    if (ok && !readLine(fd, line, why)) {
        *why = "cannot read from the terminal: " + *why;
        ok = false;
    }
    tcsetattr(fd, TCSANOW, &g_saved);
    releaseSignals();
    g_terminal = -1;
    ::close(fd);
    return ok;
}

bool readStdinLine(std::string* line, std::string* why) {
    if (readLine(STDIN_FILENO, line, why)) return true;
    *why = "cannot read the password from standard input: " + *why;
    return false;
}

}  // namespace morvane::plat
