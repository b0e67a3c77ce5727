// The response side of the HTTP client: status line, header lines, bodies (identity, chunked,
// close-delimited; gzip and deflate decoded), the output to memory, a file or a stream, and the
// verdict at the end of the transfer.
#include <cstdio>
#include <cstring>

#include "formats/gzip_header.h"
#include "foundation/text_conversion.h"
#include "http/http_client.h"

namespace tw {
namespace {

constexpr char kTextHeadTooLarge[] = "The response head is larger than 65536 bytes.";
constexpr char kTextBadStatusLine[] = "HTTP protocol error. Invalid status line.";
constexpr char kTextBadContentLength[] = "HTTP protocol error. Invalid Content-Length header.";
constexpr char kTextBadHeaderLine[] = "HTTP protocol error. Invalid header line.";
constexpr char kTextTransferCoding[] = "HTTP protocol error. Unsupported transfer coding: %.40s.";
constexpr char kTextDocumentTooLarge[] =
    "The response body is larger than the %lld bytes allowed for a parsed answer.";
constexpr char kTextUnannouncedTooLarge[] =
    "The response announced no length and its body outgrew the %lld bytes held in memory without a "
    "limit; set TransferredDataLimit to hold more.";
constexpr char kTextErrorBodyCut[] =
    "The body of the failure response was cut at %d bytes; the rest was not read.";
constexpr char kTextMemoryBodyCut[] =
    "The response body kept in memory was cut at the limit of %lld bytes (TransferredDataLimit); "
    "the rest was not read.";
constexpr char kTextDecoderInit[] = "Could not initialize decompressor.";
constexpr char kTextDecompress[] = "Could not decompress content.";
constexpr char kTextGzipHeader[] = "The GZIP header is invalid.";
constexpr char kTextOpenLocalFile[] = "Can't open local file for writing.";
constexpr char kTextWriteLocalFile[] = "Error writing to LocalFile.";
constexpr char kTextWriteStream[] = "Error writing to the download stream.";
constexpr char kTextAppendData[] = "Error appending to TransferredData.";
constexpr char kTextConnectionClosed[] = "Connection closed.";
constexpr char kTextClosedInHead[] = "Connection closed before the end of the response head.";
constexpr char kTextClosedInBody[] =
    "Connection closed before the end of the response body (%llu of %lld bytes).";
constexpr char kTextClosedWithoutNotify[] =
    "Connection closed without TLS close_notify before the end of a response body without a length.";
constexpr char kTextClosedInChunks[] =
    "Connection closed before the last chunk of the response body.";
constexpr char kTextNoLocation[] =
    "HTTP protocol error. Expected header 'redirectlocation' was not found.";
constexpr char kTextConnectionCloseWait[] =
    "Received header 'Connection: close', waiting for the connection to close.";
// The largest body kept in memory: a ByteString's length.
constexpr uint64_t kMaxMemoryBody = 0x7FFFFF00u;

// True when the comma-separated list holds the token (without case).
bool ListHasToken(const char* list, const char* token) {
  const int n = static_cast<int>(std::strlen(token));
  const char* p = list;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    const char* start = p;
    while (*p != '\0' && *p != ',') ++p;
    const char* end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (end - start == n) {
      int i = 0;
      while (i < n) {
        char a = start[i], b = token[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
        if (a != b) break;
        ++i;
      }
      if (i == n) return true;
    }
  }
  return false;
}

// The first transfer coding of the list that cannot be read: anything but "chunked" (which must
// come last) and "identity". Null when every coding is understood.
const char* UnsupportedTransferCoding(const char* list, ByteString& token) {
  const char* p = list;
  bool chunked_seen = false;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && *p != ',') ++p;
    const char* end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (token.Set(start, static_cast<int>(end - start)) != kOk) return list;
    // A coding after chunked would hide where the body ends.
    if (chunked_seen) return token.c_str();
    if (EqualsNoCase(token.c_str(), "chunked")) {
      chunked_seen = true;
    } else if (!EqualsNoCase(token.c_str(), "identity")) {
      return token.c_str();
    }
  }
  return nullptr;
}

// The first word of text and the rest after the blanks that follow it.
void SplitScheme(const char* text, ByteString& scheme, const char** rest) {
  const char* p = text;
  while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  scheme.Set(text, static_cast<int>(p - text));
  while (*p == ' ' || *p == '\t') ++p;
  *rest = p;
}

}  // namespace

// ---- State ----

