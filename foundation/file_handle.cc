#include "foundation/file_handle.h"

#include <climits>
#include <cstring>

#include "platform/codepage.h"

namespace tw {
namespace {

// One platform read or write moves at most this much.
constexpr size_t kMaxChunk = 1u << 30;
constexpr size_t kMaxTempFolderChars = 259;
constexpr uint32_t kReportedAttributes = win::FILE_ATTRIBUTE_DIRECTORY |
                                         win::FILE_ATTRIBUTE_HIDDEN | win::FILE_ATTRIBUTE_SYSTEM |
                                         win::FILE_ATTRIBUTE_READONLY |
                                         win::FILE_ATTRIBUTE_ARCHIVE;
constexpr uint32_t kShareReadWrite = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;

// Platform errors that mean a name is plainly absent: file and path not found, invalid drive,
// drive not ready, invalid name.
constexpr win::DWORD kAbsentErrors[] = {2, 3, 15, 21, 123};

constexpr char kCannotCreateDirectoryText[] = "Could not create directory \"";
constexpr char kReadOnlyTextStart[] = "File ";
constexpr char kReadOnlyTextEnd[] = " exists and is readonly.";
constexpr char kUnableToWriteText[] = "Unable to write file: ";

// How a name reaches the platform: wide from a code page, wide as UTF-8, or 8-bit.
struct Name {
  ByteString wide;
  const char* narrow = nullptr;
  bool is_wide = false;
  int Prepare(const char* name, unsigned cp) {
    if (name == nullptr) name = "";
    if (cp != 0) {
      is_wide = true;
      return WidenName(name, cp, wide);
    }
    is_wide = Utf8PathToWide(name, wide);
    narrow = name;
    return kOk;
  }
};

win::HANDLE OpenPrepared(const Name& n, uint32_t access, uint32_t share, uint32_t disposition,
                         uint32_t attributes) {
  if (n.is_wide) {
    return win::CreateFileW(n.wide.wide(), access, share, nullptr, disposition, attributes,
                            nullptr);
  }
  return win::CreateFileA(n.narrow, access, share, nullptr, disposition, attributes, nullptr);
}

win::HANDLE OpenFilePath(const FilePath& path, uint32_t access, uint32_t share,
                         uint32_t disposition, uint32_t attributes) {
  if (path.is_wide()) {
    return win::CreateFileW(path.wide(), access, share, nullptr, disposition, attributes, nullptr);
  }
  return win::CreateFileA(path.narrow(), access, share, nullptr, disposition, attributes,
                          nullptr);
}

bool SeekHandle(win::HANDLE h, int64_t offset, uint32_t origin, int64_t* position) {
  win::LARGE_INTEGER distance{offset};
  win::LARGE_INTEGER result{0};
  if (!win::SetFilePointerEx(h, distance, &result, origin)) return false;
  if (position != nullptr) *position = result.QuadPart;
  return true;
}

int PlatformError() {
  int code = static_cast<int>(win::GetLastError());
  return code != 0 ? code : static_cast<int>(win::ERROR_INVALID_PARAMETER);
}

win::DWORD AttributesByName(const char* name, unsigned cp) {
  Name n;
  if (n.Prepare(name, cp) != kOk) {
    win::SetLastError(win::ERROR_INVALID_NAME);
    return win::INVALID_FILE_ATTRIBUTES;
  }
  return n.is_wide ? win::GetFileAttributesW(n.wide.wide()) : win::GetFileAttributesA(n.narrow);
}

// The three ways of opening for reading, writing and appending, by name or by path.
template <class Opener>
int OpenForRead(win::HANDLE& handle, int64_t offset, Opener open) {
  handle = open(win::GENERIC_READ, kShareReadWrite, win::OPEN_EXISTING,
                win::FILE_ATTRIBUTE_NORMAL);
  if (handle == win::INVALID_HANDLE_VALUE) return kFileOpenReadFailed;
  if (offset != 0 && !SeekHandle(handle, offset, win::FILE_BEGIN, nullptr)) {
    win::CloseHandle(handle);
    handle = win::INVALID_HANDLE_VALUE;
    return kFileSeekFailed;
  }
  return kOk;
}

template <class Opener>
int OpenForWrite(win::HANDLE& handle, int64_t offset, Opener open) {
  if (offset > 0) {
    handle = open(win::GENERIC_READ | win::GENERIC_WRITE, 0, win::OPEN_EXISTING,
                  win::FILE_ATTRIBUTE_NORMAL);
    if (handle == win::INVALID_HANDLE_VALUE) return kFileOpenWriteFailed;
    if (!SeekHandle(handle, offset, win::FILE_BEGIN, nullptr)) {
      win::CloseHandle(handle);
      handle = win::INVALID_HANDLE_VALUE;
      return kFileSeekFailed;
    }
    return kOk;
  }
  handle = open(win::GENERIC_WRITE, 0, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL);
  return handle == win::INVALID_HANDLE_VALUE ? kFileOpenWriteFailed : kOk;
}

template <class Opener>
int OpenForAppend(win::HANDLE& handle, Opener open) {
  handle = open(win::GENERIC_WRITE, 0, win::CREATE_NEW, win::FILE_ATTRIBUTE_NORMAL);
  if (handle != win::INVALID_HANDLE_VALUE) return kOk;
  handle = open(win::GENERIC_READ | win::GENERIC_WRITE, kShareReadWrite, win::OPEN_EXISTING,
                win::FILE_ATTRIBUTE_NORMAL);
  if (handle == win::INVALID_HANDLE_VALUE) return kFileOpenWriteFailed;
  if (!SeekHandle(handle, 0, win::FILE_END, nullptr)) {
    win::CloseHandle(handle);
    handle = win::INVALID_HANDLE_VALUE;
    return kFileOpenWriteFailed;
  }
  return kOk;
}

}  // namespace

win::HANDLE OpenFileByName(const char* name, unsigned cp, uint32_t access, uint32_t share,
                           uint32_t disposition, uint32_t attributes) {
  Name n;
  if (n.Prepare(name, cp) != kOk) {
    win::SetLastError(win::ERROR_NO_UNICODE_TRANSLATION);
    return win::INVALID_HANDLE_VALUE;
  }
  return OpenPrepared(n, access, share, disposition, attributes);
}

// ---- FileHandle ----

int FileHandle::OpenReadText(const char* name, int64_t offset, unsigned cp) {
  Close();
  Name n;
  if (n.Prepare(name, cp) != kOk) return kFileOpenReadFailed;
  return OpenForRead(handle_, offset, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenPrepared(n, a, s, d, f);
  });
}

