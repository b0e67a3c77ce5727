#include "certs/private_key_reader.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "certs/der_reader.h"
#include "certs/key_pair_der.h"
#include "certs/openssh_key.h"
#include "certs/pem_armor.h"
#include "certs/private_key_decryptor.h"
#include "certs/private_key_ssh2.h"
#include "certs/public_key_info.h"
#include "certs/ssh_public_key.h"
#include "crypto/symmetric/cipher_engine.h"
#include "foundation/text_conversion.h"
#include "crypto/pubkey/ec_curve_params.h"

namespace tw {

namespace {

constexpr const char* kOidRsa = "1.2.840.113549.1.1.1";
constexpr const char* kOidDsa = "1.2.840.10040.4.1";
constexpr const char* kOidEcPublicKey = "1.2.840.10045.2.1";

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;

// The outer SEQUENCE that must fill the whole input.
int OpenWhole(const ByteString& der, DerCursor* seq) {
  DerCursor all(der);
  const int rc = all.NextTagged(kTagSequence, seq);
  if (rc != kOk) return rc;
  return all.empty() ? kOk : kErrDerMalformed;
}

int FinishKey(KeyPair* fresh, KeyPair* key) {
  int rc = kOk;
  if (fresh->type == kKeyRsa) rc = fresh->rsa.CompleteCrt();
  if (fresh->type == kKeyDsa) rc = fresh->dsa.DerivePublic();
  if (fresh->type == kKeyEc) rc = fresh->ec.DerivePublic();
  if (fresh->type == kKeyEdwards) rc = fresh->edwards.DerivePublic();
  if (rc != kOk) return rc;
  return key->CopyFrom(*fresh);
}

// SEQUENCE { 0, p, q, g, y, x }.
int ReadDsaPrivateKey(const ByteString& der, KeyPair* key) {
  DerCursor seq;
  ByteString version;
  KeyPair fresh;
  fresh.type = kKeyDsa;
  DsaKeyData& d = fresh.dsa;
  ByteString* fields[] = {&version, &d.P, &d.Q, &d.G, &d.Y, &d.X};
  int rc = OpenWhole(der, &seq);
  for (ByteString* f : fields) {
    if (rc == kOk) rc = seq.NextUnsigned(f);
  }
  if (rc != kOk) return rc;
  if (!seq.empty() || version.length() != 1 || version.ByteAt(0) != 0) return kErrDerMalformed;
  return FinishKey(&fresh, key);
}

// SEQUENCE { n, e } and SEQUENCE { p, q, g, y }.
int ReadRsaPublicKey(const ByteString& der, KeyPair* key) {
  DerCursor seq;
  KeyPair fresh;
  fresh.type = kKeyRsa;
  int rc = OpenWhole(der, &seq);
  if (rc == kOk) rc = seq.NextUnsigned(&fresh.rsa.N);
  if (rc == kOk) rc = seq.NextUnsigned(&fresh.rsa.E);
  if (rc == kOk && !seq.empty()) rc = kErrDerMalformed;
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

int ReadDsaPublicKey(const ByteString& der, KeyPair* key) {
  DerCursor seq;
  KeyPair fresh;
  fresh.type = kKeyDsa;
  DsaKeyData& d = fresh.dsa;
  ByteString* fields[] = {&d.P, &d.Q, &d.G, &d.Y};
  int rc = OpenWhole(der, &seq);
  for (ByteString* f : fields) {
    if (rc == kOk) rc = seq.NextUnsigned(f);
  }
  if (rc == kOk && !seq.empty()) rc = kErrDerMalformed;
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

}  // namespace

int ReadRsaPrivateKey(const ByteString& der, KeyPair* key) {
  DerCursor seq;
  ByteString version;
  KeyPair fresh;
  fresh.type = kKeyRsa;
  RsaKeyData& r = fresh.rsa;
  ByteString* fields[] = {&version, &r.N, &r.E, &r.D, &r.P, &r.Q, &r.DP, &r.DQ, &r.QInv};
  int rc = OpenWhole(der, &seq);
  for (ByteString* f : fields) {
    if (rc == kOk) rc = seq.NextUnsigned(f);
  }
  if (rc != kOk) return rc;
  if (version.length() != 1 || version.ByteAt(0) != 0) return kErrDerMalformed;
  return FinishKey(&fresh, key);
}

int ReadEcPrivateKey(const ByteString& der, int curve_id, KeyPair* key) {
  DerCursor seq, version, d;
  int rc = OpenWhole(der, &seq);
  if (rc == kOk) rc = seq.NextTagged(kTagInteger, &version);
  if (rc == kOk && (version.size() != 1 || version.data()[0] != 1)) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &d);
  if (rc != kOk) return rc;
  KeyPair fresh;
  fresh.type = kKeyEc;
  fresh.ec.curve_id = curve_id;
  DerCursor public_bits;
  while (!seq.empty()) {
    uint8_t tag = 0;
    DerCursor field;
    rc = seq.Next(&tag, &field);
    if (rc != kOk) return rc;
    if (tag == 0xA0) {  // the curve, when the record names it
      ByteString text;
      rc = field.NextOid(&text);
      if (rc != kOk) return rc;
      const int named = CurveIdFromOid(text.c_str());
      if (fresh.ec.curve_id == kCurveNone) fresh.ec.curve_id = named;
      if (named != fresh.ec.curve_id) return kErrDerMalformed;
    } else if (tag == 0xA1) {
      DerCursor bits;
      rc = field.NextTagged(kTagBitString, &bits);
      if (rc == kOk) rc = DerBitStringBytes(bits, &public_bits, nullptr);
      if (rc != kOk) return rc;
    }
  }
  const EcCurveParams* params = fresh.ec.Params();
  if (fresh.ec.curve_id < kCurveP256 || fresh.ec.curve_id > kCurveP521 || params == nullptr || d.empty()) {
    return kErrDerMalformed;
  }
  rc = fresh.ec.D.Set(d.data(), static_cast<int>(d.size()));
  if (rc == kOk && !public_bits.empty()) {
    ByteString point;
    rc = point.Set(public_bits.data(), static_cast<int>(public_bits.size()));
    if (rc == kOk && !EcPointDecode(point, *params, fresh.ec.X, fresh.ec.Y)) rc = kErrDerMalformed;
  }
  if (rc != kOk) return rc;
  return FinishKey(&fresh, key);
}

int ReadPkcs8PrivateKey(const ByteString& der, KeyPair* key) {
  DerCursor seq, version, alg_element, octets;
  uint8_t tag = 0;
  int rc = OpenWhole(der, &seq);
  if (rc == kOk) rc = seq.NextTagged(kTagInteger, &version);
  if (rc == kOk && (version.size() != 1 || version.data()[0] > 1)) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg_element);
  ByteStringPair alg;
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg_element, &alg);
  if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &octets);
  if (rc != kOk) return rc;
  ByteString inner;
  rc = inner.Set(octets.data(), static_cast<int>(octets.size()));
  if (rc != kOk) return rc;
  const char* oid = alg.first.c_str();
  DerCursor params(alg.second);
  if (std::strcmp(oid, kOidRsa) == 0) rc = ReadRsaPrivateKey(inner, key);
  else if (std::strcmp(oid, kOidEcPublicKey) == 0) {
    ByteString curve_oid;
    rc = params.NextOid(&curve_oid);
    if (rc == kOk) rc = ReadEcPrivateKey(inner, CurveIdFromOid(curve_oid.c_str()), key);
  } else if (std::strcmp(oid, kOidDsa) == 0) {
    KeyPair fresh;
    fresh.type = kKeyDsa;
    DerCursor pqg, x(inner);
    rc = params.NextTagged(kTagSequence, &pqg);
    if (rc == kOk) rc = pqg.NextUnsigned(&fresh.dsa.P);
    if (rc == kOk) rc = pqg.NextUnsigned(&fresh.dsa.Q);
    if (rc == kOk) rc = pqg.NextUnsigned(&fresh.dsa.G);
    if (rc == kOk) rc = x.NextUnsigned(&fresh.dsa.X);
    if (rc == kOk) rc = FinishKey(&fresh, key);
  } else {
    const int curve = CurveIdFromOid(oid);
    DerCursor raw, all(inner);
    if (curve < kCurveEd25519 || curve > kCurveX448) return kErrDerMalformed;
    rc = all.NextTagged(kTagOctetString, &raw);
    if (rc != kOk) return rc;
    KeyPair fresh;
    fresh.type = kKeyEdwards;
    fresh.edwards.curve_id = curve;
    rc = fresh.edwards.private_bytes.Set(raw.data(), static_cast<int>(raw.size()));
    // A curve whose public part cannot be derived here still loads; signing reports it.
    if (rc == kOk) (void)fresh.edwards.DerivePublic();
    if (rc == kOk) rc = key->CopyFrom(fresh);
  }
  WipeBytes(inner.bytes(), static_cast<size_t>(inner.length()));
  return rc;
}

