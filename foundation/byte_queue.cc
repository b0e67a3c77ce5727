#include "foundation/byte_queue.h"

#include <cstring>

#include "platform/heap.h"

namespace tw {
namespace {

constexpr uint8_t kEmpty[1] = {0};
constexpr char kCrLf[] = "\r\n";

inline uint8_t PartnerOf(uint8_t b) { return b == ByteQueue::kCr ? ByteQueue::kLf : ByteQueue::kCr; }

}  // namespace

void ByteQueue::FreeDelimiter() {
  win::HeapFree(delimiter_);
  delimiter_ = nullptr;
  delimiter_length_ = 0;
}

void ByteQueue::Reset() {
  Release();
  line_mode_ = false;
  pending_partner_ = 0;
}

void ByteQueue::Release() {
  win::HeapFree(data_);
  data_ = nullptr;
  capacity_ = 0;
  read_offset_ = 0;
  count_ = 0;
  FreeDelimiter();
}

bool ByteQueue::Allocate(uint32_t capacity) {
  if (data_ && capacity == capacity_) {
    read_offset_ = 0;
    count_ = 0;
    return true;
  }
  win::HeapFree(data_);
  data_ = nullptr;
  capacity_ = 0;
  read_offset_ = 0;
  count_ = 0;
  data_ = static_cast<uint8_t*>(win::HeapAlloc(static_cast<size_t>(capacity) + 1));
  if (!data_) return false;
  data_[capacity] = 0;
  capacity_ = capacity;
  return true;
}

bool ByteQueue::SetEol(const void* bytes, uint32_t n) {
  if (n == 0 || !bytes) {
    FreeDelimiter();
    return true;
  }
  char* copy = static_cast<char*>(win::HeapAlloc(static_cast<size_t>(n) + 1));
  if (!copy) return false;
  std::memcpy(copy, bytes, n);
  copy[n] = 0;
  FreeDelimiter();
  delimiter_ = copy;
  delimiter_length_ = n;
  return true;
}

const char* ByteQueue::GetEol(uint32_t* length) const {
  if (length) *length = delimiter_length_;
  return delimiter_ ? delimiter_ : "";
}

void ByteQueue::SetCrlfLineMode(bool on) {
  line_mode_ = on;
  pending_partner_ = 0;
  if (on) {
    SetEol(kCrLf, 2);
  } else {
    FreeDelimiter();
  }
}

void ByteQueue::Compact() {
  if (!data_ || read_offset_ == 0) return;
  std::memmove(data_, data_ + read_offset_, count_);
  read_offset_ = 0;
}

bool ByteQueue::GetWriteSpace(uint32_t want, uint8_t** address, uint32_t* room) {
  const uint32_t free_room = capacity_ - count_;
  const uint32_t behind = capacity_ - count_ - read_offset_;
  if (count_ == capacity_ || behind == 0) Compact();
  bool fits = false;
  if (want <= free_room && free_room > 0) {
    if (want > capacity_ - count_ - read_offset_) Compact();
    fits = true;
  } else {
    Compact();
  }
  const uint32_t space = capacity_ - count_ - read_offset_;
  if (address) *address = data_ ? data_ + read_offset_ + count_ : nullptr;
  if (room) *room = space;
  return fits && space != 0;
}

bool ByteQueue::CommitWrite(uint32_t n) {
  if (n > capacity_ - count_ - read_offset_) return false;
  count_ += n;
  return true;
}

uint32_t ByteQueue::Write(const void* bytes, uint32_t n) {
  uint8_t* at = nullptr;
  uint32_t room = 0;
  GetWriteSpace(n, &at, &room);
  const uint32_t take = n < room ? n : room;
  if (take == 0) return 0;
  std::memcpy(at, bytes, take);
  CommitWrite(take);
  return take;
}

void ByteQueue::Consume(uint32_t n) {
  read_offset_ += n;
  count_ -= n;
  if (count_ == 0) read_offset_ = 0;
}

bool ByteQueue::Read(uint32_t n, const uint8_t** out, uint32_t* out_length) {
  if (count_ == 0) {
    if (out) *out = kEmpty;
    if (out_length) *out_length = 0;
    return false;
  }
  if (n == 0 || n > count_) n = count_;
  if (out) *out = data_ + read_offset_;
  if (out_length) *out_length = n;
  // The bytes stay where they are until the next write, so the caller may read them.
  read_offset_ += n;
  count_ -= n;
  return true;
}

bool ByteQueue::ReadLine(const uint8_t** out, uint32_t* out_length) {
  if (out) *out = kEmpty;
  if (out_length) *out_length = 0;
  if (count_ == 0) return false;
  uint8_t* unread = data_ + read_offset_;
  if (pending_partner_ && unread[0] == pending_partner_) {
    Consume(1);
    pending_partner_ = 0;
    unread = data_ + read_offset_;
    if (count_ == 0) return false;
  }
  uint32_t i = 0;
  while (i < count_ && unread[i] != kCr && unread[i] != kLf) ++i;
  if (i == count_) {
    Compact();
    return false;
  }
  const uint8_t terminator = unread[i];
  uint32_t used = i + 1;
  if (i + 1 == count_) {
    // The partner may still be on its way.
    pending_partner_ = PartnerOf(terminator);
  } else {
    if (unread[i + 1] == PartnerOf(terminator)) ++used;
    pending_partner_ = 0;
  }
  unread[i] = 0;  // the line can be read as a text
  if (out) *out = unread;
  if (out_length) *out_length = i;
  read_offset_ += used;
  count_ -= used;
  return true;
}

bool ByteQueue::ReadRecord(const uint8_t** out, uint32_t* out_length) {
  if (line_mode_) return ReadLine(out, out_length);
  if (!delimiter_ || delimiter_length_ == 0) return Read(0, out, out_length);
  if (out) *out = kEmpty;
  if (out_length) *out_length = 0;
  uint8_t* unread = data_ ? data_ + read_offset_ : nullptr;
  if (count_ >= delimiter_length_) {
    const uint8_t first = static_cast<uint8_t>(delimiter_[0]);
    for (uint32_t i = 0; i + delimiter_length_ <= count_; ++i) {
      if (unread[i] != first || std::memcmp(unread + i, delimiter_, delimiter_length_) != 0) {
        continue;
      }
      unread[i] = 0;
      if (out) *out = unread;
      if (out_length) *out_length = i;
      read_offset_ += i + delimiter_length_;
      count_ -= i + delimiter_length_;
      return true;
    }
  }
  Compact();
  return false;
}

}  // namespace tw
