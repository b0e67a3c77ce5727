#include "crypto/symmetric/bcrypt_pbkdf.h"

#include <cstring>

#include "crypto/symmetric/blowfish.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/sha512.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kKdfName[] = "bcrypt";
constexpr int kHashWords = 8;
constexpr int kHashBytes = kHashWords * 4;
constexpr int kShaBytes = 64;
constexpr int kExpandRounds = 64;
constexpr int kEncryptRounds = 64;
constexpr int kMaxSaltBytes = 1 << 20;
constexpr uint8_t kMagic[kHashBytes + 1] = "OxychromaticBlowfishSwatDynamite";

bool IsBcryptName(const char* name) {
  if (name == nullptr) return false;
  for (int i = 0;; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kKdfName[i]) return false;
    if (c == '\0') return true;
  }
}

// Eksblowfish keyed with both digests, then the magic text enciphered 64 times.
int BcryptHash(BlowfishContext& blowfish, const uint8_t* sha2pass, const uint8_t* sha2salt, uint8_t* out) {
  int rc = blowfish.InitState();
  if (rc == kOk) rc = blowfish.ExpandKeyWithSalt(sha2salt, kShaBytes, sha2pass, kShaBytes);
  for (int i = 0; i < kExpandRounds && rc == kOk; ++i) {
    rc = blowfish.ExpandKey(sha2salt, kShaBytes);
    if (rc == kOk) rc = blowfish.ExpandKey(sha2pass, kShaBytes);
  }
  if (rc != kOk) return rc;
  uint32_t words[kHashWords];
  int position = 0;
  for (uint32_t& word : words) word = BlowfishContext::StreamToWord(kMagic, kHashBytes, &position);
  for (int i = 0; i < kEncryptRounds && rc == kOk; ++i) rc = blowfish.EncryptWords(words, kHashWords / 2);
  for (int i = 0; i < kHashWords; ++i) {
    out[4 * i + 0] = static_cast<uint8_t>(words[i]);
    out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(words[i] >> 24);
  }
  WipeBytes(words, sizeof words);
  return rc;
}

}  // namespace

int BcryptPbkdfBytes(const void* password, int password_length, const void* salt, int salt_length, int rounds,
                     uint8_t* out, int length) {
  if (rounds < 1 || salt == nullptr || salt_length < 1 || salt_length > kMaxSaltBytes) return kErrInvalidValue;
  if (out == nullptr || length < 1 || length > kBcryptPbkdfMaxBytes) return kErrInvalidValue;
  if (password == nullptr || password_length < 0) password_length = 0;

  BlowfishContext blowfish;
  if (!blowfish.Allocated()) return kErrOutOfMemory;

  uint8_t sha2pass[kShaBytes];
  uint8_t sha2salt[kShaBytes];
  uint8_t block[kHashBytes];
  uint8_t tmp[kHashBytes];
  Sha512Context sha;
  sha.Update(password, static_cast<size_t>(password_length));
  std::memcpy(sha2pass, sha.Final(), kShaBytes);

  // Output byte i of block `count` lands at i * stride + count - 1, so every block contributes
  // to the whole key rather than to one end of it.
  const int stride = (length + kHashBytes - 1) / kHashBytes;
  int amount = (length + stride - 1) / stride;
  int remaining = length;
  int rc = kOk;
  for (uint32_t count = 1; remaining > 0 && rc == kOk; ++count) {
    const uint8_t counter[4] = {static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                                static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    sha.Init();
    sha.Update(salt, static_cast<size_t>(salt_length));
    sha.Update(counter, 4);
    std::memcpy(sha2salt, sha.Final(), kShaBytes);
    rc = BcryptHash(blowfish, sha2pass, sha2salt, tmp);
    std::memcpy(block, tmp, kHashBytes);
    for (int r = 1; r < rounds && rc == kOk; ++r) {
      sha.Init();
      sha.Update(tmp, kHashBytes);
      std::memcpy(sha2salt, sha.Final(), kShaBytes);
      rc = BcryptHash(blowfish, sha2pass, sha2salt, tmp);
      for (int j = 0; j < kHashBytes; ++j) block[j] ^= tmp[j];
    }
    if (rc != kOk) break;
    if (amount > remaining) amount = remaining;
    int i = 0;
    for (; i < amount; ++i) {
      const int dest = i * stride + static_cast<int>(count) - 1;
      if (dest >= length) break;
      out[dest] = block[i];
    }
    remaining -= i;
  }
  WipeBytes(sha2pass, sizeof sha2pass);
  WipeBytes(sha2salt, sizeof sha2salt);
  WipeBytes(block, sizeof block);
  WipeBytes(tmp, sizeof tmp);
  blowfish.Clear();
  if (rc != kOk) WipeBytes(out, static_cast<size_t>(length));
  return rc;
}

int BcryptPbkdf(const char* password, const char* kdf_name, const void* salt, int salt_length, int rounds,
                int key_length, int iv_length, ByteString& key_out, ByteString& iv_out) {
  if (!IsBcryptName(kdf_name)) return kOk;
  if (key_length < 0 || iv_length < 0 || key_length > kBcryptPbkdfMaxBytes || iv_length > kBcryptPbkdfMaxBytes) {
    return kErrInvalidValue;
  }
  if (password == nullptr) password = "";
  uint8_t derived[kBcryptPbkdfMaxBytes];
  const int total = key_length + iv_length;
  int rc = BcryptPbkdfBytes(password, static_cast<int>(std::strlen(password)), salt, salt_length, rounds, derived,
                            total);
  if (rc == kOk) {
    WipeString(key_out);
    rc = key_out.Set(derived, key_length);
  }
  if (rc == kOk) {
    WipeString(iv_out);
    rc = iv_out.Set(derived + key_length, iv_length);
  }
  WipeBytes(derived, sizeof derived);
  return rc;
}

}  // namespace tw
