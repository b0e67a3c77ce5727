// VARIANT: a typed value of OLE Automation, with the documented type numbers, and its copy, clear
// and conversion calls.
//
// VariantChangeType converts between the numeric types (I1, I2, I4, I8, UI1, UI2, UI4, UI8, INT,
// UINT, R4, R8, CY, DATE as a number, DECIMAL), BOOL, BSTR, EMPTY, and between the object types;
// it unwraps a by-reference source first. Integer targets round halves to even and fail with
// DISP_E_OVERFLOW out of range; a string that is no number fails with DISP_E_TYPEMISMATCH. A
// string is read up to its first NUL, as the conversion routines take a C string; numbers may
// have blanks around them, a sign, a fraction, an exponent, or be "&H" hexadecimal or "&O" octal.
// BOOL converts to -1 or 0, and to the string "-1"/"0" ("True"/"False" with VARIANT_ALPHABOOL);
// a string converts to BOOL from "True"/"False" (any case) or a number. DECIMAL keeps 96 bits of
// magnitude with a sign and a scale of 0 to 28, so every 64-bit integer round-trips exactly.
// On failure the destination is left as it was.
#pragma once

#include <cstdint>

#include "platform/bstr.h"
#include "platform/com_types.h"

namespace win {

class IDispatch;
struct SAFEARRAY;

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;
using FLOAT = float;
using DOUBLE = double;
using CHAR = char;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_INVARIANT = 0x007F;

// Currency: a 64-bit count of ten-thousandths.
struct CY {
  LONGLONG int64;
};

// value = (-1 if sign & DECIMAL_NEG) * (Hi32 * 2^64 + Lo64) / 10^scale, scale 0..28.
struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};
constexpr BYTE DECIMAL_NEG = 0x80;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    DECIMAL decVal;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    DECIMAL* pdecVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    void* byref;
  };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
// Frees what the variant owns (string, array, interface reference) and makes it VT_EMPTY.
// A by-reference variant owns nothing. DISP_E_BADVARTYPE for an unknown type (left unchanged),
// DISP_E_ARRAYISLOCKED for an array still locked.
HRESULT VariantClear(VARIANT* v);
// A deep copy: strings and arrays are duplicated, interfaces get a reference. `dest` is cleared
// first. By-reference variants are copied as references.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference source is copied as the value it points to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// dest may equal src (converted in place). See the top of this file.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt);

// Owns one VARIANT, cleared on destruction.
class Variant : public VARIANT {
 public:
  Variant() : VARIANT() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

}  // namespace win
