// The control object's identity: creation and setup, aggregation, QueryInterface over the
// interfaces a container asks a control for, error-information support, connection points and
// class information.
#include "control/control_object.h"

#include <new>

#include "platform/com_client.h"

namespace tw {

namespace {

std::atomic<long> g_module_locks{0};

// The control's extent: 28 by 28 pixels at 96 pixels per inch, in HIMETRIC.
constexpr int kExtentPixels = 28;
constexpr int kLogicalPixelsPerInch = 96;
constexpr LONG kExtentHimetric = 2540 * kExtentPixels / kLogicalPixelsPerInch;

}  // namespace

void LockControlModule() { ++g_module_locks; }
void UnlockControlModule() { --g_module_locks; }
long ControlModuleLockCount() { return g_module_locks.load(); }

ControlObject::ControlObject(IUnknown* outer)
    : controlling_(outer != nullptr ? outer : &inner_),
      property_notify_point_(static_cast<win::IConnectionPointContainer*>(this),
                             win::IID_IPropertyNotifySink),
      events_point_(static_cast<win::IConnectionPointContainer*>(this), kDiidICobalinEvents) {
  LockControlModule();
}

ControlObject::~ControlObject() {
  client_.set_event_sink(nullptr);
  property_notify_point_.UnadviseAll();
  events_point_.UnadviseAll();
  UnlockControlModule();
}

bool ControlObject::Setup() {
  extent_ = {kExtentHimetric, kExtentHimetric};
  dirty_ = true;
  client_.set_event_sink(this);
  if (!client_.Initialize()) return false;
  ApplyDefaults();
  event_cert_ = nullptr;
  event_cert_length_ = 0;
  event_text_ = nullptr;
  event_text_length_ = 0;
  return true;
}

HRESULT ControlObject::Create(IUnknown* outer, win::REFIID iid, void** object) {
  if (object == nullptr) return win::E_POINTER;
  *object = nullptr;
  if (outer != nullptr && iid != win::IID_IUnknown) return win::CLASS_E_NOAGGREGATION;
  ControlObject* self = new (std::nothrow) ControlObject(outer);
  if (self == nullptr) return win::E_OUTOFMEMORY;
  // One reference held across setup, so a sink that connects and lets go cannot free it.
  self->inner_.AddRef();
  HRESULT hr = self->Setup() ? win::S_OK : win::E_OUTOFMEMORY;
  if (hr == win::S_OK) hr = self->inner_.QueryInterface(iid, object);
  self->inner_.Release();  // destroys the object when setup or the query failed
  return hr;
}

// ---- IUnknown ----

HRESULT ControlObject::QueryInterface(win::REFIID iid, void** object) {
  return controlling_->QueryInterface(iid, object);
}
win::ULONG ControlObject::AddRef() { return controlling_->AddRef(); }
win::ULONG ControlObject::Release() { return controlling_->Release(); }

HRESULT ControlObject::InnerUnknown::QueryInterface(win::REFIID iid, void** object) {
  return self_->InternalQueryInterface(iid, object);
}
win::ULONG ControlObject::InnerUnknown::AddRef() {
  return static_cast<win::ULONG>(++self_->refs_);
}
win::ULONG ControlObject::InnerUnknown::Release() {
  long left = --self_->refs_;
  if (left == 0) delete self_;
  return static_cast<win::ULONG>(left);
}

HRESULT ControlObject::InternalQueryInterface(win::REFIID iid, void** object) {
  if (object == nullptr) return win::E_POINTER;
  *object = nullptr;
  IUnknown* found = nullptr;
  if (iid == win::IID_IUnknown) {
    found = &inner_;  // the identity, also when aggregated
  } else if (iid == kIidICobalin || iid == win::IID_IDispatch) {
    found = static_cast<ICobalin*>(this);
  } else if (iid == win::IID_IViewObjectEx || iid == win::IID_IViewObject2 ||
             iid == win::IID_IViewObject) {
    found = static_cast<win::IViewObjectEx*>(this);
  } else if (iid == win::IID_IOleInPlaceObjectWindowless || iid == win::IID_IOleInPlaceObject ||
             iid == win::IID_IOleWindow) {
    found = static_cast<win::IOleInPlaceObjectWindowless*>(this);
  } else if (iid == win::IID_IOleInPlaceActiveObject) {
    found = static_cast<win::IOleInPlaceActiveObject*>(this);
  } else if (iid == win::IID_IOleControl) {
    found = static_cast<win::IOleControl*>(this);
  } else if (iid == win::IID_IOleObject) {
    found = static_cast<win::IOleObject*>(this);
  } else if (iid == win::IID_IPersistStreamInit || iid == win::IID_IPersist) {
    found = static_cast<win::IPersistStreamInit*>(this);
  } else if (iid == win::IID_ISupportErrorInfo) {
    found = static_cast<win::ISupportErrorInfo*>(this);
  } else if (iid == win::IID_IConnectionPointContainer) {
    found = static_cast<win::IConnectionPointContainer*>(this);
  } else if (iid == win::IID_IQuickActivate) {
    found = static_cast<win::IQuickActivate*>(this);
  } else if (iid == win::IID_IPersistStorage) {
    found = static_cast<win::IPersistStorage*>(this);
  } else if (iid == win::IID_IProvideClassInfo || iid == win::IID_IProvideClassInfo2) {
    found = static_cast<win::IProvideClassInfo2*>(this);
  } else if (iid == win::IID_IPersistPropertyBag) {
    found = static_cast<win::IPersistPropertyBag*>(this);
  }
  if (found == nullptr) return win::E_NOINTERFACE;
  found->AddRef();
  *object = found;
  return win::S_OK;
}

bool ControlObject::UserMode() {
  if (!client_site_) return true;
  win::ComPtr<win::IDispatch> ambient;
  if (client_site_.As(&ambient) != win::S_OK || !ambient) return true;
  win::DISPPARAMS none{nullptr, nullptr, 0, 0};
  win::Variant result;
  HRESULT hr = ambient->Invoke(win::DISPID_AMBIENT_USERMODE, win::IID_NULL, 0,
                               win::DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  if (hr != win::S_OK) return true;  // a site that does not answer: run time
  if (win::VariantChangeType(&result, &result, 0, win::VT_BOOL) != win::S_OK) return true;
  return result.boolVal != win::VARIANT_FALSE;
}

// ---- ISupportErrorInfo ----

HRESULT ControlObject::InterfaceSupportsErrorInfo(win::REFIID iid) {
  return iid == kIidICobalin ? win::S_OK : win::S_FALSE;
}

// ---- IConnectionPointContainer ----

HRESULT ControlObject::EnumConnectionPoints(win::IEnumConnectionPoints** points) {
  win::ConnectionPoint* all[] = {&property_notify_point_, &events_point_};
  return win::CreateConnectionPointEnum(controlling_, all, points);
}

HRESULT ControlObject::FindConnectionPoint(win::REFIID iid, win::IConnectionPoint** point) {
  win::ConnectionPoint* all[] = {&property_notify_point_, &events_point_};
  return win::FindConnectionPointIn(all, iid, point);
}

// ---- IProvideClassInfo2 ----

HRESULT ControlObject::GetClassInfo(win::ITypeInfo** info) {
  if (info == nullptr) return win::E_POINTER;
  return win::CreateClassTypeInfo(kCobalinClass, info);
}

HRESULT ControlObject::GetGUID(win::DWORD kind, win::GUID* guid) {
  if (guid == nullptr) return win::E_POINTER;
  if (kind != win::GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *guid = win::GUID{};
    return win::E_INVALIDARG;
  }
  *guid = kDiidICobalinEvents;
  return win::S_OK;
}

}  // namespace tw
