#include "platform/dispatch_table.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/com_ref_counted.h"
#include "platform/error_info.h"
#include "platform/registry.h"

namespace win {
namespace {

// The standard marshaler of dispatch and dual interfaces, named in their registration.
constexpr char16_t kDispatchProxyStub[] = u"{00020424-0000-0000-C000-000000000046}";
constexpr char16_t kPlatformSubKey[] = u"win32";
constexpr char16_t kFlagsValue[] = u"0";

char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

bool SameName(std::u16string_view a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == 0 || Fold(a[i]) != Fold(b[i])) return false;
  }
  return b[i] == 0;
}

const DispMember* FindByName(const DispInterface& itf, const char16_t* name) {
  const DispMember* found = nullptr;
  for (const DispMember& m : itf.members) {
    if (!SameName(m.name, name)) continue;
    // The method or getter names the parameters; a setter only when nothing else has the name.
    if (found == nullptr || found->kind == DispKind::kPropertyPut) found = &m;
  }
  return found;
}

const DispMember* FindById(const DispInterface& itf, DISPID id) {
  const DispMember* found = nullptr;
  for (const DispMember& m : itf.members) {
    if (m.dispid != id) continue;
    if (found == nullptr || found->kind == DispKind::kPropertyPut) found = &m;
  }
  return found;
}

// Picks the member that the flags ask for.
const DispMember* Select(const DispInterface& itf, DISPID id, WORD flags) {
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
    return FindDispMember(itf, id, DispKind::kPropertyPut);
  }
  if ((flags & DISPATCH_METHOD) != 0) {
    if (const DispMember* m = FindDispMember(itf, id, DispKind::kMethod)) return m;
  }
  if ((flags & DISPATCH_PROPERTYGET) != 0) return FindDispMember(itf, id, DispKind::kPropertyGet);
  return nullptr;
}

void FillExcepInfo(EXCEPINFO* excep, HRESULT hr) {
  std::memset(excep, 0, sizeof *excep);
  excep->scode = hr;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return;
  info->GetSource(&excep->bstrSource);
  info->GetDescription(&excep->bstrDescription);
  info->GetHelpFile(&excep->bstrHelpFile);
  info->GetHelpContext(&excep->dwHelpContext);
}

