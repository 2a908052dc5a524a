// Staged INF files -> bulksetup's INF reading. The input is the whole file oem1.inf (ANSI, or
// UTF-16 after a byte-order mark), staged as a copy of the supported INF beside a good one, so
// that the scan opens it, reads every field the installer keeps and compares its date.
#include <filesystem>

#include <nlohmann/json.hpp>

#include "fuzzsupport.h"
#include "inffile.h"
#include "winsim/control.h"
#include "winsim/model_infs.h"

namespace {
std::string g_machine;
std::string g_staged;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  namespace fs = std::filesystem;
  g_machine = fuzz::NewMachine("inf");
  fs::path infDir = fs::path(g_machine) / "drive_c" / "WINDOWS" / "inf";
  fs::remove_all(infDir);
  fs::create_directories(infDir);
  fs::copy_file(std::string(Q52_SOURCE_DIR) + "/examples/machines/infs/2008-07/vexaq52drv.inf", infDir / "oem0.inf");
  g_staged = (infDir / "oem1.inf").string();
  fuzz::WriteFile(g_staged, "");
  nlohmann::json machine = nlohmann::json::parse(fuzz::ReadFile(g_machine + "/machine.json"));
  winsim::model::SetInfs(machine, {{{}, "oem0.inf", "vexaq52drv.inf", "vexaq52drv.cat"},
                                   {{}, "oem1.inf", "vexaq52drv.inf", "vexaq52drv.cat"}});
  fuzz::WriteFile(g_machine + "/machine.json", machine.dump(1));
  winsim::UseMachine(g_machine);
  winsim::SetVirtualClock(1796573829042LL);
  fuzz::ImportReg(fuzz::TraceToConsole("fuzz_inf"));
  // The machine stays loaded: the scan reads the INF directory and each INF from disk anew.
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteFile(g_staged, data, size);
  if (FindSupportedInf()) {
    IsSupportedHardwareId(L"USB\\VID_F0F0&PID_0052&REV_0100");
    IsSupportedHardwareId(L"USB\\VID_F0F0&PID_005");
  }
  SupportedInf.reset();
  fuzz::CheckNoOpenHandles("the INF scan");
  return 0;
}
