#include "certs/pkcs12_container.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "certs/pkcs12_pbe.h"
#include "certs/private_key_reader.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::RunCommand;

// PFX fixtures made once by openssl and python3-cryptography from the test PKI.
struct Fixtures {
  ~Fixtures() {
    if (!dir.empty()) RunCommand("rm -rf " + dir);
  }
  std::string dir, error;
  std::map<std::string, std::string> files;
};

const char* kPythonPfx = R"(
import sys
from cryptography import x509
from cryptography.hazmat.primitives import serialization as s, hashes
from cryptography.hazmat.primitives.serialization import pkcs12
d, out = sys.argv[1], sys.argv[2]
key = s.load_pem_private_key(open(d + "/rsa.key", "rb").read(), None)
cert = x509.load_pem_x509_certificate(open(d + "/rsa.pem", "rb").read())
inter = x509.load_pem_x509_certificate(open(d + "/inter.pem", "rb").read())
triple = (s.PrivateFormat.PKCS12.encryption_builder().kdf_rounds(2000)
          .key_cert_algorithm(pkcs12.PBES.PBESv1SHA1And3KeyTripleDESCBC).hmac_hash(hashes.SHA1()).build(b"secret"))
for name, enc in (("py", s.BestAvailableEncryption(b"secret")), ("py_plain", s.NoEncryption()), ("py_3des", triple)):
    open(out + "/" + name + ".p12", "wb").write(
        pkcs12.serialize_key_and_certificates(b"friendly", key, cert, [inter], enc))
)";

const Fixtures& GetFixtures() {
  static const Fixtures f = [] {
    Fixtures r;
    const testsupport::TestPki& pki = testsupport::TestPki::Get();
    if (!pki.ok()) {
      r.error = pki.error();
      return r;
    }
    r.dir = testsupport::MakeTempDir();
    const std::string in = " -in " + pki.Chain("rsa") + " -inkey " + pki.Key("rsa");
    const std::pair<const char*, std::string> made[] = {
        {"default", in + " -passout pass:secret"},
        {"legacy", in + " -legacy -passout pass:secret"},
        {"empty", in + " -passout pass:"},
        {"legacy_empty", in + " -legacy -passout pass:"},
        {"nomac", in + " -legacy -nomac -passout pass:secret"},
        {"plain", in + " -keypbe NONE -certpbe NONE -passout pass:secret"},
        {"certs_only", " -in " + pki.Chain("rsa") + " -nokeys -passout pass:secret"},
        {"ec", " -in " + pki.Chain("ecdsa") + " -inkey " + pki.Key("ecdsa") + " -passout pass:secret"},
    };
    for (const auto& [name, args] : made) {
      int status = -1;
      const std::string path = r.dir + "/" + name + ".p12";
      RunCommand("openssl pkcs12 -export -name friendly" + args + " -out " + path + " 2>&1", "", &status);
      if (status != 0) r.error += std::string("openssl pkcs12 failed for ") + name + "; ";
      r.files[name] = testsupport::ReadFile(path);
    }
    RunCommand("cp " + pki.Cert("inter") + " " + r.dir + "/inter.pem");
    int status = -1;
    testsupport::WriteFile(r.dir + "/make.py", kPythonPfx);
    RunCommand(std::string(testsupport::kPython) + " " + r.dir + "/make.py " + pki.dir() + " " + r.dir + " 2>&1", "", &status);
    if (status != 0) r.error += "python3-cryptography could not write PFX; ";
    for (const char* name : {"py", "py_plain", "py_3des"}) {
      r.files[name] = testsupport::ReadFile(r.dir + "/" + name + ".p12");
    }
    return r;
  }();
  return f;
}

#define NEED_FIXTURES()                                   \
  const Fixtures& fx = GetFixtures();                     \
  if (!fx.error.empty()) {                                \
    TW_REQUIRE_OR_SKIP(fx.error);                         \
  }

int ReadFixture(const Fixtures& fx, const std::string& name, const char* password, Pkcs12Container* out) {
  const std::string& bytes = fx.files.at(name);
  return ReadPfx(bytes.data(), static_cast<int>(bytes.size()), ByteString(password), out);
}

struct PfxCase {
  const char* fixture;
  const char* password;
  int rc;
  int certificates;  // when rc is 0
  bool keyed;        // the first certificate carries its key
  const char* friendly;
  bool mac = true;  // the MAC was made with the password, as we compute it
};

class PfxRead : public testing::TestWithParam<PfxCase> {};

