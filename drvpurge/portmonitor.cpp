#include "portmonitor.h"

#include <windows.h>
#include <string.h>
#include <winspool.h>

#include "enumeration.h"
#include "log.h"
#include "results.h"
#include "spooler.h"
#include "spoolernames.h"

CMonitorClass::CMonitorClass() { InitializeInSystemDirectory(kMonitorComponent); }

bool CMonitorClass::IsMonitorInstalled(bool* listed) {
  static const SpoolerEnumMessages kMessages = {
      "IsMonitorInstalled - Memory Allocation Failed. GetLastError():%d",
      "IsMonitorInstalled - EnumMonitors #2 Failed. GetLastError():%d"};
  CSpoolerList list;
  bool found = false;
  bool fetched = list.Fetch(
      [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumMonitorsW(NULL, 1, buffer, size, needed, returned);
      },
      false, kMessages);
  if (listed != NULL) *listed = list.Listed();
  if (fetched) {
    for (DWORD i = 0; i < list.Count(); ++i) {
      const MONITOR_INFO_1W& monitor = list.At<MONITOR_INFO_1W>(i);
      if (monitor.pName == NULL || lstrcmpiW(monitor.pName, kMonitorName) != 0) continue;
      WLog(LOG_INFO, L"Printer Monitor \"%s\" is installed", kMonitorName);
      found = true;
      break;
    }
  }
  if (!found) WLog(LOG_INFO, L"Monitor \"%s\" not installed", kMonitorName);
  return found;
}

bool CMonitorClass::IsPortAdded(CSpoolerName& port, bool remove) {
  static const SpoolerEnumMessages kMessages = {"IsPortAdded - Memory Allocation Failed. GetLastError():%d",
                                                "IsPortAdded - EnumPorts #2 Failed. GetLastError():%d"};
  CSpoolerList list;
  if (!list.Fetch(
          [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
            return EnumPortsW(NULL, 2, buffer, size, needed, returned);
          },
          false, kMessages))
    return false;

  bool found = false;
  for (DWORD i = 0; i < list.Count(); ++i) {
    if (remove && found) break;
    const PORT_INFO_2W& entry = list.At<PORT_INFO_2W>(i);
    if (entry.pMonitorName == NULL) continue;
    WLog(LOG_TRACE, L"PortInfo2(%d) has pMonitorName: \"%s\". ", static_cast<int>(i), entry.pMonitorName);
    if (lstrcmpiW(entry.pMonitorName, kMonitorName) != 0) continue;
    const wchar_t* name = entry.pPortName != NULL ? entry.pPortName : L"";
    WLog(LOG_TRACE, L"PortName: \"%s\" installed.", name);
    // A port whose name can't be kept is still counted; the caller gets an empty name, which
    // names no port, rather than none at all.
    port.Assign(name);
    found = true;
    if (remove) {
      WLog(LOG_TRACE, L"Removing Port \"%s\"...", name);
      if (RemovePort(name)) found = false;
    }
  }
  return found;
}

bool CMonitorClass::RemovePort(const wchar_t* port) {
  if (DeletePortW(NULL, NULL, const_cast<LPWSTR>(port))) {
    WLog(LOG_INFO, L"Port \"%s\" removed.", port);
    return true;
  }
  WLog(LOG_ERROR, L"Port: \"%s\" removal failed. GetLastError():%d", port, static_cast<int>(GetLastError()));
  return false;
}

bool CMonitorClass::InstallMonitor() {
  MONITOR_INFO_2W info;
  memset(&info, 0, sizeof(info));
  info.pName = const_cast<LPWSTR>(kMonitorName);
  info.pEnvironment = NULL;
  info.pDLLName = const_cast<LPWSTR>(kMonitorDll);
  if (AddMonitorW(NULL, 2, reinterpret_cast<LPBYTE>(&info))) {
    WLog(LOG_INFO, L"Monitor \"%s\" Installed.", kMonitorName);
    return true;
  }
  WLog(LOG_ERROR, L"Monitor \"%s\" Install Failed.GetLastError():%d", kMonitorName, static_cast<int>(GetLastError()));
  return false;
}

bool CMonitorClass::RemoveMonitor() {
  if (DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(kMonitorName))) {
    WLog(LOG_INFO, L"Monitor \"%s\" removed", kMonitorName);
    return true;
  }
  WLog(LOG_ERROR, L"Monitor \"%s\" remove failed. GetLastError():%d", kMonitorName, static_cast<int>(GetLastError()));
  return false;
}

bool CMonitorClass::IsInstalled() { return IsMonitorInstalled(); }

int CMonitorClass::Remove() {
  if (!IsMonitorInstalled()) return kPrinterNotFound;
  // The spooler keeps a monitor and its ports loaded; each deletion goes to a fresh spooler, and
  // a failed step does not stop the next one.
  Spooler().StopSpooler();
  Spooler().StartSpooler();
  CSpoolerName port;
  IsPortAdded(port, true);
  Spooler().StopSpooler();
  Spooler().StartSpooler();
  RemoveMonitor();
  Spooler().StopSpooler();
  Spooler().StartSpooler();
  return 0;
}

int CMonitorClass::Install() {
  if (!CheckForRequiredFiles(m_szSourceFolder, m_szTargetDirectory)) return kInstallFailed;
  if (IsMonitorInstalled() && Remove() != 0) return kInstallFailed;
  if (!InstallMonitor()) return kInstallFailed;
  return 0;
}
