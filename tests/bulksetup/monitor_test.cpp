// Starting and stopping the monitor and worker threads: every road ends the run by itself and
// leaves no event, thread or registration open.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bulkfixture.h"
#include "main.h"
#include "monitor.h"

using bulktest::InfMachine;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::Texts;

namespace {

TEST(StartMonitoring, RunsEndByThemselves) {
  struct Fault {
    const char* function;
    unsigned nth;
  };
  struct Case {
    const char* what;
    std::vector<Fault> faults;  // each fails with ERROR_NOT_ENOUGH_MEMORY
    bool started;
    std::vector<std::string> lines;
    unsigned closes;  // every event and thread handle that was made, once
  } cases[] = {
      {"no supported INF", {}, true, {"Vexa Q52 USB Bulk Driver not found on Host System", "Exiting..."}, 5},
      // Without its window the monitor can never report a device: the run ends.
      {"no notification window", {{"CreateWindowExW", 1}}, true,
       {"dev_mon_main - CreateWindow Failed. GetLastError: 8", "dev_mon_main - CreateHiddenWindow Failed. GetLastError: 8",
        "Exiting..."},
       5},
      {"no notification class", {{"RegisterClassW", 1}}, true,
       {"dev_mon_main - CreateHiddenWindow Failed. GetLastError: 8", "Exiting..."}, 5},
      {"no notifications", {{"RegisterDeviceNotificationW", 1}}, true,
       {"RegisterDeviceNotification Failed. GetLastError(): 8", "Vexa Q52 USB Bulk Driver not found on Host System",
        "Exiting..."},
       5},
      {"no worker thread", {{"CreateThread", 2}}, false, {"Thread starting failure..."}, 4},
      {"no monitor thread", {{"CreateThread", 1}}, false, {"Thread starting failure..."}, 3},
      {"no third event", {{"CreateEventW", 3}}, false, {}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InfMachine m(std::vector<bulktest::StagedFile>{});
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(EndEvent, nullptr);
    for (const Fault& f : c.faults) winsim::InjectFault(f.function, f.nth, ERROR_NOT_ENOUGH_MEMORY);
    FdCapture log;
    ASSERT_EQ(StartMonitoring(), c.started);
    if (c.started) {
      // A run that never ends would time out here on the machine's clock.
      EXPECT_EQ(WaitForSingleObject(EndEvent, 600000), WAIT_OBJECT_0);
      StopMonitoring();
    }
    auto lines = ParseLog(log.Stop());
    EXPECT_EQ(Texts(lines), c.lines);
    EXPECT_FALSE(ThreadsStarted);
    EXPECT_EQ(MonitorDoneEvent, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    EXPECT_EQ(WorkEvent, nullptr);
    EXPECT_EQ(winsim::CallCount("CloseHandle"), c.closes);
    CloseHandle(EndEvent);
    EndEvent = NULL;
    Exiting = false;
    NotifyWindow = NULL;
  }
}

}  // namespace
