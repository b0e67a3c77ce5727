// Certificates made here, checked by openssl and python3-cryptography.
#include "certs/cert_create.h"

#include <gtest/gtest.h>

#include <string>

#include "certs/cert_signature.h"
#include "tests/certs/cert_create_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

struct MadeCase {
  const char* name;
  const char* subject_key;
  const char* issuer_key;  // "" for self-signed
  const char* hash;
  const char* signature_name;  // as openssl x509 -text names it
};

class CertCreateInterop : public ::testing::TestWithParam<MadeCase> {};

constexpr MadeCase kMade[] = {
    {"RsaSelf", "rsa", "", "sha-256", "sha256WithRSAEncryption"},
    {"RsaSha512", "rsa", "", "SHA512", "sha512WithRSAEncryption"},
    {"P256Self", "p256", "", "", "ecdsa-with-SHA256"},
    {"P384Self", "p384", "", "", "ecdsa-with-SHA384"},
    {"P521Self", "p521", "", "", "ecdsa-with-SHA512"},
    {"Ed25519Self", "ed25519", "", "", "ED25519"},
    {"Ed448Self", "ed448", "", "", "ED448"},
    {"DsaSelf", "dsa", "", "SHA256", "dsaWithSHA1"},
    {"RsaByP256", "rsa", "p256", "", "ecdsa-with-SHA256"},
    {"P384ByRsa", "p384", "rsa", "SHA384", "sha384WithRSAEncryption"},
    {"Ed25519ByEd448", "ed25519", "ed448", "", "ED448"},
    {"X25519ByEd25519", "x25519", "ed25519", "", "ED25519"},
};

