// The engine as a server against openssl s_client: versions, key types and suites, a retry,
// client certificates, resumption, and an SSL 2.0-format hello; fixed ECDH against an mbed TLS client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/peers/test_pki.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"
#include "tests/tls/engine_connection.h"
#include "tests/tls/tls_test_support.h"

#ifndef TW_MBEDTLS_CLIENT
#define TW_MBEDTLS_CLIENT ""
#endif

namespace {

using testsupport::ShellQuote;
using testsupport::TestPki;

struct ServerCase {
  const char* name;
  const char* cert;
  std::string client_options;
  bool authenticate;
  const char* expect;  // in s_client's output
  const char* server_groups = nullptr;
  const char* failure = nullptr;  // the server's refusal, when it refuses
};
void PrintTo(const ServerCase& c, std::ostream* os) { *os << c.name; }

constexpr char kNoCert[] = "Client did not send any certificates and SSLAuthenticateClients is true";
const std::vector<ServerCase>& Cases() {
  static const std::vector<ServerCase> cases = {
      {"tls13_rsa", "rsa", "-tls1_3", false, "TLSv1.3, Cipher is TLS_AES_256_GCM_SHA384"},
      {"tls13_ecdsa_chacha", "ecdsa", "-tls1_3 -ciphersuites TLS_CHACHA20_POLY1305_SHA256", false,
       "TLSv1.3, Cipher is TLS_CHACHA20_POLY1305_SHA256"},
      {"tls13_ed25519", "ed25519", "-tls1_3", false, "TLSv1.3, Cipher is TLS_AES_256_GCM_SHA384"},
      {"tls13_retry", "rsa", "-tls1_3 -groups P-384:X25519", false, "Server Temp Key: X25519", "ecdhe_x25519"},
      {"tls13_client_certificate", "rsa", "-tls1_3 -cert CLIENT.pem -key CLIENT.key", true, "TLSv1.3"},
      {"tls12_ecdhe_rsa_gcm", "rsa", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", false,
       "TLSv1.2, Cipher is ECDHE-RSA-AES128-GCM-SHA256"},
      {"tls12_dhe_rsa_gcm", "rsa", "-tls1_2 -cipher DHE-RSA-AES256-GCM-SHA384", false,
       "TLSv1.2, Cipher is DHE-RSA-AES256-GCM-SHA384"},
      {"tls12_rsa_cbc", "rsa", "-tls1_2 -cipher AES128-SHA256", false, "TLSv1.2, Cipher is AES128-SHA256"},
      {"tls12_ecdsa", "ecdsa", "-tls1_2 -cipher ECDHE-ECDSA-AES256-GCM-SHA384", false,
       "TLSv1.2, Cipher is ECDHE-ECDSA-AES256-GCM-SHA384"},
      {"tls12_ed25519", "ed25519", "-tls1_2", false, "TLSv1.2, Cipher is ECDHE-ECDSA"},
      {"tls12_client_certificate_ec", "rsa", "-tls1_2 -cert CLIENTEC.pem -key CLIENTEC.key", true, "alert handshake failure", nullptr, kNoCert},
      {"tls13_no_client_certificate", "rsa", "-tls1_3", true, "alert handshake failure", nullptr, kNoCert},
      {"dsa_for_tls13_client", "clientdsa", "-purpose any -cipher DHE-DSS-AES256-GCM-SHA384", false, "TLSv1.2, Cipher is DHE-DSS-AES256"},
      {"dsa_tls13_only", "clientdsa", "-tls1_3", false, "alert handshake failure", nullptr, "Could not agree on a signature scheme"},
      {"tls12_client_certificate_dsa", "rsa",
       "-tls1_2 -cert CLIENTDSA.pem -key CLIENTDSA.key -cipher DEFAULT:@SECLEVEL=0", true, "TLSv1.2"},
      {"tls11_ecdhe_rsa", "rsa", "-tls1_1 -cipher ECDHE-RSA-AES128-SHA:@SECLEVEL=0", false,
       "Protocol  : TLSv1.1"},
      {"tls10_rsa", "rsa", "-tls1 -cipher AES256-SHA:@SECLEVEL=0", false, "Protocol  : TLSv1\n"},
  };
  return cases;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
  return s;
}

// One run of the shell command `command(port)` against one connection of our server; returns
// what it printed. The server reads on for `linger_ms` after its greeting.
std::string ServeCommand(tlstest::EngineConnection& server, const std::function<std::string(int)>& command, bool* ok,
                         int linger_ms, bool greet = true) {
  tlstest::Listener listener;
  std::string output;
  std::thread client([&] { output = testsupport::RunCommand(command(listener.port())); });
  *ok = server.Accept(listener.fd()) && server.Handshake() && (!greet || server.Send("hello from the engine\n"));
  // TLS 1.3 client certificates are judged after the server's flight: read what follows.
  server.Pump([&] { return server.peer_closed; }, linger_ms);
  server.engine.Close();
  server.Close();
  client.join();
  return output;
}

// One s_client run; `typed`, when given, is a shell script whose output is s_client's input, its
// commands among it (they work only without -ign_eof).
std::string Serve(tlstest::EngineConnection& server, const std::string& client_options, bool* ok,
                  const std::string& typed = "", int linger_ms = 300, bool greet = true) {
  const std::string input = typed.empty() ? "" : "(" + typed + ") | ";
  const std::string root = TestPki::Get().Cert("root");
  return ServeCommand(server, [&](int port) {
    return input + "openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -servername localhost -CAfile " +
           ShellQuote(root) + " -verify_return_error " + (typed.empty() ? "-ign_eof " : "") + client_options + " 2>&1";
  }, ok, linger_ms, greet);
}

class TlsServerPeers : public ::testing::TestWithParam<ServerCase> {};

TEST_P(TlsServerPeers, ClientConnectsAndReads) {
  const ServerCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  tlstest::EngineConnection server(false);
  const tw::ByteString store = tlstest::PkiStore(c.cert);
  server.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
  server.engine.SetProtocolMask(0x3FC0);
  server.engine.SetAuthenticateClients(c.authenticate);
  if (c.server_groups != nullptr) server.engine.SetTls13Groups(c.server_groups);
  std::string options = Replace(c.client_options, "CLIENTDSA.", pki.dir() + "/clientdsa.");
  options = Replace(options, "CLIENTEC.", pki.dir() + "/clientec.");
  options = Replace(options, "CLIENT.", pki.dir() + "/client.");
  bool ok = false;
  const std::string out = Serve(server, options, &ok);
  EXPECT_NE(out.find(c.expect), std::string::npos) << out;
  if (c.failure != nullptr) {
    // A client certificate is refused after the server's flight (TLS 1.3: read under its application
    // keys); a DSA key's TLS 1.3 refusal before it. A TLS 1.2 request's sha256-rsa,sha1-dsa fit no EC key.
    EXPECT_TRUE(!ok && server.failure_text == c.failure) << server.failure_text;
    EXPECT_EQ(server.HasStatus("ServerHello message sent"), c.authenticate);
    return;
  }
  EXPECT_TRUE(ok) << server.failure_text << "\n" << out;
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  EXPECT_NE(out.find("hello from the engine"), std::string::npos) << out;
  if (c.authenticate) {
    EXPECT_EQ(server.certificate_status, "OK");
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, TlsServerPeers, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ServerCase>& i) { return std::string(i.param.name); });

// A client that keeps its session resumes it; the server refuses a client without a certificate
// when it must authenticate clients.
TEST(TlsServerPeers, ResumptionAndMissingClientCertificate) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  const tw::ByteString store = tlstest::PkiStore("rsa");
  const std::string session = testsupport::MakeTempDir() + "/session";
  tlstest::EngineConnection server(false);
  server.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
  server.engine.SetProtocolMask(0x0FC0);
  bool ok = false;
  std::string out = Serve(server, "-tls1_2 -sess_out " + ShellQuote(session), &ok);
  EXPECT_TRUE(ok) << out;
  EXPECT_NE(out.find("New, TLSv1.2"), std::string::npos) << out;
  server.finished = server.established = server.peer_closed = false;
  out = Serve(server, "-tls1_2 -sess_in " + ShellQuote(session), &ok);
  EXPECT_TRUE(ok) << out;
  EXPECT_NE(out.find("Reused, TLSv1.2"), std::string::npos) << out;
  EXPECT_TRUE(server.engine.resumed());

