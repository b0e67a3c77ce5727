#include "platform/heap.h"

#include <atomic>
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
}  // namespace

void* HeapAlloc(size_t bytes) {
  if (ShouldFail()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* HeapReAlloc(void* block, size_t bytes) {
  if (ShouldFail()) return nullptr;
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void HeapFree(void* block) { std::free(block); }

void HeapFailAfter(long n) { fail_countdown.store(n < 0 ? 0 : n); }

long HeapAllocCount() { return alloc_count.load(); }

}  // namespace win
