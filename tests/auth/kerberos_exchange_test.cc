// Whole exchanges with the throwaway realm: tickets over UDP and TCP with a password, a keytab
// or a credentials cache, and the token accepted by the HTTP service.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/kerberos_client.h"
#include "auth/kerberos_crypto.h"
#include "foundation/text_conversion.h"
#include "tests/peers/kerberos_realm.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::KerberosRealm;
using testsupport::RunCommand;

constexpr char kPassword[] = "Secret-123";

class KerberosExchange : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    realm_ = new KerberosRealm();
    if (!realm_->Start() || !realm_->StartHttp() || !realm_->AddPrincipal("alice", kPassword) ||
        !realm_->AddPrincipal("bob", kPassword) || !realm_->Kadmin("modprinc +requires_preauth bob")) {
      error_ = realm_->error();
    }
  }
  static void TearDownTestSuite() {
    delete realm_;
    realm_ = nullptr;
  }
  void SetUp() override {
    if (!error_.empty()) {
      TW_REQUIRE_OR_SKIP(error_);
    }
  }
  void Configure(tw::KerberosClient& c, const char* user, const char* etypes, bool tcp) {
    ASSERT_EQ(c.Config("EncryptionTypes", etypes), 0);
    ASSERT_EQ(c.Config("UseTCP", tcp ? "True" : "False"), 0);
    c.SetKdc("127.0.0.1", realm_->kdc_port());
    c.SetUserPrincipal((std::string(user) + "@" + KerberosRealm::kRealm).c_str());
    c.SetPassword(kPassword);
    c.SetServicePrincipal(KerberosRealm::kHttpPrincipal);
    c.set_timeout_ms(5000);
  }
  // The HTTP status the service answers to the client's token.
  std::string Present(tw::KerberosClient& c) {
    tw::ByteString raw, b64;
    EXPECT_EQ(c.GetAuthToken(&raw), 0);
    tw::Base64Encode(b64, raw.data(), raw.length(), false, 0, false);
    return RunCommand("curl -s -o /dev/null -w '%{http_code}' -H 'Authorization: Negotiate " +
                      std::string(b64.c_str()) + "' " + realm_->http_url());
  }
  static KerberosRealm* realm_;
  static std::string error_;
};
KerberosRealm* KerberosExchange::realm_ = nullptr;
std::string KerberosExchange::error_;

// A UDP hop on 127.0.0.1 in front of the KDC that sends every reply twice.
struct DuplicatingRelay {
  explicit DuplicatingRelay(int kdc_port) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bind(front, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(front, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    a.sin_port = htons(static_cast<uint16_t>(kdc_port));
    connect(back, reinterpret_cast<sockaddr*>(&a), n);
    thread = std::thread([this, client = a, cn = n]() mutable {
      char buf[65536];
      for (pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}}; !stop && poll(fds, 2, 100) >= 0;) {
        ssize_t k = fds[0].revents & POLLIN ? recvfrom(front, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &cn) : 0;
        if (k > 0) send(back, buf, static_cast<size_t>(k), 0);
        k = fds[1].revents & POLLIN ? recv(back, buf, sizeof buf, 0) : 0;
        for (int i = 0; k > 0 && i < 2; ++i) sendto(front, buf, static_cast<size_t>(k), 0, reinterpret_cast<sockaddr*>(&client), cn);
      }
    });
  }
  ~DuplicatingRelay() { stop = true, thread.join(), close(front), close(back); }
  int front = socket(AF_INET, SOCK_DGRAM, 0), back = socket(AF_INET, SOCK_DGRAM, 0), port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
};

