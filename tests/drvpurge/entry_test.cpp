// The entry functions in-process, each on a fresh machine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "checks.h"
#include "logger.h"
#include "main.h"
#include "testsupport.h"
#include "winsim/control.h"

namespace {

using drvtest::CapturedBanner;
using drvtest::Error;
using drvtest::FdCapture;
using drvtest::LogEntry;
using drvtest::ParseLog;
using drvtest::kLaterReleaseMessage;
using drvtest::kLaterReleaseReg;
using drvtest::VersionTrace;
using testsupport::TempDir;
using testsupport::TempMachine;

const char kTitleLine[] = "\nVexa Q52 PLX Uninstaller for Windows v0.0.002\n";

// The logger reads its configuration once per process. Every test here sees it at Trace, on
// standard error only, so a test can capture fd 2 and leaves no log file behind.
class LoggerEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<TempDir>();
    std::string dir = *home_ / "machine";
    winsim::CreateMachine(dir);
    winsim::UseMachine(dir);
    winsim::ImportRegText(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n"
        "\"Level\"=dword:00000004\r\n"
        "\"IsConsole\"=dword:00000001\r\n");
    GetLogger();
    winsim::ReleaseMachine();
    // A stray platform call between tests then lands here, not in ./winsim-machine.
    setenv("WINSIM_MACHINE", dir.c_str(), 1);
  }

 private:
  std::unique_ptr<TempDir> home_;
};
testing::Environment* const g_loggerEnvironment = testing::AddGlobalTestEnvironment(new LoggerEnvironment);

TEST(PrintBanner, TitleVersionAndNoticeLayout) {
  std::string banner = CapturedBanner();
  // Title line after an empty line; the one-line notice after an empty line; the three-line
  // notice between empty lines.
  ASSERT_EQ(banner.rfind(kTitleLine, 0), 0u) << banner;
  std::vector<std::string> lines = testsupport::Lines(banner.substr(sizeof(kTitleLine) - 1));
  ASSERT_EQ(lines.size(), 7u) << banner;
  EXPECT_EQ(lines[0], "");
  EXPECT_NE(lines[1], "");
  EXPECT_EQ(lines[2], "");
  for (int i = 3; i < 6; ++i) EXPECT_NE(lines[i], "") << "notice line " << i;
  EXPECT_EQ(lines[6], "");
  EXPECT_EQ(banner.substr(banner.size() - 2), "\n\n");
  EXPECT_EQ(banner.find('\r'), std::string::npos);
}

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;
  int banners;
  bool run;
};

void PrintTo(const ArgsCase& c, std::ostream* os) { *os << c.name; }

class ParseArgumentsTest : public testing::TestWithParam<ArgsCase> {};

