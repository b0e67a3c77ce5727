// X25519 and X448 against the RFC 7748 vectors, the Wycheproof files and python3-cryptography;
// the field arithmetic against python3 integers; wrong lengths and small-order points.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;
using XFn = int (*)(const uint8_t*, int, const uint8_t*, int, uint8_t*, int);

struct Curve {
  const char* name;
  XFn fn;
  int bytes;
  uint8_t base;
  const char* pyModule;  // cryptography.hazmat.primitives.asymmetric.<module>
  const char* pyClass;
};

const Curve kX25519 = {"x25519", tw::X25519, 32, 9, "x25519", "X25519"};
const Curve kX448 = {"x448", tw::X448, 56, 5, "x448", "X448"};

std::string Base(const Curve& c) { return std::string(1, static_cast<char>(c.base)) + std::string(c.bytes - 1, '\0'); }

int Exchange(const Curve& c, const std::string& k, const std::string& u, std::string* out, int outLength = 0) {
  out->assign(outLength ? outLength : c.bytes, '\0');
  return c.fn(reinterpret_cast<const uint8_t*>(k.data()), static_cast<int>(k.size()),
              reinterpret_cast<const uint8_t*>(u.data()), static_cast<int>(u.size()),
              reinterpret_cast<uint8_t*>(out->data()), static_cast<int>(out->size()));
}

struct Kat {
  const Curve* curve;
  const char* scalar;
  const char* u;  // "" for the base point
  const char* out;
};

