// The control's server library as a host sees it: registered into a private registry, found by
// ProgID, loaded with dlopen, asked for objects and let go again.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "control/cobalin.h"
#include "platform/com_client.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "tests/control/control_test_support.h"
#include "tests/support/test_support.h"

namespace {

using controltest::Arg;
using controltest::DispResult;
using controltest::InvokeByName;
using controltest::Utf8;
using win::HRESULT;

constexpr char kClassKey[] = "CLSID\\{9A5A7DA7-A08C-43DF-96E4-98102BCC6A1C}";
constexpr char kTypeLibKey[] = "TypeLib\\{69948F84-9E1A-4128-B613-F6C5DEE2FBB3}";

// The default (or named) string value of a key under HKEY_CLASSES_ROOT; "<absent>" when the key
// or value is missing.
std::string ReadValue(const std::string& path, const char* name = nullptr) {
  win::HKEY key = nullptr;
  if (win::RegOpenKeyExA(win::HKEY_CLASSES_ROOT, path.c_str(), 0, win::KEY_READ, &key) !=
      win::ERROR_SUCCESS) {
    return "<absent>";
  }
  char data[4096] = {};
  win::DWORD size = sizeof data - 1;
  win::DWORD type = 0;
  win::LONG error = win::RegQueryValueExA(key, name, nullptr, &type,
                                          reinterpret_cast<win::BYTE*>(data), &size);
  win::RegCloseKey(key);
  if (error != win::ERROR_SUCCESS) return "<absent>";
  if (type != win::REG_SZ) return "<type " + std::to_string(type) + ">";
  return data;
}

bool KeyExists(const std::string& path) {
  win::HKEY key = nullptr;
  if (win::RegOpenKeyExA(win::HKEY_CLASSES_ROOT, path.c_str(), 0, win::KEY_READ, &key) !=
      win::ERROR_SUCCESS) {
    return false;
  }
  win::RegCloseKey(key);
  return true;
}

#ifdef TW_COBALIN_SERVER
constexpr char kModule[] = TW_COBALIN_SERVER;
#else
constexpr char kModule[] = "";
#endif

// Calls one entry point of the module the way a registration tool does: load, call, free.
template <class Fn, class... A>
HRESULT CallEntry(const char* name, A... args) {
  win::HMODULE module = win::LoadLibraryA(kModule);
  if (module == nullptr) return win::E_UNEXPECTED;
  auto fn = reinterpret_cast<Fn>(win::GetProcAddress(module, name));
  HRESULT hr = fn != nullptr ? fn(args...) : win::E_UNEXPECTED;
  win::FreeLibrary(module);
  return hr;
}

HRESULT Register() { return CallEntry<win::DllRegisterServerFn>("DllRegisterServer"); }
HRESULT Unregister() { return CallEntry<win::DllUnregisterServerFn>("DllUnregisterServer"); }
HRESULT CanUnloadNow() { return CallEntry<win::DllCanUnloadNowFn>("DllCanUnloadNow"); }

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kModule[0] == 0) GTEST_SKIP() << "the server library is not built";
    dir_ = testsupport::MakeTempDir();
    const char* old = std::getenv("TW_REGISTRY_FILE");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    // The registry file is named by the environment at every access, so setting it here is
    // enough for this process and the library it loads.
    ::setenv("TW_REGISTRY_FILE", (dir_ + "/registry.txt").c_str(), 1);
    ASSERT_TRUE(win::SUCCEEDED(win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED)));
    initialised_ = true;
  }
  void TearDown() override {
    if (!initialised_) return;
    win::CoFreeUnusedLibraries();
    win::CoUninitialize();
    if (had_old_) {
      ::setenv("TW_REGISTRY_FILE", old_.c_str(), 1);
    } else {
      ::unsetenv("TW_REGISTRY_FILE");
    }
    testsupport::RunCommand("rm -rf '" + dir_ + "'");
  }

  win::ComPtr<win::IDispatch> Create() {
    win::ComPtr<win::IDispatch> object;
    EXPECT_EQ(win::CoCreateInstance(tw::kClsidCobalin, nullptr, win::CLSCTX_INPROC_SERVER,
                                    win::IID_IDispatch, object.PutVoid()),
              win::S_OK);
    return object;
  }

  std::string dir_;
  bool had_old_ = false;
  bool initialised_ = false;
  std::string old_;
};

