// Window classes, message-only windows and one message queue per thread, with the home
// platform's calls and semantics.
//
// A window belongs to the thread that made it; its procedure only ever runs on that thread.
// Each thread's queue is made on first use and holds the posted messages, the messages sent from
// other threads (each sender blocks until the owner has handled its message), the quit flag and
// an eventfd that wakes the owner. The socket notifications of WSAAsyncSelect are produced by the
// owner's own PeekMessageA and MsgWaitForMultipleObjects, so every wait blocks in one poll() over
// the eventfd, the sockets of the thread's windows and the handles waited on.
//
// Window handles are never reused: a message for a destroyed window finds nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/handle.h"
#include "platform/last_error.h"
#include "platform/library.h"

namespace win {

using UINT = unsigned;
using LONG = int32_t;
using WORD = uint16_t;
using ATOM = uint16_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;

struct HWND__;
using HWND = HWND__*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;  // ignored
  int cbWndExtra;  // window data reached by Get/SetWindowLongPtrA offsets >= 0; at most 1024
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  const char* lpszMenuName;
  const char* lpszClassName;
};

struct CREATESTRUCTA {
  void* lpCreateParams;
  HINSTANCE hInstance;
  void* hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  const char* lpszName;
  const char* lpszClass;
  DWORD dwExStyle;
};

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// PeekMessageA.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// Wake masks of MsgWaitForMultipleObjects. Socket notifications count as posted messages.
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_RAWINPUT = 0x0400;
constexpr DWORD QS_ALLINPUT = 0x04FF;

// Wait results.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Window data offsets and class styles.
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_USERDATA = -21;
constexpr UINT CS_GLOBALCLASS = 0x4000;

// The parent of a message-only window; (HWND)-1 as a PeekMessageA filter takes thread messages.
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<intptr_t>(-3));

// A name or MAKEINTATOM(atom) where a class name is expected.
inline const char* MAKEINTATOM(ATOM atom) {
  return reinterpret_cast<const char*>(static_cast<uintptr_t>(atom));
}

// Class names compare without regard to case. 0 with ERROR_CLASS_ALREADY_EXISTS for a taken name.
ATOM RegisterClassA(const WNDCLASSA* wc);
// FALSE with ERROR_CLASS_DOES_NOT_EXIST or ERROR_CLASS_HAS_WINDOWS.
BOOL UnregisterClassA(const char* class_name, HINSTANCE instance);

// Makes a window owned by the calling thread. Every window is message-only: parent is
// HWND_MESSAGE, null, or another window. WM_NCCREATE and WM_CREATE are sent during the call;
// FALSE from the first or -1 from the second fails the creation.
HWND CreateWindowExA(DWORD ex_style, const char* class_name, const char* window_name, DWORD style,
                     int x, int y, int width, int height, HWND parent, void* menu,
                     HINSTANCE instance, void* param);
// Only the owning thread may destroy a window (else ERROR_ACCESS_DENIED). Sends WM_DESTROY and
// WM_NCDESTROY, drops the window's queued messages, releases senders waiting on it with 0, and
// ends the socket notifications addressed to it.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

// Offsets >= 0 reach the class's cbWndExtra bytes (ERROR_INVALID_INDEX beyond them).
LONG_PTR GetWindowLongPtrA(HWND window, int index);
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);  // returns the old value

// WM_CLOSE destroys the window, WM_NCCREATE answers TRUE; everything else answers 0.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// A null window posts a thread message to the calling thread. At most 10000 messages wait in one
// queue (ERROR_NOT_ENOUGH_QUOTA beyond).
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// On the owning thread a direct call of the procedure; from another thread the message is queued
// and the caller blocks, handling messages sent to its own windows meanwhile, until the owner has
// handled it. 0 when the window is or becomes invalid or its thread ends.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Sets the calling thread's quit flag: WM_QUIT is returned once no matching message is queued.
void PostQuitMessage(int exit_code);

// Handles the messages sent from other threads, turns the readiness of the thread's sockets into
// notification messages, then returns the first queued message for `window` (null: every window
// and thread messages; (HWND)-1: thread messages only) in [min, max] (0, 0: all).
BOOL PeekMessageA(MSG* msg, HWND window, UINT min, UINT max, UINT remove);
// PeekMessageA(PM_REMOVE) plus an unbounded wait: 0 for WM_QUIT, -1 for an invalid window.
BOOL GetMessageA(MSG* msg, HWND window, UINT min, UINT max);
LRESULT DispatchMessageA(const MSG* msg);
BOOL TranslateMessage(const MSG* msg);  // there is no keyboard input: always FALSE

// A kernel object that waits can include: its descriptor polls readable while it may be
// signalled, and TryAcquire takes the signal (consuming it for auto-reset objects).
class WaitableObject : public KernelObject {
 public:
  virtual int WaitDescriptor() const = 0;
  virtual bool TryAcquire() = 0;
};

// Waits until one of the handles (WaitableObject) is signalled (WAIT_OBJECT_0 + index), input of
// the kinds in `wake_mask` arrived since the thread last looked at its queue (WAIT_OBJECT_0 +
// count), or the time passes (WAIT_TIMEOUT). wait_all must be FALSE.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD millis,
                                DWORD wake_mask);

// ---- For other units of this layer (the socket notifications) ----
namespace internal {

struct PollItem {
  int fd;
  short events;
  short revents;
};

// Descriptors the owner of a queue polls besides the queue itself. Prepare and Collect run on the
// owning thread only, one pair around each poll(); they must not be called with queue locks held.
class QueueWatcher {
 public:
  virtual ~QueueWatcher() = default;
  // Appends the descriptors to poll; true when a notification can be posted without waiting.
  virtual bool Prepare(std::vector<PollItem>* items) = 0;
  // Sees the same items with revents filled in and posts the notifications that follow.
  virtual void Collect(const std::vector<PollItem>& items) = 0;
  // The window is going away: nothing more may be posted to it.
  virtual void WindowDestroyed(HWND window) = 0;
  // The owning thread has ended.
  virtual void QueueClosed() = 0;
};

class MessageQueue;

// The queue of the thread that owns the window; null (ERROR_INVALID_WINDOW_HANDLE) when none.
std::shared_ptr<MessageQueue> QueueOfWindow(HWND window);
bool IsCallingThreadQueue(const MessageQueue& queue);
// The queue's watcher, made by `make` on first use.
std::shared_ptr<QueueWatcher> WatcherOf(MessageQueue& queue,
                                        const std::function<std::shared_ptr<QueueWatcher>()>& make);
// Appends a posted message and wakes the owner; false when the owner has ended or the queue is
// full.
bool PostToQueue(MessageQueue& queue, HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Removes the queued messages with this window, message number and wParam.
void DropFromQueue(MessageQueue& queue, HWND window, UINT message, WPARAM wparam);
// Makes the owner's current or next wait look again at what it polls.
void WakeQueue(MessageQueue& queue);

}  // namespace internal
}  // namespace win
