#include "devicematch.h"

#include <strsafe.h>
#include <string.h>
#include <wchar.h>

#include <new>

#include "inffile.h"
#include "install.h"
#include "log.h"
#include "unique_resource.h"

namespace {

// Reads a device registry property whole, sized by a first call; null when it cannot be read.
// SIZE gets its size in bytes. The buffer ends in two zero characters past the value, so that a
// value without its own terminator still ends.
BYTE* ReadProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, DWORD& size) {
  size = 0;
  BYTE* buffer = NULL;
  DWORD bufferSize = 0;
  for (;;) {
    DWORD required = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, device, property, NULL, buffer, bufferSize, &required)) {
      size = required && required < bufferSize ? required : bufferSize;
      if (!buffer) buffer = new (std::nothrow) BYTE[2 * sizeof(WCHAR)]();
      return buffer;
    }
    delete[] buffer;
    buffer = NULL;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return NULL;
    bufferSize = required;
    buffer = new (std::nothrow) BYTE[bufferSize + 2 * sizeof(WCHAR)]();
    if (!buffer) return NULL;
  }
}

void ReadTextProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, WCHAR* field, size_t fieldChars) {
  DWORD size = 0;
  BYTE* value = ReadProperty(set, device, property, size);
  if (!value) return;
  StringCchCopyW(field, fieldChars, reinterpret_cast<const WCHAR*>(value));
  delete[] value;
}

// The first kMaxHardwareIds IDs of the list, within its first kHardwareIdBytes bytes; an ID cut
// by that limit is left out.
void ReadHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, DeviceRecord* record) {
  DWORD size = 0;
  BYTE* value = ReadProperty(set, device, SPDRP_HARDWAREID, size);
  if (!value) return;
  const WCHAR* list = reinterpret_cast<const WCHAR*>(value);
  const size_t chars = (size < kHardwareIdBytes ? size : kHardwareIdBytes) / sizeof(WCHAR);
  size_t pos = 0;
  while (pos < chars && list[pos] && record->HardwareIdCount < static_cast<DWORD>(kMaxHardwareIds)) {
    size_t length = wcsnlen(list + pos, chars - pos);
    if (pos + length == chars) break;
    WCHAR* id = new (std::nothrow) WCHAR[length + 1];
    if (!id) break;
    memcpy(id, list + pos, (length + 1) * sizeof(WCHAR));
    record->HardwareIds[record->HardwareIdCount++] = id;
    pos += length + 1;
  }
  delete[] value;
}

}  // namespace

DeviceRecord* BuildDeviceRecord(HDEVINFO set, PSP_DEVINFO_DATA device) {
  DeviceRecord* record = new (std::nothrow) DeviceRecord;
  if (!record) return NULL;
  memset(record, 0, sizeof(*record));

  ReadTextProperty(set, device, SPDRP_DEVICEDESC, record->Description, ARRAYSIZE(record->Description));
  ReadTextProperty(set, device, SPDRP_CLASS, record->Class, ARRAYSIZE(record->Class));
  ReadTextProperty(set, device, SPDRP_SERVICE, record->Service, ARRAYSIZE(record->Service));
  ReadTextProperty(set, device, SPDRP_FRIENDLYNAME, record->FriendlyName, ARRAYSIZE(record->FriendlyName));
  ReadHardwareIds(set, device, record);
  ReadTextProperty(set, device, SPDRP_CLASSGUID, record->ClassGuid, ARRAYSIZE(record->ClassGuid));
  ReadTextProperty(set, device, SPDRP_DRIVER, record->Driver, ARRAYSIZE(record->Driver));
  ReadTextProperty(set, device, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, record->PdoName, ARRAYSIZE(record->PdoName));

  if (!SetupDiGetDeviceInstanceIdW(set, device, record->InstanceId, ARRAYSIZE(record->InstanceId), NULL))
    memset(record->InstanceId, 0, sizeof(record->InstanceId));
  return record;
}

void FreeDeviceRecord(DeviceRecord* record) {
  if (!record) return;
  for (DWORD i = 0; i < record->HardwareIdCount; ++i) delete[] record->HardwareIds[i];
  delete record;
}

