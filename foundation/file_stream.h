// A buffered byte stream over a file, optionally split into numbered part files.
//
// Part files: given a counter, a name with a run of "?" (say "part???.txt") names the parts
// "part000.UUE", "part001.UUE", ... with as many digits as "?" and the extension of the encoder
// format; reading runs through all parts as one stream, writing moves to the next part on
// NextPart.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/stream.h"
#include "platform/file.h"

namespace tw {

constexpr int kStreamOpenReadFailed = 4;
constexpr int kStreamCreateFailed = 8;

class FileStream : public Stream {
 public:
  FileStream() = default;
  // Flushes pending writes and closes the file.
  ~FileStream() override;

  // Names are 8-bit text in the code page given here (0: the ANSI code page).
  void set_code_page(unsigned code_page) { code_page_ = code_page; }
  // Writing: replace an existing file (else the open fails when it exists).
  void set_overwrite(bool overwrite) { overwrite_ = overwrite; }
  // Turns on part files for names holding "?": counter numbers the part (not owned), format picks
  // the extension (0 ".UUE", 1 and 14 ".B64", others ".Q_P").
  void SetPartFiles(int* counter, int format) {
    part_counter_ = counter;
    format_ = format;
  }

  // access kStreamRead or kStreamWrite. Reading: size becomes the total of all parts; writing:
  // size becomes size_hint. 0, 16 name too long, 4 cannot open, 8 cannot create, 200 no memory.
  int Open(const char* name, uint32_t access, bool binary, uint64_t size_hint) override;
  int Read(void* buffer, int n) override;
  // Text mode also drops a final Ctrl-Z (0x1A) from the count.
  int ReadLine(char* buffer, int n) override;
  // Ends the current part: 0 with the next part open, 17 when there is none.
  int NextPart() override;
  // -1 while an error is set.
  int PutByte(uint8_t byte) override;
  // Binary mode copies in bulk; text mode goes byte by byte.
  int WriteText(const char* text, int n) override;
  int Flush() override;
  // Flushes, closes the file and frees the buffer; the flush's result.
  int Close() override;

  bool IsOpen() const { return file_ != win::INVALID_HANDLE_VALUE; }
  // The name of the part open now (or of the file, without parts).
  const ByteString& current_name() const { return current_name_; }

 private:
  win::HANDLE OpenFile(const char* name, bool write, bool sequential) const;
  void FillPartName(int counter);
  int AllocateBuffer();
  int Refill();
  int Append(uint8_t byte);
  int WriteBuffer();
  void CloseFile();
  void FreeBuffer();

  win::HANDLE file_ = win::INVALID_HANDLE_VALUE;
  uint8_t* buffer_ = nullptr;
  int buffer_size_ = 0;
  int position_ = 0;  // next byte to take or to fill
  int filled_ = 0;    // bytes read into the buffer
  bool writing_ = false;
  bool overwrite_ = false;
  bool at_end_ = false;
  int* part_counter_ = nullptr;
  int part_digits_ = 0;  // 0: no part files
  int format_ = 0;
  unsigned code_page_ = 0;
  ByteString part_prefix_;
  ByteString current_name_;
};

}  // namespace tw
