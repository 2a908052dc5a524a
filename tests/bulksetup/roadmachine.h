// The machine of the plugged-in road: the default image with the supported INF staged and the
// printer not yet known to Plug and Play, so that the start-up pass finds nothing to install and
// the printer has to arrive while the program waits.
#pragma once

#include <string>

namespace bulktest {

// The printer's instance ID, as it arrives.
const char kArrivingPrinter[] = "USB\\VID_F0F0&PID_0052\\Q52000123";

// Creates DIR from the default image: the printer's devnode removed (kept as the entry to
// register when it arrives), no timeline, a virtual clock. Returns the printer's devnode as
// machine.json text, absent, with the generic printer driver Windows gave it.
std::string CreateRoadMachine(const std::string& dir);

}  // namespace bulktest
