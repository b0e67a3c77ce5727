// Replays the checked-in HTTP/2 fuzz corpus through the fuzz target, so every build runs it.
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

}  // namespace
