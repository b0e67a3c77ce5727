// The TLS protocol engine held by every TCP client, and what it needs of its owner.
//
// The engine frames records, reassembles and dispatches handshake messages into the transcript,
// runs the handshake (SSL 3.0 to TLS 1.3), protects records once keys are in force,
// checks the server's certificate chain through the owner's decision, resumes saved sessions and
// carries application data, as a client or as a server.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/pubkey/key_exchange.h"
#include "foundation/byte_string.h"
#include "tls/cipher_suites.h"
#include "tls/handshake_dispatcher.h"
#include "tls/hello_extensions.h"
#include "tls/record_layer.h"
#include "tls/session_cache.h"
#include "tls/tls_certificates.h"
#include "tls/tls_handshake.h"
#include "foundation/span_reader.h"
#include "tls/tls13_key_schedule.h"
#include "tls/tls_session_state.h"
#include "tls/tls_settings.h"

namespace tw {

// The handshake or the protocol failed: a refusal, a message out of place or malformed, or the
// peer's close while the handshake ran.
constexpr int kErrTlsProtocol = 276;
constexpr int kErrTlsUnsupported = 278;
constexpr int kErrTlsPeerAlert = 286;
constexpr int kTlsWouldBlock = 10035;

// The engine's state by number, as the owner and the tests see it; the handshake itself runs the
// state machines of tls_handshake.h.
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

// The engine's seven hooks land here; each returns 0 or an error code. SendErrorText names a
// failed send.
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
  // The text of an error SendBytes returned; left empty, the engine uses its own.
  virtual void SendErrorText(int code, ByteString* text) {
    (void)code;
    (void)text;
  }
  // A failure of the handshake or the session: the owner keeps the text and the code.
  virtual int SetErrorCodeText(int code, const char* text) = 0;
  // The handshake ended: null or "" on success, else the failure description.
  virtual int OnHandshakeEnded(const char* failure) = 0;
  // Decrypted application data.
  virtual int OnIncomingData(const void* bytes, int n, bool end_of_record) = 0;

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
  void SetRenegotiationAllowed(bool on) { renegotiation_allowed_ = on; }
  // A server asks for a client certificate and refuses a client without one.
  void SetAuthenticateClients(bool on) { authenticate_clients_ = on; }
  void SetWeakAllowed(bool on) { weak_allowed_ = on; }
  // Key material of each handshake as status lines (label and hex dump); off by default.
  void SetKeyDebug(bool on) { key_debug_ = on; }
  // Every setting and both session states of the other engine. 0 or 200.
  int CopyFrom(const TlsEngine& other);

  // ---- Entry points ----
  // Begins the handshake: resets both session states; a client sends its ClientHello, a server
  // loads its certificate and waits for one.
  int Start();
  // The peer closed with `code` (1: during the handshake; reported unless the handshake already
  // failed); clears the established flag.
  int PeerClosed(int code);
  // Record input, in any slicing. 0 or the code that stopped it.
  int Receive(const void* bytes, int n);
  // Sends pending output, then the data as application-data records of at most 16384 bytes.
  // *sent counts the data bytes taken; 10035 when the socket would block, the socket's code
  // when it failed.
  int SendAppData(const void* bytes, int n, int* sent);
  // Sends pending output: 0 when none is left, 10035 while some remains, or the socket's code
  // when the send failed (the connection then fails and the output is dropped).
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
  // The state by its number in TlsState, for the engine's role and family.
  int state() const;
  void set_state(int state);
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
  // The peer ended the session with close_notify (since the last Start).
  bool peer_close_notify() const { return peer_close_notify_; }
  bool is_client() const { return is_client_; }
  bool resumed() const { return resumed_; }
  // A key-debug line: the label and a hex dump, when the switch is on.
  void KeyDebugLine(const char* label, const uint8_t* bytes, size_t n);
  // The peer's certificate chain of the last handshake (DER, leaf first).
  const std::vector<ByteString>& peer_chain() const { return peer_chain_; }
  // The number of sessions kept for resumption.
  int cached_sessions() const { return session_cache_.Count(); }
  // The ALPN protocol the server selected; "" when none.
  const char* alpn_protocol() const { return alpn_protocol_.c_str(); }
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
  // The first failure of a connection: the error hook, then (before the handshake completed) the
  // text is kept, then the owner's failure hook. Once the connection failed, later failures add
  // nothing. Returns the code.
  int Fail(int code, const char* text);
  // The same hooks for a failure that does not end the connection (a refused call, the close).
  int Report(int code, const char* text);
  // A send the socket refused (not 10035): the connection fails with the socket's code and text.
  int SendFailed(int code);
  int Status(const char* text);
  int FailWithAlert(uint8_t alert, int code, const char* text);

