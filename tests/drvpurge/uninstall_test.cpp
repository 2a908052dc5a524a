// The component set and the removal run: the order of the whole run, each result code, and how
// far the file step gets.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "print_system.h"
#include "q52plx.h"
#include "uninstall.h"
#include "winsim/control.h"
#include "winsim/files.h"
#include "winsim/print.h"
#include "winsim/services.h"

namespace {

using drvtest::Error;
using drvtest::Info;
using drvtest::json;
using drvtest::LogEntry;

const char kMonitor[] = "Vexa Q52 Language/Port Monitor";
const std::wstring kSystem = L"C:\\WINDOWS\\system32\\";
const std::wstring kDrivers = L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\";

bool OnMachine(const std::wstring& path) { return std::filesystem::exists(winsim::HostPath(path)); }

bool UninstallKeyPresent() {
  HKEY key = NULL;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key);
  if (key) RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// The files of the lists, in the order the run tries them.
std::vector<std::wstring> ListedFiles() {
  std::vector<std::wstring> out;
  for (const wchar_t* f : {L"vexaq52api.dll", L"vexaq52setup.exe", L"vexaktmon.dll", L"vexaktmonui.dll",
                           L"vexaktmon.cnt", L"vexaktmon.hlp"})
    out.push_back(kSystem + f);
  for (const wchar_t* f : {L"vexaktxps.dll", L"vexaktenu.cnt", L"vexaktenu.dll", L"vexaktgui.dll", L"vexaktwxp.dll",
                           L"vexaktenu.hlp", L"vexaktq52.pdf"})
    out.push_back(kDrivers + f);
  for (const wchar_t* f : {L"vexaq52api.dll", L"vexaq52setup.exe"}) out.push_back(std::wstring(L"C:\\Q52PLX\\") + f);
  return out;
}

// What each change of the run report touched, with repeats of one step folded into one.
std::vector<std::string> Steps(const std::vector<std::string>& changes) {
  const std::pair<const char*, const char*> kinds[] = {
      {"DeletePrinterDriver ", "driver"}, {"DeletePrinter ", "printer"}, {"StopService Spooler", "spooler"},
      {"StartService Spooler", "spooler"}, {"DeletePort ", "ports"},     {"DeleteMonitor ", "monitor"},
      {"DeleteFile ", "files"},           {"CreateDirectory ", "directory"}, {"SHFileOperation ", "directory"},
      {"RemoveDirectory ", "directory"},  {"SHDeleteKey ", "key"}};
  std::vector<std::string> out;
  for (const std::string& c : changes) {
    std::string kind = "other: " + c;
    for (const auto& k : kinds)
      if (c.rfind(k.first, 0) == 0) {
        kind = k.second;
        break;
      }
    if (out.empty() || out.back() != kind) out.push_back(kind);
  }
  return out;
}

// The lines of the file step: each list's outcome and the package's own lines.
std::vector<LogEntry> FileStep(const std::vector<LogEntry>& log) {
  std::vector<LogEntry> out;
  for (const LogEntry& e : log)
    if (e.text.find("RemoveDependentFiles") != std::string::npos || e.text.find("Q52PLX") != std::string::npos ||
        e.text.rfind("RegDeleteKey", 0) == 0 || e.text.rfind("SHFileOperation", 0) == 0 ||
        e.text.rfind("Remove vexa", 0) == 0 || e.text.find("Not Initialized!") != std::string::npos)
      out.push_back(e);
  return out;
}

const LogEntry kApiOk = Info("API RemoveDependentFiles OK");
const std::vector<LogEntry> kAllListsOk = {kApiOk, Info("Language/Port Monitor RemoveDependentFiles OK"),
                                           Info("Printer Driver RemoveDependentFiles OK"),
                                           Info("Printer RemoveDependentFiles OK"), kApiOk};
const std::vector<LogEntry> kPackageGone = {drvtest::Trace("C:\\Q52PLX already exists."),
                                            drvtest::Trace("SHFileOperation returns 0"), Info("C:\\Q52PLX removed..."),
                                            Info("RegDeleteKey returns 0")};

std::vector<LogEntry> Cat(std::vector<LogEntry> a, const std::vector<LogEntry>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class UninstallTest : public drvtest::PrintSystemTest {
 protected:
  // Runs a fresh component set; the log of the run goes to LOG.
  int RunSet(std::vector<LogEntry>& log) {
    int result = 1;
    log = LogOf([&] {
      CUninstallClass set;
      EXPECT_TRUE(set.IsCreated());
      result = set.Run();
    });
    return result;
  }
};

TEST_F(UninstallTest, TypicalRoadRemovesEverythingInItsOrder) {
  std::vector<LogEntry> log;
  EXPECT_EQ(RunSet(log), 0);
  std::vector<std::string> changes = winsim::Changes();
  EXPECT_EQ(Steps(changes),
            (std::vector<std::string>{"printer", "spooler", "driver", "spooler", "ports", "spooler", "monitor", "spooler",
                                      "files", "directory", "key"}));
  std::vector<std::string> deleted;
  for (const std::string& c : changes)
    if (c.rfind("DeleteFile ", 0) == 0) deleted.push_back(c.substr(11));
  std::vector<std::string> listed;
  for (const std::wstring& f : ListedFiles()) listed.push_back(drvtest::Narrow(f));
  EXPECT_EQ(deleted, listed);
  // Each list reports, the package's copy of the "API" list second; then the directory and key.
  EXPECT_EQ(FileStep(log), Cat(kAllListsOk, kPackageGone));
  EXPECT_FALSE(OnMachine(L"C:\\Q52PLX"));
  EXPECT_FALSE(UninstallKeyPresent());
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "running");
  drvtest::MachineFile doc = MachineDoc();
  EXPECT_TRUE(drvtest::Printers(doc).empty());
  EXPECT_TRUE(drvtest::Drivers(doc).empty());
  EXPECT_EQ(drvtest::Names(drvtest::Monitors(doc)), (std::vector<std::string>{"Local Port", "Standard TCP/IP Port"}));
}

// Takes the package's monitor and its ports off the machine; the printer keeps a port that stays.
void DropMonitor(drvtest::MachineFile& d) {
  auto& monitors = drvtest::Monitors(d);
  auto& ports = drvtest::Ports(d);
  monitors.erase(std::remove_if(monitors.begin(), monitors.end(), [](auto& m) { return m.name == kMonitor; }),
                 monitors.end());
  ports.erase(std::remove_if(ports.begin(), ports.end(), [](auto& p) { return p.monitor == kMonitor; }), ports.end());
  for (auto& p : drvtest::Printers(d)) p.port = "LPT1:";
}

TEST_F(UninstallTest, ResultCodes) {
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    int result;
    std::vector<std::string> steps;
    bool packageLeft;  // files, directory and key all still there
    unsigned messageBoxes;
  } rows[] = {
      // Not the package's machine: nothing is touched, though printer, monitor and files are there.
      {"driver absent", [](drvtest::MachineFile& d) { drvtest::Drivers(d).clear(); }, ERROR_PRINTER_NOT_FOUND, {}, true, 0},
      {"spooler stopped and unable to start",
       [](drvtest::MachineFile& d) {
         drvtest::SetServiceState(d, "Spooler", "stopped");
         for (auto& s : d.services)
           if (s.name == "Spooler") s.startError = ERROR_SERVICE_DISABLED;
       },
       ERROR_PRINTER_NOT_FOUND, {}, true, 0},
      {"spooler stopped, starts", [](drvtest::MachineFile& d) { drvtest::SetServiceState(d, "Spooler", "stopped"); }, 0,
       {"spooler", "printer", "spooler", "driver", "spooler", "ports", "spooler", "monitor", "spooler", "files",
        "directory", "key"},
       false, 0},
      {"jobs queued",
       [](drvtest::MachineFile& d) {
         for (auto& p : drvtest::Printers(d)) p.jobs = 3;
       },
       -30, {}, true, 1},
      {"one job queued",
       [](drvtest::MachineFile& d) {
         for (auto& p : drvtest::Printers(d)) p.jobs = 1;
       },
       -30, {}, true, 1},
      {"printer absent", [](drvtest::MachineFile& d) { drvtest::Printers(d).clear(); }, 0,
       {"spooler", "driver", "spooler", "ports", "spooler", "monitor", "spooler", "files", "directory", "key"}, false, 0},
      // The printer and the driver went before the monitor was found missing.
      {"monitor absent", DropMonitor, 5, {"printer", "spooler", "driver"}, true, 0},
      // The spooler refuses to delete the printer: the driver and the monitor it holds stay too, and
      // so does every file of the package, instead of a run that says 0 over a broken printer.
      {"printer deletion refused",
       [](drvtest::MachineFile& d) { d["faults"] = json::array({{{"function", "DeletePrinter"}, {"call", 1}, {"error", 5}}}); }, 5,
       {"spooler"}, true, 0},
      // A second printer keeps the driver; the list that would show it can't be had after the
      // removals. That is no sign the driver went: the package's files stay.
      {"driver list unreadable after the removals",
       [](drvtest::MachineFile& d) {
         drvtest::Printers(d).push_back(drvtest::PrinterOn("Kitchen", "Vexa Q52", "LPT1:", 0));
         d["faults"] = json::array(
             {{{"function", "EnumPrinterDriversW"}, {"call", 6}, {"error", ERROR_INSUFFICIENT_BUFFER}}});
       },
       5, {"printer", "spooler", "ports", "spooler", "monitor", "spooler"}, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    std::vector<LogEntry> log;
    EXPECT_EQ(RunSet(log), row.result);
    EXPECT_EQ(Steps(winsim::Changes()), row.steps);
    EXPECT_EQ(winsim::MessageBoxes().size(), row.messageBoxes);
    bool startTried = std::find(log.begin(), log.end(), Error("Spooler not started. Attempting to start spooler")) !=
                      log.end();
    EXPECT_EQ(startTried, std::string(row.name).rfind("spooler stopped", 0) == 0);
    for (const std::wstring& f : ListedFiles()) EXPECT_EQ(OnMachine(f), row.packageLeft) << drvtest::Narrow(f);
    EXPECT_EQ(OnMachine(L"C:\\Q52PLX"), row.packageLeft);
    EXPECT_EQ(UninstallKeyPresent(), row.packageLeft);
    if (row.packageLeft) {
      EXPECT_EQ(FileStep(log), std::vector<LogEntry>{});
    }
  }
}

// How far the file step gets; none of it changes the result.
TEST_F(UninstallTest, FileStepStopsAtAListThatFails) {
  const std::wstring api = kSystem + L"vexaq52api.dll";
  struct Row {
    const char* name;
    std::function<void()> setUp;
    std::vector<LogEntry> fileStep;
    std::vector<std::wstring> left;
    std::vector<std::wstring> gone;
    bool keyLeft;
  } rows[] = {
      // The first file of the first list: nothing of the file step is deleted.
      {"API library in use",
       [&] { winsim::SetFileInUse(api, true); },
       {Error("Remove vexaq52api.dll Failed. GetLastError():32"), Info("API RemoveDependentFiles Failed")},
       {api, kSystem + L"vexaq52setup.exe", kSystem + L"vexaktmon.dll", kDrivers + L"vexaktxps.dll",
        L"C:\\Q52PLX\\vexaq52api.dll", L"C:\\Q52PLX\\Q52Setup.ini"},
       {},
       true},
      // A list further on: the lists before it are done, the rest stays.
      {"driver file read-only",
       [&] { winsim::SetFileReadOnly(kDrivers + L"vexaktenu.dll", true); },
       {kApiOk, Info("Language/Port Monitor RemoveDependentFiles OK"),
        Error("Remove vexaktenu.dll Failed. GetLastError():5"), Info("Printer Driver RemoveDependentFiles Failed")},
       {kDrivers + L"vexaktenu.dll", kDrivers + L"vexaktgui.dll", L"C:\\Q52PLX\\vexaq52api.dll"},
       {api, kSystem + L"vexaktmon.dll", kDrivers + L"vexaktxps.dll", kDrivers + L"vexaktenu.cnt"},
       true},
      // The driver component could not learn its directory: the file step says so and stops there.
      {"driver component unbound",
       [] { winsim::InjectFault("GetPrinterDriverDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY); },
       {kApiOk, Info("Language/Port Monitor RemoveDependentFiles OK"),
        Error("CUninstallClass::RemoveFiles - Printer Driver Not Initialized!")},
       {kDrivers + L"vexaktxps.dll", L"C:\\Q52PLX\\vexaq52api.dll"},
       {api, kSystem + L"vexaktmon.dll"},
       true},
      // The package's directory: its copy of the "API" list is the second "API" line, and the
      // directory and the key still go without it.
      {"install directory absent",
       [] { std::filesystem::remove_all(winsim::HostPath(L"C:\\Q52PLX")); },
       Cat(kAllListsOk, {drvtest::Trace("SHFileOperation returns 0"), Info("C:\\Q52PLX removed..."),
                         Info("RegDeleteKey returns 0")}),
       {},
       {api, L"C:\\Q52PLX"},
       false},
      // A junction planted in place of the directory: its list would delete a namesake of the
      // package's files behind it. Only the link goes, then the key.
      {"install directory is a junction",
       [] {
         std::filesystem::remove_all(winsim::HostPath(L"C:\\Q52PLX"));
         std::filesystem::create_directory(winsim::HostPath(L"C:\\Shared"));
         for (const wchar_t* name : {L"C:\\Shared\\vexaq52api.dll", L"C:\\Shared\\vexaq52setup.exe"})
           std::ofstream(winsim::HostPath(name)) << "another program's";
         std::filesystem::create_directory_symlink(winsim::HostPath(L"C:\\Shared"), winsim::HostPath(L"C:\\Q52PLX"));
       },
       {kApiOk, Info("Language/Port Monitor RemoveDependentFiles OK"), Info("Printer Driver RemoveDependentFiles OK"),
        Info("Printer RemoveDependentFiles OK"), drvtest::Trace("C:\\Q52PLX already exists."),
        Error("RemoveInstallDirectory - C:\\Q52PLX is a link to another place: the link was removed, nothing behind "
              "it."),
        Info("RegDeleteKey returns 0")},
       {L"C:\\Shared\\vexaq52api.dll", L"C:\\Shared\\vexaq52setup.exe"},
       {api, L"C:\\Q52PLX"},
       false},
      {"uninstall key absent",
       [] { ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey), ERROR_SUCCESS); },
       Cat(kAllListsOk, {drvtest::Trace("C:\\Q52PLX already exists."), drvtest::Trace("SHFileOperation returns 0"),
                         Info("C:\\Q52PLX removed..."), Error("RegDeleteKey returns 2")}),
       {},
       {api, L"C:\\Q52PLX"},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    row.setUp();
    std::vector<LogEntry> log;
    EXPECT_EQ(RunSet(log), 0);
    EXPECT_EQ(FileStep(log), row.fileStep);
    for (const std::wstring& f : row.left) EXPECT_TRUE(OnMachine(f)) << drvtest::Narrow(f);
    for (const std::wstring& f : row.gone) EXPECT_FALSE(OnMachine(f)) << drvtest::Narrow(f);
    EXPECT_EQ(UninstallKeyPresent(), row.keyLeft);
  }
}

}  // namespace