struct ExchangeCase {
  const char* user;
  const char* etypes;
  bool tcp;
  bool replies_twice = false;
};
class KerberosExchangeCases : public KerberosExchange, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(KerberosExchangeCases, TokenIsAcceptedByTheService) {
  tw::KerberosClient c;
  Configure(c, GetParam().user, GetParam().etypes, GetParam().tcp);
  std::unique_ptr<DuplicatingRelay> relay;
  if (GetParam().replies_twice) {
    relay = std::make_unique<DuplicatingRelay>(realm_->kdc_port());
    c.SetKdc("127.0.0.1", relay->port);
  }
  ASSERT_EQ(c.AuthenticateWithRetry(), 0) << c.error_text() << "\n" << realm_->kdc_log();
  EXPECT_EQ(Present(c), "200") << realm_->http_log();
}
INSTANTIATE_TEST_SUITE_P(
    Transports, KerberosExchangeCases,
    ::testing::Values(ExchangeCase{"alice", "aes256-cts-hmac-sha1-96", false},
                      ExchangeCase{"alice", "aes128-cts-hmac-sha1-96", true},
                      ExchangeCase{"bob", "aes256-cts-hmac-sha1-96,aes128-cts-hmac-sha1-96", false},
                      ExchangeCase{"bob", "aes128-cts-hmac-sha1-96", true}, ExchangeCase{"bob", "rc4-hmac", false},
                      ExchangeCase{"alice", "rc4-hmac", true},
                      ExchangeCase{"bob", "aes256-cts-hmac-sha1-96", false, true}),
    [](const auto& i) {
      const auto& p = i.param;
      return testsupport::MakeName(p.user, p.etypes, p.tcp ? "tcp" : p.replies_twice ? "udp_replies_twice" : "udp");
    });

struct FailureCase {
  const char* user;
  const char* password;
  bool tcp;
  bool dead_port;
  int code;
};
class KerberosExchangeFailures : public KerberosExchange, public ::testing::WithParamInterface<FailureCase> {};
TEST_P(KerberosExchangeFailures, EndWithAClearCode) {
  const FailureCase& f = GetParam();
  tw::KerberosClient c;
  Configure(c, f.user, "aes256-cts-hmac-sha1-96", f.tcp);
  c.SetPassword(f.password);
  c.set_timeout_ms(1500);
  if (f.dead_port) c.SetKdc("127.0.0.1", testsupport::ClosedPort());
  const int rc = c.AuthenticateWithRetry();
  if (f.code != 0) {
    EXPECT_EQ(rc, f.code) << c.error_text();
  } else {
    EXPECT_NE(rc, 0);
  }
  EXPECT_STRNE(c.error_text(), "");
  tw::ByteString token;
  c.GetAuthToken(&token);
  EXPECT_TRUE(token.empty());
}
INSTANTIATE_TEST_SUITE_P(Refusals, KerberosExchangeFailures,
                         ::testing::Values(FailureCase{"bob", "wrong", false, false, tw::kErrKerberosKrbError},
                                           FailureCase{"alice", "wrong", true, false, tw::kErrKerberosIntegrity},
                                           FailureCase{"nobody", kPassword, false, false, tw::kErrKerberosKrbError},
                                           FailureCase{"alice", kPassword, false, true, 0},
                                           FailureCase{"alice", kPassword, true, true, 0}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.user, p.password, p.tcp ? "tcp" : "udp", p.dead_port ? "dead_port" : ""); });

