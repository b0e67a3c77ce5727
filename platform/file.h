// Files with the home platform's calls and semantics over POSIX files.
//
// Names: wide names are UTF-16 (char16_t), 8-bit names are in the ANSI code page (GetACP()).
// "/" is the separator; "\" is accepted in every name and taken as "/". Names holding a character
// the home platform forbids in names (< > " | ? * or a control character) fail with
// ERROR_INVALID_NAME.
//
// Errors: FALSE, INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES or 0 with the last error set as
// the home platform sets it: a missing file ERROR_FILE_NOT_FOUND (2), a missing folder on the way
// ERROR_PATH_NOT_FOUND (3), no permission or a folder opened as a file ERROR_ACCESS_DENIED (5),
// CREATE_NEW on an existing file ERROR_FILE_EXISTS (80), CreateDirectory or MoveFileEx onto an
// existing name ERROR_ALREADY_EXISTS (183), a sharing conflict ERROR_SHARING_VIOLATION (32).
//
// Sharing is enforced between all handles of a file, in this process or another, as the home
// platform does: an open whose access the open handles do not share (or whose sharing does not
// admit their access) fails with ERROR_SHARING_VIOLATION, and so does removing or renaming a file
// that a handle holds without FILE_SHARE_DELETE. Between processes this holds for regular files
// on file systems with locks; a handle that may only write, of a file we may not read, is seen by
// no other process.
#pragma once

#include <cstdint>

#include "platform/handle.h"
#include "platform/last_error.h"

namespace win {

// Only the security descriptor of OwnerOnlySecurity() is known; callers otherwise pass nullptr.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};
struct OVERLAPPED;           // never used; callers pass nullptr

struct LARGE_INTEGER {
  int64_t QuadPart;
};

constexpr DWORD MAX_PATH = 260;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;

// Access rights.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_APPEND_DATA = 0x0004u;  // alone: every write goes to the end of the file

// Sharing.
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes and flags.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;  // names beginning with "."
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;  // never reported
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;  // reported for every file that is not a folder
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// SetFilePointerEx origins.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// MoveFileExW flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

// Attributes that give a new file to its owner alone (mode 0600; no use of its group and others).
SECURITY_ATTRIBUTES* OwnerOnlySecurity();

// CREATE_ALWAYS and OPEN_ALWAYS on an existing file succeed with the last error
// ERROR_ALREADY_EXISTS, else 0. FILE_ATTRIBUTE_READONLY in attributes makes a new file read-only.
// security is null (the default access) or OwnerOnlySecurity(); another descriptor fails with
// ERROR_INVALID_PARAMETER.
HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE template_file);
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE template_file);

// A read at the end of the file succeeds with 0 bytes. A read of a handle opened without
// GENERIC_READ (or a write without write access) fails with ERROR_ACCESS_DENIED.
BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
               OVERLAPPED* overlapped);

// new_position may be null. A resulting position below 0 fails with ERROR_NEGATIVE_SEEK (131).
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* new_position,
                      DWORD method);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);

BOOL DeleteFileW(const char16_t* name);
BOOL DeleteFileA(const char* name);
BOOL MoveFileExW(const char16_t* from, const char16_t* to, DWORD flags);

DWORD GetFileAttributesW(const char16_t* name);
DWORD GetFileAttributesA(const char* name);
// Only FILE_ATTRIBUTE_READONLY has an effect (clears or sets the write permission bits).
BOOL SetFileAttributesW(const char16_t* name, DWORD attributes);
BOOL SetFileAttributesA(const char* name, DWORD attributes);

BOOL CreateDirectoryW(const char16_t* name, SECURITY_ATTRIBUTES* security);
BOOL CreateDirectoryA(const char* name, SECURITY_ATTRIBUTES* security);

// The temporary folder ($TMPDIR, else /tmp) with a trailing "/". Returns its length in
// characters without the NUL; when the buffer is too small, the size needed including the NUL;
// 0 on failure.
DWORD GetTempPathW(DWORD buffer_chars, char16_t* buffer);

// With unique 0: creates a new empty file "<path><first 3 characters of prefix>XXXXXX.TMP" and
// returns a non-zero number; otherwise only forms the name with unique in hexadecimal.
// out holds MAX_PATH characters. 0 on failure.
unsigned GetTempFileNameW(const char16_t* path, const char16_t* prefix, unsigned unique,
                          char16_t* out);

// Puts the content of `replacement` in place of the existing file `replaced`, which keeps what
// makes it that file: a symbolic link is followed to its target; the result has the replaced
// file's permission bits, extended attributes (the access control list among them) and, where
// the process may set them, its owner and group; a file with several names keeps them all. The
// replacement is renamed over the file where that keeps all of this; otherwise (several names,
// an attribute the replacement cannot take, a folder that takes no rename, another file system)
// its content is written over the file's and the replacement removed. Room for the new content
// is taken before the first old byte changes. backup must be null and flags 0.
BOOL ReplaceFileW(const char16_t* replaced, const char16_t* replacement, const char16_t* backup,
                  DWORD flags, void* exclude, void* reserved);

// Locks the whole file against other handles, in this process or another, until the handle is
// closed (bytes and overlapped are not used: the lock covers the whole file).
// A conflicting lock gives ERROR_LOCK_VIOLATION with LOCKFILE_FAIL_IMMEDIATELY, else waits.
constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                OVERLAPPED* overlapped);

// Files that an interrupted process must not leave behind. A name registered here (at most
// kMaxRegisteredTempFiles at a time) is removed by RemoveRegisteredTempFiles, which only unlinks
// and may be called from a signal handler. Register returns a slot number, or -1 when the name
// cannot be held (the file is then simply not removed).
constexpr int kMaxRegisteredTempFiles = 16;
int RegisterTempFileForRemoval(const char16_t* name);
void UnregisterTempFile(int slot);
void RemoveRegisteredTempFiles();

}  // namespace win
