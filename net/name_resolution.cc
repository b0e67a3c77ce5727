#include "net/name_resolution.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {
namespace {

constexpr char kWs2Dll[] = "ws2_32.dll";
constexpr char kNetapiDll[] = "netapi32.dll";
constexpr char kCrypt32Dll[] = "crypt32.dll";
constexpr char kQwaveDll[] = "qwave.dll";
constexpr char kSecur32Dll[] = "secur32.dll";
constexpr char kNtdllDll[] = "ntdll.dll";

NetEntryPoints g_entries;
int g_windows81 = -1;
unsigned g_major_version = 0;

template <typename Fn>
void Bind(win::HMODULE module, const char* name, Fn* out) {
  *out = module != nullptr ? reinterpret_cast<Fn>(win::GetProcAddress(module, name)) : nullptr;
}

void Release(win::HMODULE* module) {
  if (*module != nullptr) win::FreeLibrary(*module);
  *module = nullptr;
}

}  // namespace

NetEntryPoints& NetEntries() { return g_entries; }

int Windows81Flag() { return g_windows81; }

void ReadWindowsVersionFlag() {
  win::HMODULE ntdll = win::LoadLibraryA(kNtdllDll);
  if (ntdll == nullptr) return;
  using RtlGetVersionFn = win::NTSTATUS (*)(win::RTL_OSVERSIONINFOW*);
  RtlGetVersionFn get_version = nullptr;
  Bind(ntdll, "RtlGetVersion", &get_version);
  if (get_version != nullptr) {
    win::RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (get_version(&info) == win::STATUS_SUCCESS) {
      g_major_version = info.dwMajorVersion;
      g_windows81 = (info.dwMajorVersion >= 7 ||
                     (info.dwMajorVersion == 6 && info.dwMinorVersion >= 3))
                        ? 1
                        : 0;
    }
  }
  win::FreeLibrary(ntdll);
}

unsigned WindowsMajorVersion() {
  if (g_major_version == 0) {
    win::RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    g_major_version = win::RtlGetVersion(&info) == win::STATUS_SUCCESS ? info.dwMajorVersion : 10;
  }
  return g_major_version;
}

void BindWs2Entries() {
  NetEntryPoints& e = g_entries;
  if (e.ws2_32 == nullptr) e.ws2_32 = win::LoadLibraryA(kWs2Dll);
  Bind(e.ws2_32, "getaddrinfo", &e.getaddrinfo);
  Bind(e.ws2_32, "freeaddrinfo", &e.freeaddrinfo);
  Bind(e.ws2_32, "getnameinfo", &e.getnameinfo);
  Bind(e.ws2_32, "gethostbyaddr", &e.gethostbyaddr);
  // A list that cannot be freed must not be taken.
  if (e.freeaddrinfo == nullptr) e.getaddrinfo = nullptr;
}

void BindNetapiEntries() {
  NetEntryPoints& e = g_entries;
  if (e.netapi32 == nullptr) e.netapi32 = win::LoadLibraryA(kNetapiDll);
  Bind(e.netapi32, "DsGetDcNameA", &e.DsGetDcNameA);
  Bind(e.netapi32, "NetApiBufferFree", &e.NetApiBufferFree);
}

void BindCrypt32() {
  // The certificate entry points are bound by the certificate layer from this handle.
  if (g_entries.crypt32 == nullptr) g_entries.crypt32 = win::LoadLibraryA(kCrypt32Dll);
}

void BindQwaveEntries() {
  NetEntryPoints& e = g_entries;
  if (e.qwave_bound) return;
  e.qwave_bound = true;
  e.qwave = win::LoadLibraryA(kQwaveDll);
  Bind(e.qwave, "QOSCreateHandle", &e.QOSCreateHandle);
  Bind(e.qwave, "QOSCloseHandle", &e.QOSCloseHandle);
  Bind(e.qwave, "QOSAddSocketToFlow", &e.QOSAddSocketToFlow);
  Bind(e.qwave, "QOSRemoveSocketFromFlow", &e.QOSRemoveSocketFromFlow);
  Bind(e.qwave, "QOSSetFlow", &e.QOSSetFlow);
}

void BindSecurityInterface() {
  NetEntryPoints& e = g_entries;
  e.sspi_table = win::SecurityFunctionTableA{};
  e.have_sspi_table = false;
  if (e.secur32 == nullptr) e.secur32 = win::LoadLibraryA(kSecur32Dll);
  NetEntryPoints::InitSecurityInterfaceFn init = nullptr;
  Bind(e.secur32, "InitSecurityInterfaceA", &init);
  if (init == nullptr) return;
  const win::SecurityFunctionTableA* table = init();
  if (table == nullptr) return;
  e.sspi_table = *table;
  e.have_sspi_table = true;
  // The version flag matters only to the platform TLS path, which needs the table.
  ReadWindowsVersionFlag();
}

