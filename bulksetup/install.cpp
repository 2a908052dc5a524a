#include "install.h"

#include <strsafe.h>
#include <string.h>
#include <wchar.h>

#include "log.h"
#include "unique_resource.h"

namespace {

// newdev.dll's export, reached only through its address.
typedef BOOL(WINAPI* InstallSelectedDriverProc)(HWND hwndParent, HDEVINFO DeviceInfoSet, LPCWSTR Reserved,
                                                BOOL Backup, PDWORD bReboot);

// The last error of a call that failed, never 0: a failure must not read as success.
DWORD FailureCode(DWORD fallback) {
  DWORD error = GetLastError();
  return error ? error : fallback;
}

// Logs the failed step with its error code (FORMAT takes it) and returns the code.
DWORD Fail(const WCHAR* format) {
  DWORD error = FailureCode(ERROR_INVALID_FUNCTION);
  WLog(LOG_ERROR, format, static_cast<unsigned>(error));
  return error;
}

}  // namespace

DWORD InstallSelectedDriver(LPCWSTR instanceId, LPCWSTR infPath) {
  WLog(LOG_TRACE, L"Installing for device instance '%s' from '%s'", instanceId, infPath);

  // Destroyed on every way out, after the failure of a step has been logged.
  UniqueDeviceSet devices(SetupDiCreateDeviceInfoList(NULL, NULL));
  if (!devices) {
    DWORD error = FailureCode(ERROR_INVALID_FUNCTION);
    Log(LOG_ERROR, "SetupDiCreateDeviceInfoList() failed rc=0x%x", static_cast<unsigned>(error));
    return error;
  }
  HDEVINFO set = devices.get();

  SP_DEVINFO_DATA device;
  memset(&device, 0, sizeof(device));
  device.cbSize = sizeof(device);
  if (!SetupDiOpenDeviceInfoW(set, instanceId, NULL, 0, &device)) return Fail(L"SetupDiOpenDeviceInfo() failed rc=0x%x");
  if (!SetupDiSetSelectedDevice(set, &device)) return Fail(L"SetupDiSetSelectedDevice() failed rc=0x%x");

  SP_DEVINSTALL_PARAMS_W params;
  memset(&params, 0, sizeof(params));
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(set, &device, &params))
    return Fail(L"SetupDiGetDeviceInstallParams() failed rc=0x%x");

  params.Flags |= DI_ENUMSINGLEINF;
  // A cut path would name another file: refused.
  if (FAILED(StringCchCopyW(params.DriverPath, ARRAYSIZE(params.DriverPath), infPath))) {
    WLog(LOG_ERROR, L"StringCchCopy(%s) failed rc=0x%x", params.DriverPath, static_cast<unsigned>(ERROR_INVALID_PARAMETER));
    return ERROR_INVALID_PARAMETER;
  }
  params.FlagsEx |= DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  if (!SetupDiSetDeviceInstallParamsW(set, &device, &params))
    return Fail(L"SetupDiSetDeviceInstallParams() failed rc=0x%x");

  if (!SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER))
    return Fail(L"SetupDiBuildDriverInfoList() failed rc=0x%x");
  if (!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, set, &device))
    return Fail(L"SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV) failed rc=0x%x");

  SP_DRVINFO_DATA_V2_W driver;
  memset(&driver, 0, sizeof(driver));
  driver.cbSize = sizeof(driver);
  if (!SetupDiGetSelectedDriverW(set, &device, &driver)) return Fail(L"SetupDiGetSelectedDriver failed rc=0x%x");

  SP_DRVINSTALL_PARAMS driverParams;
  memset(&driverParams, 0, sizeof(driverParams));
  driverParams.cbSize = sizeof(driverParams);
  if (SetupDiGetDriverInstallParamsW(set, &device, &driver, &driverParams)) {
    driverParams.Rank = 0;
    SetupDiSetDriverInstallParamsW(set, &device, &driver, &driverParams);
  }

  return InstallDriver(set);
}

DWORD InstallDriver(HDEVINFO set) {
  DWORD result = 0;
  // A directory that does not fit comes back as the size it needs, with the buffer left empty:
  // "\newdev.dll" alone would then load whatever lies at the current drive's root.
  WCHAR path[MAX_PATH] = {0};
  size_t length = 0;
  const UINT directoryLength = GetSystemDirectoryW(path, ARRAYSIZE(path));
  if (!directoryLength) {
    result = FailureCode(ERROR_PATH_NOT_FOUND);
  } else if (directoryLength >= ARRAYSIZE(path) || FAILED(StringCchLengthW(path, ARRAYSIZE(path), &length)) ||
             FAILED(StringCchCopyW(path + length, ARRAYSIZE(path) - length, L"\\newdev.dll"))) {
    result = ERROR_INSUFFICIENT_BUFFER;
  } else {
    UniqueModule newdev(LoadLibraryW(path));
    if (!newdev) {
      result = FailureCode(ERROR_MOD_NOT_FOUND);
    } else {
      InstallSelectedDriverProc install = reinterpret_cast<InstallSelectedDriverProc>(
          reinterpret_cast<void (*)(void)>(GetProcAddress(newdev.get(), "InstallSelectedDriver")));
      if (!install) {
        result = FailureCode(ERROR_PROC_NOT_FOUND);
      } else {
        DWORD reboot = 0;
        SetLastError(0);
        // Judged by its own result: after a success the last error may be a stale one.
        if (!install(NULL, set, NULL, TRUE, &reboot)) result = FailureCode(ERROR_INSTALL_FAILURE);
        Log(LOG_INFO, "InstallSelectedDriver called rc=%d", static_cast<int>(result));
        if (reboot & (DI_NEEDRESTART | DI_NEEDREBOOT)) LogQuick(LOG_INFO, "Reboot or restart needed");
      }
    }
  }
  Log(LOG_TRACE, "InstallDriver returning (Err=%d)", static_cast<int>(result));
  return result;
}