TEST_P(ParseArgumentsTest, RunFlagAndBanners) {
  const ArgsCase& c = GetParam();
  TempMachine machine;
  std::string banner = CapturedBanner();
  std::vector<std::string> storage = {"drvpurge"};
  storage.insert(storage.end(), c.args.begin(), c.args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  g_bRunUninstall = false;  // as at process start
  FdCapture out(1);
  ParseArguments(static_cast<int>(storage.size()), argv.data());
  std::string printed = out.Stop();

  std::string expected;
  for (int i = 0; i < c.banners; ++i) expected += banner;
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(g_bRunUninstall, c.run);
}

const std::string kPad(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseArgumentsTest,
    testing::Values(
        ArgsCase{"NoArguments", {}, 0, true},
        ArgsCase{"HelpAlone", {"/?"}, 1, false},
        ArgsCase{"HelpWithTrailingLetters", {"/?please"}, 1, false},
        ArgsCase{"SlashLetter", {"/s"}, 0, true},
        ArgsCase{"SlashAlone", {"/"}, 0, true},
        ArgsCase{"PlainWord", {"foo"}, 0, false},
        ArgsCase{"EmptyArgument", {""}, 0, false},
        ArgsCase{"QuestionMarkFirst", {"?/"}, 0, false},
        ArgsCase{"PlainWordThenSlash", {"foo", "/x"}, 0, true},
        ArgsCase{"HelpThenRun", {"/?", "/s"}, 1, true},
        ArgsCase{"RunThenHelp", {"/s", "/?"}, 1, false},
        ArgsCase{"HelpTwice", {"/?", "foo", "/?"}, 2, false},
        // 259 characters and the terminator fill the 260-character buffer exactly.
        ArgsCase{"SlashArgumentOf259Chars", {"/s" + kPad.substr(0, 257)}, 0, true},
        // One more does not convert, and an unconverted argument counts as empty.
        ArgsCase{"SlashArgumentOf260CharsIgnored", {"/s" + kPad.substr(0, 258)}, 0, false},
        ArgsCase{"HelpOf260CharsIgnored", {"/?" + kPad.substr(0, 258)}, 0, false},
        ArgsCase{"LongArgumentDoesNotUndoEarlierRun", {"/s", "/?" + kPad}, 0, true}),
    [](const testing::TestParamInfo<ArgsCase>& info) { return std::string(info.param.name); });

struct OsCase {
  const char* name;
  uint32_t major, minor, build, platform;
  std::string csd;
  bool supported;
};

void PrintTo(const OsCase& c, std::ostream* os) { *os << c.name; }

class CheckOSVersionTest : public testing::TestWithParam<OsCase> {};

TEST_P(CheckOSVersionTest, GateAndTrace) {
  const OsCase& c = GetParam();
  TempMachine machine;
  winsim::OsVersion v;
  v.major = c.major;
  v.minor = c.minor;
  v.build = c.build;
  v.platformId = c.platform;
  v.csdVersion = c.csd;
  winsim::SetOsVersion(v);

  FdCapture out(1), err(2);
  bool supported = CheckOSVersion();
  std::string printed = out.Stop();
  std::vector<LogEntry> log = ParseLog(err.Stop());

  EXPECT_EQ(supported, c.supported);
  EXPECT_EQ(printed, "") << "the gate prints nothing";
  std::vector<LogEntry> expected = VersionTrace(c.major, c.minor, c.build, c.platform, c.csd);
  if (!c.supported) expected.push_back(Error("Operating System not supported!"));
  EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, CheckOSVersionTest,
    testing::Values(OsCase{"Windows2000", 5, 0, 2195, 2, "Service Pack 4", true},
                    OsCase{"WindowsXP", 5, 1, 2600, 2, "Service Pack 2", true},
                    OsCase{"Server2003NoServicePack", 5, 2, 3790, 2, "", true},
                    OsCase{"FutureMinorOf5", 5, 9, 1, 2, "", true},
                    OsCase{"Vista", 6, 0, 6000, 2, "", false},
                    OsCase{"NT4", 4, 0, 1381, 2, "Service Pack 6", false},
                    OsCase{"NonNtWithMajor5", 5, 1, 2600, 1, "", false},
                    OsCase{"Windows98", 4, 10, 1998, 1, " A ", false},
                    OsCase{"Win32s", 5, 0, 0, 0, "", false}),
    [](const testing::TestParamInfo<OsCase>& info) { return std::string(info.param.name); });

TEST(CheckOSVersion, GetVersionExFailureIsLoggedWithItsCode) {
  for (uint32_t code : {5u, 87u}) {
    SCOPED_TRACE(code);
    TempMachine machine;
    winsim::InjectFault("GetVersionExW", 1, code);
    FdCapture err(2);
    bool supported = CheckOSVersion();
    std::vector<LogEntry> log = ParseLog(err.Stop());
    EXPECT_FALSE(supported);
    EXPECT_EQ(log, std::vector<LogEntry>{Error("GetVersionEx failed. GetLastError():" + std::to_string(code))});
  }
}

struct LaterCase {
  const char* name;
  bool keyPresent;
  uint32_t openFault;  // error of the first RegOpenKeyW, 0 for none
  bool mayRun;
  std::string printed;
  std::vector<LogEntry> log;
};

void PrintTo(const LaterCase& c, std::ostream* os) { *os << c.name; }

class CheckLaterVersionTest : public testing::TestWithParam<LaterCase> {};

TEST_P(CheckLaterVersionTest, KeyDecides) {
  const LaterCase& c = GetParam();
  TempMachine machine;
  if (c.keyPresent) winsim::ImportRegText(kLaterReleaseReg);
  if (c.openFault) winsim::InjectFault("RegOpenKeyW", 1, c.openFault);

  FdCapture out(1), err(2);
  bool mayRun = CheckLaterVersion();
  std::string printed = out.Stop();
  std::vector<LogEntry> log = ParseLog(err.Stop());

  EXPECT_EQ(mayRun, c.mayRun);
  EXPECT_EQ(printed, c.printed);
  EXPECT_EQ(log, c.log);
  EXPECT_EQ(winsim::CallCount("RegOpenKeyW"), 1u);
  EXPECT_TRUE(winsim::OpenHandles().empty()) << "the key is closed";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CheckLaterVersionTest,
    testing::Values(LaterCase{"Absent", false, 0, true, "", {}},
                    LaterCase{"Present", true, 0, false, std::string(kLaterReleaseMessage) + "\n", {}},
                    // Only a key that opens stops the run; one that can't be looked at is
                    // logged, and the run goes on.
                    LaterCase{"PresentButDenied", true, ERROR_ACCESS_DENIED, true, "",
                              {Error("CheckLaterVersion - RegOpenKey Failed. rc=0x5")}},
                    LaterCase{"OpenFailsOtherwise", false, ERROR_BADKEY, true, "",
                              {Error("CheckLaterVersion - RegOpenKey Failed. rc=0x3f2")}}),
    [](const testing::TestParamInfo<LaterCase>& info) { return std::string(info.param.name); });

}  // namespace
