// The control's events: every event of the client converted and delivered by reference to the
// connected sinks, answers written back, sinks that come and go during an event, event-time
// bytes, and the calls a handler may and may not make while the emulator serves a request.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <deque>
#include <utility>
#include <span>
#include <string>
#include <vector>

#include "control/com_error.h"
#include "tests/control/control_test_support.h"
#include "tests/control/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

using controltest::Control;
using win::HRESULT;
using controltest::DispResult;
using controltest::EventArg;
using controltest::EventRecorder;
using testsupport::AzuritePeer;

win::HRESULT Hr(uint32_t value) { return win::HResultOf(value); }

// The values of one event as the client hands them over: one pointer per argument. Copies
// point at their own values.
class ClientArgs {
 public:
  ClientArgs& T(const std::string& text) {
    texts_.push_back(text);
    order_.push_back({'t', texts_.size() - 1});
    return *this;
  }
  ClientArgs& I(int32_t value) {
    ints_.push_back(value);
    order_.push_back({'i', ints_.size() - 1});
    return *this;
  }
  ClientArgs& L(int64_t value) {
    longs_.push_back(value);
    order_.push_back({'l', longs_.size() - 1});
    return *this;
  }
  // A byte block: the bytes, then their length.
  ClientArgs& B(const std::string& bytes) {
    T(bytes);
    return I(static_cast<int32_t>(bytes.size()));
  }
  std::span<void* const> span() {
    pointers_.clear();
    for (const auto& [kind, k] : order_) {
      pointers_.push_back(kind == 't'   ? static_cast<void*>(texts_[k].data())
                          : kind == 'i' ? static_cast<void*>(&ints_[k])
                                        : static_cast<void*>(&longs_[k]));
    }
    return pointers_;
  }
  int32_t& last_int() { return ints_.back(); }

 private:
  std::deque<std::string> texts_;
  std::deque<int32_t> ints_;
  std::deque<int64_t> longs_;
  std::vector<std::pair<char, size_t>> order_;
  std::vector<void*> pointers_;
};

// The declared parameter types of an event in the type library.
std::vector<win::VARTYPE> DeclaredTypes(win::DISPID id) {
  std::vector<win::VARTYPE> types;
  for (const win::DispMember& m : tw::kCobalinEventsInterface.members) {
    if (m.dispid != id) continue;
    for (int k = 0; k < m.param_count; ++k) types.push_back(m.params[k].vt);
  }
  return types;
}

class ControlEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(control_.created, win::S_OK);
    ASSERT_EQ(recorder_.Advise(control_.dispatch()), win::S_OK);
  }
  void TearDown() override { recorder_.Unadvise(); }
  tw::EventSink& sink() { return *control_.object(); }
  int Fire(int event, ClientArgs& args, int code_page = 65001) {
    sink().SetCodePage(code_page);
    return sink().Fire(event, args.span());
  }

  Control control_;
  EventRecorder recorder_;
};

