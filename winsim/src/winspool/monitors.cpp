// winspool's monitor and port calls over the machine's spooler state.
#include <windows.h>
#include <winspool.h>

#include "core/changes.h"
#include "core/registry.h"
#include "winspool/spoolerstate.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::json;
using namespace winsim::spooler;

namespace {

// The printer that prints to PORT, if any.
const json* PrinterOnPort(Machine& m, const std::wstring& port) {
  for (const json& p : List(m, "printers"))
    if (SameText(Str(p, "port"), port)) return &p;
  return nullptr;
}

void EraseWhere(json& list, const std::function<bool(const json&)>& match) {
  for (size_t i = list.size(); i-- > 0;)
    if (match(list[i])) list.erase(i);
}

}  // namespace

extern "C" {

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
  ApiCall call("EnumMonitorsW");
  if (!ListingArgsOk(call, pMonitor, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  Machine& m = call.machine();
  json& monitors = List(m, "monitors");
  if (Level == 1) {
    std::vector<Entry<MONITOR_INFO_1W>> entries;
    for (const json& mon : monitors)
      entries.push_back({{S(Str(mon, "name"))}, [](MONITOR_INFO_1W& r, const json&, LPWSTR* s) { r.pName = s[0]; }, &mon});
    return Deliver(entries, pMonitor, cbBuf, pcbNeeded, pcReturned);
  }
  if (Level == 2) {
    std::wstring env = LocalEnvironment(m);
    std::vector<Entry<MONITOR_INFO_2W>> entries;
    for (const json& mon : monitors)
      entries.push_back({{S(Str(mon, "name")), S(env), S(Str(mon, "dll"))},
                         [](MONITOR_INFO_2W& r, const json&, LPWSTR* s) {
                           r.pName = s[0];
                           r.pEnvironment = s[1];
                           r.pDLLName = s[2];
                         },
                         &mon});
    return Deliver(entries, pMonitor, cbBuf, pcbNeeded, pcReturned);
  }
  return Fail(ERROR_INVALID_LEVEL);
}

BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitors) {
  ApiCall call("AddMonitorW");
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  if (Level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!pMonitors) return Fail(ERROR_INVALID_PARAMETER);
  MONITOR_INFO_2W info;
  std::memcpy(&info, pMonitors, sizeof info);
  if (!info.pName || !*info.pName || !info.pDLLName || !*info.pDLLName) return Fail(ERROR_INVALID_PARAMETER);
  Machine& m = call.machine();
  if (info.pEnvironment && *info.pEnvironment && !SameText(info.pEnvironment, LocalEnvironment(m)))
    return Fail(ERROR_INVALID_ENVIRONMENT);
  json& monitors = List(m, "monitors");
  if (FindByName(monitors, info.pName)) return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  // The spooler loads the monitor from the system directory at once.
  std::wstring dll = info.pDLLName;
  if (dll.find_first_of(L"\\/") == std::wstring::npos) dll = std::wstring(kSystemDirectory) + L"\\" + dll;
  if (!HostFileExists(m, dll)) return Fail(ERROR_MOD_NOT_FOUND);
  monitors.push_back({{"name", winsim::WideToUtf8(info.pName)}, {"dll", winsim::WideToUtf8(info.pDLLName)}});
  winsim::RecordChange(m, "AddMonitor " + winsim::WideToUtf8(info.pName));
  return TRUE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
  ApiCall call("DeleteMonitorW");
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  Machine& m = call.machine();
  if (pEnvironment && *pEnvironment && !SameText(pEnvironment, LocalEnvironment(m)))
    return Fail(ERROR_INVALID_ENVIRONMENT);
  if (!pMonitorName || !*pMonitorName) return Fail(ERROR_INVALID_PARAMETER);
  json& monitors = List(m, "monitors");
  json* mon = FindByName(monitors, pMonitorName);
  if (!mon) return Fail(ERROR_UNKNOWN_PRINT_MONITOR);
  std::wstring name = Str(*mon, "name");
  json& ports = List(m, "ports");
  for (const json& port : ports)
    if (SameText(Str(port, "monitor"), name) && PrinterOnPort(m, Str(port, "name")))
      return Fail(ERROR_PRINT_MONITOR_IN_USE);
  // A monitor's ports exist only through it: they go with it.
  EraseWhere(ports, [&](const json& port) { return SameText(Str(port, "monitor"), name); });
  EraseWhere(monitors, [&](const json& mo) { return SameText(Str(mo, "name"), name); });
  winsim::RecordChange(m, "DeleteMonitor " + winsim::WideToUtf8(name));
  return TRUE;
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPortsW");
  if (!ListingArgsOk(call, pPort, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  json& ports = List(call.machine(), "ports");
  if (Level == 1) {
    std::vector<Entry<PORT_INFO_1W>> entries;
    for (const json& p : ports)
      entries.push_back({{S(Str(p, "name"))}, [](PORT_INFO_1W& r, const json&, LPWSTR* s) { r.pName = s[0]; }, &p});
    return Deliver(entries, pPort, cbBuf, pcbNeeded, pcReturned);
  }
  if (Level == 2) {
    std::vector<Entry<PORT_INFO_2W>> entries;
    for (const json& p : ports) {
      std::wstring monitor = Str(p, "monitor");
      entries.push_back({{S(Str(p, "name")), monitor.empty() ? None() : S(monitor), S(Str(p, "description"))},
                         [](PORT_INFO_2W& r, const json& src, LPWSTR* s) {
                           r.pPortName = s[0];
                           r.pMonitorName = s[1];
                           r.pDescription = s[2];
                           r.fPortType = src.value("type", static_cast<DWORD>(PORT_TYPE_WRITE));
                         },
                         &p});
    }
    return Deliver(entries, pPort, cbBuf, pcbNeeded, pcReturned);
  }
  return Fail(ERROR_INVALID_LEVEL);
}

BOOL WINAPI DeletePortW(LPWSTR pName, HWND, LPWSTR pPortName) {
  ApiCall call("DeletePortW");
  if (DWORD e = Refusal(call)) return Fail(e);
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  if (!pPortName || !*pPortName) return Fail(ERROR_INVALID_PARAMETER);
  Machine& m = call.machine();
  json& ports = List(m, "ports");
  json* port = FindByName(ports, pPortName);
  if (!port) return Fail(ERROR_UNKNOWN_PORT);
  std::wstring name = Str(*port, "name");
  if (PrinterOnPort(m, name)) return Fail(ERROR_BUSY);
  EraseWhere(ports, [&](const json& p) { return SameText(Str(p, "name"), name); });
  winsim::RecordChange(m, "DeletePort " + winsim::WideToUtf8(name));
  return TRUE;
}

}  // extern "C"
