// The software key storage provider of ncrypt over libcrypto's EVP keys.
#include "platform/ncrypt.h"

#include <strings.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/handle.h"
#include "platform/openssl_entries.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr int kSelectPublicKey = 0x86;
constexpr int kSelectKeyPair = 0x87;
constexpr uint8_t kUncompressedPoint = 4;
constexpr uint32_t kBlobHeader = 8;  // dwMagic, cbKey
constexpr DWORD kTlsPrfSeedBytes = 64;
constexpr DWORD kTlsPrfOutputBytes = 48;

struct CurveInfo {
  const char16_t* algorithm;
  const char* group;  // libcrypto's group name
  uint32_t public_magic;
  uint32_t private_magic;
  uint32_t ecdh_public_magic;
  uint32_t ecdh_private_magic;
  uint32_t key_bytes;
};
constexpr CurveInfo kCurves[] = {
    {u"ECDSA_P256", "prime256v1", BCRYPT_ECDSA_PUBLIC_P256_MAGIC, BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 0x314B4345,
     0x324B4345, 32},
    {u"ECDSA_P384", "secp384r1", BCRYPT_ECDSA_PUBLIC_P384_MAGIC, BCRYPT_ECDSA_PRIVATE_P384_MAGIC, 0x334B4345,
     0x344B4345, 48},
    {u"ECDSA_P521", "secp521r1", BCRYPT_ECDSA_PUBLIC_P521_MAGIC, BCRYPT_ECDSA_PRIVATE_P521_MAGIC, 0x354B4345,
     0x364B4345, 66},
};

struct HashName {
  const char16_t* cng;
  const char* ossl;
};
constexpr HashName kHashes[] = {
    {u"SHA1", "SHA1"}, {u"SHA256", "SHA256"}, {u"SHA384", "SHA384"}, {u"SHA512", "SHA512"}, {u"MD5", "MD5"},
};

constexpr char16_t kKdfHash[] = u"HASH";
constexpr char16_t kKdfHmac[] = u"HMAC";
constexpr char16_t kKdfTlsPrf[] = u"TLS_PRF";

constexpr SECURITY_STATUS kSuccess = 0;

SECURITY_STATUS Status(DWORD nte) { return static_cast<SECURITY_STATUS>(nte); }

