#include "certs/key_encoding.h"

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "certs/pem_armor.h"
#include "crypto/pubkey/big_number.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/rsa_engine.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kOidRsa = "1.2.840.113549.1.1.1";
constexpr const char* kOidDsa = "1.2.840.10040.4.1";
constexpr const char* kOidEcPublicKey = "1.2.840.10045.2.1";

constexpr int kTagInteger = 0x02;
constexpr int kTagBitString = 0x03;
constexpr int kTagOctetString = 0x04;
constexpr int kTagOid = 0x06;
constexpr int kTagSequence = 0x30;
constexpr int kTagEcPublicKey = 0xA1;   // ECPrivateKey's [1] publicKey
constexpr int kTagEdPublicKey = 0x81;   // OneAsymmetricKey's [1] IMPLICIT publicKey

constexpr const char* kLabelPrivate = "PRIVATE KEY";
constexpr const char* kLabelPublic = "PUBLIC KEY";
constexpr const char* kLabelRsaPrivate = "RSA PRIVATE KEY";
constexpr const char* kLabelRsaPublic = "RSA PUBLIC KEY";

struct TypeName {
  const char* name;
  int kind;  // KeyPairType
  int curve;
};
constexpr TypeName kTypeNames[] = {
    {"RSA", kKeyRsa, kCurveNone},          {"DSA", kKeyDsa, kCurveNone},
    {"ECDSA_P256", kKeyEc, kCurveP256},    {"ECDSA_P384", kKeyEc, kCurveP384},
    {"ECDSA_P521", kKeyEc, kCurveP521},    {"Ed25519", kKeyEdwards, kCurveEd25519},
    {"Ed448", kKeyEdwards, kCurveEd448},
};

// INTEGER of a big-endian magnitude, written minimal whatever zero bytes the record kept.
int AppendUnsigned(DerWriter* w, const ByteString& v) {
  int skip = 0;
  while (skip + 1 < v.length() && v.ByteAt(skip) == 0) ++skip;
  if (v.empty()) return kErrDerWrite;
  return w->DerAppendUnsignedInteger(v.bytes() + skip, v.length() - skip);
}

// The writer's DER as it stands or armoured; out is replaced only on success.
int Finish(DerWriter* w, bool pem, const char* label, ByteString* out) {
  int rc = kOk;
  if (pem) {
    ByteString text;
    rc = PemEncodeBytes(label, w->output(), &text);
    if (rc == kOk) rc = out->Assign(text);
    WipeBytes(text.bytes(), static_cast<size_t>(text.length()));
  } else {
    rc = out->Assign(w->output());
  }
  WipeBytes(w->output().bytes(), static_cast<size_t>(w->output().length()));
  return rc;
}

// SEQUENCE { INTEGER version, algorithm identifier (already DER), OCTET STRING { inner } }
// followed by the optional trailer, or SEQUENCE { algorithm identifier, BIT STRING { inner } }.
int WrapKeyInfo(bool is_private, int version, const DerWriter& alg, const ByteString& inner, const ByteString* trailer,
                DerWriter* w) {
  int rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk && is_private) rc = w->DerAppendInteger(kTagInteger, version);
  if (rc == kOk) rc = w->AppendRaw(alg.output().data(), alg.output().length());
  if (rc == kOk) {
    rc = is_private ? w->DerAppendTlv(kTagOctetString, inner.data(), inner.length())
                    : w->DerAppendBitString(kTagBitString, inner.data(), inner.length());
  }
  if (rc == kOk && trailer != nullptr && !trailer->empty()) rc = w->AppendRaw(trailer->data(), trailer->length());
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  return rc;
}

// Fills in what a private RSA record lacks so that every RSAPrivateKey field can be written.
int CompleteRsaPrivate(RsaKeyData* r) {
  const bool primes = !r->P.empty() && !r->Q.empty();
  if (r->E.empty() || !primes) return kErrDerWrite;  // D alone cannot give the primes here
  BigNumber p, q, e;
  p.SetBytes(r->P);
  q.SetBytes(r->Q);
  e.SetBytes(r->E);
  int rc = kOk;
  if (r->N.empty()) {
    BigNumber n;
    BigNumber::Mul(p, q, n);
    rc = n.ToMagnitude(r->N);
  }
  if (rc == kOk && r->D.empty()) {
    BigNumber p1, q1, phi, d;
    BigNumber::Sub(p, BigNumber::One(), p1);
    BigNumber::Sub(q, BigNumber::One(), q1);
    BigNumber::Mul(p1, q1, phi);
    rc = BigNumber::ModInverse(e, phi, d);
    if (rc == kOk) rc = d.ToMagnitude(r->D);
  }
  if (rc == kOk) rc = r->CompleteCrt();
  return rc;
}

