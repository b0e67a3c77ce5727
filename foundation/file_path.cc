#include "foundation/file_path.h"

#include <climits>
#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace tw {
namespace {

bool HasHighByte(const char* text) {
  for (const char* p = text; *p != 0; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return true;
  }
  return false;
}

// UTF-16 to UTF-8 into out; false when the text has no UTF-8 form (lone surrogates).
bool NarrowUtf8(const char16_t* wide, int chars, ByteString& out) {
  if (chars == 0) return out.Set("", 0) == kOk;
  int n = win::WideCharToMultiByte(win::CP_UTF8, win::WC_ERR_INVALID_CHARS, wide, chars, nullptr,
                                   0, nullptr, nullptr);
  if (n <= 0 || out.Resize(n) != kOk) return false;
  return win::WideCharToMultiByte(win::CP_UTF8, win::WC_ERR_INVALID_CHARS, wide, chars,
                                  out.data(), n, nullptr, nullptr) == n;
}

}  // namespace

int WidenName(const char* name, unsigned cp, ByteString& wide) {
  size_t len = std::strlen(name);
  if (len > static_cast<size_t>(INT_MAX / 4)) return kErrTextConversion;
  if (len == 0) {
    static const char16_t kEmpty = 0;
    return wide.Set(&kEmpty, sizeof kEmpty);
  }
  // -1 converts the NUL too, so the count includes it.
  int chars = win::MultiByteToWideChar(cp, win::MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (chars <= 0) return kErrTextConversion;
  int rc = wide.Resize(chars * 2);
  if (rc != kOk) return rc;
  char16_t* out = reinterpret_cast<char16_t*>(wide.data());
  if (win::MultiByteToWideChar(cp, win::MB_ERR_INVALID_CHARS, name, -1, out, chars) != chars) {
    wide.Reset();
    return kErrTextConversion;
  }
  return kOk;
}

bool Utf8PathToWide(const char* name, ByteString& wide) {
  if (name == nullptr || !HasHighByte(name)) return false;
  ByteString candidate;
  if (WidenName(name, win::CP_UTF8, candidate) != kOk) return false;
  ByteString back;
  int chars = candidate.length() / 2 - 1;
  if (!NarrowUtf8(candidate.wide(), chars, back)) return false;
  if (back.length() != static_cast<int>(std::strlen(name)) ||
      std::memcmp(back.data(), name, static_cast<size_t>(back.length())) != 0) {
    return false;
  }
  return wide.Assign(candidate) == kOk;
}

int FilePath::SetWide(const char16_t* name) {
  size_t chars = name != nullptr ? std::char_traits<char16_t>::length(name) : 0;
  if (chars > static_cast<size_t>(INT_MAX / 2 - 1)) return kErrOutOfMemory;
  static const char16_t kEmpty = 0;
  int rc = wide_.Set(name != nullptr ? name : &kEmpty, static_cast<int>((chars + 1) * 2));
  if (rc != kOk) return rc;
  narrow_.Reset();
  utf8_.Reset();
  utf8_made_ = false;
  is_wide_ = true;
  return kOk;
}

int FilePath::SetNarrow(const char* name) {
  int rc = narrow_.SetText(name != nullptr ? name : "");
  if (rc != kOk) return rc;
  wide_.Reset();
  utf8_.Reset();
  utf8_made_ = false;
  is_wide_ = false;
  return kOk;
}

int FilePath::SetText(const char* name, unsigned cp) {
  if (name == nullptr) name = "";
  ByteString wide;
  if (cp != 0) {
    int rc = WidenName(name, cp, wide);
    if (rc != kOk) return rc;
  } else if (!Utf8PathToWide(name, wide)) {
    return SetNarrow(name);
  }
  wide_.Reset();
  int rc = wide_.Assign(wide);
  if (rc != kOk) return rc;
  narrow_.Reset();
  utf8_.Reset();
  utf8_made_ = false;
  is_wide_ = true;
  return kOk;
}

const char* FilePath::Utf8() const {
  if (!is_wide_) return narrow_.c_str();
  if (!utf8_made_) {
    if (!NarrowUtf8(wide(), Length(), utf8_)) utf8_.Reset();
    utf8_made_ = true;
  }
  return utf8_.c_str();
}

int FilePath::Length() const {
  if (!is_wide_) return narrow_.length();
  return wide_.length() >= 2 ? wide_.length() / 2 - 1 : 0;
}

int NormalizeSlashes(const char* text, ByteString& out) {
  int rc = out.SetText(text != nullptr ? text : "");
  if (rc != kOk) return rc;
  char* p = out.data();
  for (int i = 0; i < out.length(); ++i) {
    if (p[i] == '/') p[i] = '\\';
  }
  return kOk;
}

bool EndsWithPathSeparator(const ByteString& text) {
  if (text.empty()) return false;
  char last = text.data()[text.length() - 1];
  return last == '/' || last == '\\';
}

}  // namespace tw
