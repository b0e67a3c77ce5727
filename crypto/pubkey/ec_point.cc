#include "crypto/pubkey/ec_point.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "crypto/pubkey/mont_field.h"
#include "crypto/pubkey/p256.h"
#include "crypto/pubkey/prime_field.h"
#include "foundation/byte_string.h"

namespace tw {
namespace {

constexpr int kWindow = 4;
constexpr int kTableSize = 1 << kWindow;

template <int N>
struct Pt {
  uint64_t X[N], Y[N], Z[N];
};

template <int N>
void Wipe(void* p, size_t n) {
  explicit_bzero(p, n);
}

template <int N>
class Group final : public EcGroup {
 public:
  using F = MontField<N>;

  bool Init(const EcCurveParams& c) {
    uint64_t p[N], n[N], t[N];
    if (!LimbsFromBytes<N>(p, c.p.bytes(), c.p.length()) || !(p[0] & 1)) return false;
    if (!LimbsFromBytes<N>(n, c.n.bytes(), c.n.length()) || !(n[0] & 1)) return false;
    f_.Init(p);
    s_.Init(n);
    field_bytes_ = (f_.bits + 7) / 8;
    order_bits_ = s_.bits;
    order_bytes_ = (s_.bits + 7) / 8;
    windows_ = (order_bits_ + kWindow - 1) / kWindow;
    if (!FieldFrom(a_, c.a.bytes(), c.a.length())) return false;
    if (!FieldFrom(b_, c.b.bytes(), c.b.length())) return false;
    f_.Add(t, b_, b_);
    f_.Add(b3_, t, b_);
    uint64_t three[N] = {3}, m3[N];
    f_.ToMont(m3, three);
    f_.Add(t, a_, m3);
    a_minus3_ = F::IsZeroMask(t) != 0;
    if (!FieldFrom(g_.X, c.gx.bytes(), c.gx.length()) || !FieldFrom(g_.Y, c.gy.bytes(), c.gy.length())) return false;
    std::memcpy(g_.Z, f_.one, sizeof(g_.Z));
    return true;
  }

  bool OnCurve(const uint8_t* x, const uint8_t* y) const override {
    uint64_t X[N], Y[N];
    if (!FieldFrom(X, x, field_bytes_) || !FieldFrom(Y, y, field_bytes_)) return false;
    return OnCurveMont(X, Y);
  }

  int MulSecret(const uint8_t* k, int klen, const uint8_t* px, const uint8_t* py, uint8_t* out,
                bool* infinity) const override {
    uint64_t kk[N];
    if (!LimbsFromBytes<N>(kk, k, klen)) return kErrEcPoint;
    Pt<N> r;
    if (!px) {
      BaseMul(r, kk, windows_);
    } else {
      Pt<N> p;
      if (!FieldFrom(p.X, px, field_bytes_) || !FieldFrom(p.Y, py, field_bytes_)) return kErrEcPoint;
      std::memcpy(p.Z, f_.one, sizeof(p.Z));
      // A scalar whose length allows more bits than the order has is walked over all of them:
      // the walk follows the length, never the value.
      const int kbits = 8 * klen < 64 * N ? 8 * klen : 64 * N;
      VarMul(r, p, kk, kbits > order_bits_ ? (kbits + kWindow - 1) / kWindow : windows_);
    }
    *infinity = ToAffine(r, out, out + field_bytes_);
    explicit_bzero(kk, sizeof(kk));
    explicit_bzero(&r, sizeof(r));
    return 0;
  }

  int ReduceScalar(const uint8_t* v, int vlen, uint8_t* out) const override {
    uint64_t wide[2 * N];
    if (!LimbsFromBytes<2 * N>(wide, v, vlen)) return kErrEcPoint;
    uint64_t r[N];
    ReduceWide(r, wide);
    LimbsToBytes<N>(out, order_bytes_, r);
    explicit_bzero(wide, sizeof(wide));
    explicit_bzero(r, sizeof(r));
    return 0;
  }

