#pragma once
// Reading a password where no other user can see it: never from an argument.

#include <string>

namespace morvane::cli {

// One line from the controlling terminal with echo off, after prompt. False, with the
// reason, when there is no terminal or it cannot be read.
bool readTerminalLine(const char* prompt, std::string* line, std::string* why);
// The first line of standard input, without its line ending.
bool readStdinLine(std::string* line, std::string* why);

}  // namespace morvane::cli
