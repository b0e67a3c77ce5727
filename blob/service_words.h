// The service's words for the numbered values of the blob operations and records. Each table is
// indexed by the value, so a word stands at its number; null: no word is sent for that value.
#pragma once

#include <iterator>

#include "blob/blob_records.h"

namespace tw {

// x-ms-blob-type, CreateBlob and the blob records: 0 block, 1 page, 2 append blob.
inline constexpr const char* kBlobTypeHeaders[] = {"BlockBlob", "PageBlob", "AppendBlob"};
// The elements of a block list body, by block type.
inline constexpr const char* kBlockElements[] = {"Committed", "Uncommitted", "Latest"};
// blocklisttype of ListBlocks.
inline constexpr const char* kBlockListTypes[] = {"committed", "uncommitted", "all"};
// x-ms-delete-snapshots of DeleteBlob: 0 deletes the blob alone.
inline constexpr const char* kDeleteSnapshotWords[] = {nullptr, "only", "include"};
// x-ms-lease-action of Lease.
inline constexpr const char* kLeaseActionWords[] = {"acquire", "renew", "change", "release",
                                                    "break"};
// x-ms-lease-state of blobs and containers; an unknown word reads as 0.
inline constexpr const char* kLeaseStateWords[] = {"available", "leased", "expired", "breaking",
                                                   "broken"};
// x-ms-blob-public-access of containers: 0 is no public access.
inline constexpr const char* kPublicAccessWords[] = {nullptr, "blob", "container"};
// x-ms-sequence-number-action of UpdatePageBlob: 0 leaves the number alone.
inline constexpr const char* kSequenceActionWords[] = {nullptr, "increment", "update", "max"};

static_assert(std::size(kBlobTypeHeaders) == kAppendBlob + 1);
static_assert(std::size(kBlockElements) == kBlockLatest + 1);
static_assert(std::size(kLeaseStateWords) == kLeaseBroken + 1);
static_assert(std::size(kPublicAccessWords) == kPublicAccessContainer + 1);

}  // namespace tw
