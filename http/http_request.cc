// The request side of the HTTP client: the transfer entry, the connection step, the request head
// and the request body.
#include <cstdio>
#include <cstring>

#include "formats/content_encoder.h"
#include "foundation/text_conversion.h"
#include "http/http_client.h"
#include "platform/window.h"

namespace tw {
namespace {

constexpr char kTextBusy[] = "Busy performing current action.";
constexpr char kTextNoServer[] = "No server specified in URL";
constexpr char kTextUnknownProxyScheme[] = "Unknown proxy authentication scheme.";
constexpr char kTextCannotEnableSsl[] = "Cannot enable SSL";
constexpr char kTextCannotOpenAttached[] = "Can't open AttachedFile.";
constexpr char kTextCannotReadFile[] = "Can't open file for reading.";
constexpr char kTextUnsafeHead[] =
    "The request head holds a CR, LF or NUL character inside a header (header injection "
    "refused).";
constexpr char kTextUnsafeMethod[] = "The request method holds a character that is not allowed.";
constexpr char kTextStreamRewind[] =
    "The upload stream cannot be rewound to send the request body again.";
constexpr char kTextStreamShort[] = "The upload stream ended before the announced Content-Length.";
constexpr char kTextStreamRead[] = "Error reading the upload stream.";
constexpr char kTextNoHttp2Fallback[] =
    "Server does not support HTTP/2 and AllowHTTPFallback is False.";
constexpr char kTextHttp2Fallback[] =
    "Server does not support ALPN protocol h2. Falling back to HTTP/1.1";
constexpr char kTextHttp2Plaintext[] = "Plaintext URLs are not supported over HTTP/2.";

constexpr int kDefaultChunk = 16384;
// Bytes read from an attached file or an upload stream at a time.
constexpr int kSourceBlock = 262144;
// Non-sleeping message steps after a request, and before one on a kept connection.
constexpr int kDrainStepsAfter = 100;
constexpr int kDrainStepsBefore = 8;

constexpr const char* kVerbs[] = {"", "GET", "POST", "HEAD", "", "PUT", "DELETE"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// True when a line of the header text begins with name ":" (without case).
bool HasHeaderLine(const ByteString& text, const char* name) {
  const int n = static_cast<int>(std::strlen(name));
  const char* p = text.c_str();
  const char* end = p + text.length();
  while (p < end) {
    while (p < end && (*p == '\r' || *p == '\n')) ++p;
    if (end - p > n && p[n] == ':') {
      int i = 0;
      while (i < n && Lower(p[i]) == Lower(name[i])) ++i;
      if (i == n) return true;
    }
    while (p < end && *p != '\n') ++p;
  }
  return false;
}

// A request head is lines ended by CR LF, no NUL, and its only empty line is the last one.
bool HeadIsSafe(const ByteString& head) {
  const char* p = head.c_str();
  const int n = head.length();
  if (n < 4 || std::memcmp(p + n - 4, "\r\n\r\n", 4) != 0) return false;
  for (int i = 0; i < n; ++i) {
    const char c = p[i];
    if (c == '\0') return false;
    if (c == '\r' && (i + 1 >= n || p[i + 1] != '\n')) return false;
    if (c == '\n') {
      if (i == 0 || p[i - 1] != '\r') return false;
      // An empty line before the end would end the head early.
      if (i >= 3 && p[i - 2] == '\n' && i != n - 1) return false;
    }
  }
  return true;
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool WildcardMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (WildcardMatch(pattern + 1, t)) return true;
      if (*t == '\0') return false;
    }
  }
  return *text != '\0' && Lower(*pattern) == Lower(*text) && WildcardMatch(pattern + 1, text + 1);
}

// A caller's Stream seen as a CallerStream, for the compressor.
class StreamSource : public CallerStream {
 public:
  explicit StreamSource(Stream* stream) : stream_(stream) {}
  int Read(void* buffer, int n) override {
    const int got = stream_->Read(buffer, n);
    return stream_->error() != 0 && got == 0 ? -1 : got;
  }
  int Write(const void*, int) override { return -1; }
  void Close() override {}
  uint64_t Size() override { return stream_->GetSize(); }
  int64_t Seek(int64_t, int) override { return -1; }

 private:
  Stream* stream_;
};

}  // namespace

// ---- Transfer entry ----

