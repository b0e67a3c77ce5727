// A server that answers before it has read the request body and closes the connection: the
// client reports the answer (status and text), not the failed send.
#include <gtest/gtest.h>

#include <string>

#include "http/http_client.h"
#include "tests/peers/scripted_peer.h"

namespace {

using testsupport::ScriptedPeer;

constexpr char kBody[] = "<?xml version=\"1.0\"?><Error><Code>AuthorizationFailure</Code></Error>";

struct EarlyAnswer {
  const char* name;
  int body_bytes;
  ScriptedPeer::Action close;
  bool length_known = true;  // else the body ends with the connection
};

class HttpEarlyAnswer : public ::testing::TestWithParam<EarlyAnswer> {};

TEST_P(HttpEarlyAnswer, TheAnswerIsReportedInsteadOfTheSendFailure) {
  const EarlyAnswer& p = GetParam();
  const std::string body = kBody;
  const std::string answer =
      p.length_known ? ScriptedPeer::HttpResponse(body, "Connection: close\r\n", 403,
                                                  "This request is not authorized.")
                     : "HTTP/1.1 403 This request is not authorized.\r\nConnection: close\r\n\r\n" + body;
  ScriptedPeer peer(ScriptedPeer::Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(answer), p.close});
  ASSERT_TRUE(peer.Start());
  tw::HttpClient c;
  c.SetTimeout(20, true);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/c/b").c_str(), false), 0);
  const std::string payload(static_cast<size_t>(p.body_bytes), 'x');
  ASSERT_EQ(c.SetPostData(payload.data(), static_cast<int>(payload.size())), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionPut), tw::kErrHttpProtocol);
  EXPECT_STREQ(c.error_text().c_str(), "HTTP protocol error. 403 This request is not authorized.");
  EXPECT_EQ(c.status_code(), 403);
  EXPECT_EQ(std::string(c.transferred_data().data(),
                        static_cast<size_t>(c.transferred_data().length())),
            body);
}

INSTANTIATE_TEST_SUITE_P(
    Closes, HttpEarlyAnswer,
    ::testing::Values(EarlyAnswer{"ResetAfter4MiBPlus1", 4 * 1024 * 1024 + 1, ScriptedPeer::Reset()},
                      EarlyAnswer{"ResetAfter32MiB", 32 * 1024 * 1024, ScriptedPeer::Reset()},
                      EarlyAnswer{"FinAfter4MiBPlus1", 4 * 1024 * 1024 + 1, ScriptedPeer::Close()},
                      EarlyAnswer{"ResetEndsABodyWithoutLength", 4 * 1024 * 1024 + 1,
                                  ScriptedPeer::Reset(), false}),
    [](const ::testing::TestParamInfo<EarlyAnswer>& info) { return info.param.name; });

}  // namespace
