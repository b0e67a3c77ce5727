// The HTTP/1.0 and 1.1 client of the component chain: request fields and settings, the URL, the
// request head in its fixed header order, bodies from memory, a file or a stream (plain, chunked
// or gzip-compressed), the response reader (status, headers, chunked, close-delimited and
// gzip/deflate bodies into memory, a file or a stream), authentication headers, redirects,
// cookies and kept-alive connections.
//
// One request runs at a time on the caller's thread: the layer above sets the request fields,
// calls DoTransfer with an action and reads the response fields afterwards. Events fire during
// the call.
//
// Events (sink slot: arguments):
//   1 Connected: code, description            2 ConnectionStatus: event text, code, description
//   3 Disconnected: code, description         4 EndTransfer: direction (0 request, 1 response)
//   5 Error: code, description                6 Header: field, value
//   7 Log: level, message, type               8 Redirect: location, accept (the caller's int)
//   9 SetCookie: name, value, expires, domain, path, secure (int)
//  10 SSLServerAuthentication: certificate (block), length, subject, issuer, status, accept
//  11 SSLStatus: message                     12 StartTransfer: direction
//  13 Status: HTTP version, status code, reason
//  14 Transfer: direction, bytes so far (64-bit), percent (-1 unknown), data (block), length
// Classes above change the slots by overriding the Fire operations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "auth/digest_auth.h"
#include "auth/negotiate_kerberos_client.h"
#include "formats/body_inflater.h"
#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"
#include "foundation/file_handle.h"
#include "foundation/file_path.h"
#include "foundation/stream.h"
#include "http/chunked_decoder.h"
#include "http/cookie_jar.h"
#include "http/http2_connection.h"
#include "http/parsed_header_store.h"
#include "http/transfer_client.h"
#include "http/url_parts.h"

namespace tw {

// ---- Error codes of the HTTP layer ----
constexpr int kErrHttpBusy = 143;           // "Busy performing current action."
constexpr int kErrHttpProtocol = 151;       // refused status, redirect and decoding failures
constexpr int kErrNoServer = 152;           // "No server specified in URL"
constexpr int kErrInvalidScheme = 153;      // bad URL scheme, unknown proxy scheme
constexpr int kErrProxyAuthFailed = 157;    // a second 407
constexpr int kErrHttp2Refused = 161;       // HTTP/2 asked for and not available
constexpr int kErrHttpInvalidValue = 202;   // bad HTTPVersion, unsafe header text
constexpr int kErrHttpFile = 302;           // a file that cannot be opened
constexpr int kErrTooManyRedirects = 310;   // "There were too many redirects."
constexpr int kErrConnectionClosed = 10057; // "Connection closed." before a status line

// Actions of DoTransfer.
constexpr int kHttpActionInterrupt = 0;
constexpr int kHttpActionGet = 1;
constexpr int kHttpActionPost = 2;
constexpr int kHttpActionHead = 3;
constexpr int kHttpActionReset = 4;
constexpr int kHttpActionPut = 5;
constexpr int kHttpActionDelete = 6;

// Values of AuthScheme and ProxyAuthScheme.
constexpr int kAuthBasic = 0;
constexpr int kAuthDigest = 1;
constexpr int kAuthProprietary = 2;
constexpr int kAuthNone = 3;
constexpr int kAuthNtlm = 4;
constexpr int kAuthNegotiate = 5;
constexpr int kAuthOAuth = 6;
constexpr int kAuthAutomatic = 7;
constexpr int kAuthValues = 8;

// Transfer directions.
constexpr int kDirectionRequest = 0;
constexpr int kDirectionResponse = 1;

// The most bytes a response head (status line and header lines) may take.
constexpr int kMaxResponseHeadBytes = 65536;
// The most bytes of a failure status's body kept in memory: far more than any service error
// document; past it the rest is not read and the connection is closed.
constexpr int kMaxErrorBodyBytes = 65536;

enum HttpClientEvent : int {
  kHttpEventConnected = 1,
  kHttpEventConnectionStatus = 2,
  kHttpEventDisconnected = 3,
  kHttpEventEndTransfer = 4,
  kHttpEventError = 5,
  kHttpEventHeader = 6,
  kHttpEventLog = 7,
  kHttpEventRedirect = 8,
  kHttpEventSetCookie = 9,
  kHttpEventSslServerAuthentication = 10,
  kHttpEventSslStatus = 11,
  kHttpEventStartTransfer = 12,
  kHttpEventStatus = 13,
  kHttpEventTransfer = 14,
};

// The name of an authentication scheme value ("" for an unknown one).
const char* AuthSchemeName(int scheme);
// The reason phrase of a status code ("Unknown" for codes not in the table).
const char* HttpReasonPhrase(int code);

class WinInetRequest;

class HttpClient : public BodyTransferClient {
 public:
  HttpClient();
  ~HttpClient() override;

