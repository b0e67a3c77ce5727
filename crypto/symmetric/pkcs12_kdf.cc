#include "crypto/symmetric/pkcs12_kdf.h"

#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr int kMaxBlock = 168;
constexpr int kMaxDigest = 64;
// Far above any key, IV or MAC key; keeps the sizes of S and P and the output inside an int.
constexpr int kMaxBytes = 1 << 24;

// The input repeated to the next multiple of v bytes (nothing for an empty input).
int RepeatToBlocks(const uint8_t* data, int length, int v, ByteString& out) {
  if (length == 0) return kOk;
  const int total = ((length + v - 1) / v) * v;
  const int start = out.length();
  int rc = out.Resize(start + total);
  for (int i = 0; rc == kOk && i < total; ++i) out.bytes()[start + i] = data[i % length];
  return rc;
}

}  // namespace

Pkcs12Kdf::Pkcs12Kdf() { digestName_.SetText("MD5"); }

Pkcs12Kdf::~Pkcs12Kdf() {
  WipeString(password_);
  WipeString(salt_);
}

int Pkcs12PasswordToBmp(const ByteString& password, ByteString& out) {
  WipeString(out);
  if (password.empty()) return kOk;
  int rc = out.Resize(password.length() * 2 + 2);
  if (rc != kOk) return rc;
  for (int i = 0; i < password.length(); ++i) {
    out.bytes()[2 * i] = 0;
    out.bytes()[2 * i + 1] = password.bytes()[i];
  }
  return kOk;
}

namespace {

int DeriveWith(const char* digest_name, const ByteString& bmp, const ByteString& salt, int id, int iterations,
               int byte_count, int* block_length, ByteString& out) {
  if (byte_count < 0 || byte_count > kMaxBytes) return kErrInvalidValue;
  if (salt.length() > kMaxBytes || bmp.length() > kMaxBytes) return kErrInvalidValue;
  HashEngine engine;
  int rc = engine.SetAlgorithmByName(digest_name);
  if (rc != kOk) return rc;
  const int u = engine.digest_size();
  const int v = engine.block_size();
  if (u <= 0 || u > kMaxDigest || v <= 0 || v > kMaxBlock) return kErrInvalidValue;
  *block_length = v;

  ByteString input;  // I = S || P
  rc = RepeatToBlocks(salt.bytes(), salt.length(), v, input);
  if (rc == kOk) rc = RepeatToBlocks(bmp.bytes(), bmp.length(), v, input);

  uint8_t diversifier[kMaxBlock];
  std::memset(diversifier, id, static_cast<size_t>(v));
  uint8_t a[kMaxDigest];
  uint8_t b[kMaxBlock];
  const int rounds = (byte_count + u - 1) / u;
  ByteString result;
  if (rc == kOk) rc = result.Resize(rounds * u);
  for (int i = 0; i < rounds && rc == kOk; ++i) {
    rc = engine.Restart();
    if (rc == kOk) rc = engine.Update(diversifier, v);
    if (rc == kOk) rc = engine.Update(input.data(), input.length());
    if (rc == kOk) rc = engine.Final();
    for (int k = 1; k < iterations && rc == kOk; ++k) {
      std::memcpy(a, engine.digest().data(), static_cast<size_t>(u));
      rc = engine.Restart();
      if (rc == kOk) rc = engine.Update(a, u);
      if (rc == kOk) rc = engine.Final();
    }
    if (rc != kOk) break;
    std::memcpy(a, engine.digest().data(), static_cast<size_t>(u));
    std::memcpy(result.bytes() + i * u, a, static_cast<size_t>(u));
    if (i + 1 == rounds) break;  // I is only needed for the next round
    for (int k = 0; k < v; ++k) b[k] = a[k % u];
    // Ij = (Ij + B + 1) mod 2^(8v), big-endian.
    for (int j = 0; j < input.length(); j += v) {
      uint8_t* block = input.bytes() + j;
      unsigned carry = 1;
      for (int k = v - 1; k >= 0; --k) {
        carry += static_cast<unsigned>(block[k]) + b[k];
        block[k] = static_cast<uint8_t>(carry);
        carry >>= 8;
      }
    }
  }
  if (rc == kOk) {
    WipeString(out);
    rc = out.Set(result.data(), byte_count);
  }
  WipeBytes(a, sizeof a);
  WipeBytes(b, sizeof b);
  WipeString(input);
  WipeString(result);
  return rc;
}

}  // namespace

int Pkcs12DeriveBmp(const char* digest_name, const ByteString& bmp_password, const ByteString& salt, int id,
                    int iterations, int byte_count, ByteString& out) {
  int block = 0;
  return DeriveWith(digest_name, bmp_password, salt, id, iterations, byte_count, &block, out);
}

int Pkcs12Derive(Pkcs12Kdf& kdf, int id, int iterations, int byte_count, ByteString& out) {
  int block = kdf.blockLength_;
  ByteString bmp;
  int rc = Pkcs12PasswordToBmp(kdf.password_, bmp);
  if (rc == kOk) {
    rc = DeriveWith(kdf.digestName_.c_str(), bmp, kdf.salt_, id, iterations, byte_count, &block, out);
  }
  WipeString(bmp);
  kdf.blockLength_ = block;
  kdf.lastError_ = rc;
  return rc;
}

}  // namespace tw
