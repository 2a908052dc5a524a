/* Runtime functions of the Windows C library that glibc lacks or names differently. Included by
 * <windows.h>; on Windows they come from <wchar.h> and <string.h>. */
#ifndef WINSIM_CRT_EXTRAS_H
#define WINSIM_CRT_EXTRAS_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Tokens separated by runs of any character of delim; context carries the position between
 * calls. A null context, a null delim, or a null str with no saved position is refused with
 * errno EINVAL and a null result. */
wchar_t *wcstok_s(wchar_t *str, const wchar_t *delim, wchar_t **context);
/* Comparisons that fold ASCII letters to lower case, as the runtime does in the "C" locale. */
int _wcsicmp(const wchar_t *a, const wchar_t *b);
int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t count);

#ifdef __cplusplus
}
#endif

#endif
