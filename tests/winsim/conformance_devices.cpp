// Device information sets, driver lists, the Configuration Manager's device lists, the wait for
// pending installs and run-time loading, as the installer relies on them. The cases hold on any
// machine: they use the devices it has, whatever they are, and names that no machine has.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

namespace {

std::string Hex(DWORD v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
  return buf;
}

// A member of the set of every registered device, with its instance ID; false when the machine
// has no devices at all.
bool FirstDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  data->cbSize = sizeof *data;
  return SetupDiEnumDeviceInfo(set, 0, data) != FALSE;
}

CONFORMANCE(SetupDiGetClassDevsNeedsAClassOrAllClasses) {
  SetLastError(0);
  HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT);
  CHECK(set == INVALID_HANDLE_VALUE);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
}

CONFORMANCE(SetupDiEnumDeviceInfoChecksAndEnds) {
  HDEVINFO empty = SetupDiCreateDeviceInfoList(NULL, NULL);
  CHECK(empty != INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof data;
  CHECK(!SetupDiEnumDeviceInfo(empty, 0, &data));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  CHECK(!SetupDiEnumDeviceInfo(empty, 0, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CHECK(SetupDiDestroyDeviceInfoList(empty));

  HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  CHECK(all != INVALID_HANDLE_VALUE);
  DWORD count = 0;
  while (SetupDiEnumDeviceInfo(all, count, &data)) ++count;
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  if (count > 0) {
    data.cbSize = sizeof data - 1;
    CHECK(!SetupDiEnumDeviceInfo(all, 0, &data));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  }
  CHECK(SetupDiDestroyDeviceInfoList(all));
}

CONFORMANCE(SetupDiBadHandles) {
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof data;
  CHECK(!SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &data));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CHECK(!SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SP_DEVINSTALL_PARAMS_W params;
  params.cbSize = sizeof params;
  CHECK(!SetupDiGetDeviceInstallParamsW(INVALID_HANDLE_VALUE, NULL, &params));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(SetupDiGetDeviceInstanceIdSizeProtocol) {
  HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  if (!FirstDevice(all, &data)) {
    SetupDiDestroyDeviceInfoList(all);
    SKIP("no devices on this machine");
  }
  DWORD need = 0;
  CHECK(!SetupDiGetDeviceInstanceIdW(all, &data, NULL, 0, &need));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK(need > 1);
  std::vector<WCHAR> id(need + 1, L'#');
  DWORD again = 0;
  CHECK(!SetupDiGetDeviceInstanceIdW(all, &data, &id[0], need - 1, &again));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK_EQ(again, need);
  CHECK(SetupDiGetDeviceInstanceIdW(all, &data, &id[0], need, NULL));
  CHECK_EQ(wcslen(&id[0]) + 1, static_cast<size_t>(need));
  CHECK(id[need] == L'#');  // nothing written past the size asked for

  // The same device opens by that ID into a set of its own, and an unknown ID does not.
  HDEVINFO one = SetupDiCreateDeviceInfoList(NULL, NULL);
  SP_DEVINFO_DATA opened;
  opened.cbSize = sizeof opened;
  CHECK(SetupDiOpenDeviceInfoW(one, &id[0], NULL, 0, &opened));
  if (!WineDiffers("SetupDiOpenDeviceInfoW hands out a new devnode number for every open "
                   "(Windows: the device's one devnode)"))
    CHECK_EQ(opened.DevInst, data.DevInst);
  CHECK(!SetupDiOpenDeviceInfoW(one, L"USB\\VID_F0F0&PID_0052\\NOSUCHDEVICE", NULL, 0, &opened));
  CHECK_EQ(Hex(GetLastError()), Hex(ERROR_NO_SUCH_DEVINST));
  CHECK(SetupDiDestroyDeviceInfoList(one));
  CHECK(SetupDiDestroyDeviceInfoList(all));
}

CONFORMANCE(SetupDiGetDeviceRegistryPropertySizeProtocol) {
  HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof data;
  bool sawHardwareIds = false, sawMissing = false;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &data) && !(sawHardwareIds && sawMissing); ++i) {
    DWORD type = 0xFFFF, need = 0;
    if (!sawHardwareIds && !SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_HARDWAREID, &type, NULL, 0, &need) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      sawHardwareIds = true;
      CHECK_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
      CHECK(need >= 2 * sizeof(WCHAR) && need % sizeof(WCHAR) == 0);
      std::vector<BYTE> buf(need + sizeof(WCHAR), 0xCC);
      DWORD again = 0;
      CHECK(!SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_HARDWAREID, &type, &buf[0], need - 1, &again));
      CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      CHECK_EQ(again, need);
      CHECK(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_HARDWAREID, &type, &buf[0], need, NULL));
      const WCHAR* ids = reinterpret_cast<const WCHAR*>(&buf[0]);
      size_t chars = need / sizeof(WCHAR);
      CHECK(ids[chars - 1] == 0 && ids[chars - 2] == 0);  // a list of strings, ended by an empty one
      CHECK(buf[need] == 0xCC);
    }
    // A property the device lacks (many have no friendly name).
    if (!sawMissing && !SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_FRIENDLYNAME, &type, NULL, 0, &need) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      sawMissing = true;
      CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
  }
  if (FirstDevice(all, &data)) {
    DWORD need = 0;
    CHECK(!SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_MAXIMUM_PROPERTY + 10, NULL, NULL, 0, &need));
    if (!WineDiffers("an unknown device registry property is refused with ERROR_INVALID_DATA "
                     "(Windows: ERROR_INVALID_REG_PROPERTY)"))
      CHECK_EQ(Hex(GetLastError()), Hex(ERROR_INVALID_REG_PROPERTY));
  }
  CHECK(SetupDiDestroyDeviceInfoList(all));
  if (!sawHardwareIds) SKIP("no device with hardware IDs on this machine");
}

