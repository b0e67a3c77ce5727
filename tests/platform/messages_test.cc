#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "platform/time.h"
#include "platform/window.h"

namespace {

using win::HWND;
using win::LPARAM;
using win::LRESULT;
using win::MSG;
using win::UINT;
using win::WPARAM;

constexpr char kClassName[] = "messages_test_wnd";
constexpr int kExtraBytes = 12;
constexpr UINT kPing = win::WM_USER + 1;
constexpr UINT kWorkerEvent = win::WM_USER + 0x7B;

struct Seen {
  HWND window;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  std::thread::id thread;
};

// Every procedure call is recorded; kPing answers wParam + 1.
std::mutex seen_lock;
std::vector<Seen> seen;
void* last_create_param = nullptr;

LRESULT RecordingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard<std::mutex> guard(seen_lock);
    seen.push_back({window, message, wparam, lparam, std::this_thread::get_id()});
  }
  if (message == win::WM_CREATE) {
    last_create_param = reinterpret_cast<win::CREATESTRUCTA*>(lparam)->lpCreateParams;
  }
  if (message == kPing) return static_cast<LRESULT>(wparam + 1);
  if (message == kWorkerEvent) return *reinterpret_cast<int*>(lparam) * 2;
  return win::DefWindowProcA(window, message, wparam, lparam);
}

std::vector<Seen> SeenWith(UINT message) {
  std::lock_guard<std::mutex> guard(seen_lock);
  std::vector<Seen> out;
  for (const Seen& s : seen) {
    if (s.message == message) out.push_back(s);
  }
  return out;
}

double ThreadCpuMillis() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

class MessagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    win::WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.cbWndExtra = kExtraBytes;
    wc.lpszClassName = kClassName;
    atom_ = win::RegisterClassA(&wc);
    ASSERT_NE(atom_, 0);
  }
  static void TearDownTestSuite() { win::UnregisterClassA(kClassName, nullptr); }

  void SetUp() override {
    std::lock_guard<std::mutex> guard(seen_lock);
    seen.clear();
  }
  void TearDown() override {
    for (HWND w : windows_) win::DestroyWindow(w);
    MSG m;
    while (win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE)) {
    }
  }

  HWND NewWindow(void* param = nullptr) {
    HWND w = win::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE, nullptr,
                                  nullptr, param);
    if (w) windows_.push_back(w);
    return w;
  }

  static win::ATOM atom_;
  std::vector<HWND> windows_;
};

win::ATOM MessagesTest::atom_ = 0;

