#include <gtest/gtest.h>

#include <string>

#include "foundation/span_reader.h"
#include "foundation/span_writer.h"

namespace {

TEST(SpanReader, SplitsATrailerAndReadsAnyWidth) {
  const uint8_t bytes[6] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB};
  tw::SpanReader r(bytes, sizeof bytes), mac;
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
  tw::ByteString out;
  tw::SpanWriter w(out);
  const tw::SpanWriter::Field slot = w.Reserve(4);
  w.Zeros(1);
  w.Text("xy");
  const uint8_t at[2] = {static_cast<uint8_t>(w.length()), 0};
  w.Fill(slot, at, 2);
  EXPECT_EQ(w.rc(), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), std::string("\x07\x00\x00\x00\x00xy", 7));
  w.Fill(slot, "12345", 5);
  EXPECT_EQ(w.rc(), tw::kErrFieldTooLong);
}

}  // namespace
