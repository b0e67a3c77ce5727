#include "platform/wpcap.h"

#include <dlfcn.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace win {
namespace {

constexpr char kLibpcap[] = "libpcap.so.0.8";
constexpr size_t kPrefixLength = sizeof PCAP_SRC_IF_STRING - 1;

struct Libpcap {
  void* dl = nullptr;
  pcap_t* (*open_live)(const char*, int, int, int, char*) = nullptr;
  void (*close)(pcap_t*) = nullptr;
  int (*sendpacket)(pcap_t*, const unsigned char*, int) = nullptr;
  int (*loop)(pcap_t*, int, pcap_handler, unsigned char*) = nullptr;
  void (*breakloop)(pcap_t*) = nullptr;
};

template <class F>
bool Bind(void* dl, const char* name, F* out) {
  *out = reinterpret_cast<F>(::dlsym(dl, name));
  return *out != nullptr;
}

// Loaded once and kept: libpcap keeps process-wide state of its own.
const Libpcap* Load() {
  static std::mutex lock;
  static Libpcap lib;
  static bool tried = false;
  std::lock_guard<std::mutex> guard(lock);
  if (!tried) {
    tried = true;
    void* dl = ::dlopen(kLibpcap, RTLD_NOW | RTLD_LOCAL);
    if (dl != nullptr) {
      Libpcap l;
      l.dl = dl;
      if (Bind(dl, "pcap_open_live", &l.open_live) && Bind(dl, "pcap_close", &l.close) &&
          Bind(dl, "pcap_sendpacket", &l.sendpacket) && Bind(dl, "pcap_loop", &l.loop) &&
          Bind(dl, "pcap_breakloop", &l.breakloop)) {
        lib = l;
      } else {
        ::dlclose(dl);
      }
    }
  }
  return lib.dl != nullptr ? &lib : nullptr;
}

void SetError(char* errbuf, const char* text) {
  if (errbuf != nullptr) std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", text);
}

char* CopyText(const char* a, const char* b) {
  const size_t n = std::strlen(a) + std::strlen(b) + 1;
  char* out = static_cast<char*>(std::malloc(n));
  if (out != nullptr) std::snprintf(out, n, "%s%s", a, b);
  return out;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

}  // namespace

int pcap_findalldevs_ex(const char* source, void* auth, pcap_if_t** alldevs, char* errbuf) {
  if (alldevs == nullptr) return -1;
  *alldevs = nullptr;
  if (source == nullptr || std::strncmp(source, PCAP_SRC_IF_STRING, kPrefixLength) != 0 ||
      source[kPrefixLength] != '\0') {
    SetError(errbuf, "Only the local capture source is available.");
    return -1;
  }
  if (Load() == nullptr) {
    SetError(errbuf, "The capture library is not installed.");
    return -1;
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    SetError(errbuf, "The interfaces could not be listed.");
    return -1;
  }
  pcap_if_t** tail = alldevs;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    if ((i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    auto* dev = static_cast<pcap_if_t*>(std::calloc(1, sizeof(pcap_if_t)));
    if (dev == nullptr) break;
    dev->name = CopyText(PCAP_SRC_IF_STRING, i->ifa_name);
    dev->description = CopyText("Network adapter ", i->ifa_name);
    dev->flags = (i->ifa_flags & IFF_UP) != 0 ? 0x2 : 0;
    *tail = dev;
    tail = &dev->next;
    if (dev->name == nullptr || dev->description == nullptr) break;
  }
  ::freeifaddrs(list);
  return 0;
}

void pcap_freealldevs(pcap_if_t* alldevs) {
  while (alldevs != nullptr) {
    pcap_if_t* next = alldevs->next;
    std::free(alldevs->name);
    std::free(alldevs->description);
    std::free(alldevs);
    alldevs = next;
  }
}

pcap_t* pcap_open(const char* source, int snaplen, int flags, int read_timeout, void* auth,
                  char* errbuf) {
  const Libpcap* lib = Load();
  if (lib == nullptr) {
    SetError(errbuf, "The capture library is not installed.");
    return nullptr;
  }
  if (source == nullptr) {
    SetError(errbuf, "No source given.");
    return nullptr;
  }
  if (std::strncmp(source, PCAP_SRC_IF_STRING, kPrefixLength) == 0) source += kPrefixLength;
  char buffer[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = lib->open_live(source, snaplen, (flags & PCAP_OPENFLAG_PROMISCUOUS) != 0 ? 1 : 0,
                             read_timeout, buffer);
  if (p == nullptr) SetError(errbuf, buffer);
  return p;
}

void pcap_close(pcap_t* p) {
  const Libpcap* lib = Load();
  if (lib != nullptr && p != nullptr) lib->close(p);
}

int pcap_sendpacket(pcap_t* p, const unsigned char* bytes, int size) {
  const Libpcap* lib = Load();
  if (lib == nullptr || p == nullptr) return -1;
  return lib->sendpacket(p, bytes, size) == 0 ? 0 : -1;
}

int pcap_loop(pcap_t* p, int count, pcap_handler callback, unsigned char* user) {
  const Libpcap* lib = Load();
  if (lib == nullptr || p == nullptr) return -1;
  return lib->loop(p, count, callback, user);
}

void pcap_breakloop(pcap_t* p) {
  const Libpcap* lib = Load();
  if (lib != nullptr && p != nullptr) lib->breakloop(p);
}

std::span<const ProcEntry> WpcapExports() {
  static const ProcEntry exports[] = {
      {"pcap_findalldevs_ex", Proc(&pcap_findalldevs_ex)},
      {"pcap_open", Proc(&pcap_open)},
      {"pcap_close", Proc(&pcap_close)},
      {"pcap_sendpacket", Proc(&pcap_sendpacket)},
      {"pcap_freealldevs", Proc(&pcap_freealldevs)},
      {"pcap_loop", Proc(&pcap_loop)},
      {"pcap_breakloop", Proc(&pcap_breakloop)},
  };
  if (Load() == nullptr) return {};
  return exports;
}

}  // namespace win
