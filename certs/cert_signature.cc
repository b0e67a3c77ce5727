#include "certs/cert_signature.h"

#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"

#include <cstring>

#include "certs/der_reader.h"
#include "certs/public_key_info.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"

namespace tw {

namespace {

enum class SigKind : uint8_t { kRsa, kRsaPss, kEcdsa, kDsa, kEdwards, kRefused };

struct SignatureAlgorithm {
  const char* oid;
  SigKind kind;
  const char* hash;  // digest name; null where the parameters or the scheme decide
};

constexpr SignatureAlgorithm kAlgorithms[] = {
    {"1.2.840.113549.1.1.2", SigKind::kRefused, "MD2"},
    {"1.2.840.113549.1.1.4", SigKind::kRefused, "MD5"},
    {"1.2.840.113549.1.1.5", SigKind::kRsa, "SHA1"},
    {"1.2.840.113549.1.1.14", SigKind::kRsa, "SHA224"},
    {"1.2.840.113549.1.1.11", SigKind::kRsa, "SHA256"},
    {"1.2.840.113549.1.1.12", SigKind::kRsa, "SHA384"},
    {"1.2.840.113549.1.1.13", SigKind::kRsa, "SHA512"},
    {"1.2.840.113549.1.1.10", SigKind::kRsaPss, nullptr},
    {"1.2.840.10045.4.1", SigKind::kEcdsa, "SHA1"},
    {"1.2.840.10045.4.3.1", SigKind::kEcdsa, "SHA224"},
    {"1.2.840.10045.4.3.2", SigKind::kEcdsa, "SHA256"},
    {"1.2.840.10045.4.3.3", SigKind::kEcdsa, "SHA384"},
    {"1.2.840.10045.4.3.4", SigKind::kEcdsa, "SHA512"},
    {"1.2.840.10040.4.3", SigKind::kDsa, "SHA1"},
    {"2.16.840.1.101.3.4.3.1", SigKind::kDsa, "SHA224"},
    {"2.16.840.1.101.3.4.3.2", SigKind::kDsa, "SHA256"},
    {"1.3.101.112", SigKind::kEdwards, nullptr},
    {"1.3.101.113", SigKind::kEdwards, nullptr},
};

struct HashOid {
  const char* oid;
  const char* name;
};

// The hashes RSASSA-PSS parameters may name.
constexpr HashOid kPssHashes[] = {
    {"1.3.14.3.2.26", "SHA1"},
    {"2.16.840.1.101.3.4.2.4", "SHA224"},
    {"2.16.840.1.101.3.4.2.1", "SHA256"},
    {"2.16.840.1.101.3.4.2.2", "SHA384"},
    {"2.16.840.1.101.3.4.2.3", "SHA512"},
};

constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kOidMgf1[] = "1.2.840.113549.1.1.8";
constexpr uint8_t kDerNull[] = {0x05, 0x00};

const SignatureAlgorithm* FindAlgorithm(const char* oid) {
  for (const SignatureAlgorithm& a : kAlgorithms) {
    if (std::strcmp(a.oid, oid) == 0) return &a;
  }
  return nullptr;
}

bool AbsentOrNull(const ByteString& params) {
  return params.empty() ||
         (params.length() == 2 && std::memcmp(params.data(), kDerNull, sizeof kDerNull) == 0);
}

// The digest name of a hash AlgorithmIdentifier (parameters absent or NULL); null otherwise.
const char* PssHashName(const DerCursor& element) {
  ByteStringPair id;
  if (ParseAlgorithmIdentifier(element, &id) != kOk || !AbsentOrNull(id.second)) return nullptr;
  for (const HashOid& h : kPssHashes) {
    if (std::strcmp(h.oid, id.first.c_str()) == 0) return h.name;
  }
  return nullptr;
}

// RSASSA-PSS-params: the hash, which MGF1 must share (the engine masks with the message hash),
// and trailer field 1. The salt length is recovered from the signature itself.
int ReadPssParameters(const ByteString& params, const char** hash) {
  const char* hash_name = "SHA1";
  const char* mgf_hash = "SHA1";
  DerCursor all(params), seq;
  uint8_t tag = 0;
  if (params.empty() || all.Next(&tag, &seq) != kOk || tag != 0x30 || !all.empty()) {
    return kErrDerMalformed;
  }
  int last = -1;
  while (!seq.empty()) {
    DerCursor field, inner;
    if (seq.Next(&tag, &field) != kOk) return kErrDerMalformed;
    const int index = tag - 0xA0;
    if (index < 0 || index > 3 || index <= last) return kErrDerMalformed;
    last = index;
    if (field.Peek(&tag, &inner) != kOk) return kErrDerMalformed;
    if (index == 0) {
      hash_name = PssHashName(field);
      if (!hash_name) return kErrSignatureUnsupported;
    } else if (index == 1) {
      ByteStringPair mgf;
      if (ParseAlgorithmIdentifier(field, &mgf) != kOk) return kErrDerMalformed;
      if (std::strcmp(mgf.first.c_str(), kOidMgf1) != 0) return kErrSignatureUnsupported;
      mgf_hash = PssHashName(DerCursor(mgf.second));
      if (!mgf_hash) return kErrSignatureUnsupported;
    } else {
      DerCursor value;
      if (field.Next(&tag, &value) != kOk || tag != 0x02 || value.empty() || !field.empty()) {
        return kErrDerMalformed;
      }
      if (index == 3 && (value.size() != 1 || value.data()[0] != 1)) return kErrDerMalformed;
    }
  }
  if (std::strcmp(hash_name, mgf_hash) != 0) return kErrSignatureUnsupported;
  *hash = hash_name;
  return kOk;
}

int VerifyRsa(const KeyPair& key, const char* hash_name, bool pss, const uint8_t* data, size_t n,
              const uint8_t* sig, size_t sig_length, bool* valid) {
  ByteString digest, signature;
  int rc = DigestByName(data, static_cast<int64_t>(n), hash_name, digest);
  if (rc == kOk) rc = signature.Set(sig, static_cast<int>(sig_length));
  if (rc != kOk) return rc;
  RsaEngine engine;
  rc = engine.SetKey(key.rsa);
  if (rc != kOk) return rc;
  return engine.Verify(digest, hash_name, signature, pss, true, valid);
}

int VerifyEcdsa(const KeyPair& key, const char* hash_name, const uint8_t* data, size_t n,
                const uint8_t* sig, size_t sig_length, bool* valid) {
  if (key.ec.curve_id < kCurveP256 || key.ec.curve_id > kCurveP521) {
    return kErrSignatureUnsupported;
  }
  // Compressed points are not split when the key is read.
  if (key.ec.X.empty() || key.ec.Y.empty()) return kErrSignatureUnsupported;
  // X.509 carries only the DER form; the raw r || s fallback of the verifier stays shut.
  ByteString r, s;
  if (!ParseDerSignatureRS(sig, static_cast<int>(sig_length), r, s)) return kOk;
  ByteString digest;
  int rc = DigestByName(data, static_cast<int64_t>(n), hash_name, digest);
  if (rc != kOk) return rc;
  return EcdsaVerify(key.ec, digest.bytes(), digest.length(), sig, static_cast<int>(sig_length),
                     valid);
}

int VerifyDsa(const KeyPair& key, const char* hash_name, const uint8_t* data, size_t n,
              const uint8_t* sig, size_t sig_length, bool* valid) {
  const DsaKeyData& k = key.dsa;
  // Parameters inherited from the issuer's issuer are not followed.
  if (k.P.empty() || k.Q.empty() || k.G.empty() || k.Y.empty()) return kErrSignatureUnsupported;
  ByteString r, s;
  if (!ParseDerSignatureRS(sig, static_cast<int>(sig_length), r, s)) return kOk;
  ByteString digest, signature;
  int rc = DigestByName(data, static_cast<int64_t>(n), hash_name, digest);
  if (rc == kOk) rc = signature.Set(sig, static_cast<int>(sig_length));
  if (rc != kOk) return rc;
  DsaEngine engine;
  rc = engine.SetKey(k);
  if (rc != kOk) return rc;
  return engine.Verify(digest, signature, valid);
}

}  // namespace

int VerifyEdwardsSignature(const EcKeyData& key, const uint8_t* data, size_t data_length,
                           const uint8_t* signature, size_t signature_length, bool* valid) {
  *valid = false;
  const int length = static_cast<int>(signature_length);
  if (key.curve_id == kCurveEd25519) {
    *valid = Ed25519Verify(data, data_length, key.public_bytes.bytes(), key.public_bytes.length(),
                           signature, length) == 1;
  } else if (key.curve_id == kCurveEd448) {
    *valid = Ed448Verify(data, data_length, nullptr, 0, key.public_bytes.bytes(),
                         key.public_bytes.length(), signature, length) == 1;
  } else {
    return kErrSignatureUnsupported;
  }
  return kOk;
}

int VerifySignedData(const ByteStringPair& algorithm, const uint8_t* data, size_t data_length,
                     const uint8_t* signature, size_t signature_length,
                     const ByteStringPair& key_algorithm, const KeyPair& key, bool* valid) {
  *valid = false;
  const SignatureAlgorithm* alg = FindAlgorithm(algorithm.first.c_str());
  if (!alg) return kErrSignatureUnsupported;
  if (alg->kind == SigKind::kRefused) return kErrSignatureRefused;
  if (alg->kind != SigKind::kRsaPss && !AbsentOrNull(algorithm.second)) return kErrDerMalformed;
  if (signature == nullptr || signature_length == 0) return kOk;
  switch (alg->kind) {
    case SigKind::kRsa:
      // A key marked for PSS only signs nothing else.
      if (key.type != kKeyRsa || std::strcmp(key_algorithm.first.c_str(), kOidRsaEncryption) != 0) {
        return kErrSignatureKeyMismatch;
      }
      return VerifyRsa(key, alg->hash, false, data, data_length, signature, signature_length,
                       valid);
    case SigKind::kRsaPss: {
      if (key.type != kKeyRsa) return kErrSignatureKeyMismatch;
      const char* hash = nullptr;
      int rc = ReadPssParameters(algorithm.second, &hash);
      if (rc != kOk) return rc;
      return VerifyRsa(key, hash, true, data, data_length, signature, signature_length, valid);
    }
    case SigKind::kEcdsa:
      if (key.type != kKeyEc) return kErrSignatureKeyMismatch;
      return VerifyEcdsa(key, alg->hash, data, data_length, signature, signature_length, valid);
    case SigKind::kDsa:
      if (key.type != kKeyDsa) return kErrSignatureKeyMismatch;
      return VerifyDsa(key, alg->hash, data, data_length, signature, signature_length, valid);
    case SigKind::kEdwards: {
      const int want = std::strcmp(alg->oid, "1.3.101.112") == 0 ? kCurveEd25519 : kCurveEd448;
      if (key.type != kKeyEdwards || key.edwards.curve_id != want) return kErrSignatureKeyMismatch;
      return VerifyEdwardsSignature(key.edwards, data, data_length, signature, signature_length,
                                    valid);
    }
    case SigKind::kRefused:
      break;
  }
  return kErrSignatureRefused;
}

int VerifySignedDataWithSpki(const ByteStringPair& algorithm, const uint8_t* data,
                             size_t data_length, const uint8_t* signature, size_t signature_length,
                             const ByteString& spki_der, bool* valid) {
  *valid = false;
  ByteStringPair key_algorithm;
  KeyPair key;
  const int rc = ReadSubjectPublicKeyInfo(DerCursor(spki_der), &key_algorithm, &key);
  if (rc != kOk) return rc;
  if (key.type == kKeyNone) return kErrSignatureUnsupported;
  return VerifySignedData(algorithm, data, data_length, signature, signature_length, key_algorithm,
                          key, valid);
}

int VerifyCertificateSignature(const Certificate& certificate, const Certificate& issuer,
                               bool* valid) {
  *valid = false;
  const ByteStringPair& outer = certificate.outerAlgorithm;
  const ByteStringPair& inner = certificate.tbs.signatureAlgorithm;
  if (outer.first.length() != inner.first.length() ||
      std::strcmp(outer.first.c_str(), inner.first.c_str()) != 0 ||
      outer.second.length() != inner.second.length() ||
      std::memcmp(outer.second.data(), inner.second.data(),
                  static_cast<size_t>(outer.second.length())) != 0) {
    return kOk;
  }
  if (issuer.tbs.publicKey.type == kKeyNone) return kErrSignatureUnsupported;
  return VerifySignedData(
      outer, certificate.tbsDer.bytes(), static_cast<size_t>(certificate.tbsDer.length()),
      certificate.signature.bytes(), static_cast<size_t>(certificate.signature.length()),
      issuer.tbs.publicKeyAlgorithm, issuer.tbs.publicKey, valid);
}

}  // namespace tw
