// What drvpurge is expected to print and log, and reading what it did, for the drvpurge tests.
#pragma once

#include <stdint.h>

#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace drvtest {

struct LogEntry {
  std::string level;  // the five-character name as written, "Info " included
  std::string text;
  bool operator==(const LogEntry& o) const { return level == o.level && text == o.text; }
};
void PrintTo(const LogEntry& e, std::ostream* os);

LogEntry Error(const std::string& text);
LogEntry Info(const std::string& text);
LogEntry Trace(const std::string& text);
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

// Splits logger output into entries. Every line must have the stamp "dd/mm/yyyy hh:mm:ss.mmm",
// the tabs and the CRLF ending; a line that does not is reported as a test failure.
std::vector<LogEntry> ParseLog(const std::string& raw);

// Everything written to one file descriptor while the object lives (stdio flushed first).
class FdCapture {
 public:
  explicit FdCapture(int fd);
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  std::string Stop();

 private:
  void Restore();
  int fd_, saved_ = -1;
  std::string path_;
};

}  // namespace drvtest
