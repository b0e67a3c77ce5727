// The REST layer of the component chain, above the HTTP client: the per-request header and query
// lists, the request body and the transfer's data sources and targets, the client-side encryption
// settings, the capture of raw requests and responses, and the Progress event computed over whole
// uploads and downloads (which may span several HTTP requests, e.g. an automatic block upload).
//
// A class above implements SendRequest: it fills the lists (AddHeader, SetQueryParam, ...), folds
// a URL's own query into the list (MergeUrlQuery), adds its standard headers and authorization and
// then hands everything to TransferRequest, which sends, classifies a failure into the error texts
// of the service, parses a successful body and always clears the per-request state.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/config_request.h"
#include "foundation/file_path.h"
#include "foundation/stream.h"
#include "http/http_client.h"

namespace tw {

// Verb codes of SendRequest and TransferRequest (1 to 6 are also the HTTP client's actions).
constexpr int kRestVerbGet = 1;
constexpr int kRestVerbPost = 2;
constexpr int kRestVerbHead = 3;
constexpr int kRestVerbPut = 5;
constexpr int kRestVerbDelete = 6;
constexpr int kRestVerbPatch = 7;  // sent as PUT with the method text "PATCH"
constexpr int kRestVerbMove = 8;   // sent as PUT with the method text "MOVE"

// Error codes of the REST layers.
constexpr int kErrRestInvalidValue = 202;  // bad setting value, "Invalid HTTP action."
constexpr int kErrServerError = 600;       // the service answered with an error
constexpr int kErrCaptureOff = 602;        // RawRequest/RawResponse read without TransferredRequest
constexpr int kErrServerAuth = 603;        // the service's answer contains "AuthenticationFailed"

inline constexpr char kTextInvalidHttpAction[] = "Invalid HTTP action.";

// Directions of the Progress event.
constexpr int kProgressUpload = 0;
constexpr int kProgressDownload = 1;

// The largest answer parsed whole (a listing page, an ACL): several times the service's largest
// page (5,000 blobs, about 3.5 MB), so only a runaway or hostile body reaches it.
constexpr int64_t kMaxParsedBodyBytes = int64_t{16} << 20;

// Defaults.
constexpr int32_t kRestDefaultFragmentSize = 10485760;  // the blob reset then sets 104857600
constexpr uint32_t kRestOutBufferSize = 1048576;

// The verb text of a verb code ("GET", "POST", "HEAD", "PUT", "DELETE", "PATCH", "MOVE"), or null
// for any other code.
const char* RestVerbText(int verb);

// Percent-encodes text for a query name or value: every byte except the unreserved characters of
// RFC 3986 (letters, digits, "-", ".", "_", "~") becomes "%" and two upper-case hex digits.
// Appends to out; 0 or 200.
int AppendQueryEncoded(const char* text, int n, ByteString& out);

class RestClient : public HttpClient {
 public:
  // Progress states.
  enum ProgressState : int {
    kProgressIdle = 0,
    kProgressUploadPending = 1,
    kProgressUploading = 2,
    kProgressDownloadPending = 3,
    kProgressDownloading = 4,
  };

  RestClient();
  ~RestClient() override;

  // ---- Overrides of the chain ----
  int Config(ConfigRequest& request, const char** answer) override;
  // Each calls the inherited hook and then updates the progress.
  int FireStartTransferHook(int direction) override;
  int FireEndTransferHook(int direction) override;
  int FireTransferProgress(int direction, int64_t bytes, int percent, const void* data,
                           int n) override;

  // ---- Operations added by this class, in slot order ----
  // One piece of an automatic block upload.
  virtual int UploadBlockFragment(const void* piece, int length) { return 0; }
  // The virtual send: 0 or an error code with its text as the last error.
  virtual int SendRequest(const char* url, int verb, const void* body, int length,
                          bool parse) = 0;
  // Empties the request header and query lists and the per-request state handed to the HTTP
  // client: extra headers, Authorization, method text, body, attached file, LocalFile, streams.
  virtual int ClearRequestState();
  // A failed response without a body (HEAD): 0 when the response has no x-ms-error-code header,
  // else the text "Server Error [code]: " and the status text becomes the last error and the
  // result is 603 when it contains "AuthenticationFailed", else 600.
  virtual int ErrorFromHeader();
  // A failed response's body turned into the last error text; 600 or 603 (XmlRestClient).
  virtual int ErrorFromBody(const char* body, int length) = 0;
  // A successful body parsed for the operations that walk the answer (XmlRestClient).
  virtual int ParseResponseBody(const char* body, int length) = 0;
  // The Progress event (direction, bytes done, total or -1, percent or -1).
  virtual int FireProgress(int direction, int64_t done, int64_t total, int percent) = 0;
  // The FragmentComplete notification of an automatic block upload; a handler that sets
  // *interrupt non-zero stops the upload.
  virtual int NotifyFragmentComplete(int fragment_number, int fragment_count, int* interrupt) {
    return 0;
  }