  int SignCore(const uint8_t* k, int klen, const uint8_t* d, int dlen, const uint8_t* e, int elen, uint8_t* r,
               uint8_t* s, bool* zero) const override {
    uint64_t kk[N], dd[N], ee[N], rr[N], km[N], kinv[N], dm[N], em[N], rm[N], t[N], sm[N], ss[N];
    uint64_t wide[2 * N];
    if (!LimbsFromBytes<2 * N>(wide, k, klen)) return kErrEcPoint;
    ReduceWide(kk, wide);
    if (!LimbsFromBytes<2 * N>(wide, d, dlen)) return kErrEcPoint;
    ReduceWide(dd, wide);
    if (!LimbsFromBytes<2 * N>(wide, e, elen)) return kErrEcPoint;
    ReduceWide(ee, wide);
    Pt<N> R;
    BaseMul(R, kk, windows_);
    std::vector<uint8_t> xy(2 * static_cast<size_t>(field_bytes_));
    const bool inf = ToAffine(R, xy.data(), xy.data() + field_bytes_);
    if (!LimbsFromBytes<2 * N>(wide, xy.data(), field_bytes_)) return kErrEcPoint;
    ReduceWide(rr, wide);
    s_.ToMont(km, kk);
    s_.Inv(kinv, km);
    s_.ToMont(dm, dd);
    s_.ToMont(em, ee);
    s_.ToMont(rm, rr);
    s_.Mul(t, dm, rm);
    s_.Add(t, t, em);
    s_.Mul(sm, kinv, t);
    s_.FromMont(ss, sm);
    // One verdict from all three without a branch between them: r and the infinity follow the nonce.
    *zero = ((static_cast<uint64_t>(inf) | F::IsZeroMask(rr) | F::IsZeroMask(ss)) != 0);
    LimbsToBytes<N>(r, order_bytes_, rr);
    LimbsToBytes<N>(s, order_bytes_, ss);
    for (auto* v : {kk, dd, km, kinv, dm, t, sm}) explicit_bzero(v, sizeof(kk));
    explicit_bzero(&R, sizeof(R));
    return 0;
  }

  bool VerifyCore(const uint8_t* e, int elen, const uint8_t* r, int rlen, const uint8_t* s, int slen,
                  const uint8_t* qx, const uint8_t* qy) const override {
    uint64_t rr[N], ss[N], ee[N], wide[2 * N], w[N], sm[N], u1[N], u2[N], t[N];
    if (!LimbsFromBytes<N>(rr, r, rlen) || !LimbsFromBytes<N>(ss, s, slen)) return false;
    if (F::IsZeroMask(rr) || F::IsZeroMask(ss) || !s_.Below(rr) || !s_.Below(ss)) return false;
    if (!LimbsFromBytes<2 * N>(wide, e, elen)) return false;
    ReduceWide(ee, wide);
    Pt<N> q;
    if (!FieldFrom(q.X, qx, field_bytes_) || !FieldFrom(q.Y, qy, field_bytes_) || !OnCurveMont(q.X, q.Y))
      return false;
    std::memcpy(q.Z, f_.one, sizeof(q.Z));
    s_.ToMont(sm, ss);
    s_.Inv(w, sm);
    s_.ToMont(t, ee);
    s_.Mul(u1, t, w);
    s_.FromMont(u1, u1);
    s_.ToMont(t, rr);
    s_.Mul(u2, t, w);
    s_.FromMont(u2, u2);
    Pt<N> a, b, sum;
    BaseMul(a, u1, windows_);
    VarMul(b, q, u2, windows_);
    Add(sum, a, b);
    std::vector<uint8_t> xy(2 * static_cast<size_t>(field_bytes_));
    if (ToAffine(sum, xy.data(), xy.data() + field_bytes_)) return false;
    uint64_t x[N];
    LimbsFromBytes<2 * N>(wide, xy.data(), field_bytes_);
    ReduceWide(x, wide);
    uint64_t diff = 0;
    for (int i = 0; i < N; ++i) diff |= x[i] ^ rr[i];
    return diff == 0;
  }

