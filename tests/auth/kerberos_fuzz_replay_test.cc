// The checked-in Kerberos fuzz corpus, replayed whole and by every prefix in ordinary builds.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fuzz/kerberos_fuzz_target.h"
#include "tests/support/test_support.h"

namespace {

TEST(KerberosFuzzCorpus, ReplaysCleanly) {
  const std::string dir = std::string(TW_SOURCE_DIR) + "/tests/fuzz/corpus/kerberos";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string data = testsupport::ReadFile(entry.path().string());
    for (size_t n = 0; n <= data.size(); ++n) {
      krbfuzz::FuzzKerberos(reinterpret_cast<const uint8_t*>(data.data()), n);
    }
    ++files;
  }
  EXPECT_GE(files, 3);
}

}  // namespace
