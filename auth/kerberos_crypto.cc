#include "auth/kerberos_crypto.h"

#include <cstring>
#include <numeric>

#include "certs/der_writer.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/kdf.h"
#include "crypto/symmetric/md4.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/random_source.h"
#include "crypto/symmetric/rc4.h"
#include "foundation/span_reader.h"
#include "foundation/span_writer.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextIntegrity[] = "Integrity check error.";
constexpr char kTextEtype[] = "Unsupported encryption type.";
constexpr char kTextS2kParams[] = "Invalid string-to-key parameters.";
constexpr int kAesBlock = 16;
constexpr int kAesMac = 12;
constexpr int kRc4Checksum = 16;
constexpr int kConfounder8 = 8;

struct EtypeInfo {
  int id;
  const char* name;
  int key_length;
};
constexpr EtypeInfo kEtypes[] = {
    {kEtypeDesCbcMd5, "des-cbc-md5", 8},
    {kEtypeRc4Hmac, "rc4-hmac", 16},
    {kEtypeAes128, "aes128-cts-hmac-sha1-96", 16},
    {kEtypeAes256, "aes256-cts-hmac-sha1-96", 32},
};

constexpr uint8_t kDesWeakKeys[16][8] = {
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
    {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E}, {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
    {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE}, {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1}, {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
    {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1}, {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
    {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE}, {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
    {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E}, {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE}, {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1},
};

constexpr uint32_t MakeCrcEntry(uint32_t n) {
  for (int k = 0; k < 8; ++k) n = (n & 1) ? 0xEDB88320u ^ (n >> 1) : n >> 1;
  return n;
}
struct CrcTable {
  uint32_t v[256];
};
constexpr CrcTable MakeCrcTable() {
  CrcTable t{};
  for (uint32_t i = 0; i < 256; ++i) t.v[i] = MakeCrcEntry(i);
  return t;
}
constexpr CrcTable kCrc = MakeCrcTable();

int Fail(ByteString* error_text, int code, const char* text) {
  if (error_text != nullptr) error_text->SetText(text);
  return code;
}

bool IsAes(int etype) { return etype == kEtypeAes128 || etype == kEtypeAes256; }

// A 32-bit number as the four little-endian bytes the RC4 and checksum inputs take.
ByteString Le32(uint32_t v) {
  ByteString out;
  SpanWriter(out).U32Le(v);
  return out;
}

int Hmac(int hash_id, const void* key, int key_length, const void* data, int length, ByteString* out) {
  HmacEngine h;
  int rc = h.SetKey(hash_id, key, key_length);
  if (rc == kOk) rc = h.Compute(data, length, *out);
  return rc;
}

// One AES pass with an all-zero IV: plain CBC for exactly one block, ciphertext stealing above.
int AesCts(bool encrypt, const ByteString& key, const uint8_t* in, int length, ByteString* out) {
  out->Reset();
  if (length < kAesBlock) return kErrKerberosIntegrity;
  CipherEngine e;
  int rc = e.SetAlgorithm(kCipherAes);
  if (rc == kOk) rc = e.SetKeyBits(key.length() * 8);
  if (rc != kOk) return rc;
  e.SetMode(length == kAesBlock ? kCipherModeCbc : kCipherModeCts);
  e.SetPadding(kPaddingNone);
  const uint8_t iv[kAesBlock] = {};
  rc = encrypt ? e.BeginEncrypt(key.bytes(), key.length(), iv, kAesBlock)
               : e.BeginDecrypt(key.bytes(), key.length(), iv, kAesBlock);
  if (rc == kOk) rc = e.Final(in, length, *out);
  e.Wipe();
  return rc;
}

int DesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in, int length, ByteString* out) {
  out->Reset();
  CipherEngine e;
  int rc = e.SetAlgorithm(kCipherDes);
  if (rc != kOk) return rc;
  e.SetMode(kCipherModeCbc);
  e.SetPadding(kPaddingNone);
  rc = encrypt ? e.BeginEncrypt(key, 8, iv, 8) : e.BeginDecrypt(key, 8, iv, 8);
  if (rc == kOk) rc = e.Final(in, length, *out);
  e.Wipe();
  return rc;
}

uint32_t Crc32(const uint8_t* p, int n) {
  uint32_t c = 0;
  for (int i = 0; i < n; ++i) c = kCrc.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c;
}

void FixParity(uint8_t* key) {
  for (int i = 0; i < 8; ++i) {
    const int ones = __builtin_popcount(key[i] & 0xFE);
    key[i] = static_cast<uint8_t>((key[i] & 0xFE) | (ones % 2 == 0 ? 1 : 0));
  }
}

void FixWeak(uint8_t* key) {
  for (const auto& w : kDesWeakKeys) {
    if (std::memcmp(w, key, 8) == 0) {
      key[7] ^= 0xF0;
      return;
    }
  }
}

uint8_t Reverse(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((b >> i) & 1) << (7 - i)));
  return r;
}

int DesStringToKey(const ByteString& password, const ByteString& salt, ByteString* out) {
  ByteString s;
  int rc = s.Append(password.data(), password.length());
  if (rc == kOk) rc = s.Append(salt.data(), salt.length());
  if (rc == kOk && s.length() % 8 != 0) rc = s.AppendRepeated(8 - s.length() % 8, 0);
  if (rc != kOk) return rc;
  uint8_t key[8] = {};
  for (int block = 0; block * 8 < s.length(); ++block) {
    const uint8_t* b = s.bytes() + block * 8;
    for (int i = 0; i < 8; ++i) {
      key[i] ^= block % 2 == 0 ? static_cast<uint8_t>(b[i] << 1) : static_cast<uint8_t>(Reverse(b[7 - i]) & 0xFE);
    }
  }
  FixParity(key);
  FixWeak(key);
  ByteString enc;
  rc = DesCbc(true, key, key, s.bytes(), s.length(), &enc);
  WipeString(s);
  if (rc == kOk) {
    std::memcpy(key, enc.bytes() + enc.length() - 8, 8);
    FixParity(key);
    FixWeak(key);
    rc = out->Set(key, 8);
  }
  WipeString(enc);
  WipeBytes(key, sizeof key);
  return rc;
}

int Rc4StringToKey(const ByteString& password, ByteString* out) {
  ByteString wide;
  int rc = wide.Set(password.data(), password.length());
  if (rc == kOk && !wide.empty()) rc = Utf8ToUtf16(wide);
  if (rc != kOk) {
    WipeString(wide);
    return rc;
  }
  // The terminating NUL must not enter the hash.
  while (wide.length() > 2 && wide.ByteAt(wide.length() - 1) == 0 && wide.ByteAt(wide.length() - 2) == 0) {
    wide.Resize(wide.length() - 2);
  }
  Md4Context md4;
  md4.Update(wide.bytes(), static_cast<size_t>(wide.length()));
  rc = out->Set(md4.Final(), 16);
  WipeString(wide);
  return rc;
}

int AesStringToKey(int etype, const ByteString& password, const ByteString& salt, const ByteString& params,
                   ByteString* out, ByteString* error_text) {
  uint32_t iterations = 4096;
  if (!params.empty()) {
    SpanReader r(params);
    if (!r.ReadU32(&iterations) || !r.empty()) return Fail(error_text, kErrKerberosEtype, kTextS2kParams);
    if (iterations == 0 || iterations > kKerberosMaxIterations) {
      return Fail(error_text, kErrKerberosEtype, kTextS2kParams);
    }
  }
  const int bits = KerberosKeyLength(etype) * 8;
  ByteString tkey;
  int rc = Pbkdf2(kHashSha1, password.data(), password.length(), salt.data(), salt.length(),
                  static_cast<int>(iterations), bits, tkey);
  if (rc != kOk) return rc;
  ByteString constant;
  rc = NFold(128, "kerberos", 8, &constant);
  if (rc == kOk) {
    // DR with the folded "kerberos" as its constant: the usage form does not apply here.
    ByteString block = constant;
    out->Reset();
    while (rc == kOk && out->length() < bits / 8) {
      ByteString next;
      rc = AesCts(true, tkey, block.bytes(), kAesBlock, &next);
      if (rc == kOk) rc = out->Append(next.data(), next.length());
      block = next;
      WipeString(next);
    }
    if (rc == kOk) rc = out->Resize(bits / 8);
    WipeString(block);
  }
  WipeString(tkey);
  return rc;
}

ByteString Rc4Salt(int usage) {
  int mapped = usage;
  if (usage == 3 || usage == 9) mapped = 8;
  if (usage == 23) mapped = 13;
  return Le32(static_cast<uint32_t>(mapped));
}

int AesKeys(const ByteString& key, int usage, int etype, ByteString* ke, ByteString* ki) {
  const int bits = KerberosKeyLength(etype) * 8;
  int rc = KerberosDeriveKey(usage, 0xAA, key, bits, ke);
  if (rc == kOk) rc = KerberosDeriveKey(usage, 0x55, key, bits, ki);
  return rc;
}

}  // namespace

