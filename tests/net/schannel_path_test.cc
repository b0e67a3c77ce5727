// The platform TLS path (UseInternalSecurityAPI off) against openssl s_server, with a relay
// that reshapes the server's bytes, and with the security library switched off.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/name_resolution.h"
#include "net/tls_client.h"
#include "platform/library.h"
#include "platform/sspi.h"
#include "tests/peers/shaping_peers.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::TestPki;
using nettest::CommandServer;
using nettest::Relay;
using nettest::Shape;

struct Seen {
  int slot;
  int code;
  std::string text;
};

class Client : public tw::TlsClient, public tw::EventSink {
 public:
  Client() { set_event_sink(this); }
  ~Client() override { set_event_sink(nullptr); }
  void SetCodePage(int) override {}
  int Fire(int slot, std::span<void* const> args) override {
    auto text = [&](size_t i) { return std::string(static_cast<const char*>(args[i])); };
    auto number = [&](size_t i) { return *static_cast<int*>(args[i]); };
    switch (slot) {
      case tw::kEventConnected:
      case tw::kEventDisconnected:
      case tw::kEventError:
        seen.push_back({slot, number(0), text(1)});
        break;
      case tw::kEventConnectionStatus:
        seen.push_back({slot, number(1), text(0)});
        break;
      case tw::kEventDataIn:
        data.append(static_cast<const char*>(args[0]), static_cast<size_t>(number(1)));
        if (pause_on_data) {
          pause_on_data = false;
          SetAcceptData(false);
        }
        break;
      case tw::kEventSslStatus:
        seen.push_back({slot, 0, text(0)});
        break;
      case tw::kEventSslServerAuthentication:
        seen.push_back({slot, *static_cast<int*>(args[5]), text(4)});
        if (accept_all) *static_cast<int*>(args[5]) = 1;
        break;
      default:
        break;
    }
    return 0;
  }
  int Count(int slot) const {
    int n = 0;
    for (const Seen& s : seen) n += s.slot == slot ? 1 : 0;
    return n;
  }
  const Seen* First(int slot) const {
    for (const Seen& s : seen) {
      if (s.slot == slot) return &s;
    }
    return nullptr;
  }
  std::string Statuses() const {
    std::string all;
    for (const Seen& s : seen) all += std::to_string(s.slot) + " " + std::to_string(s.code) + " " + s.text + "\n";
    return all;
  }
  int StatusCount(const std::string& prefix) const {
    int n = 0;
    for (const Seen& s : seen) n += s.slot == tw::kEventSslStatus && s.text.rfind(prefix, 0) == 0;
    return n;
  }
  bool Pump(const std::function<bool()>& done, double seconds = 15) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
      if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) return false;
      WaitOnce();
    }
    return true;
  }
  std::vector<Seen> seen;
  std::string data;
  bool accept_all = false;
  bool pause_on_data = false;  // the next DataIn switches AcceptData off
};

