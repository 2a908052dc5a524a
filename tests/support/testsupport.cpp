#include "testsupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "winsim/control.h"

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "q52test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

TempMachine::TempMachine(const std::string& image, bool virtualClock) : dir_(tmp_ / "machine") {
  winsim::CreateMachine(dir_, image);
  winsim::UseMachine(dir_);
  if (virtualClock) winsim::SetVirtualClock(1796573829042LL);  // 2026-12-06T16:17:09.042Z
}

TempMachine::~TempMachine() { winsim::ReleaseMachine(); }

std::string BinPath(const std::string& name) {
  return name.find('/') != std::string::npos ? name : std::string(Q52_BIN_DIR) + "/" + name;
}

pid_t Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
            const std::map<std::string, std::string>& env, const std::string& out, const std::string& err) {
  // Everything is made before the fork, so that the child only redirects and executes.
  const std::string exe = BinPath(program);
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string var(*e);
    if (!env.count(var.substr(0, var.find('=')))) vars.push_back(var);
  }
  for (auto& [k, v] : env)
    if (!v.empty()) vars.push_back(k + "=" + v);
  std::vector<char*> argv{const_cast<char*>(exe.c_str())}, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& v : vars) envp.push_back(const_cast<char*>(v.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const std::pair<int, const std::string*> redirects[] = {{1, &out}, {2, &err}};
    for (auto& [fd, file] : redirects) {
      if (file->empty()) continue;
      int to = open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (to < 0 || dup2(to, fd) < 0) _exit(127);
      if (to != fd) close(to);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

ProcessResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                  const std::map<std::string, std::string>& env) {
  TempDir tmp;
  pid_t pid = Start(program, args, cwd, env, tmp / "out", tmp / "err");
  int status = 0;
  waitpid(pid, &status, 0);
  ProcessResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(tmp / "out");
  r.err = ReadFile(tmp / "err");
  return r;
}

FdCapture::FdCapture(int fd) : fd_(fd) {
  char tmpl[] = "/tmp/q52capture-XXXXXX";
  file_ = mkstemp(tmpl);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  fflush(stdout);
  fflush(stderr);
  saved_ = dup(fd_);
  dup2(file_, fd_);
}

FdCapture::~FdCapture() {
  Restore();
  close(file_);
  unlink(path_.c_str());
}

void FdCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
}

std::string FdCapture::Take() {
  fflush(stdout);
  fflush(stderr);
  std::string text = ReadFile(path_);
  // FD shares the file's offset: both start again at the beginning.
  if (ftruncate(file_, 0) != 0 || lseek(file_, 0, SEEK_SET) != 0) throw std::runtime_error("ftruncate failed");
  return text;
}

std::string FdCapture::Stop() {
  Restore();
  return Take();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot be read");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error(path + ": cannot be written");
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

void CreateMachineDir(const std::string& dir, const std::string& image) { winsim::CreateMachine(dir, image); }

}  // namespace testsupport
