#include "logtest.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "winsim/control.h"

namespace logtest {

std::string RegFile(const std::string& body) { return "Windows Registry Editor Version 5.00\r\n\r\n" + body; }

ProbeEnv::ProbeEnv(const std::string& reg, int64_t clock) : machine_(tmp_ / "machine"), work_(tmp_ / "work") {
  testsupport::CreateMachineDir(machine_);
  std::filesystem::create_directories(work_);
  winsim::UseMachine(machine_);
  winsim::SetVirtualClock(clock);
  if (!reg.empty()) winsim::ImportRegText(RegFile(reg), "test");
  winsim::ReleaseMachine();
}

testsupport::ProcessResult ProbeEnv::Run(const std::string& probe, const std::vector<std::string>& args,
                                         std::map<std::string, std::string> env) const {
  env["WINSIM_MACHINE"] = machine_;
  env.emplace("TZ", "UTC");
  env.emplace("WINSIM_FAULTS", "");
  return testsupport::Run(probe, args, work_, env);
}

nlohmann::json ProbeEnv::LastRun() const {
  return nlohmann::json::parse(testsupport::ReadFile(machine_ + "/last-run.json"));
}

std::vector<Line> ParseLines(const std::string& text) {
  std::vector<Line> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string raw = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    Line l;
    if (!raw.empty() && raw.back() == '\r') {
      raw.pop_back();
      l.crlf = nl != std::string::npos;
    }
    size_t t1 = raw.find('\t'), t2 = t1 == std::string::npos ? t1 : raw.find('\t', t1 + 1);
    if (t2 == std::string::npos) {
      l.text = raw;
    } else {
      l.stamp = raw.substr(0, t1);
      l.level = raw.substr(t1 + 1, t2 - t1 - 1);
      l.text = raw.substr(t2 + 1);
    }
    out.push_back(l);
  }
  return out;
}

std::vector<std::string> Texts(const std::vector<Line>& lines) {
  std::vector<std::string> out;
  for (auto& l : lines) out.push_back(l.text);
  return out;
}

std::vector<std::string> CallsAmong(const nlohmann::json& lastRun, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (auto& c : lastRun.at("calls")) {
    std::string name = c.get<std::string>();
    if (std::find(names.begin(), names.end(), name) != names.end()) out.push_back(name);
  }
  return out;
}

StderrCapture::StderrCapture() {
  char tmpl[] = "/tmp/q52stderr-XXXXXX";
  file_ = mkstemp(tmpl);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  saved_ = dup(2);
  dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
  if (saved_ >= 0) {
    dup2(saved_, 2);
    close(saved_);
  }
  close(file_);
  unlink(path_.c_str());
}

std::string StderrCapture::Take() {
  std::string text = testsupport::ReadFile(path_);
  if (ftruncate(file_, 0) != 0) throw std::runtime_error("ftruncate failed");
  lseek(file_, 0, SEEK_SET);
  return text;
}

}  // namespace logtest
