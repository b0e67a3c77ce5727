#include "http/http_client.h"

#include <cstring>

#include "foundation/event_sink.h"
#include "foundation/text_conversion.h"
#include "http/wininet_request.h"
#include "net/name_resolution.h"

namespace tw {
namespace {

constexpr char kDefaultUserAgent[] = "Halvane HTTP Component";
constexpr char kDefaultAcceptEncoding[] = "gzip, deflate";
constexpr char kTextInvalidVersion[] =
    "Invalid HTTP version. Please use a supported HTTP version (1.0, 1.1, 2.0).";
constexpr char kTextUnsafeUserAgent[] = "The UserAgent holds a CR, LF or NUL character.";
constexpr int32_t kDefaultChunkSize = 16384;
constexpr int32_t kDefaultMaxRedirects = 20;
constexpr int kDefaultMaxLineLength = 4000;

constexpr const char* kAuthSchemeNames[] = {"Basic", "Digest",  "Proprietary", "None",  "NTLM",
                                            "Negotiate", "OAuth", "Automatic", "Values"};

struct ReasonEntry {
  int code;
  const char* text;
};

constexpr ReasonEntry kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {306, "Switch Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "There are too many connections from your internet address"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Unordered Collection"},
    {426, "Upgrade Required"},
    {449, "Retry With"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {509, "Bandwidth Limit Exceeded"},
    {510, "Not Extended"},
};

bool ValidHttpVersion(const char* v) {
  return EqualsNoCase(v, "1.0") || EqualsNoCase(v, "1.1") || EqualsNoCase(v, "2.0");
}

}  // namespace

const char* AuthSchemeName(int scheme) {
  if (scheme < 0 || scheme >= static_cast<int>(sizeof(kAuthSchemeNames) / sizeof(*kAuthSchemeNames))) {
    return "";
  }
  return kAuthSchemeNames[scheme];
}

const char* HttpReasonPhrase(int code) {
  for (const ReasonEntry& e : kReasons) {
    if (e.code == code) return e.text;
  }
  return "Unknown";
}

HttpClient::HttpClient() { ResetClient(); }

HttpClient::~HttpClient() {
  wininet_.reset();  // its worker uses the fields below until it has ended
  local_handle_.Close();
  attached_handle_.Close();
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  WipeBytes(proxy_password_.data(), static_cast<size_t>(proxy_password_.length()));
}

int HttpClient::ResetClient() {
  int rc = TransferClient::Reset();
  busy_action_ = 0;
  auth_scheme_ = kAuthBasic;
  proxy_auth_scheme_ = kAuthBasic;
  debug_trace_ = false;
  keep_alive_ = false;
  follow_redirects_ = 0;
  proxy_ssl_ = 0;
  allow_http_compression_ = 1;
  absolute_uri_ = false;
  encode_url_ = false;
  encode_query_string_ = true;
  encode_redirect_location_ = false;
  append_ = false;
  local_file_new_ = false;
  use_platform_http_client_ = false;
  use_chunked_encoding_ = false;
  post_data_after_negotiate_ = true;
  allow_identical_redirect_url_ = false;
  allow_http_fallback_ = true;
  always_fire_start_transfer_ = false;
  dont_clear_cookies_on_url_change_ = false;
  use_wininet_ = false;
  use_wininet_cookies_ = true;
  read_content_length_ = false;
  compress_http_request_ = 0;
  reuse_digest_ = 0;
  use_internal_kerberos_ = 0;
  use_idns_ = 0;
  chunk_size_ = kDefaultChunkSize;
  max_redirect_attempts_ = kDefaultMaxRedirects;
  redirects_left_ = kDefaultMaxRedirects;
  create_local_file_attributes_ = 0;
  get_on_302_redirect_ = 0;
  http2_local_window_size_ = 65535;
  max_transferred_data_ = 0;
  bytes_transferred_ = 0;
  request_content_length_ = 0;
  bytes_sent_ = 0;
  if (user_agent_.SetText(kDefaultUserAgent) != kOk ||
      tunnel_user_agent_.SetText(kDefaultUserAgent) != kOk ||
      accept_encoding_.SetText(kDefaultAcceptEncoding) != kOk || http_version_.SetText("1.1") != kOk) {
    rc = kErrOutOfMemory;
  }
  negotiated_version_.Reset();
  record_request_ = false;
  recorded_body_.Reset();
  sent_headers_.Reset();
  proxy_server_.Reset();
  proxy_port_ = 80;
  proxy_user_.Reset();
  proxy_password_.Reset();
  proxy_auto_detect_ = false;
  proxy_bypassed_ = false;
  method_override_.Reset();
  http_cookies_.Reset();
  const int request_rc = ResetRequest();
  if (rc == kOk) rc = request_rc;
  if (SetMaxLineLength(kDefaultMaxLineLength) != kOk && rc == kOk) rc = kErrOutOfMemory;
  set_log_level(kLogInfo);
  const int kerberos_rc = kerberos_.Reset(this);
  if (rc == kOk) rc = kerberos_rc;
  return rc;
}

int HttpClient::ResetRequest() {
  url_.Reset();
  scheme_.SetText("http");
  host_.Reset();
  path_.Reset();
  default_port_ = 80;
  port_ = 80;
  host_is_ipv6_ = false;
  SetPostData(nullptr, 0);
  content_type_.Reset();
  compressed_body_.Reset();
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  user_.Reset();
  password_.Reset();
  authorization_.Reset();
  proxy_user_.Reset();
  WipeBytes(proxy_password_.data(), static_cast<size_t>(proxy_password_.length()));
  proxy_password_.Reset();
  proxy_authorization_.Reset();
  reuse_digest_ = 0;
  server_digest_.Reset();
  proxy_digest_.Reset();
  server_challenge_.Reset();
  proxy_challenge_.Reset();
  accept_.Reset();
  from_.Reset();
  if_modified_since_.Reset();
  referer_.Reset();
  pragma_.Reset();
  range_.Reset();
  other_headers_.Reset();
  status_line_.Reset();
  attached_file_ = FilePath();
  local_file_ = FilePath();
  upload_stream_ = nullptr;
  upload_rewind_ = nullptr;
  upload_adapter_.reset();
  download_stream_ = nullptr;
  parsed_headers_.Clear();
  cookies_.Clear();
  inflater_.Reset();
  content_encoding_ = kContentEncodingNone;
  server_retry_ = 0;
  proxy_retry_ = 0;
  return kOk;
}

// ---- Settings ----

int HttpClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();

