// Ed25519 (plain, ctx, ph) and Ed448 (plain, ph): the RFC 8032 vectors, the Wycheproof verdicts, a
// round trip with python3-cryptography, strict decoding, bad lengths and the engine's dispatch.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"
#include "crypto/pubkey/public_key.h"
#include "crypto/symmetric/sha512.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;
using Str = const std::string&;

const uint8_t* U(Str s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int N(Str s) { return static_cast<int>(s.size()); }
std::string S(const tw::ByteString& b) { return std::string(b.data(), static_cast<size_t>(b.length())); }
int Keep(int rc, const tw::ByteString& b, std::string* out) {
  *out = S(b);
  return rc;
}

// One scheme behind a common shape: sign(msg, ctx, pub, priv, out), verify(msg, ctx, pub, sig).
struct Scheme {
  const char* name;
  int keyBytes;
  int (*sign)(Str, Str, Str, Str, std::string*);
  int (*verify)(Str, Str, Str, Str);
};

const Scheme kSchemes[] = {
    {"Ed25519", 32,
     [](Str m, Str, Str pub, Str priv, std::string* o) {
       tw::ByteString b;
       return Keep(tw::Ed25519Sign(U(m), m.size(), U(pub), N(pub), U(priv), N(priv), b), b, o);
     },
     [](Str m, Str, Str pub, Str sig) { return tw::Ed25519Verify(U(m), m.size(), U(pub), N(pub), U(sig), N(sig)); }},
    {"Ed25519ctx", 32,
     [](Str m, Str c, Str pub, Str priv, std::string* o) {
       tw::ByteString b;
       return Keep(tw::Ed25519CtxSign(U(m), m.size(), U(c), N(c), U(pub), N(pub), U(priv), N(priv), b), b, o);
     },
     [](Str m, Str c, Str pub, Str sig) {
       return tw::Ed25519CtxVerify(U(m), m.size(), U(c), N(c), U(pub), N(pub), U(sig), N(sig));
     }},
    {"Ed25519ph", 32,
     [](Str m, Str c, Str pub, Str priv, std::string* o) {
       tw::ByteString b;
       return Keep(tw::Ed25519PhSign(U(m), m.size(), false, U(c), N(c), U(pub), N(pub), U(priv), N(priv), b), b, o);
     },
     [](Str m, Str c, Str pub, Str sig) {
       return tw::Ed25519PhVerify(U(m), m.size(), false, U(c), N(c), U(pub), N(pub), U(sig), N(sig));
     }},
    {"Ed448", 57,
     [](Str m, Str c, Str pub, Str priv, std::string* o) {
       tw::ByteString b;
       return Keep(tw::Ed448Sign(U(m), m.size(), U(c), N(c), U(pub), N(pub), U(priv), N(priv), b), b, o);
     },
     [](Str m, Str c, Str pub, Str sig) {
       return tw::Ed448Verify(U(m), m.size(), U(c), N(c), U(pub), N(pub), U(sig), N(sig));
     }},
    {"Ed448ph", 57,
     [](Str m, Str c, Str pub, Str priv, std::string* o) {
       tw::ByteString b;
       return Keep(tw::Ed448PhSign(U(m), m.size(), false, U(c), N(c), U(pub), N(pub), U(priv), N(priv), b), b, o);
     },
     [](Str m, Str c, Str pub, Str sig) {
       return tw::Ed448PhVerify(U(m), m.size(), false, U(c), N(c), U(pub), N(pub), U(sig), N(sig));
     }},
};
const Scheme& Ed25519() { return kSchemes[0]; }
const Scheme& Ed448() { return kSchemes[3]; }

std::string PublicOf(const Scheme& s, Str seed) {
  tw::ByteString priv, pub;
  priv.Set(seed.data(), N(seed));
  const int rc = s.keyBytes == 32 ? tw::Ed25519PublicFromPrivate(priv, pub) : tw::Ed448PublicFromPrivate(priv, pub);
  return rc ? "error " + std::to_string(rc) : S(pub);
}

struct Vector {
  std::string name, scheme, priv, pub, msg, ctx, sig;
};

std::vector<Vector> RfcVectors() {
  std::vector<Vector> out;
  const std::string path = testsupport::VectorsDir() + "/rfc8032/eddsa_vectors.txt";
  for (const std::string& line : testsupport::Lines(testsupport::ReadFile(path))) {
    if (line.empty() || line[0] == '#') continue;
    char f[7][2100];
    if (sscanf(line.c_str(), "%99s %99s %2099s %2099s %2099s %2099s %2099s", f[0], f[1], f[2], f[3], f[4], f[5],
               f[6]) != 7) {
      continue;
    }
    auto field = [&](int i) { return f[i][0] == '-' ? std::string() : Unhex(f[i]); };
    out.push_back({f[0], f[1], field(2), field(3), field(4), field(5), field(6)});
  }
  return out;
}

const Vector& Rfc(const std::string& name) {
  static const std::vector<Vector> all = RfcVectors();
  for (const Vector& v : all) {
    if (v.name == name) return v;
  }
  static const Vector none;
  return none;
}

const Scheme& SchemeOf(Str name) {
  for (const Scheme& s : kSchemes) {
    if (name == s.name) return s;
  }
  return kSchemes[0];
}

class EdRfcVectorTest : public ::testing::TestWithParam<Vector> {};

// The public key and signature of the RFC; the signature verifies, and not once the message or R
// is changed.
TEST_P(EdRfcVectorTest, SignsAndVerifies) {
  const Vector& v = GetParam();
  const Scheme& s = SchemeOf(v.scheme);
  std::string sig, bent = v.sig;
  bent[0] ^= 1;
  const std::string pub = PublicOf(s, v.priv);
  EXPECT_EQ(Hex(pub.data(), pub.size()), Hex(v.pub.data(), v.pub.size()));
  ASSERT_EQ(s.sign(v.msg, v.ctx, v.pub, v.priv, &sig), 0);
  EXPECT_EQ(Hex(sig.data(), sig.size()), Hex(v.sig.data(), v.sig.size()));
  EXPECT_EQ(s.verify(v.msg, v.ctx, v.pub, v.sig), 1);
  EXPECT_EQ(s.verify(v.msg + "x", v.ctx, v.pub, v.sig), 0);
  EXPECT_EQ(s.verify(v.msg, v.ctx, v.pub, bent), 0);
}

INSTANTIATE_TEST_SUITE_P(Rfc8032, EdRfcVectorTest, ::testing::ValuesIn(RfcVectors()), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return n;
});

