// Threads, events and waits on the machine's clock; windows and message queues across threads;
// device broadcasts from the timeline and from `winsim plug` while a program runs.
#include <gtest/gtest.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/devices.h"
#include "winsim/model_timeline.h"
#include "winsim/threads.h"

namespace {

using testsupport::TempMachine;

const char kQ52[] = "USB\\VID_F0F0&PID_0052\\Q52000123";
const char kQ52Interface[] = "\\\\?\\USB#VID_F0F0&PID_0052#Q52000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

class Threads : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(winsim::OpenHandles().empty()); }
  TempMachine machine_;
};

int64_t Now() { return winsim::NowUnixMillis(); }

struct SleepThenSet {
  DWORD sleepMs;
  HANDLE event;
};

DWORD WINAPI SleepThenSetRoutine(LPVOID p) {
  auto* a = static_cast<SleepThenSet*>(p);
  Sleep(a->sleepMs);
  SetEvent(a->event);
  return 7;
}

TEST_F(Threads, EventsResetAsCreatedAndWaitsReportWhichObject) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoReset = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_TRUE(manual && autoReset);
  // An auto-reset event lets one wait through; a manual one stays set until reset.
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);

  HANDLE both[] = {autoReset, manual};
  // Wait-any reports the lowest signalled index; wait-all needs every one.
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(autoReset);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  SetEvent(autoReset);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "wait-all consumed it";
  EXPECT_TRUE(ResetEvent(manual));
  int64_t before = Now();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(Now() - before, 10000);

  HANDLE same[] = {manual, manual};
  struct Bad {
    const char* what;
    DWORD result, error;
  } bad[] = {
      {"duplicate in wait-all", WaitForMultipleObjects(2, same, TRUE, 0), ERROR_INVALID_PARAMETER},
      {"no handles", WaitForMultipleObjects(0, both, FALSE, 0), ERROR_INVALID_PARAMETER},
  };
  for (auto& b : bad) EXPECT_EQ(b.result, WAIT_FAILED) << b.what;
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(autoReset));
  // A closed handle is no longer one, for every call that takes it.
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(manual));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Threads, VirtualTimeMovesOnlyWhenEveryThreadIsBlocked) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SleepThenSet arg{2000, event};
  auto realStart = std::chrono::steady_clock::now();
  int64_t start = Now();
  HANDLE thread = CreateThread(nullptr, 0, SleepThenSetRoutine, &arg, 0, nullptr);
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(Now() - start, 2000) << "the wait ends when the other thread sets the event";
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(winsim::ThreadsRunning(), 0);
}

TEST_F(Threads, ASuspendedThreadRunsOnlyOnceResumed) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SleepThenSet arg{0, event};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, SleepThenSetRoutine, &arg, CREATE_SUSPENDED, &id);
  ASSERT_TRUE(thread);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  // A suspended thread takes no part: time passes for the waiting one.
  EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(ResumeThread(thread), 0u);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(event));
}

// The Plug and Play wait and Sleep share the clock with the other threads' waits.
DWORD WINAPI WaitForInstalls(LPVOID p) {
  *static_cast<DWORD*>(p) = CMP_WaitNoPendingInstallEvents(30000);
  return 0;
}

TEST_F(Threads, PendingInstallsEndOnTheSharedClock) {
  winsim::SetPendingInstalls(1, 4000);
  DWORD result = 0;
  int64_t start = Now();
  HANDLE thread = CreateThread(nullptr, 0, WaitForInstalls, &result, 0, nullptr);
  Sleep(1000);
  EXPECT_EQ(Now() - start, 1000);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_EQ(Now() - start, 4000);
  CloseHandle(thread);
}

// Many rounds of a set racing a wait on another thread: no wake-up is lost, none is doubled.
struct PingPong {
  HANDLE ping, pong;
  int rounds;
  std::atomic<int> seen{0};
};

DWORD WINAPI Ponger(LPVOID p) {
  auto* pp = static_cast<PingPong*>(p);
  for (int i = 0; i < pp->rounds; ++i) {
    if (WaitForSingleObject(pp->ping, INFINITE) != WAIT_OBJECT_0) return 1;
    ++pp->seen;
    SetEvent(pp->pong);
  }
  return 0;
}

TEST_F(Threads, AutoResetEventsPassEveryRoundBetweenThreads) {
  PingPong pp;
  pp.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  pp.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  pp.rounds = 500;
  HANDLE thread = CreateThread(nullptr, 0, Ponger, &pp, 0, nullptr);
  for (int i = 0; i < pp.rounds; ++i) {
    SetEvent(pp.ping);
    ASSERT_EQ(WaitForSingleObject(pp.pong, 60000), WAIT_OBJECT_0) << "round " << i;
    ASSERT_EQ(pp.seen.load(), i + 1);
  }
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 0u);
  for (HANDLE h : {thread, pp.ping, pp.pong}) CloseHandle(h);
}

// ---------------------------------------------------------------- windows and queues

