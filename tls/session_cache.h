// Saved TLS sessions that a later handshake can resume.
#pragma once

#include <cstdint>
#include <new>

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct SessionCacheEntry {
  ByteString session_id;
  ByteString master_secret;
  ByteString server_name;
  // The suite id and version the session was made with (two bytes each).
  ByteString fourth;
  int64_t time_stamp = 0;

  // How long a saved session may be resumed.
  static constexpr int64_t kLifetimeSeconds = 2 * 60 * 60;

  // An entry can be resumed only with both an id and a secret.
  bool Valid() const { return !session_id.empty() && !master_secret.empty(); }

  int SetSuiteAndVersion(uint16_t suite, uint16_t version) {
    const uint8_t tag[4] = {static_cast<uint8_t>(suite >> 8), static_cast<uint8_t>(suite),
                            static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version)};
    return fourth.Set(tag, 4);
  }
  // A session resumes only with the suite and version it was made with, and not once it expired.
  bool Resumable(uint16_t suite, uint16_t version, int64_t now) const {
    if (fourth.length() != 4 || now - time_stamp > kLifetimeSeconds) return false;
    const uint8_t* t = fourth.bytes();
    return (t[0] << 8 | t[1]) == suite && (t[2] << 8 | t[3]) == version;
  }

  int CopyFrom(const SessionCacheEntry& other) {
    time_stamp = other.time_stamp;
    int rc = session_id.Assign(other.session_id);
    if (rc == kOk) rc = master_secret.Assign(other.master_secret);
    if (rc == kOk) rc = server_name.Assign(other.server_name);
    if (rc == kOk) rc = fourth.Assign(other.fourth);
    return rc;
  }
};

class SessionCache : public PtrArray<SessionCacheEntry> {
 public:
  int32_t max_count = 200;

  // Takes the entry; past the maximum count one entry is evicted. 0 or 200.
  int Add(SessionCacheEntry* entry) {
    const int rc = InsertOwned(Count(), entry);
    if (rc == kOk && Count() > max_count) EvictOne();
    return rc;
  }

  // Takes the other cache's maximum and appends copies of its entries, in order. 0 or 200.
  int CopyFrom(const SessionCache& other) {
    max_count = other.max_count;
    for (int i = 0; i < other.Count(); ++i) {
      auto* copy = new (std::nothrow) SessionCacheEntry;
      if (copy == nullptr || copy->CopyFrom(*other.At(i)) != kOk) {
        delete copy;
        return kErrOutOfMemory;
      }
      if (int rc = InsertOwned(Count(), copy); rc != kOk) return rc;
    }
    return kOk;
  }

  // The first entry with this session id; an invalid one is removed and null returned.
  SessionCacheEntry* Find(const void* id, int id_length) {
    for (int i = 0; i < Count(); ++i) {
      SessionCacheEntry* e = At(i);
      if (!e || !e->session_id.EqualsBytes(id, id_length < 0 ? 0 : id_length)) continue;
      if (e->Valid()) return e;
      RemoveAt(i);
      return nullptr;
    }
    return nullptr;
  }
  SessionCacheEntry* Find(const ByteString& id) { return Find(id.data(), id.length()); }

  // Removes every invalid entry; when there was none, removes the oldest one (among equal
  // oldest stamps the one nearest the end).
  void EvictOne() {
    bool removed = false;
    for (int i = Count() - 1; i >= 0; --i) {
      SessionCacheEntry* e = At(i);
      if (!e || !e->Valid()) {
        RemoveAt(i);
        removed = true;
      }
    }
    if (removed) return;
    int oldest = -1;
    for (int i = Count() - 1; i >= 0; --i) {
      if (oldest < 0 || At(i)->time_stamp < At(oldest)->time_stamp) oldest = i;
    }
    if (oldest >= 0) RemoveAt(oldest);
  }
};

}  // namespace tw
