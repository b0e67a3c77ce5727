#include "foundation/component_base.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/config_request.h"
#include "foundation/event_sink.h"
#include "platform/codepage.h"
#include "platform/heap.h"
#include "platform/last_error.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

std::string Str(const ByteString& s) { return std::string(s.data(), s.length()); }

// ---- Setting text parsing ----

struct ParseCase {
  const char* text;
  bool is_read;
  const char* name;
  const char* value;
  const char* index_text;
  int index;
};

class ConfigParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConfigParseTest, SplitsNameIndexAndValue) {
  const ParseCase& c = GetParam();
  ConfigRequest request;
  ASSERT_EQ(request.Parse(c.text), 0);
  EXPECT_EQ(request.is_read(), c.is_read);
  EXPECT_EQ(Str(request.name()), c.name);
  EXPECT_EQ(Str(request.value()), c.value);
  EXPECT_EQ(Str(request.index_text()), c.index_text);
  EXPECT_EQ(request.index(), c.index);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConfigParseTest,
    ::testing::Values(
        ParseCase{"CodePage", true, "CodePage", "", "", -1},
        ParseCase{"CodePage=65001", false, "CodePage", "65001", "", -1},
        ParseCase{"", true, "", "", "", -1},
        ParseCase{"Name[3]=x", false, "Name", "x", "3", 3},
        ParseCase{"Name(2)", true, "Name", "", "2", 2},
        ParseCase{"Name[ 7 ]", true, "Name", "", "7", 7},
        ParseCase{"Name( -2 )=v", false, "Name", "v", "-2", -2},
        ParseCase{"Name[a b]", true, "Name", "", "a b", 0},
        ParseCase{"Name[12x]", true, "Name", "", "12x", 12},
        ParseCase{"Name[]", true, "Name", "", "", 0},
        // Any closer ends any opener; an opener inside the index is index text.
        ParseCase{"Name[1)", true, "Name", "", "1", 1},
        ParseCase{"Name[[4]", true, "Name", "", "[4", 0},
        // Text behind the closing bracket joins the name again.
        ParseCase{"Pre[1]Post=v", false, "PrePost", "v", "1", 1},
        // "=" ends the name even inside brackets; the unfinished index is dropped.
        ParseCase{"A[x=1]", false, "A", "1]", "", -1},
        // Brackets and "=" after the first "=" belong to the value.
        ParseCase{"Map(k)=[v](w)", false, "Map", "[v](w)", "k", 0},
        ParseCase{"A=b=c", false, "A", "b=c", "", -1},
        // Blanks around name and value go; one pair of quotes goes; inner blanks stay.
        ParseCase{"Key =  \"a b\"  ", false, "Key", "a b", "", -1},
        ParseCase{"  Name  =  v  ", false, "Name", "v", "", -1},
        ParseCase{"A= \" spaced \" ", false, "A", " spaced ", "", -1},
        ParseCase{"A=\"x", false, "A", "x", "", -1},
        ParseCase{"A=x\"", false, "A", "x\"", "", -1},
        ParseCase{"A=\"\"", false, "A", "", "", -1},
        ParseCase{"A=\"", false, "A", "", "", -1},
        ParseCase{"A=\"\"x\"\"", false, "A", "\"x\"", "", -1},
        ParseCase{"A=\\n\\\"", false, "A", "\\n\\\"", "", -1},  // no escapes
        // Only blanks are trimmed, not tabs.
        ParseCase{"A\t=\t1", false, "A\t", "\t1", "", -1},
        // A read keeps the name exactly as written.
        ParseCase{" Key", true, " Key", "", "", -1},
        ParseCase{"Key ", true, "Key ", "", "", -1},
        // "=" as the last character: a write of "" with the name untouched.
        ParseCase{"Key =", false, "Key ", "", "", -1},
        ParseCase{"=", false, "", "", "", -1},
        ParseCase{"=v", false, "", "v", "", -1},
        ParseCase{"A=   ", false, "A", "", "", -1}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

TEST(ConfigParse, NullTextIsAWriteOfTheEmptyName) {
  ConfigRequest request;
  ASSERT_EQ(request.Parse("Old[5]=x"), 0);
  ASSERT_EQ(request.Parse(nullptr), 0);
  EXPECT_FALSE(request.is_read());
  EXPECT_EQ(Str(request.name()), "");
  EXPECT_EQ(Str(request.value()), "");
  EXPECT_EQ(request.index(), -1);
  EXPECT_EQ(Str(request.index_text()), "");
}

TEST(ConfigParse, ReparsingResetsEveryField) {
  ConfigRequest request;
  ASSERT_EQ(request.Parse("Name[3]=value"), 0);
  ASSERT_EQ(request.Parse("Other"), 0);
  EXPECT_TRUE(request.is_read());
  EXPECT_EQ(Str(request.name()), "Other");
  EXPECT_EQ(Str(request.value()), "");
  EXPECT_EQ(request.index(), -1);
}

TEST(ConfigParse, LongNamesAndValuesLeaveTheInlineArea) {
  std::string name(300, 'n');
  std::string value(5000, 'v');
  std::string text = "  " + name + "[ 42 ]  =  \"" + value + "\"  ";
  ConfigRequest request;
  ASSERT_EQ(request.Parse(text.c_str()), 0);
  EXPECT_EQ(Str(request.name()), name);
  EXPECT_EQ(Str(request.value()), value);
  EXPECT_EQ(request.index(), 42);
}

TEST(ConfigParse, OutOfMemoryIsReported) {
  std::string text = std::string(200, 'n') + "=v";
  ConfigRequest request;
  win::HeapFailAfter(1);
  int rc = request.Parse(text.c_str());
  win::HeapFailAfter(0);
  EXPECT_EQ(rc, 200);
}

TEST(ConfigParse, NameIsComparesWholeNameWithoutCase) {
  ConfigRequest request;
  ASSERT_EQ(request.Parse("codepage=1"), 0);
  EXPECT_TRUE(request.NameIs("CodePage"));
  EXPECT_TRUE(request.NameIs("CODEPAGE"));
  EXPECT_FALSE(request.NameIs("CodePag"));
  EXPECT_FALSE(request.NameIs("CodePages"));
  EXPECT_FALSE(request.NameIs(nullptr));
  ASSERT_EQ(request.Parse("Code\xC4Page"), 0);
  EXPECT_FALSE(request.NameIs("Code\xE4Page"));  // ASCII folding only
}

// ---- Value conversions ----

struct IntCase {
  const char* value;
  int32_t as_int;
  int64_t as_int64;
};

class ConfigValueIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ConfigValueIntTest, ReadsDecimalAndHex) {
  const IntCase& c = GetParam();
  ConfigRequest request;
  ASSERT_EQ(request.Parse((std::string("N=") + c.value).c_str()), 0);
  EXPECT_EQ(request.ValueAsInt(), c.as_int) << c.value;
  EXPECT_EQ(request.ValueAsInt64(), c.as_int64) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConfigValueIntTest,
    ::testing::Values(IntCase{"65001", 65001, 65001}, IntCase{"0x3A4", 932, 932},
                      IntCase{"0X3a4", 932, 932}, IntCase{"-5", -5, -5}, IntCase{"+7", 7, 7},
                      IntCase{"12abc", 12, 12}, IntCase{"abc", 0, 0}, IntCase{"", 0, 0},
                      IntCase{"-", 0, 0}, IntCase{"0x", 0, 0}, IntCase{"0xg1", 0, 0},
                      IntCase{"0x-10", -16, -16}, IntCase{"x10", 0, 0}, IntCase{"00x10", 0, 0},
                      IntCase{"0xFFFFFFFF", -1, 0xFFFFFFFFll},
                      IntCase{"0x1FFFFFFFF", -1, 0x1FFFFFFFFll},
                      IntCase{"4294967297", 1, 4294967297ll},
                      IntCase{"2147483648", INT32_MIN, 2147483648ll},
                      IntCase{"9223372036854775807", -1, INT64_MAX},
                      IntCase{"-9223372036854775808", 0, INT64_MIN},
                      IntCase{"18446744073709551617", 1, 1},  // wraps, no overflow check
                      IntCase{"\"0x10\"", 16, 16}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.value, i.index); });

class ConfigValueBoolTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(ConfigValueBoolTest, TrueOnlyForTrueYesAndOne) {
  ConfigRequest request;
  ASSERT_EQ(request.Parse((std::string("B=") + GetParam().first).c_str()), 0);
  EXPECT_EQ(request.ValueAsBool(), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConfigValueBoolTest,
    ::testing::Values(std::pair{"TRUE", true}, std::pair{"true", true}, std::pair{"True", true},
                      std::pair{"yes", true}, std::pair{"YES", true}, std::pair{"1", true},
                      std::pair{" yes ", true}, std::pair{"\"true\"", true},
                      std::pair{"false", false}, std::pair{"no", false}, std::pair{"0", false},
                      std::pair{"", false}, std::pair{"2", false}, std::pair{"01", false},
                      std::pair{"11", false}, std::pair{"tru", false},
                      std::pair{"trueish", false}, std::pair{"\"yes \"", false},
                      std::pair{"y", false}, std::pair{"on", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.first, i.index); });

// ---- The root's settings ----

class RootSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetZeroMemory(false); }

  std::string Read(const char* name) {
    const char* answer = nullptr;
    int rc = component_.ConfigText(name, &answer);
    EXPECT_EQ(rc, 0) << name;
    EXPECT_NE(answer, nullptr);
    return answer != nullptr ? answer : "";
  }

  ComponentBase component_;
};

