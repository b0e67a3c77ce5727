// Known answers and hostile input for the DER reader, element tree and writer.
#include <gtest/gtest.h>

#include <string>

#include "certs/asn1_node.h"
#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

using testsupport::Hex;
using testsupport::Unhex;

ByteString Bytes(const std::string& hex) {
  const std::string b = Unhex(hex);
  ByteString s;
  s.Set(b.data(), static_cast<int>(b.size()));
  return s;
}

std::string HexOf(const ByteString& s) { return Hex(s.data(), static_cast<size_t>(s.length())); }

struct ReadCase {
  const char* name;
  const char* der;
  int index;
  int want_rc;
  const char* want;  // dotted OID, decimal value or hex content
};

class OidReadTest : public ::testing::TestWithParam<ReadCase> {};
TEST_P(OidReadTest, Reads) {
  const ReadCase& c = GetParam();
  ByteString text;
  int tag = 0;
  ASSERT_EQ(DerReadOidAt(Bytes(c.der), c.index, &text, &tag), c.want_rc);
  if (c.want_rc == 0) {
    EXPECT_STREQ(text.c_str(), c.want);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Der, OidReadTest,
    ::testing::Values(ReadCase{"sha256rsa", "06092a864886f70d01010b", 0, 0, "1.2.840.113549.1.1.11"},
                      ReadCase{"arc_2_999", "0603883703", 0, 0, "2.999.3"},
                      ReadCase{"second", "05000603550403", 1, 0, "2.5.4.3"},
                      ReadCase{"max_arc", "060755048fffffff7f", 0, 0, "2.5.4.4294967295"},
                      ReadCase{"arc_over_32_bits", "0607550490808080 00", 0, 446, ""},
                      ReadCase{"trailing_continuation", "0603550483", 0, 446, ""},
                      ReadCase{"non_minimal", "060355800103", 0, 446, ""},
                      ReadCase{"empty", "0600", 0, 446, ""},
                      ReadCase{"missing", "0500", 1, 447, ""},
                      ReadCase{"bad_before", "30050500", 1, 446, ""}),
    [](const auto& i) { return std::string(i.param.name); });

class IntReadTest : public ::testing::TestWithParam<ReadCase> {};
TEST_P(IntReadTest, Reads) {
  const ReadCase& c = GetParam();
  int32_t v = 0;
  int tag = 0;
  ASSERT_EQ(DerReadIntAt(Bytes(c.der), c.index, &v, &tag), c.want_rc);
  if (c.want_rc == 0) {
    EXPECT_EQ(std::to_string(v), c.want);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Der, IntReadTest,
    ::testing::Values(ReadCase{"padded", "02050000000012", 0, 0, "18"},
                      ReadCase{"too_wide", "02050100000012", 0, 446, ""},
                      ReadCase{"negative", "0201ff", 0, 0, "-1"},
                      ReadCase{"long_form", "0281017f", 0, 0, "127"},
                      ReadCase{"length_0x85", "028500000000017f", 0, 446, ""},
                      ReadCase{"indefinite", "0280", 0, 446, ""},
                      ReadCase{"high_tag", "1f0101", 0, 446, ""},
                      ReadCase{"length_past_end", "0284ffffffff00", 0, 447, ""}),
    [](const auto& i) { return std::string(i.param.name); });

class BytesReadTest : public ::testing::TestWithParam<ReadCase> {};
TEST_P(BytesReadTest, Reads) {
  const ReadCase& c = GetParam();
  ByteString out;
  int bits = 0, tag = 0;
  const bool bit_string = std::string(c.name).rfind("bits", 0) == 0;
  const int rc = bit_string ? DerReadBitStringAt(Bytes(c.der), c.index, &out, &bits, &tag)
                            : DerReadIntegerBytesAt(Bytes(c.der), c.index, &out);
  ASSERT_EQ(rc, c.want_rc);
  if (rc == 0) {
    EXPECT_EQ(HexOf(out), c.want);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Der, BytesReadTest,
    ::testing::Values(ReadCase{"int_leading_zero", "0202008f", 0, 0, "8f"},
                      ReadCase{"int_zero", "020100", 0, 0, ""},
                      ReadCase{"int_wrong_tag", "0401aa", 0, 446, ""},
                      ReadCase{"bits_plain", "030300abcd", 0, 0, "abcd"},
                      ReadCase{"bits_empty", "0300", 0, 446, ""},
                      ReadCase{"bits_unused_8", "030208ff", 0, 446, ""},
                      ReadCase{"bits_unused_without_byte", "030103", 0, 446, ""}),
    [](const auto& i) { return std::string(i.param.name); });

// The INTEGER reads: as a small non-negative number, and as a magnitude without leading zeros.
struct UnsignedCase {
  const char* name;
  const char* der;
  int small_rc;
  uint32_t small;
  int magnitude_rc;
  const char* magnitude;
};
class UnsignedReadTest : public ::testing::TestWithParam<UnsignedCase> {};
TEST_P(UnsignedReadTest, Reads) {
  const UnsignedCase& c = GetParam();
  const ByteString der = Bytes(c.der);
  DerCursor a(der), b(der);
  uint32_t v = 0;
  ByteString m;
  ASSERT_EQ(a.NextSmallUnsigned(&v), c.small_rc);
  if (c.small_rc == 0) {
    EXPECT_EQ(v, c.small);
  }
  ASSERT_EQ(b.NextUnsigned(&m), c.magnitude_rc);
  if (c.magnitude_rc == 0) {
    EXPECT_EQ(HexOf(m), c.magnitude);
  }
}
INSTANTIATE_TEST_SUITE_P(Der, UnsignedReadTest,
                         ::testing::Values(UnsignedCase{"one_byte", "02017f", 0, 127, 0, "7f"},
                                           UnsignedCase{"four_bytes", "02047fffffff", 0, 0x7fffffff, 0, "7fffffff"},
                                           UnsignedCase{"five_bytes", "0205007fffffff", 446, 0, 0, "7fffffff"},
                                           UnsignedCase{"zero_padded", "0203000080", 0, 128, 0, "80"},
                                           UnsignedCase{"zero", "02020000", 0, 0, 0, "00"},
                                           UnsignedCase{"negative", "020180", 446, 0, 446, ""},
                                           UnsignedCase{"empty", "0200", 446, 0, 446, ""},
                                           UnsignedCase{"wrong_tag", "040101", 446, 0, 446, ""},
                                           UnsignedCase{"cut_short", "020201", 447, 0, 447, ""}),
                         testsupport::CaseName{});

TEST(DerReader, ElementLengthAndUnwrap) {
  const std::string b = Unhex("3003020101ff");
  EXPECT_EQ(DerElementLength(reinterpret_cast<const uint8_t*>(b.data()), b.size()), 5u);
  EXPECT_EQ(DerElementLength(reinterpret_cast<const uint8_t*>(b.data()), 4), 0u);
  ByteString buf = Bytes("3003020101ff");
  int tag = 0;
  ASSERT_EQ(DerUnwrap(&buf, &tag), 0);
  EXPECT_EQ(tag, 0x30);
  EXPECT_EQ(HexOf(buf), "020101ff");
  ByteString cut = Bytes("3005020101");
  EXPECT_EQ(DerUnwrap(&cut, &tag), 446);
}

TEST(DerReader, SignatureRS) {
  ByteString r, s;
  const std::string sig = Unhex("3008020300ff01020102");
  ASSERT_TRUE(ParseDerSignatureRS(reinterpret_cast<const uint8_t*>(sig.data()),
                                  static_cast<int>(sig.size()), &r, &s));
  EXPECT_EQ(HexOf(r), "00ff01");
  EXPECT_EQ(HexOf(s), "02");
  for (size_t n = 0; n < sig.size(); ++n) {
    EXPECT_FALSE(ParseDerSignatureRS(reinterpret_cast<const uint8_t*>(sig.data()),
                                     static_cast<int>(n), &r, &s));
  }
}

struct BerCase {
  const char* name;
  const char* der;
  bool ok;
  size_t content_start, content_end, next;
};
class BerTest : public ::testing::TestWithParam<BerCase> {};
TEST_P(BerTest, Parses) {
  const BerCase& c = GetParam();
  const std::string b = Unhex(c.der);
  BerElement e;
  ASSERT_EQ(ParseBerElement(reinterpret_cast<const uint8_t*>(b.data()), 0, b.size(), &e), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(e.content_start, c.content_start);
  EXPECT_EQ(e.content_end, c.content_end);
  EXPECT_EQ(e.next, c.next);
}
INSTANTIATE_TEST_SUITE_P(
    Der, BerTest,
    ::testing::Values(BerCase{"definite", "0403aabbcc", true, 2, 5, 5},
                      BerCase{"indefinite_constructed", "30800201050000", true, 2, 5, 7},
                      BerCase{"indefinite_primitive", "0480aabb0000", true, 2, 4, 6},
                      BerCase{"eoc", "0000", true, 2, 2, 2},
                      BerCase{"length_2_31", "048480000000", false, 0, 0, 0},
                      BerCase{"length_0x85", "04850000000001", false, 0, 0, 0},
                      BerCase{"unterminated", "3080020105", false, 0, 0, 0},
                      BerCase{"past_end", "0405aabb", false, 0, 0, 0}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(DerReader, DeepIndefiniteNestingIsRefused) {
  std::string b;
  for (int i = 0; i < 5000; ++i) b += Unhex("3080");
  BerElement e;
  EXPECT_FALSE(ParseBerElement(reinterpret_cast<const uint8_t*>(b.data()), 0, b.size(), &e));
  Asn1Node node;
  node.bytes.Set(b.data(), static_cast<int>(b.size()));
  EXPECT_NE(node.DecodeTree(), 0);
}

TEST(Asn1Node, DecodesChildrenAndLongSiblingChains) {
  Asn1Node empty;
  empty.bytes = Bytes("3000");
  EXPECT_EQ(empty.Decode(), 0);
  EXPECT_EQ(empty.childCount, 0);
  Asn1Node indefinite;
  indefinite.bytes = Bytes("308002010102010200000500");
  ASSERT_EQ(indefinite.Decode(), 0);
  ASSERT_EQ(indefinite.childCount, 2);
  EXPECT_EQ(HexOf(indefinite.ChildAt(1)->bytes), "020102");
  EXPECT_EQ(indefinite.ChildAt(2), nullptr);
  // 100000 siblings are freed without a recursion per sibling.
  std::string many = Unhex("30830186a0");
  for (int i = 0; i < 50000; ++i) many += Unhex("0500");
  Asn1Node big;
  big.bytes.Set(many.data(), static_cast<int>(many.size()));
  ASSERT_EQ(big.Decode(), 0);
  EXPECT_EQ(big.childCount, 50000);
  Asn1Node bad;
  bad.bytes = Bytes("3006020101020301");
  EXPECT_EQ(bad.Decode(), 446);
  EXPECT_EQ(bad.childCount, 0);
}

struct WriteCase {
  const char* name;
  int (*write)(DerWriter*);
  int want_rc;
  const char* want_hex;
};
class WriterTest : public ::testing::TestWithParam<WriteCase> {};
TEST_P(WriterTest, Writes) {
  const WriteCase& c = GetParam();
  DerWriter w;
  ASSERT_EQ(c.write(&w), c.want_rc);
  EXPECT_EQ(HexOf(w.output()), c.want_hex);
}
INSTANTIATE_TEST_SUITE_P(
    Der, WriterTest,
    ::testing::Values(
        WriteCase{"int_127", [](DerWriter* w) { return w->DerAppendInteger(2, 127); }, 0, "02017f"},
        WriteCase{"int_128", [](DerWriter* w) { return w->DerAppendInteger(2, 128); }, 0, "02020080"},
        WriteCase{"int_m129", [](DerWriter* w) { return w->DerAppendInteger(2, -129); }, 0, "0202ff7f"},
        WriteCase{"int_min", [](DerWriter* w) { return w->DerAppendInteger(2, INT32_MIN); }, 0,
                  "020480000000"},
        WriteCase{"unsigned_one_byte_high",
                  [](DerWriter* w) { return w->DerAppendUnsignedInteger("\xc8", 1); }, 0, "020200c8"},
        WriteCase{"unsigned_empty", [](DerWriter* w) { return w->DerAppendUnsignedInteger("", 0); },
                  445, ""},
        WriteCase{"oid", [](DerWriter* w) { return w->DerAppendOid(6, "1.2.840.113549.1.1.11"); }, 0,
                  "06092a864886f70d01010b"},
        WriteCase{"oid_2_999", [](DerWriter* w) { return w->DerAppendOid(6, "2.999.3"); }, 0,
                  "0603883703"},
        WriteCase{"oid_letters", [](DerWriter* w) { return w->DerAppendOid(6, "1.2.x"); }, 445, ""},
        WriteCase{"oid_name", [](DerWriter* w) { return w->DerAppendOid(6, "CN"); }, 445, ""},
        WriteCase{"oid_arc_too_big",
                  [](DerWriter* w) { return w->DerAppendOid(6, "1.2.4294967296"); }, 445, ""},
        WriteCase{"bool_null", [](DerWriter* w) {
                    return w->DerAppendBoolean(1, true) | w->DerAppendNull(5);
                  }, 0, "0101ff0500"},
        WriteCase{"close_200", [](DerWriter* w) {
                    w->DerOpenConstructed(0x30);
                    w->output().AppendRepeated(200, 0xab);
                    int rc = w->DerCloseConstructed(false);
                    w->output().Resize(4);
                    return rc;
                  }, 0, "3081c8ab"},
        WriteCase{"close_indefinite", [](DerWriter* w) {
                    w->DerOpenConstructed(0x30);
                    w->DerAppendNull(5);
                    return w->DerCloseConstructed(true);
                  }, 0, "308005000000"},
        WriteCase{"close_nothing_open", [](DerWriter* w) { return w->DerCloseConstructed(false); },
                  445, ""},
        WriteCase{"wrap_content_too_big", [](DerWriter* w) {
                    w->output().AppendRepeated(65536, 0);
                    int rc = w->DerWrapContent(0x60);
                    w->output().Resize(0);
                    return rc;
                  }, 445, ""},
        WriteCase{"wrap_content_long", [](DerWriter* w) {
                    w->output().AppendRepeated(128, 0);
                    int rc = w->DerWrapContent(0x60);
                    w->output().Resize(4);
                    return rc;
                  }, 0, "60820080"}),
    [](const auto& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace tw
