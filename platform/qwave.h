// Traffic classes (the platform's quality-of-service library) over socket options.
//
// A QoS handle keeps the flows made through it. Adding a socket to a flow gives it the traffic
// type's priority (SO_PRIORITY) and the type's DSCP (IP_TOS or IPV6_TCLASS); setting the flow's
// outgoing DSCP overrides the latter; removing the socket restores both to 0.
#pragma once

#include <cstdint>
#include <span>

#include "platform/library.h"
#include "platform/winsock.h"

namespace win {

struct QOS_VERSION {
  uint16_t MajorVersion;
  uint16_t MinorVersion;
};

// QOS_TRAFFIC_TYPE
constexpr int QOSTrafficTypeBestEffort = 0;
constexpr int QOSTrafficTypeBackground = 1;
constexpr int QOSTrafficTypeExcellentEffort = 2;
constexpr int QOSTrafficTypeAudioVideo = 3;
constexpr int QOSTrafficTypeVoice = 4;
constexpr int QOSTrafficTypeControl = 5;

constexpr DWORD QOS_NON_ADAPTIVE_FLOW = 0x00000002;
constexpr int QOSSetOutgoingDSCPValue = 2;  // QOS_SET_FLOW operation

constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_REVISION_MISMATCH = 1306;

BOOL QOSCreateHandle(const QOS_VERSION* version, HANDLE* handle);
BOOL QOSCloseHandle(HANDLE handle);
// flow_id in: 0 for a new flow, or an existing flow of this handle to join.
BOOL QOSAddSocketToFlow(HANDLE handle, SOCKET s, const sockaddr* destination, int traffic_type,
                        DWORD flags, uint32_t* flow_id);
BOOL QOSRemoveSocketFromFlow(HANDLE handle, SOCKET s, uint32_t flow_id, DWORD flags);
BOOL QOSSetFlow(HANDLE handle, uint32_t flow_id, int operation, uint32_t size, const void* buffer,
                DWORD flags, void* overlapped);

// The stand-in's entry points for the library loader.
std::span<const ProcEntry> QwaveExports();

}  // namespace win
