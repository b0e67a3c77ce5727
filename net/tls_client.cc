#include "net/tls_client.h"

#include <cstring>

#include "certs/certificate.h"
#include "certs/pem_armor.h"
#include "foundation/event_sink.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextOk[] = "OK";
constexpr char kTextAlreadyConnected[] =
    "Already connected. If you want to reconnect, close the current connection first.";
constexpr char kTextAttemptingConnect[] = "Attempting to connect to server.";
constexpr char kTextUsingInternal[] = "Using internal security API.";
constexpr char kTextUsingPlatform[] = "Using platform security API.";
constexpr char kTextSocketEstablished[] = "Socket connection established.";
constexpr char kTextRemoteComplete[] = "Remote host connection complete.";
constexpr char kTextRemoteFailed[] = "Remote host connection failed.";
constexpr char kTextHostFailed[] = "Connection to host failed.";
constexpr char kTextHandshakeComplete[] = "SSL handshake complete.";
constexpr char kTextHandshakeFailed[] = "SSL handshake failed.";
constexpr char kTextWouldBlock[] =
    "Operation would block (to force disconnection, set Linger to FALSE).";
constexpr char kTextPlaintextQueue[] = "Out of memory [ssllb]. Aborting connection.";
constexpr char kTextConnectionTerminated[] = "SSL connection terminated.";
constexpr char kTextRemoteDisconnected[] = "Remote host disconnected.";
constexpr char kFormatDisconnectedEarly[] =
    "Server disconnected before handshake completion [0x%x].";
// With a delimiter, a partial line waits while at least this much room is left.
constexpr uint32_t kPartialLineRoom = 256;
constexpr char kTextPemDecode[] = "Failed to decode PEM file.";
constexpr char kTextCertDecode[] = "The certificate could not be decoded";
constexpr char kPemLabelCertificate[] = "CERTIFICATE";
constexpr char kPemBegin[] = "-----BEGIN";

// The DER of a certificate given as PEM text, bare Base64 text or DER. False when no bytes came
// out of the text.
bool CertificateDer(const void* data, int length, ByteString* der) {
  if (!IsPemText(data, length)) return der->Set(data, length) == kOk;
  if (der->Set(data, length) != kOk) return false;
  if (der->Find(kPemBegin, 0) < 0) {
    // Base64 as the certificate properties read back: no armour around it.
    return DecodeBase64(*der, false, true, true) == kOk && !der->empty();
  }
  return PemDecodeWithLabel(der, kPemLabelCertificate, data, length) == kOk && !der->empty();
}

}  // namespace

TlsClient::TlsClient() { Reset(); }

TlsClient::~TlsClient() {
  FreeSchannelContext();
  FreeSchannelCredentials();
}

int TlsClient::Reset() {
  int rc = TcpClient::Reset();
  accept_tls_data_ = true;
  tls_start_mode_ = 3;
  schannel_state_ = kSchannelIdle;
  schannel_words_[0] = schannel_words_[1] = 0;
  schannel_context_[0] = schannel_context_[1] = 0;
  alpn_list_.Reset();
  alpn_received_.Reset();
  tls_text3_.Reset();
  tls_text4_.Reset();
  pending_plaintext_.Reset();
  parse_ssl_server_cert_ = false;
  handshake_running_ = false;
  schannel_active_ = false;
  schannel_close_notify_ = false;
  handshaking_ = false;
  last_handshake_status_ = 0;
  handshake_input_.Reset();
  pending_output_.Reset();
  overflow_.Reset();
  server_certificate_.Reset();
  accepted_certificate_.Reset();
  return rc;
}

void* TlsClient::GetCertificate() {
  return cert_store_.selected.der.empty() ? nullptr : &cert_store_.selected;
}

int TlsClient::Config(ConfigRequest& request, const char** answer) {
  if (request.NameIs("ParseSSLServerCert")) {
    if (request.is_read()) return SetConfigAnswerBool(parse_ssl_server_cert_, answer);
    parse_ssl_server_cert_ = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("RemoteHostName") && request.is_read()) {
    return SetConfigAnswer(remote_host_name_.c_str(), answer);
  }
  return TcpClient::Config(request, answer);
}

// ---- Queues while TLS is active ----

