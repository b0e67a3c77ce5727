#include "certs/private_key_decryptor.h"

#include <cstring>

#include "certs/der_reader.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/kdf.h"
#include "crypto/symmetric/pkcs12_kdf.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kOidPbes2 = "1.2.840.113549.1.5.13";
constexpr const char* kOidPbkdf2 = "1.2.840.113549.1.5.12";

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;

// PBKDF2 pseudo-random functions, by the names the password deriver takes.
struct Prf {
  const char* oid;
  const char* name;
};
constexpr Prf kPrfs[] = {{"1.2.840.113549.2.7", "hmacWithSHA1"}, {"1.2.840.113549.2.9", "hmacWithSHA256"}};

// PBES2 encryption schemes, by the cipher names of the PEM decryption.
struct Scheme {
  const char* oid;
  const char* cipher;
  int key_bytes;
};
constexpr Scheme kSchemes[] = {{"1.2.840.113549.3.7", "DES-EDE3-CBC", 24},
                               {"2.16.840.1.101.3.4.1.2", "AES-128-CBC", 16},
                               {"2.16.840.1.101.3.4.1.42", "AES-256-CBC", 32}};

// PBES1: PKCS #12 schemes (key and IV from the RFC 7292 derivation with SHA-1) and PKCS #5
// schemes (key and IV from the iterated digest of password and salt).
struct Pbes1 {
  const char* oid;
  bool pkcs12;
  const char* digest;
  int cipher_id;
  int key_bytes;  // 16 for two-key Triple DES, expanded to K1 K2 K1
};
constexpr Pbes1 kPbes1[] = {{"1.2.840.113549.1.12.1.3", true, "SHA1", kCipherTripleDes, 24},
                            {"1.2.840.113549.1.12.1.4", true, "SHA1", kCipherTripleDes, 16},
                            {"1.2.840.113549.1.5.3", false, "MD5", kCipherDes, 8},
                            {"1.2.840.113549.1.5.10", false, "SHA1", kCipherDes, 8}};
constexpr int kPbes1BlockBytes = 8;

int Expect(DerCursor* c, uint8_t want, DerCursor* content, DerCursor* element = nullptr) {
  uint8_t tag = 0;
  const int rc = c->Next(&tag, content, element);
  if (rc != kOk) return rc;
  return tag == want ? kOk : kErrDerMalformed;
}

int ReadOid(DerCursor* c, ByteString* text) {
  DerCursor oid;
  const int rc = Expect(c, kTagOid, &oid);
  return rc == kOk ? DerOidToText(oid.data(), oid.size(), text) : rc;
}

// A small positive INTEGER (iteration counts and key lengths).
int ReadCount(DerCursor* c, int* value) {
  DerCursor v;
  const int rc = Expect(c, kTagInteger, &v);
  if (rc != kOk) return rc;
  if (v.empty() || v.size() > 4 || (v.data()[0] & 0x80)) return kErrDerMalformed;
  uint32_t n = 0;
  for (size_t i = 0; i < v.size(); ++i) n = (n << 8) | v.data()[i];
  if (n < 1 || n > static_cast<uint32_t>(kMaxPbeIterations)) return kErrDerMalformed;
  *value = static_cast<int>(n);
  return kOk;
}

int Pbes2(DerCursor params, const char* password, ByteString* data) {
  DerCursor seq, kdf, scheme, pbkdf2, salt, iv;
  ByteString kdf_oid, scheme_oid, prf_oid;
  int iterations = 0, key_length = 0;
  int rc = Expect(&params, kTagSequence, &seq);
  if (rc == kOk) rc = Expect(&seq, kTagSequence, &kdf);
  if (rc == kOk) rc = Expect(&seq, kTagSequence, &scheme);
  if (rc == kOk) rc = ReadOid(&kdf, &kdf_oid);
  if (rc == kOk && std::strcmp(kdf_oid.c_str(), kOidPbkdf2) != 0) return kErrPemLabel;
  if (rc == kOk) rc = Expect(&kdf, kTagSequence, &pbkdf2);
  if (rc == kOk) rc = Expect(&pbkdf2, kTagOctetString, &salt);
  if (rc == kOk) rc = ReadCount(&pbkdf2, &iterations);
  uint8_t tag = 0;
  DerCursor peek;
  if (rc == kOk && !pbkdf2.empty() && pbkdf2.Peek(&tag, &peek) == kOk && tag == kTagInteger) {
    rc = ReadCount(&pbkdf2, &key_length);
  }
  const char* prf = kPrfs[0].name;  // the default PRF
  if (rc == kOk && !pbkdf2.empty()) {
    DerCursor prf_seq;
    rc = Expect(&pbkdf2, kTagSequence, &prf_seq);
    if (rc == kOk) rc = ReadOid(&prf_seq, &prf_oid);
    prf = nullptr;
    for (const Prf& p : kPrfs) {
      if (std::strcmp(prf_oid.c_str(), p.oid) == 0) prf = p.name;
    }
    if (rc == kOk && prf == nullptr) return kErrPemLabel;
  }
  if (rc == kOk) rc = ReadOid(&scheme, &scheme_oid);
  if (rc == kOk) rc = Expect(&scheme, kTagOctetString, &iv);
  if (rc != kOk) return rc;
  const Scheme* found = nullptr;
  for (const Scheme& s : kSchemes) {
    if (std::strcmp(scheme_oid.c_str(), s.oid) == 0) found = &s;
  }
  if (found == nullptr) return kErrPemLabel;
  if (key_length != 0 && key_length != found->key_bytes) return kErrDerMalformed;
  ByteString iv_bytes;
  rc = iv_bytes.Set(iv.data(), static_cast<int>(iv.size()));
  // PBKDF2 takes the whole salt, however long.
  if (rc == kOk) {
    rc = PemDecrypt(found->cipher, data, password, salt.data(), static_cast<int>(salt.size()), false, prf, iterations,
                    &iv_bytes);
  }
  return rc;
}

