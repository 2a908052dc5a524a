#include "monitor.h"

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "arrivals.h"
#include "devicematch.h"
#include "inffile.h"
#include "log.h"
#include "main.h"
#include "ptrlist.h"
#include "unique_resource.h"

std::atomic<HWND> NotifyWindow(NULL);

namespace {

const WCHAR kNotifyClass[] = L"PlxHiddenNotifyWindow";
const WCHAR kNotifyTitle[] = L"PlxHiddenNotify";

UniqueHandle MonitorThread;
UniqueHandle WorkerThread;
// Set when the end of a thread of the last start could not be seen.
bool GivenUp = false;

// A wait for a thread's end that fails is tried again this often before the thread is given up on.
const int kThreadWaitAttempts = 3;
const DWORD kThreadWaitRetryMs = 100;
// How long StopMonitoring waits for the monitor before it tries again to post a wake-up that failed.
const DWORD kRepostMs = 1000;

HANDLE StartSuspended(LPTHREAD_START_ROUTINE routine, DWORD* threadId) {
  return CreateThread(NULL, 0, routine, NULL, CREATE_SUSPENDED, threadId);
}

// Tells both threads to leave their loops. StopEvent first: the monitor, woken by WM_CLOSE, must
// find it set. A worker that StopEvent could not reach is woken through WorkEvent and sees Exiting.
void SignalStop() {
  const bool stopSet = SetEvent(StopEvent) != FALSE;
  Exiting = true;
  if (!stopSet) {
    QueueLock lock;
    if (WorkEvent) SetEvent(WorkEvent);
  }
}

// False when THREAD's end could not be seen: its wait kept failing.
bool WaitForThreadEnd(HANDLE thread) {
  if (!thread) return true;
  for (int attempt = 0; attempt < kThreadWaitAttempts; ++attempt) {
    if (attempt) Sleep(kThreadWaitRetryMs);
    if (WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0) return true;
  }
  return false;
}

// Once both threads have ended. A thread whose end could not be seen may still use the events,
// the queue and the supported INF: then they are left to the end of the process rather than
// released under it.
void ReleaseThreads(bool ended) {
  if (ended) {
    WorkerThread.reset();
    UniqueHandle::CloseShared(MonitorDoneEvent);
    MonitorThread.reset();
    UniqueHandle::CloseShared(StopEvent);
    UniqueHandle::CloseShared(WorkEvent);  // the worker closes and clears it as it ends; this is a safeguard
    ClearArrivalQueue();
    SupportedInf.reset();
  } else {
    WorkerThread.release();
    MonitorThread.release();
  }
  GivenUp = !ended;
  ThreadsStarted = false;
}

// The monitor's message loop. False when GetMessageW failed: nothing reports a device any more.
bool RunMessageLoop() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, NULL, 0, 0)) != 0) {
    if (got == -1) return false;
    if (WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) break;
    // Only StopMonitoring posts WM_CLOSE here. Dispatched, it would destroy the window and leave
    // the thread waiting for messages that never come, should StopEvent not have been set.
    if (msg.hwnd == NotifyWindow && msg.message == WM_CLOSE) break;
    DispatchMessageW(&msg);
  }
  return true;
}

}  // namespace

bool StartMonitoring() {
  GivenUp = false;
  MonitorDoneEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  WorkEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!MonitorDoneEvent || !StopEvent || !WorkEvent) {
    UniqueHandle::CloseShared(MonitorDoneEvent);
    UniqueHandle::CloseShared(StopEvent);
    UniqueHandle::CloseShared(WorkEvent);
    ThreadsStarted = false;
    return false;
  }

  // Both threads are created before either runs: when the second cannot be created, the first
  // has not touched the events yet, and they can be closed under it safely.
  DWORD threadId = 0;
  MonitorThread.reset(StartSuspended(dev_mon_main, &threadId));
  WorkerThread.reset(MonitorThread ? StartSuspended(worker_main, &threadId) : NULL);
  if (!MonitorThread || !WorkerThread) {
    LogQuick(LOG_ERROR, "Thread starting failure...");
    // A thread that never ran holds nothing; it stays suspended until the process ends.
    MonitorThread.reset();
    UniqueHandle::CloseShared(MonitorDoneEvent);
    UniqueHandle::CloseShared(StopEvent);
    UniqueHandle::CloseShared(WorkEvent);
    ThreadsStarted = false;
    return false;
  }
  // The worker first: when the monitor then cannot be resumed, only the worker has run, and it
  // leaves its loop on StopEvent. A thread that never runs would leave the run waiting for ever.
  const DWORD kResumeFailed = static_cast<DWORD>(-1);
  bool workerRuns = ResumeThread(WorkerThread.get()) != kResumeFailed;
  if (!workerRuns || ResumeThread(MonitorThread.get()) == kResumeFailed) {
    LogQuick(LOG_ERROR, "Thread starting failure...");
    bool ended = true;
    if (workerRuns) {
      SignalStop();
      ended = WaitForThreadEnd(WorkerThread.get());
    }
    ReleaseThreads(ended);
    return false;
  }
  ThreadsStarted = true;
  return true;
}

