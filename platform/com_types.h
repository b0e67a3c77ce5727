// The base of the COM layer: result codes, GUIDs, IUnknown and the class factory, task memory and
// a scoped interface pointer.
//
// Interfaces are abstract classes whose virtual functions stand in for the vtable slots; each
// carries its interface ID as `kIid`, so ComPtr<T>::As and IidOf<T> find it. Objects delete
// themselves on the last Release, so the interface destructors are protected and not virtual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/handle.h"
#include "platform/last_error.h"

namespace win {

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using UINT = unsigned;
using INT = int;
using BOOL = int;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using ULONG_PTR = uintptr_t;
using LCID = DWORD;
using OLECHAR = char16_t;
using LPOLESTR = char16_t*;
using LPCOLESTR = const char16_t*;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT MAKE_HRESULT(uint32_t severity, uint32_t facility, uint32_t code) {
  return static_cast<HRESULT>((severity << 31) | (facility << 16) | (code & 0xFFFF));
}
constexpr uint32_t HRESULT_CODE(HRESULT hr) { return static_cast<uint32_t>(hr) & 0xFFFF; }
constexpr uint32_t HRESULT_FACILITY(HRESULT hr) {
  return (static_cast<uint32_t>(hr) >> 16) & 0x1FFF;
}
// A Windows error number as a failure in the Win32 facility (0 stays S_OK).
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
  return error == 0 || static_cast<int32_t>(error) < 0
             ? static_cast<HRESULT>(error)
             : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000u);
}

constexpr uint32_t FACILITY_ITF = 4;
constexpr uint32_t FACILITY_WIN32 = 7;
constexpr uint32_t FACILITY_CONTROL = 10;

