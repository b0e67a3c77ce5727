#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/library.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

namespace {

using win::SOCKET;

constexpr win::UINT kSocketMessage = win::WM_USER + 0x65;
constexpr char kClassName[] = "winsock_test_wnd";

struct Note {
  SOCKET socket;
  unsigned event;
  unsigned error;
};

std::vector<Note>* notes = nullptr;

win::LRESULT NoteProc(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam) {
  if (message == kSocketMessage && notes != nullptr) {
    notes->push_back({wparam, win::WSAGETSELECTEVENT(lparam), win::WSAGETSELECTERROR(lparam)});
    return 0;
  }
  return win::DefWindowProcA(window, message, wparam, lparam);
}

double ThreadCpuMillis() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

win::sockaddr_in Loopback(int port) {
  win::sockaddr_in a{};
  a.sin_family = win::AF_INET;
  a.sin_port = win::htons(static_cast<win::u_short>(port));
  a.sin_addr.s_addr = win::htonl(win::INADDR_LOOPBACK);
  return a;
}

const win::sockaddr* Sa(const win::sockaddr_in& a) {
  return reinterpret_cast<const win::sockaddr*>(&a);
}

int PortOf(SOCKET s) {
  win::sockaddr_in a{};
  int len = sizeof a;
  if (win::getsockname(s, reinterpret_cast<win::sockaddr*>(&a), &len) != 0) return -1;
  return win::ntohs(a.sin_port);
}

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win::WSADATA data;
    ASSERT_EQ(win::WSAStartup(win::MAKEWORD(2, 2), &data), 0);
    win::WNDCLASSA wc{};
    wc.lpfnWndProc = NoteProc;
    wc.cbWndExtra = 12;
    wc.lpszClassName = kClassName;
    win::RegisterClassA(&wc);  // once per process; later calls find it taken
    window_ = win::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE, nullptr,
                                   nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    notes = &notes_;
  }

  void TearDown() override {
    for (SOCKET s : sockets_) win::closesocket(s);
    win::DestroyWindow(window_);
    notes = nullptr;
    win::WSACleanup();
  }

  SOCKET Track(SOCKET s) {
    if (s != win::INVALID_SOCKET) sockets_.push_back(s);
    return s;
  }

  SOCKET Listener(int type = win::SOCK_STREAM) {
    SOCKET s = Track(win::socket(win::AF_INET, type, 0));
    auto a = Loopback(0);
    EXPECT_EQ(win::bind(s, Sa(a), sizeof a), 0);
    if (type == win::SOCK_STREAM) {
      EXPECT_EQ(win::listen(s, win::SOMAXCONN), 0);
    }
    return s;
  }

  // A connected loopback pair (client, server side), both blocking.
  std::pair<SOCKET, SOCKET> Pair() {
    SOCKET l = Listener();
    SOCKET c = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
    auto a = Loopback(PortOf(l));
    EXPECT_EQ(win::connect(c, Sa(a), sizeof a), 0);
    SOCKET s = Track(win::accept(l, nullptr, nullptr));
    EXPECT_NE(s, win::INVALID_SOCKET);
    return {c, s};
  }

  // A port nothing listens on.
  // The caller's message loop: dispatch, then wait for more, for `ms` milliseconds.
  void Pump(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      win::MSG m;
      while (win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE)) win::DispatchMessageA(&m);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return;
      win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, static_cast<win::DWORD>(left),
                                     win::QS_ALLINPUT);
    }
  }

  // Pumps until the condition holds (true) or 5 seconds pass (false).
  bool PumpUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Pump(10);
    }
    return true;
  }

  int Count(SOCKET s, unsigned event) const {
    int n = 0;
    for (const Note& note : notes_) n += note.socket == s && note.event == event;
    return n;
  }

  const Note* Last(SOCKET s, unsigned event) const {
    for (auto it = notes_.rbegin(); it != notes_.rend(); ++it) {
      if (it->socket == s && it->event == event) return &*it;
    }
    return nullptr;
  }

  win::HWND window_ = nullptr;
  std::vector<Note> notes_;
  std::vector<SOCKET> sockets_;
};

constexpr long kAll = win::FD_READ | win::FD_WRITE | win::FD_CONNECT | win::FD_CLOSE;

