// SAFEARRAY: a self-describing array of Automation values with per-dimension bounds.
//
// Dimensions are numbered from 1 (the leftmost, which varies fastest in memory). The descriptor's
// rgsabound holds them in reverse (rgsabound[0] is the rightmost), and an index vector given to
// SafeArrayGetElement/PutElement is in that same order. The element type is kept with the
// descriptor (SafeArrayGetVartype). Arrays of BSTR, VARIANT, IUnknown and IDispatch own their
// elements: destroying the array frees them.
#pragma once

#include "platform/com_types.h"
#include "platform/variant.h"

namespace win {

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];  // cDims entries
};

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

// `bounds` lists the dimensions leftmost first. Elements start zeroed (VT_EMPTY for VARIANT).
// Null for an unsupported type, no dimensions, or a size that does not fit in memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG elements);
// Frees the elements and the array; DISP_E_ARRAYISLOCKED while locked. Null is S_OK.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
// A deep copy (strings duplicated, variants copied, interfaces referenced).
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);  // E_UNEXPECTED when not locked
// Locks the array and gives its data.
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
// Dimension 1..cDims; DISP_E_BADINDEX otherwise.
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
// Copies one element out (a BSTR or VARIANT is duplicated, an interface referenced) or in (the old
// element is freed). DISP_E_BADINDEX for an index outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value);
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);
// Changes the element count of the rightmost dimension (new elements zeroed, dropped ones freed).
HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* bound);

}  // namespace win