const char* KerberosEtypeName(int etype) {
  for (const EtypeInfo& e : kEtypes) {
    if (e.id == etype) return e.name;
  }
  return "";
}

int KerberosEtypeByName(const char* name) {
  for (const EtypeInfo& e : kEtypes) {
    if (name != nullptr && EqualsNoCase(name, e.name)) return e.id;
  }
  return 0;
}

int KerberosKeyLength(int etype) {
  for (const EtypeInfo& e : kEtypes) {
    if (e.id == etype) return e.key_length;
  }
  return 0;
}

int NFold(int bits, const void* input, int length, ByteString* out) {
  out->Reset();
  if (bits <= 0 || bits % 8 != 0 || length <= 0 || input == nullptr) return kErrInvalidValue;
  const uint8_t* in = static_cast<const uint8_t*>(input);
  const int n = bits / 8;
  const int lcm = std::lcm(n, length);
  const int in_bits = length * 8;
  ByteString all;
  int rc = all.Resize(lcm);
  if (rc == kOk) rc = out->Resize(n);
  if (rc != kOk) return rc;
  // Copy k of the input, rotated right by 13 * k bits, fills bytes [k * length, (k + 1) * length).
  for (int k = 0; k < lcm / length; ++k) {
    const int r = (13 * k) % in_bits;
    for (int j = 0; j < in_bits; ++j) {
      const int from = (j - r + in_bits) % in_bits;
      if ((in[from / 8] >> (7 - from % 8)) & 1)
        all.bytes()[k * length + j / 8] |= static_cast<uint8_t>(0x80 >> (j % 8));
    }
  }
  // Ones'-complement sum of the n-byte pieces.
  uint8_t* o = out->bytes();
  for (int piece = 0; piece < lcm / n; ++piece) {
    const uint8_t* p = all.bytes() + piece * n;
    unsigned carry = 0;
    for (int i = n - 1; i >= 0; --i) {
      carry += static_cast<unsigned>(o[i]) + p[i];
      o[i] = static_cast<uint8_t>(carry);
      carry >>= 8;
    }
    for (int i = n - 1; carry != 0; i = (i + n - 1) % n) {
      carry += o[i];
      o[i] = static_cast<uint8_t>(carry);
      carry >>= 8;
    }
  }
  return kOk;
}

