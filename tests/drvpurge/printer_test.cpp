// The printer component: finding the driver's printer, refusing while jobs are queued, deleting
// it, and adding one on the monitor's port.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "print_system.h"
#include "printer.h"
#include "winsim/control.h"
#include "winsim/print.h"

namespace {

using drvtest::Error;
using drvtest::Info;
using drvtest::json;
using drvtest::LogEntry;
using drvtest::Printers;
using drvtest::Trace;

const char kJobsLine[] = "There are still existing print jobs in the printer.";
const std::string kLongName = "Q52 " + std::string(300, 'x');

using drvtest::PrinterOn;

class PrinterTest : public drvtest::PrintSystemTest {};

TEST_F(PrinterTest, RemoveByWhatTheSpoolerHolds) {
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    const char* fault;  // a failing call, or null
    int result;
    std::vector<LogEntry> log;
    std::vector<std::string> changes;
    std::vector<std::string> printersAfter;  // "name/jobs"
    bool box;
  } rows[] = {
      {"no printer of the driver",
       [](drvtest::MachineFile& d) { Printers(d) = {PrinterOn("Receipts", "Generic / Text Only", "LPT1:", 0)}; },
       nullptr, ERROR_PRINTER_NOT_FOUND, {Info("No Printer Installed")}, {}, {"Receipts/0"}, false},
      {"empty queue", [](drvtest::MachineFile&) {}, nullptr, 0,
       {Info("Printer \"Vexa Q52\" Installed"), Info("Printer \"Vexa Q52\" Installed"),
        Info("Printer \"Vexa Q52\" Removed")},
       {"DeletePrinter Vexa Q52"}, {}, false},
      {"three jobs queued", [](drvtest::MachineFile& d) { Printers(d)[0].jobs = 3; }, nullptr, -30,
       {Info("Printer \"Vexa Q52\" Installed"), Info("Printer \"Vexa Q52\" Installed"), Error(kJobsLine)},
       {}, {"Vexa Q52/3"}, true},
      {"one job queued", [](drvtest::MachineFile& d) { Printers(d)[0].jobs = 1; }, nullptr, -30,
       {Info("Printer \"Vexa Q52\" Installed"), Info("Printer \"Vexa Q52\" Installed"), Error(kJobsLine)},
       {}, {"Vexa Q52/1"}, true},
      // A name longer than any fixed buffer is acted on whole: cut, it would be the other
      // printer's name, and that printer would be checked and deleted in its place.
      {"name longer than the buffer",
       [](drvtest::MachineFile& d) {
         Printers(d) = {PrinterOn(kLongName, "Vexa Q52", "Q52USB001:", 0),
                        PrinterOn(kLongName.substr(0, MAX_PATH - 1), "Generic / Text Only", "LPT1:", 2)};
       },
       nullptr, 0,
       {Info("Printer \"" + kLongName + "\" Installed"), Info("Printer \"" + kLongName + "\" Installed"),
        Info("Printer \"" + kLongName + "\" Removed")},
       {"DeletePrinter " + kLongName}, {kLongName.substr(0, MAX_PATH - 1) + "/2"}, false},
      // Only the first printer of the driver counts, whatever its name and the case of its driver.
      {"two printers of the driver",
       [](drvtest::MachineFile& d) {
         Printers(d) = {PrinterOn("Front Desk", "VEXA q52", "Q52USB001:", 0), PrinterOn("Vexa Q52", "Vexa Q52", "Q52USB002:", 2)};
       },
       nullptr, 0,
       {Info("Printer \"Front Desk\" Installed"), Info("Printer \"Front Desk\" Installed"),
        Info("Printer \"Front Desk\" Removed")},
       {"DeletePrinter Front Desk"}, {"Vexa Q52/2"}, false},
      {"deletion refused", [](drvtest::MachineFile&) {}, "DeletePrinter", 0,
       {Info("Printer \"Vexa Q52\" Installed"), Info("Printer \"Vexa Q52\" Installed"),
        Error("Unable to delete \"Vexa Q52\"")},
       {}, {"Vexa Q52/0"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    if (row.fault) winsim::InjectFault(row.fault, 1, ERROR_ACCESS_DENIED);
    CPrinterClass printer;
    ASSERT_TRUE(printer.initialized());
    int result = 1;
    EXPECT_EQ(LogOf([&] { result = printer.Remove(); }), row.log);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    std::vector<winsim::MessageBoxRecord> boxes = winsim::MessageBoxes();
    if (row.box) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, L"There are still existing print jobs in the printer.\nCancel them to continue...");
      EXPECT_EQ(boxes[0].caption, L"Unable to Remove Printer!");
      EXPECT_EQ(boxes[0].type, static_cast<uint32_t>(MB_OK | MB_ICONEXCLAMATION));
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{}));
    std::vector<std::string> after;
    drvtest::MachineFile doc = MachineDoc();
    for (const auto& p : Printers(doc)) after.push_back(p.name + "/" + std::to_string(p.jobs));
    EXPECT_EQ(after, row.printersAfter);
  }
}

