// A TCP connection that may run TLS, through the system's own engine or the platform's provider
// (UseInternalSecurityAPI). It copies the TLS settings into the engine once the TCP connection is
// up, starts the handshake, fires Connected only when the handshake is complete, and carries the
// application data through TLS while TLS is active. With TLS off it is a plain TCP client that
// fires its events through the EventSink.
//
// Events (sink slot: arguments):
//   1 Connected: code, description
//   2 ConnectionStatus: text, code, description
//   3 DataIn: text (block), length, end of record (0 or 1)
//   4 Disconnected: code, description
//   5 Error: code, description
//   6 ReadyToSend: none
//   7 SSLServerAuthentication: certificate (block), length, subject, issuer, status,
//     accept (the firing code's own int)
//   8 SSLStatus: message
// Classes above change the slots by overriding the Fire operations.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "net/tcp_client.h"
#include "platform/sspi.h"

namespace tw {

enum TlsClientEvent : int {
  kEventConnected = 1,
  kEventConnectionStatus = 2,
  kEventDataIn = 3,
  kEventDisconnected = 4,
  kEventError = 5,
  kEventReadyToSend = 6,
  kEventSslServerAuthentication = 7,
  kEventSslStatus = 8,
};

// The TLS input queue could not take decrypted bytes.
constexpr int kErrPlaintextQueue = 200;
// The platform path's codes.
constexpr int kErrSecurityLibrary = 270;
constexpr int kErrCredentials = 273;
constexpr int kErrHandshake = 276;
constexpr int kErrVerifyServerCert = 280;
constexpr int kErrNoServerCert = 281;
constexpr int kErrEncrypt = 283;
constexpr int kErrDecrypt = 284;
constexpr int kErrServerName = 285;
inline constexpr char kTextSecurityLibraryMissing[] = "The security library could not be loaded";
// Decrypted bytes kept beside a full line buffer while the owner takes no data; past this the
// connection is dropped rather than holding whatever the peer keeps sending.
constexpr int kMaxPlaintextOverflow = 1 << 20;

class TlsClient : public TcpClient {
 public:
  TlsClient();
  ~TlsClient() override;

  // ---- Overrides, in the chain's order ----
  int Config(ConfigRequest& request, const char** answer) override;
  void* GetSecurityContext() override { return schannel_state_ != 0 ? &schannel_context_ : nullptr; }
  void* GetCertificate() override;
  int SetMaxLineLength(int n) override;
  int GetInBufferCapacity() override;
  int CloseSocket() override;
  int OnReadable(int mode) override;
  int OnIncomingData(const void* bytes, int n, bool end_of_record) override;
  int OnHandshakeEnded(const char* failure) override;
  int LogTlsStatus(const char* text) override;
  int ReportTlsError(int code, const char* text) override;
  int OnError(int code, const char* text) override;
  // Keeps the server's certificate, accepts it when it is the accepted one, then asks the owner.
  int CheckServerCertificate(const void* encoded, int length, const char* subject,
                             const char* issuer, const char* status, int* accept) override;
  // The certificate accepted as the server's from now on (PEM "CERTIFICATE", bare Base64 or
  // DER); empty bytes drop it. 280 with the reason when it cannot be decoded.
  int LoadCertificate(const void* data, int length) override;
  int OnConnected(int code) override;
  int OnDisconnected(int code) override;
  int OnDataIn(const void* bytes, int n, bool end_of_record) override;
  int OnReadyToSend() override;
  int FireConnectionStatus(const char* text, int code) override;
  int TlsReceive(const void* bytes, int n) override;
  int TlsSend(const void* bytes, int n, int* sent) override;
  int TlsFlush() override;

  // ---- Event operations of this class ----
  virtual int OnSslStatus(const char* text);
  virtual int OnReadyToSendEvent();
  virtual int OnConnectedEvent(int code);
  virtual int OnDataInEvent(const void* bytes, int n, bool end_of_record);
  virtual int OnDisconnectedEvent(int code);
  virtual int OnServerAuthenticationEvent(const void* encoded, int length, const char* subject,
                                          const char* issuer, const char* status, int* accept);
  // Closes the TLS session of the connection (without GracefullyShutDownSSL: at once).
  virtual int EndTls();
  virtual int FireConnected(int code, const char* description);
  virtual int FireDataIn(const void* bytes, int n, bool end_of_record);
  virtual int FireDisconnected(int code, const char* description);
  virtual int FireError(int code, const char* description);
  virtual int FireReadyToSend();
  virtual int FireConnectionStatusEvent(const char* text, int code, const char* description);
  virtual int FireSSLStatus(const char* message);
  virtual int FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                          const char* issuer, const char* status, int* accept);

