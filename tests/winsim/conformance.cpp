// The platform calls the tools rely on, with the results the real API gives. The same program
// runs here against winsim and, built for Windows, on Windows or Wine: where they disagree, the
// real API is right and winsim is fixed. Where Windows versions differ among themselves, a check
// accepts each documented behaviour on Windows and the XP one on winsim.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

#ifndef _WIN32
#include <unistd.h>

#include "testsupport.h"
#include "winsim/control.h"
#endif

// The formatting helpers hand their caller's format on, as the logger does.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

#ifdef _WIN32
const bool kOnWinsim = false;
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
}
int64_t ReferenceNowMillis() { return static_cast<int64_t>(time(NULL)) * 1000; }
#else
const bool kOnWinsim = true;
bool UnderWine() { return false; }
int64_t ReferenceNowMillis() { return winsim::NowUnixMillis(); }
#endif

bool WineDiffers(const char* difference) {
  if (!UnderWine()) return false;
  check::NoteDifference(difference);
  return true;
}

namespace {

const wchar_t kScratch[] = L"Software\\Q52WinsimConformance";
const wchar_t kScratchSub[] = L"Software\\Q52WinsimConformance\\Sub";
const wchar_t kFileName[] = L"C:\\Logs\\q52.log";

std::string ToString(DWORD v) { return std::to_string(static_cast<unsigned long>(v)); }

// Removes what an earlier, interrupted run may have left.
void RemoveScratch() {
  RegDeleteKeyW(HKEY_CURRENT_USER, kScratchSub);
  RegDeleteKeyW(HKEY_CURRENT_USER, kScratch);
}

// The scratch key with the values the logger reads, as a .reg file or an installer would set them.
HKEY CreateScratch() {
  RemoveScratch();
  HKEY key = NULL;
  DWORD disposition = 0;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                               &key, &disposition);
  CHECK_EQ(rc, ERROR_SUCCESS);
  CHECK_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  DWORD level = 3;
  CHECK_EQ(RegSetValueExW(key, L"FileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(kFileName),
                          static_cast<DWORD>((wcslen(kFileName) + 1) * sizeof(WCHAR))),
           ERROR_SUCCESS);
  CHECK_EQ(RegSetValueExW(key, L"Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(WCHAR)),
           ERROR_SUCCESS);
  CHECK_EQ(RegSetValueExW(key, L"Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level)),
           ERROR_SUCCESS);
  return key;
}

// ------------------------------------------------------------------------------- registry

CONFORMANCE(RegCreateKeyReportsNewOrExisting) {
  HKEY key = CreateScratch();
  HKEY again = NULL;
  DWORD disposition = 0;
  CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ, NULL, &again,
                           &disposition),
           ERROR_SUCCESS);
  CHECK_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  CHECK_EQ(RegCloseKey(again), ERROR_SUCCESS);
  CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
  RemoveScratch();
}

