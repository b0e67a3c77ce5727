#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"
#include "foundation/file_handle.h"
#include "foundation/file_path.h"
#include "foundation/file_replacement.h"
#include "foundation/file_stream.h"
#include "foundation/memory_stream.h"
#include "foundation/stream.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/heap.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

using testsupport::RandomBytes;

// A caller's stream over a string, with a limit per call and switchable failures.
class TestCallerStream : public tw::CallerStream {
 public:
  explicit TestCallerStream(std::string data = "", int chunk = 1 << 30)
      : data_(std::move(data)), chunk_(chunk) {}
  ~TestCallerStream() override { ++*destroyed_; }
  int Read(void* buffer, int n) override {
    ++reads;
    if (fail_reads) return -1;
    size_t left = data_.size() - read_pos_;
    size_t take = std::min<size_t>({left, static_cast<size_t>(n), static_cast<size_t>(chunk_)});
    std::memcpy(buffer, data_.data() + read_pos_, take);
    read_pos_ += take;
    return static_cast<int>(take);
  }
  int Write(const void* buffer, int n) override {
    ++writes;
    if (write_result_override.has_value()) return *write_result_override;
    int take = std::min(n, chunk_);
    written.append(static_cast<const char*>(buffer), static_cast<size_t>(take));
    return take;
  }
  void Close() override { ++closes; }
  uint64_t Size() override { return size_override.has_value() ? *size_override : data_.size(); }
  int64_t Seek(int64_t offset, int origin) override {
    int64_t base = origin == tw::kSeekBegin ? 0
                   : origin == tw::kSeekCurrent ? static_cast<int64_t>(read_pos_)
                                                : static_cast<int64_t>(data_.size());
    if (base + offset < 0) return -1;
    read_pos_ = static_cast<size_t>(base + offset);
    return base + offset;
  }

  std::string written;
  int reads = 0, writes = 0, closes = 0;
  bool fail_reads = false;
  std::optional<int> write_result_override;
  std::optional<uint64_t> size_override;
  std::shared_ptr<int> destroyed_ = std::make_shared<int>(0);

 private:
  std::string data_;
  int chunk_;
  size_t read_pos_ = 0;
};

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    handles_before_ = win::OpenHandleCount();
  }
  void TearDown() override {
    win::HeapFailAfter(0);
    win::SetACPForTesting(win::CP_UTF8);
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(dir_, ec)) {
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
    EXPECT_EQ(win::OpenHandleCount(), handles_before_) << "a file handle was left open";
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  long handles_before_ = 0;
};

std::vector<int> Steps(int from, int to, int step) {
  std::vector<int> v;
  for (int p = from; p <= to; p += step) v.push_back(p);
  return v;
}

// ---- progress ----

TEST_F(StreamTest, FileStreamProgressEachStepOnceEndingAt100) {
  std::vector<int> seen;
  {
    tw::FileStream s;
    s.SetProgress([&](int p) { seen.push_back(p); }, 10);
    ASSERT_EQ(s.Open(P("p.bin").c_str(), tw::kStreamWrite, true, 2500), 0);
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(s.PutByte(static_cast<uint8_t>(i)), 0);
    EXPECT_EQ(seen, Steps(0, 100, 10));
  }
  EXPECT_EQ(seen, Steps(0, 100, 10)) << "no second 100 at destruction";

  seen.clear();
  {
    tw::FileStream s;
    s.SetProgress([&](int p) { seen.push_back(p); }, 10);
    ASSERT_EQ(s.Open(P("p.bin").c_str(), tw::kStreamRead, true, 0), 0);
    EXPECT_EQ(s.GetSize(), 2500u);
    char buf[97];
    while (s.Read(buf, sizeof buf) > 0) {
    }
  }
  EXPECT_EQ(seen, Steps(0, 100, 10));
}

TEST_F(StreamTest, ProgressStepNotDividing100EndsWithOne100) {
  std::vector<int> seen;
  {
    tw::FileStream s;
    s.SetProgress([&](int p) { seen.push_back(p); }, 30);
    ASSERT_EQ(s.Open(P("p.bin").c_str(), tw::kStreamWrite, true, 2500), 0);
    std::string data(2500, 'x');
    ASSERT_EQ(s.WriteText(data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(seen, (std::vector<int>{0, 30, 60, 90}));
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 30, 60, 90, 100}));
}

TEST_F(StreamTest, ProgressStopsAt100WhenMoreBytesThanTheSizeMove) {
  // A stated size far below what moves: the percentage would run to 10^6 and wrap a 16-bit
  // counter; the reports must still end, at one 100.
  std::vector<int> seen;
  tw::ByteString text;
  {
    tw::StringStream s(&text, [&](int p) { seen.push_back(p); }, 7);
    s.SetSize(10);
    std::string data(1000000, 'y');
    ASSERT_EQ(s.WriteText(data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(s.done(), 1000000u);
  }
  std::vector<int> want = Steps(0, 98, 7);
  want.push_back(100);
  EXPECT_EQ(seen, want);

  // The same with a caller's stream that delivers more than it said it had.
  seen.clear();
  TestCallerStream caller(std::string(50000, 'z'));
  caller.size_override = 3;
  {
    tw::StreamAdapter a(&caller, [&](int p) { seen.push_back(p); }, 1);
    char buf[1000];
    while (a.Read(buf, sizeof buf) > 0) {
    }
  }
  EXPECT_EQ(seen, Steps(0, 100, 1));
}

TEST_F(StreamTest, MemoryStreamsReport0AtOnceAndNothingMoreWhenIdle) {
  std::vector<int> seen;
  const char block[] = "abc";
  {
    tw::MemoryStream m(block, 3, [&](int p) { seen.push_back(p); }, 25);
    EXPECT_EQ(seen, (std::vector<int>{0}));
  }
  EXPECT_EQ(seen, (std::vector<int>{0})) << "no bytes moved, no final 100";

  seen.clear();
  {
    tw::MemoryStream m(block, 3, [&](int p) { seen.push_back(p); }, 25);
    char buf[2];
    EXPECT_EQ(m.Read(buf, 2), 2);
    EXPECT_EQ(seen, (std::vector<int>{0, 25, 50}));
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 25, 50, 75, 100}));

  // FinishProgress ahead of destruction does not repeat at destruction.
  seen.clear();
  {
    tw::MemoryStream m(block, 3, [&](int p) { seen.push_back(p); }, 50);
    char buf[1];
    m.Read(buf, 1);
    m.FinishProgress();
    m.FinishProgress();
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 50, 100}));
}

