// The simulated Plug and Play machine: devices, properties, bus relations, driver lists from
// INF models, the best-driver choice, installs through newdev.dll and installs in progress.
#include <gtest/gtest.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/devices.h"

namespace {

using testsupport::TempMachine;

const wchar_t kQ52[] = L"USB\\VID_F0F0&PID_0052\\Q52000123";
const wchar_t kHub[] = L"USB\\ROOT_HUB\\4&2F1C0A3B&0";
const wchar_t kPci[] = L"PCI\\VEN_8086&DEV_24C2&SUBSYS_00000000&REV_02\\3&61AAA01&0&E8";
const wchar_t kSupportedInf[] = L"C:\\WINDOWS\\inf\\oem3.inf";
const GUID kUsbInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// Every test ends with nothing open: sets, driver lists and modules are all accounted.
class Devices : public ::testing::Test {
 protected:
  // The image's printer as a machine has it once it was attached before: registered, unplugged.
  void SetUp() override { winsim::RegisterTimelineDevices(); }
  void TearDown() override { EXPECT_TRUE(winsim::OpenHandles().empty()); }
  TempMachine machine_;
};

std::vector<std::wstring> MemberIds(HDEVINFO set) {
  std::vector<std::wstring> ids;
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    WCHAR id[MAX_PATH];
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_PATH, nullptr));
    ids.push_back(id);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  return ids;
}

// A set holding one device, opened by its instance ID.
struct OneDevice {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  explicit OneDevice(const wchar_t* id) {
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data));
  }
  ~OneDevice() { SetupDiDestroyDeviceInfoList(set); }
  // Restricts the driver search the way the installer does before it builds the list.
  void SearchOnly(const wchar_t* driverPath, DWORD flags, DWORD flagsEx = 0) {
    SP_DEVINSTALL_PARAMS_W p;
    p.cbSize = sizeof p;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &p));
    p.Flags |= flags;
    p.FlagsEx |= flagsEx;
    wcscpy(p.DriverPath, driverPath);
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &data, &p));
  }
  std::vector<SP_DRVINFO_DATA_W> Drivers() {
    std::vector<SP_DRVINFO_DATA_W> out;
    SP_DRVINFO_DATA_W d;
    d.cbSize = sizeof d;
    for (DWORD i = 0; SetupDiEnumDriverInfoW(set, &data, SPDIT_COMPATDRIVER, i, &d); ++i) out.push_back(d);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return out;
  }
  DWORD Rank(SP_DRVINFO_DATA_W& d) {
    SP_DRVINSTALL_PARAMS p;
    p.cbSize = sizeof p;
    EXPECT_TRUE(SetupDiGetDriverInstallParamsW(set, &data, &d, &p));
    return p.Rank;
  }
};

std::vector<std::wstring> MultiSz(const WCHAR* p) {
  std::vector<std::wstring> out;
  for (; *p; p += wcslen(p) + 1) out.push_back(p);
  return out;
}

void WriteMachineFile(const std::wstring& windowsPath, const std::string& content) {
  std::filesystem::path host = winsim::HostPath(windowsPath);
  std::filesystem::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << content;
}

std::string Inf(const std::string& driverVer, const std::string& models) {
  return "[Version]\nSignature=\"$Windows NT$\"\nClass=USB\nClassGUID={36FC9E60-C465-11CF-8056-444553540000}\n"
         "Provider=%P%\nDriverVer=" + driverVer + "\n[Manufacturer]\n%P%=Models\n[Models]\n" + models +
         "\n[Strings]\nP=\"Test Provider\"\n";
}

