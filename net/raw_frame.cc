#include "net/raw_frame.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/text_conversion.h"
#include "platform/iphlpapi.h"
#include "platform/wpcap.h"
#include "platform/process_tables.h"

namespace tw {
namespace {

constexpr char kWpcapDll[] = "wpcap.dll";
constexpr char kIphlpapiDll[] = "iphlpapi.dll";
constexpr char kTextWpcapLoad[] = "Failed to load library 'wpcap.dll'.";
constexpr char kTextIphlpapiLoad[] = "Failed to load library 'iphlpapi.dll'.";
constexpr char kTextTooLong[] = "The sending data is too long, the max lenght is 1472.";
constexpr char kTextAdapters[] = "Failed to get adapters information with the api 'GetAdaptersInfo'.";
constexpr char kTextArp[] = "Failed to send ARP with the api 'SendARP'.";
constexpr char kTextSend[] = "Failed to send packets with the api 'pcap_sendpacket'.";
constexpr char kTextOpen[] = "Failed to open the device with the api 'pcap_open'.";
constexpr char kTextNoDevice[] = "No network device reaches the destination.";
constexpr char kTextNoRoute[] = "The destination is off-link and the adapter has no gateway.";
constexpr char kNullPointerForm[] =
    "Function pointer for '%s' is null. Maybe failed to load the library '%s'.";
constexpr char kLocalSource[] = "rpcap://";
constexpr win::ULONG kAdapterBufferSize = 31104;
constexpr int kSnapLength = 65536;
constexpr int kOpenTimeoutMillis = 1000;
constexpr size_t kLastErrorSize = 256;

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kVersionAndLength = 0x45;
constexpr uint16_t kIdentification = 27305;
constexpr uint8_t kTtl = 128;
constexpr uint8_t kProtocolUdp = 17;

using FindAllDevsFn = int (*)(const char*, void*, win::pcap_if_t**, char*);
using OpenFn = win::pcap_t* (*)(const char*, int, int, int, void*, char*);
using CloseFn = void (*)(win::pcap_t*);
using SendPacketFn = int (*)(win::pcap_t*, const unsigned char*, int);
using FreeAllDevsFn = void (*)(win::pcap_if_t*);
using LoopFn = int (*)(win::pcap_t*, int, win::pcap_handler, unsigned char*);
using BreakLoopFn = void (*)(win::pcap_t*);
using SendArpFn = win::DWORD (*)(win::IPAddr, win::IPAddr, void*, win::ULONG*);
using GetAdaptersInfoFn = win::DWORD (*)(win::IP_ADAPTER_INFO*, win::ULONG*);

// Process-wide: the libraries, the chosen device and its addresses.
struct RawState {
  std::mutex lock;
  win::HMODULE wpcap = nullptr;
  win::HMODULE iphlpapi = nullptr;
  FindAllDevsFn find_all_devs = nullptr;
  OpenFn open = nullptr;
  CloseFn close = nullptr;
  SendPacketFn send_packet = nullptr;
  FreeAllDevsFn free_all_devs = nullptr;
  LoopFn loop = nullptr;
  BreakLoopFn break_loop = nullptr;
  SendArpFn send_arp = nullptr;
  GetAdaptersInfoFn get_adapters_info = nullptr;