const win::SecurityFunctionTableA* SecurityInterface() {
  if (!g_entries.have_sspi_table) BindSecurityInterface();
  return g_entries.have_sspi_table ? &g_entries.sspi_table : nullptr;
}

void ReleaseSecurityInterface() {
  NetEntryPoints& e = g_entries;
  Release(&e.secur32);
  e.sspi_table = win::SecurityFunctionTableA{};
  e.have_sspi_table = false;
}

void ReleaseOptionalLibraries() {
  NetEntryPoints& e = g_entries;
  ReleaseSecurityInterface();
  Release(&e.crypt32);
  Release(&e.qwave);
  e.QOSCreateHandle = nullptr;
  e.QOSCloseHandle = nullptr;
  e.QOSAddSocketToFlow = nullptr;
  e.QOSRemoveSocketFromFlow = nullptr;
  e.QOSSetFlow = nullptr;
  e.qwave_bound = false;
}

int ResolveIPv4(const char* name, uint32_t* address, int flags, int socket_type) {
  *address = 0;
  if (name == nullptr || *name == '\0') return 0;
  const NetEntryPoints& e = g_entries;
  if (e.getaddrinfo == nullptr) return -1;
  win::addrinfo hints{};
  hints.ai_family = win::AF_INET;
  hints.ai_flags = flags;
  hints.ai_socktype = socket_type;
  win::addrinfo* list = nullptr;
  int rc = e.getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return rc;
  for (const win::addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family == win::AF_INET && p->ai_addr != nullptr &&
        p->ai_addrlen >= sizeof(win::sockaddr_in)) {
      *address = reinterpret_cast<const win::sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  e.freeaddrinfo(list);
  return 0;
}

int ResolveIPv6(const char* name, win::sockaddr_in6* address, int flags, int socket_type) {
  std::memset(address, 0, sizeof(*address));
  address->sin6_family = win::AF_INET6;
  if (name == nullptr || *name == '\0') return 0;
  const NetEntryPoints& e = g_entries;
  if (e.getaddrinfo == nullptr) return -1;

  // "addr%12": the scope id is ours to set, whatever the resolver makes of it.
  char host[win::NI_MAXHOST];
  const char* percent = std::strchr(name, '%');
  const size_t host_len = percent != nullptr ? static_cast<size_t>(percent - name)
                                             : std::strlen(name);
  if (host_len >= sizeof(host)) return win::WSAHOST_NOT_FOUND;
  std::memcpy(host, name, host_len);
  host[host_len] = '\0';
  const bool has_scope = percent != nullptr;
  const uint32_t scope = has_scope ? static_cast<uint32_t>(std::strtoul(percent + 1, nullptr, 10))
                                   : 0;

  win::addrinfo hints{};
  hints.ai_family = win::AF_INET6;
  hints.ai_flags = flags;
  hints.ai_socktype = socket_type;
  win::addrinfo* list = nullptr;
  int rc = e.getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0) return rc;
  for (const win::addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family == win::AF_INET6 && p->ai_addr != nullptr &&
        p->ai_addrlen >= sizeof(win::sockaddr_in6)) {
      std::memcpy(address, p->ai_addr, sizeof(*address));
      break;
    }
  }
  if (has_scope) address->sin6_scope_id = scope;
  e.freeaddrinfo(list);
  return 0;
}

void Ipv6Text(const win::sockaddr_in6& address, char* out, int size) {
  if (size <= 0) return;
  out[0] = '\0';
  const NetEntryPoints& e = g_entries;
  if (e.getnameinfo == nullptr) return;
  char text[kIpv6TextSize] = {};
  if (e.getnameinfo(reinterpret_cast<const win::sockaddr*>(&address), sizeof(address), text,
                    sizeof(text), nullptr, 0, win::NI_NUMERICHOST) != 0) {
    return;
  }
  std::snprintf(out, static_cast<size_t>(size), "%s", text);
}

const char* Ipv4Text(uint32_t address, char* out, int size) {
  unsigned char b[4];
  std::memcpy(b, &address, 4);
  std::snprintf(out, static_cast<size_t>(size), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return out;
}

int LegacyResolve(const char* name, uint32_t* address) {
  *address = 0;
  if (win::WSAIsBlocking()) win::WSACancelBlockingCall();
  const char* text = name != nullptr ? name : "";
  const win::u_long numeric = win::inet_addr(text);
  if (numeric != win::INADDR_NONE) {
    *address = numeric;
    return 0;
  }
  const win::hostent* host = win::gethostbyname(text);
  if (host != nullptr && host->h_addr_list != nullptr && host->h_addr_list[0] != nullptr &&
      host->h_length >= 4) {
    std::memcpy(address, host->h_addr_list[0], 4);
    return 0;
  }
  // Not started (10093) is reported too: address 0 with success would send the caller to 0.0.0.0.
  const int error = win::WSAGetLastError();
  return error != 0 ? error : win::WSAHOST_NOT_FOUND;
}

}  // namespace tw
