// The blob client through each firewall type against the storage emulator, with real proxies:
// listings and a download of what the reference SDK made when the credentials are right, the
// tunnel's code and text when they are wrong, and the tunnel's refusal for a closed port.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/firewall_tunnel.h"
#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/peers/peer_process.h"
#include "tests/peers/proxy_peers.h"
#include "tests/peers/squid_peer.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Str;
using testsupport::AzuritePeer;
using Texts = std::vector<std::string>;

constexpr char kBlobText[] = "hello through the tunnel";

// The proxies' own resolvers do not know "*.localhost". With numeric_connect the CONNECT line
// names 127.0.0.1 while the Host header keeps the account host the emulator reads.
class TunnelClient : public blobtest::TestClient {
 public:
  explicit TunnelClient(bool numeric_connect = false) : numeric_connect_(numeric_connect) {
    set_log_level(tw::kLogInfo);
  }
  int SetRemoteHost(const char* text) override {
    const std::string host = text != nullptr ? text : "";
    const std::string suffix = ".localhost";
    if (numeric_connect_ && host.size() > suffix.size() &&
        host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return TestClient::SetRemoteHost("127.0.0.1");
    }
    return TestClient::SetRemoteHost(text);
  }
  // The log lines of the given type ("FirewallRequest", "FirewallResponse").
  Texts LogOf(const std::string& type) const {
    Texts out;
    for (const blobtest::Event& e : sink.Of(tw::kBlobEventLog)) {
      if (e.args.size() == 3 && e.args[2] == type) out.push_back(e.args[1]);
    }
    return out;
  }

 private:
  bool numeric_connect_;
};

// Squid with a hosts file naming the account host, so the CONNECT can carry the real name.
class NamedSquidPeer : public testsupport::SquidPeer {
 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override {
    if (!SquidPeer::Prepare(program_name, argv)) return false;
    const std::string hosts = dir_ + "/hosts";
    if (!testsupport::WriteTextFile(
            hosts, "127.0.0.1 localhost " + AzuritePeer::account() + ".blob.localhost\n")) {
      error_ = "cannot write the squid hosts file";
      return false;
    }
    const std::string conf = dir_ + "/squid.conf";
    return testsupport::WriteTextFile(
        conf, testsupport::ReadFile(conf) + "hosts_file " + hosts + "\n");
  }
};

class BlobTunnel : public blobtest::EmulatorFixture {
 protected:
  static void SetUpTestSuite() {
    StartEmulator(
        std::string(R"([{"op":"container","name":"tunnel-a"},{"op":"container","name":"tunnel-b"},)") +
        R"({"op":"blob","container":"tunnel-a","name":"hello.txt","data":")" + kBlobText + R"("}])");
  }

  // Points the client at the emulator (or at `target_port`) through the firewall.
  static void Configure(TunnelClient& c, int type, int firewall_port, const std::string& user = "",
                        const std::string& password = "", int target_port = 0) {
    ASSERT_TRUE(c.initialized);
    c.UsePlainService(AzuritePeer::account(), target_port != 0 ? target_port : azurite_->port());
    c.access_key().SetText(AzuritePeer::key().c_str());
    ASSERT_EQ(c.Set("FirewallType=" + std::to_string(type)), 0);
    ASSERT_EQ(c.Set("FirewallHost=127.0.0.1"), 0);
    ASSERT_EQ(c.Set("FirewallPort=" + std::to_string(firewall_port)), 0);
    ASSERT_EQ(c.Set("FirewallUser=" + user), 0);
    ASSERT_EQ(c.Set("FirewallPassword=" + password), 0);
    EXPECT_EQ(c.Get("FirewallType"), std::to_string(type));
    EXPECT_EQ(c.Get("FirewallHost"), "127.0.0.1");
    EXPECT_EQ(c.Get("FirewallPort"), std::to_string(firewall_port));
  }

  // The SDK's containers and blob, listed and read through the firewall.
  static void ExpectSeedVisible(TunnelClient& c) {
    c.prefix().SetText("tunnel-");
    ASSERT_EQ(c.ListContainers(), 0) << c.Error();
    Texts containers;
    for (int i = 0; i < c.containers().Count(); ++i) {
      containers.push_back(Str(c.containers().At(i)->name));
    }
    EXPECT_EQ(containers, (Texts{"tunnel-a", "tunnel-b"}));

    c.prefix().SetText("");
    c.container().SetText("tunnel-a");
    ASSERT_EQ(c.ListBlobs(), 0) << c.Error();
    ASSERT_EQ(c.blobs().Count(), 1);
    EXPECT_EQ(Str(c.blobs().At(0)->name), "hello.txt");
    EXPECT_EQ(c.blobs().At(0)->content_length, static_cast<int64_t>(sizeof(kBlobText) - 1));

    ASSERT_EQ(c.GetBlob("hello.txt"), 0) << c.Error();
    EXPECT_EQ(Str(c.blob_data()), kBlobText);
    // The tunnel was negotiated (once per connection at least).
    EXPECT_FALSE(c.LogOf("FirewallRequest").empty());
    EXPECT_FALSE(c.LogOf("FirewallResponse").empty());
  }

