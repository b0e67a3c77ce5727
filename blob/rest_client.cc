#include "blob/rest_client.h"

#include <climits>
#include <cstring>

#include "foundation/file_path.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr char kTextFragmentSize[] =
    "Valid values for FragmentSize are 1 to 2147483647, inclusive.";
constexpr char kTextProgressStep[] = "Valid values for ProgressStep are 0 to 99, inclusive.";
constexpr char kTextCaptureOff[] = "You must set TransferredRequest to On first.";
constexpr char kTextInterrupted[] = "Interrupted.";
constexpr char kTextUnsafeHeader[] = "Header names and values cannot contain line breaks.";
constexpr char kTextServerError[] = "Server Error [";
constexpr char kTextAuthenticationFailed[] = "AuthenticationFailed";

constexpr char kBeginRequest[] = "*********BEGIN REQUEST*********\r\n";
constexpr char kEndRequest[] = "\r\n*********END REQUEST*********\r\n";
constexpr char kBeginResponse[] = "*********BEGIN RESPONSE*********\r\n";
constexpr char kEndResponse[] = "\r\n*********END RESPONSE*********\r\n";

struct VerbEntry {
  int code;
  const char* text;
  int action;  // the HTTP client's action that carries it
};
constexpr VerbEntry kVerbs[] = {
    {kRestVerbGet, "GET", kHttpActionGet},       {kRestVerbPost, "POST", kHttpActionPost},
    {kRestVerbHead, "HEAD", kHttpActionHead},    {kRestVerbPut, "PUT", kHttpActionPut},
    {kRestVerbDelete, "DELETE", kHttpActionDelete}, {kRestVerbPatch, "PATCH", kHttpActionPut},
    {kRestVerbMove, "MOVE", kHttpActionPut},
};

const VerbEntry* FindVerb(int code) {
  for (const VerbEntry& v : kVerbs) {
    if (v.code == code) return &v;
  }
  return nullptr;
}

