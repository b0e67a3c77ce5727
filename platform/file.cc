#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;

constexpr DWORD kWriteAccess = GENERIC_WRITE | FILE_APPEND_DATA;
constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

// Characters the home platform refuses in names; taking them here keeps names portable and stops
// an unfilled "???" template from becoming a real file.
constexpr char kForbiddenNameChars[] = "<>\"|?*";

constexpr int kTempPrefixChars = 3;

// ---- names ----

// Checks a UTF-8 name and turns it into the POSIX path.
bool FinishPath(std::string* path) {
  if (path->empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  for (char& c : *path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr(kForbiddenNameChars, c) != nullptr) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    if (c == '\\') c = '/';
  }
  return true;
}

bool WideToUtf8(const char16_t* wide, int count, std::string* out) {
  out->clear();
  if (count == 0) return true;
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, count, nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, count, out->data(), n, nullptr,
                             nullptr) == n;
}

bool Utf8ToWide(const std::string& text, std::u16string* out) {
  out->clear();
  if (text.empty()) return true;
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out->data(),
                             n) == n;
}

bool PathFromWide(const char16_t* name, std::string* path) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!WideToUtf8(name, static_cast<int>(std::char_traits<char16_t>::length(name)), path)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return FinishPath(path);
}

// 8-bit names are in the ANSI code page; under UTF-8 they pass as they are.
bool PathFromAnsi(const char* name, std::string* path) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (GetACP() == CP_UTF8) {
    path->assign(name);
    return FinishPath(path);
  }
  int n = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (n <= 0) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  std::u16string wide(static_cast<size_t>(n), u'\0');
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), n) != n) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return PathFromWide(wide.c_str(), path);
}

std::string ParentOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" names b
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The home platform tells a missing file (2) from a missing folder on the way (3).
DWORD SetErrorForPath(int err, const std::string& path) {
  if (err == ENOENT && !IsDirectory(ParentOf(path))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return ERROR_PATH_NOT_FOUND;
  }
  return SetLastErrorFromErrno(err);
}

bool IsReadOnlyMode(mode_t mode) { return (mode & kAnyWriteBit) == 0; }

