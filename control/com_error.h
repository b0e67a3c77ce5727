// The control's failures as COM results: a component's result code becomes an HRESULT of the
// control's range (0x800A....) with the thread's error information (description, source, help
// file and help context).
#pragma once

#include "blob/blob_client.h"
#include "platform/com_types.h"

namespace tw {

// The fixed failures of the COM side.
inline constexpr char kComErrRuntimeOnly[] =
    "Property is runtime only (no supported in design time).";
inline constexpr char kComErrInvalidIndex[] = "Invalid array index.";
inline constexpr char kComErrReadOnly[] = "Property is read-only.";
inline constexpr char kComErrByteArrayOnly[] = "Property accepts only one-dimensional byte arrays.";
inline constexpr char kComErrOutOfRange[] = "Value is out of range.";
inline constexpr char kComErrOutOfMemory[] = "Out of memory.";

inline constexpr win::HRESULT kHrRuntimeOnly = win::HResultOf(0x800A018A);
inline constexpr win::HRESULT kHrInvalidIndex = win::HResultOf(0x800A017D);
inline constexpr win::HRESULT kHrReadOnly = win::HResultOf(0x800A017F);
inline constexpr win::HRESULT kHrBadValue = win::HResultOf(0x800A017C);  // range and byte arrays
inline constexpr win::HRESULT kHrOutOfMemory = win::HResultOf(0x800A0007);

// The HRESULT of a component code: 0x800A0000 | (code + 20001) up to 10000, | (code + 15001)
// above. An offset that would reach the facility bits is clamped into the low word.
win::HRESULT ComErrorHResult(int code);

// S_OK for 0. Otherwise sets the thread's error information from `client`'s last error text
// (filled first with the standard text of the code when empty) and returns ComErrorHResult(code);
// code 200 reports "Out of memory." without help. Help context 0 attaches no help file.
win::HRESULT ReportComError(BlobClient& client, int code, win::DWORD help_context);

// Sets the thread's error information (description in the thread's ANSI code page, source the
// control's ProgID) and returns `hr`; E_OUTOFMEMORY when the texts cannot be made.
win::HRESULT ReportComErrorText(const char* description, win::DWORD help_context, win::HRESULT hr);

}  // namespace tw
