// The type library as one static table per interface: names, DISPIDs, kinds, argument types,
// help contexts and the call of each member. The table serves IDispatch (GetIDsOfNames without
// regard to case, Invoke with argument coercion), ITypeInfo, and the registration of the library.
//
// An object implements IDispatch by deriving from DispatchFromTable and supplying the table and
// its member functions:
//
//   constexpr DispMember kMembers[] = {
//       DispPropGet(u"Timeout", 90, VT_I2, {}, 23490, DispCall<Control, &Control::get_Timeout>),
//       DispPropPut(u"Timeout", 90, VT_I2, {}, 23490, DispCall<Control, &Control::put_Timeout>),
//       DispMethod(u"GetBlob", 515, VT_EMPTY, {{VT_BSTR, u"Blob"}}, 43414,
//                  DispCall<Control, &Control::GetBlob>),
//   };
//   constexpr DispInterface kControl{kIid, u"IControl", kMembers, TYPEFLAG_FDUAL};
//
// Invoke takes the arguments in the caller's (reversed) order, requires exactly the declared
// count (DISP_E_BADPARAMCOUNT), coerces each by-value argument with VariantChangeType (a failure
// gives DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW with the argument's index in *arg_err), and passes
// by-reference arguments through to the member. A member that fails leaves its error information
// (SetErrorInfo) in EXCEPINFO and Invoke returns DISP_E_EXCEPTION; without an EXCEPINFO, the
// member's HRESULT is returned and the error information stays on the thread. Error information
// left from an earlier call never reaches EXCEPINFO: Invoke clears it before calling the member.
#pragma once

#include <array>
#include <initializer_list>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/automation.h"
#include "platform/com_types.h"
#include "platform/variant.h"

