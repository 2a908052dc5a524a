// The built bulksetup run as a process on machine directories made from the example machines, on
// the virtual clock: its exit status, its log file in order, the driver the printer has afterwards,
// and what the run left behind (handles, threads, windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loglines.h"
#include "testsupport.h"
#include "winsim/inf.h"
#include "winsim/model_devices.h"

namespace {

using nlohmann::json;
using Line = testsupport::LogLine;
using testsupport::Info;
using testsupport::ParseLog;
using testsupport::TempDir;

const char kPrinter[] = "USB\\VID_F0F0&PID_0052\\Q52000123";
const char kPrinterInterface[] = "\\\\?\\USB#VID_F0F0&PID_0052#Q52000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char kStorage[] = "USB\\VID_ABCD&PID_1234\\0000000000000042";
const char kSupported[] = "C:\\WINDOWS\\inf\\oem3.inf";

const std::string kQueuePrinter = std::string("Queuing '") + kPrinter + "' for processing";
const std::string kProcessPrinter = std::string("Processing: '") + kPrinter + " (USB)'";
const char kSearching[] = "Searching for matching Vexa Q52 USB Bulk INF file";

// The printer's two hardware IDs both name a model of the INF: the first gets the driver
// installed, the second then finds it in place.
const std::vector<Line> kInstallOnPrinter = {
    Info("Device Match Found!"),
    Info("USB Bulk Driver not installed. Installing..."),
    Info("InstallSelectedDriver called rc=0"),
    Info("USB Bulk Driver installed successfully!"),
    Info("Device Match Found!"),
    Info("USB Bulk Driver already successfully installed!"),
};

std::vector<Line> Join(std::initializer_list<std::vector<Line>> parts) {
  std::vector<Line> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An arrival of the printer that finds it and installs: the root hub, whose first child is the
// printer, is tried first and doesn't match; then the printer itself.
std::vector<Line> PrinterProcessedViaHub() {
  return Join({{Info("Starting processing\n"), Info(kProcessPrinter), Info(kSearching), Info(kSearching)},
               kInstallOnPrinter,
               {Info("Driver Installed! Ending process...")}});
}

struct Scenario {
  const char* name;
  const char* example;  // folder of examples/machines
  std::vector<Line> log;             // every line above Trace, in order
  std::vector<std::string> traces;   // Trace texts that must appear, in this order
  std::vector<std::string> installs; // driverInstalls of the run: "instance ID <- INF"
  std::string printerInf;            // the printer's driver afterwards; empty: the machine has no printer
  bool waitedForArrival;             // whether the run listened for devices until one came
  const char* faults = "";           // WINSIM_FAULTS of the run
  json leftOpen = json::object();    // handlesOpenAtExit: what a thread given up on may still use
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const std::string kInstalled = std::string(kPrinter) + " <- " + kSupported;

const Scenario kScenarios[] = {
    {"no supported INF: ends at once",
     "no-infs",
     {Info("Vexa Q52 USB Bulk Driver not found on Host System")},
     {"ParseCmdLine()", "Exiting..."},
     {},
     "",
     false},
    // Only the main thread waits with WaitForSingleObject here: on EndEvent, then on the monitor
    // thread, then three times on the worker thread, which is given up on. Whatever it may still
    // touch stays open to the process's end, EndEvent included.
    {"no supported INF, the worker's end unseen: its events stay open",
     "no-infs",
     {Info("Vexa Q52 USB Bulk Driver not found on Host System")},
     {"ParseCmdLine()", "Exiting..."},
     {},
     "",
     false,
     "WaitForSingleObject#3=6,WaitForSingleObject#4=6,WaitForSingleObject#5=6",
     {{"event", 3}, {"thread", 2}}},
    {"driver already installed on a known device: ends at start-up",
     "q52-driver-installed",
     {Info("Vexa Q52 USB Bulk Driver is available"), Info("Device Match Found!"),
      Info("USB Bulk Driver already successfully installed!"), Info("Device Match Found!"),
      Info("USB Bulk Driver already successfully installed!")},
     {"ParseCmdLine()", "Supported File Found!", std::string("InstanceID:        ") + kPrinter,
      std::string("DriverInfFileName: ") + kSupported, "Exiting..."},
     {},
     "oem3.inf",
     false},
    {"known device on an older staged copy: installed at start-up",
     "q52-older-copy",
     Join({{Info("Vexa Q52 USB Bulk Driver is available")}, kInstallOnPrinter}),
     {"ParseCmdLine()", "Replacing supported Inf with oem3.inf...",
      "DriverInfFileName: C:\\WINDOWS\\inf\\oem0.inf",
      std::string("Installing for device instance '") + kPrinter + "' from '" + kSupported + "'",
      std::string("InstallSelectedDriver(") + kPrinter + ", " + kSupported + ") returned rc=0x0",
      std::string("DriverInfFileName: ") + kSupported, "Exiting..."},
     {kInstalled},
     "oem3.inf",
     false},
    {"printer plugged in after start: queued, processed, installed, ends",
     "one-supported",
     Join({{Info("Vexa Q52 USB Bulk Driver is available"), Info("Waiting for Vexa Q52 USB Bulk Capable Device..."),
            Info(kQueuePrinter)},
           PrinterProcessedViaHub()}),
     {"ParseCmdLine()", std::string("Attached: '") + kPrinterInterface + "'",
      std::string("Finding device ID '") + kPrinter + "'", "Found device ID 'USB\\ROOT_HUB\\4&2F1C0A3B&0'",
      std::string("Found device ID '") + kPrinter + "'",
      std::string("InstallSelectedDriver(") + kPrinter + ", " + kSupported + ") returned rc=0x0"},
     {kInstalled},
     "oem3.inf",
     true},
    {"storage device first: no match, keeps waiting, then the printer",
     "storage-then-q52",
     {Info("Vexa Q52 USB Bulk Driver is available"), Info("Waiting for Vexa Q52 USB Bulk Capable Device..."),
      Info(std::string("Queuing '") + kStorage + "' for processing"), Info("Starting processing\n"),
      Info(std::string("Processing: '") + kStorage + " (USB)'"), Info(kSearching), Info(kSearching),
      Info(std::string("No matching Vexa Q52 USB Bulk INF file for ") + kStorage), Info(kQueuePrinter),
      Info("Starting processing\n"), Info(kProcessPrinter),
      // The hub's first child is the storage device now, so only the printer itself is tried.
      Info(kSearching), Info("Device Match Found!"), Info("USB Bulk Driver not installed. Installing..."),
      Info("InstallSelectedDriver called rc=0"), Info("USB Bulk Driver installed successfully!"),
      Info("Device Match Found!"), Info("USB Bulk Driver already successfully installed!"),
      Info("Driver Installed! Ending process...")},
     {std::string("Finding device ID '") + kStorage + "'", "Finished processing Arrival",
      std::string("Finding device ID '") + kPrinter + "'"},
     {kInstalled},
     "oem3.inf",
     true},
    {"removal before processing: dropped from the queue, installed when it comes back",
     "q52-removed-while-queued",
     Join({{Info("Vexa Q52 USB Bulk Driver is available"), Info("Waiting for Vexa Q52 USB Bulk Capable Device..."),
            Info(kQueuePrinter), Info(std::string("Removing '") + kPrinter + "' from queue"),
            // The pass the first arrival started finds the queue empty.
            Info("Starting processing\n"), Info(kQueuePrinter)},
           PrinterProcessedViaHub()}),
     {std::string("Attached: '") + kPrinterInterface + "'", std::string("Removed: '") + kPrinterInterface + "'",
      std::string("Attached: '") + kPrinterInterface + "'", std::string("Finding device ID '") + kPrinter + "'"},
     {kInstalled},
     "oem3.inf",
     true},
    {"installs pending: waits for them, then installs",
     "q52-installs-pending",
     Join({{Info("Vexa Q52 USB Bulk Driver is available"), Info("Waiting for Vexa Q52 USB Bulk Capable Device..."),
            Info(kQueuePrinter), Info("Install in progress... waiting")},
           PrinterProcessedViaHub()}),
     {std::string("Attached: '") + kPrinterInterface + "'", std::string("Finding device ID '") + kPrinter + "'"},
     {kInstalled},
     "oem3.inf",
     true},
};

class BulksetupRun : public testing::TestWithParam<Scenario> {
 protected:
  static void Winsim(const std::vector<std::string>& args) {
    testsupport::ProcessResult r = testsupport::Run("winsim", args, "");
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

const char kTraceLevelReg[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\bulksetup\\Logger]\r\n"
    "\"Level\"=dword:00000004\r\n";

TEST_P(BulksetupRun, LogDriverAndWhatIsLeft) {
  const Scenario& s = GetParam();
  TempDir tmp;
  const std::string machine = tmp / "machine", cwd = tmp / "cwd";
  std::filesystem::create_directories(cwd);
  winsim::CreateMachineFromExample(machine, std::string(Q52_SOURCE_DIR) + "/examples/machines/" + s.example);
  ASSERT_NO_FATAL_FAILURE(Winsim({"clock", machine, "virtual"}));
  testsupport::WriteFile(tmp / "level.reg", kTraceLevelReg);
  ASSERT_NO_FATAL_FAILURE(Winsim({"reg", "import", machine, tmp / "level.reg"}));

  testsupport::ProcessResult r =
      testsupport::Run("bulksetup", {}, cwd, {{"WINSIM_MACHINE", machine}, {"WINSIM_FAULTS", s.faults}});
  EXPECT_EQ(r.status, 0) << r.err;

  const std::vector<Line> log = ParseLog(testsupport::ReadFile(cwd + "/bulksetup.log"));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), (Line{"Trace", "ParseCmdLine()"}));
  std::vector<Line> above;
  std::copy_if(log.begin(), log.end(), std::back_inserter(above), [](const Line& l) { return l.level != "Trace"; });
  EXPECT_EQ(above, s.log);
  auto from = log.begin();
  for (const std::string& t : s.traces) {
    from = std::find(from, log.end(), Line{"Trace", t});
    if (from == log.end()) {
      ADD_FAILURE() << "Trace line missing or out of order: " << t;
      break;
    }
    ++from;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), Line{"Trace", "Exiting..."}), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), Line{"Info ", "Waiting for Vexa Q52 USB Bulk Capable Device..."}),
            s.waitedForArrival ? 1 : 0);

  const json lastRun = json::parse(testsupport::ReadFile(machine + "/last-run.json"));
  EXPECT_EQ(lastRun["handlesOpenAtExit"], s.leftOpen);
  EXPECT_EQ(lastRun.value("threadsRunningAtExit", -1), 0);
  ASSERT_TRUE(lastRun.contains("windows"));
  EXPECT_EQ(lastRun["windows"].size(), 2u) << "the main window and the notification window";
  for (const json& w : lastRun["windows"]) EXPECT_FALSE(w.value("everVisible", true)) << w.dump();
  std::vector<std::string> installs;
  for (const json& i : lastRun.value("driverInstalls", json::array()))
    installs.push_back(i.value("instanceId", "") + " <- " + i.value("inf", ""));
  EXPECT_EQ(installs, s.installs);

  const json after = json::parse(testsupport::ReadFile(machine + "/machine.json"));
  std::string printerInf;
  for (const winsim::model::Device& d : winsim::model::DevicesOf(after))
    if (d.instanceId == kPrinter && d.driver) printerInf = d.driver->inf;
  EXPECT_EQ(printerInf, s.printerInf);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BulksetupRun, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c && *c != ':'; ++c)
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           return name;
                         });

}  // namespace
