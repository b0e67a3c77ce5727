// Winsock 2.2 over POSIX sockets: start-up, sockets, options, messages and select.
// WSAAsyncSelect is in socket_notifier.cc, name resolution in winsock_resolver.cc.
#include "platform/winsock_internal.h"  // first: it takes the system socket headers' macros away

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/process_tables.h"
#include "platform/socket_notifier.h"
#include "platform/time.h"
#include "platform/winsock.h"

namespace win {
using namespace sockets;
namespace {

constexpr WORD kHighestVersion = MAKEWORD(2, 2);
constexpr char kDescription[] = "WinSock 2.0";
constexpr char kSystemStatus[] = "Running";

// ---- error numbers ----

struct ErrnoToWsa {
  int err;
  int wsa;
};

constexpr ErrnoToWsa kSocketErrors[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {EPIPE, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

// ---- options ----

enum class OptKind { kBool, kInt, kLinger, kDontLinger, kMillis, kError, kBuffer, kDontFragment };

struct OptionMap {
  int level;
  int name;
  int px_level;
  int px_name;
  OptKind kind;
  bool read_only;
};

constexpr OptionMap kOptions[] = {
    {SOL_SOCKET, SO_DEBUG, px::kSolSocket, px::kSoDebug, OptKind::kBool, false},
    {SOL_SOCKET, SO_ACCEPTCONN, px::kSolSocket, px::kSoAcceptConn, OptKind::kBool, true},
    {SOL_SOCKET, SO_REUSEADDR, px::kSolSocket, px::kSoReuseAddr, OptKind::kBool, false},
    {SOL_SOCKET, SO_KEEPALIVE, px::kSolSocket, px::kSoKeepAlive, OptKind::kBool, false},
    {SOL_SOCKET, SO_DONTROUTE, px::kSolSocket, px::kSoDontRoute, OptKind::kBool, false},
    {SOL_SOCKET, SO_BROADCAST, px::kSolSocket, px::kSoBroadcast, OptKind::kBool, false},
    {SOL_SOCKET, SO_LINGER, px::kSolSocket, px::kSoLinger, OptKind::kLinger, false},
    {SOL_SOCKET, SO_DONTLINGER, px::kSolSocket, px::kSoLinger, OptKind::kDontLinger, false},
    {SOL_SOCKET, SO_OOBINLINE, px::kSolSocket, px::kSoOobInline, OptKind::kBool, false},
    {SOL_SOCKET, SO_SNDBUF, px::kSolSocket, px::kSoSndBuf, OptKind::kBuffer, false},
    {SOL_SOCKET, SO_RCVBUF, px::kSolSocket, px::kSoRcvBuf, OptKind::kBuffer, false},
    {SOL_SOCKET, SO_SNDLOWAT, px::kSolSocket, px::kSoSndLowat, OptKind::kInt, false},
    {SOL_SOCKET, SO_RCVLOWAT, px::kSolSocket, px::kSoRcvLowat, OptKind::kInt, false},
    {SOL_SOCKET, SO_SNDTIMEO, px::kSolSocket, px::kSoSndTimeo, OptKind::kMillis, false},
    {SOL_SOCKET, SO_RCVTIMEO, px::kSolSocket, px::kSoRcvTimeo, OptKind::kMillis, false},
    {SOL_SOCKET, SO_ERROR, px::kSolSocket, px::kSoError, OptKind::kError, true},
    {SOL_SOCKET, SO_TYPE, px::kSolSocket, px::kSoType, OptKind::kInt, true},
    {IPPROTO_TCP, TCP_NODELAY, ::IPPROTO_TCP, px::kTcpNoDelay, OptKind::kBool, false},
    {IPPROTO_TCP, TCP_KEEPALIVE, ::IPPROTO_TCP, TCP_KEEPIDLE, OptKind::kInt, false},
    {IPPROTO_TCP, TCP_KEEPCNT, ::IPPROTO_TCP, px::kTcpKeepCnt, OptKind::kInt, false},
    {IPPROTO_TCP, TCP_KEEPINTVL, ::IPPROTO_TCP, px::kTcpKeepIntvl, OptKind::kInt, false},
    {IPPROTO_IP, IP_OPTIONS, ::IPPROTO_IP, px::kIpOptions, OptKind::kInt, false},
    {IPPROTO_IP, IP_HDRINCL, ::IPPROTO_IP, px::kIpHdrIncl, OptKind::kBool, false},
    {IPPROTO_IP, IP_TOS, ::IPPROTO_IP, px::kIpTos, OptKind::kInt, false},
    {IPPROTO_IP, IP_TTL, ::IPPROTO_IP, px::kIpTtl, OptKind::kInt, false},
    {IPPROTO_IP, IP_MULTICAST_IF, ::IPPROTO_IP, px::kIpMulticastIf, OptKind::kInt, false},
    {IPPROTO_IP, IP_MULTICAST_TTL, ::IPPROTO_IP, px::kIpMulticastTtl, OptKind::kInt, false},
    {IPPROTO_IP, IP_MULTICAST_LOOP, ::IPPROTO_IP, px::kIpMulticastLoop, OptKind::kBool, false},
    {IPPROTO_IP, IP_DONTFRAGMENT, ::IPPROTO_IP, IP_MTU_DISCOVER, OptKind::kDontFragment, false},
    {IPPROTO_IP, IP_PKTINFO, ::IPPROTO_IP, px::kIpPktInfo, OptKind::kBool, false},
    {IPPROTO_IPV6, IPV6_UNICAST_HOPS, ::IPPROTO_IPV6, px::kIpv6UnicastHops, OptKind::kInt, false},
    {IPPROTO_IPV6, IPV6_PKTINFO, ::IPPROTO_IPV6, IPV6_RECVPKTINFO, OptKind::kBool, false},
    {IPPROTO_IPV6, IPV6_V6ONLY, ::IPPROTO_IPV6, px::kIpv6V6Only, OptKind::kBool, false},
    {IPPROTO_IPV6, IPV6_TCLASS, ::IPPROTO_IPV6, px::kIpv6TClass, OptKind::kInt, false},
};

const OptionMap* FindOption(int level, int name) {
  for (const auto& o : kOptions) {
    if (o.level == level && o.name == name) return &o;
  }
  return nullptr;
}

// ---- the socket table ----

struct SocketTable {
  std::mutex lock;
  std::unordered_map<SOCKET, std::shared_ptr<SocketRec>> sockets;
};

SocketTable& Sockets() {
  static SocketTable* table = KeepProcessTable(new SocketTable);  // sockets may outlive statics
  return *table;
}

std::atomic<int> startups{0};

SOCKET AddSocket(int fd, int family, int type, std::shared_ptr<SocketRec>* out = nullptr) {
  SOCKET id = NewHandleId();
  auto rec = std::make_shared<SocketRec>(id, fd, family, type);
  if (out) *out = rec;
  SocketTable& t = Sockets();
  std::lock_guard<std::mutex> guard(t.lock);
  t.sockets.emplace(id, std::move(rec));
  return id;
}

int MinimumAddressSize(int family) {
  return family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                            : static_cast<int>(sizeof(sockaddr_in));
}

// Home-platform message flags -> POSIX; -1 for a flag that has no counterpart.
int MessageFlagsToPosix(int flags) {
  int out = 0;
  if (flags & MSG_OOB) out |= ::MSG_OOB;
  if (flags & MSG_PEEK) out |= ::MSG_PEEK;
  if (flags & MSG_DONTROUTE) out |= ::MSG_DONTROUTE;
  if (flags & MSG_WAITALL) out |= ::MSG_WAITALL;
  if (flags & ~(MSG_OOB | MSG_PEEK | MSG_DONTROUTE | MSG_WAITALL)) return -1;
  return out;
}

}  // namespace

namespace sockets {

int WsaFromErrno(int err) {
  if (err == 0) return 0;
  for (const auto& m : kSocketErrors) {
    if (m.err == err) return m.wsa;
  }
  return WSAEINVAL;
}

int Fail(int wsa) {
  SetLastError(static_cast<DWORD>(wsa));
  return SOCKET_ERROR;
}

int FailErrno(int err) { return Fail(WsaFromErrno(err)); }

bool Started() { return startups.load() > 0; }

std::shared_ptr<SocketRec> Lookup(SOCKET s) {
  SocketTable& t = Sockets();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.sockets.find(s);
  if (it == t.sockets.end()) {
    SetLastError(WSAENOTSOCK);
    return nullptr;
  }
  return it->second;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

int TakeSocketErrno(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, px::kSolSocket, px::kSoError, &err, &len) != 0) return errno;
  return err;
}

// ---- addresses ----

int FamilyToPosix(int af) {
  switch (af) {
    case AF_UNSPEC:
      return px::kAfUnspec;
    case AF_INET:
      return px::kAfInet;
    case AF_INET6:
      return px::kAfInet6;
    default:
      return -1;
  }
}

int FamilyFromPosix(int af) {
  if (af == px::kAfInet) return AF_INET;
  if (af == px::kAfInet6) return AF_INET6;
  return af == px::kAfUnspec ? AF_UNSPEC : -1;
}

// Home-platform address -> POSIX address. 0 or a Winsock error.
int AddressToPosix(const sockaddr* name, int namelen, ::sockaddr_storage* out, socklen_t* outlen) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(u_short))) return WSAEFAULT;
  std::memset(out, 0, sizeof *out);
  switch (name->sa_family) {
    case AF_INET: {
      if (namelen < static_cast<int>(sizeof(sockaddr_in))) return WSAEFAULT;
      sockaddr_in in;
      std::memcpy(&in, name, sizeof in);
      auto* p = reinterpret_cast<::sockaddr_in*>(out);
      p->sin_family = static_cast<sa_family_t>(px::kAfInet);
      p->sin_port = in.sin_port;
      p->sin_addr.s_addr = in.sin_addr.s_addr;
      *outlen = sizeof(::sockaddr_in);
      return 0;
    }
    case AF_INET6: {
      if (namelen < static_cast<int>(sizeof(sockaddr_in6))) return WSAEFAULT;
      sockaddr_in6 in6;
      std::memcpy(&in6, name, sizeof in6);
      auto* p = reinterpret_cast<::sockaddr_in6*>(out);
      p->sin6_family = static_cast<sa_family_t>(px::kAfInet6);
      p->sin6_port = in6.sin6_port;
      p->sin6_flowinfo = in6.sin6_flowinfo;
      std::memcpy(&p->sin6_addr, &in6.sin6_addr, 16);
      p->sin6_scope_id = in6.sin6_scope_id;
      *outlen = sizeof(::sockaddr_in6);
      return 0;
    }
    default:
      return WSAEAFNOSUPPORT;
  }
}

