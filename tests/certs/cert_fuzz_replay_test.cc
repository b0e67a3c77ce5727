// Replays the checked-in fuzz corpora through the fuzz targets, so every build runs them.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/fuzz/cert_fuzz_target.h"
#include "tests/support/test_support.h"

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct Corpus {
  const char* folder;
  int (*run)(const uint8_t*, size_t);
};

class CertFuzzCorpus : public ::testing::TestWithParam<Corpus> {};
TEST_P(CertFuzzCorpus, ReplaysCleanly) {
  const auto files = FilesIn(std::string(TW_SOURCE_DIR) + "/tests/fuzz/corpus/" + GetParam().folder);
  ASSERT_GE(files.size(), 20u);
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    const std::string data = testsupport::ReadFile(f);
    EXPECT_EQ(GetParam().run(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
  }
}
INSTANTIATE_TEST_SUITE_P(Fuzz, CertFuzzCorpus,
                         ::testing::Values(Corpus{"der", certfuzz::FuzzDer},
                                           Corpus{"cert", certfuzz::FuzzCertificate}),
                         [](const auto& i) { return std::string(i.param.folder); });

}  // namespace