TEST_F(ControlEvents, EveryEventArrivesConvertedAndByReference) {
  struct Case {
    int event;
    const char* name;
    ClientArgs args;
    std::vector<std::string> expected;
  };
  std::vector<Case> cases;
  cases.push_back({1, "BlobList",
                   ClientArgs().T("na\xC3\xAFve.txt").T("c1").I(1).T("").L(5368709120)
                       .T("text/plain").T("Mon, 01 Jan 2024 00:00:00 GMT").T("Tue, 02 Jan 2024 00:00:00 GMT")
                       .T("\"0x8D\"").I(7).I(0).I(3),
                   {"na\xC3\xAFve.txt", "c1", "1", "", "5368709120", "text/plain",
                    "Mon, 01 Jan 2024 00:00:00 GMT", "Tue, 02 Jan 2024 00:00:00 GMT", "\"0x8D\"",
                    "true", "false", "3"}});
  // Block sizes and block counts arrive whole.
  cases.push_back({2, "BlockList", ClientArgs().T("id1").I(1).I(70000), {"id1", "1", "70000"}});
  cases.push_back({3, "ContainerList", ClientArgs().T("c").T("mod").T("etag").I(1).I(2),
                   {"c", "mod", "etag", "true", "2"}});
  cases.push_back({4, "EndTransfer", ClientArgs().I(1), {"1"}});
  cases.push_back({5, "Error", ClientArgs().I(151).T("HTTP protocol error. 500"),
                   {"151", "HTTP protocol error. 500"}});
  cases.push_back(
      {6, "FragmentComplete", ClientArgs().I(2).I(50000).I(0), {"2", "50000", "false"}});
  cases.push_back({7, "Header", ClientArgs().T("Content-Type").T("text/xml"),
                   {"Content-Type", "text/xml"}});
  cases.push_back({8, "Log", ClientArgs().I(2).T("URL: x").T("Info"), {"2", "URL: x", "Info"}});
  cases.push_back({9, "MetadataList", ClientArgs().T("c").T("b").T("").T("k").T("v"),
                   {"c", "b", "", "k", "v"}});
  cases.push_back({10, "PrefixList", ClientArgs().T("dir/"), {"dir/"}});
  // 64-bit values keep their sign: an unknown total is -1.
  cases.push_back({11, "Progress", ClientArgs().I(0).L(4294967296).L(-1).I(-1),
                   {"0", "4294967296", "-1", "-1"}});
  cases.push_back({12, "SSLServerAuthentication",
                   ClientArgs().B(std::string("ab\0c", 4)).T("CN=a").T("CN=b").T("OK").I(1),
                   {std::string("ab\0c", 4), "CN=a", "CN=b", "OK", "true"}});
  cases.push_back({13, "SSLStatus", ClientArgs().T("handshake"), {"handshake"}});
  cases.push_back({14, "StartTransfer", ClientArgs().I(0), {"0"}});
  cases.push_back({15, "Transfer", ClientArgs().I(1).L(INT64_MIN).I(50).B(std::string("x\0y", 3)),
                   {"1", "-9223372036854775808", "50", std::string("x\0y", 3)}});

  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.events.clear();
    EXPECT_EQ(Fire(c.event, c.args), win::S_OK);
    ASSERT_EQ(recorder_.events.size(), 1u);
    const controltest::Event& e = recorder_.events[0];
    EXPECT_EQ(e.name, c.name);
    EXPECT_EQ(e.args, c.expected);
    EXPECT_EQ(e.types, DeclaredTypes(c.event));
  }
}

TEST_F(ControlEvents, TextsFollowTheFiringCodePageAndDecimalsHoldTheValue) {
  ClientArgs prefix;
  prefix.T("\xE9t\xE9");
  EXPECT_EQ(Fire(tw::kBlobEventPrefixList, prefix, 1252), win::S_OK);
  ASSERT_EQ(recorder_.events.size(), 1u);
  EXPECT_EQ(recorder_.events[0].args[0], "\xC3\xA9t\xC3\xA9");

  // The content length is a decimal VARIANT behind the reference, with sign and magnitude.
  win::DECIMAL seen{};
  win::VARTYPE inner = win::VT_EMPTY;
  recorder_.handler = [&](win::DISPID, win::DISPPARAMS* params) {
    inner = EventArg(params, 2).pvarVal->vt;
    seen = EventArg(params, 2).pvarVal->decVal;
  };
  ClientArgs progress;
  progress.I(0).L(5).L(-5368709120).I(0);
  EXPECT_EQ(Fire(tw::kBlobEventProgress, progress), win::S_OK);
  EXPECT_EQ(inner, win::VT_DECIMAL);
  EXPECT_EQ(seen.sign, win::DECIMAL_NEG);
  EXPECT_EQ(seen.Lo64, 5368709120u);
  EXPECT_EQ(seen.Hi32, 0u);
  EXPECT_EQ(seen.scale, 0);
}