int RsaInner(const RsaKeyData& key, bool* is_private, DerWriter* w) {
  RsaKeyData r(key);
  *is_private = !r.D.empty() || (!r.P.empty() && !r.Q.empty());
  int rc = *is_private ? CompleteRsaPrivate(&r) : kOk;
  if (rc == kOk && (r.N.empty() || r.E.empty())) rc = kErrDerWrite;
  if (rc == kOk) rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk && *is_private) rc = w->DerAppendInteger(kTagInteger, 0);
  if (*is_private) {
    const ByteString* fields[] = {&r.N, &r.E, &r.D, &r.P, &r.Q, &r.DP, &r.DQ, &r.QInv};
    for (const ByteString* f : fields) {
      if (rc == kOk) rc = AppendUnsigned(w, *f);
    }
  } else {
    if (rc == kOk) rc = AppendUnsigned(w, r.N);
    if (rc == kOk) rc = AppendUnsigned(w, r.E);
  }
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  return rc;
}

bool EcPrivate(const EcKeyData& key, bool public_only) {
  return !public_only && (key.UsesRawBytes() ? !key.private_bytes.empty() : !key.D.empty());
}

}  // namespace

int WriteRsaPkcs1(const RsaKeyData& key, bool pem, ByteString* out) {
  DerWriter w;
  bool is_private = false;
  const int rc = RsaInner(key, &is_private, &w);
  if (rc != kOk) return rc;
  return Finish(&w, pem, is_private ? kLabelRsaPrivate : kLabelRsaPublic, out);
}

int WriteRsaPkcs8(const RsaKeyData& key, bool pem, ByteString* out) {
  DerWriter inner, alg, w;
  bool is_private = false;
  int rc = RsaInner(key, &is_private, &inner);
  if (rc == kOk) rc = alg.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = alg.DerAppendOid(kTagOid, kOidRsa);
  if (rc == kOk) rc = alg.DerAppendNull(5);
  if (rc == kOk) rc = alg.DerCloseConstructed(false);
  if (rc == kOk) rc = WrapKeyInfo(is_private, 0, alg, inner.output(), nullptr, &w);
  WipeBytes(inner.output().bytes(), static_cast<size_t>(inner.output().length()));
  if (rc != kOk) return rc;
  return Finish(&w, pem, is_private ? kLabelPrivate : kLabelPublic, out);
}

int WriteDsaPkcs8(const DsaKeyData& key, bool pem, ByteString* out) {
  DsaKeyData d(key);
  const bool is_private = d.HasPrivate();
  int rc = is_private ? kOk : d.DerivePublic();
  DerWriter alg, inner, w;
  if (rc == kOk) rc = alg.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = alg.DerAppendOid(kTagOid, kOidDsa);
  if (rc == kOk) rc = alg.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = AppendUnsigned(&alg, d.P);
  if (rc == kOk) rc = AppendUnsigned(&alg, d.Q);
  if (rc == kOk) rc = AppendUnsigned(&alg, d.G);
  if (rc == kOk) rc = alg.DerCloseConstructed(false);
  if (rc == kOk) rc = alg.DerCloseConstructed(false);
  if (rc == kOk) rc = AppendUnsigned(&inner, is_private ? d.X : d.Y);
  if (rc == kOk) rc = WrapKeyInfo(is_private, 0, alg, inner.output(), nullptr, &w);
  WipeBytes(inner.output().bytes(), static_cast<size_t>(inner.output().length()));
  if (rc != kOk) return rc;
  return Finish(&w, pem, is_private ? kLabelPrivate : kLabelPublic, out);
}

