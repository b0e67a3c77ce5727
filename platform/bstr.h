// BSTR: UTF-16 text after a 32-bit byte length, always followed by a NUL character that the length
// does not count. The pointer is to the text; the length sits in the four bytes before it. A null
// BSTR is an empty string everywhere. Embedded NULs are part of the string.
//
// The memory comes from the process heap (heap.h), so a BSTR made by a server library is freed by
// its caller, and a test can make any allocation fail.
#pragma once

#include <string>
#include <string_view>

#include "platform/com_types.h"

namespace win {

using BSTR = char16_t*;

// Copies up to the first NUL; null for a null text.
BSTR SysAllocString(const OLECHAR* text);
// `length` characters from `text` (or that many zero characters when text is null).
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// `length` bytes from `bytes` (zeroes when null); an odd length leaves half a character, which
// SysStringLen does not count.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replace *target with a new copy and free the old one; FALSE (target unchanged) on failure.
INT SysReAllocString(BSTR* target, const OLECHAR* text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// Length in characters / in bytes; 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// Owns one BSTR.
class BStr {
 public:
  BStr() = default;
  explicit BStr(std::u16string_view text) : s_(SysAllocStringLen(text.data(), Len(text))) {}
  ~BStr() { SysFreeString(s_); }
  BStr(BStr&& o) noexcept : s_(o.Detach()) {}
  BStr& operator=(BStr&& o) noexcept {
    if (this != &o) Attach(o.Detach());
    return *this;
  }
  BStr(const BStr&) = delete;
  BStr& operator=(const BStr&) = delete;

  BSTR Get() const { return s_; }
  // Frees the held string and gives the slot for an out-parameter.
  BSTR* Put() {
    Attach(nullptr);
    return &s_;
  }
  void Attach(BSTR s) {
    SysFreeString(s_);
    s_ = s;
  }
  BSTR Detach() {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }
  UINT Length() const { return SysStringLen(s_); }
  std::u16string_view View() const { return {s_ == nullptr ? u"" : s_, SysStringLen(s_)}; }

 private:
  static UINT Len(std::u16string_view t) { return static_cast<UINT>(t.size()); }
  BSTR s_ = nullptr;
};

}  // namespace win
