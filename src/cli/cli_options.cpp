#include "cli/cli_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <cstdio>
#include <limits>
#include <vector>

#include "engine/limits.h"
#include "jobs/presentation.h"
#include "platform/encoding.h"

namespace morvane::cli {
namespace {

constexpr std::int64_t kMaxInt64 = std::numeric_limits<std::int64_t>::max();

struct OptionTable {
    QCommandLineOption size{
        {"s", "size"},
        "Chunk size in bytes, or with the suffix K, M or G, as in 100M; or the size of a "
        "medium: fat32 (4 GiB - 1), cd (700 MiB), dvd (4.7 GB), bd (25 GB), mail (18 MiB).",
        "SIZE"};
    QCommandLineOption count{{"n", "count"}, "Cut into at most COUNT chunks.", "COUNT"};
    QCommandLineOption output{{"o", "output"},
                              "Output folder (default: the folder that holds SOURCE or CHUNKDIR).",
                              "DIR"};
    QCommandLineOption askPassword{{"p", "password"},
                                   "Ask for the password on the terminal (twice for a split)."};
    QCommandLineOption stdinPassword{"password-stdin",
                                     "Read the password from the first line of standard input."};
    QCommandLineOption deleteSource{"delete-source", "Delete the source after a successful split."};
    QCommandLineOption deleteChunks{
        "delete-chunks", "Delete the chunk files after a successful join (not the manifest)."};
    QCommandLineOption force{{"f", "force"}, "Replace an existing chunk folder or joined output."};
    QCommandLineOption quiet{{"q", "quiet"}, "Show no progress bar."};
    QCommandLineOption recovery{{"r", "recovery"},
                                "Write N recovery chunks (0 to 32): any N lost or damaged files of "
                                "the set can then be rebuilt.",
                                "N"};
    QCommandLineOption skipSpecial{
        "skip-special", "Leave FIFOs, sockets and devices out of a folder instead of refusing it."};
    QCommandLineOption noVerify{"no-verify",
                                "Join without checking the bytes against the checksum list."};
    QCommandLineOption quick{"quick",
                             "Check only sizes and fingerprints, without reading every byte."};
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{"version", "Show the version and exit."};

