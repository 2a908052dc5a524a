// The console program's entry: drvpurge removes an older release of the Vexa Q52 PLX driver
// package, then prints, logs and returns one result code.
#include <stdio.h>

#include <new>

#include "log.h"
#include "main.h"
#include "results.h"
#include "uninstall.h"

int main(int argc, char* argv[]) {
  int result = 0;
  ParseArguments(argc, argv);
  if (g_bRunUninstall) {
    PrintBanner();
    if (CheckOSVersion() && CheckLaterVersion()) {
      CUninstallClass* components = new (std::nothrow) CUninstallClass();
      // A set that lacks a component (out of memory) counts as not created.
      if (!components || !components->IsCreated())
        result = kRemovalFailed;
      else
        result = components->Run();
      delete components;
    }
  }
  Log(result == 0 ? LOG_INFO : LOG_ERROR, "drvpurge Run Complete - Error Code: %d", result);
  printf("drvpurge Run Complete. Error Code: %d\n", result);
  return result;
}
