// The framing of TLS records: received bytes are held until a whole record is there, and
// outgoing fragments are framed (and protected when the direction is active) in one buffer that
// is reused for every record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"
#include "tls/record_protection.h"

namespace tw {

// The largest record a peer may send, header included.
constexpr int kTlsMaxRecordBytes = kTlsRecordHeaderBytes + kTlsMaxCiphertext;

class TlsRecordLayer {
 public:
  enum CutResult {
    kNeedMore,     // no whole record yet; the bytes are held
    kRecord,       // a whole record
    kSsl2Record,   // a server's first bytes in the SSL 2.0 form
    kUnknownType,  // first byte is no record type
    kOverflow,     // the header announces more than a record may hold
  };

  // Takes received bytes, at most what completes the held record (bounded holding); returns how
  // many were taken in *taken. 0 or 200.
  int Feed(const uint8_t* bytes, size_t n, size_t* taken);
  // Cuts the next record from the held bytes. accept_ssl2: a byte that is no record type starts
  // an SSL 2.0 record (a server waiting for its first hello). The record stays valid until the
  // next Feed, Consume or Reset.
  CutResult Next(bool accept_ssl2, uint8_t** record, size_t* length);
  // Drops the record last returned by Next.
  void Consume();
  void Reset();
  size_t held() const { return static_cast<size_t>(held_.length()); }

  // Frames one record in the reused output buffer: protected by `state` when it is active, else
  // as it stands. [*record, +*length) is valid until the next call. 0 or a code.
  int Frame(TlsRecordState& state, uint8_t type, uint16_t version, const uint8_t* body, size_t n,
            const uint8_t** record, size_t* length);

 private:
  size_t RecordLength(bool accept_ssl2, CutResult* kind) const;

  ByteString held_;
  size_t cut_ = 0;  // bytes of held_ returned by Next and not consumed
  ByteString out_;
};

}  // namespace tw