constexpr HRESULT HResultOf(uint32_t v) { return static_cast<HRESULT>(v); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT NOERROR = 0;
constexpr HRESULT E_NOTIMPL = HResultOf(0x80004001);
constexpr HRESULT E_NOINTERFACE = HResultOf(0x80004002);
constexpr HRESULT E_POINTER = HResultOf(0x80004003);
constexpr HRESULT E_ABORT = HResultOf(0x80004004);
constexpr HRESULT E_FAIL = HResultOf(0x80004005);
constexpr HRESULT E_PENDING = HResultOf(0x8000000A);
constexpr HRESULT E_UNEXPECTED = HResultOf(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = HResultOf(0x80070005);
constexpr HRESULT E_HANDLE = HResultOf(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = HResultOf(0x8007000E);
constexpr HRESULT E_INVALIDARG = HResultOf(0x80070057);

constexpr HRESULT CLASS_E_NOAGGREGATION = HResultOf(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HResultOf(0x80040111);
constexpr HRESULT CLASS_E_NOTLICENSED = HResultOf(0x80040112);
constexpr HRESULT REGDB_E_READREGDB = HResultOf(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = HResultOf(0x80040151);
constexpr HRESULT REGDB_E_CLASSNOTREG = HResultOf(0x80040154);
constexpr HRESULT REGDB_E_IIDNOTREG = HResultOf(0x80040155);
constexpr HRESULT CO_E_NOTINITIALIZED = HResultOf(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = HResultOf(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = HResultOf(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = HResultOf(0x800401F9);
constexpr HRESULT RPC_E_CHANGED_MODE = HResultOf(0x80010106);
constexpr HRESULT CONNECT_E_NOCONNECTION = HResultOf(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = HResultOf(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = HResultOf(0x80040202);
constexpr HRESULT CONNECT_E_OVERRIDDEN = HResultOf(0x80040203);
constexpr HRESULT SELFREG_E_TYPELIB = HResultOf(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = HResultOf(0x80040201);
constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = HResultOf(0x80040003);
constexpr HRESULT OLE_E_NOCONNECTION = HResultOf(0x80040004);
constexpr HRESULT OLE_E_BLANK = HResultOf(0x80040007);
constexpr HRESULT OLE_E_NOTRUNNING = HResultOf(0x80040005);
constexpr HRESULT OLE_S_USEREG = HResultOf(0x00040000);
constexpr HRESULT OLEOBJ_E_NOVERBS = HResultOf(0x80040180);
constexpr HRESULT OLEOBJ_S_INVALIDVERB = HResultOf(0x00040180);
constexpr HRESULT VIEW_E_DRAW = HResultOf(0x80040140);
constexpr HRESULT DV_E_DVASPECT = HResultOf(0x8004006B);
constexpr HRESULT DV_E_LINDEX = HResultOf(0x80040068);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = HResultOf(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = HResultOf(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = HResultOf(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = HResultOf(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = HResultOf(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = HResultOf(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = HResultOf(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = HResultOf(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = HResultOf(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = HResultOf(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = HResultOf(0x8002000C);
constexpr HRESULT DISP_E_ARRAYISLOCKED = HResultOf(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = HResultOf(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = HResultOf(0x8002000F);
constexpr HRESULT DISP_E_BADCALLEE = HResultOf(0x80020010);
constexpr HRESULT DISP_E_NOTACOLLECTION = HResultOf(0x80020011);
constexpr HRESULT DISP_E_DIVBYZERO = HResultOf(0x80020012);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = HResultOf(0x8002801D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HResultOf(0x8002802B);
constexpr HRESULT STG_E_INVALIDFUNCTION = HResultOf(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = HResultOf(0x80030002);
constexpr HRESULT STG_E_ACCESSDENIED = HResultOf(0x80030005);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = HResultOf(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = HResultOf(0x80030009);
constexpr HRESULT STG_E_WRITEFAULT = HResultOf(0x8003001D);
constexpr HRESULT STG_E_READFAULT = HResultOf(0x8003001E);
constexpr HRESULT STG_E_FILEALREADYEXISTS = HResultOf(0x80030050);
constexpr HRESULT STG_E_INVALIDPARAMETER = HResultOf(0x80030057);
constexpr HRESULT STG_E_MEDIUMFULL = HResultOf(0x80030070);
constexpr HRESULT STG_E_INVALIDNAME = HResultOf(0x800300FC);
constexpr HRESULT STG_E_REVERTED = HResultOf(0x80030102);

// ---- GUIDs ----

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
constexpr bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

namespace guid_detail {
constexpr int HexValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}
}  // namespace guid_detail

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, hex digits of either case).
// False for anything else.
template <class Char>
constexpr bool ParseGuid(std::basic_string_view<Char> text, GUID* out) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return false;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return false;
  uint8_t bytes[16] = {};
  int n = 0;
  for (size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    auto c = text[i];
    if (c > 0x7F) return false;
    int v = guid_detail::HexValue(static_cast<char>(c));
    if (v < 0) return false;
    bytes[n / 2] = static_cast<uint8_t>(bytes[n / 2] * 16 + v);
    ++n;
  }
  GUID g{};
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
            bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  *out = g;
  return true;
}

// A GUID from its text at compile time; a malformed text does not compile.
consteval GUID Guid(std::string_view text) {
  GUID g{};
  if (!ParseGuid(text, &g)) throw "malformed GUID text";
  return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the registry holds class IDs.
std::string GuidToString(REFGUID guid);
std::u16string GuidToWideString(REFGUID guid);

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

// Writes the braced text with its NUL; returns the characters written with the NUL (39), or 0
// when `max` is below 39.
int StringFromGUID2(REFGUID guid, LPOLESTR out, int max);
// The braced text in task memory (free with CoTaskMemFree).
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out);
HRESULT StringFromIID(REFIID iid, LPOLESTR* out);
// Braced GUID text; E_INVALIDARG otherwise.
HRESULT IIDFromString(LPCOLESTR text, IID* out);
// Braced GUID text, or else a ProgID looked up in the registry (CLSIDFromProgID);
// CO_E_CLASSSTRING when it is neither.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out);

// ---- Task memory: blocks handed between caller and callee (strings, arrays). ----

void* CoTaskMemAlloc(size_t bytes);
void* CoTaskMemRealloc(void* block, size_t bytes);
void CoTaskMemFree(void* block);

// ---- IUnknown and the class factory ----

class IUnknown {
 public:
  static constexpr IID kIid = Guid("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00000001-0000-0000-C000-000000000046}");
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

inline constexpr const IID& IID_IUnknown = IUnknown::kIid;
inline constexpr const IID& IID_IClassFactory = IClassFactory::kIid;

template <class T>
constexpr const IID& IidOf() {
  return T::kIid;
}

// The entry points a server library exports (found with GetProcAddress under these names).
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

// ---- A scoped interface pointer ----

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference.
  explicit ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).Swap(*this);
    return *this;
  }

  // Adopts a reference the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Releases the held pointer and gives the slot for an out-parameter.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  // Hands the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }
  // QueryInterface for U.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(IidOf<U>(), out->PutVoid());
  }
  // Copies a new reference into an out-parameter.
  HRESULT CopyTo(T** out) const {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_ != nullptr) p_->AddRef();
    return S_OK;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace win
