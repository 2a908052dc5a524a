// winspool's printer-driver calls over the machine's spooler state and its driver directories.
#include <windows.h>
#include <winspool.h>

#include <algorithm>

#include "core/changes.h"
#include "core/registry.h"
#include "winspool/spoolerstate.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::model::Driver;
namespace fs = winsim::fs;
using namespace winsim::spooler;

namespace {

// Where an installed driver's files are: the version directory below its environment's
// driver directory ("...\w32x86\3").
std::wstring VersionDirectory(Machine& m, const Driver& d) {
  return DriverDirectory(m, W(d.environment).c_str()) + L"\\" + std::to_wstring(d.version);
}

Field FilePath(const std::wstring& dir, const std::string& file) { return file.empty() ? None() : S(dir + L"\\" + W(file)); }
Field Optional(const std::optional<std::string>& s) { return s && !s->empty() ? S(W(*s)) : None(); }

template <typename Rec>
std::vector<Entry<Rec, Driver>> Records(Machine& m, const std::vector<const Driver*>& drivers, int level) {
  std::vector<Entry<Rec, Driver>> out;
  for (const Driver* d : drivers) {
    Entry<Rec, Driver> e{{S(W(d->name))}, nullptr, d};
    if (level >= 2) {
      std::wstring dir = VersionDirectory(m, *d);
      e.fields.push_back(S(W(d->environment)));
      e.fields.push_back(FilePath(dir, d->driverPath));
      e.fields.push_back(FilePath(dir, d->dataFile));
      e.fields.push_back(FilePath(dir, d->configFile));
      if (level >= 3) {
        e.fields.push_back(FilePath(dir, d->helpFile.value_or("")));
        std::vector<std::wstring> full;
        for (auto& f : d->dependentFiles) full.push_back(dir + L"\\" + W(f));
        e.fields.push_back(MultiSz(full));
        e.fields.push_back(Optional(d->monitor));
        e.fields.push_back(Optional(d->defaultDataType));
      }
    }
    out.push_back(e);
  }
  return out;
}

void Fill1(DRIVER_INFO_1W& r, const Driver&, LPWSTR* s) { r.pName = s[0]; }
void Fill2(DRIVER_INFO_2W& r, const Driver& d, LPWSTR* s) {
  r.cVersion = d.version;
  r.pName = s[0];
  r.pEnvironment = s[1];
  r.pDriverPath = s[2];
  r.pDataFile = s[3];
  r.pConfigFile = s[4];
}
void Fill3(DRIVER_INFO_3W& r, const Driver& d, LPWSTR* s) {
  r.cVersion = d.version;
  r.pName = s[0];
  r.pEnvironment = s[1];
  r.pDriverPath = s[2];
  r.pDataFile = s[3];
  r.pConfigFile = s[4];
  r.pHelpFile = s[5];
  r.pDependentFiles = s[6];
  r.pMonitorName = s[7];
  r.pDefaultDataType = s[8];
}

template <typename Rec>
BOOL DeliverDrivers(Machine& m, const std::vector<const Driver*>& drivers, int level, void (*fill)(Rec&, const Driver&, LPWSTR*),
                    LPBYTE buf, DWORD cbBuf, LPDWORD needed, LPDWORD returned) {
  auto entries = Records<Rec>(m, drivers, level);
  for (auto& e : entries) e.fill = fill;
  return Deliver(entries, buf, cbBuf, needed, returned);
}

std::wstring BaseName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A file of a driver being added: a bare name is looked for in the driver directory, where the
// installer has to put the files before the call; a path is taken as it is.
std::wstring SourcePath(const std::wstring& driverDir, const std::wstring& file) {
  return file.find_first_of(L"\\/") == std::wstring::npos ? driverDir + L"\\" + file : file;
}

std::vector<std::wstring> SplitMultiSz(LPCWSTR list) {
  std::vector<std::wstring> out;
  if (!list) return out;
  for (const WCHAR* p = list; *p; p += wcslen(p) + 1) out.emplace_back(p);
  return out;
}

}  // namespace

