#include "net/tcp_client.h"

#include <cstdio>
#include <cstring>

#include "foundation/text_conversion.h"
#include "net/name_resolution.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr char kTextRemotePortBusy[] =
    "You cannot change the RemotePort at this time. A connection is in progress.";
constexpr char kTextRemoteHostBusy[] =
    "You cannot change the RemoteHost at this time. A connection is in progress.";
constexpr char kTextLocalPortBusy[] =
    "You cannot change the LocalPort at this time. A connection is in progress.";
constexpr char kTextAlreadyConnected[] =
    "Already connected. If you want to reconnect, close the current connection first.";
constexpr char kTextMaxLineLengthBusy[] =
    "You cannot change MaxLineLength at this time. A connection is in progress.";
constexpr char kTextFirewallAddressInvalid[] = "The FirewallHost address is invalid (0.0.0.0).";
constexpr char kTextRemoteAddressInvalid[] = "The RemoteHost address is invalid (0.0.0.0).";
constexpr char kTextFirewallPortInvalid[] = "The FirewallPort is invalid (0).";
constexpr char kTextRemotePortInvalid[] =
    "RemotePort can't be zero. Please specify a valid service port number.";
constexpr char kTextRecvErrorFormat[] = "socket error in recv: %d";

constexpr int32_t kDefaultKeepAliveTime = 7200000;  // ms
constexpr int32_t kDefaultKeepAliveInterval = 1000;  // ms
// A send-rate window older than this starts again.
constexpr int64_t kRateWindowRestartMillis = 60000;
// With a rate limit, one send moves at most this share of a second's budget, so the limit is
// kept by the waits between sends rather than by a single large send.
constexpr int64_t kRatePiecesPerSecond = 20;
// The read size when received bytes are not split into records.
constexpr int kRawReadSize = 65536;

int64_t NowMillis() { return static_cast<int64_t>(win::GetTickCount64()); }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// "*" stands for any run of characters; both texts are lower case.
bool WildcardMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (WildcardMatch(pattern + 1, t)) return true;
      if (*t == '\0') return false;
    }
  }
  return *text != '\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

int SetIntOption(win::SOCKET s, int level, int name, int value) {
  if (win::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof(value)) != 0) {
    return win::WSAGetLastError();
  }
  return kOk;
}

}  // namespace

TcpClient::TcpClient() : tunnel_(this) { Reset(); }

TcpClient::~TcpClient() {
  // No events from here on: the classes above are already gone.
  if (HasSocket()) {
    win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }
  CloseRecordFile();
}

int TcpClient::Reset() {
  if (HasSocket()) {
    win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }
  int rc = SocketComponent::Reset();
  tunnel_.set_owner(this);
  remote_ipv4_ = 0;
  std::memset(&remote_ipv6_, 0, sizeof(remote_ipv6_));
  remote_ipv6_.sin6_family = win::AF_INET6;
  remote_scope_text_.Reset();
  remote_port_ = 0;
  local_port_ = 0;
  pending_close_ = 0;
  last_send_count_ = 0;
  ready_to_send_ = 0;
  connected_ = false;
  connecting_ = false;
  accept_data_ = true;
  reading_ = false;
  linger_ = true;
  linger_time_ = 0;
  tcp_keep_alive_ = false;
  keep_alive_time_ = 0;
  keep_alive_interval_ = 0;
  keep_alive_count_ = 0;
  max_receive_data_time_ = 0;
  writable_ = true;
  close_pending_ = false;
  tcp_no_delay_ = false;
  share_local_port_ = false;
  gracefully_shut_down_ssl_ = false;
  tls_input_active_ = false;
  max_transfer_rate_ = 0;
  rate_bytes_ = 0;
  rate_window_start_ = 0;
  last_send_time_ = 0;
  bind_ipv6_address_ = true;
  split_crlf_ = false;
  schannel_state_ = kSchannelIdle;
  incoming_.Reset();
  tls_queue_.Reset();
  pending_input_.Reset();
  record_mask_from_ = 0;
  record_mask_length_ = 0;
  if (!incoming_.Allocate(kDefaultLineCapacity) || !tls_queue_.Allocate(kDefaultLineCapacity)) {
    rc = kErrOutOfMemory;
  }
  const int lists = tls12_groups_.SetText(kDefaultTls12Groups) |
                    tls13_groups_.SetText(kDefaultTls13Groups) |
                    tls13_key_share_groups_.SetText(kDefaultKeyShareGroups) |
                    tls13_signature_algorithms_.SetText(kDefaultTls13SignatureSchemes) |
                    tls12_signature_algorithms_.SetText(kDefaultTls12SignatureAlgorithms);
  if (lists != kOk) rc = kErrOutOfMemory;
  log_ssl_packets_ = false;
  return rc;
}

// ---- Notifications ----

intptr_t TcpClient::WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message != kTcpSocketMessage) return SocketComponent::WindowProc(message, wparam, lparam);
  if (ignore_external_events_ && !in_dispatch_) return 0;
  // Handles are never reused: a notification of an earlier socket finds nothing here.
  if (!HasSocket() || wparam != socket_) return 0;
  const unsigned event = win::WSAGETSELECTEVENT(lparam);
  const int error = static_cast<int>(win::WSAGETSELECTERROR(lparam));
  switch (event) {
    case win::FD_READ:
      self_read_pending_ = false;
      if (!accept_data_ && !tunnel_.negotiating()) return 0;
      if (reading_) return 0;  // the running read loop reads on
      OnReadable(kReadNotified);
      return 0;
    case win::FD_WRITE:
      writable_ = true;
      tunnel_.owner()->OnReadyToSend();
      return 0;
    case win::FD_CONNECT: {
      const win::SOCKET s = socket_;
      connecting_ = false;
      connected_ = true;
      SetIntOption(s, win::SOL_SOCKET, win::SO_OOBINLINE, 1);
      if (error != 0) {
        connected_ = false;
        SetWinsockErrorText(error);
        set_error_code(error);
        tunnel_.ConnectStep(error);
        if (socket_ == s) CloseSocket();
        return 0;
      }
      OpenRecordFile();
      tunnel_.ConnectStep(0);
      return 0;
    }
    case win::FD_CLOSE:
      if (connecting_) {
        OnReadable(kReadNotified);
        return 0;
      }
      connecting_ = false;
      HandleClose(lparam);
      return 0;
    default:
      return 0;
  }
}

