// One request over HTTP/2: the head built for HTTP/1.1 becomes the header pairs of a new stream,
// the body goes out as DATA, and the stream's header pairs, data and end feed the same response
// steps as an HTTP/1.1 response.
#include <cstdio>
#include <cstring>

#include "foundation/text_conversion.h"
#include "http/http_client.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr char kTextNoStatus[] = "The HTTP/2 response has no :status header.";
constexpr char kTextDataBeforeHead[] = "The HTTP/2 response sent data before its headers.";
constexpr char kTextShortBody[] =
    "The HTTP/2 stream ended after %llu body bytes of the %lld that Content-Length announced.";
constexpr char kTextStreamEndedEarly[] = "The HTTP/2 stream ended before the response headers.";
constexpr char kTextTimeout[] = "Timeout.";

bool IsPseudo(const char* name, int n) { return n > 0 && name[0] == ':'; }

}  // namespace

// ---- The bridge ----

int HttpClient::Http2Bridge::Http2Send(const void* bytes, int n) {
  if (owner_->Closing()) return kErrConnectionClosed;
  return owner_->SendAll(bytes, n);
}

int HttpClient::Http2Bridge::Http2TrySend(const void* bytes, int n, int* sent) {
  HttpClient& c = *owner_;
  *sent = 0;
  if (!c.HasSocket()) return c.SetWinsockErrorText(win::WSAENOTCONN);
  if (c.Closing()) return kErrConnectionClosed;
  const int rc = c.tls_active_ ? c.TlsSend(bytes, n, sent) : c.SendRaw(bytes, n, 0, false, sent);
  if (rc == kOk) *sent = n;
  // Bytes moved: whatever stays owed waits afresh.
  if (*sent > 0) c.http2_owed_since_ = 0;
  if (rc == kOk || rc == win::WSAEWOULDBLOCK) return kOk;
  c.set_error_code(rc);
  return rc >= win::WSAEINTR ? c.SetWinsockErrorText(rc) : c.DefaultErrorText(rc);
}

int HttpClient::Http2Bridge::Http2Wait() {
  if (!owner_->HasSocket()) return kErrConnectionClosed;
  // The wait ends on an interrupt or the Timeout (its text is set), as the send-all loop's does.
  if (owner_->WaitOnce() == kWaitEnded) return owner_->HasSocket() ? kErrInterrupted : kErrConnectionClosed;
  return kOk;
}

int HttpClient::Http2Bridge::Http2LogLevel() const { return owner_->log_level(); }

void HttpClient::Http2Bridge::Http2Log(int level, const char* text, const char* type) {
  owner_->LogAtLevel(level, text, type);
}

// HTTP/2 runs only after the handshake: a session no longer complete is one we are closing,
// which takes no more frames; the close, not a send, says why.
bool HttpClient::Closing() { return tls_active_ && !HandshakeComplete(); }

// ---- Choice ----

bool HttpClient::AlpnChoseH2() const {
  const char* p = alpn_received_.c_str();
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && *end != ',') ++end;
    const char* a = p;
    const char* b = end;
    while (a < b && *a == ' ') ++a;
    while (b > a && b[-1] == ' ') --b;
    if (b - a == 2 && a[0] == 'h' && a[1] == '2') return true;
    p = *end == ',' ? end + 1 : end;
  }
  return false;
}

// ---- Request ----

int HttpClient::BuildHttp2Headers(const ByteString& head, StringList& headers) {
  // The authority always names the port (HTTP/2 runs only over TLS, where 80 is no default).
  ByteString authority;
  int rc = AppendHostPort(authority, true);
  const char* const pseudo[] = {":method", verb_.c_str(), ":scheme", scheme_.c_str(),
                                ":path", path_.c_str(), ":authority", authority.c_str()};
  for (const char* text : pseudo) {
    if (rc == kOk) rc = headers.AddText(text);
  }
  if (rc != kOk) return rc;
  // The lines after the request line, each "Name: value"; Host is :authority now.
  const char* p = head.c_str();
  const char* end = p + head.length();
  const char* line = static_cast<const char*>(std::memchr(p, '\n', head.length()));
  while (line != nullptr && line < end) {
    const char* start = line + 1;
    const char* stop = static_cast<const char*>(std::memchr(start, '\n', end - start));
    const char* last = stop != nullptr ? stop : end;
    const char* trimmed = last;
    if (trimmed > start && trimmed[-1] == '\r') --trimmed;
    const char* colon = static_cast<const char*>(std::memchr(start, ':', trimmed - start));
    if (colon != nullptr && colon > start) {
      ByteString name;
      ByteString value;
      const char* v = colon + 1;
      while (v < trimmed && (*v == ' ' || *v == '\t')) ++v;
      rc = name.Set(start, static_cast<int>(colon - start));
      if (rc == kOk) rc = value.Set(v, static_cast<int>(trimmed - v));
      if (rc != kOk) return rc;
      if (!EqualsNoCase(name.c_str(), "Host")) {
        rc = headers.AddText(name.c_str());
        if (rc == kOk) rc = headers.AddText(value.c_str());
        if (rc != kOk) return rc;
      }
    }
    line = stop;
  }
  return kOk;
}

