#include "net/firewall_tunnel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net/tls_client.h"
#include "platform/registry.h"
#include "tests/peers/proxy_peers.h"
#include "platform/library.h"
#include "tests/peers/scripted_peer.h"
#include "tests/net/event_recorder.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;
using Clock = std::chrono::steady_clock;

// ---- A client that records its events and log lines ----

using nettest::Event;
using nettest::Recorder;

class Client : public tw::TlsClient {
 public:
  Client() { set_event_sink(&recorder); }
  ~Client() override { set_event_sink(nullptr); }
  int FireLog(int level, const char* text, const char* type) override {
    logs.push_back(std::string(type) + ": " + text);
    return 0;
  }
  Recorder recorder;
  std::vector<std::string> logs;
};

// NTLM-like tokens without a real provider: the first leg "T1", then "T2:" and the challenge.
class TokenClient : public Client {
 public:
  int SetAuthCredentials(const char* package, const char* user, const char* password) override {
    credentials = std::string(package) + "/" + user + "/" + password;
    return 0;
  }
  int BuildAuthToken(tw::ByteString* token, const char* package, const char* target,
                     const char* challenge) override {
    targets.push_back(target);
    const std::string value = *challenge == '\0' ? "T1" : std::string("T2:") + challenge;
    return token->SetText(value.c_str());
  }
  std::string credentials;
  std::vector<std::string> targets;
};

bool PumpUntil(Client& c, const std::function<bool()>& done, double seconds = 10) {
  const auto start = Clock::now();
  while (!done()) {
    if (std::chrono::duration<double>(Clock::now() - start).count() > seconds) return false;
    c.WaitOnce();
  }
  return true;
}

int Set(Client& c, const std::string& setting) { return c.ConfigText(setting.c_str(), nullptr); }

std::string Get(Client& c, const char* name) {
  const char* answer = "";
  c.ConfigText(name, &answer);
  return answer;
}

// Points the client's firewall at 127.0.0.1:port and starts the connection to host:remote_port.
void StartThrough(Client& c, int type, int port, const std::string& host, int remote_port) {
  ASSERT_EQ(Set(c, "FirewallType=" + std::to_string(type)), 0);
  ASSERT_EQ(Set(c, "FirewallHost=127.0.0.1"), 0);
  ASSERT_EQ(Set(c, "FirewallPort=" + std::to_string(port)), 0);
  ASSERT_EQ(c.SetRemoteHost(host.c_str()), 0);
  ASSERT_EQ(c.SetRemotePort(remote_port), 0);
  ASSERT_EQ(c.Connect(true), 0) << c.error_text().c_str();
}

bool WaitConnected(Client& c) {
  return PumpUntil(c, [&] { return c.recorder.Count(tw::kEventConnected) > 0; });
}

void ExpectRefused(Client& c, const std::string& description) {
  ASSERT_TRUE(WaitConnected(c));
  const Event* connected = c.recorder.First(tw::kEventConnected);
  EXPECT_EQ(connected->code, tw::kErrFirewall);
  EXPECT_EQ(connected->description, description);
  const Event* error = c.recorder.First(tw::kEventError);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, tw::kErrFirewall);
  EXPECT_EQ(error->description, description);
  EXPECT_FALSE(c.IsConnected());
  // The socket closes with the refusal.
  EXPECT_TRUE(PumpUntil(c, [&] { return !c.HasSocket(); }));
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A SOCKS 5 server that takes no authentication and answers the connect request with `reply`.
ScriptedPeer::Script Socks5Script(std::string reply, size_t request_size = 10) {
  return {ScriptedPeer::WaitBytes(3), ScriptedPeer::Send(Bytes({5, 0})),
          ScriptedPeer::WaitBytes(3 + request_size), ScriptedPeer::Send(std::move(reply))};
}

// ---- HTTP CONNECT (type 1) ----

TEST(FirewallTunnel, ConnectRequestCarriesBasicCredentialsAndDataFollowsTheReply) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 200 Connection established\r\n"
                                         "Proxy-Agent: test\r\n\r\nfirst bytes")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  ASSERT_EQ(Set(c, "FirewallUser=user"), 0);
  ASSERT_EQ(Set(c, "FirewallPassword=pass"), 0);
  c.tunnel().SetUserAgent("Agent/1.0");
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 11; }));
  // The bytes behind the reply are data: none of the reply leaks, none of the data is lost.
  EXPECT_EQ(c.recorder.Data(), "first bytes");
  EXPECT_EQ(proxy.request(0),
            "CONNECT storage.example:443 HTTP/1.0\r\n"
            "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
            "User-Agent: Agent/1.0\r\n\r\n");
  EXPECT_EQ(c.recorder.Statuses()[0], "Firewall connection complete.");
  EXPECT_TRUE(c.IsConnected());
}

TEST(FirewallTunnel, DataBehindTheReplyWaitsWhileDataIsNotAccepted) {
  // More data behind the reply than the line queue holds, in one piece with the reply.
  std::string lines;
  for (int i = 0; lines.size() < 6000; ++i) lines += "line " + std::to_string(i) + "\r\n";
  for (bool split_lines : {false, true}) {
    SCOPED_TRACE(split_lines);
    ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                        ScriptedPeer::Send("HTTP/1.0 200 OK\r\n\r\n" + lines)});
    ASSERT_TRUE(proxy.Start());
    Client c;
    if (split_lines) {
      ASSERT_EQ(c.SetEol("\r\n", 2), 0);
    }
    ASSERT_EQ(c.SetAcceptData(false), 0);
    StartThrough(c, 1, proxy.port(), "storage.example", 443);
    ASSERT_TRUE(WaitConnected(c));
    EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
    for (int i = 0; i < 20; ++i) c.WaitOnce();
    EXPECT_EQ(c.recorder.Count(tw::kEventDataIn), 0);
    ASSERT_EQ(c.SetAcceptData(true), 0);
    std::string joined;
    ASSERT_TRUE(PumpUntil(c, [&] {
      joined.clear();
      for (const Event& e : c.recorder.events) {
        if (e.slot == tw::kEventDataIn) joined += split_lines ? e.data + "\r\n" : e.data;
      }
      return joined.size() >= lines.size();
    }));
    EXPECT_EQ(joined, lines);
  }
}

