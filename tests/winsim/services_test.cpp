// The simulated Service Control Manager, files and heap: what the conformance program cannot show
// on Windows (timings on the machine's clock, refusals that need a configured machine, the state
// kept in machine.json) and winsim's own accounting.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/files.h"
#include "winsim/heap.h"
#include "winsim/model_files.h"
#include "winsim/services.h"

namespace {

using nlohmann::json;
using testsupport::TempMachine;

// A service handle closed when it goes.
struct Service {
  Service(const wchar_t* name, DWORD access = SERVICE_ALL_ACCESS) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    handle = OpenServiceW(manager, name, access);
  }
  ~Service() {
    if (handle) CloseServiceHandle(handle);
    CloseServiceHandle(manager);
  }
  DWORD State() const {
    SERVICE_STATUS_PROCESS ssp;
    DWORD needed = 0;
    return QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof ssp, &needed)
               ? ssp.dwCurrentState
               : 0;
  }
  SC_HANDLE manager, handle;
};

// Changes the service through the test controls.
template <typename Edit>
void Change(const std::string& name, Edit edit) {
  winsim::ServiceConfig c;
  ASSERT_TRUE(winsim::GetService(name, c));
  edit(c);
  winsim::SetService(c);
}
void SetState(const std::string& name, const std::string& state, bool acceptsStop = true) {
  Change(name, [&](winsim::ServiceConfig& c) { c.state = state, c.acceptsStop = acceptsStop; });
}

json MachineJson(const TempMachine& m) { return json::parse(testsupport::ReadFile(m.dir() + "/machine.json")); }

