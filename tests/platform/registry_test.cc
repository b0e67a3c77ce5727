#include "platform/registry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace win;

constexpr char kInternetSettings[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Every test gets its own registry file in a fresh folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/registry.txt";
    const char* old = std::getenv("TW_REGISTRY_FILE");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    ::setenv("TW_REGISTRY_FILE", path_.c_str(), 1);
    handles_before_ = OpenRegistryKeyCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenRegistryKeyCount(), handles_before_) << "a key handle was left open";
    if (had_old_) {
      ::setenv("TW_REGISTRY_FILE", old_.c_str(), 1);
    } else {
      ::unsetenv("TW_REGISTRY_FILE");
    }
    testsupport::RunCommand("rm -rf '" + dir_ + "'");
  }

  HKEY Create(HKEY root, const char* sub) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  static void SetString(HKEY key, const char* name, const std::string& value, DWORD type = REG_SZ) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
  }
  static void SetDword(HKEY key, const char* name, DWORD v) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_SUCCESS);
  }
  static std::string GetString(HKEY key, const char* name, DWORD* type = nullptr) {
    char buf[512];
    DWORD size = sizeof buf;
    DWORD t = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(buf), &size);
    if (type != nullptr) *type = t;
    if (rc != ERROR_SUCCESS) return "<error " + std::to_string(rc) + ">";
    return std::string(buf, size > 0 ? size - 1 : 0);
  }
  // Makes the layer read the file again, as another process would see it.
  void ReadBackThroughCopy() {
    std::string copy = dir_ + "/copy.txt";
    testsupport::RunCommand("cp '" + path_ + "' '" + copy + "'");
    ::setenv("TW_REGISTRY_FILE", copy.c_str(), 1);
  }
  std::vector<std::string> FilesInDir() {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir_.c_str());
    while (dirent* e = d != nullptr ? ::readdir(d) : nullptr) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    if (d != nullptr) ::closedir(d);
    return names;
  }

  std::string dir_;
  std::string path_;
  bool had_old_ = false;
  std::string old_;
  long handles_before_ = 0;
};

TEST_F(RegistryTest, InternetSettingsReadFromAHandWrittenFile) {
  std::ofstream(path_)
      << "; proxy settings\r\n"
         "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\r\n"
         "\"ProxyEnable\"=dword:00000001\r\n"
         "\"ProxyServer\"=\"http=proxy.local:3128;https=proxy.local:3129\"\r\n"
         "\"ProxyOverride\"=\"*.internal;<local>\"\r\n";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD enable = 0;
  DWORD size = sizeof enable;
  DWORD type = 0;
  ASSERT_EQ(
      RegQueryValueExA(key, "ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enable), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(enable, 1u);
  EXPECT_EQ(GetString(key, "ProxyServer", &type), "http=proxy.local:3128;https=proxy.local:3129");
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(GetString(key, "proxyoverride"), "*.internal;<local>");
  EXPECT_EQ(GetString(key, "AutoConfigURL"), "<error 2>");
  RegCloseKey(key);
}

TEST_F(RegistryTest, WrittenFileIsReadableText) {
  HKEY key = Create(HKEY_CURRENT_USER, kInternetSettings);
  SetDword(key, "ProxyEnable", 1);
  SetString(key, "ProxyServer", "proxy:8080");
  RegCloseKey(key);
  std::string text = testsupport::ReadFile(path_);
  EXPECT_NE(
      text.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                "Settings]\n\"ProxyEnable\"=dword:00000001\n\"ProxyServer\"=\"proxy:8080\"\n"),
      std::string::npos)
      << text;
}

TEST_F(RegistryTest, EveryTypeRoundTripsThroughTheFile) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Tarnwick\\Types");
  SetDword(key, "Dword", 0xDEADBEEF);
  uint64_t q = 0x0123456789ABCDEFull;
  ASSERT_EQ(RegSetValueExA(key, "Qword", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&q), 8),
            ERROR_SUCCESS);
  SetString(key, "Path", "%HOME%\\bin", REG_EXPAND_SZ);
  const BYTE blob[] = {0, 1, 0xFF, 0x7F, '"', '\\', '\n'};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  const char multi[] = "one\0two\0\0";
  ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                           sizeof multi - 1),
            ERROR_SUCCESS);
  // Names and strings with every character the format has to escape.
  SetString(key, "quote\" back\\slash\ttab", "line1\nline2\r\"q\"\\ \x01 end");
  SetString(key, "", "default value");
  // UTF-16 only text: a lone surrogate and a character outside the BMP.
  const char16_t odd[] = {u'x', 0xD800, u'y', 0xD83D, 0xDE00, 0};
  ASSERT_EQ(RegSetValueExW(key, u"Wide", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), sizeof odd),
            ERROR_SUCCESS);
  // Data that is not what its type says is kept byte for byte.
  const BYTE odd_string[] = {'a', 0, 'b'};
  ASSERT_EQ(RegSetValueExW(key, u"OddSz", 0, REG_SZ, odd_string, sizeof odd_string), ERROR_SUCCESS);
  RegCloseKey(key);

  ReadBackThroughCopy();
  key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tarnwick\\Types", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  BYTE buf[256];
  DWORD size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Dword", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  uint32_t d;
  std::memcpy(&d, buf, 4);
  EXPECT_EQ(d, 0xDEADBEEFu);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Qword", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(std::memcmp(buf, &q, 8), 0);
  EXPECT_EQ(GetString(key, "Path", &type), "%HOME%\\bin");
  EXPECT_EQ(type, REG_EXPAND_SZ);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size),
            std::string(reinterpret_cast<const char*>(blob), sizeof blob));
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Multi", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string(multi, sizeof multi - 1));
  EXPECT_EQ(GetString(key, "QUOTE\" BACK\\SLASH\tTAB"), "line1\nline2\r\"q\"\\ \x01 end");
  EXPECT_EQ(GetString(key, nullptr), "default value");
  char16_t wide[16] = {};
  size = sizeof wide;
  ASSERT_EQ(RegQueryValueExW(key, u"wide", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof odd);
  EXPECT_EQ(std::memcmp(wide, odd, sizeof odd), 0);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExW(key, u"OddSz", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(buf, odd_string, 3), 0);
  RegCloseKey(key);
}

