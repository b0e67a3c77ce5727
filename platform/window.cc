#include "platform/window.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/process_tables.h"
#include "platform/time.h"

namespace win {
namespace {

// The home platform's limit on posted messages per queue: a runaway poster fails instead of
// exhausting memory.
constexpr size_t kMaxPostedMessages = 10000;

// Class atoms come from the range the home platform uses for registered classes.
constexpr ATOM kFirstClassAtom = 0xC000;
constexpr ATOM kLastClassAtom = 0xFFFF;

// Window data is for a few pointers; a larger request is refused instead of allocated per window.
constexpr int kMaxExtraBytes = 1024;

inline HWND const kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

}  // namespace

namespace internal {

struct SentMessage {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  LRESULT result = 0;
  std::atomic<bool> done{false};
  std::shared_ptr<MessageQueue> sender;
};

class MessageQueue {
 public:
  explicit MessageQueue(int fd) : wake_fd(fd) {}
  ~MessageQueue() { ::close(wake_fd); }
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  const int wake_fd;
  std::mutex lock;
  bool closed = false;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  // post_seq counts every posted message and quit request; seen_seq is its value when the owner
  // last looked at the queue, so a wait wakes for new input only, as on the home platform.
  uint64_t post_seq = 0;
  uint64_t seen_seq = 0;
  bool quit = false;
  int quit_code = 0;
  std::shared_ptr<QueueWatcher> watcher;
};

}  // namespace internal

namespace {

using internal::MessageQueue;
using internal::QueueWatcher;
using internal::SentMessage;

struct WindowClass {
  std::string key;  // lower-case name
  ATOM atom = 0;
  WNDPROC proc = nullptr;
  int extra_bytes = 0;
  UINT style = 0;
  HINSTANCE instance = nullptr;
  int windows = 0;
};

struct Window {
  uintptr_t id = 0;
  std::shared_ptr<WindowClass> window_class;
  std::shared_ptr<MessageQueue> queue;
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  HWND parent = nullptr;
  LONG_PTR user_data = 0;
  std::vector<unsigned char> extra;
  bool destroying = false;
};

struct Registry {
  std::mutex lock;
  std::unordered_map<std::string, std::shared_ptr<WindowClass>> classes;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  ATOM next_atom = kFirstClassAtom;
};

Registry& Reg() {
  static Registry* registry = KeepProcessTable(new Registry);  // windows may outlive statics
  return *registry;
}

void CloseQueue(const std::shared_ptr<MessageQueue>& queue);

// The calling thread's queue, made on first use and closed when the thread ends.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (queue) CloseQueue(queue);
  }
};
thread_local QueueHolder tls_queue;

std::shared_ptr<MessageQueue> CallingQueue() {
  if (!tls_queue.queue) {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    tls_queue.queue = std::make_shared<MessageQueue>(fd);
  }
  return tls_queue.queue;
}

