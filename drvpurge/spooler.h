// The print spooler service: whether it runs, starting it, and stopping it with its dependents.
#pragma once

#include <windows.h>

#include "unique_resource.h"

class CSpoolerClass {
 public:
  CSpoolerClass();   // Initialize
  ~CSpoolerClass();  // closes the manager handle, then the service handle

  void Initialize();
  bool QuerySpoolerStatus();
  bool StartSpooler();
  bool StopSpooler();
  bool StopDependentServices(SC_HANDLE service, SC_HANDLE manager);
  bool WaitForService(SC_HANDLE service, DWORD desiredState);

  bool initialized() const { return m_bInitialized; }

 private:
  bool m_bInitialized;
  UniqueService m_hManager;
  UniqueService m_hService;
};

// The process's one spooler object. In drvpurge it is a global constructed before main
// (spooler_instance.cpp, linked into the program only); a test binary supplies its own definition
// so that the object can be made after the test has chosen its machine.
CSpoolerClass& Spooler();