  // ---- Overrides of the chain ----
  int Config(ConfigRequest& request, const char** answer) override;
  // The WinINet worker's events (kWorkerEventMessage) run here, on the owning thread.
  intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  int OnConnectedEvent(int code) override;
  int OnDisconnectedEvent(int code) override;
  // Response bytes: lines of the head, then body pieces.
  int OnDataInEvent(const void* bytes, int n, bool end_of_record) override;
  int SendFirewallRequest(const void* bytes, int n) override;
  int OnFirewallResponse(const void* bytes, int n) override;
  // Records the count, fires Transfer (direction 0) and tells whether a response already ended
  // the transfer (nonzero stops the body).
  int BodyProgress64(int64_t count) override;
  // The chunk header of a piece of n bytes ("%x" CR LF) and the CR LF after it.
  int SendLine(const char* text) override;
  int SendCrLf() override;
  // Event slots of this class.
  int FireConnected(int code, const char* description) override;
  int FireDataIn(const void* bytes, int n, bool end_of_record) override { return 0; }
  int FireDisconnected(int code, const char* description) override;
  int FireError(int code, const char* description) override;
  // Room on the socket again: answers owed on the HTTP/2 connection go out.
  int FireReadyToSend() override;
  int FireConnectionStatusEvent(const char* text, int code, const char* description) override;
  int FireSSLStatus(const char* message) override;
  int FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                  const char* issuer, const char* status, int* accept) override;
  int FireLog(int level, const char* text, const char* type) override;