TEST_F(WinsockTest, StartupReportsVersion) {
  win::WSADATA data;
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(3, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(win::WSAStartup(win::MAKEWORD(1, 0), &data), win::WSAVERNOTSUPPORTED);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(win::WSACleanup(), 0);
}

TEST_F(WinsockTest, NothingWorksBeforeStartup) {
  int started = 0;
  while (win::WSACleanup() == 0) ++started;
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
  EXPECT_EQ(win::socket(win::AF_INET, win::SOCK_STREAM, 0), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
  win::addrinfo* list = nullptr;
  EXPECT_EQ(win::getaddrinfo("a.localhost", nullptr, nullptr, &list), win::WSANOTINITIALISED);
  EXPECT_EQ(win::gethostbyname("a.localhost"), nullptr);
  win::WSADATA data;
  for (int i = 0; i < started; ++i) ASSERT_EQ(win::WSAStartup(win::MAKEWORD(2, 2), &data), 0);
}

TEST_F(WinsockTest, ConnectToClosedPortIsRefused) {
  // Held bound without a listener, so no test running beside this one can take the port.
  int port = testsupport::ClosedPort();
  auto a = Loopback(port);
  SOCKET blocking = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  EXPECT_EQ(win::connect(blocking, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNREFUSED);

  // Asynchronously: would-block, then FD_CONNECT carrying 10061 and nothing after it.
  SOCKET s = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  EXPECT_EQ(win::connect(s, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CONNECT) > 0; }));
  EXPECT_EQ(Last(s, win::FD_CONNECT)->error, static_cast<unsigned>(win::WSAECONNREFUSED));
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_CONNECT), 1);
  EXPECT_EQ(Count(s, win::FD_WRITE), 0);
  EXPECT_EQ(Count(s, win::FD_CLOSE), 0);

  // Through select: the failure shows in the exception set.
  SOCKET t = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  win::u_long on = 1;
  ASSERT_EQ(win::ioctlsocket(t, win::FIONBIO, &on), 0);
  EXPECT_EQ(win::connect(t, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  win::fd_set w, e;
  w.Add(t);
  e.Add(t);
  win::timeval tv{5, 0};
  EXPECT_EQ(win::select(0, nullptr, &w, &e, &tv), 1);
  EXPECT_FALSE(w.Contains(t));
  EXPECT_TRUE(e.Contains(t));
  int err = 0, len = sizeof err;
  ASSERT_EQ(win::getsockopt(t, win::SOL_SOCKET, win::SO_ERROR, reinterpret_cast<char*>(&err), &len),
            0);
  EXPECT_EQ(err, win::WSAECONNREFUSED);
}

TEST_F(WinsockTest, AsyncConnectGivesConnectThenOneWrite) {
  SOCKET l = Listener();
  SOCKET s = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  auto a = Loopback(PortOf(l));
  EXPECT_EQ(win::connect(s, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  EXPECT_EQ(win::connect(s, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_TRUE(win::WSAGetLastError() == win::WSAEALREADY ||
              win::WSAGetLastError() == win::WSAEISCONN);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) > 0; }));
  Pump(50);
  ASSERT_EQ(notes_.size(), 2u);
  EXPECT_EQ(notes_[0].event, static_cast<unsigned>(win::FD_CONNECT));
  EXPECT_EQ(notes_[0].error, 0u);
  EXPECT_EQ(notes_[1].event, static_cast<unsigned>(win::FD_WRITE));
}

TEST_F(WinsockTest, ReadIsNotRepeatedWithoutRecv) {
  auto [c, s] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
  ASSERT_EQ(win::send(c, "abc", 3, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
  ASSERT_EQ(win::send(c, "def", 3, 0), 3);
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_READ), 1);

  // A partial read re-enables it: data remains, so it comes again.
  char buf[16];
  ASSERT_EQ(win::recv(s, buf, 2, 0), 2);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 2; }));
  win::u_long available = 0;
  ASSERT_EQ(win::ioctlsocket(s, win::FIONREAD, &available), 0);
  EXPECT_EQ(available, 4u);
  ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_READ), 2);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  EXPECT_EQ(Count(s, win::FD_WRITE), 1);
  EXPECT_EQ(Count(s, win::FD_CLOSE), 0);
}

TEST_F(WinsockTest, WriteOnlyAfterWouldBlock) {
  auto [c, s] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(c, window_, kSocketMessage, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(c, win::FD_WRITE) == 1; }));
  ASSERT_EQ(win::send(c, "x", 1, 0), 1);
  Pump(50);
  EXPECT_EQ(Count(c, win::FD_WRITE), 1);  // writable all along, but no send was refused

  std::vector<char> block(65536, 'z');
  long sent = 1;
  bool would_block = false;
  for (int i = 0; i < 4000 && !would_block; ++i) {
    int n = win::send(c, block.data(), static_cast<int>(block.size()), 0);
    if (n == win::SOCKET_ERROR) {
      ASSERT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
      would_block = true;
    } else {
      sent += n;
    }
  }
  ASSERT_TRUE(would_block);

  // Once room comes back (the peer drains everything), exactly one FD_WRITE follows.
  long received = 0;
  std::vector<char> buf(1 << 20);
  while (received < sent) {
    int n = win::recv(s, buf.data(), static_cast<int>(buf.size()), 0);
    ASSERT_GT(n, 0);
    received += n;
  }
  ASSERT_TRUE(PumpUntil([&] { return Count(c, win::FD_WRITE) == 2; }));
  ASSERT_EQ(win::send(c, "y", 1, 0), 1);
  Pump(100);
  EXPECT_EQ(Count(c, win::FD_WRITE), 2);
}

TEST_F(WinsockTest, OneCloseAfterTheDataIsTaken) {
  auto [c, s] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  ASSERT_EQ(win::send(c, "bye", 3, 0), 3);
  ASSERT_EQ(win::closesocket(c), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_CLOSE), 0);  // data still waits

  char buf[16];
  ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
  EXPECT_EQ(Last(s, win::FD_CLOSE)->error, 0u);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 0);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 0);
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_CLOSE), 1);
  EXPECT_EQ(Count(s, win::FD_READ), 1);
}