bool IsUnreserved(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// A query piece as it stood in a URL is already in its wire form: "%XX" escapes are undone so
// that the list holds plain values and the rebuilt URL does not escape them twice.
int SetPercentDecoded(const char* p, int n, ByteString& out) {
  out.Reset();
  for (int i = 0; i < n; ++i) {
    uint8_t c = static_cast<uint8_t>(p[i]);
    if (c == '%' && i + 2 < n) {
      const int hi = HexDigitValue(static_cast<uint8_t>(p[i + 1]));
      const int lo = HexDigitValue(static_cast<uint8_t>(p[i + 2]));
      if (hi >= 0 && lo >= 0) {
        c = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
      }
    }
    const int rc = out.AppendByte(c);
    if (rc != kOk) return rc;
  }
  return kOk;
}

bool HasLineBreakOrNul(const ByteString& text) {
  for (int i = 0; i < text.length(); ++i) {
    const char c = text.data()[i];
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

}  // namespace

const char* RestVerbText(int verb) {
  const VerbEntry* v = FindVerb(verb);
  return v != nullptr ? v->text : nullptr;
}

int AppendQueryEncoded(const char* text, int n, ByteString& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (n < 0) n = text != nullptr ? static_cast<int>(std::strlen(text)) : 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    int rc;
    if (IsUnreserved(c)) {
      rc = out.AppendByte(c);
    } else {
      const char esc[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      rc = out.Append(esc, 3);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

// ---- Life cycle ----

RestClient::RestClient() { ResetRestLayer(); }

RestClient::~RestClient() {
  WipeString(encryption_key_);
  WipeString(encryption_iv_);
  WipeString(encryption_password_);
}

int RestClient::Reset() {
  const int rc = ResetClient();
  const int rest = ResetRestLayer();
  return rc != kOk ? rc : rest;
}

int RestClient::ResetRestLayer() {
  keep_capture_ = false;
  download_target_ = nullptr;
  upload_source_ = nullptr;
  transferred_data_limit_ = 0;
  fragment_size_ = kRestDefaultFragmentSize;
  overwrite_ = false;
  progress_absolute_ = true;
  progress_step_ = 1;
  start_byte_ = 0;
  use_platform_hash_ = true;
  interrupt_requested_ = 0;
  EndProgress(true);
  raw_request_.Reset();
  raw_response_.Reset();
  const int rc = SetOutBufferSize(kRestOutBufferSize);
  download_temp_file_.Reset();
  WipeString(encryption_iv_);
  WipeString(encryption_key_);
  WipeString(encryption_password_);
  local_file_name_ = FilePath();
  range_text_.Reset();
  temp_path_.Reset();
  scratch_.Reset();
  headers_.Clear();
  query_.Clear();
  set_always_fire_start_transfer(true);
  return rc;
}

// ---- Settings ----

int RestClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();

  struct Text {
    const char* name;
    ByteString* field;
    bool secret;
  };
  const Text texts[] = {
      {"DownloadTempFile", &download_temp_file_, false},
      {"EncryptionIV", &encryption_iv_, true},
      {"EncryptionKey", &encryption_key_, true},
      {"TempPath", &temp_path_, false},
  };
  for (const Text& t : texts) {
    if (!request.NameIs(t.name)) continue;
    if (read) return SetConfigAnswer(t.field->c_str(), answer);
    if (t.secret) WipeBytes(t.field->data(), static_cast<size_t>(t.field->length()));
    return t.field->SetText(value);
  }
  if (request.NameIs("FragmentSize")) {
    if (read) return SetConfigAnswerSigned(fragment_size_, answer);
    return SetFragmentSize(request.ValueAsInt64());
  }
  if (request.NameIs("ProgressStep")) {
    if (read) return SetConfigAnswerSigned(progress_step_, answer);
    const int64_t step = request.ValueAsInt64();
    return SetProgressStep(step < INT32_MIN || step > INT32_MAX ? -1 : static_cast<int32_t>(step));
  }
  if (request.NameIs("ProgressAbsolute")) {
    if (read) return SetConfigAnswerBool(progress_absolute_, answer);
    progress_absolute_ = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("UsePlatformHash")) {
    if (read) return SetConfigAnswerBool(use_platform_hash_, answer);
    use_platform_hash_ = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("TransferredDataLimit")) {
    if (read) return SetConfigAnswerInt64(transferred_data_limit_, answer);
    transferred_data_limit_ = request.ValueAsInt64();
    return kOk;
  }
  if (request.NameIs("Interrupt")) {
    if (!read) return kOk;
    DoTransferSlot(kHttpActionInterrupt);
    return SetConfigAnswer("", answer);
  }
  if (read && (request.NameIs("RawRequest") || request.NameIs("RawResponse"))) {
    if (!transferred_request_on()) {
      SetErrorTextCode(kErrCaptureOff, kTextCaptureOff);
      return kErrCaptureOff;
    }
    return SetConfigAnswer(request.NameIs("RawRequest") ? raw_request_.c_str() : raw_response_.c_str(),
                           answer);
  }
  return HttpClient::Config(request, answer);
}

int RestClient::SetFragmentSize(int64_t size) {
  if (size < 1 || size > INT32_MAX) {
    SetErrorTextCode(kErrRestInvalidValue, kTextFragmentSize);
    return kErrRestInvalidValue;
  }
  fragment_size_ = static_cast<int32_t>(size);
  return kOk;
}

int RestClient::SetProgressStep(int32_t step) {
  if (step < 0 || step > 99) {
    SetErrorTextCode(kErrRestInvalidValue, kTextProgressStep);
    return kErrRestInvalidValue;
  }
  progress_step_ = step;
  return kOk;
}

int RestClient::SetEncryptionKey(const char* text) {
  WipeString(encryption_key_);
  return encryption_key_.SetText(text != nullptr ? text : "");
}

int RestClient::SetEncryptionIV(const char* text) {
  WipeString(encryption_iv_);
  return encryption_iv_.SetText(text != nullptr ? text : "");
}

int RestClient::SetEncryptionPassword(const char* text) {
  WipeString(encryption_password_);
  return encryption_password_.SetText(text != nullptr ? text : "");
}

int RestClient::SetCallerLocalFile(const char* name) {
  if (name == nullptr || *name == '\0') {
    local_file_name_ = FilePath();
    return kOk;
  }
  upload_source_ = nullptr;
  download_target_ = nullptr;
  return local_file_name_.SetNarrow(name);
}

int RestClient::SetCallerLocalFileWide(const char16_t* name) {
  if (name == nullptr || *name == 0) {
    local_file_name_ = FilePath();
    return kOk;
  }
  upload_source_ = nullptr;
  download_target_ = nullptr;
  return local_file_name_.SetWide(name);
}

// ---- Request lists ----

int RestClient::AddHeader(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return kOk;
  return headers_.Add(name, value);
}

int RestClient::AddHeaderIfSet(const char* name, const char* value) {
  if (value == nullptr || *value == '\0') return kOk;
  return AddHeader(name, value);
}

int RestClient::AddHeaderInt(const char* name, int32_t value) {
  return AddHeaderInt64(name, value);
}

int RestClient::AddHeaderInt64(const char* name, int64_t value) {
  ByteString text;
  const int rc = text.SetInt64(value);
  return rc != kOk ? rc : AddHeader(name, text.c_str());
}

int RestClient::SetQueryParam(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return kOk;
  for (int i = 0; i < query_.Count(); ++i) {
    ByteStringPair* pair = query_.At(i);
    if (pair != nullptr && EqualsNoCase(pair->first.c_str(), name)) {
      return pair->second.SetText(value != nullptr ? value : "");
    }
  }
  return query_.Add(name, value);
}

int RestClient::SetQueryParamIfSet(const char* name, const char* value) {
  if (value == nullptr || *value == '\0') return kOk;
  return SetQueryParam(name, value);
}

int RestClient::SetQueryParamInt(const char* name, int32_t value) {
  ByteString text;
  const int rc = text.SetInt64(value);
  return rc != kOk ? rc : SetQueryParam(name, text.c_str());
}

// ---- Steps of the send ----

int RestClient::MergeUrlQuery(const char* url, ByteString& out) {
  ByteString whole;
  int rc = whole.SetText(url != nullptr ? url : "");
  if (rc != kOk) return rc;
  whole.Trim();
  const int mark = whole.FindChar('?', 0);
  ByteString path;
  rc = path.Set(whole.data(), mark >= 0 ? mark : whole.length());
  if (rc != kOk) return rc;

  if (mark >= 0) {
    // The pieces already taken, so that an identical repeat is dropped.
    ByteStringPairArray seen;
    const char* p = whole.data() + mark + 1;
    const char* end = whole.data() + whole.length();
    while (p <= end) {
      const char* amp = p;
      while (amp < end && *amp != '&') ++amp;
      const char* first = p;
      const char* last = amp;
      while (first < last && static_cast<uint8_t>(*first) <= 0x20) ++first;
      while (last > first && static_cast<uint8_t>(last[-1]) <= 0x20) --last;
      p = amp + 1;
      const int n = static_cast<int>(last - first);
      if (n == 0 || *first == '=') continue;
      bool repeat = false;
      for (int i = 0; i < seen.Count() && !repeat; ++i) {
        repeat = seen.At(i)->first.EqualsBytes(first, n) != 0;
      }
      if (repeat) continue;
      ByteStringPair* piece = seen.GetOrCreate(seen.Count());
      if (piece == nullptr || piece->first.Set(first, n) != kOk) return kErrOutOfMemory;
      const char* eq = static_cast<const char*>(std::memchr(first, '=', static_cast<size_t>(n)));
      ByteString name;
      ByteString value;
      if (eq == nullptr) {
        rc = SetPercentDecoded(first, n, name);
      } else {
        rc = SetPercentDecoded(first, static_cast<int>(eq - first), name);
        if (rc == kOk) rc = SetPercentDecoded(eq + 1, static_cast<int>(last - eq - 1), value);
      }
      // A name that decodes to nothing (or to a NUL) cannot be carried.
      if (rc == kOk && !name.empty() && std::strlen(name.c_str()) == static_cast<size_t>(name.length())) {
        rc = SetQueryParam(name.c_str(), value.c_str());
      }
      if (rc != kOk) return rc;
    }
  }

  out.Reset();
  rc = out.AppendString(path);
  for (int i = 0; rc == kOk && i < query_.Count(); ++i) {
    const ByteStringPair* pair = query_.At(i);
    if (pair == nullptr) continue;
    rc = out.AppendByte(i == 0 ? '?' : '&');
    if (rc == kOk) rc = AppendQueryEncoded(pair->first.data(), pair->first.length(), out);
    if (rc == kOk) rc = out.AppendByte('=');
    if (rc == kOk) rc = AppendQueryEncoded(pair->second.data(), pair->second.length(), out);
  }
  return rc;
}

int RestClient::AddHeaderLines(const char* text) {
  const char* p = text != nullptr ? text : "";
  int previous = -1;  // the header the next continuation line belongs to
  while (*p != '\0') {
    const char* eol = p;
    while (*eol != '\0' && *eol != '\r' && *eol != '\n') ++eol;
    const char* first = p;
    const char* last = eol;
    p = *eol != '\0' ? eol + 1 : eol;
    if (last == first) continue;
    const char* colon = static_cast<const char*>(std::memchr(first, ':', static_cast<size_t>(last - first)));
    int rc = kOk;
    if (colon != nullptr) {
      ByteStringPair* pair = NewRecord<ByteStringPair>();
      if (pair == nullptr) return kErrOutOfMemory;
      rc = pair->first.Set(first, static_cast<int>(colon - first));
      if (rc == kOk) rc = pair->second.Set(colon + 1, static_cast<int>(last - colon - 1));
      if (rc != kOk) {
        DeleteRecord(pair);
        return rc;
      }
      pair->second.Trim();
      if (pair->first.empty()) {
        DeleteRecord(pair);
        continue;
      }
      rc = headers_.InsertOwned(headers_.Count(), pair);
      if (rc != kOk) return rc;
      previous = headers_.Count() - 1;
    } else {
      while (first < last && IsBlank(*first)) ++first;
      while (last > first && IsBlank(last[-1])) --last;
      ByteStringPair* pair = headers_.At(previous);
      if (pair == nullptr || last == first) continue;
      rc = pair->second.AppendByte(' ');
      if (rc == kOk) rc = pair->second.Append(first, static_cast<int>(last - first));
      if (rc != kOk) return rc;
    }
  }
  return kOk;
}

int RestClient::ComposeHeaderText(ByteString& out) const {
  out.Reset();
  for (int i = 0; i < headers_.Count(); ++i) {
    const ByteStringPair* pair = headers_.At(i);
    if (pair == nullptr) continue;
    int rc = out.AppendString(pair->first);
    if (rc == kOk) rc = out.Append(": ", 2);
    if (rc == kOk) rc = out.AppendString(pair->second);
    if (rc == kOk) rc = out.Append("\r\n", 2);
    if (rc != kOk) return rc;
  }
  return kOk;
}

bool RestClient::HttpErrorStatus() const { return status_code_ >= 300; }

int RestClient::TransferRequest(const char* url, int verb, const void* body, int length, bool parse) {
  const VerbEntry* entry = FindVerb(verb);
  int rc = kOk;
  if (entry == nullptr) {
    rc = kErrRestInvalidValue;
    SetErrorTextCode(rc, kTextInvalidHttpAction);
  }
  // A line break in a header would let a value start a header (or a request) of its own.
  for (int i = 0; rc == kOk && i < headers_.Count(); ++i) {
    const ByteStringPair* pair = headers_.At(i);
    if (pair != nullptr && (HasLineBreakOrNul(pair->first) || HasLineBreakOrNul(pair->second))) {
      rc = kErrRestInvalidValue;
      SetErrorTextCode(rc, kTextUnsafeHeader);
    }
  }
  ByteString header_text;
  if (rc == kOk) rc = ComposeHeaderText(header_text);
  if (rc == kOk) rc = SetOtherHeaders(header_text.c_str());
  if (rc == kOk) rc = SetUrl(url != nullptr ? url : "", false);
  // The caller's buffer outlives the request: sent from where it lies, not copied.
  if (rc == kOk) SetPostDataRef(body, length);
  if (rc == kOk) {
    const bool override_method = verb == kRestVerbPatch || verb == kRestVerbMove;
    if (override_method) rc = SetMethod(entry->text);
    // An answer parsed whole is never cut short by a limit left from a download.
    const int64_t download_limit = max_transferred_data();
    if (parse) set_max_transferred_data(0);
    set_max_document_body(parse ? kMaxParsedBodyBytes : 0);
    if (rc == kOk) rc = DoTransferSlot(entry->action);
    set_max_document_body(0);
    set_max_transferred_data(download_limit);
    if (override_method) SetMethod("");

    if (rc == kErrInterrupted) {
      // A time-out ends the wait the same way: its own text ("Timeout.") is kept.
      if (error_text().empty()) SetErrorText(kTextInterrupted);
    } else if (rc != kOk) {
      // Only a response that arrived whole with a failure status speaks for the service; bytes
      // of a response cut short are no error message.
      if (HttpErrorStatus() && !response_error_) {
        const ByteString& answer = transferred_data();
        if (!answer.empty()) {
          rc = ErrorFromBody(answer.data(), answer.length());
        } else if (verb == kRestVerbHead) {
          const int header_rc = ErrorFromHeader();
          if (header_rc != kOk) rc = header_rc;
        }
      }
    } else if (parse) {
      const ByteString& answer = transferred_data();
      rc = ParseResponseBody(answer.data(), answer.length());
    }
  }
  set_error_code(rc);

  if (!keep_capture_) ClearRawCapture();
  CaptureExchange();
  ClearRequestState();
  return rc;
}

void RestClient::CaptureExchange() {
  if (!transferred_request_on()) return;
  if (keep_capture_) raw_request_.AppendText(kBeginRequest);
  raw_request_.AppendString(sent_headers());
  raw_request_.AppendString(recorded_request_body());
  if (keep_capture_) raw_request_.AppendText(kEndRequest);

  if (keep_capture_) raw_response_.AppendText(kBeginResponse);
  raw_response_.AppendString(status_line());
  raw_response_.Append("\r\n", 2);
  raw_response_.AppendString(transferred_headers());
  raw_response_.Append("\r\n", 2);
  raw_response_.AppendString(transferred_data());
  if (keep_capture_) raw_response_.AppendText(kEndResponse);
}

int RestClient::ClearRequestState() {
  headers_.Clear();
  query_.Clear();
  int rc = SetAttachedFile("");
  const int local_rc = HttpClient::SetLocalFile("");
  if (rc == kOk) rc = local_rc;
  SetUploadStream(nullptr);
  SetDownloadStream(nullptr);
  SetOtherHeaders("");
  SetAuthorization("");
  SetMethod("");
  SetPostData(nullptr, 0);
  return rc;
}

int RestClient::ErrorFromHeader() {
  const char* code = parsed_headers().Find("x-ms-error-code");
  if (code == nullptr || *code == '\0') return kOk;
  ByteString text;
  int rc = text.SetText(kTextServerError);
  if (rc == kOk) rc = text.AppendText(code);
  if (rc == kOk) rc = text.AppendText("]: ");
  if (rc == kOk) rc = text.AppendString(reason_phrase());
  if (rc != kOk) return rc;
  const int result = text.Contains(kTextAuthenticationFailed) ? kErrServerAuth : kErrServerError;
  SetErrorTextCode(result, text.c_str());
  return result;
}

// ---- Data sources and targets ----

int RestClient::SetUploadSource(const char* temp_file, bool* from_memory) {
  *from_memory = false;
  if (temp_file != nullptr && *temp_file != '\0') return SetAttachedFile(temp_file);
  if (upload_source_ != nullptr) {
    SetUploadStream(upload_source_);
    return kOk;
  }
  if (local_file_name_.Length() > 0) {
    return local_file_name_.is_wide() ? SetAttachedFileWide(local_file_name_.wide())
                                      : SetAttachedFile(local_file_name_.narrow());
  }
  *from_memory = true;
  return kOk;
}

int RestClient::SetDownloadTarget() {
  if (download_target_ != nullptr) {
    SetDownloadStream(download_target_);
    return kOk;
  }
  if (local_file_name_.Length() == 0) return kOk;
  if (local_file_name_.is_wide()) return SetLocalFileWide(local_file_name_.wide());
  ByteString wide;
  const int rc = WidenName(local_file_name_.narrow(), static_cast<unsigned>(GetCodePage()), wide);
  if (rc != kOk) return rc;
  return SetLocalFileWide(wide.wide());
}

int RestClient::SetDownloadTempTarget() {
  return HttpClient::SetLocalFile(download_temp_file_.c_str());
}

// ---- Progress ----

void RestClient::StartUploadProgress(int64_t total) {
  if (progress_nesting_ > 0) {
    ++progress_nesting_;
    return;
  }
  progress_nesting_ = 1;
  progress_base_ = progress_absolute_ ? start_byte_ : 0;
  progress_count_ = 0;
  progress_total_ = progress_absolute_ ? total : total - start_byte_;
  progress_last_percent_ = -1;
  progress_state_ = kProgressUploadPending;
}

void RestClient::StartDownloadProgress(int64_t total) {
  EndProgress(true);
  progress_base_ = progress_absolute_ ? start_byte_ : 0;
  progress_count_ = 0;
  if (total >= 0) progress_total_ = progress_absolute_ ? total : total - start_byte_;
  progress_state_ = kProgressDownloadPending;
}

void RestClient::EndProgress(bool force) {
  // The count never goes below 0: a progress that already ended (forced at its total) must not
  // turn the next start into a nested one.
  if (progress_nesting_ > 0) --progress_nesting_;
  if (!force && progress_nesting_ > 0) return;
  progress_state_ = kProgressIdle;
  progress_nesting_ = 0;
  progress_total_ = -1;
  progress_count_ = -1;
  progress_base_ = -1;
  progress_last_percent_ = -1;
}

int RestClient::ProgressPercent() const {
  if (progress_total_ < 0) return -1;
  const int64_t done = progress_base_ + progress_count_;
  if (done == 0) {
    const bool running =
        progress_state_ == kProgressUploading || progress_state_ == kProgressDownloading;
    return progress_total_ == 0 && running ? 100 : 0;
  }
  // A body longer than announced (or announced as empty) is complete, never past it; this also
  // keeps a total of 0 out of the division.
  if (done >= progress_total_) return 100;
  return static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(progress_total_));
}

int RestClient::NotifyProgress(bool force) {
  const int percent = ProgressPercent();
  if (!force && percent != -1 && percent != 100 &&
      static_cast<int64_t>(percent) < static_cast<int64_t>(progress_last_percent_) + progress_step_) {
    return kOk;
  }
  progress_last_percent_ = percent;
  const int direction = progress_state_ == kProgressUploadPending || progress_state_ == kProgressUploading
                            ? kProgressUpload
                            : kProgressDownload;
  return FireProgress(direction, progress_base_ + progress_count_, progress_total_, percent);
}

int RestClient::UpdateProgress(int direction, int64_t count) {
  int rc = kOk;
  switch (progress_state_) {
    case kProgressUploadPending:
      if (direction != kDirectionRequest) return kOk;
      // The first event of a progress always fires: it sets the mark the steps count from.
      rc = NotifyProgress(true);
      progress_state_ = kProgressUploading;
      if (count == kMarkStart) return rc;
      [[fallthrough]];
    case kProgressUploading: {
      if (direction != kDirectionRequest || count == kMarkStart) return rc;
      if (count == kMarkEnd) {
        // One request of a larger upload ended: its bytes join the base.
        if (progress_base_ + progress_count_ < progress_total_) {
          progress_base_ += progress_count_;
          progress_count_ = 0;
        }
        return rc;
      }
      const int64_t room = progress_total_ - progress_base_;
      progress_count_ = count < room ? count : room;
      if (progress_count_ < 0) progress_count_ = 0;
      const int fired = NotifyProgress(false);
      if (rc == kOk) rc = fired;
      if (progress_base_ + progress_count_ >= progress_total_) EndProgress(true);
      return rc;
    }
    case kProgressDownloadPending:
      if (direction != kDirectionResponse) return kOk;
      if (progress_total_ < 0 || progress_total_ >= (int64_t{1} << 31)) {
        const int64_t length = response_content_length();
        progress_total_ =
            length >= 0 ? length + (progress_absolute_ ? start_byte_ : 0) : -1;
      }
      rc = NotifyProgress(true);
      progress_state_ = kProgressDownloading;
      if (count == kMarkStart) return rc;
      [[fallthrough]];
    case kProgressDownloading: {
      if (direction != kDirectionResponse || count == kMarkStart) return rc;
      if (count == kMarkEnd) {
        if (progress_total_ < 0) {
          EndProgress(true);
        } else if (progress_base_ + progress_count_ < progress_total_) {
          const int fired = NotifyProgress(true);
          if (rc == kOk) rc = fired;
        }
        return rc;
      }
      progress_count_ = count;
      const int fired = NotifyProgress(false);
      if (rc == kOk) rc = fired;
      if (progress_total_ >= 0 && progress_base_ + progress_count_ >= progress_total_) {
        EndProgress(true);
      }
      return rc;
    }
    default:
      return kOk;
  }
}

int RestClient::FireStartTransferHook(int direction) {
  const int rc = HttpClient::FireStartTransferHook(direction);
  const int progress = UpdateProgress(direction, kMarkStart);
  return rc != kOk ? rc : progress;
}

int RestClient::FireEndTransferHook(int direction) {
  const int rc = HttpClient::FireEndTransferHook(direction);
  const int progress = UpdateProgress(direction, kMarkEnd);
  return rc != kOk ? rc : progress;
}

int RestClient::FireTransferProgress(int direction, int64_t bytes, int percent, const void* data,
                                     int n) {
  const int rc = HttpClient::FireTransferProgress(direction, bytes, percent, data, n);
  const int progress = UpdateProgress(direction, bytes < 0 ? 0 : bytes);
  return rc != kOk ? rc : progress;
}

}  // namespace tw