bool Same(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

void Wipe(std::vector<uint8_t>& v) {
  if (!v.empty()) explicit_bzero(v.data(), v.size());
  v.clear();
}

struct Key {
  const OpenSslEntries* o = nullptr;
  const CurveInfo* curve = nullptr;
  bool finalised = false;
  DWORD export_policy = 0;
  OsslPkey* pkey = nullptr;
  std::vector<uint8_t> x, y, d;  // big-endian at the curve's key size; d empty for a public key
  ~Key() {
    Wipe(d);
    if (pkey != nullptr) o->EVP_PKEY_free(pkey);
  }
};

struct Object {
  enum Kind { kProvider, kKey, kSecret } kind = kProvider;
  std::unique_ptr<Key> key;
  std::vector<uint8_t> z;  // the agreed secret
  ~Object() { Wipe(z); }
};

struct Objects {
  std::mutex lock;
  std::map<uintptr_t, Object> by_handle;
};

Objects& Table() {
  static Objects* t = KeepProcessTable(new Objects);
  return *t;
}

Object* Find(uintptr_t handle, Object::Kind kind) {
  auto it = Table().by_handle.find(handle);
  return it == Table().by_handle.end() || it->second.kind != kind ? nullptr : &it->second;
}

uintptr_t Add(Object::Kind kind, std::unique_ptr<Key> key) {
  const uintptr_t id = NewHandleId();
  Object& obj = Table().by_handle[id];
  obj.kind = kind;
  obj.key = std::move(key);
  return id;
}

// Writes size bytes through `fill` when the caller's buffer takes them.
template <class Fill>
SECURITY_STATUS Output(uint8_t* out, DWORD out_length, DWORD* result, DWORD size, Fill fill) {
  if (result == nullptr) return Status(NTE_INVALID_PARAMETER);
  *result = size;
  if (out == nullptr) return kSuccess;
  if (out_length < size) return Status(NTE_BUFFER_TOO_SMALL);
  fill(out);
  return kSuccess;
}

bool ReadBn(const OpenSslEntries& o, OsslPkey* pkey, const char* name, uint32_t width, std::vector<uint8_t>* out) {
  OsslBignum* bn = nullptr;
  if (o.EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return false;
  out->assign(width, 0);
  const bool ok = o.BN_bn2binpad(bn, out->data(), static_cast<int>(width)) == static_cast<int>(width);
  o.BN_clear_free(bn);
  return ok;
}

// libcrypto's key of these numbers; null when they are no key of the curve.
OsslPkey* MakePkey(const OpenSslEntries& o, const Key& k) {
  std::vector<uint8_t> point(1 + 2 * k.x.size());
  point[0] = kUncompressedPoint;
  std::memcpy(point.data() + 1, k.x.data(), k.x.size());
  std::memcpy(point.data() + 1 + k.x.size(), k.y.data(), k.y.size());
  OsslBignum* priv = k.d.empty() ? nullptr : o.BN_bin2bn(k.d.data(), static_cast<int>(k.d.size()), nullptr);
  OsslParamBuilder* bld = o.OSSL_PARAM_BLD_new();
  OsslParam* params = nullptr;
  bool ok = bld != nullptr && (k.d.empty() || priv != nullptr) &&
            o.OSSL_PARAM_BLD_push_utf8_string(bld, "group", k.curve->group, 0) == 1 &&
            o.OSSL_PARAM_BLD_push_octet_string(bld, "pub", point.data(), point.size()) == 1 &&
            (priv == nullptr || o.OSSL_PARAM_BLD_push_BN(bld, "priv", priv) == 1);
  if (ok) params = o.OSSL_PARAM_BLD_to_param(bld);
  OsslPkey* pkey = nullptr;
  OsslPkeyCtx* ctx = params != nullptr ? o.EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr) : nullptr;
  if (ctx != nullptr && o.EVP_PKEY_fromdata_init(ctx) == 1 &&
      o.EVP_PKEY_fromdata(ctx, &pkey, k.d.empty() ? kSelectPublicKey : kSelectKeyPair, params) != 1) {
    pkey = nullptr;
  }
  if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  if (params != nullptr) o.OSSL_PARAM_free(params);
  if (bld != nullptr) o.OSSL_PARAM_BLD_free(bld);
  if (priv != nullptr) o.BN_clear_free(priv);
  o.ERR_clear_error();
  return pkey;
}

// A new key pair of the curve, its numbers read back for export.
bool Generate(const OpenSslEntries& o, Key* k) {
  OsslPkeyCtx* ctx = o.EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  bool ok = ctx != nullptr && o.EVP_PKEY_keygen_init(ctx) == 1 &&
            o.EVP_PKEY_CTX_set_group_name(ctx, k->curve->group) == 1 && o.EVP_PKEY_generate(ctx, &k->pkey) == 1;
  if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  const uint32_t w = k->curve->key_bytes;
  ok = ok && ReadBn(o, k->pkey, "qx", w, &k->x) && ReadBn(o, k->pkey, "qy", w, &k->y) &&
       ReadBn(o, k->pkey, "priv", w, &k->d);
  o.ERR_clear_error();
  return ok;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The blob's key: curve from the magic, which must fit the blob type, and exact lengths.
bool ParseBlob(const uint8_t* data, DWORD length, bool is_private, Key* k) {
  if (data == nullptr || length < kBlobHeader) return false;
  const uint32_t magic = GetLe32(data), size = GetLe32(data + 4);
  for (const CurveInfo& c : kCurves) {
    const bool match = is_private ? (magic == c.private_magic || magic == c.ecdh_private_magic)
                                  : (magic == c.public_magic || magic == c.ecdh_public_magic);
    if (match) k->curve = &c;
  }
  if (k->curve == nullptr || size != k->curve->key_bytes) return false;
  const uint32_t parts = is_private ? 3 : 2;
  if (length != kBlobHeader + parts * size) return false;
  const uint8_t* p = data + kBlobHeader;
  k->x.assign(p, p + size);
  k->y.assign(p + size, p + 2 * size);
  if (is_private) k->d.assign(p + 2 * size, p + 3 * size);
  return true;
}

// The parameters of NCryptDeriveKey, by buffer type.
struct KdfParams {
  const OsslMd* md = nullptr;
  std::vector<uint8_t> prepend, append, hmac_key, label, seed;
  bool has_label = false, has_seed = false;
  ~KdfParams() { Wipe(hmac_key); }
};

SECURITY_STATUS ReadKdfParams(const OpenSslEntries& o, const NCryptBufferDesc* desc, KdfParams* p) {
  const char* hash = "SHA1";
  if (desc != nullptr) {
    if (desc->ulVersion != NCRYPTBUFFER_VERSION || (desc->cBuffers > 0 && desc->pBuffers == nullptr))
      return Status(NTE_INVALID_PARAMETER);
    for (uint32_t i = 0; i < desc->cBuffers; ++i) {
      const NCryptBuffer& b = desc->pBuffers[i];
      if (b.cbBuffer > 0 && b.pvBuffer == nullptr) return Status(NTE_INVALID_PARAMETER);
      const auto* bytes = static_cast<const uint8_t*>(b.pvBuffer);
      std::vector<uint8_t> value(bytes, bytes + b.cbBuffer);
      switch (b.BufferType) {
        case KDF_HASH_ALGORITHM: {
          // A UTF-16 name whose size counts its terminator.
          const size_t chars = b.cbBuffer / sizeof(char16_t);
          std::vector<char16_t> name(chars + 1, 0);
          std::memcpy(name.data(), b.pvBuffer, chars * sizeof(char16_t));
          hash = nullptr;
          for (const HashName& h : kHashes) {
            if (Same(name.data(), h.cng)) hash = h.ossl;
          }
          if (hash == nullptr) return Status(NTE_NOT_SUPPORTED);
          break;
        }
        case KDF_SECRET_PREPEND: p->prepend = std::move(value); break;
        case KDF_SECRET_APPEND: p->append = std::move(value); break;
        case KDF_HMAC_KEY: p->hmac_key = std::move(value); break;
        case KDF_TLS_PRF_LABEL: p->label = std::move(value), p->has_label = true; break;
        case KDF_TLS_PRF_SEED: p->seed = std::move(value), p->has_seed = true; break;
        default: return Status(NTE_NOT_SUPPORTED);
      }
    }
  }
  p->md = o.EVP_get_digestbyname(hash);
  return p->md != nullptr ? kSuccess : Status(NTE_NOT_SUPPORTED);
}

bool TlsPrf(const OpenSslEntries& o, const std::vector<uint8_t>& z, const KdfParams& p, uint8_t* out) {
  const OsslMd* md5_sha1 = o.EVP_get_digestbyname("MD5-SHA1");
  OsslPkeyCtx* ctx = md5_sha1 != nullptr ? o.EVP_PKEY_CTX_new_from_name(nullptr, "TLS1-PRF", nullptr) : nullptr;
  size_t length = kTlsPrfOutputBytes;
  const bool ok = ctx != nullptr && o.EVP_PKEY_derive_init(ctx) == 1 &&
                  o.EVP_PKEY_CTX_set_tls1_prf_md(ctx, md5_sha1) == 1 &&
                  o.EVP_PKEY_CTX_set1_tls1_prf_secret(ctx, z.data(), static_cast<int>(z.size())) == 1 &&
                  o.EVP_PKEY_CTX_add1_tls1_prf_seed(ctx, p.label.data(), static_cast<int>(p.label.size())) == 1 &&
                  o.EVP_PKEY_CTX_add1_tls1_prf_seed(ctx, p.seed.data(), static_cast<int>(p.seed.size())) == 1 &&
                  o.EVP_PKEY_derive(ctx, out, &length) == 1 && length == kTlsPrfOutputBytes;
  if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  o.ERR_clear_error();
  return ok;
}

}  // namespace

SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const char16_t* name, DWORD flags) {
  if (provider == nullptr) return Status(NTE_INVALID_PARAMETER);
  *provider = 0;
  if (flags != 0) return Status(NTE_BAD_FLAGS);
  // No name means the default provider, which is the software one.
  if (name != nullptr && !Same(name, MS_KEY_STORAGE_PROVIDER)) return Status(NTE_KEYSET_NOT_DEF);
  if (LoadOpenSsl() == nullptr) return Status(NTE_FAIL);
  std::lock_guard<std::mutex> guard(Table().lock);
  *provider = Add(Object::kProvider, nullptr);
  return kSuccess;
}

SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                         const char16_t* algorithm, const char16_t* key_name, DWORD key_spec,
                                         DWORD flags) {
  if (key == nullptr) return Status(NTE_INVALID_PARAMETER);
  *key = 0;
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) return Status(NTE_FAIL);
  std::lock_guard<std::mutex> guard(Table().lock);
  if (Find(provider, Object::kProvider) == nullptr) return Status(NTE_INVALID_HANDLE);
  if (flags != 0) return Status(NTE_BAD_FLAGS);
  if (key_name != nullptr) return Status(NTE_NOT_SUPPORTED);
  auto k = std::make_unique<Key>();
  k->o = o;
  for (const CurveInfo& c : kCurves) {
    if (Same(algorithm, c.algorithm)) k->curve = &c;
  }
  if (k->curve == nullptr) return Status(NTE_BAD_ALGID);
  *key = Add(Object::kKey, std::move(k));
  return kSuccess;
}

SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input,
                                  DWORD length, DWORD flags) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(object, Object::kKey);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  if ((flags & ~NCRYPT_PERSIST_FLAG) != 0) return Status(NTE_BAD_FLAGS);
  if (!Same(property, NCRYPT_EXPORT_POLICY_PROPERTY) || obj->key->finalised) return Status(NTE_NOT_SUPPORTED);
  if (input == nullptr || length != sizeof(DWORD)) return Status(NTE_INVALID_PARAMETER);
  std::memcpy(&obj->key->export_policy, input, sizeof(DWORD));
  return kSuccess;
}

SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(key, Object::kKey);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  if (flags != 0) return Status(NTE_BAD_FLAGS);
  Key& k = *obj->key;
  if (k.finalised) return Status(NTE_INVALID_PARAMETER);
  if (!Generate(*k.o, &k)) return Status(NTE_FAIL);
  k.finalised = true;
  return kSuccess;
}

SECURITY_STATUS NCryptExportKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                                NCryptBufferDesc* parameters, uint8_t* output, DWORD output_length,
                                DWORD* result, DWORD flags) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(key, Object::kKey);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  const Key& k = *obj->key;
  if (!k.finalised) return Status(NTE_BAD_KEY);
  if (export_key != 0 || parameters != nullptr || flags != 0) return Status(NTE_NOT_SUPPORTED);
  const bool is_private = Same(blob_type, BCRYPT_ECCPRIVATE_BLOB);
  if (!is_private && !Same(blob_type, BCRYPT_ECCPUBLIC_BLOB)) return Status(NTE_BAD_TYPE);
  if (is_private && (k.d.empty() || (k.export_policy & NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG) == 0))
    return Status(NTE_NOT_SUPPORTED);
  const uint32_t w = k.curve->key_bytes;
  return Output(output, output_length, result, kBlobHeader + (is_private ? 3 : 2) * w, [&](uint8_t* p) {
    PutLe32(p, is_private ? k.curve->private_magic : k.curve->public_magic);
    PutLe32(p + 4, w);
    std::memcpy(p + kBlobHeader, k.x.data(), w);
    std::memcpy(p + kBlobHeader + w, k.y.data(), w);
    if (is_private) std::memcpy(p + kBlobHeader + 2 * w, k.d.data(), w);
  });
}

