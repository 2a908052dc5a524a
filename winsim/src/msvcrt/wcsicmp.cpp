// The Windows C library's wide-string comparisons without regard to case, which glibc lacks.
#include <windows.h>

namespace {

// The "C" locale folds ASCII letters only, to lower case, so '_' sorts after letters.
wint_t Fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wint_t>(c - L'A' + L'a') : static_cast<wint_t>(c); }

}  // namespace

extern "C" {

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
