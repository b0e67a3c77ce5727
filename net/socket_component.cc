#include "net/socket_component.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "certs/cert_manager.h"
#include "foundation/text_conversion.h"
#include "net/library_startup.h"
#include "net/name_resolution.h"
#include "net/winsock_errors.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr char kTextInterrupted[] = "Interrupted.";
constexpr char kTextTimeout[] = "Timeout.";
constexpr char kTextOutOfMemory[] = "Out of memory.";
constexpr char kTextNoDescription[] = "(no description available)";
constexpr char kTextUseWindowsMessagesBusy[] =
    "UseWindowsMessages cannot be changed at this time. A connection is in progress.";
constexpr char kTextSecurityLibrary[] = "The security library could not be loaded.";
constexpr int kErrSecurityLibrary = 600;

constexpr char kDefaultSslProvider[] = "Microsoft Unified Security Protocol Provider";
constexpr char kDefaultCertStore[] = "MY";
constexpr int32_t kDefaultSslProtocols = 0xFC0;
constexpr int32_t kDefaultCipherStrength = 40;
constexpr int32_t kDefaultSelectWaitMillis = 20;
constexpr int32_t kTls13Protocols = 0x1000 | 0x2000;
constexpr uint32_t kInternalTls13Bit = 0x2;
constexpr int kSelectTries = 3;
constexpr int kHostNameSize = 100;

// Socket buffers before Windows Vista were small; later the larger sizes are the defaults.
constexpr uint32_t kLegacyBufferSize = 65536;
constexpr unsigned kVistaMajorVersion = 6;

constexpr char kRecordSend[] = "send -nonewline ";
constexpr char kRecordReceive[] = "expect -exact ";

struct QosTrafficName {
  const char* name;
  int32_t value;
};
constexpr QosTrafficName kQosTrafficNames[] = {
    {"BestEffort", 0}, {"Background", 1}, {"ExcellentEffort", 2},
    {"AudioVideo", 3}, {"Voice", 4},      {"Control", 5},
};

bool NeedsBackslash(uint8_t b) {
  return b == '\\' || b == '$' || b == '"' || b == '{' || b == '}' || b == '[' || b == ']';
}

bool Ipv6AddressSet(const win::sockaddr_in6& a) {
  for (uint8_t b : a.sin6_addr.s6_addr) {
    if (b != 0) return true;
  }
  return false;
}

// The socket settings of a certificate manager: a socket component of its own beneath it.
class ManagerSocket final : public SocketComponent, public ManagerSocketLayer {
 public:
  int ResetSocket() override { return Reset(); }
  int Config(ConfigRequest& request, const char** answer) override {
    return SocketComponent::Config(request, answer);
  }
  const char* last_error_text() const override { return error_text().c_str(); }
};

ManagerSocketLayer* MakeManagerSocket() { return new (std::nothrow) ManagerSocket; }

// Every program with sockets gives its certificate managers their socket settings.
const bool kManagerSocketRegistered = (SetManagerSocketLayerMaker(&MakeManagerSocket), true);

}  // namespace

int AppendRecordEscaped(ByteString& out, const void* bytes, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  int rc = kOk;
  for (int i = 0; i < n && rc == kOk; ++i) {
    const uint8_t b = p[i];
    if ((b < 32 && b != '\r' && b != '\n') || b >= 127) {
      const char octal[4] = {'\\', static_cast<char>('0' + ((b >> 6) & 7)),
                             static_cast<char>('0' + ((b >> 3) & 7)),
                             static_cast<char>('0' + (b & 7))};
      rc = out.Append(octal, 4);
    } else {
      if (NeedsBackslash(b)) rc = out.AppendByte('\\');
      if (rc == kOk) rc = out.AppendByte(b);
    }
  }
  return rc;
}

