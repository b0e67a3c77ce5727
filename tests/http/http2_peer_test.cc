// HTTP/2 against real servers: nghttpd with TLS and ALPN (both TLS paths), nghttpx in front of
// nginx, and nginx without h2 for the fallback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "tests/peers/nghttp_peers.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::NghttpdPeer;
using testsupport::NghttpxPeer;
using testsupport::TestPki;

class Client : public tw::HttpClient {
 public:
  Client() { SetTimeout(30, true); }
  std::string Data() const {
    return std::string(transferred_data().data(), static_cast<size_t>(transferred_data().length()));
  }
  std::string Error() const { return error_text().c_str(); }
  int Set(const std::string& setting) { return ConfigText(setting.c_str(), nullptr); }
  bool kept() const { return request_on_kept_connection_; }
  int FireSSLStatus(const char* message) override {
    ssl_status += message;
    return tw::HttpClient::FireSSLStatus(message);
  }
  std::string ssl_status;
};

std::string Sha256Of(const std::string& path) {
  return testsupport::RunCommand("sha256sum " + testsupport::ShellQuote(path) + " | cut -c1-64");
}

bool TrustTestPki() {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) return false;
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  return true;
}

struct Case {
  const char* name;
  std::vector<std::string> server_args;
  bool own_tls;       // the library's own TLS engine instead of the platform path
  size_t bytes;
  int action;         // GET downloads a file; PUT is echoed back by the server
  int requests;       // on one kept connection
  bool chunked_file = false;  // a PUT sends the server's file with UseChunkedEncoding
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Http2Nghttpd : public ::testing::TestWithParam<Case> {};

TEST_P(Http2Nghttpd, MovesBodiesOverOneConnection) {
  const Case& t = GetParam();
  if (!TrustTestPki()) { TW_REQUIRE_OR_SKIP(TestPki::Get().error()); }
  NghttpdPeer server;
  std::vector<std::string> args = t.server_args;
  if (t.action == tw::kHttpActionPut) args.push_back("--echo-upload");
  if (!server.Start(true, args)) { TW_REQUIRE_OR_SKIP(server.error()); }
  const std::string body = testsupport::RandomBytes(t.bytes, 27);
  ASSERT_TRUE(server.WriteFile("file.bin", body));
  Client c;
  ASSERT_EQ(c.Set("HTTPVersion=2.0"), 0);
  if (t.own_tls) {
    ASSERT_EQ(c.Set("UseInternalSecurityAPI=true"), 0);
  }
  c.set_keep_alive(true);
  ASSERT_EQ(c.SetUrl((server.base_url() + "/file.bin").c_str(), false), 0);
  const std::string out = testsupport::MakeTempDir() + "/out.bin";
  for (int i = 0; i < t.requests; ++i) {
    if (t.action == tw::kHttpActionGet) {
      ASSERT_EQ(c.SetLocalFile(out.c_str()), 0);
    } else if (t.chunked_file) {
      ASSERT_EQ(c.Set("UseChunkedEncoding=true") + c.SetAttachedFile((server.root() + "/file.bin").c_str()), 0);
    } else {
      c.SetPostDataRef(body.data(), static_cast<int>(body.size()));
    }
    ASSERT_EQ(c.DoTransfer(t.action), 0) << c.Error() << server.log();
    EXPECT_EQ(c.status_code(), 200);
    EXPECT_STREQ(c.negotiated_http_version().c_str(), "2.0");
    EXPECT_EQ(c.kept(), i > 0) << "request " << i;
    if (t.action == tw::kHttpActionGet) {
      const std::string src = server.root() + "/file.bin";
      EXPECT_EQ(Sha256Of(out), Sha256Of(src));
    } else {
      EXPECT_TRUE(c.Data() == body) << "echoed body differs, " << c.Data().size() << " bytes";
      // The body's last piece ends the stream: no empty frame follows it.
      EXPECT_EQ(server.log().find("recv DATA frame <length=0,"), std::string::npos) << server.log();
      EXPECT_NE(server.log().find("; END_STREAM"), std::string::npos);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, Http2Nghttpd,
    ::testing::Values(
        Case{"get_10mb_platform_tls", {}, false, 10000000, tw::kHttpActionGet, 1},
        Case{"get_10mb_own_tls", {}, true, 10000000, tw::kHttpActionGet, 1},
        Case{"two_gets_one_connection", {}, false, 100000, tw::kHttpActionGet, 2},
        Case{"put_small_windows", {"-v", "-w", "10", "-W", "12"}, false, 300000, tw::kHttpActionPut, 2},
        Case{"put_chunked_file", {"-v"}, false, 100000, tw::kHttpActionPut, 1, true},
        Case{"put_small_windows_own_tls", {"-v", "-w", "10", "-W", "12"}, true, 100000,
             tw::kHttpActionPut, 1},
        Case{"header_table_size_0", {"-c", "0"}, false, 1000, tw::kHttpActionGet, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A server that does not choose h2: fallback to HTTP/1.1 with its SSLStatus text, or 161.
TEST(Http2Nginx, FallsBackWhenTheServerDoesNotChooseH2) {
  if (!TrustTestPki()) { TW_REQUIRE_OR_SKIP(TestPki::Get().error()); }
  testsupport::NginxPeer nginx;
  nginx.EnableTls();
  if (!nginx.Start()) { TW_REQUIRE_OR_SKIP("nginx: " + nginx.error()); }
  ASSERT_TRUE(nginx.WriteFile("a.txt", "hello"));
  for (bool fallback : {true, false}) {
    Client c;
    ASSERT_EQ(c.Set("HTTPVersion=2.0"), 0);
    ASSERT_EQ(c.Set(std::string("AllowHTTPFallback=") + (fallback ? "true" : "false")), 0);
    ASSERT_EQ(c.SetUrl((nginx.https_url() + "/a.txt").c_str(), false), 0);
    const int rc = c.DoTransfer(tw::kHttpActionGet);
    if (fallback) {
      ASSERT_EQ(rc, 0) << c.Error();
      EXPECT_EQ(c.Data(), "hello");
      EXPECT_NE(c.ssl_status.find("Server does not support ALPN protocol h2. Falling back to HTTP/1.1"),
                std::string::npos);
      EXPECT_STREQ(c.negotiated_http_version().c_str(), "1.1");
    } else {
      EXPECT_EQ(rc, tw::kErrHttp2Refused);
      EXPECT_EQ(c.Error(), "Server does not support HTTP/2 and AllowHTTPFallback is False.");
    }
  }
}

// nginx with http2 on its TLS port: a download and an upload on one connection.
TEST(Http2Nginx, DownloadsAndUploadsOverNginxHttp2) {
  const TestPki& pki = TestPki::Get();
  if (!TrustTestPki()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  testsupport::NginxPeer nginx;
  const int tls_port = testsupport::FreePort();
  nginx.AddServerConfig("    listen 127.0.0.1:" + std::to_string(tls_port) + " ssl http2;\n" +
                        "    ssl_certificate " + pki.Chain("rsa") + ";\n" +
                        "    ssl_certificate_key " + pki.Key("rsa") + ";\n");
  if (!nginx.Start()) { TW_REQUIRE_OR_SKIP("nginx: " + nginx.error()); }
  const std::string body = testsupport::RandomBytes(2000000, 3);
  ASSERT_TRUE(nginx.WriteFile("down.bin", body));
  const std::string base = "https://localhost:" + std::to_string(tls_port);
  Client c;
  ASSERT_EQ(c.Set("HTTPVersion=2.0"), 0);
  c.set_keep_alive(true);
  ASSERT_EQ(c.SetUrl((base + "/down.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << nginx.error_log();
  EXPECT_STREQ(c.negotiated_http_version().c_str(), "2.0");
  EXPECT_TRUE(c.Data() == body) << "downloaded body differs";
  c.SetPostDataRef(body.data(), static_cast<int>(body.size()));
  ASSERT_EQ(c.SetUrl((base + "/up.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPut), 0) << c.Error() << nginx.error_log();
  EXPECT_EQ(c.status_code(), 201);
  EXPECT_TRUE(c.kept());
  EXPECT_TRUE(nginx.ReadRootFile("up.bin") == body) << "uploaded body differs";
}

// nghttpx turns nginx's large response header into HTTP/2 header frames.
TEST(Http2Nghttpx, LargeHeadersAndBodiesThroughTheProxy) {
  if (!TrustTestPki()) { TW_REQUIRE_OR_SKIP(TestPki::Get().error()); }
  testsupport::NginxPeer nginx;
  if (!nginx.Start()) { TW_REQUIRE_OR_SKIP("nginx: " + nginx.error()); }
  NghttpxPeer proxy;
  if (!proxy.Start(nginx.port())) { TW_REQUIRE_OR_SKIP(proxy.error()); }
  Client c;
  ASSERT_EQ(c.Set("HTTPVersion=2.0"), 0);
  c.set_keep_alive(true);
  ASSERT_EQ(c.SetUrl((proxy.base_url() + "/big-header").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error() << proxy.log();
  EXPECT_EQ(c.Data(), "ok\n");
  const std::string headers(c.transferred_headers().c_str());
  EXPECT_NE(headers.find("x-big: " + std::string(testsupport::NginxPeer::kBigHeaderBytes, 'b')),
            std::string::npos);
  const std::string body = testsupport::RandomBytes(3000000, 5);
  c.SetPostDataRef(body.data(), static_cast<int>(body.size()));
  ASSERT_EQ(c.SetUrl((proxy.base_url() + "/up.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPut), 0) << c.Error() << proxy.log();
  EXPECT_EQ(c.status_code(), 201);
  EXPECT_TRUE(nginx.ReadRootFile("up.bin") == body);
}

}  // namespace