TEST_F(WinsockTest, ResetGivesOneCloseWithItsError) {
  auto [c, s] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
  win::linger abortive{1, 0};
  ASSERT_EQ(win::setsockopt(c, win::SOL_SOCKET, win::SO_LINGER, reinterpret_cast<char*>(&abortive),
                            sizeof abortive),
            0);
  ASSERT_EQ(win::closesocket(c), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_CLOSE) == 1; }));
  EXPECT_EQ(Last(s, win::FD_CLOSE)->error, static_cast<unsigned>(win::WSAECONNRESET));
  // The error the notification saw is still the caller's to read.
  char buf[4];
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_CLOSE), 1);
}

TEST_F(WinsockTest, AcceptIsReenabledByAcceptAndPassesItsRegistration) {
  SOCKET l = Listener();
  ASSERT_EQ(win::WSAAsyncSelect(l, window_, kSocketMessage, win::FD_ACCEPT | win::FD_WRITE), 0);
  auto a = Loopback(PortOf(l));
  SOCKET c1 = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  SOCKET c2 = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  ASSERT_EQ(win::connect(c1, Sa(a), sizeof a), 0);
  ASSERT_EQ(win::connect(c2, Sa(a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(l, win::FD_ACCEPT) == 1; }));
  Pump(100);
  EXPECT_EQ(Count(l, win::FD_ACCEPT), 1);

  win::sockaddr_in peer{};
  int len = sizeof peer;
  SOCKET s1 = Track(win::accept(l, reinterpret_cast<win::sockaddr*>(&peer), &len));
  ASSERT_NE(s1, win::INVALID_SOCKET);
  EXPECT_EQ(peer.sin_family, win::AF_INET);
  EXPECT_EQ(win::ntohs(peer.sin_port), PortOf(c1));
  ASSERT_TRUE(PumpUntil([&] { return Count(l, win::FD_ACCEPT) == 2; }));
  // The accepted socket got the listener's events: its first FD_WRITE.
  ASSERT_TRUE(PumpUntil([&] { return Count(s1, win::FD_WRITE) == 1; }));
  SOCKET s2 = Track(win::accept(l, nullptr, nullptr));
  ASSERT_NE(s2, win::INVALID_SOCKET);
  Pump(100);
  EXPECT_EQ(Count(l, win::FD_ACCEPT), 2);
  // Non-blocking like its listener: nothing waits.
  EXPECT_EQ(win::accept(l, nullptr, nullptr), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, MaskZeroUnregisters) {
  auto [c, s] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, 0, 0), 0);
  ASSERT_EQ(win::send(c, "abc", 3, 0), 3);
  Pump(100);
  EXPECT_EQ(Count(s, win::FD_READ), 0);
  // Still non-blocking until FIONBIO says otherwise.
  char buf[8];
  ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 3);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
  // Back to blocking is refused only while registered.
  win::u_long off = 0;
  EXPECT_EQ(win::ioctlsocket(s, win::FIONBIO, &off), 0);
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, win::FD_READ), 0);
  EXPECT_EQ(win::ioctlsocket(s, win::FIONBIO, &off), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
}

TEST_F(WinsockTest, ClosedSocketLeavesNoNotificationBehind) {
  // A notification already queued goes with the socket.
  SOCKET a = win::socket(win::AF_INET, win::SOCK_DGRAM, 0);
  auto any = Loopback(0);
  ASSERT_EQ(win::bind(a, Sa(any), sizeof any), 0);
  int old_fd = win::SocketDescriptor(a);
  ASSERT_EQ(win::WSAAsyncSelect(a, window_, kSocketMessage, win::FD_READ | win::FD_WRITE), 0);
  win::MSG m;
  ASSERT_TRUE(win::PeekMessageA(&m, window_, 0, 0, win::PM_NOREMOVE));
  EXPECT_EQ(m.wParam, a);
  ASSERT_EQ(win::closesocket(a), 0);
  EXPECT_FALSE(win::PeekMessageA(&m, window_, 0, 0, win::PM_NOREMOVE));

  // Readiness not yet turned into a message goes too, and the next socket that gets the same
  // descriptor is told apart by its handle.
  SOCKET b = Track(win::socket(win::AF_INET, win::SOCK_DGRAM, 0));
  ASSERT_EQ(win::bind(b, Sa(any), sizeof any), 0);
  ASSERT_EQ(win::WSAAsyncSelect(b, window_, kSocketMessage, win::FD_READ), 0);
  auto to_b = Loopback(PortOf(b));
  SOCKET sender = Track(win::socket(win::AF_INET, win::SOCK_DGRAM, 0));
  ASSERT_EQ(win::sendto(sender, "1", 1, 0, Sa(to_b), sizeof to_b), 1);
  ASSERT_EQ(win::closesocket(b), 0);
  SOCKET c = Track(win::socket(win::AF_INET, win::SOCK_DGRAM, 0));
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  if (win::SocketDescriptor(c) != old_fd) {
    GTEST_LOG_(INFO) << "descriptor not reused in this run";
  }
  ASSERT_EQ(win::bind(c, Sa(any), sizeof any), 0);
  ASSERT_EQ(win::WSAAsyncSelect(c, window_, kSocketMessage, win::FD_READ | win::FD_WRITE), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(c, win::FD_WRITE) == 1; }));
  Pump(100);
  for (const Note& n : notes_) EXPECT_EQ(n.socket, c);
  EXPECT_EQ(win::send(a, "x", 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
}

TEST_F(WinsockTest, IdleWaitsUseNoProcessor) {
  auto [c, s] = Pair();
  auto [c2, s2] = Pair();
  ASSERT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0);
  ASSERT_EQ(win::WSAAsyncSelect(s2, window_, kSocketMessage, kAll), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1 && Count(s2, win::FD_WRITE); }));
  // s2's peer sends and hangs up while the FD_READ is not answered: the socket stays readable
  // and hung up, which must not make the waits spin.
  ASSERT_EQ(win::send(c2, "x", 1, 0), 1);
  ASSERT_EQ(win::closesocket(c2), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(s2, win::FD_READ) == 1; }));

  auto measure = [&](const std::function<void()>& wait) {
    double cpu = ThreadCpuMillis();
    auto start = std::chrono::steady_clock::now();
    wait();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    return ThreadCpuMillis() - cpu;
  };
  double one_wait = measure([] {
    EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 300, win::QS_ALLINPUT),
              win::WAIT_TIMEOUT);
  });
  EXPECT_LT(one_wait, 30.0);
  // The wait step of a blocking operation: peek the hidden window only, then wait 20 ms.
  double steps = measure([&] {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
      win::MSG m;
      if (win::PeekMessageA(&m, window_, 0, 0, win::PM_REMOVE)) {
        win::DispatchMessageA(&m);
      } else {
        win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 20, win::QS_ALLINPUT);
      }
    }
  });
  EXPECT_LT(steps, 30.0);
  EXPECT_EQ(Count(s2, win::FD_CLOSE), 0);
  EXPECT_EQ(Count(s2, win::FD_READ), 1);

  char buf[4];
  ASSERT_EQ(win::recv(s2, buf, sizeof buf, 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return Count(s2, win::FD_CLOSE) == 1; }));
  double after_close = measure(
      [] { win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 300, win::QS_ALLINPUT); });
  EXPECT_LT(after_close, 30.0);
  EXPECT_EQ(Count(s2, win::FD_CLOSE), 1);
}

