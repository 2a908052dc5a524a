#include "checks.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "main.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/model_spooler.h"

namespace drvtest {

LogEntry Final(int result) {
  std::string text = "drvpurge Run Complete - Error Code: " + std::to_string(result);
  return result == 0 ? Info(text) : Error(text);
}

const char kLaterReleaseMessage[] =
    "\nA version of PLX that is later than PLX 2.5.0 is installed.\nThis Uninstaller will not execute. \n"
    "Use Add/Remove Programs to remove Post PLX 2.5.0 versions from your system.\n\n";
const char kLaterReleaseReg[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D0C7A21-8E34-4B9F-A1C6-72E0B5F3D914}]\r\n"
    "\"DisplayName\"=\"Vexa Q52 PLX 3.0.1\"\r\n";

std::vector<LogEntry> VersionTrace(uint32_t major, uint32_t minor, uint32_t build, uint32_t platform,
                                   const std::string& csd) {
  // The structure's own size: 276 on Windows, more where wchar_t is 4 bytes.
  return {Trace("dwOSVersionInfoSize: " + std::to_string(sizeof(OSVERSIONINFOW))),
          Trace("dwMajorVersion: " + std::to_string(major)),
          Trace("dwMinorVersion: " + std::to_string(minor)),
          Trace("dwBuildNumber: " + std::to_string(build)),
          Trace("dwPlatformId: " + std::to_string(platform)),
          Trace("szCSDVersion: '" + csd + "'")};
}

std::string CapturedBanner() {
  FdCapture out(1);
  PrintBanner();
  return out.Stop();
}

std::string ExpectedConsole(int banners, bool later, int result) {
  std::string out;
  const std::string banner = CapturedBanner();
  for (int i = 0; i < banners; ++i) out += banner;
  if (later) out += std::string(kLaterReleaseMessage) + "\n";
  return out + "drvpurge Run Complete. Error Code: " + std::to_string(result) + "\n";
}

std::string LoggerLevelReg(int level) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n"
         "\"Level\"=dword:0000000" + std::to_string(level) + "\r\n";
}

PurgeRun RunDrvpurge(const std::string& machine, const std::vector<std::string>& args, const std::string& cwd,
                     const std::string& faults) {
  testsupport::ProcessResult r =
      testsupport::Run("drvpurge", args, cwd, {{"WINSIM_MACHINE", machine}, {"WINSIM_FAULTS", faults}});
  PurgeRun run;
  run.status = r.status;
  run.out = r.out;
  run.err = r.err;
  const std::string logFile = cwd + "/drvpurge.log";
  run.logFile = testsupport::Exists(logFile);
  if (run.logFile) run.log = ParseLog(testsupport::ReadFile(logFile));
  if (testsupport::Exists(machine + "/last-run.json"))
    run.lastRun = nlohmann::json::parse(testsupport::ReadFile(machine + "/last-run.json"));
  return run;
}

void UseVirtualClock(const std::string& machine) {
  winsim::UseMachine(machine);
  winsim::SetVirtualClock(1796573829042LL);  // 2026-12-06T16:17:09.042Z
  winsim::ReleaseMachine();
}

std::set<std::string> MachineItems(const std::string& machine) {
  namespace fs = std::filesystem;
  std::set<std::string> items;
  nlohmann::json doc = nlohmann::json::parse(testsupport::ReadFile(machine + "/machine.json"));
  const winsim::model::Spooler spooler = winsim::model::SpoolerOf(doc);
  for (const auto& e : spooler.printers) items.insert("printer:" + e.name);
  for (const auto& e : spooler.drivers) items.insert("driver:" + e.name);
  for (const auto& e : spooler.monitors) items.insert("monitor:" + e.name);
  for (const auto& e : spooler.ports) items.insert("port:" + e.name);
  const fs::path c = fs::path(machine) / "drive_c";
  for (auto it = fs::recursive_directory_iterator(c); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), c).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    items.insert("file:C:\\" + rel + (it->is_directory() ? "\\" : ""));
  }
  std::string key;
  for (const std::string& line : testsupport::Lines(testsupport::ReadFile(machine + "/system.reg"))) {
    if (line.empty() || line.rfind("Windows Registry Editor", 0) == 0) continue;
    if (line[0] == '[') {
      key = line;
      items.insert("reg:" + key);
    } else {
      items.insert("reg:" + key + " " + line);
    }
  }
  return items;
}

std::set<std::string> Matching(const std::set<std::string>& all, const std::vector<std::string>& patterns) {
  std::set<std::string> out;
  for (const std::string& item : all)
    for (const std::string& p : patterns) {
      bool prefix = !p.empty() && p.back() == '*';
      if (prefix ? item.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0 : item == p) {
        out.insert(item);
        break;
      }
    }
  return out;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

}  // namespace drvtest
