// The diagnostic log shared by the Vexa Q52 tools: leveled, time-stamped lines to standard error
// and to a size-capped file, configured under HKLM\SOFTWARE\Vexa\<program>\Logger.
#pragma once

#include <wchar.h>

// A lower value is more important; LOG_OFF is only ever a configured level.
enum _LOG_LEVEL : int {
  LOG_OFF = 0,
  LOG_ERROR = 1,
  LOG_INFO = 2,
  LOG_DEBUG = 3,
  LOG_TRACE = 4
};

extern "C" {
// printf-style narrow format: "%s" is a narrow string, "%ws" a wide one. At most 1023 bytes.
void Log(_LOG_LEVEL level, const char* format, ...);
// printf-style wide format: "%s" is a wide string. At most 1023 characters, logged narrow.
void WLog(_LOG_LEVEL level, const wchar_t* format, ...);
// A finished text, logged whole and as it is.
void LogQuick(_LOG_LEVEL level, const char* text);
}
