// The end of a run whose own calls fail: a stop that cannot be signalled, posted or waited for
// still ends both threads, and a thread that loses its loop ends the run instead of leaving it
// waiting for arrivals that nobody reports or processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "infmachine.h"
#include "inffile.h"
#include "main.h"
#include "monitor.h"
#include "roadmachine.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/threads.h"

namespace {

using testsupport::FdCapture;
using testsupport::ParseLog;

// The plugged-in road's machine: the supported INF staged and no known device to install on, so
// that both threads wait once the start-up pass is over.
class WaitingMachine {
 public:
  WaitingMachine() {
    bulktest::CreateRoadMachine(dir_);
    winsim::UseMachine(dir_);
    winsim::ImportRegText(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\bulksetup_tests\\Logger]\r\n"
        "\"Level\"=dword:00000004\r\n\"IsConsole\"=dword:00000001\r\n");
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_NE(EndEvent, nullptr);
  }
  ~WaitingMachine() {
    CloseHandle(EndEvent);
    EndEvent = NULL;
    Exiting = false;
    NotifyWindow = NULL;
    SupportedInf.reset();
    winsim::ReleaseMachine();
  }

 private:
  testsupport::TempDir tmp_;
  std::string dir_ = tmp_ / "machine";
};

// Each call of the stop made to fail in turn, counted from the moment both threads wait: only the
// main thread runs then, so the n-th next call of a function is the one named.
TEST(StopMonitoring, EndsBothThreadsWhicheverCallOfTheStopFails) {
  struct Case {
    const char* what;
    const char* function;
    std::vector<unsigned> after;  // the calls that fail, counted from the threads' wait
  } cases[] = {
      {"StopEvent cannot be set", "SetEvent", {1}},
      {"the monitor's wake-up cannot be posted", "PostMessageW", {1}},
      {"the monitor cannot look at StopEvent", "WaitForSingleObject", {1}},
      {"MonitorDoneEvent cannot be set", "SetEvent", {2}},
      {"the wait for the monitor fails", "WaitForMultipleObjects", {1}},
      {"the wait for the monitor thread fails", "WaitForSingleObject", {2}},
      {"the wait for the worker fails once", "WaitForSingleObject", {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WaitingMachine m;
    const int threadsBefore = winsim::ThreadsRunning();  // threads of earlier tests that never ran
    FdCapture log;
    ASSERT_TRUE(StartMonitoring());
    ASSERT_EQ(WaitForSingleObject(EndEvent, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    for (unsigned n : c.after) winsim::InjectFault(c.function, winsim::CallCount(c.function) + n, ERROR_INVALID_HANDLE);
    StopMonitoring();
    auto lines = ParseLog(log.Stop());
    EXPECT_EQ(bulktest::CountText(lines, "Exiting..."), 1u);
    EXPECT_FALSE(ThreadsStarted);
    EXPECT_EQ(winsim::ThreadsRunning(), threadsBefore);
    EXPECT_EQ(MonitorDoneEvent, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    EXPECT_EQ(WorkEvent, nullptr);
    EXPECT_FALSE(AThreadWasGivenUp());
    EXPECT_FALSE(SupportedInf) << "released once both threads have ended";
    // EndEvent is the test's own.
    EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"event", 1}}));
  }
}

// A worker whose end cannot be seen may still use the events: they are left to the end of the
// process rather than closed under it.
TEST(StopMonitoring, LeavesTheEventsOpenWhenTheWorkersEndCannotBeSeen) {
  WaitingMachine m;
  FdCapture log;
  ASSERT_TRUE(StartMonitoring());
  ASSERT_EQ(WaitForSingleObject(EndEvent, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
  const unsigned waits = winsim::CallCount("WaitForSingleObject");
  for (unsigned n = 3; n <= 5; ++n) winsim::InjectFault("WaitForSingleObject", waits + n, ERROR_INVALID_HANDLE);
  StopMonitoring();
  ParseLog(log.Stop());
  EXPECT_FALSE(ThreadsStarted);
  EXPECT_NE(MonitorDoneEvent, nullptr);
  EXPECT_NE(StopEvent, nullptr);
  EXPECT_TRUE(AThreadWasGivenUp()) << "the entry routine must then leave EndEvent open";
  EXPECT_TRUE(SupportedInf) << "the worker may still read it";
  // EndEvent, MonitorDoneEvent and StopEvent, and both thread handles; the worker closed WorkEvent.
  SupportedInf.reset();
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"event", 3}, {"thread", 2}}));
  CloseHandle(MonitorDoneEvent);
  CloseHandle(StopEvent);
  MonitorDoneEvent = StopEvent = NULL;
}

// A thread that leaves its loop without a stop would leave the run waiting for ever.
TEST(Monitoring, AThreadThatLosesItsLoopEndsTheRun) {
  struct Case {
    const char* what;
    const char* function;
  } cases[] = {
      {"the monitor's GetMessageW fails", "GetMessageW"},
      {"the worker's wait fails", "WaitForMultipleObjects"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WaitingMachine m;
    const int threadsBefore = winsim::ThreadsRunning();
    FdCapture log;
    winsim::InjectFault(c.function, 1, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(StartMonitoring());
    EXPECT_EQ(WaitForSingleObject(EndEvent, 600000), WAIT_OBJECT_0) << "nothing ends the run";
    StopMonitoring();
    ParseLog(log.Stop());
    EXPECT_EQ(winsim::ThreadsRunning(), threadsBefore);
    SupportedInf.reset();
    EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"event", 1}}));
  }
}

}  // namespace
