#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using win::DWORD;
using win::GetLastError;
using win::HANDLE;
using win::INVALID_HANDLE_VALUE;

std::u16string U16(const std::string& utf8) {
  int n = win::MultiByteToWideChar(win::CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                   nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  win::MultiByteToWideChar(win::CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                           out.data(), n);
  return out;
}

std::string U8(const std::u16string& wide) {
  int n = win::WideCharToMultiByte(win::CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  win::WideCharToMultiByte(win::CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                           out.data(), n, nullptr, nullptr);
  return out;
}

class PlatformFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    handles_before_ = win::OpenHandleCount();
  }
  void TearDown() override {
    win::SetACPForTesting(win::CP_UTF8);
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(dir_, ec)) {
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
    EXPECT_EQ(win::OpenHandleCount(), handles_before_) << "a handle was left open";
  }
  std::u16string W(const std::string& name) const { return U16(dir_ + "/" + name); }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }

  HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
    return win::CreateFileW(W(name).c_str(), access, share, nullptr, disposition,
                            win::FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::string dir_;
  long handles_before_ = 0;
};

TEST_F(PlatformFileTest, WriteSeekReadRoundTrip) {
  std::mt19937 rng(7);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>(rng());

  HANDLE h = Open("a.bin", win::GENERIC_READ | win::GENERIC_WRITE, 0, win::CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD put = 0;
  ASSERT_TRUE(win::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr));
  EXPECT_EQ(put, data.size());

  win::LARGE_INTEGER size{0};
  ASSERT_TRUE(win::GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, static_cast<int64_t>(data.size()));

  win::LARGE_INTEGER pos{0};
  ASSERT_TRUE(win::SetFilePointerEx(h, win::LARGE_INTEGER{-1000}, &pos, win::FILE_END));
  EXPECT_EQ(pos.QuadPart, static_cast<int64_t>(data.size() - 1000));
  std::string tail(2000, '\0');
  DWORD got = 0;
  ASSERT_TRUE(win::ReadFile(h, tail.data(), 2000, &got, nullptr));
  EXPECT_EQ(got, 1000u);  // short at the end, and no error
  EXPECT_EQ(tail.substr(0, 1000), data.substr(data.size() - 1000));
  ASSERT_TRUE(win::ReadFile(h, tail.data(), 10, &got, nullptr));
  EXPECT_EQ(got, 0u);

  // A position below 0 is refused and leaves the pointer where it was.
  EXPECT_FALSE(win::SetFilePointerEx(h, win::LARGE_INTEGER{-1}, nullptr, win::FILE_BEGIN));
  EXPECT_EQ(GetLastError(), win::ERROR_NEGATIVE_SEEK);
  ASSERT_TRUE(win::SetFilePointerEx(h, win::LARGE_INTEGER{0}, &pos, win::FILE_CURRENT));
  EXPECT_EQ(pos.QuadPart, static_cast<int64_t>(data.size()));
  ASSERT_TRUE(win::CloseHandle(h));

  EXPECT_EQ(testsupport::ReadFile(P("a.bin")), data);
}