TEST_F(ControlEvents, MalformedFiresReachNoSink) {
  ClientArgs two;
  two.T("a").T("b");
  EXPECT_EQ(Fire(tw::kBlobEventBlockList, two), win::E_INVALIDARG);  // three values expected
  EXPECT_EQ(Fire(0, two), win::E_INVALIDARG);
  EXPECT_EQ(Fire(16, two), win::E_INVALIDARG);
  EXPECT_TRUE(recorder_.events.empty());

  // With nobody listening an event still converts and succeeds.
  recorder_.Unadvise();
  ClientArgs status;
  status.T("nobody");
  EXPECT_EQ(Fire(tw::kBlobEventSslStatus, status), win::S_OK);
  EXPECT_TRUE(recorder_.events.empty());
}

TEST_F(ControlEvents, SinksShareParametersAndOnlyAnswersGoBack) {
  EventRecorder second;
  ASSERT_EQ(second.Advise(control_.dispatch()), win::S_OK);
  // The first sink accepts and renames the subject; the second sees both and refuses.
  recorder_.handler = [](win::DISPID id, win::DISPPARAMS* params) {
    if (id != tw::kBlobEventSslServerAuthentication) return;
    *EventArg(params, 4).pboolVal = win::VARIANT_TRUE;
    win::BSTR* subject = EventArg(params, 1).pbstrVal;
    win::SysFreeString(*subject);
    *subject = win::SysAllocString(u"CN=renamed");
  };
  second.handler = [](win::DISPID id, win::DISPPARAMS* params) {
    if (id == tw::kBlobEventSslServerAuthentication) {
      *EventArg(params, 4).pboolVal = win::VARIANT_FALSE;
    }
    if (id == tw::kBlobEventFragmentComplete) *EventArg(params, 0).piVal = 99;
    if (id == tw::kBlobEventProgress) {  // even the type behind a VARIANT reference may change
      win::VARIANT* total = EventArg(params, 2).pvarVal;
      win::VariantClear(total);
      total->vt = win::VT_BSTR;
      total->bstrVal = win::SysAllocString(u"no longer a number");
    }
  };

  ClientArgs auth;
  auth.B("cert").T("CN=a").T("CN=b").T("OK").I(0);
  EXPECT_EQ(Fire(tw::kBlobEventSslServerAuthentication, auth), win::S_OK);
  EXPECT_EQ(auth.last_int(), 0);  // the later sink wins
  ASSERT_EQ(second.events.size(), 1u);
  EXPECT_EQ(second.events[0].args[1], "CN=renamed");
  EXPECT_EQ(second.events[0].args[4], "true");

  second.Unadvise();
  EXPECT_EQ(Fire(tw::kBlobEventSslServerAuthentication, auth), win::S_OK);
  EXPECT_EQ(auth.last_int(), 1);

  // Values that are not answers stay the client's.
  ASSERT_EQ(second.Advise(control_.dispatch()), win::S_OK);
  ClientArgs fragment;
  fragment.I(3).I(9).I(0);
  EXPECT_EQ(Fire(tw::kBlobEventFragmentComplete, fragment), win::S_OK);
  EXPECT_EQ(*static_cast<int32_t*>(fragment.span()[0]), 3);
  EXPECT_EQ(fragment.last_int(), 0);
  ClientArgs progress;
  progress.I(0).L(1).L(2).I(50);
  EXPECT_EQ(Fire(tw::kBlobEventProgress, progress), win::S_OK);
  EXPECT_EQ(*static_cast<int64_t*>(progress.span()[2]), 2);
  second.Unadvise();
}