// The installer writes flags and a driver path into the parameters it read; both sizes are checked.
CONFORMANCE(SetupDiDeviceInstallParamsRoundTrip) {
  HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  if (!FirstDevice(set, &data)) {
    SetupDiDestroyDeviceInfoList(set);
    SKIP("no devices on this machine");
  }
  SP_DEVINSTALL_PARAMS_W params;
  memset(&params, 0, sizeof params);
  params.cbSize = sizeof params - 1;
  CHECK(!SetupDiGetDeviceInstallParamsW(set, &data, &params));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  params.cbSize = sizeof params;
  CHECK(SetupDiGetDeviceInstallParamsW(set, &data, &params));
  CHECK_EQ(params.cbSize, static_cast<DWORD>(sizeof params));
  params.Flags |= DI_ENUMSINGLEINF;
  params.FlagsEx |= DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  wcscpy(params.DriverPath, L"C:\\WINDOWS\\inf\\oem3.inf");
  params.cbSize = 0;
  CHECK(!SetupDiSetDeviceInstallParamsW(set, &data, &params));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  params.cbSize = sizeof params;
  CHECK(SetupDiSetDeviceInstallParamsW(set, &data, &params));
  SP_DEVINSTALL_PARAMS_W back;
  memset(&back, 0, sizeof back);
  back.cbSize = sizeof back;
  CHECK(SetupDiGetDeviceInstallParamsW(set, &data, &back));
  CHECK((back.Flags & DI_ENUMSINGLEINF) != 0);
  CHECK((back.FlagsEx & DI_FLAGSEX_ALLOWEXCLUDEDDRVS) != 0);
  CHECK_EQ(std::wstring(back.DriverPath), std::wstring(L"C:\\WINDOWS\\inf\\oem3.inf"));
  CHECK(SetupDiDestroyDeviceInfoList(set));
}

// A member's driver records: the version-1 and version-2 sizes are accepted, others refused;
// nothing is selected before the class installer runs.
CONFORMANCE(SetupDiDriverRecordsBeforeSelection) {
  HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  if (!FirstDevice(all, &data)) {
    SetupDiDestroyDeviceInfoList(all);
    SKIP("no devices on this machine");
  }
  SP_DRVINFO_DATA_W info;
  info.cbSize = sizeof info;
  CHECK(!SetupDiGetSelectedDriverW(all, &data, &info));
  CHECK_EQ(Hex(GetLastError()), Hex(ERROR_NO_DRIVER_SELECTED));
  // No list built yet: the enumeration is over at once.
  CHECK(!SetupDiEnumDriverInfoW(all, &data, SPDIT_COMPATDRIVER, 0, &info));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  info.cbSize = sizeof(SP_DRVINFO_DATA_V1_W);
  CHECK(!SetupDiEnumDriverInfoW(all, &data, SPDIT_COMPATDRIVER, 0, &info));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  // An empty list ends before the record's size is looked at.
  info.cbSize = sizeof info + 4;
  CHECK(!SetupDiEnumDriverInfoW(all, &data, SPDIT_COMPATDRIVER, 0, &info));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  // Nothing to free is fine.
  if (!WineDiffers("SetupDiDestroyDriverInfoList is not implemented")) CHECK(SetupDiDestroyDriverInfoList(all, &data, SPDIT_COMPATDRIVER));
  CHECK(SetupDiDestroyDeviceInfoList(all));
}

