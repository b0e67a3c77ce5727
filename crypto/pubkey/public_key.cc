#include "crypto/pubkey/public_key.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"
#include "crypto/pubkey/ec_point.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"
#include "crypto/pubkey/prime_field.h"
#include "crypto/symmetric/tls_prf.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

constexpr int kPrfSeedBytes = 64;
constexpr int kPrfOutputBytes = 48;

// Hash of the plain derivation types 0 to 6 (any other: SHA-1) and of the HMAC types 7 to 11.
constexpr int kKdfHash[] = {kHashSha1, kHashSha256, kHashSha384, kHashSha512, kHashMd2, kHashMd4, kHashMd5};
constexpr int kKdfHmacHash[] = {kHashSha1, kHashSha256, kHashSha384, kHashSha512, kHashMd5};
// The same hashes by the names the platform's derivation takes.
constexpr const char* kKdfHashName[] = {"SHA1", "SHA256", "SHA384", "SHA512", "MD2", "MD4", "MD5"};
constexpr const char* kKdfHmacHashName[] = {"SHA1", "SHA256", "SHA384", "SHA512", "MD5"};

// BCRYPT_ECCKEY_BLOB magics of P-256, P-384 and P-521: public, private.
constexpr uint32_t kCngBlobMagic[][2] = {
    {win::BCRYPT_ECDSA_PUBLIC_P256_MAGIC, win::BCRYPT_ECDSA_PRIVATE_P256_MAGIC},
    {win::BCRYPT_ECDSA_PUBLIC_P384_MAGIC, win::BCRYPT_ECDSA_PRIVATE_P384_MAGIC},
    {win::BCRYPT_ECDSA_PUBLIC_P521_MAGIC, win::BCRYPT_ECDSA_PRIVATE_P521_MAGIC},
};

int RightAligned(const ByteString& v, int width, std::vector<uint8_t>& out) {
  int start = 0;
  while (start < v.length() && v.bytes()[start] == 0) ++start;
  const int len = v.length() - start;
  if (len > width) return kErrEcParams;
  out.assign(static_cast<size_t>(width), 0);
  std::memcpy(out.data() + width - len, v.bytes() + start, static_cast<size_t>(len));
  return 0;
}

template <class F>
bool Bind(win::HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(win::GetProcAddress(module, name));
  return *out != nullptr;
}

// ECCPUBLICBLOB or ECCPRIVATEBLOB of a P-256/384/521 record with X and Y (and D).
int WriteCngBlob(const EcKeyData& key, bool with_private, ByteString& out) {
  if (!CurveIsPrime(key.curve_id)) return kErrEcParams;
  const int w = CurveKeySize(key.curve_id);
  std::vector<uint8_t> x, y, d;
  if (RightAligned(key.X, w, x) || RightAligned(key.Y, w, y) || (with_private && RightAligned(key.D, w, d)))
    return kErrEcParams;
  out.Reset();
  SpanWriter blob(out);
  blob.U32Le(kCngBlobMagic[key.curve_id][with_private ? 1 : 0]);
  blob.U32Le(static_cast<uint32_t>(w));
  blob.Bytes(x.data(), x.size());
  blob.Bytes(y.data(), y.size());
  if (with_private) blob.Bytes(d.data(), d.size());
  if (!d.empty()) explicit_bzero(d.data(), d.size());
  return blob.rc();
}

std::u16string Wide(const char* text) {
  std::u16string w;
  for (const char* c = text; *c != 0; ++c) w += static_cast<char16_t>(static_cast<unsigned char>(*c));
  return w;
}

win::NCryptBuffer Buffer(uint32_t type, const void* data, size_t length) {
  return win::NCryptBuffer{static_cast<uint32_t>(length), type, const_cast<void*>(data)};
}

}  // namespace

