#pragma once
// MD5 digests as text: the password digest and the chunk fingerprints.

#include <cstddef>
#include <cstdint>

#include "platform/outcome.h"

namespace morvane {

// 32 upper-case hexadecimal characters and a NUL into out (33 bytes).
void md5Hex(const void* bytes, std::size_t length, char* out);
// The digest of the password's bytes up to its NUL.
void passwordDigestOf(const char* password, char* out);
// The digest of a 1024-byte block: the file's size (int64, little-endian) and its first
// 1016 bytes. When the file cannot be read, out is left untouched and the failure returned.
// *size, when given, gets the file's size.
Outcome chunkFingerprint(const char* path, char* out, std::int64_t* size = nullptr);
// 1 when the digest of text equals digest exactly, 0 when not, -1 for a null argument.
int checkPassword(const char* text, const char* digest);

}  // namespace morvane
