// Example machines: an example.json step that does not find what it names stops the example, so
// that an image which changes under an example can't silently give another machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "testsupport.h"
#include "winsim/inf.h"
#include "winsim/model_spooler.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct StepCase {
  const char* name;
  const char* exampleJson;
  const char* regFile;  // written next to example.json as edit.reg when not null
  const char* errorAt;  // null: the machine is made; else the file and line the error names
};

TEST(ExampleMachines, EachStepFindsWhatItNames) {
  const StepCase cases[] = {
      {"patch test on the entry meant",
       R"({"patch": [{"op": "test", "path": "/spooler/printers/0/name", "value": "Vexa Q52"},
                     {"op": "replace", "path": "/spooler/printers/0/jobs", "value": 2}]})",
       nullptr, nullptr},
      {"patch test on another entry",
       R"({"patch": [{"op": "test", "path": "/spooler/printers/0/name", "value": "Other"},
                     {"op": "replace", "path": "/spooler/printers/0/jobs", "value": 2}]})",
       nullptr, "example.json:1"},
      {"patch of a missing entry", R"({"patch": [{"op": "remove", "path": "/spooler/printers/5"}]})", nullptr,
       "example.json:1"},
      {"removal of a directory, any spelling", R"({"remove": ["c:/q52plx"]})", nullptr, nullptr},
      {"removal of a missing file", R"({"remove": ["C:\\Q52PLX\\none.txt"]})", nullptr, "example.json:1"},
      {"key deletion", R"({"reg": ["edit.reg"]})",
       "Windows Registry Editor Version 5.00\r\n\r\n"
       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers]\r\n",
       nullptr},
      {"malformed .reg", R"({"reg": ["edit.reg"]})", "REGEDIT5\r\n", "edit.reg:1"},
      {"a staged INF the image lacks", "{\n  \"unstage\": [\"oem9.inf\"]\n}", nullptr, "example.json:2"},
      {"a syntax error", "{\n  \"remove\": [\"C:\\\\Q52PLX\"],\n  \"reg\": [edit.reg]\n}", nullptr,
       "example.json:3"},
      {"a step of the wrong type", "{\n\n  \"stage\": [{\"inf\": 7}]}", nullptr, "example.json:3"},
      // Reported by the parser without a position: the error still names the number's line.
      {"a number too large", "{\n  \"remove\": [],\n  \"x\": 1E999\n}", nullptr, "example.json:3"},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    WriteFile(tmp / "example/example.json", c.exampleJson);
    if (c.regFile) WriteFile(tmp / "example/edit.reg", c.regFile);
    const std::string dir = tmp / "m";
    if (c.errorAt) {
      try {
        winsim::CreateMachineFromExample(dir, tmp / "example");
        ADD_FAILURE() << "made a machine";
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(std::string(c.errorAt) + ": "), std::string::npos) << e.what();
      }
      continue;
    }
    ASSERT_NO_THROW(winsim::CreateMachineFromExample(dir, tmp / "example"));
    nlohmann::json doc = nlohmann::json::parse(ReadFile(dir + "/machine.json"));
    const std::string reg = ReadFile(dir + "/system.reg");
    const bool keyThere = reg.find("Uninstall\\Vexa Q52 Plexline Drivers]") != std::string::npos;
    EXPECT_EQ(winsim::model::SpoolerOf(doc).printers[0].jobs, std::string(c.name).rfind("patch", 0) == 0 ? 2u : 0u);
    EXPECT_EQ(std::filesystem::exists(dir + "/drive_c/Q52PLX"), std::string(c.name).rfind("removal", 0) != 0);
    EXPECT_EQ(keyThere, c.regFile == nullptr);
    // Everything else is the image's: the monitor's DLL, for one.
    EXPECT_TRUE(std::filesystem::exists(dir + "/drive_c/WINDOWS/system32/vexaktmon.dll"));
  }
}

}  // namespace