int KerberosDeriveKey(int usage, uint8_t final_byte, const ByteString& base_key, int key_bits, ByteString* out) {
  ByteString c;
  SpanWriter w(c);
  w.U32(static_cast<uint32_t>(usage));
  w.U8(final_byte);
  ByteString block;
  int rc = w.rc() == kOk ? NFold(128, c.data(), c.length(), &block) : w.rc();
  out->Reset();
  while (rc == kOk && out->length() < key_bits / 8) {
    ByteString next;
    rc = AesCts(true, base_key, block.bytes(), kAesBlock, &next);
    if (rc == kOk) rc = out->Append(next.data(), next.length());
    block = next;
    WipeString(next);
  }
  if (rc == kOk) rc = out->Resize(key_bits / 8);
  WipeString(block);
  return rc;
}

int KerberosEncrypt(int etype, const ByteString& plain, const ByteString& key, int usage, ByteString* out,
                    ByteString* error_text) {
  out->Reset();
  if (KerberosKeyLength(etype) == 0) return Fail(error_text, kErrKerberosEtype, kTextEtype);
  if (key.length() != KerberosKeyLength(etype)) return Fail(error_text, kErrKerberosEtype, kTextEtype);
  int rc = kOk;
  if (etype == kEtypeDesCbcMd5) {
    ByteString buf;
    rc = FillRandom(kConfounder8, buf);
    if (rc == kOk) rc = buf.AppendRepeated(16, 0);
    if (rc == kOk) rc = buf.Append(plain.data(), plain.length());
    const int r = buf.length() % 8;
    if (rc == kOk) rc = r == 0 ? buf.AppendRepeated(8, 0) : buf.AppendRepeated(8 - r, static_cast<uint8_t>(8 - r));
    if (rc != kOk) return rc;
    Md5Context md5;
    md5.Update(buf.bytes(), static_cast<size_t>(buf.length()));
    std::memcpy(buf.bytes() + 8, md5.Final(), 16);
    const uint8_t iv[8] = {};
    rc = DesCbc(true, key.bytes(), iv, buf.bytes(), buf.length(), out);
    WipeString(buf);
    return rc;
  }
  if (etype == kEtypeRc4Hmac) {
    const ByteString t = Rc4Salt(usage);
    ByteString k1, data, checksum, k3;
    rc = Hmac(kHashMd5, key.data(), key.length(), t.data(), t.length(), &k1);
    if (rc == kOk) rc = FillRandom(kConfounder8, data);
    if (rc == kOk) rc = data.Append(plain.data(), plain.length());
    if (rc == kOk) rc = Hmac(kHashMd5, k1.data(), k1.length(), data.data(), data.length(), &checksum);
    if (rc == kOk) rc = Hmac(kHashMd5, k1.data(), k1.length(), checksum.data(), checksum.length(), &k3);
    if (rc == kOk) rc = out->Set(checksum.data(), checksum.length());
    if (rc == kOk) rc = out->Resize(kRc4Checksum + data.length());
    if (rc == kOk) {
      Rc4Context rc4;
      rc = rc4.SetKey(k3.bytes(), k3.length());
      if (rc == kOk) rc = rc4.Crypt(data.bytes(), static_cast<size_t>(data.length()), out->bytes() + kRc4Checksum);
    }
    WipeString(k1);
    WipeString(k3);
    WipeString(data);
    return rc;
  }
  ByteString ke, ki, data, mac;
  rc = AesKeys(key, usage, etype, &ke, &ki);
  if (rc == kOk) rc = FillRandom(kAesBlock, data);
  if (rc == kOk) rc = data.Append(plain.data(), plain.length());
  if (rc == kOk) rc = AesCts(true, ke, data.bytes(), data.length(), out);
  if (rc == kOk) rc = Hmac(kHashSha1, ki.data(), ki.length(), data.data(), data.length(), &mac);
  if (rc == kOk) rc = out->Append(mac.data(), kAesMac);
  WipeString(ke);
  WipeString(ki);
  WipeString(data);
  return rc;
}

