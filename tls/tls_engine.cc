#include "tls/tls_engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "crypto/symmetric/hmac.h"
#include "tls/tls12_key_derivation.h"
#include "tls/tls_alerts.h"
#include "tls/tls_key_exchange.h"

namespace tw {
namespace {

constexpr char kTextConnectionEstablished[] = "Socket connection established.";
constexpr char kTextNoVersions[] = "No supported protocol versions enabled";
constexpr char kTextPeerClosed[] = "Remote host disconnected during SSL negotiation.";
constexpr char kTextUnrecognized[] = "Unrecognized SSL packet data received.";
constexpr char kTextUnknownContent[] = "SSL data packet with unknown Content Type";
constexpr char kTextSsl2[] = "SSL 2.0 not supported";
constexpr char kTextRecordOverflow[] = "SSL record exceeds the maximum length.";
constexpr char kTextInterleaved[] = "Interleaved record";
constexpr char kTextAppData[] = "Application Data";
constexpr char kTextCcs[] = "ChangeCipherSpec";
constexpr char kTextBadAlert[] = "Malformed alert received.";
constexpr char kTextBadFinished[] = "Could not verify the Finished message received";
constexpr char kTextFinishedVerified[] = "Finished message received and verified successfully";
constexpr char kTextSendFailed[] = "Sending to the peer failed.";
constexpr char kTextNotEstablished[] = "SSL handshake not complete.";
constexpr char kTextCloseNotify[] = "Received ALERT_CLOSE_NOTIFY, closing SSL connection";
constexpr char kTextSwitchWrite[] = "ChangeCipherSpec message sent. Switching write context";
constexpr char kTextSwitchRead[] = "ChangeCipherSpec message received. Switching read context";
constexpr char kFormatUnexpected[] = "Unexpected %s message received from peer. Aborting.";
constexpr char kFormatFatalAlert[] = "Received fatal alert: %s";
constexpr char kFormatWarningAlert[] = "Warning Alert: %s";
constexpr char kFormatUnknownMessage[] = "Unexpected Handshake message: %d";
constexpr char kFormatProtocol[] = " Protocol: %s";
constexpr char kFormatCipher[] = " Cipher: %s";
constexpr char kFormatCipherStrength[] = " Cipher strength: %d";
constexpr char kFormatHash[] = " Hash: %s";
constexpr char kFormatHashStrength[] = " Hash Strength: %d";
constexpr char kFormatKeyExchange[] = " Key exchange: %s";
constexpr char kFormatKeyExchangeStrength[] = " Key exchange strength: %d";
constexpr char kFormatLocalScheme[] = " Local Signature scheme: %s";
constexpr char kFormatRemoteScheme[] = " Remote Signature scheme: %s";
constexpr char kFormatHandshakeLog[] = "Handshake Protocol: %s";
constexpr char kFormatUnknownHandshakeLog[] = "Handshake Protocol: Unknown (%d)";
constexpr char kFormatUnknownContentLog[] = "Unknown SSL Content Type (%d)";
constexpr char kFormatPacketLog[] = "[TLS] %s %s (%d bytes)\r\n";
constexpr char kFormatDecrypted[] = "\r\n-----Decrypted (%d bytes)-----\r\n";
constexpr char kFormatCertificateStatus[] = "[0x%x] %s";
constexpr char kTextNegotiated[] = "Negotiated SSL parameters:";

using C12 = TlsClient12State;
using C13 = TlsClient13State;
using S12 = TlsServer12State;
using S13 = TlsServer13State;

template <typename State>
constexpr uint8_t Bit(State s) {
  return static_cast<uint8_t>(1u << static_cast<unsigned>(s));
}

// The states of each machine in which a handshake message is in its place; the one place that
// says which message may come when.
struct HandshakeRule {
  uint8_t type;
  uint8_t client12;
  uint8_t client13;
  uint8_t server12;
  uint8_t server13;
};
constexpr uint8_t kEveryState = 0xFF;
constexpr HandshakeRule kRules[] = {
    // A HelloRequest is taken in any state and acted on only between handshakes.
    {kHsHelloRequest, kEveryState, 0, 0, 0},
    {kHsClientHello, 0, 0, Bit(S12::kClientHello) | Bit(S12::kDone), Bit(S13::kClientHello)},
    {kHsServerHello, Bit(C12::kServerHello), Bit(C13::kServerHello), 0, 0},
    {kHsHelloRetryRequest, Bit(C12::kServerHello), Bit(C13::kServerHello), 0, 0},
    {kHsNewSessionTicket, Bit(C12::kDone), Bit(C13::kDone), 0, 0},
    {kHsEncryptedExtensions, 0, Bit(C13::kEncryptedExtensions), 0, 0},
    {kHsCertificate, Bit(C12::kCertificate), Bit(C13::kCertificate), Bit(S12::kCertificate),
     Bit(S13::kCertificate)},
    {kHsServerKeyExchange, Bit(C12::kServerKeyExchange), 0, 0, 0},
    {kHsCertificateRequest, Bit(C12::kCertificateRequest), Bit(C13::kCertificateRequest), 0, 0},
    {kHsServerHelloDone, Bit(C12::kServerHelloDone), 0, 0, 0},
    {kHsCertificateVerify, 0, Bit(C13::kCertificateVerify), Bit(S12::kCertificateVerify),
     Bit(S13::kCertificateVerify)},
    {kHsClientKeyExchange, 0, 0, Bit(S12::kClientKeyExchange), 0},
    {kHsFinished, Bit(C12::kFinished), Bit(C13::kFinished), Bit(S12::kFinished), Bit(S13::kFinished)},
    {kHsKeyUpdate, 0, Bit(C13::kDone), 0, Bit(S13::kDone)},
};

const HandshakeRule* FindRule(uint8_t type) {
  for (const HandshakeRule& r : kRules) {
    if (r.type == type) return &r;
  }
  return nullptr;
}

// The states by their TlsState number; the first of a number is the one set_state enters.
struct NumberedState {
  int number;
  TlsMachine machine;
  uint8_t state;
};
template <typename State>
constexpr NumberedState Numbered(int number, TlsMachine machine, State s) {
  return {number, machine, static_cast<uint8_t>(s)};
}
constexpr NumberedState kNumberedStates[] = {
    Numbered(kStateClientHelloSent, kTlsClient12, C12::kServerHello),
    Numbered(kStateServerHelloReceived, kTlsClient12, C12::kCertificate),
    Numbered(kStateServerHelloReceived, kTlsClient12, C12::kServerKeyExchange),
    Numbered(kStateServerHelloReceived, kTlsClient12, C12::kCertificateRequest),
    Numbered(kStateServerHelloReceived, kTlsClient12, C12::kServerHelloDone),
    Numbered(kStateWaitFinished, kTlsClient12, C12::kChangeCipherSpec),
    Numbered(kStateWaitFinished, kTlsClient12, C12::kFinished),
    Numbered(kStateClientHelloSent, kTlsClient13, C13::kServerHello),
    Numbered(kStateTls13ServerHello, kTlsClient13, C13::kEncryptedExtensions),
    Numbered(kStateTls13EncryptedExtensions, kTlsClient13, C13::kCertificateRequest),
    Numbered(kStateCertificateRequested, kTlsClient13, C13::kCertificate),
    Numbered(kStateCertificateReceived, kTlsClient13, C13::kCertificateVerify),
    Numbered(kStateWaitFinished, kTlsClient13, C13::kFinished),
    Numbered(kStateWaitClientHello, kTlsServer12, S12::kClientHello),
    Numbered(kStateCertificateRequested, kTlsServer12, S12::kCertificate),
    Numbered(kStateWaitClientHello, kTlsServer12, S12::kClientKeyExchange),
    Numbered(kStateCertificateReceived, kTlsServer12, S12::kCertificateVerify),
    Numbered(kStateWaitFinished, kTlsServer12, S12::kChangeCipherSpec),
    Numbered(kStateWaitFinished, kTlsServer12, S12::kFinished),
    Numbered(kStateWaitClientHello, kTlsServer13, S13::kClientHello),
    Numbered(kStateCertificateRequested, kTlsServer13, S13::kCertificate),
    Numbered(kStateCertificateReceived, kTlsServer13, S13::kCertificateVerify),
    Numbered(kStateWaitFinished, kTlsServer13, S13::kFinished),
};

}  // namespace

TlsEngine::TlsEngine() { Init(nullptr, true); }

TlsEngine::~TlsEngine() = default;

int TlsEngine::Init(TlsEngineOwner* owner, bool is_client) {
  owner_ = owner;
  is_client_ = is_client;
  authenticate_clients_ = false;
  weak_allowed_ = false;
  reuse_session_ = true;
  renegotiation_allowed_ = true;
  resumed_ = false;
  tls13_ = false;
  established_ = false;
  BeginHandshake();
  application_schedule_.reset();
  tls13_ccs_dropped_ = false;
  failed_ = false;
  protocol_mask_ = 0xFFFF;
  security_flags_ = 0;
  state_ = 0;
  closed_ = false;
  peer_close_notify_ = false;
  log_packets_ = false;
  settings_copied_ = false;
  record_sink_ = nullptr;
  tls12_groups_.SetText(kDefaultTls12Groups);
  tls13_groups_.SetText(kDefaultTls13Groups);
  key_share_groups_.SetText(kDefaultKeyShareGroups);
  tls12_signature_algorithms_.SetText(kDefaultTls12SignatureAlgorithms);
  tls13_signature_schemes_.SetText(kDefaultTls13SignatureSchemes);
  pending_output_.Reset();
  alpn_protocol_.Reset();
  error_text_.Reset();
  current_.Reset();
  pending_.Reset();
  current_.is_client = pending_.is_client = is_client;
  records_.Reset();
  dispatcher_.Reset();
  return kOk;
}

int TlsEngine::SetCipherSuiteList(const char* text) {
  return cipher_suite_text_.SetText(text != nullptr && *text != '\0' ? text : kAllCipherSuites);
}

int TlsEngine::SetOwnCertificate(int32_t store_type, const ByteString& store,
                                 const ByteString& password, const ByteString& subject) {
  own_certificate_.store_type = store_type;
  int rc = own_certificate_.store.Assign(store);
  if (rc == kOk) rc = own_certificate_.password.Assign(password);
  if (rc == kOk) rc = own_certificate_.subject.Assign(subject);
  if (!is_client_ && hs_ != nullptr && !hs_->hello_retry && At(TlsServer12State::kClientHello)) {
    hs_->own_certificate_changed = true;
  }
  return rc;
}

int TlsEngine::CopyFrom(const TlsEngine& other) {
  is_client_ = other.is_client_;
  authenticate_clients_ = other.authenticate_clients_;
  weak_allowed_ = other.weak_allowed_;
  reuse_session_ = other.reuse_session_;
  renegotiation_allowed_ = other.renegotiation_allowed_;
  resumed_ = other.resumed_;
  tls13_ = other.tls13_;
  // Established is never copied: only a handshake on this engine's own connection sets it.
  // A handshake under way goes on in the copy with nothing of it but whether Finished was sent.
  hs_.reset();
  if (other.hs_ != nullptr) {
    hs_ = std::make_unique<TlsHandshake>();
    hs_->finished_sent = other.hs_->finished_sent;
  }
  protocol_mask_ = other.protocol_mask_;
  security_flags_ = other.security_flags_;
  state_ = other.state_;
  closed_ = other.closed_;
  log_packets_ = other.log_packets_;
  record_sink_ = nullptr;
  offered_suites_ = other.offered_suites_;
  int rc = tls12_signature_algorithms_.Assign(other.tls12_signature_algorithms_);
  if (rc == kOk) rc = tls12_groups_.Assign(other.tls12_groups_);
  if (rc == kOk) rc = tls13_signature_schemes_.Assign(other.tls13_signature_schemes_);
  if (rc == kOk) rc = tls13_groups_.Assign(other.tls13_groups_);
  if (rc == kOk) rc = key_share_groups_.Assign(other.key_share_groups_);
  if (rc == kOk) rc = alpn_.Assign(other.alpn_);
  if (rc == kOk) rc = alpn_protocol_.Assign(other.alpn_protocol_);
  if (rc == kOk) rc = server_name_.Assign(other.server_name_);
  if (rc == kOk) rc = cipher_suite_text_.Assign(other.cipher_suite_text_);
  if (rc == kOk) rc = error_text_.Assign(other.error_text_);
  if (rc == kOk) rc = ca_certs_.Assign(other.ca_certs_);
  if (rc == kOk) {
    rc = SetOwnCertificate(other.own_certificate_.store_type, other.own_certificate_.store,
                           other.own_certificate_.password, other.own_certificate_.subject);
  }
  if (rc == kOk) rc = current_.CopyFrom(other.current_);
  if (rc == kOk) rc = pending_.CopyFrom(other.pending_);
  // Saved sessions go with the settings, so a copied engine can resume them.
  session_cache_.Clear();
  if (rc == kOk) rc = session_cache_.CopyFrom(other.session_cache_);
  if (rc == kOk) rc = offered_.CopyFrom(other.offered_);
  if (rc == kOk) rc = pending_output_.Assign(other.pending_output_);
  WipeString(dispatcher_.transcript());
  return rc;
}

int TlsEngine::Status(const char* text) {
  return owner_ != nullptr ? owner_->LogTlsStatus(text) : kOk;
}

int TlsEngine::Fail(int code, const char* text) {
  // The first cause wins: what follows a failure already reported is its consequence.
  if (failed_) return code;
  failed_ = true;
  return Report(code, text);
}

int TlsEngine::Report(int code, const char* text) {
  if (owner_ != nullptr) owner_->ReportTlsError(code, text);
  if (!established_) error_text_.SetText(text);
  if (owner_ != nullptr) owner_->SetErrorCodeText(code, text);
  return code;
}

int TlsEngine::FailWithAlert(uint8_t alert, int code, const char* text) {
  if (alert != 0) SendAlert(kAlertLevelFatal, alert);
  return Fail(code, text);
}

int TlsEngine::CheckServerCertificate(const void* encoded, int length, const char* subject,
                                      const char* issuer, int status_code, const char* status_text,
                                      bool* accept) {
  int verdict = status_code == 0 ? 1 : 0;
  ByteString status;
  if (status_code != 0) {
    status.Format(kFormatCertificateStatus, static_cast<unsigned>(status_code), OrEmpty(status_text));
  } else {
    status.SetText(OrEmpty(status_text));
  }
  int rc = kOk;
  if (owner_ != nullptr) {
    rc = owner_->CheckServerCertificate(encoded, length, OrEmpty(subject), OrEmpty(issuer),
                                        status.c_str(), &verdict);
  }
  *accept = verdict != 0;
  return rc;
}

int TlsEngine::UnexpectedMessage(const char* name) {
  SendAlert(kAlertLevelFatal, kAlertUnexpectedMessage);
  ByteString line;
  line.Format(kFormatUnexpected, name);
  Status(line.c_str());
  return Fail(kErrTlsProtocol, name);
}

int TlsEngine::HighestVersion(uint16_t* version) {
  if (HighestHelloVersion(protocol_mask_, version)) return kOk;
  return Fail(kErrTlsUnsupported, kTextNoVersions);
}

int TlsEngine::LowestEnabledVersion(uint16_t* version) {
  if (LowestVersion(protocol_mask_, version)) return kOk;
  return Fail(kErrTlsUnsupported, kTextNoVersions);
}

int TlsEngine::OfferSuites() {
  if (!BuildSuiteOffer(cipher_suite_text_.c_str(), protocol_mask_, weak_allowed_,
                       &offered_suites_)) {
    return Fail(kErrTlsUnsupported, kTextNoVersions);
  }
  return kOk;
}

int TlsEngine::Start() {
  Status(kTextConnectionEstablished);
  established_ = false;
  resumed_ = false;
  tls13_ = false;
  tls13_ccs_dropped_ = false;
  failed_ = false;
  secure_renegotiation_ = false;
  alpn_protocol_.Reset();
  pending_output_.Reset();
  current_.Reset();
  pending_.Reset();
  // Each connection's export handshake makes its own temporary RSA key.
  ResetEphemeralRsaKey();
  current_.is_client = pending_.is_client = is_client_;
  records_.Reset();
  dispatcher_.Reset();
  BeginHandshake();
  application_schedule_.reset();
  WipeString(client_verify_data_);
  WipeString(server_verify_data_);
  peer_chain_.clear();
  // The hello states: a client's ServerHello, a server's ClientHello.
  state_ = 0;
  closed_ = false;
  peer_close_notify_ = false;
  if (int rc = LoadOwnCertificate(); rc != kOk) return rc;
  return is_client_ ? SendClientHello() : kOk;
}

int TlsEngine::LoadOwnCertificate() {
  own_cert_loaded_ = false;
  own_cert_.Release();
  const TlsOwnCertificate& c = own_certificate_;
  // The default store with nothing chosen means no client certificate.
  const bool chosen = !c.store.empty() && !(c.store.EqualsBytes("MY", 2) && c.store_type == 0 &&
                                            c.subject.empty() && c.password.empty());
  if (!chosen) return kOk;
  const int rc = own_cert_.Load(c.store.data(), c.store.length(), c.store_type, c.password.c_str(),
                                c.subject.c_str(), nullptr, 0);
  if (rc != kOk) return Fail(rc, own_cert_.error_text().c_str());
  own_cert_loaded_ = true;
  return kOk;
}

int TlsEngine::PeerClosed(int code) {
  // A close that follows a failure already reported adds nothing.
  const bool during_handshake = is_client_ && !established_ && code == 1 && !failed_;
  established_ = false;
  if (!during_handshake) return kOk;
  return Report(kErrTlsProtocol, kTextPeerClosed);
}

// ---- Input ----

int TlsEngine::Receive(const void* bytes, int n) {
  if (bytes == nullptr || n <= 0) return kOk;
  const uint8_t* in = static_cast<const uint8_t*>(bytes);
  size_t off = 0;
  const size_t total = static_cast<size_t>(n);
  while (true) {
    // After close_notify or a fatal failure nothing more is read.
    if (closed_ || failed_) return kOk;
    size_t taken = 0;
    int rc = records_.Feed(in + off, total - off, &taken);
    if (rc != kOk) return rc;
    off += taken;
    uint8_t* record = nullptr;
    size_t length = 0;
    const bool ssl2 = !is_client_ && At(S12::kClientHello);
    switch (records_.Next(ssl2, &record, &length)) {
      case TlsRecordLayer::kNeedMore:
        if (off == total) return kOk;
        continue;
      case TlsRecordLayer::kUnknownType:
        records_.Reset();
        // A server past its first hello reads such bytes as a record of an unknown type.
        if (!is_client_) return FailWithAlert(kAlertUnexpectedMessage, kErrTlsUnsupported, kTextUnknownContent);
        return Fail(kErrTlsProtocol, kTextUnrecognized);
      case TlsRecordLayer::kOverflow:
        records_.Reset();
        return FailWithAlert(kAlertRecordOverflow, kErrTlsProtocol, kTextRecordOverflow);
      case TlsRecordLayer::kSsl2Record:
        rc = ProcessSsl2Record(record, length);
        break;
      case TlsRecordLayer::kRecord:
        rc = ProcessRecord(record, length);
        break;
    }
    records_.Consume();
    if (rc != kOk) {
      // Bytes after a failed record are dropped, and so is all later input.
      records_.Reset();
      failed_ = true;
      return rc;
    }
  }
}

int TlsEngine::ProcessSsl2Record(const uint8_t* record, size_t length) {
  if (length < 3 || record[2] != 1) return Fail(kErrTlsUnsupported, kTextSsl2);
  return Act(ProcessSsl2Hello(record, length));
}

int TlsEngine::ProcessRecord(uint8_t* record, size_t length) {
  uint8_t type = record[0];
  uint8_t* content = record + kTlsRecordHeaderBytes;
  size_t content_length = length - kTlsRecordHeaderBytes;
  bool decrypted = false;
  TlsRecordState& read = current_.read;
  ByteString wire;
  if (read.active() && (!tls13_ || type == kContentApplicationData)) {
    // The record is opened in place; the log shows it as it came.
    if (log_packets_) wire.Set(record, static_cast<int>(length));
    TlsRecordFault fault;
    const int rc = read.Unprotect(record, length, &type, &content, &content_length, &fault);
    if (rc != kOk) return FailWithAlert(static_cast<uint8_t>(fault.alert), rc, fault.text);
    decrypted = true;
  }
  if (log_packets_) LogRecord(true, type, decrypted ? &wire : nullptr, content, content_length);
  if (content_length > static_cast<size_t>(kTlsMaxPlaintext)) {
    return FailWithAlert(kAlertRecordOverflow, kErrTlsProtocol, kTextRecordOverflow);
  }
  // A handshake message that continues may only be continued by handshake records.
  if (dispatcher_.HasFragment() && type != kContentHandshake) {
    return UnexpectedMessage(kTextInterleaved);
  }
  switch (type) {
    case kContentChangeCipherSpec:
      return HandleChangeCipherSpec(content, content_length, decrypted);
    case kContentAlert:
      return HandleAlert(content, content_length);
    case kContentHandshake:
      return dispatcher_.Feed(content, content_length, *this);
    case kContentApplicationData:
      if (!AtDone() || !read.active()) return UnexpectedMessage(kTextAppData);
      if (owner_ != nullptr && content_length > 0) {
        // A record is no unit of the owner's data: lines may span records.
        owner_->OnIncomingData(content, static_cast<int>(content_length), false);
      }
      return kOk;
    default:
      return FailWithAlert(kAlertUnexpectedMessage, kErrTlsUnsupported, kTextUnknownContent);
  }
}

int TlsEngine::HandleChangeCipherSpec(const uint8_t* body, size_t n, bool decrypted) {
  const bool well_formed = n == 1 && body[0] == 1;
  if (tls13_) {
    // One plain ChangeCipherSpec is tolerated for middlebox compatibility.
    if (decrypted || !well_formed || tls13_ccs_dropped_) return UnexpectedMessage(kTextCcs);
    tls13_ccs_dropped_ = true;
    return kOk;
  }
  // Only when new keys wait, only once for them, and never before a client's certificate proof.
  const bool in_place = is_client_ ? At(C12::kChangeCipherSpec) : At(S12::kChangeCipherSpec);
  if (!well_formed || !in_place || pending_.read.suite() == nullptr || dispatcher_.HasFragment()) {
    return UnexpectedMessage(kTextCcs);
  }
  if (is_client_) {
    Enter(C12::kFinished);
  } else {
    Enter(S12::kFinished);
  }
  if (!current_.HoldsSession()) {
    const int rc = current_.CopyNegotiated(pending_);
    if (rc != kOk) return rc;
  }
  int rc = current_.read.CopyFrom(pending_.read);
  if (rc != kOk) return rc;
  current_.read.set_sequence(0);
  current_.read.set_active(true);
  Status(kTextSwitchRead);
  return current_.CopyNegotiated(pending_);
}

int TlsEngine::HandleAlert(const uint8_t* body, size_t n) {
  ByteString text;
  switch (ReceivedAlertEffect(body, n)) {
    case AlertEffect::kMalformed:
      return FailWithAlert(kAlertDecodeError, kErrTlsProtocol, kTextBadAlert);
    case AlertEffect::kCloseNotify:
      Status(kTextCloseNotify);
      if (!closed_) SendAlert(kAlertLevelWarning, kAlertCloseNotify);
      closed_ = true;
      peer_close_notify_ = true;
      return kOk;
    case AlertEffect::kFatal:
      text.Format(kFormatFatalAlert, AlertName(body[1], tls13_));
      return Fail(kErrTlsPeerAlert, text.c_str());
    case AlertEffect::kWarning:
      break;
  }
  text.Format(kFormatWarningAlert, AlertName(body[1], tls13_));
  Status(text.c_str());
  return kOk;
}

// ---- Handshake messages ----

// The driver: states whose message is optional pass until the message is in its place, then
// that state's handler takes it, enters the next state and says what it waits for.
int TlsEngine::OnHandshakeMessage(uint8_t type, const uint8_t* body, size_t length,
                                  size_t* consumed) {
  if (log_packets_) {
    if (const char* name = HandshakeLogName(type)) Status(name);
  }
  int rc = kOk;
  while (!InPlace(type)) {
    if (!SkipState(type, &rc)) return rc;
  }
  return Act(RunState(type, body, length, consumed));
}

int TlsEngine::Act(const TlsStep& step) {
  // A flight goes out whole, also one that ends in the alert of a failure.
  const int flushed = record_sink_ != nullptr ? EndFlight() : kOk;
  switch (step.kind) {
    case TlsStep::kError:
      if (step.text != nullptr) Fail(step.code, step.text);
      return step.code;
    case TlsStep::kDone:
      return flushed != kOk ? flushed : Complete();
    case TlsStep::kNextMessage:
    case TlsStep::kFlush:
      break;
  }
  return flushed;
}

bool TlsEngine::InPlace(uint8_t type) const {
  const HandshakeRule* rule = FindRule(type);
  if (rule == nullptr || state_ > kTlsStateDone || (hs_ == nullptr && !AtDone())) return false;
  const uint8_t masks[] = {rule->client12, rule->client13, rule->server12, rule->server13};
  return (masks[machine()] & (1u << state_)) != 0;
}

TlsStep TlsEngine::RunState(uint8_t type, const uint8_t* body, size_t length, size_t* consumed) {
  switch (type) {
    case kHsHelloRequest:
      return OnHelloRequest();
    case kHsClientHello:
      return OnClientHello(body, length);
    case kHsServerHello:
      return OnServerHello(body, length);
    case kHsHelloRetryRequest:
      return OnHelloRetryMessage(body, length);
    case kHsNewSessionTicket:
      return OnNewSessionTicket(body, length, consumed);
    case kHsEncryptedExtensions:
      return OnEncryptedExtensions(body, length, consumed);
    case kHsCertificate:
      return is_client_ ? OnCertificate(body, length) : OnClientCertificate(body, length);
    case kHsServerKeyExchange:
      return OnServerKeyExchange(body, length);
    case kHsCertificateRequest:
      return OnCertificateRequest(body, length);
    case kHsServerHelloDone:
      return OnServerHelloDone();
    case kHsCertificateVerify:
      return is_client_ ? OnCertificateVerify(body, length) : OnClientCertificateVerify(body, length);
    case kHsClientKeyExchange:
      return OnClientKeyExchange(body, length);
    case kHsFinished:
      return OnFinished(body, length);
    case kHsKeyUpdate:
      return OnKeyUpdate(body, length, consumed);
    default:
      return UnexpectedMessage(HandshakeMessageName(type));
  }
}

int TlsEngine::state() const {
  if (closed_) return kStateClosed;
  if (AtDone()) return kStateComplete;
  for (const NumberedState& n : kNumberedStates) {
    if (n.machine == machine() && n.state == state_) return n.number;
  }
  return kStateClientHelloSent;
}

void TlsEngine::set_state(int number) {
  if (number == kStateClosed) {
    closed_ = true;
    return;
  }
  if (number == kStateComplete) {
    state_ = kTlsStateDone;
    return;
  }
  for (const NumberedState& n : kNumberedStates) {
    if (n.machine == machine() && n.number == number) {
      state_ = n.state;
      return;
    }
  }
}

int TlsEngine::AfterHandshakeMessage(uint8_t type) {
  return type == kHsFinished ? Act(AnswerFinished()) : kOk;
}

TlsStep TlsEngine::AnswerFinished() {
  if (tls13_) return is_client_ ? FinishTls13Client() : FinishTls13Server();
  // The side that has not sent its Finished yet answers with its own before completing.
  if (!hs_->finished_sent) {
    BeginFlight();
    int rc = SendChangeCipherSpec();
    if (rc == kOk) rc = SendFinished();
    if (rc != kOk) return TlsStep::Error(rc, kTextSendFailed);
  }
  return TlsStep::Done();
}

void TlsEngine::OnUnknownHandshakeMessage(uint8_t type) {
  ByteString line;
  line.Format(kFormatUnknownMessage, type);
  Status(line.c_str());
}

int TlsEngine::OnHandshakeFault(int alert, const char* text) {
  return FailWithAlert(static_cast<uint8_t>(alert), kErrTlsProtocol, text);
}

TlsStep TlsEngine::OnFinished(const uint8_t* body, size_t n) {
  if (tls13_) return OnFinished13(body, n);
  ByteString expected;
  int rc = FinishedVerifyData(pending_, dispatcher_.transcript(), !is_client_, expected);
  if (rc != kOk) return rc;
  const bool same = n == static_cast<size_t>(expected.length()) &&
                    MacEquals(body, expected.bytes(), n);
  if (!same) {
    WipeString(expected);
    return FailWithAlert(kAlertHandshakeFailure, kErrTlsPeerAlert, kTextBadFinished);
  }
  Status(kTextFinishedVerified);
  ByteString& peer = is_client_ ? server_verify_data_ : client_verify_data_;
  rc = peer.Assign(expected);
  WipeString(expected);
  return rc;
}

int TlsEngine::Complete() {
  // A full handshake of TLS 1.2 or earlier is kept for resumption once both Finished passed.
  if (!resumed_) SaveSession();
  const TlsSessionState& s = current_;
  const TlsCipherSuite* suite = s.suite;
  ByteString line;
  Status(kTextNegotiated);
  line.Format(kFormatProtocol, CompletionVersionName(s.version));
  Status(line.c_str());
  if (suite != nullptr) {
    line.Format(kFormatCipher, suite->cipher_name);
    Status(line.c_str());
    line.Format(kFormatCipherStrength, suite->key_bits);
    Status(line.c_str());
    if (!suite->aead()) {
      line.Format(kFormatHash, SuiteHashName(suite->hash_id));
      Status(line.c_str());
      line.Format(kFormatHashStrength, HashDigestSize(suite->hash_id) * 8);
      Status(line.c_str());
    }
    // Under TLS 1.3 the exchange is named by its group.
    ByteString group;
    if (tls13_ && hs_->kx != nullptr) {
      const uint16_t id = hs_->kx->ec_mode ? CurveGroup(hs_->kx->own_ec.curve_id) : FfdheGroupOfBits(hs_->kx->p.BitLength());
      GroupName(id, &group);
    }
    line.Format(kFormatKeyExchange, tls13_ ? group.c_str() : KeyExchangeName(suite->kx));
    Status(line.c_str());
    line.Format(kFormatKeyExchangeStrength, hs_->kx != nullptr ? hs_->kx->prime_bits : 0);
    Status(line.c_str());
    if (tls13_) {
      line.Format(kFormatLocalScheme, SignatureSchemeName(pending_.own_signature_scheme));
      Status(line.c_str());
      line.Format(kFormatRemoteScheme, SignatureSchemeName(pending_.peer_signature_scheme));
      Status(line.c_str());
    }
  }
  WipeString(dispatcher_.transcript());
  dispatcher_.set_keep_transcript_on_hello(false);
  // A later renegotiation starts from a clean slate; the TLS 1.3 schedule stays for KeyUpdate.
  if (hs_->schedule != nullptr) application_schedule_ = std::move(hs_->schedule);
  hs_.reset();
  state_ = kTlsStateDone;
  established_ = true;
  error_text_.Reset();
  if (owner_ != nullptr) owner_->OnHandshakeEnded("");
  return kOk;
}

// ---- Output ----

uint16_t TlsEngine::RecordVersion() const {
  if (tls13_) return kTls12;
  if (current_.version != 0) return current_.version;
  if (pending_.version != 0) return pending_.version;
  return kTls10;
}

int TlsEngine::Emit(const uint8_t* bytes, size_t n) {
  if (record_sink_ != nullptr) return record_sink_->Append(bytes, static_cast<int>(n));
  // Behind queued output, never before it.
  if (!pending_output_.empty() || owner_ == nullptr) {
    const int rc = pending_output_.Append(bytes, static_cast<int>(n));
    if (rc != kOk || owner_ == nullptr) return rc;
    const int flushed = FlushPending();
    return flushed == kTlsWouldBlock ? kOk : flushed;
  }
  int sent = 0;
  const int rc = owner_->SendBytes(bytes, static_cast<int>(n), &sent);
  if (rc == kOk) return kOk;
  if (rc != kTlsWouldBlock) return SendFailed(rc);
  if (sent < 0) sent = 0;
  if (static_cast<size_t>(sent) > n) sent = static_cast<int>(n);
  return pending_output_.Append(bytes + sent, static_cast<int>(n - static_cast<size_t>(sent)));
}

int TlsEngine::WriteRecord(uint8_t type, uint16_t version, const uint8_t* body, size_t n) {
  const uint8_t* record = nullptr;
  size_t length = 0;
  if (log_packets_) LogRecord(false, type, nullptr, body, n);
  const int rc = records_.Frame(current_.write, type, version, body, n, &record, &length);
  if (rc != kOk) return rc;
  return Emit(record, length);
}

int TlsEngine::SendAlert(uint8_t level, uint8_t description) {
  const uint8_t body[2] = {level, description};
  return WriteRecord(kContentAlert, RecordVersion(), body, sizeof body);
}

int TlsEngine::SendHandshakeMessage(uint8_t type, const uint8_t* body, size_t length) {
  if (length > static_cast<size_t>(kTlsMaxHandshakeMessage)) return 202;
  ByteString message;
  int rc = message.AppendByte(type);
  if (rc == kOk) rc = message.AppendByte(static_cast<uint8_t>(length >> 16));
  if (rc == kOk) rc = message.AppendByte(static_cast<uint8_t>(length >> 8));
  if (rc == kOk) rc = message.AppendByte(static_cast<uint8_t>(length));
  if (rc == kOk && length > 0) rc = message.Append(body, static_cast<int>(length));
  if (rc == kOk) rc = dispatcher_.transcript().AppendString(message);
  // TLS 1.3 records carry the TLS 1.2 version.
  const uint16_t version = tls13_ ? kTls12 : pending_.version != 0 ? pending_.version : RecordVersion();
  for (int off = 0; rc == kOk && off < message.length(); off += kTlsMaxPlaintext) {
    const int piece = std::min(kTlsMaxPlaintext, message.length() - off);
    rc = WriteRecord(kContentHandshake, version, message.bytes() + off, static_cast<size_t>(piece));
  }
  return rc;
}

int TlsEngine::SendChangeCipherSpec() {
  if (pending_.write.suite() == nullptr) return 202;
  static constexpr uint8_t kBody[1] = {1};
  const uint16_t version = pending_.version != 0 ? pending_.version : RecordVersion();
  int rc = WriteRecord(kContentChangeCipherSpec, version, kBody, sizeof kBody);
  if (rc != kOk) return rc;
  if (!is_client_ || !current_.HoldsSession()) {
    rc = current_.CopyNegotiated(pending_);
    if (rc != kOk) return rc;
  }
  rc = current_.write.CopyFrom(pending_.write);
  if (rc != kOk) return rc;
  current_.write.set_sequence(0);
  current_.write.set_active(true);
  Status(kTextSwitchWrite);
  return kOk;
}

int TlsEngine::SendFinished() {
  ByteString verify;
  int rc = FinishedVerifyData(pending_, dispatcher_.transcript(), is_client_, verify);
  if (rc == kOk) rc = SendHandshakeMessage(kHsFinished, verify.bytes(), static_cast<size_t>(verify.length()));
  // Kept for the renegotiation_info of RFC 5746.
  if (rc == kOk) rc = (is_client_ ? client_verify_data_ : server_verify_data_).Assign(verify);
  WipeString(verify);
  if (rc == kOk) hs_->finished_sent = true;
  return rc;
}

void TlsEngine::BeginFlight() {
  flight_.Reset();
  record_sink_ = &flight_;
}

int TlsEngine::EndFlight() {
  record_sink_ = nullptr;
  if (flight_.empty()) return kOk;
  ByteString bytes(std::move(flight_));
  flight_.Reset();
  return Emit(bytes.bytes(), static_cast<size_t>(bytes.length()));
}

int TlsEngine::SendAppData(const void* bytes, int n, int* sent) {
  if (sent != nullptr) *sent = 0;
  if (!established_ || !current_.write.active()) return Report(kErrTlsProtocol, kTextNotEstablished);
  if (const int flushed = FlushPending(); flushed != kOk) return flushed;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  int taken = 0;
  while (p != nullptr && taken < n) {
    const int piece = std::min(kTlsMaxPlaintext, n - taken);
    const int rc = WriteRecord(kContentApplicationData, RecordVersion(), p + taken,
                               static_cast<size_t>(piece));
    if (rc != kOk) return rc;
    // A record that left whole or sits queued counts as taken; queued output stops the rest.
    taken += piece;
    if (sent != nullptr) *sent = taken;
    if (!pending_output_.empty()) return kTlsWouldBlock;
  }
  return kOk;
}

int TlsEngine::FlushPending() {
  if (pending_output_.empty() || owner_ == nullptr) return pending_output_.empty() ? kOk : kTlsWouldBlock;
  int sent = 0;
  const int rc = owner_->SendBytes(pending_output_.data(), pending_output_.length(), &sent);
  if (rc == kOk) {
    pending_output_.Reset();
  } else if (rc == kTlsWouldBlock) {
    if (sent > 0) pending_output_.EraseFront(std::min(sent, pending_output_.length()));
  } else {
    // Nothing more reaches this peer: the output goes, and the connection fails.
    pending_output_.Reset();
    return SendFailed(rc);
  }
  return pending_output_.empty() ? kOk : kTlsWouldBlock;
}

int TlsEngine::SendFailed(int code) {
  ByteString text;
  if (owner_ != nullptr) owner_->SendErrorText(code, &text);
  return Fail(code, text.empty() ? kTextSendFailed : text.c_str());
}

int TlsEngine::Close() {
  if (established_ && current_.write.active() && !closed_) {
    SendAlert(kAlertLevelWarning, kAlertCloseNotify);
    closed_ = true;
  }
  established_ = false;
  return kOk;
}

void TlsEngine::LogRecord(bool incoming, uint8_t type, const ByteString* wire, const uint8_t* body,
                          size_t n) {
  ByteString description;
  switch (type) {
    case kContentHandshake: {
      const char* name = n > 0 ? HandshakeLogDescription(body[0]) : nullptr;
      if (name != nullptr) {
        description.Format(kFormatHandshakeLog, name);
      } else {
        description.Format(kFormatUnknownHandshakeLog, n > 0 ? body[0] : -1);
      }
      break;
    }
    case kContentChangeCipherSpec:
      description.SetText("ChangeCipherSpecProtocol: ChangeCipherSpec");
      break;
    case kContentAlert:
      description.SetText("Alert");
      break;
    case kContentApplicationData:
      description.SetText("Application Data Protocol: Application Data");
      break;
    default:
      description.Format(kFormatUnknownContentLog, type);
      break;
  }
  ByteString line;
  const size_t total = wire != nullptr ? static_cast<size_t>(wire->length()) : n + kTlsRecordHeaderBytes;
  line.Format(kFormatPacketLog, incoming ? "Incoming" : "Outgoing", description.c_str(),
              static_cast<int>(total));
  if (wire != nullptr) {
    line.AppendHexDump(wire->data(), wire->length(), "");
    line.AppendFormat(kFormatDecrypted, static_cast<int>(n));
  }
  line.AppendHexDump(body, static_cast<int>(n), "");
  Status(line.c_str());
}

}  // namespace tw
