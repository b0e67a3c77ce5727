// The chain engine over the test PKI (its root in a ROOT store folder), checked against
// `openssl verify`; certificate signatures of every algorithm made by openssl; the store files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "certs/cert_chain_engine.h"
#include "certs/cert_signature.h"
#include "platform/cert_store_files.h"
#include "tests/certs/cert_test_util.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::ShellQuote;

ByteString Bytes(const std::string& s) {
  ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}

std::string DerOf(const std::string& pem_path) {
  const std::vector<std::string> ders = certtest::PemToDers(testsupport::ReadFile(pem_path));
  return ders.empty() ? "" : ders[0];
}

class ChainTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pki().ok()) {
      TW_REQUIRE_OR_SKIP(pki().error());
    }
    setenv(win::kCertStoresVariable, pki().store_dir().c_str(), 1);
  }
  static const testsupport::TestPki& pki() { return testsupport::TestPki::Get(); }
};

struct EngineCase {
  const char* leaf;
  std::vector<const char*> untrusted;
  uint32_t flags;
  uint32_t status;
  size_t length;
};

class ChainEngineTest : public ChainTestBase, public ::testing::WithParamInterface<EngineCase> {};

TEST_P(ChainEngineTest, BuildsAndAgreesWithOpenssl) {
  const EngineCase& c = GetParam();
  std::vector<ByteString> pool;
  // Beside the shared test PKI, never inside it: other test processes read it meanwhile.
  std::string untrusted_file = testsupport::TempRoot() + "/untrusted-" + std::to_string(getpid()) + "-" + c.leaf + ".pem",
              untrusted_text;
  for (const char* name : c.untrusted) {
    pool.push_back(Bytes(DerOf(pki().Cert(name))));
    untrusted_text += testsupport::ReadFile(pki().Cert(name));
  }
  CertChain chain;
  ASSERT_EQ(BuildCertificateChain(Bytes(DerOf(pki().Cert(c.leaf))), &pool, c.flags, &chain), 0);
  EXPECT_EQ(chain.status, c.status) << c.leaf;
  ASSERT_EQ(chain.elements.size(), c.length) << c.leaf;
  for (size_t i = 0; i + 1 < chain.elements.size(); ++i) {
    EXPECT_STREQ(chain.elements[i].issuer.c_str(), chain.elements[i + 1].subject.c_str());
  }
  if (c.flags != 0) return;
  std::string args = "-CAfile " + ShellQuote(pki().Cert("root"));
  if (!untrusted_text.empty()) {
    testsupport::WriteFile(untrusted_file, untrusted_text);
    args += " -untrusted " + ShellQuote(untrusted_file);
  }
  int status = -1;
  testsupport::RunCommand(
      "openssl verify " + args + " " + ShellQuote(pki().Cert(c.leaf)) + " >/dev/null 2>&1", "",
      &status);
  std::remove(untrusted_file.c_str());
  EXPECT_EQ(status == 0, chain.status == 0) << "openssl verify disagrees on " << c.leaf;
}

INSTANTIATE_TEST_SUITE_P(
    Pki, ChainEngineTest,
    ::testing::Values(
        EngineCase{"rsa", {"inter"}, 0, 0, 3}, EngineCase{"ecdsa", {"inter"}, 0, 0, 3},
        EngineCase{"ecdsa384", {"inter"}, 0, 0, 3}, EngineCase{"ed25519", {"inter"}, 0, 0, 3},
        EngineCase{"client", {}, 0, 0, 2}, EngineCase{"root", {}, 0, 0, 1},
        EngineCase{"expired", {"inter"}, 0, kChainNotTimeValid, 3},
        EngineCase{"expired", {"inter"}, kChainIgnoreTime, 0, 3},
        EngineCase{"selfsigned", {}, 0, kChainUntrustedRoot, 1},
        EngineCase{"forged", {"inter"}, 0, kChainNotSignatureValid, 3},
        EngineCase{"forged", {"forger"}, 0, kChainUntrustedRoot, 2},
        EngineCase{"noca", {"rsa", "inter"}, 0, kChainInvalidBasicConstraints, 4},
        EngineCase{"rsa", {}, 0, kChainPartial, 1},
        // A self-signed look-alike of the intermediate's name does not stop the search.
        EngineCase{"rsa", {"forger", "clientec", "inter"}, 0, 0, 3}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.leaf, i.index); });

