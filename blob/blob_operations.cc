// The service operations beside the listings and the data transfer: containers, access policies,
// blob properties and metadata, snapshots, deletion, leases, server-side copies, page blob
// properties and the caller's own request. Each builds one request, sends it through the
// client's virtual send and reads the answer's headers or XML body.
#include <cstdlib>
#include <cstring>

#include "blob/blob_client.h"
#include "blob/service_words.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr char kTextContainerMissing[] =
    "The Container property must be set before calling this method.";
constexpr char kTextBlobMissing[] = "Blob must be specified when calling this method.";
constexpr char kTextPageBlobMissing[] = "PageBlob must be specified when calling this method.";
constexpr char kTextSrcBlobMissing[] = "SrcBlob must be specified when calling this method.";
constexpr char kTextDestBlobMissing[] = "DestBlob must be specified when calling this method.";
constexpr char kTextCopyIdMissing[] = "CopyId must be specified when calling this method.";
constexpr char kTextDestContainerMissing[] =
    "The destination container must be specified using the Container property or DestContainer "
    "when CopySourceURL is set.";
constexpr char kTextBlobRecordMissing1[] = "Could not find an item in the Blob";
constexpr char kTextBlobRecordMissing2[] = " properties";
constexpr char kTextBlobRecordMissing3[] = " with the specified blob name.";
constexpr char kTextDeleteAction[] = "DeleteAction must be 0, 1, or 2.";
constexpr char kTextPublicAccess[] = "PublicAccess must be 0, 1, or 2.";
constexpr char kTextLeaseAction[] = "LeaseAction must be 0, 1, 2, 3, or 4.";
constexpr char kTextLeaseIdMissing[] =
    "The LeaseId property must be set before calling this method with a LeaseAction of 1, 2, or "
    "3.";
constexpr char kTextNewLeaseIdMissing[] = "When LeaseAction is 2, NewLeaseId must be specified.";
constexpr char kTextAcquireDuration[] =
    "When LeaseAction is 0, Duration must be -1 (infinite), or a number of seconds in the range "
    "15 to 60.";
constexpr char kTextBreakDuration[] =
    "When LeaseAction is 4, Duration must be -1 (unspecified), or a number of seconds in the "
    "range 0 to 60.";
constexpr char kTextNewSize[] =
    "NewSize must be -1, or a value that is greater than or equal to 0 and a multiple of 512.";
constexpr char kTextSequenceAction[] = "SequenceNumAction must be 0, 1, 2, or 3.";
constexpr char kTextSequenceNum[] =
    "When SequenceNumAction is 2 or 3, NewSequenceNum must be a value in the range 0 to 2^63 - 1.";
constexpr char kTextCustomContainer[] = "The Container property must be set if Blob is non-empty.";
constexpr char kTextCustomMethod[] = "HttpMethod must be GET, HEAD, POST, PUT, or DELETE.";

constexpr char kMetaPrefix[] = "x-ms-meta-";
constexpr int kMetaPrefixLength = sizeof(kMetaPrefix) - 1;
constexpr char kLeaseIdHeader[] = "x-ms-lease-id";
constexpr char kIfMatchHeader[] = "If-Match";
constexpr char kAclPath[] = "/SignedIdentifiers";

struct CustomMethod {
  const char* text;
  int verb;
};
constexpr CustomMethod kCustomMethods[] = {
    {"GET", kRestVerbGet},   {"HEAD", kRestVerbHead},     {"POST", kRestVerbPost},
    {"PUT", kRestVerbPut},   {"DELETE", kRestVerbDelete},
};

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

int64_t ToInt64(const char* text) { return std::strtoll(text ? text : "", nullptr, 10); }

// Records the failure on the client and hands its code back.
int Fail(ComponentBase& client, int code, const char* text) {
  client.SetErrorTextCode(code, text);
  return code;
}

}  // namespace

// ---- Shared steps ----