TEST(FirewallTunnel, ConnectBracketsIpv6HostsAndSendsNoCredentialsWithoutThem) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.1 200 OK\r\n\r\n")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "2001:db8::1", 8443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  EXPECT_EQ(proxy.request(0), "CONNECT [2001:db8::1]:8443 HTTP/1.0\r\n\r\n");
}

TEST(FirewallTunnel, BareLineFeedReplyIsUnderstood) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 200 OK\nVia: x\n\nafter")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 5; }));
  EXPECT_EQ(c.recorder.Data(), "after");
}

TEST(FirewallTunnel, ReplyArrivingByteByByteIsAssembled) {
  const std::string reply = "HTTP/1.0 200 OK\r\nX: y\r\n\r\nZ";
  ScriptedPeer::Script script{ScriptedPeer::WaitHead()};
  for (char ch : reply) {
    script.push_back(ScriptedPeer::Send(std::string(1, ch)));
    script.push_back(ScriptedPeer::Sleep(2));
  }
  ScriptedPeer proxy(script);
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return !c.recorder.Data().empty(); }));
  EXPECT_EQ(c.recorder.Data(), "Z");
}

TEST(FirewallTunnel, RefusingStatusEndsTheConnectionAndItsBodyIsNotData) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 403 Forbidden\r\nContent-Length: 9\r\n\r\n"
                                         "forbidden"),
                      ScriptedPeer::Close()});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ExpectRefused(c, "Firewall error. HTTP/1.0 403 Forbidden.");
  EXPECT_EQ(c.error_code(), tw::kErrFirewall);
  EXPECT_EQ(c.recorder.Data(), "");
}

TEST(FirewallTunnel, StatusWithoutLineEndIsJudgedOnceTheCodeIsThere) {
  // The proxy never ends its line: the verdict cannot wait for it.
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.1 407 Proxy Authentication Required.")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ExpectRefused(c, "Firewall error. HTTP/1.1 407 Proxy Authentication Required.");
}

TEST(FirewallTunnel, OversizedReplyIsRefused) {
  std::string head = "HTTP/1.0 200 OK\r\n";
  while (head.size() < 40000) head += "X-Padding: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
  ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send(head)});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ExpectRefused(c, "Firewall reply is too long.");
  EXPECT_EQ(c.recorder.Data(), "");
}

TEST(FirewallTunnel, LineBreaksInHostOrUserAgentAreRefusedBeforeSending) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.0 200 OK\r\n\r\n")});
    ASSERT_TRUE(proxy.Start());
    Client c;
    std::string host = "storage.example";
    if (variant == 0) host = "evil.example:1 HTTP/1.0\r\nX-Injected: 1\r\n";
    if (variant == 1) host = "evil.example\nX: 1";
    if (variant == 2) c.tunnel().SetUserAgent("agent\r\nX-Injected: 1");
    StartThrough(c, 1, proxy.port(), host, 443);
    ExpectRefused(c, variant == 2
                         ? "The User-Agent text cannot be sent to the firewall (CR, LF or NUL)."
                         : "The RemoteHost text cannot be sent to the firewall (CR, LF or NUL).");
    proxy.Stop();
    EXPECT_EQ(proxy.request(0), "");
  }
}

TEST(FirewallTunnel, UnreachableFirewallReportsTheConnectError) {
  Client c;
  StartThrough(c, 1, testsupport::ClosedPort(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 10061);
  const auto statuses = c.recorder.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses[0], "Firewall connection failed.");
  EXPECT_FALSE(c.HasSocket());
}

TEST(FirewallTunnel, ProxyClosingDuringNegotiationIsADisconnect) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.0 200"),
                      ScriptedPeer::Close()});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Count(tw::kEventDisconnected) > 0; }));
  EXPECT_EQ(c.recorder.Count(tw::kEventConnected), 0);
  EXPECT_EQ(c.recorder.Statuses().end()[-2], "Firewall host disconnected.");
  EXPECT_EQ(c.recorder.Data(), "");
}

TEST(FirewallTunnel, CredentialsNeverReachRecordsOrLogs) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.0 200 OK\r\n\r\n")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  ASSERT_EQ(Set(c, "RecordToString=on"), 0);
  c.set_log_level(3);
  ASSERT_EQ(Set(c, "FirewallUser=alice"), 0);
  ASSERT_EQ(Set(c, "FirewallPassword=s3cret"), 0);
  StartThrough(c, 1, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  // The proxy got the real value; the records show it masked.
  EXPECT_NE(proxy.request(0).find("Basic YWxpY2U6czNjcmV0"), std::string::npos);
  const std::string recorded = c.recorded_text().c_str();
  EXPECT_NE(recorded.find("CONNECT storage.example:443"), std::string::npos) << recorded;
  EXPECT_EQ(recorded.find("YWxpY2U6czNjcmV0"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("Basic ****************"), std::string::npos) << recorded;
  for (const std::string& line : c.logs) EXPECT_EQ(line.find("s3cret"), std::string::npos);
}

// ---- SOCKS 4 and 4A ----

TEST(FirewallTunnel, Socks4RequestIsNineBytesAndDataAfterTheReplyIsKept) {
  ScriptedPeer proxy({ScriptedPeer::WaitBytes(9),
                      ScriptedPeer::Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "hello")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 2, proxy.port(), "127.0.0.1", 0x1F90);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 5; }));
  EXPECT_EQ(c.recorder.Data(), "hello");
  EXPECT_EQ(proxy.request(0), Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}));
}