// A heap sink that disconnects itself from inside its event and touches its own state after:
// the control must hold it until the call returns.
class SelfRemovingSink final : public win::IDispatch {
 public:
  SelfRemovingSink(int* calls, bool* destroyed) : calls_(calls), destroyed_(destroyed) {}
  ~SelfRemovingSink() { *destroyed_ = true; }
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (iid == win::IID_IUnknown || iid == win::IID_IDispatch || iid == tw::kDiidICobalinEvents) {
      *object = static_cast<win::IDispatch*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return ++refs_; }
  win::ULONG Release() override {
    const win::ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(win::UINT* count) override {
    *count = 0;
    return win::S_OK;
  }
  HRESULT GetTypeInfo(win::UINT, win::LCID, win::ITypeInfo**) override { return win::E_NOTIMPL; }
  HRESULT GetIDsOfNames(win::REFIID, win::LPOLESTR*, win::UINT, win::LCID, win::DISPID*) override {
    return win::E_NOTIMPL;
  }
  HRESULT Invoke(win::DISPID, win::REFIID, win::LCID, win::WORD, win::DISPPARAMS*, win::VARIANT*,
                 win::EXCEPINFO*, win::UINT*) override {
    point_->Unadvise(cookie_);
    point_.Reset();
    ++*calls_;  // after the point let go
    return win::S_OK;
  }
  HRESULT Advise(win::IDispatch* control) {
    win::ComPtr<win::IConnectionPointContainer> container;
    control->QueryInterface(win::IID_IConnectionPointContainer, container.PutVoid());
    container->FindConnectionPoint(tw::kDiidICobalinEvents, point_.Put());
    return point_->Advise(static_cast<win::IDispatch*>(this), &cookie_);
  }

 private:
  win::ULONG refs_ = 1;
  int* calls_;
  bool* destroyed_;
  win::ComPtr<win::IConnectionPoint> point_;
  win::DWORD cookie_ = 0;
};

TEST_F(ControlEvents, SinksMayDisconnectThemselvesAndOthersDuringAnEvent) {
  int calls = 0;
  bool destroyed = false;
  auto* self_removing = new SelfRemovingSink(&calls, &destroyed);
  ASSERT_EQ(self_removing->Advise(control_.dispatch()), win::S_OK);
  self_removing->Release();  // the connection holds the only reference

  EventRecorder later;
  ASSERT_EQ(later.Advise(control_.dispatch()), win::S_OK);
  bool in_event = false;
  // The first sink (connected in SetUp) drops the last one before it is reached.
  recorder_.handler = [&](win::DISPID, win::DISPPARAMS*) {
    in_event = control_.object()->InEvent();
    later.Unadvise();
  };

  ClientArgs status;
  status.T("one");
  EXPECT_EQ(Fire(tw::kBlobEventSslStatus, status), win::S_OK);
  EXPECT_TRUE(in_event);
  EXPECT_FALSE(control_.object()->InEvent());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(recorder_.events.size(), 1u);
  EXPECT_TRUE(later.events.empty());

  EXPECT_EQ(Fire(tw::kBlobEventSslStatus, status), win::S_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(recorder_.events.size(), 2u);
}

TEST_F(ControlEvents, EventBytesAreReadableOnlyDuringTheirEvent) {
  const std::string chunk("x\0y\xFF", 4);
  std::string during;
  std::string during_nested;
  recorder_.handler = [&](win::DISPID id, win::DISPPARAMS*) {
    if (id != tw::kBlobEventTransfer) return;
    during = control_.Get("TransferTextB").Bytes();
    // An event fired from inside this one leaves this one's bytes in place.
    ClientArgs log;
    log.I(1).T("nested").T("Info");
    sink().Fire(tw::kBlobEventLog, log.span());
    during_nested = control_.Get("TransferTextB").Bytes();
  };
  ClientArgs transfer;
  transfer.I(1).L(4).I(100).B(chunk);
  EXPECT_EQ(Fire(tw::kBlobEventTransfer, transfer), win::S_OK);
  EXPECT_EQ(during, chunk);
  EXPECT_EQ(during_nested, chunk);
  EXPECT_EQ(control_.Get("TransferTextB").Bytes(), "");

  std::string cert;
  recorder_.handler = [&](win::DISPID, win::DISPPARAMS*) {
    cert = control_.Get("SSLServerAuthenticationCertEncodedB").Bytes();
  };
  ClientArgs auth;
  auth.B(std::string("\x30\x82\x00\x01", 4)).T("s").T("i").T("OK").I(0);
  EXPECT_EQ(Fire(tw::kBlobEventSslServerAuthentication, auth), win::S_OK);
  EXPECT_EQ(cert, std::string("\x30\x82\x00\x01", 4));
  EXPECT_EQ(control_.Get("SSLServerAuthenticationCertEncodedB").Bytes(), "");
}

// A handler that lets go of the last reference to the control while a method runs: the object
// lives until that method returns.
TEST(ControlEventsLifetime, LastReferenceDroppedInAHandlerOutlivesTheRunningMethod) {
  win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED);
  win::IDispatch* control = nullptr;
  ASSERT_EQ(
      tw::ControlObject::Create(nullptr, win::IID_IDispatch, reinterpret_cast<void**>(&control)),
      win::S_OK);
  EventRecorder recorder;
  ASSERT_EQ(recorder.Advise(control), win::S_OK);
  bool released = false;
  recorder.handler = [&](win::DISPID, win::DISPPARAMS*) {
    if (released) return;
    released = true;
    recorder.Unadvise();
    control->Release();
  };
  // Interrupt logs the request it cancels, which fires Log while the method runs.
  std::vector<controltest::Arg> none;
  DispResult r = controltest::InvokeByName(control, "Interrupt", win::DISPATCH_METHOD, none);
  EXPECT_TRUE(released);
  EXPECT_EQ(r.hr, win::S_OK);
  EXPECT_EQ(recorder.Count("Log"), 1);
  win::CoUninitialize();
}

// ---- Handlers while the emulator serves a request ----

class ControlEventsService : public controltest::EmulatorFixture,
                             public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    ConnectAndCreateContainer("e", GetParam() == "https");
    if (HasFatalFailure() || IsSkipped()) return;
    // Uploads above 1000 bytes go in blocks of 400.
    ASSERT_TRUE(control_.Call("Config", {"SimpleUploadLimit=1000"}).ok());
    ASSERT_TRUE(control_.Call("Config", {"FragmentSize=400"}).ok());
    ASSERT_EQ(first_.Advise(control_.dispatch()), win::S_OK);
    ASSERT_EQ(second_.Advise(control_.dispatch()), win::S_OK);
  }
  void TearDown() override {
    first_.Unadvise();
    second_.Unadvise();
  }
  DispResult Upload(const std::string& name, const std::string& data) {
    control_.client().blob_data().Set(data.data(), static_cast<int>(data.size()));
    return control_.Call("CreateBlob", {name, int16_t{0}, 0});
  }
  std::string Download(const std::string& name) {
    control_.client().blob_data().Reset();
    DispResult r = control_.Call("GetBlob", {name});
    EXPECT_EQ(r.hr, win::S_OK) << r.description;
    return std::string(control_.client().blob_data().c_str(),
                       static_cast<size_t>(control_.client().blob_data().length()));
  }
  static int16_t Short(win::DISPPARAMS* params, win::UINT k) { return *EventArg(params, k).piVal; }

  EventRecorder first_;
  EventRecorder second_;
};