int BlobClient::AddPrefixedMetadataHeaders() {
  ByteString name;
  for (int i = 0; i < metadata_.Count(); ++i) {
    const ByteStringPair* item = metadata_.At(i);
    if (item == nullptr) continue;
    int rc = kOk;
    if (StartsWithNoCase(item->first.c_str(), kMetaPrefix)) {
      rc = name.Assign(item->first);
    } else {
      rc = name.SetText(kMetaPrefix);
      if (rc == kOk) rc = name.AppendString(item->first);
    }
    if (rc == kOk) rc = AddHeader(name.c_str(), item->second.c_str());
    if (rc != kOk) return rc;
  }
  return kOk;
}

int BlobClient::ReadMetadataHeaders() {
  metadata_.Clear();
  const ParsedHeaderStore& headers = parsed_headers();
  for (int i = 0; i < headers.Count(); ++i) {
    const char* name = headers.Name(i);
    if (!StartsWithNoCase(name, kMetaPrefix)) continue;
    const int rc = metadata_.Add(name + kMetaPrefixLength, headers.Value(i));
    if (rc != kOk) return rc;
  }
  return kOk;
}

namespace {

// The request of one operation under construction: the URL, then the query and header lists of
// the client. A step that fails leaves nothing behind for the next request.
class OperationRequest {
 public:
  explicit OperationRequest(BlobClient& client) : client_(client) {}
  ~OperationRequest() {
    if (!sent_) client_.ClearRequestState();
  }

  int Target(const char* container, const char* blob) {
    return client_.BuildRequestUrl(container, blob, &url_);
  }
  // Folds a failed list step into rc and the client's error.
  int Check(int rc) {
    if (rc != kOk && rc_ == kOk) {
      rc_ = rc;
      client_.SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
    }
    return rc_;
  }
  int Query(const char* name, const char* value) {
    return Step(client_.SetQueryParam(name, value));
  }
  int Header(const char* name, const char* value) { return Step(client_.AddHeader(name, value)); }
  int HeaderIfSet(const char* name, const ByteString& value) {
    return Step(client_.AddHeaderIfSet(name, value.c_str()));
  }
  int HeaderInt(const char* name, int32_t value) { return Step(client_.AddHeaderInt(name, value)); }
  int HeaderInt64(const char* name, int64_t value) {
    return Step(client_.AddHeaderInt64(name, value));
  }
  int Lease() { return HeaderIfSet(kLeaseIdHeader, client_.lease_id()); }
  int Match() { return HeaderIfSet(kIfMatchHeader, client_.if_match()); }
  int Metadata() { return Step(client_.AddPrefixedMetadataHeaders()); }

  int Send(int verb, const char* body = nullptr, bool parse = true) {
    if (rc_ != kOk) return rc_;
    sent_ = true;
    return client_.SendServiceRequest(url_.c_str(), verb, body, parse);
  }
  int Send(int verb, const char* body, int length, bool parse) {
    if (rc_ != kOk) return rc_;
    sent_ = true;
    return client_.SendRequest(url_.c_str(), verb, body, length, parse);
  }

 private:
  int Step(int rc) { return rc_ != kOk ? rc_ : Check(rc); }

  BlobClient& client_;
  ByteString url_;
  int rc_ = kOk;
  bool sent_ = false;
};

}  // namespace

// ---- Containers ----

int BlobClient::CreateContainer() {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), ""); rc != kOk) return rc;
  request.Query("restype", "container");
  if (send_metadata_) request.Metadata();
  return request.Send(kRestVerbPut);
}

int BlobClient::DeleteContainer() {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), ""); rc != kOk) return rc;
  request.Query("restype", "container");
  request.Lease();
  request.Match();
  return request.Send(kRestVerbDelete);
}

