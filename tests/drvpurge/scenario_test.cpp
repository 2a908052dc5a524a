// The built drvpurge run as a process on machines made from examples/machines: result code,
// console, the log file in order, message boxes, the machine's state-changing calls in order, and
// exactly what the run removed from the machine. Command line, gates and every road of the run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "checks.h"
#include "testsupport.h"
#include "winsim/inf.h"

namespace {

using drvtest::Error;
using drvtest::Final;
using drvtest::Info;
using drvtest::LogEntry;
using drvtest::Trace;
using testsupport::TempDir;

const std::string kExamples = std::string(Q52_SOURCE_DIR) + "/examples/machines/";

// What each step of the run removes, as patterns of drvtest::MachineItems.
const std::vector<std::string> kQueue = {"printer:Vexa Q52"};
const std::vector<std::string> kDriver = {"driver:Vexa Q52"};
const std::vector<std::string> kMonitor = {"monitor:Vexa Q52 Language/Port Monitor", "port:Q52USB001:",
                                           "port:Q52USB002:"};
const std::vector<std::string> kSystemFiles = {
    "file:C:\\WINDOWS\\system32\\vexaq52api.dll",  "file:C:\\WINDOWS\\system32\\vexaq52setup.exe",
    "file:C:\\WINDOWS\\system32\\vexaktmon.dll",   "file:C:\\WINDOWS\\system32\\vexaktmonui.dll",
    "file:C:\\WINDOWS\\system32\\vexaktmon.cnt",   "file:C:\\WINDOWS\\system32\\vexaktmon.hlp"};
// The driver's files go from the driver directory only; the spooler's copies under 3\ are its own.
const std::vector<std::string> kDriverFiles = {
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktxps.dll",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktenu.cnt",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktenu.dll",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktgui.dll",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktwxp.dll",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktenu.hlp",
    "file:C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktq52.pdf"};
const std::vector<std::string> kInstallDir = {"file:C:\\Q52PLX\\*"};
const std::vector<std::string> kKey = {
    "reg:[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers]*"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> groups) {
  std::vector<std::string> out;
  for (auto& g : groups) out.insert(out.end(), g.begin(), g.end());
  return out;
}
const std::vector<std::string> kEverything =
    Join({kQueue, kDriver, kMonitor, kSystemFiles, kDriverFiles, kInstallDir, kKey});
const std::vector<std::string> kSpoolerObjects = Join({kQueue, kDriver, kMonitor});

std::vector<LogEntry> Concat(std::initializer_list<std::vector<LogEntry>> parts) {
  std::vector<LogEntry> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The run's log at the default level, piece by piece.
const LogEntry kDriverFound = Info("Printer Driver Vexa Q52 Installed");
const LogEntry kPrinterFound = Info("Printer \"Vexa Q52\" Installed");
const std::vector<LogEntry> kPrinterRemoved = {kPrinterFound, kPrinterFound, Info("Printer \"Vexa Q52\" Removed")};
const std::vector<LogEntry> kDriverRemoved = {kDriverFound, Info("Printer Driver \"Vexa Q52\" removal OK.")};
const std::vector<LogEntry> kMonitorRemoved = {
    Info("Printer Monitor \"Vexa Q52 Language/Port Monitor\" is installed"), Info("Port \"Q52USB001:\" removed."),
    Info("Port \"Q52USB002:\" removed."), Info("Monitor \"Vexa Q52 Language/Port Monitor\" removed"),
    // the run makes sure both are gone before it touches their files
    Info("No Printer Driver Installed"), Info("Monitor \"Vexa Q52 Language/Port Monitor\" not installed")};
const std::vector<LogEntry> kListsRemoved = {
    Info("API RemoveDependentFiles OK"), Info("Language/Port Monitor RemoveDependentFiles OK"),
    Info("Printer Driver RemoveDependentFiles OK"), Info("Printer RemoveDependentFiles OK"),
    Info("API RemoveDependentFiles OK")};
const LogEntry kDirRemoved = Info("C:\\Q52PLX removed...");
const LogEntry kKeyDeleted = Info("RegDeleteKey returns 0");
const std::vector<LogEntry> kTypicalLog = Concat(
    {{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved, kListsRemoved, {kDirRemoved, kKeyDeleted, Final(0)}});

// The state-changing calls, in order: the printer, then a spooler restart before the driver,
// the ports and the monitor each, and one after the monitor.
const std::vector<std::string> kRestart = {"StopService Spooler", "StartService Spooler"};
const std::vector<std::string> kPrinterChanges = {"DeletePrinter Vexa Q52"};
const std::vector<std::string> kDriverChanges = Join({kRestart, {"DeletePrinterDriver Vexa Q52"}});
const std::vector<std::string> kMonitorChanges =
    Join({kRestart, {"DeletePort Q52USB001:", "DeletePort Q52USB002:"}, kRestart,
          {"DeleteMonitor Vexa Q52 Language/Port Monitor"}, kRestart});
std::vector<std::string> Prefixed(const std::string& prefix, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (auto& n : names) out.push_back(prefix + n);
  return out;
}
// The file lists in their order, each file on its own; then the shell empties the install
// directory, children before their directory, and the directory and the key go.
const std::vector<std::string> kListChanges = Join(
    {Prefixed("DeleteFile C:\\WINDOWS\\system32\\", {"vexaq52api.dll", "vexaq52setup.exe", "vexaktmon.dll",
                                                       "vexaktmonui.dll", "vexaktmon.cnt", "vexaktmon.hlp"}),
     Prefixed("DeleteFile C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\",
              {"vexaktxps.dll", "vexaktenu.cnt", "vexaktenu.dll", "vexaktgui.dll", "vexaktwxp.dll", "vexaktenu.hlp",
               "vexaktq52.pdf"}),
     Prefixed("DeleteFile C:\\Q52PLX\\", {"vexaq52api.dll", "vexaq52setup.exe"})});
const std::vector<std::string> kShellChanges = Prefixed(
    "SHFileOperation FO_DELETE C:\\Q52PLX\\",
    {"Docs\\ReleaseNotes.txt", "Docs", "PlxBaseDriver\\api\\vexaq52api.dll", "PlxBaseDriver\\api", "PlxBaseDriver",
     "PlxConfig\\drvpurge.exe", "PlxConfig\\license.txt", "PlxConfig\\Q52Config.ini", "PlxConfig\\readme.txt",
     "PlxConfig\\vexaq52api.h", "PlxConfig\\vexaq52api.lib", "PlxConfig\\xda7701.dat", "PlxConfig\\xda77012.dat",
     "PlxConfig", "Q52Setup.ini"});
const std::string kDirChange = "RemoveDirectory C:\\Q52PLX";
const std::string kKeyChange =
    "SHDeleteKey HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers";
const std::vector<std::string> kSpoolerChanges = Join({kPrinterChanges, kDriverChanges, kMonitorChanges});

// long-printer-name: the package's printer under 300 characters, another printer under its first 259.
const std::string kCutName = "Front counter receipts " + std::string(236, '.');
const std::string kLongName = kCutName + " (Vexa Q52)" + std::string(30, '.');
const std::vector<std::string> kTypicalChanges =
    Join({kSpoolerChanges, kListChanges, kShellChanges, {kDirChange, kKeyChange}});

struct Os {
  std::string version, platform, csd;  // empty version: the example's own
};

struct Scenario {
  const char* name;
  const char* example;
  std::vector<std::string> args;
  int level;  // the logger's; 0 for its default. Above the default only the log's tail is compared
  // expected
  int result;
  int banners;
  bool later;  // the later-release message
  std::vector<LogEntry> log;
  std::vector<std::string> changes;
  std::vector<std::string> removed;  // patterns of the items that go; everything else stays
  int gates = 2;                     // how many of the two gates looked at the machine
  Os os = {};
  std::string faults = "";  // WINSIM_FAULTS
  std::vector<std::string> added = {};  // patterns of the items the run adds
  std::string errorWindow = "";         // the text of the shell's error window, when it shows one
  bool restart = false;  // then `winsim restart`: nothing of C:\Q52PLX may remain, nor anything scheduled
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// A machine from an example, with a virtual clock so that the spooler's restarts take no time.
void MakeMachine(const TempDir& tmp, const std::string& machine, const Scenario& s) {
  winsim::CreateMachineFromExample(machine, kExamples + s.example);
  drvtest::UseVirtualClock(machine);
  auto winsimTool = [](const std::vector<std::string>& args) {
    testsupport::ProcessResult r = testsupport::Run("winsim", args, "");
    ASSERT_EQ(r.status, 0) << r.err;
  };
  if (!s.os.version.empty()) {
    ASSERT_NO_FATAL_FAILURE(winsimTool({"os", machine, s.os.version, "--platform", s.os.platform, "--csd", s.os.csd}));
  }
  if (s.level != 0) {
    testsupport::WriteFile(tmp / "level.reg", drvtest::LoggerLevelReg(s.level));
    ASSERT_NO_FATAL_FAILURE(winsimTool({"reg", "import", machine, tmp / "level.reg"}));
  }
}

class Drvpurge : public testing::TestWithParam<Scenario> {};

TEST_P(Drvpurge, Run) {
  const Scenario& s = GetParam();
  TempDir tmp;
  const std::string machine = tmp / "machine", cwd = tmp / "cwd";
  std::filesystem::create_directories(cwd);
  ASSERT_NO_FATAL_FAILURE(MakeMachine(tmp, machine, s));
  const std::set<std::string> before = drvtest::MachineItems(machine);

  drvtest::PurgeRun r = drvtest::RunDrvpurge(machine, s.args, cwd, s.faults);

  // Only the low 8 bits survive as the exit status here; the console has the whole code.
  EXPECT_EQ(r.status, s.result & 0xFF);
  EXPECT_EQ(r.out, drvtest::ExpectedConsole(s.banners, s.later, s.result));
  ASSERT_TRUE(r.logFile);
  if (s.level <= 2) {
    EXPECT_EQ(r.log, s.log);
  } else {
    ASSERT_GE(r.log.size(), s.log.size());
    EXPECT_EQ(std::vector<LogEntry>(r.log.end() - static_cast<long>(s.log.size()), r.log.end()), s.log);
  }
  // Every line also goes to standard error, and nothing else does (no sanitizer or winsim report)
  // but winsim's notice of a message box, which no person is there to close.
  std::string err = r.err;
  const nlohmann::json boxes = r.lastRun.value("messageBoxes", nlohmann::json::array());
  for (const nlohmann::json& box : boxes) {
    char type[16];
    snprintf(type, sizeof(type), "%x", box["type"].get<unsigned>());
    const std::string notice = "winsim: message box \"" + box["caption"].get<std::string>() + "\" (type 0x" + type +
                               "): " + box["text"].get<std::string>() + "\n";
    if (err.find(notice) != std::string::npos) err.erase(err.find(notice), notice.size());
  }
  EXPECT_EQ(drvtest::ParseLog(err), r.log) << r.err;

  EXPECT_EQ(r.lastRun["handlesOpenAtExit"], nlohmann::json::object());
  EXPECT_EQ(r.lastRun.value("changes", std::vector<std::string>()), s.changes);
  auto calls = r.lastRun["calls"].get<std::vector<std::string>>();
  int gates = 0;
  for (const char* gate : {"GetVersionExW", "RegOpenKeyW"})
    if (std::find(calls.begin(), calls.end(), gate) != calls.end()) ++gates;
  EXPECT_EQ(gates, s.gates);

  ASSERT_EQ(boxes.size(), (s.result == -30 ? 1u : 0u) + (s.errorWindow.empty() ? 0u : 1u)) << boxes.dump();
  if (s.result == -30) {
    EXPECT_EQ(boxes[0]["text"], "There are still existing print jobs in the printer.\nCancel them to continue...");
    EXPECT_EQ(boxes[0]["caption"], "Unable to Remove Printer!");
    EXPECT_EQ(boxes[0]["type"], 0x30);  // MB_OK | MB_ICONEXCLAMATION
  }
  if (!s.errorWindow.empty()) {
    // An unattended run waits here on Windows until someone answers OK.
    EXPECT_EQ(boxes.back()["text"], s.errorWindow);
    EXPECT_EQ(boxes.back()["caption"], "Error Deleting File or Folder");
    EXPECT_EQ(boxes.back()["type"], 0x10);  // MB_OK | MB_ICONERROR
  }

  const std::set<std::string> after = drvtest::MachineItems(machine);
  EXPECT_EQ(drvtest::Minus(before, after), drvtest::Matching(before, s.removed)) << "removed";
  EXPECT_EQ(drvtest::Minus(after, before), drvtest::Matching(after, s.added)) << "added";

  if (s.restart) {
    testsupport::ProcessResult restarted = testsupport::Run("winsim", {"restart", machine}, "");
    ASSERT_EQ(restarted.status, 0) << restarted.err;
    for (const std::string& item : drvtest::MachineItems(machine)) {
      EXPECT_NE(item.rfind("file:C:\\Q52PLX\\", 0), 0u) << item << " survived the restart";
      EXPECT_EQ(item.find("PendingFileRenameOperations"), std::string::npos) << item;
    }
  }
}

const Os kWindows2000{"5.0.2195", "2", "Service Pack 4"};
const Os kServer2003{"5.2.3790", "2", ""};
const Os kWindows98{"4.10.1998", "1", " A "};
const std::vector<LogEntry> kRefused = {Final(0)};
const std::vector<LogEntry> kNotSupported = {Error("Operating System not supported!"), Final(0)};
// What the shell deletes before it reaches a running C:\Q52PLX\PlxConfig\drvpurge.exe, and what
// is then deleted or scheduled for the restart, in the order of a search.
const std::vector<std::string> kSelfInUseChanges = Join(
    {kSpoolerChanges, kListChanges, std::vector<std::string>(kShellChanges.begin(), kShellChanges.begin() + 5),
     {"MoveFileEx C:\\Q52PLX\\PlxConfig\\drvpurge.exe -> (deleted at restart)"},
     Prefixed("DeleteFile C:\\Q52PLX\\PlxConfig\\", {"license.txt", "Q52Config.ini", "readme.txt", "vexaq52api.h",
                                                      "vexaq52api.lib", "xda7701.dat", "xda77012.dat"}),
     {"MoveFileEx C:\\Q52PLX\\PlxConfig -> (deleted at restart)", "DeleteFile C:\\Q52PLX\\Q52Setup.ini",
      "MoveFileEx C:\\Q52PLX -> (deleted at restart)", kKeyChange}});
const std::vector<std::string> kSelfInUseRemoved = Join(
    {kSpoolerObjects, kSystemFiles, kDriverFiles, kKey,
     {"file:C:\\Q52PLX\\Docs*", "file:C:\\Q52PLX\\PlxBaseDriver*", "file:C:\\Q52PLX\\Q52Setup.ini",
      "file:C:\\Q52PLX\\vexaq52*", "file:C:\\Q52PLX\\PlxConfig\\license.txt",
      "file:C:\\Q52PLX\\PlxConfig\\Q52Config.ini", "file:C:\\Q52PLX\\PlxConfig\\readme.txt",
      "file:C:\\Q52PLX\\PlxConfig\\vexaq52api*", "file:C:\\Q52PLX\\PlxConfig\\xda*"}});
LogEntry AtRestart(const std::string& path) {
  return Info("RemoveInstallDirectory - " + path + " will be deleted at restart.");
}
LogEntry LinkRemoved(const std::string& path) {
  return Error("RemoveInstallDirectory - " + path + " is a link to another place: the link was removed, nothing behind it.");
}
const std::vector<LogEntry> kSpoolerUnusable = {
    Error("CSpoolerClass::QuerySpoolerStatus - QueryServiceStatusEx Failed. GetLastError(): 6"),
    Error("Spooler not started. Attempting to start spooler"),
    Error("CSpoolerClass::StartSpooler - QueryServiceStatusEx Failed. GetLastError(): 6")};

INSTANTIATE_TEST_SUITE_P(
    Examples, Drvpurge,
    testing::Values(
        Scenario{"TypicalRoad", "full-package", {}, 0, 0, 1, false, kTypicalLog, kTypicalChanges, kEverything},
        // The directory's own steps show at trace level, after the file lists.
        Scenario{"TypicalRoadDirectorySteps", "full-package", {}, 4, 0, 1, false,
                 {Info("API RemoveDependentFiles OK"), Trace("C:\\Q52PLX already exists."),
                  Trace("SHFileOperation returns 0"), kDirRemoved, kKeyDeleted, Final(0)},
                 kTypicalChanges, kEverything},
        Scenario{"DriverAbsent", "no-driver", {}, 0, 3012, 1, false,
                 {Info("No Printer Driver Installed"), Final(3012)}, {}, {}},
        Scenario{"SpoolerCannotStart", "spooler-disabled", {}, 0, 3012, 1, false,
                 {Info("Spooler State (0x00000001) do not match Required (0x00000004)"),
                  Error("Spooler not started. Attempting to start spooler"),
                  Error("CSpoolerClass::StartSpooler - Start Spooler Service Failed. GetLastError(): 1058"),
                  Final(3012)},
                 {}, {}},
        Scenario{"JobsQueued", "jobs-queued", {}, 0, -30, 1, false,
                 {kDriverFound, kPrinterFound, kPrinterFound,
                  Error("There are still existing print jobs in the printer."), Final(-30)},
                 {}, {}},
        // The boundary: a single job stops the run as three do.
        Scenario{"OneJobQueued", "one-job-queued", {}, 0, -30, 1, false,
                 {kDriverFound, kPrinterFound, kPrinterFound,
                  Error("There are still existing print jobs in the printer."), Final(-30)},
                 {}, {}},
        // Acted on by its first 259 characters, the long name would be the other printer's.
        Scenario{"LongPrinterName", "long-printer-name", {}, 0, 0, 1, false,
                 Concat({{kDriverFound, Info("Printer \"" + kLongName + "\" Installed"),
                          Info("Printer \"" + kLongName + "\" Installed"),
                          Info("Printer \"" + kLongName + "\" Removed")},
                         kDriverRemoved, kMonitorRemoved, kListsRemoved, {kDirRemoved, kKeyDeleted, Final(0)}}),
                 Join({{"DeletePrinter " + kLongName}, kDriverChanges, kMonitorChanges, kListChanges, kShellChanges,
                       {kDirChange, kKeyChange}}),
                 Join({{"printer:" + kLongName}, kDriver, kMonitor, kSystemFiles, kDriverFiles, kInstallDir, kKey})},
        // The second printer keeps the driver, and the list that would show it fails after the
        // removals: that is no sign it went, so the package stays.
        Scenario{"DriverListUnreadableAfterRemovals", "second-printer", {}, 0, 5, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved,
                         {kDriverFound, Error("Printer Driver \"Vexa Q52\" removal Failed. GetLastError():3001")},
                         std::vector<LogEntry>(kMonitorRemoved.begin(), kMonitorRemoved.end() - 2),
                         {Error("IsPrinterDriverInstalled - EnumPrinterDrivers #2 Failed. GetLastError():122"),
                          Info("No Printer Driver Installed"),
                          Error("CUninstallClass::Run - Printer Driver or Monitor could not be listed. Package files "
                                "kept."),
                          Final(5)}}),
                 Join({kPrinterChanges, kRestart, kMonitorChanges}), Join({kQueue, kMonitor}), 2, {},
                 "EnumPrinterDriversW#6=122"},
        Scenario{"PrinterAbsent", "no-printer", {}, 0, 0, 1, false,
                 Concat({{kDriverFound, Info("No Printer Installed")}, kDriverRemoved, kMonitorRemoved, kListsRemoved,
                         {kDirRemoved, kKeyDeleted, Final(0)}}),
                 Join({kDriverChanges, kMonitorChanges, kListChanges, kShellChanges, {kDirChange, kKeyChange}}),
                 kEverything},
        Scenario{"MonitorAbsent", "no-monitor", {}, 0, 5, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved,
                         {Info("Monitor \"Vexa Q52 Language/Port Monitor\" not installed"), Final(5)}}),
                 Join({kPrinterChanges, kDriverChanges}), Join({kQueue, kDriver})},
        // The API list stops at the file in use: nothing after it goes, not even the list's
        // second file, and the run still succeeds.
        Scenario{"ApiDllInUse", "api-in-use", {}, 0, 0, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved,
                         {Error("Remove vexaq52api.dll Failed. GetLastError():32"),
                          Info("API RemoveDependentFiles Failed"), Final(0)}}),
                 kSpoolerChanges, kSpoolerObjects},
        Scenario{"InstallDirectoryAbsent", "no-install-dir", {}, 4, 0, 1, false,
                 {Info("API RemoveDependentFiles OK"), Trace("SHFileOperation returns 0"), kDirRemoved, kKeyDeleted,
                  Final(0)},
                 Join({kSpoolerChanges, std::vector<std::string>(kListChanges.begin(), kListChanges.end() - 2),
                       {"CreateDirectory C:\\Q52PLX", kDirChange, kKeyChange}}),
                 kEverything},
        // Started from the package, as Add/Remove Programs does: the running image can't go, so
        // the shell's error window stops the deletion there; what is left goes now or at the
        // restart, and after it nothing of the package remains.
        Scenario{"RunFromInstallDirectory", "self-in-use", {}, 0, 0, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved, kListsRemoved,
                         {Error("unable to remove C:\\Q52PLX. GetLastError():145"),
                          AtRestart("C:\\Q52PLX\\PlxConfig\\drvpurge.exe"), AtRestart("C:\\Q52PLX\\PlxConfig"),
                          AtRestart("C:\\Q52PLX"), kKeyDeleted, Final(0)}}),
                 kSelfInUseChanges, kSelfInUseRemoved, 2, {}, "",
                 {"reg:[HKEY_LOCAL_MACHINE\\SYSTEM*"},
                 "Cannot delete drvpurge.exe: Access is denied.\n\nMake sure the disk is not full or write-protected and "
                 "that the file is not currently in use.",
                 true},
        // A junction planted in the install directory goes as a link before the shell, which
        // would follow it, runs: what it points at (C:\WINDOWS\inf) stays.
        Scenario{"JunctionInInstallDirectory", "junction-inside", {}, 0, 0, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved, kListsRemoved,
                         {LinkRemoved("C:\\Q52PLX\\Docs\\Shared"), kDirRemoved, kKeyDeleted, Final(0)}}),
                 Join({kSpoolerChanges, kListChanges, {"RemoveDirectory C:\\Q52PLX\\Docs\\Shared"}, kShellChanges,
                       {kDirChange, kKeyChange}}),
                 kEverything},
        // The directory's own list is not run through the link either.
        Scenario{"InstallDirectoryIsJunction", "install-dir-junction", {}, 0, 0, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved,
                         std::vector<LogEntry>(kListsRemoved.begin(), kListsRemoved.end() - 1),
                         {LinkRemoved("C:\\Q52PLX"), kKeyDeleted, Final(0)}}),
                 Join({kSpoolerChanges, std::vector<std::string>(kListChanges.begin(), kListChanges.end() - 2),
                       {kDirChange, kKeyChange}}),
                 kEverything},
        Scenario{"UninstallKeyAbsent", "no-uninstall-key", {}, 0, 0, 1, false,
                 Concat({{kDriverFound}, kPrinterRemoved, kDriverRemoved, kMonitorRemoved, kListsRemoved,
                         {kDirRemoved, Error("RegDeleteKey returns 2"), Final(0)}}),
                 Join({kSpoolerChanges, kListChanges, kShellChanges, {kDirChange}}), kEverything},
        // Command line
        Scenario{"HelpSwitch", "full-package", {"/?"}, 0, 0, 1, false, kRefused, {}, {}, 0},
        Scenario{"HelpThenRun", "full-package", {"/?", "/s"}, 0, 0, 2, false, kTypicalLog, kTypicalChanges,
                 kEverything},
        Scenario{"RunThenHelp", "full-package", {"/s", "/?"}, 0, 0, 1, false, kRefused, {}, {}, 0},
        Scenario{"PlainWords", "full-package", {"foo", "bar"}, 0, 0, 0, false, kRefused, {}, {}, 0},
        Scenario{"SlashAlone", "full-package", {"/"}, 0, 0, 1, false, kTypicalLog, kTypicalChanges, kEverything},
        // Gates
        Scenario{"LaterRelease", "later-release", {}, 0, 0, 1, true, kRefused, {}, {}},
        // Only a key that opens stops the run: one that can't be read is logged, and the run goes on.
        Scenario{"LaterReleaseKeyUnreadable", "later-release", {}, 0, 0, 1, false,
                 Concat({{Error("CheckLaterVersion - RegOpenKey Failed. rc=0x5")}, kTypicalLog}), kTypicalChanges,
                 kEverything, 2, {}, "RegOpenKeyW#1=5"},
        Scenario{"WindowsVista", "windows-vista", {}, 0, 0, 1, false, kNotSupported, {}, {}, 1},
        Scenario{"OsGateBeforeLaterRelease", "later-release", {}, 0, 0, 1, false, kNotSupported, {}, {}, 1,
                 {"6.0.6000", "2", ""}},
        Scenario{"Windows98", "full-package", {}, 0, 0, 1, false, kNotSupported, {}, {}, 1, kWindows98},
        Scenario{"Windows2000", "full-package", {}, 0, 0, 1, false, kTypicalLog, kTypicalChanges, kEverything, 2,
                 kWindows2000},
        Scenario{"Server2003", "full-package", {}, 0, 0, 1, false, kTypicalLog, kTypicalChanges, kEverything, 2,
                 kServer2003},
        Scenario{"GetVersionExFails", "full-package", {}, 0, 0, 1, false,
                 {Error("GetVersionEx failed. GetLastError():5"), Final(0)}, {}, {}, 1, {}, "GetVersionExW#1=5"},
        // The gate's trace lines come first, with the version as reported.
        Scenario{"VersionTraceVista", "windows-vista", {}, 4, 0, 1, false,
                 Concat({drvtest::VersionTrace(6, 0, 6000, 2, ""), kNotSupported}), {}, {}, 1},
        Scenario{"VersionTraceXP", "later-release", {}, 4, 0, 1, true,
                 Concat({drvtest::VersionTrace(5, 1, 2600, 2, "Service Pack 2"), {Final(0)}}), {}, {}},
        // The spooler object opens the Service Control Manager and the spooler before main: its
        // failure is the log's first line, and without a service handle the spooler can't be seen
        // running or started.
        Scenario{"ServiceManagerUnreachable", "full-package", {}, 0, 3012, 1, false,
                 Concat({{Error("CSpoolerClass::Initialize - OpenSCManager Failed. GetLastError():5")}, kSpoolerUnusable,
                         {Final(3012)}}),
                 {}, {}, 2, {}, "OpenSCManagerW#1=5"},
        Scenario{"SpoolerServiceMissing", "full-package", {}, 0, 3012, 1, false,
                 Concat({{Error("CSpoolerClass::Initialize - OpenService Failed. GetLastError():1060")}, kSpoolerUnusable,
                         {Final(3012)}}),
                 {}, {}, 2, {}, "OpenServiceW#1=1060"}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// A second run on what the typical road left finds no driver and stops at once.
