#include "checks.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <regex>

#include "entry.h"
#include "testsupport.h"

namespace drvtest {

void PrintTo(const LogEntry& e, std::ostream* os) { *os << "[" << e.level << "] " << e.text; }

LogEntry Error(const std::string& text) { return {"Error", text}; }
LogEntry Info(const std::string& text) { return {"Info ", text}; }
LogEntry Trace(const std::string& text) { return {"Trace", text}; }

const char kLaterReleaseMessage[] =
    "\nA version of PLX that is later than PLX 2.5.0 is installed.\nThis Uninstaller will not execute. \n"
    "Use Add/Remove Programs to remove Post PLX 2.5.0 versions from your system.\n\n";
const char kLaterReleaseReg[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D0C7A21-8E34-4B9F-A1C6-72E0B5F3D914}]\r\n"
    "\"DisplayName\"=\"Vexa Q52 PLX 3.0.1\"\r\n";

std::vector<LogEntry> VersionTrace(uint32_t major, uint32_t minor, uint32_t build, uint32_t platform,
                                   const std::string& csd) {
  // The structure's own size: 276 on Windows, more where wchar_t is 4 bytes.
  return {Trace("dwOSVersionInfoSize: " + std::to_string(sizeof(OSVERSIONINFOW))),
          Trace("dwMajorVersion: " + std::to_string(major)),
          Trace("dwMinorVersion: " + std::to_string(minor)),
          Trace("dwBuildNumber: " + std::to_string(build)),
          Trace("dwPlatformId: " + std::to_string(platform)),
          Trace("szCSDVersion: '" + csd + "'")};
}

std::string CapturedBanner() {
  FdCapture out(1);
  PrintBanner();
  return out.Stop();
}

std::vector<LogEntry> ParseLog(const std::string& raw) {
  static const std::regex kLine(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\t(.{5})\t(.*))");
  std::vector<LogEntry> out;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "log line without CRLF ending: '" << raw.substr(pos) << "'";
      break;
    }
    std::string line = raw.substr(pos, end - pos);
    std::smatch m;
    if (std::regex_match(line, m, kLine)) out.push_back({m[1], m[2]});
    else ADD_FAILURE() << "malformed log line: '" << line << "'";
    pos = end + 2;
  }
  return out;
}

FdCapture::FdCapture(int fd) : fd_(fd) {
  char tmpl[] = "/tmp/drvtest-capture-XXXXXX";
  int tmp = mkstemp(tmpl);
  if (tmp < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  fflush(stdout);
  fflush(stderr);
  saved_ = dup(fd_);
  dup2(tmp, fd_);
  close(tmp);
}

void FdCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
}

std::string FdCapture::Stop() {
  Restore();
  return testsupport::ReadFile(path_);
}

FdCapture::~FdCapture() {
  Restore();
  unlink(path_.c_str());
}

}  // namespace drvtest
