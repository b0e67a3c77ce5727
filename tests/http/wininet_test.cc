// The WinINet request path against a real nginx: verbs, failure pages, long heads, events on the
// caller's thread, interruption, and the library missing.

#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "http/http_client.h"
#include "http/wininet_request.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::NginxPeer;

// libcurl stands behind the library; without it there is nothing to test here.
#define REQUIRE_WININET()                                               \
  if (win::HMODULE m = win::LoadLibraryA("wininet.dll")) {              \
    win::FreeLibrary(m);                                                \
  } else {                                                              \
    TW_REQUIRE_OR_SKIP("libcurl (the WinINet stand-in) not installed"); \
  }

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Records where each event ran and what it carried.
class Client : public tw::HttpClient {
 public:
  Client() {
    SetTimeout(20, true);
    ConfigText("UseWinInet=true", nullptr);
  }
  std::thread::id owner = std::this_thread::get_id();
  int foreign_events = 0;
  int events = 0;
  int transfers = 0;
  int interrupt_after_blocks = -1;
  int last_percent = -2;
  std::string cookie;
  std::string big_header;

 protected:
  void Seen() {
    ++events;
    foreign_events += std::this_thread::get_id() != owner;
  }
  int FireConnected(int code, const char* d) override {
    return Seen(), HttpClient::FireConnected(code, d);
  }
  int FireSetCookie(const char* name, const char* value, const char* e, const char* d,
                    const char* p, int s) override {
    Seen();
    cookie = std::string(name) + "=" + value;
    return 0;
  }
  int FireHeader(const char* field, const char* value) override {
    Seen();
    if (std::string(field) == "X-Big") big_header = value;
    return 0;
  }
  int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) override {
    Seen();
    if (direction == 1) last_percent = percent;
    if (direction == 1 && ++transfers == interrupt_after_blocks)
      DoTransfer(tw::kHttpActionInterrupt);
    return 0;
  }
};

class WinInetNginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new NginxPeer();
    nginx_->SetSlowRate(2000);
    nginx_->EnableTls();
    nginx_->AddRedirect("/moved", 302, "/v/get.txt");
    nginx_->AddServerConfig(
        "location = /cookie { add_header Set-Cookie \"k=v1; Path=/\"; return 200 \"c\"; }");
    nginx_->AddServerConfig("location = /echo-cookie { return 200 \"[$http_cookie]\"; }");
    started_ = nginx_->Start();
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override {
    REQUIRE_WININET();
    if (!started_) TW_REQUIRE_OR_SKIP(nginx_->error());
    dir_ = testsupport::MakeTempDir();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Url(const std::string& path) { return nginx_->base_url() + path; }

  inline static NginxPeer* nginx_ = nullptr;
  inline static bool started_ = false;
  std::string dir_;
};

struct VerbCase {
  const char* name;
  int action;
  const char* path;
  const char* body;
  const char* attached;  // AttachedFile content sent after the body ("" for none)
  const char* config;    // a setting written first ("" for none)
  int result;
  const char* data;       // TransferredData afterwards (null: not checked)
  const char* root_file;  // the server's file afterwards ("" when gone, null: not checked)
  int last_percent;       // of the last response Transfer event (-2: none expected)
};

const VerbCase kVerbCases[] = {
    {"Get", tw::kHttpActionGet, "/v/get.txt", "", "", "", 0, "seed", "seed", 100},
    {"GetByLength", tw::kHttpActionGet, "/v/len.txt", "", "", "ReadContentLength=true", 0, "seed",
     "seed", 100},
    {"Put", tw::kHttpActionPut, "/v/put.txt", "put body", "", "", 0, nullptr, "put body", -2},
    {"PutFile", tw::kHttpActionPut, "/v/file.txt", "head-", "tail", "", 0, nullptr, "head-tail",
     -2},
    {"Delete", tw::kHttpActionDelete, "/v/del.txt", "", "", "", 0, nullptr, "", -2},
    {"Head", tw::kHttpActionHead, "/v/head.txt", "", "", "", 0, "", "seed", -2},
    {"Redirected", tw::kHttpActionGet, "/moved", "", "", "", 0, "seed", nullptr, 100},
    {"Missing", tw::kHttpActionGet, "/v/none.txt", "", "", "", 151, nullptr, nullptr, 100},
};

