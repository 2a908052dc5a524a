// The package itself: its install directory and its Add/Remove Programs entry.
#pragma once

#include "generic.h"

extern const wchar_t kInstallDirectory[];
extern const wchar_t kUninstallKey[];

// The install directory, bound to the "API" list so that the copies of the interface files kept
// there go before the directory does.
class CQ52PLXClass : public CGenericClass {
 public:
  CQ52PLXClass();

  // Empties and removes the target directory; every outcome is logged, none is returned.
  void RemoveInstallDirectory();
  // True when the target directory is a link (a junction) or can't be told not to be one: its
  // files are then not the package's, and nothing is deleted through it.
  bool TargetMayBeLink() const;
};

// Deletes the package's Add/Remove Programs key with everything below it; the outcome is logged.
void DeleteUninstallKey();