// Coerces argument `i` (declared order) into `args[i]`, using `temp` when a conversion is needed.
HRESULT PrepareArgument(const DispParam& p, VARIANT* src, Variant& temp, VARIANT*& arg) {
  if ((p.vt & VT_BYREF) != 0) {
    VARTYPE base = p.vt & ~VT_BYREF;
    if (src->vt == p.vt) {
      arg = src;
      return S_OK;
    }
    if (p.vt == (VT_BYREF | VT_VARIANT) && (src->vt & VT_BYREF) == 0) {
      temp.vt = VT_BYREF | VT_VARIANT;  // a by-value argument the member may change in place
      temp.pvarVal = src;
      arg = &temp;
      return S_OK;
    }
    if (src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal != nullptr && src->pvarVal->vt == base) {
      temp.vt = p.vt;  // a reference to a VARIANT that holds the declared type
      temp.byref = &src->pvarVal->llVal;
      arg = &temp;
      return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
  }
  if (p.vt == VT_VARIANT) {
    arg = src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal != nullptr ? src->pvarVal : src;
    return S_OK;
  }
  if (src->vt == VT_ERROR && src->scode == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
  HRESULT hr = VariantChangeType(&temp, src, 0, p.vt);
  if (FAILED(hr)) {
    return hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY || hr == DISP_E_PARAMNOTOPTIONAL
               ? hr
               : DISP_E_TYPEMISMATCH;
  }
  arg = &temp;
  return S_OK;
}

// ---- Type information ----

HRESULT NewBstr(std::u16string_view s, BSTR* out) {
  if (out == nullptr) return S_OK;
  *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT Documentation(std::u16string_view name, std::u16string_view doc, DWORD context,
                      std::u16string_view file, BSTR* name_out, BSTR* doc_out, DWORD* context_out,
                      BSTR* file_out) {
  if (name_out != nullptr) *name_out = nullptr;
  if (doc_out != nullptr) *doc_out = nullptr;
  if (file_out != nullptr) *file_out = nullptr;
  if (context_out != nullptr) *context_out = context;
  HRESULT hr = NewBstr(name, name_out);
  if (SUCCEEDED(hr)) hr = NewBstr(doc, doc_out);
  if (SUCCEEDED(hr) && !file.empty()) hr = NewBstr(file, file_out);
  if (FAILED(hr)) {
    if (name_out != nullptr) SysFreeString(*name_out);
    if (doc_out != nullptr) SysFreeString(*doc_out);
    if (file_out != nullptr) SysFreeString(*file_out);
  }
  return hr;
}

class TypeInfoBase : public RefCounted<ITypeInfo> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ITypeInfo) {
      *object = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  HRESULT GetFuncDesc(UINT, FUNCDESC** desc) override {
    if (desc != nullptr) *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  void ReleaseFuncDesc(FUNCDESC* desc) override {
    delete reinterpret_cast<FuncDescBlock*>(desc);
  }

 protected:
  // One allocation per description: the FUNCDESC first, its parameters after it.
  struct FuncDescBlock {
    FUNCDESC desc;
    ELEMDESC params[kMaxDispParams];
  };

  virtual ~TypeInfoBase() = default;

  HRESULT NewAttr(const GUID& guid, TYPEKIND kind, WORD funcs, WORD impls, WORD flags,
                  TYPEATTR** out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = new (std::nothrow) TYPEATTR{};
    if (*out == nullptr) return E_OUTOFMEMORY;
    (*out)->guid = guid;
    (*out)->typekind = kind;
    (*out)->memidConstructor = MEMBERID_NIL;
    (*out)->memidDestructor = MEMBERID_NIL;
    (*out)->cFuncs = funcs;
    (*out)->cImplTypes = impls;
    (*out)->wTypeFlags = flags;
    return S_OK;
  }
};

class TableTypeInfo final : public TypeInfoBase {
 public:
  explicit TableTypeInfo(const DispInterface& itf) : itf_(itf) {}

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    return NewAttr(itf_.iid, TKIND_DISPATCH, static_cast<WORD>(itf_.members.size()), 0,
                   static_cast<WORD>(itf_.flags | TYPEFLAG_FDISPATCHABLE), attr);
  }
  HRESULT GetNames(MEMBERID id, BSTR* names, UINT max, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    const DispMember* m = FindById(itf_, id);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    // A setter's value argument has no name of its own.
    UINT params = m->param_count - (m->kind == DispKind::kPropertyPut ? 1 : 0);
    for (UINT i = 0; i <= params && *count < max; ++i) {
      std::u16string_view n = i == 0 ? m->name : m->params[i - 1].name;
      HRESULT hr = NewBstr(n, &names[*count]);
      if (FAILED(hr)) {
        for (UINT k = 0; k < *count; ++k) SysFreeString(names[k]);
        *count = 0;
        return hr;
      }
      ++*count;
    }
    return S_OK;
  }
  HRESULT GetRefTypeOfImplType(UINT, HREFTYPE*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetImplTypeFlags(UINT, INT*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return DispGetIDsOfNames(itf_, names, count, ids);
  }
  HRESULT Invoke(void* instance, MEMBERID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* arg_err) override {
    return DispInvoke(itf_, instance, id, flags, params, result, excep, arg_err);
  }
  HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* context,
                           BSTR* file) override {
    if (id == MEMBERID_NIL) {
      return Documentation(itf_.name, itf_.doc, itf_.help_context, itf_.help_file, name, doc,
                           context, file);
    }
    const DispMember* m = FindById(itf_, id);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    return Documentation(m->name, m->doc, m->help_context, itf_.help_file, name, doc, context,
                         file);
  }
  HRESULT GetRefTypeInfo(HREFTYPE, ITypeInfo**) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
    if (desc == nullptr) return E_INVALIDARG;
    *desc = nullptr;
    if (index >= itf_.members.size()) return TYPE_E_ELEMENTNOTFOUND;
    const DispMember& m = itf_.members[index];
    auto* block = new (std::nothrow) FuncDescBlock{};
    if (block == nullptr) return E_OUTOFMEMORY;
    FUNCDESC& d = block->desc;
    d.memid = m.dispid;
    d.funckind = FUNC_DISPATCH;
    d.invkind = m.kind == DispKind::kPropertyGet   ? INVOKE_PROPERTYGET
                : m.kind == DispKind::kPropertyPut ? INVOKE_PROPERTYPUT
                                                   : INVOKE_FUNC;
    d.cParams = m.param_count;
    d.lprgelemdescParam = block->params;
    for (size_t i = 0; i < m.param_count; ++i) {
      block->params[i].tdesc.vt = m.params[i].vt;
      block->params[i].paramdesc.wParamFlags =
          (m.params[i].vt & VT_BYREF) != 0 ? PARAMFLAG_FIN | PARAMFLAG_FOUT : PARAMFLAG_FIN;
    }
    d.elemdescFunc.tdesc.vt = m.result == VT_EMPTY ? static_cast<VARTYPE>(VT_VOID) : m.result;
    *desc = &block->desc;
    return S_OK;
  }

 private:
  const DispInterface& itf_;
};

class ClassTypeInfo final : public TypeInfoBase {
 public:
  explicit ClassTypeInfo(const CoClassDesc& coclass) : class_(coclass) {}

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    return NewAttr(class_.clsid, TKIND_COCLASS, 0, static_cast<WORD>(ImplCount()), class_.flags,
                   attr);
  }
  HRESULT GetNames(MEMBERID, BSTR*, UINT, UINT* count) override {
    if (count != nullptr) *count = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override {
    if (ref == nullptr) return E_INVALIDARG;
    if (Impl(index) == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    *ref = index;
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (flags == nullptr) return E_INVALIDARG;
    const DispInterface* itf = Impl(index);
    if (itf == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    bool source = class_.default_source != nullptr && index + 1 == ImplCount();
    *flags = source ? IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE : IMPLTYPEFLAG_FDEFAULT;
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* context,
                           BSTR* file) override {
    if (id != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
    return Documentation(class_.name, class_.doc, 0, {}, name, doc, context, file);
  }
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    const DispInterface* itf = Impl(ref);
    if (itf == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    return CreateTableTypeInfo(*itf, info);
  }

 private:
  UINT ImplCount() const {
    return (class_.default_interface != nullptr ? 1 : 0) +
           (class_.default_source != nullptr ? 1 : 0);
  }
  // The default interface first, then the event source.
  const DispInterface* Impl(UINT index) const {
    if (class_.default_interface != nullptr) {
      if (index == 0) return class_.default_interface;
      --index;
    }
    return index == 0 ? class_.default_source : nullptr;
  }

  const CoClassDesc& class_;
};

// ---- Registration ----

// The folder of a file path ("" when it has none).
std::u16string_view FolderOf(std::u16string_view path) {
  size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash);
}

std::u16string VersionText(WORD major, WORD minor) {
  auto hex = [](unsigned v) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string s;
    do {
      s.insert(s.begin(), kDigits[v & 15]);
      v >>= 4;
    } while (v != 0);
    return s;
  };
  return hex(major) + u"." + hex(minor);
}

LONG SetText(HKEY key, const char16_t* name, std::u16string_view text) {
  std::u16string data(text);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
}

// Creates `path` under HKEY_CLASSES_ROOT and sets its default value (when `value` is not null).
LONG WriteKey(const std::u16string& path, const std::u16string_view* value,
              const char16_t* named = nullptr, std::u16string_view named_value = {}) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  if (value != nullptr) rc = SetText(key, nullptr, *value);
  if (rc == ERROR_SUCCESS && named != nullptr) rc = SetText(key, named, named_value);
  RegCloseKey(key);
  return rc;
}

bool HasSubKeys(const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char16_t name[256];
  DWORD size = 256;
  bool any =
      RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_NO_MORE_ITEMS;
  RegCloseKey(key);
  return any;
}

}  // namespace

