// winspool's monitor and port calls over the machine's spooler state.
#include <windows.h>
#include <winspool.h>

#include "core/changes.h"
#include "core/registry.h"
#include "winspool/spoolerstate.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::model::Monitor;
using winsim::model::Port;
using namespace winsim::spooler;

namespace {

// The printer that prints to PORT, if any.
bool PrinterOnPort(Machine& m, const std::string& port) {
  for (const auto& p : State(m).printers)
    if (SameText(W(p.port), W(port))) return true;
  return false;
}

}  // namespace

extern "C" {

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
  ApiCall call("EnumMonitorsW");
  if (!ListingArgsOk(call, pMonitor, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  Machine& m = call.machine();
  std::vector<Monitor>& monitors = State(m).monitors;
  if (Level == 1) {
    std::vector<Entry<MONITOR_INFO_1W, Monitor>> entries;
    for (const Monitor& mon : monitors)
      entries.push_back({{S(W(mon.name))}, [](MONITOR_INFO_1W& r, const Monitor&, LPWSTR* s) { r.pName = s[0]; }, &mon});
    return Deliver(entries, pMonitor, cbBuf, pcbNeeded, pcReturned);
  }
  if (Level == 2) {
    std::wstring env = LocalEnvironment(m);
    std::vector<Entry<MONITOR_INFO_2W, Monitor>> entries;
    for (const Monitor& mon : monitors)
      entries.push_back({{S(W(mon.name)), S(env), S(W(mon.dll))},
                         [](MONITOR_INFO_2W& r, const Monitor&, LPWSTR* s) {
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
  std::vector<Monitor>& monitors = State(m).monitors;
  if (FindByName(monitors, info.pName)) return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  // The spooler loads the monitor from the system directory at once.
  std::wstring dll = info.pDLLName;
  if (dll.find_first_of(L"\\/") == std::wstring::npos) dll = std::wstring(kSystemDirectory) + L"\\" + dll;
  if (!HostFileExists(m, dll)) return Fail(ERROR_MOD_NOT_FOUND);
  Monitor& added = monitors.emplace_back();
  added.name = winsim::WideToUtf8(info.pName);
  added.dll = winsim::WideToUtf8(info.pDLLName);
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
  winsim::model::Spooler& spooler = State(m);
  Monitor* mon = FindByName(spooler.monitors, pMonitorName);
  if (!mon) return Fail(ERROR_UNKNOWN_PRINT_MONITOR);
  std::string name = mon->name;
  auto itsPort = [&](const Port& port) { return SameText(W(port.monitor), W(name)); };
  for (const Port& port : spooler.ports)
    if (itsPort(port) && PrinterOnPort(m, port.name)) return Fail(ERROR_PRINT_MONITOR_IN_USE);
  // A monitor's ports exist only through it: they go with it.
  EraseIf(spooler.ports, itsPort);
  EraseIf(spooler.monitors, [&](const Monitor& mo) { return SameText(W(mo.name), W(name)); });
  winsim::RecordChange(m, "DeleteMonitor " + name);
  return TRUE;
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPortsW");
  if (!ListingArgsOk(call, pPort, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (!LocalServer(pName)) return Fail(ERROR_INVALID_NAME);
  std::vector<Port>& ports = State(call.machine()).ports;
  if (Level == 1) {
    std::vector<Entry<PORT_INFO_1W, Port>> entries;
    for (const Port& p : ports)
      entries.push_back({{S(W(p.name))}, [](PORT_INFO_1W& r, const Port&, LPWSTR* s) { r.pName = s[0]; }, &p});
    return Deliver(entries, pPort, cbBuf, pcbNeeded, pcReturned);
  }
  if (Level == 2) {
    std::vector<Entry<PORT_INFO_2W, Port>> entries;
    for (const Port& p : ports) {
      entries.push_back({{S(W(p.name)), p.monitor.empty() ? None() : S(W(p.monitor)), S(W(p.description))},
                         [](PORT_INFO_2W& r, const Port& src, LPWSTR* s) {
                           r.pPortName = s[0];
                           r.pMonitorName = s[1];
                           r.pDescription = s[2];
                           r.fPortType = src.type.value_or(PORT_TYPE_WRITE);
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
  std::vector<Port>& ports = State(m).ports;
  Port* port = FindByName(ports, pPortName);
  if (!port) return Fail(ERROR_UNKNOWN_PORT);
  std::string name = port->name;
  if (PrinterOnPort(m, name)) return Fail(ERROR_BUSY);
  EraseIf(ports, [&](const Port& p) { return SameText(W(p.name), W(name)); });
  winsim::RecordChange(m, "DeletePort " + name);
  return TRUE;
}

}  // extern "C"
