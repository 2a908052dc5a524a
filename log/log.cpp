// Log, WLog and LogQuick: filter by level first, then build the text and hand it to the logger.
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "logger.h"

namespace {

const size_t kTextBytes = 1024;  // at most 1023 characters and the terminator

void Emit(CLogger* logger, _LOG_LEVEL level, const char* text) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100-ns intervals since 1601 -> milliseconds since 1970
  unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  long long ms = static_cast<long long>(ticks / 10000ULL) - 11644473600000LL;
  CLogRecord record(level, text, ms / 1000, static_cast<unsigned short>(ms % 1000));
  logger->Write(record);
}

// A logger at or above LEVEL, or null when the message is to be dropped.
CLogger* Accepting(_LOG_LEVEL level) {
  CLogger* logger = GetLogger();
  if (!logger || level > logger->GetLevel()) return NULL;
  return logger;
}

// The narrow form of TEXT in the runtime's current locale, cut to fit OUT (which holds SIZE
// bytes, terminator included). A character that has no narrow form becomes '?', so the rest of
// the line survives.
void ToNarrow(const wchar_t* text, char* out, size_t size) {
  // Plain ASCII converts to itself in every locale the runtime offers; the conversion routine is
  // slow per character, and most lines are ASCII.
  size_t ascii = 0;
  while (ascii < size - 1 && text[ascii] && static_cast<unsigned long>(text[ascii]) < 0x80) {
    out[ascii] = static_cast<char>(text[ascii]);
    ++ascii;
  }
  if (ascii == size - 1 || !text[ascii]) {
    out[ascii] = '\0';
    return;
  }
  size_t n = wcstombs(out, text, size - 1);
  if (n != static_cast<size_t>(-1)) {
    out[n < size - 1 ? n : size - 1] = '\0';
    return;
  }
  size_t used = 0;
  mbstate_t state;
  memset(&state, 0, sizeof(state));
  for (const wchar_t* p = text; *p; ++p) {
    char mb[MB_LEN_MAX];
    size_t k = wcrtomb(mb, *p, &state);
    if (k == static_cast<size_t>(-1)) {
      memset(&state, 0, sizeof(state));
      mb[0] = '?';
      k = 1;
    }
    if (used + k > size - 1) break;
    memcpy(out + used, mb, k);
    used += k;
  }
  out[used] = '\0';
}

}  // namespace

extern "C" void Log(_LOG_LEVEL level, const char* format, ...) {
  try {
    CLogger* logger = Accepting(level);
    if (!logger || !format) return;
    char* text = static_cast<char*>(calloc(kTextBytes, 1));
    if (!text) return;
    va_list args;
    va_start(args, format);
    _vsnprintf(text, kTextBytes - 1, format, args);
    va_end(args);
    text[kTextBytes - 1] = '\0';
    try {
      Emit(logger, level, text);
    } catch (...) {
    }
    free(text);
  } catch (...) {
  }
}

extern "C" void WLog(_LOG_LEVEL level, const wchar_t* format, ...) {
  try {
    CLogger* logger = Accepting(level);
    if (!logger || !format) return;
    wchar_t* wide = static_cast<wchar_t*>(calloc(kTextBytes, sizeof(wchar_t)));
    char* text = static_cast<char*>(calloc(kTextBytes, 1));
    if (!wide || !text) {
      free(wide);
      free(text);
      return;
    }
    va_list args;
    va_start(args, format);
    _vsnwprintf(wide, kTextBytes - 1, format, args);
    va_end(args);
    wide[kTextBytes - 1] = L'\0';
    ToNarrow(wide, text, kTextBytes);
    try {
      Emit(logger, level, text);
    } catch (...) {
    }
    free(text);
    free(wide);
  } catch (...) {
  }
}

extern "C" void LogQuick(_LOG_LEVEL level, const char* text) {
  try {
    CLogger* logger = Accepting(level);
    if (!logger || !text) return;
    Emit(logger, level, text);
  } catch (...) {
  }
}