TEST_F(MessagesTest, ClassRegistrationRules) {
  win::WNDCLASSA wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "MESSAGES_TEST_WND";  // names compare without case
  EXPECT_EQ(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_CLASS_ALREADY_EXISTS);

  wc.lpszClassName = "huge_window_data";
  wc.cbWndExtra = 1 << 30;
  EXPECT_EQ(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  wc.cbWndExtra = 0;

  wc.lpfnWndProc = nullptr;
  wc.lpszClassName = "no_procedure";
  EXPECT_EQ(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

  EXPECT_EQ(win::CreateWindowExA(0, "never_registered", "", 0, 0, 0, 0, 0, win::HWND_MESSAGE,
                                 nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_CANNOT_FIND_WND_CLASS);

  // By atom, and a class with a live window cannot go.
  HWND w = win::CreateWindowExA(0, win::MAKEINTATOM(atom_), "", 0, 0, 0, 0, 0, win::HWND_MESSAGE,
                                nullptr, nullptr, nullptr);
  ASSERT_NE(w, nullptr);
  windows_.push_back(w);
  EXPECT_FALSE(win::UnregisterClassA(kClassName, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_CLASS_HAS_WINDOWS);
  EXPECT_FALSE(win::UnregisterClassA("never_registered", nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_CLASS_DOES_NOT_EXIST);
}

TEST_F(MessagesTest, CreationMessagesAndWindowData) {
  int marker = 0;
  HWND w = NewWindow(&marker);
  ASSERT_NE(w, nullptr);
  auto creates = SeenWith(win::WM_CREATE);
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].window, w);
  EXPECT_EQ(last_create_param, &marker);
  EXPECT_EQ(SeenWith(win::WM_NCCREATE).size(), 1u);

  // Window long 0 holds a pointer; the 12 extra bytes take one at offsets 0 to 4.
  EXPECT_EQ(win::GetWindowLongPtrA(w, 0), 0);
  EXPECT_EQ(win::SetWindowLongPtrA(w, 0, reinterpret_cast<win::LONG_PTR>(&marker)), 0);
  EXPECT_EQ(win::GetWindowLongPtrA(w, 0), reinterpret_cast<win::LONG_PTR>(&marker));
  EXPECT_EQ(win::SetWindowLongPtrA(w, 4, 77),
            static_cast<win::LONG_PTR>(reinterpret_cast<uintptr_t>(&marker) >> 32));
  win::SetLastError(0);
  EXPECT_EQ(win::GetWindowLongPtrA(w, 5), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_INDEX);
  EXPECT_EQ(win::SetWindowLongPtrA(w, win::GWLP_USERDATA, 5), 0);
  EXPECT_EQ(win::GetWindowLongPtrA(w, win::GWLP_USERDATA), 5);
  EXPECT_EQ(win::GetWindowLongPtrA(w, win::GWLP_WNDPROC),
            reinterpret_cast<win::LONG_PTR>(&RecordingProc));
}

LRESULT RefusingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == win::WM_NCCREATE) return 0;
  return win::DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(MessagesTest, RefusedCreationLeavesNoWindow) {
  win::WNDCLASSA wc{};
  wc.lpfnWndProc = RefusingProc;
  wc.lpszClassName = "refusing_wnd";
  ASSERT_NE(win::RegisterClassA(&wc), 0);
  EXPECT_EQ(win::CreateWindowExA(0, "refusing_wnd", "", 0, 0, 0, 0, 0, win::HWND_MESSAGE, nullptr,
                                 nullptr, nullptr),
            nullptr);
  EXPECT_TRUE(win::UnregisterClassA("refusing_wnd", nullptr));  // no window was left behind
}

TEST_F(MessagesTest, DestroyedWindowsAreGoneAndNumbersNeverReused) {
  std::set<HWND> handles;
  for (int i = 0; i < 20; ++i) {
    HWND w = win::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(handles.insert(w).second);
    ASSERT_TRUE(win::PostMessageA(w, kPing, 1, 2));
    ASSERT_TRUE(win::DestroyWindow(w));
    EXPECT_FALSE(win::IsWindow(w));
    EXPECT_FALSE(win::PostMessageA(w, kPing, 0, 0));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(win::SendMessageA(w, kPing, 5, 0), 0);
  }
  // The messages posted before each destruction went with the window.
  MSG m;
  EXPECT_FALSE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(SeenWith(win::WM_DESTROY).size(), 20u);
  EXPECT_EQ(SeenWith(win::WM_NCDESTROY).size(), 20u);
  EXPECT_TRUE(SeenWith(kPing).empty());
}

TEST_F(MessagesTest, DefaultProcedureDestroysOnClose) {
  HWND w = NewWindow();
  ASSERT_TRUE(win::PostMessageA(w, win::WM_CLOSE, 0, 0));
  MSG m;
  ASSERT_TRUE(win::PeekMessageA(&m, w, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(m.message, win::WM_CLOSE);
  win::DispatchMessageA(&m);
  EXPECT_FALSE(win::IsWindow(w));
  // Filtering on a window that is gone is an error, not a silent empty queue.
  EXPECT_FALSE(win::PeekMessageA(&m, w, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(MessagesTest, QuitComesAfterEveryPostedMessage) {
  HWND w = NewWindow();
  ASSERT_TRUE(win::PostMessageA(w, kPing, 1, 0));
  win::PostQuitMessage(7);
  ASSERT_TRUE(win::PostMessageA(w, kPing, 2, 0));
  ASSERT_TRUE(win::PostMessageA(nullptr, kPing, 3, 0));  // a thread message

  MSG m;
  std::vector<std::pair<UINT, WPARAM>> order;
  // PM_NOREMOVE shows the quit without consuming it.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE));
    order.emplace_back(m.message, m.wParam);
  }
  ASSERT_TRUE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_NOREMOVE));
  EXPECT_EQ(m.message, win::WM_QUIT);
  EXPECT_EQ(win::GetMessageA(&m, nullptr, 0, 0), 0);
  EXPECT_EQ(m.message, win::WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(order, (std::vector<std::pair<UINT, WPARAM>>{{kPing, 1}, {kPing, 2}, {kPing, 3}}));
}

TEST_F(MessagesTest, WindowAndRangeFilters) {
  HWND a = NewWindow();
  HWND b = NewWindow();
  ASSERT_TRUE(win::PostMessageA(b, kPing, 1, 0));
  ASSERT_TRUE(win::PostMessageA(a, kPing + 1, 2, 0));
  ASSERT_TRUE(win::PostMessageA(nullptr, kPing, 3, 0));
  ASSERT_TRUE(win::PostMessageA(a, kPing, 4, 0));

  MSG m;
  ASSERT_TRUE(win::PeekMessageA(&m, a, kPing, kPing, win::PM_REMOVE));
  EXPECT_EQ(m.wParam, 4u);
  ASSERT_TRUE(win::PeekMessageA(&m, a, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_FALSE(win::PeekMessageA(&m, a, 0, 0, win::PM_REMOVE));
  ASSERT_TRUE(win::PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, win::PM_REMOVE));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_EQ(m.hwnd, nullptr);
  ASSERT_TRUE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_EQ(m.hwnd, b);
}

TEST_F(MessagesTest, WaitWakesOnlyForNewInput) {
  HWND a = NewWindow();
  HWND b = NewWindow();
  ASSERT_TRUE(win::PostMessageA(b, kPing, 1, 0));
  MSG m;
  // The message for b has been looked at: a wait does not return for it again, so a loop that
  // only takes a's messages does not spin on it.
  EXPECT_FALSE(win::PeekMessageA(&m, a, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 30, win::QS_ALLINPUT),
            win::WAIT_TIMEOUT);
  ASSERT_TRUE(win::PostMessageA(a, kPing, 2, 0));
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 5000, win::QS_ALLINPUT),
            win::WAIT_OBJECT_0);
  win::PostQuitMessage(0);
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 5000, win::QS_ALLINPUT),
            win::WAIT_OBJECT_0);
}

TEST_F(MessagesTest, IdleWaitUsesNoProcessor) {
  NewWindow();
  double cpu = ThreadCpuMillis();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 300, win::QS_ALLINPUT),
            win::WAIT_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(ThreadCpuMillis() - cpu, 30.0);
}

TEST_F(MessagesTest, SendFromAnotherThreadRunsOnOwnerWhileItWaits) {
  HWND w = NewWindow();
  std::atomic<bool> done{false};
  LRESULT answer = 0;
  int argument = 21;
  std::thread worker([&] {
    answer = win::SendMessageA(w, kWorkerEvent, 3, reinterpret_cast<LPARAM>(&argument));
    done = true;
  });
  // The owner's wait loop, as a blocking operation pumps: peek, dispatch, wait.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    MSG m;
    if (win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE)) {
      win::DispatchMessageA(&m);
    } else {
      win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 20, win::QS_ALLINPUT);
    }
  }
  worker.join();
  EXPECT_EQ(answer, 42);
  auto calls = SeenWith(kWorkerEvent);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
}

