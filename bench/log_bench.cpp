// Run with standard error thrown away, as the installer's is:
//   build/linux-release/bin/log_bench 2>/dev/null
// The shared library is measured (what the installer loads): its key is the program's name.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include "log.h"
#include "winsim/control.h"

namespace {

namespace fs = std::filesystem;

const char kDevice[] = "USB\\VID_1234&PID_5678\\0001";
const wchar_t kDeviceW[] = L"USB\\VID_1234&PID_5678\\0001";

struct Setup {
  fs::path dir;
  std::shared_ptr<spdlog::logger> spd;
  int floorFd = -1;
  int simFd = -1;
  std::string floorLine;
};

Setup& S() {
  static Setup s;
  return s;
}

void Prepare() {
  Setup& s = S();
  std::string machine = (s.dir / "machine").string();
  winsim::CreateMachine(machine);
  winsim::UseMachine(machine);
  // No size cap in reach: every passing line goes to the file for the whole run.
  std::string file = "Z:" + (s.dir / "ours.log").string();
  for (auto& c : file)
    if (c == '/') c = '\\';
  std::string escaped;
  for (char c : file) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  winsim::ImportRegText("Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\log_bench\\Logger]\r\n"
                        "\"Level\"=dword:00000002\r\n\"MaxLength\"=dword:ffffffff\r\n"
                        "\"FileName\"=\"" + escaped + "\"\r\n");

  auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  auto out = std::make_shared<spdlog::sinks::basic_file_sink_mt>((s.dir / "spdlog.log").string());
  s.spd = std::make_shared<spdlog::logger>("bench", spdlog::sinks_init_list{err, out});
  s.spd->set_formatter(std::make_unique<spdlog::pattern_formatter>("%d/%m/%Y %H:%M:%S.%e\t%-5!l\t%v",
                                                                   spdlog::pattern_time_type::local, "\r\n"));
  s.spd->set_level(spdlog::level::info);
  s.spd->flush_on(spdlog::level::trace);

  s.floorFd = ::open((s.dir / "floor.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  s.floorLine = "06/12/2026 16:17:09.042\tInfo \tFinding device ID '" + std::string(kDevice) + "' rc=5\r\n";
  s.simFd = _sopen(("Z:" + (s.dir / "sim.log").string()).c_str(), _O_WRONLY | _O_APPEND | _O_BINARY | _O_CREAT,
                   _SH_DENYNO, _S_IREAD | _S_IWRITE);
  Log(LOG_INFO, "bench start");  // the logger exists before the first measurement
}

void BM_FilteredOut_Log(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) Log(LOG_DEBUG, "CSpoolerClass::WaitForService - ssp.dwCurrentState:0x%08x", ++i);
}
BENCHMARK(BM_FilteredOut_Log);

void BM_FilteredOut_spdlog(benchmark::State& state) {
  spdlog::logger& l = *S().spd;
  int i = 0;
  for (auto _ : state) l.debug("CSpoolerClass::WaitForService - ssp.dwCurrentState:0x{:08x}", ++i);
}
BENCHMARK(BM_FilteredOut_spdlog);

void BM_Line_Log(benchmark::State& state) {
  for (auto _ : state) Log(LOG_INFO, "Finding device ID '%s' rc=%d", kDevice, 5);
}
BENCHMARK(BM_Line_Log);

void BM_Line_WLog(benchmark::State& state) {
  for (auto _ : state) WLog(LOG_INFO, L"Finding device ID '%s' rc=%d", kDeviceW, 5);
}
BENCHMARK(BM_Line_WLog);

void BM_Line_LogQuick(benchmark::State& state) {
  const std::string text = "Finding device ID '" + std::string(kDevice) + "' rc=5";
  for (auto _ : state) LogQuick(LOG_INFO, text.c_str());
}
BENCHMARK(BM_Line_LogQuick);

void BM_Line_spdlog(benchmark::State& state) {
  spdlog::logger& l = *S().spd;
  for (auto _ : state) l.info("Finding device ID '{}' rc={}", kDevice, 5);
}
BENCHMARK(BM_Line_spdlog);

// What a line costs at the least: the write to standard error, the file size query and the
// append, straight to the host, with a line of the same length.
void BM_SyscallFloor(benchmark::State& state) {
  const Setup& s = S();
  struct stat st;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::write(2, s.floorLine.data(), s.floorLine.size()));
    benchmark::DoNotOptimize(::fstat(s.floorFd, &st));
    benchmark::DoNotOptimize(::write(s.floorFd, s.floorLine.data(), s.floorLine.size()));
  }
}
BENCHMARK(BM_SyscallFloor);