win::LRESULT SocketWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam,
                              win::LPARAM lparam) {
  auto* owner = reinterpret_cast<SocketComponent*>(win::GetWindowLongPtrA(window, 0));
  if (owner == nullptr || owner->window_ != window) {
    return win::DefWindowProcA(window, message, wparam, lparam);
  }
  win::LRESULT result = owner->WindowProc(message, wparam, lparam);
  // The window is gone (a WM_CLOSE that reached DefWindowProcA): the component must not use it.
  if (message == win::WM_NCDESTROY && owner->window_ == window) owner->window_ = nullptr;
  return result;
}

SocketComponent::SocketComponent() {
  LibraryStartup();
  Reset();
}

SocketComponent::~SocketComponent() {
  if (window_ != nullptr) {
    win::HWND window = window_;
    win::SetWindowLongPtrA(window, 0, 0);
    window_ = nullptr;
    win::DestroyWindow(window);
  }
  CloseQos();
  ssl_credential_key_.Clear();
  ssl_credential_handle_[0] = ssl_credential_handle_[1] = 0;
  record_file_.Close();
}

int SocketComponent::Reset() {
  select_wait_millis_ = kDefaultSelectWaitMillis;
  tls_active_ = false;
  ipv6_mode_ = 0;
  ipv6_in_use_ = false;
  use_getaddrinfo_ = true;
  use_internal_security_api_ = 0;
  timeout_ms_ = 0;
  timeout_deadline_ = 0;
  absolute_timeout_ = false;
  timeout_in_ms_ = false;
  record_to_string_ = false;
  if (WindowsMajorVersion() < kVistaMajorVersion) {
    in_buffer_size_ = kLegacyBufferSize;
    out_buffer_size_ = kLegacyBufferSize;
  } else {
    in_buffer_size_ = win::kDefaultReceiveBuffer;
    out_buffer_size_ = win::kDefaultSendBuffer;
  }
  socket_ = win::INVALID_SOCKET;
  local_ipv4_ = 0;
  std::memset(&local_ipv6_, 0, sizeof(local_ipv6_));
  local_ipv6_.sin6_family = win::AF_INET6;
  local_scope_text_.Reset();
  local_host_.Reset();
  interrupt_requested_ = false;
  interrupted_ = false;
  in_dispatch_ = false;
  ignore_external_events_ = false;
  ignore_other_window_events_ = false;
  self_read_pending_ = false;
  busy_ = false;
  last_recv_error_ = 0;
  select_socket_ = win::INVALID_SOCKET;
  select_message_ = 0;
  select_mask_ = 0;
  qos_traffic_type_ = 0;
  qos_dscp_value_ = 0;
  use_windows_messages_ = true;
  ssl_enabled_protocols_ = kDefaultSslProtocols;
  ssl_cipher_strength_ = kDefaultCipherStrength;
  ssl_enable_renegotiation_ = true;
  ssl_security_flags_ = 0;
  use_default_credentials_ = false;
  reuse_ssl_session_ = false;
  ssl_include_cert_chain_ = false;
  ssl_enabled_cipher_suites_.Reset();
  int rc = ssl_provider_.SetText(kDefaultSslProvider);
  if (rc == kOk) rc = cert_store_.SetText(kDefaultCertStore);

  if (window_ == nullptr) {
    window_ = win::CreateWindowExA(0, kSocketWindowClass, "", 0, 0, 0, 0, 0, win::HWND_MESSAGE,
                                   nullptr, nullptr, nullptr);
    if (window_ != nullptr) {
      win::SetWindowLongPtrA(window_, 0, reinterpret_cast<win::LONG_PTR>(this));
    }
  }
  return rc;
}

void SocketComponent::CloseQos() {
  const NetEntryPoints& e = NetEntries();
  if (qos_handle_ != nullptr) {
    if (qos_flow_id_ != 0 && HasSocket() && e.QOSRemoveSocketFromFlow != nullptr) {
      e.QOSRemoveSocketFromFlow(qos_handle_, socket_, qos_flow_id_, 0);
    }
    if (e.QOSCloseHandle != nullptr) e.QOSCloseHandle(qos_handle_);
  }
  qos_handle_ = nullptr;
  qos_flow_id_ = 0;
}

