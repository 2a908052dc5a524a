// What the tests of the print-system components share: editing and reading the machine's spooler
// state, the log of one step without the service waits' polling lines, and the package's source
// folders in a scratch current directory for the install side.
#pragma once

#include <gtest/gtest.h>
#include <ctype.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "checks.h"
#include "generic.h"
#include "spooler_fixture.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/model_services.h"
#include "winsim/model_spooler.h"
#include "winsim/print.h"

namespace drvtest {

using nlohmann::json;

// machine.json as a test edits or reads it, the spooler and the services as their structs.
struct MachineFile {
  json doc;
  winsim::model::Spooler spooler;
  std::vector<winsim::model::Service> services;

  explicit MachineFile(const std::string& text)
      : doc(json::parse(text)), spooler(winsim::model::SpoolerOf(doc)), services(winsim::model::ServicesOf(doc)) {}
  std::string Text() {
    winsim::model::SetSpooler(doc, spooler);
    winsim::model::SetServices(doc, services);
    return doc.dump(2);
  }
  json& operator[](const char* key) { return doc[key]; }
  operator json&() { return doc; }
};

inline std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }  // ASCII only

// Whether LINE begins with a log line's date stamp, "dd/mm/yyyy ".
inline bool IsStamped(const std::string& line) {
  static const char kShape[] = "00/00/0000 ";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i)
    if (kShape[i] == '0' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != kShape[i]) return false;
  return true;
}

class PrintSystemTest : public MachineTest {
 protected:
  // Starts over on a fresh machine from the image (for the rows of a table), after checking that
  // the row before gave back its handles.
  void FreshMachine() {
    DropSpooler();
    EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{})) << "handles left open";
    machine_.reset();
    machine_ = std::make_unique<testsupport::TempMachine>();
  }

  // Edits machine.json between two loads; the spooler object is made anew on first use.
  void EditMachine(const std::function<void(MachineFile&)>& edit) {
    DropSpooler();
    winsim::ReleaseMachine();
    std::string path = machine_->dir() + "/machine.json";
    MachineFile file(testsupport::ReadFile(path));
    edit(file);
    testsupport::WriteFile(path, file.Text());
    winsim::UseMachine(machine_->dir());
  }

  // The machine as it would be written back now. Read the run's changes before: a reload starts
  // a new run report.
  MachineFile MachineDoc() {
    DropSpooler();
    winsim::ReleaseMachine();
    MachineFile file(testsupport::ReadFile(machine_->dir() + "/machine.json"));
    winsim::UseMachine(machine_->dir());
    return file;
  }

  // Runs STEP and returns what it logged, leaving out the polling lines of the service waits,
  // whose number follows the services' timings. Other lines on standard error (winsim's note of a
  // message box, whose text may span lines) are left out too.
  std::vector<LogEntry> LogOf(const std::function<void()>& step) {
    TakeLog();
    std::string raw;
    {
      FdCapture capture(2);
      step();
      raw = capture.Stop();
    }
    std::string logOnly;
    for (size_t pos = 0; pos < raw.size();) {
      size_t end = raw.find('\n', pos);
      end = end == std::string::npos ? raw.size() : end + 1;
      std::string line = raw.substr(pos, end - pos);
      if (IsStamped(line)) logOnly += line;
      pos = end;
    }
    std::vector<LogEntry> out;
    for (const LogEntry& e : ParseLog(logOnly))
      if (e.text.rfind("CSpoolerClass::WaitForService - ssp.dwCurrentState:", 0) != 0) out.push_back(e);
    return out;
  }

  // Makes a scratch directory the current one, holding the source folder of KIND with its files
  // except those named in MISSING; the old current directory comes back at the end of the test.
  void UseSourceFolder(ComponentKind kind, const std::vector<std::wstring>& missing = {}) {
    if (!cwd_) {
      cwd_ = std::make_unique<testsupport::TempDir>();
      oldCwd_ = std::filesystem::current_path();
      std::filesystem::current_path(cwd_->path());
    }
    const ComponentFiles& entry = g_ComponentFiles[kind];
    std::string folder = Narrow(entry.sourceFolder);
    for (char& c : folder)
      if (c == '\\') c = '/';
    std::filesystem::create_directories(cwd_->path() + "/" + folder);
    for (const wchar_t* f : entry.files) {
      if (f == nullptr) continue;
      bool skip = false;
      for (const std::wstring& m : missing) skip = skip || m == f;
      if (!skip) testsupport::WriteFile(cwd_->path() + "/" + folder + "/" + Narrow(f), "new " + Narrow(f));
    }
  }

  void TearDown() override {
    MachineTest::TearDown();
    if (cwd_) std::filesystem::current_path(oldCwd_);
    cwd_.reset();
  }

 private:
  std::unique_ptr<testsupport::TempDir> cwd_;
  std::filesystem::path oldCwd_;
};

// The object lists of machine.json's spooler.
inline std::vector<winsim::model::Printer>& Printers(MachineFile& m) { return m.spooler.printers; }
inline std::vector<winsim::model::Driver>& Drivers(MachineFile& m) { return m.spooler.drivers; }
inline std::vector<winsim::model::Monitor>& Monitors(MachineFile& m) { return m.spooler.monitors; }
inline std::vector<winsim::model::Port>& Ports(MachineFile& m) { return m.spooler.ports; }

inline winsim::model::Printer PrinterOn(const std::string& name, const std::string& driver, const std::string& port,
                                        unsigned jobs) {
  winsim::model::Printer p;
  p.name = name;
  p.driver = driver;
  p.port = port;
  p.jobs = jobs;
  return p;
}
inline winsim::model::Port PortOf(const std::string& name, const std::string& monitor, const std::string& description) {
  winsim::model::Port p;
  p.name = name;
  p.monitor = monitor;
  p.description = description;
  return p;
}

inline void SetServiceState(MachineFile& m, const std::string& service, const std::string& state) {
  for (auto& s : m.services)
    if (s.name == service) s.state = state;
}

template <typename T>
std::vector<std::string> Names(const std::vector<T>& list) {
  std::vector<std::string> out;
  for (const T& o : list) out.push_back(o.name);
  return out;
}

// Takes a file off the machine behind the API's back, so that setting up a test leaves no line in
// the run's changes. False when there was no such file.
inline bool RemoveMachineFile(const std::wstring& windowsPath) {
  std::error_code ec;
  return std::filesystem::remove(winsim::HostPath(windowsPath), ec);
}

// The stop and start of the spooler as the run report lists them.
inline const std::vector<std::string> kSpoolerRestart = {"StopService Spooler", "StartService Spooler"};

}  // namespace drvtest