void HttpClient::ResetResponseState() {
  read_state_ = ReadState::kStatus;
  transfer_ended_ = false;
  end_transfer_fired_ = false;
  response_error_ = false;
  response_error_code_ = 0;
  response_error_text_.Reset();
  connection_reusable_ = false;
  connection_close_header_ = false;
  keep_alive_header_ = false;
  line_buffer_.Reset();
  head_bytes_ = 0;
  status_line_.Reset();
  protocol_.Reset();
  reason_.Reset();
  status_code_ = 0;
  transferred_headers_.Reset();
  parsed_headers_.Clear();
  current_header_name_.Reset();
  response_content_type_.Reset();
  content_length_ = -1;
  chunked_ = false;
  chunk_decoder_.Reset();
  content_encoding_ = kContentEncodingNone;
  inflater_.Reset();
  redirect_location_.Reset();
  decoded_bytes_ = 0;
  body_received_ = 0;
  memory_body_cut_ = false;
  bytes_transferred_ = 0;
  CloseLocalFile();
  local_file_failed_ = false;
  response_started_ = false;
}

int HttpClient::FailResponse(int code, const char* text) {
  EndResponseTransfer(code, text);
  return code;
}

bool HttpClient::BodyToMemory() const {
  const bool success = status_code_ >= 200 && status_code_ <= 299;
  return !(success && (local_file_.Length() > 0 || download_stream_ != nullptr));
}

// ---- Data input ----

int HttpClient::OnDataInEvent(const void* bytes, int n, bool end_of_record) {
  if (n > 0) RearmTimeoutAfterTraffic();
  if (http2_active_ || (http2_wanted_ && AlpnChoseH2())) {
    // Frames arrive between requests too (SETTINGS, PING, GOAWAY): all go to the connection.
    http2_active_ = true;
    response_bytes_seen_ += static_cast<uint64_t>(n > 0 ? n : 0);
    return ReceiveHttp2(bytes, n);
  }
  if (!expecting_response_ || transfer_ended_) {
    // Bytes nobody asked for: the connection's framing can no longer be trusted.
    if (n > 0) {
      connection_reusable_ = false;
      if (!expecting_response_ && keep_alive_ && HasSocket()) Disconnect();
    }
    return kOk;
  }
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  response_bytes_seen_ += static_cast<uint64_t>(n > 0 ? n : 0);
  switch (read_state_) {
    case ReadState::kStatus:
    case ReadState::kInterim:
    case ReadState::kHeaders: {
      head_bytes_ += n + (end_of_record ? 1 : 0);
      if (head_bytes_ > kMaxResponseHeadBytes) {
        FailResponse(kErrHttpProtocol, kTextHeadTooLarge);
        return kOk;
      }
      if (!end_of_record) {
        // A line longer than one receive piece: joined before it is read.
        if (line_buffer_.Append(p, n) != kOk) FailResponse(kErrOutOfMemory, "Out of memory.");
        return kOk;
      }
      if (line_buffer_.empty()) {
        OnResponseLine(reinterpret_cast<const char*>(p), n);
        return kOk;
      }
      if (line_buffer_.Append(p, n) != kOk) {
        FailResponse(kErrOutOfMemory, "Out of memory.");
        return kOk;
      }
      ByteString line(std::move(line_buffer_));
      line_buffer_.Reset();
      OnResponseLine(line.c_str(), line.length());
      return kOk;
    }
    case ReadState::kBody:
    case ReadState::kChunked:
      if (n > 0) OnBodyBytes(p, n);
      return kOk;
    case ReadState::kDone:
      connection_reusable_ = false;
      return kOk;
  }
  return kOk;
}

int HttpClient::OnResponseLine(const char* line, int n) {
  if (n > 0 && line[n - 1] == '\r') --n;
  switch (read_state_) {
    case ReadState::kStatus:
      // Blank lines before a status line are skipped.
      if (n == 0) return kOk;
      return OnStatusLine(line, n);
    case ReadState::kInterim:
      if (n > 0 && line[0] == 'H') return OnStatusLine(line, n);
      if (n == 0) {
        read_state_ = ReadState::kStatus;
        status_line_.Reset();
        transferred_headers_.Reset();
        response_content_type_.Reset();
        transferred_data_.Reset();
      }
      return kOk;
    case ReadState::kHeaders:
      return OnHeaderLine(line, n);
    default:
      return kOk;
  }
}

