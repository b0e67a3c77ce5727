#include "crypto/symmetric/kdf.h"

#include <cstring>

#include "foundation/byte_ops.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr int kMaxDigest = 64;
// Far above any key and IV; keeps the block arithmetic of the iterated form inside an int.
constexpr int kMaxDerivedBytes = 1 << 24;

struct HmacDigestWord {
  const char* word;
  int id;
};

// Searched in this order: the first word the lower-cased name contains decides.
constexpr HmacDigestWord kHmacDigestWords[] = {
    {"sha1", kHashSha1},     {"sha224", kHashSha224}, {"sha256", kHashSha256}, {"sha384", kHashSha384},
    {"sha512", kHashSha512}, {"md5", kHashMd5},       {"ripemd", kHashRipemd160},
};

constexpr const char* kHmacMarker = "hmac";

// One output block: U1 = HMAC(salt || INT(block)), Uj = HMAC(Uj-1), T = U1 ^ ... ^ Uc.
int Pbkdf2Block(HmacEngine& hmac, const void* salt, int salt_length, uint32_t block, int iterations,
                uint8_t* t) {
  const int hLen = hmac.mac_size();
  uint8_t counter[4];
  StoreBe32(counter, block);
  int rc = hmac.Update(salt, salt_length);
  if (rc == kOk) rc = hmac.Update(counter, 4);
  if (rc == kOk) rc = hmac.Final();
  if (rc != kOk) return rc;
  uint8_t u[kMaxDigest];
  std::memcpy(u, hmac.mac().data(), static_cast<size_t>(hLen));
  std::memcpy(t, u, static_cast<size_t>(hLen));
  for (int j = 1; j < iterations && rc == kOk; ++j) {
    rc = hmac.Update(u, hLen);
    if (rc == kOk) rc = hmac.Final();
    if (rc != kOk) break;
    std::memcpy(u, hmac.mac().data(), static_cast<size_t>(hLen));
    for (int k = 0; k < hLen; ++k) t[k] ^= u[k];
  }
  WipeBytes(u, sizeof u);
  return rc;
}

}  // namespace

int Pbkdf2(HmacEngine& hmac, int hash_id, const void* password, int password_length, const void* salt,
           int salt_length, int iterations, int output_bits, void* output) {
  hmac.set_pbkdf2_hash_id(hash_id);
  if (output_bits < 0) return kErrInvalidValue;
  const int dkLen = output_bits / 8;
  const int hLen = HashDigestSize(hash_id);
  if (dkLen == 0) return kOk;
  if (iterations < 1) return kErrInvalidValue;
  if (hLen <= 0 || hLen > kMaxDigest || dkLen > kPbkdf2MaxBlocks * hLen) return kErrOutOfMemory;
  if (password == nullptr || password_length < 0) password_length = 0;
  if (salt == nullptr || salt_length < 0) salt_length = 0;
  int rc = hmac.SetKey(hash_id, password, password_length);
  if (rc != kOk) return rc;

  const int blocks = (dkLen + hLen - 1) / hLen;
  uint8_t scratch[kPbkdf2MaxBlocks * kMaxDigest];
  for (int i = 1; i <= blocks && rc == kOk; ++i) {
    rc = Pbkdf2Block(hmac, salt, salt_length, static_cast<uint32_t>(i), iterations, scratch + (i - 1) * hLen);
  }
  if (rc == kOk) std::memcpy(output, scratch, static_cast<size_t>(dkLen));
  WipeBytes(scratch, sizeof scratch);
  return rc;
}

int Pbkdf2(int hash_id, const void* password, int password_length, const void* salt, int salt_length,
           int iterations, int output_bits, ByteString& out) {
  WipeString(out);
  if (output_bits < 0) return kErrInvalidValue;
  int rc = out.Resize(output_bits / 8);
  if (rc != kOk) return rc;
  HmacEngine hmac;
  rc = Pbkdf2(hmac, hash_id, password, password_length, salt, salt_length, iterations, output_bits, out.data());
  if (rc != kOk) WipeString(out);
  return rc;
}

PasswordKdf::PasswordKdf() { digestName_.SetText("MD5"); }

PasswordKdf::~PasswordKdf() {
  WipeString(password_);
  WipeString(salt_);
  WipeString(key_);
  WipeString(iv_);
}

