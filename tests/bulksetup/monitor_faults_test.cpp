// Faults of the threads' start that the run does not survive yet: StartMonitoring ignores a failed
// ResumeThread and reports the threads started, so nothing ever sets EndEvent (the monitor never
// runs) or StopMonitoring waits forever for a thread that never ran. Disabled until the program is
// mended; --gtest_also_run_disabled_tests shows the first failing and the second hanging.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "infmachine.h"
#include "main.h"
#include "monitor.h"
#include "winsim/control.h"

namespace {

TEST(StartMonitoring, DISABLED_AThreadThatCannotBeResumedEndsTheRun) {
  for (unsigned nth : {1u, 2u}) {
    SCOPED_TRACE(nth == 1 ? "monitor thread" : "worker thread");
    bulktest::InfMachine m(std::vector<bulktest::StagedFile>{});
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(EndEvent, nullptr);
    winsim::InjectFault("ResumeThread", nth, ERROR_INVALID_HANDLE);
    bulktest::LogCapture log;
    const bool started = StartMonitoring();
    // Either the start is refused, or the run ends by itself (no supported INF here).
    if (started) {
      ASSERT_EQ(WaitForSingleObject(EndEvent, 600000), WAIT_OBJECT_0) << "nothing ends the run";
      StopMonitoring();
    }
    log.Stop();
    CloseHandle(EndEvent);
    EndEvent = NULL;
    Exiting = false;
    NotifyWindow = NULL;
  }
}

}  // namespace