int SetupEnumDriverInfo(PSP_DEVINFO_DATA device, DeviceRecord* record, HDEVINFO set) {
  SP_DEVINSTALL_PARAMS_W params;
  memset(&params, 0, sizeof(params));
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(set, device, &params)) return 0;
  params.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER | DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  if (!SetupDiSetDeviceInstallParamsW(set, device, &params)) return 0;
  if (!SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER)) return 0;

  SP_DRVINFO_DATA_V2_W driver;
  memset(&driver, 0, sizeof(driver));
  driver.cbSize = sizeof(driver);
  if (!SetupDiEnumDriverInfoW(set, device, SPDIT_COMPATDRIVER, 0, &driver)) {
    DWORD error = GetLastError();
    Log(LOG_ERROR, "SetupEnumDriverInfo() return rc=%d(%x)", static_cast<int>(error), static_cast<unsigned>(error));
    SetupDiDestroyDriverInfoList(set, device, SPDIT_COMPATDRIVER);
    return 0;
  }
  StringCchCopyW(record->DriverManufacturer, ARRAYSIZE(record->DriverManufacturer), driver.MfgName);
  StringCchCopyW(record->DriverProvider, ARRAYSIZE(record->DriverProvider), driver.ProviderName);
  record->DriverVersion = driver.DriverVersion;

  // Room for the fixed part and a generous list of hardware IDs after it.
  const DWORD kDetailBytes = 9000;
  BYTE* detailBuffer = new (std::nothrow) BYTE[kDetailBytes]();
  if (detailBuffer) {
    PSP_DRVINFO_DETAIL_DATA_W detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(detailBuffer);
    detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
    if (SetupDiGetDriverInfoDetailW(set, device, &driver, detail, kDetailBytes, NULL)) {
      StringCchCopyW(record->DriverSection, ARRAYSIZE(record->DriverSection), detail->SectionName);
      StringCchCopyW(record->DriverInfFile, ARRAYSIZE(record->DriverInfFile), detail->InfFileName);
      record->InfDate = detail->InfDate;
      SP_DRVINSTALL_PARAMS install;
      memset(&install, 0, sizeof(install));
      install.cbSize = sizeof(install);
      if (SetupDiGetDriverInstallParamsW(set, device, &driver, &install)) {
        record->DriverRank = install.Rank;
        record->DriverFlags = install.Flags;
      }
    }
    delete[] detailBuffer;
  }
  SetupDiDestroyDriverInfoList(set, device, SPDIT_COMPATDRIVER);
  return 1;
}

int MatchDevice(DeviceRecord* record, HDEVINFO set, PSP_DEVINFO_DATA device) {
  // Without its path the supported INF can be neither compared with nor installed from.
  if (!record || !SupportedInf || !SupportedInf->InfPath) return 0;
  const WCHAR* infPath = SupportedInf->InfPath;

  int result = 0;
  for (DWORD i = 0; i < record->HardwareIdCount; ++i) {
    if (!IsSupportedHardwareId(record->HardwareIds[i]) || SetupEnumDriverInfo(device, record, set) != 1) continue;

    LogQuick(LOG_INFO, "Device Match Found!");
    WLog(LOG_TRACE, L"Desc:[%s]", record->Description);
    WLog(LOG_TRACE, L"    Friendly:   %s", record->FriendlyName);
    WLog(LOG_TRACE, L"    HardwareID:");
    for (DWORD j = 0; j < record->HardwareIdCount; ++j) WLog(LOG_TRACE, L"               %s", record->HardwareIds[j]);
    WLog(LOG_TRACE, L"Class:             %s", record->Class);
    WLog(LOG_TRACE, L"Guid:              %s", record->ClassGuid);
    WLog(LOG_TRACE, L"Driver:            %s", record->Driver);
    WLog(LOG_TRACE, L"Service:           %s", record->Service);
    WLog(LOG_TRACE, L"PDO:               %s", record->PdoName);
    WLog(LOG_TRACE, L"InstanceID:        %s", record->InstanceId);
    WLog(LOG_TRACE, L"DriverInfFileName: %s", record->DriverInfFile);

    if (_wcsnicmp(infPath, record->DriverInfFile, wcslen(infPath)) != 0) {
      LogQuick(LOG_INFO, "USB Bulk Driver not installed. Installing...");
      DWORD rc = InstallSelectedDriver(record->InstanceId, infPath);
      WLog(LOG_TRACE, L"InstallSelectedDriver(%s, %s) returned rc=0x%x", record->InstanceId, infPath,
           static_cast<unsigned>(rc));
      if (rc == 0) {
        LogQuick(LOG_INFO, "USB Bulk Driver installed successfully!");
        result = 1;
      } else {
        // The caller's closing line only says no INF matched; the cause is said here.
        WLog(LOG_ERROR, L"USB Bulk Driver install failed for '%s' rc=0x%x", record->InstanceId,
             static_cast<unsigned>(rc));
      }
    } else {
      LogQuick(LOG_INFO, "USB Bulk Driver already successfully installed!");
      result = 1;
    }
  }
  return result;
}

int FindInstalledDevices() {
  UniqueDeviceSet devices(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES));
  if (!devices) {
    Log(LOG_ERROR, "FindInstalledDevices - SetupDiGetClassDevs Failed. GetLastError:%d", static_cast<int>(GetLastError()));
    return 1;
  }
  HDEVINFO set = devices.get();
  int found = 0;
  SP_DEVINFO_DATA device;
  memset(&device, 0, sizeof(device));
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    DeviceRecord* record = BuildDeviceRecord(set, &device);
    if (!record) continue;
    if (MatchDevice(record, set, &device) == 1) found = 1;
    FreeDeviceRecord(record);
  }
  return found;
}
