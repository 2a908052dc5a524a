// The "infs" section of machine.json read into its structs and written back: the one place that
// spells its keys.
#include "winsim/model_infs.h"

#include "core/modelio.h"

namespace winsim::model {

template <class V>
void Fields(Inf& r, V&& v) {
  v("name", r.name), v("originalName", r.originalName), v("originalCatalog", r.originalCatalog);
}

std::vector<Inf> InfsOf(const json& machine) {
  return machine.is_object() ? machine.value("infs", json::array()).get<std::vector<Inf>>() : std::vector<Inf>();
}
void SetInfs(json& machine, const std::vector<Inf>& infs) {
  if (machine.contains("infs") || !infs.empty()) machine["infs"] = infs;
}

}  // namespace winsim::model
