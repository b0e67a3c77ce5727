#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tls/tls_test_support.h"
#include "tls/handshake_dispatcher.h"

namespace {

using namespace tlstest;

// Notes what it is handed; for NewSessionTicket it reads one byte less than the body.
class Handler : public tw::TlsHandshakeHandler {
 public:
  std::string log;
  std::vector<std::pair<int, std::string>> faults;
  int OnHandshakeMessage(uint8_t type, const uint8_t* body, size_t length, size_t* consumed) override {
    log += "<" + std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(body), length) + ">";
    if (type == tw::kHsNewSessionTicket && length > 0) *consumed = length - 1;
    return 0;
  }
  int AfterHandshakeMessage(uint8_t type) override {
    log += "after" + std::to_string(type);
    return 0;
  }
  void OnUnknownHandshakeMessage(uint8_t type) override { log += "?" + std::to_string(type); }
  int OnHandshakeFault(int alert, const char* text) override {
    faults.emplace_back(alert, text);
    return 276;
  }
};

std::string Msg(uint8_t type, const std::string& body) {
  return std::string(1, static_cast<char>(type)) + char(body.size() >> 16) + char(body.size() >> 8) +
         char(body.size()) + body;
}

struct Case {
  const char* name;
  std::vector<std::string> records;  // contents of successive handshake records
  int rc;
  std::string log;
  std::string transcript;
  int alert;
};

const std::string kHello = Msg(2, "hello");
const std::string kDone = Msg(14, "");
const std::string kFin = Msg(20, "0123456789ab");

const Case kCases[] = {
    {"two in one record", {kHello + kDone}, 0, "<2:hello><14:>", kHello + kDone, 0},
    {"one over three records", {kHello.substr(0, 2), kHello.substr(2, 4), kHello.substr(6)}, 0, "<2:hello>", kHello, 0},
    {"header split over records", {kHello.substr(0, 1), kHello.substr(1) + kDone}, 0, "<2:hello><14:>", kHello + kDone, 0},
    {"finished enters after its handler", {kFin}, 0, "<20:0123456789ab>after20", kFin, 0},
    {"hello request stays out", {Msg(0, "") + kDone}, 0, "<0:><14:>", kDone, 0},
    {"client hello clears the transcript", {kHello, Msg(1, "ch")}, 0, "<2:hello><1:ch>", Msg(1, "ch"), 0},
    {"unknown type skipped", {Msg(99, "zz") + kDone}, 0, "?99<14:>", kDone, 0},
    {"ticket with a byte left over", {Msg(4, "ticket")}, -1, "<4:ticket>", "", 50},
    {"16 MB message", {std::string("\x0b\xff\xff\xff", 4)}, 276, "", "", 47},
    {"16 MB message, header split", {std::string("\x0b\xff", 2), std::string("\xff\xff", 2)}, 276, "", "", 47},
};

class Dispatcher : public ::testing::TestWithParam<Case> {};

TEST_P(Dispatcher, ReassemblesAndOrders) {
  const Case& c = GetParam();
  tw::TlsHandshakeDispatcher d;
  Handler h;
  int rc = 0;
  for (const std::string& r : c.records) {
    rc = d.Feed(reinterpret_cast<const uint8_t*>(r.data()), r.size(), h);
    if (rc != 0) break;
  }
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(h.log, c.log);
  EXPECT_EQ(Str(d.transcript()), c.transcript);
  if (c.alert != 0) {
    ASSERT_EQ(h.faults.size(), 1u);
    EXPECT_EQ(h.faults[0].first, c.alert);
  } else {
    EXPECT_TRUE(h.faults.empty());
    EXPECT_FALSE(d.HasFragment());
  }
}

INSTANTIATE_TEST_SUITE_P(Flights, Dispatcher, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

// The packet log's descriptions and the names received messages are logged by.
TEST(HandshakeLogNames, ListedMessagesOnly) {
  struct Row {
    uint8_t type;
    const char* description;
    const char* name;
  };
  const Row rows[] = {
      {0, "Hello Request", nullptr},          {1, "Client Hello", "ClientHello"},
      {2, "Server Hello", "ServerHello"},      {4, "New Session Ticket", "NEW_SESSION_TICKET"},
      {6, "Hello Retry Request", "Tls_1_3_HELLO_RETRY_REQUEST"},
      {8, "Encrypted Extensions", "EncryptedExtensions"},
      {11, "Certificate", "CERTIFICATE"},     {12, "Server Key Exchange", nullptr},
      {13, "Certificate Request", nullptr},   {14, "Server Hello Done", nullptr},
      {15, "Certificate Verify", "CERTIFICATE_VERIFY"},
      {16, "Client Key Exchange", nullptr},   {20, "Finished", "FINISHED"},
      {24, nullptr, nullptr},                 {99, nullptr, nullptr},
  };
  for (const Row& r : rows) {
    EXPECT_STREQ(tw::HandshakeLogDescription(r.type), r.description) << int(r.type);
    EXPECT_STREQ(tw::HandshakeLogName(r.type), r.name) << int(r.type);
  }
}

}  // namespace
