// The arrival queue and the worker's processing: interface names split into device IDs, the
// queue kept in order and without duplicates, and each entry taken to the install decision.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>

#include <string>
#include <vector>

#include "arrivals.h"
#include "bulkfixture.h"
#include "main.h"

using bulktest::BulkMachine;
using bulktest::CountText;
using bulktest::DeviceJson;
using bulktest::DriverInf;
using bulktest::Info;
using bulktest::InfMachine;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::Narrow;
using bulktest::Texts;
using bulktest::Wide;

namespace {

const std::wstring kGuid = L"#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

TEST(SplitInterfaceName, Parts) {
  struct Case {
    const char* what;
    std::wstring name;
    bool accepted;
    std::string enumerator, deviceId;
  } cases[] = {
      {"usual form", L"\\\\?\\USB#VID_1234&PID_5678#SN0001" + kGuid, true, "USB", "USB\\VID_1234&PID_5678\\SN0001"},
      {"lower case", L"\\\\?\\usb#vid_f0f0&pid_0052#q52000123" + kGuid, true, "USB",
       "USB\\VID_F0F0&PID_0052\\Q52000123"},
      {"no number sign", L"\\\\?\\root_device", true, "ROOT_DEVICE", "ROOT_DEVICE"},
      {"prefix only", L"\\\\?\\", true, "", ""},
      {"shorter than four", L"\\\\?", false, "", ""},
      {"empty", L"", false, "", ""},
      // A number sign right after the prefix is no cut point; the last one is.
      {"leading number sign", L"\\\\?\\#ABC", true, "", "\\ABC"},
      {"leading and last", L"\\\\?\\#AB#C", true, "", "\\AB"},
      // The rest after the prefix has a work buffer of 260 characters.
      {"rest of 259", L"\\\\?\\USB#" + std::wstring(251, L'a') + L"#SN1", true, "USB",
       "USB\\" + std::string(251, 'A')},
      {"rest of 260", L"\\\\?\\USB#" + std::wstring(252, L'a') + L"#SN1", false, "", ""},
      {"enumerator of 99", L"\\\\?\\" + std::wstring(99, L'e') + L"#ID" + kGuid, true, std::string(99, 'E'),
       std::string(99, 'E') + "\\ID"},
      {"enumerator of 100", L"\\\\?\\" + std::wstring(100, L'e') + L"#ID" + kGuid, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WCHAR enumerator[kEnumeratorChars];
    WCHAR deviceId[MAX_PATH];
    wmemset(enumerator, L'?', ARRAYSIZE(enumerator));
    wmemset(deviceId, L'?', ARRAYSIZE(deviceId));
    ASSERT_EQ(SplitInterfaceName(c.name.c_str(), enumerator, deviceId), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(Narrow(enumerator), c.enumerator);
    EXPECT_EQ(Narrow(deviceId), c.deviceId);
  }
}

// The queue's events and contents on a machine of its own; whatever is left is freed at the end.
class Queue {
 public:
  Queue() {
    WorkEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    Exiting = false;
  }
  ~Queue() {
    ClearArrivalQueue();
    CloseHandle(WorkEvent);
    CloseHandle(EndEvent);
    WorkEvent = EndEvent = NULL;
    Exiting = false;
  }
  static std::vector<std::string> Ids() {
    std::vector<std::string> ids;
    if (!ArrivalQueue.Tail) return ids;
    const PtrNode* node = ArrivalQueue.Tail->Next;
    for (;;) {
      ids.push_back(Narrow(static_cast<const ArrivalItem*>(node->Item)->DeviceId));
      if (node == ArrivalQueue.Tail) return ids;
      node = node->Next;
    }
  }
  static bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

std::wstring Interface(const std::string& deviceId) {
  std::wstring name = L"\\\\?\\" + Wide(deviceId) + kGuid;
  for (size_t i = 4; i < name.size(); ++i)
    if (name[i] == L'\\') name[i] = L'#';
  return name;
}

TEST(UpdateArrivalQueue, ArrivalsAndRemovals) {
  struct Step {
    WPARAM event;
    const char* deviceId;
  };
  const char* a = "USB\\VID_F0F0&PID_0052\\Q52000123";
  const char* b = "USBSTOR\\DISK&VEN_X\\0001";
  struct Case {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::string> queued, lines;
    bool workSignalled;
  } cases[] = {
      {"duplicate arrival", {{DBT_DEVICEARRIVAL, a}, {DBT_DEVICEARRIVAL, a}}, {a},
       {"Queuing 'USB\\VID_F0F0&PID_0052\\Q52000123' for processing"}, true},
      {"arrival then removal", {{DBT_DEVICEARRIVAL, a}, {DBT_DEVICEREMOVECOMPLETE, a}}, {},
       {"Queuing 'USB\\VID_F0F0&PID_0052\\Q52000123' for processing",
        "Removing 'USB\\VID_F0F0&PID_0052\\Q52000123' from queue"},
       true},
      {"removal of an unknown interface", {{DBT_DEVICEREMOVECOMPLETE, a}}, {}, {}, false},
      {"removal keeps the others in order",
       {{DBT_DEVICEARRIVAL, a}, {DBT_DEVICEARRIVAL, b}, {DBT_DEVICEARRIVAL, "HID\\VID_1\\2"},
        {DBT_DEVICEREMOVECOMPLETE, b}},
       {a, "HID\\VID_1\\2"},
       {"Queuing 'USB\\VID_F0F0&PID_0052\\Q52000123' for processing",
        "Queuing 'USBSTOR\\DISK&VEN_X\\0001' for processing", "Queuing 'HID\\VID_1\\2' for processing",
        "Removing 'USBSTOR\\DISK&VEN_X\\0001' from queue"},
       true},
      {"other event codes", {{DBT_DEVICEQUERYREMOVE, a}, {DBT_DEVNODES_CHANGED, a}}, {}, {}, false},
  };
  InfMachine m(InfMachine::Example{"one-supported"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Queue q;
    FdCapture log;
    for (const Step& s : c.steps) UpdateArrivalQueue(Interface(s.deviceId).c_str(), s.event);
    auto lines = ParseLog(log.Stop());
    EXPECT_EQ(Queue::Ids(), c.queued);
    EXPECT_EQ(ArrivalQueue.Count, static_cast<LONG>(c.queued.size()));
    EXPECT_EQ(Texts(lines), c.lines);
    EXPECT_EQ(Queue::Signalled(WorkEvent), c.workSignalled);
  }
}

const char kStorage[] = "USBSTOR\\DISK&VEN_ACME&PROD_STICK\\0001";

// The processing lines of one queued entry, and what it leaves behind.
TEST(ProcessQueue, Entries) {
  struct Case {
    const char* what;
    std::vector<std::string> queued;
    unsigned pendingInstalls;
    bool exiting;
    std::vector<std::string> infoLines;
    std::string printerDriver;
    bool ended, workSignalled;
    size_t left;
  } cases[] = {
      {"empty queue", {}, 0, false, {"Starting processing\n"}, "usbprint.inf", false, false, 0},
      {"the printer",
       {bulktest::kPrinter},
       0,
       false,
       {"Starting processing\n", "Processing: 'USB\\VID_F0F0&PID_0052\\Q52000123 (USB)'",
        // The root hub first: its first child's ID begins with the queued one.
        "Searching for matching Vexa Q52 USB Bulk INF file", "Searching for matching Vexa Q52 USB Bulk INF file",
        "Device Match Found!", "USB Bulk Driver not installed. Installing...", "InstallSelectedDriver called rc=0",
        "USB Bulk Driver installed successfully!", "Device Match Found!",
        "USB Bulk Driver already successfully installed!", "Driver Installed! Ending process..."},
       "oem3.inf",
       true,
       false,
       0},
      {"a storage device, then the printer",
       {kStorage, bulktest::kPrinter},
       0,
       false,
       {"Starting processing\n", "Processing: 'USBSTOR\\DISK&VEN_ACME&PROD_STICK\\0001 (USBSTOR)'",
        "Searching for matching Vexa Q52 USB Bulk INF file",
        "No matching Vexa Q52 USB Bulk INF file for USBSTOR\\DISK&VEN_ACME&PROD_STICK\\0001",
        "Processing: 'USB\\VID_F0F0&PID_0052\\Q52000123 (USB)'",
        // The root hub first: its first child's ID begins with the queued one.
        "Searching for matching Vexa Q52 USB Bulk INF file", "Searching for matching Vexa Q52 USB Bulk INF file",
        "Device Match Found!", "USB Bulk Driver not installed. Installing...", "InstallSelectedDriver called rc=0",
        "USB Bulk Driver installed successfully!", "Device Match Found!",
        "USB Bulk Driver already successfully installed!", "Driver Installed! Ending process..."},
       "oem3.inf",
       true,
       false,
       0},
      // 45 seconds of installs: one 30-second wait runs out, then the entry is processed.
      {"an install in progress",
       {kStorage},
       9,
       false,
       {"Install in progress... waiting", "Starting processing\n",
        "Processing: 'USBSTOR\\DISK&VEN_ACME&PROD_STICK\\0001 (USBSTOR)'",
        "Searching for matching Vexa Q52 USB Bulk INF file",
        "No matching Vexa Q52 USB Bulk INF file for USBSTOR\\DISK&VEN_ACME&PROD_STICK\\0001"},
       "usbprint.inf",
       false,
       false,
       0},
      {"exiting while installs are in progress",
       {bulktest::kPrinter},
       9,
       true,
       {"Install in progress... waiting"},
       "usbprint.inf",
       false,
       true,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m;
    winsim::PlugDevice(bulktest::kPrinter);
    winsim::AddDevice(DeviceJson(kStorage, {"USBSTOR\\DiskACME____STICK___1.00", "GenDisk"}, "disk.inf"));
    winsim::SetPendingInstalls(c.pendingInstalls, 5000);
    Queue q;
    {
      FdCapture queuing;
      for (const std::string& id : c.queued) UpdateArrivalQueue(Interface(id).c_str(), DBT_DEVICEARRIVAL);
      ParseLog(queuing.Stop());
    }
    SetEvent(WorkEvent);
    Exiting = c.exiting;
    FdCapture log;
    ProcessQueue();
    auto lines = ParseLog(log.Stop());
    std::vector<std::string> info;
    for (const auto& l : lines)
      if (l.level != "Trace") info.push_back(l.text);
    EXPECT_EQ(info, c.infoLines);
    EXPECT_EQ(DriverInf(bulktest::kPrinter), c.printerDriver);
    EXPECT_EQ(Queue::Signalled(EndEvent), c.ended);
    EXPECT_EQ(Queue::Signalled(WorkEvent), c.workSignalled);
    EXPECT_EQ(Queue::Ids().size(), c.left);
  }
}

// A queued ID finds the device itself (by a prefix of its ID) and, through its first child, the
// device above it: the root hub is tried before the printer, whose ID begins with the queued one.
TEST(ProcessArrival, FindsTheDeviceOrItsParent) {
  const std::string hub = "USB\\ROOT_HUB\\4&2F1C0A3B&0", printer = bulktest::kPrinter;
  struct Case {
    const char* what;
    const char* queued;
    std::vector<std::string> found;
    bool installed;
  } cases[] = {
      {"the device itself", "USB\\VID_F0F0&PID_0052\\Q52000123", {hub, printer}, true},
      {"a prefix of its ID", "USB\\VID_F0F0&PID_0052\\Q52", {hub, printer}, true},
      {"its first child", "USBPRINT\\VEXAQ52\\7&1A2B&0&USB001", {printer}, true},
      {"a device not present", "USB\\VID_F0F0&PID_0099\\X", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m;
    winsim::PlugDevice(bulktest::kPrinter);
    winsim::AddDevice(DeviceJson("USBPRINT\\VEXAQ52\\7&1A2B&0&USB001", {"USBPRINT\\VexaQ52"}, "usbprint.inf", true,
                                 bulktest::kPrinter));
    winsim::AddDevice(DeviceJson("USB\\VID_F0F0&PID_0099\\X", {"USB\\VID_F0F0&PID_0099"}, "", false));
    Queue q;
    FdCapture log;
    ProcessArrival(Wide(c.queued).c_str());
    auto lines = ParseLog(log.Stop());
    std::vector<std::string> found;
    const std::string prefix = "Found device ID '";
    for (const std::string& text : Texts(lines))
      if (text.compare(0, prefix.size(), prefix) == 0) found.push_back(text.substr(prefix.size(), text.size() - prefix.size() - 1));
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(CountText(lines, "Driver Installed! Ending process..."), c.installed ? 1u : 0u);
    EXPECT_EQ(CountText(lines, std::string("No matching Vexa Q52 USB Bulk INF file for ") + c.queued),
              c.installed ? 0u : 1u);
    EXPECT_EQ(lines.back(), bulktest::Trace("Finished processing Arrival"));
    EXPECT_EQ(Queue::Signalled(EndEvent), c.installed);
    EXPECT_EQ(DriverInf(printer), c.installed ? "oem3.inf" : "usbprint.inf");
  }
}

TEST(ProcessArrival, DeviceListUnavailable) {
  BulkMachine m;
  Queue q;
  winsim::InjectFault("SetupDiGetClassDevsW", 1, ERROR_NOT_ENOUGH_MEMORY);
  FdCapture log;
  ProcessArrival(L"USB\\VID_F0F0&PID_0052\\Q52000123");
  auto lines = ParseLog(log.Stop());
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{"Finding device ID 'USB\\VID_F0F0&PID_0052\\Q52000123'",
                                                    "Invalid handle from SetupDiGetClassDevs() Error=8"}));
  EXPECT_FALSE(Queue::Signalled(EndEvent));
}

// The main thread waits for EndEvent alone: a SetEvent that fails after the install is tried again
// rather than leaving the run waiting for ever with the driver installed.
TEST(ProcessArrival, EndsTheRunThoughSetEventFailsOnce) {
  BulkMachine m;
  winsim::PlugDevice(bulktest::kPrinter);
  Queue q;
  winsim::InjectFault("SetEvent", winsim::CallCount("SetEvent") + 1, ERROR_INVALID_HANDLE);
  FdCapture log;
  ProcessArrival(Wide(bulktest::kPrinter).c_str());
  auto lines = ParseLog(log.Stop());
  EXPECT_EQ(CountText(lines, "Driver Installed! Ending process..."), 1u);
  EXPECT_TRUE(Queue::Signalled(EndEvent));
}

}  // namespace
