// Our client against our server, in memory: every version and every suite the server serves,
// with data both ways; client authentication, resumption and a retry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/peers/test_pki.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"
#include "tests/tls/tls_test_support.h"
#include "tls/cipher_suites.h"
#include "tls/tls_engine.h"

namespace {

using testsupport::TestPki;
using tlstest::RecordingOwner;

struct Pair {
  RecordingOwner client_owner, server_owner;
  tw::TlsEngine client, server;

  Pair(const TestPki& pki, const std::string& cert, uint32_t client_mask, uint32_t server_mask) {
    setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
    client.Init(&client_owner, true);
    server.Init(&server_owner, false);
    client.SetProtocolMask(client_mask);
    server.SetProtocolMask(server_mask);
    client.SetServerName("localhost");
    server.SetOwnCertificate(7, tlstest::PkiStore(cert), tw::ByteString(), tw::ByteString());
  }

  // Moves bytes both ways until neither side has more to say; false on a failure.
  bool Run() {
    for (int round = 0; round < 50; ++round) {
      const std::string to_server = client_owner.Take();
      const std::string to_client = server_owner.Take();
      if (to_server.empty() && to_client.empty()) return true;
      if (!to_server.empty() && server.Receive(to_server.data(), static_cast<int>(to_server.size())) != 0) return false;
      if (!to_client.empty() && client.Receive(to_client.data(), static_cast<int>(to_client.size())) != 0) return false;
    }
    return false;
  }

  bool Handshake() {
    if (server.Start() != 0 || client.Start() != 0) return false;
    return Run() && client.established() && server.established();
  }

  // Data both ways arrives whole.
  bool Exchange(const std::string& a, const std::string& b) {
    int sent = 0;
    client_owner.data.clear();
    server_owner.data.clear();
    if (client.SendAppData(a.data(), static_cast<int>(a.size()), &sent) != 0) return false;
    if (server.SendAppData(b.data(), static_cast<int>(b.size()), &sent) != 0) return false;
    return Run() && server_owner.data == a && client_owner.data == b;
  }

  std::string Failures() const {
    std::string s;
    for (const auto& f : client_owner.failures) s += "client: " + f.second + "\n";
    for (const auto& f : server_owner.failures) s += "server: " + f.second + "\n";
    return s;
  }
};

struct SuiteCase {
  uint16_t suite;
  uint16_t version;
};

// Every suite the server serves with the test PKI's RSA and ECDSA certificates, at each version
// it is defined for.
std::vector<SuiteCase> SuiteCases() {
  std::vector<SuiteCase> out;
  int count = 0;
  const tw::TlsCipherSuite* suites = tw::TlsCipherSuites(&count);
  for (int i = 0; i < count; ++i) {
    const tw::TlsCipherSuite& s = suites[i];
    const bool served = s.kx == tw::kKxTls13 || s.kx == tw::kKxRsa || s.kx == tw::kKxDheRsa ||
                        s.kx == tw::kKxEcdheRsa || s.kx == tw::kKxEcdheEcdsa;
    if (!served || s.exportable()) continue;
    for (uint16_t v = tw::kSsl30; v <= tw::kTls13; ++v) {
      if ((v == tw::kTls13) != (s.kx == tw::kKxTls13) || v < s.min_version) continue;
      // SSL 3.0 has no AEAD or SHA-2 suites and no elliptic curves.
      if (v == tw::kSsl30 && (s.aead() || s.kx == tw::kKxEcdheRsa || s.kx == tw::kKxEcdheEcdsa)) continue;
      out.push_back({s.id, v});
    }
  }
  return out;
}

uint32_t MaskOf(uint16_t version) {
  switch (version) {
    case tw::kSsl30: return tw::kTlsProtocolSsl3;
    case tw::kTls10: return tw::kTlsProtocolTls10;
    case tw::kTls11: return tw::kTlsProtocolTls11;
    case tw::kTls12: return tw::kTlsProtocolTls12;
    default: return tw::kTlsProtocolTls13;
  }
}

TEST(EnginePair, EverySuiteAndVersion) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  int runs = 0;
  for (const SuiteCase& c : SuiteCases()) {
    const tw::TlsCipherSuite* s = tw::FindCipherSuite(c.suite);
    Pair p(pki, s->kx == tw::kKxEcdheEcdsa ? "ecdsa" : "rsa", MaskOf(c.version), MaskOf(c.version));
    p.client.SetWeakAllowed(true);
    p.server.SetWeakAllowed(true);
    p.client.SetCipherSuiteList(s->name);
    p.server.SetCipherSuiteList(s->name);  // RC4 and DES are served only when named
    ASSERT_TRUE(p.Handshake()) << s->name << " " << tw::VersionName(c.version) << "\n" << p.Failures();
    EXPECT_EQ(p.client.current().suite, s) << s->name;
    EXPECT_EQ(p.client.current().version, c.version) << s->name;
    EXPECT_TRUE(p.Exchange(std::string(40000, 'a'), "pong")) << s->name << " " << tw::VersionName(c.version);
    ++runs;
  }
  EXPECT_GT(runs, 40);
}