TEST(FirewallTunnel, Socks4ARequestNamesTheHostAndUser) {
  ScriptedPeer proxy({ScriptedPeer::WaitBytes(10 + 3 + 15),
                      ScriptedPeer::Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}))});
  ASSERT_TRUE(proxy.Start());
  Client c;
  ASSERT_EQ(Set(c, "FirewallUser=bob"), 0);
  StartThrough(c, 10, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  EXPECT_EQ(proxy.request(0),
            Bytes({4, 1, 1, 187, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "storage.example" +
                Bytes({0}));
}

TEST(FirewallTunnel, Socks4RefusalsHaveTheirTexts) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {91, "firewall request rejected or failed"},
      {92, "firewall request rejected because identd is not available"},
      {93, "firewall request rejected because identd reports different user"},
      {17, "unknown firewall error: 17"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.code);
    ScriptedPeer proxy({ScriptedPeer::WaitBytes(9),
                        ScriptedPeer::Send(Bytes({0, k.code, 0, 0, 0, 0, 0, 0}))});
    ASSERT_TRUE(proxy.Start());
    Client c;
    StartThrough(c, 2, proxy.port(), "127.0.0.1", 80);
    ExpectRefused(c, k.text);
  }
}

TEST(FirewallTunnel, Socks4UnresolvableHostFailsWithoutSending) {
  ScriptedPeer proxy({ScriptedPeer::WaitBytes(9)});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 2, proxy.port(), "no-such-host.invalid", 80);
  ExpectRefused(c, "Cannot resolve the RemoteHost address for the firewall request.");
  proxy.Stop();
  EXPECT_EQ(proxy.request(0), "");
}

// ---- SOCKS 5 ----

TEST(FirewallTunnel, Socks5RepliesAreReadToTheLengthOfTheirAddress) {
  // 2001:db8::1 port 443.
  const std::string ipv6_reply = Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8}) +
                                 std::string(10, '\0') + Bytes({0, 1, 0x01, 0xBB});
  const std::string name_reply = Bytes({5, 0, 0, 3, 11}) + "proxy.local" + Bytes({0x04, 0x38});
  const std::string ipv4_reply = Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0x38});
  for (const std::string& reply : {ipv6_reply, name_reply, ipv4_reply}) {
    SCOPED_TRACE(reply.size());
    // The reply and the first data bytes arrive in one piece.
    ScriptedPeer proxy(Socks5Script(reply + "DATA-0123456789"));
    ASSERT_TRUE(proxy.Start());
    Client c;
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
    ASSERT_TRUE(WaitConnected(c));
    EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
    ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 15; }));
    EXPECT_EQ(c.recorder.Data(), "DATA-0123456789");
    EXPECT_EQ(proxy.request(0), Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, 1, 187}));
  }
}

TEST(FirewallTunnel, Socks5ReplySplitAcrossPiecesIsAssembled) {
  const std::string reply = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80});
  ScriptedPeer::Script script{ScriptedPeer::WaitBytes(3), ScriptedPeer::Send(Bytes({5})),
                              ScriptedPeer::Sleep(20), ScriptedPeer::Send(Bytes({0})),
                              ScriptedPeer::WaitBytes(13)};
  for (char ch : reply) {
    script.push_back(ScriptedPeer::Send(std::string(1, ch)));
    script.push_back(ScriptedPeer::Sleep(5));
  }
  script.push_back(ScriptedPeer::Send("xy"));
  ScriptedPeer proxy(script);
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 2; }));
  EXPECT_EQ(c.recorder.Data(), "xy");
}

TEST(FirewallTunnel, Socks5StarHostIsResolvedByTheFirewall) {
  const std::string name = "storage.example";
  ScriptedPeer proxy(Socks5Script(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 4 + 1 + name.size() + 2));
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 3, proxy.port(), "*" + name, 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  EXPECT_EQ(proxy.request(0),
            Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, static_cast<int>(name.size())}) + name +
                Bytes({1, 187}));
}

TEST(FirewallTunnel, Socks5Ipv6HostGoesAsAnIpv6Address) {
  ScriptedPeer proxy(Socks5Script(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 22));
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 3, proxy.port(), "::1", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  EXPECT_EQ(proxy.request(0).substr(3), Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 1, 1, 187}));
}

TEST(FirewallTunnel, Socks5OverlongNameIsRefused) {
  ScriptedPeer proxy({ScriptedPeer::WaitBytes(3), ScriptedPeer::Send(Bytes({5, 0}))});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 3, proxy.port(), "*" + std::string(256, 'a'), 443);
  ExpectRefused(c, "The RemoteHost name is too long for a SOCKS 5 request.");
  proxy.Stop();
  EXPECT_EQ(proxy.request(0), Bytes({5, 1, 0}));
}

