// The response body file is released however a transfer ends, so the next request (or another
// program) can open it at once.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/file_handle.h"
#include "http/http_client.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;

class FileClient : public tw::HttpClient {
 public:
  FileClient() { SetTimeout(10, true); }
  bool FileHeld() const { return local_handle_.IsOpen(); }
  int interrupt_after = -1;  // response bytes after which the transfer is interrupted

 protected:
  int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) override {
    if (direction == 1 && interrupt_after >= 0 && bytes >= interrupt_after) {
      interrupt_after = -1;
      Interrupt();
    }
    return HttpClient::FireTransfer(direction, bytes, percent, data, n);
  }
};

std::string Head(int length) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

class HttpLocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    file_ = dir_ + "/out.bin";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // Another open of the file: refused while the client still holds its unshared handle.
  bool OthersCanOpen() const { return tw::FileExists(file_.c_str()); }
  std::string dir_;
  std::string file_;
};

TEST_F(HttpLocalFile, InterruptMidBodyReleasesTheFileAndAppendResumes) {
  const std::string body(4000, 'a');
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(Head(4000) + body.substr(0, 1000)),
                          ScriptedPeer::Sleep(3000), ScriptedPeer::Close()},
                   Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(Head(3000) + body.substr(1000)),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(peer.Start());
  FileClient c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file_.c_str()), 0);
  c.interrupt_after = 1;
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrInterrupted);
  EXPECT_FALSE(c.FileHeld());
  EXPECT_TRUE(OthersCanOpen());
  EXPECT_EQ(testsupport::ReadFile(file_), body.substr(0, 1000));

  c.set_append(true);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
  EXPECT_TRUE(c.append());
  EXPECT_EQ(testsupport::ReadFile(file_), body);
}

TEST_F(HttpLocalFile, ConnectionLostMidBodyReleasesTheFile) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(Head(500) + "partial"),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  FileClient c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file_.c_str()), 0);
  EXPECT_NE(c.DoTransfer(tw::kHttpActionGet), 0);
  EXPECT_FALSE(c.FileHeld());
  EXPECT_TRUE(OthersCanOpen());
  EXPECT_EQ(testsupport::ReadFile(file_), "partial");
}

TEST_F(HttpLocalFile, TimeoutMidBodyReleasesTheFile) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(Head(500) + "partial"),
                           ScriptedPeer::Sleep(4000), ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  FileClient c;
  c.SetTimeout(1, true);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file_.c_str()), 0);
  EXPECT_NE(c.DoTransfer(tw::kHttpActionGet), 0);
  EXPECT_FALSE(c.FileHeld());
  EXPECT_TRUE(OthersCanOpen());
}

TEST_F(HttpLocalFile, CompleteBodyReleasesTheFile) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(Head(5) + "whole"),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(peer.Start());
  FileClient c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file_.c_str()), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.error_text().c_str();
  EXPECT_FALSE(c.FileHeld());
  EXPECT_TRUE(OthersCanOpen());
  EXPECT_EQ(testsupport::ReadFile(file_), "whole");
}

}  // namespace
