// The TLS 1.3 key schedule (RFC 8446 section 7) of a full handshake without pre-shared keys:
// HKDF and its TLS labels, the handshake and application traffic secrets with their keys and
// IVs, the Finished values, the exporter secret, KeyUpdate re-keying, the content a
// CertificateVerify signs, and the reader that drops a NewSessionTicket.
//
// Every operation returns 0 or a code: 200 out of memory, 202 for a bad argument, 2001 for a
// hash id the hash engine does not know, 276 for a transcript hash the suite has no PRF for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"
#include "tls/cipher_suites.h"
#include "tls/record_protection.h"
#include "tls/tls_session_state.h"

namespace tw {

constexpr int kTls13IvBytes = 12;
// A malformed message: the caller sends the fault's alert (decode_error) and fails.
constexpr int kErrTls13Decode = 276;

// HKDF-Extract: HMAC(salt as key, ikm) with the hash id. out is replaced.
int HkdfExtract(int hash_id, const ByteString& salt, const ByteString& ikm, ByteString& out);
// HKDF-Expand: length bytes (0 to 255 digest lengths, else 202) of T(1) + T(2) + ...
int HkdfExpand(int hash_id, const ByteString& prk, const ByteString& info, int length,
               ByteString& out);
// HKDF-Expand-Label with info = length, "tls13 " + label, context (each length-prefixed).
int HkdfExpandLabel(int hash_id, const ByteString& secret, const char* label,
                    const ByteString& context, int length, ByteString& out);
// Derive-Secret: HkdfExpandLabel with the transcript hash as context and the digest length.
int DeriveSecret(int hash_id, const ByteString& secret, const char* label,
                 const ByteString& transcript_hash, ByteString& out);

// The HMAC hash id of a suite's PRF (SHA-256 or SHA-384); -1 without a suite.
int Tls13SuiteHash(const TlsCipherSuite* suite);

// Signature schemes whose content is signed as it stands, and those no table row names.
constexpr int kTls13SchemeNoHash = -1;
constexpr int kTls13SchemeUnknown = -2;
// The hash id a signature scheme digests with; kTls13SchemeNoHash for ed25519 (0x0807) and
// ed448 (0x0808), kTls13SchemeUnknown for a scheme outside the table.
int Tls13SchemeHash(uint16_t scheme);

// The content a TLS 1.3 CertificateVerify covers, before any digest: 64 spaces, the context text
// of the signer's role, a zero byte and the transcript hash.
int Tls13SignedContent(bool server_signer, const ByteString& transcript_hash, ByteString& out);

// What a TLS 1.3 CertificateVerify signature is computed over: 64 spaces, the context text of
// the signer's role, a zero byte and the transcript hash; for EdDSA that content itself, for
// every other scheme its digest with the scheme's hash. 202 for an unknown scheme.
int Tls13CertificateVerifyContent(bool server_signer, uint16_t scheme,
                                  const ByteString& transcript_hash, ByteString& out);

// Reads the body of a TLS 1.3 NewSessionTicket (no handshake header) and drops it: *consumed
// gets the bytes it spans, and anything after that is left to the caller. A truncated or
// malformed body (an empty ticket included) gives kErrTls13Decode with the fault filled.
int ReadNewSessionTicket13(const uint8_t* body, size_t length, size_t* consumed,
                           TlsRecordFault* fault);

// Receives each derived value under its label when set; off by default. The engine writes the
// label and a hex dump to its log.
using Tls13DebugSink = void (*)(void* context, const char* label, const uint8_t* bytes,
                                int length);

// The secrets of one handshake, wiped by Reset and by the destructor.
class Tls13KeySchedule {
 public:
  Tls13KeySchedule() = default;
  ~Tls13KeySchedule() { Reset(); }
  Tls13KeySchedule(const Tls13KeySchedule&) = delete;
  Tls13KeySchedule& operator=(const Tls13KeySchedule&) = delete;

  void Reset();
  void SetDebugSink(Tls13DebugSink sink, void* context) {
    sink_ = sink;
    sinkContext_ = context;
  }

  // After the ServerHello, with the (EC)DHE shared secret (a finite-field one already padded to
  // the prime's length) and the transcript ClientHello..ServerHello: sets the suite and PRF of
  // pending, stores the master secret there, and keys pending.write with this side's handshake
  // key and IV and pending.read with the peer's (sequences 0, both active). Making pending the
  // current state is the caller's step.
  int HandshakeKeys(const TlsCipherSuite* suite, const ByteString& shared_secret,
                    const ByteString& transcript, TlsSessionState& pending, bool is_client);

  // The Finished verify data of the client's (client_side) or the server's handshake secret
  // over the transcript so far.
  int FinishedVerifyData(bool client_side, const ByteString& transcript, ByteString& out) const;
  // Constant-time check of a received Finished body; a mismatch is *ok false, not an error.
  int VerifyFinished(bool client_side, const ByteString& transcript, const uint8_t* data,
                     size_t length, bool* ok) const;

  // The application traffic secrets, keys and IVs and the exporter secret from the transcript
  // through the server's Finished. The keys are kept for InstallApplicationKeys.
  int ApplicationSecrets(const ByteString& transcript);
  // Keys both directions with the application keys (sequences 0, both active).
  int InstallApplicationKeys(TlsRecordState& read, TlsRecordState& write, bool is_client) const;

  // KeyUpdate: the next traffic secret ("traffic upd") in place, and keying one direction from
  // a traffic secret (sequence 0, active).
  int NextApplicationSecret(ByteString& secret) const;
  int KeyDirection(const ByteString& traffic_secret, TlsRecordState& state) const;
  // Both steps for the kept secret of one side: after a KeyUpdate received (peer's side, read
  // direction) or sent (own side, write direction).
  int UpdateApplicationKeys(bool client_side, TlsRecordState& state);

  // The key-log lines (NSS format, lower-case hex) of the secrets derived so far, appended.
  int KeyLogLines(const uint8_t client_random[32], ByteString& out) const;

  int hash_id() const { return hashId_; }
  const TlsCipherSuite* suite() const { return suite_; }
  const ByteString& master_secret() const { return master_; }
  const ByteString& client_handshake_secret() const { return clientHandshake_; }
  const ByteString& server_handshake_secret() const { return serverHandshake_; }
  const ByteString& client_application_secret() const { return clientTraffic_; }
  const ByteString& server_application_secret() const { return serverTraffic_; }
  const ByteString& exporter_secret() const { return exporter_; }

 private:
  void Debug(const char* label, const ByteString& value) const;
  // Key and IV of a traffic secret for the suite.
  int TrafficKey(const ByteString& secret, ByteString& key, ByteString& iv) const;

  const TlsCipherSuite* suite_ = nullptr;
  int hashId_ = -1;
  ByteString master_;
  ByteString clientHandshake_;
  ByteString serverHandshake_;
  ByteString clientFinishedKey_;
  ByteString serverFinishedKey_;
  ByteString clientTraffic_;
  ByteString serverTraffic_;
  ByteString exporter_;
  ByteString clientKey_;
  ByteString clientIv_;
  ByteString serverKey_;
  ByteString serverIv_;
  Tls13DebugSink sink_ = nullptr;
  void* sinkContext_ = nullptr;
};

}  // namespace tw
