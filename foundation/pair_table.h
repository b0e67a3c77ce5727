// Fixed tables used by the document parsers: up to 256 pairs of heap strings that survive a
// Clear for reuse, and the helpers that walk their packed record buffers.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class PairTable256 {
 public:
  static constexpr int kMaxPairs = 256;

  PairTable256() { Reset(); }
  ~PairTable256() {
    // Strings past the count may still be allocated from earlier use.
    count_ = kMaxPairs;
    Clear(true);
  }
  PairTable256(const PairTable256&) = delete;
  PairTable256& operator=(const PairTable256&) = delete;

  uint32_t Count() const { return count_; }
  void SetCountRaw(uint32_t n) { count_ = n > kMaxPairs ? kMaxPairs : n; }

  // The strings of pair i, allocated on first use; null for i outside 0..255 or out of memory.
  ByteString* First(int i) { return Slot(first_, i); }
  ByteString* Second(int i) { return Slot(second_, i); }
  // Read-only views: null when the string was never allocated.
  const ByteString* FirstAt(int i) const { return (i < 0 || i >= kMaxPairs) ? nullptr : first_[i]; }
  const ByteString* SecondAt(int i) const {
    return (i < 0 || i >= kMaxPairs) ? nullptr : second_[i];
  }

  // Sets the next pair and counts it; 200 when the table is full or memory runs out.
  int Add(const void* first, int first_len, const void* second, int second_len);

  // Empties the strings of the first count pairs and sets the count to 0; with free_strings the
  // strings are also freed and their pointers nulled.
  void Clear(bool free_strings);
  // Forgets every pointer without freeing: only for a table known to hold nothing.
  void Reset();

 private:
  ByteString* Slot(ByteString** table, int i);

  uint32_t count_;
  ByteString* first_[kMaxPairs];
  ByteString* second_[kMaxPairs];
};

// Rounds n up to a multiple of 4.
constexpr uint32_t AlignUp4(uint32_t n) { return (n + 3u) & ~3u; }

// Steps over k records of a packed record buffer; each record's second 32-bit word (machine
// byte order) holds the record's whole size in bytes.
const uint8_t* SkipRecords(const uint8_t* record, int k);

}  // namespace tw