SECURITY_STATUS NCryptImportKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE import_key,
                                const char16_t* blob_type, NCryptBufferDesc* parameters, NCRYPT_KEY_HANDLE* key,
                                const uint8_t* data, DWORD length, DWORD flags) {
  if (key == nullptr) return Status(NTE_INVALID_PARAMETER);
  *key = 0;
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) return Status(NTE_FAIL);
  std::lock_guard<std::mutex> guard(Table().lock);
  if (Find(provider, Object::kProvider) == nullptr) return Status(NTE_INVALID_HANDLE);
  if (import_key != 0 || parameters != nullptr || flags != 0) return Status(NTE_NOT_SUPPORTED);
  const bool is_private = Same(blob_type, BCRYPT_ECCPRIVATE_BLOB);
  if (!is_private && !Same(blob_type, BCRYPT_ECCPUBLIC_BLOB)) return Status(NTE_BAD_TYPE);
  auto k = std::make_unique<Key>();
  k->o = o;
  if (!ParseBlob(data, length, is_private, k.get())) return Status(NTE_BAD_DATA);
  k->pkey = MakePkey(*o, *k);
  if (k->pkey == nullptr) return Status(NTE_BAD_DATA);
  k->finalised = true;
  // The caller had the key in the clear already: it may take it back.
  k->export_policy = NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG;
  *key = Add(Object::kKey, std::move(k));
  return kSuccess;
}

SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE key, void* padding, const uint8_t* hash, DWORD hash_length,
                               uint8_t* signature, DWORD signature_length, DWORD* result, DWORD flags) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(key, Object::kKey);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  const Key& k = *obj->key;
  if (!k.finalised) return Status(NTE_BAD_KEY);
  if (k.d.empty()) return Status(NTE_NOT_SUPPORTED);
  if (hash == nullptr || hash_length == 0) return Status(NTE_INVALID_PARAMETER);
  const OpenSslEntries& o = *k.o;
  const uint32_t w = k.curve->key_bytes;
  SECURITY_STATUS status = kSuccess;
  const SECURITY_STATUS sized = Output(signature, signature_length, result, 2 * w, [&](uint8_t* out) {
    OsslPkeyCtx* ctx = o.EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey, nullptr);
    std::vector<uint8_t> der(static_cast<size_t>(o.EVP_PKEY_get_size(k.pkey)));
    size_t der_length = der.size();
    OsslEcdsaSig* sig = nullptr;
    const OsslBignum *r = nullptr, *s = nullptr;
    if (ctx != nullptr && o.EVP_PKEY_sign_init(ctx) == 1 &&
        o.EVP_PKEY_sign(ctx, der.data(), &der_length, hash, hash_length) == 1) {
      const unsigned char* p = der.data();
      sig = o.d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_length));
    }
    if (sig != nullptr) o.ECDSA_SIG_get0(sig, &r, &s);
    if (r == nullptr || o.BN_bn2binpad(r, out, static_cast<int>(w)) != static_cast<int>(w) ||
        o.BN_bn2binpad(s, out + w, static_cast<int>(w)) != static_cast<int>(w)) {
      status = Status(NTE_FAIL);
    }
    if (sig != nullptr) o.ECDSA_SIG_free(sig);
    if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
    o.ERR_clear_error();
  });
  return sized != kSuccess ? sized : status;
}