void StopMonitoring() {
  if (!ThreadsStarted) return;
  SignalStop();
  BOOL posted = PostMessageW(NotifyWindow, WM_CLOSE, 0, 0);
  LogQuick(LOG_TRACE, "Exiting...");
  // The monitor leaves GetMessageW only for a message, so a wake-up that could not be posted is
  // posted again until one is, or the monitor has ended by itself (before its loop). Its thread's
  // end counts as done as well: a MonitorDoneEvent that could not be set keeps nobody waiting.
  HANDLE monitor[2] = {MonitorDoneEvent, MonitorThread.get()};
  while (WaitForMultipleObjects(2, monitor, FALSE, posted ? INFINITE : kRepostMs) == WAIT_TIMEOUT)
    posted = PostMessageW(NotifyWindow, WM_CLOSE, 0, 0);
  // Done is set just before the monitor's routine returns; the worker may still be installing.
  // The events stay open until both threads have ended.
  const bool monitorEnded = WaitForThreadEnd(MonitorThread.get());
  const bool workerEnded = WaitForThreadEnd(WorkerThread.get());
  ReleaseThreads(monitorEnded && workerEnded);
}

bool AThreadWasGivenUp() { return GivenUp; }

DWORD WINAPI dev_mon_main(LPVOID) {
  if (!CreateHiddenWindow()) {
    Log(LOG_ERROR, "dev_mon_main - CreateHiddenWindow Failed. GetLastError: %d", static_cast<int>(GetLastError()));
    // Nothing could ever report a device now; end the run rather than wait for one.
    EndRun();
    SetEvent(MonitorDoneEvent);
    return 0;
  }
  HDEVNOTIFY notification = RegisterNotifications();

  if (!FindSupportedInf()) {
    Log(LOG_INFO, "Vexa Q52 USB Bulk Driver not found on Host System");
    EndRun();
  } else {
    Log(LOG_INFO, "Vexa Q52 USB Bulk Driver is available");
    if (FindInstalledDevices() == 1)
      EndRun();
    else
      Log(LOG_INFO, "Waiting for Vexa Q52 USB Bulk Capable Device...");

    // A stop that came before the window existed posted its WM_CLOSE nowhere: don't wait for it.
    // A loop that GetMessageW ended leaves the run waiting for arrivals nobody reports: it ends.
    if (WaitForSingleObject(StopEvent, 0) != WAIT_OBJECT_0 && !RunMessageLoop()) EndRun();
  }

  // Given back on every road, so that no registration outlives the thread that receives it.
  if (notification) UnregisterDeviceNotification(notification);
  SetEvent(MonitorDoneEvent);
  return 0;
}

bool CreateHiddenWindow() {
  WNDCLASSW wc;
  memset(&wc, 0, sizeof(wc));
  wc.style = 0;
  wc.lpfnWndProc = NotifyWndProc;
  wc.hInstance = hInst;
  wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kNotifyClass;
  if (!RegisterClassW(&wc)) return false;

  NotifyWindow = CreateWindowExW(0, kNotifyClass, kNotifyTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                 32, 32, 256, 96, NULL, NULL, hInst, NULL);
  if (!NotifyWindow) {
    Log(LOG_ERROR, "dev_mon_main - CreateWindow Failed. GetLastError: %d", static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

HDEVNOTIFY RegisterNotifications() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter;
  memset(&filter, 0, sizeof(filter));
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HDEVNOTIFY notification = RegisterDeviceNotificationW(
      NotifyWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  if (!notification)
    Log(LOG_ERROR, "RegisterDeviceNotification Failed. GetLastError(): %d", static_cast<int>(GetLastError()));
  return notification;
}

LRESULT CALLBACK NotifyWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    try {
      OnDeviceChange(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
    } catch (...) {
      LogQuick(LOG_ERROR, "Exception processing WM_DEVICECHANGE");
    }
  }
  return DefWindowProcW(hWnd, message, wParam, lParam);
}

void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header) {
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
  // The name must end within the broadcast the header describes.
  const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_size <= nameOffset) return;
  const size_t room = (header->dbch_size - nameOffset) / sizeof(WCHAR);
  if (wcsnlen(broadcast->dbcc_name, room) == room) return;

  const WCHAR* name = broadcast->dbcc_name;
  if (event == DBT_DEVICEARRIVAL) {
    WLog(LOG_TRACE, L"Attached: '%s'", name);
    UpdateArrivalQueue(name, DBT_DEVICEARRIVAL);
  } else if (event == DBT_DEVICEREMOVECOMPLETE) {
    WLog(LOG_TRACE, L"Removed: '%s'", name);
    UpdateArrivalQueue(name, DBT_DEVICEREMOVECOMPLETE);
  }
}