TEST(DrvpurgeAgain, SecondRunFindsNothing) {
  TempDir tmp;
  const std::string machine = tmp / "machine", cwd = tmp / "cwd";
  std::filesystem::create_directories(cwd);
  winsim::CreateMachineFromExample(machine, kExamples + "full-package");
  drvtest::UseVirtualClock(machine);
  drvtest::PurgeRun first = drvtest::RunDrvpurge(machine, {}, cwd);
  ASSERT_EQ(first.status, 0) << first.err;
  std::filesystem::remove(cwd + "/drvpurge.log");
  const std::set<std::string> before = drvtest::MachineItems(machine);

  drvtest::PurgeRun second = drvtest::RunDrvpurge(machine, {}, cwd);
  EXPECT_EQ(second.status, 3012 & 0xFF);
  EXPECT_EQ(second.out, drvtest::ExpectedConsole(1, false, 3012));
  EXPECT_EQ(second.log, (std::vector<LogEntry>{Info("No Printer Driver Installed"), Final(3012)}));
  EXPECT_EQ(second.lastRun["handlesOpenAtExit"], nlohmann::json::object());
  EXPECT_EQ(second.lastRun.value("changes", std::vector<std::string>()), std::vector<std::string>());
  EXPECT_EQ(drvtest::MachineItems(machine), before);
}

}  // namespace