// Answers kWorkerEvent by sending kPing to the window in lParam and passing on its answer.
LRESULT BouncingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kWorkerEvent)
    return win::SendMessageA(reinterpret_cast<HWND>(lparam), kPing, 9, 0);
  return win::DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(MessagesTest, SendersWaitingOnEachOtherDoNotDeadlock) {
  win::WNDCLASSA wc{};
  wc.lpfnWndProc = BouncingProc;
  wc.lpszClassName = "bouncing_wnd";
  ASSERT_NE(win::RegisterClassA(&wc), 0);
  HWND mine = NewWindow();
  std::promise<HWND> theirs_made;
  std::atomic<bool> stop{false};
  std::thread other([&] {
    HWND theirs = win::CreateWindowExA(0, "bouncing_wnd", "", 0, 0, 0, 0, 0, win::HWND_MESSAGE,
                                       nullptr, nullptr, nullptr);
    theirs_made.set_value(theirs);
    MSG m;
    while (!stop) {
      if (win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE)) win::DispatchMessageA(&m);
      win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, 20, win::QS_ALLINPUT);
    }
    win::DestroyWindow(theirs);
  });
  HWND theirs = theirs_made.get_future().get();
  // The other thread's procedure sends back here while this thread is blocked in its send.
  EXPECT_EQ(win::SendMessageA(theirs, kWorkerEvent, 0, reinterpret_cast<LPARAM>(mine)), 10);
  stop = true;
  other.join();
  auto pings = SeenWith(kPing);
  ASSERT_EQ(pings.size(), 1u);
  EXPECT_EQ(pings[0].thread, std::this_thread::get_id());
  EXPECT_TRUE(win::UnregisterClassA("bouncing_wnd", nullptr));
}

