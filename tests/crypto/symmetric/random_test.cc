#include "crypto/symmetric/random_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/heap.h"

namespace {

using tw::RandomSource;
using win::CryptRandomFault;

class RandomSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
    win::ResetKeyContainersForTesting();
    openAtStart_ = win::OpenCryptContextCount();
  }
  void TearDown() override {
    win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
    EXPECT_EQ(openAtStart_, win::OpenCryptContextCount());
  }
  long openAtStart_ = 0;
};

TEST_F(RandomSourceTest, FillsAtTheOffsetAndKeepsItsProvider) {
  RandomSource source;
  EXPECT_FALSE(source.HoldsProvider());
  std::vector<uint8_t> buffer(64, 0xA5);
  // The container does not exist yet: the source creates it on its own.
  ASSERT_EQ(0, source.Fill(buffer.data(), 8, 48));
  EXPECT_TRUE(source.HoldsProvider());
  EXPECT_EQ(openAtStart_ + 1, win::OpenCryptContextCount());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(0xA5, buffer[i]);
  for (int i = 56; i < 64; ++i) EXPECT_EQ(0xA5, buffer[i]);
  int changed = 0;
  for (int i = 8; i < 56; ++i) changed += buffer[i] != 0xA5;
  EXPECT_GT(changed, 40);
  ASSERT_EQ(0, source.Fill(buffer.data(), 16));
  EXPECT_EQ(openAtStart_ + 1, win::OpenCryptContextCount());
  source.Release();
  EXPECT_FALSE(source.HoldsProvider());
  EXPECT_EQ(openAtStart_, win::OpenCryptContextCount());
  ASSERT_EQ(0, source.Fill(buffer.data(), 16));  // acquires again, the container now exists
  EXPECT_TRUE(source.HoldsProvider());
}

TEST_F(RandomSourceTest, NothingToFillTouchesNothing) {
  RandomSource source;
  uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(0, source.Fill(nullptr, 0, 16));
  EXPECT_EQ(0, source.Fill(b, 0, 0));
  EXPECT_FALSE(source.HoldsProvider());
  EXPECT_EQ(tw::kErrInvalidValue, source.Fill(b, -1, 2));
  EXPECT_EQ(tw::kErrInvalidValue, source.Fill(b, 0, -2));
  EXPECT_EQ(0, std::memcmp(b, "\x01\x02\x03\x04", 4));
}

TEST_F(RandomSourceTest, MissingLibraryIsAnErrorNotAWeakFallback) {
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kLibraryMissing);
  RandomSource source;
  uint8_t b[16] = {};
  EXPECT_EQ(tw::kErrRandomUnavailable, source.Fill(b, 0, sizeof b));
  EXPECT_STREQ("The security library could not be loaded.", source.last_error_text());
  for (uint8_t x : b) EXPECT_EQ(0, x);  // nothing made up from the clock
  tw::ByteString out;
  ASSERT_EQ(0, out.SetText("old"));
  EXPECT_EQ(tw::kErrRandomUnavailable, tw::FillRandom(16, out));
  EXPECT_EQ(0, out.length());
}

TEST_F(RandomSourceTest, FailingAcquisitionIsAnError) {
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kAcquireFails);
  RandomSource source;
  uint8_t b[8];
  EXPECT_EQ(tw::kErrRandomUnavailable, source.Fill(b, 0, sizeof b));
  EXPECT_FALSE(source.HoldsProvider());
  EXPECT_EQ(win::NTE_FAIL, source.last_platform_error());
  // Tried again at the next fill.
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
  EXPECT_EQ(0, source.Fill(b, 0, sizeof b));
  EXPECT_STREQ("", source.last_error_text());
}

TEST_F(RandomSourceTest, FailingGeneratorIsAnError) {
  RandomSource source;
  uint8_t b[8];
  ASSERT_EQ(0, source.Fill(b, 0, sizeof b));
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kGenerateFails);
  EXPECT_EQ(tw::kErrRandomUnavailable, source.Fill(b, 0, sizeof b));
  EXPECT_STREQ("The random number generator failed.", source.last_error_text());
  tw::ByteString out;
  EXPECT_EQ(tw::kErrRandomUnavailable, tw::FillRandom(32, out));
  EXPECT_EQ(0, out.length());
}

TEST_F(RandomSourceTest, ShortReadsAreLoopedOver) {
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kShortReads);
  tw::ByteString out;
  ASSERT_EQ(0, tw::FillRandom(200, out));
  ASSERT_EQ(200, out.length());
  for (int i = 0; i + 8 <= 200; i += 8) {
    bool zeros = true;
    for (int k = i; k < i + 8; ++k) zeros = zeros && out.bytes()[k] == 0;
    EXPECT_FALSE(zeros) << i;
  }
}

TEST_F(RandomSourceTest, FillRandomGivesDistinctStringsOfTheLengthAsked) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    tw::ByteString out;
    ASSERT_EQ(0, tw::FillRandom(16, out));
    ASSERT_EQ(16, out.length());
    seen.insert(std::string(out.data(), 16));
  }
  EXPECT_EQ(100u, seen.size());
  tw::ByteString big;
  ASSERT_EQ(0, tw::FillRandom(5000, big));
  EXPECT_EQ(5000, big.length());
  tw::ByteString empty;
  EXPECT_EQ(0, tw::FillRandom(0, empty));
  EXPECT_EQ(0, empty.length());
  EXPECT_EQ(tw::kErrInvalidValue, tw::FillRandom(-1, empty));
}

TEST_F(RandomSourceTest, FillRandomReportsAStringThatCannotGrow) {
  tw::ByteString out;
  win::HeapFailAfter(1);
  const int rc = tw::FillRandom(1000, out);
  win::HeapFailAfter(0);
  EXPECT_EQ(tw::kErrOutOfMemory, rc);
  EXPECT_EQ(0, out.length());
}

}  // namespace
