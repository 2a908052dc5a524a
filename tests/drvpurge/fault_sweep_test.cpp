// Every platform call of the typical uninstall made to fail, one run each: whatever fails, the
// program ends cleanly with one of its result codes, says the same on the console and in the log,
// leaves no handle open, and removes nothing when it reports that it removed nothing. The same
// for a run from the package, whose own file is left for the restart.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "checks.h"
#include "faultsweep.h"
#include "loglines.h"
#include "testsupport.h"
#include "winsim/inf.h"

namespace {

using testsupport::LogLine;
using testsupport::SweepRun;

// A plausible error for each function the run calls; errno values for the runtime's calls.
uint32_t PlausibleError(const std::string& function) {
  static const std::map<std::string, uint32_t> kErrors = {
      // deletions and directories: access denied
      {"DeleteFileW", 5}, {"RemoveDirectoryW", 5}, {"CreateDirectoryW", 5}, {"SHFileOperationW", 5},
      {"MoveFileExW", 5}, {"SetFileAttributesW", 5}, {"GetFileAttributesW", 5}, {"FindNextFileW", 5},
      {"SHDeleteKeyW", 5}, {"DeletePrinter", 5}, {"DeletePrinterDriverW", 5}, {"DeletePortW", 5},
      {"DeleteMonitorW", 5},
      // the spooler's RPC server gone
      {"EnumPrintersW", 1722}, {"EnumPrinterDriversW", 1722}, {"EnumMonitorsW", 1722}, {"EnumPortsW", 1722},
      {"OpenPrinterW", 1722}, {"GetPrinterW", 1722}, {"GetPrinterDriverDirectoryW", 1722},
      // handles
      {"ClosePrinter", 6}, {"CloseServiceHandle", 6}, {"FindClose", 6}, {"HeapFree", 6},
      // allocations
      {"HeapAlloc", 8}, {"GetProcessHeap", 8},
      // the Service Control Manager
      {"OpenSCManagerW", 5}, {"OpenServiceW", 1060}, {"QueryServiceStatusEx", 5}, {"EnumDependentServicesW", 5},
      {"ControlService", 1061}, {"StartServiceW", 1053},
      // files, registry, system
      {"FindFirstFileW", 5}, {"GetSystemDirectoryW", 122}, {"GetVersionExW", 87}, {"RegOpenKeyW", 5},
      {"RegOpenKeyExA", 5},
      // the runtime's file calls (errno): the logger's file
      {"_sopen", 13}, {"_write", 28}, {"_filelength", 9}, {"_close", 9}, {"_setmode", 22}};
  auto it = kErrors.find(function);
  return it == kErrors.end() ? 31 : it->second;  // ERROR_GEN_FAILURE for a call not in the table
}

// The logger's own file and console calls: a fault there may cost one of the log's two sinks
// a line, so the final line is then required in the other sink.
bool IsLoggerIo(const std::string& function) {
  static const std::set<std::string> kLoggerIo = {"_sopen", "_write", "_filelength", "_close", "_setmode",
                                                  "RegOpenKeyExA"};
  return kLoggerIo.count(function) != 0;
}

// Closing calls: when one is made to fail, the handle it was given stays in winsim's count,
// though the program did let it go.
bool IsClose(const std::string& function) {
  static const std::set<std::string> kClose = {"ClosePrinter", "CloseServiceHandle", "FindClose", "_close"};
  return kClose.count(function) != 0;
}

std::string LastLine(const std::string& text) {
  std::vector<std::string> lines = testsupport::Lines(text);
  return lines.empty() ? std::string() : lines.back();
}

// Checks one finished run; returns its result code, or a value outside the four when it has none.
int CheckRun(const SweepRun& job, int status, const std::set<std::string>& before) {
  SCOPED_TRACE("call " + std::to_string(job.k) + ": WINSIM_FAULTS=" + job.fault);
  const std::string out = testsupport::ReadFile(job.dir + "/out");
  const std::string err = testsupport::ReadFile(job.dir + "/err");
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << err;
  if (!WIFEXITED(status)) return -1;

  // The result as the console reports it, and the exit status that must go with it.
  const std::string report = LastLine(out), prefix = "drvpurge Run Complete. Error Code: ";
  EXPECT_EQ(report.rfind(prefix, 0), 0u) << out << err;
  if (report.rfind(prefix, 0) != 0) return -1;
  const int result = std::stoi(report.substr(prefix.size()));
  EXPECT_TRUE(result == 0 || result == 3012 || result == -30 || result == 5) << result;
  EXPECT_EQ(WEXITSTATUS(status), result & 0xFF) << err;

  // Standard error holds log lines only (no sanitizer or winsim report): ParseLog fails the test
  // on any other line. Two exceptions that the fault itself explains: a console left in text mode
  // doubles the carriage return of each line, and a failed close leaves its handle counted.
  std::string errLines = err;
  // The shell's error window, which a run from the package meets, is noted there by winsim.
  const std::string reportFile = job.dir + "/machine/last-run.json";
  nlohmann::json lastRun;
  if (testsupport::Exists(reportFile)) lastRun = nlohmann::json::parse(testsupport::ReadFile(reportFile));
  for (const nlohmann::json& box : lastRun.value("messageBoxes", nlohmann::json::array())) {
    std::ostringstream notice;
    notice << "winsim: message box \"" << box["caption"].get<std::string>() << "\" (type 0x" << std::hex
           << box["type"].get<unsigned>() << "): " << box["text"].get<std::string>() << "\n";
    if (errLines.find(notice.str()) != std::string::npos) errLines.erase(errLines.find(notice.str()), notice.str().size());
  }
  if (job.function == "_setmode") errLines = testsupport::FromTextMode(errLines);
  const std::string leftOpen = "winsim: 1 handle(s) left open at exit:";
  if (IsClose(job.function) && errLines.find(leftOpen) != std::string::npos) {
    size_t at = errLines.find(leftOpen);
    errLines.erase(at, errLines.find('\n', at) + 1 - at);
  }
  std::vector<LogLine> errLog = testsupport::ParseLog(errLines);
  std::vector<LogLine> fileLog;
  if (testsupport::Exists(job.dir + "/cwd/drvpurge.log"))
    fileLog = testsupport::ParseLog(testsupport::ReadFile(job.dir + "/cwd/drvpurge.log"));
  const LogLine final = drvtest::Final(result);
  const bool errEnds = !errLog.empty() && errLog.back() == final;
  const bool fileEnds = !fileLog.empty() && fileLog.back() == final;
  if (IsLoggerIo(job.function)) {
    EXPECT_TRUE(errEnds || fileEnds) << "no sink ends with the final line";
  } else {
    EXPECT_TRUE(errEnds) << err;
    EXPECT_TRUE(fileEnds) << "log file";
  }

  EXPECT_TRUE(testsupport::Exists(reportFile));
  if (testsupport::Exists(reportFile)) {
    int open = 0;
    for (auto& [kind, n] : lastRun["handlesOpenAtExit"].items()) open += n.get<int>();
    EXPECT_EQ(open, IsClose(job.function) ? 1 : 0) << lastRun["handlesOpenAtExit"].dump();
  }
  if (result == 3012 || result == -30) {
    EXPECT_EQ(drvtest::MachineItems(job.dir + "/machine"), before) << "a run that removed nothing changed the machine";
  }
  if (result == 5) {
    // The print system may be half gone; the package's files, directory and key never are.
    const std::set<std::string> after = drvtest::MachineItems(job.dir + "/machine");
    for (const std::string& item : before)
      if (item.rfind("file:", 0) == 0 || item.rfind("reg:", 0) == 0) {
        EXPECT_EQ(after.count(item), 1u) << item;
      }
  }
  return result;
}

// Sweeps the road that drvpurge takes on the example machine EXAMPLE.
void SweepTheRoad(const std::string& example) {
  testsupport::TempDir tmp;
  const std::string base = tmp / "base";
  winsim::CreateMachineFromExample(base, std::string(Q52_SOURCE_DIR) + "/examples/machines/" + example);
  drvtest::UseVirtualClock(base);
  const std::set<std::string> before = drvtest::MachineItems(base);

  // The typical road, once, for its calls.
  testsupport::CopyMachine(base, {0, "", "", tmp / "road"});
  drvtest::PurgeRun road = drvtest::RunDrvpurge(tmp / "road/machine", {}, tmp / "road/cwd");
  ASSERT_EQ(road.status, 0) << road.err;
  ASSERT_EQ(road.log.back(), drvtest::Final(0));
  const std::vector<std::string> calls = road.lastRun["calls"].get<std::vector<std::string>>();
  ASSERT_GT(calls.size(), 100u);

  const std::vector<SweepRun> runs = testsupport::SweepRuns(calls, tmp.path(), PlausibleError);
  std::map<int, unsigned> outcomes;
  std::map<std::string, std::map<int, unsigned>> byFunction;
  testsupport::Sweep("drvpurge", {}, base, runs, 0, [&](size_t i, int status, bool) {
    int result = CheckRun(runs[i], status, before);
    ++outcomes[result];
    ++byFunction[runs[i].function][result];
  });

  std::ostringstream summary;
  summary << "fault sweep: " << runs.size() << " calls swept; outcomes:";
  for (auto& [result, n] : outcomes) summary << " " << result << " x" << n;
  summary << "\nby function (calls: result x runs):\n";
  for (auto& [function, results] : byFunction) {
    summary << "  " << function << " (error " << PlausibleError(function) << "):";
    for (auto& [result, n] : results) summary << " " << result << " x" << n;
    summary << "\n";
  }
  std::cout << summary.str();
  testing::Test::RecordProperty("calls_swept", static_cast<int>(runs.size()));
}

TEST(FaultSweep, EveryCallOfTheTypicalRoad) { SweepTheRoad("full-package"); }

// Started from the package: the leftovers, its own file among them, are scheduled for the restart.
TEST(FaultSweep, EveryCallOfARunFromThePackage) { SweepTheRoad("self-in-use"); }

}  // namespace
