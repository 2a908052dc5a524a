#include "core/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <initializer_list>
#include <fstream>
#include <iostream>
#include <sstream>

#include "winsim/control.h"

namespace winsim {

namespace pnp {
void CheckDevices(const json& doc);        // devices.cpp
std::string DescribeDevices(const json& doc);  // devices.cpp
}
namespace user {
void StopRequestWatcher(Machine& m);  // notify.cpp
}

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw MachineError(p.string(), 0, "cannot be read");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes through a temporary file so that a reader never sees half a file.
void WriteFileAtomic(const fs::path& p, const std::string& content) {
  fs::path tmp = p;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(tmp.string() + ": cannot be written");
    out << content;
    if (!out.flush()) throw std::runtime_error(tmp.string() + ": cannot be written");
  }
  fs::rename(tmp, p);
}


int64_t RealNowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

// "2026-12-06T16:17:09.042Z" <-> unix milliseconds
bool ParseIsoMillis(const std::string& s, int64_t& out) {
  int y, mo, d, h, mi, sec, ms = 0;
  char z = 0;
  int n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &sec, &ms, &z);
  if (n != 8 || z != 'Z') {
    ms = 0;
    n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &z);
    if (n != 7 || z != 'Z') return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || y < 1970 || ms < 0) return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  out = static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
  return true;
}

std::string FormatIsoMillis(int64_t ms) {
  time_t t = static_cast<time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

namespace {

uint32_t ParseNumber(const std::string& s) {
  size_t used = 0;
  unsigned long v = std::stoul(s, &used, 0);
  if (used != s.size()) throw std::invalid_argument(s);
  return static_cast<uint32_t>(v);
}

// "RegOpenKeyExA#1=5,GetVersionExW#2=0x57" (items separated by ',' or ';')
std::vector<Fault> ParseFaultList(std::string spec, const std::string& source) {
  std::replace(spec.begin(), spec.end(), ';', ',');
  std::vector<Fault> out;
  std::string item;
  std::istringstream in(spec);
  while (std::getline(in, item, ',')) {
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (item.empty()) continue;
    size_t hash = item.find('#'), eq = item.find('=');
    std::string bad = source + ": bad fault '" + item + "', expected FUNCTION#N=ERROR with N >= 1 and ERROR > 0";
    if (hash == 0 || hash == std::string::npos || eq == std::string::npos || eq < hash) throw std::runtime_error(bad);
    Fault f;
    try {
      f = {item.substr(0, hash), ParseNumber(item.substr(hash + 1, eq - hash - 1)), ParseNumber(item.substr(eq + 1))};
    } catch (const std::logic_error&) {  // not a number, or out of range
      throw std::runtime_error(bad);
    }
    // A fault with call 0 never fires and one with error 0 means success: both are typing mistakes.
    if (f.call == 0 || f.error == 0) throw std::runtime_error(bad);
    out.push_back(f);
  }
  return out;
}

// The machine lives from its first use to the end of the process. At exit it is written back
// once; it stays in memory after that, so a late call from another exit handler finds a machine
// (whose changes are no longer saved) rather than a destroyed one.
Machine*& Slot() {
  static Machine* machine = nullptr;
  return machine;
}

void SaveAtExit() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine* m = Slot();
  if (!m) return;
  try {
    m->Save();
    m->WriteReport();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "winsim: %s\n", e.what());
  }
  // The process is ending: no request will be taken now, and its watcher should not be a thread
  // still running at exit.
  user::StopRequestWatcher(*m);
  m->Unlock();
}

// Registered while the library loads, before any static object of the program exists: exit
// handlers run in reverse order, so this one runs after all of the program's static destructors
// and atexit handlers, and a handle they close is not reported as leaked.
__attribute__((constructor)) void RegisterSaveAtExit() { std::atexit(SaveAtExit); }

void Install(std::unique_ptr<Machine> m) { Slot() = m.release(); }

std::string ProgramName() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("program") : exe.filename().string();
}

}  // namespace

