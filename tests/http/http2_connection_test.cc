#include "http/http2_connection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tw {
namespace {

struct Sent {
  int type;
  int flags;
  uint32_t id;
  std::string payload;
};

class FakePeer : public Http2Handler {
 public:
  int Http2Send(const void* bytes, int n) override {
    wire.append(static_cast<const char*>(bytes), static_cast<size_t>(n));
    return 0;
  }
  int Http2Wait() override {
    ++waits;
    if (!on_wait) return 1;
    auto step = on_wait;
    on_wait = nullptr;
    step();
    return 0;
  }
  void OnHttp2Header(const char* name, int, const char* value, int) override {
    events += std::string("H ") + name + "=" + value + ";";
  }
  void OnHttp2HeadersEnd() override { events += "E;"; }
  void OnHttp2Data(const uint8_t* bytes, int n) override {
    body.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
  }
  void OnHttp2StreamEnd() override { events += "END;"; }
  int Http2LogLevel() const override { return 1; }
  void Http2Log(int, const char* text, const char*) override { logs += std::string(text) + ";"; }

  // The frames written since the last call, the preface skipped.
  std::vector<Sent> Frames() {
    std::vector<Sent> out;
    size_t at = wire.compare(0, 3, "PRI") == 0 ? 24 : 0;
    while (at + 9 <= wire.size()) {
      const auto* p = reinterpret_cast<const uint8_t*>(wire.data() + at);
      const size_t len = LoadUIntBE(p, 0, 3);
      out.push_back({p[3], p[4], LoadUIntBE(p, 5, 4), wire.substr(at + 9, len)});
      at += 9 + len;
    }
    wire.clear();
    return out;
  }