// ---- Virtual operations ----

intptr_t SocketComponent::WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (window_ == nullptr) return 0;
  if (ignore_external_events_ && !in_dispatch_) return 0;
  return win::DefWindowProcA(window_, message, wparam, lparam);
}

int SocketComponent::SetUseWindowsMessages(bool on) {
  if (HasSocket()) {
    SetErrorText(kTextUseWindowsMessagesBusy);
    return kErrUseWindowsMessagesBusy;
  }
  use_windows_messages_ = on;
  return kOk;
}

int SocketComponent::SelectEvents(win::SOCKET s, win::HWND window, unsigned message, long mask) {
  select_socket_ = s;
  select_message_ = message;
  select_mask_ = mask;
  if (use_windows_messages_) {
    if (win::WSAAsyncSelect(s, window, message, mask) != 0) return win::WSAGetLastError();
    return kOk;
  }
  if (mask != 0) {
    win::u_long on = 1;
    win::ioctlsocket(s, win::FIONBIO, &on);
  }
  return kOk;
}

const char* SocketComponent::GetLocalAddress() {
  local_name_[0] = '\0';
  if (Ipv6AddressSet(local_ipv6_)) {
    Ipv6Text(local_ipv6_, local_name_, kLocalNameSize);
  } else if (local_ipv4_ != 0) {
    Ipv4Text(local_ipv4_, local_name_, kLocalNameSize);
  } else if (win::gethostname(local_name_, kHostNameSize) != 0) {
    local_name_[0] = '\0';
    SetWinsockErrorText(win::WSAGetLastError());
  }
  local_name_[kLocalNameSize - 1] = '\0';
  return local_name_;
}

int SocketComponent::SetLocalHost(const char* text) {
  int rc = local_host_.SetText(text != nullptr ? text : "");
  if (rc != kOk) return DefaultErrorText(rc);
  local_ipv4_ = 0;
  std::memset(&local_ipv6_, 0, sizeof(local_ipv6_));
  local_ipv6_.sin6_family = win::AF_INET6;
  local_scope_text_.Reset();
  if (local_host_.empty()) return kOk;

  const char* name = local_host_.c_str();
  if (ipv6_mode_ == 2 || ipv6_in_use_) {
    rc = ResolveIPv6(name, &local_ipv6_, 0, 0);
    if (rc == 0) {
      const char* percent = std::strchr(name, '%');
      if (percent != nullptr) local_scope_text_.SetText(percent + 1);
      return kOk;
    }
    if (ipv6_mode_ != 2) return SetWinsockErrorText(rc);
    std::memset(&local_ipv6_, 0, sizeof(local_ipv6_));
    local_ipv6_.sin6_family = win::AF_INET6;
  }
  rc = LegacyResolve(name, &local_ipv4_);
  return rc != 0 ? SetWinsockErrorText(rc) : kOk;
}

int SocketComponent::EndWaitInterrupted() {
  interrupt_requested_ = false;
  interrupted_ = true;
  SetErrorText(kTextInterrupted);
  return kWaitEnded;
}

