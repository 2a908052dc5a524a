#include "spooler_fixture.h"

#include "winsim/control.h"
#include "winsim/heap.h"

namespace {
std::unique_ptr<CSpoolerClass>& Slot() {
  static std::unique_ptr<CSpoolerClass> spooler;
  return spooler;
}
}  // namespace

// The test binary's definition: drvpurge's own is a global built before main.
CSpoolerClass& Spooler() {
  if (!Slot()) Slot().reset(new CSpoolerClass());
  return *Slot();
}

namespace drvtest {

CSpoolerClass& ResetSpooler() {
  Slot().reset();
  Slot().reset(new CSpoolerClass());
  return *Slot();
}

void DropSpooler() { Slot().reset(); }

void MachineTest::SetUp() {
  machine_ = std::make_unique<testsupport::TempMachine>();
  heapBlocks_ = winsim::HeapBlocksInUse();
  log_ = std::make_unique<FdCapture>(2);
}

std::vector<LogEntry> MachineTest::TakeLog() { return ParseLog(log_->Take()); }

void MachineTest::TearDown() {
  DropSpooler();
  log_.reset();
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{})) << "handles left open";
  EXPECT_EQ(winsim::HeapBlocksInUse(), heapBlocks_) << "heap blocks not freed";
  machine_.reset();
}

}  // namespace drvtest
