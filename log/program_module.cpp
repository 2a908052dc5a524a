// The shared library serves whichever program loads it: the name is that program's file name
// without directory and extension ("bulksetup" for C:\...\bulksetup.exe).
#include <string.h>

#include "logger.h"

const char* LoggerProgramName(char* buf, size_t size) {
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  // A name that does not fit is cut without a terminator on Windows XP: not a usable name.
  if (n == 0 || n >= MAX_PATH) {
    strncpy(buf, "log", size - 1);
    buf[size - 1] = '\0';
    return buf;
  }
  path[n] = '\0';
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
  strncpy(buf, base, size - 1);
  buf[size - 1] = '\0';
  char* dot = strrchr(buf, '.');
  if (dot && dot != buf) *dot = '\0';
  if (!buf[0]) {
    strncpy(buf, "log", size - 1);
    buf[size - 1] = '\0';
  }
  return buf;
}
