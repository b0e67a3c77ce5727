#include "auth/kdc_transport.h"

#include <cstring>
#include <string>

#include "foundation/span_reader.h"
#include "foundation/span_writer.h"
#include "foundation/text_conversion.h"
#include "platform/winsock.h"

namespace tw {
namespace {

constexpr char kTextTimeout[] = "Timeout waiting for the KDC reply.";

class WinsockUse {
 public:
  WinsockUse() {
    win::WSADATA data;
    win::WSAStartup(win::MAKEWORD(2, 2), &data);
  }
  ~WinsockUse() { win::WSACleanup(); }
};

}  // namespace

int KdcTransport::SocketFailure(const char* what, int code) {
  error_text_.Format("%s failed (error %d).", what, code);
  return code != 0 ? code : win::WSAEINVAL;
}

int KdcTransport::Resolve(const char* host, int port, win::sockaddr_in* out) {
  if (host == nullptr || *host == '\0' || port <= 0 || port > 65535) {
    error_text_.SetText("Invalid KDC host");
    return kErrInvalidValue;
  }
  win::addrinfo hints{};
  hints.ai_family = win::AF_INET;
  win::addrinfo* list = nullptr;
  const int rc = win::getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) return SocketFailure("Resolving the KDC host", rc);
  std::memcpy(out, list->ai_addr, sizeof *out);
  out->sin_port = win::htons(static_cast<win::u_short>(port));
  win::freeaddrinfo(list);
  return kOk;
}

int KdcTransport::SetLocalAddress(const char* host, int port) {
  if (port < 0 || port > 65535) {
    error_text_.Format("Invalid local port %d.", port);
    return kErrInvalidValue;
  }
  local_port_ = port;
  return local_host_.SetText(host != nullptr ? host : "");
}

int KdcTransport::BoundPort() const {
  if (socket() == kKdcNoSocket) return 0;
  win::sockaddr_in local{};
  int size = sizeof local;
  if (win::getsockname(socket(), reinterpret_cast<win::sockaddr*>(&local), &size) != 0) return 0;
  return win::ntohs(local.sin_port);
}