// The size a POSIX address takes in the home platform's form; 0 for an unknown family.
int AddressSize(const ::sockaddr* p) {
  if (p->sa_family == px::kAfInet) return sizeof(sockaddr_in);
  if (p->sa_family == px::kAfInet6) return sizeof(sockaddr_in6);
  return 0;
}

// POSIX address -> home-platform address into a buffer of *namelen bytes. 0 or a Winsock error.
int AddressFromPosix(const ::sockaddr* p, sockaddr* name, int* namelen) {
  int size = AddressSize(p);
  if (size == 0) return WSAEAFNOSUPPORT;
  if (name == nullptr || namelen == nullptr || *namelen < size) return WSAEFAULT;
  if (p->sa_family == px::kAfInet) {
    const auto* in = reinterpret_cast<const ::sockaddr_in*>(p);
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in->sin_port;
    out.sin_addr.s_addr = in->sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
  } else {
    const auto* in6 = reinterpret_cast<const ::sockaddr_in6*>(p);
    sockaddr_in6 out{};
    out.sin6_family = AF_INET6;
    out.sin6_port = in6->sin6_port;
    out.sin6_flowinfo = in6->sin6_flowinfo;
    std::memcpy(&out.sin6_addr, &in6->sin6_addr, 16);
    out.sin6_scope_id = in6->sin6_scope_id;
    std::memcpy(name, &out, sizeof out);
  }
  *namelen = size;
  return 0;
}

}  // namespace sockets