// Every certificate carries basicConstraints, keyUsage and a DNS subject alternative name; the
// issuer's is a CA.
TEST_P(CertCreateInterop, VerifiesAndReads) {
  const MadeCase& c = GetParam();
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  const bool self = !*c.issuer_key;
  const KeyPair subject_key = LoadKey(c.subject_key);
  const KeyPair issuer_key = LoadKey(self ? c.subject_key : c.issuer_key);

  CertExtensionArray ca_ext, leaf_ext;
  ASSERT_EQ(AddExtension(&ca_ext, "2.5.29.19", true, "040530030101ff"), kOk);
  ASSERT_EQ(AddExtension(&ca_ext, "2.5.29.15", true, "040403020106"), kOk);
  ASSERT_EQ(AddExtension(&leaf_ext, "2.5.29.19", true, "04023000"), kOk);
  ASSERT_EQ(AddExtension(&leaf_ext, "2.5.29.17", false, "040d300b8209612e6578616d706c65"), kOk);

  Certificate ca, leaf;
  ASSERT_EQ(CreateSignedCertificate(issuer_key, "CN=Test CA, O=Made Here", 0x1234, -1, 30, "",
                                    nullptr, &ca_ext, c.hash, &ca),
            kOk);
  if (self) {
    leaf.CopyFrom(ca);
  } else {
    ASSERT_EQ(CreateSignedCertificate(subject_key, "CN=leaf.example, O=Made Here", 0x100, 0, 365,
                                      ca.tbs.subjectText.c_str(), &issuer_key, &leaf_ext, c.hash,
                                      &leaf),
              kOk);
  }
  const std::string dir = testsupport::MakeTempDir();
  testsupport::WriteFile(dir + "/ca.pem", Pem(ca));
  testsupport::WriteFile(dir + "/leaf.pem", Pem(leaf));
  int status = -1;
  const std::string verdict = testsupport::RunCommand(
      "openssl verify -auth_level 0 -CAfile " + dir + "/ca.pem " + dir + "/leaf.pem 2>&1", "",
      &status);
  EXPECT_EQ(status, 0) << verdict;
  const std::string text =
      testsupport::RunCommand("openssl x509 -noout -text -nameopt RFC2253 -in " + dir + "/leaf.pem");
  EXPECT_NE(text.find("Signature Algorithm: " + std::string(c.signature_name)), std::string::npos)
      << text;
  EXPECT_NE(text.find(self ? "Serial Number: 4660" : "Serial Number: 256"), std::string::npos);
  EXPECT_NE(text.find(self ? "Subject: O=Made Here,CN=Test CA" : "Subject: O=Made Here,CN=leaf.example"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Issuer: O=Made Here,CN=Test CA"), std::string::npos);
  EXPECT_NE(text.find(self ? "CA:TRUE" : "DNS:a.example"), std::string::npos);
  testsupport::RunCommand("rm -rf " + dir);

  // python3-cryptography parses both and checks the leaf's signature with the issuer's key (it
  // refuses DSA with SHA-1, which openssl checked above).
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(
      "import sys\nfrom cryptography import x509\n"
      "from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa\n"
      "for line in sys.stdin:\n"
      "    leaf, ca = (x509.load_der_x509_certificate(bytes.fromhex(h)) for h in line.split())\n"
      "    k, h, sig, tbs = ca.public_key(), leaf.signature_hash_algorithm, leaf.signature, leaf.tbs_certificate_bytes\n"
      "    assert leaf.issuer == ca.subject\n"
      "    if isinstance(k, rsa.RSAPublicKey):\n"
      "        k.verify(sig, tbs, padding.PKCS1v15(), h)\n"
      "    elif isinstance(k, ec.EllipticCurvePublicKey):\n"
      "        k.verify(sig, tbs, ec.ECDSA(h))\n"
      "    elif leaf.signature_algorithm_oid.dotted_string != '1.2.840.10040.4.3':\n"
      "        k.verify(sig, tbs)\n"
      "    print(leaf.serial_number, leaf.subject.rfc4514_string(), leaf.version.name)\n",
      testsupport::Hex(leaf.der.data(), leaf.der.length()) + " " +
          testsupport::Hex(ca.der.data(), ca.der.length()) + "\n",
      &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], self ? "4660 O=Made Here,CN=Test CA v3" : "256 O=Made Here,CN=leaf.example v3");
}

INSTANTIATE_TEST_SUITE_P(Keys, CertCreateInterop, ::testing::ValuesIn(kMade),
                         [](const auto& info) { return std::string(info.param.name); });

struct FieldCase {
  const char* name;
  const char* key;
  int32_t serial;
  const char* hash;
  const char* issuer;
  bool issuer_key;
  int expected_rc;
  const char* serial_hex;
  const char* oid;
};

class CertCreateFields : public ::testing::TestWithParam<FieldCase> {};

constexpr FieldCase kFields[] = {
    {"SerialOne", "p256", 1, "", "", false, kOk, "01", "1.2.840.10045.4.3.2"},
    {"SerialEvenDigits", "p256", 0x100, "", "", false, kOk, "0100", "1.2.840.10045.4.3.2"},
    {"LowerCaseHash", "rsa", 7, "sha-256", "", false, kOk, "07", "1.2.840.113549.1.1.11"},
    {"Sha224", "rsa", 7, "SHA-224", "", false, kOk, "07", "1.2.840.113549.1.1.14"},
    {"DsaIgnoresHash", "dsa", 7, "SHA512", "", false, kOk, "07", "1.2.840.10040.4.3"},
    {"IssuerWithoutKey", "p256", 1, "", "CN=Other", false, kErrCreateNoIssuerKey, "", ""},
    {"IssuerKeyIgnoredWhenSelf", "ed25519", 1, "", "", true, kOk, "01", "1.3.101.112"},
    {"UnknownHashIsOid", "rsa", 1, "1.2.3.4", "", false, 2001, "", ""},
    {"X25519CannotSign", "x25519", 1, "", "", false, kErrSignKeyKind, "", ""},
    {"NoKey", "", 1, "SHA256", "", false, kErrSignKeyKind, "", ""},
};

TEST_P(CertCreateFields, Records) {
  const FieldCase& c = GetParam();
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  const KeyPair key = *c.key ? LoadKey(c.key) : KeyPair();
  const KeyPair other = LoadKey("rsa");
  Certificate made;
  ASSERT_EQ(CreateSignedCertificate(key, "CN=x", c.serial, 0, 365, c.issuer,
                                    c.issuer_key ? &other : nullptr, nullptr, c.hash, &made),
            c.expected_rc);
  if (c.expected_rc != kOk) return;
  EXPECT_STREQ(made.tbs.serialHex.c_str(), c.serial_hex);
  EXPECT_STREQ(made.tbs.signatureAlgorithm.first.c_str(), c.oid);
  EXPECT_STREQ(made.outerAlgorithm.first.c_str(), c.oid);
  EXPECT_EQ(made.tbs.version, 2);
  EXPECT_EQ(CompareValidity(made.tbs.notBefore.c_str(), made.tbs.notAfter.c_str()), 0);
  EXPECT_EQ(std::string(made.tbs.notAfter.c_str()).substr(0, 4) >
                std::string(made.tbs.notBefore.c_str()).substr(0, 4),
            true);
}

INSTANTIATE_TEST_SUITE_P(Cases, CertCreateFields, ::testing::ValuesIn(kFields),
                         [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
  const char* key;  // "" for no key
  bool public_only;
  const char* hash;
  bool signs;
  int32_t placeholder_type;
  bool replaced;  // the placeholder needed a new key
};

class SignWithKey : public ::testing::TestWithParam<KeyCase> {};

constexpr KeyCase kKeys[] = {
    {"rsa", false, "SHA384", true, kKeyRsa, false},      {"p521", false, "SHA512", true, kKeyEc, false},
    {"ed448", false, "", true, kKeyEdwards, false},      {"dsa", false, "SHA1", true, kKeyDsa, false},
    {"", false, "SHA256", false, kKeyRsa, true},         {"x448", false, "", false, kKeyRsa, true},
    {"rsa", true, "SHA256", false, kKeyRsa, true},       {"p256", true, "SHA256", false, kKeyRsa, true},
    {"rsa", false, "NOHASH", false, kKeyRsa, false},
};

// A signature comes back, or an error: never success with nothing. The placeholder certificate of
// a bare key is signed by the key itself, or by a new RSA key when it cannot sign.
TEST_P(SignWithKey, SignsOrFailsAndMakesPlaceholder) {
  const KeyCase& c = GetParam();
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  KeyPair key = *c.key ? LoadKey(c.key) : KeyPair();
  if (c.public_only) {
    for (ByteString* part : {&key.rsa.D, &key.rsa.P, &key.rsa.Q, &key.ec.D}) part->Reset();
  }
  ByteString signature;
  const int rc = SignWithKeyPair("data", 4, c.hash, key, &signature);
  EXPECT_EQ(rc == kOk, c.signs) << rc;
  EXPECT_EQ(signature.empty(), !c.signs);
  const ByteString n = key.rsa.N;
  Certificate made;
  ASSERT_EQ(CreateBareKeyCertificate(&key, &made), kOk);
  EXPECT_EQ(key.type, c.placeholder_type);
  EXPECT_EQ(!key.rsa.N.Equals(n), c.replaced);
  EXPECT_STREQ(made.tbs.subjectText.c_str(), "CN=pem_cert");
  EXPECT_STREQ(made.tbs.serialHex.c_str(), "01");
  bool valid = false;
  ASSERT_EQ(VerifyCertificateSignature(made, made, &valid), kOk);
  EXPECT_TRUE(valid);
}

INSTANTIATE_TEST_SUITE_P(Keys, SignWithKey, ::testing::ValuesIn(kKeys),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(*p.key ? p.key : "no_key", p.hash, i.index); });

}  // namespace
}  // namespace tw
