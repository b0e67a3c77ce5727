#include "certs/private_key_ssh2.h"

#include <cstring>
#include <string_view>

#include "certs/private_key_decryptor.h"
#include "certs/ssh_wire_reader.h"
#include "crypto/pubkey/big_number.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/md5.h"

namespace tw {

namespace {

constexpr uint32_t kMagic = 0x3f6ff9eb;
constexpr std::string_view kKindRsa = "if-modn{sign{rsa";
constexpr std::string_view kKindDsa = "dl-modp{sign{dsa";
constexpr std::string_view kCipherNone = "none";
constexpr std::string_view kCipher3Des = "3des-cbc";
constexpr int kTripleDesKeyBytes = 24;
constexpr int kTripleDesBlockBytes = 8;

// This format's integer: a bit count and the big-endian bytes, leading zero bytes dropped.
bool ReadInteger(SpanReader* r, ByteString* out) {
  uint32_t bits = 0;
  SpanReader v;
  uint8_t b = 0;
  if (!r->ReadU32(&bits)) return false;
  const size_t count = (static_cast<size_t>(bits) + 7) / 8;
  if (count == 0 || !r->ReadBytes(count, &v)) return false;
  while (v.remaining() > 1 && v.PeekU8(&b) && b == 0) v.Skip(1);
  return out->Set(v.data(), static_cast<int>(v.remaining())) == kOk;
}

// The key is MD5(password) || MD5(password || MD5(password)), cut to 24 bytes; the IV is zero
// and nothing is padded.
int Decrypt3Des(const char* password, ByteString* data) {
  if (data->length() % kTripleDesBlockBytes != 0) return kErrSsh2KeyData;
  const size_t pw = std::strlen(password);
  uint8_t key[32];
  Md5Context md5;
  md5.Update(password, pw);
  std::memcpy(key, md5.Final(), 16);
  md5.Init();
  md5.Update(password, pw);
  md5.Update(key, 16);
  std::memcpy(key + 16, md5.Final(), 16);
  const uint8_t iv[kTripleDesBlockBytes] = {};
  CipherEngine engine;
  int rc = engine.SetAlgorithm(kCipherTripleDes);
  if (rc == kOk) rc = engine.SetKeyBits(kTripleDesKeyBytes * 8);
  engine.SetMode(kCipherModeCbc);
  engine.SetPadding(kPaddingNone);
  if (rc == kOk) rc = engine.BeginDecrypt(key, kTripleDesKeyBytes, iv, kTripleDesBlockBytes);
  ByteString plain;
  if (rc == kOk) rc = engine.Final(data->bytes(), data->length(), plain);
  if (rc == kOk) rc = data->Assign(plain);
  explicit_bzero(key, sizeof key);
  WipeBytes(plain.bytes(), static_cast<size_t>(plain.length()));
  DestroyCipherContext(engine);
  return rc;
}

bool Product(const ByteString& a, const ByteString& b, const ByteString& n) {
  BigNumber x, y, z, want;
  x.SetBytes(a);
  y.SetBytes(b);
  want.SetBytes(n);
  BigNumber::Mul(x, y, z);
  return z.Equals(want);
}

// The fields after the inner length; false when they do not make a consistent key.
bool ReadFields(bool rsa, SpanReader* r, KeyPair* fresh) {
  if (rsa) {
    // e, d, n, u, p, q with u = p^-1 mod q: the primes trade places in the record, whose
    // QInv is Q^-1 mod P.
    RsaKeyData& k = fresh->rsa;
    ByteString u;
    fresh->type = kKeyRsa;
    if (!ReadInteger(r, &k.E) || !ReadInteger(r, &k.D) || !ReadInteger(r, &k.N) || !ReadInteger(r, &u) ||
        !ReadInteger(r, &k.Q) || !ReadInteger(r, &k.P)) {
      return false;
    }
    WipeBytes(u.bytes(), static_cast<size_t>(u.length()));
    return Product(k.P, k.Q, k.N) && k.CompleteCrt() == kOk;
  }
  // A zero word (explicit parameters), then p, g, q, y, x.
  uint32_t predefined = 1;
  DsaKeyData& k = fresh->dsa;
  fresh->type = kKeyDsa;
  if (!r->ReadU32(&predefined) || predefined != 0 || !ReadInteger(r, &k.P) || !ReadInteger(r, &k.G) ||
      !ReadInteger(r, &k.Q) || !ReadInteger(r, &k.Y) || !ReadInteger(r, &k.X)) {
    return false;
  }
  ByteString y;
  if (y.Assign(k.Y) != kOk) return false;
  k.Y.Reset();
  return k.DerivePublic() == kOk && k.Y.Equals(y);
}

}  // namespace

int ReadSsh2PrivateKey(const ByteString& body, const char* password, KeyPair* key) {
  if (password == nullptr) password = "";
  SpanReader r(body);
  uint32_t magic = 0, total = 0;
  std::string_view kind, cipher, blob;
  if (!r.ReadU32(&magic) || magic != kMagic || !r.ReadU32(&total) || total != static_cast<uint32_t>(body.length()) ||
      !ReadSshString(&r, &kind) || !ReadSshString(&r, &cipher) || !ReadSshString(&r, &blob)) {
    return kErrSsh2KeyData;
  }
  const bool rsa = kind.substr(0, kKindRsa.size()) == kKindRsa;
  if (!rsa && kind.substr(0, kKindDsa.size()) != kKindDsa) return kErrSsh2KeyData;
  const bool encrypted = cipher == kCipher3Des;
  if (!encrypted && cipher != kCipherNone) return kErrSsh2KeyData;
  ByteString data;
  int rc = data.Set(blob.data(), static_cast<int>(blob.size()));
  if (rc == kOk && encrypted) rc = Decrypt3Des(password, &data);
  if (rc != kOk) return rc;
  SpanReader inner(data), key_fields;
  KeyPair fresh;
  const bool ok = inner.ReadPrefixed(4, &key_fields) && ReadFields(rsa, &key_fields, &fresh);
  WipeBytes(data.bytes(), static_cast<size_t>(data.length()));
  // Under a wrong password the fields come out as garbage that no consistent key survives.
  if (!ok) return encrypted ? kErrKeyNotDecrypted : kErrSsh2KeyData;
  return key->CopyFrom(fresh);
}

}  // namespace tw
