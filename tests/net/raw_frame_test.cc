#include "net/raw_frame.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "net/library_startup.h"
#include "net/udp_port.h"
#include "tests/net/packet_capture.h"
#include "tests/support/test_support.h"

namespace {

constexpr char kOnLink[] = "10.77.1.2";
constexpr char kOffLink[] = "10.78.0.5";
constexpr char kNeighbourMac[] = "020000000002";
constexpr char kGatewayMac[] = "0200000000fe";

std::string MacHex(const std::string& frame, size_t at) {
  return testsupport::Hex(frame.data() + at, 6);
}

int Port(const std::string& frame, size_t at) {
  return static_cast<uint8_t>(frame[at]) << 8 | static_cast<uint8_t>(frame[at + 1]);
}

class UdpSender : public tw::UdpPort {
 public:
  int Set(const std::string& text) {
    const char* answer = "";
    return ConfigText(text.c_str(), &answer);
  }
  std::string Setting(const char* name) {
    const char* answer = "";
    return ConfigText(name, &answer) == 0 ? answer : "<error>";
  }
};

// One network namespace with a veth pair: "va" carries 10.77.1.1/24 and a default route through
// 10.77.1.254; the neighbour and the gateway have fixed MACs, so each frame shows which next hop
// was taken. The frames are captured on the other end, "vb".
class RawFrameNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    tw::LibraryStartup();
    if (!testsupport::HaveProgram("tcpdump") || !testsupport::HaveProgram("ip") ||
        geteuid() != 0) {
      if (testsupport::UnderCi()) FAIL() << "root, ip and tcpdump are needed";
      GTEST_SKIP() << "root, ip and tcpdump are needed";
    }
    ns_ = "twraw" + std::to_string(getpid());
    const std::string n = " -n " + ns_ + " ";
    const char* steps[] = {"link add va type veth peer name vb", "link set lo up",
                           "link set va up", "link set vb up",
                           "addr add 10.77.1.1/24 dev va",
                           "route add default via 10.77.1.254 dev va",
                           "neigh replace 10.77.1.254 lladdr 02:00:00:00:00:fe dev va nud permanent",
                           "neigh replace 10.77.1.2 lladdr 02:00:00:00:00:02 dev va nud permanent"};
    int status = 0;
    testsupport::RunCommand("ip netns add " + ns_ + " 2>&1", "", &status);
    ASSERT_EQ(0, status) << "ip netns add " << ns_;
    created_ = true;
    for (const char* step : steps) {
      const std::string out = testsupport::RunCommand("ip" + n + step + " 2>&1", "", &status);
      ASSERT_EQ(0, status) << step << ": " << out;
    }
    const std::string link = testsupport::RunCommand("ip" + n + "-br link show va");
    const size_t colon = link.find(':', link.find(' '));
    ASSERT_NE(std::string::npos, colon) << link;
    const std::string mac = link.substr(colon - 2, 17);
    for (char c : mac) {
      if (c != ':') own_mac_ += c;
    }
    ASSERT_EQ(12u, own_mac_.size()) << link;
    tw::ResetRawFrameState();
  }

  void TearDown() override {
    tw::ResetRawFrameState();
    if (created_) testsupport::RunCommand("ip netns del " + ns_ + " 2>&1");
  }

  // Runs f on a thread that entered the namespace (the socket calls, the adapter list and the
  // route table all follow the thread's namespace).
  template <class F>
  void InNamespace(F f) {
    std::thread t([&] {
      const int fd = ::open(("/var/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
        if (fd >= 0) ::close(fd);
        return;
      }
      ::close(fd);
      f();
    });
    t.join();
  }

  std::string ns_;
  std::string own_mac_;
  bool created_ = false;
};

struct FrameCase {
  const char* name;
  const char* destination;
  int port;  // tells the frames apart
  int size;
  const char* source_mac;  // SourceMACAddress, "" for none
  const char* source_ip;   // SourceIPAddress, "" for none
  int expect_rc;
  const char* expect_destination_mac;  // null: the sender's own MAC
  const char* expect_source_mac;       // null: the sender's own MAC
};

constexpr FrameCase kFrameCases[] = {
    {"on_link_full_size", kOnLink, 6001, 1472, "0200000000aa", "", 0, kNeighbourMac, "0200000000aa"},
    {"off_link_via_gateway", kOffLink, 6002, 20, "0200000000aa", "10.77.1.1", 0, kGatewayMac,
     "0200000000aa"},
    {"adapter_mac_for_short_text", kOnLink, 6003, 10, "1", "", 0, kNeighbourMac, nullptr},
    {"too_long", kOnLink, 6004, 1473, "0200000000aa", "", 118, nullptr, nullptr},
    // Not an address of this host: packet information cannot carry it, the raw frame does.
    {"fallback_for_foreign_source", kOnLink, 6005, 30, "", "10.77.1.99", 0, kNeighbourMac,
     nullptr},
};