// When the queue can't be looked at, the printer stays and the run is told jobs may remain.
TEST_F(PrinterTest, RemoveKeepsThePrinterWhoseQueueCannotBeRead) {
  const LogEntry found = Info("Printer \"Vexa Q52\" Installed");
  const std::vector<LogEntry> unlisted = {Error("IsPrinterInstalled - EnumPrinters #2 Failed. GetLastError():5"),
                                          Info("No Printer Installed")};
  struct Row {
    const char* function;
    unsigned nth;
    std::vector<LogEntry> log;
  } rows[] = {
      {"OpenPrinterW", 1, {found, found, Error("KillPrintJobs - OpenPrinter failed. GetLastError():5")}},
      {"GetPrinterW", 2, {found, found, Error("KillPrintJobs - GetPrinter failed. GetLastError():5")}},
      {"HeapAlloc", 1, {found, found, Error("KillPrintJobs - HeapAlloc Failed.")}},
      // A printer list that can't be had is no "none", in either search.
      {"EnumPrintersW", 2, unlisted},
      {"EnumPrintersW", 4, {found, unlisted[0], unlisted[1]}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.function) + " #" + std::to_string(row.nth));
    FreshMachine();
    winsim::InjectFault(row.function, row.nth, ERROR_ACCESS_DENIED);
    CPrinterClass printer;
    int result = 0;
    EXPECT_EQ(LogOf([&] { result = printer.Remove(); }), row.log);
    EXPECT_EQ(result, -30);
    EXPECT_TRUE(winsim::Changes().empty());
    EXPECT_TRUE(winsim::MessageBoxes().empty());
    EXPECT_EQ(winsim::PrintJobs(L"Vexa Q52"), 0) << "the printer must stay";
  }
}

TEST_F(PrinterTest, ListingFailures) {
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    const char* fault;
    std::vector<LogEntry> log;
    bool listed;
  } rows[] = {
      // The size query fails without a size: nothing is allocated and only the outcome is logged.
      {"spooler stopped", [](drvtest::MachineFile& d) { drvtest::SetServiceState(d, "Spooler", "stopped"); }, nullptr,
       {Info("No Printer Installed")}, false},
      {"second call refused", [](drvtest::MachineFile&) {}, "EnumPrintersW",
       {Error("IsPrinterInstalled - EnumPrinters #2 Failed. GetLastError():5"), Info("No Printer Installed")}, false},
      // The same line, but this time the spooler said so.
      {"no printers at all", [](drvtest::MachineFile& d) { Printers(d).clear(); }, nullptr, {Info("No Printer Installed")},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    if (row.fault) winsim::InjectFault(row.fault, 2, ERROR_ACCESS_DENIED);
    CPrinterClass printer;
    CSpoolerName name;
    bool found = true, listed = !row.listed;
    EXPECT_EQ(LogOf([&] { found = printer.IsPrinterInstalled(name, false, &listed); }), row.log);
    EXPECT_FALSE(found);
    EXPECT_EQ(listed, row.listed);
    EXPECT_STREQ(name.Get(), L"");
  }
}

