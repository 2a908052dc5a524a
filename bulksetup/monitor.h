// The device-monitor side of the installer: the two threads' start and stop, the monitor thread
// with its hidden notification window, and the hand-over of interface arrivals and removals to
// the arrival queue.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <atomic>

// Creates MonitorDoneEvent, StopEvent and WorkEvent and starts the monitor and worker threads;
// false (with nothing left running) when any of them could not be created.
bool StartMonitoring();
// Stops both threads and waits for them to end; then closes their handles and the events, and
// releases the arrival queue's entries and the supported INF. A thread whose end cannot be seen
// (its wait keeps failing) keeps all of them to the process's end.
void StopMonitoring();
// True when StartMonitoring or StopMonitoring gave up on a thread of the last start: it may still
// run, and EndEvent with everything else it may touch must stay until the process ends.
bool AThreadWasGivenUp();

DWORD WINAPI dev_mon_main(LPVOID);
bool CreateHiddenWindow();
HDEVNOTIFY RegisterNotifications();
LRESULT CALLBACK NotifyWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
// Hands a device-interface arrival or removal (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE) on to
// the arrival queue; other device types are ignored.
void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header);

// Written by the monitor thread as it starts; read by StopMonitoring, which may run meanwhile.
extern std::atomic<HWND> NotifyWindow;
