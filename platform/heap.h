// Process heap. Every allocation of the system's own containers goes through here, so a test can
// make any one of them fail and check that the out-of-memory path leaves its object valid.
#pragma once

#include <cstddef>

namespace win {

void* HeapAlloc(size_t bytes);                 // null on failure
void* HeapReAlloc(void* block, size_t bytes);  // null on failure; the old block stays valid then
void HeapFree(void* block);                    // null is ignored

// Test hooks: the n-th allocation from now (1 = the next one) fails; 0 turns injection off.
void HeapFailAfter(long n);
// Number of allocations and reallocations made so far in this process.
long HeapAllocCount();
// Bytes of freed blocks the calling thread keeps for the next requests of about their size.
size_t HeapKeptBytes();

}  // namespace win