struct Row {
  const char* name;
  Shape shape;
  bool renegotiate;
  bool allow_renegotiation;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class SchannelPeers : public ::testing::TestWithParam<Row> {};

// The handshake, a line each way, optionally the server's renegotiation request, and the
// client's close_notify, which s_server reads as a clean end ("DONE").
TEST_P(SchannelPeers, CarriesDataAndClosesCleanly) {
  const Row& row = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  CommandServer server;
  ASSERT_TRUE(server.Start({"-cert", pki.Cert("rsa"), "-key", pki.Key("rsa"), "-cert_chain",
                            pki.Cert("inter"), "-tls1_2"}))
      << server.log();
  Relay relay(server.port(), row.shape);
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  Client c;
  ASSERT_EQ(c.ConfigText(row.allow_renegotiation ? "SSLEnableRenegotiation=1" : "SSLEnableRenegotiation=0", nullptr), 0);
  ASSERT_EQ(c.SetEol("\n", 1), 0);
  ASSERT_EQ(c.EnableTls(true), 0);
  ASSERT_EQ(c.SetRemoteHost("localhost"), 0);
  ASSERT_EQ(c.SetRemotePort(relay.port()), 0);
  // The port probe's connection must be over, or s_server would read the line for it.
  ASSERT_TRUE(c.Pump([&] { return server.log().find("CONNECTION CLOSED") != std::string::npos; }));
  ASSERT_EQ(c.SetConnected(true, 0), 0) << c.error_text().c_str();
  // Queued while the handshake runs: s_server sends it right behind its Finished.
  server.Write("first line\n");
  ASSERT_TRUE(c.Pump([&] { return c.Count(tw::kEventConnected) > 0; })) << server.log();
  ASSERT_EQ(c.First(tw::kEventConnected)->code, 0) << c.First(tw::kEventConnected)->text;
  const Seen* auth = c.First(tw::kEventSslServerAuthentication);
  ASSERT_NE(auth, nullptr);
  EXPECT_EQ(auth->code, 1);
  EXPECT_EQ(auth->text, "[0x0] ");
  EXPECT_EQ(c.StatusCount("Negotiated SSL parameters: Protocol: TLS1.2 Cipher: AES Cipher strength: 256 "), 1) << c.Statuses();
  EXPECT_EQ(c.StatusCount("Selected TLS Version: TLS1.2"), 1);
  EXPECT_NE(c.Statuses().find(" Selected Cipher Suite: TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384\n"), std::string::npos);
  ASSERT_TRUE(c.Pump([&] { return c.data.find("first line") != std::string::npos; })) << server.log() << c.Statuses();
  if (row.shape == Shape::kSplit) {
    EXPECT_GT(relay.writes(), 100);
  }
  // CCS, Finished and the line's record (AES-256-GCM) in one arrival.
  if (row.shape == Shape::kWithFinished) {
    EXPECT_EQ(c.StatusCount("Receiving 91 bytes of handshake data."), 1) << c.Statuses();
  }

  ASSERT_EQ(c.SendAll("from client\n", 12), 0) << c.error_text().c_str();
  ASSERT_TRUE(c.Pump([&] { return server.log().find("from client") != std::string::npos; }));

  if (row.renegotiate) {
    server.Write("r\n");
    if (row.allow_renegotiation) {
      ASSERT_TRUE(c.Pump([&] { return c.StatusCount("Negotiated SSL parameters") == 2; })) << server.log();
      server.Write("after renegotiation\n");
      ASSERT_TRUE(c.Pump([&] { return c.data.find("after renegotiation") != std::string::npos; }))
          << server.log();
      EXPECT_EQ(c.Count(tw::kEventConnected), 1);
    } else {
      ASSERT_TRUE(c.Pump([&] { return c.StatusCount("Renegotiate is disabled.") == 1; }));
      // s_server takes the refusal as the end of the session.
      ASSERT_TRUE(c.Pump([&] { return server.log().find("no renegotiation") != std::string::npos; }))
          << server.log();
      return;
    }
  }
  ASSERT_EQ(c.SetConnected(false, 0), 0) << c.error_text().c_str();
  ASSERT_TRUE(c.Pump([&] { return server.log().find("DONE") != std::string::npos; })) << server.log();
  const std::string after = server.log().substr(server.log().find("from client"));
  EXPECT_EQ(after.find("ERROR"), std::string::npos) << after;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SchannelPeers,
    ::testing::Values(Row{"whole_records", Shape::kPass, false, true},
                      Row{"split_records", Shape::kSplit, false, true},
                      Row{"data_with_finished", Shape::kWithFinished, false, true},
                      Row{"renegotiation_on", Shape::kPass, true, true},
                      Row{"renegotiation_off", Shape::kPass, true, false}),
    [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

struct CertRow {
  const char* name;
  const char* cert;      // test PKI name of the server's certificate
  const char* flags;     // SSLSecurityFlags
  bool accepted;         // the server's certificate given as the accepted one
  const char* host;
  int connected;         // the Connected code
  const char* status;    // the status handed to SSLServerAuthentication
};

void PrintTo(const CertRow& row, std::ostream* os) { *os << row.name; }

class SchannelCertificates : public ::testing::TestWithParam<CertRow> {};

// The chain policy over the ROOT store, the bits of SSLSecurityFlags that leave checks out, and
// the accepted certificate that skips the policy.
TEST_P(SchannelCertificates, PolicyDecides) {
  const CertRow& row = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  CommandServer server;
  ASSERT_TRUE(server.Start({"-cert", pki.Cert(row.cert), "-key", pki.Key(row.cert), "-cert_chain",
                            pki.Cert("inter"), "-tls1_2"}))
      << server.log();
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  Client c;
  ASSERT_EQ(c.ConfigText((std::string("SSLSecurityFlags=") + row.flags).c_str(), nullptr), 0);
  if (row.accepted) {
    const std::string pem = testsupport::ReadFile(pki.Cert(row.cert));
    ASSERT_EQ(c.LoadCertificate(pem.data(), static_cast<int>(pem.size())), 0);
  }
  ASSERT_EQ(c.EnableTls(true), 0);
  ASSERT_EQ(c.SetRemoteHost(row.host), 0);
  ASSERT_EQ(c.SetRemotePort(server.port()), 0);
  ASSERT_EQ(c.SetConnected(true, 0), 0) << c.error_text().c_str();
  ASSERT_TRUE(c.Pump([&] { return c.Count(tw::kEventConnected) > 0; })) << server.log();
  EXPECT_EQ(c.First(tw::kEventConnected)->code, row.connected) << c.Statuses();
  const Seen* auth = c.First(tw::kEventSslServerAuthentication);
  ASSERT_NE(auth, nullptr);
  EXPECT_EQ(auth->text, row.status);
  EXPECT_EQ(auth->code, row.connected == 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SchannelCertificates,
    ::testing::Values(
        CertRow{"trusted", "rsa", "0", false, "localhost", 0, "[0x0] "},
        CertRow{"by_address", "rsa", "0", false, "127.0.0.1", 0, "[0x0] "},
        CertRow{"untrusted_root", "selfsigned", "0", false, "localhost", 276,
                "[0x800b0109] A certification chain processed correctly but terminated in a root "
                "certificate not trusted by the trust provider."},
        CertRow{"unknown_ca_ignored", "selfsigned", "256", false, "localhost", 0, "[0x0] "},
        CertRow{"accepted_certificate", "selfsigned", "0", true, "localhost", 0, "[0x0] "},
        CertRow{"wrong_host", "wronghost", "0", false, "localhost", 276,
                "[0x800b010f] The certificate's CN name does not match the passed value."},
        CertRow{"wrong_host_ignored", "wronghost", "4096", false, "localhost", 0, "[0x0] "},
        CertRow{"server_name_omitted", "wronghost", "-2147483648", false, "localhost", 0, "[0x0] "},
        CertRow{"expired", "expired", "0", false, "localhost", 276,
                "[0x800b0101] A required certificate is not within its validity period."},
        CertRow{"expired_ignored", "expired", "8192", false, "localhost", 0, "[0x0] "},
        // Its issuer's key does not match, so no issuer is found for it.
        CertRow{"forged", "forged", "0", false, "localhost", 276,
                "[0x800b0109] A certification chain processed correctly but terminated in a root "
                "certificate not trusted by the trust provider."}),
    [](const ::testing::TestParamInfo<CertRow>& i) { return std::string(i.param.name); });

// Records decrypted while the owner takes no data wait beside the line buffer and arrive whole,
// in order, once data is accepted again.
TEST(SchannelHold, HeldPlaintextArrivesWhenAcceptedAgain) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  CommandServer server;
  ASSERT_TRUE(server.Start({"-cert", pki.Cert("rsa"), "-key", pki.Key("rsa"), "-cert_chain",
                            pki.Cert("inter"), "-tls1_2"}))
      << server.log();
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  Client c;
  ASSERT_EQ(c.SetEol("\n", 1), 0);
  ASSERT_EQ(c.EnableTls(true), 0);
  ASSERT_EQ(c.SetRemoteHost("localhost"), 0);
  ASSERT_EQ(c.SetRemotePort(server.port()), 0);
  ASSERT_TRUE(c.Pump([&] { return server.log().find("CONNECTION CLOSED") != std::string::npos; }));
  ASSERT_EQ(c.SetConnected(true, 0), 0) << c.error_text().c_str();
  ASSERT_TRUE(c.Pump([&] { return c.Count(tw::kEventConnected) > 0; })) << server.log();
  std::string burst;
  std::string lines;
  for (int i = 0; i < 6000; ++i) {
    char line[16];
    std::snprintf(line, sizeof line, "line %05d", i);
    burst += std::string(line) + "\n";
    lines += line;
  }
  c.pause_on_data = true;
  server.Write(burst);
  ASSERT_TRUE(c.Pump([&] { return !c.data.empty(); }));
  // While data is not taken nothing more arrives (the wait ends on its own).
  c.Pump([] { return false; }, 0.5);
  EXPECT_EQ(c.data, "line 00000");
  ASSERT_EQ(c.SetAcceptData(true), 0);
  ASSERT_TRUE(c.Pump([&] { return c.data.size() >= lines.size(); })) << c.data.size();
  EXPECT_TRUE(c.data == lines) << "lines lost or reordered";
}

// Without the security library the path fails before connecting, with 270.
TEST(SchannelLibrary, MissingLibraryGives270) {
  for (const char* name : {win::kLibsslName, win::kLibcryptoName, "secur32.dll"}) {
    tw::ReleaseSecurityInterface();
    win::SetLibraryEnabled(name, false);
    Client c;
    ASSERT_EQ(c.EnableTls(true), 0);
    ASSERT_EQ(c.SetRemoteHost("127.0.0.1"), 0);
    ASSERT_EQ(c.SetRemotePort(testsupport::FreePort()), 0);
    EXPECT_EQ(c.SetConnected(true, 0), tw::kErrSecurityLibrary) << name;
    EXPECT_STREQ(c.error_text().c_str(), "The security library could not be loaded");
    EXPECT_FALSE(c.HasSocket());
    win::SetLibraryEnabled(name, true);
  }
  tw::ReleaseSecurityInterface();
  EXPECT_NE(tw::SecurityInterface(), nullptr);
}

}  // namespace