TEST(FirewallTunnel, Socks5UserPasswordExchange) {
  // Only a user name: only "no authentication" is offered.
  {
    ScriptedPeer proxy(Socks5Script(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(proxy.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=bob"), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
    ASSERT_TRUE(WaitConnected(c));
    EXPECT_EQ(proxy.request(0).substr(0, 3), Bytes({5, 1, 0}));
  }
  // A server that asks for a password nobody configured gets two empty texts.
  {
    ScriptedPeer proxy({ScriptedPeer::WaitBytes(3), ScriptedPeer::Send(Bytes({5, 2})),
                        ScriptedPeer::WaitBytes(6), ScriptedPeer::Send(Bytes({1, 1}))});
    ASSERT_TRUE(proxy.Start());
    Client c;
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
    ExpectRefused(c, "firewall authentication failed: 1");
    EXPECT_EQ(proxy.request(0), Bytes({5, 1, 0, 1, 0, 0}));
  }
  // Both set: both methods offered, the exchange, then the connect request.
  {
    ScriptedPeer proxy({ScriptedPeer::WaitBytes(4), ScriptedPeer::Send(Bytes({5, 2})),
                        ScriptedPeer::WaitBytes(4 + 9), ScriptedPeer::Send(Bytes({1, 0})),
                        ScriptedPeer::WaitBytes(13 + 10),
                        ScriptedPeer::Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}) + "ok")});
    ASSERT_TRUE(proxy.Start());
    Client c;
    ASSERT_EQ(Set(c, "RecordToString=on"), 0);
    ASSERT_EQ(Set(c, "FirewallUser=bob"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=pw!"), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
    ASSERT_TRUE(WaitConnected(c));
    EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
    ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 2; }));
    EXPECT_EQ(c.recorder.Data(), "ok");
    EXPECT_EQ(proxy.request(0), Bytes({5, 2, 0, 2, 1, 3}) + "bob" + Bytes({3}) + "pw!" +
                                    Bytes({5, 1, 0, 1, 127, 0, 0, 1, 1, 187}));
    const std::string recorded = c.recorded_text().c_str();
    EXPECT_EQ(recorded.find("pw!"), std::string::npos) << recorded;
  }
}

TEST(FirewallTunnel, Socks5RefusalsHaveTheirTexts) {
  const struct {
    std::string method_reply;
    int rep;
    const char* text;
  } cases[] = {
      {Bytes({5, 255}), 0, "no acceptable firewall authentication methods"},
      {Bytes({5, 7}), 0, "unknown firewall authentication method"},
      {Bytes({5, 0}), 1, "general SOCKS server failure"},
      {Bytes({5, 0}), 2, "connection not allowed by ruleset"},
      {Bytes({5, 0}), 3, "network unreachable"},
      {Bytes({5, 0}), 4, "host unreachable"},
      {Bytes({5, 0}), 5, "connection refused"},
      {Bytes({5, 0}), 6, "TTL expired"},
      {Bytes({5, 0}), 7, "command not supported"},
      {Bytes({5, 0}), 8, "address type not supported"},
      {Bytes({5, 0}), 42, "unknown firewall error: 42"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    ScriptedPeer proxy({ScriptedPeer::WaitBytes(3), ScriptedPeer::Send(k.method_reply),
                        ScriptedPeer::WaitBytes(13),
                        ScriptedPeer::Send(Bytes({5, k.rep, 0, 1, 0, 0, 0, 0, 0, 0}))});
    ASSERT_TRUE(proxy.Start());
    Client c;
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
    ExpectRefused(c, k.text);
  }
  // A granting reply with an address type that cannot be measured.
  ScriptedPeer proxy(Socks5Script(Bytes({5, 0, 0, 9, 0, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 3, proxy.port(), "127.0.0.1", 443);
  ExpectRefused(c, "unknown firewall address type: 9");
}

// ---- CONNECT with NTLM, Negotiate and Digest (types 4 to 6) ----

std::string TokenRequest(const std::string& token) {
  return "CONNECT storage.example:443 HTTP/1.0\r\nProxy-Authorization: NTLM " + token +
         "\r\nProxy-Connection: Keep-Alive\r\n\r\n";
}

TEST(FirewallTunnel, NtlmWithoutTheSecurityLibraryFailsClearlyBeforeSending) {
  win::SetLibraryEnabled("secur32.dll", false);
  for (int type : {4, 5}) {
    ScriptedPeer proxy({ScriptedPeer::WaitHead()});
    ASSERT_TRUE(proxy.Start());
    Client c;
    c.set_log_level(2);
    StartThrough(c, type, proxy.port(), "storage.example", 443);
    ExpectRefused(c, "The security library could not be loaded");
    proxy.Stop();
    EXPECT_EQ(proxy.request(0), "");
  }
  win::SetLibraryEnabled("secur32.dll", true);
}

TEST(FirewallTunnel, NtlmChallengeRoundTripsInEveryReplyShape) {
  const std::string grant = "HTTP/1.0 200 Connection established\r\nVia: p\r\n\r\n";
  const std::vector<std::string> challenges = {
      // No body at all: the next request must go at once.
      "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM CHALLENGE\r\n"
      "Content-Length: 0\r\n\r\n",
      "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM CHALLENGE\r\n\r\n",
      // A body counted by Content-Length, other schemes offered too.
      "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic realm=\"x:y\"\r\n"
      "proxy-authenticate:   NTLM CHALLENGE\r\nContent-Length: 12\r\n\r\n<html></html",
      // Chunked, with an extension and a trailer.
      "HTTP/1.1 401 Auth\r\nTransfer-Encoding: Chunked\r\nProxy-Authenticate: NTLM CHALLENGE\r\n"
      "\r\n5;ext=1\r\nhello\r\n3\r\n\r\n\n\r\n0\r\nTrailer: t\r\n\r\n",
      // Bare line feeds throughout.
      "HTTP/1.0 407 Auth\nProxy-Authenticate: NTLM CHALLENGE\nContent-Length: 3\n\nabc",
  };
  for (size_t i = 0; i < challenges.size(); ++i) {
    SCOPED_TRACE(i);
    ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send(challenges[i]),
                        ScriptedPeer::WaitFor("\r\n\r\n"), ScriptedPeer::Send(grant + "payload")});
    ASSERT_TRUE(proxy.Start());
    TokenClient c;
    ASSERT_EQ(Set(c, "FirewallUser=DOM\\u"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=pw"), 0);
    StartThrough(c, 4, proxy.port(), "storage.example", 443);
    ASSERT_TRUE(WaitConnected(c));
    EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0)
        << c.recorder.First(tw::kEventConnected)->description;
    ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 7; }));
    EXPECT_EQ(c.recorder.Data(), "payload");
    EXPECT_EQ(c.credentials, "NTLM/DOM\\u/pw");
    EXPECT_EQ(proxy.request(0), TokenRequest("T1") + TokenRequest("T2:CHALLENGE"));
    // The firewall itself is the party authenticated to.
    EXPECT_EQ(c.targets, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
  }
}

// Negotiate names the firewall's own HTTP service, not the destination behind it.
TEST(FirewallTunnel, NegotiateTargetsTheFirewallsService) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 407 Auth\r\nProxy-Authenticate: Negotiate C\r\n"
                                         "Content-Length: 0\r\n\r\n"),
                      ScriptedPeer::WaitFor("\r\n\r\n"),
                      ScriptedPeer::Send("HTTP/1.0 200 OK\r\n\r\n")});
  ASSERT_TRUE(proxy.Start());
  TokenClient c;
  StartThrough(c, 5, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.targets, (std::vector<std::string>{"HTTP/127.0.0.1", "HTTP/127.0.0.1"}));
}

