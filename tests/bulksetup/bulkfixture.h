// What the installer's component tests share: a machine with the supported INF staged and read,
// devices added to it, a device opened the way the worker finds it, and short log-line makers.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "inffile.h"
#include "infmachine.h"
#include "winsim/control.h"
#include "winsim/devices.h"

namespace bulktest {

using testsupport::Info;

inline std::string Narrow(const WCHAR* s) { return s ? std::string(s, s + wcslen(s)) : std::string("(null)"); }
inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The printer's instance ID in the default image: registered, not attached, driver usbprint.inf.
const char kPrinter[] = "USB\\VID_F0F0&PID_0052\\Q52000123";
const char kSupportedPath[] = "C:\\WINDOWS\\inf\\oem3.inf";

// The default image with oem3.inf the supported INF (and EXTRA staged beside it), already found.
class BulkMachine : public InfMachine {
 public:
  explicit BulkMachine(std::vector<StagedFile> extra = {})
      : InfMachine(WithSupported(std::move(extra))) {
    testsupport::FdCapture quiet;
    EXPECT_EQ(FindSupportedInf(), 1);
    testsupport::ParseLog(quiet.Stop());
  }

 private:
  static std::vector<StagedFile> WithSupported(std::vector<StagedFile> extra) {
    extra.insert(extra.begin(), {"oem3.inf", BulkInf("07/15/2008,2.5.0.3"), "vexaq52drv.inf"});
    return extra;
  }
};

// A device entry of machine.json. DRIVER_INF empty: the device has no driver.
inline std::string JsonEscaped(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

inline std::string DeviceJson(const std::string& instanceId, const std::vector<std::string>& hardwareIds,
                              const std::string& driverInf, bool present = true, const std::string& parent = "") {
  std::string ids;
  for (const std::string& id : hardwareIds) ids += (ids.empty() ? "\"" : ", \"") + JsonEscaped(id) + "\"";
  std::string json = "{\"instanceId\": \"" + JsonEscaped(instanceId) + "\", \"parent\": \"" + JsonEscaped(parent) +
                     "\", \"present\": " + (present ? "true" : "false") +
                     ", \"class\": \"USB\", \"classGuid\": \"{36FC9E60-C465-11CF-8056-444553540000}\"" +
                     ", \"hardwareIds\": [" + ids + "], \"compatibleIds\": []" +
                     ", \"properties\": {\"DeviceDesc\": \"Test device\", \"Service\": \"usbprint\"}";
  if (!driverInf.empty())
    json += ", \"driver\": {\"inf\": \"" + JsonEscaped(driverInf) +
            "\", \"section\": \"Old.Dev\", \"provider\": \"Vexa\", \"manufacturer\": \"Vexa\", "
            "\"date\": \"2008-01-10\", \"version\": \"2.5.0.1\", \"rank\": 0}";
  return json + "}";
}

// One device opened by its instance ID in a set of its own; the set is destroyed with the object.
class OpenDevice {
 public:
  explicit OpenDevice(const std::string& instanceId) {
    set_ = SetupDiCreateDeviceInfoList(NULL, NULL);
    memset(&data_, 0, sizeof(data_));
    data_.cbSize = sizeof(data_);
    std::wstring id = Wide(instanceId);
    ok_ = set_ != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoW(set_, id.c_str(), NULL, 0, &data_);
  }
  ~OpenDevice() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
  bool ok() const { return ok_; }
  HDEVINFO set() const { return set_; }
  PSP_DEVINFO_DATA data() { return &data_; }

 private:
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data_;
  bool ok_ = false;
};

// The INF the device's driver comes from, as machine.json records it; "" without a driver.
inline std::string DriverInf(const std::string& instanceId) {
  auto driver = winsim::GetInstalledDriver(instanceId);
  return driver ? driver->inf : std::string();
}

}  // namespace bulktest
