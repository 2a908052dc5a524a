// The monitor component: finding the monitor and its ports, deleting them between spooler
// restarts, adding the monitor; and the listings of all three components while the spooler is
// down.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "portmonitor.h"
#include "print_system.h"
#include "printer.h"
#include "printerdriver.h"
#include "winsim/control.h"
#include "winsim/print.h"
#include "winsim/services.h"

namespace {

using drvtest::Debug;
using drvtest::Error;
using drvtest::Info;
using drvtest::json;
using drvtest::LogEntry;
using drvtest::Ports;
using drvtest::Printers;
using drvtest::Trace;

const std::string kMonitor = "Vexa Q52 Language/Port Monitor";
const LogEntry kFound = Info("Printer Monitor \"" + kMonitor + "\" is installed");
const LogEntry kNotFound = Info("Monitor \"" + kMonitor + "\" not installed");
const LogEntry kStopped = Debug("Spooler Service Stopped");
const LogEntry kStarted = Debug("Spooler Service Started");

LogEntry PortTrace(int i, const std::string& monitor) {
  return Trace("PortInfo2(" + std::to_string(i) + ") has pMonitorName: \"" + monitor + "\". ");
}
const std::vector<LogEntry> kLocalPorts = {PortTrace(0, "Local Port"), PortTrace(1, "Local Port"),
                                           PortTrace(2, "Local Port")};

std::vector<LogEntry> Cat(std::initializer_list<std::vector<LogEntry>> parts) {
  std::vector<LogEntry> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Takes the package's ports, and with MONITOR_TOO its monitor, off the machine.
void DropPackagePorts(drvtest::MachineFile& d, bool monitorToo = false) {
  auto& ports = Ports(d);
  ports.erase(std::remove_if(ports.begin(), ports.end(), [](auto& p) { return p.monitor == kMonitor; }), ports.end());
  auto& monitors = drvtest::Monitors(d);
  if (monitorToo)
    monitors.erase(std::remove_if(monitors.begin(), monitors.end(), [](auto& m) { return m.name == kMonitor; }),
                   monitors.end());
}

class MonitorTest : public drvtest::PrintSystemTest {};

TEST_F(MonitorTest, RemoveDeletesPortsThenMonitorBetweenSpoolerRestarts) {
  const std::vector<std::string>& restart = drvtest::kSpoolerRestart;
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    int result;
    std::vector<LogEntry> log;
    std::vector<std::string> changes;
    std::vector<std::string> portsAfter, monitorsAfter;
  } rows[] = {
      {"two free ports", [](drvtest::MachineFile& d) { Printers(d).clear(); }, 0,
       Cat({{kFound, kStopped, kStarted},
            kLocalPorts,
            {PortTrace(3, kMonitor), Trace("PortName: \"Q52USB001:\" installed."), Trace("Removing Port \"Q52USB001:\"..."),
             Info("Port \"Q52USB001:\" removed."), PortTrace(4, kMonitor), Trace("PortName: \"Q52USB002:\" installed."),
             Trace("Removing Port \"Q52USB002:\"..."), Info("Port \"Q52USB002:\" removed."), kStopped, kStarted,
             Info("Monitor \"" + kMonitor + "\" removed"), kStopped, kStarted}}),
       Cat({restart, {"DeletePort Q52USB001:", "DeletePort Q52USB002:"}, restart, {"DeleteMonitor " + kMonitor}, restart}),
       {"LPT1:", "COM1:", "FILE:"}, {"Local Port", "Standard TCP/IP Port"}},
      // The printer still prints to the first port: the walk ends there, the second port is not
      // looked at, and the monitor's deletion is tried all the same.
      {"first port in use", [](drvtest::MachineFile&) {}, 0,
       Cat({{kFound, kStopped, kStarted},
            kLocalPorts,
            {PortTrace(3, kMonitor), Trace("PortName: \"Q52USB001:\" installed."), Trace("Removing Port \"Q52USB001:\"..."),
             Error("Port: \"Q52USB001:\" removal failed. GetLastError():170"), kStopped, kStarted,
             Error("Monitor \"" + kMonitor + "\" remove failed. GetLastError():3008"), kStopped, kStarted}}),
       Cat({restart, restart, restart}), {"LPT1:", "COM1:", "FILE:", "Q52USB001:", "Q52USB002:"},
       {"Local Port", "Standard TCP/IP Port", kMonitor}},
      {"no ports", [](drvtest::MachineFile& d) {
         Printers(d).clear();
         DropPackagePorts(d);
       },
       0, Cat({{kFound, kStopped, kStarted}, kLocalPorts, {kStopped, kStarted, Info("Monitor \"" + kMonitor + "\" removed"),
                                                            kStopped, kStarted}}),
       Cat({restart, restart, {"DeleteMonitor " + kMonitor}, restart}), {"LPT1:", "COM1:", "FILE:"},
       {"Local Port", "Standard TCP/IP Port"}},
      // Not installed: the spooler is left alone and no port is looked at.
      {"monitor absent", [](drvtest::MachineFile& d) {
         DropPackagePorts(d, true);
         Printers(d).clear();
       },
       ERROR_PRINTER_NOT_FOUND, {kNotFound}, {}, {"LPT1:", "COM1:", "FILE:"}, {"Local Port", "Standard TCP/IP Port"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    CMonitorClass monitor;
    ASSERT_TRUE(monitor.initialized());
    int result = -1;
    EXPECT_EQ(LogOf([&] { result = monitor.Remove(); }), row.log);
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    EXPECT_EQ(winsim::ServiceStateName("Spooler"), "running");
    drvtest::MachineFile doc = MachineDoc();
    EXPECT_EQ(drvtest::Names(Ports(doc)), row.portsAfter);
    EXPECT_EQ(drvtest::Names(drvtest::Monitors(doc)), row.monitorsAfter);
  }
}

TEST_F(MonitorTest, PortSearchKeepsTheLastPortWithItsWholeName) {
  const std::string longPort = "Q52USB:" + std::string(300, 'p');
  EditMachine([&](drvtest::MachineFile& d) {
    Printers(d).clear();
    // A port without a monitor name is passed over without a line.
    Ports(d).push_back(drvtest::PortOf("NUL:", "", "none"));
    Ports(d).push_back(drvtest::PortOf(longPort, "VEXA Q52 LANGUAGE/PORT MONITOR", "long"));
  });
  CMonitorClass monitor;
  CSpoolerName port;
  bool found = false;
  std::vector<LogEntry> log = LogOf([&] { found = monitor.IsPortAdded(port, false); });
  EXPECT_TRUE(found);
  EXPECT_EQ(drvtest::Narrow(port.Get()), longPort);
  // Ports of other monitors show only in trace lines; the port without a monitor not at all.
  std::vector<LogEntry> expected = Cat({kLocalPorts,
                                        {PortTrace(3, kMonitor), Trace("PortName: \"Q52USB001:\" installed."),
                                         PortTrace(4, kMonitor), Trace("PortName: \"Q52USB002:\" installed."),
                                         PortTrace(6, "VEXA Q52 LANGUAGE/PORT MONITOR"),
                                         Trace("PortName: \"" + longPort + "\" installed.")}});
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(winsim::Changes().empty());

  // Deleting goes by the spooler's own name, so the long port goes too.
  CSpoolerName left;
  EXPECT_FALSE(monitor.IsPortAdded(left, true));
  EXPECT_EQ(winsim::Changes(),
            (std::vector<std::string>{"DeletePort Q52USB001:", "DeletePort Q52USB002:", "DeletePort " + longPort}));
  EXPECT_EQ(drvtest::Narrow(left.Get()), longPort);
}

// Every listing while the spooler is down. Where a size of 0 means none (printers, drivers) only
// the outcome is logged; the monitor and port listings make the second call and log its failure.
TEST_F(MonitorTest, ListingsWhileTheSpoolerIsStopped) {
  EditMachine([](drvtest::MachineFile& d) { drvtest::SetServiceState(d, "Spooler", "stopped"); });
  CMonitorClass monitor;
  CPrinterClass printer;
  CPrinterDriverClass driver;  // its directory comes from the spooler too
  EXPECT_FALSE(driver.initialized());
  CSpoolerName name;
  bool listed = true;
  struct Row {
    const char* name;
    std::function<bool()> call;
    std::vector<LogEntry> log;
    bool tellsListing;  // whether the call says that its list could not be had
  } rows[] = {
      {"monitors", [&] { return monitor.IsMonitorInstalled(&listed); },
       {Error("IsMonitorInstalled - EnumMonitors #2 Failed. GetLastError():1722"), kNotFound}, true},
      {"ports", [&] { return monitor.IsPortAdded(name, false); },
       {Error("IsPortAdded - EnumPorts #2 Failed. GetLastError():1722")}, false},
      {"printers", [&] { return printer.IsPrinterInstalled(name, false, &listed); }, {Info("No Printer Installed")},
       true},
      {"drivers", [&] { return driver.IsPrinterDriverInstalled(false, &listed); },
       {Info("No Printer Driver Installed")}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    bool result = true;
    listed = true;
    EXPECT_EQ(LogOf([&] { result = row.call(); }), row.log);
    EXPECT_FALSE(result);
    // "Not installed" here is no answer, and the caller that must know an object is gone hears so.
    if (row.tellsListing) {
      EXPECT_FALSE(listed);
    }
  }
  EXPECT_STREQ(name.Get(), L"");
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "stopped");
}

// GetSystemDirectoryW answers a buffer too small with the size it needs and an empty buffer: a
// component bound to that would look for its files at the drive's root. Each of the three that
// live in the system directory stays unbound instead.
TEST_F(MonitorTest, SystemDirectoryComponentsBindOnlyToADirectoryThatFits) {
  const std::string root = "C:\\WINDOWS\\";
  struct Row {
    size_t length;
    bool bound;
  } rows[] = {{MAX_PATH - 1, true}, {MAX_PATH, false}, {308, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    const std::string directory = root + std::string(row.length - root.size(), 's');
    EditMachine([&](drvtest::MachineFile& d) { d["systemDirectory"] = directory; });
    CApiClass api;
    CMonitorClass monitor;
    CPrinterClass printer;
    const CGenericClass* const components[] = {&api, &monitor, &printer};
    for (const CGenericClass* component : components) {
      EXPECT_EQ(component->initialized(), row.bound);
      EXPECT_EQ(drvtest::Narrow(component->targetDirectory()), row.bound ? directory : "");
    }
  }
}

TEST_F(MonitorTest, InstallAddsTheMonitorFromItsFiles) {
  const std::vector<std::string>& restart = drvtest::kSpoolerRestart;
  const LogEntry filesOk = Info("Language/Port Monitor CheckForRequiredFiles OK");
  const LogEntry installed = Info("Monitor \"" + kMonitor + "\" Installed.");
  auto absent = [](drvtest::MachineFile& d) {
    DropPackagePorts(d, true);
    Printers(d).clear();
  };
  struct Row {
    const char* name;
    std::function<void(drvtest::MachineFile&)> edit;
    std::vector<std::wstring> missingSources;
    bool dllInSystem;  // false: the DLL must be copied from the source folder
    const char* fault;
    int result;
    std::vector<LogEntry> tail;  // the log from the monitor search on
    std::vector<std::string> changes;
  } rows[] = {
      {"monitor absent", absent, {}, false, nullptr, 0, {kNotFound, installed}, {"AddMonitor " + kMonitor}},
      // An installed monitor is removed first, with its ports and restarts.
      {"monitor present", [](drvtest::MachineFile& d) { Printers(d).clear(); }, {}, true, nullptr, 0, {},
       Cat({restart, {"DeletePort Q52USB001:", "DeletePort Q52USB002:"}, restart, {"DeleteMonitor " + kMonitor}, restart,
            {"AddMonitor " + kMonitor}})},
      {"old monitor stays", [](drvtest::MachineFile&) {}, {}, true, nullptr, ERROR_INSTALL_FAILURE, {},
       Cat({restart, restart, restart})},
      {"add refused", absent, {}, true, "AddMonitorW", ERROR_INSTALL_FAILURE,
       {kNotFound, Error("Monitor \"" + kMonitor + "\" Install Failed.GetLastError():5")}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    EditMachine(row.edit);
    UseSourceFolder(kMonitorComponent, row.missingSources);
    if (!row.dllInSystem) {
      ASSERT_TRUE(drvtest::RemoveMachineFile(L"C:\\WINDOWS\\system32\\vexaktmon.dll"));
    }
    if (row.fault) winsim::InjectFault(row.fault, 1, ERROR_ACCESS_DENIED);
    CMonitorClass monitor;
    int result = -1;
    std::vector<LogEntry> log = LogOf([&] { result = monitor.Install(); });
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(winsim::Changes(), row.changes);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), filesOk);
    if (!row.tail.empty()) {
      EXPECT_EQ(std::vector<LogEntry>(log.begin() + 1, log.end()), row.tail);
    }
    if (!row.dllInSystem) {
      EXPECT_EQ(testsupport::ReadFile(winsim::HostPath(L"C:\\WINDOWS\\system32\\vexaktmon.dll")), "new vexaktmon.dll");
    }
  }
}

TEST_F(MonitorTest, InstallStopsWhenAFileCanNotBeHad) {
  EditMachine([](drvtest::MachineFile& d) {
    DropPackagePorts(d, true);
    Printers(d).clear();
  });
  UseSourceFolder(kMonitorComponent, {L"vexaktmonui.dll"});
  ASSERT_TRUE(drvtest::RemoveMachineFile(L"C:\\WINDOWS\\system32\\vexaktmonui.dll"));
  CMonitorClass monitor;
  int result = -1;
  std::vector<LogEntry> log = LogOf([&] { result = monitor.Install(); });
  EXPECT_EQ(result, ERROR_INSTALL_FAILURE);
  EXPECT_EQ(log, (std::vector<LogEntry>{
                     Error("CopyRequiredFile(PlxBaseDriver\\ktmonitor\\vexaktmonui.dll) Failed, GetLastError():2"),
                     Info("Language/Port Monitor CheckForRequiredFiles Failed")}));
  EXPECT_TRUE(winsim::Changes().empty());
}

}  // namespace