TEST_P(ControlEventsService, FragmentInterruptIsSharedAndTheLastSinkDecides) {
  const std::string data = testsupport::RandomBytes(2500, 31);
  first_.handler = [](win::DISPID id, win::DISPPARAMS* params) {
    if (id == tw::kBlobEventFragmentComplete && Short(params, 0) == 2) {
      *EventArg(params, 2).pboolVal = win::VARIANT_TRUE;
    }
  };
  DispResult stopped = Upload("stopped", data);
  EXPECT_EQ(stopped.hr, Hr(0x800A507F));  // 606
  EXPECT_EQ(stopped.description, "Upload was aborted by user.");
  EXPECT_EQ(stopped.help_context, 43409u);
  const auto seen = second_.Of("FragmentComplete");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].args[2], "true");  // what the first sink left
  EXPECT_EQ(seen[1].args[1], "7");

  // A later sink that takes the flag back lets the upload run to its end.
  second_.handler = [](win::DISPID id, win::DISPPARAMS* params) {
    if (id == tw::kBlobEventFragmentComplete) *EventArg(params, 2).pboolVal = win::VARIANT_FALSE;
  };
  second_.events.clear();
  control_.client().set_start_byte(0);
  DispResult finished = Upload("finished", data);
  ASSERT_EQ(finished.hr, win::S_OK) << finished.description;
  EXPECT_EQ(second_.Count("FragmentComplete"), 7);
  EXPECT_EQ(Download("finished"), data);
}

