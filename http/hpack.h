// Header compression for HTTP/2: the header table (static entries 1 to 61, dynamic entries from
// 62, newest first), integer and string coding with the static Huffman code, the header block
// decoder and encoder, and the check that drops connection-specific request headers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "foundation/byte_reader.h"
#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/string_list.h"

namespace tw {

// The HTTP/2 code of every header block fault.
constexpr int kErrHpackCompression = 9;
// The table size both sides start from, and the most this side's encoder ever uses.
constexpr int kHpackDefaultTableSize = 4096;
constexpr int kHpackStaticCount = 61;
// The most bytes (names, values and 32 per field) of one decoded header list.
constexpr int kHpackMaxHeaderList = 262144;

class HpackTable {
 public:
  HpackTable() = default;

  // Empties the dynamic entries; the size limit returns to its default.
  void Refill();
  int Insert(const ByteString& name, const ByteString& value);
  // Drops the oldest entries while the dynamic size exceeds the limit.
  void Evict(int limit);
  // The lowest index from 1 with that name and value (or name), -1 when none.
  int FindPair(const ByteString& name, const ByteString& value) const;
  int FindName(const ByteString& name) const;
  // The entry at index (1 to Count() - 1); false for index 0 or past the table.
  bool Get(int index, const char** name, int* name_n, const char** value, int* value_n) const;
  int Count() const { return 1 + kHpackStaticCount + static_cast<int>(dynamic_.size()); }
  int dynamic_size() const { return size_; }
  int dynamic_count() const { return static_cast<int>(dynamic_.size()); }

  // The size limit in force: set by a decoded size update, or by the peer's setting for the
  // encoder. A change the encoder makes is signalled at the start of its next block.
  int capacity() const { return capacity_; }
  void set_capacity(int limit) { capacity_ = limit; }
  // Encoder side: the peer's HEADER_TABLE_SIZE, capped at our own default.
  void SetEncoderLimit(int peer_size);
  int TakePendingUpdate(int* smallest, int* last);

 private:
  std::deque<ByteStringPair> dynamic_;
  int size_ = 0;
  int capacity_ = kHpackDefaultTableSize;
  bool update_pending_ = false;
  int smallest_update_ = kHpackDefaultTableSize;
};

// ---- Primitives ----
int HpackEncodeInt(uint32_t value, int prefix_bits, ByteString& out);
// 0, or 9 for a value that runs past the block or does not fit 31 bits.
int HpackDecodeInt(ByteReader& r, int prefix_bits, uint32_t* out);
int HpackDecodeString(ByteReader& r, ByteString& out);
int HuffmanEncode(const void* bytes, int n, ByteString& out);
// 0, or 9 for a code that decodes EOS, padding longer than 7 bits or padding not of 1 bits.
int HuffmanDecode(const void* bytes, int n, ByteString& out);
bool IsConnectionSpecific(const char* name, const char* value);

// Decodes a header block into names and values in turn. table_limit is the HEADER_TABLE_SIZE
// this side announced: a size update above it is an error. *size_update gets the last size
// update of the block, -1 when none; on_size_update, when given, is told of each one as it is
// read, so an update before a fault is still reported. 0 or 9 with the reason in *why.
int HpackDecodeBlock(const uint8_t* bytes, int n, HpackTable& table, int table_limit,
                     StringList& out, int* size_update, const char** why,
                     const std::function<void(int)>& on_size_update = {});
// Encodes the pairs (names in lower case) into a header block. without_indexing is a
// comma-separated list of names sent without indexing. 0 or 200.
int HpackEncodeBlock(const ByteStringPairArray& pairs, bool huffman, const char* without_indexing,
                     HpackTable& table, ByteString& out);

}  // namespace tw