int FileHandle::OpenWriteText(const char* name, int64_t offset, unsigned cp) {
  Close();
  Name n;
  if (n.Prepare(name, cp) != kOk) return kFileOpenWriteFailed;
  return OpenForWrite(handle_, offset, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenPrepared(n, a, s, d, f);
  });
}

int FileHandle::OpenAppendText(const char* name) {
  Close();
  Name n;
  if (n.Prepare(name, 0) != kOk) return kFileOpenWriteFailed;
  return OpenForAppend(handle_, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenPrepared(n, a, s, d, f);
  });
}

int FileHandle::CreateWithAttributes(const FilePath& path, uint32_t flags) {
  if (flags == 0) return OpenWrite(path, 0);
  Close();
  handle_ = OpenFilePath(path, win::GENERIC_WRITE, 0, win::CREATE_ALWAYS, flags);
  return IsOpen() ? kOk : kFileOpenWriteFailed;
}

int FileHandle::CreateNew(const FilePath& path, uint32_t flags) {
  Close();
  handle_ = OpenFilePath(path, win::GENERIC_WRITE, 0, win::CREATE_NEW,
                         flags != 0 ? flags : win::FILE_ATTRIBUTE_NORMAL);
  return IsOpen() ? kOk : kFileOpenWriteFailed;
}

