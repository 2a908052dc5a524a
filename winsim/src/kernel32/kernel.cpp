// kernel32: last error, version, clock, code-page conversion and string calls.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "core/machine.h"
#include "winsim/control.h"

using winsim::ApiCall;

namespace {
thread_local DWORD t_lastError = 0;

// Sizes GetVersionExW accepts: the structures' sizes on Windows (where WCHAR is 2 bytes: 276 and
// 284) and on this host, so that code which writes the documented 276 works here too.
enum VersionInfoKind { kBadSize, kPlain, kExtended };
VersionInfoKind KindOfVersionInfo(DWORD size) {
  if (size == sizeof(OSVERSIONINFOW) || size == 276) return kPlain;
  if (size == sizeof(OSVERSIONINFOEXW) || size == 284) return kExtended;
  return kBadSize;
}

// other than -1 (terminated), a negative destination size, or a size without a buffer.
bool BadConversionArgs(const void* src, int srcLen, const void* dst, int dstLen) {
  if (src && srcLen != 0 && srcLen >= -1 && dstLen >= 0 && (dstLen == 0 || dst)) return false;
  SetLastError(ERROR_INVALID_PARAMETER);
  return true;
}

// Their size protocol: a destination size of 0 asks for the length; a destination that is too
// small receives what fits and the call fails with ERROR_INSUFFICIENT_BUFFER.
template <typename Text>
int DeliverConverted(const Text& out, typename Text::value_type* dst, int dstLen) {
  using Ch = typename Text::value_type;
  if (dstLen == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(dstLen)) {
    std::memcpy(dst, out.data(), static_cast<size_t>(dstLen) * sizeof(Ch));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, out.data(), out.size() * sizeof(Ch));
  return static_cast<int>(out.size());
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  WINSIM_API(call, "GetVersionExW", FALSE);
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  VersionInfoKind kind = KindOfVersionInfo(info->dwOSVersionInfoSize);
  if (kind == kBadSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  winsim::OsVersion v = winsim::GetOsVersion();
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = v.platformId;
  std::wstring csd = winsim::Utf8ToWide(v.csdVersion).substr(0, ARRAYSIZE(info->szCSDVersion) - 1);
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  std::memcpy(info->szCSDVersion, csd.c_str(), csd.size() * sizeof(WCHAR));
  if (kind == kExtended) {
    auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
    unsigned sp = 0;
    std::swscanf(csd.c_str(), L"Service Pack %u", &sp);
    ex->wServicePackMajor = static_cast<WORD>(sp);
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS
    ex->wProductType = 1;    // VER_NT_WORKSTATION
    ex->wReserved = 0;
  }
  return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
  ApiCall call("GetSystemTimeAsFileTime");
  // 100-ns intervals since 1601-01-01
  uint64_t t = (static_cast<uint64_t>(winsim::NowMillis(call.machine())) + 11644473600000ULL) * 10000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

DWORD WINAPI GetTickCount(void) {
  ApiCall call("GetTickCount");
  winsim::Machine& m = call.machine();
  return static_cast<DWORD>(winsim::NowMillis(m) - m.bootMillis);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen) {
  WINSIM_API(call, "MultiByteToWideChar", 0);
  if (BadConversionArgs(src, srcLen, dst, dstLen)) return 0;
  std::string in(src, srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen));
  std::wstring out;
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == 1252) {
    out = winsim::AnsiToWide(in);
  } else if (codePage == CP_UTF8) {
    out = winsim::Utf8ToWide(in);
    if ((flags & MB_ERR_INVALID_CHARS) && out.find(L'\xFFFD') != std::wstring::npos &&
        winsim::WideToUtf8(out) != in) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return DeliverConverted(out, dst, dstLen);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                               LPCSTR defaultChar, LPBOOL usedDefault) {
  WINSIM_API(call, "WideCharToMultiByte", 0);
  if (BadConversionArgs(src, srcLen, dst, dstLen)) return 0;
  std::wstring in(src, srcLen == -1 ? std::wcslen(src) + 1 : static_cast<size_t>(srcLen));
  std::string out;
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == 1252) {
    bool lossy = false;
    out = winsim::WideToAnsi(in, &lossy);
    if (lossy && defaultChar && *defaultChar)
      for (size_t i = 0; i < in.size(); ++i)
        if (out[i] == '?' && in[i] != L'?') out[i] = *defaultChar;
    if (usedDefault) *usedDefault = lossy;
  } else if (codePage == CP_UTF8) {
    if (defaultChar || usedDefault) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    out = winsim::WideToUtf8(in);
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return DeliverConverted(out, dst, dstLen);
}

}  // extern "C"

// kernel32's string helpers. lstrcmpiW folds case character by character, which is what the
// tools need of it (equality of spooler names); its ordering of letters against punctuation is not
// the real word sort.
namespace {
int Compare(LPCWSTR a, LPCWSTR b, bool fold) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (;; ++a, ++b) {
    wint_t x = static_cast<wint_t>(*a), y = static_cast<wint_t>(*b);
    if (fold) {
      x = std::towlower(x);
      y = std::towlower(y);
    }
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}
}  // namespace

extern "C" int WINAPI lstrlenW(LPCWSTR s) { return s == nullptr ? 0 : static_cast<int>(std::wcslen(s)); }
extern "C" int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, false); }
extern "C" int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, true); }

extern "C" LPWSTR WINAPI lstrcpynW(LPWSTR dest, LPCWSTR src, int max) {
  if (dest == nullptr || src == nullptr || max <= 0) return max == 0 ? dest : nullptr;
  int i = 0;
  for (; i + 1 < max && src[i] != 0; ++i) dest[i] = src[i];
  dest[i] = 0;
  return dest;
}
