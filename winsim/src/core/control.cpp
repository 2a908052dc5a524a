// What tests use to look at and change the current machine in-process (winsim/control.h).
#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

std::string MachineDir() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return CurrentMachine().dir.string();
}

void ImportRegFile(const std::string& dir, const std::string& regFile) {
  Machine m;
  m.Load(dir);
  m.registry.Import(ReadHostFile(regFile), regFile);
  WriteFileAtomic(m.dir / "system.reg", m.registry.Export());
}

void ImportRegText(const std::string& text, const std::string& sourceName) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().registry.Import(text, sourceName);
}
unsigned CallCount(const std::string& function) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  auto& c = CurrentMachine().callCounts;
  auto it = c.find(function);
  return it == c.end() ? 0 : it->second;
}

std::vector<std::string> CallTrace() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  auto& calls = CurrentMachine().calls;
  return std::vector<std::string>(calls.begin(), calls.end());
}

std::map<std::string, int> OpenHandles() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  std::map<std::string, int> out;
  for (auto& [h, info] : CurrentMachine().handles) ++out[info.kind];
  return out;
}

OsVersion GetOsVersion() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  OsVersion v;
  const json& d = CurrentMachine().doc;
  if (d.contains("os")) {
    auto& os = d.at("os");
    v.major = os.at("major").get<uint32_t>();
    v.minor = os.at("minor").get<uint32_t>();
    v.build = os.at("build").get<uint32_t>();
    v.platformId = os.at("platformId").get<uint32_t>();
    v.csdVersion = os.at("csdVersion").get<std::string>();
  }
  return v;
}

void SetOsVersion(const OsVersion& v) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().doc["os"] = {{"major", v.major}, {"minor", v.minor}, {"build", v.build},
                                {"platformId", v.platformId}, {"csdVersion", v.csdVersion}};
}

}  // namespace winsim
