// The installer's process-wide state and its main window: the events the three threads end the
// run with, the command line and the hidden main window's procedures.
#pragma once

#include <windows.h>

#include <atomic>

// Set when the run is to end (no supported INF, the driver installed, the main window destroyed);
// created by the entry routine before the threads start and never reset.
extern HANDLE EndEvent;
// Set by the monitor thread as its last act.
extern HANDLE MonitorDoneEvent;
// Set by StopMonitoring; the monitor and the worker leave their loops on it.
extern HANDLE StopEvent;
// Signalled while the arrival queue may hold entries.
extern HANDLE WorkEvent;
// Set by StopMonitoring and polled by the worker while it waits for Plug and Play.
extern std::atomic<bool> Exiting;
// True between a successful StartMonitoring and StopMonitoring.
extern bool ThreadsStarted;
// A /Q option on the command line. Nothing depends on it: the program never asks anything.
extern bool QuietMode;

extern HINSTANCE hInst;
extern HWND MainWindow;

// Window title and main class name, loaded from the string table.
const int kMaxLoadString = 100;
extern WCHAR szTitle[kMaxLoadString];
extern WCHAR szWindowClass[kMaxLoadString];

// Sets EndEvent, which the main thread waits on for the whole run. Nothing else would end the run,
// so a SetEvent that fails is tried again a few times.
void EndRun();

// Sets QuietMode when a slash-separated token of CMD_LINE begins with Q or q. Only the first
// MAX_PATH - 1 characters are looked at.
void ParseCmdLine(LPCWSTR cmdLine);

LRESULT CALLBACK MainWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