const Kat kKats[] = {
    {&kX25519, "a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
     "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
     "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
    {&kX25519, "4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
     "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
     "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
    {&kX25519, "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a", "",
     "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
    {&kX25519, "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb", "",
     "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
    {&kX25519, "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
     "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
     "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
    {&kX448,
     "3d262fddf9ec8e88495266fea19a34d28882acef045104d0d1aae121700a779c984c24f8cdd78fbff44943eba368f54b29259a4f1c600ad3",
     "06fce640fa3487bfda5f6cf2d5263f8aad88334cbd07437f020f08f9814dc031ddbdc38c19c6da2583fa5429db94ada18aa7a7fb4ef8a086",
     "ce3e4ff95a60dc6697da1db1d85e6afbdf79b50a2412d7546d5f239fe14fbaadeb445fc66a01b0779d98223961111e21766282f73dd96b6f"},
    {&kX448,
     "203d494428b8399352665ddca42f9de8fef600908e0d461cb021f8c538345dd77c3e4806e25f46d3315c44e0a5b4371282dd2c8d5be3095f",
     "0fbcc2f993cd56d3305b0b7d9e55d4c1a8fb5dbb52f8e9a1e9b6201b165d015894e56c4d3570bee52fe205e28a78b91cdfbde71ce8d157db",
     "884a02576239ff7a2f2f63b2db6a9ff37047ac13568e1e30fe63c4a7ad1b3ee3a5700df34321d62077e63633c575c1c954514e99da7c179d"},
    {&kX448,
     "9a8f4925d1519f5775cf46b04b5800d4ee9ee8bae8bc5565d498c28dd9c9baf574a9419744897391006382a6f127ab1d9ac2d8c0a598726b",
     "",
     "9b08f7cc31b7e3e67d22d5aea121074a273bd2b83de09c63faa73d2c22c5d9bbc836647241d953d40c5b12da88120d53177f80e532c41fa0"},
    {&kX448,
     "9a8f4925d1519f5775cf46b04b5800d4ee9ee8bae8bc5565d498c28dd9c9baf574a9419744897391006382a6f127ab1d9ac2d8c0a598726b",
     "3eb7a829b0cd20f5bcfc0b599b6feccf6da4627107bdb0d4f345b43027d8b972fc3e34fb4232a13ca706dcb57aec3dae07bdc1c67bf33609",
     "07fff4181ac6cc95ec1c16a94a0f74d12da232ce40a77552281d282bb60c0b56fd2464c335543936521c24403085d59a449a5037514a879d"},
};

class RfcVector : public ::testing::TestWithParam<Kat> {};

TEST_P(RfcVector, GivesTheExpectedOutput) {
  const Kat& v = GetParam();
  const std::string u = *v.u ? Unhex(v.u) : Base(*v.curve);
  std::string out;
  ASSERT_EQ(Exchange(*v.curve, Unhex(v.scalar), u, &out), 0);
  EXPECT_EQ(Hex(out.data(), out.size()), v.out);
}

INSTANTIATE_TEST_SUITE_P(Rfc7748, RfcVector, ::testing::ValuesIn(kKats),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.curve->name, *p.u ? "" : "base_point", i.index); });

struct Iterated {
  const Curve* curve;
  int rounds;
  const char* out;
};

const Iterated kIterated[] = {
    {&kX25519, 1, "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"},
    {&kX25519, 1000, "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"},
    {&kX448, 1,
     "3f482c8a9f19b01e6c46ee9711d9dc14fd4bf67af30765c2ae2b846a4d23a8cd0db897086239492caf350b51f833868b9bc2b3bca9cf4113"},
    {&kX448, 1000,
     "aa3b4749d55b9daf1e5b00288826c467274ce3ebbdd5c17b975e09d4af6c67cf10d087202db88286e2b79fceea3ec353ef54faa26e219f38"},
};

class IteratedVector : public ::testing::TestWithParam<Iterated> {};

// k and u start at the base point; each round k, u = X(k, u), k.
TEST_P(IteratedVector, ReachesTheExpectedValue) {
  const Iterated& v = GetParam();
  std::string k = Base(*v.curve), u = k, next;
  for (int i = 0; i < v.rounds; ++i) {
    ASSERT_EQ(Exchange(*v.curve, k, u, &next), 0);
    u = k;
    k = next;
  }
  EXPECT_EQ(Hex(k.data(), k.size()), v.out);
}

INSTANTIATE_TEST_SUITE_P(Rfc7748, IteratedVector, ::testing::ValuesIn(kIterated),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.curve->name, p.rounds, "rounds"); });

class CurveTest : public ::testing::TestWithParam<const Curve*> {};

// valid: the shared secret; acceptable: the shared secret, or the zero-result refusal when that
// secret is all zero; invalid (a 57-byte X448 key): the length error.
TEST_P(CurveTest, WycheproofVerdicts) {
  const Curve& c = *GetParam();
  const std::string script = R"(
import json, sys
d = json.load(open(sys.stdin.readline().strip()))
for g in d['testGroups']:
    for t in g['tests']:
        print(t['tcId'], t['result'], t['private'], t['public'], t['shared'] or '-')
)";
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(script, testsupport::VectorsDir() + "/wycheproof/" + c.name + "_test.json\n", &lines);
  ASSERT_GT(lines.size(), 500u);
  for (const std::string& line : lines) {
    char id[16], verdict[16], priv[256], pub[256], shared[256];
    ASSERT_EQ(sscanf(line.c_str(), "%15s %15s %255s %255s %255s", id, verdict, priv, pub, shared), 5) << line;
    std::string out;
    const int rc = Exchange(c, Unhex(priv), Unhex(pub), &out);
    const std::string want = shared[0] == '-' ? "" : Unhex(shared);
    if (std::string(verdict) == "invalid") {
      EXPECT_EQ(rc, tw::kErrCurveLength) << "tcId " << id;
    } else if (want == std::string(c.bytes, '\0')) {
      EXPECT_EQ(rc, tw::kErrCurveZeroResult) << "tcId " << id;
    } else {
      EXPECT_EQ(rc, 0) << "tcId " << id;
      EXPECT_EQ(Hex(out.data(), out.size()), shared) << "tcId " << id;
    }
  }
}

