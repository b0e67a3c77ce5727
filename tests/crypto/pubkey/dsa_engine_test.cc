#include "crypto/pubkey/dsa_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "crypto/pubkey/prime_search.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::FromHex;
using testing_pk::HexOf;
using testing_pk::SetStr;
using testing_pk::Str;
using testsupport::Unhex;

std::string Even(const std::string& hex) { return hex.size() % 2 ? "0" + hex : hex; }

// "key L N HASH": p q g y x, the digest of MSG and the oracle's DER signature over it.
// "check p q g y HASH DERSIG": the oracle's verdict on our signature.
constexpr const char* kOracle = R"PY(
import sys, hashlib
from cryptography.hazmat.primitives.asymmetric import dsa
from cryptography.hazmat.primitives import hashes
MSG = b'tarnwick dsa test'
H = {'SHA1': hashes.SHA1, 'SHA256': hashes.SHA256, 'SHA512': hashes.SHA512}
for line in sys.stdin:
    w = line.split()
    if w[0] == 'key':
        k = dsa.generate_parameters(int(w[1])).generate_private_key()
        n = k.private_numbers(); pn = n.public_numbers.parameter_numbers
        print(*(format(v, 'x') for v in (pn.p, pn.q, pn.g, n.public_numbers.y, n.x)),
              hashlib.new(w[2].lower(), MSG).hexdigest(), k.sign(MSG, H[w[2]]()).hex())
    else:
        p, q, g, y = (int(v, 16) for v in w[1:5])
        pub = dsa.DSAPublicNumbers(y, dsa.DSAParameterNumbers(p, q, g)).public_key()
        try:
            pub.verify(bytes.fromhex(w[6]), MSG, H[w[5]]()); print('ok')
        except Exception as ex:
            print('bad', type(ex).__name__)
)PY";

// SHA-512 over a 256-bit Q and SHA-256 over a 160-bit Q exercise the cut of the hash.
TEST(DsaEngineTest, InteroperatesBothWaysWithPythonCryptography) {
  const char* kKeys[][2] = {{"2048", "SHA256"}, {"2048", "SHA512"}, {"1024", "SHA256"}, {"1024", "SHA1"}};
  std::ostringstream in;
  for (const auto& k : kKeys) in << "key " << k[0] << " " << k[1] << "\n";
  std::vector<std::string> made;
  TW_PYTHON_OR_SKIP(kOracle, in.str(), &made);
  ASSERT_EQ(made.size(), 4u);
  std::ostringstream checks;
  for (size_t i = 0; i < made.size(); ++i) {
    std::istringstream row(made[i]);
    std::string p, q, g, y, x, digest, sig;
    row >> p >> q >> g >> y >> x >> digest >> sig;
    DsaKeyData k;
    SetStr(k.P, Unhex(Even(p)));
    SetStr(k.Q, Unhex(Even(q)));
    SetStr(k.G, Unhex(Even(g)));
    SetStr(k.Y, Unhex(Even(y)));
    SetStr(k.X, Unhex(Even(x)));
    DsaEngine dsa;
    ASSERT_EQ(dsa.SetKey(k), kOk);
    ByteString hash, theirs, ours;
    SetStr(hash, Unhex(digest));
    SetStr(theirs, Unhex(sig));
    bool valid = false;
    ASSERT_EQ(dsa.Verify(hash, theirs, &valid), kOk);
    EXPECT_TRUE(valid) << kKeys[i][1];
    dsa.set_der_output(true);
    ASSERT_EQ(dsa.Sign(hash, ours), kOk);
    checks << "check " << p << " " << q << " " << g << " " << y << " " << kKeys[i][1] << " " << HexOf(ours) << "\n";
    // Raw form: exactly twice Q's length, split at Q's length on the way back.
    dsa.set_der_output(false);
    ASSERT_EQ(dsa.Sign(hash, ours), kOk);
    EXPECT_EQ(ours.length(), 2 * dsa.key().Q.length());
    ASSERT_EQ(dsa.Verify(hash, ours, &valid), kOk);
    EXPECT_TRUE(valid);
  }
  std::vector<std::string> verdicts;
  TW_PYTHON_OR_SKIP(kOracle, checks.str(), &verdicts);
  ASSERT_EQ(verdicts.size(), 4u);
  for (size_t i = 0; i < verdicts.size(); ++i) EXPECT_EQ(verdicts[i], "ok") << kKeys[i][1];
}

