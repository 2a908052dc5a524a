// The install decision for one device, the device record it works on, and the start-up pass.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "bulkfixture.h"
#include "devicematch.h"

using bulktest::BulkInf;
using bulktest::BulkMachine;
using bulktest::CountText;
using bulktest::DeviceJson;
using bulktest::DriverInf;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::Narrow;
using bulktest::OpenDevice;
using bulktest::Texts;

namespace {

const char kDevice[] = "USB\\VID_F0F0&PID_0052\\T1";
const char kModel[] = "USB\\VID_F0F0&PID_0052";
const char kWithRevision[] = "USB\\VID_F0F0&PID_0052&REV_0100";

std::vector<std::string> NonTrace(const std::vector<bulktest::LogLine>& lines) {
  std::vector<std::string> texts;
  for (const auto& l : lines)
    if (l.level != "Trace") texts.push_back(l.text);
  return texts;
}

TEST(MatchDevice, Decisions) {
  std::vector<std::string> elevenIds;
  for (int i = 0; i < 10; ++i) elevenIds.push_back("USB\\VID_0000&PID_000" + std::to_string(i));
  elevenIds.push_back(kModel);
  const std::string installing = "USB Bulk Driver not installed. Installing...";
  const std::string installed = "USB Bulk Driver installed successfully!";
  const std::string already = "USB Bulk Driver already successfully installed!";
  // A failed install names the device and the code at Error: nothing else says why it failed.
  const std::string failedWith5 = std::string("USB Bulk Driver install failed for '") + kDevice + "' rc=0x5";
  struct Case {
    const char* what;
    std::vector<std::string> ids;
    std::string driverInf;
    const char* faultOfInstall;  // newdev's InstallSelectedDriver fails its first call with 5
    int result;
    std::vector<std::string> lines;
    std::string driverAfter;
  } cases[] = {
      {"revision suffix, then the model ID",
       {kWithRevision, kModel},
       "usbprint.inf",
       nullptr,
       1,
       {"Device Match Found!", installing, "InstallSelectedDriver called rc=0", installed, "Device Match Found!", already},
       "oem3.inf"},
      {"an older staged copy", {kModel}, "oem2.inf", nullptr, 1,
       {"Device Match Found!", installing, "InstallSelectedDriver called rc=0", installed}, "oem3.inf"},
      {"already installed", {kWithRevision, kModel}, "oem3.inf", nullptr, 1,
       {"Device Match Found!", already, "Device Match Found!", already}, "oem3.inf"},
      {"no driver at all", {kWithRevision, kModel}, "", nullptr, 0,
       {"SetupEnumDriverInfo() return rc=259(103)", "SetupEnumDriverInfo() return rc=259(103)"}, ""},
      {"an ID shorter than the model", {"USB\\VID_F0F0&PID_005"}, "usbprint.inf", nullptr, 0, {}, "usbprint.inf"},
      {"the model as the eleventh ID", elevenIds, "usbprint.inf", nullptr, 0, {}, "usbprint.inf"},
      {"failed, then successful install", {kWithRevision, kModel}, "usbprint.inf", "InstallSelectedDriver", 1,
       {"Device Match Found!", installing, "InstallSelectedDriver called rc=5", failedWith5, "Device Match Found!",
        installing, "InstallSelectedDriver called rc=0", installed},
       "oem3.inf"},
      {"a failed install", {kModel}, "usbprint.inf", "InstallSelectedDriver", 0,
       {"Device Match Found!", installing, "InstallSelectedDriver called rc=5", failedWith5}, "usbprint.inf"},
      {"newdev.dll without its export", {kModel}, "usbprint.inf", "GetProcAddress", 0,
       {"Device Match Found!", installing, failedWith5}, "usbprint.inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m({{"oem2.inf", BulkInf("01/10/2008,2.5.0.1"), "vexaq52drv.inf"}});
    winsim::AddDevice(DeviceJson(kDevice, c.ids, c.driverInf));
    if (c.faultOfInstall) winsim::InjectFault(c.faultOfInstall, 1, ERROR_ACCESS_DENIED);
    OpenDevice device(kDevice);
    ASSERT_TRUE(device.ok());
    DeviceRecord* record = BuildDeviceRecord(device.set(), device.data());
    ASSERT_NE(record, nullptr);
    FdCapture log;
    EXPECT_EQ(MatchDevice(record, device.set(), device.data()), c.result);
    auto lines = ParseLog(log.Stop());
    FreeDeviceRecord(record);
    EXPECT_EQ(NonTrace(lines), c.lines);
    EXPECT_EQ(DriverInf(kDevice), c.driverAfter);
  }
}

// What a match logs about the device, and the install's own trace line.
TEST(MatchDevice, DescribesTheDevice) {
  BulkMachine m;
  winsim::AddDevice(DeviceJson(kDevice, {kModel}, "usbprint.inf"));
  OpenDevice device(kDevice);
  ASSERT_TRUE(device.ok());
  DeviceRecord* record = BuildDeviceRecord(device.set(), device.data());
  ASSERT_NE(record, nullptr);
  FdCapture log;
  EXPECT_EQ(MatchDevice(record, device.set(), device.data()), 1);
  auto lines = ParseLog(log.Stop());
  FreeDeviceRecord(record);
  std::vector<std::string> texts = Texts(lines);
  auto at = std::find(texts.begin(), texts.end(), "Device Match Found!");
  ASSERT_NE(at, texts.end());
  std::vector<std::string> dump(at + 1, at + 12);
  EXPECT_EQ(dump, (std::vector<std::string>{
                      "Desc:[Test device]", "    Friendly:   ", "    HardwareID:",
                      "               USB\\VID_F0F0&PID_0052", "Class:             USB",
                      "Guid:              {36FC9E60-C465-11CF-8056-444553540000}", "Driver:            ",
                      "Service:           usbprint", "PDO:               ", "InstanceID:        USB\\VID_F0F0&PID_0052\\T1",
                      "DriverInfFileName: C:\\WINDOWS\\inf\\usbprint.inf"}));
  EXPECT_EQ(CountText(lines, "InstallSelectedDriver(USB\\VID_F0F0&PID_0052\\T1, C:\\WINDOWS\\inf\\oem3.inf) returned rc=0x0"),
            1u);
}

// A supported INF whose path could not be read is neither compared with nor installed from.
TEST(MatchDevice, SupportedInfWithoutPath) {
  BulkMachine m;
  winsim::AddDevice(DeviceJson(kDevice, {kModel}, "usbprint.inf"));
  delete[] SupportedInf->InfPath;
  SupportedInf->InfPath = nullptr;
  OpenDevice device(kDevice);
  DeviceRecord* record = BuildDeviceRecord(device.set(), device.data());
  ASSERT_NE(record, nullptr);
  FdCapture log;
  EXPECT_EQ(MatchDevice(record, device.set(), device.data()), 0);
  EXPECT_TRUE(ParseLog(log.Stop()).empty());
  FreeDeviceRecord(record);
  EXPECT_EQ(DriverInf(kDevice), "usbprint.inf");
}

// The record keeps ten IDs at most, read within 10,000 bytes of the property, and cuts text
// properties to their fields.
TEST(BuildDeviceRecord, Limits) {
  const size_t windowChars = kHardwareIdBytes / sizeof(WCHAR);
  std::vector<std::string> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back("ID" + std::to_string(i));
  // The first ID ends well inside the window; the second would end beyond it.
  const std::string first(windowChars / 2, 'A'), second(windowChars / 2, 'B');
  // Fills the window exactly: its terminator is the window's last character.
  const std::string exact(windowChars - 1, 'C');
  struct Case {
    const char* what;
    std::vector<std::string> ids;
    std::vector<std::string> kept;
  } cases[] = {
      {"three", {"A", "B", "C"}, {"A", "B", "C"}},
      {"twelve", twelve, std::vector<std::string>(twelve.begin(), twelve.begin() + 10)},
      {"beyond 10,000 bytes", {first, second, "C"}, {first}},
      {"exactly 10,000 bytes", {exact, "D"}, {exact}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m;
    winsim::AddDevice(DeviceJson(kDevice, c.ids, ""));
    OpenDevice device(kDevice);
    ASSERT_TRUE(device.ok());
    DeviceRecord* record = BuildDeviceRecord(device.set(), device.data());
    ASSERT_NE(record, nullptr);
    std::vector<std::string> kept;
    for (DWORD i = 0; i < record->HardwareIdCount; ++i) kept.push_back(Narrow(record->HardwareIds[i]));
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(Narrow(record->InstanceId), kDevice);
    EXPECT_EQ(Narrow(record->Description), "Test device");
    FreeDeviceRecord(record);
  }
}

TEST(FindInstalledDevices, StartUpPass) {
  struct Case {
    const char* what;
    const char* fault;
    int result;
    std::vector<std::string> errors;
    std::string printerDriver;
  } cases[] = {
      // The printer is registered but not attached; it is examined and installed all the same.
      {"an unplugged printer", nullptr, 1, {}, "oem3.inf"},
      {"no device list", "SetupDiGetClassDevsW", 1,
       {"FindInstalledDevices - SetupDiGetClassDevs Failed. GetLastError:8"}, "usbprint.inf"},
      {"a failed install", "InstallSelectedDriver", 0,
       {"USB Bulk Driver install failed for 'USB\\VID_F0F0&PID_0052\\Q52000123' rc=0x8",
        "USB Bulk Driver install failed for 'USB\\VID_F0F0&PID_0052\\Q52000123' rc=0x8"},
       "usbprint.inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m;
    // Both of the printer's IDs would install; the fault hits each attempt.
    if (c.fault) winsim::InjectFault(c.fault, 1, ERROR_NOT_ENOUGH_MEMORY);
    if (c.fault) winsim::InjectFault(c.fault, 2, ERROR_NOT_ENOUGH_MEMORY);
    FdCapture log;
    EXPECT_EQ(FindInstalledDevices(), c.result);
    auto lines = ParseLog(log.Stop());
    std::vector<std::string> errors;
    for (const auto& l : lines)
      if (l.level == "Error") errors.push_back(l.text);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(DriverInf(bulktest::kPrinter), c.printerDriver);
  }
}

}  // namespace
