#include "platform/safearray.h"

#include <cstddef>
#include <cstring>

#include "platform/heap.h"

namespace win {
namespace {

// The element type sits in a header before the descriptor, as FADF_HAVEVARTYPE promises.
struct Header {
  VARTYPE vt;
  USHORT reserved1;
  ULONG reserved2;
};
constexpr size_t kHeaderBytes = sizeof(Header);
static_assert(kHeaderBytes % alignof(SAFEARRAY) == 0);

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE: return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN: return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
    default: return FADF_HAVEVARTYPE;
  }
}

Header* HeaderOf(SAFEARRAY* a) {
  return reinterpret_cast<Header*>(reinterpret_cast<unsigned char*>(a) - kHeaderBytes);
}

VARTYPE TypeOf(SAFEARRAY* a) { return HeaderOf(a)->vt; }

// Element count of all dimensions; false on overflow.
bool TotalElements(SAFEARRAY* a, size_t* total) {
  size_t n = 1;
  for (USHORT i = 0; i < a->cDims; ++i) {
    size_t c = a->rgsabound[i].cElements;
    if (c != 0 && n > SIZE_MAX / c) return false;
    n *= c;
  }
  *total = n;
  return true;
}

size_t ElementCount(SAFEARRAY* a) {
  size_t n = 0;
  TotalElements(a, &n);
  return n;
}

// Frees the owned contents of elements [first, first + count).
void FreeElements(SAFEARRAY* a, size_t first, size_t count) {
  auto* data = static_cast<unsigned char*>(a->pvData);
  if (data == nullptr) return;
  for (size_t i = first; i < first + count; ++i) {
    void* e = data + i * a->cbElements;
    if ((a->fFeatures & FADF_BSTR) != 0) {
      BSTR* s = static_cast<BSTR*>(e);
      SysFreeString(*s);
      *s = nullptr;
    } else if ((a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
      IUnknown** p = static_cast<IUnknown**>(e);
      if (*p != nullptr) (*p)->Release();
      *p = nullptr;
    } else if ((a->fFeatures & FADF_VARIANT) != 0) {
      VariantClear(static_cast<VARIANT*>(e));
    }
  }
}

// Copies one element into uninitialised storage.
HRESULT CopyElement(SAFEARRAY* a, const void* from, void* to) {
  if ((a->fFeatures & FADF_BSTR) != 0) {
    BSTR s = *static_cast<const BSTR*>(from);
    BSTR copy = nullptr;
    if (s != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(s), SysStringByteLen(s));
      if (copy == nullptr) return E_OUTOFMEMORY;
    }
    *static_cast<BSTR*>(to) = copy;
  } else if ((a->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
    IUnknown* p = *static_cast<IUnknown* const*>(from);
    if (p != nullptr) p->AddRef();
    *static_cast<IUnknown**>(to) = p;
  } else if ((a->fFeatures & FADF_VARIANT) != 0) {
    auto* v = static_cast<VARIANT*>(to);
    VariantInit(v);
    return VariantCopy(v, static_cast<const VARIANT*>(from));
  } else {
    std::memcpy(to, from, a->cbElements);
  }
  return S_OK;
}

// The byte offset of an element: the leftmost dimension (last in the descriptor) varies fastest.
HRESULT OffsetOf(SAFEARRAY* a, const LONG* indices, size_t* offset) {
  if (a == nullptr || indices == nullptr) return E_INVALIDARG;
  size_t index = 0;
  for (USHORT i = 0; i < a->cDims; ++i) {
    int64_t rel = int64_t{indices[i]} - a->rgsabound[i].lLbound;
    if (rel < 0 || rel >= int64_t{a->rgsabound[i].cElements}) return DISP_E_BADINDEX;
    index = index * a->rgsabound[i].cElements + static_cast<size_t>(rel);
  }
  *offset = index * a->cbElements;
  return S_OK;
}

SAFEARRAY* AllocateDescriptor(VARTYPE vt, UINT dims) {
  size_t bytes =
      kHeaderBytes + offsetof(SAFEARRAY, rgsabound) + size_t{dims} * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<unsigned char*>(HeapAlloc(bytes));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, bytes);
  reinterpret_cast<Header*>(block)->vt = vt;
  auto* a = reinterpret_cast<SAFEARRAY*>(block + kHeaderBytes);
  a->cDims = static_cast<USHORT>(dims);
  a->fFeatures = FeaturesOf(vt);
  a->cbElements = ElementSize(vt);
  return a;
}

