#include "platform/heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kBlocksKept = false;  // every free is a real one for the sanitizer
#else
constexpr bool kBlocksKept = true;
#endif

struct ReuseCase {
  const char* name;
  size_t freed;
  size_t asked;
  bool kept;   // the freed block is kept
  bool taken;  // and the request takes it
};

class HeapReuse : public ::testing::TestWithParam<ReuseCase> {};

// A middle-sized block freed is kept and handed out again for a request it fits without wasting
// more than half of it; small and huge blocks go back to the C heap at once.
TEST_P(HeapReuse, KeptBlockGoesToARequestOfAboutItsSize) {
  const ReuseCase& c = GetParam();
  const size_t before = win::HeapKeptBytes();
  void* first = win::HeapAlloc(c.freed);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0x5A, c.freed);
  const size_t held = win::HeapKeptBytes();
  win::HeapFree(first);
  const size_t after_free = win::HeapKeptBytes();
  EXPECT_EQ(after_free > held, c.kept && kBlocksKept);
  void* second = win::HeapAlloc(c.asked);
  ASSERT_NE(second, nullptr);
  std::memset(second, 0xA5, c.asked);
  EXPECT_EQ(win::HeapKeptBytes() < after_free, c.taken && kBlocksKept);
  win::HeapFree(second);
  // At most a few blocks are kept, however many are freed.
  EXPECT_LE(win::HeapKeptBytes(), before + (size_t{8} << 20));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, HeapReuse,
    ::testing::Values(ReuseCase{"SameSize", 131072, 131072, true, true},
                      ReuseCase{"SomewhatSmaller", 196608 + 4096, 131072, true, true},
                      ReuseCase{"FarSmaller", 1 << 20, 40000, true, false},
                      ReuseCase{"Larger", 131072 + 8192, 262144 + 16384, true, false},
                      ReuseCase{"Small", 1024, 1024, false, false},
                      ReuseCase{"Huge", 64 << 20, 64 << 20, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// An injected failure still fails even when a kept block would fit.
TEST(HeapReuse, InjectedFailureWinsOverAKeptBlock) {
  win::HeapFree(win::HeapAlloc(131072));
  win::HeapFailAfter(1);
  EXPECT_EQ(win::HeapAlloc(131072), nullptr);
  win::HeapFailAfter(0);
  void* block = win::HeapAlloc(131072);
  EXPECT_NE(block, nullptr);
  win::HeapFree(block);
}

}  // namespace
