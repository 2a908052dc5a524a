#include "faultsweep.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "testsupport.h"

namespace testsupport {

namespace fs = std::filesystem;

std::vector<SweepRun> SweepRuns(const std::vector<std::string>& calls, const std::string& dir,
                                const std::function<uint32_t(const std::string&)>& error,
                                const std::function<bool(const std::string&)>& skip) {
  std::vector<SweepRun> runs;
  std::map<std::string, unsigned> seen;
  for (size_t k = 1; k <= calls.size(); ++k) {
    const std::string& f = calls[k - 1];
    unsigned nth = ++seen[f];
    if (skip && skip(f)) continue;
    runs.push_back({k, f, f + "#" + std::to_string(nth) + "=" + std::to_string(error(f)),
                    dir + "/k" + std::to_string(k)});
  }
  return runs;
}

void CopyMachine(const std::string& base, const SweepRun& run) {
  fs::create_directories(run.dir + "/cwd");
  fs::copy(base, run.dir + "/machine", fs::copy_options::recursive);
}

pid_t StartRun(const std::string& program, const std::vector<std::string>& args, const SweepRun& run) {
  return Start(program, args, run.dir + "/cwd", {{"WINSIM_MACHINE", run.dir + "/machine"}, {"WINSIM_FAULTS", run.fault}},
               run.dir + "/out", run.dir + "/err");
}

void Sweep(const std::string& program, const std::vector<std::string>& args, const std::string& base,
           const std::vector<SweepRun>& runs, int hangSeconds,
           const std::function<void(size_t index, int status, bool hung)>& done) {
  const size_t kParallel = 2;
  std::map<pid_t, std::pair<size_t, std::chrono::steady_clock::time_point>> running;
  size_t next = 0;
  while (next < runs.size() || !running.empty()) {
    while (next < runs.size() && running.size() < kParallel) {
      CopyMachine(base, runs[next]);
      pid_t child = StartRun(program, args, runs[next]);
      ASSERT_GT(child, 0);
      running[child] = {next++, std::chrono::steady_clock::now()};
    }
    int status = 0;
    pid_t child = waitpid(-1, &status, WNOHANG);
    ASSERT_GE(child, 0);
    bool hung = false;
    if (child == 0) {
      for (auto& [runningPid, started] : running)
        if (hangSeconds && std::chrono::steady_clock::now() - started.second > std::chrono::seconds(hangSeconds)) {
          kill(runningPid, SIGKILL);
          hung = true;
          child = waitpid(runningPid, &status, 0);
          break;
        }
      if (!hung) {
        usleep(5000);
        continue;
      }
    }
    const size_t index = running[child].first;
    running.erase(child);
    done(index, status, hung);
    std::error_code ec;
    fs::remove_all(runs[index].dir, ec);
  }
}

std::string FromTextMode(std::string text) {
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; ++at) text.erase(at, 1);
  return text;
}

}  // namespace testsupport