int HttpClient::OnStatusLine(const char* line, int n) {
  // A NUL would cut the line short wherever it is later read as text.
  if (std::memchr(line, '\0', static_cast<size_t>(n)) != nullptr) {
    return FailResponse(kErrHttpProtocol, kTextBadStatusLine);
  }
  bytes_transferred_ = 0;
  decoded_bytes_ = 0;
  status_line_.Reset();
  transferred_headers_.Reset();
  response_content_type_.Reset();
  transferred_data_.Reset();
  LogAtLevel(kLogInfo, "Response Received", "Info");
  read_state_ = ReadState::kHeaders;
  if (status_line_.Set(line, n) != kOk) return FailResponse(kErrOutOfMemory, "Out of memory.");
  LogText2("Status Line: ", status_line_.c_str(), "Info");

  const char* p = status_line_.c_str();
  const char* end = p + status_line_.length();
  const char* word = p;
  while (p < end && *p != ' ') ++p;
  protocol_.Set(word, static_cast<int>(p - word));
  while (p < end && *p == ' ') ++p;
  int code = 0;
  int digits = 0;
  while (p < end && *p >= '0' && *p <= '9' && digits < 4) {
    code = code * 10 + (*p - '0');
    ++digits;
    ++p;
  }
  const bool code_ends = p == end || *p == ' ';
  while (p < end && *p == ' ') ++p;
  reason_.Set(p, static_cast<int>(end - p));
  // Only HTTP/1.x is read this way; any other version would frame its messages differently.
  const char* version = protocol_.c_str();
  const bool http1 = protocol_.length() == 8 && std::strncmp(version, "HTTP/1.", 7) == 0 &&
                     version[7] >= '0' && version[7] <= '9';
  if (!http1 || digits != 3 || !code_ends) {
    return FailResponse(kErrHttpProtocol, kTextBadStatusLine);
  }
  status_code_ = code;
  if (code >= 100 && code <= 199 && code != 101) {
    read_state_ = ReadState::kInterim;
    return kOk;
  }
  FireStatus(protocol_.c_str(), status_code_, reason_.c_str());
  return kOk;
}

int HttpClient::OnHeaderLine(const char* line, int n) {
  if (n == 0) return OnHeadComplete();
  if (std::memchr(line, '\0', static_cast<size_t>(n)) != nullptr) {
    return FailResponse(kErrHttpProtocol, kTextBadHeaderLine);
  }
  if (transferred_headers_.Append(line, n) != kOk || transferred_headers_.Append("\r\n", 2) != kOk) {
    return FailResponse(kErrOutOfMemory, "Out of memory.");
  }
  ByteString text;
  if (text.Set(line, n) != kOk) return FailResponse(kErrOutOfMemory, "Out of memory.");
  LogAtLevel(kLogDebug, text.c_str(), "ResponseHeaders");

  const char* s = text.c_str();
  const int length = text.length();
  ByteString name;
  const char* value = "";
  if (static_cast<unsigned char>(s[0]) < 33) {
    // A continuation of the header before.
    const char* v = s;
    while (*v == ' ' || *v == '\t') ++v;
    value = v;
  } else {
    bool quoted = false;
    int colon = -1;
    for (int i = 0; i < length; ++i) {
      if (s[i] == '"') quoted = !quoted;
      if (s[i] == ':' && !quoted) {
        colon = i;
        break;
      }
    }
    if (colon < 0) {
      name.Set(s, length);
    } else {
      name.Set(s, colon);
      const char* v = s + colon + 1;
      while (*v == ' ' || *v == '\t') ++v;
      value = v;
    }
  }
  OnHeader(name.c_str(), value);
  return kOk;
}

int HttpClient::StartContentDecoder(const char* value) {
  int kind = kContentEncodingNone;
  if (EqualsNoCase(value, "gzip") || EqualsNoCase(value, "x-gzip")) kind = kContentEncodingGzip;
  if (EqualsNoCase(value, "deflate")) kind = kContentEncodingDeflate;
  if (kind == kContentEncodingNone) return kOk;
  content_encoding_ = kind;
  if (inflater_.Start(kind) != kOk) return FailResponse(kErrDecompress, kTextDecoderInit);
  return kOk;
}