TEST_F(RegistryTest, WideAndAnsiFormsReadEachOther) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Tarnwick");
  SetString(key, "Name", "caf\xC3\xA9");  // UTF-8, the default ANSI code page
  char16_t wide[16] = {};
  DWORD size = sizeof wide;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Name", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);  // four characters and the NUL, two bytes each
  EXPECT_EQ(std::u16string(wide), u"caf\u00e9");
  const char16_t text[] = u"\u00fcber";
  ASSERT_EQ(
      RegSetValueExW(key, u"Wide", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
      ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "Wide"),
            "\xC3\xBC"
            "ber");
  RegCloseKey(key);
}

TEST_F(RegistryTest, BufferSizesFollowTheHomePlatform) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Tarnwick");
  SetString(key, "Server", "proxy.example:8080");
  DWORD size = 0;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Server", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 19u);
  char small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Server", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 19u);
  size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Server", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 38u);
  EXPECT_EQ(
      RegQueryValueExA(key, "Server", nullptr, &type, reinterpret_cast<BYTE*>(small), nullptr),
      ERROR_INVALID_PARAMETER);
  DWORD three = 3;
  EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&three), 3),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeysAndValuesCompareWithoutCaseAndKeepTheirSpelling) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "Tarnwick.Cobalin\\CurVer");
  SetString(key, "", "Tarnwick.Cobalin.1");
  RegCloseKey(key);
  HKEY again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "TARNWICK.COBALIN\\curver", 0, nullptr, 0, KEY_READ,
                            nullptr, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(GetString(again, ""), "Tarnwick.Cobalin.1");
  RegCloseKey(again);

  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "tarnwick.cobalin", 0, KEY_READ, &root),
            ERROR_SUCCESS);
  char name[64];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(root, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "CurVer");
  EXPECT_EQ(size, 6u);
  RegCloseKey(root);

  // Latin-1 letters fold too.
  HKEY k = Create(HKEY_CURRENT_USER, "Software\\\xC3\xA9t\xC3\xA9");
  SetDword(k, "\xC3\x89T\xC3\x89", 7);
  RegCloseKey(k);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\\xC3\x89T\xC3\x89", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  DWORD v = 0;
  size = 4;
  EXPECT_EQ(RegQueryValueExA(k, "\xC3\xA9t\xC3\xA9", nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 7u);
  RegCloseKey(k);
}