const CngCalls* CngEntryPoints() {
  static std::mutex lock;
  static CngCalls calls;
  static bool bound = false;
  std::lock_guard<std::mutex> guard(lock);
  win::HMODULE module = win::LoadLibraryA(kCngLibrary);
  if (module == nullptr) return nullptr;
  if (bound) {
    win::FreeLibrary(module);  // the first binding keeps its reference for the process
    return &calls;
  }
  CngCalls c{};
  const bool ok = Bind(module, "NCryptOpenStorageProvider", &c.OpenStorageProvider) &&
                  Bind(module, "NCryptCreatePersistedKey", &c.CreatePersistedKey) &&
                  Bind(module, "NCryptSetProperty", &c.SetProperty) &&
                  Bind(module, "NCryptFinalizeKey", &c.FinalizeKey) && Bind(module, "NCryptExportKey", &c.ExportKey) &&
                  Bind(module, "NCryptImportKey", &c.ImportKey) && Bind(module, "NCryptSignHash", &c.SignHash) &&
                  Bind(module, "NCryptVerifySignature", &c.VerifySignature) &&
                  Bind(module, "NCryptSecretAgreement", &c.SecretAgreement) &&
                  Bind(module, "NCryptDeriveKey", &c.DeriveKey) && Bind(module, "NCryptFreeObject", &c.FreeObject);
  if (!ok) {
    win::FreeLibrary(module);
    return nullptr;
  }
  calls = c;
  bound = true;
  return &calls;
}

int CngImportEcKey(const EcKeyData& key, uintptr_t* handle) {
  if (handle != nullptr) *handle = 0;
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  if (handle == nullptr || !CurveIsPrime(key.curve_id)) return kErrEcParams;
  EcKeyData full(key);
  if (int rc = full.DerivePublic()) return rc;
  if (!full.HasPublic()) return kErrEcNoPublic;
  const bool with_private = full.HasPrivate();
  ByteString blob;
  if (int rc = WriteCngBlob(full, with_private, blob)) return rc;
  win::NCRYPT_PROV_HANDLE provider = 0;
  win::SECURITY_STATUS st = c->OpenStorageProvider(&provider, win::MS_KEY_STORAGE_PROVIDER, 0);
  if (st == 0) {
    st = c->ImportKey(provider, 0, with_private ? win::BCRYPT_ECCPRIVATE_BLOB : win::BCRYPT_ECCPUBLIC_BLOB, nullptr,
                      handle, blob.bytes(), static_cast<uint32_t>(blob.length()), 0);
    c->FreeObject(provider);
  }
  WipeComponent(blob);
  return st;
}

int CngDeriveKey(uintptr_t key, const EcKeyData& peer, const char* kdf, const char* hash, const ByteString& label,
                 const ByteString& seed, ByteString* out, const ByteString* hmac_key) {
  const bool prf = kdf != nullptr && std::strcmp(kdf, "TLS_PRF") == 0;
  if (prf) {
    if (label.empty()) return kErrEcPrfLabel;
    if (seed.length() != kPrfSeedBytes) return kErrEcPrfSeed;
  }
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  if (kdf == nullptr || hash == nullptr || out == nullptr) return kErrEcParams;
  EcKeyData peer_public;
  if (int rc = peer_public.Copy(peer, false)) return rc;
  uintptr_t peer_key = 0;
  if (int rc = CngImportEcKey(peer_public, &peer_key)) return rc;
  win::NCRYPT_SECRET_HANDLE secret = 0;
  win::SECURITY_STATUS st = c->SecretAgreement(key, peer_key, &secret, 0);
  c->FreeObject(peer_key);
  if (st != 0) return st;
  const std::u16string hash_name = Wide(hash);
  std::vector<win::NCryptBuffer> buffers = {
      Buffer(win::KDF_HASH_ALGORITHM, hash_name.c_str(), (hash_name.size() + 1) * sizeof(char16_t))};
  const uint32_t first = prf ? win::KDF_TLS_PRF_LABEL : win::KDF_SECRET_PREPEND;
  const uint32_t second = prf ? win::KDF_TLS_PRF_SEED : win::KDF_SECRET_APPEND;
  if (!label.empty()) buffers.push_back(Buffer(first, label.bytes(), static_cast<size_t>(label.length())));
  if (!seed.empty()) buffers.push_back(Buffer(second, seed.bytes(), static_cast<size_t>(seed.length())));
  if (hmac_key != nullptr && !hmac_key->empty() && std::strcmp(kdf, "HMAC") == 0)
    buffers.push_back(Buffer(win::KDF_HMAC_KEY, hmac_key->bytes(), static_cast<size_t>(hmac_key->length())));
  win::NCryptBufferDesc desc{win::NCRYPTBUFFER_VERSION, static_cast<uint32_t>(buffers.size()), buffers.data()};
  const std::u16string kdf_name = Wide(kdf);
  win::DWORD size = 0;
  st = c->DeriveKey(secret, kdf_name.c_str(), &desc, nullptr, 0, &size, 0);
  int rc = st;
  if (rc == 0) rc = out->SetData(static_cast<int>(size), nullptr);
  if (rc == 0) rc = c->DeriveKey(secret, kdf_name.c_str(), &desc, out->bytes(), size, &size, 0);
  c->FreeObject(secret);
  if (rc != 0) WipeComponent(*out);
  return rc;
}

