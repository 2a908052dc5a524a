// Log, WLog and LogQuick as programs see them: each case runs a probe process, whose one logger
// is created by its first call and destroyed at its exit.
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

const char kStatic[] = "logprobe_static";
const char kShared[] = "logprobe_shared";

std::string Letters(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

std::vector<std::string> WorkFiles(const ProbeEnv& env) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(env.work())) names.push_back(e.path().filename().string());
  return names;
}

void ExpectNoHandlesLeft(const ProbeEnv& env) {
  EXPECT_EQ(env.LastRun().at("handlesOpenAtExit"), nlohmann::json::object());
}

// The configured level against messages of every level, for the linked-in logger (key and file
// "drvpurge") and for the shared library (key and file named after the loading program).
TEST(LogCalls, LevelFilter) {
  const std::vector<std::string> messages = {"log", "1", "error", "log", "2", "info",  "log", "3", "debug",
                                             "log", "4", "trace", "log", "5", "five",  "log", "-1", "negative"};
  struct Case {
    const char* level;  // the Level value, or null for no key at all
    std::vector<std::string> passed;
  } cases[] = {
      {nullptr, {"error", "info", "negative"}},
      {"00000000", {"negative"}},
      {"00000001", {"error", "negative"}},
      {"00000002", {"error", "info", "negative"}},
      {"00000003", {"error", "info", "debug", "negative"}},
      {"00000004", {"error", "info", "debug", "trace", "negative"}},
      {"00000005", {"error", "info", "negative"}},
      {"ffffffff", {"error", "info", "negative"}},
  };
  for (const char* probe : {kStatic, kShared}) {
    const std::string program = probe == kStatic ? "drvpurge" : kShared;
    for (const Case& c : cases) {
      SCOPED_TRACE(program + " Level " + (c.level ? c.level : "absent"));
      std::string reg = c.level ? "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\" + program + "\\Logger]\r\n\"Level\"=dword:" +
                                      c.level + "\r\n"
                                : "";
      ProbeEnv env(reg);
      auto r = env.Run(probe, messages);
      ASSERT_EQ(r.status, 0) << r.err;
      auto lines = ParseLog(r.err);
      EXPECT_EQ(Texts(lines), c.passed);
      const std::map<std::string, std::string> names = {
          {"error", "Error"}, {"info", "Info "}, {"debug", "Debug"}, {"trace", "Trace"}, {"negative", ""}};
      for (auto& l : lines) EXPECT_EQ(l.level, names.at(l.text));
      EXPECT_EQ(ReadFile(env.WorkFile(program + ".log")), r.err) << "the file gets what standard error gets";
      EXPECT_EQ(WorkFiles(env), std::vector<std::string>{program + ".log"});
      ExpectNoHandlesLeft(env);
    }
  }
}

