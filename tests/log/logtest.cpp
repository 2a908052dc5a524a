#include "logtest.h"

#include <algorithm>
#include <filesystem>

#include "winsim/control.h"

namespace logtest {

std::string RegFile(const std::string& body) { return "Windows Registry Editor Version 5.00\r\n\r\n" + body; }

ProbeEnv::ProbeEnv(const std::string& reg, int64_t clock) : machine_(tmp_ / "machine"), work_(tmp_ / "work") {
  testsupport::CreateMachineDir(machine_);
  std::filesystem::create_directories(work_);
  winsim::UseMachine(machine_);
  winsim::SetVirtualClock(clock);
  if (!reg.empty()) winsim::ImportRegText(RegFile(reg), "test");
  winsim::ReleaseMachine();
}

testsupport::ProcessResult ProbeEnv::Run(const std::string& probe, const std::vector<std::string>& args,
                                         std::map<std::string, std::string> env) const {
  env["WINSIM_MACHINE"] = machine_;
  env.emplace("TZ", "UTC");
  env.emplace("WINSIM_FAULTS", "");
  return testsupport::Run(probe, args, work_, env);
}

nlohmann::json ProbeEnv::LastRun() const {
  return nlohmann::json::parse(testsupport::ReadFile(machine_ + "/last-run.json"));
}

std::vector<std::string> CallsAmong(const nlohmann::json& lastRun, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (auto& c : lastRun.at("calls")) {
    std::string name = c.get<std::string>();
    if (std::find(names.begin(), names.end(), name) != names.end()) out.push_back(name);
  }
  return out;
}

}  // namespace logtest
