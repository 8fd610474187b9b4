// Deleting the source after a split removes only what the set holds as it holds it: a file
// changed after the split read it stays, and the job says so.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QString>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "jobs/jobs.h"
#include "platform/native.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::exists;
using morvane::test::readFile;
using morvane::test::TempDir;
using morvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

// Runs change once, as the finished set is renamed into place: after every byte was read,
// before anything is deleted. Raw calls only: the platform layer holds its hook's lock.
void changeBeforeCommit(std::function<void()> change) {
    auto done = std::make_shared<bool>(false);
    plat::setFaultHook([change, done](plat::Op op, const std::string& path) {
        if (op == plat::Op::Rename && !*done && path.size() > 4 &&
            path.compare(path.size() - 4, 4, "_spt") == 0) {
            *done = true;
            change();
        }
        return 0;
    });
}

struct HookReset {
    ~HookReset() { plat::setFaultHook(nullptr); }
};

// The same size and modification time, other bytes: only the change time tells.
#ifdef _WIN32
void rewriteInPlace(const std::string& path) {
    const auto size = fs::file_size(path);
    const auto modified = fs::last_write_time(path);
    {
        std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(out);
        out << std::string(static_cast<std::size_t>(size), 'Z');
        ASSERT_TRUE(out.flush());
    }
    fs::last_write_time(path, modified);
}

void append(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << "more";
    ASSERT_TRUE(out.flush());
}
#else
void rewriteInPlace(const std::string& path) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string other(static_cast<std::size_t>(st.st_size), 'Z');
    ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
}

void append(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "more", 4), 4);
    ::close(fd);
}
#endif

struct Splitted {
    Outcome outcome, removal;
    std::vector<std::string> kept, why;
    QString folder;
};

Splitted splitDeleting(const std::string& source) {
    jobs::SplitOrder order;
    order.source = QString::fromStdString(source);
    order.chunkSize = 1 << 20;
    order.deleteSource = true;
    jobs::SplitJob job(order);
    Splitted s;
    s.outcome = job.prepare();
    if (!s.outcome) return s;
    job.execute();
    s.outcome = job.outcome();
    s.removal = job.removal();
    s.kept = job.kept();
    s.why = job.keptWhy();
    s.folder = job.chunkFolder();
    return s;
}

Outcome join(const QString& folder, const std::string& out) {
    jobs::JoinJob j(jobs::JoinOrder{folder, QString::fromStdString(out), false});
    if (Outcome o = j.prepare(); !o) return o;
    j.execute();
    return j.outcome();
}

}  // namespace

TEST(DeleteSource, AFileChangedAfterTheReadStaysAndTheSetHoldsWhatWasRead) {
    struct Case {
        const char* name;
        std::function<void(const std::string& victim, const std::string& dir)> change;
    };
    const std::vector<Case> cases = {
        {"append", [](const std::string& v, const std::string&) { append(v); }},
        {"rewrite", [](const std::string& v, const std::string&) { rewriteInPlace(v); }},
        {"replace",
         [](const std::string& v, const std::string& dir) {
             std::FILE* f = std::fopen((dir + "/other").c_str(), "wb");
             std::fputs("same!", f);  // the victim's size
             std::fclose(f);
#ifdef _WIN32
             // The C library's rename there refuses an existing target.
             fs::rename(dir + "/other", v);
#else
             std::rename((dir + "/other").c_str(), v.c_str());
#endif
         }},
        {"added", [](const std::string&, const std::string&) {}},  // the new file comes below
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HookReset reset;
        TempDir dir;
        const std::string src = dir / "src";
        fs::create_directories(src + "/sub");
        writeFile(src + "/sub/victim", "first");
        writeFile(src + "/plain", "plain bytes");
        const std::string added = src + "/sub/newcomer";
        const bool adding = std::string(c.name) == "added";
        changeBeforeCommit([&] {
            if (adding)
                std::fclose(std::fopen(added.c_str(), "wb"));
            else
                c.change(src + "/sub/victim", dir.path());
        });
        const Splitted s = splitDeleting(src);
        ASSERT_TRUE(s.outcome) << s.outcome.describe();
        EXPECT_TRUE(s.removal.is(Fault::Changed)) << s.removal.describe();
        const std::string changed = adding ? added : src + "/sub/victim";
        EXPECT_EQ(s.removal.path, changed);
        ASSERT_EQ(s.kept, std::vector<std::string>{changed});
        EXPECT_FALSE(s.why.front().empty());
        // Only the deletion failed, and the report says where the set is.
        EXPECT_NE(s.removal.reason.find("complete at " + dir / "src_spt"), std::string::npos)
            << s.removal.reason;
        EXPECT_TRUE(exists(changed));
        EXPECT_FALSE(exists(src + "/plain"));  // unchanged: it went
        ASSERT_TRUE(join(s.folder, dir / "back")) << "the set is complete";
        EXPECT_EQ(readFile(dir / "back/src/sub/victim"), "first");
        EXPECT_EQ(readFile(dir / "back/src/plain"), "plain bytes");
    }
}

// The whole folder goes, hidden files too; a link inside goes itself, never what it names.
TEST(DeleteSource, AFolderGoesWholeButItsLinksAreNotFollowed) {
    TempDir dir;
    fs::create_directories(dir / "src/a/b");
    fs::create_directories(dir / "elsewhere");
    writeFile(dir / "src/top", "1");
    writeFile(dir / "src/.hidden", "2");
    writeFile(dir / "src/a/b/deep", "3");
    writeFile(dir / "elsewhere/keep", "4");
#ifndef _WIN32
    // wine makes no links: there the folder goes whole without one.
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "src/a/link").c_str()), 0);
#endif

    const Splitted s = splitDeleting(dir / "src");
    ASSERT_TRUE(s.outcome) << s.outcome.describe();
    EXPECT_TRUE(s.removal) << s.removal.describe();
    EXPECT_TRUE(s.kept.empty());
    EXPECT_FALSE(exists(dir / "src"));
    EXPECT_EQ(readFile(dir / "elsewhere/keep"), "4");
    ASSERT_TRUE(join(s.folder, dir / "back"));
    EXPECT_EQ(readFile(dir / "back/src/.hidden"), "2");
    EXPECT_EQ(readFile(dir / "back/src/a/b/deep"), "3");