struct WindowLog {
  std::vector<UINT> messages;
  HWND hwnd = nullptr;
  HANDLE ready = nullptr;
  HANDLE gotDevice = nullptr;  // set by the window procedure for each broadcast
  std::vector<std::string> devices;
};
WindowLog* g_log = nullptr;

LRESULT CALLBACK LoggingProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  g_log->messages.push_back(msg);
  if (msg == WM_DESTROY) PostQuitMessage(42);
  if (msg == WM_DEVICECHANGE) {
    auto* di = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(l);
    std::string name;
    for (const wchar_t* c = di->dbcc_name; *c; ++c) name += static_cast<char>(*c);
    g_log->devices.push_back((w == DBT_DEVICEARRIVAL ? "arrival " : "removal ") + name);
    SetEvent(g_log->gotDevice);
  }
  return DefWindowProcW(h, msg, w, l);
}

ATOM RegisterLogging(const wchar_t* name) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = LoggingProc;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc);
}

// A window on its own thread, with a message loop; the thread's result is the quit code.
DWORD WINAPI WindowThread(LPVOID listen) {
  g_log->hwnd = CreateWindowExW(0, L"LoggingClass", L"t", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  HDEVNOTIFY note = nullptr;
  if (listen) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    note = RegisterDeviceNotificationW(g_log->hwnd, &filter, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  }
  SetEvent(g_log->ready);
  MSG msg;
  BOOL r;
  while ((r = GetMessageW(&msg, nullptr, 0, 0)) > 0) DispatchMessageW(&msg);
  if (note) UnregisterDeviceNotification(note);
  return r == 0 ? static_cast<DWORD>(msg.wParam) : 99;
}

class Windows : public Threads {
 protected:
  void SetUp() override {
    g_log = &log_;
    log_.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    log_.gotDevice = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(RegisterLogging(L"LoggingClass"), 0);
  }
  void TearDown() override {
    CloseHandle(log_.ready);
    CloseHandle(log_.gotDevice);
    g_log = nullptr;
    Threads::TearDown();
  }
  HANDLE Start(bool listen) {
    HANDLE t = CreateThread(nullptr, 0, WindowThread, listen ? this : nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(log_.ready, INFINITE), WAIT_OBJECT_0);
    return t;
  }
  WindowLog log_;
};

TEST_F(Windows, ClassesAreFoundWithoutRegardToCaseAndRegisteredOnce) {
  SetLastError(0);
  EXPECT_EQ(RegisterLogging(L"LOGGINGCLASS"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  HWND h = CreateWindowExW(0, L"loggingclass", L"main", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(h);
  EXPECT_EQ(log_.messages, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
  EXPECT_FALSE(ShowWindow(h, SW_HIDE));
  EXPECT_TRUE(UpdateWindow(h));
  auto windows = winsim::WindowsCreated();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].title, "main");
  EXPECT_EQ(windows[0].showCommands, std::vector<int>{SW_HIDE});
  EXPECT_FALSE(windows[0].everVisible);
  ShowWindow(h, SW_SHOWDEFAULT);
  EXPECT_TRUE(winsim::WindowsCreated()[0].everVisible) << "a test can tell that a window was shown";
  EXPECT_TRUE(DestroyWindow(h));
  EXPECT_FALSE(IsWindow(h));
  MSG msg;
  EXPECT_EQ(GetMessageW(&msg, h, 0, 0), -1) << "a destroyed window is no window";
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0) << "WM_DESTROY posted the quit message";
  EXPECT_EQ(msg.wParam, 42u);
}

TEST_F(Windows, MessagesPostedFromAnotherThreadRunOnTheWindowsThread) {
  HANDLE t = Start(false);
  SetLastError(0);
  EXPECT_FALSE(DestroyWindow(log_.hwnd)) << "only the owner destroys a window";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PostMessageW(log_.hwnd, WM_COMMAND, 104, 0));
  EXPECT_TRUE(PostMessageW(log_.hwnd, WM_CLOSE, 0, 0));  // DefWindowProcW destroys it
  EXPECT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(log_.messages,
            (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_COMMAND, WM_CLOSE, WM_DESTROY, WM_NCDESTROY}));
  EXPECT_FALSE(PostMessageW(log_.hwnd, WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  CloseHandle(t);
}

TEST_F(Windows, TheTimelineBroadcastsAnArrivalToRegisteredWindows) {
  int64_t start = Now();
  HANDLE t = Start(true);
  // Nothing is due before the arrival, 1 s after the registration: the clock runs to it.
  ASSERT_EQ(WaitForSingleObject(log_.gotDevice, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(Now() - start, 1000);
  ASSERT_EQ(log_.devices, std::vector<std::string>{std::string("arrival ") + kQ52Interface});
  EXPECT_EQ(winsim::NotificationsDelivered(), std::vector<std::string>{std::string("arrival ") + kQ52Interface});
  // The device is now present, as Plug and Play reports it.
  ULONG len = 0;
  EXPECT_EQ(CM_Get_Device_ID_List_SizeW(&len, L"USB\\VID_F0F0&PID_0052\\Q52000123", CM_GETIDLIST_FILTER_BUSRELATIONS),
            static_cast<CONFIGRET>(CR_SUCCESS));
  winsim::DeviceLeaves(kQ52);
  PostMessageW(log_.hwnd, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(log_.devices.size(), 2u);
  EXPECT_EQ(log_.devices[1], std::string("removal ") + kQ52Interface);
  CloseHandle(t);
}

// ---------------------------------------------------------------- as processes

// A machine in DIR without a timeline: the printer, attached once before, comes only from the
// winsim command.
void CreateMachineWithoutTimeline(const std::string& dir) {
  testsupport::CreateMachineDir(dir);
  std::ifstream in(dir + "/machine.json");
  nlohmann::json doc = nlohmann::json::parse(in);
  auto devices = winsim::model::DevicesOf(doc);
  winsim::model::RegisterDescribed(devices, winsim::model::TimelineOf(doc), false);
  winsim::model::SetDevices(doc, devices);
  winsim::model::SetTimeline(doc, {});
  std::ofstream(dir + "/machine.json") << doc.dump(2);
}

TEST(WindowedProgram, GetsItsCommandLineAndALivePlug) {
  testsupport::TempDir tmp;
  std::string dir = tmp / "m";
  CreateMachineWithoutTimeline(dir);
  testsupport::ProcessResult probe;
  std::thread run([&] {
    probe = testsupport::Run("winsim-notifyprobe", {"2", "a b"}, tmp.path(), {{"WINSIM_MACHINE", dir}});
  });
  // The request waits in the machine directory until the running program takes it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto plug = testsupport::Run("winsim", {"plug", dir, kQ52}, tmp.path());
  auto unplug = testsupport::Run("winsim", {"unplug", dir, kQ52}, tmp.path());
  run.join();
  EXPECT_EQ(plug.status, 0) << plug.err;
  EXPECT_NE(plug.out.find("the running program took it"), std::string::npos) << plug.out;
  EXPECT_EQ(unplug.status, 0) << unplug.err;
  ASSERT_EQ(probe.status, 0) << probe.err;
  auto lines = testsupport::Lines(probe.out);
  ASSERT_EQ(lines.size(), 4u) << probe.out;
  EXPECT_EQ(lines[0], "cmdline [2 \"a b\"] show 10");
  EXPECT_EQ(lines[2], std::string("arrival ") + kQ52Interface);
  EXPECT_EQ(lines[3], std::string("removal ") + kQ52Interface);
  nlohmann::json report = nlohmann::json::parse(testsupport::ReadFile(dir + "/last-run.json"));
  EXPECT_EQ(report["deviceEvents"].size(), 2u);
  EXPECT_EQ(report["handlesOpenAtExit"], nlohmann::json::object());
  // With the program gone, the command changes the machine itself.
  auto offline = testsupport::Run("winsim", {"plug", dir, kQ52}, tmp.path());
  EXPECT_EQ(offline.status, 0) << offline.err;
  EXPECT_EQ(offline.out, "");
  auto devices = winsim::model::DevicesOf(nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json")));
  EXPECT_TRUE(std::any_of(devices.begin(), devices.end(), [](auto& d) { return d.instanceId == kQ52 && d.present; }));
}

// The times the threads of process PID have been put on a CPU so far.
unsigned long long RunsOf(pid_t pid) {
  unsigned long long total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long cpu = 0, waited = 0, runs = 0;
    if (in >> cpu >> waited >> runs) total += runs;
  }
  return total;
}

// A program waiting for devices keeps its threads off the CPU until something comes: a plug
// request wakes it, nothing else does.
TEST(WindowedProgram, WaitsWithoutWakingUntilAPlugComes) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's own background thread wakes the process";
#endif
  testsupport::TempDir tmp;
  std::string dir = tmp / "m";
  CreateMachineWithoutTimeline(dir);
  const std::string out = tmp / "out";
  testsupport::WriteFile(out, "");
  pid_t pid = testsupport::Start("winsim-notifyprobe", {"1"}, tmp.path(), {{"WINSIM_MACHINE", dir}}, out, "");
  ASSERT_GT(pid, 0);
  // Measured once it listens and has settled in its wait; the request directory does not exist yet.
  for (int i = 0; i < 500 && testsupport::ReadFile(out).find("listening\n") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const unsigned long long before = RunsOf(pid);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const unsigned long long woken = RunsOf(pid) - before;
  auto plug = testsupport::Run("winsim", {"plug", dir, kQ52}, tmp.path());
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  // Polling every 50 ms would put each of its threads on a CPU about 20 times in that second.
  EXPECT_LE(woken, 2u);
  EXPECT_EQ(plug.status, 0) << plug.err;
  EXPECT_NE(plug.out.find("the running program took it"), std::string::npos) << plug.out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(testsupport::Lines(testsupport::ReadFile(out)),
            (std::vector<std::string>{"cmdline [1] show 10", "listening", std::string("arrival ") + kQ52Interface}));
}

}  // namespace
