// The shared reader and writer: every read either takes its bytes or leaves the view as it was, and
// what the writer closes reads back through the reader.
#include "foundation/span_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/span_writer.h"

namespace tw {
namespace {

const uint8_t kBytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};

TEST(SpanReader, ReadsInEitherOrderAndFailsWithoutMoving) {
  SpanReader r(kBytes, sizeof kBytes);
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  ASSERT_TRUE(r.ReadU16(&u16));
  EXPECT_EQ(u16, 0x0102);
  ASSERT_TRUE(r.ReadU16Le(&u16));
  EXPECT_EQ(u16, 0x0403);
  ASSERT_TRUE(r.ReadU24(&u32));
  EXPECT_EQ(u32, 0x050607u);
  EXPECT_FALSE(r.ReadU32(&u32));
  EXPECT_FALSE(r.ReadU64Le(&u64));
  EXPECT_EQ(r.remaining(), 2u);
  ASSERT_TRUE(r.ReadU16Le(&u16));
  EXPECT_EQ(u16, 0x0908);
  EXPECT_TRUE(r.empty());
}

TEST(SpanReader, HandsOutPrefixedAndPointedFieldsWithinBounds) {
  // 0x01 says one byte follows; 0x0102 would say 258 and must leave the view untouched.
  SpanReader r(kBytes, sizeof kBytes);
  SpanReader field;
  ASSERT_TRUE(r.ReadPrefixed(1, &field));
  EXPECT_EQ(field.remaining(), 1u);
  EXPECT_EQ(field.data()[0], 0x02);
  EXPECT_FALSE(r.ReadPrefixed(2, &field));
  EXPECT_EQ(r.remaining(), sizeof kBytes - 2);
  EXPECT_FALSE(r.ReadPrefixed(5, &field));
  SpanReader whole(kBytes, sizeof kBytes);
  EXPECT_TRUE(whole.SubAt(7, 2, &field));
  EXPECT_FALSE(whole.SubAt(8, 2, &field));
  EXPECT_FALSE(whole.SubAt(SIZE_MAX, 1, &field));
  EXPECT_EQ(whole.remaining(), sizeof kBytes);
}

TEST(SpanWriter, ClosesLengthsInEitherOrderAndRefusesOverlongFields) {
  ByteString out;
  SpanWriter w(out);
  const auto be = w.Open(2);
  w.U24(0x0a0b0c);
  const auto le = w.OpenLe(4);
  w.U32Le(0x11223344);
  w.Close(le);
  w.Close(be);
  ASSERT_EQ(w.rc(), 0);
  const uint8_t want[] = {0x00, 0x0b, 0x0a, 0x0b, 0x0c, 0x04, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11};
  ASSERT_EQ(out.length(), static_cast<int>(sizeof want));
  EXPECT_EQ(0, memcmp(out.data(), want, sizeof want));

  ByteString big;
  SpanWriter over(big);
  const auto f = over.Open(1);
  for (int i = 0; i < 256; ++i) over.U8(0);
  over.Close(f);
  EXPECT_EQ(over.rc(), kErrFieldTooLong);
}

TEST(SpanReader, SplitsATrailerAndReadsAnyWidth) {
  const uint8_t bytes[6] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB};
  SpanReader r(bytes, sizeof bytes), mac;
  EXPECT_FALSE(r.ReadTail(7, &mac));
  ASSERT_TRUE(r.ReadTail(2, &mac));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mac.data()), mac.remaining()), "\xAA\xBB");
  uint64_t v = 0;
  EXPECT_FALSE(r.ReadUIntBe(5, &v));
  ASSERT_TRUE(r.ReadUIntBe(3, &v));
  EXPECT_EQ(v, 0x010203u);
  EXPECT_EQ(r.remaining(), 1u);
}

TEST(SpanWriter, FillsAReservedRunLater) {
  ByteString out;
  SpanWriter w(out);
  const SpanWriter::Field slot = w.Reserve(4);
  w.Zeros(1);
  w.Text("xy");
  const uint8_t at[2] = {static_cast<uint8_t>(w.length()), 0};
  w.Fill(slot, at, 2);
  EXPECT_EQ(w.rc(), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), std::string("\x07\x00\x00\x00\x00xy", 7));
  w.Fill(slot, "12345", 5);
  EXPECT_EQ(w.rc(), kErrFieldTooLong);
}

}  // namespace
}  // namespace tw
