// A simulated machine whose INF directory holds exactly the INF files a test gives, and the log
// lines the installer's code writes while a test looks.
#pragma once

#include <string>
#include <vector>

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

struct LogLine {
  std::string level, text;
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};
void PrintTo(const LogLine& l, std::ostream* os);
LogLine Error(const std::string& text);
LogLine Trace(const std::string& text);

// The logger's lines written to standard error while the object lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<LogLine> Stop();

 private:
  void Restore();
  int saved_ = -1;
  std::string path_;
};

// Texts of LINES, for tests that look for one line among many.
std::vector<std::string> Texts(const std::vector<LogLine>& lines);
size_t CountText(const std::vector<LogLine>& lines, const std::string& text);

}  // namespace bulktest
