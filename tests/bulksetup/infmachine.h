// A simulated machine whose INF directory holds exactly the INF files a test gives, and the
// shared log-line names the installer's tests use.
#pragma once

#include <string>
#include <vector>

#include "loglines.h"
#include "testsupport.h"

namespace bulktest {

struct StagedFile {
  std::string name;          // in C:\WINDOWS\inf
  std::string text;          // the INF itself
  std::string originalName;  // recorded in machine.json `infs`; empty for a file not staged there
  std::string originalCatalog = "vexaq52drv.cat";
};

// Made from the default image with its INF directory replaced by FILES (listed in this order in
// machine.json), logging everything to standard error only. SupportedInf is released before the
// machine goes, so that its INF handle is closed on the machine that opened it.
class InfMachine {
 public:
  explicit InfMachine(const std::vector<StagedFile>& files);
  // One of the example machines of examples/machines, by its folder name.
  struct Example {
    std::string name;
  };
  explicit InfMachine(const Example& example);
  ~InfMachine();
  const std::string& dir() const { return dir_; }

 private:
  void Use();
  testsupport::TempDir tmp_;
  std::string dir_;
};

// The text of an INF for the Vexa Q52 USB bulk driver. MANUFACTURER is the value of the
// [Manufacturer] line and MODELS the sections that follow (with their headers).
std::string BulkInf(const std::string& driverVer, const std::string& manufacturer = "%Vexa%=Vexa",
                    const std::string& models = "[Vexa]\r\n"
                                                "%Q52.DeviceDesc%=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\n"
                                                "%Q52.DeviceDesc%=Q52Bulk.Dev, USB\\VID_F0F0&PID_0053&MI_00\r\n");

using testsupport::CountText;
using testsupport::Error;
using testsupport::LogLine;
using testsupport::Texts;
using testsupport::Trace;

}  // namespace bulktest