  // ---- Connection ----
  // Keeps the text as RemoteHostName (the TLS server name), then resolves as TcpClient does.
  int SetRemoteHost(const char* text) override;
  // connect: start the connection (with TLS: after the platform credentials, when that path is
  // chosen). Disconnect: with `error`, a handshake that had not completed is reported as failed.
  int SetConnected(bool connect, int error);
  // Plaintext from the TLS layer into the TLS input queue, delivered record by record.
  int DeliverPlaintext(const void* bytes, int n, bool flush);
  // With TLS on: clears the last error, sets the TLS input queue's delimiter (n 0: chunks) and,
  // when connected, delivers what it now splits. Without TLS the plain queue's.
  int SetTlsLineDelimiter(const void* bytes, int n) override;

  const ByteString& remote_host_name() const { return remote_host_name_; }
  // The ALPN list offered in the handshake, and the protocol the server chose.
  int SetAlpnList(const char* text) { return alpn_list_.SetText(text != nullptr ? text : ""); }
  const ByteString& alpn_list() const { return alpn_list_; }
  const ByteString& alpn_received() const { return alpn_received_; }
  void ClearAlpnReceived() { alpn_received_.Reset(); }
  int32_t schannel_state() const { return schannel_state_; }
  uint8_t tls_start_mode() const { return tls_start_mode_; }
  void set_tls_start_mode(uint8_t mode) { tls_start_mode_ = mode; }
  bool accept_tls_data() const { return accept_tls_data_; }
  // DER of the certificate the server sent in the last handshake that showed one; empty before.
  const ByteString& server_certificate() const { return server_certificate_; }
  // DER of the certificate LoadCertificate accepted; empty when none is held.
  const ByteString& accepted_certificate() const { return accepted_certificate_; }
  // The accepted server certificate as Base64 in lines of 64 ("" when none is held).
  int AcceptedCertificateText(ByteString* out) const;
  const ByteString& server_certificate_text() const { return server_certificate_text_; }
  bool schannel_active() const { return schannel_active_; }
  // The peer ended the last TLS session with close_notify, on either path.
  bool PeerSentCloseNotify() const {
    return use_internal_security_api_ != 0 ? tls_engine_.peer_close_notify() : schannel_close_notify_;
  }

  // ---- The platform path (schannel_path.cc) ----
  int SchannelAcquireCredentials(uint32_t use);
  int SchannelStartHandshake();
  // One handshake call on the received bytes: 1 to run again, 0 to wait.
  int SchannelHandshakeStep();
  // One record of the received bytes: 1 to run again, 0 to wait.
  int SchannelDecrypt();
  int SchannelEncryptAndSend(const void* bytes, int n, bool flag);
  int SchannelSendPending(const void* bytes, int n, bool flag);
  int SchannelSendAlert(uint32_t level, uint32_t description);
  int SchannelShutdown(bool close);
  void FreeSchannelCredentials();
  void FreeSchannelContext();

 protected:
  int Reset();
  // The delivery loop over the TLS input queue and the bytes beside it.
  void DeliverQueuedPlaintext(bool flush);
  bool HandshakeComplete();
  // The failed handshake: ConnectionStatus, Connected with the code, and the socket closed.
  int FailHandshake(int code);
  // Copies the settings into the engine and starts it.
  int StartOwnEngine();
  // The platform path's received bytes (Algorithms 1 of the driver).
  int SchannelReceive(const void* bytes, int n);
  // Fails the platform handshake: error text, owner error and disconnect with the code.
  int SchannelFail(int code);
  int SchannelVerifyServer();
  int SchannelChainCheck(win::PCCERT_CONTEXT cert, const char* host, uint32_t auth_type,
                         ByteString* status_text);
  int SchannelComplete();
  int SchannelNameTexts(win::PCCERT_CONTEXT cert, ByteString* subject, ByteString* issuer);

  ByteString alpn_list_;
  ByteString alpn_received_;
  ByteString tls_text3_;
  ByteString tls_text4_;
  ByteString remote_host_name_;
  int32_t schannel_words_[2] = {0, 0};
  bool parse_ssl_server_cert_ = false;
  ByteString pending_plaintext_;
  uint8_t tls_start_mode_ = 3;
  bool accept_tls_data_ = true;
  // The own engine's handshake was started and has not ended yet.
  bool handshake_running_ = false;
  // A delivery is running; a nested request only marks it to run its loop again.
  bool delivering_ = false;
  bool deliver_again_ = false;
  uintptr_t schannel_context_[2] = {0, 0};

  // The platform path.
  win::CtxtHandle context_handle_{};
  bool schannel_active_ = false;
  bool schannel_close_notify_ = false;
  bool handshaking_ = false;
  int32_t last_handshake_status_ = 0;
  uint32_t header_size_ = 0;
  uint32_t trailer_size_ = 0;
  uint32_t max_message_ = 0;
  ByteString encrypt_buffer_;
  int32_t sent_count_ = 0;
  ByteString handshake_input_;
  ByteString pending_output_;
  ByteString overflow_;
  ByteString server_certificate_text_;
  ByteString certificate_status_;
  ByteString server_subject_;
  ByteString server_issuer_;
  ByteString server_certificate_;
  ByteString accepted_certificate_;
};

// The certificate error of LoadCertificate.
constexpr int kErrCertificateDecode = 280;

}  // namespace tw
