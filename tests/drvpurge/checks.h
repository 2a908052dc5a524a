// What drvpurge is expected to print and log, and reading what it did, for the drvpurge tests.
#pragma once

#include <stdint.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "loglines.h"
#include "testsupport.h"

namespace drvtest {

using LogEntry = testsupport::LogLine;
using testsupport::Error;
using testsupport::FdCapture;
using testsupport::Info;
using testsupport::ParseLog;
using testsupport::Trace;

// The run's last log line: at LOG_INFO for 0, at LOG_ERROR otherwise.
LogEntry Final(int result);

extern const char kLaterReleaseMessage[];
// A .reg file that makes the later release look installed.
extern const char kLaterReleaseReg[];

// The six Trace lines of the version gate, for the version reported.
std::vector<LogEntry> VersionTrace(uint32_t major, uint32_t minor, uint32_t build, uint32_t platform,
                                   const std::string& csd);

// What PrintBanner writes to standard output, captured in this process.
std::string CapturedBanner();
// The whole console of a run: BANNERS banners, the later-release message if LATER, the final report.
std::string ExpectedConsole(int banners, bool later, int result);

// A .reg file that sets the logger's level.
std::string LoggerLevelReg(int level);

// The built drvpurge run as a process on a machine directory, in CWD (where its log file goes).
struct PurgeRun {
  int status = -1;  // the low 8 bits of the result code
  std::string out, err;
  bool logFile = false;
  std::vector<LogEntry> log;  // the log file, parsed
  nlohmann::json lastRun;     // the machine's last-run.json
};
PurgeRun RunDrvpurge(const std::string& machine, const std::vector<std::string>& args, const std::string& cwd,
                     const std::string& faults = "");

// Sets a machine directory's clock to a virtual one, so that service transitions take no time.
// The machine is written back by winsim, so its files are in the form a run leaves them.
void UseVirtualClock(const std::string& machine);

// What a machine holds of interest to the uninstaller, one item a line: "printer:NAME",
// "driver:NAME", "monitor:NAME", "port:NAME", "file:C:\PATH" (directories end with a backslash),
// "reg:[KEY]" and "reg:[KEY] VALUE-LINE".
std::set<std::string> MachineItems(const std::string& machine);
// The items of ALL that PATTERNS name; a pattern ending with '*' names every item it begins.
std::set<std::string> Matching(const std::set<std::string>& all, const std::vector<std::string>& patterns);
std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b);

}  // namespace drvtest