// ---- round trips ----

TEST_F(StreamTest, FileStreamRoundTripAcrossBufferRefills) {
  const std::string data = RandomBytes(1300000, 1);  // over the largest buffer
  {
    tw::FileStream s;
    ASSERT_EQ(s.Open(P("big.bin").c_str(), tw::kStreamWrite, true, 4000), 0);
    // Mixed bulk and single-byte writes.
    ASSERT_EQ(s.WriteText(data.data(), 700000), 0);
    for (size_t i = 700000; i < 700100; ++i) ASSERT_EQ(s.PutByte(static_cast<uint8_t>(data[i])), 0);
    ASSERT_EQ(s.WriteText(data.data() + 700100, static_cast<int>(data.size() - 700100)), 0);
    EXPECT_EQ(s.Flush(), 0);
  }
  EXPECT_EQ(testsupport::ReadFile(P("big.bin")), data);

  tw::FileStream s;
  ASSERT_EQ(s.Open(P("big.bin").c_str(), tw::kStreamRead, true, 0), 0);
  EXPECT_EQ(s.GetSize(), data.size());
  EXPECT_EQ(s.GetSizeLow(), static_cast<uint32_t>(data.size()));
  std::string back;
  std::vector<char> buf(65537);
  int n;
  while ((n = s.Read(buf.data(), static_cast<int>(buf.size()))) > 0) back.append(buf.data(), n);
  EXPECT_EQ(back, data);
  EXPECT_EQ(s.error(), 0);
}