// The C library keeps a library mapped while a thread holds thread-local state of it (the
// message queue its copy of the platform layer made for that thread), so the objects live on a
// thread of their own here. Each test runs in a process of its own under ctest; run after other
// tests of this file in one process, the library may already be held by this thread.
TEST_F(ServerTest, UnloadedLibraryIsGoneOnceNoThreadHoldsItsState) {
  ASSERT_EQ(Register(), win::S_OK);
  if (void* held = ::dlopen(kModule, RTLD_NOW | RTLD_NOLOAD)) {
    ::dlclose(held);
    GTEST_SKIP() << "an earlier test of this process left the library's state on this thread";
  }
  std::thread worker([] {
    ASSERT_TRUE(win::SUCCEEDED(win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED)));
    win::ComPtr<win::IDispatch> object;
    ASSERT_EQ(win::CoCreateInstance(tw::kClsidCobalin, nullptr, win::CLSCTX_INPROC_SERVER,
                                    win::IID_IDispatch, object.PutVoid()),
              win::S_OK);
    std::vector<Arg> none;
    EXPECT_EQ(InvokeByName(object.Get(), "Timeout", win::DISPATCH_PROPERTYGET, none).Int(), 60);
    object.Reset();
    win::CoFreeUnusedLibraries();
    EXPECT_EQ(win::LoadedServerLibraryCount(), 0u);
    win::CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(CanUnloadNow(), win::S_OK);  // loads and frees it once more
  void* left = ::dlopen(kModule, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(left, nullptr) << "the library was unloaded";
  if (left != nullptr) ::dlclose(left);
}

// Every name the library lists for a host is one that its control's Config knows.
TEST_F(ServerTest, ListedConfigSettingsAreKnownToTheControl) {
  ASSERT_EQ(Register(), win::S_OK);
  win::ComPtr<win::IDispatch> object = Create();
  ASSERT_TRUE(object);
  std::vector<std::string> names;
  win::HMODULE module = win::LoadLibraryA(kModule);
  auto list = reinterpret_cast<int (*)(void (*)(void*, const char*), void (*)(void*, const char*, int, const char*),
                                       void*)>(win::GetProcAddress(module, "TwListConfigAndValues"));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list([](void* to, const char* name) { static_cast<std::vector<std::string>*>(to)->emplace_back(name); },
                 [](void*, const char*, int, const char*) {}, &names), 0);
  win::FreeLibrary(module);
  EXPECT_GT(names.size(), 150u);
  for (const std::string& name : names) {
    std::vector<Arg> args{Arg(name)};
    EXPECT_NE(InvokeByName(object.Get(), "Config", win::DISPATCH_METHOD, args).description, "Unknown config setting.")
        << name;
  }
}

TEST_F(ServerTest, RegistrationWritesTheScriptAndRemovalTakesItAway) {
  char real[PATH_MAX];
  ASSERT_NE(::realpath(kModule, real), nullptr);
  const std::string path = real;
  const std::string clsid = "{9A5A7DA7-A08C-43DF-96E4-98102BCC6A1C}";
  const std::string cls = kClassKey;

  // Left from an older registration: replaced whole.
  win::HKEY stale = nullptr;
  ASSERT_EQ(win::RegCreateKeyExA(win::HKEY_CLASSES_ROOT, (cls + "\\Stale").c_str(), 0, nullptr, 0,
                                 win::KEY_WRITE, nullptr, &stale, nullptr),
            win::ERROR_SUCCESS);
  win::RegCloseKey(stale);

  ASSERT_EQ(Register(), win::S_OK);
  for (const char* progid : {"Tarnwick.Cobalin", "Tarnwick.Cobalin.1", "Tarnwick20.Cobalin"}) {
    SCOPED_TRACE(progid);
    EXPECT_EQ(ReadValue(std::string(progid) + "\\CLSID"), clsid);
    EXPECT_EQ(ReadValue(std::string(progid) + "\\CurVer"), "Tarnwick.Cobalin.1");
    EXPECT_EQ(ReadValue(progid), ReadValue(cls)) << "the class description";
  }
  EXPECT_NE(ReadValue(cls), "<absent>");
  EXPECT_EQ(ReadValue(cls + "\\ProgID"), "Tarnwick.Cobalin.1");
  EXPECT_EQ(ReadValue(cls + "\\VersionIndependentProgID"), "Tarnwick.Cobalin");
  EXPECT_EQ(ReadValue(cls + "\\InprocServer32"), path);
  EXPECT_EQ(ReadValue(cls + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(ReadValue(cls + "\\ToolboxBitmap32"), path + ", 101");
  EXPECT_EQ(ReadValue(cls + "\\MiscStatus"), "0");
  EXPECT_EQ(ReadValue(cls + "\\MiscStatus\\1"), "132497");
  EXPECT_EQ(std::stoul(ReadValue(cls + "\\MiscStatus\\1")), 0x20591u);
  EXPECT_EQ(ReadValue(cls + "\\TypeLib"), "{69948F84-9E1A-4128-B613-F6C5DEE2FBB3}");
  EXPECT_EQ(ReadValue(cls + "\\Version"), "1.0");
  for (const char* empty : {"Programmable", "Control", "Insertable"}) {
    EXPECT_TRUE(KeyExists(cls + "\\" + empty)) << empty;
  }
  EXPECT_FALSE(KeyExists(cls + "\\Stale"));
  EXPECT_TRUE(KeyExists(std::string(kTypeLibKey) + "\\1.0"));
  EXPECT_EQ(ReadValue("Interface\\{4B30B111-793C-4788-9010-0BD4245747A1}"), "ICobalin");

  // Registering again changes nothing.
  ASSERT_EQ(Register(), win::S_OK);
  EXPECT_EQ(ReadValue(cls + "\\MiscStatus\\1"), "132497");

  ASSERT_EQ(Unregister(), win::S_OK);
  for (const char* progid : {"Tarnwick.Cobalin", "Tarnwick.Cobalin.1", "Tarnwick20.Cobalin"}) {
    EXPECT_FALSE(KeyExists(progid)) << progid;
  }
  EXPECT_FALSE(KeyExists(cls));
  EXPECT_TRUE(KeyExists("CLSID")) << "the CLSID root stays";
  EXPECT_FALSE(KeyExists(kTypeLibKey));
  EXPECT_EQ(Unregister(), win::S_OK) << "nothing left to remove is no failure";
  EXPECT_EQ(win::OpenRegistryKeyCount(), 0);
}

TEST_F(ServerTest, ObjectsByProgIdAnswerThroughTheirDispatchInterface) {
  win::CLSID clsid{};
  EXPECT_EQ(win::CLSIDFromProgID(u"Tarnwick.Cobalin", &clsid), win::CO_E_CLASSSTRING)
      << "nothing registered yet";
  ASSERT_EQ(Register(), win::S_OK);
  for (const char16_t* progid :
       {u"Tarnwick.Cobalin", u"Tarnwick.Cobalin.1", u"Tarnwick20.Cobalin"}) {
    clsid = win::CLSID{};
    ASSERT_EQ(win::CLSIDFromProgID(progid, &clsid), win::S_OK);
    EXPECT_EQ(clsid, tw::kClsidCobalin);
  }
  win::LPOLESTR progid = nullptr;
  ASSERT_EQ(win::ProgIDFromCLSID(tw::kClsidCobalin, &progid), win::S_OK);
  EXPECT_EQ(std::u16string(progid), u"Tarnwick.Cobalin.1");
  win::CoTaskMemFree(progid);

  ASSERT_EQ(win::CLSIDFromProgID(u"Tarnwick.Cobalin", &clsid), win::S_OK);
  win::ComPtr<win::IDispatch> object;
  ASSERT_EQ(win::CoCreateInstance(clsid, nullptr, win::CLSCTX_INPROC_SERVER, win::IID_IDispatch,
                                  object.PutVoid()),
            win::S_OK);
  EXPECT_EQ(win::LoadedServerLibraryCount(), 1u);
  EXPECT_EQ(controltest::DispIdOf(object.Get(), u"timeout"), tw::kDispTimeout);
  std::vector<Arg> none;
  DispResult timeout = InvokeByName(object.Get(), "Timeout", win::DISPATCH_PROPERTYGET, none);
  ASSERT_EQ(timeout.hr, win::S_OK) << timeout.description;
  EXPECT_EQ(timeout.value.vt, win::VT_I2);
  EXPECT_EQ(timeout.Int(), 60);

  // A refused value: the error information names the registered ProgID as its source.
  std::vector<Arg> bad{Arg(300)};
  DispResult refused =
      InvokeByName(object.Get(), "SSLCertStoreType", win::DISPATCH_PROPERTYPUT, bad);
  EXPECT_TRUE(win::FAILED(refused.hr));
  EXPECT_EQ(refused.source, "Tarnwick.Cobalin.1");

  // The object's identity and the interfaces a container asks for.
  win::ComPtr<win::IOleObject> ole;
  ASSERT_EQ(object.As(&ole), win::S_OK);
  win::DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(win::DVASPECT_CONTENT, &misc), win::S_OK);
  EXPECT_EQ(misc, 0x20591u);
  win::ComPtr<win::IPersistStreamInit> persist;
  ASSERT_EQ(object.As(&persist), win::S_OK);
  win::CLSID persisted{};
  EXPECT_EQ(persist->GetClassID(&persisted), win::S_OK);
  EXPECT_EQ(persisted, tw::kClsidCobalin);
}

TEST_F(ServerTest, UnloadsOnlyWhenNoObjectAndNoLockRemains) {
  ASSERT_EQ(Register(), win::S_OK);
  win::ComPtr<win::IDispatch> object = Create();
  ASSERT_TRUE(object);
  win::ComPtr<win::IDispatch> second = Create();
  ASSERT_TRUE(second);
  EXPECT_EQ(CanUnloadNow(), win::S_FALSE);
  win::CoFreeUnusedLibraries();
  EXPECT_EQ(win::LoadedServerLibraryCount(), 1u) << "objects are alive";
  object.Reset();
  EXPECT_EQ(CanUnloadNow(), win::S_FALSE) << "one object is left";
  second.Reset();
  EXPECT_EQ(CanUnloadNow(), win::S_OK);

  // A held class object keeps the library, and so does a server lock.
  win::ComPtr<win::IClassFactory> factory;
  ASSERT_EQ(win::CoGetClassObject(tw::kClsidCobalin, win::CLSCTX_INPROC_SERVER, nullptr,
                                  win::IID_IClassFactory, factory.PutVoid()),
            win::S_OK);
  EXPECT_EQ(CanUnloadNow(), win::S_FALSE);
  EXPECT_EQ(factory->LockServer(win::TRUE), win::S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), win::S_FALSE) << "the server lock";
  win::CoFreeUnusedLibraries();
  EXPECT_EQ(win::LoadedServerLibraryCount(), 1u);

  ASSERT_EQ(win::CoGetClassObject(tw::kClsidCobalin, win::CLSCTX_INPROC_SERVER, nullptr,
                                  win::IID_IClassFactory, factory.PutVoid()),
            win::S_OK);
  EXPECT_EQ(factory->LockServer(win::FALSE), win::S_OK);
  EXPECT_EQ(factory->LockServer(win::FALSE), win::E_UNEXPECTED) << "no lock left to take back";
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), win::S_OK);
  win::CoFreeUnusedLibraries();
  EXPECT_EQ(win::LoadedServerLibraryCount(), 0u);

  // Loaded again on demand.
  object = Create();
  ASSERT_TRUE(object);
  EXPECT_EQ(win::LoadedServerLibraryCount(), 1u);
  object.Reset();
  win::CoFreeUnusedLibraries();
  EXPECT_EQ(win::LoadedServerLibraryCount(), 0u);
}

