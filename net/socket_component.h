// The root of the socket classes: one socket, one hidden message-only window that turns socket
// notifications into WindowProc calls, the time-out state, and the wait step on which every
// blocking operation loops.
//
// Everything runs on the thread that made the component (the owner of its window). Notifications
// reach the component only while that thread dispatches messages, inside a wait step or the
// caller's own message loop.
#pragma once

#include <cstdint>

#include "auth/auth_token_provider.h"
#include "foundation/byte_string.h"
#include "foundation/component_base.h"
#include "foundation/file_handle.h"
#include "platform/window.h"
#include "platform/winsock.h"
#include "tls/ssl_credential_key.h"

namespace tw {

// Message numbers of the hidden window. wParam is the socket, lParam the FD_ event in the low
// word and the Winsock error in the high word.
constexpr unsigned kTcpSocketMessage = win::WM_USER + 0x65;
constexpr unsigned kUdpSocketMessage = win::WM_USER + 0x66;
// Events the WinINet worker hands to the owning thread (sent synchronously).
constexpr unsigned kWorkerEventMessage = win::WM_USER + 0x7B;

constexpr int kErrUseWindowsMessagesBusy = 287;
constexpr uint32_t kMaxTimeoutValue = 2147483;  // seconds (or ms): larger values are capped
constexpr int kLocalNameSize = 101;

// The wait step's verdict: 0 ends the wait (interrupt, time-out, WM_QUIT, WM_CLOSE, lost
// window), 1 goes on.
constexpr int kWaitEnded = 0;
constexpr int kWaitGoOn = 1;

// Bit 0 of LogDebugOption: sends and receives go to the debug log file as data blocks.
constexpr uint32_t kLogDebugData = 0x1;

// What WaitForWorker needs of the WinINet request path.
class WorkerWait {
 public:
  virtual ~WorkerWait() = default;
  // True once the worker thread has ended, with its exit code.
  virtual bool Ended(uint32_t* exit_code) = 0;
  virtual void ClearBusy() = 0;
  // Closes the WinINet handles (makes the worker's blocking calls return).
  virtual void CloseHandles() = 0;
  virtual void SetCancelled() = 0;
};

// Appends the traffic-script escaping of the bytes to out: NUL as "\000", other bytes below 32
// (but CR and LF) and from 127 up as a backslash and three octal digits, and a backslash before
// \ $ " { } [ ]. 0 or 200.
int AppendRecordEscaped(ByteString& out, const void* bytes, int n);

// The window procedure of the hidden window class: calls the owning component's WindowProc
// when that component's window is this window, else DefWindowProcA.
win::LRESULT SocketWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam,
                              win::LPARAM lparam);

class SocketComponent : public ComponentBase {
 public:
  SocketComponent();
  ~SocketComponent() override;

  // ---- Virtual operations, in chain order (classes above override and append) ----
  virtual void Reserved0() {}
  // GetCodePage comes from ComponentBase.
  // DefWindowProcA on the hidden window; 0 without it when IgnoreExternalEvents is on outside a
  // dispatch, or when there is no window.
  intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  int Config(ConfigRequest& request, const char** answer) override;
  // 287 while a socket is open.
  int SetUseWindowsMessages(bool on) override;
  // Records socket, message and mask; with window messages WSAAsyncSelect (0 or the Winsock
  // error), else makes the socket non-blocking when the mask is not 0 and returns 0.
  virtual int SelectEvents(win::SOCKET s, win::HWND window, unsigned message, long mask);
  // The local name: the IPv6 address text, the dotted IPv4 address, or gethostname when none is
  // set. "" on failure, with the Winsock error text set.
  virtual const char* GetLocalAddress();
  // Stores LocalHost and resolves it; 0 or the resolver's error (error text set).
  virtual int SetLocalHost(const char* text);
  virtual const char* GetLocalHost() { return local_host_.c_str(); }
  // One wait step of at most wait_millis: kWaitEnded or kWaitGoOn.
  virtual int WaitStep(int wait_millis, win::HWND window);
  virtual void* GetSecurityContext() { return nullptr; }
  virtual void* GetCertificate() { return nullptr; }
  // The SChannel client certificate from PEM text; the platform TLS path is not available here.
  virtual int LoadCertificate(const void* data, int length);

