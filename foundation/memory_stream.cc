#include "foundation/memory_stream.h"

#include <cstring>
#include <utility>

namespace tw {

MemoryStream::MemoryStream(const void* block, uint64_t length, ProgressFunction progress,
                           int step)
    : data_(static_cast<const uint8_t*>(block)), writable_(nullptr) {
  size_ = block != nullptr ? length : 0;
  if (progress) {
    SetProgress(std::move(progress), step);
    CountProgress(0);
  }
}

MemoryStream::MemoryStream(void* block, uint64_t length, ProgressFunction progress, int step)
    : MemoryStream(static_cast<const void*>(block), length, std::move(progress), step) {
  writable_ = static_cast<uint8_t*>(block);
}

int MemoryStream::Open(const char*, uint32_t, bool binary, uint64_t) {
  binary_ = binary;
  return 0;
}

int MemoryStream::Read(void* buffer, int n) {
  if (n <= 0 || done_ >= size_) return 0;
  uint64_t left = size_ - done_;
  int count = left < static_cast<uint64_t>(n) ? static_cast<int>(left) : n;
  std::memcpy(buffer, data_ + done_, static_cast<size_t>(count));
  CountProgress(static_cast<uint64_t>(count));
  return count;
}

int MemoryStream::ReadLine(char* buffer, int n) {
  int count = 0;
  while (count < n - 1 && done_ + static_cast<uint64_t>(count) < size_) {
    char c = static_cast<char>(data_[done_ + static_cast<uint64_t>(count)]);
    buffer[count++] = c;
    if (c == '\n' || c == 0) break;
  }
  // Progress counts the bytes taken from the block, before any CR LF folding.
  CountProgress(static_cast<uint64_t>(count));
  return FinishLine(buffer, count, false);
}

int MemoryStream::Store(uint8_t byte) {
  if (writable_ == nullptr || done_ >= size_) return Fail(kStreamMemoryFull);
  writable_[done_] = byte;
  CountProgress(1);
  return 0;
}

int MemoryStream::PutByte(uint8_t byte) {
  if (error_ != 0) return error_;
  if (byte == '\n' && !binary_) {
    int rc = Store('\r');
    if (rc != 0) return rc;
  }
  return Store(byte);
}

StringStream::StringStream(ByteString* text, ProgressFunction progress, int step) : text_(text) {
  size_ = static_cast<uint64_t>(text_->length());
  if (progress) {
    SetProgress(std::move(progress), step);
    CountProgress(0);
  }
}

int StringStream::Open(const char*, uint32_t, bool binary, uint64_t) {
  binary_ = binary;
  return 0;
}

int StringStream::Read(void* buffer, int n) {
  size_ = static_cast<uint64_t>(text_->length());
  if (n <= 0 || done_ >= size_) return 0;
  uint64_t left = size_ - done_;
  int count = left < static_cast<uint64_t>(n) ? static_cast<int>(left) : n;
  std::memcpy(buffer, text_->data() + done_, static_cast<size_t>(count));
  CountProgress(static_cast<uint64_t>(count));
  return count;
}

int StringStream::ReadLine(char* buffer, int n) {
  // Never claim bytes that were not delivered: the line is empty and the error says why.
  if (buffer != nullptr && n >= 0) buffer[0] = 0;
  Fail(kStreamReadFailed);
  return 0;
}

int StringStream::PutByte(uint8_t byte) {
  if (error_ != 0) return error_;
  if (byte == '\n' && !binary_) {
    if (text_->AppendByte('\r') != kOk) return Fail(kErrOutOfMemory);
    CountProgress(1);
  }
  if (text_->AppendByte(byte) != kOk) return Fail(kErrOutOfMemory);
  CountProgress(1);
  return 0;
}

}  // namespace tw
