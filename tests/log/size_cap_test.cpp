// The file's size cap and file trouble as whole processes meet them: a full file stays full for
// every later run, and standard error keeps every line whatever happens to the file.
#include <gtest/gtest.h>

#include <filesystem>

#include "logtest.h"
#include "winsim/control.h"

using logtest::ProbeEnv;
using testsupport::Exists;
using testsupport::ParseLog;
using testsupport::ReadFile;
using testsupport::Texts;

namespace {

const char kKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n";
const std::vector<std::string> kFileCalls = {"_sopen", "_filelength", "_close"};

TEST(SizeCap, FullFileStaysFullAcrossRuns) {
  // 100 is raised to 4096.
  ProbeEnv env(std::string(kKey) + "\"MaxLength\"=dword:00000064\r\n");
  const std::string file = env.WorkFile("drvpurge.log");
  const std::string before(4096 - 30, '.');
  testsupport::WriteFile(file, before);

  auto first = env.Run("logprobe_static", {"log", "2", "crosses the maximum", "log", "2", "finds it full", "log", "1", "third"});
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(Texts(ParseLog(first.err)), (std::vector<std::string>{"crosses the maximum", "finds it full", "third"}));
  EXPECT_EQ(ReadFile(file), before + "06/12/2026 16:17:09.042\tInfo \tcrosses the maximum\r\n");
  // Opened once, measured twice, closed by the stop; never reopened.
  EXPECT_EQ(logtest::CallsAmong(env.LastRun(), kFileCalls),
            (std::vector<std::string>{"_sopen", "_filelength", "_filelength", "_close"}));
  EXPECT_EQ(env.LastRun().at("handlesOpenAtExit"), nlohmann::json::object());

  const std::string full = ReadFile(file);
  auto second = env.Run("logprobe_static", {"log", "2", "next run", "wlog", "1", "still"});
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(Texts(ParseLog(second.err)), (std::vector<std::string>{"next run", "<still>"}));
  EXPECT_EQ(ReadFile(file), full);
  EXPECT_EQ(logtest::CallsAmong(env.LastRun(), kFileCalls),
            (std::vector<std::string>{"_sopen", "_filelength", "_close"}));

  // Raising the maximum lets the next run write again.
  winsim::UseMachine(env.machine());
  winsim::ImportRegText(logtest::RegFile(std::string(kKey) + "\"MaxLength\"=dword:00002000\r\n"));
  winsim::ReleaseMachine();
  auto third = env.Run("logprobe_static", {"log", "2", "raised"});
  ASSERT_EQ(third.status, 0);
  EXPECT_EQ(ReadFile(file), full + "06/12/2026 16:17:09.042\tInfo \traised\r\n");
}

// Whatever keeps lines out of the file, the program goes on and standard error has them all.
TEST(SizeCap, FileTrouble) {
  struct Case {
    const char* what;
    std::string values;
    std::string faults;
    std::vector<std::string> workFiles;  // what the working directory holds afterwards
    std::vector<std::string> inFile;     // lines of drvpurge.log, when it is there
  } cases[] = {
      {"console only", "\"IsConsole\"=dword:00000001\r\n", "", {}, {}},
      {"IsConsole 2 is not console only", "\"IsConsole\"=dword:00000002\r\n", "", {"drvpurge.log"}, {"one", "two", "<three>"}},
      {"directory of the file missing", "\"FileName\"=\"C:\\\\no\\\\such\\\\dir\\\\x.log\"\r\n", "", {}, {}},
      {"a drive that is not there", "\"FileName\"=\"\\\\\\\\server\\\\share\\\\x.log\"\r\n", "", {}, {}},
      {"first open refused", "", "_sopen#1=5", {"drvpurge.log"}, {"two", "<three>"}},
      {"first size query fails", "", "_filelength#1=5", {"drvpurge.log"}, {"two", "<three>"}},
      {"writes to the file fail", "", "_write#2=5,_write#4=5,_write#6=5", {"drvpurge.log"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProbeEnv env(std::string(kKey) + c.values);
    auto r = env.Run("logprobe_static", {"log", "2", "one", "quick", "1", "two", "wlog", "2", "three"},
                     {{"WINSIM_FAULTS", c.faults}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Texts(ParseLog(r.err)), (std::vector<std::string>{"one", "two", "<three>"}));
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(env.work())) files.push_back(e.path().filename().string());
    EXPECT_EQ(files, c.workFiles);
    if (Exists(env.WorkFile("drvpurge.log"))) {
      EXPECT_EQ(Texts(ParseLog(ReadFile(env.WorkFile("drvpurge.log")))), c.inFile);
    }
    EXPECT_EQ(env.LastRun().at("handlesOpenAtExit"), nlohmann::json::object());
  }
}

}  // namespace
