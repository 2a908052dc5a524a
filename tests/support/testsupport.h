// Helpers shared by the tests: temporary machines, running the built programs, reading files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A directory that is removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// A fresh machine made from a built-in image, used by this process (winsim::UseMachine) while
// the object lives. With a virtual clock by default, so tests don't wait.
class TempMachine {
 public:
  explicit TempMachine(const std::string& image = "xp-sp2-q52", bool virtualClock = true);
  ~TempMachine();
  const std::string& dir() const { return dir_; }

 private:
  TempDir tmp_;
  std::string dir_;
};

struct ProcessResult {
  int status = -1;  // exit status (0-255), or 128 + signal
  std::string out, err;
};

// Runs PROGRAM (a path, or a name in the build's bin directory) with ARGS, in directory CWD, with
// ENV added to the environment (an empty value removes the variable).
ProcessResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                  const std::map<std::string, std::string>& env = {});

std::string BinPath(const std::string& name);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
std::vector<std::string> Lines(const std::string& text);  // splits on "\n", drops a trailing "\r"

// Creates a machine directory from a built-in image (the winsim command's init).
void CreateMachineDir(const std::string& dir, const std::string& image = "xp-sp2-q52");

}  // namespace testsupport
