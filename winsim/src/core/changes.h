// The ordered list of state-changing calls of a run (spooler objects added or deleted, services
// stopped or started), kept in the run report so that tests and last-run.json show the order.
#pragma once

#include <string>

#include "core/machine.h"

namespace winsim {

inline void RecordChange(Machine& m, const std::string& line) {
  json& list = m.runReport["changes"];
  if (!list.is_array()) list = json::array();
  list.push_back(line);
}

}  // namespace winsim
