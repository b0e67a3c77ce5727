#include "platform/com_client.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/library.h"
#include "platform/process_tables.h"
#include "platform/registry.h"

namespace win {
namespace {

constexpr char16_t kClsidKey[] = u"CLSID\\";
constexpr char16_t kInprocServerKey[] = u"\\InprocServer32";
constexpr char16_t kProgIdKey[] = u"\\ProgID";
constexpr char16_t kCurVerKey[] = u"\\CurVer";
constexpr char16_t kClsidSubKey[] = u"\\CLSID";
constexpr char kGetClassObjectName[] = "DllGetClassObject";
constexpr char kCanUnloadNowName[] = "DllCanUnloadNow";
constexpr int kMaxCurVerHops = 8;
constexpr size_t kMaxValueBytes = 64 * 1024;

struct Apartment {
  long count = 0;
  DWORD model = 0;
};
thread_local Apartment t_apartment;

struct ServerLibrary {
  HMODULE module = nullptr;
  DllGetClassObjectFn get_class_object = nullptr;
  DllCanUnloadNowFn can_unload_now = nullptr;
};

struct ClassObjects {
  std::mutex lock;
  std::map<std::string, ServerLibrary> libraries;  // by path
  struct Registered {
    CLSID clsid;
    IUnknown* factory;
  };
  std::map<DWORD, Registered> registered;  // by cookie
  DWORD next_cookie = 1;
};

ClassObjects& Objects() {
  static ClassObjects* objects = KeepProcessTable(new ClassObjects);  // libraries outlive statics
  return *objects;
}

// The default (or named) string value of a key under HKEY_CLASSES_ROOT; false when absent.
bool ReadString(const std::u16string& path, const char16_t* name, std::u16string* out,
                DWORD* type_out = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && size <= kMaxValueBytes;
  if (ok) {
    std::u16string text(size / sizeof(char16_t) + 1, u'\0');
    ok = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) ==
         ERROR_SUCCESS;
    if (ok) {
      text.resize(size / sizeof(char16_t));
      size_t nul = text.find(u'\0');
      if (nul != std::u16string::npos) text.resize(nul);
      *out = std::move(text);
      if (type_out != nullptr) *type_out = type;
    }
  }
  RegCloseKey(key);
  return ok;
}

std::string ToUtf8(const std::u16string& s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

// Replaces %NAME% by the environment variable NAME (kept as written when it is not set).
std::string ExpandEnvironment(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
    if (end == std::string::npos || end == i + 1) {
      out += s[i++];
      continue;
    }
    std::string name = s.substr(i + 1, end - i - 1);
    const char* value = std::getenv(name.c_str());
    out += value != nullptr ? std::string(value) : s.substr(i, end - i + 1);
    i = end + 1;
  }
  return out;
}

// Loads (or finds) the server library at `path`.
HRESULT LibraryFor(const std::string& path, ServerLibrary* out) {
  ClassObjects& objects = Objects();
  {
    std::lock_guard<std::mutex> guard(objects.lock);
    auto it = objects.libraries.find(path);
    if (it != objects.libraries.end()) {
      *out = it->second;
      return S_OK;
    }
  }
  // Loading runs the library's start-up, which may itself use COM: no lock is held meanwhile.
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  std::lock_guard<std::mutex> guard(objects.lock);
  auto it = objects.libraries.find(path);
  if (it != objects.libraries.end()) {
    FreeLibrary(module);  // another thread loaded it meanwhile; keep one reference
    *out = it->second;
    return S_OK;
  }
  ServerLibrary lib;
  lib.module = module;
  lib.get_class_object =
      reinterpret_cast<DllGetClassObjectFn>(GetProcAddress(module, kGetClassObjectName));
  lib.can_unload_now =
      reinterpret_cast<DllCanUnloadNowFn>(GetProcAddress(module, kCanUnloadNowName));
  if (lib.get_class_object == nullptr) {
    FreeLibrary(module);
    return CO_E_ERRORINDLL;
  }
  objects.libraries.emplace(path, lib);
  *out = lib;
  return S_OK;
}

HRESULT RegisteredClassObject(REFCLSID clsid, REFIID iid, void** object) {
  IUnknown* factory = nullptr;
  {
    ClassObjects& objects = Objects();
    std::lock_guard<std::mutex> guard(objects.lock);
    for (auto& [cookie, r] : objects.registered) {
      if (r.clsid == clsid) {
        factory = r.factory;
        factory->AddRef();
        break;
      }
    }
  }
  if (factory == nullptr) return REGDB_E_CLASSNOTREG;
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

HRESULT ClsidOfProgId(const std::u16string& progid, int hops, CLSID* clsid) {
  std::u16string current;
  if (hops < kMaxCurVerHops && ReadString(progid + kCurVerKey, nullptr, &current) &&
      !current.empty() && current != progid) {
    if (SUCCEEDED(ClsidOfProgId(current, hops + 1, clsid))) return S_OK;
  }
  std::u16string text;
  if (!ReadString(progid + kClsidSubKey, nullptr, &text)) return CO_E_CLASSSTRING;
  if (text.size() != 38 || !ParseGuid(std::u16string_view(text), clsid)) return CO_E_CLASSSTRING;
  return S_OK;
}

}  // namespace

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void*, DWORD coinit) {
  DWORD model = coinit & COINIT_APARTMENTTHREADED;
  Apartment& a = t_apartment;
  if (a.count > 0 && a.model != model) return RPC_E_CHANGED_MODE;
  InitializeComRuntime();
  a.model = model;
  return a.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  Apartment& a = t_apartment;
  if (a.count == 0) return;
  if (--a.count == 0) SetErrorInfo(0, nullptr);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
  HRESULT hr = RegisteredClassObject(clsid, iid, object);
  if (hr != REGDB_E_CLASSNOTREG) return hr;
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::u16string path;
  DWORD type = REG_SZ;
  std::u16string key = kClsidKey + GuidToWideString(clsid) + kInprocServerKey;
  if (!ReadString(key, nullptr, &path, &type) || path.empty()) return REGDB_E_CLASSNOTREG;
  std::string file = ToUtf8(path);
  if (type == REG_EXPAND_SZ) file = ExpandEnvironment(file);
  ServerLibrary lib;
  hr = LibraryFor(file, &lib);
  if (FAILED(hr)) return hr;
  return lib.get_class_object(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD, DWORD, DWORD* cookie) {
  if (factory == nullptr || cookie == nullptr) return E_INVALIDARG;
  ClassObjects& objects = Objects();
  std::lock_guard<std::mutex> guard(objects.lock);
  factory->AddRef();
  *cookie = objects.next_cookie++;
  objects.registered.emplace(*cookie, ClassObjects::Registered{clsid, factory});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* factory = nullptr;
  {
    ClassObjects& objects = Objects();
    std::lock_guard<std::mutex> guard(objects.lock);
    auto it = objects.registered.find(cookie);
    if (it == objects.registered.end()) return E_INVALIDARG;
    factory = it->second.factory;
    objects.registered.erase(it);
  }
  factory->Release();
  return S_OK;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
  if (progid == nullptr || clsid == nullptr) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  std::u16string name(progid);
  if (name.empty() || name.find(u'\\') != std::u16string::npos) return CO_E_CLASSSTRING;
  return ClsidOfProgId(name, 0, clsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid) {
  if (progid == nullptr) return E_INVALIDARG;
  *progid = nullptr;
  std::u16string text;
  if (!ReadString(kClsidKey + GuidToWideString(clsid) + kProgIdKey, nullptr, &text) ||
      text.empty()) {
    return REGDB_E_CLASSNOTREG;
  }
  *progid = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (*progid == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*progid, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  return S_OK;
}

void CoFreeUnusedLibraries() {
  std::vector<HMODULE> unload;
  {
    ClassObjects& objects = Objects();
    std::lock_guard<std::mutex> guard(objects.lock);
    for (auto it = objects.libraries.begin(); it != objects.libraries.end();) {
      const ServerLibrary& lib = it->second;
      if (lib.can_unload_now != nullptr && lib.can_unload_now() == S_OK) {
        unload.push_back(lib.module);
        it = objects.libraries.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (HMODULE m : unload) FreeLibrary(m);
}

size_t LoadedServerLibraryCount() {
  ClassObjects& objects = Objects();
  std::lock_guard<std::mutex> guard(objects.lock);
  return objects.libraries.size();
}

}  // namespace win
