// The machine's clock: the host's, or a virtual one that tests and the scheduler move.
#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

int64_t RealNowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "2026-12-06T16:17:09.042Z" <-> unix milliseconds
bool ParseIsoMillis(const std::string& s, int64_t& out) {
  int y, mo, d, h, mi, sec, ms = 0;
  char z = 0;
  int n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &sec, &ms, &z);
  if (n != 8 || z != 'Z') {
    ms = 0;
    n = std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &z);
    if (n != 7 || z != 'Z') return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || y < 1970 || ms < 0) return false;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  out = static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
  return true;
}

std::string FormatIsoMillis(int64_t ms) {
  time_t t = static_cast<time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

int64_t NowMillis(Machine& m) { return m.virtualClock ? m.virtualNow : RealNowMillis(); }

void SetVirtualClock(int64_t unixMillis) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  m.virtualClock = true;
  m.virtualNow = unixMillis;
  m.bootMillis = unixMillis - 3600 * 1000;
}

void AdvanceClock(int64_t millis) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  if (m.virtualClock) m.virtualNow += millis;
}

bool IsVirtualClock() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return CurrentMachine().virtualClock;
}

int64_t NowUnixMillis() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return NowMillis(CurrentMachine());
}

}  // namespace winsim