// The logger's reads: the key opened with query access only, a string into 261 bytes, 4-byte
// numbers, and the size protocol of a first call without a buffer.
CONFORMANCE(RegQueryValueExASizeProtocol) {
  HKEY setup = CreateScratch();
  RegCloseKey(setup);
  HKEY key = NULL;
  CHECK_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Q52WinsimConformance", 0, KEY_QUERY_VALUE, &key),
           ERROR_SUCCESS);
  const DWORD ansi = static_cast<DWORD>(wcslen(kFileName) + 1);  // 16 bytes with the terminator

  struct Row {
    const char* value;
    bool withBuffer;
    DWORD bufferSize;
    LSTATUS rc;
    DWORD type;
    DWORD size;
  } rows[] = {
      {"FileName", false, 0, ERROR_SUCCESS, REG_SZ, ansi},
      {"FileName", true, 4, ERROR_MORE_DATA, REG_SZ, ansi},
      {"FileName", true, ansi - 1, ERROR_MORE_DATA, REG_SZ, ansi},
      {"FileName", true, ansi, ERROR_SUCCESS, REG_SZ, ansi},
      {"FileName", true, 261, ERROR_SUCCESS, REG_SZ, ansi},
      {"filename", true, 261, ERROR_SUCCESS, REG_SZ, ansi},  // names ignore case
      {"Empty", true, 261, ERROR_SUCCESS, REG_SZ, 1},
      {"Level", false, 0, ERROR_SUCCESS, REG_DWORD, 4},
      {"Level", true, 2, ERROR_MORE_DATA, REG_DWORD, 4},
      {"Level", true, 4, ERROR_SUCCESS, REG_DWORD, 4},
      {"Missing", true, 4, ERROR_FILE_NOT_FOUND, 0, 0},
      {"Missing", false, 0, ERROR_FILE_NOT_FOUND, 0, 0},
  };
  for (const Row& r : rows) {
    std::string at = std::string(r.value) + " with " + (r.withBuffer ? ToString(r.bufferSize) + " bytes" : "no buffer");
    char data[300];
    memset(data, 'X', sizeof data);
    DWORD type = 0xFFFF, size = r.bufferSize;
    LSTATUS rc = RegQueryValueExA(key, r.value, NULL, &type, r.withBuffer ? reinterpret_cast<BYTE*>(data) : NULL, &size);
    CHECK_EQ_AT(rc, r.rc, at);
    if (r.rc == ERROR_FILE_NOT_FOUND) continue;
    CHECK_EQ_AT(type, r.type, at);
    if (r.type == REG_SZ && rc != ERROR_SUCCESS) {
      // Windows may name the size of the stored UTF-16 data, an upper bound, until the string
      // has been converted; winsim names the exact ANSI size, which Wine does as well.
      if (kOnWinsim) CHECK_EQ_AT(size, r.size, at);
      else CHECK_AT(size >= r.size && size <= 2 * r.size, at + ": size " + ToString(size));
    } else if (r.type == REG_SZ && !r.withBuffer) {
      if (kOnWinsim) CHECK_EQ_AT(size, r.size, at);
      else CHECK_AT(size >= r.size && size <= 2 * r.size, at + ": size " + ToString(size));
    } else {
      CHECK_EQ_AT(size, r.size, at);
    }
    if (rc == ERROR_SUCCESS && r.withBuffer) {
      if (r.type == REG_SZ) {
        CHECK_EQ_AT(std::string(data, size - 1), std::string(r.size == 1 ? "" : "C:\\Logs\\q52.log"), at);
        CHECK_EQ_AT(data[size - 1], '\0', at);
      } else {
        DWORD v = 0;
        memcpy(&v, data, sizeof v);
        CHECK_EQ_AT(v, static_cast<DWORD>(3), at);
      }
    }
  }

  // The wide call counts in the caller's character width.
  DWORD size = 0;
  CHECK_EQ(RegQueryValueExW(key, L"FileName", NULL, NULL, NULL, &size), ERROR_SUCCESS);
  CHECK_EQ(size, static_cast<DWORD>((wcslen(kFileName) + 1) * sizeof(WCHAR)));
  WCHAR wide[MAX_PATH];
  size = sizeof(wide);
  CHECK_EQ(RegQueryValueExW(key, L"FileName", NULL, NULL, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
  CHECK_EQ(std::wstring(wide), std::wstring(kFileName));

  // A buffer without a size is refused rather than written blindly.
  CHECK_EQ(RegQueryValueExA(key, "Level", NULL, NULL, reinterpret_cast<BYTE*>(&size), NULL),
           ERROR_INVALID_PARAMETER);
  // Query access does not allow changes.
  DWORD one = 1;
  CHECK_EQ(RegSetValueExW(key, L"Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
           ERROR_ACCESS_DENIED);
  CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
  RemoveScratch();
}

CONFORMANCE(RegOpenMissingKeyAndBadHandles) {
  HKEY setup = CreateScratch();
  RegCloseKey(setup);
  HKEY key = NULL;
  CHECK_EQ(RegOpenKeyW(HKEY_CURRENT_USER, L"Software\\Q52WinsimConformance\\NoSuchKey", &key), ERROR_FILE_NOT_FOUND);
  CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Q52WinsimConformance\\NoSuchKey", 0, KEY_READ, &key),
           ERROR_FILE_NOT_FOUND);
  CHECK_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Q52WinsimConformance\\NoSuchKey", 0, KEY_QUERY_VALUE, &key),
           ERROR_FILE_NOT_FOUND);
  CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\NoSuchParent\\NoSuchKey", 0, KEY_READ, &key),
           ERROR_FILE_NOT_FOUND);

  // Sub-key paths are relative.
  CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software\\Q52WinsimConformance", 0, KEY_READ, &key),
           static_cast<LSTATUS>(ERROR_BAD_PATHNAME));
  CHECK_EQ(RegOpenKeyW(HKEY_CURRENT_USER, L"\\Software\\Q52WinsimConformance", &key),
           static_cast<LSTATUS>(ERROR_BAD_PATHNAME));
  CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"\\Software\\Q52WinsimConformance", 0, NULL, REG_OPTION_NON_VOLATILE,
                           KEY_READ, NULL, &key, NULL),
           static_cast<LSTATUS>(ERROR_BAD_PATHNAME));
  CHECK_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"\\Software\\Q52WinsimConformance"),
           static_cast<LSTATUS>(ERROR_BAD_PATHNAME));

  // Key names ignore case; RegOpenKeyW opens with full access.
  CHECK_EQ(RegOpenKeyW(HKEY_CURRENT_USER, L"SOFTWARE\\q52winsimconformance", &key), ERROR_SUCCESS);
  DWORD two = 2;
  CHECK_EQ(RegSetValueExW(key, L"Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), sizeof two), ERROR_SUCCESS);
  // Without a sub-key, RegOpenKeyW hands back the handle it was given.
  HKEY same = NULL;
  CHECK_EQ(RegOpenKeyW(key, L"", &same), ERROR_SUCCESS);
  CHECK(same == key);
  CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
  CHECK_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);  // closed already
  CHECK_EQ(RegCloseKey(NULL), ERROR_INVALID_HANDLE);
  RemoveScratch();
}