PublicKey::~PublicKey() { SetCngKey(0); }

void PublicKey::SetCngKey(uintptr_t handle) {
  if (cng_key_ != 0 && cng_ != nullptr) cng_->FreeObject(cng_key_);
  cng_key_ = handle;
  cng_ = handle != 0 ? CngEntryPoints() : nullptr;
}

int PublicKey::CngSignHash(const uint8_t* digest, int length, ByteString& out) {
  if (!digest || length <= 0) return kErrEcNoDigest;
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  win::DWORD size = 0;
  const auto n = static_cast<win::DWORD>(length);
  if (win::SECURITY_STATUS st = c->SignHash(cng_key_, nullptr, digest, n, nullptr, 0, &size, 0)) return st;
  ByteString raw;
  if (int rc = raw.SetData(static_cast<int>(size), nullptr)) return rc;
  if (win::SECURITY_STATUS st = c->SignHash(cng_key_, nullptr, digest, n, raw.bytes(), size, &size, 0)) return st;
  return der_ ? EcdsaSignatureRawToDer(raw, out) : out.Assign(raw);
}

int PublicKey::CngVerifySignature(const uint8_t* digest, int length, const uint8_t* sig, int sig_length,
                                  bool* valid) {
  *valid = false;
  if (!digest || length <= 0) return kErrEcNoDigest;
  if (!sig || sig_length <= 0) return kErrEcNoSignature;
  if (!key_.X.length() || !key_.Y.length()) return kErrEcNoPublic;
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  ByteString raw;
  if (int rc = raw.Set(sig, sig_length)) return rc;
  // A DER signature whose numbers do not fit the curve cannot be one of this key's.
  if (int rc = EcdsaSignatureDerToRaw(raw, key_.curve_id)) return rc == kErrEcParams ? rc : 0;
  const win::SECURITY_STATUS st = c->VerifySignature(cng_key_, nullptr, digest, static_cast<win::DWORD>(length),
                                                raw.bytes(), static_cast<win::DWORD>(raw.length()), 0);
  if (st == static_cast<win::SECURITY_STATUS>(win::NTE_BAD_SIGNATURE)) return 0;
  *valid = st == 0;
  return st;
}

int PublicKey::CngExportKey(bool with_private) {
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  const char16_t* type = with_private ? win::BCRYPT_ECCPRIVATE_BLOB : win::BCRYPT_ECCPUBLIC_BLOB;
  win::DWORD size = 0;
  if (win::SECURITY_STATUS st = c->ExportKey(cng_key_, 0, type, nullptr, nullptr, 0, &size, 0)) return st;
  ByteString blob;
  int rc = blob.SetData(static_cast<int>(size), nullptr);
  if (rc == 0) rc = c->ExportKey(cng_key_, 0, type, nullptr, blob.bytes(), size, &size, 0);
  EcKeyData fresh;
  if (rc == 0) rc = fresh.ImportCngBlob(blob);
  WipeComponent(blob);
  if (rc == 0 && fresh.curve_id != key_.curve_id) rc = kErrEcFieldId;
  if (rc == 0) rc = key_.CopyAll(fresh);
  return rc;
}

