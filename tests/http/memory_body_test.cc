// A body kept in memory is held in one block of the announced size: it never moves while it
// grows (a move would hold it twice), and an announced size that never comes costs no memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "http/http_client.h"
#include "tests/peers/scripted_peer.h"

namespace {

using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;

long ResidentKb() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * 4;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return s;
}

struct BodyCase {
  const char* name;
  size_t sent;            // body bytes the server sends
  std::string head;       // the reply head, without the blank line
  std::string limit;      // TransferredDataLimit, "" for none
  bool succeeds;
  size_t kept;            // bytes kept in memory
  bool one_block;         // capacity is exactly the bytes kept
};

class MemoryBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(MemoryBody, HeldInOneBlockOfTheAnnouncedSize) {
  const BodyCase& c = GetParam();
  const std::string body = Pattern(c.sent);
  Script script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(c.head + "\r\n\r\n")};
  for (size_t at = 0; at < body.size(); at += 100000) {
    script.push_back(ScriptedPeer::Send(body.substr(at, 100000)));
  }
  script.push_back(ScriptedPeer::Close());
  ScriptedPeer peer(script);
  ASSERT_TRUE(peer.Start());
  tw::HttpClient client;
  client.SetTimeout(30, true);
  ASSERT_EQ(client.SetUrl((peer.base_url() + "/b").c_str(), false), 0);
  if (!c.limit.empty()) {
    ASSERT_EQ(client.ConfigText(("TransferredDataLimit=" + c.limit).c_str(), nullptr), 0);
  }
  const long before = ResidentKb();
  const int rc = client.DoTransfer(tw::kHttpActionGet);
  const long grown_kb = ResidentKb() - before;
  EXPECT_EQ(rc == 0, c.succeeds) << client.error_text().c_str();
  const tw::ByteString& data = client.transferred_data();
  ASSERT_EQ(static_cast<size_t>(data.length()), c.kept);
  EXPECT_EQ(std::string(data.data(), c.kept), body.substr(0, c.kept));
  if (c.one_block) {
    EXPECT_EQ(static_cast<size_t>(data.capacity()), c.kept);
  }
  // What is resident is about what was received, whatever was announced.
  EXPECT_LT(grown_kb, static_cast<long>(c.sent / 1024) + 32 * 1024);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MemoryBody,
    ::testing::Values(
        BodyCase{"Announced", 8 << 20, "HTTP/1.1 200 OK\r\nContent-Length: 8388608", "", true,
                 8 << 20, true},
        BodyCase{"CutAtTheLimit", 4 << 20, "HTTP/1.1 200 OK\r\nContent-Length: 4194304",
                 "1048576", true, 1 << 20, true},
        BodyCase{"AnnouncedNeverSent", 10,
                 "HTTP/1.1 200 OK\r\nContent-Length: 1073741824", "", false, 10, false},
        BodyCase{"UntilClose", 3 << 20, "HTTP/1.1 200 OK\r\nConnection: close", "", true,
                 3 << 20, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
