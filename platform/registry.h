// The registry: a tree of keys with typed values, kept in one text file.
//
// The file is named by the environment variable TW_REGISTRY_FILE, or else is
// ~/.config/tarnwick/registry.txt. It is read again whenever
// it changed on disk, and every change is written at once to a temporary file in the same folder
// that then replaces it (rename), so a crash never leaves a half-written registry.
//
// Changes are made under a lock on "<file>.lock", so writers in several processes never lose each
// other's change; a RegistryTransaction makes several changes one.
//
// Key and value names compare without regard to case (ASCII, Latin-1, Greek and Cyrillic
// letters); their spelling is kept as first created. Names of the "A" calls are in the ANSI code
// page (see codepage.h), string data of the "A" calls too; the "W" calls take UTF-16. String data
// is kept as UTF-16, as on the home platform, so a value written by one form reads by the other.
//
// Three roots: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE (each its own tree).
// Opened key handles are never reused. A handle names its key by path: once the key is deleted,
// calls on the handle fail with ERROR_KEY_DELETED.
//
// File format, one line each, UTF-8:
//   ; comment
//   [HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings]
//   "ProxyEnable"=dword:00000001
//   "ProxyServer"="proxy.example:8080"
//   "Path"=expand:"%HOME%\\bin"
//   "Blob"=hex:01,02,ff
//   "List"=multi:"a","b"
//   "Odd"=hex(5):00,01          (any other type: its number and the raw bytes)
//   @="the default value"
// In quoted strings \\ \" \n \r \t and \u{hex} (any other control character, a lone surrogate)
// are escaped; in key names a control character, "%" or "]" is written as %XX.
#pragma once

#include <cstdint>
#include <string>

#include "platform/last_error.h"
#include "platform/time.h"

namespace win {

using LONG = int32_t;
using LSTATUS = LONG;
using BYTE = uint8_t;
using REGSAM = DWORD;

struct HKEY__;
using HKEY = HKEY__*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights: accepted and ignored (every key is readable and writable).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// Dispositions reported by RegCreateKeyEx.
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Results of the registry calls besides those in last_error.h.
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_KEY_DELETED = 1018;

// All calls return ERROR_SUCCESS (0) or an error number; they do not set the last error.
//
// sub_key may be null or empty (the key itself) and uses "\" between names; one trailing "\" is
// allowed, an empty name elsewhere (a doubled or leading "\") is ERROR_INVALID_PARAMETER.
// Failures: ERROR_FILE_NOT_FOUND (no such key or value), ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER, ERROR_KEY_DELETED, ERROR_ACCESS_DENIED (a root key cannot be deleted;
// RegDeleteKey on a key with subkeys), ERROR_WRITE_FAULT, ERROR_DISK_FULL or ERROR_ACCESS_DENIED
// when the file could not be written (the change is then dropped).
LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM sam, HKEY* result);
LONG RegOpenKeyExW(HKEY key, const char16_t* sub_key, DWORD options, REGSAM sam, HKEY* result);
// Makes every missing key on the path. disposition may be null; class_name and security are
// ignored.
LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* class_name, DWORD options,
                     REGSAM sam, const void* security, HKEY* result, DWORD* disposition);
LONG RegCreateKeyExW(HKEY key, const char16_t* sub_key, DWORD reserved, char16_t* class_name,
                     DWORD options, REGSAM sam, const void* security, HKEY* result,
                     DWORD* disposition);
LONG RegCloseKey(HKEY key);

// name null or "" is the key's default value. type and data may be null; with data null the size
// needed is returned in *size (when size is not null). A buffer too small gives ERROR_MORE_DATA
// with the size needed. String data is returned with its terminating NUL (counted in *size); the
// "A" form converts it to the ANSI code page. Strings stored without a NUL get one when the buffer
// has room for it.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
// REG_SZ/REG_EXPAND_SZ/REG_MULTI_SZ data of the "A" form is ANSI text (size in bytes, with the
// NUL), of the "W" form UTF-16 (size in bytes). REG_DWORD needs exactly 4 bytes, REG_QWORD 8.
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueA(HKEY key, const char* name);
LONG RegDeleteValueW(HKEY key, const char16_t* name);

// Deletes a key without subkeys (ERROR_ACCESS_DENIED otherwise).
LONG RegDeleteKeyA(HKEY key, const char* sub_key);
LONG RegDeleteKeyW(HKEY key, const char16_t* sub_key);
// Deletes the key, its values and all its subkeys; with sub_key null, only the contents of `key`.
LONG RegDeleteTreeA(HKEY key, const char* sub_key);
LONG RegDeleteTreeW(HKEY key, const char16_t* sub_key);

// The index-th subkey name in sorted order (case-insensitive). *name_size is the buffer in
// characters on entry, the length without the NUL on return. ERROR_NO_MORE_ITEMS past the end,
// ERROR_MORE_DATA when the name does not fit. class_name/class_size/last_write may be null.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                   char* class_name, DWORD* class_size, FILETIME* last_write);
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_size, DWORD* reserved,
                   char16_t* class_name, DWORD* class_size, FILETIME* last_write);
// The index-th value (sorted by name); data as for RegQueryValueEx.
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size);

// Makes the calls of one thread between its construction and Commit one change of the file:
// other processes and threads see the registry as it was before or after all of them, never
// part-way, and no other writer runs meanwhile (other threads of this process wait). Without a
// successful Commit every change since the construction is dropped. Transactions may nest; only
// the outermost writes the file.
class RegistryTransaction {
 public:
  RegistryTransaction();
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;
  // ERROR_SUCCESS, or the error of writing the file (the changes are then dropped).
  LONG Commit();

 private:
  bool committed_ = false;
};

// The file in use (TW_REGISTRY_FILE or the per-user default).
std::string RegistryFilePath();
// Number of open key handles (tests check that nothing leaks).
long OpenRegistryKeyCount();

}  // namespace win