SECURITY_STATUS NCryptVerifySignature(NCRYPT_KEY_HANDLE key, void* padding, const uint8_t* hash,
                                      DWORD hash_length, const uint8_t* signature, DWORD signature_length,
                                      DWORD flags) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(key, Object::kKey);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  const Key& k = *obj->key;
  if (!k.finalised) return Status(NTE_BAD_KEY);
  if (hash == nullptr || hash_length == 0 || signature == nullptr) return Status(NTE_INVALID_PARAMETER);
  const uint32_t w = k.curve->key_bytes;
  if (signature_length != 2 * w) return Status(NTE_BAD_SIGNATURE);
  const OpenSslEntries& o = *k.o;
  OsslEcdsaSig* sig = o.ECDSA_SIG_new();
  OsslBignum* r = o.BN_bin2bn(signature, static_cast<int>(w), nullptr);
  OsslBignum* s = o.BN_bin2bn(signature + w, static_cast<int>(w), nullptr);
  bool valid = false;
  if (sig != nullptr && r != nullptr && s != nullptr && o.ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    const int length = o.i2d_ECDSA_SIG(sig, nullptr);
    std::vector<uint8_t> der(length > 0 ? static_cast<size_t>(length) : 0);
    unsigned char* p = der.data();
    OsslPkeyCtx* ctx = o.EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey, nullptr);
    valid = length > 0 && o.i2d_ECDSA_SIG(sig, &p) == length && ctx != nullptr && o.EVP_PKEY_verify_init(ctx) == 1 &&
            o.EVP_PKEY_verify(ctx, der.data(), der.size(), hash, hash_length) == 1;
    if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  }
  if (r != nullptr) o.BN_free(r);
  if (s != nullptr) o.BN_free(s);
  if (sig != nullptr) o.ECDSA_SIG_free(sig);
  o.ERR_clear_error();
  return valid ? kSuccess : Status(NTE_BAD_SIGNATURE);
}

SECURITY_STATUS NCryptSecretAgreement(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                      NCRYPT_SECRET_HANDLE* secret, DWORD flags) {
  if (secret == nullptr) return Status(NTE_INVALID_PARAMETER);
  *secret = 0;
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* own = Find(private_key, Object::kKey);
  Object* peer = Find(public_key, Object::kKey);
  if (own == nullptr || peer == nullptr) return Status(NTE_INVALID_HANDLE);
  if (flags != 0) return Status(NTE_BAD_FLAGS);
  const Key &a = *own->key, &b = *peer->key;
  if (!a.finalised || !b.finalised) return Status(NTE_BAD_KEY);
  if (a.d.empty() || a.curve != b.curve) return Status(NTE_INVALID_PARAMETER);
  const OpenSslEntries& o = *a.o;
  OsslPkeyCtx* ctx = o.EVP_PKEY_CTX_new_from_pkey(nullptr, a.pkey, nullptr);
  std::vector<uint8_t> z(a.curve->key_bytes);
  size_t length = z.size();
  const bool ok = ctx != nullptr && o.EVP_PKEY_derive_init(ctx) == 1 &&
                  o.EVP_PKEY_derive_set_peer(ctx, b.pkey) == 1 && o.EVP_PKEY_derive(ctx, z.data(), &length) == 1 &&
                  length == z.size();
  if (ctx != nullptr) o.EVP_PKEY_CTX_free(ctx);
  o.ERR_clear_error();
  if (!ok) {
    Wipe(z);
    return Status(NTE_FAIL);
  }
  *secret = Add(Object::kSecret, nullptr);
  Table().by_handle[*secret].z = std::move(z);
  return kSuccess;
}

