// The control's blob operations with UseWinInet, against the storage emulator.

#include <gtest/gtest.h>

#include <string>

#include "tests/control/emulator_fixture.h"

namespace {

using controltest::DispResult;

class ControlWinInet : public controltest::EmulatorFixture {
 protected:
  void SetUp() override {
    Connect("w");
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(control_.Call("Config", {"UseWinInet=true"}).ok());
    ASSERT_EQ(recorder_.Advise(control_.dispatch()), win::S_OK);
  }
  void TearDown() override { recorder_.Unadvise(); }
  controltest::EventRecorder recorder_;
};

TEST_F(ControlWinInet, ContainerAndBlobLife) {
  DispResult made = control_.Call("CreateContainer");
  ASSERT_EQ(made.hr, win::S_OK) << made.description;
  const std::string data(3000, 'w');
  ASSERT_TRUE(control_.Put("BlobData", data).ok());
  DispResult created = control_.Call("CreateBlob", {"w.txt", int16_t{0}, 0});
  ASSERT_EQ(created.hr, win::S_OK) << created.description;

  DispResult listed = control_.Call("ListBlobs");
  ASSERT_EQ(listed.hr, win::S_OK) << listed.description;
  EXPECT_EQ(control_.Get("BlobCount").Int(), 1);
  EXPECT_EQ(control_.Text("BlobName", {0}), "w.txt");

  ASSERT_TRUE(control_.Put("BlobData", "").ok());
  recorder_.events.clear();
  DispResult got = control_.Call("GetBlob", {"w.txt"});
  ASSERT_EQ(got.hr, win::S_OK) << got.description;
  EXPECT_EQ(control_.Text("BlobData"), data);
  EXPECT_GE(recorder_.Count("StartTransfer"), 1);
  EXPECT_GE(recorder_.Count("EndTransfer"), 1);

  DispResult missing = control_.Call("GetBlob", {"none.txt"});
  EXPECT_NE(missing.hr, win::S_OK);
  EXPECT_NE(missing.description.find("BlobNotFound"), std::string::npos) << missing.description;

  ASSERT_EQ(control_.Call("DeleteBlob", {"w.txt", int16_t{0}}).hr, win::S_OK);
  ASSERT_EQ(control_.Call("DeleteContainer").hr, win::S_OK);
}

}  // namespace
