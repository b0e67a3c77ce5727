// The byte queue between a socket and the protocol reader. Arrivals are written behind the unread
// bytes; bytes move to the front only when room is needed. The queue also cuts lines (any CR or
// LF, a CR LF or LF CR pair counting once, also when split between two arrivals) and records
// ended by an arbitrary delimiter.
#pragma once

#include <cstdint>

namespace tw {

class ByteQueue {
 public:
  static constexpr uint8_t kCr = 13;
  static constexpr uint8_t kLf = 10;

  ByteQueue() { Reset(); }
  ~ByteQueue() { Release(); }
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  // Frees both blocks: an empty queue without delimiter, line mode off.
  void Reset();
  // Frees both blocks and empties the counters and the delimiter; the line flags stay.
  void Release();

  // A block of the given capacity (an existing one of that capacity is only emptied); false
  // when memory runs out, leaving no block.
  bool Allocate(uint32_t capacity);

  // The record delimiter: a copy of n bytes, n = 0 for none. False when memory runs out.
  bool SetEol(const void* bytes, uint32_t n);
  const char* GetEol(uint32_t* length) const;
  // Line mode: any CR or LF ends a line; the delimiter becomes CR LF (or none when off).
  void SetCrlfLineMode(bool on);
  bool CrlfLineMode() const { return line_mode_; }
  uint8_t PendingPartner() const { return pending_partner_; }

  void Compact();

  // Room for the next arrival: the address just behind the unread bytes and the room from there
  // to the end of the block. True when want fits (and there is room); false with all the free
  // room when it does not.
  bool GetWriteSpace(uint32_t want, uint8_t** address, uint32_t* room);
  // Counts n bytes written behind the unread ones; false when n exceeds the room there.
  bool CommitWrite(uint32_t n);
  // Copies as many of the bytes as fit; returns how many were queued.
  uint32_t Write(const void* bytes, uint32_t n);

  // Takes up to n unread bytes (0 or more than are there: all). False ("" and 0) when empty.
  bool Read(uint32_t n, const uint8_t** out, uint32_t* out_length);
  // The next line without its end. False, keeping the partial line, when no line end is queued.
  bool ReadLine(const uint8_t** out, uint32_t* out_length);
  // Without delimiter Read, in line mode ReadLine, else the bytes before the whole delimiter.
  bool ReadRecord(const uint8_t** out, uint32_t* out_length);

  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t ReadOffset() const { return read_offset_; }
  const uint8_t* Unread() const { return data_ ? data_ + read_offset_ : nullptr; }

 private:
  void Consume(uint32_t n);
  void FreeDelimiter();

  uint8_t* data_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t read_offset_ = 0;
  uint32_t count_ = 0;
  char* delimiter_ = nullptr;
  uint32_t delimiter_length_ = 0;
  bool line_mode_ = false;
  uint8_t pending_partner_ = 0;
};

}  // namespace tw