int KerberosDecrypt(int etype, const ByteString& cipher, const ByteString& key, int usage, ByteString* out,
                    ByteString* error_text) {
  out->Reset();
  if (KerberosKeyLength(etype) == 0) return Fail(error_text, kErrKerberosEtype, kTextEtype);
  if (key.length() != KerberosKeyLength(etype)) return Fail(error_text, kErrKerberosEtype, kTextEtype);
  const int n = cipher.length();
  int rc = kOk;
  bool good = false;
  if (etype == kEtypeDesCbcMd5) {
    // Confounder and checksum fill three blocks; CBC needs whole blocks.
    if (n < 32 || n % 8 != 0) return Fail(error_text, kErrKerberosIntegrity, kTextIntegrity);
    const uint8_t iv[8] = {};
    ByteString buf;
    rc = DesCbc(false, key.bytes(), iv, cipher.bytes(), n, &buf);
    if (rc != kOk) return rc;
    // The checksum was taken with its own place zeroed.
    SpanReader plain(buf), confounder, received;
    plain.ReadBytes(kConfounder8, &confounder);
    plain.ReadBytes(16, &received);
    const uint8_t zeros[16] = {};
    Md5Context md5;
    md5.Update(confounder.data(), confounder.remaining());
    md5.Update(zeros, sizeof zeros);
    md5.Update(plain.data(), plain.remaining());
    good = MacEquals(md5.Final(), received.data(), 16);
    if (good) rc = out->Set(plain.data(), static_cast<int>(plain.remaining()));
    WipeString(buf);
  } else if (etype == kEtypeRc4Hmac) {
    SpanReader in(cipher), checksum;
    if (!in.ReadBytes(kRc4Checksum, &checksum) || in.remaining() < kConfounder8) {
      return Fail(error_text, kErrKerberosIntegrity, kTextIntegrity);
    }
    const ByteString t = Rc4Salt(usage);
    ByteString k1, k3, data, mac;
    rc = Hmac(kHashMd5, key.data(), key.length(), t.data(), t.length(), &k1);
    if (rc == kOk) rc = Hmac(kHashMd5, k1.data(), k1.length(), checksum.data(), kRc4Checksum, &k3);
    if (rc == kOk) rc = data.Resize(static_cast<int>(in.remaining()));
    if (rc == kOk) {
      Rc4Context rc4;
      rc = rc4.SetKey(k3.bytes(), k3.length());
      if (rc == kOk) rc = rc4.Crypt(in.data(), in.remaining(), data.bytes());
    }
    if (rc == kOk) rc = Hmac(kHashMd5, k1.data(), k1.length(), data.data(), data.length(), &mac);
    if (rc == kOk) {
      good = MacEquals(mac.bytes(), checksum.data(), kRc4Checksum);
      SpanReader plain(data);
      if (good && plain.Skip(kConfounder8)) rc = out->Set(plain.data(), static_cast<int>(plain.remaining()));
    }
    WipeString(k1);
    WipeString(k3);
    WipeString(data);
  } else {
    SpanReader body(cipher), received;
    if (!body.ReadTail(kAesMac, &received) || body.remaining() < kAesBlock) {
      return Fail(error_text, kErrKerberosIntegrity, kTextIntegrity);
    }
    ByteString ke, ki, data, mac;
    rc = AesKeys(key, usage, etype, &ke, &ki);
    if (rc == kOk) rc = AesCts(false, ke, body.data(), static_cast<int>(body.remaining()), &data);
    if (rc == kOk) rc = Hmac(kHashSha1, ki.data(), ki.length(), data.data(), data.length(), &mac);
    if (rc == kOk) {
      good = MacEquals(mac.bytes(), received.data(), kAesMac);
      SpanReader plain(data);
      if (good && plain.Skip(kAesBlock)) rc = out->Set(plain.data(), static_cast<int>(plain.remaining()));
    }
    WipeString(ke);
    WipeString(ki);
    WipeString(data);
  }
  if (rc != kOk) return rc;
  if (!good) return Fail(error_text, kErrKerberosIntegrity, kTextIntegrity);
  return kOk;
}