// A small key (p = 2q + 1 style numbers are enough for the checks here).
DsaEngine& SmallEngine() {
  static DsaEngine dsa;
  static bool made = [] {
    DsaKeyData k;
    dsa.SetKeySize(512);
    EXPECT_EQ(dsa.GetKey(k, true, false), kOk);
    return true;
  }();
  (void)made;
  return dsa;
}

TEST(DsaEngineTest, DerFormAndBoundaries) {
  DsaEngine& dsa = SmallEngine();
  const int qlen = dsa.key().Q.length();
  ByteString hash, sig;
  SetStr(hash, std::string(20, '\x5a'));
  dsa.set_der_output(true);
  bool saw_high_r = false;
  for (int i = 0; i < 3000 && !saw_high_r; ++i) {
    ASSERT_EQ(dsa.Sign(hash, sig), kOk);
    const uint8_t* b = sig.bytes();
    EXPECT_EQ(b[0], 0x30);
    EXPECT_EQ(b[1], sig.length() - 2);
    if (b[3] == qlen + 1) {
      EXPECT_EQ(b[4], 0);  // r with its top bit set gains a zero byte
      saw_high_r = true;
    } else {
      EXPECT_EQ(b[3], qlen);
    }
    bool valid = false;
    ASSERT_EQ(dsa.Verify(hash, sig, &valid), kOk);
    EXPECT_TRUE(valid);
  }
  // r has its top bit set in at least one signature in nine once Q's top byte is 0x90 or more.
  if (dsa.key().Q.bytes()[0] >= 0x90) {
    EXPECT_TRUE(saw_high_r);
  }
  // r = Q, r = 0, a trailing byte and a longer raw form are all simply invalid.
  const std::string q = Str(dsa.key().Q), zero(static_cast<size_t>(qlen), '\0');
  const std::string s(static_cast<size_t>(qlen), '\1');
  const std::string bad[] = {q + s, zero + s, Str(sig) + std::string(1, '\0'), std::string(1, '\0') + q + s};
  for (const std::string& b : bad) {
    ByteString in;
    SetStr(in, b);
    bool valid = true;
    EXPECT_EQ(dsa.Verify(hash, in, &valid), kOk);
    EXPECT_FALSE(valid);
  }
}

// A 512-bit Q makes the SEQUENCE 128 bytes or more: its length takes the long form.
TEST(DsaEngineTest, LongSignatureTakesTheLongLengthForm) {
  DsaKeyData k;
  SetStr(k.P, Unhex("afbae4ef86c37bb719400b16d83dc3b1f9ced8a4cb2b910675205aa0b92e3d57252552a918f648adcb27ec28baaf5cdb"
                    "49b469da20bf66bbb6cbc0081033694e27b1947efe86b956699279458b1d98c1a8c8cc586103a5fd0d4950a148919a8e"
                    "8ded23289b6518f208f9481a8eda1723b748295d0213717fa1a46ded2311925b"));
  SetStr(k.Q, Unhex("c57f2216386023d38ca5e2e89ed3c55c9a43d6d8b0b602c6f2ef1dd503add398599f32c98c2af9ae51e1b0682287d3fa"
                    "427fdc5a1a4cdb96525b1c3a34e9ea29"));
  SetStr(k.G, Unhex("343f3d1f26b06c2ab54c94be8abe05681b24c7ad17eee37e306f06ec382885c4b9cd9bd8c9e7e674ccf2d1e437c1d9e2"
                    "726b0949d83f66269f3505b68bf2de8f00d9e06b73b1774808c770100b26324d0eb0f1e495545d96092152e13bd1ae4f"
                    "a1ee5be356b08391d7246a9368c05e8f051c33cb9d0abe6a5f3b1ac8e82b0d9e"));
  SetStr(k.X, Unhex("b994655779538e28a59613e7d089db41699e317355d84d435430f5789b8f78896d253f6a0543a4bafb70b230d1e73cda"
                    "f61deaf6e2a8729b7713cef8d478ec1b"));
  DsaEngine dsa;
  ASSERT_EQ(dsa.SetKey(k), kOk);
  dsa.set_der_output(true);
  ByteString hash, sig;
  SetStr(hash, std::string(64, '\x5a'));
  ASSERT_EQ(dsa.Sign(hash, sig), kOk);
  EXPECT_EQ(HexOf(sig).substr(0, 4), "3081");
  bool valid = false;
  ASSERT_EQ(dsa.Verify(hash, sig, &valid), kOk);
  EXPECT_TRUE(valid);
}

struct CodeCase {
  const char* what;
  std::function<int()> run;
  int code;
};

