/* Bounded string copies and appends. A result that does not fit is cut to the buffer (always
 * terminated) and reported with STRSAFE_E_INSUFFICIENT_BUFFER, as the real header does. */
#ifndef WINSIM_STRSAFE_H
#define WINSIM_STRSAFE_H

#include <windows.h>

#define STRSAFE_MAX_CCH 2147483647
#define S_OK ((HRESULT)0L)
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#ifndef SUCCEEDED
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif

static inline HRESULT StringCchCopyW(WCHAR *pszDest, size_t cchDest, const WCHAR *pszSrc) {
  size_t i = 0;
  if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  while (i + 1 < cchDest && pszSrc[i] != 0) {
    pszDest[i] = pszSrc[i];
    ++i;
  }
  pszDest[i] = 0;
  return pszSrc[i] == 0 ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

static inline HRESULT StringCchLengthW(const WCHAR *psz, size_t cchMax, size_t *pcchLength) {
  size_t n = 0;
  if (psz == NULL || cchMax > STRSAFE_MAX_CCH) {
    if (pcchLength) *pcchLength = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  while (n < cchMax && psz[n] != 0) ++n;
  if (pcchLength) *pcchLength = n < cchMax ? n : 0;
  return n < cchMax ? S_OK : STRSAFE_E_INVALID_PARAMETER;
}

static inline HRESULT StringCchCatW(WCHAR *pszDest, size_t cchDest, const WCHAR *pszSrc) {
  size_t len = 0;
  if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  while (len < cchDest && pszDest[len] != 0) ++len;
  if (len == cchDest) return STRSAFE_E_INVALID_PARAMETER; /* the destination is not terminated */
  return StringCchCopyW(pszDest + len, cchDest - len, pszSrc);
}

#endif
