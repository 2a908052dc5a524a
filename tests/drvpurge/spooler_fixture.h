// What the component tests share: the test binary's spooler object, and a fixture that gives each
// test a fresh machine with a virtual clock, captures the log, and checks at the end that every
// handle and heap block the test caused was given back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "checks.h"
#include "spooler.h"
#include "testsupport.h"

namespace drvtest {

using testsupport::Debug;

// Makes the process's spooler object anew on the current machine, so that its Initialize sees
// what the test has set up. Spooler() makes one on first use when no test has.
CSpoolerClass& ResetSpooler();
// Destroys the spooler object, closing its handles.
void DropSpooler();

class MachineTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The log lines written since the test began or since the last call.
  std::vector<LogEntry> TakeLog();

  std::unique_ptr<testsupport::TempMachine> machine_;

 private:
  std::unique_ptr<FdCapture> log_;
  size_t heapBlocks_ = 0;
};

}  // namespace drvtest
