#include "crypto/pubkey/dsa_engine.h"

#include <algorithm>
#include <cstring>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/prime_search.h"
#include "crypto/symmetric/hash_engine.h"

namespace tw {

namespace {

constexpr int kSeedBits = 160;
constexpr int kSeedCounterLimit = 4096;
// A sound key needs a second nonce about once in 128 signatures; a key that keeps failing (a
// Q of 1, a G of order 1) is refused rather than looped on for ever.
constexpr int kNonceAttempts = 256;

// SEED + k mod 2^160, big-endian 20 bytes.
void SeedPlus(const uint8_t* seed, uint32_t k, uint8_t* out) {
  uint32_t carry = k;
  for (int i = 19; i >= 0; --i) {
    const uint32_t s = seed[i] + (carry & 0xff);
    out[i] = static_cast<uint8_t>(s);
    carry = (carry >> 8) + (s >> 8);
  }
}

int Sha1(const uint8_t* in, int n, ByteString& out) { return DigestByName(in, n, "SHA1", out); }

}  // namespace

int DsaEngine::SetKey(const DsaKeyData& in) {
  key_.Clear();
  p_.SetZero();
  q_.SetZero();
  g_.SetZero();
  y_.SetZero();
  x_.SetZero();
  mont_p_ = MontgomeryContext();
  mont_q_ = MontgomeryContext();
  xm_.clear();
  if (in.P.empty() || in.Q.empty() || in.G.empty() || (in.Y.empty() && in.X.empty())) return kErrDsaBadKey;
  BigNumber p, q;
  p.SetBytes(in.P);
  q.SetBytes(in.Q);
  if (p.IsZero() || q.IsZero()) return kErrDsaBadKey;
  size_.SetLoadedBits(p.BitLength());
  const ByteString* src[] = {&in.P, &in.Q, &in.G, &in.Y, &in.X};
  ByteString* dst[] = {&key_.P, &key_.Q, &key_.G, &key_.Y, &key_.X};
  BigNumber v;
  for (int i = 0; i < 5; ++i) {
    if (src[i]->empty()) continue;
    v.SetBytes(*src[i]);
    int rc = v.ToMagnitude(*dst[i]);
    if (rc == kOk) rc = DeclassifyLength(*dst[i]);
    if (rc != kOk) return rc;
  }
  int rc = key_.DerivePublic();  // verification needs Y even when only X was given
  if (rc != kOk) return rc;
  p_.SetBytes(key_.P);
  q_.SetBytes(key_.Q);
  g_.SetBytes(key_.G);
  y_.SetBytes(key_.Y);
  x_.SetBytes(key_.X);
  if (!p_.IsEven()) mont_p_.Init(p_);
  if (!q_.IsEven() && mont_q_.Init(q_) == kOk && !key_.X.empty()) {
    BigNumber xr;
    BigNumber::Mod(x_, q_, xr);
    xm_.assign(mont_q_.limbs(), 0);
    mont_q_.ToMont(xr, xm_.data());
  }
  return kOk;
}

int DsaEngine::GetKey(DsaKeyData& out, bool with_private, bool seed_method) {
  if (g_.IsZero()) {
    const int l = key_size();
    BigNumber p, q;
    int rc = seed_method ? GenerateBySeed(l, p, q) : GenerateByProgression(l, p, q);
    if (rc == kOk) rc = FinishKey(p, q);
    if (rc != kOk) return rc;
  }
  out.Clear();
  int rc = out.P.Assign(key_.P);
  if (rc == kOk) rc = out.Q.Assign(key_.Q);
  if (rc == kOk) rc = out.G.Assign(key_.G);
  if (rc == kOk) rc = out.Y.Assign(key_.Y);
  if (rc == kOk && with_private) rc = out.X.Assign(key_.X);
  return rc;
}

int DsaEngine::GenerateBySeed(int l_bits, BigNumber& p, BigNumber& q) {
  if (!KeySizeSpec::Allows(1, l_bits)) return kErrKeySize;
  const int n = (l_bits - 1) / kSeedBits, b = (l_bits - 1) % kSeedBits;
  BigNumber two_l1, two_q, c, w, v, mod_b;
  BigNumber::ShiftLeft(BigNumber::One(), l_bits - 1, two_l1);
  BigNumber::ShiftLeft(BigNumber::One(), b, mod_b);
  uint8_t seed[20], buf[20];
  ByteString u1, u2;
  for (;;) {
    int rc = random_.Fill(seed, 20);
    if (rc != kOk) return rc;
    SeedPlus(seed, 1, buf);
    rc = Sha1(seed, 20, u1);
    if (rc == kOk) rc = Sha1(buf, 20, u2);
    if (rc != kOk) return rc;
    for (int i = 0; i < 20; ++i) u1.bytes()[i] ^= u2.bytes()[i];
    u1.bytes()[0] |= 0x80;
    u1.bytes()[19] |= 1;
    q.SetBytes(u1);
    if (!IsProbablePrime(q, 20, random_)) continue;
    BigNumber::ShiftLeft(q, 1, two_q);
    uint32_t offset = 2;
    for (int counter = 0; counter < kSeedCounterLimit; ++counter, offset += static_cast<uint32_t>(n) + 1) {
      w.SetZero();
      for (int k = 0; k <= n; ++k) {
        SeedPlus(seed, offset + static_cast<uint32_t>(k), buf);
        rc = Sha1(buf, 20, u2);
        if (rc != kOk) return rc;
        v.SetBytes(u2);
        if (k == n) BigNumber::Mod(v, mod_b, v);
        BigNumber::ShiftLeft(v, k * kSeedBits, v);
        BigNumber::Add(w, v, w);
      }
      BigNumber::Add(w, two_l1, w);  // X
      BigNumber::Mod(w, two_q, c);
      BigNumber::Sub(c, BigNumber::One(), c);
      BigNumber::Sub(w, c, p);
      if (p.Compare(two_l1) >= 0 && IsProbablePrime(p, 10, random_)) return kOk;
    }
  }
}

int DsaEngine::GenerateByProgression(int l_bits, BigNumber& p, BigNumber& q) {
  if (l_bits < 512 || l_bits > 4096 || l_bits % 64 != 0) return kErrKeySize;
  const int n_bits = l_bits < 2048 ? 160 : 256;
  BigNumber q_end, p_end, p_low, two_q, r, step2(2);
  BigNumber::ShiftLeft(BigNumber::One(), n_bits, q_end);
  BigNumber::Sub(q_end, BigNumber::One(), q_end);
  BigNumber::ShiftLeft(BigNumber::One(), l_bits, p_end);
  BigNumber::Sub(p_end, BigNumber::One(), p_end);
  BigNumber::ShiftLeft(BigNumber::One(), l_bits - 1, p_low);
  for (;;) {
    bool found = false;
    int rc = q.SetRandomBits(n_bits, random_);
    if (rc == kOk && q.IsEven()) BigNumber::Add(q, BigNumber::One(), q);
    if (rc == kOk) rc = NextPrimeInProgression(q, q_end, step2, random_, &found);
    if (rc != kOk) return rc;
    if (!found) continue;
    BigNumber::ShiftLeft(q, 1, two_q);
    rc = p.SetRandomBits(l_bits, random_);
    if (rc != kOk) return rc;
    // Start at a term that is 1 modulo 2Q.
    BigNumber::Mod(p, two_q, r);
    BigNumber::Sub(p, r, p);
    BigNumber::Add(p, BigNumber::One(), p);
    if (p.Compare(p_low) < 0) BigNumber::Add(p, two_q, p);
    rc = NextPrimeInProgression(p, p_end, two_q, random_, &found);
    if (rc != kOk) return rc;
    if (found) return kOk;
  }
}

int DsaEngine::FinishKey(const BigNumber& p, const BigNumber& q) {
  BigNumber p1, e, g, h(2), x, y;
  BigNumber::Sub(p, BigNumber::One(), p1);
  BigNumber::DivMod(p1, q, &e, nullptr);
  for (;; BigNumber::Add(h, BigNumber::One(), h)) {
    int rc = BigNumber::ModExp(h, e, p, g);
    if (rc != kOk) return rc;
    if (g.Compare(BigNumber::One()) > 0) break;
  }
  const int n_bits = q.BitLength();
  ByteString raw;
  int rc = raw.Resize((n_bits + 7) / 8);
  if (rc != kOk) return rc;
  do {
    rc = random_.Fill(raw.bytes(), raw.length());
    if (rc != kOk) return rc;
    if (n_bits % 8) raw.bytes()[0] &= static_cast<uint8_t>(0xff >> (8 - n_bits % 8));
    x.SetBytes(raw);
  } while (x.IsZero() || x.Compare(q) >= 0);
  WipeComponent(raw);
  rc = BigNumber::ModExpSecret(g, x, p, y, q.BitLength());
  if (rc != kOk) return rc;
  DsaKeyData k;
  rc = p.ToMagnitude(k.P);
  if (rc == kOk) rc = q.ToMagnitude(k.Q);
  if (rc == kOk) rc = g.ToMagnitude(k.G);
  if (rc == kOk) rc = y.ToMagnitude(k.Y);
  if (rc == kOk) rc = x.ToMagnitude(k.X);
  if (rc == kOk) rc = SetKey(k);
  return rc;
}

void DsaEngine::HashValue(const ByteString& hash, BigNumber& z) const {
  z.SetBytes(hash);
  const int excess = 8 * hash.length() - q_.BitLength();
  if (excess > 0) BigNumber::ShiftRight(z, excess, z);
}

int DsaEngine::Sign(const ByteString& hash, ByteString& out) {
  if (hash.empty()) return kErrDsaNoHash;
  if (g_.IsZero()) return kErrDsaNoKey;
  if (key_.X.empty()) return kErrDsaNoPrivate;
  if (xm_.empty()) return kErrDsaBadKey;  // an even Q
  const int qlen = key_.Q.length();
  const size_t n = mont_q_.limbs();
  const Limb* m = mont_q_.modulus().limbs().data();
  BigNumber z, k, b, r, s, q2;
  HashValue(hash, z);
  BigNumber::Mod(z, q_, z);
  BigNumber::Sub(q_, BigNumber(2), q2);
  LimbVector zm(n), rm(n), bm(n), km(n), t(n), u(n), v(n), w(n);
  ByteString raw, rb, sb;
  int rc = raw.Resize(qlen);
  if (rc != kOk) return rc;
  // A value in [1, Q) from the random source, drawn again when out of range.
  auto draw = [&](BigNumber& out) -> int {
    for (int i = 0; i < kNonceAttempts; ++i) {
      if (int rc2 = random_.Fill(raw.bytes(), qlen)) return rc2;
      out.SetBytes(raw);
      if (!out.IsZero() && out.Compare(q_) < 0) {
        // Whether a draw was in range tells nothing of the one kept; nothing may follow that one.
        ct::MarkSecret(out.limbs().data(), out.limbs().size() * sizeof(Limb));
        return kOk;
      }
    }
    return kErrDsaBadKey;
  };
  mont_q_.ToMont(z, zm.data());
  for (int attempt = 0;; ++attempt) {
    if (attempt == kNonceAttempts) return kErrDsaBadKey;
    rc = draw(k);
    if (rc == kOk) rc = draw(b);
    if (rc != kOk) return rc;
    if (mont_p_.ready() && g_.Compare(p_) < 0) {
      LimbVector gl(mont_p_.limbs()), rl(mont_p_.limbs());
      std::copy(g_.limbs().begin(), g_.limbs().end(), gl.begin());
      mont_p_.ExpLimbs(gl.data(), k, true, rl.data(), q_.BitLength());
      ct::Declassify(rl.data(), rl.size() * sizeof(Limb));
      r.SetLimbs(rl.data(), rl.size(), 1);
    } else {
      rc = BigNumber::ModExpSecret(g_, k, p_, r, q_.BitLength());
      if (rc != kOk) return rc;
    }
    // g^k is as public as a public key (k stays behind its discrete logarithm), and r comes from it.
    ct::Declassify(r.limbs().data(), r.limbs().size() * sizeof(Limb));
    BigNumber::Mod(r, q_, r);
    // s = (b z + (b x) r) (b k)^-1 with a fresh blind b: only fixed-width products modulo Q see
    // x, and the one inversion, (b k)^(q-2) by the constant-time walk, never sees k alone.
    mont_q_.ToMont(r, rm.data());
    mont_q_.ToMont(b, bm.data());
    mont_q_.ToMont(k, km.data());
    mont_q_.Mul(t.data(), bm.data(), xm_.data());
    mont_q_.Mul(t.data(), t.data(), rm.data());
    mont_q_.Mul(u.data(), bm.data(), zm.data());
    const Limb carry = limb::AddN(u.data(), u.data(), t.data(), n);
    const Limb borrow = limb::SubN(v.data(), u.data(), m, n);
    limb::Select(u.data(), v.data(), n, static_cast<Limb>(0) - (carry | (borrow ^ 1)));
    mont_q_.Mul(t.data(), bm.data(), km.data());
    mont_q_.FromMontLimbs(t.data(), v.data());
    mont_q_.ExpLimbs(v.data(), q2, true, w.data(), q_.BitLength());
    mont_q_.Mul(t.data(), u.data(), w.data());  // the Montgomery form times a plain value: s itself
    ct::Declassify(t.data(), n * sizeof(Limb));
    s.SetLimbs(t.data(), n, 1);
    if (r.IsZero() || s.IsZero()) continue;
    rc = r.ToMagnitude(rb);
    if (rc == kOk) rc = s.ToMagnitude(sb);
    if (rc != kOk) return rc;
    if (rb.length() == qlen && sb.length() == qlen) break;
  }
  WipeComponent(raw);
  out.Reset();
  if (!der_output_) {
    rc = out.AppendString(rb);
    if (rc == kOk) rc = out.AppendString(sb);
    return rc;
  }
  rc = EcdsaSignatureToDer(rb, sb, out);
  // Only a Q of over a thousand bits makes the pair too long for the encoder.
  return rc == kErrEcParams ? kErrDsaBadKey : rc;
}

int DsaEngine::Verify(const ByteString& hash, const ByteString& signature, bool* valid) {
  *valid = false;
  if (hash.empty()) return kErrDsaNoHash;
  if (signature.empty()) return kErrDsaNoSignature;
  if (g_.IsZero()) return kErrDsaNoKey;
  const int qlen = key_.Q.length();
  BigNumber r, s;
  SpanReader rv, sv;
  if (signature.bytes()[0] == 0x30 && ReadDerSignatureParts(SpanReader(signature), 2, &rv, &sv)) {
    r.SetBytes(rv.data(), static_cast<int>(rv.remaining()));
    s.SetBytes(sv.data(), static_cast<int>(sv.remaining()));
  } else {
    // Raw r ‖ s, each as long as Q.
    if (signature.length() != 2 * qlen) return kOk;
    r.SetBytes(signature.bytes(), qlen);
    s.SetBytes(signature.bytes() + qlen, qlen);
  }
  if (r.sign() <= 0 || s.sign() <= 0 || r.Compare(q_) >= 0 || s.Compare(q_) >= 0) return kOk;
  BigNumber z, w, u1, u2, v1, v2;
  HashValue(hash, z);
  int rc = BigNumber::ModInverse(s, q_, w);
  if (rc != kOk) return kOk;
  BigNumber::Mul(z, w, u1);
  BigNumber::Mod(u1, q_, u1);
  BigNumber::Mul(r, w, u2);
  BigNumber::Mod(u2, q_, u2);
  if (mont_p_.ready() && g_.Compare(p_) < 0 && y_.Compare(p_) < 0) {
    mont_p_.Exp2(g_, u1, y_, u2, v1);
  } else {
    rc = BigNumber::ModExp(g_, u1, p_, v1);
    if (rc == kOk) rc = BigNumber::ModExp(y_, u2, p_, v2);
    if (rc != kOk) return rc;
    BigNumber::Mul(v1, v2, v1);
    BigNumber::Mod(v1, p_, v1);
  }
  BigNumber::Mod(v1, q_, v1);
  *valid = v1.Equals(r);
  return kOk;
}

}  // namespace tw
