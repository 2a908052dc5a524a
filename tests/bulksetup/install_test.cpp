// The driver install for one device from one INF: each step's failure with its message and code,
// and an install that did not happen is never reported as done.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bulkfixture.h"
#include "install.h"

using bulktest::BulkInf;
using bulktest::BulkMachine;
using bulktest::DriverInf;
using bulktest::Error;
using bulktest::Info;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::Trace;
using bulktest::Wide;

namespace {

TEST(InstallSelectedDriver, Results) {
  const std::string printer = bulktest::kPrinter, inf = bulktest::kSupportedPath;
  const std::string longPath = "C:\\WINDOWS\\inf\\" + std::string(260 - 15 - 4, 'x') + ".inf";
  const std::string installing = "Installing for device instance '" + printer + "' from '" + inf + "'";
  struct Case {
    const char* what;
    std::string instanceId, infPath;
    const char* fault;  // function whose first call fails
    DWORD faultCode;
    bool removeNewdev;
    winsim::RestartNeed restart;
    DWORD result;
    std::vector<bulktest::LogLine> lines;
    // A system directory of 308 characters, and a newdev.dll at the drive's root where a path
    // built from an empty directory would find it.
    bool longSystemDirectory = false;
  } cases[] = {
      {"installed", printer, inf, nullptr, 0, false, winsim::RestartNeed::None, 0,
       {Trace(installing), Info("InstallSelectedDriver called rc=0"), Trace("InstallDriver returning (Err=0)")}},
      {"a restart needed", printer, inf, nullptr, 0, false, winsim::RestartNeed::Reboot, 0,
       {Trace(installing), Info("InstallSelectedDriver called rc=0"), Info("Reboot or restart needed"),
        Trace("InstallDriver returning (Err=0)")}},
      {"an INF path of 260 characters", printer, longPath, nullptr, 0, false, winsim::RestartNeed::None,
       ERROR_INVALID_PARAMETER,
       {Trace("Installing for device instance '" + printer + "' from '" + longPath + "'"),
        Error("StringCchCopy(" + longPath.substr(0, 259) + ") failed rc=0x57")}},
      {"a vanished instance ID", "USB\\VID_F0F0&PID_0052\\GONE", inf, nullptr, 0, false, winsim::RestartNeed::None,
       0xE000020B,
       {Trace("Installing for device instance 'USB\\VID_F0F0&PID_0052\\GONE' from '" + inf + "'"),
        Error("SetupDiOpenDeviceInfo() failed rc=0xe000020b")}},
      {"an INF that offers no driver", printer, "C:\\WINDOWS\\inf\\oem7.inf", nullptr, 0, false,
       winsim::RestartNeed::None, 0xE0000228,
       {Trace("Installing for device instance '" + printer + "' from 'C:\\WINDOWS\\inf\\oem7.inf'"),
        Error("SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV) failed rc=0xe0000228")}},
      {"no device information set", printer, inf, "SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY, false,
       winsim::RestartNeed::None, ERROR_NOT_ENOUGH_MEMORY,
       {Trace(installing), Error("SetupDiCreateDeviceInfoList() failed rc=0x8")}},
      {"no driver list", printer, inf, "SetupDiBuildDriverInfoList", ERROR_NOT_ENOUGH_MEMORY, false,
       winsim::RestartNeed::None, ERROR_NOT_ENOUGH_MEMORY,
       {Trace(installing), Error("SetupDiBuildDriverInfoList() failed rc=0x8")}},
      // Failures of newdev.dll are the install's result, not a success.
      {"newdev.dll missing", printer, inf, nullptr, 0, true, winsim::RestartNeed::None, ERROR_MOD_NOT_FOUND,
       {Trace(installing), Trace("InstallDriver returning (Err=126)")}},
      {"its export missing", printer, inf, "GetProcAddress", ERROR_PROC_NOT_FOUND, false, winsim::RestartNeed::None,
       ERROR_PROC_NOT_FOUND, {Trace(installing), Trace("InstallDriver returning (Err=127)")}},
      {"the export failing", printer, inf, "InstallSelectedDriver", ERROR_ACCESS_DENIED, false,
       winsim::RestartNeed::None, ERROR_ACCESS_DENIED,
       {Trace(installing), Info("InstallSelectedDriver called rc=5"), Trace("InstallDriver returning (Err=5)")}},
      {"no system directory", printer, inf, "GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY, false,
       winsim::RestartNeed::None, ERROR_NOT_ENOUGH_MEMORY,
       {Trace(installing), Trace("InstallDriver returning (Err=8)")}},
      {"a system directory longer than the buffer", printer, inf, nullptr, 0, false, winsim::RestartNeed::None,
       ERROR_INSUFFICIENT_BUFFER, {Trace(installing), Trace("InstallDriver returning (Err=122)")}, true},
  };
  const std::string otherModels = "[Vexa]\r\n%Q52.DeviceDesc%=Q52Bulk.Dev, USB\\VID_F0F0&PID_0099\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BulkMachine m({{"oem7.inf", BulkInf("07/15/2008,9.9.9.9", "%Vexa%=Vexa", otherModels), "other.inf"}});
    if (c.fault) winsim::InjectFault(c.fault, 1, c.faultCode);
    if (c.removeNewdev) std::filesystem::remove(winsim::HostPath(L"C:\\WINDOWS\\system32\\newdev.dll"));
    if (c.longSystemDirectory) {
      winsim::ReleaseMachine();
      const std::string file = m.dir() + "/machine.json";
      nlohmann::json machine = nlohmann::json::parse(testsupport::ReadFile(file));
      machine["systemDirectory"] = "C:\\WINDOWS\\" + std::string(308 - 20, 'S') + "\\system32";
      testsupport::WriteFile(file, machine.dump());
      std::filesystem::copy_file(m.dir() + "/drive_c/WINDOWS/system32/newdev.dll", m.dir() + "/drive_c/newdev.dll");
      winsim::UseMachine(m.dir());
    }
    winsim::SetInstallRestartNeed(c.restart);
    FdCapture log;
    EXPECT_EQ(InstallSelectedDriver(Wide(c.instanceId).c_str(), Wide(c.infPath).c_str()), c.result);
    EXPECT_EQ(ParseLog(log.Stop()), c.lines);
    EXPECT_EQ(DriverInf(printer), c.result == 0 ? "oem3.inf" : "usbprint.inf");
    if (c.longSystemDirectory) {
      EXPECT_EQ(winsim::CallCount("LoadLibraryW"), 0u) << "no other path is ever loaded";
    }
  }
}

}  // namespace