// ---- Connect and close ----

int TcpClient::Connect(bool connect) {
  if (!connect) return HandleClose(0);
  if (HasSocket()) return SetErrorCodeText(kErrAlreadyConnected, kTextAlreadyConnected);

  close_pending_ = false;
  pending_close_ = 0;
  rate_bytes_ = 0;
  rate_window_start_ = 0;
  last_send_time_ = 0;
  // A new connection starts with an empty queue (capacity and delimiter stay).
  if (!incoming_.Allocate(incoming_.Capacity() != 0 ? incoming_.Capacity()
                                                     : kDefaultLineCapacity)) {
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }

  pending_input_.Reset();
  const bool bypass =
      tunnel_.firewall_type() != kFirewallNone &&
      ((tunnel_.firewall_auto_detect() && BypassedByProxyOverride()) ||
       (!proxy_exceptions_.empty() && MatchesProxyExceptions(proxy_exceptions_.c_str())));
  if (bypass) {
    tunnel_.Bypass();
    if (remote_ipv4_ == 0 && !ipv6_in_use_) {
      ByteString host;
      host.Assign(remote_host_);
      const int rc = SetRemoteHost(host.c_str());
      if (rc != kOk) return rc;
    }
  }

  const bool via_firewall = tunnel_.firewall_type() != kFirewallNone;
  const bool ipv6 = !via_firewall && ipv6_in_use_;
  const uint32_t address = via_firewall ? tunnel_.firewall_address() : remote_ipv4_;
  const int32_t port = via_firewall ? tunnel_.firewall_port() : remote_port_;
  if (!ipv6 && address == 0) {
    return SetErrorCodeText(kErrInvalidAddress,
                            via_firewall ? kTextFirewallAddressInvalid : kTextRemoteAddressInvalid);
  }
  if (port == 0) {
    return SetErrorCodeText(kErrInvalidPort,
                            via_firewall ? kTextFirewallPortInvalid : kTextRemotePortInvalid);
  }

  const win::SOCKET s = win::socket(ipv6 ? win::AF_INET6 : win::AF_INET, win::SOCK_STREAM,
                                    win::IPPROTO_TCP);
  if (s == win::INVALID_SOCKET) {
    const int error = win::WSAGetLastError();
    set_error_code(error);
    return SetWinsockErrorText(error);
  }
  socket_ = s;
  writable_ = true;
  const auto fail = [this, s](int error) {
    win::closesocket(s);
    socket_ = win::INVALID_SOCKET;
    connecting_ = false;
    set_error_code(error);
    return SetWinsockErrorText(error);
  };

  if (!ipv6) {
    if (share_local_port_) SetIntOption(s, win::SOL_SOCKET, win::SO_REUSEADDR, 1);
    win::sockaddr_in local{};
    local.sin_family = win::AF_INET;
    local.sin_addr.s_addr = local_ipv4_;
    local.sin_port = win::htons(static_cast<win::u_short>(local_port_));
    if (win::bind(s, reinterpret_cast<const win::sockaddr*>(&local), sizeof(local)) != 0) {
      return fail(win::WSAGetLastError());
    }
  } else if (bind_ipv6_address_) {
    win::sockaddr_in6 local = local_ipv6_;
    local.sin6_family = win::AF_INET6;
    local.sin6_port = win::htons(static_cast<win::u_short>(local_port_));
    if (win::bind(s, reinterpret_cast<const win::sockaddr*>(&local), sizeof(local)) != 0) {
      return fail(win::WSAGetLastError());
    }
  }

  int rc = tcp_keep_alive_ ? ApplyKeepAlive() : kOk;
  if (rc == kOk) rc = ApplyLinger();
  if (rc == kOk) rc = ApplyBufferSizes();
  if (rc == kOk) rc = SetIntOption(s, win::SOL_SOCKET, win::SO_OOBINLINE, 1);
  if (rc == kOk && tcp_no_delay_) rc = SetIntOption(s, win::IPPROTO_TCP, win::TCP_NODELAY, 1);
  if (rc != kOk) return fail(rc);

  rc = SelectEvents(s, window_, kTcpSocketMessage, kTcpEventMask);
  if (rc != kOk) return fail(rc);

  connecting_ = true;
  int result;
  if (ipv6) {
    win::sockaddr_in6 target = remote_ipv6_;
    target.sin6_family = win::AF_INET6;
    target.sin6_port = win::htons(static_cast<win::u_short>(port));
    result = win::connect(s, reinterpret_cast<const win::sockaddr*>(&target), sizeof(target));
  } else {
    win::sockaddr_in target{};
    target.sin_family = win::AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = win::htons(static_cast<win::u_short>(port));
    result = win::connect(s, reinterpret_cast<const win::sockaddr*>(&target), sizeof(target));
  }
  if (result == 0) return kOk;
  const int error = win::WSAGetLastError();
  if (error == win::WSAEWOULDBLOCK) return kOk;  // completion arrives as FD_CONNECT
  return fail(error);
}

