#include "crypto/pubkey/rsa_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::HexOf;
using testing_pk::SetStr;
using testing_pk::Str;
using testsupport::Hex;
using testsupport::Unhex;

// "key BITS": a fresh key and, per case, the oracle's hash and its signature or ciphertext.
// "check CASE N E MSGHEX OURS": the oracle's verdict on our signature or ciphertext.
constexpr const char* kOracle = R"PY(
import sys, hashlib
from cryptography.hazmat.primitives.asymmetric import rsa, padding
from cryptography.hazmat.primitives import hashes
H = {'SHA1': hashes.SHA1, 'SHA256': hashes.SHA256}
CASES = ['v15-SHA256-x', 'v15-SHA1-x', 'pss-SHA256--1', 'pss-SHA256-0', 'pss-SHA256-32', 'oaep-SHA1-', 'oaep-SHA256-tw']
MSG = b'tarnwick public-key test'
def pad(case, n_bytes=None):
    kind, h, extra = case.split('-', 2)
    if kind == 'v15': return padding.PKCS1v15(), H[h]()
    if kind == 'pss':
        s = int(extra); s = 32 if s < 0 else s
        return padding.PSS(mgf=padding.MGF1(H[h]()), salt_length=s), H[h]()
    return padding.OAEP(mgf=padding.MGF1(H[h]()), algorithm=H[h](), label=extra.encode() or None), None
for line in sys.stdin:
    w = line.split()
    if w[0] == 'key':
        k = rsa.generate_private_key(65537, int(w[1]))
        pn = k.private_numbers()
        print(' '.join(format(v, 'x') for v in (pn.public_numbers.n, pn.public_numbers.e, pn.d, pn.p, pn.q)))
        for c in CASES:
            p, h = pad(c)
            if c.startswith('oaep'):
                print(c, MSG.hex(), k.public_key().encrypt(MSG, p).hex())
            else:
                print(c, hashlib.new(c.split('-')[1].lower(), MSG).hexdigest(), k.sign(MSG, p, h).hex())
    else:
        case, n, e, d, pp, qq = w[1], *(int(v, 16) for v in w[2:7])
        msg, ours = bytes.fromhex(w[7]), bytes.fromhex(w[8])
        pub = rsa.RSAPublicNumbers(e, n)
        priv = rsa.RSAPrivateNumbers(pp, qq, d, rsa.rsa_crt_dmp1(d, pp), rsa.rsa_crt_dmq1(d, qq),
                                     rsa.rsa_crt_iqmp(pp, qq), pub).private_key()
        p, h = pad(case)
        try:
            if case.startswith('oaep'):
                print('ok' if priv.decrypt(ours, p) == msg else 'bad')
            else:
                pub.public_key().verify(ours, msg, p, h); print('ok')
        except Exception as ex:
            print('bad', type(ex).__name__)
)PY";

struct Mode {
  bool oaep = false, pss = false;
  std::string hash, label;
  int salt = -1;
};

Mode ParseCase(const std::string& c) {
  Mode m;
  const size_t a = c.find('-'), b = c.find('-', a + 1);
  const std::string kind = c.substr(0, a), extra = c.substr(b + 1);
  m.hash = c.substr(a + 1, b - a - 1);
  m.oaep = kind == "oaep";
  m.pss = kind == "pss";
  if (m.pss) m.salt = std::stoi(extra);
  if (m.oaep) m.label = extra;
  return m;
}

