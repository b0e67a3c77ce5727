#include "blob/blob_records.h"

#include <cstring>
#include <initializer_list>
#include <utility>

#include "blob/service_words.h"

namespace tw {

namespace {

// The value whose word is text, compared exactly; 0 for any other text.
template <size_t N>
int Lookup(const char* const (&words)[N], const char* text) {
  if (!text) return 0;
  for (size_t i = 0; i < N; ++i) {
    if (words[i] != nullptr && std::strcmp(words[i], text) == 0) return static_cast<int>(i);
  }
  return 0;
}

bool Is(const char* text, const char* wanted) { return text && std::strcmp(text, wanted) == 0; }

// Copies each string in turn; the first failure is the result.
int CopyAll(std::initializer_list<std::pair<ByteString*, const ByteString*>> pairs) {
  for (const auto& [to, from] : pairs) {
    if (int rc = to->Assign(*from); rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace

int AccessPolicyRecord::CopyFrom(const AccessPolicyRecord& o) {
  return CopyAll({{&expiry_time, &o.expiry_time},
                  {&id, &o.id},
                  {&permissions, &o.permissions},
                  {&start_time, &o.start_time}});
}

int ContainerRecord::CopyFrom(const ContainerRecord& o) {
  has_immutability_policy = o.has_immutability_policy;
  has_legal_hold = o.has_legal_hold;
  is_leased = o.is_leased;
  is_lease_infinite = o.is_lease_infinite;
  lease_state = o.lease_state;
  public_access = o.public_access;
  return CopyAll({{&etag, &o.etag}, {&modified_time, &o.modified_time}, {&name, &o.name}});
}

int BlobRecord::CopyFrom(const BlobRecord& o) {
  access_tier_inferred = o.access_tier_inferred;
  content_length = o.content_length;
  is_leased = o.is_leased;
  is_lease_infinite = o.is_lease_infinite;
  lease_state = o.lease_state;
  retention_days_left = o.retention_days_left;
  sequence_num = o.sequence_num;
  soft_deleted = o.soft_deleted;
  blob_type = o.blob_type;
  return CopyAll({{&access_tier, &o.access_tier},
                  {&access_tier_changed, &o.access_tier_changed},
                  {&archive_status, &o.archive_status},
                  {&cache_control, &o.cache_control},
                  {&container, &o.container},
                  {&content_disposition, &o.content_disposition},
                  {&content_encoding, &o.content_encoding},
                  {&content_language, &o.content_language},
                  {&content_md5, &o.content_md5},
                  {&content_type, &o.content_type},
                  {&created_time, &o.created_time},
                  {&etag, &o.etag},
                  {&modified_time, &o.modified_time},
                  {&name, &o.name},
                  {&snapshot, &o.snapshot},
                  {&soft_delete_time, &o.soft_delete_time}});
}

int BlockRecord::CopyFrom(const BlockRecord& o) {
  size = o.size;
  block_type = o.block_type;
  id_is_encoded = o.id_is_encoded;
  return id.Assign(o.id);
}

int PageRangeRecord::CopyFrom(const PageRangeRecord& o) {
  cleared = o.cleared;
  first = o.first;
  last = o.last;
  return kOk;
}

bool LeaseStatusIsLocked(const char* text) { return Is(text, "locked"); }

bool LeaseDurationIsInfinite(const char* text) { return Is(text, "infinite"); }

int LeaseStateFromText(const char* text) { return Lookup(kLeaseStateWords, text); }

int BlobTypeFromText(const char* text) { return Lookup(kBlobTypeHeaders, text); }

int PublicAccessFromText(const char* text) { return Lookup(kPublicAccessWords, text); }

bool ServiceTextIsTrue(const char* text) {
  if (!text || std::strlen(text) != 4) return false;
  static constexpr char kTrue[] = "true";
  for (int i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != kTrue[i]) return false;
  }
  return true;
}

}  // namespace tw
