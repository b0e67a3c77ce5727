#include "crypto/pubkey/montgomery.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <tuple>

#include "crypto/symmetric/cpu_features.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::ToHex;

// Sizes either side of each kernel switch: scalar below 512 bits and above 4158, radix 2^52 in
// between (where the processor has it) with one to ten 8-lane groups; the fixed-size 64-bit
// kernels at 512 to 4096 bits, the looping ones at the others.
struct SizeCase {
  const char* name;
  int bits;
};

constexpr SizeCase kSizes[] = {{"256", 256}, {"512", 512},   {"1023", 1023}, {"1024", 1024}, {"1536", 1536},
                               {"2048", 2048}, {"3072", 3072}, {"4096", 4096}, {"4160", 4160}};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

BigNumber RandomBits(std::mt19937_64& rng, int bits, bool odd_top) {
  LimbVector v((static_cast<size_t>(bits) + 63) / 64);
  for (Limb& l : v) l = rng();
  if (bits % 64) v.back() &= (static_cast<Limb>(1) << (bits % 64)) - 1;
  if (odd_top) {
    v.back() |= static_cast<Limb>(1) << ((bits - 1) % 64);
    v[0] |= 1;
  }
  BigNumber n;
  n.SetLimbs(v.data(), v.size(), 1);
  return n;
}

// The radix 2^52 kernels where the processor has them, then the 64-bit kernels with MULX and
// ADCX/ADOX, and without.
struct Route {
  const char* name;
  uint32_t features;
};
constexpr Route kRoutes[] = {{"ifma", kCpuAll},
                             {"adx", kCpuAll & ~kCpuAvx512Ifma},
                             {"portable", kCpuAll & ~kCpuAdx & ~kCpuAvx512Ifma}};

class MontgomeryExpTest : public ::testing::TestWithParam<std::tuple<Route, SizeCase>> {
 protected:
  void SetUp() override { SetCpuFeatureMask(std::get<0>(GetParam()).features); }
  void TearDown() override { SetCpuFeatureMask(kCpuAll); }
};

// Every path (secret, public, two moduli in lockstep, two bases jointly) against the plain
// square-and-multiply, for bases 0, 1, m-1 and random ones, long and short exponents.
TEST_P(MontgomeryExpTest, MatchesPlainExponentiation) {
  const int bits = std::get<1>(GetParam()).bits;
  std::mt19937_64 rng(static_cast<uint64_t>(bits));
  const BigNumber m = RandomBits(rng, bits, true), m2 = RandomBits(rng, bits, true);
  MontgomeryContext c, c2;
  ASSERT_EQ(c.Init(m), kOk);
  ASSERT_EQ(c2.Init(m2), kOk);
  BigNumber m1;
  BigNumber::Sub(m, BigNumber::One(), m1);
  const BigNumber bases[] = {BigNumber(), BigNumber::One(), m1, RandomBits(rng, bits - 1, false)};
  const BigNumber exps[] = {RandomBits(rng, bits, false), RandomBits(rng, 256, false), BigNumber()};
  for (const BigNumber& b : bases) {
    for (const BigNumber& e : exps) {
      SCOPED_TRACE(ToHex(b).substr(0, 16) + " ^ " + ToHex(e).substr(0, 16));
      const BigNumber b2 = RandomBits(rng, bits - 1, false), e2 = RandomBits(rng, 224, false);
      BigNumber want, want2, want_joint, secret, open, pair, pair2, joint;
      BigNumber::ModExpPlain(b, e, m, want);
      BigNumber::ModExpPlain(b2, e2, m2, want2);
      BigNumber::ModExpPlain(b2, e2, m, want_joint);
      BigNumber::Mul(want_joint, want, want_joint);
      BigNumber::Mod(want_joint, m, want_joint);
      c.Exp(b, e, true, secret);
      c.Exp(b, e, false, open);
      MontgomeryContext::ExpPair(c, b, e, c2, b2, e2, pair, pair2);
      c.Exp2(b, e, b2, e2, joint);
      EXPECT_EQ(ToHex(secret), ToHex(want));
      EXPECT_EQ(ToHex(open), ToHex(want));
      EXPECT_EQ(ToHex(pair), ToHex(want));
      EXPECT_EQ(ToHex(pair2), ToHex(want2));
      EXPECT_EQ(ToHex(joint), ToHex(want_joint));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MontgomeryExpTest,
                         ::testing::Combine(::testing::ValuesIn(kRoutes), ::testing::ValuesIn(kSizes)),
                         testsupport::CaseName{});

}  // namespace
}  // namespace tw