int HttpClient::DoTransfer(int action) {
  LogText2("URL: ", url_.c_str(), "Info");
  if (use_wininet_ && action != kHttpActionReset) return WinInetTransfer(action);
  if (action == kHttpActionInterrupt) {
    if (busy_action_ != 0) {
      Interrupt();
      busy_action_ = 0;
      set_busy(false);
      if (!sending_body_) Disconnect();
    }
    return kOk;
  }
  if (busy_action_ != 0) {
    SetHttpError(kErrHttpBusy, kTextBusy);
    return kErrHttpBusy;
  }
  ArmTimeout();
  inflater_.Reset();
  content_encoding_ = kContentEncodingNone;
  clear_interrupt_request();
  SetErrorText("");
  set_error_code(0);
  status_line_.Reset();
  status_code_ = 0;
  protocol_.Reset();
  reason_.Reset();
  redirect_location_.Reset();
  request_content_length_ = 0;
  chunked_ = false;
  transfer_ended_ = false;
  busy_action_ = action;
  set_busy(true);
  if (keep_alive_ && HasSocket()) DrainPendingMessages(kDrainStepsBefore);

  int rc = kOk;
  const bool exchange = action == kHttpActionGet || action == kHttpActionPost ||
                        action == kHttpActionHead || action == kHttpActionPut ||
                        action == kHttpActionDelete;
  if (action == kHttpActionReset) {
    transferred_data_.Reset();
    get_on_302_redirect_ = 0;
    rc = ResetRequest();
  } else if (exchange) {
    rc = RunTransfer(action);
  }

  // The interrupt action empties busy_action_; the send or receive it cut short may have cleared
  // the socket's interrupt flag on its way out, so that alone would lose the interruption.
  const bool interrupted = interrupt_requested() || busy_action_ == 0;
  ByteString saved;
  saved.Assign(error_text());
  if (exchange && !interrupted) DrainPendingMessages(kDrainStepsAfter);
  if (interrupted) {
    // A failure that followed the interruption (the closed connection) is not the caller's news.
    if (rc != kErrInterrupted) SetErrorText("");
    rc = kErrInterrupted;
    clear_interrupt_request();
    if (error_text().empty()) SetErrorText("Interrupted.");
  }
  busy_action_ = 0;
  set_busy(false);
  if (rc != kOk && error_text().empty() && !saved.empty()) SetErrorText(saved.c_str());
  set_error_code(rc);
  return rc;
}

void HttpClient::DrainPendingMessages(int max_steps) {
  for (int i = 0; i < max_steps; ++i) {
    if (interrupt_requested()) return;
    if (use_windows_messages()) {
      win::MSG msg{};
      const win::HWND filter = ignore_other_window_events_ ? window() : nullptr;
      if (!win::PeekMessageA(&msg, filter, 0, 0, win::PM_NOREMOVE)) return;
    } else {
      if (!HasSocket()) return;
      if (!self_read_pending_) {
        win::fd_set readable;
        readable.Add(socket_handle());
        const win::timeval none{0, 0};
        if (win::select(0, &readable, nullptr, nullptr, &none) < 1) return;
      }
    }
    if (WaitStep(0, window()) == kWaitEnded) return;
  }
}

int HttpClient::RunTransfer(int action) {
  upload_stream_used_ = false;
  server_retry_ = 0;
  proxy_retry_ = 0;
  int current = action;
  bool retried_on_new_connection = false;
  int rc = kOk;
  for (;;) {
    rc = PerformRequest(current);
    // A kept connection that the server had closed meanwhile: once more on a new connection.
    if (request_sent_ && request_on_kept_connection_ && response_bytes_seen_ == 0 &&
        !retried_on_new_connection &&
        !interrupt_requested() && (rc != kOk || status_line_.empty())) {
      retried_on_new_connection = true;
      LogAtLevel(kLogVerbose, "The kept connection was closed; sending the request again.", "Info");
      expecting_response_ = false;
      Disconnect();
      SetErrorText("");
      continue;
    }
    int next = 0;
    rc = EndTransfer(rc, current, &next);
    if (next == 0) break;
    current = next;
    SetErrorText("");
    retried_on_new_connection = false;
  }
  if (upload_stream_ != nullptr && upload_stream_used_ && close_stream_after_transfer()) {
    upload_stream_->Close();
  }
  attached_handle_.Close();
  // Whatever ended the exchange (failure while sending, interrupt, timeout), the body file is
  // never left open for the caller to trip over.
  CloseLocalFile();
  return rc;
}

// ---- One exchange ----

