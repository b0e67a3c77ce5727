#include "net/udp_port.h"

#include <cstdio>
#include <cstring>

#include "foundation/text_conversion.h"
#include "net/name_resolution.h"
#include "net/qos_flow.h"
#include "net/raw_frame.h"

namespace tw {
namespace {

constexpr char kTextActive[] = "UDPPort is already Active.";
constexpr char kTextLocalPortBusy[] = "You cannot change the LocalPort while the control is Active.";
constexpr char kTextLocalHostBusy[] = "Cannot change LocalHost while the control is Active.";
constexpr char kTextNotActive[] = "The control must be Active for this operation.";
constexpr char kTextMaxPacketBusy[] = "Cannot change the MaxPacketSize while control is Active.";
constexpr char kTextRemoteHostBusy[] =
    "Cannot change RemoteHost when UseConnection is set and the control is Active.";
constexpr char kTextRemotePortBusy[] =
    "Cannot change RemotePort when UseConnection is set and the control is Active.";
constexpr char kTextRemotePortZeroConnection[] =
    "RemotePort can't be zero when UseConnection is set. Please specify a valid service port "
    "number.";
constexpr char kTextRemotePortZero[] =
    "RemotePort can't be zero. Please specify a valid service port number.";
constexpr char kTextUseConnectionBusy[] =
    "Cannot change UseConnection option while the control is Active.";
constexpr char kTextUnreachable[] = "Destination unreachable (service unavailable?).";
constexpr char kTextRecvError[] = "Winsock error in recv()";
constexpr char kTextSocketHandleReadOnly[] = "SocketHandle is read-only.";
constexpr char kBroadcastText[] = "255.255.255.255";
constexpr char kPacketInfoLogName[] = "ret_setsockopt_CaptureIPPacketInfo";
constexpr char kRawFallbackMac[] = "1";
constexpr char kTextRawNeedsIpv4[] = "Raw frames need an IPv4 RemoteHost.";
constexpr long kUdpEventMask = win::FD_READ | win::FD_WRITE;
constexpr size_t kControlSize = 1024;

bool Ipv6Set(const win::sockaddr_in6& a) {
  for (uint8_t b : a.sin6_addr.s6_addr) {
    if (b != 0) return true;
  }
  return false;
}

template <class Fn>
Fn ExtensionFunction(win::SOCKET s, const win::WSAEXTENSIONID& id) {
  Fn fn = nullptr;
  win::DWORD returned = 0;
  win::WSAEXTENSIONID in = id;
  if (win::WSAIoctl(s, win::SIO_GET_EXTENSION_FUNCTION_POINTER, &in, sizeof in, &fn, sizeof fn,
                    &returned, nullptr, nullptr) != 0) {
    return nullptr;
  }
  return fn;
}

int SetIntOption(win::SOCKET s, int level, int name, int value) {
  if (win::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
    return win::WSAGetLastError();
  }
  return kOk;
}

// Address text and port of a received datagram's source.
void SourceText(const win::sockaddr_storage& from, char* text, int size, int* port) {
  text[0] = '\0';
  *port = 0;
  if (from.ss_family == win::AF_INET6) {
    const auto& a = reinterpret_cast<const win::sockaddr_in6&>(from);
    Ipv6Text(a, text, size);
    *port = win::ntohs(a.sin6_port);
  } else if (from.ss_family == win::AF_INET) {
    const auto& a = reinterpret_cast<const win::sockaddr_in&>(from);
    Ipv4Text(a.sin_addr.s_addr, text, size);
    *port = win::ntohs(a.sin_port);
  }
}

}  // namespace

UdpPort::UdpPort() {
  std::memset(&remote_ipv6_, 0, sizeof remote_ipv6_);
  remote_ipv6_.sin6_family = win::AF_INET6;
  queue_.Allocate(max_packet_size_);
}

UdpPort::~UdpPort() {
  if (HasSocket()) {
    reading_ = false;
    accept_data_ = false;  // nobody is left to take what is queued
    CloseSocket();
  }
}

// ---- Events ----

int UdpPort::FireDataIn(const void* bytes, int n, const char* source, int port) {
  EventBlock block;
  if (block.Set(bytes, n) != kOk) return kErrOutOfMemory;
  return FireEvent(kUdpEventDataIn, block.text(), block.length(), source, port);
}

int UdpPort::FireError(int code, const char* text) {
  return FireEvent(kUdpEventError, code, text);
}

int UdpPort::FireReadyToSend() { return FireEvent(kUdpEventReadyToSend); }

int UdpPort::FireLog(int level, const char* text, const char* type) {
  return FireEvent(kUdpEventLog, level, text, type);
}

// ---- Addresses ----

int UdpPort::SetRemoteHost(const char* text) {
  if (use_connection_ && HasSocket()) {
    SetErrorText(kTextRemoteHostBusy);
    return kErrUdpRemoteHostBusy;
  }
  remote_ipv4_ = 0;
  std::memset(&remote_ipv6_, 0, sizeof remote_ipv6_);
  remote_ipv6_.sin6_family = win::AF_INET6;
  if (text == nullptr || *text == '\0') return kOk;
  if (std::strcmp(text, kBroadcastText) == 0) {
    remote_ipv4_ = win::INADDR_BROADCAST;
    return kOk;
  }
  int rc;
  if (ipv6_in_use_ || ipv6_mode_ == 2) {
    rc = ResolveIPv6(text, &remote_ipv6_, 0, win::SOCK_DGRAM);
    if (rc == 0 || ipv6_mode_ != 2) return rc == 0 ? kOk : SetWinsockErrorText(rc);
    std::memset(&remote_ipv6_, 0, sizeof remote_ipv6_);
    remote_ipv6_.sin6_family = win::AF_INET6;
  }
  rc = use_getaddrinfo_ ? ResolveIPv4(text, &remote_ipv4_, 0, win::SOCK_DGRAM)
                        : LegacyResolve(text, &remote_ipv4_);
  if (rc != 0) {
    remote_ipv4_ = 0;
    return SetWinsockErrorText(rc == -1 ? win::WSANOTINITIALISED : rc);
  }
  return kOk;
}

const char* UdpPort::GetRemoteHost() {
  remote_text_[0] = '\0';
  if (Ipv6Set(remote_ipv6_)) {
    Ipv6Text(remote_ipv6_, remote_text_, sizeof remote_text_);
  } else if (remote_ipv4_ != 0) {
    Ipv4Text(remote_ipv4_, remote_text_, sizeof remote_text_);
  }
  return remote_text_;
}

int UdpPort::SetRemotePort(int port) {
  if (use_connection_ && HasSocket()) {
    SetErrorText(kTextRemotePortBusy);
    return kErrUdpRemotePortBusy;
  }
  remote_port_ = port;
  return kOk;
}

int UdpPort::SetLocalPort(int port) {
  if (HasSocket()) {
    SetErrorText(kTextLocalPortBusy);
    return kErrUdpLocalPortBusy;
  }
  local_port_ = port;
  return kOk;
}

int UdpPort::GetLocalPort(int* port) {
  *port = local_port_;
  if (!HasSocket()) return kOk;
  win::sockaddr_storage local{};
  int len = sizeof local;
  if (win::getsockname(socket_, reinterpret_cast<win::sockaddr*>(&local), &len) != 0) {
    return SetWinsockErrorText(win::WSAGetLastError());
  }
  char text[kIpv6TextSize];
  SourceText(local, text, sizeof text, port);
  return kOk;
}

int UdpPort::SetUseConnection(bool on) {
  if (HasSocket()) {
    SetErrorText(kTextUseConnectionBusy);
    return kErrUdpUseConnectionBusy;
  }
  use_connection_ = on;
  return kOk;
}

int UdpPort::SetMaxPacketSize(int n) {
  if (HasSocket()) {
    SetErrorText(kTextMaxPacketBusy);
    return kErrUdpMaxPacketBusy;
  }
  uint32_t size = n < 1 ? 1 : static_cast<uint32_t>(n);
  if (size > kMaxPacketSizeLimit) size = kMaxPacketSizeLimit;
  if (!queue_.Allocate(size)) return DefaultErrorText(kErrOutOfMemory);
  max_packet_size_ = size;
  return kOk;
}

const char* UdpPort::GetLocalAddress() {
  if (!HasSocket()) return SocketComponent::GetLocalAddress();
  win::sockaddr_storage local{};
  int len = sizeof local;
  if (win::getsockname(socket_, reinterpret_cast<win::sockaddr*>(&local), &len) != 0) {
    return SocketComponent::GetLocalAddress();
  }
  int port = 0;
  SourceText(local, bound_text_, sizeof bound_text_, &port);
  return bound_text_;
}

int UdpPort::SetLocalHost(const char* text) {
  if (HasSocket()) {
    SetErrorText(kTextLocalHostBusy);
    return kErrUdpLocalHostBusy;
  }
  return SocketComponent::SetLocalHost(text);
}

int UdpPort::RemoteSockaddr(win::sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (ipv6_in_use_ && Ipv6Set(remote_ipv6_)) {
    auto* a = reinterpret_cast<win::sockaddr_in6*>(out);
    *a = remote_ipv6_;
    a->sin6_port = win::htons(static_cast<win::u_short>(remote_port_));
    return sizeof(win::sockaddr_in6);
  }
  auto* a = reinterpret_cast<win::sockaddr_in*>(out);
  a->sin_family = win::AF_INET;
  a->sin_addr.s_addr = remote_ipv4_;
  a->sin_port = win::htons(static_cast<win::u_short>(remote_port_));
  return sizeof(win::sockaddr_in);
}

// ---- Activation ----

int UdpPort::FailSocket(int error) {
  const int saved_code = error_code();
  ByteString saved_text;
  saved_text.Assign(error_text());
  accept_data_ = false;
  CloseSocket();
  accept_data_ = true;
  if (saved_text.empty()) return SetWinsockErrorText(error);
  SetErrorText(saved_text.c_str());
  set_error_code(saved_code);
  return error;
}

int UdpPort::ApplyTimeToLive() {
  if (time_to_live_ == 0 || !HasSocket()) return kOk;
  const bool v6 = ipv6_in_use_;
  const int level = v6 ? win::IPPROTO_IPV6 : win::IPPROTO_IP;
  const int name = v6 ? win::IPV6_UNICAST_HOPS : win::IP_TTL;
  const int rc = SetIntOption(socket_, level, name, time_to_live_);
  if (rc != kOk) {
    int actual = 0;
    int len = sizeof actual;
    if (win::getsockopt(socket_, level, name, reinterpret_cast<char*>(&actual), &len) == 0) {
      time_to_live_ = actual;
    }
    return SetWinsockErrorText(rc);
  }
  return kOk;
}

int UdpPort::ApplySocketOptions() {
  int rc = ApplyBufferSizes();
  if (rc == kOk && dont_route_) rc = SetIntOption(socket_, win::SOL_SOCKET, win::SO_DONTROUTE, 1);
  if (rc == kOk) {
    rc = ipv6_in_use_ ? (qos_flags_ != 0 ? SetIntOption(socket_, win::IPPROTO_IPV6,
                                                        win::IPV6_TCLASS, qos_flags_)
                                         : kOk)
                      : SetIntOption(socket_, win::IPPROTO_IP, win::IP_TOS, qos_flags_);
  }
  if (rc == kOk && time_to_live_ != 0) {
    rc = SetIntOption(socket_, ipv6_in_use_ ? win::IPPROTO_IPV6 : win::IPPROTO_IP,
                      ipv6_in_use_ ? win::IPV6_UNICAST_HOPS : win::IP_TTL, time_to_live_);
  }
  if (rc == kOk && !ipv6_in_use_) {
    rc = SetIntOption(socket_, win::SOL_SOCKET, win::SO_BROADCAST, 1);
  }
  return rc;
}

int UdpPort::OpenSocket() {
  socket_ = win::socket(ipv6_in_use_ ? win::AF_INET6 : win::AF_INET, win::SOCK_DGRAM,
                        win::IPPROTO_UDP);
  if (socket_ == win::INVALID_SOCKET) return SetWinsockErrorText(win::WSAGetLastError());
  int rc = kOk;
  if (dont_fragment_) rc = SetIntOption(socket_, win::IPPROTO_IP, win::IP_DONTFRAGMENT, 1);
  if (rc == kOk && share_local_port_) {
    rc = SetIntOption(socket_, win::SOL_SOCKET, win::SO_REUSEADDR, 1);
  }
  if (rc == kOk && capture_ip_packet_info_) {
    const int level = ipv6_in_use_ ? win::IPPROTO_IPV6 : win::IPPROTO_IP;
    const int name = ipv6_in_use_ ? win::IPV6_PKTINFO : win::IP_PKTINFO;
    const int on = 1;
    const int result = win::setsockopt(socket_, level, name, reinterpret_cast<const char*>(&on),
                                       sizeof on);
    if (log_to_file()) {
      char line[80];
      std::snprintf(line, sizeof line, "%s=%d", kPacketInfoLogName, result);
      LogFileLine(line);
    }
    if (result != 0) rc = win::WSAGetLastError();
  }
  if (rc != kOk) return FailSocket(rc);

  win::sockaddr_storage local{};
  int local_len;
  if (ipv6_in_use_) {
    auto* a = reinterpret_cast<win::sockaddr_in6*>(&local);
    *a = local_ipv6_;
    a->sin6_family = win::AF_INET6;
    a->sin6_port = win::htons(static_cast<win::u_short>(local_port_));
    local_len = sizeof(win::sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<win::sockaddr_in*>(&local);
    a->sin_family = win::AF_INET;
    a->sin_addr.s_addr = local_ipv4_;
    a->sin_port = win::htons(static_cast<win::u_short>(local_port_));
    local_len = sizeof(win::sockaddr_in);
  }
  if (win::bind(socket_, reinterpret_cast<win::sockaddr*>(&local), local_len) != 0) {
    return FailSocket(win::WSAGetLastError());
  }
  rc = ApplySocketOptions();
  if (rc != kOk) return FailSocket(rc);

  if (use_connection_) {
    win::sockaddr_storage remote;
    const int remote_len = RemoteSockaddr(&remote);
    if (win::connect(socket_, reinterpret_cast<win::sockaddr*>(&remote), remote_len) != 0 &&
        win::WSAGetLastError() != win::WSAEWOULDBLOCK) {
      return FailSocket(win::WSAGetLastError());
    }
    rc = UpdateQosFlow(*this, {&qos_handle_, &qos_flow_id_, qos_traffic_type_, qos_dscp_value_},
                       win::INVALID_SOCKET, socket_, reinterpret_cast<win::sockaddr*>(&remote));
    if (rc != kOk) return FailSocket(rc);
  }
  rc = SelectEvents(socket_, window_, kUdpSocketMessage, kUdpEventMask);
  if (rc != kOk) return FailSocket(rc);
  return kOk;
}

int UdpPort::Activate(bool on) {
  if (!on) {
    if (!HasSocket()) return kOk;
    if (reading_) {
      close_pending_ = true;  // the receive loop closes once the event returns
      return kOk;
    }
    return CloseSocket();
  }
  if (HasSocket()) {
    SetErrorText(kTextActive);
    return kErrUdpActive;
  }
  if (remote_port_ == 0 && use_connection_) {
    SetErrorText(kTextRemotePortZeroConnection);
    return kErrUdpRemotePortZero;
  }
  close_pending_ = false;
  reading_ = false;
  destination_address_.Reset();
  return OpenSocket();
}

int UdpPort::CloseSocket() {
  if (!HasSocket()) return kOk;
  // The flow must let go of the socket while the socket still exists.
  if (qos_flow_id_ != 0) {
    UpdateQosFlow(*this, {&qos_handle_, &qos_flow_id_, qos_traffic_type_, qos_dscp_value_},
                  socket_, win::INVALID_SOCKET, nullptr);
    qos_flow_id_ = 0;
  }
  const win::SOCKET s = socket_;
  socket_ = win::INVALID_SOCKET;
  select_socket_ = win::INVALID_SOCKET;
  select_mask_ = 0;
  accept_data_ = true;
  reading_ = false;
  close_pending_ = false;
  if (win::closesocket(s) != 0) return SetWinsockErrorText(win::WSAGetLastError());
  return kOk;
}

// ---- Receiving ----

int UdpPort::ReceiveOne(uint8_t* room, uint32_t size, int* received, char* source,
                        int* source_port) {
  win::sockaddr_storage from{};
  int from_len = sizeof from;
  *received = 0;
  source[0] = '\0';
  *source_port = 0;
  int n;
  if (capture_ip_packet_info_) {
    auto recv_msg = ExtensionFunction<win::LPFN_WSARECVMSG>(socket_, win::WSAID_WSARECVMSG);
    if (recv_msg == nullptr) return win::WSAGetLastError();
    alignas(win::WSACMSGHDR) char control[kControlSize];
    win::WSABUF buffer{size, reinterpret_cast<char*>(room)};
    win::WSAMSG msg{reinterpret_cast<win::sockaddr*>(&from), from_len, &buffer, 1,
                    {sizeof control, control}, 0};
    win::DWORD got = 0;
    if (recv_msg(socket_, &msg, &got, nullptr, nullptr) != 0) {
      const int error = win::WSAGetLastError();
      if (error != win::WSAEMSGSIZE) return error;
      got = size;  // cut to the room, as recvfrom does
    }
    n = static_cast<int>(got);
    for (win::WSACMSGHDR* c = win::WSA_CMSG_FIRSTHDR(&msg); c != nullptr;
         c = win::WSA_CMSG_NXTHDR(&msg, c)) {
      char text[kIpv6TextSize];
      text[0] = '\0';
      if (c->cmsg_level == win::IPPROTO_IP && c->cmsg_type == win::IP_PKTINFO) {
        win::in_pktinfo info;
        std::memcpy(&info, win::WSA_CMSG_DATA(c), sizeof info);
        Ipv4Text(info.ipi_addr.s_addr, text, sizeof text);
      } else if (c->cmsg_level == win::IPPROTO_IPV6 && c->cmsg_type == win::IPV6_PKTINFO) {
        win::in6_pktinfo info;
        std::memcpy(&info, win::WSA_CMSG_DATA(c), sizeof info);
        win::sockaddr_in6 a{};
        a.sin6_family = win::AF_INET6;
        a.sin6_addr = info.ipi6_addr;
        Ipv6Text(a, text, sizeof text);
      } else {
        continue;
      }
      destination_address_.SetText(text);
    }
  } else if (use_connection_) {
    n = win::recv(socket_, reinterpret_cast<char*>(room), static_cast<int>(size), 0);
    if (n < 0) {
      const int error = win::WSAGetLastError();
      if (error != win::WSAEMSGSIZE) return error;
      n = static_cast<int>(size);
    }
    from_len = 0;
  } else {
    n = win::recvfrom(socket_, reinterpret_cast<char*>(room), static_cast<int>(size), 0,
                      reinterpret_cast<win::sockaddr*>(&from), &from_len);
    if (n < 0) {
      const int error = win::WSAGetLastError();
      if (error != win::WSAEMSGSIZE) return error;
      n = static_cast<int>(size);
    }
  }
  *received = n;
  if (use_connection_ && !capture_ip_packet_info_) {
    // A connected socket only hears its peer.
    win::sockaddr_storage peer;
    RemoteSockaddr(&peer);
    SourceText(peer, source, kIpv6TextSize, source_port);
  } else {
    SourceText(from, source, kIpv6TextSize, source_port);
  }
  return kOk;
}

int UdpPort::ReceiveLoop() {
  const bool outer = reading_;
  reading_ = true;
  int rc = kOk;
  while (accept_data_ && HasSocket()) {
    if (close_pending_) break;
    const win::SOCKET s = socket_;
    queue_.Compact();
    uint8_t* room = nullptr;
    uint32_t size = 0;
    queue_.GetWriteSpace(max_packet_size_, &room, &size);
    if (room == nullptr || size == 0) {
      rc = DefaultErrorText(kErrOutOfMemory);
      break;
    }
    int n = 0;
    char source[kIpv6TextSize];
    int port = 0;
    const int error = ReceiveOne(room, size, &n, source, &port);
    if (error == win::WSAEWOULDBLOCK || error == win::WSAENOTSOCK) {
      rc = error;
      break;
    }
    if (error != kOk) {
      if (error == win::WSAECONNRESET) {
        OnError(error, kTextUnreachable);
      } else {
        OnError(error, kTextRecvError);
      }
      SetWinsockErrorText(error);
      rc = error;
      break;
    }
    if (n == 0) break;
    queue_.CommitWrite(static_cast<uint32_t>(n));
    RecordTraffic(false, room, n);
    RearmTimeoutAfterTraffic();
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    queue_.Read(0, &data, &length);
    const int stop = FireDataIn(data, static_cast<int>(length), source, port);
    if (socket_ != s) break;  // closed from inside the event
    if (stop != 0) break;
  }
  reading_ = outer;
  if (!outer && close_pending_ && HasSocket()) {
    close_pending_ = false;
    CloseSocket();
  }
  return rc == win::WSAEWOULDBLOCK || rc == win::WSAENOTSOCK ? kOk : rc;
}

intptr_t UdpPort::WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message != kUdpSocketMessage) return SocketComponent::WindowProc(message, wparam, lparam);
  if (!HasSocket() || static_cast<win::SOCKET>(wparam) != socket_) return 0;
  const unsigned event = win::WSAGETSELECTEVENT(lparam);
  if (event == win::FD_READ) {
    if (accept_data_ && !reading_) ReceiveLoop();
  } else if (event == win::FD_WRITE) {
    FireReadyToSend();
  }
  return 0;
}

