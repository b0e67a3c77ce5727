#include "blob/blob_client.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "blob/shared_access_signature.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {

namespace {

constexpr char kTextAccountNotSet[] = "Account must be set.";
constexpr char kTextInvalidAction[] = "Invalid HTTP action.";
constexpr char kTextInvalidIndex[] = "Invalid index.";
constexpr char kTextMaxResults[] = "Valid values for MaxResults are -1 or 1-5000 (inclusive).";
constexpr char kTextSimpleUploadLimit[] = "Invalid SimpleUploadLimit value.";

constexpr const char* kIndexTexts[] = {
    "Invalid AccessPolicyIndex (out of bounds).", "Invalid BlobIndex (out of bounds).",
    "Invalid BlockIndex (out of bounds).",        "Invalid ContainerIndex (out of bounds).",
    "Invalid MetadataIndex (out of bounds).",     "Invalid PageRangeIndex (out of bounds).",
    "Invalid QueryParamIndex (out of bounds).",
};

constexpr char kVersionHeader[] = "x-ms-version";
constexpr char kMetaPrefix[] = "x-ms-meta-";
constexpr char kFormatMetadataName[] =
    "Metadata name \"%s\" cannot be sent: a header name holds only letters, digits and the "
    "characters !#$%%&'*+-.^_`|~.";

bool IsAsciiAlnum(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A path segment as the service's URLs carry it: letters, digits and ' ( ) , - . / = _ ~ stay,
// every other byte becomes %XX, so "/" keeps separating virtual directories.
int AppendPathEncoded(ByteString& out, const ByteString& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr char kKeep[] = "'(),-./=_~";
  for (int i = 0; i < bytes.length(); ++i) {
    const uint8_t c = bytes.bytes()[i];
    int rc;
    if (IsAsciiAlnum(c) || (c != 0 && std::strchr(kKeep, c) != nullptr)) {
      rc = out.AppendByte(c);
    } else {
      const char escape[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      rc = out.Append(escape, 3);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace

BlobClient::BlobClient() {
  signer_.SetOwner(this);
  endpoint_.SetText(kBlobDefaultEndpoint);
  block_list_separator_.SetText(",");
}

BlobClient::~BlobClient() {
  WipeString(access_key_);
  WipeString(authorization_property_);
}

bool BlobClient::Initialize() {
  signer_.SetOwner(this);
  if (InitializeDocuments() != kOk) return false;
  if (ResetRestLayer() != kOk) return false;
  return Reset() == kOk;
}

int BlobClient::Reset() {
  int rc = XmlRestClient::Reset();
  if (rc == kOk) rc = ResetSettings();
  return rc;
}

int BlobClient::ResetSettings() {
  appended_block_count_ = -1;
  auto_add_blocks_ = true;
  encode_block_ids_ = true;
  fragment_size_ = kBlobDefaultFragmentSize;
  lease_break_period_ = -1;
  list_with_metadata_ = false;
  max_results_ = -1;
  prefix_list_.Clear();
  send_metadata_ = false;
  send_metadata_on_copy_ = false;
  send_metadata_on_put_block_list_ = false;
  send_metadata_on_snapshot_ = false;
  simple_upload_limit_ = kBlobDefaultSimpleUploadLimit;
  store_prefix_list_ = false;
  use_ssl_ = true;
  include_snapshots_ = false;
  include_soft_deleted_ = false;
  include_uncommitted_blobs_ = false;
  int rc = block_list_separator_.SetText(",");
  if (rc == kOk) rc = endpoint_.SetText(kBlobDefaultEndpoint);
  WipeString(access_key_);
  WipeString(authorization_property_);
  for (ByteString* s : {&account_, &blob_data_, &blob_delimiter_, &blob_marker_, &container_,
                        &container_marker_, &copy_id_, &copy_progress_, &copy_source_url_,
                        &copy_status_, &copy_status_desc_, &if_match_, &lease_id_, &prefix_,
                        &previous_snapshot_, &snapshot_, &other_headers_property_,
                        &upload_blob_name_}) {
    s->Reset();
  }
  access_policies_.Clear();
  blobs_.Clear();
  blocks_.Clear();
  containers_.Clear();
  metadata_.Clear();
  page_ranges_.Clear();
  query_params_.Clear();
  return rc;
}

// ---- Settings ----

int BlobClient::SetEndpoint(const char* text) {
  int rc = endpoint_.SetText(text ? text : "");
  if (rc != kOk) return rc;
  endpoint_.Trim();
  if (endpoint_.empty()) return endpoint_.SetText(kBlobDefaultEndpoint);
  if (endpoint_.EndsWith("/")) endpoint_.PopBack();
  return kOk;
}

int BlobClient::SetMaxResults(int32_t n) {
  if (n != -1 && (n < 1 || n > 5000)) {
    SetErrorTextCode(kErrInvalidValue, kTextMaxResults);
    return kErrInvalidValue;
  }
  max_results_ = n;
  return kOk;
}

int BlobClient::SetSimpleUploadLimit(int64_t n) {
  if (n < 0 || n > kBlobDefaultSimpleUploadLimit) {
    SetErrorTextCode(kErrInvalidValue, kTextSimpleUploadLimit);
    return kErrInvalidValue;
  }
  simple_upload_limit_ = n;
  return kOk;
}

int BlobClient::IndexedSetting(ConfigRequest& request, const char** answer, bool* handled) {
  *handled = true;
  const bool read = request.is_read();
  const int i = request.index();
  auto bad_index = [&](int count) {
    if (i >= 0 && i < count) return false;
    SetErrorTextCode(kErrBlobInvalidIndex, kTextInvalidIndex);
    return true;
  };

  struct BlobText {
    const char* name;
    ByteString BlobRecord::*field;
    bool writable;
  };
  static constexpr BlobText kBlobTexts[] = {
      {"BlobAccessTier", &BlobRecord::access_tier, false},
      {"BlobAccessTierChanged", &BlobRecord::access_tier_changed, false},
      {"BlobArchiveStatus", &BlobRecord::archive_status, false},
      {"BlobCacheControl", &BlobRecord::cache_control, true},
      {"BlobContentLanguage", &BlobRecord::content_language, true},
      {"BlobSoftDeleteTime", &BlobRecord::soft_delete_time, false},
  };
  for (const BlobText& t : kBlobTexts) {
    if (!request.NameIs(t.name)) continue;
    if (!read && !t.writable) break;
    if (bad_index(blobs_.Count())) return kErrBlobInvalidIndex;
    BlobRecord* blob = blobs_.GetOrCreate(i);
    if (!blob) {
      SetErrorTextCode(kErrOutOfMemory, ::tw::DefaultErrorText(kErrOutOfMemory));
      return kErrOutOfMemory;
    }
    if (read) return SetConfigAnswer((blob->*t.field).c_str(), answer);
    return (blob->*t.field).SetText(request.value().c_str());
  }
  if (read && request.NameIs("BlobAccessTierInferred")) {
    if (bad_index(blobs_.Count())) return kErrBlobInvalidIndex;
    const BlobRecord* blob = blobs_.At(i);
    return SetConfigAnswerBool(blob && blob->access_tier_inferred, answer);
  }
  if (read && request.NameIs("BlobRetentionDaysLeft")) {
    if (bad_index(blobs_.Count())) return kErrBlobInvalidIndex;
    const BlobRecord* blob = blobs_.At(i);
    return SetConfigAnswerSigned(blob ? blob->retention_days_left : -1, answer);
  }
  if (read && request.NameIs("PageRangeCleared")) {
    if (bad_index(page_ranges_.Count())) return kErrBlobInvalidIndex;
    const PageRangeRecord* range = page_ranges_.At(i);
    return SetConfigAnswerBool(range && range->cleared, answer);
  }
  if (read && request.NameIs("Prefix")) {
    if (bad_index(prefix_list_.Count())) return kErrBlobInvalidIndex;
    return SetConfigAnswer(prefix_list_.Get(i), answer);
  }
  *handled = false;
  return kOk;
}

int BlobClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();

  bool handled = false;
  int rc = IndexedSetting(request, answer, &handled);
  if (handled) return rc;

  if (ConfigSwitches(request, answer, {
      {"AutoAddBlocks", &auto_add_blocks_},
      {"EncodeBlockIds", &encode_block_ids_},
      {"IncludeSnapshots", &include_snapshots_},
      {"IncludeSoftDeleted", &include_soft_deleted_},
      {"IncludeUncommittedBlobs", &include_uncommitted_blobs_},
      {"ListWithMetadata", &list_with_metadata_},
      {"SendMetadata", &send_metadata_},
      {"SendMetadataOnCopy", &send_metadata_on_copy_},
      {"SendMetadataOnPutBlockList", &send_metadata_on_put_block_list_},
      {"SendMetadataOnSnapshot", &send_metadata_on_snapshot_},
      {"StorePrefixList", &store_prefix_list_},
  }, &rc)) {
    return rc;
  }

  struct Text {
    const char* name;
    ByteString* field;
    bool writable;
  };
  const Text texts[] = {
      {"BlockListStringSeparator", &block_list_separator_, true},
      {"CopyId", &copy_id_, false},
      {"CopyProgress", &copy_progress_, false},
      {"CopySourceURL", &copy_source_url_, true},
      {"CopyStatus", &copy_status_, false},
      {"CopyStatusDesc", &copy_status_desc_, false},
      {"IfMatch", &if_match_, true},
      {"PreviousSnapshot", &previous_snapshot_, true},
  };
  for (const Text& t : texts) {
    if (!request.NameIs(t.name)) continue;
    if (read) return SetConfigAnswer(t.field->c_str(), answer);
    if (!t.writable) break;
    return t.field->SetText(value);
  }

  if (request.NameIs("Endpoint")) {
    if (read) return SetConfigAnswer(endpoint_.c_str(), answer);
    return SetEndpoint(value);
  }
  if (request.NameIs("MaxResults")) {
    if (read) return SetConfigAnswerSigned(max_results_, answer);
    return SetMaxResults(request.ValueAsInt());
  }
  if (request.NameIs("SimpleUploadLimit")) {
    if (read) return SetConfigAnswerInt64(simple_upload_limit_, answer);
    return SetSimpleUploadLimit(request.ValueAsInt64());
  }
  if (read) {
    if (request.NameIs("APIVersion")) return SetConfigAnswer(kBlobApiVersion, answer);
    if (request.NameIs("AppendedBlockCount")) {
      return SetConfigAnswerInt64(appended_block_count_, answer);
    }
    if (request.NameIs("LastStringToSign")) {
      return SetConfigAnswer(signer_.string_to_sign().c_str(), answer);
    }
    if (request.NameIs("LeaseBreakPeriod")) {
      return SetConfigAnswerSigned(lease_break_period_, answer);
    }
    if (request.NameIs("PrefixCount")) return SetConfigAnswerSigned(prefix_list_.Count(), answer);
  }
  return XmlRestClient::Config(request, answer);
}

// ---- Collections ----

int BlobClient::CollectionCount(BlobCollection collection) const {
  switch (collection) {
    case BlobCollection::kAccessPolicies:
      return access_policies_.Count();
    case BlobCollection::kBlobs:
      return blobs_.Count();
    case BlobCollection::kBlocks:
      return blocks_.Count();
    case BlobCollection::kContainers:
      return containers_.Count();
    case BlobCollection::kMetadata:
      return metadata_.Count();
    case BlobCollection::kPageRanges:
      return page_ranges_.Count();
    case BlobCollection::kQueryParams:
      return query_params_.Count();
  }
  return 0;
}

int BlobClient::CheckIndex(BlobCollection collection, int index) {
  if (index >= 0 && index < CollectionCount(collection)) return kOk;
  SetErrorTextCode(kErrIndexOutOfRange, kIndexTexts[static_cast<int>(collection)]);
  return kErrIndexOutOfRange;
}

int BlobClient::AddBlock(const char* id, int block_type) {
  BlockRecord* block = NewRecord<BlockRecord>();
  if (!block) return kErrOutOfMemory;
  block->block_type = block_type;
  if (int rc = block->id.SetText(id ? id : ""); rc != kOk) {
    DeleteRecord(block);
    return rc;
  }
  return blocks_.InsertOwned(blocks_.Count(), block);
}

int BlobClient::AddMetadata(const char* name, const char* value) {
  return metadata_.Add(name, value);
}

int BlobClient::AddQueryParam(const char* name, const char* value) {
  if (!name || !*name) return kOk;
  for (int i = 0; i < query_params_.Count(); ++i) {
    ByteStringPair* pair = query_params_.At(i);
    if (pair && pair->first.EqualsNoCase(name)) return pair->second.SetText(value ? value : "");
  }
  return query_params_.Add(name, value);
}

// ---- Requests ----

int BlobClient::BuildRequestUrl(const char* container, const char* blob, ByteString* url) {
  url->Reset();
  if (account_.empty()) {
    SetErrorTextCode(kErrServerAuth, kTextAccountNotSet);
    return kErrServerAuth;
  }
  int rc = url->SetText(use_ssl_ ? "https://" : "http://");
  if (rc == kOk) rc = url->AppendString(account_);
  if (rc == kOk) rc = url->AppendText(".blob");
  if (rc == kOk) rc = url->AppendString(endpoint_);
  if (rc == kOk) rc = url->AppendByte('/');
  if (rc == kOk && container && *container) {
    // Names travel as UTF-8 whatever the code page of the caller's text.
    const unsigned codepage = static_cast<unsigned>(GetCodePage());
    ByteString utf8;
    rc = AppendUtf8FromCodePage(utf8, container, static_cast<int>(std::strlen(container)),
                                codepage);
    if (rc == kOk) rc = AppendPathEncoded(*url, utf8);
    if (rc == kOk && blob && *blob) {
      utf8.Reset();
      rc = AppendUtf8FromCodePage(utf8, blob, static_cast<int>(std::strlen(blob)), codepage);
      if (rc == kOk) rc = url->AppendByte('/');
      if (rc == kOk) rc = AppendPathEncoded(*url, utf8);
    }
  }
  if (rc != kOk) {
    url->Reset();
    SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  }
  return rc;
}

int BlobClient::SendServiceRequest(const char* url, int verb, const char* body, bool parse) {
  const int length = body ? static_cast<int>(std::strlen(body)) : 0;
  return SendRequest(url, verb, body, length, parse);
}

int BlobClient::SendRequest(const char* url, int verb, const void* body, int length, bool parse) {
  ByteString request_url;
  const char* verb_text = RestVerbText(verb);
  int rc = kOk;
  for (int i = 0; rc == kOk && i < query_params_.Count(); ++i) {
    const ByteStringPair* pair = query_params_.At(i);
    if (pair) rc = SetQueryParam(pair->first.c_str(), pair->second.c_str());
  }
  if (rc == kOk) rc = MergeUrlQuery(url ? url : "", request_url);
  if (rc == kOk) rc = AddHeader(kVersionHeader, kBlobApiVersion);
  if (rc == kOk) rc = AddHeaderLines(other_headers_property_.c_str());
  if (rc != kOk) {
    SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  } else if (int bad = CheckMetadataNames(); bad != kOk) {
    rc = bad;
  } else if (!verb_text) {
    rc = kErrRestInvalidValue;
    SetErrorTextCode(rc, kTextInvalidAction);
  }
  if (rc == kOk && length > 0) signer_.SetContentLength(length);
  if (rc == kOk) {
    if (!authorization_property_.empty()) {
      rc = SetAuthorization(authorization_property_.c_str());
      if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
    } else {
      ByteString signature;
      rc = signer_.SetCredentials(account_.c_str(), access_key_.c_str());
      if (rc != kOk) {
        SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
      } else {
        // The signer leaves its own text on the client when it fails.
        rc = signer_.Sign(verb_text, request_url.c_str(), request_query(), request_headers(),
                          &signature);
        if (rc != kOk) set_error_code(rc);
      }
      if (rc == kOk) rc = SetAuthorization(signature.c_str());
      WipeString(signature);
    }
  }
  if (rc != kOk) {
    ClearRequestState();
    return rc;
  }
  return TransferRequest(request_url.c_str(), verb, body, length, parse);
}

int BlobClient::CheckMetadataNames() {
  constexpr std::string_view kTokenMarks = "!#$%&'*+-.^_`|~";
  const int prefix = static_cast<int>(sizeof kMetaPrefix - 1);
  for (int i = 0; i < request_headers().Count(); ++i) {
    const ByteString& name = request_headers().At(i)->first;
    if (!StartsWithNoCase(name.c_str(), kMetaPrefix)) continue;
    bool valid = name.length() > prefix;
    for (int k = 0; valid && k < name.length(); ++k) {
      const char c = name.c_str()[k];
      valid = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              kTokenMarks.find(c) != std::string_view::npos;
    }
    if (valid) continue;
    ByteString text;
    text.Format(kFormatMetadataName, name.c_str() + prefix);
    SetErrorTextCode(kErrRestInvalidValue, text.c_str());
    return kErrRestInvalidValue;
  }
  return kOk;
}

// ---- Shared access ----

int BlobClient::GetLink(const char* blob, const char* permissions, const char* start_time,
                        const char* expiry_time, ByteString* link) {
  SasLinkRequest request;
  request.account = account_.c_str();
  request.access_key = access_key_.c_str();
  request.container = container_.c_str();
  request.blob = blob ? blob : "";
  request.snapshot = snapshot_.c_str();
  request.permissions = permissions ? permissions : "";
  request.start_time = start_time ? start_time : "";
  request.expiry_time = expiry_time ? expiry_time : "";
  request.query_params = &query_params_;
  const int rc = SharedAccessSignature(this, signer_).GetLink(
      request, [&](ByteString* url) { return BuildRequestUrl(request.container, request.blob, url); },
      link);
  // Nothing of the link may ride along on the next request.
  ClearRequestState();
  return rc;
}

int BlobClient::ClearRequestState() {
  signer_.SetContentLength(-1);
  return XmlRestClient::ClearRequestState();
}

// ---- Events ----

int BlobClient::FireProgress(int direction, int64_t done, int64_t total, int percent) {
  return FireEvent(kBlobEventProgress, direction, done, total, percent);
}

int BlobClient::NotifyFragmentComplete(int fragment_number, int fragment_count, int* interrupt) {
  return FireFragmentComplete(fragment_number, fragment_count, interrupt);
}

int BlobClient::FireFragmentComplete(int fragment_number, int fragment_count, int* interrupt) {
  int ignored = 0;
  return FireEvent(kBlobEventFragmentComplete, fragment_number, fragment_count,
                   interrupt ? interrupt : &ignored);
}

int BlobClient::FireSSLStatus(const char* message) {
  return FireEvent(kBlobEventSslStatus, message);
}

int BlobClient::FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                            const char* issuer, const char* status,
                                            int* accept) {
  if (event_sink() == nullptr) return kOk;
  EventBlock block;
  if (block.Set(encoded, length) != kOk) return kErrOutOfMemory;
  int ignored = 0;
  return FireEvent(kBlobEventSslServerAuthentication, block.text(), block.length(), subject,
                   issuer, status, accept ? accept : &ignored);
}

int BlobClient::FireLog(int level, const char* text, const char* type) {
  return FireEvent(kBlobEventLog, level, text, type);
}

int BlobClient::FireHeader(const char* field, const char* value) {
  return FireEvent(kBlobEventHeader, field, value);
}

int BlobClient::FireStartTransfer(int direction) {
  return FireEvent(kBlobEventStartTransfer, direction);
}

int BlobClient::FireTransfer(int direction, int64_t bytes, int percent, const void* data,
                             int n) {
  if (event_sink() == nullptr) return kOk;
  // The sink reads the data as a text: a private NUL-terminated copy of it.
  EventBlock block;
  if (block.Set(data, data ? n : 0) != kOk) return kErrOutOfMemory;
  return FireEvent(kBlobEventTransfer, direction, bytes, percent, block.text(), block.length());
}

int BlobClient::FireBlobList(const BlobRecord& b) {
  return FireEvent(kBlobEventBlobList, b.name.c_str(), b.container.c_str(),
                   static_cast<int>(b.blob_type), b.snapshot.c_str(), b.content_length,
                   b.content_type.c_str(), b.created_time.c_str(), b.modified_time.c_str(),
                   b.etag.c_str(), static_cast<int>(b.soft_deleted),
                   static_cast<int>(b.is_leased), static_cast<int>(b.lease_state));
}

int BlobClient::FireBlockList(const BlockRecord& block) {
  return FireEvent(kBlobEventBlockList, block.id.c_str(), static_cast<int>(block.block_type),
                   static_cast<int>(block.size));
}

int BlobClient::FireContainerList(const ContainerRecord& c) {
  return FireEvent(kBlobEventContainerList, c.name.c_str(), c.modified_time.c_str(),
                   c.etag.c_str(), static_cast<int>(c.is_leased), static_cast<int>(c.lease_state));
}

int BlobClient::FireMetadataList(const char* container, const char* blob, const char* snapshot,
                                 const char* name, const char* value) {
  return FireEvent(kBlobEventMetadataList, container, blob, snapshot, name, value);
}

int BlobClient::FirePrefixList(const char* prefix) {
  return FireEvent(kBlobEventPrefixList, prefix);
}

}  // namespace tw
