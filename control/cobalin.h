// The Automation interface of the blob storage control: its class, interfaces and type library
// identifiers, the enumerations of the type library, and ICobalin, the dual interface whose
// members are the properties (each a get and a put) followed by the methods.
#pragma once

#include "certs/cert_store_types.h"
#include "platform/automation.h"
#include "platform/com_types.h"
#include "platform/dispatch_table.h"
#include "platform/variant.h"

namespace tw {

using win::BSTR;
using win::HRESULT;
using win::IUnknown;
using win::LONG;
using win::SHORT;
using win::VARIANT;
using win::VARIANT_BOOL;

inline constexpr win::CLSID kClsidCobalin = win::Guid("{9A5A7DA7-A08C-43DF-96E4-98102BCC6A1C}");
inline constexpr win::IID kIidICobalin = win::Guid("{4B30B111-793C-4788-9010-0BD4245747A1}");
inline constexpr win::IID kDiidICobalinEvents = win::Guid("{DC4551F7-A94F-4048-8792-2125EE04FAEC}");
inline constexpr win::GUID kLibidCobalin = win::Guid("{69948F84-9E1A-4128-B613-F6C5DEE2FBB3}");

inline constexpr char16_t kCobalinProgId[] = u"Tarnwick.Cobalin.1";
inline constexpr char16_t kCobalinVersionIndependentProgId[] = u"Tarnwick.Cobalin";
inline constexpr char16_t kCobalinLegacyProgId[] = u"Tarnwick20.Cobalin";
inline constexpr char16_t kCobalinHelpFile[] = u"tarnwick.chm";

// ---- Enumerations of the type library ----

enum CobalinLeaseState : LONG {
  ablsAvailable = 0,
  ablsLeased = 1,
  ablsExpired = 2,
  ablsBreaking = 3,
  ablsBroken = 4
};
enum CobalinType : LONG { abtBlockBlob = 0, abtPageBlob = 1, abtAppendBlob = 2 };
enum AzureBlockType : LONG { abktCommitted = 0, abktUncommitted = 1, abktLatest = 2 };
enum AzureContainerLeaseState : LONG {
  aclsAvailable = 0,
  aclsLeased = 1,
  aclsExpired = 2,
  aclsBreaking = 3,
  aclsBroken = 4
};
enum AzureContainerPublicAccess : LONG { acpaNone = 0, acpaBlobs = 1, acpaContainer = 2 };
enum CobalinEncryptionAlgorithm : LONG {
  eaAES = 0,
  eaBlowfish = 1,
  eaCAST = 2,
  eaDES = 3,
  eaIDEA = 4,
  eaRC2 = 5,
  eaRC4 = 6,
  eaTEA = 7,
  eaTripleDES = 8,
  eaTwofish = 9,
  eaRijndael = 10,
  eaChaCha = 11,
  eaXSalsa20 = 12
};
enum FirewallTypes : LONG { fwNone = 0, fwTunnel = 1, fwSOCKS4 = 2, fwSOCKS5 = 3, fwSOCKS4A = 10 };
enum AuthSchemes : LONG {
  authBasic = 0,
  authDigest = 1,
  authProprietary = 2,
  authNone = 3,
  authNtlm = 4,
  authNegotiate = 5
};
enum ProxySSLTypes : LONG { psAutomatic = 0, psAlways = 1, psNever = 2, psTunnel = 3 };

// DISPIDs of ICobalin (properties 1-98, methods 502-538). Those of _ICobalinEvents are the
// blob client's event slots (kBlobEvent*).
enum CobalinDispid : win::DISPID {
  kDispAccessKey = 1,
  kDispAccessPolicyCount = 2,
  kDispAccessPolicyExpiryTime = 3,
  kDispAccessPolicyId = 4,
  kDispAccessPolicyPermissions = 5,
  kDispAccessPolicyStartTime = 6,
  kDispAccount = 7,
  kDispAuthorization = 8,
  kDispBlobData = 9,
  kDispBlobDelimiter = 10,
  kDispBlobMarker = 11,
  kDispBlobCount = 12,
  kDispBlobContainer = 13,
  kDispBlobContentDisposition = 14,
  kDispBlobContentEncoding = 15,
  kDispBlobContentLength = 16,
  kDispBlobContentMD5 = 17,
  kDispBlobContentType = 18,
  kDispBlobCreatedTime = 19,
  kDispBlobETag = 20,
  kDispBlobIsLeased = 21,
  kDispBlobIsLeaseInfinite = 22,
  kDispBlobLeaseState = 23,
  kDispBlobModifiedTime = 24,
  kDispBlobName = 25,
  kDispBlobSequenceNum = 26,
  kDispBlobSnapshot = 27,
  kDispBlobSoftDeleted = 28,
  kDispBlobType = 29,
  kDispBlockCount = 30,
  kDispBlockId = 31,
  kDispBlockSize = 32,
  kDispBlockType = 33,
  kDispContainer = 34,
  kDispContainerMarker = 35,
  kDispContainerCount = 36,
  kDispContainerETag = 37,
  kDispContainerHasImmutabilityPolicy = 38,
  kDispContainerHasLegalHold = 39,
  kDispContainerIsLeased = 40,
  kDispContainerIsLeaseInfinite = 41,
  kDispContainerLeaseState = 42,
  kDispContainerModifiedTime = 43,
  kDispContainerName = 44,
  kDispContainerPublicAccess = 45,
  kDispEncryptionAlgorithm = 46,
  kDispEncryptionPassword = 47,
  kDispFirewallAutoDetect = 48,
  kDispFirewallType = 49,
  kDispFirewallHost = 50,
  kDispFirewallPassword = 51,
  kDispFirewallPort = 52,
  kDispFirewallUser = 53,
  kDispIdle = 54,
  kDispLeaseId = 55,
  kDispLocalFile = 56,
  kDispLocalHost = 57,
  kDispMetadataCount = 58,
  kDispMetadataName = 59,
  kDispMetadataValue = 60,
  kDispOtherHeaders = 61,
  kDispOverwrite = 62,
  kDispPageRangeCount = 63,
  kDispPageRangeFirst = 64,
  kDispPageRangeLast = 65,
  kDispParsedHeaderCount = 66,
  kDispParsedHeaderField = 67,
  kDispParsedHeaderValue = 68,
  kDispPrefix = 69,
  kDispProxyAuthScheme = 70,
  kDispProxyAutoDetect = 71,
  kDispProxyPassword = 72,
  kDispProxyPort = 73,
  kDispProxyServer = 74,
  kDispProxySSL = 75,
  kDispProxyUser = 76,
  kDispQueryParamCount = 77,
  kDispQueryParamName = 78,
  kDispQueryParamValue = 79,
  kDispRange = 80,
  kDispSnapshot = 81,
  kDispSSLAcceptServerCertEncoded = 82,
  kDispSSLCertEncoded = 83,
  kDispSSLCertStore = 84,
  kDispSSLCertStorePassword = 85,
  kDispSSLCertStoreType = 86,
  kDispSSLCertSubject = 87,
  kDispSSLServerCertEncoded = 88,
  kDispStartByte = 89,
  kDispTimeout = 90,
  kDispUseSSL = 91,
  kDispBlobDataB = 92,
  kDispSSLAcceptServerCertEncodedB = 93,
  kDispSSLCertEncodedB = 94,
  kDispSSLCertStoreB = 95,
  kDispSSLServerCertEncodedB = 96,
  kDispSSLServerAuthenticationCertEncodedB = 97,
  kDispTransferTextB = 98,
  kDispAbortCopy = 502,
  kDispAddBlock = 503,
  kDispAddMetadata = 504,
  kDispAddQueryParam = 505,
  kDispAppendBlock = 506,
  kDispClearPages = 507,
  kDispConfig = 508,
  kDispCopyBlob = 509,
  kDispCreateBlob = 510,
  kDispCreateContainer = 511,
  kDispCreateSnapshot = 512,
  kDispDeleteBlob = 513,
  kDispDeleteContainer = 514,
  kDispGetBlob = 515,
  kDispGetBlobInfo = 516,
  kDispGetContainerACL = 517,
  kDispGetContainerInfo = 518,
  kDispGetLink = 519,
  kDispGetUserDelegationKey = 520,
  kDispInterrupt = 521,
  kDispLease = 522,
  kDispListBlobs = 523,
  kDispListBlocks = 524,
  kDispListContainers = 525,
  kDispListPageRanges = 526,
  kDispPutBlock = 527,
  kDispPutBlockList = 528,
  kDispPutPages = 529,
  kDispReset = 530,
  kDispSendCustomRequest = 531,
  kDispSetContainerACL = 532,
  kDispUndeleteBlob = 535,
  kDispUpdateBlobInfo = 536,
  kDispUpdateMetadata = 537,
  kDispUpdatePageBlob = 538,
  kDispOnStartPage = 0x600200EA,
  kDispOnEndPage = 0x600200EB,
};

// The dual interface. Getters take an index first where the property is indexed; 64-bit values
// travel as VT_DECIMAL VARIANTs and the byte twins (the names ending in B) as byte arrays.
class ICobalin : public win::IDispatch {
 public:
  static constexpr win::IID kIid = kIidICobalin;