TEST(FirewallTunnel, NtlmUnexpectedStatusesHaveTheirTexts) {
  {
    ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                        ScriptedPeer::Send("HTTP/1.0 502 Bad Gateway\r\n\r\n")});
    ASSERT_TRUE(proxy.Start());
    TokenClient c;
    StartThrough(c, 4, proxy.port(), "storage.example", 443);
    ExpectRefused(c,
                  "Firewall error while attempting NTLM authentication. Expected 401 or 407 but "
                  "got: 502 Bad Gateway");
  }
  {
    ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                        ScriptedPeer::Send("HTTP/1.0 407 A\r\nProxy-Authenticate: NTLM X\r\n"
                                           "Proxy-Authenticate: Negotiate C\r\n\r\n"),
                        ScriptedPeer::WaitFor("\r\n\r\n"),
                        ScriptedPeer::Send("HTTP/1.0 407 Denied again\r\n\r\n")});
    ASSERT_TRUE(proxy.Start());
    TokenClient c;
    StartThrough(c, 5, proxy.port(), "storage.example", 443);
    ExpectRefused(c,
                  "Firewall error after NTLM authentication. Expected a status code beginning "
                  "with 2 but got: 407 Denied again");
    EXPECT_NE(proxy.request(0).find("Proxy-Authorization: Negotiate T2:C\r\n"), std::string::npos);
  }
}

TEST(FirewallTunnel, NtlmBoundsItsReplyLines) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 407 A\r\nX: " + std::string(70000, 'x'))});
  ASSERT_TRUE(proxy.Start());
  TokenClient c;
  StartThrough(c, 4, proxy.port(), "storage.example", 443);
  ExpectRefused(c, "Firewall reply is too long.");
}

struct ChunkedReply {
  const char* name;
  std::string body;  // after the head of a chunked 407
  const char* refusal;
};

class FirewallChunkedReply : public ::testing::TestWithParam<ChunkedReply> {};

TEST_P(FirewallChunkedReply, IsRefusedWithoutWaitingForTheBody) {
  // The proxy keeps the connection open: only the refusal can end the wait.
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.1 407 A\r\nTransfer-Encoding: chunked\r\n"
                                         "Proxy-Authenticate: NTLM X\r\n\r\n" + GetParam().body)});
  ASSERT_TRUE(proxy.Start());
  TokenClient c;
  StartThrough(c, 4, proxy.port(), "storage.example", 443);
  ExpectRefused(c, GetParam().refusal);
  EXPECT_EQ(proxy.request(0), TokenRequest("T1"));
}

std::string ManyChunks(int count, int size) {
  std::string out;
  char line[16];
  std::snprintf(line, sizeof(line), "%x\r\n", size);
  for (int i = 0; i < count; ++i) out += line + std::string(static_cast<size_t>(size), 'b') + "\r\n";
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FirewallChunkedReply,
    ::testing::Values(
        ChunkedReply{"SizeBeyondSixtyFourBits", "1ffffffffffffffffffff\r\n", "Firewall reply is too long."},
        ChunkedReply{"SizeJustOverTheCap", "4001\r\n", "Firewall reply is too long."},
        ChunkedReply{"ManySmallChunks", ManyChunks(40, 1000), "Firewall reply is too long."},
        ChunkedReply{"NoDigits", "zz\r\n", "Firewall reply has an invalid chunk size."}),
    [](const ::testing::TestParamInfo<ChunkedReply>& info) { return info.param.name; });

TEST(FirewallTunnel, DigestRequestAndItsAuthorization) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.1 407 Auth\r\nProxy-Authenticate: Digest "
                                         "realm=\"r\", nonce=\"n\"\r\nContent-Length: 0\r\n\r\n"),
                      ScriptedPeer::WaitFor("\r\n\r\n"),
                      ScriptedPeer::Send("HTTP/1.0 200 OK\r\n\r\n")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  c.tunnel().SetUserAgent("UA");
  ASSERT_EQ(Set(c, "FirewallUser=u"), 0);
  ASSERT_EQ(Set(c, "FirewallPassword=p"), 0);
  StartThrough(c, 6, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  const std::string first =
      "CONNECT storage.example:443 HTTP/1.0\r\nHost: storage.example:443\r\n"
      "Content-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n";
  EXPECT_EQ(proxy.request(0),
            first + "User-Agent: UA\r\n\r\n" + first +
                "Proxy-Authorization: Digest username=\"u\", realm=\"r\", nonce=\"n\", "
                "uri=\"storage.example:443\", response=\"8ecb90278ea448a7ed21ef007c88447c\"\r\n"
                "User-Agent: UA\r\n\r\n");
}

