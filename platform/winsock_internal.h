// What the Winsock units share: the system socket headers with their clashing macros captured in
// `px` and removed, the socket table and the address and error translations.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace px {
constexpr int kAfUnspec = AF_UNSPEC;
constexpr int kAfInet = AF_INET;
constexpr int kAfInet6 = AF_INET6;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoDebug = SO_DEBUG;
constexpr int kSoAcceptConn = SO_ACCEPTCONN;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoKeepAlive = SO_KEEPALIVE;
constexpr int kSoDontRoute = SO_DONTROUTE;
constexpr int kSoBroadcast = SO_BROADCAST;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoOobInline = SO_OOBINLINE;
constexpr int kSoSndBuf = SO_SNDBUF;
constexpr int kSoRcvBuf = SO_RCVBUF;
constexpr int kSoSndLowat = SO_SNDLOWAT;
constexpr int kSoRcvLowat = SO_RCVLOWAT;
constexpr int kSoSndTimeo = SO_SNDTIMEO;
constexpr int kSoRcvTimeo = SO_RCVTIMEO;
constexpr int kSoError = SO_ERROR;
constexpr int kSoType = SO_TYPE;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kTcpKeepCnt = TCP_KEEPCNT;
constexpr int kTcpKeepIntvl = TCP_KEEPINTVL;
constexpr int kIpOptions = IP_OPTIONS;
constexpr int kIpHdrIncl = IP_HDRINCL;
constexpr int kIpTos = IP_TOS;
constexpr int kIpTtl = IP_TTL;
constexpr int kIpMulticastIf = IP_MULTICAST_IF;
constexpr int kIpMulticastTtl = IP_MULTICAST_TTL;
constexpr int kIpMulticastLoop = IP_MULTICAST_LOOP;
constexpr int kIpPktInfo = IP_PKTINFO;
constexpr int kIpv6PktInfo = IPV6_PKTINFO;
constexpr int kIpv6UnicastHops = IPV6_UNICAST_HOPS;
constexpr int kIpv6V6Only = IPV6_V6ONLY;
constexpr int kIpv6TClass = IPV6_TCLASS;
constexpr int kAiPassive = AI_PASSIVE;
constexpr int kAiCanonName = AI_CANONNAME;
constexpr int kAiNumericHost = AI_NUMERICHOST;
constexpr int kAiNumericServ = AI_NUMERICSERV;
constexpr int kAiAll = AI_ALL;
constexpr int kAiAddrConfig = AI_ADDRCONFIG;
constexpr int kAiV4Mapped = AI_V4MAPPED;
constexpr int kNiNoFqdn = NI_NOFQDN;
constexpr int kNiNumericHost = NI_NUMERICHOST;
constexpr int kNiNameReqd = NI_NAMEREQD;
constexpr int kNiNumericServ = NI_NUMERICSERV;
constexpr int kNiDgram = NI_DGRAM;
constexpr unsigned long kFionRead = FIONREAD;
}  // namespace px

#undef AF_UNSPEC
#undef AF_INET
#undef AF_INET6
#undef PF_INET
#undef PF_INET6
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_SNDLOWAT
#undef SO_RCVLOWAT
#undef SO_SNDTIMEO
#undef SO_RCVTIMEO
#undef SO_ERROR
#undef SO_TYPE
#undef SOMAXCONN
#undef TCP_NODELAY
#undef TCP_KEEPCNT
#undef TCP_KEEPINTVL
#undef IP_OPTIONS
#undef IP_HDRINCL
#undef IP_TOS
#undef IP_TTL
#undef IP_MULTICAST_IF
#undef IP_MULTICAST_TTL
#undef IP_MULTICAST_LOOP
#undef IP_PKTINFO
#undef IPV6_UNICAST_HOPS
#undef IPV6_PKTINFO
#undef IPV6_V6ONLY
#undef IPV6_TCLASS
#undef AI_PASSIVE
#undef AI_CANONNAME
#undef AI_NUMERICHOST
#undef AI_NUMERICSERV
#undef AI_ALL
#undef AI_ADDRCONFIG
#undef AI_V4MAPPED
#undef NI_NOFQDN
#undef NI_NUMERICHOST
#undef NI_NAMEREQD
#undef NI_NUMERICSERV
#undef NI_DGRAM
#undef NI_MAXHOST
#undef NI_MAXSERV
#undef INADDR_ANY
#undef INADDR_LOOPBACK
#undef INADDR_BROADCAST
#undef INADDR_NONE
#undef FIONREAD
#undef FIONBIO
#undef s6_addr
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include <memory>
#include <mutex>

#include "platform/winsock.h"

namespace win {
namespace sockets {

using internal::MessageQueue;

constexpr int kNotEnoughMemory = 8;  // WSA_NOT_ENOUGH_MEMORY

int WsaFromErrno(int err);
int Fail(int wsa);
int FailErrno(int err);

enum class State { kFresh, kConnecting, kConnected, kListening, kFailed };

class SocketWatcher;

struct SocketRec {
  SocketRec(SOCKET s, int descriptor, int af, int socket_type)
      : id(s), fd(descriptor), family(af), type(socket_type) {}
  ~SocketRec() { ::close(fd); }
  SocketRec(const SocketRec&) = delete;
  SocketRec& operator=(const SocketRec&) = delete;

  bool IsStream() const { return type == SOCK_STREAM; }

  const SOCKET id;
  const int fd;  // closed with the last holder, so a call in flight never meets a reused number
  const int family;
  const int type;

  std::mutex lock;
  State state = State::kFresh;
  bool bound = false;
  bool nonblocking = false;
  bool closed = false;
  bool shut_send = false;
  DWORD send_timeout = 0;  // as set: the kernel rounds it to its clock tick
  DWORD receive_timeout = 0;
  int send_buffer_asked = 0;
  int receive_buffer_asked = 0;
  int pending_so_error = 0;      // Winsock number the next SO_ERROR query reports
  int pending_recv_errno = 0;    // an error the notifier took from the socket, for the next recv
  int close_error = 0;           // what FD_CLOSE carries
  bool connect_pending = false;  // a non-blocking connect whose FD_CONNECT is still owed
  int connect_errno = 0;

  // WSAAsyncSelect registration.
  std::shared_ptr<SocketWatcher> watcher;
  std::weak_ptr<MessageQueue> queue;
  HWND window = nullptr;
  UINT message = 0;
  long mask = 0;
  HWND last_window = nullptr;  // the last registration, whose queued messages closesocket drops
  UINT last_message = 0;
  bool read_enabled = true;
  bool write_enabled = true;
  bool accept_enabled = true;
  bool read_done = false;  // the end of the stream was seen
  bool close_sent = false;
  bool quiet = false;  // polled ready but nothing to report: left out until re-armed
};

bool Started();
// The socket's record, or null with WSAENOTSOCK.
std::shared_ptr<SocketRec> Lookup(SOCKET s);
bool SetNonBlocking(int fd, bool on);
int TakeSocketErrno(int fd);

int FamilyToPosix(int af);
int FamilyFromPosix(int af);
// Home-platform address -> POSIX address. 0 or a Winsock error.
int AddressToPosix(const sockaddr* name, int namelen, ::sockaddr_storage* out, socklen_t* outlen);
// The size a POSIX address takes in the home platform's form; 0 for an unknown family.
int AddressSize(const ::sockaddr* p);
// POSIX address -> home-platform address into a buffer of *namelen bytes. 0 or a Winsock error.
int AddressFromPosix(const ::sockaddr* p, sockaddr* name, int* namelen);

}  // namespace sockets
}  // namespace win
