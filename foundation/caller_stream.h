// Streams supplied by a caller of the library: the interface, the Stream adapter over one, and
// FileOrStream, which lets a transfer use either a file or such a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/byte_string.h"
#include "foundation/file_handle.h"
#include "foundation/stream.h"

namespace tw {

// Seek origins.
constexpr int kSeekBegin = 0;
constexpr int kSeekCurrent = 1;
constexpr int kSeekEnd = 2;

class CallerStream {
 public:
  virtual ~CallerStream() = default;
  // Bytes read, 0 at the end, negative on failure.
  virtual int Read(void* buffer, int n) = 0;
  // Bytes written (possibly fewer than n), negative on failure.
  virtual int Write(const void* buffer, int n) = 0;
  virtual void Close() = 0;
  virtual uint64_t Size() = 0;
  // The new position, negative on failure.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
};

// A Stream over a CallerStream, with a 4096-byte read-ahead for ReadLine.
class StreamAdapter : public Stream {
 public:
  // Not owned.
  explicit StreamAdapter(CallerStream* stream, ProgressFunction progress = nullptr, int step = 0);
  // Owned: closed by Close and destroyed with the adapter.
  explicit StreamAdapter(std::unique_ptr<CallerStream> stream, ProgressFunction progress = nullptr,
                         int step = 0);
  ~StreamAdapter() override;

  int Read(void* buffer, int n) override;
  // Through the first LF (a final CR LF becomes LF unless binary).
  int ReadLine(char* buffer, int n) override;
  // Writes all through the stream's Write; -1 (error 6) when a write fails or makes no progress.
  int WriteText(const char* text, int n) override;
  // Closes the stream when owned.
  int Close() override;
  // Not supported here: -1.
  int PutByte(uint8_t byte) override { return kStreamNotSupported; }
  int NextPart() override { return kStreamNotSupported; }

 private:
  int TakeAhead(void* buffer, int n);

  CallerStream* stream_;
  std::unique_ptr<CallerStream> owned_;
  InlineBuffer4096 ahead_;
  int ahead_pos_ = 0;
};

// A transfer's source or target: the file when one is open, else the caller's stream.
class FileOrStream {
 public:
  FileOrStream() = default;
  FileOrStream(const FileOrStream&) = delete;
  FileOrStream& operator=(const FileOrStream&) = delete;
  ~FileOrStream();

  void SetFile(std::unique_ptr<FileHandle> file) { file_ = std::move(file); }
  // owns: closed by Close and destroyed with this object.
  void SetStream(CallerStream* stream, bool owns);
  FileHandle* file() { return file_.get(); }
  CallerStream* stream() { return stream_; }

  // Exactly n bytes: 0, 5, 6 or 10.
  int ReadAll(void* buffer, size_t n);
  // All n bytes: 0, 5 or 7.
  int WriteAll(const void* buffer, size_t n);
  // Up to n bytes, the count in *got: 0, 5 or 6.
  int ReadSome(void* buffer, size_t n, size_t* got);
  // 0 with neither source.
  uint64_t GetSize();
  // -1 on failure or with neither source.
  int64_t Seek(int64_t offset, int origin);
  bool IsOpen() const;
  // Closes the file, or the stream when owned.
  int Close();

 private:
  bool UsesFile() const { return file_ != nullptr && file_->IsOpen(); }
  void DropStream();

  CallerStream* stream_ = nullptr;
  std::unique_ptr<FileHandle> file_;
  bool owns_stream_ = false;
};

}  // namespace tw
