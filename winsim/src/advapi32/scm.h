// The machine's services, as the other API families see them.
#pragma once

#include <string>

#include "core/machine.h"

namespace winsim {

// The service's current state (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7), with any transition in
// progress brought up to the machine's clock; 0 when the machine has no such service.
DWORD ServiceState(Machine& m, const std::string& name);

}  // namespace winsim
