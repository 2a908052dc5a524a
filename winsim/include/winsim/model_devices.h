// The "devices" section of machine.json as structs: the Plug and Play devices winsim's SetupDi,
// Configuration Manager and newdev calls work on, and what tests register and look at. The list
// is in the order the enumeration returns it; a device's devnode number is its position, from 1.
#pragma once

#include <cstdint>
#include <optional>

#include "winsim/model.h"

namespace winsim::model {

// A text or a list of texts, written back in the form it came in.
struct Texts {
  std::vector<std::string> items;
  bool one = false;  // a single text
};

// The driver installed on a device.
struct DeviceDriver : Kept {
  std::string inf;  // a bare name for an INF in C:\WINDOWS\inf, else the full path
  std::string section, provider, manufacturer, description;
  std::string hardwareId;  // the ID of the INF's models line the driver was chosen by
  std::string date;        // "2008-03-14"
  std::string version;     // "2.5.0.3"
  uint32_t rank = 0;
};

struct Device : Kept {
  std::string instanceId, parent;
  bool present = false;
  std::string setupClass, classGuid;  // the GUID of a well-known class may be left out
  std::vector<std::string> hardwareIds, compatibleIds;  // best first
  Texts interfaceClass;  // device interface class GUIDs
  // The other registry properties by name: a text, a list of texts or a number.
  nlohmann::json properties = nlohmann::json::object();
  std::optional<DeviceDriver> driver;  // none: absent, or null in the file
};

extern const char kDevicesSection[];  // its key in machine.json
// The section of a whole machine.json (none reads as no devices), and back. A value of the wrong
// type, anywhere in a device, is an error naming its key.
std::vector<Device> DevicesOf(const nlohmann::json& machine);
void SetDevices(nlohmann::json& machine, const std::vector<Device>& devices);
// One entry of the section, and back.
Device DeviceOf(const nlohmann::json& entry);
nlohmann::json EntryOf(const Device& device);

}  // namespace winsim::model