int HttpClient::OnHeader(const char* name, const char* value) {
  current_header_name_.SetText(name);
  if (follow_redirects_ != 0 && EqualsNoCase(name, "Location")) redirect_location_.SetText(value);
  if (parsed_headers_.Add(name, value) != kOk) return FailResponse(kErrOutOfMemory, "Out of memory.");
  FireHeaderHook(name, value);

  if (EqualsNoCase(name, ":status")) {
    int code = 0;
    for (const char* p = value; *p >= '0' && *p <= '9'; ++p) code = code * 10 + (*p - '0');
    status_code_ = code;
    reason_.SetText(HttpReasonPhrase(code));
    status_line_.Format("HTTP/%s %s %s", negotiated_version_.c_str(), value, reason_.c_str());
    FireStatus(negotiated_version_.c_str(), code, reason_.c_str());
  } else if (EqualsNoCase(name, "Content-Type")) {
    response_content_type_.SetText(value);
  } else if (EqualsNoCase(name, "Content-Length")) {
    int64_t length = 0;
    const char* p = value;
    if (*p < '0' || *p > '9') return FailResponse(kErrHttpProtocol, kTextBadContentLength);
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (length > (INT64_MAX - 9) / 10) return FailResponse(kErrHttpProtocol, kTextBadContentLength);
      length = length * 10 + (*p - '0');
    }
    while (*p == ' ' || *p == '\t') ++p;
    // Two different lengths leave the body's end unknown.
    if (*p != '\0' || (content_length_ >= 0 && content_length_ != length)) {
      return FailResponse(kErrHttpProtocol, kTextBadContentLength);
    }
    content_length_ = length;
  } else if (EqualsNoCase(name, "Transfer-Encoding")) {
    // A coding the body is not decoded from would hand its raw bytes over as the body.
    ByteString token;
    if (const char* bad = UnsupportedTransferCoding(value, token); bad != nullptr) {
      ByteString text;
      text.Format(kTextTransferCoding, bad);
      return FailResponse(kErrHttpProtocol, text.c_str());
    }
    if (ListHasToken(value, "chunked")) chunked_ = true;
  } else if (EqualsNoCase(name, "Connection")) {
    if (ListHasToken(value, "close")) connection_close_header_ = true;
    if (ListHasToken(value, "keep-alive")) keep_alive_header_ = true;
  } else if (EqualsNoCase(name, "WWW-Authenticate")) {
    if (auth_scheme_ != kAuthProprietary && auth_scheme_ != kAuthOAuth) authorization_.Reset();
    ByteString scheme;
    const char* rest = "";
    SplitScheme(value, scheme, &rest);
    if ((EqualsNoCase(scheme.c_str(), "NTLM") && auth_scheme_ == kAuthNtlm) ||
        (EqualsNoCase(scheme.c_str(), "Negotiate") && auth_scheme_ == kAuthNegotiate)) {
      server_challenge_.SetText(rest);
    } else if (EqualsNoCase(scheme.c_str(), "Digest")) {
      server_digest_.ParseChallenge(rest);
    }
  } else if (allow_http_compression_ != 0 && EqualsNoCase(name, "Content-Encoding")) {
    return StartContentDecoder(value);
  } else if (EqualsNoCase(name, "Proxy-Authenticate")) {
    if (proxy_auth_scheme_ != kAuthProprietary) proxy_authorization_.Reset();
    ByteString scheme;
    const char* rest = "";
    SplitScheme(value, scheme, &rest);
    if (std::strcmp(scheme.c_str(), "NTLM") == 0) {
      proxy_challenge_.SetText(rest);
    } else if (EqualsNoCase(scheme.c_str(), "Digest")) {
      proxy_digest_.ParseChallenge(rest);
    }
  } else if (EqualsNoCase(name, "Set-Cookie")) {
    ParseSetCookie(value);
  }
  return kOk;
}

void HttpClient::ParseSetCookie(const char* value) {
  SetCookieFields cookie;
  if (tw::ParseSetCookie(value, &cookie) != kOk) return;
  // A cookie that could smuggle a line break into a later request is not kept.
  if (HasLineBreakOrNul(cookie.name.data(), cookie.name.length()) ||
      HasLineBreakOrNul(cookie.value.data(), cookie.value.length()) || cookie.name.empty()) {
    return;
  }
  FireSetCookie(cookie.name.c_str(), cookie.value.c_str(), cookie.expires.c_str(),
                cookie.domain.c_str(), cookie.path.c_str(), cookie.secure);
  cookies_.Store(cookie, false);
}

