#include "fuzzsupport.h"

#include <sanitizer/common_interface_defs.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "winsim/control.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {
struct ScratchDir {
  std::string path;
  ScratchDir() {
    // Memory-backed when the host has it: some targets make and remove a machine per input, and
    // on a disk file system the inodes cost more than the product's code.
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm")
                                                                                        : fs::temp_directory_path();
    std::string tmpl = (base / "q52fuzz-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) Finding("mkdtemp failed");
    path = buf.data();
  }
  ~ScratchDir() {
    // The machine is written back at exit, after this: release it first.
    winsim::ReleaseMachine();
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};
}  // namespace

const std::string& Scratch() {
  static ScratchDir dir;
  return dir.path;
}

std::string NewMachine(const std::string& name) {
  std::string dir = Scratch() + "/" + name;
  std::error_code ec;
  fs::remove_all(dir, ec);
  winsim::CreateMachine(dir);
  return dir;
}

void ImportReg(const std::string& text) { winsim::ImportRegText("Windows Registry Editor Version 5.00\r\n\r\n" + text); }

std::string TraceToConsole(const std::string& program) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\" + program +
         "\\Logger]\r\n\"Level\"=dword:00000004\r\n\"IsConsole\"=dword:00000001\r\n";
}

void CheckNoOpenHandles(const char* after) {
  std::map<std::string, int> open = winsim::OpenHandles();
  if (open.empty()) return;
  std::string list;
  for (auto& [kind, n] : open) list += " " + kind + "=" + std::to_string(n);
  Finding(std::string("handles left open after ") + after + ":" + list);
}

void Finding(const std::string& what) {
  // Through the sanitizers' report file: the targets run with standard error closed, since the
  // product logs every line there.
  __sanitizer_report_error_summary(("FINDING: " + what).c_str());
  std::abort();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) Finding("cannot write " + path);
}

}  // namespace fuzz