// Not targets, for the breakdown: the same calls as the logger makes them on this host, through
// the simulated platform (clock reading included), and the simulated runtime's formatting.
void BM_WinsimFloor(benchmark::State& state) {
  const Setup& s = S();
  FILETIME ft;
  for (auto _ : state) {
    GetSystemTimeAsFileTime(&ft);
    benchmark::DoNotOptimize(_write(2, s.floorLine.data(), static_cast<unsigned>(s.floorLine.size())));
    benchmark::DoNotOptimize(_filelength(s.simFd));
    benchmark::DoNotOptimize(_write(s.simFd, s.floorLine.data(), static_cast<unsigned>(s.floorLine.size())));
  }
}
BENCHMARK(BM_WinsimFloor);

void BM_WinsimFormat(benchmark::State& state) {
  char text[1024];
  for (auto _ : state) {
    benchmark::DoNotOptimize(_snprintf(text, sizeof(text) - 1, "Finding device ID '%s' rc=%d", kDevice, 5));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WinsimFormat);

// Keeps the mean time of each benchmark so that the ratios can be printed after the table.
class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : benchmark::ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration || r.aggregate_name == "mean")
        times[r.run_name.function_name] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

void Ratio(const Reporter& r, const char* what, const char* a, const char* b, double target) {
  auto ia = r.times.find(a), ib = r.times.find(b);
  if (ia == r.times.end() || ib == r.times.end()) return;
  double ratio = ia->second / ib->second;
  std::printf("%-34s %6.3f  (target <= %.2f: %s)\n", what, ratio, target, ratio <= target ? "met" : "MISSED");
}

}  // namespace

// The benchmarks run in a child process: the logger closes its file and winsim saves the machine
// when that process exits, and only then may the directory go.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  char tmpl[] = "/tmp/q52bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  S().dir = tmpl;
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) return 1;
  if (child > 0) {
    int status = 0;
    waitpid(child, &status, 0);
    std::error_code ec;
    fs::remove_all(tmpl, ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  Prepare();
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  Ratio(reporter, "filtered-out Log / spdlog", "BM_FilteredOut_Log", "BM_FilteredOut_spdlog", 0.5);
  Ratio(reporter, "Log line / syscall floor", "BM_Line_Log", "BM_SyscallFloor", 1.15);
  Ratio(reporter, "WLog line / syscall floor", "BM_Line_WLog", "BM_SyscallFloor", 1.15);
  Ratio(reporter, "LogQuick line / syscall floor", "BM_Line_LogQuick", "BM_SyscallFloor", 1.15);
  Ratio(reporter, "spdlog line / syscall floor", "BM_Line_spdlog", "BM_SyscallFloor", 1.15);
  std::printf("\nNot targets: the same calls through the simulated platform\n");
  Ratio(reporter, "LogQuick line / winsim floor", "BM_Line_LogQuick", "BM_WinsimFloor", 1.15);
  Ratio(reporter, "winsim floor / syscall floor", "BM_WinsimFloor", "BM_SyscallFloor", 1.15);
  std::fflush(stdout);
  ::close(S().floorFd);
  _close(S().simFd);
  S().spd.reset();
  return 0;
}