int TlsClient::SetMaxLineLength(int n) {
  if (!tls_active_) return TcpClient::SetMaxLineLength(n);
  if (HasSocket()) {
    return SetErrorCodeText(kErrMaxLineLengthBusy,
                            "You cannot change MaxLineLength at this time. A connection is in "
                            "progress.");
  }
  uint32_t capacity = n < 1 ? 1 : static_cast<uint32_t>(n);
  if (capacity > kMaxLineCapacity) capacity = kMaxLineCapacity;
  if (!tls_queue_.Allocate(capacity)) return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  return kOk;
}

int TlsClient::GetInBufferCapacity() {
  return tls_active_ ? static_cast<int>(tls_queue_.Capacity()) : TcpClient::GetInBufferCapacity();
}

int TlsClient::CloseSocket() {
  // The session ends with the socket; whether the next connection uses TLS stays as chosen.
  schannel_state_ = kSchannelIdle;
  FreeSchannelContext();
  schannel_active_ = false;
  handshaking_ = false;
  handshake_input_.Reset();
  pending_output_.Reset();
  pending_plaintext_.Reset();
  if (!tls_queue_.Allocate(tls_queue_.Capacity() != 0 ? tls_queue_.Capacity()
                                                      : kDefaultLineCapacity)) {
    TcpClient::CloseSocket();
    return kErrOutOfMemory;
  }
  return TcpClient::CloseSocket();
}

// ---- Receiving ----

int TlsClient::OnReadable(int mode) {
  if (tls_active_ && accept_tls_data_ && accept_data_ && IsConnected() && !reading_) {
    // Plaintext held while data was not accepted, then records held back with it.
    DeliverPlaintext(nullptr, 0, false);
    if (use_internal_security_api_ == 0 && !handshake_input_.empty()) SchannelReceive(nullptr, 0);
  }
  return TcpClient::OnReadable(mode);
}

int TlsClient::OnDataIn(const void* bytes, int n, bool end_of_record) {
  // Ciphertext goes to the TLS layer, which hands the plaintext back through OnIncomingData.
  if (tls_active_ && !tunnel_.negotiating()) return TlsReceive(bytes, n);
  return OnDataInEvent(bytes, n, end_of_record);
}

int TlsClient::OnIncomingData(const void* bytes, int n, bool end_of_record) {
  return DeliverPlaintext(bytes, n, end_of_record);
}

int TlsClient::DeliverPlaintext(const void* bytes, int n, bool flush) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  const uint32_t length = p != nullptr && n > 0 ? static_cast<uint32_t>(n) : 0;
  if (length > 0) RecordTraffic(false, p, static_cast<int>(length));
  auto accepting = [&] { return accept_tls_data_ && accept_data_ && tls_active_; };
  // Without a delimiter, bytes that find nothing queued go to the owner as they are.
  uint32_t eol_length = 0;
  tls_queue_.GetEol(&eol_length);
  if (length > 0 && !delivering_ && accepting() && eol_length == 0 &&
      !tls_queue_.CrlfLineMode() && tls_queue_.Count() == 0 && overflow_.empty()) {
    return OnDataInEvent(p, static_cast<int>(length), false);
  }
  // Moves as much of the overflow into the queue as fits.
  auto drain_overflow = [&] {
    const uint32_t took = tls_queue_.Write(overflow_.data(), static_cast<uint32_t>(overflow_.length()));
    overflow_.EraseFront(static_cast<int>(took));
    return took;
  };
  if (tls_queue_.Count() < tls_queue_.Capacity()) {
    drain_overflow();
    uint32_t took = 0;
    if (overflow_.empty() && length > 0) took = tls_queue_.Write(p, length);
    if (took < length && overflow_.Append(p + took, static_cast<int>(length - took)) != kOk) {
      FireError(kErrPlaintextQueue, kTextPlaintextQueue);
      SetConnected(false, kErrPlaintextQueue);
      return kErrPlaintextQueue;
    }
  } else if (length > 0 && overflow_.Append(p, static_cast<int>(length)) != kOk) {
    FireError(kErrPlaintextQueue, kTextPlaintextQueue);
    SetConnected(false, kErrPlaintextQueue);
    return kErrPlaintextQueue;
  }
  if (delivering_) {
    // A handler asked for delivery (a new delimiter, more bytes): the running loop picks it up,
    // so nothing goes out twice or ahead of what is already queued.
    deliver_again_ = true;
    return kOk;
  }
  delivering_ = true;
  do {
    deliver_again_ = false;
    DeliverQueuedPlaintext(flush);
  } while (deliver_again_ && tls_active_);
  delivering_ = false;
  return kOk;
}

