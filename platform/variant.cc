#include "platform/variant.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/automation.h"
#include "platform/safearray.h"

namespace win {
namespace {

using Uint128 = unsigned __int128;
using Int128 = __int128;

constexpr int kMaxScale = 28;
constexpr Uint128 kMaxMagnitude = (Uint128{1} << 96) - 1;
constexpr int kCurrencyScale = 4;
constexpr double kDecimalLimit = 79228162514264337593543950335.0;  // 2^96 - 1
constexpr int kDoubleDigits = 15;  // significant digits of a double written as text
constexpr int kFloatDigits = 7;

constexpr char16_t kTrue[] = u"True";
constexpr char16_t kFalse[] = u"False";

Uint128 Pow10(int n) {
  Uint128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

// A number on its way between two types: exact (sign, magnitude, decimal scale) or a double.
struct Number {
  bool is_float = false;
  double f = 0;
  bool negative = false;
  Uint128 magnitude = 0;
  int scale = 0;
  bool from_bool = false;  // VARIANT_TRUE becomes all ones in an unsigned target
};

Number FromSigned(int64_t v) {
  Number n;
  n.negative = v < 0;
  n.magnitude =
      v < 0 ? Uint128(0) - static_cast<Uint128>(static_cast<Int128>(v)) : static_cast<Uint128>(v);
  return n;
}

Number FromUnsigned(uint64_t v) {
  Number n;
  n.magnitude = v;
  return n;
}

Number FromDouble(double d) {
  Number n;
  n.is_float = true;
  n.f = d;
  return n;
}

bool IsZero(const Number& n) { return n.is_float ? n.f == 0 : n.magnitude == 0; }

double ToDouble(const Number& n) {
  if (n.is_float) return n.f;
  long double v = static_cast<long double>(n.magnitude);
  if (n.scale > 0) v /= static_cast<long double>(Pow10(n.scale));
  return static_cast<double>(n.negative ? -v : v);
}

// Rounds to an integer, halves to even. False when the value does not fit in 128 bits.
bool ToInteger(const Number& n, Int128* out) {
  if (n.is_float) {
    if (!std::isfinite(n.f) || std::fabs(n.f) > 1e30) return false;
    double r = std::nearbyint(n.f);  // the default rounding mode: halves to even
    *out = static_cast<Int128>(r);
    return true;
  }
  Uint128 q = n.magnitude;
  if (n.scale > 0) {
    Uint128 p = Pow10(n.scale);
    Uint128 rem = q % p;
    q /= p;
    Uint128 half = p / 2;
    if (rem > half || (rem == half && (q & 1) != 0)) ++q;
  }
  *out = n.negative ? -static_cast<Int128>(q) : static_cast<Int128>(q);
  return true;
}

// Brings an exact number within DECIMAL's limits, dropping fraction digits with rounding.
bool FitDecimal(Number& n) {
  while (n.scale > kMaxScale || (n.magnitude > kMaxMagnitude && n.scale > 0)) {
    Uint128 rem = n.magnitude % 10;
    n.magnitude /= 10;
    --n.scale;
    if (rem > 5 || (rem == 5 && (n.magnitude & 1) != 0)) ++n.magnitude;
  }
  while (n.scale < 0) {
    if (n.magnitude > kMaxMagnitude / 10) return false;
    n.magnitude *= 10;
    ++n.scale;
  }
  return n.magnitude <= kMaxMagnitude;
}

// ---- Text to number ----

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0xA0;
}

std::u16string_view Trimmed(BSTR s) {
  std::u16string_view v(s == nullptr ? u"" : s, SysStringLen(s));
  size_t nul = v.find(u'\0');
  if (nul != std::u16string_view::npos) v = v.substr(0, nul);
  while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
  while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
  return v;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'a' && a[i] <= u'z' ? static_cast<char16_t>(a[i] - 32) : a[i];
    char16_t y = b[i] >= u'a' && b[i] <= u'z' ? static_cast<char16_t>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

HRESULT ParseNumber(BSTR s, Number* out) {
  std::u16string_view v = Trimmed(s);
  Number n;
  size_t i = 0;
  if (i < v.size() && (v[i] == u'+' || v[i] == u'-')) {
    n.negative = v[i] == u'-';
    ++i;
    while (i < v.size() && IsBlank(v[i])) ++i;
  }
  if (i + 1 < v.size() && v[i] == u'&' &&
      (v[i + 1] == u'H' || v[i + 1] == u'h' || v[i + 1] == u'O' || v[i + 1] == u'o')) {
    int base = (v[i + 1] == u'H' || v[i + 1] == u'h') ? 16 : 8;
    i += 2;
    if (i == v.size()) return DISP_E_TYPEMISMATCH;
    for (; i < v.size(); ++i) {
      int d = guid_detail::HexValue(v[i] < 0x80 ? static_cast<char>(v[i]) : '?');
      if (d < 0 || d >= base) return DISP_E_TYPEMISMATCH;
      n.magnitude = n.magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
      if (n.magnitude > kMaxMagnitude) return DISP_E_OVERFLOW;
    }
    *out = n;
    return S_OK;
  }
  // Digits go into the exact form while they fit; beyond that the double form takes over.
  std::string ascii = n.negative ? "-" : "";
  int digits = 0;
  int dropped_int_digits = 0;
  bool seen_point = false;
  bool exact = true;
  for (; i < v.size(); ++i) {
    char16_t c = v[i];
    if (c >= u'0' && c <= u'9') {
      ascii += static_cast<char>(c);
      ++digits;
      if (n.magnitude <= (kMaxMagnitude - 9) / 10) {
        n.magnitude = n.magnitude * 10 + static_cast<unsigned>(c - u'0');
        if (seen_point) ++n.scale;
      } else if (!seen_point) {
        ++dropped_int_digits;
        exact = false;
      }
    } else if (c == u'.' && !seen_point) {
      ascii += '.';
      seen_point = true;
    } else if (c == u',' && !seen_point && digits > 0) {
      continue;  // thousands separator
    } else {
      break;
    }
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  int exponent = 0;
  if (i < v.size() && (v[i] == u'e' || v[i] == u'E')) {
    ++i;
    bool exp_negative = false;
    if (i < v.size() && (v[i] == u'+' || v[i] == u'-')) exp_negative = v[i++] == u'-';
    int exp_digits = 0;
    for (; i < v.size() && v[i] >= u'0' && v[i] <= u'9'; ++i) {
      if (exponent < 100000) exponent = exponent * 10 + (v[i] - u'0');
      ++exp_digits;
    }
    if (exp_digits == 0) return DISP_E_TYPEMISMATCH;
    if (exp_negative) exponent = -exponent;
    ascii += 'e';
    ascii += std::to_string(exponent);
  }
  if (i != v.size()) return DISP_E_TYPEMISMATCH;
  n.scale -= exponent;
  if (exact && n.scale < 0) {
    while (n.scale < 0 && n.magnitude <= kMaxMagnitude / 10) {
      n.magnitude *= 10;
      ++n.scale;
    }
    exact = n.scale >= 0;
  }
  if (exact && n.scale > kMaxScale) exact = FitDecimal(n);
  if (!exact || dropped_int_digits > 0) {
    double d = std::strtod(ascii.c_str(), nullptr);
    if (!std::isfinite(d)) return DISP_E_OVERFLOW;
    *out = FromDouble(d);
    return S_OK;
  }
  *out = n;
  return S_OK;
}

// ---- Number to text ----

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string DigitsOf(Uint128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return s;
}

// Exact decimal text without trailing fraction zeros.
std::string ExactText(bool negative, Uint128 magnitude, int scale) {
  std::string digits = DigitsOf(magnitude);
  if (scale > 0) {
    if (digits.size() <= static_cast<size_t>(scale)) {
      digits.insert(0, static_cast<size_t>(scale) - digits.size() + 1, '0');
    }
    digits.insert(digits.size() - static_cast<size_t>(scale), 1, '.');
    while (digits.back() == '0') digits.pop_back();
    if (digits.back() == '.') digits.pop_back();
  }
  if (negative && magnitude != 0) digits.insert(0, 1, '-');
  return digits;
}

std::string FloatText(double d, int significant) {
  if (d == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", significant, d);
  return buf;
}

// ---- Reading a source value ----

HRESULT ReadNumber(const VARIANT& v, Number* out) {
  switch (v.vt) {
    case VT_EMPTY: *out = Number(); return S_OK;
    case VT_I1: *out = FromSigned(static_cast<int8_t>(v.cVal)); return S_OK;
    case VT_I2: *out = FromSigned(v.iVal); return S_OK;
    case VT_I4: *out = FromSigned(v.lVal); return S_OK;
    case VT_INT: *out = FromSigned(v.intVal); return S_OK;
    case VT_I8: *out = FromSigned(v.llVal); return S_OK;
    case VT_UI1: *out = FromUnsigned(v.bVal); return S_OK;
    case VT_UI2: *out = FromUnsigned(v.uiVal); return S_OK;
    case VT_UI4: *out = FromUnsigned(v.ulVal); return S_OK;
    case VT_UINT: *out = FromUnsigned(v.uintVal); return S_OK;
    case VT_UI8: *out = FromUnsigned(v.ullVal); return S_OK;
    case VT_BOOL:
      *out = FromSigned(v.boolVal);
      out->from_bool = true;
      return S_OK;
    case VT_R4: *out = FromDouble(v.fltVal); return S_OK;
    case VT_R8: *out = FromDouble(v.dblVal); return S_OK;
    case VT_DATE: *out = FromDouble(v.date); return S_OK;
    case VT_CY:
      *out = FromSigned(v.cyVal.int64);
      out->scale = kCurrencyScale;
      return S_OK;
    case VT_DECIMAL: {
      if (v.decVal.scale > kMaxScale) return E_INVALIDARG;
      Number n;
      n.negative = (v.decVal.sign & DECIMAL_NEG) != 0;
      n.magnitude = (Uint128{v.decVal.Hi32} << 64) | v.decVal.Lo64;
      n.scale = v.decVal.scale;
      *out = n;
      return S_OK;
    }
    case VT_BSTR: return ParseNumber(v.bstrVal, out);
    default: return DISP_E_TYPEMISMATCH;
  }
}

// Writes an integer of the target type after a range check.
HRESULT StoreInteger(const Number& n, VARTYPE vt, VARIANT* out) {
  struct Range {
    VARTYPE vt;
    Int128 min;
    Int128 max;
  };
  static constexpr Range kRanges[] = {
      {VT_I1, INT8_MIN, INT8_MAX},    {VT_I2, INT16_MIN, INT16_MAX}, {VT_I4, INT32_MIN, INT32_MAX},
      {VT_INT, INT32_MIN, INT32_MAX}, {VT_I8, INT64_MIN, INT64_MAX}, {VT_UI1, 0, UINT8_MAX},
      {VT_UI2, 0, UINT16_MAX},        {VT_UI4, 0, UINT32_MAX},       {VT_UINT, 0, UINT32_MAX},
      {VT_UI8, 0, UINT64_MAX},
  };
  const Range* range = nullptr;
  for (const Range& r : kRanges) {
    if (r.vt == vt) range = &r;
  }
  if (range == nullptr) return DISP_E_BADVARTYPE;
  Int128 value = 0;
  if (n.from_bool && range->min == 0) {
    value = n.magnitude != 0 ? range->max : 0;  // VARIANT_TRUE is all bits set
  } else if (!ToInteger(n, &value) || value < range->min || value > range->max) {
    return DISP_E_OVERFLOW;
  }
  out->vt = vt;
  switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(static_cast<int8_t>(value)); break;
    case VT_I2: out->iVal = static_cast<SHORT>(value); break;
    case VT_I4: out->lVal = static_cast<LONG>(value); break;
    case VT_INT: out->intVal = static_cast<INT>(value); break;
    case VT_I8: out->llVal = static_cast<LONGLONG>(value); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(value); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(value); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(value); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(value); break;
    default: out->ullVal = static_cast<ULONGLONG>(value); break;
  }
  return S_OK;
}

HRESULT StoreDecimal(Number n, VARIANT* out) {
  if (n.is_float) {
    if (!std::isfinite(n.f) || std::fabs(n.f) >= kDecimalLimit) return DISP_E_OVERFLOW;
    // The double's shortest faithful digits, as its text form shows them.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", kDoubleDigits - 1, n.f);
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(std::strlen(buf)));
    if (text == nullptr) return E_OUTOFMEMORY;
    for (size_t i = 0; buf[i] != 0; ++i) text[i] = static_cast<char16_t>(buf[i]);
    HRESULT hr = ParseNumber(text, &n);
    SysFreeString(text);
    if (FAILED(hr)) return hr;
    if (n.is_float) return DISP_E_OVERFLOW;
    while (n.scale > 0 && n.magnitude % 10 == 0) {
      n.magnitude /= 10;
      --n.scale;
    }
  }
  if (!FitDecimal(n)) return DISP_E_OVERFLOW;
  out->vt = VT_DECIMAL;
  out->decVal.wReserved = 0;
  out->decVal.scale = static_cast<BYTE>(n.scale);
  out->decVal.sign = n.negative && n.magnitude != 0 ? DECIMAL_NEG : 0;
  out->decVal.Hi32 = static_cast<ULONG>(n.magnitude >> 64);
  out->decVal.Lo64 = static_cast<ULONGLONG>(n.magnitude);
  return S_OK;
}

HRESULT StoreCurrency(Number n, VARIANT* out) {
  Int128 value = 0;
  if (n.is_float) {
    n.f *= 10000;
  } else {
    n.scale -= kCurrencyScale;
    if (n.scale < 0) {
      if (n.magnitude > kMaxMagnitude) return DISP_E_OVERFLOW;
      n.magnitude *= Pow10(-n.scale);
      n.scale = 0;
    }
  }
  if (!ToInteger(n, &value) || value < INT64_MIN || value > INT64_MAX) return DISP_E_OVERFLOW;
  out->vt = VT_CY;
  out->cyVal.int64 = static_cast<LONGLONG>(value);
  return S_OK;
}

HRESULT StoreNumber(const Number& n, VARTYPE vt, VARIANT* out) {
  switch (vt) {
    case VT_R8:
    case VT_DATE: {
      double d = ToDouble(n);
      out->vt = vt;
      if (vt == VT_R8) {
        out->dblVal = d;
      } else {
        out->date = d;
      }
      return S_OK;
    }
    case VT_R4: {
      double d = ToDouble(n);
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->fltVal = static_cast<float>(d);
      return S_OK;
    }
    case VT_DECIMAL: return StoreDecimal(n, out);
    case VT_CY: return StoreCurrency(n, out);
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = IsZero(n) ? VARIANT_FALSE : VARIANT_TRUE;
      return S_OK;
    default: return StoreInteger(n, vt, out);
  }
}

HRESULT ToText(const VARIANT& v, USHORT flags, VARIANT* out) {
  std::u16string text;
  switch (v.vt) {
    case VT_EMPTY: break;
    case VT_BOOL:
      if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
        text = v.boolVal != 0 ? kTrue : kFalse;
      } else {
        text = v.boolVal != 0 ? u"-1" : u"0";
      }
      break;
    case VT_R4: text = Widen(FloatText(v.fltVal, kFloatDigits)); break;
    case VT_R8: text = Widen(FloatText(v.dblVal, kDoubleDigits)); break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
    case VT_CY:
    case VT_DECIMAL: {
      Number n;
      HRESULT hr = ReadNumber(v, &n);
      if (FAILED(hr)) return hr;
      text = Widen(ExactText(n.negative, n.magnitude, n.scale));
      break;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (s == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = s;
  return S_OK;
}

HRESULT TextToBool(BSTR s, VARIANT* out) {
  std::u16string_view v = Trimmed(s);
  if (EqualsNoCase(v, kTrue) || EqualsNoCase(v, kFalse)) {
    out->vt = VT_BOOL;
    out->boolVal = EqualsNoCase(v, kTrue) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  Number n;
  HRESULT hr = ParseNumber(s, &n);
  if (FAILED(hr)) return hr;
  return StoreNumber(n, VT_BOOL, out);
}

bool IsTargetType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
  }
}

// Element types a VARIANT may hold by value (and, with VT_BYREF, by reference).
bool IsValueType(VARTYPE vt) { return IsTargetType(vt); }

bool IsValidType(VARTYPE vt) {
  VARTYPE base = vt & VT_TYPEMASK;
  if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) return false;
  if ((vt & VT_ARRAY) != 0)
    return base != VT_EMPTY && base != VT_NULL && (IsValueType(base) || base == VT_VARIANT);
  if ((vt & VT_BYREF) != 0)
    return base == VT_VARIANT || (IsValueType(base) && base != VT_EMPTY && base != VT_NULL);
  return IsValueType(base);
}

// The value a by-reference variant points to, as a shallow by-value variant.
HRESULT Dereference(const VARIANT& v, VARIANT* out) {
  VARTYPE base = v.vt & ~VT_BYREF;
  if (v.byref == nullptr) return E_INVALIDARG;
  if (base == VT_VARIANT) {
    if ((v.pvarVal->vt & VT_BYREF) != 0) return E_INVALIDARG;
    *out = *v.pvarVal;
    return S_OK;
  }
  VariantInit(out);
  out->vt = base;
  if ((base & VT_ARRAY) != 0) {
    out->parray = *v.pparray;
    return S_OK;
  }
  switch (base) {
    case VT_I1:
    case VT_UI1: out->bVal = *v.pbVal; break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: out->iVal = *v.piVal; break;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4: std::memcpy(&out->lVal, v.byref, 4); break;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY: std::memcpy(&out->llVal, v.byref, 8); break;
    case VT_DECIMAL: out->decVal = *v.pdecVal; break;
    case VT_BSTR: out->bstrVal = *v.pbstrVal; break;
    case VT_UNKNOWN:
    case VT_DISPATCH: out->punkVal = *v.ppunkVal; break;
    default: return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

HRESULT Convert(const VARIANT& s, USHORT flags, VARTYPE vt, VARIANT* out, int depth);

// An object's default value (its DISPID_VALUE property), converted further.
HRESULT ConvertObject(IUnknown* unknown, USHORT flags, VARTYPE vt, VARIANT* out, int depth) {
  if (unknown == nullptr || (flags & VARIANT_NOVALUEPROP) != 0 || depth > 0)
    return DISP_E_TYPEMISMATCH;
  ComPtr<IDispatch> disp;
  if (FAILED(unknown->QueryInterface(IID_IDispatch, disp.PutVoid())) || !disp)
    return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant value;
  HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                            &none, &value, nullptr, nullptr);
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  return Convert(value, flags, vt, out, depth + 1);
}

HRESULT Convert(const VARIANT& s, USHORT flags, VARTYPE vt, VARIANT* out, int depth) {
  if (s.vt == vt) return VariantCopy(out, &s);
  if (vt == VT_EMPTY) return S_OK;
  if (s.vt == VT_NULL || vt == VT_NULL || vt == VT_ERROR || s.vt == VT_ERROR)
    return DISP_E_TYPEMISMATCH;
  if (((s.vt | vt) & VT_ARRAY) != 0) return DISP_E_TYPEMISMATCH;
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (s.vt != VT_UNKNOWN && s.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    out->punkVal = nullptr;
    if (s.punkVal == nullptr) return S_OK;
    HRESULT hr = s.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch,
                                           reinterpret_cast<void**>(&out->punkVal));
    if (FAILED(hr)) {
      out->vt = VT_EMPTY;
      out->punkVal = nullptr;
      return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
    }
    return S_OK;
  }
  if (s.vt == VT_DISPATCH || s.vt == VT_UNKNOWN)
    return ConvertObject(s.punkVal, flags, vt, out, depth);
  if (vt == VT_BSTR) return ToText(s, flags, out);
  if (vt == VT_BOOL && s.vt == VT_BSTR) return TextToBool(s.bstrVal, out);
  Number n;
  HRESULT hr = ReadNumber(s, &n);
  if (FAILED(hr)) return hr;
  return StoreNumber(n, vt, out);
}

}  // namespace

void VariantInit(VARIANT* v) {
  std::memset(static_cast<void*>(v), 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if (!IsValidType(v->vt) && v->vt != VT_EMPTY) return DISP_E_BADVARTYPE;
  if ((v->vt & VT_BYREF) == 0) {
    if ((v->vt & VT_ARRAY) != 0) {
      HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if ((v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) && v->punkVal != nullptr) {
      v->punkVal->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!IsValidType(src->vt) && src->vt != VT_EMPTY) return DISP_E_BADVARTYPE;
  VARIANT copy = *src;
  if ((src->vt & VT_BYREF) == 0) {
    if ((src->vt & VT_ARRAY) != 0) {
      copy.parray = nullptr;
      if (src->parray != nullptr) {
        HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
      copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                           SysStringByteLen(src->bstrVal));
      if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
      src->punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if ((src->vt & VT_BYREF) == 0) return VariantCopy(dest, src);
  if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT value;
  HRESULT hr = Dereference(*src, &value);
  if (FAILED(hr)) return hr;
  Variant copy;
  hr = VariantCopy(&copy, &value);
  if (FAILED(hr)) return hr;
  hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  *dest = copy;
  VariantInit(&copy);
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, USHORT flags, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!IsValidType(src->vt) && src->vt != VT_EMPTY) return DISP_E_BADVARTYPE;
  if ((vt & VT_BYREF) != 0 || !(IsTargetType(vt) || ((vt & VT_ARRAY) != 0 && IsValidType(vt)))) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT value = *src;
  if ((src->vt & VT_BYREF) != 0) {
    HRESULT hr = Dereference(*src, &value);
    if (FAILED(hr)) return hr;
  }
  Variant result;
  HRESULT hr = Convert(value, flags, vt, &result, 0);
  if (FAILED(hr)) return hr;
  hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  *dest = result;
  VariantInit(&result);
  return S_OK;
}

}  // namespace win
