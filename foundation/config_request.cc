#include "foundation/config_request.h"

#include <cstring>

#include "foundation/text_conversion.h"

namespace tw {

namespace {

// Sets out to the n bytes at p without the blanks at both ends (only " ", not tabs or CR LF).
int SetTrimmedBlanks(ByteString& out, const char* p, int n) {
  int from = 0;
  while (from < n && p[from] == ' ') ++from;
  while (n > from && p[n - 1] == ' ') --n;
  return out.Set(p + from, n - from);
}

// Optional sign, then digits up to the first one that does not belong. Arithmetic is done
// unsigned so an over-long number wraps instead of overflowing.
template <typename Unsigned>
Unsigned ReadNumber(const char* p, unsigned base) {
  if (p == nullptr) return 0;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  Unsigned v = 0;
  for (;; ++p) {
    unsigned c = static_cast<unsigned char>(*p);
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    v = static_cast<Unsigned>(v * base + digit);
  }
  return negative ? static_cast<Unsigned>(Unsigned{0} - v) : v;
}

template <typename Unsigned>
Unsigned ReadValue(const char* v) {
  if (v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) return ReadNumber<Unsigned>(v + 2, 16);
  return ReadNumber<Unsigned>(v, 10);
}

}  // namespace

// Grammar: the name runs to the first "="; outside brackets "[" or "(" opens an index that "]"
// or ")" closes, and characters after the closing bracket join the name again. Without "=" the
// text is a read and the name is kept exactly as written, so " Key" is not "Key".
int ConfigRequest::Parse(const char* text) {
  name_.Reset();
  value_.Reset();
  index_text_.Reset();
  index_ = -1;
  is_read_ = false;
  recorder_ = nullptr;
  if (text == nullptr) return kOk;

  const char* p = text;
  bool in_index = false;
  const char* index_start = nullptr;
  const char* run = p;  // start of the pending run of name characters
  int rc = kOk;
  for (; *p != 0 && *p != '='; ++p) {
    if (!in_index) {
      if (*p == '[' || *p == '(') {
        rc = name_.Append(run, static_cast<int>(p - run));
        if (rc != kOk) return rc;
        in_index = true;
        index_start = p + 1;
      }
    } else if (*p == ']' || *p == ')') {
      rc = SetTrimmedBlanks(index_text_, index_start, static_cast<int>(p - index_start));
      if (rc != kOk) return rc;
      index_ = static_cast<int32_t>(ReadNumber<uint32_t>(index_text_.c_str(), 10));
      in_index = false;
      run = p + 1;
    }
  }
  // An index left open by "=" or the end of the text is dropped.
  if (!in_index) {
    rc = name_.Append(run, static_cast<int>(p - run));
    if (rc != kOk) return rc;
  }

  if (*p == 0) {
    is_read_ = true;
    return kOk;
  }
  ++p;  // past "="
  if (*p == 0) return kOk;

  // A real write: trim the name and the value; one pair of surrounding quotes is dropped.
  {
    const char* name = name_.c_str();
    int end = name_.length();
    int start = 0;
    while (start < end && name[start] == ' ') ++start;
    while (end > start && name[end - 1] == ' ') --end;
    rc = name_.Resize(end);  // shrinking: no allocation
    if (rc != kOk) return rc;
    name_.EraseFront(start);
  }
  const char* value = p;
  int n = static_cast<int>(std::strlen(value));
  int from = 0;
  while (from < n && value[from] == ' ') ++from;
  while (n > from && value[n - 1] == ' ') --n;
  if (from < n && value[from] == '"') {
    ++from;
    if (n > from && value[n - 1] == '"') --n;
  }
  return value_.Set(value + from, n - from);
}

void ConfigRequest::StartRecording(bool read, NameRecorder recorder, void* context) {
  Parse(nullptr);
  is_read_ = read;
  recorder_ = recorder;
  recorder_context_ = context;
}

bool ConfigRequest::NameIs(const char* key) const {
  if (key == nullptr) return false;
  if (recorder_ != nullptr) {
    recorder_(recorder_context_, key);
    return false;
  }
  if (static_cast<size_t>(name_.length()) != std::strlen(key)) return false;
  return EqualsNoCase(name_.c_str(), key);
}

int32_t ConfigRequest::ValueAsInt() const {
  return static_cast<int32_t>(ReadValue<uint32_t>(value_.c_str()));
}

int64_t ConfigRequest::ValueAsInt64() const {
  return static_cast<int64_t>(ReadValue<uint64_t>(value_.c_str()));
}

bool ConfigRequest::ValueAsBool() const {
  const char* v = value_.c_str();
  if (value_.length() != static_cast<int>(std::strlen(v))) return false;  // embedded NUL
  return EqualsNoCase(v, "TRUE") || EqualsNoCase(v, "yes") || std::strcmp(v, "1") == 0;
}

}  // namespace tw
