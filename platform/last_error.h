// The thread-local last error, numbered as on the home platform.
#pragma once

#include <cstdint>

namespace win {

using DWORD = uint32_t;

// Windows error numbers the layer produces.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_WRITE_FAULT = 29,
  ERROR_READ_FAULT = 30,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_HANDLE_EOF = 38,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DISK_FULL = 112,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_MOD_NOT_FOUND = 126,
  ERROR_PROC_NOT_FOUND = 127,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_NO_UNICODE_TRANSLATION = 1113,
  ERROR_INVALID_WINDOW_HANDLE = 1400,
  ERROR_CANNOT_FIND_WND_CLASS = 1407,
  ERROR_CLASS_ALREADY_EXISTS = 1410,
  ERROR_CLASS_DOES_NOT_EXIST = 1411,
  ERROR_CLASS_HAS_WINDOWS = 1412,
  ERROR_INVALID_INDEX = 1413,
  ERROR_TIMEOUT = 1460,
  ERROR_NOT_ENOUGH_QUOTA = 1816,
};

DWORD GetLastError();
void SetLastError(DWORD code);

// Maps an errno value to the Windows number (files and general errors; sockets map to 10000+).
DWORD ErrorFromErrno(int err);
// Sets the last error from errno and returns it.
DWORD SetLastErrorFromErrno(int err);

}  // namespace win