int TcpClient::CloseSocket() {
  if (HasSocket()) {
    win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }
  connected_ = false;
  connecting_ = false;
  last_send_count_ = 0;
  close_pending_ = false;
  pending_close_ = 0;
  writable_ = true;
  // Bytes still queued stay for a reader that accepts data later (mode 4).
  return kOk;
}

int TcpClient::HandleClose(intptr_t lparam) {
  if (!HasSocket()) return CloseSocket();
  const win::SOCKET s = socket_;
  SelectEvents(s, window_, kTcpSocketMessage, 0);
  if (reading_) {
    // Carried out by the read handler once it lets go of the queue.
    pending_close_ = lparam;
    close_pending_ = true;
    return kOk;
  }
  close_pending_ = false;
  if (accept_data_) OnReadable(kReadDrain);
  if (socket_ != s) return kOk;  // closed meanwhile by a handler
  if (connected_) {
    connected_ = false;
    tunnel_.DisconnectStep(static_cast<int>(win::WSAGETSELECTERROR(lparam)));
    CloseRecordFile();
  }
  if (socket_ != s) return kOk;
  int rc = kOk;
  if (win::closesocket(s) != 0) rc = win::WSAGetLastError();
  socket_ = win::INVALID_SOCKET;
  CloseSocket();
  return rc;
}

// ---- Reading ----

bool TcpClient::MayDeliver(int mode) {
  if (!HasSocket() && mode != kReadQueuedOnly) return false;
  if (!accept_data_ && !tunnel_.negotiating()) return false;
  return !interrupt_requested_;
}

bool TcpClient::DeliverQueued(int mode, bool rest) {
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  while (MayDeliver(mode) && incoming_.ReadRecord(&bytes, &n)) {
    tunnel_.ReceiveStep(bytes, static_cast<int>(n), true);
  }
  if (!MayDeliver(mode)) return false;
  if (rest && incoming_.Read(0, &bytes, &n)) {
    tunnel_.ReceiveStep(bytes, static_cast<int>(n), false);
  }
  return MayDeliver(mode);
}

int TcpClient::OnReadable(int mode) {
  // One read loop at a time: a nested notification finds the guard and leaves the bytes to it.
  if (reading_) return kOk;
  reading_ = true;
  const win::SOCKET s = socket_;
  const int rc = ReadLoop(mode);
  // Nothing more will arrive: the last piece goes out as a partial record.
  if ((mode == kReadDrain && socket_ == s) || (mode == kReadQueuedOnly && !HasSocket())) {
    DeliverQueued(mode, true);
  }
  reading_ = false;
  // A close that arrived while the loop held the queue is carried out now, whatever the mode;
  // draining is itself part of a close, which goes on after it.
  if (mode != kReadDrain && close_pending_ && HasSocket() && socket_ == s) {
    const intptr_t lparam = pending_close_;
    close_pending_ = false;
    pending_close_ = 0;
    HandleClose(lparam);
  }
  return rc;
}

int TcpClient::ReadLoop(int mode) {
  const int64_t start = max_receive_data_time_ >= 1 ? NowMillis() : 0;
  last_recv_error_ = 0;
  for (;;) {
    if (!MayDeliver(mode)) return kOk;
    if (!DeliverQueued(mode, false)) return kOk;
    // Bytes the tunnel handed back come before anything more from the socket.
    const bool from_pending = !pending_input_.empty();
    if (!from_pending) {
      if (mode == kReadQueuedOnly) return kOk;
      if (close_pending_ && mode != kReadDrain) return kOk;
      if (!HasSocket()) return kOk;
    }

    // Without a record delimiter every arrival is a whole record: read large pieces and hand them
    // over without queueing them.
    uint32_t eol_length = 0;
    incoming_.GetEol(&eol_length);
    const bool raw = eol_length == 0 && !incoming_.CrlfLineMode() && incoming_.Count() == 0;
    uint8_t* at = nullptr;
    uint32_t room = 0;
    bool direct = false;
    if (raw && (raw_buffer_.length() >= kRawReadSize || raw_buffer_.Resize(kRawReadSize) == kOk)) {
      at = raw_buffer_.bytes();
      room = kRawReadSize;
      direct = true;
    } else {
      incoming_.GetWriteSpace(incoming_.Capacity() - incoming_.Count(), &at, &room);
    }
    if (room == 0 || at == nullptr) {
      // A record longer than the queue: what is there goes out as a piece.
      const uint8_t* bytes = nullptr;
      uint32_t n = 0;
      if (!incoming_.Read(0, &bytes, &n)) {
        // No room and nothing queued: the queue has no storage.
        return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
      }
      tunnel_.ReceiveStep(bytes, static_cast<int>(n), false);
      continue;
    }
    int got = 0;
    if (from_pending) {
      got = pending_input_.length() < static_cast<int>(room) ? pending_input_.length()
                                                              : static_cast<int>(room);
      std::memcpy(at, pending_input_.data(), static_cast<size_t>(got));
      pending_input_.EraseFront(got);
    } else {
      got = win::recv(socket_, reinterpret_cast<char*>(at), static_cast<int>(room), 0);
    }
    if (got > 0) {
      const bool negotiating = tunnel_.negotiating();
      if (!from_pending && (!tls_active_ || negotiating)) RecordTraffic(false, at, got);
      if (negotiating) {
        // The negotiation reads raw pieces: they are not records, and the tunnel takes exactly
        // its reply's bytes, handing the rest back through QueueReceived.
        if (direct) {
          tunnel_.ReceiveStep(at, got, false);
        } else {
          incoming_.CommitWrite(static_cast<uint32_t>(got));
          const uint8_t* bytes = nullptr;
          uint32_t n = 0;
          if (incoming_.Read(static_cast<uint32_t>(got), &bytes, &n)) {
            tunnel_.ReceiveStep(bytes, static_cast<int>(n), false);
          }
        }
      } else if (direct) {
        tunnel_.ReceiveStep(at, got, true);
      } else {
        incoming_.CommitWrite(static_cast<uint32_t>(got));
      }
    } else if (got == 0) {
      // The peer closed: everything queued goes out, the last piece as a partial record.
      DeliverQueued(mode, true);
      if (mode != kReadDrain && HasSocket() && !close_pending_) {
        pending_close_ = win::WSAMAKESELECTREPLY(win::FD_CLOSE, 0);
        close_pending_ = true;
      }
      return kOk;
    } else {
      const int error = win::WSAGetLastError();
      last_recv_error_ = error;
      if (error == win::WSAEWOULDBLOCK || error == win::WSAENOTSOCK ||
          error == win::WSAECONNABORTED || error == win::WSAECONNRESET) {
        return kOk;
      }
      char text[64];
      std::snprintf(text, sizeof(text), kTextRecvErrorFormat, error);
      tunnel_.owner()->OnError(error, text);
      return error;
    }

    if (start != 0 && NowMillis() - start > max_receive_data_time_) {
      // The rest is read on the next notification, so other work gets its turn.
      PostSelfRead(win::WSAMAKESELECTREPLY(win::FD_READ, 0));
      return kOk;
    }
  }
}

