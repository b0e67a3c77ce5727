#include "platform/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/process_tables.h"
#include "platform/iphlpapi.h"
#include "platform/ncrypt.h"
#include "platform/qwave.h"
#include "platform/wpcap.h"
#include "platform/sspi.h"
#include "platform/wininet.h"
#include "platform/winsock.h"

namespace win {
namespace {

constexpr char kDllSuffix[] = ".dll";

// The version the system reports itself as running on: the current major release, so the
// components take their modern defaults.
constexpr DWORD kDefaultMajorVersion = 10;
constexpr DWORD kDefaultMinorVersion = 0;
constexpr DWORD kReportedBuild = 19045;
constexpr DWORD kPlatformNt = 2;

// The system libraries the components load by name. A name without a table stands for a library
// this platform does not have (netapi32: no domain controller lookup) or whose stand-in lives
// in another unit and registers itself through RegisterStandIn.
constexpr const char* kStandInNames[] = {
    "ws2_32.dll",   "wininet.dll", "secur32.dll",  "crypt32.dll", "qwave.dll",
    "netapi32.dll", "wpcap.dll",   "iphlpapi.dll", "ntdll.dll",   "ncrypt.dll",
};

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

const std::vector<ProcEntry>& Ws2_32Exports() {
  static const std::vector<ProcEntry> exports = {
      {"WSAStartup", Proc(&WSAStartup)},
      {"WSACleanup", Proc(&WSACleanup)},
      {"WSAGetLastError", Proc(&WSAGetLastError)},
      {"WSASetLastError", Proc(&WSASetLastError)},
      {"WSAIsBlocking", Proc(&WSAIsBlocking)},
      {"WSACancelBlockingCall", Proc(&WSACancelBlockingCall)},
      {"WSAAsyncSelect", Proc(&WSAAsyncSelect)},
      {"WSAIoctl", Proc(&WSAIoctl)},
      {"socket", Proc(&socket)},
      {"bind", Proc(&bind)},
      {"listen", Proc(&listen)},
      {"accept", Proc(&accept)},
      {"connect", Proc(&connect)},
      {"send", Proc(&send)},
      {"recv", Proc(&recv)},
      {"sendto", Proc(&sendto)},
      {"recvfrom", Proc(&recvfrom)},
      {"closesocket", Proc(&closesocket)},
      {"shutdown", Proc(&shutdown)},
      {"getsockopt", Proc(&getsockopt)},
      {"setsockopt", Proc(&setsockopt)},
      {"ioctlsocket", Proc(&ioctlsocket)},
      {"getsockname", Proc(&getsockname)},
      {"getpeername", Proc(&getpeername)},
      {"gethostname", Proc(&gethostname)},
      {"select", Proc(&select)},
      {"getaddrinfo", Proc(&getaddrinfo)},
      {"freeaddrinfo", Proc(&freeaddrinfo)},
      {"getnameinfo", Proc(&getnameinfo)},
      {"gethostbyname", Proc(&gethostbyname)},
      {"gethostbyaddr", Proc(&gethostbyaddr)},
      {"inet_addr", Proc(&inet_addr)},
      {"inet_ntoa", Proc(&inet_ntoa)},
      {"inet_pton", Proc(&inet_pton)},
      {"inet_ntop", Proc(&inet_ntop)},
  };
  return exports;
}

const std::vector<ProcEntry>& NtdllExports() {
  static const std::vector<ProcEntry> exports = {
      {"RtlGetVersion", Proc(&RtlGetVersion)},
  };
  return exports;
}

struct Module {
  std::string key;     // normalised name
  void* dl = nullptr;  // dlopen handle, or null for a stand-in
  std::span<const ProcEntry> exports;
  long references = 0;
};

struct Libraries {
  std::mutex lock;
  std::map<std::string, std::span<const ProcEntry>> stand_ins;  // registered tables
  // Stand-ins over a system library loaded on first use: an empty table while it is missing.
  std::map<std::string, std::span<const ProcEntry> (*)()> providers;
  std::map<uintptr_t, Module> modules;                          // by handle
  std::set<std::string> disabled;
  DWORD major = kDefaultMajorVersion;
  DWORD minor = kDefaultMinorVersion;
};

Libraries& Libs() {
  static Libraries* libs = [] {
    auto* l = KeepProcessTable(new Libraries);  // used from static destructors
    l->stand_ins["ws2_32.dll"] = Ws2_32Exports();
    l->stand_ins["ntdll.dll"] = NtdllExports();
    l->stand_ins["secur32.dll"] = Secur32Exports();
    l->stand_ins["crypt32.dll"] = Crypt32Exports();
    l->stand_ins["qwave.dll"] = QwaveExports();
    l->stand_ins["iphlpapi.dll"] = IphlpapiExports();
    l->stand_ins["ncrypt.dll"] = NcryptExports();
    l->providers["wpcap.dll"] = &WpcapExports;
    // Without libcurl there is no table: "wininet.dll" then loads as a missing library.
    if (!WinInetExports().empty()) l->stand_ins["wininet.dll"] = WinInetExports();
    return l;
  }();
  return *libs;
}

bool HasPath(const std::string& name) { return name.find_first_of("/\\") != std::string::npos; }

// A bare name compares without case and gets ".dll" when it has no extension (a trailing "."
// means "no extension", as on the home platform). A path stays as given.
std::string Normalise(const char* name) {
  std::string n(name);
  if (HasPath(n)) return n;
  for (char& c : n) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (!n.empty() && n.back() == '.') {
    n.pop_back();
  } else if (n.find('.') == std::string::npos) {
    n += kDllSuffix;
  }
  return n;
}

bool IsStandInName(const std::string& key) {
  for (const char* s : kStandInNames) {
    if (key == s) return true;
  }
  return false;
}

HMODULE ToHandle(uintptr_t id) { return reinterpret_cast<HMODULE>(id); }

}  // namespace

HMODULE LoadLibraryA(const char* name) {
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string key = Normalise(name);
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  if (libs.disabled.count(key) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto registered = libs.stand_ins.find(key);
  if (registered == libs.stand_ins.end()) {
    auto provider = libs.providers.find(key);
    if (provider != libs.providers.end()) {
      std::span<const ProcEntry> exports = provider->second();
      if (!exports.empty()) registered = libs.stand_ins.emplace(key, exports).first;
    }
  }
  if (registered != libs.stand_ins.end() || IsStandInName(key)) {
    if (registered == libs.stand_ins.end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);  // a system library this platform does not have
      return nullptr;
    }
    for (auto& [id, m] : libs.modules) {
      if (m.dl == nullptr && m.key == key) {
        ++m.references;
        return ToHandle(id);
      }
    }
    uintptr_t id = NewHandleId();
    libs.modules.emplace(id, Module{key, nullptr, registered->second, 1});
    return ToHandle(id);
  }
  if (!HasPath(key) && key.size() > sizeof kDllSuffix - 1 &&
      key.compare(key.size() - (sizeof kDllSuffix - 1), sizeof kDllSuffix - 1, kDllSuffix) == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);  // a Windows library that has no stand-in here
    return nullptr;
  }
  std::string path(name);  // the module's own spelling: Linux names are case-sensitive
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  void* dl = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) {
    SetLastError(HasPath(path) && ::access(path.c_str(), F_OK) == 0 ? ERROR_BAD_EXE_FORMAT
                                                                    : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  for (auto& [id, m] : libs.modules) {
    if (m.dl == dl) {
      ::dlclose(dl);  // one dlopen reference per module; ours are counted in `references`
      ++m.references;
      return ToHandle(id);
    }
  }
  uintptr_t id = NewHandleId();
  libs.modules.emplace(id, Module{key, dl, {}, 1});
  return ToHandle(id);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  auto it = libs.modules.find(reinterpret_cast<uintptr_t>(module));
  if (it == libs.modules.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Ordinals (values below 0x10000) are not exported by anything here.
  if (name == nullptr || reinterpret_cast<uintptr_t>(name) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  const Module& m = it->second;
  if (m.dl != nullptr) {
    void* sym = ::dlsym(m.dl, name);
    if (sym == nullptr) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
  }
  for (const ProcEntry& e : m.exports) {
    if (std::strcmp(e.name, name) == 0) return e.proc;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  void* dl = nullptr;
  {
    Libraries& libs = Libs();
    std::lock_guard<std::mutex> guard(libs.lock);
    auto it = libs.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == libs.modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.references > 0) return TRUE;
    dl = it->second.dl;
    libs.modules.erase(it);
  }
  if (dl != nullptr) ::dlclose(dl);
  return TRUE;
}

void RegisterStandIn(const char* dll, std::span<const ProcEntry> exports) {
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  libs.stand_ins[Normalise(dll)] = exports;
}

void SetLibraryEnabled(const char* name, bool enabled) {
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  if (enabled) {
    libs.disabled.erase(Normalise(name));
  } else {
    libs.disabled.insert(Normalise(name));
  }
}

void EnableAllLibraries() {
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  libs.disabled.clear();
}

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
    return STATUS_INVALID_PARAMETER;
  }
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  info->dwMajorVersion = libs.major;
  info->dwMinorVersion = libs.minor;
  info->dwBuildNumber = kReportedBuild;
  info->dwPlatformId = kPlatformNt;
  info->szCSDVersion[0] = 0;
  return STATUS_SUCCESS;
}

void SetReportedVersionForTesting(DWORD major, DWORD minor) {
  Libraries& libs = Libs();
  std::lock_guard<std::mutex> guard(libs.lock);
  libs.major = major;
  libs.minor = minor;
}

}  // namespace win
