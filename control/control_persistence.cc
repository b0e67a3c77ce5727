// Persistence of the design-time properties.
#include "control/control_object.h"

namespace tw {

HRESULT ControlObject::GetClassID(win::CLSID* clsid) { return win::E_NOTIMPL; }
HRESULT ControlObject::IsDirty() { return win::E_NOTIMPL; }
HRESULT ControlObject::Load(win::IStream* stream) { return win::E_NOTIMPL; }
HRESULT ControlObject::Save(win::IStream* stream, win::BOOL clear_dirty) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetSizeMax(win::ULARGE_INTEGER* size) { return win::E_NOTIMPL; }
HRESULT ControlObject::InitNew() { return win::E_NOTIMPL; }
HRESULT ControlObject::InitNew(win::IStorage* storage) { return win::E_NOTIMPL; }
HRESULT ControlObject::Load(win::IStorage* storage) { return win::E_NOTIMPL; }
HRESULT ControlObject::Save(win::IStorage* storage, win::BOOL same_as_load) { return win::E_NOTIMPL; }
HRESULT ControlObject::SaveCompleted(win::IStorage* storage) { return win::E_NOTIMPL; }
HRESULT ControlObject::HandsOffStorage() { return win::E_NOTIMPL; }
HRESULT ControlObject::Load(win::IPropertyBag* bag, win::IErrorLog* log) { return win::E_NOTIMPL; }
HRESULT ControlObject::Save(win::IPropertyBag* bag, win::BOOL clear_dirty, win::BOOL save_all) { return win::E_NOTIMPL; }

}  // namespace tw
