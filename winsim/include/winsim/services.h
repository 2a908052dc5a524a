// What tests use to set up and look at the services of the current machine, as machine.json's
// "services" section holds them. Product code never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

struct ServiceConfig {
  std::string name;
  std::string displayName;  // the name when empty
  // "stopped", "start-pending", "stop-pending", "running", "continue-pending", "pause-pending",
  // "paused". A pending state set here ends after the configured time, counted from the first look.
  std::string state = "stopped";
  int64_t startMs = 0;  // how long a start takes; negative: the service never gets there
  int64_t stopMs = 0;   // how long a stop takes; negative: the service never gets there
  bool acceptsStop = true;   // false: ControlService(STOP) fails with ERROR_INVALID_SERVICE_CONTROL
  uint32_t startError = 0;   // non-zero: StartServiceW fails with this error
  std::vector<std::string> dependencies;
};

// Adds the service, or replaces the one of that name.
void SetService(const ServiceConfig& service);
// The service as it is now (any transition brought up to the clock); false when there is none.
bool GetService(const std::string& name, ServiceConfig& out);
// The service's state name now, "" when there is no such service.
std::string ServiceStateName(const std::string& name);
// The services started and stopped in this process, in order: "StopService Spooler", ...
std::vector<std::string> ServiceChanges();

}  // namespace winsim