TEST_F(RootSettingsTest, CodePageReadsAndWrites) {
  EXPECT_EQ(Read("CodePage"), "0");
  const char* answer = "untouched";
  EXPECT_EQ(component_.ConfigText("CodePage=65001", &answer), 0);
  EXPECT_STREQ(answer, "");
  EXPECT_EQ(component_.GetCodePage(), 65001);
  EXPECT_EQ(Read("CodePage"), "65001");
  EXPECT_EQ(component_.ConfigText("codepage=0x3A4", &answer), 0);
  EXPECT_EQ(component_.GetCodePage(), 932);
  EXPECT_EQ(Read("CODEPAGE"), "932");
  EXPECT_EQ(component_.ConfigText("CodePage=12345", &answer), 202);  // not convertible here
  EXPECT_EQ(Str(component_.error_text()), "Invalid CodePage value: 12345.");
  EXPECT_EQ(Read("CodePage"), "932");
}

TEST_F(RootSettingsTest, CharsetModeIsKeptInEightBits) {
  EXPECT_EQ(component_.ConfigText("CharsetMode=257", nullptr), 0);
  EXPECT_EQ(Read("CharsetMode"), "1");
  EXPECT_EQ(component_.ConfigText("CharsetMode=255", nullptr), 0);
  EXPECT_EQ(Read("CharsetMode"), "-1");
}

TEST_F(RootSettingsTest, LogDebugOptionKeepsLowThirtyTwoBitsUnsigned) {
  EXPECT_EQ(Read("LogDebugOption"), "0");
  EXPECT_EQ(component_.ConfigText("LogDebugOption=0x1FFFFFFFF", nullptr), 0);
  EXPECT_EQ(Read("LogDebugOption"), "4294967295");
  EXPECT_EQ(component_.ConfigText("LogDebugOption=4294967297", nullptr), 0);
  EXPECT_EQ(component_.log_option(), 1u);
  EXPECT_EQ(component_.ConfigText("LogDebugOption=-1", nullptr), 0);
  EXPECT_EQ(Read("LogDebugOption"), "4294967295");
}

TEST_F(RootSettingsTest, LogDebugFileSwitchesFileOutput) {
  EXPECT_EQ(component_.ConfigText("LogDebugFile = \"/tmp/some dir/log.txt\" ", nullptr), 0);
  EXPECT_TRUE(component_.log_to_file());
  EXPECT_EQ(Read("LogDebugFile"), "/tmp/some dir/log.txt");
  EXPECT_EQ(component_.ConfigText("LogDebugFile=", nullptr), 0);
  EXPECT_FALSE(component_.log_to_file());
  EXPECT_EQ(Read("LogDebugFile"), "");
  // A path longer than the inline area of the field.
  std::string long_path = "/tmp/" + std::string(150, 'p');
  EXPECT_EQ(component_.ConfigText(("LogDebugFile=" + long_path).c_str(), nullptr), 0);
  EXPECT_EQ(Read("LogDebugFile"), long_path);
  EXPECT_EQ(component_.ConfigText("LogDebugFile=\"\"", nullptr), 0);
  EXPECT_FALSE(component_.log_to_file());
}