TEST_F(ChainTestBase, IgnoreFlagsClearOnlyTheirBits) {
  CertChain chain;
  ASSERT_EQ(BuildCertificateChain(Bytes(DerOf(pki().Cert("selfsigned"))), nullptr, 0, &chain), 0);
  EXPECT_EQ(ApplyChainIgnoreFlags(chain, kChainIgnoreUntrustedSelfIssued), 0u);
  chain.status |= kChainNotTimeValid | kChainPartial;
  EXPECT_EQ(ApplyChainIgnoreFlags(chain, 0x11), kChainPartial);
}

TEST_F(ChainTestBase, StoreIsReadAgainWhenItChanges) {
  const std::string stores = testsupport::MakeTempDir();
  setenv(win::kCertStoresVariable, stores.c_str(), 1);
  const ByteString leaf = Bytes(DerOf(pki().Cert("client")));
  CertChain chain;
  ASSERT_EQ(BuildCertificateChain(leaf, nullptr, 0, &chain), 0);
  EXPECT_EQ(chain.status, kChainPartial);
  testsupport::RunCommand("mkdir -p " + ShellQuote(stores + "/ROOT") + " && openssl x509 -in " +
                          ShellQuote(pki().Cert("root")) + " -outform DER -out " +
                          ShellQuote(stores + "/ROOT/root.der"));
  ASSERT_EQ(BuildCertificateChain(leaf, nullptr, 0, &chain), 0);
  EXPECT_EQ(chain.status, 0u);
  std::vector<win::CertStoreFile> files;
  EXPECT_EQ(win::ReadCertStoreFiles("root", &files), 0u);
  ASSERT_GE(files.size(), 1u);
  EXPECT_EQ(files.back().path, stores + "/ROOT/root.der");
  EXPECT_EQ(win::ListCertStoreFiles("MY", &files), 2u);
  EXPECT_EQ(win::ListCertStoreFiles("../ROOT", &files), 123u);
  EXPECT_EQ(win::ListCertStoreFiles("", &files), 123u);
  testsupport::RunCommand("rm -rf " + ShellQuote(stores));
  unsetenv(win::kCertStoresVariable);
  if (const char* home = getenv("HOME"); home && *home) {
    EXPECT_EQ(win::CertStoresFolder(), std::string(home) + "/.config/tarnwick/certstores");
  }
}