void ClearExcepInfo(EXCEPINFO* info) {
  if (info == nullptr) return;
  SysFreeString(info->bstrSource);
  SysFreeString(info->bstrDescription);
  SysFreeString(info->bstrHelpFile);
  std::memset(info, 0, sizeof *info);
}

const DispMember* FindDispMember(const DispInterface& itf, DISPID id, DispKind kind) {
  for (const DispMember& m : itf.members) {
    if (m.dispid == id && m.kind == kind) return &m;
  }
  return nullptr;
}

HRESULT DispGetIDsOfNames(const DispInterface& itf, LPOLESTR* names, UINT count, DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const DispMember* m = names[0] == nullptr ? nullptr : FindByName(itf, names[0]);
  if (m == nullptr) return DISP_E_UNKNOWNNAME;
  ids[0] = m->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    for (uint8_t k = 0; k < m->param_count && names[i] != nullptr; ++k) {
      if (!m->params[k].name.empty() && SameName(m->params[k].name, names[i])) {
        ids[i] = k;
        break;
      }
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT DispInvoke(const DispInterface& itf, void* object, DISPID id, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  const DispMember* m = Select(itf, id, flags);
  if (m == nullptr || m->call == nullptr) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  if (params->cNamedArgs > 0) {
    bool put_value = m->kind == DispKind::kPropertyPut && params->cNamedArgs == 1 &&
                     params->rgdispidNamedArgs != nullptr &&
                     params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if (!put_value) return DISP_E_NONAMEDARGS;
  }
  if (params->cArgs != m->param_count) return DISP_E_BADPARAMCOUNT;

  Variant temps[kMaxDispParams];
  VARIANT* args[kMaxDispParams] = {};
  for (UINT i = 0; i < m->param_count; ++i) {
    UINT position = params->cArgs - 1 - i;  // the caller's order is reversed
    HRESULT hr = PrepareArgument(m->params[i], &params->rgvarg[position], temps[i], args[i]);
    if (FAILED(hr)) {
      if (arg_err != nullptr && hr != E_OUTOFMEMORY) *arg_err = position;
      return hr;
    }
  }

  Variant ret;
  if (m->result != VT_EMPTY && m->result != VT_VARIANT) ret.vt = m->result;
  SetErrorInfo(0, nullptr);  // only what this call reports reaches EXCEPINFO
  HRESULT hr = m->call(object, args, m->result != VT_EMPTY ? &ret : nullptr);
  if (FAILED(hr)) {
    if (excep == nullptr) return hr;
    FillExcepInfo(excep, hr);
    return DISP_E_EXCEPTION;
  }
  if (result != nullptr && m->result != VT_EMPTY) {
    *result = ret;
    VariantInit(&ret);
  }
  return hr;
}

HRESULT CreateTableTypeInfo(const DispInterface& itf, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = new (std::nothrow) TableTypeInfo(itf);
  return *info == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT CreateClassTypeInfo(const CoClassDesc& coclass, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = new (std::nothrow) ClassTypeInfo(coclass);
  return *info == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT RegisterTypeLibrary(const TypeLibraryDesc& lib, LPCOLESTR module_path, LPCOLESTR help_dir) {
  if (module_path == nullptr) return E_INVALIDARG;
  std::u16string libid = GuidToWideString(lib.libid);
  std::u16string version = VersionText(lib.major, lib.minor);
  std::u16string base = u"TypeLib\\" + libid + u"\\" + version;
  std::u16string_view name = lib.doc.empty() ? lib.name : lib.doc;
  std::u16string_view module(module_path);
  std::u16string_view flags(kFlagsValue);
  std::u16string_view dir = help_dir != nullptr ? std::u16string_view(help_dir) : FolderOf(module);
  LONG rc = WriteKey(base, &name);
  if (rc == ERROR_SUCCESS) rc = WriteKey(base + u"\\0\\" + kPlatformSubKey, &module);
  if (rc == ERROR_SUCCESS) rc = WriteKey(base + u"\\FLAGS", &flags);
  if (rc == ERROR_SUCCESS) rc = WriteKey(base + u"\\HELPDIR", &dir);
  for (const DispInterface* itf : lib.interfaces) {
    if (rc != ERROR_SUCCESS) break;
    std::u16string key = u"Interface\\" + GuidToWideString(itf->iid);
    std::u16string_view itf_name = itf->name;
    std::u16string_view proxy(kDispatchProxyStub);
    std::u16string_view libid_view(libid);
    rc = WriteKey(key, &itf_name);
    if (rc == ERROR_SUCCESS) rc = WriteKey(key + u"\\ProxyStubClsid32", &proxy);
    if (rc == ERROR_SUCCESS) rc = WriteKey(key + u"\\TypeLib", &libid_view, u"Version", version);
  }
  return rc == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnregisterTypeLibrary(const TypeLibraryDesc& lib) {
  std::u16string libid_key = u"TypeLib\\" + GuidToWideString(lib.libid);
  std::u16string version_key = libid_key + u"\\" + VersionText(lib.major, lib.minor);
  LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, version_key.c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return TYPE_E_REGISTRYACCESS;
  if (rc == ERROR_FILE_NOT_FOUND) return TYPE_E_LIBNOTREGISTERED;
  if (!HasSubKeys(libid_key)) RegDeleteTreeW(HKEY_CLASSES_ROOT, libid_key.c_str());
  for (const DispInterface* itf : lib.interfaces) {
    std::u16string key = u"Interface\\" + GuidToWideString(itf->iid);
    rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return TYPE_E_REGISTRYACCESS;
  }
  return S_OK;
}

}  // namespace win