class WinInetVerbs : public WinInetNginx, public ::testing::WithParamInterface<VerbCase> {};

TEST_P(WinInetVerbs, ReachTheServer) {
  const VerbCase& v = GetParam();
  ASSERT_TRUE(nginx_->WriteFile(std::string(v.path).substr(1), "seed"));
  ASSERT_TRUE(nginx_->WriteFile("v/get.txt", "seed"));  // the redirect's target
  if (std::string(v.name) == "Missing") std::filesystem::remove(nginx_->root() + v.path);
  Client c;
  if (v.config[0] != 0) {
    ASSERT_EQ(c.ConfigText(v.config, nullptr), 0);
  }
  ASSERT_EQ(c.SetUrl(Url(v.path).c_str(), false), 0);
  c.SetPostData(v.body, static_cast<int>(strlen(v.body)));
  if (v.attached[0] != 0) {
    testsupport::WriteFile(dir_ + "/attached", v.attached);
    ASSERT_EQ(c.SetAttachedFile((dir_ + "/attached").c_str()), 0);
  }
  EXPECT_EQ(c.DoTransfer(v.action), v.result) << c.error_text().c_str();
  if (v.data != nullptr) {
    EXPECT_EQ(std::string(c.transferred_data().c_str()), v.data);
  }
  if (v.root_file != nullptr) {
    EXPECT_EQ(nginx_->ReadRootFile(std::string(v.path).substr(1)), v.root_file);
  }
  EXPECT_EQ(c.last_percent, v.last_percent);
  EXPECT_EQ(c.foreign_events, 0);
  EXPECT_GT(c.events, 0);
}

