#include "platform/key_container.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/handle.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr char kDefaultSubPath[] = "/.config/tarnwick/keycontainers";
constexpr char kMachineFolder[] = "/machine";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr size_t kMaxNameLength = 200;
constexpr size_t kMaxBlobLength = 16384;
constexpr DWORD kKnownFlags = CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT |
                              CRYPT_VERIFYCONTEXT;
constexpr uint8_t kPrivateKeyBlob = 7;

struct ContextRecord {
  std::string container;  // "" for a verify context
  bool machine = false;
  DWORD type = 0;
};

struct State {
  std::mutex lock;
  std::map<HCRYPTPROV, ContextRecord> contexts;
  std::map<HCRYPTKEY, HCRYPTPROV> keys;
};

State& Live() {
  static State* state = KeepProcessTable(new State);
  return *state;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != 0) return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return found->pw_dir;
  return "";
}

// Makes each missing part of the path; the last part gets mode 0700 whatever it had.
bool MakePrivateFolder(const std::string& path) {
  if (path.empty()) return false;
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), kFolderMode) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return (st.st_mode & 0777) == kFolderMode || ::chmod(path.c_str(), kFolderMode) == 0;
}

bool ValidName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  const size_t n = std::strlen(name);
  if (n > kMaxNameLength || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strpbrk(name, "/\\") == nullptr;
}

std::string ContainerPath(const std::string& name, bool machine) {
  const std::string folder = KeyContainersFolder(machine);
  return folder.empty() ? std::string() : folder + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailErrno() {
  SetLastErrorFromErrno(errno);
  return FALSE;
}

// Writes the whole file under a temporary name and renames it, so a reader never sees half a key.
bool WriteFileAtomically(const std::string& path, const uint8_t* bytes, size_t n) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, kFileMode) == 0;
  for (size_t done = 0; ok && done < n;) {
    const ssize_t w = ::write(fd, bytes + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    if (w > 0) done += static_cast<size_t>(w);
  }
  const int saved = errno;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  errno = saved != 0 ? saved : EIO;
  return false;
}

// Which provider types take the blob: 1 RSA, 3 DSS, 0 neither.
DWORD BlobFamily(const uint8_t* blob, DWORD n) {
  if (n < 16 || blob[0] != kPrivateKeyBlob) return 0;
  if (blob[1] == 2 && std::memcmp(blob + 8, "RSA2", 4) == 0) return PROV_RSA_FULL;
  if (blob[1] == 3 && std::memcmp(blob + 8, "DSS4", 4) == 0) return PROV_DSS;
  return 0;
}

}  // namespace

std::string KeyContainersFolder(bool machine) {
  const char* set = std::getenv(kKeyContainersVariable);
  std::string folder = set != nullptr && *set != '\0' ? std::string(set) : HomeFolder() + kDefaultSubPath;
  if (folder.empty() || folder[0] != '/') return "";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!MakePrivateFolder(folder)) return "";
  if (!machine) return folder;
  folder += kMachineFolder;
  return MakePrivateFolder(folder) ? folder : "";
}