int BlobClient::GetContainerInfo() {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), ""); rc != kOk) return rc;
  request.Query("restype", "container");
  request.Lease();
  int rc = request.Send(kRestVerbHead);
  if (rc != kOk) return rc;

  const ParsedHeaderStore& headers = parsed_headers();
  ContainerRecord record;
  rc = record.etag.SetText(headers.Find("ETag"));
  record.has_immutability_policy = ServiceTextIsTrue(headers.Find("x-ms-has-immutability-policy"));
  record.has_legal_hold = ServiceTextIsTrue(headers.Find("x-ms-has-legal-hold"));
  record.is_leased = LeaseStatusIsLocked(headers.Find("x-ms-lease-status"));
  record.is_lease_infinite = LeaseDurationIsInfinite(headers.Find("x-ms-lease-duration"));
  record.lease_state = LeaseStateFromText(headers.Find("x-ms-lease-state"));
  if (rc == kOk) rc = record.modified_time.SetText(headers.Find("Last-Modified"));
  if (rc == kOk) rc = record.name.Assign(container_);
  record.public_access = PublicAccessFromText(headers.Find("x-ms-blob-public-access"));
  containers_.Clear();
  if (rc == kOk) rc = containers_.InsertCopy(0, record);
  if (rc == kOk) rc = ReadMetadataHeaders();
  if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));

  FireContainerList(record);
  // The handlers may change the collection: the event walks a copy of the names.
  ByteStringPairArray items;
  if (items.CopyFrom(metadata_) != kOk) {
    return Fail(*this, kErrOutOfMemory, ::tw::DefaultErrorText(kErrOutOfMemory));
  }
  for (int i = 0; i < items.Count(); ++i) {
    const ByteStringPair* item = items.At(i);
    FireMetadataList(record.name.c_str(), "", "", item->first.c_str(), item->second.c_str());
  }
  return kOk;
}

int BlobClient::GetContainerACL(int32_t* public_access) {
  if (public_access) *public_access = kPublicAccessNone;
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), ""); rc != kOk) return rc;
  request.Query("restype", "container");
  request.Query("comp", "acl");
  request.Lease();
  int rc = request.Send(kRestVerbGet);
  if (rc != kOk) return rc;

  const int32_t level = PublicAccessFromText(parsed_headers().Find("x-ms-blob-public-access"));
  rc = CheckShortCount(kAclPath, nullptr, 0, "access policy", "AccessPolicyCount");
  if (rc != kOk) return rc;
  access_policies_.Clear();
  const int count = SelectPath(kAclPath) ? ChildCount() : 0;
  ByteString path;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    AccessPolicyRecord record;
    struct Field {
      const char* relative;
      ByteString* out;
    };
    const Field fields[] = {{"/Id", &record.id},
                            {"/AccessPolicy/Start", &record.start_time},
                            {"/AccessPolicy/Expiry", &record.expiry_time},
                            {"/AccessPolicy/Permission", &record.permissions}};
    for (const Field& f : fields) {
      rc = path.Format("%s/[%d]%s", kAclPath, i, f.relative);
      if (rc != kOk) break;
      ReadText(path.c_str(), *f.out);
    }
    if (rc == kOk) rc = access_policies_.InsertCopy(access_policies_.Count(), record);
  }
  if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));
  if (public_access) *public_access = level;
  return kOk;
}

int BlobClient::SetContainerACL(int32_t public_access) {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  if (public_access < 0 || public_access > 2) {
    return Fail(*this, kErrRestInvalidValue, kTextPublicAccess);
  }
  ByteString body;
  int rc = ResetWriter();
  if (rc == kOk) rc = WriteStartElement("SignedIdentifiers");
  for (int i = 0; rc == kOk && i < access_policies_.Count(); ++i) {
    const AccessPolicyRecord* policy = access_policies_.At(i);
    rc = WriteStartElement("SignedIdentifier");
    if (rc == kOk) rc = WriteElement("Id", policy->id.c_str());
    if (rc == kOk) rc = WriteStartElement("AccessPolicy");
    if (rc == kOk) rc = WriteElement("Start", policy->start_time.c_str());
    if (rc == kOk) rc = WriteElement("Expiry", policy->expiry_time.c_str());
    if (rc == kOk) rc = WriteElement("Permission", policy->permissions.c_str());
    if (rc == kOk) rc = WriteEndElement();
    if (rc == kOk) rc = WriteEndElement();
  }
  if (rc == kOk) rc = FinishBody(body);
  if (rc != kOk) {
    if (error_text().empty()) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
    set_error_code(rc);
    return rc;
  }

  OperationRequest request(*this);
  if (rc = request.Target(container_.c_str(), ""); rc != kOk) return rc;
  request.Query("restype", "container");
  request.Query("comp", "acl");
  request.Lease();
  if (kPublicAccessWords[public_access]) {
    request.Header("x-ms-blob-public-access", kPublicAccessWords[public_access]);
  }
  return request.Send(kRestVerbPut, body.c_str(), body.length(), true);
}