TEST_F(StreamTest, MemoryAndStringStreamRoundTrips) {
  const std::string data = RandomBytes(5000, 2);
  std::vector<char> block(5000);
  {
    tw::MemoryStream m(block.data(), block.size());
    ASSERT_EQ(m.WriteText(data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(m.PutByte('!'), tw::kStreamMemoryFull);
    EXPECT_EQ(m.error(), tw::kStreamMemoryFull);
    EXPECT_EQ(m.Flush(), tw::kStreamMemoryFull);
  }
  EXPECT_EQ(std::string(block.data(), block.size()), data);
  {
    tw::MemoryStream m(static_cast<const void*>(block.data()), block.size());
    std::string back(6000, '\0');
    EXPECT_EQ(m.Read(back.data(), 3000), 3000);
    EXPECT_EQ(m.Read(back.data() + 3000, 3000), 2000);
    EXPECT_EQ(m.Read(back.data(), 1), 0);
    back.resize(5000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(m.PutByte('x'), tw::kStreamMemoryFull) << "a read-only block takes no writes";
  }

  tw::ByteString text;
  {
    tw::StringStream s(&text);
    ASSERT_EQ(s.WriteText(data.data(), static_cast<int>(data.size())), 0);
  }
  ASSERT_EQ(text.length(), 5000);
  EXPECT_EQ(std::string(text.data(), 5000), data);
  tw::StringStream r(&text);
  EXPECT_EQ(r.GetSize(), 5000u);
  std::string back(5000, '\0');
  EXPECT_EQ(r.Read(back.data(), 5000), 5000);
  EXPECT_EQ(back, data);
  char line[10];
  EXPECT_EQ(r.ReadLine(line, 9), 0) << "not supported: no bytes claimed";
  EXPECT_EQ(r.error(), tw::kStreamReadFailed);
}

TEST_F(StreamTest, StreamAdapterRoundTripWithShortCalls) {
  std::string data;
  for (int i = 0; i < 2000; ++i) data += "line " + std::to_string(i) + "\r\n";
  // Reads of at most 333 bytes split lines and CR LF pairs across calls.
  TestCallerStream caller(data, 333);
  tw::StreamAdapter a(&caller);
  EXPECT_EQ(a.GetSize(), data.size());
  a.set_binary(false);
  char line[64];
  for (int i = 0; i < 2000; ++i) {
    std::string want = "line " + std::to_string(i) + "\n";
    ASSERT_EQ(a.ReadLine(line, 63), static_cast<int>(want.size())) << i;
    ASSERT_EQ(std::string(line), want);
  }
  EXPECT_EQ(a.ReadLine(line, 63), 0);

  // Read after ReadLine serves the read-ahead first.
  TestCallerStream mixed("ab\ncdefgh", 4);
  tw::StreamAdapter m(&mixed);
  EXPECT_EQ(m.ReadLine(line, 63), 3);
  char rest[16];
  EXPECT_EQ(m.Read(rest, 16), 6);
  EXPECT_EQ(std::string(rest, 6), "cdefgh");

  // Writes go through in pieces until all is taken.
  TestCallerStream sink("", 7);
  tw::StreamAdapter w(&sink);
  EXPECT_EQ(w.WriteText(data.data(), static_cast<int>(data.size())), 0);
  EXPECT_EQ(sink.written, data);
  EXPECT_EQ(w.PutByte('x'), -1);
  EXPECT_EQ(w.NextPart(), -1);
  EXPECT_EQ(w.Open("x", tw::kStreamRead, true, 0), -1);
}

TEST_F(StreamTest, StreamAdapterWriteTextDoesNotSpinOnAStalledStream) {
  TestCallerStream stalled;
  stalled.write_result_override = 0;
  tw::StreamAdapter a(&stalled);
  EXPECT_EQ(a.WriteText("data", 4), -1);
  EXPECT_EQ(stalled.writes, 1);
  EXPECT_EQ(a.error(), tw::kStreamWriteFailed);

  TestCallerStream broken;
  broken.write_result_override = -5;
  tw::StreamAdapter b(&broken);
  EXPECT_EQ(b.WriteText("data", 4), -1);
  EXPECT_EQ(b.error(), tw::kStreamWriteFailed);

  // A read failure keeps what was read and sets 5.
  TestCallerStream failing("abc");
  failing.fail_reads = true;
  tw::StreamAdapter c(&failing);
  char buf[4];
  EXPECT_EQ(c.Read(buf, 4), 0);
  EXPECT_EQ(c.error(), tw::kStreamReadFailed);
}

TEST_F(StreamTest, StreamAdapterClosesAndDestroysOnlyWhatItOwns) {
  auto owned = std::make_unique<TestCallerStream>("x");
  auto destroyed = owned->destroyed_;
  TestCallerStream* raw = owned.get();
  {
    tw::StreamAdapter a(std::move(owned));
    EXPECT_EQ(raw->closes, 0);
  }
  EXPECT_EQ(*destroyed, 1);

  TestCallerStream borrowed("x");
  {
    tw::StreamAdapter a(&borrowed);
    a.Close();
  }
  EXPECT_EQ(borrowed.closes, 0);
  EXPECT_EQ(*borrowed.destroyed_, 0);
}

// ---- text mode ----

TEST_F(StreamTest, TextModeWritesCrLfAndReadsItBackAsLf) {
  {
    tw::FileStream s;
    ASSERT_EQ(s.Open(P("t.txt").c_str(), tw::kStreamWrite, false, 0), 0);
    ASSERT_EQ(s.WriteText("a\nb", 0), 0);
  }
  EXPECT_EQ(testsupport::ReadFile(P("t.txt")), "a\r\nb");

  testsupport::WriteFile(P("lines.txt"), "one\r\ntwo\nthree\x1A");
  tw::FileStream s;
  ASSERT_EQ(s.Open(P("lines.txt").c_str(), tw::kStreamRead, false, 0), 0);
  char line[32];
  EXPECT_EQ(s.ReadLine(line, 31), 4);
  EXPECT_STREQ(line, "one\n");
  EXPECT_EQ(s.ReadLine(line, 31), 4);
  EXPECT_STREQ(line, "two\n");
  EXPECT_EQ(s.ReadLine(line, 31), 5) << "a final Ctrl-Z is not part of the text";
  EXPECT_STREQ(line, "three");
  EXPECT_EQ(s.ReadLine(line, 31), 0);

  // A line longer than n comes in pieces of n, each NUL-terminated in n + 1 bytes.
  tw::FileStream t;
  ASSERT_EQ(t.Open(P("lines.txt").c_str(), tw::kStreamRead, true, 0), 0);
  char small[4];
  EXPECT_EQ(t.ReadLine(small, 3), 3);
  EXPECT_STREQ(small, "one");
  EXPECT_EQ(t.ReadLine(small, 3), 2);
  EXPECT_STREQ(small, "\r\n") << "binary mode keeps CR LF";

  // Memory streams: text mode after Open; ReadLine stops after an LF or a NUL, within n - 1.
  char block[16] = {};
  tw::MemoryStream m(block, 5);
  m.Open(nullptr, tw::kStreamWrite, false, 0);
  EXPECT_EQ(m.WriteText("x\ny\n", 0), tw::kStreamMemoryFull);
  EXPECT_EQ(std::string(block, 5), "x\r\ny\r");
  const char text[] = "ab\r\ncd\0ef";
  tw::MemoryStream r(text, sizeof text - 1);
  r.Open(nullptr, tw::kStreamRead, false, 0);
  EXPECT_EQ(r.ReadLine(line, 31), 3);
  EXPECT_STREQ(line, "ab\n");
  EXPECT_EQ(r.ReadLine(line, 31), 3);
  EXPECT_STREQ(line, "cd");
  EXPECT_EQ(r.ReadLine(line, 2), 1);
  EXPECT_STREQ(line, "e");
}

// ---- part files ----

TEST_F(StreamTest, PartFilesAreNumberedWrittenAndReadAsOneStream) {
  int counter = 7;
  {
    tw::FileStream s;
    s.SetPartFiles(&counter, 1);
    ASSERT_EQ(s.Open(P("part???.txt").c_str(), tw::kStreamWrite, true, 0), 0);
    EXPECT_EQ(std::string(s.current_name().c_str()), P("part007.B64"));
    ASSERT_EQ(s.WriteText("first-", 0), 0);
    ASSERT_EQ(s.NextPart(), 0);
    ASSERT_EQ(s.WriteText("second-", 0), 0);
    ASSERT_EQ(s.NextPart(), 0);
    ASSERT_EQ(s.WriteText("third", 0), 0);
  }
  EXPECT_EQ(counter, 9);
  EXPECT_EQ(testsupport::ReadFile(P("part007.B64")), "first-");
  EXPECT_EQ(testsupport::ReadFile(P("part008.B64")), "second-");
  EXPECT_EQ(testsupport::ReadFile(P("part009.B64")), "third");

  counter = 7;
  std::vector<int> seen;
  {
    tw::FileStream s;
    s.SetPartFiles(&counter, 1);
    s.SetProgress([&](int p) { seen.push_back(p); }, 50);
    ASSERT_EQ(s.Open(P("part???.txt").c_str(), tw::kStreamRead, true, 0), 0);
    EXPECT_EQ(s.GetSize(), 18u) << "the size of all parts";
    EXPECT_EQ(counter, 7) << "back at the first part";
    char buf[64];
    int n = s.Read(buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "first-second-third");
    EXPECT_EQ(s.Read(buf, sizeof buf), 0);
    EXPECT_EQ(s.error(), 0) << "the missing next part ends the stream without error";
    EXPECT_EQ(counter, 9);
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 50, 100}));

  // Extensions by format; without a counter "?" stays in the name (and the platform refuses it).
  int c2 = 0;
  tw::FileStream u;
  u.SetPartFiles(&c2, 0);
  ASSERT_EQ(u.Open(P("u??").c_str(), tw::kStreamWrite, true, 0), 0);
  EXPECT_EQ(std::string(u.current_name().c_str()), P("u00.UUE"));
  u.Close();
  tw::FileStream q;
  q.SetPartFiles(&c2, 3);
  ASSERT_EQ(q.Open(P("q?").c_str(), tw::kStreamWrite, true, 0), 0);
  EXPECT_EQ(std::string(q.current_name().c_str()), P("q0.Q_P"));
  q.Close();
  tw::FileStream plain;
  EXPECT_EQ(plain.Open(P("p???").c_str(), tw::kStreamWrite, true, 0), tw::kStreamCreateFailed);
  EXPECT_EQ(plain.NextPart(), tw::kStreamEnd);
}

// ---- open failures ----

TEST_F(StreamTest, FileStreamOpenFailures) {
  tw::FileStream s;
  std::string longname = P(std::string(1030, 'n'));
  EXPECT_EQ(s.Open(longname.c_str(), tw::kStreamWrite, true, 0), tw::kStreamNameTooLong);
  EXPECT_EQ(s.Open(P("missing").c_str(), tw::kStreamRead, true, 0), tw::kStreamOpenReadFailed);
  testsupport::WriteFile(P("exists"), "keep");
  EXPECT_EQ(s.Open(P("exists").c_str(), tw::kStreamWrite, true, 0), tw::kStreamCreateFailed);
  EXPECT_EQ(testsupport::ReadFile(P("exists")), "keep");
  EXPECT_EQ(s.PutByte('x'), -1) << "-1 while an error is set";
  s.set_overwrite(true);
  ASSERT_EQ(s.Open(P("exists").c_str(), tw::kStreamWrite, true, 0), 0);
  EXPECT_EQ(s.WriteText("new", 0), 0);
  EXPECT_EQ(s.Close(), 0);
  EXPECT_EQ(testsupport::ReadFile(P("exists")), "new");
}

TEST_F(StreamTest, FileStreamBufferHalvesUnderMemoryPressure) {
  // The first try of the 512 KB buffer fails; half of it serves.
  tw::FileStream s;
  win::HeapFailAfter(1);
  ASSERT_EQ(s.Open(P("m.bin").c_str(), tw::kStreamWrite, true, 0x80000), 0);
  win::HeapFailAfter(0);
  std::string data = RandomBytes(600000, 3);
  ASSERT_EQ(s.WriteText(data.data(), static_cast<int>(data.size())), 0);
  s.Close();
  EXPECT_EQ(testsupport::ReadFile(P("m.bin")), data);

  // Nothing at or above 2048 bytes to be had: 200, and no empty file left behind.
  tw::FileStream t;
  win::HeapFailAfter(1);
  EXPECT_EQ(t.Open(P("none.bin").c_str(), tw::kStreamWrite, true, 1024), tw::kErrOutOfMemory);
  win::HeapFailAfter(0);
  EXPECT_FALSE(fs::exists(P("none.bin")));
}

// ---- FileHandle and the file functions ----

TEST_F(StreamTest, FileHandleCodesForMissingFilesAndBadPaths) {
  tw::FileHandle f;
  char buf[16];
  size_t got = 0;
  EXPECT_EQ(f.Read(buf, 1), tw::kFileNotOpen);
  EXPECT_EQ(f.ReadSome(buf, 1, &got), tw::kFileNotOpen);
  EXPECT_EQ(f.Write("x", 1), tw::kFileNotOpen);
  EXPECT_EQ(f.GetSize(), -1);
  EXPECT_EQ(f.Seek(0, win::FILE_BEGIN), -1);
  EXPECT_EQ(f.Close(), 0);

  EXPECT_EQ(f.OpenReadText(P("missing").c_str(), 0, 0), tw::kFileOpenReadFailed);
  EXPECT_EQ(f.OpenReadText(P("no/dir/x").c_str(), 0, 0), tw::kFileOpenReadFailed);
  EXPECT_EQ(f.OpenWriteText(P("no/dir/x").c_str(), 0, 0), tw::kFileOpenWriteFailed);
  EXPECT_EQ(f.OpenWriteText(P("bad|name").c_str(), 0, 0), tw::kFileOpenWriteFailed);
  EXPECT_EQ(f.OpenWriteText(P("missing").c_str(), 5, 0), tw::kFileOpenWriteFailed);
  EXPECT_EQ(f.OpenAppendText(P("no/dir/x").c_str()), tw::kFileOpenWriteFailed);
  EXPECT_FALSE(f.IsOpen());

  testsupport::WriteFile(P("four"), "1234");
  EXPECT_EQ(f.OpenReadText(P("four").c_str(), -1, 0), tw::kFileSeekFailed);
  EXPECT_FALSE(f.IsOpen()) << "a failed open leaves no handle";
  ASSERT_EQ(f.OpenReadText(P("four").c_str(), 1, 0), 0);
  EXPECT_EQ(f.ReadSome(buf, 16, &got), 0);
  EXPECT_EQ(std::string(buf, got), "234");
  ASSERT_EQ(f.OpenReadText(P("four").c_str(), 0, 0), 0);
  EXPECT_EQ(f.Read(buf, 10), tw::kFileShortRead);
  EXPECT_FALSE(f.IsOpen()) << "a short read closes the handle";

  // A write failure closes the handle too.
  ASSERT_EQ(f.OpenReadText(P("four").c_str(), 0, 0), 0);
  EXPECT_EQ(f.Write("x", 1), tw::kFileWriteFailed);
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(StreamTest, FileHandleWriteResumeAppendAndAttributes) {
  tw::FileHandle f;
  ASSERT_EQ(f.OpenWriteText(P("w").c_str(), 0, 0), 0);
  ASSERT_EQ(f.Write("hello world", 11), 0);
  EXPECT_EQ(f.GetSize(), 11);
  f.Close();
  // Resume at an offset keeps what is there.
  ASSERT_EQ(f.OpenWriteText(P("w").c_str(), 6, 0), 0);
  ASSERT_EQ(f.Write("WORLD!", 6), 0);
  f.Close();
  EXPECT_EQ(testsupport::ReadFile(P("w")), "hello WORLD!");
  // Without an offset: truncated.
  ASSERT_EQ(f.OpenWriteText(P("w").c_str(), 0, 0), 0);
  f.Close();
  EXPECT_EQ(testsupport::ReadFile(P("w")), "");

  ASSERT_EQ(f.OpenAppendText(P("a").c_str()), 0);
  ASSERT_EQ(f.Write("one\n", 4), 0);
  f.Close();
  ASSERT_EQ(f.OpenAppendText(P("a").c_str()), 0);
  ASSERT_EQ(f.Write("two\n", 4), 0);
  f.Close();
  EXPECT_EQ(testsupport::ReadFile(P("a")), "one\ntwo\n");

  tw::FilePath path;
  ASSERT_EQ(path.SetText(P("ro").c_str(), 0), 0);
  ASSERT_EQ(f.CreateWithAttributes(path, win::FILE_ATTRIBUTE_READONLY), 0);
  ASSERT_EQ(f.Write("r", 1), 0);
  f.Close();
  EXPECT_EQ(tw::GetFileAttributeFlags(P("ro").c_str(), 0), 33u);  // read-only, archive
  EXPECT_NE(tw::DeleteFileByName(P("ro").c_str(), 0), 0);
  EXPECT_EQ(f.OpenWrite(path, 0), tw::kFileOpenWriteFailed);
  EXPECT_EQ(tw::ClearReadOnly(P("ro").c_str(), 0), 0);
  EXPECT_EQ(tw::GetFileAttributeFlags(P("ro").c_str(), 0), 32u);
  EXPECT_EQ(f.OpenAppend(path), 0);
  EXPECT_EQ(f.Seek(0, win::FILE_CURRENT), 1);
  f.Close();
  EXPECT_EQ(tw::DeleteFileByName(P("ro").c_str(), 0), 0);
  EXPECT_EQ(tw::DeleteFileByName(P("ro").c_str(), 0), 2) << "the platform error";

  ASSERT_TRUE(fs::create_directory(P(".hid")));
  EXPECT_EQ(tw::GetFileAttributeFlags(P(".hid").c_str(), 0), 18u);
  EXPECT_EQ(tw::GetFileAttributeFlags(P("nothing").c_str(), 0), 0u);
}

TEST_F(StreamTest, WideAndUtf8FileNames) {
  // A UTF-8 name with high bytes goes through the wide calls; with a code page, the name is in it.
  const std::string utf8 = P("caf\xC3\xA9 \xE2\x82\xAC.txt");
  tw::FileHandle f;
  ASSERT_EQ(f.OpenWriteText(utf8.c_str(), 0, 0), 0);
  ASSERT_EQ(f.Write("u", 1), 0);
  f.Close();
  EXPECT_EQ(testsupport::ReadFile(utf8), "u");

  // Under a 1252 ANSI code page the UTF-8 name still means the same file...
  win::SetACPForTesting(1252);
  EXPECT_TRUE(tw::FileExists(utf8.c_str()));
  EXPECT_EQ(tw::GetFileSizeByName(utf8.c_str(), 0), 1u);
  // ...and the 1252 bytes of the name reach it through code page 1252.
  const std::string latin = P("caf\xE9 \x80.txt");
  EXPECT_EQ(tw::GetFileSizeByName(latin.c_str(), 1252), 1u);
  ASSERT_EQ(f.OpenReadText(latin.c_str(), 0, 1252), 0);
  f.Close();
  EXPECT_EQ(tw::DeleteFileByName(latin.c_str(), 1252), 0);
  win::SetACPForTesting(win::CP_UTF8);
  EXPECT_FALSE(fs::exists(utf8));

  // A FileStream names its file in its code page.
  {
    tw::FileStream s;
    s.set_code_page(1252);
    ASSERT_EQ(s.Open(latin.c_str(), tw::kStreamWrite, true, 0), 0);
    s.WriteText("s", 0);
  }
  EXPECT_EQ(testsupport::ReadFile(utf8), "s");

  // Not valid UTF-8 in code page 65001: refused rather than opened under a mangled name.
  EXPECT_EQ(f.OpenWriteText(P("bad\xC3").c_str(), 0, 65001), tw::kFileOpenWriteFailed);
}

TEST_F(StreamTest, Utf8PathToWideAcceptsOnlyExactUtf8) {
  tw::ByteString wide;
  EXPECT_FALSE(tw::Utf8PathToWide("plain.txt", wide)) << "no byte above 127";
  ASSERT_TRUE(tw::Utf8PathToWide("d\xC3\xA9j\xC3\xA0 \xF0\x9F\x98\x80", wide));
  const std::u16string want = u"d\u00e9j\u00e0 \U0001F600";
  ASSERT_EQ(wide.length(), static_cast<int>((want.size() + 1) * 2));
  EXPECT_EQ(std::u16string(wide.wide()), want);
  EXPECT_FALSE(tw::Utf8PathToWide("caf\xE9", wide)) << "Latin-1, not UTF-8";
  EXPECT_FALSE(tw::Utf8PathToWide("\xC0\xAF", wide)) << "overlong";
  EXPECT_FALSE(tw::Utf8PathToWide("\xED\xA0\x80", wide)) << "encoded surrogate";
  EXPECT_FALSE(tw::Utf8PathToWide("trunc\xE2\x82", wide));
  EXPECT_FALSE(tw::Utf8PathToWide(nullptr, wide));
}

TEST_F(StreamTest, FilePathForms) {
  tw::FilePath wide;
  ASSERT_EQ(wide.SetWide(u"/tmp/\u65e5\u672c.txt"), 0);
  EXPECT_TRUE(wide.is_wide());
  EXPECT_EQ(wide.Length(), 11);
  EXPECT_STREQ(wide.Utf8(), "/tmp/\xE6\x97\xA5\xE6\x9C\xAC.txt");
  EXPECT_EQ(wide.Utf8(), wide.Utf8()) << "made once";

  tw::FilePath narrow;
  ASSERT_EQ(narrow.SetNarrow("/tmp/a.txt"), 0);
  EXPECT_FALSE(narrow.is_wide());
  EXPECT_EQ(narrow.Length(), 10);
  EXPECT_STREQ(narrow.Utf8(), "/tmp/a.txt");

  tw::FilePath from_text;
  ASSERT_EQ(from_text.SetText("caf\xE9", 1252), 0);
  EXPECT_TRUE(from_text.is_wide());
  EXPECT_STREQ(from_text.Utf8(), "caf\xC3\xA9");
  ASSERT_EQ(from_text.SetText("ascii", 0), 0);
  EXPECT_FALSE(from_text.is_wide());

  tw::FilePath empty;
  ASSERT_EQ(empty.SetWide(u""), 0);
  EXPECT_EQ(empty.Length(), 0);

  // Opening by either form reaches the same file.
  testsupport::WriteFile(P("\xE6\x97\xA5.bin"), "jp");
  tw::FilePath jp;
  ASSERT_EQ(jp.SetText(P("\xE6\x97\xA5.bin").c_str(), 0), 0);
  EXPECT_TRUE(jp.is_wide());
  tw::FileHandle f;
  ASSERT_EQ(f.OpenRead(jp, 1), 0);
  char c;
  ASSERT_EQ(f.Read(&c, 1), 0);
  EXPECT_EQ(c, 'p');
}

TEST_F(StreamTest, TemporaryFiles) {
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", dir_.c_str(), 1);

  tw::ByteString name1, name2;
  ASSERT_EQ(tw::MakeTempFileName(name1, "tmp", "", 0), 0);
  ASSERT_EQ(tw::MakeTempFileName(name2, "tmp", "", 0), 0);
  std::string n1(name1.c_str()), n2(name2.c_str());
  EXPECT_NE(n1, n2);
  EXPECT_EQ(n1.rfind(dir_ + "/tmp", 0), 0u) << n1;
  EXPECT_TRUE(fs::is_regular_file(n1));

  // In a named folder, also one whose name needs the wide calls.
  ASSERT_TRUE(fs::create_directory(P("\xC3\xBC")));
  tw::ByteString in_folder;
  ASSERT_EQ(tw::MakeTempFileName(in_folder, "tmp", P("\xC3\xBC").c_str(), 0), 0);
  EXPECT_EQ(std::string(in_folder.c_str()).rfind(P("\xC3\xBC/tmp"), 0), 0u) << in_folder.c_str();
  EXPECT_TRUE(fs::is_regular_file(in_folder.c_str()));
  tw::ByteString in_1252;
  ASSERT_EQ(tw::MakeTempFileName(in_1252, "tmp", P("\xFC").c_str(), 1252), 0);
  EXPECT_EQ(std::string(in_1252.c_str()).rfind(P("\xFC/tmp"), 0), 0u) << "converted back to 1252";

  // Errors: no such folder; a temporary folder too long for the platform.
  tw::ByteString none;
  EXPECT_EQ(tw::MakeTempFileName(none, "tmp", P("missing").c_str(), 0), tw::kFileNoTempName);
  std::string deep = "/" + std::string(300, 'd');
  setenv("TMPDIR", deep.c_str(), 1);
  EXPECT_EQ(tw::MakeTempFileName(none, "tmp", "", 0), tw::kFileNoTempFolder);

  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST_F(StreamTest, ExistenceAndDirectories) {
  testsupport::WriteFile(P("f"), "12345");
  EXPECT_TRUE(tw::FileExists(P("f").c_str()));
  EXPECT_FALSE(tw::FileExists(P("g").c_str()));
  EXPECT_TRUE(tw::PathExists(P("f").c_str()));
  EXPECT_FALSE(tw::PathExists(P("g").c_str()));
  EXPECT_FALSE(tw::PathExists(P("g/h").c_str()));
  EXPECT_FALSE(tw::PathExists(P("bad?").c_str()));
  EXPECT_EQ(tw::GetFileSizeByName(P("f").c_str(), 0), 5u);
  EXPECT_EQ(tw::GetFileSizeByName(P("g").c_str(), 0), 0u);

  // A file held open without sharing cannot be opened for reading meanwhile.
  {
    tw::FileStream writer;
    ASSERT_EQ(writer.Open(P("busy").c_str(), tw::kStreamWrite, true, 0), 0);
    EXPECT_FALSE(tw::FileExists(P("busy").c_str()));
    EXPECT_TRUE(tw::PathExists(P("busy").c_str()));
  }
  EXPECT_TRUE(tw::FileExists(P("busy").c_str()));

  tw::ByteString text;
  ASSERT_EQ(tw::ReadFileToString(P("f").c_str(), text), 0);
  EXPECT_EQ(std::string(text.c_str()), "12345");
  EXPECT_EQ(tw::ReadFileToString(P("g").c_str(), text), tw::kFileOpenReadFailed);

  EXPECT_EQ(tw::CreateDirectoryByName(P("d").c_str(), 0), 0);
  EXPECT_TRUE(fs::is_directory(P("d")));
  EXPECT_EQ(tw::CreateDirectoryByName(P("d").c_str(), 0), 0) << "already there";
  EXPECT_EQ(tw::CreateDirectoryByName(P("f").c_str(), 0), 183) << "a file in the way";
  EXPECT_EQ(tw::CreateDirectoryByName(P("x/y").c_str(), 0), 3);

  tw::ByteString error;
  EXPECT_EQ(tw::CreatePathDirectories(P("a\\b/c/file.txt").c_str(), 0, &error), 0);
  EXPECT_TRUE(fs::is_directory(P("a/b/c")));
  EXPECT_FALSE(fs::exists(P("a/b/c/file.txt")));
  EXPECT_EQ(tw::CreatePathDirectories(P("a/b/e/").c_str(), 0, &error), 0);
  EXPECT_TRUE(fs::is_directory(P("a/b/e")));
  EXPECT_EQ(tw::CreatePathDirectories(P("f/sub/file").c_str(), 0, &error),
            tw::kFileCannotCreateDirectory);
  EXPECT_EQ(std::string(error.c_str()), "Could not create directory \"" + P("f") + "\".");
}

TEST_F(StreamTest, PathExistsIsTrueWhenTheQueryIsDenied) {
  ASSERT_TRUE(fs::create_directory(P("locked")));
  testsupport::WriteFile(P("locked/f"), "x");
  ASSERT_EQ(chmod(P("locked").c_str(), 0), 0);
  // Denied (as a user) or visible (as root): either way the name is not plainly absent.
  EXPECT_TRUE(tw::PathExists(P("locked/f").c_str()));
}

TEST_F(StreamTest, SlashHelpers) {
  tw::ByteString out;
  ASSERT_EQ(tw::NormalizeSlashes("a/b\\c/", out), 0);
  EXPECT_STREQ(out.c_str(), "a\\b\\c\\");
  EXPECT_TRUE(tw::EndsWithPathSeparator(out));
  out.SetText("dir/");
  EXPECT_TRUE(tw::EndsWithPathSeparator(out));
  out.SetText("dir");
  EXPECT_FALSE(tw::EndsWithPathSeparator(out));
  out.SetText("");
  EXPECT_FALSE(tw::EndsWithPathSeparator(out));
}

// ---- writing extracted files ----

class RecordingOwner : public tw::ExtractOwner {
 public:
  bool ConfirmOverwrite(tw::ByteString& name) override {
    asked.push_back(name.c_str());
    if (!rename_to.empty()) name.SetText(rename_to.c_str());
    return overwrite;
  }
  bool ReportError(int code, const char* text) override {
    errors.push_back(std::to_string(code) + " " + text);
    return go_on;
  }
  bool OverwriteReadOnly() const override { return overwrite_read_only; }

  bool overwrite = true, go_on = false, overwrite_read_only = false;
  std::string rename_to;
  std::vector<std::string> asked, errors;
};

TEST_F(StreamTest, EnsureWritableAsksTheOwner) {
  RecordingOwner owner;
  tw::ByteString name(P("new.txt").c_str());
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), 0);
  EXPECT_TRUE(owner.asked.empty()) << "nothing to ask about a new file";
  EXPECT_TRUE(fs::exists(P("new.txt"))) << "created once to prove it can be written";

  testsupport::WriteFile(P("old.txt"), "old");
  owner.overwrite = false;
  name.SetText(P("old.txt").c_str());
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), tw::kFileSkip);
  EXPECT_EQ(owner.asked, std::vector<std::string>{P("old.txt")});
  EXPECT_EQ(testsupport::ReadFile(P("old.txt")), "old") << "declined: untouched";

  // The owner may write elsewhere instead.
  owner.overwrite = true;
  owner.rename_to = P("other.txt");
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), 0);
  EXPECT_STREQ(name.c_str(), P("other.txt").c_str());
  EXPECT_EQ(testsupport::ReadFile(P("old.txt")), "old");
  owner.rename_to.clear();

  // Read-only: an error the owner may pass, or cleared under the switch.
  ASSERT_EQ(chmod(P("old.txt").c_str(), 0444), 0);
  name.SetText(P("old.txt").c_str());
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), tw::kFileExtractFailed);
  ASSERT_EQ(owner.errors.size(), 1u);
  EXPECT_EQ(owner.errors[0], "112 File " + P("old.txt") + " exists and is readonly.");
  owner.overwrite_read_only = true;
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), 0);
  EXPECT_EQ(tw::GetFileAttributeFlags(P("old.txt").c_str(), 0), 32u);

  // A file that cannot be created.
  owner.errors.clear();
  name.SetText(P("no/dir/f").c_str());
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), tw::kFileExtractFailed);
  EXPECT_EQ(owner.errors, std::vector<std::string>{"112 Unable to write file: " + P("no/dir/f")});
  owner.go_on = true;
  EXPECT_EQ(tw::EnsureWritable(name, 0, owner), tw::kFileSkip);
}