int PublicKey::CheckReady() const {
  const EcCurveParams* c = key_.Params();
  if (!c || !c->IsValid() || !EcKeyCheck(key_, false)) return kErrEcParams;
  return 0;
}

int PublicKey::Sign(const uint8_t* digest, int length, ByteString& out) {
  // EdDSA signs messages, not digests: Edwards keys take a digest only as the prehash of ph.
  if (CurveIsEdwards(key_.curve_id)) return prehash_ ? EdDsaSign(digest, length, out) : kErrEcEdwardsDigest;
  if (!digest || length <= 0) return kErrEcNoDigest;
  if (!key_.X.length() || !key_.Y.length()) return kErrEcNoPublic;
  if (!key_.D.length()) return kErrEcNoPrivate;
  if (cng_key_ != 0) return CngSignHash(digest, length, out);
  if (int rc = CheckReady()) return rc;
  return EcdsaSign(key_, der_, digest, length, out);
}

int PublicKey::Verify(const uint8_t* digest, int length, const uint8_t* sig, int sig_length, bool* valid) {
  *valid = false;
  if (CurveIsEdwards(key_.curve_id)) {
    return prehash_ ? EdDsaVerify(digest, length, sig, sig_length, valid) : kErrEcEdwardsDigest;
  }
  if (cng_key_ != 0) return CngVerifySignature(digest, length, sig, sig_length, valid);
  if (int rc = CheckReady()) return rc;
  return EcdsaVerify(key_, digest, length, sig, sig_length, valid);
}

int PublicKey::SignData(const uint8_t* data, int length, int hash_id, ByteString& out) {
  if (CurveIsEdwards(key_.curve_id)) return EdDsaSign(data, length, out);
  if (int rc = hash_.SetAlgorithm(hash_id)) return rc;
  ByteString digest;
  if (int rc = hash_.DigestOf(data, length, digest)) return rc;
  return Sign(digest.bytes(), digest.length(), out);
}

int PublicKey::VerifyData(const uint8_t* data, int length, const uint8_t* sig, int sig_length, int hash_id,
                          bool* valid) {
  *valid = false;
  if (CurveIsEdwards(key_.curve_id)) return EdDsaVerify(data, length, sig, sig_length, valid);
  if (int rc = hash_.SetAlgorithm(hash_id)) return rc;
  ByteString digest;
  if (int rc = hash_.DigestOf(data, length, digest)) return rc;
  return Verify(digest.bytes(), digest.length(), sig, sig_length, valid);
}

int PublicKey::EdDsaSign(const uint8_t* message, int length, ByteString& out) {
  if (cng_key_ != 0) return kErrEcFieldId;
  const ByteString& pub = key_.public_bytes;
  const ByteString& priv = key_.private_bytes;
  if (!pub.length() || pub.length() != priv.length()) return kErrEcParams;
  if (length < 0 || (!message && length > 0)) return kErrEcNoDigest;
  const size_t n = static_cast<size_t>(length);
  const int ctx = ed_context_.length();
  if (key_.curve_id == kCurveEd25519) {
    if (prehash_) {
      return Ed25519PhSign(message, n, true, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), priv.bytes(),
                           priv.length(), out);
    }
    if (!ctx) return Ed25519Sign(message, n, pub.bytes(), pub.length(), priv.bytes(), priv.length(), out);
    return Ed25519CtxSign(message, n, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), priv.bytes(),
                          priv.length(), out);
  }
  if (key_.curve_id == kCurveEd448) {
    if (prehash_) {
      return Ed448PhSign(message, n, true, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), priv.bytes(),
                         priv.length(), out);
    }
    return Ed448Sign(message, n, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), priv.bytes(), priv.length(),
                     out);
  }
  return kErrEcParams;
}