TEST_F(WinsockTest, NotificationsCrossThreads) {
  // A socket registered from another thread reports to the window's owner, which is waiting.
  auto [c, s] = Pair();
  std::thread other(
      [&, s = s] { EXPECT_EQ(win::WSAAsyncSelect(s, window_, kSocketMessage, kAll), 0); });
  other.join();
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_WRITE) == 1; }));
  std::thread writer([c = c] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    win::send(c, "z", 1, 0);
  });
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 10000, win::QS_ALLINPUT),
            win::WAIT_OBJECT_0);
  writer.join();
  ASSERT_TRUE(PumpUntil([&] { return Count(s, win::FD_READ) == 1; }));
}

TEST_F(WinsockTest, DatagramsKeepTheirBoundaries) {
  SOCKET r = Listener(win::SOCK_DGRAM);
  SOCKET t = Track(win::socket(win::AF_INET, win::SOCK_DGRAM, 0));
  auto to = Loopback(PortOf(r));
  ASSERT_EQ(win::WSAAsyncSelect(r, window_, kSocketMessage, win::FD_READ), 0);
  ASSERT_EQ(win::sendto(t, "hello world", 11, 0, Sa(to), sizeof to), 11);
  ASSERT_EQ(win::sendto(t, "second", 6, 0, Sa(to), sizeof to), 6);
  ASSERT_TRUE(PumpUntil([&] { return Count(r, win::FD_READ) == 1; }));

  // A datagram longer than the buffer: the start is kept and the call says so.
  char buf[32] = {};
  win::sockaddr_in from{};
  int from_len = sizeof from;
  EXPECT_EQ(win::recvfrom(r, buf, 5, 0, reinterpret_cast<win::sockaddr*>(&from), &from_len),
            win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEMSGSIZE);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(from.sin_family, win::AF_INET);
  EXPECT_EQ(win::ntohs(from.sin_port), PortOf(t));
  ASSERT_TRUE(PumpUntil([&] { return Count(r, win::FD_READ) == 2; }));
  EXPECT_EQ(win::recvfrom(r, buf, sizeof buf, 0, nullptr, nullptr), 6);
  EXPECT_EQ(std::string(buf, 6), "second");
  int small = 4;
  EXPECT_EQ(win::recvfrom(r, buf, sizeof buf, 0, reinterpret_cast<win::sockaddr*>(&from), &small),
            win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
}

TEST_F(WinsockTest, SelectOverPoll) {
  auto [c, s] = Pair();
  win::fd_set r;
  r.Add(s);
  win::timeval short_wait{0, 50000};
  EXPECT_EQ(win::select(0, &r, nullptr, nullptr, &short_wait), 0);
  EXPECT_EQ(r.fd_count(), 0u);

  ASSERT_EQ(win::send(c, "q", 1, 0), 1);
  r.Add(s);
  r.Add(c);
  win::fd_set w;
  w.Add(c);
  win::timeval wait{5, 0};
  EXPECT_EQ(win::select(0, &r, &w, nullptr, &wait), 2);
  EXPECT_TRUE(r.Contains(s));
  EXPECT_FALSE(r.Contains(c));
  EXPECT_TRUE(w.Contains(c));

  // More sockets than the home platform's default set size.
  std::vector<SOCKET> many;
  win::fd_set all;
  for (int i = 0; i < 100; ++i) {
    SOCKET u = Track(win::socket(win::AF_INET, win::SOCK_DGRAM, 0));
    ASSERT_NE(u, win::INVALID_SOCKET);
    all.Add(u);
  }
  EXPECT_EQ(win::select(0, nullptr, &all, nullptr, &wait), 100);

  win::fd_set empty;
  EXPECT_EQ(win::select(0, &empty, nullptr, nullptr, &wait), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
  win::fd_set bogus;
  bogus.Add(12345);
  EXPECT_EQ(win::select(0, &bogus, nullptr, nullptr, &wait), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);

  // A connect still settling when select starts: its data is reported once it has settled.
  SOCKET l = Listener();
  SOCKET t = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  win::u_long on = 1;
  ASSERT_EQ(win::ioctlsocket(t, win::FIONBIO, &on), 0);
  auto to = Loopback(PortOf(l));
  EXPECT_EQ(win::connect(t, Sa(to), sizeof to), win::SOCKET_ERROR);
  SOCKET peer = Track(win::accept(l, nullptr, nullptr));
  ASSERT_EQ(win::send(peer, "hi", 2, 0), 2);
  r.Clear();
  r.Add(t);
  EXPECT_EQ(win::select(0, &r, nullptr, nullptr, &wait), 1);
  EXPECT_TRUE(r.Contains(t));

  // A peer that hung up reads as readable.
  ASSERT_EQ(win::closesocket(c), 0);
  char buf[4];
  ASSERT_EQ(win::recv(s, buf, sizeof buf, 0), 1);
  r.Clear();
  r.Add(s);
  EXPECT_EQ(win::select(0, &r, nullptr, nullptr, &wait), 1);
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), 0);
}