// ---- FileOrStream ----

TEST_F(StreamTest, FileOrStreamUsesTheFileWhenOpenElseTheStream) {
  const std::string data = RandomBytes(10000, 4);
  tw::FileOrStream fos;
  EXPECT_FALSE(fos.IsOpen());
  EXPECT_EQ(fos.GetSize(), 0u);
  char buf[16];
  EXPECT_EQ(fos.ReadAll(buf, 1), tw::kFileNotOpen);

  auto file = std::make_unique<tw::FileHandle>();
  ASSERT_EQ(file->OpenWriteText(P("fos").c_str(), 0, 0), 0);
  fos.SetFile(std::move(file));
  TestCallerStream unused;
  fos.SetStream(&unused, false);
  ASSERT_EQ(fos.WriteAll(data.data(), data.size()), 0);
  EXPECT_EQ(fos.GetSize(), data.size());
  EXPECT_EQ(unused.writes, 0) << "the file wins";
  EXPECT_EQ(fos.Close(), 0);
  EXPECT_EQ(testsupport::ReadFile(P("fos")), data);

  // With the file closed, the caller's stream serves, in short pieces.
  auto* caller = new TestCallerStream(data, 999);
  auto destroyed = caller->destroyed_;
  fos.SetStream(caller, true);
  EXPECT_EQ(fos.GetSize(), data.size());
  std::string back(data.size(), '\0');
  ASSERT_EQ(fos.ReadAll(back.data(), back.size()), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(fos.ReadAll(buf, 1), tw::kFileShortRead);
  EXPECT_EQ(fos.Seek(10, tw::kSeekBegin), 10);
  size_t got = 0;
  ASSERT_EQ(fos.ReadSome(buf, 16, &got), 0);
  EXPECT_EQ(std::string(buf, got), data.substr(10, 16));
  ASSERT_EQ(fos.WriteAll("abc", 3), 0);
  EXPECT_EQ(caller->written, "abc");
  caller->write_result_override = 0;
  EXPECT_EQ(fos.WriteAll("abc", 3), tw::kFileWriteFailed) << "a stalled stream is a failure";
  EXPECT_EQ(caller->writes, 2);
  caller->fail_reads = true;
  EXPECT_EQ(fos.ReadAll(buf, 1), tw::kFileReadFailed);
  EXPECT_EQ(fos.ReadSome(buf, 1, &got), tw::kFileReadFailed);
  EXPECT_EQ(fos.Close(), 0);
  EXPECT_EQ(*destroyed, 1) << "an owned stream goes with Close";
  EXPECT_FALSE(fos.IsOpen());
}

// Two transfers to one file at once each keep their own temporary file, and each complete
// content lands whole.
TEST_F(StreamTest, ReplacementsOfOneFileDoNotShareATemporaryFile) {
  testsupport::WriteFile(P("f.bin"), "old");
  setenv("TMPDIR", dir_.c_str(), 1);
  tw::FilePath target;
  ASSERT_EQ(target.SetNarrow(P("f.bin").c_str()), 0);
  tw::FileReplacement both[2];
  tw::ByteString error;
  for (auto& r : both) ASSERT_EQ(r.Begin(target, &error), 0) << error.c_str();
  for (const char* content : {"first", "second"}) testsupport::WriteFile(both[content[0] == 's'].temp().Utf8(), content);
  for (const char* content : {"first", "second"}) {
    ASSERT_EQ(both[content[0] == 's'].Commit(&error), 0) << error.c_str();
    EXPECT_EQ(testsupport::ReadFile(P("f.bin")), content);
  }
  unsetenv("TMPDIR");
}

}  // namespace
