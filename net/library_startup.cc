#include "net/library_startup.h"

#include <mutex>

#include "net/name_resolution.h"
#include "net/socket_component.h"
#include "platform/window.h"
#include "platform/winsock.h"

namespace tw {
namespace {

// Room for the owning component's pointer at window long 0.
constexpr int kWindowExtraBytes = 12;

std::mutex g_mutex;
bool g_started = false;
int g_winsock_status = win::WSANOTINITIALISED;
uint16_t g_winsock_version = 0;

// Library detach: the platform's own state is never destroyed, so this may run last.
struct ProcessEnd {
  ~ProcessEnd() { LibraryShutdown(); }
};
ProcessEnd g_process_end;

}  // namespace

void LibraryStartup() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_started) return;
  g_started = true;

  win::WNDCLASSA wc{};
  wc.style = win::CS_GLOBALCLASS;
  wc.lpfnWndProc = &SocketWindowProc;
  wc.cbWndExtra = kWindowExtraBytes;
  wc.lpszClassName = kSocketWindowClass;
  // A class left by an earlier start of the process is as good as a new one.
  win::RegisterClassA(&wc);

  BindWs2Entries();
  win::WSADATA data{};
  g_winsock_status = win::WSAStartup(win::MAKEWORD(2, 2), &data);
  g_winsock_version = g_winsock_status == 0 ? data.wVersion : 0;
  BindNetapiEntries();
  BindCrypt32();
  BindQwaveEntries();
  // secur32 is bound when the platform TLS path first needs it (SecurityInterface).
}

void LibraryShutdown() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_started) return;
  g_started = false;
  win::WSACancelBlockingCall();
  if (g_winsock_status == 0) win::WSACleanup();
  g_winsock_status = win::WSANOTINITIALISED;
  g_winsock_version = 0;
  win::UnregisterClassA(kSocketWindowClass, nullptr);
  ReleaseOptionalLibraries();
}

int WinsockStatus() { return g_winsock_status; }

uint16_t WinsockVersion() { return g_winsock_version; }

}  // namespace tw