// The records of a flight, each with its header.
std::vector<std::string> Records(const std::string& flight) {
  std::vector<std::string> out;
  for (size_t at = 0; at + 5 <= flight.size();) {
    const size_t n = static_cast<uint8_t>(flight[at + 3]) << 8 | static_cast<uint8_t>(flight[at + 4]);
    out.push_back(flight.substr(at, 5 + n));
    at += 5 + n;
  }
  return out;
}

// A client flight changed on the way: a certificate without its CertificateVerify is refused at
// the ChangeCipherSpec; a pre-master secret that does not decrypt goes on to fail at Finished,
// not at the key exchange.
// Under the default list a server neither offers nor accepts RC4 or single DES.
TEST(EnginePair, DefaultListRefusesRc4AndDes) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  for (const char* suite : {"TLS_RSA_WITH_RC4_128_SHA", "TLS_RSA_WITH_DES_CBC_SHA"}) {
    Pair p(pki, "rsa", tw::kTlsProtocolTls12, tw::kTlsProtocolTls12);
    p.client.SetCipherSuiteList(suite);
    EXPECT_FALSE(p.Handshake()) << suite;
    EXPECT_NE(p.Failures().find("Could not agree on a cipher suite"), std::string::npos) << p.Failures();
  }
}

TEST(EnginePair, ServerKeepsTheClientFlightHonest) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  struct Case {
    const char* name;
    const char* suite;
    bool client_certificate;
    int drop;    // record index of the client's second flight to drop, -1 none
    int damage;  // record index whose last byte to flip, -1 none
    const char* failure;
    int scheme = 0;  // a scheme written over the CertificateVerify's own
  };
  const Case cases[] = {
      {"certificate verify skipped", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", true, 2, -1, "ChangeCipherSpec"},
      {"pre-master that does not decrypt", "TLS_RSA_WITH_AES_128_GCM_SHA256", false, -1, 0,
       "Invalid MAC found in encrypted packet"},
      {"certificate verify with a scheme not asked for", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", true, -1, -1,
       "Could not validate client certificate verify message", 0x0101},
  };
  for (const Case& c : cases) {
    Pair p(pki, "rsa", tw::kTlsProtocolTls12, tw::kTlsProtocolTls12);
    p.client.SetCipherSuiteList(c.suite);
    p.server.SetAuthenticateClients(c.client_certificate);
    if (c.client_certificate) {
      p.client.SetOwnCertificate(7, tlstest::PkiStore("client", false), tw::ByteString(), tw::ByteString());
    }
    ASSERT_EQ(p.server.Start(), 0);
    ASSERT_EQ(p.client.Start(), 0);
    std::string to_server = p.client_owner.Take();
    ASSERT_EQ(p.server.Receive(to_server.data(), static_cast<int>(to_server.size())), 0);
    const std::string to_client = p.server_owner.Take();
    ASSERT_EQ(p.client.Receive(to_client.data(), static_cast<int>(to_client.size())), 0) << p.Failures();
    std::vector<std::string> flight = Records(p.client_owner.Take());
    if (c.damage >= 0) flight[c.damage].back() ^= 1;
    if (c.scheme != 0) {  // record header, message header, then the scheme
      flight[2][9] = static_cast<char>(c.scheme >> 8);
      flight[2][10] = static_cast<char>(c.scheme);
    }
    if (c.drop >= 0) flight.erase(flight.begin() + c.drop);
    to_server.clear();
    for (const std::string& r : flight) to_server += r;
    EXPECT_NE(p.server.Receive(to_server.data(), static_cast<int>(to_server.size())), 0) << c.name;
    ASSERT_FALSE(p.server_owner.failures.empty()) << c.name;
    EXPECT_EQ(p.server_owner.failures.back().second, c.failure) << c.name;
    EXPECT_FALSE(p.server.established());
    const bool fallback = std::find(p.server_owner.statuses.begin(), p.server_owner.statuses.end(),
                                    "Failed to decrypt Client RSA pre-master-secret, generating new random one") !=
                          p.server_owner.statuses.end();
    EXPECT_EQ(fallback, c.damage >= 0) << c.name;
  }
}

