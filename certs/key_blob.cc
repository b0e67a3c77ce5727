#include "certs/key_blob.h"

#include <cstring>

#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/rsa_engine.h"
#include "foundation/span_reader.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

constexpr uint8_t kRsaVersion = 2;
constexpr uint8_t kDssVersion = 3;
constexpr char kMagicRsaPrivate[] = "RSA2";
constexpr char kMagicRsaPublic[] = "RSA1";
constexpr char kMagicDssPrivate[] = "DSS4";
constexpr char kMagicDssPublic[] = "DSS3";
constexpr int kHeaderLength = 8;
constexpr uint32_t kNoSeedCounter = 0xFFFFFFFFu;
constexpr int kSeedLength = 20;
// Far above any key a provider takes; keeps a hostile bit length from sizing a huge buffer.
constexpr uint32_t kMaxBits = 16384;

// The big-endian bytes without their leading zeros.
struct Digits {
  const uint8_t* p;
  int n;
};
Digits Significant(const ByteString& b) {
  int skip = 0;
  while (skip < b.length() && b.bytes()[skip] == 0) ++skip;
  return {b.bytes() + skip, b.length() - skip};
}

// The number little-endian, zero-padded to width; refused when it does not fit.
int AppendNumber(SpanWriter& w, const ByteString& number, int width) {
  const Digits d = Significant(number);
  if (w.rc() != kOk) return w.rc();
  if (d.n > width) return kErrKeyBlobComponent;
  for (int i = d.n - 1; i >= 0; --i) w.U8(d.p[i]);
  w.Zeros(static_cast<size_t>(width - d.n));
  return w.rc();
}

void AppendHeader(SpanWriter& w, uint8_t type, uint8_t version, uint32_t alg, const char* magic) {
  w.U8(type);
  w.U8(version);
  w.Zeros(2);
  w.U32Le(alg);
  w.Bytes(magic, 4);
}

int BitsOf(const ByteString& b) {
  const Digits d = Significant(b);
  if (d.n == 0) return 0;
  int bits = d.n * 8;
  for (uint8_t top = d.p[0]; (top & 0x80) == 0; top = static_cast<uint8_t>(top << 1)) --bits;
  return bits;
}

int WriteRsa(const KeyPair& key, bool with_private, ByteString* out) {
  RsaKeyData rsa;
  int rc = key.GetRsa(&rsa, !with_private);
  if (rc != kOk) return rc;
  if (rsa.N.empty()) return kErrRsaNoModulus;
  if (with_private && (rsa.D.empty() || rsa.P.empty() || rsa.Q.empty())) return kErrRsaNoPrivateKey;
  const int bits = KeyBlobBitLength(rsa.N);
  if (bits <= 0 || static_cast<uint32_t>(bits) > kMaxBits) return kErrKeyBlobComponent;
  const Digits e = Significant(rsa.E);
  if (e.n == 0) return kErrRsaNoExponent;
  if (e.n > 4) return kErrKeyBlobComponent;
  uint32_t exponent = 0;
  for (int i = 0; i < e.n; ++i) exponent = (exponent << 8) | e.p[i];
  const int full = (bits + 7) / 8;
  const int half = (bits + 15) / 16;
  out->Reset();
  SpanWriter w(*out);
  AppendHeader(w, with_private ? kBlobTypePrivate : kBlobTypePublic, kRsaVersion, kAlgRsaKeyExchange,
               with_private ? kMagicRsaPrivate : kMagicRsaPublic);
  w.U32Le(static_cast<uint32_t>(bits));
  w.U32Le(exponent);
  rc = AppendNumber(w, rsa.N, full);
  if (with_private) {
    const ByteString* halves[] = {&rsa.P, &rsa.Q, &rsa.DP, &rsa.DQ, &rsa.QInv};
    for (const ByteString* h : halves) {
      if (rc == kOk) rc = AppendNumber(w, *h, half);
    }
    if (rc == kOk) rc = AppendNumber(w, rsa.D, full);
  }
  if (rc != kOk) WipeString(*out), out->Reset();
  return rc;
}