int RetryOpen(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// ---- sharing between the handles of this process ----

struct FileKey {
  dev_t dev;
  ino_t ino;
  bool operator<(const FileKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

struct ShareEntry {
  const void* owner;
  DWORD access;
  DWORD share;
};

std::mutex share_lock;
std::map<FileKey, std::vector<ShareEntry>>& ShareTable() {
  static auto* table = KeepProcessTable(new std::map<FileKey, std::vector<ShareEntry>>);
  return *table;
}

bool Compatible(DWORD access, DWORD share, const ShareEntry& open) {
  if ((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) return false;
  if ((access & kWriteAccess) && !(open.share & FILE_SHARE_WRITE)) return false;
  if ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
  if ((open.access & kWriteAccess) && !(share & FILE_SHARE_WRITE)) return false;
  return true;
}

// ---- sharing between processes ----

// Each handle of a regular file marks the file with read locks on bytes far past any data: one for
// each access it has and one for each sharing it withholds. The locks are open file description
// locks, so the last close of the descriptor drops them, also when the process dies. An open
// fails when another description holds a mark that conflicts with it.
enum Mark { kHasRead, kHasWrite, kDeniesRead, kDeniesWrite, kDeniesDelete, kMarkCount };
constexpr off_t kMarkBase = std::numeric_limits<off_t>::max() - kMarkCount;
constexpr int kMarkAttempts = 4;

bool LockMark(int fd, int mark, short type, int len = 1) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kMarkBase + mark;
  fl.l_len = len;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when another open file description holds the mark (a file system without locks has none).
bool MarkedElsewhere(int fd, int mark) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kMarkBase + mark;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

// Sets the marks of a handle on mark_fd (a readable descriptor of the file, or -1 when there is
// none: the handle then only checks) and looks for conflicting ones of other descriptions.
bool MarkAcrossProcesses(int fd, int mark_fd, DWORD access, DWORD share) {
  if (mark_fd >= 0) fd = mark_fd;  // its own marks are not in the way
  const bool reads = (access & GENERIC_READ) != 0, writes = (access & kWriteAccess) != 0;
  const bool wanted[kMarkCount] = {reads, writes, !(share & FILE_SHARE_READ),
                                   !(share & FILE_SHARE_WRITE), !(share & FILE_SHARE_DELETE)};
  for (int attempt = 1;; ++attempt) {
    if (mark_fd >= 0) {
      for (int m = 0; m < kMarkCount; ++m) {
        if (wanted[m]) LockMark(mark_fd, m, F_RDLCK);
      }
    }
    const bool conflict = (reads && MarkedElsewhere(fd, kDeniesRead)) ||
                          (writes && MarkedElsewhere(fd, kDeniesWrite)) ||
                          (wanted[kDeniesRead] && MarkedElsewhere(fd, kHasRead)) ||
                          (wanted[kDeniesWrite] && MarkedElsewhere(fd, kHasWrite));
    if (!conflict) return true;
    if (mark_fd >= 0) LockMark(mark_fd, 0, F_UNLCK, kMarkCount);
    if (attempt == kMarkAttempts) return false;
    // Two opens at the same moment may each have seen the other's marks: after a short pause of
    // its own length, one of them finds the way clear.
    thread_local unsigned seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(clock());
    seed = seed * 1103515245u + 12345u;
    const struct timespec pause = {0, static_cast<long>(500000 + (seed >> 8) % 2000000)};
    nanosleep(&pause, nullptr);
  }
}

// A descriptor of the file at path (as st names it) for setting or testing marks, or -1.
int OpenForMarks(const std::string& path, const struct stat& st, int flags) {
  int fd = RetryOpen(path.c_str(), flags | O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
  struct stat now;
  if (fd >= 0 && (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
    close(fd);  // the name went to another file meanwhile
    fd = -1;
  }
  return fd;
}

// Whether a handle of another process stands in the way of removing or renaming path.
bool DeleteAllowedElsewhere(const std::string& path, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return true;
  int fd = OpenForMarks(path, st, O_NOFOLLOW);
  if (fd < 0) return true;  // unreadable to us: not checked
  const bool allowed = !MarkedElsewhere(fd, kDeniesDelete);
  close(fd);
  return allowed;
}

// Delete and rename need every open handle of the file, in any process, to share delete access.
bool DeleteAllowed(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  {
    std::lock_guard<std::mutex> guard(share_lock);
    auto it = ShareTable().find(FileKey{st.st_dev, st.st_ino});
    if (it != ShareTable().end()) {
      for (const ShareEntry& e : it->second) {
        if (!(e.share & FILE_SHARE_DELETE)) return false;
      }
    }
  }
  return DeleteAllowedElsewhere(path, st);
}

class FileObject : public KernelObject {
 public:
  FileObject(int fd, DWORD access) : fd_(fd), access_(access) {}
  ~FileObject() override {
    if (registered_) {
      std::lock_guard<std::mutex> guard(share_lock);
      auto it = ShareTable().find(key_);
      if (it != ShareTable().end()) {
        auto& entries = it->second;
        for (size_t i = 0; i < entries.size(); ++i) {
          if (entries[i].owner == this) {
            entries.erase(entries.begin() + static_cast<long>(i));
            break;
          }
        }
        if (entries.empty()) ShareTable().erase(it);
      }
    }
    if (mark_fd_ >= 0) close(mark_fd_);
    if (fd_ >= 0) close(fd_);
  }

  // Joins the file's open handles unless the sharing of this open and theirs conflict.
  bool Register(const struct stat& st, DWORD share) {
    key_ = FileKey{st.st_dev, st.st_ino};
    std::lock_guard<std::mutex> guard(share_lock);
    auto& entries = ShareTable()[key_];
    for (const ShareEntry& e : entries) {
      if (!Compatible(access_, share, e)) return false;
    }
    entries.push_back(ShareEntry{this, access_, share});
    registered_ = true;
    return true;
  }

  // Marks a regular file for the handles of other processes. The marks need a readable
  // descriptor: a handle that may only write keeps a second one, where the file lets us read.
  bool RegisterAcrossProcesses(const std::string& path, const struct stat& st, DWORD share) {
    if (!S_ISREG(st.st_mode)) return true;
    const int mode = fcntl(fd_, F_GETFL) & O_ACCMODE;
    int mark_fd = fd_;
    if (mode == O_WRONLY) mark_fd = mark_fd_ = OpenForMarks(path, st, 0);
    return MarkAcrossProcesses(fd_, mark_fd, access_, share);
  }

  int fd() const { return fd_; }
  DWORD access() const { return access_; }

 private:
  int fd_;
  DWORD access_;
  int mark_fd_ = -1;
  FileKey key_{};
  bool registered_ = false;
};

std::shared_ptr<FileObject> LookupFile(HANDLE file) {
  return LookupHandleAs<FileObject>(file);
}

int OpenFlags(DWORD access) {
  bool read = (access & GENERIC_READ) != 0;
  bool write = (access & GENERIC_WRITE) != 0;
  bool append_only = !write && (access & FILE_APPEND_DATA) != 0;
  int flags = O_CLOEXEC;
  if (append_only) {
    flags |= (read ? O_RDWR : O_WRONLY) | O_APPEND;
  } else if (read && write) {
    flags |= O_RDWR;
  } else if (write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  return flags;
}

HANDLE CreateFileAtPath(const std::string& path, DWORD access, DWORD share,
                        const SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD attributes,
                        int attempt = 1) {
  const bool owner_only =
      security != nullptr && security->lpSecurityDescriptor == OwnerOnlySecurity()->lpSecurityDescriptor;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (security != nullptr && security->lpSecurityDescriptor != nullptr && !owner_only) ||
      (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const int flags = OpenFlags(access);
  const mode_t create_mode =
      ((attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666) & (owner_only ? 0700 : 0777);
  const bool wants_write = (access & kWriteAccess) != 0;

  int fd = -1;
  bool existed = false;
  if (disposition == CREATE_NEW) {
    fd = RetryOpen(path.c_str(), flags | O_CREAT | O_EXCL, create_mode);
    if (fd < 0) {
      if (errno == EEXIST) {
        SetLastError(ERROR_FILE_EXISTS);
      } else {
        SetErrorForPath(errno, path);
      }
      return INVALID_HANDLE_VALUE;
    }
  } else {
    const bool may_create = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    // Open first, create only when missing, so that we know whether the file was there.
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
      fd = RetryOpen(path.c_str(), flags, 0);
      if (fd >= 0) {
        existed = true;
        break;
      }
      if (errno != ENOENT || !may_create) break;
      fd = RetryOpen(path.c_str(), flags | O_CREAT | O_EXCL, create_mode);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      SetErrorForPath(errno, path);
      return INVALID_HANDLE_VALUE;
    }
  }

  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    SetLastErrorFromErrno(err);
    return INVALID_HANDLE_VALUE;
  }
  // A folder is not a file here; a read-only file refuses writers even to root.
  if (S_ISDIR(st.st_mode) || (existed && wants_write && IsReadOnlyMode(st.st_mode))) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }

  auto object = std::make_shared<FileObject>(fd, access);
  if (!object->Register(st, share) || !object->RegisterAcrossProcesses(path, st, share)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;  // the object closes the descriptor
  }
  // A removal that came between the open and the marks took the name from the file: open again,
  // as an open after that removal would have.
  struct stat now;
  if (S_ISREG(st.st_mode) && attempt < kMarkAttempts &&
      (stat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
    object.reset();
    return CreateFileAtPath(path, access, share, security, disposition, attributes, attempt + 1);
  }
  if (existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
    if (ftruncate(fd, 0) != 0) {
      SetLastErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
  }
  HANDLE handle = RegisterHandle(std::move(object));
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
}

DWORD AttributesOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetErrorForPath(errno, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD flags = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (IsReadOnlyMode(st.st_mode)) flags |= FILE_ATTRIBUTE_READONLY;
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t start = path.rfind('/', end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  std::string base = path.substr(start, end - start);
  if (base.size() > 1 && base[0] == '.' && base != "..") flags |= FILE_ATTRIBUTE_HIDDEN;
  return flags;
}

BOOL SetAttributesOf(const std::string& path, DWORD attributes) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetErrorForPath(errno, path);
    return FALSE;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~kAnyWriteBit;
  } else if (IsReadOnlyMode(mode)) {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0) {
    SetErrorForPath(errno, path);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DeleteAtPath(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    SetErrorForPath(errno, path);
    return FALSE;
  }
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!DeleteAllowed(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(path.c_str()) != 0) {
    SetErrorForPath(errno, path);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CreateDirectoryAtPath(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(ERROR_ALREADY_EXISTS);
    } else if (err == ENOENT) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetLastErrorFromErrno(err);
    }
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::string TempFolder() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && env[0] != 0) ? env : "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

std::atomic<unsigned> temp_counter{1};

// ---- replacing a file ----

// Writes all of in (from its start) over out, then cuts out to that size.
bool CopyOver(int in, int out, off_t size) {
  char buffer[65536];
  off_t at = 0;
  while (at < size) {
    ssize_t got = pread(in, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the replacement shrank meanwhile
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = pwrite(out, buffer + done, static_cast<size_t>(got - done), at + done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        if (put == 0) errno = EIO;  // nothing written and no error named
        return false;
      }
      done += put;
    }
    at += got;
  }
  return ftruncate(out, size) == 0 && fsync(out) == 0;
}

// The names of the extended attributes of the file (of fd when path is null); an empty list
// where the file system has none.
bool AttributeNames(const char* path, int fd, std::vector<std::string>* names) {
  names->clear();
  std::vector<char> list;
  for (;;) {
    const ssize_t n = path ? listxattr(path, nullptr, 0) : flistxattr(fd, nullptr, 0);
    if (n < 0) return errno == ENOTSUP;
    list.resize(static_cast<size_t>(n) + 1);
    const ssize_t got = path ? listxattr(path, list.data(), list.size())
                             : flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew meanwhile
    if (got < 0) return false;
    for (size_t at = 0; at < static_cast<size_t>(got); at += names->back().size() + 1) {
      names->emplace_back(list.data() + at);
    }
    return true;
  }
}

bool IsSecurityLabel(const std::string& name) { return name.rfind("security.", 0) == 0; }

// Gives to the extended attributes of the file at from (its access control list among them) and
// drops its own. Security labels are carried where we may; file capabilities never go to new
// content. False when an attribute could not be made the same: a rename would then lose it.
bool CopyExtendedAttributes(const std::string& from, int to) {
  std::vector<std::string> old_names, new_names;
  if (!AttributeNames(from.c_str(), -1, &old_names) || !AttributeNames(nullptr, to, &new_names)) {
    return false;
  }
  for (const std::string& name : new_names) {
    bool kept = false;
    for (const std::string& o : old_names) kept = kept || o == name;
    if (!kept && !IsSecurityLabel(name) && fremovexattr(to, name.c_str()) != 0 &&
        errno != ENODATA) {
      return false;
    }
  }
  std::vector<char> value;
  for (const std::string& name : old_names) {
    if (name == "security.capability") continue;
    ssize_t n;
    do {
      n = getxattr(from.c_str(), name.c_str(), nullptr, 0);
      if (n < 0) break;
      value.resize(static_cast<size_t>(n) + 1);
      n = getxattr(from.c_str(), name.c_str(), value.data(), value.size());
    } while (n < 0 && errno == ERANGE);
    if (n < 0 && errno == ENODATA) continue;  // removed meanwhile
    const bool set =
        n >= 0 && fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(n), 0) == 0;
    if (!set && !IsSecurityLabel(name)) return false;
  }
  return true;
}

BOOL ReplaceAtPath(const std::string& replaced, const std::string& replacement) {
  char* real = realpath(replaced.c_str(), nullptr);
  if (real == nullptr) {
    SetErrorForPath(errno, replaced);
    return FALSE;
  }
  const std::string target(real);
  std::free(real);
  struct stat old;
  if (stat(target.c_str(), &old) != 0) {
    SetErrorForPath(errno, target);
    return FALSE;
  }
  if (!S_ISREG(old.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const int in = RetryOpen(replacement.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (in < 0) {
    SetErrorForPath(errno, replacement);
    return FALSE;
  }
  struct stat fresh;
  if (fstat(in, &fresh) != 0) {
    SetLastErrorFromErrno(errno);
    close(in);
    return FALSE;
  }
  // A rename would give the other names of the file the old content.
  if (old.st_nlink == 1 && CopyExtendedAttributes(target, in)) {
    // Owner first: a change of owner clears the set-id bits that the mode then restores. A
    // process that may not give the file away keeps what it may.
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
        fchown(in, old.st_uid, old.st_gid) != 0) {
      (void)!fchown(in, static_cast<uid_t>(-1), old.st_gid);
    }
    // The mode last: it agrees with the access control list just copied, and keeps set-id bits.
    if (fchmod(in, old.st_mode & 07777) == 0 && rename(replacement.c_str(), target.c_str()) == 0) {
      close(in);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
  }
  const int out = RetryOpen(target.c_str(), O_WRONLY | O_CLOEXEC, 0);
  if (out < 0) {
    SetErrorForPath(errno, target);
    close(in);
    return FALSE;
  }
  // Room first, so that a full disk fails before any old byte changes.
  int err = fresh.st_size > old.st_size ? posix_fallocate(out, 0, fresh.st_size) : 0;
  if (err == EOPNOTSUPP || err == EINVAL) err = 0;  // the file system cannot reserve: write on
  if (err == 0 && !CopyOver(in, out, fresh.st_size)) err = errno;
  if (close(out) != 0 && err == 0) err = errno;
  close(in);
  if (err != 0) {
    SetLastErrorFromErrno(err);
    return FALSE;
  }
  unlink(replacement.c_str());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- files to remove when the process is interrupted ----

struct TempSlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 holds a name
  char path[4096];
};
TempSlot temp_slots[kMaxRegisteredTempFiles];

}  // namespace

SECURITY_ATTRIBUTES* OwnerOnlySecurity() {
  static char descriptor;
  static SECURITY_ATTRIBUTES owner_only{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
  return &owner_only;
}

HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE) {
  std::string path;
  if (!PathFromWide(name, &path)) return INVALID_HANDLE_VALUE;
  return CreateFileAtPath(path, access, share, security, disposition, attributes);
}

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE) {
  std::string path;
  if (!PathFromAnsi(name, &path)) return INVALID_HANDLE_VALUE;
  return CreateFileAtPath(path, access, share, security, disposition, attributes);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read_count, OVERLAPPED*) {
  if (read_count != nullptr) *read_count = 0;
  auto object = LookupFile(file);
  if (!object) return FALSE;
  if (!(object->access() & GENERIC_READ)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (buffer == nullptr && to_read != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A file read is short only at the end; keep going over interruptions and partial reads.
  DWORD total = 0;
  auto* out = static_cast<char*>(buffer);
  while (total < to_read) {
    ssize_t n = read(object->fd(), out + total, to_read - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read_count != nullptr) *read_count = total;
      SetLastError(errno == EIO ? ERROR_READ_FAULT : ErrorFromErrno(errno));
      return FALSE;
    }
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  if (read_count != nullptr) *read_count = total;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written, OVERLAPPED*) {
  if (written != nullptr) *written = 0;
  auto object = LookupFile(file);
  if (!object) return FALSE;
  if (!(object->access() & kWriteAccess)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (buffer == nullptr && to_write != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD total = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (total < to_write) {
    ssize_t n = write(object->fd(), in + total, to_write - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = total;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (n == 0) {
      if (written != nullptr) *written = total;
      SetLastError(ERROR_DISK_FULL);
      return FALSE;
    }
    total += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = total;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* new_position,
                      DWORD method) {
  auto object = LookupFile(file);
  if (!object) return FALSE;
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  off_t pos = lseek(object->fd(), static_cast<off_t>(distance.QuadPart), whence);
  if (pos < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    return FALSE;
  }
  if (new_position != nullptr) new_position->QuadPart = static_cast<int64_t>(pos);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD, DWORD, OVERLAPPED*) {
  auto object = LookupFile(file);
  if (!object) return FALSE;
  const int how = ((flags & LOCKFILE_EXCLUSIVE_LOCK) ? LOCK_EX : LOCK_SH) |
                  ((flags & LOCKFILE_FAIL_IMMEDIATELY) ? LOCK_NB : 0);
  int rc;
  do {
    rc = flock(object->fd(), how);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    SetLastError(errno == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  auto object = LookupFile(file);
  if (!object) return FALSE;
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (fstat(object->fd(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  size->QuadPart = static_cast<int64_t>(st.st_size);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DeleteFileW(const char16_t* name) {
  std::string path;
  if (!PathFromWide(name, &path)) return FALSE;
  return DeleteAtPath(path);
}

BOOL DeleteFileA(const char* name) {
  std::string path;
  if (!PathFromAnsi(name, &path)) return FALSE;
  return DeleteAtPath(path);
}

BOOL MoveFileExW(const char16_t* from, const char16_t* to, DWORD flags) {
  std::string source, target;
  if (!PathFromWide(from, &source) || !PathFromWide(to, &target)) return FALSE;
  struct stat st;
  if (lstat(source.c_str(), &st) != 0) {
    SetErrorForPath(errno, source);
    return FALSE;
  }
  if (!DeleteAllowed(source)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  struct stat existing;
  bool target_exists = lstat(target.c_str(), &existing) == 0;
  if (target_exists && source != target) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (S_ISDIR(existing.st_mode) ||
        (S_ISREG(existing.st_mode) && IsReadOnlyMode(existing.st_mode)) ||
        !DeleteAllowed(target)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  int rc;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    rc = rename(source.c_str(), target.c_str());
  } else {
    // Refuses atomically when the target appeared since the check above.
    rc = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = rename(source.c_str(), target.c_str());
  }
  if (rc != 0) {
    if (errno == EEXIST) {
      SetLastError(ERROR_ALREADY_EXISTS);
    } else if (errno == EXDEV) {
      SetLastError(ERROR_NOT_SAME_DEVICE);
    } else {
      SetErrorForPath(errno, target);
    }
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD GetFileAttributesW(const char16_t* name) {
  std::string path;
  if (!PathFromWide(name, &path)) return INVALID_FILE_ATTRIBUTES;
  return AttributesOf(path);
}

DWORD GetFileAttributesA(const char* name) {
  std::string path;
  if (!PathFromAnsi(name, &path)) return INVALID_FILE_ATTRIBUTES;
  return AttributesOf(path);
}

BOOL SetFileAttributesW(const char16_t* name, DWORD attributes) {
  std::string path;
  if (!PathFromWide(name, &path)) return FALSE;
  return SetAttributesOf(path, attributes);
}

BOOL SetFileAttributesA(const char* name, DWORD attributes) {
  std::string path;
  if (!PathFromAnsi(name, &path)) return FALSE;
  return SetAttributesOf(path, attributes);
}

BOOL CreateDirectoryW(const char16_t* name, SECURITY_ATTRIBUTES*) {
  std::string path;
  if (!PathFromWide(name, &path)) return FALSE;
  return CreateDirectoryAtPath(path);
}

BOOL CreateDirectoryA(const char* name, SECURITY_ATTRIBUTES*) {
  std::string path;
  if (!PathFromAnsi(name, &path)) return FALSE;
  return CreateDirectoryAtPath(path);
}

DWORD GetTempPathW(DWORD buffer_chars, char16_t* buffer) {
  std::u16string wide;
  if (!Utf8ToWide(TempFolder(), &wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (buffer == nullptr || buffer_chars < wide.size() + 1) {
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size() + 1);
  }
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}

unsigned GetTempFileNameW(const char16_t* path, const char16_t* prefix, unsigned unique,
                          char16_t* out) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string folder;
  if (!PathFromWide(path, &folder)) return 0;
  if (folder.back() != '/') folder.push_back('/');
  std::u16string pre;
  if (prefix != nullptr) {
    pre.assign(prefix, std::char_traits<char16_t>::length(prefix));
    if (pre.size() > kTempPrefixChars) pre.resize(kTempPrefixChars);
  }
  std::string pre8;
  if (!pre.empty() && (!WideToUtf8(pre.data(), static_cast<int>(pre.size()), &pre8) ||
                       !FinishPath(&pre8) || pre8.find('/') != std::string::npos)) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  if (!IsDirectory(folder)) {
    SetLastError(ERROR_DIRECTORY);
    return 0;
  }

  std::string name;
  unsigned result;
  if (unique != 0) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", unique & 0xFFFFu);
    name = folder + pre8 + hex + ".TMP";
    result = unique;
  } else {
    std::string templ = folder + pre8 + "XXXXXX.TMP";
    int fd = mkstemps(templ.data(), 4);
    if (fd < 0) {
      SetErrorForPath(errno, templ);
      return 0;
    }
    close(fd);
    name = templ;
    result = temp_counter.fetch_add(1);
    if (result == 0) result = temp_counter.fetch_add(1);
  }
  std::u16string wide;
  if (!Utf8ToWide(name, &wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (wide.size() + 1 > MAX_PATH) {
    if (unique == 0) unlink(name.c_str());
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  SetLastError(ERROR_SUCCESS);
  return result;
}

BOOL ReplaceFileW(const char16_t* replaced, const char16_t* replacement, const char16_t* backup,
                  DWORD flags, void*, void*) {
  if (backup != nullptr || flags != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  std::string target, source;
  if (!PathFromWide(replaced, &target) || !PathFromWide(replacement, &source)) return FALSE;
  return ReplaceAtPath(target, source);
}

int RegisterTempFileForRemoval(const char16_t* name) {
  std::string path;
  if (!PathFromWide(name, &path) || path.size() >= sizeof temp_slots[0].path) return -1;
  for (int i = 0; i < kMaxRegisteredTempFiles; ++i) {
    int expected = 0;
    if (!temp_slots[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(temp_slots[i].path, path.c_str(), path.size() + 1);
    temp_slots[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterTempFile(int slot) {
  if (slot >= 0 && slot < kMaxRegisteredTempFiles) {
    temp_slots[slot].state.store(0, std::memory_order_release);
  }
}

void RemoveRegisteredTempFiles() {
  for (TempSlot& slot : temp_slots) {
    if (slot.state.load(std::memory_order_acquire) == 2) unlink(slot.path);
  }
}

}  // namespace win
