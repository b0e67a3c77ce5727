#include "crypto/pubkey/montgomery.h"

#include <cstring>
#include <utility>

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

// A 192-bit column accumulator for product scanning.
struct Acc {
  DLimb lo = 0;  // the low two limbs
  Limb hi = 0;
  inline void Add(Limb x, Limb y) {
    const DLimb p = static_cast<DLimb>(x) * y;
    lo += p;
    hi += lo < p;
  }
  inline void AddLimb(Limb x) {
    lo += x;
    hi += lo < x;
  }
  // acc += 2 * other
  inline void AddDouble(const Acc& o) {
    hi += 2 * o.hi + static_cast<Limb>(o.lo >> 127);
    const DLimb d = o.lo << 1;
    lo += d;
    hi += lo < d;
  }
  Limb low() const { return static_cast<Limb>(lo); }
  // Takes the low limb out and shifts the rest down.
  inline Limb Shift() {
    const Limb out = static_cast<Limb>(lo);
    lo = (lo >> 64) | (static_cast<DLimb>(hi) << 64);
    hi = 0;
    return out;
  }
};

// t (n limbs) plus carry c is below 2m: subtract m once, without branching on the values.
template <size_t N>
inline void FinalSubtract(Limb* r, const Limb* t, Limb c, const Limb* m, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb d[N ? N : MontgomeryContext::kMaxLimbs];
  Limb borrow = 0;
  for (size_t i = 0; i < n; ++i) {
    const DLimb x = static_cast<DLimb>(t[i]) - m[i] - borrow;
    d[i] = static_cast<Limb>(x);
    borrow = static_cast<Limb>(x >> 64) & 1;
  }
  const Limb use_d = limb::IsZeroMask(borrow) | (0 - c);
  for (size_t i = 0; i < n; ++i) r[i] = t[i] ^ ((t[i] ^ d[i]) & use_d);
}

// Product-scanning Montgomery multiplication: each column gathers a*b and u*m products in one
// accumulator, so no intermediate row is stored. N fixes the size at compile time (0: use n).
template <size_t N>
void MontMul(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb u[MontgomeryContext::kMaxLimbs];
  Limb t[MontgomeryContext::kMaxLimbs];
  Acc acc;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) {
      acc.Add(a[j], b[i - j]);
      acc.Add(u[j], m[i - j]);
    }
    acc.Add(a[i], b[0]);
    u[i] = acc.low() * minv;
    acc.Add(u[i], m[0]);
    acc.Shift();
  }
  for (size_t i = n; i < 2 * n - 1; ++i) {
    for (size_t j = i - n + 1; j < n; ++j) {
      acc.Add(a[j], b[i - j]);
      acc.Add(u[j], m[i - j]);
    }
    t[i - n] = acc.Shift();
  }
  t[n - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, n);
}

// The same for a*a: the square is formed first with each cross product computed once and
// doubled, then reduced column by column.
template <size_t N>
void MontSqr(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t n_rt) {
  const size_t n = N ? N : n_rt;
  Limb sq[2 * MontgomeryContext::kMaxLimbs];
  Limb u[MontgomeryContext::kMaxLimbs];
  Limb t[MontgomeryContext::kMaxLimbs];
  // Cross products, column by column.
  Acc acc;
  sq[0] = 0;
  for (size_t i = 1; i < 2 * n - 2; ++i) {
    const size_t lo = i < n ? 0 : i - n + 1;
    for (size_t j = lo; 2 * j < i; ++j) acc.Add(a[j], a[i - j]);
    sq[i] = acc.Shift();
  }
  sq[2 * n - 2] = acc.Shift();
  sq[2 * n - 1] = acc.Shift();
  // Double them and add the diagonal.
  Limb top = 0, carry = 0;
  for (size_t i = 0; i < n; ++i) {
    const Limb x0 = sq[2 * i], x1 = sq[2 * i + 1];
    const Limb d0 = (x0 << 1) | top, d1 = (x1 << 1) | (x0 >> 63);
    top = x1 >> 63;
    const DLimb p = static_cast<DLimb>(a[i]) * a[i];
    const DLimb s0 = static_cast<DLimb>(d0) + static_cast<Limb>(p) + carry;
    const DLimb s1 = static_cast<DLimb>(d1) + static_cast<Limb>(p >> 64) + static_cast<Limb>(s0 >> 64);
    sq[2 * i] = static_cast<Limb>(s0);
    sq[2 * i + 1] = static_cast<Limb>(s1);
    carry = static_cast<Limb>(s1 >> 64);
  }
  // Montgomery reduction of the 2n-limb square.
  Acc red;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < i; ++j) red.Add(u[j], m[i - j]);
    red.AddLimb(sq[i]);
    u[i] = red.low() * minv;
    red.Add(u[i], m[0]);
    red.Shift();
  }
  for (size_t i = n; i < 2 * n; ++i) {
    for (size_t j = i - n + 1; j < n; ++j) red.Add(u[j], m[i - j]);
    red.AddLimb(sq[i]);
    t[i - n] = red.Shift();
  }
  FinalSubtract<N>(r, t, red.low(), m, n);
}

