// A small in-process COM server, built only for the tests of the COM client: it is loaded with
// dlopen through the registry, carries its own copy of the platform layer (all but the Dll*
// entry points hidden, as a real server's), and counts its objects so that DllCanUnloadNow can
// let it go. The test registers it.
#include <atomic>
#include <new>

#include "platform/com.h"

using namespace win;

namespace {

constexpr CLSID kCounterClsid = Guid("{6F1A0D52-3C44-4E8B-9B27-1D0C5E7A9B31}");
constexpr IID kCounterIid = Guid("{6F1A0D53-3C44-4E8B-9B27-1D0C5E7A9B31}");
constexpr char16_t kErrorSource[] = u"TwTest.Counter.2";
constexpr DWORD kFailHelpContext = 4711;

std::atomic<long> g_locks{0};

class Counter;

HRESULT AddThunk(void* o, VARIANT* const* a, VARIANT* r);
HRESULT FailThunk(void* o, VARIANT* const* a, VARIANT* r);
HRESULT TotalThunk(void* o, VARIANT* const* a, VARIANT* r);

constexpr DispMember kMembers[] = {
    DispMethod(u"Add", 1, VT_I4, {{VT_I4, u"Amount"}}, 101, &AddThunk),
    DispPropGet(u"Total", 2, VT_I4, {}, 102, &TotalThunk),
    DispMethod(u"Fail", 3, VT_EMPTY, {{VT_BSTR, u"Description"}}, 103, &FailThunk),
};
constexpr DispInterface kCounterInterface{kCounterIid, u"ICounter", kMembers, TYPEFLAG_FDUAL};

class Counter final : public DispatchFromTable<Counter, IDispatch, kCounterInterface>,
                      public ISupportErrorInfo {
 public:
  Counter() { ++g_locks; }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kCounterIid) {
      *object = static_cast<IDispatch*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == kCounterIid ? S_OK : S_FALSE;
  }

  HRESULT Add(LONG amount, LONG* total) {
    total_ += amount;
    *total = total_;
    return S_OK;
  }
  HRESULT Total(LONG* total) {
    *total = total_;
    return S_OK;
  }
  HRESULT Fail(BSTR description) {
    ComPtr<ICreateErrorInfo> create;
    HRESULT hr = CreateErrorInfo(create.Put());
    if (FAILED(hr)) return hr;
    create->SetDescription(description);
    create->SetSource(kErrorSource);
    create->SetHelpFile(u"counter.chm");
    create->SetHelpContext(kFailHelpContext);
    ComPtr<IErrorInfo> info;
    create.As(&info);
    SetErrorInfo(0, info.Get());
    return MAKE_HRESULT(1, FACILITY_CONTROL, 20001 + 202);
  }

 private:
  ~Counter() { --g_locks; }
  std::atomic<ULONG> refs_{1};
  LONG total_ = 0;
};

HRESULT AddThunk(void* o, VARIANT* const* a, VARIANT* r) {
  return static_cast<Counter*>(o)->Add(a[0]->lVal, &r->lVal);
}
HRESULT TotalThunk(void* o, VARIANT* const*, VARIANT* r) {
  return static_cast<Counter*>(o)->Total(&r->lVal);
}
HRESULT FailThunk(void* o, VARIANT* const* a, VARIANT*) {
  return static_cast<Counter*>(o)->Fail(a[0]->bstrVal);
}

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory lives with the library; references to it hold the module.
  ULONG AddRef() override { return static_cast<ULONG>(++g_locks); }
  ULONG Release() override { return static_cast<ULONG>(--g_locks); }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* counter = new (std::nothrow) Counter;
    if (counter == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = counter->QueryInterface(iid, object);
    counter->Release();
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != kCounterClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return g_locks == 0 ? S_OK : S_FALSE;
}
