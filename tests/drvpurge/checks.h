// What drvpurge is expected to print and log, and reading what it did, for the drvpurge tests.
#pragma once

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

namespace drvtest {

struct LogEntry {
  std::string level;  // the five-character name as written, "Info " included
  std::string text;
  bool operator==(const LogEntry& o) const { return level == o.level && text == o.text; }
};
void PrintTo(const LogEntry& e, std::ostream* os);

LogEntry Error(const std::string& text);
LogEntry Info(const std::string& text);
LogEntry Trace(const std::string& text);

extern const char kLaterReleaseMessage[];
// A .reg file that makes the later release look installed.
extern const char kLaterReleaseReg[];

// The six Trace lines of the version gate, for the version reported.
std::vector<LogEntry> VersionTrace(uint32_t major, uint32_t minor, uint32_t build, uint32_t platform,
                                   const std::string& csd);

// What PrintBanner writes to standard output, captured in this process.
std::string CapturedBanner();

// Splits logger output into entries. Every line must have the stamp "dd/mm/yyyy hh:mm:ss.mmm",
// the tabs and the CRLF ending; a line that does not is reported as a test failure.
std::vector<LogEntry> ParseLog(const std::string& raw);

// Everything written to one file descriptor while the object lives (stdio flushed first).
class FdCapture {
 public:
  explicit FdCapture(int fd);
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  std::string Stop();

 private:
  void Restore();
  int fd_, saved_ = -1;
  std::string path_;
};

}  // namespace drvtest
