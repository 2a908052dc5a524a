// The Service Control Manager over machine.json's "services". A service takes its configured
// time to start or stop on the machine's clock: a transition is kept as the pending state with the
// time it ends, and settles when someone looks at the service after that time.
#include "advapi32/scm.h"

#include <windows.h>

#include <cstring>
#include <functional>
#include <set>
#include <strings.h>

#include "core/changes.h"
#include "winsim/services.h"

namespace winsim {

using model::Service;

namespace {

const char* const kStates[] = {"", "stopped", "start-pending", "stop-pending", "running",
                               "continue-pending", "pause-pending", "paused"};
const DWORD kStateCount = sizeof kStates / sizeof kStates[0];

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

DWORD StateOf(const Service& s) {
  for (DWORD i = 1; i < kStateCount; ++i)
    if (s.state == kStates[i]) return i;
  return SERVICE_STOPPED;  // a state name winsim does not know reads as stopped
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
         state == SERVICE_PAUSE_PENDING;
}

// How long the transition out of a pending state takes; negative when it never ends.
int64_t TransitionMs(const Service& s, DWORD pending) {
  return pending == SERVICE_START_PENDING || pending == SERVICE_CONTINUE_PENDING ? s.startMs : s.stopMs;
}

DWORD SettledState(DWORD pending) {
  switch (pending) {
    case SERVICE_START_PENDING:
    case SERVICE_CONTINUE_PENDING:
      return SERVICE_RUNNING;
    case SERVICE_STOP_PENDING:
      return SERVICE_STOPPED;
    default:
      return SERVICE_PAUSED;
  }
}

// Brings the service's transition up to the clock. A pending state without an end time (as a
// person may write it) starts its transition now.
void Settle(Machine& m, Service& s) {
  DWORD state = StateOf(s);
  if (!IsPending(state)) {
    s.settlesAt.reset();
    return;
  }
  int64_t now = NowMillis(m), at = 0;
  if (!s.settlesAt || !ParseIsoMillis(*s.settlesAt, at)) {
    int64_t ms = TransitionMs(s, state);
    if (ms < 0) return;
    at = now + ms;
    s.settlesAt = FormatIsoMillis(at);
  }
  if (now >= at) {
    s.state = kStates[SettledState(state)];
    s.settlesAt.reset();
  }
}

// Puts the service into PENDING; the status a control returns still shows the pending state,
// even for a transition that takes no time.
void Begin(Machine& m, Service& s, DWORD pending) {
  s.state = kStates[pending];
  s.settlesAt.reset();
  int64_t ms = TransitionMs(s, pending);
  if (ms >= 0) s.settlesAt = FormatIsoMillis(NowMillis(m) + ms);
}

std::vector<Service>& Services(Machine& m) {
  if (!m.services) m.services = model::ServicesOf(m.doc);
  return *m.services;
}

Service* Find(Machine& m, const std::string& name) {
  for (Service& s : Services(m))
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

bool DependsOn(const Service& s, const std::string& name) {
  for (const std::string& d : s.dependencies)
    if (SameName(d, name)) return true;
  return false;
}

// Dependents of NAME, direct and indirect, each after its own dependents: the reverse of the
// order in which they start.
std::vector<Service*> Dependents(Machine& m, const std::string& name) {
  std::vector<Service*> out;
  std::set<std::string> seen;
  std::function<void(const std::string&)> walk = [&](const std::string& of) {
    for (Service& s : Services(m)) {
      if (!DependsOn(s, of) || seen.count(s.name)) continue;
      seen.insert(s.name);
      walk(s.name);
      out.push_back(&s);
    }
  };
  seen.insert(name);
  walk(name);
  return out;
}

void FillStatus(Machine& m, const Service& s, SERVICE_STATUS* st, DWORD* processId) {
  DWORD state = StateOf(s);
  std::memset(st, 0, sizeof(*st));
  st->dwServiceType = s.type.value_or(SERVICE_WIN32_OWN_PROCESS);
  st->dwCurrentState = state;
  if ((state == SERVICE_RUNNING || state == SERVICE_PAUSED) && s.acceptsStop)
    st->dwControlsAccepted = SERVICE_ACCEPT_STOP;
  if (IsPending(state)) {
    st->dwCheckPoint = 1;
    int64_t ms = TransitionMs(s, state);
    st->dwWaitHint = ms > 0 ? static_cast<DWORD>(ms) : 0;
  }
  if (processId) *processId = state == SERVICE_STOPPED ? 0 : 400 + 4 * static_cast<DWORD>(&s - Services(m).data());
}

// Starts a stopped service after the stopped services it depends on. 0 or the error.
DWORD StartOne(Machine& m, Service& s, int depth) {
  if (depth > 16) return ERROR_SERVICE_DEPENDENCY_FAIL;  // a dependency cycle
  Settle(m, s);
  if (StateOf(s) != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  if (s.startError) return s.startError;
  for (const std::string& d : s.dependencies) {
    Service* dep = Find(m, d);
    if (!dep) return ERROR_SERVICE_DEPENDENCY_FAIL;
    Settle(m, *dep);
    DWORD state = StateOf(*dep);
    if (state == SERVICE_STOPPED && StartOne(m, *dep, depth + 1) != 0) return ERROR_SERVICE_DEPENDENCY_FAIL;
    if (state == SERVICE_STOP_PENDING || state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING)
      return ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  Begin(m, s, SERVICE_START_PENDING);
  RecordChange(m, "StartService " + s.name);
  return 0;
}

struct ScObject {
  bool manager = false;
  std::string service;
  DWORD access = 0;
};

const char kScHandle[] = "SC_HANDLE";

ScObject* Object(Machine& m, SC_HANDLE h) {
  HandleInfo* info = h ? m.FindHandle(reinterpret_cast<uintptr_t>(h), kScHandle) : nullptr;
  return info ? static_cast<ScObject*>(info->object.get()) : nullptr;
}

// The service behind a service handle that grants ACCESS; null with the last error set.
Service* ServiceOf(Machine& m, SC_HANDLE h, DWORD access) {
  ScObject* o = Object(m, h);
  if (!o || o->manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((o->access & access) != access) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Service* s = Find(m, o->service);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);  // the service left the machine under the handle
    return nullptr;
  }
  Settle(m, *s);
  return s;
}

}  // namespace

DWORD ServiceState(Machine& m, const std::string& name) {
  Service* s = Find(m, name);
  if (!s) return 0;
  Settle(m, *s);
  return StateOf(*s);
}

// ---------------------------------------------------------------- test controls

void SetService(const ServiceConfig& c) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  Service s = c;
  if (s.displayName.empty()) s.displayName = s.name;
  s.settlesAt.reset();  // a pending state set here starts its time at the first look
  if (Service* old = Find(m, c.name)) *old = s;
  else Services(m).push_back(s);
}

bool GetService(const std::string& name, ServiceConfig& out) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  Service* s = Find(m, name);
  if (!s) return false;
  Settle(m, *s);
  out = *s;
  out.state = kStates[StateOf(*s)];
  return true;
}

std::string ServiceStateName(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  DWORD state = ServiceState(CurrentMachine(), name);
  return state ? kStates[state] : "";
}

std::vector<std::string> ServiceChanges() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  std::vector<std::string> out;
  const json& r = CurrentMachine().runReport;
  if (r.contains("changes"))
    for (const json& c : r["changes"]) {
      std::string line = c.get<std::string>();
      if (line.rfind("StartService ", 0) == 0 || line.rfind("StopService ", 0) == 0) out.push_back(line);
    }
  return out;
}

}  // namespace winsim