// ---- start-up ----

int WSAStartup(WORD version_requested, WSADATA* data) {
  const unsigned major = LOBYTE(version_requested);
  const unsigned minor = HIBYTE(version_requested);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  const bool above = major > 2 || (major == 2 && minor > 2);
  std::memset(data, 0, sizeof *data);
  data->wVersion = above ? kHighestVersion : version_requested;
  data->wHighVersion = kHighestVersion;
  std::memcpy(data->szDescription, kDescription, sizeof kDescription);
  std::memcpy(data->szSystemStatus, kSystemStatus, sizeof kSystemStatus);
  startups.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int current = startups.load();
  while (current > 0 && !startups.compare_exchange_weak(current, current - 1)) {
  }
  if (current <= 0) return Fail(WSANOTINITIALISED);
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }
BOOL WSAIsBlocking() { return FALSE; }
int WSACancelBlockingCall() { return Fail(WSAEOPNOTSUPP); }

// ---- sockets ----

SOCKET socket(int af, int type, int protocol) {
  if (!Started()) {
    Fail(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  int family = FamilyToPosix(af);
  if (family < 0 || af == AF_UNSPEC) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM && type != SOCK_DGRAM && type != SOCK_RAW) {
    Fail(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno(errno);
    return INVALID_SOCKET;
  }
  return AddSocket(fd, af, type);
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  ::sockaddr_storage addr;
  socklen_t len;
  if (int err = AddressToPosix(name, namelen, &addr, &len)) return Fail(err);
  if (::bind(rec->fd, reinterpret_cast<::sockaddr*>(&addr), len) != 0) return FailErrno(errno);
  std::lock_guard<std::mutex> guard(rec->lock);
  rec->bound = true;
  return 0;
}

int listen(SOCKET s, int backlog) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (!rec->IsStream()) return Fail(WSAEOPNOTSUPP);
    if (!rec->bound || (rec->state != State::kFresh && rec->state != State::kListening)) {
      return Fail(WSAEINVAL);
    }
  }
  if (::listen(rec->fd, std::clamp(backlog, 1, INT_MAX)) != 0) return FailErrno(errno);
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->state = State::kListening;
    rec->quiet = false;
  }
  WakeOwner(*rec);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  auto rec = Lookup(s);
  if (!rec) return INVALID_SOCKET;
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (rec->state != State::kListening) {
      Fail(WSAEINVAL);
      return INVALID_SOCKET;
    }
  }
  if (addr != nullptr && (addrlen == nullptr || *addrlen < MinimumAddressSize(rec->family))) {
    Fail(WSAEFAULT);
    return INVALID_SOCKET;
  }
  ::sockaddr_storage peer;
  socklen_t peer_len = sizeof peer;
  int fd;
  do {
    peer_len = sizeof peer;
    fd = ::accept4(rec->fd, reinterpret_cast<::sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  int saved = errno;
  Rearm(*rec, &SocketRec::accept_enabled);
  if (fd < 0) {
    FailErrno(saved);
    return INVALID_SOCKET;
  }
  std::shared_ptr<SocketRec> child;
  SOCKET id = AddSocket(fd, rec->family, rec->type, &child);
  {
    std::lock_guard<std::mutex> child_guard(child->lock);
    child->state = State::kConnected;
    child->bound = true;
    // The accepted socket inherits the listener's registration, as on the home platform.
    std::lock_guard<std::mutex> guard(rec->lock);
    if (rec->watcher) {
      SetNonBlocking(fd, true);
      child->nonblocking = true;
      child->watcher = rec->watcher;
      child->queue = rec->queue;
      child->window = child->last_window = rec->window;
      child->message = child->last_message = rec->message;
      child->mask = rec->mask;
      rec->watcher->Add(child);
    }
  }
  WakeOwner(*child);
  if (addr != nullptr) AddressFromPosix(reinterpret_cast<::sockaddr*>(&peer), addr, addrlen);
  return id;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  ::sockaddr_storage addr;
  socklen_t len;
  if (int err = AddressToPosix(name, namelen, &addr, &len)) return Fail(err);
  const auto* target = reinterpret_cast<::sockaddr*>(&addr);

  std::unique_lock<std::mutex> guard(rec->lock);
  if (rec->state == State::kListening) return Fail(WSAEINVAL);
  if (rec->IsStream() && rec->state == State::kConnected) return Fail(WSAEISCONN);
  if (rec->IsStream() && rec->state == State::kConnecting) return Fail(WSAEALREADY);

  if (!rec->IsStream()) {
    if (::connect(rec->fd, target, len) != 0) return FailErrno(errno);
    rec->state = State::kConnected;
    rec->bound = true;
    rec->connect_errno = 0;
    rec->connect_pending = rec->watcher != nullptr;  // datagram sockets report FD_CONNECT at once
    rec->quiet = false;
    guard.unlock();
    WakeOwner(*rec);
    return 0;
  }

  if (!rec->nonblocking) {
    guard.unlock();
    int rc = ::connect(rec->fd, target, len);
    int err = rc == 0 ? 0 : errno;
    if (err == EINTR) {
      // The attempt goes on in the kernel: wait for its outcome instead of starting another.
      pollfd p{rec->fd, POLLOUT, 0};
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      err = TakeSocketErrno(rec->fd);
    }
    guard.lock();
    if (err != 0) {
      rec->state = State::kFresh;
      return FailErrno(err);
    }
    rec->state = State::kConnected;
    rec->bound = true;
    return 0;
  }

  // Non-blocking: the outcome always comes later, as FD_CONNECT or through select.
  int rc = ::connect(rec->fd, target, len);
  int err = rc == 0 ? 0 : errno;
  if (err == 0) {
    rec->state = State::kConnected;
    rec->bound = true;
    rec->connect_errno = 0;
  } else if (err == EINPROGRESS || err == EINTR) {
    rec->state = State::kConnecting;
  } else if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
             err == ECONNRESET) {
    rec->state = State::kFailed;
    rec->connect_errno = err;
    rec->pending_so_error = WsaFromErrno(err);
  } else {
    return FailErrno(err);
  }
  rec->connect_pending = true;
  rec->quiet = false;
  guard.unlock();
  WakeOwner(*rec);
  return Fail(WSAEWOULDBLOCK);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  int f = MessageFlagsToPosix(flags & ~MSG_PEEK);
  if (f < 0 || (flags & MSG_PEEK)) return Fail(WSAEOPNOTSUPP);
  ssize_t n;
  do {
    n = ::send(rec->fd, buf, static_cast<size_t>(len), f | ::MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  bool blocking, timed, shut;
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    blocking = !rec->nonblocking;
    timed = rec->send_timeout != 0;
    shut = rec->shut_send;
  }
  if (err == EAGAIN) {
    if (blocking && timed) return Fail(WSAETIMEDOUT);
    Rearm(*rec, &SocketRec::write_enabled);
    return Fail(WSAEWOULDBLOCK);
  }
  if (err == EPIPE) return Fail(shut ? WSAESHUTDOWN : WSAECONNRESET);
  return FailErrno(err);
}

namespace {

// Common tail of recv and recvfrom: the error the notifier kept, then the call itself.
int ReceiveResult(SocketRec& rec, ssize_t n, int err) {
  Rearm(rec, &SocketRec::read_enabled);
  if (n >= 0) return static_cast<int>(n);
  bool blocking, timed;
  {
    std::lock_guard<std::mutex> guard(rec.lock);
    blocking = !rec.nonblocking;
    timed = rec.receive_timeout != 0;
    if (err == ECONNRESET) rec.close_error = WSAECONNRESET;
  }
  if (err == EAGAIN) return Fail(blocking && timed ? WSAETIMEDOUT : WSAEWOULDBLOCK);
  return FailErrno(err);
}

bool TakePendingReceiveError(SocketRec& rec, int* err) {
  std::lock_guard<std::mutex> guard(rec.lock);
  if (rec.pending_recv_errno == 0) return false;
  *err = rec.pending_recv_errno;
  rec.pending_recv_errno = 0;
  return true;
}

}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  int f = MessageFlagsToPosix(flags);
  if (f < 0) return Fail(WSAEOPNOTSUPP);
  int err = 0;
  if (TakePendingReceiveError(*rec, &err)) return ReceiveResult(*rec, -1, err);
  ssize_t n;
  do {
    n = ::recv(rec->fd, buf, static_cast<size_t>(len), f);
  } while (n < 0 && errno == EINTR);
  return ReceiveResult(*rec, n, n < 0 ? errno : 0);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  if (to == nullptr) return send(s, buf, len, flags);
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  int f = MessageFlagsToPosix(flags);
  if (f < 0 || (flags & MSG_PEEK)) return Fail(WSAEOPNOTSUPP);
  ::sockaddr_storage addr;
  socklen_t addr_len;
  if (int err = AddressToPosix(to, tolen, &addr, &addr_len)) return Fail(err);
  ssize_t n;
  do {
    n = ::sendto(rec->fd, buf, static_cast<size_t>(len), f | ::MSG_NOSIGNAL,
                 reinterpret_cast<::sockaddr*>(&addr), addr_len);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->bound = true;  // the first datagram binds the socket to a local port
    return static_cast<int>(n);
  }
  int err = errno;
  if (err == EAGAIN) {
    Rearm(*rec, &SocketRec::write_enabled);
    return Fail(WSAEWOULDBLOCK);
  }
  return FailErrno(err);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (rec->IsStream()) return recv(s, buf, len, flags);  // the source is not reported for streams
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  if (from != nullptr && (fromlen == nullptr || *fromlen < MinimumAddressSize(rec->family))) {
    return Fail(WSAEFAULT);
  }
  int f = MessageFlagsToPosix(flags);
  if (f < 0) return Fail(WSAEOPNOTSUPP);
  int err = 0;
  if (TakePendingReceiveError(*rec, &err)) return ReceiveResult(*rec, -1, err);
  ::sockaddr_storage source;
  ::iovec iov{buf, static_cast<size_t>(len)};
  ::msghdr mh{};
  ssize_t n;
  do {
    mh = ::msghdr{};
    mh.msg_name = &source;
    mh.msg_namelen = sizeof source;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    n = ::recvmsg(rec->fd, &mh, f);
  } while (n < 0 && errno == EINTR);
  if (n >= 0 && from != nullptr && mh.msg_namelen > 0) {
    AddressFromPosix(reinterpret_cast<::sockaddr*>(&source), from, fromlen);
  }
  if (n >= 0 && (mh.msg_flags & ::MSG_TRUNC)) {
    Rearm(*rec, &SocketRec::read_enabled);
    return Fail(WSAEMSGSIZE);
  }
  return ReceiveResult(*rec, n, n < 0 ? errno : 0);
}