std::recursive_mutex& ApiLock() {
  // Never destroyed: calls made from exit handlers still need it.
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

int LineOfOffset(const std::string& text, size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
}

int LineOfKey(const std::string& text, const std::string& key) {
  size_t pos = text.find("\"" + key + "\"");
  return pos == std::string::npos ? 0 : LineOfOffset(text, pos);
}

// ---------------------------------------------------------------- load and save

void Machine::Load(const fs::path& d) {
  dir = fs::absolute(d);
  fs::path jsonPath = dir / "machine.json", regPath = dir / "system.reg";
  if (!fs::is_directory(dir)) throw MachineError(dir.string(), 0, "no machine directory here");
  if (!fs::exists(jsonPath)) throw MachineError(jsonPath.string(), 0, "missing: not a machine directory");

  lockFd_ = ::open((dir / ".winsim.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_EX);

  std::string text = ReadFile(jsonPath);
  try {
    doc = json::parse(text);
    ++loads;
  } catch (const json::parse_error& e) {
    throw MachineError(jsonPath.string(), LineOfOffset(text, e.byte ? e.byte - 1 : 0), e.what());
  }
  if (!doc.is_object()) throw MachineError(jsonPath.string(), 1, "expected a JSON object");

  if (fs::exists(regPath)) registry.Import(ReadFile(regPath), regPath.string());

  // The line of the first of KEYS written in the text; a name written with escapes is not found,
  // and the error then names the document's first line.
  auto keyLine = [&](std::initializer_list<const char*> keys) {
    for (const char* key : keys)
      if (int line = LineOfKey(text, key)) return line;
    return 1;
  };
  // Each section is checked on its own, so that an error names the line of the section at fault.
  auto section = [&](const char* key, const std::function<void(const json&)>& read) {
    if (!doc.contains(key)) return;
    try {
      read(doc.at(key));
    } catch (const json::exception& e) {
      throw MachineError(jsonPath.string(), keyLine({key}), std::string(key) + ": " + e.what());
    }
  };
  section("faults", [&](const json& list) {
    for (auto& f : list) {
      Fault fault{f.at("function").get<std::string>(), f.at("call").get<unsigned>(), f.at("error").get<uint32_t>()};
      if (fault.call == 0 || fault.error == 0)
        throw MachineError(jsonPath.string(), keyLine({"faults"}), "faults: call must be >= 1 and error > 0");
      faults.push_back(fault);
    }
  });
  section("os", [&](const json& os) {
    (void)os.at("major").get<uint32_t>();
    (void)os.at("minor").get<uint32_t>();
    (void)os.at("build").get<uint32_t>();
    (void)os.at("platformId").get<uint32_t>();
    (void)os.at("csdVersion").get<std::string>();
  });

  section("timeline", [&](const json& list) {
    for (const json& e : list) {
      std::string event = e.at("event").get<std::string>();
      if (event != "arrive" && event != "remove")
        throw MachineError(jsonPath.string(), keyLine({"timeline"}),
                           "timeline: event must be \"arrive\" or \"remove\"");
      if (e.at("afterListeningMs").get<int64_t>() < 0 || e.at("instanceId").get<std::string>().empty())
        throw MachineError(jsonPath.string(), keyLine({"timeline"}),
                           "timeline: afterListeningMs must be >= 0 and instanceId given");
    }
  });
  // Plug and Play: devices, installs in progress and what a driver install reports.
  try {
    pnp::CheckDevices(doc);
  } catch (const std::exception& e) {
    throw MachineError(jsonPath.string(), keyLine({"devices"}), std::string("devices: ") + e.what());
  }

  virtualClock = false;
  bootMillis = RealNowMillis() - 3600 * 1000;
  section("clock", [&](const json& c) {
    if (!c.value("virtual", false)) return;
    virtualClock = true;
    if (!ParseIsoMillis(c.value("now", std::string()), virtualNow))
      throw MachineError(jsonPath.string(), keyLine({"now", "clock"}),
                         "clock.now: expected a time like \"2026-12-06T16:17:09.042Z\"");
    std::string boot = c.value("boot", std::string());
    if (boot.empty() || !ParseIsoMillis(boot, bootMillis)) bootMillis = virtualNow - 3600 * 1000;
  });

  if (const char* env = std::getenv("WINSIM_FAULTS")) {
    auto more = ParseFaultList(env, "WINSIM_FAULTS");
    faults.insert(faults.end(), more.begin(), more.end());
  }
}

void Machine::Save() {
  for (auto& hook : beforeSave) hook(*this);
  if (virtualClock)
    doc["clock"] = {{"virtual", true}, {"now", FormatIsoMillis(virtualNow)}, {"boot", FormatIsoMillis(bootMillis)}};
  WriteFileAtomic(dir / "machine.json", doc.dump(2) + "\n");
  WriteFileAtomic(dir / "system.reg", registry.Export());
}

void Machine::WriteReport() const {
  json report;
  report["program"] = ProgramName();
  json open = json::object();
  for (auto& [h, info] : handles) open[info.kind] = open.value(info.kind, 0) + 1;
  report["handlesOpenAtExit"] = open;
  report["calls"] = std::vector<std::string>(calls.begin(), calls.end());
  for (auto& [key, value] : runReport.items()) report[key] = value;
  WriteFileAtomic(dir / "last-run.json", report.dump(2) + "\n");
  if (!handles.empty()) {
    std::string list;
    for (auto& [kind, n] : open.items()) list += " " + kind + "=" + std::to_string(n.get<int>());
    std::fprintf(stderr, "winsim: %zu handle(s) left open at exit:%s\n", handles.size(), list.c_str());
  }
}

void Machine::Unlock() {
  if (lockFd_ >= 0) {
    ::flock(lockFd_, LOCK_UN);
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

Machine::~Machine() { Unlock(); }

uintptr_t Machine::AddHandle(const std::string& kind, std::shared_ptr<void> object) {
  uintptr_t h = nextHandle;
  nextHandle += 4;
  handles[h] = {kind, std::move(object)};
  return h;
}

HandleInfo* Machine::FindHandle(uintptr_t h, const std::string& kind) {
  auto it = handles.find(h);
  if (it == handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

bool Machine::CloseHandle(uintptr_t h, const std::string& kind) {
  auto it = handles.find(h);
  if (it == handles.end() || it->second.kind != kind) return false;
  handles.erase(it);
  return true;
}

bool MachineLoaded() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return Slot() != nullptr;
}

Machine& CurrentMachine() {
  if (Machine* m = Slot()) return *m;
  std::string dir;
  try {
    if (const char* env = std::getenv("WINSIM_MACHINE"); env && *env) {
      dir = env;
    } else {
      dir = "winsim-machine";
      if (!fs::exists(dir)) CreateMachine(dir, DefaultImage());
    }
    auto m = std::make_unique<Machine>();
    m->Load(dir);
    Install(std::move(m));
  } catch (const std::exception& e) {
    // Nothing is written back: the files stay as the user left them.
    std::fprintf(stderr, "winsim: cannot load the simulated machine: %s\n", e.what());
    std::fflush(stderr);
    std::_Exit(kExitBadMachine);
  }
  return *Slot();
}

ApiCall::ApiCall(const char* function) : lock_(ApiLock()), machine_(&CurrentMachine()) {
  Machine& m = *machine_;
  Machine::CounterSlot& slot = m.counterCache[(reinterpret_cast<uintptr_t>(function) >> 3) & 255];
  if (slot.name != function) slot = {function, &m.callCounts[function]};
  unsigned n = ++*slot.count;
  if (m.calls.size() < 1000000) m.calls.push_back(function);
  for (auto& f : m.faults)
    if (f.call == n && f.function == function) fault_ = f.error;
}

int64_t NowMillis(Machine& m) { return m.virtualClock ? m.virtualNow : RealNowMillis(); }

// ---------------------------------------------------------------- paths

namespace {
// Picks the entry of dir that matches name without regard to case, or name itself.
fs::path MatchEntry(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  if (fs::exists(dir / name, ec)) return dir / name;
  std::wstring want = Utf8ToWide(name);
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::wstring have = Utf8ToWide(it->path().filename().string());
    if (have.size() == want.size() &&
        std::equal(have.begin(), have.end(), want.begin(), [](wchar_t a, wchar_t b) {
          return std::towupper(static_cast<wint_t>(a)) == std::towupper(static_cast<wint_t>(b));
        }))
      return it->path();
  }
  return dir / name;
}
}  // namespace

fs::path ToHostPath(Machine& m, const std::wstring& windowsPath) {
  std::wstring p = windowsPath;
  fs::path base;
  size_t start = 0;
  if (p.size() >= 2 && p[1] == L':' && std::iswalpha(static_cast<wint_t>(p[0]))) {
    wchar_t drive = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(p[0])));
    base = drive == L'z' ? fs::path("/") : m.dir / ("drive_" + std::string(1, static_cast<char>(drive)));
    start = 2;
  } else if (!p.empty() && (p[0] == L'\\' || p[0] == L'/')) {
    if (p.size() > 1 && (p[1] == L'\\' || p[1] == L'/')) return fs::path();  // UNC: no network here
    base = m.dir / "drive_c";
  } else {
    base = fs::current_path();
  }
  fs::path out = base;
  std::wstring part;
  auto push = [&]() {
    if (part.empty() || part == L".") {
    } else if (part == L"..") {
      if (out != base) out = out.parent_path();
    } else {
      out = MatchEntry(out, WideToUtf8(part));
    }
    part.clear();
  };
  for (size_t i = start; i < p.size(); ++i) {
    if (p[i] == L'\\' || p[i] == L'/') push();
    else part.push_back(p[i]);
  }
  push();
  return out;
}

// ---------------------------------------------------------------- images

std::string DefaultImage() { return "xp-sp2-q52"; }

std::vector<std::string> ImageNames() {
  std::vector<std::string> names;
  for (auto& [name, files] : BuiltinImages()) names.push_back(name);
  return names;
}

void CreateMachine(const std::string& dir, const std::string& image) {
  auto& images = BuiltinImages();
  auto it = images.find(image);
  if (it == images.end()) throw std::runtime_error("no built-in image named '" + image + "'");
  fs::path d(dir);
  if (fs::exists(d) && !fs::is_empty(d)) throw std::runtime_error(dir + ": exists and is not empty");
  for (auto& [rel, content] : it->second) {
    fs::path p = d / rel;
    fs::create_directories(p.parent_path());
    if (p.filename() == ".keep") continue;  // keeps an empty directory in the image
    std::ofstream out(p, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error(p.string() + ": cannot be written");
  }
}

// ---------------------------------------------------------------- control

void UseMachine(const std::string& dir) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  ReleaseMachine();
  auto m = std::make_unique<Machine>();
  m->Load(dir);
  Install(std::move(m));
}

void ReleaseMachine() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  std::unique_ptr<Machine> m(Slot());
  if (!m) return;
  Slot() = nullptr;
  m->Save();
  m->WriteReport();
}

std::string MachineDir() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return CurrentMachine().dir.string();
}

void ImportRegFile(const std::string& dir, const std::string& regFile) {
  Machine m;
  m.Load(dir);
  m.registry.Import(ReadFile(regFile), regFile);
  WriteFileAtomic(m.dir / "system.reg", m.registry.Export());
}

void ImportRegText(const std::string& text, const std::string& sourceName) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().registry.Import(text, sourceName);
}