TEST_F(RootSettingsTest, FailedLogFilePathLeavesFileOutputOff) {
  std::string long_path = "/tmp/" + std::string(150, 'p');
  win::HeapFailAfter(1);
  int rc = component_.SetLogFile(long_path.c_str());
  win::HeapFailAfter(0);
  EXPECT_EQ(rc, 200);
  EXPECT_FALSE(component_.log_to_file());
}

TEST_F(RootSettingsTest, LastErrorIsReadOnly) {
  component_.SetErrorTextCode(12, "Disk on fire.");
  EXPECT_EQ(Read("LastError"), "Disk on fire.");
  EXPECT_EQ(component_.ConfigText("LastError=anything", nullptr), 0);
  EXPECT_EQ(Str(component_.error_text()), "Disk on fire.");
  EXPECT_EQ(component_.error_code(), 12);
}

TEST_F(RootSettingsTest, ZeroMemoryIsProcessWide) {
  EXPECT_EQ(Read("ZeroMemory"), "False");
  EXPECT_EQ(component_.ConfigText("ZeroMemory=yes", nullptr), 0);
  EXPECT_TRUE(ZeroMemoryEnabled());
  ComponentBase other;
  const char* answer = nullptr;
  EXPECT_EQ(other.ConfigText("zeromemory", &answer), 0);
  EXPECT_STREQ(answer, "True");
  EXPECT_EQ(other.ConfigText("ZeroMemory=off", nullptr), 0);
  EXPECT_FALSE(ZeroMemoryEnabled());
  EXPECT_EQ(Read("ZeroMemory"), "False");
}

TEST_F(RootSettingsTest, UnknownNameFailsWithTextButKeepsCode) {
  component_.SetErrorTextCode(77, "earlier");
  ASSERT_EQ(Read("CodePage"), "0");  // leaves an answer behind
  const char* answer = nullptr;
  EXPECT_EQ(component_.ConfigText("Nonexistent", &answer), -1);
  ASSERT_NE(answer, nullptr);
  EXPECT_STREQ(answer, "");
  EXPECT_EQ(Str(component_.error_text()), "Unknown config setting.");
  EXPECT_EQ(component_.error_code(), 77);
  EXPECT_EQ(component_.ConfigText("Nonexistent=1", &answer), -1);
  // A read keeps the blanks of its name, so no handler knows it.
  EXPECT_EQ(component_.ConfigText(" CodePage", &answer), -1);
  EXPECT_EQ(component_.ConfigText("CodePage =", &answer), -1);
  // A real write trims them.
  EXPECT_EQ(component_.ConfigText(" CodePage = 1252 ", &answer), 0);
  EXPECT_EQ(component_.GetCodePage(), 1252);
  EXPECT_EQ(component_.ConfigText(nullptr, &answer), -1);
  EXPECT_EQ(component_.ConfigText("", &answer), -1);
}

// ---- Chaining through derived classes ----

// Answers a few names of its own and passes the rest to the root.
class GadgetComponent : public ComponentBase {
 public:
  int Config(ConfigRequest& request, const char** answer) override {
    if (request.NameIs("Retries")) {
      if (request.is_read()) return SetConfigAnswerSigned(retries, answer);
      if (request.ValueAsInt() < 0) {
        SetErrorTextCode(202, "Retries must not be negative.");
        return 202;
      }
      retries = request.ValueAsInt();
      return 0;
    }
    if (request.NameIs("Label")) {
      if (request.is_read()) return SetConfigAnswer(label.c_str(), answer);
      return label.Assign(request.value());
    }
    if (request.NameIs("Strict")) {
      if (request.is_read()) return SetConfigAnswerBool(strict, answer);
      strict = request.ValueAsBool();
      return 0;
    }
    if (request.NameIs("Slot")) {
      if (request.index() < 0 || request.index() >= 4) {
        SetErrorTextCode(605, "Invalid setting index.");
        return 605;
      }
      if (request.is_read()) return SetConfigAnswerInt64(slots[request.index()], answer);
      slots[request.index()] = request.ValueAsInt64();
      return 0;
    }
    return ComponentBase::Config(request, answer);
  }