int WriteDss(const KeyPair& key, bool with_private, ByteString* out) {
  DsaKeyData dsa;
  int rc = key.GetDsa(&dsa, !with_private);
  if (rc != kOk) return rc;
  if (dsa.P.empty() || dsa.Q.empty() || dsa.G.empty()) return kErrDsaBadKey;
  if (with_private && dsa.X.empty()) return kErrDsaNoPrivate;
  if (dsa.Y.empty() && (rc = dsa.DerivePublic()) != kOk) return rc;
  const int p_bytes = Significant(dsa.P).n;
  const int q_bytes = Significant(dsa.Q).n;
  // P, G and Y at P's width, Q and X at their own, none with a leading zero byte.
  const int x_bytes = with_private ? Significant(dsa.X).n : 0;
  if (static_cast<uint32_t>(p_bytes) * 8 > kMaxBits) return kErrKeyBlobComponent;
  out->Reset();
  SpanWriter w(*out);
  AppendHeader(w, with_private ? kBlobTypePrivate : kBlobTypePublic, kDssVersion, kAlgDssSign,
               with_private ? kMagicDssPrivate : kMagicDssPublic);
  w.U32Le(static_cast<uint32_t>(p_bytes * 8));
  w.U32Le(static_cast<uint32_t>(q_bytes * 8));
  w.U32Le(0);  // no J
  if (with_private) w.U32Le(static_cast<uint32_t>(x_bytes * 8));
  w.U32Le(kNoSeedCounter);
  w.Zeros(kSeedLength);
  rc = AppendNumber(w, dsa.P, p_bytes);
  if (rc == kOk) rc = AppendNumber(w, dsa.Q, q_bytes);
  if (rc == kOk) rc = AppendNumber(w, dsa.G, p_bytes);
  if (rc == kOk) rc = AppendNumber(w, dsa.Y, p_bytes);
  if (rc == kOk && with_private) rc = AppendNumber(w, dsa.X, x_bytes);
  if (rc != kOk) WipeString(*out), out->Reset();
  return rc;
}

int Write(const KeyPair& key, bool with_private, ByteString* out) {
  switch (key.type) {
    case kKeyRsa:
      return WriteRsa(key, with_private, out);
    case kKeyDsa:
      return WriteDss(key, with_private, out);
    default:
      return kErrKeyBlobKind;
  }
}

// A little-endian number of width bytes, handed out big-endian.
int ReadNumber(SpanReader& r, int width, ByteString* out) {
  SpanReader le;
  if (width < 0 || !r.ReadBytes(static_cast<size_t>(width), &le)) return kErrKeyBlobFormat;
  const int rc = out->Resize(width);
  if (rc != kOk) return rc;
  for (int i = 0; i < width; ++i) out->bytes()[i] = le.data()[width - 1 - i];
  return kOk;
}

int ReadRsa(SpanReader& r, bool with_private, KeyPair* out) {
  uint32_t bits = 0, exponent = 0;
  if (!r.ReadU32Le(&bits) || !r.ReadU32Le(&exponent) || bits == 0 || bits > kMaxBits) return kErrKeyBlobFormat;
  const int full = static_cast<int>((bits + 7) / 8);
  const int half = static_cast<int>((bits + 15) / 16);
  RsaKeyData& k = out->rsa;
  int rc = k.E.Resize(0);
  for (int shift = 24; shift >= 0 && rc == kOk; shift -= 8) {
    const uint8_t b = static_cast<uint8_t>(exponent >> shift);
    if (b != 0 || !k.E.empty()) rc = k.E.AppendByte(b);
  }
  if (rc == kOk) rc = ReadNumber(r, full, &k.N);
  if (with_private) {
    ByteString* halves[] = {&k.P, &k.Q, &k.DP, &k.DQ, &k.QInv};
    for (ByteString* h : halves) {
      if (rc == kOk) rc = ReadNumber(r, half, h);
    }
    if (rc == kOk) rc = ReadNumber(r, full, &k.D);
  }
  if (rc == kOk && !r.empty()) rc = kErrKeyBlobFormat;
  if (rc == kOk) out->type = kKeyRsa;
  return rc;
}