TEST_F(ServerTest, ClassObjectOnlyForTheControlsClass) {
  win::HMODULE module = win::LoadLibraryA(kModule);
  ASSERT_NE(module, nullptr);
  auto get = reinterpret_cast<win::DllGetClassObjectFn>(
      win::GetProcAddress(module, "DllGetClassObject"));
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(win::GetProcAddress(module, "SysAllocString"), nullptr);

  int sentinel = 0;
  void* out = &sentinel;
  EXPECT_EQ(get(tw::kIidICobalin, win::IID_IClassFactory, &out), win::CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = &sentinel;
  EXPECT_EQ(get(tw::kClsidCobalin, tw::kIidICobalin, &out), win::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(get(tw::kClsidCobalin, win::IID_IClassFactory, nullptr), win::E_POINTER);

  // The factory is made once and kept.
  win::ComPtr<win::IClassFactory> first;
  win::ComPtr<win::IClassFactory> again;
  ASSERT_EQ(get(tw::kClsidCobalin, win::IID_IClassFactory, first.PutVoid()), win::S_OK);
  ASSERT_EQ(get(tw::kClsidCobalin, win::IID_IUnknown, again.PutVoid()), win::S_OK);
  EXPECT_EQ(static_cast<win::IUnknown*>(first.Get()), static_cast<win::IUnknown*>(again.Get()));
  win::ComPtr<win::IDispatch> object;
  EXPECT_EQ(first->CreateInstance(nullptr, win::IID_IDispatch, nullptr), win::E_POINTER);
  out = &sentinel;
  EXPECT_EQ(first->CreateInstance(nullptr, win::IID_IClassFactory, &out), win::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(first->CreateInstance(nullptr, win::IID_IDispatch, object.PutVoid()), win::S_OK);
  object.Reset();
  first.Reset();
  again.Reset();
  win::FreeLibrary(module);
}

// A controlling object that aggregates the control and counts what reaches it.
class Outer final : public win::IUnknown {
 public:
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    ++queries;
    if (object == nullptr) return win::E_POINTER;
    if (iid == win::IID_IUnknown) {
      *object = static_cast<win::IUnknown*>(this);
      AddRef();
      return win::S_OK;
    }
    if (inner) return inner->QueryInterface(iid, object);
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return ++refs; }
  win::ULONG Release() override { return --refs; }  // lives on the test's stack

  std::atomic<win::ULONG> refs{1};
  int queries = 0;
  win::ComPtr<win::IUnknown> inner;
};

TEST_F(ServerTest, AggregationNeedsIUnknownAndDelegatesToTheOuterObject) {
  ASSERT_EQ(Register(), win::S_OK);
  Outer outer;
  void* out = &outer;
  EXPECT_EQ(win::CoCreateInstance(tw::kClsidCobalin, &outer, win::CLSCTX_INPROC_SERVER,
                                  win::IID_IDispatch, &out),
            win::CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(outer.refs, 1u);

  ASSERT_EQ(win::CoCreateInstance(tw::kClsidCobalin, &outer, win::CLSCTX_INPROC_SERVER,
                                  win::IID_IUnknown, outer.inner.PutVoid()),
            win::S_OK);
  EXPECT_EQ(outer.refs, 1u) << "the inner object holds no reference on its outer";

  win::ComPtr<win::IDispatch> dispatch;
  ASSERT_EQ(outer.QueryInterface(win::IID_IDispatch, dispatch.PutVoid()), win::S_OK);
  EXPECT_EQ(outer.refs, 2u) << "the interface's reference went to the outer object";
  dispatch->AddRef();
  EXPECT_EQ(outer.refs, 3u);
  dispatch->Release();
  EXPECT_EQ(outer.refs, 2u);

  // QueryInterface on an inner interface is the outer object's.
  int before = outer.queries;
  win::ComPtr<win::IUnknown> identity;
  ASSERT_EQ(dispatch->QueryInterface(win::IID_IUnknown, identity.PutVoid()), win::S_OK);
  EXPECT_EQ(identity.Get(), static_cast<win::IUnknown*>(&outer));
  EXPECT_GT(outer.queries, before);
  win::ComPtr<win::IPersistStreamInit> persist;
  EXPECT_EQ(dispatch->QueryInterface(win::IID_IPersistStreamInit, persist.PutVoid()), win::S_OK);
  identity.Reset();
  persist.Reset();

  std::vector<Arg> none;
  DispResult timeout = InvokeByName(dispatch.Get(), "Timeout", win::DISPATCH_PROPERTYGET, none);
  EXPECT_EQ(timeout.hr, win::S_OK);
  EXPECT_EQ(timeout.Int(), 60);

  dispatch.Reset();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(CanUnloadNow(), win::S_FALSE);
  outer.inner.Reset();  // the last reference on the inner object
  EXPECT_EQ(CanUnloadNow(), win::S_OK);
}

}  // namespace
