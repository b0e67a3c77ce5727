// The control's methods driven by name through IDispatch: the fixed answers and failures, the
// signed conversion of VARIANT arguments, text results and error information, and the methods
// against the storage emulator.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "control/com_error.h"
#include "platform/heap.h"
#include "tests/control/control_test_support.h"
#include "tests/control/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

using controltest::Arg;
using controltest::Control;
using controltest::DispResult;
using controltest::Utf16;
using controltest::Utf8;
using testsupport::AzuritePeer;

win::HRESULT Hr(uint32_t value) { return win::HResultOf(value); }

constexpr uint32_t kHrUnknownSetting = 0x800A4E20;  // code -1
constexpr uint32_t kHrInvalidValue = 0x800A4EEB;    // 202
constexpr uint32_t kHrServerError = 0x800A5079;     // 600
constexpr uint32_t kHrNotImplemented = 0x800A507A;  // 601
constexpr uint32_t kHrMissing = 0x800A507D;         // 604

// The source names the ProgID only once the class is registered; these tests do not register.
void ExpectSourceAndHelp(const DispResult& r, win::DWORD help_context) {
  EXPECT_TRUE(r.source.empty() || r.source == "Tarnwick.Cobalin.1") << r.source;
  EXPECT_EQ(r.help_context, help_context);
  EXPECT_EQ(r.help_file, help_context != 0 ? "tarnwick.chm" : "");
}

Arg Unknown(win::IUnknown* p) {
  win::VARIANT v;
  win::VariantInit(&v);
  v.vt = win::VT_UNKNOWN;
  v.punkVal = p;
  return Arg::Of(v);
}

// The dual interface itself, for what IDispatch drops (a text result of a failed call).
win::ComPtr<tw::ICobalin> Dual(Control& control) {
  win::ComPtr<tw::ICobalin> dual;
  control.dispatch()->QueryInterface(tw::kIidICobalin, dual.PutVoid());
  return dual;
}

std::string ThreadErrorDescription() {
  win::ComPtr<win::IErrorInfo> info;
  if (win::GetErrorInfo(0, info.Put()) != win::S_OK || !info) return "<none>";
  win::BStr text;
  info->GetDescription(text.Put());
  return Utf8(text.Get());
}

class ControlMethods : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(control_.created, win::S_OK); }
  // A text the client keeps as its last error until an operation runs.
  void MarkError() { control_.client().SetErrorTextCode(0, "untouched"); }
  std::string LastError() { return control_.client().error_text().c_str(); }

  Control control_;
};

TEST_F(ControlMethods, ConfigReadsWritesAndRefusesUnknownNames) {
  DispResult version = control_.Call("Config", {"APIVersion"});
  EXPECT_EQ(version.hr, win::S_OK);
  EXPECT_EQ(version.Text(), "2019-02-02");

  ASSERT_TRUE(control_.Call("Config", {"FragmentSize=4096"}).ok());
  EXPECT_EQ(control_.Call("Config", {"FragmentSize"}).Text(), "4096");

  // A failure just before must not lend its text to the unknown name.
  ASSERT_FALSE(control_.Call("GetUserDelegationKey", {"", ""}).ok());
  DispResult unknown = control_.Call("Config", {"NoSuchSetting"});
  EXPECT_EQ(unknown.hr, Hr(kHrUnknownSetting));
  EXPECT_EQ(unknown.description, "Unknown config setting.");
  ExpectSourceAndHelp(unknown, 43407);

  // Through the interface the answer of a failed read is an empty text, not a missing one.
  win::BStr name(u"NoSuchSetting");
  win::BStr answer;
  EXPECT_EQ(Dual(control_)->Config(name.Get(), answer.Put()), Hr(kHrUnknownSetting));
  ASSERT_NE(answer.Get(), nullptr);
  EXPECT_EQ(answer.Length(), 0u);
}

