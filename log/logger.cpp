#include "logger.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <new>

#include "unique_resource.h"

namespace {

const char kKeyPrefix[] = "SOFTWARE\\Vexa\\";
const char kKeySuffix[] = "\\Logger";
const unsigned long kDefaultMaxLength = 0xA00000;  // 10 MiB
const unsigned long kMinMaxLength = 4096;
const size_t kKeptLineBytes = 2048;

const char* const kLevelNames[] = {"Off  ", "Error", "Info ", "Debug", "Trace"};

// Reads a 4-byte value; false when it is missing, unreadable or of another size.
bool ReadDword(HKEY key, const char* name, DWORD& value) {
  DWORD data = 0, size = sizeof(data);
  if (RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<LPBYTE>(&data), &size) != ERROR_SUCCESS ||
      size != sizeof(data))
    return false;
  value = data;
  return true;
}

std::atomic<bool> g_destroyed(false);

void DestroyLogger() {
  g_destroyed.store(true);
  delete g_processLogger.exchange(nullptr);
}

}  // namespace

std::atomic<CLogger*> g_processLogger(nullptr);

void CLogRecord::Format(std::string& line, CStampCache* cache) const {
  line.reserve(128);
  if (cache && cache->m_length && cache->m_time == m_time) {
    line.append(cache->m_text, cache->m_length);
  } else {
    time_t t = static_cast<time_t>(m_time);
    char stamp[sizeof(cache->m_text)];
    size_t n = 0;
    if (const struct tm* local = localtime(&t)) n = strftime(stamp, sizeof(stamp), "%d/%m/%Y %H:%M:%S.", local);
    line.append(stamp, n);
    if (cache && n) {
      memcpy(cache->m_text, stamp, n);
      cache->m_length = n;
      cache->m_time = m_time;
    }
  }
  unsigned ms = m_milliseconds % 1000u;
  line += static_cast<char>('0' + ms / 100);
  line += static_cast<char>('0' + ms / 10 % 10);
  line += static_cast<char>('0' + ms % 10);
  line += '\t';
  if (m_level >= LOG_OFF && m_level <= LOG_TRACE) line += kLevelNames[m_level];
  line += '\t';
  line += m_text;
  line += "\r\n";
}

CFileLogger::CFileLogger(const char* program)
    : m_level(LOG_INFO), m_maxLength(kDefaultMaxLength), m_consoleOnly(false), m_fd(-1), m_stopped(false) {
  InitializeCriticalSection(&m_lock);
  // Lines end in "\r\n" already: in the runtime's default text mode, standard error would turn
  // that into "\r\r\n" wherever it is redirected to.
  _setmode(2, _O_BINARY);
  Configure(program);
}

CFileLogger::~CFileLogger() {
  if (m_fd != -1) _close(m_fd);
  DeleteCriticalSection(&m_lock);
}

void CFileLogger::Configure(const char* program) {
  m_fileName = std::string(program) + ".log";
  std::string keyName = std::string(kKeyPrefix) + program + kKeySuffix;
  UniqueKey opened;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS) return;
  HKEY key = opened.get();

  // One byte more than the value may fill, so that a value stored without its terminator
  // still reads as a terminated string.
  char fileName[262] = {0};
  DWORD size = 261;
  if (RegQueryValueExA(key, "FileName", NULL, NULL, reinterpret_cast<LPBYTE>(fileName), &size) == ERROR_SUCCESS &&
      fileName[0] != '\0')
    m_fileName = fileName;

  DWORD value = 0;
  if (ReadDword(key, "IsConsole", value)) m_consoleOnly = value == 1;
  if (ReadDword(key, "Level", value) && value <= LOG_TRACE) m_level = static_cast<int>(value);
  if (ReadDword(key, "MaxLength", value)) m_maxLength = value < kMinMaxLength ? kMinMaxLength : value;
}

void CFileLogger::Write(const CLogRecord& record) {
  ScopedLock lock(m_lock);  // also keeps the runtime's local-time buffer to one thread at a time
  m_line.clear();
  record.Format(m_line, &m_stamp);
  _write(2, m_line.data(), static_cast<unsigned int>(m_line.size()));
  if (!m_consoleOnly) AppendToFile(m_line);
  // A long LogQuick text should not keep its memory for the rest of the process.
  if (m_line.capacity() > kKeptLineBytes) std::string().swap(m_line);
}

void CFileLogger::AppendToFile(const std::string& line) {
  if (m_stopped) return;
  if (m_fd == -1) {
    m_fd = _sopen(m_fileName.c_str(), _O_WRONLY | _O_APPEND | _O_BINARY | _O_CREAT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (m_fd == -1) return;  // tried again with the next line
  }
  long size = _filelength(m_fd);
  if (size == -1) {
    _close(m_fd);
    m_fd = -1;
    return;
  }
  if (static_cast<unsigned long>(size) >= m_maxLength) {
    // Full: the file is left as it is, never truncated or rotated.
    _close(m_fd);
    m_fd = -1;
    m_stopped = true;
    return;
  }
  _write(m_fd, line.data(), static_cast<unsigned int>(line.size()));
}

CLogger* CreateLogger() {
  CLogger* logger = g_processLogger.load(std::memory_order_acquire);
  if (logger || g_destroyed.load(std::memory_order_acquire)) return logger;

  char program[MAX_PATH];
  CLogger* created = new (std::nothrow) CFileLogger(LoggerProgramName(program, sizeof(program)));
  if (!created) return NULL;
  CLogger* expected = NULL;
  if (!g_processLogger.compare_exchange_strong(expected, created)) {
    // Another thread's logger came first; it is the one.
    delete created;
    return expected;
  }
  atexit(DestroyLogger);
  return created;
}