TEST(RsaEngineTest, InteroperatesBothWaysWithPythonCryptography) {
  std::vector<std::string> made;
  TW_PYTHON_OR_SKIP(kOracle, "key 1024\nkey 2047\nkey 2048\nkey 2049\n", &made);
  ASSERT_EQ(made.size(), 4u * 8);
  std::ostringstream checks;
  std::vector<std::string> names;
  for (size_t k = 0; k < 4; ++k) {
    std::istringstream key(made[k * 8]);
    std::string n, e, d, p, q;
    key >> n >> e >> d >> p >> q;
    RsaKeyData rec;
    SetStr(rec.N, Unhex((n.size() % 2 ? "0" : "") + n));
    SetStr(rec.E, Unhex("010001"));
    SetStr(rec.D, Unhex((d.size() % 2 ? "0" : "") + d));
    SetStr(rec.P, Unhex((p.size() % 2 ? "0" : "") + p));
    SetStr(rec.Q, Unhex((q.size() % 2 ? "0" : "") + q));
    RsaEngine rsa;
    ASSERT_EQ(rsa.SetKey(rec), kOk);
    for (size_t c = 1; c < 8; ++c) {
      std::istringstream row(made[k * 8 + c]);
      std::string name, first, theirs;
      row >> name >> first >> theirs;
      const Mode m = ParseCase(name);
      ByteString in, out, label;
      SetStr(in, Unhex(first));
      SetStr(label, m.label);
      ByteString other;
      SetStr(other, Unhex(theirs));
      if (m.oaep) {
        ASSERT_EQ(rsa.Decrypt(other, true, label, m.hash.c_str(), m.hash.c_str(), out), kOk) << name;
        EXPECT_EQ(HexOf(out), first) << name;
        ASSERT_EQ(rsa.Encrypt(in, true, label, m.hash.c_str(), m.hash.c_str(), out), kOk) << name;
      } else {
        bool valid = false;
        ASSERT_EQ(rsa.Verify(in, m.hash.c_str(), other, m.pss, true, &valid), kOk) << name;
        EXPECT_TRUE(valid) << name << " bits " << rsa.key_size();
        ASSERT_EQ(rsa.Sign(in, m.hash.c_str(), m.pss, m.salt, out), kOk) << name;
      }
      EXPECT_EQ(out.length(), rsa.modulus_bytes());
      checks << "check " << name << " " << n << " " << e << " " << d << " " << p << " " << q << " "
             << Hex("tarnwick public-key test", 24) << " " << HexOf(out) << "\n";
      names.push_back(name + " " + std::to_string(rsa.key_size()));
    }
  }
  std::vector<std::string> verdicts;
  TW_PYTHON_OR_SKIP(kOracle, checks.str(), &verdicts);
  ASSERT_EQ(verdicts.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(verdicts[i], "ok") << names[i];
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// One 512-bit key made by the engine, shared by the cases below.
const RsaKeyData& SmallKey() {
  static const RsaKeyData key = [] {
    RsaEngine gen;
    gen.SetKeySize(512);
    RsaKeyData k;
    EXPECT_EQ(gen.GetKey(k, true, true), kOk);
    return k;
  }();
  return key;
}

// Decrypts the v1.5 block em (k bytes) after encrypting it raw; the code.
int DecryptBlock(const std::string& em, std::string* message) {
  RsaEngine rsa;
  rsa.SetKey(SmallKey());
  ByteString in, c, out;
  SetStr(in, em);
  EXPECT_EQ(rsa.RsaPublicOp(in, c), kOk);
  const int rc = rsa.DecryptPkcs1(c, out);
  *message = Str(out);
  return rc;
}

struct BlockCase {
  const char* what;
  std::string em;  // 64 bytes
  int code;
  std::string message = "hi";
};

std::string Block(const std::string& head, char fill, const std::string& tail) {
  return head + std::string(64 - head.size() - tail.size(), fill) + tail;
}

class RsaDecryptBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(RsaDecryptBlockTest, GivesItsCode) {
  std::string message;
  EXPECT_EQ(DecryptBlock(GetParam().em, &message), GetParam().code) << GetParam().what;
  if (GetParam().code == kOk) {
    EXPECT_EQ(message, GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, RsaDecryptBlockTest,
    ::testing::Values(BlockCase{"type 2", Block(std::string("\0\2", 2), 'x', std::string("\0hi", 3)), kOk},
                      BlockCase{"type 1 with non-zero padding", Block(std::string("\0\1", 2), 'x', std::string("\0hi", 3)), kOk},
                      BlockCase{"type 3", Block(std::string("\0\3", 2), 'x', std::string("\0hi", 3)), kErrRsaBlockType},
                      BlockCase{"separator last", Block(std::string("\0\2", 2), 'x', std::string("\0", 1)), kErrRsaSeparatorLast},
                      BlockCase{"seven padding bytes", Block(std::string("\0\2xxxxxxx\0", 10), 'y', ""), kErrRsaPaddingShort},
                      BlockCase{"eight padding bytes", Block(std::string("\0\2xxxxxxxx\0", 11), 'y', "hi"), kOk, std::string(51, 'y') + "hi"},
                      BlockCase{"no separator", Block(std::string("\0\2", 2), 'x', ""), kErrRsaPaddingShort},
                      BlockCase{"leading byte set", Block(std::string("\1\2", 2), 'x', std::string("\0hi", 3)), kErrRsaDecoding}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

struct CodeCase {
  const char* what;
  std::function<int()> run;
  int code;
};

RsaEngine& Loaded() {
  static RsaEngine rsa;
  static bool once = (rsa.SetKey(SmallKey()), true);
  (void)once;
  return rsa;
}

ByteString Bytes(const std::string& s) {
  ByteString b;
  SetStr(b, s);
  return b;
}

const CodeCase kCodes[] = {
    {"no modulus", [] { RsaKeyData k; k.E = Bytes("\1\0\1"); RsaEngine r; return r.SetKey(k); }, kErrRsaNoModulusInRecord},
    {"zero modulus loads nothing", [] { RsaKeyData k; k.N = Bytes(std::string(3, '\0')); RsaEngine r; return r.SetKey(k); }, kOk},
    {"no exponent", [] { RsaKeyData k; k.N = Bytes("\x7f\1"); RsaEngine r; return r.SetKey(k); }, kErrRsaNoExponent},
    {"zero E", [] { RsaKeyData k; k.N = Bytes("\x7f\1"); k.E = Bytes(std::string(1, '\0')); RsaEngine r; return r.SetKey(k); }, kErrRsaPublicExponentZero},
    {"zero D", [] { RsaKeyData k; k.N = Bytes("\x7f\1"); k.D = Bytes(std::string(1, '\0')); RsaEngine r; return r.SetKey(k); }, kErrRsaPrivateExponentZero},
    {"unknown hash", [] { ByteString o; return Loaded().Sign(Bytes(std::string(20, 'h')), "SHA3", false, 0, o); }, kErrRsaUnknownHash},
    {"hash length", [] { ByteString o; return Loaded().Sign(Bytes(std::string(20, 'h')), "SHA256", false, 0, o); }, kErrRsaHashLength},
    {"no hash", [] { ByteString o; return Loaded().Sign(ByteString(), "SHA256", false, 0, o); }, kErrRsaNoHash},
    {"no signature", [] { bool v; return Loaded().Verify(Bytes(std::string(20, 'h')), "SHA1", ByteString(), false, true, &v); }, kErrRsaNoSignature},
    {"SHA-512 on 512 bits", [] { ByteString o; return Loaded().Sign(Bytes(std::string(64, 'h')), "SHA512", false, 0, o); }, kErrRsaModulusTooSmall},
    {"no key", [] { RsaEngine r; ByteString o; return r.EncryptPkcs1(Bytes("m"), o); }, kErrRsaNoModulus},
    {"empty message", [] { ByteString o; return Loaded().EncryptPkcs1(ByteString(), o); }, kErrRsaEmptyInput},
    {"v1.5 message too long", [] { ByteString o; return Loaded().EncryptPkcs1(Bytes(std::string(54, 'm')), o); }, kErrRsaMessageTooLong},
    {"v1.5 longest message", [] { ByteString o; return Loaded().EncryptPkcs1(Bytes(std::string(53, 'm')), o); }, kOk},
    // OAEP checks the key and the message before building the block.
    {"OAEP SHA-224 fits 512 bits", [] { ByteString o; return Loaded().Encrypt(Bytes("m"), true, ByteString(), "SHA224", "SHA1", o); }, kOk},
    {"OAEP SHA-512 on 512 bits", [] { ByteString o; return Loaded().Encrypt(Bytes("m"), true, ByteString(), "SHA512", "SHA512", o); }, kErrRsaModulusTooSmall},
    {"OAEP message too long", [] { ByteString o; return Loaded().Encrypt(Bytes(std::string(23, 'm')), true, ByteString(), "SHA1", "", o); }, kErrRsaMessageTooLong},
    {"OAEP longest message", [] { ByteString o; return Loaded().Encrypt(Bytes(std::string(22, 'm')), true, ByteString(), "SHA1", "", o); }, kOk},
    {"ciphertext not below N", [] { ByteString o; return Loaded().DecryptPkcs1(Loaded().key().N, o); }, kErrRsaDecoding},
    {"ciphertext longer than k", [] { ByteString o; return Loaded().DecryptPkcs1(Bytes(std::string(65, '\1')), o); }, kErrRsaDecoding},
    {"11-byte modulus takes no plaintext", [] {
       RsaKeyData k; k.N = Bytes(std::string("\xc1") + std::string(9, '\0') + "\x01"); k.E = Bytes("\3");
       RsaEngine r; r.SetKey(k); ByteString o; return r.EncryptPkcs1(Bytes("m"), o);
     }, kErrRsaMessageTooLong},
    {"10-byte modulus cannot decrypt", [] {
       RsaKeyData k; k.N = Bytes(std::string("\xc1") + std::string(8, '\0') + "\x01"); k.D = Bytes("\3");
       RsaEngine r; r.SetKey(k); ByteString o; return r.DecryptPkcs1(Bytes("\1"), o);
     }, kErrRsaModulusTooSmall},
};

class RsaCodeTest : public ::testing::TestWithParam<CodeCase> {};
TEST_P(RsaCodeTest, Gives) { EXPECT_EQ(GetParam().run(), GetParam().code) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Codes, RsaCodeTest, ::testing::ValuesIn(kCodes),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

TEST(RsaEngineTest, VerdictsNeverCodesForBadSignatures) {
  RsaEngine& rsa = Loaded();
  const ByteString hash = Bytes(std::string(20, 'h'));
  for (bool pss : {false, true}) {
    ByteString sig;
    ASSERT_EQ(rsa.Sign(hash, "SHA1", pss, -1, sig), kOk);
    bool valid = false;
    ASSERT_EQ(rsa.Verify(hash, "SHA1", sig, pss, true, &valid), kOk);
    EXPECT_TRUE(valid);
    // Flipped bit, the modulus itself (not below N), a stripped form, a longer form.
    std::string bad[] = {Str(sig), Str(rsa.key().N), Str(sig).substr(1), std::string(1, '\0') + Str(sig)};
    bad[0][10] ^= 1;
    for (const std::string& b : bad) {
      valid = true;
      EXPECT_EQ(rsa.Verify(hash, "SHA1", Bytes(b), pss, true, &valid), kOk);
      EXPECT_FALSE(valid) << pss;
    }
  }
}

TEST(RsaEngineTest, PrivateOperationPaths) {
  const RsaKeyData& key = SmallKey();
  const ByteString hash = Bytes(std::string(20, 's'));
  RsaEngine pub;
  RsaKeyData pk;
  pk.N = key.N;
  pk.E = key.E;
  ASSERT_EQ(pub.SetKey(pk), kOk);
  bool valid = false;
  // N and D only: c^D mod N without blinding or CRT.
  RsaKeyData nd;
  nd.N = key.N;
  nd.D = key.D;
  RsaEngine only_d;
  ASSERT_EQ(only_d.SetKey(nd), kOk);
  ByteString sig, c, m;
  ASSERT_EQ(only_d.Sign(hash, "SHA1", false, 0, sig), kOk);
  ASSERT_EQ(pub.Verify(hash, "SHA1", sig, false, true, &valid), kOk);
  EXPECT_TRUE(valid);
  ASSERT_EQ(pub.EncryptPkcs1(Bytes("secret"), c), kOk);
  ASSERT_EQ(only_d.DecryptPkcs1(c, m), kOk);
  EXPECT_EQ(Str(m), "secret");
  // A wrong CRT value is caught by the check with E: D takes over, and without D nothing leaves.
  RsaKeyData broken = key;
  broken.DP.bytes()[broken.DP.length() - 1] ^= 2;
  RsaEngine faulty;
  ASSERT_EQ(faulty.SetKey(broken), kOk);
  ASSERT_EQ(faulty.Sign(hash, "SHA1", false, 0, sig), kOk);
  ASSERT_EQ(pub.Verify(hash, "SHA1", sig, false, true, &valid), kOk);
  EXPECT_TRUE(valid);
  broken.D.Reset();
  ASSERT_EQ(faulty.SetKey(broken), kOk);
  EXPECT_EQ(faulty.Sign(hash, "SHA1", false, 0, sig), kErrRsaNoPrivateKey);
  // Without E: the exponent the CRT values imply blinds and checks; a DP that disagrees with D
  // leaves D alone to sign.
  ByteString want;
  RsaEngine with_e;
  ASSERT_EQ(with_e.SetKey(key), kOk);
  ASSERT_EQ(with_e.Sign(hash, "SHA1", false, 0, want), kOk);
  for (int variant = 0; variant < 2; ++variant) {
    RsaKeyData no_e = key;
    no_e.E.Reset();
    if (variant == 1) no_e.DP.bytes()[no_e.DP.length() - 1] ^= 2;
    RsaEngine r;
    ASSERT_EQ(r.SetKey(no_e), kOk);
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(r.Sign(hash, "SHA1", false, 0, sig), kOk);
      ASSERT_EQ(Str(sig), Str(want)) << variant << " " << i;
    }
  }
  // One engine kept for many signatures, through its blinding's squarings and fresh draws, signs
  // as a fresh one does.
  RsaEngine fresh, kept;
  ByteString first, again;
  ASSERT_TRUE(fresh.SetKey(key) == kOk && kept.SetKey(key) == kOk);
  ASSERT_EQ(fresh.Sign(hash, "SHA1", false, 0, first), kOk);
  for (int i = 0; i < 70; ++i) {
    ASSERT_EQ(kept.Sign(hash, "SHA1", false, 0, again), kOk);
    ASSERT_EQ(Str(again), Str(first)) << i;
  }
}

// Generated keys: exact size, E = 65537, primes confirmed by openssl and the key by python.
TEST(RsaEngineTest, GeneratedKeysAreSound) {
  std::ostringstream lines;
  for (bool plain : {true, false}) {
    for (int bits : {512, 1024}) {
      RsaEngine rsa;
      ASSERT_EQ(rsa.SetKeySize(bits), kOk);
      RsaKeyData k;
      ASSERT_EQ(rsa.GetKey(k, true, plain), kOk);
      EXPECT_EQ(rsa.key_size(), bits);
      EXPECT_EQ(HexOf(k.E), "010001");
      for (const ByteString* prime : {&k.P, &k.Q}) {
        const std::string out = testsupport::RunCommand("openssl prime -hex " + HexOf(*prime));
        EXPECT_NE(out.find("is prime"), std::string::npos) << out;
      }
      lines << HexOf(k.N) << " " << HexOf(k.E) << " " << HexOf(k.D) << " " << HexOf(k.P) << " " << HexOf(k.Q) << " "
            << HexOf(k.DP) << " " << HexOf(k.DQ) << " " << HexOf(k.QInv) << " " << bits << "\n";
      RsaKeyData pub;
      ASSERT_EQ(rsa.GetKey(pub, false, plain), kOk);
      EXPECT_TRUE(pub.D.empty() && pub.P.empty() && !pub.N.empty());
    }
  }
  std::vector<std::string> verdicts;
  TW_PYTHON_OR_SKIP(R"PY(
import sys
for line in sys.stdin:
    w = line.split()
    n, e, d, p, q, dp, dq, qi = (int(v, 16) for v in w[:8])
    bits = int(w[8])
    ok = n == p * q and n.bit_length() == bits and p > q and (d * e) % ((p - 1) * (q - 1)) == 1
    ok = ok and dp == d % (p - 1) and dq == d % (q - 1) and (qi * q) % p == 1
    print('ok' if ok else 'bad')
)PY", lines.str(), &verdicts);
  for (const std::string& v : verdicts) EXPECT_EQ(v, "ok");
  RsaEngine bad;
  EXPECT_EQ(bad.SetKeySize(1030), kErrKeySize);
}

}  // namespace
}  // namespace tw