TEST_P(ControlEventsService, InterruptBetweenFragmentsStopsTheUploadBeforeItsNextRequest) {
  const std::string data = testsupport::RandomBytes(2500, 32);
  // Called while idle: no operation runs, so nothing later is stopped by it.
  ASSERT_EQ(control_.Call("Interrupt").hr, win::S_OK);
  DispResult whole = Upload("whole", data);
  ASSERT_EQ(whole.hr, win::S_OK) << whole.description;

  // From FragmentComplete no request is waiting: the upload stops before the third block.
  DispResult inner;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS* params) {
    if (id == tw::kBlobEventFragmentComplete && Short(params, 0) == 2) {
      inner = control_.Call("Interrupt");
    }
  };
  control_.client().set_overwrite(true);
  second_.events.clear();
  DispResult stopped = Upload("whole", std::string(data.rbegin(), data.rend()));
  EXPECT_EQ(inner.hr, win::S_OK);
  EXPECT_EQ(stopped.hr, Hr(0x800A4F4E));  // 301
  EXPECT_EQ(stopped.description, "Interrupted.");
  EXPECT_EQ(second_.Count("FragmentComplete"), 2);
  EXPECT_EQ(control_.client().start_byte(), 800) << "where a resumed upload would go on";
  control_.client().set_start_byte(0);
  EXPECT_EQ(Download("whole"), data) << "the committed blob is the earlier one";
}

TEST_P(ControlEventsService, SinkLeavesDuringAnUploadWhileTheOtherHearsAll) {
  first_.handler = [&](win::DISPID id, win::DISPPARAMS*) {
    if (id == tw::kBlobEventProgress) first_.Unadvise();
  };
  const std::string data = testsupport::RandomBytes(2500, 32);
  DispResult r = Upload("heard", data);
  ASSERT_EQ(r.hr, win::S_OK) << r.description;
  EXPECT_EQ(first_.Count("Progress"), 1);
  EXPECT_EQ(first_.Count("FragmentComplete"), 0);
  EXPECT_GT(second_.Count("Progress"), 1);
  EXPECT_EQ(second_.Count("FragmentComplete"), 7);
  const auto progress = second_.Of("Progress");
  EXPECT_EQ(progress.back().args[1], "2500");
  EXPECT_EQ(progress.back().args[2], "2500");
  EXPECT_EQ(progress.back().args[3], "100");
  EXPECT_GE(second_.Count("StartTransfer"), 1);
  EXPECT_GE(second_.Count("EndTransfer"), 1);
}

