#include "uninstall.h"

#include <new>

#include "generic.h"
#include "log.h"
#include "portmonitor.h"
#include "printer.h"
#include "printerdriver.h"
#include "q52plx.h"
#include "results.h"
#include "spooler.h"

// One row per Place, made in that order. Each binds its own directory as it is made; a failed
// binding leaves that component unbound and shows later, when its file list refuses to run.
CUninstallClass::CUninstallClass()
    : m_members{{new (std::nothrow) CApiClass(), kApiComponent},
                {new (std::nothrow) CMonitorClass(), kMonitorComponent},
                {new (std::nothrow) CPrinterDriverClass(), kPrinterDriverComponent},
                {new (std::nothrow) CPrinterClass(), kPrinterComponent},
                // The install directory, with the API list: the interface files it keeps copies of.
                {new (std::nothrow) CQ52PLXClass(), kApiComponent}} {}

CUninstallClass::~CUninstallClass() {
  for (const Member& member : m_members) delete member.component;
}

bool CUninstallClass::IsCreated() const {
  for (const Member& member : m_members)
    if (!member.component) return false;
  return true;
}

int CUninstallClass::Run() {
  if (!IsCreated()) return kRemovalFailed;

  CSpoolerClass& spooler = Spooler();
  if (!spooler.QuerySpoolerStatus()) {
    LogQuick(LOG_ERROR, "Spooler not started. Attempting to start spooler");
    if (!spooler.StartSpooler()) return kPrinterNotFound;
    // The driver component asked the spooler for its directory when it was made, while the
    // spooler was down: bound now, its files go with the others instead of stopping the file step.
    CGenericClass*& driver = m_members[kPrinterDriver].component;
    if (!driver->initialized()) {
      CPrinterDriverClass* rebound = new (std::nothrow) CPrinterDriverClass();
      if (rebound) {
        delete driver;
        driver = rebound;
      }
    }
  }

  // Without the driver this is not the package's machine (or it is gone already): touch nothing.
  if (!m_members[kPrinterDriver].component->IsInstalled()) return kPrinterNotFound;

  // A missing printer is no reason to stop; queued jobs are.
  if (m_members[kPrinter].component->Remove() == kJobsQueued) return kJobsQueued;

  if (m_members[kPrinterDriver].component->Remove() != 0) return kRemovalFailed;
  if (m_members[kMonitor].component->Remove() != 0) return kRemovalFailed;

  // The removals report 0 once they have tried, also when the spooler refused a deletion. Files
  // taken from under a driver or monitor that is still registered leave a broken printer system
  // behind a result that says success: keep the package then, and say the run failed.
  if (PrintObjectsRemain()) return kRemovalFailed;

  // Its failures are in the log; the objects that mattered are gone by now.
  RemoveFiles();
  return 0;
}

bool CUninstallClass::PrintObjectsRemain() {
  static const char kStillInstalled[] =
      "CUninstallClass::Run - Printer Driver or Monitor still installed. Package files kept.";
  // The listings can only tell that an object is gone while the spooler answers them; a list that
  // could not be had is no sign that anything went.
  CSpoolerClass& spooler = Spooler();
  if (!spooler.QuerySpoolerStatus() && !spooler.StartSpooler()) {
    LogQuick(LOG_ERROR, kStillInstalled);
    return true;
  }
  bool listed = true;
  bool remain = At<CPrinterDriverClass>(kPrinterDriver)->IsPrinterDriverInstalled(false, &listed);
  if (!remain && listed) remain = At<CMonitorClass>(kMonitor)->IsMonitorInstalled(&listed);
  if (!listed) {
    LogQuick(LOG_ERROR, "CUninstallClass::Run - Printer Driver or Monitor could not be listed. Package files kept.");
    return true;
  }
  if (remain) LogQuick(LOG_ERROR, kStillInstalled);
  return remain;
}

bool CUninstallClass::RemoveFiles() {
  if (!IsCreated()) return false;
  CQ52PLXClass* package = At<CQ52PLXClass>(kPackage);
  for (const Member& member : m_members) {
    CGenericClass* component = member.component;
    // An unbound list refuses without a word; say which one stopped the file step.
    if (!component->initialized())
      WLog(LOG_ERROR, L"CUninstallClass::RemoveFiles - %s Not Initialized!", g_ComponentFiles[member.kind].displayName);
    // The install directory's list would delete through a junction planted in its place; the
    // directory step removes such a link and nothing behind it.
    if (component == package && package->TargetMayBeLink()) continue;
    if (!component->RemoveDependentFiles(component->targetDirectory())) return false;
  }
  package->RemoveInstallDirectory();
  DeleteUninstallKey();
  return true;
}
