// The Service Control Manager: opening, status, the size protocols, and the refusals the tools
// meet. Nothing here changes a service: a control is only sent where it must be refused.
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

namespace {

std::string Num(DWORD v) { return std::to_string(static_cast<unsigned long>(v)); }

// A service handle closed when it goes.
struct Sc {
  explicit Sc(SC_HANDLE handle) : h(handle) {}
  ~Sc() {
    if (h) CloseServiceHandle(h);
  }
  SC_HANDLE h;
};

DWORD StateOf(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS ssp;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp), &needed))
    return 0;
  return ssp.dwCurrentState;
}

// The first of NAMES that exists and is in STATE, opened with ACCESS; null when none is.
SC_HANDLE OpenInState(SC_HANDLE manager, const std::vector<const wchar_t*>& names, DWORD state, DWORD access) {
  for (const wchar_t* name : names) {
    SC_HANDLE h = OpenServiceW(manager, name, access | SERVICE_QUERY_STATUS);
    if (!h) continue;
    if (StateOf(h) == state) return h;
    CloseServiceHandle(h);
  }
  return NULL;
}

}  // namespace

CONFORMANCE(ServiceManagerOpenAndClose) {
  Sc manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  CHECK(manager.h != NULL);
  if (!manager.h) return;
  Sc named(OpenSCManagerW(NULL, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
  CHECK(named.h != NULL);

  SetLastError(0);
  CHECK(OpenServiceW(manager.h, L"Q52NoSuchService", SERVICE_QUERY_STATUS) == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  Sc spooler(OpenServiceW(manager.h, L"sPOOLER", SERVICE_ALL_ACCESS));  // names match without regard to case
  CHECK(spooler.h != NULL);
  if (spooler.h) {
    SetLastError(0);
    CHECK(OpenServiceW(spooler.h, L"Spooler", SERVICE_QUERY_STATUS) == NULL);  // not a manager
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  SetLastError(0);
  CHECK(!CloseServiceHandle(NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(QueryServiceStatusExSizeProtocol) {
  Sc manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  Sc spooler(manager.h ? OpenServiceW(manager.h, L"Spooler", SERVICE_QUERY_STATUS) : NULL);
  CHECK(spooler.h != NULL);
  if (!spooler.h) return;
  CHECK_EQ(sizeof(SERVICE_STATUS_PROCESS), static_cast<size_t>(36));

  SERVICE_STATUS_PROCESS ssp;
  DWORD needed = 0;
  SetLastError(0);
  CHECK(!QueryServiceStatusEx(spooler.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp) - 1,
                              &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK_EQ(needed, static_cast<DWORD>(sizeof(ssp)));

  memset(&ssp, 0xCC, sizeof(ssp));
  CHECK(QueryServiceStatusEx(spooler.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp), &needed));
  CHECK_AT(ssp.dwCurrentState >= SERVICE_STOPPED && ssp.dwCurrentState <= SERVICE_PAUSED, Num(ssp.dwCurrentState));
  CHECK_EQ(ssp.dwCurrentState == SERVICE_STOPPED, ssp.dwProcessId == 0);
  CHECK((ssp.dwServiceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) != 0);

  SetLastError(0);
  CHECK(!QueryServiceStatusEx(spooler.h, static_cast<SC_STATUS_TYPE>(7), reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp),
                              &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  SetLastError(0);
  CHECK(!QueryServiceStatusEx(manager.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp),
                              &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(ServiceCallsNeedTheirAccessRights) {
  Sc manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  Sc spooler(manager.h ? OpenServiceW(manager.h, L"Spooler", SERVICE_QUERY_STATUS) : NULL);
  CHECK(spooler.h != NULL);
  if (!spooler.h) return;
  SERVICE_STATUS status;
  DWORD needed = 0, count = 0;
  SetLastError(0);
  CHECK(!ControlService(spooler.h, SERVICE_CONTROL_STOP, &status));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(0);
  CHECK(!StartServiceW(spooler.h, 0, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  if (WineDiffers("EnumDependentServicesW lists no dependents for any service, with any rights")) return;
  SetLastError(0);
  CHECK(!EnumDependentServicesW(spooler.h, SERVICE_ACTIVE, NULL, 0, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

CONFORMANCE(StartAndStopRefusedByState) {
  Sc manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  if (!manager.h) SKIP("no Service Control Manager");
  // Starting a running service and stopping a stopped one are refused, and change nothing.
  Sc running(OpenInState(manager.h, {L"RpcSs", L"Spooler", L"PlugPlay", L"EventLog"}, SERVICE_RUNNING,
                         SERVICE_START));
  Sc stopped(OpenInState(manager.h, {L"Fax", L"MSIServer", L"wuauserv", L"TermService", L"Spooler"}, SERVICE_STOPPED,
                         SERVICE_STOP));
  if (!running.h || !stopped.h) SKIP("no running or no stopped service to try");
  SetLastError(0);
  CHECK(!StartServiceW(running.h, 0, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  SERVICE_STATUS status;
  memset(&status, 0, sizeof(status));
  SetLastError(0);
  CHECK(!ControlService(stopped.h, SERVICE_CONTROL_STOP, &status));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  CHECK_EQ(StateOf(stopped.h), static_cast<DWORD>(SERVICE_STOPPED));
}

CONFORMANCE(EnumDependentServicesSizeThenFetch) {
  Sc manager(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
  Sc rpc(manager.h ? OpenServiceW(manager.h, L"RpcSs", SERVICE_ENUMERATE_DEPENDENTS) : NULL);
  CHECK(rpc.h != NULL);
  if (!rpc.h) return;
  DWORD needed = 0, count = 0;
  if (WineDiffers("EnumDependentServicesW lists no dependents for any service, with any rights")) {
    CHECK(EnumDependentServicesW(rpc.h, SERVICE_ACTIVE, NULL, 0, &needed, &count));
    CHECK_EQ(count, static_cast<DWORD>(0));
    SKIP("Wine lists no dependents");
  }
  SetLastError(0);
  CHECK(!EnumDependentServicesW(rpc.h, 9, NULL, 0, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  count = 99;
  SetLastError(0);
  if (EnumDependentServicesW(rpc.h, SERVICE_STATE_ALL, NULL, 0, &needed, &count)) {
    CHECK_EQ(count, static_cast<DWORD>(0));
    SKIP("no service depends on RpcSs here");
  }
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  CHECK(needed > sizeof(ENUM_SERVICE_STATUSW));
  std::vector<unsigned char> buffer(needed);
  LPENUM_SERVICE_STATUSW records = reinterpret_cast<LPENUM_SERVICE_STATUSW>(&buffer[0]);
  SetLastError(0);
  CHECK(!EnumDependentServicesW(rpc.h, SERVICE_STATE_ALL, records, needed - 1, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  CHECK(EnumDependentServicesW(rpc.h, SERVICE_STATE_ALL, records, static_cast<DWORD>(buffer.size()), &needed, &count));
  CHECK(count > 0);
  // The strings lie in the caller's buffer, after the records.
  const unsigned char* strings = reinterpret_cast<const unsigned char*>(records + count);
  const unsigned char* end = &buffer[0] + buffer.size();
  for (DWORD i = 0; i < count && i < 64; ++i) {
    const unsigned char* name = reinterpret_cast<const unsigned char*>(records[i].lpServiceName);
    const unsigned char* display = reinterpret_cast<const unsigned char*>(records[i].lpDisplayName);
    CHECK_AT(name >= strings && name < end, Num(i));
    CHECK_AT(display >= strings && display < end, Num(i));
    CHECK_AT(records[i].ServiceStatus.dwCurrentState >= SERVICE_STOPPED &&
                 records[i].ServiceStatus.dwCurrentState <= SERVICE_PAUSED,
             Num(i));
    if (name >= strings && name < end) {
      Sc dependent(OpenServiceW(manager.h, records[i].lpServiceName, SERVICE_QUERY_STATUS));
      CHECK_AT(dependent.h != NULL, check::Show(records[i].lpServiceName));
    }
  }
}