using winsim::Machine;
using winsim::ScObject;
using winsim::model::Service;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access) {
  WINSIM_API(call, "OpenSCManagerW", nullptr);
  if (machineName && *machineName) {  // no network here
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (databaseName && !winsim::SameName(winsim::WideToUtf8(databaseName), "ServicesActive")) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  auto o = std::make_shared<ScObject>();
  o->manager = true;
  o->access = access;
  return reinterpret_cast<SC_HANDLE>(call.machine().AddHandle(winsim::kScHandle, o));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) {
  WINSIM_API(call, "OpenServiceW", nullptr);
  Machine& m = call.machine();
  ScObject* mo = winsim::Object(m, manager);
  if (!mo || !mo->manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!serviceName) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  Service* s = winsim::Find(m, winsim::WideToUtf8(serviceName));
  if (!s) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto o = std::make_shared<ScObject>();
  o->service = s->name;
  o->access = access;
  return reinterpret_cast<SC_HANDLE>(m.AddHandle(winsim::kScHandle, o));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  WINSIM_API(call, "CloseServiceHandle", FALSE);
  if (!call.machine().CloseHandle(reinterpret_cast<uintptr_t>(handle), winsim::kScHandle))
    return winsim::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                 LPDWORD needed) {
  WINSIM_API(call, "QueryServiceStatusEx", FALSE);
  Machine& m = call.machine();
  Service* s = winsim::ServiceOf(m, service, SERVICE_QUERY_STATUS);
  if (!s) return FALSE;
  if (level != SC_STATUS_PROCESS_INFO) return winsim::Fail(ERROR_INVALID_LEVEL);
  if (!needed) return winsim::Fail(ERROR_INVALID_ADDRESS);
  if (!buffer || size < sizeof(SERVICE_STATUS_PROCESS)) {
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    return winsim::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  SERVICE_STATUS st;
  DWORD pid = 0;
  winsim::FillStatus(m, *s, &st, &pid);
  SERVICE_STATUS_PROCESS out;
  std::memcpy(&out, &st, sizeof(st));
  out.dwProcessId = pid;
  out.dwServiceFlags = 0;
  std::memcpy(buffer, &out, sizeof(out));
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  WINSIM_API(call, "ControlService", FALSE);
  Machine& m = call.machine();
  DWORD access = control == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                 : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                 : control < 128                          ? SERVICE_PAUSE_CONTINUE
                                                          : SERVICE_USER_DEFINED_CONTROL;
  Service* s = winsim::ServiceOf(m, service, access);
  if (!s) return FALSE;
  if (!status) return winsim::Fail(ERROR_INVALID_ADDRESS);
  std::string name = s->name;
  DWORD state = winsim::StateOf(*s);
  if (control == SERVICE_CONTROL_STOP) {
    for (Service* d : winsim::Dependents(m, name)) {
      winsim::Settle(m, *d);
      if (winsim::StateOf(*d) != SERVICE_STOPPED) return winsim::Fail(ERROR_DEPENDENT_SERVICES_RUNNING);
    }
  }
  // The refusals below still report the service's status.
  winsim::FillStatus(m, *s, status, nullptr);
  if (state == SERVICE_STOPPED) return winsim::Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (winsim::IsPending(state)) return winsim::Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  if (control != SERVICE_CONTROL_STOP || !s->acceptsStop)
    return winsim::Fail(ERROR_INVALID_SERVICE_CONTROL);
  winsim::Begin(m, *s, SERVICE_STOP_PENDING);
  winsim::RecordChange(m, "StopService " + name);
  winsim::FillStatus(m, *s, status, nullptr);
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE service, DWORD, LPCWSTR*) {
  WINSIM_API(call, "StartServiceW", FALSE);
  Machine& m = call.machine();
  Service* s = winsim::ServiceOf(m, service, SERVICE_START);
  if (!s) return FALSE;
  if (DWORD error = winsim::StartOne(m, *s, 0)) return winsim::Fail(error);
  return TRUE;
}

BOOL WINAPI EnumDependentServicesW(SC_HANDLE service, DWORD stateFilter, LPENUM_SERVICE_STATUSW records, DWORD size,
                                   LPDWORD needed, LPDWORD returned) {
  WINSIM_API(call, "EnumDependentServicesW", FALSE);
  Machine& m = call.machine();
  Service* s = winsim::ServiceOf(m, service, SERVICE_ENUMERATE_DEPENDENTS);
  if (!s) return FALSE;
  if (stateFilter < SERVICE_ACTIVE || stateFilter > SERVICE_STATE_ALL) return winsim::Fail(ERROR_INVALID_PARAMETER);
  if (!needed || !returned) return winsim::Fail(ERROR_INVALID_ADDRESS);
  *returned = 0;
  std::vector<Service*> list;
  size_t bytes = 0;
  for (Service* d : winsim::Dependents(m, s->name)) {
    winsim::Settle(m, *d);
    bool active = winsim::StateOf(*d) != SERVICE_STOPPED;
    if (!(stateFilter & (active ? SERVICE_ACTIVE : SERVICE_INACTIVE))) continue;
    list.push_back(d);
    bytes += sizeof(ENUM_SERVICE_STATUSW) +
             (winsim::Utf8ToWide(d->name).size() + 1 + winsim::Utf8ToWide(d->displayName).size() + 1) * sizeof(WCHAR);
  }
  if (bytes > size || (bytes && !records)) {
    *needed = static_cast<DWORD>(bytes);
    return winsim::Fail(ERROR_MORE_DATA);
  }
  *needed = 0;
  // The records first, their strings after them.
  WCHAR* text = reinterpret_cast<WCHAR*>(records + list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    auto put = [&](const std::string& utf8) {
      std::wstring w = winsim::Utf8ToWide(utf8);
      WCHAR* at = text;
      std::memcpy(at, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
      text += w.size() + 1;
      return at;
    };
    records[i].lpServiceName = put(list[i]->name);
    records[i].lpDisplayName = put(list[i]->displayName);
    winsim::FillStatus(m, *list[i], &records[i].ServiceStatus, nullptr);
  }
  *returned = static_cast<DWORD>(list.size());
  return TRUE;
}

}  // extern "C"
