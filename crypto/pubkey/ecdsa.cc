#include "crypto/pubkey/ecdsa.h"

#include <cstring>
#include <memory>
#include <vector>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/ec_point.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

// One element with this tag and a minimal definite length of at most length_bytes bytes after
// the 0x80 form byte.
bool ReadStrictElement(SpanReader* in, uint8_t tag, int length_bytes, SpanReader* contents) {
  SpanReader r = *in;
  uint8_t t = 0, lb = 0, first = 0;
  if (!r.ReadU8(&t) || t != tag || !r.ReadU8(&lb)) return false;
  if (lb < 0x80) {
    if (!r.ReadBytes(lb, contents)) return false;
  } else {
    const int count = lb & 0x7f;
    if (count < 1 || count > length_bytes || !r.PeekU8(&first) || first == 0) return false;
    if (!r.ReadPrefixed(count, contents) || contents->remaining() < 0x80) return false;
  }
  *in = r;
  return true;
}

// A non-negative INTEGER in minimal form, as it stands.
bool ReadStrictUnsigned(SpanReader* in, int length_bytes, SpanReader* value) {
  if (!ReadStrictElement(in, 0x02, length_bytes, value) || value->empty()) return false;
  const uint8_t* p = value->data();
  if (p[0] & 0x80) return false;
  return value->remaining() == 1 || p[0] != 0 || (p[1] & 0x80) != 0;
}

struct Ready {
  const EcCurveParams* params = nullptr;
  const EcGroup* group = nullptr;
  std::unique_ptr<EcGroup> holder;
};

int Prepare(const EcKeyData& key, Ready& r) {
  r.params = key.Params();
  if (!r.params || !r.params->IsValid() || !EcKeyCheck(key, false)) return kErrEcParams;
  r.group = EcGroupFor(*r.params, r.holder);
  return r.group ? 0 : kErrEcParams;
}

// The leftmost order-bits bits of the digest, as big-endian bytes.
std::vector<uint8_t> CutDigest(const uint8_t* digest, int length, int nbits) {
  std::vector<uint8_t> e(digest, digest + length);
  if (8 * length <= nbits) return e;
  const int keep = (nbits + 7) / 8;
  e.resize(static_cast<size_t>(keep));
  const int shift = 8 * keep - nbits;
  if (shift) {
    for (int i = keep - 1; i >= 0; --i)
      e[static_cast<size_t>(i)] =
          static_cast<uint8_t>((e[static_cast<size_t>(i)] >> shift) | (i ? e[static_cast<size_t>(i) - 1] << (8 - shift) : 0));
  }
  return e;
}

int Emit(const ByteString& r, const ByteString& s, bool der, ByteString& out) {
  if (der) return EcdsaSignatureToDer(r, s, out);
  if (int rc = out.Assign(r)) return rc;
  return out.Append(s.data(), s.length());
}

int SignWith(const EcKeyData& key, bool der, const uint8_t* digest, int len, const ByteString* fixed_k,
             ByteString& out) {
  Ready ready;
  if (!key.D.length()) return kErrEcParams;
  if (int rc = Prepare(key, ready)) return rc;
  const EcGroup& g = *ready.group;
  const int nb = g.order_bytes();
  const std::vector<uint8_t> e = CutDigest(digest, len, g.order_bits());
  std::vector<uint8_t> k(static_cast<size_t>(nb) + 8);
  ByteString r, s;
  if (r.SetData(nb, nullptr) || s.SetData(nb, nullptr)) return 200;
  RandomSource rs;
  for (int attempt = 0;; ++attempt) {
    int klen = static_cast<int>(k.size());
    if (fixed_k) {
      if (attempt || fixed_k->length() > klen) return kErrEcParams;
      klen = fixed_k->length();
      std::memcpy(k.data(), fixed_k->bytes(), static_cast<size_t>(klen));
    } else if (int rc = rs.Fill(k.data(), klen)) {
      return rc;
    }
    ct::MarkSecret(k.data(), static_cast<size_t>(klen));
    bool zero = false;
    int rc = g.SignCore(k.data(), klen, key.D.bytes(), key.D.length(), e.data(), static_cast<int>(e.size()),
                        r.bytes(), s.bytes(), &zero);
    explicit_bzero(k.data(), k.size());
    if (rc) return rc;
    ct::Declassify(r.bytes(), static_cast<size_t>(r.length()));
    ct::Declassify(s.bytes(), static_cast<size_t>(s.length()));
    ct::Declassify(&zero, sizeof zero);
    // A zero r or s would be a signature anyone could forge over; draw again.
    if (!zero) break;
    if (fixed_k) return kErrEcParams;
  }
  return Emit(r, s, der, out);
}

}  // namespace

int EcdsaSign(const EcKeyData& key, bool der, const uint8_t* digest, int digest_length, ByteString& out) {
  return SignWith(key, der, digest, digest_length, nullptr, out);
}

