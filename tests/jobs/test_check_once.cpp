// A whole check reads each chunk once, for its fingerprint and its hash together: whatever
// was done to the set, it says of every file what the check that first fingerprints every
// chunk and then hashes it says.

#include <gtest/gtest.h>

#include <QString>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/checksums.h"
#include "engine/join.h"
#include "engine/recovery.h"
#include "job_util.h"
#include "jobs/jobs.h"
#include "temp_dir.h"

using namespace morvane;
using morvane::test::q;
using morvane::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct Seen {
    Outcome outcome;
    std::vector<std::string> chunks;  // per chunk: state, size
    std::vector<std::string> listed;  // per listed file: name, state, size
    ChecksumList list = ChecksumList::NotRead;
    bool intact = false;
    bool recoveryPresent = false;
    std::vector<std::string> lost;
    std::vector<std::string> strays;
};

Seen checkOnce(const std::string& set, bool wholeRead) {
    jobs::VerifyJob job(q(set), wholeRead);
    Seen s;
    s.outcome = job.prepare();
    if (!s.outcome) return s;
    job.execute();
    s.outcome = job.outcome();
    const ChunkSetCheck& c = job.check();
    for (const ChunkCheckEntry& e : c.entries)
        s.chunks.push_back(std::string(chunkStateName(e.state)) + " " + std::to_string(e.size));
    for (const ListedFile& f : c.listedFiles)
        s.listed.push_back(f.name + " " + chunkStateName(f.state) + " " + std::to_string(f.size));
    s.list = c.checksumList;
    s.intact = c.intact();
    s.recoveryPresent = job.recovery().present;
    s.lost = job.recovery().lost;
    s.strays = c.strays;
    return s;
}

void flip(const std::string& path, std::int64_t at) {
    std::string bytes = test::readFile(path);
    bytes[static_cast<std::size_t>(at)] =
        static_cast<char>(bytes[static_cast<std::size_t>(at)] ^ 1);
    test::writeFile(path, bytes);
}

}  // namespace

TEST(CheckOnce, SaysWhatTheTwoPassCheckSaysWhateverWasDone) {
    TempDir dir;
    const std::string file = dir / "data.bin";
    test::writeFile(file, test::patternBytes(6 * 4096 + 100, 5));
    const std::string fresh = test::split(file, 4096, 1);
    ASSERT_FALSE(fresh.empty());
    struct Damage {
        const char* what;
        std::function<void(const std::string& set)> apply;
    };
    const Damage damages[] = {
        {"nothing", [](const std::string&) {}},
        {"a byte past the head", [](const std::string& s) { flip(s + "/data_1.spt", 2000); }},
        {"a byte in the head", [](const std::string& s) { flip(s + "/data_2.spt", 10); }},
        {"a chunk emptied", [](const std::string& s) { fs::resize_file(s + "/data_3.spt", 0); }},
        {"a chunk lost", [](const std::string& s) { fs::remove(s + "/data_0.spt"); }},
        {"a chunk a byte short",
         [](const std::string& s) { fs::resize_file(s + "/data_4.spt", 4095); }},
        {"the last chunk a byte long",
         [](const std::string& s) { fs::resize_file(s + "/data_6.spt", 101); }},
        {"a FIFO for a chunk (a folder where there are none)",
         [](const std::string& s) {
             fs::remove(s + "/data_5.spt");
             if (!test::makeFifo(s + "/data_5.spt", 0644)) {
                 ASSERT_TRUE(test::makeFolder(s + "/data_5.spt"));
             }
         }},
        {"the list lost, a byte past the head and one in it",
         [](const std::string& s) {
             fs::remove(s + "/" + kChecksumListName);
             flip(s + "/data_1.spt", 3000);
             flip(s + "/data_2.spt", 3);
         }},
        {"the list damaged",
         [](const std::string& s) { test::writeFile(s + "/" + kChecksumListName, "nonsense\n"); }},
        {"a stray chunk and the recovery file lost",
         [](const std::string& s) {
             test::writeFile(s + "/data_7.spt", "left over");
             fs::remove(s + "/data_0.rec");
         }},
        {"the tree file damaged", [](const std::string& s) { flip(s + "/spt_tree", 0); }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        TempDir work;
        const std::string set = work / "data_spt";
        fs::copy(fresh, set);
        d.apply(set);
        const Seen twoPass = checkOnce(set, false);
        const Seen once = checkOnce(set, true);
        EXPECT_EQ(once.outcome.ok, twoPass.outcome.ok) << once.outcome.describe();
        EXPECT_EQ(once.chunks, twoPass.chunks);
        EXPECT_EQ(once.listed, twoPass.listed);
        EXPECT_EQ(once.list, twoPass.list);
        EXPECT_EQ(once.intact, twoPass.intact);
        EXPECT_EQ(once.recoveryPresent, twoPass.recoveryPresent);
        EXPECT_EQ(once.lost, twoPass.lost);
        EXPECT_EQ(once.strays, twoPass.strays);
        // The set as split passes; every damage fails.
        EXPECT_EQ(once.intact && once.lost.empty(), std::string(d.what) == "nothing");
    }
}