CONFORMANCE(CM_DeviceIdListSizeProtocol) {
  if (WineDiffers("CM_Get_Device_ID_List_SizeW reports an empty list whatever is asked"))
    SKIP("Wine's device ID lists are empty whatever is asked");
  ULONG size = 0;
  CHECK_EQ(CM_Get_Device_ID_List_SizeW(&size, NULL, CM_GETIDLIST_FILTER_NONE), static_cast<CONFIGRET>(CR_SUCCESS));
  CHECK(size >= 1);
  std::vector<WCHAR> list(size + 1, L'#');
  if (size > 2) {
    CHECK_EQ(CM_Get_Device_ID_ListW(NULL, &list[0], size - 1, CM_GETIDLIST_FILTER_NONE),
             static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  }
  CHECK_EQ(CM_Get_Device_ID_ListW(NULL, &list[0], size, CM_GETIDLIST_FILTER_NONE), static_cast<CONFIGRET>(CR_SUCCESS));
  size_t used = 0;
  while (list[used]) used += wcslen(&list[used]) + 1;
  CHECK(used + 1 <= size);  // the list and its final terminator fit the size reported
  CHECK(list[size] == L'#');

  // Bus relations of a device that doesn't exist.
  CONFIGRET cr = CM_Get_Device_ID_List_SizeW(&size, L"USB\\VID_F0F0&PID_0052\\NOSUCHDEVICE",
                                             CM_GETIDLIST_FILTER_BUSRELATIONS);
  CHECK_EQ(Hex(cr), Hex(CR_NO_SUCH_DEVNODE));
  CHECK_EQ(CM_Get_Device_ID_List_SizeW(NULL, NULL, CM_GETIDLIST_FILTER_NONE), static_cast<CONFIGRET>(CR_INVALID_POINTER));
  CHECK_EQ(CM_Get_Device_ID_List_SizeW(&size, NULL, 0x4000), static_cast<CONFIGRET>(CR_INVALID_FLAG));
}

CONFORMANCE(CM_WaitNoPendingInstallEventsOnAnIdleMachine) {
  CHECK_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(CMP_WaitNoPendingInstallEvents(30000), static_cast<DWORD>(WAIT_OBJECT_0));
}

CONFORMANCE(LoadLibraryAndGetProcAddressErrors) {
  SetLastError(0);
  CHECK(LoadLibraryW(L"C:\\WINDOWS\\system32\\q52-no-such-module.dll") == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE newdev = LoadLibraryW(L"newdev.dll");
  CHECK(newdev != NULL);
  if (!newdev) return;
  HMODULE again = LoadLibraryW(L"newdev.dll");
  CHECK(again == newdev);  // the same module, one more reference
  CHECK(GetProcAddress(newdev, "InstallSelectedDriver") != NULL);
  SetLastError(0);
  CHECK(GetProcAddress(newdev, "Q52NoSuchExport") == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  CHECK(FreeLibrary(again));
  CHECK(FreeLibrary(newdev));
}

// The installer's road when the INF offers nothing for the device: the list builds (empty) and
// the class installer finds no driver.
CONFORMANCE(SetupDiSelectBestWithoutDrivers) {
  HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data;
  if (!FirstDevice(all, &data)) {
    SetupDiDestroyDeviceInfoList(all);
    SKIP("no devices on this machine");
  }
  SP_DEVINSTALL_PARAMS_W params;
  params.cbSize = sizeof params;
  CHECK(SetupDiGetDeviceInstallParamsW(all, &data, &params));
  params.Flags |= DI_ENUMSINGLEINF;
  wcscpy(params.DriverPath, L"C:\\q52-no-such-dir\\none.inf");
  CHECK(SetupDiSetDeviceInstallParamsW(all, &data, &params));
  CHECK(SetupDiBuildDriverInfoList(all, &data, SPDIT_COMPATDRIVER));
  CHECK(!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, all, &data));
  CHECK_EQ(Hex(GetLastError()), Hex(ERROR_NO_COMPAT_DRIVERS));
  SP_DRVINFO_DATA_W info;
  info.cbSize = sizeof info;
  CHECK(!SetupDiGetSelectedDriverW(all, &data, &info));
  CHECK_EQ(Hex(GetLastError()), Hex(ERROR_NO_DRIVER_SELECTED));
  CHECK(SetupDiDestroyDeviceInfoList(all));
}

// An empty instance ID names no device.
CONFORMANCE(SetupDiOpenDeviceInfoWithoutName) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
  CHECK(!SetupDiOpenDeviceInfoW(set, L"", NULL, 0, NULL));
  CHECK_EQ(Hex(GetLastError()), Hex(ERROR_NO_SUCH_DEVINST));
  CHECK(SetupDiDestroyDeviceInfoList(set));
}

// A value that is no module: checked where a wrong handle cannot bring the program down.
CONFORMANCE(ModuleCallsOnSomethingElse) {
  if (!kOnWinsim && !UnderWine()) SKIP("Windows may fault on a handle that is no module");
  HMODULE bogus = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x10000));
  SetLastError(0);
  CHECK(GetProcAddress(bogus, "InstallSelectedDriver") == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  CHECK(!FreeLibrary(bogus));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
