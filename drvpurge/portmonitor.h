// The package's language/port monitor and the printer ports it owns.
#pragma once

#include <windows.h>

#include "enumeration.h"
#include "generic.h"

class CMonitorClass : public CGenericClass {
 public:
  CMonitorClass();

  int Install() override;  // 0, or 1603
  int Remove() override;   // 0 once the monitor was found, 3012 when it is not installed
  bool IsInstalled() override;

  // LISTED, when given, tells whether the monitors could be listed at all: a false result means
  // "not installed" only then.
  bool IsMonitorInstalled(bool* listed = NULL);
  // Without REMOVE: whether the monitor has a port; PORT receives the whole name of the last one
  // listed. With REMOVE: deletes the monitor's ports in the spooler's order up to the first that
  // can't be deleted, and tells whether such a port is left (PORT then holds its name).
  bool IsPortAdded(CSpoolerName& port, bool remove);
  bool InstallMonitor();
  bool RemoveMonitor();
  bool RemovePort(const wchar_t* port);
};
