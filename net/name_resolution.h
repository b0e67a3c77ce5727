// Entry points bound at run time (so the library loads where they are missing) and the name
// resolution built on them.
#pragma once

#include <cstdint>

#include "platform/library.h"
#include "platform/sspi.h"
#include "platform/winsock.h"

namespace tw {

// Process-wide entry points; each is null while its library or name is missing.
struct NetEntryPoints {
  using GetAddrInfoFn = int (*)(const char*, const char*, const win::addrinfo*, win::addrinfo**);
  using FreeAddrInfoFn = void (*)(win::addrinfo*);
  using GetNameInfoFn = int (*)(const win::sockaddr*, int, char*, win::DWORD, char*, win::DWORD,
                                int);
  using GetHostByAddrFn = win::hostent* (*)(const char*, int, int);
  using DsGetDcNameFn = win::DWORD (*)(const char*, const char*, void*, const char*, win::DWORD,
                                       void**);
  using NetApiBufferFreeFn = win::DWORD (*)(void*);
  using QosCreateHandleFn = win::BOOL (*)(const void* version, win::HANDLE* handle);
  using QosCloseHandleFn = win::BOOL (*)(win::HANDLE handle);
  using QosAddSocketToFlowFn = win::BOOL (*)(win::HANDLE, win::SOCKET, const win::sockaddr*,
                                             int traffic_type, win::DWORD flags,
                                             uint32_t* flow_id);
  using QosRemoveSocketFromFlowFn = win::BOOL (*)(win::HANDLE, win::SOCKET, uint32_t flow_id,
                                                  win::DWORD flags);
  using QosSetFlowFn = win::BOOL (*)(win::HANDLE, uint32_t flow_id, int operation,
                                     uint32_t size, const void* buffer, win::DWORD flags,
                                     void* overlapped);
  using InitSecurityInterfaceFn = win::INIT_SECURITY_INTERFACE_A;

  GetAddrInfoFn getaddrinfo = nullptr;
  FreeAddrInfoFn freeaddrinfo = nullptr;
  GetNameInfoFn getnameinfo = nullptr;
  GetHostByAddrFn gethostbyaddr = nullptr;
  DsGetDcNameFn DsGetDcNameA = nullptr;
  NetApiBufferFreeFn NetApiBufferFree = nullptr;
  QosCreateHandleFn QOSCreateHandle = nullptr;
  QosCloseHandleFn QOSCloseHandle = nullptr;
  QosAddSocketToFlowFn QOSAddSocketToFlow = nullptr;
  QosRemoveSocketFromFlowFn QOSRemoveSocketFromFlow = nullptr;
  QosSetFlowFn QOSSetFlow = nullptr;
  // The SSPI function table, copied whole; all null when not obtained.
  win::SecurityFunctionTableA sspi_table = {};
  bool have_sspi_table = false;

  win::HMODULE ws2_32 = nullptr;
  win::HMODULE netapi32 = nullptr;
  win::HMODULE crypt32 = nullptr;
  win::HMODULE qwave = nullptr;
  win::HMODULE secur32 = nullptr;
  bool qwave_bound = false;
};

NetEntryPoints& NetEntries();

// The Windows 8.1 flag of the TLS path: 1 true, 0 false, -1 unset (no RtlGetVersion).
int Windows81Flag();
// From RtlGetVersion: true for 7 or more, or 6 with minor 3 or more.
void ReadWindowsVersionFlag();
// The Windows major version (for the default socket buffer sizes); 10 when unknown.
unsigned WindowsMajorVersion();

// Binding and release, run by the library's start and end (in their order there).
void BindWs2Entries();
void BindNetapiEntries();
void BindCrypt32();
void BindQwaveEntries();  // once; a second call does nothing
// Binds the SSPI table when it is not bound yet (it is bound on first need, not at start-up);
// the table, or null when secur32 or its table is missing.
void BindSecurityInterface();
const win::SecurityFunctionTableA* SecurityInterface();
// Drops the table and secur32, so the next need binds them again.
void ReleaseSecurityInterface();
void ReleaseOptionalLibraries();  // secur32, crypt32 and qwave; handles cleared

// Empty name: address 0 and 0. Else getaddrinfo (AF_INET, flags, socket type); the first
// address (network order) is copied out. The getaddrinfo error, or -1 when it is missing.
int ResolveIPv4(const char* name, uint32_t* address, int flags, int socket_type);
// Empty name: a cleared address of family AF_INET6 and 0. A "%" splits off a decimal scope id,
// which replaces the result's. The getaddrinfo error, or -1 when it is missing.
int ResolveIPv6(const char* name, win::sockaddr_in6* address, int flags, int socket_type);
// getnameinfo NI_NUMERICHOST into out (at least 60 bytes); "" when getnameinfo is missing or
// fails.
void Ipv6Text(const win::sockaddr_in6& address, char* out, int size);
constexpr int kIpv6TextSize = 60;
// "%u.%u.%u.%u" of the four bytes in memory order into out (at least 16 bytes); returns out.
const char* Ipv4Text(uint32_t address, char* out, int size);
constexpr int kIpv4TextSize = 16;
// inet_addr first, then gethostbyname's first address. The Winsock error (10093 before the
// network library is started) with address 0.
int LegacyResolve(const char* name, uint32_t* address);

}  // namespace tw