  // ---- Wait loop and time-out ----
  // WaitStep with SelectWaitMillis and the hidden window.
  int WaitOnce() { return WaitStep(select_wait_millis_, window_); }
  // Waits for the WinINet worker with wait steps: its exit code, 0 without a worker, or 301 when
  // a second ending of the wait cancelled it.
  int WaitForWorker(WorkerWait* worker);
  // Caps value at kMaxTimeoutValue, stores it (seconds unless TimeoutInMilliseconds) and
  // optionally clears the running deadline.
  void SetTimeout(uint32_t value, bool clear_deadline);
  uint32_t GetTimeout() const;
  // Deadline := now + Timeout on the 64-bit monotonic tick, or none for Timeout 0.
  void ArmTimeout();
  // ArmTimeout unless AbsoluteTimeout: after every successful send or receive.
  void RearmTimeoutAfterTraffic() {
    if (!absolute_timeout_) ArmTimeout();
  }
  void Interrupt() { interrupt_requested_ = true; }

  // ---- Error texts ----
  // 0 is left alone; 301 sets "Interrupted.", 200 "Out of memory."; any other code sets the
  // Winsock text unless an error text is already held. Returns the code.
  int DefaultErrorText(int code);
  // "[code] " and the Winsock table's text, or "(no description available)". Returns the code.
  int SetWinsockErrorText(int code);
  // That text into *out.
  static void FormatWinsockError(int code, ByteString* out);

  // ---- Traffic recording ----
  // Opens the RecordToFile file (when named) for the new connection; 0 or the file code.
  int OpenRecordFile();
  void CloseRecordFile() { record_file_.Close(); }
  // The debug log file's SEND/RECEIVE block, and the script line to the record file and string.
  void RecordTraffic(bool is_send, const void* bytes, int n);

  // ---- Socket buffer sizes: stored, and applied to an open socket (the Winsock error is
  // returned and the field read back when the socket refuses) ----
  int SetInBufferSize(uint32_t size);
  int SetOutBufferSize(uint32_t size);
  int ApplyBufferSizes();  // both, to the open socket

  // ---- Accessors ----
  win::HWND window() const { return window_; }
  win::SOCKET socket_handle() const { return socket_; }
  bool HasSocket() const { return socket_ != win::INVALID_SOCKET; }
  uint32_t timeout_millis() const { return timeout_ms_; }
  uint64_t timeout_deadline() const { return timeout_deadline_; }
  void set_timeout_deadline(uint64_t tick) { timeout_deadline_ = tick; }
  int select_wait_millis() const { return select_wait_millis_; }
  bool use_windows_messages() const { return use_windows_messages_; }
  bool timeout_in_milliseconds() const { return timeout_in_ms_; }
  bool absolute_timeout() const { return absolute_timeout_; }
  bool interrupt_requested() const { return interrupt_requested_; }
  void clear_interrupt_request() { interrupt_requested_ = false; }
  bool interrupted() const { return interrupted_; }
  // Set by a class above while one of its blocking operations runs; an event handler that clears
  // it ends the running wait ("Interrupted.").
  bool busy() const { return busy_; }
  void set_busy(bool on) { busy_ = on; }
  bool tls_active() const { return tls_active_; }
  bool ipv6_in_use() const { return ipv6_in_use_; }
  uint32_t ipv6_mode() const { return ipv6_mode_; }
  bool use_getaddrinfo() const { return use_getaddrinfo_; }
  uint32_t use_internal_security_api() const { return use_internal_security_api_; }
  const ByteString& recorded_text() const { return recorded_text_; }
  AuthTokenProvider& auth_provider() { return auth_provider_; }
  uint32_t in_buffer_size() const { return in_buffer_size_; }
  uint32_t out_buffer_size() const { return out_buffer_size_; }

 protected:
  // Defaults of every field, the hidden window made when missing. Run at construction and by the
  // reset operations of the classes above (which call it first). 0 or 200.
  int Reset();

