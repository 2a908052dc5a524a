// The installer logs from several threads through the shared library at once: the logger must be
// created once, every line must come out whole, and the file must stop exactly once.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "logtest.h"

using logtest::ProbeEnv;
using testsupport::ParseLog;
using testsupport::ReadFile;

namespace {

TEST(LogThreads, LinesStayWholeAndTheFileStopsOnce) {
  const int kThreads = 8, kLines = 150;
  ProbeEnv env(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\logprobe_shared\\Logger]\r\n\"MaxLength\"=dword:00008000\r\n");
  auto r = env.Run("logprobe_shared", {"threads", std::to_string(kThreads), std::to_string(kLines)});
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 4000);
  EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err.substr(0, 4000);

  const std::regex text("thread (\\d\\d) line (\\d{4}) via (Log|WLog|LogQuick) -+");
  auto lines = ParseLog(r.err);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::map<int, int> nextLine;  // each thread's lines arrive in its own order
  for (auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(l.level == "Info " && l.stamp == "06/12/2026 16:17:09.042" && std::regex_match(l.text, m, text))
        << "torn line: " << l.stamp << "|" << l.level << "|" << l.text;
    int thread = std::stoi(m[1]), n = std::stoi(m[2]);
    EXPECT_EQ(n, nextLine[thread]++) << "thread " << thread;
  }
  EXPECT_EQ(nextLine.size(), static_cast<size_t>(kThreads));

  // The file is what standard error received, up to and including the line that crossed the
  // maximum: the same lines in the same order.
  std::string file = ReadFile(env.WorkFile("logprobe_shared.log"));
  ASSERT_GE(file.size(), 0x8000u);
  ASSERT_LT(file.size(), r.err.size());
  EXPECT_EQ(file, r.err.substr(0, file.size()));
  size_t lastLine = file.rfind('\n', file.size() - 2) + 1;
  EXPECT_LT(lastLine, 0x8000u) << "only the crossing line may pass the maximum";
  EXPECT_EQ(logtest::CallsAmong(env.LastRun(), {"_sopen", "_close"}), (std::vector<std::string>{"_sopen", "_close"}));
  EXPECT_EQ(env.LastRun().at("handlesOpenAtExit"), nlohmann::json::object());
}

}  // namespace
