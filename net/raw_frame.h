// Whole Ethernet/IPv4/UDP frames sent through the platform's packet capture library, for
// datagrams that must carry a chosen source MAC or source IP address. The adapter that reaches
// the destination and the next hop's MAC come from the platform's adapter and ARP calls.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrRawFrame = 118;
constexpr int kMaxRawPayload = 1472;
constexpr int kRawHeaderSize = 42;

// Addresses of one frame; IPv4 addresses in network order, ports in host order.
struct RawFrameAddresses {
  uint8_t destination_mac[6];
  uint8_t source_mac[6];
  uint32_t source_ip;
  uint32_t destination_ip;
  uint16_t source_port;
  uint16_t destination_port;
};

// The RFC 791 / RFC 768 sum: the ones' complement of the ones' complement sum of 16-bit words,
// starting from `sum` (a running value of earlier parts).
uint16_t InternetChecksum(const uint8_t* bytes, size_t n, uint32_t sum = 0);

// The frame for n payload bytes (n at most kMaxRawPayload): 0, or 200.
int BuildUdpFrame(const RawFrameAddresses& a, const void* payload, int n, ByteString* frame);

// "" or 12 hexadecimal digits ("1" and other texts: the adapter's own MAC is used).
bool ParseMacText(const char* text, uint8_t mac[6]);

// Sends the datagram as a raw frame: source_mac_text as the port's SourceMACAddress, source_ip
// 0 when not set. 0, or kErrRawFrame with *error_text set (the process-wide last error text).
int SendRawUdpFrame(const char* source_mac_text, uint32_t source_ip, uint32_t destination_ip,
                    uint16_t source_port, uint16_t destination_port, const void* payload, int n,
                    ByteString* error_text);

// The last raw-frame error text of the process.
const char* RawFrameLastError();

// Forgets the chosen device and the libraries' entry points (tests switch libraries off and on).
void ResetRawFrameState();

}  // namespace tw
