#include "printerdriver.h"

#include <windows.h>
#include <string.h>
#include <winspool.h>
#include <strsafe.h>

#include "enumeration.h"
#include "log.h"
#include "results.h"
#include "spooler.h"
#include "spoolernames.h"

namespace {

const wchar_t kEnvironment[] = L"Windows NT x86";
const DWORD kDriverVersion = 3;

// The dependent files, each with its NUL, and one more NUL that closes the list, in a
// zero-filled buffer. False if they would not fit.
bool BuildDependentFiles(wchar_t (&buffer)[MAX_PATH]) {
  memset(buffer, 0, sizeof(buffer));
  size_t at = 0;
  for (const wchar_t* file : kDriverDependentFiles) {
    size_t length = 0;
    if (FAILED(StringCchLengthW(file, MAX_PATH, &length)) || at + length + 2 > MAX_PATH) return false;
    StringCchCopyW(buffer + at, MAX_PATH - at, file);
    at += length + 1;
  }
  return true;
}

}  // namespace

CPrinterDriverClass::CPrinterDriverClass() {
  wchar_t driverDirectory[MAX_PATH] = {0};
  DWORD needed = 0;
  if (GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(kEnvironment), 1, reinterpret_cast<LPBYTE>(driverDirectory),
                                 sizeof(driverDirectory), &needed))
    m_bInitialized = Initialize(kPrinterDriverComponent, L"", driverDirectory);
  else
    m_bInitialized = false;
}

bool CPrinterDriverClass::IsPrinterDriverInstalled(bool remove, bool* listed) {
  static const SpoolerEnumMessages kMessages = {
      "IsPrinterDriverInstalled - Memory Allocation Failed. GetLastError():%d",
      "IsPrinterDriverInstalled - EnumPrinterDrivers #2 Failed. GetLastError():%d"};
  bool found = false;
  {
    CSpoolerList list;
    bool fetched = list.Fetch(
        [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
          return EnumPrinterDriversW(NULL, NULL, 1, buffer, size, needed, returned);
        },
        true, kMessages);
    if (listed != NULL) *listed = list.Listed();
    for (DWORD i = 0; fetched && i < list.Count(); ++i) {
      const DRIVER_INFO_1W& driver = list.At<DRIVER_INFO_1W>(i);
      if (driver.pName == NULL || lstrcmpiW(driver.pName, kPrinterDriverName) != 0) continue;
      WLog(LOG_INFO, L"Printer Driver %s Installed", kPrinterDriverName);
      found = true;
      break;
    }
  }
  if (!found) {
    Log(LOG_INFO, "No Printer Driver Installed");
    return false;
  }
  if (!remove) return true;
  Log(LOG_INFO, "Removing Printer Driver...");
  return !RemovePrinterDriver();
}

bool CPrinterDriverClass::RemovePrinterDriver() {
  // Only the spooler's record goes; the files are left to the run's file removal.
  if (DeletePrinterDriverW(NULL, NULL, const_cast<LPWSTR>(kPrinterDriverName))) {
    WLog(LOG_INFO, L"Printer Driver \"%s\" removal %s.", kPrinterDriverName, L"OK");
    return true;
  }
  WLog(LOG_ERROR, L"Printer Driver \"%s\" removal %s. GetLastError():%d", kPrinterDriverName, L"Failed",
       static_cast<int>(GetLastError()));
  return false;
}

bool CPrinterDriverClass::InstallPrinterDriver(const wchar_t* driverPath, const wchar_t* dataFile,
                                               const wchar_t* configFile, const wchar_t* helpFile,
                                               const wchar_t* dependentFiles) {
  DRIVER_INFO_3W info;
  memset(&info, 0, sizeof(info));
  info.cVersion = kDriverVersion;
  info.pName = const_cast<LPWSTR>(kPrinterDriverName);
  info.pEnvironment = NULL;
  info.pDriverPath = const_cast<LPWSTR>(driverPath);
  info.pDataFile = const_cast<LPWSTR>(dataFile);
  info.pConfigFile = const_cast<LPWSTR>(configFile);
  info.pHelpFile = const_cast<LPWSTR>(helpFile);
  info.pDependentFiles = const_cast<LPWSTR>(dependentFiles);
  info.pMonitorName = const_cast<LPWSTR>(kMonitorName);
  info.pDefaultDataType = const_cast<LPWSTR>(L"RAW");
  BOOL added = AddPrinterDriverExW(NULL, 3, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
  if (!added)
    WLog(LOG_ERROR, L"Printer Driver \"%s\" failed. GetLastError():%d", kPrinterDriverName,
         static_cast<int>(GetLastError()));
  WLog(LOG_INFO, L"Printer Driver \"%s\" installation %s.", kPrinterDriverName, added ? L"OK" : L"Failed");
  return added != FALSE;
}

bool CPrinterDriverClass::IsInstalled() { return IsPrinterDriverInstalled(false); }

int CPrinterDriverClass::Remove() {
  if (!IsPrinterDriverInstalled(false)) return kPrinterNotFound;
  // The spooler holds the driver loaded while it runs.
  Spooler().StopSpooler();
  Spooler().StartSpooler();
  RemovePrinterDriver();
  return 0;
}

int CPrinterDriverClass::Install() {
  if (!CheckForRequiredFiles(m_szSourceFolder, m_szTargetDirectory)) return kInstallFailed;
  // An old driver that could not be deleted stays in place.
  if (IsPrinterDriverInstalled(true)) return 0;

  wchar_t dependentFiles[MAX_PATH];
  if (!BuildDependentFiles(dependentFiles)) return kInstallFailed;
  return InstallPrinterDriver(kDriverPathFile, kDriverDataFile, kDriverConfigFile, kDriverHelpFile, dependentFiles)
             ? 0
             : kInstallFailed;
}