TEST_F(RawFrameNamespace, FramesTakeTheRightNextHop) {
  nettest::PacketCapture capture;
  ASSERT_TRUE(capture.Start(ns_, "vb", "udp")) << capture.log_tail();
  std::vector<int> results;
  std::vector<std::string> texts;
  std::vector<std::string> mac_after;
  std::vector<int> local_ports;
  InNamespace([&] {
    for (const FrameCase& c : kFrameCases) {
      UdpSender port;
      port.SetRemoteHost(c.destination);
      port.SetRemotePort(c.port);
      port.Set(std::string("SourceMACAddress=") + c.source_mac);
      port.Set(std::string("SourceIPAddress=") + c.source_ip);
      int rc = port.Activate(true);
      int local = 0;
      port.GetLocalPort(&local);
      const std::string payload = testsupport::RandomBytes(static_cast<size_t>(c.size), c.port);
      if (rc == 0) rc = port.Send(payload.data(), c.size);
      results.push_back(rc);
      texts.push_back(port.error_text().c_str());
      mac_after.push_back(port.Setting("SourceMACAddress"));
      local_ports.push_back(local);
      port.Activate(false);
    }
  });
  ASSERT_EQ(std::size(kFrameCases), results.size()) << "could not enter " << ns_;
  const std::vector<std::string> frames = capture.Frames();
  const std::string verbose = capture.Verbose();
  EXPECT_EQ(std::string::npos, verbose.find("bad")) << verbose;

  for (size_t i = 0; i < std::size(kFrameCases); ++i) {
    const FrameCase& c = kFrameCases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expect_rc, results[i]) << texts[i];
    EXPECT_EQ(c.source_mac, mac_after[i]);  // a fallback never changes the setting
    const std::string* frame = nullptr;
    for (const std::string& f : frames) {
      if (f.size() >= 42 && Port(f, 36) == c.port) frame = &f;
    }
    if (c.expect_rc != 0) {
      EXPECT_EQ("The sending data is too long, the max lenght is 1472.", texts[i]);
      EXPECT_EQ(nullptr, frame);
      continue;
    }
    ASSERT_NE(nullptr, frame) << verbose;
    EXPECT_EQ(static_cast<size_t>(c.size + 42), frame->size());
    EXPECT_EQ(c.expect_destination_mac ? c.expect_destination_mac : own_mac_, MacHex(*frame, 0));
    EXPECT_EQ(c.expect_source_mac ? c.expect_source_mac : own_mac_, MacHex(*frame, 6));
    EXPECT_EQ("0800", testsupport::Hex(frame->data() + 12, 2));
    EXPECT_EQ(local_ports[i], Port(*frame, 34));
    char source[16];
    std::snprintf(source, sizeof source, "%u.%u.%u.%u", static_cast<uint8_t>((*frame)[26]),
                  static_cast<uint8_t>((*frame)[27]), static_cast<uint8_t>((*frame)[28]),
                  static_cast<uint8_t>((*frame)[29]));
    EXPECT_EQ(*c.source_ip ? c.source_ip : "0.0.0.0", std::string(source));
  }
  EXPECT_NE(std::string::npos, verbose.find("udp sum ok")) << verbose;
}

TEST(RawFrame, MissingCaptureLibraryIsReported) {
  tw::LibraryStartup();
  tw::ResetRawFrameState();
  win::SetLibraryEnabled("wpcap.dll", false);
  tw::ByteString text;
  const int rc = tw::SendRawUdpFrame("", 0, 0x0100007F, 1, 2, "x", 1, &text);
  win::SetLibraryEnabled("wpcap.dll", true);
  EXPECT_EQ(118, rc);
  EXPECT_STREQ("Failed to load library 'wpcap.dll'.", text.c_str());
  EXPECT_STREQ("Failed to load library 'wpcap.dll'.", tw::RawFrameLastError());
  tw::ResetRawFrameState();
}

TEST(RawFrame, MacTexts) {
  const std::pair<const char*, bool> table[] = {
      {"0200000000aA", true}, {"1", false}, {"", false}, {"02000000000g", false},
      {"0200000000aa0", false}};
  for (const auto& [text, ok] : table) {
    uint8_t mac[6];
    EXPECT_EQ(ok, tw::ParseMacText(text, mac)) << text;
  }
}

}  // namespace