  // ---- Reset ----
  // The HTTP client's reset and then the REST layer's (ResetRestLayer). 0 or an error code.
  int Reset();
  // The per-request reset of this layer only (see the .cc for the values it restores).
  int ResetRestLayer();

  // ---- Request lists ----
  ByteStringPairArray& request_headers() { return headers_; }
  ByteStringPairArray& request_query() { return query_; }
  // Appends a header (a name may repeat). An empty name adds nothing. 0 or 200.
  int AddHeader(const char* name, const char* value);
  // AddHeader only when the value is not empty.
  int AddHeaderIfSet(const char* name, const char* value);
  // A header whose value is the number in decimal ("-" for a negative one); appended.
  int AddHeaderInt(const char* name, int32_t value);
  int AddHeaderInt64(const char* name, int64_t value);
  // Sets a query parameter, replacing the value of one of the same name (compared without
  // regard to case) and appending otherwise. An empty name adds nothing. 0 or 200.
  int SetQueryParam(const char* name, const char* value);
  int SetQueryParamIfSet(const char* name, const char* value);
  int SetQueryParamInt(const char* name, int32_t value);

  // ---- Steps of the send, for SendRequest ----
  // Cuts the query part off the URL (trimmed of blanks first), adds its pieces to the request
  // query (same name replaces; "a" alone is a name with an empty value, "=x" is dropped, repeats
  // of an identical piece are dropped) and writes to out the path followed by the whole request
  // query list, names and values percent-encoded. 0 or 200.
  int MergeUrlQuery(const char* url, ByteString& out);
  // Appends header lines as OtherHeaders holds them: lines split at CR and LF, empty lines
  // skipped; "Name: value" starts a header (name as it stands, value trimmed), a line without
  // ":" continues the previous header's value after one blank. 0 or 200.
  int AddHeaderLines(const char* text);
  // The header list as "Name: value" CR LF lines, in list order. 0 or 200.
  int ComposeHeaderText(ByteString& out) const;
  // Sends the prepared request: the header list becomes the HTTP client's extra headers, the URL
  // and the body (when length > 0) are handed over, and the verb goes out (PATCH and MOVE as a PUT
  // with the method text). A failure that carried an HTTP error status turns the body into the
  // error (ErrorFromBody), or for a body-less HEAD the error header (ErrorFromHeader); any other
  // failure (interrupt, time-out, reset, protocol) keeps the HTTP client's code and text. On
  // success with parse the body goes to ParseResponseBody. Whatever the result the raw capture is
  // made and ClearRequestState runs. 0 or an error code.
  int TransferRequest(const char* url, int verb, const void* body, int length, bool parse);

  // ---- Data sources and targets of a transfer ----
  // The request body source: a non-empty temp_file becomes the attached file; else the caller's
  // upload stream; else a non-empty LocalFile. *from_memory is true when none was set (the body
  // is then sent from memory). 0 or an error code.
  int SetUploadSource(const char* temp_file, bool* from_memory);
  // The response body target: the caller's download stream, else a non-empty LocalFile (handed
  // over as UTF-16 text). 0 or an error code.
  int SetDownloadTarget();
  // The encrypted download's DownloadTempFile as the HTTP client's LocalFile (code-page text).
  int SetDownloadTempTarget();

  // ---- Progress ----
  // The first call of a nesting starts an upload progress over total bytes; nested calls (each
  // block of a block upload) only count the nesting.
  void StartUploadProgress(int64_t total);
  // Ends any running progress and starts a download progress (total -1 when not known).
  void StartDownloadProgress(int64_t total);
  // Lowers the nesting; at 0, or when forced, the progress returns to idle.
  void EndProgress(bool force);
  // The percent of the running progress (-1 when the total is not known).
  int ProgressPercent() const;
  int progress_state() const { return progress_state_; }
  int64_t progress_base() const { return progress_base_; }

  // Asked by the owner's Interrupt: an operation made of several requests stops before its next
  // one, also when it is between two requests and nothing is waiting to be cancelled.
  void RequestInterrupt() { interrupt_requested_ = 1; }
  bool operation_interrupt_requested() const { return interrupt_requested_ != 0; }
  void ClearOperationInterrupt() { interrupt_requested_ = 0; }
  int64_t progress_count() const { return progress_count_; }
  int64_t progress_total() const { return progress_total_; }

