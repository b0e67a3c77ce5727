#include "net/socket_component.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "certs/cert_manager.h"
#include "net/library_startup.h"
#include "platform/library.h"
#include "net/winsock_errors.h"
#include "platform/time.h"
#include "platform/window.h"
#include "platform/winsock.h"
#include "tests/support/test_support.h"

namespace {

using tw::SocketComponent;

constexpr win::UINT kPokeMessage = win::WM_USER + 200;

double ThreadCpuMillis() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Note {
  unsigned event;
  unsigned error;
};

// A socket component that notes the notifications its WindowProc receives and can run a hook on
// them; it owns the socket it is given.
class TestSocket : public SocketComponent {
 public:
  ~TestSocket() override { CloseOwnSocket(); }

  intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    if (message == tw::kTcpSocketMessage) {
      notes.push_back({win::WSAGETSELECTEVENT(lparam), win::WSAGETSELECTERROR(lparam)});
      if (on_note) on_note(win::WSAGETSELECTEVENT(lparam));
      return 0;
    }
    if (message == kPokeMessage) {
      if (on_poke) on_poke();
      return 0;
    }
    return SocketComponent::WindowProc(message, wparam, lparam);
  }

  void Adopt(win::SOCKET s) { socket_ = s; }
  void CloseOwnSocket() {
    if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }
  void SetRecvError(int error) { last_recv_error_ = error; }
  void WantRead(bool on) { SetReadNotification(on); }
  int Configure(const std::string& text) { return ConfigText(text.c_str(), nullptr); }
  std::string Read(const std::string& name) {
    const char* answer = "";
    EXPECT_EQ(ConfigText(name.c_str(), &answer), 0) << name;
    return answer;
  }
  bool Saw(unsigned event, unsigned error) const {
    for (const Note& n : notes) {
      if (n.event == event && n.error == error) return true;
    }
    return false;
  }

  std::vector<Note> notes;
  std::function<void(unsigned)> on_note;
  std::function<void()> on_poke;
};

// Runs wait steps until one ends the wait (what every blocking loop does), with a safety limit.
int WaitUntilEnded(SocketComponent& c, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (c.WaitOnce() == tw::kWaitEnded) return tw::kErrInterrupted;
  }
  return 0;
}

win::sockaddr_in Loopback(int port) {
  win::sockaddr_in a{};
  a.sin_family = win::AF_INET;
  a.sin_port = win::htons(static_cast<win::u_short>(port));
  a.sin_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
  return a;
}

// A connected pair on 127.0.0.1: {client, server side}.
std::pair<win::SOCKET, win::SOCKET> ConnectedPair() {
  win::SOCKET listener = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
  win::sockaddr_in any = Loopback(0);
  EXPECT_EQ(win::bind(listener, reinterpret_cast<win::sockaddr*>(&any), sizeof any), 0);
  EXPECT_EQ(win::listen(listener, 1), 0);
  win::sockaddr_in bound{};
  int len = sizeof bound;
  win::getsockname(listener, reinterpret_cast<win::sockaddr*>(&bound), &len);
  win::SOCKET client = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
  EXPECT_EQ(win::connect(client, reinterpret_cast<win::sockaddr*>(&bound), sizeof bound), 0);
  win::SOCKET server = win::accept(listener, nullptr, nullptr);
  win::closesocket(listener);
  return {client, server};
}

class SocketComponentTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    tw::LibraryStartup();
    ASSERT_EQ(tw::WinsockStatus(), 0);
  }
};

INSTANTIATE_TEST_SUITE_P(BothModes, SocketComponentTest, ::testing::Values(true, false),
                         [](const auto& info) {
                           return info.param ? std::string("WindowMessages")
                                             : std::string("Select");
                         });

// Timeout 1: the wait ends after about a second with "Timeout.", and the waiting itself leaves the
// processor alone (a select wait without a socket must sleep, not spin).
TEST_P(SocketComponentTest, TimeoutEndsTheWaitWithoutSpinning) {
  TestSocket c;
  ASSERT_NE(c.window(), nullptr);
  ASSERT_EQ(c.SetUseWindowsMessages(GetParam()), 0);
  c.SetTimeout(1, true);
  c.ArmTimeout();
  const double cpu = ThreadCpuMillis();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitUntilEnded(c, std::chrono::seconds(10)), tw::kErrInterrupted);
  const double wall = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now() - start).count();
  const double used = ThreadCpuMillis() - cpu;
  EXPECT_STREQ(c.error_text().c_str(), "Timeout.");
  EXPECT_FALSE(c.interrupted());
  EXPECT_GE(wall, 800.0);
  EXPECT_LE(wall, 3000.0);
  EXPECT_LT(used, wall * 0.25) << "cpu " << used << " ms over " << wall << " ms";
}

