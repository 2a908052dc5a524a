// Helpers shared by the tests: temporary machines, running the built programs, capturing what
// is written to a file descriptor, reading files.
#pragma once

#include <sys/types.h>

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

// Starts PROGRAM (a path, or a name in the build's bin directory) with ARGS, in directory CWD, with
// ENV added to the environment (an empty value removes the variable), its standard output and
// error written to the files OUT and ERR (inherited where a name is empty). Returns its process ID.
pid_t Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
            const std::map<std::string, std::string>& env, const std::string& out, const std::string& err);

// Start, waiting for the end, with what the program wrote.
ProcessResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                  const std::map<std::string, std::string>& env = {});

// Everything written to file descriptor FD while the object lives, stdio flushed at both ends.
class FdCapture {
 public:
  explicit FdCapture(int fd = 2);
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  // What was written since the capture began or since the last Take; the capture goes on.
  std::string Take();
  // Ends the capture, giving back what Take would.
  std::string Stop();

 private:
  void Restore();
  int fd_, saved_ = -1, file_ = -1;
  std::string path_;
};

std::string BinPath(const std::string& name);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
std::vector<std::string> Lines(const std::string& text);  // splits on "\n", drops a trailing "\r"

// Creates a machine directory from a built-in image (the winsim command's init).
void CreateMachineDir(const std::string& dir, const std::string& image = "xp-sp2-q52");

}  // namespace testsupport
