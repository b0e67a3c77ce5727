#include "http/hpack.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tw {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string Hex(const std::string& spaced) {
  std::string out;
  std::string digits;
  for (char c : spaced)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

const Fields kReq1 = {{":method", "GET"}, {":scheme", "http"}, {":path", "/"},
                      {":authority", "www.example.com"}};
const Fields kReq2 = {{":method", "GET"}, {":scheme", "http"}, {":path", "/"},
                      {":authority", "www.example.com"}, {"cache-control", "no-cache"}};
const Fields kReq3 = {{":method", "GET"}, {":scheme", "https"}, {":path", "/index.html"},
                      {":authority", "www.example.com"}, {"custom-key", "custom-value"}};
const char kDate1[] = "Mon, 21 Oct 2013 20:13:21 GMT";
const Fields kResp1 = {{":status", "302"}, {"cache-control", "private"}, {"date", kDate1},
                       {"location", "https://www.example.com"}};
const Fields kResp2 = {{":status", "307"}, {"cache-control", "private"}, {"date", kDate1},
                       {"location", "https://www.example.com"}};
const Fields kResp3 = {{":status", "200"}, {"cache-control", "private"},
                       {"date", "Mon, 21 Oct 2013 20:13:22 GMT"},
                       {"location", "https://www.example.com"}, {"content-encoding", "gzip"},
                       {"set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1"}};

struct Chain {
  const char* name;
  int table_size;
  bool huffman;
  std::vector<std::string> blocks;
  std::vector<Fields> fields;
  std::vector<int> sizes;  // dynamic table size after each block
};

// RFC 7541 Appendix C.3 to C.6: each chain runs on one table, decoding and encoding.
const Chain kChains[] = {
    {"C3", 4096, false,
     {"8286 8441 0f77 7777 2e65 7861 6d70 6c65 2e63 6f6d", "8286 84be 5808 6e6f 2d63 6163 6865",
      "8287 85bf 400a 6375 7374 6f6d 2d6b 6579 0c63 7573 746f 6d2d 7661 6c75 65"},
     {kReq1, kReq2, kReq3}, {57, 110, 164}},
    {"C4", 4096, true,
     {"8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff", "8286 84be 5886 a8eb 1064 9cbf",
      "8287 85bf 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf"},
     {kReq1, kReq2, kReq3}, {57, 110, 164}},
    {"C5", 256, false,
     {"4803 3330 3258 0770 7269 7661 7465 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a "
      "3133 3a32 3120 474d 546e 1768 7474 7073 3a2f 2f77 7777 2e65 7861 6d70 6c65 2e63 6f6d",
      "4803 3330 37c1 c0bf",
      "88c1 611d 4d6f 6e2c 2032 3120 4f63 7420 3230 3133 2032 303a 3133 3a32 3220 474d 54c0 5a04 "
      "677a 6970 7738 666f 6f3d 4153 444a 4b48 514b 425a 584f 5157 454f 5049 5541 5851 5745 4f49 "
      "553b 206d 6178 2d61 6765 3d33 3630 303b 2076 6572 7369 6f6e 3d31"},
     {kResp1, kResp2, kResp3}, {222, 222, 215}},
    {"C6", 256, true,
     {"4882 6402 5885 aec3 771a 4b61 96d0 7abe 9410 54d4 44a8 2005 9504 0b81 66e0 82a6 2d1b ff6e "
      "919d 29ad 1718 63c7 8f0b 97c8 e9ae 82ae 43d3",
      "4883 640e ffc1 c0bf",
      "88c1 6196 d07a be94 1054 d444 a820 0595 040b 8166 e084 a62d 1bff c05a 839b d9ab 77ad 94e7 "
      "821d d7f2 e6c7 b335 dfdf cd5b 3960 d5af 2708 7f36 72c1 ab27 0fb5 291f 9587 3160 65c0 03ed "
      "4ee5 b106 3d50 07"},
     {kResp1, kResp2, kResp3}, {222, 222, 215}},
};

class HpackChainTest : public ::testing::TestWithParam<Chain> {};

TEST_P(HpackChainTest, DecodesAndEncodesEveryBlock) {
  const Chain& c = GetParam();
  HpackTable decoder;
  HpackTable encoder;
  decoder.set_capacity(c.table_size);
  encoder.set_capacity(c.table_size);
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    const std::string block = Hex(c.blocks[i]);
    StringList out;
    int update = 0;
    const char* why = nullptr;
    ASSERT_EQ(HpackDecodeBlock(reinterpret_cast<const uint8_t*>(block.data()),
                               static_cast<int>(block.size()), decoder, c.table_size, out, &update,
                               &why),
              0)
        << why;
    Fields got;
    for (int k = 0; k + 1 < out.Count(); k += 2)
      got.emplace_back(std::string(out.Get(k), out.GetLength(k)),
                       std::string(out.Get(k + 1), out.GetLength(k + 1)));
    EXPECT_EQ(got, c.fields[i]) << c.name << " block " << i;
    EXPECT_EQ(decoder.dynamic_size(), c.sizes[i]);

    ByteStringPairArray pairs;
    for (const auto& f : c.fields[i]) pairs.Add(f.first.c_str(), f.second.c_str());
    ByteString coded;
    ASSERT_EQ(HpackEncodeBlock(pairs, c.huffman, "", encoder, coded), 0);
    EXPECT_EQ(std::string(coded.data(), coded.length()), block) << c.name << " block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rfc7541, HpackChainTest, ::testing::ValuesIn(kChains),
                         [](const auto& info) { return std::string(info.param.name); });

