// The peer chain check over the test PKI: what a server sends, in order, against the trust of the
// ROOT store folder (or a trusted list), and `openssl verify` as the oracle of trust.
#include "tls/peer_chain.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cert_store_files.h"
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

const testsupport::TestPki& Pki() { return testsupport::TestPki::Get(); }

ByteString Pem(const char* name) { return Bytes(testsupport::ReadFile(Pki().Cert(name))); }

struct PeerCase {
  std::vector<const char*> sent;  // leaf first
  uint32_t flags;
  int want;     // exact result, or -1 for any refusal
  bool oracle;  // openssl verify judges the same certificates
};

class PeerChainTest : public ::testing::TestWithParam<PeerCase> {
 protected:
  void SetUp() override {
    if (!Pki().ok()) {
      TW_REQUIRE_OR_SKIP(Pki().error());
    }
    setenv(win::kCertStoresVariable, Pki().store_dir().c_str(), 1);
  }
};

TEST_P(PeerChainTest, Verifies) {
  const PeerCase& c = GetParam();
  std::vector<ByteString> pems;
  std::string rest;
  for (const char* name : c.sent) {
    pems.push_back(Pem(name));
    if (pems.size() > 1) rest += testsupport::ReadFile(Pki().Cert(name));
  }
  const int result = VerifyCertificateChain(ByteString(), pems, c.flags, nullptr);
  std::string names;
  for (const char* n : c.sent) names += std::string(n) + " ";
  if (c.want >= 0) {
    EXPECT_EQ(result, c.want) << names;
  } else {
    EXPECT_NE(result, 0) << names;
  }
  if (!c.oracle) return;
  // Beside the shared test PKI, never inside it: other test processes read it meanwhile.
  const std::string untrusted = testsupport::TempRoot() + "/sent-untrusted-" + std::to_string(getpid()) + ".pem";
  testsupport::WriteFile(untrusted, rest);
  int status = -1;
  testsupport::RunCommand("openssl verify -CAfile " + ShellQuote(Pki().Cert("root")) +
                              (rest.empty() ? "" : " -untrusted " + ShellQuote(untrusted)) + " " +
                              ShellQuote(Pki().Cert(c.sent[0])) + " >/dev/null 2>&1",
                          "", &status);
  std::remove(untrusted.c_str());
  EXPECT_EQ(status == 0, result == 0) << "openssl verify disagrees on " << names;
}

constexpr uint32_t kBoth = kSecurityNoValidityCheck | kSecuritySelfSignedRootOk;

INSTANTIATE_TEST_SUITE_P(
    Pki, PeerChainTest,
    ::testing::Values(
        PeerCase{{"rsa", "inter"}, 0, 0, true}, PeerCase{{"ecdsa", "inter"}, 0, 0, true},
        PeerCase{{"ecdsa384", "inter"}, 0, 0, true}, PeerCase{{"ed25519", "inter"}, 0, 0, true},
        PeerCase{{"rsa", "inter", "root"}, 0, 0, true},
        PeerCase{{"rsa", "inter", "inter"}, 0, 0, true}, PeerCase{{"expired", "inter"}, 0, 1, true},
        PeerCase{{"expired", "inter"}, kSecurityNoValidityCheck, 0, false},
        PeerCase{{"selfsigned"}, 0, 32, true},
        PeerCase{{"selfsigned"}, kSecuritySelfSignedRootOk, 0, false},
        PeerCase{{"selfsigned", "clientec"}, kSecuritySelfSignedRootOk, 0, false},
        PeerCase{{"forged", "inter"}, 0, -1, true}, PeerCase{{"forged", "inter"}, kBoth, -1, false},
        PeerCase{{"forged", "forger"}, kBoth, 0, false},
        PeerCase{{"noca", "rsa", "inter"}, 0, -1, true},
        PeerCase{{"noca", "rsa", "inter"}, kBoth, -1, false}, PeerCase{{"rsa"}, 0, -1, true},
        PeerCase{{"rsa"}, kBoth, -1, false}, PeerCase{{"rsa", "clientec"}, 0, -1, true},
        PeerCase{{"rsa", "clientec", "inter"}, 0, 0, true},
        PeerCase{{"rsa", "forger", "inter"}, 0, 0, true}, PeerCase{{"inter"}, 0, 0, true},
        PeerCase{{"client"}, 0, 0, true}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.sent[0], i.index); });