  // A request refused by the firewall: the tunnel's code and text, nothing listed.
  static void ExpectRefused(TunnelClient& c, const std::string& text) {
    c.prefix().SetText("tunnel-");
    EXPECT_EQ(c.ListContainers(), tw::kErrFirewall);
    EXPECT_EQ(c.Error(), text);
    EXPECT_EQ(c.containers().Count(), 0);
    EXPECT_EQ(c.sink.Count(tw::kBlobEventContainerList), 0);
  }

  // An HTTP proxy's refusal: "Firewall error. " and its status line, with the code given.
  static void ExpectHttpRefused(TunnelClient& c, const std::string& code) {
    c.prefix().SetText("tunnel-");
    EXPECT_EQ(c.ListContainers(), tw::kErrFirewall);
    const std::string text = c.Error();
    EXPECT_EQ(text.rfind("Firewall error. HTTP/1.", 0), 0u) << text;
    EXPECT_NE(text.find(" " + code + " "), std::string::npos) << text;
    EXPECT_EQ(text.back(), '.');
    EXPECT_EQ(c.containers().Count(), 0);
  }

};

// ---- HTTP CONNECT ----

TEST_F(BlobTunnel, TinyproxyWithoutCredentials) {
  testsupport::TinyproxyPeer proxy;
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    TunnelClient c(true);
    Configure(c, tw::kFirewallTunnel, proxy.port());
    ExpectSeedVisible(c);
    const Texts sent = c.LogOf("FirewallRequest");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].rfind("CONNECT 127.0.0.1:" + std::to_string(azurite_->port()) +
                                " HTTP/1.0\r\n", 0),
              0u)
        << sent[0];
  }
  {
    // Nobody listens behind the proxy.
    TunnelClient c(true);
    Configure(c, tw::kFirewallTunnel, proxy.port(), "", "", testsupport::ClosedPort());
    ExpectHttpRefused(c, "500");
  }
}

TEST_F(BlobTunnel, TinyproxyBasicCredentials) {
  testsupport::TinyproxyPeer proxy;
  proxy.SetCredentials("alice", "wonder");
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    TunnelClient c(true);
    Configure(c, tw::kFirewallTunnel, proxy.port(), "alice", "wonder");
    ExpectSeedVisible(c);
    // The credentials reach the proxy but not the log.
    const Texts sent = c.LogOf("FirewallRequest");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].find("YWxpY2U6d29uZGVy"), std::string::npos) << sent[0];
    EXPECT_NE(sent[0].find("Proxy-Authorization: Basic ****************\r\n"), std::string::npos)
        << sent[0];
  }
  for (const char* password : {"wrong", ""}) {
    SCOPED_TRACE(password);
    TunnelClient c(true);
    Configure(c, tw::kFirewallTunnel, proxy.port(), "alice", password);
    ExpectRefused(c, "Firewall error. HTTP/1.0 401 Unauthorized.");
  }
  {
    // No credentials at all: tinyproxy asks for them (a wrong pair above gets 401).
    TunnelClient c(true);
    Configure(c, tw::kFirewallTunnel, proxy.port());
    ExpectRefused(c, "Firewall error. HTTP/1.0 407 Proxy Authentication Required.");
  }
}

TEST_F(BlobTunnel, SquidBasicCredentialsWithTheAccountHostName) {
  auto proxy = std::make_unique<NamedSquidPeer>();
  proxy->SetCredentials("dave", "sq-pass");
  if (!proxy->Start()) TW_REQUIRE_OR_SKIP(proxy->error());
  {
    TunnelClient c;
    Configure(c, tw::kFirewallTunnel, proxy->port(), "dave", "sq-pass");
    ExpectSeedVisible(c);
    const Texts sent = c.LogOf("FirewallRequest");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].rfind("CONNECT " + AzuritePeer::account() + ".blob.localhost:" +
                                std::to_string(azurite_->port()) + " HTTP/1.0\r\n", 0),
              0u)
        << sent[0];
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallTunnel, proxy->port(), "dave", "nope");
    ExpectRefused(c, "Firewall error. HTTP/1.1 407 Proxy Authentication Required.");
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallTunnel, proxy->port(), "dave", "sq-pass", testsupport::ClosedPort());
    ExpectHttpRefused(c, "503");
  }
}