TEST_F(ControlMethods, FixedFailuresOfTheControl) {
  DispResult key = control_.Call("GetUserDelegationKey", {"", ""});
  EXPECT_EQ(key.hr, Hr(kHrNotImplemented));
  EXPECT_EQ(key.description, "This method is not implemented; it is reserved for future use.");
  ExpectSourceAndHelp(key, 43419);

  // The verb is compared exactly, and before the blob's container is looked at.
  for (const char* verb : {"PATCH", "get", "MOVE", "GET ", ""}) {
    SCOPED_TRACE(verb);
    DispResult r = control_.Call("SendCustomRequest", {verb, "blob", ""});
    EXPECT_EQ(r.hr, Hr(kHrInvalidValue));
    EXPECT_EQ(r.description, "HttpMethod must be GET, HEAD, POST, PUT, or DELETE.");
    ExpectSourceAndHelp(r, 43430);
  }
  // A text argument ends at its first NUL: this verb is GET and reaches the client's checks.
  DispResult cut =
      control_.Call("SendCustomRequest", {std::u16string(u"GET\0PATCH", 9), "blob", ""});
  EXPECT_EQ(cut.hr, Hr(kHrInvalidValue));
  EXPECT_EQ(cut.description, "The Container property must be set if Blob is non-empty.");
}

// Every method reports its own help context: the DISPID's offset from AbortCopy plus 43401.
TEST_F(ControlMethods, EveryFailingMethodReportsItsHelpContext) {
  struct Case {
    const char* method;
    std::vector<Arg> args;
    win::DWORD help_context;
  };
  std::vector<Case> cases;
  cases.push_back({"AbortCopy", {"", ""}, 43401});
  cases.push_back({"AddBlock", {"", int16_t{0}}, 43402});
  cases.push_back({"AppendBlock", {""}, 43405});
  cases.push_back({"ClearPages", {"", 0, 1}, 43406});
  cases.push_back({"CopyBlob", {"", "", ""}, 43408});
  cases.push_back({"CreateBlob", {"", int16_t{0}, 0}, 43409});
  cases.push_back({"CreateContainer", {}, 43410});
  cases.push_back({"CreateSnapshot", {""}, 43411});
  cases.push_back({"DeleteBlob", {"", int16_t{0}}, 43412});
  cases.push_back({"DeleteContainer", {}, 43413});
  cases.push_back({"GetBlob", {""}, 43414});
  cases.push_back({"GetBlobInfo", {""}, 43415});
  cases.push_back({"GetContainerACL", {}, 43416});
  cases.push_back({"GetContainerInfo", {}, 43417});
  cases.push_back({"GetLink", {"", "r", "", ""}, 43418});
  cases.push_back({"Lease", {"", int16_t{0}, "", int16_t{-1}}, 43421});
  cases.push_back({"ListBlobs", {}, 43422});
  cases.push_back({"ListBlocks", {"", int16_t{0}}, 43423});
  cases.push_back({"ListPageRanges", {""}, 43425});
  cases.push_back({"PutBlock", {"", ""}, 43426});
  cases.push_back({"PutBlockList", {"", ""}, 43427});
  cases.push_back({"PutPages", {"", 0}, 43428});
  cases.push_back({"SetContainerACL", {int16_t{0}}, 43431});
  cases.push_back({"UndeleteBlob", {""}, 43434});
  cases.push_back({"UpdateBlobInfo", {""}, 43435});
  cases.push_back({"UpdateMetadata", {""}, 43436});
  cases.push_back({"UpdatePageBlob", {"", -1, int16_t{0}, 0}, 43437});
  for (Case& c : cases) {
    SCOPED_TRACE(c.method);
    DispResult r = control_.Call(c.method, c.args);
    EXPECT_TRUE(win::FAILED(r.hr));
    EXPECT_EQ(static_cast<uint32_t>(r.hr) & 0xFFFF0000u, 0x800A0000u);
    EXPECT_FALSE(r.description.empty());
    ExpectSourceAndHelp(r, c.help_context);
  }
}

