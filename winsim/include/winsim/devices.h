// What tests and the winsim command use to set up and look at the Plug and Play side of the
// current machine. Product code never includes this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "winsim/model_devices.h"

namespace winsim {

// Registers, unplugged, every device the timeline describes that the machine doesn't know yet: a
// machine where those devices were attached once before.
void RegisterTimelineDevices();

// Plugs in or unplugs a registered device (its `present` flag); plugging in a device the timeline
// describes registers it first. Throws std::runtime_error when the machine has no device with
// that instance ID.
void PlugDevice(const std::string& instanceId);
void UnplugDevice(const std::string& instanceId);

// Registers a device from its machine.json entry, given as JSON text (the fields are those of
// `devices` in examples/machines/README.md). Throws when the text is malformed or the instance ID
// is taken.
void AddDevice(const std::string& deviceJson);

// Installs in progress: COUNT of them, each taking EACH_MS on the machine's clock from now.
void SetPendingInstalls(unsigned count, int64_t eachMs = 5000);
// Pending installs that have not finished at the machine's current time.
unsigned PendingInstalls();

// What a driver install through newdev.dll reports about a restart.
enum class RestartNeed { None, Restart, Reboot };
void SetInstallRestartNeed(RestartNeed need);

// The driver installed on a device, as machine.json records it.
using InstalledDriver = model::DeviceDriver;
// Nothing when the machine has no such device or the device has no driver.
std::optional<InstalledDriver> GetInstalledDriver(const std::string& instanceId);

}  // namespace winsim
