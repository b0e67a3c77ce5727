// An upload the emulator refuses before reading its body (a wrong key, an invalid container
// name) reports the service's status and error text, whatever the body's size.
#include <gtest/gtest.h>

#include <string>

#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"

namespace {

struct Refusal {
  const char* name;
  bool wrong_key;
  const char* container;
  const char* code;  // the service's error code, in the error text
};

class EmulatorRefusal : public blobtest::EmulatorFixture,
                        public ::testing::WithParamInterface<Refusal> {};

TEST_P(EmulatorRefusal, ALargeBodyGetsTheSameAnswerAsASmallOne) {
  const Refusal& p = GetParam();
  std::string errors[3];
  int codes[3] = {0, 0, 0};
  const size_t sizes[3] = {10, 4 * 1024 * 1024 + 1, 24 * 1024 * 1024};
  for (int i = 0; i < 3; ++i) {
    blobtest::TestClient c;
    ASSERT_TRUE(c.initialized);
    PointAt(c);
    // A key of the right shape that signs wrongly.
    if (p.wrong_key) c.access_key().SetText("d3Jvbmcga2V5IHdyb25nIGtleSB3cm9uZyBrZXkgd3Jvbmcga2V5IQ==");
    c.container().SetText(p.container);
    ASSERT_EQ(c.SetSimpleUploadLimit(64 * 1024 * 1024), 0);
    const std::string data(sizes[i], 'd');
    c.blob_data().Set(data.data(), static_cast<int>(data.size()));
    codes[i] = c.CreateBlob("refused.bin", 0, 0);
    // The first line: the service's code and message, without the request's id and time.
    errors[i] = c.Error().substr(0, c.Error().find('\n'));
  }
  EXPECT_NE(codes[0], 0);
  EXPECT_NE(errors[0].find(p.code), std::string::npos) << errors[0];
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(codes[i], codes[0]) << sizes[i];
    EXPECT_EQ(errors[i], errors[0]) << sizes[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Uploads, EmulatorRefusal,
    ::testing::Values(Refusal{"WrongKey", true, "early", "[AuthorizationFailure]"},
                      Refusal{"InvalidContainerName", false, "Bad_Name", "[InvalidResourceName]"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

}  // namespace
