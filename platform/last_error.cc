#include "platform/last_error.h"

#include <cerrno>

namespace win {
namespace {
thread_local DWORD last_error = 0;

struct ErrnoMap {
  int err;
  DWORD code;
};

constexpr ErrnoMap kErrnoMap[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},   {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},     {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EIO, ERROR_WRITE_FAULT},         {EEXIST, ERROR_ALREADY_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER}, {ENOSPC, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_INVALID_NAME}, {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ENOSYS, ERROR_NOT_SUPPORTED},    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ETIMEDOUT, 10060},               {ECONNREFUSED, 10061},
    {ECONNRESET, 10054},              {ENOTCONN, 10057},
    {EAGAIN, 10035},                  {EINPROGRESS, 10035},
    {EALREADY, 10037},                {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},            {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},              {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},         {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},              {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},                {ENETUNREACH, 10051},
    {ENETRESET, 10052},               {ECONNABORTED, 10053},
    {ENOBUFS, 10055},                 {EISCONN, 10056},
    {ESHUTDOWN, 10058},               {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},            {EPIPE, 10058},
};
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD ErrorFromErrno(int err) {
  if (err == 0) return ERROR_SUCCESS;
  for (const auto& m : kErrnoMap) {
    if (m.err == err) return m.code;
  }
  return ERROR_INVALID_PARAMETER;
}

DWORD SetLastErrorFromErrno(int err) {
  last_error = ErrorFromErrno(err);
  return last_error;
}

}  // namespace win
