// The simulated machine of this process: loaded at the first API call, written back at exit.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/registry.h"
#include "winsim/model_files.h"
#include "winsim/model_infs.h"
#include "winsim/model_services.h"
#include "winsim/model_spooler.h"
#include "winsim/model_timeline.h"

namespace winsim {

namespace fs = std::filesystem;
using json = nlohmann::json;

// A malformed machine file: names the file and the line.
struct MachineError : std::runtime_error {
  MachineError(const std::string& file, int line, const std::string& what)
      : std::runtime_error(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what) {}
};

struct Fault {
  std::string function;
  unsigned call = 0;
  uint32_t error = 0;
};

struct HandleInfo {
  std::string kind;
  std::shared_ptr<void> object;  // what the handle refers to, owned by the handle
};

class Machine {
 public:
  fs::path dir;
  json doc;  // machine.json; sections without a model below are read by the parts of winsim that need them
  // The sections read into their models when first used, and written back into `doc` on saving.
  std::optional<model::Spooler> spooler;
  std::optional<std::vector<model::Service>> services;
  std::optional<std::vector<model::Inf>> infs;
  std::optional<model::Files> files;
  std::optional<std::vector<model::Device>> devices;  // core/pnp.cpp Devices()
  std::optional<std::vector<model::TimelineEvent>> timeline;
  Registry registry;

  std::vector<Fault> faults;
  // Calls per function name. Each call site finds its counter through its name literal, so the
  // common lookup hashes a pointer rather than comparing strings.
  std::map<std::string, unsigned, std::less<>> callCounts;
  struct CounterSlot {
    const char* name = nullptr;
    unsigned* count = nullptr;
  };
  CounterSlot counterCache[256];  // direct-mapped by the literal's address; a miss looks up by name
  std::vector<const char*> calls;  // the names are the simulated functions' own literals
  std::map<uintptr_t, HandleInfo> handles;
  uintptr_t nextHandle = 0x100;

  // Runtime file descriptors opened through _sopen: the handle that accounts for each, whether it
  // is in text mode (writes turn "\n" into "\r\n"), and what it asked for and lets others do
  // with the file, for the sharing check of the next open of the same file in this process.
  struct OpenFd {
    uintptr_t handle = 0;
    bool text = false;
    uint64_t device = 0, inode = 0;
    bool reads = false, writes = false;
    bool sharesRead = true, sharesWrite = true;
  };
  std::map<int, OpenFd> fds;

  bool virtualClock = false;
  int64_t virtualNow = 0;   // unix milliseconds while the clock is virtual
  int64_t bootMillis = 0;   // unix milliseconds at which GetTickCount was 0

  // What the parts of winsim add to last-run.json (message boxes shown, objects changed, ...).
  json runReport = json::object();

  // user32's classes, windows, message queues and device notifications (user32/window.cpp): they belong
  // to the program that runs on this machine, so a fresh machine starts without any.
  std::shared_ptr<void> user;

  // Lookups of the Plug and Play devices by instance ID and by parent (core/pnp.cpp), built from
  // `devices` when first needed and again whenever that list has grown.
  std::shared_ptr<void> deviceIndex;
  std::shared_ptr<void> stagedIndex;  // the same for the staged INFs' records (setupapi/infreader.cpp)

  // Hooks of the parts of winsim that keep typed state: called before the machine is saved.
  std::vector<std::function<void(Machine&)>> beforeSave;

  void Load(const fs::path& d);
  void Save();
  void WriteReport() const;
  void Unlock();

  uintptr_t AddHandle(const std::string& kind, std::shared_ptr<void> object = nullptr);
  HandleInfo* FindHandle(uintptr_t h, const std::string& kind);
  bool CloseHandle(uintptr_t h, const std::string& kind);

  ~Machine();

 private:
  int lockFd_ = -1;
};

// Whether a machine is loaded, without loading one.
bool MachineLoaded();

// The process's machine; loads it on first use. A machine that cannot be read stops the program
// with a message naming the file and line (exit status kExitBadMachine).
Machine& CurrentMachine();

// One lock serialises every simulated call; it is re-entrant so that calls can use each other.
std::recursive_mutex& ApiLock();

// A fault's code as the return value of a function that reports its error that way (LSTATUS,
// CONFIGRET, SHFileOperationW's int).
struct FaultCode {
  uint32_t code;
  template <typename T>
  operator T() const { return static_cast<T>(code); }
};
// The runtime's failure: the fault in errno, -1 returned.
struct ErrnoFailure {};
inline constexpr ErrnoFailure kErrno{};

// Entry of every simulated API function: takes the lock, loads the machine, counts and traces the
// call, and returns the error code of an injected fault (0 when the call is to proceed).
class ApiCall {
 public:
  explicit ApiCall(const char* function);
  uint32_t fault() const { return fault_; }
  Machine& machine() { return *machine_; }

  // What the function returns on its fault: FAILED with the fault as the last error, the code
  // itself, or -1 with the fault in errno.
  template <typename T>
  T Failed(T failed) const {
    SetLastError(fault_);
    return failed;
  }
  FaultCode Failed() const { return {fault_}; }
  int Failed(ErrnoFailure) const {
    errno = static_cast<int>(fault_);
    return -1;
  }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  Machine* machine_;
  uint32_t fault_ = 0;
};

// Whole files of a machine directory; a write goes through a temporary file so that a reader
// never sees half a file.
std::string ReadHostFile(const fs::path& p);
void WriteFileAtomic(const fs::path& p, const std::string& content);

// Faults as WINSIM_FAULTS lists them ("RegOpenKeyExA#1=5,GetVersionExW#2=0x57"); SOURCE names the
// list in an error.
std::vector<Fault> ParseFaultList(std::string spec, const std::string& source);

// Sets the last error and returns FALSE, as a BOOL call fails.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Line (from 1) of a byte offset of TEXT, for errors about a file a person edits.
int LineOfOffset(const std::string& text, size_t offset);
// TEXT as JSON; a MachineError naming FILE and the line at fault when it is not.
json ParseJsonText(const std::string& text, const std::string& file);
// Line of the first occurrence of "KEY" (quoted) in a JSON text; 0 when it is not there.
int LineOfKey(const std::string& text, const std::string& key);

// Clock of the current machine, and the host's.
int64_t NowMillis(Machine& m);
int64_t RealNowMillis();
// "2026-12-06T16:17:09.042Z" (milliseconds optional) to unix milliseconds; false when malformed.
bool ParseIsoMillis(const std::string& s, int64_t& out);
// Unix milliseconds to "2026-12-06T16:17:09.042Z".
std::string FormatIsoMillis(int64_t ms);

// Whether A and B are the same text without regard to case.
bool SameText(std::wstring_view a, std::wstring_view b);

// Paths: "C:\X\Y" -> <dir>/drive_c/X/Y, matched without regard to case where the host entry exists.
fs::path ToHostPath(Machine& m, const std::wstring& windowsPath);

// Built-in images: name -> files (relative path -> content).
using ImageFiles = std::map<std::string, std::string>;
const std::map<std::string, ImageFiles>& BuiltinImages();

}  // namespace winsim

// Opens a simulated function in one line: declares CALL and, on a fault injected into this call,
// returns CALL.Failed(...) at once (see ApiCall::Failed for what each form returns).
#define WINSIM_API(call, name, ...) \
  ::winsim::ApiCall call(name);     \
  if (call.fault()) return call.Failed(__VA_ARGS__)
