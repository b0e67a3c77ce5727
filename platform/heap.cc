#include "platform/heap.h"

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
// filling or reading a gigabyte through 4 KiB pages costs several times the copy itself.
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
}  // namespace

void* HeapAlloc(size_t bytes) {
  if (ShouldFail()) return nullptr;
  return AdviseHugePages(std::malloc(bytes == 0 ? 1 : bytes), bytes);
}

void* HeapReAlloc(void* block, size_t bytes) {
  if (ShouldFail()) return nullptr;
  return AdviseHugePages(std::realloc(block, bytes == 0 ? 1 : bytes), bytes);
}

void HeapFree(void* block) { std::free(block); }

void HeapFailAfter(long n) { fail_countdown.store(n < 0 ? 0 : n); }

long HeapAllocCount() { return alloc_count.load(); }

}  // namespace win
