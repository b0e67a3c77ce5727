#include "certs/pkcs7_content.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::RunCommand;

// PKCS #7 fixtures made once by openssl and python3-cryptography from the test PKI.
struct Fixtures {
  std::string error;
  std::map<std::string, std::string> files;
};

const char* kPythonP7 = R"(
import sys, datetime
from cryptography import x509
from cryptography.hazmat.primitives import serialization as s, hashes
from cryptography.hazmat.primitives.serialization import pkcs7
d, out = sys.argv[1], sys.argv[2]
certs = [x509.load_pem_x509_certificate(open(d + "/" + n + ".pem", "rb").read()) for n in ("rsa", "inter")]
open(out + "/py.p7b", "wb").write(pkcs7.serialize_certificates(certs, s.Encoding.DER))
key = s.load_pem_private_key(open(d + "/inter.key", "rb").read(), None)
now = datetime.datetime(2025, 1, 1)
crl = (x509.CertificateRevocationListBuilder().issuer_name(certs[1].subject).last_update(now)
       .next_update(now + datetime.timedelta(days=30)).sign(key, hashes.SHA256()))
open(out + "/crl.pem", "wb").write(crl.public_bytes(s.Encoding.PEM))
)";

const Fixtures& GetFixtures() {
  static const Fixtures f = [] {
    Fixtures r;
    const testsupport::TestPki& pki = testsupport::TestPki::Get();
    if (!pki.ok()) {
      r.error = pki.error();
      return r;
    }
    const std::string dir = testsupport::MakeTempDir();
    testsupport::WriteFile(dir + "/msg", "hello");
    testsupport::WriteFile(dir + "/make.py", kPythonP7);
    int status = -1;
    RunCommand(std::string(testsupport::kPython) + " " + dir + "/make.py " + pki.dir() + " " + dir + " 2>&1", "", &status);
    if (status != 0) r.error += "python3-cryptography could not write PKCS #7; ";
    const std::string chain = pki.Chain("rsa");
    const std::pair<const char*, std::string> made[] = {
        {"bundle", "openssl crl2pkcs7 -nocrl -certfile " + chain + " -outform DER"},
        {"bundle_pem", "openssl crl2pkcs7 -nocrl -certfile " + chain + " | grep -v -e -----"},
        {"with_crl", "openssl crl2pkcs7 -in " + dir + "/crl.pem -certfile " + chain + " -outform DER"},
        {"signed", "openssl smime -sign -nodetach -in " + dir + "/msg -signer " + pki.Cert("rsa") + " -inkey " +
                       pki.Key("rsa") + " -certfile " + pki.Cert("inter") + " -outform DER"},
        {"enveloped", "openssl smime -encrypt -aes256 -in " + dir + "/msg -outform DER " + pki.Cert("rsa")},
        {"data", "openssl cms -data_create -in " + dir + "/msg -outform DER"},
    };
    for (const auto& [name, command] : made) {
      r.files[name] = RunCommand(command + " 2>/dev/null", "", &status);
      if (status != 0) r.error += std::string("openssl failed for ") + name + "; ";
    }
    r.files["py"] = testsupport::ReadFile(dir + "/py.p7b");
    RunCommand("rm -rf " + dir);
    return r;
  }();
  return f;
}

struct P7Case {
  const char* fixture;
  int kind;
  int signers;
  int p7b_rc;
  int certificates;
  bool leaf_first;  // the writer keeps the order given (others sort the SET)
};

class P7Read : public testing::TestWithParam<P7Case> {};