TEST_F(Devices, EnumerationByFlagsClassEnumeratorAndInterface) {
  struct Row {
    const char* what;
    const GUID* guid;
    const wchar_t* enumerator;
    DWORD flags;
    std::vector<std::wstring> unplugged, plugged;
  } rows[] = {
      {"all registered", nullptr, nullptr, DIGCF_ALLCLASSES, {kPci, kHub, kQ52}, {kPci, kHub, kQ52}},
      {"present only", nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, {kPci, kHub}, {kPci, kHub, kQ52}},
      {"one class", &kUsbClass, nullptr, DIGCF_PRESENT, {kPci, kHub}, {kPci, kHub, kQ52}},
      {"enumerator", nullptr, L"usb", DIGCF_ALLCLASSES, {kHub, kQ52}, {kHub, kQ52}},
      {"interface", &kUsbInterface, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, {}, {kQ52}},
  };
  for (bool plugged : {false, true}) {
    if (plugged) winsim::PlugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
    for (const Row& r : rows) {
      HDEVINFO set = SetupDiGetClassDevsW(r.guid, r.enumerator, nullptr, r.flags);
      ASSERT_NE(set, INVALID_HANDLE_VALUE) << r.what;
      EXPECT_EQ(MemberIds(set), plugged ? r.plugged : r.unplugged) << r.what << (plugged ? " plugged" : "");
      EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
  }
  // Neither a class nor all classes: refused.
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Devices, RegistryPropertiesWithTypesAndSizeProtocol) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA q52;
  q52.cbSize = sizeof q52;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 2, &q52));

  auto read = [&](DWORD prop, DWORD* type, std::vector<BYTE>& out) -> DWORD {
    DWORD need = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, &q52, prop, type, nullptr, 0, &need)) return 0xFFFF;  // can't be
    DWORD err = GetLastError();
    if (err != ERROR_INSUFFICIENT_BUFFER) return err;
    out.assign(need, 0xCC);
    // One byte short still fails and reports the same size.
    DWORD again = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &q52, prop, type, out.data(), need - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, need);
    if (!SetupDiGetDeviceRegistryPropertyW(set, &q52, prop, type, out.data(), need, nullptr)) return GetLastError();
    return 0;
  };
  struct Row {
    DWORD prop;
    DWORD type;
    std::vector<std::wstring> value;  // one string, or the strings of a list
  } rows[] = {
      {SPDRP_DEVICEDESC, REG_SZ, {L"Vexa Q52"}},
      {SPDRP_HARDWAREID, REG_MULTI_SZ, {L"USB\\VID_F0F0&PID_0052&REV_0100", L"USB\\VID_F0F0&PID_0052"}},
      {SPDRP_COMPATIBLEIDS, REG_MULTI_SZ,
       {L"USB\\Class_07&SubClass_01&Prot_02", L"USB\\Class_07&SubClass_01", L"USB\\Class_07"}},
      {SPDRP_SERVICE, REG_SZ, {L"usbprint"}},
      {SPDRP_CLASS, REG_SZ, {L"USB"}},
      {SPDRP_CLASSGUID, REG_SZ, {L"{36FC9E60-C465-11CF-8056-444553540000}"}},
      {SPDRP_DRIVER, REG_SZ, {L"{36FC9E60-C465-11CF-8056-444553540000}\\0002"}},
      {SPDRP_MFG, REG_SZ, {L"Vexa"}},
      {SPDRP_ENUMERATOR_NAME, REG_SZ, {L"USB"}},
  };
  for (const Row& r : rows) {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    ASSERT_EQ(read(r.prop, &type, bytes), 0u) << r.prop;
    EXPECT_EQ(type, r.type) << r.prop;
    const WCHAR* text = reinterpret_cast<const WCHAR*>(bytes.data());
    if (r.type == REG_SZ) {
      EXPECT_EQ(bytes.size(), (r.value[0].size() + 1) * sizeof(WCHAR)) << r.prop;
      EXPECT_EQ(std::wstring(text), r.value[0]) << r.prop;
    } else {
      EXPECT_EQ(MultiSz(text), r.value) << r.prop;
      EXPECT_EQ(text[bytes.size() / sizeof(WCHAR) - 1], L'\0');
      EXPECT_EQ(text[bytes.size() / sizeof(WCHAR) - 2], L'\0');
    }
  }
  // Missing properties: one the device lacks, and the device object of an unplugged device.
  std::vector<BYTE> bytes;
  EXPECT_EQ(read(SPDRP_FRIENDLYNAME, nullptr, bytes), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(read(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, nullptr, bytes), static_cast<DWORD>(ERROR_INVALID_DATA));
  winsim::PlugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
  ASSERT_EQ(read(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, nullptr, bytes), 0u);
  EXPECT_EQ(std::wstring(reinterpret_cast<const WCHAR*>(bytes.data())), L"\\Device\\USBPDO-4");
  EXPECT_EQ(read(SPDRP_MAXIMUM_PROPERTY, nullptr, bytes), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  SetupDiDestroyDeviceInfoList(set);
}

// The run report names the property of each read in call order, a failed or refused one too, so
// that a test can tell a program's reads apart.
TEST_F(Devices, RunReportListsThePropertyOfEveryRead) {
  const DWORD reads[] = {SPDRP_DEVICEDESC, SPDRP_HARDWAREID, SPDRP_SERVICE, SPDRP_MAXIMUM_PROPERTY};
  {
    OneDevice q52(kQ52);
    BYTE buffer[512];
    winsim::InjectFault("SetupDiGetDeviceRegistryPropertyW", 2, ERROR_NOT_ENOUGH_MEMORY);
    for (DWORD property : reads)
      SetupDiGetDeviceRegistryPropertyW(q52.set, &q52.data, property, nullptr, buffer, sizeof buffer, nullptr);
  }

  std::string dir = machine_.dir();
  winsim::ReleaseMachine();
  auto report = nlohmann::json::parse(testsupport::ReadFile(dir + "/last-run.json"));
  EXPECT_EQ(report["devicePropertyReads"], nlohmann::json(std::vector<DWORD>(std::begin(reads), std::end(reads))));
  winsim::UseMachine(dir);
}

// What the real API can't be asked on Windows without risk: members of another set, handles
// that are no sets at all.
TEST_F(Devices, MembersBelongToTheirSet) {
  OneDevice a(kQ52), b(kHub);
  WCHAR id[MAX_PATH];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(b.set, &a.data, id, MAX_PATH, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(reinterpret_cast<HDEVINFO>(0x1234), 0, &a.data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Opening a device twice gives the same member.
  SP_DEVINFO_DATA again;
  again.cbSize = sizeof again;
  ASSERT_TRUE(SetupDiOpenDeviceInfoW(a.set, L"usb\\vid_f0f0&pid_0052\\q52000123", nullptr, 0, &again));
  EXPECT_EQ(again.Reserved, a.data.Reserved);
  EXPECT_EQ(again.DevInst, a.data.DevInst);
  // A set of one class refuses a device of another.
  const GUID printers = {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  HDEVINFO only = SetupDiCreateDeviceInfoList(&printers, nullptr);
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(only, kQ52, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  SetupDiDestroyDeviceInfoList(only);
}

TEST_F(Devices, BusRelationsListOnlyAttachedChildren) {
  auto list = [](const wchar_t* id, ULONG* size) -> std::vector<std::wstring> {
    *size = 0;
    CONFIGRET cr = CM_Get_Device_ID_List_SizeW(size, id, CM_GETIDLIST_FILTER_BUSRELATIONS);
    if (cr != CR_SUCCESS) return {L"CR " + std::to_wstring(cr)};
    std::vector<WCHAR> buf(*size);
    if (*size > 1) {
      // One character short is refused.
      EXPECT_EQ(CM_Get_Device_ID_ListW(id, buf.data(), *size - 1, CM_GETIDLIST_FILTER_BUSRELATIONS),
                static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    }
    EXPECT_EQ(CM_Get_Device_ID_ListW(id, buf.data(), *size, CM_GETIDLIST_FILTER_BUSRELATIONS),
              static_cast<CONFIGRET>(CR_SUCCESS));
    return MultiSz(buf.data());
  };
  ULONG size = 0;
  EXPECT_EQ(list(kPci, &size), std::vector<std::wstring>{kHub});
  EXPECT_EQ(size, wcslen(kHub) + 2);
  EXPECT_TRUE(list(kHub, &size).empty());  // the printer is not plugged in
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(list(kQ52, &size), std::vector<std::wstring>{L"CR " + std::to_wstring(CR_NO_SUCH_DEVNODE)});
  EXPECT_EQ(list(L"USB\\NOPE\\1", &size), std::vector<std::wstring>{L"CR " + std::to_wstring(CR_NO_SUCH_DEVNODE)});

  winsim::PlugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
  EXPECT_EQ(list(kHub, &size), std::vector<std::wstring>{kQ52});

  // The same tree through devnodes.
  DEVINST q52 = 0, parent = 0;
  ASSERT_EQ(CM_Locate_DevNodeW(&q52, const_cast<WCHAR*>(kQ52), CM_LOCATE_DEVNODE_NORMAL),
            static_cast<CONFIGRET>(CR_SUCCESS));
  ASSERT_EQ(CM_Get_Parent(&parent, q52, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  WCHAR id[MAX_PATH];
  ASSERT_EQ(CM_Get_Device_IDW(parent, id, MAX_PATH, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(std::wstring(id), kHub);
  EXPECT_EQ(CM_Get_Device_IDW(parent, id, 5, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  winsim::UnplugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
  EXPECT_EQ(CM_Locate_DevNodeW(&q52, const_cast<WCHAR*>(kQ52), CM_LOCATE_DEVNODE_NORMAL),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(CM_Locate_DevNodeW(&q52, const_cast<WCHAR*>(kQ52), CM_LOCATE_DEVNODE_PHANTOM),
            static_cast<CONFIGRET>(CR_SUCCESS));
}

// Lookups made before a device is added see it afterwards, by any case of its ID, as a child of
// its parent after the children already there, and in a set that was built before it came.
TEST_F(Devices, LookupsSeeDevicesAddedLater) {
  winsim::PlugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
  ULONG size = 0;
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&size, kHub, CM_GETIDLIST_FILTER_BUSRELATIONS), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(size, wcslen(kQ52) + 2);
  DEVINST stick = 0;
  EXPECT_EQ(CM_Locate_DevNodeW(&stick, const_cast<WCHAR*>(L"USB\\VID_0781&PID_5530\\S1"), CM_LOCATE_DEVNODE_PHANTOM),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  OneDevice before(kQ52);

  winsim::AddDevice(R"({"instanceId": "USB\\VID_0781&PID_5530\\S1", "parent": "usb\\root_hub\\4&2f1c0a3b&0",
                        "present": true, "class": "USB", "hardwareIds": ["USB\\VID_0781&PID_5530"]})");
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&size, kHub, CM_GETIDLIST_FILTER_BUSRELATIONS), static_cast<CONFIGRET>(CR_SUCCESS));
  std::vector<WCHAR> buf(size);
  ASSERT_EQ(CM_Get_Device_ID_ListW(kHub, buf.data(), size, CM_GETIDLIST_FILTER_BUSRELATIONS),
            static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(MultiSz(buf.data()), (std::vector<std::wstring>{kQ52, L"USB\\VID_0781&PID_5530\\S1"}));
  ASSERT_EQ(CM_Locate_DevNodeW(&stick, const_cast<WCHAR*>(L"usb\\vid_0781&pid_5530\\s1"), CM_LOCATE_DEVNODE_NORMAL),
            static_cast<CONFIGRET>(CR_SUCCESS));
  DEVINST parent = 0;
  ASSERT_EQ(CM_Get_Parent(&parent, stick, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  WCHAR id[MAX_PATH];
  ASSERT_EQ(CM_Get_Device_IDW(parent, id, MAX_PATH, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(std::wstring(id), kHub);
  // The member opened before the device came still names the printer.
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(before.set, &before.data, id, MAX_PATH, nullptr));
  EXPECT_EQ(std::wstring(id), kQ52);
  EXPECT_NE(before.data.DevInst, stick);
}

TEST_F(Devices, DriverListFromTheOneInfInTheDriverPath) {
  OneDevice dev(kQ52);
  dev.SearchOnly(kSupportedInf, DI_ENUMSINGLEINF, DI_FLAGSEX_ALLOWEXCLUDEDDRVS);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(dev.set, &dev.data, SPDIT_COMPATDRIVER));
  EXPECT_EQ(winsim::OpenHandles()["driver list"], 1);
  auto drivers = dev.Drivers();
  // The two lines of the printer match: by the first hardware ID, then by the second; the line of
  // the other model doesn't.
  ASSERT_EQ(drivers.size(), 2u);
  EXPECT_EQ(dev.Rank(drivers[0]), 0u);
  EXPECT_EQ(dev.Rank(drivers[1]), 1u);
  EXPECT_EQ(std::wstring(drivers[0].Description), L"Vexa Q52 USB Bulk Device");
  EXPECT_EQ(std::wstring(drivers[0].MfgName), L"Vexa");
  EXPECT_EQ(std::wstring(drivers[0].ProviderName), L"Vexa");
  EXPECT_EQ(drivers[0].DriverVersion, (2ULL << 48) | (5ULL << 32) | 3ULL);
  ULONGLONG date = (ULONGLONG(drivers[0].DriverDate.dwHighDateTime) << 32) | drivers[0].DriverDate.dwLowDateTime;
  EXPECT_EQ(date, (ULONGLONG(1205452800) + 11644473600ULL) * 10000000ULL);  // 2008-03-14T00:00Z

  // Details: size first, then the record with its list of IDs after the fixed part.
  DWORD need = 0;
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(dev.set, &dev.data, &drivers[1], nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const std::wstring hw = L"USB\\VID_F0F0&PID_0052";
  EXPECT_EQ(need, offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + (hw.size() + 2) * sizeof(WCHAR));
  std::vector<BYTE> buf(need);
  auto* detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(buf.data());
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W) + 1;
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(dev.set, &dev.data, &drivers[1], detail, need, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDriverInfoDetailW(dev.set, &dev.data, &drivers[1], detail, need, nullptr));
  EXPECT_EQ(std::wstring(detail->SectionName), L"Q52Bulk.Dev");
  EXPECT_EQ(std::wstring(detail->InfFileName), kSupportedInf);
  EXPECT_EQ(MultiSz(detail->HardwareID), std::vector<std::wstring>{hw});
  EXPECT_EQ(detail->CompatIDsLength, 0u);
  // Short of the list's closing terminator: the fixed part is filled and the list holds the
  // whole IDs that fit with it, here none; an ID is never cut.
  std::vector<BYTE> shortBuf(need - sizeof(WCHAR), 0xEE);
  auto* cut = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(shortBuf.data());
  cut->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(dev.set, &dev.data, &drivers[1], cut, need - sizeof(WCHAR), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::wstring(cut->SectionName), L"Q52Bulk.Dev");
  EXPECT_EQ(MultiSz(cut->HardwareID), std::vector<std::wstring>{});

  // The installed driver alone, for a device that has one and for one that has none.
  OneDevice installed(kQ52);
  installed.SearchOnly(L"", 0, DI_FLAGSEX_INSTALLEDDRIVER);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(installed.set, &installed.data, SPDIT_COMPATDRIVER));
  auto only = installed.Drivers();
  ASSERT_EQ(only.size(), 1u);
  EXPECT_EQ(installed.Rank(only[0]), 8192u);
  std::vector<BYTE> big(9000);
  detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(big.data());
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDriverInfoDetailW(installed.set, &installed.data, &only[0], detail, 9000, nullptr));
  EXPECT_EQ(std::wstring(detail->InfFileName), L"C:\\WINDOWS\\inf\\usbprint.inf");
  EXPECT_EQ(std::wstring(detail->SectionName), L"LPTENUM_Install");
  SetupDiDestroyDriverInfoList(installed.set, &installed.data, SPDIT_COMPATDRIVER);

  winsim::AddDevice(R"({"instanceId": "USB\\VID_F0F0&PID_0052\\NEW1", "present": true, "class": "USB",
                        "hardwareIds": ["USB\\VID_F0F0&PID_0052"]})");
  OneDevice bare(L"USB\\VID_F0F0&PID_0052\\NEW1");
  bare.SearchOnly(L"", 0, DI_FLAGSEX_INSTALLEDDRIVER);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(bare.set, &bare.data, SPDIT_COMPATDRIVER));
  EXPECT_TRUE(bare.Drivers().empty());
}

TEST_F(Devices, BestDriverByRankThenDate) {
  // Two INFs in one directory offer the same models; the directory is the search path.
  WriteMachineFile(L"C:\\Drivers\\old.inf", Inf("01/10/2008,1.0.0.1",
                                                "\"Old exact\"=Old.Dev, USB\\VID_1111&PID_0001\n"
                                                "\"Old by compat\"=OldC.Dev, USB\\VID_9999&PID_9999, USB\\Class_FF"));
  WriteMachineFile(L"C:\\Drivers\\new.inf", Inf("07/15/2008,1.0.0.2",
                                                "\"New exact\"=New.Dev, USB\\VID_1111&PID_0001\n"
                                                "\"New second id\"=New2.Dev, USB\\VID_1111&PID_0001&REV_0001"));
  struct Row {
    const char* what;
    const char* hardwareIds;
    const char* compatibleIds;
    const wchar_t* chosen;  // null: no driver fits
  } rows[] = {
      {"equal rank: the newer date", R"(["USB\\VID_1111&PID_0001"])", "[]", L"New exact"},
      {"earlier hardware ID first", R"(["USB\\VID_1111&PID_0001&REV_0001", "USB\\VID_1111&PID_0001"])", "[]",
       L"New second id"},
      {"hardware ID before compatible ID", R"(["USB\\VID_2222&PID_0002", "USB\\Class_FF"])", R"(["USB\\VID_1111&PID_0001"])",
       L"Old by compat"},
      {"compatible ID only", R"(["USB\\VID_3333&PID_0003"])", R"(["USB\\VID_1111&PID_0001"])", L"New exact"},
      {"nothing fits", R"(["USB\\VID_4444&PID_0004"])", "[]", nullptr},
  };
  int n = 0;
  for (const Row& r : rows) {
    std::string id = "USB\\\\VID_TEST\\\\" + std::to_string(++n);
    winsim::AddDevice(std::string(R"({"instanceId": ")") + id + R"(", "present": true, "hardwareIds": )" +
                      r.hardwareIds + R"(, "compatibleIds": )" + r.compatibleIds + "}");
    OneDevice dev((L"USB\\VID_TEST\\" + std::to_wstring(n)).c_str());
    dev.SearchOnly(L"C:\\Drivers", 0);
    // The class installer builds the list itself when nobody did.
    BOOL ok = SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, dev.set, &dev.data);
    SP_DRVINFO_DATA_W chosen;
    chosen.cbSize = sizeof chosen;
    if (!r.chosen) {
      EXPECT_FALSE(ok) << r.what;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_COMPAT_DRIVERS)) << r.what;
      EXPECT_FALSE(SetupDiGetSelectedDriverW(dev.set, &dev.data, &chosen));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
      continue;
    }
    ASSERT_TRUE(ok) << r.what;
    ASSERT_TRUE(SetupDiGetSelectedDriverW(dev.set, &dev.data, &chosen)) << r.what;
    EXPECT_EQ(std::wstring(chosen.Description), r.chosen) << r.what;
  }
}

// The models section a [Manufacturer] line leads to on 32-bit Windows XP.
TEST_F(Devices, ModelsSectionByDecoration) {
  struct Row {
    const char* decorations;
    std::vector<std::wstring> offered;  // descriptions, one per section the device is listed in
  } rows[] = {
      {"", {L"plain"}},
      {",NTx86", {L"NTx86"}},
      {",NTamd64", {L"plain"}},
      {",NTx86,NTx86.6.0", {L"NTx86"}},
      {",NT,NTx86.5.1", {L"NTx86.5.1"}},
      {",nt", {L"NT"}},
  };
  const char* sections[] = {"Models", "Models.NTx86", "Models.NTamd64", "Models.NTx86.6.0", "Models.NT",
                            "Models.NTx86.5.1"};
  int n = 0;
  for (const Row& r : rows) {
    std::string text = "[Version]\nSignature=\"$Windows NT$\"\nDriverVer=03/14/2008,1.0.0.0\n[Manufacturer]\n"
                       "Vexa=Models" + std::string(r.decorations) + "\n";
    for (const char* sec : sections) {
      std::string desc = std::string(sec) == "Models" ? "plain" : std::string(sec).substr(7);
      text += std::string("[") + sec + "]\n\"" + desc + "\"=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\n";
    }
    std::wstring path = L"C:\\Drivers\\deco" + std::to_wstring(++n) + L".inf";
    WriteMachineFile(path, text);
    OneDevice dev(kQ52);
    dev.SearchOnly(path.c_str(), DI_ENUMSINGLEINF);
    ASSERT_TRUE(SetupDiBuildDriverInfoList(dev.set, &dev.data, SPDIT_COMPATDRIVER));
    std::vector<std::wstring> offered;
    for (auto& d : dev.Drivers()) offered.push_back(d.Description);
    EXPECT_EQ(offered, r.offered) << r.decorations;
  }
}

struct NewdevCall {
  HMODULE lib = nullptr;
  BOOL(WINAPI* install)(HWND, HDEVINFO, LPCWSTR, BOOL, PDWORD) = nullptr;
  NewdevCall() {
    lib = LoadLibraryW(L"C:\\WINDOWS\\system32\\newdev.dll");
    EXPECT_NE(lib, nullptr);
    FARPROC p = GetProcAddress(lib, "InstallSelectedDriver");
    EXPECT_NE(p, nullptr);
    install = reinterpret_cast<decltype(install)>(reinterpret_cast<void (*)(void)>(p));
  }
  ~NewdevCall() { FreeLibrary(lib); }
};

// What the installer does for the printer: the best driver of the staged INF, installed.
DWORD InstallFromInf(const wchar_t* id, const wchar_t* inf, DWORD* reboot) {
  OneDevice dev(id);
  dev.SearchOnly(inf, DI_ENUMSINGLEINF, DI_FLAGSEX_ALLOWEXCLUDEDDRVS);
  EXPECT_TRUE(SetupDiSetSelectedDevice(dev.set, &dev.data));
  EXPECT_TRUE(SetupDiBuildDriverInfoList(dev.set, &dev.data, SPDIT_COMPATDRIVER));
  if (!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, dev.set, &dev.data)) return GetLastError();
  NewdevCall newdev;
  SetLastError(0);
  newdev.install(nullptr, dev.set, nullptr, TRUE, reboot);
  return GetLastError();
}

// The INF of the installed driver, read the way the installer reads it: the member's driver list
// restricted to the installed driver, its details, the list freed again.
std::wstring InstalledInf(HDEVINFO set, SP_DEVINFO_DATA* data) {
  SP_DEVINSTALL_PARAMS_W p;
  p.cbSize = sizeof p;
  EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(set, data, &p));
  p.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER | DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  EXPECT_TRUE(SetupDiSetDeviceInstallParamsW(set, data, &p));
  EXPECT_TRUE(SetupDiBuildDriverInfoList(set, data, SPDIT_COMPATDRIVER));
  SP_DRVINFO_DATA_W info;
  info.cbSize = sizeof info;
  std::wstring inf = L"(none)";
  if (SetupDiEnumDriverInfoW(set, data, SPDIT_COMPATDRIVER, 0, &info)) {
    std::vector<BYTE> big(9000);
    auto* detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(big.data());
    detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
    EXPECT_TRUE(SetupDiGetDriverInfoDetailW(set, data, &info, detail, 9000, nullptr));
    inf = detail->InfFileName;
  }
  EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, data, SPDIT_COMPATDRIVER));
  return inf;
}

TEST_F(Devices, InstallThroughNewdevChangesTheMachineAndPersists) {
  winsim::PlugDevice("USB\\VID_F0F0&PID_0052\\Q52000123");
  // A set made before the install sees the new driver when it builds its list again.
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA q52;
  q52.cbSize = sizeof q52;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 2, &q52));
  EXPECT_EQ(InstalledInf(all, &q52), L"C:\\WINDOWS\\inf\\usbprint.inf");

  DWORD reboot = 0xFFFF;
  ASSERT_EQ(InstallFromInf(kQ52, kSupportedInf, &reboot), 0u);
  EXPECT_EQ(reboot, 0u);
  auto drv = winsim::GetInstalledDriver("USB\\VID_F0F0&PID_0052\\Q52000123");
  ASSERT_TRUE(drv);
  EXPECT_EQ(drv->inf, "oem3.inf");
  EXPECT_EQ(drv->section, "Q52Bulk.Dev");
  EXPECT_EQ(drv->hardwareId, "USB\\VID_F0F0&PID_0052&REV_0100");
  EXPECT_EQ(drv->date, "2008-03-14");
  EXPECT_EQ(drv->version, "2.5.0.3");

  EXPECT_EQ(InstalledInf(all, &q52), kSupportedInf);
  WCHAR service[64];
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &q52, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                                sizeof service, nullptr));
  EXPECT_EQ(std::wstring(service), L"vexaq52bulk");
  SetupDiDestroyDeviceInfoList(all);

  // Written back with the machine, and the run report lists the install.
  std::string dir = machine_.dir();
  winsim::ReleaseMachine();
  const auto saved = winsim::model::DevicesOf(nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json"))).at(2);
  EXPECT_EQ(saved.driver.value_or(winsim::InstalledDriver()).inf, "oem3.inf");
  EXPECT_EQ(saved.properties.value("DeviceDesc", ""), "Vexa Q52 USB Bulk Device");
  auto report = nlohmann::json::parse(testsupport::ReadFile(dir + "/last-run.json"));
  ASSERT_EQ(report["driverInstalls"].size(), 1u);
  EXPECT_EQ(report["driverInstalls"][0]["inf"], "C:\\WINDOWS\\inf\\oem3.inf");
  EXPECT_EQ(report["driverInstalls"][0]["restart"], "none");
  winsim::UseMachine(dir);
  EXPECT_EQ(winsim::GetInstalledDriver("USB\\VID_F0F0&PID_0052\\Q52000123")->inf, "oem3.inf");
}

