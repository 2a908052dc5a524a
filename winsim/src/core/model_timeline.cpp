// The "timeline" section of machine.json read into its structs and written back: the one place
// that spells its keys, each once, in the field list of its struct; and how an arrival registers
// the device it describes.
#include "winsim/model_timeline.h"

#include <algorithm>

#include "core/machine.h"
#include "core/modelio.h"

namespace winsim::model {

const char kTimelineSection[] = "timeline";

// A device's field list and checks are model_devices.cpp's.
extern template Device Read<Device>(const json&);
extern template json Write<Device>(const Device&);
void Check(const Device& d, bool registered);

bool Fits(const json& v, const Device&) { return !v.is_null(); }  // null describes nothing, kept as written

template <class V>
void Fields(TimelineEvent& r, V&& v) {
  v("afterListeningMs", r.afterListeningMs), v("event", r.event), v("instanceId", r.instanceId),
      v("device", r.device);
}

bool operator==(const TimelineEvent& a, const TimelineEvent& b) { return Write(a) == Write(b); }

std::vector<TimelineEvent> TimelineOf(const json& machine) {
  json list = machine.is_object() ? machine.value(kTimelineSection, json()) : json();
  auto out = list.is_null() ? std::vector<TimelineEvent>() : list.get<std::vector<TimelineEvent>>();
  for (const TimelineEvent& e : out) {
    if (e.event != "arrive" && e.event != "remove") throw std::runtime_error("event must be \"arrive\" or \"remove\"");
    if (e.afterListeningMs.value_or(-1) < 0 || e.instanceId.empty())
      throw std::runtime_error("afterListeningMs must be >= 0 and instanceId given");
    if (e.device) Check(*e.device, false);
  }
  return out;
}
void SetTimeline(json& machine, const std::vector<TimelineEvent>& timeline) {
  if (!timeline.empty() || machine.contains(kTimelineSection)) machine[kTimelineSection] = timeline;
}

Device Described(const TimelineEvent& event, bool present) {
  Device d = event.device.value_or(Device());
  d.instanceId = event.instanceId;
  d.present = present;
  // Registered, the device says whether it is attached, whatever its description left out.
  d.unset.erase(std::remove(d.unset.begin(), d.unset.end(), "present"), d.unset.end());
  return d;
}

Device* RegisterDescribed(std::vector<Device>& devices, const std::vector<TimelineEvent>& timeline, bool present,
                          const std::string& id) {
  bool registered = false;
  for (const TimelineEvent& e : timeline) {
    auto same = [&](const std::string& other) { return SameText(Utf8ToWide(other), Utf8ToWide(e.instanceId)); };
    if (e.device && (id.empty() || same(id)) &&
        std::none_of(devices.begin(), devices.end(), [&](const Device& d) { return same(d.instanceId); }))
      devices.push_back(Described(e, present)), registered = true;
  }
  return registered ? &devices.back() : nullptr;
}

}  // namespace winsim::model