int EcdsaSignWithNonce(const EcKeyData& key, bool der, const uint8_t* digest, int digest_length, const ByteString& k,
                       ByteString& out) {
  return SignWith(key, der, digest, digest_length, &k, out);
}

int EcdsaVerify(const EcKeyData& key, const uint8_t* digest, int digest_length, const uint8_t* sig, int sig_length,
                bool* valid) {
  *valid = false;
  Ready ready;
  if (int rc = Prepare(key, ready)) return rc;
  ByteString r, s;
  if (!ParseDerSignatureRS(sig, sig_length, r, s)) {
    const int half = CurveKeySize(key.curve_id);
    if (sig_length <= half) return 0;
    if (r.Set(sig, half) || s.Set(sig + half, sig_length - half)) return 200;
  }
  if (!key.X.length() || !key.Y.length()) return kErrEcParams;
  const EcGroup& g = *ready.group;
  const int w = g.field_bytes();
  if (key.X.length() > w || key.Y.length() > w) return 0;
  std::vector<uint8_t> qx(static_cast<size_t>(w)), qy(static_cast<size_t>(w));
  std::memcpy(qx.data() + w - key.X.length(), key.X.bytes(), static_cast<size_t>(key.X.length()));
  std::memcpy(qy.data() + w - key.Y.length(), key.Y.bytes(), static_cast<size_t>(key.Y.length()));
  const std::vector<uint8_t> e = CutDigest(digest, digest_length, g.order_bits());
  *valid = g.VerifyCore(e.data(), static_cast<int>(e.size()), r.bytes(), r.length(), s.bytes(), s.length(), qx.data(),
                        qy.data());
  return 0;
}

void IntegerToDerContent(ByteString& v) {
  if (v.length() == 0) return;
  if (v.bytes()[0] & 0x80) {
    const uint8_t zero = 0;
    ByteString t;
    if (t.Set(&zero, 1) || t.Append(v.data(), v.length())) return;
    v.Assign(t);
    return;
  }
  int drop = 0;
  while (v.length() - drop > 1 && v.bytes()[drop] == 0 && v.bytes()[drop + 1] < 0x80) ++drop;
  if (drop) v.EraseFront(drop);
}

int EcdsaSignatureToDer(const ByteString& r0, const ByteString& s0, ByteString& out) {
  ByteString r, s;
  if (r.Assign(r0) || s.Assign(s0)) return 200;
  if (!r.length() && r.AppendByte(0)) return 200;
  if (!s.length() && s.AppendByte(0)) return 200;
  IntegerToDerContent(r);
  IntegerToDerContent(s);
  const int body = r.length() + s.length() + 4;
  if (r.length() > 127 || s.length() > 127 || body > 255) return kErrEcParams;
  // Every length now fits one byte, after 81 where it is 128 or more.
  out.Reset();
  SpanWriter w(out);
  w.U8(0x30);
  if (body >= 128) w.U8(0x81);
  const SpanWriter::Field seq = w.Open(1);
  for (const ByteString* v : {&r, &s}) {
    w.U8(0x02);
    const SpanWriter::Field integer = w.Open(1);
    w.Bytes(*v);
    w.Close(integer);
  }
  w.Close(seq);
  return w.rc();
}

bool ReadDerSignatureParts(SpanReader in, int length_bytes, SpanReader* r, SpanReader* s) {
  SpanReader seq;
  return ReadStrictElement(&in, 0x30, length_bytes, &seq) && in.empty() && ReadStrictUnsigned(&seq, length_bytes, r) &&
         ReadStrictUnsigned(&seq, length_bytes, s) && seq.empty();
}

bool ParseDerSignatureRS(const uint8_t* der, int length, ByteString& r, ByteString& s) {
  if (!der || length <= 0) return false;
  SpanReader rv, sv;
  return ReadDerSignatureParts(SpanReader(der, static_cast<size_t>(length)), 1, &rv, &sv) &&
         r.Set(rv.data(), static_cast<int>(rv.remaining())) == 0 &&
         s.Set(sv.data(), static_cast<int>(sv.remaining())) == 0;
}

int EcdsaSignatureDerToRaw(ByteString& sig, int curve_id) {
  ByteString r, s;
  if (!ParseDerSignatureRS(sig.bytes(), sig.length(), r, s)) return 0;
  const int size = CurveKeySize(curve_id);
  if (size <= 0) return kErrEcParams;
  r.StripLeadingZero();
  s.StripLeadingZero();
  if (FitComponent(r, size) || FitComponent(s, size)) return 200;
  if (int rc = sig.Assign(r)) return rc;
  return sig.Append(s.data(), s.length());
}

int EcdsaSignatureRawToDer(const ByteString& raw, ByteString& out) {
  const int half = raw.length() / 2;
  ByteString r, s;
  if (r.Set(raw.bytes(), half) || s.Set(raw.bytes() + half, half)) return 200;
  return EcdsaSignatureToDer(r, s, out);
}

}  // namespace tw