int HttpClient::PerformRequest(int action) {
  const bool has_body = action == kHttpActionPost || action == kHttpActionPut;
  int rc = verb_.SetText(!method_override_.empty() ? method_override_.c_str() : kVerbs[action]);
  if (rc != kOk) return rc;
  for (int i = 0; i < verb_.length(); ++i) {
    if (!IsTokenChar(verb_.data()[i])) {
      SetHttpError(kErrHttpInvalidValue, kTextUnsafeMethod);
      return kErrHttpInvalidValue;
    }
  }
  rc = CheckHttpVersion(true);
  if (rc != kOk) return rc;
  negotiated_version_.Assign(http_version_);
  if (!IsConnected()) ClearAlpnReceived();
  const bool want_http2 = EqualsNoCase(http_version_.c_str(), "2.0");
  const bool https = EqualsNoCase(scheme_.c_str(), "https");

  request_on_kept_connection_ = false;
  request_sent_ = false;
  response_bytes_seen_ = 0;
  expecting_response_ = false;
  ResetResponseState();

  rc = PrepareAuthorization(false);
  if (rc != kOk) return rc;
  if (UsingForwardProxy()) {
    rc = PrepareProxyAuthorization(false);
    if (rc != kOk) return rc;
  }

  // A connection the server retired with GOAWAY takes no new stream.
  if (want_http2 && http2_active_ && http2_.retired() && HasSocket()) Disconnect();
  if (want_http2 && alpn_list_.empty()) SetAlpnList("h2");
  // A server that knows only HTTP/1.1 may refuse a handshake that offers h2 alone: http/1.1 is
  // offered beside it, so the server can say so and the fallback rule decides.
  ByteString offered;
  const bool widen = want_http2 && std::strcmp(alpn_list_.c_str(), "h2") == 0;
  if (widen) {
    offered.Assign(alpn_list_);
    SetAlpnList("h2,http/1.1");
  }
  // An HTTP/1.x request neither offers h2 nor uses a connection that speaks it.
  if (!want_http2 && http2_active_ && HasSocket()) Disconnect();
  ByteString alpn;
  const bool hide_h2 = !want_http2 && std::strcmp(alpn_list_.c_str(), "h2") == 0;
  if (hide_h2) {
    alpn.Assign(alpn_list_);
    SetAlpnList("");
  }
  http2_wanted_ = want_http2;
  rc = PrepareConnection();
  http2_wanted_ = false;
  if (hide_h2) SetAlpnList(alpn.c_str());
  if (widen) SetAlpnList(offered.c_str());
  if (rc != kOk) return rc;
  if (want_http2) {
    if (!alpn_received_.empty()) LogText2("Received ALPN: ", alpn_received_.c_str(), "Info");
    if (https && AlpnChoseH2()) return PerformHttp2Request(has_body);
    // HTTP/2 runs only after ALPN over TLS, which a plain connection never has.
    if (!allow_http_fallback_ || !https) {
      SetHttpError(kErrHttp2Refused, allow_http_fallback_ ? kTextHttp2Plaintext : kTextNoHttp2Fallback);
      return kErrHttp2Refused;
    }
    FireSSLStatus(kTextHttp2Fallback);
    negotiated_version_.SetText("1.1");
    // HTTP/1.1 on this connection: response heads are read line by line again.
    http2_active_ = false;
    rc = SetEol("\n", 1);
    if (rc != kOk) return rc;
  }

  request_content_length_ = static_cast<uint64_t>(post_length());
  ByteString head;
  rc = BuildRequestHead(has_body, head);
  if (rc != kOk) {
    attached_handle_.Close();
    if (!keep_alive_) DisconnectKeepingError();
    return rc;
  }
  if (record_request_) sent_headers_.Assign(head);
  if (debug_trace_) FireTransfer(kDirectionRequest, 0, 0, head.data(), head.length());

  expecting_response_ = true;
  read_state_ = ReadState::kStatus;
  request_sent_ = true;
  rc = SendAll(head.data(), head.length());
  LogAtLevel(kLogDebug, head.c_str(), "RequestHeaders");
  if (rc == kOk) rc = SendRequestBody(has_body);
  attached_handle_.Close();
  if (rc != kOk && !transfer_ended_ && ReadEarlyAnswer(rc)) {
    LogAtLevel(kLogInfo, "The server answered before the request was sent.", "Info");
    expecting_response_ = false;
    if (response_error_) {
      SetErrorText(response_error_text_.c_str());
      return response_error_code_;
    }
    SetErrorText("");
    return kOk;
  }
  if (rc != kOk && !transfer_ended_) {
    expecting_response_ = false;
    DisconnectKeepingError();
    return rc;
  }
  LogAtLevel(kLogInfo, "Request Sent", "Info");
  return WaitForResponse();
}

bool HttpClient::ReadEarlyAnswer(int send_error) {
  // A server that refuses a request (a wrong key, a bad name) often answers at once and closes
  // without reading the body; the body's send then fails, but the answer is already here and
  // says more than the reset. Only a connection the peer broke qualifies: not a time-out, an
  // interruption or a local failure.
  const bool broken = send_error == win::WSAECONNRESET || send_error == win::WSAECONNABORTED ||
                      send_error == win::WSAESHUTDOWN || send_error == win::WSAENETRESET ||
                      send_error == win::WSAENOTCONN;
  if (!broken || interrupt_requested() || !HasSocket() || !expecting_response_) return false;
  // The answer arrived before the close, so it is in the receive queue now: one drain reads it.
  SetAcceptData(true);
  OnReadable(kReadDrain);
  if (response_bytes_seen_ == 0 || status_line_.empty()) return false;
  // Whatever the answer lacks now will not come: the close ends it (a body without a length
  // ends there; a cut head or a short body is reported as such).
  if (!transfer_ended_) Disconnect();
  if (!transfer_ended_) EndResponseTransfer(kOk, nullptr);
  return true;
}

