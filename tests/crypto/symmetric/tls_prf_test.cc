#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/symmetric/tls_prf.h"
#include "tests/crypto/symmetric/hmac_kdf_test_support.h"

namespace {

using kdftest::Field;
using kdftest::Hex;
using kdftest::Unhex;
using tw::ByteString;

ByteString FromHex(const std::string& hex) {
  const auto bytes = Unhex(hex);
  ByteString s;
  s.Set(bytes.data(), static_cast<int>(bytes.size()));
  return s;
}

bool OpensslHasTlsPrf() {
  if (!testsupport::HaveProgram("openssl")) return false;
  int status = -1;
  testsupport::RunCommand(
      "openssl kdf -keylen 4 -kdfopt digest:SHA256 -kdfopt hexsecret:01 -kdfopt hexseed:02 TLS1-PRF >/dev/null 2>&1",
      "", &status);
  return status == 0;
}

std::string OpensslPrf(const char* digest, const std::string& secretHex, const std::string& seedHex, int length) {
  int status = -1;
  const std::string out = testsupport::RunCommand(std::string("openssl kdf -binary -keylen ") +
                                                      std::to_string(length) + " -kdfopt digest:" + digest +
                                                      " -kdfopt hexsecret:" + secretHex + " -kdfopt hexseed:" +
                                                      seedHex + " TLS1-PRF",
                                                  "", &status);
  return status == 0 ? Hex(out.data(), out.size()) : "";
}

using PrfFunction = int (*)(const ByteString&, const ByteString&, int, ByteString&);

struct PrfKind {
  const char* name;
  const char* openssl;
  PrfFunction prf;
};

const PrfKind kKinds[] = {
    {"Sha256", "SHA256", &tw::TlsPrfSha256},
    {"Sha384", "SHA384", &tw::TlsPrfSha384},
    {"Md5Sha1", "MD5-SHA1", &tw::TlsPrfMd5Sha1},
};

class TlsPrfAgainstOpenssl : public ::testing::TestWithParam<PrfKind> {};

TEST_P(TlsPrfAgainstOpenssl, SecretsSeedsAndLengths) {
  if (!OpensslHasTlsPrf()) {
    TW_REQUIRE_OR_SKIP("openssl with the TLS1-PRF not installed");
  }
  const PrfKind& kind = GetParam();
  // Odd and even secret lengths (the MD5/SHA-1 halves share a byte when odd), a secret longer than
  // the HMAC block, lengths around the digest sizes, and a master-secret-like 48-byte case.
  struct Shape {
    int secret;
    int seed;
    int length;
  };
  const Shape shapes[] = {{48, 77, 48}, {48, 64, 104}, {5, 13, 1}, {1, 1, 100}, {0, 20, 33},
                          {47, 32, 128}, {200, 45, 64}, {32, 0, 12}, {17, 70, 129}};
  uint32_t state = 0x2246u;
  auto nextByte = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<uint8_t>(state >> 16);
  };
  for (const Shape& shape : shapes) {
    std::vector<uint8_t> secret(static_cast<size_t>(shape.secret));
    std::vector<uint8_t> seed(static_cast<size_t>(shape.seed));
    for (auto& b : secret) b = nextByte();
    for (auto& b : seed) b = nextByte();
    const std::string secretHex = Hex(secret.data(), secret.size());
    const std::string seedHex = Hex(seed.data(), seed.size());
    // openssl refuses an empty secret or seed on its command line: those shapes are checked below.
    if (secret.empty() || seed.empty()) continue;
    const std::string expected = OpensslPrf(kind.openssl, secretHex, seedHex, shape.length);
    ASSERT_FALSE(expected.empty()) << secretHex << " " << seedHex;
    ByteString out;
    ASSERT_EQ(0, out.SetText("stale bytes"));
    ASSERT_EQ(0, kind.prf(FromHex(secretHex), FromHex(seedHex), shape.length, out));
    EXPECT_EQ(expected, Hex(out)) << kind.name << " secret " << shape.secret << " length " << shape.length;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TlsPrfAgainstOpenssl, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TlsPrf, ShortRequestIsThePrefixOfALongOne) {
  const ByteString secret = FromHex("0102030405");
  const ByteString seed = FromHex("aabbccdd");
  for (const PrfKind& kind : kKinds) {
    ByteString longOut;
    ByteString oneByte;
    ASSERT_EQ(0, kind.prf(secret, seed, 100, longOut));
    ASSERT_EQ(0, kind.prf(secret, seed, 1, oneByte));
    EXPECT_EQ(100, longOut.length());
    EXPECT_EQ(Hex(longOut).substr(0, 2), Hex(oneByte)) << kind.name;
    ByteString none;
    ASSERT_EQ(0, kind.prf(secret, seed, 0, none));
    EXPECT_EQ(0, none.length());
    EXPECT_EQ(tw::kErrInvalidValue, kind.prf(secret, seed, -1, none));
  }
}

TEST(TlsPrf, Md5Sha1SplitsAnOddSecretWithASharedMiddleByte) {
  // With secret bytes 1..5, HMAC-MD5 is keyed with bytes 1..3 and HMAC-SHA1 with bytes 3..5.
  const ByteString secret = FromHex("0102030405");
  const ByteString seed = FromHex("000102");
  tw::HmacEngine md5;
  tw::HmacEngine sha1;
  ASSERT_EQ(0, md5.SetKey(tw::kHashMd5, "\x01\x02\x03", 3));
  ASSERT_EQ(0, sha1.SetKey(tw::kHashSha1, "\x03\x04\x05", 3));
  ByteString a;
  ByteString b;
  ASSERT_EQ(0, tw::TlsPHash(md5, seed, 40, a));
  ASSERT_EQ(0, tw::TlsPHash(sha1, seed, 40, b));
  ByteString out;
  ASSERT_EQ(0, tw::TlsPrfMd5Sha1(secret, seed, 40, out));
  ASSERT_EQ(40, out.length());
  for (int i = 0; i < 40; ++i) EXPECT_EQ(a.bytes()[i] ^ b.bytes()[i], out.bytes()[i]) << i;
}

TEST(TlsPrf, EmptySecretAndSeedAgreeWithPythonModel) {
  const std::string script = R"(
import hmac
def p_hash(name, secret, seed, n):
    out = b''; a = seed
    while len(out) < n:
        a = hmac.new(secret, a, name).digest()
        out += hmac.new(secret, a + seed, name).digest()
    return out[:n]
print(p_hash('sha256', b'', b'seed', 50).hex())
print(p_hash('sha384', b'secret', b'', 50).hex())
)";
  const auto lines = kdftest::Python(script);
  if (lines.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not available");
  }
  ASSERT_EQ(2u, lines.size());
  ByteString secret;
  ByteString seed;
  ByteString out;
  ASSERT_EQ(0, seed.SetText("seed"));
  ASSERT_EQ(0, tw::TlsPrfSha256(secret, seed, 50, out));
  EXPECT_EQ(lines[0], Hex(out));
  ASSERT_EQ(0, secret.SetText("secret"));
  seed.Reset();
  ASSERT_EQ(0, tw::TlsPrfSha384(secret, seed, 50, out));
  EXPECT_EQ(lines[1], Hex(out));
}

