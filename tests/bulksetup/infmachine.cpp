#include "infmachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "inffile.h"
#include "winsim/control.h"
#include "winsim/inf.h"
#include "winsim/model_infs.h"
#include "winsim/model_timeline.h"

namespace bulktest {

namespace fs = std::filesystem;

InfMachine::InfMachine(const std::vector<StagedFile>& files) : dir_(tmp_ / "machine") {
  testsupport::CreateMachineDir(dir_);
  fs::path infDir = fs::path(dir_) / "drive_c" / "WINDOWS" / "inf";
  fs::remove_all(infDir);
  fs::create_directories(infDir);
  nlohmann::json machine = nlohmann::json::parse(testsupport::ReadFile(dir_ + "/machine.json"));
  std::vector<winsim::model::Inf> infs;
  for (const StagedFile& f : files) {
    testsupport::WriteFile((infDir / f.name).string(), f.text);
    if (!f.originalName.empty()) infs.push_back({{}, f.name, f.originalName, f.originalCatalog});
  }
  winsim::model::SetInfs(machine, infs);
  // The printer the image plugs in later was attached here once before: registered, unplugged,
  // with the generic driver Windows gave it.
  auto devices = winsim::model::DevicesOf(machine);
  winsim::model::RegisterDescribed(devices, winsim::model::TimelineOf(machine), false);
  winsim::model::SetDevices(machine, devices);
  testsupport::WriteFile(dir_ + "/machine.json", machine.dump(1));
  Use();
}

InfMachine::InfMachine(const Example& example) : dir_(tmp_ / "machine") {
  winsim::CreateMachineFromExample(dir_, std::string(Q52_SOURCE_DIR) + "/examples/machines/" + example.name);
  Use();
}

void InfMachine::Use() {
  winsim::UseMachine(dir_);
  winsim::SetVirtualClock(1796573829042LL);
  // The logger reads its settings once, when the first test logs; every test sets them alike.
  winsim::ImportRegText(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\bulksetup_tests\\Logger]\r\n"
      "\"Level\"=dword:00000004\r\n\"IsConsole\"=dword:00000001\r\n");
}

InfMachine::~InfMachine() {
  SupportedInf.reset();
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{})) << "handles left open";
  winsim::ReleaseMachine();
}

std::string BulkInf(const std::string& driverVer, const std::string& manufacturer, const std::string& models) {
  std::string version = driverVer.empty() ? "" : "DriverVer=" + driverVer + "\r\n";
  return "; Vexa Q52 USB bulk driver\r\n"
         "[Version]\r\n"
         "Signature=\"$Windows NT$\"\r\n"
         "Class=USB\r\n"
         "ClassGUID={36FC9E60-C465-11CF-8056-444553540000}\r\n"
         "Provider=%Vexa%\r\n"
         "CatalogFile=vexaq52drv.cat\r\n" +
         version +
         "\r\n[Manufacturer]\r\n" + manufacturer + "\r\n\r\n" + models +
         "\r\n[Q52Bulk.Dev]\r\nCopyFiles=Q52Bulk.Files\r\n\r\n"
         "[Q52Bulk.Files]\r\nvexaq52bulk.sys\r\n\r\n"
         "[Strings]\r\n"
         "Vexa=\"Vexa\"\r\n"
         "Q52.DeviceDesc=\"Vexa Q52 USB Bulk Device\"\r\n";
}

}  // namespace bulktest
