// The uninstaller's result codes: what its components' Remove and Install return, what the
// removal run makes of them, and what the program prints and exits with. 0 is success.
#pragma once

#include <windows.h>

// A component's object is not installed; as the run's result, the spooler could not be started
// or the printer driver is not installed.
const int kPrinterNotFound = ERROR_PRINTER_NOT_FOUND;  // 3012
// Print jobs are queued on the printer, or the printers or its queue can't be read.
const int kJobsQueued = -30;
// The driver or the monitor removal failed, either is still there after it, or the component set
// could not be made. The value of ERROR_ACCESS_DENIED.
const int kRemovalFailed = 5;
// A component's Install failed.
const int kInstallFailed = ERROR_INSTALL_FAILURE;  // 1603
