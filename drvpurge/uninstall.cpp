#include "uninstall.h"

#include <new>

#include "generic.h"
#include "log.h"
#include "monitor.h"
#include "printer.h"
#include "printerdriver.h"
#include "q52plx.h"
#include "spooler.h"

namespace {

const int kPrinterNotFound = 3012;  // ERROR_PRINTER_NOT_FOUND
const int kJobsQueued = -30;
const int kRemovalFailed = 5;  // the value of ERROR_ACCESS_DENIED

}  // namespace

CUninstallClass::CUninstallClass()
    : m_pApi(NULL), m_pMonitor(NULL), m_pPrinterDriver(NULL), m_pPrinter(NULL), m_pQ52PLX(NULL) {
  // Each binds its own directory as it is made; a failed binding leaves that component unbound
  // and shows later, when its file list refuses to run.
  m_pApi = new (std::nothrow) CApiClass();
  m_pMonitor = new (std::nothrow) CMonitorClass();
  m_pPrinterDriver = new (std::nothrow) CPrinterDriverClass();
  m_pPrinter = new (std::nothrow) CPrinterClass();
  m_pQ52PLX = new (std::nothrow) CQ52PLXClass();
}

CUninstallClass::~CUninstallClass() {
  delete m_pApi;
  delete m_pMonitor;
  delete m_pPrinterDriver;
  delete m_pPrinter;
  delete m_pQ52PLX;
}

bool CUninstallClass::IsCreated() const {
  return m_pApi && m_pMonitor && m_pPrinterDriver && m_pPrinter && m_pQ52PLX;
}

int CUninstallClass::Run() {
  if (!IsCreated()) return kRemovalFailed;

  CSpoolerClass& spooler = Spooler();
  if (!spooler.QuerySpoolerStatus()) {
    LogQuick(LOG_ERROR, "Spooler not started. Attempting to start spooler");
    if (!spooler.StartSpooler()) return kPrinterNotFound;
    // The driver component asked the spooler for its directory when it was made, while the
    // spooler was down: bound now, its files go with the others instead of stopping the file step.
    if (!m_pPrinterDriver->initialized()) {
      CPrinterDriverClass* rebound = new (std::nothrow) CPrinterDriverClass();
      if (rebound) {
        delete m_pPrinterDriver;
        m_pPrinterDriver = rebound;
      }
    }
  }

  // Without the driver this is not the package's machine (or it is gone already): touch nothing.
  if (!m_pPrinterDriver->IsInstalled()) return kPrinterNotFound;

  // A missing printer is no reason to stop; queued jobs are.
  if (m_pPrinter->Remove() == kJobsQueued) return kJobsQueued;

  if (m_pPrinterDriver->Remove() != 0) return kRemovalFailed;
  if (m_pMonitor->Remove() != 0) return kRemovalFailed;

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
  bool remain = m_pPrinterDriver->IsPrinterDriverInstalled(false, &listed);
  if (!remain && listed) remain = m_pMonitor->IsMonitorInstalled(&listed);
  if (!listed) {
    LogQuick(LOG_ERROR, "CUninstallClass::Run - Printer Driver or Monitor could not be listed. Package files kept.");
    return true;
  }
  if (remain) LogQuick(LOG_ERROR, kStillInstalled);
  return remain;
}

bool CUninstallClass::RemoveFiles() {
  if (!IsCreated()) return false;
  CGenericClass* const components[] = {m_pApi, m_pMonitor, m_pPrinterDriver, m_pPrinter, m_pQ52PLX};
  // A component that failed to bind may not have its kind yet: name it by its place in the set.
  const ComponentKind kinds[] = {kApiComponent, kMonitorComponent, kPrinterDriverComponent, kPrinterComponent,
                                 kApiComponent};
  for (size_t i = 0; i < sizeof(components) / sizeof(components[0]); ++i) {
    // An unbound list refuses without a word; say which one stopped the file step.
    if (!components[i]->initialized())
      WLog(LOG_ERROR, L"CUninstallClass::RemoveFiles - %s Not Initialized!", g_ComponentFiles[kinds[i]].displayName);
    // The install directory's list would delete through a junction planted in its place; the
    // directory step removes such a link and nothing behind it.
    if (components[i] == m_pQ52PLX && m_pQ52PLX->TargetMayBeLink()) continue;
    if (!components[i]->RemoveDependentFiles(components[i]->targetDirectory())) return false;
  }
  m_pQ52PLX->RemoveInstallDirectory();
  DeleteUninstallKey();
  return true;
}