struct Bad {
  const char* name;
  const char* hex;
};

// C.2's single representations decode; the hostile blocks fail with a compression error.
const Bad kBad[] = {
    {"IndexZero", "80"},
    {"IndexPastTable", "be"},
    {"NameIndexPastTable", "7f 30 00"},
    {"UpdateAboveOurLimit", "3fe21f"},
    {"UpdateAfterField", "82 20"},
    {"TruncatedString", "400a6375"},
    {"TruncatedName", "41"},
    {"OverlongInteger", "ff ff ff ff ff ff 01"},
    {"HuffmanPaddingOfZeros", "00 81 00 00"},
    {"HuffmanPaddingOverAByte", "00 81 1f 82 07 ff"},
    {"HuffmanEos", "00 81 1f 84 ff ff ff ff"},
};

class HpackHostileTest : public ::testing::TestWithParam<Bad> {};

TEST_P(HpackHostileTest, IsACompressionError) {
  const std::string block = Hex(GetParam().hex);
  HpackTable table;
  StringList out;
  int update = 0;
  const char* why = nullptr;
  EXPECT_EQ(HpackDecodeBlock(reinterpret_cast<const uint8_t*>(block.data()),
                             static_cast<int>(block.size()), table, 4096, out, &update, &why),
            kErrHpackCompression);
}

INSTANTIATE_TEST_SUITE_P(Hpack, HpackHostileTest, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HpackTest, SingleRepresentationsAndTableRules) {
  struct Case {
    const char* hex;
    const char* name;
    const char* value;
    int size;
  } cases[] = {
      {"400a 6375 7374 6f6d 2d6b 6579 0d63 7573 746f 6d2d 6865 6164 6572", "custom-key",
       "custom-header", 55},
      {"040c 2f73 616d 706c 652f 7061 7468", ":path", "/sample/path", 0},
      {"1008 7061 7373 776f 7264 0673 6563 7265 74", "password", "secret", 0},
      {"82", ":method", "GET", 0},
  };
  for (const Case& c : cases) {
    const std::string block = Hex(c.hex);
    HpackTable table;
    StringList out;
    int update = 0;
    const char* why = nullptr;
    ASSERT_EQ(HpackDecodeBlock(reinterpret_cast<const uint8_t*>(block.data()),
                               static_cast<int>(block.size()), table, 4096, out, &update, &why),
              0);
    EXPECT_STREQ(out.Get(0), c.name);
    EXPECT_STREQ(out.Get(1), c.value);
    EXPECT_EQ(table.dynamic_size(), c.size);
  }
  // A size update to 0 empties the table.
  HpackTable table;
  table.Insert(ByteString("a"), ByteString("b"));
  StringList out;
  int update = 0;
  const char* why = nullptr;
  const uint8_t zero[] = {0x20};
  ASSERT_EQ(HpackDecodeBlock(zero, 1, table, 4096, out, &update, &why), 0);
  EXPECT_EQ(update, 0);
  EXPECT_EQ(table.dynamic_count(), 0);
}

TEST(HpackTest, EncoderRules) {
  HpackTable t;
  ByteString out;
  EXPECT_EQ(HpackEncodeInt(1337, 5, out), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), "\x1f\x9a\x0a");
  ByteStringPairArray pairs;
  pairs.Add(":method", "PUT");
  pairs.Add("x-secret", "v");
  out.Reset();
  ASSERT_EQ(HpackEncodeBlock(pairs, false, "X-Secret", t, out), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), std::string("\x42\x03PUT\x00\x08x-secret\x01v", 17));
  EXPECT_EQ(t.dynamic_count(), 1);
  EXPECT_EQ(t.FindPair(ByteString(":method"), ByteString("PUT")), 62);
  // The peer's smaller table is signalled first and honoured.
  t.SetEncoderLimit(0);
  out.Reset();
  ASSERT_EQ(HpackEncodeBlock(pairs, false, "", t, out), 0);
  EXPECT_EQ(static_cast<uint8_t>(out.data()[0]), 0x20);
  EXPECT_EQ(t.dynamic_count(), 0);
  ByteString a;
  ASSERT_EQ(HuffmanEncode("a", 1, a), 0);
  EXPECT_EQ(std::string(a.data(), a.length()), "\x1f");
  EXPECT_TRUE(IsConnectionSpecific("Connection", "close"));
  EXPECT_TRUE(IsConnectionSpecific("TE", "gzip"));
  EXPECT_FALSE(IsConnectionSpecific("te", "Trailers"));
}

// Every byte value survives the Huffman code both ways.
TEST(HpackTest, HuffmanRoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); n += 37) {
    ByteString coded;
    ByteString back;
    ASSERT_EQ(HuffmanEncode(all.data(), static_cast<int>(n), coded), 0);
    ASSERT_EQ(HuffmanDecode(coded.data(), coded.length(), back), 0);
    EXPECT_EQ(std::string(back.data(), back.length()), all.substr(0, n));
  }
}

}  // namespace
}  // namespace tw