 private:
  // Big-endian bytes into Montgomery form; false unless the value is below p.
  bool FieldFrom(uint64_t* out, const uint8_t* b, int n) const {
    uint64_t v[N];
    if (!LimbsFromBytes<N>(v, b, n) || !f_.Below(v)) return false;
    f_.ToMont(out, v);
    return true;
  }
  bool OnCurveMont(const uint64_t* X, const uint64_t* Y) const {
    uint64_t l[N], r[N], t[N];
    f_.Sqr(l, Y);
    f_.Sqr(t, X);
    f_.Add(t, t, a_);
    f_.Mul(r, t, X);
    f_.Add(r, r, b_);
    f_.Sub(t, l, r);
    return F::IsZeroMask(t) != 0;
  }
  // v mod n for v below R^2: v = hi R + lo, so v mod n = (hi R mod n) + (lo mod n).
  void ReduceWide(uint64_t* out, const uint64_t* wide) const {
    uint64_t lo[N], hi[N];
    s_.ToMont(hi, wide + N);
    s_.ToMont(lo, wide);
    s_.FromMont(lo, lo);
    s_.Add(out, hi, lo);
  }
  // Affine big-endian coordinates; true (and zeros) for the identity.
  bool ToAffine(const Pt<N>& p, uint8_t* x, uint8_t* y) const {
    uint64_t zi[N], ax[N], ay[N];
    f_.Inv(zi, p.Z);
    f_.Mul(ax, p.X, zi);
    f_.Mul(ay, p.Y, zi);
    f_.FromMont(ax, ax);
    f_.FromMont(ay, ay);
    LimbsToBytes<N>(x, field_bytes_, ax);
    LimbsToBytes<N>(y, field_bytes_, ay);
    return F::IsZeroMask(p.Z) != 0;
  }
  void SetInfinity(Pt<N>& r) const {
    std::memset(r.X, 0, sizeof(r.X));
    std::memcpy(r.Y, f_.one, sizeof(r.Y));
    std::memset(r.Z, 0, sizeof(r.Z));
  }

