// PEM armour: DER bytes wrapped in labelled Base64 text, the reader that splits a text into its
// labelled blocks, the single-label decoder and the decryption of blocks under a "DEK-Info"
// header (the traditional password-encrypted PEM key).
#pragma once

#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrPemLabel = 1424;       // the expected label or its end line is missing
constexpr int kErrPemCipher = 2001;      // a cipher name outside the supported list
constexpr int kErrPemIvLength = 2006;    // an IV whose length is not the cipher's block size
constexpr int kErrPemDigest = 3001;      // a key-derivation digest name not known

// "-----BEGIN label-----\r\n", the Base64 in lines of 64 characters, "\r\n-----END label-----\r\n".
// A failure empties the output.
int PemArmor(ByteString* out, const char* label, const void* bytes, int length);
// The same over a ByteString.
int PemEncodeBytes(const char* label, const ByteString& bytes, ByteString* out);

// Every block of the text, in order: label, header lines (joined by CR LF) and decoded body.
// 0 when at least one block was read, else -1; error_text names the first fault met.
int ReadPemBlocks(const void* text, int length, StringList* labels, StringList* headers,
                  StringList* bodies, ByteString* error_text);

// The bytes of the first block with that label, decrypted with the password when it carries
// "DEK-Info". Data that is not text (binary, or one whole DER SEQUENCE) is taken as DER and
// returned unchanged. 1424 when the label or its end line is missing; without strict, text with
// no PEM block at all is taken whole as Base64. Decryption codes as PemDecrypt.
int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length,
                       const char* password, bool strict);
// Not strict, no password: the form the TLS certificate code uses.
int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length);
// PemDecodeWithLabel over a text with the strict switch on; null password reads as empty.
int PemDecodeBytes(const ByteString& text, const char* label, ByteString* out, const char* password);

// Replaces data by its decryption under a cipher by name: "DES-EDE3-CBC", "3des-cbc",
// "DES-EDE3-CFB", "AES-128-CBC" or "AES-256-CBC" (else 2001). The key comes from the password and
// salt: the OpenSSL EVP_BytesToKey construction (digest "MD5" when none is named, "SHA1" or
// "MD2"; the first 8 salt bytes; at least one round) or, for a digest name holding "hmac",
// PBKDF2 over the whole salt. The IV is the cipher's block of zeros with zero_iv, else
// explicit_iv when given, else the salt bytes themselves (the DEK-Info form); its length must be
// the block size (2006). Padding failure (a wrong password, mostly) is 2004; a length that is no
// block multiple 2003; data is left as it was on failure.
int PemDecrypt(const char* cipher_name, ByteString* data, const char* password, const uint8_t* salt,
               int salt_length, bool zero_iv, const char* digest_name, int iterations,
               const ByteString* explicit_iv);

// The cipher name and IV bytes of a "DEK-Info" header in a block's header text; false when the
// text has none (or its IV is not hexadecimal).
bool ParseDekInfo(const char* headers, ByteString* cipher_name, ByteString* iv);

// True when the bytes are 7-bit text without NUL and not one whole DER SEQUENCE.
bool IsPemText(const void* data, int length);

}  // namespace tw