int PublicKey::EdDsaVerify(const uint8_t* message, int length, const uint8_t* sig, int sig_length, bool* valid) {
  *valid = false;
  if (cng_key_ != 0) return kErrEcFieldId;
  if (length < 0 || (!message && length > 0)) return 0;
  const size_t n = static_cast<size_t>(length);
  const ByteString& pub = key_.public_bytes;
  const int ctx = ed_context_.length();
  int verdict = 0;
  if (key_.curve_id == kCurveEd25519) {
    if (prehash_) {
      verdict = Ed25519PhVerify(message, n, true, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), sig,
                                sig_length);
    } else if (!ctx) {
      verdict = Ed25519Verify(message, n, pub.bytes(), pub.length(), sig, sig_length);
    } else {
      verdict = Ed25519CtxVerify(message, n, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), sig, sig_length);
    }
  } else if (key_.curve_id == kCurveEd448) {
    verdict = prehash_ ? Ed448PhVerify(message, n, true, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), sig,
                                       sig_length)
                       : Ed448Verify(message, n, ed_context_.bytes(), ctx, pub.bytes(), pub.length(), sig,
                                     sig_length);
  }
  *valid = verdict == 1;
  return 0;
}

int PublicKey::GetKey(bool with_private, EcKeyData& out) {
  if (key_.HasPublic()) return out.Copy(key_, with_private);
  if (cng_key_ == 0) {
    const int curve = key_.curve_id;
    if (curve < 0 || curve > 6 || EcGenerateKey(curve, key_)) return kErrEcFieldId;
    return out.Copy(key_, with_private);
  }
  if (CurveIsPrime(key_.curve_id) && CngExportKey(with_private) == 0) return out.Copy(key_, with_private);
  return kErrEcFieldId;
}

int PublicKey::SetKey(const EcKeyData& record) {
  if (!EcKeyCheck(record, false)) return kErrEcParams;
  return key_.CopyAll(record);
}

int EcCheckAgreement(const EcKeyData& own, const EcKeyData& peer) {
  if (!own.HasPrivate()) return kErrEcNoPrivate;
  if (!peer.HasPublic()) return kErrEcNoPublic;
  if (own.curve_id != peer.curve_id) return kErrEcCurveMismatch;
  return 0;
}

int EcdhSharedSecret(const EcKeyData& own, const EcKeyData& peer, bool cofactor, ByteString& out) {
  if (peer.curve_id == kCurveX25519 || peer.curve_id == kCurveX448) {
    const int size = CurveKeySize(peer.curve_id);
    if (own.private_bytes.length() != size || peer.public_bytes.length() != size) return kErrEcParams;
    if (int rc = out.SetData(size, nullptr)) return rc;
    const int rc = peer.curve_id == kCurveX25519
                       ? X25519(own.private_bytes.bytes(), size, peer.public_bytes.bytes(), size, out.bytes(), size)
                       : X448(own.private_bytes.bytes(), size, peer.public_bytes.bytes(), size, out.bytes(), size);
    if (rc) WipeComponent(out);
    return rc;
  }
  const EcCurveParams* c = peer.Params();
  if (!c) return kErrEcParams;
  std::unique_ptr<EcGroup> holder;
  const EcGroup* g = EcGroupFor(*c, holder);
  if (!g) return kErrEcParams;
  const int w = g->field_bytes();
  // An unchecked point lets a peer pick a weak curve and read the key off the answers.
  std::vector<uint8_t> qx, qy;
  if (RightAligned(peer.X, w, qx) || RightAligned(peer.Y, w, qy) || !g->OnCurve(qx.data(), qy.data()))
    return kErrEcParams;
  const ByteString& priv = CurveIsPrime(own.curve_id) || !own.private_bytes.length() ? own.D : own.private_bytes;
  if (!priv.length()) return kErrEcNoPrivate;
  ByteString k;
  if (int rc = k.Assign(priv)) return rc;
  if (cofactor && c->h >= 2) {
    WideInt kw, hw, prod;
    hw.AddWord(static_cast<uint32_t>(c->h));
    if (int rc = WideIntFromBytes(kw, k)) return rc;
    if (int rc = WideMul(kw, hw, prod)) return rc;
    if (int rc = WideIntToBytes(prod, 4 * prod.count(), k)) return rc;
  }
  std::vector<uint8_t> xy(2 * static_cast<size_t>(w));
  bool inf = false;
  const int rc = g->MulSecret(k.bytes(), k.length(), qx.data(), qy.data(), xy.data(), &inf);
  WipeComponent(k);
  if (rc) return rc;
  ct::Declassify(&inf, sizeof inf);  // an identity is refused out loud
  if (inf) {
    explicit_bzero(xy.data(), xy.size());
    return kErrEcParams;
  }
  const int zbytes = (c->FieldBits() + 7) / 8;
  const int set = out.Set(xy.data() + w - zbytes, zbytes);
  explicit_bzero(xy.data(), xy.size());
  return set;
}

