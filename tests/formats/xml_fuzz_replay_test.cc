// Replays the checked-in fuzz corpus through the fuzz target, so every build runs it.
#include <gtest/gtest.h>

#include <string>

#include "tests/formats/xml_test_util.h"
#include "tests/fuzz/xml_fuzz_target.h"
#include "tests/support/test_support.h"

namespace {

TEST(XmlFuzzCorpus, ReplaysCleanly) {
  const auto files = xmltest::FilesIn(std::string(TW_SOURCE_DIR) + "/tests/fuzz/corpus/xml");
  ASSERT_GE(files.size(), 20u);
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::string data = testsupport::ReadFile(f);
    EXPECT_EQ(xmlfuzz::FuzzOne(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
  }
}

}  // namespace
