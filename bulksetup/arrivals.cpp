#include "arrivals.h"

#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>
#include <strsafe.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include <new>

#include "devicematch.h"
#include "log.h"
#include "main.h"
#include "unique_resource.h"

PtrList& ArrivalQueue = *new PtrList;

namespace {

// Touched by the monitor thread only.
int ArrivalCounter = 0;

const DWORD kFirstPnpWaitMs = 30000;
const DWORD kEntryPnpWaitMs = 10000;

// Takes the oldest entry off the queue, or resets WorkEvent when there is none. Both under one
// holding of the lock, so that an entry queued meanwhile keeps WorkEvent set.
ArrivalItem* TakeOldest() {
  QueueLock lock;
  if (!ArrivalQueue.Tail) {
    ResetEvent(WorkEvent);
    return NULL;
  }
  ArrivalQueue.Cursor = ArrivalQueue.Tail->Next;
  return static_cast<ArrivalItem*>(ArrivalQueue.RemoveCurrent());
}

bool IsQueued(const WCHAR* deviceId) {
  QueueLock lock;
  if (!ArrivalQueue.Tail) return false;
  const PtrNode* node = ArrivalQueue.Tail->Next;
  for (;;) {
    if (wcscmp(static_cast<const ArrivalItem*>(node->Item)->DeviceId, deviceId) == 0) return true;
    if (node == ArrivalQueue.Tail) return false;
    node = node->Next;
  }
}

void RemoveQueued(const WCHAR* deviceId) {
  QueueLock lock;
  bool removed = true;
  while (removed && ArrivalQueue.Tail) {
    removed = false;
    ArrivalQueue.Cursor = ArrivalQueue.Tail->Next;
    for (;;) {
      ArrivalItem* item = static_cast<ArrivalItem*>(ArrivalQueue.Current());
      if (wcscmp(item->DeviceId, deviceId) == 0) {
        WLog(LOG_INFO, L"Removing '%s' from queue", deviceId);
        ArrivalQueue.RemoveCurrent();
        delete item;
        removed = true;  // the walk starts again at the oldest entry
        break;
      }
      if (ArrivalQueue.Cursor == ArrivalQueue.Tail) break;
      ArrivalQueue.Cursor = ArrivalQueue.Cursor->Next;
    }
  }
}

// Waits while Plug and Play has an installation pending, TIMEOUT_MS per call. False when it gave
// up because the run is ending.
bool WaitForPnp(DWORD timeoutMs) {
  while (CMP_WaitNoPendingInstallEvents(timeoutMs) == WAIT_TIMEOUT) {
    LogQuick(LOG_INFO, "Install in progress... waiting");
    if (Exiting) return false;
  }
  return true;
}

bool StartsWith(const WCHAR* id, const WCHAR* prefix) {
  return _wcsnicmp(id, prefix, wcslen(prefix)) == 0;
}

}  // namespace

bool SplitInterfaceName(const WCHAR* interfaceName, WCHAR* enumerator, WCHAR* deviceId) {
  if (!interfaceName || wcslen(interfaceName) < 4) return false;

  WCHAR rest[MAX_PATH] = {0};
  if (FAILED(StringCchCopyW(rest, ARRAYSIZE(rest), interfaceName + 4))) return false;

  const WCHAR* sign = wcschr(rest, L'#');
  size_t enumeratorLength = sign ? static_cast<size_t>(sign - rest) : wcslen(rest);
  if (enumeratorLength >= kEnumeratorChars) return false;
  for (size_t i = 0; i < enumeratorLength; ++i) enumerator[i] = static_cast<WCHAR>(towupper(rest[i]));
  enumerator[enumeratorLength] = 0;

  // The interface class GUID follows the last number sign; one in the first place is no cut.
  for (size_t i = wcslen(rest); i-- > 1;) {
    if (rest[i] == L'#') {
      rest[i] = 0;
      break;
    }
  }
  size_t i = 0;
  for (; rest[i]; ++i) deviceId[i] = rest[i] == L'#' ? L'\\' : static_cast<WCHAR>(towupper(rest[i]));
  deviceId[i] = 0;
  return true;
}

void UpdateArrivalQueue(const WCHAR* interfaceName, WPARAM event) {
  WCHAR enumerator[kEnumeratorChars] = {0};
  WCHAR deviceId[MAX_PATH] = {0};
  if (!SplitInterfaceName(interfaceName, enumerator, deviceId)) return;

  if (event == DBT_DEVICEARRIVAL) {
    if (IsQueued(deviceId)) return;
    ArrivalItem* item = new (std::nothrow) ArrivalItem;
    if (!item) return;
    item->Sequence = ArrivalCounter++;
    WLog(LOG_INFO, L"Queuing '%s' for processing", deviceId);
    memcpy(item->DeviceId, deviceId, sizeof(deviceId));
    memcpy(item->Enumerator, enumerator, sizeof(enumerator));

    QueueLock lock;
    ArrivalQueue.Cursor = ArrivalQueue.Tail;
    if (ArrivalQueue.Add(item) != 0) {
      delete item;
      return;
    }
    if (WorkEvent) SetEvent(WorkEvent);
  } else if (event == DBT_DEVICEREMOVECOMPLETE) {
    RemoveQueued(deviceId);
  }
}

