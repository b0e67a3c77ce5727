#include "certs/cert_create.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "certs/der_writer.h"
#include "certs/key_encoding.h"
#include "certs/oid_names.h"
#include "certs/public_key_info.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/ec_curve_params.h"
#include "crypto/pubkey/public_key.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "foundation/date_time.h"

namespace tw {

namespace {

constexpr const char* kDateFormat = "yyyyMMddHHmmss";
constexpr const char* kOidDsaWithSha1 = "1.2.840.10040.4.3";

struct RsaSignatureName {
  const char* name;
  const char* alternative;
  const char* oid;
};

// Looked for in this order as substrings of the hash name, without regard to case.
constexpr RsaSignatureName kRsaSignatures[] = {
    {"MD2", nullptr, "1.2.840.113549.1.1.2"},
    {"MD5", nullptr, "1.2.840.113549.1.1.4"},
    {"SHA1", "SHA-1", "1.2.840.113549.1.1.5"},
    {"SHA256", "SHA-256", "1.2.840.113549.1.1.11"},
    {"SHA384", "SHA-384", "1.2.840.113549.1.1.12"},
    {"SHA512", "SHA-512", "1.2.840.113549.1.1.13"},
    {"SHA224", "SHA-224", "1.2.840.113549.1.1.14"},
};

// ECDSA with the hash that matches the curve's strength, by curve id 0 to 2.
constexpr const char* kEcdsaSignatures[] = {
    "1.2.840.10045.4.3.2",
    "1.2.840.10045.4.3.3",
    "1.2.840.10045.4.3.4",
};

bool Contains(const char* text, const char* part) {
  return part != nullptr && strcasestr(text, part) != nullptr;
}

// The signature algorithm OID for the signing key; null for a key that cannot sign.
const char* SignatureOid(const KeyPair& key, const char* hash_name) {
  switch (key.type) {
    case kKeyRsa:
      for (const RsaSignatureName& s : kRsaSignatures) {
        if (Contains(hash_name, s.name) || Contains(hash_name, s.alternative)) return s.oid;
      }
      return hash_name;
    case kKeyDsa:
      return kOidDsaWithSha1;
    case kKeyEc:
      if (key.ec.curve_id >= kCurveP256 && key.ec.curve_id <= kCurveP521) {
        return kEcdsaSignatures[key.ec.curve_id - kCurveP256];
      }
      return nullptr;
    case kKeyEdwards:
      if (key.edwards.curve_id == kCurveEd25519 || key.edwards.curve_id == kCurveEd448) {
        return CurveOid(key.edwards.curve_id);
      }
      return nullptr;
    default:
      return nullptr;
  }
}

int SignEdwards(const void* data, int length, const KeyPair& key, ByteString* signature) {
  EcKeyData record;
  int rc = key.GetEc(&record, false);
  PublicKey engine;
  if (rc == kOk) rc = engine.SetKey(record);
  if (rc == kOk) rc = engine.EdDsaSign(static_cast<const uint8_t*>(data), length, *signature);
  return rc;
}

}  // namespace

int SignWithKeyPair(const void* data, int length, const char* hash_name, const KeyPair& key,
                    ByteString* signature) {
  signature->Reset();
  if (length < 0 || (data == nullptr && length > 0)) return kErrSignKeyKind;
  if (key.type == kKeyEdwards) return SignEdwards(data, length, key, signature);
  if (key.type != kKeyRsa && key.type != kKeyDsa && key.type != kKeyEc) return kErrSignKeyKind;
  ByteString digest;
  int rc = DigestByName(data, length, hash_name ? hash_name : "", digest);
  if (rc != kOk) return rc;
  switch (key.type) {
    case kKeyRsa: {
      RsaKeyData record;
      rc = key.GetRsa(&record, false);
      RsaEngine engine;
      if (rc == kOk) rc = engine.SetKey(record);
      if (rc == kOk) rc = engine.Sign(digest, hash_name, false, 0, *signature);
      break;
    }
    case kKeyDsa: {
      DsaKeyData record;
      rc = key.GetDsa(&record, false);
      DsaEngine engine;
      engine.set_der_output(true);
      if (rc == kOk) rc = engine.SetKey(record);
      if (rc == kOk) rc = engine.Sign(digest, *signature);
      break;
    }
    default: {
      EcKeyData record;
      rc = key.GetEc(&record, false);
      PublicKey engine;
      engine.set_der_signatures(true);
      if (rc == kOk) rc = engine.SetKey(record);
      if (rc == kOk) rc = engine.Sign(digest.bytes(), digest.length(), *signature);
      break;
    }
  }
  if (rc != kOk) signature->Reset();
  return rc;
}

int CreateSignedCertificate(const KeyPair& subject_key, const char* subject_name,
                            int32_t serial_number, int32_t not_before_days,
                            int32_t not_after_days, const char* issuer_name,
                            const KeyPair* issuer_key, const CertExtensionArray* extensions,
                            const char* hash_name, Certificate* certificate) {
  if (!subject_name) subject_name = "";
  const bool self_signed = issuer_name == nullptr || *issuer_name == '\0';
  const KeyPair* signer = self_signed ? &subject_key : issuer_key;
  if (!signer) return kErrCreateNoIssuerKey;
  const char* oid = SignatureOid(*signer, hash_name ? hash_name : "");
  if (!oid || !*oid) return kErrSignKeyKind;

  Certificate made;
  TbsCertificate& tbs = made.tbs;
  tbs.version = 2;
  char serial[16];
  const int digits = std::snprintf(serial, sizeof serial, "%x", static_cast<uint32_t>(serial_number));
  int rc = (digits & 1) ? tbs.serialHex.SetText("0") : kOk;
  if (rc == kOk) rc = tbs.serialHex.AppendText(serial);
  if (rc == kOk) rc = tbs.issuerText.SetText(self_signed ? subject_name : issuer_name);
  if (rc == kOk) rc = FormatDateDaysFromNow(not_before_days, kDateFormat, &tbs.notBefore);
  if (rc == kOk) rc = FormatDateDaysFromNow(not_after_days, kDateFormat, &tbs.notAfter);
  if (rc == kOk) rc = tbs.subjectText.SetText(subject_name);

  // The public part goes through its DER form, so the record holds exactly what is published.
  DerWriter spki;
  if (rc == kOk) rc = WriteSubjectPublicKeyInfo(subject_key, &spki);
  if (rc == kOk) {
    rc = ReadSubjectPublicKeyInfo(DerCursor(spki.output()), &tbs.publicKeyAlgorithm,
                                  &tbs.publicKey);
  }
  if (rc == kOk) rc = tbs.signatureAlgorithm.first.SetText(oid);
  if (rc == kOk && signer->type == kKeyRsa) {
    static constexpr uint8_t kNull[] = {0x05, 0x00};
    rc = tbs.signatureAlgorithm.second.Set(kNull, sizeof kNull);
  }
  if (rc == kOk && extensions && extensions->Count() > 0) rc = tbs.extensions.CopyFrom(*extensions);

  DerWriter tbs_der;
  if (rc == kOk) rc = EncodeTbsCertificate(tbs, &tbs_der);
  if (rc == kOk) rc = made.outerAlgorithm.CopyFrom(tbs.signatureAlgorithm);
  if (rc == kOk) {
    rc = SignWithKeyPair(tbs_der.output().data(), tbs_der.output().length(), HashNameForOid(oid),
                         *signer, &made.signature);
  }
  // Read back from the final DER, so every field agrees with the bytes that were signed.
  DerWriter whole;
  if (rc == kOk) rc = made.EncodeDer(&whole);
  Certificate parsed;
  if (rc == kOk) rc = ParseCertificateDer(whole.output().data(), whole.output().length(), &parsed);
  if (rc == kOk) *certificate = std::move(parsed);
  return rc;
}

int CreateBareKeyCertificate(KeyPair* key, Certificate* certificate) {
  static constexpr const char* kHash = "SHA1";
  if (!key->HasPrivate() || SignatureOid(*key, kHash) == nullptr) {
    const int rc = GenerateKeyByTypeName("RSA", 1024, key);
    if (rc != kOk) return rc;
  }
  return CreateSignedCertificate(*key, "CN=pem_cert", 1, 0, 365, "", nullptr, nullptr, kHash,
                                 certificate);
}

}  // namespace tw