TEST_F(MessagesTest, SendToAThreadThatEndsReturnsZero) {
  std::promise<HWND> made;
  std::promise<void> go;
  std::thread owner([&] {
    HWND w = win::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    made.set_value(w);
    go.get_future().wait();  // ends without ever pumping
  });
  HWND w = made.get_future().get();
  std::thread sender([&] { EXPECT_EQ(win::SendMessageA(w, kPing, 1, 0), 0); });
  go.set_value();
  owner.join();
  sender.join();
  EXPECT_FALSE(win::IsWindow(w));  // windows end with their thread
  EXPECT_TRUE(SeenWith(kPing).empty());
}

TEST_F(MessagesTest, OnlyTheOwnerDestroysOrDispatches) {
  HWND w = NewWindow();
  std::thread other([&] {
    EXPECT_FALSE(win::DestroyWindow(w));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
    MSG m{w, kPing, 1, 0, 0, {}};
    EXPECT_EQ(win::DispatchMessageA(&m), 0);
    // Posting from any thread is allowed.
    EXPECT_TRUE(win::PostMessageA(w, kPing, 2, 0));
  });
  other.join();
  EXPECT_TRUE(win::IsWindow(w));
  EXPECT_TRUE(SeenWith(kPing).empty());
  MSG m;
  ASSERT_TRUE(win::PeekMessageA(&m, w, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(win::DispatchMessageA(&m), 3);
}

TEST_F(MessagesTest, PostedQueueIsBounded) {
  HWND w = NewWindow();
  int accepted = 0;
  while (accepted < 20000 && win::PostMessageA(w, kPing, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_QUOTA);
}

// An auto-reset event over an eventfd, standing for the kernel objects waits include.
class TestEvent : public win::WaitableObject {
 public:
  TestEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~TestEvent() override { close(fd_); }
  int WaitDescriptor() const override { return fd_; }
  bool TryAcquire() override {
    uint64_t v;
    return read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
  }
  void Set() {
    uint64_t one = 1;
    ASSERT_EQ(write(fd_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }

 private:
  int fd_;
};

TEST_F(MessagesTest, WaitReturnsForASignalledHandle) {
  auto event = std::make_shared<TestEvent>();
  win::HANDLE handles[2] = {win::RegisterHandle(std::make_shared<TestEvent>()),
                            win::RegisterHandle(event)};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    event->Set();
  });
  EXPECT_EQ(win::MsgWaitForMultipleObjects(2, handles, win::FALSE, 10000, win::QS_ALLINPUT),
            win::WAIT_OBJECT_0 + 1);
  setter.join();
  // Auto-reset: the signal was taken.
  EXPECT_EQ(win::MsgWaitForMultipleObjects(2, handles, win::FALSE, 0, win::QS_ALLINPUT),
            win::WAIT_TIMEOUT);
  // Input still counts while handles are waited on.
  win::PostMessageA(nullptr, kPing, 0, 0);
  EXPECT_EQ(win::MsgWaitForMultipleObjects(2, handles, win::FALSE, 10000, win::QS_ALLINPUT),
            win::WAIT_OBJECT_0 + 2);
  EXPECT_TRUE(win::CloseHandle(handles[0]));
  EXPECT_EQ(win::MsgWaitForMultipleObjects(2, handles, win::FALSE, 0, win::QS_ALLINPUT),
            win::WAIT_FAILED);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  win::CloseHandle(handles[1]);
}

}  // namespace
