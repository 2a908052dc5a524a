#include "roadmachine.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "testsupport.h"
#include "winsim/model_timeline.h"

namespace bulktest {

std::string CreateRoadMachine(const std::string& dir) {
  namespace model = winsim::model;
  testsupport::CreateMachineDir(dir);
  nlohmann::json machine = nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json"));
  // An image that registers the printer as it arrives describes it in its timeline instead.
  std::vector<model::Device> devices = model::DevicesOf(machine);
  model::RegisterDescribed(devices, model::TimelineOf(machine), false, kArrivingPrinter);
  auto printer = std::find_if(devices.begin(), devices.end(),
                              [](const model::Device& d) { return d.instanceId == kArrivingPrinter; });
  if (printer == devices.end()) throw std::runtime_error("the default image has no printer devnode");
  printer->present = false;
  const std::string text = model::EntryOf(*printer).dump();
  devices.erase(printer);
  model::SetDevices(machine, devices);
  model::SetTimeline(machine, {});
  machine["clock"] = {{"virtual", true}, {"now", "2026-12-07T09:00:00.000Z"}};
  testsupport::WriteFile(dir + "/machine.json", machine.dump(1));
  return text;
}

}  // namespace bulktest