int PublicKey::DeriveSharedSecret(const EcKeyData& peer, int kdf, const uint8_t* prepend, int prepend_length,
                                  const uint8_t* append, int append_length, const uint8_t* hmac_key, int hmac_length,
                                  ByteString& out) {
  if (kdf == kEcdhKdfTlsPrf) {
    if (append_length != kPrfSeedBytes) return kErrEcPrfSeed;
    if (prepend_length < 1) return kErrEcPrfLabel;
  }
  if (cng_key_ != 0) {
    if (int rc = EcCheckAgreement(key_, peer)) return rc;
    const bool hmac = kdf >= kEcdhKdfHmacSha1 && kdf <= kEcdhKdfHmacMd5;
    const char* name = kdf == kEcdhKdfTlsPrf ? "TLS_PRF" : hmac ? "HMAC" : "HASH";
    const char* hash = hmac ? kKdfHmacHashName[kdf - kEcdhKdfHmacSha1]
                            : kdf >= 0 && kdf <= 6 ? kKdfHashName[kdf] : kKdfHashName[0];
    ByteString label, seed, key;
    int rc = label.Set(prepend, prepend_length > 0 ? prepend_length : 0);
    if (rc == 0) rc = seed.Set(append, append_length > 0 ? append_length : 0);
    if (rc == 0) rc = key.Set(hmac_key, hmac_length > 0 ? hmac_length : 0);
    if (rc == 0) rc = CngDeriveKey(cng_key_, peer, name, hash, label, seed, &out, &key);
    WipeComponent(key);
    return rc;
  }
  if (int rc = CheckReady()) return rc;
  if (int rc = EcCheckAgreement(key_, peer)) return rc;
  ByteString z;
  if (int rc = EcdhSharedSecret(key_, peer, false, z)) return rc;
  int rc = 0;
  if (kdf == kEcdhKdfTlsPrf) {
    ByteString label_seed;
    rc = label_seed.Set(prepend, prepend_length);
    if (!rc) rc = label_seed.Append(append, append_length);
    if (!rc) rc = TlsPrfMd5Sha1(z, label_seed, kPrfOutputBytes, out);
  } else if (kdf >= kEcdhKdfHmacSha1 && kdf <= kEcdhKdfHmacMd5) {
    rc = hmac_.SetKey(kKdfHmacHash[kdf - kEcdhKdfHmacSha1], hmac_key, hmac_length);
    if (!rc) rc = hmac_.Update(prepend, prepend_length);
    if (!rc) rc = hmac_.Update(z.data(), z.length());
    if (!rc) rc = hmac_.Update(append, append_length);
    if (!rc) rc = hmac_.Final();
    if (!rc) rc = out.Assign(hmac_.mac());
  } else {
    rc = hash_.SetAlgorithm(kdf >= 0 && kdf <= 6 ? kKdfHash[kdf] : kHashSha1);
    if (!rc) rc = hash_.Update(prepend, prepend_length);
    if (!rc) rc = hash_.Update(z.data(), z.length());
    if (!rc) rc = hash_.Update(append, append_length);
    if (!rc) rc = hash_.Final();
    if (!rc) rc = out.Assign(hash_.digest());
  }
  WipeComponent(z);
  return rc;
}

}  // namespace tw