  tlstest::EngineConnection strict(false);
  strict.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
  strict.engine.SetProtocolMask(0x0FC0);
  strict.engine.SetAuthenticateClients(true);
  out = Serve(strict, "-tls1_2", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(strict.failure_text, "Client did not send any certificates and SSLAuthenticateClients is true");
  testsupport::RunCommand("rm -rf " + ShellQuote(session.substr(0, session.rfind('/'))));
}

// SSL 2.0-format hellos: a TLS one is answered with a TLS ServerHello; a short challenge and a
// real SSL 2.0 hello are refused.
TEST(TlsServerPeers, Ssl2FormatHellos) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  struct Case {
    const char* name;
    std::string message;  // after the two-byte record header
    const char* failure;  // "" when the server answers
  };
  const std::string specs = std::string("\x00\xc0\x2f\x00\x00\x9c", 6);
  const Case cases[] = {
      {"tls12", std::string("\x01\x03\x03\x00\x06\x00\x00\x00\x20", 9) + specs + std::string(32, 'c'), ""},
      {"short challenge", std::string("\x01\x03\x03\x00\x06\x00\x00\x00\x08", 9) + specs + std::string(8, 'c'),
       "SSL2 ClientHello challenge too short"},
      {"ssl2", std::string("\x01\x00\x02\x00\x06\x00\x00\x00\x10", 9) + specs + std::string(16, 'c'),
       "SSL2 not supported"},
  };
  const tw::ByteString store = tlstest::PkiStore("rsa", false);
  for (const Case& c : cases) {
    tlstest::Listener listener;
    tlstest::EngineConnection server(false);
    server.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
    server.engine.SetProtocolMask(0x0FC0);
    const std::string record = std::string(1, static_cast<char>(0x80)) +
                               std::string(1, static_cast<char>(c.message.size())) + c.message;
    std::string reply;
    std::thread client([&] {
      reply = testsupport::RunCommand(
          std::string(testsupport::kPython) + " -c 'import socket,sys; s=socket.create_connection((\"127.0.0.1\"," +
              std::to_string(listener.port()) +
              ")); s.sendall(bytes.fromhex(sys.stdin.read())); s.settimeout(5); print(s.recv(6).hex())'",
          testsupport::Hex(record.data(), record.size()));
    });
    ASSERT_TRUE(server.Accept(listener.fd()));
    server.Handshake(3000);
    server.Close();
    client.join();
    if (*c.failure == '\0') {
      // A handshake record whose first message is a ServerHello.
      ASSERT_GE(reply.size(), 12u) << c.name;
      EXPECT_EQ(reply.substr(0, 6), "160303") << c.name << " " << reply;
      EXPECT_EQ(reply.substr(10, 2), "02") << c.name << " " << reply;
    } else {
      EXPECT_EQ(server.failure_text, c.failure) << c.name;
    }
  }
}

