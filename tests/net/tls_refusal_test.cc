// A refused handshake of the own engine against openssl s_server: one failure, the first cause,
// however the peer's close falls.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/tls_client.h"
#include "tests/net/event_recorder.h"
#include "tests/peers/openssl_server_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using nettest::Recorder;

class Client : public tw::TlsClient {
 public:
  Client() { set_event_sink(&recorder); }
  ~Client() override { set_event_sink(nullptr); }
  Recorder recorder;
};

struct RefusalRow {
  const char* name;
  const char* cert;                  // the server's certificate (test PKI name)
  std::vector<std::string> options;  // s_server's options
  const char* suites;                // the client's SSLEnabledCipherSuites
  int code;                          // the failure's code, kept by the component
  std::vector<std::string> errors;   // the Error events, all with that code
};

class TlsRefusalOpenSslServerPeer : public ::testing::TestWithParam<RefusalRow> {};

// Repeated, with the client dawdling over its status lines every other round, so the peer's
// alert and close land before, with and after the client's own reading.
TEST_P(TlsRefusalOpenSslServerPeer, GivesOneFailureWhateverTheCloseTiming) {
  const RefusalRow& row = GetParam();
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  testsupport::OpenSslServerPeer::Options o;
  o.cert = row.cert;
  o.extra = row.options;
  testsupport::OpenSslServerPeer server(o);
  if (!server.Start()) { TW_REQUIRE_OR_SKIP(server.error()); }
  for (int round = 0; round < 20; ++round) {
    Client c;
    c.recorder.on_event = [&](const nettest::Event& e) {
      if (round % 2 == 1 && e.slot == tw::kEventSslStatus) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    ASSERT_EQ(c.ConfigText("UseInternalSecurityAPI=true", nullptr), 0);
    ASSERT_EQ(c.ConfigText((std::string("SSLEnabledCipherSuites=") + row.suites).c_str(), nullptr), 0);
    ASSERT_EQ(c.EnableTls(true), 0);
    ASSERT_EQ(c.SetRemoteHost("localhost"), 0);
    ASSERT_EQ(c.SetRemotePort(server.port()), 0);
    ASSERT_EQ(c.SetConnected(true, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    while (c.recorder.Count(tw::kEventDisconnected) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
      c.WaitOnce();
    }
    ASSERT_EQ(c.recorder.Count(tw::kEventDisconnected), 1) << round;
    std::vector<std::string> errors;
    for (const nettest::Event& e : c.recorder.events) {
      if (e.slot != tw::kEventError) continue;
      EXPECT_EQ(e.code, row.code) << round << " " << e.description;
      errors.push_back(e.description);
    }
    EXPECT_EQ(errors, row.errors) << round;
    EXPECT_EQ(c.recorder.events.back().slot, tw::kEventDisconnected) << round;
    EXPECT_EQ(c.recorder.Count(tw::kEventConnected), 0) << round;
    EXPECT_EQ(c.error_code(), row.code) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, TlsRefusalOpenSslServerPeer,
    ::testing::Values(
        RefusalRow{"untrusted_certificate", "selfsigned", {"-tls1_2"}, "*", 280,
                   {"Error verifying Server certificate: 800b0109 A certification chain processed "
                    "correctly but terminated in a root certificate not trusted by the trust provider.",
                    "Server certificate validation failed. Connection aborted."}},
        RefusalRow{"suite_refused_by_the_peer", "rsa", {"-tls1_2", "-cipher", "AES256-SHA256"},
                   "TLS_RSA_WITH_AES_128_CBC_SHA", 286, {"Received fatal alert: HANDSHAKE_FAILURE"}}),
    testsupport::CaseName{});

}  // namespace
