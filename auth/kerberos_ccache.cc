#include "auth/ccache_credential.h"
#include "foundation/file_handle.h"
#include "foundation/span_reader.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextInvalid[] = "Invalid Credentials Cache";

// A realm fails when an unescaped at-sign ends it or a label holds a byte of 141 or more.
bool RealmAcceptable(const ByteString& realm) {
  const uint8_t* p = realm.bytes();
  const int n = realm.length();
  for (int i = 0; i < n; ++i) {
    if (p[i] >= 141) return false;
    if (p[i] == '@' && (i == 0 || p[i - 1] != '\\') && i == n - 1) return false;
  }
  return true;
}

// A string led by its 32-bit length.
bool ReadString32(SpanReader& r, ByteString* out) {
  SpanReader field;
  return r.ReadPrefixed(4, &field) && out->Set(field.data(), static_cast<int>(field.remaining())) == kOk;
}

// 0, or the failure text.
const char* ReadPrincipal(SpanReader& r, CcachePrincipal* out) {
  uint32_t name_type = 0, count = 0;
  if (!r.ReadU32(&name_type) || !r.ReadU32(&count)) return kTextInvalid;
  // Each string takes at least its 4-byte length.
  if (uint64_t{count} + 1 > r.remaining() / 4) return r.remaining() < 4 ? "No realm or principal" : kTextInvalid;
  if (!ReadString32(r, &out->realm)) return "No realm or principal";
  out->components.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadString32(r, &out->components[i])) return kTextInvalid;
  }
  out->text.Reset();
  if (count == 0) return "No principal name components";
  if (!RealmAcceptable(out->realm)) return nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) out->text.AppendByte('/');
    out->text.AppendString(out->components[i]);
  }
  out->text.AppendByte('@');
  out->text.AppendString(out->realm);
  return nullptr;
}

const char* ReadRecords(SpanReader& r, std::vector<ByteString>* out, bool address) {
  uint32_t count = 0;
  if (!r.ReadU32(&count)) return kTextInvalid;
  // Each record takes at least 6 bytes.
  if (count > r.remaining() / 6) return address ? "Invalid address length" : "Invalid authorization data length";
  out->resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    // A record is kept whole: its type, its length and its bytes.
    SpanReader head, fields, body;
    uint16_t type = 0;
    uint32_t length = 0;
    if (!r.ReadBytes(6, &head)) return kTextInvalid;
    fields = head;
    fields.ReadU16(&type);
    fields.ReadU32(&length);
    if (address && length != 4 && length != 16) return "Invalid address length";
    if (!r.ReadBytes(length, &body)) return address ? "Invalid address length" : "Invalid authorization data length";
    if ((*out)[i].Set(head.data(), 6) != kOk || (*out)[i].Append(body.data(), static_cast<int>(length)) != kOk) {
      return kTextInvalid;
    }
  }
  return nullptr;
}

int CopyPrincipal(const CcachePrincipal& from, CcachePrincipal* to) {
  to->components = from.components;
  int rc = to->realm.Assign(from.realm);
  if (rc == kOk) rc = to->text.Assign(from.text);
  return rc;
}

}  // namespace

bool CcacheCredential::IsUsableTgt(int64_t now_ms) const {
  if (!Valid() || server.components.size() != 2 || !server.components[0].EqualsBytes("krbtgt", 6)) return false;
  return end_time_ms > now_ms;
}

int CcacheCredential::CopyFrom(const CcacheCredential& o) {
  int rc = CopyPrincipal(o.client, &client);
  if (rc == kOk) rc = CopyPrincipal(o.server, &server);
  key_type = o.key_type;
  if (rc == kOk) rc = key.Assign(o.key);
  auth_time_ms = o.auth_time_ms;
  start_time_ms = o.start_time_ms;
  end_time_ms = o.end_time_ms;
  renew_till_ms = o.renew_till_ms;
  is_session_key = o.is_session_key;
  flags = o.flags;
  addresses = o.addresses;
  authorization = o.authorization;
  if (rc == kOk) rc = ticket.Assign(o.ticket);
  if (rc == kOk) rc = second_ticket.Assign(o.second_ticket);
  return rc;
}

int KerberosCcache::Fail(const char* text) {
  entries_.Clear();
  error_text_.SetText(text);
  return kErrInvalidValue;
}

int KerberosCcache::Load(const char* path) {
  Reset();
  ByteString data;
  if (path == nullptr || ReadFileToString(path, data) != kOk) return Fail("Invalid credentials cache file name");
  const int rc = Parse(data.data(), data.length());
  WipeString(data);
  return rc;
}

int KerberosCcache::Parse(const void* bytes, int length) {
  Reset();
  if (bytes == nullptr || length < 0) return Fail(kTextInvalid);
  SpanReader r(bytes, static_cast<size_t>(length));
  uint16_t version = 0, header = 0;
  if (!r.ReadU16(&version)) return Fail(kTextInvalid);
  if (version != 0x0504) {
    error_text_.Format("Unsupported Credential Cache version: %d", static_cast<int>(version));
    return kErrInvalidValue;
  }
  if (!r.ReadU16(&header) || !r.Skip(header)) return Fail(kTextInvalid);
  const char* failure = ReadPrincipal(r, &default_);
  if (failure != nullptr) return Fail(failure);
  while (r.remaining() > 0) {
    CcacheCredential* c = entries_.GetOrCreate(entries_.Count());
    if (c == nullptr) return kErrOutOfMemory;
    uint16_t key_type = 0;
    uint8_t is_session_key = 0;
    uint32_t times[4] = {};
    if ((failure = ReadPrincipal(r, &c->client)) != nullptr) return Fail(failure);
    if ((failure = ReadPrincipal(r, &c->server)) != nullptr) return Fail(failure);
    if (!r.ReadU16(&key_type) || !ReadString32(r, &c->key)) return Fail(kTextInvalid);
    c->key_type = key_type;
    for (uint32_t& t : times) {
      if (!r.ReadU32(&t)) return Fail(kTextInvalid);
    }
    c->auth_time_ms = int64_t{times[0]} * 1000;
    c->start_time_ms = int64_t{times[1]} * 1000;
    c->end_time_ms = int64_t{times[2]} * 1000;
    c->renew_till_ms = int64_t{times[3]} * 1000;
    if (!r.ReadU8(&is_session_key) || !r.ReadU32(&c->flags)) return Fail(kTextInvalid);
    c->is_session_key = is_session_key;
    if ((failure = ReadRecords(r, &c->addresses, true)) != nullptr) return Fail(failure);
    if ((failure = ReadRecords(r, &c->authorization, false)) != nullptr) return Fail(failure);
    if (!ReadString32(r, &c->ticket) || !ReadString32(r, &c->second_ticket)) return Fail(kTextInvalid);
  }
  if (entries_.Count() == 0) return Fail("No valid credential entries fount in the kerberos cache file");
  return kOk;
}

}  // namespace tw