TEST_F(PrinterTest, InstallAddsThePrinterOnTheMonitorsPort) {
  const std::vector<LogEntry> portTrace = {
      Trace("PortInfo2(0) has pMonitorName: \"Local Port\". "),
      Trace("PortInfo2(1) has pMonitorName: \"Local Port\". "),
      Trace("PortInfo2(2) has pMonitorName: \"Local Port\". "),
      Trace("PortInfo2(3) has pMonitorName: \"Vexa Q52 Language/Port Monitor\". "),
      Trace("PortName: \"Q52USB001:\" installed."),
      Trace("PortInfo2(4) has pMonitorName: \"Vexa Q52 Language/Port Monitor\". "),
      Trace("PortName: \"Q52USB002:\" installed."),
  };
  auto concat = [](std::vector<LogEntry> a, const std::vector<LogEntry>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const LogEntry filesOk = Info("Printer CheckForRequiredFiles OK");
  const LogEntry added = Info("Printer \"Vexa Q52\" Successfully Added.");
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    const char* fault;
    int result;
    std::vector<LogEntry> log;
    std::vector<std::string> changes;
    std::vector<std::string> printersAfter;  // "name on port"
  } rows[] = {
      {"no printer before", [](drvtest::MachineFile& d) { Printers(d).clear(); }, nullptr, 0,
       concat(concat({filesOk, Info("No Printer Installed")}, portTrace), {added}), {"AddPrinter Vexa Q52"},
       {"Vexa Q52 on Q52USB002:"}},
      {"old printer replaced", [](drvtest::MachineFile&) {}, nullptr, 0,
       concat(concat({filesOk, Info("Printer \"Vexa Q52\" Installed"), Info("Removing Existing Printer..."),
                      Info("Printer \"Vexa Q52\" Removed")},
                     portTrace),
              {added}),
       {"DeletePrinter Vexa Q52", "AddPrinter Vexa Q52"}, {"Vexa Q52 on Q52USB002:"}},
      // The old printer could not go: it stays and no second one is added.
      {"old printer stays", [](drvtest::MachineFile&) {}, "DeletePrinter", 0,
       {filesOk, Info("Printer \"Vexa Q52\" Installed"), Info("Removing Existing Printer..."),
        Error("Unable to delete \"Vexa Q52\"")},
       {}, {"Vexa Q52 on Q52USB001:"}},
      {"monitor without ports",
       [](drvtest::MachineFile& d) {
         Printers(d).clear();
         drvtest::Ports(d) = {drvtest::PortOf("LPT1:", "Local Port", "Local Port")};
       },
       nullptr, ERROR_INSTALL_FAILURE,
       {filesOk, Info("No Printer Installed"), Trace("PortInfo2(0) has pMonitorName: \"Local Port\". ")}, {}, {}},
      {"add refused", [](drvtest::MachineFile& d) { Printers(d).clear(); }, "AddPrinterW", ERROR_INSTALL_FAILURE,
       concat(concat({filesOk, Info("No Printer Installed")}, portTrace), {Error("AddPrinter Failed. GetLastError():5")}),
       {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    if (row.fault) winsim::InjectFault(row.fault, 1, ERROR_ACCESS_DENIED);
    CPrinterClass printer;
    int result = -1;
    EXPECT_EQ(LogOf([&] { result = printer.Install(); }), row.log);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{}));
    std::vector<std::string> after;
    drvtest::MachineFile doc = MachineDoc();
    for (const auto& p : Printers(doc)) after.push_back(p.name + " on " + p.port);
    EXPECT_EQ(after, row.printersAfter);
  }
}

}  // namespace
