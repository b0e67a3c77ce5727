#include "platform/heap.h"

#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace win {
namespace {
std::atomic<long> fail_countdown{0};
std::atomic<long> alloc_count{0};

bool ShouldFail() {
  alloc_count.fetch_add(1, std::memory_order_relaxed);
  long n = fail_countdown.load(std::memory_order_relaxed);
  if (n <= 0) return false;
  if (fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) return true;
  return false;
}

// Large blocks (a body kept in memory) are backed by huge pages where the system allows it:
// filling or reading a gigabyte through 4 KiB pages costs several times the copy itself. Only
// fresh blocks: a block that grows by reallocation is moved by remapping its pages, which takes
// a hundred times longer once they are huge ones (64 MiB: a second instead of ten ms).
constexpr size_t kHugeAdviceBytes = size_t{8} << 20;
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

void* AdviseHugePages(void* block, size_t bytes) {
  if (block == nullptr || bytes < kHugeAdviceBytes) return block;
  const uintptr_t first = reinterpret_cast<uintptr_t>(block);
  const uintptr_t start = (first + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (first + bytes) & ~(kHugePage - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  return block;
}
// Middle-sized blocks freed are kept a while for the next request of about their size, as the home
// platform's heap keeps what it has committed. A buffer per received piece (an event's text and
// its copy) would otherwise take the C heap over its trim threshold each time, so that it hands
// the pages back to the system and faults them in again for the next piece. Per thread, so no
// lock; a few MiB at most. Sanitizer builds keep every free a real one, for their checks.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepBlocks = false;
#else
constexpr bool kKeepBlocks = true;
#endif
constexpr size_t kKeptMin = size_t{32} << 10;
constexpr size_t kKeptMax = size_t{2} << 20;
constexpr int kKeptSlots = 4;

class KeptBlocks {
 public:
  ~KeptBlocks() {
    for (void* b : blocks_) std::free(b);
  }
  // A kept block of at least `bytes`, and not more than twice that, or null.
  void* Take(size_t bytes) {
    for (int i = 0; i < kKeptSlots; ++i) {
      if (blocks_[i] != nullptr && sizes_[i] >= bytes && sizes_[i] / 2 <= bytes) {
        void* b = blocks_[i];
        blocks_[i] = nullptr;
        return b;
      }
    }
    return nullptr;
  }
  size_t Bytes() const {
    size_t total = 0;
    for (int i = 0; i < kKeptSlots; ++i) total += blocks_[i] != nullptr ? sizes_[i] : 0;
    return total;
  }
  // The oldest block goes when every slot is full.
  void Keep(void* block, size_t size) {
    for (int i = 0; i < kKeptSlots; ++i) {
      if (blocks_[i] == nullptr) {
        blocks_[i] = block;
        sizes_[i] = size;
        return;
      }
    }
    std::free(blocks_[next_]);
    blocks_[next_] = block;
    sizes_[next_] = size;
    next_ = (next_ + 1) % kKeptSlots;
  }

 private:
  void* blocks_[kKeptSlots] = {};
  size_t sizes_[kKeptSlots] = {};
  int next_ = 0;
};

thread_local KeptBlocks kept;

bool Keepable(size_t bytes) { return kKeepBlocks && bytes >= kKeptMin && bytes <= kKeptMax; }

}  // namespace

void* HeapAlloc(size_t bytes) {
  if (ShouldFail()) return nullptr;
  if (Keepable(bytes)) {
    if (void* block = kept.Take(bytes)) return block;
  }
  return AdviseHugePages(std::malloc(bytes == 0 ? 1 : bytes), bytes);
}

void* HeapReAlloc(void* block, size_t bytes) {
  if (ShouldFail()) return nullptr;
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void HeapFree(void* block) {
  if (block == nullptr) return;
  const size_t size = kKeepBlocks ? malloc_usable_size(block) : 0;
  if (Keepable(size)) {
    kept.Keep(block, size);
    return;
  }
  std::free(block);
}

void HeapFailAfter(long n) { fail_countdown.store(n < 0 ? 0 : n); }

long HeapAllocCount() { return alloc_count.load(); }

size_t HeapKeptBytes() { return kept.Bytes(); }

}  // namespace win
