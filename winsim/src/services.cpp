// The machine's services.
#include "services.h"

#include <strings.h>

namespace winsim {

DWORD ServiceState(Machine& m, const std::string& name) {
  static const char* const kStates[] = {"", "stopped", "start-pending", "stop-pending", "running",
                                        "continue-pending", "pause-pending", "paused"};
  if (!m.doc.contains("services")) return 0;
  for (const json& s : m.doc["services"]) {
    if (strcasecmp(s.value("name", "").c_str(), name.c_str()) != 0) continue;
    std::string state = s.value("state", "stopped");
    for (DWORD i = 1; i < sizeof kStates / sizeof kStates[0]; ++i)
      if (state == kStates[i]) return i;
    return 0;
  }
  return 0;
}

}  // namespace winsim
