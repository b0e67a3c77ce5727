#include "foundation/component_base.h"

#include <atomic>

#include "foundation/debug_log.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"
#include "platform/last_error.h"
#include "platform/time.h"

namespace tw {

namespace {

constexpr char kTextUnknownSetting[] = "Unknown config setting.";
constexpr char kTextOutOfMemory[] = "Out of memory.";
constexpr char kTextInterrupted[] = "Interrupted.";

constexpr unsigned kJapaneseAnsiCodePage = 932;

std::atomic<int64_t> next_instance{1};

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

const char* DefaultErrorText(int code) {
  switch (code) {
    case kErrOutOfMemory:
      return kTextOutOfMemory;
    case kErrInterrupted:
      return kTextInterrupted;
    default:
      return nullptr;
  }
}

ComponentBase::ComponentBase() : instance_(next_instance.fetch_add(1)) {}

ComponentBase::~ComponentBase() = default;

int ComponentBase::ConfigText(const char* text, const char** answer) {
  const char* ignored = nullptr;
  if (answer == nullptr) answer = &ignored;
  *answer = "";
  ConfigRequest request;
  int rc = request.Parse(text);
  if (rc != kOk) return rc;
  return Config(request, answer);
}

int ComponentBase::ListConfigNames(StringList* names) {
  struct Collected {
    StringList* names;
    int rc;
  } collected{names, kOk};
  auto record = [](void* context, const char* name) {
    auto* c = static_cast<Collected*>(context);
    for (int i = 0; i < c->names->Count(); ++i) {
      if (EqualsNoCase(c->names->Get(i), name)) return;
    }
    if (c->rc == kOk) c->rc = c->names->AddText(name);
  };
  // The walk ends at the root's unknown-setting answer, which must not become the last error.
  const int saved_code = error_code_;
  ByteString saved_text;
  int rc = saved_text.Assign(error_text_);
  for (const bool read : {true, false}) {
    if (rc != kOk) break;
    ConfigRequest request;
    request.StartRecording(read, record, &collected);
    const char* answer = "";
    Config(request, &answer);
  }
  error_code_ = saved_code;
  if (rc == kOk) rc = error_text_.Assign(saved_text);
  return rc != kOk ? rc : collected.rc;
}

bool ComponentBase::IsConvertibleCodePage(int code_page) {
  const auto cp = static_cast<unsigned>(code_page);
  // 0 to 3 name the system's own code pages, which always convert.
  return cp <= win::CP_THREAD_ACP || win::IsValidCodePage(cp);
}

int ComponentBase::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  if (request.NameIs("CodePage")) {
    if (read) return SetConfigAnswerSigned(GetCodePage(), answer);
    const int code_page = request.ValueAsInt();
    // Every text passes through it: one the platform cannot convert would empty them all.
    if (!IsConvertibleCodePage(code_page)) {
      const int rc = SetErrorTextNum("Invalid CodePage value: ", code_page, ".");
      if (rc != kOk) return rc;
      error_code_ = kErrInvalidValue;
      return kErrInvalidValue;
    }
    code_page_ = code_page;
    return kOk;
  }
  if (request.NameIs("CharsetMode")) {
    if (read) return SetConfigAnswerSigned(charset_mode_, answer);
    charset_mode_ = static_cast<int8_t>(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("LogDebugFile")) {
    if (read) return SetConfigAnswer(log_file_.c_str(), answer);
    return SetLogFile(request.value().c_str());
  }
  if (request.NameIs("LogDebugOption")) {
    if (read) return SetConfigAnswerUInt(log_option_, answer);
    log_option_ = static_cast<uint32_t>(request.ValueAsInt64());
    return kOk;
  }
  if (request.NameIs("LastError")) {
    if (read) return SetConfigAnswer(error_text_.c_str(), answer);
    return kOk;  // read only; a write is ignored
  }
  if (request.NameIs("ZeroMemory")) {
    if (read) return SetConfigAnswerBool(ZeroMemoryEnabled(), answer);
    SetZeroMemory(request.ValueAsBool());
    return kOk;
  }
  // No class along the chain knows the name.
  config_answer_.Reset();
  *answer = "";
  SetErrorText(kTextUnknownSetting);
  return kErrUnknownSetting;
}

int ComponentBase::SetConfigAnswer(const char* text, const char** answer) {
  int rc = config_answer_.SetText(text);
  *answer = config_answer_.c_str();
  return rc;
}

int ComponentBase::SetConfigAnswerUInt(uint32_t value, const char** answer) {
  config_answer_.Reset();
  int rc = config_answer_.AppendUInt(value);
  *answer = config_answer_.c_str();
  return rc;
}

int ComponentBase::SetConfigAnswerSigned(int32_t value, const char** answer) {
  config_answer_.Reset();
  int rc = config_answer_.AppendInt(value);
  *answer = config_answer_.c_str();
  return rc;
}

int ComponentBase::SetConfigAnswerInt64(int64_t value, const char** answer) {
  int rc = config_answer_.SetInt64(value);
  *answer = config_answer_.c_str();
  return rc;
}

// ---- Error texts ----

int ComponentBase::SetErrorText(const char* text) {
  if (text == error_text_.c_str()) return kOk;  // already the text; a self-copy would overlap
  return error_text_.SetText(text);
}

int ComponentBase::SetErrorTextCode(int code, const char* text) {
  error_code_ = code;
  return SetErrorText(text);
}

int ComponentBase::SetErrorText4(const char* t1, const char* t2, const char* t3, const char* t4) {
  error_code_ = 0;
  // Built aside: a text may be the current error text itself.
  ByteString text;
  int rc = text.AppendText(OrEmpty(t1));
  if (rc == kOk) rc = text.AppendText(OrEmpty(t2));
  if (rc == kOk) rc = text.AppendText(OrEmpty(t3));
  if (rc == kOk) rc = text.AppendText(OrEmpty(t4));
  if (rc == kOk) rc = error_text_.Assign(text);
  return rc;
}

int ComponentBase::SetErrorTextNum(const char* t1, int n, const char* t2) {
  error_code_ = 0;
  ByteString text;
  int rc = text.AppendText(OrEmpty(t1));
  if (rc == kOk) rc = text.AppendInt(n);
  if (rc == kOk) rc = text.AppendText(OrEmpty(t2));
  if (rc == kOk) rc = error_text_.Assign(text);
  return rc;
}

int ComponentBase::SetErrorTextNumKeep(const char* t1, int n, const char* t2) {
  ByteString text;
  int rc = text.AppendText(OrEmpty(t1));
  if (rc == kOk) rc = text.AppendHex(static_cast<uint32_t>(n));
  if (rc == kOk) rc = text.AppendText(OrEmpty(t2));
  if (rc == kOk) rc = error_text_.Assign(text);
  return rc;
}

int ComponentBase::AppendErrorText(const char* t1, int n, const char* t2) {
  ByteString text;
  int rc = text.Assign(error_text_);
  if (rc == kOk) rc = text.AppendText(OrEmpty(t1));
  if (rc == kOk) rc = text.AppendInt(n);
  if (rc == kOk) rc = text.AppendText(OrEmpty(t2));
  if (rc == kOk) rc = error_text_.Assign(text);
  return rc;
}

int ComponentBase::SetErrorTextLastError(const char* text) {
  // Taken first: building the text must not be able to change it.
  const win::DWORD last_error = win::GetLastError();
  ByteString composed;
  int rc = composed.AppendText(OrEmpty(text));
  if (rc == kOk) rc = composed.AppendText(" (error ");
  if (rc == kOk) rc = composed.AppendHex(last_error);
  if (rc == kOk) rc = composed.AppendText(").");
  if (rc == kOk) rc = error_text_.Assign(composed);
  return rc;
}

void ComponentBase::InitCharset() {
  error_code_ = 0;
  error_text_.Reset();
  charset_mode_ = win::GetACP() == kJapaneseAnsiCodePage ? 1 : 0;
}

// ---- Logging ----

int ComponentBase::LogAtLevel(int level, const char* text, const char* type) {
  if (log_level_ < level) return kOk;
  FireLog(level, OrEmpty(text), OrEmpty(type));
  return kOk;
}

namespace {

int Concat(ByteString& out, const char* t1, const char* t2) {
  int rc = out.AppendText(OrEmpty(t1));
  if (rc == kOk) rc = out.AppendText(OrEmpty(t2));
  return rc;
}

}  // namespace

int ComponentBase::LogText2(const char* t1, const char* t2, const char* type) {
  if (log_level_ < kLogInfo) return kOk;
  ByteString text;
  int rc = Concat(text, t1, t2);
  if (rc != kOk) return rc;
  return LogAtLevel(kLogInfo, text.c_str(), type);
}

int ComponentBase::LogText2Verbose(const char* t1, const char* t2, const char* type) {
  if (log_level_ < kLogVerbose) return kOk;
  ByteString text;
  int rc = Concat(text, t1, t2);
  if (rc != kOk) return rc;
  return LogAtLevel(kLogVerbose, text.c_str(), type);
}

int ComponentBase::LogText2Debug(const char* t1, const char* t2, const char* type) {
  if (log_level_ < kLogDebug) return kOk;
  ByteString text;
  int rc = Concat(text, t1, t2);
  if (rc != kOk) return rc;
  return LogAtLevel(kLogDebug, text.c_str(), type);
}

int ComponentBase::LogDataDebug(const void* bytes, int n, const char* type) {
  if (log_level_ < kLogVerbose) return kOk;
  ByteString text;
  if (bytes != nullptr && n > 0) {
    int rc = text.Set(bytes, n);
    if (rc != kOk) return rc;
  }
  return LogAtLevel(kLogDebug, text.c_str(), type);
}

// ---- Debug log file ----

int ComponentBase::SetLogFile(const char* path) {
  int rc = log_file_.SetText(path);
  // A failed set leaves the path empty, and file output must follow what is stored.
  log_to_file_ = !log_file_.empty();
  return rc;
}

int ComponentBase::LogFilePrefix(ByteString& line, bool local) {
  if (!log_to_file_) return kOk;
  win::SYSTEMTIME now{};
  if (local) {
    win::GetLocalTime(&now);
  } else {
    win::GetSystemTime(&now);
  }
  line.Reset();
  return AppendDebugLogPrefix(line, instance_, now);
}

int ComponentBase::LogFileLine(const char* text) {
  if (!log_to_file_) return kOk;
  ByteString line;
  int rc = LogFilePrefix(line, true);
  if (rc == kOk) rc = line.AppendText(OrEmpty(text));
  if (rc == kOk) rc = line.AppendText("\r\n");
  if (rc != kOk) return rc;
  return AppendToDebugLog(log_file_.c_str(), code_page_, line.data(), line.length());
}

int ComponentBase::LogFileData(const char* label, const void* bytes, int n) {
  if (!log_to_file_) return kOk;
  ByteString block;
  int rc = LogFilePrefix(block, true);
  if (rc == kOk) rc = AppendDebugLogBlock(block, OrEmpty(label), bytes, n);
  if (rc != kOk) return rc;
  return AppendToDebugLog(log_file_.c_str(), code_page_, block.data(), block.length());
}

}  // namespace tw