  std::string wire;
  std::string events;
  std::string body;
  std::string logs;
  int waits = 0;
  std::function<void()> on_wait;
};

std::string Frame(int type, int flags, uint32_t id, const std::string& payload, int pad = 0) {
  BufferWriter w;
  AppendHttp2Frame(w, static_cast<uint8_t>(type), static_cast<uint8_t>(flags), id, payload.data(),
                   static_cast<int>(payload.size()), pad);
  return std::string(reinterpret_cast<const char*>(w.Data()), static_cast<size_t>(w.Length()));
}

std::string U32(uint32_t v) {
  uint8_t b[4];
  PutUIntBE(v, b, 0, 4);
  return std::string(reinterpret_cast<char*>(b), 4);
}

std::string Setting(int id, uint32_t v) {
  uint8_t b[6];
  PutUIntBE(static_cast<uint32_t>(id), b, 0, 2);
  PutUIntBE(v, b, 2, 4);
  return std::string(reinterpret_cast<char*>(b), 6);
}

// ":status 200" as one indexed field.
const std::string kStatus200 = "\x88";

struct Fixture {
  FakePeer peer;
  Http2Connection c{&peer};
  // A request sent with END_STREAM: the stream is HALFCLOSED_LOCAL.
  explicit Fixture(bool end_stream = true) {
    EXPECT_EQ(c.SendPreface(), 0);
    StringList h;
    h.AddText(":method");
    h.AddText("GET");
    h.AddText(":path");
    h.AddText("/");
    h.AddText("Connection");
    h.AddText("close");
    EXPECT_EQ(c.SendHeaders(h, end_stream, ""), 0);
    peer.Frames();
    peer.logs.clear();
  }
  int Feed(const std::string& bytes) { return c.Receive(bytes.data(), static_cast<int>(bytes.size())); }
};

TEST(Http2ConnectionTest, PrefaceRefusesPushAndGrantsTheLocalWindow) {
  FakePeer peer;
  Http2Connection c(&peer);
  ASSERT_EQ(c.SendPreface(), 0);
  ASSERT_EQ(peer.wire.substr(0, 24), std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, kH2Settings);
  EXPECT_EQ(frames[0].payload, Setting(2, 0) + Setting(3, 100) + Setting(4, 65535));
  EXPECT_EQ(frames[1].type, kH2WindowUpdate);
  EXPECT_EQ(frames[1].payload, U32(65535));
  // The largest local window still leaves the connection window within 2^31-1.
  FakePeer big_peer;
  Http2Connection big(&big_peer);
  big.set_local_window(0x7FFFFFFF);
  big.Reset();
  ASSERT_EQ(big.SendPreface(), 0);
  EXPECT_EQ(big_peer.Frames()[1].payload, U32(0x7FFFFFFF - 65535));
  EXPECT_EQ(big.connection_receive_window(), 0x7FFFFFFF);
}

struct Exchange {
  const char* name;
  std::vector<std::string> input;  // fed read by read
  int rc;                          // of the last read
  const char* events;
  std::vector<int> answers;        // types of the frames sent back
  const char* text = nullptr;      // the connection's error text, when checked
  const char* logs = nullptr;      // the lines logged, when checked
};

const std::string kServerReset = Frame(kH2RstStream, 0, 1, U32(0)) + Frame(kH2RstStream, 0, 1, U32(0));  // the second: closed by it
const std::string kPushOn = Frame(kH2Settings, 0, 0, Setting(2, 1));

// Each script runs against a stream whose request was sent with END_STREAM.
const Exchange kExchanges[] = {
    {"TwoFramesInOneRead",
     {Frame(kH2Headers, kH2FlagEndHeaders, 1, kStatus200) + Frame(kH2Data, kH2FlagEndStream, 1, "hi")},
     0, "H :status=200;E;END;", {}},
    {"FrameOverThreeReads", {Frame(kH2Headers, 5, 1, kStatus200).substr(0, 4),
                             Frame(kH2Headers, 5, 1, kStatus200).substr(4, 5),
                             Frame(kH2Headers, 5, 1, kStatus200).substr(9)},
     0, "H :status=200;E;END;", {}},
    {"SettingsAckAnswersNothing", {Frame(kH2Settings, kH2FlagAck, 0, "")}, 0, "", {}},
    {"SettingsAreAcknowledged", {Frame(kH2Settings, 0, 0, Setting(3, 10))}, 0, "", {kH2Settings}},
    {"SettingsAckWithPayload", {Frame(kH2Settings, kH2FlagAck, 0, Setting(3, 1))}, kH2FrameSizeError, "", {kH2Goaway}},
    {"PingIsEchoed", {Frame(kH2Ping, 0, 0, "12345678")}, 0, "", {kH2Ping}},
    {"ShortPing", {Frame(kH2Ping, 0, 0, "1234567")}, kH2FrameSizeError, "", {kH2Goaway}},
    {"GoawayNoErrorLetsTheStreamFinish",
     {Frame(kH2Goaway, 0, 0, U32(1) + U32(0)), Frame(kH2Headers, 5, 1, kStatus200)}, 0,
     "H :status=200;E;END;", {}},
    {"GoawayBeforeTheStreamEndsIt", {Frame(kH2Goaway, 0, 0, U32(0) + U32(0))}, 0, "END;", {}},
    {"RstStreamEndsIt", {Frame(kH2RstStream, 0, 1, U32(8))}, 0, "END;", {}},
    // Mends: connection frames are not judged by the stream's state.
    {"SettingsAfterTheResponseEnded",
     {Frame(kH2Headers, 5, 1, kStatus200), Frame(kH2Settings, 0, 0, "")}, 0, "H :status=200;E;END;", {kH2Settings}},
    {"PushPromiseIsRefused", {Frame(kH2PushPromise, 4, 1, U32(2) + kStatus200)}, kH2ProtocolError, "", {kH2Goaway}},
    {"OldStreamDataNeverReachesTheBody",
     {Frame(kH2Data, 0, 1, "")}, 0, "", {}},
    {"EvenStreamIsRefused", {Frame(kH2Data, 0, 2, "x")}, kH2ProtocolError, "", {kH2Goaway}},
    {"HeaderFragmentsAreJoined",
     {Frame(kH2Headers, kH2FlagEndStream, 1, "\x40\x03" "abc"), Frame(kH2Continuation, 0, 1, "\x03"),
      Frame(kH2Continuation, kH2FlagEndHeaders, 1, "xyz" + kStatus200)},
     0, "H abc=xyz;H :status=200;E;END;", {}},
    {"FrameInsideAHeaderBlock",
     {Frame(kH2Headers, 0, 1, kStatus200), Frame(kH2Ping, 0, 0, "12345678")}, kH2ProtocolError, "", {kH2Goaway}},
    {"StrayContinuation", {Frame(kH2Continuation, 4, 1, kStatus200)}, kH2ProtocolError, "", {kH2Goaway}},
    {"FrameLargerThanOurMaximum", {std::string("\x00\x40\x01\x00\x00\x00\x00\x00\x01", 9)}, kH2FrameSizeError, "", {kH2Goaway}},
    {"MaxFrameSizeBelowTheFloor", {Frame(kH2Settings, 0, 0, Setting(5, 100))}, kH2ProtocolError, "", {kH2Goaway}},
    {"EnablePushAboveOne", {Frame(kH2Settings, 0, 0, Setting(2, 2))}, kH2ProtocolError, "", {kH2Goaway}},
    {"ConnectionWindowOverflow", {Frame(kH2WindowUpdate, 0, 0, U32(0x7FFFFFFF))}, kH2FlowControlError, "", {kH2Goaway}},
    {"StreamWindowOverflow", {Frame(kH2WindowUpdate, 0, 1, U32(0x7FFFFFFF))}, kH2FlowControlError, "", {kH2Goaway}},
    {"WindowUpdateOfZero", {Frame(kH2WindowUpdate, 0, 0, U32(0))}, kH2ProtocolError, "", {kH2Goaway}},
    {"PaddingPastThePayload", {std::string("\x00\x00\x01\x01\x08\x00\x00\x00\x01\x05", 10)},
     kH2ProtocolError, "", {kH2Goaway}, "PROTOCOL_ERROR: Receive HeadersFrame have padLength more than dataLength"},
    {"DataPaddingPastThePayload", {Frame(kH2Headers, 4, 1, kStatus200), std::string("\x00\x00\x02\x00\x08\x00\x00\x00\x01\x05x", 11)},
     kH2ProtocolError, "H :status=200;E;", {kH2Goaway}, "PROTOCOL_ERROR: Receive Data Frame with PadLength 5 more than dataLen -4."},
    // Connection frames are refused once the server has closed the stream.
    {"SettingsAfterTheServerClosedTheStream", {kServerReset, Frame(kH2Settings, 0, 0, "")}, kH2ProtocolError,
     "END;", {kH2Goaway}, "PROTOCOL_ERROR: Receive Settings Frame with error state CLOSED."},
    {"PingAfterTheServerClosedTheStream", {kServerReset, Frame(kH2Ping, 0, 0, "12345678")}, kH2ProtocolError,
     "END;", {kH2Goaway}, "PROTOCOL_ERROR: Receive Ping Frame with error state CLOSED."},
    {"GoawayAfterTheServerClosedTheStream", {kServerReset, Frame(kH2Goaway, 0, 0, U32(1) + U32(0))},
     kH2ProtocolError, "END;", {kH2Goaway}, "PROTOCOL_ERROR: Receive GoAway Frame with error state CLOSED."},
    // With push announced by the server, the promise's own checks come first; it is still refused.
    {"PushPromiseOnStreamZero", {kPushOn, Frame(kH2PushPromise, 4, 0, U32(2) + kStatus200)}, kH2ProtocolError,
     "", {kH2Settings, kH2Goaway}, "PROTOCOL_ERROR: Receive PushPromise Frame with StreamIdentifier is 0."},
    {"PushPromiseOnAClosedStream", {kPushOn, kServerReset, Frame(kH2PushPromise, 4, 1, U32(2) + kStatus200)},
     kH2ProtocolError, "END;", {kH2Settings, kH2Goaway}, "PROTOCOL_ERROR: Receive PushPromise Frame with error state CLOSED."},
    {"PushPromiseOnTheOpenStream", {kPushOn, Frame(kH2PushPromise, 4, 1, U32(2) + kStatus200)}, kH2ProtocolError,
     "", {kH2Settings, kH2Goaway}, "PROTOCOL_ERROR: Receive PushPromise Frame, but enable accept PushPromise ia false."},
    {"RstStreamOnANeverOpenedStream", {Frame(kH2RstStream, 0, 3, U32(8))}, kH2ProtocolError, "", {kH2Goaway},
     "PROTOCOL_ERROR: Receive RstStream Frame with error state IDLE."},
    {"WindowUpdateOnANeverOpenedStream", {Frame(kH2WindowUpdate, 0, 5, U32(1))}, kH2ProtocolError, "", {kH2Goaway},
     "PROTOCOL_ERROR: Receive WindowUpdate Frame with error state IDLE."},
    {"ShortWindowUpdateOnANeverOpenedStream", {Frame(kH2WindowUpdate, 0, 5, "x")}, kH2ProtocolError, "", {kH2Goaway},
     "PROTOCOL_ERROR: Receive WindowUpdate Frame with error state IDLE."},
    {"HpackIndexZero", {Frame(kH2Headers, 5, 1, "\x80")}, kH2CompressionError, "", {kH2Goaway}},
    {"PaddedDataOnStreamZeroIsJudgedByItsStream", {std::string("\0\0\2\0\x08\0\0\0\0\x05x", 11)}, kH2ProtocolError, "",
     {kH2Goaway}, "PROTOCOL_ERROR: Receive Data Frame with StreamIdentifier is 0."},
    {"PaddedDataOnAClosedStreamIsJudgedByItsState", {Frame(kH2Headers, 5, 1, kStatus200), std::string("\0\0\2\0\x08\0\0\0\1\x05x", 11)},
     kH2ProtocolError, "H :status=200;E;END;", {kH2Goaway}, "PROTOCOL_ERROR"},
    {"WindowUpdateAndASecondResetAfterAReset", {Frame(kH2RstStream, 0, 1, U32(8)), Frame(kH2WindowUpdate, 0, 1, U32(10)),
     Frame(kH2RstStream, 0, 1, U32(8))}, 0, "END;", {}},
    {"EachSizeUpdateIsLoggedAsRead", {Frame(kH2Headers, 5, 1, "\x20\x3f\xe1\x1f\x80")}, kH2CompressionError, "", {kH2Goaway}, nullptr,
     "HTTP/2 Headers frame received. SETTINGS_HEADER_TABLE_SIZE : 0.;HTTP/2 Headers frame received. SETTINGS_HEADER_TABLE_SIZE : 4096.;"},
    {"PaddedDataIsStripped",
     {Frame(kH2Headers, 4, 1, kStatus200), Frame(kH2Data, kH2FlagEndStream, 1, "body", 3)}, 0,
     "H :status=200;E;END;", {}},
};

class Http2ExchangeTest : public ::testing::TestWithParam<Exchange> {};

TEST_P(Http2ExchangeTest, FollowsTheScript) {
  const Exchange& e = GetParam();
  Fixture f(e.name != std::string("OldStreamDataNeverReachesTheBody"));
  if (e.name == std::string("OldStreamDataNeverReachesTheBody")) {
    // Stream 1 ends; stream 3 is the request now, and stream 1's late data is dropped.
    f.Feed(Frame(kH2Headers, 5, 1, kStatus200));
    StringList h;
    h.AddText(":method");
    h.AddText("GET");
    ASSERT_EQ(f.c.SendHeaders(h, true, ""), 0);
    f.peer.Frames();
    f.peer.events.clear();
  }
  int rc = 0;
  for (const std::string& bytes : e.input) rc = f.Feed(bytes);
  EXPECT_EQ(rc, e.rc) << f.c.error_text().c_str();
  if (e.text != nullptr) {
    EXPECT_STREQ(f.c.error_text().c_str(), e.text);
  }
  EXPECT_EQ(f.peer.events, e.events);
  EXPECT_TRUE(e.logs == nullptr || f.peer.logs == e.logs) << f.peer.logs;
  std::vector<int> types;
  for (const Sent& s : f.peer.Frames()) types.push_back(s.type);
  EXPECT_EQ(types, e.answers);
  if (std::string(e.name) == "PaddedDataIsStripped") {
    EXPECT_EQ(f.peer.body, "body");
  }
  if (std::string(e.name) == "GoawayBeforeTheStreamEndsIt") {
    EXPECT_EQ(f.c.stream_error(), kErrHttp2StreamReset);
  }
  if (std::string(e.name) == "RstStreamEndsIt") {
    EXPECT_STREQ(f.c.stream_error_text().c_str(),
                 "HTTP/2 Protocol Error: Stream reset. The stream was no longer needed. Error code 0x8 (CANCEL).");
  }
  if (e.rc != 0 || std::string(e.name).rfind("Goaway", 0) == 0) {
    EXPECT_TRUE(f.c.retired());
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, Http2ExchangeTest, ::testing::ValuesIn(kExchanges),
                         [](const auto& info) { return std::string(info.param.name); });

// A send the stream's state does not allow fails with its text and sends nothing.
TEST(Http2ConnectionTest, SendsRefusedByTheStreamState) {
  Fixture f;
  StringList odd;
  odd.AddText(":method");
  odd.AddText("GET");
  odd.AddText(":path");
  EXPECT_EQ(f.c.SendHeaders(odd, true, ""), kH2ProtocolError);
  EXPECT_STREQ(f.c.error_text().c_str(), "PROTOCOL_ERROR: Send Headers Frame headersSize is 3.");
  odd.AddText("/");
  EXPECT_EQ(f.c.SendHeaders(odd, true, ""), kH2ProtocolError);  // the first response is still due
  EXPECT_STREQ(f.c.error_text().c_str(), "PROTOCOL_ERROR: Send Headers Frame with error state HALFCLOSED_LOCAL.");
  EXPECT_EQ(f.c.SendData("x", 1, true), kH2ProtocolError);
  EXPECT_STREQ(f.c.error_text().c_str(), "PROTOCOL_ERROR: Send Data Frame with error state HALFCLOSED_LOCAL.");
  EXPECT_TRUE(f.peer.Frames().empty());
  EXPECT_FALSE(f.c.retired());
  // Once the response has ended the stream is closed to resets and grants.
  f.Feed(Frame(kH2Headers, 5, 1, kStatus200));
  EXPECT_EQ(f.c.SendRstStream(8), kH2ProtocolError);
  EXPECT_STREQ(f.c.error_text().c_str(), "PROTOCOL_ERROR: Send RstStream Frame with error state CLOSED.");
  EXPECT_EQ(f.c.SendWindowUpdate(1, 100), kH2ProtocolError);
  EXPECT_STREQ(f.c.error_text().c_str(), "PROTOCOL_ERROR: Send WindowUpdate Frame with error state CLOSED.");
  EXPECT_TRUE(f.peer.Frames().empty());
  // The next request opens stream 3.
  EXPECT_EQ(f.c.SendHeaders(odd, true, ""), 0);
  EXPECT_EQ(f.c.stream_id(), 3u);
}

TEST(Http2ConnectionTest, ReceiveWindowIsToppedUpAtHalf) {
  Fixture f;
  f.Feed(Frame(kH2Headers, 4, 1, kStatus200));
  const std::string piece(16384, 'x');
  f.Feed(Frame(kH2Data, 0, 1, piece));
  EXPECT_TRUE(f.peer.Frames().empty());
  f.Feed(Frame(kH2Data, 0, 1, piece));
  auto frames = f.peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].id, 1u);
  EXPECT_EQ(frames[0].payload, U32(32768));
  // Data past the window is a flow-control error.
  FakePeer peer;
  Http2Connection c(&peer);
  c.set_local_window(1000);
  c.Reset();
  ASSERT_EQ(c.SendPreface(), 0);
  StringList h;
  h.AddText(":method");
  h.AddText("GET");
  ASSERT_EQ(c.SendHeaders(h, true, ""), 0);
  const std::string head = Frame(kH2Headers, 4, 1, kStatus200);
  ASSERT_EQ(c.Receive(head.data(), static_cast<int>(head.size())), 0);
  const std::string big = Frame(kH2Data, 0, 1, std::string(1001, 'x'));
  EXPECT_EQ(c.Receive(big.data(), static_cast<int>(big.size())), kH2FlowControlError);
}

