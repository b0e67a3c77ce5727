// An owning array of pointers to heap records.
//
// Up to 20 slots live inside the array; beyond that a heap slot array twice the requested count
// is used. A slot stays null until its record is first asked for; the array destroys every record
// it holds. Records are made with NewRecord and freed with DeleteRecord, both on the process heap
// of the platform layer, so out-of-memory paths can be tested.
#pragma once

#include <climits>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/byte_string.h"
#include "platform/heap.h"

namespace tw {

// A default-constructed record on the process heap, or null when memory runs out.
template <class T>
T* NewRecord() {
  void* block = win::HeapAlloc(sizeof(T));
  if (!block) return nullptr;
  return new (block) T();
}

// Destroys a record made by NewRecord (null is ignored).
template <class T>
void DeleteRecord(T* record) {
  if (!record) return;
  record->~T();
  win::HeapFree(static_cast<void*>(record));
}

// A record type that copies itself from another: 0, or 200 when memory runs out.
template <class T>
concept CopyableRecord = requires(T& dst, const T& src) {
  { dst.CopyFrom(src) } -> std::convertible_to<int>;
};
// A record type with a second copy form (used by InsertClone when present).
template <class T>
concept CloneableRecord = requires(T& dst, const T& src) {
  { dst.CloneFrom(src) } -> std::convertible_to<int>;
};

template <class T>
class PtrArray {
 public:
  static constexpr int kInlineSlots = 20;

  PtrArray() = default;
  ~PtrArray() { Clear(); }
  PtrArray(const PtrArray&) = delete;
  PtrArray& operator=(const PtrArray&) = delete;
  PtrArray(PtrArray&& other) noexcept { TakeFrom(other); }
  PtrArray& operator=(PtrArray&& other) noexcept {
    if (this != &other) {
      Clear();
      TakeFrom(other);
    }
    return *this;
  }

  int Count() const { return count_; }
  int Capacity() const { return capacity_; }

  // The record in slot i without creating one: null when the slot is empty or out of range.
  T* At(int i) const { return (i < 0 || i >= count_) ? nullptr : Slots()[i]; }

  // The record in slot i, created on first access; null for i < 0 or out of memory. An index
  // at or past the count grows the array to i + 1 first, so no slot outside it is written.
  T* GetOrCreate(int i) {
    if (i < 0) return nullptr;
    if (i >= count_) {
      if (i == INT_MAX || SetCount(i + 1) != kOk) return nullptr;
    }
    T** slots = Slots();
    if (!slots[i]) slots[i] = NewRecord<T>();
    return slots[i];
  }

  // Records at index n and above are destroyed; new slots are null. Out of memory gives 200 and
  // leaves the array as it was.
  int SetCount(int n) {
    if (n < 0) n = 0;
    if (n > kInlineSlots && n > capacity_) {
      const int64_t wanted = static_cast<int64_t>(n) * 2;
      if (wanted > INT32_MAX || static_cast<uint64_t>(wanted) > SIZE_MAX / sizeof(T*)) {
        return kErrOutOfMemory;
      }
      const size_t bytes = static_cast<size_t>(wanted) * sizeof(T*);
      T** block = static_cast<T**>(win::HeapAlloc(bytes));
      if (!block) return kErrOutOfMemory;
      std::memset(static_cast<void*>(block), 0, bytes);
      std::memcpy(static_cast<void*>(block), Slots(), static_cast<size_t>(count_) * sizeof(T*));
      if (heap_) {
        win::HeapFree(heap_);
      } else {
        std::memset(static_cast<void*>(inline_), 0, sizeof(inline_));
      }
      heap_ = block;
      capacity_ = static_cast<int>(wanted);
      count_ = n;
      return kOk;
    }
    T** slots = Slots();
    for (int i = n; i < count_; ++i) {
      DeleteRecord(slots[i]);
      slots[i] = nullptr;
    }
    if (n <= kInlineSlots && heap_) {
      std::memset(static_cast<void*>(inline_), 0, sizeof(inline_));
      std::memcpy(static_cast<void*>(inline_), heap_, static_cast<size_t>(n) * sizeof(T*));
      win::HeapFree(heap_);
      heap_ = nullptr;
      capacity_ = kInlineSlots;
    }
    count_ = n;
    return kOk;
  }