  int switch_rc = kOk;
  if (ConfigSwitches(request, answer, {
      {"KeepAlive", &keep_alive_},
      {"EncodeURL", &encode_url_},
      {"EncodeQueryString", &encode_query_string_},
      {"EncodeRedirectLocation", &encode_redirect_location_},
      {"Append", &append_},
      {"AbsoluteURI", &absolute_uri_},
      {"DebugTrace", &debug_trace_},
      {"DontClearCookiesOnUrlChange", &dont_clear_cookies_on_url_change_},
      {"UsePlatformHTTPClient", &use_platform_http_client_},
      {"UseChunkedEncoding", &use_chunked_encoding_},
      {"PostDataAfterNegotiate", &post_data_after_negotiate_},
      {"AllowIdenticalRedirectURL", &allow_identical_redirect_url_},
      {"UseWinInet", &use_wininet_},
      {"UseWinInetCookies", &use_wininet_cookies_},
      {"ReadContentLength", &read_content_length_},
      {"AllowHTTPFallback", &allow_http_fallback_},
      {"AlwaysFireStartTransfer", &always_fire_start_transfer_},
  }, &switch_rc)) {
    return switch_rc;
  }

  int setting_rc = 0;
  if (ConfigIntegers(request, answer, {
      {"AllowHTTPCompression", &allow_http_compression_},
      {"CreateLocalFileAttributes", &create_local_file_attributes_},
      {"SingleLineMode", &line_mode_},
      {"GetOn302Redirect", &get_on_302_redirect_},
      {"ChunkSize", &chunk_size_},
      {"UseInternalKerberos", &use_internal_kerberos_},
      {"UseIDNs", &use_idns_},
      {"HTTP2LocalWindowSize", &http2_local_window_size_},
      {"ReuseDigest", &reuse_digest_},
      {"CompressHTTPRequest", &compress_http_request_},
  }, &setting_rc)) {
    return setting_rc;
  }
  if (ConfigTexts<ByteString>(request, answer, {
      {"AcceptEncoding", &accept_encoding_},
      {"ProxyServer", &proxy_server_},
      {"ProxyAuthorization", &proxy_authorization_},
      {"IfModifiedSince", &if_modified_since_},
      {"HttpCookies", &http_cookies_},
      {"OtherHeaders", &other_headers_},
      {"KerberosKDC", &kerberos_kdc_},
  }, &setting_rc)) {
    return setting_rc;
  }