int HttpClient::WaitForResponse() {
  ArmTimeout();
  while (!transfer_ended_) {
    if (!HasSocket()) {
      // Closed without a notification reaching the reader.
      EndResponseTransfer(kOk, nullptr);
      break;
    }
    if (WaitOnce() == kWaitEnded) {
      // Interrupted or timed out mid-body: the file is released now, not at the next request.
      CloseLocalFile();
      ByteString kept;
      kept.Assign(error_text());
      expecting_response_ = false;
      Disconnect();
      SetErrorText(kept.empty() ? "Interrupted." : kept.c_str());
      return kErrInterrupted;
    }
  }
  expecting_response_ = false;
  if (response_error_) {
    SetErrorText(response_error_text_.c_str());
    return response_error_code_;
  }
  return kOk;
}

// ---- Connection step ----

bool HttpClient::MatchesProxyException() const {
  const char* p = proxy_exceptions_.c_str();
  char port_text[16];
  std::snprintf(port_text, sizeof(port_text), "%d", static_cast<int>(port_));
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && *end != ';') ++end;
    const char* first = p;
    const char* last = end;
    while (first < last && (*first == ' ' || *first == '\t')) ++first;
    while (last > first && (last[-1] == ' ' || last[-1] == '\t')) --last;
    if (last > first) {
      ByteString entry;
      entry.Set(first, static_cast<int>(last - first));
      const int colon = entry.FindLastChar(':', 0);
      bool port_ok = true;
      if (colon > 0 && entry.FindChar(':', 0) == colon) {
        port_ok = std::strcmp(entry.c_str() + colon + 1, port_text) == 0;
        entry.Resize(colon);
      }
      if (port_ok && WildcardMatch(entry.c_str(), host_.c_str())) return true;
    }
    p = *end == ';' ? end + 1 : end;
  }
  return false;
}

bool HttpClient::UsingProxy() const { return !proxy_server_.empty() && !proxy_bypassed_; }

bool HttpClient::UsingForwardProxy() const {
  if (!UsingProxy()) return false;
  const bool https = EqualsNoCase(scheme_.c_str(), "https");
  return !(proxy_ssl_ == 3 || (proxy_ssl_ == 0 && https));
}

int HttpClient::PrepareConnection() {
  parsed_headers_.Clear();
  transferred_headers_.Reset();
  transferred_data_.Reset();
  content_length_ = -1;
  bytes_transferred_ = 0;

  proxy_bypassed_ = !proxy_server_.empty() && MatchesProxyException();
  int rc = kOk;
  if (host_.empty()) {
    SetHttpError(kErrNoServer, kTextNoServer);
    return kErrNoServer;
  }
  const bool https = EqualsNoCase(scheme_.c_str(), "https");
  const bool proxy = UsingProxy();
  const bool tunnel = proxy && !UsingForwardProxy();
  if (!proxy || tunnel) {
    if (!https && !EqualsNoCase(scheme_.c_str(), "http")) {
      ByteString text;
      text.SetText("Specified URLScheme (");
      text.AppendString(scheme_);
      text.AppendText(") is invalid.");
      SetHttpError(kErrInvalidScheme, text.c_str());
      return kErrInvalidScheme;
    }
  }

  LogText2("HTTP Method: ", verb_.c_str(), "Info");
  LogText2("HTTP Version: ", negotiated_version_.c_str(), "Info");
  if (log_level() >= kLogInfo) {
    ByteString line;
    line.Format("Sending Request: %s (HTTP %s) to %s", verb_.c_str(), negotiated_version_.c_str(),
                url_.c_str());
    if (proxy) {
      line.AppendFormat(" via proxy server '%s:%d'", proxy_server_.c_str(),
                        static_cast<int>(proxy_port_));
      if (!proxy_user_.empty()) {
        line.AppendFormat(" with credentials '%s\\", proxy_user_.c_str());
        line.AppendRepeated(proxy_password_.length(), 'x');
        line.AppendFormat("' (%s)", AuthSchemeName(proxy_auth_scheme_));
      }
    }
    LogAtLevel(kLogInfo, line.c_str(), "Info");
  }

  bool tls_on = https;
  if (proxy && !tunnel) {
    if (proxy_ssl_ == 1) tls_on = true;
    if (proxy_ssl_ == 2 || proxy_ssl_ == 0) tls_on = false;
  }
  if (tls_active() != tls_on && HasSocket()) Disconnect();
  rc = EnableTls(tls_on);
  if (rc != kOk) {
    SetHttpError(rc, kTextCannotEnableSsl);
    return rc;
  }

  if (tunnel) {
    uint8_t type = kFirewallTunnel;
    switch (proxy_auth_scheme_) {
      case kAuthBasic:
      case kAuthNone:
        type = kFirewallTunnel;
        break;
      case kAuthDigest:
        type = kFirewallTunnelDigest;
        break;
      case kAuthNtlm:
        type = kFirewallTunnelNtlm;
        break;
      case kAuthNegotiate:
        type = kFirewallTunnelNegotiate;
        break;
      default:
        SetHttpError(kErrInvalidScheme, kTextUnknownProxyScheme);
        return kErrInvalidScheme;
    }
    if (!HasSocket()) {
      tunnel_.SetFirewallType(type);
      rc = tunnel_.SetFirewallHost(proxy_server_.c_str());
      if (rc != kOk) return SetWinsockErrorText(rc);
      tunnel_.SetFirewallPort(proxy_port_);
      tunnel_.SetFirewallUser(proxy_user_.c_str());
      tunnel_.SetFirewallPassword(proxy_password_.c_str());
      own_tunnel_ = true;
    }
  } else if (own_tunnel_ && !HasSocket()) {
    tunnel_.SetFirewallType(kFirewallNone);
    tunnel_.SetFirewallHost("");
    own_tunnel_ = false;
  }

  const char* target_host = proxy && !tunnel ? proxy_server_.c_str() : host_.c_str();
  const int32_t target_port = proxy && !tunnel ? proxy_port_ : port_;
  if (!HasSocket()) {
    // A bracketed literal is an IPv6 address; other names follow the IPv6 setting.
    ipv6_in_use_ = !(proxy && !tunnel) && host_is_ipv6_ ? true : ipv6_mode_ == 1;
  }
  rc = SetRemoteHost(target_host);
  if (rc != kOk) return rc;
  rc = SetRemotePort(target_port);
  if (rc != kOk) return rc;

  // Response heads are read line by line, LF ending a line; HTTP/2 frames are read raw from
  // the first byte after the handshake.
  rc = http2_wanted_ ? SetEol(nullptr, 0) : SetEol("\n", 1);
  if (rc != kOk) return rc;
  if (IsConnected()) {
    request_on_kept_connection_ = true;
  } else {
    http2_active_ = false;
    if (http2_wanted_) {
      // A fresh connection starts a fresh HTTP/2 state before the server's first frame.
      http2_.set_local_window(http2_local_window_size_);
      http2_.Reset();
    }
    rc = ConnectAndWait();
    if (rc != kOk) return rc;
    rc = http2_wanted_ ? SetEol(nullptr, 0) : SetEol("\n", 1);
    if (rc != kOk) return rc;
  }
  LogText2("Remote Host IP: ", RemoteAddressText(), "Info");
  return kOk;
}