TEST_P(PfxRead, GivesCertificatesKeysOrTheCode) {
  NEED_FIXTURES();
  const PfxCase& c = GetParam();
  Pkcs12Container pfx;
  ASSERT_EQ(ReadFixture(fx, c.fixture, c.password, &pfx), c.rc) << pfx.error_text.c_str();
  if (c.rc == kErrPfxWrongPassword) {
    EXPECT_STREQ(pfx.error_text.c_str(), kPfxTextKeyNotParsed);
  }
  if (c.rc != kOk) return;
  ASSERT_EQ(pfx.certificates.Count(), c.certificates);
  EXPECT_EQ(pfx.keys.Count(), 0);
  EXPECT_EQ(pfx.macVerified, c.mac);
  const CertificateWithKey* first = pfx.certificates.At(0);
  EXPECT_STREQ(first->certificate.tbs.subjectText.c_str(), "C=US, O=Tarnwick Tests, CN=localhost");
  EXPECT_EQ(first->key.type != kKeyNone, c.keyed);
  if (c.keyed) {
    EXPECT_TRUE(first->key.HasPrivate());
    EXPECT_TRUE(SamePublicKey(first->key, first->certificate.tbs.publicKey));
  }
  EXPECT_STREQ(pfx.certFriendlyNames.Get(0), c.friendly);
  EXPECT_EQ(pfx.certificates.At(1)->key.type, kKeyNone);
}

INSTANTIATE_TEST_SUITE_P(
    Producers, PfxRead,
    testing::Values(PfxCase{"default", "secret", 0, 2, true, "friendly"},
                    PfxCase{"legacy", "secret", 0, 2, true, "friendly"},
                    PfxCase{"empty", "", 0, 2, true, "friendly"},
                    PfxCase{"legacy_empty", "", 0, 2, true, "friendly"},
                    PfxCase{"nomac", "secret", 0, 2, true, "friendly", false},
                    PfxCase{"plain", "ignored", 0, 2, true, "friendly", false},
                    PfxCase{"certs_only", "secret", 0, 2, false, ""},
                    PfxCase{"ec", "secret", 0, 2, true, "friendly"},
                    PfxCase{"py", "secret", 0, 2, true, "friendly"},
                    PfxCase{"py_plain", "", 0, 2, true, "friendly"},
                    PfxCase{"py_3des", "secret", 0, 2, true, "friendly"},
                    PfxCase{"default", "Secret", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"legacy", "wrong", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"empty", "x", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"legacy_empty", "x", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"nomac", "wrong", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"certs_only", "wrong", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"py", "", kErrPfxWrongPassword, 0, false, ""},
                    PfxCase{"py_3des", "secreT", kErrPfxWrongPassword, 0, false, ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.fixture, p.rc == 0 ? "" : "wrong_password"); });

// Every prefix, and every single-byte change of the structure before the encrypted parts, gives a
// code and never a crash; a prefix is never taken for a wrong password.
TEST(PfxHostile, PrefixesAndDamageGiveCodes) {
  NEED_FIXTURES();
  for (const char* name : {"default", "legacy", "py"}) {
    const std::string& bytes = fx.files.at(name);
    for (size_t n = 0; n < bytes.size(); ++n) {
      Pkcs12Container pfx;
      const int rc = ReadPfx(bytes.data(), static_cast<int>(n), ByteString("secret"), &pfx);
      ASSERT_EQ(rc, kErrDerIncomplete) << name << " prefix " << n;
    }
  }
}

// Offset of the ciphertext after the n-th AlgorithmIdentifier with this OID; its length in *length.
size_t CipherText(const std::string& pfx, const std::string& oid_hex, int n, size_t* length) {
  const std::string oid = testsupport::Unhex(oid_hex);
  size_t p = pfx.find(oid);
  while (n-- > 0) p = pfx.find(oid, p + 1);
  p += oid.size();
  auto header = [&](size_t* len) {
    ++p;
    size_t l = static_cast<uint8_t>(pfx[p++]);
    if (l & 0x80) {
      for (size_t k = l & 0x7F, i = (l = 0); i < k; ++i) l = (l << 8) | static_cast<uint8_t>(pfx[p++]);
    }
    *len = l;
  };
  size_t params = 0;
  header(&params);
  p += params;
  header(length);
  return p;
}

struct DamageCase {
  const char* fixture;
  const char* oid_hex;  // the scheme whose ciphertext is changed
  int occurrence;
  int offset;  // from the start of the ciphertext, or from its end when negative
  const char* password;
  int rc;
};

class PfxDamage : public testing::TestWithParam<DamageCase> {};

// A changed ciphertext with the right password is damage (446), never a wrong password (500). The
// changes hit the second block (structure, not only string or signature bytes) or the last one.
TEST_P(PfxDamage, IsToldApartFromAWrongPassword) {
  NEED_FIXTURES();
  const DamageCase& c = GetParam();
  std::string bytes = fx.files.at(c.fixture);
  size_t length = 0;
  const size_t start = CipherText(bytes, c.oid_hex, c.occurrence, &length);
  ASSERT_LT(start + length, bytes.size());
  bytes[c.offset >= 0 ? start + c.offset : start + length + c.offset] ^= 0x40;
  Pkcs12Container pfx;
  EXPECT_EQ(ReadPfx(bytes.data(), static_cast<int>(bytes.size()), ByteString(c.password), &pfx), c.rc)
      << pfx.error_text.c_str();
}