  // Complete addition and doubling in projective coordinates (x = X/Z, y = Y/Z), valid for every
  // pair of points of an odd-order group, the identity included.
  void Add(Pt<N>& out, const Pt<N>& p, const Pt<N>& q) const {
    if (a_minus3_) return AddM3(out, p, q);
    uint64_t t0[N], t1[N], t2[N], t3[N], t4[N], t5[N], X3[N], Y3[N], Z3[N];
    const F& f = f_;
    f.Mul(t0, p.X, q.X);
    f.Mul(t1, p.Y, q.Y);
    f.Mul(t2, p.Z, q.Z);
    f.Add(t3, p.X, p.Y);
    f.Add(t4, q.X, q.Y);
    f.Mul(t3, t3, t4);
    f.Add(t4, t0, t1);
    f.Sub(t3, t3, t4);
    f.Add(t4, p.X, p.Z);
    f.Add(t5, q.X, q.Z);
    f.Mul(t4, t4, t5);
    f.Add(t5, t0, t2);
    f.Sub(t4, t4, t5);
    f.Add(t5, p.Y, p.Z);
    f.Add(X3, q.Y, q.Z);
    f.Mul(t5, t5, X3);
    f.Add(X3, t1, t2);
    f.Sub(t5, t5, X3);
    f.Mul(Z3, a_, t4);
    f.Mul(X3, b3_, t2);
    f.Add(Z3, X3, Z3);
    f.Sub(X3, t1, Z3);
    f.Add(Z3, t1, Z3);
    f.Mul(Y3, X3, Z3);
    f.Add(t1, t0, t0);
    f.Add(t1, t1, t0);
    f.Mul(t2, a_, t2);
    f.Mul(t4, b3_, t4);
    f.Add(t1, t1, t2);
    f.Sub(t2, t0, t2);
    f.Mul(t2, a_, t2);
    f.Add(t4, t4, t2);
    f.Mul(t0, t1, t4);
    f.Add(Y3, Y3, t0);
    f.Mul(t0, t5, t4);
    f.Mul(X3, t3, X3);
    f.Sub(X3, X3, t0);
    f.Mul(t0, t3, t1);
    f.Mul(Z3, t5, Z3);
    f.Add(Z3, Z3, t0);
    std::memcpy(out.X, X3, sizeof(X3));
    std::memcpy(out.Y, Y3, sizeof(Y3));
    std::memcpy(out.Z, Z3, sizeof(Z3));
  }
  void Dbl(Pt<N>& out, const Pt<N>& p) const {
    if (a_minus3_) return DblM3(out, p);
    uint64_t t0[N], t1[N], t2[N], t3[N], X3[N], Y3[N], Z3[N];
    const F& f = f_;
    f.Sqr(t0, p.X);
    f.Sqr(t1, p.Y);
    f.Sqr(t2, p.Z);
    f.Mul(t3, p.X, p.Y);
    f.Add(t3, t3, t3);
    f.Mul(Z3, p.X, p.Z);
    f.Add(Z3, Z3, Z3);
    f.Mul(X3, a_, Z3);
    f.Mul(Y3, b3_, t2);
    f.Add(Y3, X3, Y3);
    f.Sub(X3, t1, Y3);
    f.Add(Y3, t1, Y3);
    f.Mul(Y3, X3, Y3);
    f.Mul(X3, t3, X3);
    f.Mul(Z3, b3_, Z3);
    f.Mul(t2, a_, t2);
    f.Sub(t3, t0, t2);
    f.Mul(t3, a_, t3);
    f.Add(t3, t3, Z3);
    f.Add(Z3, t0, t0);
    f.Add(t0, Z3, t0);
    f.Add(t0, t0, t2);
    f.Mul(t0, t0, t3);
    f.Add(Y3, Y3, t0);
    f.Mul(t2, p.Y, p.Z);
    f.Add(t2, t2, t2);
    f.Mul(t0, t2, t3);
    f.Sub(X3, X3, t0);
    f.Mul(Z3, t2, t1);
    f.Add(Z3, Z3, Z3);
    f.Add(Z3, Z3, Z3);
    std::memcpy(out.X, X3, sizeof(X3));
    std::memcpy(out.Y, Y3, sizeof(Y3));
    std::memcpy(out.Z, Z3, sizeof(Z3));
  }