// ---- Request head ----

int HttpClient::AppendHostPort(ByteString& out, bool with_port) const {
  int rc = kOk;
  if (host_is_ipv6_) {
    const int percent = host_.FindChar('%', 0);
    rc = out.AppendByte('[');
    if (rc == kOk) rc = out.Append(host_.data(), percent >= 0 ? percent : host_.length());
    if (rc == kOk) rc = out.AppendByte(']');
  } else {
    rc = out.AppendString(host_);
  }
  if (rc == kOk && (with_port || port_ != default_port_)) rc = out.AppendFormat(":%d", static_cast<int>(port_));
  return rc;
}

int HttpClient::BuildRequestHead(bool has_body, ByteString& head) {
  int rc = head.Assign(verb_);
  if (rc == kOk) rc = head.AppendByte(' ');
  if (rc == kOk && UsingForwardProxy() && !absolute_uri_) {
    rc = head.AppendString(scheme_);
    if (rc == kOk) rc = head.AppendText("://");
    if (rc == kOk) rc = AppendHostPort(head);
  }
  if (rc == kOk) rc = head.AppendString(absolute_uri_ ? url_ : path_);
  if (rc == kOk) rc = head.AppendText(" HTTP/");
  if (rc == kOk) {
    rc = head.AppendString(!negotiated_version_.empty() ? negotiated_version_ : http_version_);
  }
  if (rc != kOk) return rc;
  LogText2("Remote Host IP: ", RemoteAddressText(), "Info");
  LogAtLevel(kLogDebug, "Sending Headers", "Info");
  rc = BuildRequestHeaders(has_body, head);
  if (rc != kOk) return rc;
  if (!HeadIsSafe(head)) {
    SetHttpError(kErrHttpInvalidValue, kTextUnsafeHead);
    return kErrHttpInvalidValue;
  }
  return kOk;
}

int HttpClient::AppendOtherHeaders(ByteString& out) {
  // Lines as given, each ended by CR LF; the line ends at the end fold into one.
  const char* p = other_headers_.c_str();
  const char* end = p + other_headers_.length();
  while (end > p && (end[-1] == '\r' || end[-1] == '\n')) --end;
  while (p < end) {
    const char* eol = p;
    while (eol < end && *eol != '\n') ++eol;
    const char* line_end = eol;
    if (line_end > p && line_end[-1] == '\r') --line_end;
    if (out.Append(p, static_cast<int>(line_end - p)) != kOk || out.Append("\r\n", 2) != kOk) {
      return kErrOutOfMemory;
    }
    p = eol < end ? eol + 1 : end;
  }
  return kOk;
}