  int retries = 3;
  ByteString label;
  bool strict = false;
  int64_t slots[4] = {};
};

// Overrides one name of its base; everything else goes down the chain.
class SpecialGadget : public GadgetComponent {
 public:
  int Config(ConfigRequest& request, const char** answer) override {
    if (request.NameIs("Label")) {
      if (request.is_read()) return SetConfigAnswer("special", answer);
      return 0;
    }
    return GadgetComponent::Config(request, answer);
  }
};

TEST(ConfigChain, DerivedClassAnswersItsNamesAndPassesTheRest) {
  GadgetComponent gadget;
  const char* answer = nullptr;
  EXPECT_EQ(gadget.ConfigText("retries=0x10", &answer), 0);
  EXPECT_EQ(gadget.retries, 16);
  EXPECT_EQ(gadget.ConfigText("Retries", &answer), 0);
  EXPECT_STREQ(answer, "16");
  EXPECT_EQ(gadget.ConfigText("Label = \" x = y \"", &answer), 0);
  EXPECT_EQ(Str(gadget.label), " x = y ");
  EXPECT_EQ(gadget.ConfigText("Strict=Yes", &answer), 0);
  EXPECT_EQ(gadget.ConfigText("Strict", &answer), 0);
  EXPECT_STREQ(answer, "True");
  EXPECT_EQ(gadget.ConfigText("Slot[2]=-9000000000", &answer), 0);
  EXPECT_EQ(gadget.ConfigText("Slot(2)", &answer), 0);
  EXPECT_STREQ(answer, "-9000000000");
  EXPECT_EQ(gadget.ConfigText("Slot", &answer), 605);
  EXPECT_EQ(gadget.ConfigText("Slot[4]=1", &answer), 605);
  // Root names still work through the derived class.
  EXPECT_EQ(gadget.ConfigText("CodePage=1252", &answer), 0);
  EXPECT_EQ(gadget.GetCodePage(), 1252);
  EXPECT_EQ(gadget.ConfigText("Bogus", &answer), -1);
  EXPECT_STREQ(answer, "");
  EXPECT_EQ(Str(gadget.error_text()), "Unknown config setting.");
}

TEST(ConfigChain, RefusedWriteKeepsTheValue) {
  GadgetComponent gadget;
  EXPECT_EQ(gadget.ConfigText("Retries=-1", nullptr), 202);
  EXPECT_EQ(gadget.retries, 3);
  EXPECT_EQ(Str(gadget.error_text()), "Retries must not be negative.");
}

TEST(ConfigChain, MostDerivedClassWins) {
  SpecialGadget gadget;
  ComponentBase* base = &gadget;  // through the root, as the owner calls it
  const char* answer = nullptr;
  EXPECT_EQ(base->ConfigText("Label=ignored", &answer), 0);
  EXPECT_EQ(Str(gadget.label), "");
  EXPECT_EQ(base->ConfigText("Label", &answer), 0);
  EXPECT_STREQ(answer, "special");
  EXPECT_EQ(base->ConfigText("Retries=7", &answer), 0);
  EXPECT_EQ(gadget.retries, 7);
  EXPECT_EQ(base->ConfigText("LogDebugOption=1", &answer), 0);
  EXPECT_EQ(gadget.log_option(), 1u);
}

// Listing walks the chain without matching anything: each name once (the override of Label
// too), in chain order, and no setting nor the last error changes.
TEST(ConfigChain, ListingNamesEachNameOnceAndSetsNothing) {
  SpecialGadget gadget;
  gadget.SetErrorTextCode(7, "before");
  StringList names;
  ASSERT_EQ(gadget.ListConfigNames(&names), 0);
  std::string all;
  for (int i = 0; i < names.Count(); ++i) all += std::string(names.Get(i)) + " ";
  EXPECT_EQ(all, "Label Retries Strict Slot CodePage CharsetMode LogDebugFile LogDebugOption LastError ZeroMemory ");
  EXPECT_EQ(gadget.retries, 3);
  EXPECT_EQ(gadget.error_code(), 7);
  EXPECT_EQ(Str(gadget.error_text()), "before");
}

// ---- Error texts ----