CONFORMANCE(RegDeleteRules) {
  HKEY key = CreateScratch();
  HKEY sub = NULL;
  CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratchSub, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                           &sub, NULL),
           ERROR_SUCCESS);
  CHECK_EQ(RegDeleteValueW(key, L"Missing"), ERROR_FILE_NOT_FOUND);
  CHECK_EQ(RegDeleteValueW(key, L"level"), ERROR_SUCCESS);
  DWORD size = 0;
  CHECK_EQ(RegQueryValueExW(key, L"Level", NULL, NULL, NULL, &size), ERROR_FILE_NOT_FOUND);
  // A key with sub-keys is not deleted by RegDeleteKey.
  CHECK_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kScratch), ERROR_ACCESS_DENIED);
  CHECK_EQ(RegDeleteKeyW(key, L"NoSuchKey"), ERROR_FILE_NOT_FOUND);
  CHECK_EQ(RegDeleteKeyW(key, L"Sub"), ERROR_SUCCESS);
  // The handle of a deleted key stays valid but finds nothing.
  CHECK_EQ(RegQueryValueExW(sub, L"Any", NULL, NULL, NULL, &size), static_cast<LSTATUS>(ERROR_KEY_DELETED));
  CHECK_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
  CHECK_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kScratch), ERROR_SUCCESS);
}

// ------------------------------------------------------------------------------- version

CONFORMANCE(GetVersionExWSizes) {
  struct Row {
    DWORD size;
    BOOL ok;
  } rows[] = {
      {sizeof(OSVERSIONINFOW), TRUE},
      {sizeof(OSVERSIONINFOEXW), TRUE},
      {0, FALSE},
      {sizeof(OSVERSIONINFOW) - 1, FALSE},
      {sizeof(OSVERSIONINFOW) + 1, FALSE},
      {sizeof(OSVERSIONINFOEXW) + 4, FALSE},
  };
  for (const Row& r : rows) {
    std::string at = "size " + ToString(r.size);
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = r.size;
    SetLastError(0xDEAD);
    BOOL ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
    CHECK_EQ_AT(ok, r.ok, at);
    if (!ok) {
      if (!WineDiffers("GetVersionExW refuses a short structure size without setting the last error "
                       "(Windows: ERROR_INSUFFICIENT_BUFFER)"))
        CHECK_EQ_AT(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), at);
      continue;
    }
    CHECK_EQ_AT(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT), at);
    CHECK_AT(info.dwMajorVersion >= 5, at);
    CHECK_AT(wcslen(info.szCSDVersion) < ARRAYSIZE(info.szCSDVersion), at);
    if (kOnWinsim) {  // the machine image is Windows XP SP2
      CHECK_EQ_AT(info.dwMajorVersion, static_cast<DWORD>(5), at);
      CHECK_EQ_AT(info.dwMinorVersion, static_cast<DWORD>(1), at);
      CHECK_EQ_AT(info.dwBuildNumber, static_cast<DWORD>(2600), at);
      CHECK_EQ_AT(std::wstring(info.szCSDVersion), std::wstring(L"Service Pack 2"), at);
      if (r.size == sizeof(OSVERSIONINFOEXW)) CHECK_EQ_AT(info.wServicePackMajor, static_cast<WORD>(2), at);
    }
  }
}

// ------------------------------------------------------------------------------- code pages

