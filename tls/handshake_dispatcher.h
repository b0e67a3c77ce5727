// Handshake messages out of handshake records: reassembled across records (within a bound),
// entered into the transcript in their order and handed to their handler by type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

enum TlsHandshakeType : uint8_t {
  kHsHelloRequest = 0,
  kHsClientHello = 1,
  kHsServerHello = 2,
  kHsNewSessionTicket = 4,
  kHsHelloRetryRequest = 6,
  kHsEncryptedExtensions = 8,
  kHsCertificate = 11,
  kHsServerKeyExchange = 12,
  kHsCertificateRequest = 13,
  kHsServerHelloDone = 14,
  kHsCertificateVerify = 15,
  kHsClientKeyExchange = 16,
  kHsFinished = 20,
  kHsKeyUpdate = 24,
  kHsMessageHash = 254,
};

constexpr int kTlsHandshakeHeaderBytes = 4;
// The largest handshake message held for reassembly (certificate chains included).
constexpr int kTlsMaxHandshakeMessage = 256 * 1024;

// The message name of the packet log and status texts ("Client Hello", ...); null when unknown.
const char* HandshakeMessageName(uint8_t type);
// The packet log's description of a message ("Client Hello" ...); null for a type it does not
// describe.
const char* HandshakeLogDescription(uint8_t type);
// The name a received message is logged by when packets are logged; null for the others.
const char* HandshakeLogName(uint8_t type);

class TlsHandshakeHandler {
 public:
  // One whole message. *consumed reports the body bytes the handler read (checked for
  // NewSessionTicket and EncryptedExtensions). 0 or a code that stops the input.
  virtual int OnHandshakeMessage(uint8_t type, const uint8_t* body, size_t length,
                                 size_t* consumed) = 0;
  // After a message that enters the transcript behind its handler (CertificateVerify, Finished)
  // was added to it.
  virtual int AfterHandshakeMessage(uint8_t type) = 0;
  // A message type no handler knows: reported, skipped.
  virtual void OnUnknownHandshakeMessage(uint8_t type) = 0;
  // A fault of the framing itself: the alert to send and the text. Returns the code to stop with.
  virtual int OnHandshakeFault(int alert, const char* text) = 0;

 protected:
  ~TlsHandshakeHandler() = default;
};

class TlsHandshakeDispatcher {
 public:
  // Takes the content of one handshake record: completes a held message, dispatches every whole
  // one in order and holds the start of one that continues. 0 or the first failing code.
  int Feed(const uint8_t* bytes, size_t n, TlsHandshakeHandler& handler);
  // True while a message waits for the rest of its bytes.
  bool HasFragment() const { return !fragment_.empty(); }
  void Reset();

  ByteString& transcript() { return transcript_; }
  const ByteString& transcript() const { return transcript_; }
  // TLS 1.3 after a HelloRetryRequest: the second ClientHello keeps the transcript.
  void set_keep_transcript_on_hello(bool on) { keep_on_hello_ = on; }

 private:
  int Dispatch(const uint8_t* message, size_t length, TlsHandshakeHandler& handler);

  ByteString fragment_;
  ByteString transcript_;
  bool keep_on_hello_ = false;
};

}  // namespace tw