int BlobClient::UpdateMetadata(const char* blob) {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  const bool on_container = Empty(blob);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), on_container ? "" : blob); rc != kOk) return rc;
  if (on_container) request.Query("restype", "container");
  request.Query("comp", "metadata");
  request.Lease();
  request.Metadata();
  return request.Send(kRestVerbPut);
}

// ---- Blob properties ----

int BlobClient::GetBlobInfo(const char* blob) {
  if (Empty(blob)) return Fail(*this, kErrBlobMissing, kTextBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), blob); rc != kOk) return rc;
  if (!snapshot_.empty()) request.Query("snapshot", snapshot_.c_str());
  request.Match();
  // A snapshot cannot be leased: the service refuses a lease id on one.
  if (snapshot_.empty()) request.Lease();
  int rc = request.Send(kRestVerbHead);
  if (rc != kOk) return rc;

  const ParsedHeaderStore& h = parsed_headers();
  BlobRecord b;
  struct TextField {
    const char* header;
    ByteString* out;
  };
  const TextField texts[] = {
      {"x-ms-access-tier", &b.access_tier},
      {"x-ms-access-tier-change-time", &b.access_tier_changed},
      {"x-ms-archive-status", &b.archive_status},
      {"Cache-Control", &b.cache_control},
      {"Content-Disposition", &b.content_disposition},
      {"Content-Encoding", &b.content_encoding},
      {"Content-Language", &b.content_language},
      {"Content-MD5", &b.content_md5},
      {"Content-Type", &b.content_type},
      {"x-ms-creation-time", &b.created_time},
      {"ETag", &b.etag},
      {"Last-Modified", &b.modified_time},
      {"x-ms-copy-id", &copy_id_},
      {"x-ms-copy-progress", &copy_progress_},
      {"x-ms-copy-status", &copy_status_},
      {"x-ms-copy-status-description", &copy_status_desc_},
  };
  for (const TextField& f : texts) {
    if (rc == kOk) rc = f.out->SetText(h.Find(f.header));
  }
  b.access_tier_inferred = ServiceTextIsTrue(h.Find("x-ms-access-tier-inferred"));
  b.content_length = ToInt64(h.Find("Content-Length"));
  b.is_leased = LeaseStatusIsLocked(h.Find("x-ms-lease-status"));
  b.is_lease_infinite = LeaseDurationIsInfinite(h.Find("x-ms-lease-duration"));
  b.lease_state = LeaseStateFromText(h.Find("x-ms-lease-state"));
  b.blob_type = BlobTypeFromText(h.Find("x-ms-blob-type"));
  if (b.blob_type == kPageBlob) b.sequence_num = ToInt64(h.Find("x-ms-blob-sequence-number"));
  if (rc == kOk) rc = b.name.SetText(blob);
  if (rc == kOk) rc = b.snapshot.Assign(snapshot_);
  const char* committed = h.Find("x-ms-blob-committed-block-count");
  appended_block_count_ = Empty(committed) ? -1 : ToInt64(committed);
  blobs_.Clear();
  if (rc == kOk) rc = blobs_.InsertCopy(0, b);
  if (rc == kOk) rc = ReadMetadataHeaders();
  ByteStringPairArray items;
  if (rc == kOk) rc = items.CopyFrom(metadata_);
  if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));

  FireBlobList(b);
  for (int i = 0; i < items.Count(); ++i) {
    const ByteStringPair* item = items.At(i);
    FireMetadataList(container_.c_str(), b.name.c_str(), b.snapshot.c_str(),
                     item->first.c_str(), item->second.c_str());
  }
  return kOk;
}

