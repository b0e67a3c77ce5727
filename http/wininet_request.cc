#include "http/wininet_request.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/text_conversion.h"
#include "http/http_client.h"
#include "platform/window.h"
#include "platform/process_tables.h"

namespace tw {
namespace {

constexpr char kTextBusy[] = "Busy performing current action.";
constexpr char kTextBadScheme[] = "Specified URLScheme is invalid.";
constexpr char kTextNoServer[] = "No server specified in URL";
constexpr char kTextAttached[] = "Can't open attached file for reading.";
constexpr char kTextOpenLocal[] = "Can't open local file for writing.";
constexpr char kTextWriteLocal[] = "Error writing to LocalFile";
constexpr char kTextAppend[] = "Error appending to TransferredData.";
constexpr char kTextNoDescription[] = "(no description available)";
constexpr char kTextOk[] = "OK";
constexpr char kTextInterrupted[] = "Interrupted.";

constexpr uint32_t kRequestFlags = win::INTERNET_FLAG_RELOAD | win::INTERNET_FLAG_KEEP_CONNECTION |
                                   win::INTERNET_FLAG_NO_UI | win::INTERNET_FLAG_NO_CACHE_WRITE;
constexpr uint32_t kSecureFlags = 0x00C00000u;
constexpr uint32_t kSslIgnoreClientCert = 0x40000000u;
constexpr uint32_t kSslIgnoreUnknownCa = 0x10u;
constexpr uint32_t kErrClientCertNeeded = 12044;
constexpr int kBlockBytes = 2000;
constexpr uint32_t kFirstHeaderBuffer = 4000;

// SSLSecurityFlags bits and the WinINet security flags they turn into.
struct SecurityFlagMap {
  uint32_t ssl_bits;
  uint32_t wininet_flag;
};
constexpr SecurityFlagMap kSecurityFlags[] = {
    {0x1 | 0x2 | 0x4, win::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
    {0x10 | 0x400 | 0x4000 | 0x8000, win::SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {0x20, win::SECURITY_FLAG_IGNORE_WRONG_USAGE},
    {0x100 | 0x200 | 0x800, win::SECURITY_FLAG_IGNORE_REVOCATION},
    {0xF00 | 0x80000000u, win::SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
    {0x40000000u, 0x2F},
};

struct WinInetError {
  uint16_t code;
  const char* text;
};
constexpr WinInetError kWinInetErrors[] = {
    {12001, "Internet Out Of Handles."},
    {12002, "Internet Timeout."},
    {12003, "Internet Extended Error."},
    {12004, "Internet Internal Error."},
    {12005, "Internet Invalid Url."},
    {12006, "Internet Unrecognized Scheme."},
    {12007, "Internet Name Not Resolved."},
    {12008, "Internet Protocol Not Found."},
    {12009, "Internet Invalid Option."},
    {12010, "Internet Bad Option Length."},
    {12011, "Internet Option Not Settable."},
    {12012, "Internet Shutdown."},
    {12013, "Internet Incorrect User Name."},
    {12014, "Internet Incorrect Password."},
    {12015, "Internet Login Failure."},
    {12016, "Internet Invalid Operation."},
    {12017, "Internet Operation Cancelled."},
    {12018, "Internet Incorrect Handle Type."},
    {12019, "Internet Incorrect Handle State."},
    {12020, "Internet Not Proxy Request."},
    {12021, "Internet Registry Value Not Found."},
    {12022, "Internet Bad Registry Parameter."},
    {12023, "Internet No Direct Access."},
    {12024, "Internet No Context."},
    {12025, "Internet No Callback."},
    {12026, "Internet Request Pending."},
    {12027, "Internet Incorrect Format."},
    {12028, "Internet Item Not Found."},
    {12029, "Internet Cannot Connect."},
    {12030, "Internet Connection Aborted."},
    {12031, "Internet Connection Reset."},
    {12032, "Internet Force Retry."},
    {12033, "Internet Invalid Proxy Request."},
    {12034, "Internet Need Ui."},
    {12036, "Internet Handle Exists."},
    {12037, "The Certificate has an Invalid Name, or different from Host Name."},
    {12038, "Invalid Certificate Name."},
    {12039, "HTTP to HTTPS redirection not allowed (check the security flags)."},
    {12040, "HTTPS to HTTP redirection not allowed (check the security flags)."},
    {12041, "Internet Mixed Security."},
    {12042, "Internet Chg Post Is Non Secure."},
    {12043, "Internet Post Is Non Secure."},
    {12044, "Internet Client Auth Cert Needed."},
    {12045, "Invalid Certification Authority."},
    {12046, "Internet Client Auth Not Setup."},
    {12047, "Internet Async Thread Failed."},
    {12048, "Internet Redirect Scheme Change."},
    {12049, "Internet Dialog Pending."},
    {12050, "Internet Retry Dialog."},
    {12052, "Internet Https Http Submit Redir."},
    {12053, "Internet Insert Cdrom."},
    {12110, "Ftp Transfer is currently in progress."},
    {12111, "FTP connection dropped."},
    {12112, "The FTP server does not support the passive mode."},
    {12150, "Http Header Not Found."},
    {12151, "Http Downlevel Server."},
    {12152, "Http Invalid Server Response."},
    {12153, "Http Invalid Header."},
    {12154, "Http Invalid Query Request."},
    {12155, "Http Header Already Exists."},
    {12156, "Http Redirect Failed."},
    {12160, "Http Not Redirected."},
    {12161, "Http Cookie Needs Confirmation."},
    {12162, "Http Cookie Declined."},
    {12168, "Http Redirect Needs Confirmation."},
    {12157, "Internet Security Channel Error."},
    {12158, "Internet Unable To Cache File."},
    {12159, "Internet Tcpip Not Installed."},
    {12163, "Internet Disconnected."},
    {12164, "Internet Server Unreachable."},
    {12165, "Internet Proxy Server Unreachable."},
    {12166, "Internet Bad Auto Proxy Script."},
    {12167, "Internet Unable To Download Script."},
    {12169, "Invalid Security Certificate."},
    {12170, "Revoked Security Certificate."},
    {12171, "Failed due to security check."},
};
static_assert(sizeof kWinInetErrors / sizeof kWinInetErrors[0] == 76);

struct StatusText {
  uint32_t status;
  const char* text;
};
constexpr StatusText kStatusTexts[] = {
    {10, "Looking up the IP address"},
    {11, "Successfully found the IP address"},
    {20, "Connecting to the socket address"},
    {21, "Successfully connected to"},
    {30, "Sending the information request to the server."},
    {31, "Successfully sent the information request to the server."},
    {40, "Waiting for the server to respond to the request."},
    {41, "Successfully received a response from the server."},
    {50, "Closing the connection to the server."},
    {51, "Successfully closed the connection to the server."},
    {100, "An asynchronous operation has been completed."},
    {110, "An HTTP request is about to automatically redirect the request to"},
    {120, "Received an intermediate (100 level) status code message from the server."},
};
constexpr StatusText kStateTexts[] = {
    {1, "Online state."},
    {2, "Offline because no network connection could be established."},
    {16, "Offline by user request."},
    {256, "No network requests are being made by Wininet."},
    {512, "Network requests are being made by Wininet."},
};
constexpr uint32_t kStatusStateChange = 200;
constexpr uint32_t kIgnoredStatuses[] = {43, 60, 70};

// Verbs by action: 1 GET, 2 POST, 3 HEAD, 5 PUT, 6 DELETE.
constexpr const char* kVerbs[] = {nullptr, "GET", "POST", "HEAD", nullptr, "PUT", "DELETE"};

struct Binding {
  std::mutex lock;
  bool bound = false;
  WinInetApi api;
};

Binding& Bound() {
  static Binding* b = win::KeepProcessTable(new Binding);  // used until process end
  return *b;
}

template <class F>
void BindProc(win::HMODULE module, F& slot, const char* name) {
  slot = reinterpret_cast<F>(win::GetProcAddress(module, name));
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// True when `text` has a line "Cookie:" at its start or after a line end.
bool HasCookieLine(const ByteString& text) {
  const char* p = text.c_str();
  const char* end = p + text.length();
  bool line_start = true;
  for (; p < end; ++p) {
    if (line_start && end - p >= 7) {
      int i = 0;
      while (i < 7 && Lower(p[i]) == Lower("cookie:"[i])) ++i;
      if (i == 7) return true;
    }
    line_start = *p == '\n' || *p == '\r';
  }
  return false;
}

void StatusCallback(win::HINTERNET, win::DWORD_PTR context, win::DWORD status, void* info,
                    win::DWORD) {
  if (context == 0) return;
  const char* text = WinInetStatusText(status, reinterpret_cast<uintptr_t>(info));
  if (text == nullptr) return;
  reinterpret_cast<WinInetRequest*>(context)->Send(kWinInetSslStatus,
                                                   reinterpret_cast<intptr_t>(text));
}

}  // namespace

// ---- Library binding ----

void BindWinInet() {
  Binding& b = Bound();
  std::lock_guard<std::mutex> guard(b.lock);
  if (b.bound) return;
  b.bound = true;
  WinInetApi& a = b.api;
  a.module = win::LoadLibraryA("wininet.dll");
  if (a.module == nullptr) return;  // missing: the entry points stay empty
  BindProc(a.module, a.InternetCloseHandle, "InternetCloseHandle");
  BindProc(a.module, a.InternetReadFile, "InternetReadFile");
  BindProc(a.module, a.HttpQueryInfoA, "HttpQueryInfoA");
  BindProc(a.module, a.HttpSendRequestA, "HttpSendRequestA");
  BindProc(a.module, a.HttpAddRequestHeadersA, "HttpAddRequestHeadersA");
  BindProc(a.module, a.HttpOpenRequestA, "HttpOpenRequestA");
  BindProc(a.module, a.InternetConnectA, "InternetConnectA");
  BindProc(a.module, a.InternetSetStatusCallback, "InternetSetStatusCallback");
  BindProc(a.module, a.InternetOpenA, "InternetOpenA");
  BindProc(a.module, a.InternetSetOptionA, "InternetSetOptionA");
  BindProc(a.module, a.InternetQueryOptionA, "InternetQueryOptionA");
}

void UnbindWinInet() {
  Binding& b = Bound();
  std::lock_guard<std::mutex> guard(b.lock);
  if (b.api.module != nullptr) win::FreeLibrary(b.api.module);
  b.api = WinInetApi{};
  b.bound = false;
}

const WinInetApi& WinInet() {
  BindWinInet();
  return Bound().api;
}

const char* WinInetErrorText(int code) {
  for (const WinInetError& e : kWinInetErrors) {
    if (e.code == code) return e.text;
  }
  return nullptr;
}

const char* WinInetStatusText(uint32_t status, uintptr_t info) {
  for (uint32_t ignored : kIgnoredStatuses) {
    if (status == ignored) return nullptr;
  }
  for (const StatusText& s : kStatusTexts) {
    if (s.status == status) return s.text;
  }
  if (status == kStatusStateChange) {
    for (const StatusText& s : kStateTexts) {
      if (s.status == info) return s.text;
    }
    return "Moved between a secure (HTTPS) and a nonsecure (HTTP) site.";
  }
  return "Unknown state.";
}

// ---- The caller's side ----

int HttpClient::WinInetTransfer(int action) {
  if (!wininet_) wininet_ = std::make_unique<WinInetRequest>(*this);
  if (action == kHttpActionInterrupt) {
    wininet_->Cancel();
    if (busy_action_ != 0) Interrupt();  // ends the running wait, however deep the caller is
    busy_action_ = 0;
    set_busy(false);
    return kOk;
  }
  if (busy_action_ != 0) {
    SetHttpError(kErrHttpBusy, kTextBusy);
    return kErrHttpBusy;
  }
  if (action == kHttpActionReset) return kOk;
  clear_interrupt_request();
  SetErrorText("");
  set_error_code(0);
  status_line_.Reset();
  status_code_ = 0;
  protocol_.Reset();
  reason_.Reset();
  transferred_headers_.Reset();
  transferred_data_.Reset();
  parsed_headers_.Clear();
  response_content_type_.Reset();
  bytes_transferred_ = 0;
  decoded_bytes_ = 0;
  busy_action_ = action;
  set_busy(true);
  ArmTimeout();
  int rc = wininet_->Start(action);
  if (rc == kOk) rc = WaitForWorker(wininet_.get());
  wininet_->Join();
  if (rc != kOk) SetErrorText(wininet_->worker_error().c_str());
  if (rc == kErrInterrupted || interrupt_requested() || wininet_->cancelled()) {
    rc = kErrInterrupted;
    SetErrorText(wininet_->cancel_text().empty() ? kTextInterrupted
                                                 : wininet_->cancel_text().c_str());
  }
  clear_interrupt_request();
  busy_action_ = 0;
  set_busy(false);
  set_error_code(rc);
  return rc;
}

intptr_t HttpClient::WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kWorkerEventMessage && wininet_) return wininet_->HandleEvent(wparam, lparam);
  return BodyTransferClient::WindowProc(message, wparam, lparam);
}

WinInetRequest::~WinInetRequest() {
  Cancel();
  if (thread_.joinable()) thread_.join();
}

int WinInetRequest::Start(int action) {
  if (thread_.joinable()) thread_.join();
  cancelled_ = false;
  ended_ = false;
  exit_code_ = 0;
  cancel_text_.Reset();
  try {
    thread_ = std::thread([this, action] {
      int rc;
      try {
        rc = Work(action);
      } catch (const std::bad_alloc&) {
        CloseHandles();
        rc = Fail(kErrOutOfMemory, "Out of memory.");
      }
      exit_code_ = static_cast<uint32_t>(rc);
      ended_ = true;
      // Wakes the caller's wait at once.
      win::PostMessageA(client_.window(), win::WM_NULL, 0, 0);
    });
  } catch (...) {
    return kErrOutOfMemory;
  }
  return kOk;
}

void WinInetRequest::Join() {
  if (thread_.joinable()) thread_.join();
}

void WinInetRequest::Cancel() {
  cancelled_ = true;
  CloseHandles();
}

bool WinInetRequest::Ended(uint32_t* exit_code) {
  if (!client_.use_windows_messages()) {
    // The select wait does not look at the queue: events the worker sent are taken here.
    win::MSG msg{};
    win::PeekMessageA(&msg, reinterpret_cast<win::HWND>(-1), 0, 0, win::PM_NOREMOVE);
  }
  if (!ended_) return false;
  *exit_code = exit_code_;
  return true;
}

void WinInetRequest::ClearBusy() {
  client_.busy_action_ = 0;
  client_.set_busy(false);
}

void WinInetRequest::CloseHandles() {
  std::lock_guard<std::mutex> guard(handles_lock_);
  const WinInetApi& api = WinInet();
  for (win::HINTERNET* h : {&request_, &connection_, &internet_}) {
    if (*h != nullptr && api.InternetCloseHandle != nullptr) api.InternetCloseHandle(*h);
    *h = nullptr;
  }
}

void WinInetRequest::SetCancelled() {
  if (!cancelled_) cancel_text_.Assign(client_.error_text());
  cancelled_ = true;
}

int WinInetRequest::Send(int which, intptr_t a, intptr_t b, intptr_t c, intptr_t d, intptr_t e,
                         intptr_t f) {
  intptr_t args[6] = {a, b, c, d, e, f};
  return static_cast<int>(win::SendMessageA(client_.window(), kWorkerEventMessage,
                                            static_cast<uintptr_t>(which),
                                            reinterpret_cast<intptr_t>(args)));
}

intptr_t WinInetRequest::HandleEvent(uintptr_t which, intptr_t lparam) {
  const intptr_t* v = reinterpret_cast<const intptr_t*>(lparam);
  if (v == nullptr) return 0;
  HttpClient& c = client_;
  if (!c.absolute_timeout()) c.ArmTimeout();
  auto text = [](intptr_t p) { return reinterpret_cast<const char*>(p); };
  ++event_depth_;
  int rc = 0;
  switch (which) {
    case kWinInetConnected:
      rc = c.FireConnected(static_cast<int>(v[0]), text(v[1]));
      break;
    case kWinInetDisconnected:
      rc = c.FireDisconnected(static_cast<int>(v[0]), text(v[1]));
      break;
    case kWinInetEndTransfer:
      rc = c.FireEndTransferHook(static_cast<int>(v[0]));
      break;
    case kWinInetError:
      rc = c.FireError(static_cast<int>(v[0]), text(v[1]));
      break;
    case kWinInetHeader:
      rc = c.FireHeaderHook(text(v[0]), text(v[1]));
      // The cookie is taken here too, so SetCookie runs on this thread like every event.
      if (EqualsNoCase(text(v[0]), "Set-Cookie")) c.ParseSetCookie(text(v[1]));
      break;
    case kWinInetSslStatus:
      rc = c.FireSSLStatus(text(v[0]));
      break;
    case kWinInetSslServerAuthentication:
      rc = c.FireSSLServerAuthentication(reinterpret_cast<const void*>(v[0]),
                                         static_cast<int>(v[1]), text(v[2]), text(v[3]), text(v[4]),
                                         reinterpret_cast<int*>(v[5]));
      break;
    case kWinInetStartTransfer:
      rc = c.FireStartTransferHook(static_cast<int>(v[0]));
      break;
    case kWinInetTransfer:
      rc = c.FireTransferProgress(static_cast<int>(v[0]), *reinterpret_cast<const int64_t*>(v[1]),
                                  static_cast<int>(v[2]), reinterpret_cast<const void*>(v[3]),
                                  static_cast<int>(v[4]));
      break;
    default:
      break;
  }
  --event_depth_;
  return rc;
}

// ---- The worker ----

int WinInetRequest::Work(int action) {
  const int rc = Request(action);
  HttpClient& c = client_;
  if (c.local_handle_.IsOpen()) c.CloseLocalFile();
  CloseHandles();
  return rc;
}

int WinInetRequest::Fail(int code, const char* text) {
  // Kept here until the worker has ended: the caller's thread writes the component's error text
  // itself meanwhile ("Timeout.", "Interrupted.").
  worker_error_.SetText(text);
  error_text_set_ = true;
  return code;
}

int WinInetRequest::SetWinInetError(int code) {
  const char* text = WinInetErrorText(code);
  if (text != nullptr) return Fail(code, text);
  ByteString composed;
  composed.Format("[%d] %s", code, kTextNoDescription);
  return Fail(code, composed.c_str());
}

int WinInetRequest::Request(int action) {
  HttpClient& c = client_;
  win::SetLastError(0);
  c.content_length_ = -1;
  error_text_set_ = false;
  worker_error_.Reset();
  live_internet_ = live_connection_ = live_request_ = nullptr;
  success_ = false;
  bytes_so_far_ = 0;

  uint32_t flags = kRequestFlags;
  if (!c.use_wininet_cookies_ || HasCookieLine(c.other_headers_)) {
    flags |= win::INTERNET_FLAG_NO_COOKIES;
  }
  const char* verb = action >= 0 && action < 7 ? kVerbs[action] : nullptr;
  if (verb == nullptr) return kOk;
  if (!c.method_override_.empty()) verb = c.method_override_.c_str();
  c.verb_.SetText(verb);

  const bool https = EqualsNoCase(c.scheme_.c_str(), "https");
  if (!https && !EqualsNoCase(c.scheme_.c_str(), "http"))
    return Fail(kErrInvalidScheme, kTextBadScheme);
  if (c.host_.empty()) return Fail(kErrNoServer, kTextNoServer);
  CloseHandles();

  const WinInetApi& api = WinInet();
  const bool bound = api.InternetOpenA != nullptr && api.InternetConnectA != nullptr &&
                     api.HttpOpenRequestA != nullptr && api.HttpSendRequestA != nullptr &&
                     api.HttpQueryInfoA != nullptr && api.InternetReadFile != nullptr &&
                     api.InternetCloseHandle != nullptr && api.HttpAddRequestHeadersA != nullptr &&
                     api.InternetSetOptionA != nullptr && api.InternetQueryOptionA != nullptr &&
                     api.InternetSetStatusCallback != nullptr;
  if (!bound) {
    win::SetLastError(win::ERROR_MOD_NOT_FOUND);
    return SetWinInetError(static_cast<int>(win::GetLastError()));
  }
  const auto context = reinterpret_cast<win::DWORD_PTR>(this);

  // The session.
  win::DWORD access = win::INTERNET_OPEN_TYPE_DIRECT;
  ByteString proxy;
  if (c.proxy_server_.c_str()[0] == '*' || c.proxy_auto_detect_) {
    access = win::INTERNET_OPEN_TYPE_PRECONFIG;
  } else if (!c.proxy_server_.empty()) {
    access = win::INTERNET_OPEN_TYPE_PROXY;
    proxy.Format("%s:%d", c.proxy_server_.c_str(), static_cast<int>(c.proxy_port_));
  }
  {
    win::HINTERNET h = api.InternetOpenA(c.user_agent_.c_str(), access,
                                         proxy.empty() ? nullptr : proxy.c_str(), nullptr, 0);
    live_internet_ = h;
    std::lock_guard<std::mutex> guard(handles_lock_);
    internet_ = h;
  }
  if (live_internet_ == nullptr || cancelled_)
    return SetWinInetError(static_cast<int>(win::GetLastError()));
  api.InternetSetStatusCallback(live_internet_, &StatusCallback);
  {
    win::HINTERNET h = api.InternetConnectA(live_internet_, c.host_.c_str(),
                                            static_cast<win::INTERNET_PORT>(c.port_),
                                            c.user_.empty() ? nullptr : c.user_.c_str(),
                                            c.password_.empty() ? nullptr : c.password_.c_str(),
                                            win::INTERNET_SERVICE_HTTP, 0, context);
    live_connection_ = h;
    std::lock_guard<std::mutex> guard(handles_lock_);
    connection_ = h;
  }
  if (live_connection_ == nullptr || cancelled_)
    return SetWinInetError(static_cast<int>(win::GetLastError()));

  const uint32_t ssl = static_cast<uint32_t>(c.ssl_security_flags_);
  uint32_t security = 0;
  if (https) {
    for (const SecurityFlagMap& m : kSecurityFlags) {
      if ((ssl & m.ssl_bits) != 0) security |= m.wininet_flag;
    }
    flags |= kSecureFlags;
  }
  const char* accept[2] = {c.accept_.c_str(), nullptr};
  const char* version = c.http_version_.empty() ? nullptr : c.http_version_.c_str();
  ByteString path;
  path.Assign(c.path_);
  if (path.empty()) path.SetText("/");
  {
    win::HINTERNET h = api.HttpOpenRequestA(live_connection_, verb, path.c_str(), version,
                                            c.referer_.empty() ? nullptr : c.referer_.c_str(),
                                            c.accept_.empty() ? nullptr : accept, flags, context);
    if (h == nullptr && win::GetLastError() == win::ERROR_INVALID_PARAMETER && flags != 0) {
      h = api.HttpOpenRequestA(live_connection_, verb, path.c_str(), version,
                               c.referer_.empty() ? nullptr : c.referer_.c_str(),
                               c.accept_.empty() ? nullptr : accept, 0, context);
    }
    live_request_ = h;
    std::lock_guard<std::mutex> guard(handles_lock_);
    request_ = h;
  }
  if (live_request_ == nullptr || cancelled_)
    return SetWinInetError(static_cast<int>(win::GetLastError()));

  auto add_security = [&](uint32_t flag) {
    win::DWORD current = 0;
    win::DWORD length = sizeof current;
    api.InternetQueryOptionA(live_request_, win::INTERNET_OPTION_SECURITY_FLAGS, &current, &length);
    current |= flag;
    api.InternetSetOptionA(live_request_, win::INTERNET_OPTION_SECURITY_FLAGS, &current,
                           sizeof current);
  };
  auto ignore_client_cert = [&] {
    win::DWORD one = 1;
    api.InternetSetOptionA(live_request_, win::INTERNET_OPTION_IGNORE_CLIENT_CERT, &one,
                           sizeof one);
  };
  if (https) {
    for (const SecurityFlagMap& m : kSecurityFlags) {
      if ((ssl & m.ssl_bits) != 0) add_security(m.wininet_flag);
    }
    if ((ssl & kSslIgnoreClientCert) != 0) ignore_client_cert();
  }

  // Request headers: each field alone, then the caller's block.
  struct Field {
    const char* name;
    const ByteString* value;
  };
  // The caller's Authorization (a signed request's) is sent too: without it the service refuses
  // every signed request made through this path.
  const Field fields[] = {{"Content-Type", &c.content_type_},
                          {"From", &c.from_},
                          {"If-Modified-Since", &c.if_modified_since_},
                          {"Pragma", &c.pragma_},
                          {"Authorization", &c.authorization_}};
  for (const Field& f : fields) {
    if (f.value->empty()) continue;
    ByteString line;
    line.Format("%s: %s\r\n", f.name, f.value->c_str());
    api.HttpAddRequestHeadersA(live_request_, line.c_str(), static_cast<win::DWORD>(line.length()),
                               0);
  }
  if (!c.other_headers_.empty()) {
    api.HttpAddRequestHeadersA(live_request_, c.other_headers_.c_str(),
                               static_cast<win::DWORD>(c.other_headers_.length()),
                               win::HTTP_ADDREQ_FLAG_ADD | win::HTTP_ADDREQ_FLAG_REPLACE);
  }

  ByteString body;
  if (body.Append(c.post_bytes(), c.post_length()) != kOk)
    return Fail(kErrOutOfMemory, "Out of memory.");
  if (const int rc = ReadBodySource(body); rc != kOk) return rc;

  // Proxy credentials: "*user:password" in ProxyServer, then ProxyUser and ProxyPassword.
  auto set_text_option = [&](win::DWORD option, const char* text, size_t n) {
    std::vector<char> copy(text, text + n);
    copy.push_back('\0');
    api.InternetSetOptionA(live_request_, option, copy.data(), static_cast<win::DWORD>(n));
  };
  const char* ps = c.proxy_server_.c_str();
  if (ps[0] == '*' && std::strchr(ps, ':') != nullptr) {
    const char* colon = std::strchr(ps, ':');
    set_text_option(win::INTERNET_OPTION_PROXY_USERNAME, ps + 1,
                    static_cast<size_t>(colon - ps - 1));
    set_text_option(win::INTERNET_OPTION_PROXY_PASSWORD, colon + 1, std::strlen(colon + 1));
  }
  if (!c.proxy_user_.empty()) {
    set_text_option(win::INTERNET_OPTION_PROXY_USERNAME, c.proxy_user_.c_str(),
                    c.proxy_user_.length());
  }
  if (!c.proxy_password_.empty()) {
    set_text_option(win::INTERNET_OPTION_PROXY_PASSWORD, c.proxy_password_.c_str(),
                    c.proxy_password_.length());
  }

  win::BOOL sent =
      api.HttpSendRequestA(live_request_, nullptr, 0, body.empty() ? nullptr : body.data(),
                           static_cast<win::DWORD>(body.length()));
  if (!sent && !cancelled_) {
    const win::DWORD error = win::GetLastError();
    bool again = false;
    if (error == kErrClientCertNeeded && (ssl & kSslIgnoreClientCert) != 0) {
      ignore_client_cert();
      again = true;
    } else if (error == win::ERROR_INTERNET_INVALID_CA && (ssl & kSslIgnoreUnknownCa) != 0) {
      add_security(win::SECURITY_FLAG_IGNORE_UNKNOWN_CA);
      again = true;
    }
    if (again) {
      sent = api.HttpSendRequestA(live_request_, nullptr, 0, body.empty() ? nullptr : body.data(),
                                  static_cast<win::DWORD>(body.length()));
    }
  }
  body.Reset();
  if (!sent || cancelled_) return SetWinInetError(static_cast<int>(win::GetLastError()));

  Send(kWinInetConnected, 0, reinterpret_cast<intptr_t>(kTextOk));
  Send(kWinInetStartTransfer, kDirectionRequest);
  int rc = ReadHeaders();
  Send(kWinInetEndTransfer, kDirectionRequest);
  if (rc != kOk) return rc;
  if (c.status_line_.empty()) {
    // A response without a status line is no answer at all.
    return SetWinInetError(static_cast<int>(win::ERROR_HTTP_INVALID_SERVER_RESPONSE));
  }
  rc = ReadBody();
  if (rc != kOk) return rc;
  if (!success_) {
    Fail(kErrHttpProtocol, c.status_line_.c_str());
    return kErrHttpProtocol;
  }
  return kOk;
}

int WinInetRequest::ReadBodySource(ByteString& body) {
  HttpClient& c = client_;
  char block[16384];
  if (c.upload_stream_ != nullptr) {
    for (;;) {
      const int got = c.upload_stream_->Read(block, sizeof block);
      if (got <= 0) break;
      if (body.Append(block, got) != kOk) return Fail(kErrOutOfMemory, "Out of memory.");
    }
    return kOk;
  }
  if (!c.HasAttachedFile()) return kOk;
  FileHandle file;
  if (file.OpenRead(c.attached_file_, 0) != kOk) return Fail(kErrHttpFile, kTextAttached);
  for (;;) {
    size_t got = 0;
    if (file.ReadSome(block, sizeof block, &got) != kOk) return Fail(kErrHttpFile, kTextAttached);
    if (got == 0) break;
    if (body.Append(block, static_cast<int>(got)) != kOk)
      return Fail(kErrOutOfMemory, "Out of memory.");
  }
  return kOk;
}

int WinInetRequest::ReadHeaders() {
  HttpClient& c = client_;
  const WinInetApi& api = WinInet();
  std::vector<char> buffer(kFirstHeaderBuffer);
  win::DWORD length = static_cast<win::DWORD>(buffer.size() - 1);
  win::BOOL ok = api.HttpQueryInfoA(live_request_, win::HTTP_QUERY_RAW_HEADERS, buffer.data(),
                                    &length, nullptr);
  if (!ok && win::GetLastError() == win::ERROR_INSUFFICIENT_BUFFER && !cancelled_) {
    // A long head is read whole, never cut at the first buffer's size.
    buffer.resize(static_cast<size_t>(length) + 1);
    length = static_cast<win::DWORD>(buffer.size() - 1);
    ok = api.HttpQueryInfoA(live_request_, win::HTTP_QUERY_RAW_HEADERS, buffer.data(), &length,
                            nullptr);
  }
  if (!ok) {
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_HTTP_HEADER_NOT_FOUND) return SetWinInetError(static_cast<int>(error));
    length = 0;
  }
  const char* p = buffer.data();
  const char* end = p + length;
  bool first = true;
  while (p < end) {
    const char* line_end =
        static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
    if (line_end == nullptr) line_end = end;
    const int n = static_cast<int>(line_end - p);
    if (first) {
      first = false;
      c.status_line_.Set(p, n);
    } else if (n > 0) {
      c.transferred_headers_.Append(p, n);
      c.transferred_headers_.Append("\r\n", 2);
      ByteString name;
      const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(n)));
      const char* value_start = line_end;
      if (colon != nullptr) {
        name.Set(p, static_cast<int>(colon - p));
        value_start = colon + 1;
        while (value_start < line_end && (*value_start == ' ' || *value_start == '\t'))
          ++value_start;
      } else {
        name.Set(p, n);
      }
      ByteString value;
      value.Set(value_start, static_cast<int>(line_end - value_start));
      c.parsed_headers_.Add(name.c_str(), value.c_str());
      Send(kWinInetHeader, reinterpret_cast<intptr_t>(name.c_str()),
           reinterpret_cast<intptr_t>(value.c_str()));
      if (EqualsNoCase(name.c_str(), "Content-Type")) {
        c.response_content_type_.Assign(value);
      } else if (EqualsNoCase(name.c_str(), "Content-Length")) {
        int64_t v = 0;
        const char* d = value.c_str();
        bool valid = *d >= '0' && *d <= '9';
        for (; *d >= '0' && *d <= '9'; ++d) {
          if (v > (INT64_MAX - 9) / 10) {
            valid = false;
            break;
          }
          v = v * 10 + (*d - '0');
        }
        if (valid) c.content_length_ = v;
      }
    }
    p = line_end + 1;
  }
  // The status line: protocol, code and reason.
  const char* s = c.status_line_.c_str();
  const char* blank = std::strchr(s, ' ');
  c.protocol_.Set(s, blank != nullptr ? static_cast<int>(blank - s) : c.status_line_.length());
  int code = 0;
  const char* r = blank != nullptr ? blank + 1 : "";
  success_ = r[0] == '2';
  for (int i = 0; i < 3 && r[0] >= '0' && r[0] <= '9'; ++i, ++r) code = code * 10 + (r[0] - '0');
  while (*r == ' ') ++r;
  c.status_code_ = code;
  c.reason_.SetText(r);
  return kOk;
}