void FreeDescriptor(SAFEARRAY* a) { HeapFree(HeaderOf(a)); }

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
  if (dims == 0 || dims > 0xFFFF || bounds == nullptr || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* a = AllocateDescriptor(vt, dims);
  if (a == nullptr) return nullptr;
  for (UINT i = 0; i < dims; ++i) a->rgsabound[dims - 1 - i] = bounds[i];
  size_t total = 0;
  if (!TotalElements(a, &total) || total > SIZE_MAX / a->cbElements) {
    FreeDescriptor(a);
    return nullptr;
  }
  if (total > 0) {
    size_t bytes = total * a->cbElements;
    a->pvData = HeapAlloc(bytes);
    if (a->pvData == nullptr) {
      FreeDescriptor(a);
      return nullptr;
    }
    std::memset(a->pvData, 0, bytes);  // zero is VT_EMPTY, a null BSTR and a null pointer
  }
  return a;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG elements) {
  SAFEARRAYBOUND bound{elements, lower_bound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return S_OK;
  if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  FreeElements(array, 0, ElementCount(array));
  HeapFree(array->pvData);
  FreeDescriptor(array);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  if (array == nullptr) return S_OK;
  SAFEARRAY* copy = AllocateDescriptor(TypeOf(array), array->cDims);
  if (copy == nullptr) return E_OUTOFMEMORY;
  for (USHORT i = 0; i < array->cDims; ++i) copy->rgsabound[i] = array->rgsabound[i];
  size_t total = ElementCount(array);
  if (total > 0 && array->pvData != nullptr) {
    copy->pvData = HeapAlloc(total * copy->cbElements);
    if (copy->pvData == nullptr) {
      FreeDescriptor(copy);
      return E_OUTOFMEMORY;
    }
    std::memset(copy->pvData, 0, total * copy->cbElements);
    auto* from = static_cast<const unsigned char*>(array->pvData);
    auto* to = static_cast<unsigned char*>(copy->pvData);
    for (size_t i = 0; i < total; ++i) {
      HRESULT hr = CopyElement(copy, from + i * copy->cbElements, to + i * copy->cbElements);
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
  }
  *out = copy;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  if (array->cLocks == 0xFFFFFFFFu) return E_UNEXPECTED;
  ++array->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (array == nullptr || data == nullptr) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(array);
  if (FAILED(hr)) return hr;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) { return SafeArrayUnlock(array); }

UINT SafeArrayGetDim(SAFEARRAY* array) { return array == nullptr ? 0 : array->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* array) { return array == nullptr ? 0 : array->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim == 0 || dim > array->cDims) return DISP_E_BADINDEX;
  *bound = array->rgsabound[array->cDims - dim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim == 0 || dim > array->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = array->rgsabound[array->cDims - dim];
  *bound = static_cast<LONG>(int64_t{b.lLbound} + int64_t{b.cElements} - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (array == nullptr || vt == nullptr) return E_INVALIDARG;
  *vt = TypeOf(array);
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value) {
  if (value == nullptr) return E_INVALIDARG;
  size_t offset = 0;
  HRESULT hr = OffsetOf(array, indices, &offset);
  if (FAILED(hr)) return hr;
  return CopyElement(array, static_cast<unsigned char*>(array->pvData) + offset, value);
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value) {
  size_t offset = 0;
  HRESULT hr = OffsetOf(array, indices, &offset);
  if (FAILED(hr)) return hr;
  // Strings and interfaces are passed as themselves, other types by address.
  const void* from = value;
  if ((array->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0)
    from = &value;
  else if (value == nullptr)
    return E_INVALIDARG;
  unsigned char slot[sizeof(VARIANT)];
  hr = CopyElement(array, from, slot);
  if (FAILED(hr)) return hr;
  size_t index = offset / array->cbElements;
  FreeElements(array, index, 1);
  std::memcpy(static_cast<unsigned char*>(array->pvData) + offset, slot, array->cbElements);
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  size_t old_total = ElementCount(array);
  SAFEARRAYBOUND old_bound = array->rgsabound[0];
  size_t inner = old_bound.cElements == 0 ? 0 : old_total / old_bound.cElements;
  if (old_bound.cElements == 0) {
    // The size of the other dimensions is not implied by the element count: recompute it.
    inner = 1;
    for (USHORT i = 1; i < array->cDims; ++i) inner *= array->rgsabound[i].cElements;
  }
  if (bound->cElements != 0 && inner > SIZE_MAX / bound->cElements / array->cbElements) {
    return E_OUTOFMEMORY;
  }
  size_t new_total = inner * bound->cElements;
  if (new_total < old_total) FreeElements(array, new_total, old_total - new_total);
  if (new_total == 0) {
    HeapFree(array->pvData);
    array->pvData = nullptr;
  } else if (new_total != old_total) {
    void* data = array->pvData == nullptr
                     ? HeapAlloc(new_total * array->cbElements)
                     : HeapReAlloc(array->pvData, new_total * array->cbElements);
    if (data == nullptr) return E_OUTOFMEMORY;
    if (new_total > old_total) {
      std::memset(static_cast<unsigned char*>(data) + old_total * array->cbElements, 0,
                  (new_total - old_total) * array->cbElements);
    }
    array->pvData = data;
  }
  array->rgsabound[0] = *bound;
  return S_OK;
}

}  // namespace win
