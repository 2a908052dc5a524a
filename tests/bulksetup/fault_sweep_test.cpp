// Every platform call of the plugged-in road made to fail, one run each: the printer arrives after
// start and is installed. Whatever fails, the run ends cleanly: exit 0, nothing left open, no
// thread left running, no sanitizer report, and a run that keeps waiting still has both threads at
// work. From the arrival to the install each call is classified by what the program does without
// it: where the install cannot honestly happen, the run must keep waiting with nothing installed;
// where the program goes on by design, the driver must still be installed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "faultsweep.h"
#include "loglines.h"
#include "roadmachine.h"
#include "testsupport.h"
#include "winsim/control.h"

namespace {

using testsupport::SweepRun;

// A plausible error for each call of the road; ERROR_GEN_FAILURE for the rest.
uint32_t PlausibleError(const std::string& function) {
  static const std::map<std::string, uint32_t> kErrors = {
      // allocations and handles
      {"HeapAlloc", 8}, {"GetProcessHeap", 8}, {"CreateEventW", 8}, {"CreateThread", 8},
      {"CloseHandle", 6}, {"SetEvent", 6}, {"ResetEvent", 6}, {"ResumeThread", 6},
      {"WaitForSingleObject", 6}, {"WaitForMultipleObjects", 6},
      // windows and notifications
      {"RegisterClassW", 1410}, {"CreateWindowExW", 8}, {"LoadCursorW", 1813}, {"GetMessageW", 1400},
      {"PostMessageW", 1400}, {"RegisterDeviceNotificationW", 8}, {"UnregisterDeviceNotification", 6},
      // INF store
      {"SetupGetInfFileListW", 2}, {"SetupOpenInfFileW", 2}, {"SetupGetInfInformationW", 13},
      {"SetupQueryInfVersionInformationW", 13}, {"SetupQueryInfFileInformationW", 13},
      {"SetupQueryInfOriginalFileInformationW", 13}, {"SetupFindFirstLineW", 0xE0000102},
      {"SetupFindNextLine", 0xE0000102}, {"SetupGetStringFieldW", 13}, {"SetupCloseInfFile", 6},
      // Plug and Play and the class installer
      {"SetupDiGetClassDevsW", 8}, {"SetupDiEnumDeviceInfo", 259}, {"SetupDiGetDeviceInstanceIdW", 13},
      {"SetupDiDestroyDeviceInfoList", 6}, {"SetupDiGetDeviceRegistryPropertyW", 13},
      {"SetupDiCreateDeviceInfoList", 8}, {"SetupDiOpenDeviceInfoW", 0xE000020B},
      {"SetupDiSetSelectedDevice", 87}, {"SetupDiGetDeviceInstallParamsW", 87},
      {"SetupDiSetDeviceInstallParamsW", 87}, {"SetupDiBuildDriverInfoList", 8},
      {"SetupDiEnumDriverInfoW", 259}, {"SetupDiGetDriverInfoDetailW", 13},
      {"SetupDiGetDriverInstallParamsW", 87}, {"SetupDiSetDriverInstallParamsW", 87},
      {"SetupDiDestroyDriverInfoList", 6}, {"SetupDiCallClassInstaller", 0xE0000203},
      {"SetupDiGetSelectedDriverW", 0xE0000203}, {"CM_Get_Device_ID_List_SizeW", 13},
      {"CM_Get_Device_ID_ListW", 13}, {"CMP_WaitNoPendingInstallEvents", 6},
      // newdev.dll
      {"GetSystemDirectoryW", 122}, {"LoadLibraryW", 126}, {"GetProcAddress", 127},
      {"InstallSelectedDriver", 0xE000020B}, {"FreeLibrary", 6},
      // the logger: registry and the runtime's file calls (errno)
      {"RegOpenKeyExA", 5}, {"RegQueryValueExA", 2}, {"_sopen", 13}, {"_write", 28}, {"_filelength", 9},
      {"_close", 9}, {"_setmode", 22}};
  auto it = kErrors.find(function);
  return it == kErrors.end() ? 31 : it->second;
}

// Calls that have no failure in the real API: winsim makes them as if no fault were injected, so
// a run with one of them "failed" is the clean road again. They are not swept.
bool CannotFail(const std::string& f) { return f == "GetSystemTimeAsFileTime" || f == "DefWindowProcW"; }

// The logger's own calls. A fault there may cost the log lines, or the settings that make it write
// to standard error at all.
bool IsLoggerCall(const std::string& f) {
  return f == "_sopen" || f == "_write" || f == "_filelength" || f == "_close" || f == "_setmode" ||
         f == "RegOpenKeyExA" || f == "RegQueryValueExA" || f == "RegCloseKey" || f == "GetModuleFileNameA" ||
         f == "GetSystemTimeAsFileTime";
}

// What a failed close leaves counted though the program let it go: its handle, and for a device
// information set the driver list it holds.
int LeftOpenByFailedClose(const std::string& f) {
  if (f == "SetupDiDestroyDeviceInfoList") return 2;
  return f == "CloseHandle" || f == "SetupDiDestroyDriverInfoList" || f == "FreeLibrary" ||
                 f == "UnregisterDeviceNotification" || f == "SetupCloseInfFile" || f == "RegCloseKey" || f == "_close"
             ? 1
             : 0;
}

// A second install of the same driver, by design: when the driver list of the first hardware ID
// cannot be destroyed, the second ID reads that stale list (built before the install) and installs
// again; when the installed driver's details cannot be read for the second ID, the program cannot
// tell that the first install took and installs again. Either install is of the supported driver.
bool MayInstallTwice(const std::string& f) {
  return f == "SetupDiDestroyDriverInfoList" || f == "SetupDiGetDriverInfoDetailW";
}

// The first call of each thread's routine when a thread could not be made or resumed: such threads
// stay suspended until the process ends (as the documents leave the monitor thread when the worker
// cannot be made), and never make that call. winsim counts them in threadsRunningAtExit.
std::vector<std::string> NeverStarted(const std::string& faultName) {
  const std::string monitor = "LoadCursorW", worker = "WaitForMultipleObjects";
  if (faultName == "CreateThread#2" || faultName == "ResumeThread#2") return {monitor};
  if (faultName == "ResumeThread#1") return {worker, monitor};  // the worker is resumed first
  return {};
}

// What a call's failure must lead to.
enum class Role {
  Free,      // before the arrival or after the install: the run ends cleanly, whatever it did
  Own,       // the harness's own wait on EndEvent
  OnPath,    // the install cannot honestly happen: nothing installed, the run keeps waiting
  Recovers,  // the program goes on by design: the driver is installed all the same
};

struct Step {
  Role role = Role::Free;
  std::string why;
};

// Classifies the calls of the clean road from the arrival (every thread was waiting then) to
// newdev.dll's install by what each one is, never by where it falls among the other threads'
// calls: the harness's wait and the monitor's handling of the broadcast interleave with the
// worker's road in whatever order the threads are scheduled. READS holds the property of each
// SetupDiGetDeviceRegistryPropertyW call of the run.
std::map<size_t, Step> ClassifyPath(const std::vector<std::string>& calls, size_t arrival, size_t install,
                                    const std::vector<DWORD>& reads) {
  std::map<size_t, Step> path;
  std::vector<long> readOf(calls.size(), -1);
  long nthRead = 0;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == "SetupDiGetDeviceRegistryPropertyW") readOf[i] = nthRead++;