CONFORMANCE(MultiByteToWideCharAnsi) {
  struct Row {
    const char* text;
    int length;
    int bufferSize;  // 0: size query
    int result;
    DWORD error;  // when result is 0
  } rows[] = {
      {"hello", -1, 0, 6, 0},      // -1: the terminator counts
      {"hello", 5, 0, 5, 0},
      {"hello", -1, 6, 6, 0},
      {"hello", 5, 5, 5, 0},       // exact fit, no terminator written
      {"hello", -1, 5, 0, ERROR_INSUFFICIENT_BUFFER},
      {"hello", 5, 4, 0, ERROR_INSUFFICIENT_BUFFER},
      {"", -1, 0, 1, 0},
      {"hello", 0, 0, 0, ERROR_INVALID_PARAMETER},
  };
  for (const Row& r : rows) {
    std::string at = std::string("\"") + r.text + "\" length " + std::to_string(r.length) + " into " +
                     std::to_string(r.bufferSize);
    WCHAR buf[16];
    for (WCHAR& c : buf) c = L'#';
    SetLastError(0);
    int n = MultiByteToWideChar(CP_ACP, 0, r.text, r.length, r.bufferSize ? buf : NULL, r.bufferSize);
    CHECK_EQ_AT(n, r.result, at);
    if (n == 0) {
      CHECK_EQ_AT(GetLastError(), r.error, at);
      continue;
    }
    if (!r.bufferSize) continue;
    size_t len = strlen(r.text);
    CHECK_EQ_AT(std::wstring(buf, len), std::wstring(L"hello").substr(0, len), at);
    CHECK_EQ_AT(buf[len], static_cast<WCHAR>(r.length == -1 ? L'\0' : L'#'), at);
  }

  // The way back, as the logger's narrow text needs it.
  char narrow[8];
  CHECK_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, NULL, 0, NULL, NULL), 4);
  CHECK_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, narrow, sizeof narrow, NULL, NULL), 4);
  CHECK_EQ(std::string(narrow), std::string("abc"));
  SetLastError(0);
  CHECK_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, narrow, 3, NULL, NULL), 0);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// ------------------------------------------------------------------------------- formatting

int Narrow(char* buf, size_t count, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = _vsnprintf(buf, count, format, ap);
  va_end(ap);
  return n;
}

int Wide(wchar_t* buf, size_t count, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = _vsnwprintf(buf, count, format, ap);
  va_end(ap);
  return n;
}

CONFORMANCE(VsnprintfWindowsConventions) {
  char buf[64];
  memset(buf, 'X', sizeof buf);
  // In a narrow format %s is narrow, %ws and %S wide.
  CHECK_EQ(Narrow(buf, sizeof buf, "%s|%ws|%S", "ab", L"cd", L"ef"), 8);
  CHECK_EQ(std::string(buf), std::string("ab|cd|ef"));
  std::string numbers = "-30 ff 0000beef -1 005 %";
  CHECK_EQ(Narrow(buf, sizeof buf, "%d %x %08x %ld %03hu %%", -30, 255u, 0xbeefu, static_cast<LONG>(-1),
                  static_cast<unsigned short>(5)),
           static_cast<int>(numbers.size()));
  CHECK_EQ(std::string(buf), numbers);

  // Without a buffer, the length the text needs.
  CHECK_EQ(Narrow(NULL, 0, "%s|%ws", "ab", L"cd"), 5);
  // A wide character without a narrow form in the "C" locale ends the text there with -1.
  memset(buf, 'X', sizeof buf);
  CHECK_EQ(Narrow(buf, sizeof buf, "ab[%ws]cd%d", L"x\x263Ay", 5), -1);
  CHECK_EQ(std::string(buf, 3), std::string("ab["));
  CHECK(buf[3] == '\0' || buf[3] == 'X');
  // Latin-1 code points keep their value as the byte.
  CHECK_EQ(Narrow(buf, sizeof buf, "%ws", L"\x00E9\x0080"), 2);
  CHECK_EQ(std::string(buf), std::string("\xE9\x80"));

  struct Row {
    size_t count;
    int result;
  } rows[] = {{6, 5}, {5, 5}, {4, -1}, {1, -1}};
  for (const Row& r : rows) {
    std::string at = "count " + std::to_string(r.count);
    memset(buf, 'X', sizeof buf);
    CHECK_EQ_AT(Narrow(buf, r.count, "%s|%ws", "ab", L"cd"), r.result, at);
    size_t written = r.count < 5 ? r.count : 5;
    CHECK_EQ_AT(std::string(buf, written), std::string("ab|cd").substr(0, written), at);
    // Only a text shorter than the count is terminated; nothing is written past the count.
    CHECK_EQ_AT(buf[written], r.count > 5 ? '\0' : 'X', at);
    if (r.count <= 5) CHECK_EQ_AT(buf[r.count], 'X', at);
  }
}

