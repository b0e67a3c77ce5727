// Kernel-object handles: opaque numbers that are never reused, so a late call or notification
// that carries an old number finds nothing instead of reaching a newer object.
//
// An object lives as long as its handle is open or an operation in flight holds it: closing a
// handle while another thread is inside ReadFile on it cannot pull the descriptor away mid-call.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/last_error.h"

namespace win {

using BOOL = int;
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

using HANDLE = void*;
// -1 as a pointer, as on the home platform; never handed out as a handle.
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Process-wide source of handle numbers (files, events, sockets, windows): strictly increasing,
// never 0 and never -1.
uintptr_t NewHandleId();

// The base of every object that stands behind a HANDLE. Its destructor releases the resource.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

// Registers the object and returns its new handle.
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object of an open handle, or null (last error ERROR_INVALID_HANDLE) when the handle is not
// open or is of another kind.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

// Drops the handle; the object goes when the last operation holding it ends.
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// Number of open handles (tests check that failed opens leave none behind).
long OpenHandleCount();

}  // namespace win