TEST_F(WinsockTest, OptionsAreTranslated) {
  auto [c, s] = Pair();
  auto get_int = [&](SOCKET k, int level, int name) {
    int v = -1, len = sizeof v;
    EXPECT_EQ(win::getsockopt(k, level, name, reinterpret_cast<char*>(&v), &len), 0);
    return v;
  };
  auto set_int = [&](SOCKET k, int level, int name, int v) {
    return win::setsockopt(k, level, name, reinterpret_cast<char*>(&v), sizeof v);
  };
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_TYPE), win::SOCK_STREAM);
  EXPECT_EQ(set_int(c, win::IPPROTO_TCP, win::TCP_NODELAY, 1), 0);
  EXPECT_EQ(get_int(c, win::IPPROTO_TCP, win::TCP_NODELAY), 1);
  char one_byte = 1;
  EXPECT_EQ(win::setsockopt(c, win::SOL_SOCKET, win::SO_KEEPALIVE, &one_byte, 1), 0);
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_KEEPALIVE), 1);

  // Buffer sizes of 0 or the default leave the kernel's autotuning alone.
  int before = get_int(c, win::SOL_SOCKET, win::SO_RCVBUF);
  EXPECT_EQ(set_int(c, win::SOL_SOCKET, win::SO_RCVBUF, 0), 0);
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_RCVBUF), before);
  EXPECT_EQ(set_int(c, win::SOL_SOCKET, win::SO_RCVBUF, win::kDefaultReceiveBuffer), 0);
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_RCVBUF), win::kDefaultReceiveBuffer);
  EXPECT_EQ(set_int(c, win::SOL_SOCKET, win::SO_SNDBUF, 32768), 0);
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_SNDBUF), 32768);

  win::linger l{1, 7};
  ASSERT_EQ(
      win::setsockopt(c, win::SOL_SOCKET, win::SO_LINGER, reinterpret_cast<char*>(&l), sizeof l),
      0);
  win::linger back{};
  int len = sizeof back;
  ASSERT_EQ(
      win::getsockopt(c, win::SOL_SOCKET, win::SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
  EXPECT_EQ(back.l_onoff, 1);
  EXPECT_EQ(back.l_linger, 7);
  EXPECT_EQ(get_int(c, win::SOL_SOCKET, win::SO_DONTLINGER), 0);

  EXPECT_EQ(set_int(c, win::SOL_SOCKET, 0x7777, 1), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOPROTOOPT);
  EXPECT_EQ(set_int(c, win::SOL_SOCKET, win::SO_TYPE, 2), win::SOCKET_ERROR);

  // A receive time-out on a blocking socket ends the call with 10060.
  EXPECT_EQ(set_int(s, win::SOL_SOCKET, win::SO_RCVTIMEO, 50), 0);
  EXPECT_EQ(get_int(s, win::SOL_SOCKET, win::SO_RCVTIMEO), 50);
  char buf[4];
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAETIMEDOUT);
}