int closesocket(SOCKET s) {
  std::shared_ptr<SocketRec> rec;
  {
    SocketTable& t = Sockets();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.sockets.find(s);
    if (it == t.sockets.end()) return Fail(WSAENOTSOCK);
    rec = std::move(it->second);
    t.sockets.erase(it);
  }
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->closed = true;
    ClearRegistration(*rec);
    std::shared_ptr<MessageQueue> queue = rec->queue.lock();
    if (queue && rec->last_window != nullptr) {
      internal::DropFromQueue(*queue, rec->last_window, rec->last_message, s);
    }
  }
  // A call still running in another thread holds the socket: wake it; the descriptor is closed
  // when it returns.
  if (rec.use_count() > 1) ::shutdown(rec->fd, SHUT_RDWR);
  return 0;
}

int shutdown(SOCKET s, int how) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  int px_how;
  switch (how) {
    case SD_RECEIVE:
      px_how = SHUT_RD;
      break;
    case SD_SEND:
      px_how = SHUT_WR;
      break;
    case SD_BOTH:
      px_how = SHUT_RDWR;
      break;
    default:
      return Fail(WSAEINVAL);
  }
  if (::shutdown(rec->fd, px_how) != 0) return FailErrno(errno);
  std::lock_guard<std::mutex> guard(rec->lock);
  if (how != SD_RECEIVE) rec->shut_send = true;
  rec->quiet = false;
  return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  const OptionMap* o = FindOption(level, optname);
  if (o == nullptr) return Fail(WSAENOPROTOOPT);
  if (optval == nullptr || optlen == nullptr) return Fail(WSAEFAULT);
  auto put_int = [&](int value) {
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
  };
  auto get_int = [&](int* value) {
    socklen_t len = sizeof *value;
    return ::getsockopt(rec->fd, o->px_level, o->px_name, value, &len) == 0;
  };
  int value = 0;
  switch (o->kind) {
    case OptKind::kBool:
      if (!get_int(&value)) return FailErrno(errno);
      if (*optlen >= static_cast<int>(sizeof(int))) return put_int(value != 0);
      if (*optlen < 1) return Fail(WSAEFAULT);
      optval[0] = value != 0;
      *optlen = 1;
      return 0;
    case OptKind::kInt:
      if (!get_int(&value)) return FailErrno(errno);
      return put_int(value);
    case OptKind::kBuffer: {
      {
        std::lock_guard<std::mutex> guard(rec->lock);
        value = optname == SO_RCVBUF ? rec->receive_buffer_asked : rec->send_buffer_asked;
      }
      if (value == 0 && !get_int(&value)) return FailErrno(errno);
      return put_int(value);
    }
    case OptKind::kError: {
      {
        std::lock_guard<std::mutex> guard(rec->lock);
        value = rec->pending_so_error;
        rec->pending_so_error = 0;
      }
      if (value == 0) value = WsaFromErrno(TakeSocketErrno(rec->fd));
      return put_int(value);
    }
    case OptKind::kLinger:
    case OptKind::kDontLinger: {
      ::linger l{};
      socklen_t len = sizeof l;
      if (::getsockopt(rec->fd, o->px_level, o->px_name, &l, &len) != 0) return FailErrno(errno);
      if (o->kind == OptKind::kDontLinger) return put_int(l.l_onoff == 0);
      if (*optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
      linger out{static_cast<u_short>(l.l_onoff != 0), static_cast<u_short>(l.l_linger)};
      std::memcpy(optval, &out, sizeof out);
      *optlen = sizeof out;
      return 0;
    }
    case OptKind::kMillis: {
      std::lock_guard<std::mutex> guard(rec->lock);
      return put_int(
          static_cast<int>(optname == SO_RCVTIMEO ? rec->receive_timeout : rec->send_timeout));
    }
    case OptKind::kDontFragment:
      if (!get_int(&value)) return FailErrno(errno);
      return put_int(value == IP_PMTUDISC_DO);
  }
  return Fail(WSAENOPROTOOPT);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  const OptionMap* o = FindOption(level, optname);
  if (o == nullptr || o->read_only) return Fail(WSAENOPROTOOPT);
  if (optval == nullptr || optlen < 1) return Fail(WSAEFAULT);
  // BOOL options also take one byte, as the home platform accepts.
  int value = 0;
  if (optlen >= static_cast<int>(sizeof(int))) {
    std::memcpy(&value, optval, sizeof value);
  } else if (o->kind == OptKind::kBool || o->kind == OptKind::kDontLinger) {
    value = static_cast<unsigned char>(optval[0]);
  } else if (o->kind != OptKind::kLinger) {
    return Fail(WSAEFAULT);
  }
  auto set = [&](const void* v, socklen_t len) {
    if (::setsockopt(rec->fd, o->px_level, o->px_name, v, len) != 0) return FailErrno(errno);
    return 0;
  };
  switch (o->kind) {
    case OptKind::kBool: {
      int on = value != 0;
      return set(&on, sizeof on);
    }
    case OptKind::kInt:
      return set(&value, sizeof value);
    case OptKind::kBuffer: {
      const int fallback = optname == SO_RCVBUF ? kDefaultReceiveBuffer : kDefaultSendBuffer;
      if (value != 0 && value != fallback) {
        if (int rc = set(&value, sizeof value); rc != 0) return rc;
      }
      std::lock_guard<std::mutex> guard(rec->lock);
      (optname == SO_RCVBUF ? rec->receive_buffer_asked : rec->send_buffer_asked) = value;
      return 0;
    }
    case OptKind::kLinger: {
      if (optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
      linger in;
      std::memcpy(&in, optval, sizeof in);
      ::linger l{in.l_onoff != 0, in.l_linger};
      return set(&l, sizeof l);
    }
    case OptKind::kDontLinger: {
      ::linger l{};
      socklen_t len = sizeof l;
      if (::getsockopt(rec->fd, o->px_level, o->px_name, &l, &len) != 0) return FailErrno(errno);
      l.l_onoff = value == 0;
      return set(&l, sizeof l);
    }
    case OptKind::kMillis: {
      DWORD ms = static_cast<DWORD>(value);
      ::timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
      if (int rc = set(&tv, sizeof tv); rc != 0) return rc;
      std::lock_guard<std::mutex> guard(rec->lock);
      (optname == SO_RCVTIMEO ? rec->receive_timeout : rec->send_timeout) = ms;
      return 0;
    }
    case OptKind::kDontFragment: {
      int mode = value != 0 ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
      return set(&mode, sizeof mode);
    }
    case OptKind::kError:
      break;
  }
  return Fail(WSAENOPROTOOPT);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == FIONBIO) {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (*argp == 0 && rec->watcher) return Fail(WSAEINVAL);  // WSAAsyncSelect needs non-blocking
    if (!SetNonBlocking(rec->fd, *argp != 0)) return FailErrno(errno);
    rec->nonblocking = *argp != 0;
    return 0;
  }
  if (cmd == FIONREAD) {
    int available = 0;
    if (::ioctl(rec->fd, px::kFionRead, &available) != 0) {
      if (errno != EINVAL) return FailErrno(errno);
      available = 0;  // a listening socket
    }
    *argp = static_cast<u_long>(std::max(available, 0));
    return 0;
  }
  return Fail(WSAEINVAL);
}

