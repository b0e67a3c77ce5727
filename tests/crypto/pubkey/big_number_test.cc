#include "crypto/pubkey/big_number.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <sstream>

#include "crypto/pubkey/wide_int.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::FromHex;
using testing_pk::HexOf;
using testing_pk::ToHex;

// One line per case: "op a b m"; the oracle prints the expected result, or ERR.
constexpr const char* kOracle = R"PY(
import sys
def h(s): return int(s, 16)
def trunc(a, b):
    q = abs(a) // abs(b)
    if (a < 0) != (b < 0): q = -q
    return q, a - q * b
def fmt(v): return ('-' if v < 0 else '') + format(abs(v), 'x')
for line in sys.stdin:
    op, a, b, m = line.split()
    a, b, m = h(a), h(b), h(m)
    if op == 'mul': r = fmt(a * b)
    elif op == 'div':
        q, rem = trunc(a, b); r = fmt(q) + '/' + fmt(rem)
    elif op == 'mod': r = fmt(a % m)
    elif op == 'add': r = fmt(a + b)
    elif op == 'sub': r = fmt(a - b)
    elif op == 'shl': r = fmt(a << b)
    elif op == 'shr': r = fmt(a >> b)
    elif op == 'inv':
        try: r = fmt(pow(a, -1, m))
        except ValueError: r = 'ERR'
    elif op == 'exp': r = fmt(pow(a, b, m))
    elif op == 'bytes':
        n = a.bit_length() if a >= 0 else (-a - 1).bit_length()
        r = (a % (1 << (8 * (n // 8 + 1)))).to_bytes(n // 8 + 1, 'big').hex()
    print(r)
)PY";

std::string Compute(const std::string& op, const BigNumber& a, const BigNumber& b, const BigNumber& m) {
  BigNumber r, q;
  if (op == "mul") BigNumber::Mul(a, b, r);
  if (op == "add") BigNumber::Add(a, b, r);
  if (op == "sub") BigNumber::Sub(a, b, r);
  if (op == "shl") BigNumber::ShiftLeft(a, static_cast<int>(b.limbs()[0]), r);
  if (op == "shr") BigNumber::ShiftRight(a, static_cast<int>(b.limbs()[0]), r);
  if (op == "mod") BigNumber::Mod(a, m, r);
  if (op == "div") {
    BigNumber::DivMod(a, b, &q, &r);
    return ToHex(q) + "/" + ToHex(r);
  }
  if (op == "inv" && BigNumber::ModInverse(a, m, r) != kOk) return "ERR";
  if (op == "exp") {
    BigNumber::ModExp(a, b, m, r);
    if (!m.IsEven() && (BigNumber::ModExpSecret(a, b, m, q) != kOk || !q.Equals(r))) return "secret path differs";
  }
  if (op == "bytes") {
    ByteString out;
    a.ToBytes(out);
    return HexOf(out);
  }
  return ToHex(r);
}

TEST(BigNumberTest, RandomDifferentialAgainstPython) {
  std::mt19937_64 rng(18);
  std::ostringstream in;
  std::vector<std::string> ops;
  const char* kOps[] = {"mul", "div", "mod", "add", "sub", "shl", "shr", "inv", "exp", "bytes"};
  for (int i = 0; i < 1500; ++i) {
    const std::string op = kOps[i % 10];
    const int al = 1 + static_cast<int>(rng() % 9), bl = 1 + static_cast<int>(rng() % 6);
    std::string a = testing_pk::ShapedHex(rng, al), b = testing_pk::ShapedHex(rng, bl);
    std::string m = testing_pk::ShapedHex(rng, 1 + static_cast<int>(rng() % 5));
    if (rng() % 3 == 0 && op != "exp" && op != "inv") a = "-" + a;
    if (rng() % 3 == 0 && (op == "div" || op == "mul")) b = "-" + b;
    if (op == "shl" || op == "shr") b = std::to_string(rng() % 200 + 1), b = ToHex(BigNumber(std::stoll(b)));
    if (op == "exp") {
      b = testing_pk::ShapedHex(rng, 1 + static_cast<int>(rng() % 3));
      const int kind = i % 3;  // odd, even, or a power of two
      BigNumber mm = FromHex(m);
      if (kind == 0 && mm.IsEven()) BigNumber::Add(mm, BigNumber::One(), mm);
      if (kind == 1) BigNumber::ShiftLeft(mm, 1 + static_cast<int>(rng() % 70), mm);
      if (kind == 2) BigNumber::ShiftLeft(BigNumber::One(), 1 + static_cast<int>(rng() % 300), mm);
      m = ToHex(mm);
    }
    ops.push_back(op + " " + a + " " + b + " " + m);
    in << ops.back() << "\n";
  }
  std::vector<std::string> want;
  TW_PYTHON_OR_SKIP(kOracle, in.str(), &want);
  ASSERT_EQ(want.size(), ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    std::istringstream f(ops[i]);
    std::string op, a, b, m;
    f >> op >> a >> b >> m;
    EXPECT_EQ(Compute(op, FromHex(a), FromHex(b), FromHex(m)), want[i]) << ops[i];
  }
}

struct EdgeCase {
  const char* what;
  std::function<std::string()> run;
  const char* want;
};

std::string Code(int rc, const BigNumber& r) { return rc ? std::to_string(rc) : ToHex(r); }

const EdgeCase kEdges[] = {
    {"ToBytes 0x80", [] { ByteString b; BigNumber(0x80).ToBytes(b); return HexOf(b); }, "0080"},
    {"ToBytes 0", [] { ByteString b; BigNumber().ToBytes(b); return HexOf(b); }, "00"},
    {"empty bytes", [] { BigNumber n(5); n.SetBytes("", 0); return std::to_string(n.sign()); }, "0"},
    {"two's complement FF", [] { BigNumber n; n.SetTwosComplement("\xff", 1); return ToHex(n); }, "-1"},
    {"two's complement FF 7F", [] { BigNumber n; n.SetTwosComplement("\xff\x7f", 2); return ToHex(n); }, "-81"},
    {"exp 0 mod 1", [] { BigNumber r(9); return Code(BigNumber::ModExp(BigNumber(5), BigNumber(), BigNumber(1), r), r); }, "0"},
    {"negative modulus", [] { BigNumber r; return Code(BigNumber::ModExp(BigNumber(5), BigNumber(3), BigNumber(-7), r), r); }, "2003"},
    {"negative exponent", [] { BigNumber r; return Code(BigNumber::ModExp(BigNumber(3), BigNumber(-1), BigNumber(7), r), r); }, "5"},
    {"divide by zero", [] { BigNumber q; return std::to_string(BigNumber::DivMod(BigNumber(5), BigNumber(), &q, nullptr)); }, "2001"},
    {"self divide", [] { BigNumber q, r; BigNumber a = FromHex("123456789abcdef0123456789"); BigNumber::DivMod(a, a, &q, &r); return ToHex(q) + ToHex(r); }, "10"},
    {"inverse 2 mod 4", [] { BigNumber r; return Code(BigNumber::ModInverse(BigNumber(2), BigNumber(4), r), r); }, "2002"},
    {"inverse mod 1", [] { BigNumber r(3); return Code(BigNumber::ModInverse(BigNumber(7), BigNumber(1), r), r); }, "0"},
    {"pow negative", [] { BigNumber r; return Code(BigNumber::Pow(BigNumber(2), -1, r), r); }, "2004"},
    {"pow", [] { BigNumber r; return Code(BigNumber::Pow(BigNumber(3), 41, r), r); }, "1fa2a1cf67b5fb863"},
    {"radix 36 refused", [] { BigNumber n(4); n.SetDigits("10", 36); return ToHex(n); }, "0"},
    {"radix 32", [] { BigNumber n; n.SetDigits("00vV", 32); return ToHex(n); }, "3ff"},
    {"bad digit", [] { BigNumber n; n.SetDigits("12a", 10); return ToHex(n); }, "0"},
    {"0 random bits", [] { BigNumber n; RandomSource rs; return std::to_string(n.SetRandomBits(0, rs)); }, "202"},
    {"bit length -128", [] { return std::to_string(BigNumber(-128).BitLength()); }, "7"},
    {"test bit of -2", [] { BigNumber n(-2); return std::to_string(n.TestBit(0)) + std::to_string(n.TestBit(70)); }, "01"},
    {"words", [] { const uint32_t w[] = {1, 2, 3}; BigNumber n; n.SetWords(w, 3, -1); return ToHex(n) + ":" + std::to_string(n.WordFromLow(0)); }, "-10000000200000003:4294967293"},
    {"65537 matches plain", [] {
       BigNumber m = FromHex("c3a5d2f1e0b7a9c8d6e4f2a1b3c5d7e9f1a3b5c7d9e1f3a5b7c9d1e3f5a7b9c1d3e5f7a9b1c3d5e7f9a1b3c5d7e9f1a3b5c7d9e1f3");
       BigNumber b = FromHex("123456789abcdef"), r1, r2;
       BigNumber::ModExp(b, BigNumber(65537), m, r1);
       BigNumber::ModExpPlain(b, BigNumber(65537), m, r2);
       BigNumber r3;
       BigNumber::ModExpSecret(b, BigNumber(65537), m, r3);
       return std::to_string(r1.Equals(r2) && r2.Equals(r3));
     }, "1"},
};

class BigNumberEdgeTest : public ::testing::TestWithParam<EdgeCase> {};
TEST_P(BigNumberEdgeTest, Gives) { EXPECT_EQ(GetParam().run(), GetParam().want) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Edges, BigNumberEdgeTest, ::testing::ValuesIn(kEdges),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

}  // namespace
}  // namespace tw

namespace tw {
namespace {

struct WideCase {
  const char* what;
  std::function<std::string()> run;
  const char* want;
};

std::string WideHex(const WideInt& w) {
  std::string s;
  char buf[9];
  for (int i = w.count() - 1; i >= 0; --i) {
    snprintf(buf, sizeof(buf), "%08x", w.word(i));
    s += buf;
  }
  return (w.non_negative() ? "" : "-") + s;
}

const WideCase kWide[] = {
    {"fresh", [] { WideInt w; return WideHex(w) + std::to_string(w.count()); }, "000000001"},
    {"shift to 384 words refused", [] {
       WideInt w; w.SetBit(32 * 380);
       const int rc = w.ShiftLeft(32 * 3);
       return std::to_string(rc) + ":" + std::to_string(w.BitLength());
     }, "20480:12161"},
    {"shift to 383 words", [] { WideInt w; w.SetBit(0); const int rc = w.ShiftLeft(32 * 382 + 31); return std::to_string(rc) + ":" + std::to_string(w.count()); }, "0:383"},
    {"add word carries out of full", [] {
       WideInt w; for (int i = 0; i < 32 * 384; ++i) w.SetBit(i);
       return std::to_string(w.AddWord(1)) + ":" + std::to_string(w.BitLength());
     }, "20480:12288"},
    {"add word carry", [] { WideInt w; const uint8_t b[] = {0xff, 0xff, 0xff, 0xff}; w.SetBytesLittleEndian(b, 4); w.AddWord(1); return WideHex(w); }, "0000000100000000"},
    {"signed add", [] {
       WideInt a, b; a.SetBit(40); b.SetBit(0); b.set_non_negative(false);
       a.Add(b); return WideHex(a);
     }, "000000ffffffffff"},
    {"zero equals negative zero", [] { WideInt a, b; b.set_non_negative(false); return std::to_string(a.Equals(b)); }, "1"},
    {"shift right and clear", [] {
       WideInt w; w.SetBit(100); w.SetBit(3); w.ShiftRight(3); w.ClearBit(0); return WideHex(w);
     }, "00000002000000000000000000000000"},
    {"set bit beyond capacity", [] { WideInt w; return std::to_string(w.SetBit(32 * 384)); }, "20480"},
};

class WideIntTest : public ::testing::TestWithParam<WideCase> {};
TEST_P(WideIntTest, Gives) { EXPECT_EQ(GetParam().run(), GetParam().want) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Cases, WideIntTest, ::testing::ValuesIn(kWide),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

}  // namespace
}  // namespace tw
