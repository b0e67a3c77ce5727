// The key containers of the CryptoAPI providers: each named container is a file in a private
// folder (mode 0700) that holds the private-key blob imported into it. The folder is
// $TW_KEY_CONTAINERS, or else ~/.config/tarnwick/keycontainers; containers of the machine key
// set live in its "machine" subfolder. The variable is read on every call.
//
// CryptAcquireContextA (platform/random.h) hands a call that names a provider to
// KeyContainerAcquire, and CryptReleaseContext a context made here to KeyContainerRelease.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/random.h"

namespace win {

using HCRYPTKEY = uintptr_t;

constexpr DWORD PROV_DSS = 3;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr DWORD CRYPT_SILENT = 0x00000040;
constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
constexpr DWORD AT_KEYEXCHANGE = 1;
constexpr DWORD AT_SIGNATURE = 2;

constexpr DWORD NTE_BAD_DATA = 0x80090005;
constexpr DWORD NTE_BAD_KEY = 0x80090003;
constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
constexpr DWORD NTE_NO_KEY = 0x8009000D;
constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;

constexpr char kKeyContainersVariable[] = "TW_KEY_CONTAINERS";

// The folder of the containers (of the machine key set when `machine`), made with mode 0700 when
// missing and narrowed to 0700 when it is wider. "" when it cannot be made.
std::string KeyContainersFolder(bool machine);

// CryptAcquireContextA for a named provider of type PROV_RSA_FULL, PROV_RSA_AES or PROV_DSS.
// A container name is required (no separators, not "." or ".."), except for a verify context.
BOOL KeyContainerAcquire(HCRYPTPROV* provider, const char* container, const char* provider_name,
                         DWORD provider_type, DWORD flags);
bool IsKeyContainerContext(HCRYPTPROV provider);
BOOL KeyContainerRelease(HCRYPTPROV provider);

// Imports a PRIVATEKEYBLOB (RSA version 2, DSS version 3) into the context's container, which
// keeps it in its file (mode 0600). FALSE with NTE_BAD_UID, NTE_BAD_DATA, NTE_BAD_TYPE (a blob
// of another family than the provider's), NTE_BAD_KEYSET (a verify context) or a file error.
BOOL CryptImportKey(HCRYPTPROV provider, const uint8_t* blob, DWORD length, HCRYPTKEY public_key,
                    DWORD flags, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);

// The private-key blob of a container, as the other stand-ins read it. False when there is none.
bool ReadKeyContainerBlob(const std::string& container, bool machine, std::vector<uint8_t>* blob);

// Contexts and keys still open (tests check that each is released).
long OpenKeyContainerHandles();

}  // namespace win
