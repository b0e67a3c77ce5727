// bcrypt_pbkdf, the key derivation of OpenSSH's "openssh-key-v1" private key files: PBKDF2-like
// rounds over a Blowfish-based hash (Eksblowfish keyed with SHA-512 of password and salt).
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/text_conversion.h"  // kErrInvalidValue

namespace tw {

// Longest output: 32 bytes of hash output, each spread over up to 32 positions.
constexpr int kBcryptPbkdfMaxBytes = 1024;

// When kdf_name is "bcrypt" (any case), derives key_length + iv_length bytes as OpenSSH does for
// the file's cipher and sets key_out to the first key_length and iv_out to the rest. Any other
// name ("none") leaves both outputs alone and returns 0. 0; 202 for fewer than 1 round, an empty
// or over-long (1 MiB) salt, negative lengths, or a total of 0 or above 1024 bytes; 200.
int BcryptPbkdf(const char* password, const char* kdf_name, const void* salt, int salt_length, int rounds,
                int key_length, int iv_length, ByteString& key_out, ByteString& iv_out);

// The raw derivation into out (length bytes, 1 to 1024). Same codes.
int BcryptPbkdfBytes(const void* password, int password_length, const void* salt, int salt_length, int rounds,
                     uint8_t* out, int length);

}  // namespace tw
