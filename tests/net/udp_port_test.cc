#include "net/udp_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/library_startup.h"
#include "net/name_resolution.h"
#include "platform/qwave.h"
#include "platform/time.h"
#include "platform/winsock.h"
#include "tests/net/packet_capture.h"
#include "tests/support/test_support.h"

namespace {

struct Datagram {
  std::string bytes;
  std::string source;
  int port;
};

class TestPort : public tw::UdpPort {
 public:
  int FireDataIn(const void* bytes, int n, const char* source, int port) override {
    received.push_back({std::string(static_cast<const char*>(bytes), n), source, port});
    if (on_data) on_data(received.back());
    return 0;
  }
  int FireError(int code, const char* text) override {
    errors.push_back(code);
    return 0;
  }
  std::string Setting(const char* text) {
    const char* answer = "";
    return ConfigText(text, &answer) == 0 ? answer : "<error>";
  }
  int Set(const std::string& text) {
    const char* answer = "";
    return ConfigText(text.c_str(), &answer);
  }
  int BoundPort() {
    int port = 0;
    GetLocalPort(&port);
    return port;
  }
  // Wait steps until `done` or five seconds.
  bool PumpUntil(const std::function<bool()>& done) {
    const uint64_t end = win::GetTickCount64() + 5000;
    while (!done() && win::GetTickCount64() < end) WaitOnce();
    return done();
  }
  std::vector<Datagram> received;
  std::vector<int> errors;
  std::function<void(const Datagram&)> on_data;
};

class UdpPortTest : public ::testing::Test {
 protected:
  void SetUp() override { tw::LibraryStartup(); }
};

// Receiver on 127.0.0.1 that echoes each datagram to its source; the sender hears the echo.
struct EchoCase {
  const char* name;
  bool packet_info;
  bool use_connection;
  const char* source_ip;  // the sender's SourceIPAddress, "" for none
  const char* expect_source;
  bool ipv6 = false;
};

class UdpEcho : public UdpPortTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(UdpEcho, EchoesWithSourceAddress) {
  const EchoCase& c = GetParam();
  const char* host = c.ipv6 ? "::1" : "127.0.0.1";
  TestPort echo;
  if (c.ipv6) {
    ASSERT_EQ(0, echo.Set("UseIPv6=true"));
  }
  ASSERT_EQ(0, echo.SetLocalHost(host));
  if (c.packet_info) {
    ASSERT_EQ(0, echo.Set("CaptureIPPacketInfo=true"));
  }
  ASSERT_EQ(0, echo.Activate(true)) << echo.error_text().c_str();
  echo.on_data = [&echo](const Datagram& d) {
    echo.SetRemoteHost(d.source.c_str());
    echo.SetRemotePort(d.port);
    echo.Send(d.bytes.data(), static_cast<int>(d.bytes.size()));
  };

  TestPort sender;
  if (c.ipv6) {
    ASSERT_EQ(0, sender.Set("UseIPv6=true"));
  }
  ASSERT_EQ(0, sender.SetRemoteHost(host));
  ASSERT_EQ(0, sender.SetRemotePort(echo.BoundPort()));
  if (c.use_connection) {
    ASSERT_EQ(0, sender.SetUseConnection(true));
  }
  if (*c.source_ip) {
    ASSERT_EQ(0, sender.Set(std::string("SourceIPAddress=") + c.source_ip));
  }
  ASSERT_EQ(0, sender.Activate(true)) << sender.error_text().c_str();
  const std::string payload = "ping over UDP";
  ASSERT_EQ(0, sender.Send(payload.data(), static_cast<int>(payload.size())))
      << sender.error_text().c_str();