  // ProcessArrival's list of present devices, and the member of the printer: the last one
  // enumerated before the install, since a match that installs ends the enumeration.
  size_t classDevs = install, printer = install;
  for (size_t i = arrival; i < install; ++i) {
    if (calls[i] == "SetupDiGetClassDevsW" && classDevs == install) classDevs = i;
    if (calls[i] == "SetupDiEnumDeviceInfo") printer = i;
  }
  EXPECT_LT(classDevs, printer) << "no device was enumerated between the arrival and the install";

  bool printerRead = false, recordDone = false;
  for (size_t i = arrival; i <= install; ++i) {
    const std::string& f = calls[i];
    Step& s = path[i];
    // Calls of the other threads first. Between the arrival and the install the harness makes
    // only its wait on EndEvent; the monitor handles the sent broadcast inside its GetMessageW
    // and makes no wait of its own, the worker none at all; the worker sets no event before
    // the install.
    if (IsLoggerCall(f)) {
      s = {Role::Recovers, "the log's own output"};
    } else if (f == "WaitForSingleObject") {
      s = {Role::Own, "the harness waits for the end of the run"};
    } else if (f == "DefWindowProcW") {
      s = {Role::Recovers, "the broadcast's default handling, once it is queued"};
    } else if (f == "SetEvent") {
      s = {Role::OnPath, "WorkEvent for the queued arrival: the worker is never woken for it"};
    } else if (f == "CMP_WaitNoPendingInstallEvents") {
      s = {Role::Recovers, "a failed wait for Plug and Play counts as nothing pending"};
    } else if (i < classDevs) {
      ADD_FAILURE() << "call " << i + 1 << " " << f << " is not classified";
    } else if (i == classDevs) {
      s = {Role::OnPath, "the present devices: without them the entry is dropped"};
    } else if (f == "SetupDiEnumDeviceInfo") {
      s = {Role::OnPath, "a failed enumeration ends before the printer's member"};
    } else if (i < printer) {
      s = {Role::Recovers, "another present device: the printer is found by its own member"};
    } else if (recordDone) {
      s = {Role::Recovers, "the printer's first supported hardware ID: its second one is tried the same way"};
    } else if (f == "SetupDiGetDeviceInstanceIdW") {
      recordDone = printerRead;
      s = {Role::OnPath, printerRead ? "the record's instance ID: the install opens the device by it"
                                     : "the printer's instance ID: the member is skipped without it"};
    } else if (f == "CM_Get_Device_ID_List_SizeW" || f == "CM_Get_Device_ID_ListW") {
      s = {Role::Recovers, "the printer's first child: the printer matches by its own instance ID"};
    } else if (f == "SetupDiGetDeviceRegistryPropertyW") {
      printerRead = true;
      const bool ids = readOf[i] >= 0 && static_cast<size_t>(readOf[i]) < reads.size() &&
                       reads[static_cast<size_t>(readOf[i])] == SPDRP_HARDWAREID;
      s = ids ? Step{Role::OnPath, "the printer's hardware IDs: nothing matches without them"}
              : Step{Role::Recovers, "a property the record only logs"};
    } else {
      ADD_FAILURE() << "call " << i + 1 << " " << f << " is not classified";
    }
  }
  return path;
}

