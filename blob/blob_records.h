// The records of the blob client's collections (containers, blobs, blocks, page ranges, access
// policies) and the mappings from the service's texts to their enumerated values.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

// Lease states of blobs and containers.
constexpr int kLeaseAvailable = 0;
constexpr int kLeaseLeased = 1;
constexpr int kLeaseExpired = 2;
constexpr int kLeaseBreaking = 3;
constexpr int kLeaseBroken = 4;

// Blob types.
constexpr int kBlockBlob = 0;
constexpr int kPageBlob = 1;
constexpr int kAppendBlob = 2;

// Block types of block listings.
constexpr int kBlockCommitted = 0;
constexpr int kBlockUncommitted = 1;
constexpr int kBlockLatest = 2;

// Public access levels of containers.
constexpr int kPublicAccessNone = 0;
constexpr int kPublicAccessBlob = 1;
constexpr int kPublicAccessContainer = 2;

struct AccessPolicyRecord {
  ByteString expiry_time;
  ByteString id;
  ByteString permissions;
  ByteString start_time;

  int CopyFrom(const AccessPolicyRecord& other);
};

struct ContainerRecord {
  ByteString etag;
  bool has_immutability_policy = false;
  bool has_legal_hold = false;
  bool is_leased = false;
  bool is_lease_infinite = false;
  int32_t lease_state = kLeaseAvailable;
  ByteString modified_time;
  ByteString name;
  int32_t public_access = kPublicAccessNone;

  int CopyFrom(const ContainerRecord& other);
};

struct BlobRecord {
  ByteString access_tier;
  ByteString access_tier_changed;
  bool access_tier_inferred = false;
  ByteString archive_status;
  ByteString cache_control;
  ByteString container;
  ByteString content_disposition;
  ByteString content_encoding;
  ByteString content_language;
  int64_t content_length = 0;
  ByteString content_md5;
  ByteString content_type;
  ByteString created_time;
  ByteString etag;
  bool is_leased = false;
  bool is_lease_infinite = false;
  int32_t lease_state = kLeaseAvailable;
  // -1 when the listing gave no RemainingRetentionDays.
  int32_t retention_days_left = -1;
  ByteString modified_time;
  ByteString name;
  // -1 when the listing gave no sequence number (block and append blobs).
  int64_t sequence_num = -1;
  ByteString snapshot;
  bool soft_deleted = false;
  ByteString soft_delete_time;
  int32_t blob_type = kBlockBlob;

  int CopyFrom(const BlobRecord& other);
};

struct BlockRecord {
  ByteString id;  // the decoded id (or the id as listed, see ListBlocks)
  int32_t size = -1;
  int32_t block_type = kBlockCommitted;
  // The id kept the Base64 form the service listed (binary bytes): committed back as it is.
  bool id_is_encoded = false;

  int CopyFrom(const BlockRecord& other);
};

struct PageRangeRecord {
  bool cleared = false;
  int64_t first = 0;  // both offsets inclusive, as the service reports them
  int64_t last = 0;

  int CopyFrom(const PageRangeRecord& other);
};

using AccessPolicyArray = PtrArray<AccessPolicyRecord>;
using BlobArray = PtrArray<BlobRecord>;
using BlockArray = PtrArray<BlockRecord>;
using ContainerArray = PtrArray<ContainerRecord>;
using PageRangeArray = PtrArray<PageRangeRecord>;

// The service's texts, compared exactly. A null text counts as "".
bool LeaseStatusIsLocked(const char* text);      // "locked"
bool LeaseDurationIsInfinite(const char* text);  // "infinite"
int LeaseStateFromText(const char* text);        // "leased" 1 ... "broken" 4, else 0
int BlobTypeFromText(const char* text);          // "PageBlob" 1, "AppendBlob" 2, else 0
int PublicAccessFromText(const char* text);      // "blob" 1, "container" 2, else 0
bool ServiceTextIsTrue(const char* text);               // "true" in any case

}  // namespace tw