TEST_F(RegistryTest, EnumerationIsSortedAndEnds) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Enum");
  for (const char* n : {"beta", "Alpha", "gamma"}) RegCloseKey(Create(key, n));
  SetDword(key, "b", 2);
  SetDword(key, "A", 1);
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  char tiny[3];
  DWORD size = sizeof tiny;
  EXPECT_EQ(RegEnumKeyExA(key, 0, tiny, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  char name[8];
  size = sizeof name;
  DWORD type = 0;
  DWORD value = 0;
  DWORD value_size = 4;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &size, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                          &value_size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "A");
  EXPECT_EQ(value, 1u);
  size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 2, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKeyRefusesSubkeysAndDeleteTreeTakesAll) {
  HKEY top = Create(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}");
  HKEY inproc = Create(top, "InprocServer32");
  SetString(inproc, "ThreadingModel", "Apartment");
  RegCloseKey(Create(top, "MiscStatus\\1"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(top, "MiscStatus\\1"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(top, "MiscStatus\\1"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "clsid\\{11111111-2222-3333-4444-555555555555}"),
            ERROR_SUCCESS);
  // Handles to deleted keys fail instead of reaching a key made later at the same place.
  EXPECT_EQ(RegSetValueExA(inproc, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
            ERROR_KEY_DELETED);
  EXPECT_EQ(GetString(top, "ThreadingModel"), "<error 1018>");
  RegCloseKey(inproc);
  RegCloseKey(top);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}", 0,
                          KEY_READ, &gone),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(gone, nullptr);
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &clsid), ERROR_SUCCESS);
  RegCloseKey(clsid);
  EXPECT_EQ(testsupport::ReadFile(path_).find("1111"), std::string::npos);

  // With no sub key, only the contents go.
  HKEY k = Create(HKEY_CURRENT_USER, "Software\\Clear");
  SetDword(k, "v", 1);
  RegCloseKey(Create(k, "child"));
  EXPECT_EQ(RegDeleteTreeA(k, nullptr), ERROR_SUCCESS);
  char name[16];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(GetString(k, "v"), "<error 2>");
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "missing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, HandlesAreNeverReused) {
  std::vector<HKEY> seen;
  for (int i = 0; i < 50; ++i) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Handles");
    for (HKEY old : seen) ASSERT_NE(k, old);
    seen.push_back(k);
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  }
  EXPECT_EQ(RegCloseKey(seen.front()), ERROR_INVALID_HANDLE);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExA(seen.back(), "x", 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // roots are never closed
}

TEST_F(RegistryTest, BadPathsAreRefused) {
  HKEY k = nullptr;
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
      ERROR_INVALID_PARAMETER);
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, "\\a", 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
      ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, std::string(256, 'k').c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  // A trailing separator is allowed.
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Trail\\", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

TEST_F(RegistryTest, HostileFileLinesAreSkipped) {
  std::ofstream(path_) << "[HKEY_CURRENT_USER\\Software\\Ok]\n"
                          "\"good\"=dword:00000005\n"
                          "\"bad dword\"=dword:1234567890\n"
                          "\"unterminated=\"x\n"
                          "\"bad escape\"=\"\\q\"\n"
                          "\"bad hex\"=hex:0g,11\n"
                          "\"trailing\"=\"x\" junk\n"
                          "\"huge escape\"=\"\\u{110000}\"\n"
                          "\"bad utf8\"=\"\xC3\x28\"\n"
                          "no equals sign\n"
                          "[HKEY_NOWHERE\\x]\n"
                          "\"orphan\"=dword:00000001\n"
                          "[HKEY_CURRENT_USER\\Software\\Bad%zzName]\n"
                          "\"orphan2\"=dword:00000001\n"
                          "[HKEY_CURRENT_USER\\Software\\Ok\n"
                          "\"last\"=hex(7):61,00,00,00,00,00\n";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Ok", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD v = 0;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "good", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 5u);
  for (const char* bad : {"bad dword", "unterminated=", "bad escape", "bad hex", "trailing",
                          "huge escape", "bad utf8", "orphan", "orphan2", "last"}) {
    EXPECT_EQ(RegQueryValueExA(key, bad, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
        << bad;
  }
  char name[32];
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeyNamesWithSpecialCharactersRoundTrip) {
  const std::string name = "we%ird]name\x01 [x] \xE2\x82\xAC";
  RegCloseKey(Create(HKEY_CURRENT_USER, ("Software\\" + name + "\\child").c_str()));
  ReadBackThroughCopy();
  HKEY k = nullptr;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_CURRENT_USER, ("Software\\" + name + "\\child").c_str(), 0, KEY_READ, &k),
      ERROR_SUCCESS);
  RegCloseKey(k);
}

