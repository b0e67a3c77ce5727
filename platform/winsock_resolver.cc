// Name resolution: getaddrinfo and its relatives over the system resolver, with the reserved
// names answered here.
#include "platform/winsock_internal.h"  // first: it takes the system socket headers' macros away

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/winsock.h"

namespace win {
using namespace sockets;
namespace {

constexpr char kLoopback4[] = "127.0.0.1";
constexpr char kLoopback6[] = "::1";
constexpr char kLocalhost[] = "localhost";

struct EaiToWsa {
  int eai;
  int wsa;
};

constexpr EaiToWsa kResolverErrors[] = {
    {EAI_NONAME, WSAHOST_NOT_FOUND},    {EAI_AGAIN, WSATRY_AGAIN},
    {EAI_FAIL, WSANO_RECOVERY},         {EAI_NODATA, WSANO_DATA},
    {EAI_ADDRFAMILY, WSANO_DATA},       {EAI_FAMILY, WSAEAFNOSUPPORT},
    {EAI_SOCKTYPE, WSAESOCKTNOSUPPORT}, {EAI_BADFLAGS, WSAEINVAL},
    {EAI_SERVICE, WSATYPE_NOT_FOUND},   {EAI_MEMORY, kNotEnoughMemory},
    {EAI_OVERFLOW, WSAEFAULT},
};

int WsaFromEai(int eai, int saved_errno) {
  if (eai == EAI_SYSTEM) return WsaFromErrno(saved_errno);
  for (const auto& m : kResolverErrors) {
    if (m.eai == eai) return m.wsa;
  }
  return WSANO_RECOVERY;
}

// True for the name `domain` itself and every name under it (a trailing dot and case ignored).
bool InSpecialDomain(const char* node, std::string_view domain) {
  std::string name(node);
  if (!name.empty() && name.back() == '.') name.pop_back();
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name == domain) return true;
  return name.size() > domain.size() + 1 &&
         name.compare(name.size() - domain.size(), domain.size(), domain) == 0 &&
         name[name.size() - domain.size() - 1] == '.';
}

// Reserved names (RFC 6761) are answered here and never reach the system resolver:
// "localhost" and its subdomains are loopback, "invalid" and its subdomains never exist.
bool IsLocalhostName(const char* node) { return InSpecialDomain(node, kLocalhost); }
bool IsInvalidName(const char* node) { return InSpecialDomain(node, "invalid"); }

// One node of a result list: the address lives beside its addrinfo.
struct ResultNode {
  addrinfo info;
  sockaddr_storage address;
};
static_assert(std::is_standard_layout_v<ResultNode>);

// Appends the POSIX results to the list's tail. 0 or a Winsock error.
int AppendResults(const ::addrinfo* list, addrinfo*** tail) {
  for (const ::addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_addr == nullptr || AddressSize(p->ai_addr) == 0) continue;
    auto* node = new (std::nothrow) ResultNode{};
    if (node == nullptr) return kNotEnoughMemory;
    int len = sizeof node->address;
    AddressFromPosix(p->ai_addr, reinterpret_cast<sockaddr*>(&node->address), &len);
    node->info.ai_flags = 0;
    node->info.ai_family = FamilyFromPosix(p->ai_family);
    node->info.ai_socktype = p->ai_socktype;
    node->info.ai_protocol = p->ai_protocol;
    node->info.ai_addrlen = static_cast<size_t>(len);
    node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->address);
    **tail = &node->info;
    *tail = &node->info.ai_next;
  }
  return 0;
}

