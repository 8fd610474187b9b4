#pragma once
// What the command line asks for, and the pieces of it that need arithmetic.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the job failed, the set is damaged, or the password is wrong
constexpr int kExitUsage = 2;

enum class Command { Split, Join, Check, Repair, Help, Version };
enum class PasswordSource { None, Terminal, Stdin };

struct Options {
    Command command = Command::Help;
    QString path;                 // SOURCE or CHUNKDIR as given
    QString outputDir;            // empty: the folder that holds path
    std::int64_t chunkSize = 0;   // -s; 0 when not given
    std::int64_t chunkCount = 0;  // -n; 0 when not given
    PasswordSource password = PasswordSource::None;
    bool deleteSource = false;
    bool deleteChunks = false;
    bool force = false;
    bool quiet = false;
    bool noVerify = false;              // join: skip the checksum list
    bool skipSpecial = false;           // split: leave FIFOs, sockets and devices out
    int recovery = 0;                   // split: recovery chunks
    bool quickCheck = false;            // check: fingerprints and sizes only
    Command helpAbout = Command::Help;  // with Command::Help: the command asked about
};

// arguments[0] is the program. False, with a one-line reason, on a usage error.
bool parseCommandLine(const QStringList& arguments, Options* options, QString* error);
// The whole help, or one command's.
QString helpText(Command about = Command::Help);

// A whole number of bytes with an optional suffix K, M or G (powers of 1024). False for
// anything else, for 0 and for sizes beyond the 64-bit range.
bool parseSize(const QString& text, std::int64_t* bytes);
// A chunk count from 1 to 2147483647.
bool parseCount(const QString& text, std::int64_t* count);

// The engine's password bytes (GB18030) of typed UTF-8 text: 1 to 31 bytes. False, with
// the reason, otherwise.
bool passwordBytesOf(std::string_view typed, std::string* bytes, std::string* why);

// One line of the progress display: bar, percentage, bytes done of total, rate.
std::string progressLine(std::int64_t done, std::int64_t total, double seconds);

}  // namespace morvane::cli
