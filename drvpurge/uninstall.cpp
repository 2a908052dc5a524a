#include "uninstall.h"

#include "log.h"

// The print-system components and the removal run are not part of this build yet: a run that
// passes the gates removes nothing and says so, with the result for a removal that did not happen.
CUninstallClass::CUninstallClass() {}

CUninstallClass::~CUninstallClass() {}

int CUninstallClass::Run() {
  Log(LOG_ERROR, "CUninstallClass::Run - the removal run is not part of this build; nothing was removed.");
  return 5;
}
