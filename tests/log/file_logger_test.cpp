// The logger object in-process: configuration from the registry, the line it composes, and the
// file sequence (open, size test, write or stop) against a simulated machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

#include "logger.h"
#include "logtest.h"
#include "winsim/control.h"

using testsupport::Exists;
using testsupport::FdCapture;
using testsupport::ParseLog;
using testsupport::ReadFile;
using testsupport::Texts;

namespace {

const char kKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\unit\\Logger]\r\n";
const unsigned long kDefaultMax = 0xA00000;

// Sets TZ for one scope.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

// Runs the test in an empty current directory, where a relative log file name lands.
class ScopedCwd {
 public:
  ScopedCwd() : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.path()); }
  ~ScopedCwd() { std::filesystem::current_path(old_); }
  const std::string& path() const { return dir_.path(); }

 private:
  testsupport::TempDir dir_;
  std::filesystem::path old_;
};

class FileLoggerTest : public ::testing::Test {
 protected:
  // Replaces the logger key with VALUES (lines of a .reg file).
  void Configure(const std::string& values) {
    std::string key(kKey);
    winsim::ImportRegText(logtest::RegFile("[-" + key.substr(1) + "\r\n" + key + values));
  }
  std::string HostLog() { return winsim::HostPath(L"C:\\unit-test.log"); }
  // A file of SIZE bytes (sparse: the logger only asks for its length).
  void Prefill(const std::string& path, long long size) {
    std::filesystem::remove(path);
    testsupport::WriteFile(path, "");
    std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
  }
  long long Size(const std::string& path) { return static_cast<long long>(std::filesystem::file_size(path)); }

  static void Write(CLogger& logger, const char* text, int level = LOG_INFO) {
    logger.Write(CLogRecord(level, text, logtest::kClock / 1000, 42));
  }

  testsupport::TempMachine machine_;
  ScopedTz utc_{"UTC"};
};

TEST(LogRecordFormat, Lines) {
  struct Case {
    const char* tz;
    long long time;
    unsigned short ms;
    int level;
    const char* text;
    const char* line;
  } cases[] = {
      {"UTC", 1796573829, 42, LOG_INFO, "Device Match Found!", "06/12/2026 16:17:09.042\tInfo \tDevice Match Found!\r\n"},
      {"UTC", 1796573829, 5, LOG_ERROR, "x", "06/12/2026 16:17:09.005\tError\tx\r\n"},
      {"UTC", 1796573829, 0, LOG_DEBUG, "x", "06/12/2026 16:17:09.000\tDebug\tx\r\n"},
      {"UTC", 1796573829, 999, LOG_TRACE, "x", "06/12/2026 16:17:09.999\tTrace\tx\r\n"},
      {"UTC", 1796573829, 1, LOG_OFF, "x", "06/12/2026 16:17:09.001\tOff  \tx\r\n"},
      // Single-digit fields are zero-padded; the stamp is local time.
      {"UTC", 1798859045, 7, LOG_INFO, "x", "02/01/2027 03:04:05.007\tInfo \tx\r\n"},
      {"EST5", 1796573829, 42, LOG_INFO, "x", "06/12/2026 11:17:09.042\tInfo \tx\r\n"},
      {"JST-9", 1796573829, 42, LOG_INFO, "x", "07/12/2026 01:17:09.042\tInfo \tx\r\n"},
      // Outside 0..4 the name is empty but both tabs stay.
      {"UTC", 1796573829, 42, -1, "neg", "06/12/2026 16:17:09.042\t\tneg\r\n"},
      {"UTC", 1796573829, 42, INT_MIN, "min", "06/12/2026 16:17:09.042\t\tmin\r\n"},
      {"UTC", 1796573829, 42, 5, "five", "06/12/2026 16:17:09.042\t\tfive\r\n"},
      {"UTC", 1796573829, 42, LOG_INFO, "", "06/12/2026 16:17:09.042\tInfo \t\r\n"},
      {"UTC", 1796573829, 42, LOG_INFO, "100%s %d\ttab", "06/12/2026 16:17:09.042\tInfo \t100%s %d\ttab\r\n"},
  };
  for (const Case& c : cases) {
    ScopedTz tz(c.tz);
    std::string line;
    CLogRecord(c.level, c.text, c.time, c.ms).Format(line);
    EXPECT_EQ(line, c.line) << c.tz << " level " << c.level;
  }
}

// A logger reuses the stamp of the second before; the stamp must still follow the record's time.
TEST(LogRecordFormat, KeptStampFollowsTheTime) {
  ScopedTz tz("UTC");
  struct Case {
    long long time;
    unsigned short ms;
    const char* line;
  } cases[] = {
      {1796573829, 5, "06/12/2026 16:17:09.005\tInfo \tx\r\n"},
      {1796573829, 999, "06/12/2026 16:17:09.999\tInfo \tx\r\n"},
      {1796573830, 0, "06/12/2026 16:17:10.000\tInfo \tx\r\n"},
      {1796573829, 1, "06/12/2026 16:17:09.001\tInfo \tx\r\n"},  // a clock set back
      {1796573829 + 86400, 2, "07/12/2026 16:17:09.002\tInfo \tx\r\n"},
  };
  CStampCache cache;
  for (const Case& c : cases) {
    std::string line = "left over";
    line.clear();
    CLogRecord(LOG_INFO, "x", c.time, c.ms).Format(line, &cache);
    EXPECT_EQ(line, c.line);
  }
}

