// Authentication against real servers: apache2's Digest, Negotiate through the platform path
// to apache2 in a throwaway Kerberos realm, and NTLM to squid as the proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "tests/peers/apache_peer.h"
#include "tests/peers/kerberos_realm.h"
#include "tests/peers/scripted_peer.h"
#include "tests/peers/squid_peer.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;

class Client : public tw::HttpClient {
 public:
  Client() { SetTimeout(15, true); }
  int Set(const std::string& setting) { return ConfigText(setting.c_str(), nullptr); }
  std::string Data() const {
    return std::string(transferred_data().data(), static_cast<size_t>(transferred_data().length()));
  }
  std::string Error() const { return error_text().c_str(); }
  std::string Authorization() const { return authorization_.c_str(); }
  int KerberosEtype() const { return kerberos_.current_etype(); }
  std::string AuthLog() { return auth_provider().LogText().c_str(); }
  std::vector<std::string> logs;  // level, type and text of each Log event
  int FireLog(int level, const char* text, const char* type) override {
    logs.push_back(std::to_string(level) + type + text);
    return tw::HttpClient::FireLog(level, text, type);
  }
};

TEST(HttpAuthPeers, ApacheDigestCountsRequestsAndRefusesAWrongPassword) {
  testsupport::ApacheDigestPeer apache;
  apache.SetCredentials("grace", "dg-secret");
  if (!apache.Start()) TW_REQUIRE_OR_SKIP(apache.error());
  {
    Client c;
    ASSERT_EQ(c.SetUrl(apache.url().c_str(), false), 0);
    c.SetAuthScheme(tw::kAuthDigest);
    c.SetUser("grace");
    c.SetPassword("dg-secret");
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << apache.log();
    EXPECT_EQ(c.Data(), "ok\n");
    EXPECT_NE(c.Authorization().find("nc=00000001"), std::string::npos) << c.Authorization();
    // The second request under the same challenge counts on and is accepted at once.
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << apache.log();
    EXPECT_NE(c.Authorization().find("nc=00000002"), std::string::npos) << c.Authorization();
    EXPECT_EQ(c.Data(), "ok\n");
  }
  Client wrong;
  ASSERT_EQ(wrong.SetUrl(apache.url().c_str(), false), 0);
  wrong.SetAuthScheme(tw::kAuthDigest);
  wrong.SetUser("grace");
  wrong.SetPassword("nope");
  EXPECT_EQ(wrong.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_NE(wrong.Error().find("401"), std::string::npos) << wrong.Error();
}

TEST(HttpAuthPeers, SquidNtlmProxyWithTheOwnEngine) {
  testsupport::SquidAuthPeer squid(testsupport::SquidAuthPeer::kNtlm);
  if (!squid.Start()) TW_REQUIRE_OR_SKIP(squid.error());
  ScriptedPeer target(ScriptedPeer::Script{ScriptedPeer::WaitHead(),
                                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("via proxy")),
                                           ScriptedPeer::Close()});
  ASSERT_TRUE(target.Start());
  Client c;
  ASSERT_EQ(c.Set("UseSystemSSPI=false"), 0);
  ASSERT_EQ(c.Set("ProxyServer=127.0.0.1"), 0);
  ASSERT_EQ(c.Set("ProxyPort=" + std::to_string(squid.port())), 0);
  ASSERT_EQ(c.Set("ProxyAuthScheme=" + std::to_string(tw::kAuthNtlm)), 0);
  ASSERT_EQ(c.Set("ProxyUser=DOM\\henry"), 0);
  ASSERT_EQ(c.Set("ProxyPassword=pw"), 0);
  ASSERT_EQ(c.SetUrl(("http://127.0.0.1:" + std::to_string(target.port()) + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << squid.log();
  EXPECT_EQ(c.Data(), "via proxy");
}

// Sets the realm's configuration and ticket cache for this process, as kinit's user would have.
void UseRealmEnvironment(const std::string& env) {
  std::istringstream words(env);
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    std::string value = word.substr(eq + 1);
    // The values are shell-quoted ('...') for the tools' command lines.
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    setenv(word.substr(0, eq).c_str(), value.c_str(), 1);
  }
}

TEST(HttpAuthPeers, NegotiateThroughThePlatformAfterKinit) {
  testsupport::KerberosRealm realm;
  if (!testsupport::KerberosRealm::HttpInstalled() || !realm.Start()) {
    TW_REQUIRE_OR_SKIP("Kerberos realm: " + realm.error());
  }
  ASSERT_TRUE(realm.AddPrincipal("ivy", "Kerb-pass1"));
  if (!realm.StartHttp()) TW_REQUIRE_OR_SKIP(realm.error());
  int status = -1;
  testsupport::RunCommand(realm.Env() + "kinit ivy 2>&1", "Kerb-pass1\n", &status);
  ASSERT_EQ(status, 0);
  UseRealmEnvironment(realm.Env());
  Client c;
  ASSERT_EQ(c.SetUrl(realm.http_url().c_str(), false), 0);
  c.SetAuthScheme(tw::kAuthNegotiate);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << realm.http_log();
  EXPECT_EQ(c.Data(), "ok\n");
  // The token is logged as what it is.
  EXPECT_NE(c.AuthLog().find("Generated token - Found GSS-API token:\r\n\tOID: "), std::string::npos) << c.AuthLog();
  EXPECT_NE(c.AuthLog().find("Kerberos KRB_AP_REQ token:\r\n\t\t\tPvno : 5\r\n"), std::string::npos) << c.AuthLog();
  // The exchange is Kerberos, one leg: a body goes with the first request, not withheld for a
  // second leg that never comes.
  Client put;
  ASSERT_EQ(put.SetUrl(realm.http_url().c_str(), false), 0);
  put.SetAuthScheme(tw::kAuthNegotiate);
  ASSERT_EQ(put.Set("TransferredRequest=on"), 0);
  ASSERT_EQ(put.SetPostData("hello", 5), 0);
  put.DoTransfer(tw::kHttpActionPut);
  EXPECT_NE(std::string(put.sent_headers().c_str()).find("Content-Length: 5"), std::string::npos)
      << put.sent_headers().c_str();
  EXPECT_NE(put.status_code(), 401) << put.Error();

  // Without a ticket the platform has no credentials to offer.
  testsupport::RunCommand(realm.Env() + "kdestroy 2>&1", "", &status);
  Client none;
  ASSERT_EQ(none.SetUrl(realm.http_url().c_str(), false), 0);
  none.SetAuthScheme(tw::kAuthNegotiate);
  EXPECT_NE(none.DoTransfer(tw::kHttpActionGet), 0);
  EXPECT_FALSE(none.Error().empty());
  for (const char* name : {"KRB5_CONFIG", "KRB5_KDC_PROFILE", "KRB5CCNAME", "KRB5RCACHETYPE"}) {
    unsetenv(name);
  }
}

// Each Kerberos setting given to the HTTP client reaches its own Kerberos client: the page is
// served with it, or refused for the reason it gives.
TEST(HttpAuthPeers, KerberosSettingsReachTheKerberosClient) {
  testsupport::KerberosRealm realm;
  if (!testsupport::KerberosRealm::HttpInstalled() || !realm.Start() || !realm.StartHttp()) {
    TW_REQUIRE_OR_SKIP("Kerberos realm: " + realm.error());
  }
  const std::string kt = realm.dir() + "/kate.keytab", cache = realm.dir() + "/kate.ccache";
  ASSERT_TRUE(realm.AddPrincipal("kate", "Kerb-pass2") && realm.ExportKeytab("kate", kt));
  int status = -1;
  testsupport::RunCommand(realm.Env() + "KRB5CCNAME=FILE:" + cache + " kinit kate 2>&1", "Kerb-pass2\n", &status);
  ASSERT_EQ(status, 0);
  const struct {
    std::vector<std::string> settings;
    const char* user;
    int code;   // 0: the page is served
    int etype;  // the type the exchange used, when checked
  } cases[] = {
      {{"KerberosKeytabFile=" + kt, "UseTCP=True"}, "kate@TW.TEST", 0, 0},
      {{"KerberosCredentialsCacheFile=" + cache}, "", 0, 0},
      {{"CredentialsCacheFile=" + cache}, "", 0, 0},
      {{"KeytabFile=" + kt, "EncryptionTypes=aes128-cts-hmac-sha1-96"}, "kate@TW.TEST", 0, 17},
      {{"KeytabFile=" + kt, "EncryptionTypes=rc4-hmac"}, "kate@TW.TEST", 0, 23},
      // The realm holds no DES key.
      {{"KeytabFile=" + kt, "EncryptionTypes=des-cbc-md5"}, "kate@TW.TEST", tw::kErrKerberosKrbError, 0},
      {{"EncryptionTypes=aes128-cts-hmac-sha1-96,bogus"}, "", tw::kErrKerberosEtype, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.settings[0]);
    Client c;
    ASSERT_EQ(c.SetUrl(realm.http_url().c_str(), false), 0);
    c.SetAuthScheme(tw::kAuthNegotiate);
    ASSERT_EQ(c.Set("UseInternalKerberos=1"), 0);
    ASSERT_EQ(c.Set("KerberosKDC=127.0.0.1:" + std::to_string(realm.kdc_port())), 0);
    c.SetUser(k.user);
    int rc = 0;
    for (const std::string& s : k.settings) {
      if (rc == 0) rc = c.Set(s);
    }
    if (rc == 0) rc = c.DoTransfer(tw::kHttpActionGet);
    EXPECT_EQ(rc, k.code) << c.Error() << realm.kdc_log();
    EXPECT_EQ(c.Data(), k.code == 0 ? "ok\n" : "");
    EXPECT_TRUE(k.code == 0 || !c.Error().empty());
    EXPECT_TRUE(k.etype == 0 || c.KerberosEtype() == k.etype) << c.KerberosEtype();
  }
}


// NTLM against a verifier that refuses NTLMv1: the right password passes, a wrong one is
// refused, as a web server and as a proxy, by the own engine and on the platform path. The scheme
// is set before the user and the password, as a script may.
struct NtlmVerifierCase {
  const char* name;
  bool proxy;
  const char* password;
  bool passes;
  bool platform = false;
};

class NtlmVerifier : public ::testing::TestWithParam<NtlmVerifierCase> {};

TEST_P(NtlmVerifier, TakesTheRightPasswordOnly) {
  const NtlmVerifierCase& v = GetParam();
  testsupport::ApacheNtlmPeer apache(v.proxy);
  apache.AddUser("TWDOM", "nora", "Ntlm-pass1");
  if (!apache.Start()) TW_REQUIRE_OR_SKIP(apache.error());
  Client c;
  if (!v.platform) {
    ASSERT_EQ(c.Set("UseSystemSSPI=false"), 0);
  }
  const std::string scheme = std::to_string(tw::kAuthNtlm);
  if (v.proxy) {
    ASSERT_EQ(c.Set("ProxyServer=127.0.0.1"), 0);
    ASSERT_EQ(c.Set("ProxyPort=" + std::to_string(apache.port())), 0);
    ASSERT_EQ(c.Set("ProxyAuthScheme=" + scheme), 0);
    ASSERT_EQ(c.Set("ProxyUser=TWDOM\\nora"), 0) << c.Error();
    ASSERT_EQ(c.Set(std::string("ProxyPassword=") + v.password), 0);
  } else {
    c.SetAuthScheme(tw::kAuthNtlm);
    c.SetUser("TWDOM\\nora");
    c.SetPassword(v.password);
  }
  ASSERT_EQ(c.SetUrl(apache.url().c_str(), false), 0);
  const int rc = c.DoTransfer(tw::kHttpActionGet);
  if (v.passes) {
    EXPECT_EQ(rc, 0) << c.Error() << apache.log();
    EXPECT_EQ(c.Data(), "ok\n");
  } else {
    EXPECT_NE(rc, 0);
    EXPECT_NE(c.Error().find(v.proxy ? "407" : "401"), std::string::npos) << c.Error();
  }
  // The last token step's account of the tokens, then the status text, at the information level.
  const auto at = std::find(c.logs.begin(), c.logs.end(), "1Info" + c.AuthLog());
  ASSERT_TRUE(at != c.logs.end() && at + 1 != c.logs.end());
  EXPECT_EQ(at[1], "1Info" + std::string(c.auth_provider().StatusText()));
  EXPECT_NE(c.AuthLog().find("Generated token - Found NTLM token:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Paths, NtlmVerifier,
                         ::testing::Values(NtlmVerifierCase{"server_right", false, "Ntlm-pass1", true},
                                           NtlmVerifierCase{"server_wrong", false, "nope", false},
                                           NtlmVerifierCase{"proxy_right", true, "Ntlm-pass1", true},
                                           NtlmVerifierCase{"proxy_wrong", true, "nope", false},
                                           NtlmVerifierCase{"platform_server_right", false, "Ntlm-pass1", true, true},
                                           NtlmVerifierCase{"platform_proxy_right", true, "Ntlm-pass1", true, true},
                                           NtlmVerifierCase{"platform_proxy_wrong", true, "nope", false, true}),
                         testsupport::CaseName{});

}  // namespace