TEST_P(P7Read, DecodesTheContentAndTheBundle) {
  const Fixtures& fx = GetFixtures();
  if (!fx.error.empty()) {
    TW_REQUIRE_OR_SKIP(fx.error);
  }
  const P7Case& c = GetParam();
  const std::string& bytes = fx.files.at(c.fixture);
  Pkcs7Content p7;
  ASSERT_EQ(p7.input.Set(bytes.data(), static_cast<int>(bytes.size())), kOk);
  ASSERT_EQ(p7.Parse(), kOk);
  EXPECT_EQ(p7.kind, c.kind);
  EXPECT_EQ(p7.record.signers.Count(), c.signers);
  if (c.signers > 0) {
    const SignerInfo* s = p7.record.signers.At(0);
    EXPECT_STREQ(s->issuerText.c_str(), "C=US, O=Tarnwick Tests, CN=Test Intermediate CA");
    EXPECT_STREQ(s->digestAlgorithm.first.c_str(), "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(s->signature.length(), 256);
    EXPECT_STREQ(p7.record.contentText.c_str(), "hello");
  }
  if (c.kind == kPkcs7Enveloped) {
    EXPECT_STREQ(p7.record.issuerText.c_str(), "C=US, O=Tarnwick Tests, CN=Test Intermediate CA");
    EXPECT_EQ(p7.record.encryptedKey.length(), 256);
    EXPECT_STREQ(p7.record.contentEncryptionAlgorithm.first.c_str(), "2.16.840.1.101.3.4.1.42");
    EXPECT_EQ(p7.record.encryptedContent.length(), 16);
  }

  P7bContainer bundle;
  ASSERT_EQ(ReadP7b(bytes.data(), static_cast<int>(bytes.size()), &bundle), c.p7b_rc);
  if (c.p7b_rc != kOk) return;
  CertificateArray certs;
  ASSERT_EQ(bundle.ExtractCertificates(&certs), kOk);
  ASSERT_EQ(certs.Count(), c.certificates);
  const char* leaf = "C=US, O=Tarnwick Tests, CN=localhost";
  const char* inter = "C=US, O=Tarnwick Tests, CN=Test Intermediate CA";
  EXPECT_STREQ(certs.At(0)->tbs.subjectText.c_str(), c.leaf_first ? leaf : inter);
  EXPECT_STREQ(certs.At(1)->tbs.subjectText.c_str(), c.leaf_first ? inter : leaf);
}

INSTANTIATE_TEST_SUITE_P(Producers, P7Read,
                         testing::Values(P7Case{"bundle", kPkcs7Signed, 0, kOk, 2, true},
                                         P7Case{"bundle_pem", kPkcs7Signed, 0, kOk, 2, true},
                                         P7Case{"with_crl", kPkcs7Signed, 0, kOk, 2, true},
                                         P7Case{"py", kPkcs7Signed, 0, kOk, 2, true},
                                         P7Case{"signed", kPkcs7Signed, 1, kOk, 2, false},
                                         P7Case{"enveloped", kPkcs7Enveloped, 0, kErrDerMalformed, 0, false},
                                         P7Case{"data", kPkcs7Data, 0, kErrDerMalformed, 0, false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.fixture); });

// Every prefix gives a code and never a crash; hand-made ContentInfos give the codes of the reader.
TEST(P7Hostile, PrefixesAndShortContent) {
  const Fixtures& fx = GetFixtures();
  if (!fx.error.empty()) {
    TW_REQUIRE_OR_SKIP(fx.error);
  }
  for (const char* name : {"signed", "with_crl"}) {
    const std::string& bytes = fx.files.at(name);
    for (size_t n = 0; n < bytes.size(); ++n) {
      P7bContainer bundle;
      ASSERT_NE(ReadP7b(bytes.data(), static_cast<int>(n), &bundle), kOk) << name << " prefix " << n;
    }
  }
  struct {
    const char* hex;
    int rc;
  } const cases[] = {
      {"300b06092a864886f70d010702", kErrDerIncomplete},             // no content element
      {"300f06092a864886f70d01070204023000", kErrDerMalformed},      // content of another tag
      {"301206092a864886f70d010702a0053003020101", kErrDerIncomplete},  // SignedData cut short
      {"300806022a03a0023000", kErrDerMalformed},                    // an unknown type: no certificates
  };
  for (const auto& c : cases) {
    const std::string der = testsupport::Unhex(c.hex);
    P7bContainer bundle;
    EXPECT_EQ(ReadP7b(der.data(), static_cast<int>(der.size()), &bundle), c.rc) << c.hex;
  }
}

}  // namespace
}  // namespace tw
