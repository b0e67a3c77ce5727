// Streams over memory: a caller's block (MemoryStream) and a ByteString (StringStream).
// Both are binary from construction; the read position is the count of bytes moved.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/stream.h"

namespace tw {

// Over a caller's block of fixed length (not owned). Writes store at the position; a byte that
// does not fit sets 9.
class MemoryStream : public Stream {
 public:
  // Reading only; writing gives 9.
  MemoryStream(const void* block, uint64_t length, ProgressFunction progress = nullptr,
               int step = 0);
  MemoryStream(void* block, uint64_t length, ProgressFunction progress = nullptr, int step = 0);

  // Only sets the binary flag.
  int Open(const char* name, uint32_t access, bool binary, uint64_t size_hint) override;
  int Read(void* buffer, int n) override;
  // At most n - 1 bytes, through an LF or a NUL.
  int ReadLine(char* buffer, int n) override;
  int PutByte(uint8_t byte) override;

 private:
  int Store(uint8_t byte);

  const uint8_t* data_;
  uint8_t* writable_;
};

// Over a ByteString (not owned): reads from the position, writes append. The size follows the
// string's length at construction and at every read.
class StringStream : public Stream {
 public:
  explicit StringStream(ByteString* text, ProgressFunction progress = nullptr, int step = 0);

  // Only sets the binary flag.
  int Open(const char* name, uint32_t access, bool binary, uint64_t size_hint) override;
  int Read(void* buffer, int n) override;
  // Not supported: gives 0 and sets 5.
  int ReadLine(char* buffer, int n) override;
  int PutByte(uint8_t byte) override;

 private:
  ByteString* text_;
};

}  // namespace tw