int UdpPort::WaitStep(int wait_millis, win::HWND window) {
  if ((pump_data_in_do_events_ || window == nullptr) && HasSocket() && accept_data_ &&
      !reading_) {
    ReceiveLoop();
  }
  return SocketComponent::WaitStep(wait_millis, window);
}

// ---- Sending ----

int UdpPort::SendRawFrame(const void* bytes, int n, const char* source_mac) {
  // A frame is built for one IPv4 destination; without one it would go to 0.0.0.0.
  if (ipv6_in_use_ || remote_ipv4_ == 0) {
    SetErrorText(kTextRawNeedsIpv4);
    set_error_code(kErrRawFrame);
    return kErrRawFrame;
  }
  uint32_t source_ip = 0;
  if (!source_ip_address_.empty() &&
      win::inet_pton(win::AF_INET, source_ip_address_.c_str(), &source_ip) != 1) {
    source_ip = 0;
  }
  int local_port = 0;
  int rc = GetLocalPort(&local_port);
  if (rc != kOk) return rc;
  ByteString text;
  rc = SendRawUdpFrame(source_mac, source_ip, remote_ipv4_,
                       static_cast<uint16_t>(local_port), static_cast<uint16_t>(remote_port_),
                       bytes, n, &text);
  if (rc != kOk) {
    SetErrorText(text.c_str());
    set_error_code(rc);
  }
  return rc;
}

