// The package's printer queue: the local printer that uses the package's driver.
#pragma once

#include <windows.h>

#include "enumeration.h"
#include "generic.h"

class CPrinterClass : public CGenericClass {
 public:
  CPrinterClass();

  int Install() override;  // 0, or 1603
  // 0, 3012 when no printer uses the driver, -30 while jobs are queued or when the printers or
  // the queue can't be read
  int Remove() override;
  bool IsInstalled() override;

  // Finds the first local printer of the driver; NAME receives its whole name. With REMOVE it is
  // deleted, and the result tells whether it is still there. LISTED, when given, tells whether
  // the printers could be listed at all: a false result means "none" only then.
  bool IsPrinterInstalled(CSpoolerName& name, bool remove, bool* listed = NULL);
  // Tells the user to cancel queued jobs; true when the printer may be removed.
  bool KillPrintJobs();
  bool InstallPrinter(const wchar_t* port);
  bool RemovePrinter(const wchar_t* name);
};
