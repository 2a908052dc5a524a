// A program on a machine directory, as a process: a malformed machine stops it untouched, faults
// come from the environment or machine.json, leaked handles are reported, changes are saved.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"

namespace {

using nlohmann::json;
using testsupport::ReadFile;
using testsupport::Run;
using testsupport::TempDir;
using testsupport::WriteFile;

struct Machine {
  TempDir tmp;
  std::string dir = tmp / "m";
  Machine() { testsupport::CreateMachineDir(dir); }
  testsupport::ProcessResult Probe(const std::vector<std::string>& args, const std::string& faults = "") const {
    return Run("winsim-probe", args, tmp.path(), {{"WINSIM_MACHINE", dir}, {"WINSIM_FAULTS", faults}});
  }
  json LastRun() const { return json::parse(ReadFile(dir + "/last-run.json")); }
};

// Replaces the first occurrence of FROM in the machine's file NAME.
void Edit(const Machine& m, const std::string& name, const std::string& from, const std::string& to) {
  std::string text = ReadFile(m.dir + "/" + name);
  size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  WriteFile(m.dir + "/" + name, text.replace(at, from.size(), to));
}

int LineOf(const std::string& text, const std::string& what) {
  size_t at = text.find(what);
  return at == std::string::npos ? 0 : 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
}

struct BadMachineCase {
  const char* name;
  const char* file;
  const char* from;
  const char* to;
  const char* lineOf;  // the text whose line the message must name
  friend void PrintTo(const BadMachineCase& c, std::ostream* os) { *os << c.name; }
};

class BadMachine : public ::testing::TestWithParam<BadMachineCase> {};

TEST_P(BadMachine, StopsNamingFileAndLineAndLeavesFilesAlone) {
  Machine m;
  const BadMachineCase& c = GetParam();
  Edit(m, c.file, c.from, c.to);
  std::string json = ReadFile(m.dir + "/machine.json"), reg = ReadFile(m.dir + "/system.reg");
  std::string path = m.dir + "/" + c.file;
  int line = LineOf(ReadFile(path), c.lineOf);
  ASSERT_GT(line, 0);

  auto r = m.Probe({"version"});
  EXPECT_EQ(r.status, winsim::kExitBadMachine);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(path + ":" + std::to_string(line) + ":"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(m.dir + "/machine.json"), json);
  EXPECT_EQ(ReadFile(m.dir + "/system.reg"), reg);
  EXPECT_FALSE(testsupport::Exists(m.dir + "/last-run.json"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadMachine,
    ::testing::Values(
        BadMachineCase{"JsonSyntax", "machine.json", "\"clock\": {\"virtual\": false},", "\"clock\": {\"virtual\": false}",
                       "\"services\""},
        BadMachineCase{"OsField", "machine.json", "\"major\": 5", "\"major\": \"five\"", "\"os\""},
        BadMachineCase{"FaultsField", "machine.json", "\"faults\": []",
                       "\"faults\": [{\"function\": \"GetVersionExW\", \"call\": \"first\", \"error\": 5}]", "\"faults\""},
        BadMachineCase{"FaultCallZero", "machine.json", "\"faults\": []",
                       "\"faults\": [{\"function\": \"GetVersionExW\", \"call\": 0, \"error\": 5}]", "\"faults\""},
        BadMachineCase{"ClockNow", "machine.json", "\"clock\": {\"virtual\": false}",
                       "\"clock\": {\"virtual\": true,\n    \"now\": \"yesterday\"}", "\"now\""},
        BadMachineCase{"ClockNowMissing", "machine.json", "\"clock\": {\"virtual\": false}",
                       "\"clock\": {\"virtual\": true}", "\"clock\""},
        BadMachineCase{"SpoolerJobs", "machine.json", "\"jobs\": 0", "\"jobs\": \"none\"", "\"spooler\""},
        BadMachineCase{"ServicesField", "machine.json", "\"acceptsStop\": false", "\"acceptsStop\": 0", "\"services\""},
        BadMachineCase{"InfsRecord", "machine.json", "\"infs\": [", "\"infs\": [\"oem3.inf\",", "\"infs\""},
        BadMachineCase{"FilesMark", "machine.json", "\"infs\": [", "\"files\": {\"C:/x\": true}, \"infs\": [", "\"files\""},
        BadMachineCase{"EscapedSectionName", "machine.json", "\"faults\": []",
                       "\"fault\\u0073\": [{\"function\": \"GetVersionExW\", \"call\": 0, \"error\": 5}]", "{"},
        BadMachineCase{"RegDword", "system.reg", "\"NoModify\"=dword:00000001", "\"NoModify\"=dword:one",
                       "\"NoModify\""},
        BadMachineCase{"RegUnterminated", "system.reg", "\"Publisher\"=\"Vexa\"", "\"Publisher\"=\"Vexa",
                       "\"Publisher\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
  const char* name;
  std::string env;
  json machineFaults;
  std::string out;  // the three opens' result codes
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, FailTheNthCall) {
  Machine m;
  const FaultCase& c = GetParam();
  if (!c.machineFaults.is_null()) {
    json doc = json::parse(ReadFile(m.dir + "/machine.json"));
    doc["faults"] = c.machineFaults;
    WriteFile(m.dir + "/machine.json", doc.dump(2));
  }
  auto r = m.Probe({"open", "SOFTWARE", "open", "SOFTWARE", "open", "SOFTWARE"}, c.env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, Faults,
    ::testing::Values(
        FaultCase{"None", "", nullptr, "0\n0\n0\n"},
        FaultCase{"Environment", "RegOpenKeyExA#2=5", nullptr, "0\n5\n0\n"},
        FaultCase{"EnvironmentHexAndList", "RegOpenKeyExA#1=0x6, RegOpenKeyExA#3=2", nullptr, "6\n0\n2\n"},
        FaultCase{"EnvironmentSemicolons", "RegOpenKeyExA#1=5;RegOpenKeyExA#3=6", nullptr, "5\n0\n6\n"},
        FaultCase{"OtherFunctionOnly", "RegOpenKeyExW#1=5", nullptr, "0\n0\n0\n"},
        FaultCase{"MachineJson", "", json::array({{{"function", "RegOpenKeyExA"}, {"call", 3}, {"error", 1010}}}),
                  "0\n0\n1010\n"},
        FaultCase{"Both", "RegOpenKeyExA#1=5", json::array({{{"function", "RegOpenKeyExA"}, {"call", 2}, {"error", 2}}}),
                  "5\n2\n0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Faults, MalformedEnvironmentStopsTheProgram) {
  for (const char* bad : {"RegOpenKeyExA#0=5", "RegOpenKeyExA#1=0", "RegOpenKeyExA=5", "RegOpenKeyExA#1=5q", "#1=5",
                          "RegOpenKeyExA#99999999999999999999=5"}) {
    Machine m;
    auto r = m.Probe({"open", "SOFTWARE"}, bad);
    EXPECT_EQ(r.status, winsim::kExitBadMachine) << bad;
    EXPECT_NE(r.err.find("WINSIM_FAULTS"), std::string::npos) << bad << ": " << r.err;
    EXPECT_EQ(r.out, "") << bad;
  }
}

struct HandleCase {
  const char* name;
  std::vector<std::string> args;
  json open;
  bool warned;
  friend void PrintTo(const HandleCase& c, std::ostream* os) { *os << c.name; }
};

class HandlesAtExit : public ::testing::TestWithParam<HandleCase> {};

TEST_P(HandlesAtExit, ReportedInLastRunAndOnStderr) {
  Machine m;
  const HandleCase& c = GetParam();
  auto r = m.Probe(c.args);
  EXPECT_EQ(r.status, 0) << r.err;
  json report = m.LastRun();
  EXPECT_EQ(report["handlesOpenAtExit"], c.open);
  EXPECT_EQ(report["program"], "winsim-probe");
  EXPECT_EQ(r.err.find("left open at exit") != std::string::npos, c.warned) << r.err;
  if (c.warned) {
    EXPECT_NE(r.err.find("HKEY=1"), std::string::npos) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, HandlesAtExit,
    ::testing::Values(HandleCase{"Closed", {"open", "SOFTWARE"}, json::object(), false},
                      HandleCase{"Leaked", {"open", "SOFTWARE", "leak", "SOFTWARE"}, json{{"HKEY", 1}}, true},
                      // A static object of the program closes it after main: that is in time.
                      HandleCase{"ClosedByStaticDestructor", {"close-at-exit", "SOFTWARE"}, json::object(), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteBack, NextProcessSeesTheChanges) {
  Machine m;
  auto first = m.Probe({"set", "Color", "teal"});
  EXPECT_EQ(first.out, "0\n");
  EXPECT_NE(ReadFile(m.dir + "/system.reg").find("\"Color\"=\"teal\""), std::string::npos);
  auto second = m.Probe({"get", "Color", "set", "Color", "plum"});
  EXPECT_EQ(second.out, "teal\n0\n");
  EXPECT_EQ(m.Probe({"get", "Color"}).out, "plum\n");
  EXPECT_EQ(m.LastRun()["calls"].size(), 3u);  // RegOpenKeyExW, RegQueryValueExW, RegCloseKey
}

}  // namespace