CONFORMANCE(VsnwprintfWindowsConventions) {
  wchar_t buf[64];
  for (wchar_t& c : buf) c = L'X';
  // In a wide format %s is wide, %hs and %S narrow.
  CHECK_EQ(Wide(buf, ARRAYSIZE(buf), L"%s|%hs|%S", L"ab", "cd", "ef"), 8);
  CHECK_EQ(std::wstring(buf), std::wstring(L"ab|cd|ef"));
  std::wstring message = L"Remove C:\\x.dll Failed. GetLastError():5";
  CHECK_EQ(Wide(buf, ARRAYSIZE(buf), L"Remove %s Failed. GetLastError():%d", L"C:\\x.dll", 5),
           static_cast<int>(message.size()));
  CHECK_EQ(std::wstring(buf), message);
  CHECK_EQ(Wide(NULL, 0, L"%s|%hs", L"ab", "cd"), 5);
  // Narrow text in a wide format: each byte keeps its value.
  CHECK_EQ(Wide(buf, ARRAYSIZE(buf), L"%hs", "\xE9"), 1);
  CHECK_EQ(static_cast<unsigned>(buf[0]), 0xE9u);

  struct Row {
    size_t count;
    int result;
  } rows[] = {{6, 5}, {5, 5}, {4, -1}};
  for (const Row& r : rows) {
    std::string at = "count " + std::to_string(r.count);
    for (wchar_t& c : buf) c = L'X';
    CHECK_EQ_AT(Wide(buf, r.count, L"%s|%hs", L"ab", "cd"), r.result, at);
    size_t written = r.count < 5 ? r.count : 5;
    CHECK_EQ_AT(std::wstring(buf, written), std::wstring(L"ab|cd").substr(0, written), at);
    CHECK_EQ_AT(buf[written], r.count > 5 ? L'\0' : L'X', at);
  }
}

// The logger's wide-to-narrow step, in the "C" locale that neither program changes.
CONFORMANCE(WcstombsCLocaleAscii) {
  char buf[16];
  memset(buf, 'X', sizeof buf);
  CHECK_EQ(wcstombs(NULL, L"abc", 0), static_cast<size_t>(3));
  CHECK_EQ(wcstombs(buf, L"abc", sizeof buf), static_cast<size_t>(3));
  CHECK_EQ(std::string(buf), std::string("abc"));
  memset(buf, 'X', sizeof buf);
  // Cut at the limit and then not terminated: the caller terminates.
  CHECK_EQ(wcstombs(buf, L"abcdef", 3), static_cast<size_t>(3));
  CHECK_EQ(std::string(buf, 4), std::string("abcX"));
}

// Beyond ASCII the "C" locale of the Windows runtime gives every code point below 256 the byte of
// the same value and none above a narrow form at all.
CONFORMANCE(WcstombsCLocaleLatin1) {
  char buf[16];
  memset(buf, 'X', sizeof buf);
  CHECK_EQ(wcstombs(NULL, L"caf\x00e9\x00ff", 0), static_cast<size_t>(5));
  CHECK_EQ(wcstombs(buf, L"caf\x00e9\x0080", sizeof buf), static_cast<size_t>(5));
  CHECK_EQ(std::string(buf), std::string("caf\xe9\x80"));
  CHECK_EQ(wcstombs(buf, L"a\x263a", sizeof buf), static_cast<size_t>(-1));

  mbstate_t state;
  memset(&state, 0, sizeof state);
  char mb[8];
  memset(mb, 'X', sizeof mb);
  CHECK_EQ(wcrtomb(mb, L'\x00e9', &state), static_cast<size_t>(1));
  CHECK_EQ(mb[0], '\xe9');
  CHECK_EQ(wcrtomb(mb, L'A', &state), static_cast<size_t>(1));
  CHECK_EQ(mb[0], 'A');
  errno = 0;
  CHECK_EQ(wcrtomb(mb, L'\x20ac', &state), static_cast<size_t>(-1));
  CHECK_EQ(errno, EILSEQ);
}

// ------------------------------------------------------------------------------- runtime files

std::string ReadAll(const char* path) {
  std::string out;
  FILE* f = fopen(path, "rb");
  if (!f) return "<cannot open>";
  char chunk[256];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
  fclose(f);
  return out;
}

