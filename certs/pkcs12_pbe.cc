#include "certs/pkcs12_pbe.h"

#include <cstring>

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "certs/public_key_info.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/kdf.h"
#include "crypto/symmetric/pkcs12_kdf.h"

namespace tw {
namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;

constexpr const char* kOidPbkdf2 = "1.2.840.113549.1.5.12";

struct Pkcs12Scheme {
  const char* oid;
  int cipher;
  int key_bytes;
  int iv_bytes;  // 0 for the stream cipher
};

constexpr Pkcs12Scheme kPkcs12Schemes[] = {
    {kOidPbeSha1Rc4_128, kCipherRc4, 16, 0},       {kOidPbeSha1Rc4_40, kCipherRc4, 5, 0},
    {kOidPbeSha1TripleDes, kCipherTripleDes, 24, 8}, {kOidPbeSha1TwoKeyTripleDes, kCipherTripleDes, 16, 8},
    {kOidPbeSha1Rc2_128, kCipherRc2, 16, 8},       {kOidPbeSha1Rc2_40, kCipherRc2, 5, 8},
};

struct Pbes2Cipher {
  const char* oid;
  int cipher;
  int key_bytes;
  int iv_bytes;
};

constexpr Pbes2Cipher kPbes2Ciphers[] = {
    {"1.2.840.113549.3.7", kCipherTripleDes, 24, 8},
    {"2.16.840.1.101.3.4.1.2", kCipherAes, 16, 16},
    {"2.16.840.1.101.3.4.1.42", kCipherAes, 32, 16},
};

struct OidHash {
  const char* oid;
  int hash_id;
  const char* name;
};

constexpr OidHash kPbkdf2Prfs[] = {
    {"1.2.840.113549.2.7", kHashSha1, "SHA1"},
    {"1.2.840.113549.2.9", kHashSha256, "SHA256"},
};

// PBES1 of PKCS #5: DES-CBC under the key and IV of the iterated digest of password and salt.
struct Pbes1Scheme {
  const char* oid;
  const char* digest;
};

constexpr Pbes1Scheme kPbes1Schemes[] = {{kOidPbeMd5Des, "MD5"}, {kOidPbeSha1Des, "SHA1"}};
constexpr int kDesBlockBytes = 8;

constexpr OidHash kMacDigests[] = {
    {"1.3.14.3.2.26", kHashSha1, "SHA1"},
    {"2.16.840.1.101.3.4.2.1", kHashSha256, "SHA256"},
    {"2.16.840.1.101.3.4.2.2", kHashSha384, "SHA384"},
    {"2.16.840.1.101.3.4.2.3", kHashSha512, "SHA512"},
};

const Pkcs12Scheme* FindScheme(const char* oid) {
  for (const Pkcs12Scheme& s : kPkcs12Schemes) {
    if (std::strcmp(s.oid, oid) == 0) return &s;
  }
  return nullptr;
}

template <class Row, size_t N>
const Row* FindByOid(const Row (&table)[N], const char* oid) {
  for (const Row& r : table) {
    if (std::strcmp(r.oid, oid) == 0) return &r;
  }
  return nullptr;
}

// A positive INTEGER no larger than kPbeMaxIterations.
int TakeCount(DerCursor* c, int* value) {
  DerCursor v;
  int rc = c->NextTagged(kTagInteger, &v);
  if (rc != kOk) return rc;
  uint32_t n = 0;
  if (DerSmallUnsigned(v, &n) != kOk || n < 1 || n > static_cast<uint32_t>(kPbeMaxIterations)) {
    return kErrPbeUnsupported;
  }
  *value = static_cast<int>(n);
  return kOk;
}

int Crypt(int cipher, bool encrypt, const ByteString& key, const ByteString& iv, const void* data, int length,
          ByteString* out, bool raw = false) {
  if (length < 0 || (!data && length > 0)) return kErrDerMalformed;
  CipherEngine engine;
  int rc = engine.SetAlgorithm(cipher);
  if (rc == kOk && cipher != kCipherRc4) {
    engine.SetMode(kCipherModeCbc);
    engine.SetPadding(raw ? kPaddingNone : kPaddingPkcs7);
  }
  if (rc == kOk) rc = engine.SetKeyBits(key.length() * 8);
  if (rc == kOk) {
    rc = encrypt ? engine.BeginEncrypt(key.bytes(), key.length(), iv.bytes(), iv.length())
                 : engine.BeginDecrypt(key.bytes(), key.length(), iv.bytes(), iv.length());
  }
  ByteString result;
  if (rc == kOk) rc = engine.Final(static_cast<const uint8_t*>(data), length, result);
  if (rc == kOk) {
    WipeString(*out);
    rc = out->Assign(result);
  }
  WipeString(result);
  return rc;
}

int ParsePbeParams(const ByteString& params, ByteString* salt, int* iterations) {
  DerCursor all(params), seq, s;
  int rc = all.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &s);
  if (rc == kOk) rc = TakeCount(&seq, iterations);
  if (rc != kOk) return rc == kErrPbeUnsupported ? rc : kErrPbeUnsupported;
  return salt->Set(s.data(), static_cast<int>(s.size()));
}