// Fully unrolled forms for the common sizes: every column is straight-line code generated from
// index sequences, so there is no loop control between the multiply-accumulate steps.
namespace unrolled {

template <size_t I, size_t... J>
inline void MulLowTerms(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m,
                        std::index_sequence<J...>) {
  ((acc.Add(a[J], b[I - J]), acc.Add(u[J], m[I - J])), ...);
}

template <size_t N, size_t D, size_t... K>
inline void MulHighTerms(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m,
                         std::index_sequence<K...>) {
  ((acc.Add(a[D + 1 + K], b[N - 1 - K]), acc.Add(u[D + 1 + K], m[N - 1 - K])), ...);
}

template <size_t N, size_t... I>
inline void MulLow(Acc& acc, const Limb* a, const Limb* b, Limb* u, const Limb* m, Limb minv,
                   std::index_sequence<I...>) {
  ((MulLowTerms<I>(acc, a, b, u, m, std::make_index_sequence<I>{}), acc.Add(a[I], b[0]),
    u[I] = acc.low() * minv, acc.Add(u[I], m[0]), acc.Shift()),
   ...);
}

template <size_t N, size_t... D>
inline void MulHigh(Acc& acc, const Limb* a, const Limb* b, const Limb* u, const Limb* m, Limb* t,
                    std::index_sequence<D...>) {
  ((MulHighTerms<N, D>(acc, a, b, u, m, std::make_index_sequence<N - 1 - D>{}), t[D] = acc.Shift()), ...);
}

template <size_t N>
void MontMul(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb minv, size_t) {
  Limb u[N], t[N];
  Acc acc;
  MulLow<N>(acc, a, b, u, m, minv, std::make_index_sequence<N>{});
  MulHigh<N>(acc, a, b, u, m, t, std::make_index_sequence<N - 1>{});
  t[N - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, N);
}

// Cross products a[Lo+K] * a[I-Lo-K] of column I.
template <size_t I, size_t Lo, size_t... K>
inline void CrossTerms(Acc& acc, const Limb* a, std::index_sequence<K...>) {
  ((acc.Add(a[Lo + K], a[I - Lo - K])), ...);
}

template <size_t I, size_t Lo, size_t... K>
inline void ReduceTerms(Acc& acc, const Limb* u, const Limb* m, std::index_sequence<K...>) {
  ((acc.Add(u[Lo + K], m[I - Lo - K])), ...);
}

template <size_t N, size_t I>
inline void SqrColumn(Acc& acc, const Limb* a, Limb* u, const Limb* m, Limb minv, Limb* t) {
  constexpr size_t lo = I < N ? 0 : I - N + 1;
  constexpr size_t cross = (I + 1) / 2 > lo ? (I + 1) / 2 - lo : 0;
  Acc c;
  CrossTerms<I, lo>(c, a, std::make_index_sequence<cross>{});
  acc.AddDouble(c);
  if constexpr (I % 2 == 0) acc.Add(a[I / 2], a[I / 2]);
  constexpr size_t uhi = I < N ? I : N;
  ReduceTerms<I, lo>(acc, u, m, std::make_index_sequence<uhi - lo>{});
  if constexpr (I < N) {
    u[I] = acc.low() * minv;
    acc.Add(u[I], m[0]);
    acc.Shift();
  } else {
    t[I - N] = acc.Shift();
  }
}

template <size_t N, size_t... I>
inline void SqrColumns(Acc& acc, const Limb* a, Limb* u, const Limb* m, Limb minv, Limb* t,
                       std::index_sequence<I...>) {
  (SqrColumn<N, I>(acc, a, u, m, minv, t), ...);
}

template <size_t N>
void MontSqr(Limb* r, const Limb* a, const Limb* m, Limb minv, size_t) {
  Limb u[N], t[N];
  Acc acc;
  SqrColumns<N>(acc, a, u, m, minv, t, std::make_index_sequence<2 * N - 1>{});
  t[N - 1] = acc.Shift();
  FinalSubtract<N>(r, t, acc.low(), m, N);
}

}  // namespace unrolled