  // ---- Operations added by this class, in chain order ----
  // actions: 0 interrupt, 1 GET, 2 POST, 3 HEAD, 4 reset the request, 5 PUT, 6 DELETE.
  // 0 or an error code (the text in error_text()).
  int DoTransfer(int action);
  virtual int DoTransferSlot(int action) { return DoTransfer(action); }
  // Appends the header block (each line begun with CR LF, see the .cc) for a request with or
  // without a body. 0 or an error code.
  virtual int BuildRequestHeaders(bool has_body, ByteString& out);
  // The header hook: a class above appends its own header lines here, each ended by CR LF.
  virtual int AddRequestHeaders(ByteString& out) { return 0; }
  // Transfer hooks: fire StartTransfer, EndTransfer, Transfer and Header. Classes above override
  // them to follow the transfer (and call these). FireTransferProgress with data null and percent
  // -1 computes the sending percent from the request's content length.
  virtual int FireStartTransferHook(int direction);
  virtual int FireEndTransferHook(int direction);
  virtual int FireTransferProgress(int direction, int64_t bytes, int percent, const void* data,
                                   int n);
  virtual int FireHeaderHook(const char* field, const char* value);
  // The event operations.
  virtual int FireHeader(const char* field, const char* value);
  virtual int FireSetCookie(const char* name, const char* value, const char* expires,
                            const char* domain, const char* path, int secure);
  virtual int FireRedirect(const char* location, int* accept);
  virtual int FireStatus(const char* version, int code, const char* reason);
  virtual int FireStartTransfer(int direction);
  virtual int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n);
  virtual int FireEndTransfer(int direction);

  // ---- Request fields ----
  // A new URL (is_redirect false) or a redirect target. 0 or an error code.
  int SetUrl(const char* url, bool is_redirect);
  const ByteString& url() const { return url_; }
  const ByteString& url_scheme() const { return scheme_; }
  const ByteString& url_host() const { return host_; }
  int32_t url_port() const { return port_; }
  // The path with its query: the request target.
  const ByteString& url_path() const { return path_; }
  int SetUser(const char* user);
  int SetPassword(const char* password);
  const ShortString& user() const { return user_; }
  const ShortString& password() const { return password_; }
  int SetUserAgent(const char* text);
  int SetAuthScheme(int scheme);
  int SetProxyAuthScheme(int scheme);
  int SetAuthorization(const char* text);
  int SetProxySSL(int value);
  int auth_scheme() const { return auth_scheme_; }
  int proxy_auth_scheme() const { return proxy_auth_scheme_; }
  const ByteString& authorization() const { return authorization_; }
  // Extra header lines ("Name: value" each ended by CR LF).
  int SetOtherHeaders(const char* text) { return other_headers_.SetText(text); }
  const ByteString& other_headers() const { return other_headers_; }
  int SetContentType(const char* text) { return content_type_.SetText(text); }
  int SetAccept(const char* text) { return accept_.SetText(text); }
  int SetReferer(const char* text) { return referer_.SetText(text); }
  int SetFrom(const char* text) { return from_.SetText(text); }
  int SetPragma(const char* text) { return pragma_.SetText(text); }
  int SetIfModifiedSince(const char* text) { return if_modified_since_.SetText(text); }
  // The Range header's value after "bytes=" ("" for none).
  int SetRange(const char* text) { return range_.SetText(text); }
  // The verb that replaces GET, POST, HEAD, PUT and DELETE ("" for none), e.g. "PATCH".
  int SetMethod(const char* verb) { return method_override_.SetText(verb); }
  // The request body held in memory.
  int SetPostData(const void* bytes, int n) {
    post_ref_ = nullptr;
    post_ref_length_ = 0;
    return post_data_.Set(bytes, n);
  }
  // A request body sent straight from the caller's buffer, which must outlive the request: a
  // large upload piece is not copied once more.
  void SetPostDataRef(const void* bytes, int n) {
    post_data_.Reset();
    post_ref_ = bytes != nullptr && n > 0 ? bytes : nullptr;
    post_ref_length_ = post_ref_ != nullptr ? n : 0;
  }
  const ByteString& post_data() const { return post_data_; }
  // The request body in memory, copied or referenced.
  const char* post_bytes() const {
    return post_ref_ != nullptr ? static_cast<const char*>(post_ref_) : post_data_.data();
  }
  int post_length() const { return post_ref_ != nullptr ? post_ref_length_ : post_data_.length(); }
  // A file whose content follows the post data ("" for none; name as code-page text, or wide).
  int SetAttachedFile(const char* name);
  int SetAttachedFileWide(const char16_t* name);
  const FilePath& attached_file() const { return attached_file_; }
  bool HasAttachedFile() const { return attached_file_.Length() > 0; }
  // The upload stream (not owned; null for none): read from its current place. Setting one
  // empties the attached file name. A stream that must be sent again (authentication retry,
  // 307/308 redirect) is rewound with `rewind` (true on success); without it only a stream
  // nothing was read from can be sent again.
  void SetUploadStream(Stream* stream, std::function<bool()> rewind = nullptr);
  // A caller's stream as the upload stream (not owned): rewound through its Seek.
  void SetUploadCallerStream(CallerStream* stream);
  Stream* upload_stream() const { return upload_stream_; }
  // The response body file ("" for none). A non-empty name drops the download stream.
  int SetLocalFile(const char* name);
  int SetLocalFileWide(const char16_t* name);
  const FilePath& local_file() const { return local_file_; }
  // The download stream (not owned; null for none); setting one empties LocalFile.
  void SetDownloadStream(Stream* stream);
  Stream* download_stream() const { return download_stream_; }
  void set_append(bool on) { append_ = on; }
  // The body goes only into a file that does not exist yet (one found absent before the request).
  void set_local_file_new(bool on) { local_file_new_ = on; }
  bool append() const { return append_; }
  void set_keep_alive(bool on) { keep_alive_ = on; }
  bool keep_alive() const { return keep_alive_; }
  void set_follow_redirects(int value) { follow_redirects_ = static_cast<uint8_t>(value); }
  void set_always_fire_start_transfer(bool on) { always_fire_start_transfer_ = on; }
  void set_max_transferred_data(int64_t limit) { max_transferred_data_ = limit; }
  int64_t max_transferred_data() const { return max_transferred_data_; }
  // The most bytes a successful body kept in memory may have before the transfer fails (0: no
  // limit); for answers that are parsed whole, so a runaway body fails instead of filling memory.
  void set_max_document_body(int64_t limit) { max_document_body_ = limit; }
  int64_t max_document_body() const { return max_document_body_; }
  // A successful body kept in memory that announces no length and has no MaxTransferredData
  // fails past this many bytes (0: no bound).
  void set_max_unannounced_body(int64_t limit) { max_unannounced_body_ = limit; }
  bool transferred_request_on() const { return record_request_; }
  // Clears the request (action 4): URL, bodies, credentials, headers, files, streams, cookies.
  int ResetRequest();
  // Defaults of every setting (at creation and by the control's reset). 0 or an error code.
  int ResetClient();

  // ---- Response fields ----
  int status_code() const { return status_code_; }
  const ByteString& status_line() const { return status_line_; }
  const ByteString& reason_phrase() const { return reason_; }
  const ByteString& protocol() const { return protocol_; }
  // Content-Length of the response, -1 when it announced none.
  int64_t response_content_length() const { return content_length_; }
  const ByteString& response_content_type() const { return response_content_type_; }
  const ByteString& transferred_data() const { return transferred_data_; }
  void ClearTransferredData() { transferred_data_.Reset(); }
  const ByteString& transferred_headers() const { return transferred_headers_; }
  const ParsedHeaderStore& parsed_headers() const { return parsed_headers_; }
  // The raw request head of the last request and its recorded body (with TransferredRequest on).
  const ByteString& sent_headers() const { return sent_headers_; }
  const ByteString& recorded_request_body() const { return recorded_body_; }
  // Body bytes received (before decoding) in the last response, and bytes sent of its request.
  uint64_t bytes_transferred() const { return bytes_transferred_; }
  // Body bytes after decoding.
  uint64_t decoded_bytes() const { return decoded_bytes_; }
  const ByteString& redirect_location() const { return redirect_location_; }
  const ShortString& negotiated_http_version() const { return negotiated_version_; }
  CookieJar& cookies() { return cookies_; }
  const CookieJar& cookies() const { return cookies_; }

  // Getters used by the control's properties.
  bool GetProxyAutoDetect() const { return proxy_auto_detect_; }
  int GetSSLCertStoreType() const { return cert_store_.store_type; }
  const ByteString& proxy_server() const { return proxy_server_; }
  int SetProxyServer(const char* text) { return proxy_server_.SetText(text != nullptr ? text : ""); }
  int32_t proxy_port() const { return proxy_port_; }
  void set_proxy_port(int32_t port) { proxy_port_ = port; }
  const ShortString& proxy_user() const { return proxy_user_; }
  const ShortString& proxy_password() const { return proxy_password_; }
  int proxy_ssl() const { return proxy_ssl_; }
  // Each write prepares ProxyAuthorization again. 0 or an error code.
  int SetProxyUser(const char* text);
  int SetProxyPassword(const char* text);
  // Stores the switch, clears ProxyServer, sets ProxyPort to the scheme's default port and
  // applies the firewall's auto-detection; when on, takes the proxy of the current scheme from
  // the per-user proxy settings (an https proxy as a tunnel). 0 or the resolver's error.
  int SetProxyAutoDetect(bool on);

 protected:
  // ---- Request (http_request.cc) ----
  int RunTransfer(int action);
  // DoTransfer with UseWinInet (wininet_request.cc).
  int WinInetTransfer(int action);
  int PerformRequest(int action);
  int PrepareConnection();
  int BuildRequestHead(bool has_body, ByteString& head);
  int SendRequestBody(bool has_body);
  // `item` names the body in failure texts: "PostData", "AttachedFile" or "UploadStream".
  // ends_body: over HTTP/2 the last piece ends the stream.
  int SendBodyPieces(const void* bytes, int n, const char* item, bool ends_body);
  int SendSourceBody();
  int OpenBodySources(uint64_t* length);
  int CompressBody();
  int AppendOtherHeaders(ByteString& out);
  // The host, and the port unless it is the scheme's default or with_port asks for it.
  int AppendHostPort(ByteString& out, bool with_port = false) const;
  bool MatchesProxyException() const;
  bool UsingProxy() const;
  bool UsingForwardProxy() const;
  void DrainPendingMessages(int max_steps);
  int WaitForResponse();
  // After a send that the connection refused: reads the answer the server sent before it closed.
  // True when one arrived; the exchange then ends as that answer says.
  bool ReadEarlyAnswer(int send_error);
  int CheckHttpVersion(bool log);
  bool BodyWithheld() const;

  // ---- HTTP/2 (http2_request.cc) ----
  // The request over the HTTP/2 connection that ALPN chose.
  int PerformHttp2Request(bool has_body);
  // The request head's header lines as HTTP/2 header pairs, pseudo-headers first.
  int BuildHttp2Headers(const ByteString& head, StringList& headers);
  int SendHttp2Body(const void* bytes, int n, bool end_stream, const char* item);
  // The text of an HTTP/2 failure: a frame's is the connection's, any other the transport's.
  const char* Http2FailureText(int rc);
  bool AlpnChoseH2() const;
  bool Closing();
  void OnHttp2Header(const char* name, int name_n, const char* value, int value_n);
  void OnHttp2HeadersEnd();
  void OnHttp2Data(const uint8_t* bytes, int n);
  void OnHttp2StreamEnd();
  int ReceiveHttp2(const void* bytes, int n);
  // Ends the exchange after a failure on the HTTP/2 connection and closes it at once: no
  // lingering for output the peer does not take, nothing more read.
  void CloseFailedHttp2();

  // ---- Response (http_response.cc) ----
  void ResetResponseState();
  // Ends the transfer with a failure of the response (decoding, output, framing).
  int FailResponse(int code, const char* text);
  // The identity or chunked body is complete: the decoder is finished, then the transfer ends.
  void FinishBody();
  bool BodyToMemory() const;
  int OnResponseLine(const char* line, int n);
  int OnStatusLine(const char* line, int n);
  int OnHeaderLine(const char* line, int n);
  virtual int OnHeader(const char* name, const char* value);
  int OnHeadComplete();
  int OnBodyBytes(const uint8_t* bytes, int n);
  virtual int OnBodyData(const uint8_t* bytes, int n);
  int DeliverBody(const uint8_t* bytes, int n);
  // MaxTransferredData as it applies to this response: a failure's body has its own bound
  // (kMaxErrorBodyBytes) and is kept whole below it, so its error text stays readable.
  int64_t KeptLimit() const {
    return status_code_ >= 200 && status_code_ <= 299 ? max_transferred_data_ : 0;
  }
  // 0 while n more bytes of a successful body may join the held ones in memory; else the code,
  // with text saying which bound (a parsed answer's, or an unannounced body's) they pass.
  int MemoryBodyBoundText(int64_t held, int n, ByteString* text) const;
  // The most bytes this body may come to in memory, or 0 when nothing bounds it.
  int64_t MemoryBodyCeiling(bool success) const;
  // The bound on a body held in memory with neither a length nor a limit; 0 when another applies.
  int64_t UnannouncedBodyBound() const {
    return max_transferred_data_ <= 0 && (chunked_ || content_length_ < 0) ? max_unannounced_body_ : 0;
  }
  // The successful body outgrew max_document_body_: the transfer fails.
  int FailDocumentTooLarge();
  // A failure's body reached kMaxErrorBodyBytes: logged, and the transfer ends with what is kept.
  int CutErrorBody();
  // The body kept in memory reached MaxTransferredData while more arrived: logged, and the
  // transfer ends with what is kept.
  int CutMemoryBody();
  int OpenLocalFileForWrite();
  // Closes the response body file; every way a transfer ends goes through here.
  void CloseLocalFile();
  // The response ended (body complete, connection closed or a failure): output closed, EndTransfer
  // fired once, the connection kept or closed. code 0 or the failure with its text.
  void EndResponseTransfer(int code, const char* text);
  // The verdict on an exchange: 0, an error code, or 0 with *next_action set to the action to
  // perform again (authentication retry, redirect).
  virtual int EndTransfer(int result, int action, int* next_action);
  void ParseSetCookie(const char* value);
  int StartContentDecoder(const char* value);

  // ---- Authentication and redirects (http_auth.cc) ----
  int PrepareAuthorization(bool log);
  // After an NTLM or Negotiate token step: the engine's log of the step, then its status text.
  void LogTokenStep();
  int PrepareProxyAuthorization(bool log);
  int FollowRedirect(int action, int* next_action);
  bool SameOrigin(const UrlParts& target) const;
  void DropCredentialsForNewOrigin();

  void SetHttpError(int code, const char* text);

  // ---- Fields ----
  int busy_action_ = 0;
  uint8_t auth_scheme_ = kAuthBasic;
  uint8_t proxy_auth_scheme_ = kAuthBasic;
  bool debug_trace_ = false;
  bool keep_alive_ = false;
  uint8_t follow_redirects_ = 0;
  uint8_t proxy_ssl_ = 0;
  int32_t allow_http_compression_ = 1;
  bool absolute_uri_ = false;
  bool encode_url_ = false;
  bool encode_query_string_ = true;
  bool encode_redirect_location_ = false;
  bool append_ = false;
  bool local_file_new_ = false;
  bool use_platform_http_client_ = false;
  bool use_chunked_encoding_ = false;
  bool post_data_after_negotiate_ = true;
  bool allow_identical_redirect_url_ = false;
  bool allow_http_fallback_ = true;
  bool always_fire_start_transfer_ = false;
  bool dont_clear_cookies_on_url_change_ = false;
  bool use_wininet_ = false;
  bool use_wininet_cookies_ = true;
  bool read_content_length_ = false;
  int32_t compress_http_request_ = 0;
  int32_t reuse_digest_ = 0;
  int32_t use_internal_kerberos_ = 0;
  int32_t use_idns_ = 0;
  int32_t chunk_size_ = 16384;
  int32_t max_redirect_attempts_ = 20;
  int32_t redirects_left_ = 20;
  int32_t create_local_file_attributes_ = 0;
  int32_t get_on_302_redirect_ = 0;
  int32_t http2_local_window_size_ = 65535;
  int64_t max_transferred_data_ = 0;
  int64_t max_document_body_ = 0;
  int64_t max_unannounced_body_ = 0;
  uint64_t bytes_transferred_ = 0;
  uint64_t request_content_length_ = 0;
  uint64_t bytes_sent_ = 0;

  // URL state.
  ByteString url_;
  ByteString path_;
  ByteString scheme_;
  ByteString host_;
  int32_t port_ = 80;
  int32_t default_port_ = 80;
  bool host_is_ipv6_ = false;
  ShortString user_;
  ShortString password_;

  // Request headers.
  ByteString authorization_;
  ByteString proxy_authorization_;
  ByteString accept_;
  ByteString accept_encoding_;
  ByteString from_;
  ByteString user_agent_;
  ByteString tunnel_user_agent_;
  ByteString if_modified_since_;
  ByteString referer_;
  ByteString pragma_;
  ByteString range_;
  ByteString content_type_;
  ByteString other_headers_;
  ByteString http_cookies_;
  ByteString method_override_;
  ByteString verb_;

  // Body sources.
  ByteString post_data_;
  const void* post_ref_ = nullptr;
  int post_ref_length_ = 0;
  FilePath attached_file_;
  Stream* upload_stream_ = nullptr;
  std::function<bool()> upload_rewind_;
  std::unique_ptr<StreamAdapter> upload_adapter_;
  uint64_t upload_stream_start_ = 0;
  ByteString compressed_body_;
  FileHandle attached_handle_;

  // Recording.
  bool record_request_ = false;
  ByteString recorded_body_;
  ByteString sent_headers_;

  ShortString http_version_;
  ShortString negotiated_version_;

  // Proxy.
  ByteString proxy_server_;
  int32_t proxy_port_ = 80;
  ShortString proxy_user_;
  ShortString proxy_password_;
  bool proxy_auto_detect_ = false;
  bool proxy_bypassed_ = false;

  CookieJar cookies_;

  // Response state.
  enum class ReadState { kStatus, kInterim, kHeaders, kBody, kChunked, kDone };
  ReadState read_state_ = ReadState::kStatus;
  bool expecting_response_ = false;
  bool transfer_ended_ = false;
  bool end_transfer_fired_ = false;
  bool response_error_ = false;
  int response_error_code_ = 0;
  ByteString response_error_text_;
  bool connection_reusable_ = false;
  bool connection_close_header_ = false;
  bool keep_alive_header_ = false;
  ByteString line_buffer_;
  int head_bytes_ = 0;
  ByteString status_line_;
  ByteString protocol_;
  int status_code_ = 0;
  ByteString reason_;
  ByteString transferred_headers_;
  ParsedHeaderStore parsed_headers_;
  ByteString current_header_name_;
  ByteString response_content_type_;
  int64_t content_length_ = -1;
  bool chunked_ = false;
  ChunkedDecoder chunk_decoder_;
  int content_encoding_ = kContentEncodingNone;
  BodyInflater inflater_;
  ByteString redirect_location_;
  ByteString server_challenge_;
  ByteString proxy_challenge_;
  uint64_t decoded_bytes_ = 0;
  uint64_t body_received_ = 0;
  // Bytes of the body kept in memory were dropped at MaxTransferredData.
  bool memory_body_cut_ = false;
  int server_retry_ = 0;
  int proxy_retry_ = 0;
  ByteString transferred_data_;
  ByteString transferred_headers_answer_;
  FileHandle local_handle_;
  FilePath local_file_;
  bool local_file_opened_ = false;
  bool local_file_failed_ = false;
  Stream* download_stream_ = nullptr;
  bool sending_body_ = false;
  bool connected_fresh_ = false;
  bool response_started_ = false;
  // The request went out on a connection kept from an earlier request.
  bool request_on_kept_connection_ = false;
  bool request_sent_ = false;
  // Bytes of the response seen (head included).
  uint64_t response_bytes_seen_ = 0;
  // The upload stream was read by an earlier attempt of this transfer.
  bool upload_stream_used_ = false;
  int transfer_event_depth_ = 0;
  ByteString event_copy_;
  ByteString work_;

  // Authentication members.
  DigestAuth server_digest_;
  DigestAuth proxy_digest_;
  NegotiateKerberosClient kerberos_;
  bool kerberos_token_in_use_ = false;
  bool kerberos_include_pac_ = false;
  ByteString kerberos_kdc_;
  ByteString http2_headers_without_indexing_;
  // The tunnel member was set up by this class for a ProxySSL tunnel (and is undone after).
  bool own_tunnel_ = false;
  bool body_withheld_ = false;
  bool compressing_body_ = false;
  // The WinINet path's worker, made on its first use.
  friend class WinInetRequest;
  std::unique_ptr<WinInetRequest> wininet_;

  // HTTP/2: the bridge the connection calls back through, and the connection itself.
  class Http2Bridge : public Http2Handler {
   public:
    explicit Http2Bridge(HttpClient* owner) : owner_(owner) {}
    int Http2Send(const void* bytes, int n) override;
    int Http2TrySend(const void* bytes, int n, int* sent) override;
    int Http2Wait() override;
    void OnHttp2Header(const char* name, int name_n, const char* value, int value_n) override {
      owner_->OnHttp2Header(name, name_n, value, value_n);
    }
    void OnHttp2HeadersEnd() override { owner_->OnHttp2HeadersEnd(); }
    void OnHttp2Data(const uint8_t* bytes, int n) override { owner_->OnHttp2Data(bytes, n); }
    void OnHttp2StreamEnd() override { owner_->OnHttp2StreamEnd(); }
    int Http2LogLevel() const override;
    void Http2Log(int level, const char* text, const char* type) override;

   private:
    HttpClient* owner_;
  };
  friend class Http2Bridge;
  Http2Bridge http2_bridge_{this};
  Http2Connection http2_{&http2_bridge_};
  // The request asked for HTTP/2 (no line mode while connecting); the connection speaks it.
  bool http2_wanted_ = false;
  bool http2_active_ = false;
  bool http2_head_done_ = false;
  // When answers owed to the peer last could not go out (0: none waiting).
  uint64_t http2_owed_since_ = 0;
};

}  // namespace tw