  // The same for a = -3, which saves the multiplications by a.
  void AddM3(Pt<N>& out, const Pt<N>& p, const Pt<N>& q) const {
    uint64_t t0[N], t1[N], t2[N], t3[N], t4[N], X3[N], Y3[N], Z3[N];
    const F& f = f_;
    f.Mul(t0, p.X, q.X);
    f.Mul(t1, p.Y, q.Y);
    f.Mul(t2, p.Z, q.Z);
    f.Add(t3, p.X, p.Y);
    f.Add(t4, q.X, q.Y);
    f.Mul(t3, t3, t4);
    f.Add(t4, t0, t1);
    f.Sub(t3, t3, t4);
    f.Add(t4, p.Y, p.Z);
    f.Add(X3, q.Y, q.Z);
    f.Mul(t4, t4, X3);
    f.Add(X3, t1, t2);
    f.Sub(t4, t4, X3);
    f.Add(X3, p.X, p.Z);
    f.Add(Y3, q.X, q.Z);
    f.Mul(X3, X3, Y3);
    f.Add(Y3, t0, t2);
    f.Sub(Y3, X3, Y3);
    f.Mul(Z3, b_, t2);
    f.Sub(X3, Y3, Z3);
    f.Add(Z3, X3, X3);
    f.Add(X3, X3, Z3);
    f.Sub(Z3, t1, X3);
    f.Add(X3, t1, X3);
    f.Mul(Y3, b_, Y3);
    f.Add(t1, t2, t2);
    f.Add(t2, t1, t2);
    f.Sub(Y3, Y3, t2);
    f.Sub(Y3, Y3, t0);
    f.Add(t1, Y3, Y3);
    f.Add(Y3, t1, Y3);
    f.Add(t1, t0, t0);
    f.Add(t0, t1, t0);
    f.Sub(t0, t0, t2);
    f.Mul(t1, t4, Y3);
    f.Mul(t2, t0, Y3);
    f.Mul(Y3, X3, Z3);
    f.Add(Y3, Y3, t2);
    f.Mul(X3, t3, X3);
    f.Sub(X3, X3, t1);
    f.Mul(Z3, t4, Z3);
    f.Mul(t1, t3, t0);
    f.Add(Z3, Z3, t1);
    std::memcpy(out.X, X3, sizeof(X3));
    std::memcpy(out.Y, Y3, sizeof(Y3));
    std::memcpy(out.Z, Z3, sizeof(Z3));
  }
  void DblM3(Pt<N>& out, const Pt<N>& p) const {
    uint64_t t0[N], t1[N], t2[N], t3[N], X3[N], Y3[N], Z3[N];
    const F& f = f_;
    f.Sqr(t0, p.X);
    f.Sqr(t1, p.Y);
    f.Sqr(t2, p.Z);
    f.Mul(t3, p.X, p.Y);
    f.Add(t3, t3, t3);
    f.Mul(Z3, p.X, p.Z);
    f.Add(Z3, Z3, Z3);
    f.Mul(Y3, b_, t2);
    f.Sub(Y3, Y3, Z3);
    f.Add(X3, Y3, Y3);
    f.Add(Y3, X3, Y3);
    f.Sub(X3, t1, Y3);
    f.Add(Y3, t1, Y3);
    f.Mul(Y3, X3, Y3);
    f.Mul(X3, X3, t3);
    f.Add(t3, t2, t2);
    f.Add(t2, t2, t3);
    f.Mul(Z3, b_, Z3);
    f.Sub(Z3, Z3, t2);
    f.Sub(Z3, Z3, t0);
    f.Add(t3, Z3, Z3);
    f.Add(Z3, Z3, t3);
    f.Add(t3, t0, t0);
    f.Add(t0, t3, t0);
    f.Sub(t0, t0, t2);
    f.Mul(t0, t0, Z3);
    f.Add(Y3, Y3, t0);
    f.Mul(t0, p.Y, p.Z);
    f.Add(t0, t0, t0);
    f.Mul(Z3, t0, Z3);
    f.Sub(X3, X3, Z3);
    f.Mul(Z3, t0, t1);
    f.Add(Z3, Z3, Z3);
    f.Add(Z3, Z3, Z3);
    std::memcpy(out.X, X3, sizeof(X3));
    std::memcpy(out.Y, Y3, sizeof(Y3));
    std::memcpy(out.Z, Z3, sizeof(Z3));
  }

  // Reads entry idx of a 16-entry table touching every entry.
  static void Lookup(Pt<N>& out, const Pt<N>* table, unsigned idx) {
    std::memset(&out, 0, sizeof(out));
    for (unsigned j = 0; j < kTableSize; ++j) {
      const uint64_t x = j ^ idx;
      const uint64_t mask = static_cast<uint64_t>(0) - static_cast<uint64_t>(((x | (0 - x)) >> 63) ^ 1);
      F::Select(out.X, table[j].X, mask);
      F::Select(out.Y, table[j].Y, mask);
      F::Select(out.Z, table[j].Z, mask);
    }
  }
  static unsigned Digit(const uint64_t* k, int w) {
    const int bit = w * kWindow;
    return static_cast<unsigned>((k[bit / 64] >> (bit % 64)) & (kTableSize - 1));
  }

