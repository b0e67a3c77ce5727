// Conversions between the control's Automation values and the blob client's byte texts and
// numbers: texts in a code page, 64-bit numbers as VT_DECIMAL, byte arrays as SAFEARRAYs.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "platform/variant.h"

namespace tw {

// A new BSTR from `n` bytes in `code_page` (n < 0: up to the first NUL). Null or empty bytes give
// an empty BSTR. S_OK; E_OUTOFMEMORY; or 0x80070000 | the platform error when bytes convert to
// no characters. *out is null on failure.
win::HRESULT BstrFromBytes(const void* bytes, int n, int code_page, win::BSTR* out);

// The bytes of a BSTR in `code_page`. exact == false: up to the first NUL of the BSTR (the text a
// setter stores); exact == true: every character, NULs included. A null BSTR gives an empty text.
// 0, or 200 (out of memory).
int BytesFromBstr(win::BSTR text, int code_page, bool exact, ByteString& out);

// A VT_DECIMAL VARIANT with the value's sign and magnitude (scale 0).
void DecimalFromInt64(int64_t value, win::VARIANT* out);

// The signed 64-bit value of any VARIANT that VariantChangeType turns into a whole decimal
// (numbers, numeric texts, booleans; by reference too). S_OK; the copy's failure;
// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW when the value is no number or outside 64 bits.
win::HRESULT Int64FromVariant(const win::VARIANT& value, int64_t* out);

// A VARIANT holding a one-dimensional SAFEARRAY of VT_UI1 (lower bound 0) with the bytes; VT_EMPTY
// for none. S_OK or E_OUTOFMEMORY.
win::HRESULT ByteArrayFromBytes(const void* bytes, int n, win::VARIANT* out);

// The bytes of a one-dimensional array of VT_UI1 / VT_I1, or of VARIANTs holding numbers (the low
// byte of each), given by value or by reference. 0 with the bytes; kByteArrayRefused for any other
// VARIANT (no array, more dimensions, other element types); 200 out of memory.
inline constexpr int kByteArrayRefused = -2;
int BytesFromByteArray(const win::VARIANT& value, ByteString& out);

}  // namespace tw