TEST(EdRfcVectorFile, HoldsAllTwentyOne) { EXPECT_EQ(RfcVectors().size(), 21u); }

struct CurveCase {
  const Scheme* scheme;
  const char* wycheproof;  // file stem
  const char* pyName;      // Ed25519 / Ed448 in cryptography's module names
};

const CurveCase kCurves[] = {{&kSchemes[0], "ed25519", "ed25519"}, {&kSchemes[3], "ed448", "ed448"}};

class EdCurveTest : public ::testing::TestWithParam<CurveCase> {};

// Every case of the file: "valid" verifies, "invalid" does not (S at or above L, non-canonical R,
// wrong lengths, trailing garbage among them).
TEST_P(EdCurveTest, WycheproofVerdicts) {
  const CurveCase& c = GetParam();
  const std::string script = R"(
import json, sys
d = json.load(open(sys.stdin.readline().strip()))
for g in d['testGroups']:
    for t in g['tests']:
        print(t['tcId'], t['result'], g['publicKey']['pk'], t['msg'] or '-', t['sig'] or '-')
)";
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(script, testsupport::VectorsDir() + "/wycheproof/" + c.wycheproof + "_test.json\n", &lines);
  ASSERT_GT(lines.size(), 80u);
  for (const std::string& line : lines) {
    char id[16], verdict[16], pub[256], msg[4096], sig[512];
    ASSERT_EQ(sscanf(line.c_str(), "%15s %15s %255s %4095s %511s", id, verdict, pub, msg, sig), 5) << line;
    const std::string m = msg[0] == '-' ? "" : Unhex(msg), s = sig[0] == '-' ? "" : Unhex(sig);
    EXPECT_EQ(c.scheme->verify(m, "", Unhex(pub), s), std::string(verdict) == "valid" ? 1 : 0) << "tcId " << id;
  }
}

