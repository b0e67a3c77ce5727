// A default HttpClient (the platform TLS path) against nginx over HTTPS: the test root is
// trusted through the ROOT store, the server is reached by name, and bodies move both ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "http/http_client.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/shaping_peers.h"
#include "tests/peers/test_pki.h"
#include "tests/peers/tls_script_peer.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::NginxPeer;
using testsupport::TestPki;

class Client : public tw::HttpClient {
 public:
  Client() { SetTimeout(20, true); }
  std::string Data() const {
    return std::string(transferred_data().data(), static_cast<size_t>(transferred_data().length()));
  }
  std::string Error() const { return error_text().c_str(); }
};

struct Transfer {
  const char* name;
  int action;
  size_t bytes;
  bool slow_reader;  // through a relay that takes the upload slowly
};

void PrintTo(const Transfer& t, std::ostream* os) { *os << t.name; }

class HttpsPlatform : public ::testing::TestWithParam<Transfer> {};

TEST_P(HttpsPlatform, MovesBodiesWithDefaultSettings) {
  const Transfer& t = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  NginxPeer nginx;
  const int tls_port = testsupport::FreePort();
  nginx.AddServerConfig("    listen 127.0.0.1:" + std::to_string(tls_port) + " ssl;\n" +
                        "    ssl_certificate " + pki.Chain("rsa") + ";\n" +
                        "    ssl_certificate_key " + pki.Key("rsa") + ";\n");
  if (!nginx.Start()) { TW_REQUIRE_OR_SKIP("nginx: " + nginx.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  const std::string body = testsupport::RandomBytes(t.bytes, 11);
  nettest::Relay relay(tls_port, nettest::Shape::kSlowReader);
  const int port = t.slow_reader ? relay.port() : tls_port;
  const std::string url = "https://localhost:" + std::to_string(port) + "/file.bin";
  Client c;
  // A small socket buffer in front of the slow reader: sends would block at once.
  if (t.slow_reader) {
    ASSERT_EQ(c.ConfigText("OutBufferSize=8192", nullptr), 0);
  }
  ASSERT_EQ(c.SetUrl(url.c_str(), false), 0);
  if (t.action == tw::kHttpActionGet) {
    ASSERT_TRUE(nginx.WriteFile("file.bin", body));
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << nginx.error_log();
    EXPECT_TRUE(c.Data() == body) << "body differs";
    // A second request.
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
    EXPECT_TRUE(c.Data() == body) << "second body differs";
  } else {
    ASSERT_EQ(c.SetPostData(body.data(), static_cast<int>(body.size())), 0);
    ASSERT_EQ(c.DoTransfer(t.action), 0) << c.Error() << nginx.error_log();
    EXPECT_EQ(c.status_code(), 201);
    EXPECT_TRUE(nginx.ReadRootFile("file.bin") == body) << "uploaded body differs";
  }
}

INSTANTIATE_TEST_SUITE_P(Nginx, HttpsPlatform,
                         ::testing::Values(Transfer{"get_small", tw::kHttpActionGet, 1000, false},
                                           Transfer{"get_5mib", tw::kHttpActionGet, 5 << 20, false},
                                           Transfer{"put_5mib", tw::kHttpActionPut, 5 << 20, false},
                                           // Sends that would block leave records queued: each
                                           // byte must still go out exactly once.
                                           Transfer{"put_slow_reader", tw::kHttpActionPut, 1 << 20, true}),
                         [](const ::testing::TestParamInfo<Transfer>& i) { return std::string(i.param.name); });

// Over TLS a body without a length ends only with the peer's close_notify; a bare TCP close
// fails it. Bodies with a length or chunked framing end where their framing says.
struct EndRow { const char* name; bool own_engine; const char* framing; const char* body; const char* ending; int code; };
class HttpsBodyEndScriptedTlsPeer : public ::testing::TestWithParam<EndRow> {};
TEST_P(HttpsBodyEndScriptedTlsPeer, NeedsCloseNotifyWithoutLength) {
  const EndRow& row = GetParam();
  testsupport::PeerProcess peer;
  int port = 0;
  const std::string answer = std::string("HTTP/1.1 200 OK\\r\\nConnection: close\\r\\n") + row.framing + "\\r\\n" + row.body;
  if (!testsupport::StartTlsScriptPeer(&peer, &port, "-", "read", row.ending, {answer})) { TW_REQUIRE_OR_SKIP("the python ssl peer never answered"); }
  setenv("TW_CERT_STORES", TestPki::Get().store_dir().c_str(), 1);
  Client c;
  ASSERT_EQ(c.ConfigText(row.own_engine ? "UseInternalSecurityAPI=true" : "UseInternalSecurityAPI=false", nullptr), 0);
  ASSERT_EQ(c.SetUrl(("https://localhost:" + std::to_string(port) + "/").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), row.code) << c.Error();
  if (row.code == 0) { EXPECT_EQ(c.Data(), "body"); }
}
INSTANTIATE_TEST_SUITE_P(Endings, HttpsBodyEndScriptedTlsPeer, ::testing::Values(
    EndRow{"own engine close_notify", true, "", "body", "notify", 0},
    EndRow{"own engine bare close", true, "", "body", "bare", tw::kErrConnectionClosed},
    EndRow{"platform close_notify", false, "", "body", "notify", 0},
    EndRow{"platform bare close", false, "", "body", "bare", tw::kErrConnectionClosed},
    EndRow{"own engine length", true, "Content-Length: 4\\r\\n", "body", "bare", 0},
    EndRow{"platform chunked", false, "Transfer-Encoding: chunked\\r\\n", "4\\r\\nbody\\r\\n0\\r\\n\\r\\n", "bare", 0}),
    testsupport::CaseName{});

}  // namespace