  // Destroys every record and returns to the inline slots.
  void Clear() {
    T** slots = Slots();
    for (int i = 0; i < count_; ++i) DeleteRecord(slots[i]);
    if (heap_) win::HeapFree(heap_);
    heap_ = nullptr;
    std::memset(static_cast<void*>(inline_), 0, sizeof(inline_));
    count_ = 0;
    capacity_ = kInlineSlots;
  }
  void DeleteAll() { Clear(); }

  // Destroys record i and closes the gap; nothing for an index out of range.
  void RemoveAt(int i) {
    if (i < 0 || i >= count_) return;
    T** slots = Slots();
    DeleteRecord(slots[i]);
    std::memmove(static_cast<void*>(slots + i), slots + i + 1,
                 static_cast<size_t>(count_ - i - 1) * sizeof(T*));
    slots[count_ - 1] = nullptr;
    --count_;
  }

  // Puts a record made by NewRecord at index i (appending for i at or past the count) and takes
  // ownership of it, also on failure. -1 for i < 0, 200 when the array cannot grow.
  int InsertOwned(int i, T* record) {
    if (i < 0) {
      DeleteRecord(record);
      return -1;
    }
    const int old = count_;
    int rc = SetCount(old + 1);
    if (rc != kOk) {
      DeleteRecord(record);
      return rc;
    }
    T** slots = Slots();
    if (i >= old) {
      slots[old] = record;
    } else {
      std::memmove(static_cast<void*>(slots + i + 1), slots + i,
                   static_cast<size_t>(old - i) * sizeof(T*));
      slots[i] = record;
    }
    return kOk;
  }

  // Inserts a copy of the record at index i. The copy is made before the array changes, so the
  // record may be one of this array's own and a failure leaves the array as it was.
  int InsertCopy(int i, const T& record)
    requires CopyableRecord<T>
  {
    if (i < 0) return -1;
    T* copy = NewRecord<T>();
    if (!copy) return kErrOutOfMemory;
    int rc = copy->CopyFrom(record);
    if (rc != kOk) {
      DeleteRecord(copy);
      return rc;
    }
    return InsertOwned(i, copy);
  }

  // The same with the record type's second copy form, where it has one.
  int InsertClone(int i, const T& record)
    requires CopyableRecord<T>
  {
    if constexpr (CloneableRecord<T>) {
      if (i < 0) return -1;
      T* copy = NewRecord<T>();
      if (!copy) return kErrOutOfMemory;
      int rc = copy->CloneFrom(record);
      if (rc != kOk) {
        DeleteRecord(copy);
        return rc;
      }
      return InsertOwned(i, copy);
    } else {
      return InsertCopy(i, record);
    }
  }

  // Replaces the contents by copies of the other array's records, in order (empty slots stay
  // empty). On failure this array is left as it was.
  int CopyFrom(const PtrArray& other)
    requires CopyableRecord<T>
  {
    if (this == &other) return kOk;
    PtrArray copy;
    int rc = copy.SetCount(other.count_);
    if (rc != kOk) return rc;
    T* const* from = other.Slots();
    T** to = copy.Slots();
    for (int i = 0; i < other.count_; ++i) {
      if (!from[i]) continue;
      to[i] = NewRecord<T>();
      if (!to[i]) return kErrOutOfMemory;
      rc = to[i]->CopyFrom(*from[i]);
      if (rc != kOk) return rc;
    }
    *this = std::move(copy);
    return kOk;
  }

 protected:
  T** Slots() { return heap_ ? heap_ : inline_; }
  T* const* Slots() const { return heap_ ? heap_ : inline_; }

 private:
  void TakeFrom(PtrArray& other) {
    count_ = other.count_;
    capacity_ = other.capacity_;
    heap_ = other.heap_;
    std::memcpy(static_cast<void*>(inline_), other.inline_, sizeof(inline_));
    other.heap_ = nullptr;
    std::memset(static_cast<void*>(other.inline_), 0, sizeof(other.inline_));
    other.count_ = 0;
    other.capacity_ = kInlineSlots;
  }

  int count_ = 0;
  int capacity_ = kInlineSlots;
  T* inline_[kInlineSlots] = {};
  T** heap_ = nullptr;
};

}  // namespace tw