BOOL KeyContainerAcquire(HCRYPTPROV* provider, const char* container, const char* provider_name,
                         DWORD provider_type, DWORD flags) {
  if (provider == nullptr || provider_name == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *provider = 0;
  if (provider_type != PROV_RSA_FULL && provider_type != PROV_RSA_AES && provider_type != PROV_DSS) {
    return Fail(NTE_BAD_PROV_TYPE);
  }
  if ((flags & ~kKnownFlags) != 0) return Fail(NTE_BAD_FLAGS);
  const DWORD action = flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_VERIFYCONTEXT);
  if (action != 0 && action != CRYPT_NEWKEYSET && action != CRYPT_DELETEKEYSET && action != CRYPT_VERIFYCONTEXT) {
    return Fail(NTE_BAD_FLAGS);
  }
  ContextRecord record;
  record.type = provider_type;
  record.machine = (flags & CRYPT_MACHINE_KEYSET) != 0;
  if (action != CRYPT_VERIFYCONTEXT) {
    if (!ValidName(container)) return Fail(NTE_BAD_KEYSET_PARAM);
    const std::string path = ContainerPath(container, record.machine);
    if (path.empty()) return Fail(ERROR_ACCESS_DENIED);
    State& s = Live();
    std::lock_guard<std::mutex> guard(s.lock);
    const bool exists = Exists(path);
    if (action == CRYPT_DELETEKEYSET) {
      if (!exists) return Fail(NTE_BAD_KEYSET);
      if (::unlink(path.c_str()) != 0) return FailErrno();
      SetLastError(ERROR_SUCCESS);
      return TRUE;  // a deletion hands out no context
    }
    if (action == CRYPT_NEWKEYSET) {
      if (exists) return Fail(NTE_EXISTS);
      if (!WriteFileAtomically(path, nullptr, 0)) return FailErrno();
    } else if (!exists) {
      return Fail(NTE_BAD_KEYSET);
    }
    record.container = container;
    const HCRYPTPROV handle = NewHandleId();
    s.contexts[handle] = record;
    *provider = handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  const HCRYPTPROV handle = NewHandleId();
  s.contexts[handle] = record;
  *provider = handle;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool IsKeyContainerContext(HCRYPTPROV provider) {
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.contexts.count(provider) != 0;
}

BOOL KeyContainerRelease(HCRYPTPROV provider) {
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.contexts.erase(provider) == 0) return Fail(NTE_BAD_UID);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CryptImportKey(HCRYPTPROV provider, const uint8_t* blob, DWORD length, HCRYPTKEY public_key,
                    DWORD flags, HCRYPTKEY* key) {
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (public_key != 0) return Fail(NTE_BAD_KEY);  // no encrypted blobs
  ContextRecord record;
  {
    State& s = Live();
    std::lock_guard<std::mutex> guard(s.lock);
    const auto it = s.contexts.find(provider);
    if (it == s.contexts.end()) return Fail(NTE_BAD_UID);
    record = it->second;
  }
  if (record.container.empty()) return Fail(NTE_BAD_KEYSET);
  if (blob == nullptr || length > kMaxBlobLength) return Fail(NTE_BAD_DATA);
  const DWORD family = BlobFamily(blob, length);
  if (family == 0) return Fail(NTE_BAD_DATA);
  if ((family == PROV_DSS) != (record.type == PROV_DSS)) return Fail(NTE_BAD_TYPE);
  const std::string path = ContainerPath(record.container, record.machine);
  if (path.empty()) return Fail(ERROR_ACCESS_DENIED);
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!Exists(path)) return Fail(NTE_BAD_KEYSET);  // deleted meanwhile
  if (!WriteFileAtomically(path, blob, length)) return FailErrno();
  const HCRYPTKEY handle = NewHandleId();
  s.keys[handle] = provider;
  *key = handle;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.keys.erase(key) == 0) return Fail(NTE_BAD_KEY);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool ReadKeyContainerBlob(const std::string& container, bool machine, std::vector<uint8_t>* blob) {
  blob->clear();
  if (!ValidName(container.c_str())) return false;
  const std::string path = ContainerPath(container, machine);
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  uint8_t buf[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    blob->insert(blob->end(), buf, buf + n);
    if (blob->size() > kMaxBlobLength) ok = false;
    if (!ok) break;
  }
  ::close(fd);
  explicit_bzero(buf, sizeof buf);
  if (!ok || blob->empty()) {
    explicit_bzero(blob->data(), blob->size());
    blob->clear();
    return false;
  }
  return true;
}

long OpenKeyContainerHandles() {
  State& s = Live();
  std::lock_guard<std::mutex> guard(s.lock);
  return static_cast<long>(s.contexts.size() + s.keys.size());
}

}  // namespace win
