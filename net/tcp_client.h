// One outgoing TCP connection: connect (possibly through the firewall tunnel), received bytes
// delivered as whole records (lines when an end-of-line delimiter is set), a blocking send-all
// with an optional rate limit, and the socket options of its settings. Notifications arrive
// through WindowProc as the hidden window's kTcpSocketMessage.
//
// The class leaves the events to the classes above: OnConnected, OnDisconnected, OnDataIn,
// OnError, OnReadyToSend and FireConnectionStatus are theirs to implement.
#pragma once

#include <cstdint>

#include "certs/cert_store.h"
#include "foundation/byte_queue.h"
#include "foundation/byte_string.h"
#include "net/firewall_tunnel.h"
#include "net/socket_component.h"
#include "tls/tls_engine.h"

namespace tw {

constexpr int kErrRemotePortBusy = 100;
constexpr int kErrRemoteHostBusy = 101;
constexpr int kErrInvalidAddress = 102;
constexpr int kErrAlreadyConnected = 104;
constexpr int kErrLocalPortBusy = 106;
constexpr int kErrMaxLineLengthBusy = 112;
constexpr int kErrInvalidPort = 116;

constexpr uint32_t kDefaultLineCapacity = 2048;
constexpr uint32_t kMaxLineCapacity = 65536;
// Events the socket is registered for: FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE.
constexpr long kTcpEventMask = 51;

// States of a connection over the platform TLS path.
constexpr int32_t kSchannelIdle = 0;
constexpr int32_t kSchannelConnecting = 1;  // credentials acquired, connecting
constexpr int32_t kSchannelComplete = 2;    // handshake complete

// Read handler modes.
constexpr int kReadNotified = 0;   // FD_READ
constexpr int kReadDrain = 1;      // what is left, before the socket closes
constexpr int kReadResumed = 3;    // AcceptData was switched on
constexpr int kReadQueuedOnly = 4; // deliver the queued bytes only

class TcpClient : public SocketComponent, public TlsEngineOwner {
 public:
  TcpClient();
  ~TcpClient() override;

  // ---- Virtual operations of the chain ----
  intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  int Config(ConfigRequest& request, const char** answer) override;
  // true: open and connect (completion arrives as FD_CONNECT); false: close handling.
  virtual int Connect(bool connect);
  // 112 while a socket is open; else the incoming queue gets min(n, 65536) bytes (at least 1).
  virtual int SetMaxLineLength(int n);
  virtual int GetInBufferCapacity();
  // closesocket; connected, connecting, the last send count and the reading guard cleared.
  virtual int CloseSocket();
  // The read handler (modes above).
  virtual int OnReadable(int mode);
  // Raw send of negotiation bytes.
  virtual int SendFirewallRequest(const void* bytes, int n);
  virtual int OnFirewallResponse(const void* bytes, int n) { return 0; }
  // The token steps of NTLM and Negotiate for the tunnel, through the AuthTokenProvider member:
  // the package and credentials, then each token from the proxy's challenge ("" for the first).
  // On failure the error text holds the provider's reason.
  virtual int SetAuthCredentials(const char* package, const char* user, const char* password);
  virtual int BuildAuthToken(ByteString* token, const char* package, const char* target,
                             const char* challenge);
  virtual int InitTlsDefaults(bool is_client);
  virtual int StartTls();
  virtual int OnPeerClosedDuringTls(int code);
  virtual int TlsReceive(const void* bytes, int n);
  virtual int TlsSend(const void* bytes, int n, int* sent);
  virtual int TlsFlush();
  // Raw send; 10035 with the count taken when the socket would block.
  int SendBytes(const void* bytes, int n, int* sent) override;
  // A refused send's Winsock text, which the engine fails the connection with.
  void SendErrorText(int code, ByteString* text) override { FormatWinsockError(code, text); }
  // Calls OnDataIn with the bytes.
  int OnIncomingData(const void* bytes, int n, bool end_of_record) override;
  // Calls OnReadyToSend.
  int OnHandshakeEnded(const char* failure) override;
  int LogTlsStatus(const char* text) override { return 0; }
  int ReportTlsError(int code, const char* text) override { return 0; }
  int CheckServerCertificate(const void* encoded, int length, const char* subject,
                             const char* issuer, const char* status, int* accept) override {
    return 0;
  }
  // Sets the error text and returns the code.
  int SetErrorCodeText(int code, const char* text) override;
  // Copies the TLS settings of another component's engine.
  virtual int CopyTlsSettings(const TcpClient& other);
  virtual int OnConnected(int code) = 0;
  virtual int OnDisconnected(int code) = 0;
  virtual int OnDataIn(const void* bytes, int n, bool end_of_record) = 0;
  // The Error event.
  virtual int OnError(int code, const char* text) = 0;
  virtual int OnReadyToSend() = 0;
  virtual int FireConnectionStatus(const char* text, int code) = 0;
  virtual int ReservedStatusHook() { return 0; }
  virtual int LogHook(const char* text, int level, const char* type) { return 0; }