int SocketComponent::WaitStep(int wait_millis, win::HWND window) {
  if (interrupt_requested_) return EndWaitInterrupted();
  if (use_windows_messages_) {
    win::MSG msg{};
    const win::HWND filter = ignore_other_window_events_ ? window : nullptr;
    if (win::PeekMessageA(&msg, filter, 0, 0, win::PM_REMOVE)) {
      if (msg.message == win::WM_QUIT) {
        // The quit belongs to the caller's own loop: hand it back.
        win::PostQuitMessage(static_cast<int>(msg.wParam));
        return kWaitEnded;
      }
      const bool was_busy = busy_;
      const bool outer_dispatch = in_dispatch_;
      in_dispatch_ = true;
      win::TranslateMessage(&msg);
      win::DispatchMessageA(&msg);
      in_dispatch_ = outer_dispatch;
      if (msg.message == win::WM_CLOSE) return kWaitEnded;
      if (window == nullptr || !win::IsWindow(window)) return kWaitEnded;
      if (was_busy && !busy_) {
        SetErrorText(kTextInterrupted);
        return kWaitEnded;
      }
    } else if (wait_millis > 0) {
      win::MsgWaitForMultipleObjects(0, nullptr, win::FALSE, static_cast<win::DWORD>(wait_millis),
                                     win::QS_ALLINPUT);
    }
  } else {
    SelectWait(wait_millis);
  }
  if (interrupt_requested_) return EndWaitInterrupted();
  if (timeout_deadline_ != 0 && win::GetTickCount64() > timeout_deadline_) {
    SetErrorText(kTextTimeout);
    return kWaitEnded;
  }
  return window != nullptr && win::IsWindow(window) ? kWaitGoOn : kWaitEnded;
}

int SocketComponent::LoadCertificate(const void* data, int length) {
  SetErrorText(kTextSecurityLibrary);
  return kErrSecurityLibrary;
}

// ---- Select wait ----

int SocketComponent::Notify(long event, int error) {
  const bool outer_dispatch = in_dispatch_;
  in_dispatch_ = true;
  WindowProc(select_message_, socket_,
             win::WSAMAKESELECTREPLY(static_cast<unsigned>(event), static_cast<unsigned>(error)));
  in_dispatch_ = outer_dispatch;
  return kOk;
}

void SocketComponent::PostSelfRead(intptr_t lparam) {
  self_read_pending_ = true;
  if (use_windows_messages_ && window_ != nullptr) {
    win::PostMessageA(window_, select_message_, socket_, lparam);
  }
}

void SocketComponent::SelectWait(int wait_millis) {
  const auto sleep = [wait_millis] {
    if (wait_millis > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait_millis));
  };
  if (!HasSocket()) {
    sleep();
    return;
  }
  const win::SOCKET s = socket_;
  if (self_read_pending_) {
    self_read_pending_ = false;
    Notify(win::FD_READ, 0);
    if (socket_ != s) return;
  }
  if (select_mask_ == 0) {
    // Nothing is asked for: a select would only report what nobody takes.
    sleep();
    return;
  }

  win::fd_set read_set;
  win::fd_set write_set;
  win::fd_set except_set;
  // Readability is asked for only while someone takes it: with FD_READ switched off (data not
  // accepted) waiting data would keep the socket readable and the wait would never sleep.
  if ((select_mask_ & (win::FD_READ | win::FD_ACCEPT)) != 0) read_set.Add(s);
  except_set.Add(s);
  // A connect completes as writability, so FD_CONNECT needs the write set as well.
  if ((select_mask_ & (win::FD_WRITE | win::FD_CONNECT)) != 0) write_set.Add(s);
  const int wait = wait_millis > 0 ? wait_millis : 0;
  const win::timeval timeout{wait / 1000, (wait % 1000) * 1000L};

  int ready = win::SOCKET_ERROR;
  for (int attempt = 0; attempt < kSelectTries; ++attempt) {
    ready = win::select(0, &read_set, &write_set, &except_set, &timeout);
    if (ready != win::SOCKET_ERROR || win::WSAGetLastError() != win::WSAEINTR) break;
  }
  if (ready == win::SOCKET_ERROR) {
    const int error = win::WSAGetLastError();
    if (error == win::WSAEINTR) return;
    if ((select_mask_ & win::FD_CLOSE) != 0) Notify(win::FD_CLOSE, error);
    return;
  }
  if (ready < 1) return;

  if (except_set.Contains(s) && (select_mask_ & win::FD_CONNECT) != 0) {
    select_mask_ &= ~win::FD_CONNECT;
    win::sockaddr_storage peer{};
    int peer_len = sizeof(peer);
    int error = 0;
    if (win::getpeername(s, reinterpret_cast<win::sockaddr*>(&peer), &peer_len) != 0) {
      // A refused or unreachable peer is reported as such, not as a bare "not connected".
      int len = sizeof(error);
      if (win::getsockopt(s, win::SOL_SOCKET, win::SO_ERROR, reinterpret_cast<char*>(&error),
                          &len) != 0 ||
          error == 0) {
        error = win::WSAENOTCONN;
      }
    }
    Notify(win::FD_CONNECT, error);
    if (socket_ != s) return;
  }
  if (write_set.Contains(s)) {
    if ((select_mask_ & win::FD_CONNECT) != 0) {
      select_mask_ &= ~win::FD_CONNECT;
      int error = 0;
      int len = sizeof(error);
      win::getsockopt(s, win::SOL_SOCKET, win::SO_ERROR, reinterpret_cast<char*>(&error), &len);
      Notify(win::FD_CONNECT, error);
      if (socket_ != s) return;
    }
    if ((select_mask_ & win::FD_WRITE) != 0) {
      // Re-armed by the next send that would block, as WSAAsyncSelect does.
      select_mask_ &= ~win::FD_WRITE;
      Notify(win::FD_WRITE, 0);
      if (socket_ != s) return;
    }
  }
  if (read_set.Contains(s)) {
    if ((select_mask_ & win::FD_ACCEPT) != 0) {
      Notify(win::FD_ACCEPT, 0);
    } else if ((select_mask_ & win::FD_READ) != 0) {
      last_recv_error_ = 0;
      Notify(win::FD_READ, 0);
      if (socket_ != s) return;
      const int error = last_recv_error_;
      if (error != 0 && error != win::WSAEWOULDBLOCK && error != win::WSAEINTR &&
          (select_mask_ & win::FD_CLOSE) != 0) {
        Notify(win::FD_CLOSE, error);
      }
    }
  }
}

