// The logger object behind Log, WLog and LogQuick.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "log.h"

// The date and time of the latest line, kept for the second it stands for: turning a time into
// local time costs the runtime more than the rest of a line (glibc looks at the zone file on
// every call), and a logger's lines mostly share their second.
class CStampCache {
 public:
  CStampCache() : m_time(0), m_length(0) {}

 private:
  friend class CLogRecord;
  long long m_time;
  size_t m_length;  // 0 while nothing is kept
  char m_text[64];
};

// One message, stamped when it was logged.
class CLogRecord {
 public:
  CLogRecord(int level, const char* text, long long time, unsigned short milliseconds)
      : m_level(level), m_text(text), m_time(time), m_milliseconds(milliseconds) {}

  // "dd/mm/yyyy hh:mm:ss.mmm\t<level>\t<text>\r\n", in local time. CACHE, when given, is used
  // and updated by one thread at a time.
  void Format(std::string& line, CStampCache* cache = NULL) const;

 private:
  int m_level;
  const char* m_text;
  long long m_time;  // seconds since 1970-01-01 00:00:00 UTC
  unsigned short m_milliseconds;
};

class CLogger {
 public:
  virtual ~CLogger() {}
  virtual void Write(const CLogRecord& record) = 0;
  virtual int GetLevel() = 0;
};

class CFileLogger : public CLogger {
 public:
  // Reads the configuration under HKLM\SOFTWARE\Vexa\<program>\Logger; "<program>.log" is the
  // default file.
  explicit CFileLogger(const char* program);
  ~CFileLogger() override;

  void Write(const CLogRecord& record) override;
  int GetLevel() override { return m_level; }

 private:
  CFileLogger(const CFileLogger&);
  CFileLogger& operator=(const CFileLogger&);

  void Configure(const char* program);
  void AppendToFile(const std::string& line);

  int m_level;
  std::string m_fileName;
  unsigned long m_maxLength;
  bool m_consoleOnly;
  int m_fd;
  bool m_stopped;
  CStampCache m_stamp;
  std::string m_line;  // the line being written, kept to save an allocation per line
  // Lines come from several threads in the installer: one line's file sequence (open, size
  // test, write or stop) must not interleave with another's.
  CRITICAL_SECTION m_lock;
};

// The process's logger once it exists; null before, and again after its destruction at exit.
extern std::atomic<CLogger*> g_processLogger;

// Creates and configures the logger on the first call; null after its destruction at exit (or
// when it could not be created).
CLogger* CreateLogger();

// The process's logger, created on first use. Inline: a filtered-out message should cost no
// more than this load and the level test.
inline CLogger* GetLogger() {
  CLogger* logger = g_processLogger.load(std::memory_order_acquire);
  return logger ? logger : CreateLogger();
}

// Name of the program whose logger this is: it names the registry key and the default file.
// Fills BUF (of SIZE bytes) and returns it.
const char* LoggerProgramName(char* buf, size_t size);
