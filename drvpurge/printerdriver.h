// The package's printer driver.
#pragma once

#include <windows.h>

#include "generic.h"

class CPrinterDriverClass : public CGenericClass {
 public:
  CPrinterDriverClass();

  int Install() override;  // 0, or 1603
  int Remove() override;   // 0 once the driver was found, 3012 when it is not installed
  bool IsInstalled() override;

  // Whether the driver is installed; with REMOVE it is deleted first, and the result tells
  // whether it is still there. LISTED, when given, tells whether the drivers could be listed at
  // all: a false result means "not installed" only then.
  bool IsPrinterDriverInstalled(bool remove, bool* listed = NULL);
  // DEPENDENT_FILES is a list of names, each ending with its NUL, closed by one more NUL.
  bool InstallPrinterDriver(const wchar_t* driverPath, const wchar_t* dataFile, const wchar_t* configFile,
                            const wchar_t* helpFile, const wchar_t* dependentFiles);
  bool RemovePrinterDriver();
};
