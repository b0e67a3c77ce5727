// The field arithmetic of both curves against python3 integers, and the Edwards group and scalar
// arithmetic of Curve25519 against python3-cryptography's Ed25519 keys and python3 integers.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"
#include "crypto/pubkey/edwards25519.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::Hex;
using testsupport::RandomBytes;
using testsupport::Unhex;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// For each line "bits a b" (hex, little-endian): a b, a^2, a^-1, a - b, each canonical, and
// whether a read as it stands is below p.
const char kFieldOracle[] = R"(
import sys
for line in sys.stdin:
    bits, a, b = line.split()
    n = int(bits) // 8
    p = 2**255 - 19 if bits == '256' else 2**448 - 2**224 - 1
    x, y = int.from_bytes(bytes.fromhex(a), 'little'), int.from_bytes(bytes.fromhex(b), 'little')
    if n == 32: x, y = x % 2**255, y % 2**255
    e = lambda v: (v % p).to_bytes(n, 'little').hex()
    print(e(x * y), e(x * x), e(pow(x, -1, p) if x % p else 0), e(x - y), int(x < p))
)";

struct FieldOps {
  int bytes;
  std::string (*run)(const std::string& a, const std::string& b);
};

std::string Run25519(const std::string& a, const std::string& b) {
  tw::Fe25519 x, y, r;
  uint8_t out[32];
  std::string line;
  tw::Fe25519FromBytes(&x, U8(a), 32);
  tw::Fe25519FromBytes(&y, U8(b), 32);
  for (int op = 0; op < 4; ++op) {
    if (op == 0) tw::Fe25519Mul(&r, x, y);
    if (op == 1) tw::Fe25519Sq(&r, x);
    if (op == 2) tw::Fe25519Invert(&r, x);
    if (op == 3) tw::Fe25519Sub(&r, x, y);
    tw::Fe25519ToBytes(out, 32, r);
    line += Hex(out, 32) + " ";
  }
  // Canonical when the value read (bit 255 dropped) comes back unchanged.
  std::string read = a;
  read[31] = static_cast<char>(read[31] & 0x7f);
  tw::Fe25519ToBytes(out, 32, x);
  return line + (Hex(out, 32) == Hex(read.data(), 32) ? "1" : "0");
}

std::string Run448(const std::string& a, const std::string& b) {
  tw::Fe448 x, y, r;
  uint8_t out[56];
  std::string line;
  const int canonical = tw::Fe448Decode(&x, U8(a), 56);
  tw::Fe448Decode(&y, U8(b), 56);
  for (int op = 0; op < 4; ++op) {
    if (op == 0) tw::Fe448Mul(&r, x, y);
    if (op == 1) tw::Fe448Sq(&r, x);
    if (op == 2) tw::Fe448Invert(&r, x);
    if (op == 3) tw::Fe448Sub(&r, x, y);
    EXPECT_EQ(tw::Fe448Encode(out, 56, r), 0);
    line += Hex(out, 56) + " ";
  }
  return line + std::to_string(canonical);
}

class FieldTest : public ::testing::TestWithParam<FieldOps> {};

// Random values, p - 1, p, and the top of the encoding.
TEST_P(FieldTest, AgreesWithPythonIntegers) {
  const FieldOps& f = GetParam();
  std::vector<std::string> values = {std::string(f.bytes, '\xff'), std::string(f.bytes, '\0')};
  std::string p(f.bytes, '\xff');
  p[f.bytes == 32 ? 0 : 28] = static_cast<char>(f.bytes == 32 ? 0xed : 0xfe);
  if (f.bytes == 32) p[31] = 0x7f;
  values.push_back(p);
  p[0] = static_cast<char>(p[0] - 1);
  values.push_back(p);
  for (unsigned i = 0; i < 40; ++i) values.push_back(RandomBytes(f.bytes, 300 + i));
  std::string input;
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& b = values[(i * 7 + 3) % values.size()];
    input += std::to_string(f.bytes == 32 ? 256 : 448) + " " + Hex(values[i].data(), f.bytes) + " " +
             Hex(b.data(), f.bytes) + "\n";
  }
  std::vector<std::string> expect;
  TW_PYTHON_OR_SKIP(kFieldOracle, input, &expect);
  ASSERT_EQ(expect.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(f.run(values[i], values[(i * 7 + 3) % values.size()]), expect[i]) << "value " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, FieldTest, ::testing::Values(FieldOps{32, Run25519}, FieldOps{56, Run448}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.bytes, "bytes"); });

