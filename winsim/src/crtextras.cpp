// The Windows C library's wide-string functions that glibc lacks: wcstok_s and the comparisons
// without regard to case.
#include <windows.h>

#include <cerrno>

namespace {

// The "C" locale folds ASCII letters only, to lower case, so '_' sorts after letters.
wint_t Fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wint_t>(c - L'A' + L'a') : static_cast<wint_t>(c); }

bool IsDelimiter(wchar_t c, const wchar_t* delim) {
  for (; *delim; ++delim)
    if (*delim == c) return true;
  return false;
}

}  // namespace

extern "C" {

wchar_t* wcstok_s(wchar_t* str, const wchar_t* delim, wchar_t** context) {
  if (!context || !delim || (!str && !*context)) {
    errno = EINVAL;
    return nullptr;
  }
  wchar_t* p = str ? str : *context;
  while (*p && IsDelimiter(*p, delim)) ++p;
  if (!*p) {
    *context = p;
    return nullptr;
  }
  wchar_t* token = p;
  while (*p && !IsDelimiter(*p, delim)) ++p;
  if (*p) *p++ = L'\0';
  *context = p;
  return token;
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    wint_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) break;
  }
  return 0;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) { return _wcsnicmp(a, b, static_cast<size_t>(-1)); }

}  // extern "C"