int HttpClient::OnHeadComplete() {
  const bool head_request = EqualsNoCase(verb_.c_str(), "HEAD");
  const bool redirect_followed = follow_redirects_ != 0 && status_code_ >= 300 && status_code_ <= 399;
  connection_reusable_ = true;
  if (head_request || status_code_ == 204 || status_code_ == 304 || status_code_ == 101) {
    if (status_code_ == 101) {
      SetEol(nullptr, 0);
      connection_reusable_ = false;
    }
    EndResponseTransfer(kOk, nullptr);
    return kOk;
  }
  const bool success = status_code_ >= 200 && status_code_ <= 299;
  if (success && BodyToMemory() && max_document_body_ > 0 && content_length_ > max_document_body_ &&
      content_encoding_ == kContentEncodingNone) {
    return FailDocumentTooLarge();
  }
  if (!redirect_followed) FireStartTransferHook(kDirectionResponse);
  response_started_ = true;
  if (content_encoding_ != kContentEncodingNone) {
    // A body kept in memory cannot exceed a string's length; files and streams take any size.
    inflater_.set_max_output(BodyToMemory() && KeptLimit() <= 0 ? kMaxMemoryBody : 0);
  }
  // The body is read raw; chunk framing is decoded here, not by the socket's line reader.
  SetEol(nullptr, 0);
  if (chunked_) {
    read_state_ = ReadState::kChunked;
    return kOk;
  }
  read_state_ = ReadState::kBody;
  if (content_length_ < 0) connection_reusable_ = false;  // ends at the close
  if (content_length_ == 0) FinishBody();
  return kOk;
}

// ---- Body ----

int HttpClient::OnBodyBytes(const uint8_t* bytes, int n) {
  if (read_state_ == ReadState::kChunked) {
    int used = 0;
    const int rc = chunk_decoder_.Feed(bytes, n, &used,
                                       [this](const uint8_t* d, int k) { return OnBodyData(d, k); });
    if (transfer_ended_) return kOk;
    if (rc != kOk) return FailResponse(rc, rc == kErrChunkedBody ? chunk_decoder_.error_text()
                                                                : error_text().c_str());
    if (chunk_decoder_.done()) {
      if (used < n) connection_reusable_ = false;
      FinishBody();
    }
    return kOk;
  }
  int take = n;
  if (content_length_ >= 0) {
    const uint64_t left = static_cast<uint64_t>(content_length_) - body_received_;
    if (static_cast<uint64_t>(take) > left) {
      take = static_cast<int>(left);
      connection_reusable_ = false;
    }
  }
  body_received_ += static_cast<uint64_t>(take);
  if (take > 0) OnBodyData(bytes, take);
  if (transfer_ended_) return kOk;
  if (content_length_ >= 0 && body_received_ == static_cast<uint64_t>(content_length_)) FinishBody();
  return kOk;
}

void HttpClient::FinishBody() {
  if (transfer_ended_) return;
  if (content_encoding_ != kContentEncodingNone && !(BodyToMemory() && KeptLimit() > 0 &&
                                                     static_cast<int64_t>(transferred_data_.length()) >=
                                                         KeptLimit())) {
    // A gzip or zlib body must end with its trailer.
    if (inflater_.Finish() != kOk) {
      FailResponse(kErrDecompress, kTextDecompress);
      return;
    }
  }
  EndResponseTransfer(kOk, nullptr);
}

int HttpClient::OnBodyData(const uint8_t* bytes, int n) {
  if (follow_redirects_ != 0 && status_code_ >= 300 && status_code_ <= 399) return kOk;
  bytes_transferred_ += static_cast<uint64_t>(n);
  if (content_encoding_ == kContentEncodingNone) return DeliverBody(bytes, n);
  if (BodyToMemory() && KeptLimit() > 0 &&
      static_cast<int64_t>(transferred_data_.length()) >= KeptLimit()) {
    // Nothing more is kept: the rest is not even decoded.
    return CutMemoryBody();
  }
  const int rc = inflater_.Feed(bytes, n, [this](const uint8_t* d, int k) { return DeliverBody(d, k); });
  if (rc == kOk || transfer_ended_) return rc;
  if (rc == kErrGzipHeader) return FailResponse(rc, kTextGzipHeader);
  if (rc == kErrDecompress) {
    return FailResponse(rc, inflater_.over_limit() ? inflater_.error_text() : kTextDecompress);
  }
  return FailResponse(rc, error_text().c_str());
}

int HttpClient::OpenLocalFileForWrite() {
  int rc;
  if (append_) {
    rc = local_handle_.OpenAppend(local_file_);
  } else if (local_file_new_) {
    // A file that appeared since the request began is another writer's: it is not replaced.
    rc = local_handle_.CreateNew(local_file_, static_cast<uint32_t>(create_local_file_attributes_));
  } else {
    rc = local_handle_.CreateWithAttributes(local_file_,
                                            static_cast<uint32_t>(create_local_file_attributes_));
  }
  if (rc != kOk) {
    local_file_failed_ = true;
    FireError(kErrHttpFile, kTextOpenLocalFile);
    return FailResponse(kErrHttpFile, kTextOpenLocalFile);
  }
  local_file_opened_ = true;
  return kOk;
}

