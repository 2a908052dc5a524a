// What the fault sweeps share: one run of a program per call of its road, that call made to fail,
// each on its own copy of the machine. What a run must show is each sweep's own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct SweepRun {
  size_t k = 0;          // the call made to fail, counted from 1 along the road
  std::string function;  // its function
  std::string fault;     // WINSIM_FAULTS of the run: "function#n=error"; empty for the road itself
  std::string dir;       // the run's machine/ and cwd/, and its standard output and error: out, err
};

// A run in DIR/k<k> for each call of CALLS that SKIP (when given) leaves in, the n-th call of a
// function failing with ERROR(function).
std::vector<SweepRun> SweepRuns(const std::vector<std::string>& calls, const std::string& dir,
                                const std::function<uint32_t(const std::string&)>& error,
                                const std::function<bool(const std::string&)>& skip = nullptr);

// RUN.dir/machine as a copy of the machine directory BASE, and an empty RUN.dir/cwd.
void CopyMachine(const std::string& base, const SweepRun& run);
// Starts PROGRAM with ARGS for RUN, on its machine and in its cwd, with its fault.
pid_t StartRun(const std::string& program, const std::vector<std::string>& args, const SweepRun& run);

// Makes every one of RUNS, two at a time (the machine's cores are shared), each on a fresh copy
// of BASE. A run still going after HANGSECONDS (when not 0) is killed. DONE is told of each run
// as it ends: its index in RUNS, its wait status and whether it was killed. Then its directory goes.
void Sweep(const std::string& program, const std::vector<std::string>& args, const std::string& base,
           const std::vector<SweepRun>& runs, int hangSeconds,
           const std::function<void(size_t index, int status, bool hung)>& done);

// TEXT as the program wrote it to a stream that the runtime left in text mode, which turns every
// line feed into CR LF (the fault of _setmode).
std::string FromTextMode(std::string text);

}  // namespace testsupport
