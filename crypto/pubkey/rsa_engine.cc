#include "crypto/pubkey/rsa_engine.h"

#include <cstring>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/prime_search.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/kdf.h"

namespace tw {

namespace {

constexpr uint32_t kPublicExponent = 65537;
constexpr int kPrimeCertainty = 100;

// DigestInfo headers with NULL parameters; the last byte is the hash length. "MD5SHA1" is the
// bare 36-byte concatenation with no DigestInfo.
struct DigestPrefix {
  const char* name;
  uint8_t length;
  uint8_t bytes[19];
};

constexpr DigestPrefix kPrefixes[] = {
    {"SHA1", 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    {"", 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    {"MD5", 18, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
    {"MD2", 18, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10}},
    {"SHA256", 19, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
    {"SHA384", 19, {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
    {"SHA512", 19, {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
    {"SHA224", 19, {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c}},
    {"MD5SHA1", 1, {0x24}},
    {"RIPEMD160", 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x24, 0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x14}},
    {"RIPEMD-160", 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x24, 0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x14}},
};

const DigestPrefix* FindPrefix(const char* name) {
  ByteString upper;
  upper.SetText(name ? name : "");
  upper.ToUpper();
  for (const DigestPrefix& p : kPrefixes) {
    if (std::strcmp(p.name, upper.c_str()) == 0) return &p;
  }
  return nullptr;
}

// The prefix without the NULL parameters (05 00), which encoders may also leave out.
int PrefixWithoutNull(const DigestPrefix& p, uint8_t* out) {
  if (p.length < 4) return -1;
  int n = 0;
  for (int i = 0; i < p.length; ++i) {
    if (i + 1 < p.length && p.bytes[i] == 0x05 && p.bytes[i + 1] == 0x00 && i == p.length - 4) {
      ++i;
      continue;
    }
    out[n++] = p.bytes[i];
  }
  out[1] = static_cast<uint8_t>(out[1] - 2);
  out[3] = static_cast<uint8_t>(out[3] - 2);
  return n;
}

const char* NameOr(const char* name, const char* fallback) { return name && *name ? name : fallback; }

int DigestSizeByName(const char* name) {
  const int id = HashIdByName(name);
  return id < 0 ? -1 : HashDigestSize(id);
}

// XORs MGF1(seed) over the len bytes of target, as both padding schemes mask their blocks.
int XorMgf1(const uint8_t* seed, int seed_len, const char* digest, uint8_t* target, int len) {
  ByteString mask;
  const int rc = Mgf1(seed, seed_len, digest, len, mask);
  if (rc == kOk) {
    for (int i = 0; i < len; ++i) target[i] ^= mask.bytes()[i];
  }
  WipeBytes(mask.bytes(), static_cast<size_t>(mask.length()));
  return rc;
}

// The OAEP digests (SHA-1 unless named) and the check that the modulus holds the block.
int OaepDigests(const char* hash_name, const char* mgf_hash_name, int k, const char** name, const char** mgf,
                int* hlen) {
  *name = NameOr(hash_name, "SHA1");
  *mgf = NameOr(mgf_hash_name, "SHA1");
  *hlen = DigestSizeByName(*name);
  if (*hlen <= 0) return kErrRsaUnknownHash;
  return k < 2 * *hlen + 2 ? kErrRsaModulusTooSmall : kOk;
}

// 00 01 FF..FF 00 prefix hash, k bytes.
int BuildPkcs1SignatureBlock(const uint8_t* prefix, int plen, const ByteString& hash, int k, ByteString& em) {
  int rc = em.Resize(0);
  if (rc == kOk) rc = em.Resize(k);
  if (rc != kOk) return rc;
  uint8_t* d = em.bytes();
  const int t = plen + hash.length();
  d[0] = 0;
  d[1] = 1;
  std::memset(d + 2, 0xff, static_cast<size_t>(k - t - 3));
  d[k - t - 1] = 0;
  std::memcpy(d + k - t, prefix, static_cast<size_t>(plen));
  std::memcpy(d + k - hash.length(), hash.data(), static_cast<size_t>(hash.length()));
  return kOk;
}

}  // namespace

int RsaEngine::LoadNumbers() {
  n_.SetBytes(key_.N);
  e_.SetBytes(key_.E);
  d_.SetBytes(key_.D);
  p_.SetBytes(key_.P);
  q_.SetBytes(key_.Q);
  dp_.SetBytes(key_.DP);
  dq_.SetBytes(key_.DQ);
  qinv_.SetBytes(key_.QInv);
  blind_.SetZero();
  unblind_.SetZero();
  mont_n_ = MontgomeryContext();
  mont_p_ = MontgomeryContext();
  mont_q_ = MontgomeryContext();
  if (!n_.IsEven()) mont_n_.Init(n_);
  if (!p_.IsZero() && !p_.IsEven()) mont_p_.Init(p_);
  if (!q_.IsZero() && !q_.IsEven()) mont_q_.Init(q_);
  qinv_mont_.clear();
  if (mont_p_.ready() && !qinv_.IsZero()) {
    BigNumber qi;
    BigNumber::Mod(qinv_, p_, qi);
    qinv_mont_.assign(mont_p_.limbs(), 0);
    mont_p_.ToMont(qi, qinv_mont_.data());
  }
  DeriveCheckExponent();
  return kOk;
}

// Without E, any e with e DP = 1 mod P-1 and e DQ = 1 mod Q-1 undoes the private operation: it
// blinds and checks as E would. The least one modulo lcm(P-1, Q-1) is E itself for every usual
// key. Worked out once per key, from the CRT exponents.
void RsaEngine::DeriveCheckExponent() {
  check_e_ = e_;
  if (!e_.IsZero() || !mont_p_.ready() || !mont_q_.ready() || dp_.IsZero() || dq_.IsZero()) return;
  BigNumber p1, q1, ep, eq, g, a, t, h;
  BigNumber::Sub(p_, BigNumber::One(), p1);
  BigNumber::Sub(q_, BigNumber::One(), q1);
  // e = ep + (P-1) t, t = ((eq - ep) / g) ((P-1) / g)^-1 mod (Q-1) / g, g = gcd(P-1, Q-1).
  const bool found = [&] {
    if (!d_.IsZero()) {
      BigNumber::Mod(d_, p1, t);
      BigNumber::Mod(d_, q1, h);
      if (!t.Equals(dp_) || !h.Equals(dq_)) return false;
    }
    if (BigNumber::ModInverse(dp_, p1, ep) != kOk || BigNumber::ModInverse(dq_, q1, eq) != kOk) return false;
    g = p1;
    a = q1;
    while (!a.IsZero()) {
      BigNumber::Mod(g, a, t);
      g = a;
      a = t;
    }
    BigNumber::Sub(eq, ep, t);
    if (BigNumber::DivMod(t, g, &t, &h) != kOk || !h.IsZero()) return false;
    BigNumber::DivMod(q1, g, &a, nullptr);
    BigNumber::DivMod(p1, g, &h, nullptr);
    if (BigNumber::ModInverse(h, a, h) != kOk) return false;
    BigNumber::Mul(t, h, t);
    BigNumber::Mod(t, a, t);
    BigNumber::Mul(t, p1, t);
    BigNumber::Add(t, ep, check_e_);
    // As public as the E it stands in for: it blinds and checks the way E does.
    ct::Declassify(check_e_.limbs().data(), check_e_.limbs().size() * sizeof(Limb));
    return true;
  }();
  if (!found) {
    // CRT exponents that disagree with D, or that no e undoes, give wrong halves: D alone is used.
    dp_.SetZero();
    dq_.SetZero();
  }
}

int RsaEngine::SetKey(const RsaKeyData& in) {
  key_.Clear();
  LoadNumbers();
  if (in.N.empty()) return kErrRsaNoModulusInRecord;
  BigNumber n;
  n.SetBytes(in.N);
  if (n.IsZero()) return kOk;
  size_.SetLoadedBits(n.BitLength());
  if (in.E.empty() && in.D.empty()) return kErrRsaNoExponent;
  BigNumber v;
  v.SetBytes(in.E);
  if (!in.E.empty() && v.IsZero()) return kErrRsaPublicExponentZero;
  v.SetBytes(in.D);
  if (!in.D.empty() && v.IsZero()) return kErrRsaPrivateExponentZero;
  // Components are kept without leading zeros so that lengths mean sizes.
  const ByteString* src[] = {&in.N, &in.E, &in.D, &in.P, &in.Q, &in.DP, &in.DQ, &in.QInv};
  ByteString* dst[] = {&key_.N, &key_.E, &key_.D, &key_.P, &key_.Q, &key_.DP, &key_.DQ, &key_.QInv};
  for (int i = 0; i < 8; ++i) {
    if (src[i]->empty()) continue;
    v.SetBytes(*src[i]);
    int rc = v.ToMagnitude(*dst[i]);
    if (rc == kOk) rc = DeclassifyLength(*dst[i]);
    if (rc != kOk) return rc;
  }
  if (key_.P.empty() || key_.Q.empty()) {
    // CRT values without both primes are of no use.
    WipeComponent(key_.DP);
    WipeComponent(key_.DQ);
    WipeComponent(key_.QInv);
  }
  int rc = key_.CompleteCrt();
  if (rc != kOk) return rc;
  return LoadNumbers();
}

int RsaEngine::GetKey(RsaKeyData& out, bool with_private, bool plain_generator) {
  if (n_.IsZero()) {
    int rc = Generate(plain_generator);
    if (rc != kOk) return rc;
  }
  out.Clear();
  int rc = out.N.Assign(key_.N);
  if (rc == kOk) rc = out.E.Assign(key_.E);
  if (rc == kOk && with_private) {
    RsaKeyData copy;
    rc = copy.CopyFrom(key_);
    if (rc == kOk) rc = out.CopyFrom(copy);
  }
  return rc;
}

int RsaEngine::Generate(bool plain) {
  const int bits = key_size();
  if (!KeySizeSpec::Allows(0, bits)) return kErrKeySize;
  const int half = bits / 2;
  const BigNumber e(kPublicExponent);
  BigNumber p, q, n, phi, d, t;
  BigNumber lower, upper;
  BigNumber::ShiftLeft(BigNumber(182), half - 8, lower);
  BigNumber::ShiftLeft(BigNumber::One(), half, upper);
  for (;;) {
    // Both primes are drawn afresh on every round, so a prime with E dividing P-1 cannot stall it.
    int rc;
    if (plain) {
      rc = ProbablePrime(half, kPrimeCertainty, random_, p);
    } else {
      do {
        rc = p.SetRandomBits(half, random_);
        if (rc != kOk) return rc;
        if (p.IsEven()) BigNumber::Add(p, BigNumber::One(), p);
      } while (p.Compare(lower) < 0 || p.Compare(upper) >= 0 || !IsProbablePrime(p, kPrimeCertainty, random_));
    }
    if (rc != kOk) return rc;
    rc = ProbablePrime(half, kPrimeCertainty, random_, q);
    if (rc != kOk) return rc;
    if (p.Equals(q)) continue;
    if (p.Compare(q) < 0) std::swap(p, q);
    BigNumber::Mul(p, q, n);
    if (n.BitLength() != bits) continue;
    BigNumber p1, q1;
    BigNumber::Sub(p, BigNumber::One(), p1);
    BigNumber::Sub(q, BigNumber::One(), q1);
    BigNumber::Mul(p1, q1, phi);
    if (BigNumber::ModInverse(e, phi, d) != kOk) continue;
    RsaKeyData k;
    rc = n.ToMagnitude(k.N);
    if (rc == kOk) rc = e.ToMagnitude(k.E);
    if (rc == kOk) rc = d.ToMagnitude(k.D);
    if (rc == kOk) rc = p.ToMagnitude(k.P);
    if (rc == kOk) rc = q.ToMagnitude(k.Q);
    if (rc == kOk) rc = k.CompleteCrt();
    if (rc == kOk) rc = SetKey(k);
    return rc;
  }
}

int RsaEngine::RsaPublicOp(const ByteString& in, ByteString& out) {
  if (n_.IsZero() || e_.IsZero()) return kErrRsaNoModulus;
  const int k = modulus_bytes();
  BigNumber c, m;
  c.SetBytes(in);
  if (c.Compare(n_) >= 0) return kErrRsaDecoding;
  if (mont_n_.ready()) {
    mont_n_.Exp(c, e_, false, m);
  } else {
    int rc = BigNumber::ModExp(c, e_, n_, m);
    if (rc != kOk) return rc;
  }
  return m.ToMagnitude(out, k);
}

namespace {

// a (below the modulus) as the context's number of limbs.
void ToLimbs(const MontgomeryContext& mont, const BigNumber& a, LimbVector* out) {
  out->assign(mont.limbs(), 0);
  const LimbVector& l = a.limbs();
  for (size_t i = 0; i < l.size() && i < out->size(); ++i) (*out)[i] = l[i];
}

// v^-1 mod n without Euclid ever seeing v: (v*s)^-1 * s for a fresh random s, as Euclid's steps
// follow its input. 2002 when v has no inverse.
int BlindedInverse(const BigNumber& v, const BigNumber& n, RandomSource& random, BigNumber& out) {
  BigNumber s, vs;
  int rc = s.SetRandomBits(n.BitLength() - 1, random);
  if (rc != kOk) return rc;
  BigNumber::Mul(v, s, vs);
  rc = BigNumber::Mod(vs, n, vs);
  if (rc == kOk) rc = BigNumber::ModInverse(vs, n, out);
  if (rc != kOk) return rc;
  BigNumber::Mul(out, s, vs);
  return BigNumber::Mod(vs, n, out);
}

}  // namespace

int RsaEngine::RefreshBlinding() {
  // A kept engine draws a fresh r every so often, so that its blinding values do not all derive
  // from one draw.
  constexpr int kUsesPerDraw = 32;
  if (!blind_.IsZero() && ++blind_uses_ < kUsesPerDraw) {
    if (mont_n_.ready()) {
      mont_n_.Sqr(blind_mont_.data(), blind_mont_.data());
      mont_n_.Sqr(unblind_mont_.data(), unblind_mont_.data());
      return kOk;
    }
    BigNumber::Sqr(blind_, blind_);
    BigNumber::Mod(blind_, n_, blind_);
    BigNumber::Sqr(unblind_, unblind_);
    return BigNumber::Mod(unblind_, n_, unblind_);
  }
  blind_uses_ = 0;
  BigNumber r;
  for (int tries = 0; tries < 64; ++tries) {
    int rc = r.SetRandomBits(n_.BitLength() - 1, random_);
    if (rc != kOk) return rc;
    if (check_e_.IsZero()) {
      // No exponent undoes D here: blind by r and unblind by r^-D, one private operation per draw.
      LimbVector rl, rdl(mont_n_.limbs());
      ToLimbs(mont_n_, r, &rl);
      rc = CrtOrPlain(rl.data(), rdl.data());
      if (rc != kOk) return rc;
      BigNumber rd;
      rd.SetLimbs(rdl.data(), rdl.size(), 1);
      if (BlindedInverse(rd, n_, random_, unblind_) != kOk) continue;
      blind_ = r;
    } else {
      if (BlindedInverse(r, n_, random_, unblind_) != kOk) continue;
      rc = BigNumber::ModExp(r, check_e_, n_, blind_);
    }
    if (rc == kOk && mont_n_.ready()) {
      blind_mont_.assign(mont_n_.limbs(), 0);
      unblind_mont_.assign(mont_n_.limbs(), 0);
      mont_n_.ToMont(blind_, blind_mont_.data());
      mont_n_.ToMont(unblind_, unblind_mont_.data());
    }
    return rc;
  }
  return kErrRsaNoPrivateKey;
}

// Fixed widths throughout, nothing normalised: no branch or length follows a secret.
int RsaEngine::CrtOrPlain(const Limb* c, Limb* m) {
  constexpr size_t kMax = MontgomeryContext::kMaxLimbs;
  const size_t n = mont_n_.limbs(), np = mont_p_.limbs(), nq = mont_q_.limbs();
  const bool crt = mont_p_.ready() && mont_q_.ready() && !dp_.IsZero() && !dq_.IsZero() && !qinv_mont_.empty() &&
                   np + nq <= kMax && np + nq >= n;
  if (!crt) {
    if (d_.IsZero()) return kErrRsaNoPrivateKey;
    mont_n_.ExpLimbs(c, d_, true, m);
    return kOk;
  }
  Limb cp[kMax], cq[kMax], m1[kMax], m2[kMax], h[kMax], t[kMax], prod[kMax] = {}, m2w[kMax] = {};
  mont_p_.Reduce(c, n, cp);
  mont_q_.Reduce(c, n, cq);
  MontgomeryContext::ExpPairLimbs(mont_p_, cp, dp_, mont_q_, cq, dq_, m1, m2);
  // h = (m1 - m2) QInv mod P; m = m2 + h Q.
  mont_p_.Reduce(m2, nq, t);
  const Limb borrow = limb::SubN(h, m1, t, np);
  limb::AddN(t, h, p_.limbs().data(), np);
  limb::Select(h, t, np, static_cast<Limb>(0) - borrow);
  mont_p_.Mul(h, h, qinv_mont_.data());
  limb::Mul(prod, h, np, q_.limbs().data(), nq);
  std::memcpy(m2w, m2, nq * sizeof(Limb));
  limb::AddN(prod, prod, m2w, np + nq);
  std::memcpy(m, prod, n * sizeof(Limb));
  for (Limb* v : {cp, cq, m1, m2, h, t, prod, m2w}) WipeBytes(v, kMax * sizeof(Limb));
  return kOk;
}

int RsaEngine::PrivateOp(const BigNumber& c, Limb* m) {
  if (n_.IsZero()) return kErrRsaNoModulus;
  const bool crt_material = !p_.IsZero() && !q_.IsZero() && !qinv_.IsZero();
  if (d_.IsZero() && !crt_material) return kErrRsaNoPrivateKey;
  if (c.Compare(n_) >= 0) return kErrRsaDecoding;
  if (!mont_n_.ready()) return kErrRsaNoPrivateKey;  // an even N is no product of two primes
  int rc = RefreshBlinding();
  if (rc != kOk) return rc;
  const size_t n = mont_n_.limbs();
  LimbVector cb, check(n);
  Limb* mb = m;
  ToLimbs(mont_n_, c, &cb);
  mont_n_.Mul(cb.data(), cb.data(), blind_mont_.data());
  rc = CrtOrPlain(cb.data(), mb);
  if (rc != kOk) return rc;
  // A fault in the CRT halves would reveal a prime: check before anything leaves. Without an
  // exponent to check by, no CRT halves are used.
  const auto wrong = [&] {
    mont_n_.ExpLimbs(mb, check_e_, false, check.data());
    Limb diff = 0;
    for (size_t i = 0; i < n; ++i) diff |= check[i] ^ cb[i];
    bool bad = diff != 0;
    ct::Declassify(&bad, sizeof bad);  // whether a fault struck is no secret
    return bad;
  };
  if (!check_e_.IsZero() && wrong()) {
    if (d_.IsZero()) return kErrRsaNoPrivateKey;
    mont_n_.ExpLimbs(cb.data(), d_, true, mb);
    if (wrong()) return kErrRsaNoPrivateKey;
  }
  mont_n_.Mul(mb, mb, unblind_mont_.data());
  return kOk;
}

int RsaEngine::RsaPrivateOp(const ByteString& in, ByteString& out) {
  if (n_.IsZero()) return kErrRsaNoModulus;
  BigNumber c;
  c.SetBytes(in);
  LimbVector m(mont_n_.limbs());
  int rc = PrivateOp(c, m.data());
  // Every one of the k bytes, whatever the value: a plaintext stays secret, and so does its size.
  const int k = modulus_bytes();
  if (rc == kOk) rc = out.Resize(0);
  if (rc == kOk) rc = out.Resize(k);
  if (rc == kOk) {
    for (int i = 0; i < k; ++i) out.bytes()[k - 1 - i] = static_cast<uint8_t>(m[i / 8] >> (i % 8 * 8));
  }
  WipeBytes(m.data(), m.size() * sizeof(Limb));
  return rc;
}

int RsaEngine::EncryptPkcs1(const ByteString& message, ByteString& out) {
  if (message.empty()) return kErrRsaEmptyInput;
  if (n_.IsZero()) return kErrRsaNoModulus;
  const int k = modulus_bytes();
  if (message.length() > k - 11) return kErrRsaMessageTooLong;
  ByteString em;
  int rc = em.Resize(k);
  if (rc != kOk) return rc;
  uint8_t* d = em.bytes();
  const int ps = k - message.length() - 3;
  d[0] = 0;
  d[1] = 2;
  rc = random_.Fill(d + 2, ps);
  if (rc != kOk) return rc;
  for (int i = 0; i < ps; ++i) {
    if (d[2 + i] == 0) d[2 + i] = 1;
  }
  d[2 + ps] = 0;
  std::memcpy(d + 3 + ps, message.data(), static_cast<size_t>(message.length()));
  return RsaPublicOp(em, out);
}

int RsaEngine::DecryptPkcs1(const ByteString& ciphertext, ByteString& out) {
  if (ciphertext.empty()) return kErrRsaEmptyInput;
  if (n_.IsZero()) return kErrRsaNoModulus;
  const int k = modulus_bytes();
  if (k < 11) return kErrRsaModulusTooSmall;
  if (ciphertext.length() > k) return kErrRsaDecoding;
  ByteString em;
  int rc = RsaPrivateOp(ciphertext, em);
  if (rc != kOk) return rc;
  // em is k bytes: 00, block type, padding string, 00, message. One pass over all of it, every
  // check folded into masks, so neither time nor memory access tells which check failed.
  const uint8_t* d = em.bytes();
  const uint32_t bad_lead = ~ct::ZeroMask(d[0]);
  const uint32_t bad_type = 0u - ((2u - d[1]) >> 31);
  uint32_t looking = ~0u, sep = 0;
  for (int i = 2; i < k; ++i) {
    const uint32_t is_zero = ct::ZeroMask(d[i]);
    sep |= looking & is_zero & static_cast<uint32_t>(i);
    looking &= ~is_zero;
  }
  const uint32_t too_short = looking | (0u - ((sep - 10u) >> 31));
  const uint32_t last = ct::EqMask(sep, static_cast<uint32_t>(k - 1));
  const auto pick = [](uint32_t mask, uint32_t code, uint32_t other) { return (code & mask) | (other & ~mask); };
  uint32_t code = pick(last, kErrRsaSeparatorLast, kOk);
  code = pick(too_short, kErrRsaPaddingShort, code);
  code = pick(bad_type, kErrRsaBlockType, code);
  code = pick(bad_lead, kErrRsaDecoding, code);
  // The verdict and the message's length are what the caller learns anyway; its bytes stay secret.
  ct::Declassify(&code, sizeof code);
  ct::Declassify(&sep, sizeof sep);
  rc = static_cast<int>(code);
  if (rc == kOk) rc = out.Set(d + sep + 1, k - static_cast<int>(sep) - 1);
  WipeBytes(em.data(), static_cast<size_t>(em.length()));
  return rc;
}

int RsaEngine::Sign(const ByteString& hash, const char* hash_name, bool pss, int salt_length, ByteString& out) {
  if (hash.empty()) return kErrRsaNoHash;
  const int k = modulus_bytes();
  ByteString em;
  if (!pss) {
    const DigestPrefix* p = FindPrefix(hash_name);
    if (!p) return kErrRsaUnknownHash;
    if (hash.length() != p->bytes[p->length - 1]) return kErrRsaHashLength;
    if (n_.IsZero()) return kErrRsaNoModulus;
    const int plen = p->length == 1 ? 0 : p->length;  // the bare MD5+SHA-1 form carries no prefix
    if (k < hash.length() + plen + 11) return kErrRsaModulusTooSmall;
    int rc = BuildPkcs1SignatureBlock(p->bytes, plen, hash, k, em);
    if (rc == kOk) rc = RsaPrivateOp(em, out);
    if (rc == kOk) ct::Declassify(out.bytes(), static_cast<size_t>(out.length()));  // a signature is public
    return rc;
  }
  if (n_.IsZero()) return kErrRsaNoModulus;
  const char* name = NameOr(hash_name, "SHA1");
  const int hlen = DigestSizeByName(name);
  if (hlen <= 0) return kErrRsaUnknownHash;
  if (salt_length < 0) salt_length = hlen;
  const int em_bits = n_.BitLength() - 1;
  const int em_len = (em_bits + 7) / 8;
  if (em_len < hlen + salt_length + 2) return kErrRsaModulusTooSmall;
  ByteString salt, m_prime, h;
  int rc = salt.Resize(salt_length);
  if (rc == kOk) rc = random_.Fill(salt.bytes(), salt_length);
  if (rc == kOk) rc = m_prime.Resize(8);
  if (rc == kOk) rc = m_prime.AppendString(hash);
  if (rc == kOk) rc = m_prime.AppendString(salt);
  if (rc == kOk) rc = DigestByName(m_prime.data(), m_prime.length(), name, h);
  if (rc == kOk) rc = em.Resize(em_len);
  if (rc != kOk) return rc;
  uint8_t* d = em.bytes();
  const int db_len = em_len - hlen - 1;
  d[db_len - salt_length - 1] = 1;
  std::memcpy(d + db_len - salt_length, salt.data(), static_cast<size_t>(salt_length));
  rc = XorMgf1(h.bytes(), hlen, name, d, db_len);
  if (rc != kOk) return rc;
  d[0] &= static_cast<uint8_t>(0xff >> (8 * em_len - em_bits));
  std::memcpy(d + db_len, h.data(), static_cast<size_t>(hlen));
  d[em_len - 1] = 0xbc;
  rc = RsaPrivateOp(em, out);
  if (rc == kOk) ct::Declassify(out.bytes(), static_cast<size_t>(out.length()));
  return rc;
}

int RsaEngine::Verify(const ByteString& hash, const char* hash_name, const ByteString& signature, bool pss,
                      bool strict, bool* valid) {
  *valid = false;
  if (hash.empty()) return kErrRsaNoHash;
  if (signature.empty()) return kErrRsaNoSignature;
  const int k = modulus_bytes();
  const DigestPrefix* p = nullptr;
  if (!pss) {
    p = FindPrefix(hash_name);
    if (!p) return kErrRsaUnknownHash;
    if (hash.length() != p->bytes[p->length - 1]) return kErrRsaHashLength;
  }
  if (n_.IsZero() || e_.IsZero()) return kErrRsaNoModulus;
  if (!pss && k < hash.length() + (p->length == 1 ? 0 : p->length) + 11) return kErrRsaModulusTooSmall;
  // A signature is exactly k bytes and below N; anything else is simply not valid.
  if (signature.length() != k) return kOk;
  BigNumber s;
  s.SetBytes(signature);
  if (s.Compare(n_) >= 0) return kOk;
  ByteString em;
  int rc = RsaPublicOp(signature, em);
  if (rc != kOk) return rc;
  if (!pss) {
    // The block is rebuilt and compared whole: no room for data hidden in a lax parse.
    ByteString want;
    const int plen = p->length == 1 ? 0 : p->length;
    rc = BuildPkcs1SignatureBlock(p->bytes, plen, hash, k, want);
    if (rc != kOk) return rc;
    bool ok = ct::Diff(em.bytes(), want.bytes(), static_cast<size_t>(k)) == 0;
    uint8_t short_prefix[19];
    const int slen = plen ? PrefixWithoutNull(*p, short_prefix) : -1;
    if (!ok && slen > 0) {
      rc = BuildPkcs1SignatureBlock(short_prefix, slen, hash, k, want);
      if (rc != kOk) return rc;
      ok = ct::Diff(em.bytes(), want.bytes(), static_cast<size_t>(k)) == 0;
    }
    *valid = ok;
    return kOk;
  }
  const char* name = NameOr(hash_name, "SHA1");
  const int hlen = DigestSizeByName(name);
  if (hlen <= 0) return kErrRsaUnknownHash;
  if (hash.length() != hlen) return kErrRsaHashLength;
  const int em_bits = n_.BitLength() - 1;
  const int em_len = (em_bits + 7) / 8;
  // em holds k bytes; the encoded message is its last em_len.
  const uint8_t* full = em.bytes();
  if (k > em_len && full[0] != 0) return kOk;
  const uint8_t* d = full + (k - em_len);
  if (em_len < hlen + 2 || d[em_len - 1] != 0xbc) return kOk;
  const int db_len = em_len - hlen - 1;
  const uint8_t top_mask = static_cast<uint8_t>(0xff << (8 - (8 * em_len - em_bits)));
  if ((8 * em_len - em_bits) > 0 && (d[0] & top_mask) != 0) return kOk;
  ByteString db, m_prime, h;
  rc = db.Set(d, db_len);
  if (rc == kOk) rc = XorMgf1(d + db_len, hlen, name, db.bytes(), db_len);
  if (rc != kOk) return rc;
  uint8_t* b = db.bytes();
  b[0] &= static_cast<uint8_t>(0xff >> (8 * em_len - em_bits));
  int i = 0;
  while (i < db_len && b[i] == 0) ++i;
  if (i == db_len || b[i] != 1) return kOk;
  const int salt_len = db_len - i - 1;
  rc = m_prime.Resize(8);
  if (rc == kOk) rc = m_prime.AppendString(hash);
  if (rc == kOk) rc = m_prime.Append(b + i + 1, salt_len);
  if (rc == kOk) rc = DigestByName(m_prime.data(), m_prime.length(), name, h);
  if (rc != kOk) return rc;
  *valid = ct::Diff(h.bytes(), d + db_len, static_cast<size_t>(hlen)) == 0;
  (void)strict;
  return kOk;
}

int RsaEngine::Encrypt(const ByteString& message, bool oaep, const ByteString& label, const char* hash_name,
                       const char* mgf_hash_name, ByteString& out) {
  if (!oaep) return EncryptPkcs1(message, out);
  if (message.empty()) return kErrRsaEmptyInput;
  if (n_.IsZero()) return kErrRsaNoModulus;
  const int k = modulus_bytes();
  const char *name = nullptr, *mgf = nullptr;
  int hlen = 0;
  int rc = OaepDigests(hash_name, mgf_hash_name, k, &name, &mgf, &hlen);
  if (rc != kOk) return rc;
  if (message.length() > k - 2 * hlen - 2) return kErrRsaMessageTooLong;
  ByteString lhash, em;
  rc = DigestByName(label.data(), label.length(), name, lhash);
  if (rc == kOk) rc = em.Resize(k);
  if (rc != kOk) return rc;
  uint8_t* d = em.bytes();
  uint8_t* seed = d + 1;
  uint8_t* db = d + 1 + hlen;
  const int db_len = k - hlen - 1;
  std::memcpy(db, lhash.data(), static_cast<size_t>(hlen));
  db[db_len - message.length() - 1] = 1;
  std::memcpy(db + db_len - message.length(), message.data(), static_cast<size_t>(message.length()));
  rc = random_.Fill(seed, hlen);
  if (rc == kOk) rc = XorMgf1(seed, hlen, mgf, db, db_len);
  if (rc == kOk) rc = XorMgf1(db, db_len, mgf, seed, hlen);
  if (rc != kOk) return rc;
  return RsaPublicOp(em, out);
}

int RsaEngine::Decrypt(const ByteString& ciphertext, bool oaep, const ByteString& label, const char* hash_name,
                       const char* mgf_hash_name, ByteString& out) {
  if (!oaep) return DecryptPkcs1(ciphertext, out);
  if (ciphertext.empty()) return kErrRsaEmptyInput;
  if (n_.IsZero()) return kErrRsaNoModulus;
  const int k = modulus_bytes();
  const char *name = nullptr, *mgf = nullptr;
  int hlen = 0;
  int rc = OaepDigests(hash_name, mgf_hash_name, k, &name, &mgf, &hlen);
  if (rc != kOk) return rc;
  if (ciphertext.length() > k) return kErrRsaDecoding;
  ByteString em, lhash;
  rc = RsaPrivateOp(ciphertext, em);
  if (rc != kOk) return rc;
  rc = DigestByName(label.data(), label.length(), name, lhash);
  if (rc != kOk) return rc;
  uint8_t* d = em.bytes();
  uint8_t* seed = d + 1;
  uint8_t* db = d + 1 + hlen;
  const int db_len = k - hlen - 1;
  rc = XorMgf1(db, db_len, mgf, seed, hlen);
  if (rc == kOk) rc = XorMgf1(seed, hlen, mgf, db, db_len);
  if (rc != kOk) {
    WipeBytes(em.data(), static_cast<size_t>(em.length()));
    return rc;
  }
  // One pass over the whole block whatever it holds, so timing tells nothing about the fault.
  uint32_t bad = d[0] | ct::Diff(db, lhash.bytes(), static_cast<size_t>(hlen));
  uint32_t looking = ~0u, index = 0;
  for (int i = hlen; i < db_len; ++i) {
    const uint32_t is_one = ct::EqMask(db[i], 1);
    const uint32_t is_zero = ct::ZeroMask(db[i]);
    index |= looking & is_one & static_cast<uint32_t>(i);
    bad |= looking & ~is_one & ~is_zero;
    looking &= ~is_one;
  }
  bad |= looking;
  ct::Declassify(&bad, sizeof bad);
  ct::Declassify(&index, sizeof index);
  if (bad) {
    WipeBytes(em.data(), static_cast<size_t>(em.length()));
    return kErrRsaDecoding;
  }
  rc = out.Set(db + index + 1, db_len - static_cast<int>(index) - 1);
  WipeBytes(em.data(), static_cast<size_t>(em.length()));
  return rc;
}

}  // namespace tw