// Each value on its own: what level the logger reports, whether it writes a file, and the file
// length at which it stops.
TEST_F(FileLoggerTest, RegistryValues) {
  struct Case {
    const char* what;
    const char* values;
    int level;
    bool consoleOnly;
    unsigned long max;
  } cases[] = {
      {"only a file name", "", LOG_INFO, false, kDefaultMax},
      {"Level 0", "\"Level\"=dword:00000000\r\n", LOG_OFF, false, kDefaultMax},
      {"Level 1", "\"Level\"=dword:00000001\r\n", LOG_ERROR, false, kDefaultMax},
      {"Level 4", "\"Level\"=dword:00000004\r\n", LOG_TRACE, false, kDefaultMax},
      {"Level 5", "\"Level\"=dword:00000005\r\n", LOG_INFO, false, kDefaultMax},
      {"Level 0xFFFFFFFF", "\"Level\"=dword:ffffffff\r\n", LOG_INFO, false, kDefaultMax},
      {"Level of 2 bytes", "\"Level\"=hex:03,00\r\n", LOG_INFO, false, kDefaultMax},
      {"Level as a string", "\"Level\"=\"4\"\r\n", LOG_INFO, false, kDefaultMax},
      {"IsConsole 1", "\"IsConsole\"=dword:00000001\r\n", LOG_INFO, true, 0},
      {"IsConsole 2", "\"IsConsole\"=dword:00000002\r\n", LOG_INFO, false, kDefaultMax},
      {"IsConsole 0", "\"IsConsole\"=dword:00000000\r\n", LOG_INFO, false, kDefaultMax},
      {"IsConsole of 1 byte", "\"IsConsole\"=hex:01\r\n", LOG_INFO, false, kDefaultMax},
      {"IsConsole of 8 bytes", "\"IsConsole\"=hex(b):01,00,00,00,00,00,00,00\r\n", LOG_INFO, false, kDefaultMax},
      {"MaxLength 0", "\"MaxLength\"=dword:00000000\r\n", LOG_INFO, false, 4096},
      {"MaxLength 100", "\"MaxLength\"=dword:00000064\r\n", LOG_INFO, false, 4096},
      {"MaxLength 4095", "\"MaxLength\"=dword:00000fff\r\n", LOG_INFO, false, 4096},
      {"MaxLength 4097", "\"MaxLength\"=dword:00001001\r\n", LOG_INFO, false, 4097},
      {"MaxLength 16 MiB", "\"MaxLength\"=dword:01000000\r\n", LOG_INFO, false, 0x1000000},
      {"MaxLength of 8 bytes", "\"MaxLength\"=hex(b):00,10,00,00,00,00,00,00\r\n", LOG_INFO, false, kDefaultMax},
      {"MaxLength of 3 bytes", "\"MaxLength\"=hex:00,10,00\r\n", LOG_INFO, false, kDefaultMax},
      {"all four", "\"Level\"=dword:00000003\r\n\"IsConsole\"=dword:00000000\r\n\"MaxLength\"=dword:00002000\r\n",
       LOG_DEBUG, false, 0x2000},
  };
  const std::string file = HostLog();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Configure("\"FileName\"=\"C:\\\\unit-test.log\"\r\n" + std::string(c.values));
    std::filesystem::remove(file);
    FdCapture err;
    {
      CFileLogger logger("unit");
      EXPECT_EQ(logger.GetLevel(), c.level);
      Write(logger, "first");
    }
    EXPECT_EQ(Exists(file), !c.consoleOnly);
    EXPECT_EQ(Texts(ParseLog(err.Take())), std::vector<std::string>{"first"});
    if (c.consoleOnly) continue;

    // Below the maximum a line goes in; at the maximum it does not.
    Prefill(file, static_cast<long long>(c.max) - 1);
    {
      CFileLogger logger("unit");
      Write(logger, "below");
    }
    EXPECT_GT(Size(file), static_cast<long long>(c.max) - 1) << "a file below the maximum takes the line";
    Prefill(file, static_cast<long long>(c.max));
    {
      CFileLogger logger("unit");
      Write(logger, "at");
    }
    EXPECT_EQ(Size(file), static_cast<long long>(c.max)) << "a file at the maximum takes nothing";
    err.Take();
  }
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