int DecryptBlocks(int cipher_id, const ByteString& key, const ByteString& iv, ByteString* data) {
  CipherEngine engine;
  int rc = engine.SetAlgorithm(cipher_id);
  if (rc == kOk) rc = engine.SetKeyBits(key.length() * 8);
  engine.SetMode(kCipherModeCbc);
  engine.SetPadding(kPaddingPkcs7);
  if (rc == kOk) rc = engine.BeginDecrypt(key.bytes(), key.length(), iv.bytes(), iv.length());
  ByteString plain;
  if (rc == kOk) rc = engine.Final(data->bytes(), data->length(), plain);
  if (rc == kOk) {
    WipeBytes(data->bytes(), static_cast<size_t>(data->length()));
    rc = data->Assign(plain);
  }
  WipeBytes(plain.bytes(), static_cast<size_t>(plain.length()));
  DestroyCipherContext(engine);
  return rc;
}

int Pbes1Decrypt(const Pbes1& scheme, DerCursor params, const char* password, ByteString* data) {
  DerCursor seq, salt;
  int iterations = 0;
  int rc = Expect(&params, kTagSequence, &seq);
  if (rc == kOk) rc = Expect(&seq, kTagOctetString, &salt);
  if (rc == kOk) rc = ReadCount(&seq, &iterations);
  if (rc != kOk) return rc;
  ByteString key, iv;
  if (scheme.pkcs12) {
    Pkcs12Kdf kdf;
    rc = kdf.digest_name().SetText(scheme.digest);
    if (rc == kOk) rc = kdf.password().SetText(password);
    if (rc == kOk) rc = kdf.salt().Set(salt.data(), static_cast<int>(salt.size()));
    if (rc == kOk) rc = Pkcs12DeriveKey(kdf, iterations, scheme.key_bytes, key);
    if (rc == kOk) rc = Pkcs12DeriveIv(kdf, iterations, kPbes1BlockBytes, iv);
    if (rc == kOk && scheme.key_bytes == 16) rc = key.Append(key.bytes(), 8);  // K1 K2 K1
  } else {
    PasswordKdf kdf;
    ByteString both;
    rc = kdf.DeriveBytes(iterations, scheme.digest, password, salt.data(), static_cast<int>(salt.size()),
                         2 * kPbes1BlockBytes, 0, both);
    if (rc == kOk) rc = key.Set(both.bytes(), kPbes1BlockBytes);
    if (rc == kOk) rc = iv.Set(both.bytes() + kPbes1BlockBytes, kPbes1BlockBytes);
    WipeBytes(both.bytes(), static_cast<size_t>(both.length()));
  }
  if (rc == kOk) rc = DecryptBlocks(scheme.cipher_id, key, iv, data);
  WipeBytes(key.bytes(), static_cast<size_t>(key.length()));
  return rc;
}

}  // namespace

int DecryptEncryptedPkcs8(const ByteString& der, const char* password, ByteString* private_key_info) {
  if (password == nullptr) password = "";
  DerCursor all(der), seq, alg, encrypted;
  ByteString oid;
  int rc = Expect(&all, kTagSequence, &seq);
  if (rc == kOk && !all.empty()) rc = kErrDerMalformed;
  if (rc == kOk) rc = Expect(&seq, kTagSequence, &alg);
  if (rc == kOk) rc = ReadOid(&alg, &oid);
  if (rc == kOk) rc = Expect(&seq, kTagOctetString, &encrypted);
  if (rc == kOk && !seq.empty()) rc = kErrDerMalformed;
  if (rc != kOk) return rc;
  ByteString data;
  rc = data.Set(encrypted.data(), static_cast<int>(encrypted.size()));
  if (rc != kOk) return rc;
  if (std::strcmp(oid.c_str(), kOidPbes2) == 0) {
    rc = Pbes2(alg, password, &data);
  } else {
    rc = kErrPemLabel;
    for (const Pbes1& s : kPbes1) {
      if (std::strcmp(oid.c_str(), s.oid) == 0) rc = Pbes1Decrypt(s, alg, password, &data);
    }
  }
  // Under a wrong password CBC gives garbage: a bad padding mostly, else no SEQUENCE.
  if (rc == kErrCipherPadding || (rc == kOk && !IsDerSequence(data.data(), data.length()))) rc = kErrKeyNotDecrypted;
  if (rc == kOk) rc = private_key_info->Assign(data);
  WipeBytes(data.bytes(), static_cast<size_t>(data.length()));
  return rc;
}

int ReadEncryptedPkcs8PrivateKey(const ByteString& der, const char* password, KeyPair* key) {
  ByteString info;
  int rc = DecryptEncryptedPkcs8(der, password, &info);
  if (rc == kOk) rc = ReadPkcs8PrivateKey(info, key);
  WipeBytes(info.bytes(), static_cast<size_t>(info.length()));
  return rc;
}

}  // namespace tw
