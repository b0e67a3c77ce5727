// The OLE control interfaces: the container's view of a control that is invisible at run time.
#include "control/control_object.h"

namespace tw {

HRESULT ControlObject::SetClientSite(win::IOleClientSite* site) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetClientSite(win::IOleClientSite** site) { return win::E_NOTIMPL; }
HRESULT ControlObject::SetHostNames(win::LPCOLESTR container_app, win::LPCOLESTR container_object) { return win::E_NOTIMPL; }
HRESULT ControlObject::Close(win::DWORD save_option) { return win::E_NOTIMPL; }
HRESULT ControlObject::DoVerb(LONG verb, win::MSG* msg, win::IOleClientSite* site, LONG index, win::HWND parent, win::LPCRECT position) { return win::E_NOTIMPL; }
HRESULT ControlObject::Update() { return win::E_NOTIMPL; }
HRESULT ControlObject::IsUpToDate() { return win::E_NOTIMPL; }
HRESULT ControlObject::GetUserClassID(win::CLSID* clsid) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetUserType(win::DWORD form, win::LPOLESTR* name) { return win::E_NOTIMPL; }
HRESULT ControlObject::SetExtent(win::DWORD aspect, win::SIZEL* size) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetExtent(win::DWORD aspect, win::SIZEL* size) { return win::E_NOTIMPL; }
HRESULT ControlObject::Advise(win::IAdviseSink* sink, win::DWORD* cookie) { return win::E_NOTIMPL; }
HRESULT ControlObject::Unadvise(win::DWORD cookie) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetMiscStatus(win::DWORD aspect, win::DWORD* status) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetWindow(win::HWND* window) { return win::E_NOTIMPL; }
HRESULT ControlObject::ContextSensitiveHelp(win::BOOL enter) { return win::E_NOTIMPL; }
HRESULT ControlObject::InPlaceDeactivate() { return win::E_NOTIMPL; }
HRESULT ControlObject::UIDeactivate() { return win::E_NOTIMPL; }
HRESULT ControlObject::SetObjectRects(win::LPCRECT position, win::LPCRECT clip) { return win::E_NOTIMPL; }
HRESULT ControlObject::ReactivateAndUndo() { return win::E_NOTIMPL; }
HRESULT ControlObject::OnWindowMessage(win::UINT message, win::WPARAM wparam, win::LPARAM lparam, win::LRESULT* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::TranslateAccelerator(win::MSG* msg) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnFrameWindowActivate(win::BOOL activate) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnDocWindowActivate(win::BOOL activate) { return win::E_NOTIMPL; }
HRESULT ControlObject::EnableModeless(win::BOOL enable) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetControlInfo(win::CONTROLINFO* info) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnMnemonic(win::MSG* msg) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnAmbientPropertyChange(win::DISPID id) { return win::E_NOTIMPL; }
HRESULT ControlObject::FreezeEvents(win::BOOL freeze) { return win::E_NOTIMPL; }
HRESULT ControlObject::Draw(win::DWORD aspect, LONG index, void* aspect_info, win::DVTARGETDEVICE* device, win::HDC target_info, win::HDC draw, win::LPCRECTL bounds, win::LPCRECTL window_bounds, win::DrawContinueFn keep_going, win::ULONG_PTR context) { return win::E_NOTIMPL; }
HRESULT ControlObject::Freeze(win::DWORD aspect, LONG index, void* aspect_info, win::DWORD* freeze) { return win::E_NOTIMPL; }
HRESULT ControlObject::Unfreeze(win::DWORD freeze) { return win::E_NOTIMPL; }
HRESULT ControlObject::SetAdvise(win::DWORD aspects, win::DWORD flags, win::IAdviseSink* sink) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetAdvise(win::DWORD* aspects, win::DWORD* flags, win::IAdviseSink** sink) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetExtent(win::DWORD aspect, LONG index, win::DVTARGETDEVICE* device, win::SIZEL* size) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetRect(win::DWORD aspect, win::RECTL* rect) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetViewStatus(win::DWORD* status) { return win::E_NOTIMPL; }
HRESULT ControlObject::QueryHitPoint(win::DWORD aspect, win::LPCRECT bounds, win::POINT location, LONG close_hint, win::DWORD* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::QueryHitRect(win::DWORD aspect, win::LPCRECT bounds, win::LPCRECT location, LONG close_hint, win::DWORD* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::QuickActivate(win::QACONTAINER* container, win::QACONTROL* control) { return win::E_NOTIMPL; }
HRESULT ControlObject::SetContentExtent(win::SIZEL* size) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetContentExtent(win::SIZEL* size) { return win::E_NOTIMPL; }

}  // namespace tw
