#include "foundation/debug_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "foundation/component_base.h"
#include "platform/time.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

std::string GoldenPath(const char* name) {
  return std::string(TW_SOURCE_DIR) + "/tests/foundation/data/" + name;
}

// Splits at CR LF; fails the test on a bare CR or LF.
std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare CR or LF in: " << line;
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

std::string FormatTime(const win::SYSTEMTIME& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

class DebugLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    path_ = dir_ + "/debug.log";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

  std::string dir_;
  std::string path_;
};

// Every line that starts with the prefix gets it checked (instance number, local time between
// the two readings) and replaced by a fixed mask, so the rest compares byte for byte.
std::string MaskPrefixes(const std::string& text, int64_t instance, const std::string& earliest,
                         const std::string& latest) {
  static const std::regex prefix(R"(^\[(\d+)\]\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})\] )");
  std::string masked;
  std::vector<std::string> lines = SplitCrLf(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    std::smatch m;
    if (std::regex_search(line, m, prefix)) {
      EXPECT_EQ(m[1].str(), std::to_string(instance));
      EXPECT_LE(earliest, m[2].str());
      EXPECT_LE(m[2].str(), latest);
      line = "[#][####/##/## ##:##:##] " + m.suffix().str();
    } else {
      EXPECT_TRUE(line.empty() || line.rfind("    ", 0) == 0) << "unexpected line: " << line;
    }
    masked += line;
    if (i + 1 < lines.size()) masked += "\n";
  }
  return masked;
}

TEST_F(DebugLogFileTest, LinesAndBlocksMatchGolden) {
  ComponentBase c;
  ASSERT_EQ(c.ConfigText(("LogDebugFile=" + path_).c_str(), nullptr), 0);
  win::SYSTEMTIME before{};
  win::GetLocalTime(&before);

  EXPECT_EQ(c.LogFileLine("ret_setsockopt_CaptureIPPacketInfo=0"), 0);
  const char data[] = "Hello, World!\x00\x7f\x80\xff";
  static_assert(sizeof data - 1 == 17);
  EXPECT_EQ(c.LogFileData("SEND", data, 17), 0);
  EXPECT_EQ(c.LogFileData("RECEIVE", nullptr, 0), 0);
  EXPECT_EQ(c.LogFileLine(nullptr), 0);

  win::SYSTEMTIME after{};
  win::GetLocalTime(&after);
  std::string text = testsupport::ReadFile(path_);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  std::string golden = testsupport::ReadFile(GoldenPath("debug_log_golden.txt"));
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(MaskPrefixes(text, c.instance_number(), FormatTime(before), FormatTime(after)),
            golden);
}

TEST_F(DebugLogFileTest, SeventeenBytesGiveTwoDumpLinesOfEightyOneCharacters) {
  ComponentBase c;
  ASSERT_EQ(c.SetLogFile(path_.c_str()), 0);
  std::string data(17, '\x41');
  ASSERT_EQ(c.LogFileData("SEND", data.data(), 17), 0);
  std::vector<std::string> lines = SplitCrLf(testsupport::ReadFile(path_));
  ASSERT_EQ(lines.size(), 4u);  // header, two dump lines, the empty rest after the final CR LF
  EXPECT_EQ(lines[1].size(), 81u);
  EXPECT_EQ(lines[2].size(), 81u);
  EXPECT_EQ(lines[2], "    00000010  41" + std::string(1 + 15 * 3 + 3, ' ') + "A" +
                          std::string(15, ' '));
  EXPECT_EQ(lines[3], "");
}

TEST_F(DebugLogFileTest, LargeBlockMatchesAnIndependentDump) {
  if (!testsupport::HavePython()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  }
  std::string data;
  for (int i = 0; i < 517; ++i) data.push_back(static_cast<char>((i * 7 + 3) & 0xFF));
  ComponentBase c;
  ASSERT_EQ(c.SetLogFile(path_.c_str()), 0);
  ASSERT_EQ(c.LogFileData("SEND", data.data(), static_cast<int>(data.size())), 0);
  std::string text = testsupport::ReadFile(path_);
  size_t header_end = text.find("\r\n");
  ASSERT_NE(header_end, std::string::npos);
  EXPECT_NE(text.substr(0, header_end).find("] ------SEND------(517 bytes)"), std::string::npos);

  const char* script =
      "import sys\n"
      "d = sys.stdin.buffer.read()\n"
      "out = []\n"
      "for o in range(0, len(d), 16):\n"
      "    r = d[o:o+16]\n"
      "    h = ''.join('%02X ' % b for b in r).ljust(48)\n"
      "    t = ''.join(chr(b) if 32 <= b <= 126 else '.' for b in r).ljust(16)\n"
      "    out.append('    %08X  ' % o + h + '   ' + t)\n"
      "sys.stdout.write('\\r\\n'.join(out) + '\\r\\n')\n";
  std::string script_path = dir_ + "/dump.py";
  {
    FILE* f = std::fopen(script_path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(script, f);
    std::fclose(f);
  }
  int status = -1;
  std::string expected = testsupport::RunCommand(std::string(testsupport::kPython) + " '" + script_path + "'", data, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(text.substr(header_end + 2), expected);
  EXPECT_EQ(SplitCrLf(expected).size(), 34u);  // 33 lines of 16 and the empty rest
}

TEST_F(DebugLogFileTest, WritersAppendToOneSharedFile) {
  ComponentBase first;
  ComponentBase second;
  ASSERT_NE(first.instance_number(), second.instance_number());
  ASSERT_EQ(first.SetLogFile(path_.c_str()), 0);
  ASSERT_EQ(second.SetLogFile(path_.c_str()), 0);
  EXPECT_EQ(first.LogFileLine("one"), 0);
  EXPECT_EQ(second.LogFileLine("two"), 0);
  EXPECT_EQ(first.LogFileLine("three"), 0);
  std::vector<std::string> lines = SplitCrLf(testsupport::ReadFile(path_));
  ASSERT_EQ(lines.size(), 4u);
  const std::string tag1 = "[" + std::to_string(first.instance_number()) + "][";
  const std::string tag2 = "[" + std::to_string(second.instance_number()) + "][";
  EXPECT_EQ(lines[0].rfind(tag1, 0), 0u);
  EXPECT_EQ(lines[1].rfind(tag2, 0), 0u);
  EXPECT_EQ(lines[2].rfind(tag1, 0), 0u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 5), "] one");
  EXPECT_EQ(lines[1].substr(lines[1].size() - 5), "] two");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 7), "] three");
}