INSTANTIATE_TEST_SUITE_P(Verbs, WinInetVerbs, ::testing::ValuesIn(kVerbCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinInetNginx, FailurePageLeavesLocalFileAlone) {
  const std::string file = dir_ + "/keep.txt";
  testsupport::WriteFile(file, "precious");
  Client c;
  ASSERT_EQ(c.SetUrl(Url("/nothing-here").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file.c_str()), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(std::string(c.error_text().c_str()), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(c.status_code(), 404);
  EXPECT_NE(std::string(c.transferred_data().c_str()).find("404"), std::string::npos);
  EXPECT_EQ(testsupport::ReadFile(file), "precious");

  ASSERT_TRUE(nginx_->WriteFile("ok.txt", "fresh"));
  ASSERT_EQ(c.SetUrl(Url("/ok.txt").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
  EXPECT_EQ(testsupport::ReadFile(file), "fresh");
}

TEST_F(WinInetNginx, LongHeadIsReadWholeAndCookiesComeToTheCaller) {
  Client c;
  ASSERT_EQ(c.SetUrl(Url("/big-header").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
  EXPECT_EQ(c.big_header, std::string(NginxPeer::kBigHeaderBytes, 'b'));
  ASSERT_EQ(c.SetUrl(Url("/cookie").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
  EXPECT_EQ(c.cookie, "k=v1");
  EXPECT_EQ(c.foreign_events, 0);

  // The cookie goes back on later requests unless UseWinInetCookies is off.
  for (const char* on : {"true", "false"}) {
    ASSERT_EQ(c.ConfigText((std::string("UseWinInetCookies=") + on).c_str(), nullptr), 0);
    ASSERT_EQ(c.SetUrl(Url("/echo-cookie").c_str(), false), 0);
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
    EXPECT_STREQ(c.transferred_data().c_str(), std::string(on) == "true" ? "[k=v1]" : "[]");
  }
}

TEST_F(WinInetNginx, HttpsTrustFollowsTheSecurityFlags) {
  ASSERT_TRUE(nginx_->WriteFile("tls.txt", "secret"));
  // The test authority is not the system's: refused, unless an unknown authority is allowed.
  for (const char* flags : {"0", "16"}) {
    Client c;
    ASSERT_EQ(c.ConfigText((std::string("SSLSecurityFlags=") + flags).c_str(), nullptr), 0);
    ASSERT_EQ(c.SetUrl((nginx_->https_url() + "/tls.txt").c_str(), false), 0);
    const int rc = c.DoTransfer(tw::kHttpActionGet);
    if (std::string(flags) == "0") {
      EXPECT_EQ(rc, 12045);
      EXPECT_STREQ(c.error_text().c_str(), "Invalid Certification Authority.");
    } else {
      EXPECT_EQ(rc, 0) << c.error_text().c_str();
      EXPECT_STREQ(c.transferred_data().c_str(), "secret");
    }
  }
}

TEST_F(WinInetNginx, InterruptAndTimeoutEndTheWorker) {
  ASSERT_TRUE(nginx_->WriteFile("slow.bin", std::string(200000, 's')));
  const int threads = ThreadCount();
  struct Case {
    int interrupt_after_blocks;
    uint32_t timeout;
    const char* text;
  };
  for (const Case& k : {Case{1, 30, "Interrupted."}, Case{-1, 1, "Timeout."}}) {
    Client c;
    c.SetTimeout(k.timeout, true);
    c.interrupt_after_blocks = k.interrupt_after_blocks;
    ASSERT_EQ(c.SetUrl(Url("/slow/slow.bin").c_str(), false), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrInterrupted);
    EXPECT_STREQ(c.error_text().c_str(), k.text);
    // The whole body would take 100 s at the server's rate.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // A joined thread can stay listed for a moment while the kernel reaps it.
    for (int i = 0; i < 100 && ThreadCount() != threads; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(c.foreign_events, 0);
  }
}

TEST(WinInetPath, AnswerWithoutStatusLineIsAnError) {
  REQUIRE_WININET();
  testsupport::ScriptedPeer peer(
      {testsupport::ScriptedPeer::WaitHead(), testsupport::ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), 12152);
  EXPECT_STREQ(c.error_text().c_str(), "Http Invalid Server Response.");
}

TEST(WinInetPath, EndlessBodyFailsAtItsMemoryBound) {
  REQUIRE_WININET();
  using testsupport::ScriptedPeer;
  const std::string chunk = "10000\r\n" + std::string(65536, 'x') + "\r\n";
  for (const bool parsed : {true, false}) {
    ScriptedPeer peer({ScriptedPeer::WaitHead(), ScriptedPeer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"),
                       ScriptedPeer::Repeat(chunk, 0), ScriptedPeer::Close()});
    ASSERT_TRUE(peer.Start());
    Client c;
    parsed ? c.set_max_document_body(1 << 20) : c.set_max_unannounced_body(1 << 20);
    ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
    EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), 151) << parsed;
    EXPECT_NE(std::string(c.error_text().c_str()).find(parsed ? "1048576 bytes allowed" : "set TransferredDataLimit"), std::string::npos)
        << c.error_text().c_str();
  }
}

TEST(WinInetPath, UrlChecksAndMissingLibrary) {
  REQUIRE_WININET();
  Client c;
  ASSERT_EQ(c.SetUrl("ftp://127.0.0.1/x", false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrInvalidScheme);
  ASSERT_EQ(c.SetUrl("http://127.0.0.1:1/x", false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), 12029);
  EXPECT_STREQ(c.error_text().c_str(), "Internet Cannot Connect.");

  tw::UnbindWinInet();
  win::SetLibraryEnabled("wininet.dll", false);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), 126);
  EXPECT_STREQ(c.error_text().c_str(), "[126] (no description available)");
  win::SetLibraryEnabled("wininet.dll", true);
  tw::UnbindWinInet();
}

TEST(WinInetPath, ErrorAndStatusTables) {
  EXPECT_STREQ(tw::WinInetErrorText(12001), "Internet Out Of Handles.");
  EXPECT_STREQ(tw::WinInetErrorText(12150), "Http Header Not Found.");
  EXPECT_STREQ(tw::WinInetErrorText(12171), "Failed due to security check.");
  EXPECT_EQ(tw::WinInetErrorText(12035), nullptr);
  EXPECT_STREQ(tw::WinInetStatusText(200, 16), "Offline by user request.");
  EXPECT_STREQ(tw::WinInetStatusText(200, 7),
               "Moved between a secure (HTTPS) and a nonsecure (HTTP) site.");
  EXPECT_EQ(tw::WinInetStatusText(70, 0), nullptr);
  EXPECT_STREQ(tw::WinInetStatusText(999, 0), "Unknown state.");
}

}  // namespace