int HttpClient::SendHttp2Body(const void* bytes, int n, bool end_stream, const char* item) {
  const int rc = http2_.SendData(bytes, n, end_stream);
  if (rc == kOk) return kOk;
  // An interrupt or a timeout keeps its own code and text.
  if (rc == kErrInterrupted) return rc;
  ByteString text;
  text.Format("Cannot upload %s: %s", item, Http2FailureText(rc));
  SetHttpError(kErrHttpProtocol, text.c_str());
  return kErrHttpProtocol;
}

const char* HttpClient::Http2FailureText(int rc) {
  if (rc < 100) return http2_.error_text().c_str();
  return error_text().empty() ? ::tw::DefaultErrorText(rc) : error_text().c_str();
}

int HttpClient::PerformHttp2Request(bool has_body) {
  // The connection now carries frames: no line mode, nothing left of a line.
  SetEol(nullptr, 0);
  line_buffer_.Reset();
  http2_active_ = true;
  http2_head_done_ = false;
  int rc = kOk;
  if (!http2_.preface_sent()) {
    // Frames go out whole: holding a small one back for an ACK stalls every window refill.
    const int on = 1;
    win::setsockopt(socket_handle(), win::IPPROTO_TCP, win::TCP_NODELAY, reinterpret_cast<const char*>(&on),
                    sizeof(on));
    rc = http2_.SendPreface();
    if (rc != kOk && rc < 100) SetHttpError(rc, http2_.error_text().c_str());
  }

  request_content_length_ = static_cast<uint64_t>(post_length());
  ByteString head;
  if (rc == kOk) rc = BuildRequestHead(has_body, head);
  StringList headers;
  if (rc == kOk) rc = BuildHttp2Headers(head, headers);
  if (rc != kOk) {
    attached_handle_.Close();
    DisconnectKeepingError();
    return rc;
  }
  if (record_request_) sent_headers_.Assign(head);
  if (debug_trace_) FireTransfer(kDirectionRequest, 0, 0, head.data(), head.length());

  expecting_response_ = true;
  read_state_ = ReadState::kStatus;
  request_sent_ = true;
  const bool body_follows = has_body;
  rc = http2_.SendHeaders(headers, !body_follows, http2_headers_without_indexing_.c_str());
  if (rc != kOk && rc < 100) SetHttpError(rc, http2_.error_text().c_str());
  if (rc == kOk) rc = SendRequestBody(has_body);
  // A body withheld, empty or of a length not known ahead still has to end the stream, or the
  // server waits for it.
  if (rc == kOk && (http2_.stream_state() == kH2Opened || http2_.stream_state() == kH2HalfClosedRemote)) {
    const char* item = upload_stream_ != nullptr ? "UploadStream" : attached_handle_.IsOpen() ? "AttachedFile" : "PostData";
    rc = SendHttp2Body(nullptr, 0, true, item);
  }
  attached_handle_.Close();
  if (rc != kOk && !transfer_ended_) {
    ByteString kept;
    kept.Assign(error_text());
    expecting_response_ = false;
    http2_.ResetStream();
    CloseFailedHttp2();
    SetErrorText(kept.c_str());
    return rc;
  }
  LogAtLevel(kLogInfo, "Request Sent", "Info");
  rc = WaitForResponse();
  // A GOAWAY retires the connection once its last request is answered.
  if (http2_.retired() && HasSocket()) {
    const bool was = expecting_response_;
    expecting_response_ = false;
    Disconnect();
    expecting_response_ = was;
  }
  return rc;
}

// ---- Response ----

int HttpClient::ReceiveHttp2(const void* bytes, int n) {
  int rc = http2_.Receive(bytes, n);
  // Frames read after the last stream ended and our close began (in the same read, or drained by
  // the close) ask for answers that cannot go out any more: that is no failure.
  if (rc != kOk && Closing() && !expecting_response_) return kOk;
  ByteString text;
  if (rc != kOk) {
    text.SetText(Http2FailureText(rc));
  } else if (http2_.owed_bytes() == 0) {
    http2_owed_since_ = 0;
    return kOk;
  } else {
    // Answers the peer does not take fail the connection once the Timeout passes, however
    // much it keeps sending.
    const uint64_t now = win::GetTickCount64();
    if (http2_owed_since_ == 0) http2_owed_since_ = now;
    if (timeout_millis() == 0 || now - http2_owed_since_ <= timeout_millis()) return kOk;
    rc = kErrInterrupted;
    text.SetText(kTextTimeout);
  }
  // Nothing more is read, not even by a close that the end of the transfer starts.
  TlsClient::SetAcceptData(false);
  if (expecting_response_ && !transfer_ended_) {
    EndResponseTransfer(rc, text.c_str());
  } else {
    SetHttpError(rc, text.c_str());
  }
  CloseFailedHttp2();
  return kOk;
}

