// What tests and the winsim command use to set up and look at a simulated machine.
// Product code never includes this header.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace winsim {

// Exit status of a program whose machine.json or system.reg cannot be read.
constexpr int kExitBadMachine = 125;

// Makes DIR the machine of this process: the current one is written back and released first.
// Throws std::runtime_error naming the file and line when DIR holds a malformed machine.
void UseMachine(const std::string& dir);
// Writes the current machine back to its directory and releases it; the next call loads again.
void ReleaseMachine();
// Directory of the current machine (loads it if no call has been made yet).
std::string MachineDir();

std::string DefaultImage();
// Creates DIR (which must not exist or be empty) from a built-in image.
void CreateMachine(const std::string& dir, const std::string& image = DefaultImage());
std::vector<std::string> ImageNames();

// Imports a .reg file (regedit's format) into DIR's registry; throws naming file and line.
void ImportRegFile(const std::string& dir, const std::string& regFile);
// Imports into the current machine.
void ImportRegText(const std::string& text, const std::string& sourceName = "<text>");

// Fault injection: the n-th call (1-based) of FUNCTION fails with ERROR.
void InjectFault(const std::string& function, unsigned nth, uint32_t error);
void ClearFaults();

// Accounting of this process since the machine was loaded.
unsigned CallCount(const std::string& function);
std::vector<std::string> CallTrace();
std::map<std::string, int> OpenHandles();  // kind -> count, only kinds with open handles

// The machine's clock. A virtual clock only moves when set, advanced or slept on.
void SetVirtualClock(int64_t unixMillis);
void AdvanceClock(int64_t millis);
bool IsVirtualClock();
int64_t NowUnixMillis();

// Operating-system version reported by GetVersionExW.
struct OsVersion {
  uint32_t major = 5, minor = 1, build = 2600, platformId = 2;
  std::string csdVersion = "Service Pack 2";
};
OsVersion GetOsVersion();
void SetOsVersion(const OsVersion& v);

// Host path of a Windows path on the current machine ("C:\X" -> DIR/drive_c/X); a relative
// path stays relative to the current directory.
std::string HostPath(const std::wstring& windowsPath);

// A readable listing of a machine directory, as `winsim show` prints it.
std::string DescribeMachine(const std::string& dir);

}  // namespace winsim