    std::vector<const QCommandLineOption*> all() const {
        return {&size,         &count,        &output, &askPassword, &stdinPassword,
                &deleteSource, &deleteChunks, &force,  &quiet,       &recovery,
                &skipSpecial,  &noVerify,     &quick,  &help,        &version};
    }
};

// What each command takes besides -h.
std::vector<const QCommandLineOption*> optionsOf(const OptionTable& t, Command command) {
    switch (command) {
        case Command::Split:
            return {&t.size,         &t.count, &t.output, &t.askPassword, &t.stdinPassword,
                    &t.deleteSource, &t.force, &t.quiet,  &t.skipSpecial, &t.recovery};
        case Command::Join:
            return {&t.output, &t.askPassword, &t.stdinPassword, &t.deleteChunks,
                    &t.force,  &t.quiet,       &t.noVerify};
        case Command::Check:
            return {&t.quick, &t.quiet};
        case Command::Repair:
            return {&t.quiet};
        default:
            return t.all();
    }
}

Command commandNamed(const QString& name) {
    if (name == "split") return Command::Split;
    if (name == "join") return Command::Join;
    if (name == "check") return Command::Check;
    if (name == "repair") return Command::Repair;
    return Command::Help;
}

QString dashed(const QString& name) {
    return (name.size() == 1 ? "-" : "--") + name;
}

QString optionLabel(const QCommandLineOption& option) {
    QStringList names;
    for (const QString& name : option.names()) names << dashed(name);
    QString label = names.join(", ");
    if (!option.valueName().isEmpty()) label += ' ' + option.valueName();
    return label;
}

// The options that only some commands take; each must be refused by the others.
bool refuseOthers(const QCommandLineParser& parser, const OptionTable& table,
                  const QString& command, const std::vector<const QCommandLineOption*>& allowed,
                  QString* error) {
    const std::vector<const QCommandLineOption*> specific = {
        &table.size,          &table.count,        &table.output,       &table.askPassword,
        &table.stdinPassword, &table.deleteSource, &table.deleteChunks, &table.force,
        &table.quiet,         &table.noVerify,     &table.quick,        &table.skipSpecial};
    for (const QCommandLineOption* option : specific) {
        if (!parser.isSet(*option)) continue;
        bool ok = false;
        for (const QCommandLineOption* a : allowed) ok = ok || a == option;
        if (!ok) {
            *error = dashed(option->names().constFirst()) + " does not go with " + command;
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseSize(const QString& text, std::int64_t* bytes) {
    QString digits = text;
    std::int64_t unit = 1;
    if (!digits.isEmpty()) {
        switch (digits.back().toUpper().unicode()) {
            case 'K':
                unit = std::int64_t{1} << 10;
                break;
            case 'M':
                unit = std::int64_t{1} << 20;
                break;
            case 'G':
                unit = std::int64_t{1} << 30;
                break;
            default:
                break;
        }
        if (unit != 1) digits.chop(1);
    }
    if (digits.isEmpty()) return false;
    std::int64_t value = 0;
    for (QChar c : digits) {
        if (c < '0' || c > '9') return false;
        const int d = c.unicode() - '0';
        if (value > (kMaxInt64 - d) / 10) return false;
        value = value * 10 + d;
    }
    if (value == 0 || value > kMaxInt64 / unit) return false;
    *bytes = value * unit;
    return true;
}

bool parseCount(const QString& text, std::int64_t* count) {
    std::int64_t value = 0;
    if (!parseSize(text, &value) || !text.back().isDigit()) return false;
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
    *count = value;
    return true;
}

bool passwordBytesOf(std::string_view typed, std::string* bytes, std::string* why) {
    std::string engine;
    if (!plat::toEngineText(typed, &engine)) {
        *why = "the password is not valid UTF-8 text";
        return false;
    }
    if (engine.empty()) {
        *why = "the password is empty";
        return false;
    }
    if (engine.find('\0') != std::string::npos) {
        *why = "the password holds a NUL character";
        return false;
    }
    if (engine.size() >= kPasswordField) {
        *why = "the password is too long: " + std::to_string(engine.size()) +
               " bytes in GB18030, at most " + std::to_string(kPasswordField - 1);
        return false;
    }
    *bytes = std::move(engine);
    return true;
}

namespace {

// How split cuts: by size (a preset or a number) or by count, and its recovery chunks.
bool readSplitOptions(const QCommandLineParser& parser, const OptionTable& table, Options* o,
                      QString* error) {
    const bool bySize = parser.isSet(table.size);
    if (bySize == parser.isSet(table.count)) {
        *error = "split needs exactly one of -s SIZE and -n COUNT";
        return false;
    }
    const jobs::SizePreset* preset =
        bySize ? jobs::presetByKey(parser.value(table.size).toStdString()) : nullptr;
    if (preset != nullptr) {
        o->chunkSize = preset->bytes;
    } else if (bySize && !parseSize(parser.value(table.size), &o->chunkSize)) {
        *error = "bad chunk size '" + parser.value(table.size) +
                 "': a whole number of bytes of at least 1, with an optional K, M or G, "
                 "or fat32, cd, dvd, bd or mail";
        return false;
    }
    if (parser.isSet(table.recovery)) {
        bool ok = false;
        o->recovery = parser.value(table.recovery).toInt(&ok);
        if (!ok || o->recovery < 0 || o->recovery > 32) {
            *error = "bad recovery count '" + parser.value(table.recovery) +
                     "': a whole number from 0 to 32";
            return false;
        }
    }
    if (!bySize && !parseCount(parser.value(table.count), &o->chunkCount)) {
        *error = "bad chunk count '" + parser.value(table.count) +
                 "': a whole number from 1 to 2147483647";
        return false;
    }
    return true;
}

}  // namespace

bool parseCommandLine(const QStringList& arguments, Options* options, QString* error) {
    OptionTable table;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const QCommandLineOption* option : table.all()) parser.addOption(*option);
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    Options o;
    if (parser.isSet(table.help)) {
        // "split --help" is about split alone.
        if (!parser.positionalArguments().isEmpty())
            o.helpAbout = commandNamed(parser.positionalArguments().constFirst());
        *options = o;
        return true;
    }
    if (parser.isSet(table.version)) {
        o.command = Command::Version;
        *options = o;
        return true;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        *error = "no command given: split, join, check or repair";
        return false;
    }
    const QString& command = positional[0];
    const QString operand = command == "split" ? "SOURCE" : "CHUNKDIR";
    o.command = commandNamed(command);
    if (o.command == Command::Help) {
        *error = "unknown command '" + command + "': split, join, check or repair";
        return false;
    }
    if (!refuseOthers(parser, table, command, optionsOf(table, o.command), error)) return false;
    if (positional.size() < 2 || positional[1].isEmpty()) {
        *error = command + " needs " + operand;
        return false;
    }
    if (positional.size() > 2) {
        *error = "unexpected argument '" + positional[2] + "'";
        return false;
    }
    // Windows users type backslashes; the engine reads "/" on both systems.
    o.path = QDir::fromNativeSeparators(positional[1]);

    if (o.command == Command::Split && !readSplitOptions(parser, table, &o, error)) return false;
    if (parser.isSet(table.output)) {
        o.outputDir = QDir::fromNativeSeparators(parser.value(table.output));
        if (o.outputDir.isEmpty()) {
            *error = "-o needs a folder";
            return false;
        }
    }
    if (parser.isSet(table.askPassword) && parser.isSet(table.stdinPassword)) {
        *error = "-p and --password-stdin cannot be used together";
        return false;
    }
    if (parser.isSet(table.askPassword)) o.password = PasswordSource::Terminal;
    if (parser.isSet(table.stdinPassword)) o.password = PasswordSource::Stdin;
    o.deleteSource = parser.isSet(table.deleteSource);
    o.deleteChunks = parser.isSet(table.deleteChunks);
    o.force = parser.isSet(table.force);
    o.quiet = parser.isSet(table.quiet);
    o.noVerify = parser.isSet(table.noVerify);
    o.skipSpecial = parser.isSet(table.skipSpecial);
    o.quickCheck = parser.isSet(table.quick);
    *options = o;
    return true;
}

QString helpText(Command about) {
    const OptionTable table;
    // One command's usage, what it does and its options.
    auto commandHelp = [&](const char* usage, const char* what) {
        QString text = QString("Usage:\n  morvane-cli %1\n\n%2\n\nOptions:\n").arg(usage, what);
        std::vector<const QCommandLineOption*> options = optionsOf(table, about);
        options.push_back(&table.help);
        for (const QCommandLineOption* option : options)
            text += QString("  %1  %2\n").arg(optionLabel(*option), -22).arg(option->description());
        return text;
    };
    switch (about) {
        case Command::Split:
            return commandHelp(
                "split SOURCE (-s SIZE | -n COUNT) [-o DIR] [-p | --password-stdin]\n"
                "                    [-r N] [--delete-source] [--skip-special] [-f] [-q]",
                "Cuts the file or folder SOURCE into the chunk folder DIR/STEM_spt, where STEM\n"
                "is the name of SOURCE up to its first dot. A folder given through a link is\n"
                "split as the folder it names. --delete-source deletes only what is still as\n"
                "the split read it; whatever changed since is kept and named.");
        case Command::Join:
            return commandHelp(
                "join CHUNKDIR [-o DIR] [-p | --password-stdin] [--delete-chunks] [-f]\n"
                "                   [--no-verify] [-q]",
                "Rebuilds the file or folder of the chunk set in CHUNKDIR inside DIR, checking\n"
                "every byte against the set's checksum list.");
        case Command::Check:
            return commandHelp("check CHUNKDIR [--quick] [-q]",
                               "Reads every byte of the set against its checksum list and lists "
                               "every file\nas ok, changed, damaged, missing, empty, short or "
                               "long; exits 0 only when all are ok.");
        case Command::Repair:
            return commandHelp("repair CHUNKDIR [-q]",
                               "Writes the lost or damaged files of the set back into CHUNKDIR, "
                               "rebuilt from\nits recovery chunks.");
        default:
            break;
    }
    QString text =
        "Usage:\n"
        "  morvane-cli split SOURCE (-s SIZE | -n COUNT) [-o DIR] [-p | --password-stdin]\n"
        "                    [-r N] [--delete-source] [--skip-special] [-f] [-q]\n"
        "  morvane-cli join CHUNKDIR [-o DIR] [-p | --password-stdin] [--delete-chunks] [-f]\n"
        "                   [--no-verify] [-q]\n"
        "  morvane-cli check CHUNKDIR [--quick] [-q]\n"
        "  morvane-cli repair CHUNKDIR [-q]\n"
        "\n"
        "split cuts the file or folder SOURCE into the chunk folder DIR/STEM_spt, where STEM\n"
        "is the name of SOURCE up to its first dot.\n"
        "join rebuilds the file or folder of the chunk set in CHUNKDIR inside DIR.\n"
        "check reads every byte of the set against its checksum list and lists every file\n"
        "as ok, changed, damaged, missing, empty, short or long, and chunk files an older\n"
        "set left behind as stray; it exits 0 only when all are ok.\n"
        "A split writes the checksum list spt_checksums.sha256 beside the chunks, so\n"
        "'sha256sum -c spt_checksums.sha256' in the chunk folder checks a set without\n"
        "this program. A join checks every byte it reads against it.\n"
        "With -r N a split also writes N recovery chunks STEM_0.rec, ...: any N lost or\n"
        "damaged files of the set then come back; a join rebuilds them on the way, and\n"
        "repair writes them back into CHUNKDIR.\n"
        "A split or join builds its output under a hidden temporary name and renames it\n"
        "into place when it is complete; an existing output is replaced only with -f.\n"
        "\n"
        "Options:\n";
    for (const QCommandLineOption* option : table.all())
        text += QString("  %1  %2\n").arg(optionLabel(*option), -22).arg(option->description());
    text +=
        "\n"
        "Ctrl-C or SIGTERM cancels a running job; it removes what it had written.\n"
        "\n"
        "Exit status: 0 on success; 1 when the job failed, the set is damaged or the\n"
        "password is wrong; 2 on a usage error; 130 or 143 when SIGINT or SIGTERM\n"
        "cancelled the job.\n";
    return text;
}

std::string progressLine(std::int64_t done, std::int64_t total, double seconds) {
    constexpr int kWidth = 24;
    int percent = 100;
    if (total > 0) {
        const std::int64_t clamped = done < 0 ? 0 : (done > total ? total : done);
        // In floating point: clamped * 100 would overflow near the top of the range.
        percent =
            static_cast<int>(static_cast<double>(clamped) * 100.0 / static_cast<double>(total));
    }
    const int filled = percent * kWidth / 100;
    std::string line(1, '[');
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kWidth - filled), '.');
    line += "] ";
    char head[8];
    std::snprintf(head, sizeof head, "%3d%%", percent);
    line += head;
    line += "  " + jobs::formatBytes(done) + " / " + jobs::formatBytes(total);
    if (seconds > 0) {
        const double rate = static_cast<double>(done) / seconds;
        line += "  " + jobs::formatBytes(static_cast<std::int64_t>(rate)) + "/s";
    }
    return line;
}

}  // namespace morvane::cli
