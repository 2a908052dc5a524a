#include "roadmachine.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "testsupport.h"

namespace bulktest {

std::string CreateRoadMachine(const std::string& dir) {
  testsupport::CreateMachineDir(dir);
  nlohmann::json machine = nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json"));
  nlohmann::json printer;
  nlohmann::json devices = nlohmann::json::array();
  for (const nlohmann::json& d : machine["devices"]) {
    if (d.value("instanceId", "") == kArrivingPrinter)
      printer = d;
    else
      devices.push_back(d);
  }
  // An image that registers the printer as it arrives describes it in its timeline instead.
  if (printer.is_null())
    for (const nlohmann::json& e : machine.value("timeline", nlohmann::json::array()))
      if (e.value("instanceId", "") == kArrivingPrinter && e.contains("device")) {
        printer = e["device"];
        printer["instanceId"] = kArrivingPrinter;
      }
  if (printer.is_null()) throw std::runtime_error("the default image has no printer devnode");
  printer["present"] = false;
  machine["devices"] = devices;
  machine["timeline"] = nlohmann::json::array();
  machine["clock"] = {{"virtual", true}, {"now", "2026-12-07T09:00:00.000Z"}};
  testsupport::WriteFile(dir + "/machine.json", machine.dump(1));
  return printer.dump();
}

}  // namespace bulktest