struct TrustedCase {
  std::vector<const char*> sent;
  std::vector<const char*> trusted;
  int want;
};

class TrustedListTest : public ::testing::TestWithParam<TrustedCase> {};

TEST_P(TrustedListTest, Verifies) {
  if (!Pki().ok()) {
    TW_REQUIRE_OR_SKIP(Pki().error());
  }
  const TrustedCase& c = GetParam();
  std::vector<ByteString> sent, trusted;
  for (const char* name : c.sent) sent.push_back(Pem(name));
  for (const char* name : c.trusted) trusted.push_back(Pem(name));
  EXPECT_EQ(VerifyCertificateChain(ByteString(), sent, 0, &trusted), c.want) << c.sent[0];
}

INSTANTIATE_TEST_SUITE_P(Pki, TrustedListTest,
                         ::testing::Values(TrustedCase{{"rsa", "inter"}, {"root"}, 0},
                                           TrustedCase{{"rsa"}, {"inter"}, 0},
                                           TrustedCase{{"rsa", "inter"}, {"inter"}, 0},
                                           TrustedCase{{"rsa"}, {"root"}, 32},
                                           TrustedCase{{"forged", "inter"}, {"root"}, 32},
                                           TrustedCase{{"forged", "inter"}, {"inter"}, 32},
                                           TrustedCase{{"noca"}, {"rsa"}, 32},
                                           TrustedCase{{"noca", "rsa", "inter"}, {"root"}, 32},
                                           TrustedCase{{"expired", "inter"}, {"root"}, 1}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.sent[0], "trusting", p.trusted[0], i.index); });

// A row named as the issuer but no CA (or not the signer) never extends the chain.
TEST(ExtendChain, LinksOnlyVerifiedCaRows) {
  if (!Pki().ok()) {
    TW_REQUIRE_OR_SKIP(Pki().error());
  }
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"noca", {"rsa", "inter", "root"}}, {"forged", {"inter", "root"}}};
  for (const auto& [leaf_name, row_names] : cases) {
    ChainRow leaf;
    const ByteString pem = Pem(leaf_name);
    ASSERT_EQ(MakeChainRow(pem.data(), pem.length(), false, &leaf), 0);
    std::vector<ChainRow> rows(row_names.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const ByteString row_pem = Pem(row_names[i]);
      ASSERT_EQ(MakeChainRow(row_pem.data(), row_pem.length(), false, &rows[i]), 0);
    }
    std::vector<ByteString> chain{leaf.cert.der};
    EXPECT_EQ(ExtendCertificateChain(&leaf.issuer, &leaf.subject, &rows, &chain), -1) << leaf_name;
    EXPECT_EQ(chain.size(), 1u) << leaf_name;
  }
}

// The platform carries a short chain on to a self-signed end it does not trust: still refused.
TEST(PeerChainHostile, PlatformEndIsNotTrustedBySelfSigningAlone) {
  if (!Pki().ok()) {
    TW_REQUIRE_OR_SKIP(Pki().error());
  }
  const std::string stores = testsupport::MakeTempDir();
  std::filesystem::create_directories(stores + "/CA");
  std::filesystem::copy_file(Pki().Cert("forger"), stores + "/CA/forger.pem");
  setenv(win::kCertStoresVariable, stores.c_str(), 1);
  EXPECT_NE(VerifyCertificateChain(ByteString(), {Pem("forged")}, 0, nullptr), 0);
  setenv(win::kCertStoresVariable, Pki().store_dir().c_str(), 1);
  testsupport::RemoveTempDir(stores);
}

TEST(PeerChainHostile, MalformedCertificatesGiveCodes) {
  if (!Pki().ok()) {
    TW_REQUIRE_OR_SKIP(Pki().error());
  }
  const std::string der = "\x30\x82\x01\x00garbage";
  EXPECT_NE(VerifyCertificateChain(Bytes(der), {Pem("inter")}, 0, nullptr), 0);
  EXPECT_NE(VerifyCertificateChain(ByteString(), {}, 0, nullptr), 0);
  EXPECT_NE(
      VerifyCertificateChain(
          ByteString(), {Pem("rsa"), Bytes("-----BEGIN CERTIFICATE-----\nAAAA\n")}, 0, nullptr),
      0);
}

}  // namespace
}  // namespace tw