// A client's renegotiation (RFC 5746) is served when allowed and refused with no_renegotiation
// when not; either way the session stays usable.
TEST(TlsServerPeers, ClientRenegotiation) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  const tw::ByteString store = tlstest::PkiStore("rsa");
  for (bool allowed : {true, false}) {
    tlstest::EngineConnection server(false);
    server.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
    server.engine.SetProtocolMask(0x0FC0);
    server.engine.SetRenegotiationAllowed(allowed);
    bool ok = false;
    // No greeting: data that reaches s_client while it renegotiates, not reading, is refused.
    // The line after waits long enough for a renegotiation on a loaded machine.
    const std::string out =
        Serve(server, "-tls1_2", &ok, "sleep 0.5; echo R; sleep 2; echo line after; sleep 0.5", 6000, false);
    EXPECT_TRUE(ok) << out;
    int hellos = 0;
    for (const std::string& line : server.status) hellos += line == "ClientHello message received";
    EXPECT_EQ(hellos, 2) << out;
    EXPECT_EQ(server.HasStatus("Renegotiate is disabled"), !allowed);
    // s_client gives up on a refused renegotiation; an accepted one carries on.
    EXPECT_EQ(server.received.find("line after") != std::string::npos, allowed) << out << server.failure_text;
  }
}

