#include "engine/digest.h"

#include <QCryptographicHash>
#include <cstdint>
#include <cstring>

#include "engine/limits.h"
#include "platform/native.h"

namespace morvane {

void md5Hex(const void* bytes, std::size_t length, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    // Kept per thread: a check of many small chunks takes one fingerprint per chunk.
    MORVANE_KEPT_PER_THREAD QCryptographicHash hash(QCryptographicHash::Md5);
    hash.reset();
    hash.addData(QByteArrayView(static_cast<const char*>(bytes), static_cast<qsizetype>(length)));
    const QByteArrayView digest = hash.resultView();
    for (int i = 0; i < 16; ++i) {
        const auto b = static_cast<unsigned char>(digest[i]);
        out[2 * i] = digits[b >> 4];
        out[2 * i + 1] = digits[b & 15];
    }
    out[32] = '\0';
}

void passwordDigestOf(const char* password, char* out) {
    md5Hex(password, std::strlen(password), out);
}

Outcome chunkFingerprint(const char* path, char* out, std::int64_t* size) {
    constexpr std::size_t kBlock = 1024;
    constexpr std::size_t kHead = kBlock - 8;
    unsigned char block[kBlock] = {};
    plat::File file;
    if (Outcome o = file.open(path, plat::File::Mode::Read); !o) return o;
    std::int64_t bytes = 0;
    if (Outcome o = file.size(&bytes); !o) return o;
    // Knowing the size first saves the read that would only find the end.
    const std::size_t head = bytes < static_cast<std::int64_t>(kHead)
                                 ? static_cast<std::size_t>(bytes > 0 ? bytes : 0)
                                 : kHead;
    std::size_t have = 0;
    while (have < head) {
        std::size_t got = 0;
        if (Outcome o = file.read(block + 8 + have, head - have, &got); !o) return o;
        if (got == 0) break;
        have += got;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    file.close();
    md5Hex(block, kBlock, out);
    if (size) *size = bytes;
    return Outcome::success();
}

int checkPassword(const char* text, const char* digest) {
    if (text == nullptr || digest == nullptr) return -1;
    char mine[40] = {};
    passwordDigestOf(text, mine);
    return std::strcmp(mine, digest) == 0 ? 1 : 0;
}

}  // namespace morvane