  if (request.NameIs("TransferredData")) {
    if (read) return SetConfigAnswer(transferred_data_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("ResetTransferredData")) {
    if (read) {
      transferred_data_.Reset();
      return SetConfigAnswer("", answer);
    }
    return kOk;
  }
  if (request.NameIs("TransferredHeaders")) {
    if (read) return SetConfigAnswer(transferred_headers_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("StatusLine")) {
    if (read) return SetConfigAnswer(status_line_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("TransferredRequest")) {
    if (read) return SetConfigAnswer(recorded_body_.c_str(), answer);
    record_request_ = EqualsNoCase(value, "on");
    return kOk;
  }
  if (request.NameIs("SentHeaders")) {
    if (read) return SetConfigAnswer(sent_headers_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("HTTPVersion")) {
    if (read) return SetConfigAnswer(http_version_.c_str(), answer);
    int rc = http_version_.SetText(value);
    if (rc != kOk) return rc;
    if (EqualsNoCase(value, "2.0")) {
      rc = SetAlpnList("h2");
      if (rc != kOk) return rc;
    }
    return CheckHttpVersion(false);
  }
  if (request.NameIs("UserAgent")) {
    if (read) return SetConfigAnswer(user_agent_.c_str(), answer);
    return SetUserAgent(value);
  }
  if (request.NameIs("MaxTransferredData") || request.NameIs("TransferredDataLimit")) {
    if (read) return SetConfigAnswerInt64(max_transferred_data_, answer);
    max_transferred_data_ = request.ValueAsInt64();
    return kOk;
  }
  if (request.NameIs("Authorization")) {
    if (read) return SetConfigAnswer(authorization_.c_str(), answer);
    return SetAuthorization(value);
  }
  if (request.NameIs("ProxyAuthScheme")) {
    if (read) return SetConfigAnswerSigned(proxy_auth_scheme_, answer);
    return SetProxyAuthScheme(request.ValueAsInt());
  }
  if (request.NameIs("ProxyPort")) {
    if (read) return SetConfigAnswerSigned(proxy_port_, answer);
    proxy_port_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("ProxyUser")) {
    if (read) return SetConfigAnswer(proxy_user_.c_str(), answer);
    return SetProxyUser(value);
  }
  if (request.NameIs("ProxyPassword")) {
    if (read) return SetConfigAnswer(proxy_password_.c_str(), answer);
    return SetProxyPassword(value);
  }
  if (request.NameIs("LocalFile")) {
    if (read) return SetConfigAnswer(local_file_.Utf8(), answer);
    return SetLocalFile(value);
  }
  if (request.NameIs("FollowRedirects")) {
    if (read) return SetConfigAnswerSigned(follow_redirects_, answer);
    follow_redirects_ = static_cast<uint8_t>(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("MaxRedirectAttempts")) {
    if (read) return SetConfigAnswerSigned(max_redirect_attempts_, answer);
    max_redirect_attempts_ = request.ValueAsInt();
    redirects_left_ = max_redirect_attempts_;
    return kOk;
  }
  if (request.NameIs("BytesTransferred")) {
    if (read) return SetConfigAnswerInt64(static_cast<int64_t>(bytes_transferred_), answer);
    return kOk;
  }
  if (request.NameIs("KerberosToken")) {
    if (read) return SetConfigAnswer("", answer);
    auth_scheme_ = kAuthProprietary;
    int rc = authorization_.SetText("Negotiate ");
    if (rc == kOk) rc = authorization_.AppendText(value);
    return rc;
  }
  if (request.NameIs("Loglevel")) {
    if (read) return SetConfigAnswerSigned(log_level(), answer);
    const int level = request.ValueAsInt();
    set_log_level(level);
    kerberos_.set_verbose_logging(level >= kLogVerbose);
    return kOk;
  }
  if (request.NameIs("NegotiatedHTTPVersion")) {
    if (read) return SetConfigAnswer(negotiated_version_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("HTTP2HeadersWithoutIndexing")) {
    if (read) return SetConfigAnswer(http2_headers_without_indexing_.c_str(), answer);
    return http2_headers_without_indexing_.SetText(value);
  }
  // Settings of the Kerberos member under its own names; names the HTTP layer or the socket
  // use themselves (LogLevel, LocalHost, ...) stay theirs.
  static constexpr const char* kKerberosSettings[][2] = {
      {"KerberosKeytabFile", "KerberosKeytabFile"},
      {"KeytabFile", "KeytabFile"},
      {"KerberosCredentialsCacheFile", "CredentialsCacheFile"},
      {"CredentialsCacheFile", "CredentialsCacheFile"},
      {"EncryptionTypes", "EncryptionTypes"},
      {"KDCOptions", "KDCOptions"},
      {"UseTCP", "UseTCP"},
      {"LogKerberosPackets", "LogKerberosPackets"},
      {"UsePlatformKerberosAPI", "UsePlatformKerberosAPI"},
  };
  for (const auto& setting : kKerberosSettings) {
    if (!request.NameIs(setting[0])) continue;
    ByteString text;
    int rc = kerberos_.Config(setting[1], value, read ? &text : nullptr);
    if (rc != kOk) {
      SetErrorText(kerberos_.error_text());
      return rc;
    }
    return read ? SetConfigAnswer(text.c_str(), answer) : kOk;
  }
  if (request.NameIs("KerberosMaxAuthRetryCount")) {
    if (read) return SetConfigAnswerSigned(kerberos_.max_auth_retry_count(), answer);
    kerberos_.set_max_auth_retry_count(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("KerberosIncludePAC")) {
    if (read) return SetConfigAnswerBool(kerberos_include_pac_, answer);
    kerberos_include_pac_ = request.ValueAsBool();
    if (kerberos_include_pac_) {
      use_internal_kerberos_ = 1;
      kerberos_.SetUseTcp(true);  // its result is of no concern here
    }
    return kOk;
  }
  return TransferClient::Config(request, answer);
}

int HttpClient::CheckHttpVersion(bool log) {
  if (!ValidHttpVersion(http_version_.c_str())) {
    SetErrorText(kTextInvalidVersion);
    set_error_code(kErrHttpInvalidValue);
    return kErrHttpInvalidValue;
  }
  // Before Windows 8.1 the platform TLS path offers no ALPN: HTTP/2 takes the own engine.
  constexpr uint32_t kHttp2Mark = 0x4;
  if (EqualsNoCase(http_version_.c_str(), "2.0") && Windows81Flag() == 0) {
    use_internal_security_api_ |= kHttp2Mark;
  } else {
    use_internal_security_api_ &= ~kHttp2Mark;
  }
  return kOk;
}

// ---- Setters ----

int HttpClient::SetUser(const char* user) { return user_.SetText(user != nullptr ? user : ""); }

int HttpClient::SetPassword(const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  return password_.SetText(password != nullptr ? password : "");
}

int HttpClient::SetUserAgent(const char* text) {
  if (text == nullptr) text = "";
  if (HasLineBreakOrNul(text, static_cast<int>(std::strlen(text)))) {
    SetErrorText(kTextUnsafeUserAgent);
    return kErrHttpInvalidValue;
  }
  const int rc = user_agent_.SetText(text);
  return rc != kOk ? rc : tunnel_user_agent_.SetText(text);
}

int HttpClient::SetAuthScheme(int scheme) {
  server_challenge_.Reset();
  if (scheme != auth_scheme_) {
    user_.Reset();
    WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
    password_.Reset();
    authorization_.Reset();
  }
  auth_scheme_ = static_cast<uint8_t>(scheme);
  if (scheme == kAuthNtlm || scheme == kAuthNegotiate) keep_alive_ = true;
  return kOk;
}

int HttpClient::SetProxyAuthScheme(int scheme) {
  proxy_challenge_.Reset();
  if (scheme != proxy_auth_scheme_) {
    proxy_authorization_.Reset();
    if (scheme == kAuthNone) {
      proxy_user_.Reset();
      WipeBytes(proxy_password_.data(), static_cast<size_t>(proxy_password_.length()));
      proxy_password_.Reset();
    }
  }
  proxy_auth_scheme_ = static_cast<uint8_t>(scheme);
  if (scheme == kAuthNtlm) keep_alive_ = true;
  return kOk;
}

int HttpClient::SetAuthorization(const char* text) {
  if (auth_scheme_ != kAuthProprietary && auth_scheme_ != kAuthOAuth) {
    auth_scheme_ = kAuthProprietary;
  }
  return authorization_.SetText(text != nullptr ? text : "");
}

int HttpClient::SetProxySSL(int value) {
  proxy_ssl_ = static_cast<uint8_t>(value);
  return kOk;
}

int HttpClient::SetProxyUser(const char* text) {
  const int rc = proxy_user_.SetText(text != nullptr ? text : "");
  return rc != kOk ? rc : PrepareProxyAuthorization(false);
}

int HttpClient::SetProxyPassword(const char* text) {
  WipeBytes(proxy_password_.data(), static_cast<size_t>(proxy_password_.length()));
  const int rc = proxy_password_.SetText(text != nullptr ? text : "");
  return rc != kOk ? rc : PrepareProxyAuthorization(false);
}

int HttpClient::SetProxyAutoDetect(bool on) {
  proxy_auto_detect_ = on;
  proxy_server_.Reset();
  proxy_port_ = default_port_;
  const int rc = tunnel_.SetFirewallAutoDetect(on);
  if (!on) return rc;
  ByteString settings;
  if (!ReadEnabledProxyServer(&settings)) return rc;
  const char* scheme = scheme_.empty() ? "http" : scheme_.c_str();
  ByteString host;
  int32_t port = 0;
  if (!FindSchemeProxy(settings.c_str(), scheme, &host, &port)) return rc;
  if (proxy_server_.Assign(host) != kOk) return kErrOutOfMemory;
  if (port != 0) proxy_port_ = port;
  const bool https = EqualsNoCase(scheme, "https");
  proxy_ssl_ = https ? 3 : 0;
  tunnel_.SetFirewallType(https ? kFirewallTunnel : kFirewallNone);
  return rc;
}

int HttpClient::SetAttachedFile(const char* name) {
  if (name == nullptr || *name == '\0') {
    attached_file_ = FilePath();
    return kOk;
  }
  upload_stream_ = nullptr;
  upload_rewind_ = nullptr;
  upload_adapter_.reset();
  return attached_file_.SetText(name, 0);
}

int HttpClient::SetAttachedFileWide(const char16_t* name) {
  if (name == nullptr || *name == 0) {
    attached_file_ = FilePath();
    return kOk;
  }
  upload_stream_ = nullptr;
  upload_rewind_ = nullptr;
  upload_adapter_.reset();
  return attached_file_.SetWide(name);
}

void HttpClient::SetUploadStream(Stream* stream, std::function<bool()> rewind) {
  upload_adapter_.reset();
  upload_stream_ = stream;
  upload_rewind_ = std::move(rewind);
  upload_stream_used_ = false;
  if (stream != nullptr) attached_file_ = FilePath();
}

void HttpClient::SetUploadCallerStream(CallerStream* stream) {
  if (stream == nullptr) {
    SetUploadStream(nullptr);
    return;
  }
  auto adapter = std::make_unique<StreamAdapter>(stream);
  SetUploadStream(adapter.get(),
                  [stream] { return stream->Seek(0, kSeekBegin) == 0; });
  upload_adapter_ = std::move(adapter);
}

int HttpClient::SetLocalFile(const char* name) {
  if (name == nullptr || *name == '\0') {
    local_file_ = FilePath();
    return kOk;
  }
  download_stream_ = nullptr;
  return local_file_.SetText(name, 0);
}

int HttpClient::SetLocalFileWide(const char16_t* name) {
  if (name == nullptr || *name == 0) {
    local_file_ = FilePath();
    return kOk;
  }
  download_stream_ = nullptr;
  return local_file_.SetWide(name);
}

void HttpClient::SetDownloadStream(Stream* stream) {
  download_stream_ = stream;
  if (stream != nullptr) local_file_ = FilePath();
}

void HttpClient::SetHttpError(int code, const char* text) {
  SetErrorText(text);
  set_error_code(code);
}

// ---- Events ----

int HttpClient::FireConnected(int code, const char* description) {
  return FireEvent(kHttpEventConnected, code, description);
}

int HttpClient::FireConnectionStatusEvent(const char* text, int code, const char* description) {
  return FireEvent(kHttpEventConnectionStatus, text, code, description);
}

int HttpClient::FireDisconnected(int code, const char* description) {
  return FireEvent(kHttpEventDisconnected, code, description);
}

int HttpClient::FireError(int code, const char* description) {
  return FireEvent(kHttpEventError, code, description);
}

int HttpClient::FireSSLStatus(const char* message) {
  return FireEvent(kHttpEventSslStatus, message);
}

int HttpClient::FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                            const char* issuer, const char* status, int* accept) {
  if (event_sink() == nullptr) return kOk;
  EventBlock block;
  if (block.Set(encoded, length) != kOk) return kErrOutOfMemory;
  int ignored = 0;
  int* answer = accept != nullptr ? accept : &ignored;
  return FireEvent(kHttpEventSslServerAuthentication, block.text(), block.length(), subject,
                   issuer, status, answer);
}

int HttpClient::FireLog(int level, const char* text, const char* type) {
  return FireEvent(kHttpEventLog, level, text, type);
}

int HttpClient::FireHeader(const char* field, const char* value) {
  return FireEvent(kHttpEventHeader, field, value);
}

int HttpClient::FireSetCookie(const char* name, const char* value, const char* expires,
                              const char* domain, const char* path, int secure) {
  return FireEvent(kHttpEventSetCookie, name, value, expires, domain, path, secure);
}

int HttpClient::FireRedirect(const char* location, int* accept) {
  return FireEvent(kHttpEventRedirect, location, accept);
}

int HttpClient::FireStatus(const char* version, int code, const char* reason) {
  return FireEvent(kHttpEventStatus, version, code, reason);
}

int HttpClient::FireStartTransfer(int direction) {
  return FireEvent(kHttpEventStartTransfer, direction);
}

int HttpClient::FireEndTransfer(int direction) {
  return FireEvent(kHttpEventEndTransfer, direction);
}

int HttpClient::FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) {
  if (event_sink() == nullptr) return kOk;
  // The sink reads the block as a text: a private NUL-terminated copy. The copy buffer is reused
  // unless a handler fires a nested Transfer event while the outer one still holds it.
  ++transfer_event_depth_;
  int rc;
  if (transfer_event_depth_ == 1) {
    if (event_copy_.Set(data, n > 0 && data != nullptr ? n : 0) != kOk) {
      --transfer_event_depth_;
      return kErrOutOfMemory;
    }
    rc = FireEvent(kHttpEventTransfer, direction, bytes, percent, event_copy_.c_str(),
                   event_copy_.length());
  } else {
    EventBlock block;
    if (block.Set(data, n) != kOk) {
      --transfer_event_depth_;
      return kErrOutOfMemory;
    }
    rc = FireEvent(kHttpEventTransfer, direction, bytes, percent, block.text(), block.length());
  }
  --transfer_event_depth_;
  return rc;
}

// ---- Hooks ----

int HttpClient::FireStartTransferHook(int direction) { return FireStartTransfer(direction); }

int HttpClient::FireEndTransferHook(int direction) { return FireEndTransfer(direction); }

int HttpClient::FireHeaderHook(const char* field, const char* value) {
  return FireHeader(field, value);
}

int HttpClient::FireTransferProgress(int direction, int64_t bytes, int percent, const void* data,
                                     int n) {
  if (data == nullptr && percent == -1) {
    // The body being sent: bytes over (content length / 100 + 1), below 100 until the end.
    uint64_t length = request_content_length_;
    if (length < static_cast<uint64_t>(bytes)) length = static_cast<uint64_t>(bytes);
    const uint64_t divisor = length / 100 + 1;
    uint64_t p = static_cast<uint64_t>(bytes) / divisor;
    if (p > 99) p = 99;
    percent = static_cast<int>(p);
  }
  return FireTransfer(direction, bytes, percent, data, n);
}

}  // namespace tw
