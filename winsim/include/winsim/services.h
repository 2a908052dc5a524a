// What tests use to set up and look at the services of the current machine, as machine.json's
// "services" section holds them. Product code never includes this header.
#pragma once

#include <string>
#include <vector>

#include "winsim/model_services.h"

namespace winsim {

// A pending state set here ends after the configured time, counted from the first look; an
// empty display name is the name.
using ServiceConfig = model::Service;

// Adds the service, or replaces the one of that name.
void SetService(const ServiceConfig& service);
// The service as it is now (any transition brought up to the clock); false when there is none.
bool GetService(const std::string& name, ServiceConfig& out);
// The service's state name now, "" when there is no such service.
std::string ServiceStateName(const std::string& name);
// The services started and stopped in this process, in order: "StopService Spooler", ...
std::vector<std::string> ServiceChanges();

}  // namespace winsim
