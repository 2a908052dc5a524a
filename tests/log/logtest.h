// What the logger's tests share: a machine directory set up for a probe run, the probe runs
// themselves, and the calls a run made.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loglines.h"
#include "testsupport.h"

namespace logtest {

// 2026-12-06T16:17:09.042Z, the machine clock the tests start from.
constexpr int64_t kClock = 1796573829042LL;

std::string RegFile(const std::string& body);

// A machine directory (with the registry text REG imported and the virtual clock at CLOCK) and an
// empty working directory for a probe process.
class ProbeEnv {
 public:
  explicit ProbeEnv(const std::string& reg = "", int64_t clock = kClock);
  const std::string& machine() const { return machine_; }
  const std::string& work() const { return work_; }
  std::string WorkFile(const std::string& name) const { return work_ + "/" + name; }

  // Runs PROBE ("logprobe_static" or "logprobe_shared") in the working directory with TZ=UTC
  // unless ENV says otherwise.
  testsupport::ProcessResult Run(const std::string& probe, const std::vector<std::string>& args,
                                 std::map<std::string, std::string> env = {}) const;
  // last-run.json of the latest run.
  nlohmann::json LastRun() const;

 private:
  testsupport::TempDir tmp_;
  std::string machine_, work_;
};

// Names of the functions in the probe run's call trace, in order, that are among NAMES.
std::vector<std::string> CallsAmong(const nlohmann::json& lastRun, const std::vector<std::string>& names);

}  // namespace logtest
