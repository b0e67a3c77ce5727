// The wininet.dll stand-in over libcurl: loading and switching off, raw header queries, large
// bodies read in small pieces, status notifications, and a close from another thread.

#include "platform/wininet.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;

struct Handles {
  win::HINTERNET internet = nullptr, connection = nullptr, request = nullptr;
  ~Handles() {
    for (win::HINTERNET h : {request, connection, internet}) {
      if (h != nullptr) win::InternetCloseHandle(h);
    }
  }
};

std::vector<win::DWORD> notes;
void Note(win::HINTERNET, win::DWORD_PTR context, win::DWORD status, void*, win::DWORD) {
  if (context == 7) notes.push_back(status);
}

void Open(Handles& h, int port, const char* verb, const char* path) {
  h.internet = win::InternetOpenA("t", win::INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_NE(h.internet, nullptr);
  win::InternetSetStatusCallback(h.internet, &Note);
  h.connection =
      win::InternetConnectA(h.internet, "127.0.0.1", static_cast<win::INTERNET_PORT>(port), nullptr,
                            nullptr, win::INTERNET_SERVICE_HTTP, 0, 7);
  ASSERT_NE(h.connection, nullptr);
  h.request = win::HttpOpenRequestA(h.connection, verb, path, nullptr, nullptr, nullptr, 0, 7);
  ASSERT_NE(h.request, nullptr);
}

TEST(WinInetStandIn, LoadsUnlessSwitchedOff) {
  if (win::WinInetExports().empty()) TW_REQUIRE_OR_SKIP("libcurl not installed");
  win::HMODULE m = win::LoadLibraryA("WININET");
  ASSERT_NE(m, nullptr);
  for (const char* name : {"InternetCloseHandle", "InternetReadFile", "HttpQueryInfoA",
                           "HttpSendRequestA", "HttpAddRequestHeadersA", "HttpOpenRequestA",
                           "InternetConnectA", "InternetSetStatusCallback", "InternetOpenA",
                           "InternetSetOptionA", "InternetQueryOptionA"}) {
    EXPECT_NE(win::GetProcAddress(m, name), nullptr) << name;
  }
  win::FreeLibrary(m);
  win::SetLibraryEnabled("wininet.dll", false);
  EXPECT_EQ(win::LoadLibraryA("wininet.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), 126u);
  win::SetLibraryEnabled("wininet.dll", true);
}

TEST(WinInetStandIn, HeadersBodyAndNotifications) {
  if (win::WinInetExports().empty()) TW_REQUIRE_OR_SKIP("libcurl not installed");
  const std::string body = testsupport::RandomBytes(3 << 20, 9);
  ScriptedPeer peer({ScriptedPeer::WaitHead(),
                     ScriptedPeer::Send(ScriptedPeer::HttpResponse(
                         body, "X-Long: " + std::string(6000, 'l') + "\r\n")),
                     ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  Handles h;
  notes.clear();
  Open(h, peer.port(), "GET", "/big");
  ASSERT_TRUE(win::HttpSendRequestA(h.request, nullptr, 0, nullptr, 0)) << win::GetLastError();
  EXPECT_EQ(notes, (std::vector<win::DWORD>{30, 31, 40, 41}));

  char small[64];
  win::DWORD length = sizeof small;
  EXPECT_FALSE(
      win::HttpQueryInfoA(h.request, win::HTTP_QUERY_RAW_HEADERS_CRLF, small, &length, nullptr));
  EXPECT_EQ(win::GetLastError(), static_cast<win::DWORD>(win::ERROR_INSUFFICIENT_BUFFER));
  std::string head(length, '\0');
  ASSERT_TRUE(win::HttpQueryInfoA(h.request, win::HTTP_QUERY_RAW_HEADERS_CRLF, head.data(), &length,
                                  nullptr));
  head.resize(length);
  EXPECT_EQ(head.compare(0, 15, "HTTP/1.1 200 OK"), 0) << head;
  EXPECT_NE(head.find("X-Long: " + std::string(6000, 'l') + "\r\n"), std::string::npos);
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");

  // Read in small pieces: the transfer is paused and resumed many times over.
  std::string got;
  char block[2000];
  win::DWORD n = 0;
  while (win::InternetReadFile(h.request, block, sizeof block, &n) && n > 0) got.append(block, n);
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
}

TEST(WinInetStandIn, CloseFromAnotherThreadEndsABlockedSend) {
  if (win::WinInetExports().empty()) TW_REQUIRE_OR_SKIP("libcurl not installed");
  ScriptedPeer peer({ScriptedPeer::WaitHead(), ScriptedPeer::Sleep(20000), ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  Handles h;
  Open(h, peer.port(), "DELETE", "/x");
  win::BOOL sent = win::TRUE;
  win::DWORD error = 0;
  std::thread sender([&] {
    sent = win::HttpSendRequestA(h.request, nullptr, 0, nullptr, 0);
    error = win::GetLastError();
  });
  // Closed once the request is at the server, while the send waits for its answer.
  while (peer.request(0).find("\r\n\r\n") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(win::InternetCloseHandle(h.request));
  sender.join();
  h.request = nullptr;
  EXPECT_FALSE(sent);
  EXPECT_EQ(error, win::ERROR_INTERNET_OPERATION_CANCELLED);
}

}  // namespace
