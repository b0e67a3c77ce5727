// The engine's client against openssl s_server: versions x key types x key exchanges, each
// moving data checked by SHA-256; secrets against the server's key log; resumption.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <unistd.h>

#include "tests/peers/openssl_server_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/tls/engine_connection.h"
#include "tests/tls/tls_test_support.h"

namespace {

using testsupport::TestPki;

using testsupport::OpenSslServerPeer;

// s_server of the test PKI serving `cert` (with the intermediate), its options as given.
std::unique_ptr<OpenSslServerPeer> Server(const std::string& cert, const std::vector<std::string>& options,
                                          OpenSslServerPeer::Mode mode, bool key_log = false) {
  OpenSslServerPeer::Options o;
  o.cert = cert;
  o.mode = mode;
  o.key_log = key_log;
  o.extra = options;
  return std::make_unique<OpenSslServerPeer>(o);
}

struct Row {
  const char* name;
  const char* cert;     // test PKI name of the server's certificate
  uint32_t mask;        // the client's protocol mask
  std::vector<std::string> options;
  const char* suite;    // expected in the "Selected ..." status
  const char* server_says = nullptr;  // expected in s_server's output
  const char* alpn = nullptr;         // offered; the server chooses http/1.1
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"tls13_x25519_aes128", "rsa", 0x3FC0, {"-tls1_3", "-ciphersuites", "TLS_AES_128_GCM_SHA256", "-groups", "X25519"}, "TLS_AES_128_GCM_SHA256"},
      {"tls13_p256_chacha_ecdsa", "ecdsa", 0x3FC0, {"-tls1_3", "-ciphersuites", "TLS_CHACHA20_POLY1305_SHA256", "-groups", "P-256"}, "TLS_CHACHA20_POLY1305_SHA256"},
      {"tls13_p384_aes256_ecdsa384", "ecdsa384", 0x3FC0, {"-tls1_3", "-ciphersuites", "TLS_AES_256_GCM_SHA384", "-groups", "P-384"}, "TLS_AES_256_GCM_SHA384"},
      {"tls13_ffdhe2048", "rsa", 0x3FC0, {"-tls1_3", "-groups", "ffdhe2048"}, "TLS_AES_256_GCM_SHA384"},
      {"tls13_retry_p521", "rsa", 0x3FC0, {"-tls1_3", "-groups", "P-521"}, "TLS_AES_256_GCM_SHA384"},
      {"tls13_retry_x448", "ecdsa", 0x3FC0, {"-tls1_3", "-groups", "X448"}, "TLS_AES_256_GCM_SHA384"},
      {"tls13_ed25519", "ed25519", 0x3FC0, {"-tls1_3"}, "TLS_AES_256_GCM_SHA384"},
      {"tls12_ed25519_over_13_client", "ed25519", 0x3FC0, {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"}, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
      {"tls13_alpn", "rsa", 0x3FC0, {"-tls1_3", "-alpn", "http/1.1"}, "TLS_AES_256_GCM_SHA384", nullptr, "h2,http/1.1"},
      {"tls12_ecdhe_rsa_gcm", "rsa", 0x0FC0, {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256", "-trace"}, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "Signature Algorithm: rsa_pkcs1_sha256"},
      {"tls12_ecdhe_ecdsa_gcm256", "ecdsa", 0x0FC0, {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384"}, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
      {"tls12_dhe_rsa_cbc_sha256", "rsa", 0x0FC0, {"-tls1_2", "-cipher", "DHE-RSA-AES128-SHA256"}, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"},
      {"tls12_rsa_cbc_sha256", "rsa", 0x0FC0, {"-tls1_2", "-cipher", "AES256-SHA256"}, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
      {"tls12_ecdhe_rsa_cbc_sha1", "rsa", 0x0FC0, {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA"}, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
      {"tls12_x25519_over_13_client", "rsa", 0x3FC0, {"-tls1_2", "-cipher", "ECDHE-RSA-AES256-GCM-SHA384", "-groups", "X25519"}, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
      {"ssl2_format_hello", "rsa", 0x0FF0, {"-tls1_2", "-cipher", "AES128-GCM-SHA256:@SECLEVEL=0"}, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
      {"tls11_ecdhe_rsa_cbc", "rsa", 0x0FC0, {"-tls1_1", "-cipher", "ECDHE-RSA-AES128-SHA:@SECLEVEL=0"}, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
      {"tls10_rsa_cbc", "rsa", 0x0FC0, {"-tls1", "-cipher", "AES128-SHA:@SECLEVEL=0"}, "TLS_RSA_WITH_AES_128_CBC_SHA"},
      {"tls10_dhe_rsa_3des", "rsa", 0x0FC0, {"-tls1", "-cipher", "DHE-RSA-AES256-SHA:@SECLEVEL=0"}, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA"},
  };
  return rows;
}

class TlsInteropMatrix : public ::testing::TestWithParam<Row> {};

// 16 MiB from the server's -WWW file, compared with the file; the secrets against its key log.
TEST_P(TlsInteropMatrix, MovesDataAndMatchesKeyLog) {
  const Row& row = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  auto peer = Server(row.cert, row.options, OpenSslServerPeer::Mode::kFiles, true);
  OpenSslServerPeer& server = *peer;
  const std::string data = testsupport::RandomBytes(16 << 20, 7);
  ASSERT_TRUE(server.WriteFile("data", data));
  ASSERT_TRUE(server.Start()) << server.error();
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  tlstest::EngineConnection c;
  c.engine.SetServerName("localhost");
  c.engine.SetProtocolMask(row.mask);
  c.engine.SetKeyDebug(true);
  c.engine.SetAlpn(row.alpn);
  ASSERT_TRUE(c.Connect(server.port()));
  ASSERT_TRUE(c.Handshake()) << c.failure_text << "\n" << server.output();
  EXPECT_TRUE(c.HasStatus(std::string("Selected ") + row.suite)) << row.name;
  EXPECT_EQ(c.certificate_status, "OK");
  if (row.alpn != nullptr) { EXPECT_STREQ(c.engine.alpn_protocol(), "http/1.1"); }
  ASSERT_TRUE(c.Send("GET /data HTTP/1.0\r\n\r\n"));
  c.Pump([&] { return c.peer_closed; }, 60000);
  const size_t head = c.received.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_TRUE(c.received.compare(head + 4, std::string::npos, data) == 0) << "body differs";
  if (row.server_says != nullptr) { EXPECT_NE(server.output().find(row.server_says), std::string::npos); }

  const std::string keylog = server.key_log();
  const std::string random = c.DebugHex("client-random").empty()
                                 ? testsupport::Hex(c.engine.current().client_random, 32)
                                 : c.DebugHex("client-random");
  if (row.mask & 0x3000 && std::string(row.options[0]) == "-tls1_3") {
    // The completion names the group and the server's scheme.
    EXPECT_TRUE(c.HasStatus(" Key exchange: ecdhe_") || c.HasStatus(" Key exchange: ffdhe_"));
    EXPECT_TRUE(c.HasStatus(" Remote Signature scheme: ") && !c.HasStatus(" Remote Signature scheme: None"));
    EXPECT_NE(keylog.find("CLIENT_TRAFFIC_SECRET_0 " + random + " " +
                          c.DebugHex("context.Tls13_ClientTrafficSecret")), std::string::npos);
    EXPECT_NE(keylog.find("SERVER_HANDSHAKE_TRAFFIC_SECRET " + random + " " +
                          c.DebugHex("Tls13_ServerHandshakeTrafficSecret")), std::string::npos);
  } else {
    EXPECT_NE(keylog.find("CLIENT_RANDOM " + random + " " + c.DebugHex("master-secret")),
              std::string::npos) << keylog;
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsInteropMatrix, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

// ---- The server's certificate: trust, validity, host name, and the owner's decision ----

struct TrustCase {
  const char* name;
  const char* chain;        // what the server sends
  const char* host;
  uint32_t flags;
  int accept;               // the owner's answer; -1 leaves the engine's
  const char* status;       // the status text the owner is shown
  bool connects;
};

void PrintTo(const TrustCase& c, std::ostream* os) { *os << c.name; }

constexpr char kUntrusted[] =
    "[0x800b0109] A certification chain processed correctly but terminated in a root certificate "
    "not trusted by the trust provider.";

const TrustCase kTrustCases[] = {
    {"trusted", "rsa", "localhost", 0, -1, "OK", true},
    {"trusted_by_address", "rsa", "127.0.0.1", 0, -1, "OK", true},
    {"expired", "expired", "localhost", 0, -1,
     "[0x800b0101] A required certificate is not within its validity period.", false},
    {"expired_without_time_checks", "expired", "localhost", 0x1, -1, "OK", true},
    {"expired_accepted_by_owner", "expired", "localhost", 0, 1,
     "[0x800b0101] A required certificate is not within its validity period.", true},
    {"wrong_host", "wronghost", "localhost", 0, -1,
     "[0x113] Server name does not match server certificate", false},
    {"wrong_host_without_host_check", "wronghost", "localhost", 0x80000000, -1, "OK", true},
    {"self_signed", "selfsigned", "localhost", 0, -1, kUntrusted, false},
    {"self_signed_allowed", "selfsigned", "localhost", 0x10, -1, "OK", true},
    {"forged_leaf", "forged", "localhost", 0, -1, kUntrusted, false},
    {"leaf_signed_by_a_leaf", "noca", "localhost", 0, -1, kUntrusted, false},
};

class TlsTrust : public ::testing::TestWithParam<TrustCase> {};

TEST_P(TlsTrust, CodeTextAndDecision) {
  const TrustCase& t = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  // The chain file repeats the leaf; the client drops the repeat.
  auto peer = Server(t.chain, {"-cert_chain", pki.Chain(t.chain), "-tls1_2"}, OpenSslServerPeer::Mode::kStatus);
  OpenSslServerPeer& server = *peer;
  ASSERT_TRUE(server.Start()) << server.error();
  tlstest::EngineConnection c;
  c.engine.SetServerName(t.host);
  c.engine.SetProtocolMask(0x0FC0);
  c.engine.SetSecurityFlags(t.flags);
  c.accept_override = t.accept;
  ASSERT_TRUE(c.Connect(server.port()));
  EXPECT_EQ(c.Handshake(), t.connects) << c.failure_text;
  EXPECT_EQ(c.certificate_status, t.status);
  EXPECT_EQ(c.certificate_checks, 1);
  // The owner is shown the chain as PEM texts, the leaf first.
  EXPECT_EQ(c.certificate.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  if (!t.connects) {
    EXPECT_EQ(c.failure_code, 280);
    EXPECT_EQ(c.failure_text, "Server certificate validation failed. Connection aborted.");
    // The server saw certificate_unknown.
    c.Pump([&] { return c.peer_closed; }, 5000);
    EXPECT_NE(server.output().find("certificate unknown"), std::string::npos) << server.output();
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsTrust, ::testing::ValuesIn(kTrustCases),
                         [](const ::testing::TestParamInfo<TrustCase>& i) { return std::string(i.param.name); });

// ---- Resumption and client certificates ----

// The second connection of one engine resumes the saved session, as the server sees it.
TEST(TlsPeers, ResumesSavedSession) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  auto peer = Server("rsa", {"-tls1_2"}, OpenSslServerPeer::Mode::kStatus);
  OpenSslServerPeer& server = *peer;
  ASSERT_TRUE(server.Start()) << server.error();
  tlstest::EngineConnection first;
  first.engine.SetServerName("localhost");
  first.engine.SetProtocolMask(0x0FC0);
  first.engine.SetReuseSession(true);
  std::string page;
  for (int round = 0; round < 2; ++round) {
    first.received.clear();
    first.peer_closed = false;
    first.finished = first.established = false;
    ASSERT_TRUE(first.Connect(server.port()));
    ASSERT_TRUE(first.Handshake()) << first.failure_text;
    EXPECT_EQ(first.engine.resumed(), round == 1);
    ASSERT_TRUE(first.Send("GET / HTTP/1.0\r\n\r\n"));
    first.Pump([&] { return first.peer_closed; }, 5000);
    page = first.received;
    first.Close();
  }
  EXPECT_TRUE(first.HasStatus("Resuming previous SSL session."));
  EXPECT_NE(page.find("Reused, TLSv1.2"), std::string::npos) << page;
  EXPECT_EQ(first.engine.cached_sessions(), 1);
}

struct ClientCertCase {
  const char* name;
  const char* client;  // test PKI name; "" sends none
  const char* version;
  uint32_t mask;
  bool connects;
};
void PrintTo(const ClientCertCase& c, std::ostream* os) { *os << c.name; }

const ClientCertCase kClientCertCases[] = {
    {"rsa_tls12", "client", "-tls1_2", 0x0FC0, true},
    {"ec_tls12", "clientec", "-tls1_2", 0x0FC0, true},
    {"rsa_tls13", "client", "-tls1_3", 0x3FC0, true},
    {"ec_tls13", "clientec", "-tls1_3", 0x3FC0, true},
    {"none_tls12", "", "-tls1_2", 0x0FC0, false},
    {"none_tls13", "", "-tls1_3", 0x3FC0, false},
};

class TlsClientCertificate : public ::testing::TestWithParam<ClientCertCase> {};

// s_server -Verify demands a certificate it can verify and a CertificateVerify made with its key.
TEST_P(TlsClientCertificate, ServerVerifiesIt) {
  const ClientCertCase& k = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  auto peer = Server("rsa", {k.version, "-Verify", "1", "-CAfile", pki.Cert("root"), "-verify_return_error"},
                     OpenSslServerPeer::Mode::kStatus);
  OpenSslServerPeer& server = *peer;
  ASSERT_TRUE(server.Start()) << server.error();
  tlstest::EngineConnection c;
  c.engine.SetServerName("localhost");
  c.engine.SetProtocolMask(k.mask);
  if (*k.client != '\0') {
    ASSERT_EQ(c.engine.SetOwnCertificate(7, tlstest::PkiStore(k.client, false), tw::ByteString(), tw::ByteString()),
              0);
  }
  ASSERT_TRUE(c.Connect(server.port()));
  bool connected = c.Handshake();
  if (connected) {
    // TLS 1.3 servers judge the client's flight after the client considers itself connected.
    ASSERT_TRUE(c.Send("GET / HTTP/1.0\r\n\r\n"));
    c.Pump([&] { return c.peer_closed; }, 5000);
    connected = c.received.find("HTTP/1.0 200 ok") != std::string::npos;
  }
  EXPECT_EQ(connected, k.connects) << c.failure_text << "\n" << server.output();
  EXPECT_EQ(c.HasStatus("Certificate sent to peer"), *k.client != '\0');
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsClientCertificate, ::testing::ValuesIn(kClientCertCases),
                         [](const ::testing::TestParamInfo<ClientCertCase>& i) { return std::string(i.param.name); });

// ---- Commands of an interactive s_server: KeyUpdate and renegotiation ----

struct CommandCase {
  const char* name;
  const char* version;
  const char* command;     // typed into s_server between two lines of data
  bool renegotiation;      // the client allows renegotiation
  bool expect_renegotiation;
  bool goes_on;            // s_server ends a session whose renegotiation was refused
};
void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

const CommandCase kCommandCases[] = {
    {"key_update_requested", "-tls1_3", "K", true, false, true},
    {"renegotiation", "-tls1_2", "r", true, true, true},
    {"renegotiation_refused", "-tls1_2", "r", false, false, false},
};

class TlsServerCommands : public ::testing::TestWithParam<CommandCase> {};

// The data after the command arrives under the keys the command made, and data sent after it
// reaches the server.
TEST_P(TlsServerCommands, SessionGoesOn) {
  const CommandCase& k = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  const int port = testsupport::FreePort();
  std::string server_output;
  std::thread server([&] {
    server_output = testsupport::RunCommand(
        "(sleep 1.5; echo before; sleep 0.5; echo " + std::string(k.command) +
        "; sleep 0.5; echo after; sleep 1.5) | timeout 20 openssl s_server -accept " + std::to_string(port) +
        " -naccept 1 " + k.version + " -cert " + testsupport::ShellQuote(pki.Cert("rsa")) + " -cert_chain " +
        testsupport::ShellQuote(pki.Cert("inter")) + " -key " + testsupport::ShellQuote(pki.Key("rsa")) + " 2>&1");
  });
  tlstest::EngineConnection c;
  c.engine.SetServerName("localhost");
  c.engine.SetProtocolMask(0x3FC0);
  c.engine.SetRenegotiationAllowed(k.renegotiation);
  bool connected = false;
  for (int i = 0; i < 50 && !connected; ++i) {
    connected = c.Connect(port);
    if (!connected) {
      c.Close();
      usleep(100000);
    }
  }
  ASSERT_TRUE(connected);
  ASSERT_TRUE(c.Handshake()) << c.failure_text;
  c.Pump([&] { return c.received.find("after") != std::string::npos; }, 8000);
  EXPECT_NE(c.received.find("before"), std::string::npos);
  if (k.goes_on) {
    EXPECT_NE(c.received.find("after"), std::string::npos) << c.failure_text;
    EXPECT_TRUE(c.Send("from the client\n"));
  } else {
    EXPECT_EQ(c.failure_text, "Received fatal alert: HANDSHAKE_FAILURE");
  }
  c.Pump([&] { return c.peer_closed; }, 5000);
  server.join();
  EXPECT_EQ(server_output.find("from the client") != std::string::npos, k.goes_on) << server_output;
  EXPECT_EQ(c.HasStatus("HelloRequest message received"), std::string(k.command) == "r");
  EXPECT_EQ(c.HasStatus("Renegotiate is disabled"), std::string(k.command) == "r" && !k.renegotiation);
  int hellos = 0;
  for (const std::string& line : c.status) hellos += line == "ClientHello message sent";
  EXPECT_EQ(hellos, k.expect_renegotiation ? 2 : 1);
  EXPECT_EQ(c.HasStatus("Resuming previous SSL session."), k.expect_renegotiation);
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsServerCommands, ::testing::ValuesIn(kCommandCases),
                         [](const ::testing::TestParamInfo<CommandCase>& i) { return std::string(i.param.name); });

}  // namespace