int TranslateHints(const addrinfo* hints, ::addrinfo* out) {
  std::memset(out, 0, sizeof *out);
  if (hints == nullptr) return 0;
  int family = FamilyToPosix(hints->ai_family);
  if (family < 0) return WSAEAFNOSUPPORT;
  if (hints->ai_socktype < 0 || hints->ai_socktype > SOCK_RAW) return WSAESOCKTNOSUPPORT;
  struct FlagMap {
    int win;
    int posix;
  };
  static constexpr FlagMap kFlags[] = {
      {AI_PASSIVE, px::kAiPassive},
      {AI_CANONNAME, px::kAiCanonName},
      {AI_NUMERICHOST, px::kAiNumericHost},
      {AI_NUMERICSERV, px::kAiNumericServ},
      {AI_ALL, px::kAiAll},
      {AI_ADDRCONFIG, px::kAiAddrConfig},
      {AI_V4MAPPED, px::kAiV4Mapped},
  };
  int flags = hints->ai_flags;
  for (const auto& f : kFlags) {
    if (flags & f.win) {
      out->ai_flags |= f.posix;
      flags &= ~f.win;
    }
  }
  if (flags != 0) return WSAEINVAL;
  out->ai_family = family;
  out->ai_socktype = hints->ai_socktype;
  out->ai_protocol = hints->ai_protocol;
  return 0;
}

int ReturnResolverError(int wsa) {
  SetLastError(static_cast<DWORD>(wsa));
  return wsa;
}

// Loopback answers for "localhost" and "*.localhost": IPv4 first, so a server listening on
// 127.0.0.1 is the one reached.
int ResolveLocalhost(const char* service, const ::addrinfo& hints, addrinfo*** tail) {
  const bool v4 = hints.ai_family == px::kAfUnspec || hints.ai_family == px::kAfInet;
  const bool v6 = hints.ai_family == px::kAfUnspec || hints.ai_family == px::kAfInet6;
  int produced = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if ((pass == 0 && !v4) || (pass == 1 && !v6)) continue;
    ::addrinfo h = hints;
    h.ai_family = pass == 0 ? px::kAfInet : px::kAfInet6;
    h.ai_flags = (h.ai_flags & (px::kAiPassive | px::kAiNumericServ)) | px::kAiNumericHost;
    ::addrinfo* list = nullptr;
    int rc = ::getaddrinfo(pass == 0 ? kLoopback4 : kLoopback6, service, &h, &list);
    if (rc != 0) {
      int saved = errno;
      if (rc == EAI_SERVICE || rc == EAI_SOCKTYPE) return WsaFromEai(rc, saved);
      continue;
    }
    int err = AppendResults(list, tail);
    ::freeaddrinfo(list);
    if (err != 0) return err;
    ++produced;
  }
  return produced > 0 ? 0 : WSAHOST_NOT_FOUND;
}

struct HostStorage {
  hostent entry{};
  std::string name;
  std::vector<std::array<char, 16>> addresses;
  std::vector<char*> address_list;
  char* no_aliases[1] = {nullptr};
};

thread_local HostStorage tls_host;

hostent* FillHost(const std::string& name, short family, short length,
                  const std::vector<std::array<char, 16>>& addresses) {
  HostStorage& h = tls_host;
  h.name = name;
  h.addresses = addresses;
  h.address_list.clear();
  for (auto& a : h.addresses) h.address_list.push_back(a.data());
  h.address_list.push_back(nullptr);
  h.entry.h_name = h.name.data();
  h.entry.h_aliases = h.no_aliases;
  h.entry.h_addrtype = family;
  h.entry.h_length = length;
  h.entry.h_addr_list = h.address_list.data();
  return &h.entry;
}

}  // namespace

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (result == nullptr) return ReturnResolverError(WSAEINVAL);
  *result = nullptr;
  if (!Started()) return ReturnResolverError(WSANOTINITIALISED);
  if (node == nullptr && service == nullptr) return ReturnResolverError(WSAHOST_NOT_FOUND);
  ::addrinfo h;
  if (int err = TranslateHints(hints, &h)) return ReturnResolverError(err);

  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  int err = 0;
  if (node != nullptr && IsInvalidName(node)) {
    err = WSAHOST_NOT_FOUND;
  } else if (node != nullptr && IsLocalhostName(node)) {
    err =
        (h.ai_flags & px::kAiNumericHost) ? WSAHOST_NOT_FOUND : ResolveLocalhost(service, h, &tail);
  } else {
    ::addrinfo* list = nullptr;
    int rc = ::getaddrinfo(node, service, &h, &list);
    if (rc != 0) {
      err = WsaFromEai(rc, errno);
    } else {
      err = AppendResults(list, &tail);
      if (err == 0 && head != nullptr && list->ai_canonname != nullptr) {
        head->ai_canonname = ::strdup(list->ai_canonname);
      }
      ::freeaddrinfo(list);
    }
  }
  if (err == 0 && head == nullptr) err = WSANO_DATA;
  if (err == 0 && node != nullptr && (h.ai_flags & px::kAiCanonName) &&
      head->ai_canonname == nullptr) {
    head->ai_canonname = ::strdup(node);
  }
  if (err != 0) {
    freeaddrinfo(head);
    return ReturnResolverError(err);
  }
  *result = head;
  return 0;
}

