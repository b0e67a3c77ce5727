// Driving the control as an Automation client does: members called by name through IDispatch,
// results and error information as plain values, and an event sink that records every event.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "control/cobalin.h"
#include "control/control_object.h"
#include "platform/bstr.h"
#include "platform/com_client.h"
#include "platform/error_info.h"
#include "platform/ole_control.h"
#include "platform/safearray.h"
#include "platform/variant.h"

namespace controltest {

using win::HRESULT;

inline std::string Utf8(const char16_t* s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
// A BSTR's text as UTF-8, every character (NULs included); "" for null.
inline std::string Utf8(win::BSTR s) {
  return s == nullptr ? std::string() : Utf8(s, win::SysStringLen(s));
}
inline std::u16string Utf16(const std::string& ascii_or_utf8) {
  std::u16string out;
  for (size_t i = 0; i < ascii_or_utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(ascii_or_utf8[i]);
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < ascii_or_utf8.size()) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (ascii_or_utf8[i + 1] & 0x3F));
      ++i;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < ascii_or_utf8.size()) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((ascii_or_utf8[i + 1] & 0x3F) << 6) |
                                   (ascii_or_utf8[i + 2] & 0x3F));
      i += 2;
    } else {
      out += u'?';
    }
  }
  return out;
}

// A VARIANT that can be copied (deep) and moved.
class OwnedVariant : public win::VARIANT {
 public:
  OwnedVariant() : win::VARIANT() { win::VariantInit(this); }
  OwnedVariant(const OwnedVariant& o) : OwnedVariant() { win::VariantCopy(this, &o); }
  OwnedVariant(OwnedVariant&& o) noexcept : win::VARIANT(o) { win::VariantInit(&o); }
  OwnedVariant& operator=(OwnedVariant o) noexcept {
    std::swap(static_cast<win::VARIANT&>(*this), static_cast<win::VARIANT&>(o));
    return *this;
  }
  ~OwnedVariant() { win::VariantClear(this); }
};

// An argument: owns its VARIANT.
class Arg {
 public:
  Arg(const char* text) : Arg(Utf16(text)) {}
  Arg(const std::string& text) : Arg(Utf16(text)) {}
  Arg(const std::u16string& text) {
    v_.vt = win::VT_BSTR;
    v_.bstrVal = win::SysAllocStringLen(text.data(), static_cast<win::UINT>(text.size()));
  }
  Arg(int value) {
    v_.vt = win::VT_I4;
    v_.lVal = value;
  }
  Arg(int16_t value) {
    v_.vt = win::VT_I2;
    v_.iVal = value;
  }
  Arg(int64_t value) {
    v_.vt = win::VT_I8;
    v_.llVal = value;
  }
  Arg(bool value) {
    v_.vt = win::VT_BOOL;
    v_.boolVal = value ? win::VARIANT_TRUE : win::VARIANT_FALSE;
  }
  Arg(double value) {
    v_.vt = win::VT_R8;
    v_.dblVal = value;
  }
  // A deep copy of any VARIANT (arrays, by-reference values as references).
  static Arg Of(const win::VARIANT& v) {
    Arg a(0);
    win::VariantCopy(&a.v_, &v);
    return a;
  }
  const win::VARIANT& get() const { return v_; }
  win::VARIANT& get() { return v_; }

 private:
  OwnedVariant v_;
};

// What a call through IDispatch gave back.
struct DispResult {
  HRESULT hr = win::E_FAIL;
  OwnedVariant value;
  std::string description;  // from EXCEPINFO
  std::string source;
  std::string help_file;
  win::DWORD help_context = 0;
  win::UINT arg_err = 0;

