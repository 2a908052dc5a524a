// The installer's costs: the start-up pass (the scan of the staged INFs, the pass over every
// registered device), the time from a device's arrival to the end of its install, and the CPU a
// waiting installer uses. Run from a scratch directory: the logger writes bulksetup_bench.log.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "arrivals.h"
#include "devicematch.h"
#include "inffile.h"
#include "main.h"
#include "monitor.h"
#include "winsim/control.h"
#include "winsim/devices.h"
#include "winsim/model_timeline.h"
#include "winsim/threads.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
namespace model = winsim::model;

const char kPrinter[] = "USB\\VID_F0F0&PID_0052\\Q52000123";

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
void Write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// A scratch machine from the default image, removed with the object.
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/bulkbench-XXXXXX";
    root_ = mkdtemp(tmpl);
    dir_ = (root_ / "machine").string();
    winsim::CreateMachine(dir_);
    machine_ = json::parse(Read(dir_ + "/machine.json"));
    machine_["clock"] = {{"virtual", false}};
    // The image registers the printer as it first arrives: keep its description, drop the arrival.
    timeline_ = model::TimelineOf(machine_);
    model::SetTimeline(machine_, {});
  }
  ~Scratch() {
    winsim::ReleaseMachine();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  json& machine() { return machine_; }
  const std::string& dir() const { return dir_; }
  // Writes machine.json and makes the machine this process's.
  void Use() {
    Write(dir_ + "/machine.json", machine_.dump());
    winsim::UseMachine(dir_);
  }
  // The printer's devnode, taken out of the device list (or the timeline that registers it).
  model::Device TakePrinter() {
    std::vector<model::Device> devices = model::DevicesOf(machine_);
    model::RegisterDescribed(devices, timeline_, false, kPrinter);
    auto it = std::stable_partition(devices.begin(), devices.end(),
                                    [](const model::Device& d) { return d.instanceId != kPrinter; });
    model::Device printer = devices.at(it - devices.begin());  // throws when the image has none
    devices.erase(it, devices.end());
    model::SetDevices(machine_, devices);
    return printer;
  }

 private:
  fs::path root_;
  std::string dir_;
  json machine_;
  std::vector<model::TimelineEvent> timeline_;
};