void TlsClient::DeliverQueuedPlaintext(bool flush) {
  auto accepting = [&] { return accept_tls_data_ && accept_data_ && tls_active_; };
  auto drain_overflow = [&] {
    const uint32_t took = tls_queue_.Write(overflow_.data(), static_cast<uint32_t>(overflow_.length()));
    overflow_.EraseFront(static_cast<int>(took));
    return took;
  };
  while (accepting()) {
    if (deliver_again_) return;
    const uint8_t* record = nullptr;
    uint32_t record_length = 0;
    // Without a delimiter nothing is a complete record: the bytes go out below, as chunks.
    uint32_t eol_length = 0;
    tls_queue_.GetEol(&eol_length);
    const bool delimited = eol_length != 0 || tls_queue_.CrlfLineMode();
    if (delimited && tls_queue_.ReadRecord(&record, &record_length)) {
      OnDataInEvent(record, static_cast<int>(record_length), true);
      continue;
    }
    if (overflow_.empty()) break;
    if (tls_queue_.Count() < tls_queue_.Capacity()) {
      drain_overflow();
      continue;
    }
    // A line longer than the queue goes out in pieces.
    if (!tls_queue_.Read(0, &record, &record_length)) break;
    OnDataInEvent(record, static_cast<int>(record_length), false);
  }
  if (accepting() && !deliver_again_) {
    uint32_t eol_length = 0;
    tls_queue_.GetEol(&eol_length);
    const bool delimited = eol_length != 0 || tls_queue_.CrlfLineMode();
    const bool wait = delimited && !flush &&
                      tls_queue_.Capacity() - tls_queue_.Count() >= kPartialLineRoom;
    const uint8_t* record = nullptr;
    uint32_t record_length = 0;
    if (!wait && tls_queue_.Read(0, &record, &record_length)) {
      OnDataInEvent(record, static_cast<int>(record_length), false);
    }
  }
}

int TlsClient::SetTlsLineDelimiter(const void* bytes, int n) {
  if (!tls_active_ || !tls_input_active_) return TcpClient::SetTlsLineDelimiter(bytes, n);
  SetErrorTextCode(0, "");
  tls_queue_.SetCrlfLineMode(false);
  split_crlf_ = false;
  const uint32_t length = bytes != nullptr ? static_cast<uint16_t>(n) : 0;
  if (!tls_queue_.SetEol(bytes, length)) return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  if (IsConnected()) DeliverPlaintext(nullptr, 0, false);
  return kOk;
}

// ---- Connection ----

int TlsClient::SetRemoteHost(const char* text) {
  if (remote_host_name_.SetText(text != nullptr ? text : "") != kOk) {
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }
  return TcpClient::SetRemoteHost(text);
}

bool TlsClient::HandshakeComplete() {
  if (use_internal_security_api_ != 0) return tls_engine_.established();
  return schannel_state_ == kSchannelComplete;
}

int TlsClient::SetConnected(bool connect, int error) {
  if (!tls_active_) return Connect(connect);
  const bool own_engine = use_internal_security_api_ != 0;
  if (connect) {
    if (schannel_state_ != kSchannelIdle || (own_engine && tls_engine_.established())) {
      return SetErrorCodeText(kErrAlreadyConnected, kTextAlreadyConnected);
    }
    if (!own_engine) {
      const int rc = SchannelAcquireCredentials(win::SECPKG_CRED_OUTBOUND);
      if (rc != kOk) return rc;
      schannel_state_ = kSchannelConnecting;
    }
    LogTlsStatus(kTextAttemptingConnect);
    const int rc = Connect(true);
    if (rc != kOk) schannel_state_ = kSchannelIdle;
    return rc;
  }

  if (!HandshakeComplete()) {
    schannel_state_ = kSchannelIdle;
    if (error != 0) {
      FireConnectionStatus(kTextHandshakeFailed, error);
      OnConnectedEvent(error & 0xFFFF);
    }
    return HandleClose(0);
  }

  bool output_left = false;
  if (own_engine) {
    tls_engine_.Close();
    // A flush the socket refused failed the connection and dropped the output.
    output_left = TlsFlush() == win::WSAEWOULDBLOCK;
  } else if (!pending_output_.empty() && linger_) {
    output_left = SchannelSendPending(nullptr, 0, false) != kOk || !pending_output_.empty();
  }
  if (output_left && linger_) {
    return SetErrorCodeText(win::WSAEWOULDBLOCK, kTextWouldBlock);
  }
  if (!own_engine) {
    schannel_state_ = kSchannelIdle;
    if (error == 0) SchannelShutdown(false);
  }
  if (error == 0) return Connect(false);
  return HandleClose(win::WSAMAKESELECTREPLY(win::FD_CLOSE, static_cast<unsigned>(error)));
}