int FileHandle::OpenRead(const FilePath& path, int64_t offset) {
  Close();
  return OpenForRead(handle_, offset, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenFilePath(path, a, s, d, f);
  });
}

int FileHandle::OpenWrite(const FilePath& path, int64_t offset) {
  Close();
  return OpenForWrite(handle_, offset, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenFilePath(path, a, s, d, f);
  });
}

int FileHandle::OpenAppend(const FilePath& path) {
  Close();
  return OpenForAppend(handle_, [&](uint32_t a, uint32_t s, uint32_t d, uint32_t f) {
    return OpenFilePath(path, a, s, d, f);
  });
}

int FileHandle::Read(void* buffer, size_t n) {
  if (!IsOpen()) return kFileNotOpen;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < n) {
    size_t chunk = n - total < kMaxChunk ? n - total : kMaxChunk;
    win::DWORD got = 0;
    if (!win::ReadFile(handle_, out + total, static_cast<win::DWORD>(chunk), &got, nullptr)) {
      Close();
      return kFileReadFailed;
    }
    if (got == 0) {
      Close();
      return kFileShortRead;
    }
    total += got;
  }
  return kOk;
}

int FileHandle::ReadSome(void* buffer, size_t n, size_t* got) {
  *got = 0;
  if (!IsOpen()) return kFileNotOpen;
  size_t chunk = n < kMaxChunk ? n : kMaxChunk;
  win::DWORD count = 0;
  if (!win::ReadFile(handle_, buffer, static_cast<win::DWORD>(chunk), &count, nullptr)) {
    Close();
    return kFileReadFailed;
  }
  *got = count;
  return kOk;
}

int FileHandle::Write(const void* buffer, size_t n) {
  if (!IsOpen()) return kFileNotOpen;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t total = 0;
  while (total < n) {
    size_t chunk = n - total < kMaxChunk ? n - total : kMaxChunk;
    win::DWORD put = 0;
    if (!win::WriteFile(handle_, in + total, static_cast<win::DWORD>(chunk), &put, nullptr) ||
        put == 0) {
      Close();
      return kFileWriteFailed;
    }
    total += put;
  }
  return kOk;
}

int64_t FileHandle::GetSize() {
  win::LARGE_INTEGER size{0};
  if (!IsOpen() || !win::GetFileSizeEx(handle_, &size)) return -1;
  return size.QuadPart;
}

int64_t FileHandle::Seek(int64_t offset, uint32_t origin) {
  int64_t position = -1;
  if (!IsOpen() || !SeekHandle(handle_, offset, origin, &position)) return -1;
  return position;
}

int FileHandle::Close() {
  if (handle_ != win::INVALID_HANDLE_VALUE) {
    win::CloseHandle(handle_);
    handle_ = win::INVALID_HANDLE_VALUE;
  }
  return kOk;
}

// ---- file functions ----