DWORD WINAPI worker_main(LPVOID) {
  // Exiting is looked at as well as StopEvent: a stop whose StopEvent could not be set wakes the
  // worker through WorkEvent instead.
  bool waitFailed = false;
  while (!Exiting) {
    HANDLE events[2] = {StopEvent, WorkEvent};
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1 || Exiting) {
      waitFailed = which != WAIT_OBJECT_0 && which != WAIT_OBJECT_0 + 1;
      break;
    }
    ProcessQueue();
  }
  // Without the worker, arrivals would be queued for ever while the run waits: it ends instead.
  if (waitFailed && !Exiting) EndRun();

  // The monitor sets WorkEvent under the lock; once cleared there, it is no longer touched.
  HANDLE work;
  {
    QueueLock lock;
    work = WorkEvent;
    WorkEvent = NULL;
  }
  if (!CloseHandle(work)) LogQuick(LOG_ERROR, "Error closing notification event");
  return 0;
}

void ProcessQueue() {
  if (!WaitForPnp(kFirstPnpWaitMs)) return;
  LogQuick(LOG_INFO, "Starting processing\n");

  for (ArrivalItem* item = TakeOldest(); item;) {
    WaitForPnp(kEntryPnpWaitMs);
    WLog(LOG_INFO, L"Processing: '%s (%s)'", item->DeviceId, item->Enumerator);
    ProcessArrival(item->DeviceId);
    delete item;
    if (Exiting) {
      QueueLock lock;
      ResetEvent(WorkEvent);
      return;
    }
    item = TakeOldest();
  }
}

void ProcessArrival(const WCHAR* deviceId) {
  WLog(LOG_TRACE, L"Finding device ID '%s'", deviceId);
  UniqueDeviceSet devices(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!devices) {
    Log(LOG_ERROR, "Invalid handle from SetupDiGetClassDevs() Error=%x", static_cast<unsigned>(GetLastError()));
    return;
  }

  HDEVINFO set = devices.get();
  bool installed = false;
  SP_DEVINFO_DATA device;
  memset(&device, 0, sizeof(device));
  device.cbSize = sizeof(device);
  for (DWORD index = 0; !installed && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    WCHAR instanceId[MAX_PATH] = {0};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, instanceId, ARRAYSIZE(instanceId), NULL)) continue;
    WCHAR childId[MAX_PATH] = {0};
    GetFirstChildId(instanceId, childId);
    if (!StartsWith(instanceId, deviceId) && !(childId[0] && StartsWith(childId, deviceId))) continue;

    WLog(LOG_TRACE, L"Found device ID '%s'", instanceId);
    DeviceRecord* record = BuildDeviceRecord(set, &device);
    if (!record) continue;
    Log(LOG_INFO, "Searching for matching Vexa Q52 USB Bulk INF file");
    installed = MatchDevice(record, set, &device) == 1;
    FreeDeviceRecord(record);
    if (installed) {
      LogQuick(LOG_INFO, "Driver Installed! Ending process...");
      EndRun();
    }
  }
  devices.reset();

  if (!installed) WLog(LOG_INFO, L"No matching Vexa Q52 USB Bulk INF file for %s", deviceId);
  LogQuick(LOG_TRACE, "Finished processing Arrival");
}

void GetFirstChildId(const WCHAR* instanceId, WCHAR* childId) {
  childId[0] = 0;
  ULONG length = 0;
  if (CM_Get_Device_ID_List_SizeW(&length, instanceId, CM_GETIDLIST_FILTER_BUSRELATIONS) != CR_SUCCESS || length == 0)
    return;
  WCHAR* list = new (std::nothrow) WCHAR[length + 1]();
  if (!list) return;
  if (CM_Get_Device_ID_ListW(instanceId, list, length + 1, CM_GETIDLIST_FILTER_BUSRELATIONS) == CR_SUCCESS)
    StringCchCopyW(childId, MAX_PATH, list);
  delete[] list;
}

void ClearArrivalQueue() {
  QueueLock lock;
  while (ArrivalQueue.Tail) {
    ArrivalQueue.Cursor = ArrivalQueue.Tail->Next;
    delete static_cast<ArrivalItem*>(ArrivalQueue.RemoveCurrent());
  }
}