std::string Enc448(const tw::Fe448& f) {
  uint8_t out[56];
  tw::Fe448Encode(out, 56, f);
  return Hex(out, 56);
}

// The remaining field operations of Curve448, checked against the multiply and the inversion
// that the python comparison above covers.
TEST(Fe448, SquareRootsBatchInversionAndSigns) {
  tw::Fe448 x[10], batch[10], one, minusOne, t, u;
  tw::Fe448One(&one);
  tw::Fe448Neg(&minusOne, one);
  for (unsigned i = 0; i < 10; ++i) tw::Fe448Decode(&x[i], U8(RandomBytes(56, 40 + i)), 56);
  ASSERT_EQ(tw::Fe448BatchInvert(batch, x, 10), 0);
  for (unsigned i = 0; i < 10; ++i) {
    tw::Fe448Invert(&t, x[i]);
    EXPECT_EQ(Enc448(batch[i]), Enc448(t)) << i;
    tw::Fe448Sq(&t, x[i]);  // a square: its inverse root r has r^2 x^2 = 1
    ASSERT_EQ(tw::Fe448InverseSqrt(&u, t), 1);
    tw::Fe448Sq(&u, u);
    tw::Fe448Mul(&u, u, t);
    EXPECT_EQ(Enc448(u), Enc448(one));
    tw::Fe448Mul(&t, t, minusOne);  // -1 is no square mod p, so neither is -x^2
    EXPECT_EQ(tw::Fe448InverseSqrt(&u, t), 0);
    t = x[i];
    tw::Fe448CNeg(&t, 1);
    tw::Fe448Add(&t, t, x[i]);
    EXPECT_EQ(tw::Fe448IsZero(t), 1);
    tw::Fe448AddWord(&t, x[i], 7);
    tw::Fe448SubWord(&t, t, 7);
    tw::Fe448Bias(&t, 2);
    EXPECT_EQ(Enc448(t), Enc448(x[i]));
  }
  EXPECT_EQ(tw::Fe448IsNegative(one), 1);
  EXPECT_EQ(tw::Fe448IsNegative(minusOne), 0);
  tw::Fe448Zero(&x[3]);
  EXPECT_EQ(tw::Fe448BatchInvert(batch, x, 10), tw::kErrCurveRange);
}

// Ed25519 keys from python3-cryptography: s B encodes to the library's public key; the decoded
// (negated) key gives b B - a A by the double-scalar multiply, equal to ((b - a s) mod L) B; the
// scalar reduction and multiply-add agree with python3 integers.
TEST(Edwards25519, AgreesWithPythonEd25519AndIntegers) {
  const char script[] = R"(
import sys, hashlib
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.hazmat.primitives import serialization as s
L = 2**252 + 27742317777372353535851937790883648493
h = lambda v: (v % L).to_bytes(32, 'little').hex()
for line in sys.stdin:
    seed, r1, r2 = (bytes.fromhex(x) for x in line.split())
    d = bytearray(hashlib.sha512(seed).digest()[:32]); d[0] &= 248; d[31] &= 127; d[31] |= 64
    k = int.from_bytes(d, 'little')
    pub = ed25519.Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw)
    a, b = int.from_bytes(r1, 'little') % L, int.from_bytes(r2, 'little') % L
    print(bytes(d).hex(), pub.hex(), h(a), h(b), h(a * k + b), h(b - a * k))
)";
  std::string input;
  for (unsigned i = 0; i < 12; ++i) {
    input += Hex(RandomBytes(32, 500 + i).data(), 32) + " " + Hex(RandomBytes(64, 600 + i).data(), 64) + " " +
             Hex(RandomBytes(64, 700 + i).data(), 64) + "\n";
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(script, input, &lines);
  ASSERT_EQ(lines.size(), 12u);
  for (unsigned i = 0; i < lines.size(); ++i) {
    char k[65], pub[65], a[65], b[65], muladd[65], diff[65];
    ASSERT_EQ(sscanf(lines[i].c_str(), "%64s %64s %64s %64s %64s %64s", k, pub, a, b, muladd, diff), 6);
    std::string r1 = RandomBytes(64, 600 + i), sum(32, '\0');
    uint8_t enc[32], want[32];
    tw::Ge25519P3 point, negated;
    ASSERT_EQ(tw::Ge25519ScalarMultBase(&point, U8(Unhex(k)), 32), 0);
    tw::Ge25519P3ToBytes(enc, 32, point);
    EXPECT_EQ(Hex(enc, 32), pub);
    ASSERT_EQ(tw::Sc25519Reduce(reinterpret_cast<uint8_t*>(r1.data()), 64), 0);
    EXPECT_EQ(Hex(r1.data(), 32), a);
    ASSERT_EQ(tw::Sc25519MulAdd(reinterpret_cast<uint8_t*>(sum.data()), 32, U8(Unhex(a)), 32, U8(Unhex(k)), 32,
                                U8(Unhex(b)), 32),
              0);
    EXPECT_EQ(Hex(sum.data(), 32), muladd);
    ASSERT_EQ(tw::Ge25519FromBytesNegate(&negated, enc, 32), 1);
    tw::Ge25519P2 r;
    tw::Ge25519DoubleScalarMultVartime(&r, U8(Unhex(a)), negated, U8(Unhex(b)));
    tw::Ge25519P2ToBytes(enc, 32, r);
    tw::Ge25519ScalarMultBase(&point, U8(Unhex(diff)), 32);
    tw::Ge25519P3ToBytes(want, 32, point);
    EXPECT_EQ(Hex(enc, 32), Hex(want, 32));
  }
}

