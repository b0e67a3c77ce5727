#include "crypto/pubkey/big_number.h"

#include <cstring>

#include "crypto/pubkey/montgomery.h"

namespace tw {

namespace {

// Unsigned magnitude helpers over normalised limb vectors.
int CmpMag(const LimbVector& a, const LimbVector& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return limb::Cmp(a.data(), b.data(), a.size());
}

void AddMag(const LimbVector& a, const LimbVector& b, LimbVector& r) {
  const LimbVector& big = a.size() >= b.size() ? a : b;
  const LimbVector& small = a.size() >= b.size() ? b : a;
  LimbVector out(big.size() + 1);
  Limb c = limb::AddN(out.data(), big.data(), small.data(), small.size());
  for (size_t i = small.size(); i < big.size(); ++i) {
    DLimb s = static_cast<DLimb>(big[i]) + c;
    out[i] = static_cast<Limb>(s);
    c = static_cast<Limb>(s >> 64);
  }
  out[big.size()] = c;
  r.swap(out);
}

// r = a - b for a >= b.
void SubMag(const LimbVector& a, const LimbVector& b, LimbVector& r) {
  LimbVector out(a.size());
  Limb borrow = limb::SubN(out.data(), a.data(), b.data(), b.size());
  for (size_t i = b.size(); i < a.size(); ++i) {
    DLimb d = static_cast<DLimb>(a[i]) - borrow;
    out[i] = static_cast<Limb>(d);
    borrow = static_cast<Limb>(d >> 64) & 1;
  }
  r.swap(out);
}

void Trim(LimbVector& v) {
  while (!v.empty() && v.back() == 0) v.pop_back();
}

// Knuth's algorithm D over 64-bit limbs: q = u / v, r = u % v for v non-zero.
void DivMag(const LimbVector& u, const LimbVector& v, LimbVector* q, LimbVector* r) {
  if (CmpMag(u, v) < 0) {
    if (q) q->clear();
    if (r) *r = u;
    return;
  }
  const size_t n = v.size();
  const size_t m = u.size() - n;
  if (n == 1) {
    LimbVector qv(u.size());
    Limb rem = 0;
    for (size_t i = u.size(); i-- > 0;) {
      DLimb num = (static_cast<DLimb>(rem) << 64) | u[i];
      qv[i] = static_cast<Limb>(num / v[0]);
      rem = static_cast<Limb>(num % v[0]);
    }
    Trim(qv);
    if (q) q->swap(qv);
    if (r) {
      r->assign(1, rem);
      Trim(*r);
    }
    return;
  }
  const int s = __builtin_clzll(v[n - 1]);
  LimbVector vn(n), un(u.size() + 1);
  for (size_t i = n; i-- > 0;) vn[i] = (v[i] << s) | (s && i ? v[i - 1] >> (64 - s) : 0);
  un[u.size()] = s ? u[u.size() - 1] >> (64 - s) : 0;
  for (size_t i = u.size(); i-- > 0;) un[i] = (u[i] << s) | (s && i ? u[i - 1] >> (64 - s) : 0);
  LimbVector qv(m + 1);
  const DLimb base = static_cast<DLimb>(1) << 64;
  for (size_t j = m + 1; j-- > 0;) {
    const DLimb num = (static_cast<DLimb>(un[j + n]) << 64) | un[j + n - 1];
    DLimb qhat = num / vn[n - 1];
    DLimb rhat = num % vn[n - 1];
    while (qhat >= base ||
           qhat * vn[n - 2] > ((rhat << 64) | un[j + n - 2])) {
      --qhat;
      rhat += vn[n - 1];
      if (rhat >= base) break;
    }
    // un[j..j+n] -= qhat * vn
    Limb borrow = 0, carry = 0;
    for (size_t i = 0; i < n; ++i) {
      const DLimb p = qhat * vn[i] + carry;
      carry = static_cast<Limb>(p >> 64);
      const DLimb t = static_cast<DLimb>(un[i + j]) - static_cast<Limb>(p) - borrow;
      un[i + j] = static_cast<Limb>(t);
      borrow = static_cast<Limb>(t >> 64) & 1;
    }
    const DLimb t = static_cast<DLimb>(un[j + n]) - carry - borrow;
    un[j + n] = static_cast<Limb>(t);
    if (static_cast<Limb>(t >> 64) & 1) {
      // The estimate was one too large: add the divisor back.
      --qhat;
      const Limb c = limb::AddN(un.data() + j, un.data() + j, vn.data(), n);
      un[j + n] += c;
    }
    qv[j] = static_cast<Limb>(qhat);
  }
  Trim(qv);
  if (q) q->swap(qv);
  if (r) {
    LimbVector rv(n);
    for (size_t i = 0; i < n; ++i) rv[i] = (un[i] >> s) | (s && i + 1 < n + 1 ? un[i + 1] << (64 - s) : 0);
    Trim(rv);
    r->swap(rv);
  }
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

const BigNumber& BigNumber::One() {
  static const BigNumber one(1);
  return one;
}

const BigNumber& BigNumber::Zero() {
  static const BigNumber zero;
  return zero;
}

void BigNumber::Normalize() {
  Trim(mag_);
  if (mag_.empty()) sign_ = 0;
}

void BigNumber::SetZero() {
  mag_.clear();
  sign_ = 0;
}

void BigNumber::SetLimbs(const Limb* limbs, size_t n, int sign) {
  mag_.assign(limbs, limbs + n);
  sign_ = sign < 0 ? -1 : 1;
  Normalize();
}

void BigNumber::SetBytes(const void* bytes, int n, int sign) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (!p || n < 0) n = 0;
  LimbVector v((static_cast<size_t>(n) + 7) / 8);
  for (int i = 0; i < n; ++i) {
    const size_t bit = static_cast<size_t>(n - 1 - i) * 8;
    v[bit / 64] |= static_cast<Limb>(p[i]) << (bit % 64);
  }
  mag_.swap(v);
  sign_ = sign < 0 ? -1 : 1;
  Normalize();
}

void BigNumber::SetTwosComplement(const void* bytes, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (!p || n <= 0 || p[0] < 0x80) {
    SetBytes(bytes, n, 1);
    return;
  }
  // Magnitude of a negative value: invert and add one.
  ByteString inv;
  inv.Resize(n);
  for (int i = 0; i < n; ++i) inv.bytes()[i] = static_cast<uint8_t>(~p[i]);
  BigNumber m;
  m.SetBytes(inv.data(), n, 1);
  Add(m, One(), m);
  mag_.swap(m.mag_);
  sign_ = -1;
}

void BigNumber::SetInt64(int64_t v) {
  mag_.clear();
  if (v == 0) {
    sign_ = 0;
    return;
  }
  sign_ = v < 0 ? -1 : 1;
  mag_.push_back(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
}

void BigNumber::SetWords(const uint32_t* words, int count, int sign) {
  mag_.assign((static_cast<size_t>(count < 0 ? 0 : count) + 1) / 2, 0);
  for (int i = 0; i < count; ++i) {
    const size_t bit = static_cast<size_t>(count - 1 - i) * 32;
    mag_[bit / 64] |= static_cast<Limb>(words[i]) << (bit % 64);
  }
  sign_ = sign < 0 ? -1 : 1;
  Normalize();
}

void BigNumber::SetDigits(const char* text, int radix) {
  SetZero();
  if (!text || radix < 2 || radix > 32) return;
  while (*text == '0') ++text;
  LimbVector v;
  for (const char* c = text; *c; ++c) {
    const int d = DigitValue(*c);
    if (d >= radix) {
      SetZero();
      return;
    }
    Limb carry = limb::Mul1(v.data(), v.data(), v.size(), static_cast<Limb>(radix));
    if (carry) v.push_back(carry);
    Limb add = static_cast<Limb>(d);
    for (size_t i = 0; i < v.size() && add; ++i) {
      v[i] += add;
      add = v[i] < add ? 1 : 0;
    }
    if (add) v.push_back(add);
  }
  mag_.swap(v);
  sign_ = 1;
  Normalize();
}

int BigNumber::SetRandomBits(int bits, RandomSource& random) {
  SetZero();
  if (bits < 1) return kErrInvalidArgument;
  LimbVector v((static_cast<size_t>(bits) + 63) / 64);
  const int rc = random.Fill(v.data(), static_cast<int>(v.size() * sizeof(Limb)));
  if (rc != kOk) return rc;
  const int top = (bits - 1) % 64;
  v.back() &= top == 63 ? ~static_cast<Limb>(0) : ((static_cast<Limb>(1) << (top + 1)) - 1);
  v.back() |= static_cast<Limb>(1) << top;
  mag_.swap(v);
  sign_ = 1;
  return kOk;
}

int BigNumber::BitLength() const {
  if (mag_.empty()) return 0;
  int bits = static_cast<int>((mag_.size() - 1) * 64) + limb::BitLength(mag_.back());
  if (sign_ < 0) {
    // -2^k needs one bit less than its magnitude in two's complement.
    bool power = (mag_.back() & (mag_.back() - 1)) == 0;
    for (size_t i = 0; power && i + 1 < mag_.size(); ++i) power = mag_[i] == 0;
    if (power) --bits;
  }
  return bits;
}

uint32_t BigNumber::WordFromLow(int k) const {
  if (k < 0) return 0;
  const size_t li = static_cast<size_t>(k) / 2;
  if (sign_ >= 0) return li < mag_.size() ? static_cast<uint32_t>(mag_[li] >> (32 * (k % 2))) : 0;
  // Two's complement: ~(|a| - 1).
  BigNumber m1;
  BigNumber abs = *this;
  abs.sign_ = 1;
  Sub(abs, One(), m1);
  const uint32_t w = li < m1.mag_.size() ? static_cast<uint32_t>(m1.mag_[li] >> (32 * (k % 2))) : 0;
  return ~w;
}

bool BigNumber::TestBit(int k) const {
  if (k < 0) return false;
  return (WordFromLow(k / 32) >> (k % 32)) & 1;
}

int BigNumber::LowestSetBit() const {
  for (size_t i = 0; i < mag_.size(); ++i) {
    if (mag_[i]) return static_cast<int>(i * 64) + __builtin_ctzll(mag_[i]);
  }
  return -1;
}

int BigNumber::CompareMagnitude(const BigNumber& other) const { return CmpMag(mag_, other.mag_); }

int BigNumber::Compare(const BigNumber& other) const {
  if (sign_ != other.sign_) return sign_ < other.sign_ ? -1 : 1;
  const int c = CmpMag(mag_, other.mag_);
  return sign_ < 0 ? -c : c;
}

int BigNumber::ToMagnitude(ByteString& out, int width) const {
  const int bits = mag_.empty() ? 0 : static_cast<int>((mag_.size() - 1) * 64) + limb::BitLength(mag_.back());
  const int len = (bits + 7) / 8;
  const int total = len < width ? width : len;
  int rc = out.Resize(0);
  if (rc == kOk) rc = out.Resize(total);
  if (rc != kOk) return rc;
  uint8_t* d = out.bytes();
  std::memset(d, 0, static_cast<size_t>(total));
  for (int i = 0; i < len; ++i) {
    const size_t bit = static_cast<size_t>(i) * 8;
    d[total - 1 - i] = static_cast<uint8_t>(mag_[bit / 64] >> (bit % 64));
  }
  return kOk;
}

int BigNumber::ToBytes(ByteString& out) const {
  const int n = BitLength() / 8 + 1;
  int rc = ToMagnitude(out, n);
  if (rc != kOk || sign_ >= 0) return rc;
  // Two's complement of the magnitude over n bytes.
  uint8_t* d = out.bytes();
  int carry = 1;
  for (int i = n - 1; i >= 0; --i) {
    const int v = static_cast<uint8_t>(~d[i]) + carry;
    d[i] = static_cast<uint8_t>(v);
    carry = v >> 8;
  }
  return kOk;
}

void BigNumber::AddSigned(const BigNumber& a, const BigNumber& b, int b_sign, BigNumber& out) {
  BigNumber r;
  if (b_sign == 0) {
    r = a;
  } else if (a.sign_ == 0) {
    r = b;
    r.sign_ = b_sign;
  } else if (a.sign_ == b_sign) {
    AddMag(a.mag_, b.mag_, r.mag_);
    r.sign_ = a.sign_;
  } else {
    const int c = CmpMag(a.mag_, b.mag_);
    if (c == 0) {
      out.SetZero();
      return;
    }
    if (c > 0) {
      SubMag(a.mag_, b.mag_, r.mag_);
      r.sign_ = a.sign_;
    } else {
      SubMag(b.mag_, a.mag_, r.mag_);
      r.sign_ = b_sign;
    }
  }
  r.Normalize();
  out.Swap(r);
}

void BigNumber::Add(const BigNumber& a, const BigNumber& b, BigNumber& out) { AddSigned(a, b, b.sign_, out); }

void BigNumber::Sub(const BigNumber& a, const BigNumber& b, BigNumber& out) { AddSigned(a, b, -b.sign_, out); }

void BigNumber::Mul(const BigNumber& a, const BigNumber& b, BigNumber& out) {
  if (a.sign_ == 0 || b.sign_ == 0) {
    out.SetZero();
    return;
  }
  if (&a == &b) {
    Sqr(a, out);
    return;
  }
  BigNumber r;
  r.mag_.resize(a.mag_.size() + b.mag_.size());
  limb::Mul(r.mag_.data(), a.mag_.data(), a.mag_.size(), b.mag_.data(), b.mag_.size());
  r.sign_ = a.sign_ * b.sign_;
  r.Normalize();
  out.Swap(r);
}

void BigNumber::Sqr(const BigNumber& a, BigNumber& out) {
  if (a.sign_ == 0) {
    out.SetZero();
    return;
  }
  BigNumber r;
  r.mag_.resize(2 * a.mag_.size());
  limb::Sqr(r.mag_.data(), a.mag_.data(), a.mag_.size());
  r.sign_ = 1;
  r.Normalize();
  out.Swap(r);
}

void BigNumber::ShiftLeft(const BigNumber& a, int bits, BigNumber& out) {
  if (bits < 0) {
    ShiftRight(a, -bits, out);
    return;
  }
  if (a.sign_ == 0) {
    out.SetZero();
    return;
  }
  const size_t limbs = static_cast<size_t>(bits) / 64;
  const int s = bits % 64;
  BigNumber r;
  r.mag_.assign(a.mag_.size() + limbs + 1, 0);
  for (size_t i = 0; i < a.mag_.size(); ++i) {
    r.mag_[i + limbs] |= a.mag_[i] << s;
    if (s) r.mag_[i + limbs + 1] = a.mag_[i] >> (64 - s);
  }
  r.sign_ = a.sign_;
  r.Normalize();
  out.Swap(r);
}

void BigNumber::ShiftRight(const BigNumber& a, int bits, BigNumber& out) {
  if (bits < 0) {
    ShiftLeft(a, -bits, out);
    return;
  }
  if (a.sign_ < 0) {
    // Floor division by 2^bits: -(((|a| - 1) >> bits) + 1).
    BigNumber m = a;
    m.sign_ = 1;
    Sub(m, One(), m);
    ShiftRight(m, bits, m);
    Add(m, One(), m);
    m.sign_ = -1;
    out.Swap(m);
    return;
  }
  const size_t limbs = static_cast<size_t>(bits) / 64;
  if (limbs >= a.mag_.size()) {
    out.SetZero();
    return;
  }
  const int s = bits % 64;
  BigNumber r;
  r.mag_.assign(a.mag_.size() - limbs, 0);
  for (size_t i = 0; i < r.mag_.size(); ++i) {
    r.mag_[i] = a.mag_[i + limbs] >> s;
    if (s && i + limbs + 1 < a.mag_.size()) r.mag_[i] |= a.mag_[i + limbs + 1] << (64 - s);
  }
  r.sign_ = 1;
  r.Normalize();
  out.Swap(r);
}

int BigNumber::DivMod(const BigNumber& a, const BigNumber& b, BigNumber* q, BigNumber* r) {
  if (b.sign_ == 0) return kErrDivideByZero;
  BigNumber qq, rr;
  DivMag(a.mag_, b.mag_, &qq.mag_, &rr.mag_);
  qq.sign_ = a.sign_ * b.sign_;
  rr.sign_ = a.sign_;
  qq.Normalize();
  rr.Normalize();
  if (q) q->Swap(qq);
  if (r) r->Swap(rr);
  return kOk;
}

int BigNumber::Mod(const BigNumber& a, const BigNumber& m, BigNumber& out) {
  if (m.sign_ <= 0) return kErrModulusNotPositive;
  BigNumber r;
  DivMod(a, m, nullptr, &r);
  if (r.sign_ < 0) Add(r, m, r);
  out.Swap(r);
  return kOk;
}

uint32_t BigNumber::RemWord(const BigNumber& a, uint32_t w) {
  if (w == 0) return 0;
  uint64_t r = 0;
  for (size_t i = a.mag_.size(); i-- > 0;) {
    r = ((r << 32) | (a.mag_[i] >> 32)) % w;
    r = ((r << 32) | (a.mag_[i] & 0xffffffffu)) % w;
  }
  return static_cast<uint32_t>(r);
}

int BigNumber::Pow(const BigNumber& a, int e, BigNumber& out) {
  if (e < 0) return kErrNegativeExponent;
  BigNumber result(1), base = a;
  while (e) {
    if (e & 1) Mul(result, base, result);
    e >>= 1;
    if (e) Sqr(base, base);
  }
  out.Swap(result);
  return kOk;
}

int BigNumber::ModExpPlain(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out) {
  if (m.sign_ <= 0) return kErrModulusNotPositive;
  if (e.sign_ < 0) return kErrNegativeExponent;
  BigNumber result, base;
  Mod(One(), m, result);
  Mod(b, m, base);
  const int bits = e.BitLength();
  for (int i = 0; i < bits; ++i) {
    if (e.TestBit(i)) {
      Mul(result, base, result);
      Mod(result, m, result);
    }
    if (i + 1 < bits) {
      Sqr(base, base);
      Mod(base, m, base);
    }
  }
  out.Swap(result);
  return kOk;
}

int BigNumber::ModExp(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out) {
  if (m.sign_ <= 0) return kErrModulusNotPositive;
  if (e.sign_ == 0 || m.IsOne()) {
    Mod(One(), m, out);
    return kOk;
  }
  if (b.IsOne()) {
    out = One();
    return kOk;
  }
  if (b.sign_ == 0 && e.sign_ > 0) {
    out.SetZero();
    return kOk;
  }
  BigNumber base, exp = e;
  if (e.sign_ < 0) {
    int rc = ModInverse(b, m, base);
    if (rc != kOk) return rc;
    exp.sign_ = 1;
  } else {
    Mod(b, m, base);
  }
  if (!m.IsEven()) {
    MontgomeryContext ctx;
    if (ctx.Init(m) != kOk) return ModExpPlain(base, exp, m, out);
    ctx.Exp(base, exp, false, out);
    return kOk;
  }
  // m = m1 * 2^p: the odd part by Montgomery, the power of two by truncated squaring, then CRT.
  const int p = m.LowestSetBit();
  BigNumber m1, a1, a2, pow2;
  ShiftRight(m, p, m1);
  ShiftLeft(One(), p, pow2);
  if (!m1.IsOne()) {
    int rc = ModExp(base, exp, m1, a1);
    if (rc != kOk) return rc;
  }
  ModExpPlain(base, exp, pow2, a2);
  if (m1.IsOne()) {
    out.Swap(a2);
    return kOk;
  }
  // Garner: a1 + m1 * ((a2 - a1) * m1^{-1} mod 2^p).
  BigNumber inv, h;
  int rc = ModInverse(m1, pow2, inv);
  if (rc != kOk) return rc;
  Sub(a2, a1, h);
  Mul(h, inv, h);
  Mod(h, pow2, h);
  Mul(h, m1, h);
  Add(h, a1, h);
  out.Swap(h);
  return kOk;
}

int BigNumber::ModExpSecret(const BigNumber& b, const BigNumber& e, const BigNumber& m, BigNumber& out,
                            int exp_bits) {
  if (m.sign_ <= 0) return kErrModulusNotPositive;
  if (e.sign_ < 0) return kErrNegativeExponent;
  MontgomeryContext ctx;
  if (m.IsEven() || m.IsOne() || ctx.Init(m) != kOk) return ModExp(b, e, m, out);
  BigNumber base;
  Mod(b, m, base);
  ctx.Exp(base, e, true, out, exp_bits);
  return kOk;
}

int BigNumber::ModInverse(const BigNumber& a, const BigNumber& m, BigNumber& out) {
  if (m.sign_ <= 0) return kErrModulusNotPositive;
  if (m.IsOne()) {
    out.SetZero();
    return kOk;
  }
  BigNumber r0 = m, r1, t0, t1(1), q, r, t;
  Mod(a, m, r1);
  while (r1.sign_ != 0) {
    DivMod(r0, r1, &q, &r);
    r0.Swap(r1);
    r1.Swap(r);
    Mul(q, t1, t);
    Sub(t0, t, t);
    t0.Swap(t1);
    t1.Swap(t);
  }
  if (!r0.IsOne()) return kErrNoInverse;
  return Mod(t0, m, out);
}

}  // namespace tw
