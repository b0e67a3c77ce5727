// The blob operations through the WinINet request path, against the storage emulator.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "blob/blob_client.h"
#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"

namespace {

class AzuriteWinInet : public blobtest::EmulatorFixture {
 protected:
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
    ASSERT_EQ(client_.Set("UseWinInet=true"), 0);
    dir_ = testsupport::MakeTempDir();
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  blobtest::TestClient client_;
  std::string dir_;
};

TEST_F(AzuriteWinInet, ContainerAndBlobLife) {
  client_.container().SetText("wininet");
  ASSERT_EQ(client_.CreateContainer(), 0) << client_.Error();

  const std::string data = testsupport::RandomBytes(5000, 28);
  client_.blob_data().Set(data.data(), static_cast<int>(data.size()));
  ASSERT_EQ(client_.CreateBlob("one.bin", 0, 0), 0) << client_.Error();

  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  ASSERT_EQ(client_.blobs().Count(), 1);
  EXPECT_EQ(std::string(client_.blobs().At(0)->name.c_str()), "one.bin");

  const std::string file = dir_ + "/one.bin";
  client_.SetCallerLocalFile(file.c_str());
  ASSERT_EQ(client_.GetBlob("one.bin"), 0) << client_.Error();
  EXPECT_EQ(testsupport::ReadFile(file), data);

  // A missing blob: the service's error, and the earlier download is left as it was.
  client_.SetCallerLocalFile(file.c_str());
  client_.set_overwrite(true);
  EXPECT_NE(client_.GetBlob("none.bin"), 0);
  EXPECT_NE(std::string(client_.Error()).find("BlobNotFound"), std::string::npos)
      << client_.Error();
  EXPECT_EQ(testsupport::ReadFile(file), data);

  ASSERT_EQ(client_.DeleteBlob("one.bin", 0), 0) << client_.Error();
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  EXPECT_EQ(client_.blobs().Count(), 0);
  ASSERT_EQ(client_.DeleteContainer(), 0) << client_.Error();
}

}  // namespace