void HttpClient::CloseLocalFile() {
  local_handle_.Close();
  local_file_opened_ = false;
}

int HttpClient::DeliverBody(const uint8_t* data, int n) {
  if (transfer_ended_) return kErrHttpProtocol;
  decoded_bytes_ += static_cast<uint64_t>(n);
  LogDataDebug(data, n, "ResponseBody");
  const bool success = status_code_ >= 200 && status_code_ <= 299;
  bool error_cut = false;
  bool memory_cut = false;
  if (success && local_file_.Length() > 0) {
    if (!local_file_opened_) {
      const int rc = OpenLocalFileForWrite();
      if (rc != kOk) return rc;
    }
    if (local_handle_.Write(data, static_cast<size_t>(n)) != kOk) {
      FireError(kErrHttpFile, kTextWriteLocalFile);
      return FailResponse(kErrHttpFile, kTextWriteLocalFile);
    }
  } else if (success && download_stream_ != nullptr) {
    download_stream_->WriteText(reinterpret_cast<const char*>(data), n);
    if (download_stream_->error() != 0) {
      FireError(kErrHttpFile, kTextWriteStream);
      return FailResponse(kErrHttpFile, kTextWriteStream);
    }
  } else {
    const int64_t held = transferred_data_.length();
    if (ByteString text; const int bound = MemoryBodyBoundText(held, n, &text)) {
      return FailResponse(bound, text.c_str());
    }
    int keep = n;
    if (KeptLimit() > 0) {
      const int64_t room = KeptLimit() - held;
      keep = room <= 0 ? 0 : room < n ? static_cast<int>(room) : n;
    }
    // A failure's body only becomes its error text: a bounded prefix is all that is kept.
    error_cut = !success && held + keep > kMaxErrorBodyBytes;
    if (error_cut) keep = held >= kMaxErrorBodyBytes ? 0 : kMaxErrorBodyBytes - static_cast<int>(held);
    int rc = kOk;
    if (keep > 0 && static_cast<uint64_t>(transferred_data_.length()) + keep > kMaxMemoryBody) {
      rc = kErrOutOfMemory;
    } else if (keep > 0 && transferred_data_.empty() && content_length_ > keep &&
               content_encoding_ == kContentEncodingNone && keep > ByteString::kInline &&
               static_cast<uint64_t>(content_length_) <= kMaxMemoryBody) {
      // The announced size is reserved in one block, so the body never moves (a move copies it
      // and holds it twice) and the peak stays the body's size. The block is not touched ahead of
      // the bytes: a server announcing more than it sends costs address space, not memory. The
      // reserve is only a hint; without it the body grows as usual.
      int64_t reserve = content_length_;
      if (KeptLimit() > 0 && reserve > KeptLimit()) reserve = KeptLimit();
      if (!success && reserve > kMaxErrorBodyBytes) reserve = kMaxErrorBodyBytes;
      transferred_data_.Reserve(static_cast<int>(reserve));
      rc = transferred_data_.Append(data, keep);
    } else if (keep > 0) {
      // Near a bound the body grows to the bound, not half past it: a move holds old and new
      // blocks at once, so the slack would count twice.
      const int64_t ceiling = MemoryBodyCeiling(success);
      const int64_t need = held + keep;
      if (ceiling > 0 && need > transferred_data_.capacity() && need + need / 2 > ceiling &&
          ceiling <= static_cast<int64_t>(kMaxMemoryBody)) {
        transferred_data_.Reserve(static_cast<int>(ceiling));
      }
      rc = transferred_data_.Append(data, keep);
    }
    if (rc != kOk) {
      FireError(kErrOutOfMemory, kTextAppendData);
      return FailResponse(kErrOutOfMemory, kTextAppendData);
    }
    memory_cut = keep < n;
  }
  int percent = -1;
  if (content_length_ > 0) {
    const uint64_t p = bytes_transferred_ * 100 / static_cast<uint64_t>(content_length_);
    percent = p > 100 ? 100 : static_cast<int>(p);
  }
  if (status_code_ != 401 && status_code_ != 407) {
    FireTransferProgress(kDirectionResponse, static_cast<int64_t>(bytes_transferred_), percent,
                         data, n);
  }
  if (error_cut) return CutErrorBody();
  if (memory_cut) return CutMemoryBody();
  return kOk;
}

