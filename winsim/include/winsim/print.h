// What tests use to set up and look at the simulated print spooler and the message boxes a
// program showed. Product code never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// A message box as MessageBoxW was asked to show it (it answers at once, without a person).
struct MessageBoxRecord {
  std::wstring text;
  std::wstring caption;
  uint32_t type = 0;
};
std::vector<MessageBoxRecord> MessageBoxes();

// The state-changing calls of this process in order, one line each, as last-run.json lists them
// under "changes": "DeletePrinter Vexa Q52", "AddMonitor Vexa Q52 Language/Port Monitor", ...
// Other parts of winsim (services) add their own lines to the same list.
std::vector<std::string> Changes();

// Queued print jobs of a printer of the current machine (name compared without regard to case).
// SetPrintJobs returns false when there is no such printer; PrintJobs returns -1 then.
bool SetPrintJobs(const std::wstring& printer, unsigned jobs);
int PrintJobs(const std::wstring& printer);

}  // namespace winsim
