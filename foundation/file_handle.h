// An owned file handle with whole-buffer reads and writes, and the file functions by name.
//
// Names are 8-bit text. With a code page (cp not 0) a name is converted from it and opened
// through the wide calls; without one, a name that is valid UTF-8 with bytes above 127 goes wide
// as UTF-8 and any other name through the 8-bit calls (ANSI code page).
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/file_path.h"
#include "platform/file.h"

namespace tw {

// Codes of the file functions.
constexpr int kFileOpenReadFailed = 3;
constexpr int kFileOpenWriteFailed = 4;
constexpr int kFileNotOpen = 5;
constexpr int kFileReadFailed = 6;
constexpr int kFileWriteFailed = 7;
constexpr int kFileSeekFailed = 8;
constexpr int kFileShortRead = 10;
constexpr int kFileNoTempFolder = 11;
constexpr int kFileNoTempName = 12;
constexpr int kFileExtractFailed = 112;
constexpr int kFileCannotCreateDirectory = 113;
constexpr int kFileSkip = -1;  // EnsureWritable: the owner chose to leave the file alone

class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  virtual ~FileHandle() { Close(); }

  // Existing file, shared read and write, positioned at offset. 0, 3 or 8.
  int OpenReadText(const char* name, int64_t offset, unsigned cp);
  // offset > 0: the existing file for reading and writing at offset (4, 8); else created or
  // truncated, not shared (4).
  int OpenWriteText(const char* name, int64_t offset, unsigned cp);
  // Created or truncated with the attribute flags, not shared (4); flags 0: OpenWrite at 0.
  int CreateWithAttributes(const FilePath& path, uint32_t flags);
  // Created only where no file of that name exists, not shared (4); flags 0: normal attributes.
  int CreateNew(const FilePath& path, uint32_t flags);
  // A new file (not shared), else the existing one shared for reading and writing, at its end. 4.
  int OpenAppendText(const char* name);

  int OpenRead(const FilePath& path, int64_t offset);
  int OpenWrite(const FilePath& path, int64_t offset);
  int OpenAppend(const FilePath& path);

  // Exactly n bytes: 0, 5, 6 or 10 (the handle is closed on 6 and 10).
  int Read(void* buffer, size_t n);
  // Up to n bytes, the count in *got: 0, 5 or 6.
  int ReadSome(void* buffer, size_t n, size_t* got);
  // All n bytes: 0, 5, or 7 with the handle closed.
  int Write(const void* buffer, size_t n);
  // -1 on failure.
  int64_t GetSize();
  // origin win::FILE_BEGIN, FILE_CURRENT or FILE_END; the new position, -1 on failure.
  int64_t Seek(int64_t offset, uint32_t origin);
  int Close();

  bool IsOpen() const { return handle_ != win::INVALID_HANDLE_VALUE; }
  win::HANDLE handle() const { return handle_; }

 private:
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
};

// Opens a file by name with the naming rule above.
win::HANDLE OpenFileByName(const char* name, unsigned cp, uint32_t access, uint32_t share,
                           uint32_t disposition, uint32_t attributes);

// True when the file can be opened for reading (shared read).
bool FileExists(const char* name);
// False only when the name is plainly absent (not found, path not found, drive not ready,
// invalid drive, invalid name); a name that cannot be queried (say, access denied) exists.
bool PathExists(const char* name);
// 0 when absent; else 16 directory, 2 hidden, 4 system, 1 read-only, 32 archive.
uint32_t GetFileAttributeFlags(const char* name, unsigned cp);
// 0 or the platform error.
int ClearReadOnly(const char* name, unsigned cp);
// 0 when the file cannot be opened.
uint64_t GetFileSizeByName(const char* name, unsigned cp);
// 0, or the platform error (never 0) on failure.
int DeleteFileByName(const char* name, unsigned cp);
// A new empty file named by the platform with prefix in folder ("": the temporary folder).
// 0, 11 no temporary folder, 12 no temporary name, 434 name conversion.
int MakeTempFileName(ByteString& out, const char* prefix, const char* folder, unsigned cp);
// The whole file. 0, 3, 6, 10 or 200.
int ReadFileToString(const char* name, ByteString& text);
// 0 when it is or becomes a folder (or the name begins with two backslashes); else the platform
// error.
int CreateDirectoryByName(const char* name, unsigned cp);
// Creates every folder on the way to the file named by path (and the last piece too when path
// ends with a separator). 0, or 113 with the text 'Could not create directory "<prefix>".'.
int CreatePathDirectories(const char* path, unsigned cp, ByteString* error_text);

// What a component that writes extracted files asks its owner, through its events.
class ExtractOwner {
 public:
  virtual ~ExtractOwner() = default;
  // The overwrite event for an existing file: true to overwrite; the owner may change name.
  virtual bool ConfirmOverwrite(ByteString& name) = 0;
  // The error event: true lets the component go on.
  virtual bool ReportError(int code, const char* text) = 0;
  // The component's overwrite-read-only switch.
  virtual bool OverwriteReadOnly() const = 0;
};

// Makes sure the file named by name (8-bit, code page cp) can be written before extracting to
// it: asks about an existing file, deals with a read-only one, and creates the file once.
// 0 to write it, kFileSkip to leave it (the owner declined, or let a failure pass), or 112.
int EnsureWritable(ByteString& name, unsigned cp, ExtractOwner& owner);

}  // namespace tw
