// The print spooler service: whether it runs, starting it, and stopping it with its dependents.
#include "spooler.h"

#include "log.h"
#include "unique_resource.h"

namespace {

const DWORD kPollMs = 200;
// A wait that has not seen the state by this mark has failed; it still polls, so that the
// spooler is not left in the middle of a transition when the caller goes on.
const DWORD kTimeoutMs = 10000;
// ...but not for ever: a service that hangs in a pending state must not hang the uninstaller.
const DWORD kGiveUpMs = 30000;

// The current state of SERVICE, or false with the service's error as the last error.
bool QueryState(SC_HANDLE service, DWORD* state) {
  SERVICE_STATUS_PROCESS status;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                            &needed))
    return false;
  *state = status.dwCurrentState;
  return true;
}

int LastError() { return static_cast<int>(GetLastError()); }

}  // namespace

CSpoolerClass::CSpoolerClass() : m_bInitialized(false) { Initialize(); }

CSpoolerClass::~CSpoolerClass() {
  // The manager goes first, whatever order the members are declared in.
  m_hManager.reset();
  m_hService.reset();
}

void CSpoolerClass::Initialize() {
  m_hManager.reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  if (!m_hManager) {
    Log(LOG_ERROR, "CSpoolerClass::Initialize - OpenSCManager Failed. GetLastError():%d", LastError());
    m_bInitialized = false;
    return;
  }
  m_hService.reset(OpenServiceW(m_hManager.get(), L"Spooler", SERVICE_ALL_ACCESS));
  if (!m_hService) {
    Log(LOG_ERROR, "CSpoolerClass::Initialize - OpenService Failed. GetLastError():%d", LastError());
    m_bInitialized = false;
    return;
  }
  m_bInitialized = true;
}

bool CSpoolerClass::WaitForService(SC_HANDLE service, DWORD desiredState) {
  const DWORD start = GetTickCount();
  bool result = true;
  for (;;) {
    DWORD state = 0;
    if (!QueryState(service, &state)) {
      Log(LOG_ERROR, "CSpoolerClass::WaitForService - QueryServiceStatusEx Failed. GetLastError(): %d", LastError());
      return false;
    }
    Log(LOG_DEBUG, "CSpoolerClass::WaitForService - ssp.dwCurrentState:0x%08x", state);
    const DWORD elapsed = GetTickCount() - start;  // unsigned: right across a wrap of the counter
    if (elapsed > kTimeoutMs) {
      Log(LOG_ERROR, "CSpoolerClass::WaitForService - QueryServiceStatusEx Failed. Timeout");
      result = false;
      if (state != desiredState && elapsed >= kGiveUpMs) {
        Log(LOG_ERROR, "CSpoolerClass::WaitForService - Gave up after %u ms waiting for state 0x%08x", elapsed,
            desiredState);
        return false;
      }
    }
    Sleep(kPollMs);
    if (state == desiredState) return result;
  }
}

bool CSpoolerClass::QuerySpoolerStatus() {
  DWORD state = 0;
  if (!QueryState(m_hService.get(), &state)) {
    Log(LOG_ERROR, "CSpoolerClass::QuerySpoolerStatus - QueryServiceStatusEx Failed. GetLastError(): %d",
        LastError());
    return false;
  }
  if (state == SERVICE_RUNNING) return true;
  Log(LOG_INFO, "Spooler State (0x%08x) do not match Required (0x%08x)", state, SERVICE_RUNNING);
  return false;
}

bool CSpoolerClass::StartSpooler() {
  DWORD state = 0;
  if (!QueryState(m_hService.get(), &state)) {
    Log(LOG_ERROR, "CSpoolerClass::StartSpooler - QueryServiceStatusEx Failed. GetLastError(): %d", LastError());
    return false;
  }
  if (state == SERVICE_RUNNING) return true;
  if ((state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) && !WaitForService(m_hService.get(), SERVICE_STOPPED))
    return false;
  if (!StartServiceW(m_hService.get(), 0, NULL)) {
    Log(LOG_ERROR, "CSpoolerClass::StartSpooler - Start Spooler Service Failed. GetLastError(): %d", LastError());
    return false;
  }
  if (!WaitForService(m_hService.get(), SERVICE_RUNNING)) return false;
  Log(LOG_DEBUG, "Spooler Service Started");
  return true;
}

bool CSpoolerClass::StopSpooler() {
  if (!m_bInitialized) {
    Log(LOG_ERROR, "CSpoolerClass::StopSpooler - Not Initialized!");
    return false;
  }
  DWORD state = 0;
  if (!QueryState(m_hService.get(), &state)) {
    Log(LOG_ERROR, "CSpoolerClass::StopSpooler - QueryServiceStatusEx Failed. GetLastError(): %d", LastError());
    return false;
  }
  if (state == SERVICE_STOPPED) return true;
  if (state == SERVICE_STOP_PENDING) return WaitForService(m_hService.get(), SERVICE_STOPPED);
  if (!StopDependentServices(m_hService.get(), m_hManager.get())) {
    Log(LOG_ERROR, "CSpoolerClass::StopSpooler - StopDependentServices Failed.");
    return false;
  }
  SERVICE_STATUS status;
  if (!ControlService(m_hService.get(), SERVICE_CONTROL_STOP, &status)) {
    Log(LOG_ERROR, "CSpoolerClass::StopSpooler - Stop Spooler Service Failed. GetLastError(): %d", LastError());
    return false;
  }
  if (!WaitForService(m_hService.get(), SERVICE_STOPPED)) return false;
  Log(LOG_DEBUG, "Spooler Service Stopped");
  return true;
}

bool CSpoolerClass::StopDependentServices(SC_HANDLE service, SC_HANDLE manager) {
  DWORD needed = 0, count = 0;
  if (EnumDependentServicesW(service, SERVICE_ACTIVE, NULL, 0, &needed, &count)) return true;
  if (GetLastError() != ERROR_MORE_DATA) {
    Log(LOG_ERROR, "CSpoolerClass::StopDependentSerivces - EnumDependentServices Failed. GetLastError(): %d",
        LastError());
    return false;
  }
  UniqueHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  LPENUM_SERVICE_STATUSW dependents = static_cast<LPENUM_SERVICE_STATUSW>(block.get());
  if (!dependents) {
    Log(LOG_ERROR, "CSpoolerClass::StopDependentServices - HeapAlloc Failed. GetLastError(): %d", LastError());
    return false;
  }
  bool result = true;
  if (!EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, needed, &needed, &count)) {
    Log(LOG_ERROR, "CSpoolerClass::StopDependentServices - EnumDependentServices Failed. GetLastError(): %d",
        LastError());
    result = false;
  } else {
    for (DWORD i = 0; i < count; ++i) {
      UniqueService dependent(
          OpenServiceW(manager, dependents[i].lpServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
      if (!dependent.get()) {
        Log(LOG_ERROR, "CSpoolerClass:::StopDependentServices - EnumDependentServices Failed. GetLastError():%d",
            LastError());
        result = false;
        break;
      }
      SERVICE_STATUS status;
      if (!ControlService(dependent.get(), SERVICE_CONTROL_STOP, &status)) {
        Log(LOG_ERROR, "CSpoolerClass::StopDependentServices - ControlService Failed. GetLastError(): %d",
            LastError());
        result = false;
        break;
      }
      WaitForService(dependent.get(), SERVICE_STOPPED);
    }
  }
  return result;
}