// The CertificateRequest names the CA certificates the server was given, cut at the last whole
// name within 16 KiB, and asks for sha256-rsa and sha1-dsa first; s_client lists what it got.
struct CaNamesCase {
  const char* name;
  int copies;  // of the root certificate in the CA text, after the intermediate
};
void PrintTo(const CaNamesCase& c, std::ostream* os) { *os << c.name; }
class TlsServerCaNames : public ::testing::TestWithParam<CaNamesCase> {};

TEST_P(TlsServerCaNames, ClientSeesTheNames) {
  const CaNamesCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  std::string ca = testsupport::ReadFile(pki.Cert("inter"));
  for (int i = 0; i < c.copies; ++i) ca += testsupport::ReadFile(pki.Cert("root"));
  // The oracle's sizes of the two names as DER.
  const std::string sizes = testsupport::RunCommand(
      std::string(testsupport::kPython) + " -c 'import sys; from cryptography import x509; "
      "print(*[len(x509.load_pem_x509_certificate(open(f,\"rb\").read()).subject.public_bytes()) for f in sys.argv[1:]])' " +
      ShellQuote(pki.Cert("inter")) + " " + ShellQuote(pki.Cert("root")));
  const int inter_size = std::atoi(sizes.c_str()) + 2;
  const int root_size = std::atoi(sizes.c_str() + sizes.find(' ')) + 2;
  const int fit = std::min(c.copies, (16384 - inter_size) / root_size);
  tlstest::EngineConnection server(false);
  server.engine.SetOwnCertificate(7, tlstest::PkiStore("rsa"), tw::ByteString(), tw::ByteString());
  server.engine.SetProtocolMask(0x0FC0);
  server.engine.SetAuthenticateClients(true);
  server.engine.SetCaCerts(ca.c_str());
  bool ok = false;
  const std::string out =
      Serve(server, "-tls1_2 -cert " + ShellQuote(pki.Cert("client")) + " -key " + ShellQuote(pki.Key("client")), &ok);
  EXPECT_TRUE(ok) << server.failure_text << "\n" << out;
  const size_t from = out.find("Acceptable client certificate CA names\n");
  ASSERT_NE(from, std::string::npos) << out;
  const std::string listed = out.substr(from, out.find("Client Certificate Types", from) - from);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n') - 1, 1 + fit) << listed;
  EXPECT_NE(listed.find("CN = Test Intermediate CA\n"), std::string::npos) << listed;
  EXPECT_NE(out.find("Requested Signature Algorithms: RSA+SHA256:DSA+SHA1\n"), std::string::npos) << out;
  EXPECT_EQ(server.HasStatus("CA certificates list exceeds 16K. The list will be truncated."), fit < c.copies);
}
INSTANTIATE_TEST_SUITE_P(Lists, TlsServerCaNames,
                         ::testing::Values(CaNamesCase{"TwoNames", 1}, CaNamesCase{"CutAt16K", 400}),
                         testsupport::CaseName{});

// An Ed25519 certificate signs nothing a TLS 1.0/1.1 client can check, nor anything for a TLS 1.2
// client without Ed25519 among its signature algorithms: the hello is refused, no ServerHello sent.

TEST(TlsServerPeers, Ed25519CertificateRefusesWhatItCannotSign) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  for (const char* options : {"-tls1 -cipher ALL:@SECLEVEL=0", "-tls1_1 -cipher ALL:@SECLEVEL=0",
                              "-tls1_2 -sigalgs RSA+SHA256:ECDSA+SHA256:ECDSA+SHA384"}) {
    tlstest::EngineConnection server(false);
    server.engine.SetOwnCertificate(7, tlstest::PkiStore("ed25519"), tw::ByteString(), tw::ByteString());
    server.engine.SetProtocolMask(0x0FC0);
    bool ok = false;
    const std::string out = Serve(server, options, &ok);
    EXPECT_FALSE(ok) << options;
    EXPECT_EQ(server.failure_text, "Could not agree on a cipher suite") << options;
    EXPECT_FALSE(server.HasStatus("ServerHello message sent")) << options;
    EXPECT_NE(out.find("handshake failure"), std::string::npos) << options << "\n" << out;
  }
}

