// Run-time loading of libraries with the home platform's calls.
//
// The system libraries the components load by name ("ws2_32.dll", "wininet.dll", "secur32.dll",
// "crypt32.dll", "qwave.dll", "netapi32.dll", "wpcap.dll", "iphlpapi.dll", "ntdll.dll",
// "ncrypt.dll") are stand-ins built into this layer: a table of entry points per name. A stand-in
// that has no table behaves as a library that is not installed. Any other name is given to
// dlopen, so a caller-named module (a PKCS#11 token library, libpcap) is the real one.
//
// Every name can be switched off from a test: loading it then fails as a missing library would,
// which is how the "could not be loaded" paths of the components are reached.
//
// Module handles are never reused. Loading a module that is already loaded returns its handle
// and counts one more reference, as on the home platform.
#pragma once

#include <cstdint>
#include <span>

#include "platform/handle.h"
#include "platform/last_error.h"

namespace win {

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
// void (*)() converts to and from any function pointer type without a cast-type warning.
using FARPROC = void (*)();

// Names without a path compare without regard to case; a name without an extension gets ".dll".
// Null with ERROR_MOD_NOT_FOUND (126) for a missing or switched-off library, ERROR_BAD_EXE_FORMAT
// (193) for a file that is not a loadable module.
HMODULE LoadLibraryA(const char* name);
// Names compare exactly. Null with ERROR_PROC_NOT_FOUND (127), or ERROR_INVALID_HANDLE.
FARPROC GetProcAddress(HMODULE module, const char* name);
// Drops one reference; the module goes with the last one.
BOOL FreeLibrary(HMODULE module);

// One exported entry point of a stand-in.
struct ProcEntry {
  const char* name;
  FARPROC proc;
};

// Makes `dll` a stand-in with these entry points (the table must outlive the process's use of
// it), replacing an earlier table. For stand-ins of other units and for tests.
void RegisterStandIn(const char* dll, std::span<const ProcEntry> exports);

// Test hooks: loading `name` (a stand-in or a module path) fails while it is switched off.
// Handles already loaded keep working.
void SetLibraryEnabled(const char* name, bool enabled);
void EnableAllLibraries();

// ---- ntdll.dll ----
using NTSTATUS = int32_t;
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);

struct RTL_OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;  // set by the caller to sizeof(RTL_OSVERSIONINFOW)
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char16_t szCSDVersion[128];
};

// Reports the version the system runs as: 10.0 unless a test chose another.
NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info);
void SetReportedVersionForTesting(DWORD major, DWORD minor);

}  // namespace win