int Pkcs12Crypt(const char* oid, bool encrypt, const ByteString& salt, int iterations,
                const ByteString& password_bmp, const void* data, int length, ByteString* out, bool raw = false) {
  const Pkcs12Scheme* scheme = FindScheme(oid);
  if (!scheme || iterations < 1 || iterations > kPbeMaxIterations) return kErrPbeUnsupported;
  ByteString key, iv;
  int rc = Pkcs12DeriveBmp("SHA1", password_bmp, salt, kPkcs12IdKey, iterations, scheme->key_bytes, key);
  if (rc == kOk && scheme->iv_bytes > 0) {
    rc = Pkcs12DeriveBmp("SHA1", password_bmp, salt, kPkcs12IdIv, iterations, scheme->iv_bytes, iv);
  }
  if (rc == kOk) rc = Crypt(scheme->cipher, encrypt, key, iv, data, length, out, raw);
  WipeString(key);
  WipeString(iv);
  return rc;
}

}  // namespace

int PfxPasswordToBmp(const ByteString& password, ByteString* bmp) {
  WipeString(*bmp);
  int rc = bmp->Resize(password.length() * 2 + 2);
  if (rc != kOk) return rc;
  for (int i = 0; i < password.length(); ++i) bmp->bytes()[2 * i + 1] = password.bytes()[i];
  return kOk;
}

bool IsPkcs12Pbe(const char* oid) { return FindScheme(oid) != nullptr; }

int EncodePbeParams(const ByteString& salt, int iterations, ByteString* out) {
  DerWriter w;
  int rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, salt.data(), salt.length());
  if (rc == kOk) rc = w.DerAppendInteger(kTagInteger, iterations);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = out->Assign(w.output());
  return rc;
}

int DecryptPbe(const ByteStringPair& algorithm, const ByteString& password_bmp, const void* data, int length,
               ByteString* out, bool raw) {
  if (!FindScheme(algorithm.first.c_str())) return kErrPbeUnsupported;
  ByteString salt;
  int iterations = 0;
  const int rc = ParsePbeParams(algorithm.second, &salt, &iterations);
  if (rc != kOk) return rc;
  return Pkcs12Crypt(algorithm.first.c_str(), false, salt, iterations, password_bmp, data, length, out, raw);
}

int EncryptPbe(const char* oid, const ByteString& salt, int iterations, const ByteString& password_bmp,
               const void* data, int length, ByteString* out) {
  return Pkcs12Crypt(oid, true, salt, iterations, password_bmp, data, length, out);
}

int DecryptPbes2(const ByteString& params, const ByteString& password, const void* data, int length,
                 ByteString* out, bool raw) {
  // PBES2-params { keyDerivationFunc { pbkdf2, PBKDF2-params }, encryptionScheme { oid, iv } }
  DerCursor all(params), seq, kdf_seq, kdf_params, scheme_seq, iv_c, salt_c;
  ByteString text;
  int rc = all.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = seq.NextTagged(kTagSequence, &kdf_seq);
  if (rc == kOk) rc = kdf_seq.NextOid(&text);
  if (rc == kOk && std::strcmp(text.c_str(), kOidPbkdf2) != 0) return kErrPbeUnsupported;
  if (rc == kOk) rc = kdf_seq.NextTagged(kTagSequence, &kdf_params);
  if (rc == kOk) rc = seq.NextTagged(kTagSequence, &scheme_seq);
  if (rc == kOk) rc = scheme_seq.NextOid(&text);
  if (rc != kOk) return rc;
  const Pbes2Cipher* cipher = FindByOid(kPbes2Ciphers, text.c_str());
  if (!cipher) return kErrPbeUnsupported;
  rc = scheme_seq.NextTagged(kTagOctetString, &iv_c);
  if (rc != kOk) return rc;
  if (static_cast<int>(iv_c.size()) != cipher->iv_bytes) return kErrPbeUnsupported;

  // PBKDF2-params { salt OCTET STRING, iterationCount, keyLength OPTIONAL, prf DEFAULT SHA-1 }
  int iterations = 0;
  rc = kdf_params.NextTagged(kTagOctetString, &salt_c);
  if (rc == kOk) rc = TakeCount(&kdf_params, &iterations);
  if (rc != kOk) return rc;
  const OidHash* prf = &kPbkdf2Prfs[0];
  uint8_t tag = 0;
  DerCursor next;
  if (!kdf_params.empty() && kdf_params.Peek(&tag, &next) == kOk && tag == kTagInteger) {
    int key_length = 0;
    rc = TakeCount(&kdf_params, &key_length);
    if (rc != kOk) return rc;
    if (key_length != cipher->key_bytes) return kErrPbeUnsupported;
  }
  if (!kdf_params.empty()) {
    DerCursor prf_element;
    rc = kdf_params.Next(&tag, nullptr, &prf_element);
    ByteStringPair prf_pair;
    if (rc == kOk) rc = ParseAlgorithmIdentifier(prf_element, &prf_pair);
    if (rc != kOk) return rc;
    prf = FindByOid(kPbkdf2Prfs, prf_pair.first.c_str());
    if (!prf) return kErrPbeUnsupported;
  }

  ByteString key, iv;
  rc = Pbkdf2(prf->hash_id, password.data(), password.length(), salt_c.data(), static_cast<int>(salt_c.size()),
              iterations, cipher->key_bytes * 8, key);
  if (rc == kOk) rc = iv.Set(iv_c.data(), static_cast<int>(iv_c.size()));
  if (rc == kOk) rc = Crypt(cipher->cipher, false, key, iv, data, length, out, raw);
  WipeString(key);
  return rc;
}