TEST_F(PlatformFileTest, LastErrorsAsTheHomePlatformGivesThem) {
  // Missing file, missing folder on the way.
  EXPECT_EQ(Open("missing.txt", win::GENERIC_READ, 0, win::OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("nodir/x.txt", win::GENERIC_READ, 0, win::OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("nodir/x.txt", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);

  // CREATE_NEW on an existing file gives 80; CreateDirectory on an existing name gives 183.
  testsupport::WriteFile(P("there.txt"), "x");
  EXPECT_EQ(Open("there.txt", win::GENERIC_WRITE, 0, win::CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_FALSE(win::CreateDirectoryW(W("there.txt").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(win::CreateDirectoryW(W("sub").c_str(), nullptr));
  EXPECT_FALSE(win::CreateDirectoryW(W("sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(win::CreateDirectoryW(W("no/such/sub").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);

  // A folder opened as a file, and a read-only file opened for writing, are access denied.
  EXPECT_EQ(Open("sub", win::GENERIC_READ, 0, win::OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  ASSERT_EQ(chmod(P("there.txt").c_str(), 0444), 0);
  EXPECT_EQ(Open("there.txt", win::GENERIC_WRITE, 0, win::OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("there.txt", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(testsupport::ReadFile(P("there.txt")), "x") << "a refused open must not truncate";

  // Names the home platform refuses; an empty name.
  EXPECT_EQ(Open("bad?.txt", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Open("bad*|.txt", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(win::CreateFileW(u"", win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(P("bad?.txt")));

  // A bad disposition, and TRUNCATE_EXISTING without write access.
  EXPECT_EQ(Open("x", win::GENERIC_READ, 0, 9), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("x", win::GENERIC_READ, 0, win::TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST_F(PlatformFileTest, ErrnoFromTheSystemIsMapped) {
  // The mapping itself, for the numbers callers test.
  EXPECT_EQ(win::ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(win::ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(win::ErrorFromErrno(EEXIST), 183u);
  // A real EACCES from the system: a folder we may not enter. Root passes permission bits, so
  // the check then runs in a child that gave up root.
  ASSERT_TRUE(win::CreateDirectoryW(W("locked").c_str(), nullptr));
  testsupport::WriteFile(P("locked/f.txt"), "x");
  ASSERT_EQ(chmod(P("locked").c_str(), 0), 0);
  auto check = [&]() -> bool {
    HANDLE h = Open("locked/f.txt", win::GENERIC_READ, 0, win::OPEN_EXISTING);
    return h == INVALID_HANDLE_VALUE && GetLastError() == win::ERROR_ACCESS_DENIED;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(check());
    return;
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
    _exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "EACCES did not become 5";
}

TEST_F(PlatformFileTest, AlwaysDispositionsTellWhetherTheFileWasThere) {
  HANDLE h = Open("f", win::GENERIC_WRITE, 0, win::OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD put;
  ASSERT_TRUE(win::WriteFile(h, "hello", 5, &put, nullptr));
  win::CloseHandle(h);

  h = Open("f", win::GENERIC_WRITE, 0, win::OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  win::CloseHandle(h);
  EXPECT_EQ(testsupport::ReadFile(P("f")), "hello");  // OPEN_ALWAYS keeps the contents

  h = Open("f", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  win::CloseHandle(h);
  EXPECT_EQ(testsupport::ReadFile(P("f")), "");  // CREATE_ALWAYS truncates

  h = Open("f", win::GENERIC_WRITE, 0, win::TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  win::CloseHandle(h);
  EXPECT_EQ(Open("g", win::GENERIC_WRITE, 0, win::TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST_F(PlatformFileTest, AccessIsCheckedPerHandle) {
  testsupport::WriteFile(P("f"), "abc");
  HANDLE h = Open("f", win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD put = 99;
  EXPECT_FALSE(win::WriteFile(h, "x", 1, &put, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(put, 0u);
  win::CloseHandle(h);

  h = Open("f", win::GENERIC_WRITE, 0, win::OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[4];
  DWORD got = 99;
  EXPECT_FALSE(win::ReadFile(h, buf, 3, &got, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  win::CloseHandle(h);
}

TEST_F(PlatformFileTest, AppendDataWritesAtTheEnd) {
  testsupport::WriteFile(P("log"), "first\n");
  HANDLE a = Open("log", win::FILE_APPEND_DATA, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                  win::OPEN_ALWAYS);
  HANDLE b = Open("log", win::FILE_APPEND_DATA, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                  win::OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  DWORD put;
  ASSERT_TRUE(win::WriteFile(a, "a\n", 2, &put, nullptr));
  ASSERT_TRUE(win::WriteFile(b, "b\n", 2, &put, nullptr));
  ASSERT_TRUE(win::WriteFile(a, "c\n", 2, &put, nullptr));
  win::CloseHandle(a);
  win::CloseHandle(b);
  EXPECT_EQ(testsupport::ReadFile(P("log")), "first\na\nb\nc\n");
}

TEST_F(PlatformFileTest, HandlesAreNeverReused) {
  testsupport::WriteFile(P("f"), "abc");
  std::vector<HANDLE> seen;
  for (int i = 0; i < 50; ++i) {
    HANDLE h = Open("f", win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    for (HANDLE old : seen) ASSERT_NE(h, old);
    seen.push_back(h);
    win::CloseHandle(h);
  }
  // Old numbers reach nothing, even though the descriptor numbers were recycled underneath.
  char buf[3];
  DWORD got;
  EXPECT_FALSE(win::ReadFile(seen[0], buf, 3, &got, nullptr));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::CloseHandle(seen[0]));
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(win::GetFileSizeEx(nullptr, nullptr));
}

TEST_F(PlatformFileTest, SharingIsEnforcedBetweenHandles) {
  testsupport::WriteFile(P("f"), "abc");
  HANDLE writer = Open("f", win::GENERIC_WRITE, 0, win::OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("f", win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                 win::OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_SHARING_VIOLATION);
  // A refused CREATE_ALWAYS must not have truncated the file under the writer.
  EXPECT_EQ(Open("f", win::GENERIC_WRITE, 0, win::CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(testsupport::ReadFile(P("f")), "abc");
  // Deleting or renaming a file open without delete sharing is refused.
  EXPECT_FALSE(win::DeleteFileW(W("f").c_str()));
  EXPECT_EQ(GetLastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(win::MoveFileExW(W("f").c_str(), W("g").c_str(), 0));
  EXPECT_EQ(GetLastError(), win::ERROR_SHARING_VIOLATION);
  win::CloseHandle(writer);

  // Readers and writers that share with each other may both open.
  const DWORD rw = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
  HANDLE a = Open("f", win::GENERIC_READ, rw, win::OPEN_EXISTING);
  HANDLE b = Open("f", win::GENERIC_WRITE, rw, win::OPEN_EXISTING);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  // A reader that shares only reading conflicts with the open writer.
  EXPECT_EQ(Open("f", win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_SHARING_VIOLATION);
  win::CloseHandle(a);
  win::CloseHandle(b);
  HANDLE c = Open("f", win::GENERIC_READ, win::FILE_SHARE_READ, win::OPEN_EXISTING);
  EXPECT_NE(c, INVALID_HANDLE_VALUE);
  win::CloseHandle(c);
  EXPECT_TRUE(win::DeleteFileW(W("f").c_str()));
}

// A handle that another process holds: the same sharing, and nothing in the way once it is killed.
struct HeldCase { const char* name; DWORD held_access, held_share, access, share; bool opens; };
constexpr DWORD kRw = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
constexpr HeldCase kHeldCases[] = {
    {"WriterSharingNothingRefusesAWriter", win::GENERIC_WRITE, 0, win::GENERIC_WRITE, 0, false},
    {"WriterSharingNothingRefusesAReader", win::GENERIC_WRITE, 0, win::GENERIC_READ, kRw, false},
    {"ReaderSharingReadRefusesAWriter", win::GENERIC_READ, win::FILE_SHARE_READ, win::GENERIC_WRITE, kRw, false},
    {"WritersSharingAllMeet", win::GENERIC_WRITE, kRw | win::FILE_SHARE_DELETE, win::GENERIC_WRITE, kRw, true},
};
class HeldByAnotherProcess : public PlatformFileTest, public ::testing::WithParamInterface<HeldCase> {};
TEST_P(HeldByAnotherProcess, SharingHoldsUntilTheHolderDies) {
  const HeldCase& c = GetParam();
  testsupport::WriteFile(P("f"), "abc");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  const bool held = pid == 0 && Open("f", c.held_access, c.held_share, win::OPEN_EXISTING) != INVALID_HANDLE_VALUE;
  if (pid == 0) _exit(write(ready[1], held ? "y" : "n", 1) == 1 ? pause() : 1);
  char got = 0;
  EXPECT_TRUE(read(ready[0], &got, 1) == 1 && got == 'y');
  const DWORD disposition = c.access == win::GENERIC_WRITE ? win::CREATE_ALWAYS : win::OPEN_EXISTING;
  EXPECT_EQ(win::CloseHandle(Open("f", c.access, c.share, disposition)) != win::FALSE, c.opens);
  EXPECT_EQ(testsupport::ReadFile(P("f")), c.opens ? "" : "abc");  // a refused open cuts nothing
  EXPECT_EQ(win::DeleteFileW(W("f").c_str()) != win::FALSE, (c.held_share & win::FILE_SHARE_DELETE) != 0);
  kill(pid, SIGKILL), waitpid(pid, nullptr, 0), close(ready[0]), close(ready[1]);
  EXPECT_TRUE(win::CloseHandle(Open("f", win::GENERIC_WRITE, 0, win::OPEN_ALWAYS)));
}
INSTANTIATE_TEST_SUITE_P(Handles, HeldByAnotherProcess, ::testing::ValuesIn(kHeldCases), testsupport::CaseName{});

TEST_F(PlatformFileTest, WideAnd8BitNames) {
  // Backslashes are separators; a character outside the BMP survives.
  ASSERT_TRUE(win::CreateDirectoryW(W("d\u00e9j\u00e0").c_str(), nullptr));
  std::u16string name = U16(dir_) + u"\\d\u00e9j\u00e0\\\U0001F600 \u65e5\u672c.txt";
  HANDLE h = win::CreateFileW(name.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW,
                              win::FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD put;
  win::WriteFile(h, "w", 1, &put, nullptr);
  win::CloseHandle(h);
  EXPECT_EQ(testsupport::ReadFile(P("d\xC3\xA9j\xC3\xA0/\xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC.txt")),
            "w");

  // Under the UTF-8 ANSI code page an 8-bit name is its UTF-8 bytes.
  std::string narrow = P("caf\xC3\xA9.txt");
  h = win::CreateFileA(narrow.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW,
                       win::FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  win::CloseHandle(h);
  EXPECT_NE(win::GetFileAttributesW(W("caf\u00e9.txt").c_str()), win::INVALID_FILE_ATTRIBUTES);

  // Under 1252 the same file is named with the single byte E9.
  win::SetACPForTesting(1252);
  std::string latin = P("caf\xE9.txt");
  h = win::CreateFileA(latin.c_str(), win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING,
                       win::FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "8-bit names go through the ANSI code page";
  win::CloseHandle(h);
  EXPECT_TRUE(win::DeleteFileA(latin.c_str()));
  win::SetACPForTesting(win::CP_UTF8);
  EXPECT_FALSE(fs::exists(narrow));

  // A lone surrogate has no name on this side.
  std::u16string lone = W("x") + u'\xD800';
  EXPECT_EQ(win::CreateFileW(lone.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW, 0,
                             nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), win::ERROR_INVALID_NAME);
}

TEST_F(PlatformFileTest, AttributesDeleteAndMove) {
  testsupport::WriteFile(P("f"), "abc");
  testsupport::WriteFile(P(".hidden"), "h");
  ASSERT_TRUE(win::CreateDirectoryW(W("d").c_str(), nullptr));
  EXPECT_EQ(win::GetFileAttributesW(W("f").c_str()), win::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(win::GetFileAttributesW(W("d").c_str()), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(win::GetFileAttributesW(W(".hidden").c_str()),
            win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(win::GetFileAttributesW(W("nope").c_str()), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::GetFileAttributesW(W("nope/deeper").c_str()), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), win::ERROR_PATH_NOT_FOUND);

  // Read-only: set, seen, refused for delete, cleared.
  ASSERT_TRUE(win::SetFileAttributesW(W("f").c_str(), win::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(win::GetFileAttributesW(W("f").c_str()),
            win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(win::DeleteFileW(W("f").c_str()));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(win::SetFileAttributesW(W("f").c_str(), win::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(win::GetFileAttributesW(W("f").c_str()), win::FILE_ATTRIBUTE_ARCHIVE);

  // Delete: a folder is not a file; a missing file is 2.
  EXPECT_FALSE(win::DeleteFileW(W("d").c_str()));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(win::DeleteFileW(W("nope").c_str()));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);

  // Move: refuses an existing target unless asked to replace it.
  testsupport::WriteFile(P("g"), "ggg");
  EXPECT_FALSE(win::MoveFileExW(W("f").c_str(), W("g").c_str(), 0));
  EXPECT_EQ(GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(testsupport::ReadFile(P("g")), "ggg");
  EXPECT_TRUE(win::MoveFileExW(W("f").c_str(), W("g").c_str(), win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(testsupport::ReadFile(P("g")), "abc");
  EXPECT_FALSE(fs::exists(P("f")));
  EXPECT_TRUE(win::MoveFileExW(W("g").c_str(), W("d\\moved").c_str(), 0));
  EXPECT_EQ(testsupport::ReadFile(P("d/moved")), "abc");
  EXPECT_FALSE(win::MoveFileExW(W("g").c_str(), W("h").c_str(), 0));
  EXPECT_EQ(GetLastError(), win::ERROR_FILE_NOT_FOUND);
  // A read-only target is not replaced.
  testsupport::WriteFile(P("r"), "r");
  ASSERT_EQ(chmod(P("r").c_str(), 0444), 0);
  EXPECT_FALSE(win::MoveFileExW(W("d/moved").c_str(), W("r").c_str(),
                                win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), win::ERROR_ACCESS_DENIED);
}

TEST_F(PlatformFileTest, TempPathAndTempNames) {
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", dir_.c_str(), 1);

  char16_t buf[win::MAX_PATH + 1];
  DWORD n = win::GetTempPathW(win::MAX_PATH + 1, buf);
  EXPECT_EQ(U8(std::u16string(buf, n)), dir_ + "/");
  // Too small: the size needed, with the NUL.
  EXPECT_EQ(win::GetTempPathW(3, buf), n + 1);

  std::u16string folder(buf, n);
  char16_t name1[win::MAX_PATH], name2[win::MAX_PATH];
  ASSERT_NE(win::GetTempFileNameW(folder.c_str(), u"tmpXYZ", 0, name1), 0u);
  ASSERT_NE(win::GetTempFileNameW(folder.c_str(), u"tmp", 0, name2), 0u);
  std::string p1 = U8(name1), p2 = U8(name2);
  EXPECT_NE(p1, p2);
  for (const std::string& p : {p1, p2}) {
    EXPECT_EQ(p.rfind(dir_ + "/tmp", 0), 0u) << p;  // prefix cut to 3 characters
    EXPECT_EQ(p.substr(p.size() - 4), ".TMP");
    EXPECT_TRUE(fs::is_regular_file(p));
    EXPECT_EQ(fs::file_size(p), 0u);
  }
  // With a unique number only the name is formed.
  char16_t name3[win::MAX_PATH];
  EXPECT_EQ(win::GetTempFileNameW(U16(dir_).c_str(), u"ab", 0x1A2B, name3), 0x1A2Bu);
  EXPECT_EQ(U8(name3), dir_ + "/ab1A2B.TMP");
  EXPECT_FALSE(fs::exists(U8(name3)));

  EXPECT_EQ(win::GetTempFileNameW(W("missing").c_str(), u"tmp", 0, name3), 0u);
  EXPECT_EQ(GetLastError(), 267u);

  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
