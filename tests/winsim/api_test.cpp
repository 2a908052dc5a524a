// What winsim adds for tests in-process (fault injection, accounting, the virtual clock) and the
// edges of its calls that the conformance program cannot try on Windows without crashing there.
#include <gtest/gtest.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "testsupport.h"
#include "winsim/control.h"

namespace {

using testsupport::TempMachine;

TEST(Faults, InjectedInProcessAndCounted) {
  TempMachine machine;
  winsim::InjectFault("RegOpenKeyExW", 2, ERROR_ACCESS_DENIED);
  winsim::InjectFault("GetVersionExW", 1, ERROR_NOT_ENOUGH_MEMORY);
  LSTATUS rcs[3];
  for (LSTATUS& rc : rcs) {
    HKEY key = nullptr;
    rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    else EXPECT_EQ(key, nullptr);
  }
  EXPECT_EQ(rcs[0], ERROR_SUCCESS);
  EXPECT_EQ(rcs[1], ERROR_ACCESS_DENIED);
  EXPECT_EQ(rcs[2], ERROR_SUCCESS);
  EXPECT_EQ(winsim::CallCount("RegOpenKeyExW"), 3u);
  EXPECT_EQ(winsim::CallCount("RegCloseKey"), 2u);

  OSVERSIONINFOW info;
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_FALSE(GetVersionExW(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  winsim::ClearFaults();
  EXPECT_TRUE(GetVersionExW(&info));
  auto trace = winsim::CallTrace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2], "GetVersionExW");
}

TEST(Accounting, OpenHandlesByKind) {
  TempMachine machine;
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &a), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vexa", 0, KEY_READ, &b), ERROR_SUCCESS);
  int fd = _sopen("C:\\WINDOWS\\Temp\\x.log", _O_WRONLY | _O_CREAT | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"HKEY", 2}, {"fd", 1}}));
  RegCloseKey(a);
  _close(fd);
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"HKEY", 1}}));
  RegCloseKey(b);
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

// Descriptors the program did not open are refused, not passed to the host.
TEST(RuntimeFiles, UnknownDescriptorsAreBad) {
  TempMachine machine;
  for (int fd : {-1, 3, 999}) {
    errno = 0;
    EXPECT_EQ(_write(fd, "x", 1), -1) << fd;
    EXPECT_EQ(errno, EBADF) << fd;
    errno = 0;
    EXPECT_EQ(_filelength(fd), -1L) << fd;
    EXPECT_EQ(errno, EBADF) << fd;
    errno = 0;
    EXPECT_EQ(_close(fd), -1) << fd;
    EXPECT_EQ(errno, EBADF) << fd;
  }
}

// The documented 276 (and 284 for the extended structure) are Windows' sizes; code that writes
// them instead of sizeof works on both.
TEST(Version, WindowsStructureSizesAndMachineVersion) {
  TempMachine machine;
  winsim::SetOsVersion({5, 2, 3790, 2, "Service Pack 1"});
  for (DWORD size : {276u, 284u, static_cast<DWORD>(sizeof(OSVERSIONINFOW)), static_cast<DWORD>(sizeof(OSVERSIONINFOEXW))}) {
    OSVERSIONINFOEXW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = size;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) << size;
    EXPECT_EQ(info.dwMinorVersion, 2u) << size;
    EXPECT_EQ(info.dwBuildNumber, 3790u) << size;
    EXPECT_EQ(std::wstring(info.szCSDVersion), L"Service Pack 1") << size;
    bool extended = size == 284u || size == sizeof(OSVERSIONINFOEXW);
    EXPECT_EQ(info.wServicePackMajor, extended ? 1 : 0) << size;
  }
}

TEST(Clock, VirtualClockMovesOnlyWhenTold) {
  TempMachine machine;  // virtual, at 2026-12-06T16:17:09.042Z
  DWORD tick = GetTickCount();
  FILETIME before, after;
  GetSystemTimeAsFileTime(&before);
  Sleep(12000);  // a spooler stop: no real waiting
  winsim::AdvanceClock(500);
  GetSystemTimeAsFileTime(&after);
  EXPECT_EQ(GetTickCount() - tick, 12500u);
  uint64_t b = (static_cast<uint64_t>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
  uint64_t a = (static_cast<uint64_t>(after.dwHighDateTime) << 32) | after.dwLowDateTime;
  EXPECT_EQ(a - b, 12500u * 10000u);
  EXPECT_EQ(b, (1796573829042ULL + 11644473600000ULL) * 10000ULL);
}

int Format(char* buf, size_t count, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = _vsnprintf(buf, count, format, ap);
  va_end(ap);
  return n;
}

// Widths and precisions from the arguments: a huge one costs nothing and writes no further than
// the count; a negative precision means none.
TEST(Format, ArgumentWidthsAndPrecisions) {
  char buf[16];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(Format(buf, 8, "%*d", INT_MAX, 7), -1);
  EXPECT_EQ(std::string(buf, 9), "        X");
  EXPECT_EQ(Format(buf, 8, "%*d|", INT_MIN, 7), -1);  // left-aligned
  EXPECT_EQ(buf[0], '7');
  EXPECT_EQ(Format(buf, sizeof buf, "[%.*s]", -1, "abc"), 5);
  EXPECT_EQ(std::string(buf), "[abc]");
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Format(buf, sizeof buf, "[%.2s]", unterminated), 4);
  EXPECT_EQ(std::string(buf), "[ab]");
  EXPECT_EQ(Format(buf, sizeof buf, "%600d", 1), -1);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, ' '));
}

}  // namespace
