#include "auth/kerberos_file_reader.h"
#include "auth/keytab_entry.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextBadKeytab[] = "Invalid keytab file.";

// Reads one entry from a record's bytes; false when the record is too short for what it claims.
bool ReadEntry(KerberosFileReader& r, int version, KeytabEntry* e) {
  uint32_t count = 0, v = 0;
  if (!r.U16(&count)) return false;
  // Version 1 counted the realm among the components.
  if (version == 1) {
    if (count == 0) return false;
    --count;
  }
  // Every component takes at least its 2-byte length.
  if (count > r.remaining() / 2) return false;
  if (!r.String16(&e->realm)) return false;
  e->components.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!r.String16(&e->components[i])) return false;
  }
  if (version != 1) {
    if (!r.U32(&v)) return false;
    e->name_type = static_cast<int32_t>(v);
  }
  if (!r.U32(&e->timestamp) || !r.U8(&e->kvno) || !r.U16(&v)) return false;
  e->key_type = static_cast<int>(v);
  if (!r.String16(&e->key)) return false;
  if (r.remaining() >= 4) {
    if (!r.U32(&v)) return false;
    // Zero means the writer had only the 8-bit version.
    if (v != 0) e->kvno = v;
  }
  return true;
}

}  // namespace

int KeytabEntry::PrincipalText(ByteString* out) const {
  out->Reset();
  int rc = kOk;
  for (size_t i = 0; rc == kOk && i < components.size(); ++i) {
    if (i > 0) rc = out->AppendByte('/');
    if (rc == kOk) rc = out->Append(components[i].data(), components[i].length());
  }
  return rc;
}

void KerberosKeytab::Reset() {
  entries_.Clear();
  WipeString(bytes_);
  bytes_.Reset();
  marker_ = version_ = 0;
  error_text_.Reset();
}

int KerberosKeytab::Load(const char* path) {
  Reset();
  ByteString data;
  int rc = ReadFileToString(path, data);
  if (rc != kOk) {
    error_text_.Format("Cannot read the keytab file (error %d).", rc);
    return rc;
  }
  rc = Parse(data.data(), data.length());
  WipeString(data);
  return rc;
}

int KerberosKeytab::Parse(const void* bytes, int length) {
  Reset();
  if (bytes == nullptr || length < 2) {
    error_text_.SetText(kTextBadKeytab);
    return kErrInvalidValue;
  }
  int rc = bytes_.Set(bytes, length);
  if (rc != kOk) return rc;
  const uint8_t* p = bytes_.bytes();
  marker_ = p[0];
  version_ = p[1];
  KerberosFileReader file(p + 2, static_cast<size_t>(length - 2));
  while (file.remaining() > 0) {
    uint32_t size = 0;
    if (!file.U32(&size)) break;
    const int32_t signed_size = static_cast<int32_t>(size);
    const size_t record = signed_size < 0 ? static_cast<size_t>(-static_cast<int64_t>(signed_size)) : size;
    const size_t at = file.position() + 2;
    if (!file.Skip(record)) break;
    if (signed_size <= 0) continue;  // a hole left by a deleted entry
    KerberosFileReader r(p + at, record);
    KeytabEntry* e = entries_.GetOrCreate(entries_.Count());
    if (e == nullptr) return kErrOutOfMemory;
    if (!ReadEntry(r, version_, e)) {
      entries_.RemoveAt(entries_.Count() - 1);
      error_text_.SetText(kTextBadKeytab);
      return kErrInvalidValue;
    }
  }
  if (!file.ok()) {
    error_text_.SetText(kTextBadKeytab);
    return kErrInvalidValue;
  }
  return kOk;
}

const KeytabEntry* KerberosKeytab::Find(int key_type, const char* principal, const char* realm) const {
  const KeytabEntry* best = nullptr;
  ByteString text;
  for (int i = 0; i < entries_.Count(); ++i) {
    const KeytabEntry* e = entries_.At(i);
    if (e->key_type != key_type || e->key.empty()) continue;
    if (principal != nullptr && *principal != '\0') {
      e->PrincipalText(&text);
      if (!text.EqualsBytes(principal, -1)) continue;
    }
    if (realm != nullptr && *realm != '\0' && !e->realm.EqualsBytes(realm, -1)) continue;
    if (best == nullptr || e->kvno > best->kvno) best = e;
  }
  return best;
}

}  // namespace tw
