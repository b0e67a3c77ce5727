#include "crypto/pubkey/ecdsa.h"

#include <cstring>
#include <memory>
#include <vector>

#include "crypto/pubkey/ec_point.h"
#include "crypto/symmetric/random_source.h"

namespace tw {
namespace {

// Bounds-checked reader over DER elements.
class DerIn {
 public:
  DerIn(const uint8_t* p, int n) : p_(p), n_(n) {}
  bool empty() const { return n_ == 0; }
  bool Read(uint8_t tag, DerIn* contents) {
    if (n_ < 2 || p_[0] != tag) return false;
    int len = p_[1], hdr = 2;
    if (len & 0x80) {
      if (len != 0x81 || n_ < 3 || p_[2] < 0x80) return false;
      len = p_[2];
      hdr = 3;
    }
    if (len > n_ - hdr) return false;
    *contents = DerIn(p_ + hdr, len);
    p_ += hdr + len;
    n_ -= hdr + len;
    return true;
  }
  bool ReadUnsigned(ByteString& out) {
    DerIn c(nullptr, 0);
    if (!Read(0x02, &c) || c.n_ == 0 || (c.p_[0] & 0x80)) return false;
    if (c.n_ > 1 && c.p_[0] == 0 && !(c.p_[1] & 0x80)) return false;
    return out.Set(c.p_, c.n_) == 0;
  }

 private:
  const uint8_t* p_;
  int n_;
};

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
    bool zero = false;
    int rc = g.SignCore(k.data(), klen, key.D.bytes(), key.D.length(), e.data(), static_cast<int>(e.size()),
                        r.bytes(), s.bytes(), &zero);
    explicit_bzero(k.data(), k.size());
    if (rc) return rc;
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
  out.Reset();
  int rc = out.AppendByte(0x30);
  if (body >= 128 && !rc) rc = out.AppendByte(0x81);
  if (!rc) rc = out.AppendByte(static_cast<uint8_t>(body));
  if (!rc) rc = out.AppendByte(0x02);
  if (!rc) rc = out.AppendByte(static_cast<uint8_t>(r.length()));
  if (!rc) rc = out.Append(r.data(), r.length());
  if (!rc) rc = out.AppendByte(0x02);
  if (!rc) rc = out.AppendByte(static_cast<uint8_t>(s.length()));
  if (!rc) rc = out.Append(s.data(), s.length());
  return rc;
}

bool ParseDerSignatureRS(const uint8_t* der, int length, ByteString& r, ByteString& s) {
  if (!der || length <= 0) return false;
  DerIn in(der, length), seq(nullptr, 0);
  return in.Read(0x30, &seq) && in.empty() && seq.ReadUnsigned(r) && seq.ReadUnsigned(s) && seq.empty();
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