int TlsClient::FailHandshake(int code) {
  handshake_running_ = false;
  return SetConnected(false, code);
}

int TlsClient::StartOwnEngine() {
  InitTlsDefaults(true);
  TlsEngine& e = tls_engine_;
  e.SetProtocolMask(static_cast<uint32_t>(ssl_enabled_protocols_));
  e.SetSecurityFlags(static_cast<uint32_t>(ssl_security_flags_));
  int rc = e.SetCipherSuiteList(ssl_enabled_cipher_suites_.c_str());
  if (rc == kOk) rc = e.SetServerName(remote_host_.c_str());
  e.SetReuseSession(reuse_ssl_session_);
  if (rc == kOk) rc = e.SetCaCerts(ca_certs_.c_str());
  if (rc == kOk) {
    rc = e.SetOwnCertificate(cert_store_.store_type, cert_store_.store, cert_store_.password,
                             cert_store_.subject);
  }
  if (rc == kOk) rc = e.SetTls12Groups(tls12_groups_.c_str());
  if (rc == kOk) rc = e.SetKeyShareGroups(tls13_key_share_groups_.c_str());
  if (rc == kOk) rc = e.SetTls13Groups(tls13_groups_.c_str());
  if (rc == kOk) rc = e.SetTls13SignatureSchemes(tls13_signature_algorithms_.c_str());
  if (rc == kOk) rc = e.SetTls12SignatureAlgorithms(tls12_signature_algorithms_.c_str());
  if (rc == kOk) rc = e.SetAlpn(alpn_list_.c_str());
  e.SetLogPackets(log_ssl_packets_);
  if (rc != kOk) return SetErrorCodeText(rc, "Out of memory.");
  LogTlsStatus(kTextUsingInternal);
  handshake_running_ = true;
  return StartTls();
}

int TlsClient::OnConnected(int code) {
  FireConnectionStatus(code == 0 ? kTextRemoteComplete : kTextRemoteFailed, code);
  if (!tls_active_) return OnConnectedEvent(code);

  if (code != 0) {
    schannel_state_ = kSchannelIdle;
    FireConnectionStatus(kTextHostFailed, code);
    return OnConnectedEvent(code);
  }

  const bool own_engine = use_internal_security_api_ != 0;
  ByteString reason;
  int rc = ParseEnabledCipherSuites(own_engine, ssl_enabled_cipher_suites_.c_str(), &reason);
  if (rc != kOk) {
    SetErrorCodeText(rc, reason.c_str());
    return FailHandshake(rc);
  }
  if (own_engine) {
    rc = StartOwnEngine();
    // A handshake that cannot start ends the connection now, not at the caller's time-out.
    if (rc != kOk) return FailHandshake(rc);
    return kOk;
  }
  LogTlsStatus(kTextUsingPlatform);
  LogTlsStatus(kTextSocketEstablished);
  if (ssl_credential_handle_[0] == 0) {
    rc = SchannelAcquireCredentials(win::SECPKG_CRED_OUTBOUND);
    if (rc != kOk) return FailHandshake(rc);
  }
  schannel_state_ = kSchannelConnecting;
  return SchannelStartHandshake();
}

