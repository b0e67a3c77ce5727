#include "crypto/pubkey/prime_search.h"

#include <gtest/gtest.h>

#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::FromHex;
using testing_pk::ToHex;

struct PrimeCase {
  const char* hex;
  bool prime;
};

class IsProbablePrimeTest : public ::testing::TestWithParam<PrimeCase> {};

TEST_P(IsProbablePrimeTest, Answers) {
  RandomSource random;
  EXPECT_EQ(IsProbablePrime(FromHex(GetParam().hex), 100, random), GetParam().prime) << GetParam().hex;
}

INSTANTIATE_TEST_SUITE_P(
    Values, IsProbablePrimeTest,
    ::testing::Values(PrimeCase{"0", false}, PrimeCase{"1", false}, PrimeCase{"2", false},  // only odd primes
                      PrimeCase{"3", true}, PrimeCase{"-7", false}, PrimeCase{"231", false},  // 561, Carmichael
                      PrimeCase{"4b07", true},  // 19207, the first prime past the small table
                      PrimeCase{"a051", false},  // 41041, a Carmichael number past the table
                      PrimeCase{"1d5e5c1", false},  // 30841281, composite
                      // 2^127 - 1, and 2^127 + 1 (divisible by 3)
                      PrimeCase{"7fffffffffffffffffffffffffffffff", true},
                      PrimeCase{"80000000000000000000000000000001", false},
                      // 2^256 - 189 is prime; 2^256 - 187 is not
                      PrimeCase{"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff43", true},
                      PrimeCase{"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff45", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.hex[0] == '-' ? "minus" : "", p.hex, i.index); });

TEST(PrimeSearchTest, TrialCountsFollowTheSize) {
  const int cases[][3] = {{1024, 100, 4}, {99, 100, 100}, {99, 5, 5}, {255, 100, 43}, {256, 100, 30}, {767, 100, 16},
                          {1023, 100, 8}};
  for (const auto& c : cases) EXPECT_EQ(ProbablePrimeTrials(c[0], c[1]), c[2]) << c[0] << " bits";
}

// Every prime the searches give is checked by openssl prime.
void ExpectPrimeByOpenssl(const BigNumber& n) {
  if (!testsupport::HaveProgram("openssl")) {
    if (testsupport::UnderCi()) ADD_FAILURE() << "openssl required under CI=true";
    return;
  }
  const std::string out = testsupport::RunCommand("openssl prime -hex " + ToHex(n));
  EXPECT_NE(out.find("is prime"), std::string::npos) << out;
}

TEST(PrimeSearchTest, ExactSizesIncludingSmallOnes) {
  RandomSource random;
  for (int bits : {2, 3, 5, 16, 33, 64, 512}) {
    BigNumber p;
    ASSERT_EQ(ProbablePrime(bits, 100, random, p), kOk);
    EXPECT_EQ(p.BitLength(), bits);
    EXPECT_FALSE(p.IsEven());
    ExpectPrimeByOpenssl(p);
  }
  BigNumber p;
  EXPECT_EQ(ProbablePrime(1, 100, random, p), kErrInvalidArgument);
}

struct ProgressionCase {
  const char* start;
  const char* step;
  const char* end;
  bool found;
};

class ProgressionTest : public ::testing::TestWithParam<ProgressionCase> {};

TEST_P(ProgressionTest, FindsACongruentPrimeInRange) {
  const ProgressionCase& c = GetParam();
  RandomSource random;
  BigNumber x = FromHex(c.start), start = x, step = FromHex(c.step), end = FromHex(c.end);
  bool found = false;
  ASSERT_EQ(NextPrimeInProgression(x, end, step, random, &found), kOk);
  ASSERT_EQ(found, c.found);
  if (!found) return;
  EXPECT_LE(x.Compare(end), 0);
  EXPECT_GE(x.Compare(start), 0);
  BigNumber d, r;
  BigNumber::Sub(x, start, d);
  BigNumber::Mod(d, step, r);
  EXPECT_TRUE(r.IsZero()) << ToHex(x);
  ExpectPrimeByOpenssl(x);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ProgressionTest,
    ::testing::Values(
        // A step with small primes in it: those primes are skipped, not struck over every term.
        ProgressionCase{"b", "d2", "100000000000000000000", true},
        ProgressionCase{"3", "2", "3", true},              // a small prime itself is kept
        ProgressionCase{"10", "f", "ffffff", true},        // odd step, even start
        ProgressionCase{"fffffffffffffffffffffffffffffff1", "2", "ffffffffffffffffffffffffffffffff", false},
        ProgressionCase{"8000000000000000000000000000000000000000000000000000000000000001",
                        "fffffffffffffffffffffffffffffffe", "ffffffffffffffffffffffffffffffffffffffffffffffffffff"
                        "ffffffffffff", true},
        // Every term shares the factor 3 with the step: no prime, and no walk over the range.
        ProgressionCase{"9", "6", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
        ProgressionCase{"3", "6", "ffffffffffffffffffffffffffffffff", true}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.start, p.step, i.index); });

TEST(PrimeSearchTest, BadStepIsRefused) {
  RandomSource random;
  BigNumber x(5);
  bool found = true;
  EXPECT_EQ(NextPrimeInProgression(x, BigNumber(100), BigNumber(0), random, &found), kErrInvalidArgument);
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace tw