bool HttpClient::BodyWithheld() const {
  if (!post_data_after_negotiate_) return false;
  const bool server_first_leg =
      (auth_scheme_ == kAuthNtlm || auth_scheme_ == kAuthDigest ||
       (auth_scheme_ == kAuthNegotiate && !kerberos_token_in_use_)) &&
      server_retry_ == 0;
  const bool proxy_first_leg = proxy_auth_scheme_ == kAuthNtlm && proxy_retry_ == 0 && UsingProxy();
  return server_first_leg || proxy_first_leg;
}

int HttpClient::BuildRequestHeaders(bool has_body, ByteString& out) {
  int rc = kOk;
  const auto add = [&](const char* name, const ByteString& value) {
    if (rc != kOk || value.empty()) return;
    rc = out.AppendText("\r\n");
    if (rc == kOk) rc = out.AppendText(name);
    if (rc == kOk) rc = out.AppendText(": ");
    if (rc == kOk) rc = out.AppendString(value);
  };
  if (!HasHeaderLine(other_headers_, "Host") && !absolute_uri_) {
    rc = out.AppendText("\r\nHost: ");
    if (rc == kOk) rc = AppendHostPort(out);
  }
  add("Authorization", authorization_);
  // Proxy credentials go to a proxy that carries the request, never to the host itself.
  if (UsingForwardProxy()) add("Proxy-Authorization", proxy_authorization_);
  add("Accept", accept_);
  if (allow_http_compression_ != 0) add("Accept-Encoding", accept_encoding_);
  add("From", from_);
  add("User-Agent", user_agent_);
  add("If-Modified-Since", if_modified_since_);
  add("Referer", referer_);
  add("Pragma", pragma_);
  if (rc == kOk && !range_.empty()) {
    rc = out.AppendText("\r\nRange: bytes=");
    if (rc == kOk) rc = out.AppendString(range_);
  }
  if (rc == kOk && !http_cookies_.empty()) {
    rc = out.AppendText("\r\nCookie: ");
    if (rc == kOk) rc = out.AppendString(http_cookies_);
    http_cookies_.Reset();
  } else if (rc == kOk && cookies_.Count() > 0) {
    ByteString line;
    rc = cookies_.BuildHeader(line);
    if (rc == kOk) rc = out.AppendText("\r\nCookie: ");
    if (rc == kOk) rc = out.AppendString(line);
  }
  if (rc == kOk) {
    if (!keep_alive_) {
      rc = out.AppendText("\r\nConnection: close");
    } else if (EqualsNoCase(http_version_.c_str(), "1.0")) {
      rc = out.AppendText("\r\nConnection: Keep-Alive");
    }
  }
  if (rc == kOk) rc = out.AppendText("\r\n");
  if (rc == kOk) rc = AddRequestHeaders(out);
  if (rc == kOk) rc = AppendOtherHeaders(out);
  if (rc != kOk) return rc;

  body_withheld_ = false;
  compressing_body_ = false;
  if (has_body) {
    if (!content_type_.empty()) {
      rc = out.AppendText("Content-Type: ");
      if (rc == kOk) rc = out.AppendString(content_type_);
      if (rc == kOk) rc = out.AppendText("\r\n");
      if (rc != kOk) return rc;
    }
    body_withheld_ = BodyWithheld();
    if (body_withheld_) {
      request_content_length_ = 0;
    } else {
      uint64_t source_length = 0;
      rc = OpenBodySources(&source_length);
      if (rc != kOk) return rc;
      request_content_length_ += source_length;
    }
    if (compress_http_request_ != 0 && !body_withheld_) {
      rc = CompressBody();
      if (rc != kOk) return rc;
      compressing_body_ = true;
      request_content_length_ = static_cast<uint64_t>(compressed_body_.length());
      rc = out.AppendText("Content-encoding: gzip\r\n");
      if (rc == kOk) {
        rc = out.AppendFormat("Content-Length: %llu\r\n",
                              static_cast<unsigned long long>(request_content_length_));
      }
    } else if (use_chunked_encoding_ && !body_withheld_) {
      rc = out.AppendText("Transfer-Encoding: chunked\r\n");
    } else {
      rc = out.AppendFormat("Content-Length: %llu\r\n",
                            static_cast<unsigned long long>(request_content_length_));
    }
    if (rc != kOk) return rc;
  }
  return out.AppendText("\r\n");
}

// ---- Request body ----

int HttpClient::OpenBodySources(uint64_t* length) {
  *length = 0;
  attached_handle_.Close();
  if (upload_stream_ != nullptr) {
    if (upload_stream_used_) {
      // Sent once already (an authentication retry or a redirect that keeps the body).
      const bool rewound = upload_rewind_ ? upload_rewind_()
                                          : upload_stream_->done() == upload_stream_start_;
      if (!rewound) {
        SetHttpError(kErrHttpFile, kTextStreamRewind);
        return kErrHttpFile;
      }
    }
    upload_stream_start_ = upload_stream_->done();
    *length = upload_stream_->GetSize();
    return kOk;
  }
  if (HasAttachedFile()) {
    if (attached_handle_.OpenRead(attached_file_, 0) != kOk) {
      SetHttpError(kErrHttpFile, kTextCannotOpenAttached);
      return kErrHttpFile;
    }
    const int64_t size = attached_handle_.GetSize();
    *length = size > 0 ? static_cast<uint64_t>(size) : 0;
  }
  return kOk;
}

