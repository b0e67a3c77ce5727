// The WinINet request path of the HTTP client: with UseWinInet a request runs on one worker
// thread through the platform's WinINet library, and every event is handed back to the caller's
// thread by a synchronous WM_USER + 0x7B message to the component's hidden window.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "net/socket_component.h"
#include "platform/wininet.h"

namespace tw {

class HttpClient;

// The entry points bound by name from "wininet.dll"; all null when the library is missing.
struct WinInetApi {
  win::HMODULE module = nullptr;
  decltype(&win::InternetCloseHandle) InternetCloseHandle = nullptr;
  decltype(&win::InternetReadFile) InternetReadFile = nullptr;
  decltype(&win::HttpQueryInfoA) HttpQueryInfoA = nullptr;
  decltype(&win::HttpSendRequestA) HttpSendRequestA = nullptr;
  decltype(&win::HttpAddRequestHeadersA) HttpAddRequestHeadersA = nullptr;
  decltype(&win::HttpOpenRequestA) HttpOpenRequestA = nullptr;
  decltype(&win::InternetConnectA) InternetConnectA = nullptr;
  decltype(&win::InternetSetStatusCallback) InternetSetStatusCallback = nullptr;
  decltype(&win::InternetOpenA) InternetOpenA = nullptr;
  decltype(&win::InternetSetOptionA) InternetSetOptionA = nullptr;
  decltype(&win::InternetQueryOptionA) InternetQueryOptionA = nullptr;
};

// Binds the entry points once per process (later calls do nothing); UnbindWinInet frees the
// module so that a later BindWinInet binds again (tests switch the library off between them).
void BindWinInet();
void UnbindWinInet();
const WinInetApi& WinInet();

// The text of a WinINet error code, or null when the table does not hold it.
const char* WinInetErrorText(int code);
// The text the status callback gives for a notification (null for the ignored ones).
const char* WinInetStatusText(uint32_t status, uintptr_t info);

// Event cases of the worker's message (wParam).
enum WinInetEvent : int {
  kWinInetConnected = 1,
  kWinInetDisconnected = 2,
  kWinInetEndTransfer = 3,
  kWinInetError = 4,
  kWinInetHeader = 5,
  kWinInetSslStatus = 6,
  kWinInetSslServerAuthentication = 7,
  kWinInetStartTransfer = 8,
  kWinInetTransfer = 9,
};

class WinInetRequest : public WorkerWait {
 public:
  explicit WinInetRequest(HttpClient& client) : client_(client) {}
  ~WinInetRequest() override;

  // Starts the worker for the action; 0, or 200 when no thread could be made.
  int Start(int action);
  // Joins an ended worker (the caller waited for it first).
  void Join();
  // The interrupt action: the handles are closed so that a blocked call returns at once.
  void Cancel();
  // The worker is blocked in an event handler on the caller's thread.
  bool InEvent() const { return event_depth_ > 0; }
  // The request was cancelled by an interrupt or a time-out.
  bool cancelled() const { return cancelled_; }
  // On the caller's thread: runs event `which` with the worker's argument block.
  intptr_t HandleEvent(uintptr_t which, intptr_t args);
  // The text that ended the wait ("Timeout." or "Interrupted."), kept when it was cancelled.
  const ByteString& cancel_text() const { return cancel_text_; }
  // The worker's error text, read once it has ended.
  const ByteString& worker_error() const { return worker_error_; }

  // ---- WorkerWait ----
  bool Ended(uint32_t* exit_code) override;
  void ClearBusy() override;
  void CloseHandles() override;
  void SetCancelled() override;

  // Worker side, public for the status callback.
  int Send(int which, intptr_t a = 0, intptr_t b = 0, intptr_t c = 0, intptr_t d = 0,
           intptr_t e = 0, intptr_t f = 0);

 private:
  int Work(int action);
  int Request(int action);
  int ReadHeaders();
  int ReadBody();
  int ReadBodySource(ByteString& body);
  int OnBlock(const char* bytes, int n);
  int Fail(int code, const char* text);
  int SetWinInetError(int code);

  HttpClient& client_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<uint32_t> exit_code_{0};
  std::mutex handles_lock_;
  win::HINTERNET internet_ = nullptr;
  win::HINTERNET connection_ = nullptr;
  win::HINTERNET request_ = nullptr;
  int event_depth_ = 0;
  ByteString cancel_text_;
  // Worker state of one request. The worker calls through its own copies of the handles: the
  // caller's thread may close and clear the members above at any time.
  win::HINTERNET live_internet_ = nullptr;
  win::HINTERNET live_connection_ = nullptr;
  win::HINTERNET live_request_ = nullptr;
  ByteString worker_error_;
  bool success_ = false;
  bool error_text_set_ = false;
  int64_t bytes_so_far_ = 0;
};

}  // namespace tw
