// The real-server harnesses themselves: each one starts, answers curl and leaves no process.
#include "tests/peers/azurite_peer.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/openssl_server_peer.h"
#include "tests/peers/peer_process.h"
#include "tests/peers/proxy_peers.h"
#include "tests/peers/scripted_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

using testsupport::RunCommand;

// True when some process still belongs to process group `pgid`.
bool GroupAlive(int pgid) { return testsupport::ProcessGroupAlive(pgid); }

// curl with no proxy from the environment; returns stdout.
std::string Curl(const std::string& args, int* status = nullptr) {
  return RunCommand("env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY -u HTTPS_PROXY -u ALL_PROXY "
                    "curl -sS --max-time 20 " + args + " 2>&1",
                    "", status);
}

bool HaveCurl() { return testsupport::HaveProgram("curl"); }

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

void SendAll(int fd, const std::string& s) {
  ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

// Reads until EOF or error; `err` gets errno of a failing read (0 on a clean EOF).
std::string ReadAll(int fd, int* err = nullptr) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (err) *err = n == 0 ? 0 : errno;
    return out;
  }
}

// ---------------------------------------------------------------------------------------------
// nginx

class NginxPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveCurl()) {
      TW_REQUIRE_OR_SKIP("curl not installed");
    }
  }
};

TEST_F(NginxPeerTest, ServesFilesDavGzipRedirectsAndBigHeaders) {
  testsupport::NginxPeer nginx;
  nginx.AddRedirect("/moved", 301, "/a.txt");
  nginx.AddRedirect("/see-other", 303, "/a.txt");
  nginx.AddRedirect("/temp", 307, "/a.txt");
  nginx.AddServerConfig("location = /teapot { return 418; }");
  if (!nginx.Start()) {
    TW_REQUIRE_OR_SKIP(nginx.error());
  }
  const std::string base = nginx.base_url();
  ASSERT_TRUE(nginx.WriteFile("a.txt", "hello from the root\n"));
  EXPECT_EQ(Curl(base + "/a.txt"), "hello from the root\n");

  // PUT makes the folders; DELETE removes; MKCOL makes a collection.
  int st = -1;
  Curl("-f -X PUT --data-binary 'put body' " + base + "/deep/dir/b.bin", &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(nginx.ReadRootFile("deep/dir/b.bin"), "put body");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -X MKCOL " + base + "/col/"), "201");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -X DELETE " + base + "/deep/dir/b.bin"), "204");
  EXPECT_EQ(nginx.ReadRootFile("deep/dir/b.bin"), "");

  // Text is gzipped and chunked when the client accepts it.
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + " of compressible text\n";
  ASSERT_TRUE(nginx.WriteFile("t.txt", text));
  const std::string head = Curl("-D - -o /dev/null -H 'Accept-Encoding: gzip' " + base + "/t.txt");
  EXPECT_NE(head.find("Content-Encoding: gzip"), std::string::npos) << head;
  EXPECT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;
  EXPECT_EQ(Curl("--compressed " + base + "/t.txt"), text);

  const std::string r = Curl("-D - -o /dev/null " + base + "/moved");
  EXPECT_NE(r.find("HTTP/1.1 301"), std::string::npos) << r;
  EXPECT_NE(r.find("Location: http://127.0.0.1:" + std::to_string(nginx.port()) + "/a.txt"), std::string::npos)
      << r;
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' " + base + "/see-other"), "303");
  EXPECT_EQ(Curl("-L " + base + "/temp"), "hello from the root\n");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' " + base + "/teapot"), "418");

  const std::string big = Curl("-D - -o /dev/null " + base + "/big-header");
  const std::string want = "X-Big: " + std::string(testsupport::NginxPeer::kBigHeaderBytes, 'b') + "\r\n";
  EXPECT_NE(big.find(want), std::string::npos) << big.size();

  EXPECT_EQ(Curl(base + "/slow/a.txt"), "hello from the root\n");

  // Two requests in one curl run share the kept-alive connection.
  const std::string verbose = Curl("-v -o /dev/null -o /dev/null " + base + "/a.txt " + base + "/a.txt");
  EXPECT_NE(verbose.find("Re-using existing connection"), std::string::npos) << verbose;

  const int pid = nginx.pid();
  const int port = nginx.port();
  const std::string dir = nginx.dir();
  ASSERT_GT(pid, 0);
  nginx.Stop();
  EXPECT_FALSE(GroupAlive(pid));
  EXPECT_FALSE(testsupport::PortAnswers(port));
  EXPECT_EQ(access(dir.c_str(), F_OK), 0);  // the dir goes with the object, not with Stop
}