const CodeCase kCodes[] = {
    {"no G", [] { DsaKeyData k; SetStr(k.P, "\x17"); SetStr(k.Q, "\x0b"); SetStr(k.Y, "\2"); DsaEngine d; return d.SetKey(k); }, kErrDsaBadKey},
    {"zero Q", [] { DsaKeyData k; SetStr(k.P, "\x17"); SetStr(k.Q, std::string(1, '\0')); SetStr(k.G, "\4"); SetStr(k.Y, "\2"); DsaEngine d; return d.SetKey(k); }, kErrDsaBadKey},
    {"no Y and no X", [] { DsaKeyData k; SetStr(k.P, "\x17"); SetStr(k.Q, "\x0b"); SetStr(k.G, "\4"); DsaEngine d; return d.SetKey(k); }, kErrDsaBadKey},
    {"no hash", [] { ByteString o; return SmallEngine().Sign(ByteString(), o); }, kErrDsaNoHash},
    {"no key", [] { DsaEngine d; ByteString h, o; SetStr(h, "h"); return d.Sign(h, o); }, kErrDsaNoKey},
    {"no private value", [] {
       DsaKeyData k = SmallEngine().key(); k.X.Reset(); DsaEngine d; d.SetKey(k);
       ByteString h, o; SetStr(h, "h"); return d.Sign(h, o);
     }, kErrDsaNoPrivate},
    {"Q of 1 is refused, not looped on", [] {
       DsaKeyData k; SetStr(k.P, "\x17"); SetStr(k.Q, "\x01"); SetStr(k.G, "\x04"); SetStr(k.X, "\x01");
       DsaEngine d; d.SetKey(k); ByteString h, o; SetStr(h, "h"); return d.Sign(h, o);
     }, kErrDsaBadKey},
    {"G that is 0 modulo P is refused", [] {
       DsaKeyData k; SetStr(k.P, "\x17"); SetStr(k.Q, "\x0b"); SetStr(k.G, "\x17"); SetStr(k.X, "\x03");
       DsaEngine d; d.SetKey(k); ByteString h, o; SetStr(h, "h"); return d.Sign(h, o);
     }, kErrDsaBadKey},
    {"no signature", [] { bool v; ByteString h; SetStr(h, "h"); return SmallEngine().Verify(h, ByteString(), &v); }, kErrDsaNoSignature},
};

class DsaCodeTest : public ::testing::TestWithParam<CodeCase> {};
TEST_P(DsaCodeTest, Gives) { EXPECT_EQ(GetParam().run(), GetParam().code) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Codes, DsaCodeTest, ::testing::ValuesIn(kCodes),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

// Parameters of both methods: primes, Q dividing P - 1, G of order Q, Y = G^X.
TEST(DsaEngineTest, GeneratedParametersAreSound) {
  RandomSource random;
  for (bool seed : {true, false}) {
    DsaEngine dsa;
    ASSERT_EQ(dsa.SetKeySize(1024), kOk);
    DsaKeyData k;
    ASSERT_EQ(dsa.GetKey(k, true, seed), kOk);
    BigNumber p = FromHex(HexOf(k.P)), q = FromHex(HexOf(k.Q)), g = FromHex(HexOf(k.G));
    BigNumber y = FromHex(HexOf(k.Y)), x = FromHex(HexOf(k.X)), r, t;
    EXPECT_EQ(p.BitLength(), 1024);
    EXPECT_EQ(q.BitLength(), 160);
    EXPECT_TRUE(IsProbablePrime(p, 50, random) && IsProbablePrime(q, 50, random));
    BigNumber::Sub(p, BigNumber::One(), t);
    BigNumber::Mod(t, q, r);
    EXPECT_TRUE(r.IsZero());
    BigNumber::ModExp(g, q, p, r);
    EXPECT_TRUE(r.IsOne() && g.Compare(BigNumber::One()) > 0);
    BigNumber::ModExp(g, x, p, r);
    EXPECT_TRUE(r.Equals(y));
    DsaKeyData pub;
    ASSERT_EQ(dsa.GetKey(pub, false, seed), kOk);
    EXPECT_TRUE(pub.X.empty() && !pub.Y.empty());
  }
  DsaEngine odd;
  odd.SetKeySize(1024);
  DsaKeyData k;
  // The rule refuses 1000 bits before any generation runs.
  EXPECT_EQ(odd.SetKeySize(1000), kErrKeySize);
}

}  // namespace
}  // namespace tw