// Random key pairs on both sides: our public keys and shared secrets equal the library's, and its
// exchange accepts our public keys.
TEST_P(CurveTest, AgreesWithPythonCryptography) {
  const Curve& c = *GetParam();
  const std::string script = std::string("from cryptography.hazmat.primitives.asymmetric import ") + c.pyModule +
                             " as m\nfrom cryptography.hazmat.primitives import serialization as s\n"
                             "import sys\nP, Q = m." + c.pyClass + "PrivateKey, m." + c.pyClass + "PublicKey\n" +
                             R"(
for line in sys.stdin:
    a, b = line.split()
    ka, kb = P.from_private_bytes(bytes.fromhex(a)), P.from_private_bytes(bytes.fromhex(b))
    pa = ka.public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw)
    pb = kb.public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw)
    print(pa.hex(), pb.hex(), kb.exchange(Q.from_public_bytes(pa)).hex())
)";
  std::vector<std::string> privs;
  std::string input;
  for (unsigned i = 0; i < 32; ++i) {
    privs.push_back(testsupport::RandomBytes(c.bytes, 7000 + i));
    input += Hex(privs.back().data(), c.bytes) + (i % 2 ? "\n" : " ");
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(script, input, &lines);
  ASSERT_EQ(lines.size(), 16u);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string pa, pb, shared;
    ASSERT_EQ(Exchange(c, privs[2 * i], Base(c), &pa), 0);
    ASSERT_EQ(Exchange(c, privs[2 * i + 1], Base(c), &pb), 0);
    ASSERT_EQ(Exchange(c, privs[2 * i], pb, &shared), 0);
    EXPECT_EQ(Hex(pa.data(), pa.size()) + " " + Hex(pb.data(), pb.size()) + " " + Hex(shared.data(), shared.size()),
              lines[i]);
  }
}

// Buffers other than exactly the curve's size give the length error before anything is computed.
TEST_P(CurveTest, WrongLengthsAreRefused) {
  const Curve& c = *GetParam();
  const std::string k(c.bytes, '\x11'), u = Base(c);
  std::string out;
  for (int delta : {-1, 1}) {
    const std::string shortOrLong(c.bytes + delta, '\x11');
    EXPECT_EQ(Exchange(c, shortOrLong, u, &out), tw::kErrCurveLength);
    EXPECT_EQ(Exchange(c, k, shortOrLong.substr(0, c.bytes + delta), &out), tw::kErrCurveLength);
    EXPECT_EQ(Exchange(c, k, u, &out, c.bytes + delta), tw::kErrCurveLength);
  }
  EXPECT_EQ(c.fn(nullptr, c.bytes, nullptr, c.bytes, nullptr, c.bytes), tw::kErrCurveLength);
}

// u = 0 and u = 1 have small order: the all-zero secret is reported, never handed out as success.
TEST_P(CurveTest, SmallOrderPointsGiveTheZeroResultCode) {
  const Curve& c = *GetParam();
  std::string out;
  for (char low : {'\0', '\1'}) {
    const std::string u = std::string(1, low) + std::string(c.bytes - 1, '\0');
    EXPECT_EQ(Exchange(c, std::string(c.bytes, '\x5a'), u, &out), tw::kErrCurveZeroResult);
    EXPECT_EQ(out, std::string(c.bytes, '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(Curves, CurveTest, ::testing::Values(&kX25519, &kX448),
                         [](const auto& info) { return std::string(info.param->name); });

// Encodings of the same residue give the same result: bit 255 of an X25519 u is ignored, and a
// value from p up to the top of the encoding works as its residue.
struct SameResidue {
  const Curve* curve;
  const char* a;
  const char* b;
};

const SameResidue kSameResidue[] = {
    {&kX25519, "0900000000000000000000000000000000000000000000000000000000000080",
     "0900000000000000000000000000000000000000000000000000000000000000"},
    {&kX25519, "f6ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p + 9
     "0900000000000000000000000000000000000000000000000000000000000000"},
    {&kX448,  // p + 5
     "04000000000000000000000000000000000000000000000000000000ffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "0500000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"},
};

class SameResidueTest : public ::testing::TestWithParam<SameResidue> {};

TEST_P(SameResidueTest, GivesTheSameSecret) {
  const SameResidue& v = GetParam();
  const std::string k = testsupport::RandomBytes(v.curve->bytes, 99);
  std::string a, b;
  ASSERT_EQ(Exchange(*v.curve, k, Unhex(v.a), &a), 0);
  ASSERT_EQ(Exchange(*v.curve, k, Unhex(v.b), &b), 0);
  EXPECT_EQ(a, b);
}

INSTANTIATE_TEST_SUITE_P(NonCanonical, SameResidueTest, ::testing::ValuesIn(kSameResidue),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.curve->name, i.index); });

}  // namespace