int KerberosChecksum(int etype, int usage, const ByteString& key, const ByteString& data, ByteString* out,
                     int* checksum_type) {
  out->Reset();
  *checksum_type = 0;
  if (usage < 1) usage = kKeyUsageTgsReqAuthChecksum;
  if (etype == kEtypeDesCbcMd5) {
    *checksum_type = 1;
    return out->Assign(Le32(Crc32(data.bytes(), data.length())));
  }
  if (etype == kEtypeRc4Hmac) {
    // The keyed HMAC-MD5 checksum (-138): a KDC refuses an unkeyed checksum in an authenticator.
    ByteString ksign, mac;
    int rc = Hmac(kHashMd5, key.data(), key.length(), "signaturekey", 13, &ksign);
    const ByteString t = Le32(static_cast<uint32_t>(usage));
    Md5Context md5;
    md5.Update(t.bytes(), static_cast<size_t>(t.length()));
    md5.Update(data.bytes(), static_cast<size_t>(data.length()));
    if (rc == kOk) rc = Hmac(kHashMd5, ksign.data(), ksign.length(), md5.Final(), 16, out);
    WipeString(ksign);
    if (rc == kOk) *checksum_type = -138;
    return rc;
  }
  if (!IsAes(etype)) return kOk;
  ByteString kc;
  int rc = KerberosDeriveKey(usage, 0x99, key, KerberosKeyLength(etype) * 8, &kc);
  if (rc == kOk) rc = Hmac(kHashSha1, kc.data(), kc.length(), data.data(), data.length(), out);
  if (rc == kOk) rc = out->Resize(kAesMac);
  WipeString(kc);
  if (rc == kOk) *checksum_type = etype == kEtypeAes128 ? 15 : 16;
  return rc;
}

int KerberosStringToKey(int etype, const ByteString& password, const ByteString& salt, const ByteString& s2kparams,
                        ByteString* out, ByteString* error_text) {
  out->Reset();
  switch (etype) {
    case kEtypeDesCbcMd5:
      return DesStringToKey(password, salt, out);
    case kEtypeRc4Hmac:
      return Rc4StringToKey(password, out);
    case kEtypeAes128:
    case kEtypeAes256:
      return AesStringToKey(etype, password, salt, s2kparams, out, error_text);
    default:
      return Fail(error_text, kErrKerberosEtype, kTextEtype);
  }
}

int KerberosBuildChecksumField(int etype, const ByteString& key, const ByteString& data, ByteString* out) {
  ByteString sum;
  int type = 0;
  int rc = KerberosChecksum(etype, 0, key, data, &sum, &type);
  if (rc != kOk || sum.empty()) return rc;
  DerWriter w;
  rc = w.DerOpenConstructed(0xA3);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA0);
  if (rc == kOk) rc = w.DerAppendInteger(0x02, type);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA1);
  if (rc == kOk) rc = w.DerAppendTlv(0x04, sum.data(), sum.length());
  for (int i = 0; rc == kOk && i < 3; ++i) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = out->Append(w.output().data(), w.output().length());
  return rc;
}

}  // namespace tw
