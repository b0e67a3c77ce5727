#include "platform/com_types.h"

#include <cstring>

#include "platform/com_client.h"
#include "platform/heap.h"

namespace win {
namespace {

constexpr int kGuidTextChars = 38;

template <class Char>
void FormatGuid(REFGUID g, Char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  int n = 0;
  auto hex = [&](uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i)
      out[n++] = static_cast<Char>(kDigits[(v >> (4 * i)) & 15]);
  };
  out[n++] = '{';
  hex(g.Data1, 8);
  out[n++] = '-';
  hex(g.Data2, 4);
  out[n++] = '-';
  hex(g.Data3, 4);
  out[n++] = '-';
  hex(g.Data4[0], 2);
  hex(g.Data4[1], 2);
  out[n++] = '-';
  for (int i = 2; i < 8; ++i) hex(g.Data4[i], 2);
  out[n++] = '}';
}

HRESULT GuidToTaskString(REFGUID guid, LPOLESTR* out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidTextChars + 1) * sizeof(OLECHAR)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(guid, *out, kGuidTextChars + 1);
  return S_OK;
}

}  // namespace

std::string GuidToString(REFGUID guid) {
  std::string s(kGuidTextChars, '\0');
  FormatGuid(guid, s.data());
  return s;
}

std::u16string GuidToWideString(REFGUID guid) {
  std::u16string s(kGuidTextChars, u'\0');
  FormatGuid(guid, s.data());
  return s;
}

int StringFromGUID2(REFGUID guid, LPOLESTR out, int max) {
  if (out == nullptr || max < kGuidTextChars + 1) return 0;
  FormatGuid(guid, out);
  out[kGuidTextChars] = 0;
  return kGuidTextChars + 1;
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out) { return GuidToTaskString(clsid, out); }
HRESULT StringFromIID(REFIID iid, LPOLESTR* out) { return GuidToTaskString(iid, out); }

HRESULT IIDFromString(LPCOLESTR text, IID* out) {
  if (out == nullptr) return E_INVALIDARG;
  if (text == nullptr) {
    *out = IID_NULL;
    return S_OK;
  }
  std::u16string_view t(text);
  if (t.size() != kGuidTextChars || !ParseGuid(t, out)) return E_INVALIDARG;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) {
  if (out == nullptr) return E_INVALIDARG;
  if (text == nullptr) {
    *out = CLSID_NULL;
    return S_OK;
  }
  std::u16string_view t(text);
  if (!t.empty() && t.front() == u'{') {
    if (t.size() == kGuidTextChars && ParseGuid(t, out)) return S_OK;
    return CO_E_CLASSSTRING;
  }
  HRESULT hr = CLSIDFromProgID(text, out);
  return SUCCEEDED(hr) ? hr : CO_E_CLASSSTRING;
}

void* CoTaskMemAlloc(size_t bytes) { return HeapAlloc(bytes); }
void* CoTaskMemRealloc(void* block, size_t bytes) {
  return block == nullptr ? HeapAlloc(bytes) : HeapReAlloc(block, bytes);
}
void CoTaskMemFree(void* block) { HeapFree(block); }

}  // namespace win