  bool ok() const { return hr == win::S_OK; }
  // The result as text: BSTR as UTF-8, numbers and VT_DECIMAL as signed decimals, booleans as
  // "true"/"false", VT_EMPTY as "".
  std::string Text() const {
    win::VARTYPE vt = value.vt;
    if (vt == win::VT_EMPTY) return "";
    if (vt == win::VT_BSTR) return Utf8(value.bstrVal);
    if (vt == win::VT_BOOL) return value.boolVal != 0 ? "true" : "false";
    if (vt == win::VT_DECIMAL) {
      const win::DECIMAL& d = value.decVal;
      std::string digits = std::to_string(d.Lo64);
      if (d.Hi32 != 0 || d.scale != 0) return "<decimal out of 64 bits>";
      return ((d.sign & win::DECIMAL_NEG) != 0 ? "-" : "") + digits;
    }
    win::Variant copy;
    if (win::VariantChangeType(&copy, &value, 0, win::VT_BSTR) != win::S_OK) return "<?>";
    return Utf8(copy.bstrVal);
  }
  int64_t Int() const {
    if (value.vt == win::VT_DECIMAL) {
      const win::DECIMAL& d = value.decVal;
      uint64_t m = d.Lo64;
      return (d.sign & win::DECIMAL_NEG) != 0 ? static_cast<int64_t>(0 - m) : static_cast<int64_t>(m);
    }
    win::Variant copy;
    if (win::VariantChangeType(&copy, &value, 0, win::VT_I8) != win::S_OK) return INT64_MIN;
    return copy.llVal;
  }
  // The bytes of a VT_ARRAY | VT_UI1 result; empty for VT_EMPTY.
  std::string Bytes() const {
    if (value.vt != (win::VT_ARRAY | win::VT_UI1) || value.parray == nullptr) return "";
    win::LONG lo = 0, hi = -1;
    win::SafeArrayGetLBound(value.parray, 1, &lo);
    win::SafeArrayGetUBound(value.parray, 1, &hi);
    void* data = nullptr;
    win::SafeArrayAccessData(value.parray, &data);
    std::string out(static_cast<const char*>(data), static_cast<size_t>(hi - lo + 1));
    win::SafeArrayUnaccessData(value.parray);
    return out;
  }
};

inline win::DISPID DispIdOf(win::IDispatch* d, const std::u16string& name) {
  win::DISPID id = win::DISPID_UNKNOWN;
  std::u16string copy = name;
  win::LPOLESTR names[] = {copy.data()};
  d->GetIDsOfNames(win::IID_NULL, names, 1, 0, &id);
  return id;
}

// Invoke by name; args in declared order (reversed here as IDispatch wants them).
inline DispResult InvokeByName(win::IDispatch* d, const std::string& name, win::WORD flags,
                               std::vector<Arg>& args) {
  DispResult r;
  win::DISPID id = DispIdOf(d, Utf16(name));
  if (id == win::DISPID_UNKNOWN) {
    r.hr = win::DISP_E_UNKNOWNNAME;
    return r;
  }
  std::vector<win::VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->get());
  win::DISPID put_id = win::DISPID_PROPERTYPUT;
  win::DISPPARAMS params{reversed.data(), nullptr, static_cast<win::UINT>(reversed.size()), 0};
  if ((flags & win::DISPATCH_PROPERTYPUT) != 0) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  win::EXCEPINFO excep{};
  bool want_result = (flags & win::DISPATCH_PROPERTYPUT) == 0;
  r.hr = d->Invoke(id, win::IID_NULL, 0, flags, &params, want_result ? &r.value : nullptr, &excep,
                   &r.arg_err);
  if (r.hr == win::DISP_E_EXCEPTION) {
    r.hr = excep.scode;
    r.description = Utf8(excep.bstrDescription);
    r.source = Utf8(excep.bstrSource);
    r.help_file = Utf8(excep.bstrHelpFile);
    r.help_context = excep.dwHelpContext;
  }
  win::SysFreeString(excep.bstrDescription);
  win::SysFreeString(excep.bstrSource);
  win::SysFreeString(excep.bstrHelpFile);
  return r;
}

// One control object made in process, driven through its IDispatch.
class Control {
 public:
  Control() {
    win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED);
    created = tw::ControlObject::Create(nullptr, win::IID_IDispatch, dispatch_.PutVoid());
  }
  ~Control() {
    dispatch_.Reset();
    win::CoUninitialize();
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  win::IDispatch* dispatch() const { return dispatch_.Get(); }
  // The C++ object behind it (for state a script cannot see).
  tw::ControlObject* object() const {
    return static_cast<tw::ControlObject*>(static_cast<tw::ICobalin*>(dispatch_.Get()));
  }
  tw::BlobClient& client() const { return object()->client(); }

  DispResult Get(const std::string& name, std::vector<Arg> index = {}) {
    return InvokeByName(dispatch(), name, win::DISPATCH_PROPERTYGET, index);
  }
  DispResult Put(const std::string& name, Arg value) {
    std::vector<Arg> args;
    args.push_back(std::move(value));
    return InvokeByName(dispatch(), name, win::DISPATCH_PROPERTYPUT, args);
  }
  DispResult PutAt(const std::string& name, int index, Arg value) {
    std::vector<Arg> args;
    args.emplace_back(index);
    args.push_back(std::move(value));
    return InvokeByName(dispatch(), name, win::DISPATCH_PROPERTYPUT, args);
  }
  DispResult Call(const std::string& name, std::vector<Arg> args = {}) {
    return InvokeByName(dispatch(), name, win::DISPATCH_METHOD, args);
  }
  // Text of a property, "" on failure (ADD_FAILURE).
  std::string Text(const std::string& name, std::vector<Arg> index = {}) {
    DispResult r = Get(name, std::move(index));
    EXPECT_EQ(r.hr, win::S_OK) << name << ": " << r.description;
    return r.Text();
  }

  HRESULT created = win::E_FAIL;

 private:
  win::ComPtr<win::IDispatch> dispatch_;
};

