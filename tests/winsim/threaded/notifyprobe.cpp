// A windowed program that listens for device interfaces the way the installer does: it prints its
// command line, then each broadcast it receives ("arrival NAME" / "removal NAME"), and ends after
// the number of broadcasts its command line gives (default 1).
#include <windows.h>
#include <dbt.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

int g_left = 1;

LRESULT CALLBACK NotifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* hdr = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      auto* di = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      printf("%s %ls\n", wParam == DBT_DEVICEARRIVAL ? "arrival" : "removal", di->dbcc_name);
      fflush(stdout);
      if (--g_left == 0) PostQuitMessage(0);
    }
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdLine, int show) {
  printf("cmdline [%ls] show %d\n", cmdLine, show);
  fflush(stdout);
  if (*cmdLine) g_left = static_cast<int>(wcstol(cmdLine, nullptr, 10));
  WNDCLASSW wc = {};
  wc.lpfnWndProc = NotifyProc;
  wc.hInstance = instance;
  wc.lpszClassName = L"ProbeNotify";
  if (!RegisterClassW(&wc)) return 2;
  HWND hwnd = CreateWindowExW(0, L"ProbeNotify", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 3;
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HDEVNOTIFY note = RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  if (!note) return 4;
  printf("listening\n");
  fflush(stdout);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  UnregisterDeviceNotification(note);
  DestroyWindow(hwnd);
  return static_cast<int>(msg.wParam);
}