extern "C" {

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                                LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPrinterDriversW");
  if (!ListingArgsOk(call, pDriverInfo, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (Level < 1 || Level > 3) return Fail(ERROR_INVALID_LEVEL);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  Machine& m = call.machine();
  bool all = pEnvironment && SameText(pEnvironment, L"all");
  std::wstring env = all ? std::wstring() : CanonicalEnvironment(m, pEnvironment);
  if (!all && env.empty()) return Fail(ERROR_INVALID_ENVIRONMENT);
  std::vector<const Driver*> drivers;
  for (const Driver& d : State(m).drivers)
    if (all || SameText(W(d.environment), env)) drivers.push_back(&d);
  switch (Level) {
    case 1: return DeliverDrivers<DRIVER_INFO_1W>(m, drivers, 1, Fill1, pDriverInfo, cbBuf, pcbNeeded, pcReturned);
    case 2: return DeliverDrivers<DRIVER_INFO_2W>(m, drivers, 2, Fill2, pDriverInfo, cbBuf, pcbNeeded, pcReturned);
    default: return DeliverDrivers<DRIVER_INFO_3W>(m, drivers, 3, Fill3, pDriverInfo, cbBuf, pcbNeeded, pcReturned);
  }
}

BOOL WINAPI DeletePrinterDriverW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName) {
  ApiCall call("DeletePrinterDriverW");
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  Machine& m = call.machine();
  std::wstring env = CanonicalEnvironment(m, pEnvironment);
  if (env.empty()) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (!pDriverName || !*pDriverName) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  winsim::model::Spooler& spooler = State(m);
  auto match = [&](const Driver& d) { return SameText(W(d.name), pDriverName) && SameText(W(d.environment), env); };
  auto found = std::find_if(spooler.drivers.begin(), spooler.drivers.end(), match);
  if (found == spooler.drivers.end()) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  // Printers exist only in the local environment, so only its drivers can be in use.
  if (SameText(env, LocalEnvironment(m)))
    for (const auto& p : spooler.printers)
      if (SameText(W(p.driver), pDriverName)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);
  std::string name = std::find_if(spooler.drivers.rbegin(), spooler.drivers.rend(), match)->name;
  EraseIf(spooler.drivers, match);
  // The driver's files stay where they are: removing them is the caller's business.
  winsim::RecordChange(m, "DeletePrinterDriver " + name);
  return TRUE;
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo, DWORD dwFileCopyFlags) {
  ApiCall call("AddPrinterDriverExW");
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  if (Level != 2 && Level != 3) return Fail(ERROR_INVALID_LEVEL);
  if (!pDriverInfo) return Fail(ERROR_INVALID_PARAMETER);
  DRIVER_INFO_3W info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(&info, pDriverInfo, Level == 3 ? sizeof(DRIVER_INFO_3W) : sizeof(DRIVER_INFO_2W));
  Machine& m = call.machine();
  if (!info.pName || !*info.pName || !info.pDriverPath || !*info.pDriverPath || !info.pDataFile ||
      !*info.pDataFile || !info.pConfigFile || !*info.pConfigFile)
    return Fail(ERROR_INVALID_PARAMETER);
  std::wstring env = CanonicalEnvironment(m, info.pEnvironment);
  if (env.empty()) return Fail(ERROR_INVALID_ENVIRONMENT);
  std::wstring driverDir = DriverDirectory(m, env.c_str());
  DWORD version = info.cVersion ? info.cVersion : 3;

  std::vector<std::wstring> files = {info.pDriverPath, info.pDataFile, info.pConfigFile};
  if (info.pHelpFile && *info.pHelpFile) files.push_back(info.pHelpFile);
  std::vector<std::wstring> dependent = SplitMultiSz(info.pDependentFiles);
  files.insert(files.end(), dependent.begin(), dependent.end());
  for (auto& f : files)
    if (!HostFileExists(m, SourcePath(driverDir, f))) return Fail(ERROR_FILE_NOT_FOUND);

  // The files go into the version directory, where the installed driver is loaded from.
  fs::path target = winsim::ToHostPath(m, driverDir + L"\\" + std::to_wstring(version));
  std::error_code ec;
  fs::create_directories(target, ec);
  for (auto& f : files) {
    fs::path from = winsim::ToHostPath(m, SourcePath(driverDir, f));
    fs::path to = target / winsim::WideToUtf8(BaseName(f));
    if (fs::equivalent(from, to, ec)) continue;
    bool copy = (dwFileCopyFlags & APD_COPY_NEW_FILES) && fs::exists(to, ec)
                    ? fs::last_write_time(from, ec) > fs::last_write_time(to, ec)
                    : true;
    if (copy && !fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) return Fail(ERROR_ACCESS_DENIED);
  }

  auto utf8 = [](LPCWSTR s) { return s && *s ? std::optional(winsim::WideToUtf8(s)) : std::nullopt; };
  Driver d;
  d.name = winsim::WideToUtf8(info.pName);
  d.environment = winsim::WideToUtf8(env);
  d.version = version;
  d.driverPath = winsim::WideToUtf8(BaseName(info.pDriverPath));
  d.dataFile = winsim::WideToUtf8(BaseName(info.pDataFile));
  d.configFile = winsim::WideToUtf8(BaseName(info.pConfigFile));
  if (info.pHelpFile && *info.pHelpFile) d.helpFile = winsim::WideToUtf8(BaseName(info.pHelpFile));
  for (auto& f : dependent) d.dependentFiles.push_back(winsim::WideToUtf8(BaseName(f)));
  d.monitor = utf8(info.pMonitorName);
  d.defaultDataType = utf8(info.pDefaultDataType);

  // A driver of the same name, environment and version is upgraded in place.
  std::vector<Driver>& drivers = State(m).drivers;
  bool replaced = false;
  for (Driver& old : drivers)
    if (SameText(W(old.name), info.pName) && SameText(W(old.environment), env) && old.version == version) {
      old = d;
      replaced = true;
    }
  if (!replaced) drivers.push_back(d);
  winsim::RecordChange(m, "AddPrinterDriver " + winsim::WideToUtf8(info.pName));
  return TRUE;
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory,
                                       DWORD cbBuf, LPDWORD pcbNeeded) {
  ApiCall call("GetPrinterDriverDirectoryW");
  if (!pcbNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  if (Level != 1) return Fail(ERROR_INVALID_LEVEL);
  std::wstring dir = DriverDirectory(call.machine(), pEnvironment);
  if (dir.empty()) return Fail(ERROR_INVALID_ENVIRONMENT);
  DWORD bytes = static_cast<DWORD>((dir.size() + 1) * sizeof(WCHAR));
  *pcbNeeded = bytes;
  if (!pDriverDirectory || cbBuf < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(pDriverDirectory, dir.c_str(), bytes);
  return TRUE;
}

}  // extern "C"
