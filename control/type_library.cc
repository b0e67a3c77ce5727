// The type library COBALINLib 1.0 as static member tables: ICobalin (properties, each a get and a
// put, then the methods), the event interface _ICobalinEvents (every parameter by reference) and
// the coclass Cobalin. Its enumerations are those of cobalin.h.

#include <array>
#include <iterator>
#include <string_view>

#include "control/cobalin.h"
#include "control/control_object.h"

namespace tw {

using win::DispCall;
using win::DispMethod;
using win::DispPropGet;
using win::DispPropPut;
using namespace win;  // VT_* and the table types

namespace {

// Each property is a get and a put of one name, DISPID, type and help text.
enum PropertyShape : bool { kPlain = false, kIndexed = true };

struct PropertyEntry {
  std::u16string_view name;
  DISPID id;
  VARTYPE type;
  PropertyShape shape;
  DispThunk get;
  DispThunk put;
  std::u16string_view doc;
};

#define COBALIN_PROPERTY(Name, id, type, shape, doc)                                 \
  PropertyEntry {                                                                    \
    u## #Name, id, type, shape, DispCall<ControlObject, &ControlObject::get_##Name>, \
        DispCall<ControlObject, &ControlObject::put_##Name>, doc                     \
  }

constexpr PropertyEntry kProperties[] = {
    COBALIN_PROPERTY(AccessKey, 1, VT_BSTR, kPlain, u"The storage account's access key (Base64)."),
    COBALIN_PROPERTY(AccessPolicyCount, 2, VT_I2, kPlain,
                     u"Count of the access-policy collection."),
    COBALIN_PROPERTY(AccessPolicyExpiryTime, 3, VT_BSTR, kIndexed,
                     u"ExpiryTime of the access policy at the index."),
    COBALIN_PROPERTY(AccessPolicyId, 4, VT_BSTR, kIndexed,
                     u"Id of the access policy at the index."),
    COBALIN_PROPERTY(AccessPolicyPermissions, 5, VT_BSTR, kIndexed,
                     u"Permissions of the access policy at the index."),
    COBALIN_PROPERTY(AccessPolicyStartTime, 6, VT_BSTR, kIndexed,
                     u"StartTime of the access policy at the index."),
    COBALIN_PROPERTY(Account, 7, VT_BSTR, kPlain, u"The storage account name."),
    COBALIN_PROPERTY(Authorization, 8, VT_BSTR, kPlain,
                     u"An Authorization header value sent instead of a SharedKey signature."),
    COBALIN_PROPERTY(BlobData, 9, VT_BSTR, kPlain,
                     u"The data of the blob to upload, or of the blob downloaded."),
    COBALIN_PROPERTY(BlobDelimiter, 10, VT_BSTR, kPlain,
                     u"The delimiter that groups blob names into prefixes when listing."),
    COBALIN_PROPERTY(BlobMarker, 11, VT_BSTR, kPlain, u"Where the next blob listing continues."),
    COBALIN_PROPERTY(BlobCount, 12, VT_I2, kPlain, u"Count of the blob collection."),
    COBALIN_PROPERTY(BlobContainer, 13, VT_BSTR, kIndexed,
                     u"Container name of the blob at the index."),
    COBALIN_PROPERTY(BlobContentDisposition, 14, VT_BSTR, kIndexed,
                     u"Content disposition of the blob at the index."),
    COBALIN_PROPERTY(BlobContentEncoding, 15, VT_BSTR, kIndexed,
                     u"Content encoding of the blob at the index."),
    COBALIN_PROPERTY(BlobContentLength, 16, VT_VARIANT, kIndexed,
                     u"Content length of the blob at the index."),
    COBALIN_PROPERTY(BlobContentMD5, 17, VT_BSTR, kIndexed,
                     u"Content MD5 of the blob at the index."),
    COBALIN_PROPERTY(BlobContentType, 18, VT_BSTR, kIndexed,
                     u"Content type of the blob at the index."),
    COBALIN_PROPERTY(BlobCreatedTime, 19, VT_BSTR, kIndexed,
                     u"Creation time of the blob at the index."),
    COBALIN_PROPERTY(BlobETag, 20, VT_BSTR, kIndexed, u"ETag of the blob at the index."),
    COBALIN_PROPERTY(BlobIsLeased, 21, VT_BOOL, kIndexed, u"Leased flag of the blob at the index."),
    COBALIN_PROPERTY(BlobIsLeaseInfinite, 22, VT_BOOL, kIndexed,
                     u"Infinite-lease flag of the blob at the index."),
    COBALIN_PROPERTY(BlobLeaseState, 23, VT_I4, kIndexed, u"Lease state of the blob at the index."),
    COBALIN_PROPERTY(BlobModifiedTime, 24, VT_BSTR, kIndexed,
                     u"Last-modified time of the blob at the index."),
    COBALIN_PROPERTY(BlobName, 25, VT_BSTR, kIndexed, u"Name of the blob at the index."),
    COBALIN_PROPERTY(BlobSequenceNum, 26, VT_VARIANT, kIndexed,
                     u"Sequence number of the blob at the index."),
    COBALIN_PROPERTY(BlobSnapshot, 27, VT_BSTR, kIndexed, u"Snapshot id of the blob at the index."),
    COBALIN_PROPERTY(BlobSoftDeleted, 28, VT_BOOL, kIndexed,
                     u"Soft-deleted flag of the blob at the index."),
    COBALIN_PROPERTY(BlobType, 29, VT_I4, kIndexed, u"Type of the blob at the index."),
    COBALIN_PROPERTY(BlockCount, 30, VT_I4, kPlain, u"Count of the block collection."),
    COBALIN_PROPERTY(BlockId, 31, VT_BSTR, kIndexed, u"Id of the block at the index."),
    COBALIN_PROPERTY(BlockSize, 32, VT_I4, kIndexed, u"Size of the the listed block at the index."),
    COBALIN_PROPERTY(BlockType, 33, VT_I4, kIndexed, u"Type of the block at the index."),
    COBALIN_PROPERTY(Container, 34, VT_BSTR, kPlain,
                     u"The container that blob operations work in."),
    COBALIN_PROPERTY(ContainerMarker, 35, VT_BSTR, kPlain,
                     u"Where the next container listing continues."),
    COBALIN_PROPERTY(ContainerCount, 36, VT_I2, kPlain, u"Count of the container collection."),
    COBALIN_PROPERTY(ContainerETag, 37, VT_BSTR, kIndexed, u"ETag of the container at the index."),
    COBALIN_PROPERTY(ContainerHasImmutabilityPolicy, 38, VT_BOOL, kIndexed,
                     u"Immutability-policy flag of the container at the index."),
    COBALIN_PROPERTY(ContainerHasLegalHold, 39, VT_BOOL, kIndexed,
                     u"Legal-hold flag of the container at the index."),
    COBALIN_PROPERTY(ContainerIsLeased, 40, VT_BOOL, kIndexed,
                     u"Leased flag of the container at the index."),
    COBALIN_PROPERTY(ContainerIsLeaseInfinite, 41, VT_BOOL, kIndexed,
                     u"Infinite-lease flag of the container at the index."),
    COBALIN_PROPERTY(ContainerLeaseState, 42, VT_I4, kIndexed,
                     u"Lease state of the container at the index."),
    COBALIN_PROPERTY(ContainerModifiedTime, 43, VT_BSTR, kIndexed,
                     u"Last-modified time of the container at the index."),
    COBALIN_PROPERTY(ContainerName, 44, VT_BSTR, kIndexed, u"Name of the container at the index."),
    COBALIN_PROPERTY(ContainerPublicAccess, 45, VT_I4, kIndexed,
                     u"Public access level of the container at the index."),
    COBALIN_PROPERTY(EncryptionAlgorithm, 46, VT_I4, kPlain,
                     u"The cipher of client-side encryption."),
    COBALIN_PROPERTY(EncryptionPassword, 47, VT_BSTR, kPlain,
                     u"The password of client-side encryption."),
    COBALIN_PROPERTY(FirewallAutoDetect, 48, VT_BOOL, kPlain,
                     u"Whether the system firewall settings are used."),
    COBALIN_PROPERTY(FirewallType, 49, VT_I4, kPlain, u"The kind of firewall or tunnel."),
    COBALIN_PROPERTY(FirewallHost, 50, VT_BSTR, kPlain,
                     u"The firewall or proxy host connections go through."),
    COBALIN_PROPERTY(FirewallPassword, 51, VT_BSTR, kPlain, u"The firewall password."),
    COBALIN_PROPERTY(FirewallPort, 52, VT_I4, kPlain, u"The firewall port."),
    COBALIN_PROPERTY(FirewallUser, 53, VT_BSTR, kPlain, u"The firewall user."),
    COBALIN_PROPERTY(Idle, 54, VT_BOOL, kPlain, u"True when no request is running."),
    COBALIN_PROPERTY(LeaseId, 55, VT_BSTR, kPlain,
                     u"The lease id sent with requests on leased blobs and containers."),
    COBALIN_PROPERTY(LocalFile, 56, VT_BSTR, kPlain, u"The file to upload from or download to."),
    COBALIN_PROPERTY(LocalHost, 57, VT_BSTR, kPlain,
                     u"The local address that connections are made from."),
    COBALIN_PROPERTY(MetadataCount, 58, VT_I2, kPlain, u"Count of the metadata collection."),
    COBALIN_PROPERTY(MetadataName, 59, VT_BSTR, kIndexed,
                     u"Name of the metadata item at the index."),
    COBALIN_PROPERTY(MetadataValue, 60, VT_BSTR, kIndexed,
                     u"Value of the metadata item at the index."),
    COBALIN_PROPERTY(OtherHeaders, 61, VT_BSTR, kPlain, u"Further request headers, one per line."),
    COBALIN_PROPERTY(Overwrite, 62, VT_BOOL, kPlain,
                     u"Whether an existing local file may be replaced."),
    COBALIN_PROPERTY(PageRangeCount, 63, VT_I4, kPlain, u"Count of the page-range collection."),
    COBALIN_PROPERTY(PageRangeFirst, 64, VT_VARIANT, kIndexed,
                     u"First byte of the page range at the index."),
    COBALIN_PROPERTY(PageRangeLast, 65, VT_VARIANT, kIndexed,
                     u"Last byte of the page range at the index."),
    COBALIN_PROPERTY(ParsedHeaderCount, 66, VT_I2, kPlain,
                     u"Number of headers of the last response."),
    COBALIN_PROPERTY(ParsedHeaderField, 67, VT_BSTR, kIndexed,
                     u"Name of the response header at the index."),
    COBALIN_PROPERTY(ParsedHeaderValue, 68, VT_BSTR, kIndexed,
                     u"Value of the response header at the index."),
    COBALIN_PROPERTY(Prefix, 69, VT_BSTR, kPlain,
                     u"Lists only the blobs or containers whose names start with it."),
    COBALIN_PROPERTY(ProxyAuthScheme, 70, VT_I4, kPlain, u"The proxy's authentication scheme."),
    COBALIN_PROPERTY(ProxyAutoDetect, 71, VT_BOOL, kPlain,
                     u"Whether the system proxy settings are used."),
    COBALIN_PROPERTY(ProxyPassword, 72, VT_BSTR, kPlain, u"The proxy password."),
    COBALIN_PROPERTY(ProxyPort, 73, VT_I4, kPlain, u"The proxy port."),
    COBALIN_PROPERTY(ProxyServer, 74, VT_BSTR, kPlain, u"The proxy server."),
    COBALIN_PROPERTY(ProxySSL, 75, VT_I4, kPlain, u"When the proxy is reached with TLS."),
    COBALIN_PROPERTY(ProxyUser, 76, VT_BSTR, kPlain, u"The proxy user."),
    COBALIN_PROPERTY(QueryParamCount, 77, VT_I2, kPlain,
                     u"Count of the query-parameter collection."),
    COBALIN_PROPERTY(QueryParamName, 78, VT_BSTR, kIndexed,
                     u"Name of the query parameter at the index."),
    COBALIN_PROPERTY(QueryParamValue, 79, VT_BSTR, kIndexed,
                     u"Value of the query parameter at the index."),
    COBALIN_PROPERTY(Range, 80, VT_BSTR, kPlain, u"The byte range of a download."),
    COBALIN_PROPERTY(Snapshot, 81, VT_BSTR, kPlain, u"The snapshot that blob operations address."),
    COBALIN_PROPERTY(SSLAcceptServerCertEncoded, 82, VT_BSTR, kPlain,
                     u"A server certificate to accept (PEM)."),
    COBALIN_PROPERTY(SSLCertEncoded, 83, VT_BSTR, kPlain, u"The client certificate (encoded)."),
    COBALIN_PROPERTY(SSLCertStore, 84, VT_BSTR, kPlain, u"The certificate store name or contents."),
    COBALIN_PROPERTY(SSLCertStorePassword, 85, VT_BSTR, kPlain, u"The certificate store password."),
    COBALIN_PROPERTY(SSLCertStoreType, 86, VT_I4, kPlain, u"The certificate store type."),
    COBALIN_PROPERTY(SSLCertSubject, 87, VT_BSTR, kPlain,
                     u"The subject of the client certificate."),
    COBALIN_PROPERTY(SSLServerCertEncoded, 88, VT_BSTR, kPlain,
                     u"The server certificate of the last TLS connection."),
    COBALIN_PROPERTY(StartByte, 89, VT_VARIANT, kPlain, u"Where a transfer starts or resumes."),
    COBALIN_PROPERTY(Timeout, 90, VT_I2, kPlain,
                     u"Seconds a call may take before it fails (0: no limit)."),
    COBALIN_PROPERTY(UseSSL, 91, VT_BOOL, kPlain, u"Whether requests use https."),
    COBALIN_PROPERTY(BlobDataB, 92, VT_VARIANT, kPlain, u"BlobData as a byte array."),
    COBALIN_PROPERTY(SSLAcceptServerCertEncodedB, 93, VT_VARIANT, kPlain,
                     u"SSLAcceptServerCertEncoded as a byte array."),
    COBALIN_PROPERTY(SSLCertEncodedB, 94, VT_VARIANT, kPlain, u"SSLCertEncoded as a byte array."),
    COBALIN_PROPERTY(SSLCertStoreB, 95, VT_VARIANT, kPlain, u"SSLCertStore as a byte array."),
    COBALIN_PROPERTY(SSLServerCertEncodedB, 96, VT_VARIANT, kPlain,
                     u"SSLServerCertEncoded as a byte array."),
    COBALIN_PROPERTY(SSLServerAuthenticationCertEncodedB, 97, VT_VARIANT, kPlain,
                     u"The certificate of the SSLServerAuthentication event being fired."),
    COBALIN_PROPERTY(TransferTextB, 98, VT_VARIANT, kPlain,
                     u"The data of the Transfer event being fired."),
};

#undef COBALIN_PROPERTY

// Help context 43400 + DISPID - 501; the page hooks have none.
#define COBALIN_METHOD(Name, id, result, ...)                                        \
  DispMethod(u## #Name, id, result, __VA_ARGS__, (id) < 1000 ? (id)-501 + 43400 : 0, \
             DispCall<ControlObject, &ControlObject::Name>)

constexpr DispMember kMethods[] = {
    COBALIN_METHOD(AbortCopy, 502, VT_EMPTY, {{VT_BSTR, u"DestBlob"}, {VT_BSTR, u"CopyId"}}),
    COBALIN_METHOD(AddBlock, 503, VT_EMPTY, {{VT_BSTR, u"Id"}, {VT_I2, u"BlockListType"}}),
    COBALIN_METHOD(AddMetadata, 504, VT_EMPTY, {{VT_BSTR, u"Name"}, {VT_BSTR, u"Value"}}),
    COBALIN_METHOD(AddQueryParam, 505, VT_EMPTY, {{VT_BSTR, u"Name"}, {VT_BSTR, u"Value"}}),
    COBALIN_METHOD(AppendBlock, 506, VT_EMPTY, {{VT_BSTR, u"AppendBlob"}}),
    COBALIN_METHOD(
        ClearPages, 507, VT_EMPTY,
        {{VT_BSTR, u"PageBlob"}, {VT_VARIANT, u"ByteOffset"}, {VT_VARIANT, u"PageCount"}}),
    COBALIN_METHOD(Config, 508, VT_BSTR, {{VT_BSTR, u"ConfigurationString"}}),
    COBALIN_METHOD(CopyBlob, 509, VT_BSTR,
                   {{VT_BSTR, u"SrcBlob"}, {VT_BSTR, u"DestBlob"}, {VT_BSTR, u"DestContainer"}}),
    COBALIN_METHOD(CreateBlob, 510, VT_EMPTY,
                   {{VT_BSTR, u"Blob"}, {VT_I2, u"BlobType"}, {VT_VARIANT, u"PageBlobSize"}}),
    COBALIN_METHOD(CreateContainer, 511, VT_EMPTY, {}),
    COBALIN_METHOD(CreateSnapshot, 512, VT_BSTR, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(DeleteBlob, 513, VT_EMPTY, {{VT_BSTR, u"Blob"}, {VT_I2, u"DeleteAction"}}),
    COBALIN_METHOD(DeleteContainer, 514, VT_EMPTY, {}),
    COBALIN_METHOD(GetBlob, 515, VT_EMPTY, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(GetBlobInfo, 516, VT_EMPTY, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(GetContainerACL, 517, VT_I2, {}),
    COBALIN_METHOD(GetContainerInfo, 518, VT_EMPTY, {}),
    COBALIN_METHOD(GetLink, 519, VT_BSTR,
                   {{VT_BSTR, u"Blob"},
                    {VT_BSTR, u"Permissions"},
                    {VT_BSTR, u"StartTime"},
                    {VT_BSTR, u"ExpiryTime"}}),
    COBALIN_METHOD(GetUserDelegationKey, 520, VT_EMPTY,
                   {{VT_BSTR, u"StartTime"}, {VT_BSTR, u"ExpiryTime"}}),
    COBALIN_METHOD(Interrupt, 521, VT_EMPTY, {}),
    COBALIN_METHOD(Lease, 522, VT_EMPTY,
                   {{VT_BSTR, u"Blob"},
                    {VT_I2, u"LeaseAction"},
                    {VT_BSTR, u"NewLeaseId"},
                    {VT_I2, u"Duration"}}),
    COBALIN_METHOD(ListBlobs, 523, VT_EMPTY, {}),
    COBALIN_METHOD(ListBlocks, 524, VT_EMPTY, {{VT_BSTR, u"BlockBlob"}, {VT_I2, u"BlockListType"}}),
    COBALIN_METHOD(ListContainers, 525, VT_EMPTY, {}),
    COBALIN_METHOD(ListPageRanges, 526, VT_EMPTY, {{VT_BSTR, u"PageBlob"}}),
    COBALIN_METHOD(PutBlock, 527, VT_BSTR, {{VT_BSTR, u"BlockBlob"}, {VT_BSTR, u"BlockId"}}),
    COBALIN_METHOD(PutBlockList, 528, VT_EMPTY, {{VT_BSTR, u"BlockBlob"}, {VT_BSTR, u"BlockList"}}),
    COBALIN_METHOD(PutPages, 529, VT_EMPTY, {{VT_BSTR, u"PageBlob"}, {VT_VARIANT, u"WriteOffset"}}),
    COBALIN_METHOD(Reset, 530, VT_EMPTY, {}),
    COBALIN_METHOD(SendCustomRequest, 531, VT_EMPTY,
                   {{VT_BSTR, u"HttpMethod"}, {VT_BSTR, u"Blob"}, {VT_BSTR, u"RequestBody"}}),
    COBALIN_METHOD(SetContainerACL, 532, VT_EMPTY, {{VT_I2, u"PublicAccess"}}),
    COBALIN_METHOD(UndeleteBlob, 535, VT_EMPTY, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(UpdateBlobInfo, 536, VT_EMPTY, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(UpdateMetadata, 537, VT_EMPTY, {{VT_BSTR, u"Blob"}}),
    COBALIN_METHOD(UpdatePageBlob, 538, VT_EMPTY,
                   {{VT_BSTR, u"PageBlob"},
                    {VT_VARIANT, u"NewSize"},
                    {VT_I2, u"SequenceNumAction"},
                    {VT_VARIANT, u"NewSequenceNum"}}),
    COBALIN_METHOD(OnStartPage, 0x600200EA, VT_EMPTY, {{VT_UNKNOWN, u"piUnk"}}),
    COBALIN_METHOD(OnEndPage, 0x600200EB, VT_EMPTY, {}),
};

#undef COBALIN_METHOD

// Help context 23400 + DISPID for 1 to 91; the byte twins have none in the type library.
constexpr DispMember PropertyMember(const PropertyEntry& p, DispKind kind) {
  const DWORD help = p.id <= kDispUseSSL ? static_cast<DWORD>(23400 + p.id) : 0;
  if (kind == DispKind::kPropertyGet) {
    return p.shape == kIndexed
               ? DispPropGet(p.name, p.id, p.type, {{VT_I4, u"index"}}, help, p.get, p.doc)
               : DispPropGet(p.name, p.id, p.type, {}, help, p.get, p.doc);
  }
  return p.shape == kIndexed
             ? DispPropPut(p.name, p.id, p.type, {{VT_I4, u"index"}}, help, p.put, p.doc)
             : DispPropPut(p.name, p.id, p.type, {}, help, p.put, p.doc);
}

// ICobalin lists each property as a get and a put, then the methods.
constexpr auto BuildCobalinMembers() {
  std::array<DispMember, 2 * std::size(kProperties) + std::size(kMethods)> out{};
  size_t k = 0;
  for (const PropertyEntry& p : kProperties) {
    out[k++] = PropertyMember(p, DispKind::kPropertyGet);
    out[k++] = PropertyMember(p, DispKind::kPropertyPut);
  }
  for (const DispMember& m : kMethods) out[k++] = m;
  return out;
}

constexpr auto kCobalinMembers = BuildCobalinMembers();

constexpr win::DispMember kCobalinEventMembers[] = {
    DispMethod(u"BlobList", 1, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"Name"},
                {VT_BYREF | VT_BSTR, u"Container"},
                {VT_BYREF | VT_I2, u"BlobType"},
                {VT_BYREF | VT_BSTR, u"Snapshot"},
                {VT_BYREF | VT_VARIANT, u"ContentLength"},
                {VT_BYREF | VT_BSTR, u"ContentType"},
                {VT_BYREF | VT_BSTR, u"CreatedTime"},
                {VT_BYREF | VT_BSTR, u"ModifiedTime"},
                {VT_BYREF | VT_BSTR, u"ETag"},
                {VT_BYREF | VT_BOOL, u"SoftDeleted"},
                {VT_BYREF | VT_BOOL, u"IsLeased"},
                {VT_BYREF | VT_I2, u"LeaseState"}},
               33400, nullptr),
    DispMethod(u"BlockList", 2, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"Id"},
                {VT_BYREF | VT_I2, u"BlockType"},
                {VT_BYREF | VT_I4, u"Size"}},
               33401, nullptr),
    DispMethod(u"ContainerList", 3, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"Name"},
                {VT_BYREF | VT_BSTR, u"ModifiedTime"},
                {VT_BYREF | VT_BSTR, u"ETag"},
                {VT_BYREF | VT_BOOL, u"IsLeased"},
                {VT_BYREF | VT_I2, u"LeaseState"}},
               33402, nullptr),
    DispMethod(u"EndTransfer", 4, VT_EMPTY, {{VT_BYREF | VT_I2, u"Direction"}}, 33403, nullptr),
    DispMethod(u"Error", 5, VT_EMPTY,
               {{VT_BYREF | VT_I2, u"ErrorCode"}, {VT_BYREF | VT_BSTR, u"Description"}}, 33404,
               nullptr),
    DispMethod(u"FragmentComplete", 6, VT_EMPTY,
               {{VT_BYREF | VT_I4, u"FragmentNumber"},
                {VT_BYREF | VT_I4, u"FragmentCount"},
                {VT_BYREF | VT_BOOL, u"Interrupt"}},
               33405, nullptr),
    DispMethod(u"Header", 7, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"Field"}, {VT_BYREF | VT_BSTR, u"Value"}}, 33406, nullptr),
    DispMethod(u"Log", 8, VT_EMPTY,
               {{VT_BYREF | VT_I2, u"LogLevel"},
                {VT_BYREF | VT_BSTR, u"Message"},
                {VT_BYREF | VT_BSTR, u"LogType"}},
               33407, nullptr),
    DispMethod(u"MetadataList", 9, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"Container"},
                {VT_BYREF | VT_BSTR, u"Blob"},
                {VT_BYREF | VT_BSTR, u"Snapshot"},
                {VT_BYREF | VT_BSTR, u"Name"},
                {VT_BYREF | VT_BSTR, u"Value"}},
               33408, nullptr),
    DispMethod(u"PrefixList", 10, VT_EMPTY, {{VT_BYREF | VT_BSTR, u"Prefix"}}, 33409, nullptr),
    DispMethod(u"Progress", 11, VT_EMPTY,
               {{VT_BYREF | VT_I2, u"Direction"},
                {VT_BYREF | VT_VARIANT, u"BytesTransferred"},
                {VT_BYREF | VT_VARIANT, u"TotalBytes"},
                {VT_BYREF | VT_I2, u"PercentDone"}},
               33410, nullptr),
    DispMethod(u"SSLServerAuthentication", 12, VT_EMPTY,
               {{VT_BYREF | VT_BSTR, u"CertEncoded"},
                {VT_BYREF | VT_BSTR, u"CertSubject"},
                {VT_BYREF | VT_BSTR, u"CertIssuer"},
                {VT_BYREF | VT_BSTR, u"Status"},
                {VT_BYREF | VT_BOOL, u"Accept"}},
               33411, nullptr),
    DispMethod(u"SSLStatus", 13, VT_EMPTY, {{VT_BYREF | VT_BSTR, u"Message"}}, 33412, nullptr),
    DispMethod(u"StartTransfer", 14, VT_EMPTY, {{VT_BYREF | VT_I2, u"Direction"}}, 33413, nullptr),
    DispMethod(u"Transfer", 15, VT_EMPTY,
               {{VT_BYREF | VT_I2, u"Direction"},
                {VT_BYREF | VT_VARIANT, u"BytesTransferred"},
                {VT_BYREF | VT_I2, u"PercentDone"},
                {VT_BYREF | VT_BSTR, u"Text"}},
               33414, nullptr),
};

constexpr const win::DispInterface* kInterfaces[] = {&kCobalinInterface, &kCobalinEventsInterface};

}  // namespace

constexpr win::DispInterface kCobalinInterface{kIidICobalin, u"ICobalin", kCobalinMembers,
                                               TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
                                               u"Azure Blob storage client"};
constexpr win::DispInterface kCobalinEventsInterface{kDiidICobalinEvents, u"_ICobalinEvents",
                                                     kCobalinEventMembers, TYPEFLAG_FDISPATCHABLE,
                                                     u"Events of the Azure Blob storage client"};
constexpr win::CoClassDesc kCobalinClass{kClsidCobalin, u"Cobalin", &kCobalinInterface,
                                         &kCobalinEventsInterface, u"Azure Blob storage client"};
constexpr win::TypeLibraryDesc kCobalinTypeLibrary{
    kLibidCobalin, u"COBALINLib", 1, 0, kInterfaces, u"Cobalin 1.0 Type Library"};

}  // namespace tw
