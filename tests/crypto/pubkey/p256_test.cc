// The P-256 routes, the fixed-base table and the windowed walk over any point, against the generic
// prime-curve multiplication, on scalars at the edges of the order and of the signed windows; each
// on the MULX/ADX field code and on the portable code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "crypto/pubkey/ec_point.h"
#include "crypto/pubkey/prime_field.h"
#include "crypto/symmetric/cpu_features.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::HexOf;

struct ScalarCase {
  const char* name;
  const char* k;  // big-endian hex
};
const ScalarCase kScalars[] = {
    {"zero", "00"},
    {"one", "01"},
    {"two", "02"},
    {"order_minus_1", "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550"},
    {"order_minus_2", "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc63254f"},
    {"order_minus_17", "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632540"},
    {"half_order", "7fffffff800000007fffffffffffffffde737d56d38bcf4279dce5617e3192a8"},
    {"half_order_plus_1", "7fffffff800000007fffffffffffffffde737d56d38bcf4279dce5617e3192a9"},
    {"order", "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551"},
    {"all_ones_above_order", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"},
    {"top_window_sum_nearest_the_order", "e0000000ffffffff00000000000000004319055258e8617b0c46353d039cdaaf"},
    {"every_6_bit_window_negative", "8208208208208208208208208208208208208208208208208208208208208208"},
    {"every_5_bit_window_carries", "8421084210842108421084210842108421084210842108421084210842108421"},
    {"random_a", "d23f0824128b2f330c5c7fd0a6a3a4506513270e269e0d37f2a74de452e6b438"},
    {"random_b", "36f675cc81e74ef5e8e25d940ed904759531985d5d9dc9f81818e811892f902b"},
};

ByteString Bytes(const std::string& hex) {
  ByteString b;
  b.Set(testsupport::Unhex(hex).data(), static_cast<int>(hex.size() / 2));
  return b;
}

// x || y of k P by the generic walk (zeros for the identity).
std::string Generic(const ByteString& px, const ByteString& py, const ByteString& k) {
  const EcCurveParams& c = *CurveParams(kCurveP256);
  WideInt p, a, x, y, kw, gx, gy;
  WideIntFromBytes(p, c.p);
  WideIntFromBytes(a, c.a);
  WideIntFromBytes(gx, px);
  WideIntFromBytes(gy, py);
  WideIntFromBytes(kw, k);
  if (EcScalarMulPrime(gx, gy, p, a, kw, c.field_id, x, y)) return "fail";
  ByteString xb, yb;
  WideIntToBytes(x, 32, xb);
  WideIntToBytes(y, 32, yb);
  return HexOf(xb) + HexOf(yb) + (x.IsZero() && y.IsZero() ? " identity" : "");
}

std::string Fast(const EcGroup& g, const uint8_t* px, const uint8_t* py, const ByteString& k) {
  uint8_t out[64];
  bool inf = false;
  if (g.MulSecret(k.bytes(), k.length(), px, py, out, &inf)) return "fail";
  ByteString o;
  o.Set(out, 64);
  return HexOf(o) + (inf ? " identity" : "");
}

struct Route {
  const char* name;
  uint32_t features;
};
const Route kRoutes[] = {{"adx", kCpuAll}, {"portable", kCpuAll & ~kCpuAdx}};

class P256ScalarTest : public ::testing::TestWithParam<std::tuple<Route, ScalarCase>> {
 protected:
  void SetUp() override { SetCpuFeatureMask(std::get<0>(GetParam()).features); }
  void TearDown() override { SetCpuFeatureMask(kCpuAll); }
};
TEST_P(P256ScalarTest, TableAndWalkGiveTheGenericProduct) {
  const EcCurveParams& c = *CurveParams(kCurveP256);
  std::unique_ptr<EcGroup> holder;
  const EcGroup* g = EcGroupFor(c, holder);
  ASSERT_NE(g, nullptr);
  const ByteString k = Bytes(std::get<1>(GetParam()).k);
  const std::string want = Generic(c.gx, c.gy, k);
  EXPECT_EQ(Fast(*g, nullptr, nullptr, k), want);
  EXPECT_EQ(Fast(*g, c.gx.bytes(), c.gy.bytes(), k), want);
  // A point other than G: Q = 7 G.
  const std::string q = Generic(c.gx, c.gy, Bytes("07"));
  const ByteString qx = Bytes(q.substr(0, 64)), qy = Bytes(q.substr(64, 64));
  EXPECT_EQ(Fast(*g, qx.bytes(), qy.bytes(), k), Generic(qx, qy, k));
  // The signature with this nonce verifies against d G by the generic walk, and fails for e + 1.
  const ByteString d = Bytes(kScalars[13].k), e = Bytes(kScalars[14].k);  // random_a, random_b
  uint8_t r[32], s[32], e1[32];
  bool zero = true;
  ASSERT_EQ(g->SignCore(k.bytes(), k.length(), d.bytes(), d.length(), e.bytes(), e.length(), r, s, &zero), 0);
  if (zero) return;
  const std::string pub = Generic(c.gx, c.gy, d);
  const ByteString px = Bytes(pub.substr(0, 64)), py = Bytes(pub.substr(64, 64));
  EXPECT_TRUE(g->VerifyCore(e.bytes(), 32, r, 32, s, 32, px.bytes(), py.bytes()));
  std::memcpy(e1, e.bytes(), 32);
  e1[31] ^= 1;
  EXPECT_FALSE(g->VerifyCore(e1, 32, r, 32, s, 32, px.bytes(), py.bytes()));
}
INSTANTIATE_TEST_SUITE_P(Scalars, P256ScalarTest,
                         ::testing::Combine(::testing::ValuesIn(kRoutes), ::testing::ValuesIn(kScalars)),
                         testsupport::CaseName());

}  // namespace
}  // namespace tw