int BlobClient::UpdateBlobInfo(const char* blob) {
  if (Empty(blob)) return Fail(*this, kErrBlobMissing, kTextBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  const BlobRecord* record = nullptr;
  for (int i = 0; i < blobs_.Count() && record == nullptr; ++i) {
    const BlobRecord* b = blobs_.At(i);
    if (b->snapshot.empty() && b->name.EqualsBytes(blob, -1)) record = b;
  }
  if (record == nullptr) {
    ByteString text;
    text.SetText(kTextBlobRecordMissing1);
    text.AppendText(kTextBlobRecordMissing2);
    text.AppendText(kTextBlobRecordMissing3);
    return Fail(*this, kErrBlobMissing, text.c_str());
  }
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), blob); rc != kOk) return rc;
  request.Query("comp", "properties");
  request.Lease();
  request.Match();
  request.HeaderIfSet("x-ms-blob-cache-control", record->cache_control);
  request.HeaderIfSet("x-ms-blob-content-disposition", record->content_disposition);
  request.HeaderIfSet("x-ms-blob-content-encoding", record->content_encoding);
  request.HeaderIfSet("x-ms-blob-content-language", record->content_language);
  request.HeaderIfSet("x-ms-blob-content-md5", record->content_md5);
  request.HeaderIfSet("x-ms-blob-content-type", record->content_type);
  return request.Send(kRestVerbPut);
}

int BlobClient::CreateSnapshot(const char* blob, ByteString* snapshot) {
  if (snapshot) snapshot->Reset();
  if (Empty(blob)) return Fail(*this, kErrBlobMissing, kTextBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), blob); rc != kOk) return rc;
  request.Query("comp", "snapshot");
  request.Lease();
  request.Match();
  if (send_metadata_on_snapshot_) request.Metadata();
  int rc = request.Send(kRestVerbPut);
  if (rc == kOk && snapshot) rc = snapshot->SetText(parsed_headers().Find("x-ms-snapshot"));
  return rc;
}

int BlobClient::DeleteBlob(const char* blob, int32_t delete_action) {
  if (Empty(blob)) return Fail(*this, kErrBlobMissing, kTextBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  const bool whole_blob = snapshot_.empty();
  if (whole_blob && (delete_action < 0 || delete_action > 2)) {
    return Fail(*this, kErrRestInvalidValue, kTextDeleteAction);
  }
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), blob); rc != kOk) return rc;
  if (!whole_blob) request.Query("snapshot", snapshot_.c_str());
  request.Lease();
  request.Match();
  if (whole_blob && kDeleteSnapshotWords[delete_action]) {
    request.Header("x-ms-delete-snapshots", kDeleteSnapshotWords[delete_action]);
  }
  return request.Send(kRestVerbDelete);
}

int BlobClient::UndeleteBlob(const char* blob) {
  if (Empty(blob)) return Fail(*this, kErrBlobMissing, kTextBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), blob); rc != kOk) return rc;
  request.Query("comp", "undelete");
  return request.Send(kRestVerbPut);
}

int BlobClient::UpdatePageBlob(const char* page_blob, int64_t new_size, int32_t sequence_action,
                               int64_t new_sequence_num) {
  if (Empty(page_blob)) return Fail(*this, kErrBlobMissing, kTextPageBlobMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  if (new_size != -1 && (new_size < 0 || new_size % 512 != 0)) {
    return Fail(*this, kErrRestInvalidValue, kTextNewSize);
  }
  if (sequence_action < 0 || sequence_action > 3) {
    return Fail(*this, kErrRestInvalidValue, kTextSequenceAction);
  }
  const bool sends_number = sequence_action == 2 || sequence_action == 3;
  if (sends_number && new_sequence_num < 0) {
    return Fail(*this, kErrRestInvalidValue, kTextSequenceNum);
  }
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), page_blob); rc != kOk) return rc;
  request.Query("comp", "properties");
  request.Lease();
  request.Match();
  if (new_size != -1) request.HeaderInt64("x-ms-blob-content-length", new_size);
  if (kSequenceActionWords[sequence_action]) {
    request.Header("x-ms-sequence-number-action", kSequenceActionWords[sequence_action]);
  }
  if (sends_number) request.HeaderInt64("x-ms-blob-sequence-number", new_sequence_num);
  return request.Send(kRestVerbPut);
}

