// The four listings of the blob client: containers, blobs, blocks and page ranges, walked from the
// service's XML answer into the collections with one event per item.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "blob/blob_client.h"
#include "blob/service_words.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {

namespace {

constexpr char kTextContainerMissing[] =
    "The Container property must be set before calling this method.";
constexpr char kTextBlockBlobMissing[] = "BlockBlob must be specified when calling this method.";
constexpr char kTextPageBlobMissing[] = "PageBlob must be specified when calling this method.";
constexpr char kTextBlockListType[] = "BlockListType must be 0, 1, or 2.";
constexpr char kTextNotAListing[] =
    "Malformed response: the answer is not a listing (its root element is not %s).";
constexpr char kTextBadListedNumber[] =
    "Malformed response: %s of listed item %d is not a valid value.";
constexpr char kTextTooManyItems[] =
    "The answer would make the %s collection %lld items long, more than %s can report (%d); "
    "list fewer at a time.";
constexpr char kTextBadPageRange[] =
    "Malformed response: listed page range %d ends before it starts.";

constexpr char kContainersPath[] = "/EnumerationResults/Containers";
constexpr char kBlobsPath[] = "/EnumerationResults/Blobs";
constexpr char kNextMarkerPath[] = "/EnumerationResults/NextMarker";
constexpr char kCommittedBlocksPath[] = "/BlockList/CommittedBlocks";
constexpr char kUncommittedBlocksPath[] = "/BlockList/UncommittedBlocks";
constexpr char kPageListPath[] = "/PageList";
constexpr char kEnumerationRoot[] = "/EnumerationResults";
constexpr char kBlockListRoot[] = "/BlockList";
constexpr char kInvalidMetadataName[] = "x-ms-invalid-name";

// The include words of ListBlobs, in the order the service documents them.
struct IncludeWord {
  const char* word;
  bool (BlobClient::*on)() const;
};
constexpr IncludeWord kIncludeWords[] = {
    {"deleted", &BlobClient::include_soft_deleted},
    {"metadata", &BlobClient::list_with_metadata},
    {"snapshots", &BlobClient::include_snapshots},
    {"uncommittedblobs", &BlobClient::include_uncommitted_blobs},
};

int ItemPath(ByteString& out, const char* list_path, int i) {
  int rc = out.SetText(list_path);
  if (rc == kOk) rc = out.AppendText("/[");
  if (rc == kOk) rc = out.AppendInt(i);
  if (rc == kOk) rc = out.AppendByte(']');
  return rc;
}

bool CodePageIsUtf8(int codepage) {
  unsigned cp = static_cast<unsigned>(codepage);
  if (cp <= win::CP_THREAD_ACP) cp = win::GetACP();
  return cp == win::CP_UTF8;
}

int64_t ToInt64(const ByteString& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// A size or offset as listed: decimal digits with optional blanks around them, at most max. An
// empty text leaves *value as it is (the field was given without a value). False for anything
// else, such as a negative number, which no size or offset can be.
bool ReadListedCount(const ByteString& text, int64_t max, int64_t* value) {
  const char* p = text.c_str();
  const char* end = p + text.length();
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
  if (p == end) return true;
  int64_t n = 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    const int digit = *p - '0';
    if (n > (max - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

// Bytes a caller can hold as a text: no control characters, and well-formed UTF-8 when that is
// the code page (the control hands texts over as BSTRs, which would mangle anything else).
bool IsCleanText(const ByteString& bytes, bool utf8) {
  for (int i = 0; i < bytes.length(); ++i) {
    const uint8_t c = bytes.bytes()[i];
    if (c < 0x20 || c == 0x7F) return false;
  }
  if (!utf8) return true;
  ByteString wide;
  if (wide.Assign(bytes) != kOk) return false;
  return Utf8ToUtf16Strict(wide) == kOk;
}

}  // namespace

// ---- Reading helpers ----

bool BlobClient::ReadField(const ByteString& item_path, const char* relative, ByteString& out) {
  ByteString path;
  if (path.Assign(item_path) != kOk || path.AppendText(relative) != kOk) return false;
  return ReadText(path.c_str(), out);
}

int BlobClient::DecodeBlockId(const char* listed, ByteString& out) {
  int rc = out.SetText(listed);
  if (rc != kOk || !encode_block_ids_ || out.empty()) return rc;
  ByteString decoded;
  rc = decoded.Assign(out);
  if (rc != kOk) return rc;
  rc = DecodeBase64(decoded, false, true, false);
  if (rc == -1 || decoded.empty()) return kOk;  // not Base64: the id as the service lists it
  if (rc != kOk) return rc;
  // An id of binary bytes keeps its Base64 form, and so does one whose Base64 is not the
  // canonical form of its bytes: either way the listed text commits back to the same block.
  if (!IsCleanText(decoded, CodePageIsUtf8(GetCodePage()))) return kOk;
  ByteString again;
  rc = Base64Encode(again, decoded.data(), decoded.length(), false, 64, false);
  if (rc != kOk) return rc;
  if (!again.Equals(out)) return kOk;
  return out.Assign(decoded);
}

int BlobClient::FireItemMetadata(const ByteString& item_path, const char* container,
                                 const char* blob, const char* snapshot) {
  ByteString path;
  int rc = path.Assign(item_path);
  if (rc == kOk) rc = path.AppendText("/Metadata");
  if (rc != kOk) return rc;
  if (!SelectPath(path.c_str())) return kOk;
  // Collected first: a handler may move the reader.
  ByteStringPairArray items;
  const int count = ChildCount();
  for (int j = 0; j < count; ++j) {
    ByteStringPair* pair = items.GetOrCreate(items.Count());
    if (!pair) return kErrOutOfMemory;
    rc = ChildName(j, pair->first);
    if (rc == kOk) rc = ChildText(j, pair->second);
    if (rc != kOk) return rc;
  }
  for (int j = 0; j < items.Count(); ++j) {
    const ByteStringPair* pair = items.At(j);
    if (pair->first.EqualsBytes(kInvalidMetadataName, -1)) continue;
    FireMetadataList(container, blob, snapshot, pair->first.c_str(), pair->second.c_str());
  }
  return kOk;
}

int BlobClient::ReadContainerItem(const ByteString& item, ContainerRecord& c) {
  ByteString text;
  ReadField(item, "/Properties/Etag", c.etag);
  if (ReadField(item, "/Properties/HasImmutabilityPolicy", text)) {
    c.has_immutability_policy = ServiceTextIsTrue(text.c_str());
  }
  if (ReadField(item, "/Properties/HasLegalHold", text)) c.has_legal_hold = ServiceTextIsTrue(text.c_str());
  if (ReadField(item, "/Properties/LeaseStatus", text)) {
    c.is_leased = LeaseStatusIsLocked(text.c_str());
  }
  if (ReadField(item, "/Properties/LeaseDuration", text)) {
    c.is_lease_infinite = LeaseDurationIsInfinite(text.c_str());
  }
  if (ReadField(item, "/Properties/LeaseState", text)) {
    c.lease_state = LeaseStateFromText(text.c_str());
  }
  ReadField(item, "/Properties/Last-Modified", c.modified_time);
  ReadField(item, "/Name", c.name);
  if (ReadField(item, "/Properties/PublicAccess", text)) {
    c.public_access = PublicAccessFromText(text.c_str());
  }
  return kOk;
}

int BlobClient::ReadBlobItem(const ByteString& item, const ByteString& container_name,
                             BlobRecord& b) {
  ByteString text;
  ReadField(item, "/Properties/AccessTier", b.access_tier);
  ReadField(item, "/Properties/AccessTierChangeTime", b.access_tier_changed);
  if (ReadField(item, "/Properties/AccessTierInferred", text)) {
    b.access_tier_inferred = ServiceTextIsTrue(text.c_str());
  }
  ReadField(item, "/Properties/ArchiveStatus", b.archive_status);
  ReadField(item, "/Properties/Cache-Control", b.cache_control);
  int rc = b.container.Assign(container_name);
  if (rc != kOk) return rc;
  ReadField(item, "/Properties/Content-Disposition", b.content_disposition);
  ReadField(item, "/Properties/Content-Encoding", b.content_encoding);
  ReadField(item, "/Properties/Content-Language", b.content_language);
  if (ReadField(item, "/Properties/Content-Length", text) &&
      !ReadListedCount(text, INT64_MAX, &b.content_length)) {
    return kErrServerError;
  }
  ReadField(item, "/Properties/Content-MD5", b.content_md5);
  ReadField(item, "/Properties/Content-Type", b.content_type);
  ReadField(item, "/Properties/Creation-Time", b.created_time);
  ReadField(item, "/Properties/Etag", b.etag);
  if (ReadField(item, "/Properties/LeaseStatus", text)) {
    b.is_leased = LeaseStatusIsLocked(text.c_str());
  }
  if (ReadField(item, "/Properties/LeaseDuration", text)) {
    b.is_lease_infinite = LeaseDurationIsInfinite(text.c_str());
  }
  if (ReadField(item, "/Properties/LeaseState", text)) {
    b.lease_state = LeaseStateFromText(text.c_str());
  }
  if (ReadField(item, "/Properties/RemainingRetentionDays", text)) {
    b.retention_days_left = static_cast<int32_t>(ToInt64(text));
  }
  ReadField(item, "/Properties/Last-Modified", b.modified_time);
  ReadField(item, "/Name", b.name);
  if (ReadField(item, "/Properties/x-ms-blob-sequence-number", text)) {
    b.sequence_num = ToInt64(text);
  }
  ReadField(item, "/Snapshot", b.snapshot);
  if (ReadField(item, "/Deleted", text)) b.soft_deleted = ServiceTextIsTrue(text.c_str());
  ReadField(item, "/Properties/DeletedTime", b.soft_delete_time);
  if (ReadField(item, "/Properties/BlobType", text)) b.blob_type = BlobTypeFromText(text.c_str());
  return kOk;
}

int BlobClient::RequireListingRoot(const char* root_path) {
  if (SelectPath(root_path)) return kOk;
  // An empty or foreign answer is no listing at all, not an empty one.
  ByteString message;
  message.Format(kTextNotAListing, root_path + 1);
  SetErrorTextCode(kErrServerError, message.c_str());
  return kErrServerError;
}

int BlobClient::FailListedNumber(const char* field, int item) {
  ByteString message;
  message.Format(kTextBadListedNumber, field, item);
  SetErrorTextCode(kErrServerError, message.c_str());
  return kErrServerError;
}

int BlobClient::CheckShortCount(const char* list_path, const char* element, int have,
                                const char* what, const char* property) {
  const int count = SelectPath(list_path) ? ChildCount() : 0;
  if (static_cast<int64_t>(have) + count <= kMaxShortCount) return kOk;
  int64_t total = have;
  ByteString name;
  for (int j = 0; j < count; ++j) {
    if (element == nullptr || (ChildName(j, name) == kOk && name.EqualsBytes(element, -1))) ++total;
  }
  if (total <= kMaxShortCount) return kOk;
  ByteString message;
  message.Format(kTextTooManyItems, what, static_cast<long long>(total), property, kMaxShortCount);
  SetErrorTextCode(kErrServerError, message.c_str());
  return kErrServerError;
}

int BlobClient::SendListRequest(int rc, const char* url, const char* root_path) {
  if (rc != kOk) {
    ClearRequestState();
    SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
    return rc;
  }
  rc = SendServiceRequest(url, kRestVerbGet, nullptr, true);
  if (rc != kOk) return rc;
  return RequireListingRoot(root_path);
}

// ---- Listings ----

int BlobClient::ListContainers() {
  ByteString url;
  int rc = BuildRequestUrl("", "", &url);
  if (rc != kOk) return rc;
  rc = SetQueryParam("comp", "list");
  if (rc == kOk) rc = SetQueryParamIfSet("marker", container_marker_.c_str());
  if (rc == kOk) rc = SetQueryParamIfSet("prefix", prefix_.c_str());
  if (rc == kOk && max_results_ >= 1) rc = SetQueryParamInt("maxresults", max_results_);
  if (rc == kOk && list_with_metadata_) rc = SetQueryParam("include", "metadata");
  rc = SendListRequest(rc, url.c_str(), kEnumerationRoot);
  if (rc != kOk) return rc;

  rc = CheckShortCount(kContainersPath, nullptr, container_marker_.empty() ? 0 : containers_.Count(),
                       "container", "ContainerCount");
  if (rc != kOk) return rc;
  if (container_marker_.empty()) containers_.Clear();
  const int count = SelectPath(kContainersPath) ? ChildCount() : 0;
  ByteString item;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    rc = ItemPath(item, kContainersPath, i);
    ContainerRecord record;
    if (rc == kOk) rc = ReadContainerItem(item, record);
    if (rc == kOk) rc = containers_.InsertCopy(containers_.Count(), record);
    if (rc != kOk) break;
    FireContainerList(record);
    if (list_with_metadata_) rc = FireItemMetadata(item, record.name.c_str(), "", "");
  }
  ByteString marker;
  ReadField(ByteString(), kNextMarkerPath, marker);
  if (container_marker_.Assign(marker) != kOk && rc == kOk) rc = kErrOutOfMemory;
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

int BlobClient::ListBlobs() {
  if (container_.empty()) {
    SetErrorTextCode(kErrBlobMissing, kTextContainerMissing);
    return kErrBlobMissing;
  }
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), "", &url);
  if (rc != kOk) return rc;
  ByteString include;
  for (const IncludeWord& w : kIncludeWords) {
    if (rc != kOk || !(this->*w.on)()) continue;
    if (!include.empty()) rc = include.AppendByte(',');
    if (rc == kOk) rc = include.AppendText(w.word);
  }
  if (rc == kOk) rc = SetQueryParam("restype", "container");
  if (rc == kOk) rc = SetQueryParam("comp", "list");
  if (rc == kOk) rc = SetQueryParamIfSet("marker", blob_marker_.c_str());
  if (rc == kOk) rc = SetQueryParamIfSet("prefix", prefix_.c_str());
  if (rc == kOk) rc = SetQueryParamIfSet("delimiter", blob_delimiter_.c_str());
  if (rc == kOk && max_results_ >= 1) rc = SetQueryParamInt("maxresults", max_results_);
  if (rc == kOk) rc = SetQueryParamIfSet("include", include.c_str());
  rc = SendListRequest(rc, url.c_str(), kEnumerationRoot);
  if (rc != kOk) return rc;

  const bool continued = !blob_marker_.empty();
  rc = CheckShortCount(kBlobsPath, "Blob", continued ? blobs_.Count() : 0, "blob", "BlobCount");
  if (rc != kOk) return rc;
  if (!continued) blobs_.Clear();
  if (!(store_prefix_list_ && continued)) prefix_list_.Clear();

  ByteString container_name;
  if (!ReadAttribute("/EnumerationResults", "ContainerName", container_name)) {
    rc = container_name.Assign(container_);
  }

  const int count = (rc == kOk && SelectPath(kBlobsPath)) ? ChildCount() : 0;
  ByteString item;
  ByteString element;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    if (!SelectItem(kBlobsPath, i, nullptr)) break;
    rc = ElementName(element);
    if (rc == kOk) rc = ItemPath(item, kBlobsPath, i);
    if (rc != kOk) break;
    if (element.EqualsBytes("Blob", -1)) {
      BlobRecord record;
      rc = ReadBlobItem(item, container_name, record);
      if (rc == kErrServerError) return FailListedNumber("The Content-Length", i);
      if (rc == kOk) rc = blobs_.InsertCopy(blobs_.Count(), record);
      if (rc != kOk) break;
      FireBlobList(record);
      if (list_with_metadata_) {
        rc = FireItemMetadata(item, record.container.c_str(), record.name.c_str(),
                              record.snapshot.c_str());
      }
    } else if (element.EqualsBytes("BlobPrefix", -1)) {
      ByteString prefix;
      ReadField(item, "/Name", prefix);
      if (store_prefix_list_) rc = prefix_list_.Add(prefix.data(), prefix.length());
      if (rc == kOk) FirePrefixList(prefix.c_str());
    }
  }
  ByteString marker;
  ReadField(ByteString(), kNextMarkerPath, marker);
  if (blob_marker_.Assign(marker) != kOk && rc == kOk) rc = kErrOutOfMemory;
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

int BlobClient::ReadBlockList(const char* list_path, int block_type) {
  const int count = SelectPath(list_path) ? ChildCount() : 0;
  ByteString item;
  ByteString text;
  int rc = kOk;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    rc = ItemPath(item, list_path, i);
    if (rc != kOk) break;
    BlockRecord record;
    record.block_type = block_type;
    if (ReadField(item, "/Name", text)) {
      rc = DecodeBlockId(text.c_str(), record.id);
      // Not decoded: the listed text is the id's wire form already.
      record.id_is_encoded = rc == kOk && encode_block_ids_ && record.id.Equals(text);
    }
    if (rc == kOk && ReadField(item, "/Size", text)) {
      int64_t size = record.size;
      if (!ReadListedCount(text, INT32_MAX, &size)) {
        rc = FailListedNumber("The block size", i);
        break;
      }
      record.size = static_cast<int32_t>(size);
    }
    if (rc == kOk) rc = blocks_.InsertCopy(blocks_.Count(), record);
    if (rc == kOk) FireBlockList(record);
  }
  return rc;
}

int BlobClient::ListBlocks(const char* block_blob, int block_list_type) {
  if (container_.empty()) {
    SetErrorTextCode(kErrBlobMissing, kTextContainerMissing);
    return kErrBlobMissing;
  }
  if (!block_blob || !*block_blob) {
    SetErrorTextCode(kErrBlobMissing, kTextBlockBlobMissing);
    return kErrBlobMissing;
  }
  const bool with_snapshot = !snapshot_.empty();
  if (!with_snapshot && (block_list_type < kBlockListCommitted || block_list_type > kBlockListAll)) {
    SetErrorTextCode(kErrInvalidValue, kTextBlockListType);
    return kErrInvalidValue;
  }
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), block_blob, &url);
  if (rc != kOk) return rc;
  rc = SetQueryParam("comp", "blocklist");
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) {
    rc = with_snapshot ? SetQueryParam("snapshot", snapshot_.c_str())
                       : SetQueryParam("blocklisttype", kBlockListTypes[block_list_type]);
  }
  rc = SendListRequest(rc, url.c_str(), kBlockListRoot);
  if (rc != kOk) return rc;

  blocks_.Clear();
  rc = ReadBlockList(kCommittedBlocksPath, kBlockCommitted);
  if (rc == kOk) rc = ReadBlockList(kUncommittedBlocksPath, kBlockUncommitted);
  if (rc != kOk && rc != kErrServerError) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

