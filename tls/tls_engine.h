// The TLS protocol engine held by every TCP client, and what it needs of its owner.
//
// The engine frames records, reassembles and dispatches handshake messages into the transcript,
// protects records once keys are in force, switches keys at ChangeCipherSpec, checks and sends
// Finished, and carries application data. The hello messages and key exchanges are not part of
// this build: starting a handshake fails with kErrTlsUnavailable and kTextTlsUnavailable through
// the owner's failure hook, so no connection ever passes for secured.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"
#include "tls/cipher_suites.h"
#include "tls/handshake_dispatcher.h"
#include "tls/record_layer.h"
#include "tls/tls_session_state.h"

namespace tw {

constexpr int kErrTlsUnavailable = 202;
inline constexpr char kTextTlsUnavailable[] = "TLS is not available in this build.";
constexpr int kErrInvalidCipherSuites = 202;
// The peer closed while the handshake ran; also every refusal of the protocol.
constexpr int kErrTlsPeerClosed = 276;
constexpr int kErrTlsProtocol = 276;
constexpr int kErrTlsUnsupported = 278;
constexpr int kErrTlsPeerAlert = 286;
constexpr int kTlsWouldBlock = 10035;

// Handshake states.
enum TlsState : int {
  kStateClientHelloSent = 0,
  kStateServerHelloReceived = 1,
  kStateWaitClientHello = 2,
  kStateCertificateRequested = 3,
  kStateCertificateReceived = 4,
  kStateWaitFinished = 8,
  kStateComplete = 10,
  kStateClosed = 20,
  kStateTls13ServerHello = 30,
  kStateTls13EncryptedExtensions = 31,
};

// The engine's eight hooks land here; each returns 0 or an error code.
class TlsEngineOwner {
 public:
  // An error (code, text) met by the engine.
  virtual int ReportTlsError(int code, const char* text) = 0;
  // A progress line of the handshake.
  virtual int LogTlsStatus(const char* text) = 0;
  // The server's certificate: the encoded bytes, subject, issuer and status text; *accept may be
  // changed by the owner.
  virtual int CheckServerCertificate(const void* encoded, int length, const char* subject,
                                     const char* issuer, const char* status, int* accept) = 0;
  // Record bytes for the wire: 0, an error, or 10035 with the count taken in *sent.
  virtual int SendBytes(const void* bytes, int n, int* sent) = 0;
  // A failure of the handshake or the session: the owner keeps the text and the code.
  virtual int SetErrorCodeText(int code, const char* text) = 0;
  // The handshake ended: null or "" on success, else the failure description.
  virtual int OnWritable(const char* failure) = 0;
  // Decrypted application data.
  virtual int OnIncomingData(const void* bytes, int n, bool end_of_record) = 0;
  // Passed through unchanged.
  virtual int ForwardHook(intptr_t a, intptr_t b, intptr_t c, intptr_t d, intptr_t e,
                          intptr_t f) = 0;

 protected:
  ~TlsEngineOwner() = default;
};

// The client certificate choice copied into the engine.
struct TlsOwnCertificate {
  int32_t store_type = 0;
  ByteString store;
  ByteString password;
  ByteString subject;
};

class TlsEngine : private TlsHandshakeHandler {
 public:
  TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;
  ~TlsEngine();

  // Binds the engine to its owner with the defaults of a new engine. 0.
  int Init(TlsEngineOwner* owner, bool is_client);

  // ---- Settings (copied in by the owner before Start); 0 or 200 ----
  void SetProtocolMask(uint32_t mask) { protocol_mask_ = mask; }
  void SetSecurityFlags(uint32_t flags) { security_flags_ = flags; }
  // "*" when null or empty.
  int SetCipherSuiteList(const char* text);
  int SetServerName(const char* name) { return server_name_.SetText(OrEmpty(name)); }
  void SetReuseSession(bool on) { reuse_session_ = on; }
  int SetCaCerts(const char* text) { return ca_certs_.SetText(OrEmpty(text)); }
  int SetOwnCertificate(int32_t store_type, const ByteString& store, const ByteString& password,
                        const ByteString& subject);
  int SetTls12Groups(const char* text) { return tls12_groups_.SetText(OrEmpty(text)); }
  int SetKeyShareGroups(const char* text) { return key_share_groups_.SetText(OrEmpty(text)); }
  int SetTls13Groups(const char* text) { return tls13_groups_.SetText(OrEmpty(text)); }
  int SetTls13SignatureSchemes(const char* text) {
    return tls13_signature_schemes_.SetText(OrEmpty(text));
  }
  int SetTls12SignatureAlgorithms(const char* text) {
    return tls12_signature_algorithms_.SetText(OrEmpty(text));
  }
  int SetAlpn(const char* text) { return alpn_.SetText(OrEmpty(text)); }
  void SetLogPackets(bool on) { log_packets_ = on; }
  // Every setting and both session states of the other engine. 0 or 200.
  int CopyFrom(const TlsEngine& other);