  // The select wait used without window messages: emulates WSAAsyncSelect by calling
  // WindowProc(select_message_, socket, lParam). Sleeps the wait time when there is no socket.
  void SelectWait(int wait_millis);
  // Send of a would-block: in select mode FD_WRITE goes back into the recorded mask.
  void RearmWriteNotification() { select_mask_ |= win::FD_WRITE; }
  // Select mode: FD_READ in or out of the recorded mask (a class above switches it off while it
  // does not take data, so the select wait sleeps instead of reporting the waiting bytes).
  void SetReadNotification(bool on) {
    if (on) {
      select_mask_ |= win::FD_READ;
    } else {
      select_mask_ &= ~win::FD_READ;
    }
  }
  // Marks the self-posted read (the next select wait delivers it first) and, with window
  // messages, posts it to the own window: (recorded message, socket, lparam).
  void PostSelfRead(intptr_t lparam);

  // ---- Fields (the classes above read and write them directly) ----
  win::HWND window_ = nullptr;
  win::SOCKET socket_ = win::INVALID_SOCKET;
  uint32_t timeout_ms_ = 0;          // 0 = no deadline
  uint64_t timeout_deadline_ = 0;    // GetTickCount64 value; 0 = none
  char local_name_[kLocalNameSize] = {};
  int32_t select_wait_millis_ = 20;
  bool use_windows_messages_ = true;
  uint32_t in_buffer_size_ = 0;
  uint32_t out_buffer_size_ = 0;
  bool timeout_in_ms_ = false;
  uint32_t local_ipv4_ = 0;           // network order, 0 = any
  win::sockaddr_in6 local_ipv6_ = {};  // family AF_INET6 when set
  ShortString local_scope_text_;
  ByteString local_host_;
  uint32_t ipv6_mode_ = 0;  // 0 off, 1 on, 2 when the name resolves to IPv6
  bool ipv6_in_use_ = false;
  bool use_getaddrinfo_ = true;
  bool tls_active_ = false;
  bool record_to_string_ = false;
  bool absolute_timeout_ = false;
  bool interrupt_requested_ = false;
  bool interrupted_ = false;
  // Any bit: the own TLS engine instead of SChannel. Bit 1 (0x2): TLS 1.3 asked for with 1.2
  // (SSLEnabledProtocols); bit 2 (0x4): HTTP/2 chosen without the Windows 8.1 flag.
  uint32_t use_internal_security_api_ = 0;
  bool in_dispatch_ = false;
  bool ignore_external_events_ = false;
  bool ignore_other_window_events_ = false;
  bool use_default_credentials_ = false;
  bool reuse_ssl_session_ = false;
  bool ssl_include_cert_chain_ = false;
  bool self_read_pending_ = false;
  bool busy_ = false;
  ShortString kerberos_spn_;
  ByteString recorded_text_;
  AuthTokenProvider auth_provider_;
  ShortString record_to_file_;
  FileHandle record_file_;
  bool extended_protection_ = false;
  int32_t last_recv_error_ = 0;  // kept by the read handler in select mode
  // Recorded by SelectEvents.
  win::SOCKET select_socket_ = win::INVALID_SOCKET;
  unsigned select_message_ = 0;
  long select_mask_ = 0;
  // QoS flow (traffic classes).
  void* qos_handle_ = nullptr;
  uint32_t qos_flow_id_ = 0;
  int32_t qos_traffic_type_ = 0;
  int32_t qos_dscp_value_ = 0;
  // TLS settings passed to the engine or the platform path.
  ShortString ssl_provider_;
  ShortString cert_store_type_;
  ShortString cert_store_;  // default "MY"
  ShortString cert_subject_;
  int32_t ssl_enabled_protocols_ = 0xFC0;
  int32_t ssl_cipher_strength_ = 40;
  bool ssl_enable_renegotiation_ = true;
  int32_t ssl_security_flags_ = 0;
  SslCredentialKey ssl_credential_key_;
  uint32_t ssl_credential_handle_[2] = {0, 0};
  ByteString ssl_enabled_cipher_suites_;

 private:
  friend win::LRESULT SocketWindowProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);

  int EndWaitInterrupted();
  void CloseQos();
  void SetSslEnabledProtocols(int32_t value);
  int ConfigRecordToString(ConfigRequest& request, const char** answer);
  int Notify(long event, int error);
};

}  // namespace tw