int WinInetRequest::OnBlock(const char* bytes, int n) {
  HttpClient& c = client_;
  c.bytes_transferred_ += static_cast<uint64_t>(n);
  c.decoded_bytes_ += static_cast<uint64_t>(n);
  // A failure's page goes to TransferredData only: it must not replace the caller's file.
  if (success_ && c.local_file_.Length() > 0) {
    if (!c.local_handle_.IsOpen()) {
      const int rc =
          c.append_ ? c.local_handle_.OpenAppend(c.local_file_)
                    : c.local_handle_.CreateWithAttributes(
                          c.local_file_, static_cast<uint32_t>(c.create_local_file_attributes_));
      if (rc != kOk) return Fail(kErrHttpFile, kTextOpenLocal);
    }
    if (c.local_handle_.Write(bytes, static_cast<size_t>(n)) != kOk) {
      return Fail(kErrHttpFile, kTextWriteLocal);
    }
  } else if (success_ && c.download_stream_ != nullptr) {
    c.download_stream_->WriteText(bytes, n);
    if (c.download_stream_->error() != 0) return Fail(kErrHttpFile, kTextWriteLocal);
  } else {
    // A bound passed fails the transfer at once: reading on to the end would only end in a
    // time-out or a parse error that hides the cause.
    if (ByteString text; const int bound = c.MemoryBodyBoundText(c.transferred_data_.length(), n, &text)) {
      return Fail(bound, text.c_str());
    }
    int64_t limit = success_ ? c.max_transferred_data_ : kMaxErrorBodyBytes;
    if (success_ && c.max_document_body_ > 0 && (limit <= 0 || c.max_document_body_ < limit)) {
      limit = c.max_document_body_;
    }
    int keep = n;
    if (limit > 0) {
      const int64_t room = limit - c.transferred_data_.length();
      keep = room <= 0 ? 0 : static_cast<int>(room < n ? room : n);
    }
    if (keep > 0 && c.transferred_data_.Append(bytes, keep) != kOk) {
      Send(kWinInetError, kErrOutOfMemory, reinterpret_cast<intptr_t>(kTextAppend));
    }
  }
  bytes_so_far_ += n;
  int percent = -1;
  if (c.content_length_ > 0) {
    const int64_t p = bytes_so_far_ * 100 / c.content_length_;
    percent = static_cast<int>(p > 100 ? 100 : p);
  }
  int64_t so_far = bytes_so_far_;
  Send(kWinInetTransfer, kDirectionResponse, reinterpret_cast<intptr_t>(&so_far), percent,
       reinterpret_cast<intptr_t>(bytes), n);
  return kOk;
}

