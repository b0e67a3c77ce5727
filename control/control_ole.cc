// The OLE control interfaces: the container's view of a control that is invisible at run time,
// has no window of its own and keeps a fixed size.
#include "control/control_object.h"

namespace tw {

namespace {

constexpr win::DWORD kMiscStatus =
    win::OLEMISC_RECOMPOSEONRESIZE | win::OLEMISC_CANTLINKINSIDE | win::OLEMISC_INSIDEOUT |
    win::OLEMISC_ACTIVATEWHENVISIBLE | win::OLEMISC_INVISIBLEATRUNTIME |
    win::OLEMISC_SETCLIENTSITEFIRST;
static_assert(kMiscStatus == 0x20591);

constexpr win::DWORD kViewStatus = win::VIEWSTATUS_OPAQUE | win::VIEWSTATUS_SOLIDBKGND;
constexpr win::DWORD kOleAdviseCookie = 1;

bool Inside(const win::RECT& r, win::LONG x, win::LONG y) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

}  // namespace

// ---- IOleObject ----

HRESULT ControlObject::SetClientSite(win::IOleClientSite* site) {
  client_site_ = win::ComPtr<win::IOleClientSite>(site);
  return win::S_OK;
}

HRESULT ControlObject::GetClientSite(win::IOleClientSite** site) {
  return client_site_.CopyTo(site);
}

HRESULT ControlObject::SetHostNames(win::LPCOLESTR, win::LPCOLESTR) { return win::S_OK; }

HRESULT ControlObject::Close(win::DWORD save_option) {
  in_place_active_ = false;
  if (save_option != win::OLECLOSE_NOSAVE && dirty_ && client_site_) client_site_->SaveObject();
  if (ole_advise_sink_) ole_advise_sink_->OnClose();
  return win::S_OK;
}

HRESULT ControlObject::DoVerb(LONG verb, win::MSG*, win::IOleClientSite*, LONG, win::HWND,
                              win::LPCRECT) {
  switch (verb) {
    case win::OLEIVERB_PRIMARY:
    case win::OLEIVERB_SHOW:
    case win::OLEIVERB_INPLACEACTIVATE:
    case win::OLEIVERB_UIACTIVATE:
      in_place_active_ = true;
      return win::S_OK;
    case win::OLEIVERB_HIDE:
      return win::S_OK;
    default:
      return verb > 0 ? win::OLEOBJ_S_INVALIDVERB : win::E_NOTIMPL;
  }
}

HRESULT ControlObject::Update() { return win::S_OK; }
HRESULT ControlObject::IsUpToDate() { return win::S_OK; }

HRESULT ControlObject::GetUserClassID(win::CLSID* clsid) {
  if (clsid == nullptr) return win::E_POINTER;
  *clsid = kClsidCobalin;
  return win::S_OK;
}

// The registry holds the user type (the class key's description).
HRESULT ControlObject::GetUserType(win::DWORD, win::LPOLESTR* name) {
  if (name == nullptr) return win::E_POINTER;
  *name = nullptr;
  return win::OLE_S_USEREG;
}

HRESULT ControlObject::SetExtent(win::DWORD, win::SIZEL*) { return win::E_FAIL; }

HRESULT ControlObject::GetExtent(win::DWORD aspect, win::SIZEL* size) {
  if (size == nullptr) return win::E_POINTER;
  if (aspect != win::DVASPECT_CONTENT) return win::DV_E_DVASPECT;
  *size = extent_;
  return win::S_OK;
}

// One advise sink, as the control has nothing to report but closing.
HRESULT ControlObject::Advise(win::IAdviseSink* sink, win::DWORD* cookie) {
  if (cookie == nullptr) return win::E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return win::E_INVALIDARG;
  if (ole_advise_sink_) return win::CONNECT_E_ADVISELIMIT;
  ole_advise_sink_ = win::ComPtr<win::IAdviseSink>(sink);
  *cookie = kOleAdviseCookie;
  return win::S_OK;
}

HRESULT ControlObject::Unadvise(win::DWORD cookie) {
  if (cookie != kOleAdviseCookie || !ole_advise_sink_) return win::OLE_E_NOCONNECTION;
  ole_advise_sink_.Reset();
  return win::S_OK;
}

HRESULT ControlObject::GetMiscStatus(win::DWORD, win::DWORD* status) {
  if (status == nullptr) return win::E_POINTER;
  *status = kMiscStatus;
  return win::S_OK;
}

// ---- IOleWindow, IOleInPlaceObject(Windowless), IOleInPlaceActiveObject ----

HRESULT ControlObject::GetWindow(win::HWND* window) {
  if (window == nullptr) return win::E_POINTER;
  *window = nullptr;
  return win::E_FAIL;  // windowless
}

HRESULT ControlObject::ContextSensitiveHelp(win::BOOL) { return win::E_NOTIMPL; }

HRESULT ControlObject::InPlaceDeactivate() {
  in_place_active_ = false;
  return win::S_OK;
}

HRESULT ControlObject::UIDeactivate() { return win::S_OK; }
HRESULT ControlObject::SetObjectRects(win::LPCRECT, win::LPCRECT) { return win::S_OK; }
HRESULT ControlObject::ReactivateAndUndo() { return win::E_NOTIMPL; }

HRESULT ControlObject::OnWindowMessage(win::UINT, win::WPARAM, win::LPARAM, win::LRESULT* result) {
  if (result != nullptr) *result = 0;
  return win::S_FALSE;  // not handled
}

HRESULT ControlObject::TranslateAccelerator(win::MSG*) { return win::S_FALSE; }
HRESULT ControlObject::OnFrameWindowActivate(win::BOOL) { return win::S_OK; }
HRESULT ControlObject::OnDocWindowActivate(win::BOOL) { return win::S_OK; }
HRESULT ControlObject::EnableModeless(win::BOOL) { return win::S_OK; }

// ---- IOleControl ----

HRESULT ControlObject::GetControlInfo(win::CONTROLINFO*) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnMnemonic(win::MSG*) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnAmbientPropertyChange(win::DISPID) { return win::S_OK; }

HRESULT ControlObject::FreezeEvents(win::BOOL freeze) {
  if (freeze) {
    ++events_frozen_;
  } else if (events_frozen_ > 0) {
    --events_frozen_;
  }
  return win::S_OK;
}

// ---- IViewObject, IViewObject2, IViewObjectEx ----

HRESULT ControlObject::Draw(win::DWORD, LONG, void*, win::DVTARGETDEVICE*, win::HDC,
                            win::HDC draw, win::LPCRECTL bounds, win::LPCRECTL,
                            win::DrawContinueFn, win::ULONG_PTR) {
  if (bounds == nullptr) return win::E_INVALIDARG;
  return OnDraw(draw, *bounds);
}

HRESULT ControlObject::Freeze(win::DWORD, LONG, void*, win::DWORD*) { return win::E_NOTIMPL; }
HRESULT ControlObject::Unfreeze(win::DWORD) { return win::E_NOTIMPL; }

HRESULT ControlObject::SetAdvise(win::DWORD aspects, win::DWORD flags, win::IAdviseSink* sink) {
  view_advise_sink_ = win::ComPtr<win::IAdviseSink>(sink);
  view_advise_aspects_ = aspects;
  view_advise_flags_ = flags;
  return win::S_OK;
}

HRESULT ControlObject::GetAdvise(win::DWORD* aspects, win::DWORD* flags, win::IAdviseSink** sink) {
  if (aspects != nullptr) *aspects = view_advise_aspects_;
  if (flags != nullptr) *flags = view_advise_flags_;
  if (sink != nullptr) view_advise_sink_.CopyTo(sink);
  return win::S_OK;
}

HRESULT ControlObject::GetExtent(win::DWORD aspect, LONG, win::DVTARGETDEVICE*, win::SIZEL* size) {
  return GetExtent(aspect, size);
}

HRESULT ControlObject::GetRect(win::DWORD, win::RECTL*) { return win::E_NOTIMPL; }

HRESULT ControlObject::GetViewStatus(win::DWORD* status) {
  if (status == nullptr) return win::E_POINTER;
  *status = kViewStatus;
  return win::S_OK;
}

HRESULT ControlObject::QueryHitPoint(win::DWORD, win::LPCRECT bounds, win::POINT location, LONG,
                                     win::DWORD* result) {
  if (bounds == nullptr || result == nullptr) return win::E_POINTER;
  *result = Inside(*bounds, location.x, location.y) ? win::HITRESULT_HIT : win::HITRESULT_OUTSIDE;
  return win::S_OK;
}

HRESULT ControlObject::QueryHitRect(win::DWORD, win::LPCRECT bounds, win::LPCRECT location, LONG,
                                    win::DWORD* result) {
  if (bounds == nullptr || location == nullptr || result == nullptr) return win::E_POINTER;
  bool overlaps = location->left < bounds->right && bounds->left < location->right &&
                  location->top < bounds->bottom && bounds->top < location->bottom;
  *result = overlaps ? win::HITRESULT_HIT : win::HITRESULT_OUTSIDE;
  return win::S_OK;
}

// ---- IQuickActivate ----

HRESULT ControlObject::QuickActivate(win::QACONTAINER* container, win::QACONTROL* control) {
  if (container == nullptr || control == nullptr) return win::E_POINTER;
  if (container->cbSize < sizeof(win::QACONTAINER) || control->cbSize < sizeof(win::QACONTROL)) {
    return win::E_INVALIDARG;
  }
  SetClientSite(container->pClientSite);
  if (container->pAdviseSink != nullptr) {
    SetAdvise(win::DVASPECT_CONTENT, 0, container->pAdviseSink);
  }
  // A sink that does not speak the point's interface is left out; the cookie then stays 0.
  control->dwEventCookie = 0;
  if (container->pUnkEventSink != nullptr) {
    events_point_.Advise(container->pUnkEventSink, &control->dwEventCookie);
  }
  control->dwPropNotifyCookie = 0;
  if (container->pPropertyNotifySink != nullptr) {
    property_notify_point_.Advise(container->pPropertyNotifySink, &control->dwPropNotifyCookie);
  }
  control->dwMiscStatus = kMiscStatus;
  control->dwViewStatus = kViewStatus;
  control->dwPointerActivationPolicy = 0;
  return win::S_OK;
}

HRESULT ControlObject::SetContentExtent(win::SIZEL*) { return win::E_FAIL; }

HRESULT ControlObject::GetContentExtent(win::SIZEL* size) {
  if (size == nullptr) return win::E_POINTER;
  *size = extent_;
  return win::S_OK;
}

}  // namespace tw