void HttpClient::CloseFailedHttp2() {
  http2_owed_since_ = 0;
  if (!HasSocket()) return;
  const bool was = expecting_response_;
  const bool linger = linger_;
  expecting_response_ = false;
  linger_ = false;
  ApplyLinger();
  // No drain before the close: a flooding peer would keep it reading. The next connection
  // accepts data again. (Set on the socket layer itself: the TLS state may already be closing.)
  TlsClient::SetAcceptData(false);
  Disconnect();
  linger_ = linger;
  expecting_response_ = was;
}

int HttpClient::FireReadyToSend() {
  if (http2_active_ && HasSocket()) http2_.FlushOwed();
  return 0;
}

void HttpClient::OnHttp2Header(const char* name, int name_n, const char* value, int value_n) {
  if (!expecting_response_ || transfer_ended_ || http2_head_done_) return;
  // A NUL in a field would cut it short wherever it is read as text.
  if (std::memchr(name, '\0', static_cast<size_t>(name_n)) != nullptr ||
      std::memchr(value, '\0', static_cast<size_t>(value_n)) != nullptr) {
    FailResponse(kErrHttpProtocol, "An HTTP/2 header holds a NUL byte.");
    return;
  }
  if (read_state_ == ReadState::kStatus) {
    bytes_transferred_ = 0;
    decoded_bytes_ = 0;
    transferred_headers_.Reset();
    response_content_type_.Reset();
    transferred_data_.Reset();
    protocol_.SetText("HTTP/2.0");
    read_state_ = ReadState::kHeaders;
  }
  if (transferred_headers_.Append(name, name_n) != kOk || transferred_headers_.Append(": ", 2) != kOk ||
      transferred_headers_.Append(value, value_n) != kOk || transferred_headers_.Append("\r\n", 2) != kOk) {
    FailResponse(kErrOutOfMemory, "Out of memory.");
    return;
  }
  if (log_level() >= kLogDebug) {
    ByteString line;
    line.Set(name, name_n);
    line.AppendByte(':');
    line.Append(value, value_n);
    LogAtLevel(kLogDebug, line.c_str(), "ResponseHeaders");
  }
  if (IsPseudo(name, name_n) && std::strcmp(name, ":status") != 0) return;
  OnHeader(name, value);
}

void HttpClient::OnHttp2HeadersEnd() {
  if (!expecting_response_ || transfer_ended_ || http2_head_done_) return;
  if (status_code_ == 0) {
    FailResponse(kErrHttpProtocol, kTextNoStatus);
    return;
  }
  if (status_code_ >= 100 && status_code_ <= 199) {
    // An interim answer: the final head follows in another block.
    status_code_ = 0;
    status_line_.Reset();
    transferred_headers_.Reset();
    parsed_headers_.Clear();
    read_state_ = ReadState::kStatus;
    return;
  }
  http2_head_done_ = true;
  chunked_ = false;  // HTTP/2 frames the body itself
  OnHeadComplete();
  if (!transfer_ended_) connection_reusable_ = true;
}

void HttpClient::OnHttp2Data(const uint8_t* bytes, int n) {
  if (!expecting_response_ || transfer_ended_) return;
  if (!http2_head_done_) {
    FailResponse(kErrHttpProtocol, kTextDataBeforeHead);
    return;
  }
  OnBodyBytes(bytes, n);
}

void HttpClient::OnHttp2StreamEnd() {
  if (!expecting_response_ || transfer_ended_) return;
  LogAtLevel(kLogInfo, "Response Received", "Info");
  if (http2_.stream_error() != 0) {
    FailResponse(http2_.stream_error(), http2_.stream_error_text().c_str());
    return;
  }
  if (!http2_head_done_) {
    FailResponse(kErrHttpProtocol, kTextStreamEndedEarly);
    return;
  }
  if (content_length_ >= 0 && body_received_ < static_cast<uint64_t>(content_length_) &&
      !EqualsNoCase(verb_.c_str(), "HEAD")) {
    char text[160];
    std::snprintf(text, sizeof(text), kTextShortBody,
                  static_cast<unsigned long long>(body_received_),
                  static_cast<long long>(content_length_));
    FailResponse(kErrHttpProtocol, text);
    return;
  }
  FinishBody();
}

}  // namespace tw