TEST(ErrorText, Composition) {
  ComponentBase c;
  c.SetErrorTextCode(9, "first");
  EXPECT_EQ(c.SetErrorText("plain"), 0);
  EXPECT_EQ(c.error_code(), 9);
  EXPECT_EQ(Str(c.error_text()), "plain");

  EXPECT_EQ(c.SetErrorTextNum("Bad length ", -12, "."), 0);
  EXPECT_EQ(c.error_code(), 0);
  EXPECT_EQ(Str(c.error_text()), "Bad length -12.");

  c.set_error_code(5);
  EXPECT_EQ(c.SetErrorTextNumKeep("Flags ", 255, " refused"), 0);
  EXPECT_EQ(c.error_code(), 5);
  EXPECT_EQ(Str(c.error_text()), "Flags 0xff refused");
  EXPECT_EQ(c.SetErrorTextNumKeep("", -1, nullptr), 0);
  EXPECT_EQ(Str(c.error_text()), "0xffffffff");

  EXPECT_EQ(c.SetErrorTextCode(151, "HTTP protocol error. "), 0);
  EXPECT_EQ(c.AppendErrorText("", 404, " Not Found"), 0);
  EXPECT_EQ(c.error_code(), 151);
  EXPECT_EQ(Str(c.error_text()), "HTTP protocol error. 404 Not Found");

  EXPECT_EQ(c.SetErrorText4("a", nullptr, "c", "d"), 0);
  EXPECT_EQ(c.error_code(), 0);
  EXPECT_EQ(Str(c.error_text()), "acd");

  EXPECT_EQ(c.SetErrorText(nullptr), 0);
  EXPECT_EQ(Str(c.error_text()), "");
}

TEST(ErrorText, PlatformErrorInHex) {
  ComponentBase c;
  win::SetLastError(5);
  EXPECT_EQ(c.SetErrorTextLastError("Cannot open"), 0);
  EXPECT_EQ(Str(c.error_text()), "Cannot open (error 0x5).");
  win::SetLastError(10061);
  EXPECT_EQ(c.SetErrorTextLastError(nullptr), 0);
  EXPECT_EQ(Str(c.error_text()), " (error 0x274d).");
}

TEST(ErrorText, OwnTextAsArgument) {
  ComponentBase c;
  std::string long_text(150, 'e');
  ASSERT_EQ(c.SetErrorText(long_text.c_str()), 0);
  EXPECT_EQ(c.SetErrorText(c.error_text().c_str()), 0);
  EXPECT_EQ(Str(c.error_text()), long_text);
  EXPECT_EQ(c.SetErrorText4(c.error_text().c_str(), "+", c.error_text().c_str(), nullptr), 0);
  EXPECT_EQ(Str(c.error_text()), long_text + "+" + long_text);
  ASSERT_EQ(c.SetErrorText("x"), 0);
  EXPECT_EQ(c.AppendErrorText(c.error_text().c_str(), 1, c.error_text().c_str()), 0);
  EXPECT_EQ(Str(c.error_text()), "xx1x");
}

TEST(ErrorText, OutOfMemoryKeepsTheOldText) {
  ComponentBase c;
  ASSERT_EQ(c.SetErrorText("old"), 0);
  std::string long_text(150, 'e');
  win::HeapFailAfter(1);
  int rc = c.SetErrorText4(long_text.c_str(), "", "", "");
  win::HeapFailAfter(0);
  EXPECT_EQ(rc, 200);
  EXPECT_EQ(Str(c.error_text()), "old");
  EXPECT_STREQ(DefaultErrorText(200), "Out of memory.");
  EXPECT_STREQ(DefaultErrorText(301), "Interrupted.");
  EXPECT_EQ(DefaultErrorText(0), nullptr);
}

TEST(InitCharset, ClearsErrorAndFollowsAnsiCodePage) {
  ComponentBase c;
  c.SetErrorTextCode(3, "x");
  c.set_charset_mode(1);
  c.InitCharset();
  EXPECT_EQ(c.error_code(), 0);
  EXPECT_EQ(Str(c.error_text()), "");
  EXPECT_EQ(c.charset_mode(), 0);
  win::SetACPForTesting(932);
  c.InitCharset();
  win::SetACPForTesting(65001);
  EXPECT_EQ(c.charset_mode(), 1);
}

