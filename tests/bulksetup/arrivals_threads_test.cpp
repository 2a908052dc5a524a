// The installer's threads under load: while the monitor thread turns a stream of device-interface
// broadcasts into queued arrivals and removals, the worker processes them. Run it under
// ThreadSanitizer (preset linux-tsan); under AddressSanitizer an entry neither processed nor freed
// is a leak.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "arrivals.h"
#include "infmachine.h"
#include "inffile.h"
#include "main.h"
#include "monitor.h"
#include "roadmachine.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/devices.h"
#include "winsim/threads.h"

namespace {

using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::LogLine;

// A storage device the supported INF does not declare; plugged in, it is queued and processed
// like any other and ends with "No matching ...".
std::string StickJson(const std::string& instanceId) {
  std::string escaped;
  for (char c : instanceId) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "{\"instanceId\": \"" + escaped +
         "\", \"parent\": \"USB\\\\ROOT_HUB\\\\4&2F1C0A3B&0\", \"present\": false, \"class\": \"USB\","
         " \"hardwareIds\": [\"USB\\\\VID_0781&PID_5530\"], \"compatibleIds\": [\"USB\\\\Class_08\"],"
         " \"interfaceClass\": \"{A5DCBF10-6530-11D2-901F-00C04FB951ED}\","
         " \"properties\": {\"DeviceDesc\": \"USB Mass Storage Device\", \"Service\": \"USBSTOR\"},"
         " \"driver\": {\"inf\": \"usbstor.inf\", \"section\": \"USBSTOR_BULK\", \"provider\": \"Microsoft\","
         " \"manufacturer\": \"Compatible USB storage device\", \"date\": \"2001-07-01\","
         " \"version\": \"5.1.2600.0\", \"rank\": 0}}";
}

size_t CountPrefix(const std::vector<LogLine>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const LogLine& l : lines) n += l.text.rfind(prefix, 0) == 0;
  return n;
}

TEST(ArrivalStress, ManyArrivalsAndRemovalsWhileTheWorkerProcesses) {
  const int kSticks = 12, kRounds = 25;
  testsupport::TempDir tmp;
  const std::string dir = tmp / "machine";
  const std::string printer = bulktest::CreateRoadMachine(dir);
  winsim::UseMachine(dir);
  winsim::ImportRegText(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\bulksetup_thread_tests\\Logger]\r\n"
      "\"Level\"=dword:00000004\r\n\"IsConsole\"=dword:00000001\r\n");
  std::vector<std::string> sticks;
  for (int i = 0; i < kSticks; ++i) {
    sticks.push_back("USB\\VID_0781&PID_5530\\STICK" + std::to_string(i));
    winsim::AddDevice(StickJson(sticks.back()));
  }

  FdCapture log;
  EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  ASSERT_NE(EndEvent, nullptr);
  ASSERT_TRUE(StartMonitoring());
  // The clock moves on only once the start-up pass is over and both threads wait.
  ASSERT_EQ(WaitForSingleObject(EndEvent, 1000), static_cast<DWORD>(WAIT_TIMEOUT));

  // Broadcasts are sent to the monitor thread while the worker takes entries off the queue: some
  // devices leave again at once, some stay, some arrive twice.
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kSticks; ++i) {
      winsim::DeviceArrives(sticks[i]);
      if ((i + round) % 3 == 0) winsim::DeviceArrives(sticks[i]);
      if ((i + round) % 2 == 0) winsim::DeviceLeaves(sticks[i]);
    }
    for (int i = 0; i < kSticks; ++i) winsim::DeviceLeaves(sticks[i]);
  }
  // The printer comes last: once it is installed, every earlier entry has been taken.
  winsim::AddDevice(printer);
  winsim::DeviceArrives(bulktest::kArrivingPrinter);
  EXPECT_EQ(WaitForSingleObject(EndEvent, 600000), WAIT_OBJECT_0);
  StopMonitoring();
  CloseHandle(EndEvent);
  EndEvent = NULL;
  auto lines = ParseLog(log.Stop());

  const size_t queued = CountPrefix(lines, "Queuing '");
  const size_t processed = CountPrefix(lines, "Processing: '");
  const size_t removed = CountPrefix(lines, "Removing '");
  const size_t unmatched = CountPrefix(lines, "No matching Vexa Q52 USB Bulk INF file for ");
  std::cout << "arrival stress: " << queued << " queued, " << processed << " processed, " << removed
            << " removed from the queue\n";
  EXPECT_GT(queued, static_cast<size_t>(kSticks * kRounds / 2));
  EXPECT_GT(removed, 0u);
  EXPECT_EQ(queued, processed + removed);
  EXPECT_EQ(unmatched + 1, processed);
  EXPECT_EQ(bulktest::CountText(lines, "Driver Installed! Ending process..."), 1u);
  EXPECT_EQ(ArrivalQueue.Tail, nullptr);
  EXPECT_EQ(winsim::ThreadsRunning(), 0);
  SupportedInf.reset();
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{}));

  Exiting = false;
  NotifyWindow = NULL;
  winsim::ReleaseMachine();
}

}  // namespace