// Offsets, counts and sizes reach the client with their sign; the client's own range checks
// then speak (a magnitude would have passed them).
TEST_F(ControlMethods, VariantArgumentsKeepTheirSign) {
  control_.client().container().SetText("c");
  struct Case {
    const char* method;
    std::vector<Arg> args;
    const char* text;
  };
  std::vector<Case> cases;
  cases.push_back({"PutPages", {"p", -512},
                   "WriteOffset must be greater than or equal to 0, and a multiple of 512."});
  cases.push_back({"ClearPages", {"p", "-512", 1},
                   "ByteOffset must be greater than or equal to 0, and a multiple of 512."});
  cases.push_back({"ClearPages", {"p", 512, int64_t{-1}},
                   "PageCount must be greater than or equal to 1."});
  cases.push_back({"ClearPages", {"p", 512, int64_t{INT64_MAX}},
                   "PageCount reaches past the largest byte offset."});
  cases.push_back({"CreateBlob", {"p", int16_t{1}, -512},
                   "When creating a page blob, PageBlobSize must be greater than or equal to 0, "
                   "and a multiple of 512."});
  cases.push_back({"UpdatePageBlob", {"p", -512, int16_t{0}, 0},
                   "NewSize must be -1, or a value that is greater than or equal to 0 and a "
                   "multiple of 512."});
  cases.push_back({"UpdatePageBlob", {"p", -1, int16_t{2}, -5.0},
                   "When SequenceNumAction is 2 or 3, NewSequenceNum must be a value in the range "
                   "0 to 2^63 - 1."});
  for (Case& c : cases) {
    SCOPED_TRACE(c.method);
    DispResult r = control_.Call(c.method, c.args);
    EXPECT_EQ(r.hr, Hr(kHrInvalidValue));
    EXPECT_EQ(r.description, c.text);
  }

  // -1 ("keep the size") passes the size check and stops only at the missing account.
  DispResult keep = control_.Call("UpdatePageBlob", {"p", -1, int16_t{0}, 0});
  EXPECT_TRUE(win::FAILED(keep.hr));
  EXPECT_EQ(keep.description.find("NewSize"), std::string::npos) << keep.description;

  // A by-reference number is read through its reference.
  win::LONG offset = -512;
  win::VARIANT by_ref;
  win::VariantInit(&by_ref);
  by_ref.vt = win::VT_BYREF | win::VT_I4;
  by_ref.plVal = &offset;
  DispResult r = control_.Call("PutPages", {"p", Arg::Of(by_ref)});
  EXPECT_EQ(r.description,
            "WriteOffset must be greater than or equal to 0, and a multiple of 512.");
}

TEST_F(ControlMethods, UnconvertibleVariantArgumentCallsNothing) {
  control_.client().container().SetText("c");
  win::SAFEARRAY* array = win::SafeArrayCreateVector(win::VT_UI1, 0, 4);
  win::VARIANT bytes;
  win::VariantInit(&bytes);
  bytes.vt = win::VT_ARRAY | win::VT_UI1;
  bytes.parray = array;
  std::vector<Arg> values;
  values.emplace_back("five hundred");
  values.emplace_back(1e30);
  values.emplace_back(512.5);
  values.push_back(Arg::Of(bytes));
  win::VariantClear(&bytes);
  for (size_t k = 0; k < values.size(); ++k) {
    SCOPED_TRACE(k);
    Arg& value = values[k];
    MarkError();
    DispResult r = control_.Call("PutPages", {"p", value});
    EXPECT_EQ(r.hr, win::E_INVALIDARG);
    EXPECT_EQ(LastError(), "untouched");
  }
}

TEST_F(ControlMethods, TextResultsComeBackWhateverTheResult) {
  auto dual = Dual(control_);
  ASSERT_TRUE(dual);
  win::BStr empty(u"");
  win::BStr copy_id;
  EXPECT_EQ(dual->CopyBlob(empty.Get(), empty.Get(), empty.Get(), copy_id.Put()), Hr(kHrMissing));
  ASSERT_NE(copy_id.Get(), nullptr);
  EXPECT_EQ(copy_id.Length(), 0u);

  // A link is made without a request.
  control_.client().account().SetText("acct");
  control_.client().access_key().SetText("a2V5");
  control_.client().container().SetText("c");
  DispResult link = control_.Call("GetLink", {"b", "r", "", "2030-01-01T00:00:00Z"});
  ASSERT_EQ(link.hr, win::S_OK) << link.description;
  EXPECT_EQ(link.Text().rfind("https://acct.blob.core.windows.net/c/b?", 0), 0u) << link.Text();
  EXPECT_NE(link.Text().find("sp=r"), std::string::npos);
}

TEST_F(ControlMethods, ArgumentOutOfMemoryCallsNothing) {
  auto dual = Dual(control_);
  win::BStr long_name(Utf16(std::string(300, 'n')));
  win::BStr value(u"v");
  MarkError();
  win::HeapFailAfter(1);  // the converted name is the call's first allocation
  const win::HRESULT hr = dual->AddMetadata(long_name.Get(), value.Get());
  win::HeapFailAfter(0);
  EXPECT_EQ(hr, tw::kHrOutOfMemory);
  EXPECT_EQ(ThreadErrorDescription(), "Out of memory.");
  EXPECT_EQ(LastError(), "untouched");
  EXPECT_EQ(control_.client().metadata().Count(), 0);

  EXPECT_EQ(dual->AddMetadata(long_name.Get(), value.Get()), win::S_OK);
  EXPECT_EQ(control_.client().metadata().Count(), 1);
}