int HttpClient::MemoryBodyBoundText(int64_t held, int n, ByteString* text) const {
  if (!(status_code_ >= 200 && status_code_ <= 299)) return kOk;
  if (max_document_body_ > 0 && held + n > max_document_body_) {
    text->Format(kTextDocumentTooLarge, static_cast<long long>(max_document_body_));
    return kErrHttpProtocol;
  }
  // Without a length or a limit, only a bound keeps a hostile endless body from taking memory.
  if (const int64_t bound = UnannouncedBodyBound(); bound > 0 && held + n > bound) {
    text->Format(kTextUnannouncedTooLarge, static_cast<long long>(max_unannounced_body_));
    return kErrHttpProtocol;
  }
  return kOk;
}

int64_t HttpClient::MemoryBodyCeiling(bool success) const {
  int64_t ceiling = 0;
  const auto lower = [&ceiling](int64_t bound) {
    if (bound > 0 && (ceiling == 0 || bound < ceiling)) ceiling = bound;
  };
  if (!success) return kMaxErrorBodyBytes;
  lower(KeptLimit());
  lower(max_document_body_);
  lower(UnannouncedBodyBound());
  return ceiling;
}

int HttpClient::FailDocumentTooLarge() {
  ByteString text;
  text.Format(kTextDocumentTooLarge, static_cast<long long>(max_document_body_));
  return FailResponse(kErrHttpProtocol, text.c_str());
}

int HttpClient::CutErrorBody() {
  ByteString text;
  text.Format(kTextErrorBodyCut, kMaxErrorBodyBytes);
  LogAtLevel(kLogInfo, text.c_str(), "Info");
  LogFileLine(text.c_str());
  // The verdict still comes from the status; the connection cannot carry another response.
  connection_reusable_ = false;
  EndResponseTransfer(kOk, nullptr);
  return kErrHttpProtocol;
}

int HttpClient::CutMemoryBody() {
  if (!memory_body_cut_) {
    memory_body_cut_ = true;
    ByteString text;
    text.Format(kTextMemoryBodyCut, static_cast<long long>(KeptLimit()));
    LogAtLevel(kLogInfo, text.c_str(), "Info");
    LogFileLine(text.c_str());
  }
  // What the caller asked to keep is kept; reading on would only drop bytes, perhaps forever.
  connection_reusable_ = false;
  EndResponseTransfer(kOk, nullptr);
  return kErrHttpProtocol;
}

// ---- End of the transfer ----

void HttpClient::EndResponseTransfer(int code, const char* text) {
  if (transfer_ended_) return;
  transfer_ended_ = true;
  const ReadState state = read_state_;
  read_state_ = ReadState::kDone;
  if (code != kOk) {
    response_error_ = true;
    response_error_code_ = code;
    response_error_text_.SetText(text != nullptr ? text : "");
    connection_reusable_ = false;
  }
  const bool success = status_code_ >= 200 && status_code_ <= 299;
  // An empty successful body still makes the file what the server sent: empty, not stale.
  if (code == kOk && success && status_code_ != 204 && state != ReadState::kHeaders &&
      local_file_.Length() > 0 && !local_file_opened_ && !local_file_failed_ &&
      !EqualsNoCase(verb_.c_str(), "HEAD") && response_started_) {
    if (OpenLocalFileForWrite() != kOk) {
      response_error_ = true;
      response_error_code_ = kErrHttpFile;
      response_error_text_.SetText(kTextOpenLocalFile);
      connection_reusable_ = false;
    }
  }
  CloseLocalFile();

  const bool http11 = std::strcmp(protocol_.c_str(), "HTTP/1.1") == 0 || http2_active_;
  if (!http11 && !keep_alive_header_) connection_reusable_ = false;
  if (connection_close_header_) connection_reusable_ = false;
  if (sending_body_) connection_reusable_ = false;
  if (!keep_alive_ || !connection_reusable_) {
    if (keep_alive_ && connection_close_header_) LogAtLevel(kLogInfo, kTextConnectionCloseWait, "Info");
    const bool was_expecting = expecting_response_;
    expecting_response_ = false;
    if (HasSocket()) Disconnect();
    expecting_response_ = was_expecting;
  }
  const bool redirect_followed = follow_redirects_ != 0 && status_code_ >= 300 && status_code_ <= 399;
  if (!end_transfer_fired_ && !status_line_.empty() && !redirect_followed) {
    end_transfer_fired_ = true;
    FireEndTransferHook(kDirectionResponse);
  }
}