int TlsClient::OnDisconnected(int code) {
  FireConnectionStatus(kTextRemoteDisconnected, code);
  // Nothing more will arrive: a partial last line goes out as it is.
  if (tls_active_) DeliverPlaintext(nullptr, 0, true);
  if (tls_active_ && use_internal_security_api_ != 0) {
    const bool during_handshake = handshake_running_;
    handshake_running_ = false;
    OnPeerClosedDuringTls(during_handshake ? 1 : 0);
  }
  if (tls_active_ && use_internal_security_api_ == 0) {
    if (schannel_state_ == kSchannelConnecting && handshaking_) {
      // The peer went away in the middle of the handshake.
      ByteString text;
      text.Format(kFormatDisconnectedEarly, static_cast<unsigned>(last_handshake_status_));
      SetErrorCodeText(kErrHandshake, text.c_str());
      ReportTlsError(kErrHandshake, text.c_str());
      handshaking_ = false;
      schannel_state_ = kSchannelIdle;
      FreeSchannelContext();
      FireConnectionStatus(kTextHandshakeFailed, last_handshake_status_);
      return OnConnectedEvent(kErrHandshake);
    }
    if (schannel_state_ == kSchannelComplete) FireConnectionStatus(kTextConnectionTerminated, code);
    FreeSchannelContext();
  }
  schannel_state_ = kSchannelIdle;
  return OnDisconnectedEvent(code);
}

int TlsClient::OnHandshakeEnded(const char* failure) {
  if (failure == nullptr || *failure == '\0') {
    handshake_running_ = false;
    FireConnectionStatusEvent(kTextHandshakeComplete, 0, kTextOk);
    OnConnectedEvent(0);
    ready_to_send_ = 1;
    OnReadyToSendEvent();
    alpn_received_.SetText(tls_engine_.alpn_protocol());
    return kOk;
  }
  FireConnectionStatusEvent(kTextHandshakeComplete, kErrTlsProtocol, failure);
  SetErrorCodeText(kErrTlsProtocol, failure);
  return FailHandshake(kErrTlsProtocol);
}

int TlsClient::OnReadyToSend() {
  if (!tls_active_) {
    ready_to_send_ = 1;
    return OnReadyToSendEvent();
  }
  if (use_internal_security_api_ != 0) {
    if (!tls_engine_.established()) return kOk;
    const int flushed = TlsFlush();
    if (flushed != kOk && flushed != win::WSAEWOULDBLOCK) return kOk;
    ready_to_send_ = 1;
    return OnReadyToSendEvent();
  }
  if (SchannelSendPending(nullptr, 0, false) != kOk || !pending_output_.empty()) return kOk;
  if (schannel_state_ != kSchannelComplete) return kOk;
  ready_to_send_ = 1;
  return OnReadyToSendEvent();
}

int TlsClient::TlsReceive(const void* bytes, int n) {
  if (use_internal_security_api_ != 0) return TcpClient::TlsReceive(bytes, n);
  return SchannelReceive(bytes, n);
}

int TlsClient::TlsSend(const void* bytes, int n, int* sent) {
  if (use_internal_security_api_ != 0) return TcpClient::TlsSend(bytes, n, sent);
  const int rc = SchannelEncryptAndSend(bytes, n, false);
  if (sent != nullptr) *sent = sent_count_;
  return rc;
}

int TlsClient::TlsFlush() {
  if (use_internal_security_api_ != 0) return TcpClient::TlsFlush();
  const int rc = SchannelSendPending(nullptr, 0, false);
  return rc != kOk ? rc : (pending_output_.empty() ? kOk : win::WSAEWOULDBLOCK);
}

int TlsClient::EndTls() {
  if (!tls_active_) return kOk;
  if (!gracefully_shut_down_ssl_) {
    FreeSchannelContext();
    schannel_active_ = false;
    return EnableTls(false);
  }
  if (use_internal_security_api_ == 0) {
    SchannelShutdown(true);
    return EnableTls(false);
  }
  tls_engine_.Close();
  TlsFlush();
  return EnableTls(false);
}

// ---- Forwarding to the events ----

int TlsClient::LogTlsStatus(const char* text) { return OnSslStatus(text); }

int TlsClient::ReportTlsError(int code, const char* text) { return FireError(code, text); }

int TlsClient::OnError(int code, const char* text) { return FireError(code, text); }

