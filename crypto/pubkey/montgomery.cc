#include "crypto/pubkey/montgomery.h"

#include <cstring>

namespace tw {

namespace {

// Window sizes by exponent length: the first entry at least as long as the exponent.
constexpr int kWindowBits[] = {7, 25, 81, 241, 673, 1793};

int WindowFor(int bits) {
  int w = 0;
  while (w < 6 && kWindowBits[w] < bits) ++w;
  return w < 1 ? 1 : w;
}

// w bits of e starting at bit pos (bits beyond e read as zero).
unsigned ExponentBits(const LimbVector& e, int pos, int w) {
  unsigned v = 0;
  for (int i = w - 1; i >= 0; --i) {
    const int b = pos + i;
    const size_t li = static_cast<size_t>(b) / 64;
    const unsigned bit = li < e.size() ? static_cast<unsigned>((e[li] >> (b % 64)) & 1) : 0;
    v = (v << 1) | bit;
  }
  return v;
}

}  // namespace

int MontgomeryContext::Init(const BigNumber& m) {
  n_ = 0;
  if (m.sign() <= 0 || m.IsEven() || m.IsOne()) return kErrModulusNotPositive;
  if (m.limbs().size() > kMaxLimbs) return kErrInvalidArgument;
  m_ = m;
  const size_t n = m.limbs().size();
  BigNumber r2;
  BigNumber::ShiftLeft(BigNumber::One(), static_cast<int>(128 * n), r2);
  BigNumber::Mod(r2, m, rr_);
  m0inv_ = limb::NegInverse(m.limbs()[0]);
  n_ = n;
  return kOk;
}

void MontgomeryContext::Reduce(Limb* r, Limb* t, Limb top) const {
  const Limb* m = m_.limbs().data();
  const size_t n = n_;
  Limb hi = top;
  for (size_t i = 0; i < n; ++i) {
    const Limb u = t[i] * m0inv_;
    const Limb c = limb::MulAdd1(t + i, m, n, u);
    const DLimb s = static_cast<DLimb>(t[i + n]) + c + hi;
    t[i + n] = static_cast<Limb>(s);
    hi = static_cast<Limb>(s >> 64);
  }
  // The value t[n..2n) + hi*R is below 2m: one constant-time conditional subtraction.
  Limb d[kMaxLimbs];
  const Limb borrow = limb::SubN(d, t + n, m, n);
  const Limb use_d = limb::IsZeroMask(borrow) | (0 - hi);  // no borrow, or a carry above R
  std::memcpy(r, t + n, n * sizeof(Limb));
  limb::Select(r, d, n, use_d);
}

void MontgomeryContext::Mul(Limb* r, const Limb* a, const Limb* b) const {
  const Limb* m = m_.limbs().data();
  const size_t n = n_;
  // Interleaved (CIOS) product and reduction.
  Limb t[kMaxLimbs + 2];
  std::memset(t, 0, (n + 2) * sizeof(Limb));
  for (size_t i = 0; i < n; ++i) {
    Limb c = limb::MulAdd1(t, a, n, b[i]);
    DLimb s = static_cast<DLimb>(t[n]) + c;
    t[n] = static_cast<Limb>(s);
    t[n + 1] = static_cast<Limb>(s >> 64);
    const Limb u = t[0] * m0inv_;
    DLimb p = static_cast<DLimb>(u) * m[0] + t[0];
    c = static_cast<Limb>(p >> 64);
    for (size_t j = 1; j < n; ++j) {
      p = static_cast<DLimb>(u) * m[j] + t[j] + c;
      t[j - 1] = static_cast<Limb>(p);
      c = static_cast<Limb>(p >> 64);
    }
    s = static_cast<DLimb>(t[n]) + c;
    t[n - 1] = static_cast<Limb>(s);
    t[n] = t[n + 1] + static_cast<Limb>(s >> 64);
  }
  Limb d[kMaxLimbs];
  const Limb borrow = limb::SubN(d, t, m, n);
  const Limb use_d = limb::IsZeroMask(borrow) | (0 - t[n]);
  std::memcpy(r, t, n * sizeof(Limb));
  limb::Select(r, d, n, use_d);
}

void MontgomeryContext::Sqr(Limb* r, const Limb* a) const {
  Limb t[2 * kMaxLimbs];
  limb::Sqr(t, a, n_);
  Reduce(r, t, 0);
}

void MontgomeryContext::ToMont(const BigNumber& a, Limb* out) const {
  Limb x[kMaxLimbs] = {};
  const LimbVector& al = a.limbs();
  for (size_t i = 0; i < al.size() && i < n_; ++i) x[i] = al[i];
  Limb rr[kMaxLimbs] = {};
  const LimbVector& rl = rr_.limbs();
  for (size_t i = 0; i < rl.size(); ++i) rr[i] = rl[i];
  Mul(out, x, rr);
}

void MontgomeryContext::FromMont(const Limb* a, BigNumber& out) const {
  Limb t[2 * kMaxLimbs] = {};
  std::memcpy(t, a, n_ * sizeof(Limb));
  Limb r[kMaxLimbs];
  Reduce(r, t, 0);
  out.SetLimbs(r, n_, 1);
  WipeBytes(t, sizeof(t));
}

void MontgomeryContext::Exp(const BigNumber& b, const BigNumber& e, bool secret, BigNumber& out) const {
  const size_t n = n_;
  const int ebits = e.BitLength();
  LimbVector acc(n);
  if (ebits == 0) {
    BigNumber::Mod(BigNumber::One(), m_, out);
    return;
  }
  const bool f4 = !secret && ebits == 17 && e.limbs()[0] == 0x10001;
  const int w = f4 ? 1 : WindowFor(ebits);
  const size_t entries = static_cast<size_t>(1) << w;
  LimbVector table(n * entries);
  ToMont(BigNumber::One(), table.data());
  ToMont(b, table.data() + n);
  for (size_t i = 2; i < entries; ++i) Mul(table.data() + i * n, table.data() + (i - 1) * n, table.data() + n);

  int bits = ebits;
  if (secret && bits < m_.BitLength()) bits = m_.BitLength();
  const int windows = (bits + w - 1) / w;
  LimbVector pick(n);
  for (int k = windows - 1; k >= 0; --k) {
    if (k != windows - 1) {
      for (int s = 0; s < w; ++s) Sqr(acc.data(), acc.data());
    }
    const unsigned idx = ExponentBits(e.limbs(), k * w, w);
    if (secret) {
      for (size_t i = 0; i < entries; ++i) {
        limb::Select(pick.data(), table.data() + i * n, n, limb::IsZeroMask(static_cast<Limb>(i ^ idx)));
      }
    } else {
      std::memcpy(pick.data(), table.data() + idx * n, n * sizeof(Limb));
    }
    if (k == windows - 1) {
      acc = pick;
    } else if (secret || idx != 0) {
      Mul(acc.data(), acc.data(), pick.data());
    }
  }
  FromMont(acc.data(), out);
}

}  // namespace tw
