// The "devices" section of machine.json read into its structs and written back: the one place
// that spells its keys, each once, in the field list of its struct. Every field a call reads is
// checked here, so that a malformed device stops the load rather than a call.
#include "winsim/model_devices.h"

#include "core/modelio.h"
#include "core/pnp.h"

namespace winsim::model {

const char kDevicesSection[] = "devices";

void to_json(json& j, const Texts& t) { j = t.one && t.items.size() == 1 ? json(t.items.front()) : json(t.items); }
void from_json(const json& j, Texts& t) {
  t.one = j.is_string();
  if (t.one) t.items = {j.get<std::string>()};
  else if (io::IsTextList(j)) t.items = j.get<std::vector<std::string>>();
  else throw std::runtime_error("must be a text or a list of texts");
}

bool Fits(const json& v, const DeviceDriver&) { return !v.is_null(); }  // null: no driver, kept as written

template <class V>
void Fields(DeviceDriver& r, V&& v) {
  v("inf", r.inf), v("section", r.section), v("provider", r.provider), v("manufacturer", r.manufacturer),
      v("description", r.description), v("hardwareId", r.hardwareId), v("date", r.date), v("version", r.version),
      v("rank", r.rank);
}
template <class V>
void Fields(Device& r, V&& v) {
  v("instanceId", r.instanceId), v("parent", r.parent), v("present", r.present), v("class", r.setupClass),
      v("classGuid", r.classGuid), v("hardwareIds", r.hardwareIds), v("compatibleIds", r.compatibleIds),
      v("interfaceClass", r.interfaceClass), v("properties", r.properties), v("driver", r.driver);
}

template Device Read<Device>(const json&);
template json Write<Device>(const Device&);

void Check(const Device& d, bool registered) {
  GUID g;
  if (registered && d.instanceId.empty()) throw std::runtime_error("a device without instanceId");
  if (!d.classGuid.empty() && !pnp::ParseGuid(Utf8ToWide(d.classGuid), g))
    throw std::runtime_error("classGuid of " + d.instanceId + " is not a GUID");
  if (!d.properties.is_object()) throw std::runtime_error("properties: type must be object");
  for (auto& [name, v] : d.properties.items())
    if (!v.is_string() && !v.is_number_unsigned() && !io::IsTextList(v))
      throw std::runtime_error("property " + name + " must be a string, a list of strings or a number");
}

std::vector<Device> DevicesOf(const json& machine) {
  json list = machine.is_object() ? machine.value(kDevicesSection, json()) : json();
  auto out = list.is_null() ? std::vector<Device>() : list.get<std::vector<Device>>();
  for (const Device& d : out) Check(d, true);
  return out;
}
void SetDevices(json& machine, const std::vector<Device>& devices) {
  if (!devices.empty() || machine.contains(kDevicesSection)) machine[kDevicesSection] = devices;
}

Device DeviceOf(const json& entry) {
  Device d = Read<Device>(entry);
  Check(d, true);
  return d;
}
json EntryOf(const Device& device) { return Write(device); }

}  // namespace winsim::model