TEST_F(WinsockTest, AddressQueries) {
  SOCKET fresh = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  win::sockaddr_in a{};
  int len = sizeof a;
  EXPECT_EQ(win::getsockname(fresh, reinterpret_cast<win::sockaddr*>(&a), &len), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
  EXPECT_EQ(win::getpeername(fresh, reinterpret_cast<win::sockaddr*>(&a), &len), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTCONN);
  EXPECT_EQ(win::listen(fresh, 5), win::SOCKET_ERROR);  // not bound
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);

  auto [c, s] = Pair();
  len = sizeof a;
  ASSERT_EQ(win::getpeername(s, reinterpret_cast<win::sockaddr*>(&a), &len), 0);
  EXPECT_EQ(len, static_cast<int>(sizeof a));
  EXPECT_EQ(win::ntohs(a.sin_port), PortOf(c));
  EXPECT_EQ(a.sin_addr.s_addr, win::inet_addr("127.0.0.1"));
  int too_small = 8;
  EXPECT_EQ(win::getsockname(s, reinterpret_cast<win::sockaddr*>(&a), &too_small),
            win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);

  char host[256];
  EXPECT_EQ(win::gethostname(host, sizeof host), 0);
  EXPECT_GT(std::strlen(host), 0u);
  EXPECT_EQ(win::gethostname(host, 1), win::SOCKET_ERROR);
}

