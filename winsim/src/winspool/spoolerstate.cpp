// The simulated print spooler's state and what its calls share.
#include "winspool/spoolerstate.h"

#include <cwctype>

#include "core/registry.h"
#include "advapi32/scm.h"
#include "winsim/print.h"

namespace winsim::spooler {

const wchar_t kSystemDirectory[] = L"C:\\WINDOWS\\system32";

namespace {

constexpr DWORD kServiceRunning = 4;

// Environments and the sub-directory of "spool\drivers" that holds their drivers.
struct KnownEnvironment {
  const wchar_t* name;
  const wchar_t* dir;
};
const KnownEnvironment kEnvironments[] = {
    {L"Windows NT x86", L"w32x86"},
    {L"Windows x64", L"x64"},
    {L"Windows IA64", L"ia64"},
    {L"Windows 4.0", L"win40"},
};

}  // namespace

model::Spooler& State(Machine& m) {
  if (!m.spooler) {
    m.spooler = model::SpoolerOf(m.doc);
    if (m.spooler->environment.empty()) m.spooler->environment = "Windows NT x86";
    if (m.spooler->driverDirectory.empty())
      m.spooler->driverDirectory = "C:\\WINDOWS\\system32\\spool\\drivers\\w32x86";
  }
  return *m.spooler;
}

std::wstring LocalEnvironment(Machine& m) { return W(State(m).environment); }

std::wstring CanonicalEnvironment(Machine& m, LPCWSTR environment) {
  std::wstring local = LocalEnvironment(m);
  if (!environment || !*environment || SameText(environment, local)) return local;
  for (auto& e : kEnvironments)
    if (SameText(environment, e.name)) return e.name;
  return std::wstring();
}

std::wstring DriverDirectory(Machine& m, LPCWSTR environment) {
  std::wstring env = CanonicalEnvironment(m, environment);
  if (env.empty()) return env;
  std::wstring localDir = W(State(m).driverDirectory);
  if (SameText(env, LocalEnvironment(m))) return localDir;
  // Other environments live beside the local one under "spool\drivers".
  size_t slash = localDir.rfind(L'\\');
  std::wstring parent = slash == std::wstring::npos ? localDir : localDir.substr(0, slash);
  for (auto& e : kEnvironments)
    if (env == e.name) return parent + L"\\" + e.dir;
  return std::wstring();
}

bool HostFileExists(Machine& m, const std::wstring& windowsPath) {
  std::error_code ec;
  return fs::is_regular_file(ToHostPath(m, windowsPath), ec);
}

DWORD Refusal(ApiCall& call) {
  if (call.fault()) return call.fault();
  if (ServiceState(call.machine(), "Spooler") != kServiceRunning) return RPC_S_SERVER_UNAVAILABLE;
  return 0;
}

bool LocalServer(LPCWSTR name) { return !name || !*name; }

Field MultiSz(const std::vector<std::wstring>& list) {
  Field f{true, std::wstring()};
  for (auto& item : list) {
    f.text += item;
    f.text.push_back(L'\0');
  }
  return f;
}

bool ListingArgsOk(ApiCall& call, LPBYTE buf, DWORD cbBuf, LPDWORD needed, LPDWORD returned) {
  if (!needed || !returned) return Fail(RPC_X_NULL_REF_POINTER);
  *needed = 0;
  *returned = 0;
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!buf && cbBuf) return Fail(ERROR_INVALID_USER_BUFFER);
  return true;
}

}  // namespace winsim::spooler

namespace winsim {

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  std::vector<MessageBoxRecord> out;
  const json& r = CurrentMachine().runReport;
  if (r.contains("messageBoxes"))
    for (auto& b : r["messageBoxes"])
      out.push_back({Utf8ToWide(b.value("text", "")), Utf8ToWide(b.value("caption", "")), b.value("type", 0u)});
  return out;
}

std::vector<std::string> Changes() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  std::vector<std::string> out;
  const json& r = CurrentMachine().runReport;
  if (r.contains("changes"))
    for (auto& c : r["changes"]) out.push_back(c.get<std::string>());
  return out;
}

bool SetPrintJobs(const std::wstring& printer, unsigned jobs) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  model::Printer* p = spooler::FindByName(spooler::State(CurrentMachine()).printers, printer);
  if (!p) return false;
  p->jobs = jobs;
  return true;
}

int PrintJobs(const std::wstring& printer) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  model::Printer* p = spooler::FindByName(spooler::State(CurrentMachine()).printers, printer);
  return p ? static_cast<int>(p->jobs) : -1;
}

}  // namespace winsim
