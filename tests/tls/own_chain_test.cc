// The chain sent for our certificate: the platform chain engine's, through a chain manager.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "certs/cert_store_types.h"
#include "tests/certs/system_store_fixture.h"
#include "tests/support/case_name.h"
#include "tls/tls_certificates.h"

namespace tw {
namespace {

using testsupport::RunCommand;

struct ChainCase {
  const char* name;
  int32_t type;
  const char* store;  // a store name, or a file of the fixture
  const char* subject;
};
class SystemStoreChain : public SystemStores, public testing::WithParamInterface<ChainCase> {};

// The chain sent for our certificate is the one openssl builds from the same anchors.
TEST_P(SystemStoreChain, EqualsOpensslChain) {
  const ChainCase& c = GetParam();
  const std::string where = c.type == cstUser ? c.store : Path(c.store);
  CertSelection own;
  ASSERT_EQ(own.Load(where.data(), static_cast<int>(where.size()), c.type, "", c.subject, nullptr, 0), kOk)
      << own.error_text().c_str();
  std::vector<ByteString> pems, subjects;
  uint32_t status = 1;
  ASSERT_EQ(own.GetChain(&pems, false, &subjects, nullptr, nullptr, &status, 0), kOk) << own.error_text().c_str();
  const std::string shown = RunCommand("openssl verify -show_chain -CAfile " + Path("root.pem") + " -untrusted " +
                                       Path("inter.pem") + " " + Path("leaf.pem") + " 2>&1");
  std::string ours, theirs;
  for (const ByteString& pem : pems) {
    ours += RunCommand("openssl x509 -noout -subject -nameopt oneline", std::string(pem.c_str(), pem.length()));
  }
  for (size_t at = shown.find("depth="); at != std::string::npos; at = shown.find("depth=", at + 1)) {
    const size_t from = shown.find(": ", at) + 2;
    std::string line = shown.substr(from, shown.find('\n', at) - from);
    if (line.size() > 12 && line.compare(line.size() - 12, 12, " (untrusted)") == 0) line.resize(line.size() - 12);
    theirs += "subject=" + line + "\n";
  }
  EXPECT_EQ(ours, theirs) << shown;
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(subjects.size(), pems.size());
}
INSTANTIATE_TEST_SUITE_P(Sources, SystemStoreChain,
                         testing::Values(ChainCase{"UserStore", cstUser, "MY", "Store Leaf"},
                                         ChainCase{"PemFile", cstPEMKeyFile, "leaf_chain.pem", "*"}),
                         testsupport::CaseName{});


struct StatusCase {
  const char* name;
  const char* file;
  uint32_t flags;
  uint32_t status;
};
class OwnChainStatus : public SystemStores, public testing::WithParamInterface<StatusCase> {};

// The status word is the chain's error bits less those the flags ignore.
TEST_P(OwnChainStatus, CarriesTheUnignoredBits) {
  const StatusCase& c = GetParam();
  const std::string where = Path(c.file);
  CertSelection own;
  ASSERT_EQ(own.Load(where.data(), static_cast<int>(where.size()), cstPEMKeyFile, "", "", nullptr, 0), kOk)
      << own.error_text().c_str();
  std::vector<ByteString> pems, subjects, issuers, serials;
  uint32_t status = 0xffffffff;
  ASSERT_EQ(own.GetChain(&pems, true, &subjects, &issuers, &serials, &status, c.flags), kOk);
  EXPECT_EQ(status, c.status);
  EXPECT_TRUE(issuers.size() == pems.size() && serials.size() == pems.size());
}
INSTANTIATE_TEST_SUITE_P(Flags, OwnChainStatus,
                         testing::Values(StatusCase{"Trusted", "leaf_chain.pem", 0, 0},
                                         StatusCase{"UntrustedSelfSigned", "Neighbour.pem", 0, 0x20},
                                         StatusCase{"UntrustedSelfSignedIgnored", "Neighbour.pem", 0x10, 0}),
                         testsupport::CaseName{});

class KeptOwnChain : public SystemStores {};

// A store held in memory is loaded once for every selection of it; the chain it sends still
// follows the system stores as they change.
TEST_F(KeptOwnChain, FollowsTheSystemStores) {
  const std::string pem = testsupport::ReadFile(Path("leaf.pem")) + testsupport::ReadFile(Path("leaf.key"));
  const std::string inter = Path("stores/CA/inter.pem"), away = Path("inter.away");
  const struct {
    const char* name;
    const char* move_from;
    const char* move_to;
    size_t sent;  // certificates in the message
  } steps[] = {{"as made", "", "", 2}, {"again", "", "", 2}, {"intermediate gone", inter.c_str(), away.c_str(), 1},
               {"intermediate back", away.c_str(), inter.c_str(), 2}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    if (*step.move_from != '\0') {
      ASSERT_EQ(std::rename(step.move_from, step.move_to), 0);
    }
    CertSelection own;
    ASSERT_EQ(own.Load(pem.data(), static_cast<int>(pem.size()), cstPEMKeyBlob, "", "", nullptr, 0), kOk);
    ByteString body;
    std::vector<ByteString> sent;
    ASSERT_EQ(BuildCertificateBody(&own, false, &body), kOk);
    ASSERT_EQ(ParseCertificateBody(body.bytes(), static_cast<size_t>(body.length()), false, &sent), kOk);
    EXPECT_EQ(sent.size(), step.sent);
    EXPECT_TRUE(sent[0].EqualsBytes(own.der().data(), own.der().length()));
  }
}

// Connections arriving together at a fresh server share one load of a store new to the cache:
// every selection holds the same certificate.
TEST_F(KeptOwnChain, ColdStartLoadsOnce) {
  const std::string pem = testsupport::ReadFile(Path("leaf.pem")) + testsupport::ReadFile(Path("leaf.key")) + "cold\n";
  std::vector<CertSelection> own(200);
  std::vector<std::thread> threads;
  for (CertSelection& s : own) {
    threads.emplace_back([&] { s.Load(pem.data(), static_cast<int>(pem.size()), cstPEMKeyBlob, "", "", nullptr, 0); });
  }
  for (size_t i = 0; i < own.size(); ++i) { threads[i].join(); EXPECT_EQ(&own[i].der(), &own[0].der()); }
}
}  // namespace
}  // namespace tw
