#include "http/transfer_client.h"
#include "net/name_resolution.h"
#include "platform/library.h"
#include "platform/sspi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Accepts one connection on 127.0.0.1 and runs the script on it.
class ScriptedPeer {
 public:
  using Script = std::function<void(win::SOCKET)>;

  explicit ScriptedPeer(Script script) {
    win::WSADATA data;
    win::WSAStartup(win::MAKEWORD(2, 2), &data);
    listener_ = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
    win::sockaddr_in a{};
    a.sin_family = win::AF_INET;
    a.sin_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
    win::bind(listener_, reinterpret_cast<const win::sockaddr*>(&a), sizeof(a));
    win::listen(listener_, 4);
    int len = sizeof(a);
    win::getsockname(listener_, reinterpret_cast<win::sockaddr*>(&a), &len);
    port_ = win::ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
      win::fd_set readable;
      readable.Add(listener_);
      const win::timeval wait{10, 0};
      if (win::select(0, &readable, nullptr, nullptr, &wait) < 1) return;
      win::SOCKET s = win::accept(listener_, nullptr, nullptr);
      if (s == win::INVALID_SOCKET) return;
      script(s);
      win::closesocket(s);
    });
  }
  ~ScriptedPeer() {
    Join();
    win::closesocket(listener_);
    win::WSACleanup();
  }
  int port() const { return port_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  win::SOCKET listener_ = win::INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
};

