#include "crypto/pubkey/rsa_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "tests/crypto/pubkey/pubkey_test_util.h"

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