#ifndef _WIN32
    EXPECT_EQ(fs::read_symlink(dir / "back/src/a/link"), dir / "elsewhere");
#endif
}

TEST(DeleteSource, ASingleFileChangedAfterTheReadStays) {
    HookReset reset;
    TempDir dir;
    const std::string file = dir / "data.bin";
    writeFile(file, "the bytes read");
    changeBeforeCommit([&] { rewriteInPlace(file); });
    const Splitted s = splitDeleting(file);
    ASSERT_TRUE(s.outcome) << s.outcome.describe();
    EXPECT_TRUE(s.removal.is(Fault::Changed));
    EXPECT_EQ(s.kept, std::vector<std::string>{file});
    EXPECT_TRUE(exists(file));
    ASSERT_TRUE(join(s.folder, dir / "back"));
    EXPECT_EQ(readFile(dir / "back/data.bin"), "the bytes read");

    // Left alone, the same split deletes it.
    plat::setFaultHook(nullptr);
    TempDir again;
    writeFile(again / "data.bin", "x");
    const Splitted plain = splitDeleting(again / "data.bin");
    EXPECT_TRUE(plain.removal) << plain.removal.describe();
    EXPECT_FALSE(exists(again / "data.bin"));
}

TEST(DeleteSource, AFailureMetWhileBuildingNamesTheFinalPlace) {
    HookReset reset;
    TempDir dir;
    writeFile(dir / "big.bin", std::string(3000, 'b'));
    plat::setFaultHook([](plat::Op op, const std::string& path) {
        return op == plat::Op::Write && path.find("big_1.spt") != std::string::npos ? ENOSPC : 0;
    });
    jobs::SplitOrder order;
    order.source = QString::fromStdString(dir / "big.bin");
    order.chunkSize = 1000;
    jobs::SplitJob job(order);
    ASSERT_TRUE(job.prepare());
    job.execute();
    EXPECT_TRUE(job.outcome().is(Fault::NoSpace)) << job.outcome().describe();
    EXPECT_EQ(job.outcome().path, dir / "big_spt/big_1.spt");
    EXPECT_EQ(job.outcome().describe().find("partial"), std::string::npos);
}

TEST(DeleteSource, AFolderGivenThroughALinkKeepsItsOwnMode) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoLinks);
#ifndef _WIN32
    TempDir dir;
    fs::create_directories(dir / "private");
    writeFile(dir / "private/f", "secret");
    ASSERT_EQ(::chmod((dir / "private").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("private", (dir / "link").c_str()), 0);
    jobs::SplitOrder order;
    order.source = QString::fromStdString(dir / "link");
    order.outputDir = QString::fromStdString(dir / "out");
    order.chunkSize = 1 << 20;
    jobs::SplitJob job(order);
    ASSERT_TRUE(job.prepare());
    job.execute();
    ASSERT_TRUE(job.outcome()) << job.outcome().describe();
    ASSERT_TRUE(join(job.chunkFolder(), dir / "back"));
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "back/private").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(readFile(dir / "back/private/f"), "secret");
#endif
}

TEST(DeleteSource, AnOutputFolderReachedThroughALinkIntoTheSourceIsRefused) {
    MORVANE_SKIP_ON_WINDOWS(test::kWhyNoLinks);
    TempDir dir;
    fs::create_directories(dir / "src/inner");
    writeFile(dir / "src/f", "x");
    ASSERT_TRUE(test::makeSymlink(dir / "src/inner", dir / "way"));
    for (const std::string& output : {dir / "way", dir / "way/not/yet"}) {
        SCOPED_TRACE(output);
        jobs::SplitOrder order;
        order.source = QString::fromStdString(dir / "src");
        order.outputDir = QString::fromStdString(output);
        order.chunkSize = 1 << 20;
        jobs::SplitJob job(order);
        const Outcome o = job.prepare();
        EXPECT_FALSE(o);
        EXPECT_TRUE(job.refusedOrder());
        EXPECT_TRUE(o.is(Fault::Invalid));
    }
    EXPECT_FALSE(exists(dir / "src/inner/not"));
}

TEST(DeleteSource, AFailedDeletionSaysTheSetIsComplete) {
    HookReset reset;
    TempDir dir;
    writeFile(dir / "f.bin", "bytes");
    plat::setFaultHook([&](plat::Op op, const std::string& path) {
        return op == plat::Op::Remove && path == dir / "f.bin" ? EACCES : 0;
    });
    const Splitted s = splitDeleting(dir / "f.bin");
    ASSERT_TRUE(s.outcome) << s.outcome.describe();
    EXPECT_TRUE(s.removal.is(Fault::Denied)) << s.removal.describe();
    EXPECT_NE(s.removal.describe().find("complete at " + dir / "f_spt"), std::string::npos)
        << s.removal.describe();
    EXPECT_TRUE(exists(dir / "f.bin"));
    plat::setFaultHook(nullptr);
    ASSERT_TRUE(join(s.folder, dir / "back"));
    EXPECT_EQ(readFile(dir / "back/f.bin"), "bytes");
}
