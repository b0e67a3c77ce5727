// Winsock 2.2 over POSIX sockets, with the home platform's names, numbers and semantics.
//
// Constants, option names, address families and error numbers are the home platform's (AF_INET6
// is 23, SOL_SOCKET 0xFFFF, WSAEWOULDBLOCK 10035); the layer translates them. This header must
// therefore not meet the system socket headers in one source file, whose macros use the same
// names: only platform/ sources may include both, system headers first with the clashing macros
// removed.
//
// Socket handles are never reused, so a late notification or call that carries a closed
// socket's number never reaches a newer socket that got the same descriptor. EINTR is retried
// inside every call. Sockets are blocking until FIONBIO or WSAAsyncSelect makes them
// non-blocking. The last error is the thread's (WSAGetLastError == GetLastError).
//
// Names equal to "localhost" or ending in ".localhost" resolve to the loopback address without a
// resolver (RFC 6761), so a local storage emulator is reachable as "account.blob.localhost".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/handle.h"
#include "platform/last_error.h"
#include "platform/window.h"

namespace win {

using u_char = unsigned char;
using u_short = uint16_t;
using u_int = uint32_t;
using u_long = uint32_t;  // 32 bits, as on the home platform
using SOCKET = uintptr_t;

constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;

constexpr WORD MAKEWORD(unsigned low, unsigned high) {
  return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}
constexpr unsigned LOBYTE(WORD w) { return w & 0xFF; }
constexpr unsigned HIBYTE(WORD w) { return (w >> 8) & 0xFF; }

// ---- byte order ----
constexpr u_short htons(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }
constexpr u_short ntohs(u_short v) { return htons(v); }
constexpr u_long htonl(u_long v) { return __builtin_bswap32(v); }
constexpr u_long ntohl(u_long v) { return __builtin_bswap32(v); }

// ---- families, types, protocols ----
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr int PF_INET = AF_INET;
constexpr int PF_INET6 = AF_INET6;

constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;

constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_ICMP = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int IPPROTO_IPV6 = 41;

// ---- options ----
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_DONTLINGER = ~SO_LINGER;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_SNDLOWAT = 0x1003;
constexpr int SO_RCVLOWAT = 0x1004;
constexpr int SO_SNDTIMEO = 0x1005;  // DWORD milliseconds, 0 = none
constexpr int SO_RCVTIMEO = 0x1006;
constexpr int SO_ERROR = 0x1007;  // the pending error, in Winsock numbers; reading clears it
constexpr int SO_TYPE = 0x1008;

constexpr int TCP_NODELAY = 0x0001;
constexpr int TCP_KEEPALIVE = 3;  // seconds of idle time before the first probe
constexpr int TCP_KEEPCNT = 16;
constexpr int TCP_KEEPINTVL = 17;

constexpr int IP_OPTIONS = 1;
constexpr int IP_HDRINCL = 2;
constexpr int IP_TOS = 3;
constexpr int IP_TTL = 4;
constexpr int IP_MULTICAST_IF = 9;
constexpr int IP_MULTICAST_TTL = 10;
constexpr int IP_MULTICAST_LOOP = 11;
constexpr int IP_DONTFRAGMENT = 14;
constexpr int IP_PKTINFO = 19;

constexpr int IPV6_UNICAST_HOPS = 4;
constexpr int IPV6_PKTINFO = 19;
constexpr int IPV6_V6ONLY = 27;
constexpr int IPV6_TCLASS = 39;

// The socket buffer sizes the components ask for by default. Setting SO_RCVBUF or SO_SNDBUF to
// 0 or to its default is accepted without touching the socket, so the kernel's autotuning stays
// on; getsockopt then reports the value asked for.
constexpr int kDefaultReceiveBuffer = 1048576;
constexpr int kDefaultSendBuffer = 262144;

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

struct timeval {
  long tv_sec;
  long tv_usec;
};

// ---- flags ----
constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;
constexpr int MSG_DONTROUTE = 0x4;
constexpr int MSG_WAITALL = 0x8;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

constexpr int SOMAXCONN = 0x7FFFFFFF;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667Eu);
constexpr DWORD SIO_KEEPALIVE_VALS = 0x98000004u;

struct tcp_keepalive {
  u_long onoff;
  u_long keepalivetime;      // ms
  u_long keepaliveinterval;  // ms
};

// ---- WSAAsyncSelect events ----
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;  // accepted in a mask, never posted (the components read OOB inline)
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr LPARAM WSAMAKESELECTREPLY(unsigned event, unsigned error) {
  return static_cast<LPARAM>(((error & 0xFFFF) << 16) | (event & 0xFFFF));
}
constexpr unsigned WSAGETSELECTEVENT(LPARAM l) { return static_cast<unsigned>(l) & 0xFFFF; }
constexpr unsigned WSAGETSELECTERROR(LPARAM l) { return (static_cast<unsigned>(l) >> 16) & 0xFFFF; }

