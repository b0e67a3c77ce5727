// OLE Automation interfaces: IDispatch with its argument and exception records, and the part of
// ITypeInfo that a table-described interface can answer.
#pragma once

#include "platform/bstr.h"
#include "platform/com_types.h"
#include "platform/variant.h"

namespace win {

using DISPID = LONG;
using MEMBERID = DISPID;
using HREFTYPE = DWORD;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr DISPID DISPID_EVALUATE = -5;
constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

// Ambient properties a control reads from its site's IDispatch.
constexpr DISPID DISPID_AMBIENT_BACKCOLOR = -701;
constexpr DISPID DISPID_AMBIENT_DISPLAYNAME = -702;
constexpr DISPID DISPID_AMBIENT_FONT = -703;
constexpr DISPID DISPID_AMBIENT_FORECOLOR = -704;
constexpr DISPID DISPID_AMBIENT_LOCALEID = -705;
constexpr DISPID DISPID_AMBIENT_MESSAGEREFLECT = -706;
constexpr DISPID DISPID_AMBIENT_USERMODE = -709;
constexpr DISPID DISPID_AMBIENT_UIDEAD = -710;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// Arguments in reverse order: rgvarg[cArgs - 1] is the first.
struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

// Frees the strings of an EXCEPINFO and zeroes it.
void ClearExcepInfo(EXCEPINFO* info);

enum TYPEKIND : int {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
};

constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FCONTROL = 0x20;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;

// The parts of a type's attributes that a member table gives.
struct TYPEATTR {
  GUID guid;
  LCID lcid;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
};

enum FUNCKIND : int { FUNC_DISPATCH = 4 };

enum INVOKEKIND : int {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};

constexpr USHORT PARAMFLAG_FIN = 0x1;
constexpr USHORT PARAMFLAG_FOUT = 0x2;

// VT_BYREF | type for an [in, out] parameter, as the member table declares it.
struct TYPEDESC {
  VARTYPE vt;
};

struct PARAMDESC {
  void* pparamdescex;
  USHORT wParamFlags;
};

struct ELEMDESC {
  TYPEDESC tdesc;
  PARAMDESC paramdesc;
};

// The parts of a member's description that a member table gives. For a property put the new
// value is the last parameter; elemdescFunc is the result (VT_VOID for none).
struct FUNCDESC {
  MEMBERID memid;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  SHORT cParams;
  SHORT cParamsOpt;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};

class ITypeInfo : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00020401-0000-0000-C000-000000000046}");
  // Free with ReleaseTypeAttr.
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  // The member's name followed by its parameter names.
  virtual HRESULT GetNames(MEMBERID id, BSTR* names, UINT max, UINT* count) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  virtual HRESULT Invoke(void* instance, MEMBERID id, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excep, UINT* arg_err) = 0;
  // MEMBERID_NIL documents the type itself. Any out-pointer may be null.
  virtual HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
  // Member `index` (below TYPEATTR::cFuncs), in table order. Free with ReleaseFuncDesc.
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;

 protected:
  ~ITypeInfo() = default;
};

class IDispatch : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00020400-0000-0000-C000-000000000046}");
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excep, UINT* arg_err) = 0;

 protected:
  ~IDispatch() = default;
};

inline constexpr const IID& IID_IDispatch = IDispatch::kIid;
inline constexpr const IID& IID_ITypeInfo = ITypeInfo::kIid;

}  // namespace win
