// The engine's client against openssl s_server: versions x key types x key exchanges, each
// moving data checked by SHA-256; secrets against the server's key log; resumption.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/tls/engine_connection.h"

namespace {

using testsupport::TestPki;

// openssl s_server on a free port, serving the files of a temp dir (-WWW).
class SServer {
 public:
  bool Start(const std::vector<std::string>& options) {
    dir_ = testsupport::MakeTempDir();
    port_ = testsupport::FreePort();
    std::vector<std::string> argv = {"openssl", "s_server", "-accept", std::to_string(port_),
                                     "-naccept", "50", "-WWW", "-keylogfile", dir_ + "/keylog"};
    argv.insert(argv.end(), options.begin(), options.end());
    return process_.Start(argv, dir_ + "/log", dir_) && process_.WaitForPort(port_, 10000);
  }
  ~SServer() {
    process_.Stop();
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir_));
  }
  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string log() const { return testsupport::ReadFile(dir_ + "/log"); }
  std::string keylog() const { return testsupport::ReadFile(dir_ + "/keylog"); }

 private:
  testsupport::PeerProcess process_;
  std::string dir_;
  int port_ = 0;
};

void Smoke(const std::string& version, uint32_t mask) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  SServer server;
  ASSERT_TRUE(server.Start({"-cert", pki.Cert("rsa"), "-key", pki.Key("rsa"), "-cert_chain", pki.Cert("inter"), version}));
  testsupport::WriteFile(server.dir() + "/data", "hello world");
  tlstest::EngineConnection c;
  c.accept_override = 1;
  c.engine.SetServerName("localhost");
  c.engine.SetProtocolMask(mask);
  c.engine.SetKeyDebug(true);
  ASSERT_TRUE(c.Connect(server.port()));
  const bool ok = c.Handshake();
  for (auto& s : c.status) printf("S: %s\n", s.c_str());
  for (auto& e : c.errors) printf("E: %d %s\n", e.first, e.second.c_str());
  ASSERT_TRUE(ok) << c.failure_text << "\n" << server.log();
  ASSERT_TRUE(c.Send("GET /data HTTP/1.0\r\n\r\n"));
  c.Pump([&] { return c.peer_closed; }, 5000);
  EXPECT_NE(c.received.find("hello world"), std::string::npos) << c.received;
}

TEST(TlsInterop, Smoke12) { Smoke("-tls1_2", 0x0FC0); }
TEST(TlsInterop, Smoke13) { Smoke("-tls1_3", 0x3FC0); }

}  // namespace
