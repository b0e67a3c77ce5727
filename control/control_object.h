// The COM object of the class Cobalin: one BlobClient for its whole life, exposed through the
// dual interface ICobalin (properties and methods), the event source _ICobalinEvents, error
// information, persistence of the design-time properties, and the OLE control interfaces that a
// container expects of a control that is invisible at run time.
//
// The object can be aggregated: every interface but the inner IUnknown delegates its IUnknown
// methods to the controlling unknown (the outer object, or the inner IUnknown when alone).
//
// Source files: control_object.cc (identity, setup, OLE interfaces), control_properties.cc,
// control_methods.cc, control_events.cc, control_persistence.cc.
#pragma once

#include <atomic>
#include <cstdint>

#include "blob/blob_client.h"
#include "control/cobalin.h"
#include "foundation/event_sink.h"
#include "platform/connection_point.h"
#include "platform/dispatch_table.h"
#include "platform/error_info.h"
#include "platform/ole_control.h"

namespace tw {

// The server's lock count: one per live object and per LockServer(TRUE).
void LockControlModule();
void UnlockControlModule();
long ControlModuleLockCount();

class ControlObject final
    : public win::DispatchFromTable<ControlObject, ICobalin, kCobalinInterface>,
      public win::IViewObjectEx,
      public win::IOleInPlaceObjectWindowless,
      public win::IOleInPlaceActiveObject,
      public win::IOleControl,
      public win::IOleObject,
      public win::IPersistStreamInit,
      public win::ISupportErrorInfo,
      public win::IConnectionPointContainer,
      public win::IQuickActivate,
      public win::IPersistStorage,
      public win::IProvideClassInfo2,
      public win::IPersistPropertyBag,
      public EventSink {
 public:
  // The class factory's CreateInstance: a plain object (outer null) or one aggregated by `outer`
  // (then `iid` must be IUnknown). On success *object holds one reference; on any failure the
  // object is destroyed and *object is null.
  static HRESULT Create(IUnknown* outer, win::REFIID iid, void** object);

  // ---- IUnknown (delegating) ----
  HRESULT QueryInterface(win::REFIID iid, void** object) override;
  win::ULONG AddRef() override;
  win::ULONG Release() override;

  // ---- ICobalin: properties (control_properties.cc) ----
  HRESULT get_AccessKey(BSTR* value) override;
  HRESULT put_AccessKey(BSTR value) override;
  HRESULT get_AccessPolicyCount(SHORT* value) override;
  HRESULT put_AccessPolicyCount(SHORT value) override;
  HRESULT get_AccessPolicyExpiryTime(LONG index, BSTR* value) override;
  HRESULT put_AccessPolicyExpiryTime(LONG index, BSTR value) override;
  HRESULT get_AccessPolicyId(LONG index, BSTR* value) override;
  HRESULT put_AccessPolicyId(LONG index, BSTR value) override;
  HRESULT get_AccessPolicyPermissions(LONG index, BSTR* value) override;
  HRESULT put_AccessPolicyPermissions(LONG index, BSTR value) override;
  HRESULT get_AccessPolicyStartTime(LONG index, BSTR* value) override;
  HRESULT put_AccessPolicyStartTime(LONG index, BSTR value) override;
  HRESULT get_Account(BSTR* value) override;
  HRESULT put_Account(BSTR value) override;
  HRESULT get_Authorization(BSTR* value) override;
  HRESULT put_Authorization(BSTR value) override;
  HRESULT get_BlobData(BSTR* value) override;
  HRESULT put_BlobData(BSTR value) override;
  HRESULT get_BlobDelimiter(BSTR* value) override;
  HRESULT put_BlobDelimiter(BSTR value) override;
  HRESULT get_BlobMarker(BSTR* value) override;
  HRESULT put_BlobMarker(BSTR value) override;
  HRESULT get_BlobCount(SHORT* value) override;
  HRESULT put_BlobCount(SHORT value) override;
  HRESULT get_BlobContainer(LONG index, BSTR* value) override;
  HRESULT put_BlobContainer(LONG index, BSTR value) override;
  HRESULT get_BlobContentDisposition(LONG index, BSTR* value) override;
  HRESULT put_BlobContentDisposition(LONG index, BSTR value) override;
  HRESULT get_BlobContentEncoding(LONG index, BSTR* value) override;
  HRESULT put_BlobContentEncoding(LONG index, BSTR value) override;
  HRESULT get_BlobContentLength(LONG index, VARIANT* value) override;
  HRESULT put_BlobContentLength(LONG index, VARIANT value) override;
  HRESULT get_BlobContentMD5(LONG index, BSTR* value) override;
  HRESULT put_BlobContentMD5(LONG index, BSTR value) override;
  HRESULT get_BlobContentType(LONG index, BSTR* value) override;
  HRESULT put_BlobContentType(LONG index, BSTR value) override;
  HRESULT get_BlobCreatedTime(LONG index, BSTR* value) override;
  HRESULT put_BlobCreatedTime(LONG index, BSTR value) override;
  HRESULT get_BlobETag(LONG index, BSTR* value) override;
  HRESULT put_BlobETag(LONG index, BSTR value) override;
  HRESULT get_BlobIsLeased(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_BlobIsLeased(LONG index, VARIANT_BOOL value) override;
  HRESULT get_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL value) override;
  HRESULT get_BlobLeaseState(LONG index, LONG* value) override;
  HRESULT put_BlobLeaseState(LONG index, LONG value) override;
  HRESULT get_BlobModifiedTime(LONG index, BSTR* value) override;
  HRESULT put_BlobModifiedTime(LONG index, BSTR value) override;
  HRESULT get_BlobName(LONG index, BSTR* value) override;
  HRESULT put_BlobName(LONG index, BSTR value) override;
  HRESULT get_BlobSequenceNum(LONG index, VARIANT* value) override;
  HRESULT put_BlobSequenceNum(LONG index, VARIANT value) override;
  HRESULT get_BlobSnapshot(LONG index, BSTR* value) override;
  HRESULT put_BlobSnapshot(LONG index, BSTR value) override;
  HRESULT get_BlobSoftDeleted(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_BlobSoftDeleted(LONG index, VARIANT_BOOL value) override;
  HRESULT get_BlobType(LONG index, LONG* value) override;
  HRESULT put_BlobType(LONG index, LONG value) override;
  HRESULT get_BlockCount(LONG* value) override;
  HRESULT put_BlockCount(LONG value) override;
  HRESULT get_BlockId(LONG index, BSTR* value) override;
  HRESULT put_BlockId(LONG index, BSTR value) override;
  HRESULT get_BlockSize(LONG index, LONG* value) override;
  HRESULT put_BlockSize(LONG index, LONG value) override;
  HRESULT get_BlockType(LONG index, LONG* value) override;
  HRESULT put_BlockType(LONG index, LONG value) override;
  HRESULT get_Container(BSTR* value) override;
  HRESULT put_Container(BSTR value) override;
  HRESULT get_ContainerMarker(BSTR* value) override;
  HRESULT put_ContainerMarker(BSTR value) override;
  HRESULT get_ContainerCount(SHORT* value) override;
  HRESULT put_ContainerCount(SHORT value) override;
  HRESULT get_ContainerETag(LONG index, BSTR* value) override;
  HRESULT put_ContainerETag(LONG index, BSTR value) override;
  HRESULT get_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL value) override;
  HRESULT get_ContainerHasLegalHold(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_ContainerHasLegalHold(LONG index, VARIANT_BOOL value) override;
  HRESULT get_ContainerIsLeased(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_ContainerIsLeased(LONG index, VARIANT_BOOL value) override;
  HRESULT get_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL* value) override;
  HRESULT put_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL value) override;
  HRESULT get_ContainerLeaseState(LONG index, LONG* value) override;
  HRESULT put_ContainerLeaseState(LONG index, LONG value) override;
  HRESULT get_ContainerModifiedTime(LONG index, BSTR* value) override;
  HRESULT put_ContainerModifiedTime(LONG index, BSTR value) override;
  HRESULT get_ContainerName(LONG index, BSTR* value) override;
  HRESULT put_ContainerName(LONG index, BSTR value) override;
  HRESULT get_ContainerPublicAccess(LONG index, LONG* value) override;
  HRESULT put_ContainerPublicAccess(LONG index, LONG value) override;
  HRESULT get_EncryptionAlgorithm(LONG* value) override;
  HRESULT put_EncryptionAlgorithm(LONG value) override;
  HRESULT get_EncryptionPassword(BSTR* value) override;
  HRESULT put_EncryptionPassword(BSTR value) override;
  HRESULT get_FirewallAutoDetect(VARIANT_BOOL* value) override;
  HRESULT put_FirewallAutoDetect(VARIANT_BOOL value) override;
  HRESULT get_FirewallType(LONG* value) override;
  HRESULT put_FirewallType(LONG value) override;
  HRESULT get_FirewallHost(BSTR* value) override;
  HRESULT put_FirewallHost(BSTR value) override;
  HRESULT get_FirewallPassword(BSTR* value) override;
  HRESULT put_FirewallPassword(BSTR value) override;
  HRESULT get_FirewallPort(LONG* value) override;
  HRESULT put_FirewallPort(LONG value) override;
  HRESULT get_FirewallUser(BSTR* value) override;
  HRESULT put_FirewallUser(BSTR value) override;
  HRESULT get_Idle(VARIANT_BOOL* value) override;
  HRESULT put_Idle(VARIANT_BOOL value) override;
  HRESULT get_LeaseId(BSTR* value) override;
  HRESULT put_LeaseId(BSTR value) override;
  HRESULT get_LocalFile(BSTR* value) override;
  HRESULT put_LocalFile(BSTR value) override;
  HRESULT get_LocalHost(BSTR* value) override;
  HRESULT put_LocalHost(BSTR value) override;
  HRESULT get_MetadataCount(SHORT* value) override;
  HRESULT put_MetadataCount(SHORT value) override;
  HRESULT get_MetadataName(LONG index, BSTR* value) override;
  HRESULT put_MetadataName(LONG index, BSTR value) override;
  HRESULT get_MetadataValue(LONG index, BSTR* value) override;
  HRESULT put_MetadataValue(LONG index, BSTR value) override;
  HRESULT get_OtherHeaders(BSTR* value) override;
  HRESULT put_OtherHeaders(BSTR value) override;
  HRESULT get_Overwrite(VARIANT_BOOL* value) override;
  HRESULT put_Overwrite(VARIANT_BOOL value) override;
  HRESULT get_PageRangeCount(LONG* value) override;
  HRESULT put_PageRangeCount(LONG value) override;
  HRESULT get_PageRangeFirst(LONG index, VARIANT* value) override;
  HRESULT put_PageRangeFirst(LONG index, VARIANT value) override;
  HRESULT get_PageRangeLast(LONG index, VARIANT* value) override;
  HRESULT put_PageRangeLast(LONG index, VARIANT value) override;
  HRESULT get_ParsedHeaderCount(SHORT* value) override;
  HRESULT put_ParsedHeaderCount(SHORT value) override;
  HRESULT get_ParsedHeaderField(LONG index, BSTR* value) override;
  HRESULT put_ParsedHeaderField(LONG index, BSTR value) override;
  HRESULT get_ParsedHeaderValue(LONG index, BSTR* value) override;
  HRESULT put_ParsedHeaderValue(LONG index, BSTR value) override;
  HRESULT get_Prefix(BSTR* value) override;
  HRESULT put_Prefix(BSTR value) override;
  HRESULT get_ProxyAuthScheme(LONG* value) override;
  HRESULT put_ProxyAuthScheme(LONG value) override;
  HRESULT get_ProxyAutoDetect(VARIANT_BOOL* value) override;
  HRESULT put_ProxyAutoDetect(VARIANT_BOOL value) override;
  HRESULT get_ProxyPassword(BSTR* value) override;
  HRESULT put_ProxyPassword(BSTR value) override;
  HRESULT get_ProxyPort(LONG* value) override;
  HRESULT put_ProxyPort(LONG value) override;
  HRESULT get_ProxyServer(BSTR* value) override;
  HRESULT put_ProxyServer(BSTR value) override;
  HRESULT get_ProxySSL(LONG* value) override;
  HRESULT put_ProxySSL(LONG value) override;
  HRESULT get_ProxyUser(BSTR* value) override;
  HRESULT put_ProxyUser(BSTR value) override;
  HRESULT get_QueryParamCount(SHORT* value) override;
  HRESULT put_QueryParamCount(SHORT value) override;
  HRESULT get_QueryParamName(LONG index, BSTR* value) override;
  HRESULT put_QueryParamName(LONG index, BSTR value) override;
  HRESULT get_QueryParamValue(LONG index, BSTR* value) override;
  HRESULT put_QueryParamValue(LONG index, BSTR value) override;
  HRESULT get_Range(BSTR* value) override;
  HRESULT put_Range(BSTR value) override;
  HRESULT get_Snapshot(BSTR* value) override;
  HRESULT put_Snapshot(BSTR value) override;
  HRESULT get_SSLAcceptServerCertEncoded(BSTR* value) override;
  HRESULT put_SSLAcceptServerCertEncoded(BSTR value) override;
  HRESULT get_SSLCertEncoded(BSTR* value) override;
  HRESULT put_SSLCertEncoded(BSTR value) override;
  HRESULT get_SSLCertStore(BSTR* value) override;
  HRESULT put_SSLCertStore(BSTR value) override;
  HRESULT get_SSLCertStorePassword(BSTR* value) override;
  HRESULT put_SSLCertStorePassword(BSTR value) override;
  HRESULT get_SSLCertStoreType(LONG* value) override;
  HRESULT put_SSLCertStoreType(LONG value) override;
  HRESULT get_SSLCertSubject(BSTR* value) override;
  HRESULT put_SSLCertSubject(BSTR value) override;
  HRESULT get_SSLServerCertEncoded(BSTR* value) override;
  HRESULT put_SSLServerCertEncoded(BSTR value) override;
  HRESULT get_StartByte(VARIANT* value) override;
  HRESULT put_StartByte(VARIANT value) override;
  HRESULT get_Timeout(SHORT* value) override;
  HRESULT put_Timeout(SHORT value) override;
  HRESULT get_UseSSL(VARIANT_BOOL* value) override;
  HRESULT put_UseSSL(VARIANT_BOOL value) override;
  HRESULT get_BlobDataB(VARIANT* value) override;
  HRESULT put_BlobDataB(VARIANT value) override;
  HRESULT get_SSLAcceptServerCertEncodedB(VARIANT* value) override;
  HRESULT put_SSLAcceptServerCertEncodedB(VARIANT value) override;
  HRESULT get_SSLCertEncodedB(VARIANT* value) override;
  HRESULT put_SSLCertEncodedB(VARIANT value) override;
  HRESULT get_SSLCertStoreB(VARIANT* value) override;
  HRESULT put_SSLCertStoreB(VARIANT value) override;
  HRESULT get_SSLServerCertEncodedB(VARIANT* value) override;
  HRESULT put_SSLServerCertEncodedB(VARIANT value) override;
  HRESULT get_SSLServerAuthenticationCertEncodedB(VARIANT* value) override;
  HRESULT put_SSLServerAuthenticationCertEncodedB(VARIANT value) override;
  HRESULT get_TransferTextB(VARIANT* value) override;
  HRESULT put_TransferTextB(VARIANT value) override;

  // ---- ICobalin: methods (control_methods.cc) ----
  HRESULT AbortCopy(BSTR dest_blob, BSTR copy_id) override;
  HRESULT AddBlock(BSTR id, SHORT block_list_type) override;
  HRESULT AddMetadata(BSTR name, BSTR value) override;
  HRESULT AddQueryParam(BSTR name, BSTR value) override;
  HRESULT AppendBlock(BSTR append_blob) override;
  HRESULT ClearPages(BSTR page_blob, VARIANT byte_offset, VARIANT page_count) override;
  HRESULT Config(BSTR configuration_string, BSTR* result) override;
  HRESULT CopyBlob(BSTR src_blob, BSTR dest_blob, BSTR dest_container, BSTR* result) override;
  HRESULT CreateBlob(BSTR blob, SHORT blob_type, VARIANT page_blob_size) override;
  HRESULT CreateContainer() override;
  HRESULT CreateSnapshot(BSTR blob, BSTR* result) override;
  HRESULT DeleteBlob(BSTR blob, SHORT delete_action) override;
  HRESULT DeleteContainer() override;
  HRESULT GetBlob(BSTR blob) override;
  HRESULT GetBlobInfo(BSTR blob) override;
  HRESULT GetContainerACL(SHORT* result) override;
  HRESULT GetContainerInfo() override;
  HRESULT GetLink(BSTR blob, BSTR permissions, BSTR start_time, BSTR expiry_time,
                  BSTR* result) override;
  HRESULT GetUserDelegationKey(BSTR start_time, BSTR expiry_time) override;
  HRESULT Interrupt() override;
  HRESULT Lease(BSTR blob, SHORT lease_action, BSTR new_lease_id, SHORT duration) override;
  HRESULT ListBlobs() override;
  HRESULT ListBlocks(BSTR block_blob, SHORT block_list_type) override;
  HRESULT ListContainers() override;
  HRESULT ListPageRanges(BSTR page_blob) override;
  HRESULT PutBlock(BSTR block_blob, BSTR block_id, BSTR* result) override;
  HRESULT PutBlockList(BSTR block_blob, BSTR block_list) override;
  HRESULT PutPages(BSTR page_blob, VARIANT write_offset) override;
  HRESULT Reset() override;
  HRESULT SendCustomRequest(BSTR http_method, BSTR blob, BSTR request_body) override;
  HRESULT SetContainerACL(SHORT public_access) override;
  HRESULT UndeleteBlob(BSTR blob) override;
  HRESULT UpdateBlobInfo(BSTR blob) override;
  HRESULT UpdateMetadata(BSTR blob) override;
  HRESULT UpdatePageBlob(BSTR page_blob, VARIANT new_size, SHORT sequence_num_action,
                         VARIANT new_sequence_num) override;
  HRESULT OnStartPage(IUnknown* page_context) override;
  HRESULT OnEndPage() override;

  // ---- EventSink (control_events.cc) ----
  void SetCodePage(int code_page) override;
  int Fire(int event, std::span<void* const> args) override;

  // ---- ISupportErrorInfo ----
  HRESULT InterfaceSupportsErrorInfo(win::REFIID iid) override;

  // ---- IConnectionPointContainer ----
  HRESULT EnumConnectionPoints(win::IEnumConnectionPoints** points) override;
  HRESULT FindConnectionPoint(win::REFIID iid, win::IConnectionPoint** point) override;

  // ---- IProvideClassInfo2 ----
  HRESULT GetClassInfo(win::ITypeInfo** info) override;
  HRESULT GetGUID(win::DWORD kind, win::GUID* guid) override;

  // ---- IPersist, IPersistStreamInit, IPersistStorage, IPersistPropertyBag
  //      (control_persistence.cc) ----
  HRESULT GetClassID(win::CLSID* clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(win::IStream* stream) override;
  HRESULT Save(win::IStream* stream, win::BOOL clear_dirty) override;
  HRESULT GetSizeMax(win::ULARGE_INTEGER* size) override;
  HRESULT InitNew() override;
  HRESULT InitNew(win::IStorage* storage) override;
  HRESULT Load(win::IStorage* storage) override;
  HRESULT Save(win::IStorage* storage, win::BOOL same_as_load) override;
  HRESULT SaveCompleted(win::IStorage* storage) override;
  HRESULT HandsOffStorage() override;
  HRESULT Load(win::IPropertyBag* bag, win::IErrorLog* log) override;
  HRESULT Save(win::IPropertyBag* bag, win::BOOL clear_dirty, win::BOOL save_all) override;

  // ---- IOleObject ----
  HRESULT SetClientSite(win::IOleClientSite* site) override;
  HRESULT GetClientSite(win::IOleClientSite** site) override;
  HRESULT SetHostNames(win::LPCOLESTR container_app, win::LPCOLESTR container_object) override;
  HRESULT Close(win::DWORD save_option) override;
  HRESULT DoVerb(LONG verb, win::MSG* msg, win::IOleClientSite* site, LONG index, win::HWND parent,
                 win::LPCRECT position) override;
  HRESULT Update() override;
  HRESULT IsUpToDate() override;
  HRESULT GetUserClassID(win::CLSID* clsid) override;
  HRESULT GetUserType(win::DWORD form, win::LPOLESTR* name) override;
  HRESULT SetExtent(win::DWORD aspect, win::SIZEL* size) override;
  HRESULT GetExtent(win::DWORD aspect, win::SIZEL* size) override;
  HRESULT Advise(win::IAdviseSink* sink, win::DWORD* cookie) override;
  HRESULT Unadvise(win::DWORD cookie) override;
  HRESULT GetMiscStatus(win::DWORD aspect, win::DWORD* status) override;

  // ---- IOleWindow, IOleInPlaceObject(Windowless), IOleInPlaceActiveObject ----
  HRESULT GetWindow(win::HWND* window) override;
  HRESULT ContextSensitiveHelp(win::BOOL enter) override;
  HRESULT InPlaceDeactivate() override;
  HRESULT UIDeactivate() override;
  HRESULT SetObjectRects(win::LPCRECT position, win::LPCRECT clip) override;
  HRESULT ReactivateAndUndo() override;
  HRESULT OnWindowMessage(win::UINT message, win::WPARAM wparam, win::LPARAM lparam,
                          win::LRESULT* result) override;
  HRESULT TranslateAccelerator(win::MSG* msg) override;
  HRESULT OnFrameWindowActivate(win::BOOL activate) override;
  HRESULT OnDocWindowActivate(win::BOOL activate) override;
  HRESULT EnableModeless(win::BOOL enable) override;

  // ---- IOleControl ----
  HRESULT GetControlInfo(win::CONTROLINFO* info) override;
  HRESULT OnMnemonic(win::MSG* msg) override;
  HRESULT OnAmbientPropertyChange(win::DISPID id) override;
  HRESULT FreezeEvents(win::BOOL freeze) override;

  // ---- IViewObject, IViewObject2, IViewObjectEx ----
  // The design-time face: a raised frame outlined in black and the toolbox bitmap at (6, 7)
  // from the top-left corner (control_face.cc).
  HRESULT OnDraw(win::HDC dc, const win::RECT& bounds);
  HRESULT Draw(win::DWORD aspect, LONG index, void* aspect_info, win::DVTARGETDEVICE* device,
               win::HDC target_info, win::HDC draw, win::LPCRECTL bounds,
               win::LPCRECTL window_bounds, win::DrawContinueFn keep_going,
               win::ULONG_PTR context) override;
  HRESULT Freeze(win::DWORD aspect, LONG index, void* aspect_info, win::DWORD* freeze) override;
  HRESULT Unfreeze(win::DWORD freeze) override;
  HRESULT SetAdvise(win::DWORD aspects, win::DWORD flags, win::IAdviseSink* sink) override;
  HRESULT GetAdvise(win::DWORD* aspects, win::DWORD* flags, win::IAdviseSink** sink) override;
  HRESULT GetExtent(win::DWORD aspect, LONG index, win::DVTARGETDEVICE* device,
                    win::SIZEL* size) override;
  HRESULT GetRect(win::DWORD aspect, win::RECTL* rect) override;
  HRESULT GetViewStatus(win::DWORD* status) override;
  HRESULT QueryHitPoint(win::DWORD aspect, win::LPCRECT bounds, win::POINT location,
                        LONG close_hint, win::DWORD* result) override;
  HRESULT QueryHitRect(win::DWORD aspect, win::LPCRECT bounds, win::LPCRECT location,
                       LONG close_hint, win::DWORD* result) override;

  // ---- IQuickActivate ----
  HRESULT QuickActivate(win::QACONTAINER* container, win::QACONTROL* control) override;
  HRESULT SetContentExtent(win::SIZEL* size) override;
  HRESULT GetContentExtent(win::SIZEL* size) override;

  // ---- For the accessors, methods and tests ----
  BlobClient& client() { return client_; }
  // False when the client site says the control sits in a design environment.
  bool UserMode();
  // The connection point of _ICobalinEvents.
  win::ConnectionPoint& event_point() { return events_point_; }
  // True while an event of this object is being delivered to its sinks.
  bool InEvent() const { return event_depth_ > 0; }

 private:
  // The non-delegating IUnknown of an aggregated object.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(ControlObject* self) : self_(self) {}
    HRESULT QueryInterface(win::REFIID iid, void** object) override;
    win::ULONG AddRef() override;
    win::ULONG Release() override;

   private:
    ControlObject* self_;
  };

  explicit ControlObject(IUnknown* outer);
  ~ControlObject();
  // Setup after construction: false when the client cannot initialise.
  bool Setup();
  void ApplyDefaults();
  HRESULT InternalQueryInterface(win::REFIID iid, void** object);

  std::atomic<long> refs_{0};
  InnerUnknown inner_{this};
  IUnknown* controlling_;  // the outer object, or &inner_

  win::ConnectionPoint property_notify_point_;
  win::ConnectionPoint events_point_;

  win::ComPtr<win::IOleClientSite> client_site_;
  win::ComPtr<win::IAdviseSink> ole_advise_sink_;
  win::ComPtr<win::IAdviseSink> view_advise_sink_;
  win::DWORD view_advise_aspects_ = 0;
  win::DWORD view_advise_flags_ = 0;
  win::SIZEL extent_{0, 0};  // HIMETRIC
  bool dirty_ = true;
  bool in_place_active_ = false;
  int events_frozen_ = 0;

  // EventSink state (control_events.cc).
  int event_code_page_ = 0;
  const void* event_cert_ = nullptr;
  int event_cert_length_ = 0;
  const void* event_text_ = nullptr;
  int event_text_length_ = 0;
  int event_depth_ = 0;

  bool page_ = false;  // set by OnStartPage

  BlobClient client_;
};

}  // namespace tw