void freeaddrinfo(addrinfo* list) {
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    std::free(list->ai_canonname);
    delete reinterpret_cast<ResultNode*>(list);
    list = next;
  }
}

int getnameinfo(const sockaddr* addr, int addrlen, char* host, DWORD hostlen, char* serv,
                DWORD servlen, int flags) {
  if (!Started()) return ReturnResolverError(WSANOTINITIALISED);
  ::sockaddr_storage p;
  socklen_t len;
  if (int err = AddressToPosix(addr, addrlen, &p, &len)) return ReturnResolverError(err);
  struct FlagMap {
    int win;
    int posix;
  };
  static constexpr FlagMap kFlags[] = {
      {NI_NOFQDN, px::kNiNoFqdn},     {NI_NUMERICHOST, px::kNiNumericHost},
      {NI_NAMEREQD, px::kNiNameReqd}, {NI_NUMERICSERV, px::kNiNumericServ},
      {NI_DGRAM, px::kNiDgram},
  };
  int f = 0;
  int rest = flags;
  for (const auto& m : kFlags) {
    if (rest & m.win) {
      f |= m.posix;
      rest &= ~m.win;
    }
  }
  if (rest != 0) return ReturnResolverError(WSAEINVAL);
  if (host == nullptr && serv == nullptr) return ReturnResolverError(WSAHOST_NOT_FOUND);
  int rc = ::getnameinfo(reinterpret_cast<::sockaddr*>(&p), len, host, host ? hostlen : 0, serv,
                         serv ? servlen : 0, f);
  if (rc != 0) return ReturnResolverError(WsaFromEai(rc, errno));
  return 0;
}

hostent* gethostbyname(const char* name) {
  if (!Started()) {
    Fail(WSANOTINITIALISED);
    return nullptr;
  }
  char local[256];
  if (name == nullptr) {
    if (gethostname(local, sizeof local) != 0) return nullptr;
    name = local;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  if (int err = getaddrinfo(name, nullptr, &hints, &list)) {
    Fail(err);
    return nullptr;
  }
  std::vector<std::array<char, 16>> addresses;
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    std::array<char, 16> a{};
    std::memcpy(a.data(), &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr, 4);
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  }
  std::string canonical = list->ai_canonname ? list->ai_canonname : name;
  freeaddrinfo(list);
  return FillHost(canonical, AF_INET, 4, addresses);
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
  if (!Started()) {
    Fail(WSANOTINITIALISED);
    return nullptr;
  }
  if (addr == nullptr) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  sockaddr_storage storage{};
  int size;
  if (type == AF_INET && len >= 4) {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, addr, 4);
    size = sizeof(sockaddr_in);
  } else if (type == AF_INET6 && len >= 16) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, addr, 16);
    size = sizeof(sockaddr_in6);
  } else {
    Fail(type == AF_INET || type == AF_INET6 ? WSAEFAULT : WSAEAFNOSUPPORT);
    return nullptr;
  }
  char host[NI_MAXHOST];
  if (int err = getnameinfo(reinterpret_cast<sockaddr*>(&storage), size, host, sizeof host, nullptr,
                            0, NI_NAMEREQD)) {
    Fail(err);
    return nullptr;
  }
  std::array<char, 16> a{};
  std::memcpy(a.data(), addr, type == AF_INET ? 4 : 16);
  return FillHost(host, static_cast<short>(type), static_cast<short>(type == AF_INET ? 4 : 16),
                  {a});
}

}  // namespace win
