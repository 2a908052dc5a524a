// Logs one fixed set of messages through the shared logger: the narrow and wide conversions, the
// 1023 cut, the levels. Built for the host and for Windows; the Wine check runs both and compares
// the lines after their time stamps, so the runtime's formatting is held against winsim's.
#include <windows.h>

#include <string>

#include "log.h"

int main() {
  const std::string longNarrow(2000, 'n');
  const std::wstring longWide(2000, L'w');
  // In the runtime's "C" locale a code point below 256 (the é) keeps its byte; the others have no
  // narrow form.
  const wchar_t nonAscii[] = L"caf\x00e9 \x4e2d\x6587 \x20ac end";

  Log(LOG_INFO, "Log: narrow '%s', wide '%ws', number %d", "abc", L"xyz", -30);
  Log(LOG_INFO, "Log: hex %x, padded %08x, unsigned %u", 0xbeefu, 0x2au, 3012u);
  WLog(LOG_INFO, L"WLog: wide '%s', number %d", L"Vexa Q52", 3012);
  WLog(LOG_INFO, L"WLog: non-ASCII '%s'", nonAscii);
  Log(LOG_INFO, "Log: non-ASCII through %%ws '%ws'", nonAscii);
  WLog(LOG_INFO, L"WLog: percent %% and an empty '%s'", L"");
  LogQuick(LOG_INFO, "LogQuick: %s %d %ws stay as they are");

  Log(LOG_INFO, "%s", longNarrow.c_str());
  WLog(LOG_INFO, L"%s", longWide.c_str());
  LogQuick(LOG_INFO, longNarrow.c_str());

  // The default level is Info: Debug, Trace and anything above 4 are dropped; a negative level
  // passes with no name.
  Log(LOG_ERROR, "level Error");
  Log(LOG_DEBUG, "level Debug, dropped");
  WLog(LOG_TRACE, L"level Trace, dropped");
  LogQuick(static_cast<_LOG_LEVEL>(5), "level 5, dropped");
  LogQuick(static_cast<_LOG_LEVEL>(-1), "level -1");
  Log(LOG_OFF, "level Off");

  Log(LOG_ERROR, static_cast<const char*>(NULL));
  WLog(LOG_ERROR, static_cast<const wchar_t*>(NULL));
  LogQuick(LOG_ERROR, NULL);
  Log(LOG_INFO, "last line");
  return 0;
}