// ---- addresses ----
struct in_addr {
  u_long s_addr;  // network order
};

struct in6_addr {
  u_char s6_addr[16];
};

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;  // network order
  in_addr sin_addr;
  char sin_zero[8];
};

struct sockaddr_in6 {
  short sin6_family;
  u_short sin6_port;
  u_long sin6_flowinfo;
  in6_addr sin6_addr;
  u_long sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28);

struct sockaddr_storage {
  short ss_family;
  char ss_pad[126];
};

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_LOOPBACK = 0x7F000001;  // host order, as on the home platform
constexpr u_long INADDR_BROADCAST = 0xFFFFFFFF;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;

// ---- name resolution ----
struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};
using ADDRINFOA = addrinfo;

constexpr int AI_PASSIVE = 0x01;
constexpr int AI_CANONNAME = 0x02;
constexpr int AI_NUMERICHOST = 0x04;
constexpr int AI_NUMERICSERV = 0x08;
constexpr int AI_ALL = 0x0100;
constexpr int AI_ADDRCONFIG = 0x0400;
constexpr int AI_V4MAPPED = 0x0800;

constexpr int NI_NOFQDN = 0x01;
constexpr int NI_NUMERICHOST = 0x02;
constexpr int NI_NAMEREQD = 0x04;
constexpr int NI_NUMERICSERV = 0x08;
constexpr int NI_DGRAM = 0x10;
constexpr int NI_MAXHOST = 1025;
constexpr int NI_MAXSERV = 32;

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

// ---- errors ----
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// ---- start-up ----
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
};

// Returns 0 or the error itself (10092 for a version below 1.1). Versions above 2.2 get 2.2.
// Until a first successful call, sockets and name resolution fail with WSANOTINITIALISED.
int WSAStartup(WORD version_requested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// Winsock 1.1 blocking hooks: nothing blocks that way here.
BOOL WSAIsBlocking();
int WSACancelBlockingCall();  // SOCKET_ERROR with WSAEOPNOTSUPP, as in Winsock 2

// ---- sockets ----
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);  // WSAEINVAL when the socket is not bound
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// A non-blocking connect gives WSAEWOULDBLOCK, also when the refusal is known at once: the result
// then comes as FD_CONNECT or through select's exception set.
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);  // never raises SIGPIPE
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
// A datagram longer than the buffer fills it and fails with WSAEMSGSIZE.
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);  // FIONBIO, FIONREAD
int WSAIoctl(SOCKET s, DWORD code, void* in, DWORD in_len, void* out, DWORD out_len,
             DWORD* bytes_returned, void* overlapped, void* completion);  // SIO_KEEPALIVE_VALS,
             // SIO_GET_EXTENSION_FUNCTION_POINTER
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int gethostname(char* name, int namelen);

// ---- notifications ----
// Makes the socket non-blocking and posts `message` (wParam the socket, lParam
// WSAMAKESELECTREPLY(event, error)) to the window, with Winsock's re-enabling rules:
//  - FD_CONNECT once when a connect completes (error from SO_ERROR); after a success one FD_WRITE;
//  - FD_READ when data is readable, then not again until the next recv or recvfrom;
//  - FD_WRITE at first, then only after a send hit WSAEWOULDBLOCK, once writable again;
//  - FD_CLOSE once on hang-up or error, after the readable data was taken (0, 10053 or 10054);
//  - FD_ACCEPT when a connection waits, then not again until the next accept.
// A socket accepted from a registered one inherits its registration. A mask of 0 unregisters
// (the socket stays non-blocking). closesocket unregisters and drops the queued notifications.
// The notifications are produced while the window's thread peeks or waits for messages.
int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events);

// A set of sockets for select, without a size limit.
struct fd_set {
  std::vector<SOCKET> fd_array;

  u_int fd_count() const { return static_cast<u_int>(fd_array.size()); }
  void Add(SOCKET s);
  void Remove(SOCKET s);
  bool Contains(SOCKET s) const;
  void Clear() { fd_array.clear(); }
};

// Over poll(). Readable: data, a waiting connection, or the end of the stream; writable: a
// completed connect or room to send; exception: a failed non-blocking connect. Each set keeps
// only its ready sockets; the result is their total count. nfds is ignored; a null timeout
// waits without limit. WSAEINVAL when all sets are empty, WSAENOTSOCK for an unknown socket.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);

