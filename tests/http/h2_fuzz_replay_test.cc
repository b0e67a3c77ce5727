// Replays the checked-in HTTP/2 and HPACK fuzz corpora through their fuzz targets, so every build
// runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fuzz/h2_fuzz_target.h"
#include "tests/support/test_support.h"

namespace {

TEST(Http2FuzzCorpus, ReplaysCleanly) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TW_SOURCE_DIR) +
                                                           "/tests/fuzz/corpus/h2")) {
    files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 40u);
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::string data = testsupport::ReadFile(f);
    EXPECT_EQ(h2fuzz::FuzzOne(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
  }
}

TEST(HpackFuzzCorpus, ReplaysCleanly) {
  int count = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TW_SOURCE_DIR) +
                                                           "/tests/fuzz/corpus/hpack")) {
    SCOPED_TRACE(e.path().string());
    const std::string data = testsupport::ReadFile(e.path().string());
    EXPECT_EQ(h2fuzz::DecodeBlocks(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
    ++count;
  }
  EXPECT_GE(count, 40);
}

}  // namespace
