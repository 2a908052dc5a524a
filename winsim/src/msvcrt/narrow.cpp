// Wide to narrow as the Windows runtime converts in its "C" locale, which neither tool changes: a
// code point below 256 is the byte of the same value, any other has no narrow form (-1, errno
// EILSEQ). The host's "C" locale stops at 128. A program over winsim runs on the simulated
// runtime, so these definitions take the place of the host's for the whole process.
#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

extern "C" size_t wcstombs(char* dest, const wchar_t* src, size_t max) noexcept {
  size_t n = 0;
  for (; !dest || n < max; ++n) {
    wchar_t c = src[n];
    if (static_cast<unsigned long>(c) >= 256) {
      errno = EILSEQ;
      return static_cast<size_t>(-1);
    }
    if (dest) dest[n] = static_cast<char>(c);
    if (c == 0) break;
  }
  return n;
}

extern "C" size_t wcrtomb(char* dest, wchar_t wc, mbstate_t*) noexcept {
  if (!dest) return 1;
  if (static_cast<unsigned long>(wc) >= 256) {
    errno = EILSEQ;
    return static_cast<size_t>(-1);
  }
  *dest = static_cast<char>(wc);
  return 1;
}