  // ---- Entry points ----
  // Begins the handshake: resets both session states; the hellos are not built, so it fails
  // with kErrTlsUnavailable through the owner's failure hook.
  int Start();
  // The peer closed with `code` (1: during the handshake); clears the established flag.
  int PeerClosed(int code);
  // Record input, in any slicing. 0 or the code that stopped it.
  int Receive(const void* bytes, int n);
  // Sends pending output, then the data as application-data records of at most 16384 bytes.
  // *sent counts the data bytes taken; 10035 when the socket would block.
  int SendAppData(const void* bytes, int n, int* sent);
  // Sends pending output; nonzero while output remains.
  int FlushPending();
  // Tells the peer the session ends (close_notify, when established) and clears established.
  int Close();

  // ---- Version rules over the protocol mask (Fail 278 when no version is enabled) ----
  int HighestVersion(uint16_t* version);
  int LowestEnabledVersion(uint16_t* version);
  bool VersionEnabled(uint16_t version) const { return VersionAllowed(protocol_mask_, version); }
  // The suites this engine offers, kept as offeredSuites.
  int OfferSuites();
  const std::vector<uint16_t>& offered_suites() const { return offered_suites_; }

  // ---- Used by the handshake units ----
  TlsSessionState& current() { return current_; }
  TlsSessionState& pending() { return pending_; }
  int state() const { return state_; }
  void set_state(int state) { state_ = state; }
  bool tls13() const { return tls13_; }
  void set_tls13(bool on) { tls13_ = on; }
  void set_resumed(bool on) { resumed_ = on; }
  ByteString& transcript() { return dispatcher_.transcript(); }
  // Sends a handshake message (type and body): framed, entered into the transcript, sent with
  // the pending state's record version.
  int SendHandshakeMessage(uint8_t type, const uint8_t* body, size_t length);
  // Sends ChangeCipherSpec and switches the write direction to the pending keys.
  int SendChangeCipherSpec();
  // Sends this side's Finished over the transcript so far.
  int SendFinished();
  int SendAlert(uint8_t level, uint8_t description);
  // Records written between the two go out in one send.
  void BeginFlight();
  int EndFlight();
  // Offers the server's certificate to the owner: accept starts as (status_code == 0); a non-zero
  // code is put in front of the status text as "[0x<code>] ". 0 or the owner's code.
  int CheckServerCertificate(const void* encoded, int length, const char* subject,
                             const char* issuer, int status_code, const char* status_text,
                             bool* accept);
  // Fatal unexpected_message, its status line and Fail 276 with the message name.
  int UnexpectedMessage(const char* name);

  // ---- State ----
  bool established() const { return established_; }
  bool is_client() const { return is_client_; }
  // The ALPN protocol the server selected; "" when none.
  const char* negotiated_text() const { return negotiated_text_.c_str(); }
  const char* error_text() const { return error_text_.c_str(); }
  bool settings_copied() const { return settings_copied_; }
  void set_settings_copied(bool on) { settings_copied_ = on; }
  bool HasPendingOutput() const { return !pending_output_.empty(); }

  uint32_t protocol_mask() const { return protocol_mask_; }
  uint32_t security_flags() const { return security_flags_; }
  const ByteString& cipher_suite_text() const { return cipher_suite_text_; }
  const ByteString& server_name() const { return server_name_; }
  bool reuse_session() const { return reuse_session_; }
  const ByteString& ca_certs() const { return ca_certs_; }
  const TlsOwnCertificate& own_certificate() const { return own_certificate_; }
  const ByteString& tls12_groups() const { return tls12_groups_; }
  const ByteString& key_share_groups() const { return key_share_groups_; }
  const ByteString& tls13_groups() const { return tls13_groups_; }
  const ByteString& tls13_signature_schemes() const { return tls13_signature_schemes_; }
  const ByteString& tls12_signature_algorithms() const { return tls12_signature_algorithms_; }
  const ByteString& alpn() const { return alpn_; }
  bool log_packets() const { return log_packets_; }

