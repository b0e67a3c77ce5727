#include "net/qos_flow.h"

#include "net/name_resolution.h"
#include "platform/qwave.h"

namespace tw {
namespace {

constexpr char kTextInit[] = "Could not initialize the QOS/QWave subsystem (error ";
constexpr char kTextAdd[] = "Could not set QOS parameters on socket (error ";
constexpr char kTextDscp[] = "Could not set QOS DSCP Value on socket (error ";
constexpr char kTextClose[] = ").";
constexpr win::QOS_VERSION kQosVersion = {1, 0};

int Fail(ComponentBase& owner, int code, const char* text) {
  owner.SetErrorTextNum(text, static_cast<int>(win::GetLastError()), kTextClose);
  owner.set_error_code(code);
  return code;
}

}  // namespace

int UpdateQosFlow(ComponentBase& owner, const QosFlowState& state, win::SOCKET old_socket,
                  win::SOCKET new_socket, const win::sockaddr* destination) {
  if (state.traffic_type == 0 && state.dscp_value == 0) return kOk;
  const NetEntryPoints& e = NetEntries();
  if (*state.handle == nullptr) {
    if (e.QOSCreateHandle == nullptr) {
      win::SetLastError(win::ERROR_PROC_NOT_FOUND);
      return Fail(owner, kErrQosInit, kTextInit);
    }
    win::HANDLE handle = nullptr;
    if (!e.QOSCreateHandle(&kQosVersion, &handle)) return Fail(owner, kErrQosInit, kTextInit);
    *state.handle = handle;
  }
  if (old_socket != win::INVALID_SOCKET && *state.flow_id != 0) {
    if (e.QOSRemoveSocketFromFlow != nullptr) {
      e.QOSRemoveSocketFromFlow(*state.handle, old_socket, *state.flow_id, 0);
    }
    *state.flow_id = 0;
  }
  if (new_socket == win::INVALID_SOCKET) return kOk;
  uint32_t flow = 0;
  if (e.QOSAddSocketToFlow == nullptr) win::SetLastError(win::ERROR_PROC_NOT_FOUND);
  if (e.QOSAddSocketToFlow == nullptr ||
      !e.QOSAddSocketToFlow(*state.handle, new_socket, destination, state.traffic_type,
                            win::QOS_NON_ADAPTIVE_FLOW, &flow)) {
    *state.flow_id = 0;
    return Fail(owner, kErrQosSet, kTextAdd);
  }
  *state.flow_id = flow;
  if (state.dscp_value != 0) {
    const uint32_t dscp = static_cast<uint32_t>(state.dscp_value);
    if (e.QOSSetFlow == nullptr) win::SetLastError(win::ERROR_PROC_NOT_FOUND);
    if (e.QOSSetFlow == nullptr ||
        !e.QOSSetFlow(*state.handle, flow, win::QOSSetOutgoingDSCPValue, sizeof dscp, &dscp, 0,
                      nullptr)) {
      return Fail(owner, kErrQosSet, kTextDscp);
    }
  }
  return kOk;
}

}  // namespace tw
