// What the logger's tests share: a machine directory set up for a probe run, the probe runs
// themselves, and log lines taken apart.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

struct Line {
  std::string stamp, level, text;
  bool crlf = false;  // ended by "\r\n"
};
// Splits TEXT into lines at "\n" and each line at its first two tabs. A line that lacks a tab
// keeps all of it in TEXT (and an empty stamp), so that a malformed line fails the comparison.
std::vector<Line> ParseLines(const std::string& text);
std::vector<std::string> Texts(const std::vector<Line>& lines);

// Names of the functions in the probe run's call trace, in order, that are among NAMES.
std::vector<std::string> CallsAmong(const nlohmann::json& lastRun, const std::vector<std::string>& names);

// Everything written to file descriptor 2 while the object lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string Take();

 private:
  int saved_ = -1, file_ = -1;
  std::string path_;
};

}  // namespace logtest