namespace {

// Packet information in the home platform's layout <-> the kernel's (struct in_pktinfo has
// the interface first there, and the source to use in ipi_spec_dst).
constexpr size_t kControlRoom = 1024;
constexpr DWORD kMaxMessageBuffers = 64;

// The caller's buffer list as iovecs; WSAEFAULT for a missing or too long list.
int MessageBuffers(const WSAMSG* msg, ::iovec (&iov)[kMaxMessageBuffers]) {
  if (msg == nullptr || (msg->dwBufferCount > 0 && msg->lpBuffers == nullptr) ||
      msg->dwBufferCount > kMaxMessageBuffers) {
    return WSAEFAULT;
  }
  for (DWORD i = 0; i < msg->dwBufferCount; ++i) {
    iov[i] = ::iovec{msg->lpBuffers[i].buf, msg->lpBuffers[i].len};
  }
  return 0;
}

int WsaRecvMsg(SOCKET s, WSAMSG* msg, DWORD* bytes_received, void* overlapped, void* completion) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (overlapped != nullptr || completion != nullptr) return Fail(WSAEOPNOTSUPP);
  ::iovec iov[kMaxMessageBuffers];
  if (int bad = MessageBuffers(msg, iov)) return Fail(bad);
  int err = 0;
  if (TakePendingReceiveError(*rec, &err)) return ReceiveResult(*rec, -1, err);
  ::sockaddr_storage source;
  alignas(::cmsghdr) char control[kControlRoom];
  ::msghdr mh{};
  ssize_t n;
  do {
    mh = ::msghdr{};
    mh.msg_name = &source;
    mh.msg_namelen = sizeof source;
    mh.msg_iov = iov;
    mh.msg_iovlen = msg->dwBufferCount;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    n = ::recvmsg(rec->fd, &mh, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ReceiveResult(*rec, n, errno);
  if (msg->name != nullptr && mh.msg_namelen > 0) {
    AddressFromPosix(reinterpret_cast<::sockaddr*>(&source), msg->name, &msg->namelen);
  }
  // Only the packet information travels up; other blocks are not asked for here.
  size_t used = 0;
  bool control_cut = (mh.msg_flags & ::MSG_CTRUNC) != 0;
  for (::cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
    int level = 0;
    int type = 0;
    unsigned char data[sizeof(in6_pktinfo)];
    size_t data_len = 0;
    if (c->cmsg_level == ::IPPROTO_IP && c->cmsg_type == px::kIpPktInfo) {
      ::in_pktinfo k;
      std::memcpy(&k, CMSG_DATA(c), sizeof k);
      in_pktinfo w{};
      w.ipi_addr.s_addr = k.ipi_addr.s_addr;
      w.ipi_ifindex = static_cast<u_long>(k.ipi_ifindex);
      std::memcpy(data, &w, sizeof w);
      data_len = sizeof w;
      level = IPPROTO_IP;
      type = IP_PKTINFO;
    } else if (c->cmsg_level == ::IPPROTO_IPV6 && c->cmsg_type == px::kIpv6PktInfo) {
      ::in6_pktinfo k;
      std::memcpy(&k, CMSG_DATA(c), sizeof k);
      in6_pktinfo w{};
      std::memcpy(w.ipi6_addr.s6_addr, &k.ipi6_addr, 16);
      w.ipi6_ifindex = static_cast<u_long>(k.ipi6_ifindex);
      std::memcpy(data, &w, sizeof w);
      data_len = sizeof w;
      level = IPPROTO_IPV6;
      type = IPV6_PKTINFO;
    } else {
      continue;
    }
    const size_t space = WSA_CMSG_SPACE(data_len);
    if (msg->Control.buf == nullptr || used + space > msg->Control.len) {
      control_cut = true;
      continue;
    }
    WSACMSGHDR h{WSA_CMSG_LEN(data_len), level, type};
    std::memcpy(msg->Control.buf + used, &h, sizeof h);
    std::memcpy(msg->Control.buf + used + WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR)), data, data_len);
    used += space;
  }
  msg->Control.len = static_cast<u_long>(used);
  msg->dwFlags = ((mh.msg_flags & ::MSG_TRUNC) ? MSG_TRUNC : 0) | (control_cut ? MSG_CTRUNC : 0);
  if (bytes_received != nullptr) *bytes_received = static_cast<DWORD>(n);
  if (mh.msg_flags & ::MSG_TRUNC) {
    Rearm(*rec, &SocketRec::read_enabled);
    return Fail(WSAEMSGSIZE);
  }
  return ReceiveResult(*rec, n, 0) < 0 ? SOCKET_ERROR : 0;
}