void ReadToEnd(win::SOCKET s, std::string* out) {
  char buffer[16384];
  for (;;) {
    const int n = win::recv(s, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    if (out != nullptr) out->append(buffer, static_cast<size_t>(n));
  }
}

void SendText(win::SOCKET s, const std::string& text) {
  win::send(s, text.data(), static_cast<int>(text.size()), 0);
}

// Slots of the events the tests look at, with a hook called after each.
class Sink : public tw::EventSink {
 public:
  void SetCodePage(int) override {}
  int Fire(int slot, std::span<void* const> args) override {
    slots.push_back(slot);
    if (hook) hook(slot, args);
    return 0;
  }
  int Count(int slot) const {
    int n = 0;
    for (int s : slots) n += s == slot ? 1 : 0;
    return n;
  }
  std::vector<int> slots;
  std::function<void(int, std::span<void* const>)> hook;
};

class Client : public tw::BodyTransferClient {
 public:
  Client() { set_event_sink(&sink); }
  ~Client() override { set_event_sink(nullptr); }

  int BodyProgress64(int64_t count) override {
    progress.push_back(count);
    pieces.push_back(TransferText());
    return stop_at_progress == static_cast<int>(progress.size()) ? 1 : 0;
  }

  Sink sink;
  std::vector<int64_t> progress;
  std::vector<std::string> pieces;
  int stop_at_progress = 0;
};

int Set(Client& c, const std::string& setting) { return c.ConfigText(setting.c_str(), nullptr); }

std::string Get(Client& c, const char* name) {
  const char* answer = "";
  c.ConfigText(name, &answer);
  return answer;
}

void Target(Client& c, int port) {
  ASSERT_EQ(c.SetRemoteHost("127.0.0.1"), 0);
  ASSERT_EQ(c.SetRemotePort(port), 0);
}

class Modes : public ::testing::TestWithParam<bool> {
 protected:
  void Configure(Client& c) {
    ASSERT_EQ(Set(c, GetParam() ? "UseWindowsMessages=true" : "UseWindowsMessages=false"), 0);
  }
};
INSTANTIATE_TEST_SUITE_P(Messages, Modes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Window" : "Select"; });

// ---- Waiting: time-out, interrupt, CPU ----

TEST_P(Modes, SilentPeerTimesOutAfterOneSecondWithoutBurningCpu) {
  ScriptedPeer peer([](win::SOCKET s) { ReadToEnd(s, nullptr); });
  Client c;
  Configure(c);
  Target(c, peer.port());
  c.SetTimeout(1, true);
  ASSERT_EQ(c.ConnectAndWait(), 0) << c.error_text().c_str();
  const auto start = Clock::now();
  const double cpu_start = ThreadCpuSeconds();
  EXPECT_EQ(c.ReceiveData(true), tw::kErrInterrupted);
  const double wall = SecondsSince(start);
  const double cpu = ThreadCpuSeconds() - cpu_start;
  EXPECT_STREQ(c.error_text().c_str(), "Timeout.");
  EXPECT_GT(wall, 0.9);
  EXPECT_LT(wall, 3.0);
  EXPECT_LT(cpu, 0.25 * wall) << "cpu " << cpu << " s over " << wall << " s";
  c.Disconnect();
}

TEST_P(Modes, InterruptFromTheConnectedEventEndsTheConnect) {
  ScriptedPeer peer([](win::SOCKET s) { ReadToEnd(s, nullptr); });
  Client c;
  Configure(c);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  c.sink.hook = [&](int slot, std::span<void* const>) {
    if (slot == tw::kEventConnected) c.Interrupt();
  };
  const auto start = Clock::now();
  EXPECT_EQ(c.ConnectAndWait(), tw::kErrInterrupted);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
  EXPECT_FALSE(c.HasSocket());
  EXPECT_EQ(c.GetTimeout(), 10u);
}

TEST_P(Modes, InterruptFromTheDataInEventEndsTheReceive) {
  ScriptedPeer peer([](win::SOCKET s) {
    SendText(s, "hello");
    ReadToEnd(s, nullptr);
  });
  Client c;
  Configure(c);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  c.sink.hook = [&](int slot, std::span<void* const>) {
    if (slot == tw::kEventDataIn) c.Interrupt();
  };
  const auto start = Clock::now();
  EXPECT_EQ(c.ReceiveData(false), tw::kErrInterrupted);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
  EXPECT_EQ(std::string(c.received().c_str()), "hello");
  c.Disconnect();
}

// ---- Connect results ----

TEST_P(Modes, ClosedPortIsRefused) {
  Client c;
  Configure(c);
  Target(c, testsupport::ClosedPort());
  c.SetTimeout(10, true);
  const auto start = Clock::now();
  EXPECT_EQ(c.ConnectAndWait(), 10061);
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_STREQ(c.error_text().c_str(), "[10061] Connection refused");
  EXPECT_EQ(c.connect_error_code(), 10061);
  EXPECT_FALSE(c.HasSocket());
}

// A peer that takes the ClientHello and hangs up ends the wait at once.
TEST_P(Modes, FailedHandshakeEndsTheConnectAtOnce) {
  ScriptedPeer peer([](win::SOCKET s) {
    char hello[512];
    win::recv(s, hello, sizeof hello, 0);
  });
  Client c;
  Configure(c);
  ASSERT_EQ(Set(c, "UseInternalSecurityAPI=true"), 0);
  ASSERT_EQ(c.EnableTls(true), 0);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  const auto start = Clock::now();
  EXPECT_EQ(c.ConnectAndWait(), tw::kErrTlsProtocol);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_STREQ(c.error_text().c_str(), "Remote host disconnected during SSL negotiation.");
  EXPECT_FALSE(c.IsConnected());
  EXPECT_FALSE(c.HasSocket());
}

TEST(TransferClient, ConnectSwitchWithoutTimeoutOnlyStartsTheConnection) {
  ScriptedPeer peer([](win::SOCKET s) { ReadToEnd(s, nullptr); });
  Client c;
  ASSERT_EQ(c.EnableTls(true), 0);  // start mode 3 switches TLS off first
  Target(c, peer.port());
  ASSERT_EQ(c.SetConnectedSwitch(true), 0);
  EXPECT_TRUE(c.HasSocket());
  EXPECT_FALSE(c.IsConnected());
  EXPECT_FALSE(c.tls_active());
  // Waiting for it afterwards does not start a second one.
  c.SetTimeout(10, true);
  EXPECT_EQ(c.ConnectAndWait(), 0) << c.error_text().c_str();
  EXPECT_TRUE(c.IsConnected());
  EXPECT_EQ(c.SetConnectedSwitch(false), 0);
  EXPECT_FALSE(c.HasSocket());
}

TEST(TransferClient, PlatformTlsWithoutItsLibraryFailsWithoutConnecting) {
  tw::ReleaseSecurityInterface();
  win::SetLibraryEnabled(win::kLibsslName, false);
  Client c;
  ASSERT_EQ(c.EnableTls(true), 0);
  Target(c, testsupport::FreePort());
  c.SetTimeout(10, true);
  EXPECT_EQ(c.ConnectAndWait(), tw::kErrSecurityLibrary);
  EXPECT_STREQ(c.error_text().c_str(), tw::kTextSecurityLibraryMissing);
  EXPECT_FALSE(c.HasSocket());
  win::SetLibraryEnabled(win::kLibsslName, true);
  tw::ReleaseSecurityInterface();
}

TEST(TransferClient, ConnectionTimeoutStandsInForTimeout) {
  // A listener whose accept queue is full: further handshakes are not answered.
  win::WSADATA data;
  win::WSAStartup(win::MAKEWORD(2, 2), &data);
  win::SOCKET listener = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
  win::sockaddr_in a{};
  a.sin_family = win::AF_INET;
  a.sin_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
  ASSERT_EQ(win::bind(listener, reinterpret_cast<const win::sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(win::listen(listener, 0), 0);
  int len = sizeof(a);
  win::getsockname(listener, reinterpret_cast<win::sockaddr*>(&a), &len);
  std::vector<win::SOCKET> fillers;
  for (int i = 0; i < 2; ++i) {
    win::SOCKET f = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
    win::u_long on = 1;
    win::ioctlsocket(f, win::FIONBIO, &on);  // a filler that is not answered must not block
    win::connect(f, reinterpret_cast<const win::sockaddr*>(&a), sizeof(a));
    fillers.push_back(f);
  }
  // The first filler's handshake completes into the one-entry queue, which is then full; the
  // second one's (and the client's) are dropped.
  bool queue_full = false;
  for (const auto deadline = Clock::now() + std::chrono::seconds(10);
       !queue_full && Clock::now() < deadline;) {
    win::fd_set writable;
    writable.Add(fillers[0]);
    const win::timeval step{0, 10000};
    queue_full = win::select(0, nullptr, &writable, nullptr, &step) == 1;
  }
  ASSERT_TRUE(queue_full);

  Client c;
  Target(c, win::ntohs(a.sin_port));
  c.SetTimeout(60, true);
  ASSERT_EQ(Set(c, "ConnectionTimeout=1"), 0);
  const auto start = Clock::now();
  const int rc = c.ConnectAndWait();
  const double seconds = SecondsSince(start);
  const auto cleanup = [&] {
    for (win::SOCKET f : fillers) win::closesocket(f);
    win::closesocket(listener);
    win::WSACleanup();
  };
  EXPECT_EQ(rc, tw::kErrInterrupted);
  EXPECT_STREQ(c.error_text().c_str(), "Timeout.");
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(c.GetTimeout(), 60u);
  EXPECT_FALSE(c.HasSocket());
  cleanup();
}

// ---- Sending in pieces ----

TEST(TransferClient, BodyGoesOutInPiecesWithProgress) {
  std::string body(40000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  std::string received;
  ScriptedPeer peer([&](win::SOCKET s) { ReadToEnd(s, &received); });
  Client c;
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  EXPECT_EQ(Get(c, "TransferText"), "");
  ASSERT_EQ(c.SendPieces(body.data(), static_cast<int>(body.size()), 16384, false), 0);
  EXPECT_EQ(c.progress, (std::vector<int64_t>{16384, 32768, 40000}));
  ASSERT_EQ(c.pieces.size(), 3u);
  EXPECT_EQ(c.pieces[0], body.substr(0, 16384));
  EXPECT_EQ(c.pieces[1], body.substr(16384, 16384));
  EXPECT_EQ(c.pieces[2], body.substr(32768));
  EXPECT_EQ(Get(c, "TransferText"), "");
  c.Disconnect();
  peer.Join();
  EXPECT_TRUE(received == body);
}

TEST(TransferClient, NonzeroProgressStopsTheBody) {
  std::string body(40000, 'z');
  std::string received;
  ScriptedPeer peer([&](win::SOCKET s) { ReadToEnd(s, &received); });
  Client c;
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  c.stop_at_progress = 2;
  EXPECT_EQ(c.SendPieces(body.data(), static_cast<int>(body.size()), 16384, false), 1);
  c.Disconnect();
  peer.Join();
  EXPECT_EQ(received.size(), 32768u);
}

// ---- Receiving records ----

TEST_P(Modes, OneRecordAtATime) {
  ScriptedPeer peer([](win::SOCKET s) {
    SendText(s, "first line\r\nsecond\r\n");
    ReadToEnd(s, nullptr);
  });
  Client c;
  Configure(c);
  ASSERT_EQ(c.SetEol("\r\n", 2), 0);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  ASSERT_EQ(c.ReceiveData(true), 0);
  EXPECT_EQ(std::string(c.received().c_str()), "first line");
  EXPECT_FALSE(c.accept_data());
  c.ClearReceived();
  ASSERT_EQ(c.ReceiveData(true), 0);
  EXPECT_EQ(std::string(c.received().c_str()), "second");
  c.Disconnect();
}

TEST(TransferClient, RecordsLeftAtCloseStillReachTheReader) {
  ScriptedPeer peer([](win::SOCKET s) { SendText(s, "first\nsecond\nthird"); });
  Client c;
  ASSERT_EQ(c.SetEol("\n", 1), 0);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  ASSERT_EQ(c.ReceiveData(true), 0);
  EXPECT_EQ(std::string(c.received().c_str()), "first");
  // The caller's own message loop runs while no data is accepted: the close comes through.
  peer.Join();
  const auto start = Clock::now();
  while (c.HasSocket() && SecondsSince(start) < 5) c.WaitOnce();
  ASSERT_FALSE(c.HasSocket());
  c.ClearReceived();
  ASSERT_EQ(c.ReceiveData(true), 0);
  EXPECT_EQ(std::string(c.received().c_str()), "second");
  c.ClearReceived();
  EXPECT_EQ(c.ReceiveData(true), 10057);
  EXPECT_EQ(std::string(c.received().c_str()), "third");
}

TEST(TransferClient, CloseBeforeTheRecordIsNotConnected) {
  ScriptedPeer peer([](win::SOCKET s) { SendText(s, "partial"); });
  Client c;
  ASSERT_EQ(c.SetEol("\n", 1), 0);
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  EXPECT_EQ(c.ReceiveData(true), 10057);
  EXPECT_STREQ(c.error_text().c_str(), "[10057] Socket is not connected");
  // The partial record still reached the caller.
  EXPECT_EQ(std::string(c.received().c_str()), "partial");
}

TEST(TransferClient, ReceiveUntilCloseCollectsEverything) {
  std::string payload(200000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13);
  ScriptedPeer peer([&](win::SOCKET s) {
    win::send(s, payload.data(), static_cast<int>(payload.size()), 0);
  });
  Client c;
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  ASSERT_EQ(c.ReceiveData(false), 0);
  EXPECT_EQ(c.received().length(), static_cast<int>(payload.size()));
  EXPECT_TRUE(std::string(c.received().data(), static_cast<size_t>(c.received().length())) ==
              payload);
  EXPECT_EQ(c.sink.Count(tw::kEventDisconnected), 1);
}

// ---- Reusing the connection ----

TEST(TransferClient, SameRemoteHostKeepsTheConnection) {
  ScriptedPeer peer([](win::SOCKET s) { ReadToEnd(s, nullptr); });
  Client c;
  Target(c, peer.port());
  c.SetTimeout(10, true);
  ASSERT_EQ(c.ConnectAndWait(), 0);
  ASSERT_EQ(c.SetRemoteHost("127.0.0.1"), 0);
  ASSERT_EQ(c.SetRemotePort(peer.port()), 0);
  EXPECT_TRUE(c.IsConnected());
  ASSERT_EQ(c.SetRemoteHost("localhost"), 0);
  EXPECT_FALSE(c.HasSocket());
  EXPECT_EQ(std::string(c.remote_host().c_str()), "localhost");
}

// ---- Settings ----

TEST(TransferClient, SettingsReadBack) {
  Client c;
  EXPECT_EQ(Get(c, "UseExtendedDST"), "1");
  ASSERT_EQ(Set(c, "UseExtendedDST=false"), 0);
  EXPECT_EQ(Get(c, "UseExtendedDST"), "0");
  EXPECT_EQ(Get(c, "CloseStreamAfterTransfer"), "True");
  EXPECT_EQ(Get(c, "MaskSensitive"), "0");
  ASSERT_EQ(Set(c, "MaskSensitive=yes"), 0);
  EXPECT_EQ(Get(c, "MaskSensitive"), "1");
  EXPECT_EQ(Get(c, "ConnectionTimeout"), "0");
  ASSERT_EQ(Set(c, "ALPNExtension=h2,http/1.1"), 0);
  EXPECT_EQ(Get(c, "ALPNExtension"), "h2,http/1.1");
  EXPECT_EQ(Get(c, "TransferText"), "");
  // Names of the classes below answer through the chain.
  EXPECT_EQ(Get(c, "MaxLineLength"), "2048");
  EXPECT_EQ(Get(c, "ParseSSLServerCert"), "False");
}

}  // namespace