TEST_F(NginxPeerTest, TlsListenerServesTheTestPkiChain) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  testsupport::NginxPeer nginx;
  nginx.EnableTls();
  if (!nginx.Start()) {
    TW_REQUIRE_OR_SKIP(nginx.error());
  }
  ASSERT_TRUE(nginx.WriteFile("a.txt", "over tls\n"));
  EXPECT_EQ(Curl("--cacert " + pki.Cert("root") + " --resolve localhost:" + std::to_string(nginx.tls_port()) +
                 ":127.0.0.1 " + nginx.https_url() + "/a.txt"),
            "over tls\n");
  EXPECT_EQ(Curl(nginx.base_url() + "/a.txt"), "over tls\n");  // plain http stays
}

TEST_F(NginxPeerTest, DestructorKillsAndCleansUp) {
  int pid = -1;
  std::string dir;
  {
    testsupport::NginxPeer nginx;
    if (!nginx.Start()) {
      TW_REQUIRE_OR_SKIP(nginx.error());
    }
    pid = nginx.pid();
    dir = nginx.dir();
  }
  EXPECT_FALSE(GroupAlive(pid));
  EXPECT_NE(access(dir.c_str(), F_OK), 0);
}

// ---------------------------------------------------------------------------------------------
// scripted peer

TEST(ScriptedPeerTest, CapturesRequestAndReplies) {
  testsupport::ScriptedPeer peer({testsupport::ScriptedPeer::WaitRequest(),
                                  testsupport::ScriptedPeer::Send(testsupport::ScriptedPeer::HttpResponse("pong")),
                                  testsupport::ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  int fd = Connect(peer.port());
  ASSERT_GE(fd, 0);
  const std::string req = "POST /x HTTP/1.1\r\nHost: a\r\ncontent-length: 5\r\n\r\nhello";
  SendAll(fd, req.substr(0, 10));
  usleep(20000);
  SendAll(fd, req.substr(10));
  int err = -1;
  const std::string reply = ReadAll(fd, &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npong");
  close(fd);
  ASSERT_TRUE(peer.WaitForConnections(1, 5000, true));
  EXPECT_EQ(peer.request(0), req);
  EXPECT_EQ(peer.connection_count(), 1);
}

TEST(ScriptedPeerTest, ResetIsSeenAsConnectionReset) {
  testsupport::ScriptedPeer peer({testsupport::ScriptedPeer::WaitHead(), testsupport::ScriptedPeer::Send("HTTP/1.1 2"),
                                  testsupport::ScriptedPeer::Sleep(50), testsupport::ScriptedPeer::Reset()});
  ASSERT_TRUE(peer.Start());
  int fd = Connect(peer.port());
  ASSERT_GE(fd, 0);
  SendAll(fd, "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  int err = -1;
  const std::string got = ReadAll(fd, &err);
  // The partial bytes may or may not arrive before the reset discards them.
  EXPECT_EQ(err, ECONNRESET);
  EXPECT_TRUE(got.empty() || got == "HTTP/1.1 2") << got;
  close(fd);
}

TEST(ScriptedPeerTest, PerConnectionScriptsEchoAndDelimiters) {
  using SP = testsupport::ScriptedPeer;
  SP peer;
  peer.SetScripts({
      {SP::WaitFor("END"), SP::SendFn([](const std::string& got) { return "echo:" + got; }), SP::Close()},
      {SP::WaitBytes(3), SP::Send("second"), SP::Close()},
  });
  ASSERT_TRUE(peer.Start());
  for (int i = 0; i < 3; ++i) {
    int fd = Connect(peer.port());
    ASSERT_GE(fd, 0);
    SendAll(fd, i == 0 ? "abcEND" : "xyz");
    const std::string got = ReadAll(fd);
    EXPECT_EQ(got, i == 0 ? "echo:abcEND" : "second") << i;
    // Bytes sent after the script ended are still recorded.
    send(fd, "more", 4, MSG_NOSIGNAL);
    close(fd);
  }
  ASSERT_TRUE(peer.WaitForConnections(3, 5000, true));
  const std::vector<std::string> reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0], "abcENDmore");
  EXPECT_EQ(reqs[2], "xyzmore");
}

TEST(ScriptedPeerTest, ChunkedRequestBodyAndStopWhileClientIdle) {
  using SP = testsupport::ScriptedPeer;
  SP peer({SP::WaitRequest(), SP::Send(SP::HttpResponse("", "X-A: 1\r\n", 204, "No Content")),
           SP::Sleep(60000)});
  ASSERT_TRUE(peer.Start());
  int fd = Connect(peer.port());
  ASSERT_GE(fd, 0);
  SendAll(fd, "PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)).rfind("HTTP/1.1 204 No Content\r\n", 0), 0u);
  // Stop must not wait for the scripted sleep nor for the client.
  peer.Stop();
  int err = -1;
  ReadAll(fd, &err);
  close(fd);
  EXPECT_NE(peer.request(0).find("0\r\n\r\n"), std::string::npos);
}

TEST(ScriptedPeerTest, StopWhileSendingToClientThatDoesNotRead) {
  using SP = testsupport::ScriptedPeer;
  SP peer({SP::Send(std::string(16 << 20, 'x'))});
  ASSERT_TRUE(peer.Start());
  int fd = Connect(peer.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(peer.WaitForConnections(1, 5000));
  peer.Stop();  // must return although the send cannot finish
  close(fd);
}

// ---------------------------------------------------------------------------------------------
// storage emulator

TEST(AzuritePeerTest, StartsAnswersSdkAndProductStyleHost) {
  if (!HaveCurl()) {
    TW_REQUIRE_OR_SKIP("curl not installed");
  }
  testsupport::AzuritePeer azurite;
  if (!azurite.Start()) {
    TW_REQUIRE_OR_SKIP(azurite.error());
  }
  if (!testsupport::AzuritePeer::SdkInstalled()) {
    TW_REQUIRE_OR_SKIP("storage SDK not installed in tests/peers/node_modules");
  }
  const char* code =
      "const {BlobServiceClient} = require('@azure/storage-blob');"
      "(async () => {"
      "  const s = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);"
      "  const c = s.getContainerClient(process.argv[1]);"
      "  await c.create({access: 'blob'});"
      "  await c.getBlockBlobClient('a.txt').upload('hi there', 8);"
      "  for await (const b of c.listBlobsFlat()) console.log(b.name);"
      "})().catch(e => { console.error(e.message); process.exit(1); });";
  int st = -1;
  const std::string out = azurite.RunSdkScript("-e", {code, "selftest"}, &st);
  ASSERT_EQ(st, 0) << azurite.sdk_stderr();
  EXPECT_EQ(out, "a.txt\n");

  // Path style on 127.0.0.1, and product style with the account in the host name.
  const std::string port = std::to_string(azurite.port());
  EXPECT_EQ(Curl(azurite.blob_endpoint() + "/selftest/a.txt"), "hi there");
  const std::string host = azurite.account() + ".blob" + azurite.endpoint_suffix();
  EXPECT_EQ(host, "devstoreaccount1.blob.localhost:" + port);
  EXPECT_EQ(Curl("--resolve " + host + ":127.0.0.1 http://" + host + "/selftest/a.txt"), "hi there");

  const int pid = azurite.pid();
  azurite.Stop();
  EXPECT_FALSE(GroupAlive(pid));
}

TEST(AzuritePeerTest, HttpsWithTheTestPkiAndTheSdkTrustingItsRoot) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  testsupport::AzuritePeer azurite;
  azurite.UseTls(pki.Chain("storage"), pki.Key("storage"), pki.Cert("root"));
  if (!pki.ok() || !testsupport::AzuritePeer::SdkInstalled() || !azurite.Start()) {
    TW_REQUIRE_OR_SKIP(pki.ok() ? azurite.error() + " (or the SDK is missing)" : pki.error());
  }
  EXPECT_EQ(azurite.blob_endpoint().rfind("https://127.0.0.1:", 0), 0u);
  const char* code =
      "const {BlobServiceClient} = require('@azure/storage-blob');"
      "(async () => {"
      "  const s = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);"
      "  const c = s.getContainerClient('tls');"
      "  await c.create({access: 'blob'});"
      "  await c.getBlockBlobClient('a.txt').upload('secured', 7);"
      "  for await (const b of c.listBlobsFlat()) console.log(b.name);"
      "})().catch(e => { console.error(e.message); process.exit(1); });";
  int st = -1;
  EXPECT_EQ(azurite.RunSdkScript("-e", {code}, &st), "a.txt\n");
  EXPECT_EQ(st, 0) << azurite.sdk_stderr();
  const std::string host = azurite.account() + ".blob" + azurite.endpoint_suffix();
  EXPECT_EQ(Curl("--cacert " + pki.Cert("root") + " --resolve " + host + ":127.0.0.1 https://" + host + "/tls/a.txt"),
            "secured");
}

// ---------------------------------------------------------------------------------------------
// openssl s_server

struct SServerCase {
  const char* name;
  testsupport::OpenSslServerPeer::Options options;
  const char* client_args;  // for openssl s_client
  std::vector<const char*> expected;  // in the client's output
};

testsupport::OpenSslServerPeer::Options SServer(const char* cert, const char* version, const char* cipher = "",
                                                const char* suites = "", const char* groups = "", int verify = 0) {
  testsupport::OpenSslServerPeer::Options o;
  o.cert = cert;
  o.version = version;
  o.cipher = cipher;
  o.ciphersuites = suites;
  o.groups = groups;
  o.verify_depth = verify;
  return o;
}

const std::vector<SServerCase>& SServerCases() {
  static const std::vector<SServerCase> cases = {
      {"Tls10AtLevelZero", SServer("rsa", "-tls1"), "-tls1 -cipher DEFAULT:@SECLEVEL=0", {"Protocol  : TLSv1\n"}},
      {"Tls11AtLevelZero", SServer("rsa", "-tls1_1"), "-tls1_1 -cipher DEFAULT:@SECLEVEL=0",
       {"Protocol  : TLSv1.1"}},
      {"Tls12EcdheRsaGcm", SServer("rsa", "-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256"), "",
       {"Protocol  : TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"}},
      {"Tls13Ecdsa", SServer("ecdsa", "-tls1_3", "", "TLS_AES_128_GCM_SHA256"), "",
       {"TLS_AES_128_GCM_SHA256", "ecdsa"}},
      {"Tls13Ed25519", SServer("ed25519", "-tls1_3"), "", {"Peer signature type: ed25519"}},
      {"HelloRetryThroughGroups", SServer("rsa", "-tls1_3", "", "", "P-256"), "",
       {"Server Temp Key: ECDH, prime256v1"}},
      {"ClientCertificateDemanded", SServer("rsa", "", "", "", "", 1),
       "-cert {pki}/client.pem -key {pki}/client.key", {"Client certificate"}},
  };
  return cases;
}

class OpenSslServerPeerTest : public ::testing::TestWithParam<SServerCase> {};

TEST_P(OpenSslServerPeerTest, ServesTheConfiguredSessionToTheOpenSslClient) {
  const SServerCase& c = GetParam();
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  testsupport::OpenSslServerPeer server(c.options);
  if (!server.Start()) {
    TW_REQUIRE_OR_SKIP(server.error());
  }
  std::string args = c.client_args;
  for (size_t at; (at = args.find("{pki}")) != std::string::npos;) args.replace(at, 5, pki.dir());
  const std::string out = RunCommand("openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) +
                                         " -servername localhost -CAfile " + pki.Cert("root") + " -ign_eof " +
                                         args + " 2>&1",
                                     "GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  for (const char* want : c.expected) EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
  const int pid = server.pid();
  server.Stop();
  EXPECT_FALSE(GroupAlive(pid));
}

INSTANTIATE_TEST_SUITE_P(Configurations, OpenSslServerPeerTest, ::testing::ValuesIn(SServerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpenSslServerPeerFiles, ServesABulkFileAndWritesTheKeyLog) {
  if (!HaveCurl()) {
    TW_REQUIRE_OR_SKIP("curl not installed");
  }
  testsupport::OpenSslServerPeer::Options o;
  o.mode = testsupport::OpenSslServerPeer::Mode::kFiles;
  o.key_log = true;
  testsupport::OpenSslServerPeer server(o);
  const std::string bytes = testsupport::RandomBytes(16u << 20, 21);
  ASSERT_TRUE(server.WriteFile("bulk.bin", bytes));
  if (!server.Start()) {
    TW_REQUIRE_OR_SKIP(server.error());
  }
  const std::string port = std::to_string(server.port());
  const std::string digest = Curl("--http1.0 --cacert " + testsupport::TestPki::Get().Cert("root") +
                                  " --resolve localhost:" + port + ":127.0.0.1 https://localhost:" + port +
                                  "/bulk.bin | sha256sum | cut -c1-64");
  EXPECT_EQ(digest, RunCommand("sha256sum | cut -c1-64", bytes));
  EXPECT_NE(server.key_log().find("CLIENT_HANDSHAKE_TRAFFIC_SECRET"), std::string::npos) << server.key_log();
}

// ---------------------------------------------------------------------------------------------
// proxies, each in front of nginx

class ProxyPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveCurl()) {
      TW_REQUIRE_OR_SKIP("curl not installed");
    }
    if (!nginx_.Start()) {
      TW_REQUIRE_OR_SKIP(nginx_.error());
    }
    ASSERT_TRUE(nginx_.WriteFile("p.txt", "through the proxy\n"));
    target_ = nginx_.base_url() + "/p.txt";
  }

  // Checks that the daemon leaves nothing behind once stopped.
  static void ExpectStopsClean(testsupport::ProxyPeerBase& proxy) {
    const int pid = proxy.pid();
    const int port = proxy.port();
    ASSERT_GT(pid, 0);
    proxy.Stop();
    EXPECT_FALSE(GroupAlive(pid));
    EXPECT_FALSE(testsupport::PortAnswers(port));
  }

  testsupport::NginxPeer nginx_;
  std::string target_;
};

TEST_F(ProxyPeerTest, TinyproxyPlainConnectAndBasicAuth) {
  testsupport::TinyproxyPeer proxy;
  proxy.SetCredentials("tw", "secret");
  if (!proxy.Start()) {
    TW_REQUIRE_OR_SKIP(proxy.error());
  }
  EXPECT_EQ(Curl("-x " + proxy.url() + " --proxy-user tw:secret " + target_), "through the proxy\n")
      << proxy.log();
  EXPECT_EQ(Curl("-p -x " + proxy.url() + " --proxy-user tw:secret " + target_), "through the proxy\n")
      << proxy.log();
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -x " + proxy.url() + " " + target_), "407");
  // Other hosts are refused by the proxy itself (192.0.2.1 is a documentation address).
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -x " + proxy.url() + " --proxy-user tw:secret http://192.0.2.1/"),
            "403");
  EXPECT_NE(Curl("-p -x " + proxy.url() + " --proxy-user tw:secret http://192.0.2.1:81/").find("403"),
            std::string::npos);
  ExpectStopsClean(proxy);
}

TEST_F(ProxyPeerTest, DanteSocks4And5WithoutAuth) {
  testsupport::DantePeer proxy;
  if (!proxy.Start()) {
    TW_REQUIRE_OR_SKIP(proxy.error());
  }
  const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
  for (const char* flag : {"--socks4", "--socks5", "--socks5-hostname"}) {
    EXPECT_EQ(Curl(std::string(flag) + " " + at + " " + target_), "through the proxy\n") << flag << proxy.log();
  }
  ExpectStopsClean(proxy);
}

TEST_F(ProxyPeerTest, DanteSocks5UsernamePassword) {
  if (!testsupport::DantePeer::CanAuthenticate("twdante")) {
    TW_REQUIRE_OR_SKIP("dante's test account needs root");
  }
  // The machine's accounts are the same afterwards.
  const std::string accounts = testsupport::ReadFile("/etc/passwd") + testsupport::ReadFile("/etc/shadow");
  {
    const std::string password = testsupport::RandomPassword();
    testsupport::DantePeer proxy;
    proxy.SetCredentials("twdante", password);
    if (!proxy.Start()) {
      TW_REQUIRE_OR_SKIP(proxy.error());
    }
    const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
    EXPECT_EQ(Curl("--socks5 " + at + " --proxy-user twdante:" + password + " " + target_),
              "through the proxy\n")
        << proxy.log();
    int st = -1;
    Curl("--socks5 " + at + " --proxy-user twdante:wrong " + target_, &st);
    EXPECT_NE(st, 0);
    ExpectStopsClean(proxy);
  }
  EXPECT_EQ(testsupport::ReadFile("/etc/passwd") + testsupport::ReadFile("/etc/shadow"), accounts);
}

TEST_F(ProxyPeerTest, MicrosocksWithAndWithoutAuth) {
  {
    testsupport::MicrosocksPeer open_proxy;
    if (!open_proxy.Start()) {
      TW_REQUIRE_OR_SKIP(open_proxy.error());
    }
    const std::string at = "127.0.0.1:" + std::to_string(open_proxy.port());
    EXPECT_EQ(Curl("--socks5-hostname " + at + " " + target_), "through the proxy\n") << open_proxy.log();
    ExpectStopsClean(open_proxy);
  }
  testsupport::MicrosocksPeer proxy;
  proxy.SetCredentials("ms", "pw");
  ASSERT_TRUE(proxy.Start()) << proxy.error();
  const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
  EXPECT_EQ(Curl("--socks5 " + at + " --proxy-user ms:pw " + target_), "through the proxy\n") << proxy.log();
  int st = -1;
  Curl("--socks5 " + at + " " + target_, &st);
  EXPECT_NE(st, 0);
  ExpectStopsClean(proxy);
}

TEST_F(ProxyPeerTest, SquidBasicAuth) {
  testsupport::SquidPeer proxy;
  proxy.SetCredentials("sq", "sqpass");
  if (!proxy.Start()) {
    TW_REQUIRE_OR_SKIP(proxy.error());
  }
  EXPECT_EQ(Curl("-x " + proxy.url() + " --proxy-user sq:sqpass " + target_), "through the proxy\n") << proxy.log();
  EXPECT_EQ(Curl("-p -x " + proxy.url() + " --proxy-user sq:sqpass " + target_), "through the proxy\n")
      << proxy.log();
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -x " + proxy.url() + " --proxy-user sq:bad " + target_), "407");
  EXPECT_EQ(Curl("-o /dev/null -w '%{http_code}' -x " + proxy.url() + " --proxy-user sq:sqpass http://192.0.2.1/"),
            "403");
  ExpectStopsClean(proxy);
}

}  // namespace