int TlsClient::CheckServerCertificate(const void* encoded, int length, const char* subject,
                                      const char* issuer, const char* status, int* accept) {
  ByteString der;
  if (encoded == nullptr || length <= 0 || !CertificateDer(encoded, length, &der)) der.Reset();
  server_certificate_ = std::move(der);
  // The engine may hand over the bare certificate: the event still names its subject and issuer.
  Certificate parsed;
  const bool named = (subject == nullptr || *subject == '\0') && !server_certificate_.empty() &&
                     ParseCertificateDer(server_certificate_.data(), server_certificate_.length(),
                                         &parsed) == kOk;
  if (named) {
    subject = parsed.tbs.subjectText.c_str();
    issuer = parsed.tbs.issuerText.c_str();
  }
  if (accept != nullptr && !accepted_certificate_.empty() &&
      accepted_certificate_.length() == server_certificate_.length() &&
      std::memcmp(accepted_certificate_.data(), server_certificate_.data(),
                  static_cast<size_t>(server_certificate_.length())) == 0) {
    *accept = 1;
  }
  return OnServerAuthenticationEvent(encoded, length, subject, issuer, status, accept);
}

int TlsClient::LoadCertificate(const void* data, int length) {
  accepted_certificate_.Reset();
  if (data == nullptr || length <= 0) return kOk;
  ByteString der;
  if (!CertificateDer(data, length, &der)) {
    return SetErrorCodeText(kErrCertificateDecode, kTextPemDecode);
  }
  Certificate parsed;
  if (ParseCertificateDer(der.data(), der.length(), &parsed) != kOk) {
    return SetErrorCodeText(kErrCertificateDecode, kTextCertDecode);
  }
  accepted_certificate_ = std::move(der);
  return kOk;
}

int TlsClient::FireConnectionStatus(const char* text, int code) {
  const char* description = kTextOk;
  if (code != 0) {
    if (error_text().empty()) SetWinsockErrorText(code);
    description = error_text().c_str();
  }
  // The description may be the error text itself, which a handler could change: pass a copy.
  ByteString copy;
  copy.SetText(description);
  return FireConnectionStatusEvent(text, code, copy.c_str());
}

int TlsClient::OnSslStatus(const char* text) { return FireSSLStatus(text); }

int TlsClient::OnReadyToSendEvent() { return FireReadyToSend(); }

int TlsClient::OnConnectedEvent(int code) {
  ByteString description;
  if (code == 0) {
    description.SetText(kTextOk);
  } else {
    if (code != kErrFirewall && error_text().empty()) SetWinsockErrorText(code);
    description.Assign(error_text());
  }
  return FireConnected(code, description.c_str());
}

int TlsClient::OnDataInEvent(const void* bytes, int n, bool end_of_record) {
  return FireDataIn(bytes, n, end_of_record);
}

int TlsClient::OnDisconnectedEvent(int code) {
  ByteString description;
  if (code == 0) {
    description.SetText(kTextOk);
  } else {
    if (code != kErrFirewall && error_text().empty()) SetWinsockErrorText(code);
    description.Assign(error_text());
  }
  return FireDisconnected(code, description.c_str());
}

int TlsClient::OnServerAuthenticationEvent(const void* encoded, int length, const char* subject,
                                           const char* issuer, const char* status, int* accept) {
  return FireSSLServerAuthentication(encoded, length, subject, issuer, status, accept);
}

int TlsClient::FireConnected(int code, const char* description) {
  return FireEvent(kEventConnected, code, description);
}

int TlsClient::FireDataIn(const void* bytes, int n, bool end_of_record) {
  if (event_sink() == nullptr) return kOk;
  EventBlock block;
  if (block.Set(bytes, n) != kOk) return kErrOutOfMemory;
  const int eor = end_of_record ? 1 : 0;
  return FireEvent(kEventDataIn, block.text(), block.length(), eor);
}

int TlsClient::FireDisconnected(int code, const char* description) {
  return FireEvent(kEventDisconnected, code, description);
}

int TlsClient::FireError(int code, const char* description) {
  return FireEvent(kEventError, code, description);
}

int TlsClient::FireReadyToSend() { return FireEvent(kEventReadyToSend); }

int TlsClient::FireConnectionStatusEvent(const char* text, int code, const char* description) {
  return FireEvent(kEventConnectionStatus, text, code, description);
}

int TlsClient::FireSSLStatus(const char* message) { return FireEvent(kEventSslStatus, message); }

int TlsClient::FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                           const char* issuer, const char* status, int* accept) {
  if (event_sink() == nullptr) return kOk;
  EventBlock block;
  if (block.Set(encoded, length) != kOk) return kErrOutOfMemory;
  int ignored = 0;
  int* answer = accept != nullptr ? accept : &ignored;
  return FireEvent(kEventSslServerAuthentication, block.text(), block.length(), subject, issuer,
                   status, answer);
}

}  // namespace tw