TEST_F(Devices, InstallOutcomes) {
  // A restart the machine asks for reaches the reboot word.
  for (auto [need, bit] : {std::pair{winsim::RestartNeed::Restart, DWORD{DI_NEEDRESTART}},
                           std::pair{winsim::RestartNeed::Reboot, DWORD{DI_NEEDREBOOT}}}) {
    winsim::SetInstallRestartNeed(need);
    DWORD reboot = DI_NEEDRESTART | DI_NEEDREBOOT;  // set by the call, whatever it held
    EXPECT_EQ(InstallFromInf(kQ52, kSupportedInf, &reboot), 0u);
    EXPECT_EQ(reboot, bit);
  }
  // An INF without a driver for the device: the class installer says so.
  DWORD reboot = 0;
  EXPECT_EQ(InstallFromInf(kHub, kSupportedInf, &reboot), static_cast<DWORD>(ERROR_NO_COMPAT_DRIVERS));
  // newdev.dll with nothing selected.
  NewdevCall newdev;
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof data;
  EXPECT_FALSE(newdev.install(nullptr, set, nullptr, TRUE, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DEVICE_SELECTED));
  ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, kQ52, nullptr, 0, &data));
  ASSERT_TRUE(SetupDiSetSelectedDevice(set, &data));
  EXPECT_FALSE(newdev.install(nullptr, set, nullptr, TRUE, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
  SetupDiDestroyDeviceInfoList(set);
  // An instance ID the machine doesn't know.
  set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"USB\\VID_F0F0&PID_0052\\GONE", nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Devices, LibrariesLoadFromTheMachineAndCountReferences) {
  HMODULE a = LoadLibraryW(L"C:\\WINDOWS\\system32\\newdev.dll");
  HMODULE b = LoadLibraryW(L"NEWDEV.DLL");  // a bare name is found in the system directory
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(GetProcAddress(a, "InstallSelectedDriverW"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_EQ(winsim::OpenHandles()["HMODULE"], 1);
  EXPECT_NE(GetProcAddress(b, "InstallSelectedDriver"), nullptr);
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_FALSE(FreeLibrary(b));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  EXPECT_EQ(LoadLibraryW(L"C:\\WINDOWS\\system32\\vexaktmon.dll"), nullptr);  // a placeholder file
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  std::filesystem::remove(winsim::HostPath(L"C:\\WINDOWS\\system32\\newdev.dll"));
  EXPECT_EQ(LoadLibraryW(L"C:\\WINDOWS\\system32\\newdev.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Devices, PendingInstallsRunOnTheMachineClock) {
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(30000), static_cast<DWORD>(WAIT_OBJECT_0));
  winsim::SetPendingInstalls(2, 20000);
  int64_t start = winsim::NowUnixMillis();
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(winsim::NowUnixMillis(), start);
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(30000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(winsim::NowUnixMillis() - start, 30000);
  EXPECT_EQ(winsim::PendingInstalls(), 1u);
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(30000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(winsim::NowUnixMillis() - start, 40000);  // returns when the last one is done

  // Time passes for installs whoever waits; what is left is saved as a count, rounded up.
  winsim::SetPendingInstalls(3, 10000);
  Sleep(15000);
  EXPECT_EQ(winsim::PendingInstalls(), 2u);
  std::string dir = machine_.dir();
  winsim::ReleaseMachine();
  auto doc = nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json"));
  EXPECT_EQ(doc["pendingInstalls"], 2);
  EXPECT_FALSE(doc.contains("_pendingSince"));
  winsim::UseMachine(dir);
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(winsim::PendingInstalls(), 0u);

  winsim::InjectFault("CMP_WaitNoPendingInstallEvents", winsim::CallCount("CMP_WaitNoPendingInstallEvents") + 1,
                      ERROR_ACCESS_DENIED);
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(1000), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(DevicesMachine, MalformedDevicesStopTheLoad) {
  struct Row {
    const char* what;
    const char* machine;
  } rows[] = {
      {"no instance ID", R"({"devices": [{"present": true}]})"},
      {"IDs that are not strings", R"({"devices": [{"instanceId": "USB\\X\\1", "hardwareIds": [1]}]})"},
      {"a class GUID that is no GUID", R"({"devices": [{"instanceId": "USB\\X\\1", "classGuid": "USB"}]})"},
      {"a driver rank that is text", R"({"devices": [{"instanceId": "USB\\X\\1", "driver": {"rank": "high"}}]})"},
      {"a property list with a number",
       R"({"devices": [{"instanceId": "USB\\X\\1", "properties": {"UpperFilters": [3]}}]})"},
      {"an interface class that is a number", R"({"devices": [{"instanceId": "USB\\X\\1", "interfaceClass": 7}]})"},
  };
  for (const Row& r : rows) {
    testsupport::TempDir tmp;
    std::string dir = tmp / "m";
    winsim::CreateMachine(dir);
    auto doc = nlohmann::json::parse(testsupport::ReadFile(dir + "/machine.json"));
    doc.update(nlohmann::json::parse(r.machine));
    testsupport::WriteFile(dir + "/machine.json", doc.dump(2));
    try {
      winsim::UseMachine(dir);
      ADD_FAILURE() << r.what << ": loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("devices"), std::string::npos) << r.what << ": " << e.what();
    }
  }
}

}  // namespace
