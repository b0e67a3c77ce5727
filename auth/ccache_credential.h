// One entry of a Kerberos credentials cache, and the loaded cache.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct CcachePrincipal {
  ByteString realm;
  std::vector<ByteString> components;
  ByteString text;  // "comp1/comp2@REALM", empty when the realm failed its check
};

struct CcacheCredential {
  CcachePrincipal client;
  CcachePrincipal server;
  int key_type = 0;
  ByteString key;
  int64_t auth_time_ms = 0;
  int64_t start_time_ms = 0;
  int64_t end_time_ms = 0;
  int64_t renew_till_ms = 0;
  uint32_t is_session_key = 0;
  uint32_t flags = 0;
  std::vector<ByteString> addresses;      // raw records: type, length, bytes
  std::vector<ByteString> authorization;  // the same
  ByteString ticket;
  ByteString second_ticket;

  ~CcacheCredential() { WipeString(key); }
  bool Valid() const { return !client.text.empty() && !server.text.empty() && !key.empty() && !ticket.empty(); }
  // A ticket-granting ticket ("krbtgt/REALM@REALM") that has not expired at now_ms.
  bool IsUsableTgt(int64_t now_ms) const;
  // A deep copy.
  int CopyFrom(const CcacheCredential& other);
};

class KerberosCcache {
 public:
  // Reads a version 0x0504 cache. Every count and length is checked against the bytes that
  // remain. 0 or 202 with error_text().
  int Parse(const void* bytes, int length);
  int Load(const char* path);
  void Reset() { entries_.Clear(); }

  const CcachePrincipal& default_principal() const { return default_; }
  int count() const { return entries_.Count(); }
  const CcacheCredential& entry(int i) const { return *entries_.At(i); }
  const char* error_text() const { return error_text_.c_str(); }

 private:
  int Fail(const char* text);

  CcachePrincipal default_;
  PtrArray<CcacheCredential> entries_;
  ByteString error_text_;
};

}  // namespace tw
