// One device as the install decision sees it, the decision itself, and the start-up pass over
// every device the system has registered.
#pragma once

#include <windows.h>
#include <setupapi.h>

const int kMaxHardwareIds = 10;
// The hardware-ID property is read as far as this many bytes; IDs beyond it are not looked at.
const DWORD kHardwareIdBytes = 10000;

// A snapshot of one device, on the heap for the time of one decision. Longer property values are
// cut to their fields: they are only logged.
struct DeviceRecord {
  WCHAR Description[MAX_PATH];
  WCHAR Service[MAX_PATH];
  WCHAR FriendlyName[MAX_PATH];
  WCHAR Class[MAX_PATH];
  WCHAR ClassGuid[100];
  WCHAR Driver[MAX_PATH];
  WCHAR PdoName[MAX_PATH];
  WCHAR InstanceId[MAX_PATH];
  WCHAR DriverManufacturer[LINE_LEN];
  WCHAR DriverProvider[LINE_LEN];
  WCHAR DriverSection[LINE_LEN];
  WCHAR DriverInfFile[MAX_PATH];
  WCHAR* HardwareIds[kMaxHardwareIds];
  DWORD HardwareIdCount;
  FILETIME InfDate;
  DWORDLONG DriverVersion;
  DWORD DriverRank;
  DWORD DriverFlags;
};

// A new record of the device's properties, hardware IDs and instance ID; null only when it
// cannot be allocated. The caller frees it with FreeDeviceRecord.
DeviceRecord* BuildDeviceRecord(HDEVINFO set, PSP_DEVINFO_DATA device);
void FreeDeviceRecord(DeviceRecord* record);

// Reads the device's installed driver into RECORD; 1 when it has one, else 0.
int SetupEnumDriverInfo(PSP_DEVINFO_DATA device, DeviceRecord* record, HDEVINFO set);

// 1 when a hardware ID of the device is one the supported INF declares and the device's driver
// comes from that INF, or was installed from it now; else 0.
int MatchDevice(DeviceRecord* record, HDEVINFO set, PSP_DEVINFO_DATA device);

// The start-up pass over every registered device, attached or not. 1 when a device has (or now
// got) the driver, and when the devices cannot be listed; else 0.
int FindInstalledDevices();