template <class Context>
int PasswordKdf::Iterated(Context& context, int iterations, const char* password, const void* salt,
                          int salt_length, int output_length, int order_flag, ByteString& out) {
  constexpr int kSize = Context::kDigestSize;
  const size_t passwordLength = std::strlen(password);
  // Reserve the whole result at once, so no block of key bytes is left behind by a reallocation.
  const int blocks = (output_length + kSize - 1) / kSize;
  int rc = out.Resize(blocks * kSize);
  if (rc != kOk) return rc;
  uint8_t previous[kSize];
  for (int i = 0; i < blocks; ++i) {
    context.Init();
    if (order_flag == 0) {
      if (i > 0) context.Update(previous, kSize);
      context.Update(password, passwordLength);
    } else {
      context.Update(password, passwordLength);
      if (i > 0) context.Update(previous, kSize);
    }
    context.Update(salt, static_cast<size_t>(salt_length));
    std::memcpy(previous, context.Final(), kSize);
    for (int k = 1; k < iterations; ++k) {
      context.Init();
      context.Update(previous, kSize);
      std::memcpy(previous, context.Final(), kSize);
    }
    std::memcpy(out.bytes() + i * kSize, previous, kSize);
  }
  WipeBytes(previous, sizeof previous);
  context.Init();
  return TruncateSecret(out, output_length);
}

int PasswordKdf::DeriveBytes(int iterations, const char* digest_name, const char* password, const void* salt,
                             int salt_length, int output_length, int order_flag, ByteString& out) {
  WipeString(out);
  if (digest_name == nullptr) digest_name = "";
  if (password == nullptr) password = "";
  if (salt == nullptr || salt_length < 0) salt_length = 0;
  if (output_length < 0) output_length = 0;
  if (output_length > kMaxDerivedBytes) return kErrOutOfMemory;

  ByteString lower;
  int rc = lower.SetText(digest_name);
  if (rc != kOk) return rc;
  lower.ToLower();
  if (lower.Contains(kHmacMarker)) {
    int id = -1;
    for (const HmacDigestWord& entry : kHmacDigestWords) {
      if (lower.Contains(entry.word)) {
        id = entry.id;
        break;
      }
    }
    if (id < 0) return kErrKdfDigestName;
    return Pbkdf2(id, password, static_cast<int>(std::strlen(password)), salt, salt_length, iterations,
                  output_length * 8, out);
  }
  if (EqualsNoCase(digest_name, "md5")) {
    rc = Iterated(md5_, iterations, password, salt, salt_length, output_length, order_flag, out);
  } else if (EqualsNoCase(digest_name, "sha1")) {
    rc = Iterated(sha1_, iterations, password, salt, salt_length, output_length, order_flag, out);
  } else if (EqualsNoCase(digest_name, "md2")) {
    rc = Iterated(md2_, iterations, password, salt, salt_length, output_length, order_flag, out);
  } else {
    return kErrKdfDigestName;
  }
  if (rc != kOk) WipeString(out);
  return rc;
}

int PasswordKdf::DeriveKeyAndIv(int iterations, const uint8_t** key, int key_length, const uint8_t** iv,
                                int iv_length, int order_flag) {
  if (key_length < 0) key_length = 0;
  if (iv_length < 0) iv_length = 0;
  if (key_length > kMaxDerivedBytes || iv_length > kMaxDerivedBytes) return lastError_ = kErrOutOfMemory;
  ByteString bytes;
  int rc = DeriveBytes(iterations, digestName_.c_str(), password_.c_str(), salt_.data(), salt_.length(),
                       key_length + iv_length, order_flag, bytes);
  ByteString newKey;
  ByteString newIv;
  if (rc == kOk && key_length > 0) rc = newKey.Set(bytes.data(), key_length);
  if (rc == kOk && iv_length > 0) rc = newIv.Set(bytes.data() + key_length, iv_length);
  if (rc == kOk) {
    if (key_length > 0) {
      WipeString(key_);
      rc = key_.Set(newKey.data(), newKey.length());
    }
    if (rc == kOk && iv_length > 0) {
      WipeString(iv_);
      rc = iv_.Set(newIv.data(), newIv.length());
    }
  }
  WipeString(bytes);
  WipeString(newKey);
  WipeString(newIv);
  if (rc == kOk) {
    if (key != nullptr) *key = key_.bytes();
    if (iv != nullptr) *iv = iv_.bytes();
  }
  lastError_ = rc;
  return rc;
}

int Mgf1(const void* seed, int seed_length, const char* digest_name, int mask_length, ByteString& out) {
  if (seed == nullptr || seed_length < 0 || mask_length < 0) return kErrMgfArgument;
  HashEngine engine;
  int rc = engine.SetAlgorithmByName(digest_name);
  if (rc != kOk) return rc;
  const int hLen = engine.digest_size();
  int remaining = mask_length;
  for (uint32_t counter = 0; remaining > 0 && rc == kOk; ++counter) {
    uint8_t c[4];
    StoreBe32(c, counter);
    rc = engine.Restart();
    if (rc == kOk) rc = engine.Update(seed, seed_length);
    if (rc == kOk) rc = engine.Update(c, 4);
    if (rc == kOk) rc = engine.Final();
    const int take = remaining < hLen ? remaining : hLen;
    if (rc == kOk) rc = out.Append(engine.digest().data(), take);
    remaining -= take;
  }
  return rc;
}

}  // namespace tw
