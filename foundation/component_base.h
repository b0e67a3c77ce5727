// The root of every component: code page, character-set mode, last error, named settings,
// logging, the debug log file and the event sink.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "foundation/byte_string.h"
#include "foundation/config_request.h"
#include "foundation/event_sink.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrUnknownSetting = -1;
constexpr int kErrInterrupted = 301;

// Log levels of a log line; a component's LogLevel drops every line above it.
constexpr int kLogNone = 0;
constexpr int kLogInfo = 1;
constexpr int kLogVerbose = 2;
constexpr int kLogDebug = 3;

// The standard text of a code that the failing component left without one ("Out of memory.",
// "Interrupted."), or null. Socket error texts come from the socket layer.
const char* DefaultErrorText(int code);

class ComponentBase {
 public:
  ComponentBase();
  virtual ~ComponentBase();
  ComponentBase(const ComponentBase&) = delete;
  ComponentBase& operator=(const ComponentBase&) = delete;

  // Virtual operations every component class keeps, in this order, before its own.
  virtual int GetCodePage() const { return code_page_; }
  // Window messages of the hidden window of socket components.
  virtual intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) { return 0; }
  // Answers the settings this class knows and passes every other name to its base; for a read,
  // *answer is pointed at the answer text, which stays valid until the next setting call.
  virtual int Config(ConfigRequest& request, const char** answer);
  virtual int SetUseWindowsMessages(bool on) { return 0; }

  // Parses "Name[index]=value" (or a read without "=") and hands it to Config. *answer is ""
  // unless a read succeeds.
  int ConfigText(const char* text, const char** answer);

  // Every name the Config chain knows, in chain order, each once (names compared without
  // regard to case): the chain is walked as a read and as a write with a recording request, so
  // nothing is set. 0, or 200 when memory runs out.
  int ListConfigNames(StringList* names);

  // False for a code page that the platform cannot convert ("CodePage" refuses it with 202).
  static bool IsConvertibleCodePage(int code_page);

  // Error text composition: each returns 0 or 200; a null text counts as "".
  int SetErrorText(const char* text);
  int SetErrorTextCode(int code, const char* text);
  int SetErrorText4(const char* t1, const char* t2, const char* t3, const char* t4);
  int SetErrorTextNum(const char* t1, int n, const char* t2);
  int SetErrorTextNumKeep(const char* t1, int n, const char* t2);
  int AppendErrorText(const char* t1, int n, const char* t2);
  int SetErrorTextLastError(const char* text);
  int error_code() const { return error_code_; }
  void set_error_code(int code) { error_code_ = code; }
  const ByteString& error_text() const { return error_text_; }

  // Clears the last error and picks the Japanese conversions on a system whose ANSI code page
  // is 932.
  void InitCharset();

  // Logging. A line is dropped when LogLevel is below its level; otherwise it goes to FireLog,
  // never to the debug log file.
  int LogAtLevel(int level, const char* text, const char* type);
  int LogText2(const char* t1, const char* t2, const char* type);
  int LogText2Verbose(const char* t1, const char* t2, const char* type);
  int LogText2Debug(const char* t1, const char* t2, const char* type);
  // The bytes as a text at debug level; not even built below verbose.
  int LogDataDebug(const void* bytes, int n, const char* type);
  int log_level() const { return log_level_; }
  void set_log_level(int level) { log_level_ = level; }

  // Debug log file. Each writer does nothing while no file is set; the result (4 cannot open,
  // 7 write failed, 200) is for tests: callers ignore it.
  int SetLogFile(const char* path);
  int LogFilePrefix(ByteString& line, bool local);
  int LogFileLine(const char* text);
  int LogFileData(const char* label, const void* bytes, int n);
  const ShortString& log_file() const { return log_file_; }
  bool log_to_file() const { return log_to_file_; }
  uint32_t log_option() const { return log_option_; }
  void set_log_option(uint32_t bits) { log_option_ = bits; }

  // Identifies the component among all live ones (never reused within the process).
  int64_t instance_number() const { return instance_; }

  void set_code_page(int code_page) { code_page_ = code_page; }
  int8_t charset_mode() const { return charset_mode_; }
  void set_charset_mode(int8_t mode) { charset_mode_ = mode; }

  EventSink* event_sink() const { return event_sink_; }
  void set_event_sink(EventSink* sink) { event_sink_ = sink; }

 protected:
  // Answer operations of Config handlers: set the answer text and point *answer at it.
  int SetConfigAnswer(const char* text, const char** answer);
  int SetConfigAnswerUInt(uint32_t value, const char** answer);
  int SetConfigAnswerSigned(int32_t value, const char** answer);
  int SetConfigAnswerInt64(int64_t value, const char** answer);
  int SetConfigAnswerBool(bool value, const char** answer) {
    return SetConfigAnswer(value ? "True" : "False", answer);
  }

  // A switch setting that only stores a flag.
  struct SwitchSetting {
    const char* name;
    bool* field;
  };
  // Reads or writes the switch the request names; false (and *rc untouched) when none matches.
  bool ConfigSwitches(const ConfigRequest& request, const char** answer,
                      std::initializer_list<SwitchSetting> switches, int* rc) {
    for (const SwitchSetting& sw : switches) {
      if (!request.NameIs(sw.name)) continue;
      if (request.is_read()) {
        *rc = SetConfigAnswerBool(*sw.field, answer);
      } else {
        *sw.field = request.ValueAsBool();
        *rc = 0;
      }
      return true;
    }
    return false;
  }

  // A number setting that only stores a 32-bit value (hexadecimal after "0x" as well).
  struct IntegerSetting {
    const char* name;
    int32_t* field;
  };
  bool ConfigIntegers(const ConfigRequest& request, const char** answer,
                      std::initializer_list<IntegerSetting> settings, int* rc) {
    for (const IntegerSetting& s : settings) {
      if (!request.NameIs(s.name)) continue;
      if (request.is_read()) {
        *rc = SetConfigAnswerSigned(*s.field, answer);
      } else {
        *s.field = request.ValueAsInt();
        *rc = 0;
      }
      return true;
    }
    return false;
  }

  // A text setting that only stores its text (Text: a string type with SetText and c_str).
  template <class Text>
  struct TextSetting {
    const char* name;
    Text* field;
  };
  template <class Text>
  bool ConfigTexts(const ConfigRequest& request, const char** answer,
                   std::initializer_list<TextSetting<Text>> settings, int* rc) {
    for (const TextSetting<Text>& s : settings) {
      if (!request.NameIs(s.name)) continue;
      *rc = request.is_read() ? SetConfigAnswer(s.field->c_str(), answer)
                              : s.field->SetText(request.value().c_str());
      return true;
    }
    return false;
  }

  // The class's Log event: classes that expose LogLevel override it to fire their event slot
  // (e.g. FireEvent(k, level, text, type)). The root has no Log event.
  virtual int FireLog(int level, const char* text, const char* type) { return 0; }

  // Fires event k to the sink, if any: code page first, then one pointer per argument. Texts
  // (char pointers) go as the text, "" for null; other pointers are the caller's own answer
  // variables; every other argument is passed as a pointer to this call's copy of it. A byte
  // block goes as an EventBlock's text() and length().
  template <typename... Args>
  int FireEvent(int event, Args... args);

 private:
  template <typename T>
  static void* EventArgPointer(T& arg);

  int error_code_ = 0;
  int code_page_ = 0;
  ByteString error_text_;
  ByteString config_answer_;
  ShortString log_file_;
  bool log_to_file_ = false;
  uint32_t log_option_ = 0;
  int8_t charset_mode_ = 0;
  int log_level_ = kLogInfo;
  EventSink* event_sink_ = nullptr;
  int64_t instance_;
};

template <typename T>
void* ComponentBase::EventArgPointer(T& arg) {
  static_assert(!std::is_null_pointer_v<T>, "pass an empty text, not nullptr");
  if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
    return const_cast<char*>(arg != nullptr ? arg : "");
  } else if constexpr (std::is_pointer_v<T>) {
    static_assert(!std::is_const_v<std::remove_pointer_t<T>>,
                  "an answer parameter must be the caller's writable variable");
    return arg;
  } else {
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "events carry numbers and texts");
    return &arg;
  }
}

template <typename... Args>
int ComponentBase::FireEvent(int event, Args... args) {
  if (event_sink_ == nullptr) return 0;
  void* pointers[sizeof...(Args) + 1] = {EventArgPointer(args)..., nullptr};
  event_sink_->SetCodePage(GetCodePage());
  event_sink_->Fire(event, std::span<void* const>(pointers, sizeof...(Args)));
  return 0;
}

}  // namespace tw