bool FileExists(const char* name) {
  win::HANDLE h = OpenFileByName(name, 0, win::GENERIC_READ, win::FILE_SHARE_READ,
                                 win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
  if (h == win::INVALID_HANDLE_VALUE) return false;
  win::CloseHandle(h);
  return true;
}

bool PathExists(const char* name) {
  if (AttributesByName(name, 0) != win::INVALID_FILE_ATTRIBUTES) return true;
  win::DWORD err = win::GetLastError();
  for (win::DWORD absent : kAbsentErrors) {
    if (err == absent) return false;
  }
  return true;
}

uint32_t GetFileAttributeFlags(const char* name, unsigned cp) {
  win::DWORD attributes = AttributesByName(name, cp);
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return 0;
  return attributes & kReportedAttributes;
}

int ClearReadOnly(const char* name, unsigned cp) {
  Name n;
  if (n.Prepare(name, cp) != kOk) return static_cast<int>(win::ERROR_INVALID_NAME);
  win::DWORD attributes =
      n.is_wide ? win::GetFileAttributesW(n.wide.wide()) : win::GetFileAttributesA(n.narrow);
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return PlatformError();
  if (!(attributes & win::FILE_ATTRIBUTE_READONLY)) return kOk;
  attributes &= ~win::FILE_ATTRIBUTE_READONLY;
  bool ok = n.is_wide ? win::SetFileAttributesW(n.wide.wide(), attributes)
                      : win::SetFileAttributesA(n.narrow, attributes);
  return ok ? kOk : PlatformError();
}

uint64_t GetFileSizeByName(const char* name, unsigned cp) {
  win::HANDLE h = OpenFileByName(name, cp, win::GENERIC_READ, kShareReadWrite, win::OPEN_EXISTING,
                                 win::FILE_ATTRIBUTE_NORMAL);
  if (h == win::INVALID_HANDLE_VALUE) return 0;
  win::LARGE_INTEGER size{0};
  bool ok = win::GetFileSizeEx(h, &size);
  win::CloseHandle(h);
  return ok ? static_cast<uint64_t>(size.QuadPart) : 0;
}

int DeleteFileByName(const char* name, unsigned cp) {
  Name n;
  if (n.Prepare(name, cp) != kOk) return static_cast<int>(win::ERROR_INVALID_NAME);
  bool ok = n.is_wide ? win::DeleteFileW(n.wide.wide()) : win::DeleteFileA(n.narrow);
  return ok ? kOk : PlatformError();
}

int MakeTempFileName(ByteString& out, const char* prefix, const char* folder, unsigned cp) {
  ByteString folder_wide;
  unsigned back_cp = cp;
  if (folder == nullptr || folder[0] == 0) {
    char16_t temp[win::MAX_PATH + 1];
    win::DWORD chars = win::GetTempPathW(win::MAX_PATH + 1, temp);
    if (chars == 0 || chars > kMaxTempFolderChars) return kFileNoTempFolder;
    int rc = folder_wide.Set(temp, static_cast<int>((chars + 1) * sizeof(char16_t)));
    if (rc != kOk) return rc;
    if (back_cp == 0) back_cp = win::CP_ACP;
  } else {
    Name n;
    if (n.Prepare(folder, cp) != kOk) return kErrTextConversion;
    if (n.is_wide) {
      if (int rc = folder_wide.Assign(n.wide); rc != kOk) return rc;
      if (cp == 0) back_cp = win::CP_UTF8;
    } else if (int rc = WidenName(folder, win::CP_ACP, folder_wide); rc != kOk) {
      return rc;
    }
  }
  Name pre;
  if (pre.Prepare(prefix, cp) != kOk) return kErrTextConversion;
  ByteString prefix_wide;
  if (pre.is_wide) {
    if (int rc = prefix_wide.Assign(pre.wide); rc != kOk) return rc;
  } else if (int rc = WidenName(pre.narrow, win::CP_ACP, prefix_wide); rc != kOk) {
    return rc;
  }

  char16_t name[win::MAX_PATH + 1];
  if (win::GetTempFileNameW(folder_wide.wide(), prefix_wide.wide(), 0, name) == 0) {
    return kFileNoTempName;
  }
  int chars = 0;
  while (name[chars] != 0) ++chars;
  if (back_cp == win::CP_ACP) back_cp = win::GetACP();
  int used_default = 0;
  bool is_utf = back_cp == win::CP_UTF8 || back_cp == win::CP_UTF7;
  int n = win::WideCharToMultiByte(back_cp, 0, name, chars, nullptr, 0, nullptr,
                                   is_utf ? nullptr : &used_default);
  if (n <= 0 || used_default) {
    win::DeleteFileW(name);
    return kErrTextConversion;
  }
  if (int rc = out.Resize(n); rc != kOk) {
    win::DeleteFileW(name);
    return rc;
  }
  win::WideCharToMultiByte(back_cp, 0, name, chars, out.data(), n, nullptr, nullptr);
  return kOk;
}

int ReadFileToString(const char* name, ByteString& text) {
  FileHandle file;
  int rc = file.OpenReadText(name, 0, 0);
  if (rc != kOk) return rc;
  int64_t size = file.GetSize();
  if (size < 0) return kFileReadFailed;
  if (size >= INT_MAX) return kErrOutOfMemory;
  rc = text.Resize(static_cast<int>(size));
  if (rc != kOk) return rc;
  return file.Read(text.data(), static_cast<size_t>(size));
}

int CreateDirectoryByName(const char* name, unsigned cp) {
  if (name == nullptr) name = "";
  win::DWORD attributes = AttributesByName(name, cp);
  if (attributes != win::INVALID_FILE_ATTRIBUTES &&
      (attributes & win::FILE_ATTRIBUTE_DIRECTORY)) {
    return kOk;
  }
  Name n;
  if (n.Prepare(name, cp) != kOk) return static_cast<int>(win::ERROR_INVALID_NAME);
  bool ok = n.is_wide ? win::CreateDirectoryW(n.wide.wide(), nullptr)
                      : win::CreateDirectoryA(n.narrow, nullptr);
  if (ok) return kOk;
  int err = PlatformError();
  // The server and share pieces of a network name cannot be made and need not be.
  if (name[0] == '\\' && name[1] == '\\') return kOk;
  // Made meanwhile by someone else is fine; a file in the way is not.
  attributes = AttributesByName(name, cp);
  if (err == static_cast<int>(win::ERROR_ALREADY_EXISTS) &&
      attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY)) {
    return kOk;
  }
  return err;
}

