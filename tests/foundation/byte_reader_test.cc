#include "foundation/byte_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

std::string Bytes(const ByteReader& r) {
  return std::string(reinterpret_cast<const char*>(r.Data()), static_cast<size_t>(r.Length()));
}

TEST(ByteReaderTest, WriterFieldsAndLengthPatching) {
  BufferWriter w;
  ASSERT_EQ(w.WriteU24(0x123456), 0);
  EXPECT_EQ(w.position(), 3);
  ASSERT_EQ(w.WriteU16(0), 0);
  ASSERT_EQ(w.WriteU8(0xAB), 0);
  ASSERT_EQ(w.WriteU64(0x0102030405060708ull), 0);
  ASSERT_EQ(w.PutU16At(3, 9), 0);
  EXPECT_EQ(Bytes(w), std::string("\x12\x34\x56\x00\x09\xAB\x01\x02\x03\x04\x05\x06\x07\x08", 14));
  EXPECT_EQ(w.position(), 14);

  BufferWriter one;
  one.WriteU8(7);
  ASSERT_EQ(one.PutU16At(0, 5), 0);
  EXPECT_EQ(Bytes(one), std::string("\x00\x05", 2));
}

// A patch past the end grows the buffer, and the gap it leaves reads as zero bytes.
TEST(ByteReaderTest, WriteAtGrowsAndZeroesTheGap) {
  BufferWriter w;
  w.WriteBytes("0123456789", 0, 10);
  ASSERT_EQ(w.WriteAt("abcd", 8, 4), 0);
  EXPECT_EQ(Bytes(w), "01234567abcd");
  ASSERT_EQ(w.WriteAt("Z", 20, 1), 0);
  EXPECT_EQ(Bytes(w), std::string("01234567abcd\0\0\0\0\0\0\0\0Z", 21));
  EXPECT_EQ(w.position(), 10);
  EXPECT_NE(w.WriteAt("Z", -1, 1), 0);
}

TEST(ByteReaderTest, ReadsStopAtTheEnd) {
  ByteReader r("\x11\x22\x33", 0, 3);
  uint32_t v = 0;
  EXPECT_EQ(r.ReadU32(&v), kErrReadPastEnd);
  EXPECT_EQ(r.position(), 0);
  EXPECT_EQ(r.NextU24(), 0x112233);
  EXPECT_EQ(r.position(), 3);
  EXPECT_EQ(r.NextU8(), -1);
  EXPECT_EQ(r.PeekU16At(1), 0x2233);
  EXPECT_EQ(r.PeekU16At(2), -1);
  EXPECT_EQ(r.PeekU8At(-1), -1);

  ByteReader s("\x00\x00\x00\x05xyz", 0, 7);
  ByteString out;
  EXPECT_EQ(s.ReadString32(out), -1);
  ByteReader neg("\xff\xff\xff\xff", 0, 4);
  EXPECT_EQ(neg.ReadString32(out), -1);
  ByteReader bits("\x00\x00\x00\x09\xAA", 0, 5);
  EXPECT_EQ(bits.ReadBitString(out), kErrReadPastEnd);
}

// Every skip and copy is checked against the buffer, whatever the count.
TEST(ByteReaderTest, SkipsAndCopiesAreBounded) {
  ByteReader r("abcdef", 0, 6);
  EXPECT_EQ(r.Skip(7), nullptr);
  EXPECT_EQ(r.Skip(-1), nullptr);
  EXPECT_EQ(r.position(), 0);
  ASSERT_NE(r.Skip(4), nullptr);
  char dest[8] = {};
  EXPECT_EQ(r.ReadRaw(dest, 0, 100), 2);
  EXPECT_EQ(std::string(dest, 2), "ef");
  EXPECT_EQ(r.Skip(1), nullptr);
  EXPECT_EQ(r.CopyOut(4, 3, dest, 0), kErrReadPastEnd);
  EXPECT_EQ(r.CopyOut(-1, 1, dest, 0), kErrReadPastEnd);
  EXPECT_EQ(r.CopyOut(0x7FFFFFFF, 2, dest, 0), kErrReadPastEnd);
  EXPECT_EQ(r.CopyOut(1, 3, dest, 0), 0);
  EXPECT_EQ(std::string(dest, 3), "bcd");
  EXPECT_EQ(r.CheckAvailable(0x7FFFFFFF, 0x7FFFFFFF), kErrReadPastEnd);
  ByteString s;
  EXPECT_EQ(r.ReadString(3, s), 1);
}

TEST(ByteReaderTest, SharedBuffersAreCopiedOnSet) {
  ByteReader a("abc", 0, 3);
  ByteReader b(a);
  b.SetBytes("xy", 0, 2);
  EXPECT_EQ(Bytes(a), "abc");
  EXPECT_EQ(Bytes(b), "xy");
}

TEST(ByteReaderTest, ByteOrderFunctions) {
  EXPECT_EQ(ByteSwapN(0x11223344, 2), 0x4433u);
  EXPECT_EQ(ByteSwapN(0x11223344, 8), 0u);
  EXPECT_EQ(ByteSwapN(0x11223344, 4), 0x44332211u);
  EXPECT_EQ(LoadUIntBEBounded("\x01\x02", 2, 1, 4), 2u);
  EXPECT_EQ(LoadUIntBEBounded("\x01\x02", 2, 2, 4), 0u);
  EXPECT_EQ(LoadUInt64LE("\x01\x02", 2), 0x0201u);
  EXPECT_EQ(FindBytes("abcabd", 6, "abd", 3), 3);
  EXPECT_EQ(FindBytes("ab", 2, "abc", 3), -1);
  EXPECT_EQ(CountRun("aaab"), 3);
  EXPECT_TRUE(IsAllAscii("", 0));
  EXPECT_TRUE(HasNonAscii("a\x80", 2));
  EXPECT_EQ(StrToInt(" 5") + StrToInt("-17x") + StrToInt("4294967297"), -16);  // no blanks; 32 bits wrap
}

}  // namespace
}  // namespace tw