  std::string device;  // empty: none chosen
  uint32_t local_ip = 0;
  uint32_t mask = 0;
  uint32_t gateway = 0;
  uint8_t source_mac[6] = {};
  uint32_t next_hop = 0;
  uint8_t next_hop_mac[6] = {};
  char last_error[kLastErrorSize] = {};
};

RawState& State() {
  static RawState* state = win::KeepProcessTable(new RawState);  // used until the process ends
  return *state;
}

void SetLastText(RawState& s, const char* text) {
  std::memset(s.last_error, 0, sizeof s.last_error);
  std::snprintf(s.last_error, sizeof s.last_error, "%s", text);
}

int Fail(RawState& s, const char* text, ByteString* out) {
  SetLastText(s, text);
  if (out != nullptr) out->SetText(s.last_error);
  return kErrRawFrame;
}

int FailNull(RawState& s, const char* function, const char* dll, ByteString* out) {
  char text[kLastErrorSize];
  std::snprintf(text, sizeof text, kNullPointerForm, function, dll);
  return Fail(s, text, out);
}

template <class F>
void Bind(win::HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(win::GetProcAddress(module, name));
}

int LoadLibraries(RawState& s, ByteString* out) {
  if (s.wpcap == nullptr) {
    s.wpcap = win::LoadLibraryA(kWpcapDll);
    if (s.wpcap == nullptr) return Fail(s, kTextWpcapLoad, out);
    Bind(s.wpcap, "pcap_findalldevs_ex", &s.find_all_devs);
    Bind(s.wpcap, "pcap_open", &s.open);
    Bind(s.wpcap, "pcap_close", &s.close);
    Bind(s.wpcap, "pcap_sendpacket", &s.send_packet);
    Bind(s.wpcap, "pcap_freealldevs", &s.free_all_devs);
    Bind(s.wpcap, "pcap_loop", &s.loop);
    Bind(s.wpcap, "pcap_breakloop", &s.break_loop);
  }
  if (s.iphlpapi == nullptr) {
    s.iphlpapi = win::LoadLibraryA(kIphlpapiDll);
    if (s.iphlpapi == nullptr) return Fail(s, kTextIphlpapiLoad, out);
    Bind(s.iphlpapi, "SendARP", &s.send_arp);
    Bind(s.iphlpapi, "GetAdaptersInfo", &s.get_adapters_info);
  }
  return kOk;
}

uint32_t ParseAddress(const char* text) {
  unsigned a, b, c, d;
  char extra;
  if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 ||
      c > 255 || d > 255) {
    return 0;
  }
  const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                            static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

// On-link destinations are reached directly; only the others go through the gateway.
uint32_t NextHop(uint32_t local, uint32_t mask, uint32_t gateway, uint32_t destination) {
  if (mask != 0 && (local & mask) == (destination & mask)) return destination;
  return gateway;
}

// The device's name ends with the adapter's name after a separator ("rpcap://eth0",
// "rpcap://\Device\NPF_{...}"), so "eth0" does not match "veth0".
bool DeviceIsAdapter(const char* device, const char* adapter) {
  const size_t d = std::strlen(device);
  const size_t a = std::strlen(adapter);
  if (a == 0 || a >= d || std::strcmp(device + d - a, adapter) != 0) return false;
  const char before = device[d - a - 1];
  return before == '/' || before == '\\' || before == '_';
}

int ResolveNextHop(RawState& s, uint32_t hop, ByteString* out) {
  if (s.send_arp == nullptr) return FailNull(s, "SendARP", kIphlpapiDll, out);
  uint8_t mac[8] = {};
  win::ULONG length = sizeof mac;
  if (s.send_arp(hop, s.local_ip, mac, &length) != 0 || length < 6) return Fail(s, kTextArp, out);
  s.next_hop = hop;
  std::memcpy(s.next_hop_mac, mac, 6);
  return kOk;
}

int ChooseDevice(RawState& s, uint32_t destination, ByteString* out) {
  if (s.find_all_devs == nullptr) return FailNull(s, "pcap_findalldevs_ex", kWpcapDll, out);
  if (s.free_all_devs == nullptr) return FailNull(s, "pcap_freealldevs", kWpcapDll, out);
  if (s.get_adapters_info == nullptr) return FailNull(s, "GetAdaptersInfo", kIphlpapiDll, out);
  char errbuf[win::PCAP_ERRBUF_SIZE] = {};
  win::pcap_if_t* devices = nullptr;
  if (s.find_all_devs(kLocalSource, nullptr, &devices, errbuf) != 0) {
    return Fail(s, errbuf[0] != 0 ? errbuf : kTextNoDevice, out);
  }
  win::ULONG size = kAdapterBufferSize;
  std::vector<win::IP_ADAPTER_INFO> adapters(size / sizeof(win::IP_ADAPTER_INFO) + 1);
  size = static_cast<win::ULONG>(adapters.size() * sizeof(win::IP_ADAPTER_INFO));
  win::DWORD rc = s.get_adapters_info(adapters.data(), &size);
  if (rc == win::ERROR_BUFFER_OVERFLOW) {
    adapters.resize(size / sizeof(win::IP_ADAPTER_INFO) + 1);
    size = static_cast<win::ULONG>(adapters.size() * sizeof(win::IP_ADAPTER_INFO));
    rc = s.get_adapters_info(adapters.data(), &size);
  }
  if (rc != 0) {
    s.free_all_devs(devices);
    return Fail(s, kTextAdapters, out);
  }
  int result = Fail(s, kTextNoDevice, out);
  // First the adapters on the destination's own link, then those with a gateway.
  for (int pass = 0; pass < 2 && s.device.empty(); ++pass) {
    for (win::pcap_if_t* d = devices; d != nullptr && s.device.empty(); d = d->next) {
      for (win::IP_ADAPTER_INFO* a = adapters.data(); a != nullptr; a = a->Next) {
        if (d->name == nullptr || !DeviceIsAdapter(d->name, a->AdapterName)) continue;
        const uint32_t local = ParseAddress(a->IpAddressList.IpAddress.String);
        const uint32_t mask = ParseAddress(a->IpAddressList.IpMask.String);
        const uint32_t gateway = ParseAddress(a->GatewayList.IpAddress.String);
        const bool on_link = mask != 0 && (local & mask) == (destination & mask);
        if (pass == 0 ? !on_link : (on_link || gateway == 0)) continue;
        s.local_ip = local;
        s.mask = mask;
        s.gateway = gateway;
        std::memcpy(s.source_mac, a->Address, 6);
        result = ResolveNextHop(s, NextHop(local, mask, gateway, destination), out);
        if (result == kOk) s.device = d->name;
        break;
      }
    }
  }
  s.free_all_devs(devices);
  return result;
}

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint32_t SumWords(const uint8_t* bytes, size_t n, uint32_t sum) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (n % 2 != 0) sum += static_cast<uint32_t>(bytes[n - 1] << 8);
  return sum;
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* bytes, size_t n, uint32_t sum) {
  sum = SumWords(bytes, n, sum);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

int BuildUdpFrame(const RawFrameAddresses& a, const void* payload, int n, ByteString* frame) {
  if (n < 0 || n > kMaxRawPayload || (n > 0 && payload == nullptr)) return kErrRawFrame;
  uint8_t header[kRawHeaderSize] = {};
  std::memcpy(header, a.destination_mac, 6);
  std::memcpy(header + 6, a.source_mac, 6);
  PutU16(header + 12, kEtherTypeIpv4);
  uint8_t* ip = header + 14;
  ip[0] = kVersionAndLength;
  ip[1] = 0;
  PutU16(ip + 2, static_cast<uint16_t>(n + 28));
  PutU16(ip + 4, kIdentification);
  ip[8] = kTtl;
  ip[9] = kProtocolUdp;
  std::memcpy(ip + 12, &a.source_ip, 4);
  std::memcpy(ip + 16, &a.destination_ip, 4);
  PutU16(ip + 10, InternetChecksum(ip, 20));
  uint8_t* udp = ip + 20;
  PutU16(udp, a.source_port);
  PutU16(udp + 2, a.destination_port);
  PutU16(udp + 4, static_cast<uint16_t>(n + 8));
  // Pseudo-header: source, destination, zero, protocol, UDP length.
  uint8_t pseudo[12] = {};
  std::memcpy(pseudo, ip + 12, 8);
  pseudo[9] = kProtocolUdp;
  PutU16(pseudo + 10, static_cast<uint16_t>(n + 8));
  uint32_t sum = SumWords(pseudo, sizeof pseudo, 0);
  sum = SumWords(udp, 8, sum);
  uint16_t check = InternetChecksum(static_cast<const uint8_t*>(payload), static_cast<size_t>(n),
                                    sum);
  if (check == 0) check = 0xFFFF;
  PutU16(udp + 6, check);
  frame->Reset();
  int rc = frame->Append(header, kRawHeaderSize);
  if (rc == kOk && n > 0) rc = frame->Append(payload, n);
  return rc;
}

bool ParseMacText(const char* text, uint8_t mac[6]) {
  if (text == nullptr || std::strlen(text) != 12) return false;
  for (int i = 0; i < 6; ++i) {
    const int byte = HexPairToByte(text + 2 * i);
    if (byte < 0) return false;
    mac[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

int SendRawUdpFrame(const char* source_mac_text, uint32_t source_ip, uint32_t destination_ip,
                    uint16_t source_port, uint16_t destination_port, const void* payload, int n,
                    ByteString* error_text) {
  RawState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  int rc = LoadLibraries(s, error_text);
  if (rc != kOk) return rc;
  if (n > kMaxRawPayload) return Fail(s, kTextTooLong, error_text);
  if (n < 0 || (n > 0 && payload == nullptr)) return Fail(s, kTextTooLong, error_text);
  if (s.device.empty()) {
    rc = ChooseDevice(s, destination_ip, error_text);
    if (rc != kOk) return rc;
  } else {
    const uint32_t hop = NextHop(s.local_ip, s.mask, s.gateway, destination_ip);
    if (hop == 0) return Fail(s, kTextNoRoute, error_text);
    if (hop != s.next_hop) {
      rc = ResolveNextHop(s, hop, error_text);
      if (rc != kOk) return rc;
    }
  }
  if (s.open == nullptr) return FailNull(s, "pcap_open", kWpcapDll, error_text);
  if (s.close == nullptr) return FailNull(s, "pcap_close", kWpcapDll, error_text);
  if (s.send_packet == nullptr) return FailNull(s, "pcap_sendpacket", kWpcapDll, error_text);

  RawFrameAddresses a{};
  std::memcpy(a.destination_mac, s.next_hop_mac, 6);
  if (!ParseMacText(source_mac_text, a.source_mac)) std::memcpy(a.source_mac, s.source_mac, 6);
  a.source_ip = source_ip;
  a.destination_ip = destination_ip;
  a.source_port = source_port;
  a.destination_port = destination_port;
  ByteString frame;
  rc = BuildUdpFrame(a, payload, n, &frame);
  if (rc != kOk) return rc == kErrOutOfMemory ? rc : Fail(s, kTextTooLong, error_text);

  char errbuf[win::PCAP_ERRBUF_SIZE] = {};
  win::pcap_t* p = s.open(s.device.c_str(), kSnapLength, win::PCAP_OPENFLAG_PROMISCUOUS,
                          kOpenTimeoutMillis, nullptr, errbuf);
  if (p == nullptr) return Fail(s, kTextOpen, error_text);
  const int sent = s.send_packet(p, reinterpret_cast<const unsigned char*>(frame.data()),
                                 frame.length());
  s.close(p);
  if (sent != 0) return Fail(s, kTextSend, error_text);
  return kOk;
}

const char* RawFrameLastError() { return State().last_error; }

void ResetRawFrameState() {
  RawState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.wpcap != nullptr) win::FreeLibrary(s.wpcap);
  if (s.iphlpapi != nullptr) win::FreeLibrary(s.iphlpapi);
  s.wpcap = nullptr;
  s.iphlpapi = nullptr;
  s.find_all_devs = nullptr;
  s.open = nullptr;
  s.close = nullptr;
  s.send_packet = nullptr;
  s.free_all_devs = nullptr;
  s.loop = nullptr;
  s.break_loop = nullptr;
  s.send_arp = nullptr;
  s.get_adapters_info = nullptr;
  s.device.clear();
  s.next_hop = 0;
  std::memset(s.last_error, 0, sizeof s.last_error);
}

}  // namespace tw