// y = 2 has no x on the curve; short buffers are refused.
TEST(Edwards25519, HostileInputIsRefused) {
  tw::Ge25519P3 p;
  tw::Ge25519P2 q = {};
  uint8_t s[64] = {2}, out[33];
  EXPECT_EQ(tw::Ge25519FromBytesNegate(&p, s, 32), 0);
  EXPECT_EQ(tw::Ge25519FromBytesNegate(&p, s, 31), 0);
  EXPECT_EQ(tw::Ge25519ScalarMultBase(&p, s, 31), tw::kErrCurveLength);
  EXPECT_EQ(tw::Ge25519P2ToBytes(out, 33, q), tw::kErrCurveLength);
  EXPECT_EQ(tw::Ge25519P3ToBytes(out, 31, p), tw::kErrCurveLength);
  EXPECT_EQ(tw::Sc25519Reduce(s, 63), tw::kErrCurveLength);
  EXPECT_EQ(tw::Sc25519MulAdd(out, 32, s, 32, s, 31, s, 32), tw::kErrCurveLength);
}

// The base point 9 takes the fixed-base road in X25519 and the ladder in X25519ScalarMult; both
// agree, also for scalars with the top bit set (clamping clears it), and the key record's
// derivation gives the same bytes.
TEST(X25519, BasePointRoadEqualsTheLadder) {
  const uint8_t nine[32] = {9};
  for (unsigned i = 0; i < 16; ++i) {
    std::string k = RandomBytes(32, 900 + i);
    if (i % 2) k[31] = static_cast<char>(k[31] | 0x80);
    uint8_t viaTable[32], viaLadder[32];
    ASSERT_EQ(tw::X25519(U8(k), 32, nine, 32, viaTable, 32), 0);
    ASSERT_EQ(tw::X25519ScalarMult(U8(k), 32, nine, 32, viaLadder, 32), 0);
    EXPECT_EQ(Hex(viaTable, 32), Hex(viaLadder, 32));
    tw::ByteString priv, pub;
    ASSERT_EQ(priv.SetData(32, k.data()), 0);
    ASSERT_EQ(tw::X25519PublicFromPrivate(priv, &pub), 0);
    EXPECT_EQ(Hex(pub.data(), pub.length()), Hex(viaTable, 32));
  }
  tw::ByteString shortKey, pub;
  ASSERT_EQ(shortKey.SetData(31, nine), 0);
  EXPECT_EQ(tw::X25519PublicFromPrivate(shortKey, &pub), tw::kErrCurve25519Key);
}

// Threads that reach the fixed-base table together (its first use when ctest runs this test in a
// process of its own) all get the ladder's results.
TEST(X25519, TableBuiltOnceAcrossThreads) {
  const uint8_t nine[32] = {9};
  std::string viaTable[8], viaLadder[8];
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const std::string k = RandomBytes(32, 1200 + i);
      viaTable[i].assign(32, '\0');
      tw::X25519(U8(k), 32, nine, 32, reinterpret_cast<uint8_t*>(viaTable[i].data()), 32);
    });
  }
  for (std::thread& t : threads) t.join();
  for (unsigned i = 0; i < 8; ++i) {
    const std::string k = RandomBytes(32, 1200 + i);
    viaLadder[i].assign(32, '\0');
    tw::X25519ScalarMult(U8(k), 32, nine, 32, reinterpret_cast<uint8_t*>(viaLadder[i].data()), 32);
    EXPECT_EQ(Hex(viaTable[i].data(), 32), Hex(viaLadder[i].data(), 32)) << i;
  }
}

}  // namespace