// Where the file goes: the FileName value when it is usable, else "<program>.log" in the
// current directory.
TEST_F(FileLoggerTest, FileName) {
  ScopedCwd cwd;
  std::filesystem::create_directories(winsim::HostPath(L"C:\\logs"));
  const std::string longName = "C:\\" + std::string(300, 'n') + ".log";
  struct Case {
    const char* what;
    std::string values;
    std::string expected;  // host path of the file that receives the line
  } cases[] = {
      {"no value", "", cwd.path() + "/unit.log"},
      {"empty", "\"FileName\"=\"\"\r\n", cwd.path() + "/unit.log"},
      {"absolute", "\"FileName\"=\"C:\\\\logs\\\\custom.log\"\r\n", winsim::HostPath(L"C:\\logs\\custom.log")},
      {"relative", "\"FileName\"=\"relative.log\"\r\n", cwd.path() + "/relative.log"},
      {"longer than its buffer", "\"FileName\"=\"" + longName + "\"\r\n", cwd.path() + "/unit.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Configure(c.values);
    std::filesystem::remove(c.expected);
    FdCapture err;
    {
      CFileLogger logger("unit");
      Write(logger, "where");
    }
    ASSERT_TRUE(Exists(c.expected));
    EXPECT_EQ(Texts(ParseLog(ReadFile(c.expected))), std::vector<std::string>{"where"});
    std::filesystem::remove(c.expected);
  }
}

// The line that crosses the maximum is written whole; the next one closes the file for good,
// while standard error keeps receiving every line.
TEST_F(FileLoggerTest, StopsOnceFull) {
  Configure("\"FileName\"=\"C:\\\\unit-test.log\"\r\n\"MaxLength\"=dword:00001000\r\n");
  const std::string file = HostLog();
  testsupport::WriteFile(file, std::string(4096 - 10, '.'));
  FdCapture err;
  auto logger = std::make_unique<CFileLogger>("unit");
  Write(*logger, "crosses the maximum");
  EXPECT_EQ(winsim::OpenHandles()["fd"], 1);
  Write(*logger, "finds the file full");
  EXPECT_TRUE(winsim::OpenHandles().empty()) << "the full file is closed";
  unsigned opens = winsim::CallCount("_sopen"), sizes = winsim::CallCount("_filelength");
  Write(*logger, "after the stop");
  Write(*logger, "and again", LOG_ERROR);
  EXPECT_EQ(winsim::CallCount("_sopen"), opens) << "no reopen after the stop";
  EXPECT_EQ(winsim::CallCount("_filelength"), sizes);
  logger.reset();

  std::string content = ReadFile(file);
  EXPECT_EQ(content.substr(0, 4086), std::string(4086, '.'));
  EXPECT_EQ(content.substr(4086), "06/12/2026 16:17:09.042\tInfo \tcrosses the maximum\r\n");
  EXPECT_EQ(Texts(ParseLog(err.Take())),
            (std::vector<std::string>{"crosses the maximum", "finds the file full", "after the stop", "and again"}));
}

// A file that can't be opened or measured costs the line for the file only; the next line tries
// again. Nothing stays open.
TEST_F(FileLoggerTest, FileFailuresAreRetried) {
  struct Case {
    const char* what;
    const char* fileName;
    const char* function;  // fails on its first call; null for none
    std::vector<std::string> inFile;
  } cases[] = {
      {"open fails once", "C:\\\\unit-test.log", "_sopen", {"second", "third"}},
      {"size query fails once", "C:\\\\unit-test.log", "_filelength", {"second", "third"}},
      {"directory missing", "C:\\\\no\\\\such\\\\dir\\\\x.log", nullptr, {}},
      {"names a directory", "C:\\\\WINDOWS", nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Configure(std::string("\"FileName\"=\"") + c.fileName + "\"\r\n");
    const std::string file = HostLog();
    std::filesystem::remove(file);
    winsim::ClearFaults();
    unsigned opensBefore = winsim::CallCount("_sopen");
    if (c.function) winsim::InjectFault(c.function, winsim::CallCount(c.function) + 1, ERROR_ACCESS_DENIED);
    FdCapture err;
    {
      CFileLogger logger("unit");
      Write(logger, "first");
      if (std::string(c.function ? c.function : "") == "_filelength") {
        EXPECT_TRUE(winsim::OpenHandles().empty()) << "closed after the failed size query";
      }
      Write(logger, "second");
      Write(logger, "third");
    }
    EXPECT_EQ(Texts(ParseLog(err.Take())), (std::vector<std::string>{"first", "second", "third"}));
    if (c.inFile.empty()) {
      EXPECT_EQ(winsim::CallCount("_sopen") - opensBefore, 3u) << "each line tries to open";
    } else {
      EXPECT_EQ(Texts(ParseLog(ReadFile(file))), c.inFile);
    }
    EXPECT_TRUE(winsim::OpenHandles().empty());
  }
  winsim::ClearFaults();
}

// An existing log is appended to, never truncated; line endings are written as they are.
TEST_F(FileLoggerTest, AppendsUntranslated) {
  Configure("\"FileName\"=\"C:\\\\unit-test.log\"\r\n");
  const std::string file = HostLog();
  testsupport::WriteFile(file, "earlier run\r\n");
  FdCapture err;
  {
    CFileLogger logger("unit");
    Write(logger, "a\nb");
  }
  EXPECT_EQ(ReadFile(file), "earlier run\r\n06/12/2026 16:17:09.042\tInfo \ta\nb\r\n");
  EXPECT_EQ(err.Take(), "06/12/2026 16:17:09.042\tInfo \ta\nb\r\n");
}

}  // namespace