// Keys from random seeds, random messages: the same public keys and byte-equal signatures as
// python3-cryptography, and ours verify there.
TEST_P(EdCurveTest, AgreesWithPythonCryptography) {
  const CurveCase& c = GetParam();
  const std::string script = std::string("from cryptography.hazmat.primitives.asymmetric import ") + c.pyName +
                             " as m\nfrom cryptography.hazmat.primitives import serialization as s\nimport sys\n" +
                             "K = m." + (c.scheme->keyBytes == 32 ? "Ed25519" : "Ed448") + "PrivateKey\n" + R"(
for line in sys.stdin:
    seed, msg, ours = line.split()
    k = K.from_private_bytes(bytes.fromhex(seed))
    data = b'' if msg == '-' else bytes.fromhex(msg)
    try:
        k.public_key().verify(bytes.fromhex(ours), data)
        ok = 1
    except Exception:
        ok = 0
    print(k.public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw).hex(), k.sign(data).hex(), ok)
)";
  std::string input;
  std::vector<std::string> want;
  for (unsigned i = 0; i < 24; ++i) {
    const std::string seed = testsupport::RandomBytes(c.scheme->keyBytes, 8100 + i);
    const std::string msg = testsupport::RandomBytes(i * 29 % 300, 8200 + i);
    const std::string pub = PublicOf(*c.scheme, seed);
    std::string sig;
    ASSERT_EQ(c.scheme->sign(msg, "", pub, seed, &sig), 0);
    input += Hex(seed.data(), seed.size()) + " " + (msg.empty() ? "-" : Hex(msg.data(), msg.size())) + " " +
             Hex(sig.data(), sig.size()) + "\n";
    want.push_back(Hex(pub.data(), pub.size()) + " " + Hex(sig.data(), sig.size()) + " 1");
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(script, input, &lines);
  EXPECT_EQ(lines, want);
}

INSTANTIATE_TEST_SUITE_P(Curves, EdCurveTest, ::testing::ValuesIn(kCurves),
                         [](const auto& info) { return std::string(info.param.wycheproof); });

// Bad input and the engine's dispatch, each case a claim that must hold.
struct Case {
  const char* what;
  bool (*run)();
};

// R = B and S = 1 verify under the neutral point as public key (S B - k O = B), so these signatures
// isolate the decoding of the key: only its canonical encoding may be accepted.
const std::string kB25519 = Unhex("5866666666666666666666666666666666666666666666666666666666666666");
const std::string kB448 = Unhex(
    "14fa30f25b790898adc8d74e2c13bdfdc4397ce61cffd33ad7c2a0051e9c78874098a36c7373ea4b62c7c9563720768824bcb66e71463f6900");
std::string One(int n) { return "\x01" + std::string(n - 1, '\0'); }
bool NeutralKey(const Scheme& s, Str pub) {
  const std::string sig = s.keyBytes == 32 ? kB25519 + One(32) : kB448 + One(56) + std::string(1, '\0');
  return s.verify("msg", "", pub, sig) == 1;
}

std::string Fill(int n, char c = 'k') { return std::string(n, c); }
int SignCode(const Scheme& s, Str m, Str c, Str pub, Str priv) {
  std::string out;
  return s.sign(m, c, pub, priv, &out);
}