  ASSERT_TRUE(echo.PumpUntil([&] { return !echo.received.empty(); }));
  EXPECT_EQ(payload, echo.received[0].bytes);
  EXPECT_EQ(c.expect_source, echo.received[0].source);
  EXPECT_EQ(sender.BoundPort(), echo.received[0].port);
  if (c.packet_info) {
    EXPECT_EQ(host, echo.Setting("DestinationAddress"));
  }
  if (*c.source_ip == 0) {
    ASSERT_TRUE(sender.PumpUntil([&] { return !sender.received.empty(); }));
    EXPECT_EQ(payload, sender.received[0].bytes);
    EXPECT_EQ(host, sender.received[0].source);
  }
  // The source was chosen per datagram: the raw-frame setting is untouched.
  EXPECT_EQ("", sender.Setting("SourceMACAddress"));
  EXPECT_EQ(0, sender.Activate(false));
  EXPECT_EQ(0, echo.Activate(false));
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, UdpEcho,
    ::testing::Values(EchoCase{"plain", false, false, "", "127.0.0.1"},
                      EchoCase{"packet_info", true, false, "", "127.0.0.1"},
                      EchoCase{"connected", true, true, "", "127.0.0.1"},
                      // 127.0.0.2 is local too: the packet information picks it as source.
                      EchoCase{"chosen_source", true, false, "127.0.0.2", "127.0.0.2"},
                      EchoCase{"ipv6_packet_info", true, false, "", "::1", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Refusals, each with its code and text.
struct RefusalCase {
  const char* name;
  std::function<int(TestPort&)> act;
  int code;
  const char* text;
};

class UdpRefusal : public UdpPortTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UdpRefusal, GivesCodeAndText) {
  const RefusalCase& c = GetParam();
  TestPort port;
  ASSERT_EQ(0, port.SetLocalHost("127.0.0.1"));
  EXPECT_EQ(c.code, c.act(port));
  EXPECT_STREQ(c.text, port.error_text().c_str());
}

int ActiveThen(TestPort& p, const std::function<int(TestPort&)>& f) {
  p.SetRemoteHost("127.0.0.1");
  p.SetRemotePort(9);
  const int rc = p.Activate(true);
  return rc != 0 ? -rc : f(p);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UdpRefusal,
    ::testing::Values(
        RefusalCase{"send_inactive", [](TestPort& p) { return p.Send("x", 1); }, 109,
                    "The control must be Active for this operation."},
        RefusalCase{"twice",
                    [](TestPort& p) { return ActiveThen(p, [](TestPort& q) { return q.Activate(true); }); },
                    104, "UDPPort is already Active."},
        RefusalCase{"local_port",
                    [](TestPort& p) { return ActiveThen(p, [](TestPort& q) { return q.SetLocalPort(5); }); },
                    106, "You cannot change the LocalPort while the control is Active."},
        RefusalCase{"local_host",
                    [](TestPort& p) {
                      return ActiveThen(p, [](TestPort& q) { return q.SetLocalHost("127.0.0.1"); });
                    },
                    107, "Cannot change LocalHost while the control is Active."},
        RefusalCase{"max_packet",
                    [](TestPort& p) { return ActiveThen(p, [](TestPort& q) { return q.SetMaxPacketSize(5); }); },
                    112, "Cannot change the MaxPacketSize while control is Active."},
        RefusalCase{"remote_host_connected",
                    [](TestPort& p) {
                      p.SetUseConnection(true);
                      return ActiveThen(p, [](TestPort& q) { return q.SetRemoteHost("127.0.0.2"); });
                    },
                    114, "Cannot change RemoteHost when UseConnection is set and the control is Active."},
        RefusalCase{"remote_port_connected",
                    [](TestPort& p) {
                      p.SetUseConnection(true);
                      return ActiveThen(p, [](TestPort& q) { return q.SetRemotePort(10); });
                    },
                    115, "Cannot change RemotePort when UseConnection is set and the control is Active."},
        RefusalCase{"connection_without_port",
                    [](TestPort& p) {
                      p.SetUseConnection(true);
                      return p.Activate(true);
                    },
                    116,
                    "RemotePort can't be zero when UseConnection is set. Please specify a valid "
                    "service port number."},
        RefusalCase{"send_without_port",
                    [](TestPort& p) {
                      p.Activate(true);
                      return p.Send("x", 1);
                    },
                    116, "RemotePort can't be zero. Please specify a valid service port number."},
        RefusalCase{"raw_frame_without_destination",
                    [](TestPort& p) {
                      p.Set("SourceMACAddress=020000000001");
                      p.SetRemotePort(9);
                      p.Activate(true);
                      return p.Send("x", 1);
                    },
                    118, "Raw frames need an IPv4 RemoteHost."},
        RefusalCase{"use_connection",
                    [](TestPort& p) { return ActiveThen(p, [](TestPort& q) { return q.SetUseConnection(true); }); },
                    117, "Cannot change UseConnection option while the control is Active."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdpPortTest, LongDatagramIsCutAndCloseFromDataInWaitsForTheEvent) {
  TestPort receiver;
  receiver.SetLocalHost("127.0.0.1");
  ASSERT_EQ(0, receiver.SetMaxPacketSize(16));
  ASSERT_EQ(0, receiver.Activate(true));
  bool closed_inside = true;
  receiver.on_data = [&](const Datagram&) {
    receiver.Activate(false);
    closed_inside = !receiver.active();
  };
  TestPort sender;
  sender.SetRemoteHost("127.0.0.1");
  sender.SetRemotePort(receiver.BoundPort());
  ASSERT_EQ(0, sender.Activate(true));
  const std::string big(100, 'b');
  ASSERT_EQ(0, sender.Send(big.data(), 100));
  ASSERT_EQ(0, sender.Send(big.data(), 100));
  ASSERT_TRUE(receiver.PumpUntil([&] { return !receiver.active(); }));
  ASSERT_EQ(1u, receiver.received.size());  // the second stays unread: the port closed
  EXPECT_EQ(std::string(16, 'b'), receiver.received[0].bytes);
  EXPECT_FALSE(closed_inside);
}

// Traffic classes: the socket's IP_TOS after activation.
struct QosCase {
  const char* name;
  const char* traffic_type;
  int dscp;
  int qos_flags;
  bool connected;
  int expect_tos;
};

class UdpQos : public UdpPortTest, public ::testing::WithParamInterface<QosCase> {};

TEST_P(UdpQos, SocketCarriesTheClass) {
  const QosCase& c = GetParam();
  TestPort port;
  port.SetRemoteHost("127.0.0.1");
  port.SetRemotePort(9);
  port.SetUseConnection(c.connected);
  ASSERT_EQ(0, port.Set(std::string("QOSTrafficType=") + c.traffic_type));
  ASSERT_EQ(0, port.Set("QOSDSCPValue=" + std::to_string(c.dscp)));
  ASSERT_EQ(0, port.Set("QOSFlags=" + std::to_string(c.qos_flags)));
  ASSERT_EQ(0, port.Activate(true)) << port.error_text().c_str();
  int tos = -1;
  int len = sizeof tos;
  ASSERT_EQ(0, win::getsockopt(port.socket_handle(), win::IPPROTO_IP, win::IP_TOS,
                               reinterpret_cast<char*>(&tos), &len));
  EXPECT_EQ(c.expect_tos, tos);
  EXPECT_EQ(std::to_string(c.expect_tos), port.Setting("QOSFlags"));
  EXPECT_EQ(0, port.Activate(false));
}

INSTANTIATE_TEST_SUITE_P(
    Classes, UdpQos,
    ::testing::Values(QosCase{"flags_only", "0", 0, 0x28, false, 0x28},
                      QosCase{"voice_lower_case", "voice", 0, 0, true, 56 << 2},
                      QosCase{"voice_with_dscp", "Voice", 46, 0, true, 46 << 2},
                      QosCase{"background", "BACKGROUND", 0, 0, true, 8 << 2},
                      QosCase{"unconnected_no_flow", "Voice", 46, 0, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdpPortTest, TrafficTypeNamesAndNumbers) {
  TestPort port;
  const std::pair<const char*, const char*> table[] = {
      {"voice", "4"}, {"Control", "5"}, {"7", "7"}, {"AudioVideo", "3"}, {"bestEFFORT", "0"}};
  for (const auto& [text, number] : table) {
    ASSERT_EQ(0, port.Set(std::string("QOSTrafficType=") + text));
    EXPECT_EQ(number, port.Setting("QOSTrafficType")) << text;
  }
}

TEST_F(UdpPortTest, MissingQosLibraryFailsActivation) {
  win::SetLibraryEnabled("qwave.dll", false);
  tw::ReleaseOptionalLibraries();
  tw::BindQwaveEntries();
  TestPort port;
  port.SetRemoteHost("127.0.0.1");
  port.SetRemotePort(9);
  port.SetUseConnection(true);
  TestPort untouched;  // both values 0: the missing library is never asked for
  untouched.SetRemoteHost("127.0.0.1");
  untouched.SetRemotePort(9);
  untouched.SetUseConnection(true);
  ASSERT_EQ(0, port.Set("QOSTrafficType=Voice"));
  const int rc = port.Activate(true);
  const int untouched_rc = untouched.Activate(true);
  win::SetLibraryEnabled("qwave.dll", true);
  tw::ReleaseOptionalLibraries();
  tw::BindQwaveEntries();
  EXPECT_EQ(307, rc);
  EXPECT_EQ(0, std::string(port.error_text().c_str())
                   .rfind("Could not initialize the QOS/QWave subsystem (error ", 0));
  EXPECT_FALSE(port.active());
  EXPECT_EQ(0, untouched_rc);
}

// A QoS library that notes whether the socket still existed when it left its flow.
int g_removed_live = -1;
win::BOOL FakeRemove(win::HANDLE h, win::SOCKET s, uint32_t flow, win::DWORD flags) {
  int type = 0;
  int len = sizeof type;
  g_removed_live = win::getsockopt(s, win::SOL_SOCKET, win::SO_TYPE,
                                   reinterpret_cast<char*>(&type), &len) == 0;
  return win::QOSRemoveSocketFromFlow(h, s, flow, flags);
}

TEST_F(UdpPortTest, FlowLetsGoBeforeTheSocketCloses) {
  static const win::ProcEntry fake[] = {
      {"QOSCreateHandle", reinterpret_cast<win::FARPROC>(&win::QOSCreateHandle)},
      {"QOSCloseHandle", reinterpret_cast<win::FARPROC>(&win::QOSCloseHandle)},
      {"QOSAddSocketToFlow", reinterpret_cast<win::FARPROC>(&win::QOSAddSocketToFlow)},
      {"QOSRemoveSocketFromFlow", reinterpret_cast<win::FARPROC>(&FakeRemove)},
      {"QOSSetFlow", reinterpret_cast<win::FARPROC>(&win::QOSSetFlow)},
  };
  win::RegisterStandIn("qwave.dll", fake);
  tw::ReleaseOptionalLibraries();
  tw::BindQwaveEntries();
  {
    TestPort port;
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(9);
    port.SetUseConnection(true);
    port.Set("QOSTrafficType=Voice");
    EXPECT_EQ(0, port.Activate(true));
    EXPECT_EQ(0, port.Activate(false));
  }
  win::RegisterStandIn("qwave.dll", win::QwaveExports());
  tw::ReleaseOptionalLibraries();
  tw::BindQwaveEntries();
  EXPECT_EQ(1, g_removed_live);
}

TEST_F(UdpPortTest, DscpSeenInCapture) {
  if (!testsupport::HaveProgram("tcpdump")) {
    if (testsupport::UnderCi()) FAIL() << "tcpdump is missing";
    GTEST_SKIP() << "tcpdump is missing";
  }
  TestPort receiver;
  receiver.SetLocalHost("127.0.0.1");
  ASSERT_EQ(0, receiver.Activate(true));
  const int port = receiver.BoundPort();
  nettest::PacketCapture capture;
  ASSERT_TRUE(capture.Start("", "lo", "udp port " + std::to_string(port))) << capture.log_tail();
  TestPort sender;
  sender.SetRemoteHost("127.0.0.1");
  sender.SetRemotePort(port);
  sender.SetUseConnection(true);
  sender.Set("QOSTrafficType=AudioVideo");
  sender.Set("QOSDSCPValue=46");
  ASSERT_EQ(0, sender.Activate(true)) << sender.error_text().c_str();
  ASSERT_EQ(0, sender.Send("marked", 6));
  ASSERT_TRUE(receiver.PumpUntil([&] { return !receiver.received.empty(); }));
  const std::vector<std::string> frames = capture.Frames();
  ASSERT_FALSE(frames.empty()) << capture.log_tail();
  // Ethernet header on lo, then IPv4: the TOS byte carries DSCP 46 (EF).
  ASSERT_GE(frames[0].size(), 16u);
  EXPECT_EQ(0xB8, static_cast<uint8_t>(frames[0][15]));
}

}  // namespace

namespace {

// Settings that become socket options at activation, read back from the socket.
struct OptionCase {
  const char* name;
  const char* setting;
  int level;
  int option;
  int expect;
};

class UdpOptions : public UdpPortTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(UdpOptions, ReachTheSocket) {
  const OptionCase& c = GetParam();
  TestPort port;
  port.SetRemoteHost("255.255.255.255");
  EXPECT_STREQ("255.255.255.255", port.GetRemoteHost());
  if (*c.setting) {
    ASSERT_EQ(0, port.Set(c.setting));
  }
  ASSERT_EQ(0, port.Activate(true)) << port.error_text().c_str();
  int value = -1;
  int len = sizeof value;
  ASSERT_EQ(0, win::getsockopt(port.socket_handle(), c.level, c.option,
                               reinterpret_cast<char*>(&value), &len));
  EXPECT_EQ(c.expect, value);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UdpOptions,
    ::testing::Values(
        // Every IPv4 port may broadcast.
        OptionCase{"broadcast", "", win::SOL_SOCKET, win::SO_BROADCAST, 1},
        OptionCase{"ttl", "TimeToLive=7", win::IPPROTO_IP, win::IP_TTL, 7},
        OptionCase{"ttl_alias", "TTL=33", win::IPPROTO_IP, win::IP_TTL, 33},
        OptionCase{"dont_fragment", "DontFragment=true", win::IPPROTO_IP, win::IP_DONTFRAGMENT, 1},
        OptionCase{"share_port", "ShareLocalPort=true", win::SOL_SOCKET, win::SO_REUSEADDR, 1},
        OptionCase{"tos", "QOSFlags=16", win::IPPROTO_IP, win::IP_TOS, 16}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdpPortTest, RefusedTtlIsReadBackAndPacketInfoIsLogged) {
  TestPort port;
  const std::string dir = testsupport::MakeTempDir();
  ASSERT_EQ(0, port.Set("LogDebugFile=" + dir + "/debug.log"));
  ASSERT_EQ(0, port.Set("CaptureIPPacketInfo=true"));
  ASSERT_EQ(0, port.Activate(true));
  EXPECT_NE(std::string::npos, testsupport::ReadFile(dir + "/debug.log")
                                   .find("ret_setsockopt_CaptureIPPacketInfo=0"));
  EXPECT_NE(0, port.Set("TimeToLive=300"));
  EXPECT_EQ("64", port.Setting("TimeToLive"));
  EXPECT_EQ(std::to_string(static_cast<long long>(port.socket_handle())),
            port.Setting("SocketHandle"));
  EXPECT_EQ("", port.Setting("DestinationAddress"));
}

TEST_F(UdpPortTest, PumpedWaitReadsWithoutWindowMessages) {
  TestPort receiver;
  receiver.SetLocalHost("127.0.0.1");
  ASSERT_EQ(0, receiver.Set("UseWindowsMessages=false"));
  ASSERT_EQ(0, receiver.Set("PumpDataInDoEvents=true"));
  ASSERT_EQ(0, receiver.Activate(true));
  TestPort sender;
  sender.SetRemoteHost("127.0.0.1");
  sender.SetRemotePort(receiver.BoundPort());
  ASSERT_EQ(0, sender.Activate(true));
  ASSERT_EQ(0, sender.Send("one", 3));
  ASSERT_EQ(0, sender.Send("two", 3));
  ASSERT_TRUE(receiver.PumpUntil([&] { return receiver.received.size() == 2; }));
  EXPECT_EQ("one", receiver.received[0].bytes);
  EXPECT_EQ("two", receiver.received[1].bytes);
  EXPECT_TRUE(receiver.errors.empty());
}

}  // namespace
