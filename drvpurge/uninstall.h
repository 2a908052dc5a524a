// The component set and its removal run.
#pragma once

class CUninstallClass {
 public:
  CUninstallClass();
  ~CUninstallClass();
  // The run's result code: 0, 3012, -30 or 5.
  int Run();
};