int HttpClient::OnDisconnectedEvent(int code) {
  if (http2_active_) {
    http2_active_ = false;
    // Only END_STREAM ends an HTTP/2 body; a close before it cuts the response.
    if (expecting_response_ && !transfer_ended_) {
      EndResponseTransfer(kErrConnectionClosed, "Connection closed before the HTTP/2 stream ended.");
    }
  }
  if (expecting_response_ && !transfer_ended_) {
    char text[160];
    switch (read_state_) {
      case ReadState::kStatus:
        // No status line: the verdict says "Connection closed.".
        EndResponseTransfer(kOk, nullptr);
        break;
      case ReadState::kInterim:
      case ReadState::kHeaders:
        EndResponseTransfer(kErrConnectionClosed, kTextClosedInHead);
        break;
      case ReadState::kBody:
        if (content_length_ >= 0) {
          std::snprintf(text, sizeof(text), kTextClosedInBody,
                        static_cast<unsigned long long>(body_received_),
                        static_cast<long long>(content_length_));
          EndResponseTransfer(kErrConnectionClosed, text);
        } else if (tls_active_ && !PeerSentCloseNotify()) {
          // Over TLS only close_notify ends a body without a length; a bare close may be a cut.
          EndResponseTransfer(kErrConnectionClosed, kTextClosedWithoutNotify);
        } else {
          FinishBody();
        }
        break;
      case ReadState::kChunked:
        EndResponseTransfer(kErrConnectionClosed, kTextClosedInChunks);
        break;
      case ReadState::kDone:
        break;
    }
  }
  return TransferClient::OnDisconnectedEvent(code);
}

int HttpClient::OnConnectedEvent(int code) { return TransferClient::OnConnectedEvent(code); }

int HttpClient::EndTransfer(int result, int action, int* next_action) {
  *next_action = 0;
  if (result == kErrInterrupted || interrupt_requested()) {
    expecting_response_ = false;
    Disconnect();
    if (error_text().empty()) SetErrorText("Interrupted.");
    return kErrInterrupted;
  }
  if (result != kOk) return result;
  if (status_line_.empty()) {
    SetHttpError(kErrConnectionClosed, kTextConnectionClosed);
    return kErrConnectionClosed;
  }
  if (log_level() >= kLogInfo) {
    LogAtLevel(kLogInfo, "Transfer Complete", "Info");
    ByteString line;
    line.Format("Response: %s, %llu Bytes Transferred", status_line_.c_str(),
                static_cast<unsigned long long>(bytes_transferred_));
    LogAtLevel(kLogInfo, line.c_str(), "Info");
  }
  if ((status_code_ >= 200 && status_code_ <= 299) || status_code_ == 101) return kOk;

  ByteString text;
  if (status_code_ == 407) text.SetText("Proxy error: ");
  text.AppendFormat("HTTP protocol error. %d ", status_code_);
  text.AppendString(reason_);
  if (!text.EndsWith(".")) text.AppendByte('.');
  SetHttpError(kErrHttpProtocol, text.c_str());

  if (status_code_ == 401 &&
      (auth_scheme_ == kAuthDigest || auth_scheme_ == kAuthNtlm || auth_scheme_ == kAuthNegotiate)) {
    if (server_retry_ == 0) {
      server_retry_ = 1;
      *next_action = action;
      return kOk;
    }
    server_retry_ = 0;
    return kErrHttpProtocol;
  }
  if (status_code_ == 407 && (proxy_auth_scheme_ == kAuthNtlm ||
                              proxy_auth_scheme_ == kAuthNegotiate ||
                              proxy_auth_scheme_ == kAuthDigest)) {
    if (proxy_retry_ == 0) {
      proxy_retry_ = 1;
      *next_action = action;
      return kOk;
    }
    proxy_retry_ = 0;
    set_error_code(kErrProxyAuthFailed);
    return kErrProxyAuthFailed;
  }
  if (follow_redirects_ != 0 && status_code_ >= 300 && status_code_ <= 399 &&
      status_code_ != 304 && status_code_ != 305 && redirect_location_.empty() &&
      (follow_redirects_ == 1 || action == kHttpActionGet || action == kHttpActionPost ||
       action == kHttpActionHead)) {
    SetHttpError(kErrHttpProtocol, kTextNoLocation);
    return kErrHttpProtocol;
  }
  return FollowRedirect(action, next_action);
}

}  // namespace tw