// An engine holding an RFC key pair, with the given context and prehash switch.
bool EngineFor(tw::PublicKey& pk, const Vector& v, Str ctx = "", bool prehash = false) {
  tw::EcKeyData k;
  k.curve_id = v.pub.size() == 32 ? tw::kCurveEd25519 : tw::kCurveEd448;
  k.public_bytes.Set(v.pub.data(), N(v.pub));
  k.private_bytes.Set(v.priv.data(), N(v.priv));
  pk.set_eddsa_prehash(prehash);
  return pk.SetKey(k) == 0 && pk.set_eddsa_context(U(ctx), N(ctx)) == 0;
}
bool EngineSigns(const Vector& v, Str ctx, Str input, bool prehash = false) {
  tw::PublicKey pk;
  tw::ByteString out;
  bool valid = false;
  return EngineFor(pk, v, ctx, prehash) && pk.SignData(U(input), N(input), 0, out) == 0 && S(out) == v.sig &&
         pk.VerifyData(U(input), N(input), out.bytes(), out.length(), 0, &valid) == 0 && valid;
}
std::string Sha512Of(Str m) {
  tw::Sha512Context h;
  h.Update(m.data(), m.size());
  return std::string(reinterpret_cast<const char*>(h.Final()), 64);
}

const Case kCases[] = {
    {"Ed25519: the neutral key canonically encoded verifies", [] { return NeutralKey(Ed25519(), One(32)); }},
    {"Ed25519: y = p + 1 is refused", [] { return !NeutralKey(Ed25519(), Unhex("ee" + std::string(60, 'f') + "7f")); }},
    {"Ed25519: x = 0 with the sign bit is refused",
     [] { return !NeutralKey(Ed25519(), One(31) + std::string(1, '\x80')); }},
    {"Ed448: the neutral key canonically encoded verifies", [] { return NeutralKey(Ed448(), One(57)); }},
    {"Ed448: y = p + 1 is refused",
     [] { return !NeutralKey(Ed448(), Fill(28, '\0') + Fill(28, '\xff') + std::string(1, '\0')); }},
    {"Ed448: a low bit of the last octet is refused", [] { return !NeutralKey(Ed448(), One(56) + "\x01"); }},
    {"Ed448: x = 0 with the sign bit is refused", [] { return !NeutralKey(Ed448(), One(56) + "\x80"); }},
    {"Ed448: a last signature octet of 1 is not valid",
     [] {
       Vector v = Rfc("7.4-blank");
       v.sig.back() = 1;
       return Ed448().verify(v.msg, "", v.pub, v.sig) == 0;
     }},
    {"short or long keys and signatures are not valid",
     [] {
       const Vector& a = Rfc("7.1-TEST-1");
       const Vector& b = Rfc("7.4-blank");
       return Ed25519().verify(a.msg, "", a.pub.substr(1), a.sig) == 0 &&
              Ed25519().verify(a.msg, "", a.pub, a.sig.substr(1)) == 0 &&
              Ed25519().verify(a.msg, "", a.pub, a.sig + "x") == 0 &&
              Ed448().verify(b.msg, "", b.pub.substr(1), b.sig) == 0 &&
              Ed448().verify(b.msg, "", b.pub, b.sig.substr(1)) == 0;
     }},
    {"signing keys of the wrong length give 0x81000",
     [] {
       return SignCode(Ed25519(), "m", "", Fill(32), Fill(31)) == tw::kErrEdKeyLength &&
              SignCode(Ed25519(), "m", "", Fill(33), Fill(32)) == tw::kErrEdKeyLength &&
              SignCode(Ed448(), "m", "", Fill(57), Fill(56)) == tw::kErrEdKeyLength;
     }},
    {"contexts: 255 bytes work, 256 do not, Ed25519ctx needs one",
     [] {
       const Vector& v = Rfc("7.4-blank");
       std::string sig;
       return Ed448().sign("m", Fill(255), v.pub, v.priv, &sig) == 0 && Ed448().verify("m", Fill(255), v.pub, sig) &&
              SignCode(Ed448(), "m", Fill(256), v.pub, v.priv) == tw::kErrEdContextLength &&
              Ed448().verify("m", Fill(256), v.pub, sig) == 0 &&
              SignCode(kSchemes[1], "m", "", Fill(32), Fill(32)) == tw::kErrEdContextLength &&
              SignCode(kSchemes[2], "m", Fill(256), Fill(32), Fill(32)) == tw::kErrEdContextLength;
     }},
    {"an already-hashed input must be 64 bytes",
     [] {
       tw::ByteString out;
       const std::string k = Fill(114), d = Fill(63);
       return tw::Ed25519PhSign(U(d), d.size(), true, nullptr, 0, U(k), 32, U(k), 32, out) == tw::kErrEdPrehashLength &&
              tw::Ed448PhSign(U(d), d.size(), true, nullptr, 0, U(k), 57, U(k), 57, out) == tw::kErrEdPrehashLength &&
              tw::Ed448PhVerify(U(d), d.size(), true, nullptr, 0, U(k), 57, U(k), 114) == 0;
     }},
    {"Ed25519ph of SHA-512(M) already hashed equals Ed25519ph of M",
     [] {
       const Vector& v = Rfc("7.3-abc");
       const std::string ph = Sha512Of(v.msg);
       tw::ByteString out;
       return tw::Ed25519PhSign(U(ph), ph.size(), true, nullptr, 0, U(v.pub), 32, U(v.priv), 32, out) == 0 &&
              S(out) == v.sig;
     }},
    {"the engine signs Ed25519, Ed25519ctx and Ed448 messages through SignData",
     [] {
       return EngineSigns(Rfc("7.1-TEST-2"), "", Rfc("7.1-TEST-2").msg) &&
              EngineSigns(Rfc("7.2-bar"), "bar", Rfc("7.2-bar").msg) &&
              EngineSigns(Rfc("7.4-1-octet-ctx"), "foo", Rfc("7.4-1-octet-ctx").msg);
     }},
    {"the engine's prehash switch takes a 64-byte prehash (Ed25519ph)",
     [] { return EngineSigns(Rfc("7.3-abc"), "", Sha512Of("abc"), true); }},
    {"the engine refuses digests with the switch off, and a 63-byte Ed448ph digest",
     [] {
       tw::PublicKey plain, ph;
       tw::ByteString out;
       bool valid = true;
       const std::string d = Fill(63);
       return EngineFor(plain, Rfc("7.4-blank")) && plain.Sign(U(d), 63, out) == tw::kErrEcEdwardsDigest &&
              EngineFor(ph, Rfc("7.5-abc"), "", true) && ph.Sign(U(d), 63, out) == tw::kErrEdPrehashLength &&
              ph.Verify(U(d), 63, U(d), 63, &valid) == 0 && !valid;
     }},
    {"a key whose public part is another key's is refused, for either curve",
     [] {
       const Vector& a = Rfc("7.1-TEST-1");
       const Vector& b = Rfc("7.1-TEST-2");
       const Vector& c = Rfc("7.4-blank");
       const Vector& d = Rfc("7.4-1-octet");
       std::string sig;
       return Ed25519().sign("m", "", b.pub, a.priv, &sig) == tw::kErrEdKeyMismatch &&
              Ed448().sign("m", "", d.pub, c.priv, &sig) == tw::kErrEdKeyMismatch;
     }},
    {"a generated Ed448 key signs and verifies through the engine",
     [] {
       tw::EcKeyData k;
       tw::PublicKey pk;
       tw::ByteString sig;
       bool valid = false, bent = true;
       const std::string m = "message";
       if (tw::EcGenerateKey(tw::kCurveEd448, k) || k.public_bytes.length() != 57 || pk.SetKey(k)) return false;
       if (pk.SignData(U(m), N(m), 0, sig) || pk.VerifyData(U(m), N(m), sig.bytes(), sig.length(), 0, &valid)) {
         return false;
       }
       sig.bytes()[3] ^= 1;
       return valid && pk.VerifyData(U(m), N(m), sig.bytes(), sig.length(), 0, &bent) == 0 && !bent;
     }},
};

class EdCaseTest : public ::testing::TestWithParam<Case> {};
TEST_P(EdCaseTest, Holds) { EXPECT_TRUE(GetParam().run()) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Cases, EdCaseTest, ::testing::ValuesIn(kCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

}  // namespace