  // ---- Addresses ----
  // Stores and (without a firewall type) resolves the host. 101 while a socket is open.
  virtual int SetRemoteHost(const char* text);
  virtual int SetRemotePort(int32_t port);
  int SetLocalPort(int32_t port);
  // The bound port of an open socket, else the setting.
  int32_t GetLocalPort();
  const ByteString& remote_host() const { return remote_host_; }
  int32_t remote_port() const { return remote_port_; }
  uint32_t remote_ipv4() const { return remote_ipv4_; }
  // The text that identifies the host for comparisons: the RemoteHost text with a firewall type,
  // else the resolved address as text ("" when unresolved).
  const char* RemoteHostCompareText();
  // The address actually connected to, as text.
  const char* RemoteAddressText();

  // ---- Data flow ----
  // The record delimiter (n 0: none); when connected, queued bytes are split again. 0 or 200.
  int SetEol(const void* bytes, int n) { return SetTlsLineDelimiter(bytes, n); }
  // Clears the last error and sets the plain receive queue's delimiter (length as 16 bits); when
  // connected, a read is posted so queued bytes are split again. 0 or 200.
  virtual int SetTlsLineDelimiter(const void* bytes, int n);
  void SetSplitCrlf(bool on);
  virtual int SetAcceptData(bool on);
  bool accept_data() const { return accept_data_; }
  // One send: 10057 without a connection; 10035 (ready-to-send cleared) when only part or
  // nothing was taken. for_negotiation: bytes of the tunnel's exchange.
  int SendRaw(const void* bytes, int n, int flags, bool for_negotiation, int* sent = nullptr);
  // Sends every byte, waiting (wait steps) while the socket would block and while the rate limit
  // holds; 301 when a wait step ends the wait.
  int SendAll(const void* bytes, int n);
  int LastSendCount() const { return last_send_count_; }
  // Bytes that arrived behind the firewall's reply: read before anything more from the socket.
  int QueueReceived(const void* bytes, int n);
  // The traffic records of the next negotiation send show these bytes as "*" (credentials);
  // length 0 clears the mask.
  void MaskNextSendRecord(int from, int length) {
    record_mask_from_ = from;
    record_mask_length_ = length;
  }
  virtual bool IsConnected();
  bool connected() const { return connected_; }
  bool connecting() const { return connecting_; }
  bool ready_to_send() const { return ready_to_send_ != 0; }
  // Moves the record delimiter between the plain and the TLS input queue. 0 or 200.
  int EnableTls(bool on);
  // Close handling: lparam's high word is the error.
  int HandleClose(intptr_t lparam);

