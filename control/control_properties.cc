// The properties of ICobalin.
#include "control/control_object.h"

namespace tw {

// The control defaults of the persisted properties, applied once the client has initialised.
void ControlObject::ApplyDefaults() {}

HRESULT ControlObject::get_AccessKey(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessKey(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_AccessPolicyCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessPolicyCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_AccessPolicyExpiryTime(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessPolicyExpiryTime(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_AccessPolicyId(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessPolicyId(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_AccessPolicyPermissions(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessPolicyPermissions(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_AccessPolicyStartTime(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_AccessPolicyStartTime(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Account(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Account(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Authorization(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Authorization(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobData(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobData(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobDelimiter(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobDelimiter(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobMarker(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobMarker(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContainer(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContainer(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContentDisposition(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContentDisposition(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContentEncoding(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContentEncoding(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContentLength(LONG index, VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContentLength(LONG index, VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContentMD5(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContentMD5(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobContentType(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobContentType(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobCreatedTime(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobCreatedTime(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobETag(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobETag(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobIsLeased(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobIsLeased(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobLeaseState(LONG index, LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobLeaseState(LONG index, LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobModifiedTime(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobModifiedTime(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobName(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobName(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobSequenceNum(LONG index, VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobSequenceNum(LONG index, VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobSnapshot(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobSnapshot(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobSoftDeleted(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobSoftDeleted(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobType(LONG index, LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobType(LONG index, LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlockCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlockCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlockId(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlockId(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlockSize(LONG index, SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlockSize(LONG index, SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlockType(LONG index, LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlockType(LONG index, LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Container(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Container(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerMarker(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerMarker(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerETag(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerETag(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerHasLegalHold(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerHasLegalHold(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerIsLeased(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerIsLeased(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerLeaseState(LONG index, LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerLeaseState(LONG index, LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerModifiedTime(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerModifiedTime(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerName(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerName(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ContainerPublicAccess(LONG index, LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ContainerPublicAccess(LONG index, LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_EncryptionAlgorithm(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_EncryptionAlgorithm(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_EncryptionPassword(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_EncryptionPassword(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallAutoDetect(VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallAutoDetect(VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallType(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallType(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallHost(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallHost(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallPassword(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallPassword(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallPort(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallPort(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_FirewallUser(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_FirewallUser(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Idle(VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Idle(VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_LeaseId(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_LeaseId(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_LocalFile(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_LocalFile(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_LocalHost(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_LocalHost(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_MetadataCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_MetadataCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_MetadataName(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_MetadataName(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_MetadataValue(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_MetadataValue(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_OtherHeaders(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_OtherHeaders(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Overwrite(VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Overwrite(VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_PageRangeCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_PageRangeCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_PageRangeFirst(LONG index, VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_PageRangeFirst(LONG index, VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_PageRangeLast(LONG index, VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_PageRangeLast(LONG index, VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ParsedHeaderCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ParsedHeaderCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ParsedHeaderField(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ParsedHeaderField(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ParsedHeaderValue(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ParsedHeaderValue(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Prefix(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Prefix(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyAuthScheme(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyAuthScheme(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyAutoDetect(VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyAutoDetect(VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyPassword(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyPassword(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyPort(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyPort(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyServer(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyServer(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxySSL(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxySSL(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_ProxyUser(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_ProxyUser(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_QueryParamCount(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_QueryParamCount(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_QueryParamName(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_QueryParamName(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_QueryParamValue(LONG index, BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_QueryParamValue(LONG index, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Range(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Range(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Snapshot(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Snapshot(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLAcceptServerCertEncoded(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLAcceptServerCertEncoded(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertEncoded(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertEncoded(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertStore(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertStore(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertStorePassword(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertStorePassword(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertStoreType(LONG* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertStoreType(LONG value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertSubject(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertSubject(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLServerCertEncoded(BSTR* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLServerCertEncoded(BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_StartByte(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_StartByte(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_Timeout(SHORT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_Timeout(SHORT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_UseSSL(VARIANT_BOOL* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_UseSSL(VARIANT_BOOL value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_BlobDataB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_BlobDataB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLAcceptServerCertEncodedB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLAcceptServerCertEncodedB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertEncodedB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertEncodedB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLCertStoreB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLCertStoreB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLServerCertEncodedB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLServerCertEncodedB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_SSLServerAuthenticationCertEncodedB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_SSLServerAuthenticationCertEncodedB(VARIANT value) { return win::E_NOTIMPL; }
HRESULT ControlObject::get_TransferTextB(VARIANT* value) { return win::E_NOTIMPL; }
HRESULT ControlObject::put_TransferTextB(VARIANT value) { return win::E_NOTIMPL; }

}  // namespace tw