// Sending stays within both windows, sends what fits, and a changed INITIAL_WINDOW_SIZE applies
// to the open stream.
TEST(Http2ConnectionTest, SendingFitsBothWindows) {
  Fixture f(false);
  f.Feed(Frame(kH2Settings, 0, 0, Setting(4, 100)));
  f.peer.Frames();
  EXPECT_EQ(f.c.stream_send_window(), 100);
  f.peer.on_wait = [&] { f.Feed(Frame(kH2WindowUpdate, 0, 1, U32(250))); };
  const std::string body(300, 'b');
  ASSERT_EQ(f.c.SendData(body.data(), 300, true), 0);
  auto frames = f.peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload.size(), 100u);
  EXPECT_EQ(frames[1].payload.size(), 200u);
  EXPECT_EQ(frames[1].flags, kH2FlagEndStream);
  EXPECT_EQ(f.c.stream_send_window(), 50);
  EXPECT_EQ(f.c.connection_send_window(), 65535 - 300);
  // With the window shut and nothing arriving, the wait's failure comes back.
  Fixture g(false);
  g.Feed(Frame(kH2Settings, 0, 0, Setting(4, 0)));
  EXPECT_EQ(g.c.SendData("x", 1, true), 1);
}

}  // namespace
}  // namespace tw