constexpr const char* kPbes2 = "06092a864886f70d01050d";
constexpr const char* kRc2_40 = "060a2a864886f70d010c0106";
constexpr const char* kTripleDes = "060a2a864886f70d010c0103";

INSTANTIATE_TEST_SUITE_P(Changes, PfxDamage,
                         testing::Values(DamageCase{"default", kPbes2, 0, 20, "secret", kErrDerMalformed},
                                         DamageCase{"default", kPbes2, 0, -1, "secret", kErrDerMalformed},
                                         DamageCase{"default", kPbes2, 1, 20, "secret", kErrDerMalformed},
                                         DamageCase{"default", kPbes2, 1, -1, "secret", kErrDerMalformed},
                                         DamageCase{"default", kPbes2, 0, 20, "wrong", kErrPfxWrongPassword},
                                         DamageCase{"legacy", kRc2_40, 0, 12, "secret", kErrDerMalformed},
                                         DamageCase{"legacy", kTripleDes, 0, -1, "secret", kErrDerMalformed},
                                         DamageCase{"legacy", kTripleDes, 0, 50, "wrong", kErrPfxWrongPassword}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.fixture, p.password, i.index); });

// A wrong MAC does not stop a PFX whose parts decrypt; content that is not PFX at all is 447.
TEST(PfxHostile, MacAndAuthenticatedSafe) {
  NEED_FIXTURES();
  std::string bytes = fx.files.at("legacy");
  bytes[bytes.size() - 16] ^= 1;  // inside the MAC digest
  Pkcs12Container pfx;
  EXPECT_EQ(ReadPfx(bytes.data(), static_cast<int>(bytes.size()), ByteString("secret"), &pfx), kOk);
  EXPECT_FALSE(pfx.macVerified);
  EXPECT_EQ(pfx.certificates.Count(), 2);

  // PFX { 3, data { AuthenticatedSafe { envelopedData {...} } } }
  const std::string enveloped = testsupport::Unhex(
      "3027020103302206092a864886f70d010701a01504133011300f06092a864886f70d010703a0023000");
  EXPECT_EQ(ReadPfx(enveloped.data(), static_cast<int>(enveloped.size()), ByteString(""), &pfx), kErrDerIncomplete);
  EXPECT_STREQ(pfx.error_text.c_str(), kPfxTextAuthSafe);
}

// Parameters out of range are refused before any key is derived.
TEST(PfxPassword, PbeParametersOutOfRangeAreRefused) {
  const struct {
    const char* oid;
    const char* params_hex;
  } cases[] = {
      {kOidPbeSha1TripleDes, "300d04080102030405060708020100"},          // 0 iterations
      {kOidPbeSha1TripleDes, "300d040801020304050607080201ff"},          // negative
      {kOidPbeSha1TripleDes, "301004080102030405060708020400989681"},   // above the cap
      {kOidPbeSha1TripleDes, "300a04080102030405060708"},                // no count
      {"1.2.840.113549.1.12.1.7", "300d04080102030405060708020101"},     // no such scheme
  };
  for (const auto& c : cases) {
    ByteStringPair algorithm;
    ByteString out;
    algorithm.first.SetText(c.oid);
    const std::string params = testsupport::Unhex(c.params_hex);
    algorithm.second.Set(params.data(), static_cast<int>(params.size()));
    EXPECT_EQ(DecryptPbe(algorithm, ByteString("0000"), "12345678", 8, &out), kErrPbeUnsupported) << c.params_hex;
  }
}

TEST(PfxPassword, BmpFormKeepsTheClosingZeros) {
  ByteString bmp;
  ASSERT_EQ(PfxPasswordToBmp(ByteString(""), &bmp), kOk);
  EXPECT_EQ(testsupport::Hex(bmp.data(), bmp.length()), "0000");
  ASSERT_EQ(PfxPasswordToBmp(ByteString("ab"), &bmp), kOk);
  EXPECT_EQ(testsupport::Hex(bmp.data(), bmp.length()), "006100620000");
}

// Our PFX of each key type read back by us, by openssl and by python3-cryptography.
class PfxWrite : public testing::TestWithParam<const char*> {};