int WsaSendMsg(SOCKET s, WSAMSG* msg, DWORD flags, DWORD* bytes_sent, void* overlapped,
               void* completion) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (overlapped != nullptr || completion != nullptr) return Fail(WSAEOPNOTSUPP);
  ::iovec iov[kMaxMessageBuffers];
  if (int bad = MessageBuffers(msg, iov)) return Fail(bad);
  const int f = MessageFlagsToPosix(static_cast<int>(flags));
  if (f < 0 || (flags & MSG_PEEK)) return Fail(WSAEOPNOTSUPP);
  ::sockaddr_storage to;
  socklen_t to_len = 0;
  if (msg->name != nullptr) {
    if (int err = AddressToPosix(msg->name, msg->namelen, &to, &to_len)) return Fail(err);
  }
  alignas(::cmsghdr) char control[kControlRoom];
  size_t used = 0;
  // Walk the caller's blocks with bounds checks: a block that runs past the buffer is refused.
  for (size_t at = 0; msg->Control.buf != nullptr && at + sizeof(WSACMSGHDR) <= msg->Control.len;) {
    WSACMSGHDR h;
    std::memcpy(&h, msg->Control.buf + at, sizeof h);
    if (h.cmsg_len < sizeof(WSACMSGHDR) || at + h.cmsg_len > msg->Control.len) {
      return Fail(WSAEINVAL);
    }
    const char* data = msg->Control.buf + at + WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR));
    const size_t data_len = h.cmsg_len - WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR));
    if (h.cmsg_level == IPPROTO_IP && h.cmsg_type == IP_PKTINFO && data_len >= sizeof(in_pktinfo)) {
      in_pktinfo w;
      std::memcpy(&w, data, sizeof w);
      ::in_pktinfo k{};
      k.ipi_ifindex = static_cast<int>(w.ipi_ifindex);
      k.ipi_spec_dst.s_addr = w.ipi_addr.s_addr;
      ::cmsghdr* c = reinterpret_cast<::cmsghdr*>(control + used);
      c->cmsg_level = ::IPPROTO_IP;
      c->cmsg_type = px::kIpPktInfo;
      c->cmsg_len = CMSG_LEN(sizeof k);
      std::memcpy(CMSG_DATA(c), &k, sizeof k);
      used += CMSG_SPACE(sizeof k);
    } else if (h.cmsg_level == IPPROTO_IPV6 && h.cmsg_type == IPV6_PKTINFO &&
               data_len >= sizeof(in6_pktinfo)) {
      in6_pktinfo w;
      std::memcpy(&w, data, sizeof w);
      ::in6_pktinfo k{};
      std::memcpy(&k.ipi6_addr, w.ipi6_addr.s6_addr, 16);
      k.ipi6_ifindex = w.ipi6_ifindex;
      ::cmsghdr* c = reinterpret_cast<::cmsghdr*>(control + used);
      c->cmsg_level = ::IPPROTO_IPV6;
      c->cmsg_type = px::kIpv6PktInfo;
      c->cmsg_len = CMSG_LEN(sizeof k);
      std::memcpy(CMSG_DATA(c), &k, sizeof k);
      used += CMSG_SPACE(sizeof k);
    } else {
      return Fail(WSAEINVAL);
    }
    if (used + CMSG_SPACE(sizeof(::in6_pktinfo)) > sizeof control) return Fail(WSAEINVAL);
    at += WSA_CMSGHDR_ALIGN(h.cmsg_len);
  }
  ::msghdr mh{};
  mh.msg_name = to_len > 0 ? &to : nullptr;
  mh.msg_namelen = to_len;
  mh.msg_iov = iov;
  mh.msg_iovlen = msg->dwBufferCount;
  mh.msg_control = used > 0 ? control : nullptr;
  mh.msg_controllen = used;
  ssize_t n;
  do {
    n = ::sendmsg(rec->fd, &mh, f | ::MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) {
    {
      std::lock_guard<std::mutex> guard(rec->lock);
      rec->bound = true;
    }
    if (bytes_sent != nullptr) *bytes_sent = static_cast<DWORD>(n);
    return 0;
  }
  const int err = errno;
  if (err == EAGAIN) {
    Rearm(*rec, &SocketRec::write_enabled);
    return Fail(WSAEWOULDBLOCK);
  }
  return FailErrno(err);
}

