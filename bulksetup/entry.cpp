// The Unicode entry of the windowed program: a hidden main window, the monitor and worker
// threads until the run ends, then the main window's remaining messages.
#include <windows.h>
#include <string.h>

#include "main.h"
#include "monitor.h"
#include "resource.h"
#include "unique_resource.h"

namespace {

ATOM RegisterMainClass(HINSTANCE instance) {
  WNDCLASSEXW wc;
  memset(&wc, 0, sizeof(wc));
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_BULKSETUP));
  wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = MAKEINTRESOURCEW(IDC_BULKSETUP);
  wc.lpszClassName = szWindowClass;
  wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
  return RegisterClassExW(&wc);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
  LoadStringW(hInstance, IDS_APP_TITLE, szTitle, kMaxLoadString);
  LoadStringW(hInstance, IDC_BULKSETUP, szWindowClass, kMaxLoadString);
  RegisterMainClass(hInstance);
  ParseCmdLine(lpCmdLine);
  hInst = hInstance;

  HWND window = CreateWindowExW(0, szWindowClass, szTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                NULL, NULL, hInstance, NULL);
  if (!window) return 0;
  // Never shown, whatever the caller asked for.
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  MainWindow = window;

  HACCEL accelerators = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDC_BULKSETUP));

  EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (EndEvent) {
    if (StartMonitoring()) {
      // The main thread handles no messages while it waits.
      WaitForSingleObject(EndEvent, INFINITE);
      StopMonitoring();
    }
    // A thread given up on may still set it, and a closed handle's value may by then name
    // another object.
    if (!AThreadWasGivenUp()) UniqueHandle::CloseShared(EndEvent);
  }

  PostMessageW(window, WM_QUIT, 0, 0);
  MSG msg;
  msg.wParam = 0;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}
