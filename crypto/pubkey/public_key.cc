#include "crypto/pubkey/public_key.h"

#include <cstring>
#include <memory>
#include <vector>

#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"
#include "crypto/pubkey/ec_point.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"
#include "crypto/pubkey/prime_field.h"
#include "crypto/symmetric/tls_prf.h"

namespace tw {
namespace {

constexpr int kPrfSeedBytes = 64;
constexpr int kPrfOutputBytes = 48;

// Hash of the plain derivation types 0 to 6 (any other: SHA-1) and of the HMAC types 7 to 11.
constexpr int kKdfHash[] = {kHashSha1, kHashSha256, kHashSha384, kHashSha512, kHashMd2, kHashMd4, kHashMd5};
constexpr int kKdfHmacHash[] = {kHashSha1, kHashSha256, kHashSha384, kHashSha512, kHashMd5};

int RightAligned(const ByteString& v, int width, std::vector<uint8_t>& out) {
  int start = 0;
  while (start < v.length() && v.bytes()[start] == 0) ++start;
  const int len = v.length() - start;
  if (len > width) return kErrEcParams;
  out.assign(static_cast<size_t>(width), 0);
  std::memcpy(out.data() + width - len, v.bytes() + start, static_cast<size_t>(len));
  return 0;
}

}  // namespace

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
  if (int rc = CheckReady()) return rc;
  return EcdsaSign(key_, der_, digest, length, out);
}

int PublicKey::Verify(const uint8_t* digest, int length, const uint8_t* sig, int sig_length, bool* valid) {
  *valid = false;
  if (CurveIsEdwards(key_.curve_id)) {
    return prehash_ ? EdDsaVerify(digest, length, sig, sig_length, valid) : kErrEcEdwardsDigest;
  }
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
