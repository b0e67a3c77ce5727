// The names and handshake peeks of the platform TLS path: known answers, and every prefix and
// overstated length of the handshake bytes refused without reading past them.
#include "tls/schannel_algorithms.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void U16(Bytes& b, size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void U24(Bytes& b, size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 16));
  U16(b, v);
}

// One handshake record: ServerHello (suite 0xC030) then Certificate with one 10-byte entry.
Bytes ServerFlight() {
  Bytes hello = {0x03, 0x03};
  hello.insert(hello.end(), 32, 0xAA);
  hello.push_back(0);  // session id
  U16(hello, 0xC030);
  hello.push_back(0);
  Bytes cert(10, 0x5C);
  Bytes list;
  U24(list, cert.size());
  list.insert(list.end(), cert.begin(), cert.end());
  Bytes certificate;
  U24(certificate, list.size());
  certificate.insert(certificate.end(), list.begin(), list.end());
  Bytes body = {2};
  U24(body, hello.size());
  body.insert(body.end(), hello.begin(), hello.end());
  body.push_back(11);
  U24(body, certificate.size());
  body.insert(body.end(), certificate.begin(), certificate.end());
  Bytes record = {22, 0x03, 0x03};
  U16(record, body.size());
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

TEST(SchannelPeek, WholeFlightAndEveryPrefix) {
  const Bytes flight = ServerFlight();
  const uint8_t* cert = nullptr;
  size_t length = 0;
  ASSERT_TRUE(tw::FindServerCertificate(flight.data(), flight.size(), &cert, &length));
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(cert, flight.data() + flight.size() - 10);
  uint16_t version = 0, suite = 0;
  bool oversized = true;
  ASSERT_TRUE(tw::PeekServerHello(flight.data(), flight.size(), &version, &suite, &oversized));
  EXPECT_EQ(version, 0x0303);
  EXPECT_EQ(suite, 0xC030);
  EXPECT_FALSE(oversized);
  for (size_t n = 0; n < flight.size(); ++n) {
    // Copies, so a read past the prefix is caught by the sanitizers.
    const Bytes prefix(flight.begin(), flight.begin() + static_cast<long>(n));
    EXPECT_FALSE(tw::FindServerCertificate(prefix.data(), prefix.size(), &cert, &length)) << n;
    tw::PeekServerHello(prefix.data(), prefix.size(), &version, &suite, &oversized);
  }
}

struct Hostile {
  const char* name;
  size_t offset;  // byte of the flight to change
  uint8_t value;
};

class SchannelPeekHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(SchannelPeekHostile, OverstatedLengthsFindNothing) {
  Bytes flight = ServerFlight();
  flight[GetParam().offset] = GetParam().value;
  const uint8_t* cert = nullptr;
  size_t length = 0;
  EXPECT_FALSE(tw::FindServerCertificate(flight.data(), flight.size(), &cert, &length));
}

// Offsets: record length 3-4; Certificate message at 5 + 4 + 38 = 47: its length 48-50, the
// list length 51-53, the entry length 54-56.
INSTANTIATE_TEST_SUITE_P(Lengths, SchannelPeekHostile,
                         ::testing::Values(Hostile{"record_length", 3, 0x7F},
                                           Hostile{"message_length", 49, 0x7F},
                                           Hostile{"list_length", 52, 0x7F},
                                           Hostile{"entry_length", 55, 0x7F},
                                           Hostile{"empty_entry", 56, 0x00}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(SchannelNames, KnownAnswers) {
  uint32_t id = 0;
  EXPECT_TRUE(tw::FindCalgName("calg_aes_128", 12, &id));
  EXPECT_EQ(id, 0x660Eu);
  EXPECT_TRUE(tw::FindCalgName("CALG_SHA", 8, &id));
  EXPECT_EQ(id, 0x8004u);
  EXPECT_FALSE(tw::FindCalgName("CALG_AES_12", 11, &id));
  EXPECT_FALSE(tw::FindCalgName("TLS_AES_128_GCM_SHA256", 22, &id));

  tw::ByteString text;
  ASSERT_EQ(tw::EnabledProtocolsText(0xFC0, &text), 0);
  EXPECT_STREQ(text.c_str(), "Enabling TLS versions: TLS1.2 TLS1.1 TLS1.0 ");
  ASSERT_EQ(tw::NegotiatedParametersText(0x800, 0x6610, 256, 0x800D, 384, 0xAE06, 255, &text), 0);
  EXPECT_STREQ(text.c_str(),
               "Negotiated SSL parameters: Protocol: TLS1.2 Cipher: AES Cipher strength: 256 Hash: "
               "SHA384 Hash strength: 384 Key exchange: ECDH Ephemeral RSA Key exchange strength: 255 ");
  ASSERT_EQ(tw::NegotiatedParametersText(0x2000, 0, 256, 0, 0, 0xA400, 2048, &text), 0);
  EXPECT_STREQ(text.c_str(),
               "Negotiated SSL parameters: Protocol: 0x2000 Cipher: 0x0 Cipher strength: 256 Cipher: "
               "0x0 Hash strength: 0 Key exchange: RSA Key exchange strength: 2048 ");

  // A ClientHello record offering three suites, one unknown.
  Bytes hello = {22, 3, 1, 0, 0, 1, 0, 0, 0, 3, 3};
  hello.insert(hello.end(), 32, 0);
  hello.push_back(0);
  U16(hello, 6);
  U16(hello, 0xC02F);
  U16(hello, 0xCCA8);
  U16(hello, 0x0A0A);
  hello.push_back(1);
  hello.push_back(0);
  ASSERT_TRUE(tw::OfferedSuitesText(hello.data(), hello.size(), &text));
  EXPECT_STREQ(text.c_str(),
               "Cipher Suites:\r\n    TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256;\r\n    "
               "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256;\r\n    Unknown (2570)");
  EXPECT_FALSE(tw::OfferedSuitesText(hello.data(), 45, &text));
  hello[44] = 0x7F;  // a suite list longer than the record
  EXPECT_FALSE(tw::OfferedSuitesText(hello.data(), hello.size(), &text));
}

}  // namespace
