// Diffie-Hellman sides: the prime table against OpenSSL's named groups, exchanges against python3
// integers, the refused peer values, EC mode and the temporary RSA key.
#include "crypto/pubkey/key_exchange.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::FromHex;
using testing_pk::HexOf;
using testing_pk::SetStr;
using testing_pk::ToHex;

// "group NAME": OpenSSL's prime of a named group; "modp1024": the RFC 2409 prime from its formula;
// "pow Y X P": Y^X mod P.
constexpr const char* kOracle = R"PY(
import sys, subprocess, re
def pi_fixed(bits):
    prec = bits + 64; one = 1 << prec
    def atan_inv(x):
        s = 0; t = one // x; n = 1; sign = 1
        while t:
            s += sign * (t // n); t //= x * x; n += 2; sign = -sign
        return s
    return (16 * atan_inv(5) - 4 * atan_inv(239)) >> 64
for line in sys.stdin:
    w = line.split()
    if w[0] == 'group':
        pem = subprocess.run(['openssl', 'genpkey', '-genparam', '-algorithm', 'DH', '-pkeyopt', 'group:' + w[1]],
                             capture_output=True, text=True, check=True).stdout
        t = subprocess.run(['openssl', 'asn1parse'], input=pem.encode(), capture_output=True, check=True).stdout
        print(re.findall(rb'INTEGER\s*:([0-9A-F]+)', t)[0].decode())
    elif w[0] == 'modp1024':
        print(format(2**1024 - 2**960 - 1 + 2**64 * (pi_fixed(894) + 129093), 'X'))
    else:
        print(format(pow(int(w[1], 16), int(w[2], 16), int(w[3], 16)), 'x'))
)PY";

TEST(KeyExchangeTest, PrimeTableMatchesOpenSslGroups) {
  struct Row {
    int list, index;
    const char* oracle;
  };
  const Row kRows[] = {{0, 0, "modp1024"},        {0, 1, "group modp_1536"}, {0, 2, "group modp_2048"},
                       {0, 3, "group ffdhe3072"}, {0, 4, "group ffdhe4096"}, {0, 5, "group ffdhe6144"},
                       {0, 6, "group ffdhe8192"}, {1, 0, "group ffdhe2048"}, {1, 1, "group ffdhe3072"},
                       {1, 2, "group ffdhe4096"}, {1, 3, "group ffdhe6144"}, {1, 4, "group ffdhe8192"}};
  std::ostringstream in;
  for (const Row& r : kRows) in << r.oracle << "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(kOracle, in.str(), &out);
  ASSERT_EQ(out.size(), 12u);
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(DhTablePrime(kRows[i].list, kRows[i].index), out[i]) << i;
  // The export prime is a 512-bit safe prime.
  const BigNumber p = FromHex(DhTablePrime(2, 0));
  EXPECT_EQ(p.BitLength(), 512);
  EXPECT_EQ(DhTablePrime(1, 5), nullptr);
}

TEST(KeyExchangeTest, ExchangesMatchPythonAndChoosePrime) {
  struct Choice {
    bool exp, named;
    int bits, want;
  };
  const Choice kChoices[] = {{true, false, 2048, 512},  {false, true, 0, 2048},   {false, false, 0, 1024},
                             {false, true, 4096, 4096}, {false, false, 2048, 2048}, {false, true, 5000, 2048}};
  std::ostringstream in;
  std::vector<std::unique_ptr<KeyExchange>> sides;
  RandomSource rs;
  for (const Choice& c : kChoices) {
    auto k = std::make_unique<KeyExchange>();
    ASSERT_EQ(k->ChoosePrime(c.exp, c.bits, c.named), 0);
    EXPECT_EQ(k->prime_bits, c.want);
    ASSERT_EQ(k->x.SetRandomBits(256, rs), 0);
    BigNumber peer;
    ASSERT_EQ(peer.SetRandomBits(k->prime_bits - 8, rs), 0);
    k->SetPeerPublic(peer);
    in << "pow " << ToHex(peer) << " " << ToHex(k->x) << " " << ToHex(k->p) << "\n";
    sides.push_back(std::move(k));
  }
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(kOracle, in.str(), &out);
  ASSERT_EQ(out.size(), sides.size());
  for (size_t i = 0; i < sides.size(); ++i) {
    ByteString z;
    ASSERT_EQ(sides[i]->GetSharedSecretPadded(z), 0);
    EXPECT_EQ(z.length(), sides[i]->prime_bits / 8);
    EXPECT_EQ(ToHex(sides[i]->z), out[i]);
  }
}