TEST_F(KerberosExchange, KeytabAndCacheReplaceThePassword) {
  const std::string kt = realm_->dir() + "/bob.keytab";
  ASSERT_TRUE(realm_->ExportKeytab("bob", kt)) << realm_->error();
  tw::KerberosClient c;
  Configure(c, "bob", "aes256-cts-hmac-sha1-96,aes128-cts-hmac-sha1-96", false);
  c.SetPassword("");
  ASSERT_EQ(c.Config("KeytabFile", kt.c_str()), 0) << c.error_text();
  ASSERT_EQ(c.AuthenticateWithRetry(), 0) << c.error_text();
  EXPECT_EQ(Present(c), "200");
  const std::string alice_kt = realm_->dir() + "/alice.keytab";
  tw::KerberosClient other;  // its keytab, without its key, names the client
  Configure(other, "bob", "aes256-cts-hmac-sha1-96", false);
  other.SetPassword("");
  ASSERT_TRUE(realm_->ExportKeytab("alice", alice_kt) && other.Config("KeytabFile", alice_kt.c_str()) == 0);
  ASSERT_EQ(other.AuthenticateWithRetry(), 0) << other.error_text();
  EXPECT_STREQ(other.user().c_str(), "alice");

  const std::string cache = realm_->dir() + "/alice.ccache";
  int status = -1;
  RunCommand(realm_->Env() + "KRB5CCNAME=FILE:" + cache + " kinit alice 2>&1", std::string(kPassword) + "\n", &status);
  ASSERT_EQ(status, 0);
  struct Logged : tw::KerberosClient {
    std::string log;
    void Log(int, const char* text, const char*) override { log += std::string(text) + "\n"; }
  };
  for (const char* user : {"someone", "alice"}) {
    Logged d;
    Configure(d, user, "aes256-cts-hmac-sha1-96", true);
    d.SetPassword("");
    ASSERT_EQ(d.Config("CredentialsCacheFile", cache.c_str()), 0);
    ASSERT_EQ(d.AuthenticateWithRetry(), 0) << d.error_text();
    EXPECT_STREQ(d.user().c_str(), "alice");
    EXPECT_EQ(Present(d), "200");
    const bool other = std::string(user) != "alice";
    const std::string tgt = "Client principal: alice@TW.TEST, Server principal: krbtgt/TW.TEST@TW.TEST, Key type: 18";
    std::vector<std::string> lines = {"Loaded credential entry: " + tgt};
    if (other) {
      lines.push_back("Loaded credential does not match the specified user. Current user = someone, Current "
                      "realm = TW.TEST, user = alice, Realm = TW.TEST");
      lines.push_back("First valid credential entry: " + tgt);
      lines.push_back("User property populated from the matching credential entry. Current user: someone, User "
                      "used now: alice");
    } else {
      lines.push_back("Loaded credential matches the specified user. Current user = alice, Current realm = "
                      "TW.TEST, User = alice, Realm = TW.TEST");
    }
    for (const std::string& line : lines) {
      EXPECT_NE(d.log.find(line), std::string::npos) << line << "\n" << d.log;
    }
  }
}

// From a chosen local address and port the exchange works over both transports.
TEST_F(KerberosExchange, ChosenLocalAddressIsUsed) {
  for (const bool tcp : {false, true}) {
    tw::KerberosClient c;
    Configure(c, "alice", "aes256-cts-hmac-sha1-96", tcp);
    const int port = testsupport::FreePort();
    ASSERT_EQ(c.Config("LocalHost", "127.0.0.1"), 0);
    ASSERT_EQ(c.Config("LocalPort", std::to_string(port).c_str()), 0);
    ASSERT_EQ(c.AuthenticateWithRetry(), 0) << c.error_text() << "\n" << realm_->kdc_log();
    EXPECT_EQ(Present(c), "200");
    EXPECT_FALSE(c.tcp_transport().IsOpen());
  }
}

}  // namespace

namespace {

// The platform's Kerberos package gets the ticket instead; the service takes its token too.
TEST_F(KerberosExchange, PlatformPackageMakesTheToken) {
  const char* old = getenv("KRB5_CONFIG");
  const std::string saved = old != nullptr ? old : "";
  setenv("KRB5_CONFIG", (realm_->dir() + "/krb5.conf").c_str(), 1);
  tw::KerberosClient c;
  Configure(c, "alice", "aes256-cts-hmac-sha1-96", false);
  ASSERT_EQ(c.Config("UsePlatformKerberosAPI", "True"), 0);
  const int rc = c.AuthenticateWithRetry();
  if (old != nullptr) {
    setenv("KRB5_CONFIG", saved.c_str(), 1);
  } else {
    unsetenv("KRB5_CONFIG");
  }
  ASSERT_EQ(rc, 0) << c.error_text();
  EXPECT_EQ(Present(c), "200") << realm_->http_log();
}

}  // namespace
