// Adapter information and ARP (the platform's IP helper library) over getifaddrs and the
// kernel's route and neighbour tables.
//
// The tables are read from /proc/thread-self/net, so a thread that entered another network
// namespace sees that namespace's adapters and routes.
#pragma once

#include <cstdint>
#include <span>

#include "platform/library.h"

namespace win {

using IPAddr = uint32_t;  // network order
using ULONG = uint32_t;

constexpr DWORD ERROR_BAD_NET_NAME = 67;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr int MAX_ADAPTER_NAME_LENGTH = 256;
constexpr int MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr int MAX_ADAPTER_ADDRESS_LENGTH = 8;
constexpr unsigned MIB_IF_TYPE_ETHERNET = 6;

struct IP_ADDRESS_STRING {
  char String[16];
};

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_ADDRESS_STRING IpMask;
  DWORD Context;
};

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  unsigned AddressLength;
  uint8_t Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  unsigned Type;
  unsigned DhcpEnabled;
  IP_ADDR_STRING* CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
};

// The Ethernet adapters with an IPv4 address: NO_ERROR (0), ERROR_BUFFER_OVERFLOW with the size
// needed in *size, ERROR_NO_DATA when there is none, ERROR_INVALID_PARAMETER.
DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size);
// The MAC of an on-link neighbour from the neighbour table, asking the kernel to resolve it
// first when it is not there. NO_ERROR, ERROR_BAD_NET_NAME when it does not answer.
DWORD SendARP(IPAddr destination, IPAddr source, void* mac, ULONG* length);

std::span<const ProcEntry> IphlpapiExports();

}  // namespace win