// Threads share the parsed ROOT store while the first of them may still be reading it.
TEST_F(ChainTestBase, ThreadsShareTheRootStore) {
  const ByteString leaf = Bytes(DerOf(pki().Cert("rsa")));
  const std::vector<ByteString> pool{Bytes(DerOf(pki().Cert("inter")))};
  std::vector<int> trusted(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        CertChain chain;
        trusted[t] += BuildCertificateChain(leaf, &pool, 0, &chain) == 0 && chain.status == 0;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(trusted, std::vector<int>(4, 20));
}

TEST_F(ChainTestBase, HostileInputGivesCodesOrUntrusted) {
  const std::string der = DerOf(pki().Cert("rsa"));
  CertChain chain;
  EXPECT_NE(BuildCertificateChain(Bytes(der.substr(0, der.size() / 2)), nullptr, 0, &chain), 0);
  EXPECT_NE(BuildCertificateChain(ByteString(), nullptr, 0, &chain), 0);
  // Garbage and many copies of one certificate in the pool: skipped, and the search ends.
  std::vector<ByteString> pool(300, Bytes(DerOf(pki().Cert("rsa"))));
  pool.push_back(Bytes("\x30\x03\x02\x01"));
  ASSERT_EQ(BuildCertificateChain(Bytes(DerOf(pki().Cert("noca"))), &pool, 0, &chain), 0);
  EXPECT_NE(chain.status, 0u);
  std::vector<ByteString> ders;
  const std::string pem = "-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n";
  CertificatesOfStoreFile(pem.data(), static_cast<int>(pem.size()), &ders);
  EXPECT_TRUE(ders.empty());
}

// Every certificate of the system bundle is its own trusted anchor.
TEST_F(ChainTestBase, SystemBundleAnchorsItself) {
  const std::vector<std::string> ders = certtest::BundleDers();
  if (ders.empty()) {
    TW_REQUIRE_OR_SKIP("no system CA bundle");
  }
  for (const std::string& der : ders) {
    CertChain chain;
    ASSERT_EQ(BuildCertificateChain(Bytes(der), nullptr, kChainIgnoreTime, &chain), 0);
    EXPECT_EQ(chain.status, 0u) << chain.elements[0].subject.c_str();
    EXPECT_EQ(chain.elements.size(), 1u);
  }
}

struct SignatureCase {
  const char* name;
  const char* key;   // openssl req -newkey argument
  const char* opts;  // digest and signature options
  int rc;            // of the self-signature check
};

class CertSignatureTest : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(CertSignatureTest, VerifiesSelfSignature) {
  const SignatureCase& c = GetParam();
  if (!testsupport::HaveProgram("openssl")) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  const std::string dir = testsupport::MakeTempDir();
  int status = -1;
  // DSA keys need their parameters made first.
  const std::string params = std::string(c.key).rfind("dsa:", 0) == 0
                                 ? "openssl genpkey -genparam -algorithm DSA -pkeyopt "
                                   "dsa_paramgen_bits:2048 -out p.pem 2>/dev/null && "
                                 : "";
  testsupport::RunCommand("cd " + dir + " && " + params + "openssl req -x509 -newkey " + c.key +
                              " -nodes -keyout k.pem -outform DER -out c.der -days 30"
                              " -subj /CN=sig " +
                              c.opts + " 2>/dev/null",
                          "", &status);
  const std::string der = testsupport::ReadFile(dir + "/c.der");
  testsupport::RunCommand("rm -rf " + ShellQuote(dir));
  ASSERT_EQ(status, 0) << c.name;
  Certificate cert;
  ASSERT_EQ(ParseCertificateDer(der.data(), static_cast<int>(der.size()), &cert), 0);
  bool valid = false;
  EXPECT_EQ(VerifyCertificateSignature(cert, cert, &valid), c.rc) << c.name;
  EXPECT_EQ(valid, c.rc == 0) << c.name;
  if (c.rc != 0) return;
  // One flipped bit in the signed part or in the signature: a false verdict, no error.
  Certificate bad;
  ASSERT_EQ(bad.CopyFrom(cert), 0);
  bad.tbsDer.bytes()[bad.tbsDer.length() - 3] ^= 1;
  EXPECT_EQ(VerifyCertificateSignature(bad, cert, &valid), 0);
  EXPECT_FALSE(valid) << c.name;
  ASSERT_EQ(bad.CopyFrom(cert), 0);
  bad.signature.bytes()[bad.signature.length() / 2] ^= 0x10;
  EXPECT_EQ(VerifyCertificateSignature(bad, cert, &valid), 0);
  EXPECT_FALSE(valid) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, CertSignatureTest,
    ::testing::Values(
        SignatureCase{"rsa-sha1", "rsa:2048", "-sha1", 0},
        SignatureCase{"rsa-sha224", "rsa:2048", "-sha224", 0},
        SignatureCase{"rsa-sha256", "rsa:2048", "-sha256", 0},
        SignatureCase{"rsa-sha384", "rsa:3072", "-sha384", 0},
        SignatureCase{"rsa-sha512", "rsa:2048", "-sha512", 0},
        SignatureCase{"pss-sha256", "rsa:2048", "-sha256 -sigopt rsa_padding_mode:pss", 0},
        SignatureCase{"pss-sha384-salt20", "rsa:2048",
                      "-sha384 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:20", 0},
        SignatureCase{"pss-key", "rsa-pss -pkeyopt rsa_keygen_bits:2048", "-sha256", 0},
        SignatureCase{"pss-mgf-sha1", "rsa:2048",
                      "-sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_mgf1_md:sha1",
                      kErrSignatureUnsupported},
        SignatureCase{"p256", "ec -pkeyopt ec_paramgen_curve:P-256", "-sha256", 0},
        SignatureCase{"p384", "ec -pkeyopt ec_paramgen_curve:P-384", "-sha384", 0},
        SignatureCase{"p521", "ec -pkeyopt ec_paramgen_curve:P-521", "-sha512", 0},
        SignatureCase{"p256-sha1", "ec -pkeyopt ec_paramgen_curve:P-256", "-sha1", 0},
        SignatureCase{"dsa", "dsa:p.pem", "-sha256", 0},
        SignatureCase{"rsa-md5", "rsa:2048", "-md5", kErrSignatureRefused},
        SignatureCase{"ed25519", "ed25519", "", 0},
        SignatureCase{"ed448", "ed448", "", 0}),
    [](const ::testing::TestParamInfo<SignatureCase>& i) {
      std::string n = i.param.name;
      for (char& ch : n) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return n;
    });

}  // namespace
}  // namespace tw
