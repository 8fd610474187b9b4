// Runs the real morvane-cli on real files.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <openssl/evp.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "fault_util.h"
#include "temp_dir.h"

#ifndef _WIN32
extern char** environ;
#endif

using morvane::test::exists;
using morvane::test::patternBytes;
using morvane::test::readFile;
using morvane::test::TempDir;
using morvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

#ifdef _WIN32
std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

// The program by a full Windows name, so that a child given another folder still finds it.
const std::wstring& program() {
    static const std::wstring path = [] {
        const std::wstring given = wide(MORVANE_CLI);
        std::wstring full(32768, L'\0');
        full.resize(
            GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
        return full;
    }();
    return path;
}

// One argument quoted so that the C runtime's parser gives it back unchanged.
void appendArgument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (auto it = arg.begin();; ++it) {
        std::size_t slashes = 0;
        for (; it != arg.end() && *it == L'\\'; ++it) ++slashes;
        if (it == arg.end()) {
            line.append(slashes * 2, L'\\');
            break;
        }
        line.append(*it == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        line += *it;
    }
    line += L'"';
}

HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.empty() ? L"NUL" : wide(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The program started with its standard streams on files; an empty name is the null device.
PROCESS_INFORMATION start(std::vector<std::string> args, const std::string& in,
                          const std::string& out, const std::string& err,
                          const std::string& cwd = "") {
    std::wstring line;
    appendArgument(line, program());
    for (const std::string& a : args) appendArgument(line, wide(a));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(in, GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = inheritable(out, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = inheritable(err, GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process{};
    const std::wstring folder = wide(cwd);
    if (!CreateProcessW(program().c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        cwd.empty() ? nullptr : folder.c_str(), &startup, &process))
        process = PROCESS_INFORMATION{};
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return process;
}

// Its exit code once it has ended; -1 when it never started.
int waitFor(PROCESS_INFORMATION& process) {
    if (process.hProcess == nullptr) return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// The C runtime writes text streams with CRLF line ends there.
std::string lineFeeds(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

Result cli(std::vector<std::string> args, const std::string& input = "",
           const std::string& cwd = "") {
    TempDir io;
    writeFile(io / "in", input);
    PROCESS_INFORMATION process = start(args, io / "in", io / "out", io / "err", cwd);
    Result run;
    run.status = waitFor(process);
    run.out = lineFeeds(readFile(io / "out"));
    run.err = lineFeeds(readFile(io / "err"));
    return run;
}

// What sha256sum -c does with the set's list, where there is no sha256sum: each named file
// hashed with libcrypto, apart from the program. A line whose name holds "\\" or a newline
// starts with "\\" and escapes them.
bool sha256sumAccepts(const std::string& chunkDir) {
    std::istringstream lines(readFile(chunkDir + "/spt_checksums.sha256"));
    bool any = false;
    for (std::string line; std::getline(lines, line); any = true) {
        const bool escaped = !line.empty() && line[0] == '\\';
        if (escaped) line.erase(0, 1);
        if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
            return false;
        std::string name;
        for (std::size_t i = 66; i < line.size(); ++i) {
            if (!escaped || line[i] != '\\') {
                name += line[i];
            } else if (++i < line.size() && (line[i] == '\\' || line[i] == 'n')) {
                name += line[i] == 'n' ? '\n' : '\\';
            } else {
                return false;
            }
        }
        const fs::path file = morvane::test::fsPath(chunkDir + "/" + name);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return false;
        const std::string bytes = readFile(chunkDir + "/" + name);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
            return false;
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[digest[i] >> 4];
            hex += digits[digest[i] & 15];
        }
        std::string listed = line.substr(0, 64);
        for (char& c : listed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (listed != hex) return false;
    }
    return any;
}
#else
std::vector<char*> argvOf(std::vector<std::string>& args) {
    args.insert(args.begin(), MORVANE_CLI);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

Result cli(std::vector<std::string> args, const std::string& input = "",
           const std::string& cwd = "") {
    TempDir io;
    writeFile(io / "in", input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (io / "in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (io / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (io / "err").c_str(), O_WRONLY | O_CREAT, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char*> argv = argvOf(args);
    pid_t pid = 0;
    Result run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &run.status, 0) == pid && WIFEXITED(run.status))
        run.status = WEXITSTATUS(run.status);
    posix_spawn_file_actions_destroy(&actions);
    run.out = readFile(io / "out");
    run.err = readFile(io / "err");
    return run;
}

// On a terminal of its own; each line is typed after the next "Password" prompt.
Result onTerminal(std::vector<std::string> args, const std::vector<std::string>& lines) {
    std::vector<char*> argv = argvOf(args);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    Result run;
    std::size_t typed = 0, seen = 0;
    for (char buffer[512];;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        run.out.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t at; (at = run.out.find("Password", seen)) != std::string::npos;) {
            seen = at + 1;
            if (typed == lines.size()) continue;
            const std::string line = lines[typed++] + "\n";
            if (write(master, line.data(), line.size()) < 0) break;
        }
    }
    close(master);
    if (waitpid(pid, &run.status, 0) == pid && WIFEXITED(run.status))
        run.status = WEXITSTATUS(run.status);
    return run;
}
#endif

std::map<std::string, std::string> treeOf(const std::string& root) {
    using morvane::test::fsPath;
    using morvane::test::fsText;
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(fsPath(root)))
        if (e.is_regular_file())
            tree[fsText(fs::relative(e.path(), fsPath(root)))] = readFile(fsText(e.path()));
    return tree;
}

bool oneErrorLine(const Result& run) {
    return run.err.rfind("morvane-cli: ", 0) == 0 && run.err.find('\n') == run.err.size() - 1;
}

}  // namespace

TEST(CliRoundTrip, FileSplitsByCountAndSizeAndJoinsBack) {
    TempDir dir;
    writeFile(dir / "ten.txt", "0123456789");
    Result run =
        cli({"split", "ten.txt", "-n", "3"}, "", dir.path());  // default: beside the source
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir / "ten_spt\n");
    EXPECT_EQ(readFile(dir / "ten_spt/ten_0.spt"), "0123");
    EXPECT_EQ(readFile(dir / "ten_spt/ten_1.spt"), "4567");
    EXPECT_EQ(readFile(dir / "ten_spt/ten_2.spt"), "89");
    EXPECT_FALSE(exists(dir / "ten_spt/ten_3.spt"));

    const std::string data = patternBytes(300000, 7);
    writeFile(dir / "big.data.bin", data);
    fs::create_directory(dir / "chunks");
    ASSERT_EQ(cli({"split", dir / "big.data.bin", "-s", "100K", "-o", dir / "chunks"}).status, 0);
    EXPECT_EQ(fs::file_size(dir / "chunks/big_spt/big_2.spt"), 300000u - 2 * 102400);
    fs::create_directory(dir / "out");
    run = cli({"join", dir / "chunks/big_spt", "-o", dir / "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir / "out/big.data.bin\n");
    EXPECT_EQ(readFile(dir / "out/big.data.bin"), data);
}

TEST(CliRoundTrip, NestedFolderWithNamesOutsideAscii) {
    MORVANE_NEEDS_GB18030();
    TempDir dir;
    const std::string src = dir / "ñandú";
    fs::create_directories(morvane::test::fsPath(src + "/한글/深"));
    writeFile(src + "/é.bin", patternBytes(3, 1));
    writeFile(src + "/空", "");
    writeFile(src + "/한글/乗換.txt", patternBytes(5000, 2));
    writeFile(src + "/한글/深/x", patternBytes(9000, 3));
    Result run = cli({"split", src, "-s", "4K", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir / "ñandú_spt\n");
    fs::create_directory(dir / "out");
    run = cli({"join", dir / "ñandú_spt", "-o", dir / "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(treeOf(dir / "out/ñandú"), treeOf(src));
    EXPECT_EQ(treeOf(src).size(), 4u);
}

TEST(CliExitStatus, UsageErrorsTwoFailuresOne) {
    TempDir dir;
    writeFile(dir / "f", "abc");
    fs::create_directories(dir / "tree/sub");
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"slice", dir / "f"},
        {"split", dir / "f"},
        {"split", dir / "f", "-s", "1K", "-n", "2"},
        {"split", dir / "f", "-s", "0"},
        {"split", dir / "f", "-n", "1.5"},
        {"split", dir / "f", "-s", "1", "-p", "--password-stdin"},
        {"split", dir / "tree", "-s", "1", "-o", dir / "tree/sub"},
        {"join", dir / "f", "-s", "1"},
        {"check", dir / "f", "extra"},
        {"check", "--bogus", dir / "f"},
    };
    for (const auto& args : usage) {
        const Result run = cli(args);
        EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]) << " " << run.err;
        EXPECT_TRUE(oneErrorLine(run)) << run.err;
    }
    EXPECT_FALSE(exists(dir / "tree/sub/tree_spt"));

    Result run = cli({"split", dir / "none", "-s", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morvane-cli: " + dir / "none" + ": No such file or directory\n");
    EXPECT_EQ(cli({"check", dir / "tree"}).status, 1);
    EXPECT_EQ(cli({"join", dir / "tree"}).status, 1);
    EXPECT_NE(cli({"--help"}).out.find("morvane-cli split SOURCE"), std::string::npos);
    EXPECT_EQ(cli({"--version"}).out, "morvane-cli " MORVANE_VERSION "\n");
}

TEST(CliJoin, ExistingOutputIsReplacedOnlyWithForce) {
    TempDir dir;
    writeFile(dir / "a.txt", "new bytes");
    ASSERT_EQ(cli({"split", dir / "a.txt", "-s", "4"}).status, 0);
    fs::create_directory(dir / "out");
    writeFile(dir / "out/a.txt", "old");
    const Result run = cli({"join", dir / "a_spt", "-o", dir / "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("already exists"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(dir / "out/a.txt"), "old");
    EXPECT_EQ(cli({"join", dir / "a_spt", "-o", dir / "out", "-f"}).status, 0);
    EXPECT_EQ(readFile(dir / "out/a.txt"), "new bytes");
}

TEST(CliPassword, StdinProtectsAndUnlocks) {
    TempDir dir;
    const std::string data = patternBytes(5000, 4);
    writeFile(dir / "p.bin", data);
    EXPECT_EQ(cli({"split", dir / "p.bin", "-s", "1K", "--password-stdin"}, "\n").status, 2);
    EXPECT_FALSE(exists(dir / "p_spt"));
    ASSERT_EQ(cli({"split", dir / "p.bin", "-s", "1K", "--password-stdin"}, "se same\nx\n").status,
              0);
    EXPECT_NE(cli({"check", dir / "p_spt"}).out.find("protected: yes, encrypted"),
              std::string::npos);
    EXPECT_EQ(readFile(dir / "p_spt/p_0.spt").size(), 1024u);
    EXPECT_EQ(readFile(dir / "p_spt/p_0.spt").find(data.substr(0, 16)), std::string::npos);
    // Anyone can check the encrypted set, without the password and without this program.
#ifdef _WIN32
    EXPECT_TRUE(sha256sumAccepts(dir / "p_spt"));
#else
    EXPECT_EQ(
        std::system(("cd '" + dir / "p_spt" + "' && sha256sum --quiet -c " + "spt_checksums.sha256")
                        .c_str()),
        0);
#endif

    fs::create_directory(dir / "out");
    Result run = cli({"join", dir / "p_spt", "-o", dir / "out"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("protected"), std::string::npos) << run.err;
    run = cli({"join", dir / "p_spt", "-o", dir / "out", "--password-stdin"}, "se same \n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morvane-cli: " + dir / "p_spt" + ": wrong password\n");
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    run = cli({"join", dir / "p_spt", "-o", dir / "out", "--password-stdin"}, "se same");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir / "out/p.bin"), data);
}

// A protected set whose manifest is lost learns that it is protected only from the rebuilt
// manifest: the password given to the join is tried then, and a wrong one writes nothing.
TEST(CliPassword, AProtectedSetWithItsManifestLostJoinsWithItsPassword) {
    TempDir dir;
    const std::string data = patternBytes(9000, 5);
    writeFile(dir / "p.bin", data);
    ASSERT_EQ(
        cli({"split", dir / "p.bin", "-s", "2K", "-r", "1", "--password-stdin", "-q"}, "key\n")
            .status,
        0);
    fs::remove(dir / "p_spt/spt_config.qorvelx");
    fs::create_directory(dir / "out");
    Result run = cli({"join", dir / "p_spt", "-o", dir / "out", "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("give its password"), std::string::npos) << run.err;
    run = cli({"join", dir / "p_spt", "-o", dir / "out", "-q", "--password-stdin"}, "lock\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("wrong password"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    run = cli({"join", dir / "p_spt", "-o", dir / "out", "-q", "--password-stdin"}, "key\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir / "out/p.bin"), data);
}

TEST(CliPassword, TerminalAsksTwiceWithoutEchoAndShowsProgress) {
    MORVANE_SKIP_ON_WINDOWS("the prompt test runs the program on a POSIX pseudo-terminal");
#ifndef _WIN32
    TempDir dir;
    writeFile(dir / "t.bin", patternBytes(4000, 5));
    Result run = onTerminal({"split", dir / "t.bin", "-s", "1K", "-p"}, {"open乗", "other"});
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_FALSE(exists(dir / "t_spt"));

    run = onTerminal({"split", dir / "t.bin", "-s", "1K", "-p"}, {"open乗", "open乗"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("open"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("100%"), std::string::npos) << run.out;
    EXPECT_EQ(onTerminal({"split", dir / "t.bin", "-s", "1K", "-q"}, {}).out.find("%"),
              std::string::npos);
    fs::create_directory(dir / "out");
    run = cli({"join", dir / "t_spt", "-o", dir / "out", "--password-stdin"}, "open乗\n");
    EXPECT_EQ(run.status, 0) << run.err;
#endif
}

TEST(CliDamage, MissingAndChangedChunksAreReported) {
    TempDir dir;
    writeFile(dir / "d.bin", patternBytes(3000, 6));
    ASSERT_EQ(cli({"split", dir / "d.bin", "-s", "1000"}).status, 0);
    EXPECT_EQ(cli({"check", dir / "d_spt"}).status, 0);
    fs::remove(dir / "d_spt/d_1.spt");
    std::string chunk = readFile(dir / "d_spt/d_2.spt");
    chunk[0] ^= 1;
    writeFile(dir / "d_spt/d_2.spt", chunk);

    Result run = cli({"check", dir / "d_spt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("0          1000  ok       " + dir / "d_spt/d_0.spt"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("1             -  missing  " + dir / "d_spt/d_1.spt"),
              std::string::npos);
    EXPECT_NE(run.out.find("2          1000  changed  "), std::string::npos);
    EXPECT_NE(run.out.find("source: d.bin\ntotal size: 3000 bytes"), std::string::npos);

    fs::create_directory(dir / "out");
    run = cli({"join", dir / "d_spt", "-o", dir / "out", "--delete-chunks"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir / "d_spt/d_1.spt"), std::string::npos) << run.err;
    EXPECT_TRUE(exists(dir / "d_spt/d_0.spt"));  // nothing deleted after a failed join
}

TEST(CliDelete, SourceAndChunksGoOnlyAfterSuccess) {
    TempDir dir;
    writeFile(dir / "f.bin", "file");
    // An output folder that cannot be made, below a file.
    ASSERT_EQ(cli({"split", dir / "f.bin", "-s", "2", "-o", dir / "f.bin/none", "--delete-source"})
                  .status,
              1);
    EXPECT_TRUE(exists(dir / "f.bin"));
    ASSERT_EQ(cli({"split", dir / "f.bin", "-s", "2", "--delete-source"}).status, 0);
    EXPECT_FALSE(exists(dir / "f.bin"));
    EXPECT_EQ(readFile(dir / "f_spt/f_1.spt"), "le");

    fs::create_directories(dir / "tree/sub");
    writeFile(dir / "tree/sub/x", patternBytes(700, 8));
    writeFile(dir / "tree/y", "y");
    const auto tree = treeOf(dir / "tree");
    ASSERT_EQ(cli({"split", dir / "tree", "-n", "3", "--delete-source"}).status, 0);
    EXPECT_FALSE(exists(dir / "tree"));
    ASSERT_EQ(cli({"join", dir / "tree_spt", "--delete-chunks"}).status, 0);
    EXPECT_EQ(treeOf(dir / "tree"), tree);
    EXPECT_EQ(treeOf(dir / "tree_spt").size(), 3u);
    EXPECT_TRUE(exists(dir / "tree_spt/spt_config.qorvelx"));
    EXPECT_TRUE(exists(dir / "tree_spt/spt_checksums.sha256"));
}

// A file changed at the moment the split has read it, while the rest of the folder is still
// being read: the real program must keep it, name it, and fail with the set whole.
TEST(CliDelete, WhatChangedAfterTheSplitReadItIsKeptAndNamed) {
    MORVANE_SKIP_ON_WINDOWS("Windows tells no one the moment a reader closes a file");
#ifndef _WIN32
    for (const std::string kind : {"append", "rewrite", "replace", "added"}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        const std::string src = dir / "src";
        fs::create_directories(src);
        for (const char* name : {"a", "b", "c", "d"}) writeFile(src + "/" + name, "");
        // The first file of the walk is the one changed; the others give the change time.
        std::string first;
        if (DIR* d = ::opendir(src.c_str())) {
            while (const dirent* e = ::readdir(d))
                if (e->d_name[0] != '.') {
                    first = e->d_name;
                    break;
                }
            ::closedir(d);
        }
        ASSERT_FALSE(first.empty());
        const std::string victim = src + "/" + first;
        for (const char* name : {"a", "b", "c", "d"})
            writeFile(src + "/" + name, name == first ? "first" : patternBytes(4 << 20, 5));
        const std::string added = src + "/newcomer";

        const int watch = inotify_init1(0);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, victim.c_str(), IN_CLOSE_NOWRITE), 0);
        TempDir io;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (io / "out").c_str(), O_WRONLY | O_CREAT,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, (io / "err").c_str(), O_WRONLY | O_CREAT,
                                         0600);
        std::vector<std::string> args = {"split", src, "-s", "1M", "-q", "--delete-source"};
        std::vector<char*> argv = argvOf(args);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        pollfd ready{watch, POLLIN, 0};
        const bool closed = poll(&ready, 1, 20000) == 1;
        if (closed) {
            if (kind == "append") {
                writeFile(victim, "first and more");
            } else if (kind == "rewrite") {
                struct stat st {};
                ::stat(victim.c_str(), &st);
                const int fd = ::open(victim.c_str(), O_WRONLY);
                EXPECT_EQ(::pwrite(fd, "FIRST", 5, 0), 5);
                const struct timespec times[2] = {st.st_atim, st.st_mtim};
                ::futimens(fd, times);
                ::close(fd);
            } else if (kind == "replace") {
                writeFile(dir / "other", "other");
                fs::rename(dir / "other", victim);
            } else {
                writeFile(added, "new");
            }
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ::close(watch);
        ASSERT_TRUE(closed) << "the split never read " << victim;
        ASSERT_TRUE(WIFEXITED(status));
        const std::string err = readFile(io / "err");
        EXPECT_EQ(WEXITSTATUS(status), 1) << err;
        const std::string changed = kind == "added" ? added : victim;
        EXPECT_NE(err.find(changed + ": kept"), std::string::npos) << err;
        EXPECT_NE(err.find("complete at " + dir / "src_spt"), std::string::npos) << err;
        EXPECT_EQ(readFile(io / "out"), dir / "src_spt\n");
        EXPECT_TRUE(exists(changed));
        ASSERT_EQ(cli({"join", dir / "src_spt", "-o", dir / "back", "-q"}).status, 0);
        EXPECT_EQ(readFile(dir / "back/src/" + first), "first");
        EXPECT_FALSE(exists(dir / "back/src/newcomer"));
    }
#endif
}

TEST(CliHelp, EachCommandShowsItsOwnUsage) {
    const std::vector<std::string> commands = {"split", "join", "check", "repair"};
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        for (const char* flag : {"--help", "-h"}) {
            const Result run = cli({command, flag});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_NE(run.out.find("Usage:\n  morvane-cli " + command + " "), std::string::npos)
                << run.out;
            for (const std::string& other : commands) {
                if (other == command) continue;
                EXPECT_EQ(run.out.find("morvane-cli " + other + " "), std::string::npos) << run.out;
            }
        }
    }
    EXPECT_NE(cli({"split", "--help"}).out.find("--delete-source"), std::string::npos);
    EXPECT_EQ(cli({"check", "--help"}).out.find("--delete-source"), std::string::npos);
    // Without a command, the whole help.
    const Result all = cli({"--help"});
    EXPECT_EQ(all.status, 0);
    for (const std::string& command : commands)
        EXPECT_NE(all.out.find("morvane-cli " + command + " "), std::string::npos);
}

TEST(CliFaults, AJobWithoutRoomIsRefusedBeforeWritingAndNothingIsDeleted) {
    morvane::test::SmallDisk disk("256k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    TempDir dir;
    const std::string data = patternBytes(1 << 20, 3);
    writeFile(dir / "big.bin", data);
    Result run =
        cli({"split", dir / "big.bin", "-s", "100K", "-o", disk.path(), "--delete-source"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(oneErrorLine(run)) << run.err;
    EXPECT_NE(run.err.find(disk.path() + "/big_spt: there is no room for the chunk set: it needs "
                                         "1.0"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(", and the file system has 256.00 KiB free"), std::string::npos)
        << run.err;
    EXPECT_EQ(readFile(dir / "big.bin"), data);
    EXPECT_TRUE(fs::is_empty(disk.path()));  // no chunk folder, whole or partial

    ASSERT_EQ(cli({"split", dir / "big.bin", "-s", "100K"}).status, 0);
    run = cli({"join", dir / "big_spt", "-o", disk.path(), "-f", "--delete-chunks"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morvane-cli: " + disk.path() +
                           "/big.bin: there is no room for the joined output: it needs 1.00 "
                           "MiB, and the file system has 256.00 KiB free\n");
    EXPECT_TRUE(exists(dir / "big_spt/big_10.spt"));
    EXPECT_TRUE(fs::is_empty(disk.path()));

    // Small files take whole blocks: 200 of them fill the disk that their bytes would not.
    fs::create_directory(dir / "many");
    for (int i = 0; i < 200; ++i)
        writeFile(dir / ("many/" + std::to_string(i)), patternBytes(400, i));
    ASSERT_EQ(cli({"split", dir / "many", "-s", "1M"}).status, 0);
    run = cli({"join", dir / "many_spt", "-o", disk.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(oneErrorLine(run)) << run.err;
    EXPECT_NE(run.err.find("there is no room for the joined output"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(disk.path()));
}

TEST(CliFaults, ArgumentsThatAreNotUtf8AreRefused) {
    MORVANE_SKIP_ON_WINDOWS("Windows names and command lines are UTF-16 text: none is no text");
    TempDir dir;
    writeFile(dir / "caf\xE9", "latin-1 name");
    const Result run = cli({"split", dir / "caf\xE9", "-s", "4"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(oneErrorLine(run)) << run.err;
    EXPECT_FALSE(exists(dir / "caf_spt"));
}

#ifndef _WIN32
namespace {

// Starts the program, sends sig once it has begun writing what watched names, and waits.
Result stoppedBySignal(std::vector<std::string> args, const std::string& watched, int sig) {
    TempDir io;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (io / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (io / "err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> argv = argvOf(args);
    pid_t pid = 0;
    Result run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return run;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 10000 && !exists(watched); ++i) usleep(1000);
    usleep(20000);  // well inside the job
    kill(pid, sig);
    if (waitpid(pid, &run.status, 0) == pid)
        run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
    run.out = readFile(io / "out");
    run.err = readFile(io / "err");
    return run;
}

}  // namespace

// A job stopped by SIGINT or SIGTERM removes what it wrote and deletes nothing it was told
// to delete after a success. Thousands of flushed files keep each job busy long enough.
#endif

TEST(CliCancel, SignalsStopTheJobAndLeaveNothingOfIt) {
    MORVANE_SKIP_ON_WINDOWS(morvane::test::kWhyNoSignals);
#ifndef _WIN32
    TempDir dir;
    const std::string data = patternBytes(20000, 8);
    writeFile(dir / "s.bin", data);
    Result run = stoppedBySignal({"split", dir / "s.bin", "-s", "1", "-q", "--delete-source"},
                                 dir / ".s_spt.morvane-partial", SIGINT);
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_EQ(run.err, "morvane-cli: cancelled\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(fs::directory_iterator(dir.path())->path().filename(), "s.bin");  // alone
    EXPECT_EQ(readFile(dir / "s.bin"), data);

    fs::create_directory(dir / "tree");
    for (int i = 0; i < 5000; ++i) writeFile(dir / ("tree/" + std::to_string(i)), "ten bytes.");
    ASSERT_EQ(cli({"split", dir / "tree", "-n", "1", "-q"}).status, 0);
    fs::create_directory(dir / "out");
    run = stoppedBySignal({"join", dir / "tree_spt", "-o", dir / "out", "-q", "--delete-chunks"},
                          dir / "out/.tree.morvane-partial", SIGTERM);
    EXPECT_EQ(run.status, 143) << run.err;
    EXPECT_EQ(run.err, "morvane-cli: cancelled\n");
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    EXPECT_EQ(cli({"check", dir / "tree_spt"}).status, 0);  // every chunk is still there
#endif
}

namespace {

#ifdef _WIN32
// Starts the program and ends it at once, as a kill does, after the given time.
void killedAfter(std::vector<std::string> args, int microseconds) {
    PROCESS_INFORMATION process = start(std::move(args), "", "", "");
    if (process.hProcess == nullptr) return;
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    TerminateProcess(process.hProcess, 137);
    waitFor(process);
}
#else
// Starts the program and kills it with SIGKILL after the given time.
void killedAfter(std::vector<std::string> args, int microseconds) {
    std::vector<char*> argv = argvOf(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        usleep(static_cast<useconds_t>(microseconds));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}
#endif

// The names in folder, hidden ones included, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Whenever a job dies, the final name holds nothing new or the whole result: the old set
// or file it was replacing, or the complete new one. The next run cleans up and succeeds.
TEST(CliAtomic, KilledAtAnyMomentLeavesTheOldOrTheWholeNew) {
    TempDir dir;
    const std::string oldData = patternBytes(48 << 20, 1);
    const std::string newData = patternBytes(48 << 20, 2);
    writeFile(dir / "v.bin", oldData);
    ASSERT_EQ(cli({"split", dir / "v.bin", "-s", "1M", "-q"}).status, 0);
    writeFile(dir / "v.bin", newData);
    fs::create_directory(dir / "out");
    std::mt19937 random(20261207);
    for (int round = 0; round < 6; ++round) {
        const int delay = static_cast<int>(random() % 120000);
        SCOPED_TRACE("killed after " + std::to_string(delay) + " us");
        killedAfter({"split", dir / "v.bin", "-s", "1M", "-q", "-f"}, delay);
        ASSERT_EQ(cli({"check", dir / "v_spt"}).status, 0);
        const Result joined = cli({"join", dir / "v_spt", "-o", dir / "out", "-q", "-f"});
        ASSERT_EQ(joined.status, 0) << joined.err;
        const std::string got = readFile(dir / "out/v.bin");
        EXPECT_TRUE(got == oldData || got == newData);

        killedAfter({"join", dir / "v_spt", "-o", dir / "out", "-q", "-f"}, delay);
        const std::string again = readFile(dir / "out/v.bin");
        EXPECT_TRUE(again == oldData || again == newData);
    }
    ASSERT_EQ(cli({"split", dir / "v.bin", "-s", "1M", "-q", "-f"}).status, 0);
    ASSERT_EQ(cli({"join", dir / "v_spt", "-o", dir / "out", "-q", "-f"}).status, 0);
    EXPECT_EQ(readFile(dir / "out/v.bin"), newData);
    // A clean run removed whatever the killed ones left under their temporary names.
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"out", "v.bin", "v_spt"}));
    EXPECT_EQ(namesIn(dir / "out"), std::vector<std::string>{"v.bin"});
}

TEST(CliAtomic, AnExistingSetIsReplacedOnlyWithForce) {
    TempDir dir;
    writeFile(dir / "movie.part1.mkv", patternBytes(3000, 1));
    writeFile(dir / "movie.part2.mkv", patternBytes(2000, 2));
    ASSERT_EQ(
        cli({"split", dir / "movie.part1.mkv", "-s", "1K", "-o", dir / "usb", "--delete-source"})
            .status,
        0);
    Result run =
        cli({"split", dir / "movie.part2.mkv", "-s", "1K", "-o", dir / "usb", "--delete-source"});
    EXPECT_EQ(run.status, 1);
    // That set's split deleted its source: the refusal says what -f would cost.
    EXPECT_EQ(run.err, "morvane-cli: " + dir / "usb/movie_spt" +
                           ": already holds the chunk set of movie.part1.mkv, which may be the "
                           "only copy of what the source has lost or changed since that split: "
                           "movie.part1.mkv; give -f to replace it\n");
    EXPECT_TRUE(exists(dir / "movie.part2.mkv"));
    EXPECT_NE(cli({"check", dir / "usb/movie_spt"}).out.find("source: movie.part1.mkv"),
              std::string::npos);

    run = cli({"split", dir / "movie.part2.mkv", "-s", "1K", "-o", dir / "usb", "-f"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(namesIn(dir / "usb/movie_spt"),
              (std::vector<std::string>{"movie_0.spt", "movie_1.spt", "spt_checksums.sha256",
                                        "spt_config.qorvelx", "spt_tree"}));
    ASSERT_EQ(cli({"join", dir / "usb/movie_spt", "-o", dir / "back"}).status, 0);
    EXPECT_EQ(readFile(dir / "back/movie.part2.mkv"), patternBytes(2000, 2));
}

TEST(CliAtomic, TwoSplitsIntoOneFolderNeverMix) {
    TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    writeFile(dir / "a/data.bin", patternBytes(8 << 20, 1));
    writeFile(dir / "b/data.bin", patternBytes(8 << 20, 2));
    Result first, second;
    std::thread other([&] {
        second = cli({"split", dir / "b/data.bin", "-s", "64K", "-o", dir / "usb", "-q"});
    });
    first = cli({"split", dir / "a/data.bin", "-s", "64K", "-o", dir / "usb", "-q"});
    other.join();
    ASSERT_EQ((first.status == 0) + (second.status == 0), 1) << first.err << second.err;
    const Result& loser = first.status == 0 ? second : first;
    EXPECT_TRUE(loser.err.find("another job is writing there") != std::string::npos ||
                loser.err.find("already holds the chunk set of data.bin") != std::string::npos)
        << loser.err;
    ASSERT_EQ(cli({"join", dir / "usb/data_spt", "-o", dir / "out"}).status, 0);
    EXPECT_EQ(readFile(dir / "out/data.bin"),
              readFile(first.status == 0 ? dir / "a/data.bin" : dir / "b/data.bin"));
    EXPECT_EQ(namesIn(dir / "usb"), std::vector<std::string>{"data_spt"});
}

TEST(CliAtomic, PlantedLinksAreNeverWrittenThrough) {
    MORVANE_SKIP_ON_WINDOWS(morvane::test::kWhyNoLinks);
    TempDir dir;
    writeFile(dir / "victim", "keep me");
    writeFile(dir / "report.txt", patternBytes(5000, 3));
    fs::create_directory(dir / "report_spt");
    fs::create_symlink(dir / "victim", dir / "report_spt/report_0.spt");
    ASSERT_EQ(cli({"split", dir / "report.txt", "-s", "1K", "-f"}).status, 0);
    EXPECT_EQ(readFile(dir / "victim"), "keep me");
    EXPECT_FALSE(fs::is_symlink(dir / "report_spt/report_0.spt"));

    fs::create_directory(dir / "out");
    fs::create_symlink(dir / "victim", dir / "out/report.txt");
    ASSERT_EQ(cli({"join", dir / "report_spt", "-o", dir / "out", "-f"}).status, 0);
    EXPECT_EQ(readFile(dir / "victim"), "keep me");
    EXPECT_FALSE(fs::is_symlink(dir / "out/report.txt"));
    EXPECT_EQ(readFile(dir / "out/report.txt"), patternBytes(5000, 3));
}

TEST(CliAtomic, MissingOutputFoldersAreMadeByBothJobs) {
    TempDir dir;
    writeFile(dir / "m.bin", patternBytes(3000, 4));
    ASSERT_EQ(cli({"split", dir / "m.bin", "-s", "1K", "-o", dir / "new/deeper"}).status, 0);
    ASSERT_EQ(cli({"join", dir / "new/deeper/m_spt", "-o", dir / "back/here"}).status, 0);
    EXPECT_EQ(readFile(dir / "back/here/m.bin"), patternBytes(3000, 4));
}

TEST(CliCheck, ShortEmptyAndStrayChunksAreFlagged) {
    TempDir dir;
    writeFile(dir / "c.bin", patternBytes(5000, 5));
    ASSERT_EQ(cli({"split", dir / "c.bin", "-s", "1K"}).status, 0);
    fs::copy_file(dir / "c_spt/c_1.spt", dir / "c_spt/c_7.spt");
    Result run = cli({"check", dir / "c_spt"});
    EXPECT_EQ(run.status, 0) << run.out;  // a stray does not spoil the set
    EXPECT_NE(run.out.find("stray    " + dir / "c_spt/c_7.spt"), std::string::npos) << run.out;
    // A chunk emptied or cut after the split is caught by its size even where a
    // fingerprint of the damaged bytes would match.
    fs::resize_file(dir / "c_spt/c_4.spt", 0);
    run = cli({"check", dir / "c_spt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("4             0  changed"), std::string::npos) << run.out;
    run = cli({"join", dir / "c_spt", "-o", dir / "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir / "c_spt/c_4.spt"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(dir / "out/c.bin"));
}

namespace {

#ifndef _WIN32
// Runs sha256sum -c on the set's list inside the chunk folder; true when it passes.
bool sha256sumAccepts(const std::string& chunkDir) {
    const std::string command =
        "cd '" + chunkDir + "' && sha256sum --quiet -c spt_checksums.sha256 >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}
#endif

void flipByte(const std::string& path, std::uintmax_t at) {
    std::string bytes = readFile(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    writeFile(path, bytes);
}

}  // namespace

// One changed byte anywhere in any chunk is caught by check and by the join, which then
// leaves nothing and deletes nothing; the standard tool agrees.
TEST(CliVerify, AChangedByteAnywhereIsCaught) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub");
    writeFile(dir / "tree/a.bin", patternBytes(150000, 1));
    writeFile(dir / "tree/sub/b.bin", patternBytes(90000, 2));
    writeFile(dir / "file.bin", patternBytes(250000, 3));
    for (const std::string source : {"file.bin", "tree"}) {
        ASSERT_EQ(cli({"split", dir / source, "-s", "64K", "-q"}).status, 0);
        const std::string set = dir / (source == "tree" ? "tree_spt" : "file_spt");
        const std::string stem = source == "tree" ? "tree" : "file";
        ASSERT_TRUE(sha256sumAccepts(set));
        const std::string last = set + "/" + stem + "_3.spt";
        for (const std::string& chunk : {set + "/" + stem + "_0.spt", last}) {
            const std::uintmax_t size = fs::file_size(chunk);
            for (std::uintmax_t at : {std::uintmax_t{0}, size / 2, size - 1}) {
                SCOPED_TRACE(chunk + " at " + std::to_string(at));
                const std::string good = readFile(chunk);
                flipByte(chunk, at);
                EXPECT_FALSE(sha256sumAccepts(set));
                const Result check = cli({"check", set, "-q"});
                EXPECT_EQ(check.status, 1);
                EXPECT_NE(check.out.find(at < 1016 ? "changed  " + chunk : "damaged  " + chunk),
                          std::string::npos)
                    << check.out;
                const Result join = cli({"join", set, "-o", dir / "out", "-q", "--delete-chunks"});
                EXPECT_EQ(join.status, 1);
                EXPECT_NE(join.err.find(chunk), std::string::npos) << join.err;
                EXPECT_FALSE(exists(dir / "out"));
                EXPECT_TRUE(exists(set + "/" + stem + "_1.spt"));
                writeFile(chunk, good);
            }
        }
        ASSERT_EQ(cli({"join", set, "-o", dir / "out", "-q"}).status, 0);
        fs::remove_all(dir / "out");
    }
}

TEST(CliVerify, ADamagedListIsSaidAndAnOldSetStillJoins) {
    TempDir dir;
    writeFile(dir / "l.bin", patternBytes(5000, 4));
    ASSERT_EQ(cli({"split", dir / "l.bin", "-s", "2K", "-q"}).status, 0);
    const std::string list = dir / "l_spt/spt_checksums.sha256";
    const std::string good = readFile(list);

    writeFile(list, good.substr(0, good.find('\n') + 1) + "not a line\n");
    Result run = cli({"join", dir / "l_spt", "-o", dir / "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the checksum list is damaged: line 2"), std::string::npos) << run.err;
    EXPECT_EQ(cli({"check", dir / "l_spt"}).status, 1);

    // A list that leaves out a chunk guards nothing for it: that is damage too.
    std::string shorter = good;
    shorter.erase(shorter.find("  l_1.spt") - 64, 64 + 9 + 1);
    writeFile(list, shorter);
    run = cli({"join", dir / "l_spt", "-o", dir / "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not name l_1.spt"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(dir / "out"));

    run = cli({"join", dir / "l_spt", "-o", dir / "out", "--no-verify"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("not checked (--no-verify)"), std::string::npos);

    // A set with a tree file had a list: losing it is a fault the check says, though the
    // set still joins.
    fs::remove(list);
    run = cli({"check", dir / "l_spt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("checksums: the list is lost"), std::string::npos) << run.out;
    fs::remove(dir / "l_spt/spt_tree");  // as an older copy of the program leaves a set
    run = cli({"join", dir / "l_spt", "-o", dir / "old", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("has no checksum list"), std::string::npos);
    EXPECT_EQ(readFile(dir / "old/l.bin"), patternBytes(5000, 4));
    run = cli({"check", dir / "l_spt"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("checksums: none"), std::string::npos);
}

TEST(CliVerify, AwkwardNamesSurviveTheListAndTheStandardTool) {
    TempDir dir;
#ifdef _WIN32
    // Windows names hold no newline, and "\\" separates folders there.
    std::vector<std::string> names{"with space.bin"};
    if (morvane::test::gb18030Here()) names.push_back("漢字 テスト.bin");
#else
    const std::vector<std::string> names{"with space.bin", "new\nline.bin", "漢字 テスト.bin"};
#endif
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TempDir work;
        writeFile(work / name, patternBytes(3000, 5));
        const Result run = cli({"split", work / name, "-s", "1K", "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string set = run.out.substr(0, run.out.size() - 1);
        EXPECT_TRUE(sha256sumAccepts(set));
        EXPECT_EQ(cli({"check", set, "-q"}).status, 0);
        ASSERT_EQ(cli({"join", set, "-o", work / "out", "-q"}).status, 0);
        EXPECT_EQ(readFile(work / ("out/" + name)), patternBytes(3000, 5));
    }
#ifndef _WIN32
    // Other copies read "\\" as a separator: such a name is refused, never cut short.
    writeFile(dir / "back\\slash.bin", "x");
    const Result run = cli({"split", dir / "back\\slash.bin", "-s", "1K"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("folder separator"), std::string::npos) << run.err;
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"back\\slash.bin"});
#endif
}

// A FIFO cannot be stored. Without --skip-special the split refuses before writing and
// deletes nothing; with it, the split leaves the FIFO out, deletes exactly what it stored,
// and says what it kept.
TEST(CliTrees, SpecialFilesAreRefusedOrLeftOutButNeverLost) {
    MORVANE_SKIP_ON_WINDOWS(morvane::test::kWhyNoFifos);
    TempDir dir;
    fs::create_directories(dir / "proj/.git");
    fs::create_directories(dir / "proj/emptydir");
    writeFile(dir / "proj/main.c", "code\n");
    writeFile(dir / "proj/.env", "PASSWORD=x\n");
    writeFile(dir / "proj/.git/HEAD", "ref\n");
    ASSERT_TRUE(morvane::test::makeFifo(dir / "proj/.git/pipe", 0600));

    Result run = cli({"split", dir / "proj", "-s", "1M", "--delete-source"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir / "proj/.git/pipe"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(exists(dir / "proj_spt"));
    EXPECT_EQ(readFile(dir / "proj/.env"), "PASSWORD=x\n");

    run = cli({"split", dir / "proj", "-s", "1M", "--delete-source", "--skip-special"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(dir / "proj/.git/pipe: left out"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(dir / "proj/.git/pipe: kept"), std::string::npos) << run.err;
    EXPECT_EQ(namesIn(dir / "proj"), std::vector<std::string>{".git"});
    EXPECT_EQ(namesIn(dir / "proj/.git"), std::vector<std::string>{"pipe"});

    fs::remove_all(dir / "proj");
    ASSERT_EQ(cli({"join", dir / "proj_spt", "-q"}).status, 0);
    EXPECT_EQ(namesIn(dir / "proj"),
              (std::vector<std::string>{".env", ".git", "emptydir", "main.c"}));
    EXPECT_EQ(readFile(dir / "proj/.git/HEAD"), "ref\n");
    EXPECT_TRUE(fs::is_directory(dir / "proj/emptydir"));
}

TEST(CliTrees, NamesTheSetCannotCarryAreRefused) {
    MORVANE_SKIP_ON_WINDOWS("a backslash separates folders on Windows: no name there holds one");
    TempDir dir;
    fs::create_directories(dir / "t");
    writeFile(dir / "t/trail\\", "x");
    const Result run = cli({"split", dir / "t", "-s", "1K"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("trail\\"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(dir / "t_spt"));
}