TEST_F(WinsockTest, HostileArgumentsAreRefused) {
  SOCKET s = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  EXPECT_EQ(win::connect(s, nullptr, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  auto a = Loopback(80);
  EXPECT_EQ(win::connect(s, Sa(a), 8), win::SOCKET_ERROR);  // shorter than the address
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  a.sin_family = 99;
  EXPECT_EQ(win::bind(s, Sa(a), sizeof a), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEAFNOSUPPORT);
  EXPECT_EQ(win::send(s, "x", -1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  EXPECT_EQ(win::recv(s, nullptr, 10, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  EXPECT_EQ(win::send(s, "x", 1, 0x4000), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEOPNOTSUPP);
  int v = 1;
  EXPECT_EQ(win::setsockopt(s, win::SOL_SOCKET, win::SO_REUSEADDR, reinterpret_cast<char*>(&v), 0),
            win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  char small[2];
  int len = sizeof small;
  EXPECT_EQ(win::getsockopt(s, win::SOL_SOCKET, win::SO_LINGER, small, &len), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  win::u_long arg = 0;
  EXPECT_EQ(win::ioctlsocket(s, 0x1234, &arg), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
  EXPECT_EQ(win::ioctlsocket(s, win::FIONBIO, nullptr), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  EXPECT_EQ(win::socket(win::AF_INET, 9, 0), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAESOCKTNOSUPPORT);
  EXPECT_EQ(win::socket(77, win::SOCK_STREAM, 0), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEAFNOSUPPORT);

  win::HWND gone = win::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE,
                                        nullptr, nullptr, nullptr);
  win::DestroyWindow(gone);
  EXPECT_EQ(win::WSAAsyncSelect(s, gone, kSocketMessage, win::FD_READ), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);

  EXPECT_EQ(win::recv(win::INVALID_SOCKET, small, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
  SOCKET t = win::socket(win::AF_INET, win::SOCK_DGRAM, 0);
  EXPECT_EQ(win::closesocket(t), 0);
  EXPECT_EQ(win::closesocket(t), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
  EXPECT_EQ(win::SocketDescriptor(t), -1);
}

TEST(WinsockText, InetAddrKnownAnswers) {
  struct Case {
    const char* text;
    win::u_long value;  // in memory order, as the four bytes appear
  };
  const Case cases[] = {
      {"1.2.3.4", 0x04030201},         {"127.0.0.1", 0x0100007F},
      {"0x7f.1", 0x0100007F},          {"10.1", 0x0100000A},
      {"255.255.255.255", 0xFFFFFFFF}, {"256.1.1.1", win::INADDR_NONE},
      {"1.2.3.4.5", win::INADDR_NONE}, {"", win::INADDR_NONE},
      {"a.b.c.d", win::INADDR_NONE},
  };
  for (const Case& c : cases) EXPECT_EQ(win::inet_addr(c.text), c.value) << c.text;
  EXPECT_EQ(win::inet_addr(nullptr), win::INADDR_NONE);
  win::in_addr a{win::inet_addr("192.168.10.1")};
  EXPECT_STREQ(win::inet_ntoa(a), "192.168.10.1");
  EXPECT_EQ(win::htons(0x1234), 0x3412);
  EXPECT_EQ(win::htonl(0x01020304u), 0x04030201u);
}

class ResolverTest : public WinsockTest {};

TEST_F(ResolverTest, LocalhostNamesResolveToLoopback) {
  win::addrinfo hints{};
  hints.ai_family = win::AF_INET;
  hints.ai_socktype = win::SOCK_STREAM;
  hints.ai_flags = win::AI_CANONNAME;
  win::addrinfo* list = nullptr;
  ASSERT_EQ(win::getaddrinfo("account.blob.localhost", "10000", &hints, &list), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->ai_family, win::AF_INET);
  EXPECT_STREQ(list->ai_canonname, "account.blob.localhost");
  ASSERT_EQ(list->ai_addrlen, sizeof(win::sockaddr_in));
  auto* in = reinterpret_cast<win::sockaddr_in*>(list->ai_addr);
  EXPECT_EQ(in->sin_family, win::AF_INET);
  EXPECT_EQ(win::ntohs(in->sin_port), 10000);
  EXPECT_EQ(in->sin_addr.s_addr, win::inet_addr("127.0.0.1"));
  win::freeaddrinfo(list);

  hints.ai_family = win::AF_INET6;
  hints.ai_flags = 0;
  ASSERT_EQ(win::getaddrinfo("Blob.LOCALHOST.", nullptr, &hints, &list), 0);
  ASSERT_EQ(list->ai_addrlen, sizeof(win::sockaddr_in6));
  auto* in6 = reinterpret_cast<win::sockaddr_in6*>(list->ai_addr);
  EXPECT_EQ(in6->sin6_family, win::AF_INET6);
  const win::u_char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(in6->sin6_addr.s6_addr, loopback6, 16), 0);
  char text[win::NI_MAXHOST];
  ASSERT_EQ(win::getnameinfo(list->ai_addr, static_cast<int>(list->ai_addrlen), text, sizeof text,
                             nullptr, 0, win::NI_NUMERICHOST),
            0);
  EXPECT_STREQ(text, "::1");
  win::freeaddrinfo(list);

  // Any family: IPv4 first.
  hints.ai_family = win::AF_UNSPEC;
  ASSERT_EQ(win::getaddrinfo("x.localhost", "80", &hints, &list), 0);
  EXPECT_EQ(list->ai_family, win::AF_INET);
  win::freeaddrinfo(list);

  win::hostent* h = win::gethostbyname("emulator.localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, win::AF_INET);
  EXPECT_EQ(h->h_length, 4);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  EXPECT_EQ(std::memcmp(h->h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
  EXPECT_EQ(h->h_addr_list[1], nullptr);

  // A server on 127.0.0.1 is reached by the name.
  SOCKET l = Listener();
  hints.ai_family = win::AF_INET;
  std::string port = std::to_string(PortOf(l));
  ASSERT_EQ(win::getaddrinfo("account.blob.localhost", port.c_str(), &hints, &list), 0);
  SOCKET c = Track(win::socket(win::AF_INET, win::SOCK_STREAM, 0));
  EXPECT_EQ(win::connect(c, list->ai_addr, static_cast<int>(list->ai_addrlen)), 0);
  win::freeaddrinfo(list);
}

TEST_F(ResolverTest, ErrorsUseWinsockNumbers) {
  win::addrinfo hints{};
  hints.ai_flags = win::AI_NUMERICHOST;  // keeps the test off the network
  win::addrinfo* list = reinterpret_cast<win::addrinfo*>(1);
  EXPECT_EQ(win::getaddrinfo("no-such-host.example", nullptr, &hints, &list),
            win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(win::getaddrinfo("a.localhost", nullptr, &hints, &list), win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(win::getaddrinfo(nullptr, nullptr, nullptr, &list), win::WSAHOST_NOT_FOUND);
  // Reserved names never reach the system resolver, whatever the hints.
  EXPECT_EQ(win::getaddrinfo("no-such-host.invalid", "80", nullptr, &list), win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(win::getaddrinfo("Deep.Name.INVALID.", nullptr, nullptr, &list),
            win::WSAHOST_NOT_FOUND);
  EXPECT_EQ(win::gethostbyname("x.invalid"), nullptr);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAHOST_NOT_FOUND);
  hints.ai_flags = 0x40000000;
  EXPECT_EQ(win::getaddrinfo("127.0.0.1", nullptr, &hints, &list), win::WSAEINVAL);
  hints.ai_flags = 0;
  hints.ai_family = 99;
  EXPECT_EQ(win::getaddrinfo("127.0.0.1", nullptr, &hints, &list), win::WSAEAFNOSUPPORT);
  hints.ai_family = win::AF_INET;
  hints.ai_flags = win::AI_NUMERICSERV;
  EXPECT_EQ(win::getaddrinfo("127.0.0.1", "http", &hints, &list), win::WSAHOST_NOT_FOUND);
  hints.ai_flags = 0;
  hints.ai_family = win::AF_INET6;
  EXPECT_NE(win::getaddrinfo("127.0.0.1", nullptr, &hints, &list), 0);
}

TEST_F(ResolverTest, NumericTextsRoundTrip) {
  win::sockaddr_in6 a{};
  a.sin6_family = win::AF_INET6;
  ASSERT_EQ(win::inet_pton(win::AF_INET6, "2001:db8::5", &a.sin6_addr), 1);
  a.sin6_port = win::htons(443);
  char host[64], serv[16];
  ASSERT_EQ(win::getnameinfo(reinterpret_cast<win::sockaddr*>(&a), sizeof a, host, sizeof host,
                             serv, sizeof serv, win::NI_NUMERICHOST | win::NI_NUMERICSERV),
            0);
  EXPECT_STREQ(host, "2001:db8::5");
  EXPECT_STREQ(serv, "443");
  char tiny[4];
  EXPECT_EQ(win::getnameinfo(reinterpret_cast<win::sockaddr*>(&a), sizeof a, tiny, sizeof tiny,
                             nullptr, 0, win::NI_NUMERICHOST),
            win::WSAEFAULT);
  EXPECT_EQ(win::getnameinfo(reinterpret_cast<win::sockaddr*>(&a), 20, host, sizeof host, nullptr,
                             0, win::NI_NUMERICHOST),
            win::WSAEFAULT);
  char text[64];
  win::in_addr v4{win::inet_addr("10.20.30.40")};
  EXPECT_STREQ(win::inet_ntop(win::AF_INET, &v4, text, sizeof text), "10.20.30.40");
  EXPECT_EQ(win::inet_pton(win::AF_INET, "10.20.30", &v4), 0);
  EXPECT_EQ(win::inet_pton(7, "1.2.3.4", &v4), -1);
}

TEST(LibraryTest, StandInsLoadByNameAndCanBeSwitchedOff) {
  win::HMODULE ws = win::LoadLibraryA("ws2_32.dll");
  ASSERT_NE(ws, nullptr);
  EXPECT_EQ(win::LoadLibraryA("WS2_32"), ws);  // same module, one more reference
  using GetAddrInfoFn = int (*)(const char*, const char*, const win::addrinfo*, win::addrinfo**);
  auto fn = reinterpret_cast<GetAddrInfoFn>(win::GetProcAddress(ws, "getaddrinfo"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn, &win::getaddrinfo);
  EXPECT_NE(win::GetProcAddress(ws, "freeaddrinfo"), nullptr);
  EXPECT_NE(win::GetProcAddress(ws, "getnameinfo"), nullptr);
  EXPECT_NE(win::GetProcAddress(ws, "gethostbyaddr"), nullptr);
  EXPECT_EQ(win::GetProcAddress(ws, "GetAddrInfo"), nullptr);  // names are exact
  EXPECT_EQ(win::GetLastError(), win::ERROR_PROC_NOT_FOUND);

  win::SetLibraryEnabled("ws2_32.dll", false);
  EXPECT_EQ(win::LoadLibraryA("ws2_32.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
  EXPECT_NE(win::GetProcAddress(ws, "getaddrinfo"), nullptr);  // loaded handles keep working
  win::EnableAllLibraries();
  EXPECT_EQ(win::LoadLibraryA("ws2_32.dll"), ws);

  EXPECT_TRUE(win::FreeLibrary(ws));
  EXPECT_TRUE(win::FreeLibrary(ws));
  EXPECT_TRUE(win::FreeLibrary(ws));
  EXPECT_FALSE(win::FreeLibrary(ws));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(win::GetProcAddress(ws, "getaddrinfo"), nullptr);
  win::HMODULE again = win::LoadLibraryA("ws2_32.dll");
  EXPECT_NE(again, ws);  // handles are never reused
  win::FreeLibrary(again);

  // Libraries this platform does not have are missing, as on a machine without them.
  EXPECT_EQ(win::LoadLibraryA("netapi32.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(win::LoadLibraryA("nosuchlib.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
}

TEST(LibraryTest, NtdllReportsTheVersion) {
  win::HMODULE nt = win::LoadLibraryA("ntdll.dll");
  ASSERT_NE(nt, nullptr);
  using RtlGetVersionFn = win::NTSTATUS (*)(win::RTL_OSVERSIONINFOW*);
  auto fn = reinterpret_cast<RtlGetVersionFn>(win::GetProcAddress(nt, "RtlGetVersion"));
  ASSERT_NE(fn, nullptr);
  win::RTL_OSVERSIONINFOW info{};
  EXPECT_EQ(fn(&info), win::STATUS_INVALID_PARAMETER);  // the size must be set
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(fn(&info), win::STATUS_SUCCESS);
  EXPECT_EQ(info.dwMajorVersion, 10u);
  win::SetReportedVersionForTesting(6, 2);
  ASSERT_EQ(fn(&info), win::STATUS_SUCCESS);
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 2u);
  win::SetReportedVersionForTesting(10, 0);
  win::FreeLibrary(nt);
}

TEST(LibraryTest, RealModulesAreOpenedAndCanBeSwitchedOff) {
  win::HMODULE m = win::LoadLibraryA("libm.so.6");
  if (m == nullptr) {
    GTEST_SKIP() << "libm.so.6 not loadable here";
  }
  using CosFn = double (*)(double);
  auto cosine = reinterpret_cast<CosFn>(win::GetProcAddress(m, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(win::GetProcAddress(m, "no_such_symbol_here"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(win::FreeLibrary(m));

  win::SetLibraryEnabled("libm.so.6", false);
  EXPECT_EQ(win::LoadLibraryA("libm.so.6"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
  win::SetLibraryEnabled("libm.so.6", true);

  EXPECT_EQ(win::LoadLibraryA("/nonexistent/libtoken.so"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(win::LoadLibraryA("/etc/hostname"), nullptr);  // there, but not a module
  EXPECT_TRUE(win::GetLastError() == win::ERROR_BAD_EXE_FORMAT ||
              win::GetLastError() == win::ERROR_MOD_NOT_FOUND);
}

int FakeEntry() { return 42; }

TEST(LibraryTest, RegisteredStandInsAnswer) {
  static const win::ProcEntry exports[] = {
      {"FakeEntry", reinterpret_cast<win::FARPROC>(&FakeEntry)}};
  win::RegisterStandIn("faketest.dll", exports);
  win::HMODULE h = win::LoadLibraryA("FakeTest");
  ASSERT_NE(h, nullptr);
  auto fn = reinterpret_cast<int (*)()>(win::GetProcAddress(h, "FakeEntry"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  win::SetLibraryEnabled("faketest.dll", false);
  EXPECT_EQ(win::LoadLibraryA("faketest.dll"), nullptr);
  win::EnableAllLibraries();
  win::FreeLibrary(h);
}

}  // namespace