  // ---- Socket options ----
  int SetLinger(bool on);
  int SetLingerTime(int seconds);
  int SetKeepAlive(bool on);
  int SetKeepAliveTime(int32_t millis);
  int SetKeepAliveInterval(int32_t millis);
  int SetTcpNoDelay(bool on);
  int SetShareLocalPort(bool on);
  void SetMaxTransferRate(int64_t bytes_per_second) { max_transfer_rate_ = bytes_per_second; }

  FirewallTunnel& tunnel() { return tunnel_; }
  ByteQueue& incoming() { return incoming_; }
  TlsEngine& tls_engine() { return tls_engine_; }
  CertStore& cert_store() { return cert_store_; }

 protected:
  // Defaults of every field (the base's first). 0 or 200.
  int Reset();
  // Rate limit: wait steps while the send rate is above MaxTransferRate; 301 when one ends the
  // wait. *budget gets the bytes the next send may move (-1: no limit).
  int WaitForRateLimit(int64_t* budget);
  // Applies the keep-alive and linger settings to the open socket.
  int ApplyKeepAlive();
  int ApplyLinger();
  bool MatchesProxyExceptions(const char* list);
  // The SEND record of negotiation bytes with the masked range as "*".
  void RecordMasked(const void* bytes, int n);
  // With a firewall and its auto-detection: the host is in the per-user ProxyOverride list.
  bool BypassedByProxyOverride();
  // The read loop behind OnReadable; the guard is held by the caller.
  int ReadLoop(int mode);
  // Delivers the complete records of the queue (and with `rest` whatever remains, as a partial
  // record). False when delivery had to stop (no socket, data not accepted, interrupt).
  bool DeliverQueued(int mode, bool rest);
  bool MayDeliver(int mode);

  ByteString remote_host_;
  uint32_t remote_ipv4_ = 0;  // network order, 0 = unresolved
  win::sockaddr_in6 remote_ipv6_ = {};
  ShortString remote_scope_text_;
  int32_t remote_port_ = 0;
  int32_t local_port_ = 0;
  intptr_t pending_close_ = 0;  // lParam of a close that arrived while reading
  int32_t last_send_count_ = 0;
  int32_t ready_to_send_ = 0;
  FirewallTunnel tunnel_;
  ByteString proxy_exceptions_;
  bool connected_ = false;
  bool connecting_ = false;
  bool accept_data_ = true;
  bool linger_ = true;
  uint16_t linger_time_ = 0;
  bool tcp_keep_alive_ = false;
  int32_t keep_alive_time_ = 0;
  int32_t keep_alive_interval_ = 0;
  int32_t keep_alive_count_ = 0;
  int32_t max_receive_data_time_ = 0;
  bool close_pending_ = false;
  bool tcp_no_delay_ = false;
  bool share_local_port_ = false;
  bool gracefully_shut_down_ssl_ = false;
  bool tls_input_active_ = false;
  int64_t max_transfer_rate_ = 0;
  int64_t rate_bytes_ = 0;
  int64_t rate_window_start_ = 0;
  int64_t last_send_time_ = 0;
  bool bind_ipv6_address_ = true;
  bool reading_ = false;
  bool writable_ = true;
  bool split_crlf_ = false;
  ByteQueue incoming_;
  // Plaintext of a TLS connection, with the caller's delimiter while TLS is on.
  ByteQueue tls_queue_;
  int32_t schannel_state_ = kSchannelIdle;
  TlsEngine tls_engine_;
  ByteString tls12_groups_;
  ByteString tls13_groups_;
  ByteString tls13_key_share_groups_;
  ByteString tls13_signature_algorithms_;
  ByteString tls12_signature_algorithms_;
  ByteString ca_certs_;
  bool log_ssl_packets_ = false;
  CertStore cert_store_;
  // Large reads when records are not split (no delimiter).
  ByteString raw_buffer_;
  // Received bytes handed back by the tunnel, read before the socket.
  ByteString pending_input_;
  int record_mask_from_ = 0;
  int record_mask_length_ = 0;
  char address_text_[64] = {};
};

}  // namespace tw