int HttpClient::CompressBody() {
  compressed_body_.Reset();
  ContentEncoder encoder;
  encoder.SetFormat(kEncoderFormatGzip);
  StreamSource source(upload_stream_);
  FileOrStream more;
  bool has_more = false;
  if (upload_stream_ != nullptr) {
    more.SetStream(&source, false);
    upload_stream_used_ = true;
    has_more = true;
  } else if (attached_handle_.IsOpen()) {
    auto file = std::make_unique<FileHandle>();
    if (file->OpenRead(attached_file_, 0) != kOk) {
      SetHttpError(kErrHttpFile, kTextCannotOpenAttached);
      return kErrHttpFile;
    }
    more.SetFile(std::move(file));
    has_more = true;
  }
  const int rc = encoder.EncodeBody(post_bytes(), post_length(),
                                    has_more ? &more : nullptr, compressed_body_);
  if (rc != kOk) {
    SetHttpError(rc, encoder.error_text().empty() ? "Compression error." : encoder.error_text().c_str());
    return rc;
  }
  return kOk;
}

int HttpClient::SendLine(const char* text) {
  ByteString line;
  int rc = line.SetText(text);
  if (rc == kOk) rc = line.Append("\r\n", 2);
  return rc != kOk ? rc : SendAll(line.data(), line.length());
}

int HttpClient::SendCrLf() { return SendAll("\r\n", 2); }

int HttpClient::BodyProgress64(int64_t count) {
  FireTransferProgress(kDirectionRequest, count, -1, nullptr, 0);
  // A response that already ended the transfer (an early error answer) stops the body.
  if (transfer_ended_) return 1;
  return interrupt_requested() ? kErrInterrupted : kOk;
}

int HttpClient::SendBodyPieces(const void* bytes, int n, const char* item, bool ends_body) {
  // ChunkSize sets the pieces (and so the progress steps) over HTTP/2 too, without chunk framing.
  const int piece_size = use_chunked_encoding_ && chunk_size_ >= 1 ? chunk_size_ : kDefaultChunk;
  const bool chunked = use_chunked_encoding_ && !compressing_body_ && !http2_active_;
  const char* p = static_cast<const char*>(bytes);
  int sent = 0;
  int rc = kOk;
  while (sent < n) {
    const int piece = n - sent < piece_size ? n - sent : piece_size;
    SetPieceBeingSent(p + sent, piece);
    if (chunked) {
      // One send per chunk: the size line, the data and the CR LF together.
      char size_line[24];
      const int size_n = std::snprintf(size_line, sizeof(size_line), "%x\r\n",
                                       static_cast<unsigned>(piece));
      rc = work_.Set(size_line, size_n);
      if (rc == kOk) rc = work_.Append(p + sent, piece);
      if (rc == kOk) rc = work_.Append("\r\n", 2);
      if (rc == kOk) rc = SendAll(work_.data(), work_.length());
    } else if (http2_active_) {
      rc = SendHttp2Body(p + sent, piece, ends_body && sent + piece == n, item);
    } else {
      rc = SendAll(p + sent, piece);
    }
    if (rc != kOk) break;
    sent += piece;
    bytes_sent_ += static_cast<uint64_t>(piece);
    rc = BodyProgress64(static_cast<int64_t>(bytes_sent_));
    if (rc != kOk) break;
  }
  SetPieceBeingSent(nullptr, 0);
  return rc;
}

