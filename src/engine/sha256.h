#pragma once
// SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions.

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvane {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* bytes, std::size_t length);
    // 64 lower-case hexadecimal digits; starts the context over.
    std::string finishHex();
    // The same into *hex, reusing what it holds.
    void finishHex(std::string* hex);
    // The bytes hashed since the start.
    std::int64_t length() const { return length_; }

private:
    void* context_;  // EVP_MD_CTX
    std::int64_t length_ = 0;
};

std::string sha256Hex(const void* bytes, std::size_t length);

// Frees what the hashing library keeps for the calling thread; a thread of our own that
// hashed calls it before it ends.
void endThreadHashing();

}  // namespace morvane