  void VarMul(Pt<N>& r, const Pt<N>& p, const uint64_t* k, int windows) const {
    Pt<N> table[kTableSize];
    SetInfinity(table[0]);
    table[1] = p;
    for (int i = 2; i < kTableSize; ++i) {
      if (i % 2 == 0)
        Dbl(table[i], table[i / 2]);
      else
        Add(table[i], table[i - 1], p);
    }
    Pt<N> t;
    SetInfinity(r);
    for (int w = windows - 1; w >= 0; --w) {
      for (int i = 0; i < kWindow; ++i) Dbl(r, r);
      Lookup(t, table, Digit(k, w));
      Add(r, r, t);
    }
    explicit_bzero(table, sizeof(table));
    explicit_bzero(&t, sizeof(t));
  }

  // The base-point table: entry (w, j) = j 16^w G; made once, whatever thread comes first.
  const Pt<N>* BaseTable() const {
    std::call_once(table_once_, [this] {
      base_table_.resize(static_cast<size_t>(windows_) * kTableSize);
      Pt<N> step = g_;
      for (int w = 0; w < windows_; ++w) {
        Pt<N>* row = &base_table_[static_cast<size_t>(w) * kTableSize];
        SetInfinity(row[0]);
        row[1] = step;
        for (int j = 2; j < kTableSize; ++j) Add(row[j], row[j - 1], step);
        for (int i = 0; i < kWindow; ++i) Dbl(step, step);
      }
    });
    return base_table_.data();
  }
  void BaseMul(Pt<N>& r, const uint64_t* k, int windows) const {
    const Pt<N>* table = BaseTable();
    Pt<N> t;
    SetInfinity(r);
    for (int w = 0; w < windows; ++w) {
      Lookup(t, table + static_cast<size_t>(w) * kTableSize, Digit(k, w));
      Add(r, r, t);
    }
    explicit_bzero(&t, sizeof(t));
  }

  F f_, s_;
  uint64_t a_[N], b_[N], b3_[N];
  bool a_minus3_ = false;
  Pt<N> g_;
  int windows_ = 0;
  mutable std::once_flag table_once_;
  mutable std::vector<Pt<N>> base_table_;
};

template <int N>
std::unique_ptr<EcGroup> MakeGroupN(const EcCurveParams& c) {
  auto g = std::make_unique<Group<N>>();
  if (!g->Init(c)) return nullptr;
  return g;
}

std::unique_ptr<EcGroup> MakeGroup(const EcCurveParams& c) {
  if (c.field_kind != kFieldKindPrime || !c.p.length() || !c.a.length() || !c.b.length() || !c.n.length() ||
      !c.gx.length() || !c.gy.length())
    return nullptr;
  if (IsP256Params(c)) return MakeP256Group();  // its own field code and tables, whoever names it
  const int bits = c.FieldBits();
  int nbits = 0;
  for (int i = 0; i < c.n.length() && !nbits; ++i)
    if (c.n.bytes()[i]) nbits = 8 * (c.n.length() - i) - __builtin_clz(c.n.bytes()[i]) + 24;
  const int need = bits > nbits ? bits : nbits;
  if (need <= 256) return MakeGroupN<4>(c);
  if (need <= 384) return MakeGroupN<6>(c);
  if (need <= 576) return MakeGroupN<9>(c);
  return nullptr;
}

struct NamedGroups {
  std::unique_ptr<EcGroup> slot[5];
  NamedGroups() {
    for (int i = 0; i < 5; ++i)
      if (const EcCurveParams* c = NamedCurveParams(i)) slot[i] = MakeGroup(*c);
  }
};

}  // namespace

const EcGroup* EcGroupFor(const EcCurveParams& params, std::unique_ptr<EcGroup>& holder) {
  if (params.named_id >= 0 && params.named_id < 5) {
    static const NamedGroups groups;  // made once, safely across threads
    if (const EcCurveParams* c = NamedCurveParams(params.named_id); c == &params || (c && c->p.Equals(params.p) &&
                                                                                      c->gx.Equals(params.gx)))
      return groups.slot[params.named_id].get();
  }
  holder = MakeGroup(params);
  return holder.get();
}

}  // namespace tw