int ReadDss(SpanReader& r, bool with_private, KeyPair* out) {
  uint32_t p_bits = 0, q_bits = 0, j_bits = 0, x_bits = 0;
  if (!r.ReadU32Le(&p_bits) || !r.ReadU32Le(&q_bits) || !r.ReadU32Le(&j_bits)) return kErrKeyBlobFormat;
  if (with_private && !r.ReadU32Le(&x_bits)) return kErrKeyBlobFormat;
  const auto bad = [](uint32_t bits) { return bits % 8 != 0 || bits > kMaxBits; };
  if (p_bits == 0 || q_bits == 0 || bad(p_bits) || bad(q_bits) || bad(j_bits) || bad(x_bits)) {
    return kErrKeyBlobFormat;
  }
  if (!r.Skip(4 + kSeedLength)) return kErrKeyBlobFormat;
  DsaKeyData& k = out->dsa;
  const int pw = static_cast<int>(p_bits / 8);
  ByteString j;
  int rc = ReadNumber(r, pw, &k.P);
  if (rc == kOk) rc = ReadNumber(r, static_cast<int>(q_bits / 8), &k.Q);
  if (rc == kOk) rc = ReadNumber(r, pw, &k.G);
  if (rc == kOk) rc = ReadNumber(r, static_cast<int>(j_bits / 8), &j);
  if (rc == kOk) rc = ReadNumber(r, pw, &k.Y);
  if (rc == kOk && with_private) rc = ReadNumber(r, static_cast<int>(x_bits / 8), &k.X);
  if (rc == kOk && !r.empty()) rc = kErrKeyBlobFormat;
  if (rc == kOk) out->type = kKeyDsa;
  return rc;
}

}  // namespace

int KeyBlobBitLength(const ByteString& modulus) {
  // One byte more than the byte count, in bits, down to a multiple of 64, as the providers write
  // it; where that falls short of the modulus (a size just past a multiple of 64) it would cut
  // its top bits, so the modulus's own bit count is taken instead.
  const int rounded = (Significant(modulus).n * 8 + 8) / 64 * 64;
  const int own = BitsOf(modulus);
  return rounded >= own ? rounded : own;
}

int WritePrivateKeyBlob(const KeyPair& key, ByteString* out) { return Write(key, true, out); }

int WritePublicKeyBlob(const KeyPair& key, ByteString* out) { return Write(key, false, out); }

int ReadKeyBlob(const uint8_t* blob, int length, KeyPair* out) {
  if (blob == nullptr || length < kHeaderLength + 4) return kErrKeyBlobFormat;
  SpanReader r(blob, static_cast<size_t>(length)), magic;
  uint8_t type = 0, version = 0;
  uint32_t alg = 0;
  r.ReadU8(&type);
  r.ReadU8(&version);
  r.Skip(2);
  r.ReadU32Le(&alg);
  r.ReadBytes(4, &magic);
  if (type != kBlobTypePrivate && type != kBlobTypePublic) return kErrKeyBlobFormat;
  const bool with_private = type == kBlobTypePrivate;
  KeyPair key;
  int rc = kErrKeyBlobFormat;
  if (version == kRsaVersion && std::memcmp(magic.data(), with_private ? kMagicRsaPrivate : kMagicRsaPublic, 4) == 0) {
    rc = ReadRsa(r, with_private, &key);
  } else if (version == kDssVersion && alg == kAlgDssSign &&
             std::memcmp(magic.data(), with_private ? kMagicDssPrivate : kMagicDssPublic, 4) == 0) {
    rc = ReadDss(r, with_private, &key);
  }
  return rc != kOk ? rc : out->CopyFrom(key);
}

}  // namespace tw
