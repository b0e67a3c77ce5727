#include "tls/handshake_dispatcher.h"

#include <utility>

#include "crypto/symmetric/hmac.h"
#include "tls/record_protection.h"
#include "foundation/span_reader.h"

namespace tw {
namespace {

constexpr char kTextTooLarge[] = "Handshake message too large.";
constexpr char kTextTrailing[] = "Handshake message has trailing bytes.";

// When a message enters the transcript.
enum TranscriptRule : uint8_t { kNotAdded, kBefore, kAfter, kClearThenBefore };

struct MessageKind {
  uint8_t type;
  const char* name;
  TranscriptRule transcript;
  bool leftover_check;
  bool described;        // the packet log describes it by name
  const char* log_name;  // logged by name on receipt; null for none
};

constexpr MessageKind kMessages[] = {
    {kHsHelloRequest, "Hello Request", kNotAdded, false, true, nullptr},
    {kHsClientHello, "Client Hello", kClearThenBefore, false, true, "ClientHello"},
    {kHsServerHello, "Server Hello", kBefore, false, true, "ServerHello"},
    {kHsNewSessionTicket, "New Session Ticket", kNotAdded, true, true, "NEW_SESSION_TICKET"},
    {kHsHelloRetryRequest, "Hello Retry Request", kBefore, false, true, "Tls_1_3_HELLO_RETRY_REQUEST"},
    {kHsEncryptedExtensions, "Encrypted Extensions", kBefore, true, true, "EncryptedExtensions"},
    {kHsCertificate, "Certificate", kBefore, false, true, "CERTIFICATE"},
    {kHsServerKeyExchange, "Server Key Exchange", kBefore, false, true, nullptr},
    {kHsCertificateRequest, "Certificate Request", kBefore, false, true, nullptr},
    {kHsServerHelloDone, "Server Hello Done", kBefore, false, true, nullptr},
    {kHsCertificateVerify, "Certificate Verify", kAfter, false, true, "CERTIFICATE_VERIFY"},
    {kHsClientKeyExchange, "Client Key Exchange", kBefore, false, true, nullptr},
    {kHsFinished, "Finished", kAfter, false, true, "FINISHED"},
    {kHsKeyUpdate, "Key Update", kNotAdded, true, false, nullptr},
};

const MessageKind* FindKind(uint8_t type) {
  for (const MessageKind& k : kMessages) {
    if (k.type == type) return &k;
  }
  return nullptr;
}

}  // namespace

const char* HandshakeMessageName(uint8_t type) {
  const MessageKind* k = FindKind(type);
  return k != nullptr ? k->name : nullptr;
}

const char* HandshakeLogDescription(uint8_t type) {
  const MessageKind* k = FindKind(type);
  return k != nullptr && k->described ? k->name : nullptr;
}

const char* HandshakeLogName(uint8_t type) {
  const MessageKind* k = FindKind(type);
  return k != nullptr ? k->log_name : nullptr;
}

void TlsHandshakeDispatcher::Reset() {
  WipeString(fragment_);
  WipeString(transcript_);
  keep_on_hello_ = false;
}

namespace {

// Moves up to `want` bytes from the reader to the end of out.
int TakeInto(SpanReader& in, size_t want, ByteString& out, size_t* took) {
  *took = in.remaining() < want ? in.remaining() : want;
  SpanReader part;
  in.ReadBytes(*took, &part);
  return out.Append(part.data(), static_cast<int>(*took));
}

// The length field of a whole handshake header: a type byte, then 24 bits.
uint32_t BodyLength(const uint8_t* header) {
  SpanReader in(header, kTlsHandshakeHeaderBytes);
  uint32_t n = 0;
  return in.Skip(1) && in.ReadU24(&n) ? n : 0;
}

}  // namespace

int TlsHandshakeDispatcher::Feed(const uint8_t* bytes, size_t n, TlsHandshakeHandler& handler) {
  SpanReader in(bytes, n);
  if (!fragment_.empty()) {
    // Complete the held message first; only the bytes it still needs are taken.
    size_t took = 0;
    if (fragment_.length() < kTlsHandshakeHeaderBytes) {
      const int rc = TakeInto(in, kTlsHandshakeHeaderBytes - fragment_.length(), fragment_, &took);
      if (rc != kOk) return rc;
      if (fragment_.length() < kTlsHandshakeHeaderBytes) return kOk;
    }
    const uint32_t body = BodyLength(fragment_.bytes());
    if (body > static_cast<uint32_t>(kTlsMaxHandshakeMessage)) {
      WipeString(fragment_);
      return handler.OnHandshakeFault(kAlertIllegalParameter, kTextTooLarge);
    }
    const size_t missing = kTlsHandshakeHeaderBytes + body - static_cast<size_t>(fragment_.length());
    int rc = TakeInto(in, missing, fragment_, &took);
    if (rc != kOk) return rc;
    if (took < missing) return kOk;
    ByteString message(std::move(fragment_));
    fragment_.Reset();
    rc = Dispatch(message.bytes(), static_cast<size_t>(message.length()), handler);
    WipeString(message);
    if (rc != kOk) return rc;
  }
  while (!in.empty()) {
    SpanReader peek = in;
    uint8_t type = 0;
    uint32_t body = 0;
    if (peek.ReadU8(&type) && peek.ReadU24(&body)) {
      if (body > static_cast<uint32_t>(kTlsMaxHandshakeMessage)) {
        return handler.OnHandshakeFault(kAlertIllegalParameter, kTextTooLarge);
      }
      if (body <= peek.remaining()) {
        SpanReader message;
        in.ReadBytes(kTlsHandshakeHeaderBytes + body, &message);
        const int rc = Dispatch(message.data(), message.remaining(), handler);
        if (rc != kOk) return rc;
        continue;
      }
    }
    // Held until the next handshake record brings the rest.
    return fragment_.Set(in.data(), static_cast<int>(in.remaining()));
  }
  return kOk;
}

int TlsHandshakeDispatcher::Dispatch(const uint8_t* message, size_t length,
                                     TlsHandshakeHandler& handler) {
  const uint8_t type = message[0];
  const MessageKind* kind = FindKind(type);
  if (kind == nullptr) {
    handler.OnUnknownHandshakeMessage(type);
    return kOk;
  }
  int rc = kOk;
  if (kind->transcript == kClearThenBefore && !keep_on_hello_) transcript_.Reset();
  if (kind->transcript == kBefore || kind->transcript == kClearThenBefore) {
    rc = transcript_.Append(message, static_cast<int>(length));
    if (rc != kOk) return rc;
  }
  const size_t body = length - kTlsHandshakeHeaderBytes;
  size_t consumed = body;
  rc = handler.OnHandshakeMessage(type, message + kTlsHandshakeHeaderBytes, body, &consumed);
  if (rc != kOk) return rc;
  if (kind->leftover_check && consumed != body) {
    handler.OnHandshakeFault(kAlertDecodeError, kTextTrailing);
    return -1;
  }
  if (kind->transcript == kAfter) {
    rc = transcript_.Append(message, static_cast<int>(length));
    if (rc == kOk) rc = handler.AfterHandshakeMessage(type);
  }
  return rc;
}

}  // namespace tw