namespace tw {
namespace {

int ToBytesOf(const WideInt& v, int width, ByteString& out) { return WideIntToBytes(v, width, out); }

// x^3 + a x + b mod p.
int CurveRhs(const WideInt& x, const WideInt& a, const WideInt& b, const WideInt& p, int field_id, WideInt& out) {
  WideInt t;
  if (int rc = MulModField(x, x, p, field_id, t)) return rc;
  if (int rc = WideAdd(t, a, t)) return rc;
  if (int rc = WideMod(t, p, t)) return rc;
  if (int rc = MulModField(t, x, p, field_id, t)) return rc;
  if (int rc = WideAdd(t, b, t)) return rc;
  return WideMod(t, p, out);
}

}  // namespace

int EcScalarMulPrime(const WideInt& px, const WideInt& py, const WideInt& p, const WideInt& a, const WideInt& k,
                     int field_id, WideInt& x, WideInt& y) {
  // b follows from the point: y^2 - x^3 - a x.
  WideInt b, rhs0, y2, zero;
  if (int rc = CurveRhs(px, a, zero, p, field_id, rhs0)) return rc;
  if (int rc = MulModField(py, py, p, field_id, y2)) return rc;
  if (int rc = FieldSub(y2, rhs0, p, b)) return rc;
  const int width = (p.BitLength() + 7) / 8;
  EcCurveParams c;
  c.field_kind = kFieldKindPrime;
  c.field_id = kFieldGenericPrime;
  if (int rc = ToBytesOf(p, width, c.p)) return rc;
  WideInt am;
  if (int rc = WideMod(a, p, am)) return rc;
  if (ToBytesOf(am, width, c.a) || ToBytesOf(b, width, c.b) || ToBytesOf(px, width, c.gx) ||
      ToBytesOf(py, width, c.gy))
    return kErrEcPoint;
  c.n.Assign(c.p);  // no order is known here: the scalar is walked over its full width
  std::unique_ptr<EcGroup> holder;
  const EcGroup* g = EcGroupFor(c, holder);
  if (!g) return kErrEcPoint;
  ByteString kb;
  if (int rc = WideIntToBytes(k, 4 * k.count(), kb)) return rc;
  std::vector<uint8_t> out(2 * static_cast<size_t>(width));
  bool inf = false;
  if (int rc = g->MulSecret(kb.bytes(), kb.length(), c.gx.bytes(), c.gy.bytes(), out.data(), &inf)) return rc;
  WipeBytes(kb.data(), static_cast<size_t>(kb.length()));
  if (int rc = WideIntFromBytes(x, out.data(), width)) return rc;
  return WideIntFromBytes(y, out.data() + width, width);
}

int EcAffineAdd(const WideInt& x1, const WideInt& y1, bool inf1, const WideInt& x2, const WideInt& y2, bool inf2,
                const WideInt& p, const WideInt& a, int field_id, WideInt& x3, WideInt& y3, bool* inf3) {
  *inf3 = false;
  if (inf1 || inf2) {
    *inf3 = inf1 && inf2;
    x3 = inf1 ? x2 : x1;
    y3 = inf1 ? y2 : y1;
    if (*inf3) x3.SetZero(), y3.SetZero();
    return 0;
  }
  WideInt lambda, num, den, t;
  if (x1.Equals(x2)) {
    WideInt sum;
    if (int rc = FieldAdd(y1, y2, p, sum)) return rc;
    if (sum.IsZero()) {  // P + (-P), and the doubling of a point with y = 0
      x3.SetZero();
      y3.SetZero();
      *inf3 = true;
      return 0;
    }
    if (int rc = MulModField(x1, x1, p, field_id, t)) return rc;
    if (int rc = FieldAdd(t, t, p, num)) return rc;
    if (int rc = FieldAdd(num, t, p, num)) return rc;
    if (int rc = FieldAdd(num, a, p, num)) return rc;
    if (int rc = FieldAdd(y1, y1, p, den)) return rc;
  } else {
    if (int rc = FieldSub(y2, y1, p, num)) return rc;
    if (int rc = FieldSub(x2, x1, p, den)) return rc;
  }
  if (int rc = FieldInverse(den, p, t)) return rc;
  if (int rc = MulModField(num, t, p, field_id, lambda)) return rc;
  WideInt x;
  if (int rc = MulModField(lambda, lambda, p, field_id, x)) return rc;
  if (int rc = FieldSub(x, x1, p, x)) return rc;
  if (int rc = FieldSub(x, x2, p, x)) return rc;
  if (int rc = FieldSub(x1, x, p, t)) return rc;
  if (int rc = MulModField(lambda, t, p, field_id, t)) return rc;
  if (int rc = FieldSub(t, y1, p, y3)) return rc;
  x3 = x;
  return 0;
}

bool EcModSqrt(const WideInt& v, const WideInt& p, WideInt& r) {
  WideInt e, one, t, check;
  one.SetZero();
  one.AddWord(1);
  WideInt vv;
  if (WideMod(v, p, vv)) return false;
  if (vv.IsZero()) {
    r.SetZero();
    return true;
  }
  const uint32_t low = p.word(0);
  if ((low & 3) == 3) {
    e = p;
    e.AddWord(1);
    e.ShiftRight(2);
    if (WideModPow(vv, e, p, r)) return false;
  } else if ((low & 7) == 5) {
    // Atkin: t = (2v)^((p-5)/8), i = 2 v t^2, r = v t (i - 1).
    WideInt two_v, i;
    if (FieldAdd(vv, vv, p, two_v)) return false;
    e = p;
    e.ShiftRight(3);
    if (WideModPow(two_v, e, p, t)) return false;
    if (MulModField(t, t, p, 0x6100, i) || MulModField(i, two_v, p, 0x6100, i)) return false;
    if (FieldSub(i, one, p, i) || MulModField(vv, t, p, 0x6100, r) || MulModField(r, i, p, 0x6100, r)) return false;
  } else {
    // Tonelli-Shanks: p - 1 = q 2^s.
    WideInt q = p, z, c, x, b, tt;
    q.ClearBit(0);
    int s = 0;
    while (!q.TestBit(0)) {
      q.ShiftRight(1);
      ++s;
    }
    WideInt half = p;
    half.ShiftRight(1);
    z.SetZero();
    z.AddWord(2);
    for (;;) {
      if (WideModPow(z, half, p, t)) return false;
      if (!t.Equals(one)) break;
      z.AddWord(1);
    }
    if (WideModPow(z, q, p, c)) return false;
    WideInt q1 = q;
    q1.AddWord(1);
    q1.ShiftRight(1);
    if (WideModPow(vv, q1, p, x) || WideModPow(vv, q, p, tt)) return false;
    int m = s;
    while (!tt.Equals(one)) {
      int i = 0;
      WideInt t2 = tt;
      while (!t2.Equals(one) && i < m) {
        if (MulModField(t2, t2, p, 0x6100, t2)) return false;
        ++i;
      }
      if (i >= m) return false;
      b = c;
      for (int j = 0; j < m - i - 1; ++j)
        if (MulModField(b, b, p, 0x6100, b)) return false;
      if (MulModField(x, b, p, 0x6100, x) || MulModField(b, b, p, 0x6100, c) || MulModField(tt, c, p, 0x6100, tt))
        return false;
      m = i;
    }
    r = x;
  }
  if (MulModField(r, r, p, 0x6100, check)) return false;
  return check.Equals(vv);
}

bool EcDecompressY(int bit, const WideInt& x, const WideInt& a, const WideInt& b, const WideInt& p, int field_id,
                   WideInt& y) {
  WideInt rhs, r;
  if (x.CompareMagnitude(p) >= 0) return false;
  if (CurveRhs(x, a, b, p, field_id, rhs)) return false;
  if (!EcModSqrt(rhs, p, r)) return false;
  if (static_cast<int>(r.word(0) & 1) == (bit & 1) || r.IsZero()) {
    y = r;
    return true;
  }
  return WideSub(p, r, y) == 0;
}

}  // namespace tw