// ---- Wait loop and time-out ----

int SocketComponent::WaitForWorker(WorkerWait* worker) {
  if (worker == nullptr) return 0;
  uint32_t exit_code = 0;
  bool ended_once = false;
  for (;;) {
    if (worker->Ended(&exit_code)) return static_cast<int>(exit_code);
    if (WaitOnce() != kWaitEnded) continue;
    if (!ended_once) {
      // First interrupt or time-out: let the request path wind down by itself.
      ended_once = true;
      worker->ClearBusy();
      continue;
    }
    // Second one: pull the worker out of its blocking calls.
    worker->CloseHandles();
    worker->SetCancelled();
    while (!worker->Ended(&exit_code)) WaitOnce();
    worker->CloseHandles();
    return kErrInterrupted;
  }
}

void SocketComponent::SetTimeout(uint32_t value, bool clear_deadline) {
  if (value > kMaxTimeoutValue) value = kMaxTimeoutValue;
  timeout_ms_ = timeout_in_ms_ ? value : value * 1000u;
  if (clear_deadline) timeout_deadline_ = 0;
}

uint32_t SocketComponent::GetTimeout() const {
  return timeout_in_ms_ ? timeout_ms_ : timeout_ms_ / 1000u;
}

void SocketComponent::ArmTimeout() {
  timeout_deadline_ = timeout_ms_ != 0 ? win::GetTickCount64() + timeout_ms_ : 0;
}

// ---- Error texts ----

int SocketComponent::DefaultErrorText(int code) {
  switch (code) {
    case kOk:
      return kOk;
    case kErrInterrupted:
      SetErrorText(kTextInterrupted);
      return code;
    case kErrOutOfMemory:
      SetErrorText(kTextOutOfMemory);
      return code;
    default:
      if (error_text().empty()) SetWinsockErrorText(code);
      return code;
  }
}

int SocketComponent::SetWinsockErrorText(int code) {
  ByteString composed;
  FormatWinsockError(code, &composed);
  SetErrorText(composed.c_str());
  return code;
}