int ExtensionFunction(const void* in, DWORD in_len, void* out, DWORD out_len,
                      DWORD* bytes_returned) {
  if (in == nullptr || in_len < sizeof(WSAEXTENSIONID) || out == nullptr ||
      out_len < sizeof(void*)) {
    return Fail(WSAEFAULT);
  }
  void (*fn)() = nullptr;
  if (std::memcmp(in, &WSAID_WSARECVMSG, sizeof(WSAEXTENSIONID)) == 0) {
    fn = reinterpret_cast<void (*)()>(&WsaRecvMsg);
  } else if (std::memcmp(in, &WSAID_WSASENDMSG, sizeof(WSAEXTENSIONID)) == 0) {
    fn = reinterpret_cast<void (*)()>(&WsaSendMsg);
  } else {
    return Fail(WSAEINVAL);
  }
  std::memcpy(out, &fn, sizeof fn);
  if (bytes_returned != nullptr) *bytes_returned = sizeof fn;
  return 0;
}

}  // namespace

int WSAIoctl(SOCKET s, DWORD code, void* in, DWORD in_len, void* out, DWORD out_len,
             DWORD* bytes_returned, void* overlapped, void* completion) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (overlapped != nullptr || completion != nullptr) return Fail(WSAEOPNOTSUPP);
  if (code == SIO_GET_EXTENSION_FUNCTION_POINTER) {
    return ExtensionFunction(in, in_len, out, out_len, bytes_returned);
  }
  if (code != SIO_KEEPALIVE_VALS) return Fail(WSAEOPNOTSUPP);
  if (in == nullptr || in_len < sizeof(tcp_keepalive)) return Fail(WSAEFAULT);
  tcp_keepalive ka;
  std::memcpy(&ka, in, sizeof ka);
  int on = ka.onoff != 0;
  // The home platform counts milliseconds, Linux whole seconds (at least one).
  int idle = static_cast<int>(std::max<u_long>(1, ka.keepalivetime / 1000));
  int interval = static_cast<int>(std::max<u_long>(1, ka.keepaliveinterval / 1000));
  if (::setsockopt(rec->fd, px::kSolSocket, px::kSoKeepAlive, &on, sizeof on) != 0 ||
      (on && (::setsockopt(rec->fd, ::IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
              ::setsockopt(rec->fd, ::IPPROTO_TCP, px::kTcpKeepIntvl, &interval, sizeof interval) !=
                  0))) {
    return FailErrno(errno);
  }
  if (bytes_returned) *bytes_returned = 0;
  return 0;
}

namespace {

int NameOf(SOCKET s, sockaddr* name, int* namelen, bool peer) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (name == nullptr || namelen == nullptr) return Fail(WSAEFAULT);
  if (!peer) {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (!rec->bound) return Fail(WSAEINVAL);
  }
  ::sockaddr_storage addr;
  socklen_t len = sizeof addr;
  int rc = peer ? ::getpeername(rec->fd, reinterpret_cast<::sockaddr*>(&addr), &len)
                : ::getsockname(rec->fd, reinterpret_cast<::sockaddr*>(&addr), &len);
  if (rc != 0) return FailErrno(errno);
  if (int err = AddressFromPosix(reinterpret_cast<::sockaddr*>(&addr), name, namelen)) {
    return Fail(err);
  }
  return 0;
}

}  // namespace

int getsockname(SOCKET s, sockaddr* name, int* namelen) { return NameOf(s, name, namelen, false); }
int getpeername(SOCKET s, sockaddr* name, int* namelen) { return NameOf(s, name, namelen, true); }