int BlobClient::ListPageRanges(const char* page_blob) {
  if (container_.empty()) {
    SetErrorTextCode(kErrBlobMissing, kTextContainerMissing);
    return kErrBlobMissing;
  }
  if (!page_blob || !*page_blob) {
    SetErrorTextCode(kErrBlobMissing, kTextPageBlobMissing);
    return kErrBlobMissing;
  }
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), page_blob, &url);
  if (rc != kOk) return rc;
  rc = SetQueryParam("comp", "pagelist");
  if (rc == kOk) rc = SetQueryParamIfSet("snapshot", snapshot_.c_str());
  if (rc == kOk) rc = SetQueryParamIfSet("prevsnapshot", previous_snapshot_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc == kOk && !range().empty()) {
    ByteString value;
    rc = value.SetText("bytes=");
    if (rc == kOk) rc = value.AppendString(range());
    if (rc == kOk) rc = AddHeader("x-ms-range", value.c_str());
  }
  rc = SendListRequest(rc, url.c_str(), kPageListPath);
  if (rc != kOk) return rc;

  page_ranges_.Clear();
  const int count = SelectPath(kPageListPath) ? ChildCount() : 0;
  ByteString item;
  ByteString element;
  ByteString text;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    if (!SelectItem(kPageListPath, i, nullptr)) break;
    PageRangeRecord record;
    rc = ElementName(element);
    if (rc == kOk) rc = ItemPath(item, kPageListPath, i);
    if (rc != kOk) break;
    record.cleared = element.EqualsBytes("ClearRange", -1);
    if (ReadField(item, "/Start", text) && !ReadListedCount(text, INT64_MAX, &record.first)) {
      return FailListedNumber("The start", i);
    }
    if (ReadField(item, "/End", text) && !ReadListedCount(text, INT64_MAX, &record.last)) {
      return FailListedNumber("The end", i);
    }
    if (record.last < record.first) {
      ByteString message;
      message.Format(kTextBadPageRange, i);
      SetErrorTextCode(kErrServerError, message.c_str());
      return kErrServerError;
    }
    rc = page_ranges_.InsertCopy(page_ranges_.Count(), record);
  }
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

}  // namespace tw
