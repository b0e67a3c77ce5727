#include "platform/iphlpapi.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace win {
namespace {

constexpr char kThreadNet[] = "/proc/thread-self/net/";
constexpr char kProcessNet[] = "/proc/net/";
constexpr int kArpFlagComplete = 0x2;
constexpr int kArpTries = 10;
constexpr auto kArpWait = std::chrono::milliseconds(50);
constexpr uint16_t kDiscardPort = 9;

// The kernel table of this thread's network namespace.
FILE* OpenNetTable(const char* name) {
  std::string path = std::string(kThreadNet) + name;
  FILE* f = std::fopen(path.c_str(), "re");
  if (f != nullptr) return f;
  path = std::string(kProcessNet) + name;
  return std::fopen(path.c_str(), "re");
}

// The default route's gateway of an interface (network order), 0 when it has none.
uint32_t DefaultGateway(const char* ifname) {
  FILE* f = OpenNetTable("route");
  if (f == nullptr) return 0;
  char line[512];
  uint32_t gateway = 0;
  std::fgets(line, sizeof line, f);  // header
  while (std::fgets(line, sizeof line, f) != nullptr) {
    char name[IFNAMSIZ + 1];
    unsigned destination = 0, via = 0, flags = 0, mask = 0;
    if (std::sscanf(line, "%16s %x %x %x %*d %*d %*d %x", name, &destination, &via, &flags,
                    &mask) != 5) {
      continue;
    }
    // RTF_UP | RTF_GATEWAY on the default route.
    if (std::strcmp(name, ifname) == 0 && destination == 0 && mask == 0 && (flags & 0x3) == 0x3) {
      gateway = via;  // the table holds addresses in memory order
      break;
    }
  }
  std::fclose(f);
  return gateway;
}

bool LookupNeighbour(IPAddr destination, uint8_t mac[6]) {
  FILE* f = OpenNetTable("arp");
  if (f == nullptr) return false;
  char line[512];
  bool found = false;
  std::fgets(line, sizeof line, f);
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    char ip[64], hw[64];
    unsigned type = 0, flags = 0;
    if (std::sscanf(line, "%63s 0x%x 0x%x %63s", ip, &type, &flags, hw) != 4) continue;
    in_addr a{};
    if (::inet_pton(AF_INET, ip, &a) != 1 || a.s_addr != destination) continue;
    if ((flags & kArpFlagComplete) == 0) continue;
    unsigned m[6];
    if (std::sscanf(hw, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
      continue;
    }
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(m[i]);
    found = true;
  }
  std::fclose(f);
  return found;
}

// An empty datagram to the discard port makes the kernel resolve the neighbour.
void NudgeNeighbour(IPAddr destination, IPAddr source) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (source != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = source;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  to.sin_port = htons(kDiscardPort);
  ::sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
}

void CopyAddress(IP_ADDRESS_STRING* out, uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  if (::inet_ntop(AF_INET, &a, out->String, sizeof out->String) == nullptr) out->String[0] = 0;
}

struct Adapter {
  std::string name;
  uint8_t mac[6] = {};
  int index = 0;
  uint32_t address = 0;
  uint32_t mask = 0;
};

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

}  // namespace

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) {
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return ERROR_GEN_FAILURE;
  std::vector<Adapter> adapters;
  // Link-layer entries first: they name the Ethernet adapters and their MACs.
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    if ((i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    if (ll->sll_halen != 6) continue;
    Adapter a;
    a.name = i->ifa_name;
    std::memcpy(a.mac, ll->sll_addr, 6);
    a.index = ll->sll_ifindex;
    adapters.push_back(a);
  }
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    for (Adapter& a : adapters) {
      if (a.name != i->ifa_name || a.address != 0) continue;
      a.address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
      if (i->ifa_netmask != nullptr) {
        a.mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
      }
    }
  }
  ::freeifaddrs(list);
  std::erase_if(adapters, [](const Adapter& a) { return a.address == 0; });
  if (adapters.empty()) return ERROR_NO_DATA;
  const ULONG needed = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO));
  if (info == nullptr || *size < needed) {
    *size = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  for (size_t k = 0; k < adapters.size(); ++k) {
    const Adapter& a = adapters[k];
    IP_ADAPTER_INFO& out = info[k];
    std::memset(&out, 0, sizeof out);
    out.Next = k + 1 < adapters.size() ? &info[k + 1] : nullptr;
    out.ComboIndex = static_cast<DWORD>(a.index);
    std::snprintf(out.AdapterName, sizeof out.AdapterName, "%s", a.name.c_str());
    std::snprintf(out.Description, sizeof out.Description, "Network adapter '%s'",
                  a.name.c_str());
    out.AddressLength = 6;
    std::memcpy(out.Address, a.mac, 6);
    out.Index = static_cast<DWORD>(a.index);
    out.Type = MIB_IF_TYPE_ETHERNET;
    out.CurrentIpAddress = &out.IpAddressList;
    CopyAddress(&out.IpAddressList.IpAddress, a.address);
    CopyAddress(&out.IpAddressList.IpMask, a.mask);
    CopyAddress(&out.GatewayList.IpAddress, DefaultGateway(a.name.c_str()));
    CopyAddress(&out.GatewayList.IpMask, 0xFFFFFFFFu);
  }
  return 0;
}

DWORD SendARP(IPAddr destination, IPAddr source, void* mac, ULONG* length) {
  if (mac == nullptr || length == nullptr || *length < 6 || destination == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  uint8_t found[6];
  bool ok = LookupNeighbour(destination, found);
  for (int attempt = 0; !ok && attempt < kArpTries; ++attempt) {
    if (attempt == 0) NudgeNeighbour(destination, source);
    std::this_thread::sleep_for(kArpWait);
    ok = LookupNeighbour(destination, found);
  }
  if (!ok) return ERROR_BAD_NET_NAME;
  std::memcpy(mac, found, 6);
  *length = 6;
  return 0;
}

std::span<const ProcEntry> IphlpapiExports() {
  static const ProcEntry exports[] = {
      {"GetAdaptersInfo", Proc(&GetAdaptersInfo)},
      {"SendARP", Proc(&SendARP)},
  };
  return exports;
}

}  // namespace win