int gethostname(char* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return FailErrno(errno);
  size_t n = std::strlen(buffer);
  if (n + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT);
  std::memcpy(name, buffer, n + 1);
  return 0;
}
// ---- select ----

void fd_set::Add(SOCKET s) {
  if (!Contains(s)) fd_array.push_back(s);
}

void fd_set::Remove(SOCKET s) { std::erase(fd_array, s); }

bool fd_set::Contains(SOCKET s) const {
  return std::find(fd_array.begin(), fd_array.end(), s) != fd_array.end();
}

int select(int, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  struct Item {
    SOCKET s;
    std::shared_ptr<SocketRec> rec;
    bool want_read = false, want_write = false, want_except = false;
    bool read = false, write = false, except = false;
    bool ignored = false;  // answered poll with nothing that counts: left out for this call
  };
  std::vector<Item> items;
  auto gather = [&](fd_set* set, bool Item::*want) {
    if (set == nullptr) return true;
    for (SOCKET s : set->fd_array) {
      auto it = std::find_if(items.begin(), items.end(), [s](const Item& i) { return i.s == s; });
      if (it == items.end()) {
        auto rec = Lookup(s);
        if (!rec) return false;
        items.push_back(Item{s, std::move(rec)});
        it = items.end() - 1;
      }
      (*it).*want = true;
    }
    return true;
  };
  if (!gather(readfds, &Item::want_read) || !gather(writefds, &Item::want_write) ||
      !gather(exceptfds, &Item::want_except)) {
    return Fail(WSAENOTSOCK);
  }
  if (items.empty()) return Fail(WSAEINVAL);
  if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(WSAEINVAL);

  const bool finite = timeout != nullptr;
  const ULONGLONG deadline = finite ? GetTickCount64() +
                                          static_cast<ULONGLONG>(timeout->tv_sec) * 1000 +
                                          static_cast<ULONGLONG>(timeout->tv_usec + 999) / 1000
                                    : 0;
  std::vector<pollfd> fds(items.size());
  int ready = 0;
  for (bool first = true;; first = false) {
    bool now = false;
    for (size_t i = 0; i < items.size(); ++i) {
      Item& it = items[i];
      short events = 0;
      std::lock_guard<std::mutex> guard(it.rec->lock);
      switch (it.rec->state) {
        case State::kConnecting:
          events = POLLOUT;
          break;
        case State::kFailed:
          if (it.want_except) now = true;
          break;
        case State::kListening:
          if (it.want_read) events = POLLIN;
          break;
        case State::kFresh:
          if (it.rec->IsStream()) break;  // unconnected streams poll as hung up on Linux
          [[fallthrough]];
        case State::kConnected:
          if (it.want_read) events |= POLLIN | POLLRDHUP;
          if (it.want_write) events |= POLLOUT;
          if (it.want_except) events |= POLLPRI;
          break;
      }
      fds[i] = pollfd{(events == 0 || it.ignored) ? -1 : it.rec->fd, events, 0};
    }
    int wait_ms = -1;
    if (now) {
      wait_ms = 0;
    } else if (finite) {
      ULONGLONG t = GetTickCount64();
      if (t >= deadline && !first) break;
      wait_ms = t >= deadline ? 0 : static_cast<int>(std::min<ULONGLONG>(deadline - t, INT_MAX));
    }
    int n = ::poll(fds.data(), fds.size(), wait_ms);
    if (n < 0 && errno != EINTR) return FailErrno(errno);
    ready = 0;
    for (size_t i = 0; i < items.size(); ++i) {
      Item& it = items[i];
      short r = n > 0 ? fds[i].revents : 0;
      std::lock_guard<std::mutex> guard(it.rec->lock);
      const bool settled = it.rec->state == State::kConnecting && FinishConnect(*it.rec, r);
      switch (it.rec->state) {
        case State::kConnected:
        case State::kFresh:
          it.read = it.want_read && (r & (POLLIN | POLLRDHUP | POLLHUP | POLLERR));
          it.write = it.want_write && (r & POLLOUT);
          it.except = it.want_except && (r & POLLPRI);
          break;
        case State::kListening:
          it.read = it.want_read && (r & POLLIN);
          break;
        case State::kFailed:
          it.except = it.want_except;
          break;
        default:
          break;
      }
      if (r != 0 && !settled && !it.read && !it.write && !it.except &&
          it.rec->state != State::kConnecting) {
        it.ignored = true;
      }
      ready += it.read + it.write + it.except;
    }
    if (ready > 0) break;
    if (finite && wait_ms == 0 && !now) break;
  }
  auto keep = [&](fd_set* set, bool Item::*got) {
    if (set == nullptr) return;
    std::erase_if(set->fd_array, [&](SOCKET s) {
      auto it = std::find_if(items.begin(), items.end(), [s](const Item& i) { return i.s == s; });
      return !((*it).*got);
    });
  };
  keep(readfds, &Item::read);
  keep(writefds, &Item::write);
  keep(exceptfds, &Item::except);
  return ready;
}
u_long inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  ::in_addr a;
  if (::inet_aton(text, &a) == 0) return INADDR_NONE;
  return a.s_addr;
}

char* inet_ntoa(in_addr address) {
  thread_local char buffer[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buffer;
}

int inet_pton(int af, const char* src, void* dst) {
  int family = FamilyToPosix(af);
  if (family <= 0) {
    Fail(WSAEAFNOSUPPORT);
    return -1;
  }
  if (src == nullptr || dst == nullptr) {
    Fail(WSAEFAULT);
    return -1;
  }
  return ::inet_pton(family, src, dst);
}

const char* inet_ntop(int af, const void* src, char* dst, size_t size) {
  int family = FamilyToPosix(af);
  if (family <= 0) {
    Fail(WSAEAFNOSUPPORT);
    return nullptr;
  }
  if (src == nullptr || dst == nullptr) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  const char* r = ::inet_ntop(family, src, dst, static_cast<socklen_t>(size));
  if (r == nullptr) Fail(WSAEINVAL);
  return r;
}

int SocketDescriptor(SOCKET s) {
  auto rec = Lookup(s);
  return rec ? rec->fd : -1;
}

}  // namespace win