int TcpClient::SetTlsLineDelimiter(const void* bytes, int n) {
  SetErrorTextCode(0, "");
  ByteQueue& queue = tls_input_active_ && tls_active_ ? tls_queue_ : incoming_;
  queue.SetCrlfLineMode(false);
  split_crlf_ = false;
  if (!queue.SetEol(bytes, bytes != nullptr ? static_cast<uint16_t>(n) : 0)) {
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }
  if (connected_ && HasSocket()) PostSelfRead(win::WSAMAKESELECTREPLY(win::FD_READ, 0));
  return kOk;
}

void TcpClient::SetSplitCrlf(bool on) {
  split_crlf_ = on;
  ByteQueue& queue = tls_input_active_ && tls_active_ ? tls_queue_ : incoming_;
  queue.SetCrlfLineMode(on);
}

int TcpClient::SetAcceptData(bool on) {
  const bool was = accept_data_;
  accept_data_ = on;
  // Without window messages, data that is not wanted must not keep waking the select wait.
  if (connected_ && HasSocket()) SetReadNotification(on);
  if (on && !was && connected_ && HasSocket()) {
    PostSelfRead(win::WSAMAKESELECTREPLY(win::FD_READ, 0));
    return kOk;
  }
  if (on && connected_ && HasSocket() && !reading_) {
    OnReadable(kReadResumed);
  } else if (on && !HasSocket() && (incoming_.Count() != 0 || !pending_input_.empty()) &&
             !reading_) {
    // The connection closed while data was not accepted: what it left is still delivered.
    OnReadable(kReadQueuedOnly);
  }
  return kOk;
}

// ---- Sending ----

int TcpClient::SendRaw(const void* bytes, int n, int flags, bool for_negotiation, int* sent) {
  if (sent != nullptr) *sent = 0;
  const bool up = HasSocket() && connected_ && (for_negotiation || !tunnel_.negotiating());
  if (!up) {
    set_error_code(win::WSAENOTCONN);
    SetWinsockErrorText(win::WSAENOTCONN);
    return win::WSAENOTCONN;
  }
  if (n <= 0) return kOk;
  const int got = win::send(socket_, static_cast<const char*>(bytes), n, flags);
  if (got >= 0) {
    RearmTimeoutAfterTraffic();
    last_send_count_ = got;
    if (sent != nullptr) *sent = got;
    // TLS records are not recorded: the TLS layer records the plaintext.
    if (got > 0 && (!tls_active_ || tunnel_.negotiating())) {
      if (for_negotiation && record_mask_length_ > 0) {
        RecordMasked(bytes, got);
      } else {
        RecordTraffic(true, bytes, got);
      }
    }
    if (got < n) {
      ready_to_send_ = 0;
      if (!use_windows_messages_) RearmWriteNotification();
      return win::WSAEWOULDBLOCK;
    }
    return kOk;
  }
  const int error = win::WSAGetLastError();
  last_send_count_ = 0;
  if (!use_windows_messages_) RearmWriteNotification();
  if (error == win::WSAEWOULDBLOCK) ready_to_send_ = 0;
  return error;
}

int TcpClient::SendFirewallRequest(const void* bytes, int n) {
  return SendRaw(bytes, n, 0, true);
}

void TcpClient::RecordMasked(const void* bytes, int n) {
  ByteString copy;
  if (copy.Set(bytes, n) != kOk) return;  // recording is best effort; the secret stays out
  const int from = record_mask_from_ < 0 ? 0 : record_mask_from_;
  for (int i = from; i < n && i < from + record_mask_length_; ++i) copy.data()[i] = '*';
  RecordTraffic(true, copy.data(), n);
  WipeBytes(copy.data(), static_cast<size_t>(n));
}

int TcpClient::QueueReceived(const void* bytes, int n) {
  if (n <= 0) return kOk;
  if (pending_input_.Append(bytes, n) != kOk) {
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }
  return kOk;
}

int TcpClient::SetAuthCredentials(const char* package, const char* user, const char* password) {
  const int rc = auth_provider_.SetCredentials(package, user, password);
  if (rc != kOk) {
    set_error_code(rc);
    if (auth_provider_.StatusText()[0] != '\0') SetErrorText(auth_provider_.StatusText());
  }
  return rc;
}

