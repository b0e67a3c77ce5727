// The system certificate stores as files: "ROOT" and "CA" are the system CA bundle plus the
// files of their own folder; any other store is a folder of certificate and PFX files.
//
// The current user's folders live under $TW_CERT_STORES (one folder per store name), or else
// under ~/.config/tarnwick/certstores; the local machine's under its ".LocalMachine" subfolder,
// which no user store can be named. The variable is read on every call, so a test can point it
// elsewhere at run time. Contents are handed out raw (PEM, DER or PFX): parsing belongs to the
// crypt32 stand-in. A file whose name holds ".noexport." keeps its private key on the platform:
// the key signs but is never exported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace win {

constexpr char kSystemCaBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kCertStoresVariable[] = "TW_CERT_STORES";

// One file of a store, as found on disk.
struct CertStoreFile {
  std::string path;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  std::string contents;  // filled by ReadCertStoreFiles only
  bool key_exportable = true;
};

// The folder that holds the per-store folders of the location.
std::string CertStoresFolder(bool machine = false);

// Whether the name is one of the stores backed by the system bundle ("ROOT", "CA"; any case).
bool IsSystemCertStore(const char* name);

// The files of the store, sorted by path, without their contents: enough to tell whether a
// store changed since it was last read. 0; ERROR_FILE_NOT_FOUND (2) for a store other than
// ROOT and CA whose folder does not exist; ERROR_INVALID_NAME (123) for an empty name or one
// that would leave the stores folder.
uint32_t ListCertStoreFiles(const char* name, std::vector<CertStoreFile>* files, bool machine = false);
// The same with every file's contents read. A file that vanished or cannot be read meanwhile is
// left out.
uint32_t ReadCertStoreFiles(const char* name, std::vector<CertStoreFile>* files, bool machine = false);
// The names of the location's store folders, sorted, without "ROOT" and "CA".
std::vector<std::string> CertStoreFolderNames(bool machine);

}  // namespace win