// Nothing passes the filter: no file is created at all.
TEST(LogCalls, LevelZeroCreatesNoFile) {
  ProbeEnv env("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n\"Level\"=dword:00000000\r\n");
  auto r = env.Run(kStatic, {"log", "1", "a", "wlog", "2", "b", "quick", "4", "c", "log", "9", "d"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(WorkFiles(env).empty());
}

// The shared library reads the key of the program that loaded it, not the uninstaller's.
TEST(LogCalls, SharedLibraryTakesTheProgramsName) {
  ProbeEnv env(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n\"Level\"=dword:00000004\r\n"
      "\"IsConsole\"=dword:00000001\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\logprobe_shared\\Logger]\r\n\"Level\"=dword:00000003\r\n");
  auto r = env.Run(kShared, {"log", "3", "debug", "log", "4", "trace"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Texts(ParseLog(r.err)), std::vector<std::string>{"debug"});
  EXPECT_EQ(WorkFiles(env), std::vector<std::string>{"logprobe_shared.log"});

  auto s = env.Run(kStatic, {"log", "3", "debug", "log", "4", "trace"});
  EXPECT_EQ(Texts(ParseLog(s.err)), (std::vector<std::string>{"debug", "trace"}));
  EXPECT_EQ(WorkFiles(env), std::vector<std::string>{"logprobe_shared.log"}) << "drvpurge's key says console only";
}

// How each call turns its arguments into the text of the line.
TEST(LogCalls, Text) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> texts;  // lines it produces, in order
    const char* level;               // their level name
  } cases[] = {
      {{"long", "2", "2000"}, {Letters(1023)}, "Info "},
      {{"long", "2", "1023"}, {Letters(1023)}, "Info "},
      {{"long", "2", "1022"}, {Letters(1022)}, "Info "},
      {{"wlong", "2", "2000"}, {Letters(1023)}, "Info "},
      {{"quicklong", "2", "2000"}, {Letters(2000)}, "Info "},
      {{"quicklong", "1", "70000"}, {Letters(70000)}, "Error"},
      {{"quick", "3", "100%s %d %ws"}, {"100%s %d %ws"}, "Debug"},
      {{"ws", "2", "C:\\Q52PLX\\vexaq52api.dll"}, {"<C:\\Q52PLX\\vexaq52api.dll>"}, "Info "},
      {{"wlog", "2", "C:\\Q52PLX\\vexaq52api.dll"}, {"<C:\\Q52PLX\\vexaq52api.dll>"}, "Info "},
      // A character without a narrow form becomes '?'; the rest of the line stays.
      {{"wlog", "4", "smile \u263a and \u0141 end"}, {"<smile ? and ? end>"}, "Trace"},
      // Below 256 a code point is its own byte in the runtime's "C" locale.
      {{"wlog", "4", "caf\u00e9 \u00ff"}, {"<caf\xe9 \xff>"}, "Trace"},
      // In a narrow format the runtime itself ends the text before such an argument (and
      // returns -1): what it made is still logged.
      {{"ws", "4", "smile \u263a end"}, {"<"}, "Trace"},
      {{"numbers"}, {"-30 beef 0000002a"}, "Info "},
      {{"null"}, {}, ""},
      {{"log", "5", "five"}, {}, ""},
      {{"wlog", "5", "five"}, {}, ""},
      {{"quick", "2147483647", "max"}, {}, ""},
      {{"quick", "-1", "negative"}, {"negative"}, ""},
      {{"wlog", "-2147483648", "min"}, {"<min>"}, ""},
  };
  ProbeEnv env("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\drvpurge\\Logger]\r\n\"Level\"=dword:00000004\r\n");
  std::vector<std::string> args, texts, levels;
  for (const Case& c : cases) {
    args.insert(args.end(), c.args.begin(), c.args.end());
    for (auto& t : c.texts) {
      texts.push_back(t);
      levels.push_back(c.level);
    }
  }
  auto r = env.Run(kStatic, args);
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
  auto lines = ParseLog(r.err);
  ASSERT_EQ(lines.size(), texts.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].text, texts[i]) << "line " << i;
    EXPECT_EQ(lines[i].level, levels[i]) << "line " << i;
    EXPECT_EQ(lines[i].stamp, "06/12/2026 16:17:09.042") << "line " << i;
  }
  EXPECT_EQ(ReadFile(env.WorkFile("drvpurge.log")), r.err);
  ExpectNoHandlesLeft(env);
}

// The stamp is the machine's clock in local time, to the millisecond.
TEST(LogCalls, Stamp) {
  struct Case {
    const char* tz;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {"UTC",
       {"log", "2", "Device Match Found!", "sleep", "963", "log", "1", "later"},
       "06/12/2026 16:17:09.042\tInfo \tDevice Match Found!\r\n06/12/2026 16:17:10.005\tError\tlater\r\n"},
      {"EST5", {"sleep", "58", "quick", "2", "x"}, "06/12/2026 11:17:09.100\tInfo \tx\r\n"},
      {"JST-9", {"wlog", "2", "x"}, "07/12/2026 01:17:09.042\tInfo \t<x>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    ProbeEnv env;
    auto r = env.Run(kStatic, c.args, {{"TZ", c.tz}});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.out);
    EXPECT_EQ(ReadFile(env.WorkFile("drvpurge.log")), c.out);
  }
}

}  // namespace
