#include "tls/record_layer.h"

#include <cstring>

#include "foundation/span_reader.h"

namespace tw {
namespace {

constexpr int kErrBadArgument = 202;

bool IsRecordType(uint8_t b) { return b >= kContentChangeCipherSpec && b <= kContentApplicationData; }

}  // namespace

size_t TlsRecordLayer::RecordLength(bool accept_ssl2, CutResult* kind) const {
  SpanReader in(held_.bytes(), static_cast<size_t>(held_.length()));
  *kind = kNeedMore;
  uint8_t type = 0;
  if (!in.PeekU8(&type)) return kTlsRecordHeaderBytes;
  if (!IsRecordType(type)) {
    if (!accept_ssl2) {
      *kind = kUnknownType;
      return 0;
    }
    uint16_t ssl2_length = 0;
    if (!in.ReadU16(&ssl2_length)) return 2;
    *kind = kSsl2Record;
    return (ssl2_length & 0x7FFFu) + 2u;
  }
  uint16_t body = 0;
  if (!in.Skip(3) || !in.ReadU16(&body)) return kTlsRecordHeaderBytes;
  if (body > kTlsMaxCiphertext) {
    *kind = kOverflow;
    return 0;
  }
  *kind = kRecord;
  return size_t{body} + kTlsRecordHeaderBytes;
}

int TlsRecordLayer::Feed(const uint8_t* bytes, size_t n, size_t* taken) {
  *taken = 0;
  if (n == 0) return kOk;
  // Never hold more than one record (or its header): the rest waits in the caller's buffer.
  CutResult kind = kNeedMore;
  const size_t length = RecordLength(true, &kind);
  const size_t have = static_cast<size_t>(held_.length());
  const size_t want = length > have ? length - have : 0;
  if (want == 0) return kOk;
  const size_t take = n < want ? n : want;
  if (held_.capacity() < kTlsMaxRecordBytes) {
    // One allocation for the life of the connection.
    const int keep = held_.length();
    int rc = held_.Resize(kTlsMaxRecordBytes);
    if (rc == kOk) rc = held_.Resize(keep);
    if (rc != kOk) return rc;
  }
  const int rc = held_.Append(bytes, static_cast<int>(take));
  if (rc == kOk) *taken = take;
  return rc;
}

TlsRecordLayer::CutResult TlsRecordLayer::Next(bool accept_ssl2, uint8_t** record, size_t* length) {
  *record = nullptr;
  *length = 0;
  CutResult kind = kNeedMore;
  const size_t need = RecordLength(accept_ssl2, &kind);
  if (kind == kRecord || kind == kSsl2Record) {
    if (static_cast<size_t>(held_.length()) < need) return kNeedMore;
    *record = held_.bytes();
    *length = need;
    cut_ = need;
  }
  return kind;
}

void TlsRecordLayer::Consume() {
  if (cut_ == 0) return;
  held_.EraseFront(static_cast<int>(cut_));
  cut_ = 0;
}

void TlsRecordLayer::Reset() {
  WipeString(held_);
  WipeString(out_);
  cut_ = 0;
}

int TlsRecordLayer::Frame(TlsRecordState& state, uint8_t type, uint16_t version,
                          const uint8_t* body, size_t n, const uint8_t** record, size_t* length) {
  *record = nullptr;
  *length = 0;
  if (n > static_cast<size_t>(kTlsMaxPlaintext)) return kErrBadArgument;
  const int room = kTlsMaxPlaintext + kTlsMaxOverhead + kTlsRecordHeaderBytes;
  if (out_.length() < room) {
    const int rc = out_.Resize(room);
    if (rc != kOk) return rc;
  }
  uint8_t* out = out_.bytes();
  if (state.active()) {
    const int rc = state.Protect(type, version, body, n, out, length);
    if (rc != kOk) return rc;
  } else {
    out[0] = type;
    out[1] = static_cast<uint8_t>(version >> 8);
    out[2] = static_cast<uint8_t>(version);
    out[3] = static_cast<uint8_t>(n >> 8);
    out[4] = static_cast<uint8_t>(n);
    if (n > 0) std::memmove(out + kTlsRecordHeaderBytes, body, n);
    *length = n + kTlsRecordHeaderBytes;
  }
  *record = out;
  return kOk;
}

}  // namespace tw
