#include "platform/qwave.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/handle.h"

// The system socket header cannot meet platform/winsock.h; SO_PRIORITY is the one option set on
// the descriptor directly, with Linux's numbers.
extern "C" int setsockopt(int fd, int level, int name, const void* value, unsigned len) noexcept;

namespace win {
namespace {

constexpr int kLinuxSolSocket = 1;
constexpr int kLinuxSoPriority = 12;

// Per traffic type: the kernel's queueing priority and the DSCP the home platform marks with.
struct TrafficClass {
  int priority;
  int dscp;
};
constexpr TrafficClass kTrafficClasses[] = {
    {0, 0},   // BestEffort
    {1, 8},   // Background (CS1)
    {5, 40},  // ExcellentEffort (CS5)
    {5, 40},  // AudioVideo (CS5)
    {6, 56},  // Voice (CS7)
    {7, 56},  // Control (CS7)
};

struct Flow {
  std::vector<SOCKET> sockets;
  int traffic_type = 0;
};

class QosObject : public KernelObject {
 public:
  std::mutex lock;
  std::map<uint32_t, Flow> flows;
  uint32_t next_flow = 1;
};

std::shared_ptr<QosObject> Find(HANDLE handle) { return LookupHandleAs<QosObject>(handle); }

// The traffic-class byte of the socket's family: IP_TOS for IPv4, IPV6_TCLASS for IPv6.
bool SetDscp(SOCKET s, int dscp) {
  int family = 0;
  sockaddr_storage local{};
  int len = sizeof local;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0) family = local.ss_family;
  const int value = dscp << 2;
  if (family == AF_INET6) {
    return setsockopt(s, IPPROTO_IPV6, IPV6_TCLASS, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
  }
  return setsockopt(s, IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0;
}

bool SetPriority(SOCKET s, int priority) {
  const int fd = SocketDescriptor(s);
  if (fd < 0) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  if (::setsockopt(fd, kLinuxSolSocket, kLinuxSoPriority, &priority, sizeof priority) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

}  // namespace

BOOL QOSCreateHandle(const QOS_VERSION* version, HANDLE* handle) {
  if (version == nullptr || handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (version->MajorVersion != 1 || version->MinorVersion != 0) {
    SetLastError(ERROR_REVISION_MISMATCH);
    return FALSE;
  }
  *handle = RegisterHandle(std::make_shared<QosObject>());
  return TRUE;
}

BOOL QOSCloseHandle(HANDLE handle) {
  auto qos = Find(handle);
  if (!qos) return FALSE;
  {
    std::lock_guard<std::mutex> guard(qos->lock);
    for (auto& [id, flow] : qos->flows) {
      for (SOCKET s : flow.sockets) {
        SetPriority(s, 0);
        SetDscp(s, 0);
      }
    }
    qos->flows.clear();
  }
  return CloseHandle(handle);
}

BOOL QOSAddSocketToFlow(HANDLE handle, SOCKET s, const sockaddr* destination, int traffic_type,
                        DWORD flags, uint32_t* flow_id) {
  auto qos = Find(handle);
  if (!qos) return FALSE;
  if (flow_id == nullptr || traffic_type < 0 ||
      traffic_type >= static_cast<int>(std::size(kTrafficClasses)) ||
      (flags & ~QOS_NON_ADAPTIVE_FLOW) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // An adaptive flow needs the peer's destination to probe; a connected socket has one.
  if (destination == nullptr && (flags & QOS_NON_ADAPTIVE_FLOW) == 0) {
    sockaddr_storage peer{};
    int len = sizeof peer;
    if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  const TrafficClass& tc = kTrafficClasses[traffic_type];
  if (!SetPriority(s, tc.priority)) return FALSE;
  if (!SetDscp(s, tc.dscp)) {
    SetPriority(s, 0);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(qos->lock);
  uint32_t id = *flow_id;
  if (id == 0) {
    id = qos->next_flow++;
  } else if (qos->flows.count(id) == 0) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  Flow& flow = qos->flows[id];
  flow.traffic_type = traffic_type;
  flow.sockets.push_back(s);
  *flow_id = id;
  return TRUE;
}

BOOL QOSRemoveSocketFromFlow(HANDLE handle, SOCKET s, uint32_t flow_id, DWORD flags) {
  auto qos = Find(handle);
  if (!qos) return FALSE;
  std::lock_guard<std::mutex> guard(qos->lock);
  auto it = qos->flows.find(flow_id);
  if (it == qos->flows.end()) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  std::vector<SOCKET>& sockets = it->second.sockets;
  if (s == INVALID_SOCKET || s == 0) {
    for (SOCKET each : sockets) {
      SetPriority(each, 0);
      SetDscp(each, 0);
    }
    sockets.clear();
  } else {
    bool found = false;
    for (size_t i = 0; i < sockets.size(); ++i) {
      if (sockets[i] != s) continue;
      sockets.erase(sockets.begin() + static_cast<std::ptrdiff_t>(i));
      found = true;
      break;
    }
    if (!found) {
      SetLastError(ERROR_NOT_FOUND);
      return FALSE;
    }
    SetPriority(s, 0);
    SetDscp(s, 0);
  }
  if (sockets.empty()) qos->flows.erase(it);
  return TRUE;
}

BOOL QOSSetFlow(HANDLE handle, uint32_t flow_id, int operation, uint32_t size, const void* buffer,
                DWORD flags, void* overlapped) {
  auto qos = Find(handle);
  if (!qos) return FALSE;
  if (overlapped != nullptr || flags != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (operation != QOSSetOutgoingDSCPValue) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  uint32_t dscp = 0;
  if (buffer == nullptr || size != sizeof dscp) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(&dscp, buffer, sizeof dscp);
  if (dscp > 63) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(qos->lock);
  auto it = qos->flows.find(flow_id);
  if (it == qos->flows.end()) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  for (SOCKET s : it->second.sockets) {
    if (!SetDscp(s, static_cast<int>(dscp))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  return TRUE;
}

std::span<const ProcEntry> QwaveExports() {
  static const ProcEntry exports[] = {
      {"QOSCreateHandle", Proc(&QOSCreateHandle)},
      {"QOSCloseHandle", Proc(&QOSCloseHandle)},
      {"QOSAddSocketToFlow", Proc(&QOSAddSocketToFlow)},
      {"QOSRemoveSocketFromFlow", Proc(&QOSRemoveSocketFromFlow)},
      {"QOSSetFlow", Proc(&QOSSetFlow)},
  };
  return exports;
}

}  // namespace win
