// One entry of a Kerberos keytab file, and the loaded file.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct KeytabEntry {
  ByteString realm;
  std::vector<ByteString> components;
  int32_t name_type = 0;
  uint32_t timestamp = 0;
  uint32_t kvno = 0;  // the 8-bit version, replaced by the 32-bit one when the record has it
  int key_type = 0;
  ByteString key;

  // "comp1/comp2"
  int PrincipalText(ByteString* out) const;
  ~KeytabEntry() { WipeString(key); }
};

using KeytabEntryArray = PtrArray<KeytabEntry>;

class KerberosKeytab {
 public:
  KerberosKeytab() = default;
  KerberosKeytab(const KerberosKeytab&) = delete;
  KerberosKeytab& operator=(const KerberosKeytab&) = delete;
  ~KerberosKeytab() { WipeString(bytes_); }
  // Reads the MIT keytab format from bytes. Every length is checked against its record and the
  // file; deleted entries (negative record sizes) are skipped. 0 or 202 with error_text().
  int Parse(const void* bytes, int length);
  int Load(const char* path);
  void Reset();

  // The entry of the key type, for the principal (components joined by "/") and realm when
  // they are given, with the highest key version; null when none.
  const KeytabEntry* Find(int key_type, const char* principal, const char* realm) const;

  int format_marker() const { return marker_; }
  int version() const { return version_; }
  int count() const { return entries_.Count(); }
  const KeytabEntry& entry(int i) const { return *entries_.At(i); }
  const ByteString& file_bytes() const { return bytes_; }
  const char* error_text() const { return error_text_.c_str(); }

 private:
  int marker_ = 0;
  int version_ = 0;
  KeytabEntryArray entries_;
  ByteString bytes_;
  ByteString error_text_;
};

}  // namespace tw
