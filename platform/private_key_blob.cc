#include "platform/private_key_blob.h"

#include <cstring>

namespace win {
namespace {

constexpr uint8_t kPrivateKeyBlob = 7;
constexpr uint8_t kDssVersion3 = 3;
constexpr uint32_t kAlgDssSign = 0x2200;
constexpr char kDssPrivateMagic[] = "DSS4";
constexpr size_t kSeedBytes = 4 + 20;  // counter and seed, not needed to use the key
constexpr uint32_t kMaxBits = 16384;
// libcrypto's selection of domain parameters, public and private key.
constexpr int kSelectKeyPair = 0x87;

// Bounds-checked little-endian reads over the blob.
struct Reader {
  const uint8_t* p;
  size_t left;
  bool U32(uint32_t* v) {
    if (left < 4) return false;
    *v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    p += 4;
    left -= 4;
    return true;
  }
  bool Take(size_t n, const uint8_t** out) {
    if (left < n) return false;
    *out = p;
    p += n;
    left -= n;
    return true;
  }
};

bool IsDss3(const uint8_t* blob, size_t length) {
  if (length < 12 || blob[0] != kPrivateKeyBlob || blob[1] != kDssVersion3) return false;
  const uint32_t alg = blob[4] | blob[5] << 8 | blob[6] << 16 | static_cast<uint32_t>(blob[7]) << 24;
  return alg == kAlgDssSign && std::memcmp(blob + 8, kDssPrivateMagic, 4) == 0;
}

OsslPkey* DsaFromDss3(const OpenSslEntries& o, const uint8_t* blob, size_t length) {
  Reader r{blob + 12, length - 12};
  uint32_t bits[4];  // P, Q, J, X
  for (uint32_t& b : bits) {
    if (!r.U32(&b) || b > kMaxBits) return nullptr;
  }
  if (bits[0] == 0 || bits[1] == 0 || bits[3] == 0) return nullptr;
  const uint8_t* skipped = nullptr;
  if (!r.Take(kSeedBytes, &skipped)) return nullptr;
  const size_t p_bytes = (bits[0] + 7) / 8;
  const size_t widths[] = {p_bytes, (bits[1] + 7) / 8, p_bytes, (bits[2] + 7) / 8, p_bytes, (bits[3] + 7) / 8};
  const char* names[] = {"p", "q", "g", nullptr, "pub", "priv"};  // J is not part of the key
  OsslBignum* numbers[6] = {};
  bool ok = true;
  for (int i = 0; i < 6 && ok; ++i) {
    const uint8_t* at = nullptr;
    ok = r.Take(widths[i], &at);
    if (!ok || names[i] == nullptr) continue;
    // The private number in secure memory: the parameters then keep their copy apart and wipe it.
    OsslBignum* into = i == 5 ? o.BN_secure_new() : nullptr;
    numbers[i] = o.BN_lebin2bn(at, static_cast<int>(widths[i]), into);
    if (numbers[i] == nullptr && into != nullptr) o.BN_clear_free(into);
    ok = numbers[i] != nullptr;
  }
  ok = ok && r.left == 0;
  OsslPkey* key = nullptr;
  OsslParamBuilder* builder = ok ? o.OSSL_PARAM_BLD_new() : nullptr;
  for (int i = 0; builder != nullptr && ok && i < 6; ++i) {
    if (names[i] != nullptr) ok = o.OSSL_PARAM_BLD_push_BN(builder, names[i], numbers[i]) == 1;
  }
  OsslParam* params = builder != nullptr && ok ? o.OSSL_PARAM_BLD_to_param(builder) : nullptr;
  OsslPkeyCtx* ctx = params != nullptr ? o.EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr) : nullptr;
  if (ctx != nullptr && o.EVP_PKEY_fromdata_init(ctx) == 1) {
    if (o.EVP_PKEY_fromdata(ctx, &key, kSelectKeyPair, params) != 1) key = nullptr;
  }
  if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  if (params != nullptr) o.OSSL_PARAM_free(params);  // wipes the private part, kept apart
  if (builder != nullptr) o.OSSL_PARAM_BLD_free(builder);
  for (OsslBignum* n : numbers) {
    if (n != nullptr) o.BN_clear_free(n);
  }
  return key;
}

}  // namespace

OsslPkey* PrivateKeyFromBlob(const OpenSslEntries& o, const uint8_t* blob, size_t length) {
  OsslPkey* key = nullptr;
  if (blob != nullptr && IsDss3(blob, length)) {
    key = DsaFromDss3(o, blob, length);
  } else if (blob != nullptr && length > 0) {
    const unsigned char* p = blob;
    key = o.b2i_PrivateKey(&p, static_cast<long>(length));
  }
  o.ERR_clear_error();
  return key;
}

}  // namespace win