// ---- Leases ----

int BlobClient::Lease(const char* blob, int32_t action, const char* new_lease_id,
                      int32_t duration) {
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  if (action < 0 || action > 4) return Fail(*this, kErrRestInvalidValue, kTextLeaseAction);
  if (action >= 1 && action <= 3 && lease_id_.empty()) {
    return Fail(*this, kErrRestInvalidValue, kTextLeaseIdMissing);
  }
  if (action == 2 && Empty(new_lease_id)) {
    return Fail(*this, kErrRestInvalidValue, kTextNewLeaseIdMissing);
  }
  if (action == 0 && duration != -1 && (duration < 15 || duration > 60)) {
    return Fail(*this, kErrRestInvalidValue, kTextAcquireDuration);
  }
  if (action == 4 && duration != -1 && (duration < 0 || duration > 60)) {
    return Fail(*this, kErrRestInvalidValue, kTextBreakDuration);
  }
  const bool on_container = Empty(blob);
  // The new id is kept apart: a change stores it after the request, whatever the caller's
  // pointer refers to by then.
  ByteString proposed;
  if (int rc = proposed.SetText(new_lease_id ? new_lease_id : ""); rc != kOk) {
    return Fail(*this, rc, ::tw::DefaultErrorText(rc));
  }
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), on_container ? "" : blob); rc != kOk) return rc;
  request.Query("comp", "lease");
  if (on_container) request.Query("restype", "container");
  request.Header("x-ms-lease-action", kLeaseActionWords[action]);
  if (!on_container) request.Match();
  if (action >= 1 && action <= 3) request.Header(kLeaseIdHeader, lease_id_.c_str());
  if (action == 0 || action == 2) request.HeaderIfSet("x-ms-proposed-lease-id", proposed);
  if (action == 0) request.HeaderInt("x-ms-lease-duration", duration);
  if (action == 4 && duration != -1) request.HeaderInt("x-ms-lease-break-period", duration);
  int rc = request.Send(kRestVerbPut);
  if (rc != kOk) return rc;

  lease_break_period_ = -1;
  switch (action) {
    case 0:
    case 1:
      rc = lease_id_.SetText(parsed_headers().Find("x-ms-lease-id"));
      break;
    case 2:
      rc = lease_id_.Assign(proposed);
      break;
    case 3:
      lease_id_.Reset();
      break;
    default:
      lease_break_period_ = static_cast<int32_t>(ToInt64(parsed_headers().Find("x-ms-lease-time")));
      break;
  }
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

// ---- Copies ----

int BlobClient::AbortCopy(const char* dest_blob, const char* copy_id) {
  if (Empty(dest_blob)) return Fail(*this, kErrBlobMissing, kTextDestBlobMissing);
  if (Empty(copy_id)) return Fail(*this, kErrRestInvalidValue, kTextCopyIdMissing);
  if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), dest_blob); rc != kOk) return rc;
  request.Query("comp", "copy");
  request.Query("copyid", copy_id);
  request.Header("x-ms-copy-action", "abort");
  request.Lease();
  return request.Send(kRestVerbPut);
}