// Timeout 0 has no deadline: steps go on until something ends them.
TEST_P(SocketComponentTest, NoDeadlineWithoutTimeout) {
  TestSocket c;
  ASSERT_EQ(c.SetUseWindowsMessages(GetParam()), 0);
  c.ArmTimeout();
  EXPECT_EQ(c.timeout_deadline(), 0u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c.WaitStep(1, c.window()), tw::kWaitGoOn);
}

// An event handler that calls Interrupt ends the running wait with "Interrupted."; with window
// messages the handler runs for a posted message, in select mode for a socket notification.
TEST_P(SocketComponentTest, InterruptFromAHandlerEndsTheWait) {
  TestSocket c;
  ASSERT_EQ(c.SetUseWindowsMessages(GetParam()), 0);
  c.SetTimeout(20, true);
  c.ArmTimeout();
  auto [client, server] = ConnectedPair();
  if (GetParam()) {
    win::closesocket(client);
    win::closesocket(server);
    c.on_poke = [&c] { c.Interrupt(); };
    ASSERT_TRUE(win::PostMessageA(c.window(), kPokeMessage, 0, 0));
  } else {
    c.Adopt(server);
    ASSERT_EQ(c.SelectEvents(server, c.window(), tw::kTcpSocketMessage,
                             win::FD_READ | win::FD_CLOSE),
              0);
    c.on_note = [&c](unsigned event) {
      if (event != win::FD_READ) return;
      char byte;
      win::recv(c.socket_handle(), &byte, 1, 0);
      c.Interrupt();
    };
    ASSERT_EQ(win::send(client, "x", 1, 0), 1);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitUntilEnded(c, std::chrono::seconds(10)), tw::kErrInterrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
  EXPECT_TRUE(c.interrupted());
  EXPECT_FALSE(c.interrupt_requested());
  if (!GetParam()) {
    EXPECT_TRUE(c.Saw(win::FD_READ, 0));
    c.CloseOwnSocket();
    win::closesocket(client);
  }
}

// An interrupt requested before the wait ends the very first step.
TEST_P(SocketComponentTest, PendingInterruptEndsTheFirstStep) {
  TestSocket c;
  ASSERT_EQ(c.SetUseWindowsMessages(GetParam()), 0);
  c.Interrupt();
  EXPECT_EQ(c.WaitOnce(), tw::kWaitEnded);
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
  EXPECT_EQ(c.WaitStep(1, c.window()), tw::kWaitGoOn);  // the request was taken
}

// A handler that clears the busy flag of a blocking operation ends its wait.
TEST(SocketComponentWait, ClearingBusyInAHandlerInterrupts) {
  tw::LibraryStartup();
  TestSocket c;
  c.set_busy(true);
  c.on_poke = [&c] { c.set_busy(false); };
  ASSERT_TRUE(win::PostMessageA(c.window(), kPokeMessage, 0, 0));
  EXPECT_EQ(WaitUntilEnded(c, std::chrono::seconds(5)), tw::kErrInterrupted);
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
}

// A WM_QUIT met in a wait ends it and is posted again for the caller's own loop.
TEST(SocketComponentWait, QuitEndsTheWaitAndIsPostedAgain) {
  tw::LibraryStartup();
  TestSocket c;
  c.SetTimeout(20, true);
  c.ArmTimeout();
  win::PostQuitMessage(7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitUntilEnded(c, std::chrono::seconds(10)), tw::kErrInterrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  win::MSG msg{};
  ASSERT_TRUE(win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(msg.message, win::WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE));
}

// WM_CLOSE to the hidden window ends the wait, and with the window gone no step goes on.
TEST(SocketComponentWait, CloseEndsTheWaitAndLosesTheWindow) {
  tw::LibraryStartup();
  TestSocket c;
  win::HWND window = c.window();
  ASSERT_TRUE(win::PostMessageA(window, win::WM_CLOSE, 0, 0));
  EXPECT_EQ(WaitUntilEnded(c, std::chrono::seconds(5)), tw::kErrInterrupted);
  EXPECT_FALSE(win::IsWindow(window));
  EXPECT_EQ(c.window(), nullptr);
  EXPECT_EQ(c.WaitOnce(), tw::kWaitEnded);
}

// With IgnoreExternalEvents, messages outside a wait step's dispatch are dropped by the base.
TEST(SocketComponentWait, ExternalEventsCanBeIgnored) {
  tw::LibraryStartup();
  TestSocket c;
  ASSERT_EQ(c.Configure("IgnoreExternalEvents=true"), 0);
  win::HWND window = c.window();
  // WM_CLOSE sent directly (outside a dispatch) would destroy the window through the default.
  win::SendMessageA(window, win::WM_CLOSE, 0, 0);
  EXPECT_TRUE(win::IsWindow(window));
  ASSERT_EQ(c.Configure("IgnoreExternalEvents=false"), 0);
  win::SendMessageA(window, win::WM_CLOSE, 0, 0);
  EXPECT_FALSE(win::IsWindow(window));
}

// Select mode reports a refused connect as FD_CONNECT with the SO_ERROR code, and a completed
// one as FD_CONNECT 0 followed by one FD_WRITE.
TEST(SocketComponentSelect, ConnectOutcomesAreNotified) {
  tw::LibraryStartup();
  for (bool refused : {true, false}) {
    SCOPED_TRACE(refused ? "refused" : "accepted");
    TestSocket c;
    ASSERT_EQ(c.SetUseWindowsMessages(false), 0);
    win::SOCKET listener = win::INVALID_SOCKET;
    int port = testsupport::ClosedPort();
    if (!refused) {
      listener = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
      win::sockaddr_in a = Loopback(0);
      ASSERT_EQ(win::bind(listener, reinterpret_cast<win::sockaddr*>(&a), sizeof a), 0);
      ASSERT_EQ(win::listen(listener, 1), 0);
      int len = sizeof a;
      win::getsockname(listener, reinterpret_cast<win::sockaddr*>(&a), &len);
      port = win::ntohs(a.sin_port);
    }
    win::SOCKET s = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
    c.Adopt(s);
    ASSERT_EQ(c.SelectEvents(s, c.window(), tw::kTcpSocketMessage,
                             win::FD_READ | win::FD_WRITE | win::FD_CONNECT | win::FD_CLOSE),
              0);
    win::sockaddr_in to = Loopback(port);
    int rc = win::connect(s, reinterpret_cast<win::sockaddr*>(&to), sizeof to);
    if (rc != 0) {
      ASSERT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
    }
    bool connect_seen = false;
    c.on_note = [&](unsigned event) {
      if (event == win::FD_CONNECT) connect_seen = true;
    };
    for (int i = 0; i < 200 && (!connect_seen || (!refused && c.notes.size() < 2)); ++i) {
      c.WaitStep(20, c.window());
    }
    ASSERT_FALSE(c.notes.empty());
    EXPECT_EQ(c.notes[0].event, static_cast<unsigned>(win::FD_CONNECT));
    if (refused) {
      EXPECT_EQ(c.notes[0].error, static_cast<unsigned>(win::WSAECONNREFUSED));
    } else {
      EXPECT_EQ(c.notes[0].error, 0u);
      ASSERT_GE(c.notes.size(), 2u);
      EXPECT_EQ(c.notes[1].event, static_cast<unsigned>(win::FD_WRITE));
      // FD_WRITE is not repeated until a send would block.
      for (int i = 0; i < 3; ++i) c.WaitStep(5, c.window());
      int writes = 0;
      for (const Note& n : c.notes) writes += n.event == win::FD_WRITE;
      EXPECT_EQ(writes, 1);
      win::closesocket(listener);
    }
  }
}

// A receive error recorded by the read handler (other than would-block) becomes FD_CLOSE.
TEST(SocketComponentSelect, ReceiveErrorBecomesClose) {
  tw::LibraryStartup();
  TestSocket c;
  ASSERT_EQ(c.SetUseWindowsMessages(false), 0);
  auto [client, server] = ConnectedPair();
  c.Adopt(server);
  ASSERT_EQ(c.SelectEvents(server, c.window(), tw::kTcpSocketMessage,
                           win::FD_READ | win::FD_CLOSE),
            0);
  c.on_note = [&c](unsigned event) {
    if (event == win::FD_READ) c.SetRecvError(win::WSAECONNRESET);
  };
  ASSERT_EQ(win::send(client, "x", 1, 0), 1);
  for (int i = 0; i < 100 && c.notes.size() < 2; ++i) c.WaitStep(20, c.window());
  ASSERT_EQ(c.notes.size(), 2u);
  EXPECT_EQ(c.notes[0].event, static_cast<unsigned>(win::FD_READ));
  EXPECT_EQ(c.notes[1].event, static_cast<unsigned>(win::FD_CLOSE));
  EXPECT_EQ(c.notes[1].error, static_cast<unsigned>(win::WSAECONNRESET));
  win::closesocket(client);
}

// Data waits but is not taken (FD_READ switched off, as while AcceptData is off): the select wait
// must sleep its time instead of finding the socket readable over and over; switched back on, the
// waiting data is reported by the next step.
TEST(SocketComponentSelect, UnwantedDataDoesNotSpinTheWait) {
  tw::LibraryStartup();
  TestSocket c;
  ASSERT_EQ(c.SetUseWindowsMessages(false), 0);
  auto [client, server] = ConnectedPair();
  c.Adopt(server);
  ASSERT_EQ(c.SelectEvents(server, c.window(), tw::kTcpSocketMessage,
                           win::FD_READ | win::FD_CLOSE),
            0);
  ASSERT_EQ(win::send(client, "abc", 3, 0), 3);
  // The handler leaves the bytes where they are, the way a component that takes no data does.
  for (int i = 0; i < 100 && c.notes.empty(); ++i) c.WaitStep(20, c.window());
  ASSERT_EQ(c.notes.size(), 1u);
  ASSERT_EQ(c.notes[0].event, static_cast<unsigned>(win::FD_READ));
  c.WantRead(false);

  const double cpu = ThreadCpuMillis();
  const auto start = std::chrono::steady_clock::now();
  int steps = 0;
  double wall = 0;
  while (wall < 600.0 && steps < 1000) {
    EXPECT_EQ(c.WaitStep(200, c.window()), tw::kWaitGoOn);
    ++steps;
    wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count();
  }
  const double used = ThreadCpuMillis() - cpu;
  EXPECT_EQ(c.notes.size(), 1u);
  // Each step sleeps its 200 ms: three or four of them, not one per readable poll.
  EXPECT_LE(steps, 6) << "wait steps returned at once";
  EXPECT_LT(used, wall * 0.25) << "cpu " << used << " ms over " << wall << " ms";

  c.WantRead(true);
  c.WaitStep(200, c.window());
  ASSERT_EQ(c.notes.size(), 2u);
  EXPECT_EQ(c.notes[1].event, static_cast<unsigned>(win::FD_READ));
  char got[3];
  EXPECT_EQ(win::recv(c.socket_handle(), got, 3, 0), 3);
  win::closesocket(client);
}

TEST(SocketComponentSettings, UseWindowsMessagesIsFixedWhileASocketIsOpen) {
  tw::LibraryStartup();
  TestSocket c;
  c.Adopt(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  EXPECT_EQ(c.Configure("UseWindowsMessages=false"), tw::kErrUseWindowsMessagesBusy);
  EXPECT_STREQ(c.error_text().c_str(),
               "UseWindowsMessages cannot be changed at this time. A connection is in progress.");
  EXPECT_EQ(c.Read("UseWindowsMessages"), "1");
  c.CloseOwnSocket();
  EXPECT_EQ(c.Configure("UseWindowsMessages=false"), 0);
  EXPECT_EQ(c.Read("UseWindowsMessages"), "0");
}

TEST(SocketComponentTimeout, ValuesAreCappedAndKeptInMilliseconds) {
  tw::LibraryStartup();
  TestSocket c;
  c.SetTimeout(3000000, true);
  EXPECT_EQ(c.timeout_millis(), 2147483000u);
  EXPECT_EQ(c.GetTimeout(), 2147483u);
  c.SetTimeout(2147484, true);
  EXPECT_EQ(c.GetTimeout(), 2147483u);
  c.SetTimeout(2147483, true);
  EXPECT_EQ(c.GetTimeout(), 2147483u);

  // The largest deadline lies 24.8 days ahead on the 64-bit tick: no wrap, no early time-out.
  c.ArmTimeout();
  const uint64_t now = win::GetTickCount64();
  EXPECT_GE(c.timeout_deadline(), now + 2147483000u - 1000u);
  EXPECT_EQ(c.WaitStep(0, c.window()), tw::kWaitGoOn);

  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=true"), 0);
  EXPECT_EQ(c.Read("TimeoutInMilliseconds"), "1");
  c.SetTimeout(3000000, true);
  EXPECT_EQ(c.timeout_millis(), 2147483u);
  EXPECT_EQ(c.GetTimeout(), 2147483u);
}

TEST(SocketComponentTimeout, SwitchingTheUnitKeepsTheNumber) {
  tw::LibraryStartup();
  TestSocket c;
  c.SetTimeout(60, true);
  c.ArmTimeout();
  ASSERT_NE(c.timeout_deadline(), 0u);
  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(c.timeout_millis(), 60u);
  EXPECT_EQ(c.GetTimeout(), 60u);
  EXPECT_EQ(c.timeout_deadline(), 0u);
  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=False"), 0);
  EXPECT_EQ(c.timeout_millis(), 60000u);
  EXPECT_EQ(c.GetTimeout(), 60u);
  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=1"), 0);
  c.SetTimeout(1999, true);
  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=0"), 0);
  EXPECT_EQ(c.timeout_millis(), 1999000u);
}

TEST(SocketComponentErrors, WinsockTexts) {
  tw::LibraryStartup();
  TestSocket c;
  EXPECT_EQ(c.SetWinsockErrorText(10061), 10061);
  EXPECT_STREQ(c.error_text().c_str(), "[10061] Connection refused");
  c.SetWinsockErrorText(10066);
  EXPECT_STREQ(c.error_text().c_str(), "[10066] Directory not empt");
  c.SetWinsockErrorText(11002);
  EXPECT_STREQ(c.error_text().c_str(),
               "[11002] Non-authoritative 'Host not found' (try again or check DNS setup)");
  for (int missing : {10001, 10072, 10109, 11005, -1, 0}) {
    c.SetWinsockErrorText(missing);
    EXPECT_EQ(std::string(c.error_text().c_str()),
              "[" + std::to_string(missing) + "] (no description available)");
  }
}

TEST(SocketComponentErrors, TableHasItsFiftyCodes) {
  const int codes[] = {10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                       10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048,
                       10049, 10050, 10051, 10052, 10053, 10054, 10055, 10056, 10057, 10058,
                       10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066, 10067, 10068,
                       10069, 10070, 10071, 10091, 10092, 10093, 11001, 11002, 11003, 11004};
  int found = 0;
  for (int code = 9000; code < 12000; ++code) found += tw::WinsockErrorText(code) != nullptr;
  EXPECT_EQ(found, 50);
  for (int code : codes) EXPECT_NE(tw::WinsockErrorText(code), nullptr) << code;
}

TEST(SocketComponentErrors, DefaultTexts) {
  tw::LibraryStartup();
  TestSocket c;
  EXPECT_EQ(c.DefaultErrorText(0), 0);
  EXPECT_STREQ(c.error_text().c_str(), "");
  EXPECT_EQ(c.DefaultErrorText(10054), 10054);
  EXPECT_STREQ(c.error_text().c_str(), "[10054] Connection reset by peer");
  // A held text is the better explanation and stays.
  EXPECT_EQ(c.DefaultErrorText(10060), 10060);
  EXPECT_STREQ(c.error_text().c_str(), "[10054] Connection reset by peer");
  EXPECT_EQ(c.DefaultErrorText(301), 301);
  EXPECT_STREQ(c.error_text().c_str(), "Interrupted.");
  EXPECT_EQ(c.DefaultErrorText(200), 200);
  EXPECT_STREQ(c.error_text().c_str(), "Out of memory.");
}

std::string Escaped(const std::string& bytes) {
  tw::ByteString out;
  EXPECT_EQ(tw::AppendRecordEscaped(out, bytes.data(), static_cast<int>(bytes.size())), 0);
  return std::string(out.data(), static_cast<size_t>(out.length()));
}

TEST(SocketComponentRecording, EscapingKnownAnswers) {
  EXPECT_EQ(Escaped(std::string("\r\n", 2)), "\r\n");
  EXPECT_EQ(Escaped("\x7f"), "\\177");
  EXPECT_EQ(Escaped(std::string("\0", 1)), "\\000");
  EXPECT_EQ(Escaped("\x1f\t\x80\xff"), "\\037\\011\\200\\377");
  EXPECT_EQ(Escaped("a\\b$c\"d{e}f[g]h"), "a\\\\b\\$c\\\"d\\{e\\}f\\[g\\]h");
  EXPECT_EQ(Escaped("GET / HTTP/1.1~"), "GET / HTTP/1.1~");
}

// Tcl reads the script's quoted words back into the very bytes that were recorded.
TEST(SocketComponentRecording, TclReadsTheBytesBack) {
  if (!testsupport::HaveProgram("tclsh")) {
    TW_REQUIRE_OR_SKIP("tclsh not installed");
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  all += "[exit 3] $env(HOME) {x} \"q\" \\";
  // The recorded word is read as bytes (tclsh would turn a bare CR of a script file into LF).
  const std::string word = "\"" + Escaped(all) + "\"";
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/word.tcl";
  {
    std::ofstream f(path, std::ios::binary);
    f << "puts -nonewline " << word;
  }
  const std::string runner =
      "set f [open [lindex $argv 0] r]; fconfigure $f -translation binary -encoding iso8859-1;"
      " set s [read $f]; close $f;"
      " fconfigure stdout -translation binary -encoding iso8859-1; eval $s";
  int status = -1;
  const std::string out = testsupport::RunCommand("tclsh /dev/stdin " + path, runner, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, all);
  std::remove(path.c_str());
  testsupport::RunCommand("rmdir " + dir);
}

TEST(SocketComponentRecording, ScriptGoesToStringAndFile) {
  tw::LibraryStartup();
  TestSocket c;
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/traffic.exp";
  ASSERT_EQ(c.Configure("RecordToFile=" + path), 0);
  EXPECT_EQ(c.Read("RecordToFile"), path);
  ASSERT_EQ(c.Configure("RecordToString=ON"), 0);
  ASSERT_EQ(c.OpenRecordFile(), 0);
  c.RecordTraffic(true, "GET /\r\n", 7);
  c.RecordTraffic(false, "ok\x7f", 3);
  c.CloseRecordFile();
  const std::string expected =
      "\r\nsend -nonewline \"GET /\r\n\"\r\n\r\nexpect -exact \"ok\\177\"\r\n";
  EXPECT_EQ(c.Read("RecordToString"), expected);
  EXPECT_EQ(testsupport::ReadFile(path), expected);

  // Off: nothing more is collected.
  ASSERT_EQ(c.Configure("RecordToString=off"), 0);
  c.RecordTraffic(true, "x", 1);
  EXPECT_EQ(c.Read("RecordToString"), expected);
  std::remove(path.c_str());
  testsupport::RunCommand("rmdir " + dir);
}

// Bit 0 of LogDebugOption sends the traffic to the debug log file as data blocks.
TEST(SocketComponentRecording, DebugLogGetsDataBlocks) {
  tw::LibraryStartup();
  TestSocket c;
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/debug.log";
  ASSERT_EQ(c.Configure("LogDebugFile=" + path), 0);
  c.RecordTraffic(true, "hidden", 6);
  EXPECT_EQ(testsupport::ReadFile(path), "");
  ASSERT_EQ(c.Configure("LogDebugOption=1"), 0);
  c.RecordTraffic(true, "PING", 4);
  c.RecordTraffic(false, "PONG", 4);
  const std::string log = testsupport::ReadFile(path);
  EXPECT_NE(log.find("SEND"), std::string::npos);
  EXPECT_NE(log.find("RECEIVE"), std::string::npos);
  EXPECT_LT(log.find("SEND"), log.find("RECEIVE"));
  EXPECT_EQ(log.find("hidden"), std::string::npos);
  EXPECT_EQ(c.Read("RecordToString"), "");  // the script is a separate switch
  std::remove(path.c_str());
  testsupport::RunCommand("rmdir " + dir);
}

TEST(SocketComponentSettings, DefaultsAndEffects) {
  tw::LibraryStartup();
  TestSocket c;
  EXPECT_EQ(c.Read("SelectWaitMillis"), "20");
  EXPECT_EQ(c.Read("selectwaitmillis"), "20");
  EXPECT_EQ(c.Read("AbsoluteTimeout"), "False");
  EXPECT_EQ(c.Read("TimeoutInMilliseconds"), "0");
  EXPECT_EQ(c.Read("WinsockStatus"), "0");
  EXPECT_EQ(c.Read("WinsockVersion"), "2.2");
  EXPECT_EQ(c.Read("UseWindowsMessages"), "1");
  EXPECT_EQ(c.Read("SSLProvider"), "Microsoft Unified Security Protocol Provider");
  EXPECT_EQ(c.Read("SSLCipherStrength"), "40");
  EXPECT_EQ(c.Read("SSLEnabledProtocols"), "4032");
  EXPECT_EQ(c.Read("SSLEnableRenegotiation"), "True");
  EXPECT_EQ(c.Read("UseGetAddrInfo"), "True");
  EXPECT_EQ(c.Read("UseIPv6"), "False");
  EXPECT_EQ(c.Read("QOSTrafficType"), "0");
  EXPECT_EQ(c.Read("UseInternalSecurityAPI"), "False");
  EXPECT_EQ(c.Read("RecordToString"), "");
  EXPECT_EQ(c.in_buffer_size(), 1048576u);
  EXPECT_EQ(c.out_buffer_size(), 262144u);

  ASSERT_EQ(c.Configure("SSLCipherStrength=0x80"), 0);
  EXPECT_EQ(c.Read("SSLCipherStrength"), "128");
  ASSERT_EQ(c.Configure("SSLSecurityFlags=0x100"), 0);
  EXPECT_EQ(c.Read("SSLSecurityFlags"), "256");
  ASSERT_EQ(c.Configure("QOSTrafficType=voice"), 0);
  EXPECT_EQ(c.Read("QOSTrafficType"), "4");
  ASSERT_EQ(c.Configure("QOSTrafficType=7"), 0);
  EXPECT_EQ(c.Read("QOSTrafficType"), "7");
  ASSERT_EQ(c.Configure("SSLAlgorithmList=TLS_AES_128_GCM_SHA256"), 0);
  EXPECT_EQ(c.Read("SSLEnabledCipherSuites"), "TLS_AES_128_GCM_SHA256");

  // TLS 1.3 (both bits) is the own engine's: the internal flag follows the protocol mask.
  ASSERT_EQ(c.Configure("SSLEnabledProtocols=0x3000"), 0);
  EXPECT_EQ(c.Read("SSLEnabledProtocols"), "12288");
  EXPECT_EQ(c.use_internal_security_api(), 0x2u);
  EXPECT_EQ(c.Read("UseInternalSecurityAPI"), "True");
  ASSERT_EQ(c.Configure("SSLEnabledProtocols=0x1000"), 0);
  EXPECT_EQ(c.use_internal_security_api(), 0u);
  ASSERT_EQ(c.Configure("SSLEnabledProtocols=0x3C00"), 0);
  ASSERT_EQ(c.Configure("UseInternalSecurityAPI=true"), 0);
  EXPECT_EQ(c.use_internal_security_api(), 1u);  // the whole word

  ASSERT_EQ(c.Configure("UseIPv6=2"), 0);
  EXPECT_EQ(c.ipv6_mode(), 2u);
  EXPECT_EQ(c.Read("UseIPv6"), "True");
  ASSERT_EQ(c.Configure("UseIPv6=false"), 0);
  EXPECT_EQ(c.ipv6_mode(), 0u);
  ASSERT_EQ(c.Configure("UseIPv6=true"), 0);
  EXPECT_EQ(c.ipv6_mode(), 1u);

  ASSERT_EQ(c.Configure("AbsoluteTimeout=yes"), 0);
  EXPECT_TRUE(c.absolute_timeout());
  ASSERT_EQ(c.Configure("KerberosSPN = \"HTTP/host.example\""), 0);
  EXPECT_EQ(c.Read("KerberosSPN"), "HTTP/host.example");
  ASSERT_EQ(c.Configure("SelectWaitMillis=5"), 0);
  EXPECT_EQ(c.select_wait_millis(), 5);

  // Read-only values ignore writes; unknown names reach the root.
  ASSERT_EQ(c.Configure("WinsockStatus=5"), 0);
  EXPECT_EQ(c.Read("WinsockStatus"), "0");
  EXPECT_EQ(c.Configure("NoSuchSetting=1"), tw::kErrUnknownSetting);
}

TEST(SocketComponentSettings, BufferSizesApplyToAnOpenSocket) {
  tw::LibraryStartup();
  TestSocket c;
  c.Adopt(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  EXPECT_EQ(c.SetInBufferSize(131072), 0);
  int value = 0;
  int len = sizeof value;
  ASSERT_EQ(win::getsockopt(c.socket_handle(), win::SOL_SOCKET, win::SO_RCVBUF,
                            reinterpret_cast<char*>(&value), &len),
            0);
  EXPECT_GE(value, 131072);
  EXPECT_EQ(c.SetOutBufferSize(65536), 0);
  EXPECT_EQ(c.out_buffer_size(), 65536u);
}

TEST(SocketComponentLifecycle, WindowBelongsToItsComponent) {
  tw::LibraryStartup();
  win::HWND window = nullptr;
  {
    TestSocket c;
    window = c.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(win::GetWindowLongPtrA(window, 0), reinterpret_cast<win::LONG_PTR>(&c));
    // Notifications reach the component through the class's procedure.
    win::SendMessageA(window, tw::kTcpSocketMessage, 0, win::WSAMAKESELECTREPLY(win::FD_READ, 0));
    ASSERT_EQ(c.notes.size(), 1u);
  }
  EXPECT_FALSE(win::IsWindow(window));
}

TEST(SocketComponentLifecycle, CertificateLoadingIsUnavailable) {
  tw::LibraryStartup();
  TestSocket c;
  EXPECT_NE(c.LoadCertificate("-----BEGIN CERTIFICATE-----", 27), 0);
  EXPECT_STRNE(c.error_text().c_str(), "");
  // Without the security library the token step fails with the provider's text.
  win::SetLibraryEnabled("secur32.dll", false);
  tw::ByteString token;
  EXPECT_EQ(c.auth_provider().BuildAuthToken(&c, &token, "NTLM", "host", ""), 270);
  EXPECT_STREQ(c.error_text().c_str(), "The security library could not be loaded");
  EXPECT_TRUE(token.empty());
  win::SetLibraryEnabled("secur32.dll", true);
}

// The WinINet worker wait: the first ending clears busy, the second cancels and gives 301.
class FakeWorker : public tw::WorkerWait {
 public:
  bool Ended(uint32_t* exit_code) override {
    *exit_code = 42;
    return ended;
  }
  void ClearBusy() override { ++busy_cleared; }
  void CloseHandles() override {
    ++handles_closed;
    ended = true;  // closing the handles makes the worker's calls return
  }
  void SetCancelled() override { cancelled = true; }
  bool ended = false;
  int busy_cleared = 0;
  int handles_closed = 0;
  bool cancelled = false;
};

TEST(SocketComponentWait, WorkerWaitCancelsOnTheSecondEnding) {
  tw::LibraryStartup();
  TestSocket c;
  EXPECT_EQ(c.WaitForWorker(nullptr), 0);
  FakeWorker worker;
  c.SetTimeout(1, true);
  ASSERT_EQ(c.Configure("TimeoutInMilliseconds=true"), 0);
  c.SetTimeout(50, true);
  c.ArmTimeout();
  EXPECT_EQ(c.WaitForWorker(&worker), tw::kErrInterrupted);
  EXPECT_EQ(worker.busy_cleared, 1);
  EXPECT_TRUE(worker.cancelled);
  EXPECT_EQ(worker.handles_closed, 2);

  FakeWorker done;
  done.ended = true;
  EXPECT_EQ(c.WaitForWorker(&done), 42);
}

// A certificate manager carries socket settings beneath its own; its Initialize resets them.
TEST(CertificateManagerSocket, InitializeResetsThem) {
  tw::CertificateManager m;
  const char* answer = "";
  ASSERT_EQ(m.ConfigText("SelectWaitMillis=5", &answer) | m.ConfigText("CodePage=65001", &answer), 0);
  ASSERT_EQ(m.Initialize() | m.ConfigText("SelectWaitMillis", &answer), 0);
  EXPECT_STREQ(answer, "20");
  EXPECT_EQ(m.GetCodePage(), 65001);  // the root's settings stay with the manager
}
}  // namespace