int UdpPort::SendWithSource(const void* bytes, int n) {
  auto send_msg = ExtensionFunction<win::LPFN_WSASENDMSG>(socket_, win::WSAID_WSASENDMSG);
  uint32_t source = 0;
  const bool source_ok =
      win::inet_pton(win::AF_INET, source_ip_address_.c_str(), &source) == 1;
  if (send_msg != nullptr && source_ok) {
    alignas(win::WSACMSGHDR) char control[win::WSA_CMSG_SPACE(sizeof(win::in_pktinfo))] = {};
    auto* header = reinterpret_cast<win::WSACMSGHDR*>(control);
    header->cmsg_len = win::WSA_CMSG_LEN(sizeof(win::in_pktinfo));
    header->cmsg_level = win::IPPROTO_IP;
    header->cmsg_type = win::IP_PKTINFO;
    win::in_pktinfo info{};
    info.ipi_addr.s_addr = source;
    std::memcpy(win::WSA_CMSG_DATA(header), &info, sizeof info);
    win::sockaddr_storage remote;
    const int remote_len = RemoteSockaddr(&remote);
    win::WSABUF buffer{static_cast<win::u_long>(n),
                       const_cast<char*>(static_cast<const char*>(bytes))};
    win::WSAMSG msg{reinterpret_cast<win::sockaddr*>(&remote), remote_len, &buffer, 1,
                    {sizeof control, control}, 0};
    win::DWORD sent = 0;
    if (send_msg(socket_, &msg, 0, &sent, nullptr, nullptr) == 0) return kOk;
  }
  // The source could not be chosen that way: this one datagram goes as a raw frame with the
  // adapter's own MAC; SourceMACAddress stays as the caller set it.
  return SendRawFrame(bytes, n, kRawFallbackMac);
}