void InjectFault(const std::string& function, unsigned nth, uint32_t error) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().faults.push_back({function, nth, error});
}

void ClearFaults() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  CurrentMachine().faults.clear();
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

void SetVirtualClock(int64_t unixMillis) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  m.virtualClock = true;
  m.virtualNow = unixMillis;
  m.bootMillis = unixMillis - 3600 * 1000;
}

void AdvanceClock(int64_t millis) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  if (m.virtualClock) m.virtualNow += millis;
}

bool IsVirtualClock() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return CurrentMachine().virtualClock;
}

int64_t NowUnixMillis() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return NowMillis(CurrentMachine());
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

std::string HostPath(const std::wstring& windowsPath) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return ToHostPath(CurrentMachine(), windowsPath).string();
}

namespace {

// Services and the spooler's objects, one line each, in the machine's own order.
void DescribeServicesAndSpooler(const json& doc, std::ostream& out) {
  auto text = [](const json& obj, const char* key) {
    auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto list = [](const json& obj, const char* key) {
    auto it = obj.find(key);
    return it != obj.end() && it->is_array() ? *it : json::array();
  };
  out << "\nServices:\n";
  for (const json& sv : list(doc, "services")) {
    out << "  " << text(sv, "name") << "  " << (sv.contains("state") ? text(sv, "state") : "stopped") << "  ("
        << text(sv, "displayName") << "; start " << sv.value("startMs", 0) << " ms, stop " << sv.value("stopMs", 0)
        << " ms";
    if (!sv.value("acceptsStop", true)) out << "; refuses stop";
    if (sv.value("startError", 0u)) out << "; start fails with " << sv.value("startError", 0u);
    json deps = list(sv, "dependencies");
    if (!deps.empty()) {
      out << "; depends on";
      for (const json& d : deps) out << " " << (d.is_string() ? d.get<std::string>() : d.dump());
    }
    out << ")\n";
  }
  if (!doc.contains("spooler") || !doc["spooler"].is_object()) return;
  const json& sp = doc["spooler"];
  out << "\nSpooler (" << text(sp, "environment") << ", driver directory " << text(sp, "driverDirectory") << "):\n";
  out << "  Printers:\n";
  for (const json& p : list(sp, "printers")) {
    out << "    " << text(p, "name") << "  driver \"" << text(p, "driver") << "\", port " << text(p, "port") << ", "
        << p.value("jobs", 0) << " job(s)";
    if (p.value("pendingDeletion", false)) out << ", pending deletion";
    out << "\n";
  }
  out << "  Drivers:\n";
  for (const json& d : list(sp, "drivers")) {
    out << "    " << text(d, "name") << "  (" << (d.contains("environment") ? text(d, "environment") : "Windows NT x86")
        << ", version " << d.value("version", 3) << ")";
    if (!text(d, "monitor").empty()) out << ", monitor \"" << text(d, "monitor") << "\"";
    out << "\n";
  }
  out << "  Monitors:\n";
  for (const json& m : list(sp, "monitors")) out << "    " << text(m, "name") << "  (" << text(m, "dll") << ")\n";
  out << "  Ports:\n";
  for (const json& p : list(sp, "ports")) out << "    " << text(p, "name") << "  monitor \"" << text(p, "monitor") << "\"\n";
}

}  // namespace

std::string DescribeMachine(const std::string& dir) {
  fs::path d = fs::absolute(dir);
  std::string jsonText = ReadFile(d / "machine.json");
  json doc;
  try {
    doc = json::parse(jsonText);
  } catch (const json::parse_error& e) {
    throw MachineError((d / "machine.json").string(), LineOfOffset(jsonText, e.byte ? e.byte - 1 : 0), e.what());
  }
  Registry reg;
  if (fs::exists(d / "system.reg")) reg.Import(ReadFile(d / "system.reg"), (d / "system.reg").string());

  std::ostringstream out;
  out << "Machine " << d.string() << "\n";
  if (doc.contains("os")) {
    auto& os = doc["os"];
    out << "  Windows " << os.value("major", 0) << "." << os.value("minor", 0) << " build "
        << os.value("build", 0) << ", platform " << os.value("platformId", 0) << ", \""
        << os.value("csdVersion", std::string()) << "\"\n";
  }
  if (doc.contains("clock") && doc["clock"].value("virtual", false))
    out << "  Clock: virtual, now " << doc["clock"].value("now", std::string()) << "\n";
  else
    out << "  Clock: real\n";

  DescribeServicesAndSpooler(doc, out);
  out << pnp::DescribeDevices(doc);

  out << "\nRegistry (system.reg):\n";
  std::istringstream regText(reg.Export());
  std::string line;
  std::getline(regText, line);  // header
  while (std::getline(regText, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "  " << line << "\n";
  }

  out << "\nFiles (drive_c):\n";
  fs::path c = d / "drive_c";
  // The read-only, in-use and running marks by host path, so that any spelling of a key finds its file.
  std::map<fs::path, std::string> marks;
  if (doc.contains("files") && doc["files"].is_object()) {
    Machine paths;
    paths.dir = d;
    for (auto& [key, value] : doc["files"].items()) {
      if (!value.is_object()) continue;
      std::string mark;
      if (value.value("readOnly", false)) mark += ", read-only";
      if (value.value("inUse", false)) mark += ", in use";
      if (value.value("running", false)) mark += ", running";
      if (!mark.empty()) marks[ToHostPath(paths, Utf8ToWide(key))] = mark;
    }
  }
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(c, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), c).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    if (it->is_directory()) files.push_back("C:\\" + rel + "\\");
    else
      files.push_back("C:\\" + rel + "  (" + std::to_string(it->file_size()) + " bytes" +
                      (marks.count(it->path()) ? marks[it->path()] : std::string()) + ")");
  }
  std::sort(files.begin(), files.end());
  for (auto& f : files) out << "  " << f << "\n";
  return out.str();
}

}  // namespace winsim