TEST_F(DebugLogFileTest, ExistingContentIsKept) {
  {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("earlier\r\n", f);
    std::fclose(f);
  }
  ComponentBase c;
  ASSERT_EQ(c.SetLogFile(path_.c_str()), 0);
  ASSERT_EQ(c.LogFileLine("later"), 0);
  std::string text = testsupport::ReadFile(path_);
  EXPECT_EQ(text.rfind("earlier\r\n[", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 9), "] later\r\n");
}

TEST_F(DebugLogFileTest, EmptyPathStopsAllFileOutput) {
  ComponentBase c;
  ASSERT_EQ(c.ConfigText(("LogDebugFile=" + path_).c_str(), nullptr), 0);
  ASSERT_EQ(c.LogFileLine("kept"), 0);
  std::string before = testsupport::ReadFile(path_);
  ASSERT_FALSE(before.empty());

  ASSERT_EQ(c.ConfigText("LogDebugFile=", nullptr), 0);
  EXPECT_EQ(c.LogFileLine("dropped"), 0);
  EXPECT_EQ(c.LogFileData("SEND", "abc", 3), 0);
  ByteString prefix;
  EXPECT_EQ(c.LogFilePrefix(prefix, true), 0);
  EXPECT_EQ(prefix.length(), 0);
  EXPECT_EQ(testsupport::ReadFile(path_), before);
}

TEST_F(DebugLogFileTest, OptionWithoutFileWritesNothing) {
  ComponentBase c;
  ASSERT_EQ(c.ConfigText("LogDebugOption=1", nullptr), 0);
  EXPECT_EQ(c.LogFileData("SEND", "abc", 3), 0);
  EXPECT_EQ(c.LogFileLine("x"), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(DebugLogFileTest, UnopenableFileReportsFourAndLeavesTheComponentWorking) {
  ComponentBase c;
  std::string missing = dir_ + "/no-such-folder/debug.log";
  ASSERT_EQ(c.SetLogFile(missing.c_str()), 0);
  EXPECT_EQ(c.LogFileLine("x"), kErrLogFileOpen);
  EXPECT_EQ(c.LogFileData("SEND", "abc", 3), kErrLogFileOpen);
  EXPECT_FALSE(FileExists(missing));
  // A folder in place of the file cannot be opened for writing either.
  ASSERT_EQ(c.SetLogFile(dir_.c_str()), 0);
  EXPECT_EQ(c.LogFileLine("x"), kErrLogFileOpen);
  ASSERT_EQ(c.SetLogFile(path_.c_str()), 0);
  EXPECT_EQ(c.LogFileLine("x"), 0);
}

TEST_F(DebugLogFileTest, NonAsciiNameInTheComponentsCodePage) {
  ComponentBase c;
  ASSERT_EQ(c.ConfigText("CodePage=65001", nullptr), 0);
  std::string name = dir_ + "/journal-\xC3\xBC.log";  // u with diaeresis in UTF-8
  ASSERT_EQ(c.SetLogFile(name.c_str()), 0);
  EXPECT_EQ(c.LogFileLine("x"), 0);
  EXPECT_TRUE(FileExists(name));
}

TEST_F(DebugLogFileTest, PrefixInUtcOrLocalTime) {
  ComponentBase c;
  ASSERT_EQ(c.SetLogFile(path_.c_str()), 0);
  static const std::regex shape(R"(^\[(\d+)\]\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})\] $)");
  for (bool local : {false, true}) {
    win::SYSTEMTIME before{}, after{};
    local ? win::GetLocalTime(&before) : win::GetSystemTime(&before);
    ByteString line;
    ASSERT_EQ(line.SetText("stale"), 0);
    ASSERT_EQ(c.LogFilePrefix(line, local), 0);
    local ? win::GetLocalTime(&after) : win::GetSystemTime(&after);
    std::string text(line.data(), line.length());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    EXPECT_EQ(m[1].str(), std::to_string(c.instance_number()));
    EXPECT_LE(FormatTime(before), m[2].str());
    EXPECT_LE(m[2].str(), FormatTime(after));
  }
  EXPECT_FALSE(FileExists(path_));  // composing a prefix writes nothing
}

TEST(DebugLogFormat, BlockHeaderWithoutData) {
  ByteString out;
  ASSERT_EQ(AppendDebugLogBlock(out, "RECEIVE", "ignored", -5), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), "------RECEIVE------(0 bytes)\r\n\r\n");
  win::SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 2;
  t.wDay = 9;
  t.wHour = 7;
  t.wMinute = 5;
  t.wSecond = 3;
  out.Reset();
  ASSERT_EQ(AppendDebugLogPrefix(out, 12345678901ll, t), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), "[12345678901][2024/02/09 07:05:03] ");
}

}  // namespace
}  // namespace tw