int TcpClient::BuildAuthToken(ByteString* token, const char* package, const char* target,
                              const char* challenge) {
  const win::CtxtHandle tls = AuthTokenProvider::TlsContextOf(GetSecurityContext());
  const int rc = auth_provider_.BuildAuthToken(this, token, package, target, challenge, &tls);
  if (rc != kOk) set_error_code(rc);
  return rc;
}

int TcpClient::SendBytes(const void* bytes, int n, int* sent) {
  return SendRaw(bytes, n, 0, true, sent);
}

int TcpClient::WaitForRateLimit(int64_t* budget) {
  *budget = -1;
  if (max_transfer_rate_ <= 0) return kOk;
  int64_t now = NowMillis();
  if (now - last_send_time_ > kRateWindowRestartMillis) {
    rate_window_start_ = now;
    rate_bytes_ = 0;
  }
  for (;;) {
    now = NowMillis();
    const int64_t elapsed = now - rate_window_start_;
    // Within the limit once bytes * 1000 / elapsed <= rate, i.e. elapsed >= bytes * 1000 / rate.
    const int64_t due = (rate_bytes_ * 1000 + max_transfer_rate_ - 1) / max_transfer_rate_;
    if (elapsed >= due) break;
    int64_t wait = due - elapsed;
    if (wait > select_wait_millis_ && select_wait_millis_ > 0) wait = select_wait_millis_;
    if (WaitStep(static_cast<int>(wait), window_) == kWaitEnded) return kErrInterrupted;
  }
  const int64_t piece = max_transfer_rate_ / kRatePiecesPerSecond;
  *budget = piece > 0 ? piece : 1;
  return kOk;
}

int TcpClient::SendAll(const void* bytes, int n) {
  clear_interrupt_request();
  if (bytes == nullptr || n <= 0) return kOk;
  ArmTimeout();
  const char* p = static_cast<const char*>(bytes);
  int remaining = n;
  for (;;) {
    int64_t budget = -1;
    int rc = WaitForRateLimit(&budget);
    if (rc != kOk) return kErrInterrupted;
    int piece = remaining;
    if (budget >= 0 && budget < piece) piece = static_cast<int>(budget);
    int moved = 0;
    rc = tls_active_ ? TlsSend(p, piece, &moved) : SendRaw(p, piece, 0, false, &moved);
    if (moved > 0) {
      rate_bytes_ += moved;
      last_send_time_ = NowMillis();
    }
    if (rc == kOk) {
      moved = piece;
      p += moved;
      remaining -= moved;
      if (remaining <= 0) return kOk;
      continue;
    }
    if (rc != win::WSAEWOULDBLOCK) {
      set_error_code(rc);
      // Socket errors get their own text; the TLS layer has set the text of its codes.
      return rc >= win::WSAEINTR ? SetWinsockErrorText(rc) : DefaultErrorText(rc);
    }
    p += moved;
    remaining -= moved;
    if (remaining <= 0) return kOk;
    // Part was taken: the rest may fit at once, and a send that finds no room arms FD_WRITE.
    if (moved > 0) continue;
    if (WaitOnce() == kWaitEnded) return kErrInterrupted;
  }
}

bool TcpClient::IsConnected() {
  if (!tls_active_) return tunnel_.IsConnected();
  if (use_internal_security_api_ != 0) return tls_engine_.established();
  return schannel_state_ == kSchannelComplete;
}

// ---- TLS engine hooks ----

int TcpClient::InitTlsDefaults(bool is_client) { return tls_engine_.Init(this, is_client); }

int TcpClient::StartTls() { return tls_engine_.Start(); }

int TcpClient::OnPeerClosedDuringTls(int code) { return tls_engine_.PeerClosed(code); }

int TcpClient::TlsReceive(const void* bytes, int n) { return tls_engine_.Receive(bytes, n); }

int TcpClient::TlsSend(const void* bytes, int n, int* sent) {
  return tls_engine_.SendAppData(bytes, n, sent);
}

int TcpClient::TlsFlush() { return tls_engine_.FlushPending(); }

int TcpClient::OnIncomingData(const void* bytes, int n, bool end_of_record) {
  return OnDataIn(bytes, n, false);
}

int TcpClient::OnHandshakeEnded(const char* failure) { return OnReadyToSend(); }

int TcpClient::SetErrorCodeText(int code, const char* text) {
  SetErrorTextCode(code, text);
  return code;
}

int TcpClient::CopyTlsSettings(const TcpClient& other) {
  const int rc = tls_engine_.CopyFrom(other.tls_engine_);
  tls_engine_.set_settings_copied(true);
  return rc;
}

int TcpClient::EnableTls(bool on) {
  if (tls_active_ == on) return kOk;
  ByteQueue& from = on ? incoming_ : tls_queue_;
  ByteQueue& to = on ? tls_queue_ : incoming_;
  uint32_t eol_length = 0;
  const char* eol = from.GetEol(&eol_length);
  ByteString delimiter;
  if (delimiter.Set(eol, static_cast<int>(eol_length)) != kOk) return kErrOutOfMemory;
  const bool line_mode = from.CrlfLineMode();
  const uint32_t capacity = from.Capacity() != 0 ? from.Capacity() : kDefaultLineCapacity;
  // Plaintext not yet delivered when TLS ends (the peer's close_notify) is plain input now.
  ByteString held;
  if (!on && held.Set(from.Unread(), static_cast<int>(from.Count())) != kOk) return kErrOutOfMemory;
  if (!to.Allocate(capacity)) return kErrOutOfMemory;
  to.Write(held.data(), static_cast<uint32_t>(held.length()));
  if (line_mode) {
    to.SetCrlfLineMode(true);
  } else {
    to.SetCrlfLineMode(false);
    if (!to.SetEol(delimiter.data(), eol_length)) return kErrOutOfMemory;
  }
  from.SetCrlfLineMode(false);
  if (!from.Allocate(kDefaultLineCapacity)) return kErrOutOfMemory;
  tls_active_ = on;
  if (on) {
    tls_input_active_ = true;
  } else {
    schannel_state_ = kSchannelIdle;
    if (!connected_) tls_input_active_ = false;
  }
  return kOk;
}

