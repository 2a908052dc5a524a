// A thread that cannot be resumed: the start is refused, with the threads that did run stopped,
// instead of a run that waits for ever on a thread that never ran.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "infmachine.h"
#include "main.h"
#include "monitor.h"
#include "winsim/control.h"

namespace {

TEST(StartMonitoring, AThreadThatCannotBeResumedEndsTheRun) {
  for (unsigned nth : {1u, 2u}) {
    SCOPED_TRACE(nth == 1 ? "monitor thread" : "worker thread");
    bulktest::InfMachine m(std::vector<bulktest::StagedFile>{});
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(EndEvent, nullptr);
    winsim::InjectFault("ResumeThread", nth, ERROR_INVALID_HANDLE);
    testsupport::FdCapture log;
    const bool started = StartMonitoring();
    EXPECT_FALSE(started);
    if (started) {
      ASSERT_EQ(WaitForSingleObject(EndEvent, 600000), WAIT_OBJECT_0) << "nothing ends the run";
      StopMonitoring();
    }
    EXPECT_EQ(MonitorDoneEvent, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    testsupport::ParseLog(log.Stop());
    CloseHandle(EndEvent);
    EndEvent = NULL;
    Exiting = false;
    NotifyWindow = NULL;
  }
}

}  // namespace