TEST(FirewallTunnel, DigestGrantWithoutChallengeKeepsHeadersOutOfTheData) {
  ScriptedPeer proxy({ScriptedPeer::WaitHead(),
                      ScriptedPeer::Send("HTTP/1.0 200 OK\r\nVia: proxy\r\n\r\ndata")});
  ASSERT_TRUE(proxy.Start());
  Client c;
  StartThrough(c, 6, proxy.port(), "storage.example", 443);
  ASSERT_TRUE(WaitConnected(c));
  EXPECT_EQ(c.recorder.First(tw::kEventConnected)->code, 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data().size() >= 4; }));
  EXPECT_EQ(c.recorder.Data(), "data");
}

// ---- Through real proxies, to a scripted target ----

// The target answers "PING\r\n" with "PONG\r\n" after a greeting.
ScriptedPeer::Script TargetScript() {
  return {ScriptedPeer::Send("HELLO\r\n"), ScriptedPeer::WaitFor("PING\r\n"),
          ScriptedPeer::Send("PONG\r\n"), ScriptedPeer::Close()};
}

void ExpectPingPong(Client& c, ScriptedPeer& target) {
  ASSERT_TRUE(WaitConnected(c));
  const Event* connected = c.recorder.First(tw::kEventConnected);
  ASSERT_EQ(connected->code, 0) << connected->description;
  ASSERT_TRUE(
      PumpUntil(c, [&] { return c.recorder.Data().find("HELLO\r\n") != std::string::npos; }));
  ASSERT_EQ(c.SendAll("PING\r\n", 6), 0);
  ASSERT_TRUE(PumpUntil(c, [&] { return c.recorder.Data() == "HELLO\r\nPONG\r\n"; }))
      << c.recorder.Data();
  EXPECT_EQ(target.request(0), "PING\r\n");
  c.Connect(false);
}

TEST(FirewallTunnelPeers, TinyproxyConnectWithAndWithoutCredentials) {
  if (!testsupport::TinyproxyPeer::Installed()) TW_REQUIRE_OR_SKIP("tinyproxy not installed");
  testsupport::TinyproxyPeer open_proxy;
  if (!open_proxy.Start()) TW_REQUIRE_OR_SKIP(open_proxy.error());
  {
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    StartThrough(c, 1, open_proxy.port(), "127.0.0.1", target.port());
    ExpectPingPong(c, target);
  }
  testsupport::TinyproxyPeer guarded;
  guarded.SetCredentials("alice", "wonder");
  if (!guarded.Start()) TW_REQUIRE_OR_SKIP(guarded.error());
  {
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=alice"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=wonder"), 0);
    StartThrough(c, 1, guarded.port(), "127.0.0.1", target.port());
    ExpectPingPong(c, target);
  }
  for (const char* password : {"wrong", ""}) {
    SCOPED_TRACE(password);
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=alice"), 0);
    ASSERT_EQ(Set(c, std::string("FirewallPassword=") + password), 0);
    StartThrough(c, 1, guarded.port(), "127.0.0.1", 9);
    ASSERT_TRUE(WaitConnected(c));
    const Event* connected = c.recorder.First(tw::kEventConnected);
    EXPECT_EQ(connected->code, tw::kErrFirewall);
    EXPECT_EQ(connected->description.rfind("Firewall error. HTTP/1.", 0), 0u)
        << connected->description;
    // Some proxies answer 401 rather than 407.
    EXPECT_NE(connected->description.find(" 40"), std::string::npos) << connected->description;
    EXPECT_EQ(connected->description.back(), '.');
  }
}

TEST(FirewallTunnelPeers, SquidBasicAuthentication) {
  if (!testsupport::SquidPeer::Installed()) TW_REQUIRE_OR_SKIP("squid not installed");
  testsupport::SquidPeer proxy;
  proxy.SetCredentials("dave", "sq-pass");
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=dave"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=sq-pass"), 0);
    StartThrough(c, 1, proxy.port(), "127.0.0.1", target.port());
    ExpectPingPong(c, target);
  }
  {
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=dave"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=nope"), 0);
    StartThrough(c, 1, proxy.port(), "127.0.0.1", 9);
    ExpectRefused(c, "Firewall error. HTTP/1.1 407 Proxy Authentication Required.");
    EXPECT_EQ(c.recorder.Data(), "");
  }
}

TEST(FirewallTunnelPeers, TinyproxyRefusedTarget) {
  if (!testsupport::TinyproxyPeer::Installed()) TW_REQUIRE_OR_SKIP("tinyproxy not installed");
  testsupport::TinyproxyPeer proxy;
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  Client c;
  StartThrough(c, 1, proxy.port(), "127.0.0.1", testsupport::ClosedPort());
  ASSERT_TRUE(WaitConnected(c));
  const Event* connected = c.recorder.First(tw::kEventConnected);
  EXPECT_EQ(connected->code, tw::kErrFirewall);
  EXPECT_EQ(connected->description.rfind("Firewall error. HTTP/1.", 0), 0u)
      << connected->description;
  EXPECT_EQ(c.recorder.Data(), "");
  EXPECT_TRUE(PumpUntil(c, [&] { return !c.HasSocket(); }));
}