  // ---- Properties ----
  const FilePath& caller_local_file() const { return local_file_name_; }
  // LocalFile as code-page text or UTF-16; a non-empty name drops both caller streams.
  int SetCallerLocalFile(const char* name);
  int SetCallerLocalFileWide(const char16_t* name);
  Stream* caller_upload_stream() const { return upload_source_; }
  Stream* caller_download_stream() const { return download_target_; }
  void SetCallerUploadStream(Stream* stream) { upload_source_ = stream; }
  void SetCallerDownloadStream(Stream* stream) { download_target_ = stream; }

  const ByteString& download_temp_file() const { return download_temp_file_; }
  int SetDownloadTempFile(const char* text) { return download_temp_file_.SetText(text); }
  int64_t transferred_data_limit() const { return transferred_data_limit_; }
  void set_transferred_data_limit(int64_t limit) { transferred_data_limit_ = limit; }
  int32_t encryption_algorithm() const { return encryption_algorithm_; }
  void set_encryption_algorithm(int32_t algorithm) { encryption_algorithm_ = algorithm; }
  const ByteString& encryption_key() const { return encryption_key_; }
  const ByteString& encryption_iv() const { return encryption_iv_; }
  const ByteString& encryption_password() const { return encryption_password_; }
  int SetEncryptionKey(const char* text);
  int SetEncryptionIV(const char* text);
  int SetEncryptionPassword(const char* text);
  int32_t fragment_size() const { return fragment_size_; }
  // 1 to 2147483647, else 202 with its message.
  int SetFragmentSize(int64_t size);
  bool overwrite() const { return overwrite_; }
  void set_overwrite(bool on) { overwrite_ = on; }
  bool progress_absolute() const { return progress_absolute_; }
  void set_progress_absolute(bool on) { progress_absolute_ = on; }
  int32_t progress_step() const { return progress_step_; }
  // 0 to 99, else 202 with its message.
  int SetProgressStep(int32_t step);
  const ByteString& range() const { return range_text_; }
  int SetRangeText(const char* text) { return range_text_.SetText(text); }
  const ByteString& raw_request() const { return raw_request_; }
  const ByteString& raw_response() const { return raw_response_; }
  void ClearRawCapture() {
    raw_request_.Reset();
    raw_response_.Reset();
  }
  // While set (an automatic block upload), RawRequest and RawResponse collect every request.
  bool keep_raw_capture() const { return keep_capture_; }
  void set_keep_raw_capture(bool on) { keep_capture_ = on; }
  int64_t start_byte() const { return start_byte_; }
  void set_start_byte(int64_t offset) { start_byte_ = offset; }
  const ByteString& temp_path() const { return temp_path_; }
  int SetTempPath(const char* text) { return temp_path_.SetText(text); }
  bool use_platform_hash() const { return use_platform_hash_; }
  void set_use_platform_hash(bool on) { use_platform_hash_ = on; }
  ByteString& scratch() { return scratch_; }

 protected:
  // Updates the progress from one HTTP hook: count is a byte count, or one of the two marks.
  static constexpr int64_t kMarkStart = -1;
  static constexpr int64_t kMarkEnd = -2;
  int UpdateProgress(int direction, int64_t count);
  // Fires Progress unless the percent is known, below 100 and less than ProgressStep above the
  // last one fired; always when forced.
  int NotifyProgress(bool force);
  // The last response carried a failure status (300 and above).
  bool HttpErrorStatus() const;
  // The capture of the request and response after a send (TransferredRequest on).
  void CaptureExchange();

  // ---- Fields ----
  ByteString download_temp_file_;
  int64_t transferred_data_limit_ = 0;
  int32_t encryption_algorithm_ = 0;
  ByteString encryption_key_;
  ByteString encryption_iv_;
  ByteString encryption_password_;
  int32_t fragment_size_ = kRestDefaultFragmentSize;
  FilePath local_file_name_;
  bool overwrite_ = false;
  bool progress_absolute_ = true;
  int32_t progress_step_ = 1;
  ByteString range_text_;
  ByteString raw_request_;
  ByteString raw_response_;
  int64_t start_byte_ = 0;
  ByteString temp_path_;
  bool use_platform_hash_ = true;
  Stream* download_target_ = nullptr;
  Stream* upload_source_ = nullptr;
  ByteStringPairArray headers_;
  ByteStringPairArray query_;
  ByteString scratch_;
  bool keep_capture_ = false;

  int progress_state_ = kProgressIdle;
  int64_t progress_base_ = -1;
  int32_t progress_last_percent_ = -1;
  int64_t progress_count_ = -1;
  int64_t progress_total_ = -1;
  int32_t progress_nesting_ = 0;
  int32_t interrupt_requested_ = 0;
};

}  // namespace tw