int KdcTransport::BindLocal(KdcSocket s) {
  if (local_host_.empty() && local_port_ == 0) return kOk;
  win::sockaddr_in local{};
  local.sin_family = win::AF_INET;
  if (!local_host_.empty()) {
    win::addrinfo hints{};
    hints.ai_family = win::AF_INET;
    win::addrinfo* list = nullptr;
    const int rc = win::getaddrinfo(local_host_.c_str(), nullptr, &hints, &list);
    if (rc != 0 || list == nullptr) {
      error_text_.Format("Resolving the local host %s failed (error %d).", local_host_.c_str(), rc);
      return rc != 0 ? rc : win::WSAEADDRNOTAVAIL;
    }
    std::memcpy(&local, list->ai_addr, sizeof local);
    win::freeaddrinfo(list);
  }
  local.sin_port = win::htons(static_cast<win::u_short>(local_port_));
  // A fixed port must be usable again while the previous connection from it lingers.
  int on = 1;
  if (local_port_ != 0) {
    win::setsockopt(s, win::SOL_SOCKET, win::SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
  }
  if (win::bind(s, reinterpret_cast<const win::sockaddr*>(&local), sizeof local) != 0) {
    const int error = win::WSAGetLastError();
    error_text_.Format("Binding the KDC socket to the local address %s:%d failed (error %d).",
                       local_host_.empty() ? "*" : local_host_.c_str(), local_port_, error);
    return error != 0 ? error : win::WSAEINVAL;
  }
  return kOk;
}

int KdcTransport::WaitReadable(KdcSocket s, int timeout_ms) {
  win::fd_set read_set;
  read_set.Add(s);
  win::timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = win::select(0, &read_set, nullptr, nullptr, &tv);
  if (n < 0) return SocketFailure("Waiting for the KDC", win::WSAGetLastError());
  if (n == 0) {
    error_text_.SetText(kTextTimeout);
    return kErrKdcTimeout;
  }
  return kOk;
}

int KdcUdpTransport::Open(const char* host, int port, int timeout_ms) {
  Close();
  static WinsockUse winsock;
  win::sockaddr_in to{};
  int rc = Resolve(host, port, &to);
  if (rc != kOk) return rc;
  socket_ = win::socket(win::AF_INET, win::SOCK_DGRAM, win::IPPROTO_UDP);
  if (socket_ == win::INVALID_SOCKET) return SocketFailure("Opening the UDP socket", win::WSAGetLastError());
  rc = BindLocal(socket_);
  if (rc != kOk) {
    Close();
    return rc;
  }
  // A connected datagram socket takes replies from the KDC only and reports a refused port.
  if (win::connect(socket_, reinterpret_cast<const win::sockaddr*>(&to), sizeof to) != 0) {
    rc = SocketFailure("Connecting the UDP socket", win::WSAGetLastError());
    Close();
    return rc;
  }
  return kOk;
}

void KdcUdpTransport::Close() {
  if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
  socket_ = win::INVALID_SOCKET;
}

int KdcUdpTransport::Send(const ByteString& message) {
  if (message.empty()) return kOk;
  if (socket_ == win::INVALID_SOCKET) return SocketFailure("Sending to the KDC", win::WSAENOTCONN);
  // Datagrams still queued came while no reply was awaited (a copy of an earlier reply): dropped,
  // so that they cannot pass for the answer to this request.
  char stale[2048];
  for (int i = 0; i < 64; ++i) {
    win::fd_set read_set;
    read_set.Add(socket_);
    win::timeval now{0, 0};
    if (win::select(0, &read_set, nullptr, nullptr, &now) <= 0) break;
    if (win::recv(socket_, stale, sizeof stale, 0) < 0) break;
  }
  if (win::send(socket_, message.data(), message.length(), 0) != message.length()) {
    return SocketFailure("Sending to the KDC", win::WSAGetLastError());
  }
  return kOk;
}

int KdcUdpTransport::Receive(ByteString* message, int timeout_ms) {
  if (socket_ == win::INVALID_SOCKET) return SocketFailure("Receiving from the KDC", win::WSAENOTCONN);
  int rc = WaitReadable(socket_, timeout_ms);
  if (rc != kOk) return rc;
  // The largest datagram; each one replaces what an earlier one left.
  rc = message->Resize(65536);
  if (rc != kOk) return rc;
  const int n = win::recv(socket_, message->data(), message->length(), 0);
  if (n < 0) {
    message->Reset();
    return SocketFailure("Receiving from the KDC", win::WSAGetLastError());
  }
  return message->Resize(n);
}

int KdcTcpTransport::Open(const char* host, int port, int timeout_ms) {
  if (socket_ != win::INVALID_SOCKET && host_.EqualsBytes(host, -1) && port_ == port && !PeerClosed()) {
    return kOk;
  }
  Close();
  static WinsockUse winsock;
  win::sockaddr_in to{};
  int rc = Resolve(host, port, &to);
  if (rc != kOk) return rc;
  socket_ = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
  if (socket_ == win::INVALID_SOCKET) return SocketFailure("Opening the TCP socket", win::WSAGetLastError());
  rc = BindLocal(socket_);
  if (rc == kOk) rc = ConnectWithin(to, timeout_ms);
  if (rc != kOk) {
    Close();
    return rc;
  }
  host_.SetText(host);
  port_ = port;
  requests_on_connection_ = 0;
  timeout_ms_ = timeout_ms;
  ++connect_count_;
  return kOk;
}

// A connect that cannot hang past the time-out on an unreachable host.
int KdcTcpTransport::ConnectWithin(const win::sockaddr_in& to, int timeout_ms) {
  win::u_long on = 1, off = 0;
  if (win::ioctlsocket(socket_, win::FIONBIO, &on) != 0)
    return SocketFailure("Connecting to the KDC", win::WSAGetLastError());
  if (win::connect(socket_, reinterpret_cast<const win::sockaddr*>(&to), sizeof to) != 0) {
    const int error = win::WSAGetLastError();
    if (error != win::WSAEWOULDBLOCK && error != win::WSAEINPROGRESS)
      return SocketFailure("Connecting to the KDC", error);
    win::fd_set write_set, error_set;
    write_set.Add(socket_);
    error_set.Add(socket_);
    win::timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = win::select(0, nullptr, &write_set, &error_set, &tv);
    if (n == 0) {
      error_text_.SetText("Timeout connecting to the KDC.");
      return kErrKdcTimeout;
    }
    int pending = 0, size = sizeof pending;
    if (n < 0 ||
        win::getsockopt(socket_, win::SOL_SOCKET, win::SO_ERROR, reinterpret_cast<char*>(&pending), &size) != 0) {
      return SocketFailure("Connecting to the KDC", win::WSAGetLastError());
    }
    if (pending != 0) return SocketFailure("Connecting to the KDC", pending);
  }
  if (win::ioctlsocket(socket_, win::FIONBIO, &off) != 0)
    return SocketFailure("Connecting to the KDC", win::WSAGetLastError());
  return kOk;
}

void KdcTcpTransport::Close() {
  if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
  socket_ = win::INVALID_SOCKET;
  pending_.Reset();
}

bool KdcTcpTransport::PeerClosed() {
  win::fd_set read_set;
  read_set.Add(socket_);
  win::timeval tv{0, 0};
  if (win::select(0, &read_set, nullptr, nullptr, &tv) <= 0) return false;
  char b;
  return win::recv(socket_, &b, 1, win::MSG_PEEK) <= 0;
}

int KdcTcpTransport::Send(const ByteString& message) {
  if (message.empty()) return kOk;
  if (socket_ == win::INVALID_SOCKET || PeerClosed()) {
    // The KDC may close an idle connection between two requests.
    if (host_.empty()) return SocketFailure("Sending to the KDC", win::WSAENOTCONN);
    ByteString host = host_;
    Close();
    const int rc = Open(host.c_str(), port_, timeout_ms_);
    if (rc != kOk) return rc;
  }
  ByteString frame;
  SpanWriter w(frame);
  const SpanWriter::Field field = w.Open(4);
  w.Bytes(message);
  w.Close(field);
  int rc = w.rc();
  if (rc != kOk) return rc;
  reused_ = requests_on_connection_ > 0;
  ++requests_on_connection_;
  rc = last_frame_.Assign(frame);
  if (rc == kOk) rc = SendFrame();
  return rc;
}

int KdcTcpTransport::SendFrame() {
  int sent = 0;
  while (sent < last_frame_.length()) {
    const int k = win::send(socket_, last_frame_.data() + sent, last_frame_.length() - sent, 0);
    if (k <= 0) return SocketFailure("Sending to the KDC", win::WSAGetLastError());
    sent += k;
  }
  pending_.Reset();
  return kOk;
}

int KdcTcpTransport::Receive(ByteString* message, int timeout_ms) {
  message->Reset();
  if (socket_ == win::INVALID_SOCKET) return SocketFailure("Receiving from the KDC", win::WSAENOTCONN);
  for (;;) {
    SpanReader in(pending_);
    uint32_t n = 0;
    if (in.ReadU32(&n)) {
      // The top bit is reserved for extensions this client never asked for.
      if (n == 0 || n > kKdcMaxMessage) {
        error_text_.Format("The KDC announced a reply of %u bytes.", n);
        Close();
        return kErrInvalidValue;
      }
      SpanReader reply;
      if (in.ReadBytes(n, &reply)) {
        int rc = message->Set(reply.data(), static_cast<int>(n));
        pending_.EraseFront(pending_.length() - static_cast<int>(in.remaining()));
        return rc;
      }
    }
    int rc = WaitReadable(socket_, timeout_ms);
    if (rc != kOk) return rc;
    char buf[4096];
    const int k = win::recv(socket_, buf, sizeof buf, 0);
    if (k <= 0 && reused_ && pending_.empty()) {
      // The KDC closed the connection after its last reply, before this request arrived: once
      // more on a new connection.
      reused_ = false;
      ByteString host = host_;
      Close();
      rc = Open(host.c_str(), port_, timeout_ms_);
      if (rc == kOk) {
        ++requests_on_connection_;
        rc = SendFrame();
      }
      if (rc != kOk) return rc;
      continue;
    }
    if (k <= 0) {
      rc = k == 0 ? SocketFailure("The KDC closed the connection; receiving", win::WSAECONNRESET)
                  : SocketFailure("Receiving from the KDC", win::WSAGetLastError());
      Close();
      return rc;
    }
    rc = pending_.Append(buf, k);
    if (rc != kOk) return rc;
  }
}

}  // namespace tw
