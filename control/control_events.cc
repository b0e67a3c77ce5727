// The events of _ICobalinEvents.
#include "control/control_object.h"

namespace tw {

void ControlObject::SetCodePage(int code_page) {  }
int ControlObject::Fire(int event, std::span<void* const> args) { return 0; }

}  // namespace tw