// ---- name resolution ----
// Results are allocated by the layer and released by freeaddrinfo. Errors are returned (and set
// as the last error): 11001 no such name, 11002 try again, 11003 non-recoverable, 11004 no address
// of the family, 10047 unsupported family, 10022 bad flags, 10109 unknown service.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* list);
int getnameinfo(const sockaddr* addr, int addrlen, char* host, DWORD hostlen, char* serv,
                DWORD servlen, int flags);
// Results live in thread-local storage until the thread's next call.
hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);
u_long inet_addr(const char* text);  // network order; INADDR_NONE when not an address
char* inet_ntoa(in_addr address);
int inet_pton(int af, const char* src, void* dst);  // 1, 0 for a malformed text, -1 bad family
const char* inet_ntop(int af, const void* src, char* dst, size_t size);

// ---- message calls with control data (packet information) ----
// Obtained, as on the home platform, through WSAIoctl(SIO_GET_EXTENSION_FUNCTION_POINTER) with
// the extension's identifier as input and a function pointer as output.
constexpr DWORD SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006u;

// Laid out as a GUID.
struct WSAEXTENSIONID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
inline constexpr WSAEXTENSIONID WSAID_WSARECVMSG = {
    0xf689d7c8, 0x6f1f, 0x436b, {0x8a, 0x53, 0xe5, 0x4f, 0xe3, 0x51, 0xc3, 0x22}};
inline constexpr WSAEXTENSIONID WSAID_WSASENDMSG = {
    0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}};

struct WSABUF {
  u_long len;
  char* buf;
};

struct WSAMSG {
  sockaddr* name;
  int namelen;
  WSABUF* lpBuffers;
  DWORD dwBufferCount;
  WSABUF Control;
  DWORD dwFlags;
};

struct WSACMSGHDR {
  size_t cmsg_len;  // header and data, without the trailing alignment
  int cmsg_level;
  int cmsg_type;
};

constexpr size_t WSA_CMSGHDR_ALIGN(size_t n) {
  return (n + alignof(WSACMSGHDR) - 1) & ~(alignof(WSACMSGHDR) - 1);
}
constexpr size_t WSA_CMSG_LEN(size_t n) { return WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR)) + n; }
constexpr size_t WSA_CMSG_SPACE(size_t n) {
  return WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR) + WSA_CMSGHDR_ALIGN(n));
}
inline WSACMSGHDR* WSA_CMSG_FIRSTHDR(const WSAMSG* msg) {
  return msg->Control.len >= sizeof(WSACMSGHDR) ? reinterpret_cast<WSACMSGHDR*>(msg->Control.buf)
                                                : nullptr;
}
inline WSACMSGHDR* WSA_CMSG_NXTHDR(const WSAMSG* msg, const WSACMSGHDR* c) {
  if (c == nullptr) return WSA_CMSG_FIRSTHDR(msg);
  const char* next = reinterpret_cast<const char*>(c) + WSA_CMSGHDR_ALIGN(c->cmsg_len);
  const char* end = msg->Control.buf + msg->Control.len;
  if (next + sizeof(WSACMSGHDR) > end) return nullptr;
  return reinterpret_cast<WSACMSGHDR*>(const_cast<char*>(next));
}
inline unsigned char* WSA_CMSG_DATA(WSACMSGHDR* c) {
  return reinterpret_cast<unsigned char*>(c) + WSA_CMSGHDR_ALIGN(sizeof(WSACMSGHDR));
}

struct in_pktinfo {
  in_addr ipi_addr;  // received: the destination; sent: the source to use
  u_long ipi_ifindex;
};
struct in6_pktinfo {
  in6_addr ipi6_addr;
  u_long ipi6_ifindex;
};

// WSARecvMsg: one datagram into the buffers, its source into name and the packet information
// into Control (Control.len becomes the length used); dwFlags reports MSG_TRUNC/MSG_CTRUNC.
using LPFN_WSARECVMSG = int (*)(SOCKET s, WSAMSG* msg, DWORD* bytes_received, void* overlapped,
                                void* completion);
// WSASendMsg: one datagram to name; an IP_PKTINFO or IPV6_PKTINFO block chooses the source.
using LPFN_WSASENDMSG = int (*)(SOCKET s, WSAMSG* msg, DWORD flags, DWORD* bytes_sent,
                                void* overlapped, void* completion);
constexpr DWORD MSG_TRUNC = 0x0100;
constexpr DWORD MSG_CTRUNC = 0x0200;

// ---- for other units of this layer ----
// The descriptor behind a socket (-1 when the socket is not open), for options that only the
// POSIX side has (SO_PRIORITY). The descriptor stays owned by the socket.
int SocketDescriptor(SOCKET s);

}  // namespace win