TEST(FirewallTunnelPeers, DanteSocks4And5) {
  if (!testsupport::DantePeer::Installed()) TW_REQUIRE_OR_SKIP("dante not installed");
  testsupport::DantePeer proxy;
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  const struct {
    int type;
    std::string host;
  } cases[] = {{2, "127.0.0.1"}, {3, "127.0.0.1"}, {3, "*localhost"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.type);
    SCOPED_TRACE(k.host);
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    StartThrough(c, k.type, proxy.port(), k.host, target.port());
    ExpectPingPong(c, target);
  }
  // A target nobody listens on.
  for (int type : {2, 3}) {
    SCOPED_TRACE(type);
    Client c;
    StartThrough(c, type, proxy.port(), "127.0.0.1", testsupport::ClosedPort());
    ASSERT_TRUE(WaitConnected(c));
    const Event* connected = c.recorder.First(tw::kEventConnected);
    EXPECT_EQ(connected->code, tw::kErrFirewall);
    EXPECT_EQ(connected->description, type == 2 ? "firewall request rejected or failed"
                                                : "connection refused")
        << proxy.log();
  }
}

TEST(FirewallTunnelPeers, DanteSocks5UserPassword) {
  if (!testsupport::DantePeer::Installed()) TW_REQUIRE_OR_SKIP("dante not installed");
  if (!testsupport::DantePeer::CanAuthenticate("twdante")) {
    TW_REQUIRE_OR_SKIP("dante's test account needs root");
  }
  const std::string password = testsupport::RandomPassword();
  testsupport::DantePeer proxy;
  proxy.SetCredentials("twdante", password);
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=twdante"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=" + password), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", target.port());
    ExpectPingPong(c, target);
  }
  {
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=twdante"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=wrong"), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 9);
    ASSERT_TRUE(WaitConnected(c));
    const Event* connected = c.recorder.First(tw::kEventConnected);
    EXPECT_EQ(connected->code, tw::kErrFirewall);
    EXPECT_EQ(connected->description.rfind("firewall authentication failed: ", 0), 0u)
        << connected->description;
  }
}

TEST(FirewallTunnelPeers, MicrosocksUserPassword) {
  if (!testsupport::MicrosocksPeer::Installed()) TW_REQUIRE_OR_SKIP("microsocks not installed");
  testsupport::MicrosocksPeer proxy;
  proxy.SetCredentials("carol", "m1cr0");
  if (!proxy.Start()) TW_REQUIRE_OR_SKIP(proxy.error());
  {
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=carol"), 0);
    ASSERT_EQ(Set(c, "FirewallPassword=m1cr0"), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", target.port());
    ExpectPingPong(c, target);
  }
  const struct {
    const char* password;
    const char* prefix;
  } failures[] = {
      {"wrong", "firewall authentication failed: "},
      // Without a password only "no authentication" is offered, which this server refuses.
      {"", "no acceptable firewall authentication methods"},
  };
  for (const auto& k : failures) {
    SCOPED_TRACE(k.password);
    Client c;
    ASSERT_EQ(Set(c, "FirewallUser=carol"), 0);
    ASSERT_EQ(Set(c, std::string("FirewallPassword=") + k.password), 0);
    StartThrough(c, 3, proxy.port(), "127.0.0.1", 9);
    ASSERT_TRUE(WaitConnected(c));
    const Event* connected = c.recorder.First(tw::kEventConnected);
    EXPECT_EQ(connected->code, tw::kErrFirewall);
    EXPECT_EQ(connected->description.rfind(k.prefix, 0), 0u) << connected->description;
  }
}

// ---- Auto-detection from the per-user Internet Settings ----

constexpr char kSettingsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

class InternetSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    const char* old = std::getenv("TW_REGISTRY_FILE");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("TW_REGISTRY_FILE", (dir_ + "/registry.txt").c_str(), 1);
  }
  void TearDown() override {
    if (had_old_) {
      setenv("TW_REGISTRY_FILE", old_.c_str(), 1);
    } else {
      unsetenv("TW_REGISTRY_FILE");
    }
    testsupport::RunCommand("rm -rf '" + dir_ + "'");
  }
  void Write(uint32_t enable, const std::string& server, const std::string& exceptions = "") {
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegCreateKeyExA(win::HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0,
                                   win::KEY_WRITE, nullptr, &key, nullptr),
              0);
    ASSERT_EQ(win::RegSetValueExA(key, "ProxyEnable", 0, win::REG_DWORD,
                                  reinterpret_cast<const win::BYTE*>(&enable), 4),
              0);
    ASSERT_EQ(win::RegSetValueExA(key, "ProxyServer", 0, win::REG_SZ,
                                  reinterpret_cast<const win::BYTE*>(server.c_str()),
                                  static_cast<win::DWORD>(server.size() + 1)),
              0);
    if (!exceptions.empty()) {
      ASSERT_EQ(win::RegSetValueExA(key, "ProxyOverride", 0, win::REG_SZ,
                                    reinterpret_cast<const win::BYTE*>(exceptions.c_str()),
                                    static_cast<win::DWORD>(exceptions.size() + 1)),
                0);
    }
    win::RegCloseKey(key);
  }

  std::string dir_;
  std::string old_;
  bool had_old_ = false;
};