// Fixed ECDH served to an independent client that still speaks it: each suite, the certificate's
// EC key on P-256 and P-384, signed with ECDSA (self-signed here) or with RSA (the test PKI's).
// The client library's build has no 3DES suites, and none installed speaks an export suite.
struct FixedEcdhCase {
  std::string name;
  std::string suite;
  std::string curve;
  std::string version;
};
void PrintTo(const FixedEcdhCase& c, std::ostream* os) { *os << c.name; }

std::vector<FixedEcdhCase> FixedEcdhCases() {
  std::vector<FixedEcdhCase> cases;
  auto add = [&](const std::string& signer, const char* bulk, const char* curve, const char* version) {
    cases.push_back({testsupport::MakeName(signer, bulk, curve, std::string("tls") + version),
                     "TLS_ECDH_" + signer + "_WITH_" + bulk, curve, version});
  };
  for (const std::string signer : {"ECDSA", "RSA"}) {
    for (const char* curve : {"P-256", "P-384"}) {
      for (const char* bulk : {"AES_128_GCM_SHA256", "AES_256_GCM_SHA384", "AES_128_CBC_SHA256", "AES_256_CBC_SHA384",
                               "AES_128_CBC_SHA", "AES_256_CBC_SHA"}) {
        add(signer, bulk, curve, "1.2");
      }
    }
    add(signer, "AES_128_CBC_SHA", "P-256", "1.0");
    add(signer, "AES_256_CBC_SHA", "P-384", "1.1");
  }
  return cases;
}

class FixedEcdhPeer : public ::testing::TestWithParam<FixedEcdhCase> {};

TEST_P(FixedEcdhPeer, IndependentClientCompletes) {
  const FixedEcdhCase& c = GetParam();
  const std::string client = TW_MBEDTLS_CLIENT;
  if (client.empty()) { TW_REQUIRE_OR_SKIP("the mbed TLS client was not built: libmbedtls-dev missing"); }
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  const std::string dir = testsupport::MakeTempDir();
  std::string store = tlstest::Str(tlstest::PkiStore(c.curve == "P-256" ? "ecdsa" : "ecdsa384"));
  std::string ca = pki.Cert("root");
  if (c.suite.find("ECDSA") != std::string::npos) {
    testsupport::RunCommand("cd " + ShellQuote(dir) + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:" +
                            c.curve + " -nodes -keyout k.pem -out c.pem -subj /CN=localhost -days 2 2>&1");
    ca = dir + "/c.pem";
    store = testsupport::ReadFile(ca) + testsupport::ReadFile(dir + "/k.pem");
  }
  tlstest::EngineConnection server(false);
  server.engine.SetOwnCertificate(7, tlstest::Bytes(store), tw::ByteString(), tw::ByteString());
  server.engine.SetProtocolMask(0x0FC0);
  ASSERT_EQ(server.engine.SetCipherSuiteList(c.suite.c_str()), 0);
  bool ok = false;
  const std::string out = ServeCommand(server, [&](int port) {
    return ShellQuote(client) + " " + std::to_string(port) + " " + c.suite + " " + ShellQuote(ca) + " " + c.version + " 2>&1";
  }, &ok, 5000);
  testsupport::RunCommand("rm -rf " + ShellQuote(dir));
  EXPECT_TRUE(ok) << server.failure_text << "\n" << out;
  EXPECT_NE(out.find("suite: " + c.suite + "\nprotocol: TLSv" + c.version + "\nread: hello from the engine\n"),
            std::string::npos) << out;
  EXPECT_NE(server.received.find("hello from the peer\n"), std::string::npos) << out;
}
INSTANTIATE_TEST_SUITE_P(Suites, FixedEcdhPeer, ::testing::ValuesIn(FixedEcdhCases()), testsupport::CaseName{});

}  // namespace
