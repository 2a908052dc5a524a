// Injected faults: the n-th call of a function fails with a given error, as machine.json,
// WINSIM_FAULTS or a test asks.
#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

namespace {

uint32_t ParseNumber(const std::string& s) {
  size_t used = 0;
  unsigned long v = std::stoul(s, &used, 0);
  if (used != s.size()) throw std::invalid_argument(s);
  return static_cast<uint32_t>(v);
}

}  // namespace

// "RegOpenKeyExA#1=5,GetVersionExW#2=0x57" (items separated by ',' or ';')
std::vector<Fault> ParseFaultList(std::string spec, const std::string& source) {
  std::replace(spec.begin(), spec.end(), ';', ',');
  std::vector<Fault> out;
  std::string item;
  std::istringstream in(spec);
  while (std::getline(in, item, ',')) {
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (item.empty()) continue;
    size_t hash = item.find('#'), eq = item.find('=');
    std::string bad = source + ": bad fault '" + item + "', expected FUNCTION#N=ERROR with N >= 1 and ERROR > 0";
    if (hash == 0 || hash == std::string::npos || eq == std::string::npos || eq < hash) throw std::runtime_error(bad);
    Fault f;
    try {
      f = {item.substr(0, hash), ParseNumber(item.substr(hash + 1, eq - hash - 1)), ParseNumber(item.substr(eq + 1))};
    } catch (const std::logic_error&) {  // not a number, or out of range
      throw std::runtime_error(bad);
    }
    // A fault with call 0 never fires and one with error 0 means success: both are typing mistakes.
    if (f.call == 0 || f.error == 0) throw std::runtime_error(bad);
    out.push_back(f);
  }
  return out;
}

void InjectFault(const std::string& function, unsigned nth, uint32_t error) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().faults.push_back({function, nth, error});
}

void ClearFaults() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().faults.clear();
}

}  // namespace winsim
