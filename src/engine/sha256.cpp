#include "engine/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

namespace morvane {
namespace {

EVP_MD_CTX* ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

// Fetched once: given EVP_sha256(), every start looks the algorithm up again, under a
// lock that the threads of a check of thousands of small chunks then contend for.
const EVP_MD* sha256() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

void start(void* p) {
    // Only a broken libcrypto fails here; going on would give wrong digests.
    const EVP_MD* md = sha256();
    if (p == nullptr || md == nullptr || EVP_DigestInit_ex(ctx(p), md, nullptr) != 1) std::abort();
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    start(context_);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(ctx(context_));
}

void Sha256::update(const void* bytes, std::size_t length) {
    if (length == 0) return;
    EVP_DigestUpdate(ctx(context_), bytes, length);
    length_ += static_cast<std::int64_t>(length);
}

std::string Sha256::finishHex() {
    std::string hex;
    finishHex(&hex);
    return hex;
}

void Sha256::finishHex(std::string* hex) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx(context_), digest, &size);
    static const char digits[] = "0123456789abcdef";
    hex->resize(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        (*hex)[2 * i] = digits[digest[i] >> 4];
        (*hex)[2 * i + 1] = digits[digest[i] & 15];
    }
    start(context_);
    length_ = 0;
}

std::string sha256Hex(const void* bytes, std::size_t length) {
    Sha256 hash;
    hash.update(bytes, length);
    return hash.finishHex();
}

void endThreadHashing() {
    OPENSSL_thread_stop();
}

}  // namespace morvane