// NTLM and Digest, the latter with right and wrong passwords (squid's NTLM helper takes any user, so NTLM has no wrong pair to try).
TEST_F(BlobTunnel, SquidNtlmAndDigest) {
  testsupport::SquidAuthPeer ntlm(testsupport::SquidAuthPeer::kNtlm);
  ntlm.AddHost(AzuritePeer::account() + ".blob.localhost");
  if (!ntlm.Start()) TW_REQUIRE_OR_SKIP(ntlm.error());
  {
    // The system library refuses the helper's challenge (its target name field points
    // nowhere), so the own engine answers it.
    TunnelClient c;
    ASSERT_EQ(c.Set("UseSystemSSPI=false"), 0);
    Configure(c, tw::kFirewallTunnelNtlm, ntlm.port(), "DOM\\erin", "nt-pass");
    ExpectSeedVisible(c);
  }
  testsupport::SquidAuthPeer digest(testsupport::SquidAuthPeer::kDigest);
  digest.AddHost(AzuritePeer::account() + ".blob.localhost");
  digest.SetCredentials("frank", "dg-pass");
  if (!digest.Start()) TW_REQUIRE_OR_SKIP(digest.error());
  {
    TunnelClient c;
    Configure(c, tw::kFirewallTunnelDigest, digest.port(), "frank", "dg-pass");
    ExpectSeedVisible(c);
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallTunnelDigest, digest.port(), "frank", "wrong");
    ExpectRefused(c, "Firewall error after digest authentication. Expected a status code "
                     "beginning with 2 but got: 407 Proxy Authentication Required");
  }
}

// ---- SOCKS ----

TEST_F(BlobTunnel, DanteSocks4And5) {
  testsupport::DantePeer proxy;
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  for (int type : {tw::kFirewallSocks4, tw::kFirewallSocks5}) {
    SCOPED_TRACE(type);
    {
      TunnelClient c;
      Configure(c, type, proxy.port());
      ExpectSeedVisible(c);
    }
    {
      TunnelClient c;
      Configure(c, type, proxy.port(), "", "", testsupport::ClosedPort());
      ExpectRefused(c, type == tw::kFirewallSocks4 ? "firewall request rejected or failed"
                                                   : "connection refused");
    }
  }
}

TEST_F(BlobTunnel, DanteSocks5UserPassword) {
  if (!testsupport::DantePeer::CanAuthenticate("twdante")) {
    TW_REQUIRE_OR_SKIP("dante's test account needs root");
  }
  const std::string password = testsupport::RandomPassword();
  testsupport::DantePeer proxy;
  proxy.SetCredentials("twdante", password);
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "twdante", password);
    ExpectSeedVisible(c);
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "twdante", "wrong");
    c.prefix().SetText("tunnel-");
    EXPECT_EQ(c.ListContainers(), tw::kErrFirewall);
    EXPECT_EQ(c.Error().rfind("firewall authentication failed: ", 0), 0u) << c.Error();
    EXPECT_EQ(c.containers().Count(), 0);
  }
  {
    // Without credentials only "no authentication" is offered, which this server refuses.
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port());
    ExpectRefused(c, "no acceptable firewall authentication methods");
  }
  {
    // SOCKS 4 carries no password: the server refuses it.
    TunnelClient c;
    Configure(c, tw::kFirewallSocks4, proxy.port(), "twdante");
    ExpectRefused(c, "firewall request rejected or failed");
  }
}

TEST_F(BlobTunnel, MicrosocksUserPassword) {
  testsupport::MicrosocksPeer proxy;
  proxy.SetCredentials("carol", "m1cr0");
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "carol", "m1cr0");
    ExpectSeedVisible(c);
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "carol", "wrong");
    c.prefix().SetText("tunnel-");
    EXPECT_EQ(c.ListContainers(), tw::kErrFirewall);
    EXPECT_EQ(c.Error().rfind("firewall authentication failed: ", 0), 0u) << c.Error();
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "carol", "");
    ExpectRefused(c, "no acceptable firewall authentication methods");
  }
  {
    TunnelClient c;
    Configure(c, tw::kFirewallSocks5, proxy.port(), "carol", "m1cr0", testsupport::ClosedPort());
    ExpectRefused(c, "connection refused");
  }
}

}  // namespace
