// The command line, and what a device-change broadcast turns into.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>

#include <string>
#include <vector>

#include "arrivals.h"
#include "bulkfixture.h"
#include "main.h"
#include "monitor.h"

using bulktest::InfMachine;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::Trace;

namespace {

TEST(ParseCmdLine, QuietMode) {
  const std::wstring longTail(300, L'x');
  struct Case {
    std::wstring line;
    bool quiet;
  } cases[] = {
      {L"", false},
      {L"/Q", true},
      {L"/q", true},
      {L"/quiet", true},
      {L"Quiet", true},  // a lone word is a token too
      {L"/x/Q", true},
      {L"/x //q", true},
      {L"/ Q", false},  // the token begins with the blank
      {L"-Q", false},
      {L"/", false},
      {L"//", false},
      {L"/x/y", false},
      // Longer than the working buffer: cut, so an option in front still counts and one beyond
      // the first 259 characters does not.
      {L"/Q/" + longTail, true},
      {std::wstring(259, L'x') + L"/Q", false},
      {std::wstring(257, L'x') + L"/Q", true},
  };
  InfMachine m(InfMachine::Example{"one-supported"});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line.begin(), c.line.end()).substr(0, 40));
    QuietMode = false;
    FdCapture log;
    ParseCmdLine(c.line.c_str());
    auto lines = ParseLog(log.Stop());
    EXPECT_EQ(QuietMode, c.quiet);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], Trace("ParseCmdLine(" + std::string(c.line.begin(), c.line.end()) + ")"));
  }
  QuietMode = false;
}

// A broadcast as the system sends it: the header, the class GUID and the terminated name.
std::vector<BYTE> InterfaceBroadcast(const std::wstring& name, DWORD type = DBT_DEVTYP_DEVICEINTERFACE) {
  std::vector<BYTE> buffer(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + name.size() * sizeof(WCHAR));
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  b->dbcc_size = static_cast<DWORD>(buffer.size());
  b->dbcc_devicetype = type;
  memcpy(b->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  return buffer;
}

// Only interface arrivals and removals reach the queue; other events and device types, and a name
// that doesn't end within the broadcast, change nothing and log nothing.
TEST(NotifyWndProc, WhatReachesTheQueue) {
  const std::wstring name = L"\\\\?\\USB#VID_1234&PID_5678#SN0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
  struct Case {
    const char* what;
    WPARAM event;
    DWORD type;
    bool cutName;
    std::vector<std::string> lines;
    LONG queued;
  } cases[] = {
      {"arrival", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, false,
       {"Attached: '\\\\?\\USB#VID_1234&PID_5678#SN0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}'",
        "Queuing 'USB\\VID_1234&PID_5678\\SN0001' for processing"},
       1},
      {"removal", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, false,
       {"Removed: '\\\\?\\USB#VID_1234&PID_5678#SN0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}'"},
       0},
      {"query-remove", DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_DEVICEINTERFACE, false, {}, 0},
      {"volume", DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, false, {}, 0},
      {"handle", DBT_DEVICEARRIVAL, DBT_DEVTYP_HANDLE, false, {}, 0},
      {"name past the broadcast", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, true, {}, 0},
  };
  InfMachine m(InfMachine::Example{"one-supported"});
  WorkEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> broadcast = InterfaceBroadcast(name, c.type);
    if (c.cutName) {
      // The size claims less than the name takes: its terminator lies beyond.
      auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(broadcast.data());
      header->dbch_size = static_cast<DWORD>(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + 4 * sizeof(WCHAR));
    }
    FdCapture log;
    NotifyWndProc(NULL, WM_DEVICECHANGE, c.event, reinterpret_cast<LPARAM>(broadcast.data()));
    auto lines = ParseLog(log.Stop());
    EXPECT_EQ(bulktest::Texts(lines), c.lines);
    EXPECT_EQ(ArrivalQueue.Count, c.queued);
    ClearArrivalQueue();
  }
  CloseHandle(WorkEvent);
  WorkEvent = NULL;
}

}  // namespace