int BlobClient::CopyBlob(const char* src_blob, const char* dest_blob, const char* dest_container,
                         ByteString* copy_id) {
  if (copy_id) copy_id->Reset();
  ByteString source;
  int rc = kOk;
  if (copy_source_url_.empty()) {
    if (container_.empty()) return Fail(*this, kErrBlobMissing, kTextContainerMissing);
    if (Empty(src_blob)) return Fail(*this, kErrBlobMissing, kTextSrcBlobMissing);
    // The service fetches the source itself, always over https.
    const bool use_ssl = use_ssl_;
    use_ssl_ = true;
    rc = BuildRequestUrl(container_.c_str(), src_blob, &source);
    use_ssl_ = use_ssl;
    if (rc != kOk) return rc;
    if (!snapshot_.empty()) {
      rc = source.AppendText("?snapshot=");
      if (rc == kOk) rc = AppendQueryEncoded(snapshot_.c_str(), snapshot_.length(), source);
    }
  } else {
    if (container_.empty() && Empty(dest_container)) {
      return Fail(*this, kErrRestInvalidValue, kTextDestContainerMissing);
    }
    rc = source.Assign(copy_source_url_);
  }
  if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));
  if (Empty(dest_blob)) return Fail(*this, kErrBlobMissing, kTextDestBlobMissing);
  ByteString destination;
  rc = Empty(dest_container) ? destination.Assign(container_) : destination.SetText(dest_container);
  if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));
  // Container names are lower case on the service; the caller's spelling is only a spelling.
  destination.ToLower();

  OperationRequest request(*this);
  if (rc = request.Target(destination.c_str(), dest_blob); rc != kOk) return rc;
  request.Header("x-ms-copy-source", source.c_str());
  request.Lease();
  if (send_metadata_on_copy_) request.Metadata();
  if (overwrite()) {
    request.Match();
  } else {
    request.Header("If-None-Match", "*");
  }
  rc = request.Send(kRestVerbPut);
  if (rc != kOk) return rc;

  const ParsedHeaderStore& h = parsed_headers();
  rc = copy_id_.SetText(h.Find("x-ms-copy-id"));
  if (rc == kOk) rc = copy_progress_.SetText(h.Find("x-ms-copy-progress"));
  if (rc == kOk) rc = copy_status_.SetText(h.Find("x-ms-copy-status"));
  if (rc == kOk) rc = copy_status_desc_.SetText(h.Find("x-ms-copy-status-description"));
  if (rc == kOk && copy_id && copy_status_.EqualsBytes("pending", -1)) {
    rc = copy_id->Assign(copy_id_);
  }
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

// ---- The caller's own request ----

int BlobClient::SendCustomRequest(const char* method, const char* blob, const char* body) {
  const bool has_blob = !Empty(blob);
  if (has_blob && container_.empty()) {
    return Fail(*this, kErrRestInvalidValue, kTextCustomContainer);
  }
  int verb = 0;
  for (const CustomMethod& m : kCustomMethods) {
    if (method != nullptr && std::strcmp(method, m.text) == 0) verb = m.verb;
  }
  if (verb == 0) return Fail(*this, kErrRestInvalidValue, kTextCustomMethod);

  const bool to_memory = download_target_ == nullptr && local_file_name_.Length() == 0;
  bool replace = false;
  if (!to_memory && download_target_ == nullptr) {
    replace = start_byte_ <= 0 && PathExists(local_file_name_.Utf8());
    if (int rc = CheckLocalFileWritable(); rc != kOk) return rc;
  }

  OperationRequest request(*this);
  if (int rc = request.Target(container_.c_str(), has_blob ? blob : ""); rc != kOk) return rc;
  if (has_blob && !snapshot_.empty()) request.Query("snapshot", snapshot_.c_str());
  request.Lease();
  request.Match();
  set_max_transferred_data(transferred_data_limit_);
  if (int rc = request.Check(SetDownloadTarget()); rc != kOk) return rc;
  // An existing file is replaced only by a complete answer, as a download replaces it.
  FileReplacement replacement;
  if (replace) {
    if (int rc = StartReplacingDownload(replacement); rc != kOk) return rc;
  }
  const int length = body ? static_cast<int>(std::strlen(body)) : 0;
  set_local_file_new(!to_memory && download_target_ == nullptr && !replace && start_byte_ <= 0);
  int rc = request.Send(verb, body, length, false);
  set_local_file_new(false);
  // An answer cut short can leave its file open, which would bar the next request to it.
  local_handle_.Close();
  if (replacement.active()) rc = FinishReplacingDownload(replacement, rc);
  if (rc != kOk) return rc;

  const ByteString& answer = transferred_data();
  if (to_memory) {
    rc = blob_data_.Assign(answer);
    if (rc != kOk) return Fail(*this, rc, ::tw::DefaultErrorText(rc));
  }
  // An XML answer is left in the reader for the caller's XPath walks.
  if (response_content_type().Contains("application/xml")) {
    rc = ParseResponseBody(answer.data(), answer.length());
  }
  return rc;
}

}  // namespace tw