namespace {

struct TempCase {
  const char* tmpdir;  // nullptr: unset
  bool own_root;       // the test's own folder is the root
};

class TempFolders : public ::testing::TestWithParam<TempCase> {};

TEST_P(TempFolders, FollowTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::string before = saved != nullptr ? saved : "";
  const std::string own = testsupport::MakeTempDir();
  ASSERT_FALSE(own.empty());
  const std::string value = GetParam().own_root ? own + "//" : (GetParam().tmpdir ? GetParam().tmpdir : "");
  if (GetParam().tmpdir == nullptr && !GetParam().own_root) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", value.c_str(), 1);
  }
  const std::string root = GetParam().own_root ? own : "/tmp";
  EXPECT_EQ(testsupport::TempRoot(), root);
  const std::string made = testsupport::MakeTempDir();
  EXPECT_EQ(made.rfind(root + "/tw_test_", 0), 0u) << made;
  int st = -1;
  testsupport::RunCommand("true", "input", &st);
  EXPECT_EQ(st, 0);
  rmdir(made.c_str());
  if (saved != nullptr) {
    setenv("TMPDIR", before.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  // Nothing else was left in the test's own folder.
  EXPECT_EQ(rmdir(own.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Roots, TempFolders,
                         ::testing::Values(TempCase{nullptr, false}, TempCase{"relative/dir", false},
                                           TempCase{nullptr, true}),
                         [](const ::testing::TestParamInfo<TempCase>& info) {
                           return info.param.own_root ? std::string("Absolute")
                                                      : info.param.tmpdir ? "Relative" : "Unset";
                         });

}  // namespace
