// Putting a socket component's socket into a traffic-class flow of the platform's QoS library.
#pragma once

#include <cstdint>

#include "foundation/component_base.h"
#include "platform/winsock.h"

namespace tw {

constexpr int kErrQosInit = 307;
constexpr int kErrQosSet = 308;

// The component's QoS state (its handle and flow) and settings.
struct QosFlowState {
  void** handle;
  uint32_t* flow_id;
  int32_t traffic_type;
  int32_t dscp_value;
};

// Moves the flow from old_socket (when given and a flow exists) to new_socket (when given) for
// the destination; nothing at all while both settings are 0. 0, or 307/308 with the owner's
// error text set.
int UpdateQosFlow(ComponentBase& owner, const QosFlowState& state, win::SOCKET old_socket,
                  win::SOCKET new_socket, const win::sockaddr* destination);

}  // namespace tw