const int kLogFlags = _O_WRONLY | _O_APPEND | _O_BINARY | _O_CREAT;

// The logger's file: opened for appending and shared, so that a second process (or a second
// open) can add lines while the first keeps its descriptor.
CONFORMANCE(SopenAppendShared) {
  const char* path = "q52-conformance.log";
  remove(path);
  int first = _sopen(path, kLogFlags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  CHECK(first >= 0);
  CHECK_EQ(_filelength(first), 0L);
  CHECK_EQ(_write(first, "line 1\r\n", 8), 8);
  int second = _sopen(path, kLogFlags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  CHECK(second >= 0);
  CHECK(second != first);
  CHECK_EQ(_filelength(second), 8L);
  CHECK_EQ(_write(second, "line 2\r\n", 8), 8);
  CHECK_EQ(_write(first, "line 3\r\n", 8), 8);  // appends after the other descriptor's line
  CHECK_EQ(_filelength(first), 24L);
  CHECK_EQ(_close(second), 0);
  CHECK_EQ(_close(first), 0);
  CHECK_EQ(ReadAll(path), std::string("line 1\r\nline 2\r\nline 3\r\n"));

  // Reopened later: appends to what is there.
  int again = _sopen(path, kLogFlags, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  CHECK(again >= 0);
  CHECK_EQ(_filelength(again), 24L);
  CHECK_EQ(_write(again, "x", 1), 1);
  CHECK_EQ(_close(again), 0);
  CHECK_EQ(ReadAll(path).size(), static_cast<size_t>(25));
  remove(path);
}

CONFORMANCE(SopenSharingModes) {
  const char* path = "q52-conformance-share.log";
  remove(path);
  struct Row {
    int firstShare;
    int secondFlags;
    int secondShare;
    bool opens;
  } rows[] = {
      {_SH_DENYNO, kLogFlags, _SH_DENYNO, true},
      {_SH_DENYWR, kLogFlags, _SH_DENYNO, false},          // the first refuses other writers
      {_SH_DENYWR, _O_RDONLY | _O_BINARY, _SH_DENYNO, true},  // but lets readers in
      {_SH_DENYRW, _O_RDONLY | _O_BINARY, _SH_DENYNO, false},
      {_SH_DENYNO, kLogFlags, _SH_DENYWR, false},          // the second refuses the first, a writer
  };
  for (const Row& r : rows) {
    std::string at = "first share " + std::to_string(r.firstShare) + ", second flags " + std::to_string(r.secondFlags) +
                     " share " + std::to_string(r.secondShare);
    int first = _sopen(path, kLogFlags, r.firstShare, _S_IREAD | _S_IWRITE);
    CHECK_AT(first >= 0, at);
    CHECK_EQ_AT(_write(first, "abc", 3), 3, at);
    errno = 0;
    int second = _sopen(path, r.secondFlags, r.secondShare, _S_IREAD | _S_IWRITE);
    CHECK_EQ_AT(second >= 0, r.opens, at);
    if (second < 0) CHECK_EQ_AT(errno, EACCES, at);
    if (second >= 0) CHECK_EQ_AT(_close(second), 0, at);
    CHECK_EQ_AT(_close(first), 0, at);
  }
  remove(path);
}

CONFORMANCE(SopenFailures) {
  errno = 0;
  CHECK_EQ(_sopen("q52-no-such-dir\\x.log", kLogFlags, _SH_DENYNO, _S_IREAD | _S_IWRITE), -1);
  CHECK_EQ(errno, ENOENT);
  errno = 0;
  CHECK_EQ(_sopen("q52-no-such-file.log", _O_RDONLY | _O_BINARY, _SH_DENYNO), -1);
  CHECK_EQ(errno, ENOENT);
  errno = 0;
  CHECK_EQ(_sopen(".", kLogFlags, _SH_DENYNO, _S_IREAD | _S_IWRITE), -1);  // a directory
  CHECK_EQ(errno, EACCES);
}

// Text mode turns each "\n" into "\r\n" and still reports the caller's byte count.
CONFORMANCE(WriteTextMode) {
  const char* path = "q52-conformance-text.log";
  remove(path);
  int fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_TEXT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  CHECK(fd >= 0);
  CHECK_EQ(_write(fd, "a\nb\n", 4), 4);
  CHECK_EQ(_filelength(fd), 6L);
  CHECK_EQ(_close(fd), 0);
  CHECK_EQ(ReadAll(path), std::string("a\r\nb\r\n"));
  remove(path);
}

// _setmode answers the mode it replaces; the standard streams start in text mode.
CONFORMANCE(SetMode) {
  const char* path = "q52-conformance-mode.log";
  remove(path);
  int fd = _sopen(path, _O_WRONLY | _O_CREAT | _O_TEXT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  CHECK(fd >= 0);
  CHECK_EQ(_setmode(fd, _O_BINARY), _O_TEXT);
  CHECK_EQ(_write(fd, "a\r\n", 3), 3);
  CHECK_EQ(_setmode(fd, _O_TEXT), _O_BINARY);
  CHECK_EQ(_write(fd, "b\n", 2), 2);
  CHECK_EQ(_close(fd), 0);
  CHECK_EQ(ReadAll(path), std::string("a\r\nb\r\n"));
  remove(path);
  if (!WineDiffers("_setmode on a closed descriptor answers the mode it had (Windows: -1, EBADF)")) {
    errno = 0;
    CHECK_EQ(_setmode(fd, _O_BINARY), -1);
    CHECK_EQ(errno, EBADF);
  }
  int before = _setmode(2, _O_BINARY);
  CHECK(before == _O_TEXT || before == _O_BINARY);  // the logger of this program may have set it
  CHECK_EQ(_setmode(2, before), _O_BINARY);
}

// ------------------------------------------------------------------------------- wide strings

// The installer splits its command line at slashes with wcstok_s and compares hardware IDs
// with _wcsnicmp.
CONFORMANCE(WcstokSAndCaselessCompare) {
  wchar_t line[] = L"//q/ Q//x y/";
  wchar_t* context = NULL;
  std::vector<std::wstring> tokens;
  for (wchar_t* t = wcstok_s(line, L"/", &context); t; t = wcstok_s(NULL, L"/", &context)) tokens.push_back(t);
  CHECK_EQ(tokens.size(), static_cast<size_t>(3));
  if (tokens.size() == 3) {
    CHECK_EQ(tokens[0], std::wstring(L"q"));
    CHECK_EQ(tokens[1], std::wstring(L" Q"));
    CHECK_EQ(tokens[2], std::wstring(L"x y"));
  }
  CHECK(wcstok_s(NULL, L"/", &context) == NULL);
  wchar_t slashes[] = L"//";
  context = NULL;
  CHECK(wcstok_s(slashes, L"/", &context) == NULL);

  CHECK_EQ(_wcsicmp(L"USB\\VID_0DD4&PID_0205", L"usb\\vid_0dd4&pid_0205"), 0);
  CHECK(_wcsicmp(L"a_", L"aB") < 0);  // folded to lower case
  CHECK(_wcsicmp(L"abd", L"ABC") > 0);
  CHECK_EQ(_wcsnicmp(L"USB\\VID_0DD4&REV_0100", L"usb\\vid_0dd4", 12), 0);
  CHECK(_wcsnicmp(L"ab", L"abc", 3) < 0);
}

// ------------------------------------------------------------------------------- clock

CONFORMANCE(SystemTimeAsFileTime) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100-ns intervals since 1601-01-01; the Unix epoch is 11644473600 s later.
  int64_t unixMillis = static_cast<int64_t>(ticks / 10000) - 11644473600000LL;
  int64_t reference = ReferenceNowMillis();
  if (kOnWinsim) CHECK_EQ(unixMillis, reference);  // the virtual clock stands still
  else CHECK_AT(unixMillis > reference - 5000 && unixMillis < reference + 5000, std::to_string(unixMillis));
}

CONFORMANCE(SleepAdvancesTickCount) {
  DWORD before = GetTickCount();
  Sleep(50);
  DWORD elapsed = GetTickCount() - before;
  // The tick count moves in steps of 10-16 ms, so either end of the wait may read one step off.
  if (kOnWinsim) CHECK_EQ(elapsed, static_cast<DWORD>(50));  // the virtual clock moves by the sleep
  else CHECK_AT(elapsed >= 30 && elapsed < 5000, ToString(elapsed));
}

// ------------------------------------------------------------------------------- module name

template <typename Ch, typename Get>
void CheckModuleName(Get get, const char* which) {
  Ch full[MAX_PATH + 1];
  DWORD n = get(NULL, full, MAX_PATH);
  CHECK_AT(n > 4 && n < MAX_PATH, which);
  if (n <= 4 || n >= MAX_PATH) return;
  CHECK_AT(full[n] == 0, which);
  std::basic_string<Ch> name(full, n);
  std::basic_string<Ch> ext = name.substr(n - 4);
  for (Ch& c : ext) c = static_cast<Ch>(tolower(c));
  CHECK_AT(ext == std::basic_string<Ch>(1, '.') + static_cast<Ch>('e') + static_cast<Ch>('x') + static_cast<Ch>('e'),
           which);

  // A buffer too small: the name is cut to the buffer. Windows XP leaves it unterminated and the
  // last error at success; later Windows put a terminator in the last place and set
  // ERROR_INSUFFICIENT_BUFFER. Wine (8.0) mixes the two: unterminated, with that error. winsim
  // does as XP.
  DWORD size = n / 2;
  Ch cut[MAX_PATH + 1];
  for (Ch& c : cut) c = static_cast<Ch>('#');
  SetLastError(0xDEAD);
  DWORD got = get(NULL, cut, size);
  DWORD error = GetLastError();
  CHECK_EQ_AT(got, size, which);
  CHECK_AT(std::basic_string<Ch>(cut, size - 1) == name.substr(0, size - 1), which);
  CHECK_AT(cut[size] == static_cast<Ch>('#'), which);  // nothing past the buffer
  bool unterminated = cut[size - 1] == name[size - 1];
  bool xpStyle = unterminated && (error == 0xDEAD || (!kOnWinsim && error == ERROR_SUCCESS));
  bool laterStyle = cut[size - 1] == 0 && error == ERROR_INSUFFICIENT_BUFFER;
  bool wineStyle = !xpStyle && !laterStyle && unterminated && error == ERROR_INSUFFICIENT_BUFFER &&
                   WineDiffers("a module name cut to the buffer is left unterminated with "
                               "ERROR_INSUFFICIENT_BUFFER (Windows XP: unterminated, no error; later: "
                               "terminated, that error)");
  if (kOnWinsim) CHECK_AT(xpStyle, which);
  else CHECK_AT(xpStyle || laterStyle || wineStyle, std::string(which) + ", error " + ToString(error));
}

CONFORMANCE(GetModuleFileNameFitsOrCuts) {
  CheckModuleName<char>(GetModuleFileNameA, "GetModuleFileNameA");
  CheckModuleName<WCHAR>(GetModuleFileNameW, "GetModuleFileNameW");
}

// ------------------------------------------------------------------------------- threads

CONFORMANCE(CriticalSectionIsReentrant) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  CHECK(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  CHECK(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
  CRITICAL_SECTION spun;
  CHECK(InitializeCriticalSectionAndSpinCount(&spun, 4000));
  EnterCriticalSection(&spun);
  LeaveCriticalSection(&spun);
  DeleteCriticalSection(&spun);
}

CONFORMANCE(InterlockedReturnValues) {
  LONG volatile v = 5;
  CHECK_EQ(InterlockedIncrement(&v), 6L);  // the new value
  CHECK_EQ(InterlockedDecrement(&v), 5L);
  CHECK_EQ(InterlockedExchange(&v, 9), 5L);  // the old value
  CHECK_EQ(v, 9L);
  CHECK_EQ(InterlockedCompareExchange(&v, 1, 7), 9L);  // no match: unchanged
  CHECK_EQ(v, 9L);
  CHECK_EQ(InterlockedCompareExchange(&v, 1, 9), 9L);  // match: exchanged
  CHECK_EQ(v, 1L);
  int a = 0, b = 0;
  PVOID volatile p = &a;
  CHECK(InterlockedCompareExchangePointer(&p, &b, NULL) == &a);
  CHECK(p == &a);
  CHECK(InterlockedCompareExchangePointer(&p, &b, &a) == &a);
  CHECK(p == &b);
  CHECK(InterlockedExchangePointer(&p, NULL) == &b);
  CHECK(p == NULL);
}

CONFORMANCE(LastErrorPerThreadValue) {
  SetLastError(ERROR_MORE_DATA);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  SetLastError(0);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(0));
}


}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  if (UnderWine()) printf("running under Wine\n");
  return check::RunAll(argc, argv);
#else
  testsupport::TempMachine machine;
  // Every case closes what it opens; winsim counts it.
  check::AfterEach() = [] {
    for (auto& kind : winsim::OpenHandles())
      check::Fail(__FILE__, __LINE__, kind.first + " left open: " + std::to_string(kind.second));
  };
  testsupport::TempDir work;  // the relative file names of the runtime cases land here
  if (chdir(work.path().c_str()) != 0) return 2;
  int rc = check::RunAll(argc, argv);
  if (chdir("/") != 0) return 2;
  return rc;
#endif
}