int UdpPort::Send(const void* bytes, int n) {
  if (!HasSocket()) {
    SetErrorText(kTextNotActive);
    return kErrUdpNotActive;
  }
  if (n <= 0) return kOk;
  if (bytes == nullptr) return SetWinsockErrorText(win::WSAEFAULT);
  if (remote_port_ == 0) {
    SetErrorText(kTextRemotePortZero);
    return kErrUdpRemotePortZero;
  }
  int rc = kOk;
  if (!source_mac_address_.empty()) {
    rc = SendRawFrame(bytes, n, source_mac_address_.c_str());
  } else if (use_connection_) {
    if (win::send(socket_, static_cast<const char*>(bytes), n, 0) < 0) {
      rc = SetWinsockErrorText(win::WSAGetLastError());
    }
  } else if (!ipv6_in_use_ && !source_ip_address_.empty()) {
    rc = SendWithSource(bytes, n);
  } else {
    win::sockaddr_storage remote;
    const int remote_len = RemoteSockaddr(&remote);
    if (win::sendto(socket_, static_cast<const char*>(bytes), n, 0,
                    reinterpret_cast<win::sockaddr*>(&remote), remote_len) < 0) {
      rc = SetWinsockErrorText(win::WSAGetLastError());
    }
  }
  if (rc != kOk) return rc;
  RecordTraffic(true, bytes, n);
  RearmTimeoutAfterTraffic();
  return kOk;
}