namespace win {

struct SAFEARRAY;

enum class DispKind : uint8_t { kMethod, kPropertyGet, kPropertyPut };

struct DispParam {
  constexpr DispParam() = default;
  constexpr DispParam(VARTYPE type, std::u16string_view param_name = {})
      : vt(type), name(param_name) {}
  VARTYPE vt = VT_EMPTY;  // VT_BYREF | type for an [in, out] argument
  std::u16string_view name;
};

inline constexpr size_t kMaxDispParams = 16;

// Calls one member. args[i] is argument i in declared order, already of its declared type (a
// by-reference argument is the caller's VARIANT). `result` is a zeroed VARIANT of the declared
// result type (VT_EMPTY for VT_VARIANT, which the member sets) or null when there is none.
using DispThunk = HRESULT (*)(void* object, VARIANT* const* args, VARIANT* result);

struct DispMember {
  std::u16string_view name;
  DISPID dispid = DISPID_UNKNOWN;
  DispKind kind = DispKind::kMethod;
  VARTYPE result = VT_EMPTY;  // the [out, retval] type; VT_EMPTY: none
  std::array<DispParam, kMaxDispParams> params{};
  uint8_t param_count = 0;
  DWORD help_context = 0;
  DispThunk call = nullptr;
  std::u16string_view doc;
};

constexpr DispMember MakeDispMember(std::u16string_view name, DISPID id, DispKind kind,
                                    VARTYPE result, std::initializer_list<DispParam> params,
                                    DWORD help_context, DispThunk call, std::u16string_view doc) {
  DispMember m;
  m.name = name;
  m.dispid = id;
  m.kind = kind;
  m.result = result;
  if (params.size() > kMaxDispParams) throw "too many parameters";
  for (const DispParam& p : params) m.params[m.param_count++] = p;
  m.help_context = help_context;
  m.call = call;
  m.doc = doc;
  return m;
}

constexpr DispMember DispMethod(std::u16string_view name, DISPID id, VARTYPE result,
                                std::initializer_list<DispParam> params, DWORD help_context,
                                DispThunk call, std::u16string_view doc = {}) {
  return MakeDispMember(name, id, DispKind::kMethod, result, params, help_context, call, doc);
}

// `index` lists the index arguments of an indexed property (empty for a plain one).
constexpr DispMember DispPropGet(std::u16string_view name, DISPID id, VARTYPE type,
                                 std::initializer_list<DispParam> index, DWORD help_context,
                                 DispThunk call, std::u16string_view doc = {}) {
  return MakeDispMember(name, id, DispKind::kPropertyGet, type, index, help_context, call, doc);
}

// The new value is the last argument, after the index arguments.
constexpr DispMember DispPropPut(std::u16string_view name, DISPID id, VARTYPE type,
                                 std::initializer_list<DispParam> index, DWORD help_context,
                                 DispThunk call, std::u16string_view doc = {}) {
  DispMember m =
      MakeDispMember(name, id, DispKind::kPropertyPut, VT_EMPTY, index, help_context, call, doc);
  if (m.param_count == kMaxDispParams) throw "too many parameters";
  m.params[m.param_count++] = DispParam{type, u"value"};
  return m;
}

struct DispInterface {
  constexpr DispInterface(const IID& id, std::u16string_view itf_name,
                          std::span<const DispMember> itf_members, WORD type_flags = 0,
                          std::u16string_view itf_doc = {}, DWORD context = 0,
                          std::u16string_view file = {})
      : iid(id),
        name(itf_name),
        members(itf_members),
        flags(type_flags),
        doc(itf_doc),
        help_context(context),
        help_file(file) {}
  IID iid{};
  std::u16string_view name;
  std::span<const DispMember> members;
  WORD flags = 0;  // TYPEFLAG_FDUAL, TYPEFLAG_FDISPATCHABLE ...
  std::u16string_view doc;
  DWORD help_context = 0;
  std::u16string_view help_file;
};

struct CoClassDesc {
  constexpr CoClassDesc(const CLSID& id, std::u16string_view class_name, const DispInterface* itf,
                        const DispInterface* source, std::u16string_view class_doc = {},
                        WORD type_flags = TYPEFLAG_FCANCREATE)
      : clsid(id),
        name(class_name),
        default_interface(itf),
        default_source(source),
        doc(class_doc),
        flags(type_flags) {}
  CLSID clsid{};
  std::u16string_view name;
  const DispInterface* default_interface = nullptr;
  const DispInterface* default_source = nullptr;  // the event interface, or null
  std::u16string_view doc;
  WORD flags = TYPEFLAG_FCANCREATE;
};

struct TypeLibraryDesc {
  constexpr TypeLibraryDesc(const GUID& id, std::u16string_view lib_name, WORD major_version,
                            WORD minor_version, std::span<const DispInterface* const> itfs,
                            std::u16string_view lib_doc = {})
      : libid(id),
        name(lib_name),
        major(major_version),
        minor(minor_version),
        interfaces(itfs),
        doc(lib_doc) {}
  GUID libid{};
  std::u16string_view name;
  WORD major = 1;
  WORD minor = 0;
  std::span<const DispInterface* const> interfaces;
  std::u16string_view doc;
};

// The member of that DISPID and kind, or null.
const DispMember* FindDispMember(const DispInterface& itf, DISPID id, DispKind kind);

// names[0] is a member name, names[1..] its parameter names (DISPID = position). Unknown names
// get DISPID_UNKNOWN and the result DISP_E_UNKNOWNNAME.
HRESULT DispGetIDsOfNames(const DispInterface& itf, LPOLESTR* names, UINT count, DISPID* ids);
// See the top of this file. `object` is what the members' thunks expect.
HRESULT DispInvoke(const DispInterface& itf, void* object, DISPID id, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_err);

// Type information over the tables (for IDispatch::GetTypeInfo and IProvideClassInfo).
HRESULT CreateTableTypeInfo(const DispInterface& itf, ITypeInfo** info);
HRESULT CreateClassTypeInfo(const CoClassDesc& coclass, ITypeInfo** info);

// Registers under HKEY_CLASSES_ROOT: TypeLib\{libid}\<major.minor> (name, 0\win32 = module path,
// FLAGS, HELPDIR) and Interface\{iid} of each interface (name, ProxyStubClsid32, TypeLib).
// TYPE_E_REGISTRYACCESS when the registry cannot be written.
HRESULT RegisterTypeLibrary(const TypeLibraryDesc& lib, LPCOLESTR module_path, LPCOLESTR help_dir);
// Removes what RegisterTypeLibrary wrote (TypeLib\{libid} goes once no version is left).
HRESULT UnregisterTypeLibrary(const TypeLibraryDesc& lib);

constexpr HRESULT TYPE_E_REGISTRYACCESS = HResultOf(0x8002801C);

// ---- Thunks made from member functions ----

namespace dispatch_detail {

template <class A>
A ArgAs(VARIANT* v) {
  if constexpr (std::is_same_v<A, BSTR>) {
    return v->bstrVal;
  } else if constexpr (std::is_same_v<A, VARIANT>) {
    return *v;
  } else if constexpr (std::is_same_v<A, VARIANT*> || std::is_same_v<A, const VARIANT*>) {
    return v->vt == (VT_BYREF | VT_VARIANT) ? v->pvarVal : v;
  } else if constexpr (std::is_same_v<A, IUnknown*>) {
    return v->punkVal;
  } else if constexpr (std::is_same_v<A, IDispatch*>) {
    return v->pdispVal;
  } else if constexpr (std::is_same_v<A, SAFEARRAY*>) {
    return v->parray;
  } else if constexpr (std::is_pointer_v<A>) {
    return static_cast<A>(v->byref);  // a by-reference argument
  } else if constexpr (std::is_same_v<A, SHORT>) {
    return v->iVal;  // also VARIANT_BOOL
  } else if constexpr (std::is_same_v<A, LONG>) {
    return v->lVal;
  } else if constexpr (std::is_same_v<A, BYTE>) {
    return v->bVal;
  } else if constexpr (std::is_same_v<A, USHORT>) {
    return v->uiVal;
  } else if constexpr (std::is_same_v<A, ULONG>) {
    return v->ulVal;
  } else if constexpr (std::is_same_v<A, LONGLONG>) {
    return v->llVal;
  } else if constexpr (std::is_same_v<A, ULONGLONG>) {
    return v->ullVal;
  } else if constexpr (std::is_same_v<A, double>) {
    return v->dblVal;
  } else if constexpr (std::is_same_v<A, float>) {
    return v->fltVal;
  } else if constexpr (std::is_same_v<A, DECIMAL>) {
    return v->decVal;
  } else if constexpr (std::is_same_v<A, CY>) {
    return v->cyVal;
  } else {
    static_assert(sizeof(A) == 0, "argument type without a VARIANT member");
  }
}

// The [out, retval] pointer into the result VARIANT.
template <class A>
A ResultSlot(VARIANT* result) {
  if constexpr (std::is_same_v<A, VARIANT*>) {
    return result;
  } else {
    return static_cast<A>(static_cast<void*>(&result->llVal));
  }
}

template <class A>
A Pick(VARIANT* const* args, size_t i, size_t n, VARIANT* result) {
  if constexpr (std::is_pointer_v<A>) {
    if (result != nullptr && i + 1 == n) return ResultSlot<A>(result);
  }
  return ArgAs<A>(args[i]);
}

template <class C, class F>
struct Caller;

template <class C, class B, class... A>
struct Caller<C, HRESULT (B::*)(A...)> {
  template <auto M>
  static HRESULT Call(void* object, VARIANT* const* args, VARIANT* result) {
    return Expand<M>(object, args, result, std::index_sequence_for<A...>{});
  }
  template <auto M, size_t... I>
  static HRESULT Expand(void* object, [[maybe_unused]] VARIANT* const* args,
                        [[maybe_unused]] VARIANT* result, std::index_sequence<I...>) {
    C* self = static_cast<C*>(object);
    return (self->*M)(Pick<A>(args, I, sizeof...(A), result)...);
  }
};

template <class C, class B, class... A>
struct Caller<C, HRESULT (B::*)(A...) noexcept> : Caller<C, HRESULT (B::*)(A...)> {};

}  // namespace dispatch_detail

// A thunk calling `M` (a member function of C or of its base) with the coerced arguments in
// declared order, followed by the [out, retval] pointer when the table declares a result.
template <class C, auto M>
HRESULT DispCall(void* object, VARIANT* const* args, VARIANT* result) {
  return dispatch_detail::Caller<C, decltype(M)>::template Call<M>(object, args, result);
}

// IDispatch for the object `Derived`, answered from the table `Itf`. `Base` is the interface the
// object exposes (IDispatch itself, or a dual interface derived from it).
template <class Derived, class Base, const DispInterface& Itf>
class DispatchFromTable : public Base {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return CreateTableTypeInfo(Itf, info);
  }
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(Itf, names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* arg_err) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispInvoke(Itf, static_cast<Derived*>(this), id, flags, params, result, excep, arg_err);
  }

 protected:
  ~DispatchFromTable() = default;
};

}  // namespace win