void Wake(MessageQueue& queue) {
  uint64_t one = 1;
  while (::write(queue.wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Drain(MessageQueue& queue) {
  uint64_t count;
  while (::read(queue.wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

std::string Lower(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsAtom(const char* name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

std::shared_ptr<WindowClass> FindClassLocked(Registry& reg, const char* name) {
  if (name == nullptr) return nullptr;
  if (IsAtom(name)) {
    ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
    for (auto& [key, cls] : reg.classes) {
      if (cls->atom == atom) return cls;
    }
    return nullptr;
  }
  auto it = reg.classes.find(Lower(name));
  return it == reg.classes.end() ? nullptr : it->second;
}

std::shared_ptr<Window> LookupWindow(HWND window) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  auto it = reg.windows.find(reinterpret_cast<uintptr_t>(window));
  return it == reg.windows.end() ? nullptr : it->second;
}

HWND HandleOf(const Window& w) { return reinterpret_cast<HWND>(w.id); }

LRESULT CallProc(const Window& w, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> guard(Reg().lock);
    proc = w.proc;
  }
  return proc(HandleOf(w), message, wparam, lparam);
}

// Takes the window out of the table; its procedure is not called again.
void RemoveWindow(const std::shared_ptr<Window>& w) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  if (reg.windows.erase(w->id) != 0) --w->window_class->windows;
}

void Complete(SentMessage& sent, LRESULT result) {
  sent.result = result;
  sent.done.store(true, std::memory_order_release);
  Wake(*sent.sender);
}

// Runs the procedures for the messages other threads sent to this thread's windows.
void ProcessSentMessages(MessageQueue& queue) {
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<std::mutex> guard(queue.lock);
      if (queue.sent.empty()) return;
      sent = std::move(queue.sent.front());
      queue.sent.pop_front();
    }
    LRESULT result = 0;
    std::shared_ptr<Window> w = LookupWindow(sent->window);
    if (w && w->queue.get() == &queue) {
      result = CallProc(*w, sent->message, sent->wparam, sent->lparam);
    }
    Complete(*sent, result);
  }
}

// Windows die with their thread; senders still waiting on the thread are released.
void CloseQueue(const std::shared_ptr<MessageQueue>& queue) {
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    for (auto it = reg.windows.begin(); it != reg.windows.end();) {
      if (it->second->queue == queue) {
        --it->second->window_class->windows;
        it = reg.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::shared_ptr<QueueWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->closed = true;
    queue->posted.clear();
    sent.swap(queue->sent);
    watcher = std::move(queue->watcher);
  }
  for (auto& s : sent) Complete(*s, 0);
  if (watcher) watcher->QueueClosed();
}

int PollItems(std::vector<internal::PollItem>* items, int timeout_ms) {
  std::vector<pollfd> fds(items->size());
  for (size_t i = 0; i < fds.size(); ++i) {
    fds[i] = pollfd{(*items)[i].fd, (*items)[i].events, 0};
  }
  int n = ::poll(fds.data(), fds.size(), timeout_ms);
  for (size_t i = 0; i < fds.size(); ++i) (*items)[i].revents = n > 0 ? fds[i].revents : 0;
  return n;
}

std::shared_ptr<QueueWatcher> WatcherOfQueue(MessageQueue& queue) {
  std::lock_guard<std::mutex> guard(queue.lock);
  return queue.watcher;
}

// Turns the present readiness of the thread's sockets into notification messages, without waiting.
void PumpSockets(MessageQueue& queue) {
  std::shared_ptr<QueueWatcher> watcher = WatcherOfQueue(queue);
  if (!watcher) return;
  std::vector<internal::PollItem> items;
  watcher->Prepare(&items);
  if (!items.empty()) {
    while (PollItems(&items, 0) < 0 && errno == EINTR) {
    }
  }
  watcher->Collect(items);
}

bool InRange(UINT message, UINT min, UINT max) {
  return (min == 0 && max == 0) || (message >= min && message <= max);
}

bool Matches(const MSG& m, HWND window, UINT min, UINT max) {
  if (window == kThreadMessagesOnly) {
    if (m.hwnd != nullptr) return false;
  } else if (window != nullptr && m.hwnd != window) {
    return false;
  }
  return InRange(m.message, min, max);
}

// 1: a message was found, 0: none, -1: the window filter is not a window of this thread.
int PeekImpl(MSG* msg, HWND window, UINT min, UINT max, UINT remove) {
  std::shared_ptr<MessageQueue> queue = CallingQueue();
  if (!queue || msg == nullptr) {
    if (msg == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window != nullptr && window != kThreadMessagesOnly) {
    std::shared_ptr<Window> w = LookupWindow(window);
    if (!w || w->queue != queue) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
  ProcessSentMessages(*queue);
  PumpSockets(*queue);
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->seen_seq = queue->post_seq;
  for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
    if (!Matches(*it, window, min, max)) continue;
    *msg = *it;
    if (remove & PM_REMOVE) queue->posted.erase(it);
    return 1;
  }
  if (queue->quit && InRange(WM_QUIT, min, max)) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue->quit_code), 0, GetTickCount(), {}};
    if (remove & PM_REMOVE) queue->quit = false;
    return 1;
  }
  return 0;
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* wc) {
  if (wc == nullptr || wc->lpfnWndProc == nullptr || wc->lpszClassName == nullptr ||
      IsAtom(wc->lpszClassName) || wc->lpszClassName[0] == 0 || wc->cbWndExtra < 0 ||
      wc->cbWndExtra > kMaxExtraBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  std::string key = Lower(wc->lpszClassName);
  if (reg.classes.count(key) != 0) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  ATOM atom = 0;
  for (int tries = 0; tries <= kLastClassAtom - kFirstClassAtom; ++tries) {
    ATOM candidate = reg.next_atom;
    reg.next_atom =
        candidate == kLastClassAtom ? kFirstClassAtom : static_cast<ATOM>(candidate + 1);
    if (!FindClassLocked(reg, MAKEINTATOM(candidate))) {
      atom = candidate;
      break;
    }
  }
  if (atom == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  auto cls = std::make_shared<WindowClass>();
  cls->key = key;
  cls->atom = atom;
  cls->proc = wc->lpfnWndProc;
  cls->extra_bytes = wc->cbWndExtra;
  cls->style = wc->style;
  cls->instance = wc->hInstance;
  reg.classes.emplace(std::move(key), std::move(cls));
  return atom;
}

BOOL UnregisterClassA(const char* class_name, HINSTANCE) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  std::shared_ptr<WindowClass> cls = FindClassLocked(reg, class_name);
  if (!cls) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (cls->windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  reg.classes.erase(cls->key);
  return TRUE;
}

HWND CreateWindowExA(DWORD ex_style, const char* class_name, const char* window_name, DWORD style,
                     int x, int y, int width, int height, HWND parent, void* menu,
                     HINSTANCE instance, void* param) {
  std::shared_ptr<MessageQueue> queue = CallingQueue();
  if (!queue) return nullptr;
  if (parent != nullptr && parent != HWND_MESSAGE && !LookupWindow(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto w = std::make_shared<Window>();
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    std::shared_ptr<WindowClass> cls = FindClassLocked(reg, class_name);
    if (!cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    w->id = NewHandleId();
    w->window_class = cls;
    w->queue = queue;
    w->proc = cls->proc;
    w->instance = instance;
    w->parent = parent;
    w->extra.assign(static_cast<size_t>(cls->extra_bytes), 0);
    ++cls->windows;
    reg.windows.emplace(w->id, w);
  }
  CREATESTRUCTA cs{
      param,       instance,   menu,    parent, height, width, y, x, static_cast<LONG>(style),
      window_name, class_name, ex_style};
  LPARAM create_param = reinterpret_cast<LPARAM>(&cs);
  if (CallProc(*w, WM_NCCREATE, 0, create_param) == 0) {
    RemoveWindow(w);
    return nullptr;
  }
  if (CallProc(*w, WM_CREATE, 0, create_param) == -1) {
    DestroyWindow(HandleOf(*w));
    return nullptr;
  }
  return HandleOf(*w);
}

BOOL DestroyWindow(HWND window) {
  std::shared_ptr<Window> w = LookupWindow(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->queue != tls_queue.queue) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(Reg().lock);
    if (w->destroying) return TRUE;  // DestroyWindow from within WM_DESTROY
    w->destroying = true;
  }
  CallProc(*w, WM_DESTROY, 0, 0);
  CallProc(*w, WM_NCDESTROY, 0, 0);
  RemoveWindow(w);

  MessageQueue& queue = *w->queue;
  std::vector<std::shared_ptr<SentMessage>> orphans;
  std::shared_ptr<QueueWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(queue.lock);
    std::erase_if(queue.posted, [window](const MSG& m) { return m.hwnd == window; });
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
      if ((*it)->window == window) {
        orphans.push_back(std::move(*it));
        it = queue.sent.erase(it);
      } else {
        ++it;
      }
    }
    watcher = queue.watcher;
  }
  for (auto& s : orphans) Complete(*s, 0);
  if (watcher) watcher->WindowDestroyed(window);
  return TRUE;
}

BOOL IsWindow(HWND window) { return LookupWindow(window) ? TRUE : FALSE; }

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  auto it = reg.windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == reg.windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  Window& w = *it->second;
  if (index >= 0) {
    if (static_cast<size_t>(index) + sizeof(LONG_PTR) > w.extra.size()) {
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
    }
    LONG_PTR value;
    std::memcpy(&value, w.extra.data() + index, sizeof value);
    return value;
  }
  switch (index) {
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(w.proc);
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(w.instance);
    case GWLP_USERDATA:
      return w.user_data;
    default:
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
  }
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  auto it = reg.windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == reg.windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  Window& w = *it->second;
  LONG_PTR old = 0;
  if (index >= 0) {
    if (static_cast<size_t>(index) + sizeof(LONG_PTR) > w.extra.size()) {
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
    }
    std::memcpy(&old, w.extra.data() + index, sizeof old);
    std::memcpy(w.extra.data() + index, &value, sizeof value);
    return old;
  }
  switch (index) {
    case GWLP_WNDPROC:
      if (value == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      old = reinterpret_cast<LONG_PTR>(w.proc);
      w.proc = reinterpret_cast<WNDPROC>(value);
      return old;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w.instance);
      w.instance = reinterpret_cast<HINSTANCE>(value);
      return old;
    case GWLP_USERDATA:
      old = w.user_data;
      w.user_data = value;
      return old;
    default:
      SetLastError(ERROR_INVALID_INDEX);
      return 0;
  }
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_NCCREATE:
      return TRUE;
    default:
      return 0;
  }
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<MessageQueue> queue;
  if (window == nullptr) {
    queue = CallingQueue();
    if (!queue) return FALSE;
  } else {
    std::shared_ptr<Window> w = LookupWindow(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = w->queue;
  }
  return internal::PostToQueue(*queue, window, message, wparam, lparam) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<Window> w = LookupWindow(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::shared_ptr<MessageQueue> me = CallingQueue();
  if (!me) return 0;
  if (w->queue == me) return CallProc(*w, message, wparam, lparam);

  auto sent = std::make_shared<SentMessage>();
  sent->window = window;
  sent->message = message;
  sent->wparam = wparam;
  sent->lparam = lparam;
  sent->sender = me;
  {
    std::lock_guard<std::mutex> guard(w->queue->lock);
    if (w->queue->closed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    w->queue->sent.push_back(sent);
  }
  Wake(*w->queue);
  // While waiting, messages sent to this thread are handled, so two threads sending to each
  // other cannot deadlock.
  for (;;) {
    Drain(*me);
    ProcessSentMessages(*me);
    if (sent->done.load(std::memory_order_acquire)) return sent->result;
    pollfd fd{me->wake_fd, POLLIN, 0};
    ::poll(&fd, 1, -1);
  }
}

void PostQuitMessage(int exit_code) {
  std::shared_ptr<MessageQueue> queue = CallingQueue();
  if (!queue) return;
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->quit = true;
  queue->quit_code = exit_code;
  ++queue->post_seq;
}

BOOL PeekMessageA(MSG* msg, HWND window, UINT min, UINT max, UINT remove) {
  return PeekImpl(msg, window, min, max, remove) > 0 ? TRUE : FALSE;
}

BOOL GetMessageA(MSG* msg, HWND window, UINT min, UINT max) {
  for (;;) {
    int found = PeekImpl(msg, window, min, max, PM_REMOVE);
    if (found < 0) return -1;
    if (found > 0) return msg->message == WM_QUIT ? FALSE : TRUE;
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT) == WAIT_FAILED) {
      return -1;
    }
  }
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  std::shared_ptr<Window> w = LookupWindow(msg->hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->queue != tls_queue.queue) {
    SetLastError(ERROR_ACCESS_DENIED);  // a procedure only runs on its window's thread
    return 0;
  }
  return CallProc(*w, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD millis,
                                DWORD wake_mask) {
  if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count > 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (wait_all && count > 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<WaitableObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandleAs<WaitableObject>(handles[i]);
    if (!object) return WAIT_FAILED;
    objects.push_back(std::move(object));
  }
  std::shared_ptr<MessageQueue> queue = CallingQueue();
  if (!queue) return WAIT_FAILED;

  const bool wants_posted = (wake_mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0;
  const bool wants_sent = (wake_mask & QS_SENDMESSAGE) != 0;
  const bool finite = millis != INFINITE;
  const ULONGLONG deadline = finite ? GetTickCount64() + millis : 0;
  std::shared_ptr<QueueWatcher> watcher = wants_posted ? WatcherOfQueue(*queue) : nullptr;
  bool polled = false;
  std::vector<internal::PollItem> items;
  for (;;) {
    Drain(*queue);
    for (DWORD i = 0; i < count; ++i) {
      if (objects[i]->TryAcquire()) return WAIT_OBJECT_0 + i;
    }
    {
      std::lock_guard<std::mutex> guard(queue->lock);
      if ((wants_sent && !queue->sent.empty()) ||
          (wants_posted && queue->post_seq != queue->seen_seq)) {
        return WAIT_OBJECT_0 + count;
      }
      if (wants_posted && !watcher) watcher = queue->watcher;
    }
    int timeout = -1;
    if (finite) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        if (polled) return WAIT_TIMEOUT;
        timeout = 0;
      } else {
        timeout = static_cast<int>(std::min<ULONGLONG>(deadline - now, INT_MAX));
      }
    }
    items.clear();
    items.push_back({queue->wake_fd, POLLIN, 0});
    for (auto& object : objects) items.push_back({object->WaitDescriptor(), POLLIN, 0});
    if (watcher && watcher->Prepare(&items)) timeout = 0;
    if (PollItems(&items, timeout) < 0 && errno != EINTR) {
      SetLastErrorFromErrno(errno);
      return WAIT_FAILED;
    }
    if (watcher) watcher->Collect(items);
    polled = true;
  }
}

namespace internal {

std::shared_ptr<MessageQueue> QueueOfWindow(HWND window) {
  std::shared_ptr<Window> w = LookupWindow(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->queue;
}

bool IsCallingThreadQueue(const MessageQueue& queue) { return tls_queue.queue.get() == &queue; }

std::shared_ptr<QueueWatcher> WatcherOf(
    MessageQueue& queue, const std::function<std::shared_ptr<QueueWatcher>()>& make) {
  std::lock_guard<std::mutex> guard(queue.lock);
  if (queue.closed) return nullptr;
  if (!queue.watcher) queue.watcher = make();
  return queue.watcher;
}

bool PostToQueue(MessageQueue& queue, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard<std::mutex> guard(queue.lock);
    if (queue.closed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    if (queue.posted.size() >= kMaxPostedMessages) {
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return false;
    }
    queue.posted.push_back(MSG{window, message, wparam, lparam, GetTickCount(), {}});
    ++queue.post_seq;
  }
  if (!IsCallingThreadQueue(queue)) Wake(queue);
  return true;
}

void DropFromQueue(MessageQueue& queue, HWND window, UINT message, WPARAM wparam) {
  std::lock_guard<std::mutex> guard(queue.lock);
  std::erase_if(queue.posted, [&](const MSG& m) {
    return m.hwnd == window && m.message == message && m.wParam == wparam;
  });
}

void WakeQueue(MessageQueue& queue) { Wake(queue); }

}  // namespace internal
}  // namespace win