int WriteEcPkcs8(const EcKeyData& key, bool pem, bool public_only, ByteString* out) {
  if (!CurveIsPrime(key.curve_id)) return kErrKeyFamily;
  const EcCurveParams* params = key.Params();
  if (params == nullptr) return kErrDerWrite;
  const bool is_private = EcPrivate(key, public_only);
  EcKeyData e(key);
  int rc = !is_private && (e.X.empty() || e.Y.empty()) ? e.DerivePublic() : kOk;
  ByteString point;
  const bool with_point = !e.X.empty() && !e.Y.empty();
  if (rc == kOk && with_point) rc = EcPointEncode(e.X, e.Y, *params, false, false, point);
  if (rc == kOk && !is_private && !with_point) rc = kErrDerWrite;
  DerWriter alg, inner, w;
  if (rc == kOk) rc = alg.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = alg.DerAppendOid(kTagOid, kOidEcPublicKey);
  if (rc == kOk) rc = alg.DerAppendOid(kTagOid, CurveOid(key.curve_id));
  if (rc == kOk) rc = alg.DerCloseConstructed(false);
  if (rc == kOk && is_private) {
    // The scalar at the curve's full width, as RFC 5915 writes it.
    const int width = params->FieldByteSize();
    int skip = 0;
    while (skip < e.D.length() - width && e.D.ByteAt(skip) == 0) ++skip;
    ByteString d;
    if (e.D.length() - skip > width) rc = kErrDerWrite;
    if (rc == kOk) rc = d.Resize(width - (e.D.length() - skip));
    if (rc == kOk) rc = d.Append(e.D.bytes() + skip, e.D.length() - skip);
    if (rc == kOk) rc = inner.DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = inner.DerAppendInteger(kTagInteger, 1);
    if (rc == kOk) rc = inner.DerAppendTlv(kTagOctetString, d.data(), d.length());
    if (rc == kOk && with_point) {
      rc = inner.DerOpenConstructed(kTagEcPublicKey);
      if (rc == kOk) rc = inner.DerAppendBitString(kTagBitString, point.data(), point.length());
      if (rc == kOk) rc = inner.DerCloseConstructed(false);
    }
    if (rc == kOk) rc = inner.DerCloseConstructed(false);
    WipeBytes(d.bytes(), static_cast<size_t>(d.length()));
  } else if (rc == kOk) {
    rc = inner.AppendRaw(point.data(), point.length());
  }
  if (rc == kOk) rc = WrapKeyInfo(is_private, 0, alg, inner.output(), nullptr, &w);
  WipeBytes(inner.output().bytes(), static_cast<size_t>(inner.output().length()));
  if (rc != kOk) return rc;
  return Finish(&w, pem, is_private ? kLabelPrivate : kLabelPublic, out);
}

int WriteEdPkcs8(const EcKeyData& key, bool pem, bool public_only, ByteString* out) {
  if (!key.UsesRawBytes()) return kErrKeyFamily;
  const bool is_private = EcPrivate(key, public_only);
  EcKeyData e(key);
  int rc = is_private ? kOk : e.DerivePublic();
  if (rc == kOk && !is_private && e.public_bytes.empty()) rc = kErrDerWrite;
  DerWriter alg, inner, trailer, w;
  if (rc == kOk) rc = alg.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = alg.DerAppendOid(kTagOid, CurveOid(key.curve_id));
  if (rc == kOk) rc = alg.DerCloseConstructed(false);
  const bool with_public = !e.public_bytes.empty();
  if (rc == kOk && is_private) {
    rc = inner.DerAppendTlv(kTagOctetString, e.private_bytes.data(), e.private_bytes.length());
    if (rc == kOk && with_public) {
      // [1] IMPLICIT BIT STRING: the content keeps its unused-bits byte.
      rc = trailer.DerAppendBitString(kTagEdPublicKey, e.public_bytes.data(), e.public_bytes.length());
    }
  } else if (rc == kOk) {
    rc = inner.AppendRaw(e.public_bytes.data(), e.public_bytes.length());
  }
  if (rc == kOk) rc = WrapKeyInfo(is_private, with_public ? 1 : 0, alg, inner.output(), &trailer.output(), &w);
  WipeBytes(inner.output().bytes(), static_cast<size_t>(inner.output().length()));
  if (rc != kOk) return rc;
  return Finish(&w, pem, is_private ? kLabelPrivate : kLabelPublic, out);
}

int GenerateKeyByTypeName(const char* type_name, int bits, KeyPair* key) {
  if (type_name == nullptr) return kErrKeyTypeName;
  const TypeName* found = nullptr;
  for (const TypeName& t : kTypeNames) {
    if (EqualsNoCase(type_name, t.name)) found = &t;
  }
  if (found == nullptr) return kErrKeyTypeName;
  KeyPair fresh;
  fresh.type = found->kind;
  int rc = kOk;
  if (found->kind == kKeyRsa) {
    RsaEngine engine;
    rc = engine.SetKeySize(bits);
    if (rc == kOk) rc = engine.GetKey(fresh.rsa, true, true);
  } else if (found->kind == kKeyDsa) {
    DsaEngine engine;
    rc = engine.SetKeySize(bits);
    if (rc == kOk) rc = engine.GetKey(fresh.dsa, true, false);
  } else {
    rc = EcGenerateKey(found->curve, found->kind == kKeyEc ? fresh.ec : fresh.edwards);
  }
  if (rc != kOk) return rc;
  return key->CopyFrom(fresh);
}

}  // namespace tw
