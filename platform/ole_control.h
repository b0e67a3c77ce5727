// The interfaces of an OLE control and its container: connection points for events, class
// information, persistence, the client site, in-place activation and drawing, with the methods
// that make sense on this platform.
#pragma once

#include "platform/automation.h"
#include "platform/com_stream.h"
#include "platform/com_types.h"
#include "platform/error_info.h"
#include "platform/gdi.h"
#include "platform/window.h"

namespace win {

using RECTL = RECT;
using LPCRECT = const RECT*;
using LPCRECTL = const RECTL*;

struct SIZE {
  LONG cx;
  LONG cy;
};
using SIZEL = SIZE;
using POINTL = POINT;

using COLORREF = DWORD;
using OLE_COLOR = DWORD;

// Device description a container may pass when drawing; this platform has no printers.
struct DVTARGETDEVICE;

// ---- Connection points ----

class IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

class IEnumConnections : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
  // Each pUnk handed out carries a reference for the caller.
  virtual HRESULT Next(ULONG count, CONNECTDATA* out, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** copy) = 0;

 protected:
  ~IEnumConnections() = default;
};

class IConnectionPoint : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  // CONNECT_E_CANNOTCONNECT when the sink does not answer the connection interface.
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  // CONNECT_E_NOCONNECTION for a cookie that is not connected.
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;

 protected:
  ~IConnectionPoint() = default;
};

class IEnumConnectionPoints : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** copy) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};

class IConnectionPointContainer : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  // CONNECT_E_NOCONNECTION when there is no point for that interface.
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

class IPropertyNotifySink : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");
  virtual HRESULT OnChanged(DISPID id) = 0;
  virtual HRESULT OnRequestEdit(DISPID id) = 0;

 protected:
  ~IPropertyNotifySink() = default;
};

// ---- Class information ----

constexpr DWORD GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1;

class IProvideClassInfo : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;

 protected:
  ~IProvideClassInfo() = default;
};

class IProvideClassInfo2 : public IProvideClassInfo {
 public:
  static constexpr IID kIid = Guid("{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
  // GUIDKIND_DEFAULT_SOURCE_DISP_IID gives the event interface; E_INVALIDARG for other kinds.
  virtual HRESULT GetGUID(DWORD kind, GUID* guid) = 0;

 protected:
  ~IProvideClassInfo2() = default;
};

// ---- Persistence ----

class IErrorLog : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{3127CA40-446E-11CE-8135-00AA004BB851}");
  virtual HRESULT AddError(LPCOLESTR property, EXCEPINFO* info) = 0;

 protected:
  ~IErrorLog() = default;
};

class IPropertyBag : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{55272A00-42CB-11CE-8135-00AA004BB851}");
  // `value` comes in with the type wanted (VT_EMPTY: any) and goes out filled; E_INVALIDARG when
  // the bag has no such property.
  virtual HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) = 0;
  virtual HRESULT Write(LPCOLESTR name, VARIANT* value) = 0;

 protected:
  ~IPropertyBag() = default;
};

class IPersist : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{0000010C-0000-0000-C000-000000000046}");
  virtual HRESULT GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};

class IPersistStream : public IPersist {
 public:
  static constexpr IID kIid = Guid("{00000109-0000-0000-C000-000000000046}");
  virtual HRESULT IsDirty() = 0;  // S_OK when changed since the last save, else S_FALSE
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clear_dirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;

 protected:
  ~IPersistStream() = default;
};

class IPersistStreamInit : public IPersist {
 public:
  static constexpr IID kIid = Guid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clear_dirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStreamInit() = default;
};

class IPersistStorage : public IPersist {
 public:
  static constexpr IID kIid = Guid("{0000010A-0000-0000-C000-000000000046}");
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT InitNew(IStorage* storage) = 0;
  virtual HRESULT Load(IStorage* storage) = 0;
  virtual HRESULT Save(IStorage* storage, BOOL same_as_load) = 0;
  virtual HRESULT SaveCompleted(IStorage* storage) = 0;
  virtual HRESULT HandsOffStorage() = 0;

 protected:
  ~IPersistStorage() = default;
};

class IPersistPropertyBag : public IPersist {
 public:
  static constexpr IID kIid = Guid("{37D84F60-42CB-11CE-8135-00AA004BB851}");
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* bag, IErrorLog* log) = 0;
  virtual HRESULT Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) = 0;

 protected:
  ~IPersistPropertyBag() = default;
};

// ---- The container side ----

constexpr DWORD DVASPECT_CONTENT = 1;
constexpr DWORD DVASPECT_THUMBNAIL = 2;
constexpr DWORD DVASPECT_ICON = 4;
constexpr DWORD DVASPECT_DOCPRINT = 8;