struct Kernel {
  size_t n;
  void (*mul)(Limb*, const Limb*, const Limb*, const Limb*, Limb, size_t);
  void (*sqr)(Limb*, const Limb*, const Limb*, Limb, size_t);
};

// Sizes of the usual moduli (RSA and DH primes and their CRT halves) get unrolled kernels.
constexpr Kernel kKernels[] = {
    {4, &MontMul<4>, &MontSqr<4>},     {8, &unrolled::MontMul<8>, &unrolled::MontSqr<8>},     {12, &MontMul<12>, &MontSqr<12>},
    {16, &unrolled::MontMul<16>, &unrolled::MontSqr<16>},  {24, &MontMul<24>, &MontSqr<24>},  {32, &MontMul<32>, &MontSqr<32>},
    {48, &MontMul<48>, &MontSqr<48>},  {64, &MontMul<64>, &MontSqr<64>},
};

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
  mul_ = &MontMul<0>;
  sqr_ = &MontSqr<0>;
  for (const Kernel& k : kKernels) {
    if (k.n == n) {
      mul_ = k.mul;
      sqr_ = k.sqr;
    }
  }
  return kOk;
}

void MontgomeryContext::Mul(Limb* r, const Limb* a, const Limb* b) const {
  mul_(r, a, b, m_.limbs().data(), m0inv_, n_);
}

void MontgomeryContext::Sqr(Limb* r, const Limb* a) const { sqr_(r, a, m_.limbs().data(), m0inv_, n_); }

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
  Limb one[kMaxLimbs] = {1};
  Limb r[kMaxLimbs];
  Mul(r, a, one);
  out.SetLimbs(r, n_, 1);
}

void MontgomeryContext::Exp(const BigNumber& b, const BigNumber& e, bool secret, BigNumber& out,
                            int exp_bits) const {
  const size_t n = n_;
  const int ebits = e.BitLength();
  LimbVector acc(n);
  if (ebits == 0) {
    BigNumber::Mod(BigNumber::One(), m_, out);
    return;
  }
  const bool f4 = !secret && ebits == 17 && e.limbs()[0] == 0x10001;
  const int walk_bits = exp_bits > 0 ? exp_bits : m_.BitLength();
  int w = f4 ? 1 : WindowFor(secret && walk_bits > ebits ? walk_bits : ebits);
  // A secret walk reads the whole table at every window: beyond 16 entries that costs more than
  // the multiplications it saves.
  if (secret && w > 4) w = 4;
  const size_t entries = static_cast<size_t>(1) << w;
  LimbVector table(n * entries);
  ToMont(BigNumber::One(), table.data());
  ToMont(b, table.data() + n);
  for (size_t i = 2; i < entries; ++i) Mul(table.data() + i * n, table.data() + (i - 1) * n, table.data() + n);

  int bits = ebits;
  if (secret && bits < walk_bits) bits = walk_bits;
  const int windows = (bits + w - 1) / w;
  LimbVector pick(n);
  for (int k = windows - 1; k >= 0; --k) {
    if (k != windows - 1) {
      for (int s = 0; s < w; ++s) Sqr(acc.data(), acc.data());
    }
    const unsigned idx = ExponentBits(e.limbs(), k * w, w);
    if (secret) {
      Limb* p = pick.data();
      std::memset(p, 0, n * sizeof(Limb));
      for (size_t i = 0; i < entries; ++i) {
        const Limb mask = limb::IsZeroMask(static_cast<Limb>(i ^ idx));
        const Limb* src = table.data() + i * n;
        for (size_t j = 0; j < n; ++j) p[j] |= src[j] & mask;
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
