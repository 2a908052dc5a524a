// Window classes, windows, message queues and device notifications as the installer uses them:
// hidden windows on two threads, messages posted across threads, WM_CLOSE and WM_QUIT at the end.
#include <windows.h>
#include <dbt.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

namespace {

const wchar_t kClass[] = L"Q52ConformanceWindow";

// What the window procedure saw, in order, for the thread that owns the window.
std::vector<UINT>& Seen() {
  static std::vector<UINT> seen;
  return seen;
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE || msg == WM_DESTROY || msg == WM_COMMAND) Seen().push_back(msg);
  if (msg == WM_DESTROY) PostQuitMessage(7);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// The class is registered once per process; a second registration fails.
bool RegisterOnce() {
  static ATOM atom = 0;
  if (atom) return true;
  WNDCLASSEXW wc;
  memset(&wc, 0, sizeof(wc));
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = RecordingProc;
  wc.hInstance = GetModuleHandleW(NULL);
  wc.lpszClassName = kClass;
  atom = RegisterClassExW(&wc);
  return atom != 0;
}

HWND CreateHidden() {
  return CreateWindowExW(0, kClass, L"conformance", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL,
                         NULL, GetModuleHandleW(NULL), NULL);
}

// Runs the thread's message loop until WM_QUIT; returns GetMessageW's last result.
BOOL PumpUntilQuit(MSG* msg) {
  BOOL got;
  while ((got = GetMessageW(msg, NULL, 0, 0)) > 0) {
    TranslateMessage(msg);
    DispatchMessageW(msg);
  }
  return got;
}

struct WindowThread {
  HANDLE ready = NULL;
  HWND hwnd = NULL;
  WPARAM quitCode = 0;
  BOOL lastGet = -2;
  std::vector<UINT> seen;
};

DWORD WINAPI OwnWindowAndPump(LPVOID param) {
  WindowThread* w = static_cast<WindowThread*>(param);
  w->hwnd = CreateHidden();
  SetEvent(w->ready);
  if (!w->hwnd) return 1;
  Seen().clear();
  MSG msg;
  w->lastGet = PumpUntilQuit(&msg);
  w->quitCode = msg.wParam;
  w->seen = Seen();
  return 0;
}

struct Destroyer {
  HWND hwnd;
  BOOL result;
  DWORD error;
};

DWORD WINAPI DestroyOthersWindow(LPVOID param) {
  Destroyer* d = static_cast<Destroyer*>(param);
  SetLastError(0);
  d->result = DestroyWindow(d->hwnd);
  d->error = GetLastError();
  return 0;
}

}  // namespace

CONFORMANCE(ClassesAndWindowCreation) {
  CHECK(RegisterOnce());
  WNDCLASSEXW wc;
  memset(&wc, 0, sizeof(wc));
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(NULL);
  wc.lpszClassName = kClass;
  SetLastError(0);
  CHECK_EQ(RegisterClassExW(&wc), static_cast<ATOM>(0));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  SetLastError(0);
  CHECK(CreateWindowExW(0, L"Q52NoSuchClass", L"", 0, 0, 0, 1, 1, NULL, NULL, GetModuleHandleW(NULL), NULL) ==
        NULL);
  // Wine reports ERROR_CLASS_DOES_NOT_EXIST (1411) where Windows reports 1407.
  CHECK_EQ(GetLastError(), static_cast<DWORD>(UnderWine() ? ERROR_CLASS_DOES_NOT_EXIST : ERROR_CANNOT_FIND_WND_CLASS));
}