int HttpClient::SendSourceBody() {
  const bool from_stream = upload_stream_ != nullptr;
  if (!from_stream && !attached_handle_.IsOpen()) return kOk;
  // With a Content-Length, never more than announced: the source's announced size.
  const bool capped = !use_chunked_encoding_;
  uint64_t left = request_content_length_ > static_cast<uint64_t>(post_length())
                      ? request_content_length_ - static_cast<uint64_t>(post_length())
                      : 0;
  // Over HTTP/2 a chunked body of known length still ends the stream with its last piece; one
  // that comes short is ended by the request with an empty frame.
  const bool bounded = capped || (http2_active_ && left > 0);
  ByteString block;
  if (block.Resize(kSourceBlock) != kOk) return kErrOutOfMemory;
  int rc = kOk;
  for (;;) {
    int want = kSourceBlock;
    if (bounded) {
      if (left == 0) break;
      if (left < static_cast<uint64_t>(want)) want = static_cast<int>(left);
    }
    int got = 0;
    if (from_stream) {
      upload_stream_used_ = true;
      got = upload_stream_->Read(block.data(), want);
      if (got <= 0 && upload_stream_->error() != 0) {
        SetHttpError(kErrHttpFile, kTextStreamRead);
        return kErrHttpFile;
      }
    } else {
      size_t n = 0;
      if (attached_handle_.ReadSome(block.data(), static_cast<size_t>(want), &n) != kOk) {
        SetHttpError(kErrHttpFile, kTextCannotReadFile);
        return kErrHttpFile;
      }
      got = static_cast<int>(n);
    }
    if (got <= 0) break;
    rc = SendBodyPieces(block.data(), got, from_stream ? "UploadStream" : "AttachedFile",
                        bounded && left == static_cast<uint64_t>(got));
    if (rc != kOk) return rc;
    if (bounded) left -= static_cast<uint64_t>(got);
  }
  if (capped && left != 0) {
    // The server waits for bytes that will never come: the connection cannot be used.
    SetHttpError(kErrHttpFile, from_stream ? kTextStreamShort : kTextCannotReadFile);
    return kErrHttpFile;
  }
  if (record_request_ && !from_stream) {
    FileHandle again;
    if (again.OpenRead(attached_file_, 0) == kOk) {
      for (;;) {
        size_t n = 0;
        if (again.ReadSome(block.data(), 16384, &n) != kOk || n == 0) break;
        if (recorded_body_.Append(block.data(), static_cast<int>(n)) != kOk) break;
      }
    }
  }
  return kOk;
}

int HttpClient::SendRequestBody(bool has_body) {
  bytes_sent_ = 0;
  const bool any_body = post_length() > 0 || upload_stream_ != nullptr ||
                        attached_handle_.IsOpen() || use_chunked_encoding_;
  if (!has_body || body_withheld_ || !any_body) {
    if (always_fire_start_transfer_) {
      FireStartTransferHook(kDirectionRequest);
      FireEndTransferHook(kDirectionRequest);
    }
    return kOk;
  }
  LogAtLevel(kLogInfo, "Preparing PostData", "Info");
  FireStartTransferHook(kDirectionRequest);
  LogAtLevel(kLogInfo, "Sending Body", "Info");
  sending_body_ = true;
  if (record_request_) recorded_body_.Reset();
  int rc = kOk;
  if (compressing_body_) {
    rc = SendBodyPieces(compressed_body_.data(), compressed_body_.length(), "PostData", true);
    if (record_request_) recorded_body_.Assign(compressed_body_);
  } else {
    if (post_length() > 0) {
      if (debug_trace_) {
        FireTransfer(kDirectionRequest, 0, 0, post_bytes(), post_length());
      }
      rc = SendBodyPieces(post_bytes(), post_length(), "PostData",
                          upload_stream_ == nullptr && !attached_handle_.IsOpen());
      LogDataDebug(post_bytes(), post_length(), "RequestBody");
      if (record_request_) recorded_body_.Set(post_bytes(), post_length());
    }
    if (rc == kOk) rc = SendSourceBody();
  }
  if (rc == kOk && use_chunked_encoding_ && !compressing_body_ && !http2_active_) {
    rc = SendAll("0\r\n\r\n", 5);
  }
  // A body cut short (stopped by an early answer or a failure) leaves the connection unusable.
  if (rc != kOk) connection_reusable_ = false;
  if (interrupt_requested()) Disconnect();
  sending_body_ = false;
  FireEndTransferHook(kDirectionRequest);
  return rc == 1 ? kOk : rc;
}

int HttpClient::SendFirewallRequest(const void* bytes, int n) {
  if (log_level() >= kLogInfo) {
    ByteString text;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    // The tunnel's credentials (masked in the traffic records) stay out of the log as well.
    const int mask_from = record_mask_from_ < 0 ? 0 : record_mask_from_;
    const int mask_end = record_mask_length_ > 0 ? mask_from + record_mask_length_ : 0;
    for (int i = 0; i < n; ++i) {
      if (i >= mask_from && i < mask_end) {
        text.AppendByte('*');
      } else if ((p[i] < 32 && p[i] != '\r' && p[i] != '\n') || p[i] >= 128) {
        text.AppendFormat("0x%x", p[i]);
      } else {
        text.AppendByte(p[i]);
      }
    }
    LogAtLevel(kLogInfo, text.c_str(), "FirewallRequest");
  }
  return TransferClient::SendFirewallRequest(bytes, n);
}

int HttpClient::OnFirewallResponse(const void* bytes, int n) {
  if (log_level() >= kLogInfo) {
    ByteString text;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    for (int i = 0; i < n; ++i) {
      if ((p[i] < 32 && p[i] != '\r' && p[i] != '\n') || p[i] >= 128) {
        text.AppendFormat("0x%x", p[i]);
      } else {
        text.AppendByte(p[i]);
      }
    }
    LogAtLevel(kLogInfo, text.c_str(), "FirewallResponse");
  }
  return TransferClient::OnFirewallResponse(bytes, n);
}

}  // namespace tw
