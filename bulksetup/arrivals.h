// The arrival queue and its worker: device-interface arrivals become queued device instance IDs
// (in order, without duplicates, dropped again by a removal), and the worker thread hands each
// present device they name to the install decision.
#pragma once

#include <windows.h>

#include "ptrlist.h"

const size_t kEnumeratorChars = 100;

struct ArrivalItem {
  int Sequence;
  WCHAR Enumerator[kEnumeratorChars];  // upper case, e.g. USB
  WCHAR DeviceId[MAX_PATH];            // upper case
};

// The queue of ArrivalItem records, oldest first. It does not own them. Never destroyed at exit:
// a worker given up on may still walk it while the process ends.
extern PtrList& ArrivalQueue;

// Queues the device of an interface arrival (DBT_DEVICEARRIVAL) or drops its waiting entry on a
// removal (DBT_DEVICEREMOVECOMPLETE). Runs on the monitor thread.
void UpdateArrivalQueue(const WCHAR* interfaceName, WPARAM event);

// Splits \\?\USB#VID_1234&PID_5678#SN0001#{GUID} into the enumerator USB (at most
// kEnumeratorChars - 1 characters) and the device instance ID USB\VID_1234&PID_5678\SN0001 (at
// most MAX_PATH - 1), both upper case. False for a name shorter than four characters, and for one
// whose parts don't fit: cut, they would name another device.
bool SplitInterfaceName(const WCHAR* interfaceName, WCHAR* enumerator, WCHAR* deviceId);

DWORD WINAPI worker_main(LPVOID);
void ProcessQueue();
void ProcessArrival(const WCHAR* deviceId);
// The instance ID of the device's first child (bus relations), or an empty string. An ID longer
// than MAX_PATH - 1 characters is cut, which keeps every prefix comparison of a queued ID.
void GetFirstChildId(const WCHAR* instanceId, WCHAR* childId);

// Frees every entry still queued. For the end of the run, once the worker has ended.
void ClearArrivalQueue();