// ---- Addresses ----

int TcpClient::SetRemoteHost(const char* text) {
  if (remote_host_.SetText(text != nullptr ? text : "") != kOk) {
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }
  if (tunnel_.firewall_type() != kFirewallNone) return kOk;  // the firewall resolves it
  if (HasSocket()) return SetErrorCodeText(kErrRemoteHostBusy, kTextRemoteHostBusy);

  remote_ipv4_ = 0;
  std::memset(&remote_ipv6_, 0, sizeof(remote_ipv6_));
  remote_ipv6_.sin6_family = win::AF_INET6;
  remote_scope_text_.Reset();
  if (remote_host_.empty()) return kOk;
  const char* name = remote_host_.c_str();

  int rc = 0;
  if (ipv6_mode_ == 2 || ipv6_in_use_) {
    rc = ResolveIPv6(name, &remote_ipv6_, 0, win::SOCK_STREAM);
    if (rc == 0) {
      ipv6_in_use_ = true;
      const char* percent = std::strchr(name, '%');
      if (percent != nullptr) remote_scope_text_.SetText(percent + 1);
      return kOk;
    }
    if (ipv6_mode_ != 2) {
      set_error_code(rc);
      return SetWinsockErrorText(rc);
    }
    // Mode 2: the name has no IPv6 address, so IPv4 it is.
    ipv6_in_use_ = false;
    std::memset(&remote_ipv6_, 0, sizeof(remote_ipv6_));
    remote_ipv6_.sin6_family = win::AF_INET6;
  }
  const win::u_long numeric = win::inet_addr(name);
  if (numeric != win::INADDR_NONE) {
    remote_ipv4_ = numeric;
    return kOk;
  }
  rc = use_getaddrinfo_ ? ResolveIPv4(name, &remote_ipv4_, 0, win::SOCK_STREAM)
                        : LegacyResolve(name, &remote_ipv4_);
  if (rc == win::WSANOTINITIALISED) {
    remote_ipv4_ = 0;
    return kOk;
  }
  if (rc != 0) {
    remote_ipv4_ = 0;
    set_error_code(rc);
    return SetWinsockErrorText(rc);
  }
  return kOk;
}

int TcpClient::SetRemotePort(int32_t port) {
  if (HasSocket()) return SetErrorCodeText(kErrRemotePortBusy, kTextRemotePortBusy);
  remote_port_ = port;
  return kOk;
}

int TcpClient::SetLocalPort(int32_t port) {
  if (HasSocket()) return SetErrorCodeText(kErrLocalPortBusy, kTextLocalPortBusy);
  local_port_ = port;
  return kOk;
}

int32_t TcpClient::GetLocalPort() {
  if (!HasSocket()) return local_port_;
  win::sockaddr_storage name{};
  int length = sizeof(name);
  if (win::getsockname(socket_, reinterpret_cast<win::sockaddr*>(&name), &length) != 0) {
    return local_port_;
  }
  if (name.ss_family == win::AF_INET6) {
    return win::ntohs(reinterpret_cast<const win::sockaddr_in6*>(&name)->sin6_port);
  }
  return win::ntohs(reinterpret_cast<const win::sockaddr_in*>(&name)->sin_port);
}

const char* TcpClient::RemoteHostCompareText() {
  if (tunnel_.firewall_type() != kFirewallNone) return remote_host_.c_str();
  address_text_[0] = '\0';
  if (ipv6_in_use_) {
    Ipv6Text(remote_ipv6_, address_text_, sizeof(address_text_));
  } else if (remote_ipv4_ != 0) {
    Ipv4Text(remote_ipv4_, address_text_, sizeof(address_text_));
  }
  return address_text_;
}

const char* TcpClient::RemoteAddressText() {
  address_text_[0] = '\0';
  if (ipv6_in_use_ && tunnel_.firewall_type() == kFirewallNone) {
    Ipv6Text(remote_ipv6_, address_text_, sizeof(address_text_));
  } else {
    const uint32_t address =
        tunnel_.firewall_type() != kFirewallNone ? tunnel_.firewall_address() : remote_ipv4_;
    if (address != 0) Ipv4Text(address, address_text_, sizeof(address_text_));
  }
  return address_text_;
}

bool TcpClient::BypassedByProxyOverride() {
  ByteString list;
  if (ReadInternetSettingsText("ProxyOverride", kProxyOverrideValueSize, &list) != kOk) {
    return false;
  }
  if (list.empty()) return false;
  // "<local>" stands for every plain name (no dot; an IPv6 address is no name).
  const bool plain_name = remote_host_.FindChar('.', 0) < 0 && remote_host_.FindChar(':', 0) < 0 &&
                          !remote_host_.empty();
  if (plain_name) {
    ByteString lowered;
    if (lowered.Assign(list) == kOk) {
      lowered.ToLower();
      if (lowered.Find("<local>", 0) >= 0) return true;
    }
  }
  return MatchesProxyExceptions(list.c_str());
}

