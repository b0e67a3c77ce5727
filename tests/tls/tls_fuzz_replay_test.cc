// Replays the checked-in TLS handshake fuzz corpora, client and server, so every build runs them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/fuzz/tls_fuzz_target.h"
#include "tests/support/test_support.h"

namespace {

TEST(TlsFuzzCorpus, ReplaysCleanly) {
  for (const char* side : {"tls_client", "tls_server"}) {
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::string(TW_SOURCE_DIR) +
                                                             "/tests/fuzz/corpus/" + side)) {
      SCOPED_TRACE(e.path().string());
      const std::string data = testsupport::ReadFile(e.path().string());
      EXPECT_EQ(tlsfuzz::FuzzOne(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
      ++count;
    }
    EXPECT_GE(count, 10) << side;
  }
}

}  // namespace
