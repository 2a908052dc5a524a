#include "printer.h"

#include <windows.h>
#include <string.h>
#include <winspool.h>

#include "enumeration.h"
#include "log.h"
#include "portmonitor.h"
#include "results.h"
#include "spoolernames.h"
#include "unique_resource.h"

CPrinterClass::CPrinterClass() { InitializeInSystemDirectory(kPrinterComponent); }

bool CPrinterClass::IsPrinterInstalled(CSpoolerName& name, bool remove, bool* listed) {
  static const SpoolerEnumMessages kMessages = {
      "IsPrinterInstalled - Memory Allocation Failed. GetLastError():%d",
      "IsPrinterInstalled - EnumPrinters #2 Failed. GetLastError():%d"};
  bool found = false;
  {
    CSpoolerList list;
    bool fetched = list.Fetch(
        [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
          return EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, buffer, size, needed, returned);
        },
        true, kMessages);
    if (listed != NULL) *listed = list.Listed();
    for (DWORD i = 0; fetched && i < list.Count(); ++i) {
      const PRINTER_INFO_2W& printer = list.At<PRINTER_INFO_2W>(i);
      if (printer.pDriverName == NULL || lstrcmpiW(printer.pDriverName, kPrinterDriverName) != 0) continue;
      const wchar_t* printerName = printer.pPrinterName != NULL ? printer.pPrinterName : L"";
      WLog(LOG_INFO, L"Printer \"%s\" Installed", printerName);
      // Without its name the printer can't be acted on: as if the list could not be had.
      if (!name.Assign(printerName)) {
        Log(LOG_ERROR, kMessages.allocationFailed, static_cast<int>(GetLastError()));
        if (listed != NULL) *listed = false;
        break;
      }
      found = true;
      break;
    }
  }
  if (!found) {
    Log(LOG_INFO, "No Printer Installed");
    return false;
  }
  if (!remove) return true;
  Log(LOG_INFO, "Removing Existing Printer...");
  return !RemovePrinter(name.Get());
}

bool CPrinterClass::RemovePrinter(const wchar_t* name) {
  PRINTER_DEFAULTSW defaults;
  memset(&defaults, 0, sizeof(defaults));
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  UniquePrinter printer;
  if (!OpenPrinterW(const_cast<LPWSTR>(name), printer.put(), &defaults)) {
    Log(LOG_ERROR, "Unable To Open Printer. GetLastError(): %d", static_cast<int>(GetLastError()));
    return false;
  }
  BOOL deleted = DeletePrinter(printer.get());
  printer.reset();
  if (deleted) {
    WLog(LOG_INFO, L"Printer \"%s\" Removed", name);
    return true;
  }
  WLog(LOG_ERROR, L"Unable to delete \"%s\"", name);
  return false;
}

bool CPrinterClass::KillPrintJobs() {
  CSpoolerName name;
  bool listed = true;
  if (!IsPrinterInstalled(name, false, &listed)) {
    // A list that could not be had hides the queue as well as a failed GetPrinter does.
    if (!listed) return false;
    Log(LOG_INFO, "No Printer Installed. No Jobs to kill");
    return true;
  }
  UniquePrinter printer;
  if (!OpenPrinterW(const_cast<LPWSTR>(name.Get()), printer.put(), NULL)) {
    Log(LOG_ERROR, "KillPrintJobs - OpenPrinter failed. GetLastError():%d", static_cast<int>(GetLastError()));
    return false;
  }
  DWORD needed = 0;
  GetPrinterW(printer.get(), 2, NULL, 0, &needed);
  UniqueHeapBlock record(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!record) {
    // Without the record the queue can't be seen to be empty: the printer stays, as when the
    // record can't be read. HeapAlloc leaves no error code to report.
    LogQuick(LOG_ERROR, "KillPrintJobs - HeapAlloc Failed.");
    return false;
  }
  if (!GetPrinterW(printer.get(), 2, static_cast<LPBYTE>(record.get()), needed, &needed)) {
    Log(LOG_ERROR, "KillPrintJobs - GetPrinter failed. GetLastError():%d", static_cast<int>(GetLastError()));
    return false;
  }
  if (reinterpret_cast<const PRINTER_INFO_2W*>(record.get())->cJobs > 0) {
    MessageBoxW(NULL, L"There are still existing print jobs in the printer.\nCancel them to continue...",
                L"Unable to Remove Printer!", MB_OK | MB_ICONEXCLAMATION);
    LogQuick(LOG_ERROR, "There are still existing print jobs in the printer.");
    return false;
  }
  return true;
}

bool CPrinterClass::InstallPrinter(const wchar_t* port) {
  PRINTER_INFO_2W info;
  memset(&info, 0, sizeof(info));
  info.pPrinterName = const_cast<LPWSTR>(kPrinterName);
  info.pPortName = const_cast<LPWSTR>(port);
  info.pDriverName = const_cast<LPWSTR>(kPrinterDriverName);
  info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  UniquePrinter printer(AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info)));
  if (!printer) {
    Log(LOG_ERROR, "AddPrinter Failed. GetLastError():%d", static_cast<int>(GetLastError()));
    return false;
  }
  WLog(LOG_INFO, L"Printer \"%s\" Successfully Added.", kPrinterName);
  return true;
}

bool CPrinterClass::IsInstalled() {
  CSpoolerName name;
  return IsPrinterInstalled(name, false);
}

int CPrinterClass::Remove() {
  CSpoolerName name;
  bool listed = true;
  // A printer list that could not be had hides the printer and its queue: the run must not go
  // on as if there were none.
  if (!IsPrinterInstalled(name, false, &listed)) return listed ? kPrinterNotFound : kJobsQueued;
  if (!KillPrintJobs()) return kJobsQueued;
  RemovePrinter(name.Get());
  return 0;
}

int CPrinterClass::Install() {
  if (!CheckForRequiredFiles(m_szSourceFolder, m_szTargetDirectory)) return kInstallFailed;
  CSpoolerName name;
  // A printer of the driver that could not be deleted stays, and no second one is added.
  if (IsPrinterInstalled(name, true)) return 0;
  CMonitorClass monitor;
  CSpoolerName port;
  if (!monitor.IsPortAdded(port, false)) return kInstallFailed;
  return InstallPrinter(port.Get()) ? 0 : kInstallFailed;
}
