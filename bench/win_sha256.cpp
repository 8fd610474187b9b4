// SHA-256 on Windows: OpenSSL's libcrypto, as the program uses it, against the system's
// BCrypt, over the same buffer in 1 MiB updates. Built and run by bench/win_sha256.sh.
// windows.h first: bcrypt.h needs its types.
#include <windows.h>

#include <bcrypt.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t kBlock = 1 << 20;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double withOpenSsl(const std::vector<unsigned char>& data, unsigned char* digest) {
    const auto start = std::chrono::steady_clock::now();
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, md, nullptr);
    for (std::size_t at = 0; at < data.size(); at += kBlock)
        EVP_DigestUpdate(ctx, data.data() + at, kBlock);
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx, digest, &size);
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return secondsSince(start);
}

double withBcrypt(const std::vector<unsigned char>& data, unsigned char* digest) {
    const auto start = std::chrono::steady_clock::now();
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) != 0)
        return -1;
    for (std::size_t at = 0; at < data.size(); at += kBlock)
        BCryptHashData(hash, const_cast<unsigned char*>(data.data()) + at, kBlock, 0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return secondsSince(start);
}

}  // namespace

int main() {
    std::vector<unsigned char> data(256 * kBlock);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131);
    unsigned char a[32] = {};
    unsigned char b[32] = {};
    double bestOpenSsl = 1e9;
    double bestBcrypt = 1e9;
    for (int round = 0; round < 5; ++round) {
        bestOpenSsl = std::min(bestOpenSsl, withOpenSsl(data, a));
        bestBcrypt = std::min(bestBcrypt, withBcrypt(data, b));
    }
    const double mib = static_cast<double>(data.size()) / kBlock;
    std::printf("libcrypto %.0f MiB/s\nbcrypt    %.0f MiB/s\ndigests %s\n", mib / bestOpenSsl,
                mib / bestBcrypt, std::equal(a, a + 32, b) ? "agree" : "DIFFER");
    return std::equal(a, a + 32, b) ? 0 : 1;
}
