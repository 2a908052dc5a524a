// winsim's machine readers, on a file a person edited badly: the first byte picks system.reg,
// machine.json, an example's example.json or a resource script; the rest is the file. Each either
// loads or stops with an error naming the file and line, and a file that stops the load is left
// as it was.
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <cctype>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzzsupport.h"
#include "winsim/control.h"
#include "winsim/inf.h"
#include "winsim/resources.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {
std::string g_machine, g_json, g_reg, g_examples, g_case;

// "FILE:LINE: what". Scanned by hand: std::regex recurses per character and overflows the stack
// on a long message.
void ExpectFileAndLine(const std::string& message, const std::string& file) {
  size_t at = message.find(file);
  bool line = false;
  for (size_t i = at == std::string::npos ? message.size() : message.find(':', at + file.size());
       !line && i < message.size(); i = message.find(':', i + 1)) {
    size_t j = i + 1;
    while (j < message.size() && isdigit(static_cast<unsigned char>(message[j]))) ++j;
    line = j > i + 1 && message[i + 1] != '0' && message.compare(j, 2, ": ") == 0;
  }
  if (!line) fuzz::Finding("the error does not name " + file + " and a line: " + message);
}

void MachineFile(const std::string& name, const std::string& text) {
  fuzz::WriteFile(g_machine + "/machine.json", name == "machine.json" ? text : g_json);
  fuzz::WriteFile(g_machine + "/system.reg", name == "system.reg" ? text : g_reg);
  try {
    winsim::UseMachine(g_machine);
  } catch (const std::runtime_error& e) {
    ExpectFileAndLine(e.what(), g_machine + "/" + name);
    if (fuzz::ReadFile(g_machine + "/" + name) != text) fuzz::Finding(name + " was changed by a load that failed");
    return;
  }
  winsim::ReleaseMachine();
}

// An example names files beside it and Windows paths to delete: the harness keeps both inside
// its scratch directory (the host's root is drive Z:, a relative path the current directory's).
bool StaysInScratch(const json& ex) {
  auto inside = [](const std::string& rel) {
    std::string p = (fs::path(g_case) / rel).lexically_normal().string();
    return p.rfind(g_examples + "/", 0) == 0;
  };
  for (const char* key : {"stage", "reg", "remove"}) {
    if (!ex.contains(key) || !ex[key].is_array()) continue;
    for (const json& e : ex[key]) {
      for (const json& v : e.is_object() ? json{e.value("inf", json()), e.value("cat", json())} : json{e}) {
        if (!v.is_string()) continue;
        std::string s = v.get<std::string>();
        if (std::string(key) != "remove") {
          if (!inside(s)) return false;
        } else if (s.size() < 2 || (s[1] == ':' ? (s[0] | 0x20) == 'z' : s[0] != '\\' || s[1] == '\\')) {
          return false;
        }
      }
    }
  }
  return true;
}

void Example(const std::string& text) {
  json ex = json::parse(text, nullptr, false);
  if (!ex.is_discarded() && ex.is_object() && !StaysInScratch(ex)) return;
  fuzz::WriteFile(g_case + "/example.json", text);
  std::string dir = fuzz::Scratch() + "/from-example";
  std::error_code ec;
  fs::remove_all(dir, ec);
  try {
    winsim::CreateMachineFromExample(dir, g_case);
  } catch (const std::runtime_error& e) {
    // example.json, or a file it names (all of them under the examples directory).
    ExpectFileAndLine(e.what(), g_examples + "/");
  }
  if (fuzz::ReadFile(g_case + "/example.json") != text) fuzz::Finding("example.json was changed");
}

void ResourceScript(const std::string& text) {
  static const std::string kDir = std::string(Q52_SOURCE_DIR) + "/bulksetup/";
  try {
    winsim::ParseResourceScript("fuzz.rc", [&](const std::string& name) -> std::optional<std::string> {
      if (name == "fuzz.rc") return text;
      if (name == "resource.h" || name == "small.ico" || name == "bulksetup.ico") return fuzz::ReadFile(kDir + name);
      return std::nullopt;
    });
  } catch (const winsim::ResourceError& e) {
    ExpectFileAndLine(e.what(), "");  // the script or a header it includes
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_machine = fuzz::NewMachine("machine");
  g_json = fuzz::ReadFile(g_machine + "/machine.json");
  g_reg = fuzz::ReadFile(g_machine + "/system.reg");
  g_examples = fuzz::Scratch() + "/examples";
  g_case = g_examples + "/case";
  fs::create_directories(g_case);
  fs::copy(std::string(Q52_SOURCE_DIR) + "/examples/machines/infs", g_examples + "/infs", fs::copy_options::recursive);
  fs::copy_file(std::string(Q52_SOURCE_DIR) + "/examples/logger.reg", g_case + "/logger.reg");
  // Relative Windows paths are the current directory's: an empty one of the scratch directory.
  fs::create_directories(fuzz::Scratch() + "/cwd");
  if (chdir((fuzz::Scratch() + "/cwd").c_str()) != 0) fuzz::Finding("cannot enter the scratch directory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: MachineFile("system.reg", text); break;
    case 1: MachineFile("machine.json", text); break;
    case 2: Example(text); break;
    default: ResourceScript(text); break;
  }
  return 0;
}