class IAdviseSink : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{0000010F-0000-0000-C000-000000000046}");
  virtual void OnViewChange(DWORD aspect, LONG index) = 0;
  virtual void OnSave() = 0;
  virtual void OnClose() = 0;

 protected:
  ~IAdviseSink() = default;
};

class IOleClientSite : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00000118-0000-0000-C000-000000000046}");
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL show) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;

 protected:
  ~IOleClientSite() = default;
};

// ---- The control side ----

// OLEMISC status bits (GetMiscStatus).
constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
constexpr DWORD OLEMISC_INVISIBLEATRUNTIME = 0x400;
constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

constexpr LONG OLEIVERB_PRIMARY = 0;
constexpr LONG OLEIVERB_SHOW = -1;
constexpr LONG OLEIVERB_OPEN = -2;
constexpr LONG OLEIVERB_HIDE = -3;
constexpr LONG OLEIVERB_UIACTIVATE = -4;
constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;

constexpr DWORD OLECLOSE_SAVEIFDIRTY = 0;
constexpr DWORD OLECLOSE_NOSAVE = 1;
constexpr DWORD OLECLOSE_PROMPTSAVE = 2;

constexpr DWORD USERCLASSTYPE_FULL = 1;
constexpr DWORD USERCLASSTYPE_SHORT = 2;
constexpr DWORD USERCLASSTYPE_APPNAME = 3;

class IOleObject : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00000112-0000-0000-C000-000000000046}");
  virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR container_app, LPCOLESTR container_object) = 0;
  virtual HRESULT Close(DWORD save_option) = 0;
  virtual HRESULT DoVerb(LONG verb, MSG* msg, IOleClientSite* site, LONG index, HWND parent,
                         LPCRECT position) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT IsUpToDate() = 0;
  virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
  // Task memory (CoTaskMemFree).
  virtual HRESULT GetUserType(DWORD form, LPOLESTR* name) = 0;
  virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT Advise(IAdviseSink* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;

 protected:
  ~IOleObject() = default;
};

class IOleWindow : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{00000114-0000-0000-C000-000000000046}");
  virtual HRESULT GetWindow(HWND* window) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL enter) = 0;

 protected:
  ~IOleWindow() = default;
};

class IOleInPlaceObject : public IOleWindow {
 public:
  static constexpr IID kIid = Guid("{00000113-0000-0000-C000-000000000046}");
  virtual HRESULT InPlaceDeactivate() = 0;
  virtual HRESULT UIDeactivate() = 0;
  virtual HRESULT SetObjectRects(LPCRECT position, LPCRECT clip) = 0;
  virtual HRESULT ReactivateAndUndo() = 0;

 protected:
  ~IOleInPlaceObject() = default;
};

class IOleInPlaceObjectWindowless : public IOleInPlaceObject {
 public:
  static constexpr IID kIid = Guid("{1C2056CC-5EF4-101B-8BC8-00AA003E3B29}");
  virtual HRESULT OnWindowMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) = 0;

 protected:
  ~IOleInPlaceObjectWindowless() = default;
};

class IOleInPlaceActiveObject : public IOleWindow {
 public:
  static constexpr IID kIid = Guid("{00000117-0000-0000-C000-000000000046}");
  virtual HRESULT TranslateAccelerator(MSG* msg) = 0;
  virtual HRESULT OnFrameWindowActivate(BOOL activate) = 0;
  virtual HRESULT OnDocWindowActivate(BOOL activate) = 0;
  virtual HRESULT EnableModeless(BOOL enable) = 0;

 protected:
  ~IOleInPlaceActiveObject() = default;
};

struct CONTROLINFO {
  ULONG cb;
  void* hAccel;
  USHORT cAccel;
  DWORD dwFlags;
};

class IOleControl : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{B196B288-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT GetControlInfo(CONTROLINFO* info) = 0;
  virtual HRESULT OnMnemonic(MSG* msg) = 0;
  virtual HRESULT OnAmbientPropertyChange(DISPID id) = 0;
  virtual HRESULT FreezeEvents(BOOL freeze) = 0;

 protected:
  ~IOleControl() = default;
};

// Asked by the draw loop whether to go on; FALSE stops it.
using DrawContinueFn = BOOL (*)(ULONG_PTR context);

class IViewObject : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{0000010D-0000-0000-C000-000000000046}");
  virtual HRESULT Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* device,
                       HDC target_info, HDC draw, LPCRECTL bounds, LPCRECTL window_bounds,
                       DrawContinueFn keep_going, ULONG_PTR context) = 0;
  virtual HRESULT Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) = 0;
  virtual HRESULT Unfreeze(DWORD freeze) = 0;
  virtual HRESULT SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) = 0;
  virtual HRESULT GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) = 0;

 protected:
  ~IViewObject() = default;
};