// ---- Event firing and the log gate ----

struct FiredEvent {
  int code_page;
  int event;
  size_t arg_count;
};

class RecordingSink : public EventSink {
 public:
  void SetCodePage(int code_page) override { code_page_ = code_page; }
  int Fire(int event, std::span<void* const> args) override {
    events.push_back({code_page_, event, args.size()});
    if (on_fire) on_fire(event, args);
    return 99;
  }
  std::vector<FiredEvent> events;
  std::function<void(int, std::span<void* const>)> on_fire;

 private:
  int code_page_ = -1;
};

constexpr int kLogEvent = 8;

// A class that exposes LogLevel and fires Log as event 8, and a few other events.
class ChattyComponent : public ComponentBase {
 public:
  int FireHeader(const char* field, const char* value) { return FireEvent(7, field, value); }
  int FireError(int code, const char* text) { return FireEvent(5, code, text); }
  int FireFragment(int number, int count, int* interrupt) {
    return FireEvent(6, number, count, interrupt);
  }
  int FireTransfer(int direction, int64_t transferred, int percent, const void* bytes, int n) {
    EventBlock block;
    int rc = block.Set(bytes, n);
    if (rc != 0) return rc;
    return FireEvent(15, direction, transferred, percent, block.text(), block.length());
  }

 protected:
  int FireLog(int level, const char* text, const char* type) override {
    return FireEvent(kLogEvent, level, text, type);
  }
};

TEST(EventFiring, CodePageFirstThenPointersToCopies) {
  ChattyComponent c;
  RecordingSink sink;
  c.set_event_sink(&sink);
  ASSERT_EQ(c.ConfigText("CodePage=65001", nullptr), 0);
  int code = 604;
  sink.on_fire = [](int, std::span<void* const> args) {
    *static_cast<int*>(args[0]) = 1;  // the sink may change its copy
    EXPECT_STREQ(static_cast<const char*>(args[1]), "broken");
  };
  EXPECT_EQ(c.FireError(code, "broken"), 0);  // the sink's result is not used
  EXPECT_EQ(code, 604);
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].code_page, 65001);
  EXPECT_EQ(sink.events[0].event, 5);
  EXPECT_EQ(sink.events[0].arg_count, 2u);
}

TEST(EventFiring, NullTextsArriveEmpty) {
  ChattyComponent c;
  RecordingSink sink;
  c.set_event_sink(&sink);
  sink.on_fire = [](int, std::span<void* const> args) {
    ASSERT_EQ(args.size(), 2u);
    ASSERT_NE(args[0], nullptr);
    ASSERT_NE(args[1], nullptr);
    EXPECT_STREQ(static_cast<const char*>(args[0]), "Content-Type");
    EXPECT_STREQ(static_cast<const char*>(args[1]), "");
  };
  c.FireHeader("Content-Type", nullptr);
  EXPECT_EQ(sink.events.size(), 1u);
}

TEST(EventFiring, AnswerParameterReachesTheCaller) {
  ChattyComponent c;
  RecordingSink sink;
  c.set_event_sink(&sink);
  sink.on_fire = [](int, std::span<void* const> args) { *static_cast<int*>(args[2]) = 1; };
  int interrupt = 0;
  c.FireFragment(2, 5, &interrupt);
  EXPECT_EQ(interrupt, 1);
}

TEST(EventFiring, BlockIsACopyWithATerminator) {
  ChattyComponent c;
  RecordingSink sink;
  c.set_event_sink(&sink);
  // Exactly five bytes: a terminator written behind them would be caught by the sanitizer.
  auto bytes = std::make_unique<char[]>(5);
  std::memcpy(bytes.get(), "hello", 5);
  std::string seen;
  int64_t transferred = 0;
  int length = 0;
  sink.on_fire = [&](int, std::span<void* const> args) {
    ASSERT_EQ(args.size(), 5u);
    transferred = *static_cast<int64_t*>(args[1]);
    seen = static_cast<const char*>(args[3]);
    length = *static_cast<int*>(args[4]);
  };
  EXPECT_EQ(c.FireTransfer(1, 5000000000ll, 50, bytes.get(), 5), 0);
  EXPECT_EQ(seen, "hello");
  EXPECT_EQ(length, 5);
  EXPECT_EQ(transferred, 5000000000ll);
  EXPECT_EQ(std::memcmp(bytes.get(), "hello", 5), 0);

  c.FireTransfer(1, 0, 0, nullptr, 7);
  EXPECT_EQ(seen, "");
  EXPECT_EQ(length, 0);
}