// ---- Settings ----

int UdpPort::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  int rc = kOk;
  if (ConfigSwitches(request, answer, {
      {"PumpDataInDoEvents", &pump_data_in_do_events_},
      {"CaptureIPPacketInfo", &capture_ip_packet_info_},
      {"DontFragment", &dont_fragment_},
      {"AcceptData", &accept_data_},
      {"ShareLocalPort", &share_local_port_},
  }, &rc)) {
    return rc;
  }
  if (ConfigTexts<ShortString>(request, answer, {
      {"SourceMACAddress", &source_mac_address_},
      {"SourceIPAddress", &source_ip_address_},
  }, &rc)) {
    return rc;
  }
  if (request.NameIs("UseConnection")) {
    if (read) return SetConfigAnswerBool(use_connection_, answer);
    return SetUseConnection(request.ValueAsBool());
  }
  if (request.NameIs("MaxPacketSize")) {
    if (read) return SetConfigAnswerUInt(max_packet_size_, answer);
    return SetMaxPacketSize(request.ValueAsInt());
  }
  if (request.NameIs("QOSFlags")) {
    if (read) {
      int32_t value = qos_flags_;
      if (HasSocket()) {
        int len = sizeof value;
        if (win::getsockopt(socket_, ipv6_in_use_ ? win::IPPROTO_IPV6 : win::IPPROTO_IP,
                            ipv6_in_use_ ? win::IPV6_TCLASS : win::IP_TOS,
                            reinterpret_cast<char*>(&value), &len) != 0) {
          value = qos_flags_;
        }
      }
      return SetConfigAnswerSigned(value, answer);
    }
    qos_flags_ = request.ValueAsInt();
    if (!HasSocket()) return kOk;
    const int error = SetIntOption(socket_, ipv6_in_use_ ? win::IPPROTO_IPV6 : win::IPPROTO_IP,
                                   ipv6_in_use_ ? win::IPV6_TCLASS : win::IP_TOS, qos_flags_);
    return error != kOk ? SetWinsockErrorText(error) : kOk;
  }
  if (request.NameIs("SocketHandle")) {
    if (read) return SetConfigAnswerInt64(HasSocket() ? static_cast<int64_t>(socket_) : -1, answer);
    SetErrorText(kTextSocketHandleReadOnly);
    return kErrUnknownSetting;
  }
  if (request.NameIs("InBufferSize")) {
    if (read) return SetConfigAnswerUInt(in_buffer_size(), answer);
    rc = SetInBufferSize(static_cast<uint32_t>(request.ValueAsInt()));
    return rc != kOk ? SetWinsockErrorText(rc) : kOk;
  }
  if (request.NameIs("OutBufferSize")) {
    if (read) return SetConfigAnswerUInt(out_buffer_size(), answer);
    rc = SetOutBufferSize(static_cast<uint32_t>(request.ValueAsInt()));
    return rc != kOk ? SetWinsockErrorText(rc) : kOk;
  }
  if (request.NameIs("TimeToLive") || request.NameIs("TTL")) {
    if (read) return SetConfigAnswerSigned(time_to_live_, answer);
    time_to_live_ = request.ValueAsInt();
    return ApplyTimeToLive();
  }
  if (request.NameIs("DestinationAddress")) {
    if (read) return SetConfigAnswer(destination_address_.c_str(), answer);
    return kOk;
  }
  if (request.NameIs("LocalHost")) {
    if (read) return SetConfigAnswer(GetLocalAddress(), answer);
    return SetLocalHost(request.value().c_str());
  }
  if (request.NameIs("LocalPort")) {
    if (!read) return SetLocalPort(request.ValueAsInt());
    int port = 0;
    rc = GetLocalPort(&port);
    if (rc != kOk) return rc;
    return SetConfigAnswerSigned(port, answer);
  }
  if (request.NameIs("LogLevel")) {
    if (read) return SetConfigAnswerSigned(log_level(), answer);
    set_log_level(request.ValueAsInt());
    return kOk;
  }
  return SocketComponent::Config(request, answer);
}

}  // namespace tw