int WinInetRequest::ReadBody() {
  HttpClient& c = client_;
  const WinInetApi& api = WinInet();
  Send(kWinInetStartTransfer, kDirectionResponse);
  const bool known = c.content_length_ > 0;
  int64_t remaining = c.content_length_;
  char block[kBlockBytes];
  int rc = kOk;
  for (;;) {
    if (cancelled_) {
      rc = SetWinInetError(static_cast<int>(win::ERROR_INTERNET_OPERATION_CANCELLED));
      break;
    }
    win::DWORD want = kBlockBytes;
    if (c.read_content_length_ && known) {
      if (remaining <= 0) break;
      if (remaining < kBlockBytes) want = static_cast<win::DWORD>(remaining);
    }
    win::DWORD got = 0;
    if (!api.InternetReadFile(live_request_, block, want, &got)) {
      rc = SetWinInetError(static_cast<int>(win::GetLastError()));
      break;
    }
    if (got == 0) break;
    if (c.read_content_length_) remaining -= got;
    rc = OnBlock(block, static_cast<int>(got));
    if (rc != kOk) break;
  }
  c.CloseLocalFile();
  if (rc != kOk) return rc;
  Send(kWinInetEndTransfer, kDirectionResponse);
  Send(kWinInetDisconnected, 0, reinterpret_cast<intptr_t>(kTextOk));
  return kOk;
}

}  // namespace tw
