// A job held while the user decides whether to stop it: it waits at its next check, and
// meanwhile neither finishes its output nor deletes what the order asks; a stop decided
// then leaves every source where it was.

#include <gtest/gtest.h>

#include <QString>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "engine/job_control.h"
#include "fault_util.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using namespace std::chrono_literals;
using morvane::test::FaultGuard;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 5000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// Every file under root with its bytes; std::filesystem only, so that the job's fault hook
// sees none of it.
std::map<std::string, std::string> filesUnder(const std::string& root) {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) return files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        const std::string name = test::fsText(fs::relative(e.path(), root));
        // A job's lock file is empty, and on Windows not readable while it is held.
        files[name] = name.ends_with(".morvane-lock") ? std::string()
                                                      : test::readFile(test::fsText(e.path()));
    }
    return files;
}

}  // namespace

TEST(JobPause, AHeldCheckWaitsUntilResumedAndACancelWakesIt) {
    for (const bool byCancel : {false, true}) {
        SCOPED_TRACE(byCancel ? "cancel" : "resume");
        JobControl control;
        EXPECT_FALSE(control.cancelRequested());  // no pause: no wait
        control.requestPause();
        // As a verify does, several threads of one job check at once.
        std::vector<std::thread> threads;
        std::atomic<int> passed{0};
        std::atomic<int> cancelled{0};
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&] {
                if (control.cancelRequested()) ++cancelled;
                ++passed;
            });
        if (!waitFor([&] { return control.heldThreads() == 3; })) {
            // Let the threads go, so that the failure is named rather than the process ended.
            control.requestCancel();
            for (std::thread& t : threads) t.join();
            FAIL() << "held threads: " << control.heldThreads();
        }
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(passed.load(), 0);
        if (byCancel)
            control.requestCancel();
        else
            control.resume();
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(passed.load(), 3);
        EXPECT_EQ(cancelled.load(), byCancel ? 3 : 0);
        EXPECT_EQ(control.heldThreads(), 0);
    }
}

// A pause asked at any native call of a split that deletes its source, or of a join that
// deletes its chunks. While held, the source is whole and the output is either absent or
// complete; then a stop leaves the source, and going on finishes the job.
TEST(JobPause, HeldAtAnyMomentNothingIsDeletedAndAStopKeepsTheSource) {
    TempDir dir;
    const std::string data = test::patternBytes(5500, 21);
    const std::string source = dir / "f.bin";
    test::writeFile(source, data);
    // A set to join, made once.
    TempDir sets;
    {
        jobs::SplitOrder order;
        order.source = QString::fromStdString(source);
        order.outputDir = QString::fromStdString(sets.path());
        order.chunkSize = 2750;
        jobs::SplitJob made(order);
        ASSERT_TRUE(made.prepare());
        made.execute();
        ASSERT_TRUE(made.outcome());
    }
    const std::string chunks = sets / "f_spt";
    const auto setFiles = filesUnder(chunks);

    struct Kind {
        const char* name;
        std::function<std::unique_ptr<jobs::Job>(const std::string& out)> make;
        std::string sourceRoot;  // what the order deletes
        std::map<std::string, std::string> sourceFiles;
        std::string output;  // relative to the output folder
    };
    const std::vector<Kind> kinds = {
        {"split",
         [&](const std::string& out) -> std::unique_ptr<jobs::Job> {
             jobs::SplitOrder order;
             order.source = QString::fromStdString(source);
             order.outputDir = QString::fromStdString(out);
             order.chunkSize = 2750;
             order.deleteSource = true;
             auto job = std::make_unique<jobs::SplitJob>(order);
             EXPECT_TRUE(job->prepare());
             return job;
         },
         dir.path(), filesUnder(dir.path()), "f_spt"},
        {"join",
         [&](const std::string& out) -> std::unique_ptr<jobs::Job> {
             jobs::JoinOrder order;
             order.chunkDir = QString::fromStdString(chunks);
             order.outputDir = QString::fromStdString(out);
             order.deleteChunks = true;
             auto job = std::make_unique<jobs::JoinJob>(order);
             EXPECT_TRUE(job->prepare());
             return job;
         },
         chunks, setFiles, "f.bin"},
    };

    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        // How many native calls a whole run makes, deletion included.
        int moments = 0;
        {
            TempDir out;
            auto job = kind.make(out.path());
            {
                FaultGuard g([&](plat::Op, const std::string&) { return ++moments, 0; });
                job->execute();
            }
            ASSERT_TRUE(job->outcome()) << job->outcome().describe();
            ASSERT_TRUE(job->sourcesDeleted());
            // Back as it was for the next run.
            for (const auto& [name, bytes] : kind.sourceFiles)
                test::writeFile(kind.sourceRoot + "/" + name, bytes);
        }
        ASSERT_GT(moments, 10);

        int heldBeforeCommit = 0;
        int heldAfterCommit = 0;
        for (int moment = 1; moment <= moments; ++moment) {
            for (const bool stop : {true, false}) {
                // Going on is the ordinary run: every other moment is enough.
                if (!stop && moment % 2 == 0) continue;
                SCOPED_TRACE("moment " + std::to_string(moment) + (stop ? " stop" : " go on"));
                TempDir out;
                auto job = kind.make(out.path());
                JobControl& control = job->control();
                std::atomic<bool> ended{false};
                std::atomic<int> calls{0};  // the split's hashing thread counts too
                std::thread worker;
                {
                    FaultGuard g([&](plat::Op, const std::string&) {
                        if (++calls == moment) control.requestPause();
                        return 0;
                    });
                    worker = std::thread([&] {
                        job->execute();
                        ended = true;
                    });
                    if (!waitFor([&] { return ended || control.heldThreads() > 0; })) {
                        control.requestCancel();
                        control.resume();
                        worker.join();
                        FAIL() << "neither held nor ended";
                    }
                }
                const bool held = !ended;
                bool committed = false;
                if (held) {
                    const auto before = filesUnder(out.path());
                    std::this_thread::sleep_for(2ms);
                    EXPECT_EQ(control.heldThreads(), 1);
                    EXPECT_EQ(filesUnder(out.path()), before);
                    EXPECT_EQ(filesUnder(kind.sourceRoot), kind.sourceFiles);
                    committed = fs::exists(out / kind.output);
                    ++(committed ? heldAfterCommit : heldBeforeCommit);
                    if (stop) control.requestCancel();
                    control.resume();
                }
                worker.join();
                if (held && stop) {
                    EXPECT_EQ(filesUnder(kind.sourceRoot), kind.sourceFiles);
                    EXPECT_FALSE(job->sourcesDeleted());
                    if (committed) {
                        EXPECT_TRUE(job->outcome());
                        EXPECT_TRUE(job->removal().cancelled);
                    } else {
                        EXPECT_TRUE(job->outcome().cancelled) << job->outcome().describe();
                        EXPECT_TRUE(fs::is_empty(out.path()));
                    }
                } else {
                    // Went on, or the pause came during the deletion itself, past every check.
                    EXPECT_TRUE(job->outcome()) << job->outcome().describe();
                    EXPECT_TRUE(job->sourcesDeleted());
                    EXPECT_TRUE(fs::exists(out / kind.output));
                }
                for (const auto& [name, bytes] : kind.sourceFiles)
                    test::writeFile(kind.sourceRoot + "/" + name, bytes);
            }
        }
        // The moments covered both sides of the commit.
        EXPECT_GT(heldBeforeCommit, 0);
        EXPECT_GT(heldAfterCommit, 0);
    }
}