TEST_F(RegistryTest, WritesReplaceTheFileAtomically) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Atomic");
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  SetDword(key, "v", 1);
  struct stat after {};
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "the file must be replaced, not rewritten in place";

  // A reader never sees a half-written file while values keep being written.
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      std::string text = testsupport::ReadFile(path_);
      if (text.rfind("; tarnwick registry\n", 0) != 0 || text.back() != '\n' ||
          text.find("[HKEY_CURRENT_USER\\Software\\Atomic]") == std::string::npos) {
        ++torn;
      }
    }
  });
  for (int i = 0; i < 200; ++i)
    SetString(key, ("value" + std::to_string(i)).c_str(), std::string(200, 'x'));
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  RegCloseKey(key);
  for (const std::string& f : FilesInDir()) {
    EXPECT_TRUE(f == "registry.txt" || f == "registry.txt.lock") << "left behind: " << f;
  }
}

TEST_F(RegistryTest, FailedWriteDropsTheChange) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Kept");
  RegCloseKey(key);
  // The file cannot be replaced when a folder stands in its place.
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
  HKEY k = nullptr;
  EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Lost", 0, nullptr, 0, KEY_WRITE, nullptr,
                            &k, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Lost", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(::rmdir(path_.c_str()), 0);
}

TEST_F(RegistryTest, ChangesOfAnotherWriterAreSeen) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Shared");
  SetDword(key, "v", 1);
  // Another process replaces the file.
  std::string tmp = path_ + ".other";
  std::ofstream(tmp) << "[HKEY_CURRENT_USER\\Software\\Shared]\n\"v\"=dword:00000002\n";
  ASSERT_EQ(::rename(tmp.c_str(), path_.c_str()), 0);
  DWORD v = 0;
  DWORD size = 4;
  ASSERT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 2u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, WritersInTwoProcessesLoseNothing) {
  RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\Race"));
  constexpr int kPerProcess = 40;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  const char* who = child == 0 ? "child" : "parent";
  for (int i = 0; i < kPerProcess; ++i) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_WRITE, &k) != ERROR_SUCCESS)
      break;
    DWORD v = static_cast<DWORD>(i);
    RegSetValueExA(k, (std::string(who) + std::to_string(i)).c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&v), 4);
    RegCloseKey(k);
  }
  if (child == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &k), ERROR_SUCCESS);
  int count = 0;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD size = sizeof name;
    if (RegEnumValueA(k, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    ++count;
  }
  EXPECT_EQ(count, 2 * kPerProcess);
  RegCloseKey(k);
}

// Six processes remove and rewrite one tree at once, each in a transaction, while reading it.
TEST_F(RegistryTest, TransactionsInSixProcessesAreNeverSeenPartWay) {
  std::vector<pid_t> children;
  for (int p = 0; p < 6; ++p) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child != 0) { children.push_back(child); continue; }
    int failures = 0;
    for (int i = 0; i < 30; ++i) {
      RegistryTransaction t;
      failures += RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Tx") == ERROR_SUCCESS || i == 0 ? 0 : 1;
      for (const char* sub : {"Software\\Tx\\A", "Software\\Tx\\A\\B"}) {
        HKEY k = nullptr;
        failures += RegCreateKeyExA(HKEY_CURRENT_USER, sub, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) |
                    RegSetValueExA(k, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
        RegCloseKey(k);
      }
      failures += t.Commit() != ERROR_SUCCESS;
      HKEY k = nullptr;
      failures += RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tx\\A\\B", 0, KEY_READ, &k) != ERROR_SUCCESS;
      failures += GetString(k, "v") != "x";
      RegCloseKey(k);
    }
    ::_exit(failures == 0 ? 0 : 1);
  }
  for (pid_t child : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
  }
  HKEY k = Create(HKEY_CURRENT_USER, "Software\\Tx\\A\\B");
  EXPECT_EQ(GetString(k, "v"), "x");
  RegCloseKey(k);
}

TEST(RegistryPath, DefaultIsPerUserAndTheVariableWins) {
  const char* old = std::getenv("TW_REGISTRY_FILE");
  std::string saved = old != nullptr ? old : "";
  ::unsetenv("TW_REGISTRY_FILE");
  std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  if (!home.empty()) {
    EXPECT_EQ(RegistryFilePath(), home + "/.config/tarnwick/registry.txt");
  }
  ::setenv("TW_REGISTRY_FILE", "/tmp/x/registry.txt", 1);
  EXPECT_EQ(RegistryFilePath(), "/tmp/x/registry.txt");
  if (old != nullptr) {
    ::setenv("TW_REGISTRY_FILE", saved.c_str(), 1);
  } else {
    ::unsetenv("TW_REGISTRY_FILE");
  }
}

}  // namespace
