#pragma once
// The program's 8-bit text is GB18030: GBK's own bytes for every character GBK has,
// and a code for every other character. These functions are the only way between
// that text and the file system's (UTF-8) or Qt's text.

#include <QString>
#include <cstddef>
#include <string>
#include <string_view>

namespace morvane::plat {

// File-system (UTF-8) text to engine text. False when a byte sequence is not valid UTF-8.
bool toEngineText(std::string_view native, std::string* out);
// Engine text to file-system text. False when the bytes are not valid GB18030.
bool toNativeText(std::string_view engine, std::string* out);

#ifdef _WIN32
// Engine text to the UTF-16 of the system's wide calls, and back. False when the text
// cannot be converted, or the system has no GB18030 converter and the text is not ASCII.
bool toWideText(std::string_view engine, std::wstring* out);
bool fromWideText(std::wstring_view wide, std::string* out);
#endif

// The same pair for Qt's text.
bool toEngineText(const QString& text, std::string* out);
QString fromEngineText(std::string_view engine);

// Byte length of the GB18030 character that starts at p (1, 2 or 4), never past end.
// Scans that look for the ASCII bytes "/" or "\\" must step by this, since the second
// byte of a two-byte character can be 0x5C.
std::size_t charLength(const char* p, const char* end);

}  // namespace morvane::plat