class IViewObject2 : public IViewObject {
 public:
  static constexpr IID kIid = Guid("{00000127-0000-0000-C000-000000000046}");
  virtual HRESULT GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, SIZEL* size) = 0;

 protected:
  ~IViewObject2() = default;
};

constexpr DWORD VIEWSTATUS_OPAQUE = 1;
constexpr DWORD VIEWSTATUS_SOLIDBKGND = 2;
constexpr DWORD HITRESULT_OUTSIDE = 0;
constexpr DWORD HITRESULT_HIT = 3;

class IViewObjectEx : public IViewObject2 {
 public:
  static constexpr IID kIid = Guid("{3AF24292-0C96-11CE-A0CF-00AA00600AB8}");
  virtual HRESULT GetRect(DWORD aspect, RECTL* rect) = 0;
  virtual HRESULT GetViewStatus(DWORD* status) = 0;
  virtual HRESULT QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG close_hint,
                                DWORD* result) = 0;
  virtual HRESULT QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG close_hint,
                               DWORD* result) = 0;

 protected:
  ~IViewObjectEx() = default;
};

// What a container hands a control in one call instead of many (the parts used here).
struct QACONTAINER {
  ULONG cbSize;
  IOleClientSite* pClientSite;
  IAdviseSink* pAdviseSink;
  IPropertyNotifySink* pPropertyNotifySink;
  IUnknown* pUnkEventSink;
  DWORD dwAmbientFlags;
  OLE_COLOR colorFore;
  OLE_COLOR colorBack;
  LCID lcid;
};

struct QACONTROL {
  ULONG cbSize;
  DWORD dwMiscStatus;
  DWORD dwViewStatus;
  DWORD dwEventCookie;
  DWORD dwPropNotifyCookie;
  DWORD dwPointerActivationPolicy;
};

// Ambient flags of QACONTAINER.
constexpr DWORD QACONTAINER_USERMODE = 0x2;

class IQuickActivate : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{CF51ED10-62FE-11CF-BF86-00A0C9034836}");
  virtual HRESULT QuickActivate(QACONTAINER* container, QACONTROL* control) = 0;
  virtual HRESULT SetContentExtent(SIZEL* size) = 0;
  virtual HRESULT GetContentExtent(SIZEL* size) = 0;

 protected:
  ~IQuickActivate() = default;
};

inline constexpr const IID& IID_IEnumConnections = IEnumConnections::kIid;
inline constexpr const IID& IID_IConnectionPoint = IConnectionPoint::kIid;
inline constexpr const IID& IID_IEnumConnectionPoints = IEnumConnectionPoints::kIid;
inline constexpr const IID& IID_IConnectionPointContainer = IConnectionPointContainer::kIid;
inline constexpr const IID& IID_IPropertyNotifySink = IPropertyNotifySink::kIid;
inline constexpr const IID& IID_IProvideClassInfo = IProvideClassInfo::kIid;
inline constexpr const IID& IID_IProvideClassInfo2 = IProvideClassInfo2::kIid;
inline constexpr const IID& IID_IErrorLog = IErrorLog::kIid;
inline constexpr const IID& IID_IPropertyBag = IPropertyBag::kIid;
inline constexpr const IID& IID_IPersist = IPersist::kIid;
inline constexpr const IID& IID_IPersistStream = IPersistStream::kIid;
inline constexpr const IID& IID_IPersistStreamInit = IPersistStreamInit::kIid;
inline constexpr const IID& IID_IPersistStorage = IPersistStorage::kIid;
inline constexpr const IID& IID_IPersistPropertyBag = IPersistPropertyBag::kIid;
inline constexpr const IID& IID_IAdviseSink = IAdviseSink::kIid;
inline constexpr const IID& IID_IOleClientSite = IOleClientSite::kIid;
inline constexpr const IID& IID_IOleObject = IOleObject::kIid;
inline constexpr const IID& IID_IOleWindow = IOleWindow::kIid;
inline constexpr const IID& IID_IOleInPlaceObject = IOleInPlaceObject::kIid;
inline constexpr const IID& IID_IOleInPlaceObjectWindowless = IOleInPlaceObjectWindowless::kIid;
inline constexpr const IID& IID_IOleInPlaceActiveObject = IOleInPlaceActiveObject::kIid;
inline constexpr const IID& IID_IOleControl = IOleControl::kIid;
inline constexpr const IID& IID_IViewObject = IViewObject::kIid;
inline constexpr const IID& IID_IViewObject2 = IViewObject2::kIid;
inline constexpr const IID& IID_IViewObjectEx = IViewObjectEx::kIid;
inline constexpr const IID& IID_IQuickActivate = IQuickActivate::kIid;

}  // namespace win
