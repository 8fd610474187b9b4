#include "engine/engine_state.h"

#include <cerrno>
#include <cstring>

#include "engine/digest.h"

namespace morvane {

EngineState& engineState() {
    static EngineState state;
    return state;
}

std::int64_t getBytesDone() {
    return engineState().jobBytesDone.load(std::memory_order_relaxed);
}

std::int64_t getBytesTotal() {
    return engineState().jobBytesTotal.load(std::memory_order_relaxed);
}

void addBytesDone(std::int64_t bytes) {
    engineState().jobBytesDone.fetch_add(bytes, std::memory_order_relaxed);
}

void resetProgress(std::int64_t total) {
    engineState().jobBytesDone.store(0, std::memory_order_relaxed);
    engineState().jobBytesTotal.store(total, std::memory_order_relaxed);
}

void setChunkCount(std::int32_t count) {
    engineState().header.chunkCount = count;
}
void setTotalSize(std::int64_t size) {
    engineState().header.totalSize = size;
}

Outcome setSourceName(std::string_view name) {
    auto& h = engineState().header;
    return copyToField(h.sourceName, sizeof h.sourceName, name, "the source name");
}

void setPasswordDigest(const char* password) {
    auto& h = engineState().header;
    std::memset(h.passwordDigest, 0, sizeof h.passwordDigest);
    passwordDigestOf(password, h.passwordDigest);
}

std::int32_t getChunkCount() {
    return engineState().header.chunkCount;
}
std::int32_t getFileCount() {
    return engineState().header.fileCount;
}
std::int64_t getTotalSize() {
    return engineState().header.totalSize;
}

void getSourceName(char* out, std::size_t outSize) {
    const auto& h = engineState().header;
    std::size_t n = fieldLength(h.sourceName, sizeof h.sourceName);
    if (outSize == 0) return;
    if (n >= outSize) n = outSize - 1;
    std::memcpy(out, h.sourceName, n);
    out[n] = '\0';
}

bool getPasswordDigest(char* out, std::size_t outSize) {
    const auto& h = engineState().header;
    if (h.passwordDigest[0] == '\0' || outSize == 0) return false;
    std::size_t n = fieldLength(h.passwordDigest, sizeof h.passwordDigest);
    if (n >= outSize) n = outSize - 1;
    std::memcpy(out, h.passwordDigest, n);
    out[n] = '\0';
    return true;
}

Outcome copyToField(char* field, std::size_t fieldSize, std::string_view text, const char* what) {
    if (text.size() >= fieldSize || text.find('\0') != std::string_view::npos) {
        return Outcome::failure(std::string(text),
                                std::string(what) + " is too long (at most " +
                                    std::to_string(fieldSize - 1) + " bytes)",
                                ENAMETOOLONG);
    }
    std::memcpy(field, text.data(), text.size());
    std::memset(field + text.size(), 0, fieldSize - text.size());
    return Outcome::success();
}

Outcome fitsPathField(const std::string& path) {
    if (path.size() < kPathField) return Outcome::success();
    return Outcome::failure(path, "the path is too long (at most 1023 bytes)", ENAMETOOLONG);
}

std::size_t fieldLength(const char* field, std::size_t fieldSize) {
    const void* nul = std::memchr(field, '\0', fieldSize);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : fieldSize;
}

}  // namespace morvane