std::string FaultName(const std::string& fault) { return fault.substr(0, fault.find('=')); }

enum class Outcome { Installed, EndedAtStart, KeptWaiting, EndedWithoutDriver, Hung };
const char* Name(Outcome o) {
  switch (o) {
    case Outcome::Installed: return "installed";
    case Outcome::EndedAtStart: return "ended at start-up";
    case Outcome::KeptWaiting: return "kept waiting";
    case Outcome::EndedWithoutDriver: return "ended after the arrival without the driver";
    case Outcome::Hung: return "hung";
  }
  return "?";
}
const char* Name(Role r) {
  switch (r) {
    case Role::Free: return "";
    case Role::Own: return " (harness)";
    case Role::OnPath: return " (on the path)";
    case Role::Recovers: return " (recovers)";
  }
  return "?";
}

const char kProgram[] = "bulksetup_arrival_road";
const int kHangSeconds = 30;

struct RunResult {
  Outcome outcome = Outcome::Hung;
  nlohmann::json lastRun;
  std::vector<testsupport::LogLine> log;  // standard error
};

// Checks what every run must show and tells how it ended. INSTALL is the clean road's install.
RunResult CheckRun(const SweepRun& job, int status, bool hung, const nlohmann::json& install) {
  SCOPED_TRACE("call " + std::to_string(job.k) + (job.fault.empty() ? "" : ": WINSIM_FAULTS=" + job.fault));
  RunResult run;
  if (hung) {
    ADD_FAILURE() << "the run did not end within " << kHangSeconds << " s";
    return run;
  }
  run.outcome = Outcome::EndedWithoutDriver;
  const std::string err = testsupport::ReadFile(job.dir + "/err");
  const std::string out = testsupport::ReadFile(job.dir + "/out");
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << err;
  if (!WIFEXITED(status)) return run;
  EXPECT_EQ(WEXITSTATUS(status), 0) << err;

  // Standard error holds log lines only: a sanitizer's or winsim's report is a failure. Two
  // exceptions the fault explains: a console left in text mode turns each line feed into CR LF,
  // and a failed close leaves what it was to release counted.
  const std::string name = FaultName(job.fault);
  std::string errLines = job.function == "_setmode" ? testsupport::FromTextMode(err) : err;
  static const std::regex kLeftOpen(R"((^|\n)winsim: [^\n]*handle\(s\) left open at exit:[^\n]*\n)");
  if (LeftOpenByFailedClose(job.function)) errLines = std::regex_replace(errLines, kLeftOpen, "$1");
  run.log = testsupport::ParseLog(errLines);
  const bool logged = !run.log.empty();
  const bool installedLine = testsupport::CountText(run.log, "Driver Installed! Ending process...") != 0;

  const std::string reportFile = job.dir + "/machine/last-run.json";
  EXPECT_TRUE(testsupport::Exists(reportFile));
  if (!testsupport::Exists(reportFile)) return run;
  run.lastRun = nlohmann::json::parse(testsupport::ReadFile(reportFile));
  int open = 0;
  for (auto& [kind, n] : run.lastRun["handlesOpenAtExit"].items()) open += n.get<int>();
  EXPECT_LE(open, LeftOpenByFailedClose(job.function)) << run.lastRun["handlesOpenAtExit"].dump();

  const std::vector<std::string> neverStarted = NeverStarted(name);
  EXPECT_EQ(run.lastRun.value("threadsRunningAtExit", 0), static_cast<int>(neverStarted.size()))
      << "threads still running at exit";
  const std::vector<std::string> calls = run.lastRun["calls"].get<std::vector<std::string>>();
  for (const std::string& first : neverStarted)
    EXPECT_EQ(std::count(calls.begin(), calls.end(), first), 0) << "a thread left at exit did run: " << first;

  const nlohmann::json installs = run.lastRun.value("driverInstalls", nlohmann::json::array());
  EXPECT_LE(installs.size(), MayInstallTwice(job.function) ? 2u : 1u) << installs.dump();
  for (const nlohmann::json& i : installs) {
    EXPECT_EQ(i.value("instanceId", ""), install.value("instanceId", "?")) << "installed on another device";
    EXPECT_EQ(i.value("inf", ""), install.value("inf", "?")) << "installed from another INF";
  }
  bool arrived = false;
  for (const nlohmann::json& e : run.lastRun.value("deviceEvents", nlohmann::json::array()))
    arrived = arrived || e.value("event", "") == "arrive";
  static const std::regex kStillWaiting(R"(still waiting after \d+ ms with (\d+) thread\(s\) running\n?)");
  std::smatch waiting;
  const bool stillWaiting = std::regex_search(out, waiting, kStillWaiting);
  if (!installs.empty()) {
    run.outcome = Outcome::Installed;
    EXPECT_FALSE(stillWaiting) << "the driver was installed, and the run went on waiting";
  } else if (!arrived) {
    run.outcome = Outcome::EndedAtStart;
  } else if (stillWaiting) {
    run.outcome = Outcome::KeptWaiting;
    // A thread gone would leave the real program waiting for ever.
    EXPECT_EQ(waiting[1].str(), "2") << "a run that waits has lost a thread";
  }
  // The program says it installed the driver exactly when it did (unless the fault silenced the log).
  if (!IsLoggerCall(job.function) && logged) {
    EXPECT_EQ(installedLine, !installs.empty()) << err;
  }
  return run;
}

