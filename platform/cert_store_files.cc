#include "platform/cert_store_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace win {
namespace {

constexpr char kDefaultSubPath[] = "/.config/tarnwick/certstores";
constexpr char kMachineSubFolder[] = "/.LocalMachine";
constexpr char kNoExportMark[] = ".noexport.";
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidName = 123;
// A store file beyond this is no certificate file; it is skipped rather than read whole.
constexpr int64_t kMaxStoreFileBytes = 64 << 20;

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != 0) return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
    return found->pw_dir;
  }
  return "/tmp";
}

bool StatFile(const std::string& path, CertStoreFile* file) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size > kMaxStoreFileBytes) return false;
  file->path = path;
  file->key_exportable = path.find(kNoExportMark, path.rfind('/') + 1) == std::string::npos;
  file->size = st.st_size;
  file->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool ReadWhole(const std::string& path, std::string* out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (static_cast<int64_t>(out->size()) > kMaxStoreFileBytes) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

// Store names become folder names: nothing that could climb out of the stores folder.
bool ValidStoreName(const char* name) {
  if (name == nullptr || name[0] == 0) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strpbrk(name, "/\\") == nullptr;
}

}  // namespace

std::string CertStoresFolder(bool machine) {
  const char* folder = std::getenv(kCertStoresVariable);
  const std::string user = folder != nullptr && folder[0] != 0 ? std::string(folder) : HomeFolder() + kDefaultSubPath;
  return machine ? user + kMachineSubFolder : user;
}

std::vector<std::string> CertStoreFolderNames(bool machine) {
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(CertStoresFolder(machine).c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.' || IsSystemCertStore(e->d_name)) continue;
      std::vector<CertStoreFile> ignored;
      if (ListCertStoreFiles(e->d_name, &ignored, machine) == 0) found.push_back(e->d_name);
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool IsSystemCertStore(const char* name) {
  return name != nullptr && (strcasecmp(name, "ROOT") == 0 || strcasecmp(name, "CA") == 0);
}

uint32_t ListCertStoreFiles(const char* name, std::vector<CertStoreFile>* files, bool machine) {
  files->clear();
  if (!ValidStoreName(name)) return kErrorInvalidName;
  const bool system = IsSystemCertStore(name);
  std::string folder = CertStoresFolder(machine) + "/";
  if (system) {
    // The system stores keep one spelling on disk, whatever case the caller used.
    folder += strcasecmp(name, "ROOT") == 0 ? "ROOT" : "CA";
    CertStoreFile bundle;
    if (StatFile(kSystemCaBundle, &bundle)) files->push_back(bundle);
  } else {
    folder += name;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return system ? 0 : kErrorFileNotFound;
  std::vector<CertStoreFile> found;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    CertStoreFile file;
    if (StatFile(folder + "/" + entry->d_name, &file)) found.push_back(file);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(),
            [](const CertStoreFile& a, const CertStoreFile& b) { return a.path < b.path; });
  files->insert(files->end(), found.begin(), found.end());
  return 0;
}

uint32_t ReadCertStoreFiles(const char* name, std::vector<CertStoreFile>* files, bool machine) {
  const uint32_t rc = ListCertStoreFiles(name, files, machine);
  if (rc != 0) return rc;
  std::vector<CertStoreFile> read;
  read.reserve(files->size());
  for (CertStoreFile& file : *files) {
    if (ReadWhole(file.path, &file.contents)) read.push_back(std::move(file));
  }
  files->swap(read);
  return 0;
}

}  // namespace win
