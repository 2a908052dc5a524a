// The "services" section of machine.json read into its structs and written back: the one place
// that spells its keys.
#include "winsim/model_services.h"

#include "core/modelio.h"

namespace winsim::model {

template <class V>
void Fields(Service& r, V&& v) {
  v("name", r.name), v("displayName", r.displayName), v("state", r.state), v("startMs", r.startMs),
      v("stopMs", r.stopMs), v("acceptsStop", r.acceptsStop), v("startError", r.startError),
      v("dependencies", r.dependencies), v("settlesAt", r.settlesAt), v("type", r.type);
}

std::vector<Service> ServicesOf(const json& machine) {
  return machine.is_object() ? machine.value("services", json::array()).get<std::vector<Service>>()
                             : std::vector<Service>();
}
void SetServices(json& machine, const std::vector<Service>& services) {
  if (machine.contains("services") || !services.empty()) machine["services"] = services;
}

}  // namespace winsim::model
