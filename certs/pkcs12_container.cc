#include "certs/pkcs12_container.h"

#include <cstring>

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "certs/key_encoding.h"
#include "certs/pkcs12_pbe.h"
#include "certs/private_key_reader.h"
#include "certs/public_key_info.h"
#include "crypto/symmetric/random_source.h"

namespace tw {
namespace {

constexpr const char* kOidData = "1.2.840.113549.1.7.1";
constexpr const char* kOidEncryptedData = "1.2.840.113549.1.7.6";
constexpr const char* kOidKeyBag = "1.2.840.113549.1.12.10.1.1";
constexpr const char* kOidShroudedKeyBag = "1.2.840.113549.1.12.10.1.2";
constexpr const char* kOidCertBag = "1.2.840.113549.1.12.10.1.3";
constexpr const char* kOidX509Certificate = "1.2.840.113549.1.9.22.1";
constexpr const char* kOidLocalKeyId = "1.2.840.113549.1.9.21";
constexpr const char* kOidFriendlyName = "1.2.840.113549.1.9.20";
constexpr const char* kOidSha1 = "1.3.14.3.2.26";

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagBmpString = 0x1E;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagSet = 0x31;
constexpr uint8_t kTagExplicit0 = 0xA0;
constexpr uint8_t kTagImplicit0 = 0x80;

constexpr int kWriteIterations = 2000;
// Certificates go under 3DES like the key: 40-bit RC2 protects nothing and OpenSSL 3 refuses it
// unless its legacy provider is loaded.
constexpr const char* kWriteCertScheme = kOidPbeSha1TripleDes;
constexpr int kWriteSaltBytes = 8;
constexpr int kWriteMacSaltBytes = 20;
constexpr uint8_t kWriteLocalKeyId[] = {0x01, 0x00, 0x00, 0x00};

bool Is(const ByteString& oid, const char* want) { return std::strcmp(oid.c_str(), want) == 0; }

bool SameBytes(const uint8_t* a, int an, const uint8_t* b, int bn) {
  if (an != bn) return false;
  uint8_t diff = 0;
  for (int i = 0; i < an; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

// Big-endian UTF-16 to UTF-8 (units outside the BMP pass through as they stand).
int BmpToUtf8(const DerCursor& bmp, ByteString* out) {
  if (bmp.size() % 2 != 0) return kErrDerMalformed;
  out->Reset();
  SpanReader units(bmp.data(), bmp.size());
  uint16_t u = 0;
  int rc = kOk;
  while (rc == kOk && units.ReadU16(&u)) {
    if (u == 0 && units.empty()) break;  // a closing NUL some writers add
    if (u < 0x80) {
      rc = out->AppendByte(static_cast<uint8_t>(u));
    } else if (u < 0x800) {
      const uint8_t b[] = {static_cast<uint8_t>(0xC0 | (u >> 6)), static_cast<uint8_t>(0x80 | (u & 0x3F))};
      rc = out->Append(b, 2);
    } else {
      const uint8_t b[] = {static_cast<uint8_t>(0xE0 | (u >> 12)), static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F)),
                           static_cast<uint8_t>(0x80 | (u & 0x3F))};
      rc = out->Append(b, 3);
    }
  }
  return rc;
}

// Whether a decryption that should hold one DER SEQUENCE, its padding left in place, starts as one
// that fits it: what the right key gives for damaged content, and a wrong key almost never does.
bool PlausibleSequence(const DerCursor& plain) {
  uint8_t tag = 0;
  DerCursor element;
  return plain.Peek(&tag, nullptr, &element) == kOk && tag == kTagSequence && plain.size() - element.size() <= 16;
}

// UTF-8 to big-endian UTF-16, the reverse of BmpToUtf8; a byte that starts no UTF-8 sequence is
// taken as the code point of the same value.
int Utf8ToBmp(const char* text, ByteString* out) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
  int rc = kOk;
  while (rc == kOk && *p) {
    unsigned u = *p++;
    if (u >= 0xE0 && u < 0xF0 && (p[0] & 0xC0) == 0x80 && (p[1] & 0xC0) == 0x80) {
      u = ((u & 0x0F) << 12) | ((p[0] & 0x3Fu) << 6) | (p[1] & 0x3Fu);
      p += 2;
    } else if (u >= 0xC2 && u < 0xE0 && (p[0] & 0xC0) == 0x80) {
      u = ((u & 0x1F) << 6) | (p[0] & 0x3Fu);
      p += 1;
    }
    const uint8_t unit[] = {static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
    rc = out->Append(unit, 2);
  }
  return rc;
}

// A key read from a bag, waiting to be joined to its certificate.
struct PendingKey {
  KeyPair key;
  ByteString localKeyId;
  ByteString friendlyName;
};

// The state of one ReadPfx: the container filled, the password's BMP form and the keys waiting
// for their certificates.
struct PfxParser {
  explicit PfxParser(Pkcs12Container* container) : out(container) {}