  virtual HRESULT get_AccessKey(BSTR* value) = 0;
  virtual HRESULT put_AccessKey(BSTR value) = 0;
  virtual HRESULT get_AccessPolicyCount(SHORT* value) = 0;
  virtual HRESULT put_AccessPolicyCount(SHORT value) = 0;
  virtual HRESULT get_AccessPolicyExpiryTime(LONG index, BSTR* value) = 0;
  virtual HRESULT put_AccessPolicyExpiryTime(LONG index, BSTR value) = 0;
  virtual HRESULT get_AccessPolicyId(LONG index, BSTR* value) = 0;
  virtual HRESULT put_AccessPolicyId(LONG index, BSTR value) = 0;
  virtual HRESULT get_AccessPolicyPermissions(LONG index, BSTR* value) = 0;
  virtual HRESULT put_AccessPolicyPermissions(LONG index, BSTR value) = 0;
  virtual HRESULT get_AccessPolicyStartTime(LONG index, BSTR* value) = 0;
  virtual HRESULT put_AccessPolicyStartTime(LONG index, BSTR value) = 0;
  virtual HRESULT get_Account(BSTR* value) = 0;
  virtual HRESULT put_Account(BSTR value) = 0;
  virtual HRESULT get_Authorization(BSTR* value) = 0;
  virtual HRESULT put_Authorization(BSTR value) = 0;
  virtual HRESULT get_BlobData(BSTR* value) = 0;
  virtual HRESULT put_BlobData(BSTR value) = 0;
  virtual HRESULT get_BlobDelimiter(BSTR* value) = 0;
  virtual HRESULT put_BlobDelimiter(BSTR value) = 0;
  virtual HRESULT get_BlobMarker(BSTR* value) = 0;
  virtual HRESULT put_BlobMarker(BSTR value) = 0;
  virtual HRESULT get_BlobCount(SHORT* value) = 0;
  virtual HRESULT put_BlobCount(SHORT value) = 0;
  virtual HRESULT get_BlobContainer(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobContainer(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobContentDisposition(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobContentDisposition(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobContentEncoding(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobContentEncoding(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobContentLength(LONG index, VARIANT* value) = 0;
  virtual HRESULT put_BlobContentLength(LONG index, VARIANT value) = 0;
  virtual HRESULT get_BlobContentMD5(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobContentMD5(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobContentType(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobContentType(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobCreatedTime(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobCreatedTime(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobETag(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobETag(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobIsLeased(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_BlobIsLeased(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_BlobLeaseState(LONG index, LONG* value) = 0;
  virtual HRESULT put_BlobLeaseState(LONG index, LONG value) = 0;
  virtual HRESULT get_BlobModifiedTime(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobModifiedTime(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobName(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobName(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobSequenceNum(LONG index, VARIANT* value) = 0;
  virtual HRESULT put_BlobSequenceNum(LONG index, VARIANT value) = 0;
  virtual HRESULT get_BlobSnapshot(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlobSnapshot(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlobSoftDeleted(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_BlobSoftDeleted(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_BlobType(LONG index, LONG* value) = 0;
  virtual HRESULT put_BlobType(LONG index, LONG value) = 0;
  virtual HRESULT get_BlockCount(LONG* value) = 0;
  virtual HRESULT put_BlockCount(LONG value) = 0;
  virtual HRESULT get_BlockId(LONG index, BSTR* value) = 0;
  virtual HRESULT put_BlockId(LONG index, BSTR value) = 0;
  virtual HRESULT get_BlockSize(LONG index, LONG* value) = 0;
  virtual HRESULT put_BlockSize(LONG index, LONG value) = 0;
  virtual HRESULT get_BlockType(LONG index, LONG* value) = 0;
  virtual HRESULT put_BlockType(LONG index, LONG value) = 0;
  virtual HRESULT get_Container(BSTR* value) = 0;
  virtual HRESULT put_Container(BSTR value) = 0;
  virtual HRESULT get_ContainerMarker(BSTR* value) = 0;
  virtual HRESULT put_ContainerMarker(BSTR value) = 0;
  virtual HRESULT get_ContainerCount(SHORT* value) = 0;
  virtual HRESULT put_ContainerCount(SHORT value) = 0;
  virtual HRESULT get_ContainerETag(LONG index, BSTR* value) = 0;
  virtual HRESULT put_ContainerETag(LONG index, BSTR value) = 0;
  virtual HRESULT get_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_ContainerHasLegalHold(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_ContainerHasLegalHold(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_ContainerIsLeased(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_ContainerIsLeased(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL* value) = 0;
  virtual HRESULT put_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL value) = 0;
  virtual HRESULT get_ContainerLeaseState(LONG index, LONG* value) = 0;
  virtual HRESULT put_ContainerLeaseState(LONG index, LONG value) = 0;
  virtual HRESULT get_ContainerModifiedTime(LONG index, BSTR* value) = 0;
  virtual HRESULT put_ContainerModifiedTime(LONG index, BSTR value) = 0;
  virtual HRESULT get_ContainerName(LONG index, BSTR* value) = 0;
  virtual HRESULT put_ContainerName(LONG index, BSTR value) = 0;
  virtual HRESULT get_ContainerPublicAccess(LONG index, LONG* value) = 0;
  virtual HRESULT put_ContainerPublicAccess(LONG index, LONG value) = 0;
  virtual HRESULT get_EncryptionAlgorithm(LONG* value) = 0;
  virtual HRESULT put_EncryptionAlgorithm(LONG value) = 0;
  virtual HRESULT get_EncryptionPassword(BSTR* value) = 0;
  virtual HRESULT put_EncryptionPassword(BSTR value) = 0;
  virtual HRESULT get_FirewallAutoDetect(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_FirewallAutoDetect(VARIANT_BOOL value) = 0;
  virtual HRESULT get_FirewallType(LONG* value) = 0;
  virtual HRESULT put_FirewallType(LONG value) = 0;
  virtual HRESULT get_FirewallHost(BSTR* value) = 0;
  virtual HRESULT put_FirewallHost(BSTR value) = 0;
  virtual HRESULT get_FirewallPassword(BSTR* value) = 0;
  virtual HRESULT put_FirewallPassword(BSTR value) = 0;
  virtual HRESULT get_FirewallPort(LONG* value) = 0;
  virtual HRESULT put_FirewallPort(LONG value) = 0;
  virtual HRESULT get_FirewallUser(BSTR* value) = 0;
  virtual HRESULT put_FirewallUser(BSTR value) = 0;
  virtual HRESULT get_Idle(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_Idle(VARIANT_BOOL value) = 0;
  virtual HRESULT get_LeaseId(BSTR* value) = 0;
  virtual HRESULT put_LeaseId(BSTR value) = 0;
  virtual HRESULT get_LocalFile(BSTR* value) = 0;
  virtual HRESULT put_LocalFile(BSTR value) = 0;
  virtual HRESULT get_LocalHost(BSTR* value) = 0;
  virtual HRESULT put_LocalHost(BSTR value) = 0;
  virtual HRESULT get_MetadataCount(SHORT* value) = 0;
  virtual HRESULT put_MetadataCount(SHORT value) = 0;
  virtual HRESULT get_MetadataName(LONG index, BSTR* value) = 0;
  virtual HRESULT put_MetadataName(LONG index, BSTR value) = 0;
  virtual HRESULT get_MetadataValue(LONG index, BSTR* value) = 0;
  virtual HRESULT put_MetadataValue(LONG index, BSTR value) = 0;
  virtual HRESULT get_OtherHeaders(BSTR* value) = 0;
  virtual HRESULT put_OtherHeaders(BSTR value) = 0;
  virtual HRESULT get_Overwrite(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_Overwrite(VARIANT_BOOL value) = 0;
  virtual HRESULT get_PageRangeCount(LONG* value) = 0;
  virtual HRESULT put_PageRangeCount(LONG value) = 0;
  virtual HRESULT get_PageRangeFirst(LONG index, VARIANT* value) = 0;
  virtual HRESULT put_PageRangeFirst(LONG index, VARIANT value) = 0;
  virtual HRESULT get_PageRangeLast(LONG index, VARIANT* value) = 0;
  virtual HRESULT put_PageRangeLast(LONG index, VARIANT value) = 0;
  virtual HRESULT get_ParsedHeaderCount(SHORT* value) = 0;
  virtual HRESULT put_ParsedHeaderCount(SHORT value) = 0;
  virtual HRESULT get_ParsedHeaderField(LONG index, BSTR* value) = 0;
  virtual HRESULT put_ParsedHeaderField(LONG index, BSTR value) = 0;
  virtual HRESULT get_ParsedHeaderValue(LONG index, BSTR* value) = 0;
  virtual HRESULT put_ParsedHeaderValue(LONG index, BSTR value) = 0;
  virtual HRESULT get_Prefix(BSTR* value) = 0;
  virtual HRESULT put_Prefix(BSTR value) = 0;
  virtual HRESULT get_ProxyAuthScheme(LONG* value) = 0;
  virtual HRESULT put_ProxyAuthScheme(LONG value) = 0;
  virtual HRESULT get_ProxyAutoDetect(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_ProxyAutoDetect(VARIANT_BOOL value) = 0;
  virtual HRESULT get_ProxyPassword(BSTR* value) = 0;
  virtual HRESULT put_ProxyPassword(BSTR value) = 0;
  virtual HRESULT get_ProxyPort(LONG* value) = 0;
  virtual HRESULT put_ProxyPort(LONG value) = 0;
  virtual HRESULT get_ProxyServer(BSTR* value) = 0;
  virtual HRESULT put_ProxyServer(BSTR value) = 0;
  virtual HRESULT get_ProxySSL(LONG* value) = 0;
  virtual HRESULT put_ProxySSL(LONG value) = 0;
  virtual HRESULT get_ProxyUser(BSTR* value) = 0;
  virtual HRESULT put_ProxyUser(BSTR value) = 0;
  virtual HRESULT get_QueryParamCount(SHORT* value) = 0;
  virtual HRESULT put_QueryParamCount(SHORT value) = 0;
  virtual HRESULT get_QueryParamName(LONG index, BSTR* value) = 0;
  virtual HRESULT put_QueryParamName(LONG index, BSTR value) = 0;
  virtual HRESULT get_QueryParamValue(LONG index, BSTR* value) = 0;
  virtual HRESULT put_QueryParamValue(LONG index, BSTR value) = 0;
  virtual HRESULT get_Range(BSTR* value) = 0;
  virtual HRESULT put_Range(BSTR value) = 0;
  virtual HRESULT get_Snapshot(BSTR* value) = 0;
  virtual HRESULT put_Snapshot(BSTR value) = 0;
  virtual HRESULT get_SSLAcceptServerCertEncoded(BSTR* value) = 0;
  virtual HRESULT put_SSLAcceptServerCertEncoded(BSTR value) = 0;
  virtual HRESULT get_SSLCertEncoded(BSTR* value) = 0;
  virtual HRESULT put_SSLCertEncoded(BSTR value) = 0;
  virtual HRESULT get_SSLCertStore(BSTR* value) = 0;
  virtual HRESULT put_SSLCertStore(BSTR value) = 0;
  virtual HRESULT get_SSLCertStorePassword(BSTR* value) = 0;
  virtual HRESULT put_SSLCertStorePassword(BSTR value) = 0;
  virtual HRESULT get_SSLCertStoreType(LONG* value) = 0;
  virtual HRESULT put_SSLCertStoreType(LONG value) = 0;
  virtual HRESULT get_SSLCertSubject(BSTR* value) = 0;
  virtual HRESULT put_SSLCertSubject(BSTR value) = 0;
  virtual HRESULT get_SSLServerCertEncoded(BSTR* value) = 0;
  virtual HRESULT put_SSLServerCertEncoded(BSTR value) = 0;
  virtual HRESULT get_StartByte(VARIANT* value) = 0;
  virtual HRESULT put_StartByte(VARIANT value) = 0;
  virtual HRESULT get_Timeout(SHORT* value) = 0;
  virtual HRESULT put_Timeout(SHORT value) = 0;
  virtual HRESULT get_UseSSL(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_UseSSL(VARIANT_BOOL value) = 0;
  virtual HRESULT get_BlobDataB(VARIANT* value) = 0;
  virtual HRESULT put_BlobDataB(VARIANT value) = 0;
  virtual HRESULT get_SSLAcceptServerCertEncodedB(VARIANT* value) = 0;
  virtual HRESULT put_SSLAcceptServerCertEncodedB(VARIANT value) = 0;
  virtual HRESULT get_SSLCertEncodedB(VARIANT* value) = 0;
  virtual HRESULT put_SSLCertEncodedB(VARIANT value) = 0;
  virtual HRESULT get_SSLCertStoreB(VARIANT* value) = 0;
  virtual HRESULT put_SSLCertStoreB(VARIANT value) = 0;
  virtual HRESULT get_SSLServerCertEncodedB(VARIANT* value) = 0;
  virtual HRESULT put_SSLServerCertEncodedB(VARIANT value) = 0;
  virtual HRESULT get_SSLServerAuthenticationCertEncodedB(VARIANT* value) = 0;
  virtual HRESULT put_SSLServerAuthenticationCertEncodedB(VARIANT value) = 0;
  virtual HRESULT get_TransferTextB(VARIANT* value) = 0;
  virtual HRESULT put_TransferTextB(VARIANT value) = 0;

  virtual HRESULT AbortCopy(BSTR dest_blob, BSTR copy_id) = 0;
  virtual HRESULT AddBlock(BSTR id, SHORT block_list_type) = 0;
  virtual HRESULT AddMetadata(BSTR name, BSTR value) = 0;
  virtual HRESULT AddQueryParam(BSTR name, BSTR value) = 0;
  virtual HRESULT AppendBlock(BSTR append_blob) = 0;
  virtual HRESULT ClearPages(BSTR page_blob, VARIANT byte_offset, VARIANT page_count) = 0;
  virtual HRESULT Config(BSTR configuration_string, BSTR* result) = 0;
  virtual HRESULT CopyBlob(BSTR src_blob, BSTR dest_blob, BSTR dest_container, BSTR* result) = 0;
  virtual HRESULT CreateBlob(BSTR blob, SHORT blob_type, VARIANT page_blob_size) = 0;
  virtual HRESULT CreateContainer() = 0;
  virtual HRESULT CreateSnapshot(BSTR blob, BSTR* result) = 0;
  virtual HRESULT DeleteBlob(BSTR blob, SHORT delete_action) = 0;
  virtual HRESULT DeleteContainer() = 0;
  virtual HRESULT GetBlob(BSTR blob) = 0;
  virtual HRESULT GetBlobInfo(BSTR blob) = 0;
  virtual HRESULT GetContainerACL(SHORT* result) = 0;
  virtual HRESULT GetContainerInfo() = 0;
  virtual HRESULT GetLink(BSTR blob, BSTR permissions, BSTR start_time, BSTR expiry_time,
                          BSTR* result) = 0;
  virtual HRESULT GetUserDelegationKey(BSTR start_time, BSTR expiry_time) = 0;
  virtual HRESULT Interrupt() = 0;
  virtual HRESULT Lease(BSTR blob, SHORT lease_action, BSTR new_lease_id, SHORT duration) = 0;
  virtual HRESULT ListBlobs() = 0;
  virtual HRESULT ListBlocks(BSTR block_blob, SHORT block_list_type) = 0;
  virtual HRESULT ListContainers() = 0;
  virtual HRESULT ListPageRanges(BSTR page_blob) = 0;
  virtual HRESULT PutBlock(BSTR block_blob, BSTR block_id, BSTR* result) = 0;
  virtual HRESULT PutBlockList(BSTR block_blob, BSTR block_list) = 0;
  virtual HRESULT PutPages(BSTR page_blob, VARIANT write_offset) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT SendCustomRequest(BSTR http_method, BSTR blob, BSTR request_body) = 0;
  virtual HRESULT SetContainerACL(SHORT public_access) = 0;
  virtual HRESULT UndeleteBlob(BSTR blob) = 0;
  virtual HRESULT UpdateBlobInfo(BSTR blob) = 0;
  virtual HRESULT UpdateMetadata(BSTR blob) = 0;
  virtual HRESULT UpdatePageBlob(BSTR page_blob, VARIANT new_size, SHORT sequence_num_action,
                                 VARIANT new_sequence_num) = 0;
  virtual HRESULT OnStartPage(IUnknown* page_context) = 0;
  virtual HRESULT OnEndPage() = 0;

 protected:
  ~ICobalin() = default;
};

// The member tables of the type library (type_library.cc).
extern const win::DispInterface kCobalinInterface;
extern const win::DispInterface kCobalinEventsInterface;
extern const win::CoClassDesc kCobalinClass;
extern const win::TypeLibraryDesc kCobalinTypeLibrary;

}  // namespace tw
