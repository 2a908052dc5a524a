// The machine of this process: machine.json and system.reg read at the first call and written
// back at exit, its table of handles, and the entry of every simulated call.
#include "core/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "winsim/control.h"

namespace winsim {

namespace pnp {
void CheckDevices(const json& doc);  // core/pnp.cpp
}
namespace user {
void StopRequestWatcher(Machine& m);  // user32/notify.cpp
}

std::string ReadHostFile(const fs::path& p) {
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

namespace {

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

namespace {
// Takes the place of an error in a JSON text: the parser reports a number too large for a double
// as out of range, an exception that carries no position, through the same call as a syntax error.
struct ErrorPlace : nlohmann::json_sax<json> {
  size_t byte = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
    byte = position;
    return false;
  }
};
}  // namespace

json ParseJsonText(const std::string& text, const std::string& file) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& e) {
    throw MachineError(file, LineOfOffset(text, e.byte ? e.byte - 1 : 0), e.what());
  } catch (const json::exception& e) {
    ErrorPlace place;
    json::sax_parse(text, &place);
    throw MachineError(file, LineOfOffset(text, place.byte ? place.byte - 1 : 0), e.what());
  }
}

// ---------------------------------------------------------------- load and save

void Machine::Load(const fs::path& d) {
  dir = fs::absolute(d);
  fs::path jsonPath = dir / "machine.json", regPath = dir / "system.reg";
  if (!fs::is_directory(dir)) throw MachineError(dir.string(), 0, "no machine directory here");
  if (!fs::exists(jsonPath)) throw MachineError(jsonPath.string(), 0, "missing: not a machine directory");

  lockFd_ = ::open((dir / ".winsim.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_EX);

  std::string text = ReadHostFile(jsonPath);
  doc = ParseJsonText(text, jsonPath.string());
  // What was read from an earlier file goes with it.
  spooler.reset(), services.reset(), infs.reset(), files.reset(), devices.reset(), timeline.reset();
  deviceIndex.reset();
  if (!doc.is_object()) throw MachineError(jsonPath.string(), 1, "expected a JSON object");

  if (fs::exists(regPath)) registry.Import(ReadHostFile(regPath), regPath.string());

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
    } catch (const MachineError&) {
      throw;
    } catch (const std::exception& e) {
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

  section(model::kTimelineSection, [&](const json&) { (void)model::TimelineOf(doc); });
  section("spooler", [&](const json&) { (void)model::SpoolerOf(doc); });
  section("services", [&](const json&) { (void)model::ServicesOf(doc); });
  section("infs", [&](const json&) { (void)model::InfsOf(doc); });
  section("files", [&](const json&) { (void)model::FilesOf(doc); });
  // Plug and Play: devices, installs in progress and what a driver install reports.
  try {
    pnp::CheckDevices(doc);
  } catch (const std::exception& e) {
    throw MachineError(jsonPath.string(), keyLine({model::kDevicesSection}), std::string("devices: ") + e.what());
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
  if (spooler) model::SetSpooler(doc, *spooler);
  if (services) model::SetServices(doc, *services);
  if (infs) model::SetInfs(doc, *infs);
  if (files) model::SetFiles(doc, *files);
  if (devices) model::SetDevices(doc, *devices);
  if (timeline) model::SetTimeline(doc, *timeline);
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

}  // namespace winsim