// N staged INFs: the supported one (oem3.inf, from the image) and N - 1 copies of it recorded
// under another original name, so that each is opened and read in full and then turned down.
void BM_FindSupportedInf(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Scratch s;
  s.TakePrinter();
  const fs::path infDir = fs::path(s.dir()) / "drive_c/WINDOWS/inf";
  const std::string supported = Read(infDir / "oem3.inf");
  for (int i = 0, k = 0; i < n - 1; ++k) {
    if (k == 3) continue;
    const std::string name = "oem" + std::to_string(k) + ".inf";
    Write(infDir / name, supported);
    s.machine()["infs"].push_back({{"name", name}, {"originalName", "vexaq52old.inf"}, {"originalCatalog", "x.cat"}});
    ++i;
  }
  s.Use();
  for (auto _ : state) {
    SupportedInf.reset();
    if (FindSupportedInf() != 1) state.SkipWithError("the supported INF was not found");
  }
  SupportedInf.reset();
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["per_inf_us"] = benchmark::Counter(state.iterations() * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// N registered devices: the image's own, storage devices the INF does not declare, and the
// printer carrying the supported driver already, so that the pass reads every device, matches
// one and installs nothing.
void BM_FindInstalledDevices(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Scratch s;
  model::Device printer = s.TakePrinter();
  model::Device stick = model::DeviceOf({{"instanceId", "USB\\VID_0781&PID_5530\\SN"},
                {"parent", "USB\\ROOT_HUB\\4&2F1C0A3B&0"}, {"present", false}, {"class", "USB"},
                {"hardwareIds", {"USB\\VID_0781&PID_5530&REV_0100", "USB\\VID_0781&PID_5530"}},
                {"compatibleIds", {"USB\\Class_08"}},
                {"properties", {{"DeviceDesc", "USB Mass Storage Device"}, {"Service", "USBSTOR"}}},
                {"driver", {{"inf", "usbstor.inf"}, {"section", "USBSTOR_BULK"}, {"provider", "Microsoft"},
                            {"manufacturer", "Compatible USB storage device"}, {"date", "2001-07-01"},
                            {"version", "5.1.2600.0"}, {"rank", 0}}}});
  std::vector<model::Device> devices = model::DevicesOf(s.machine());
  while (static_cast<int>(devices.size()) < n - 1) {
    stick.instanceId = "USB\\VID_0781&PID_5530\\SN" + std::to_string(devices.size());
    devices.push_back(stick);
  }
  if (printer.driver) printer.driver->inf = "oem3.inf";
  devices.push_back(printer);
  model::SetDevices(s.machine(), devices);
  s.Use();
  if (FindSupportedInf() != 1) state.SkipWithError("the supported INF was not found");
  for (auto _ : state)
    if (FindInstalledDevices() != 1) state.SkipWithError("the installed printer was not found");
  SupportedInf.reset();
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["per_device_us"] = benchmark::Counter(state.iterations() * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// From the printer's arrival (the broadcast to the notification window) to the end of its
// install (EndEvent set after newdev.dll returned), nothing pending, on the real clock.
void BM_ArrivalToInstall(benchmark::State& state) {
  for (auto _ : state) {
    Scratch s;
    model::Device printer = s.TakePrinter();
    printer.present = false;
    s.Use();
    EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!StartMonitoring()) state.SkipWithError("the threads did not start");
    // The start-up pass; then both threads wait.
    WaitForSingleObject(EndEvent, 300);
    winsim::AddDevice(model::EntryOf(printer).dump());
    auto start = std::chrono::steady_clock::now();
    winsim::DeviceArrives(kPrinter);
    DWORD waited = WaitForSingleObject(EndEvent, 10000);
    auto end = std::chrono::steady_clock::now();
    if (waited != WAIT_OBJECT_0) state.SkipWithError("the driver was not installed");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    StopMonitoring();
    CloseHandle(EndEvent);
    EndEvent = NULL;
    Exiting = false;
    NotifyWindow = NULL;
    SupportedInf.reset();
  }
}

// What the process's threads have used so far: CPU time in nanoseconds and the times they were
// put on a CPU, summed over /proc/PID/task/*/schedstat.
struct ThreadUse {
  unsigned long long cpuNs = 0, runs = 0;
  unsigned threads = 0;
};
ThreadUse UseOf(pid_t pid) {
  ThreadUse use;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream in(Read(task.path() / "schedstat"));
    unsigned long long cpu = 0, waited = 0, runs = 0;
    if (in >> cpu >> waited >> runs) {
      use.cpuNs += cpu;
      use.runs += runs;
      ++use.threads;
    }
  }
  return use;
}

// The CPU time the bulksetup program's threads use while it waits for a device: it runs on a
// machine with the supported INF and no printer, is left a second for its start-up, and is then
// watched for SECONDS of real time before it is stopped.
void BM_WaitingCpu(benchmark::State& state) {
  const std::string exe = std::string(Q52_BENCH_BIN_DIR) + "/bulksetup";
  for (auto _ : state) {
    Scratch s;
    s.TakePrinter();
    Write(s.dir() + "/machine.json", s.machine().dump());
    pid_t pid = fork();
    if (pid == 0) {
      setenv("WINSIM_MACHINE", s.dir().c_str(), 1);
      if (chdir(s.dir().c_str()) != 0) _exit(127);
      freopen("/dev/null", "w", stderr);
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const ThreadUse before = UseOf(pid);
    std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
    const ThreadUse after = UseOf(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const double cpuMs = static_cast<double>(after.cpuNs - before.cpuNs) / 1e6;
    state.SetIterationTime(cpuMs / 1000.0);
    state.counters["cpu_ms"] = cpuMs;
    state.counters["wakeups"] = static_cast<double>(after.runs - before.runs);
    state.counters["threads"] = after.threads;
  }
}

}  // namespace

BENCHMARK(BM_FindSupportedInf)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindInstalledDevices)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArrivalToInstall)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaitingCpu)->Arg(3)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
