// One handshake in progress: what it negotiates and remembers between its messages. The engine
// makes one at each hello and drops it when the handshake ends, so a renegotiation starts clean.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/pubkey/key_exchange.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"
#include "tls/tls13_key_schedule.h"

namespace tw {

// One state machine per role and protocol family, its states in wire order, each named by the
// message it waits for. A state whose message a suite or setting never has is passed on entry;
// an optional message's state passes itself when another message comes. The hello states share
// the value 0 so the family may be decided by the hello; kDone (7 in all four) follows the
// handshake.
constexpr uint8_t kTlsStateDone = 7;

enum TlsMachine : uint8_t { kTlsClient12, kTlsClient13, kTlsServer12, kTlsServer13 };

enum class TlsClient12State : uint8_t {
  kServerHello,
  kCertificate,
  kServerKeyExchange,
  kCertificateRequest,  // optional
  kServerHelloDone,
  kChangeCipherSpec,
  kFinished,
  kDone = kTlsStateDone,
};

enum class TlsClient13State : uint8_t {
  kServerHello,  // again after a HelloRetryRequest
  kEncryptedExtensions,
  kCertificateRequest,  // optional
  kCertificate,
  kCertificateVerify,
  kFinished,
  kDone = kTlsStateDone,
};

enum class TlsServer12State : uint8_t {
  kClientHello,
  kCertificate,  // only when a certificate is asked for
  kClientKeyExchange,
  kCertificateVerify,  // only after a certificate
  kChangeCipherSpec,
  kFinished,
  kDone = kTlsStateDone,
};

enum class TlsServer13State : uint8_t {
  kClientHello,  // again after a HelloRetryRequest
  kCertificate,  // only when a certificate is asked for
  kCertificateVerify,  // only after a certificate
  kFinished,
  kDone = kTlsStateDone,
};

// What a state's handler asks of the driver once it has taken its message.
struct TlsStep {
  enum Kind : uint8_t {
    kNextMessage,  // wait for the next message in the state entered
    kFlush,        // send the flight the handler wrote, then wait for the next message
    kDone,         // send any flight written, then complete the handshake
    kError,        // the handshake failed with `code`
  };
  Kind kind = kNextMessage;
  int code = 0;
  // kError: the text to fail with when the handler did not report the failure itself; null when
  // nothing more is to be reported.
  const char* text = nullptr;

  // A handler's result code: 0 waits for the next message; anything else is a failure with that
  // code, reported where it arose. Implicit, so a handler returns its helpers' codes as they are.
  TlsStep(int rc = 0) : kind(rc == 0 ? kNextMessage : kError), code(rc) {}  // NOLINT
  TlsStep(bool) = delete;
  static TlsStep Flush() { return Of(kFlush); }
  static TlsStep Done() { return Of(kDone); }
  static TlsStep Error(int rc, const char* text) {
    TlsStep s(rc);
    s.text = text;
    return s;
  }

 private:
  static TlsStep Of(Kind kind) {
    TlsStep s;
    s.kind = kind;
    return s;
  }
};

struct TlsHandshake {
  // The key exchange in force: the server's values (TLS 1.2) or the chosen share (TLS 1.3).
  std::unique_ptr<KeyExchange> kx;
  // A TLS 1.3 client's shares, one per group in key_share_ids.
  std::vector<std::unique_ptr<KeyExchange>> key_shares;
  std::vector<uint16_t> key_share_ids;
  std::vector<uint16_t> offered_versions;
  std::vector<uint16_t> offered_signature_algorithms;
  // What the peer asked for: a server's CertificateRequest, a client's signature_algorithms.
  std::vector<uint16_t> requested_signature_algorithms;
  std::unique_ptr<Tls13KeySchedule> schedule;
  // After a HelloRetryRequest: the suite it named and the cookie to echo.
  bool hello_retry = false;
  uint16_t retry_suite = 0;
  ByteString cookie;
  // TLS 1.3: the context of the server's CertificateRequest, echoed in the client's Certificate.
  ByteString certificate_request_context;
  // An export server's temporary RSA key from its ServerKeyExchange.
  ByteString temp_rsa_modulus;
  ByteString temp_rsa_exponent;
  // An export server's temporary RSA key, kept for the ClientKeyExchange it decrypts.
  std::unique_ptr<RsaKeyData> temp_rsa_key;
  // A server's owner chose another certificate after the start, before the ClientHello.
  bool own_certificate_changed = false;
  bool finished_sent = false;

  ~TlsHandshake() {
    WipeString(cookie);
  }
};

}  // namespace tw