TEST(Ssl3KeyBlock, AgreesWithPythonModel) {
  const std::string script = R"(
import hashlib, random
random.seed(3)
def block(secret, randoms, n):
    out = b''; r = 1
    while len(out) < n:
        letters = bytes([0x40 + r]) * r
        inner = hashlib.sha1(letters + secret + randoms).digest()
        out += hashlib.md5(secret + inner).digest()
        r += 1
    return out[:n]
def h(b): return b.hex() or '-'
for n in [104, 1, 16, 17, 48, 136, 416, 1600]:
    secret = random.randbytes(48)
    randoms = random.randbytes(64)
    print(h(secret), h(randoms), n, block(secret, randoms, n).hex())
print('-', '-', 20, block(b'', b'', 20).hex())
)";
  const auto lines = kdftest::Python(script);
  if (lines.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not available");
  }
  ASSERT_EQ(9u, lines.size());
  for (const std::string& line : lines) {
    const auto w = kdftest::Words(line);
    const auto secret = Field(w[0]);
    const auto randoms = Field(w[1]);
    ByteString s;
    ByteString r;
    ASSERT_EQ(0, s.Set(secret.data(), static_cast<int>(secret.size())));
    ASSERT_EQ(0, r.Set(randoms.data(), static_cast<int>(randoms.size())));
    ByteString out;
    ASSERT_EQ(0, tw::Ssl3DeriveKeyBlock(s, r, std::stoi(w[2]), out));
    EXPECT_EQ(w[3], Hex(out)) << "length " << w[2];
  }
}

TEST(Ssl3KeyBlock, AtMostAHundredRounds) {
  ByteString secret;
  ByteString randoms;
  ByteString out;
  EXPECT_EQ(0, tw::Ssl3DeriveKeyBlock(secret, randoms, 1600, out));
  EXPECT_EQ(1600, out.length());
  EXPECT_EQ(tw::kErrInvalidValue, tw::Ssl3DeriveKeyBlock(secret, randoms, 1601, out));
  EXPECT_EQ(0, out.length());
  EXPECT_EQ(tw::kErrInvalidValue, tw::Ssl3DeriveKeyBlock(secret, randoms, -1, out));
}

}  // namespace
