#include "control/automation_values.h"

#include <cstring>

#include "platform/codepage.h"
#include "platform/last_error.h"
#include "platform/safearray.h"

namespace tw {

namespace {

using win::VARIANT;

// The VARIANT a by-reference VARIANT points at.
const VARIANT& Deref(const VARIANT& v) {
  if (v.vt == (win::VT_BYREF | win::VT_VARIANT) && v.pvarVal != nullptr) return *v.pvarVal;
  return v;
}

bool IsWholeNumberType(win::VARTYPE vt) {
  switch (vt) {
    case win::VT_I1: case win::VT_UI1: case win::VT_I2: case win::VT_UI2: case win::VT_I4:
    case win::VT_UI4: case win::VT_I8: case win::VT_UI8: case win::VT_INT: case win::VT_UINT:
      return true;
    default:
      return false;
  }
}

// The low byte of a whole-number element.
bool LowByte(const VARIANT& element, uint8_t* out) {
  const VARIANT& v = Deref(element);
  bool by_ref = (v.vt & win::VT_BYREF) != 0;
  win::VARTYPE type = v.vt & ~win::VT_BYREF;
  if (!IsWholeNumberType(type)) return false;
  if (by_ref && v.byref == nullptr) return false;
  // Every whole-number member starts at the same address; little-endian: the first byte is low.
  *out = by_ref ? *static_cast<const uint8_t*>(v.byref) : v.bVal;
  return true;
}

}  // namespace

win::HRESULT BstrFromBytes(const void* bytes, int n, int code_page, win::BSTR* out) {
  *out = nullptr;
  const char* text = static_cast<const char*>(bytes);
  if (text != nullptr && n < 0) n = static_cast<int>(std::strlen(text));
  if (text == nullptr || n <= 0) {
    *out = win::SysAllocStringLen(u"", 0);
    return *out != nullptr ? win::S_OK : win::E_OUTOFMEMORY;
  }
  const unsigned cp = static_cast<unsigned>(code_page);
  // One pass in the common case: no code page gives more UTF-16 units than it has bytes, so a
  // string of n characters holds the result (event texts can be whole received pieces).
  win::BSTR s = win::SysAllocStringLen(nullptr, static_cast<win::UINT>(n));
  if (s == nullptr) return win::E_OUTOFMEMORY;
  int wide = win::MultiByteToWideChar(cp, 0, text, n, s, n);
  if (wide > 0 && wide < n) {
    win::SysReAllocStringLen(&s, s, static_cast<win::UINT>(wide));  // cut in place
  } else if (wide <= 0) {
    win::SysFreeString(s);
    if (win::GetLastError() != win::ERROR_INSUFFICIENT_BUFFER) {
      return win::HResultOf(0x80070000u | (win::GetLastError() & 0xFFFF));
    }
    wide = win::MultiByteToWideChar(cp, 0, text, n, nullptr, 0);
    if (wide <= 0) return win::HResultOf(0x80070000u | (win::GetLastError() & 0xFFFF));
    s = win::SysAllocStringLen(nullptr, static_cast<win::UINT>(wide));
    if (s == nullptr) return win::E_OUTOFMEMORY;
    win::MultiByteToWideChar(cp, 0, text, n, s, wide);
  }
  *out = s;
  return win::S_OK;
}

int BytesFromBstr(win::BSTR text, int code_page, bool exact, ByteString& out) {
  out.Reset();
  if (text == nullptr) return 0;
  int length = static_cast<int>(win::SysStringLen(text));
  if (!exact) {
    int k = 0;
    while (k < length && text[k] != 0) ++k;
    length = k;
  }
  if (length == 0) return 0;
  unsigned cp = static_cast<unsigned>(code_page);
  int n = win::WideCharToMultiByte(cp, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return 0;  // nothing representable: an empty text
  if (out.Resize(n) != 0) return kErrOutOfMemory;
  win::WideCharToMultiByte(cp, 0, text, length, out.data(), n, nullptr,
                           nullptr);
  return 0;
}

void DecimalFromInt64(int64_t value, VARIANT* out) {
  win::VariantInit(out);
  out->vt = win::VT_DECIMAL;
  out->decVal.scale = 0;
  out->decVal.Hi32 = 0;
  out->decVal.sign = value < 0 ? win::DECIMAL_NEG : 0;
  // The magnitude of INT64_MIN does not fit int64_t; computed unsigned.
  out->decVal.Lo64 = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

win::HRESULT Int64FromVariant(const VARIANT& value, int64_t* out) {
  *out = 0;
  win::Variant copy;
  win::HRESULT hr = win::VariantCopy(&copy, &value);
  if (hr != win::S_OK) return hr;
  hr = win::VariantChangeType(&copy, &copy, 0, win::VT_DECIMAL);
  if (hr != win::S_OK) return hr;
  const win::DECIMAL& d = copy.decVal;
  if (d.scale != 0 || d.Hi32 != 0) return win::DISP_E_OVERFLOW;  // a fraction rounds away below
  bool negative = (d.sign & win::DECIMAL_NEG) != 0;
  if (!negative && d.Lo64 > static_cast<uint64_t>(INT64_MAX)) return win::DISP_E_OVERFLOW;
  if (negative && d.Lo64 > static_cast<uint64_t>(INT64_MAX) + 1) return win::DISP_E_OVERFLOW;
  *out = negative ? static_cast<int64_t>(0 - d.Lo64) : static_cast<int64_t>(d.Lo64);
  return win::S_OK;
}

win::HRESULT ByteArrayFromBytes(const void* bytes, int n, VARIANT* out) {
  win::VariantInit(out);
  if (bytes == nullptr || n <= 0) return win::S_OK;
  win::SAFEARRAY* array = win::SafeArrayCreateVector(win::VT_UI1, 0, static_cast<win::ULONG>(n));
  if (array == nullptr) return win::E_OUTOFMEMORY;
  void* data = nullptr;
  if (win::SafeArrayAccessData(array, &data) != win::S_OK) {
    win::SafeArrayDestroy(array);
    return win::E_OUTOFMEMORY;
  }
  std::memcpy(data, bytes, static_cast<size_t>(n));
  win::SafeArrayUnaccessData(array);
  out->vt = win::VT_ARRAY | win::VT_UI1;
  out->parray = array;
  return win::S_OK;
}

int BytesFromByteArray(const VARIANT& value, ByteString& out) {
  out.Reset();
  const VARIANT& v = Deref(value);
  if ((v.vt & win::VT_ARRAY) == 0) return kByteArrayRefused;
  win::SAFEARRAY* array = (v.vt & win::VT_BYREF) != 0
                              ? (v.pparray != nullptr ? *v.pparray : nullptr)
                              : v.parray;
  if (array == nullptr || win::SafeArrayGetDim(array) != 1) return kByteArrayRefused;
  win::VARTYPE element = v.vt & win::VT_TYPEMASK;
  win::LONG lower = 0;
  win::LONG upper = -1;
  win::SafeArrayGetLBound(array, 1, &lower);
  win::SafeArrayGetUBound(array, 1, &upper);
  int64_t count = static_cast<int64_t>(upper) - lower + 1;
  if (count <= 0) return 0;
  if (count > INT32_MAX) return kErrOutOfMemory;

  if (element == win::VT_UI1 || element == win::VT_I1) {
    void* data = nullptr;
    if (win::SafeArrayAccessData(array, &data) != win::S_OK) return kByteArrayRefused;
    int rc = out.Append(data, static_cast<int>(count)) == 0 ? 0 : kErrOutOfMemory;
    win::SafeArrayUnaccessData(array);
    return rc;
  }
  if (element != win::VT_VARIANT) return kByteArrayRefused;
  if (out.Resize(static_cast<int>(count)) != 0) return kErrOutOfMemory;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(out.data());
  for (int64_t k = 0; k < count; ++k) {
    win::LONG index = static_cast<win::LONG>(lower + k);
    win::Variant item;
    if (win::SafeArrayGetElement(array, &index, &item) != win::S_OK || !LowByte(item, &bytes[k])) {
      out.Reset();
      return kByteArrayRefused;
    }
  }
  return 0;
}

}  // namespace tw