TEST(FaultSweep, EveryCallOfThePluggedInRoad) {
  testsupport::TempDir tmp;
  const std::string base = tmp / "base", printerFile = tmp / "printer.json";
  testsupport::WriteFile(printerFile, bulktest::CreateRoadMachine(base));
  testsupport::WriteFile(tmp / "logger.reg",
                         "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\bulksetup_arrival_road\\Logger]\r\n"
                         "\"Level\"=dword:00000004\r\n\"IsConsole\"=dword:00000001\r\n");
  winsim::ImportRegFile(base, tmp / "logger.reg");

  // The road once, for its calls: the arrival comes once every thread waits, and the install is
  // newdev.dll's InstallSelectedDriver.
  const SweepRun road{0, "", "", tmp / "road"};
  testsupport::CopyMachine(base, road);
  pid_t pid = testsupport::StartRun(kProgram, {printerFile}, road);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  const std::string roadLog = testsupport::ReadFile(road.dir + "/err");
  const nlohmann::json roadRun = nlohmann::json::parse(testsupport::ReadFile(road.dir + "/machine/last-run.json"));
  ASSERT_EQ(roadRun.value("driverInstalls", nlohmann::json::array()).size(), 1u) << roadLog;
  const nlohmann::json install = roadRun["driverInstalls"][0];
  RunResult clean = CheckRun(road, status, false, install);
  ASSERT_EQ(clean.outcome, Outcome::Installed) << roadLog;
  const std::vector<std::string> calls = clean.lastRun["calls"].get<std::vector<std::string>>();
  const std::vector<DWORD> reads = clean.lastRun.value("devicePropertyReads", std::vector<DWORD>());
  // A failure for the printer's first supported hardware ID can be made good by its second: the
  // clean road examines that one too, after the install.
  ASSERT_EQ(testsupport::CountText(clean.log, "Device Match Found!"), 2u) << "the printer should match by two hardware IDs\n" << roadLog;

  // The arrival comes when every thread waits: the calls before it are the start-up's.
  size_t arrival = calls.size(), installAt = calls.size();
  for (const nlohmann::json& e : roadRun.value("deviceEvents", nlohmann::json::array()))
    if (e.value("event", "") == "arrive") arrival = e.value("callsBefore", calls.size());
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == "InstallSelectedDriver") installAt = i;
  ASSERT_LT(arrival, installAt);
  ASSERT_LT(installAt, calls.size());
  const std::map<size_t, Step> path = ClassifyPath(calls, arrival, installAt, reads);

  const std::vector<SweepRun> runs = testsupport::SweepRuns(calls, tmp.path(), PlausibleError, CannotFail);
  std::map<std::string, unsigned> notSwept;
  for (const std::string& f : calls)
    if (CannotFail(f)) ++notSwept[f];
  std::vector<Step> steps;
  std::map<Role, size_t> roles;
  for (const SweepRun& run : runs) {
    auto it = path.find(run.k - 1);
    steps.push_back(it == path.end() ? Step{} : it->second);
    ++roles[steps.back().role];
  }

  std::map<std::string, unsigned> outcomes;
  std::map<std::string, std::map<std::string, unsigned>> byFunction;
  testsupport::Sweep(kProgram, {printerFile}, base, runs, kHangSeconds, [&](size_t i, int ended, bool hung) {
    const SweepRun& job = runs[i];
    RunResult run = CheckRun(job, ended, hung, install);
    {
      SCOPED_TRACE("call " + std::to_string(job.k) + ": WINSIM_FAULTS=" + job.fault + ": " + steps[i].why);
      if (steps[i].role == Role::OnPath) {
        EXPECT_EQ(run.outcome, Outcome::KeptWaiting) << "a call the install depends on failed";
      } else if (steps[i].role == Role::Recovers) {
        EXPECT_EQ(run.outcome, Outcome::Installed) << "the program should have gone on to install";
      }
    }
    const std::string o = std::string(Name(run.outcome)) + Name(steps[i].role);
    ++outcomes[o];
    ++byFunction[job.function][o];
  });

  std::ostringstream summary;
  summary << "fault sweep: " << calls.size() << " calls in the road, " << runs.size() << " swept (not swept, no failure"
          << " in the real API:";
  for (auto& [f, n] : notSwept) summary << " " << f << " x" << n;
  summary << "); from the arrival (call " << arrival + 1 << ") to the install (call " << installAt + 1 << "): "
          << roles[Role::OnPath] << " the install depends on, " << roles[Role::Recovers]
          << " the program goes on without; outcomes:";
  for (auto& [o, n] : outcomes) summary << " " << o << " x" << n << ";";
  summary << "\nby function:\n";
  for (auto& [function, results] : byFunction) {
    summary << "  " << function << " (error " << PlausibleError(function) << "):";
    for (auto& [o, n] : results) summary << " " << o << " x" << n << ";";
    summary << "\n";
  }
  summary << "the path:\n";
  for (auto& [i, step] : path)
    if (!CannotFail(calls[i]) && !IsLoggerCall(calls[i]))
      summary << "  " << i + 1 << " " << calls[i] << Name(step.role) << ": " << step.why << "\n";
  std::cout << summary.str();
  RecordProperty("calls_swept", static_cast<int>(runs.size()));
}

}  // namespace
