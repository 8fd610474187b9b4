#include <windows.h>

#include <atomic>
#include <csignal>
#include <string>

#include "platform/console.h"
#include "platform/native_internal.h"

namespace morvane::plat {
namespace {

std::atomic<int> g_stopSignal{0};

// Console handlers run on a thread of their own; recording the request is all they do.
BOOL WINAPI onConsoleStop(DWORD type) {
    g_stopSignal.store(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    return TRUE;
}

// The console's echo mode outlives the process: it must come back even when the user breaks
// off at the prompt.
HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_savedMode = 0;

BOOL WINAPI restoreEcho(DWORD) {
    if (g_input != INVALID_HANDLE_VALUE) SetConsoleMode(g_input, g_savedMode);
    return FALSE;  // then the default: the process ends
}

bool readConsoleLine(HANDLE input, std::string* line, std::string* why) {
    std::wstring wide;
    for (;;) {
        wchar_t c = 0;
        DWORD got = 0;
        if (!ReadConsoleW(input, &c, 1, &got, nullptr)) {
            *why = detail::windowsMessage(GetLastError());
            return false;
        }
        if (got == 0 || c == L'\n') break;
        if (c != L'\r') wide.push_back(c);
    }
    line->clear();
    if (wide.empty()) return true;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                            static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        *why = "the typed text is not valid Unicode";
        return false;
    }
    line->resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                        line->data(), bytes, nullptr, nullptr);
    return true;
}

}  // namespace

void useUtf8Console() {
    SetConsoleOutputCP(CP_UTF8);
}

bool stderrIsTerminal() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode)) return false;
    // The redraw uses the erase-to-end escape, which older consoles print as text.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

StopRequests::StopRequests() {
    SetConsoleCtrlHandler(onConsoleStop, TRUE);
}

StopRequests::~StopRequests() {
    SetConsoleCtrlHandler(onConsoleStop, FALSE);
}

int StopRequests::received() {
    return g_stopSignal.load();
}

bool readTerminalLine(const char* prompt, std::string* line, std::string* why) {
    const HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE output =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD saved = 0;
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE ||
        !GetConsoleMode(input, &saved)) {
        *why = "cannot use the console: " + detail::windowsMessage(GetLastError());
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
        return false;
    }
    g_input = input;
    g_savedMode = saved;
    SetConsoleCtrlHandler(restoreEcho, TRUE);
    // Echo goes off before the prompt shows, so nothing typed after it can appear.
    bool ok = SetConsoleMode(input, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) |
                                        ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) != 0;
    if (!ok) *why = "cannot turn the console's echo off: " + detail::windowsMessage(GetLastError());
    DWORD written = 0;
    if (ok &&
        !WriteConsoleA(output, prompt, static_cast<DWORD>(std::char_traits<char>::length(prompt)),
                       &written, nullptr)) {
        *why = "cannot write to the console: " + detail::windowsMessage(GetLastError());
        ok = false;
    }
    if (ok && !readConsoleLine(input, line, why)) {
        *why = "cannot read from the console: " + *why;
        ok = false;
    }
    SetConsoleMode(input, saved);
    SetConsoleCtrlHandler(restoreEcho, FALSE);
    g_input = INVALID_HANDLE_VALUE;
    // The Enter that ended the line was not echoed.
    WriteConsoleA(output, "\r\n", 2, &written, nullptr);
    CloseHandle(input);
    CloseHandle(output);
    return ok;
}

bool readStdinLine(std::string* line, std::string* why) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    line->clear();
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_BROKEN_PIPE) break;  // the writer closed the pipe: the end
            *why = "cannot read the password from standard input: " + detail::windowsMessage(code);
            return false;
        }
        if (got == 0 || c == '\n') break;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

}  // namespace morvane::plat
