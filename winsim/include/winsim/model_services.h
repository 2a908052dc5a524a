// The "services" section of machine.json as structs: what the Service Control Manager works on
// and what tests set up and look at, in the order the services are listed.
#pragma once

#include <cstdint>
#include <optional>

#include "winsim/model.h"

namespace winsim::model {

struct Service : Kept {
  std::string name;
  std::string displayName;  // the name when a test control sets it empty
  // "stopped", "start-pending", "stop-pending", "running", "continue-pending", "pause-pending",
  // "paused"; a name winsim does not know reads as stopped.
  std::string state = "stopped";
  int64_t startMs = 0;  // how long a start (and a continue) takes; negative: it never ends
  int64_t stopMs = 0;   // how long a stop (and a pause) takes; negative: it never ends
  bool acceptsStop = true;  // false: a stop control fails with ERROR_INVALID_SERVICE_CONTROL
  uint32_t startError = 0;  // non-zero: StartServiceW fails with this error
  std::vector<std::string> dependencies;
  std::optional<std::string> settlesAt;  // while a transition runs: when it ends
  std::optional<uint32_t> type;          // SERVICE_WIN32_OWN_PROCESS when absent
};

// The section of a whole machine.json (none reads as no services), and back; a machine that had
// no section and has no services keeps none.
std::vector<Service> ServicesOf(const nlohmann::json& machine);
void SetServices(nlohmann::json& machine, const std::vector<Service>& services);

}  // namespace winsim::model