// One recorded event: its DISPID, name and arguments as texts (in declared order).
struct Event {
  win::DISPID id = 0;
  std::string name;
  std::vector<std::string> args;
  std::vector<win::VARTYPE> types;  // the VARIANT types as received (VT_BYREF | ...)
};

inline std::string EventName(win::DISPID id) {
  for (const win::DispMember& m : tw::kCobalinEventsInterface.members) {
    if (m.dispid == id) return Utf8(m.name.data(), m.name.size());
  }
  return "?";
}

// An _ICobalinEvents sink: records each event, then runs `handler` (which may change the
// by-reference arguments: params->rgvarg is in reverse order).
class EventRecorder final : public win::IDispatch {
 public:
  using Handler = std::function<void(win::DISPID, win::DISPPARAMS*)>;

  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (object == nullptr) return win::E_POINTER;
    if (iid == win::IID_IUnknown || iid == win::IID_IDispatch || iid == tw::kDiidICobalinEvents) {
      *object = static_cast<win::IDispatch*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return ++refs_; }
  win::ULONG Release() override { return --refs_; }  // lives on the test's stack
  HRESULT GetTypeInfoCount(win::UINT* count) override {
    *count = 0;
    return win::S_OK;
  }
  HRESULT GetTypeInfo(win::UINT, win::LCID, win::ITypeInfo**) override { return win::E_NOTIMPL; }
  HRESULT GetIDsOfNames(win::REFIID, win::LPOLESTR*, win::UINT, win::LCID,
                        win::DISPID*) override {
    return win::E_NOTIMPL;
  }
  HRESULT Invoke(win::DISPID id, win::REFIID, win::LCID, win::WORD, win::DISPPARAMS* params,
                 win::VARIANT*, win::EXCEPINFO*, win::UINT*) override {
    Event e;
    e.id = id;
    e.name = EventName(id);
    for (win::UINT k = params->cArgs; k-- > 0;) {
      const win::VARIANT& a = params->rgvarg[k];
      e.types.push_back(a.vt);
      DispResult text;
      win::VariantCopyInd(&text.value, &a);
      e.args.push_back(text.Text());
    }
    events.push_back(std::move(e));
    if (handler) handler(id, params);
    return win::S_OK;
  }

  // Connects to / disconnects from the control's _ICobalinEvents point.
  HRESULT Advise(win::IDispatch* control) {
    win::ComPtr<win::IConnectionPointContainer> container;
    HRESULT hr = control->QueryInterface(win::IID_IConnectionPointContainer, container.PutVoid());
    if (hr != win::S_OK) return hr;
    hr = container->FindConnectionPoint(tw::kDiidICobalinEvents, point_.Put());
    if (hr != win::S_OK) return hr;
    return point_->Advise(static_cast<win::IDispatch*>(this), &cookie_);
  }
  HRESULT Unadvise() {
    if (!point_) return win::S_FALSE;
    HRESULT hr = point_->Unadvise(cookie_);
    point_.Reset();
    return hr;
  }

  std::vector<Event> Of(const std::string& name) const {
    std::vector<Event> out;
    for (const Event& e : events) {
      if (e.name == name) out.push_back(e);
    }
    return out;
  }
  int Count(const std::string& name) const { return static_cast<int>(Of(name).size()); }

  std::vector<Event> events;
  Handler handler;

 private:
  std::atomic<win::ULONG> refs_{1};
  win::ComPtr<win::IConnectionPoint> point_;
  win::DWORD cookie_ = 0;
};

// The by-reference argument k (declared order) of an event's DISPPARAMS.
inline win::VARIANT& EventArg(win::DISPPARAMS* params, win::UINT k) {
  return params->rgvarg[params->cArgs - 1 - k];
}

}  // namespace controltest
