// Persistence of the design-time properties: a version word and the 22 persisted properties as
// VARIANTs in a stream (also as the "Contents" stream of a storage), or by name in a property bag.
// Every value goes through the control's own IDispatch, so a loaded value meets the same checks as
// one set by a caller.
#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "control/control_object.h"

namespace tw {

namespace {

constexpr uint32_t kStreamVersion = 0x00000900;
constexpr char16_t kContentsStream[] = u"Contents";
// Strings are read in pieces so that a stream claiming a huge length fails at its end instead
// of allocating that length up front.
constexpr uint32_t kReadPiece = 64 * 1024;

struct PersistedProperty {
  std::u16string_view name;
  win::DISPID dispid;
  win::VARTYPE vt;
};

constexpr PersistedProperty kPersistedProperties[] = {
    {u"Authorization", kDispAuthorization, win::VT_BSTR},
    {u"EncryptionAlgorithm", kDispEncryptionAlgorithm, win::VT_I4},
    {u"FirewallAutoDetect", kDispFirewallAutoDetect, win::VT_BOOL},
    {u"FirewallType", kDispFirewallType, win::VT_I4},
    {u"FirewallHost", kDispFirewallHost, win::VT_BSTR},
    {u"FirewallPassword", kDispFirewallPassword, win::VT_BSTR},
    {u"FirewallPort", kDispFirewallPort, win::VT_I4},
    {u"FirewallUser", kDispFirewallUser, win::VT_BSTR},
    {u"LocalFile", kDispLocalFile, win::VT_BSTR},
    {u"Overwrite", kDispOverwrite, win::VT_BOOL},
    {u"ProxyAuthScheme", kDispProxyAuthScheme, win::VT_I4},
    {u"ProxyAutoDetect", kDispProxyAutoDetect, win::VT_BOOL},
    {u"ProxyPassword", kDispProxyPassword, win::VT_BSTR},
    {u"ProxyPort", kDispProxyPort, win::VT_I4},
    {u"ProxyServer", kDispProxyServer, win::VT_BSTR},
    {u"ProxySSL", kDispProxySSL, win::VT_I4},
    {u"ProxyUser", kDispProxyUser, win::VT_BSTR},
    {u"SSLCertStore", kDispSSLCertStore, win::VT_BSTR},
    {u"SSLCertStorePassword", kDispSSLCertStorePassword, win::VT_BSTR},
    {u"SSLCertStoreType", kDispSSLCertStoreType, win::VT_I4},
    {u"SSLCertSubject", kDispSSLCertSubject, win::VT_BSTR},
    {u"Timeout", kDispTimeout, win::VT_I2},
};
static_assert(std::size(kPersistedProperties) == 22);

// ---- The VARIANT stream form: a 16-bit type, then the value ----

HRESULT WriteBytes(win::IStream* stream, const void* data, win::ULONG size) {
  win::ULONG written = 0;
  HRESULT hr = stream->Write(data, size, &written);
  if (win::FAILED(hr)) return hr;
  return written == size ? win::S_OK : win::STG_E_MEDIUMFULL;
}

// A short read is a failure: the value is not all there.
HRESULT ReadBytes(win::IStream* stream, void* data, win::ULONG size) {
  win::ULONG read = 0;
  HRESULT hr = stream->Read(data, size, &read);
  if (win::FAILED(hr)) return hr;
  return hr == win::S_OK && read == size ? win::S_OK : win::E_FAIL;
}

void PutLittleEndian(uint8_t* out, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittleEndian(const uint8_t* in, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= uint64_t{in[i]} << (8 * i);
  return value;
}

// Bytes of the fixed-size types; 0 for EMPTY and NULL, -1 for a type the form does not carry.
int FixedSize(win::VARTYPE vt) {
  switch (vt) {
    case win::VT_EMPTY:
    case win::VT_NULL:
      return 0;
    case win::VT_I1:
    case win::VT_UI1:
      return 1;
    case win::VT_I2:
    case win::VT_UI2:
    case win::VT_BOOL:
      return 2;
    case win::VT_I4:
    case win::VT_UI4:
    case win::VT_INT:
    case win::VT_UINT:
    case win::VT_R4:
    case win::VT_ERROR:
      return 4;
    case win::VT_I8:
    case win::VT_UI8:
    case win::VT_R8:
    case win::VT_CY:
    case win::VT_DATE:
      return 8;
    default:
      return -1;
  }
}

HRESULT WriteVariant(win::IStream* stream, const win::VARIANT& value) {
  uint8_t type[2];
  PutLittleEndian(type, value.vt, sizeof type);
  HRESULT hr = WriteBytes(stream, type, sizeof type);
  if (win::FAILED(hr)) return hr;
  if (value.vt == win::VT_BSTR) {
    // The byte count includes the terminator; a null string has none.
    win::UINT bytes = value.bstrVal == nullptr ? 0 : win::SysStringByteLen(value.bstrVal) + 2;
    uint8_t count[4];
    PutLittleEndian(count, bytes, sizeof count);
    hr = WriteBytes(stream, count, sizeof count);
    if (win::FAILED(hr) || bytes == 0) return hr;
    return WriteBytes(stream, value.bstrVal, bytes);
  }
  int size = FixedSize(value.vt);
  if (size < 0) return win::DISP_E_BADVARTYPE;
  uint8_t data[8];
  PutLittleEndian(data, static_cast<uint64_t>(value.llVal), static_cast<size_t>(size));
  return WriteBytes(stream, data, static_cast<win::ULONG>(size));
}

HRESULT ReadVariant(win::IStream* stream, win::Variant* value) {
  uint8_t type[2];
  HRESULT hr = ReadBytes(stream, type, sizeof type);
  if (win::FAILED(hr)) return hr;
  auto vt = static_cast<win::VARTYPE>(GetLittleEndian(type, sizeof type));
  win::VariantClear(value);
  if (vt == win::VT_BSTR) {
    uint8_t count[4];
    hr = ReadBytes(stream, count, sizeof count);
    if (win::FAILED(hr)) return hr;
    auto bytes = static_cast<uint32_t>(GetLittleEndian(count, sizeof count));
    value->vt = win::VT_BSTR;
    value->bstrVal = nullptr;
    if (bytes == 0) return win::S_OK;
    if (bytes % 2 != 0) return win::E_FAIL;  // not UTF-16 with its terminator
    std::vector<char> text;
    for (uint32_t done = 0; done < bytes;) {
      uint32_t piece = std::min(kReadPiece, bytes - done);
      text.resize(done + piece);
      hr = ReadBytes(stream, text.data() + done, piece);
      if (win::FAILED(hr)) return hr;
      done += piece;
    }
    value->bstrVal = win::SysAllocStringByteLen(text.data(), bytes - 2);
    return value->bstrVal != nullptr ? win::S_OK : win::E_OUTOFMEMORY;
  }
  int size = FixedSize(vt);
  if (size < 0) return win::DISP_E_BADVARTYPE;
  uint8_t data[8];
  hr = ReadBytes(stream, data, static_cast<win::ULONG>(size));
  if (win::FAILED(hr)) return hr;
  value->vt = vt;
  value->llVal = 0;
  value->llVal = static_cast<win::LONGLONG>(GetLittleEndian(data, static_cast<size_t>(size)));
  return win::S_OK;
}

}  // namespace

// ---- Reading and writing one property through the dispatch interface ----

namespace {

HRESULT GetProperty(ICobalin* self, const PersistedProperty& p, win::Variant* value) {
  win::DISPPARAMS none{nullptr, nullptr, 0, 0};
  win::VariantClear(value);
  HRESULT hr = self->Invoke(p.dispid, win::IID_NULL, 0, win::DISPATCH_PROPERTYGET, &none, value,
                            nullptr, nullptr);
  if (win::FAILED(hr)) return hr;
  return value->vt == p.vt ? win::S_OK : win::VariantChangeType(value, value, 0, p.vt);
}

HRESULT PutProperty(ICobalin* self, const PersistedProperty& p, win::VARIANT* value) {
  win::DISPID named = win::DISPID_PROPERTYPUT;
  win::DISPPARAMS args{value, &named, 1, 1};
  return self->Invoke(p.dispid, win::IID_NULL, 0, win::DISPATCH_PROPERTYPUT, &args, nullptr,
                      nullptr, nullptr);
}

}  // namespace

// ---- IPersist, IPersistStreamInit ----

HRESULT ControlObject::GetClassID(win::CLSID* clsid) {
  if (clsid == nullptr) return win::E_POINTER;
  *clsid = kClsidCobalin;
  return win::S_OK;
}

HRESULT ControlObject::IsDirty() { return dirty_ ? win::S_OK : win::S_FALSE; }

HRESULT ControlObject::Load(win::IStream* stream) {
  if (stream == nullptr) return win::E_POINTER;
  uint8_t version[4];
  HRESULT hr = ReadBytes(stream, version, sizeof version);
  if (win::FAILED(hr)) return hr;
  if (GetLittleEndian(version, sizeof version) > kStreamVersion) return win::E_FAIL;
  for (const PersistedProperty& p : kPersistedProperties) {
    win::Variant value;
    hr = ReadVariant(stream, &value);
    if (win::FAILED(hr)) return hr;
    if (win::FAILED(PutProperty(this, p, &value))) return win::E_FAIL;
  }
  dirty_ = false;
  return win::S_OK;
}

HRESULT ControlObject::Save(win::IStream* stream, win::BOOL clear_dirty) {
  if (stream == nullptr) return win::E_POINTER;
  uint8_t version[4];
  PutLittleEndian(version, kStreamVersion, sizeof version);
  HRESULT hr = WriteBytes(stream, version, sizeof version);
  for (const PersistedProperty& p : kPersistedProperties) {
    if (win::FAILED(hr)) return hr;
    win::Variant value;
    hr = GetProperty(this, p, &value);
    if (win::SUCCEEDED(hr)) hr = WriteVariant(stream, value);
  }
  if (win::FAILED(hr)) return hr;
  if (clear_dirty) dirty_ = false;
  return win::S_OK;
}

HRESULT ControlObject::GetSizeMax(win::ULARGE_INTEGER*) { return win::E_NOTIMPL; }

// A new object already holds the defaults.
HRESULT ControlObject::InitNew() { return win::S_OK; }

// ---- IPersistStorage ----

HRESULT ControlObject::InitNew(win::IStorage* storage) {
  return storage == nullptr ? win::E_POINTER : win::S_OK;
}

HRESULT ControlObject::Load(win::IStorage* storage) {
  if (storage == nullptr) return win::E_POINTER;
  win::ComPtr<win::IStream> stream;
  HRESULT hr = storage->OpenStream(kContentsStream, nullptr,
                                   win::STGM_READ | win::STGM_SHARE_EXCLUSIVE, 0, stream.Put());
  if (win::FAILED(hr)) return hr;
  return Load(stream.Get());
}

HRESULT ControlObject::Save(win::IStorage* storage, win::BOOL) {
  if (storage == nullptr) return win::E_POINTER;
  win::ComPtr<win::IStream> stream;
  HRESULT hr = storage->CreateStream(
      kContentsStream, win::STGM_READWRITE | win::STGM_SHARE_EXCLUSIVE | win::STGM_CREATE, 0, 0,
      stream.Put());
  if (win::FAILED(hr)) return hr;
  return Save(stream.Get(), win::TRUE);
}

HRESULT ControlObject::SaveCompleted(win::IStorage*) { return win::S_OK; }
HRESULT ControlObject::HandsOffStorage() { return win::S_OK; }

// ---- IPersistPropertyBag ----

HRESULT ControlObject::Load(win::IPropertyBag* bag, win::IErrorLog* log) {
  if (bag == nullptr) return win::E_POINTER;
  for (const PersistedProperty& p : kPersistedProperties) {
    std::u16string name(p.name);
    win::Variant value;
    value.vt = p.vt;
    value.llVal = 0;
    HRESULT hr = bag->Read(name.c_str(), &value, log);
    if (hr == win::E_INVALIDARG) continue;  // not in the bag: the property keeps its value
    if (win::FAILED(hr)) return hr;
    if (win::FAILED(PutProperty(this, p, &value))) return win::E_FAIL;
  }
  dirty_ = false;
  return win::S_OK;
}

HRESULT ControlObject::Save(win::IPropertyBag* bag, win::BOOL clear_dirty, win::BOOL) {
  if (bag == nullptr) return win::E_POINTER;
  for (const PersistedProperty& p : kPersistedProperties) {
    std::u16string name(p.name);
    win::Variant value;
    HRESULT hr = GetProperty(this, p, &value);
    if (win::SUCCEEDED(hr)) hr = bag->Write(name.c_str(), &value);
    if (win::FAILED(hr)) return hr;
  }
  if (clear_dirty) dirty_ = false;
  return win::S_OK;
}

}  // namespace tw