void SocketComponent::FormatWinsockError(int code, ByteString* out) {
  const char* text = WinsockErrorText(code);
  out->Format("[%d] %s", code, text != nullptr ? text : kTextNoDescription);
}

// ---- Traffic recording ----

int SocketComponent::OpenRecordFile() {
  record_file_.Close();
  if (record_to_file_.empty()) return kOk;
  return record_file_.OpenWriteText(record_to_file_.c_str(), 0,
                                    static_cast<unsigned>(GetCodePage()));
}

void SocketComponent::RecordTraffic(bool is_send, const void* bytes, int n) {
  if (log_to_file() && (log_option() & kLogDebugData) != 0) {
    LogFileData(is_send ? "SEND" : "RECEIVE", bytes, n);
  }
  if (!record_file_.IsOpen() && !record_to_string_) return;
  ByteString line;
  int rc = line.AppendText("\r\n");
  if (rc == kOk) rc = line.AppendText(is_send ? kRecordSend : kRecordReceive);
  if (rc == kOk) rc = line.AppendByte('"');
  if (rc == kOk) rc = AppendRecordEscaped(line, bytes, n);
  if (rc == kOk) rc = line.AppendByte('"');
  if (rc == kOk) rc = line.AppendText("\r\n");
  if (rc != kOk) return;  // recording is best effort: the traffic itself goes on
  if (record_file_.IsOpen()) record_file_.Write(line.data(), static_cast<size_t>(line.length()));
  if (record_to_string_) recorded_text_.AppendString(line);
}

// ---- Socket buffer sizes ----

namespace {

int ApplyBufferOption(win::SOCKET s, int option, uint32_t* field) {
  const int value = static_cast<int>(*field);
  if (win::setsockopt(s, win::SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0) {
    return kOk;
  }
  const int error = win::WSAGetLastError();
  int actual = 0;
  int len = sizeof(actual);
  if (win::getsockopt(s, win::SOL_SOCKET, option, reinterpret_cast<char*>(&actual), &len) == 0) {
    *field = static_cast<uint32_t>(actual);
  }
  return error;
}

}  // namespace

int SocketComponent::SetInBufferSize(uint32_t size) {
  in_buffer_size_ = size;
  return HasSocket() ? ApplyBufferOption(socket_, win::SO_RCVBUF, &in_buffer_size_) : kOk;
}

int SocketComponent::SetOutBufferSize(uint32_t size) {
  out_buffer_size_ = size;
  return HasSocket() ? ApplyBufferOption(socket_, win::SO_SNDBUF, &out_buffer_size_) : kOk;
}

int SocketComponent::ApplyBufferSizes() {
  if (!HasSocket()) return kOk;
  int rc = ApplyBufferOption(socket_, win::SO_RCVBUF, &in_buffer_size_);
  if (rc != kOk) return rc;
  return ApplyBufferOption(socket_, win::SO_SNDBUF, &out_buffer_size_);
}

// ---- Settings ----

void SocketComponent::SetSslEnabledProtocols(int32_t value) {
  ssl_enabled_protocols_ = value;
  if ((value & kTls13Protocols) == kTls13Protocols) {
    use_internal_security_api_ |= kInternalTls13Bit;
  } else {
    use_internal_security_api_ &= ~kInternalTls13Bit;
  }
}

int SocketComponent::ConfigRecordToString(ConfigRequest& request, const char** answer) {
  if (request.is_read()) return SetConfigAnswer(recorded_text_.c_str(), answer);
  record_to_string_ = EqualsNoCase(request.value().c_str(), "on");
  return kOk;
}

int SocketComponent::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();

