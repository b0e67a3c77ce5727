#include "auth/keytab_entry.h"
#include "foundation/file_handle.h"
#include "foundation/span_reader.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextBadKeytab[] = "Invalid keytab file.";

// A string led by its 16-bit length.
bool ReadString16(SpanReader& r, ByteString* out) {
  SpanReader field;
  return r.ReadPrefixed(2, &field) && out->Set(field.data(), static_cast<int>(field.remaining())) == kOk;
}

// Reads one entry from a record's bytes; false when the record is too short for what it claims.
bool ReadEntry(SpanReader& r, int version, KeytabEntry* e) {
  uint16_t count = 0, key_type = 0;
  uint8_t kvno = 0;
  uint32_t v = 0;
  if (!r.ReadU16(&count)) return false;
  // Version 1 counted the realm among the components.
  if (version == 1) {
    if (count == 0) return false;
    --count;
  }
  // Every component takes at least its 2-byte length.
  if (count > r.remaining() / 2) return false;
  if (!ReadString16(r, &e->realm)) return false;
  e->components.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadString16(r, &e->components[i])) return false;
  }
  if (version != 1) {
    if (!r.ReadU32(&v)) return false;
    e->name_type = static_cast<int32_t>(v);
  }
  if (!r.ReadU32(&e->timestamp) || !r.ReadU8(&kvno) || !r.ReadU16(&key_type)) return false;
  e->kvno = kvno;
  e->key_type = key_type;
  if (!ReadString16(r, &e->key)) return false;
  if (r.remaining() >= 4) {
    if (!r.ReadU32(&v)) return false;
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
  const auto invalid = [this] {
    error_text_.SetText(kTextBadKeytab);
    return kErrInvalidValue;
  };
  if (bytes == nullptr || length < 2) return invalid();
  int rc = bytes_.Set(bytes, length);
  if (rc != kOk) return rc;
  SpanReader file(bytes_);
  uint8_t marker = 0, version = 0;
  file.ReadU8(&marker);
  file.ReadU8(&version);
  marker_ = marker;
  version_ = version;
  while (!file.empty()) {
    uint32_t size = 0;
    SpanReader r;
    if (!file.ReadU32(&size)) return invalid();
    // A negative size marks a hole of that many bytes left by a deleted entry.
    const int32_t held = static_cast<int32_t>(size);
    if (!file.ReadBytes(held < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(held)) : size, &r)) return invalid();
    if (held <= 0) continue;
    KeytabEntry* e = entries_.GetOrCreate(entries_.Count());
    if (e == nullptr) return kErrOutOfMemory;
    if (!ReadEntry(r, version_, e)) {
      entries_.RemoveAt(entries_.Count() - 1);
      return invalid();
    }
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