struct PeerCase {
  const char* what;
  int peer;  // 0: 0, 1: 1, 2: p - 1, 3: p, 4: 4 with X = q (secret 1), 5: 5 (fine), 6: 5 with P = 46, X = 20
  int want;
  int64_t z;  // the shared value, when checked
};
const PeerCase kPeers[] = {{"zero", 0, kErrDhPeerValue, 0},     {"one", 1, kErrDhPeerValue, 0},
                           {"p - 1", 2, kErrDhPeerValue, 0},    {"p", 3, kErrDhPeerValue, 0},
                           {"secret of one", 4, kErrDhPeerValue, 0}, {"ordinary", 5, 0, 0},
                           {"even prime", 6, 0, 35}};
class DhPeerTest : public ::testing::TestWithParam<PeerCase> {};
TEST_P(DhPeerTest, PeerValue) {
  KeyExchange k;
  k.ChoosePrime(false, 0, true);
  BigNumber q, y;
  BigNumber::ShiftRight(k.p, 1, q);
  k.x = q;
  switch (GetParam().peer) {
    case 0: y.SetInt64(0); break;
    case 1: y.SetInt64(1); break;
    case 2: BigNumber::Sub(k.p, BigNumber::One(), y); break;
    case 3: y = k.p; break;
    case 4: y.SetInt64(4); break;
    case 5: y.SetInt64(5); k.x.SetInt64(77); break;
    default: y.SetInt64(5); k.x.SetInt64(20); k.p.SetInt64(46); break;
  }
  k.SetPeerPublic(y);
  EXPECT_EQ(k.ComputeShared(), GetParam().want) << GetParam().what;
  if (GetParam().z) {
    EXPECT_TRUE(k.z.Equals(BigNumber(GetParam().z))) << ToHex(k.z);
  }
}
INSTANTIATE_TEST_SUITE_P(Cases, DhPeerTest, ::testing::ValuesIn(kPeers),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

TEST(KeyExchangeTest, PaddedFormsEcModeAndRoles) {
  KeyExchange k;
  ByteString prime;
  SetStr(prime, std::string(1, '\0') + std::string(256, '\xC7'));
  k.SetPrime(prime);
  EXPECT_EQ(k.prime_bits, 2056);
  BigNumber own(12345);
  k.SetOwnPublic(own);
  ByteString v;
  ASSERT_EQ(k.GetPublicValuePadded(v), 0);
  EXPECT_EQ(v.length(), 257);
  k.role = 0;
  k.SetOwnPublic(BigNumber(9));
  EXPECT_TRUE(k.b.Equals(BigNumber(9)) && k.a.Equals(own));
  // EC mode: mismatched curves answer -1, the peer setter is ignored, the same curve agrees.
  KeyExchange e, f;
  e.ec_mode = f.ec_mode = 1;
  ASSERT_EQ(EcGenerateKey(kCurveP256, e.own_ec), 0);
  ASSERT_EQ(EcGenerateKey(kCurveP384, e.peer_ec), 0);
  ByteString z1, z2;
  EXPECT_EQ(e.GetSharedSecret(z1), -1);
  e.SetPeerPublic(BigNumber(7));
  EXPECT_TRUE(e.b.IsZero());
  for (int curve : {kCurveP256, kCurveX25519, kCurveX448}) {
    ASSERT_EQ(EcGenerateKey(curve, e.own_ec), 0);
    ASSERT_EQ(EcGenerateKey(curve, f.own_ec), 0);
    e.peer_ec.Copy(f.own_ec, false);
    f.peer_ec.Copy(e.own_ec, false);
    ASSERT_EQ(e.GetSharedSecret(z1), 0) << curve;
    ASSERT_EQ(f.GetSharedSecret(z2), 0);
    EXPECT_EQ(HexOf(z1), HexOf(z2));
    ASSERT_EQ(e.GetPublicValue(v), 0);
    EXPECT_EQ(v.length(), curve == kCurveP256 ? 65 : CurveKeySize(curve));
  }
  auto c = e.Clone();
  ASSERT_TRUE(c);
  EXPECT_EQ(HexOf(c->own_ec.private_bytes), HexOf(e.own_ec.private_bytes));
}

TEST(KeyExchangeTest, TemporaryRsaKeyIsMadeOnceUntilReset) {
  ResetEphemeralRsaKey();
  std::vector<std::string> mods(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < mods.size(); ++i)
    threads.emplace_back([&, i] {
      RsaKeyData k;
      if (GetEphemeralRsaKey(k) == 0) mods[i] = HexOf(k.N);
    });
  for (auto& t : threads) t.join();
  for (const std::string& m : mods) EXPECT_EQ(m, mods[0]);
  EXPECT_EQ(mods[0].size(), 128u);
  ResetEphemeralRsaKey();
  RsaKeyData fresh;
  ASSERT_EQ(GetEphemeralRsaKey(fresh), 0);
  EXPECT_NE(HexOf(fresh.N), mods[0]);
}

}  // namespace
}  // namespace tw
