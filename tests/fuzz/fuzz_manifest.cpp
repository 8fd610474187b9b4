// Arbitrary manifest bytes through the reader and the chunk-set check.

#include <cstdlib>
#include <vector>

#include "engine/engine_state.h"
#include "engine/join.h"
#include "engine/manifest.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    static const std::string set = [] {
        const std::string dir = fuzz::freshFolder("manifest");
        const std::uint8_t bytes[] = "0123456789abcdef";
        for (const char* name : {"/x_0.spt", "/x_1.spt", "/notes_0.spt", "/box_1.spt"})
            fuzz::writeBytes(dir + name, bytes, sizeof bytes - 1);
        return dir;
    }();
    fuzz::writeBytes(set + "/spt_config.qorvelx", data, size);

    if (readManifest(set.c_str()) == 0) {
        const EngineState& st = engineState();
        // Never more records than the bytes could hold.
        if (st.chunkRecords.size() * sizeof(ChunkRecord) > size + sizeof(ChunkRecord)) std::abort();
        if (st.fileRecords.size() * sizeof(FileRecord) > size + sizeof(FileRecord)) std::abort();
    }
    std::vector<ChunkCheckEntry> entries;
    char digest[kDigestText] = {};
    char name[kPathField] = {};
    if (listChunkSet(set.c_str(), &entries, digest, name) == 0) {
        if (entries.size() != engineState().chunkRecords.size()) std::abort();
        if (digest[kDigestText - 1] != '\0') std::abort();
    }
    return 0;
}
