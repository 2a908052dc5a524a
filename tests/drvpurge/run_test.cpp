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

// What the removal run logs at the default level on the built-in machine, where the whole package
// is installed and nothing is queued.
const std::vector<LogEntry> kTypicalRun = {
    Info("Printer Driver Vexa Q52 Installed"),
    Info("Printer \"Vexa Q52\" Installed"),
    Info("Printer \"Vexa Q52\" Installed"),
    Info("Printer \"Vexa Q52\" Removed"),
    Info("Printer Driver Vexa Q52 Installed"),
    Info("Printer Driver \"Vexa Q52\" removal OK."),
    Info("Printer Monitor \"Vexa Q52 Language/Port Monitor\" is installed"),
    Info("Port \"Q52USB001:\" removed."),
    Info("Port \"Q52USB002:\" removed."),
    Info("Monitor \"Vexa Q52 Language/Port Monitor\" removed"),
    Info("API RemoveDependentFiles OK"),
    Info("Language/Port Monitor RemoveDependentFiles OK"),
    Info("Printer Driver RemoveDependentFiles OK"),
    Info("Printer RemoveDependentFiles OK"),
    Info("API RemoveDependentFiles OK"),
    Info("C:\\Q52PLX removed..."),
    Info("RegDeleteKey returns 0"),
};
// The spooler object could not open the spooler: the run can neither see nor start it.
const std::vector<LogEntry> kSpoolerUnusable = {
    Error("CSpoolerClass::QuerySpoolerStatus - QueryServiceStatusEx Failed. GetLastError(): 6"),
    Error("Spooler not started. Attempting to start spooler"),
    Error("CSpoolerClass::StartSpooler - QueryServiceStatusEx Failed. GetLastError(): 6"),
};

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
  bool removes = false;       // whether the run removes the package
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
  // The spooler's stops and starts then take no real time.
  ASSERT_NO_FATAL_FAILURE(Winsim({"clock", machine, "virtual"}));
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

  if (!s.removes) {
    EXPECT_EQ(winsim::DescribeMachine(machine), before) << "a refused run changes nothing";
    EXPECT_EQ(lastRun.value("changes", nlohmann::json::array()), nlohmann::json::array());
  } else {
    // The package's last traces, the install directory and the uninstall key, are gone.
    EXPECT_FALSE(testsupport::Exists(machine + "/drive_c/Q52PLX"));
    EXPECT_EQ(lastRun["changes"].back(),
              "SHDeleteKey HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 "
              "Plexline Drivers");
  }
}

std::vector<LogEntry> Run(std::vector<LogEntry> before = {}) { return Concat(Concat(before, kTypicalRun), {Final(0)}); }

const std::string kLaterReg = drvtest::kLaterReleaseReg;
const Os kVista{"6.0.6000", "2", ""};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DrvpurgeRun,
    testing::Values(
        // Command line
        Scenario{"HelpSwitch", {"/?"}, {}, {}, "", 1, false, 0, {Final(0)}, false, false},
        Scenario{"PlainWordsOnly", {"foo", "bar"}, {}, {}, "", 0, false, 0, {Final(0)}, false, false},
        Scenario{"HelpThenRun", {"/?", "/s"}, {}, {}, "", 2, false, 0, Run(), true, true, true},
        // Operating-system gate
        Scenario{"WindowsXPNoArguments", {}, {}, {}, "", 1, false, 0, Run(), true, true, true},
        Scenario{"Windows2000", {"/"}, {"5.0.2195", "2", "Service Pack 4"}, {}, "", 1, false, 0, Run(), true, true, true},
        Scenario{"Server2003", {"/s"}, {"5.2.3790", "2", ""}, {}, "", 1, false, 0, Run(), true, true, true},
        Scenario{"Vista", {}, kVista, {}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        Scenario{"NonNt", {}, {"4.10.1998", "1", " A "}, {}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        Scenario{"GetVersionExFails", {}, {}, {}, "GetVersionExW#1=5", 1, false, 0,
                 {Error("GetVersionEx failed. GetLastError():5"), Final(0)}, true, false},
        // The later release stops the run right after the version lines.
        Scenario{"TraceLevelXP", {}, {}, {kLevel4Reg, kLaterReg}, "", 1, true, 0, Concat(kXpTrace, {Final(0)}), true,
                 true},
        Scenario{"TraceLevelVista", {}, kVista, {kLevel4Reg}, "", 1, false, 0,
                 Concat(kVistaTrace, {Error("Operating System not supported!"), Final(0)}), true, false},
        // Later-release gate
        Scenario{"LaterReleaseInstalled", {}, {}, {kLaterReg}, "", 1, true, 0, {Final(0)}, true, true},
        Scenario{"LaterReleaseKeyUnreadable", {}, {}, {kLaterReg}, "RegOpenKeyW#1=5", 1, false, 0,
                 {Error("CheckLaterVersion - RegOpenKey Failed. rc=0x5"), Final(0)}, true, true},
        Scenario{"OsGateComesFirst", {}, kVista, {kLaterReg}, "", 1, false, 0,
                 {Error("Operating System not supported!"), Final(0)}, true, false},
        // The spooler object opens the Service Control Manager before main: its failure is the
        // log's first line, what it did open is closed at exit, and the run, unable to see the
        // spooler, removes nothing.
        Scenario{"ServiceManagerUnreachable", {}, {}, {}, "OpenSCManagerW#1=5", 1, false, 3012,
                 Concat(Concat({Error("CSpoolerClass::Initialize - OpenSCManager Failed. GetLastError():5")},
                               kSpoolerUnusable),
                        {Final(3012)}),
                 true, true},
        Scenario{"SpoolerServiceMissing", {}, {}, {}, "OpenServiceW#1=1060", 1, false, 3012,
                 Concat(Concat({Error("CSpoolerClass::Initialize - OpenService Failed. GetLastError():1060")},
                               kSpoolerUnusable),
                        {Final(3012)}),
                 true, true}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
