// The printer-driver component: finding the driver, deleting it after a spooler restart, and
// adding it from the package's files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "print_system.h"
#include "printerdriver.h"
#include "winsim/control.h"
#include "winsim/print.h"

namespace {

using drvtest::Debug;
using drvtest::Drivers;
using drvtest::Error;
using drvtest::Info;
using drvtest::json;
using drvtest::LogEntry;
using drvtest::Printers;

const LogEntry kFound = Info("Printer Driver Vexa Q52 Installed");
const LogEntry kNotFound = Info("No Printer Driver Installed");
const LogEntry kStopped = Debug("Spooler Service Stopped");
const LogEntry kStarted = Debug("Spooler Service Started");

class PrinterDriverTest : public drvtest::PrintSystemTest {};

TEST_F(PrinterDriverTest, RemoveAfterASpoolerRestart) {
  const std::vector<std::string>& restart = drvtest::kSpoolerRestart;
  auto plus = [](std::vector<std::string> a, const std::string& b) {
    a.push_back(b);
    return a;
  };
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    int result;
    std::vector<LogEntry> log;
    std::vector<std::string> changes;
    std::vector<std::string> driversAfter;
  } rows[] = {
      {"driver absent",
       [](drvtest::MachineFile& d) {
         Printers(d).clear();
         Drivers(d).clear();
       },
       ERROR_PRINTER_NOT_FOUND, {kNotFound}, {}, {}},
      {"driver free", [](drvtest::MachineFile& d) { Printers(d).clear(); }, 0,
       {kFound, kStopped, kStarted, Info("Printer Driver \"Vexa Q52\" removal OK.")},
       plus(restart, "DeletePrinterDriver Vexa Q52"), {}},
      {"name in other letter case",
       [](drvtest::MachineFile& d) {
         Printers(d).clear();
         Drivers(d)[0].name = "VEXA q52";
       },
       0, {kFound, kStopped, kStarted, Info("Printer Driver \"Vexa Q52\" removal OK.")},
       plus(restart, "DeletePrinterDriver VEXA q52"), {}},
      // The printer was left in place: the spooler refuses, and the removal still counts as done.
      {"driver in use", [](drvtest::MachineFile&) {}, 0,
       {kFound, kStopped, kStarted, Error("Printer Driver \"Vexa Q52\" removal Failed. GetLastError():3001")}, restart,
       {"Vexa Q52"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    CPrinterDriverClass driver;
    ASSERT_TRUE(driver.initialized());
    EXPECT_STREQ(driver.targetDirectory(), L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86");
    int result = -1;
    EXPECT_EQ(LogOf([&] { result = driver.Remove(); }), row.log);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    drvtest::MachineFile doc = MachineDoc();
    EXPECT_EQ(drvtest::Names(Drivers(doc)), row.driversAfter);
  }
}

TEST_F(PrinterDriverTest, ListingFailureCountsAsNotInstalled) {
  winsim::InjectFault("EnumPrinterDriversW", 2, ERROR_ACCESS_DENIED);
  CPrinterDriverClass driver;
  bool installed = true;
  EXPECT_EQ(LogOf([&] { installed = driver.IsInstalled(); }),
            (std::vector<LogEntry>{Error("IsPrinterDriverInstalled - EnumPrinterDrivers #2 Failed. GetLastError():5"),
                                   kNotFound}));
  EXPECT_FALSE(installed);
}

TEST_F(PrinterDriverTest, InstallAddsTheDriverFromTheDriverDirectory) {
  const LogEntry filesOk = Info("Printer Driver CheckForRequiredFiles OK");
  const LogEntry added = Info("Printer Driver \"Vexa Q52\" installation OK.");
  auto noPrinter = [](drvtest::MachineFile& d) { Printers(d).clear(); };
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    const char* fault;
    int result;
    std::vector<LogEntry> log;
    std::vector<std::string> changes;
  } rows[] = {
      {"no driver before",
       [](drvtest::MachineFile& d) {
         Printers(d).clear();
         Drivers(d).clear();
       },
       nullptr, 0, {filesOk, kNotFound, added}, {"AddPrinterDriver Vexa Q52"}},
      {"old driver replaced", noPrinter, nullptr, 0,
       {filesOk, kFound, Info("Removing Printer Driver..."), Info("Printer Driver \"Vexa Q52\" removal OK."), added},
       {"DeletePrinterDriver Vexa Q52", "AddPrinterDriver Vexa Q52"}},
      // The old driver is still used by the printer: it stays, nothing is added, and that counts
      // as done.
      {"old driver in use", [](drvtest::MachineFile&) {}, nullptr, 0,
       {filesOk, kFound, Info("Removing Printer Driver..."),
        Error("Printer Driver \"Vexa Q52\" removal Failed. GetLastError():3001")},
       {}},
      {"add refused",
       [](drvtest::MachineFile& d) {
         Printers(d).clear();
         Drivers(d).clear();
       },
       "AddPrinterDriverExW", ERROR_INSTALL_FAILURE,
       {filesOk, kNotFound, Error("Printer Driver \"Vexa Q52\" failed. GetLastError():5"),
        Info("Printer Driver \"Vexa Q52\" installation Failed.")},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    UseSourceFolder(kPrinterDriverComponent);
    // The help file is missing from the driver directory and comes from the source folder.
    ASSERT_TRUE(drvtest::RemoveMachineFile(L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktenu.hlp"));
    if (row.fault) winsim::InjectFault(row.fault, 1, ERROR_ACCESS_DENIED);
    CPrinterDriverClass driver;
    int result = -1;
    EXPECT_EQ(LogOf([&] { result = driver.Install(); }), row.log);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    EXPECT_EQ(testsupport::ReadFile(winsim::HostPath(L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktenu.hlp")),
              "new vexaktenu.hlp");
    drvtest::MachineFile doc = MachineDoc();
    if (row.result == 0 && !row.changes.empty()) {
      ASSERT_EQ(Drivers(doc).size(), 1u);
      const winsim::model::Driver& d = Drivers(doc)[0];
      EXPECT_EQ(d.name, "Vexa Q52");
      EXPECT_EQ(d.version, 3u);
      EXPECT_EQ(d.environment, "Windows NT x86");
      EXPECT_EQ(d.driverPath, "vexaktwxp.dll");
      EXPECT_EQ(d.dataFile, "vexaktq52.pdf");
      EXPECT_EQ(d.configFile, "vexaktgui.dll");
      EXPECT_EQ(d.helpFile, "vexaktenu.hlp");
      // Exactly the three names: the list reached the spooler closed by its second NUL.
      EXPECT_EQ(d.dependentFiles, (std::vector<std::string>{"vexaktxps.dll", "vexaktenu.cnt", "vexaktenu.dll"}));
      EXPECT_EQ(d.monitor, "Vexa Q52 Language/Port Monitor");
      EXPECT_EQ(d.defaultDataType, "RAW");
    }
  }
}

TEST_F(PrinterDriverTest, InstallStopsWhenAFileCanNotBeHad) {
  EditMachine([](drvtest::MachineFile& d) {
    Printers(d).clear();
    Drivers(d).clear();
  });
  UseSourceFolder(kPrinterDriverComponent, {L"vexaktgui.dll"});
  ASSERT_TRUE(drvtest::RemoveMachineFile(L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\vexaktgui.dll"));
  CPrinterDriverClass driver;
  int result = -1;
  EXPECT_EQ(LogOf([&] { result = driver.Install(); }),
            (std::vector<LogEntry>{
                Error("CopyRequiredFile(PlxBaseDriver\\basecomponents\\vexaktgui.dll) Failed, GetLastError():2"),
                Info("Printer Driver CheckForRequiredFiles Failed")}));
  EXPECT_EQ(result, ERROR_INSTALL_FAILURE);
  EXPECT_TRUE(winsim::Changes().empty());
}

}  // namespace
