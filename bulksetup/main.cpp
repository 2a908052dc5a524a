#include "main.h"

#include <strsafe.h>

#include "log.h"
#include "resource.h"

HANDLE EndEvent = NULL;
HANDLE MonitorDoneEvent = NULL;
HANDLE StopEvent = NULL;
HANDLE WorkEvent = NULL;
std::atomic<bool> Exiting(false);
bool ThreadsStarted = false;
bool QuietMode = false;

HINSTANCE hInst = NULL;
HWND MainWindow = NULL;
WCHAR szTitle[kMaxLoadString];
WCHAR szWindowClass[kMaxLoadString];

void EndRun() {
  const int kAttempts = 3;
  const DWORD kRetryMs = 100;
  if (!EndEvent) return;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt) Sleep(kRetryMs);
    if (SetEvent(EndEvent)) return;
  }
}

void ParseCmdLine(LPCWSTR cmdLine) {
  Log(LOG_TRACE, "ParseCmdLine(%ws)", cmdLine ? cmdLine : L"");
  if (!cmdLine || !cmdLine[0]) return;

  // A longer command line is cut: the options come first, and none of them changes what the
  // program does.
  WCHAR work[MAX_PATH] = {0};
  StringCchCopyW(work, ARRAYSIZE(work), cmdLine);

  // Tokens are the runs between slashes; a run of slashes is one separator. Split here rather
  // than with the runtime's tokenizer, whose secure form XP's msvcrt.dll does not export.
  for (WCHAR* p = work; *p;) {
    while (*p == L'/') ++p;
    if (!*p) break;
    if (*p == L'Q' || *p == L'q') QuietMode = true;
    while (*p && *p != L'/') ++p;
  }
}

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDM_ABOUT:
          DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_ABOUTBOX), hWnd, AboutDlgProc, 0);
          return 0;
        case IDM_EXIT:
          DestroyWindow(hWnd);
          return 0;
        default:
          return DefWindowProcW(hWnd, message, wParam, lParam);
      }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hWnd, &ps);
      EndPaint(hWnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      if (EndEvent) SetEvent(EndEvent);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hWnd, message, wParam, lParam);
  }
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(hDlg, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}