int ReadPrivateKeyByLabel(const char* label, const ByteString& der, KeyPair* key) {
  if (std::strcmp(label, "PRIVATE KEY") == 0) return ReadPkcs8PrivateKey(der, key);
  if (std::strcmp(label, "RSA PRIVATE KEY") == 0) return ReadRsaPrivateKey(der, key);
  if (std::strcmp(label, "DSA PRIVATE KEY") == 0) return ReadDsaPrivateKey(der, key);
  if (std::strcmp(label, "EC PRIVATE KEY") == 0) return ReadEcPrivateKey(der, kCurveNone, key);
  return kErrDerMalformed;
}

int ReadPemKeyBlock(const char* label, const char* headers, const ByteString& body, const char* password,
                    KeyPair* key) {
  if (label == nullptr) return kErrPemLabel;
  if (password == nullptr) password = "";
  KeyPair fresh;
  int rc = kOk;
  if (std::strcmp(label, "PRIVATE KEY") == 0) {
    rc = ReadPkcs8PrivateKey(body, &fresh);
  } else if (std::strcmp(label, "ENCRYPTED PRIVATE KEY") == 0) {
    rc = ReadEncryptedPkcs8PrivateKey(body, password, &fresh);
  } else if (std::strcmp(label, "RSA PRIVATE KEY") == 0 || std::strcmp(label, "DSA PRIVATE KEY") == 0 ||
             std::strcmp(label, "EC PRIVATE KEY") == 0) {
    ByteString der, cipher, iv;
    rc = der.Assign(body);
    if (rc == kOk && ParseDekInfo(headers, &cipher, &iv)) {
      rc = PemDecrypt(cipher.c_str(), &der, password, iv.bytes(), iv.length(), false, nullptr, 1, nullptr);
      // Under a wrong password CBC gives garbage: a bad padding mostly, else no SEQUENCE.
      if (rc == kErrCipherPadding || (rc == kOk && !IsDerSequence(der.data(), der.length()))) {
        rc = kErrKeyNotDecrypted;
      }
    }
    if (rc == kOk) rc = ReadPrivateKeyByLabel(label, der, &fresh);
    WipeBytes(der.bytes(), static_cast<size_t>(der.length()));
  } else if (std::strcmp(label, "PUBLIC KEY") == 0) {
    rc = ReadPublicKeyInfoBytes(&fresh, body.data(), body.length());
  } else if (std::strcmp(label, "OPENSSH PRIVATE KEY") == 0) {
    rc = ReadOpenSshPrivateKey(&fresh, body.data(), body.length(), password);
  } else if (std::strcmp(label, "SSH2 PUBLIC KEY") == 0) {
    rc = ReadSshPublicKey(body.data(), body.length(), &fresh);
  } else if (std::strcmp(label, "RSA PUBLIC KEY") == 0) {
    rc = ReadRsaPublicKey(body, &fresh);
  } else if (std::strcmp(label, "DSA PUBLIC KEY") == 0) {
    rc = ReadDsaPublicKey(body, &fresh);
  } else if (std::strcmp(label, "SSH2 ENCRYPTED PRIVATE KEY") == 0) {
    rc = ReadSsh2PrivateKey(body, password, &fresh);
  } else {
    rc = kErrPemLabel;
  }
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

namespace {

// Equal as unsigned numbers: a form that pads to a width (XML keys pad Y to P's) keeps leading
// zeros that DER drops.
bool SameNumber(const ByteString& a, const ByteString& b) {
  std::span<const uint8_t> x(a.bytes(), static_cast<size_t>(a.length()));
  std::span<const uint8_t> y(b.bytes(), static_cast<size_t>(b.length()));
  while (!x.empty() && x.front() == 0) x = x.subspan(1);
  while (!y.empty() && y.front() == 0) y = y.subspan(1);
  return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

}  // namespace

bool SamePublicKey(const KeyPair& a, const KeyPair& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case kKeyRsa:
      return !a.rsa.N.empty() && SameNumber(a.rsa.N, b.rsa.N) && SameNumber(a.rsa.E, b.rsa.E);
    case kKeyDsa:
      return !a.dsa.Y.empty() && SameNumber(a.dsa.Y, b.dsa.Y) && SameNumber(a.dsa.P, b.dsa.P);
    case kKeyEc:
      return a.ec.curve_id == b.ec.curve_id && !a.ec.X.empty() && SameNumber(a.ec.X, b.ec.X) &&
             SameNumber(a.ec.Y, b.ec.Y);
    case kKeyEdwards:
      return a.edwards.curve_id == b.edwards.curve_id && !a.edwards.public_bytes.empty() &&
             a.edwards.public_bytes.Equals(b.edwards.public_bytes);
    default:
      return false;
  }
}

}  // namespace tw
