// The built drvpurge run as a process on a machine directory: exit status, console, log file and
// the machine afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "checks.h"
#include "testsupport.h"
#include "winsim/control.h"

namespace {

using drvtest::Error;
using drvtest::Info;
using drvtest::LogEntry;
using drvtest::ParseLog;
using drvtest::VersionTrace;
using testsupport::TempDir;

// A run that passes both gates reaches the removal run; this build has none and says so.
const LogEntry kRunReached = Error("CUninstallClass::Run - the removal run is not part of this build; nothing was removed.");
const int kRunResult = 5;

const char kLevel4Reg[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n"
    "\"Level\"=dword:00000004\r\n";

LogEntry Final(int result) {
  std::string text = "drvpurge Run Complete - Error Code: " + std::to_string(result);
  return result == 0 ? Info(text) : Error(text);
}

std::vector<LogEntry> Concat(std::vector<LogEntry> a, const std::vector<LogEntry>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<LogEntry> kXpTrace = VersionTrace(5, 1, 2600, 2, "Service Pack 2");
const std::vector<LogEntry> kVistaTrace = VersionTrace(6, 0, 6000, 2, "");

struct Os {
  std::string version, platform, csd;  // empty version: the image's XP SP2
};

struct Scenario {
  const char* name;
  std::vector<std::string> args;
  Os os;
  std::vector<std::string> regFiles;
  std::string faults;  // WINSIM_FAULTS
  // expected
  int banners;
  bool laterMessage;
  int result;
  std::vector<LogEntry> log;  // the whole file, in order
  bool osGate, laterGate;     // whether each gate looked at the machine
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class DrvpurgeRun : public testing::TestWithParam<Scenario> {
 protected:
  void Winsim(const std::vector<std::string>& args) {
    testsupport::ProcessResult r = testsupport::Run("winsim", args, "");
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

TEST_P(DrvpurgeRun, ResultConsoleLogAndMachine) {
  const Scenario& s = GetParam();
  TempDir tmp;
  const std::string machine = tmp / "machine", cwd = tmp / "cwd";
  std::filesystem::create_directories(cwd);
  testsupport::CreateMachineDir(machine);
  if (!s.os.version.empty()) {
    ASSERT_NO_FATAL_FAILURE(Winsim({"os", machine, s.os.version, "--platform", s.os.platform, "--csd", s.os.csd}));
  }
  for (size_t i = 0; i < s.regFiles.size(); ++i) {
    std::string file = tmp / ("seed" + std::to_string(i) + ".reg");
    testsupport::WriteFile(file, s.regFiles[i]);
    ASSERT_NO_FATAL_FAILURE(Winsim({"reg", "import", machine, file}));
  }
  const std::string before = winsim::DescribeMachine(machine);

  testsupport::ProcessResult r =
      testsupport::Run("drvpurge", s.args, cwd, {{"WINSIM_MACHINE", machine}, {"WINSIM_FAULTS", s.faults}});

  // Only the low 8 bits of the result survive as the exit status here; the console has it whole.
  EXPECT_EQ(r.status, s.result & 0xFF);
  std::string expectedOut;
  for (int i = 0; i < s.banners; ++i) expectedOut += drvtest::CapturedBanner();
  if (s.laterMessage) expectedOut += std::string(drvtest::kLaterReleaseMessage) + "\n";
  expectedOut += "drvpurge Run Complete. Error Code: " + std::to_string(s.result) + "\n";
  EXPECT_EQ(r.out, expectedOut);

  const std::string logFile = cwd + "/drvpurge.log";
  ASSERT_TRUE(testsupport::Exists(logFile));
  EXPECT_EQ(ParseLog(testsupport::ReadFile(logFile)), s.log);
  // Each line goes to standard error as well, and winsim found nothing to complain about.
  EXPECT_EQ(ParseLog(r.err), s.log) << r.err;

  nlohmann::json lastRun = nlohmann::json::parse(testsupport::ReadFile(machine + "/last-run.json"));
  EXPECT_EQ(lastRun["handlesOpenAtExit"], nlohmann::json::object());
  auto calls = lastRun["calls"].get<std::vector<std::string>>();
  auto called = [&](const std::string& f) { return std::find(calls.begin(), calls.end(), f) != calls.end(); };
  EXPECT_EQ(called("GetVersionExW"), s.osGate);
  EXPECT_EQ(called("RegOpenKeyW"), s.laterGate);

  bool reachedRun = std::find(s.log.begin(), s.log.end(), kRunReached) != s.log.end();
  if (!reachedRun) {
    EXPECT_EQ(winsim::DescribeMachine(machine), before) << "a refused run changes nothing";
  }
}

const std::string kLaterReg = drvtest::kLaterReleaseReg;
const Os kVista{"6.0.6000", "2", ""};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DrvpurgeRun,
    testing::Values(
        // Command line
        Scenario{"HelpSwitch", {"/?"}, {}, {}, "", 1, false, 0, {Final(0)}, false, false},
        Scenario{"PlainWordsOnly", {"foo", "bar"}, {}, {}, "", 0, false, 0, {Final(0)}, false, false},
        Scenario{"HelpThenRun", {"/?", "/s"}, {}, {}, "", 2, false, kRunResult, {kRunReached, Final(kRunResult)}, true, true},
        // Operating-system gate
        Scenario{"WindowsXPNoArguments", {}, {}, {}, "", 1, false, kRunResult, {kRunReached, Final(kRunResult)}, true, true},
        Scenario{"Windows2000", {"/"}, {"5.0.2195", "2", "Service Pack 4"}, {}, "", 1, false, kRunResult,
                 {kRunReached, Final(kRunResult)}, true, true},
        Scenario{"Server2003", {"/s"}, {"5.2.3790", "2", ""}, {}, "", 1, false, kRunResult,
                 {kRunReached, Final(kRunResult)}, true, true},
        Scenario{"Vista", {}, kVista, {}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        Scenario{"NonNt", {}, {"4.10.1998", "1", " A "}, {}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        Scenario{"GetVersionExFails", {}, {}, {}, "GetVersionExW#1=5", 1, false, 0,
                 {Error("GetVersionEx failed. GetLastError():5"), Final(0)}, true, false},
        Scenario{"TraceLevelXP", {}, {}, {kLevel4Reg}, "", 1, false, kRunResult,
                 Concat(kXpTrace, {kRunReached, Final(kRunResult)}), true, true},
        Scenario{"TraceLevelVista", {}, kVista, {kLevel4Reg}, "", 1, false, 0,
                 Concat(kVistaTrace, {Error("Operating System not supported!"), Final(0)}), true, false},
        // Later-release gate
        Scenario{"LaterReleaseInstalled", {}, {}, {kLaterReg}, "", 1, true, 0, {Final(0)}, true, true},
        Scenario{"LaterReleaseKeyUnreadable", {}, {}, {kLaterReg}, "RegOpenKeyW#1=5", 1, false, 0,
                 {Error("CheckLaterVersion - RegOpenKey Failed. rc=0x5"), Final(0)}, true, true},
        Scenario{"OsGateComesFirst", {}, kVista, {kLaterReg}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        // The spooler object opens the Service Control Manager before main: its failure is the
        // log's first line, and what it did open is closed at exit.
        Scenario{"ServiceManagerUnreachable", {}, {}, {}, "OpenSCManagerW#1=5", 1, false, kRunResult,
                 {Error("CSpoolerClass::Initialize - OpenSCManager Failed. GetLastError():5"), kRunReached,
                  Final(kRunResult)},
                 true, true},
        Scenario{"SpoolerServiceMissing", {}, {}, {}, "OpenServiceW#1=1060", 1, false, kRunResult,
                 {Error("CSpoolerClass::Initialize - OpenService Failed. GetLastError():1060"), kRunReached,
                  Final(kRunResult)},
                 true, true}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
