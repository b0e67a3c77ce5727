// JWKs built by python3-cryptography from its key numbers, read and compared with the same key's
// SubjectPublicKeyInfo, then signed through.
#include "certs/jwk_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "certs/key_pair_der.h"
#include "certs/private_key_reader.h"
#include "tests/certs/key_file_support.h"

namespace tw {
namespace {

// Input lines "<kind> <form>": form 0 public, 1 private, 2 OKP private without "x". Output lines
// "<jwk>\t<spki hex>".
constexpr const char* kMakeJwk = R"(import sys, json, base64
from cryptography.hazmat.primitives.asymmetric import rsa, ec, ed25519, ed448, x25519, x448
from cryptography.hazmat.primitives import serialization as s
def b(n, size=None):
    return base64.urlsafe_b64encode(n.to_bytes(size or (n.bit_length() + 7) // 8, 'big')).rstrip(b'=').decode()
def raw(x):
    return base64.urlsafe_b64encode(x).rstrip(b'=').decode()
curves = {'P-256': ec.SECP256R1(), 'P-384': ec.SECP384R1(), 'P-521': ec.SECP521R1()}
okp = {'Ed25519': ed25519.Ed25519PrivateKey, 'Ed448': ed448.Ed448PrivateKey,
       'X25519': x25519.X25519PrivateKey, 'X448': x448.X448PrivateKey}
for line in sys.stdin:
    kind, form = line.split()
    if kind == 'RSA':
        k = rsa.generate_private_key(65537, 1024)
        pn = k.private_numbers()
        j = {'kty': 'RSA', 'alg': 'RS256', 'kid': 'key one', 'n': b(pn.public_numbers.n), 'e': b(pn.public_numbers.e)}
        if form != '0':
            j.update(d=b(pn.d), p=b(pn.p), q=b(pn.q), dp=b(pn.dmp1), dq=b(pn.dmq1), qi=b(pn.iqmp))
    elif kind in curves:
        k = ec.generate_private_key(curves[kind])
        size = (curves[kind].key_size + 7) // 8
        pn = k.private_numbers()
        j = {'kty': 'EC', 'crv': kind, 'x': b(pn.public_numbers.x, size), 'y': b(pn.public_numbers.y, size)}
        if form != '0':
            j['d'] = b(pn.private_value, size)
    else:
        k = okp[kind].generate()
        j = {'kty': 'OKP', 'crv': kind}
        if form != '2':
            j['x'] = raw(k.public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw))
        if form != '0':
            j['d'] = raw(k.private_bytes(s.Encoding.Raw, s.PrivateFormat.Raw, s.NoEncryption()))
    print(json.dumps(j) + '\t' + k.public_key().public_bytes(s.Encoding.DER, s.PublicFormat.SubjectPublicKeyInfo).hex())
)";

struct JwkCase {
  const char* kind;
  int form;
  int curve_id;
};

constexpr JwkCase kJwkCases[] = {
    {"RSA", 1, kCurveNone},        {"RSA", 0, kCurveNone},        {"P-256", 1, kCurveP256},
    {"P-384", 1, kCurveP384},      {"P-521", 1, kCurveP521},      {"P-521", 0, kCurveP521},
    {"Ed25519", 1, kCurveEd25519}, {"Ed25519", 2, kCurveEd25519}, {"Ed448", 1, kCurveEd448},
    {"X25519", 0, kCurveX25519},   {"X448", 1, kCurveX448},
};

TEST(Jwk, PythonKeysReadAndSign) {
  std::string input;
  for (const JwkCase& c : kJwkCases) input += std::string(c.kind) + " " + std::to_string(c.form) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(kMakeJwk, input, &out);
  ASSERT_EQ(out.size(), std::size(kJwkCases));
  keyfile::TempDir dir;
  for (size_t i = 0; i < out.size(); ++i) {
    const JwkCase& c = kJwkCases[i];
    const std::string jwk = out[i].substr(0, out[i].find('\t'));
    const std::string spki = testsupport::Unhex(out[i].substr(out[i].find('\t') + 1));
    KeyPair key, pub;
    ASSERT_EQ(ReadJwk(&key, jwk.c_str()), 0) << jwk;
    ASSERT_EQ(ReadPublicKeyInfoBytes(&pub, spki.data(), static_cast<int>(spki.size())), 0);
    EXPECT_TRUE(SamePublicKey(key, pub)) << jwk;
    EXPECT_EQ(key.HasPrivate(), c.form != 0) << jwk;
    EXPECT_EQ(key.IsEcKind() ? key.GetEc(&pub.ec, false) == 0 && pub.ec.curve_id == c.curve_id : true, true) << jwk;
    EXPECT_STREQ(key.GetParam("JWK_0_kty"), key.type == kKeyRsa ? "RSA" : key.type == kKeyEc ? "EC" : "OKP");
    if (c.form != 0 && c.curve_id != kCurveX25519 && c.curve_id != kCurveX448) {
      EXPECT_EQ(keyfile::SignedAndVerified(key, dir), "") << jwk;
    }
    for (size_t cut = 0; cut + 1 < jwk.size(); ++cut) {
      KeyPair part;
      ASSERT_NE(ReadJwk(&part, jwk.substr(0, cut).c_str()), 0) << jwk.substr(0, cut);
    }
  }
}

TEST(Jwk, NoUsableKey) {
  const char* const refused[] = {
      R"({"kty":"oct","k":"AAAA"})",
      R"({"kty":"EC","crv":"P-192","x":"AQAB","y":"AQAB"})",
      R"({"kty":"OKP","crv":"Ed25519"})",
      R"({"kty":"OKP","crv":"Ed9","x":"AQAB"})",
      R"({"kty":"OKP","crv":"Ed25519","x":"AQAB"})",
      R"({"kty":"EC","crv":"P-256","x":"AQAB","y":"AQAB"})",
      R"({"kty":"RSA","n":"AQAB","n":"AQAB","e":"AQAB"})",
      R"({"kty":"RSA","n":"A!!B","e":"AQAB"})",
      R"({"kty":"RSA","n":"AQAB"})",
      R"({"n":"AQAB","e":"AQAB"})",
  };
  for (const char* text : refused) {
    KeyPair key;
    EXPECT_EQ(ReadJwk(&key, text), kErrJwkKey) << text;
    EXPECT_EQ(key.type, kKeyNone) << text;
  }
  for (const char* text : {"", "[", "not json", R"({"kty":"RSA",)"}) {
    KeyPair key;
    EXPECT_NE(ReadJwk(&key, text), 0) << text;
  }
}

}  // namespace
}  // namespace tw