int CreatePathDirectories(const char* path, unsigned cp, ByteString* error_text) {
  if (path == nullptr) return kOk;
  size_t len = std::strlen(path);
  ByteString level;
  for (size_t i = 1; i < len; ++i) {
    if (path[i] != '/' && path[i] != '\\') continue;
    if (path[i - 1] == '/' || path[i - 1] == '\\') continue;  // empty piece
    if (int rc = level.Set(path, static_cast<int>(i)); rc != kOk) return rc;
    if (CreateDirectoryByName(level.c_str(), cp) != kOk) {
      if (error_text != nullptr) {
        error_text->SetText(kCannotCreateDirectoryText);
        error_text->AppendString(level);
        error_text->AppendText("\".");
      }
      return kFileCannotCreateDirectory;
    }
  }
  return kOk;
}

int EnsureWritable(ByteString& name, unsigned cp, ExtractOwner& owner) {
  uint32_t attributes = GetFileAttributeFlags(name.c_str(), cp);
  if (attributes != 0) {
    if (!owner.ConfirmOverwrite(name)) return kFileSkip;
    attributes = GetFileAttributeFlags(name.c_str(), cp);  // the owner may have renamed it
  }
  ByteString text;
  if (attributes & win::FILE_ATTRIBUTE_READONLY) {
    if (owner.OverwriteReadOnly()) {
      ClearReadOnly(name.c_str(), cp);
    } else {
      text.SetText(kReadOnlyTextStart);
      text.AppendString(name);
      text.AppendText(kReadOnlyTextEnd);
      if (!owner.ReportError(kFileExtractFailed, text.c_str())) return kFileExtractFailed;
    }
  }
  FileHandle probe;
  int rc = probe.OpenWriteText(name.c_str(), 0, cp);
  probe.Close();
  if (rc != kOk && rc != kFileSeekFailed) {
    text.SetText(kUnableToWriteText);
    text.AppendString(name);
    return owner.ReportError(kFileExtractFailed, text.c_str()) ? kFileSkip : kFileExtractFailed;
  }
  return kOk;
}

}  // namespace tw
