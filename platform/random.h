// The cryptographic random generator of the home platform's CryptoAPI (advapi32): a provider
// context for a key container, random bytes from it, and its release.
//
// Behind it stands getrandom(), looped over short reads and interrupted calls. There is no weaker
// source to fall back to: when the kernel generator fails, CryptGenRandom fails and the caller
// must treat the bytes as missing.
//
// Key containers live for the process: acquiring one that does not exist fails with
// NTE_BAD_KEYSET until it is created with CRYPT_NEWKEYSET, as on the home platform.
#pragma once

#include <cstdint>

#include "platform/handle.h"
#include "platform/last_error.h"

namespace win {

using HCRYPTPROV = uintptr_t;

constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD PROV_RSA_AES = 24;

constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;

// CryptoAPI failure numbers (as DWORDs, the way GetLastError reports them).
constexpr DWORD NTE_BAD_UID = 0x80090001;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
constexpr DWORD NTE_EXISTS = 0x8009000F;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr DWORD NTE_FAIL = 0x80090020;

// container null: the default container. A named provider_name is served by the key containers
// of platform/key_container.h.
// On success *provider is a new context, never 0; on failure it is left 0 and the last error set.
BOOL CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* provider_name,
                          DWORD provider_type, DWORD flags);
// Fills length bytes. FALSE with NTE_BAD_UID for a context that is not open, or with the
// mapped errno when the kernel generator fails (the buffer is then not fully written).
BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, uint8_t* buffer);
// FALSE with NTE_BAD_FLAGS for flags other than 0, NTE_BAD_UID for a context that is not open.
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);

// The entry points as a component binds them from advapi32; each is null when the library is
// missing, and the caller must then report the feature as unavailable.
struct CryptRandomEntryPoints {
  BOOL (*acquire)(HCRYPTPROV*, const char*, const char*, DWORD, DWORD);
  BOOL (*generate)(HCRYPTPROV, DWORD, uint8_t*);
  BOOL (*release)(HCRYPTPROV, DWORD);
};
CryptRandomEntryPoints BindCryptRandom();

// ---- Test hooks ----
enum class CryptRandomFault {
  kNone,
  kLibraryMissing,  // BindCryptRandom hands out null entry points
  kAcquireFails,    // every acquisition fails with NTE_FAIL
  kGenerateFails,   // the kernel generator reports ENOSYS
  kShortReads,      // the kernel generator returns at most 5 bytes a call, with an EINTR between
};
void SetCryptRandomFaultForTesting(CryptRandomFault fault);
// Open contexts (tests check that every acquisition is released).
long OpenCryptContextCount();
// Calls made to the kernel generator so far.
long KernelRandomCallCount();
// Forgets every key container created so far.
void ResetKeyContainersForTesting();

}  // namespace win