 private:
  static const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }
  // First the error hook, then (before the handshake completed) keeps the text; then the owner's
  // failure hook. Returns the code.
  int Fail(int code, const char* text);
  int Status(const char* text);
  int FailWithAlert(uint8_t alert, int code, const char* text);

  int ProcessRecord(uint8_t* record, size_t length);
  int ProcessSsl2Record(const uint8_t* record, size_t length);
  int HandleChangeCipherSpec(const uint8_t* body, size_t n, bool decrypted);
  int HandleAlert(const uint8_t* body, size_t n);
  int HandleFinished(const uint8_t* body, size_t n);
  int Complete();

  // TlsHandshakeHandler
  int OnHandshakeMessage(uint8_t type, const uint8_t* body, size_t length,
                         size_t* consumed) override;
  int AfterHandshakeMessage(uint8_t type) override;
  void OnUnknownHandshakeMessage(uint8_t type) override;
  int OnHandshakeFault(int alert, const char* text) override;

  // One record of `type` through the current write direction.
  int WriteRecord(uint8_t type, uint16_t version, const uint8_t* body, size_t n);
  // Framed bytes to the flight, behind pending output, or to the owner; the part the owner does
  // not take is queued in order.
  int Emit(const uint8_t* bytes, size_t n);
  uint16_t RecordVersion() const;
  // One packet-log status: the description, the record's bytes and, for an opened record, the
  // plain bytes after the decrypted marker.
  void LogRecord(bool incoming, uint8_t type, const ByteString* wire, const uint8_t* body, size_t n);

  TlsEngineOwner* owner_ = nullptr;
  bool is_client_ = true;
  bool authenticate_clients_ = false;
  bool weak_allowed_ = false;
  bool reuse_session_ = true;
  bool renegotiation_allowed_ = true;
  bool resumed_ = false;
  bool tls13_ = false;
  bool established_ = false;
  bool log_packets_ = false;
  bool settings_copied_ = false;
  bool finished_sent_ = false;
  bool tls13_ccs_dropped_ = false;
  bool failed_ = false;
  uint32_t security_flags_ = 0;
  uint32_t protocol_mask_ = 0xFFFF;
  int state_ = kStateClientHelloSent;
  ByteString tls12_signature_algorithms_;
  ByteString tls12_groups_;
  ByteString tls13_signature_schemes_;
  ByteString tls13_groups_;
  ByteString key_share_groups_;
  ByteString alpn_;
  ByteString negotiated_text_;
  ByteString server_name_;
  ByteString cipher_suite_text_;
  ByteString error_text_;
  ByteString ca_certs_;
  TlsOwnCertificate own_certificate_;
  TlsSessionState current_;
  TlsSessionState pending_;
  TlsRecordLayer records_;
  TlsHandshakeDispatcher dispatcher_;
  ByteString* record_sink_ = nullptr;
  ByteString flight_;
  std::vector<uint16_t> offered_suites_;
  ByteString pending_output_;
};

// List settings of the TLS client: blanks removed, split at ",", every item known (case ignored
// for groups and schemes). 0, or -1 with the setting left as it was; *error gets the reason.
using TlsIdList = std::vector<uint16_t>;
int ParseSupportedGroups(const char* text, bool tls13, TlsIdList* out);
int ParseSignatureSchemes(const char* text, TlsIdList* out);
int ParseTls12SignatureAlgorithms(const char* text, TlsIdList* out, ByteString* error);

// SSLEnabledCipherSuites: "*" or empty accepts every suite; otherwise every ";"-separated name
// must be a suite the own engine knows (the platform path knows none in this build). 0, or 202
// with "Invalid SSLEnabledCipherSuites Value: <name>." in *error.
int ParseEnabledCipherSuites(bool own_engine, const char* text, ByteString* error);

// The platform TLS path: acquiring its credentials fails here with kErrTlsUnavailable and the
// text in *error.
int AcquirePlatformTlsCredentials(ByteString* error);

}  // namespace tw
