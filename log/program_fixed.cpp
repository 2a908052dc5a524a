// The uninstaller links the logger in: its name is fixed.
#include <string.h>

#include "logger.h"

const char* LoggerProgramName(char* buf, size_t size) {
  strncpy(buf, "drvpurge", size - 1);
  buf[size - 1] = '\0';
  return buf;
}