TEST_F(ControlMethods, PageHooksInterruptAndResetWhenIdle) {
  EXPECT_EQ(control_.Call("OnStartPage", {Unknown(nullptr)}).hr, win::S_OK);
  EXPECT_EQ(control_.Call("OnEndPage").hr, win::S_OK);
  EXPECT_EQ(control_.Call("Interrupt").hr, win::S_OK);

  ASSERT_TRUE(control_.Call("AddQueryParam", {"a", "1"}).ok());
  ASSERT_TRUE(control_.Call("Config", {"FragmentSize=4096"}).ok());
  control_.client().container().SetText("c");
  EXPECT_EQ(control_.Call("Reset").hr, win::S_OK);
  EXPECT_EQ(control_.client().query_params().Count(), 0);
  EXPECT_TRUE(control_.client().container().empty());
  EXPECT_EQ(control_.Call("Config", {"FragmentSize"}).Text(), "104857600");
}

// ---- Against the storage emulator, over http and over https with the own TLS engine ----

class ControlMethodsService : public controltest::EmulatorFixture,
                              public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    ConnectAndCreateContainer("m", GetParam() == "https");
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(recorder_.Advise(control_.dispatch()), win::S_OK);
  }
  void TearDown() override { recorder_.Unadvise(); }

  controltest::EventRecorder recorder_;
};