int DecryptPbes1(const ByteStringPair& algorithm, const ByteString& password, const void* data, int length,
                 ByteString* out, bool raw) {
  const Pbes1Scheme* scheme = FindByOid(kPbes1Schemes, algorithm.first.c_str());
  if (!scheme) return kErrPbeUnsupported;
  ByteString salt, text, both, key, iv;
  int iterations = 0;
  int rc = ParsePbeParams(algorithm.second, &salt, &iterations);
  if (rc == kOk) rc = text.Set(password.data(), password.length());  // a NUL-terminated copy
  PasswordKdf kdf;
  if (rc == kOk) {
    rc = kdf.DeriveBytes(iterations, scheme->digest, text.c_str(), salt.data(), salt.length(), 2 * kDesBlockBytes,
                         0, both);
  }
  if (rc == kOk) rc = key.Set(both.bytes(), kDesBlockBytes);
  if (rc == kOk) rc = iv.Set(both.bytes() + kDesBlockBytes, kDesBlockBytes);
  if (rc == kOk) rc = Crypt(kCipherDes, false, key, iv, data, length, out, raw);
  WipeString(text);
  WipeString(both);
  WipeString(key);
  return rc;
}

int DecryptPasswordBased(const ByteStringPair& algorithm, const ByteString& password,
                         const ByteString& password_bmp, const void* data, int length, ByteString* out,
                         bool raw) {
  if (std::strcmp(algorithm.first.c_str(), kOidPbes2) == 0) {
    return DecryptPbes2(algorithm.second, password, data, length, out, raw);
  }
  if (FindByOid(kPbes1Schemes, algorithm.first.c_str())) {
    return DecryptPbes1(algorithm, password, data, length, out, raw);
  }
  return DecryptPbe(algorithm, password_bmp, data, length, out, raw);
}

int DecryptEncryptedPrivateKeyInfo(const ByteString& der, const ByteString& password, ByteString* key_info) {
  DerCursor all(der), seq, alg, data;
  uint8_t tag = 0;
  int rc = all.NextTagged(kTagSequence, &seq);
  if (rc == kOk && !all.empty()) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg);
  if (rc == kOk && tag != kTagSequence) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &data);
  if (rc == kOk && !seq.empty()) rc = kErrDerMalformed;
  if (rc != kOk) return rc;
  ByteStringPair algorithm;
  ByteString bmp;
  rc = ParseAlgorithmIdentifier(alg, &algorithm);
  if (rc == kOk) rc = PfxPasswordToBmp(password, &bmp);
  if (rc == kOk) {
    rc = DecryptPasswordBased(algorithm, password, bmp, data.data(), static_cast<int>(data.size()), key_info);
  }
  WipeString(bmp);
  // A wrong password passes the padding check about once in 256 times; what it gives is then no
  // single DER SEQUENCE, and is refused as the bad padding it stands for.
  if (rc == kOk) {
    DerCursor plain(*key_info), body;
    if (plain.NextTagged(kTagSequence, &body) != kOk || !plain.empty()) {
      WipeString(*key_info);
      rc = kErrCipherPadding;
    }
  }
  return rc;
}

int ComputePfxMac(const char* digest_oid, const void* content, int length, const ByteString& password_bmp,
                  const ByteString& salt, int iterations, ByteString* mac) {
  const OidHash* digest = FindByOid(kMacDigests, digest_oid);
  if (!digest || iterations < 1 || iterations > kPbeMaxIterations) return kErrPbeUnsupported;
  ByteString key;
  int rc = Pkcs12DeriveBmp(digest->name, password_bmp, salt, kPkcs12IdMac, iterations,
                           HashDigestSize(digest->hash_id), key);
  HmacEngine hmac;
  if (rc == kOk) rc = hmac.SetKey(digest->hash_id, key.data(), key.length());
  if (rc == kOk) rc = hmac.Compute(content, length, *mac);
  WipeString(key);
  return rc;
}

}  // namespace tw
