#include "monitor.h"

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "arrivals.h"
#include "devices.h"
#include "inffile.h"
#include "log.h"
#include "main.h"

HWND NotifyWindow = NULL;

namespace {

const WCHAR kNotifyClass[] = L"PlxHiddenNotifyWindow";
const WCHAR kNotifyTitle[] = L"PlxHiddenNotify";

HANDLE MonitorThread = NULL;
HANDLE WorkerThread = NULL;

void CloseAndClear(HANDLE& handle) {
  if (handle) CloseHandle(handle);
  handle = NULL;
}

HANDLE StartSuspended(LPTHREAD_START_ROUTINE routine, DWORD* threadId) {
  return CreateThread(NULL, 0, routine, NULL, CREATE_SUSPENDED, threadId);
}

}  // namespace

bool StartMonitoring() {
  MonitorDoneEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  WorkEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!MonitorDoneEvent || !StopEvent || !WorkEvent) {
    CloseAndClear(MonitorDoneEvent);
    CloseAndClear(StopEvent);
    CloseAndClear(WorkEvent);
    ThreadsStarted = false;
    return false;
  }

  // Both threads are created before either runs: when the second cannot be created, the first
  // has not touched the events yet, and they can be closed under it safely.
  DWORD threadId = 0;
  MonitorThread = StartSuspended(dev_mon_main, &threadId);
  WorkerThread = MonitorThread ? StartSuspended(worker_main, &threadId) : NULL;
  if (!MonitorThread || !WorkerThread) {
    LogQuick(LOG_ERROR, "Thread starting failure...");
    // A thread that never ran holds nothing; it stays suspended until the process ends.
    CloseAndClear(MonitorThread);
    CloseAndClear(MonitorDoneEvent);
    CloseAndClear(StopEvent);
    CloseAndClear(WorkEvent);
    ThreadsStarted = false;
    return false;
  }
  // The worker first: when the monitor then cannot be resumed, only the worker has run, and it
  // leaves its loop on StopEvent. A thread that never runs would leave the run waiting for ever.
  const DWORD kResumeFailed = static_cast<DWORD>(-1);
  bool workerRuns = ResumeThread(WorkerThread) != kResumeFailed;
  if (!workerRuns || ResumeThread(MonitorThread) == kResumeFailed) {
    LogQuick(LOG_ERROR, "Thread starting failure...");
    if (workerRuns) {
      SetEvent(StopEvent);
      Exiting = true;
      WaitForSingleObject(WorkerThread, INFINITE);
    }
    CloseAndClear(WorkerThread);
    CloseAndClear(MonitorThread);
    CloseAndClear(MonitorDoneEvent);
    CloseAndClear(StopEvent);
    CloseAndClear(WorkEvent);
    ClearArrivalQueue();
    ThreadsStarted = false;
    return false;
  }
  ThreadsStarted = true;
  return true;
}

void StopMonitoring() {
  if (!ThreadsStarted) return;
  // StopEvent first: the monitor, woken by WM_CLOSE, must find it set.
  SetEvent(StopEvent);
  Exiting = true;
  PostMessageW(NotifyWindow, WM_CLOSE, 0, 0);
  LogQuick(LOG_TRACE, "Exiting...");
  WaitForSingleObject(MonitorDoneEvent, INFINITE);
  WaitForSingleObject(MonitorThread, INFINITE);  // done is set just before its routine returns
  // The worker may still be installing; the events stay open until it has ended.
  WaitForSingleObject(WorkerThread, INFINITE);
  CloseAndClear(WorkerThread);
  CloseAndClear(MonitorDoneEvent);
  CloseAndClear(MonitorThread);
  CloseAndClear(StopEvent);
  CloseAndClear(WorkEvent);  // the worker closes and clears it as it ends; this is a safeguard
  ClearArrivalQueue();
  ThreadsStarted = false;
}

DWORD WINAPI dev_mon_main(LPVOID) {
  if (!CreateHiddenWindow()) {
    Log(LOG_ERROR, "dev_mon_main - CreateHiddenWindow Failed. GetLastError: %d", static_cast<int>(GetLastError()));
    // Nothing could ever report a device now; end the run rather than wait for one.
    SetEvent(EndEvent);
    SetEvent(MonitorDoneEvent);
    return 0;
  }
  HDEVNOTIFY notification = RegisterNotifications();

  if (!FindSupportedInf()) {
    Log(LOG_INFO, "Vexa Q52 USB Bulk Driver not found on Host System");
    SetEvent(EndEvent);
  } else {
    Log(LOG_INFO, "Vexa Q52 USB Bulk Driver is available");
    if (FindInstalledDevices() == 1)
      SetEvent(EndEvent);
    else
      Log(LOG_INFO, "Waiting for Vexa Q52 USB Bulk Capable Device...");

    // A stop that came before the window existed posted its WM_CLOSE nowhere: don't wait for it.
    if (WaitForSingleObject(StopEvent, 0) != WAIT_OBJECT_0) {
      MSG msg;
      BOOL got;
      while ((got = GetMessageW(&msg, NULL, 0, 0)) != 0) {
        if (got == -1 || WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) break;
        DispatchMessageW(&msg);
      }
    }
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