TEST_P(ControlMethodsService, UploadListAndDownloadBlobData) {
  const std::string first(2500, 'a');
  const std::string second = "second blob\r\nwith two lines";
  ASSERT_TRUE(control_.Put("BlobData", first).ok());
  DispResult created = control_.Call("CreateBlob", {"first.txt", int16_t{0}, 0});
  ASSERT_EQ(created.hr, win::S_OK) << created.description;
  ASSERT_TRUE(control_.Put("BlobData", second).ok());
  ASSERT_TRUE(control_.Call("CreateBlob", {"second.txt", int16_t{0}, 0}).ok());

  recorder_.events.clear();
  recorder_.handler = [](win::DISPID id, win::DISPPARAMS* params) {
    if (id != tw::kBlobEventBlobList) return;
    // The length travels as a VARIANT by reference, holding a decimal.
    const win::VARIANT& length = controltest::EventArg(params, 4);
    ASSERT_EQ(length.vt, win::VT_BYREF | win::VT_VARIANT);
    EXPECT_EQ(length.pvarVal->vt, win::VT_DECIMAL);
  };
  DispResult listed = control_.Call("ListBlobs");
  ASSERT_EQ(listed.hr, win::S_OK) << listed.description;
  const auto blobs = recorder_.Of("BlobList");
  ASSERT_EQ(blobs.size(), 2u);
  EXPECT_EQ(blobs[0].args[0], "first.txt");
  EXPECT_EQ(blobs[0].args[4], "2500");
  EXPECT_EQ(blobs[1].args[0], "second.txt");
  EXPECT_EQ(blobs[1].args[4], std::to_string(second.size()));
  EXPECT_EQ(blobs[0].args[9], "false");  // SoftDeleted

  EXPECT_EQ(control_.Get("BlobCount").Int(), 2);
  EXPECT_EQ(control_.Text("BlobName", {1}), "second.txt");
  DispResult length = control_.Get("BlobContentLength", {0});
  EXPECT_EQ(length.value.vt, win::VT_DECIMAL);
  EXPECT_EQ(length.Int(), 2500);

  ASSERT_TRUE(control_.Put("BlobData", "").ok());
  recorder_.events.clear();
  DispResult got = control_.Call("GetBlob", {"second.txt"});
  ASSERT_EQ(got.hr, win::S_OK) << got.description;
  EXPECT_EQ(control_.Text("BlobData"), second);
  EXPECT_GE(recorder_.Count("StartTransfer"), 1);
  EXPECT_GE(recorder_.Count("EndTransfer"), 1);
  const auto progress = recorder_.Of("Progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().args[0], "1");  // download
  EXPECT_EQ(progress.back().args[1], std::to_string(second.size()));
  EXPECT_EQ(progress.back().args[3], "100");
}

TEST_P(ControlMethodsService, PageArgumentsAsTextsAndKeptSize) {
  DispResult created = control_.Call("CreateBlob", {"pages", int16_t{1}, "4096"});
  ASSERT_EQ(created.hr, win::S_OK) << created.description;
  control_.client().blob_data().Set(std::string(1536, 'p').data(), 1536);
  ASSERT_TRUE(control_.Call("PutPages", {"pages", 512}).ok());
  DispResult cleared = control_.Call("ClearPages", {"pages", "512", 1});
  ASSERT_EQ(cleared.hr, win::S_OK) << cleared.description;
  ASSERT_TRUE(control_.Call("ListPageRanges", {"pages"}).ok());
  std::string ranges;
  for (int i = 0; i < control_.client().page_ranges().Count(); ++i) {
    const tw::PageRangeRecord* r = control_.client().page_ranges().At(i);
    if (!r->cleared) ranges += std::to_string(r->first) + "-" + std::to_string(r->last) + " ";
  }
  EXPECT_EQ(ranges, "1024-2047 ");

  // -1 keeps the size while the sequence number is set.
  DispResult kept = control_.Call("UpdatePageBlob", {"pages", -1, int16_t{2}, int64_t{7}});
  ASSERT_EQ(kept.hr, win::S_OK) << kept.description;
  ASSERT_TRUE(control_.Call("GetBlobInfo", {"pages"}).ok());
  ASSERT_GE(control_.client().blobs().Count(), 1);
  EXPECT_EQ(control_.client().blobs().At(0)->content_length, 4096);
  EXPECT_EQ(control_.client().blobs().At(0)->sequence_num, 7);

  ASSERT_TRUE(control_.Call("UpdatePageBlob", {"pages", "8192", int16_t{0}, 0}).ok());
  ASSERT_TRUE(control_.Call("GetBlobInfo", {"pages"}).ok());
  EXPECT_EQ(control_.client().blobs().At(0)->content_length, 8192);
}

TEST_P(ControlMethodsService, ContainerAccessLevelRoundTrip) {
  for (int16_t level : {int16_t{2}, int16_t{1}, int16_t{0}}) {
    SCOPED_TRACE(level);
    DispResult set = control_.Call("SetContainerACL", {level});
    ASSERT_EQ(set.hr, win::S_OK) << set.description;
    DispResult got = control_.Call("GetContainerACL");
    ASSERT_EQ(got.hr, win::S_OK) << got.description;
    EXPECT_EQ(got.value.vt, win::VT_I2);
    EXPECT_EQ(got.Int(), level);
  }
}

TEST_P(ControlMethodsService, ServiceFailuresCarryHResultAndExcepInfo) {
  DispResult missing = control_.Call("GetBlob", {"missing"});
  EXPECT_EQ(missing.hr, Hr(kHrServerError));
  EXPECT_NE(missing.description.find("BlobNotFound"), std::string::npos) << missing.description;
  ExpectSourceAndHelp(missing, 43414);

  DispResult copy = control_.Call("CopyBlob", {"missing", "dest", ""});
  EXPECT_EQ(copy.hr, Hr(kHrServerError)) << copy.description;
  ExpectSourceAndHelp(copy, 43408);
  auto dual = Dual(control_);
  win::BStr src(u"missing");
  win::BStr dest(u"dest");
  win::BStr none;
  win::BStr copy_id;
  EXPECT_EQ(dual->CopyBlob(src.Get(), dest.Get(), none.Get(), copy_id.Put()), Hr(kHrServerError));
  ASSERT_NE(copy_id.Get(), nullptr);
  EXPECT_EQ(copy_id.Length(), 0u);

  // The snapshot id comes back as text.
  ASSERT_TRUE(control_.Put("BlobData", "snap me").ok());
  ASSERT_TRUE(control_.Call("CreateBlob", {"snap", int16_t{0}, 0}).ok());
  DispResult snapshot = control_.Call("CreateSnapshot", {"snap"});
  ASSERT_EQ(snapshot.hr, win::S_OK) << snapshot.description;
  EXPECT_FALSE(snapshot.Text().empty());
}

INSTANTIATE_TEST_SUITE_P(Scheme, ControlMethodsService, ::testing::Values("http", "https"),
                         [](const auto& info) { return info.param; });

}  // namespace