TEST(Services, StopAndStartTakeTheirTimeOnTheMachineClock) {
  TempMachine machine;
  Service spooler(L"Spooler");
  SERVICE_STATUS st;
  ASSERT_TRUE(ControlService(spooler.handle, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(st.dwWaitHint, 700u);  // the image's stopMs
  EXPECT_EQ(st.dwControlsAccepted, 0u);
  Sleep(699);
  EXPECT_EQ(spooler.State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  Sleep(1);
  EXPECT_EQ(spooler.State(), static_cast<DWORD>(SERVICE_STOPPED));

  ASSERT_TRUE(StartServiceW(spooler.handle, 0, nullptr));
  EXPECT_EQ(spooler.State(), static_cast<DWORD>(SERVICE_START_PENDING));
  winsim::AdvanceClock(1200);
  EXPECT_EQ(spooler.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(winsim::ServiceChanges(), (std::vector<std::string>{"StopService Spooler", "StartService Spooler"}));
}

TEST(Services, RefusalsByStateDependentsAndConfiguration) {
  struct Row {
    const char* what;
    const wchar_t* service;
    void (*setUp)();
    bool start;  // StartServiceW, else ControlService(STOP)
    DWORD error;
  } rows[] = {
      {"active dependent", L"Spooler", [] { SetState("Fax", "running"); }, false, ERROR_DEPENDENT_SERVICES_RUNNING},
      {"pending", L"Spooler", [] { SetState("Spooler", "start-pending"); }, false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {"does not accept stop", L"Spooler", [] { SetState("Spooler", "running", false); }, false,
       ERROR_INVALID_SERVICE_CONTROL},
      {"not active", L"Fax", [] {}, false, ERROR_SERVICE_NOT_ACTIVE},
      {"running", L"Spooler", [] {}, true, ERROR_SERVICE_ALREADY_RUNNING},
      {"paused", L"Spooler", [] { SetState("Spooler", "paused"); }, true, ERROR_SERVICE_ALREADY_RUNNING},
      {"start refused", L"Fax", [] { Change("Fax", [](auto& c) { c.startError = ERROR_SERVICE_DISABLED; }); }, true,
       ERROR_SERVICE_DISABLED},
      {"dependency fails", L"Fax",
       [] { Change("Spooler", [](auto& c) { c.state = "stopped", c.startError = ERROR_SERVICE_DISABLED; }); }, true,
       ERROR_SERVICE_DEPENDENCY_FAIL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempMachine machine;
    row.setUp();
    std::string before = winsim::ServiceStateName("Spooler") + "/" + winsim::ServiceStateName("Fax");
    Service s(row.service);
    SERVICE_STATUS st;
    SetLastError(0);
    EXPECT_FALSE(row.start ? StartServiceW(s.handle, 0, nullptr) : ControlService(s.handle, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), row.error);
    EXPECT_EQ(winsim::ServiceStateName("Spooler") + "/" + winsim::ServiceStateName("Fax"), before);
    EXPECT_TRUE(winsim::ServiceChanges().empty());
  }
}

TEST(Services, StartingADependentStartsWhatItNeedsFirst) {
  TempMachine machine;
  SetState("Spooler", "stopped");
  Service fax(L"Fax");
  ASSERT_TRUE(StartServiceW(fax.handle, 0, nullptr));
  EXPECT_EQ(winsim::ServiceChanges(), (std::vector<std::string>{"StartService Spooler", "StartService Fax"}));
}

TEST(Services, DependentsAreListedDeepestFirstWithTheirStringsPacked) {
  TempMachine machine;
  winsim::SetService({{}, "Q52Agent", "Q52 Agent", "running", 0, 0, true, 0, {"Fax"}, {}, {}});
  SetState("Fax", "running");
  Service spooler(L"Spooler");
  DWORD needed = 0, count = 0;
  ASSERT_FALSE(EnumDependentServicesW(spooler.handle, SERVICE_ACTIVE, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, 2 * sizeof(ENUM_SERVICE_STATUSW) + (9 + 10 + 4 + 4) * sizeof(WCHAR));
  std::vector<unsigned char> buf(needed);
  auto* records = reinterpret_cast<LPENUM_SERVICE_STATUSW>(buf.data());
  ASSERT_TRUE(EnumDependentServicesW(spooler.handle, SERVICE_ACTIVE, records, needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(records[0].lpServiceName, L"Q52Agent");
  EXPECT_STREQ(records[0].lpDisplayName, L"Q52 Agent");
  EXPECT_STREQ(records[1].lpServiceName, L"Fax");
  EXPECT_EQ(reinterpret_cast<unsigned char*>(records[0].lpServiceName), buf.data() + 2 * sizeof(ENUM_SERVICE_STATUSW));

  SetState("Fax", "stopped");
  SetState("Q52Agent", "stopped");
  EXPECT_TRUE(EnumDependentServicesW(spooler.handle, SERVICE_ACTIVE, nullptr, 0, &needed, &count));
  EXPECT_EQ(count, 0u);
}

TEST(Services, TransitionsAndChangesAreKeptInTheMachineFiles) {
  TempMachine machine;
  {
    Service spooler(L"Spooler");
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(spooler.handle, SERVICE_CONTROL_STOP, &st));
  }
  winsim::ReleaseMachine();
  json doc = MachineJson(machine);
  json last = json::parse(testsupport::ReadFile(machine.dir() + "/last-run.json"));
  EXPECT_EQ(last["changes"], json::array({"StopService Spooler"}));
  auto services = winsim::model::ServicesOf(doc);
  ASSERT_EQ(services.size(), 3u);
  winsim::model::Service &spooler = services[1], &fax = services[2];
  EXPECT_EQ(spooler.name + "/" + spooler.state, "Spooler/stop-pending");
  EXPECT_EQ(spooler.settlesAt.value_or(""), "2026-12-06T16:17:09.742Z");

  // A pending state a person writes, without an end time, ends its configured time after the
  // first look; a stop that never ends stays pending.
  spooler.settlesAt.reset();
  fax.state = "start-pending", fax.startMs = -1;
  winsim::model::SetServices(doc, services);
  testsupport::WriteFile(machine.dir() + "/machine.json", doc.dump(2));
  winsim::UseMachine(machine.dir());
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "stop-pending");
  winsim::AdvanceClock(700);
  EXPECT_EQ(winsim::ServiceStateName("Spooler"), "stopped");
  winsim::AdvanceClock(24 * 3600 * 1000);
  EXPECT_EQ(winsim::ServiceStateName("Fax"), "start-pending");
}

TEST(FileCalls, MarksComeFromMachineJsonAndGoWithTheFile) {
  TempMachine machine;
  winsim::ReleaseMachine();
  json doc = MachineJson(machine);
  // Any spelling of the path names the file.
  winsim::model::Files files;
  files["c:/windows/SYSTEM32/vexaq52api.dll"].readOnly = true;
  files["C:\\WINDOWS\\system32\\vexaktmon.dll"].inUse = true;
  winsim::model::SetFiles(doc, files);
  testsupport::WriteFile(machine.dir() + "/machine.json", doc.dump(2));
  winsim::UseMachine(machine.dir());
  EXPECT_FALSE(DeleteFileW(L"C:\\WINDOWS\\system32\\vexaq52api.dll"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(L"C:\\WINDOWS\\system32\\VEXAKTMON.DLL"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CopyFileW(L"C:\\WINDOWS\\system32\\vexaktmon.dll", L"C:\\WINDOWS\\Temp\\m.dll", TRUE));

  ASSERT_TRUE(SetFileAttributesW(L"C:\\WINDOWS\\system32\\vexaq52api.dll", FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(DeleteFileW(L"C:\\WINDOWS\\system32\\vexaq52api.dll"));
  winsim::SetFileInUse(L"C:\\WINDOWS\\system32\\vexaktmon.dll", false);
  winsim::ReleaseMachine();
  EXPECT_TRUE(winsim::model::FilesOf(MachineJson(machine)).empty());
}

TEST(FileCalls, SearchesListInNameOrderAndCloseTheirHandles) {
  TempMachine machine;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(L"C:\\WINDOWS\\system32\\vexa*", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::wstring> names{fd.cFileName};
  while (FindNextFileW(h, &fd)) names.push_back(fd.cFileName);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"vexaktmon.cnt", L"vexaktmon.dll", L"vexaktmon.hlp", L"vexaktmonui.dll",
                                              L"vexaq52api.dll", L"vexaq52setup.exe"}));
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"FindFile", 1}}));
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

TEST(Heap, BlocksAreZeroedCountedAndFreedOnce) {
  TempMachine machine;
  size_t before = winsim::HeapBlocksInUse();
  auto* p = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::count(p, p + 64, 0), 64);
  EXPECT_EQ(winsim::HeapBlocksInUse(), before + 1);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, p));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(winsim::HeapBlocksInUse(), before);

  // A failing allocation leaves the last error as it was, as on Windows.
  winsim::InjectFault("HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(1234);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