bool TcpClient::MatchesProxyExceptions(const char* list) {
  ByteString host;
  if (host.Assign(remote_host_) != kOk) return false;
  host.ToLower();
  char port_text[16];
  std::snprintf(port_text, sizeof(port_text), "%d", static_cast<int>(remote_port_));

  return ForEachListEntry(list, [&](ListEntry e) {
    ByteString entry;
    if (entry.Set(e.text, e.length) != kOk) return false;
    for (int i = 0; i < entry.length(); ++i) entry.data()[i] = LowerAscii(entry.data()[i]);
    return std::strcmp(entry.c_str(), host.c_str()) == 0 || std::strcmp(entry.c_str(), port_text) == 0 ||
           WildcardMatch(entry.c_str(), host.c_str());
  });
}

// ---- Socket options ----

int TcpClient::ApplyKeepAlive() {
  if (!HasSocket()) return kOk;
  if (SetIntOption(socket_, win::SOL_SOCKET, win::SO_KEEPALIVE, tcp_keep_alive_ ? 1 : 0) != 0) {
    const int error = win::WSAGetLastError();
    int value = 0;
    int length = sizeof(value);
    if (win::getsockopt(socket_, win::SOL_SOCKET, win::SO_KEEPALIVE,
                        reinterpret_cast<char*>(&value), &length) == 0) {
      tcp_keep_alive_ = value != 0;
    }
    return error;
  }
  if (tcp_keep_alive_ && (keep_alive_time_ != 0 || keep_alive_interval_ != 0)) {
    win::tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime =
        static_cast<win::u_long>(keep_alive_time_ != 0 ? keep_alive_time_ : kDefaultKeepAliveTime);
    values.keepaliveinterval = static_cast<win::u_long>(
        keep_alive_interval_ != 0 ? keep_alive_interval_ : kDefaultKeepAliveInterval);
    win::DWORD returned = 0;
    if (win::WSAIoctl(socket_, win::SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0,
                      &returned, nullptr, nullptr) != 0) {
      return win::WSAGetLastError();
    }
  }
  return kOk;
}

int TcpClient::ApplyLinger() {
  if (!HasSocket()) return kOk;
  win::linger value{};
  if (!linger_) {
    value.l_onoff = 1;  // an abortive close
    value.l_linger = 0;
  } else if (linger_time_ != 0) {
    value.l_onoff = 1;
    value.l_linger = linger_time_;
  }
  if (win::setsockopt(socket_, win::SOL_SOCKET, win::SO_LINGER,
                      reinterpret_cast<const char*>(&value), sizeof(value)) != 0) {
    return win::WSAGetLastError();
  }
  return kOk;
}

int TcpClient::SetLinger(bool on) {
  linger_ = on;
  return ApplyLinger();
}

int TcpClient::SetLingerTime(int seconds) {
  linger_time_ = static_cast<uint16_t>(seconds);
  return ApplyLinger();
}

int TcpClient::SetKeepAlive(bool on) {
  tcp_keep_alive_ = on;
  return ApplyKeepAlive();
}

int TcpClient::SetKeepAliveTime(int32_t millis) {
  keep_alive_time_ = millis;
  tcp_keep_alive_ = keep_alive_time_ >= 1 || keep_alive_interval_ >= 1 || tcp_keep_alive_ ||
                    keep_alive_count_ >= 1;
  return ApplyKeepAlive();
}

int TcpClient::SetKeepAliveInterval(int32_t millis) {
  keep_alive_interval_ = millis;
  tcp_keep_alive_ = keep_alive_time_ >= 1 || keep_alive_interval_ >= 1 || tcp_keep_alive_ ||
                    keep_alive_count_ >= 1;
  return ApplyKeepAlive();
}

int TcpClient::SetTcpNoDelay(bool on) {
  tcp_no_delay_ = on;
  if (!HasSocket()) return kOk;
  return SetIntOption(socket_, win::IPPROTO_TCP, win::TCP_NODELAY, on ? 1 : 0);
}

int TcpClient::SetShareLocalPort(bool on) {
  share_local_port_ = on;
  if (!HasSocket() || !on) return kOk;
  return SetIntOption(socket_, win::SOL_SOCKET, win::SO_REUSEADDR, 1);
}

int TcpClient::SetMaxLineLength(int n) {
  if (HasSocket()) return SetErrorCodeText(kErrMaxLineLengthBusy, kTextMaxLineLengthBusy);
  uint32_t capacity = n < 1 ? 1 : static_cast<uint32_t>(n);
  if (capacity > kMaxLineCapacity) capacity = kMaxLineCapacity;
  if (!incoming_.Allocate(capacity)) return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  return kOk;
}

int TcpClient::GetInBufferCapacity() { return static_cast<int>(incoming_.Capacity()); }

// ---- Settings ----

int TcpClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();

  int switch_rc = kOk;
  if (ConfigSwitches(request, answer, {
      {"GracefullyShutDownSSL", &gracefully_shut_down_ssl_},
      {"BindIPv6Address", &bind_ipv6_address_},
  }, &switch_rc)) {
    return switch_rc;
  }

  struct TlsList {
    const char* name;
    ByteString* field;
  };
  const TlsList lists[] = {
      {"TLS13SignatureAlgorithms", &tls13_signature_algorithms_},
      {"TLS12SignatureAlgorithms", &tls12_signature_algorithms_},
      {"TLS13KeyShareGroups", &tls13_key_share_groups_},
      {"TLS13SupportedGroups", &tls13_groups_},
      {"TLS12SupportedGroups", &tls12_groups_},
  };
  for (const TlsList& list : lists) {
    if (!request.NameIs(list.name)) continue;
    if (read) return SetConfigAnswer(list.field->c_str(), answer);
    TlsIdList ids;
    ByteString error;
    int rc = kOk;
    if (list.field == &tls13_signature_algorithms_) {
      rc = ParseSignatureSchemes(value, &ids);
    } else if (list.field == &tls12_signature_algorithms_) {
      rc = ParseTls12SignatureAlgorithms(value, &ids, &error);
    } else {
      rc = ParseSupportedGroups(value, list.field != &tls12_groups_, &ids);
    }
    if (rc != kOk) {
      if (!error.empty()) SetErrorText(error.c_str());
      return rc;
    }
    return list.field->SetText(value);
  }

  if (request.NameIs("ShareLocalPort")) {
    if (read) return SetConfigAnswerBool(share_local_port_, answer);
    return SetShareLocalPort(request.ValueAsBool());
  }
  if (request.NameIs("MaxTransferRate")) {
    if (read) return SetConfigAnswerInt64(max_transfer_rate_, answer);
    max_transfer_rate_ = request.ValueAsInt64();
    return kOk;
  }
  if (request.NameIs("SplitCRLF")) {
    if (read) return SetConfigAnswerBool(split_crlf_, answer);
    SetSplitCrlf(request.ValueAsBool());
    return kOk;
  }
  if (request.NameIs("MaxLineLength")) {
    if (read) return SetConfigAnswerSigned(GetInBufferCapacity(), answer);
    return SetMaxLineLength(request.ValueAsInt());
  }
  if (request.NameIs("SocketHandle")) {
    if (read) {
      return SetConfigAnswerInt64(
          HasSocket() ? static_cast<int64_t>(socket_) : static_cast<int64_t>(-1), answer);
    }
    return kOk;
  }
  if (request.NameIs("LocalHost")) {
    if (read) return SetConfigAnswer(GetLocalAddress(), answer);
    return SetLocalHost(value);
  }
  if (request.NameIs("LocalPort")) {
    if (read) return SetConfigAnswerSigned(GetLocalPort(), answer);
    return SetLocalPort(request.ValueAsInt());
  }
  if (request.NameIs("FirewallAutoDetect")) {
    if (read) return SetConfigAnswerBool(tunnel_.firewall_auto_detect(), answer);
    return tunnel_.SetFirewallAutoDetect(request.ValueAsBool());
  }
  if (request.NameIs("FirewallHost")) {
    if (read) return SetConfigAnswer(tunnel_.FirewallHostText(), answer);
    const int rc = tunnel_.SetFirewallHost(value);
    if (rc != kOk) {
      set_error_code(rc);
      SetWinsockErrorText(rc);
    }
    return rc;
  }
  if (request.NameIs("FirewallPort")) {
    if (read) return SetConfigAnswerSigned(tunnel_.firewall_port(), answer);
    tunnel_.SetFirewallPort(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("FirewallType")) {
    if (read) return SetConfigAnswerSigned(tunnel_.firewall_type(), answer);
    tunnel_.SetFirewallType(request.ValueAsInt());
    return kOk;
  }
  if (request.NameIs("FirewallUser")) {
    if (read) return SetConfigAnswer(tunnel_.firewall_user().c_str(), answer);
    return tunnel_.SetFirewallUser(value);
  }
  if (request.NameIs("FirewallPassword")) {
    if (read) return SetConfigAnswer(tunnel_.firewall_password().c_str(), answer);
    return tunnel_.SetFirewallPassword(value);
  }
  if (request.NameIs("FirewallData")) {
    if (read) *answer = "";
    return kOk;
  }
  if (request.NameIs("InBufferSize")) {
    if (read) return SetConfigAnswerUInt(in_buffer_size(), answer);
    return SetInBufferSize(static_cast<uint32_t>(request.ValueAsInt()));
  }
  if (request.NameIs("OutBufferSize")) {
    if (read) return SetConfigAnswerUInt(out_buffer_size(), answer);
    return SetOutBufferSize(static_cast<uint32_t>(request.ValueAsInt()));
  }
  if (request.NameIs("TcpNoDelay")) {
    if (read) return SetConfigAnswerBool(tcp_no_delay_, answer);
    return SetTcpNoDelay(request.ValueAsBool());
  }
  if (request.NameIs("TCPKeepAlive")) {
    if (read) return SetConfigAnswerSigned(tcp_keep_alive_ ? 1 : 0, answer);
    return SetKeepAlive(request.ValueAsBool());
  }
  if (request.NameIs("KeepAliveTime")) {
    if (read) return SetConfigAnswerSigned(keep_alive_time_, answer);
    return SetKeepAliveTime(request.ValueAsInt());
  }
  if (request.NameIs("KeepAliveInterval")) {
    if (read) return SetConfigAnswerSigned(keep_alive_interval_, answer);
    return SetKeepAliveInterval(request.ValueAsInt());
  }
  if (request.NameIs("MaxReceiveDataTime")) {
    if (read) return SetConfigAnswerSigned(max_receive_data_time_, answer);
    max_receive_data_time_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("LingerTime")) {
    if (read) return SetConfigAnswerSigned(linger_time_, answer);
    return SetLingerTime(request.ValueAsInt());
  }
  if (request.NameIs("Linger")) {
    if (read) return SetConfigAnswerSigned(linger_ ? 1 : 0, answer);
    return SetLinger(request.ValueAsBool());
  }
  if (request.NameIs("ProxyExceptionsList")) {
    if (read) return SetConfigAnswer(proxy_exceptions_.c_str(), answer);
    return proxy_exceptions_.SetText(value);
  }
  if (request.NameIs("LogSSLPackets")) {
    if (read) return SetConfigAnswerSigned(log_ssl_packets_ ? 1 : 0, answer);
    log_ssl_packets_ = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("CACerts") || request.NameIs("SSLCACerts")) {
    if (read) return SetConfigAnswer(ca_certs_.c_str(), answer);
    return ca_certs_.SetText(value);
  }
  return SocketComponent::Config(request, answer);
}

}  // namespace tw