SECURITY_STATUS NCryptDeriveKey(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, NCryptBufferDesc* parameters,
                                uint8_t* derived, DWORD derived_length, DWORD* result, DWORD flags) {
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) return Status(NTE_FAIL);
  std::lock_guard<std::mutex> guard(Table().lock);
  Object* obj = Find(secret, Object::kSecret);
  if (obj == nullptr) return Status(NTE_INVALID_HANDLE);
  if (flags != 0) return Status(NTE_BAD_FLAGS);
  const bool hash = Same(kdf, kKdfHash), hmac = Same(kdf, kKdfHmac), prf = Same(kdf, kKdfTlsPrf);
  if (!hash && !hmac && !prf) return Status(NTE_NOT_SUPPORTED);
  KdfParams p;
  if (SECURITY_STATUS rc = ReadKdfParams(*o, parameters, &p)) return rc;
  const std::vector<uint8_t>& z = obj->z;
  if (prf) {
    if (!p.has_label || p.label.empty() || !p.has_seed || p.seed.size() != kTlsPrfSeedBytes)
      return Status(NTE_INVALID_PARAMETER);
    SECURITY_STATUS status = kSuccess;
    const SECURITY_STATUS sized = Output(derived, derived_length, result, kTlsPrfOutputBytes, [&](uint8_t* out) {
      if (!TlsPrf(*o, z, p, out)) status = Status(NTE_FAIL);
    });
    return sized != kSuccess ? sized : status;
  }
  std::vector<uint8_t> message(p.prepend);
  message.insert(message.end(), z.begin(), z.end());
  message.insert(message.end(), p.append.begin(), p.append.end());
  std::vector<uint8_t> mac(64);
  unsigned int mac_length = 0;
  const bool ok = hash ? o->EVP_Digest(message.data(), message.size(), mac.data(), &mac_length, p.md, nullptr) == 1
                       : o->HMAC(p.md, p.hmac_key.data(), static_cast<int>(p.hmac_key.size()), message.data(),
                                 message.size(), mac.data(), &mac_length) != nullptr;
  Wipe(message);
  if (!ok || mac_length == 0) {
    Wipe(mac);
    return Status(NTE_FAIL);
  }
  const SECURITY_STATUS sized = Output(derived, derived_length, result, mac_length,
                                       [&](uint8_t* out) { std::memcpy(out, mac.data(), mac_length); });
  Wipe(mac);
  return sized;
}

SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object) {
  std::lock_guard<std::mutex> guard(Table().lock);
  if (Table().by_handle.erase(object) == 0) return Status(NTE_INVALID_HANDLE);
  return kSuccess;
}

long OpenNcryptObjects() {
  std::lock_guard<std::mutex> guard(Table().lock);
  return static_cast<long>(Table().by_handle.size());
}

std::span<const ProcEntry> NcryptExports() {
  static const ProcEntry kTable[] = {
      {"NCryptOpenStorageProvider", reinterpret_cast<FARPROC>(&NCryptOpenStorageProvider)},
      {"NCryptCreatePersistedKey", reinterpret_cast<FARPROC>(&NCryptCreatePersistedKey)},
      {"NCryptSetProperty", reinterpret_cast<FARPROC>(&NCryptSetProperty)},
      {"NCryptFinalizeKey", reinterpret_cast<FARPROC>(&NCryptFinalizeKey)},
      {"NCryptExportKey", reinterpret_cast<FARPROC>(&NCryptExportKey)},
      {"NCryptImportKey", reinterpret_cast<FARPROC>(&NCryptImportKey)},
      {"NCryptSignHash", reinterpret_cast<FARPROC>(&NCryptSignHash)},
      {"NCryptVerifySignature", reinterpret_cast<FARPROC>(&NCryptVerifySignature)},
      {"NCryptSecretAgreement", reinterpret_cast<FARPROC>(&NCryptSecretAgreement)},
      {"NCryptDeriveKey", reinterpret_cast<FARPROC>(&NCryptDeriveKey)},
      {"NCryptFreeObject", reinterpret_cast<FARPROC>(&NCryptFreeObject)},
  };
  return kTable;
}

}  // namespace win
