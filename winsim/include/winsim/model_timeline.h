// The "timeline" section of machine.json as structs: the device arrivals and removals that come
// after a program starts listening, and the one way a device plugged in for the first time is
// registered from the description its arrival carries.
#pragma once

#include "winsim/model_devices.h"

namespace winsim::model {

struct TimelineEvent : Kept {
  std::optional<int64_t> afterListeningMs;  // from the program's first RegisterDeviceNotificationW
  std::string event;                         // "arrive" or "remove"
  std::string instanceId;
  std::optional<Device> device;  // an arrival's description of a device the machine may not know yet
};
bool operator==(const TimelineEvent& a, const TimelineEvent& b);  // as they would be written

extern const char kTimelineSection[];  // its key in machine.json
// The section of a whole machine.json (none reads as empty), and back. An event that is neither
// "arrive" nor "remove", or without a time or instance ID, is an error.
std::vector<TimelineEvent> TimelineOf(const nlohmann::json& machine);
void SetTimeline(nlohmann::json& machine, const std::vector<TimelineEvent>& timeline);

// The device EVENT describes as Plug and Play registers it, under the event's instance ID.
Device Described(const TimelineEvent& event, bool present);
// Registers (appends to DEVICES) each device the timeline describes that DEVICES doesn't have,
// or only the one with instance ID ID when one is given; IDs are compared without regard to case.
// Returns the last one registered, or null.
Device* RegisterDescribed(std::vector<Device>& devices, const std::vector<TimelineEvent>& timeline, bool present,
                          const std::string& id = std::string());

}  // namespace winsim::model
