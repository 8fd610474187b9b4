// Arbitrary manifest bytes through the reader, the writer and the chunk-set check.

#include <cstdlib>

#include "engine/join.h"
#include "engine/manifest.h"
#include "fuzz_util.h"

namespace {

// The packed record sizes: a reader must not hold more records than the bytes could.
constexpr std::size_t kChunkRecordBytes = 37;
constexpr std::size_t kFileRecordBytes = 280;

bool sameValue(const morvane::Manifest& a, const morvane::Manifest& b) {
    if (a.chunkCount != b.chunkCount || a.fileCount != b.fileCount || a.totalSize != b.totalSize ||
        a.passwordDigest != b.passwordDigest || a.sourceName != b.sourceName ||
        (b.recordsCutShort && !a.recordsCutShort) || a.chunks.size() != b.chunks.size() ||
        a.files.size() != b.files.size())
        return false;
    for (std::size_t i = 0; i < a.chunks.size(); ++i)
        if (a.chunks[i].chunkIndex != b.chunks[i].chunkIndex ||
            a.chunks[i].fingerprint != b.chunks[i].fingerprint)
            return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const auto& x = a.files[i];
        const auto& y = b.files[i];
        if (x.relativeName != y.relativeName || x.recordNumber != y.recordNumber ||
            x.chunkIndex != y.chunkIndex || x.pieceOffset != y.pieceOffset ||
            x.pieceLength != y.pieceLength)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    static const std::string set = [] {
        const std::string dir = fuzz::freshFolder("manifest");
        const std::uint8_t bytes[] = "0123456789abcdef";
        for (const char* name : {"/x_0.spt", "/x_1.spt", "/notes_0.spt", "/box_1.spt"})
            fuzz::writeBytes(dir + name, bytes, sizeof bytes - 1);
        return dir;
    }();
    static const std::string again = fuzz::freshFolder("manifest_again");
    fuzz::writeBytes(set + "/spt_config.qorvelx", data, size);

    Manifest m;
    if (readManifest(set, &m)) {
        if (m.chunks.size() * kChunkRecordBytes > size + kChunkRecordBytes) std::abort();
        if (m.files.size() * kFileRecordBytes > size + kFileRecordBytes) std::abort();
        // What was read and can be written again reads back as the same value; a record
        // that was cut inside comes back whole.
        if (writeManifest(manifestPathOf(again), m)) {
            Manifest back;
            if (!readManifest(again, &back) || !sameValue(m, back)) std::abort();
        }
    } else if (!m.chunks.empty() || !m.files.empty() || !m.sourceName.empty()) {
        std::abort();
    }
    ChunkSetCheck check;
    if (checkChunkSet(set, &check)) {
        if (check.entries.size() != check.manifest.chunks.size()) std::abort();
        if (check.manifest.passwordDigest.size() >= kDigestField + 1) std::abort();
    }
    return 0;
}
