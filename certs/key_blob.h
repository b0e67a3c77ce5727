// The private- and public-key blobs of the platform's key providers: RSA ("RSA2"/"RSA1",
// version 2) and DSS ("DSS4"/"DSS3", version 3), every number little-endian at its width.
#pragma once

#include <cstdint>

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"

namespace tw {

// A key of a family the blobs cannot carry (elliptic-curve and Edwards keys).
constexpr int kErrKeyBlobKind = 1122;
// A component wider than the width the modulus (or P) gives it, or a public exponent over 32 bits.
constexpr int kErrKeyBlobComponent = 1120;
// A blob that is cut short, has a wrong header or magic, or carries a bit length out of range.
constexpr int kErrKeyBlobFormat = 1121;

constexpr uint8_t kBlobTypePublic = 0x06;
constexpr uint8_t kBlobTypePrivate = 0x07;
constexpr uint32_t kAlgRsaKeyExchange = 0xA400;
constexpr uint32_t kAlgDssSign = 0x2200;

// The private blob of an RSA or DSA key with its private part. 0; kErrKeyBlobKind;
// kErrKeyBlobComponent; 1111/1204 without the private part; 200.
int WritePrivateKeyBlob(const KeyPair& key, ByteString* out);
// The public blob of an RSA or DSA key.
int WritePublicKeyBlob(const KeyPair& key, ByteString* out);
// Either blob back into a key (the RSA CRT parts and the DSA public value are taken as given).
// 0; kErrKeyBlobFormat; 200.
int ReadKeyBlob(const uint8_t* blob, int length, KeyPair* out);

// The bit length a blob gives a modulus of these big-endian bytes (leading zeros ignored).
int KeyBlobBitLength(const ByteString& modulus);

}  // namespace tw