  int ProcessRecord(uint8_t* record, size_t length);
  int ProcessSsl2Record(const uint8_t* record, size_t length);
  int HandleChangeCipherSpec(const uint8_t* body, size_t n, bool decrypted);
  int HandleAlert(const uint8_t* body, size_t n);
  int Complete();

  // ---- The state machines ----
  TlsMachine machine() const {
    return is_client_ ? (tls13_ ? kTlsClient13 : kTlsClient12) : (tls13_ ? kTlsServer13 : kTlsServer12);
  }
  template <typename State>
  bool At(State s) const { return state_ == static_cast<uint8_t>(s); }
  bool AtDone() const { return state_ == kTlsStateDone; }
  // Enter a state; one whose message this suite or setting never has is passed at once.
  void Enter(TlsClient12State s);
  void Enter(TlsClient13State s) { state_ = static_cast<uint8_t>(s); }
  void Enter(TlsServer12State s);
  void Enter(TlsServer13State s);
  // The message is in its place in the current state (kRules).
  bool InPlace(uint8_t type) const;
  // A message not in its place: an optional state passes itself (true), a required one refuses
  // the message with *rc.
  bool SkipState(uint8_t type, int* rc);
  // The current state's handler for its message.
  TlsStep RunState(uint8_t type, const uint8_t* body, size_t length, size_t* consumed);
  // What follows a Finished once it is in the transcript: this side's own Finished when it has
  // not sent it yet, the keys of the session, and completion.
  TlsStep AnswerFinished();
  // Carries out what a handler asks for: sends the flight it wrote, completes, or fails. 0 or
  // the code that stops the input.
  int Act(const TlsStep& step);

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

  // ---- Server handshake (server_handshake.cc) ----
  // What a ClientHello offered.
  struct ClientOffer {
    uint16_t version = 0;
    uint8_t random[32] = {};
    ByteString session_id;
    std::vector<uint16_t> suites;
    bool null_compression = false;
    bool ssl2 = false;
    std::vector<uint16_t> groups;
    std::vector<uint16_t> signature_algorithms;
    std::vector<uint16_t> versions;
    std::vector<uint16_t> share_groups;
    std::vector<ByteString> shares;
    bool has_renegotiation = false;
    ByteString renegotiation;
    ByteString alpn;
  };
  // The server's states, in wire order; each handler returns what it waits for next.
  TlsStep OnClientHello(const uint8_t* body, size_t n);
  int ParseClientExtensions(SpanReader block, ClientOffer* offer);
  TlsStep ProcessSsl2Hello(const uint8_t* record, size_t length);
  TlsStep AnswerClientHello(const ClientOffer& offer);
  void ChooseAlpn(const ByteString& client_list);
  int SendServerHello(const ClientOffer& offer, const ByteString* extensions13);
  int SignServerParams(const uint8_t* params, size_t length, ByteString* out);
  TlsStep SendServerFlight12(const ClientOffer& offer);
  TlsStep AnswerTls13(const ClientOffer& offer, const std::vector<uint16_t>& our_groups);
  int SendHelloRetryRequest(const ClientOffer& offer, uint16_t group);
  TlsStep OnClientCertificate(const uint8_t* body, size_t n);
  TlsStep OnClientKeyExchange(const uint8_t* body, size_t n);
  TlsStep OnClientCertificateVerify(const uint8_t* body, size_t n);
  TlsStep FinishTls13Server();