TEST_F(InternetSettings, FirewallIsTakenFromTheProxyServerValue) {
  const struct {
    uint32_t enable;
    const char* server;
    const char* type;
    const char* host;
    const char* port;
  } cases[] = {
      {1, "http=10.0.0.1:3128;https=127.0.0.1:8443;socks=127.0.0.2:1081", "1", "127.0.0.1",
       "8443"},
      {1, "http=10.0.0.1:3128; SOCKS=127.0.0.2:1081", "3", "127.0.0.2", "1081"},
      {1, "127.0.0.3:8080", "1", "127.0.0.3", "8080"},
      {1, "https=127.0.0.4:0", "1", "127.0.0.4", "80"},
      // Disabled, an entry without a port, no matching entry: nothing is taken.
      {0, "https=127.0.0.1:8443", "0", "", "0"},
      {1, "https=127.0.0.1", "0", "", "0"},
      {1, "ftp=127.0.0.1:21", "0", "", "0"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.server);
    Write(k.enable, k.server);
    Client c;
    ASSERT_EQ(Set(c, "FirewallAutoDetect=true"), 0);
    EXPECT_EQ(Get(c, "FirewallAutoDetect"), "True");
    EXPECT_EQ(Get(c, "FirewallType"), k.type);
    EXPECT_EQ(Get(c, "FirewallHost"), k.host);
    EXPECT_EQ(Get(c, "FirewallPort"), k.port);
  }
  // Switching it off clears what it took.
  Write(1, "https=127.0.0.1:8443");
  Client c;
  ASSERT_EQ(Set(c, "FirewallAutoDetect=true"), 0);
  ASSERT_EQ(Set(c, "FirewallAutoDetect=false"), 0);
  EXPECT_EQ(Get(c, "FirewallHost"), "");
  EXPECT_EQ(Get(c, "FirewallPort"), "0");
}

TEST_F(InternetSettings, MissingSettingsChangeNothing) {
  Client c;
  ASSERT_EQ(Set(c, "FirewallType=2"), 0);
  ASSERT_EQ(Set(c, "FirewallAutoDetect=true"), 0);
  EXPECT_EQ(Get(c, "FirewallType"), "2");
  EXPECT_EQ(Get(c, "FirewallHost"), "");
}

TEST_F(InternetSettings, ProxyOverrideHostsBypassTheFirewall) {
  // A firewall that refuses everything: only a bypassed host gets through.
  ScriptedPeer proxy({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.0 403 No\r\n\r\n")});
  ASSERT_TRUE(proxy.Start());
  const struct {
    const char* exceptions;
    const char* host;
    bool bypass;
  } cases[] = {
      {"*.intranet.example; LOCALHOST ", "localhost", true},
      {"*.intranet.example;<local>", "localhost", true},
      {"127.0.0.*", "127.0.0.1", true},
      {"*.intranet.example;<local>", "storage.example", false},
      {"localhost", "127.0.0.1", false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.exceptions) + " / " + k.host);
    Write(1, "https=127.0.0.1:" + std::to_string(proxy.port()), k.exceptions);
    ScriptedPeer target(TargetScript());
    ASSERT_TRUE(target.Start());
    Client c;
    ASSERT_EQ(Set(c, "FirewallAutoDetect=true"), 0);
    ASSERT_EQ(Get(c, "FirewallType"), "1");
    ASSERT_EQ(c.SetRemoteHost(k.host), 0);
    ASSERT_EQ(c.SetRemotePort(target.port()), 0);
    ASSERT_EQ(c.Connect(true), 0) << c.error_text().c_str();
    if (k.bypass) {
      ExpectPingPong(c, target);
      EXPECT_EQ(Get(c, "FirewallType"), "0");
    } else {
      ExpectRefused(c, "Firewall error. HTTP/1.0 403 No.");
    }
  }
  // Without auto-detection the registry exceptions do not apply.
  Write(1, "", "localhost");
  Client c;
  ASSERT_EQ(Set(c, "FirewallType=1"), 0);
  ASSERT_EQ(Set(c, "FirewallHost=127.0.0.1"), 0);
  ASSERT_EQ(Set(c, "FirewallPort=" + std::to_string(proxy.port())), 0);
  ASSERT_EQ(c.SetRemoteHost("localhost"), 0);
  ASSERT_EQ(c.SetRemotePort(9), 0);
  ASSERT_EQ(c.Connect(true), 0);
  ExpectRefused(c, "Firewall error. HTTP/1.0 403 No.");
}

TEST(FirewallTunnelSettings, SchemeProxySelection) {
  const struct {
    const char* server;
    const char* scheme;
    bool found;
    const char* host;
    int port;
  } cases[] = {
      {"http=h1:81;https=h2:82", "https", true, "h2", 82},
      {"http=h1:81;https=h2:82", "", true, "h1", 81},
      {"HTTPS=h2:82", "https", true, "h2", 82},
      {"ftp=f:21; all.example:3128", "http", true, "all.example", 3128},
      {"https://h3:83", "https", true, "h3", 83},
      {"http=justhost", "http", true, "justhost", -1},
      {"http=h:0", "http", true, "h", -1},
      {"ftp=f:21", "http", false, "", -1},
      {"", "http", false, "", -1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.server);
    tw::ByteString host;
    int32_t port = -1;
    EXPECT_EQ(tw::FindSchemeProxy(k.server, k.scheme, &host, &port), k.found);
    if (k.found) {
      EXPECT_STREQ(host.c_str(), k.host);
    }
    EXPECT_EQ(port, k.port);
  }
}

TEST(FirewallTunnelSettings, BasicValuesAreMaskedForLogs) {
  const struct {
    const char* value;
    const char* logged;
  } cases[] = {
      {"Basic dXNlcjpwYXNz", "Basic ************"},
      {"basic  YQ==", "basic  ****"},
      {"NTLM TlRMTVNTUAAB", "NTLM TlRMTVNTUAAB"},
      {"Basic", "Basic"},
      {"", ""},
  };
  for (const auto& k : cases) {
    tw::ByteString out;
    ASSERT_EQ(tw::MaskAuthorizationForLog(k.value, &out), 0);
    EXPECT_STREQ(out.c_str(), k.logged);
  }
}

}  // namespace
