#include "foundation/pair_table.h"

#include <cstring>

#include "foundation/ptr_array.h"

namespace tw {

ByteString* PairTable256::Slot(ByteString** table, int i) {
  if (i < 0 || i >= kMaxPairs) return nullptr;
  if (!table[i]) table[i] = NewRecord<ByteString>();
  return table[i];
}

int PairTable256::Add(const void* first, int first_len, const void* second, int second_len) {
  if (count_ >= static_cast<uint32_t>(kMaxPairs)) return kErrOutOfMemory;
  const int i = static_cast<int>(count_);
  ByteString* a = First(i);
  ByteString* b = Second(i);
  if (!a || !b) return kErrOutOfMemory;
  if (a->Set(first, first_len) != kOk || b->Set(second, second_len) != kOk) {
    a->Reset();
    b->Reset();
    return kErrOutOfMemory;
  }
  ++count_;
  return kOk;
}

void PairTable256::Clear(bool free_strings) {
  const int n = count_ > static_cast<uint32_t>(kMaxPairs) ? kMaxPairs : static_cast<int>(count_);
  for (int i = 0; i < n; ++i) {
    if (free_strings) {
      DeleteRecord(first_[i]);
      DeleteRecord(second_[i]);
      first_[i] = nullptr;
      second_[i] = nullptr;
    } else {
      if (first_[i]) first_[i]->Reset();
      if (second_[i]) second_[i]->Reset();
    }
  }
  count_ = 0;
}

void PairTable256::Reset() {
  count_ = 0;
  std::memset(static_cast<void*>(first_), 0, sizeof(first_));
  std::memset(static_cast<void*>(second_), 0, sizeof(second_));
}

const uint8_t* SkipRecords(const uint8_t* record, int k) {
  for (int i = 0; i < k && record; ++i) {
    uint32_t size;
    std::memcpy(&size, record + 4, 4);
    record += size;
  }
  return record;
}

}  // namespace tw