  // ---- Client handshake (client_handshake.cc) ----
  class CertificateHost;
  int SendClientHello();
  int PrepareKeyShares(ByteString* entries);
  int SendSsl2ClientHello(uint16_t hello_version);
  // The client's states, in wire order; each handler returns what it waits for next.
  TlsStep OnHelloRequest();
  TlsStep OnServerHello(const uint8_t* body, size_t n);
  TlsStep OnHelloRetryRequest(uint16_t suite_id, size_t message_length,
                              const ServerHelloExtensions& ext);
  TlsStep OnServerHello13(uint16_t suite_id, const ServerHelloExtensions& ext);
  // The HelloRetryRequest as a message of its own type (client_hello_retry.cc).
  TlsStep OnHelloRetryMessage(const uint8_t* body, size_t n);
  TlsStep OnEncryptedExtensions(const uint8_t* body, size_t n, size_t* consumed);
  TlsStep OnCertificate(const uint8_t* body, size_t n);
  TlsStep OnServerKeyExchange(const uint8_t* body, size_t n);
  TlsStep OnCertificateRequest(const uint8_t* body, size_t n);
  TlsStep OnServerHelloDone();
  TlsStep OnCertificateVerify(const uint8_t* body, size_t n);
  // Both sides: the peer's Finished, checked before it enters the transcript.
  TlsStep OnFinished(const uint8_t* body, size_t n);
  TlsStep OnFinished13(const uint8_t* body, size_t n);
  TlsStep FinishTls13Client();
  TlsStep OnNewSessionTicket(const uint8_t* body, size_t n, size_t* consumed);
  TlsStep OnKeyUpdate(const uint8_t* body, size_t n, size_t* consumed);
  int SendClientKeyExchange();
  int SendClientCertificateVerify();
  int VerifyServerSignature(SpanReader& in, const uint8_t* params, size_t params_length);
  int SaveSession();
  bool TakeOfferedSession();
  // A handshake refusal: the fatal alert, then Fail with the code and text.
  int Refuse(uint8_t alert, int code, const char* text);
  int RefuseUnknownRetryGroup(const ServerHelloExtensions& ext, const char* format);
  void KeyDebug(const char* label, const uint8_t* bytes, size_t n);
  void KeyDebug(const char* label, const ByteString& value) {
    KeyDebug(label, value.bytes(), static_cast<size_t>(value.length()));
  }
  // A fresh handshake object in place of any earlier one.
  void BeginHandshake();
  int LoadOwnCertificate();
  bool tls13_enabled_for_hello() const {
    return (protocol_mask_ & kTlsProtocolTls13) == kTlsProtocolTls13;
  }

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
  bool tls13_ccs_dropped_ = false;
  // The connection failed: nothing more is read, and no later failure is reported.
  bool failed_ = false;
  uint32_t security_flags_ = 0;
  uint32_t protocol_mask_ = 0xFFFF;
  // The current state of machine(), or kTlsStateDone between handshakes.
  uint8_t state_ = 0;
  // close_notify was sent or received: nothing more is read.
  bool closed_ = false;
  bool peer_close_notify_ = false;
  ByteString tls12_signature_algorithms_;
  ByteString tls12_groups_;
  ByteString tls13_signature_schemes_;
  ByteString tls13_groups_;
  ByteString key_share_groups_;
  ByteString alpn_;
  ByteString alpn_protocol_;
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

  bool key_debug_ = false;
  // The handshake in progress; none between handshakes.
  std::unique_ptr<TlsHandshake> hs_;
  // TLS 1.3: the schedule outlives its handshake for the KeyUpdates of the session.
  std::unique_ptr<Tls13KeySchedule> application_schedule_;
  // RFC 5746: whether the peer supports secure renegotiation, and the last Finished of each side.
  bool secure_renegotiation_ = false;
  ByteString client_verify_data_;
  ByteString server_verify_data_;
  CertSelection own_cert_;
  bool own_cert_loaded_ = false;
  CertSelection peer_cert_;
  std::vector<ByteString> peer_chain_;
  SessionCache session_cache_;
  SessionCacheEntry offered_;
};

}  // namespace tw