// The main window's end: WM_CLOSE posted from another thread reaches DefWindowProcW, which
// destroys the window; WM_DESTROY posts the quit message that ends the owner's loop.
CONFORMANCE(CloseFromAnotherThreadEndsTheOwnersLoop) {
  if (!RegisterOnce()) SKIP("the class could not be registered");
  WindowThread w;
  w.ready = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE t = CreateThread(NULL, 0, OwnWindowAndPump, &w, 0, NULL);
  CHECK(t != NULL);
  if (!t) {
    CloseHandle(w.ready);
    return;
  }
  CHECK_EQ(WaitForSingleObject(w.ready, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK(w.hwnd != NULL);
  if (w.hwnd) {
    // Only the owning thread may destroy a window.
    Destroyer d = {w.hwnd, TRUE, 0};
    HANDLE other = CreateThread(NULL, 0, DestroyOthersWindow, &d, 0, NULL);
    CHECK_EQ(WaitForSingleObject(other, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(other);
    CHECK(!d.result);
    CHECK_EQ(d.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CHECK(IsWindow(w.hwnd));
    CHECK(PostMessageW(w.hwnd, WM_COMMAND, 104, 0));
    CHECK(PostMessageW(w.hwnd, WM_CLOSE, 0, 0));
  }
  CHECK_EQ(WaitForSingleObject(t, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(w.lastGet, 0);  // WM_QUIT
  CHECK_EQ(w.quitCode, static_cast<WPARAM>(7));
  CHECK(w.seen == (std::vector<UINT>{WM_COMMAND, WM_CLOSE, WM_DESTROY}));
  CHECK(!IsWindow(w.hwnd));
  SetLastError(0);
  CHECK(!PostMessageW(w.hwnd, WM_CLOSE, 0, 0));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  CloseHandle(t);
  CloseHandle(w.ready);
}

// PostQuitMessage on the current thread: GetMessageW answers 0 with the code in wParam.
CONFORMANCE(QuitMessageEndsTheLoop) {
  if (!RegisterOnce()) SKIP("the class could not be registered");
  HWND h = CreateHidden();
  CHECK(h != NULL);
  if (!h) return;
  Seen().clear();
  CHECK(DestroyWindow(h));
  CHECK(!IsWindow(h));
  CHECK(Seen() == (std::vector<UINT>{WM_DESTROY}));  // sent, not posted: DestroyWindow is no WM_CLOSE
  MSG msg;
  CHECK_EQ(PumpUntilQuit(&msg), 0);
  CHECK_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  CHECK_EQ(msg.wParam, static_cast<WPARAM>(7));
  SetLastError(0);
  CHECK(!DestroyWindow(h));
  // Wine answers a window that is gone as one of another thread, with ERROR_ACCESS_DENIED.
  CHECK_EQ(GetLastError(), static_cast<DWORD>(UnderWine() ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE));
}

CONFORMANCE(DeviceNotificationRegistration) {
  // The installer's filter: the header of an interface broadcast with an empty name. Its size is
  // 32 bytes on x86 and x64 alike (the GUID aligns to 4 and pads the one-character name).
  CHECK_EQ(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W), static_cast<size_t>(32));
  if (!RegisterOnce()) SKIP("the class could not be registered");
  HWND h = CreateHidden();
  CHECK(h != NULL);
  if (!h) return;
  DEV_BROADCAST_DEVICEINTERFACE_W filter;
  memset(&filter, 0, sizeof(filter));
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HDEVNOTIFY n = RegisterDeviceNotificationW(h, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  CHECK(n != NULL);
  if (n) CHECK(UnregisterDeviceNotification(n));

  struct Bad {
    const char* what;
    DWORD size;
    DWORD type;
  } bad[] = {
      {"volume type", sizeof(filter), DBT_DEVTYP_VOLUME},
      {"size of the header only", sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE},
  };
  for (const Bad& b : bad) {
    // Wine accepts a filter no longer than the header; Windows wants the whole structure.
    if (b.size < sizeof(filter) && UnderWine()) continue;
    filter.dbcc_size = b.size;
    filter.dbcc_devicetype = b.type;
    SetLastError(0);
    HDEVNOTIFY got = RegisterDeviceNotificationW(h, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    CHECK_AT(got == NULL, b.what);
    CHECK_EQ_AT(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA), b.what);
    if (got) UnregisterDeviceNotification(got);
  }
  DestroyWindow(h);
  MSG msg;
  PumpUntilQuit(&msg);  // the quit message WM_DESTROY posted
}