  Pkcs12Container* out;
  ByteString bmp;
  bool macOk = false;
  PtrArray<PendingKey> keys;

  int Fail(int code, const char* text) {
    out->error_text.SetText(text);
    return code;
  }
  // Content did not decrypt, or decrypted to nonsense: damaged when the MAC vouched for the
  // password or the plaintext still starts as the structure it should be; else a wrong password.
  int DecryptFailure(int rc, bool plausible, const char* damaged_text) {
    if (rc == kErrOutOfMemory) return rc;
    if (macOk || plausible) return Fail(kErrDerMalformed, damaged_text);
    return Fail(kErrPfxWrongPassword, kPfxTextKeyNotParsed);
  }
  // Whether the ciphertext, decrypted without the padding check, starts as it should.
  bool RawPlausible(const ByteStringPair& algorithm, const DerCursor& data) {
    ByteString raw;
    const bool plausible = DecryptPasswordBased(algorithm, out->password, bmp, data.data(),
                                                static_cast<int>(data.size()), &raw, true) == kOk &&
                           PlausibleSequence(DerCursor(raw));
    WipeString(raw);
    return plausible;
  }

  int ReadAttributes(DerCursor set, ByteString* local_id, ByteString* name);
  int ReadKeyBag(const DerCursor& value, const ByteString& id, const ByteString& name, bool shrouded);
  int ReadCertBag(const DerCursor& value, const ByteString& id, const ByteString& name);
  // algorithm and cipher_text: where decrypted content came from (null for plain content).
  int ReadSafeContents(const DerCursor& contents, const ByteStringPair* algorithm, const DerCursor* cipher_text);
  int ReadEncryptedData(const DerCursor& inner);
  int ReadMacData(DerCursor mac_data, const DerCursor& content);
  int Join();
};

int PfxParser::ReadAttributes(DerCursor set, ByteString* local_id, ByteString* name) {
  while (!set.empty()) {
    DerCursor attr, values, value;
    ByteString oid;
    uint8_t tag = 0;
    int rc = set.NextTagged(kTagSequence, &attr);
    if (rc == kOk) rc = attr.NextOid(&oid);
    if (rc == kOk) rc = attr.NextTagged(kTagSet, &values);
    if (rc == kOk && !values.empty()) rc = values.Next(&tag, &value);
    if (rc != kOk) return rc;
    if (Is(oid, kOidLocalKeyId) && tag == kTagOctetString) {
      rc = local_id->Set(value.data(), static_cast<int>(value.size()));
    } else if (Is(oid, kOidFriendlyName) && tag == kTagBmpString) {
      rc = BmpToUtf8(value, name);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

int PfxParser::ReadKeyBag(const DerCursor& value, const ByteString& id, const ByteString& name, bool shrouded) {
  ByteString info;
  ByteStringPair algorithm;
  DerCursor data;
  if (shrouded) {
    DerCursor c = value, seq, alg;
    uint8_t tag = 0;
    int rc = c.NextTagged(kTagSequence, &seq);
    if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg);
    if (rc == kOk && tag != kTagSequence) rc = kErrDerMalformed;
    if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &data);
    if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &algorithm);
    if (rc != kOk) return Fail(kErrDerMalformed, kPfxTextShroudedBag);
    rc = DecryptPasswordBased(algorithm, out->password, bmp, data.data(), static_cast<int>(data.size()), &info);
    if (rc == kErrPbeUnsupported) return Fail(rc, kPfxTextShroudedBag);
    if (rc != kOk) return DecryptFailure(rc, RawPlausible(algorithm, data), kPfxTextKeyNotParsed);
  } else {
    const int rc = info.Set(value.data(), static_cast<int>(value.size()));
    if (rc != kOk) return rc;
  }
  PendingKey* pending = keys.GetOrCreate(keys.Count());
  if (!pending) return kErrOutOfMemory;
  int rc = ReadPkcs8PrivateKey(info, &pending->key);
  WipeString(info);
  if (rc != kOk) {
    keys.RemoveAt(keys.Count() - 1);
    if (rc == kErrOutOfMemory) return rc;
    if (!shrouded) return Fail(kErrDerMalformed, kPfxTextKeyNotParsed);
    return DecryptFailure(rc, RawPlausible(algorithm, data), kPfxTextKeyNotParsed);
  }
  rc = pending->localKeyId.Assign(id);
  if (rc == kOk) rc = pending->friendlyName.Assign(name);
  return rc;
}

int PfxParser::ReadCertBag(const DerCursor& value, const ByteString& id, const ByteString& name) {
  DerCursor c = value, seq, explicit0, octets;
  ByteString oid;
  int rc = c.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = seq.NextOid(&oid);
  if (rc == kOk && !Is(oid, kOidX509Certificate)) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.NextTagged(kTagExplicit0, &explicit0);
  if (rc == kOk) rc = explicit0.NextTagged(kTagOctetString, &octets);
  if (rc != kOk) return Fail(kErrDerMalformed, kPfxTextCertBag);
  CertificateWithKey* entry = out->certificates.GetOrCreate(out->certificates.Count());
  if (!entry) return kErrOutOfMemory;
  rc = ParseCertificateDer(octets.data(), static_cast<int>(octets.size()), &entry->certificate);
  if (rc != kOk) {
    out->certificates.RemoveAt(out->certificates.Count() - 1);
    return rc == kErrOutOfMemory ? rc : Fail(kErrDerMalformed, kPfxTextCertBag);
  }
  rc = out->certLocalKeyIds.Add(id.data(), id.length());
  if (rc == kOk) rc = out->certFriendlyNames.Add(name.data(), name.length());
  return rc;
}

int PfxParser::ReadSafeContents(const DerCursor& contents, const ByteStringPair* algorithm,
                                const DerCursor* cipher_text) {
  DerCursor all = contents, bags;
  int rc = all.NextTagged(kTagSequence, &bags);
  if (rc == kOk && !all.empty()) rc = kErrDerMalformed;
  if (rc != kOk && algorithm) return DecryptFailure(rc, RawPlausible(*algorithm, *cipher_text), kPfxTextSafeBag);
  if (rc != kOk) return Fail(kErrDerMalformed, kPfxTextSafeBag);
  // Past this point decrypted content has the right shape, so a fault in it is damage.
  while (!bags.empty()) {
    DerCursor bag, value, attrs;
    ByteString type, id, name;
    uint8_t tag = 0;
    rc = bags.NextTagged(kTagSequence, &bag);
    if (rc == kOk) rc = bag.NextOid(&type);
    if (rc == kOk) rc = bag.NextTagged(kTagExplicit0, &value);
    if (rc == kOk && !bag.empty()) {
      rc = bag.Next(&tag, &attrs);
      if (rc == kOk && (tag != kTagSet || !bag.empty())) rc = kErrDerMalformed;
      if (rc == kOk) rc = ReadAttributes(attrs, &id, &name);
    }
    if (rc == kErrOutOfMemory) return rc;
    if (rc != kOk) return Fail(kErrDerMalformed, kPfxTextSafeBag);
    if (Is(type, kOidKeyBag) || Is(type, kOidShroudedKeyBag)) {
      rc = ReadKeyBag(value, id, name, Is(type, kOidShroudedKeyBag));
    } else if (Is(type, kOidCertBag)) {
      rc = ReadCertBag(value, id, name);
    } else {
      rc = Fail(kErrDerMalformed, kPfxTextSafeBag);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

int PfxParser::ReadEncryptedData(const DerCursor& inner) {
  // EncryptedData { version, EncryptedContentInfo { contentType, algorithm, [0] IMPLICIT data } }
  DerCursor c = inner, ed, version, eci, alg, data;
  ByteString type;
  ByteStringPair algorithm;
  ByteString cipher_text;
  uint8_t tag = 0;
  int rc = c.NextTagged(kTagSequence, &ed);
  if (rc == kOk) rc = ed.NextTagged(kTagInteger, &version);
  if (rc == kOk) rc = ed.NextTagged(kTagSequence, &eci);
  if (rc == kOk) rc = eci.NextOid(&type);
  if (rc == kOk) rc = eci.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &algorithm);
  if (rc == kOk && !eci.empty()) {
    rc = eci.Next(&tag, &data);
    if (rc == kOk && tag == kTagImplicit0) {
      rc = cipher_text.Set(data.data(), static_cast<int>(data.size()));
    } else if (rc == kOk && tag == kTagExplicit0) {
      // The constructed form some writers use: the bytes split over OCTET STRINGs.
      while (rc == kOk && !data.empty()) {
        DerCursor piece;
        rc = data.NextTagged(kTagOctetString, &piece);
        if (rc == kOk) rc = cipher_text.Append(piece.data(), static_cast<int>(piece.size()));
      }
    } else if (rc == kOk) {
      rc = kErrDerMalformed;
    }
  }
  if (rc == kErrOutOfMemory) return rc;
  if (rc != kOk) return Fail(kErrDerIncomplete, kPfxTextAuthSafe);
  if (cipher_text.empty()) return kOk;
  ByteString plain;
  const DerCursor cipher(cipher_text);
  rc = DecryptPasswordBased(algorithm, out->password, bmp, cipher.data(), static_cast<int>(cipher.size()), &plain);
  if (rc == kErrPbeUnsupported) return Fail(rc, kPfxTextAuthSafe);
  if (rc != kOk) return DecryptFailure(rc, RawPlausible(algorithm, cipher), kPfxTextAuthSafe);
  rc = ReadSafeContents(DerCursor(plain), &algorithm, &cipher);
  WipeString(plain);
  return rc;
}

// MacData { DigestInfo { algorithm, digest }, macSalt, iterations DEFAULT 1 }: checked only to
// tell a wrong password from damaged content.
int PfxParser::ReadMacData(DerCursor mac_data, const DerCursor& content) {
  DerCursor digest_info, alg, digest, salt_c;
  ByteStringPair algorithm;
  ByteString salt;
  uint8_t tag = 0;
  int iterations = 1;
  int rc = mac_data.NextTagged(kTagSequence, &digest_info);
  if (rc == kOk) rc = digest_info.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &algorithm);
  if (rc == kOk) rc = digest_info.NextTagged(kTagOctetString, &digest);
  if (rc == kOk) rc = mac_data.NextTagged(kTagOctetString, &salt_c);
  if (rc == kOk && !mac_data.empty()) {
    uint32_t n = 0;
    rc = mac_data.NextSmallUnsigned(&n);
    iterations = static_cast<int>(n);
  }
  if (rc == kOk) rc = salt.Set(salt_c.data(), static_cast<int>(salt_c.size()));
  if (rc != kOk) return rc == kErrOutOfMemory ? rc : kErrDerIncomplete;
  if (iterations < 1 || iterations > kPbeMaxIterations) return kOk;

  auto matches = [&](const ByteString& password_bmp) {
    ByteString mac;
    const int mrc = ComputePfxMac(algorithm.first.c_str(), content.data(), static_cast<int>(content.size()),
                                  password_bmp, salt, iterations, &mac);
    return mrc == kOk && SameBytes(mac.bytes(), mac.length(), digest.data(), static_cast<int>(digest.size()));
  };
  macOk = matches(bmp);
  if (!macOk && out->password.empty()) {
    // An empty password is also written as no bytes at all; take the form the MAC was made with.
    ByteString none;
    if (matches(none)) {
      macOk = true;
      WipeString(bmp);
    }
  }
  return kOk;
}

int PfxParser::Join() {
  for (int i = 0; i < keys.Count(); ++i) {
    PendingKey* k = keys.At(i);
    int target = -1;
    for (int j = 0; !k->localKeyId.empty() && j < out->certificates.Count(); ++j) {
      const uint8_t* id = reinterpret_cast<const uint8_t*>(out->certLocalKeyIds.Get(j));
      if (out->certificates.At(j)->key.type == kKeyNone &&
          SameBytes(id, out->certLocalKeyIds.GetLength(j), k->localKeyId.bytes(), k->localKeyId.length())) {
        target = j;
        break;
      }
    }
    int rc = kOk;
    if (target >= 0) {
      CertificateWithKey* entry = out->certificates.At(target);
      // A key that decrypted but is not the certificate's key was damaged inside its encryption.
      const KeyPair& cert_key = entry->certificate.tbs.publicKey;
      if (cert_key.type != kKeyNone && !SamePublicKey(k->key, cert_key)) {
        return Fail(kErrDerMalformed, kPfxTextKeyNotParsed);
      }
      rc = entry->key.CopyFrom(k->key);
    } else {
      KeyEntry* entry = out->keys.GetOrCreate(out->keys.Count());
      if (!entry) return kErrOutOfMemory;
      rc = entry->key.CopyFrom(k->key);
      if (rc == kOk) rc = entry->id.Assign(k->friendlyName);
      if (rc == kOk) rc = out->keyLocalKeyIds.Add(k->localKeyId.data(), k->localKeyId.length());
      if (rc == kOk) rc = out->keyFriendlyNames.Add(k->friendlyName.data(), k->friendlyName.length());
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

// ---- writing ----

int AppendAttributes(DerWriter* w, const char* friendly_name, bool with_id) {
  const bool with_name = friendly_name && *friendly_name;
  if (!with_name && !with_id) return kOk;
  int rc = w->DerOpenConstructed(kTagSet);
  if (rc == kOk && with_name) {
    rc = w->DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = w->DerAppendOid(kTagOid, kOidFriendlyName);
    if (rc == kOk) rc = w->DerOpenConstructed(kTagSet);
    ByteString bmp;
    if (rc == kOk) rc = Utf8ToBmp(friendly_name, &bmp);
    if (rc == kOk) rc = w->DerAppendTlv(kTagBmpString, bmp.data(), bmp.length());
    if (rc == kOk) rc = w->DerCloseConstructed(false);
    if (rc == kOk) rc = w->DerCloseConstructed(false);
  }
  if (rc == kOk && with_id) {
    rc = w->DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = w->DerAppendOid(kTagOid, kOidLocalKeyId);
    if (rc == kOk) rc = w->DerOpenConstructed(kTagSet);
    if (rc == kOk) rc = w->DerAppendTlv(kTagOctetString, kWriteLocalKeyId, sizeof kWriteLocalKeyId);
    if (rc == kOk) rc = w->DerCloseConstructed(false);
    if (rc == kOk) rc = w->DerCloseConstructed(false);
  }
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  return rc;
}

// AlgorithmIdentifier { oid, pbeParams } with a fresh salt.
int AppendPbeAlgorithm(DerWriter* w, const char* oid, const ByteString& salt) {
  ByteString params;
  int rc = EncodePbeParams(salt, kWriteIterations, &params);
  if (rc == kOk) rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w->DerAppendOid(kTagOid, oid);
  if (rc == kOk) rc = w->AppendRaw(params.data(), params.length());
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  return rc;
}

// SafeContents holding the one shrouded key bag.
int KeySafeContents(const ByteString& key_info, const ByteString& bmp, const char* friendly_name, ByteString* out) {
  ByteString salt, cipher_text;
  int rc = FillRandom(kWriteSaltBytes, salt);
  if (rc == kOk) {
    rc = EncryptPbe(kOidPbeSha1TripleDes, salt, kWriteIterations, bmp, key_info.data(), key_info.length(),
                    &cipher_text);
  }
  DerWriter w;
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerAppendOid(kTagOid, kOidShroudedKeyBag);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagExplicit0);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = AppendPbeAlgorithm(&w, kOidPbeSha1TripleDes, salt);
  if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, cipher_text.data(), cipher_text.length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = AppendAttributes(&w, friendly_name, true);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = out->Assign(w.output());
  return rc;
}

int CertSafeContents(const CertificateArray& certificates, bool with_key, ByteString* out) {
  DerWriter w;
  int rc = w.DerOpenConstructed(kTagSequence);
  for (int i = 0; rc == kOk && i < certificates.Count(); ++i) {
    const Certificate* cert = certificates.At(i);
    if (!cert) continue;
    DerWriter cert_der;
    rc = cert->EncodeDer(&cert_der);
    if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = w.DerAppendOid(kTagOid, kOidCertBag);
    if (rc == kOk) rc = w.DerOpenConstructed(kTagExplicit0);
    if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = w.DerAppendOid(kTagOid, kOidX509Certificate);
    if (rc == kOk) rc = w.DerOpenConstructed(kTagExplicit0);
    if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, cert_der.output().data(), cert_der.output().length());
    if (rc == kOk) rc = w.DerCloseConstructed(false);
    if (rc == kOk) rc = w.DerCloseConstructed(false);
    if (rc == kOk) rc = w.DerCloseConstructed(false);
    if (rc == kOk) rc = AppendAttributes(&w, nullptr, with_key && i == 0);
    if (rc == kOk) rc = w.DerCloseConstructed(false);
  }
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = out->Assign(w.output());
  return rc;
}

}  // namespace

void Pkcs12Container::Reset() {
  der.Reset();
  WipeString(password);
  version = 0;
  certificates.Clear();
  certLocalKeyIds.Clear();
  certFriendlyNames.Clear();
  keys.Clear();
  keyLocalKeyIds.Clear();
  keyFriendlyNames.Clear();
  selected = -1;
  subject.Reset();
  error_text.Reset();
  macVerified = false;
}

int Pkcs12Container::CopyFrom(const Pkcs12Container& other) {
  if (this == &other) return kOk;
  version = other.version;
  selected = other.selected;
  macVerified = other.macVerified;
  int rc = der.Assign(other.der);
  if (rc == kOk) rc = password.Assign(other.password);
  if (rc == kOk) rc = subject.Assign(other.subject);
  if (rc == kOk) rc = error_text.Assign(other.error_text);
  if (rc == kOk) rc = certificates.CopyFrom(other.certificates);
  if (rc == kOk) rc = keys.CopyFrom(other.keys);
  StringList* mine[] = {&certLocalKeyIds, &certFriendlyNames, &keyLocalKeyIds, &keyFriendlyNames};
  const StringList* theirs[] = {&other.certLocalKeyIds, &other.certFriendlyNames, &other.keyLocalKeyIds,
                                &other.keyFriendlyNames};
  for (int i = 0; rc == kOk && i < 4; ++i) {
    mine[i]->Clear();
    for (int j = 0; rc == kOk && j < theirs[i]->Count(); ++j) {
      rc = mine[i]->Add(theirs[i]->Get(j), theirs[i]->GetLength(j));
    }
  }
  return rc;
}

int ReadPfx(const void* der, int length, const ByteString& password, Pkcs12Container* out) {
  out->Reset();
  PfxParser r(out);
  if (!der || length <= 0) return r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
  int rc = out->der.Set(der, length);
  if (rc == kOk) rc = out->password.Assign(password);
  if (rc == kOk) rc = PfxPasswordToBmp(password, &r.bmp);
  if (rc != kOk) return rc;

  // PFX { version, authSafe ContentInfo, MacData OPTIONAL }
  DerCursor all(der, static_cast<size_t>(length)), pfx, version, auth_safe, explicit0, content;
  ByteString type;
  rc = all.NextTagged(kTagSequence, &pfx);
  if (rc == kOk && !all.empty()) rc = kErrDerMalformed;
  uint32_t version_number = 0;
  if (rc == kOk) rc = pfx.NextTagged(kTagInteger, &version);
  // The version is taken as unsigned, whatever its sign bit.
  if (rc == kOk) rc = DerSmallUnsigned(version, &version_number, 2, true);
  if (rc == kOk) rc = pfx.NextTagged(kTagSequence, &auth_safe);
  if (rc == kOk) rc = auth_safe.NextOid(&type);
  if (rc == kOk && !Is(type, kOidData)) rc = kErrDerMalformed;
  if (rc == kOk) rc = auth_safe.NextTagged(kTagExplicit0, &explicit0);
  if (rc == kOk) rc = explicit0.NextTagged(kTagOctetString, &content);
  if (rc == kOk && !pfx.empty()) {
    DerCursor mac_data;
    rc = pfx.NextTagged(kTagSequence, &mac_data);
    if (rc == kOk && !pfx.empty()) rc = kErrDerMalformed;
    if (rc == kOk) rc = r.ReadMacData(mac_data, content);
  }
  if (rc == kErrOutOfMemory) return rc;
  if (rc != kOk) return r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
  out->version = static_cast<int32_t>(version_number);
  out->macVerified = r.macOk;

  // AuthenticatedSafe: SEQUENCE OF ContentInfo, each plain or password-encrypted SafeContents.
  DerCursor as_all = content, infos;
  rc = as_all.NextTagged(kTagSequence, &infos);
  if (rc == kOk && !as_all.empty()) rc = kErrDerMalformed;
  if (rc != kOk) return r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
  while (!infos.empty()) {
    DerCursor info, inner, octets;
    rc = infos.NextTagged(kTagSequence, &info);
    if (rc == kOk) rc = info.NextOid(&type);
    if (rc == kOk) rc = info.NextTagged(kTagExplicit0, &inner);
    if (rc != kOk) return r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
    if (Is(type, kOidData)) {
      rc = inner.NextTagged(kTagOctetString, &octets);
      if (rc != kOk) return r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
      rc = r.ReadSafeContents(octets, nullptr, nullptr);
    } else if (Is(type, kOidEncryptedData)) {
      rc = r.ReadEncryptedData(inner);
    } else {
      rc = r.Fail(kErrDerIncomplete, kPfxTextAuthSafe);
    }
    if (rc != kOk) return rc;
  }
  return r.Join();
}

int WritePfx(const CertificateArray& certificates, const ByteString& password, const ByteString& private_key_info,
             const char* friendly_name, ByteString* der) {
  const bool with_key = !private_key_info.empty();
  ByteString bmp, key_contents, cert_contents, cert_salt, cert_cipher, mac_salt, mac;
  int rc = PfxPasswordToBmp(password, &bmp);
  if (rc == kOk && with_key) rc = KeySafeContents(private_key_info, bmp, friendly_name, &key_contents);
  if (rc == kOk) rc = CertSafeContents(certificates, with_key, &cert_contents);
  if (rc == kOk) rc = FillRandom(kWriteSaltBytes, cert_salt);
  if (rc == kOk) {
    rc = EncryptPbe(kWriteCertScheme, cert_salt, kWriteIterations, bmp, cert_contents.data(),
                    cert_contents.length(), &cert_cipher);
  }

  DerWriter safe;  // the AuthenticatedSafe
  if (rc == kOk) rc = safe.DerOpenConstructed(kTagSequence);
  if (rc == kOk && with_key) {
    rc = safe.DerOpenConstructed(kTagSequence);
    if (rc == kOk) rc = safe.DerAppendOid(kTagOid, kOidData);
    if (rc == kOk) rc = safe.DerOpenConstructed(kTagExplicit0);
    if (rc == kOk) rc = safe.DerAppendTlv(kTagOctetString, key_contents.data(), key_contents.length());
    if (rc == kOk) rc = safe.DerCloseConstructed(false);
    if (rc == kOk) rc = safe.DerCloseConstructed(false);
  }
  if (rc == kOk) rc = safe.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = safe.DerAppendOid(kTagOid, kOidEncryptedData);
  if (rc == kOk) rc = safe.DerOpenConstructed(kTagExplicit0);
  if (rc == kOk) rc = safe.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = safe.DerAppendInteger(kTagInteger, 0);
  if (rc == kOk) rc = safe.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = safe.DerAppendOid(kTagOid, kOidData);
  if (rc == kOk) rc = AppendPbeAlgorithm(&safe, kWriteCertScheme, cert_salt);
  if (rc == kOk) rc = safe.DerAppendTlv(kTagImplicit0, cert_cipher.data(), cert_cipher.length());
  for (int i = 0; rc == kOk && i < 4; ++i) rc = safe.DerCloseConstructed(false);
  if (rc == kOk) rc = safe.DerCloseConstructed(false);

  if (rc == kOk) rc = FillRandom(kWriteMacSaltBytes, mac_salt);
  if (rc == kOk) {
    rc = ComputePfxMac(kOidSha1, safe.output().data(), safe.output().length(), bmp, mac_salt, 1, &mac);
  }

  DerWriter w;
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerAppendInteger(kTagInteger, 3);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerAppendOid(kTagOid, kOidData);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagExplicit0);
  if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, safe.output().data(), safe.output().length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w.DerAppendOid(kTagOid, kOidSha1);
  if (rc == kOk) rc = w.DerAppendNull(0x05);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, mac.data(), mac.length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerAppendTlv(kTagOctetString, mac_salt.data(), mac_salt.length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = der->Assign(w.output());
  WipeString(bmp);
  WipeString(key_contents);
  return rc;
}

int WritePfx(const CertificateArray& certificates, const ByteString& password, const KeyPair* key,
             const char* friendly_name, ByteString* der) {
  ByteString info;
  int rc = kOk;
  if (key && key->type != kKeyNone) {
    if (!key->HasPrivate()) return kErrDerWrite;
    RsaKeyData rsa;
    DsaKeyData dsa;
    EcKeyData ec;
    switch (key->type) {
      case kKeyRsa:
        rc = key->GetRsa(&rsa, false);
        if (rc == kOk) rc = WriteRsaPkcs8(rsa, false, &info);
        break;
      case kKeyDsa:
        rc = key->GetDsa(&dsa, false);
        if (rc == kOk) rc = WriteDsaPkcs8(dsa, false, &info);
        break;
      case kKeyEc:
        rc = key->GetEc(&ec, false);
        if (rc == kOk) rc = WriteEcPkcs8(ec, false, false, &info);
        break;
      default:
        // Version 0 without the public key: OpenSSL 3.0 refuses the [1] field, and the public key
        // follows from the private one.
        rc = ec.Copy(key->edwards, true);
        ec.public_bytes.Reset();
        if (rc == kOk) rc = WriteEdPkcs8(ec, false, false, &info);
        break;
    }
  }
  if (rc == kOk) rc = WritePfx(certificates, password, info, friendly_name, der);
  WipeString(info);
  return rc;
}

}  // namespace tw
