// The spooler service control, against the machine's Service Control Manager on a virtual clock.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "spooler_fixture.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/services.h"

namespace {

using drvtest::Debug;
using drvtest::Error;
using drvtest::Info;
using drvtest::LogEntry;
using drvtest::ResetSpooler;
using Log = std::vector<LogEntry>;

const char kTimeout[] = "CSpoolerClass::WaitForService - QueryServiceStatusEx Failed. Timeout";

LogEntry StateLine(DWORD state) {
  char text[80];
  snprintf(text, sizeof text, "CSpoolerClass::WaitForService - ssp.dwCurrentState:0x%08x", state);
  return Debug(text);
}

// The lines of a wait that reads STATE N times and then reaches FINAL, well within the mark.
Log Wait(DWORD state, int n, DWORD final) {
  Log out(static_cast<size_t>(n), StateLine(state));
  out.push_back(StateLine(final));
  return out;
}

Log Concat(std::initializer_list<Log> parts) {
  Log out;
  for (const Log& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void Configure(const std::string& name, const std::string& state, int64_t startMs, int64_t stopMs,
               bool acceptsStop = true, std::vector<std::string> deps = {"RpcSs"}, uint32_t startError = 0) {
  winsim::ServiceConfig c;
  ASSERT_TRUE(winsim::GetService(name, c) || name != "Spooler");
  c.name = name;
  c.state = state;
  c.startMs = startMs;
  c.stopMs = stopMs;
  c.acceptsStop = acceptsStop;
  c.dependencies = deps;
  c.startError = startError;
  winsim::SetService(c);
}

class SpoolerTest : public drvtest::MachineTest {};

TEST_F(SpoolerTest, RunningSpoolerNeedsNothing) {
  CSpoolerClass& spooler = ResetSpooler();
  ASSERT_TRUE(spooler.initialized());
  EXPECT_TRUE(spooler.QuerySpoolerStatus());
  EXPECT_TRUE(spooler.StartSpooler());
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
  EXPECT_EQ(winsim::CallCount("Sleep"), 0u);
}

TEST_F(SpoolerTest, StartSpoolerFromEachState) {
  // The image's spooler starts in 1.2 s and stops in 0.7 s; polls are 200 ms apart.
  const std::string startFailed = "CSpoolerClass::StartSpooler - Start Spooler Service Failed. GetLastError(): 1056";
  struct Row {
    const char* state;
    bool result;
    Log log;
    std::vector<std::string> changes;
    const char* after;
  } rows[] = {
      {"stopped", true,
       Concat({Wait(SERVICE_STOPPED, 0, SERVICE_STOPPED), Wait(SERVICE_START_PENDING, 6, SERVICE_RUNNING),
               {Debug("Spooler Service Started")}}),
       {"StartService Spooler"}, "running"},
      {"stop-pending", true,
       Concat({Wait(SERVICE_STOP_PENDING, 4, SERVICE_STOPPED), Wait(SERVICE_START_PENDING, 6, SERVICE_RUNNING),
               {Debug("Spooler Service Started")}}),
       {"StartService Spooler"}, "running"},
      // The Service Control Manager refuses to start a service that is not stopped.
      {"start-pending", false, {Error(startFailed)}, {}, "start-pending"},
      {"paused", false, {Error(startFailed)}, {}, "paused"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    TearDown();
    SetUp();
    Configure("Spooler", row.state, 1200, 700);
    CSpoolerClass& spooler = ResetSpooler();
    EXPECT_EQ(spooler.StartSpooler(), row.result);
    EXPECT_EQ(TakeLog(), row.log);
    EXPECT_EQ(winsim::ServiceChanges(), row.changes);
    EXPECT_EQ(winsim::ServiceStateName("Spooler"), row.after);
  }
}

TEST_F(SpoolerTest, QueryOfAStoppedSpoolerSaysWhichStates) {
  Configure("Spooler", "stopped", 1200, 700);
  EXPECT_FALSE(ResetSpooler().QuerySpoolerStatus());
  EXPECT_EQ(TakeLog(), (Log{Info("Spooler State (0x00000001) do not match Required (0x00000004)")}));
}

TEST_F(SpoolerTest, StopSpoolerStopsActiveDependentsDeepestFirst) {
  // Q52Agent depends on Fax, which depends on the spooler; Fax stops in 0.4 s, Q52Agent at once.
  Configure("Fax", "running", 900, 400, true, {"RpcSs", "Spooler"});
  Configure("Q52Agent", "running", 0, 0, true, {"Fax"});
  CSpoolerClass& spooler = ResetSpooler();
  EXPECT_TRUE(spooler.StopSpooler());
  EXPECT_EQ(TakeLog(), Concat({Wait(SERVICE_STOP_PENDING, 0, SERVICE_STOPPED), Wait(SERVICE_STOP_PENDING, 2, SERVICE_STOPPED),
                               Wait(SERVICE_STOP_PENDING, 4, SERVICE_STOPPED), {Debug("Spooler Service Stopped")}}));
  EXPECT_EQ(winsim::ServiceChanges(),
            (std::vector<std::string>{"StopService Q52Agent", "StopService Fax", "StopService Spooler"}));
  EXPECT_EQ(winsim::CallCount("HeapAlloc"), 1u);
  EXPECT_EQ(winsim::CallCount("HeapFree"), 1u);
  EXPECT_EQ(winsim::ServiceStateName("RpcSs"), "running");  // what the spooler depends on stays
}

TEST_F(SpoolerTest, StopSpoolerWithoutActiveDependentsAllocatesNothing) {
  CSpoolerClass& spooler = ResetSpooler();  // the image's Fax, the one dependent, is stopped
  EXPECT_TRUE(spooler.StopSpooler());
  EXPECT_EQ(TakeLog(), Concat({Wait(SERVICE_STOP_PENDING, 4, SERVICE_STOPPED), {Debug("Spooler Service Stopped")}}));
  EXPECT_EQ(winsim::CallCount("EnumDependentServicesW"), 1u);
  EXPECT_EQ(winsim::CallCount("HeapAlloc"), 0u);
  EXPECT_EQ(winsim::ServiceChanges(), (std::vector<std::string>{"StopService Spooler"}));
}

TEST_F(SpoolerTest, StopSpoolerThatIsStoppedOrStopping) {
  Configure("Spooler", "stopped", 1200, 700);
  EXPECT_TRUE(ResetSpooler().StopSpooler());
  EXPECT_TRUE(TakeLog().empty());

  Configure("Spooler", "stop-pending", 1200, 700);
  EXPECT_TRUE(Spooler().StopSpooler());
  EXPECT_EQ(TakeLog(), Wait(SERVICE_STOP_PENDING, 4, SERVICE_STOPPED));
  EXPECT_EQ(winsim::CallCount("ControlService"), 0u);
  EXPECT_EQ(winsim::CallCount("EnumDependentServicesW"), 0u);
}

TEST_F(SpoolerTest, DependentThatRefusesToStopKeepsTheSpoolerRunning) {
  Configure("Fax", "running", 900, 400, /*acceptsStop=*/false, {"RpcSs", "Spooler"});
  CSpoolerClass& spooler = ResetSpooler();
  EXPECT_FALSE(spooler.StopSpooler());
  EXPECT_EQ(TakeLog(), (Log{Error("CSpoolerClass::StopDependentServices - ControlService Failed. GetLastError(): 1052"),
                            Error("CSpoolerClass::StopSpooler - StopDependentServices Failed.")}));
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "running");
  EXPECT_EQ(winsim::ServiceStateName("Fax"), "running");
  EXPECT_TRUE(winsim::ServiceChanges().empty());
}

TEST_F(SpoolerTest, FailuresWhileStoppingDependents) {
  // Each failing call of the dependents' pass: the spooler is never asked to stop, and the
  // buffer, once allocated, is freed (the fixture checks).
  struct Row {
    const char* function;
    unsigned nth;
    uint32_t error;
    std::string line;
  } rows[] = {
      {"EnumDependentServicesW", 1, ERROR_ACCESS_DENIED,
       "CSpoolerClass::StopDependentSerivces - EnumDependentServices Failed. GetLastError(): 5"},
      // HeapAlloc leaves the last error alone: the size query's ERROR_MORE_DATA is what is logged.
      {"HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY,
       "CSpoolerClass::StopDependentServices - HeapAlloc Failed. GetLastError(): 234"},
      {"EnumDependentServicesW", 2, ERROR_ACCESS_DENIED,
       "CSpoolerClass::StopDependentServices - EnumDependentServices Failed. GetLastError(): 5"},
      {"OpenServiceW", 2, ERROR_ACCESS_DENIED,
       "CSpoolerClass:::StopDependentServices - EnumDependentServices Failed. GetLastError():5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.function) + "#" + std::to_string(row.nth));
    TearDown();
    SetUp();
    Configure("Fax", "running", 900, 400, true, {"RpcSs", "Spooler"});
    CSpoolerClass& spooler = ResetSpooler();
    winsim::InjectFault(row.function, row.nth, row.error);
    EXPECT_FALSE(spooler.StopSpooler());
    EXPECT_EQ(TakeLog(), (Log{Error(row.line), Error("CSpoolerClass::StopSpooler - StopDependentServices Failed.")}));
    EXPECT_EQ(winsim::ServiceStateName("Spooler"), "running");
  }
}

// The wait's lines for a stop that takes STOP_MS: the state at every poll, and the timeout line at
// every poll after the 10-second mark.
Log SlowStop(int64_t stopMs) {
  Log out;
  for (int64_t t = 0;; t += 200) {
    out.push_back(StateLine(t >= stopMs ? SERVICE_STOPPED : SERVICE_STOP_PENDING));
    if (t > 10000) out.push_back(Error(kTimeout));
    if (t >= stopMs) return out;
  }
}

TEST_F(SpoolerTest, TwelveSecondStopTimesOutAtEveryPollAfterTheMark) {
  // Also across a wrap of the tick counter, which the wait must measure through.
  for (bool wrap : {false, true}) {
    SCOPED_TRACE(wrap ? "tick counter wraps" : "no wrap");
    TearDown();
    SetUp();
    if (wrap) {
      // GetTickCount reads 2^32 - 5000 ms as the stop begins.
      winsim::ReleaseMachine();
      std::string file = machine_->dir() + "/machine.json";
      nlohmann::json doc = nlohmann::json::parse(testsupport::ReadFile(file));
      doc["clock"] = {{"virtual", true}, {"now", "2026-12-06T16:17:09.042Z"}, {"boot", "2026-10-17T23:14:26.746Z"}};
      testsupport::WriteFile(file, doc.dump());
      winsim::UseMachine(machine_->dir());
      ASSERT_GT(GetTickCount(), 0xFFFFFFFFu - 6000);
    }
    Configure("Spooler", "running", 1200, 12000);
    CSpoolerClass& spooler = ResetSpooler();
    EXPECT_FALSE(spooler.StopSpooler());
    Log log = TakeLog();
    EXPECT_EQ(log, SlowStop(12000));
    EXPECT_EQ(std::count(log.begin(), log.end(), Error(kTimeout)), 10);
    EXPECT_EQ(winsim::ServiceStateName("Spooler"), "stopped");
  }
}

TEST_F(SpoolerTest, WaitForAStateThatNeverComesGivesUpAfterThirtySeconds) {
  Configure("Spooler", "running", 1200, -1);
  CSpoolerClass& spooler = ResetSpooler();
  int64_t before = winsim::NowUnixMillis();
  EXPECT_FALSE(spooler.StopSpooler());
  Log log = TakeLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), Error("CSpoolerClass::WaitForService - Gave up after 30000 ms waiting for state 0x00000001"));
  log.pop_back();
  Log polls = SlowStop(1000000);
  polls.resize(log.size());
  EXPECT_EQ(log, polls);
  EXPECT_EQ(std::count(log.begin(), log.end(), Error(kTimeout)), 100);
  EXPECT_EQ(winsim::NowUnixMillis() - before, 30000);
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "stop-pending");
}

TEST_F(SpoolerTest, AfterAFailedInitialize) {
  struct Row {
    const char* function;
    std::string initLine, queryError;
  } rows[] = {
      {"OpenSCManagerW", "CSpoolerClass::Initialize - OpenSCManager Failed. GetLastError():5", "6"},
      {"OpenServiceW", "CSpoolerClass::Initialize - OpenService Failed. GetLastError():5", "6"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.function);
    TearDown();
    SetUp();
    winsim::InjectFault(row.function, 1, ERROR_ACCESS_DENIED);
    CSpoolerClass& spooler = ResetSpooler();
    EXPECT_FALSE(spooler.initialized());
    EXPECT_FALSE(spooler.StopSpooler());
    EXPECT_FALSE(spooler.StartSpooler());
    EXPECT_FALSE(spooler.QuerySpoolerStatus());
    EXPECT_EQ(TakeLog(),
              (Log{Error(row.initLine), Error("CSpoolerClass::StopSpooler - Not Initialized!"),
                   Error("CSpoolerClass::StartSpooler - QueryServiceStatusEx Failed. GetLastError(): " + row.queryError),
                   Error("CSpoolerClass::QuerySpoolerStatus - QueryServiceStatusEx Failed. GetLastError(): " +
                         row.queryError)}));
    EXPECT_EQ(winsim::ServiceStateName("Spooler"), "running");
  }
}

TEST_F(SpoolerTest, StartAndStopFailuresOfTheSpoolerItself) {
  Configure("Spooler", "stopped", 1200, 700, true, {"RpcSs"}, ERROR_SERVICE_DISABLED);
  EXPECT_FALSE(ResetSpooler().StartSpooler());
  EXPECT_EQ(TakeLog(), Concat({Wait(SERVICE_STOPPED, 0, SERVICE_STOPPED),
                               {Error("CSpoolerClass::StartSpooler - Start Spooler Service Failed. GetLastError(): 1058")}}));

  Configure("Spooler", "running", 1200, 700, /*acceptsStop=*/false);
  EXPECT_FALSE(Spooler().StopSpooler());
  EXPECT_EQ(TakeLog(), (Log{Error("CSpoolerClass::StopSpooler - Stop Spooler Service Failed. GetLastError(): 1052")}));
}

}  // namespace