TEST_P(ControlEventsService, InterruptFromHandlersEndsTheRunningMethod) {
  const std::string data = testsupport::RandomBytes(200000, 33);
  ASSERT_TRUE(control_.Call("Config", {"SimpleUploadLimit=1000000"}).ok());
  ASSERT_EQ(Upload("big", data).hr, win::S_OK);

  // Download: from the first Progress over received bytes.
  DispResult inner;
  bool done = false;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS* params) {
    if (id != tw::kBlobEventProgress || done || Short(params, 0) != 1) return;
    if (EventArg(params, 1).pvarVal->decVal.Lo64 == 0) return;
    done = true;
    inner = control_.Call("Interrupt");
  };
  control_.client().blob_data().Reset();
  DispResult download = control_.Call("GetBlob", {"big"});
  EXPECT_TRUE(done);
  EXPECT_EQ(inner.hr, win::S_OK);
  EXPECT_EQ(download.hr, Hr(0x800A4F4E));  // 301
  EXPECT_EQ(download.description, "Interrupted.");
  EXPECT_EQ(download.help_context, 43414u);

  // Upload: from a Transfer event while the body goes out.
  done = false;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS* params) {
    if (id != tw::kBlobEventTransfer || done || Short(params, 0) != 0) return;
    done = true;
    inner = control_.Call("Interrupt");
  };
  control_.client().set_overwrite(true);
  DispResult upload = Upload("big", std::string(data.rbegin(), data.rend()));
  EXPECT_TRUE(done);
  EXPECT_EQ(inner.hr, win::S_OK);
  EXPECT_EQ(upload.hr, Hr(0x800A4F4E));
  EXPECT_EQ(upload.description, "Interrupted.");
  EXPECT_EQ(upload.help_context, 43409u);

  // Upload: from the first Progress, before any body byte went out (the connection is dropped
  // then, and the send that notices must not hide the interruption behind "Connection closed").
  done = false;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS* params) {
    if (id != tw::kBlobEventProgress || done || Short(params, 0) != 0) return;
    done = true;
    inner = control_.Call("Interrupt");
  };
  DispResult early = Upload("big", std::string(data.rbegin(), data.rend()));
  EXPECT_TRUE(done);
  EXPECT_EQ(inner.hr, win::S_OK);
  EXPECT_EQ(early.hr, Hr(0x800A4F4E));
  EXPECT_EQ(early.description, "Interrupted.");

  // The control is usable again afterwards.
  first_.handler = nullptr;
  EXPECT_EQ(Download("big"), data);
}

TEST_P(ControlEventsService, CallsThatWouldPullStateFromTheRunningRequestAreRefused) {
  const std::string data = testsupport::RandomBytes(2500, 34);
  std::vector<std::pair<std::string, DispResult>> inner;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS* params) {
    if (id == tw::kBlobEventFragmentComplete && Short(params, 0) == 1) {
      inner.emplace_back("Reset", control_.Call("Reset"));
      inner.emplace_back("GetBlobInfo", control_.Call("GetBlobInfo", {"other"}));
      inner.emplace_back("AddBlock", control_.Call("AddBlock", {"x", int16_t{0}}));
      inner.emplace_back("Config", control_.Call("Config", {"APIVersion"}));
    }
  };
  DispResult r = Upload("kept", data);
  ASSERT_EQ(r.hr, win::S_OK) << r.description;
  ASSERT_EQ(inner.size(), 4u);
  const win::DWORD contexts[] = {43429, 43415, 43402};
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(inner[k].first);
    EXPECT_EQ(inner[k].second.hr, Hr(0x800A4EB0));  // 143
    EXPECT_EQ(inner[k].second.description, "Busy performing current action.");
    EXPECT_EQ(inner[k].second.help_context, contexts[k]);
  }
  EXPECT_EQ(inner[3].second.hr, win::S_OK);
  EXPECT_EQ(inner[3].second.Text(), "2019-02-02");
  EXPECT_EQ(control_.client().blocks().Count(), 7);
  first_.handler = nullptr;
  EXPECT_EQ(Download("kept"), data);

  // A listing's handler cannot start a request that would replace the answer being read.
  ASSERT_EQ(Upload("second", "two").hr, win::S_OK);
  std::vector<DispResult> nested;
  first_.handler = [&](win::DISPID id, win::DISPPARAMS*) {
    if (id == tw::kBlobEventBlobList) nested.push_back(control_.Call("GetBlobInfo", {"kept"}));
  };
  first_.events.clear();
  DispResult listed = control_.Call("ListBlobs");
  ASSERT_EQ(listed.hr, win::S_OK) << listed.description;
  ASSERT_EQ(first_.Count("BlobList"), 2);
  ASSERT_EQ(nested.size(), 2u);
  EXPECT_EQ(nested[0].hr, Hr(0x800A4EB0));
  EXPECT_EQ(control_.client().blobs().Count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Scheme, ControlEventsService, ::testing::Values("http", "https"),
                         [](const auto& info) { return info.param; });

}  // namespace