  // Switches that only store a flag.
  int setting_rc = kOk;
  if (ConfigSwitches(request, answer, {
      {"AbsoluteTimeout", &absolute_timeout_},
      {"IgnoreExternalEvents", &ignore_external_events_},
      {"IgnoreOtherWindowEvents", &ignore_other_window_events_},
      {"UseDefaultCredentials", &use_default_credentials_},
      {"ReuseSSLSession", &reuse_ssl_session_},
      {"ExtendedProtection", &extended_protection_},
      {"SSLIncludeCertChain", &ssl_include_cert_chain_},
      {"SSLEnableRenegotiation", &ssl_enable_renegotiation_},
      {"UseGetAddrInfo", &use_getaddrinfo_},
      {"UseSystemSSPI", auth_provider_.use_sspi_flag()},
  }, &setting_rc)) {
    return setting_rc;
  }

  if (ConfigIntegers(request, answer, {
      {"SelectWaitMillis", &select_wait_millis_},
      {"QOSDSCPValue", &qos_dscp_value_},
      {"SSLCipherStrength", &ssl_cipher_strength_},
      {"SSLSecurityFlags", &ssl_security_flags_},
  }, &setting_rc)) {
    return setting_rc;
  }
  if (ConfigTexts<ShortString>(request, answer, {
      {"SSLProvider", &ssl_provider_},
      {"KerberosSPN", &kerberos_spn_},
      {"RecordToFile", &record_to_file_},
  }, &setting_rc)) {
    return setting_rc;
  }

  if (request.NameIs("TimeoutInMilliseconds")) {
    if (read) return SetConfigAnswerUInt(timeout_in_ms_ ? 1 : 0, answer);
    // The same number in the new unit: 60 seconds become 60 ms.
    const uint32_t current = GetTimeout();
    timeout_in_ms_ = request.ValueAsBool();
    SetTimeout(current, true);
    return kOk;
  }
  if (request.NameIs("WinsockStatus")) {
    if (read) return SetConfigAnswerSigned(WinsockStatus(), answer);
    return kOk;
  }
  if (request.NameIs("WinsockVersion")) {
    if (!read) return kOk;
    const uint16_t version = WinsockVersion();
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u", win::LOBYTE(version), win::HIBYTE(version));
    return SetConfigAnswer(text, answer);
  }
  if (request.NameIs("QOSTrafficType")) {
    if (read) return SetConfigAnswerSigned(qos_traffic_type_, answer);
    for (const QosTrafficName& q : kQosTrafficNames) {
      if (EqualsNoCase(value, q.name)) {
        qos_traffic_type_ = q.value;
        return kOk;
      }
    }
    qos_traffic_type_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("UseWindowsMessages")) {
    if (read) return SetConfigAnswerUInt(use_windows_messages_ ? 1 : 0, answer);
    return SetUseWindowsMessages(request.ValueAsBool());
  }
  if (request.NameIs("SSLEnabledCipherSuites") || request.NameIs("SSLAlgorithmList")) {
    if (read) return SetConfigAnswer(ssl_enabled_cipher_suites_.c_str(), answer);
    return ssl_enabled_cipher_suites_.SetText(value);
  }
  if (request.NameIs("SSLEnabledProtocols")) {
    if (read) return SetConfigAnswerSigned(ssl_enabled_protocols_, answer);
    SetSslEnabledProtocols(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("UseIPv6")) {
    if (read) return SetConfigAnswerBool(ipv6_in_use_, answer);
    if (std::strcmp(value, "2") == 0) {
      ipv6_mode_ = 2;
      ipv6_in_use_ = true;
    } else {
      ipv6_in_use_ = request.ValueAsBool();
      ipv6_mode_ = ipv6_in_use_ ? 1 : 0;
    }
    return kOk;
  }
  if (request.NameIs("RecordToString")) return ConfigRecordToString(request, answer);
  if (request.NameIs("UseInternalSecurityAPI")) {
    if (read) return SetConfigAnswerBool(use_internal_security_api_ != 0, answer);
    use_internal_security_api_ = request.ValueAsBool() ? 1 : 0;
    return kOk;
  }
  return ComponentBase::Config(request, answer);
}

}  // namespace tw