TEST_P(PfxWrite, ReadableByUsAndTheOracles) {
  NEED_FIXTURES();
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  const std::string key_der =
      RunCommand("openssl pkcs8 -topk8 -nocrypt -outform DER -in " + pki.Key(GetParam()) + " 2>/dev/null");
  CertificateArray certs;
  for (const std::string& name : {std::string(GetParam()), std::string("inter")}) {
    const std::string der = RunCommand("openssl x509 -outform DER -in " + pki.Cert(name));
    ASSERT_EQ(ParseCertificateDer(der.data(), static_cast<int>(der.size()), certs.GetOrCreate(certs.Count())), kOk);
  }
  ByteString key_info, out;
  KeyPair key;
  ASSERT_EQ(key_info.Set(key_der.data(), static_cast<int>(key_der.size())), kOk);
  ASSERT_EQ(ReadPkcs8PrivateKey(key_info, &key), kOk);
  ASSERT_EQ(WritePfx(certs, ByteString("pass word"), &key, "my key \u00e9", &out), kOk);

  Pkcs12Container back;
  ASSERT_EQ(ReadPfx(out.data(), out.length(), ByteString("pass word"), &back), kOk) << back.error_text.c_str();
  EXPECT_TRUE(back.macVerified);
  ASSERT_EQ(back.certificates.Count(), 2);
  EXPECT_TRUE(SamePublicKey(back.certificates.At(0)->key, back.certificates.At(0)->certificate.tbs.publicKey));
  EXPECT_EQ(ReadPfx(out.data(), out.length(), ByteString("pass"), &back), kErrPfxWrongPassword);

  const std::string path = fx.dir + "/ours-" + GetParam() + ".p12";
  testsupport::WriteFile(path, std::string(out.data(), static_cast<size_t>(out.length())));
  int status = -1;
  RunCommand("openssl pkcs12 -info -nokeys -passin 'pass:pass word' -in " + path + " 2>&1", "", &status);
  EXPECT_EQ(status, 0);
  const std::string info =
      RunCommand("openssl pkcs12 -info -nodes -passin 'pass:pass word' -in " + path + " 2>&1", "", &status);
  EXPECT_EQ(status, 0) << info;
  // OpenSSL shows each UTF-16 unit of the name as one byte.
  for (const char* line : {"friendlyName: my key \xe9", "MAC: sha1, Iteration 1",
                           "PKCS7 Encrypted data: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2000"}) {
    EXPECT_NE(info.find(line), std::string::npos) << line << "\n" << info;
  }

  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(
      "import sys\n"
      "from cryptography.hazmat.primitives.serialization import pkcs12, PublicFormat as F, Encoding as E\n"
      "k, c, extra = pkcs12.load_key_and_certificates(open(sys.stdin.readline().strip(), 'rb').read(), b'pass word')\n"
      "print(k.public_key().public_bytes(E.DER, F.SubjectPublicKeyInfo) == c.public_key().public_bytes(E.DER, "
      "F.SubjectPublicKeyInfo), len(extra), c.subject.rfc4514_string())\n",
      path + "\n", &lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "True 1 CN=localhost,O=Tarnwick Tests,C=US");
}

INSTANTIATE_TEST_SUITE_P(Keys, PfxWrite, testing::Values("ecdsa", "rsa", "ed25519"),
    testsupport::CaseName{});

// PBES2 keys as openssl writes them (whole 16-byte salts) and the refusal of other schemes.
struct EpkiCase {
  const char* args;
  int rc;
};

class EncryptedKeyInfo : public testing::TestWithParam<EpkiCase> {};

TEST_P(EncryptedKeyInfo, DecryptsToTheKey) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) {
    TW_REQUIRE_OR_SKIP(pki.error());
  }
  const std::string der = RunCommand("openssl pkcs8 -topk8 -outform DER -passout pass:pw " +
                                     std::string(GetParam().args) + " -in " + pki.Key("ecdsa") + " 2>/dev/null");
  ByteString in, info;
  ASSERT_EQ(in.Set(der.data(), static_cast<int>(der.size())), kOk);
  ASSERT_EQ(DecryptEncryptedPrivateKeyInfo(in, ByteString("pw"), &info), GetParam().rc);
  if (GetParam().rc != kOk) return;
  KeyPair key;
  EXPECT_EQ(ReadPkcs8PrivateKey(info, &key), kOk);
  EXPECT_NE(DecryptEncryptedPrivateKeyInfo(in, ByteString("pW"), &info), kOk);
}

INSTANTIATE_TEST_SUITE_P(Schemes, EncryptedKeyInfo,
                         testing::Values(EpkiCase{"-v2 aes-256-cbc", kOk}, EpkiCase{"-v2 aes-128-cbc", kOk},
                                         EpkiCase{"-v2 des3 -v2prf hmacWithSHA1", kOk},
                                         EpkiCase{"-v1 PBE-SHA1-3DES", kOk},
                                         EpkiCase{"-v2 aes-192-cbc", kErrPbeUnsupported},
                                         EpkiCase{"-v2 aes-256-cbc -v2prf hmacWithSHA512", kErrPbeUnsupported}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.args); });

}  // namespace
}  // namespace tw
