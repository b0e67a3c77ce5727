#include "crypto/symmetric/tls_prf.h"

#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr int kMaxDigest = 64;
constexpr int kSsl3RoundBytes = 16;
constexpr int kSsl3MaxRounds = kSsl3MaxKeyBlock / kSsl3RoundBytes;
constexpr uint8_t kSsl3FirstLetter = 0x41;

int KeyedPrf(int hash_id, const uint8_t* secret, int secret_length, const ByteString& label_and_seed, int length,
             ByteString& out) {
  HmacEngine hmac;
  int rc = hmac.SetKey(hash_id, secret, secret_length);
  if (rc == kOk) rc = TlsPHash(hmac, label_and_seed, length, out);
  return rc;
}

int PrfSha2(int hash_id, const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out) {
  return KeyedPrf(hash_id, secret.bytes(), secret.length(), label_and_seed, length, out);
}

}  // namespace

int TlsPHash(HmacEngine& keyed, const ByteString& seed, int length, ByteString& out) {
  WipeString(out);
  if (length < 0) return kErrInvalidValue;
  if (length == 0) return kOk;
  const int hLen = keyed.mac_size();
  if (hLen <= 0 || hLen > kMaxDigest) return kErrHashAlgorithm;
  const int blocks = (length + hLen - 1) / hLen;
  if (blocks > (INT32_MAX - 1) / hLen) return kErrInvalidValue;
  // Sized once, so no reallocation leaves key bytes behind in a freed block.
  int rc = out.Resize(blocks * hLen);
  if (rc != kOk) return rc;
  uint8_t a[kMaxDigest];
  rc = keyed.Update(seed.data(), seed.length());
  if (rc == kOk) rc = keyed.Final();
  for (int i = 0; i < blocks && rc == kOk; ++i) {
    std::memcpy(a, keyed.mac().data(), static_cast<size_t>(hLen));
    rc = keyed.Update(a, hLen);
    if (rc == kOk) rc = keyed.Update(seed.data(), seed.length());
    if (rc == kOk) rc = keyed.Final();
    if (rc != kOk) break;
    std::memcpy(out.bytes() + i * hLen, keyed.mac().data(), static_cast<size_t>(hLen));
    if (i + 1 < blocks) {
      rc = keyed.Update(a, hLen);
      if (rc == kOk) rc = keyed.Final();
    }
  }
  WipeBytes(a, sizeof a);
  if (rc == kOk) rc = TruncateSecret(out, length);
  if (rc != kOk) WipeString(out);
  return rc;
}

int TlsPrfSha256(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out) {
  return PrfSha2(kHashSha256, secret, label_and_seed, length, out);
}

int TlsPrfSha384(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out) {
  return PrfSha2(kHashSha384, secret, label_and_seed, length, out);
}

int TlsPrfMd5Sha1(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out) {
  const int half = (secret.length() + 1) / 2;
  ByteString md5Part;
  ByteString sha1Part;
  int rc = KeyedPrf(kHashMd5, secret.bytes(), half, label_and_seed, length, md5Part);
  if (rc == kOk) {
    rc = KeyedPrf(kHashSha1, secret.bytes() + secret.length() - half, half, label_and_seed, length, sha1Part);
  }
  if (rc == kOk) {
    for (int i = 0; i < length; ++i) md5Part.bytes()[i] ^= sha1Part.bytes()[i];
    WipeString(out);
    rc = out.Assign(md5Part);
  }
  WipeString(md5Part);
  WipeString(sha1Part);
  return rc;
}

int Ssl3DeriveKeyBlock(const ByteString& secret, const ByteString& randoms, int length, ByteString& out) {
  WipeString(out);
  if (length < 0 || length > kSsl3MaxKeyBlock) return kErrInvalidValue;
  const int rounds = (length + kSsl3RoundBytes - 1) / kSsl3RoundBytes;
  int rc = out.Resize(rounds * kSsl3RoundBytes);
  if (rc != kOk) return rc;
  HashEngine md5;
  HashEngine sha1;
  rc = md5.SetAlgorithmByName("MD5");
  if (rc == kOk) rc = sha1.SetAlgorithmByName("SHA1");
  uint8_t letters[kSsl3MaxRounds];
  for (int r = 1; r <= rounds && rc == kOk; ++r) {
    std::memset(letters, kSsl3FirstLetter + r - 1, static_cast<size_t>(r));
    rc = sha1.Restart();
    if (rc == kOk) rc = sha1.Update(letters, r);
    if (rc == kOk) rc = sha1.Update(secret.data(), secret.length());
    if (rc == kOk) rc = sha1.Update(randoms.data(), randoms.length());
    if (rc == kOk) rc = sha1.Final();
    if (rc == kOk) rc = md5.Restart();
    if (rc == kOk) rc = md5.Update(secret.data(), secret.length());
    if (rc == kOk) rc = md5.Update(sha1.digest().data(), sha1.digest().length());
    if (rc == kOk) rc = md5.Final();
    if (rc == kOk) std::memcpy(out.bytes() + (r - 1) * kSsl3RoundBytes, md5.digest().data(), kSsl3RoundBytes);
  }
  if (rc == kOk) rc = TruncateSecret(out, length);
  if (rc != kOk) WipeString(out);
  return rc;
}

}  // namespace tw