// Exchanges no installed peer still speaks (export grades, fixed ECDH), served to our own client:
// what each sends, and that export waits for weak suites to be allowed.
struct ExchangeCase {
  const char* name;
  const char* suite;
  const char* cert;  // of the test PKI, or "rsa512" / "p256self" made here
  uint32_t mask;
  bool server_weak;
  const char* server_status;  // expected among the server's; "" for none of the key-exchange lines
  bool served;
};
const ExchangeCase kExchangeCases[] = {
    {"RsaExportTemporaryKey", "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA", "rsa", 0x00C0, true,
     "ServerKeyExchange message with ephemeral RSA keys sent", true},
    {"RsaExportShortCertificateKey", "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA", "rsa512", 0x00C0, true, "", true},
    {"DheRsaExport", "TLS_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA", "rsa", 0x00C0, true,
     "ServerKeyExchange message with Diffie-Hellman keys sent", true},
    {"DheDssExport", "TLS_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA", "clientdsa", 0x0300, true,
     "ServerKeyExchange message with Diffie-Hellman keys sent", true},
    {"ExportNeedsWeakAllowed", "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA", "rsa", 0x00C0, false, "", false},
    {"EcdhRsa", "TLS_ECDH_RSA_WITH_AES_128_GCM_SHA256", "ecdsa", 0x0C00, false, "", true},
    {"EcdhEcdsa", "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA", "p256self", 0x0C00, false, "", true},
    {"EcdhEcdsaNeedsEcdsaSignedCertificate", "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA", "ecdsa", 0x0C00, false, "",
     false},
};

void PrintTo(const ExchangeCase& c, std::ostream* os) { *os << c.name; }

class ServerExchanges : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(ServerExchanges, ServedToOwnClient) {
  const ExchangeCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  Pair p(pki, "rsa", c.mask, c.mask);
  std::string store;
  if (std::string(c.cert) == "rsa512" || std::string(c.cert) == "p256self") {
    const std::string dir = testsupport::MakeTempDir();
    const std::string key = std::string(c.cert) == "rsa512" ? "-newkey rsa:512" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
    testsupport::RunCommand("cd " + testsupport::ShellQuote(dir) + " && openssl req -x509 " + key +
                            " -nodes -keyout k.pem -out c.pem -subj /CN=localhost -days 2 2>&1");
    store = testsupport::ReadFile(dir + "/c.pem") + testsupport::ReadFile(dir + "/k.pem");
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir));
  } else {
    store = tlstest::Str(tlstest::PkiStore(c.cert));
  }
  p.server.SetOwnCertificate(7, tlstest::Bytes(store), tw::ByteString(), tw::ByteString());
  p.client.SetSecurityFlags(0x80000010);  // self-signed ends and other host names are fine here
  p.client.SetWeakAllowed(true);
  p.server.SetWeakAllowed(c.server_weak);
  p.client.SetCipherSuiteList(c.suite);
  p.server.SetCipherSuiteList(c.suite);
  ASSERT_EQ(p.Handshake(), c.served) << p.Failures();
  const std::vector<std::string>& st = p.server_owner.statuses;
  if (!c.served) {
    EXPECT_NE(p.Failures().find("Could not agree on a cipher suite"), std::string::npos) << p.Failures();
    return;
  }
  EXPECT_STREQ(p.client.current().suite->name, c.suite);
  for (const char* line : {"ServerKeyExchange message with ephemeral RSA keys sent",
                           "ServerKeyExchange message with Diffie-Hellman keys sent"}) {
    EXPECT_EQ(std::count(st.begin(), st.end(), line), std::string(line) == c.server_status ? 1 : 0) << line;
  }
  EXPECT_TRUE(p.Exchange("ping", "pong"));
}
INSTANTIATE_TEST_SUITE_P(Suites, ServerExchanges, ::testing::ValuesIn(kExchangeCases), testsupport::CaseName{});

// A server whose owner picks another certificate after the start serves that one, and says so.
TEST(EnginePair, CertificateChangedBeforeTheHello) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  Pair p(pki, "rsa", tw::kTlsProtocolTls12, tw::kTlsProtocolTls12);
  ASSERT_EQ(p.server.Start(), 0);
  p.server.SetOwnCertificate(7, tlstest::PkiStore("ecdsa"), tw::ByteString(), tw::ByteString());
  ASSERT_EQ(p.client.Start(), 0);
  ASSERT_TRUE(p.Run() && p.client.established()) << p.Failures();
  EXPECT_EQ(p.client.current().suite->kx, tw::kKxEcdheEcdsa);
  const std::vector<std::string>& st = p.server_owner.statuses;
  EXPECT_EQ(std::count(st.begin(), st.end(), "The certificate is changed in the event SSLConnectionRequest."), 1);
}

}  // namespace
