// The component set and its removal run.
#pragma once

#include "generic.h"

class CUninstallClass {
 public:
  CUninstallClass();
  ~CUninstallClass();

  // False when a component could not be made (out of memory): the set must not run then.
  bool IsCreated() const;
  // The run's result code: 0, 3012 (spooler not started, or the driver not installed), -30 (jobs
  // queued, or the printers or the queue can't be read) or 5 (the driver or the monitor removal
  // failed, or either is still installed after it or can't be listed).
  int Run();
  // The components' file lists in set order, stopping at the first that fails; then the install
  // directory and the uninstall key. True when every list was removed.
  bool RemoveFiles();

 private:
  // True, and logged, when the driver or the monitor is still installed after its removal, or
  // the spooler can't be asked, or either list can't be had.
  bool PrintObjectsRemain();

  CUninstallClass(const CUninstallClass&) = delete;
  CUninstallClass& operator=(const CUninstallClass&) = delete;

  // A component of the set, and the file list that names it in the log: while it is unbound it
  // may not know its kind yet.
  struct Member {
    CGenericClass* component;
    ComponentKind kind;
  };
  // The places in the set, which is also the order the files go in.
  enum Place { kApi, kMonitor, kPrinterDriver, kPrinter, kPackage, kPlaces };

  template <typename Component>
  Component* At(Place place) const {
    return static_cast<Component*>(m_members[place].component);
  }

  Member m_members[kPlaces];
};
