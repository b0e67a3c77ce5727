// Packet capture (the platform's wpcap library) over the system's libpcap, loaded at run time.
//
// Loading "wpcap.dll" opens libpcap.so.0.8; when that is missing the library is missing. The
// device list names each interface "rpcap://" followed by its name, as the home platform's local
// capture source does; pcap_open takes such a name (or a bare interface name).
#pragma once

#include <cstdint>
#include <span>

#include "platform/library.h"

namespace win {

constexpr int PCAP_ERRBUF_SIZE = 256;
constexpr int PCAP_OPENFLAG_PROMISCUOUS = 1;
constexpr char PCAP_SRC_IF_STRING[] = "rpcap://";

struct pcap;  // the library's own handle
using pcap_t = pcap;
struct pcap_addr;

struct pcap_if {
  pcap_if* next;
  char* name;
  char* description;
  pcap_addr* addresses;
  uint32_t flags;
};
using pcap_if_t = pcap_if;

struct pcap_pkthdr {
  struct {
    long tv_sec;
    long tv_usec;
  } ts;
  uint32_t caplen;
  uint32_t len;
};
using pcap_handler = void (*)(unsigned char* user, const pcap_pkthdr* header,
                              const unsigned char* bytes);

// The interfaces that carry Ethernet frames (loopback excluded). 0, or -1 with errbuf set.
int pcap_findalldevs_ex(const char* source, void* auth, pcap_if_t** alldevs, char* errbuf);
void pcap_freealldevs(pcap_if_t* alldevs);
pcap_t* pcap_open(const char* source, int snaplen, int flags, int read_timeout, void* auth,
                  char* errbuf);
void pcap_close(pcap_t* p);
int pcap_sendpacket(pcap_t* p, const unsigned char* bytes, int size);
int pcap_loop(pcap_t* p, int count, pcap_handler callback, unsigned char* user);
void pcap_breakloop(pcap_t* p);

// The entry points when libpcap could be loaded, else an empty table (the library is missing).
std::span<const ProcEntry> WpcapExports();

}  // namespace win