TEST(EventFiring, WithoutSinkNothingFires) {
  ChattyComponent c;
  int interrupt = 0;
  EXPECT_EQ(c.FireFragment(1, 1, &interrupt), 0);
  c.set_log_level(kLogDebug);
  EXPECT_EQ(c.LogAtLevel(1, "x", "Info"), 0);
}

struct LogLine {
  int level;
  std::string text;
  std::string type;
  bool operator==(const LogLine&) const = default;
};

class LogGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c_.set_event_sink(&sink_);
    sink_.on_fire = [this](int event, std::span<void* const> args) {
      ASSERT_EQ(event, kLogEvent);
      ASSERT_EQ(args.size(), 3u);
      lines_.push_back({*static_cast<int*>(args[0]), static_cast<const char*>(args[1]),
                        static_cast<const char*>(args[2])});
    };
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : lines_) texts.push_back(line.text);
    return texts;
  }

  ChattyComponent c_;
  RecordingSink sink_;
  std::vector<LogLine> lines_;
};

TEST_F(LogGateTest, LevelOneDropsVerboseAndDebug) {
  ASSERT_EQ(c_.log_level(), 1);
  EXPECT_EQ(c_.LogAtLevel(2, "verbose", "Info"), 0);
  EXPECT_EQ(c_.LogAtLevel(3, "debug", "Info"), 0);
  EXPECT_EQ(c_.LogText2Verbose("a", "b", "Info"), 0);
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(c_.LogAtLevel(1, "info", "Conn"), 0);
  EXPECT_EQ(lines_, (std::vector<LogLine>{{1, "info", "Conn"}}));
}

TEST_F(LogGateTest, LevelThreeLetsEveryLineThrough) {
  c_.set_log_level(3);
  c_.LogText2("a", "b", "T");
  c_.LogText2Verbose("c", nullptr, "T");
  c_.LogText2Debug(nullptr, "d", nullptr);
  c_.LogAtLevel(3, nullptr, nullptr);
  EXPECT_EQ(lines_, (std::vector<LogLine>{{1, "ab", "T"}, {2, "c", "T"}, {3, "d", ""},
                                          {3, "", ""}}));
}

TEST_F(LogGateTest, DataIsNotBuiltBelowVerbose) {
  std::string data(300, 'd');  // too long for the inline area: building it allocates
  const int n = static_cast<int>(data.size());
  c_.set_log_level(1);
  long before = win::HeapAllocCount();
  win::HeapFailAfter(1);
  int rc = c_.LogDataDebug(data.data(), n, "Data");
  win::HeapFailAfter(0);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(win::HeapAllocCount(), before);
  EXPECT_TRUE(lines_.empty());

  // At verbose it is built (so a failing allocation shows) but the debug line is dropped.
  c_.set_log_level(2);
  win::HeapFailAfter(1);
  rc = c_.LogDataDebug(data.data(), n, "Data");
  win::HeapFailAfter(0);
  EXPECT_EQ(rc, 200);
  EXPECT_EQ(c_.LogDataDebug(data.data(), n, "Data"), 0);
  EXPECT_TRUE(lines_.empty());

  c_.set_log_level(3);
  EXPECT_EQ(c_.LogDataDebug(data.data(), n, "Data"), 0);
  EXPECT_EQ(lines_, (std::vector<LogLine>{{3, data, "Data"}}));
}

TEST_F(LogGateTest, LogLinesNeverGoToTheFile) {
  std::string dir = testsupport::MakeTempDir();
  std::string path = dir + "/lines.log";
  c_.set_log_level(3);
  ASSERT_EQ(c_.SetLogFile(path.c_str()), 0);
  c_.LogAtLevel(1, "x", "T");
  c_.LogText2("a", "b", "T");
  c_.LogDataDebug("abc", 3, "T");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"x", "ab", "abc"}));
  EXPECT_EQ(testsupport::ReadFile(path), "");
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tw
